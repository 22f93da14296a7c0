// Filters on a dataset (Filter, Filtered, FilterOptions, OnFilterRecord, IsRecordVisible), the
// filtered view behind them, and the FindFirst family.

#include "DatasetTestSupport.h"

#include <algorithm>
#include <functional>
#include <random>

using namespace tesvar;
using namespace tesvar::datasettest;

namespace {

std::string currentName(TEdbDataset& Ds) { return Ds.FieldByName("Name").AsString(); }

using Names = std::vector<std::string>;

class DatasetFilter : public ::testing::Test {
protected:
  void SetUp() override {
    addFiveRecords(env);
  }
  // An open dataset in name order.
  TEdbDataset& ByName() {
    TEdbDataset& ds = env.NewDataset();
    ds.SetIndexName("ByName");
    ds.Open();
    return ds;
  }
  TDatasetEnv env;
};

TEST_F(DatasetFilter, FilteredViewNavigatesCountsAndNumbersOnlyTheVisibleRecords) {
  TEdbDataset& ds = ByName();
  ds.SetRecNo(5);  // echo
  ds.SetFilter("Num >= 20");
  EXPECT_EQ(ds.RecordCount(), 5);  // not filtered yet: the text is only stored
  ds.SetFiltered(true);
  EXPECT_TRUE(ds.FilterActive());
  EXPECT_EQ(currentName(ds), "alpha");  // setting the filter moves to the first record
  EXPECT_EQ(ds.RecordCount(), 4);
  EXPECT_EQ(allNames(ds), (Names{"alpha", "charlie", "delta", "echo"}));
  ds.Last();
  EXPECT_EQ(currentName(ds), "echo");
  EXPECT_EQ(ds.RecNo(), 4);
  ds.Prior();
  EXPECT_EQ(currentName(ds), "delta");
  EXPECT_EQ(ds.RecNo(), 3);
  ds.SetRecNo(2);
  EXPECT_EQ(currentName(ds), "charlie");
  ds.SetRecNo(5);  // beyond the view: nothing
  EXPECT_EQ(currentName(ds), "charlie");

  // Another order keeps the filter.
  ds.SetIndexName("ByNumDesc");
  EXPECT_EQ(ds.RecordCount(), 4);
  EXPECT_EQ(allNames(ds).front(), "echo");

  // A filter that keeps nothing, then none.
  ds.SetFilter("Num > 100");
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_TRUE(ds.Eof() && ds.Bof());
  ds.SetFiltered(false);
  EXPECT_EQ(ds.RecordCount(), 5);
  // A blank filter filters nothing.
  ds.SetFilter("   ");
  ds.SetFiltered(true);
  EXPECT_FALSE(ds.FilterActive());
  EXPECT_EQ(ds.RecordCount(), 5);
}

TEST_F(DatasetFilter, FilterSetBeforeOpenActsOnOpen) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.SetFilter("(Num = 20) or (Name = 'echo')");
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(allNames(ds), (Names{"alpha", "charlie", "echo"}));
  ds.Close();
  ds.SetFilter("Num <");
  EXPECT_EQ(messageOf([&] { ds.Open(); }), "Number expected, but \"\"  found");
  EXPECT_FALSE(ds.Active());
}

TEST_F(DatasetFilter, FilterOptionsDecidePartialAndCaseInsensitiveComparisons) {
  env.Add("Alp", 1);
  struct TCase {
    const char* Filter;
    TFilterOptions Options;
    Names Expected;
  };
  const TCase cases[] = {
      {"Name = 'al'", {}, {"alpha"}},  // leading characters only
      {"Name = 'al'", {foNoPartialCompare}, {}},
      {"Name = 'alpha'", {foNoPartialCompare}, {"alpha"}},
      {"Name = 'AL'", {foCaseInsensitive}, {"Alp", "alpha"}},
      {"Name = 'AL'", {foCaseInsensitive, foNoPartialCompare}, {}},
      {"Name = 'al*'", {}, {"alpha"}},
      {"Name like '%A%'", {foCaseInsensitive}, {"Alp", "alpha", "bravo", "charlie", "delta"}},
      {"(Num = 20 or Num = 1) and not (Name like 'c%')", {}, {"Alp", "alpha"}},
  };
  TEdbDataset& ds = ByName();
  ds.SetFiltered(true);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Filter);
    ds.SetFilter(c.Filter);
    ds.SetFilterOptions(c.Options);
    Names got = allNames(ds);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, c.Expected);
    EXPECT_EQ(ds.RecordCount(), static_cast<int32_t>(c.Expected.size()));
  }
}

