// Finding records by field values (Locate, Lookup), key search on the current index (FindKey,
// GotoKey, FindInView, FindInIndex) and the distinct reduction of the view, on a table with the
// automatic per-field indexes (conditions answered through them) and on one without (records
// tested).

#include "DatasetTestSupport.h"
#include "FilterTestSupport.h"

#include "platform/AnsiCollation.h"
#include "platform/CodePage.h"
#include "toolkit/Errors.h"

#include <algorithm>
#include <map>
#include <iostream>
#include <optional>
#include <random>

using namespace tesvar;
using namespace tesvar::datasettest;

namespace {

using filtertest::seedOr;

// IDs 1..9. Names differing in case ("alpha", "Alpha"), a name that extends another ("alphabet"),
// runs of equal Num, and "zulu" twice in an order that the index ByNumName reverses.
void addRows(TDatasetEnv& Env) {
  Env.Add("delta", 40);     // 1
  Env.Add("alpha", 20);     // 2
  Env.Add("Echo", 50);      // 3
  Env.Add("charlie", 20);   // 4
  Env.Add("bravo", 10);     // 5
  Env.Add("Alpha", 30);     // 6
  Env.Add("alphabet", 20);  // 7
  Env.Add("zulu", 5);       // 8
  Env.Add("zulu", 1);       // 9
}

class DatasetLocate : public ::testing::TestWithParam<bool> {
protected:
  DatasetLocate() : env(storagetest::testFields(), testIndexes(), GetParam()) { addRows(env); }

  TEdbDataset& Opened(const std::string& IndexName = "") {
    TEdbDataset& ds = env.NewDataset();
    ds.SetIndexName(IndexName);
    ds.Open();
    return ds;
  }
  std::string IdName() { return env.M().TableHeader().IDFieldName; }

  TDatasetEnv env;
};

INSTANTIATE_TEST_SUITE_P(Indexes, DatasetLocate, ::testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "AutoIndexes" : "NoIndexes"; });

TEST_P(DatasetLocate, FindsTheFirstMatchInViewOrder) {
  struct Case {
    const char* Index;
    const char* Fields;
    TValue Values;
    TLocateOptions Options;
    int32_t Id;  // 0: not found
  } cases[] = {
      {"", "Name", "alpha", {}, 2},
      {"", "Name", "Alpha", {}, 6},
      {"", "Name", "ALPHA", {loCaseInsensitive}, 2},
      {"", "Name", "alp", {}, 0},
      {"", "Name", "alp", {loPartialKey}, 2},
      {"", "Name", "ALPHAB", {loPartialKey, loCaseInsensitive}, 7},
      {"", "Name", "alphabets", {loPartialKey}, 0},
      {"", "Num", 20, {}, 2},
      {"", "Num", TValue(int64_t{50}), {}, 3},
      {"", "Num", 21, {}, 0},
      {"", "Amount", 2.5, {}, 8},
      {"", "Name;Num", TValue::FromArray({"alpha", 20}), {}, 2},
      {"", "Name, Num", TValue::FromArray({"Alpha", 30}), {}, 6},
      {"", "Name;Num", TValue::FromArray({"alpha", 30}), {}, 0},
      {"", "Num;Name", TValue::FromArray({20, "ch"}), {loPartialKey}, 4},
      {"", "Num;Name", TValue::FromArray({20, "CHARLIE"}), {loCaseInsensitive}, 4},
      {"", "Name", "", {}, 0},
      // The current index orders the matches: "zulu" with Num 1 (ID 9) comes first by Num.
      {"", "Name", "zulu", {}, 8},
      {"ByNumName", "Name", "zulu", {}, 9},
      {"ByNumName", "Num", 20, {}, 2},
      {"ByNumName", "Name", "a", {loPartialKey}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Index) + " " + c.Fields + " = " + VarToStr(c.Values.IsArray() ? c.Values.Item(0) : c.Values));
    TEdbDataset& ds = Opened(c.Index);
    ds.Last();
    const int32_t before = currentId(ds);
    EXPECT_EQ(ds.Locate(c.Fields, c.Values, c.Options), c.Id != 0);
    EXPECT_EQ(currentId(ds), c.Id != 0 ? c.Id : before);
    if (c.Id != 0) {
      EXPECT_EQ(ds.FieldByName("Name").AsString(), env.NameOf(env.RecNoOf(c.Id)));
      // The window follows the cursor.
      ds.Next();
      ds.Prior();
      EXPECT_EQ(currentId(ds), c.Id);
    }
    ds.Close();
  }
}

