// Table maintenance through the table component: adding and deleting indexes, the in-memory switch
// and saving, result tables of the SQL engine, the index-build window.

#include "TableTestSupport.h"

#include "storage/TableFormat.h"

#include <set>

using namespace tesvar;
using namespace tesvar::tabletest;

namespace {

class TableIndexes : public ::testing::Test {
protected:
  TableIndexes() : t(store.CreateTestTable()) {
    t.Open();
    // IDs in the order charlie, alpha, bravo; by Num: bravo, charlie, alpha.
    TTableStore::Append(t, "charlie", 2);
    TTableStore::Append(t, "alpha", 3);
    TTableStore::Append(t, "bravo", 1);
    t.Close();
  }
  std::string currentIndexName() { return t.IndexDefs()[static_cast<size_t>(t.CurrentIndexNo())].Name; }
  std::vector<std::string> indexNames() {
    std::vector<std::string> names;
    for (const TIndexDef& d : t.IndexDefs()) names.push_back(d.Name);
    return names;
  }

  TTableStore store{{pfs::fsmDirectory, false}};
  TEdbTable& t;
};

TEST_F(TableIndexes, AddIndexOnAClosedTableLeavesItClosed) {
  t.AddIndex("ByNumDesc", "Num", "", "Num", {});
  EXPECT_FALSE(t.Active());
  t.SetIndexName("ByNumDesc");
  t.Open();
  EXPECT_EQ(TTableStore::Names(t), (std::vector<std::string>{"alpha", "charlie", "bravo"}));
}

TEST_F(TableIndexes, AddIndexOnAnOpenTableKeepsTheOrderAndTheCursor) {
  t.SetIndexName("ByNum");
  // A filtered view keeps its own list of records.
  t.SetFilter("Num < 10");
  t.SetFiltered(true);
  t.Open();
  t.Next();
  ASSERT_EQ(t.FieldByName("Name").AsString(), "charlie");
  // A change through another dataset must still reach the view.
  TEdbTable& other = store.NewTable();
  other.Open();
  TTableStore::Append(other, "delta", 0);
  other.Close();
  t.AddIndex("ByAmount", "Amount", "", "", {});
  EXPECT_TRUE(t.Active());
  EXPECT_EQ(currentIndexName(), "ByNum");
  EXPECT_EQ(t.FieldByName("Name").AsString(), "charlie");
  EXPECT_EQ(indexNames(), (std::vector<std::string>{"@id", "ByName", "ByNum", "ByAmount"}));
  EXPECT_EQ(TTableStore::Names(t), (std::vector<std::string>{"delta", "bravo", "charlie", "alpha"}));
}

TEST_F(TableIndexes, FailedAddIndexRestoresTheClosedState) {
  EXPECT_EQ(messageOf([&] { t.AddIndex("ByName", "Num", "", "", {}); }),
            "Error in TEdbDataManager.InternalAddIndex - index \"ByName\" already exists!");
  EXPECT_FALSE(t.Active());
  EXPECT_EQ(messageOf([&] { t.InternalAddIndex("X", "Num", "", "", {}); }),
            "Error in TEdbDataset.InternalAddIndex - table is not opened.");
  EXPECT_EQ(messageOf([&] { t.InternalDeleteIndex("ByNum"); }),
            "Error in TEdbDataset.InternalDeleteIndex - table is not opened.");
}

// Index list: @id (0), ByName (1), ByNum (2).
struct TDeleteIndexCase {
  const char* Current;
  const char* Deleted;
  const char* CurrentAfter;
  std::vector<std::string> Order;
};

TEST_F(TableIndexes, DeleteIndexKeepsTheCurrentIndexUnlessItGoes) {
  const TDeleteIndexCase cases[] = {
      {"ByNum", "ByNum", "@id", {"charlie", "alpha", "bravo"}},
      {"ByNum", "ByName", "ByNum", {"bravo", "charlie", "alpha"}},
      {"ByName", "ByNum", "ByName", {"alpha", "bravo", "charlie"}},
      {"", "ByName", "@id", {"charlie", "alpha", "bravo"}},
      {"ByName", "@id", "@id", {"charlie", "alpha", "bravo"}},  // "@" indexes stay, index 0 comes
  };
  for (const TDeleteIndexCase& c : cases) {
    SCOPED_TRACE(std::string(c.Current) + " / " + c.Deleted);
    TTableStore fresh({pfs::fsmDirectory, false});
    TEdbTable& table = fresh.CreateTestTable();
    table.Open();
    for (const auto& [name, num] : {std::pair{"charlie", 2}, {"alpha", 3}, {"bravo", 1}})
      TTableStore::Append(table, name, num);
    table.SetIndexName(c.Current);
    table.Last();
    table.DeleteIndex(c.Deleted);
    EXPECT_TRUE(table.Active());
    EXPECT_EQ(table.IndexDefs()[static_cast<size_t>(table.CurrentIndexNo())].Name, c.CurrentAfter);
    EXPECT_EQ(TTableStore::Names(table), c.Order);
    const bool stays = std::string(c.Deleted) == "@id";
    EXPECT_EQ(table.IndexDefs().size(), stays ? 3u : 2u);
  }
}

TEST_F(TableIndexes, DeleteIndexOnAClosedTableLeavesItClosedAndRefusesABusyTable) {
  t.DeleteIndex("ByName");
  EXPECT_FALSE(t.Active());
  EXPECT_EQ(indexNames(), (std::vector<std::string>{"@id", "ByNum"}));
  TEdbTable& other = store.NewTable();
  other.Open();
  EXPECT_EQ(messageOf([&] { t.DeleteIndex("ByNum"); }), "TEdbDataSet.InternalDeleteTable - Table is busy, table T");
  EXPECT_FALSE(t.Active());
  other.Close();
  t.Open();
  EXPECT_EQ(indexNames(), (std::vector<std::string>{"@id", "ByNum"}));
}

// ---- The in-memory switch ---------------------------------------------------------------------------

// The database is the component "db" over the directory db, as the application has it: a table
// in memory keeps the database's own store on disk.
class TableInMemory : public ::testing::Test {
protected:
  TableInMemory() : database(connected()), t(store.CreateTestTable()) {
    t.Open();
    TTableStore::Append(t, "on disk", 1);
  }
  ~TableInMemory() override { t.Close(); }
  TEdbDatabase& connected() {
    component.SetDatabaseName("db");
    component.SetDirectory("db");
    component.SetConnected(true);
    return component;
  }
  // The records of T as a fresh dataset reads them from the database's own store.
  std::vector<std::string> onDisk() {
    TEdbTable& reader = store.NewTable();
    reader.Open();
    std::vector<std::string> names = TTableStore::Names(reader);
    reader.Close();
    return names;
  }
  bool inMemoryCopyExists() {
    TEdbDatabaseManager& db = edGetDatabaseManager("db", nullptr);
    return db.FileExists("T.dat", pfs::fsmInMemory);
  }

