// Navigation and the window of record buffers.

#include "DataSetTestSupport.h"

#include "toolkit/Errors.h"

#include <random>

using namespace tesvar::toolkit;
using namespace tesvar::toolkit::test;

namespace {

// The window holds consecutive rows of the table, the active buffer is the row the dataset
// reports as current, and nothing beyond the buffer count is in use.
void expectWindowConsistent(VectorDataSet& ds, const VectorTable& t) {
  ASSERT_LE(ds.BufferedRecordCount(), ds.BufferCount());
  if (t.Rows.empty()) {
    EXPECT_EQ(ds.BufferedRecordCount(), 0);
    return;
  }
  ASSERT_GT(ds.BufferedRecordCount(), 0);
  ASSERT_GE(ds.ActiveRecord(), 0);
  ASSERT_LT(ds.ActiveRecord(), ds.BufferedRecordCount());
  size_t First = 0;
  while (First < t.Rows.size() && t.Rows[First].Id != ds.IdInBuffer(0)) ++First;
  ASSERT_LT(First, t.Rows.size()) << "buffer 0 holds no row of the table";
  for (int32_t i = 0; i < ds.BufferedRecordCount(); ++i) {
    ASSERT_LT(First + static_cast<size_t>(i), t.Rows.size());
    EXPECT_EQ(ds.IdInBuffer(i), t.Rows[First + static_cast<size_t>(i)].Id) << "buffer " << i;
  }
  // The window is as full as the table allows.
  EXPECT_EQ(ds.BufferedRecordCount(), std::min<int32_t>(ds.BufferCount(), static_cast<int32_t>(t.Rows.size())));
  EXPECT_EQ(ds.RecNo(), static_cast<int32_t>(First) + ds.ActiveRecord() + 1);
}

int32_t currentN(VectorDataSet& ds) { return ds.FieldByName("N").AsInteger(); }

}  // namespace

TEST(DataSetNavigation, EmptySetIsAtBothEnds) {
  VectorTable t = numberedTable(0);
  VectorDataSet ds(t);
  ds.Open();
  EXPECT_TRUE(ds.Active());
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_TRUE(ds.Bof());
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_EQ(ds.MoveBy(1), 0);
  EXPECT_EQ(ds.MoveBy(-1), 0);
  ds.Last();
  EXPECT_TRUE(ds.Bof() && ds.Eof());
  ds.First();
  EXPECT_TRUE(ds.Bof() && ds.Eof());
  EXPECT_TRUE(ds.FieldByName("N").IsNull());
  EXPECT_TRUE(ds.Bookmark().empty());
  try {
    ds.Delete();
    FAIL() << "Delete on an empty dataset";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on an empty dataset");
  }
  // Edit on an empty dataset starts an insert.
  ds.Edit();
  EXPECT_EQ(ds.State(), dsInsert);
  ds.Cancel();
  EXPECT_TRUE(ds.Bof() && ds.Eof());
}

TEST(DataSetNavigation, BofAndEofAreSetOnlyByAMoveThatCannotGoOn) {
  VectorTable t = numberedTable(3);
  VectorDataSet ds(t);
  ds.Open();
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(currentN(ds), 10);
  ds.Next();
  EXPECT_FALSE(ds.Bof());
  ds.Next();
  EXPECT_EQ(currentN(ds), 30);
  EXPECT_FALSE(ds.Eof()) << "on the last record, but no move failed yet";
  ds.Next();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(currentN(ds), 30) << "a failed move stays on the last record";
  ds.Prior();
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(currentN(ds), 20);
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_FALSE(ds.Bof());
  EXPECT_EQ(currentN(ds), 30);
  ds.First();
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(currentN(ds), 10);
  EXPECT_EQ(ds.MoveBy(100), 2);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.MoveBy(-100), -2);
  EXPECT_TRUE(ds.Bof());
}

TEST(DataSetNavigation, WalksEveryRowForwardAndBackThroughAWindow) {
  for (int32_t Buffers : {1, 2, 3, 7, 12}) {
    Grid g(10, Buffers);
    VectorTable& t = g.table;
    VectorDataSet& ds = g.ds;
    RecordingLink& grid = g.link;
    ds.Open();
    ASSERT_EQ(ds.BufferCount(), Buffers);
    std::vector<int32_t> Forward, Backward;
    for (; !ds.Eof(); ds.Next()) {
      Forward.push_back(currentN(ds));
      expectWindowConsistent(ds, t);
      EXPECT_GE(grid.ActiveRecord(), 0);
      EXPECT_LT(grid.ActiveRecord(), Buffers);
    }
    for (ds.Last(); !ds.Bof(); ds.Prior()) {
      Backward.push_back(currentN(ds));
      expectWindowConsistent(ds, t);
    }
    EXPECT_EQ(Forward, (std::vector<int32_t>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100})) << Buffers;
    std::reverse(Backward.begin(), Backward.end());
    EXPECT_EQ(Backward, Forward) << Buffers;
  }
}

