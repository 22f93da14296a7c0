// A long run of inserts, updates and deletes into a single-file table, with the clock moving, so
// that the table commits its files every CommitInterval; the process dies after each change the
// run makes in turn. The table must then open, agree with its indexes, and hold exactly the
// records of its last completed commit, or of the one in flight when the crash came.

#include "StorageTestSupport.h"

#include "platform/CrashFileSystem.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace tesvar::storagetest {
namespace {

// Records as (name, number), in physical order.
using Rows = std::vector<std::pair<std::string, int32_t>>;

// The database and its table over the crash file system.
class CrashEnv {
public:
  CrashEnv(platform::CrashFileSystem& Fs, bool Encrypted) : FScope(Fs) {
    FClock.SetTick(1000);
    FClock.SetAutoAdvance(1);
    FDataset.FileName = "db.edb";
    FDataset.Enc = Encrypted;
    FDataset.Pass = Encrypted ? "secret" : "";
  }
  ~CrashEnv() {
    if (FManager == nullptr) return;
    try {
      FManager->DisconnectDataset(FDataset);
    } catch (...) {
      // After a crash every write fails: what the close could not do is what the crash lost.
    }
  }
  void Create() {
    TEdbDatabase Creator;
    Creator.CreateDatabase("db.edb");
    edGetDataManager("T", &Database()).CreateTable(testFields(), {}, 1000, false, &FDataset);
  }
  TEdbDataManager& Open() {
    TEdbDataManager& M = edGetDataManager("T", &Database());
    const int32_t Result = M.ConnectDataset(FDataset);
    if (Result != otrOk) throw tesvar::Exception("open failed with " + std::to_string(Result) + ": " + M.LastOpenError());
    FManager = &M;
    return M;
  }
  void Close() {
    TEdbDataManager* M = FManager;
    FManager = nullptr;
    M->DisconnectDataset(FDataset);
  }
  TEdbDataManager& M() { return *FManager; }
  // Looked up when needed: a manager nothing holds goes when a database is created.
  TEdbDatabaseManager& Database() { return edGetDatabaseManager("db.edb", &FDataset); }

  std::vector<uint8_t> Record(const std::string& Name, int32_t Num) {
    std::vector<uint8_t> R = FManager->NewRecordBuffer();
    std::memcpy(R.data(), Name.data(), std::min<size_t>(Name.size(), 20));
    std::memcpy(R.data() + 21, &Num, 4);
    R[static_cast<size_t>(FManager->DataSize() + 4)] &= 0xFE;  // Name and Num set, Amount NULL
    R[static_cast<size_t>(FManager->DataSize() + 4)] &= 0xFD;
    return R;
  }
  Rows Read() {
    Rows Result;
    for (int32_t I = 0; I < FManager->RecordCount(); ++I) {
      const uint8_t* R = FManager->GetRecord(I);
      int32_t Num;
      std::memcpy(&Num, R + 21, 4);
      Result.emplace_back(std::string(reinterpret_cast<const char*>(R), strnlen(reinterpret_cast<const char*>(R), 21)), Num);
    }
    return Result;
  }

