// The container's host file: part chain, part headers, start offset, growth and shrinking,
// renaming, deletion and the memory mode.

#include "PageLayerTestSupport.h"

#include "container/TCFSDiskFile.h"
#include "container/TCFSHugeFile.h"
#include "container/TCFSMemoryFile.h"
#include "container/TCFSTransaction.h"
#include "platform/Exception.h"
#include "platform/FaultFileSystem.h"
#include "platform/MemoryFileSystem.h"
#include "support/AllocationProbe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>

namespace tesvar::container {
namespace {

using platform::MemoryFileSystem;
using platform::ScopedFileSystem;

// A small part: 100 data bytes after the 280-byte header.
constexpr int64_t kSmallPart = kPartHeaderSize + 100;

std::vector<uint8_t> pattern(size_t size, uint8_t seed = 1) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return data;
}

// The next-part name stored in a part header at Offset of a file image.
std::string nextName(const std::vector<uint8_t>& file, size_t offset = 0) {
  if (file.size() < offset + kPartHeaderSize) return "<short>";
  const char* p = reinterpret_cast<const char*>(file.data() + offset + kPartNextNameOffset);
  return std::string(p, strnlen(p, kPartNextNameSize));
}

std::vector<uint8_t> readAll(TCFSHugeFile& file) {
  std::vector<uint8_t> data(static_cast<size_t>(file.GetSize()));
  file.Seek(0, 0);
  file.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
  return data;
}

// A closed host file of the given content in small parts.
void writeHostFile(const std::string& path, const std::vector<uint8_t>& data) {
  TCFSHugeFile::ScopedMaxPartSize small(kSmallPart);
  TCFSHugeFile file(path, true, false, false);
  ASSERT_TRUE(file.InternalOpen(true, false));
  file.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
  file.Close();
}

class HugeFileTest : public pagetest::MemoryFsTest {
protected:
  void makeFile(const std::string& path, const std::vector<uint8_t>& data) { writeHostFile(path, data); }
};

TEST_F(HugeFileTest, CreateWritesPartHeaderWithDefaultMaximum) {
  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(true, false));
  EXPECT_EQ(file.GetSize(), 0);
  file.Close();
  const auto image = fs.ReadAll("/db/c.edb");
  ASSERT_EQ(image.size(), size_t(kPartHeaderSize));
  EXPECT_EQ(std::memcmp(image.data(), "EDMVHFSS", 8), 0);
  int64_t maxSize = 0;
  std::memcpy(&maxSize, image.data() + 8, 8);
  EXPECT_EQ(maxSize, 2147483647);
  EXPECT_TRUE(std::all_of(image.begin() + 16, image.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(HugeFileTest, CreateReplacesAnExistingChain) {
  makeFile("/db/c.edb", pattern(250));
  ASSERT_TRUE(fs.FileExists("/db/c.edb2"));
  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(true, false));
  EXPECT_EQ(file.GetSize(), 0);
  EXPECT_FALSE(fs.FileExists("/db/c.edb1"));
  EXPECT_FALSE(fs.FileExists("/db/c.edb2"));
}

TEST_F(HugeFileTest, DataSpreadsOverPartsAtTheMappedOffsets) {
  const auto data = pattern(250);
  makeFile("/db/c.edb", data);
  const auto p0 = fs.ReadAll("/db/c.edb");
  const auto p1 = fs.ReadAll("/db/c.edb1");
  const auto p2 = fs.ReadAll("/db/c.edb2");
  ASSERT_EQ(p0.size(), size_t(kSmallPart));  // full parts are exactly the maximum size
  ASSERT_EQ(p1.size(), size_t(kSmallPart));
  ASSERT_EQ(p2.size(), size_t(kPartHeaderSize + 50));
  EXPECT_EQ(nextName(p0), "c.edb1");
  EXPECT_EQ(nextName(p1), "c.edb2");
  EXPECT_EQ(nextName(p2), "");
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 100, p0.begin() + kPartHeaderSize));
  EXPECT_TRUE(std::equal(data.begin() + 100, data.begin() + 200, p1.begin() + kPartHeaderSize));
  EXPECT_TRUE(std::equal(data.begin() + 200, data.end(), p2.begin() + kPartHeaderSize));

  // Parts take the maximum size from the first header, not from the current default.
  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(false, false));
  EXPECT_EQ(file.MaxPartSize(), kSmallPart);
  EXPECT_EQ(file.PartCount(), 3);
  EXPECT_EQ(readAll(file), data);

  // A read across both boundaries from the middle.
  std::vector<uint8_t> middle(160);
  file.Seek(70, 0);
  EXPECT_EQ(file.Read(middle.data(), 160), 160);
  EXPECT_TRUE(std::equal(middle.begin(), middle.end(), data.begin() + 70));
  // Reads stop at the size.
  EXPECT_EQ(file.Seek(-10, 2), 240);
  EXPECT_EQ(file.Read(middle.data(), 160), 10);
}