TEST_F(DatasetFilter, MalformedFilterLeavesThePreviousFilterViewAndCursor) {
  TEdbDataset& ds = ByName();
  ds.SetFilter("Num >= 20");
  ds.SetFiltered(true);
  ds.SetRecNo(3);  // delta
  struct TCase {
    const char* Filter;
    const char* Message;
  };
  const TCase cases[] = {
      {"Num >", "Number expected, but \"\"  found"},
      {"(Num = 1", "Closing bracket \")\" expected, but \"\" found"},
      {"Nope = 1", "Error in TEdbDataManager.InternalGetFieldNo - field \"Nope\" not found!"},
      {"Num = 1 xy", "End of line expected, but \" xy\" found"},
      {"Name = 'abc", "Unterminated string abc'abc"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Filter);
    EXPECT_EQ(messageOf([&] { ds.SetFilter(c.Filter); }), c.Message);
    EXPECT_EQ(ds.Filter(), "Num >= 20");
    EXPECT_TRUE(ds.Filtered());
    EXPECT_EQ(ds.RecordCount(), 4);
    EXPECT_EQ(currentName(ds), "delta");
    EXPECT_EQ(ds.RecNo(), 3);
  }
  // The view still follows the former filter when the table changes.
  env.Add("foxtrot", 5);
  env.Add("golf", 60);
  ds.Refresh();
  EXPECT_EQ(ds.RecordCount(), 5);

  // Switching a malformed filter on leaves the dataset unfiltered.
  ds.SetFiltered(false);
  ds.SetFilter("Num = = 1");  // not filtered: only stored
  EXPECT_EQ(ds.Filter(), "Num = = 1");
  ds.SetRecNo(4);
  const std::string here = currentName(ds);
  EXPECT_EQ(messageOf([&] { ds.SetFiltered(true); }), "Number expected, but \"= 1\"  found");
  EXPECT_FALSE(ds.Filtered());
  EXPECT_EQ(ds.RecordCount(), 7);
  EXPECT_EQ(currentName(ds), here);
  // A filter that compiles applies after the failures.
  ds.SetFilter("Num >= 20");
  ds.SetFiltered(true);
  ds.SetFilter("Name = 'x' and Num > 1");
  EXPECT_EQ(ds.RecordCount(), 0);
}

TEST_F(DatasetFilter, BookmarksToHiddenRecordsAreInvalid) {
  TEdbDataset& ds = ByName();
  ds.SetRecNo(2);
  const TBookmark bravo = ds.Bookmark();  // Num 10
  ds.SetRecNo(4);
  const TBookmark delta = ds.Bookmark();
  ds.SetRecNo(1);
  const TBookmark alpha = ds.Bookmark();
  ds.SetFilter("Num >= 20");
  ds.SetFiltered(true);
  EXPECT_FALSE(ds.BookmarkValid(bravo));
  EXPECT_TRUE(ds.BookmarkValid(delta));
  EXPECT_EQ(ds.CompareBookmarks(alpha, delta), -1);
  EXPECT_EQ(ds.CompareBookmarks(delta, alpha), 1);
  ds.GotoBookmark(delta);
  EXPECT_EQ(currentName(ds), "delta");
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(messageOf([&] { ds.GotoBookmark(bravo); }), "TEdbDataSet.GetRecord - No records");
  ds.SetFiltered(false);
  EXPECT_TRUE(ds.BookmarkValid(bravo));
}

