// The table component: its properties, creating, deleting and renaming tables, progress reports.

#include "TableTestSupport.h"

using namespace tesvar;
using namespace tesvar::tabletest;

namespace {

// ---- Creating, deleting, renaming in every store --------------------------------------------------

TEST_P(TableStoreTest, CreatedTableOpensWithItsFieldsAndIndexes) {
  TEdbTable& t = store.CreateTestTable();
  EXPECT_FALSE(t.Active());
  EXPECT_TRUE(t.Exists() || GetParam().Mode == pfs::fsmInMemory || GetParam().Mode == pfs::fsmTemporary);
  t.Open();
  std::vector<std::string> fields;
  for (int32_t i = 0; i < t.FieldCount(); ++i) fields.push_back(t.Fields()[i].FieldName());
  EXPECT_EQ(fields, (std::vector<std::string>{"Name", "Num", "Amount", "id"}));
  std::vector<std::string> indexes;
  for (const TIndexDef& d : t.IndexDefs()) indexes.push_back(d.Name);
  EXPECT_EQ(indexes, (std::vector<std::string>{"@id", "ByName", "ByNum"}));
  EXPECT_EQ(t.Encrypted(), GetParam().Encrypted);
  TTableStore::Append(t, "alpha", 2);
  TTableStore::Append(t, "bravo", 1);
  t.SetIndexName("ByNum");
  EXPECT_EQ(TTableStore::Names(t), (std::vector<std::string>{"bravo", "alpha"}));
}

TEST_P(TableStoreTest, CreateReplacesAnExistingTable) {
  TEdbTable& t = store.CreateTestTable();
  t.Open();
  TTableStore::Append(t, "old", 1);
  t.Close();
  t.FieldDefs() = {{"Title", ftString, 40, false}};
  t.SetIndexDefs({});
  t.CreateTable();
  t.Open();
  EXPECT_EQ(t.RecordCount(), 0);
  ASSERT_NE(t.FindField("Title"), nullptr);
  EXPECT_EQ(t.FindField("Name"), nullptr);
}

TEST_P(TableStoreTest, DeleteRemovesTheTable) {
  TEdbTable& t = store.CreateTestTable();
  t.Open();
  TTableStore::Append(t, "gone", 1);
  t.Close();
  t.DeleteTable();
  EXPECT_FALSE(t.Exists());
  if (t.InMemory()) {
    // An in-memory table that does not exist is made anew, empty, when it opens.
    t.Open();
    EXPECT_EQ(t.RecordCount(), 0);
  } else {
    EXPECT_ANY_THROW(t.Open());
  }
}

TEST_P(TableStoreTest, RenameKeepsTheRecordsUnderTheNewName) {
  TEdbTable& t = store.CreateTestTable();
  t.Open();
  TTableStore::Append(t, "kept", 7);
  t.Close();
  t.InternalRenameTable("Renamed");
  EXPECT_EQ(t.TableName(), "Renamed");
  EXPECT_FALSE(store.NewTable("T").Exists());
  t.Open();
  EXPECT_EQ(TTableStore::Names(t), (std::vector<std::string>{"kept"}));
}

INSTANTIATE_TEST_SUITE_P(Stores, TableStoreTest, ::testing::ValuesIn(storagetest::allStoreCases()), storeCaseName);

// ---- Creation rules and refusals -----------------------------------------------------------------

class TableMaintenance : public ::testing::Test {
protected:
  TTableStore store{{pfs::fsmDirectory, false}};
};

TEST_F(TableMaintenance, CreateMakesTheMissingContainer) {
  TTableStore fresh({pfs::fsmSingleFile, false}, false);
  ASSERT_FALSE(fresh.FMem.FileExists("db.edb"));
  TEdbTable& t = fresh.CreateTestTable();
  EXPECT_TRUE(fresh.FMem.FileExists("db.edb"));
  EXPECT_TRUE(t.Exists());
}

TEST_F(TableMaintenance, BlockSizeBelowOneIsRefusedBeforeAnyFileIsMade) {
  TEdbTable& t = store.NewTable();
  t.FieldDefs() = tableFields();
  for (const int32_t size : {0, -5}) {
    t.SetBLOBBlockSize(size);
    EXPECT_EQ(messageOf([&] { t.CreateTable(); }), "TEdbDataSet.InternalCreateTable - BlobBlockSize must be > 0");
    EXPECT_FALSE(t.Exists());
  }
}

TEST_F(TableMaintenance, PersistentDataFieldsJoinTheDefinitions) {
  TEdbTable& t = store.NewTable();
  t.FieldDefs() = {{"Name", ftString, 20, false}};
  auto extra = CreateFieldOfType(ftInteger);
  extra->SetFieldName("Extra");
  t.AddField(std::move(extra));
  auto same = CreateFieldOfType(ftString);
  same->SetFieldName("NAME");  // listed already (names compare without case)
  same->SetSize(20);
  t.AddField(std::move(same));
  auto calc = CreateFieldOfType(ftInteger);
  calc->SetFieldName("Calc");
  calc->SetFieldKind(fkCalculated);
  t.AddField(std::move(calc));
  t.CreateTable();
  TEdbTable& check = store.NewTable();
  check.UpdateFieldDefs();
  std::vector<std::string> names;
  for (const TFieldDef& d : check.FieldDefs()) names.push_back(d.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"Name", "Extra", "id"}));
}