TEST_P(DatasetLocate, TheRecordIdFieldIsAKeyField) {
  TEdbDataset& ds = Opened("ByName");
  EXPECT_TRUE(ds.Locate(IdName(), 5, {}));
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "bravo");
  EXPECT_TRUE(ds.Locate(IdName() + ";Num", TValue::FromArray({7, 20}), {}));
  EXPECT_EQ(currentId(ds), 7);
  EXPECT_FALSE(ds.Locate(IdName(), 10, {}));
  EXPECT_EQ(currentId(ds), 7);
}

TEST_P(DatasetLocate, NullValuesAndUnsupportedTypesFindNothing) {
  TEdbDataset& ds = Opened();
  ds.Next();
  int32_t scrolls = 0;
  ds.BeforeScroll = [&](TDataSet&) { ++scrolls; };
  ds.AfterScroll = [&](TDataSet&) { ++scrolls; };
  EXPECT_FALSE(ds.Locate("Name", TValue::Null(), {}));
  EXPECT_FALSE(ds.Locate("Num;Name", TValue::FromArray({20, TValue::Null()}), {}));
  EXPECT_EQ(currentId(ds), 2);
  EXPECT_EQ(scrolls, 0);
  EXPECT_EQ(messageOf([&] { (void)ds.Locate("Num", TValue::FromInteger(20, varByte), {}); }),
            "TEdbDataset.PrepareAndLocate - Unsupported variant type 17");
  EXPECT_EQ(messageOf([&] { (void)ds.Locate("Nothing", 1, {}); }),
            "Error in TEdbDataManager.InternalGetFieldNo - field \"Nothing\" not found!");
  EXPECT_EQ(currentId(ds), 2);
  EXPECT_TRUE(ds.Locate("Num", 10, {}));
  EXPECT_EQ(scrolls, 2);
}

TEST_P(DatasetLocate, OnFilterRecordRejectsCandidates) {
  TEdbDataset& ds = Opened();
  ds.SetFiltered(true);
  ds.OnFilterRecord = [](TDataSet& D, bool& Accept) { Accept = D.FieldByName("Name").AsString() != "alpha"; };
  EXPECT_TRUE(ds.Locate("Num", 20, {}));
  EXPECT_EQ(currentId(ds), 4);
  EXPECT_FALSE(ds.Locate("Name", "alpha", {}));
  EXPECT_TRUE(ds.Locate("Name", "alp", {loPartialKey}));
  EXPECT_EQ(currentId(ds), 7);
}

TEST_P(DatasetLocate, LocateSeesChangesMadeThroughTheTable) {
  TEdbDataset& ds = Opened();
  EXPECT_FALSE(ds.Locate("Name", "yankee", {}));
  const int32_t id = env.Add("yankee", 7);
  EXPECT_TRUE(ds.Locate("Name", "yankee", {}));
  EXPECT_EQ(currentId(ds), id);
  env.Delete(2);
  EXPECT_TRUE(ds.Locate("Num", 20, {}));
  EXPECT_EQ(currentId(ds), 4);
}

TEST_P(DatasetLocate, LookupReadsWithoutMoving) {
  TEdbDataset& ds = Opened();
  ds.Next();
  ds.Next();
  int32_t scrolls = 0;
  ds.BeforeScroll = [&](TDataSet&) { ++scrolls; };
  ds.AfterScroll = [&](TDataSet&) { ++scrolls; };
  EXPECT_EQ(ds.Lookup("Num", 50, "Name"), TValue("Echo"));
  const TValue both = ds.Lookup("Name;Num", TValue::FromArray({"Alpha", 30}), "Num, " + IdName());
  ASSERT_TRUE(both.IsArray());
  ASSERT_EQ(both.ItemCount(), 2);
  EXPECT_EQ(both.Item(0).AsInteger(), 30);
  EXPECT_EQ(both.Item(1).AsInteger(), 6);
  // Whole values, with case.
  EXPECT_TRUE(ds.Lookup("Name", "alp", "Num").IsNull());
  EXPECT_TRUE(ds.Lookup("Name", "ALPHA", "Num").IsNull());
  EXPECT_TRUE(ds.Lookup("Num", 99, "Name").IsNull());
  EXPECT_EQ(messageOf([&] { (void)ds.Lookup("Num", 50, "Nothing"); }), "Field 'Nothing' not found");
  EXPECT_EQ(currentId(ds), 3);
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(scrolls, 0);
}