TEST_F(DatasetFilter, ChangesThroughTheTableManagerAreFilteredAtTheNextAccess) {
  TEdbDataset& ds = ByName();
  ds.SetFilter("Num >= 20");
  ds.SetFiltered(true);
  ds.SetRecNo(3);  // delta
  env.Add("foxtrot", 60);  // visible
  env.Add("aaron", 1);     // hidden
  EXPECT_EQ(ds.RecordCount(), 5);
  env.Update(5, "bravo", 30);  // becomes visible
  env.Update(2, "alpha", 5);   // becomes hidden
  EXPECT_EQ(ds.RecordCount(), 5);
  ds.Refresh();
  EXPECT_EQ(currentName(ds), "delta");  // the cursor stays on its record
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(allNames(ds), (Names{"bravo", "charlie", "delta", "echo", "foxtrot"}));
  env.Delete(4);  // charlie
  EXPECT_EQ(allNames(ds), (Names{"bravo", "delta", "echo", "foxtrot"}));
  // The record under the cursor leaves the view: the cursor stands where it was.
  ds.SetRecNo(2);  // delta
  env.Update(1, "delta", 0);
  ds.Refresh();
  EXPECT_EQ(currentName(ds), "echo");
}

TEST_F(DatasetFilter, OnFilterRecordCombinesWithTheFilterExpression) {
  TEdbDataset& ds = ByName();
  std::vector<std::string> asked;
  int32_t askedAt = -2;  // the cursor's view position while the handler runs
  ds.OnFilterRecord = [&](TDataSet& Ds, bool& Accept) {
    const std::string name = Ds.FieldByName("Name").AsString();
    asked.push_back(name);
    askedAt = static_cast<TEdbDataset&>(Ds).CurrentPos();
    Accept = name != "charlie";
  };
  // Not filtered: the handler is not asked.
  EXPECT_EQ(allNames(ds).size(), 5u);
  EXPECT_TRUE(asked.empty());
  ds.SetFilter("Num >= 20");
  ds.SetFiltered(true);
  EXPECT_EQ(allNames(ds), (Names{"alpha", "delta", "echo"}));
  // The handler is no part of the view: RecordCount counts what the expression keeps.
  EXPECT_EQ(ds.RecordCount(), 4);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "bravo"), 0);  // the expression ruled it out

  // IsRecordVisible: the expression, and the handler when asked.
  ds.First();
  ds.Next();  // charlie is skipped
  ASSERT_EQ(currentName(ds), "delta");
  const int32_t here = ds.CurrentPos();
  const auto record = [&](int32_t Id) { return env.M().GetRecord(env.RecNoOf(Id)); };
  EXPECT_TRUE(ds.IsRecordVisible(record(4), false));   // charlie: the expression keeps it
  EXPECT_FALSE(ds.IsRecordVisible(record(4), true));   // the handler rejects it
  EXPECT_EQ(askedAt, 1);  // charlie's place in the view
  EXPECT_FALSE(ds.IsRecordVisible(record(5), false));  // bravo: Num 10
  EXPECT_TRUE(ds.IsRecordVisible(record(3), true));
  // The cursor is back where it was.
  EXPECT_EQ(ds.CurrentPos(), here);
  EXPECT_EQ(currentName(ds), "delta");
  ds.Next();
  EXPECT_EQ(currentName(ds), "echo");
  // Without Filtered neither the expression nor the handler applies.
  ds.SetFiltered(false);
  EXPECT_TRUE(ds.IsRecordVisible(record(4), true));
  EXPECT_TRUE(ds.IsRecordVisible(record(5), true));
}

