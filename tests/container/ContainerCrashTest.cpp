// Crash loops: a seeded script of container operations (writes that grow and overwrite files,
// size changes up and down, renames, deletes, folders, flushes and closes in between, across
// host part boundaries) runs over the crash-simulating file system, which lets the process die
// after its k-th change, for every k the script reaches. After each crash the file system keeps
// a seeded part of what was not durable; the container must then open (rolling back what the
// crash interrupted), pass the checker, and hold exactly the files of the last commit that
// completed before the crash, or, when the crash came during a commit, of that commit.

#include "ContainerTestSupport.h"

#include "container/TCFSHugeFile.h"
#include "container/TCFSJournal.h"
#include "container/TCFSTransaction.h"
#include "platform/CrashFileSystem.h"
#include "platform/Exception.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace tesvar::container::test {
namespace {

constexpr int32_t D = 4064;
const std::string kPath = "/crash.edb";

// The files and folders a container holds, by path.
struct Contents {
  std::map<std::string, std::vector<uint8_t>> Files;
  std::set<std::string> Folders;
  bool operator==(const Contents&) const = default;
};

std::string Describe(const Contents& C) {
  std::string Text;
  for (const auto& [Path, Data] : C.Files) Text += Path + " (" + std::to_string(Data.size()) + " bytes) ";
  for (const std::string& Folder : C.Folders) Text += Folder + "/ ";
  return Text;
}

Contents ReadContents(TContainerFileSystem& Cfs) {
  Contents Result;
  const TDIRManager& Dir = Cfs.Directory();
  for (int32_t ID = 0; ID < Dir.Items().ItemCount(); ++ID) {
    const TDirItem& Item = Dir.ReadItem(ID);
    if (Item.Deleted) continue;
    const std::string Path = Dir.ItemPath(ID);
    if (Item.IsDirectory)
      Result.Folders.insert(Path);
    else
      Result.Files[Path] = ReadWholeFile(Cfs, Path);
  }
  return Result;
}

// One run of the script. Keeps the model of what the container holds (Live), what the last
// commit that returned true made durable (Committed) and, while a commit runs, what it would
// make durable (InFlight). Stops at the first failure once the process has crashed.
class Script {
public:
  Script(platform::CrashFileSystem& Fs, uint64_t Seed, const std::string& Password)
      : FFs(Fs), FRng(Seed), FPassword(Password) {}

  void Run(const Contents& Start) {
    FLive = Start;
    FCommitted = Start;
    Cfs = OpenContainer(kPath, FPassword);
    for (int Step = 0; Step < 70 && !FFs.Crashed(); ++Step) {
      if (!Once()) break;
    }
    if (!FFs.Crashed()) CommitAll();
    Handles.clear();
    // The process dies here: whatever the destructor still writes goes nowhere after a crash.
    Cfs.reset();
  }

  const Contents& Committed() const { return FCommitted; }
  const Contents& InFlight() const { return FInFlight; }
  bool CrashedInCommit() const { return FCrashedInCommit; }

private:
  std::string RandomFile() {
    static const char* const kNames[] = {"\\a.dat", "\\b.dat", "\\d\\c.dat", "\\d\\e\\f.dat", "\\g.dat"};
    return kNames[FRng() % 5];
  }

  std::vector<uint8_t> Bytes(size_t Size) {
    std::vector<uint8_t> Data(Size);
    for (auto& B : Data) B = static_cast<uint8_t>(FRng());
    return Data;
  }

  // Commits through Call, keeping the models right whether or not the process dies in it.
  bool Commit(const std::function<bool()>& Call) {
    FInFlight = FLive;
    if (Call()) {
      FCommitted = FLive;
      return true;
    }
    FCrashedInCommit = FFs.Crashed();
    return false;
  }

  void CommitAll() {
    if (!Handles.empty()) Commit([&] { return Cfs->FileFlush(Handles.begin()->second); });
  }

