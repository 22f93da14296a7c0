// Randomized model test of index maintenance: a table with several indexes (texts in mixed case
// and Cyrillic, integers, dates, floats; descending and case-insensitive parts; many equal keys
// and NULLs) under random inserts, updates and deletes, against a plain implementation of the
// index arrays: one flat array per index, bisection for insertion positions, the widening search
// for a record, the quicksort for rebuilding. After every step each index must hold exactly the
// flat array's entries (a permutation sorted by its key) and every position returned must be the
// flat array's. An update that leaves an index's key equal leaves its entry in place. Reopening must read back the arrays saved; a stale index file is rebuilt.
// Index blocks are kept small so that the entries spread over many blocks: tiny ones, where
// nearly every probe of a search lies in another block, and larger ones, where a search ends
// inside one block. The runs are made with the collation's rank tables and again with every
// comparison going to the collator.
// TESVAR_SEED=<n> repeats a run.

#include "StorageTestSupport.h"
#include "platform/AnsiCollation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <random>
#include <string>

using namespace tesvar;
using namespace tesvar::storagetest;

namespace {

// The flat index arrays, maintained as the array algorithm does, comparing records through the
// engine's key comparison of record bytes.
class TFlatIndexes {
public:
  explicit TFlatIndexes(std::vector<std::vector<uint8_t>>& Records) : FRecords(Records) {}

  std::vector<std::vector<int32_t>> Arrays;

  void Reset(int32_t IndexCount) { Arrays.assign(static_cast<size_t>(IndexCount), {}); }

  // The first probe is the middle entry; each further probe is the middle of the part left, so
  // the step between probes halves down to 1. An equal key probed is the position (the new
  // entry goes before it); else the position after the last lower entry.
  int32_t InsertPosition(const TEdbIndex& Index, const std::vector<int32_t>& A, const uint8_t* Key) const {
    int32_t low = 0;
    int32_t high = static_cast<int32_t>(A.size()) - 1;
    while (low <= high) {
      const int32_t mid = (low + high) / 2;
      const int32_t r = Index.CompareKeys(Key, Rec(A[static_cast<size_t>(mid)]));
      if (r == 0) return mid;
      if (r < 0)
        high = mid - 1;
      else
        low = mid + 1;
    }
    return low;
  }

  int32_t Find(const TEdbIndex& Index, const std::vector<int32_t>& A, int32_t RecNo) const {
    const auto n = static_cast<int32_t>(A.size());
    const int32_t pos = InsertPosition(Index, A, Rec(RecNo));
    if (pos < n && A[static_cast<size_t>(pos)] == RecNo) return pos;
    for (int32_t d = 1; pos - d >= 0 || pos + d < n; ++d) {
      if (pos - d >= 0 && pos - d < n && A[static_cast<size_t>(pos - d)] == RecNo) return pos - d;
      if (pos + d < n && A[static_cast<size_t>(pos + d)] == RecNo) return pos + d;
    }
    return -1;
  }

  int32_t Insert(const TEdbIndex& Index, std::vector<int32_t>& A, int32_t RecNo) const {
    const int32_t pos = InsertPosition(Index, A, Rec(RecNo));
    A.insert(A.begin() + pos, RecNo);
    return pos;
  }

  // The record's new bytes are NewRecord; FRecords still holds the old ones. An entry whose key
  // the update leaves equal stays where it is.
  int32_t Update(const TEdbIndex& Index, std::vector<int32_t>& A, int32_t RecNo, const uint8_t* NewRecord) const {
    const int32_t from = Find(Index, A, RecNo);
    if (Index.CompareKeys(Rec(RecNo), NewRecord) == 0) return from;
    const int32_t to = InsertPosition(Index, A, NewRecord);
    if (to != from && to != from + 1) {
      const int32_t item = A[static_cast<size_t>(from)];
      A.erase(A.begin() + from);
      A.insert(A.begin() + (to > from ? to - 1 : to), item);
    }
    return to;
  }

  int32_t Delete(const TEdbIndex& Index, std::vector<int32_t>& A, int32_t RecNo) const {
    const auto last = static_cast<int32_t>(A.size()) - 1;
    const int32_t pos = Find(Index, A, RecNo);
    int32_t result = 0;
    if (RecNo != last) {
      result = Find(Index, A, last);
      A[static_cast<size_t>(result)] = RecNo;
    }
    A.erase(A.begin() + pos);
    return result;
  }

