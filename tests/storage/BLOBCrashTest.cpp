// Records with BLOB values in a single-file table, inserted, given new values and deleted with
// the clock moving so that the table commits every CommitInterval; the process dies after each
// change of the run in turn. The table must then open with the records and values of its last
// completed commit, or of the one in flight: blocks freed and reused between commits never
// damage a value the container still holds.

#include "BLOBTestSupport.h"
#include "CrashLoopSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace tesvar::storagetest {
namespace {

// (name, Notes value) in physical order.
using Rows = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

class BLOBCrashEnv : public TCrashTableEnv {
public:
  BLOBCrashEnv(platform::CrashFileSystem& Fs, bool Encrypted) : TCrashTableEnv(Fs, Encrypted, blobFields()) {}

  // A post: the record with its value, written with auto flush off, then flushed if due.
  void Insert(const std::string& Name, const std::vector<uint8_t>& Notes) {
    std::vector<uint8_t> r = FManager->NewRecordBuffer();
    std::memcpy(r.data(), Name.data(), Name.size());
    r[static_cast<size_t>(FManager->DataSize() + 4)] &= 0xFE;
    FManager->DisableAutoFlush();
    FManager->edAddBLOBRecord();
    toolkit::TMemoryStream s(Notes);
    FManager->WriteBLOBValue(s, kNotes, FManager->RecordCount());
    FManager->edInsertRecord(r.data(), 0);
    FManager->EnableAutoFlush(true);
  }
  void Replace(int32_t RecNo, const std::vector<uint8_t>& Notes) {
    toolkit::TMemoryStream s(Notes);
    FManager->WriteBLOBValue(s, kNotes, RecNo);
  }
  void Delete(int32_t RecNo) {
    FManager->DisableAutoFlush();
    FManager->edDeleteBLOBRecord(RecNo);
    FManager->edDeleteRecord(0, RecNo);
    FManager->EnableAutoFlush(true);
  }
  Rows Read() {
    Rows rows;
    for (int32_t i = 0; i < FManager->RecordCount(); ++i) {
      const auto* r = reinterpret_cast<const char*>(FManager->GetRecord(i));
      toolkit::TMemoryStream s;
      FManager->ReadBLOBValue(s, kNotes, i);
      rows.emplace_back(std::string(r, strnlen(r, 21)), s.Bytes());
    }
    return rows;
  }
};

void run(BLOBCrashEnv& Env, platform::CrashFileSystem& Fs, uint64_t Seed, TCrashModel<Rows>& Model) {
  std::mt19937_64 rng(Seed);
  TEdbDataManager& m = Env.Open();
  uint64_t commits = m.CommitCount();
  for (int step = 0; step < 100 && !Fs.Crashed(); ++step) {
    Env.FClock.AdvanceTick(150);
    const auto what = static_cast<unsigned>(rng() % 10);
    Rows next = Model.Live;
    const std::vector<uint8_t> value = noise(1 + rng() % 1500, static_cast<uint32_t>(step));
    try {
      if (what < 5 || next.empty()) {
        next.emplace_back("r" + std::to_string(step), value);
        Model.InFlight = next;
        Env.Insert(next.back().first, value);
      } else if (what < 8) {
        const auto recNo = static_cast<int32_t>(rng() % next.size());
        next[static_cast<size_t>(recNo)].second = value;
        Model.InFlight = next;
        Env.Replace(recNo, value);
      } else {
        const auto recNo = static_cast<int32_t>(rng() % next.size());
        next[static_cast<size_t>(recNo)] = next.back();
        next.pop_back();
        Model.InFlight = next;
        Env.Delete(recNo);
      }
    } catch (const std::exception&) {
      return;  // the crash
    }
    Model.Live = next;
    if (m.CommitCount() != commits) {
      commits = m.CommitCount();
      Model.Committed = Model.Live;
      ++Model.Commits;
    }
  }
}

class BLOBCrash : public testing::TestWithParam<bool> {};

TEST_P(BLOBCrash, SlowEveryCrashLeavesTheLastCommitOrTheOneInFlight) {
  expectEveryCrashKeepsACommit<BLOBCrashEnv, Rows>(11, GetParam(), run, [](BLOBCrashEnv& Env) {
    Env.Open();
    Rows rows = Env.Read();
    Env.Close();
    return rows;
  });
}

INSTANTIATE_TEST_SUITE_P(Tables, BLOBCrash, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Encrypted" : "Plain"; });

}  // namespace
}  // namespace tesvar::storagetest
