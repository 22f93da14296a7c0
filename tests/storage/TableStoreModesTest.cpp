// Tables in every store mode, plain and encrypted: creation, records through insert, update and
// delete, reopening, the pool and the log.

#include "StorageTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

using namespace tesvar;
using namespace tesvar::storagetest;
using tesvar::testsupport::messageOf;

namespace {

class TableStoreModes : public ::testing::TestWithParam<TStoreCase> {
protected:
  TTableEnv Env{GetParam()};
};

TEST_P(TableStoreModes, RecordsSurviveCloseAndReopen) {
  Env.Create();
  EXPECT_TRUE(Env.FileExists(".dat"));
  EXPECT_TRUE(Env.FileExists(".idx"));
  EXPECT_FALSE(Env.FileExists(".bif"));
  EXPECT_FALSE(Env.FileExists(".bdf"));
  TEdbDataManager& m = Env.Open();
  EXPECT_EQ(m.TableHeader().IDFieldName, "id");
  EXPECT_EQ(m.IndexCount(), 1);
  EXPECT_EQ(m.Index(0).Header().Name, "@id");
  for (int i = 0; i < 2500; ++i) EXPECT_EQ(Env.Insert("rec" + std::to_string(i), i), i + 1);
  // Readable from the pool before any flush of the log.
  EXPECT_EQ(Env.NameOf(1234), "rec1234");
  Env.Close();
  Env.Open();
  EXPECT_EQ(Env.M().RecordCount(), 2500);
  EXPECT_EQ(Env.M().TableHeader().LastAutoInc, 2500);
  EXPECT_EQ(Env.M().TableHeader().ChangeCount, 2500);
  EXPECT_EQ(Env.M().Encrypted(), GetParam().Encrypted);
  for (int i = 0; i < 2500; i += 7) {
    ASSERT_EQ(Env.NameOf(i), "rec" + std::to_string(i));
    ASSERT_EQ(Env.NumOf(i), i);
    ASSERT_EQ(Env.IdOf(i), i + 1);
  }
  ASSERT_TRUE(Env.M().Index(0).Built());
  for (int i = 0; i < 2500; ++i) ASSERT_EQ(Env.M().Index(0).At(i), i);
}

TEST_P(TableStoreModes, DeleteMovesTheLastRecordIntoTheHole) {
  Env.Create();
  Env.Open();
  for (int i = 0; i < 30; ++i) Env.Insert("r" + std::to_string(i), i);
  // Deleting record 5 brings record 29 (ID 30) to number 5; the ID index follows.
  const int32_t lastPosition = Env.M().edDeleteRecord(0, 5);
  EXPECT_EQ(lastPosition, 29);
  EXPECT_EQ(Env.M().RecordCount(), 29);
  EXPECT_EQ(Env.NameOf(5), "r29");
  EXPECT_EQ(Env.IdOf(5), 30);
  // Deleting the last record moves nothing.
  EXPECT_EQ(Env.M().edDeleteRecord(0, 28), 0);
  std::vector<uint8_t> r = Env.Record("changed", 77);
  PutInt32(r.data() + Env.M().DataSize(), Env.IdOf(3));
  Env.M().edUpdateRecord(r.data(), 0, 3);
  EXPECT_EQ(Env.NameOf(3), "changed");
  Env.Close();
  Env.Open();
  ASSERT_EQ(Env.M().RecordCount(), 28);
  EXPECT_EQ(Env.NameOf(5), "r29");
  EXPECT_EQ(Env.NameOf(3), "changed");
  EXPECT_EQ(Env.NumOf(3), 77);
  std::vector<int32_t> ids;
  for (int i = 0; i < 28; ++i) ids.push_back(Env.IdOf(Env.M().Index(0).At(i)));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_EQ(ids.back(), 30);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 29), 0) << "ID 29 was deleted";
}

TEST_P(TableStoreModes, ManyRecordsKeepPagesOfManyRecords) {
  Env.Create();
  Env.Open();
  const int n = 50001;
  for (int i = 0; i < n; ++i) Env.Insert("", i);
  Env.Close();
  Env.Open();
  for (int i = 0; i < n; ++i) ASSERT_EQ(Env.NumOf(i), i);
  EXPECT_EQ(Env.M().RecordsArray()->PageSize(), 1000);
  EXPECT_EQ(Env.M().RecordsArray()->SlotCount(), 50);
  EXPECT_LE(Env.M().RecordsArray()->LoadedPages(), 50);
}

