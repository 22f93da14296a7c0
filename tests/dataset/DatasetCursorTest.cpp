// The cursor over one table: opening, field definitions, index choice, navigation, record
// numbers, bookmarks and the engine operations other datasets and queries call.

#include "DatasetTestSupport.h"

#include "toolkit/FieldClasses.h"
#include "toolkit/TDataLink.h"
#include "toolkit/TDataSource.h"

#include <algorithm>
#include <functional>

using namespace tesvar;
using namespace tesvar::datasettest;

namespace {

class DatasetCursor : public ::testing::Test {
protected:
  void SetUp() override {
    addFiveRecords(env);
  }
  TDatasetEnv env;
};

TEST_F(DatasetCursor, FieldsListStoredFieldsThenTheRecordID) {
  TEdbDataset& ds = env.NewDataset();
  ds.UpdateFieldDefs();  // closed: connects the table for the time of the call
  EXPECT_FALSE(ds.TableOpen());
  ASSERT_EQ(ds.FieldDefs().size(), 4u);
  EXPECT_EQ(ds.FieldDefs()[0].Name, "Name");
  EXPECT_EQ(ds.FieldDefs()[0].Size, 20);
  EXPECT_EQ(ds.FieldDefs()[1].DataType, ftInteger);
  EXPECT_EQ(ds.FieldDefs()[1].Size, 0);
  EXPECT_EQ(ds.FieldDefs()[3].Name, env.M().TableHeader().IDFieldName);
  EXPECT_EQ(ds.FieldDefs()[3].DataType, ftAutoInc);

  ds.Open();
  ASSERT_EQ(ds.FieldCount(), 4);
  EXPECT_EQ(ds.Fields()[0].FieldName(), "Name");
  EXPECT_EQ(ds.Fields()[0].AsString(), "delta");
  EXPECT_EQ(ds.Fields()[3].AsInteger(), 1);
  EXPECT_EQ(ds.Fields()[3].DataType(), ftAutoInc);
  EXPECT_EQ(ds.RecordCount(), 5);
  ds.Close();
  EXPECT_EQ(ds.DataManager(), nullptr);
  // The environment's dataset still holds the table.
  EXPECT_EQ(env.M().Datasets().size(), 1u);
}

TEST_F(DatasetCursor, TableNameDropsItsExtensionAndDatabaseNamesExcludeEachOther) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetTableName("T.dat");
  EXPECT_EQ(ds.TableName(), "T");
  ds.SetTableName("a.b.c");
  EXPECT_EQ(ds.TableName(), "a.b");
  ds.SetTableName("T");
  ds.Open();
  ds.SetDatabaseFileName("x.edb");  // closes first
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.DatabaseName(), "");
  ds.SetDatabaseName("db");
  EXPECT_EQ(ds.DatabaseFileName(), "");
  ds.Open();
  EXPECT_TRUE(ds.Active());
}

TEST(DatasetOpen, FailuresLeaveTheDatasetClosedWithoutReferences) {
  storagetest::TTableEnv env({pfs::fsmDirectory, true});  // encrypted, password "secret"
  env.Create();
  env.Open();
  env.Insert("x", 1);  // a password is checked against a record
  env.Close();
  struct Case {
    const char* Table;
    const char* Password;
    const char* Message;
  } cases[] = {
      {"Missing", "", "TEdbDataset.OpenTable - table \"Missing\" does not exist."},
      {"T", "wrong", "TEdbDataset.OpenTable - invalid password."},
      {"T", "", "TEdbDataset.OpenTable - invalid password."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Table);
    TEdbDataset ds;
    ds.SetDatabaseName("db");
    ds.SetTableName(c.Table);
    ds.SetPassword(c.Password);
    EXPECT_EQ(messageOf([&] { ds.Open(); }), c.Message);
    EXPECT_FALSE(ds.Active());
    EXPECT_FALSE(ds.TableOpen());
    EXPECT_EQ(ds.DataManager(), nullptr);
    EXPECT_EQ(ds.DatabaseManager(), nullptr);
    for (const auto& m : Registries().DataManagers) EXPECT_TRUE(m->Datasets().empty());
  }
  TEdbDataset ds;
  ds.SetDatabaseName("db");
  ds.SetTableName("T");
  ds.SetPassword("secret");
  ds.Open();
  EXPECT_EQ(ds.RecordCount(), 1);
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "x");
}

