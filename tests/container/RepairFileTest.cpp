// Compaction (RepairFile): the copy keeps every live item with its data, times and attributes and
// drops deleted items; a cancel, missing space or any failure leaves the original file as it was,
// under its name, with no "_new" file left behind.

#include "ContainerTestSupport.h"
#include "PageLayerTestSupport.h"

#include "container/TCFSHugeFile.h"
#include "container/TCFSJournal.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "platform/FaultFileSystem.h"
#include "support/ExceptionText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace tesvar::container::test {
namespace {

using testing::HasSubstr;
using testing::StartsWith;

constexpr int32_t D = 4064;
constexpr int64_t kTwoSeconds = 2 * platform::kFileTimeTicksPerSecond;
const std::string kCritical = "Critical error occured. Original file restored.\r\n";

// What compaction must keep of an item.
struct ItemState {
  bool IsDirectory = false;
  int64_t Size = 0;
  int64_t CreationTime = 0;
  int64_t LastWriteTime = 0;
  int64_t LastAccessTime = 0;
  uint32_t Attr = 0;
  std::vector<uint8_t> Data;
  bool operator==(const ItemState&) const = default;
};

void PrintTo(const ItemState& S, std::ostream* Os) {
  *Os << (S.IsDirectory ? "dir" : "file") << " size " << S.Size << " times " << S.CreationTime << "/"
      << S.LastWriteTime << "/" << S.LastAccessTime << " attr " << S.Attr << " data bytes " << S.Data.size();
}

// A file's bytes read straight through its page map, so that no item time changes.
std::vector<uint8_t> ReadThroughMap(TContainerFileSystem& Cfs, const TDirItem& Item) {
  std::vector<uint8_t> Data(static_cast<size_t>(Item.Size));
  if (Item.Size == 0) return Data;
  const std::vector<int32_t>& Pages = Cfs.PageMaps().GetMaps(Item).DataPages;
  std::vector<uint8_t> Page(D);
  for (size_t J = 0; J * D < Data.size(); ++J) {
    TPageHeader Header;
    Header.Data = Page.data();
    EXPECT_TRUE(Cfs.PageFile().ReadPage(Header, Pages.at(J))) << Item.FileName << " page " << J;
    const size_t N = std::min<size_t>(D, Data.size() - J * D);
    std::copy_n(Page.begin(), N, Data.begin() + static_cast<std::ptrdiff_t>(J * D));
  }
  return Data;
}

// Every live item by path.
std::map<std::string, ItemState> Snapshot(TContainerFileSystem& Cfs) {
  std::map<std::string, ItemState> Result;
  const TDIRManager& Dir = Cfs.Directory();
  for (int32_t I = 0; I < Dir.Items().ItemCount(); ++I) {
    const TDirItem& Item = Dir.ReadItem(I);
    if (Item.Deleted) continue;
    ItemState S{Item.IsDirectory, Item.Size, Item.CreationTime, Item.LastWriteTime, Item.LastAccessTime, Item.Attr, {}};
    if (!Item.IsDirectory) S.Data = ReadThroughMap(Cfs, Item);
    Result.emplace(Dir.ItemPath(I), std::move(S));
  }
  return Result;
}

std::vector<std::string> HostFiles(platform::MemoryFileSystem& Fs) { return pagetest::sortedNames(Fs, "/"); }

// Writes a file at a clock moved on by two seconds, so that every item has its own times.
void CreateAt(ContainerEnvironment& Env, TContainerFileSystem& Cfs, const std::string& Path, size_t Size,
              uint32_t Seed) {
  Env.Clock.SetNowUtc(Env.Clock.NowUtc() + kTwoSeconds);
  ASSERT_TRUE(WriteWholeFile(Cfs, Path, Pattern(Size, Seed))) << Path;
}

constexpr size_t kBigSize = 20 * D + 17;

// A database with deleted files between the live ones. Items: junk files first (all deleted in
// the end); a directory in a reused slot after them; a file that reuses slot 0, so that it comes
// before its own directory in item order; an empty file, one of exactly one page, one of exactly
// three pages, one longer than an extent (BigSize); an empty directory and a nested one.
void BuildDatabase(ContainerEnvironment& Env, TContainerFileSystem& Cfs, int Junk = 12, size_t JunkSize = 6 * D,
                   size_t BigSize = kBigSize) {
  for (int I = 0; I < Junk; ++I) CreateAt(Env, Cfs, "\\junk" + std::to_string(I) + ".dat", JunkSize, 100 + I);
  ASSERT_TRUE(Cfs.DeleteFile("\\junk" + std::to_string(Junk / 2) + ".dat"));
  Env.Clock.SetNowUtc(Env.Clock.NowUtc() + kTwoSeconds);
  ASSERT_TRUE(Cfs.ForceDirectories("\\late"));
  for (int I = 0; I < Junk; ++I) {
    if (I != Junk / 2) {
      ASSERT_TRUE(Cfs.DeleteFile("\\junk" + std::to_string(I) + ".dat"));
    }
  }
  CreateAt(Env, Cfs, "\\late\\first.dat", 777, 1);
  CreateAt(Env, Cfs, "\\zero.dat", 0, 2);
  CreateAt(Env, Cfs, "\\one.dat", 1, 3);
  CreateAt(Env, Cfs, "\\page.dat", D, 4);
  CreateAt(Env, Cfs, "\\pages3.dat", 3 * D, 5);
  CreateAt(Env, Cfs, "\\big.dat", BigSize, 6);
  Env.Clock.SetNowUtc(Env.Clock.NowUtc() + kTwoSeconds);
  ASSERT_TRUE(Cfs.ForceDirectories("\\keep\\deeper"));
  ASSERT_TRUE(Cfs.ForceDirectories("\\emptydir"));
  CreateAt(Env, Cfs, "\\keep\\deeper\\inner.dat", 5000, 7);
}

class RepairFileTest : public testing::TestWithParam<ContainerVariant> {
protected:
  void SetUp() override {
    Cfs = CreateContainer(kPath, Password());
    BuildDatabase(Env, *Cfs);
    Cfs->OnNoSpace = [this](TContainerFileSystem&) { ++NoSpaceCount; };
    // Compaction runs later: copies that took the clock's time would show.
    Env.Clock.SetNowUtc(Env.Clock.NowUtc() + 1000 * kTwoSeconds);
  }
  std::string Password() const { return GetParam().Password; }

