// Behaviour of the directory, temporary and in-memory plain file systems, over the in-memory host
// file system.

#include "pfs/TDiskFile.h"
#include "pfs/TDiskPlainFileSystem.h"
#include "pfs/TMemoryFile.h"
#include "pfs/TMemoryPlainFileSystem.h"
#include "pfs/TTemporaryPlainFileSystem.h"
#include "platform/Exception.h"
#include "platform/MemoryFileSystem.h"
#include "platform/Paths.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace tesvar;
using namespace tesvar::pfs;
using tesvar::testsupport::messageOf;

namespace {

const std::string kDir = "db";

std::string hostPath(const std::string& name) { return kDir + platform::kPathDelimiter + name; }

void writeText(TAbstractFile& file, const std::string& text) {
  file.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

// The whole content; the position is left at the end.
std::string readAll(TAbstractFile& file) {
  std::string text(static_cast<size_t>(file.GetSize()), '\0');
  file.SetPosition(0);
  file.ReadBuffer(text.data(), static_cast<int64_t>(text.size()));
  return text;
}

class PlainFileSystemFixture {
protected:
  PlainFileSystemFixture() { FMem.CreateDirectory(kDir); }

  platform::MemoryFileSystem FMem;
  platform::ScopedFileSystem FScope{FMem};
};

std::unique_ptr<TAbstractPlainFileSystem> makePFS(TFileStoreMode mode) {
  switch (mode) {
    case fsmDirectory: return std::make_unique<TDiskPlainFileSystem>(kDir);
    case fsmTemporary: return std::make_unique<TTemporaryPlainFileSystem>(kDir);
    default: return std::make_unique<TMemoryPlainFileSystem>(kDir);
  }
}

class PlainFileSystemModes : public PlainFileSystemFixture,
                             public ::testing::TestWithParam<TFileStoreMode> {
protected:
  PlainFileSystemModes() : FPFS(makePFS(GetParam())) {}
  bool onDisk() const { return GetParam() != fsmInMemory; }

  std::unique_ptr<TAbstractPlainFileSystem> FPFS;
};

TEST_P(PlainFileSystemModes, ReadsWritesSeeksAndSizes) {
  TAbstractFile& f = FPFS->OpenFile("T.bdf", true, false, false);
  EXPECT_EQ(FPFS->StoreMode(), GetParam());
  writeText(f, "hello world");
  EXPECT_EQ(f.Position(), 11);
  EXPECT_EQ(f.Size(), 11);
  EXPECT_EQ(f.Position(), 11) << "GetSize must restore the position";
  EXPECT_EQ(f.Seek(-5, TSeekOrigin::End), 6);
  char word[5];
  EXPECT_EQ(f.Read(word, 5), 5);
  EXPECT_EQ(std::string(word, 5), "world");
  EXPECT_EQ(f.Read(word, 5), 0);

  f.SetSize(5);
  EXPECT_EQ(f.Size(), 5);
  EXPECT_EQ(f.Position(), 5);
  f.SetPosition(8);
  writeText(f, "X");
  EXPECT_EQ(readAll(f), std::string("hello\0\0\0X", 9));
  EXPECT_EQ(f.Seek(-1, TSeekOrigin::Begin), -1);
  EXPECT_EQ(f.Position(), 9);
}

TEST_P(PlainFileSystemModes, SecondOpenOfAnOpenName) {
  TAbstractFile& f = FPFS->OpenFile("T.bdf", true, false, false);
  writeText(f, "abc");
  if (GetParam() == fsmDirectory) {
    EXPECT_EQ(messageOf([&] { FPFS->OpenFile("t.BDF", false, false, false); }),
              "TDiskPlainFileSystem.OpenFile - File \"" + hostPath("t.BDF") + "\" is already open.");
    EXPECT_EQ(FPFS->OpenFileCount(), 1u);
    return;
  }
  TAbstractFile& again = FPFS->OpenFile("t.BDF", false, false, false);
  EXPECT_EQ(&again, &f);
  EXPECT_EQ(again.Position(), 0);
  EXPECT_EQ(readAll(again), "abc");
  TAbstractFile& created = FPFS->OpenFile("T.bdf", true, false, false);
  EXPECT_EQ(&created, &f);
  EXPECT_EQ(created.Position(), 0);
  EXPECT_EQ(created.Size(), 0);
  EXPECT_EQ(FPFS->OpenFileCount(), 1u);
}

TEST_P(PlainFileSystemModes, OpenFileListIgnoresLetterCase) {
  // "Таблица.BDF" and "тАБЛИЦА.bdf" in Windows-1251.
  const std::string name = "\xD2\xE0\xE1\xEB\xE8\xF6\xE0.BDF";
  TAbstractFile& f = FPFS->OpenFile(name, true, false, false);
  EXPECT_EQ(FPFS->FindOpenFile("\xF2\xC0\xC1\xCB\xC8\xD6\xC0.bdf"), &f);
  EXPECT_EQ(FPFS->FindOpenFile("\xD2\xE0\xE1\xEB\xE8\xF6\xE0.idx"), nullptr);
  EXPECT_EQ(f.FileName(), name);
}

TEST_P(PlainFileSystemModes, ClosedFileKeepsItsBytesForTheNextOpen) {
  TAbstractFile& f = FPFS->OpenFile("T.dat", true, false, false);
  writeText(f, "abc");
  FPFS->CloseFile(f);
  // The directory file system forgets the file; the others keep it open and registered.
  EXPECT_EQ(FPFS->OpenFileCount(), GetParam() == fsmDirectory ? 0u : 1u);
  TAbstractFile& again = FPFS->OpenFile("T.dat", false, false, false);
  EXPECT_EQ(readAll(again), "abc");
  EXPECT_TRUE(FPFS->FileExists("T.dat"));
  EXPECT_EQ(FMem.FileExists(hostPath("T.dat")), onDisk());
}

TEST_P(PlainFileSystemModes, DeleteFile) {
  TAbstractFile& f = FPFS->OpenFile("T.dat", true, false, false);
  writeText(f, "abc");
  FPFS->CloseFile(f);
  EXPECT_TRUE(FPFS->DeleteFile("T.dat"));
  EXPECT_FALSE(FPFS->FileExists("T.dat"));
  EXPECT_FALSE(FMem.FileExists(hostPath("T.dat")));
  EXPECT_EQ(FPFS->OpenFileCount(), 0u);
  EXPECT_FALSE(FPFS->DeleteFile("T.dat"));
  EXPECT_THROW(FPFS->OpenFile("T.dat", false, false, false), Exception);
  EXPECT_EQ(FPFS->OpenFileCount(), 0u) << "a failed open must not stay registered";
}

TEST_P(PlainFileSystemModes, RenameFileKeepsTheData) {
  TAbstractFile& f = FPFS->OpenFile("A.bdf", true, false, false);
  writeText(f, "data");
  FPFS->CloseFile(f);
  EXPECT_TRUE(FPFS->RenameFile("A.bdf", "B.bdf"));
  EXPECT_FALSE(FPFS->FileExists("A.bdf"));
  EXPECT_TRUE(FPFS->FileExists("B.bdf"));
  EXPECT_EQ(FMem.FileExists(hostPath("B.bdf")), onDisk());
  EXPECT_FALSE(FMem.FileExists(hostPath("A.bdf")));
  EXPECT_EQ(readAll(FPFS->OpenFile("B.bdf", false, false, false)), "data");
  EXPECT_FALSE(FPFS->RenameFile("missing.bdf", "C.bdf"));
}

TEST_P(PlainFileSystemModes, RenameInLetterCaseOnlyAnswersUnderTheNewName) {
  TAbstractFile& f = FPFS->OpenFile("Cat.bdf", true, false, false);
  writeText(f, "data");
  FPFS->CloseFile(f);
  EXPECT_TRUE(FPFS->RenameFile("Cat.bdf", "cat.bdf"));
  EXPECT_TRUE(FPFS->FileExists("cat.bdf"));
  std::vector<std::string> list;
  FPFS->GetFileNames(".bdf", list);
  EXPECT_EQ(list, std::vector<std::string>{onDisk() ? "cat" : "cat.bdf"});
  EXPECT_EQ(readAll(FPFS->OpenFile("cat.bdf", false, false, false)), "data");
}

TEST_P(PlainFileSystemModes, RenameOntoAnotherFileFailsAndKeepsBoth) {
  TAbstractFile& a = FPFS->OpenFile("A.bdf", true, false, false);
  writeText(a, "first");
  FPFS->CloseFile(a);
  TAbstractFile& b = FPFS->OpenFile("B.bdf", true, false, false);
  writeText(b, "second");
  FPFS->CloseFile(b);
  EXPECT_FALSE(FPFS->RenameFile("A.bdf", "B.bdf"));
  EXPECT_EQ(readAll(FPFS->OpenFile("A.bdf", false, false, false)), "first");
  EXPECT_EQ(readAll(FPFS->OpenFile("B.bdf", false, false, false)), "second");
}

TEST_P(PlainFileSystemModes, GetFileNames) {
  for (const char* name : {"Alpha.bdf", "beta.BDF", "gamma.idx", "delta.bdfx"})
    FPFS->CloseFile(FPFS->OpenFile(name, true, false, false));
  FMem.CreateDirectory(hostPath("sub.bdf"));
  std::vector<std::string> list{"left over"};
  FPFS->GetFileNames(".bdf", list);
  const std::vector<std::string> expected =
      onDisk() ? std::vector<std::string>{"Alpha", "beta"}
               : std::vector<std::string>{"Alpha.bdf", "beta.BDF"};
  EXPECT_EQ(list, expected);
}

TEST_P(PlainFileSystemModes, WriteOfZeroBytesCutsADiskFile) {
  TAbstractFile& f = FPFS->OpenFile("T.dat", true, false, false);
  writeText(f, "abcdef");
  f.SetPosition(3);
  f.WriteBuffer("", 0);
  EXPECT_EQ(f.Size(), 6) << "WriteBuffer of nothing must not cut the file";
  EXPECT_EQ(f.Write(nullptr, 0), 0);
  EXPECT_EQ(f.Size(), onDisk() ? 3 : 6);
  EXPECT_EQ(f.Position(), 3);
}

INSTANTIATE_TEST_SUITE_P(AllModes, PlainFileSystemModes,
                         ::testing::Values(fsmDirectory, fsmTemporary, fsmInMemory),
                         [](const auto& info) -> std::string {
                           switch (info.param) {
                             case fsmDirectory: return "Directory";
                             case fsmTemporary: return "Temporary";
                             default: return "InMemory";
                           }
                         });

// ---- directory mode: disk files ----------------------------------------------------------------

class DiskPlainFileSystem : public PlainFileSystemFixture, public ::testing::Test {
protected:
  TDiskPlainFileSystem FPFS{kDir};
};

TEST_F(DiskPlainFileSystem, DirectoryEndsWithOneDelimiter) {
  EXPECT_EQ(FPFS.Directory(), kDir + platform::kPathDelimiter);
  EXPECT_EQ(TDiskPlainFileSystem(kDir + platform::kPathDelimiter).Directory(),
            kDir + platform::kPathDelimiter);
  EXPECT_EQ(TDiskPlainFileSystem("").Directory(), "");
  EXPECT_EQ(TDiskPlainFileSystem("").FullPath("T.bdf"), "T.bdf");
}

TEST_F(DiskPlainFileSystem, WriteProtectedFileOpensReadOnly) {
  FMem.WriteAll(hostPath("T.bdf"), {1, 2, 3});
  ASSERT_TRUE(FMem.SetReadOnly(hostPath("T.bdf"), true));
  TAbstractFile& f = FPFS.OpenFile("T.bdf", false, false, false);
  EXPECT_TRUE(f.ReadOnly());
  uint8_t bytes[3];
  f.ReadBuffer(bytes, 3);
  EXPECT_EQ(bytes[2], 3);
  EXPECT_EQ(messageOf([&] { f.WriteBuffer(bytes, 3); }),
            "TAbstractFile.WriteBuffer - Stream write error");
  EXPECT_EQ(FMem.ReadAll(hostPath("T.bdf")), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(DiskPlainFileSystem, OpenFailures) {
  EXPECT_EQ(messageOf([&] { FPFS.OpenFile("none.bdf", false, false, false); }),
            "Cannot open file \"" + hostPath("none.bdf") + "\"");
  EXPECT_EQ(messageOf([&] { FPFS.OpenFile("none.bdf", false, false, true); }),
            "Cannot open file \"" + hostPath("none.bdf") + "\"");
  TDiskPlainFileSystem missingFolder("nofolder");
  EXPECT_EQ(messageOf([&] { missingFolder.OpenFile("x.bdf", true, false, false); }),
            "Cannot create file \"nofolder" + std::string(1, platform::kPathDelimiter) +
                "x.bdf\"");
  EXPECT_EQ(FPFS.OpenFileCount(), 0u);
  EXPECT_EQ(missingFolder.OpenFileCount(), 0u);

  // Both attempts failed: ReadOnly is back to what it was.
  TDiskFile file(nullptr, FPFS.Directory(), "none.bdf", false, false);
  EXPECT_THROW(file.Open(false), Exception);
  EXPECT_FALSE(file.ReadOnly());
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(DiskPlainFileSystem, ExclusiveChangeReopensKeepingThePosition) {
  TAbstractFile& f = FPFS.OpenFile("T.bdf", true, true, false);
  writeText(f, "abcdef");
  f.SetPosition(4);
  platform::FileOpenOptions other;
  other.access = platform::FileAccess::Read;
  EXPECT_EQ(FMem.Open(hostPath("T.bdf"), other), nullptr) << "exclusive must deny other openers";
  f.SetExclusive(false);
  EXPECT_FALSE(f.Exclusive());
  EXPECT_NE(FMem.Open(hostPath("T.bdf"), other), nullptr);
  EXPECT_EQ(f.Position(), 4);
  EXPECT_EQ(FMem.OpenHandleCount(hostPath("T.bdf")), 1);
}

TEST_F(DiskPlainFileSystem, ReadOnlyChangeReopens) {
  TAbstractFile& f = FPFS.OpenFile("T.bdf", true, false, false);
  writeText(f, "abc");
  f.SetReadOnly(true);
  EXPECT_EQ(f.Position(), 3);
  EXPECT_LT(f.Write("d", 1), 1);
  f.SetReadOnly(false);
  writeText(f, "d");
  EXPECT_EQ(readAll(f), "abcd");
}

TEST_F(DiskPlainFileSystem, FilesOutliveTheFileSystemAndItsHandles) {
  {
    TDiskPlainFileSystem pfs(kDir);
    writeText(pfs.OpenFile("T.bdf", true, false, false), "abc");
    EXPECT_EQ(FMem.OpenHandleCount(hostPath("T.bdf")), 1);
  }
  EXPECT_EQ(FMem.OpenHandleCount(hostPath("T.bdf")), 0);
  EXPECT_EQ(FMem.ReadAll(hostPath("T.bdf")), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

// ---- temporary mode ----------------------------------------------------------------------------

class TemporaryPlainFileSystem : public PlainFileSystemFixture, public ::testing::Test {};

TEST_F(TemporaryPlainFileSystem, FilesVanishWithTheFileSystem) {
  FMem.WriteAll(hostPath("old.dat"), {9});
  {
    TTemporaryPlainFileSystem pfs(kDir);
    writeText(pfs.OpenFile("T.bdf", true, false, false), "abc");
    EXPECT_EQ(readAll(pfs.OpenFile("old.dat", false, false, false)), "\x09");
    EXPECT_TRUE(pfs.OpenFiles(0).Temporary());
    EXPECT_TRUE(FMem.FileExists(hostPath("T.bdf")));
    EXPECT_TRUE(FMem.FileExists(hostPath("old.dat")));
  }
  EXPECT_FALSE(FMem.FileExists(hostPath("T.bdf")));
  EXPECT_FALSE(FMem.FileExists(hostPath("old.dat")));
}

TEST_F(TemporaryPlainFileSystem, FlagChangesKeepTheOpenFile) {
  TTemporaryPlainFileSystem pfs(kDir);
  TAbstractFile& f = pfs.OpenFile("T.bdf", true, false, false);
  writeText(f, "abc");
  f.SetReadOnly(true);
  f.SetExclusive(true);
  EXPECT_TRUE(f.ReadOnly());
  EXPECT_EQ(readAll(f), "abc");
}

// ---- in-memory mode ----------------------------------------------------------------------------

class MemoryPlainFileSystem : public PlainFileSystemFixture, public ::testing::Test {
protected:
  TMemoryPlainFileSystem FPFS{kDir};
};

TEST_F(MemoryPlainFileSystem, FileMustBeCreatedBeforeItCanBeOpened) {
  EXPECT_EQ(messageOf([&] { FPFS.OpenFile("T.bdf", false, false, false); }),
            "TMemoryFile.Open - File cannot be open, only creation is available.");
  EXPECT_EQ(FPFS.OpenFileCount(), 0u);
  TAbstractFile& f = FPFS.OpenFile("T.bdf", true, false, false);
  writeText(f, "abc");
  FPFS.CloseFile(f);
  TAbstractFile& again = FPFS.OpenFile("T.bdf", false, false, true);
  EXPECT_EQ(&again, &f);
  EXPECT_TRUE(again.ReadOnly());
  EXPECT_EQ(readAll(again), "abc");
  EXPECT_FALSE(FMem.FileExists(hostPath("T.bdf")));
}

TEST(MemoryFile, CloseDiscardsTheData) {
  TMemoryFile f(nullptr, "T.bdf", false, false);
  EXPECT_EQ(f.Read(nullptr, 0), -1) << "a memory file starts closed";
  f.Open(true);
  writeText(f, "abc");
  f.Close();
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.Write("x", 1), -1);
  EXPECT_EQ(f.GetSize(), -1);
  EXPECT_EQ(messageOf([&] { f.SetSize(1); }), "TMemoryFile.SetSize - File is not open.");
  f.Open(true);
  EXPECT_EQ(f.GetSize(), 0);
}

// ---- the host's own file system ------------------------------------------------------------------

// A fresh folder under the host's temporary directory, removed with its content afterwards.
class HostFolder {
public:
  HostFolder() {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    FPath = std::filesystem::temp_directory_path() / ("tesvar-pfs-" + std::to_string(stamp));
    std::filesystem::create_directories(FPath);
  }
  ~HostFolder() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  std::string Path() const { return FPath.string(); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(FPath / name); }

private:
  std::filesystem::path FPath;
};

TEST(PlainFileSystemOnHost, DirectoryListingAndDeleteOnClose) {
  HostFolder folder;
  TDiskPlainFileSystem dir(folder.Path());
  writeText(dir.OpenFile("Table.bdf", true, false, false), "abc");
  dir.CloseFile(dir.OpenFiles(0));
  std::vector<std::string> names;
  dir.GetFileNames(".bdf", names);
  EXPECT_EQ(names, std::vector<std::string>{"Table"});
  {
    TTemporaryPlainFileSystem temp(folder.Path());
    writeText(temp.OpenFile("Temp.bdf", true, false, false), "xyz");
    EXPECT_TRUE(folder.Exists("Temp.bdf"));
    EXPECT_TRUE(temp.RenameFile("Temp.bdf", "Moved.bdf"));
    EXPECT_FALSE(folder.Exists("Temp.bdf"));
    EXPECT_EQ(readAll(temp.OpenFile("Moved.bdf", false, false, false)), "xyz");
  }
  EXPECT_FALSE(folder.Exists("Moved.bdf"));
  EXPECT_TRUE(folder.Exists("Table.bdf"));
}

}  // namespace