TEST_F(DatasetFilter, FilteredViewHoldsTheMarkedRecordsInIndexOrderAndPatchesInPlace) {
  const uint32_t seed = 20261211;
  SCOPED_TRACE(seed);
  std::mt19937 random(seed);
  // Names n0 .. n299: their order by name is not the physical one.
  for (int32_t i = 0; i < 300; ++i) env.Add("n" + std::to_string(i), i);
  const TEdbIndex& index = env.M().Index(env.M().InternalGetIndexNo("ByName"));
  // Most records marked (a walk over the index), and few (their positions sorted).
  const std::function<bool(int32_t)> patterns[] = {[](int32_t R) { return R % 3 != 0; },
                                                   [](int32_t R) { return R % 97 == 5; }};
  for (const auto& marked : patterns) {
    TBitsArray visible(env.M().RecordCount());
    for (int32_t r = 0; r < visible.Count(); ++r) visible.SetItems(r, marked(r));
    const ScopedIndexBlockCapacity small(4);  // many blocks
    TEdbFilteredView view(index, visible);
    std::vector<int32_t> model;
    for (int32_t p = 0; p < index.Count(); ++p)
      if (visible.Items(index.At(p))) model.push_back(index.At(p));
    std::vector<int32_t> copy(static_cast<size_t>(view.Count()));
    view.CopyTo(copy.data());
    ASSERT_EQ(copy, model);
    // The unmarked numbers, put in at random places; shown ones removed at random.
    std::vector<int32_t> hidden;
    for (int32_t r = 0; r < visible.Count(); ++r)
      if (!visible.Items(r)) hidden.push_back(r);
    for (int32_t step = 0; step < 400; ++step) {
      if (!hidden.empty() && (model.empty() || random() % 2 == 0)) {
        const auto position = static_cast<int32_t>(random() % (model.size() + 1));
        view.Insert(position, hidden.back());
        model.insert(model.begin() + position, hidden.back());
        hidden.pop_back();
      } else {
        const auto position = static_cast<int32_t>(random() % model.size());
        hidden.push_back(model[static_cast<size_t>(position)]);
        view.Remove(position);
        model.erase(model.begin() + position);
      }
      ASSERT_EQ(view.Count(), static_cast<int32_t>(model.size()));
    }
    for (size_t p = 0; p < model.size(); ++p) {
      EXPECT_EQ(view.At(static_cast<int32_t>(p)), model[p]);
      EXPECT_EQ(view.PositionOf(model[p]), static_cast<int32_t>(p));
    }
    for (const int32_t r : hidden) EXPECT_EQ(view.PositionOf(r), -1);
  }
}

// ---- The FindFirst family ----------------------------------------------------------------------

TEST_F(DatasetFilter, FindFamilyWalksTheMatchesInViewOrder) {
  TEdbDataset& ds = ByName();
  ds.SetFilter("Num = 20");  // not filtered: the view shows every record
  int32_t afterScroll = 0;
  ds.AfterScroll = [&](TDataSet&) { ++afterScroll; };
  EXPECT_TRUE(ds.FindFirst());
  EXPECT_TRUE(ds.Found());
  EXPECT_EQ(currentName(ds), "alpha");
  EXPECT_EQ(afterScroll, 1);
  EXPECT_TRUE(ds.FindNext());
  EXPECT_EQ(currentName(ds), "charlie");
  EXPECT_FALSE(ds.FindNext());
  EXPECT_FALSE(ds.Found());
  EXPECT_EQ(currentName(ds), "charlie");  // stays
  EXPECT_EQ(afterScroll, 2);
  EXPECT_TRUE(ds.FindPrior());
  EXPECT_EQ(currentName(ds), "alpha");
  EXPECT_FALSE(ds.FindPrior());
  EXPECT_TRUE(ds.FindLast());
  EXPECT_EQ(currentName(ds), "charlie");
  EXPECT_EQ(ds.RecNo(), 3);

  // The find list follows the view's order.
  ds.SetIndexName("ByNumDesc");
  ds.SetFilter("Num >= 40");
  EXPECT_TRUE(ds.FindFirst());
  EXPECT_EQ(currentName(ds), "echo");
  EXPECT_TRUE(ds.FindNext());
  EXPECT_EQ(currentName(ds), "delta");
  // A filtered view: the matches are its records.
  ds.SetIndexName("ByName");
  ds.SetFilter("Num <= 20");
  ds.SetFiltered(true);
  EXPECT_TRUE(ds.FindLast());
  EXPECT_EQ(currentName(ds), "charlie");
  EXPECT_TRUE(ds.FindPrior());
  EXPECT_EQ(currentName(ds), "bravo");
  EXPECT_EQ(ds.RecNo(), 2);
}