  ContainerEnvironment Env;
  const std::string kPath = "/db.edb";
  std::unique_ptr<TContainerFileSystem> Cfs;
  int NoSpaceCount = 0;
};

TEST_P(RepairFileTest, CompactsAndKeepsEveryItem) {
  // Leftovers of an earlier run and a foreign file on the first numbered name.
  Env.Fs.WriteAll("/db.edb_new", Pattern(100, 9));
  const std::vector<uint8_t> Foreign = Pattern(50, 10);
  Env.Fs.WriteAll("/db.edb0", Foreign);

  const std::map<std::string, ItemState> Before = Snapshot(*Cfs);
  ASSERT_EQ(Before.size(), 11u);
  const size_t SizeBefore = Env.Fs.ReadAll(kPath).size();
  std::vector<double> Percents;
  Cfs->OnProgress = [&Percents](TContainerFileSystem&, bool&, double Percent) { Percents.push_back(Percent); };
  const int32_t Items = Cfs->PageFile().Header().DirItemCount;

  std::string Log = "stale";
  ASSERT_TRUE(Cfs->RepairFile(Log)) << Log;
  EXPECT_EQ(Log, "");
  EXPECT_EQ(NoSpaceCount, 0);

  // Before each item, then 100 at the end.
  ASSERT_EQ(Percents.size(), static_cast<size_t>(Items) + 1);
  for (int32_t I = 0; I < Items; ++I) EXPECT_DOUBLE_EQ(Percents[I], 100.0 * I / Items);
  EXPECT_EQ(Percents.back(), 100.0);

  EXPECT_LT(Env.Fs.ReadAll(kPath).size(), SizeBefore);
  EXPECT_EQ(HostFiles(Env.Fs), (std::vector<std::string>{"db.edb", "db.edb0"}));
  EXPECT_EQ(Env.Fs.ReadAll("/db.edb0"), Foreign);
  EXPECT_EQ(Cfs->Directory().Items().ItemCount(), 11) << "deleted items are dropped";
  EXPECT_EQ(Snapshot(*Cfs), Before);
  EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{}) << "a fresh copy has no leaked pages either";
  EXPECT_EQ(Cfs->IsEncrypted(), !Password().empty());

