#pragma once
// The crash loop of single-file table tests: a seeded run of changes, repeated with the process
// dying after its k-th change of the host files for k = 1, 2, ...; after each crash the table
// must open and hold what its last completed commit held, or what the commit in flight held.

#include "StorageTestSupport.h"
#include "platform/CrashFileSystem.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

namespace tesvar::storagetest {

// A single-file database "db.edb" over the crash file system and its table T of Fields.
class TCrashTableEnv {
public:
  TCrashTableEnv(platform::CrashFileSystem& Fs, bool Encrypted, TFieldDefs Fields, uint8_t BLOBCompression = 0)
      : FScope(Fs), FFields(std::move(Fields)) {
    FClock.SetTick(1000);
    FClock.SetAutoAdvance(1);
    FDataset.FileName = "db.edb";
    FDataset.Enc = Encrypted;
    FDataset.Pass = Encrypted ? "secret" : "";
    FDataset.Compression = BLOBCompression;
  }
  ~TCrashTableEnv() {
    if (FManager == nullptr) return;
    try {
      FManager->DisconnectDataset(FDataset);
    } catch (...) {
      // After a crash every write fails: what the close could not do is what the crash lost.
    }
  }
  TCrashTableEnv(const TCrashTableEnv&) = delete;
  TCrashTableEnv& operator=(const TCrashTableEnv&) = delete;

  void Create() {
    TEdbDatabase creator;
    creator.CreateDatabase("db.edb");
    edGetDataManager("T", &Database()).CreateTable(FFields, {}, 1000, false, &FDataset);
  }
  TEdbDataManager& Open() {
    TEdbDataManager& m = edGetDataManager("T", &Database());
    const int32_t result = m.ConnectDataset(FDataset);
    if (result != otrOk) throw tesvar::Exception("open failed with " + std::to_string(result) + ": " + m.LastOpenError());
    FManager = &m;
    return m;
  }
  void Close() {
    TEdbDataManager* m = FManager;
    FManager = nullptr;
    m->DisconnectDataset(FDataset);
  }
  TEdbDataManager& M() { return *FManager; }
  // Looked up when needed: a manager nothing holds goes when a database is created.
  TEdbDatabaseManager& Database() { return edGetDatabaseManager("db.edb", &FDataset); }

  platform::SettableClock FClock;
  platform::ScopedClock FClockScope{FClock};

protected:
  TEdbDataManager* FManager = nullptr;

private:
  platform::ScopedFileSystem FScope;
  ScopedStorageEngine FEngine;
  TFieldDefs FFields;
  TTestDataset FDataset;
};

// What a run has done: the state after its last step, at its last completed commit, and the
// one its current step is making; the commits it saw complete.
template <class TRows>
struct TCrashModel {
  TRows Live, Committed, InFlight;
  uint64_t Commits = 0;
};

// TEnv(CrashFileSystem&, bool Encrypted) is a database over the crash file system whose Create()
// makes the table. Run(Env, Fs, Seed, Model) runs the changes until the run ends or the crash
// comes; Read(Env) opens the table after the restart, checks it and returns its rows (raising
// when it cannot). The seed is TESVAR_SEED when set, else Fallback.
template <class TEnv, class TRows, class TRun, class TRead>
void expectEveryCrashKeepsACommit(uint64_t Fallback, bool Encrypted, TRun Run, TRead Read) {
  const char* fixed = std::getenv("TESVAR_SEED");
  const uint64_t seed = fixed ? std::strtoull(fixed, nullptr, 10) : Fallback;
  uint64_t steps;
  {
    platform::CrashFileSystem fs;
    {
      TEnv env(fs, Encrypted);
      env.Create();
    }
    fs.MakeDurable();
    const uint64_t before = fs.Steps();
    TCrashModel<TRows> model;
    {
      TEnv env(fs, Encrypted);
      Run(env, fs, seed, model);
      EXPECT_GT(model.Commits, 3u) << "the run must commit several times";
    }
    steps = fs.Steps() - before;
  }
  for (uint64_t k = 1; k <= steps; k += (k < 40 ? 1 : 3)) {
    const uint64_t restart = seed * 7919 + k;
    SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed) + ", crash after change " + std::to_string(k) +
                 ", restart seed " + std::to_string(restart));
    platform::CrashFileSystem fs;
    {
      TEnv env(fs, Encrypted);
      env.Create();
    }
    fs.MakeDurable();
    fs.CrashAfter(k);
    TCrashModel<TRows> model;
    {
      TEnv env(fs, Encrypted);
      Run(env, fs, seed, model);
    }
    SCOPED_TRACE(fs.Restart(restart));
    TEnv env(fs, Encrypted);
    TRows got;
    try {
      got = Read(env);
    } catch (const std::exception& e) {
      FAIL() << "the table does not open: " << e.what();
    }
    EXPECT_TRUE(got == model.Committed || got == model.InFlight)
        << got.size() << " records; committed " << model.Committed.size() << ", in flight " << model.InFlight.size();
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace tesvar::storagetest
