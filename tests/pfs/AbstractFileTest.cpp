// The stream helpers of TAbstractFile (ReadBuffer, WriteBuffer, CopyFrom) and the disk file's
// reaction to failing host operations.

#include "pfs/TDiskPlainFileSystem.h"
#include "pfs/TMemoryPlainFileSystem.h"
#include "platform/Exception.h"
#include "platform/FaultFileSystem.h"
#include "platform/MemoryFileSystem.h"
#include "platform/Paths.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tesvar;
using namespace tesvar::pfs;
using tesvar::testsupport::messageOf;
using platform::FaultKind;
using platform::FaultMode;

namespace {

const std::string kReadError = "TAbstractFile.ReadBuffer - Stream read error";
const std::string kWriteError = "TAbstractFile.WriteBuffer - Stream write error";

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

std::vector<uint8_t> content(TAbstractFile& file) {
  std::vector<uint8_t> bytes(static_cast<size_t>(file.Size()));
  file.SetPosition(0);
  file.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  return bytes;
}

// A memory source and a disk target, so that copies cross file kinds.
class CopyFrom : public ::testing::Test {
protected:
  CopyFrom() {
    FSource.WriteBuffer(FData.data(), static_cast<int64_t>(FData.size()));
  }

  platform::MemoryFileSystem FMem;
  platform::ScopedFileSystem FScope{FMem};
  TMemoryPlainFileSystem FMemoryPFS{"mem"};
  TDiskPlainFileSystem FDiskPFS{""};
  // More than two copy buffers and a partial one.
  const std::vector<uint8_t> FData = pattern(2 * 61440 + 1000);
  TAbstractFile& FSource = FMemoryPFS.OpenFile("src.dat", true, false, false);
  TAbstractFile& FTarget = FDiskPFS.OpenFile("dst.dat", true, false, false);

  void writeHeader() { FTarget.WriteBuffer("hdr", 3); }
};

TEST_F(CopyFrom, CountZeroCopiesTheWholeSourceFromItsStart) {
  FSource.SetPosition(1000);
  EXPECT_EQ(FTarget.CopyFrom(FSource, 0), static_cast<int64_t>(FData.size()));
  EXPECT_EQ(FSource.Position(), static_cast<int64_t>(FData.size()));
  EXPECT_EQ(content(FTarget), FData);
}

TEST_F(CopyFrom, CountBytesFromTheSourcePositionToTheTargetPosition) {
  writeHeader();
  FSource.SetPosition(100);
  EXPECT_EQ(FTarget.CopyFrom(FSource, 70000), 70000);
  EXPECT_EQ(FSource.Position(), 70100);
  std::vector<uint8_t> expected{'h', 'd', 'r'};
  expected.insert(expected.end(), FData.begin() + 100, FData.begin() + 70100);
  EXPECT_EQ(content(FTarget), expected);
}

TEST_F(CopyFrom, ShortSourceOrNegativeCountRaises) {
  FSource.SetPosition(static_cast<int64_t>(FData.size()) - 10);
  EXPECT_EQ(messageOf([&] { FTarget.CopyFrom(FSource, 11); }), kReadError);
  EXPECT_EQ(messageOf([&] { FTarget.CopyFrom(FSource, -1); }),
            "TAbstractFile.CopyFrom - Invalid count.");
  FSource.SetSize(0);
  EXPECT_EQ(FTarget.CopyFrom(FSource, 0), 0);
}

TEST(AbstractFile, ShortReadRaisesAndEmptyTransfersDoNothing) {
  TMemoryPlainFileSystem pfs("mem");
  TAbstractFile& f = pfs.OpenFile("T.dat", true, false, false);
  f.WriteBuffer("abc", 3);
  f.SetPosition(1);
  char buffer[4];
  EXPECT_EQ(messageOf([&] { f.ReadBuffer(buffer, 3); }), kReadError);
  f.SetPosition(0);
  f.ReadBuffer(buffer, 0);
  f.WriteBuffer(nullptr, 0);
  EXPECT_EQ(f.Position(), 0);
  EXPECT_EQ(f.Size(), 3);
}

// ---- failing host operations ---------------------------------------------------------------------

class DiskFileFault : public ::testing::Test {
protected:
  DiskFileFault() { FMem.CreateDirectory("db"); }

