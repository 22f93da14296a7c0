// Behaviours every file system of the platform layer shares: the in-memory one and the
// operating system's (in a fresh temporary directory) run the same cases.

#include "platform/IClock.h"
#include "platform/IFileSystem.h"
#include "platform/MemoryFileSystem.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#ifndef _WIN32
#include <cstdlib>
#endif

using namespace tesvar::platform;

namespace {

// A file system under test and the directory the cases work in.
class Subject {
public:
  virtual ~Subject() = default;
  virtual IFileSystem& Fs() = 0;
  virtual std::string Root() = 0;
};

class MemorySubject final : public Subject {
public:
  IFileSystem& Fs() override { return FFs; }
  std::string Root() override { return "work"; }
  MemorySubject() { FFs.CreateDirectory("work"); }

private:
  MemoryFileSystem FFs;
};

#ifndef _WIN32
// A directory made with mkdtemp under /tmp and removed with everything in it afterwards.
class OsSubject final : public Subject {
public:
  OsSubject() {
    char pattern[] = "/tmp/tesvar-platform-XXXXXX";
    if (mkdtemp(pattern) != nullptr) FRoot = pattern;
  }
  ~OsSubject() override {
    if (FRoot.empty()) return;
    std::error_code ec;
    // Write bits back first, so that removal works for users other than root as well.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(FRoot, ec))
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write,
                                   std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(FRoot, ec);
  }
  IFileSystem& Fs() override { return OsFileSystem(); }
  std::string Root() override { return FRoot; }

private:
  std::string FRoot;
};
#endif

struct SubjectKind {
  const char* name;
  std::function<std::unique_ptr<Subject>()> make;
};

const SubjectKind kSubjects[] = {
    {"Memory", [] { return std::make_unique<MemorySubject>(); }},
#ifndef _WIN32
    {"Os", [] { return std::make_unique<OsSubject>(); }},
#endif
};

const FileOpenOptions kCreate{.access = FileAccess::ReadWrite, .creation = FileCreation::CreateAlways};
const FileOpenOptions kRead{.access = FileAccess::Read};
const FileOpenOptions kWrite{.access = FileAccess::ReadWrite};

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

class FileSystemContract : public ::testing::TestWithParam<SubjectKind> {
protected:
  void SetUp() override {
    FSubject = GetParam().make();
    ASSERT_FALSE(FSubject->Root().empty());
  }

  IFileSystem& Fs() { return FSubject->Fs(); }
  std::string P(const std::string& name) { return JoinPath(FSubject->Root(), name); }

  void Put(const std::string& name, const std::vector<uint8_t>& data) {
    auto f = Fs().Open(P(name), kCreate);
    ASSERT_NE(f, nullptr) << LastErrorText();
    ASSERT_EQ(f->Write(data.data(), static_cast<int64_t>(data.size())), static_cast<int64_t>(data.size()));
  }

  std::vector<uint8_t> Get(const std::string& name) {
    auto f = Fs().Open(P(name), kRead);
    if (!f) return {};
    std::vector<uint8_t> data(static_cast<size_t>(f->Size()));
    EXPECT_EQ(f->Read(data.data(), static_cast<int64_t>(data.size())), static_cast<int64_t>(data.size()));
    return data;
  }

  std::unique_ptr<Subject> FSubject;
};

}  // namespace

TEST_P(FileSystemContract, SharingFollowsTheHostRules) {
  struct Mode {
    FileAccess access;
    FileShare share;
    const char* name;
  };
  const Mode modes[] = {
      {FileAccess::Read, FileShare::None, "R/None"},
      {FileAccess::Read, FileShare::Read, "R/Read"},
      {FileAccess::Read, FileShare::ReadWrite, "R/RW"},
      {FileAccess::ReadWrite, FileShare::None, "W/None"},
      {FileAccess::ReadWrite, FileShare::Read, "W/Read"},
      {FileAccess::ReadWrite, FileShare::ReadWrite, "W/RW"},
  };
  // Row: the handle already open; column: the new open, in the order of modes. x = allowed.
  const char* const allowed[] = {
      "......",  // R/None refuses everyone
      ".xx...",  // R/Read: readers that let it read
      ".xx.xx",  // R/RW: anyone that lets it read
      "......",  // W/None
      "..x...",  // W/Read: readers that let it write
      "..x..x",  // W/RW: anyone that lets it write
  };
  Put("shared.dat", bytes({1, 2, 3}));
  for (size_t i = 0; i < 6; ++i) {
    for (size_t j = 0; j < 6; ++j) {
      SCOPED_TRACE(std::string("existing ") + modes[i].name + ", new " + modes[j].name);
      auto first =
          Fs().Open(P("shared.dat"), FileOpenOptions{.access = modes[i].access, .share = modes[i].share});
      ASSERT_NE(first, nullptr) << LastErrorText();
      auto second =
          Fs().Open(P("shared.dat"), FileOpenOptions{.access = modes[j].access, .share = modes[j].share});
      EXPECT_EQ(second != nullptr, allowed[i][j] == 'x');
      if (!second) {
        EXPECT_FALSE(LastErrorText().empty());
      }
      second.reset();
      first.reset();
      // Closing the first handle lifts its restrictions.
      EXPECT_NE(
          Fs().Open(P("shared.dat"), FileOpenOptions{.access = modes[j].access, .share = modes[j].share}),
          nullptr);
    }
  }
  EXPECT_EQ(Get("shared.dat"), bytes({1, 2, 3}));
}