// Locate through the automatic indexes and by testing records agrees with a scan of the view.
TEST(DatasetLocateRandom, IndexedAndTestedLocateAgreeWithAScan) {
  const uint64_t seed = seedOr(16016);
  std::cout << "seed " << seed << " (TESVAR_SEED repeats it)\n";
  std::mt19937_64 random(seed);
  const auto below = [&](size_t N) { return static_cast<size_t>(random() % N); };
  // Latin and Cyrillic letters in both cases (UTF-8 here, the engine code page in the table).
  const std::vector<std::string> letters = {"a", "A", "b", "B", "\xD0\xB6", "\xD0\x96", "\xD1\x8F", "\xD0\xAF"};
  const auto word = [&] {
    std::string w;
    for (size_t i = 0, n = 1 + below(3); i < n; ++i) w += letters[below(letters.size())];
    return w;
  };
  struct TModel {
    std::string Name;  // engine code page
    int32_t Num;
  };
  std::vector<TModel> rows;
  for (int i = 0; i < 300; ++i) rows.push_back({platform::ToAnsi(word()), static_cast<int32_t>(below(12))});
  const auto& collation = platform::EngineCollation();
  const auto nameMatches = [&](const std::string& Field, const std::string& Value, bool Ci, bool Partial) {
    if (Value.empty()) return Field.empty();
    const std::string field = Partial ? Field.substr(0, Value.size()) : Field;
    return collation.Compare(field, Value, Ci) == 0;
  };
  // Small index blocks: a search crosses many of them.
  const storage::ScopedIndexBlockCapacity blocks(8);
  for (bool autoIndexes : {true, false}) {
    TDatasetEnv env(storagetest::testFields(), testIndexes(), autoIndexes);
    for (const TModel& r : rows) env.Add(r.Name, r.Num);
    // Deletes move the last records into the holes: record numbers no longer follow the IDs.
    for (int32_t id = 7; id <= static_cast<int32_t>(rows.size()); id += 23) env.Delete(id);
    // The automatic indexes as the current index: the located field's own order is the view's.
    std::vector<std::string> indexNames = {"", "ByNumName", "ByName"};
    if (autoIndexes) indexNames.insert(indexNames.end(), {"@Name", "@@Name", "@Num"});
    const auto indexCount = static_cast<int>(indexNames.size());
    for (int variant = 0; variant < 3 * indexCount; ++variant) {
      // 0 unfiltered; 1 filtered (matches outside the view); 2 filtered, a handler refusing some.
      const int filtering = variant / indexCount;
      const std::string& index = indexNames[static_cast<size_t>(variant % indexCount)];
      TEdbDataset& ds = env.NewDataset();
      ds.SetIndexName(index);
      if (filtering > 0) {
        ds.SetFilter("Num > 3");
        ds.SetFiltered(true);
      }
      if (filtering > 1) {
        ds.OnFilterRecord = [](TDataSet& D, bool& Accept) {
          Accept = D.Fields()[D.FieldCount() - 1].AsInteger() % 3 != 0;  // the record ID
        };
      }
      ds.Open();
      // The view's records in order, as the scan sees them.
      std::vector<int32_t> order;
      for (ds.First(); !ds.Eof(); ds.Next()) order.push_back(currentId(ds));
      for (int q = 0; q < 150; ++q) {
        const bool ci = below(2) == 1, partial = below(2) == 1;
        const int fields = static_cast<int>(below(3));  // 0 Name, 1 Num, 2 both
        const TModel& probe = rows[below(rows.size())];
        std::string name = below(4) == 0 ? platform::ToAnsi(word()) : probe.Name;
        if (partial && name.size() > 1 && below(2) == 0) name.resize(1 + below(name.size() - 1));
        const int32_t num = below(5) == 0 ? static_cast<int32_t>(below(14)) : probe.Num;
        int32_t expected = 0;
        for (int32_t id : order) {
          const TModel& r = rows[static_cast<size_t>(id - 1)];
          const bool nameOk = fields == 1 || nameMatches(r.Name, name, ci, partial);
          const bool numOk = fields == 0 || r.Num == num;
          if (nameOk && numOk) {
            expected = id;
            break;
          }
        }
        const TValue nameValue(name);
        const TValue values = fields == 0 ? nameValue : fields == 1 ? TValue(num) : TValue::FromArray({nameValue, num});
        TLocateOptions options;
        if (ci) options.Include(loCaseInsensitive);
        if (partial) options.Include(loPartialKey);
        SCOPED_TRACE("seed " + std::to_string(seed) + (autoIndexes ? ", indexed" : ", tested") + ", index '" + index +
                     "', filtering " + std::to_string(filtering) + ", query " + std::to_string(q));
        ASSERT_EQ(ds.Locate(fields == 0 ? "Name" : fields == 1 ? "Num" : "Name;Num", values, options), expected != 0);
        if (expected != 0) {
          ASSERT_EQ(currentId(ds), expected);
        }
      }
      ds.Close();
    }
  }
}