TEST_F(HugeFileTest, WriteBeyondTheSizeExtendsWithZeros) {
  TCFSHugeFile::ScopedMaxPartSize small(kSmallPart);
  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(true, false));
  const uint8_t byte = 0xAB;
  file.Seek(150, 0);
  EXPECT_EQ(file.Write(&byte, 1), 1);
  EXPECT_EQ(file.GetSize(), 151);
  EXPECT_EQ(file.PartCount(), 2);
  const auto all = readAll(file);
  EXPECT_TRUE(std::all_of(all.begin(), all.begin() + 150, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(all[150], 0xAB);
}

TEST_F(HugeFileTest, SecondPartAtTheLimitAndShrinkingDeletesIt) {
  TCFSHugeFile::ScopedMaxPartSize small(kSmallPart);
  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(true, false));

  ASSERT_TRUE(file.SetSize(99));
  EXPECT_EQ(file.PartCount(), 1);
  // The part holding the position just past the end exists: at exactly the first part's share
  // the second part starts, empty.
  ASSERT_TRUE(file.SetSize(100));
  EXPECT_EQ(file.PartCount(), 2);
  EXPECT_EQ(fs.ReadAll("/db/c.edb1").size(), size_t(kPartHeaderSize));
  ASSERT_TRUE(file.SetSize(101));
  EXPECT_EQ(file.PartCount(), 2);
  EXPECT_TRUE(fs.FileExists("/db/c.edb1"));
  EXPECT_EQ(nextName(fs.ReadAll("/db/c.edb")), "c.edb1");
  EXPECT_EQ(fs.ReadAll("/db/c.edb").size(), size_t(kSmallPart));
  EXPECT_EQ(fs.ReadAll("/db/c.edb1").size(), size_t(kPartHeaderSize + 1));

  ASSERT_TRUE(file.SetSize(450));
  EXPECT_EQ(file.PartCount(), 5);
  EXPECT_EQ(file.Position(), 450);

  ASSERT_TRUE(file.SetSize(99));
  EXPECT_EQ(file.PartCount(), 1);
  EXPECT_EQ(file.GetSize(), 99);
  for (const char* gone : {"/db/c.edb1", "/db/c.edb2", "/db/c.edb3", "/db/c.edb4"})
    EXPECT_FALSE(fs.FileExists(gone)) << gone;
  EXPECT_EQ(nextName(fs.ReadAll("/db/c.edb")), "");
  EXPECT_EQ(fs.ReadAll("/db/c.edb").size(), size_t(kPartHeaderSize + 99));
}

TEST_F(HugeFileTest, PartNamesSkipTakenFiles) {
  fs.WriteAll("/db/c.edb1", {1, 2, 3});
  makeFile("/db/c.edb", pattern(150));
  EXPECT_EQ(nextName(fs.ReadAll("/db/c.edb")), "c.edb2");
  EXPECT_EQ(fs.ReadAll("/db/c.edb1"), (std::vector<uint8_t>{1, 2, 3}));
  // Deleting the chain leaves the foreign file alone.
  TCFSHugeFile file("/db/c.edb", true, false, false);
  EXPECT_TRUE(file.DeleteFiles());
  EXPECT_FALSE(fs.FileExists("/db/c.edb"));
  EXPECT_FALSE(fs.FileExists("/db/c.edb2"));
  EXPECT_TRUE(fs.FileExists("/db/c.edb1"));
}

// A file made of Prefix foreign bytes and then a one-part host file whose data starts with the
// container signature.
std::vector<uint8_t> prefixedImage(const std::vector<uint8_t>& prefix, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> image = prefix;
  uint8_t header[kPartHeaderSize] = {};
  std::memcpy(header, "EDMVHFSS", 8);
  const int64_t maxSize = kPartMaxSizeDefault;
  std::memcpy(header + 8, &maxSize, 8);
  image.insert(image.end(), header, header + kPartHeaderSize);
  image.insert(image.end(), data.begin(), data.end());
  return image;
}

