// Field objects of every type: values, conversions and their errors.

#include "VectorDataSet.h"

#include "toolkit/Errors.h"
#include "toolkit/FormatSettings.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tesvar::toolkit;
using namespace tesvar::toolkit::test;

namespace {

// A dataset with one field of the given type, in dsInsert on a fresh record.
struct OneField {
  VectorTable table;
  VectorDataSet ds{table};
  TField* field = nullptr;

  OneField(TFieldType Type, int32_t Size) {
    table.Defs = {{"F", Type, Size, false}};
    ds.Open();
    ds.Append();
    field = &ds.FieldByName("F");
  }
};

enum class Setter { Text, Integer, Float, DateTime, Boolean, Value };

struct Case {
  TFieldType type;
  int32_t size;
  Setter setter;
  TValue input;
  // Expected AsString after the write; nullptr when the write must raise.
  const char* text;
  // For raising writes: the exception's text.
  const char* error = nullptr;
};

void write(TField& f, Setter s, const TValue& v) {
  switch (s) {
    case Setter::Text: f.SetAsString(v.AsString()); break;
    case Setter::Integer: f.SetAsInteger(v.AsInteger()); break;
    case Setter::Float: f.SetAsFloat(v.AsFloat()); break;
    case Setter::DateTime: f.SetAsDateTime(v.AsDateTime()); break;
    case Setter::Boolean: f.SetAsBoolean(v.AsBoolean()); break;
    case Setter::Value: f.SetValue(v); break;
  }
}

const TDateTime kDay = EncodeDate(2024, 12, 31);
const TDateTime kMoment = EncodeDate(2024, 12, 31) + EncodeTime(23, 59, 58, 0);

}  // namespace

