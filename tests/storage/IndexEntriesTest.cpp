// Index entries in counted blocks against a flat array: random inserts, deletes and
// replacements at random positions, with blocks small enough to split and merge all the time.
// TESVAR_SEED=<n> repeats a run.

#include "storage/TedIndexEntries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

using namespace tesvar::storage;

namespace {

uint64_t seedOr(uint64_t Fallback) {
  if (const char* s = std::getenv("TESVAR_SEED")) return std::strtoull(s, nullptr, 10);
  return Fallback;
}

void expectSame(const TedIndexEntries& Entries, const std::vector<int32_t>& Model) {
  ASSERT_EQ(Entries.Count(), static_cast<int32_t>(Model.size()));
  std::vector<int32_t> copy(Model.size());
  Entries.CopyTo(copy.data());
  ASSERT_EQ(copy, Model);
  for (size_t i = 0; i < Model.size(); ++i) {
    ASSERT_EQ(Entries.At(static_cast<int32_t>(i)), Model[i]) << "position " << i;
    ASSERT_EQ(Entries.PositionOf(Model[i]), static_cast<int32_t>(i)) << "record " << Model[i];
  }
  if (!Model.empty()) {
    ASSERT_EQ(Entries.Last(), Model.back());
  }
  // Ranges from every position, short enough to stay cheap but crossing block ends; and a visit
  // that stops halfway through the whole range.
  const auto n = static_cast<int32_t>(Model.size());
  for (int32_t from = 0; from <= n; ++from) {
    const int32_t to = std::min(n, from + 2 + from % 9);
    std::vector<int32_t> seen;
    ASSERT_TRUE(Entries.ForRange(from, to, [&](int32_t RecNo) {
      seen.push_back(RecNo);
      return true;
    }));
    ASSERT_EQ(seen, std::vector<int32_t>(Model.begin() + from, Model.begin() + to)) << "range from " << from;
  }
  // The visit stops after the entry that makes it at least n / 2 (at least one) entries long.
  std::vector<int32_t> half;
  const bool whole = Entries.ForRange(0, n, [&](int32_t RecNo) {
    half.push_back(RecNo);
    return static_cast<int32_t>(half.size()) < n / 2;
  });
  ASSERT_EQ(whole, n == 0) << "count " << n;
  ASSERT_EQ(half, std::vector<int32_t>(Model.begin(), Model.begin() + std::min(n, std::max(n / 2, 1))));
  // Every partition point: Below holds for the entries before position k and for none after.
  std::vector<int32_t> positions(Model.empty() ? 0 : static_cast<size_t>(*std::max_element(Model.begin(), Model.end())) + 1);
  for (size_t i = 0; i < Model.size(); ++i) positions[static_cast<size_t>(Model[i])] = static_cast<int32_t>(i);
  for (int32_t k = 0; k <= static_cast<int32_t>(Model.size()); ++k) {
    ASSERT_EQ(Entries.PartitionPoint([&](int32_t RecNo) { return positions[static_cast<size_t>(RecNo)] < k; }), k)
        << "partition point " << k;
  }
}

TEST(IndexEntries, MatchFlatArrayThroughRandomChanges) {
  const uint64_t seed = seedOr(4711);
  SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int32_t capacity : {4, 7, 32}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    ScopedIndexBlockCapacity small(capacity);
    TedIndexEntries entries;
    ASSERT_EQ(entries.BlockCapacity(), capacity);
    std::vector<int32_t> model;
    std::vector<int32_t> free;  // record numbers not held
    int32_t next = 0;
    size_t mostBlocks = 0;
    for (int step = 0; step < 3000; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      const auto op = rng() % 100;
      const auto count = static_cast<int32_t>(model.size());
      // Phases of growth and of shrinking, so that blocks both split and merge.
      const bool growing = (step / 500) % 2 == 0;
      if (count == 0 || op < (growing ? 60u : 30u)) {
        int32_t recNo;
        if (!free.empty() && rng() % 2 == 0) {
          recNo = free.back();
          free.pop_back();
        } else {
          recNo = next++;
        }
        // Ends often: appending and prepending start new blocks.
        const auto where = rng() % 10;
        const int32_t pos = where == 0 ? 0 : where == 1 ? count : static_cast<int32_t>(rng() % (count + 1));
        entries.Insert(pos, recNo);
        model.insert(model.begin() + pos, recNo);
      } else if (op < 90) {
        const auto pos = static_cast<int32_t>(rng() % count);
        free.push_back(model[static_cast<size_t>(pos)]);
        entries.Delete(pos);
        model.erase(model.begin() + pos);
      } else {
        const auto pos = static_cast<int32_t>(rng() % count);
        const int32_t recNo = next++;
        free.push_back(model[static_cast<size_t>(pos)]);
        entries.Set(pos, recNo);
        model[static_cast<size_t>(pos)] = recNo;
      }
      mostBlocks = std::max(mostBlocks, static_cast<size_t>(entries.BlockCount()));
      if (step % 50 == 0 || model.size() < 20) {
        ASSERT_NO_FATAL_FAILURE(expectSame(entries, model));
      } else {
        const auto pos = static_cast<int32_t>(rng() % model.size());
        ASSERT_EQ(entries.At(pos), model[static_cast<size_t>(pos)]);
        ASSERT_EQ(entries.PositionOf(model[static_cast<size_t>(pos)]), pos);
      }
      for (int32_t gone : {free.empty() ? -1 : free.back(), next, -5}) ASSERT_EQ(entries.PositionOf(gone), -1);
    }
    ASSERT_NO_FATAL_FAILURE(expectSame(entries, model));
    EXPECT_GT(mostBlocks, 5u) << "the run must spread over many blocks";
  }
}