  platform::SettableClock FClock;
  platform::ScopedClock FClockScope{FClock};

private:
  platform::ScopedFileSystem FScope;
  ScopedStorageEngine FEngine;
  TTestDataset FDataset;
  TEdbDataManager* FManager = nullptr;
};

// The run: every step an insert (mostly), an update or a delete, the clock 120 ms on each time.
// Keeps the model after every step and the model at the last completed commit.
struct RunModel {
  Rows Live, Committed, InFlight;
};

void RunTable(CrashEnv& Env, platform::CrashFileSystem& Fs, uint64_t Seed, RunModel& Model) {
  std::mt19937_64 Rng(Seed);
  TEdbDataManager& M = Env.Open();
  uint64_t Commits = M.CommitCount();
  for (int Step = 0; Step < 120 && !Fs.Crashed(); ++Step) {
    Env.FClock.AdvanceTick(120);
    const unsigned What = static_cast<unsigned>(Rng() % 10);
    Rows Next = Model.Live;
    try {
      if (What < 7 || Next.empty()) {
        const std::string Name = "r" + std::to_string(Step);
        std::vector<uint8_t> R = Env.Record(Name, Step);
        Next.emplace_back(Name, Step);
        Model.InFlight = Next;
        M.edInsertRecord(R.data(), 0);
      } else if (What < 9) {
        const int32_t RecNo = static_cast<int32_t>(Rng() % Next.size());
        std::vector<uint8_t> R = Env.Record("u" + std::to_string(Step), -Step);
        Next[static_cast<size_t>(RecNo)] = {"u" + std::to_string(Step), -Step};
        Model.InFlight = Next;
        M.edUpdateRecord(R.data(), 0, RecNo);
      } else {
        const int32_t RecNo = static_cast<int32_t>(Rng() % Next.size());
        Next[static_cast<size_t>(RecNo)] = Next.back();
        Next.pop_back();
        Model.InFlight = Next;
        M.edDeleteRecord(0, RecNo);
      }
    } catch (const std::exception&) {
      return;  // the crash
    }
    Model.Live = Next;
    if (M.CommitCount() != Commits) {
      Commits = M.CommitCount();
      Model.Committed = Model.Live;
    }
  }
}

class TableCrash : public testing::TestWithParam<bool> {};

TEST_P(TableCrash, SlowEveryCrashLeavesTheLastCommitOrTheOneInFlight) {
  const char* Fixed = std::getenv("TESVAR_SEED");
  const uint64_t Seed = Fixed ? std::strtoull(Fixed, nullptr, 10) : 7;
  uint64_t Steps;
  {
    platform::CrashFileSystem Fs;
    {
      CrashEnv Env(Fs, GetParam());
      Env.Create();
    }
    Fs.MakeDurable();
    const uint64_t Before = Fs.Steps();
    RunModel Model;
    {
      CrashEnv Env(Fs, GetParam());
      RunTable(Env, Fs, Seed, Model);
      EXPECT_GT(Env.M().CommitCount(), 3u) << "the run must commit several times";
    }
    Steps = Fs.Steps() - Before;
  }
  for (uint64_t K = 1; K <= Steps; K += (K < 40 ? 1 : 3)) {
    const uint64_t Restart = Seed * 7919 + K;
    SCOPED_TRACE("seed " + std::to_string(Seed) + " (replay with TESVAR_SEED), crash after change " +
                 std::to_string(K) + ", restart seed " + std::to_string(Restart));
    platform::CrashFileSystem Fs;
    {
      CrashEnv Env(Fs, GetParam());
      Env.Create();
    }
    Fs.MakeDurable();
    Fs.CrashAfter(K);
    RunModel Model;
    {
      CrashEnv Env(Fs, GetParam());
      RunTable(Env, Fs, Seed, Model);
    }
    SCOPED_TRACE(Fs.Restart(Restart));
    CrashEnv Env(Fs, GetParam());
    Rows Got;
    try {
      TEdbDataManager& M = Env.Open();
      Got = Env.Read();
      // The record-ID index holds every record once.
      ASSERT_EQ(M.Index(0).Count(), M.RecordCount());
      std::vector<bool> Seen(static_cast<size_t>(M.RecordCount()));
      for (int32_t I = 0; I < M.RecordCount(); ++I) {
        const int32_t RecNo = M.Index(0).At(I);
        ASSERT_GE(RecNo, 0);
        ASSERT_LT(RecNo, M.RecordCount());
        ASSERT_FALSE(Seen[static_cast<size_t>(RecNo)]);
        Seen[static_cast<size_t>(RecNo)] = true;
      }
      Env.Close();
    } catch (const std::exception& E) {
      FAIL() << "the table does not open: " << E.what();
    }
    EXPECT_TRUE(Got == Model.Committed || Got == Model.InFlight)
        << Got.size() << " records; committed " << Model.Committed.size() << ", in flight " << Model.InFlight.size();
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, TableCrash, testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "Encrypted" : "Plain"; });

}  // namespace
}  // namespace tesvar::storagetest