TEST_F(DatasetCursor, AManagerRefusingTheDatasetLeavesItUnattached) {
  TEdbDataset& ds = env.NewDataset();
  const size_t attached = env.FDatabase->Datasets().size();
  ds.SetInMemory(true);  // the table is open on disk
  EXPECT_EQ(messageOf([&] { ds.Open(); }),
            "TEdbDataManager.ConnectDataset - Cannot open dataset in both InMemory and other modes.");
  EXPECT_EQ(ds.DataManager(), nullptr);
  EXPECT_EQ(ds.DatabaseManager(), nullptr);
  EXPECT_EQ(env.M().Datasets().size(), 1u);
  EXPECT_EQ(env.FDatabase->Datasets().size(), attached);
}

// The engine's own calls on a dataset, for the messages of their misuse.
class TProbeDataset : public TEdbDataset {
public:
  using TEdbDataset::GetBookmarkData;
  using TEdbDataset::GetBookmarkFlag;
  using TEdbDataset::GetRecord;
  using TEdbDataset::InternalGotoBookmark;
  using TEdbDataset::SetBookmarkData;
  using TEdbDataset::SetBookmarkFlag;
};

TEST_F(DatasetCursor, MissingBuffersRaiseTheirMessages) {
  TProbeDataset ds;
  ds.SetDatabaseName("db");
  ds.SetTableName("T");
  uint8_t buffer[8] = {};
  EXPECT_EQ(messageOf([&] { (void)ds.GetRecord(buffer, gmNext, true); }),
            "Error in TEdbDataSet.GetRecord - no table was opened.");
  ds.Open();
  std::vector<uint8_t> record(static_cast<size_t>(env.M().RecordSize() + 8), 0);
  uint8_t bookmark[8] = {};
  const struct {
    std::function<void()> Call;
    const char* Message;
  } cases[] = {
      {[&] { (void)ds.GetBookmarkFlag(nullptr); }, "Error in TEdbDataSet.GetBookmarkFlag - 0 pointer Buffer"},
      {[&] { ds.SetBookmarkFlag(nullptr, bfCurrent); }, "Error in TEdbDataSet.SetBookmarkFlag - 0 pointer Buffer"},
      {[&] { ds.GetBookmarkData(nullptr, bookmark); }, "Error in TEdbDataSet.GetBookmarkData - 0 pointer Buffer"},
      {[&] { ds.GetBookmarkData(record.data(), nullptr); }, "Error in TEdbDataSet.GetBookmarkData - 0 pointer Data"},
      {[&] { ds.SetBookmarkData(nullptr, bookmark); }, "Error in TEdbDataSet.SetBookmarkData - 0 pointer to Buffer."},
      {[&] { ds.InternalGotoBookmark(nullptr); }, "Error in TEdbDataSet.InternalGoToBookmark - 0 pointer Bookmark"},
  };
  for (const auto& c : cases) EXPECT_EQ(messageOf(c.Call), c.Message);
  // An absent bookmark sets nothing; a buffer's slot carries the record ID and the flag.
  ds.SetBookmarkData(record.data(), nullptr);
  PutInt32(bookmark, 3);
  ds.SetBookmarkData(record.data(), bookmark);
  ds.SetBookmarkFlag(record.data(), bfEOF);
  uint8_t back[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  ds.GetBookmarkData(record.data(), back);
  EXPECT_EQ(GetInt32(back), 3);
  EXPECT_EQ(GetInt32(back + 4), 0);
  EXPECT_EQ(ds.GetBookmarkFlag(record.data()), bfEOF);
  ds.Close();
}

TEST_F(DatasetCursor, ClosedDatasetRaisesTheCursorMessages) {
  TEdbDataset& ds = env.NewDataset();
  EXPECT_EQ(messageOf([&] { (void)ds.RecordCount(); }), "Error in TEdbDataSet.GetRecordCount - no table was opened.");
  EXPECT_EQ(messageOf([&] { (void)ds.RecNo(); }), "Error in TEdbDataSet.GetRecNo - no table was opened.");
  EXPECT_EQ(messageOf([&] { ds.SetRecNo(1); }), "Error in TEdbDataSet.SetRecNo - no table was opened.");
  EXPECT_EQ(messageOf([&] { ds.OpenIndex("ByName", -1); }), "Error in TEdbDataSet.OpenIndex - table is not opened.");
  EXPECT_EQ(ds.GetLastAutoIncValue(), 0);
  // Stored while closed, applied at open.
  ds.SetIndexName("ByName");
  ds.Open();
  EXPECT_EQ(ds.CurrentIndexNo(), env.M().InternalGetIndexNo("ByName"));
}

TEST_F(DatasetCursor, IndexDefsListEveryIndexAndTheVisibleOnes) {
  TEdbDataset& ds = env.NewDataset();
  ds.UpdateIndexDefs();  // closed: connects the table for the time of the call
  EXPECT_EQ(ds.IndexDefs().size(), 5u);
  EXPECT_FALSE(ds.TableOpen());
  ds.Open();
  ASSERT_EQ(ds.IndexDefs().size(), 5u);
  const std::string id = env.M().TableHeader().IDFieldName;
  EXPECT_EQ(ds.IndexDefs()[0].Name, "@" + id);
  EXPECT_EQ(ds.IndexDefs()[0].Fields, id);
  EXPECT_TRUE(ds.IndexDefs()[0].Options.Contains(ixPrimary));
  ASSERT_EQ(ds.VisibleIndexDefs().size(), 4u);
  EXPECT_EQ(ds.VisibleIndexDefs()[0].Name, "ByName");
  EXPECT_EQ(ds.VisibleIndexDefs()[1].Fields, "Num;Name");
  EXPECT_FALSE(ds.VisibleIndexDefs()[1].Options.Contains(ixPrimary));
  EXPECT_EQ(ds.VisibleIndexDefs()[2].DescFields, "Num");
}

// The index a dataset opens on: IndexName by name, IndexFieldNames only as a whole field list.
TEST_F(DatasetCursor, OpenTimeIndexChoice) {
  struct Case {
    const char* IndexName;
    const char* IndexFieldNames;
    const char* OpensOn;  // "" = index 0
    const char* KeptName;
    const char* KeptFields;
  } cases[] = {
      {"byname", "", "ByName", "byname", ""},
      {"Nope", "", "", "", ""},
      {"", "num; NAME", "ByNumName", "", "num; NAME"},
      {"", "num", "ByNumDesc", "", "num"},  // the whole list, not the first index it leads
      {"", "Amount", "", "", ""},           // a leading part only: not at open
      {"", "Group", "", "", ""},    // no such field
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.IndexName) + "|" + c.IndexFieldNames);
    TEdbDataset& ds = env.NewDataset();
    if (*c.IndexName) ds.SetIndexName(c.IndexName);
    if (*c.IndexFieldNames) ds.SetIndexFieldNames(c.IndexFieldNames);
    ds.Open();
    EXPECT_EQ(ds.CurrentIndexNo(), *c.OpensOn ? env.M().InternalGetIndexNo(c.OpensOn) : 0);
    EXPECT_EQ(ds.IndexName(), c.KeptName);
    EXPECT_EQ(ds.IndexFieldNames(), c.KeptFields);
    ds.Close();
  }
}