  // The object goes on working on the compacted file.
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\big.dat"), Pattern(kBigSize, 6));
  ASSERT_TRUE(WriteWholeFile(*Cfs, "\\new.dat", Pattern(3 * D, 11)));
  Cfs.reset();
  Cfs = OpenContainer(kPath, Password());
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\new.dat"), Pattern(3 * D, 11));
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\keep\\deeper\\inner.dat"), Pattern(5000, 7));
  EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
  if (!Password().empty()) {
    Cfs.reset();
    EXPECT_EQ(testsupport::messageOf([&] { OpenContainer(kPath, "wrong"); }),
              "TContainerFileSystem.Create - invalid password specified, file name = \"/db.edb\"");
  }
}

TEST_P(RepairFileTest, OpenHandlesFollowTheirFiles) {
  const int32_t H = Cfs->FileOpen("\\keep\\deeper\\inner.dat", kModeReadWrite);
  ASSERT_GE(H, 0);
  ASSERT_EQ(Cfs->FileSeek(H, 0, 10), 10);
  std::string Log;
  ASSERT_TRUE(Cfs->RepairFile(Log)) << Log;

  std::vector<uint8_t> Part(20);
  ASSERT_EQ(Cfs->FileRead(H, Part.data(), 20), 20);
  const std::vector<uint8_t> Data = Pattern(5000, 7);
  EXPECT_TRUE(std::equal(Part.begin(), Part.end(), Data.begin() + 10));
  EXPECT_FALSE(Cfs->DeleteFile("\\keep\\deeper\\inner.dat")) << "the file is still open";
  EXPECT_TRUE(Cfs->FileClose(H));
  EXPECT_TRUE(Cfs->DeleteFile("\\keep\\deeper\\inner.dat"));
  EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
}

TEST_P(RepairFileTest, CancelLeavesTheOriginal) {
  const int32_t Items = Cfs->PageFile().Header().DirItemCount;
  const std::map<std::string, ItemState> Before = Snapshot(*Cfs);
  for (int CancelAt : {0, 1, Items / 2, Items - 1}) {
    SCOPED_TRACE(CancelAt);
    const std::vector<uint8_t> Image = Env.Fs.ReadAll(kPath);
    int Reports = 0;
    Cfs->OnProgress = [&](TContainerFileSystem&, bool& Cancel, double) {
      if (Reports++ == CancelAt) Cancel = true;
    };
    std::string Log;
    EXPECT_FALSE(Cfs->RepairFile(Log));
    EXPECT_EQ(Log, "RepairFile cancelled. Original file restored.\r\n");
    EXPECT_EQ(Reports, CancelAt + 1) << "cancel is honoured right after the report";
    EXPECT_EQ(Env.Fs.ReadAll(kPath), Image);
    EXPECT_EQ(HostFiles(Env.Fs), std::vector<std::string>{"db.edb"});
    EXPECT_EQ(Snapshot(*Cfs), Before);
  }
  Cfs->OnProgress = nullptr;
  EXPECT_EQ(ReadWholeFile(*Cfs, "\\page.dat"), Pattern(D, 4)) << "the object still works";
  EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
}