// ---- Key search ----------------------------------------------------------------------------------

class DatasetKeySearch : public ::testing::Test {
protected:
  void SetUp() override { addRows(env); }
  TDatasetEnv env;
};

TEST_F(DatasetKeySearch, FindKeyLandsOnTheKeyOrTheNextAboveOrTheLast) {
  struct Case {
    const char* Index;
    std::vector<TValue> Key;
    int32_t RecNo;
  } cases[] = {
      // ByNumName: zulu 1, zulu 5, bravo 10, alpha 20, alphabet 20, charlie 20, Alpha 30, delta 40,
      // Echo 50.
      {"ByNumName", {20}, 4},
      {"ByNumName", {20, "charlie"}, 6},
      {"ByNumName", {20, "b"}, 6},
      {"ByNumName", {25}, 7},
      {"ByNumName", {0}, 1},
      {"ByNumName", {99}, 9},
      {"ByNumName", {}, 1},
      // ByNumDesc: 50, 40, 30, 20 three times, 10, 5, 1.
      {"ByNumDesc", {20}, 4},
      {"ByNumDesc", {25}, 4},
      {"ByNumDesc", {0}, 9},
      {"ByNumDesc", {60}, 1},
  };
  TEdbDataset& ds = env.NewDataset();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Index) + " " + (c.Key.empty() ? "" : VarToStr(c.Key[0])));
    ds.SetIndexName(c.Index);
    ds.Open();
    ds.Next();
    ds.Next();
    int32_t afterScroll = 0;
    ds.AfterScroll = [&](TDataSet&) { ++afterScroll; };
    ds.FindKey(c.Key);
    EXPECT_EQ(ds.RecNo(), c.RecNo);
    EXPECT_EQ(afterScroll, 1);
    // The window follows the cursor.
    const int32_t id = currentId(ds);
    if (c.RecNo > 1) {
      ds.Prior();
      ds.Next();
    } else {
      ds.Next();
      ds.Prior();
    }
    EXPECT_EQ(currentId(ds), id);
    ds.AfterScroll = nullptr;
    ds.Close();
  }
}

TEST_F(DatasetKeySearch, TheRecordIdKeyFieldIsSetInTheKey) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();  // index 0: the record ID
  ds.FindKey({6});
  EXPECT_EQ(currentId(ds), 6);
  ds.FindKey({100});
  EXPECT_EQ(currentId(ds), 9);
}

TEST(DatasetKeySearchEmpty, FindKeyOnAnEmptyViewStaysWhereItIs) {
  TDatasetEnv empty;
  TEdbDataset& ds = empty.NewDataset();
  ds.SetIndexName("ByNumName");
  ds.Open();
  int32_t afterScroll = 0;
  ds.AfterScroll = [&](TDataSet&) { ++afterScroll; };
  ds.FindKey({20});
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(afterScroll, 0);
  const std::vector<uint8_t> key = empty.Record("a", 20);
  EXPECT_EQ(ds.FindInView(key.data(), 1, false, true), -1);
  EXPECT_EQ(ds.FindInIndex(key.data(), ds.CurrentIndexNo(), false, true, 1), -1);
}

