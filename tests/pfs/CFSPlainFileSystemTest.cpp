// The container plain file system: files inside a container through the plain-file-system
// interface, and the registry's single-file mode (GetPFSHandle, ReleasePFS, CreateContainer).

#include "container/ContainerTestSupport.h"

#include "pfs/TCFSFile.h"
#include "pfs/TCFSPlainFileSystem.h"
#include "pfs/TPFSManager.h"
#include "container/TPageFileManager.h"
#include "platform/FaultFileSystem.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tesvar::pfs::test {

using namespace container;
using namespace container::test;
namespace {

using testsupport::messageOf;

class CFSPlainFileSystemTest : public testing::TestWithParam<ContainerVariant> {
protected:
  void SetUp() override {
    Pfs = std::make_unique<TCFSPlainFileSystem>(kPath, true, false, false, Password());
  }
  std::string Password() const { return GetParam().Password; }
  TCFSFile& Open(const std::string& Name, bool Create, bool Exclusive = false, bool ReadOnly = false) {
    return dynamic_cast<TCFSFile&>(Pfs->OpenFile(Name, Create, Exclusive, ReadOnly));
  }
  void Put(const std::string& Name, const std::vector<uint8_t>& Data) {
    TAbstractFile& F = Pfs->OpenFile(Name, true, false, false);
    F.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
    Pfs->CloseFile(F);
  }
  std::vector<uint8_t> Get(const std::string& Name) {
    TAbstractFile& F = Pfs->OpenFile(Name, false, false, true);
    std::vector<uint8_t> Data(static_cast<size_t>(F.Size()));
    F.ReadBuffer(Data.data(), static_cast<int64_t>(Data.size()));
    Pfs->CloseFile(F);
    return Data;
  }

