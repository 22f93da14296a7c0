// Parameter lists and the variant value they carry.

#include "toolkit/Errors.h"
#include "toolkit/TParams.h"
#include "toolkit/TValue.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tesvar::toolkit;

TEST(Params, ParseSqlFindsNamesOutsideQuotedText) {
  const struct {
    const char* sql;
    std::vector<std::string> names;
  } cases[] = {
      {"select * from CDCatalog where Year = :Year and Disk = :Disk", {"Year", "Disk"}},
      {"where A = :a or B = :A", {"a"}},
      {"where Title = ':NotAParam' and Path = \"x:y\" and N = :n1", {"n1"}},
      {"where T = 'it''s :q' and U = :u", {"u"}},
      {"select a::int, b from t where c=:c_2", {"c_2"}},
      {"where d = :\"Disk Name\"", {"Disk Name"}},
      {"where x = 1", {}},
      {"where t = 12:30 and u=:u", {"u"}},
      {"where g = :\xC3\xF0\xF3\xEF\xEF\xE0", {"\xC3\xF0\xF3\xEF\xEF\xE0"}},
  };
  for (const auto& c : cases) {
    TParams p;
    p.CreateParam(ftString, "stale", ptInput);
    EXPECT_EQ(p.ParseSQL(c.sql, true), c.sql);
    std::vector<std::string> names;
    for (int32_t i = 0; i < p.Count(); ++i) {
      names.push_back(p[i].Name());
      EXPECT_EQ(p[i].ParamType(), ptInput);
      EXPECT_EQ(p[i].DataType(), ftUnknown);
      EXPECT_FALSE(p[i].Bound());
    }
    EXPECT_EQ(names, c.names) << c.sql;
  }
  TParams kept;
  kept.CreateParam(ftInteger, "keep", ptInput);
  kept.ParseSQL("where a = :a", false);
  ASSERT_EQ(kept.Count(), 1) << "without DoCreate the list stays";
  EXPECT_EQ(kept[0].Name(), "keep");
}

TEST(Params, SettersTypeTheParameterAndGettersConvert) {
  TParams p;
  TParam& year = p.CreateParam(ftUnknown, "Year", ptInput);
  EXPECT_TRUE(year.IsNull());
  EXPECT_EQ(year.AsInteger(), 0);
  EXPECT_EQ(year.AsString(), "");
  year.SetAsInteger(2024);
  EXPECT_EQ(year.DataType(), ftInteger);
  EXPECT_TRUE(year.Bound());
  EXPECT_EQ(year.AsString(), "2024");
  year.SetAsString("1999");
  EXPECT_EQ(year.DataType(), ftString);
  EXPECT_EQ(year.AsInteger(), 1999);
  year.SetAsString("abc");
  EXPECT_THROW(year.AsInteger(), EVariantTypeCastError);
  TParam& when = p.CreateParam(ftUnknown, "When", ptInput);
  when.SetValue(TValue::FromDateTime(EncodeDate(2024, 1, 2)));
  EXPECT_EQ(when.DataType(), ftDateTime);
  EXPECT_EQ(when.AsString(), "02.01.2024");
  TParam& typed = p.CreateParam(ftFloat, "F", ptInput);
  typed.SetValue(TValue(3));
  EXPECT_EQ(typed.DataType(), ftFloat) << "a type already set stays";
  EXPECT_EQ(typed.AsFloat(), 3.0);
  typed.Clear();
  EXPECT_TRUE(typed.IsNull());
  EXPECT_TRUE(typed.Bound());
}

TEST(Params, LookupAssignAndValueCopy) {
  TParams p;
  p.CreateParam(ftUnknown, "Disk", ptInput).SetAsString("CD1");
  p.CreateParam(ftUnknown, "Year", ptInput).SetAsInteger(2001);
  EXPECT_EQ(&p.ParamByName("disk"), &p[0]);
  EXPECT_EQ(p.FindParam("Title"), nullptr);
  try {
    p.ParamByName("Title");
    FAIL() << "unknown parameter";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Parameter 'Title' not found");
  }
  const TValue both = p.ParamValues("Disk; Year");
  ASSERT_EQ(both.ItemCount(), 2);
  EXPECT_EQ(both.Item(1).AsInteger(), 2001);
  EXPECT_THROW(p[2], EDatabaseError);

  TParams copy(p);
  EXPECT_TRUE(copy.IsEqual(p));
  copy[0].SetAsString("CD2");
  EXPECT_FALSE(copy.IsEqual(p));
  EXPECT_EQ(p[0].AsString(), "CD1") << "a copy owns its own parameters";

  // Rebuilt from a new text, the parameters that persist keep their values.
  TParams fresh;
  fresh.ParseSQL("where Year = :YEAR and Group = :Group", true);
  fresh.AssignValues(p);
  EXPECT_EQ(fresh.ParamByName("Year").AsInteger(), 2001);
  EXPECT_TRUE(fresh.ParamByName("Year").Bound());
  EXPECT_TRUE(fresh.ParamByName("Group").IsNull());
  EXPECT_FALSE(fresh.ParamByName("Group").Bound());
}

TEST(Values, ConvertBetweenTypesOrNameBoth) {
  EXPECT_EQ(TValue("12").AsInteger(), 12);
  EXPECT_EQ(TValue("2,5").AsFloat(), 2.5);
  EXPECT_EQ(TValue(2.5).AsInteger(), 2) << "halves to even";
  EXPECT_EQ(TValue(3.5).AsInteger(), 4);
  EXPECT_EQ(TValue(true).AsInteger(), 1);
  EXPECT_EQ(TValue(1.5).AsString(), "1,5");
  EXPECT_EQ(TValue(int64_t{5}).AsBoolean(), true);
  EXPECT_EQ(VarToStr(TValue()), "");
  const struct {
    TValue value;
    std::function<void(const TValue&)> convert;
    const char* message;
  } errors[] = {
      {TValue(), [](const TValue& v) { (void)v.AsInteger(); },
       "Could not convert variant of type (Null) into type (Integer)"},
      {TValue(int64_t{1} << 40), [](const TValue& v) { (void)v.AsInteger(); },
       "Overflow while converting variant of type (Int64) into type (Integer)"},
      {TValue("x"), [](const TValue& v) { (void)v.AsFloat(); },
       "Could not convert variant of type (String) into type (Double)"},
      {TValue(1), [](const TValue& v) { (void)v.Item(0); },
       "Could not convert variant of type (Integer) into type (Array Variant)"},
      {TValue::FromArray({TValue(1)}), [](const TValue& v) { (void)v.Item(1); }, "Variant array index 1 out of bounds"},
  };
  for (const auto& e : errors) {
    try {
      e.convert(e.value);
      ADD_FAILURE() << e.message;
    } catch (const EVariantError& x) {
      EXPECT_STREQ(x.what(), e.message);
    }
  }
  EXPECT_THROW(TValue::FromInteger(256, varByte), EVariantOverflowError);
}