TEST_P(FileSystemContract, RefusedCreateAlwaysKeepsTheContent) {
  Put("keep.dat", bytes({7, 8, 9}));
  {
    auto reader =
        Fs().Open(P("keep.dat"), FileOpenOptions{.access = FileAccess::Read, .share = FileShare::Read});
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(Fs().Open(P("keep.dat"), kCreate), nullptr);
    // Truncating writes even when the new handle only asks to read.
    EXPECT_EQ(Fs().Open(P("keep.dat"),
                        FileOpenOptions{.access = FileAccess::Read, .creation = FileCreation::CreateAlways}),
              nullptr);
  }
  EXPECT_EQ(Get("keep.dat"), bytes({7, 8, 9}));
}

TEST_P(FileSystemContract, CreationModes) {
  EXPECT_EQ(Fs().Open(P("missing.dat"), kRead), nullptr);
  EXPECT_FALSE(LastErrorText().empty());
  EXPECT_EQ(Fs().Open(P("missing.dat"), kWrite), nullptr);
  EXPECT_FALSE(Fs().FileExists(P("missing.dat")));

  auto created = Fs().Open(
      P("new.dat"), FileOpenOptions{.access = FileAccess::ReadWrite, .creation = FileCreation::CreateNew});
  ASSERT_NE(created, nullptr) << LastErrorText();
  created.reset();
  EXPECT_TRUE(Fs().FileExists(P("new.dat")));
  EXPECT_EQ(Fs().Open(P("new.dat"),
                      FileOpenOptions{.access = FileAccess::ReadWrite, .creation = FileCreation::CreateNew}),
            nullptr);

  Put("new.dat", bytes({1, 2, 3, 4}));
  Put("new.dat", bytes({5}));  // CreateAlways truncates
  EXPECT_EQ(Get("new.dat"), bytes({5}));
}

TEST_P(FileSystemContract, ReadWriteSeekAndSize) {
  auto f = Fs().Open(P("rw.dat"), kCreate);
  ASSERT_NE(f, nullptr);
  const auto abc = bytes({'a', 'b', 'c'});
  // Writing past the end fills the gap with zeros.
  EXPECT_EQ(f->Seek(4, SeekOrigin::Begin), 4);
  EXPECT_EQ(f->Write(abc.data(), 3), 3);
  EXPECT_EQ(f->Size(), 7);
  EXPECT_EQ(f->Seek(-2, SeekOrigin::Current), 5);
  EXPECT_EQ(f->Seek(-1, SeekOrigin::Begin), -1);  // negative: refused, position kept
  uint8_t two[2] = {};
  EXPECT_EQ(f->Read(two, 2), 2);
  EXPECT_EQ(two[0], 'b');
  EXPECT_EQ(f->Read(two, 2), 0);  // at the end
  EXPECT_EQ(f->Seek(-7, SeekOrigin::End), 0);
  EXPECT_EQ(f->Write(abc.data(), 0), 0);
  EXPECT_EQ(f->Size(), 7);

  // SetSize cuts and extends with zeros and leaves the position alone.
  EXPECT_EQ(f->Seek(6, SeekOrigin::Begin), 6);
  EXPECT_TRUE(f->SetSize(2));
  EXPECT_TRUE(f->SetSize(5));
  EXPECT_EQ(f->Seek(0, SeekOrigin::Current), 6);
  EXPECT_TRUE(f->Flush());
  f.reset();
  EXPECT_EQ(Get("rw.dat"), bytes({0, 0, 0, 0, 0}));

  Put("rw.dat", abc);
  auto reader = Fs().Open(P("rw.dat"), kRead);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->Write(abc.data(), 3), -1);
  EXPECT_FALSE(reader->SetSize(0));
  EXPECT_EQ(reader->Seek(10, SeekOrigin::Begin), 10);  // beyond the end is allowed
  EXPECT_EQ(reader->Read(two, 2), 0);
  reader.reset();
  EXPECT_EQ(Get("rw.dat"), abc);
}