  // The handle of an open file, opening (or creating) it when needed.
  int32_t Open(const std::string& Path) {
    auto Found = Handles.find(Path);
    if (Found != Handles.end()) return Found->second;
    const bool Exists = FLive.Files.count(Path) != 0;
    if (!Exists) {
      const std::string Folder = Path.substr(0, Path.rfind('\\'));
      if (!Folder.empty() && !Cfs->ForceDirectories(Folder)) return -1;
      for (std::string F = Folder; !F.empty(); F = F.substr(0, F.rfind('\\'))) FLive.Folders.insert(F);
    }
    const int32_t H = Cfs->FileOpen(Path, Exists ? kModeReadWrite : kModeCreate);
    if (H < 0) return -1;
    if (!Exists) FLive.Files[Path];
    Handles[Path] = H;
    return H;
  }

  // One random operation; false when it failed.
  bool Once() {
    const unsigned What = static_cast<unsigned>(FRng() % 100);
    const std::string Path = RandomFile();
    if (What < 40) {  // write, often past the end, sometimes across many pages
      const int32_t H = Open(Path);
      if (H < 0) return false;
      std::vector<uint8_t>& Model = FLive.Files[Path];
      const int64_t Size = static_cast<int64_t>(Model.size());
      const int64_t At = static_cast<int64_t>(FRng() % uint64_t(Size + D + 1));
      const int32_t Length = static_cast<int32_t>(FRng() % 4 == 0 ? 1 + FRng() % (12 * D) : 1 + FRng() % 300);
      const std::vector<uint8_t> Data = Bytes(static_cast<size_t>(Length));
      if (Cfs->FileSeek(H, 0, At) != At || Cfs->FileWrite(H, Data.data(), Length) != Length) return false;
      if (static_cast<int64_t>(Model.size()) < At + Length) Model.resize(static_cast<size_t>(At + Length), 0);
      std::copy(Data.begin(), Data.end(), Model.begin() + At);
      return true;
    }
    if (What < 55) {  // size change
      const int32_t H = Open(Path);
      if (H < 0) return false;
      std::vector<uint8_t>& Model = FLive.Files[Path];
      const int64_t NewSize = FRng() % 3 == 0 ? 0 : static_cast<int64_t>(FRng() % (8 * D));
      if (Cfs->FileSetSize(H, NewSize) != NewSize) return false;
      Model.resize(static_cast<size_t>(NewSize), 0);
      return true;
    }
    if (What < 70) {  // flush
      if (Handles.empty()) return true;
      return Commit([&] { return Cfs->FileFlush(Handles.begin()->second); });
    }
    if (What < 82) {  // close
      auto Found = Handles.find(Path);
      if (Found == Handles.end()) return true;
      const int32_t H = Found->second;
      Handles.erase(Found);
      return Commit([&] { return Cfs->FileClose(H); });
    }
    if (Handles.count(Path) != 0 || FLive.Files.count(Path) == 0) return true;
    if (What < 90) {  // rename to a free name (in another folder, sometimes)
      const std::string To = RandomFile();
      if (To == Path || FLive.Files.count(To) != 0) return true;
      const std::string Folder = To.substr(0, To.rfind('\\'));
      for (std::string F = Folder; !F.empty(); F = F.substr(0, F.rfind('\\'))) FLive.Folders.insert(F);
      if (!Cfs->RenameFile(Path, To)) return false;
      FLive.Files[To] = std::move(FLive.Files[Path]);
      FLive.Files.erase(Path);
      return true;
    }
    if (!Cfs->DeleteFile(Path)) return false;  // delete
    FLive.Files.erase(Path);
    return true;
  }

  platform::CrashFileSystem& FFs;
  std::mt19937_64 FRng;
  std::string FPassword;
  std::unique_ptr<TContainerFileSystem> Cfs;
  std::map<std::string, int32_t> Handles;
  Contents FLive, FCommitted, FInFlight;
  bool FCrashedInCommit = false;
};

class ContainerCrash : public testing::TestWithParam<ContainerVariant> {
protected:
  // Parts of 40 pages, so that the scripts cross part boundaries.
  TCFSHugeFile::ScopedMaxPartSize FSmallParts{kPartHeaderSize + 40 * 4096};