TEST_P(RepairFileTest, NotEnoughSpaceChangesNothing) {
  const std::vector<uint8_t> Image = Env.Fs.ReadAll(kPath);
  // The spent journal of the earlier commits goes when the compaction starts; its room counts.
  const int64_t Journal = static_cast<int64_t>(Env.Fs.ReadAll(TCFSJournal::PathFor(kPath)).size());
  Env.Fs.SetCapacity(Env.Fs.UsedBytes() - Journal + Cfs->GetSize() - 1);
  bool Reported = false;
  Cfs->OnProgress = [&Reported](TContainerFileSystem&, bool&, double) { Reported = true; };
  std::string Log;
  EXPECT_FALSE(Cfs->RepairFile(Log));
  EXPECT_EQ(Log, "Not enough space.");
  EXPECT_EQ(NoSpaceCount, 1);
  EXPECT_FALSE(Reported);
  EXPECT_EQ(Env.Fs.ReadAll(kPath), Image);
  EXPECT_EQ(HostFiles(Env.Fs), std::vector<std::string>{"db.edb"});

  // A handler that raises changes nothing about the outcome.
  Cfs->OnNoSpace = [](TContainerFileSystem&) { throw Exception("handler"); };
  EXPECT_FALSE(Cfs->RepairFile(Log));
  EXPECT_EQ(Log, "Not enough space.");

  // Exactly the container's size is enough.
  Env.Fs.SetCapacity(Env.Fs.UsedBytes() + Cfs->GetSize());
  EXPECT_TRUE(Cfs->RepairFile(Log)) << Log;
}

TEST_P(RepairFileTest, ReadOnlyAndInMemoryContainersRefuse) {
  Cfs.reset();
  const std::vector<uint8_t> Image = Env.Fs.ReadAll(kPath);
  auto ReadOnly = OpenContainer(kPath, Password(), kModeRead);
  std::string Log = "stale";
  EXPECT_FALSE(ReadOnly->RepairFile(Log));
  EXPECT_EQ(Log, "");
  ReadOnly.reset();

  auto InMemory = std::make_unique<TContainerFileSystem>(kPath, kModeReadWrite, true, Password());
  bool Reported = false;
  InMemory->OnProgress = [&Reported](TContainerFileSystem&, bool&, double) { Reported = true; };
  Log = "stale";
  EXPECT_FALSE(InMemory->RepairFile(Log));
  EXPECT_EQ(Log, "");
  EXPECT_FALSE(Reported);
  InMemory.reset();
  EXPECT_EQ(Env.Fs.ReadAll(kPath), Image);
  EXPECT_EQ(HostFiles(Env.Fs), std::vector<std::string>{"db.edb"});
}

TEST_P(RepairFileTest, UnreadableSourcePageStopsTheCopy) {
  // Damage one data byte of a live file: its page fails its checksum.
  const TDirItem& Item = Cfs->Directory().ReadItem(Cfs->Directory().FindFile("\\pages3.dat"));
  const int32_t PageNo = Cfs->PageMaps().GetMaps(Item).DataPages.at(1);
  Cfs.reset();
  std::vector<uint8_t> Image = Env.Fs.ReadAll(kPath);
  Image.at(kPartHeaderSize + static_cast<size_t>(PageNo) * 4096 + kPageHeaderSize + 5) ^= 0x40;
  Env.Fs.WriteAll(kPath, Image);
  Cfs = OpenContainer(kPath, Password());

  std::string Log;
  EXPECT_FALSE(Cfs->RepairFile(Log));
  EXPECT_THAT(Log, StartsWith(kCritical + "TContainerFileSystem.RepairFile - cannot read page " +
                              std::to_string(PageNo) + " of \"\\pages3.dat\""));
  EXPECT_EQ(Env.Fs.ReadAll(kPath), Image);
  EXPECT_EQ(HostFiles(Env.Fs), std::vector<std::string>{"db.edb"});
}