  ContainerEnvironment Env;
  const std::string kPath = "/db.edb";
  std::unique_ptr<TCFSPlainFileSystem> Pfs;
};

TEST_P(CFSPlainFileSystemTest, CreatesTheContainerWithFourKilobytePages) {
  EXPECT_EQ(Pfs->StoreMode(), fsmSingleFile);
  EXPECT_EQ(Pfs->Name(), kPath);
  EXPECT_EQ(Pfs->Container().Mode(), kModeCreate);
  EXPECT_EQ(Pfs->Container().PageFile().Header().PageSize, 4096);
  EXPECT_EQ(Pfs->Container().PageFile().Header().ExtentPageCount, 16);
  EXPECT_EQ(Pfs->Container().IsEncrypted(), !Password().empty());

  Pfs.reset();
  struct Case {
    bool ReadOnly;
    uint16_t Mode;
  } Cases[] = {{false, 0x22}, {true, 0x40}};
  for (const Case& C : Cases) {
    TCFSPlainFileSystem Opened(kPath, false, false, C.ReadOnly, Password());
    EXPECT_EQ(Opened.Container().Mode(), C.Mode);
    EXPECT_EQ(Opened.Container().ReadOnly(), C.ReadOnly);
    EXPECT_EQ(Opened.ReadOnly(), C.ReadOnly);
  }
}

TEST_P(CFSPlainFileSystemTest, FilesKeepTheirDataAndNamesIgnoreCase) {
  const std::vector<uint8_t> Data = Pattern(3 * 4064 + 100, 1);
  Put("Table.dat", Data);
  EXPECT_TRUE(Pfs->FileExists("TABLE.DAT"));
  EXPECT_EQ(Get("table.DAT"), Data);

  TAbstractFile& F = Pfs->OpenFile("Table.dat", false, false, false);
  EXPECT_EQ(messageOf([&] { Pfs->OpenFile("TABLE.dat", true, false, false); }),
            "TCFSPlainFileSystem.OpenFile - File \"TABLE.dat\" is already open.");
  EXPECT_EQ(Pfs->OpenFileCount(), 1u);
  EXPECT_FALSE(Pfs->DeleteFile("Table.dat")) << "an open file stays";
  EXPECT_FALSE(Pfs->RenameFile("Table.dat", "Other.dat"));
  Pfs->CloseFile(F);
  EXPECT_EQ(Pfs->OpenFileCount(), 0u);

  EXPECT_TRUE(Pfs->RenameFile("TABLE.dat", "Other.dat"));
  EXPECT_FALSE(Pfs->FileExists("Table.dat"));
  EXPECT_EQ(Get("other.dat"), Data);
  EXPECT_TRUE(Pfs->DeleteFile("OTHER.DAT"));
  EXPECT_FALSE(Pfs->FileExists("Other.dat"));
  EXPECT_FALSE(Pfs->DeleteFile("Other.dat"));
}

TEST_P(CFSPlainFileSystemTest, SeekSizeAndPositionGoThroughTheHandle) {
  TCFSFile& F = Open("t.dat", true);
  EXPECT_EQ(Pfs->Container().Handle(F.Handle())->Mode, kModeCreate);
  const std::vector<uint8_t> Data = Pattern(10000, 2);
  F.WriteBuffer(Data.data(), 10000);
  EXPECT_EQ(F.Size(), 10000);
  EXPECT_EQ(F.Seek(-100, TSeekOrigin::End), 9900);
  EXPECT_EQ(F.Seek(-9000, TSeekOrigin::Current), 900);
  EXPECT_EQ(F.Seek(-901, TSeekOrigin::Current), -1) << "a position before the start fails";
  EXPECT_EQ(F.Position(), 900) << "and leaves the position";
  uint8_t B = 0;
  EXPECT_EQ(F.Read(&B, 1), 1);
  EXPECT_EQ(B, Data[900]);

  F.SetSize(5000);
  EXPECT_EQ(F.Position(), 5000);
  EXPECT_EQ(F.Size(), 5000);
  EXPECT_EQ(F.Read(&B, 1), 0) << "nothing past the end";
  F.SetSize(6000);
  F.SetPosition(5500);
  EXPECT_EQ(F.Read(&B, 1), 1);
  EXPECT_EQ(B, 0) << "growth adds zeros";
  F.Flush();
  Pfs->CloseFile(F);
  std::vector<uint8_t> Expected(Data.begin(), Data.begin() + 5000);
  Expected.resize(6000, 0);
  EXPECT_EQ(Get("t.dat"), Expected);
}

TEST_P(CFSPlainFileSystemTest, OpenModeWordsAndReopen) {
  Put("t.dat", Pattern(100, 3));
  struct Case {
    bool Exclusive;
    bool ReadOnly;
    int32_t Mode;
  } Cases[] = {{false, false, 0x42}, {true, false, 0x12}, {false, true, 0x40}, {true, true, 0x10}};
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Mode);
    TCFSFile& F = Open("t.dat", false, C.Exclusive, C.ReadOnly);
    EXPECT_EQ(Pfs->Container().Handle(F.Handle())->Mode, C.Mode);
    EXPECT_EQ(F.ReadOnly(), C.ReadOnly);
    Pfs->CloseFile(F);
  }

  // A changed flag reopens the file with the new mode, keeping the position.
  TCFSFile& F = Open("t.dat", false);
  F.SetPosition(40);
  const int32_t First = F.Handle();
  F.SetExclusive(true);
  EXPECT_NE(F.Handle(), First);
  EXPECT_EQ(Pfs->Container().Handle(F.Handle())->Mode, 0x12);
  EXPECT_EQ(F.Position(), 40);
  F.SetReadOnly(true);
  EXPECT_EQ(Pfs->Container().Handle(F.Handle())->Mode, 0x10);
  EXPECT_EQ(F.Position(), 40);
  EXPECT_EQ(Pfs->Container().HandleCount(), 1u);

  // A file opened for reading does not write, whatever the container allows.
  const uint8_t B = 1;
  EXPECT_EQ(F.Write(&B, 1), -1);
  EXPECT_NE(messageOf([&] { F.SetSize(0); }), "(no exception)");
  Pfs->CloseFile(F);
  EXPECT_EQ(Get("t.dat"), Pattern(100, 3));
  EXPECT_EQ(Pfs->Container().HandleCount(), 0u);
}

TEST_P(CFSPlainFileSystemTest, MissingFilesAndReadOnlyContainers) {
  EXPECT_EQ(messageOf([&] { Pfs->OpenFile("none.dat", false, false, false); }), "Cannot open file \"none.dat\"");
  EXPECT_EQ(messageOf([&] { Pfs->OpenFile("none.dat", false, false, true); }), "Cannot open file \"none.dat\"");
  EXPECT_EQ(Pfs->OpenFileCount(), 0u);
  Put("t.dat", Pattern(10, 4));
  Pfs.reset();

  // Files of a read-only container open read-only; none can be created.
  Pfs = std::make_unique<TCFSPlainFileSystem>(kPath, false, false, true, Password());
  TAbstractFile& F = Pfs->OpenFile("t.dat", false, false, false);
  EXPECT_TRUE(F.ReadOnly());
  std::vector<uint8_t> Data(10);
  F.ReadBuffer(Data.data(), 10);
  EXPECT_EQ(Data, Pattern(10, 4));
  Pfs->CloseFile(F);
  EXPECT_EQ(messageOf([&] { Pfs->OpenFile("new.dat", true, false, false); }), "Cannot create file \"new.dat\"");
  EXPECT_FALSE(Pfs->DeleteFile("t.dat"));
}