TEST_F(DatasetKeySearch, FindInViewAndFindInIndexAnswerEveryCase) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByNumName");
  ds.Open();
  const int32_t byNumName = ds.CurrentIndexNo();
  struct Case {
    std::vector<TValue> Key;
    int32_t Fields;
    bool Exact, Forward;
    int32_t Position;
  } cases[] = {
      {{20}, 1, true, true, 5},      // the run 3..5 of Num 20, forward to its end
      {{20}, 1, true, false, 3},     // backward: its start
      {{20}, 1, false, true, 5},
      {{20, "alphabet"}, 2, true, true, 4},
      {{20, "alphabet"}, 1, true, false, 3},  // only Num compared
      {{25}, 1, true, true, -1},
      {{25}, 1, false, true, 6},
      {{99}, 1, true, true, -1},
      {{99}, 1, false, false, 8},
      {{0}, 1, false, true, 0},
      {{1}, 1, true, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(VarToStr(c.Key[0]) + " fields " + std::to_string(c.Fields) + (c.Exact ? " exact" : "") +
                 (c.Forward ? " forward" : " backward"));
    ds.SetKeyFields(c.Key);
    EXPECT_EQ(ds.State(), dsBrowse);
    // The same key as a record image of the table.
    const std::string name = c.Key.size() > 1 ? c.Key[1].AsString() : "";
    std::vector<uint8_t> image = env.Record(name, c.Key[0].AsInteger());
    EXPECT_EQ(ds.FindInView(image.data(), c.Fields, c.Exact, c.Forward), c.Position);
    const int32_t inIndex = ds.FindInIndex(image.data(), byNumName, c.Exact, c.Forward, c.Fields);
    EXPECT_EQ(inIndex, c.Position);
  }
  EXPECT_EQ(messageOf([&] { (void)ds.FindInIndex(env.M().NewRecordBuffer().data(), 99, true, true, 1); }),
            "Error in TEdbDataSet.FindInIndex - index number \"99\" not found!");
}

// ---- Distinct values ---------------------------------------------------------------------------

class DatasetDistinct : public ::testing::TestWithParam<bool> {
protected:
  DatasetDistinct() : env(storagetest::testFields(), testIndexes(), GetParam()) { addRows(env); }

  std::vector<int32_t> Ids(TEdbDataset& Ds) {
    std::vector<int32_t> ids;
    for (Ds.First(); !Ds.Eof(); Ds.Next()) ids.push_back(currentId(Ds));
    return ids;
  }
  // The IDs of the first record of each run of equal Num in the index Name of the table.
  std::vector<int32_t> RunFirsts(const std::string& Name) {
    const int32_t no = env.M().InternalGetIndexNo(Name);
    const TEdbIndex& index = env.M().Index(no);
    std::vector<int32_t> ids;
    int32_t last = -1;
    for (int32_t p = 0; p < index.Count(); ++p) {
      const int32_t num = env.NumOf(index.At(p));
      if (p == 0 || num != last) ids.push_back(env.IdOf(index.At(p)));
      last = num;
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  TDatasetEnv env;
};

INSTANTIATE_TEST_SUITE_P(Indexes, DatasetDistinct, ::testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "AutoIndexes" : "NoIndexes"; });

TEST_P(DatasetDistinct, EachRunOfEqualKeysShowsAsItsFirstRecord) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  const int32_t indexes = env.M().IndexCount();
  ds.SetDistinctFields("Num");
  // Without an index over exactly Num (ByNumDesc is descending) a temporary one is made.
  std::string distinctIndex = "@Num";
  if (!GetParam()) {
    ASSERT_EQ(env.M().IndexCount(), indexes + 1);
    distinctIndex = env.M().Index(indexes).Header().Name;
    EXPECT_EQ(distinctIndex.rfind("$_IDX_", 0), 0u);
    EXPECT_NE(FindIndexDef(ds.IndexDefs(), distinctIndex), nullptr);
    EXPECT_EQ(FindIndexDef(ds.VisibleIndexDefs(), distinctIndex), nullptr);
  } else {
    EXPECT_EQ(env.M().IndexCount(), indexes);
  }
  const std::vector<int32_t> firsts = RunFirsts(distinctIndex);
  EXPECT_EQ(firsts.size(), 7u);  // 1, 5, 10, 20, 30, 40, 50
  EXPECT_EQ(ds.RecordCount(), 7);
  EXPECT_EQ(Ids(ds), firsts);  // in the order of the current index (the record ID)
  EXPECT_TRUE(ds.Locate("Num", 20, {}));
  EXPECT_EQ(std::count(firsts.begin(), firsts.end(), currentId(ds)), 1);