TEST(FieldConversions, EveryTypeConvertsAsDeclaredOrSaysWhyNot) {
  const Case cases[] = {
      // Strings keep their text, cut to the field's size; numbers are written as text.
      {ftString, 5, Setter::Text, TValue("hello world"), "hello"},
      {ftString, 5, Setter::Integer, TValue(42), "42"},
      {ftString, 8, Setter::Float, TValue(1.5), "1,5"},
      {ftString, 8, Setter::Boolean, TValue(true), "True"},
      {ftString, 20, Setter::DateTime, TValue::FromDateTime(kMoment), "31.12.2024 23:59:58"},
      {ftWideString, 8, Setter::Text, TValue("\xC4\xE8\xF1\xEA"), "\xC4\xE8\xF1\xEA"},
      {ftWideString, 4, Setter::Value, TValue(std::u16string(u"abc")), "ab"},
      // Integers check their type's range.
      {ftSmallint, 0, Setter::Text, TValue(" -32768 "), "-32768"},
      {ftSmallint, 0, Setter::Integer, TValue(40000), nullptr,
       "40000 is not a valid value for field 'F'. The allowed range is -32768 to 32767"},
      {ftWord, 0, Setter::Integer, TValue(-1), nullptr,
       "-1 is not a valid value for field 'F'. The allowed range is 0 to 65535"},
      {ftWord, 0, Setter::Float, TValue(2.5), "2"},
      {ftInteger, 0, Setter::Float, TValue(3.5), "4"},
      {ftInteger, 0, Setter::Text, TValue("12x"), nullptr, "'12x' is not a valid integer value"},
      {ftInteger, 0, Setter::Value, TValue("77"), "77"},
      {ftInteger, 0, Setter::Value, TValue::FromBytes({1}), nullptr,
       "Could not convert variant of type (Array Byte) into type (Int64)"},
      {ftAutoInc, 0, Setter::Integer, TValue(9), "9"},
      {ftLargeint, 0, Setter::Text, TValue("9007199254740993"), "9007199254740993"},
      {ftLargeint, 0, Setter::Float, TValue(1e19), nullptr,
       "1E19 is not a valid value for field 'F'. The allowed range is -9223372036854775808 to 9223372036854775807"},
      // Booleans: a leading part of True or False, in any case.
      {ftBoolean, 0, Setter::Text, TValue("tr"), "True"},
      {ftBoolean, 0, Setter::Text, TValue("FALSE"), "False"},
      {ftBoolean, 0, Setter::Text, TValue("maybe"), nullptr, "'maybe' is not a valid boolean value for field 'F'"},
      {ftBoolean, 0, Setter::Integer, TValue(2), "True"},
      {ftBoolean, 0, Setter::DateTime, TValue::FromDateTime(kDay), nullptr,
       "Cannot access field 'F' as type DateTime"},
      // Floating point.
      {ftFloat, 0, Setter::Text, TValue("2,25"), "2,25"},
      {ftFloat, 0, Setter::Text, TValue("2.25"), nullptr, "'2.25' is not a valid floating point value"},
      {ftCurrency, 0, Setter::Integer, TValue(3), "3"},
      {ftBCD, 0, Setter::Value, TValue(0.125), "0,125"},
      {ftFloat, 0, Setter::Boolean, TValue(true), nullptr, "Cannot access field 'F' as type Boolean"},
      // Dates and times.
      {ftDate, 0, Setter::DateTime, TValue::FromDateTime(kMoment), "31.12.2024"},
      {ftDate, 0, Setter::Text, TValue("1.2.03"), "01.02.2003"},
      {ftDate, 0, Setter::Text, TValue("31.02.2024"), nullptr, "'31.02.2024' is not a valid date and time"},
      {ftTime, 0, Setter::DateTime, TValue::FromDateTime(kMoment), "23:59:58"},
      {ftTime, 0, Setter::Text, TValue("7:05"), "07:05:00"},
      {ftDateTime, 0, Setter::Text, TValue("31.12.2024 23:59:58"), "31.12.2024 23:59:58"},
      {ftDateTime, 0, Setter::Float, TValue(kDay), "31.12.2024"},
      {ftDateTime, 0, Setter::Integer, TValue(1), nullptr, "Cannot access field 'F' as type Integer"},
      // Bytes: padded to the size; a longer value does not fit.
      {ftBytes, 3, Setter::Text, TValue("ab"), "ab"},
      {ftBytes, 3, Setter::Value, TValue::FromBytes({1, 2, 3, 4}), nullptr,
       "Value of 4 bytes does not fit field 'F' of 3 bytes"},
      // BLOBs go through the dataset's BLOB streams.
      {ftMemo, 0, Setter::Text, TValue("long text"), "long text"},
      {ftBlob, 0, Setter::Value, TValue::FromBytes({0x41, 0x42}), "AB"},
      {ftGraphic, 0, Setter::Integer, TValue(1), nullptr, "Cannot access field 'F' as type Integer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(FieldTypeName(c.type)) + " <- " + VarToStr(c.input));
    OneField f(c.type, c.size);
    if (c.text == nullptr) {
      try {
        write(*f.field, c.setter, c.input);
        ADD_FAILURE() << "the write did not raise";
      } catch (const tesvar::Exception& e) {
        EXPECT_EQ(e.Message(), c.error);
      }
      EXPECT_TRUE(f.field->IsNull()) << "a refused write leaves the value";
      continue;
    }
    write(*f.field, c.setter, c.input);
    EXPECT_FALSE(f.field->IsNull());
    const std::string Expected = c.type == ftBytes ? std::string("ab\0", 3) : std::string(c.text);
    EXPECT_EQ(f.field->AsString(), Expected);
    // The value survives a post and a fetch.
    f.ds.Post();
    EXPECT_EQ(f.field->AsString(), Expected);
  }
}

TEST(FieldConversions, ValuesRoundTripInTheirVariantType) {
  const struct {
    TFieldType type;
    int32_t size;
    TValue value;
    uint16_t varType;
  } cases[] = {
      {ftString, 10, TValue("abc"), varString},
      {ftWideString, 10, TValue(std::u16string(u"\u0416\u0443\u043a")), varOleStr},
      {ftSmallint, 0, TValue::FromInteger(-5, varSmallint), varSmallint},
      {ftWord, 0, TValue::FromInteger(65535, varWord), varWord},
      {ftInteger, 0, TValue(INT32_MIN), varInteger},
      {ftAutoInc, 0, TValue(17), varInteger},
      {ftLargeint, 0, TValue(int64_t{1} << 62), varInt64},
      {ftBoolean, 0, TValue(false), varBoolean},
      {ftFloat, 0, TValue(-0.1), varDouble},
      {ftCurrency, 0, TValue::FromCurrency(12.34), varCurrency},
      {ftBCD, 0, TValue(1e-9), varDouble},
      {ftDate, 0, TValue::FromDateTime(EncodeDate(1, 1, 1)), varDate},
      {ftTime, 0, TValue::FromDateTime(EncodeTime(12, 0, 0, 999)), varDate},
      {ftDateTime, 0, TValue::FromDateTime(EncodeDate(1899, 12, 29) - EncodeTime(6, 0, 0, 0)), varDate},
      {ftBytes, 2, TValue::FromBytes({0, 255}), varArray | varByte},
      {ftBlob, 0, TValue::FromBytes({0, 1, 0}), varArray | varByte},
      {ftMemo, 0, TValue("memo"), varString},
      {ftFmtMemo, 0, TValue("{\\rtf}"), varString},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(FieldTypeName(c.type));
    OneField f(c.type, c.size);
    EXPECT_TRUE(f.field->Value().IsNull());
    EXPECT_EQ(f.field->AsString(), "");
    f.field->SetValue(c.value);
    f.ds.Post();
    const TValue back = f.field->Value();
    EXPECT_EQ(back.VarType(), c.varType);
    EXPECT_TRUE(back == c.value) << VarToStr(back) << " vs " << VarToStr(c.value);
    f.ds.Edit();
    f.field->Clear();
    EXPECT_TRUE(f.field->IsNull());
    f.ds.Post();
    EXPECT_TRUE(f.field->Value().IsNull());
  }
}

TEST(FieldConversions, NullReadsAsEmptyAndZero) {
  OneField i(ftInteger, 0);
  EXPECT_EQ(i.field->AsInteger(), 0);
  EXPECT_EQ(i.field->AsString(), "");
  OneField s(ftString, 5);
  EXPECT_EQ(s.field->AsInteger(), 0);
  EXPECT_FALSE(s.field->AsBoolean());
  OneField d(ftDateTime, 0);
  EXPECT_EQ(d.field->AsDateTime(), 0.0);
  // Setting "" stores NULL for every type but strings.
  i.field->SetAsInteger(5);
  i.field->SetAsString("");
  EXPECT_TRUE(i.field->IsNull());
  s.field->SetAsString("");
  EXPECT_FALSE(s.field->IsNull());
}

TEST(FieldConversions, StringFieldsReadTheirTextAsOtherTypes) {
  OneField f(ftString, 30);
  f.field->SetAsString("12");
  EXPECT_EQ(f.field->AsInteger(), 12);
  EXPECT_EQ(f.field->AsFloat(), 12.0);
  EXPECT_TRUE(f.field->AsBoolean()) << "a text starting with 1";
  f.field->SetAsString("yes");
  EXPECT_TRUE(f.field->AsBoolean());
  f.field->SetAsString("no");
  EXPECT_FALSE(f.field->AsBoolean());
  EXPECT_THROW(f.field->AsInteger(), EConvertError);
  f.field->SetAsString("01.02.2003 04:05");
  EXPECT_EQ(f.field->AsDateTime(), EncodeDate(2003, 2, 1) + EncodeTime(4, 5, 0, 0));
}

TEST(FieldConversions, DisplayNamesAndBlobTexts) {
  OneField f(ftMemo, 0);
  EXPECT_EQ(f.field->DisplayLabel(), "F");
  f.field->SetDisplayLabel("Notes");
  EXPECT_EQ(f.field->DisplayName(), "Notes");
  EXPECT_EQ(f.field->DisplayText(), "(memo)");
  f.field->SetAsString("x");
  EXPECT_EQ(f.field->DisplayText(), "(MEMO)");
  EXPECT_EQ(f.field->Text(), "x");
  f.field->SetReadOnly(true);
  try {
    f.field->SetAsString("y");
    FAIL() << "write to a read-only BLOB field";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'Notes' cannot be modified");
  }
  EXPECT_EQ(f.field->AsString(), "x");
}

TEST(FieldConversions, ValidateSeesTheNewValueAndCanRefuseIt) {
  OneField f(ftInteger, 0);
  int32_t Seen = 0;
  f.field->OnValidate = [&](TField& field) {
    Seen = field.AsInteger();
    if (Seen < 0) throw EDatabaseError("negative");
  };
  f.field->SetAsInteger(5);
  EXPECT_EQ(Seen, 5);
  EXPECT_THROW(f.field->SetAsInteger(-1), EDatabaseError);
  EXPECT_EQ(Seen, -1);
  EXPECT_EQ(f.field->AsInteger(), 5);
  int Changes = 0;
  f.field->OnChange = [&](TField&) { ++Changes; };
  f.field->SetAsInteger(6);
  EXPECT_EQ(Changes, 1);
}

TEST(FieldConversions, TextFollowsTheFormatSettings) {
  ScopedFormatSettings us({'.', '/', ':', doMDY});
  OneField f(ftDateTime, 0);
  f.field->SetAsString("12/31/2024 08:00:00");
  EXPECT_EQ(f.field->AsString(), "12/31/2024 08:00:00");
  OneField g(ftFloat, 0);
  g.field->SetAsString("2.5");
  EXPECT_EQ(g.field->AsString(), "2.5");
}