TEST_P(CFSPlainFileSystemTest, GetFileNamesListsRootFilesOnce) {
  for (const char* Name : {"a.dat", "A.idx", "b.dat", "c.DAT", "d.blb"}) Put(Name, Pattern(5, 5));
  ASSERT_TRUE(Pfs->Container().ForceDirectories("\\dir.dat"));
  ASSERT_EQ(Pfs->Container().FileOpen("\\dir.dat\\inner.dat", kModeCreate) >= 0, true);

  std::vector<std::string> List = {"stale"};
  Pfs->GetFileNames(".dat", List);
  std::sort(List.begin(), List.end());
  EXPECT_EQ(List, (std::vector<std::string>{"a", "b", "c"}));

  Pfs->GetFileNames("", List);
  std::sort(List.begin(), List.end());
  EXPECT_EQ(List, (std::vector<std::string>{"a", "b", "c", "d"})) << "a.dat and A.idx give one name";

  Pfs->GetFileNames(".none", List);
  EXPECT_TRUE(List.empty());
}

TEST_P(CFSPlainFileSystemTest, SetInMemoryMovesTheContainer) {
  Put("t.dat", Pattern(5000, 6));
  const std::vector<uint8_t> OnDisk = Env.Fs.ReadAll(kPath);
  Pfs->SetInMemory(true);
  EXPECT_TRUE(Pfs->InMemory());
  Put("t.dat", Pattern(7000, 7));
  EXPECT_EQ(Env.Fs.ReadAll(kPath), OnDisk) << "changes stay in memory";
  Pfs->SetInMemory(false);
  EXPECT_FALSE(Pfs->InMemory());
  Pfs.reset();
  Pfs = std::make_unique<TCFSPlainFileSystem>(kPath, false, false, false, Password());
  EXPECT_EQ(Get("t.dat"), Pattern(7000, 7));
}

TEST_P(CFSPlainFileSystemTest, DestroyingClosesFilesAndContainer) {
  Open("a.dat", true);
  Open("b.dat", true);
  EXPECT_GT(Env.Fs.OpenHandleCount(kPath), 0);
  Pfs.reset();
  EXPECT_EQ(Env.Fs.OpenHandleCount(kPath), 0);
  auto Cfs = OpenContainer(kPath, Password());
  EXPECT_TRUE(Cfs->FileExists("a.dat"));
  EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Variants, CFSPlainFileSystemTest, testing::ValuesIn(kContainerVariants), VariantName);

// ---- the registry's single-file mode ------------------------------------------------------------

// A container flush that does not reach the disk is an error the caller of the plain file system
// sees: Flush raises; Close raises too, after releasing the handle, and the file stays usable.
// Destroying the plain file system with a failing flush cannot report it, but must not raise.
class CFSFileFault : public testing::TestWithParam<ContainerVariant> {
protected:
  ContainerEnvironment Env;
  platform::FaultFileSystem Faulty{Env.Fs};
  platform::ScopedFileSystem Guard{Faulty};
};

