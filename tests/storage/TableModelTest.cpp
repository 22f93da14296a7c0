// Randomized model test: inserts, updates and deletes against an in-memory model of the records,
// closing and reopening at random points, in every store mode. TESVAR_SEED=<n> repeats a run.

#include "StorageTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

using namespace tesvar;
using namespace tesvar::storagetest;

namespace {

struct ModelRecord {
  int32_t Id;
  std::string Name;
  int32_t Num;
};

uint64_t seedFor(const TStoreCase& c) {
  if (const char* s = std::getenv("TESVAR_SEED")) return std::strtoull(s, nullptr, 10);
  return 20260 + static_cast<uint64_t>(c.Mode) * 2 + (c.Encrypted ? 1 : 0);
}

class TableModel : public ::testing::TestWithParam<TStoreCase> {};

TEST_P(TableModel, MatchesTheModelThroughChangesAndReopens) {
  const uint64_t seed = seedFor(GetParam());
  SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  TTableEnv env(GetParam());
  env.FDataset.PerPage = 7;  // 50 slots of 7 records: pages are replaced all the time
  env.Create();
  env.Open();
  std::vector<ModelRecord> model;
  int32_t lastId = 0;
  int reopens = 0;
  auto check = [&](int32_t recNo) {
    ASSERT_EQ(env.IdOf(recNo), model[static_cast<size_t>(recNo)].Id) << "record " << recNo;
    ASSERT_EQ(env.NameOf(recNo), model[static_cast<size_t>(recNo)].Name) << "record " << recNo;
    ASSERT_EQ(env.NumOf(recNo), model[static_cast<size_t>(recNo)].Num) << "record " << recNo;
  };
  auto checkAll = [&] {
    ASSERT_EQ(env.M().RecordCount(), static_cast<int32_t>(model.size()));
    for (int32_t i = 0; i < static_cast<int32_t>(model.size()); ++i) ASSERT_NO_FATAL_FAILURE(check(i));
    TEdbIndex& ids = env.M().Index(0);
    env.M().BuildIndex(0);
    ASSERT_EQ(ids.Count(), static_cast<int32_t>(model.size()));
    for (int32_t i = 1; i < ids.Count(); ++i) ASSERT_LT(env.IdOf(ids.At(i - 1)), env.IdOf(ids.At(i)));
  };
  for (int step = 0; step < 4000; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const auto op = rng() % 100;
    const auto count = static_cast<int32_t>(model.size());
    if (op < 55 || count == 0) {
      const std::string name = "n" + std::to_string(rng() % 100000);
      const auto num = static_cast<int32_t>(rng() % 1000000);
      ASSERT_EQ(env.Insert(name, num), ++lastId);
      model.push_back({lastId, name, num});
    } else if (op < 75) {
      const auto recNo = static_cast<int32_t>(rng() % static_cast<uint64_t>(count));
      ModelRecord& m = model[static_cast<size_t>(recNo)];
      m.Name = "u" + std::to_string(rng() % 100000);
      m.Num = static_cast<int32_t>(rng() % 1000000);
      std::vector<uint8_t> r = env.Record(m.Name, m.Num);
      PutInt32(r.data() + env.M().DataSize(), m.Id);
      env.M().edUpdateRecord(r.data(), 0, recNo);
    } else if (op < 97) {
      const auto recNo = static_cast<int32_t>(rng() % static_cast<uint64_t>(count));
      env.M().edDeleteRecord(0, recNo);
      model[static_cast<size_t>(recNo)] = model.back();
      model.pop_back();
    } else if (op < 99) {
      env.M().FlushBuffers();
    } else if (reopens < 12) {
      ++reopens;
      env.Close();
      env.Open();
      ASSERT_NO_FATAL_FAILURE(checkAll());
    }
    if (!model.empty()) {
      ASSERT_NO_FATAL_FAILURE(check(static_cast<int32_t>(rng() % model.size())));
    }
  }
  ASSERT_NO_FATAL_FAILURE(checkAll());
  env.Close();
  env.Open();
  ASSERT_NO_FATAL_FAILURE(checkAll());
  EXPECT_EQ(env.M().TableHeader().LastAutoInc, lastId);
}

INSTANTIATE_TEST_SUITE_P(AllStores, TableModel, ::testing::ValuesIn(allStoreCases()),
                         [](const auto& info) { return caseName(info.param); });

}  // namespace
