// Field-name lists and the stored codes of the field types.

#include "toolkit/FieldType.h"
#include "toolkit/TFieldDefs.h"

#include <gtest/gtest.h>

using namespace tesvar::toolkit;

TEST(FieldNameLists, SplitAtCommasAndSemicolonsTrimmingBlanks) {
  struct Case {
    const char* list;
    std::vector<std::string> names;
  } cases[] = {
      {"", {}},
      {"A", {"A"}},
      {" A , B;C ", {"A", "B", "C"}},
      {"A,,;B", {"A", "B"}},
      {";, ;", {}},
      {"Disk Name;Year", {"Disk Name", "Year"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitFieldNames(c.list), c.names) << c.list;
}

TEST(FieldTypes, OrdinalsAreTheStoredCodes) {
  EXPECT_EQ(ftString, 1);
  EXPECT_EQ(ftDateTime, 11);
  EXPECT_EQ(ftBytes, 12);
  EXPECT_EQ(ftAutoInc, 14);
  EXPECT_EQ(ftBlob, 15);
  EXPECT_EQ(ftFmtMemo, 18);
  EXPECT_EQ(ftWideString, 24);
  EXPECT_EQ(ftLargeint, 25);
  EXPECT_TRUE(IsBlobFieldType(ftMemo));
  EXPECT_FALSE(IsBlobFieldType(ftBytes));
  EXPECT_FALSE(IsBlobFieldType(ftTypedBinary));
}

TEST(IndexOptions, BitsAreTheStoredValues) {
  const TIndexOptions options = ixPrimary | ixCaseInsensitive;
  EXPECT_EQ(options.Bits(), 9);
  EXPECT_TRUE(options.Contains(ixPrimary));
  EXPECT_FALSE(options.Contains(ixDescending));
  EXPECT_EQ(TIndexOptions::FromBits(32).Contains(ixNonMaintained), true);
}

TEST(Definitions, FoundByNameInAnyLetterCase) {
  const TFieldDefs fields = {{"Title", ftString, 80, true}, {"\xC3\xEE\xE4", ftInteger, 0, false}};
  EXPECT_EQ(IndexOfFieldDef(fields, "TITLE"), 0);
  EXPECT_EQ(IndexOfFieldDef(fields, "\xE3\xEE\xE4"), 1) << "Cyrillic names compare without case too";
  EXPECT_EQ(IndexOfFieldDef(fields, "Titl"), -1);
  ASSERT_NE(FindFieldDef(fields, "title"), nullptr);
  EXPECT_EQ(FindFieldDef(fields, "title")->Size, 80);
  EXPECT_EQ(FindFieldDef(fields, ""), nullptr);
  const TIndexDefs indexes = {{"ID", "ID", "", "", ixPrimary}, {"IndexTree", "Year;Disk", "", "", {}}};
  EXPECT_EQ(IndexOfIndexDef(indexes, "indextree"), 1);
  EXPECT_EQ(FindIndexDef(indexes, "Tree"), nullptr);
}