TEST_F(HugeFileTest, StartOffsetFoundBehindForeignBytes) {
  auto data = pattern(1000);
  std::memcpy(data.data(), "EDCFSSGN", 8);
  // Foreign bytes longer than one scan block, with false candidates: a bare "EDMV", a part
  // signature not followed by a container, and a signature across the first block edge.
  std::vector<uint8_t> prefix = pattern(70001, 9);
  std::memcpy(prefix.data() + 10, "EDMV", 4);
  std::memcpy(prefix.data() + 100, "EDMVHFSS", 8);
  std::memcpy(prefix.data() + 65533, "EDMV", 4);
  fs.WriteAll("/db/c.edb", prefixedImage(prefix, data));

  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(false, false));
  EXPECT_EQ(file.StartOffset(), 70001);
  EXPECT_EQ(file.GetSize(), 1000);
  EXPECT_EQ(readAll(file), data);

  // Writes land behind the header at the start offset; the foreign bytes stay.
  const uint8_t marks[3] = {0xEE, 0xEE, 0xEE};
  file.Seek(500, 0);
  file.WriteBuffer(marks, 3);
  file.Close();
  const auto image = fs.ReadAll("/db/c.edb");
  EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), image.begin()));
  EXPECT_EQ(image[70001 + kPartHeaderSize + 500], 0xEE);
}

TEST_F(HugeFileTest, SignatureAcrossABlockEdgeIsFound) {
  auto data = pattern(300);
  std::memcpy(data.data(), "EDCFSSGN", 8);
  fs.WriteAll("/db/c.edb", prefixedImage(pattern(65533, 3), data));
  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(false, false));
  EXPECT_EQ(file.StartOffset(), 65533);
  EXPECT_EQ(readAll(file), data);
}

TEST_F(HugeFileTest, StartOffsetShortensTheFirstPartShare) {
  auto data = pattern(40);
  std::memcpy(data.data(), "EDCFSSGN", 8);
  auto image = prefixedImage(pattern(30, 5), data);
  const int64_t maxSize = kSmallPart;
  std::memcpy(image.data() + 30 + 8, &maxSize, 8);
  fs.WriteAll("/db/c.edb", image);

  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(false, false));
  ASSERT_EQ(file.StartOffset(), 30);
  const auto more = pattern(200, 77);
  file.Seek(0, 2);
  file.WriteBuffer(more.data(), 200);
  EXPECT_EQ(file.GetSize(), 240);
  file.Close();
  // The first part (foreign bytes included) is exactly the maximum part size: 70 data bytes.
  EXPECT_EQ(fs.ReadAll("/db/c.edb").size(), size_t(kSmallPart));
  EXPECT_EQ(fs.ReadAll("/db/c.edb1").size(), size_t(kSmallPart));
  EXPECT_EQ(fs.ReadAll("/db/c.edb2").size(), size_t(kPartHeaderSize + 70));

  TCFSHugeFile again("/db/c.edb", true, false, false);
  ASSERT_TRUE(again.InternalOpen(false, false));
  auto expected = data;
  expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(readAll(again), expected);
}

TEST_F(HugeFileTest, BrokenChainsFailOrOpenTolerantly) {
  const auto data = pattern(250);
  makeFile("/db/c.edb", data);
  ASSERT_TRUE(fs.DeleteFile("/db/c.edb2"));
  {
    TCFSHugeFile file("/db/c.edb", true, false, false);
    EXPECT_FALSE(file.InternalOpen(false, false));
    EXPECT_EQ(file.PartCount(), 0);
    EXPECT_FALSE(file.IsOpen());
  }
  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(false, true));
  EXPECT_EQ(file.GetSize(), 200);
  EXPECT_EQ(readAll(file), std::vector<uint8_t>(data.begin(), data.begin() + 200));
}

TEST_F(HugeFileTest, DamagedPartsFailTheOpen) {
  using Image = std::vector<uint8_t>;
  struct Case {
    const char* name;
    const char* part;  // the file damaged: "" (first part) or "1" (second part)
    std::function<bool(Image&)> damage;  // false: delete the file
  };
  const Case cases[] = {
      {"missing", "", [](Image&) { return false; }},
      {"short first part", "", [](Image& i) { return i.resize(100), true; }},
      {"bad signature", "", [](Image& i) { return i[3] ^= 1, true; }},
      {"maximum size below the header", "", [](Image& i) { return std::memset(i.data() + 8, 0, 8), true; }},
      {"bad second signature", "1", [](Image& i) { return i[0] = 'X', true; }},
      {"short middle part", "1", [](Image& i) { return i.pop_back(), true; }},
      {"chain loops back", "1",
       [](Image& i) { return std::memcpy(i.data() + kPartNextNameOffset, "c.edb\0", 6), true; }},
      {"next name with a directory", "",
       [](Image& i) { return std::memcpy(i.data() + kPartNextNameOffset, "../c.edb1\0", 10), true; }},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = "/db/" + std::to_string(n++);
    fs.CreateDirectory(dir);
    makeFile(dir + "/c.edb", pattern(250));
    const std::string victim = dir + "/c.edb" + c.part;
    Image image = fs.ReadAll(victim);
    if (c.damage(image))
      fs.WriteAll(victim, image);
    else
      fs.DeleteFile(victim);
    TCFSHugeFile file(dir + "/c.edb", true, false, false);
    EXPECT_FALSE(file.InternalOpen(false, false));
  }
}