  // A committed container with two files, as the crash file system keeps it.
  Contents Prepare(platform::CrashFileSystem& Fs, platform::SettableClock& Clock) {
    platform::ScopedFileSystem Guard(Fs);
    platform::ScopedClock ClockGuard(Clock);
    auto Cfs = CreateContainer(kPath, GetParam().Password);
    EXPECT_TRUE(WriteWholeFile(*Cfs, "\\a.dat", Pattern(2 * D + 17, 1)));
    EXPECT_TRUE(WriteWholeFile(*Cfs, "\\g.dat", Pattern(300, 2)));
    const Contents Start = ReadContents(*Cfs);
    Cfs.reset();
    Fs.MakeDurable();
    return Start;
  }
};

TEST_P(ContainerCrash, SlowEveryCrashLeavesTheLastCommitOrTheOneInFlight) {
  // TESVAR_SEED replays one script.
  const char* Fixed = std::getenv("TESVAR_SEED");
  const uint64_t First = Fixed ? std::strtoull(Fixed, nullptr, 10) : 1;
  const uint64_t Last = Fixed ? First : 3;
  for (uint64_t Seed = First; Seed <= Last; ++Seed) {
    platform::SettableClock Clock;
    Clock.SetAutoAdvance(64);
    Clock.SetNowUtc(kTestNow);
    uint64_t Steps;
    {
      platform::CrashFileSystem Fs;
      const Contents Start = Prepare(Fs, Clock);
      platform::ScopedFileSystem Guard(Fs);
      platform::ScopedClock ClockGuard(Clock);
      const uint64_t Before = Fs.Steps();
      Script Whole(Fs, Seed, GetParam().Password);
      Whole.Run(Start);
      Steps = Fs.Steps() - Before;
      ASSERT_EQ(ReadContents(*OpenContainer(kPath, GetParam().Password)), Whole.Committed());
    }
    ASSERT_GT(Steps, 100u) << "the script must reach the host often";
    for (uint64_t K = 1; K <= Steps; ++K) {
      const uint64_t Restart = Seed * 1000003 + K;
      SCOPED_TRACE("script seed " + std::to_string(Seed) + " (replay with TESVAR_SEED=" + std::to_string(Seed) +
                   "), crash after change " + std::to_string(K) + ", restart seed " + std::to_string(Restart));
      platform::CrashFileSystem Fs;
      const Contents Start = Prepare(Fs, Clock);
      platform::ScopedFileSystem Guard(Fs);
      platform::ScopedClock ClockGuard(Clock);
      Fs.CrashAfter(K);
      Script Run(Fs, Seed, GetParam().Password);
      Run.Run(Start);
      const std::string Kept = Fs.Restart(Restart);
      SCOPED_TRACE(Kept);
      std::unique_ptr<TContainerFileSystem> Cfs;
      try {
        Cfs = OpenContainer(kPath, GetParam().Password);
      } catch (const Exception& E) {
        FAIL() << "the container does not open: " << E.Message();
      }
      ASSERT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
      const Contents Got = ReadContents(*Cfs);
      if (Run.CrashedInCommit()) {
        EXPECT_TRUE(Got == Run.Committed() || Got == Run.InFlight())
            << "got " << Describe(Got) << "\ncommitted " << Describe(Run.Committed()) << "\nin flight "
            << Describe(Run.InFlight());
      } else {
        EXPECT_EQ(Got, Run.Committed()) << "got " << Describe(Got) << "\ncommitted " << Describe(Run.Committed());
      }
      Cfs.reset();
      EXPECT_FALSE(Fs.FileExists(TCFSJournal::PathFor(kPath))) << "no journal once the container is closed";
      if (HasFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ContainerCrash, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
