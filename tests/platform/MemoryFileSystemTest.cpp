// Behaviours of the in-memory file system beyond those it shares with the host's
// (FileSystemContractTest): capacity, path forms, times, test helpers and handle lifetime.

#include "platform/IClock.h"
#include "platform/MemoryFileSystem.h"

#include <gtest/gtest.h>

using namespace tesvar::platform;

namespace {

const FileOpenOptions kCreate{.access = FileAccess::ReadWrite, .creation = FileCreation::CreateAlways};
const std::vector<uint8_t> kHundred(100, 0xAB);

class MemoryFileSystemTest : public ::testing::Test {
protected:
  MemoryFileSystem FFs;
};

}  // namespace

TEST_F(MemoryFileSystemTest, FullDiskWritesWhatFits) {
  FFs.SetCapacity(100);
  EXPECT_EQ(FFs.FreeSpace("x"), 100);
  auto a = FFs.Open("a.dat", kCreate);
  auto b = FFs.Open("b.dat", kCreate);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->Write(kHundred.data(), 60), 60);
  EXPECT_EQ(b->Write(kHundred.data(), 60), 40);  // short count, like a full disk
  EXPECT_EQ(b->Size(), 40);
  EXPECT_EQ(FFs.FreeSpace("b.dat"), 0);
  EXPECT_EQ(b->Write(kHundred.data(), 1), -1);
  EXPECT_FALSE(LastErrorText().empty());
  EXPECT_EQ(b->Size(), 40);

  // Overwriting needs no space; only the part beyond the end does.
  EXPECT_EQ(a->Seek(50, SeekOrigin::Begin), 50);
  EXPECT_EQ(a->Write(kHundred.data(), 20), 10);
  EXPECT_EQ(a->Size(), 60);
  EXPECT_FALSE(a->SetSize(61));
  EXPECT_TRUE(a->SetSize(10));  // shrinking frees space
  EXPECT_EQ(FFs.UsedBytes(), 50);

  // A gap before the position must fit as well; otherwise nothing changes.
  EXPECT_EQ(a->Seek(70, SeekOrigin::Begin), 70);
  EXPECT_EQ(a->Write(kHundred.data(), 5), -1);
  EXPECT_EQ(a->Size(), 10);
  EXPECT_EQ(a->Seek(55, SeekOrigin::Begin), 55);
  EXPECT_EQ(a->Write(kHundred.data(), 5), 5);
  EXPECT_EQ(a->Size(), 60);
  EXPECT_EQ(FFs.ReadAll("a.dat")[30], 0);
}

TEST_F(MemoryFileSystemTest, DeletedFilesFreeTheirSpaceWhenTheLastHandleCloses) {
  FFs.SetCapacity(1000);
  FileOpenOptions temp = kCreate;
  temp.deleteOnClose = true;
  auto f = FFs.Open("t.dat", temp);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Write(kHundred.data(), 100), 100);
  auto second = FFs.Open("t.dat", FileOpenOptions{.access = FileAccess::Read});
  EXPECT_EQ(FFs.OpenHandleCount("t.dat"), 2);
  f.reset();
  EXPECT_EQ(FFs.UsedBytes(), 100);
  second.reset();
  EXPECT_EQ(FFs.UsedBytes(), 0);
  EXPECT_EQ(FFs.FreeSpace(""), 1000);

  FFs.WriteAll("d.dat", kHundred);
  EXPECT_EQ(FFs.UsedBytes(), 100);
  EXPECT_TRUE(FFs.DeleteFile("d.dat"));
  EXPECT_EQ(FFs.UsedBytes(), 0);
}

TEST_F(MemoryFileSystemTest, PathForms) {
  ASSERT_TRUE(FFs.CreateDirectory("dir"));
  FFs.WriteAll("dir/f.dat", {1});
  for (const char* path : {"dir/f.dat", "dir\\f.dat", "/dir/f.dat", "\\dir\\f.dat", "./dir//f.dat",
                           "dir/sub/../f.dat", "../dir/f.dat"}) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(FFs.FileExists(path));
    EXPECT_NE(FFs.Open(path, FileOpenOptions{.access = FileAccess::Read}), nullptr);
  }
  EXPECT_FALSE(FFs.FileExists("DIR/f.dat"));  // names are case-sensitive
  for (const char* root : {"", "/", "\\", "."}) EXPECT_TRUE(FFs.DirectoryExists(root)) << root;
  EXPECT_FALSE(FFs.RemoveDirectory("/"));
  EXPECT_FALSE(FFs.CreateDirectory("/"));
  EXPECT_EQ(FFs.Open("/", kCreate), nullptr);
}