// A container that does not pass the checker is refused before anything is written, with the
// first problem in the log: damage is never carried over into a copy, and a size its pages cannot
// fill never makes the copy grow (the capacity catches a copy that would).
TEST_P(RepairFileTest, DamagedContainerIsRefused) {
  struct Case {
    const char* Path;
    std::function<void(TDirItem&)> Damage;
    const char* Problem;
  };
  const Case Cases[] = {
      {"\\pages3.dat", [](TDirItem& Item) { Item.Size = int64_t{40} << 30; }, "more than the container's 97 pages hold"},
      {"\\one.dat", [](TDirItem& Item) { Item.Size = -5; }, "has a negative size"},
      {"\\emptydir", [](TDirItem& Item) { Item.Attr = 0; }, "has attributes that disagree with its kind"},
  };
  Cfs.reset();
  const std::vector<uint8_t> Sound = Env.Fs.ReadAll(kPath);
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Problem);
    Env.Fs.WriteAll(kPath, Sound);
    {
      auto Damaged = OpenContainer(kPath, Password());
      const int32_t ID = Damaged->Directory().FindFile(C.Path);
      ASSERT_GE(ID, 0);
      TDirItem Item = Damaged->Directory().ReadItem(ID);
      C.Damage(Item);
      Damaged->Directory().WriteItem(ID, Item);
    }
    const std::vector<uint8_t> Image = Env.Fs.ReadAll(kPath);
    Env.Fs.SetCapacity(Env.Fs.UsedBytes() + 4 * static_cast<int64_t>(Image.size()));
    Cfs = OpenContainer(kPath, Password());
    Cfs->OnNoSpace = [this](TContainerFileSystem&) { ++NoSpaceCount; };
    bool Reported = false;
    Cfs->OnProgress = [&Reported](TContainerFileSystem&, bool&, double) { Reported = true; };
    std::string Log;
    EXPECT_FALSE(Cfs->RepairFile(Log));
    EXPECT_THAT(Log, StartsWith("The container \"/db.edb\" is damaged or cannot be read and was not compacted; "
                                "check it with \"edb check\".\r\n"));
    EXPECT_THAT(Log, HasSubstr(C.Problem));
    EXPECT_EQ(NoSpaceCount, 0);
    EXPECT_FALSE(Reported);
    Cfs.reset();
    Env.Fs.SetCapacity(-1);
    EXPECT_EQ(Env.Fs.ReadAll(kPath), Image);
    EXPECT_EQ(HostFiles(Env.Fs), std::vector<std::string>{"db.edb"});
  }
}

// A file with its own password keeps it: its pages go over as stored (compaction has no key for
// them), including the zero pages a write past the end leaves unencrypted, and read back with the
// file's password.
TEST_P(RepairFileTest, FileWithItsOwnPasswordIsCarriedOver) {
  const std::vector<uint8_t> Data = Pattern(3 * D + 5, 12);
  const int32_t H = Cfs->FileOpen("\\own.dat", kModeCreate, "file password");
  ASSERT_GE(H, 0);
  ASSERT_EQ(Cfs->FileWrite(H, Data.data(), D), D);
  ASSERT_EQ(Cfs->FileSeek(H, 0, 3 * D), 3 * D);
  ASSERT_EQ(Cfs->FileWrite(H, Data.data() + 3 * D, 5), 5);
  EXPECT_TRUE(Cfs->FileClose(H));
  std::vector<uint8_t> Expected = Data;
  std::fill(Expected.begin() + D, Expected.begin() + 3 * D, 0);

  std::string Log;
  ASSERT_TRUE(Cfs->RepairFile(Log)) << Log;
  EXPECT_EQ(Log, "");
  EXPECT_EQ(Cfs->FileOpen("\\own.dat", kModeReadWrite), -1) << "the file still wants its password";
  const int32_t Back = Cfs->FileOpen("\\own.dat", kModeReadWrite, "file password");
  ASSERT_GE(Back, 0);
  std::vector<uint8_t> Read(Expected.size());
  EXPECT_EQ(Cfs->FileRead(Back, Read.data(), static_cast<int32_t>(Read.size())), static_cast<int32_t>(Read.size()));
  EXPECT_TRUE(Cfs->FileClose(Back));
  EXPECT_EQ(Read, Expected);
  EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Variants, RepairFileTest, testing::ValuesIn(kContainerVariants), VariantName);