TEST_F(DatasetCursor, RunTimeIndexChoiceReordersAndKeepsTheRecord) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  ds.SetRecNo(4);  // charlie (ID 4)
  ASSERT_EQ(ds.FieldByName("Name").AsString(), "charlie");

  ds.SetIndexName("ByName");
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "charlie");
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(namesFromHere(ds), (std::vector<std::string>{"charlie", "delta", "echo"}));
  EXPECT_EQ(allNames(ds), (std::vector<std::string>{"alpha", "bravo", "charlie", "delta", "echo"}));

  // A leading part of an index's fields is accepted at run time.
  ds.SetIndexFieldNames("num");
  EXPECT_EQ(ds.IndexFieldNames(), "num");
  EXPECT_EQ(ds.IndexName(), "");
  EXPECT_EQ(ds.CurrentIndexNo(), env.M().InternalGetIndexNo("ByNumName"));
  EXPECT_EQ(allNames(ds), (std::vector<std::string>{"bravo", "alpha", "charlie", "delta", "echo"}));

  ds.SetIndexName("ByNumDesc");
  EXPECT_EQ(ds.IndexFieldNames(), "");
  EXPECT_EQ(allNames(ds).front(), "echo");

  ds.SetIndexFieldNames("Amount");
  EXPECT_EQ(ds.CurrentIndexNo(), env.M().InternalGetIndexNo("ByAmountName"));

  // No index with those fields: index 0 and the property cleared.
  ds.SetIndexFieldNames("Name;Amount");
  EXPECT_EQ(ds.IndexFieldNames(), "");
  EXPECT_EQ(ds.CurrentIndexNo(), 0);
  EXPECT_EQ(allNames(ds), (std::vector<std::string>{"delta", "alpha", "echo", "charlie", "bravo"}));

  EXPECT_EQ(messageOf([&] { ds.SetIndexName("Nope"); }), "Error in TEdbDataSet.OpenIndex - index \"Nope\" not found!");
  EXPECT_EQ(ds.CurrentIndexNo(), 0);
  EXPECT_EQ(messageOf([&] { ds.OpenIndex("", 5); }), "Error in TEdbDataSet.OpenIndex - index number \"5\" not found!");
  ds.OpenIndex("", 1);
  EXPECT_EQ(ds.CurrentIndexNo(), 1);
}