TEST_P(FileSystemContract, DeleteOnCloseRemovesWithTheLastHandle) {
  auto temp = Fs().Open(P("temp.dat"), FileOpenOptions{.access = FileAccess::ReadWrite,
                                                       .creation = FileCreation::CreateAlways,
                                                       .deleteOnClose = true});
  ASSERT_NE(temp, nullptr);
  EXPECT_EQ(temp->Write("xyz", 3), 3);
  auto other = Fs().Open(P("temp.dat"), kRead);
  ASSERT_NE(other, nullptr);
  temp.reset();
  EXPECT_TRUE(Fs().FileExists(P("temp.dat")));
  char back[3] = {};
  EXPECT_EQ(other->Read(back, 3), 3);
  EXPECT_EQ(std::string(back, 3), "xyz");
  other.reset();
  EXPECT_FALSE(Fs().FileExists(P("temp.dat")));

  // Without the flag the file stays.
  Put("stays.dat", bytes({1}));
  EXPECT_TRUE(Fs().FileExists(P("stays.dat")));
}

TEST_P(FileSystemContract, OpenFilesCannotBeDeletedOrRenamed) {
  Put("open.dat", bytes({1, 2}));
  Put("other.dat", bytes({3}));
  {
    auto f = Fs().Open(P("open.dat"), kRead);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(Fs().DeleteFile(P("open.dat")));
    EXPECT_FALSE(Fs().RenameFile(P("open.dat"), P("moved.dat")));
    EXPECT_TRUE(Fs().FileExists(P("open.dat")));
    EXPECT_FALSE(Fs().FileExists(P("moved.dat")));
  }
  // Renaming onto an existing file fails and keeps both.
  EXPECT_FALSE(Fs().RenameFile(P("open.dat"), P("other.dat")));
  EXPECT_EQ(Get("other.dat"), bytes({3}));
  EXPECT_FALSE(Fs().RenameFile(P("absent.dat"), P("x.dat")));

  EXPECT_TRUE(Fs().RenameFile(P("open.dat"), P("moved.dat")));
  EXPECT_FALSE(Fs().FileExists(P("open.dat")));
  EXPECT_EQ(Get("moved.dat"), bytes({1, 2}));
  EXPECT_TRUE(Fs().DeleteFile(P("moved.dat")));
  EXPECT_FALSE(Fs().FileExists(P("moved.dat")));
  EXPECT_FALSE(Fs().DeleteFile(P("moved.dat")));
}

// DeleteFileQuick keeps DeleteFile's rules; the name is gone when it returns, so the name can be
// used again at once, and the new file is not disturbed by the old one's release.
TEST_P(FileSystemContract, QuickDeleteFollowsTheDeleteRules) {
  Put("open.dat", bytes({1}));
  Put("ro.dat", bytes({2}));
  ASSERT_TRUE(Fs().SetReadOnly(P("ro.dat"), true));
  ASSERT_TRUE(Fs().CreateDirectory(P("dir")));
  auto held = Fs().Open(P("open.dat"), kRead);
  ASSERT_NE(held, nullptr);
  for (const char* name : {"open.dat", "ro.dat", "dir", "absent.dat"}) {
    EXPECT_FALSE(Fs().DeleteFileQuick(P(name))) << name;
  }
  EXPECT_TRUE(Fs().FileExists(P("open.dat")));
  EXPECT_TRUE(Fs().FileExists(P("ro.dat")));
  EXPECT_TRUE(Fs().DirectoryExists(P("dir")));

  Put("big.dat", std::vector<uint8_t>(1 << 20, 7));
  EXPECT_TRUE(Fs().DeleteFileQuick(P("big.dat")));
  EXPECT_FALSE(Fs().FileExists(P("big.dat")));
  Put("big.dat", bytes({9, 8}));
  EXPECT_EQ(Get("big.dat"), bytes({9, 8}));
  ASSERT_TRUE(Fs().SetReadOnly(P("ro.dat"), false));
}