// The next-part name in the part header of the file at Path becomes Name.
void setNextName(MemoryFileSystem& fs, const std::string& path, const std::string& name) {
  auto image = fs.ReadAll(path);
  std::memset(image.data() + kPartNextNameOffset, 0, kPartNextNameSize);
  std::memcpy(image.data() + kPartNextNameOffset, name.data(), name.size());
  fs.WriteAll(path, image);
}

// Opening, renaming and deleting follow the chain only through verified parts: a damaged link
// stops them there, and a file behind it is neither opened, renamed nor deleted.
TEST_F(HugeFileTest, ChainWalksTakeOnlyVerifiedParts) {
  struct Case {
    const char* name;
    std::function<void(MemoryFileSystem&)> damage;
    std::vector<std::string> parts;    // the verified parts, in chain order (names in /db)
    std::vector<std::string> foreign;  // files that must stay as they are
    TChainBreak expected;
  };
  const Case cases[] = {
      {"the last part names another host file",
       [](MemoryFileSystem& fs) {
         writeHostFile("/db/other.edb", pattern(50, 4));
         setNextName(fs, "/db/c.edb2", "other.edb");
       },
       {"c.edb", "c.edb1", "c.edb2"}, {"/db/other.edb"}, {cbPartNotFull, "c.edb2", "other.edb"}},
      {"a full part names a file without part header",
       [](MemoryFileSystem& fs) {
         fs.WriteAll("/db/victim.txt", std::vector<uint8_t>(500, 'v'));
         setNextName(fs, "/db/c.edb1", "victim.txt");
       },
       {"c.edb", "c.edb1"}, {"/db/victim.txt", "/db/c.edb2"}, {cbNotAPart, "c.edb1", "victim.txt"}},
      {"a full part names a part of another maximum size",
       [](MemoryFileSystem& fs) {
         TCFSHugeFile big("/db/big.edb", true, false, false);
         ASSERT_TRUE(big.InternalOpen(true, false));
         big.WriteBuffer(pattern(120).data(), 120);
         big.Close();
         setNextName(fs, "/db/c.edb1", "big.edb");
       },
       {"c.edb", "c.edb1"}, {"/db/big.edb", "/db/c.edb2"}, {cbMaxSizeDiffers, "c.edb1", "big.edb"}},
      {"a full part names the first part", [](MemoryFileSystem& fs) { setNextName(fs, "/db/c.edb1", "c.edb"); },
       {"c.edb", "c.edb1"}, {"/db/c.edb2"}, {cbLoop, "c.edb1", "c.edb"}},
      {"a next name with a directory",
       [](MemoryFileSystem& fs) {
         fs.WriteAll("/victim.txt", std::vector<uint8_t>(500, 'v'));
         setNextName(fs, "/db/c.edb", "../victim.txt");
       },
       {"c.edb"}, {"/victim.txt", "/db/c.edb1", "/db/c.edb2"}, {cbForeignName, "c.edb", "../victim.txt"}},
      {"a missing part", [](MemoryFileSystem& fs) { ASSERT_TRUE(fs.DeleteFile("/db/c.edb1")); },
       {"c.edb"}, {"/db/c.edb2"}, {cbMissing, "c.edb", "c.edb1"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* path : {"/db/c.edb", "/db/c.edb1", "/db/c.edb2", "/db/n.edb", "/db/n.edb1", "/db/n.edb2",
                             "/db/other.edb", "/db/big.edb", "/db/victim.txt", "/victim.txt"})
      fs.DeleteFile(path);
    makeFile("/db/c.edb", pattern(250, uint8_t(n++)));
    c.damage(fs);
    std::vector<std::vector<uint8_t>> before;
    for (const auto& path : c.foreign) before.push_back(fs.ReadAll(path));
    auto expectBreak = [&](const TCFSHugeFile& file) {
      EXPECT_EQ(file.ChainBreak().Reason, c.expected.Reason);
      EXPECT_EQ(file.ChainBreak().From, c.expected.From);
      EXPECT_EQ(file.ChainBreak().To, c.expected.To);
    };
    {
      TCFSHugeFile strict("/db/c.edb", true, false, false);
      EXPECT_FALSE(strict.InternalOpen(false, false));
      TCFSHugeFile file("/db/c.edb", true, false, false);
      ASSERT_TRUE(file.InternalOpen(false, true));
      EXPECT_EQ(file.PartCount(), int(c.parts.size()));
      expectBreak(file);
    }
    TCFSHugeFile file("/db/c.edb", true, false, false);
    EXPECT_TRUE(file.RenameFile("n.edb"));
    expectBreak(file);
    for (const auto& part : c.parts) {
      EXPECT_FALSE(fs.FileExists("/db/" + part)) << part;
      EXPECT_TRUE(fs.FileExists("/db/n" + part.substr(1))) << part;
    }
    EXPECT_TRUE(file.DeleteFiles());
    for (const auto& part : c.parts) EXPECT_FALSE(fs.FileExists("/db/n" + part.substr(1))) << part;
    for (size_t i = 0; i < c.foreign.size(); ++i) {
      EXPECT_EQ(fs.ReadAll(c.foreign[i]), before[i]) << c.foreign[i];
    }
  }
}

// In memory mode a part is copied into memory only once it verified: a link to a large file
// beside the container costs nothing.
TEST_F(HugeFileTest, MemoryModeCopiesOnlyVerifiedParts) {
  makeFile("/db/c.edb", pattern(250));
  fs.WriteAll("/db/big.bin", std::vector<uint8_t>(4 << 20, 'b'));
  setNextName(fs, "/db/c.edb1", "big.bin");
  TCFSHugeFile file("/db/c.edb", true, false, true);
  testsupport::LargestAllocation probe;
  ASSERT_TRUE(file.InternalOpen(false, true));
  if (testsupport::LargestAllocation::Measured()) {
    EXPECT_LT(probe.Bytes(), size_t(64 << 10));
  }
  EXPECT_EQ(file.PartCount(), 2);
  EXPECT_EQ(file.ChainBreak().Reason, cbNotAPart);
  EXPECT_EQ(fs.ReadAll("/db/big.bin").size(), size_t(4 << 20));
}

TEST_F(HugeFileTest, DeleteFilesRemovesTheNamedFileEvenWhenItIsNoPart) {
  fs.WriteAll("/db/c.edb", std::vector<uint8_t>(1000, 'x'));
  TCFSHugeFile file("/db/c.edb", true, false, false);
  EXPECT_TRUE(file.DeleteFiles());
  EXPECT_FALSE(fs.FileExists("/db/c.edb"));
  EXPECT_EQ(file.ChainBreak().Reason, cbNotAPart);
  EXPECT_TRUE(file.DeleteFiles()) << "nothing left to delete";
}

TEST_F(HugeFileTest, ErrorMessages) {
  using pagetest::expectMessage;
  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(true, false));
  expectMessage([&] { file.InternalOpen(false, false); }, "TCFSHugeFile.InternalOpen - File is already open.");
  expectMessage([&] { file.Seek(-1, 0); }, "TCFSHugeFile.Seek - Offset < 0 from file beginning.");
  expectMessage([&] { file.DeleteLastPartFile(); }, "TCFSHugeFile.DeleteLastPartFile - No parts to delete.");
  file.Seek(10, 0);
  uint8_t buffer[4];
  expectMessage([&] { file.Read(buffer, 4); }, "TCFSHugeFile.Read - Stream read error.");
  file.Seek(0, 0);
  expectMessage([&] { file.ReadBuffer(buffer, 4); }, "TCFSHugeFile.ReadBuffer - Stream read error");
  EXPECT_EQ(file.Seek(-1, 1), -1);  // relative seeks below zero are refused
  EXPECT_EQ(file.Position(), 0);

  TCFSHugeFile memory("/db/m.edb", true, false, true);
  expectMessage([&] { EXPECT_FALSE(memory.RenameFile("/db/n.edb")); }, "TCFSHugeFile.RenameFile - No memory files exist.");
  ASSERT_TRUE(memory.InternalOpen(true, false));
  memory.Close();
  expectMessage([&] { memory.InternalOpen(true, false); }, "TCFSHugeFile.InternalOpen - File was not closed.");

  TCFSMemoryFile part("x", false, false);
  expectMessage([&] { part.Open(false); }, "TCFSMemoryFile.Open - File cannot be open, only creation is available.");
  ASSERT_TRUE(part.Open(true));
  expectMessage([&] { part.ReadBuffer(buffer, 4); }, "TCFSAbstractFile.ReadBuffer - Stream read error");
  TCFSDiskFile disk("/db/none", false, false);
  EXPECT_FALSE(disk.Open(false));
  expectMessage([&] { disk.WriteBuffer(buffer, 4); }, "TCFSAbstractFile.WriteBuffer - Stream write error");
}

