// The field mapping: a dataset showing a projection of its table's fields under names of its own.

#include "TableTestSupport.h"

using namespace tesvar;
using namespace tesvar::tabletest;

namespace {

class FieldMapping : public ::testing::Test {
protected:
  FieldMapping() : t(store.CreateTestTable()) {
    t.Open();
    TTableStore::Append(t, "alpha", 1);
    TTableStore::Append(t, "bravo", 2);
    t.Close();
  }
  std::vector<std::string> fieldNames() {
    std::vector<std::string> names;
    for (int32_t i = 0; i < t.FieldCount(); ++i) names.push_back(t.Fields()[i].FieldName());
    return names;
  }

  TTableStore store{{pfs::fsmDirectory, false}};
  TEdbTable& t;
};

TEST_F(FieldMapping, TheDatasetShowsAndWritesTheMappedFields) {
  t.SetFieldMapping({"num", "ID", "Name"}, {"Number", "", ""}, false);
  ASSERT_TRUE(t.Active());
  EXPECT_TRUE(t.FieldMapActive());
  EXPECT_EQ(fieldNames(), (std::vector<std::string>{"Number", "id", "Name"}));
  EXPECT_EQ(t.FieldMap(), (std::vector<int32_t>{1, -1, 0}));
  t.First();
  EXPECT_EQ(t.FieldByName("Number").AsInteger(), 1);
  EXPECT_EQ(t.FieldByName("id").AsInteger(), 1);
  EXPECT_EQ(t.FieldByName("Name").AsString(), "alpha");
  t.Next();
  t.Edit();
  t.FieldByName("Number").SetAsInteger(9);
  t.Post();
  // Closing ends the mapping.
  t.Close();
  t.Open();
  EXPECT_FALSE(t.FieldMapActive());
  EXPECT_EQ(fieldNames(), (std::vector<std::string>{"Name", "Num", "Amount", "id"}));
  t.Last();
  EXPECT_EQ(t.FieldByName("Name").AsString(), "bravo");
  EXPECT_EQ(t.FieldByName("Num").AsInteger(), 9);
  EXPECT_EQ(t.FieldByName("Amount").AsFloat(), 1.0);
}

TEST_F(FieldMapping, NamesInUseGetTheFirstFreeSuffix) {
  const struct {
    std::vector<std::string> Fields, Aliases, Shown;
  } cases[] = {
      {{"Name", "Num"}, {"X", "X"}, {"X", "X_1"}},
      {{"Name", "Name", "Name"}, {}, {"Name", "Name_1", "Name_2"}},
      {{"Num", "Name"}, {"Name_1", "Name_1"}, {"Name_1", "Name_1_1"}},
  };
  for (const auto& c : cases) {
    t.SetFieldMapping(c.Fields, c.Aliases, false);
    EXPECT_EQ(fieldNames(), c.Shown);
    t.Close();
  }
}

TEST_F(FieldMapping, KeptDefinitionsShowTheSameMappingAgain) {
  t.SetFieldMapping({"Amount", "Name"}, {"Sum", "Title"}, false);
  t.Close();
  t.SetFieldMapping(t.MapFieldNames(), t.MapAliasNames(), true);
  EXPECT_EQ(fieldNames(), (std::vector<std::string>{"Sum", "Title"}));
  t.First();
  EXPECT_EQ(t.FieldByName("Title").AsString(), "alpha");
  EXPECT_EQ(t.FieldByName("Sum").AsFloat(), 0.5);
}

TEST_F(FieldMapping, AnUnknownFieldRaisesTheNativeErrorAndChangesNothing) {
  t.SetName("CatalogTable");
  try {
    t.SetFieldMapping({"Name", "Nope"}, {}, false);
    FAIL() << "no exception";
  } catch (const EEdbException& e) {
    EXPECT_EQ(e.NativeError(), 13);
    EXPECT_EQ(e.Message(),
              "CatalogTable: Field not found. Table name = 'T', Field name = 'Nope'. - Native error: 00013");
  }
  EXPECT_FALSE(t.Active());
  EXPECT_FALSE(t.TableOpen());
  // An open dataset stays open with its fields.
  t.Open();
  EXPECT_THROW(t.SetFieldMapping({"Nope"}, {}, false), EEdbException);
  EXPECT_TRUE(t.Active());
  EXPECT_EQ(fieldNames(), (std::vector<std::string>{"Name", "Num", "Amount", "id"}));
  t.First();
  EXPECT_EQ(t.FieldByName("Name").AsString(), "alpha");
}

}  // namespace
