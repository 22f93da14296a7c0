// Host-specific behaviours of the operating system's file system on POSIX: sharing locks seen
// by another process, delete-on-close identity, free space of paths that do not exist yet.
// The behaviours shared with the in-memory file system are in FileSystemContractTest.

#ifndef _WIN32

#include "platform/IClock.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

using namespace tesvar::platform;

namespace {

class PosixFileSystemTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/tesvar-posix-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    FRoot = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(FRoot, ec);
  }
  std::string P(const std::string& name) const { return JoinPath(FRoot, name); }

  void Put(const std::string& name, const std::string& text) {
    auto f = Fs().Open(
        P(name), FileOpenOptions{.access = FileAccess::ReadWrite, .creation = FileCreation::CreateAlways});
    ASSERT_NE(f, nullptr) << LastErrorText();
    ASSERT_EQ(f->Write(text.data(), static_cast<int64_t>(text.size())), static_cast<int64_t>(text.size()));
  }

  static IFileSystem& Fs() { return OsFileSystem(); }
  std::string FRoot;
};

// Runs body in a child process that holds the file open with the given mode meanwhile.
void whileAnotherProcessHolds(const std::string& path, FileAccess access, FileShare share,
                              const std::function<void()>& body) {
  int ready[2];
  int done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto f = OsFileSystem().Open(path, FileOpenOptions{.access = access, .share = share});
    const char ok = f ? 'y' : 'n';
    (void)!write(ready[1], &ok, 1);
    char c;
    (void)!read(done[0], &c, 1);
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  body();
  (void)!write(done[1], "x", 1);
  int status = 0;
  waitpid(child, &status, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

}  // namespace

TEST_F(PosixFileSystemTest, SharingLocksReachOtherProcesses) {
  Put("f.dat", "abc");
  whileAnotherProcessHolds(P("f.dat"), FileAccess::Read, FileShare::Read, [&] {
    EXPECT_EQ(Fs().Open(P("f.dat"), FileOpenOptions{.access = FileAccess::ReadWrite}), nullptr);
    EXPECT_NE(Fs().Open(P("f.dat"), FileOpenOptions{.access = FileAccess::Read}), nullptr);
    EXPECT_FALSE(Fs().DeleteFile(P("f.dat")));
    EXPECT_FALSE(Fs().RenameFile(P("f.dat"), P("g.dat")));
  });
  // The child's locks went with its descriptor.
  EXPECT_NE(Fs().Open(P("f.dat"), FileOpenOptions{.access = FileAccess::ReadWrite, .share = FileShare::None}),
            nullptr);
  EXPECT_TRUE(Fs().RenameFile(P("f.dat"), P("g.dat")));
}

TEST_F(PosixFileSystemTest, DeleteOnCloseSparesAFileThatReplacedIt) {
  auto temp = Fs().Open(P("t.dat"), FileOpenOptions{.access = FileAccess::ReadWrite,
                                                    .creation = FileCreation::CreateAlways,
                                                    .deleteOnClose = true});
  ASSERT_NE(temp, nullptr);
  Put("other.dat", "keep");
  std::filesystem::rename(P("other.dat"), P("t.dat"));  // behind the engine's back
  temp.reset();
  EXPECT_TRUE(Fs().FileExists(P("t.dat")));
}

TEST_F(PosixFileSystemTest, ReadOnlyFilesRefuseWritersEvenForTheSuperuser) {
  Put("ro.dat", "x");
  ASSERT_TRUE(Fs().SetReadOnly(P("ro.dat"), true));
  const auto perms = std::filesystem::status(P("ro.dat")).permissions();
  EXPECT_EQ(perms & std::filesystem::perms::all &
                (std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                 std::filesystem::perms::others_write),
            std::filesystem::perms::none);
  EXPECT_EQ(Fs().Open(P("ro.dat"), FileOpenOptions{.access = FileAccess::ReadWrite}), nullptr);
  ASSERT_TRUE(Fs().SetReadOnly(P("ro.dat"), false));
  EXPECT_NE(std::filesystem::status(P("ro.dat")).permissions() & std::filesystem::perms::owner_write,
            std::filesystem::perms::none);
}

TEST_F(PosixFileSystemTest, TimesAndFreeSpace) {
  const int64_t before = SystemClock().NowUtc() - 10 * kFileTimeTicksPerSecond;
  Put("t.dat", "abc");
  FileTimes times;
  ASSERT_TRUE(Fs().GetFileTimes(P("t.dat"), times));
  EXPECT_GE(times.lastWrite, before);
  EXPECT_LE(times.lastWrite, SystemClock().NowUtc() + 10 * kFileTimeTicksPerSecond);
  EXPECT_LE(times.creation, times.lastWrite);
  EXPECT_GT(Fs().FreeSpace(P("not/yet/there.edb")), 0);
}

TEST_F(PosixFileSystemTest, DevicesAndPipesAreWrittenAsStreams) {
  const FileOpenOptions writing{.access = FileAccess::ReadWrite};
  auto null = Fs().Open("/dev/null", writing);
  ASSERT_NE(null, nullptr) << LastErrorText();
  EXPECT_FALSE(null->IsRegular());
  EXPECT_EQ(null->Write("abc", 3), 3);
  EXPECT_TRUE(null->Flush()) << LastErrorText();

  Put("f.dat", "x");
  auto regular = Fs().Open(P("f.dat"), writing);
  ASSERT_NE(regular, nullptr);
  EXPECT_TRUE(regular->IsRegular());

  // A pipe takes writes where it stands (positional writes fail on it) and reads them back.
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  auto fifo = Fs().Open(P("fifo"), writing);
  ASSERT_NE(fifo, nullptr) << LastErrorText();
  EXPECT_FALSE(fifo->IsRegular());
  EXPECT_EQ(fifo->Write("hello", 5), 5) << LastErrorText();
  EXPECT_EQ(fifo->Write(" pipe", 5), 5) << LastErrorText();
  EXPECT_TRUE(fifo->Flush());
  char text[10] = {};
  EXPECT_EQ(fifo->Read(text, 10), 10) << LastErrorText();
  EXPECT_EQ(std::string(text, 10), "hello pipe");
}

#endif  // _WIN32