TEST_F(DatasetCursor, ANewRecordCarriesTheNextIDAndNumberAfterTheLast) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  ds.SetRecNo(2);
  ds.Insert();
  EXPECT_EQ(ds.RecNo(), 6);
  EXPECT_EQ(ds.FieldByName("id").AsInteger(), 6);
  EXPECT_TRUE(ds.FieldByName("Name").IsNull());
  // Another user's insert takes that ID meanwhile; the new record still counts after the last.
  env.Add("foxtrot", 60);
  EXPECT_EQ(ds.RecNo(), 7);
  ds.Cancel();
  EXPECT_EQ(ds.RecNo(), 2);
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "alpha");
}

TEST_F(DatasetCursor, ADatabaseComponentNamesTheDatabase) {
  TEdbDatabase db;
  db.SetDatabaseName("Catalog");
  db.SetDirectory("db");
  TEdbDataset& ds = env.NewDataset();
  ds.SetDatabaseName("catalog");
  ds.Open();
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(ds.DatabaseComponent(), &db);
  EXPECT_EQ(ds.RecordCount(), 5);
  ds.Close();
  EXPECT_EQ(ds.DatabaseComponent(), nullptr);
}

TEST_F(DatasetCursor, IndexFieldsAreTheDatasetFieldsOfTheCurrentKey) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  EXPECT_EQ(&ds.GetIndexField(0), &ds.Fields()[3]);  // the record-ID index
  ds.SetIndexName("ByNumName");
  EXPECT_EQ(ds.GetIndexField(0).FieldName(), "Num");
  EXPECT_EQ(ds.GetIndexField(1).FieldName(), "Name");
  EXPECT_EQ(messageOf([&] { (void)ds.GetIndexField(2); }), "Error in TEdbDataSet.GetIndexField - invalid index, index = 2.");

  // Persistent fields without Num: the key field has no dataset field.
  TEdbDataset& named = env.NewDataset();
  std::unique_ptr<TField> name = CreateFieldOfType(ftString);
  name->SetFieldName("Name");
  name->SetSize(20);
  named.AddField(std::move(name));
  named.SetIndexName("ByNumName");
  named.Open();
  EXPECT_EQ(named.FieldCount(), 1);
  EXPECT_EQ(named.FieldByName("Name").AsString(), "bravo");
  EXPECT_EQ(messageOf([&] { (void)named.GetIndexField(0); }), "Error in TEdbDataSet.GetIndexField - no such field, FieldNo = 2.");
  EXPECT_EQ(&named.GetIndexField(1), &named.FieldByName("Name"));
}