// ---- failures on the way ------------------------------------------------------------------------

// A fault file system that can also fail renames chosen by their names, and the first open after
// the folder is synced (the copy's reopen under the container's name).
class SwapFaultFileSystem : public platform::FaultFileSystem {
public:
  using FaultFileSystem::FaultFileSystem;
  bool RenameFile(const std::string& OldPath, const std::string& NewPath) override {
    if (FailRename && FailRename(OldPath, NewPath)) return false;
    return FaultFileSystem::RenameFile(OldPath, NewPath);
  }
  bool SyncDirectory(const std::string& Path) override {
    FOpenFails = FailOpenAfterSync;
    return FaultFileSystem::SyncDirectory(Path);
  }
  std::unique_ptr<platform::IFile> Open(const std::string& Path, const platform::FileOpenOptions& Options) override {
    if (std::exchange(FOpenFails, false)) return nullptr;
    return FaultFileSystem::Open(Path, Options);
  }
  std::function<bool(const std::string& OldPath, const std::string& NewPath)> FailRename;
  bool FailOpenAfterSync = false;

private:
  bool FOpenFails = false;
};

struct FaultCase {
  const char* Name;
  platform::FaultKind Kind;
  platform::FaultMode Mode;
};

const FaultCase kFaultCases[] = {
    {"WriteFails", platform::FaultKind::Write, platform::FaultMode::Fail},
    {"ReadFails", platform::FaultKind::Read, platform::FaultMode::Fail},
    {"SizeChangeFails", platform::FaultKind::SizeChange, platform::FaultMode::Fail},
    {"FlushFails", platform::FaultKind::Flush, platform::FaultMode::Fail},
    {"RenameFails", platform::FaultKind::Rename, platform::FaultMode::Fail},
    {"DeleteFails", platform::FaultKind::Delete, platform::FaultMode::Fail},
    {"DirSyncFails", platform::FaultKind::DirSync, platform::FaultMode::Fail},
};

const std::string kRefused =
    "The container \"/fault.edb\" is damaged or cannot be read and was not compacted; check it with \"edb check\".\r\n";

// A small database, its image and its items, over a file system that can fail.
class FaultFixture {
protected:
  void Build(const std::string& Password) {
    FPassword = Password;
    auto Cfs = CreateContainer(kPath, Password);
    BuildDatabase(Env, *Cfs, 4, D, 17 * D);
    Expected = Snapshot(*Cfs);
    Cfs.reset();
    Image = Env.Fs.ReadAll(kPath);
  }

  // The container at Path opens, is consistent and holds the items of the database.
  void ExpectDatabaseAt(const std::string& Path) {
    auto Cfs = OpenContainer(Path, FPassword);
    EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
    EXPECT_EQ(Snapshot(*Cfs), Expected);
  }

  // After a compaction that failed or not: only the container's parts ("fault.edb", then
  // "fault.edb1", ...) are left and they hold the database.
  void ExpectIntact() {
    const std::string Base = "fault.edb";
    for (const std::string& Name : HostFiles(Env.Fs)) {
      const std::string Number = Name.substr(std::min(Name.size(), Base.size()));
      const bool IsPart = Name.rfind(Base, 0) == 0 &&
                          (Number.empty() || (Number[0] != '0' && Number.find_first_not_of("0123456789") == std::string::npos));
      EXPECT_TRUE(IsPart) << Name << " is no part of the container";
    }
    ExpectDatabaseAt(kPath);
  }