  void Build(const TEdbIndex& Index, std::vector<int32_t>& A) const {
    A.resize(FRecords.size());
    std::iota(A.begin(), A.end(), 0);
    if (A.size() > 1) Sort(Index, A, 0, static_cast<int32_t>(A.size()) - 1);
  }

private:
  const uint8_t* Rec(int32_t RecNo) const { return FRecords[static_cast<size_t>(RecNo)].data(); }

  void Sort(const TEdbIndex& Index, std::vector<int32_t>& A, int32_t Low, int32_t High) const {
    int32_t i = Low;
    int32_t j = High;
    const std::vector<uint8_t> pivot = FRecords[static_cast<size_t>(A[static_cast<size_t>((Low + High) / 2)])];
    do {
      while (Index.CompareKeys(Rec(A[static_cast<size_t>(i)]), pivot.data()) < 0) ++i;
      while (Index.CompareKeys(Rec(A[static_cast<size_t>(j)]), pivot.data()) > 0) --j;
      if (i <= j) {
        std::swap(A[static_cast<size_t>(i)], A[static_cast<size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (Low < j) Sort(Index, A, Low, j);
    if (i < High) Sort(Index, A, i, High);
  }

  std::vector<std::vector<uint8_t>>& FRecords;
};

uint64_t seedFor(uint64_t Fallback) {
  if (const char* s = std::getenv("TESVAR_SEED")) return std::strtoull(s, nullptr, 10);
  return Fallback;
}

// Windows-1251 texts: Latin and Cyrillic in three cases each, Ё/ё, blanks, an empty text.
const std::vector<std::optional<std::string>> kNames = {
    std::nullopt, "",           "abc",        "ABC",         "Abc",     "abd",       "\xE0\xE1\xE2",
    "\xC0\xC1\xC2", "\xC0\xE1\xE2", "\xB8\xE6", "\xA8\xC6",    "x y",     "X Y",       "zz",
    "\xFF",       "\xDF",       "abc ",
    // Longer than the heads the key cache keeps beside the record number (18 bytes).
    "abcdefghijklmnopqrXY", "abcdefghijklmnopqrxy", "ABCDEFGHIJKLMNOPQRxy", "abcdefghijklmnopqr",
    "abcdefghijklmnopqrXYZ0123456789"};

TFieldDefs modelFields() {
  return {{"Name", ftString, 31}, {"Num", ftInteger}, {"Day", ftDate}, {"Amount", ftFloat}};
}

TIndexDefs modelIndexes() {
  return {{"NumDown", "Num", "Num", "", {}},
          {"NameCiNum", "Name;Num", "Num", "Name", {}},
          {"AllDown", "Day; Name ;Amount", "", "", ixDescending},
          {"CiAll", "Name,Day", "", "", ixCaseInsensitive},
          {"NumId", "Num;id", "id", "", {}}};
}

// Collator: every text comparison by the collator, none by the rank tables.
struct TModelRun {
  bool Collator;
  int32_t BlockCapacity;
};

class IndexModel : public ::testing::TestWithParam<TModelRun> {
protected:
  platform::TAnsiCollation FCollation{"ru_RU", !GetParam().Collator};
  platform::ScopedEngineCollation FCollationScope{FCollation};
  ScopedIndexBlockCapacity FSmallBlocks{GetParam().BlockCapacity};
  TTableEnv Env{{pfs::fsmDirectory, false}};
  std::vector<std::vector<uint8_t>> Records;
  TFlatIndexes Flat{Records};
  std::mt19937_64 Rng;

  std::vector<uint8_t> RandomRecord() {
    TEdbDataManager& m = Env.M();
    std::vector<uint8_t> r = m.NewRecordBuffer();
    uint8_t* nulls = r.data() + m.DataSize() + 4;
    auto set = [&](int32_t field, const void* value, size_t size) {
      std::memcpy(r.data() + m.FieldOffset(field), value, size);
      nulls[field / 8] &= static_cast<uint8_t>(~(1u << (field % 8)));
    };
    const auto& name = kNames[Rng() % kNames.size()];
    if (name) set(0, name->data(), name->size());
    if (Rng() % 8 != 0) {
      const auto num = static_cast<int32_t>(Rng() % 6) - 1;
      set(1, &num, 4);
    }
    if (Rng() % 6 != 0) {
      const auto day = static_cast<int32_t>(730000 + Rng() % 4);
      set(2, &day, 4);
    }
    if (Rng() % 5 != 0) {
      const double amounts[] = {-1.5, 0.0, 0.5, 2.0};
      set(3, &amounts[Rng() % 4], 8);
    }
    return r;
  }

  void RebuildFlat() {
    Flat.Reset(Env.M().IndexCount());
    for (int32_t i = 0; i < Env.M().IndexCount(); ++i) Flat.Build(Env.M().Index(i), Flat.Arrays[static_cast<size_t>(i)]);
  }

  // CheckOrder: also that the entries are sorted by key.
  void ExpectIndexesMatch(bool CheckOrder) {
    TEdbDataManager& m = Env.M();
    ASSERT_EQ(m.IndexCount(), static_cast<int32_t>(Flat.Arrays.size()));
    for (int32_t i = 0; i < m.IndexCount(); ++i) {
      const TEdbIndex& index = m.Index(i);
      SCOPED_TRACE(index.Header().Name);
      ASSERT_TRUE(index.Built());
      const std::vector<int32_t>& expected = Flat.Arrays[static_cast<size_t>(i)];
      std::vector<int32_t> entries(static_cast<size_t>(index.Count()));
      index.CopyTo(entries.data());
      ASSERT_EQ(entries, expected);
      std::vector<bool> seen(Records.size(), false);
      for (int32_t r : entries) {
        ASSERT_TRUE(r >= 0 && r < static_cast<int32_t>(seen.size()) && !seen[static_cast<size_t>(r)]) << r;
        seen[static_cast<size_t>(r)] = true;
      }
      ASSERT_EQ(entries.size(), Records.size()) << "a permutation of the records";
      for (size_t k = 1; CheckOrder && k < entries.size(); ++k)
        ASSERT_LE(index.CompareKeys(Records[static_cast<size_t>(entries[k - 1])].data(),
                                    Records[static_cast<size_t>(entries[k])].data()),
                  0)
            << "position " << k;
      // The key cache compares as the records do.
      for (int32_t probe = 0; probe < 5 && !entries.empty(); ++probe) {
        const auto a = static_cast<int32_t>(Rng() % entries.size());
        const auto b = static_cast<int32_t>(Rng() % entries.size());
        ASSERT_EQ(m.Index(i).CompareSlots(a, b),
                  index.CompareKeys(Records[static_cast<size_t>(a)].data(), Records[static_cast<size_t>(b)].data()))
            << "records " << a << " and " << b;
      }
      for (int32_t probe = 0; probe < 3 && !entries.empty(); ++probe) {
        const auto pos = static_cast<int32_t>(Rng() % entries.size());
        ASSERT_EQ(m.FindRecordInIndex(i, entries[static_cast<size_t>(pos)], m.RecordCount()), pos);
      }
    }
  }
};

TEST_P(IndexModel, IndexesMatchFlatArraysThroughChangesAndReopens) {
  ASSERT_EQ(FCollation.Fast(), !GetParam().Collator);
  const uint64_t seed = seedFor(1301);
  SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed));
  Rng.seed(seed);
  // Every change more than the burst interval after the one before: all indexes are maintained.
  Env.FClock.SetAutoAdvance(TEdbDataManager::kBurstIntervalMs + 500);
  Env.Create(modelFields(), modelIndexes(), true);
  Env.Open();
  RebuildFlat();
  ASSERT_EQ(Env.M().IndexCount(), 11);
  int reopens = 0;
  int rebuilds = 0;
  int bigEqualRuns = 0;
  for (int step = 0; step < 1500; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    TEdbDataManager& m = Env.M();
    const auto count = static_cast<int32_t>(Records.size());
    const int32_t current = static_cast<int32_t>(Rng() % (m.IndexCount() + 1)) - 1;
    const auto op = Rng() % 100;
    // Growing and shrinking phases; at most a few hundred records.
    const bool growing = (step / 300) % 2 == 0;
    if (count == 0 || op < (growing ? 55u : 30u)) {
      std::vector<uint8_t> r = RandomRecord();
      const int32_t got = m.edInsertRecord(r.data(), current);
      Records.push_back(r);
      int32_t expected = 0;
      for (int32_t i = 0; i < m.IndexCount(); ++i) {
        const int32_t pos = Flat.Insert(m.Index(i), Flat.Arrays[static_cast<size_t>(i)], count);
        if (i == current) expected = pos;
      }
      ASSERT_EQ(got, expected) << "insert position in index " << current;
    } else if (op < 80) {
      const auto recNo = static_cast<int32_t>(Rng() % count);
      std::vector<uint8_t> r = RandomRecord();
      if (Rng() % 2 == 0) {
        // One field takes a new value; the indexes without it keep their keys.
        std::vector<uint8_t> mixed = Records[static_cast<size_t>(recNo)];
        const auto fields = static_cast<int32_t>(modelFields().size());
        const auto field = static_cast<int32_t>(Rng() % static_cast<uint64_t>(fields));
        const int32_t from = m.FieldOffset(field);
        const int32_t to = field + 1 < fields ? m.FieldOffset(field + 1) : m.DataSize();
        std::memcpy(mixed.data() + from, r.data() + from, static_cast<size_t>(to - from));
        const auto flags = static_cast<size_t>(m.DataSize() + 4 + field / 8);
        const auto bit = static_cast<uint8_t>(1u << (field % 8));
        mixed[flags] = static_cast<uint8_t>((mixed[flags] & ~bit) | (r[flags] & bit));
        r = std::move(mixed);
      }
      std::memcpy(r.data() + m.DataSize(), Records[static_cast<size_t>(recNo)].data() + m.DataSize(), 4);
      int32_t expected = 0;
      for (int32_t i = 0; i < m.IndexCount(); ++i) {
        const int32_t pos = Flat.Update(m.Index(i), Flat.Arrays[static_cast<size_t>(i)], recNo, r.data());
        if (i == current) expected = pos;
      }
      ASSERT_EQ(m.edUpdateRecord(r.data(), current, recNo), expected) << "update position in index " << current;
      Records[static_cast<size_t>(recNo)] = r;
    } else if (op < 97) {
      const auto recNo = static_cast<int32_t>(Rng() % count);
      int32_t expected = 0;
      for (int32_t i = 0; i < m.IndexCount(); ++i) {
        const int32_t pos = Flat.Delete(m.Index(i), Flat.Arrays[static_cast<size_t>(i)], recNo);
        if (i == current) expected = pos;
      }
      ASSERT_EQ(m.edDeleteRecord(current, recNo), expected) << "delete position in index " << current;
      Records[static_cast<size_t>(recNo)] = Records.back();
      Records.pop_back();
    } else if (op < 99) {
      ++reopens;
      Env.Close();
      Env.FDataset.Building.clear();
      Env.Open();
      EXPECT_TRUE(Env.FDataset.Building.empty()) << "a current index file is read, not rebuilt";
    } else {
      // A stale index file: every index is sorted again from the records.
      ++rebuilds;
      Env.Close();
      std::vector<uint8_t> idx = Env.HostFile(".idx");
      PutInt32(idx.data() + kIHChangeCount, GetInt32(idx.data() + kIHChangeCount) + 1000);
      Env.FMem.WriteAll("db/T.idx", idx);
      Env.FDataset.Building.clear();
      Env.Open();
      EXPECT_EQ(Env.FDataset.Building.front(), "started");
      EXPECT_EQ(Env.FDataset.Building.back(), "finished");
      RebuildFlat();
    }
    ASSERT_NO_FATAL_FAILURE(ExpectIndexesMatch(step % 5 == 0));
    // How often the equal-key rule had work to do: a run of 20 equal keys in "@Num".
    const std::vector<int32_t>& nums = Flat.Arrays[3];
    if (nums.size() > 40 && Env.M().Index(3).CompareKeys(Records[static_cast<size_t>(nums[10])].data(),
                                                         Records[static_cast<size_t>(nums[30])].data()) == 0)
      ++bigEqualRuns;
  }
  EXPECT_GT(reopens, 10);
  EXPECT_GT(rebuilds, 3);
  EXPECT_GT(bigEqualRuns, 100) << "the run must keep many equal keys";
  EXPECT_EQ(Env.M().Index(3).Header().Name, "@Num");
}

INSTANTIATE_TEST_SUITE_P(CollationsAndBlocks, IndexModel,
                         ::testing::Values(TModelRun{false, 4}, TModelRun{true, 4}, TModelRun{false, 64}),
                         [](const auto& info) {
                           return std::string(info.param.Collator ? "Collator" : "RankTables") + "Blocks" +
                                  std::to_string(info.param.BlockCapacity);
                         });

}  // namespace