// Records read, changed, deleted and added in random order, with the log flushed now and then
// and the table reopened: pages loaded in part (a read out of turn) and whole give what a model
// of the table holds.
TEST_P(TableStoreModes, RecordsInRandomOrderMatchAModelThroughChanges) {
  Env.FDataset.PerPage = 300;
  Env.Create();
  Env.Open();
  struct TRow {
    std::string Name;
    int32_t Num;
  };
  std::vector<TRow> model;
  for (int i = 0; i < 3000; ++i) {
    model.push_back({"m" + std::to_string(i), i});
    Env.Insert(model.back().Name, i);
  }
  Env.Close();
  Env.Open();
  const uint32_t seed = 20261211;
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  auto any = [&] { return static_cast<int32_t>(rng() % model.size()); };
  for (int step = 0; step < 4000; ++step) {
    const uint32_t what = rng() % 100;
    if (what < 60) {
      const int32_t r = any();
      ASSERT_EQ(Env.NameOf(r), model[static_cast<size_t>(r)].Name) << "step " << step << ", record " << r;
      ASSERT_EQ(Env.NumOf(r), model[static_cast<size_t>(r)].Num) << "step " << step << ", record " << r;
    } else if (what < 78) {
      const int32_t r = any();
      model[static_cast<size_t>(r)] = {"u" + std::to_string(step), step};
      std::vector<uint8_t> image = Env.Record(model[static_cast<size_t>(r)].Name, step);
      PutInt32(image.data() + Env.M().DataSize(), Env.IdOf(r));
      Env.M().edUpdateRecord(image.data(), 0, r);
    } else if (what < 88) {
      const int32_t r = any();
      Env.M().edDeleteRecord(0, r);
      model[static_cast<size_t>(r)] = model.back();
      model.pop_back();
    } else if (what < 98) {
      model.push_back({"a" + std::to_string(step), step});
      Env.Insert(model.back().Name, step);
    } else {
      Env.Close();
      Env.Open();
    }
  }
  ASSERT_EQ(Env.M().RecordCount(), static_cast<int32_t>(model.size()));
  for (size_t r = 0; r < model.size(); ++r) ASSERT_EQ(Env.NameOf(static_cast<int32_t>(r)), model[r].Name) << r;
  Env.Close();
  Env.Open();
  std::vector<int32_t> order(model.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), rng);
  for (int32_t r : order) ASSERT_EQ(Env.NumOf(r), model[static_cast<size_t>(r)].Num) << r;
}

class EncryptedStores : public TableStoreModes {};

std::vector<TStoreCase> encryptedStoreCases() {
  std::vector<TStoreCase> cases;
  for (const TStoreCase& c : allStoreCases())
    if (c.Encrypted) cases.push_back(c);
  return cases;
}

TEST_P(EncryptedStores, WrongPasswordIsRefusedAndRightOneOpens) {
  Env.Create();
  Env.Open();
  // An empty encrypted table opens with any non-empty password.
  Env.Close();
  Env.FDataset.Pass = "other";
  ASSERT_EQ(Env.TryOpen(), otrOk);
  Env.Close();
  Env.FDataset.Pass = "secret";
  Env.Open();
  Env.Insert("hidden text", 1);
  Env.Close();
  Env.FDataset.Pass = "other";
  EXPECT_EQ(Env.TryOpen(), otrBadPassword);
  Env.FDataset.Pass = "";
  EXPECT_EQ(Env.TryOpen(), otrBadPassword);
  Env.FDataset.Pass = "secret";
  Env.Open();
  EXPECT_EQ(Env.NameOf(0), "hidden text");
}

INSTANTIATE_TEST_SUITE_P(AllStores, EncryptedStores, ::testing::ValuesIn(encryptedStoreCases()),
                         [](const auto& info) { return caseName(info.param); });
INSTANTIATE_TEST_SUITE_P(AllStores, TableStoreModes, ::testing::ValuesIn(allStoreCases()),
                         [](const auto& info) { return caseName(info.param); });

}  // namespace