TEST(IndexEntries, EmptiedBlocksGoAndSmallOnesMerge) {
  ScopedIndexBlockCapacity small(8);
  TedIndexEntries entries;
  std::vector<int32_t> model;
  for (int32_t i = 0; i < 64; ++i) {
    entries.Insert(i, i);
    model.push_back(i);
  }
  EXPECT_EQ(entries.BlockCount(), 8) << "appending fills blocks";
  // Keep the first entry of each former block.
  for (int32_t pos = static_cast<int32_t>(model.size()) - 1; pos >= 0; --pos) {
    if (model[static_cast<size_t>(pos)] % 8 == 0) continue;
    entries.Delete(pos);
    model.erase(model.begin() + pos);
  }
  ASSERT_NO_FATAL_FAILURE(expectSame(entries, model));
  EXPECT_LE(entries.BlockCount(), 3);
  while (!model.empty()) {
    entries.Delete(0);
    model.erase(model.begin());
  }
  EXPECT_EQ(entries.BlockCount(), 0);
  entries.Insert(0, 5);
  ASSERT_NO_FATAL_FAILURE(expectSame(entries, {5}));
}

TEST(IndexEntries, AssignedEntriesFindTheirPositionsAndKeepChanging) {
  ScopedIndexBlockCapacity small(8);
  TedIndexEntries entries;
  std::vector<int32_t> model(100);
  std::iota(model.begin(), model.end(), 0);
  std::mt19937 rng(7);
  std::shuffle(model.begin(), model.end(), rng);
  entries.Assign(model.data(), static_cast<int32_t>(model.size()));
  ASSERT_NO_FATAL_FAILURE(expectSame(entries, model));
  entries.Insert(50, 100);
  model.insert(model.begin() + 50, 100);
  entries.Delete(0);
  model.erase(model.begin());
  ASSERT_NO_FATAL_FAILURE(expectSame(entries, model));
  entries.Assign(nullptr, 0);
  EXPECT_EQ(entries.Count(), 0);
  EXPECT_EQ(entries.PositionOf(3), -1);
  entries.Insert(0, 3);
  EXPECT_EQ(entries.PositionOf(3), 0);
}

TEST(IndexEntries, ACursorReadsWhatPositionsHold) {
  ScopedIndexBlockCapacity small(5);
  std::mt19937_64 rng(seedOr(99));
  TedIndexEntries entries;
  std::vector<int32_t> model;
  for (int32_t recNo = 0; recNo < 300; ++recNo) {
    const auto pos = static_cast<int32_t>(rng() % (model.size() + 1));
    entries.Insert(pos, recNo);
    model.insert(model.begin() + pos, recNo);
  }
  // Bisection-like walks: far jumps first, then neighbours in one block.
  for (int walk = 0; walk < 200; ++walk) {
    TedIndexEntries::TCursor cursor;
    int32_t low = 0;
    int32_t high = static_cast<int32_t>(model.size()) - 1;
    while (low <= high) {
      const int32_t mid = low + (high - low) / 2;
      ASSERT_EQ(entries.At(mid, cursor), model[static_cast<size_t>(mid)]) << mid;
      if (rng() % 2 == 0)
        low = mid + 1;
      else
        high = mid - 1;
    }
  }
}

}  // namespace
