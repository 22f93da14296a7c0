#include "platform/Paths.h"

#include <gtest/gtest.h>

using namespace tesvar::platform;

namespace {

// Expected values are written with '/' and turned into the platform delimiter where the
// function builds the path itself.
std::string native(std::string path) {
  for (char& c : path)
    if (c == '/') c = kPathDelimiter;
  return path;
}

struct SplitCase {
  const char* path;
  const char* name;
  const char* dir;
  const char* filePath;
  const char* ext;
};

const SplitCase kSplitCases[] = {
    {"dir/name.ext", "name.ext", "dir", "dir/", ".ext"},
    {"dir\\name.ext", "name.ext", "dir", "dir\\", ".ext"},
    {"a/b\\c.tar.gz", "c.tar.gz", "a/b", "a/b\\", ".gz"},
    {"name", "name", "", "", ""},
    {"", "", "", "", ""},
    {"dir/", "", "dir", "dir/", ""},
    {"/name", "name", "/", "/", ""},
    {"C:\\name.edb", "name.edb", "C:\\", "C:\\", ".edb"},
    {"a.b/c", "c", "a.b", "a.b/", ""},
    {"dir/.ini", ".ini", "dir", "dir/", ".ini"},
    {"dir/name.", "name.", "dir", "dir/", "."},
};

}  // namespace

TEST(Paths, SplitsEitherSeparator) {
  for (const SplitCase& c : kSplitCases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ExtractFileName(c.path), c.name);
    EXPECT_EQ(ExtractFileDir(c.path), c.dir);
    EXPECT_EQ(ExtractFilePath(c.path), c.filePath);
    EXPECT_EQ(ExtractFileExt(c.path), c.ext);
  }
}

TEST(Paths, BuildsWithThePlatformDelimiter) {
  struct Case {
    const char* dir;
    const char* name;
    std::string trailing;  // IncludeTrailingPathDelimiter(dir)
    std::string joined;    // JoinPath(dir, name)
  };
  const Case cases[] = {
      {"dir", "f.dat", native("dir/"), native("dir/f.dat")},
      {"dir/", "f.dat", "dir/", "dir/f.dat"},
      {"dir\\", "f.dat", "dir\\", "dir\\f.dat"},
      {"", "f.dat", "", "f.dat"},
      {"dir", "/f.dat", native("dir/"), native("dir/f.dat")},
      {"dir/", "\\f.dat", "dir/", "dir/f.dat"},
      {"dir", "", native("dir/"), native("dir/")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dir) + " + " + c.name);
    EXPECT_EQ(IncludeTrailingPathDelimiter(c.dir), c.trailing);
    EXPECT_EQ(JoinPath(c.dir, c.name), c.joined);
  }
}