TEST_F(DatasetCursor, NavigationSetsBofAndEofAndRecNo) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.Open();
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.RecNo(), 1);
  ds.Prior();
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "alpha");
  EXPECT_EQ(ds.MoveBy(3), 3);
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "delta");
  EXPECT_EQ(ds.RecNo(), 4);
  EXPECT_EQ(ds.MoveBy(5), 1);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecNo(), 5);
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_FALSE(ds.Bof());
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "echo");
  EXPECT_EQ(ds.MoveBy(-10), -4);
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "alpha");
}

TEST_F(DatasetCursor, RecNoOutsideTheViewLeavesTheCursor) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  ds.SetRecNo(3);
  int32_t scrolls = 0;
  ds.AfterScroll = [&](TDataSet&) { ++scrolls; };
  for (int32_t n : {0, -1, 6, 3}) {
    SCOPED_TRACE(n);
    ds.SetRecNo(n);
    EXPECT_EQ(ds.RecNo(), 3);
    EXPECT_EQ(ds.FieldByName("Name").AsString(), "echo");
  }
  EXPECT_EQ(scrolls, 0);
  ds.SetRecNo(5);
  EXPECT_EQ(scrolls, 1);
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "bravo");
}

TEST_F(DatasetCursor, BookmarksSurviveInsertsAndDeletesElsewhere) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.Open();
  ds.SetRecNo(3);  // charlie, physical record 3
  const TBookmark charlie = ds.Bookmark();
  ds.First();
  const TBookmark alpha = ds.Bookmark();
  EXPECT_EQ(ds.CompareBookmarks(alpha, charlie), -1);
  EXPECT_EQ(ds.CompareBookmarks(charlie, alpha), 1);
  EXPECT_EQ(ds.CompareBookmarks(charlie, charlie), 0);
  EXPECT_EQ(ds.CompareBookmarks({}, charlie), -1);
  EXPECT_EQ(ds.CompareBookmarks(charlie, {}), 1);

  // Records before charlie come and go; deleting "delta" (physical 0) moves the last record
  // into its physical place.
  env.Add("aaron", 1);
  env.Add("abel", 2);
  env.Delete(1);
  ds.GotoBookmark(charlie);
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "charlie");
  EXPECT_EQ(ds.RecNo(), 5);
  EXPECT_TRUE(ds.BookmarkValid(charlie));
  EXPECT_EQ(ds.RecordCount(), 6);

  // Both records gone: no order between them.
  env.Delete(2);
  env.Delete(4);
  EXPECT_FALSE(ds.BookmarkValid(charlie));
  EXPECT_EQ(messageOf([&] { (void)ds.CompareBookmarks(alpha, charlie); }),
            "TEdbDataset.CompareBookmarks - equal positions, pos1 = -1, x1 = 2, x2 = 4");
  EXPECT_EQ(messageOf([&] { ds.GotoBookmark(charlie); }), "TEdbDataSet.GetRecord - No records");
}

TEST_F(DatasetCursor, ChangesThroughTheTableManagerShowAtTheNextAccess) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.Open();
  ds.SetRecNo(3);  // charlie
  env.Add("aaa", 1);
  EXPECT_EQ(ds.RecordCount(), 6);
  EXPECT_EQ(ds.RecNo(), 4);  // still charlie, one record more before it
  ds.Next();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "delta");

  // The current record renamed elsewhere: the cursor follows it to its new place.
  env.Update(1, "zulu", 40);
  ds.Refresh();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "zulu");
  EXPECT_EQ(ds.RecNo(), 6);
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "echo");

  // The current record deleted elsewhere: a refetch lands on the record that followed it.
  env.Delete(3);
  ds.Refresh();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "zulu");
  EXPECT_EQ(ds.RecordCount(), 5);

  // Deleting the last record of the view while on it: the refetch takes the one before.
  env.Delete(1);
  ds.Refresh();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "charlie");
  EXPECT_EQ(ds.RecNo(), 4);
}