TEST_F(DatasetFilter, FindComparesWholeValuesUnlessAskedOtherwise) {
  TEdbDataset& ds = ByName();
  struct TCase {
    const char* Filter;
    TFilterOptions Options;
    const char* First;  // null: nothing found
  };
  const TCase cases[] = {
      {"Name = 'ch'", {}, nullptr},                  // whole values
      {"Name = 'ch*'", {}, "charlie"},               // a final asterisk asks for leading characters
      {"Name = 'ch'", {foNoPartialCompare}, nullptr},
      {"Name = 'CHARLIE'", {foCaseInsensitive}, "charlie"},
      {"Name = 'charlie'", {}, "charlie"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Filter);
    ds.First();
    ds.SetFilter(c.Filter);
    ds.SetFilterOptions(c.Options);
    EXPECT_EQ(ds.FindFirst(), c.First != nullptr);
    EXPECT_EQ(currentName(ds), c.First != nullptr ? c.First : "alpha");
  }
}

TEST_F(DatasetFilter, FindWithoutAFilterTextMovesLikeNavigation) {
  TEdbDataset& ds = ByName();
  EXPECT_TRUE(ds.FindLast());
  EXPECT_EQ(currentName(ds), "echo");
  EXPECT_FALSE(ds.FindNext());  // at the end
  EXPECT_TRUE(ds.FindFirst());
  EXPECT_EQ(currentName(ds), "alpha");
  EXPECT_FALSE(ds.FindPrior());
  EXPECT_TRUE(ds.FindNext());
  EXPECT_EQ(currentName(ds), "bravo");
  EXPECT_TRUE(ds.Found());
}

TEST_F(DatasetFilter, FindFamilyPassesOverRecordsTheHandlerTurnsAway) {
  TEdbDataset& ds = ByName();
  ds.OnFilterRecord = [](TDataSet& Ds, bool& Accept) {
    const std::string name = Ds.FieldByName("Name").AsString();
    Accept = name != "alpha" && name != "delta";
  };
  ds.SetFilter("Num >= 20");
  ds.SetFiltered(true);
  ASSERT_EQ(allNames(ds), (Names{"charlie", "echo"}));
  EXPECT_TRUE(ds.FindFirst());
  EXPECT_EQ(currentName(ds), "charlie");
  EXPECT_TRUE(ds.FindNext());
  EXPECT_EQ(currentName(ds), "echo");
  EXPECT_FALSE(ds.FindNext());
  EXPECT_EQ(currentName(ds), "echo");
  EXPECT_TRUE(ds.FindPrior());
  EXPECT_EQ(currentName(ds), "charlie");
  EXPECT_FALSE(ds.FindPrior());
  EXPECT_TRUE(ds.FindLast());
  EXPECT_EQ(currentName(ds), "echo");
  // Nothing the handler keeps: no record is found.
  ds.OnFilterRecord = [](TDataSet& Ds, bool& Accept) { Accept = Ds.FieldByName("Name").AsString() == "echo"; };
  ds.SetFilter("Num = 20");
  EXPECT_FALSE(ds.FindFirst());
  EXPECT_FALSE(ds.FindLast());
  EXPECT_FALSE(ds.Found());
}

TEST_F(DatasetFilter, FindNextAfterTableChangesContinuesFromTheRightEntry) {
  TEdbDataset& ds = ByName();
  ds.SetFilter("Num >= 20");  // alpha, charlie, delta, echo
  ASSERT_TRUE(ds.FindFirst());
  ASSERT_TRUE(ds.FindNext());
  ASSERT_EQ(currentName(ds), "charlie");
  // A match added before the record found last does not make FindNext find that one again.
  env.Add("aaron", 25);
  EXPECT_TRUE(ds.FindNext());
  EXPECT_EQ(currentName(ds), "delta");
  EXPECT_TRUE(ds.FindPrior());
  EXPECT_EQ(currentName(ds), "charlie");
  // The record found last deleted: the position stays, and FindNext goes on after it.
  ds.Last();
  env.Delete(4);  // charlie; list: aaron, alpha, delta, echo
  EXPECT_TRUE(ds.FindNext());
  EXPECT_EQ(currentName(ds), "echo");
  EXPECT_FALSE(ds.FindNext());
}

}  // namespace