  ContainerEnvironment Env;
  SwapFaultFileSystem Faulty{Env.Fs};
  const std::string kPath = "/fault.edb";
  std::string FPassword;
  std::vector<uint8_t> Image;
  std::map<std::string, ItemState> Expected;
};

class RepairFileFault : public FaultFixture,
                        public testing::TestWithParam<std::tuple<ContainerVariant, FaultCase>> {
protected:
  void SetUp() override { Build(std::get<0>(GetParam()).Password); }
};

// For k = 1, 2, ...: the k-th operation of the kind fails. A compaction that fails says why and
// leaves the original, unchanged, under its name; one that succeeds leaves only the compacted
// container (a failed deletion of the original leaves it, and a line, behind).
TEST_P(RepairFileFault, EveryFailureLeavesTheOriginal) {
  const FaultCase& Case = std::get<1>(GetParam());
  bool Completed = false;
  int Failed = 0;
  for (uint64_t K = 1; K <= 2000 && !Completed; ++K) {
    SCOPED_TRACE("operation " + std::to_string(K));
    Env.Fs.WriteAll(kPath, Image);
    bool Ok = false;
    std::string Log;
    int NoSpace = 0;
    {
      platform::ScopedFileSystem Guard(Faulty);
      auto Cfs = OpenContainer(kPath, FPassword);
      Cfs->OnNoSpace = [&NoSpace](TContainerFileSystem&) { ++NoSpace; };
      Faulty.Reset();
      Faulty.FailAt(Case.Kind, K, Case.Mode);
      Ok = Cfs->RepairFile(Log);
      Completed = Faulty.Injected() == 0;
      if (!Ok) {
        ++Failed;
        // The original goes on working under its name.
        EXPECT_THAT(Log, testing::AnyOf(StartsWith(kCritical), StartsWith(kRefused)));
        if (Case.Kind == platform::FaultKind::SizeChange) {
          EXPECT_EQ(Log, kCritical + "Not enough space");
          EXPECT_EQ(NoSpace, 1);
        }
        EXPECT_EQ(Snapshot(*Cfs), Expected);
      }
      Faulty.Reset();
    }
    if (Completed) {
      EXPECT_TRUE(Ok) << Log;
      EXPECT_EQ(Log, "");
    }
    if (!Ok) {
      EXPECT_EQ(Env.Fs.ReadAll(kPath), Image);
    }
    // (Some faults do no harm: a failed flush of a file closed after its data was flushed.)
    if (Ok && !Log.empty()) {
      EXPECT_EQ(Case.Kind, platform::FaultKind::Delete);
      EXPECT_EQ(Log, "Cannot delete file \"/fault.edb0\". \r\n");
      EXPECT_TRUE(Env.Fs.DeleteFile("/fault.edb0"));
    }
    ExpectIntact();
  }
  EXPECT_TRUE(Completed) << "the loop must reach a run without fault";
  EXPECT_GT(Failed + (Case.Kind == platform::FaultKind::Delete), 0) << "faults must reach the compaction";
}

std::string FaultName(const testing::TestParamInfo<std::tuple<ContainerVariant, FaultCase>>& Info) {
  return std::string(std::get<0>(Info.param).Name) + std::get<1>(Info.param).Name;
}

INSTANTIATE_TEST_SUITE_P(Variants, RepairFileFault,
                         testing::Combine(testing::ValuesIn(kContainerVariants), testing::ValuesIn(kFaultCases)),
                         FaultName);

// The swap of names over host files of several parts: each step after the original moved aside
// fails in turn, and so, in a second run, does the rename that gives the original its name back.
// The log says "Original file restored." only when it is; otherwise it names the file the
// original is in, and that file holds the database.
class RepairFileSwapFault : public FaultFixture, public testing::TestWithParam<ContainerVariant> {
protected:
  void SetUp() override { Build(GetParam().Password); }
  TCFSHugeFile::ScopedMaxPartSize FSmallParts{kPartHeaderSize + 16 * 4096};
};

