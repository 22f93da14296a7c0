#include "platform/CrashFileSystem.h"

#include <gtest/gtest.h>

#include <set>

using namespace tesvar::platform;

namespace {

FileOpenOptions createOptions(bool deleteOnClose = false) {
  FileOpenOptions o;
  o.access = FileAccess::ReadWrite;
  o.creation = FileCreation::CreateAlways;
  o.deleteOnClose = deleteOnClose;
  return o;
}

FileOpenOptions openOptions() {
  FileOpenOptions o;
  o.access = FileAccess::ReadWrite;
  o.creation = FileCreation::OpenExisting;
  return o;
}

std::vector<uint8_t> bytes(std::initializer_list<uint8_t> b) { return b; }

void writeAt(IFile& f, int64_t offset, const std::vector<uint8_t>& data) {
  ASSERT_EQ(f.Seek(offset, SeekOrigin::Begin), offset);
  ASSERT_EQ(f.Write(data.data(), static_cast<int64_t>(data.size())), static_cast<int64_t>(data.size()));
}

constexpr int kSeeds = 64;

}  // namespace

TEST(CrashFileSystem, FlushedBytesAndSyncedNamesSurviveEveryRestart) {
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    CrashFileSystem fs;
    ASSERT_TRUE(fs.CreateDirectory("d"));
    {
      auto f = fs.Open("d/a.dat", createOptions());
      ASSERT_NE(f, nullptr);
      writeAt(*f, 0, bytes({1, 2, 3, 4}));
      ASSERT_TRUE(f->Flush());
      ASSERT_TRUE(fs.SyncDirectory("d"));
      writeAt(*f, 2, bytes({9, 9, 9}));  // pending: may or may not survive
    }
    const std::string what = fs.Restart(seed);
    SCOPED_TRACE(what);
    ASSERT_TRUE(fs.FileExists("d/a.dat"));
    const std::vector<uint8_t> got = fs.Live().ReadAll("d/a.dat");
    // Every outcome of one pending write: none, all, or a prefix of it.
    const std::set<std::vector<uint8_t>> allowed = {
        bytes({1, 2, 3, 4}), bytes({1, 2, 9, 4}), bytes({1, 2, 9, 9}), bytes({1, 2, 9, 9, 9})};
    EXPECT_EQ(allowed.count(got), 1u);
  }
}

TEST(CrashFileSystem, PendingChangesGiveEveryLossPattern) {
  // Four writes to separate places and a size change: across seeds, restarts must show nothing
  // kept, everything kept, a subset that is not a prefix, and a torn write.
  bool sawNone = false, sawAll = false, sawGap = false, sawTorn = false;
  for (uint64_t seed = 1; seed <= 200; ++seed) {
    CrashFileSystem fs;
    fs.Put("f.dat", std::vector<uint8_t>(16, 0));
    {
      auto f = fs.Open("f.dat", openOptions());
      ASSERT_NE(f, nullptr);
      for (int i = 0; i < 4; ++i) writeAt(*f, i * 4, std::vector<uint8_t>(4, uint8_t(i + 1)));
    }
    fs.Restart(seed);
    const std::vector<uint8_t> got = fs.Live().ReadAll("f.dat");
    ASSERT_EQ(got.size(), 16u) << "seed " << seed;
    int whole = 0;
    bool partial = false;
    std::vector<bool> kept(4);
    for (int i = 0; i < 4; ++i) {
      int same = 0;
      for (int j = 0; j < 4; ++j) same += got[size_t(i * 4 + j)] == i + 1;
      for (int j = 0; j < 4; ++j) {
        const uint8_t b = got[size_t(i * 4 + j)];
        ASSERT_TRUE(b == 0 || b == i + 1) << "seed " << seed;
      }
      kept[size_t(i)] = same == 4;
      whole += same == 4;
      partial = partial || (same > 0 && same < 4);
      if (same > 0 && same < 4) {
        // A torn write keeps a prefix of its bytes.
        for (int j = 1; j < 4; ++j) {
          if (got[size_t(i * 4 + j)] == i + 1) {
            ASSERT_EQ(got[size_t(i * 4 + j - 1)], i + 1) << "seed " << seed;
          }
        }
      }
    }
    sawNone = sawNone || (whole == 0 && !partial);
    sawAll = sawAll || whole == 4;
    sawTorn = sawTorn || partial;
    for (int i = 1; i < 4; ++i) sawGap = sawGap || (kept[size_t(i)] && !kept[size_t(i - 1)]);
  }
  EXPECT_TRUE(sawNone);
  EXPECT_TRUE(sawAll);
  EXPECT_TRUE(sawGap);
  EXPECT_TRUE(sawTorn);
}

TEST(CrashFileSystem, UnsyncedNamesMayBeLostButNeverDuplicated) {
  bool sawOld = false, sawNew = false, sawLostCreate = false;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    CrashFileSystem fs;
    fs.Put("old.dat", bytes({7}));
    ASSERT_TRUE(fs.RenameFile("old.dat", "new.dat"));
    {
      auto f = fs.Open("made.dat", createOptions());
      ASSERT_NE(f, nullptr);
      writeAt(*f, 0, bytes({5}));
      ASSERT_TRUE(f->Flush());  // its bytes are durable, its name is not
    }
    fs.Restart(seed);
    const bool atOld = fs.FileExists("old.dat");
    const bool atNew = fs.FileExists("new.dat");
    EXPECT_NE(atOld, atNew);
    EXPECT_EQ(fs.Live().ReadAll(atOld ? "old.dat" : "new.dat"), bytes({7}));
    sawOld = sawOld || atOld;
    sawNew = sawNew || atNew;
    if (fs.FileExists("made.dat"))
      EXPECT_EQ(fs.Live().ReadAll("made.dat"), bytes({5}));
    else
      sawLostCreate = true;
  }
  EXPECT_TRUE(sawOld);
  EXPECT_TRUE(sawNew);
  EXPECT_TRUE(sawLostCreate);
}