TEST_F(DatasetCursor, NextAfterTheCurrentRecordWentTakesItsFollower) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.Open();
  ds.SetRecNo(2);  // bravo
  env.Delete(5);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "charlie");
  ds.SetRecNo(2);  // charlie
  env.Delete(4);
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "alpha");
}

// A grid window of three records: moving past a window record that went elsewhere continues
// after that record's place, not from wherever the cursor last stood. After First the cursor is
// on the window's last record; after a move to the last record the window was filled backwards
// and the cursor is on its first.
TEST(DatasetWindow, MovesPastARecordThatWentElsewhere) {
  for (bool fromTheEnd : {false, true}) {
    SCOPED_TRACE(fromTheEnd);
    TDatasetEnv env;
    for (const char* name : {"alpha", "bravo", "charlie", "delta", "echo"}) env.Add(name, 0);
    TEdbDataset& ds = env.NewDataset();
    TDataSource source;
    TDataLink link;
    link.SetBufferCount(3);
    link.SetDataSource(&source);
    source.SetDataSet(&ds);
    ds.SetIndexName("ByName");
    ds.Open();  // alpha, bravo, charlie
    if (fromTheEnd) {
      ds.Last();  // charlie, delta, echo
      EXPECT_EQ(ds.MoveBy(-2), -2);
      env.Delete(5);  // echo
      env.Add("foxtrot", 0);
      EXPECT_EQ(ds.MoveBy(3), 3);  // delta, echo (as it was), then past echo's place
      EXPECT_EQ(ds.FieldByName("Name").AsString(), "foxtrot");
      EXPECT_EQ(ds.RecNo(), 5);
    } else {
      env.Delete(3);  // charlie
      EXPECT_EQ(ds.MoveBy(3), 3);
      EXPECT_EQ(ds.FieldByName("Name").AsString(), "delta");
      EXPECT_EQ(ds.RecNo(), 3);
      ds.Next();
      EXPECT_EQ(ds.FieldByName("Name").AsString(), "echo");
    }
    source.SetDataSet(nullptr);
  }
}

TEST_F(DatasetCursor, RecordIDSearchesFindPositionsInEveryOrder) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  for (const char* index : {"", "ByName", "ByNumDesc"}) {
    SCOPED_TRACE(index);
    ds.SetIndexName(index);
    for (int32_t p = 0; p < ds.RecordCount(); ++p) {
      const int32_t recNo = ds.GetViewRecord(p);
      EXPECT_EQ(ds.GetTablePositionByPhysRecNo(recNo), p);
      EXPECT_EQ(ds.GetPositionByRecordID(env.IdOf(recNo)), p);
    }
    EXPECT_EQ(ds.GetPositionByRecordID(99), -1);
    EXPECT_EQ(ds.GetTablePositionByPhysRecNo(99), -1);
  }
  EXPECT_EQ(messageOf([&] { (void)ds.GetViewRecord(5); }),
            "Error in TEdbDataSet.GetViewRecord - invalid position 5, recCount = 5.");
  ds.SetTablePositionByPhysRecNo(ds.GetViewRecord(2));
  EXPECT_EQ(ds.CurrentPos(), 2);
  EXPECT_EQ(messageOf([&] { ds.SetTablePositionByPhysRecNo(7); }),
            "TEdbDataSet.SetTablePositionByPhysRecNo - record not found, physRecNo = 7, result = 0, recCount = 5");
}