TEST_P(RepairFileSwapFault, LogSaysWhereTheOriginalIs) {
  auto Named = [](const std::string& From, const std::string& To) {
    return [From, To](const std::string& Old, const std::string& New) { return Old == From && New == To; };
  };
  const auto GiveBack = Named("/fault.edb0", "/fault.edb");
  struct Case {
    const char* Name;
    std::function<void(SwapFaultFileSystem&)> Arm;  // the failure on the way
    std::string Reason;                              // the log's line for it
  };
  const Case Cases[] = {
      {"a later part of the original cannot move aside",
       [&](SwapFaultFileSystem& Fs) { Fs.FailRename = Named("/fault.edb1", "/fault.edb01"); },
       "TContainerFileSystem.RepairFile - cannot rename file \"/fault.edb\" to \"/fault.edb0\""},
      {"the copy cannot take the name", [&](SwapFaultFileSystem& Fs) { Fs.FailRename = Named("/fault.edb_new", "/fault.edb"); },
       "TContainerFileSystem.RepairFile - cannot rename file \"/fault.edb_new\" to \"/fault.edb\""},
      {"a later part of the copy cannot take its name",
       [&](SwapFaultFileSystem& Fs) { Fs.FailRename = Named("/fault.edb_new1", "/fault.edb1"); },
       "TContainerFileSystem.RepairFile - cannot rename file \"/fault.edb_new\" to \"/fault.edb\""},
      {"the folder cannot be synced", [](SwapFaultFileSystem& Fs) { Fs.FailAt(platform::FaultKind::DirSync, 1); },
       "TContainerFileSystem.RepairFile - cannot make the names in folder \"/\" durable"},
      {"the copy does not open", [](SwapFaultFileSystem& Fs) { Fs.FailOpenAfterSync = true; },
       "File fault.edb has corrupted header."},
  };
  for (bool GiveBackFails : {false, true}) {
    for (const Case& C : Cases) {
      SCOPED_TRACE(std::string(C.Name) + (GiveBackFails ? ", and the original cannot take its name back" : ""));
      for (const std::string& Name : HostFiles(Env.Fs)) ASSERT_TRUE(Env.Fs.DeleteFile("/" + Name));
      Build(FPassword);
      ASSERT_GT(HostFiles(Env.Fs).size(), 2u) << "the original has several parts";
      std::string Log;
      {
        platform::ScopedFileSystem Guard(Faulty);
        auto Cfs = OpenContainer(kPath, FPassword);
        Faulty.Reset();
        C.Arm(Faulty);
        if (GiveBackFails) {
          auto First = Faulty.FailRename;
          Faulty.FailRename = [First, GiveBack](const std::string& Old, const std::string& New) {
            return (First && First(Old, New)) || GiveBack(Old, New);
          };
        }
        EXPECT_FALSE(Cfs->RepairFile(Log));
        Faulty.FailRename = nullptr;
        Faulty.FailOpenAfterSync = false;
        Faulty.Reset();
        EXPECT_EQ(Cfs->LastError(), ceRepairRename);
        EXPECT_EQ(Snapshot(*Cfs), Expected) << "the object goes on with the original";
      }
      if (!GiveBackFails) {
        EXPECT_EQ(Log, kCritical + C.Reason);
        EXPECT_EQ(Env.Fs.ReadAll(kPath), Image);
        ExpectIntact();
        continue;
      }
      EXPECT_EQ(Log, "Critical error occured. Original file not restored: it is kept as \"/fault.edb0\".\r\n" +
                         C.Reason + "\r\n" +
                         "TContainerFileSystem.RepairFile - cannot rename file \"/fault.edb0\" to \"/fault.edb\"\r\n");
      EXPECT_FALSE(Env.Fs.FileExists(kPath)) << "the copy is gone";
      for (const std::string& Name : HostFiles(Env.Fs)) EXPECT_EQ(Name.find("_new"), std::string::npos) << Name;
      ExpectDatabaseAt("/fault.edb0");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, RepairFileSwapFault, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