TEST_P(CFSFileFault, AFailedFlushRaisesFromFlushAndClose) {
  auto Pfs = std::make_unique<TCFSPlainFileSystem>("/db.edb", true, false, false, GetParam().Password);
  TAbstractFile& F = Pfs->OpenFile("t.dat", true, false, false);
  const std::vector<uint8_t> Data = Pattern(5000, 1);
  F.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
  const size_t Handles = Pfs->Container().HandleCount();

  Faulty.FailAt(platform::FaultKind::Flush, 1);
  EXPECT_EQ(messageOf([&] { F.Flush(); }),
            "TCFSFile.Flush - Cannot write file \"t.dat\" through to the disk, error " + std::to_string(ceFlushFailed) + ".");
  EXPECT_NO_THROW(F.Flush());

  // Something to commit at the close.
  F.WriteBuffer(Data.data(), 10);
  F.SetPosition(0);
  Faulty.FailAt(platform::FaultKind::Flush, 1);
  EXPECT_EQ(messageOf([&] { Pfs->CloseFile(F); }),
            "TCFSFile.Close - Cannot write file \"t.dat\" through to the disk, error " + std::to_string(ceFlushFailed) + ".");
  EXPECT_EQ(Pfs->OpenFileCount(), 0u);
  EXPECT_EQ(Pfs->Container().HandleCount(), Handles - 1);
  TAbstractFile& Again = Pfs->OpenFile("t.dat", false, false, false);
  std::vector<uint8_t> Back(Data.size());
  Again.ReadBuffer(Back.data(), static_cast<int64_t>(Back.size()));
  EXPECT_EQ(Back, Data);

  Faulty.FailFrom(platform::FaultKind::Flush, 1);
  EXPECT_NO_THROW(Pfs.reset());
}

INSTANTIATE_TEST_SUITE_P(Variants, CFSFileFault, testing::ValuesIn(kContainerVariants), VariantName);

class SingleFileRegistry : public testing::TestWithParam<ContainerVariant> {
protected:
  std::string Password() const { return GetParam().Password; }
  TAbstractPlainFileSystem* Get(const std::string& Name, bool& ReadOnly, const std::string& Pw) {
    return Manager.GetPFSHandle(Name, Pw, fsmSingleFile, ReadOnly, false);
  }

  ContainerEnvironment Env;
  const std::string kPath = "/db.edb";
  TPFSManager Manager;
};

TEST_P(SingleFileRegistry, MissingDamagedOrLockedOutContainersGiveNone) {
  bool ReadOnly = false;
  TAbstractPlainFileSystem* Pfs = nullptr;
  EXPECT_NO_THROW(Pfs = Get(kPath, ReadOnly, Password()));
  EXPECT_EQ(Pfs, nullptr) << "missing file";

  Env.Fs.WriteAll(kPath, Pattern(1000, 1));
  EXPECT_NO_THROW(Pfs = Get(kPath, ReadOnly, Password()));
  EXPECT_EQ(Pfs, nullptr) << "damaged header";

  ASSERT_TRUE(Manager.CreateContainer(kPath, Password(), false));
  if (!Password().empty()) {
    EXPECT_NO_THROW(Pfs = Get(kPath, ReadOnly, "wrong"));
    EXPECT_EQ(Pfs, nullptr) << "wrong password";
  }
  EXPECT_EQ(Manager.Count(), 0u);
  EXPECT_FALSE(ReadOnly);
}

TEST_P(SingleFileRegistry, OpensOncePerNameAndReportsReadOnly) {
  ASSERT_TRUE(Manager.CreateContainer(kPath, Password(), false));
  bool ReadOnly = false;
  TAbstractPlainFileSystem* Pfs = Get(kPath, ReadOnly, Password());
  ASSERT_NE(Pfs, nullptr);
  ASSERT_NE(dynamic_cast<TCFSPlainFileSystem*>(Pfs), nullptr);
  EXPECT_FALSE(ReadOnly);
  EXPECT_EQ(Get("/DB.EDB", ReadOnly, Password()), Pfs);
  EXPECT_EQ(Manager.Count(), 1u);

  // Asked for read-only on entry: no probe, a read-only container.
  Manager.ReleasePFS(kPath);
  EXPECT_EQ(Manager.Count(), 0u);
  ReadOnly = true;
  Pfs = Get(kPath, ReadOnly, Password());
  ASSERT_NE(Pfs, nullptr);
  EXPECT_TRUE(ReadOnly);
  EXPECT_TRUE(dynamic_cast<TCFSPlainFileSystem&>(*Pfs).Container().ReadOnly());
  // A registered one passes its mode on.
  ReadOnly = false;
  EXPECT_EQ(Get(kPath, ReadOnly, Password()), Pfs);
  EXPECT_TRUE(ReadOnly);
}