TEST(CrashFileSystem, SyncOfAnotherFolderLeavesNamesPending) {
  bool sawLost = false;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    CrashFileSystem fs;
    ASSERT_TRUE(fs.CreateDirectory("a"));
    ASSERT_TRUE(fs.CreateDirectory("b"));
    fs.Put("a/x.dat", bytes({1}));
    ASSERT_TRUE(fs.DeleteFile("a/x.dat"));
    ASSERT_TRUE(fs.SyncDirectory("b"));
    fs.Restart(seed);
    sawLost = sawLost || fs.FileExists("a/x.dat");
  }
  EXPECT_TRUE(sawLost) << "a delete in a/ stays pending after a sync of b/";
  CrashFileSystem fs;
  ASSERT_TRUE(fs.CreateDirectory("a"));
  fs.Put("a/x.dat", bytes({1}));
  ASSERT_TRUE(fs.DeleteFile("a/x.dat"));
  ASSERT_TRUE(fs.SyncDirectory("a"));
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    fs.Restart(seed);
    EXPECT_FALSE(fs.FileExists("a/x.dat"));
    EXPECT_TRUE(fs.DirectoryExists("a"));
  }
}

TEST(CrashFileSystem, TheProcessDiesAfterTheChosenStep) {
  CrashFileSystem fs;
  fs.Put("f.dat", bytes({0, 0, 0}));
  auto f = fs.Open("f.dat", openOptions());
  ASSERT_NE(f, nullptr);
  fs.CrashAfter(2);
  EXPECT_FALSE(fs.Crashed());
  writeAt(*f, 0, bytes({1}));  // step 1
  EXPECT_TRUE(f->Flush());     // step 2: the last one that happens
  EXPECT_TRUE(fs.Crashed());
  EXPECT_EQ(f->Write("\x02", 1), -1);
  EXPECT_FALSE(f->SetSize(0));
  EXPECT_FALSE(f->Flush());
  EXPECT_FALSE(fs.RenameFile("f.dat", "g.dat"));
  EXPECT_FALSE(fs.DeleteFile("f.dat"));
  EXPECT_FALSE(fs.SyncDirectory(""));
  EXPECT_EQ(fs.Open("new.dat", createOptions()), nullptr);
  EXPECT_EQ(fs.Live().ReadAll("f.dat"), bytes({1, 0, 0})) << "changes after the crash do nothing";
  uint8_t b[3];
  ASSERT_EQ(f->Seek(0, SeekOrigin::Begin), 0);
  EXPECT_EQ(f->Read(b, 3), 3) << "reads still answer";
  f.reset();
  fs.Restart(1);
  EXPECT_EQ(fs.Live().ReadAll("f.dat"), bytes({1, 0, 0})) << "flushed before the crash";
  EXPECT_FALSE(fs.Crashed());
  EXPECT_EQ(fs.Steps(), 0u);
}

TEST(CrashFileSystem, TemporaryFilesAndOldHandlesDoNotSurvive) {
  CrashFileSystem fs;
  fs.Put("keep.dat", bytes({1}));
  auto temp = fs.Open("temp.dat", createOptions(true));
  ASSERT_NE(temp, nullptr);
  writeAt(*temp, 0, bytes({3}));
  ASSERT_TRUE(temp->Flush());
  ASSERT_TRUE(fs.SyncDirectory(""));
  auto kept = fs.Open("keep.dat", openOptions());
  ASSERT_NE(kept, nullptr);
  fs.Restart(5);
  EXPECT_FALSE(fs.FileExists("temp.dat"));
  EXPECT_TRUE(fs.FileExists("keep.dat"));
  EXPECT_EQ(kept->Write("x", 1), -1);
  uint8_t b;
  EXPECT_EQ(kept->Read(&b, 1), -1);
  EXPECT_EQ(fs.Live().ReadAll("keep.dat"), bytes({1}));
}

TEST(CrashFileSystem, TheSameSeedGivesTheSameState) {
  auto run = [](uint64_t seed) {
    CrashFileSystem fs;
    {
      auto f = fs.Open("f.dat", createOptions());
      for (int i = 0; i < 20; ++i) writeAt(*f, i * 3, std::vector<uint8_t>(5, uint8_t(i)));
      f->SetSize(40);
    }
    fs.RenameFile("f.dat", "g.dat");
    const std::string what = fs.Restart(seed);
    return what + (fs.FileExists("g.dat") ? "g" : "") + (fs.FileExists("f.dat") ? "f" : "") +
           std::to_string(fs.Live().ReadAll("g.dat").size() + fs.Live().ReadAll("f.dat").size());
  };
  for (uint64_t seed = 1; seed <= 16; ++seed) EXPECT_EQ(run(seed), run(seed)) << "seed " << seed;
}

TEST(CrashFileSystem, MakeDurableKeepsEverything) {
  CrashFileSystem fs;
  {
    auto f = fs.Open("f.dat", createOptions());
    writeAt(*f, 0, bytes({4, 5}));
  }
  ASSERT_TRUE(fs.RenameFile("f.dat", "g.dat"));
  fs.MakeDurable();
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    fs.Restart(seed);
    EXPECT_EQ(fs.Live().ReadAll("g.dat"), bytes({4, 5}));
    EXPECT_FALSE(fs.FileExists("f.dat"));
  }
}
