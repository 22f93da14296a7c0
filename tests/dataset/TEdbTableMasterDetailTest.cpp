// Master/detail: a detail table following its master through a data source.

#include "TableTestSupport.h"

#include <optional>

using namespace tesvar;
using namespace tesvar::tabletest;

namespace {

// Master M: Name, Num, Amount (the test table). Detail D: MasterNum, MasterName, Item, with the
// indexes ByNum (MasterNum; Item) and ByName (MasterName; Item).
class MasterDetail : public ::testing::Test {
protected:
  MasterDetail() : master(store.CreateTestTable("M")), detail(store.NewTable("D")) {
    detail.FieldDefs() = {{"MasterNum", ftInteger, 0, false},
                          {"MasterName", ftString, 20, false},
                          {"Item", ftString, 20, false}};
    detail.SetIndexDefs({{"ByNum", "MasterNum;Item", "", "", {}}, {"ByName", "MasterName;Item", "", "", {}}});
    detail.SetAutoIndexes(false);
    detail.CreateTable();
    master.Open();
    addMaster("alpha", 1);
    addMaster("bravo", 2);
    addMaster("O'Brien", std::nullopt);
    detail.Open();
    addDetail(1, "alpha", "a1");
    addDetail(1, "alpha", "a2");
    addDetail(2, "bravo", "b1");
    addDetail(std::nullopt, "O'Brien", "obrien");
    addDetail(std::nullopt, "", "orphan");
    detail.Close();
    master.First();
    source.SetDataSet(&master);
  }
  ~MasterDetail() override {
    detail.Close();
    detail.SetMasterSource(nullptr);
  }

  void addMaster(const std::string& Name, std::optional<int32_t> Num) {
    master.Append();
    master.FieldByName("Name").SetAsString(Name);
    if (Num) master.FieldByName("Num").SetAsInteger(*Num);
    master.Post();
  }
  void addDetail(std::optional<int32_t> Num, const std::string& Name, const std::string& Item) {
    detail.Append();
    if (Num) detail.FieldByName("MasterNum").SetAsInteger(*Num);
    detail.FieldByName("MasterName").SetAsString(Name);
    detail.FieldByName("Item").SetAsString(Item);
    detail.Post();
  }
  // Links the detail to the master by MasterFields over its index IndexName, and opens it.
  void link(const std::string& MasterFields, const std::string& IndexName) {
    detail.SetMasterSource(&source);
    detail.SetMasterFields(MasterFields);
    detail.SetIndexName(IndexName);
    detail.Open();
  }
  std::vector<std::string> items() {
    std::vector<std::string> out;
    for (detail.First(); !detail.Eof(); detail.Next()) out.push_back(detail.FieldByName("Item").AsString());
    return out;
  }
  bool masterAt(const std::string& Name) {
    return master.Locate("Name", TValue(Name), {});
  }