  TAbstractFile& create() {
    TAbstractFile& f = FPFS.OpenFile("T.dat", true, false, false);
    f.WriteBuffer("abcdef", 6);
    FFaulty.Reset();
    return f;
  }
  std::string hostPath() const { return std::string("db") + platform::kPathDelimiter + "T.dat"; }

  platform::MemoryFileSystem FMem;
  platform::FaultFileSystem FFaulty{FMem};
  platform::ScopedFileSystem FScope{FFaulty};
  TDiskPlainFileSystem FPFS{"db"};
};

TEST_F(DiskFileFault, ShortTransfersRaiseTheStreamErrors) {
  TAbstractFile& f = create();
  FFaulty.FailAt(FaultKind::Write, 1, FaultMode::Short);
  EXPECT_EQ(messageOf([&] { f.WriteBuffer("0123", 4); }), kWriteError);
  FFaulty.FailAt(FaultKind::Write, 1, FaultMode::Fail);
  EXPECT_EQ(messageOf([&] { f.WriteBuffer("0123", 4); }), kWriteError);
  char buffer[4];
  f.SetPosition(0);
  FFaulty.FailAt(FaultKind::Read, 1, FaultMode::Short);
  EXPECT_EQ(messageOf([&] { f.ReadBuffer(buffer, 4); }), kReadError);
  FFaulty.FailAt(FaultKind::Read, 1, FaultMode::Fail);
  EXPECT_EQ(messageOf([&] { f.ReadBuffer(buffer, 4); }), kReadError);
}

TEST_F(DiskFileFault, CopyFromStopsAtTheFailingWrite) {
  TMemoryPlainFileSystem memory("mem");
  TAbstractFile& source = memory.OpenFile("src.dat", true, false, false);
  const std::vector<uint8_t> data = pattern(3 * 61440);
  source.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  TAbstractFile& f = create();
  for (uint64_t k = 1; k <= 3; ++k) {
    SCOPED_TRACE("write " + std::to_string(k));
    FFaulty.Reset();
    FFaulty.FailAt(FaultKind::Write, k);
    f.SetPosition(0);
    EXPECT_EQ(messageOf([&] { f.CopyFrom(source, 0); }), kWriteError);
    EXPECT_EQ(FFaulty.Injected(), 1u);
    EXPECT_EQ(FFaulty.Count(FaultKind::Write), k) << "the copy must stop at the failure";
  }
}

TEST_F(DiskFileFault, FailedSizeChangeFlushOrCloseRaises) {
  TAbstractFile& f = create();
  FFaulty.FailAt(FaultKind::SizeChange, 1);
  EXPECT_THROW(f.SetSize(2), Exception);
  EXPECT_EQ(f.Size(), 6);
  f.SetPosition(2);
  FFaulty.FailAt(FaultKind::SizeChange, 1);
  EXPECT_THROW(f.Write(nullptr, 0), Exception);
  EXPECT_EQ(f.Size(), 6);
  FFaulty.FailAt(FaultKind::Flush, 1);
  EXPECT_THROW(f.Flush(), Exception);
  FFaulty.FailAt(FaultKind::Flush, 1);
  EXPECT_THROW(FPFS.CloseFile(f), Exception);
  // The file is gone from the list and its handle released all the same.
  EXPECT_EQ(FPFS.OpenFileCount(), 0u);
  EXPECT_EQ(FMem.OpenHandleCount(hostPath()), 0);
  EXPECT_EQ(FMem.ReadAll(hostPath()).size(), 6u);
}

}  // namespace
