// Index upkeep and the page pool when a record cannot be read. After a table opened again, the
// keys index upkeep compares are read from the table file on first use; a failed read there
// makes the change fail whole. For k = 1, 2, ...: the k-th host read fails during an insert, an
// update or a delete. The call raises exactly when a read failed; the table keeps the records as
// before (or as after, when nothing failed), and every index, sorted again where needed, holds
// each record once in order.

#include "StorageTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tesvar;
using namespace tesvar::storagetest;
using platform::FaultKind;

namespace {

enum class TChange { Insert, Update, Delete };

void expectIndexesAgree(TTableEnv& Env) {
  TEdbDataManager& m = Env.M();
  std::vector<uint8_t> previous(static_cast<size_t>(m.RecordSize()));
  for (int32_t i = 0; i < m.IndexCount(); ++i) {
    m.BuildIndex(i);
    const TEdbIndex& index = m.Index(i);
    ASSERT_EQ(index.Count(), m.RecordCount()) << index.Header().Name;
    std::vector<int32_t> entries(static_cast<size_t>(index.Count()));
    index.CopyTo(entries.data());
    std::vector<int32_t> sorted = entries;
    std::sort(sorted.begin(), sorted.end());
    for (int32_t k = 0; k < index.Count(); ++k) ASSERT_EQ(sorted[static_cast<size_t>(k)], k) << index.Header().Name;
    for (int32_t k = 1; k < index.Count(); ++k) {
      std::memcpy(previous.data(), m.GetRecord(entries[static_cast<size_t>(k - 1)]), previous.size());
      ASSERT_LE(index.CompareKeys(previous.data(), m.GetRecord(entries[static_cast<size_t>(k)])), 0)
          << index.Header().Name << " at " << k;
    }
  }
}

class IndexReadFault : public ::testing::TestWithParam<TChange> {};

TEST_P(IndexReadFault, AFailedReadDuringIndexUpkeepChangesNothing) {
  const TChange change = GetParam();
  constexpr int32_t kRecords = 400;
  bool reachedSuccess = false;
  for (uint64_t k = 1; k < 300 && !reachedSuccess; ++k) {
    SCOPED_TRACE("read " + std::to_string(k));
    TTableEnv env({pfs::fsmDirectory, false});
    env.FDataset.PerPage = 7;  // 50 pages of 7 records: most records are read from the file
    env.Create(testFields(), {}, true);
    env.Open();
    for (int32_t i = 0; i < kRecords; ++i) env.Insert("n" + std::to_string((i * 37) % 101), (i * 53) % 97);
    env.Close();
    env.Open();
    std::vector<uint8_t> r = env.Record("changed", 5000);
    const int32_t target = 123;
    if (change == TChange::Update) PutInt32(r.data() + env.M().DataSize(), env.IdOf(target));
    const std::string before = env.NameOf(target);
    env.FFaults.FailAt(FaultKind::Read, k);
    const std::string message = testsupport::messageOf([&] {
      switch (change) {
        case TChange::Insert: env.M().edInsertRecord(r.data(), 2); break;
        case TChange::Update: env.M().edUpdateRecord(r.data(), 2, target); break;
        case TChange::Delete: env.M().edDeleteRecord(2, target); break;
      }
    });
    const bool failed = env.FFaults.Injected() > 0;
    env.FFaults.Reset();
    EXPECT_EQ(message != "(no exception)", failed) << message;
    reachedSuccess = !failed;
    const bool changed = !failed;
    ASSERT_EQ(env.M().RecordCount(), kRecords + (changed && change == TChange::Insert ? 1 : 0) -
                                         (changed && change == TChange::Delete ? 1 : 0));
    if (change == TChange::Update) {
      ASSERT_EQ(env.NameOf(target), changed ? "changed" : before);
    }
    ASSERT_NO_FATAL_FAILURE(expectIndexesAgree(env));
    // The table goes on: another insert, then the file read back.
    env.Insert("after", 1);
    env.Close();
    env.Open();
    ASSERT_NO_FATAL_FAILURE(expectIndexesAgree(env));
    env.Close();
  }
  EXPECT_TRUE(reachedSuccess);
}

INSTANTIATE_TEST_SUITE_P(Changes, IndexReadFault, ::testing::Values(TChange::Insert, TChange::Update, TChange::Delete),
                         [](const auto& info) {
                           return info.param == TChange::Insert   ? "Insert"
                                  : info.param == TChange::Update ? "Update"
                                                                  : "Delete";
                         });

}  // namespace

namespace {

// The first access after opening loads the table's last page; when that read fails, the page
// is not left standing for records it does not hold.
TEST(PoolReadFault, AFailedLoadOfTheLastPageLeavesNoEmptyPageBehind) {
  TTableEnv env({pfs::fsmDirectory, false});
  env.FDataset.PerPage = 7;
  env.Create();
  env.Open();
  for (int32_t i = 0; i < 60; ++i) env.Insert("r" + std::to_string(i), i);
  env.Close();
  env.Open();
  env.FFaults.FailAt(FaultKind::Read, 1);
  EXPECT_NE(testsupport::messageOf([&] { env.M().GetRecord(0); }), "(no exception)");
  env.FFaults.Reset();
  for (int32_t i = 0; i < 60; ++i) ASSERT_EQ(env.NameOf(i), "r" + std::to_string(i));
  env.Insert("r60", 60);
  for (int32_t i = 55; i < 61; ++i) ASSERT_EQ(env.NameOf(i), "r" + std::to_string(i));
}

}  // namespace
