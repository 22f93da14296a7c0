#include "container/TCFSJournal.h"
#include "container/TCFSTransaction.h"
#include "platform/CrashFileSystem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace tesvar::container {
namespace {

constexpr int32_t kPage = 256;
const std::string kPath = "c.edb";

// The logical space kept in one file of the file system in force.
class FileHost : public TCFSTransaction::IHost {
public:
  FileHost() {
    platform::FileOpenOptions o;
    o.access = platform::FileAccess::ReadWrite;
    o.creation = platform::FileCreation::OpenExisting;
    FFile = platform::FileSystem().Open(kPath, o);
  }
  bool Ok() const { return static_cast<bool>(FFile); }
  int64_t RawRead(int64_t Position, void* Buffer, int64_t Count) override {
    if (FFile->Seek(Position, platform::SeekOrigin::Begin) != Position) return -1;
    return FFile->Read(Buffer, Count);
  }
  int64_t RawWrite(int64_t Position, const void* Buffer, int64_t Count) override {
    if (FFile->Seek(Position, platform::SeekOrigin::Begin) != Position) return -1;
    return FFile->Write(Buffer, Count);
  }
  bool RawSetSize(int64_t Size) override { return FFile->SetSize(Size); }
  int64_t RawSize() const override { return FFile->Size(); }
  bool RawFlush() override { return FFile->Flush(); }
  int64_t MaxPartSize() const override { return 2147483647; }
  int64_t StartOffset() const override { return 0; }

private:
  std::unique_ptr<platform::IFile> FFile;
};

std::vector<uint8_t> content(platform::CrashFileSystem& fs) { return fs.Live().ReadAll(kPath); }

std::vector<uint8_t> randomBytes(std::mt19937_64& rng, size_t n) {
  std::vector<uint8_t> b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// One scripted run over a transaction, mirrored in a model of the bytes. Stops at the first
// failure (a crash makes every later change fail).
struct ScriptRun {
  std::vector<uint8_t> model;
  std::vector<uint8_t> committed;  // the model at the last commit that returned true
  std::vector<uint8_t> inFlight;   // the model a commit in progress would make durable
  bool crashedInCommit = false;
};

void runScript(uint64_t seed, platform::CrashFileSystem& fs, ScriptRun& run) {
  std::mt19937_64 rng(seed);
  FileHost host;
  ASSERT_TRUE(host.Ok());
  TCFSTransaction tx(host, TCFSJournal::PathFor(kPath), "", kPage);
  run.model = content(fs);
  run.committed = run.model;
  for (int step = 0; step < 40 && !fs.Crashed(); ++step) {
    const unsigned what = static_cast<unsigned>(rng() % 10);
    const int64_t size = static_cast<int64_t>(run.model.size());
    if (what < 6) {
      const int64_t length = (rng() % 3 == 0) ? 1 + int64_t(rng() % (5 * kPage)) : 1 + int64_t(rng() % 64);
      const int64_t at = int64_t(rng() % uint64_t(size + kPage));
      const std::vector<uint8_t> data = randomBytes(rng, size_t(length));
      if (at > size) continue;  // the host writes no gaps here; the container never asks for one
      if (tx.Write(at, data.data(), length) != length) return;
      if (run.model.size() < size_t(at + length)) run.model.resize(size_t(at + length));
      std::memcpy(run.model.data() + at, data.data(), data.size());
    } else if (what < 8) {
      const int64_t newSize = std::max<int64_t>(kPage, size + int64_t(rng() % (6 * kPage)) - 3 * kPage);
      if (!tx.SetSize(newSize)) return;
      run.model.resize(size_t(newSize));
    } else {
      run.inFlight = run.model;
      if (!tx.Commit()) {
        run.crashedInCommit = fs.Crashed();
        return;
      }
      run.committed = run.model;
    }
    std::vector<uint8_t> seen(run.model.size());
    ASSERT_EQ(tx.Read(0, seen.data(), int64_t(seen.size())), int64_t(seen.size()));
    ASSERT_EQ(seen, run.model) << "reads see every change, step " << step;
  }
}

class TransactionCrash : public ::testing::TestWithParam<int64_t> {};

TEST_P(TransactionCrash, EveryCrashLeavesTheLastCommitOrTheOneInFlight) {
  TCFSTransaction::ScopedSpillLimit spill(GetParam());
  for (uint64_t script = 1; script <= 6; ++script) {
    // How many changes the whole script makes.
    uint64_t steps;
    {
      platform::CrashFileSystem fs;
      platform::ScopedFileSystem guard(fs);
      std::mt19937_64 init(script * 7919);
      fs.Put(kPath, randomBytes(init, 12 * kPage));
      ScriptRun run;
      runScript(script, fs, run);
      if (HasFatalFailure()) return;
      steps = fs.Steps();
    }
    for (uint64_t k = 1; k <= steps; ++k) {
      const uint64_t seed = script * 100003 + k;
      SCOPED_TRACE("script " + std::to_string(script) + ", crash after step " + std::to_string(k) +
                   ", restart seed " + std::to_string(seed));
      platform::CrashFileSystem fs;
      platform::ScopedFileSystem guard(fs);
      std::mt19937_64 init(script * 7919);
      fs.Put(kPath, randomBytes(init, 12 * kPage));
      fs.CrashAfter(k);
      ScriptRun run;
      runScript(script, fs, run);
      if (HasFatalFailure()) return;
      const std::string kept = fs.Restart(seed);
      SCOPED_TRACE(kept);
      FileHost host;
      ASSERT_TRUE(host.Ok());
      std::string message;
      const auto outcome = TCFSTransaction::Recover(host, TCFSJournal::PathFor(kPath), "", false, message);
      ASSERT_NE(outcome, TCFSTransaction::trRefused) << message;
      const std::vector<uint8_t> got = content(fs);
      if (run.crashedInCommit)
        EXPECT_TRUE(got == run.committed || got == run.inFlight) << "size " << got.size();
      else
        EXPECT_EQ(got, run.committed);
      EXPECT_FALSE(fs.FileExists(TCFSJournal::PathFor(kPath)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SpillLimits, TransactionCrash, testing::Values(int64_t{32} << 20, int64_t{4} * kPage),
                         [](const auto& info) { return info.param > 1 << 20 ? "NoSpill" : "Spills"; });

// A crash in the middle of a commit, leaving a journal that needs a rollback.
class TransactionRecovery : public ::testing::Test {
protected:
  void SetUp() override {
    std::mt19937_64 init(3);
    FCommitted = randomBytes(init, 8 * kPage);
    FFs.Put(kPath, FCommitted);
    FileHost host;
    TCFSTransaction tx(host, TCFSJournal::PathFor(kPath), "", kPage);
    const std::vector<uint8_t> data(3 * kPage, 0xEE);
    ASSERT_EQ(tx.Write(kPage, data.data(), int64_t(data.size())), int64_t(data.size()));
    ASSERT_EQ(tx.Write(0, data.data(), 10), 10);
    // Die after the journal is durable (create, write, flush, folder sync) and the held pages
    // were written to the host, before the host's flush.
    FFs.CrashAfter(5);
    EXPECT_FALSE(tx.Commit());
  }
  void restart() {
    FFs.Restart(11);
    FAfterCrash = content(FFs);
    ASSERT_TRUE(FFs.FileExists(TCFSJournal::PathFor(kPath)));
  }
  TCFSTransaction::TRecovery recover(bool ReadOnly, std::string& Message) {
    FileHost host;
    return TCFSTransaction::Recover(host, TCFSJournal::PathFor(kPath), "", ReadOnly, Message);
  }

  platform::CrashFileSystem FFs;
  platform::ScopedFileSystem FGuard{FFs};
  std::vector<uint8_t> FCommitted;
  std::vector<uint8_t> FAfterCrash;
};

TEST_F(TransactionRecovery, ReadOnlyRefusesAndChangesNothingThenAWriterRollsBack) {
  restart();
  std::string message;
  EXPECT_EQ(recover(true, message), TCFSTransaction::trRefused);
  EXPECT_NE(message.find("open it for writing"), std::string::npos) << message;
  EXPECT_EQ(content(FFs), FAfterCrash);
  EXPECT_TRUE(FFs.FileExists(TCFSJournal::PathFor(kPath)));
  EXPECT_EQ(recover(false, message), TCFSTransaction::trRolledBack) << message;
  EXPECT_EQ(content(FFs), FCommitted);
  EXPECT_FALSE(FFs.FileExists(TCFSJournal::PathFor(kPath)));
  EXPECT_EQ(recover(false, message), TCFSTransaction::trNothing);
}

TEST_F(TransactionRecovery, AJournalOfAnotherContainerIsRefusedInBothModes) {
  restart();
  // Another container's header in place of this one's: the journal does not describe it.
  std::vector<uint8_t> other = FAfterCrash;
  for (int i = 0; i < 256; ++i) other[size_t(i)] ^= 0x5A;
  FFs.Put(kPath, other);
  for (bool readOnly : {true, false}) {
    std::string message;
    EXPECT_EQ(recover(readOnly, message), TCFSTransaction::trRefused);
    EXPECT_NE(message.find("does not belong to this container"), std::string::npos) << message;
    EXPECT_EQ(content(FFs), other);
    EXPECT_TRUE(FFs.FileExists(TCFSJournal::PathFor(kPath)));
  }
}

TEST_F(TransactionRecovery, AnUnfinishedJournalIsDroppedByAWriterOnly) {
  FFs.Restart(11);
  FFs.Put(TCFSJournal::PathFor(kPath), std::vector<uint8_t>(100, 0));  // a header cut short
  const std::vector<uint8_t> before = content(FFs);
  std::string message;
  EXPECT_EQ(recover(true, message), TCFSTransaction::trNothing);
  EXPECT_TRUE(FFs.FileExists(TCFSJournal::PathFor(kPath)));
  EXPECT_EQ(recover(false, message), TCFSTransaction::trNothing);
  EXPECT_FALSE(FFs.FileExists(TCFSJournal::PathFor(kPath)));
  EXPECT_EQ(content(FFs), before);
}

}  // namespace
}  // namespace tesvar::container
