// Compaction (RepairFile): the copy keeps every live item with its data, times and attributes and
// drops deleted items; a cancel, missing space or any failure leaves the original file as it was,
// under its name, with no "_new" file left behind.

#include "ContainerTestSupport.h"

#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "platform/FaultFileSystem.h"
#include "support/ExceptionText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace tesvar::container::test {
namespace {

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

std::vector<std::string> HostFiles(platform::MemoryFileSystem& Fs) {
  std::vector<platform::DirEntry> Entries;
  Fs.ListDirectory("/", Entries);
  std::vector<std::string> Names;
  for (const auto& E : Entries) Names.push_back(E.name);
  std::sort(Names.begin(), Names.end());
  return Names;
}

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
  Cfs->FileClose(H);
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
  Env.Fs.SetCapacity(Env.Fs.UsedBytes() + Cfs->GetSize() - 1);
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

INSTANTIATE_TEST_SUITE_P(Variants, RepairFileTest, testing::ValuesIn(kContainerVariants), VariantName);

// ---- failures on the way ------------------------------------------------------------------------

// Fails the n-th rename (counted from 1) besides the faults of its base.
class RenameFaultFileSystem : public platform::FaultFileSystem {
public:
  using FaultFileSystem::FaultFileSystem;
  bool RenameFile(const std::string& OldPath, const std::string& NewPath) override {
    if (++Renames == FailRenameAt) return false;
    return FaultFileSystem::RenameFile(OldPath, NewPath);
  }
  int FailRenameAt = 0;
  int Renames = 0;
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
};

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

  // After a compaction that failed or not: only the container is left, it opens, it is
  // consistent and it holds the same items.
  void ExpectIntact() {
    EXPECT_EQ(HostFiles(Env.Fs), std::vector<std::string>{"fault.edb"});
    auto Cfs = OpenContainer(kPath, FPassword);
    EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
    EXPECT_EQ(Snapshot(*Cfs), Expected);
  }

  ContainerEnvironment Env;
  RenameFaultFileSystem Faulty{Env.Fs};
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
        EXPECT_THAT(Log, StartsWith(kCritical));
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
    }
    if (!Ok) {
      EXPECT_EQ(Env.Fs.ReadAll(kPath), Image);
    }
    ExpectIntact();
  }
  EXPECT_TRUE(Completed) << "the loop must reach a run without fault";
  EXPECT_GT(Failed, 0) << "faults must reach the compaction";
}

class RepairFileRenameFault : public FaultFixture, public testing::TestWithParam<ContainerVariant> {
protected:
  void SetUp() override { Build(GetParam().Password); }
};

TEST_P(RepairFileRenameFault, FailedRenameGivesTheOriginalItsNameBack) {
  // The first rename moves the original aside, the second gives the copy its name.
  for (int FailAt : {1, 2}) {
    SCOPED_TRACE(FailAt);
    Env.Fs.WriteAll(kPath, Image);
    platform::ScopedFileSystem Guard(Faulty);
    auto Cfs = OpenContainer(kPath, FPassword);
    Faulty.Renames = 0;
    Faulty.FailRenameAt = FailAt;
    std::string Log;
    EXPECT_FALSE(Cfs->RepairFile(Log));
    Faulty.FailRenameAt = 0;
    EXPECT_EQ(Cfs->LastError(), ceRepairRename);
    EXPECT_THAT(Log, StartsWith(kCritical + "TContainerFileSystem.RepairFile - cannot rename file "));
    EXPECT_EQ(Env.Fs.ReadAll(kPath), Image);
    EXPECT_EQ(Snapshot(*Cfs), Expected) << "the object goes on with the original";
    Cfs.reset();
    ExpectIntact();
  }
}

std::string FaultName(const testing::TestParamInfo<std::tuple<ContainerVariant, FaultCase>>& Info) {
  return std::string(std::get<0>(Info.param).Name) + std::get<1>(Info.param).Name;
}

INSTANTIATE_TEST_SUITE_P(Variants, RepairFileFault,
                         testing::Combine(testing::ValuesIn(kContainerVariants), testing::ValuesIn(kFaultCases)),
                         FaultName);
INSTANTIATE_TEST_SUITE_P(Variants, RepairFileRenameFault, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