TEST_F(MemoryFileSystemTest, TimesFollowTheClock) {
  SettableClock clock;
  ScopedClock scope(clock);
  clock.SetNowUtc(1000);
  auto f = FFs.Open("t.dat", kCreate);
  clock.SetNowUtc(2000);
  EXPECT_EQ(f->Write("ab", 2), 2);
  clock.SetNowUtc(3000);
  char c;
  EXPECT_EQ(f->Read(&c, 1), 0);
  FileTimes times;
  ASSERT_TRUE(FFs.GetFileTimes("t.dat", times));
  EXPECT_EQ(times.creation, 1000);
  EXPECT_EQ(times.lastWrite, 2000);
  clock.SetNowUtc(4000);
  EXPECT_TRUE(f->SetSize(1));
  ASSERT_TRUE(FFs.GetFileTimes("t.dat", times));
  EXPECT_EQ(times.creation, 1000);
  EXPECT_EQ(times.lastWrite, 4000);
  ASSERT_TRUE(FFs.CreateDirectory("d"));
  ASSERT_TRUE(FFs.GetFileTimes("d", times));
  EXPECT_EQ(times.creation, 4000);
}

TEST_F(MemoryFileSystemTest, HelpersSeeAndReplaceContent) {
  EXPECT_TRUE(FFs.ReadAll("none").empty());
  EXPECT_EQ(FFs.OpenHandleCount("none"), 0);
  FFs.WriteAll("deep/er/f.dat", {1, 2, 3});  // creates the directories
  EXPECT_TRUE(FFs.DirectoryExists("deep/er"));
  auto f = FFs.Open("deep/er/f.dat", FileOpenOptions{.access = FileAccess::Read});
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(FFs.OpenHandleCount("deep/er/f.dat"), 1);
  FFs.WriteAll("deep/er/f.dat", {9, 8});  // seen by the open handle
  EXPECT_EQ(f->Size(), 2);
  uint8_t b[2];
  EXPECT_EQ(f->Read(b, 2), 2);
  EXPECT_EQ(b[0], 9);
  f.reset();
  EXPECT_EQ(FFs.OpenHandleCount("deep/er/f.dat"), 0);
  EXPECT_THROW(FFs.WriteAll("deep", {1}), std::invalid_argument);
}

TEST_F(MemoryFileSystemTest, DirectoriesRenameWithTheirContent) {
  ASSERT_TRUE(FFs.CreateDirectory("a"));
  ASSERT_TRUE(FFs.CreateDirectory("a/b"));
  FFs.WriteAll("a/b/f.dat", {5});
  EXPECT_FALSE(FFs.RenameFile("a", "a/b/c"));  // into itself
  {
    auto f = FFs.Open("a/b/f.dat", FileOpenOptions{.access = FileAccess::Read});
    EXPECT_FALSE(FFs.RenameFile("a", "z"));  // holds an open file
  }
  EXPECT_FALSE(FFs.RenameFile("a", "missing/z"));
  ASSERT_TRUE(FFs.RenameFile("a", "z"));
  EXPECT_FALSE(FFs.DirectoryExists("a"));
  EXPECT_EQ(FFs.ReadAll("z/b/f.dat"), std::vector<uint8_t>{5});
  ASSERT_TRUE(FFs.RenameFile("z/b/f.dat", "g.dat"));  // across directories
  EXPECT_EQ(FFs.ReadAll("g.dat"), std::vector<uint8_t>{5});
}

TEST(MemoryFileSystemLifetime, HandlesOutliveTheFileSystem) {
  std::unique_ptr<IFile> f;
  {
    MemoryFileSystem fs;
    f = fs.Open("f.dat", kCreate);
    ASSERT_NE(f, nullptr);
  }
  EXPECT_EQ(f->Write("abc", 3), 3);
  EXPECT_EQ(f->Size(), 3);
}
