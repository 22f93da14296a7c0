// Failed host writes while the log is flushed and while a table closes: the caller sees the
// failure, and the table reopens with what the last completed flush wrote.

#include "StorageTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

using namespace tesvar;
using namespace tesvar::storagetest;
using platform::FaultKind;
using tesvar::testsupport::messageOf;

namespace {

const std::string kCloseMessage =
    "TEdbDataManager.CloseTable - Cannot flush changes. Probably the table is opened by other application.";

struct Snapshot {
  std::vector<std::string> Names;
  std::vector<int32_t> Nums;
};

Snapshot snapshot(TTableEnv& env) {
  Snapshot s;
  for (int32_t i = 0; i < env.M().RecordCount(); ++i) {
    s.Names.push_back(env.NameOf(i));
    s.Nums.push_back(env.NumOf(i));
  }
  return s;
}

enum class FailWhere { Flush, Close };

class TableWriteFault : public ::testing::TestWithParam<TStoreCase> {};

// For k = 1, 2, ...: every host write from the k-th on fails while a batch of updates and
// inserts is flushed (explicitly, or by the close). The flush and the close report the failure;
// after the host recovers the table opens with the record count of the last completed flush,
// every record outside the batch as it was, and each updated record either old or new.
TEST_P(TableWriteFault, FailedFlushLeavesTheLastCompletedOne) {
  for (FailWhere where : {FailWhere::Flush, FailWhere::Close}) {
    bool reachedSuccess = false;
    for (uint64_t k = 1; k < 400 && !reachedSuccess; ++k) {
      SCOPED_TRACE((where == FailWhere::Flush ? "flush, write " : "close, write ") + std::to_string(k));
      TTableEnv env(GetParam());
      env.Create();
      env.Open();
      env.FClock.SetAutoAdvance(0);  // no flush by age: the batch stays in the log until asked
      for (int i = 0; i < 120; ++i) env.Insert("base" + std::to_string(i), i);
      env.M().FlushBuffers();
      const Snapshot before = snapshot(env);
      for (int32_t recNo : {3, 50, 119}) {
        std::vector<uint8_t> r = env.Record("new" + std::to_string(recNo), -recNo);
        PutInt32(r.data() + env.M().DataSize(), env.IdOf(recNo));
        env.M().edUpdateRecord(r.data(), 0, recNo);
      }
      for (int i = 0; i < 40; ++i) env.Insert("extra", 1000 + i);
      env.FFaults.FailFrom(FaultKind::Write, k);
      if (where == FailWhere::Flush) {
        bool failed = false;
        try {
          env.M().FlushBuffers();
        } catch (const Exception&) {
          failed = true;
        }
        EXPECT_EQ(failed, env.FFaults.Injected() > 0) << "a failed write is reported, and only then";
      }
      const std::string closed = messageOf([&] { env.Close(); });
      if (env.FFaults.Injected() == 0) {
        reachedSuccess = true;  // k lies past the last write: nothing failed
        EXPECT_EQ(closed, "(no exception)");
        continue;
      }
      EXPECT_EQ(closed, kCloseMessage);
      env.FFaults.Reset();
      env.FClock.SetAutoAdvance(1);
      ASSERT_EQ(env.TryOpen(), otrOk) << env.M().LastOpenError();
      const int32_t count = env.M().RecordCount();
      ASSERT_TRUE(count == 120 || count == 160) << count;
      for (int32_t i = 0; i < 120; ++i) {
        const bool touched = i == 3 || i == 50 || i == 119;
        const std::string name = env.NameOf(i);
        if (!touched || name == before.Names[static_cast<size_t>(i)]) {
          ASSERT_EQ(name, before.Names[static_cast<size_t>(i)]) << i;
          ASSERT_EQ(env.NumOf(i), before.Nums[static_cast<size_t>(i)]) << i;
        } else {
          ASSERT_EQ(name, "new" + std::to_string(i));
          ASSERT_EQ(env.NumOf(i), -i);
        }
      }
      for (int32_t i = 120; i < count; ++i) ASSERT_EQ(env.NumOf(i), 1000 + i - 120);
      // The indexes agree with the records whatever the index file held.
      ASSERT_EQ(env.M().Index(0).Count(), count);
      env.Close();
    }
    EXPECT_TRUE(reachedSuccess);
  }
}

// How a failed host write reaches the table's caller: a directory table sees the log's write
// fail; a single-file table's writes reach the host only when the container commits, whose
// flush then fails.
std::string writeFailurePrefix(const TStoreCase& Case) {
  return Case.Mode == pfs::fsmSingleFile ? "TCFSFile.Flush - Cannot write file"
                                         : "TedBufferLogArray.FlushBuffers - error writing data to table file";
}

// A write that fails once leaves the entries not yet written in the log (directory) or the
// container's commit pending (single file): the next flush writes them and nothing is lost.
TEST_P(TableWriteFault, EntriesOfAFailedFlushAreWrittenByTheNextOne) {
  TTableEnv env(GetParam());
  env.Create();
  env.Open();
  env.FClock.SetAutoAdvance(0);
  for (int i = 0; i < 50; ++i) env.Insert("a" + std::to_string(i), i);
  env.FFaults.FailAt(FaultKind::Write, 1);
  const std::string message = messageOf([&] { env.M().FlushBuffers(); });
  EXPECT_EQ(message.rfind(writeFailurePrefix(GetParam()), 0), 0u) << message;
  if (GetParam().Mode != pfs::fsmSingleFile) {
    EXPECT_GT(env.M().Log()->Count(), 0);
  }
  env.M().FlushBuffers();
  EXPECT_EQ(env.M().Log()->Count(), 0);
  env.Close();
  env.FClock.SetAutoAdvance(1);
  env.Open();
  ASSERT_EQ(env.M().RecordCount(), 50);
  for (int i = 0; i < 50; ++i) ASSERT_EQ(env.NameOf(i), "a" + std::to_string(i));
}

// A flush that the log's limits start from an insert reports its failure to the inserting call.
TEST_P(TableWriteFault, FlushDueAfterAnInsertRaisesFromTheInsert) {
  TTableEnv env(GetParam());
  env.Create();
  env.Open();
  env.FClock.SetAutoAdvance(0);
  env.Insert("first", 1);
  env.FFaults.FailFrom(FaultKind::Write, 1);
  // Past the log's age limit and the commit interval: the insert flushes and commits.
  env.FClock.AdvanceTick(std::max<int64_t>(TedBufferLogArray::kMaxAgeMs, int64_t{env.M().CommitInterval()}) + 1);
  std::vector<uint8_t> r = env.Record("second", 2);
  const std::string message = messageOf([&] { env.M().edInsertRecord(r.data(), 0); });
  EXPECT_EQ(message.rfind(writeFailurePrefix(GetParam()), 0), 0u) << message;
  EXPECT_EQ(env.M().RecordCount(), 2);
  env.FFaults.Reset();
  env.Close();
  env.FClock.SetAutoAdvance(1);
  env.Open();
  EXPECT_EQ(env.M().RecordCount(), 2);
  EXPECT_EQ(env.NameOf(1), "second");
}

INSTANTIATE_TEST_SUITE_P(HostStores, TableWriteFault, ::testing::ValuesIn(hostStoreCases()),
                         [](const auto& info) { return caseName(info.param); });

}  // namespace