TEST_F(HugeFileTest, DiskPartsHonourAccessAndSharing) {
  makeFile("/db/c.edb", pattern(50));
  {
    TCFSHugeFile exclusive("/db/c.edb", true, false, false);
    ASSERT_TRUE(exclusive.InternalOpen(false, false));
    TCFSHugeFile other("/db/c.edb", false, true, false);
    EXPECT_FALSE(other.InternalOpen(false, false));
  }
  TCFSHugeFile shared("/db/c.edb", false, true, false);
  ASSERT_TRUE(shared.InternalOpen(false, false));
  TCFSHugeFile reader("/db/c.edb", false, true, false);
  ASSERT_TRUE(reader.InternalOpen(false, false));
  const uint8_t byte = 1;
  reader.Seek(0, 0);
  EXPECT_EQ(reader.Write(&byte, 1), 0);  // opened for reading only
}

TEST_F(HugeFileTest, RenameMovesTheWholeChain) {
  const auto data = pattern(250);
  makeFile("/db/Data.edb", data);
  TCFSHugeFile file("/db/Data.edb", true, false, false);
  ASSERT_TRUE(file.RenameFile("/elsewhere/new.edb"));  // the directory stays
  EXPECT_EQ(file.FileName(), "/db/new.edb");
  for (const char* gone : {"/db/Data.edb", "/db/Data.edb1", "/db/Data.edb2"}) EXPECT_FALSE(fs.FileExists(gone));
  EXPECT_EQ(nextName(fs.ReadAll("/db/new.edb")), "new.edb1");
  EXPECT_EQ(nextName(fs.ReadAll("/db/new.edb1")), "new.edb2");
  ASSERT_TRUE(file.InternalOpen(false, false));
  EXPECT_EQ(readAll(file), data);
  file.Close();

  // A target that exists makes the rename fail and changes nothing.
  fs.WriteAll("/db/taken.edb", {1});
  EXPECT_FALSE(file.RenameFile("taken.edb"));
  EXPECT_EQ(file.FileName(), "/db/new.edb");
  EXPECT_TRUE(fs.FileExists("/db/new.edb1"));
}

