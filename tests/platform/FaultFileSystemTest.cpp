#include "platform/FaultFileSystem.h"
#include "platform/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tesvar::platform;

namespace {

FileOpenOptions createOptions() {
  FileOpenOptions o;
  o.access = FileAccess::ReadWrite;
  o.creation = FileCreation::CreateAlways;
  return o;
}

const std::vector<uint8_t> kData = {1, 2, 3, 4, 5, 6, 7};

class FaultFileSystemTest : public ::testing::Test {
protected:
  void SetUp() override {
    FMemory.WriteAll("f.dat", kData);
    FileOpenOptions o;
    o.access = FileAccess::ReadWrite;
    FFile = FFaulty.Open("f.dat", o);
    ASSERT_NE(FFile, nullptr);
  }

  MemoryFileSystem FMemory;
  FaultFileSystem FFaulty{FMemory};
  std::unique_ptr<IFile> FFile;
};

// One counted operation per kind, and what a failed one must leave unchanged.
struct KindCase {
  const char* name;
  FaultKind kind;
  std::function<bool(IFile&)> operation;  // true = succeeded
};

const KindCase kKinds[] = {
    {"Read", FaultKind::Read,
     [](IFile& f) {
       uint8_t b[4];
       f.Seek(0, SeekOrigin::Begin);
       return f.Read(b, 4) == 4;
     }},
    {"Write", FaultKind::Write,
     [](IFile& f) {
       f.Seek(2, SeekOrigin::Begin);
       return f.Write("\x09\x09\x09", 3) == 3;
     }},
    {"Flush", FaultKind::Flush, [](IFile& f) { return f.Flush(); }},
    {"SizeChange", FaultKind::SizeChange, [](IFile& f) { return f.SetSize(3); }},
};

}  // namespace

TEST_F(FaultFileSystemTest, TheNthOperationFailsOnceAndChangesNothing) {
  for (const KindCase& c : kKinds) {
    SCOPED_TRACE(c.name);
    FFaulty.Reset();
    EXPECT_TRUE(c.operation(*FFile));
    FFaulty.FailAt(c.kind, 2);  // counted from now: the 3rd overall
    FMemory.WriteAll("f.dat", kData);
    EXPECT_TRUE(c.operation(*FFile));
    FMemory.WriteAll("f.dat", kData);
    EXPECT_FALSE(c.operation(*FFile));
    EXPECT_FALSE(LastErrorText().empty());
    EXPECT_EQ(FMemory.ReadAll("f.dat"), kData);
    EXPECT_TRUE(c.operation(*FFile));  // once only
    EXPECT_EQ(FFaulty.Count(c.kind), 4u);
    EXPECT_EQ(FFaulty.Injected(), 1u);
    for (const KindCase& other : kKinds) {
      if (other.kind != c.kind) {
        EXPECT_EQ(FFaulty.Count(other.kind), 0u) << other.name;
      }
    }
    FMemory.WriteAll("f.dat", kData);
  }
}

// The file system's own counted operations: renames, deletes and directory syncs.
TEST_F(FaultFileSystemTest, NameOperationsFailOnceAndChangeNothing) {
  FFile.reset();
  struct NameCase {
    const char* name;
    FaultKind kind;
    std::function<bool()> operation;  // true = succeeded
    std::function<bool()> changed;    // true = the operation took effect
  };
  const NameCase cases[] = {
      {"Rename", FaultKind::Rename, [&] { return FFaulty.RenameFile("f.dat", "g.dat"); },
       [&] { return FMemory.FileExists("g.dat"); }},
      {"Delete", FaultKind::Delete, [&] { return FFaulty.DeleteFile("f.dat"); },
       [&] { return !FMemory.FileExists("f.dat"); }},
      {"DeleteQuick", FaultKind::Delete, [&] { return FFaulty.DeleteFileQuick("f.dat"); },
       [&] { return !FMemory.FileExists("f.dat"); }},
      {"DirSync", FaultKind::DirSync, [&] { return FFaulty.SyncDirectory("d"); }, [] { return false; }},
  };
  ASSERT_TRUE(FMemory.CreateDirectory("d"));
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    FFaulty.Reset();
    FMemory.DeleteFile("g.dat");
    FMemory.WriteAll("f.dat", kData);
    FFaulty.FailAt(c.kind, 1);
    EXPECT_FALSE(c.operation());
    EXPECT_FALSE(c.changed());
    EXPECT_EQ(LastErrorText().rfind("Injected", 0), 0u) << LastErrorText();
    EXPECT_TRUE(c.operation());  // once only
    EXPECT_EQ(FFaulty.Count(c.kind), 2u);
    EXPECT_EQ(FFaulty.Injected(), 1u);
    EXPECT_EQ(FFaulty.Count(FaultKind::Write), 0u);
  }
  // Not planned: passes through, and the inner file system's own refusal comes back.
  FFaulty.Reset();
  EXPECT_FALSE(FFaulty.RenameFile("none.dat", "x.dat"));
  EXPECT_FALSE(FFaulty.SyncDirectory("none"));
  EXPECT_EQ(FFaulty.Injected(), 0u);
}