  TTableStore store{{pfs::fsmDirectory, false}};
  TEdbDatabase component;
  TEdbDatabase& database;
  TEdbTable& t;
};

TEST_F(TableInMemory, SwitchingInAndOutOfMemoryKeepsEveryRecordAndDropsTheMemoryCopy) {
  t.SetInMemory(true);
  ASSERT_TRUE(t.Active());
  EXPECT_EQ(t.DataManager()->FileStoreMode(), pfs::fsmInMemory);
  TTableStore::Append(t, "in memory", 2);
  t.SetInMemory(false);
  ASSERT_TRUE(t.Active());
  EXPECT_NE(t.DataManager()->FileStoreMode(), pfs::fsmInMemory);
  EXPECT_EQ(TTableStore::Names(t), (std::vector<std::string>{"on disk", "in memory"}));
  EXPECT_FALSE(inMemoryCopyExists());
  t.Close();
  EXPECT_EQ(onDisk(), (std::vector<std::string>{"on disk", "in memory"}));
}

TEST_F(TableInMemory, AFailedSaveKeepsTheTableOpenInMemory) {
  t.SetInMemory(true);
  TTableStore::Append(t, "in memory", 2);
  store.FFaults.FailFrom(platform::FaultKind::Write, 1);
  EXPECT_EQ(messageOf([&] { t.SetInMemory(false); }), "TEdbDataManager.SaveTable - T.idx file cannot be saved.");
  store.FFaults.Reset();
  ASSERT_TRUE(t.Active());
  EXPECT_TRUE(t.InMemory());
  EXPECT_EQ(TTableStore::Names(t), (std::vector<std::string>{"on disk", "in memory"}));
  t.SetInMemory(false);
  t.Close();
  EXPECT_EQ(onDisk(), (std::vector<std::string>{"on disk", "in memory"}));
}

TEST_F(TableInMemory, SaveNeedsAnOpenInMemoryTable) {
  EXPECT_EQ(messageOf([&] { t.InternalSaveTable(); }),
            "TEdbDataset.InternalSaveTable - table is not in in-memory mode.");
  t.Close();
  EXPECT_EQ(messageOf([&] { t.InternalSaveTable(); }), "TEdbDataset.InternalSaveTable - table is not opened.");
}

TEST_F(TableInMemory, ClosedSwitchOnlyStoresTheValue) {
  t.Close();
  t.SetInMemory(true);
  EXPECT_FALSE(t.Active());
  EXPECT_TRUE(t.InMemory());
  EXPECT_FALSE(inMemoryCopyExists());
}

TEST_F(TableInMemory, OpeningAnInMemoryTableThatDoesNotExistCreatesIt) {
  TEdbTable& m = store.NewTable("M");
  m.FieldDefs() = tableFields();
  m.SetInMemory(true);
  m.Open();
  ASSERT_TRUE(m.Active());
  EXPECT_EQ(m.DataManager()->FileStoreMode(), pfs::fsmInMemory);
  TTableStore::Append(m, "kept in memory", 7);
  EXPECT_EQ(TTableStore::Names(m), std::vector<std::string>{"kept in memory"});
  m.Close();
  EXPECT_FALSE(m.Exists()) << "nothing in the database's own store";
  m.Open();  // the table in memory is opened again, not made anew
  EXPECT_EQ(TTableStore::Names(m), std::vector<std::string>{"kept in memory"});
  m.Close();
  // A table of the database's own store opens as its memory copy.
  t.Close();
  t.SetInMemory(true);
  t.Open();
  EXPECT_EQ(TTableStore::Names(t), std::vector<std::string>{"on disk"});
}

// ---- Result tables ---------------------------------------------------------------------------------

// A table component whose random start is always the same number.
class TFixedRandomTable : public TEdbTable {
protected:
  uint32_t TempTableRandom() override { return 4242; }
};

TEST(TableResultTables, ResultTablesAreEmptyInMemoryTablesWithDistinctNames) {
  TTableStore store({pfs::fsmDirectory, false});
  // The clock stands still, so that every table starts its search at the same number.
  store.FClock.SetAutoAdvance(0);
  std::vector<std::unique_ptr<TFixedRandomTable>> tables;
  std::set<std::string> names;
  for (int i = 0; i < 3; ++i) {
    auto t = std::make_unique<TFixedRandomTable>();
    t->SetDatabaseName("db");
    t->FieldDefs() = tableFields();
    t->MakeInMemoryTempTable(50);
    EXPECT_EQ(t->DatabaseName(), "");
    EXPECT_TRUE(t->InMemory());
    EXPECT_FALSE(t->AutoIndexes());
    EXPECT_EQ(t->TempTableRecords(), 50);
    const std::string& name = t->TableName();
    EXPECT_EQ(name.rfind("@TABLE", 0), 0u) << name;
    EXPECT_LT(std::stoi(name.substr(6)), 100000) << name;
    names.insert(name);
    t->Open();
    EXPECT_EQ(t->RecordCount(), 0);
    TTableStore::Append(*t, "row " + std::to_string(i), i);
    t->Close();
    tables.push_back(std::move(t));
  }
  EXPECT_EQ(names.size(), 3u) << "two result tables got one name";
  for (auto& t : tables) {
    t->Open();
    EXPECT_EQ(t->RecordCount(), 1) << t->TableName();
    t->Close();
  }
  tables.clear();
}

// ---- Index builds ------------------------------------------------------------------------------------

class TRecordingWindow : public IIndexBuildWindow {
public:
  explicit TRecordingWindow(TEdbTable& Table) : FTable(Table) {}
  void Start(const std::string& TableName) override {
    Seen.push_back("start " + TableName + (FTable.ControlsDisabled() ? " disabled" : ""));
  }
  void Progress(int32_t PercentDone) override { Seen.push_back(std::to_string(PercentDone)); }
  void Finish() override { Seen.push_back(FTable.ControlsDisabled() ? "finish disabled" : "finish"); }
  std::vector<std::string> Seen;

private:
  TEdbTable& FTable;
};

// Table T with Count records and an index file whose change count is stale, so that the next
// open sorts every index again; returns that index file.
std::vector<uint8_t> tableWithStaleIndexes(TTableStore& Store, int32_t Count) {
  TEdbTable& t = Store.CreateTestTable();
  t.Open();
  for (int32_t i = 0; i < Count; ++i) TTableStore::Append(t, i == 0 ? "alpha" : "row " + std::to_string(i), i);
  t.Close();
  std::vector<uint8_t> idx = Store.FMem.ReadAll("db/T.idx");
  PutInt32(idx.data() + kIHChangeCount, 12345);
  Store.FMem.WriteAll("db/T.idx", idx);
  return idx;
}

TEST(TableIndexBuilds, RebuildsAreShownInTheWindowWithTheControlsDisabled) {
  TTableStore store({pfs::fsmDirectory, false});
  (void)tableWithStaleIndexes(store, 1);
  TEdbTable& t = store.NewTable();
  TRecordingWindow window(t);
  t.SetIndexBuildWindow(&window);
  t.Open();
  EXPECT_EQ(window.Seen, (std::vector<std::string>{"start T disabled", "33", "67", "100", "100", "finish"}));
  EXPECT_FALSE(t.ControlsDisabled());
  EXPECT_EQ(TTableStore::Names(t), (std::vector<std::string>{"alpha"}));
}

TEST(TableIndexBuilds, AFailedRebuildStillClosesTheWindowFault) {
  TTableStore store({pfs::fsmDirectory, false});
  const std::vector<uint8_t> idx = tableWithStaleIndexes(store, 30);
  TEdbTable& t = store.NewTable();
  bool failedWhileShown = false;
  for (uint64_t k = 1; k < 200; ++k) {
    SCOPED_TRACE(k);
    store.FMem.WriteAll("db/T.idx", idx);
    TRecordingWindow window(t);
    t.SetIndexBuildWindow(&window);
    store.FFaults.FailFrom(platform::FaultKind::Read, k);
    bool opened = true;
    try {
      t.Open();
    } catch (const Exception&) {
      opened = false;
    }
    store.FFaults.Reset();
    t.SetIndexBuildWindow(nullptr);
    if (!window.Seen.empty()) {
      EXPECT_EQ(window.Seen.front(), "start T disabled");
      EXPECT_EQ(window.Seen.back(), "finish");
      failedWhileShown = failedWhileShown || !opened;
    }
    EXPECT_FALSE(t.ControlsDisabled());
    if (opened) {
      t.Close();
      break;
    }
  }
  EXPECT_TRUE(failedWhileShown) << "no read failure came during a rebuild";
}

TEST(TableIndexBuilds, WithoutAWindowNothingIsShown) {
  TTableStore store({pfs::fsmDirectory, false});
  (void)tableWithStaleIndexes(store, 1);
  TEdbTable& t = store.NewTable();
  t.Open();
  EXPECT_FALSE(t.ControlsDisabled());
  EXPECT_EQ(TTableStore::Names(t), (std::vector<std::string>{"alpha"}));
}

}  // namespace