// A rename that fails on the way (a part's rename, its header's update or the flush of that
// header) reports it and leaves a whole chain under the first part's current name, which a
// rename back to the old name restores. (A failed read of the start-offset scan or a failed
// flush when a part is closed after its header was flushed changes nothing.)
TEST_F(HugeFileTest, FaultFailedRenameLeavesAWholeChain) {
  using platform::FaultKind;
  const auto data = pattern(250);
  for (FaultKind kind : {FaultKind::Rename, FaultKind::Write, FaultKind::Flush, FaultKind::Read}) {
    bool completed = false;
    int failed = 0;
    for (uint64_t k = 1; !completed && k < 50; ++k) {
      SCOPED_TRACE(::testing::Message() << "fault kind " << int(kind) << ", operation " << k);
      for (const char* name : {"/db/Data.edb", "/db/Data.edb1", "/db/Data.edb2", "/db/x.edb", "/db/x.edb1", "/db/x.edb2"})
        fs.DeleteFile(name);
      makeFile("/db/Data.edb", data);
      TCFSHugeFile file("/db/Data.edb", true, false, false);
      bool ok = false;
      {
        platform::FaultFileSystem faulty(fs);
        ScopedFileSystem useFaulty(faulty);
        faulty.FailAt(kind, k);
        ok = file.RenameFile("x.edb");
        completed = faulty.Injected() == 0;
      }
      if (kind == FaultKind::Rename || kind == FaultKind::Write || (kind == FaultKind::Flush && k == 1)) {
        EXPECT_EQ(ok, completed);
      }
      EXPECT_TRUE(ok || !completed);
      TCFSHugeFile reopened(file.FileName(), true, false, false);
      ASSERT_TRUE(reopened.InternalOpen(false, false));
      EXPECT_EQ(readAll(reopened), data);
      reopened.Close();
      if (ok) continue;
      ++failed;
      if (file.FileName() != "/db/Data.edb") {
        ASSERT_TRUE(file.RenameFile("Data.edb"));
      }
      TCFSHugeFile back("/db/Data.edb", true, false, false);
      ASSERT_TRUE(back.InternalOpen(false, false));
      EXPECT_EQ(readAll(back), data);
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(failed, 0);
  }
}

TEST_F(HugeFileTest, RenameReplacesTheBaseNameCaselessly) {
  makeFile("/db/Data.edb", pattern(150));
  // Rename the second part to a different letter case, as a case-insensitive file system would
  // hand it back.
  ASSERT_TRUE(fs.RenameFile("/db/Data.edb1", "/db/DATA.EDB1"));
  auto image = fs.ReadAll("/db/Data.edb");
  std::memcpy(image.data() + kPartNextNameOffset, "DATA.EDB1", 9);
  fs.WriteAll("/db/Data.edb", image);

  TCFSHugeFile file("/db/Data.edb", true, false, false);
  ASSERT_TRUE(file.RenameFile("x.edb"));
  EXPECT_TRUE(fs.FileExists("/db/x.edb1"));
  EXPECT_EQ(nextName(fs.ReadAll("/db/x.edb")), "x.edb1");
}

TEST_F(HugeFileTest, MemoryModeKeepsDataAcrossCloseAndWritesItOnSwitch) {
  const auto data = pattern(250);
  TCFSHugeFile::ScopedMaxPartSize small(kSmallPart);
  TCFSHugeFile memory("/db/c.edb", true, false, true);
  ASSERT_TRUE(memory.InternalOpen(true, false));
  memory.WriteBuffer(data.data(), 250);
  EXPECT_FALSE(fs.FileExists("/db/c.edb"));
  memory.Close();
  ASSERT_TRUE(memory.InternalOpen(false, false));
  EXPECT_EQ(readAll(memory), data);

  ASSERT_TRUE(memory.RenameFile("d.edb"));
  ASSERT_TRUE(memory.SetInMemory(false));
  EXPECT_FALSE(memory.InMemory());
  memory.Close();
  EXPECT_EQ(nextName(fs.ReadAll("/db/d.edb")), "d.edb1");
  EXPECT_EQ(nextName(fs.ReadAll("/db/d.edb1")), "d.edb2");
  makeFile("/db/ref.edb", data);
  EXPECT_EQ(fs.ReadAll("/db/d.edb2"), fs.ReadAll("/db/ref.edb2"));

  // Loading a disk file into memory leaves the disk file alone.
  TCFSHugeFile loaded("/db/d.edb", true, false, true);
  ASSERT_TRUE(loaded.InternalOpen(false, false));
  EXPECT_EQ(loaded.PartCount(), 3);
  EXPECT_EQ(readAll(loaded), data);
  const uint8_t zero = 0;
  loaded.Seek(0, 0);
  loaded.WriteBuffer(&zero, 1);
  ASSERT_TRUE(loaded.SetSize(10));
  EXPECT_TRUE(fs.FileExists("/db/d.edb2"));
  EXPECT_EQ(fs.ReadAll("/db/d.edb")[kPartHeaderSize], data[0]);
  EXPECT_TRUE(loaded.DeleteFiles());
  EXPECT_EQ(loaded.PartCount(), 0);
  EXPECT_TRUE(fs.FileExists("/db/d.edb"));
}

// Switching to disk replaces the disk copy only once the memory image is complete beside it: a
// failed read, write, flush, rename, delete or folder sync on the way leaves the disk copy as it
// was and the image in memory; a switch that succeeds leaves the image's parts and nothing of the
// old copy (except what a failed deletion of its later parts leaves as "~old" files).
TEST_F(HugeFileTest, FaultSwitchToDiskKeepsOneCompleteCopy) {
  using platform::FaultKind;
  TCFSHugeFile::ScopedMaxPartSize small(kSmallPart);
  const auto onDisk = pattern(330, 3);  // four parts
  const auto image = pattern(150, 5);   // two parts
  auto files = [this] { return pagetest::sortedNames(fs, "/db"); };
  auto diskContent = [] {
    TCFSHugeFile disk("/db/c.edb", true, true, false);
    EXPECT_TRUE(disk.InternalOpen(false, false));
    return disk.IsOpen() ? readAll(disk) : std::vector<uint8_t>();
  };
  for (FaultKind kind : {FaultKind::Read, FaultKind::Write, FaultKind::Flush, FaultKind::Rename, FaultKind::Delete,
                         FaultKind::DirSync}) {
    bool completed = false;
    int failed = 0;
    for (uint64_t k = 1; !completed && k < 200; ++k) {
      SCOPED_TRACE(::testing::Message() << "fault kind " << int(kind) << ", operation " << k);
      for (const std::string& name : files()) ASSERT_TRUE(fs.DeleteFile("/db/" + name));
      makeFile("/db/c.edb", onDisk);
      const auto before = files();
      platform::FaultFileSystem faulty(fs);  // declared first: parts opened through it refer to it
      TCFSHugeFile memory("/db/c.edb", true, false, true);
      ASSERT_TRUE(memory.InternalOpen(false, false));
      memory.WriteBuffer(image.data(), static_cast<int64_t>(image.size()));
      ASSERT_TRUE(memory.SetSize(150));
      bool ok = false;
      {
        ScopedFileSystem useFaulty(faulty);
        faulty.FailAt(kind, k);
        ok = memory.SetInMemory(false);
        completed = faulty.Injected() == 0;
        faulty.Reset();
      }
      EXPECT_TRUE(ok || !completed);
      EXPECT_EQ(memory.InMemory(), !ok);
      EXPECT_EQ(readAll(memory), image) << "the object serves the image either way";
      memory.Close();
      if (!ok) {
        ++failed;
        EXPECT_EQ(diskContent(), onDisk);
        // A failed deletion of a new part leaves it behind; nothing else stays.
        if (kind != FaultKind::Delete) {
          EXPECT_EQ(files(), before);
        }
        continue;
      }
      EXPECT_EQ(diskContent(), image);
      std::vector<std::string> expected{"c.edb", "c.edb1"};
      for (const std::string& name : files()) {
        if (name.rfind("c.edb~old", 0) != 0) continue;
        EXPECT_TRUE(kind == FaultKind::Delete || kind == FaultKind::Read) << name;
        expected.push_back(name);
      }
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(files(), expected);
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(failed, 0) << "the faults must reach the switch";
  }
}

TEST_F(HugeFileTest, FaultWriteFailuresShowAsShortCounts) {
  platform::FaultFileSystem faulty(fs);
  ScopedFileSystem useFaulty(faulty);
  TCFSHugeFile::ScopedMaxPartSize small(kSmallPart);
  TCFSHugeFile file("/db/c.edb", true, false, false);
  ASSERT_TRUE(file.InternalOpen(true, false));
  const auto data = pattern(250);

  faulty.FailAt(platform::FaultKind::Write, 2);  // the second write: the next part's header
  EXPECT_EQ(file.Write(data.data(), 250), 100);
  EXPECT_EQ(file.GetSize(), 100);
  faulty.Reset();
  faulty.FailAt(platform::FaultKind::Write, 1);
  try {
    file.WriteBuffer(data.data(), 10);
    ADD_FAILURE() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "TCFSHugeFile.WriteBuffer - Stream write error");
  }
  faulty.Reset();
  faulty.FailAt(platform::FaultKind::SizeChange, 1);
  EXPECT_FALSE(file.SetSize(500));
  EXPECT_LT(file.GetSize(), 500);
  faulty.Reset();
  EXPECT_TRUE(file.SetSize(450));
  EXPECT_EQ(file.PartCount(), 5);
}

// A read in the background gives what a read at its place gives, across parts and with a
// transaction's pages laid over; a change made meanwhile (a write, a commit) voids it, a read
// meanwhile does not, and a buffer it does not read into has nothing to finish.
TEST_F(HugeFileTest, BackgroundReadGivesWhatAReadGivesUntilAChange) {
  const std::vector<uint8_t> data = pattern(1000);
  for (const bool inTransaction : {false, true}) {
    SCOPED_TRACE(inTransaction ? "in a transaction" : "plain");
    makeFile("bg.edb", data);
    TCFSTransaction::ScopedEnabled enabled(true);
    TCFSHugeFile file("bg.edb", true, false, false);
    ASSERT_TRUE(file.InternalOpen(false, false));
    if (inTransaction) {
      file.BeginTransactions(256);
      ASSERT_TRUE(file.InTransaction());
    }
    std::vector<uint8_t> expected = data;
    // Not yet committed: the transaction keeps these bytes in memory.
    const std::vector<uint8_t> changed = pattern(150, 9);
    file.Seek(420, 0);
    file.WriteBuffer(changed.data(), static_cast<int64_t>(changed.size()));
    std::copy(changed.begin(), changed.end(), expected.begin() + 420);

    std::vector<uint8_t> back(700, 0);
    file.StartReadAt(250, back.data(), 700);
    std::vector<uint8_t> between(10);
    file.Seek(0, 0);
    file.ReadBuffer(between.data(), 10);  // a read meanwhile waits, and leaves it standing
    EXPECT_EQ(file.FinishReadAt(back.data()), 700);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), expected.begin() + 250));
    EXPECT_EQ(file.FinishReadAt(back.data()), -1) << "finished twice";

    // Past the end: the bytes up to it.
    file.StartReadAt(900, back.data(), 700);
    EXPECT_EQ(file.FinishReadAt(back.data()), 100);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 100, expected.begin() + 900));

    file.StartReadAt(0, back.data(), 100);
    EXPECT_EQ(file.FinishReadAt(between.data()), -1) << "another buffer";
    EXPECT_EQ(file.FinishReadAt(back.data()), 100);

    const std::function<void()> changes[] = {
        [&] {
          file.Seek(10, 0);
          file.WriteBuffer("x", 1);
        },
        [&] { EXPECT_TRUE(file.Flush()); },
        [&] { EXPECT_TRUE(file.SetSize(file.GetSize())); },
    };
    for (const auto& change : changes) {
      file.StartReadAt(0, back.data(), 700);
      change();
      EXPECT_EQ(file.FinishReadAt(back.data()), -1);
    }
    file.StartReadAt(0, back.data(), 700);
    file.Close();
    EXPECT_EQ(file.FinishReadAt(back.data()), -1);
  }
}

}  // namespace
}  // namespace tesvar::container