// The search by record ID over records whose IDs have gaps of every kind: each ID present is
// found at its place in the ID order and in another order, each ID absent (in a gap, before the
// first, after the last) nowhere.
TEST(DatasetRecordIDs, FoundWhateverTheGapsBetweenThem) {
  struct TCase {
    const char* Name;
    std::function<bool(int32_t Id)> Keep;  // which of the IDs 1..60 stay
  };
  const TCase cases[] = {
      {"no gaps", [](int32_t) { return true; }},
      {"every other", [](int32_t id) { return id % 2 == 0; }},
      {"one wide gap", [](int32_t id) { return id < 5 || id > 52; }},
      {"clusters", [](int32_t id) { return id % 15 < 3; }},
      {"ends only", [](int32_t id) { return id == 2 || id == 59; }},
      {"growing gaps", [](int32_t id) { return id == 1 || id == 3 || id == 7 || id == 15 || id == 31 || id == 60; }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TDatasetEnv env;
    std::vector<int32_t> kept;
    // Names descend as IDs ascend, so ByName is the reverse of the ID order.
    for (int32_t id = 1; id <= 60; ++id) env.Add("n" + std::to_string(1000 - id), id);
    for (int32_t id = 1; id <= 60; ++id) {
      if (c.Keep(id))
        kept.push_back(id);
      else
        env.Delete(id);
    }
    TEdbDataset& ds = env.NewDataset();
    ds.Open();
    for (const char* index : {"", "ByName"}) {
      SCOPED_TRACE(index);
      ds.SetIndexName(index);
      const bool reversed = *index != 0;
      for (int32_t id = -1; id <= 62; ++id) {
        const auto at = std::find(kept.begin(), kept.end(), id);
        int32_t want = -1;
        if (at != kept.end()) {
          want = static_cast<int32_t>(at - kept.begin());
          if (reversed) want = static_cast<int32_t>(kept.size()) - 1 - want;
        }
        EXPECT_EQ(ds.GetPositionByRecordID(id), want) << "ID " << id;
      }
    }
  }
}

TEST_F(DatasetCursor, RefreshCurrentBufferKeepsTheCursorTheEngineSet) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  ds.SetTablePositionByPhysRecNo(2);  // echo, while the buffer still shows delta
  ds.RefreshCurrentBuffer();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "echo");
  EXPECT_EQ(ds.CurrentPos(), 2);
}

TEST_F(DatasetCursor, NextAutoIncValueIsTheNextInsertsID) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  EXPECT_EQ(ds.GetLastAutoIncValue(), 5);
  ds.SetNextAutoIncValue(100);
  EXPECT_EQ(ds.GetLastAutoIncValue(), 99);
  EXPECT_EQ(env.Add("foxtrot", 60), 100);
  EXPECT_EQ(ds.RecordCount(), 6);
}

TEST_F(DatasetCursor, FilterRecordRejectionsAreSkippedButCounted) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.OnFilterRecord = [](TDataSet& D, bool& Accept) { Accept = D.FieldByName("Num").AsInteger() != 20; };
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(allNames(ds), (std::vector<std::string>{"bravo", "delta", "echo"}));
  EXPECT_EQ(ds.RecordCount(), 5);
  ds.Last();
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "delta");
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "bravo");
}

TEST_F(DatasetCursor, EditsAndDeletesReachTheTable) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  ds.Edit();
  ds.FieldByName("Name").SetAsString("changed");
  ds.Post();
  EXPECT_EQ(env.NameOf(0), "changed");
  ds.Delete();
  EXPECT_EQ(ds.RecordCount(), 4);
  EXPECT_EQ(env.M().RecordCount(), 4);
  EXPECT_EQ(env.RecNoOf(1), -1);
}

TEST(DatasetEmpty, AnEmptyTableOpensAtBothEnds) {
  TDatasetEnv env;
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  EXPECT_TRUE(ds.Bof());
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_EQ(ds.RecNo(), 0);
  EXPECT_TRUE(ds.FieldByName("Name").IsNull());
  ds.Last();
  ds.Next();
  EXPECT_TRUE(ds.Eof());
  // Records that arrive later are found by the next move.
  env.Add("one", 1);
  ds.First();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "one");
  EXPECT_FALSE(ds.Eof());
}

}  // namespace