TEST_F(FaultFileSystemTest, AFailedTransferKeepsThePosition) {
  FFaulty.FailAt(FaultKind::Write, 1);
  FFaulty.FailAt(FaultKind::Read, 1);
  ASSERT_EQ(FFile->Seek(3, SeekOrigin::Begin), 3);
  EXPECT_EQ(FFile->Write("ab", 2), -1);
  uint8_t b[2];
  EXPECT_EQ(FFile->Read(b, 2), -1);
  EXPECT_EQ(FFile->Seek(0, SeekOrigin::Current), 3);
}

TEST_F(FaultFileSystemTest, FailFromFailsEveryLaterOperationUntilReset) {
  FFaulty.FailFrom(FaultKind::Write, 2);
  EXPECT_EQ(FFile->Write("a", 1), 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(FFile->Write("b", 1), -1);
  EXPECT_EQ(FFaulty.Injected(), 3u);
  EXPECT_EQ(FFaulty.Count(FaultKind::Write), 4u);
  FFaulty.Reset();
  EXPECT_EQ(FFaulty.Count(FaultKind::Write), 0u);
  EXPECT_EQ(FFaulty.Injected(), 0u);
  EXPECT_EQ(FFile->Write("c", 1), 1);
  EXPECT_EQ(FMemory.ReadAll("f.dat"), (std::vector<uint8_t>{'a', 'c', 3, 4, 5, 6, 7}));
}

TEST_F(FaultFileSystemTest, ShortModeTransfersHalf) {
  FFaulty.FailAt(FaultKind::Write, 1, FaultMode::Short);
  EXPECT_EQ(FFile->Write("abcde", 5), 2);  // half, rounded down, really written
  EXPECT_EQ(FMemory.ReadAll("f.dat"), (std::vector<uint8_t>{'a', 'b', 3, 4, 5, 6, 7}));
  EXPECT_EQ(FFile->Seek(0, SeekOrigin::Current), 2);

  FFaulty.FailFrom(FaultKind::Read, 1, FaultMode::Short);
  uint8_t b[7] = {};
  EXPECT_EQ(FFile->Read(b, 5), 2);
  EXPECT_EQ(b[0], 3);
  EXPECT_EQ(FFile->Read(b, 1), 0);

  // Short does not apply to flushes and size changes: they fail.
  FFaulty.FailAt(FaultKind::Flush, 1, FaultMode::Short);
  EXPECT_FALSE(FFile->Flush());
  FFaulty.FailAt(FaultKind::SizeChange, 1, FaultMode::Short);
  EXPECT_FALSE(FFile->SetSize(1));
  EXPECT_EQ(FFile->Size(), 7);
  EXPECT_EQ(FFaulty.Injected(), 5u);  // one write, two reads, a flush, a size change
}

TEST_F(FaultFileSystemTest, CountsAcrossAllFilesOfTheWrapper) {
  auto second = FFaulty.Open("g.dat", createOptions());
  ASSERT_NE(second, nullptr);
  FFaulty.FailAt(FaultKind::Write, 3);
  EXPECT_EQ(FFile->Write("a", 1), 1);
  EXPECT_EQ(second->Write("b", 1), 1);
  EXPECT_EQ(FFile->Write("c", 1), -1);
  EXPECT_EQ(second->Write("d", 1), 1);
  EXPECT_EQ(FMemory.ReadAll("g.dat"), (std::vector<uint8_t>{'b', 'd'}));
  // Operations through the inner file system directly are not counted.
  auto direct = FMemory.Open("g.dat", createOptions());
  EXPECT_EQ(direct->Write("e", 1), 1);
  EXPECT_EQ(FFaulty.Count(FaultKind::Write), 4u);
  // Failed opens give no file.
  FileOpenOptions missing;
  EXPECT_EQ(FFaulty.Open("none.dat", missing), nullptr);
}