TEST(DataSetNavigation, RandomMovesKeepTheWindowConsistent) {
  const unsigned Seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(Seed));
  std::mt19937 rng(Seed);
  Grid g(40, 5);
  VectorTable& t = g.table;
  VectorDataSet& ds = g.ds;
  RecordingLink& grid = g.link;
  ds.Open();
  int32_t Model = 0;  // row position of the current record
  for (int step = 0; step < 400; ++step) {
    switch (rng() % 6) {
      case 0: {
        const int32_t d = static_cast<int32_t>(rng() % 15) - 7;
        const int32_t Target = std::clamp(Model + d, 0, 39);
        EXPECT_EQ(ds.MoveBy(d), d == 0 ? 0 : Target - Model);
        Model = Target;
        break;
      }
      case 1: ds.First(), Model = 0; break;
      case 2: ds.Last(), Model = 39; break;
      case 3: {
        const int32_t n = static_cast<int32_t>(rng() % 40) + 1;
        ds.SetRecNo(n);
        Model = n - 1;
        break;
      }
      case 4: grid.SetBufferCount(static_cast<int32_t>(rng() % 8) + 1); break;
      case 5: {
        const TBookmark b = ds.Bookmark();
        ds.MoveBy(static_cast<int32_t>(rng() % 20) - 10);
        ds.GotoBookmark(b);
        break;
      }
    }
    ASSERT_EQ(currentN(ds), (Model + 1) * 10) << "step " << step;
    expectWindowConsistent(ds, t);
    ASSERT_FALSE(HasFailure()) << "step " << step;
  }
}

TEST(DataSetNavigation, RefreshResynchronisesTheWindowAfterTheRowsChanged) {
  Grid g(10, 4);
  VectorTable& t = g.table;
  VectorDataSet& ds = g.ds;
  ds.Open();
  ds.MoveBy(5);  // row 6 (N = 60), window rows 3..6
  const int32_t CurrentId = t.Rows[5].Id;
  // Rows before and after the current one go, a new one comes before it.
  t.Rows.erase(t.Rows.begin() + 4);
  t.Rows.erase(t.Rows.begin() + 6);
  t.AddRow(0);
  t.Rows.front().Values[0] = nativeInt(5);
  ds.Refresh();
  EXPECT_EQ(ds.IdInBuffer(ds.ActiveRecord()), CurrentId);
  EXPECT_EQ(currentN(ds), 60);
  expectWindowConsistent(ds, t);
  EXPECT_EQ(ds.ActiveRecord(), 3) << "the record keeps its place in the window";

  // Every row gone: the dataset is empty and at both ends.
  t.Rows.clear();
  ds.Refresh();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Bof() && ds.Eof());
}

TEST(DataSetNavigation, RefreshAfterTheCurrentRowWentShowsItsNeighbour) {
  VectorTable t = numberedTable(5);
  VectorDataSet ds(t);
  ds.Open();
  ds.MoveBy(2);  // N = 30
  t.Rows.erase(t.Rows.begin() + 2);
  ds.Refresh();
  EXPECT_EQ(currentN(ds), 40) << "the record that followed";
  ds.Last();
  t.Rows.pop_back();
  ds.Refresh();
  EXPECT_EQ(currentN(ds), 40) << "no record follows the last: the one before it";
  expectWindowConsistent(ds, t);
}

TEST(DataSetNavigation, BookmarksReturnToTheirRecord) {
  VectorTable t = numberedTable(8);
  VectorDataSet ds(t);
  ds.Open();
  ds.MoveBy(5);
  const TBookmark b = ds.Bookmark();
  ASSERT_EQ(b.size(), 4u);
  EXPECT_TRUE(ds.BookmarkValid(b));
  ds.First();
  EXPECT_LT(ds.CompareBookmarks(ds.Bookmark(), b), 0);
  t.AddRow(0);  // the bookmark names the record, not the position
  ds.GotoBookmark(b);
  EXPECT_EQ(currentN(ds), 60);
  EXPECT_FALSE(ds.Bof() || ds.Eof());
  // A bookmark of a record that is gone.
  t.Rows.erase(t.Rows.begin() + (ds.RecNo() - 1));
  EXPECT_FALSE(ds.BookmarkValid(b));
  // The record source's own error for a missing record reaches the caller; the window stays.
  try {
    ds.GotoBookmark(b);
    FAIL() << "bookmark of a deleted record";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "no current record");
  }
  EXPECT_EQ(ds.BufferedRecordCount(), 1);
}

TEST(DataSetNavigation, ClosedDatasetRefusesNavigation) {
  VectorTable t = numberedTable(2);
  VectorDataSet ds(t);
  ds.SetName("Catalog");
  for (auto verb : {&TDataSet::First, &TDataSet::Last, &TDataSet::Next, &TDataSet::Edit, &TDataSet::Insert,
                    &TDataSet::Delete}) {
    try {
      (ds.*verb)();
      FAIL() << "a verb on a closed dataset";
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), "Catalog: Cannot perform this operation on a closed dataset");
    }
  }
  ds.Open();
  ds.Close();
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.FieldCount(), 0) << "default fields go at close";
}

TEST(DataSetNavigation, FilteredFetchesSkipRecordsTheFilterHandlerRejects) {
  VectorTable t = numberedTable(6);
  VectorDataSet ds(t);
  std::vector<int32_t> Offered;
  ds.OnFilterRecord = [&](TDataSet& d, bool& Accept) {
    EXPECT_EQ(d.State(), dsFilter);
    const int32_t n = d.FieldByName("N").AsInteger();  // the record offered, not the current one
    Offered.push_back(n);
    Accept = n % 20 == 0;
  };
  ds.Open();
  EXPECT_EQ(currentN(ds), 10) << "without Filtered the handler is not asked";
  EXPECT_TRUE(Offered.empty());
  ds.SetFiltered(true);
  ds.First();
  std::vector<int32_t> Seen;
  for (; !ds.Eof(); ds.Next()) Seen.push_back(currentN(ds));
  EXPECT_EQ(Seen, (std::vector<int32_t>{20, 40, 60}));
  EXPECT_EQ(ds.State(), dsBrowse);
  ds.Last();
  ds.Prior();
  EXPECT_EQ(currentN(ds), 40);
  ds.OnFilterRecord = [](TDataSet&, bool&) { throw EDatabaseError("filter failed"); };
  EXPECT_THROW(ds.Next(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsBrowse) << "the temporary state ends with the handler";
}