TEST_P(SingleFileRegistry, AContainerOpenForWritingElsewhereOpensReadOnly) {
  TCFSPlainFileSystem(kPath, true, false, false, Password()).OpenFile("t.dat", true, false, false);
  platform::FileOpenOptions Writer;
  Writer.access = platform::FileAccess::ReadWrite;
  Writer.share = platform::FileShare::Read;
  auto Other = platform::FileSystem().Open(kPath, Writer);
  ASSERT_NE(Other, nullptr);

  bool ReadOnly = false;
  TAbstractPlainFileSystem* Pfs = Get(kPath, ReadOnly, Password());
  ASSERT_NE(Pfs, nullptr);
  EXPECT_TRUE(ReadOnly);
  TAbstractFile& F = Pfs->OpenFile("t.dat", false, false, false);
  EXPECT_TRUE(F.ReadOnly()) << "tables of it come out read-only";
}

TEST_P(SingleFileRegistry, ReleaseClosesTheContainerAndItsFiles) {
  ASSERT_TRUE(Manager.CreateContainer(kPath, Password(), false));
  bool ReadOnly = false;
  TAbstractPlainFileSystem* Pfs = Get(kPath, ReadOnly, Password());
  ASSERT_NE(Pfs, nullptr);
  TAbstractFile& F = Pfs->OpenFile("t.dat", true, false, false);
  F.WriteBuffer("abc", 3);
  EXPECT_GT(Env.Fs.OpenHandleCount(kPath), 0);
  Manager.ReleasePFS("/DB.edb");
  EXPECT_EQ(Manager.Count(), 0u);
  EXPECT_EQ(Env.Fs.OpenHandleCount(kPath), 0);
  Manager.ReleasePFS(kPath);  // not registered: nothing happens

  // Only the single-file mode is released.
  ASSERT_NE(Manager.GetPFSHandle(kPath, "", fsmInMemory, ReadOnly, false), nullptr);
  Manager.ReleasePFS(kPath);
  EXPECT_EQ(Manager.Count(), 1u);
}

TEST_P(SingleFileRegistry, CreateContainerOnDiskLeavesNothingRegistered) {
  // A registered container of that name with an open file is released first.
  ASSERT_TRUE(Manager.CreateContainer(kPath, Password(), false));
  bool ReadOnly = false;
  TAbstractPlainFileSystem* Old = Get(kPath, ReadOnly, Password());
  ASSERT_NE(Old, nullptr);
  TAbstractFile& F = Old->OpenFile("t.dat", true, false, false);
  F.WriteBuffer("abc", 3);

  ASSERT_TRUE(Manager.CreateContainer(kPath, Password(), false));
  EXPECT_EQ(Manager.Count(), 0u);
  EXPECT_EQ(Env.Fs.OpenHandleCount(kPath), 0);
  TAbstractPlainFileSystem* Fresh = Get(kPath, ReadOnly, Password());
  ASSERT_NE(Fresh, nullptr);
  EXPECT_FALSE(Fresh->FileExists("t.dat")) << "the new container is empty";
  EXPECT_EQ(dynamic_cast<TCFSPlainFileSystem&>(*Fresh).Container().IsEncrypted(), !Password().empty());
  EXPECT_FALSE(ReadOnly);
}

TEST_P(SingleFileRegistry, CreateContainerInMemoryStaysRegisteredAndOffDisk) {
  ASSERT_TRUE(Manager.CreateContainer(kPath, Password(), true));
  EXPECT_EQ(Manager.Count(), 1u);
  EXPECT_FALSE(Env.Fs.FileExists(kPath));
  bool ReadOnly = false;
  TAbstractPlainFileSystem* Pfs = Manager.GetPFSHandle(kPath, Password(), fsmSingleFile, ReadOnly, true);
  ASSERT_NE(Pfs, nullptr);
  TAbstractFile& F = Pfs->OpenFile("t.dat", true, false, false);
  F.WriteBuffer("abc", 3);
  EXPECT_FALSE(Env.Fs.FileExists(kPath));
  Manager.ReleasePFS(kPath);
  EXPECT_EQ(Manager.Count(), 0u);
  EXPECT_FALSE(Env.Fs.FileExists(kPath));
}

TEST_P(SingleFileRegistry, CreateContainerFailureGivesFalse) {
  bool Result = true;
  EXPECT_NO_THROW(Result = Manager.CreateContainer("/missing/dir/db.edb", Password(), false));
  EXPECT_FALSE(Result);
  EXPECT_NO_THROW(Result = Manager.CreateContainer(kPath, std::string(40, 'x'), false));
  EXPECT_FALSE(Result) << "password too long";
  EXPECT_EQ(Manager.Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Variants, SingleFileRegistry, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::pfs::test