  TTableStore store{{pfs::fsmDirectory, false}};
  TEdbTable& master;
  TEdbTable& detail;
  TDataSource source;
};

using Items = std::vector<std::string>;

TEST_F(MasterDetail, TheDetailFollowsTheMastersMoves) {
  link("Num", "ByNum");
  EXPECT_EQ(items(), (Items{"a1", "a2"}));
  EXPECT_EQ(detail.RecordCount(), 2);
  master.Next();
  EXPECT_EQ(items(), (Items{"b1"}));
  // A NULL master value shows the records whose key field is NULL.
  master.Next();
  EXPECT_EQ(items(), (Items{"obrien", "orphan"}));
  master.First();
  EXPECT_EQ(items(), (Items{"a1", "a2"}));
}

TEST_F(MasterDetail, TextKeysAreQuotedAndEmptyMasterTextsShowNullKeys) {
  link("Name", "ByName");
  ASSERT_TRUE(masterAt("O'Brien"));
  EXPECT_EQ(items(), (Items{"obrien"}));
  EXPECT_EQ(detail.MasterCondition(), "(MasterName = 'O''Brien')");
  master.Edit();
  master.FieldByName("Name").SetAsString("");
  EXPECT_EQ(items(), (Items{"orphan"}));
  EXPECT_EQ(detail.MasterCondition(), "(MasterName IS NULL )");
  master.Cancel();
  EXPECT_EQ(items(), (Items{"obrien"}));
}

TEST_F(MasterDetail, InsertsAndDeletesOnBothSides) {
  link("Num", "ByNum");
  ASSERT_TRUE(masterAt("bravo"));
  // A detail insert takes the master's key.
  detail.Append();
  detail.FieldByName("Item").SetAsString("b2");
  EXPECT_EQ(detail.FieldByName("MasterNum").AsInteger(), 2);
  detail.Post();
  EXPECT_EQ(items(), (Items{"b1", "b2"}));
  ASSERT_TRUE(detail.Locate("Item", TValue(std::string("b1")), {}));
  detail.Delete();
  EXPECT_EQ(items(), (Items{"b2"}));

  // A new master record has no details until one is added under it.
  addMaster("delta", 4);
  EXPECT_EQ(items(), Items{});
  detail.Insert();
  detail.FieldByName("Item").SetAsString("d1");
  detail.Post();
  EXPECT_EQ(items(), (Items{"d1"}));
  EXPECT_EQ(detail.FieldByName("MasterNum").AsInteger(), 4);

  // Deleting the master record moves the master, and the detail follows it.
  master.Delete();
  const std::string now = master.FieldByName("Name").AsString();
  EXPECT_EQ(now, "O'Brien");
  EXPECT_EQ(items(), (Items{"obrien", "orphan"}));
  ASSERT_TRUE(masterAt("alpha"));
  EXPECT_EQ(items(), (Items{"a1", "a2"}));

  // Every detail record is still in the table.
  detail.SetMasterSource(nullptr);
  EXPECT_EQ(items(), (Items{"obrien", "orphan", "a1", "a2", "b2", "d1"}));
}

TEST_F(MasterDetail, ADetailRecordPostedUnderAnotherMasterLeavesTheView) {
  link("Num", "ByNum");
  ASSERT_TRUE(detail.Locate("Item", TValue(std::string("a2")), {}));
  detail.Edit();
  detail.FieldByName("MasterNum").SetAsInteger(2);
  detail.Post();
  EXPECT_EQ(items(), (Items{"a1"}));
  detail.Append();
  detail.FieldByName("Item").SetAsString("elsewhere");
  detail.FieldByName("MasterNum").SetAsInteger(2);
  detail.Post();
  EXPECT_EQ(items(), (Items{"a1"}));
  master.Next();
  EXPECT_EQ(items(), (Items{"a2", "b1", "elsewhere"}));
}

TEST_F(MasterDetail, AMasterFieldEditMovesTheDetailAndAnOpenEditIsPostedFirst) {
  link("Num", "ByNum");
  detail.Edit();
  detail.FieldByName("Item").SetAsString("a0");
  master.Next();  // the detail's pending edit is posted before it follows
  EXPECT_EQ(detail.State(), dsBrowse);
  EXPECT_EQ(detail.FieldByName("Item").AsString(), "b1");
  EXPECT_EQ(items(), (Items{"b1"}));
  master.First();
  EXPECT_EQ(items(), (Items{"a0", "a2"}));
  master.Edit();
  master.FieldByName("Num").SetAsInteger(2);
  EXPECT_EQ(items(), (Items{"b1"}));
  master.Cancel();
}

TEST_F(MasterDetail, TheConditionActsOnlyOverTheIndexNamedAndAnOpenMaster) {
  link("Num", "ByNum");
  EXPECT_EQ(items(), (Items{"a1", "a2"}));
  detail.SetIndexFieldNames("MasterName;Item");
  EXPECT_EQ(detail.RecordCount(), 5);
  detail.SetIndexName("ByNum");
  EXPECT_EQ(items(), (Items{"a1", "a2"}));
  master.Close();
  EXPECT_EQ(detail.RecordCount(), 5);
  master.Open();
  EXPECT_EQ(items(), (Items{"a1", "a2"}));
  detail.SetMasterFields("");
  EXPECT_EQ(detail.RecordCount(), 5);
}

TEST_F(MasterDetail, ASourceLeadingBackToTheDetailIsRefused) {
  link("Num", "ByNum");
  TDataSource detailSource;
  detailSource.SetDataSet(&detail);
  EXPECT_EQ(messageOf([&] { master.SetMasterSource(&detailSource); }),
            "TEdbDataSet.SetDataSource - Invalid DataSource");
  EXPECT_EQ(messageOf([&] { detail.SetMasterSource(&detailSource); }),
            "TEdbDataSet.SetDataSource - Invalid DataSource");
  EXPECT_EQ(master.MasterSource(), nullptr);
  EXPECT_EQ(detail.MasterSource(), &source);
}

}  // namespace