// Each maintenance call on an open dataset, and on a table another dataset has open.
struct TRefusalCase {
  const char* Call;
  void (*Run)(TEdbTable&);
  const char* WhenOpen;
  const char* WhenBusy;
};

const TRefusalCase kRefusals[] = {
    {"create", [](TEdbTable& t) { t.CreateTable(); },
     "TEdbDataSet.InternalCreateTable - Cannot perform this operation on an open DataSet.",
     "TEdbDataSet.InternalCreateTable - Table is busy, table T"},
    {"delete", [](TEdbTable& t) { t.DeleteTable(); }, "Error in TEdbDataset.InternalDeleteTable - table is opened.",
     "TEdbDataSet.InternalDeleteTable - Table is busy, table T"},
    {"rename", [](TEdbTable& t) { t.InternalRenameTable("U"); },
     "Error in TEdbDataset.InternalRenameTable - table is opened.",
     "TEdbDataSet.InternalRenameTable - Table is busy, table T"},
};

TEST_F(TableMaintenance, RefusedOnAnOpenOrBusyTable) {
  TEdbTable& t = store.CreateTestTable();
  TEdbTable& other = store.NewTable();
  for (const TRefusalCase& c : kRefusals) {
    SCOPED_TRACE(c.Call);
    t.Open();
    TTableStore::Append(t, "row", 1);
    EXPECT_EQ(messageOf([&] { c.Run(t); }), c.WhenOpen);
    t.Close();
    other.Open();
    EXPECT_EQ(messageOf([&] { c.Run(t); }), c.WhenBusy);
    EXPECT_EQ(other.RecordCount(), static_cast<int32_t>(&c - kRefusals) + 1);
    other.Close();
  }
}

// ---- Properties ------------------------------------------------------------------------------------

TEST_F(TableMaintenance, Defaults) {
  TEdbTable& t = store.NewTable();
  EXPECT_TRUE(t.AutoIndexes());
  EXPECT_EQ(t.BLOBBlockSize(), 512);
  EXPECT_EQ(t.BLOBCompression(), codec::clNone);
  EXPECT_EQ(t.TempTableRecords(), 1000);
  EXPECT_FALSE(t.StoreDefs());
  EXPECT_FALSE(t.Exclusive());
  EXPECT_EQ(t.CurrentVersion(), "4.11 ");
  t.SetCurrentVersion("9.99");
  EXPECT_EQ(t.CurrentVersion(), "4.11 ");
}

TEST_F(TableMaintenance, BlobSettingsReadTheOpenTableAndIgnoreChangesWhileOpen) {
  TEdbTable& t = store.NewTable();
  t.FieldDefs() = {{"Notes", ftMemo, 0, false}};
  t.SetBLOBBlockSize(1024);
  t.SetBLOBCompression(codec::clMax);
  t.CreateTable();
  t.SetBLOBBlockSize(64);
  t.SetBLOBCompression(codec::clNone);
  t.Open();
  EXPECT_EQ(t.BLOBBlockSize(), 1024);
  EXPECT_EQ(t.BLOBCompression(), codec::clMax);
  t.SetBLOBBlockSize(4096);
  t.SetBLOBCompression(codec::clFastest);
  t.Close();
  EXPECT_EQ(t.BLOBBlockSize(), 64);
  EXPECT_EQ(t.BLOBCompression(), codec::clNone);
}

TEST_F(TableMaintenance, ReadOnlyClosesAndExclusiveNeedsAClosedDataset) {
  TEdbTable& t = store.CreateTestTable();
  t.Open();
  EXPECT_EQ(messageOf([&] { t.SetExclusive(true); }), "Cannot perform this operation on an open dataset");
  t.SetReadOnly(true);
  EXPECT_FALSE(t.Active());
  t.SetExclusive(true);
  EXPECT_TRUE(t.Exclusive());
  t.Open();
  EXPECT_FALSE(t.CanModify());
}

TEST_F(TableMaintenance, ProgressReportsTheRememberedKindAndTheCancelWish) {
  TEdbTable& t = store.NewTable();
  EXPECT_FALSE(t.DoProgress(10));  // no handler
  std::vector<std::string> seen;
  t.OnProgress = [&](const void* Sender, double Percent, TedProgressProcess Kind, bool& Cancel) {
    seen.push_back(std::to_string(Sender == static_cast<const TEdbDataset*>(&t)) + "/" +
                   std::to_string(static_cast<int>(Percent)) + "/" + std::to_string(Kind));
    Cancel = Percent >= 50;
  };
  t.SetProgressProcess(edppRestructure);
  EXPECT_FALSE(t.DoProgress(25));
  EXPECT_TRUE(t.DoProgress(50));
  EXPECT_EQ(t.PercentDone(), 50);
  EXPECT_EQ(seen, (std::vector<std::string>{"1/25/2", "1/50/2"}));
}

}  // namespace
