// A long run of inserts, updates and deletes into a single-file table, with the clock moving, so
// that the table commits its files every CommitInterval; the process dies after each change the
// run makes in turn. The table must then open, agree with its indexes, and hold exactly the
// records of its last completed commit, or of the one in flight when the crash came.

#include "CrashLoopSupport.h"
#include "StorageTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace tesvar::storagetest {
namespace {

// Records as (name, number), in physical order.
using Rows = std::vector<std::pair<std::string, int32_t>>;

// The database and its table of the test fields over the crash file system.
class CrashEnv : public TCrashTableEnv {
public:
  CrashEnv(platform::CrashFileSystem& Fs, bool Encrypted) : TCrashTableEnv(Fs, Encrypted, testFields()) {}

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
};

// The run: every step an insert (mostly), an update or a delete, the clock 120 ms on each time.
// Keeps the model after every step and the model at the last completed commit.
void RunTable(CrashEnv& Env, platform::CrashFileSystem& Fs, uint64_t Seed, TCrashModel<Rows>& Model) {
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
      ++Model.Commits;
    }
  }
}

class TableCrash : public testing::TestWithParam<bool> {};

TEST_P(TableCrash, SlowEveryCrashLeavesTheLastCommitOrTheOneInFlight) {
  expectEveryCrashKeepsACommit<CrashEnv, Rows>(7, GetParam(), RunTable, [](CrashEnv& Env) {
    TEdbDataManager& M = Env.Open();
    Rows Got = Env.Read();
    // The record-ID index holds every record once.
    if (M.Index(0).Count() != M.RecordCount()) throw tesvar::Exception("the ID index misses records");
    std::vector<bool> Seen(static_cast<size_t>(M.RecordCount()));
    for (int32_t I = 0; I < M.RecordCount(); ++I) {
      const int32_t RecNo = M.Index(0).At(I);
      if (RecNo < 0 || RecNo >= M.RecordCount() || Seen[static_cast<size_t>(RecNo)])
        throw tesvar::Exception("the ID index holds record " + std::to_string(RecNo) + " wrongly");
      Seen[static_cast<size_t>(RecNo)] = true;
    }
    Env.Close();
    return Got;
  });
}

INSTANTIATE_TEST_SUITE_P(Tables, TableCrash, testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "Encrypted" : "Plain"; });

}  // namespace
}  // namespace tesvar::storagetest
