// Randomized model test: two datasets on one table, the table changed through its table manager
// between their moves; after every step each dataset's current record, Bof, Eof, RecNo and
// RecordCount match a model of the rows sorted by that dataset's current index.
// TESVAR_SEED=<n> repeats a run.

#include "DatasetTestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

using namespace tesvar;
using namespace tesvar::datasettest;

namespace {

uint64_t seedFor(uint64_t Fallback) {
  if (const char* s = std::getenv("TESVAR_SEED")) return std::strtoull(s, nullptr, 10);
  return Fallback;
}

struct ModelRow {
  std::string Name;  // unique, lower-case Latin letters (their collation is their byte order)
  int32_t Num = 0;   // unique
};

// The order of each index of the test table (testIndexes()); names and numbers are unique, so
// every order is total.
enum TOrder { oID, oName, oNumName, oNumDesc, oAmountName };
const char* const kIndexNames[] = {"", "ByName", "ByNumName", "ByNumDesc", "ByAmountName"};

// What one dataset should show.
struct DatasetModel {
  TOrder Order = oID;
  int32_t Current = 0;  // record ID, 0 none
  bool Bof = true, Eof = true;
  // The window's record was changed elsewhere since it was fetched (its values are stale) or
  // deleted (the next move must be one to an exact place).
  bool Stale = false;
  bool Lost = false;
};

class DatasetModelRun {
public:
  explicit DatasetModelRun(uint64_t Seed) : FRandom(Seed) {}

  void Run(int32_t Steps) {
    for (int32_t i = 0; i < 20; ++i) insertRow();
    for (int32_t d = 0; d < 2; ++d) {
      TEdbDataset& ds = FEnv.NewDataset();
      FDs[d] = &ds;
      ds.Open();
      FModel[d].Current = sorted(oID).front();
      FModel[d].Bof = true;
      FModel[d].Eof = false;
    }
    for (int32_t step = 0; step < Steps; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      const int32_t what = pick(0, 9);
      if (what < 3) {
        changeTable();
      } else {
        const int32_t d = pick(0, 1);
        SCOPED_TRACE("dataset " + std::to_string(d));
        move(d);
      }
      for (int32_t d = 0; d < 2; ++d) {
        SCOPED_TRACE("check dataset " + std::to_string(d));
        check(d);
        if (::testing::Test::HasFailure()) return;
      }
    }
  }

private:
  int32_t pick(int32_t Low, int32_t High) { return std::uniform_int_distribution<int32_t>(Low, High)(FRandom); }

  std::string uniqueName() {
    for (;;) {
      std::string name;
      const int32_t length = pick(1, 6);
      for (int32_t i = 0; i < length; ++i) name += static_cast<char>('a' + pick(0, 5));
      if (std::none_of(FRows.begin(), FRows.end(), [&](const auto& r) { return r.second.Name == name; })) return name;
    }
  }
  int32_t uniqueNum() {
    for (;;) {
      const int32_t num = pick(-500, 500);
      if (std::none_of(FRows.begin(), FRows.end(), [&](const auto& r) { return r.second.Num == num; })) return num;
    }
  }

  // Record IDs in the order Order.
  std::vector<int32_t> sorted(TOrder Order) const {
    std::vector<int32_t> ids;
    for (const auto& [id, row] : FRows) ids.push_back(id);
    const auto amount = [](const ModelRow& r) { return r.Num / 2.0; };
    std::sort(ids.begin(), ids.end(), [&](int32_t a, int32_t b) {
      const ModelRow& x = FRows.at(a);
      const ModelRow& y = FRows.at(b);
      switch (Order) {
        case oID: return a < b;
        case oName: return x.Name < y.Name;
        case oNumName: return x.Num < y.Num;
        case oNumDesc: return x.Num > y.Num;
        case oAmountName: return amount(x) != amount(y) ? amount(x) < amount(y) : x.Name < y.Name;
      }
      return false;
    });
    return ids;
  }
  int32_t positionOf(TOrder Order, int32_t Id) const {
    const std::vector<int32_t> ids = sorted(Order);
    return static_cast<int32_t>(std::find(ids.begin(), ids.end(), Id) - ids.begin());
  }

  void insertRow() {
    const ModelRow row{uniqueName(), uniqueNum()};
    const int32_t id = FEnv.Add(row.Name, row.Num);
    FRows[id] = row;
  }

  void changeTable() {
    const int32_t kind = pick(0, 2);
    if (kind == 0 || FRows.size() < 4) {
      insertRow();
      return;
    }
    auto it = FRows.begin();
    std::advance(it, pick(0, static_cast<int32_t>(FRows.size()) - 1));
    const int32_t id = it->first;
    if (kind == 1) {
      const ModelRow row{uniqueName(), uniqueNum()};
      FEnv.Update(id, row.Name, row.Num);
      it->second = row;
      for (DatasetModel& m : FModel)
        if (m.Current == id) m.Stale = true;
    } else {
      FEnv.Delete(id);
      FRows.erase(it);
      for (DatasetModel& m : FModel)
        if (m.Current == id) m.Lost = true;
    }
  }