  // The view follows the table.
  const int32_t id = env.Add("new", 60);
  env.Delete(5);
  std::vector<int32_t> expected = RunFirsts(distinctIndex);
  EXPECT_EQ(expected.size(), 7u);  // 10 gone, 60 come
  EXPECT_EQ(std::count(expected.begin(), expected.end(), id), 1);
  EXPECT_EQ(Ids(ds), expected);

  ds.SetDistinctFields("");
  EXPECT_EQ(ds.RecordCount(), 9);
}

TEST_P(DatasetDistinct, ViewOrderIsTheCurrentIndexAndKeysAreCompared) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByNumDesc");
  ds.SetDistinctFields("Num; Name");  // the fields of ByNumName: no temporary index
  ds.Open();
  const int32_t indexes = env.M().IndexCount();
  // Names compare with case: "alpha" and "Alpha" stay apart, the two "zulu" have other Nums.
  EXPECT_EQ(ds.RecordCount(), 9);
  ds.SetDistinctFields("Name");
  EXPECT_EQ(ds.RecordCount(), 8);  // "zulu" once
  ds.First();
  EXPECT_EQ(ds.FieldByName("Num").AsInteger(), 50);
  ds.Last();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "zulu");
  EXPECT_EQ(env.M().IndexCount(), indexes);  // ByName serves
}

TEST_P(DatasetDistinct, AFilteredRunShowsItsFirstVisibleRecord) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  ds.SetDistinctFields("Num");
  std::vector<int32_t> firsts;
  std::string filter;  // hides the first record of every run
  for (ds.First(); !ds.Eof(); ds.Next()) {
    firsts.push_back(currentId(ds));
    filter += std::string(filter.empty() ? "" : " and ") + "not ((Name = '" + ds.FieldByName("Name").AsString() +
              "') and (Num = " + std::to_string(ds.FieldByName("Num").AsInteger()) + "))";
  }
  ds.SetDistinctFields("");
  ds.SetFilter(filter);
  TFilterOptions options;
  options.Include(foNoPartialCompare);
  ds.SetFilterOptions(options);
  ds.SetFiltered(true);
  std::map<int32_t, int32_t> visibleNums;  // Num -> visible records holding it
  for (ds.First(); !ds.Eof(); ds.Next()) {
    EXPECT_EQ(std::count(firsts.begin(), firsts.end(), currentId(ds)), 0);
    ++visibleNums[ds.FieldByName("Num").AsInteger()];
  }
  ASSERT_EQ(visibleNums.size(), 1u);  // only Num 20 has more than one record
  // Each Num still held by a visible record shows once, as a visible record.
  ds.SetDistinctFields("Num");
  std::map<int32_t, int32_t> shown;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    EXPECT_EQ(std::count(firsts.begin(), firsts.end(), currentId(ds)), 0);
    ++shown[ds.FieldByName("Num").AsInteger()];
  }
  EXPECT_EQ(shown, (std::map<int32_t, int32_t>{{20, 1}}));
}

TEST(DatasetTemporaryIndex, NeedsAnOpenTable) {
  TDatasetEnv env;
  TEdbDataset& ds = env.NewDataset();
  std::string name;
  EXPECT_EQ(messageOf([&] { ds.CreateTemporaryIndex("Num", "", name, ""); }),
            "Error in TEdbDataset.CreateTemporaryIndex - table is not opened.");
  ds.Open();
  ds.CreateTemporaryIndex("Name", "Name", name, "");
  EXPECT_EQ(name.rfind("$_IDX_", 0), 0u);
  EXPECT_GE(env.M().InternalGetIndexNo(name), 0);
}

}  // namespace