TEST_P(FileSystemContract, ReadOnlyAttributeRefusesWriting) {
  Put("ro.dat", bytes({4, 5}));
  ASSERT_TRUE(Fs().SetReadOnly(P("ro.dat"), true));
  EXPECT_EQ(Fs().Open(P("ro.dat"), kWrite), nullptr);
  EXPECT_EQ(Fs().Open(P("ro.dat"), kCreate), nullptr);
  EXPECT_FALSE(Fs().DeleteFile(P("ro.dat")));
  EXPECT_EQ(Get("ro.dat"), bytes({4, 5}));  // reading still works
  std::vector<DirEntry> entries;
  ASSERT_TRUE(Fs().ListDirectory(FSubject->Root(), entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].readOnly);

  ASSERT_TRUE(Fs().SetReadOnly(P("ro.dat"), false));
  EXPECT_NE(Fs().Open(P("ro.dat"), kWrite), nullptr);
  EXPECT_TRUE(Fs().DeleteFile(P("ro.dat")));
  EXPECT_FALSE(Fs().SetReadOnly(P("ro.dat"), true));
}

TEST_P(FileSystemContract, Directories) {
  EXPECT_TRUE(Fs().DirectoryExists(FSubject->Root()));
  EXPECT_FALSE(Fs().CreateDirectory(P("a/b")));  // parent missing
  ASSERT_TRUE(Fs().CreateDirectory(P("a")));
  EXPECT_FALSE(Fs().CreateDirectory(P("a")));
  ASSERT_TRUE(Fs().CreateDirectory(P("a/b")));
  EXPECT_TRUE(Fs().DirectoryExists(P("a")));
  EXPECT_FALSE(Fs().FileExists(P("a")));
  EXPECT_EQ(Fs().Open(P("a"), kRead), nullptr);  // a directory is not a file
  EXPECT_EQ(Fs().Open(P("nowhere/f.dat"), kCreate), nullptr);

  Put("a/f.dat", bytes({1, 2, 3}));
  EXPECT_TRUE(Fs().FileExists(P("a/f.dat")));
  EXPECT_FALSE(Fs().DirectoryExists(P("a/f.dat")));
  EXPECT_FALSE(Fs().DeleteFile(P("a")));

  std::vector<DirEntry> entries;
  ASSERT_TRUE(Fs().ListDirectory(P("a"), entries));
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& x, const DirEntry& y) { return x.name < y.name; });
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "b");
  EXPECT_TRUE(entries[0].isDirectory);
  EXPECT_EQ(entries[1].name, "f.dat");
  EXPECT_FALSE(entries[1].isDirectory);
  EXPECT_EQ(entries[1].size, 3);
  EXPECT_NE(entries[1].times.lastWrite, 0);
  EXPECT_FALSE(Fs().ListDirectory(P("none"), entries));
  EXPECT_TRUE(Fs().SyncDirectory(P("a")));
  EXPECT_TRUE(Fs().SyncDirectory(FSubject->Root()));
  EXPECT_FALSE(Fs().SyncDirectory(P("none")));
  EXPECT_FALSE(Fs().SyncDirectory(P("a/f.dat")));  // a file is not a directory

  EXPECT_FALSE(Fs().RemoveDirectory(P("a")));  // not empty
  EXPECT_TRUE(Fs().DeleteFile(P("a/f.dat")));
  EXPECT_TRUE(Fs().RemoveDirectory(P("a/b")));
  EXPECT_TRUE(Fs().RemoveDirectory(P("a")));
  EXPECT_FALSE(Fs().DirectoryExists(P("a")));
  EXPECT_FALSE(Fs().RemoveDirectory(P("a")));
}

TEST_P(FileSystemContract, TimesAndFreeSpace) {
  Put("t.dat", bytes({1}));
  FileTimes times;
  ASSERT_TRUE(Fs().GetFileTimes(P("t.dat"), times));
  EXPECT_GT(times.lastWrite, kUnixEpochFileTime);
  EXPECT_GT(times.creation, kUnixEpochFileTime);
  EXPECT_FALSE(Fs().GetFileTimes(P("none.dat"), times));
  EXPECT_GT(Fs().FreeSpace(P("t.dat")), 0);
  EXPECT_GT(Fs().FreeSpace(FSubject->Root()), 0);
}

INSTANTIATE_TEST_SUITE_P(Platform, FileSystemContract, ::testing::ValuesIn(kSubjects),
                         [](const auto& info) { return std::string(info.param.name); });