  void move(int32_t D) {
    TEdbDataset& ds = *FDs[D];
    DatasetModel& m = FModel[D];
    const std::vector<int32_t> ids = sorted(m.Order);
    const auto n = static_cast<int32_t>(ids.size());
    const auto landOn = [&](int32_t Id) {
      m.Current = Id;
      m.Stale = m.Lost = false;
    };
    // A dataset whose record went moves to an exact place first.
    const int32_t kind = m.Lost ? pick(0, 2) : pick(0, 9);
    switch (kind) {
      case 0:
        ds.First();
        landOn(ids.front());
        m.Bof = true;
        m.Eof = false;
        break;
      case 1:
        ds.Last();
        landOn(ids.back());
        m.Bof = false;
        m.Eof = true;
        break;
      case 2: {
        const int32_t recNo = pick(1, n);
        const bool same = !m.Lost && positionOf(m.Order, m.Current) + 1 == recNo;
        ds.SetRecNo(recNo);
        if (!same) {
          landOn(ids[static_cast<size_t>(recNo - 1)]);
          m.Bof = m.Eof = false;
        }
        break;
      }
      case 3:
      case 4:
      case 5: {
        const int32_t distance = kind == 3 ? 1 : kind == 4 ? -1 : pick(-6, 6);
        const int32_t i = positionOf(m.Order, m.Current);
        const int32_t moved = ds.MoveBy(distance);
        if ((distance > 0 && !m.Eof) || (distance < 0 && !m.Bof)) {
          const int32_t expected = distance > 0 ? std::min(distance, n - 1 - i) : std::max(distance, -i);
          EXPECT_EQ(moved, expected);
          m.Bof = distance < 0 && expected > distance;
          m.Eof = distance > 0 && expected < distance;
          if (expected != 0) landOn(ids[static_cast<size_t>(i + expected)]);
        } else {
          EXPECT_EQ(moved, 0);
        }
        break;
      }
      case 6: {
        // A bookmark of some record, live or gone.
        const int32_t id = pick(1, FEnv.M().TableHeader().LastAutoInc);
        TBookmark b(8, 0);
        PutInt32(b.data(), id);
        if (FRows.count(id)) {
          ds.GotoBookmark(b);
          landOn(id);
          m.Bof = m.Eof = false;
          EXPECT_TRUE(ds.BookmarkValid(b));
        } else {
          EXPECT_FALSE(ds.BookmarkValid(b));
        }
        break;
      }
      case 7: {
        const int32_t choice = pick(0, 5);
        if (choice == 5) {
          ds.SetIndexFieldNames("num");  // the first index Num leads
          m.Order = oNumName;
        } else {
          ds.SetIndexName(kIndexNames[choice]);
          m.Order = static_cast<TOrder>(choice);
        }
        m.Stale = false;
        if (m.Bof && m.Eof) m.Bof = m.Eof = false;
        break;
      }
      case 8:
        ds.Refresh();
        m.Stale = false;
        if (m.Bof && m.Eof) m.Bof = m.Eof = false;
        break;
      default: {
        // Two bookmarks compare as their records' positions.
        const std::vector<int32_t> order = sorted(m.Order);
        const int32_t a = order[static_cast<size_t>(pick(0, n - 1))];
        const int32_t b = order[static_cast<size_t>(pick(0, n - 1))];
        TBookmark ba(8, 0), bb(8, 0);
        PutInt32(ba.data(), a);
        PutInt32(bb.data(), b);
        const int32_t pa = positionOf(m.Order, a), pb = positionOf(m.Order, b);
        EXPECT_EQ(ds.CompareBookmarks(ba, bb), pa < pb ? -1 : pa > pb ? 1 : 0);
        break;
      }
    }
  }

  void check(int32_t D) {
    TEdbDataset& ds = *FDs[D];
    const DatasetModel& m = FModel[D];
    EXPECT_EQ(ds.RecordCount(), static_cast<int32_t>(FRows.size()));
    EXPECT_EQ(ds.CurrentIndexNo(), m.Order == oID ? 0 : FEnv.M().InternalGetIndexNo(kIndexNames[m.Order]));
    if (m.Lost) return;
    ASSERT_EQ(currentId(ds), m.Current);
    EXPECT_EQ(ds.Bof(), m.Bof);
    EXPECT_EQ(ds.Eof(), m.Eof);
    EXPECT_EQ(ds.RecNo(), positionOf(m.Order, m.Current) + 1);
    if (!m.Stale) {
      EXPECT_EQ(ds.FieldByName("Name").AsString(), FRows.at(m.Current).Name);
      EXPECT_EQ(ds.FieldByName("Num").AsInteger(), FRows.at(m.Current).Num);
      EXPECT_DOUBLE_EQ(ds.FieldByName("Amount").AsFloat(), FRows.at(m.Current).Num / 2.0);
    }
  }

  std::mt19937_64 FRandom;
  TDatasetEnv FEnv;
  std::map<int32_t, ModelRow> FRows;
  TEdbDataset* FDs[2] = {nullptr, nullptr};
  DatasetModel FModel[2];
};

TEST(DatasetModel, TwoDatasetsFollowChangesMadeElsewhere) {
  for (uint64_t fallback : {1u, 2u, 3u, 4u}) {
    const uint64_t seed = seedFor(fallback);
    SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed));
    DatasetModelRun(seed).Run(400);
    if (::testing::Test::HasFailure() || std::getenv("TESVAR_SEED")) return;
  }
}

}  // namespace
