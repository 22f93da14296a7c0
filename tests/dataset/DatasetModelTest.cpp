// Randomized model test: two datasets on one table, the table changed through its table manager
// between their moves; after every step each dataset's current record, Bof, Eof, RecNo and
// RecordCount match a model of the rows sorted by that dataset's current index.
// TESVAR_SEED=<n> repeats a run.

#include "DatasetTestSupport.h"
#include "support/TestSeed.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

using namespace tesvar;
using namespace tesvar::datasettest;

namespace {

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
  // deleted: then the cursor stands where that record's key (LostRow) would be.
  bool Stale = false;
  bool Lost = false;
  ModelRow LostRow;
  // A move from the gap that could not go on left the cursor at the end (1) or the start (-1)
  // of the view, where a refetch starts from; the next move starts from the gap again.
  int32_t LostAt = 0;
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
      FStep.clear();
      if (what < 3) {
        changeTable();
      } else {
        const int32_t d = pick(0, 1);
        SCOPED_TRACE("dataset " + std::to_string(d));
        move(d);
      }
      for (int32_t d = 0; d < 2; ++d) {
        SCOPED_TRACE("check dataset " + std::to_string(d) + " after " + FStep);
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

  // Whether row X (ID A) comes before row Y (ID B) in the order Order.
  static bool before(TOrder Order, int32_t A, const ModelRow& X, int32_t B, const ModelRow& Y) {
    const auto amount = [](const ModelRow& r) { return r.Num / 2.0; };
    switch (Order) {
      case oID: return A < B;
      case oName: return X.Name < Y.Name;
      case oNumName: return X.Num != Y.Num ? X.Num < Y.Num : X.Name < Y.Name;
      case oNumDesc: return X.Num > Y.Num;
      case oAmountName: return amount(X) != amount(Y) ? amount(X) < amount(Y) : X.Name < Y.Name;
    }
    return false;
  }
  // Record IDs in the order Order.
  std::vector<int32_t> sorted(TOrder Order) const {
    std::vector<int32_t> ids;
    for (const auto& [id, row] : FRows) ids.push_back(id);
    std::sort(ids.begin(), ids.end(),
              [&](int32_t a, int32_t b) { return before(Order, a, FRows.at(a), b, FRows.at(b)); });
    return ids;
  }
  // How many rows come before the deleted record of M in the order Order.
  int32_t gapOf(const DatasetModel& M, TOrder Order) const {
    return static_cast<int32_t>(std::count_if(FRows.begin(), FRows.end(), [&](const auto& r) {
      return before(Order, r.first, r.second, M.Current, M.LostRow);
    }));
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
    FStep = "change " + std::to_string(kind);
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
      for (DatasetModel& m : FModel) {
        if (m.Current == id) {
          m.Lost = true;
          m.LostRow = it->second;
        }
      }
      FEnv.Delete(id);
      FRows.erase(it);
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
      m.LostAt = 0;
    };
    // Where the cursor is: on the record at I, or (record gone) before the record at I.
    const int32_t i = m.Lost ? gapOf(m, m.Order) : positionOf(m.Order, m.Current);
    // After the record, the cursor moves to the following (preceding) record with the first
    // step forward (backward); from a gap the first step forward reaches the record at I.
    const int32_t room = m.Lost ? n - i : n - 1 - i;
    const int32_t kind = pick(0, 9);
    FStep = "move " + std::to_string(kind) + (m.Lost ? " from a gap" : "");
    switch (kind) {
      case 0:
      case 1: {
        const bool last = kind == 1;
        if (last)
          ds.Last();
        else
          ds.First();
        landOn(last ? ids.back() : ids.front());
        m.Bof = !last;
        m.Eof = last;
        break;
      }
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
        const int32_t moved = ds.MoveBy(distance);
        if ((distance > 0 && !m.Eof) || (distance < 0 && !m.Bof)) {
          const int32_t expected = distance > 0 ? std::min(distance, room) : std::max(distance, -i);
          EXPECT_EQ(moved, expected);
          m.Bof = distance < 0 && expected > distance;
          m.Eof = distance > 0 && expected < distance;
          if (expected != 0)
            landOn(ids[static_cast<size_t>(i + expected - (m.Lost && expected > 0 ? 1 : 0))]);
          else if (m.Lost)
            m.LostAt = distance > 0 ? 1 : -1;
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
        // Choosing an index goes through index 0 first, refetching there.
        m.Order = oID;
        refetched(m);
        if (choice == 5) {
          ds.SetIndexFieldNames("num");  // the first index Num leads
          m.Order = oNumName;
        } else {
          ds.SetIndexName(kIndexNames[choice]);
          m.Order = static_cast<TOrder>(choice);
        }
        break;
      }
      case 8:
        ds.Refresh();
        refetched(m);
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

  // The window fetched again around the cursor (Refresh, an index change): the record at the
  // cursor, or for a gap the record after it, else the last one; at the start the first one.
  void refetched(DatasetModel& M) {
    if (M.Lost) {
      const std::vector<int32_t> ids = sorted(M.Order);
      const int32_t i = M.LostAt > 0 ? static_cast<int32_t>(ids.size()) : M.LostAt < 0 ? 0 : gapOf(M, M.Order);
      M.Current = i < static_cast<int32_t>(ids.size()) ? ids[static_cast<size_t>(i)] : ids.back();
      M.Lost = false;
      M.LostAt = 0;
    }
    M.Stale = false;
    if (M.Bof && M.Eof) M.Bof = M.Eof = false;
  }

  void check(int32_t D) {
    TEdbDataset& ds = *FDs[D];
    const DatasetModel& m = FModel[D];
    EXPECT_EQ(ds.RecordCount(), static_cast<int32_t>(FRows.size()));
    EXPECT_EQ(ds.CurrentIndexNo(), m.Order == oID ? 0 : FEnv.M().InternalGetIndexNo(kIndexNames[m.Order]));
    ASSERT_EQ(currentId(ds), m.Current);
    EXPECT_EQ(ds.Bof(), m.Bof);
    EXPECT_EQ(ds.Eof(), m.Eof);
    // The record of the window is gone: it has no number.
    EXPECT_EQ(ds.RecNo(), m.Lost ? 0 : positionOf(m.Order, m.Current) + 1);
    if (!m.Stale && !m.Lost) {
      EXPECT_EQ(ds.FieldByName("Name").AsString(), FRows.at(m.Current).Name);
      EXPECT_EQ(ds.FieldByName("Num").AsInteger(), FRows.at(m.Current).Num);
      EXPECT_DOUBLE_EQ(ds.FieldByName("Amount").AsFloat(), FRows.at(m.Current).Num / 2.0);
    }
  }

  std::mt19937_64 FRandom;
  std::string FStep;  // what the step did, for failure messages
  TDatasetEnv FEnv;
  std::map<int32_t, ModelRow> FRows;
  TEdbDataset* FDs[2] = {nullptr, nullptr};
  DatasetModel FModel[2];
};

TEST(DatasetModel, TwoDatasetsFollowChangesMadeElsewhere) {
  for (uint64_t fallback : {1u, 2u, 3u, 4u}) {
    const uint64_t seed = testsupport::seedOr(fallback);
    SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed));
    DatasetModelRun(seed).Run(400);
    if (::testing::Test::HasFailure() || std::getenv("TESVAR_SEED")) return;
  }
}

}  // namespace
