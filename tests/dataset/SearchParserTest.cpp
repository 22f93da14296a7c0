// The filter language: the messages of malformed expressions (and that a failed compile keeps the
// expression in force), the NULL rules, partial string comparison and its final "*", case-
// insensitive Cyrillic, names in square brackets, keywords without blanks, and the precedence of
// not / and / or with brackets. Every case is evaluated through the automatic indexes, by testing
// every record, and one record at a time.

#include "FilterTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

using namespace tesvar;
using namespace tesvar::filtertest;
using tesvar::testsupport::messageOf;

namespace {

const TFilterOptions kPlain{};
const TFilterOptions kCaseInsensitive{foCaseInsensitive};
const TFilterOptions kWhole{foNoPartialCompare};
const TFilterOptions kCaseInsensitiveWhole{foCaseInsensitive, foNoPartialCompare};

class SearchParser : public ::testing::Test {
protected:
  TFilterTables Tables;
};

TEST_F(SearchParser, MalformedExpressionsGiveTheirMessages) {
  struct TCase {
    const char* Text;
    const char* Message;
  };
  const TCase cases[] = {
      {"Year = 5  ", "End of line expected, but \"  \" found"},
      {"Title = 'x'  ", "End of line expected, but \"  \" found"},
      {"Year = 5 xyz", "End of line expected, but \" xyz\" found"},
      {"(Year = 5", "Closing bracket \")\" expected, but \"\" found"},
      // The closing quote of a string that ends the text stays the current character.
      {"(Year = 5 or Title = 'a'", "Closing bracket \")\" expected, but \"'\" found"},
      {"[Title = 'a'", "Closing square bracket \"]\" expected, but not found in \"Title = 'a'\""},
      {"[  ] = 1", "Invalid field name \"  \""},
      {"Year 5", "Operator expected, but \" 5\"  found"},
      {"Year == 5", "Number expected, but \"= 5\"  found"},
      {"Year = ", "Number expected, but \"\"  found"},
      {"Title = 'abc", "Unterminated string abc'abc"},
      {"Title = \"a\"\"b", "Unterminated string a\"b\"a\"\"b"},
      {"Flag = tru", "Unexpected meet of \"tru\"  found"},
      {"Nope = 1", "Error in TEdbDataManager.InternalGetFieldNo - field \"Nope\" not found!"},
      {"Year = 5 or", "Error in TEdbDataManager.InternalGetFieldNo - field \"\" not found!"},
      {"Year like '1%'", "Error in TEdbDataSet.PrepareValueBuffer - 'like / not like' operation call with not string field!"},
      {"ID not like '1'", "Error in TEdbDataSet.PrepareValueBuffer - 'like / not like' operation call with not string field!"},
      {"Year = 'x'", "'x' is not a valid integer value"},
  };
  for (const TCase& c : cases) {
    TSearchParser parser(&Tables.Indexed());
    EXPECT_EQ(messageOf([&] { parser.SetExpression(c.Text); }), c.Message) << c.Text;
  }
  // One trailing character is accepted.
  for (const char* text : {"Year = 5 ", "Title = 'x' ", "Title = 'x'", "(Year = 5)"}) {
    TSearchParser parser(&Tables.Indexed());
    EXPECT_EQ(messageOf([&] { parser.SetExpression(text); }), "(no exception)") << text;
  }
}

TEST_F(SearchParser, AFailedCompileKeepsTheExpressionInForce) {
  const int32_t one = Tables.Insert({.Title = "a", .Year = 1});
  Tables.Insert({.Title = "b", .Year = 2});
  TSearchParser parser(&Tables.Indexed());
  EXPECT_EQ(messageOf([&] { (void)parser.Parse(); }), "TSearchParser.Parse - Expression is blank.");
  parser.SetExpression("Year = 1");
  EXPECT_EQ(messageOf([&] { parser.SetExpression("Year = 1 and (Title = 'b'"); }),
            "Closing bracket \")\" expected, but \"'\" found");
  EXPECT_EQ(parser.Expression(), "Year = 1");
  ASSERT_EQ(parser.TokenCount(), 1);
  const TBitsArray& bits = parser.Parse();
  ASSERT_EQ(bits.Count(), 2);
  EXPECT_EQ(Tables.IdOf(Tables.Indexed(), 0) == one, bits.Items(0));
  EXPECT_EQ(bits.CountSet(), 1);
  // A blank text compiles to nothing: Parse refuses, a record never matches.
  parser.SetExpression("   ");
  EXPECT_EQ(parser.TokenCount(), 0);
  EXPECT_EQ(messageOf([&] { (void)parser.Parse(); }), "TSearchParser.Parse - Expression is blank.");
  EXPECT_FALSE(parser.IsRecordMatches(Tables.Indexed().GetRecord(0)));
  // Without a table nothing compiles.
  TSearchParser orphan;
  EXPECT_EQ(messageOf([&] { orphan.SetExpression("Year = 1"); }), "TSearchParser - no table.");
}

TEST_F(SearchParser, BracketsAroundOneConditionGiveThatCondition) {
  TSearchParser parser(&Tables.Indexed());
  parser.SetExpression("((Year = 1))");
  ASSERT_EQ(parser.TokenCount(), 1);
  EXPECT_EQ(parser.Token(0).Kind, skCondition);
  parser.SetExpression("(not Year = 1) and Flag = true");
  std::vector<uint8_t> kinds;
  for (int32_t i = 0; i < parser.TokenCount(); ++i) kinds.push_back(parser.Token(i).Kind);
  EXPECT_EQ(kinds, (std::vector<uint8_t>{skOpenBracket, skNot, skCondition, skCloseBracket, skAnd, skCondition}));
  const TSearchOperation& year = parser.Token(2);
  EXPECT_EQ(year.FieldName, "Year");
  EXPECT_EQ(year.FieldNo, fYear);
  EXPECT_EQ(year.Operation, soEqual);
  EXPECT_EQ(year.PartialCompare, 0);
  parser.SetExpression("[ID] IS NOT NULL");
  EXPECT_EQ(parser.Token(0).FieldNo, -1);
  EXPECT_EQ(parser.Token(0).Operation, soNotEqual);
}

class SearchParserRows : public SearchParser {
protected:
  void SetUp() override {
    Ab = Tables.Insert({.Title = "Ab", .Year = 1, .Born = dayOf(2005, 1, 1), .Flag = true, .Price = 1.5});
    Abc = Tables.Insert({.Title = "Abc", .Year = 2, .Born = dayOf(2005, 6, 1), .Flag = false, .Price = 2.5});
    Abz = Tables.Insert({.Title = "Abz", .Year = 3, .Flag = true});
    ab = Tables.Insert({.Title = "ab", .Year = 4, .Born = dayOf(2006, 1, 1), .Price = -1});
    Hedgehog = Tables.Insert({.Title = "Ёжик", .Flag = false, .Wide = "Ёжик"});
    hedgehog = Tables.Insert({.Title = "ёЖ", .Year = 2, .Wide = "ёж"});
    Null = Tables.Insert({});
  }
  int32_t Ab, Abc, Abz, ab, Hedgehog, hedgehog, Null;
};

TEST_F(SearchParserRows, PartialComparesLookAtTheLeadingCharacters) {
  Tables.ExpectSelects("Title = 'Ab'", kPlain, {Ab, Abc, Abz});
  Tables.ExpectSelects("Title = 'Ab'", kWhole, {Ab});
  Tables.ExpectSelects("Title = 'ab'", kCaseInsensitive, {Ab, Abc, Abz, ab});
  Tables.ExpectSelects("Title = 'ab'", kCaseInsensitiveWhole, {Ab, ab});
  // The tests' collation (ru_RU) puts Cyrillic before Latin and a lower-case letter before its
  // upper case.
  Tables.ExpectSelects("Title > 'Ab'", kPlain, {});
  Tables.ExpectSelects("Title > 'Ab'", kWhole, {Abc, Abz});
  Tables.ExpectSelects("Title <= 'Abc'", kPlain, {Ab, Abc, ab, Hedgehog, hedgehog, Null});
  Tables.ExpectSelects("Title <= 'Abc'", kWhole, {Ab, Abc, ab, Hedgehog, hedgehog, Null});
  Tables.ExpectSelects("Title < 'Ab'", kPlain, {ab, Hedgehog, hedgehog, Null});
  Tables.ExpectSelects("Title >= 'AB'", kCaseInsensitive, {Ab, Abc, Abz, ab});
  // A final "*" is dropped from the value unless comparisons are whole.
  Tables.ExpectSelects("Title = \"Ab*\"", kPlain, {Ab, Abc, Abz});
  Tables.ExpectSelects("Title = 'Ab*'", kWhole, {});
  // A number is no string: the whole text is compared.
  Tables.ExpectSelects("Title = 5", kPlain, {});
}

TEST_F(SearchParserRows, NullRules) {
  // The empty string stands for NULL, whole comparisons or not.
  Tables.ExpectSelects("Title = ''", kPlain, {Null});
  Tables.ExpectSelects("Title = ''", kWhole, {Null});
  Tables.ExpectSelects("Title <> \"\"", kPlain, {Ab, Abc, Abz, ab, Hedgehog, hedgehog});
  Tables.ExpectSelects("Year is null", kPlain, {Hedgehog, Null});
  Tables.ExpectSelects("Year Is Not Null", kPlain, {Ab, Abc, Abz, ab, hedgehog});
  // NULL is below every value.
  Tables.ExpectSelects("Year < 3", kPlain, {Ab, Abc, hedgehog, Hedgehog, Null});
  Tables.ExpectSelects("Year > 3", kPlain, {ab});
  Tables.ExpectSelects("Year <> 2", kPlain, {Ab, Abz, ab, Hedgehog, Null});
  Tables.ExpectSelects("not Year < 3", kPlain, {Abz, ab});
  // LIKE and NOT LIKE never hold for NULL; their negation does.
  Tables.ExpectSelects("Title like '%'", kPlain, {Ab, Abc, Abz, ab, Hedgehog, hedgehog});
  Tables.ExpectSelects("Title not like 'A%'", kPlain, {ab, Hedgehog, hedgehog});
  Tables.ExpectSelects("not Title like 'A%'", kPlain, {ab, Hedgehog, hedgehog, Null});
  // The record ID is never NULL.
  Tables.ExpectSelects("ID is null", kPlain, {});
  Tables.ExpectSelects("ID is not null", kPlain, {Ab, Abc, Abz, ab, Hedgehog, hedgehog, Null});
}

TEST_F(SearchParserRows, TypedValues) {
  Tables.ExpectSelects("Flag = true", kPlain, {Ab, Abz});
  Tables.ExpectSelects("Flag < TRUE", kPlain, {Abc, Hedgehog, ab, hedgehog, Null});
  Tables.ExpectSelects("Born >= '01.06.2005'", kPlain, {Abc, ab});
  Tables.ExpectSelects("Born = \"1.1.2005\"", kPlain, {Ab});
  Tables.ExpectSelects("Price > 1,5", kPlain, {Abc});
  Tables.ExpectSelects("Price < -0,5", kPlain, {ab, Abz, Hedgehog, hedgehog, Null});
  Tables.ExpectSelects("ID >= " + std::to_string(ab), kPlain, {ab, Hedgehog, hedgehog, Null});
  Tables.ExpectSelects("ID = +" + std::to_string(Abc), kPlain, {Abc});
}

TEST_F(SearchParserRows, CyrillicCompareAndMatchWithoutCase) {
  const std::string ansi = platform::ToAnsi("Title = 'ёж'");
  Tables.ExpectSelects(ansi, kPlain, {});
  Tables.ExpectSelects(ansi, kCaseInsensitive, {Hedgehog, hedgehog});
  Tables.ExpectSelects(ansi, kCaseInsensitiveWhole, {hedgehog});
  Tables.ExpectSelects(platform::ToAnsi("Title like '%Ж%'"), kPlain, {hedgehog});
  Tables.ExpectSelects(platform::ToAnsi("Title like '%Ж%'"), kCaseInsensitive, {Hedgehog, hedgehog});
  Tables.ExpectSelects(platform::ToAnsi("Title like 'ё_'"), kCaseInsensitive, {hedgehog});
  Tables.ExpectSelects(platform::ToAnsi("Title not like 'Ё%'"), kCaseInsensitive, {Ab, Abc, Abz, ab});
  // Wide strings by the locale's collator.
  Tables.ExpectSelects(platform::ToAnsi("Wide = 'ЁЖ'"), kCaseInsensitive, {Hedgehog, hedgehog});
  Tables.ExpectSelects(platform::ToAnsi("Wide = 'ЁЖ'"), kCaseInsensitiveWhole, {hedgehog});
  Tables.ExpectSelects(platform::ToAnsi("Wide like '%ИК'"), kCaseInsensitive, {Hedgehog});
  Tables.ExpectSelects(platform::ToAnsi("Wide like '%ИК'"), kPlain, {});
  Tables.ExpectSelects("Wide is null", kPlain, {Ab, Abc, Abz, ab, Null});
}

TEST_F(SearchParserRows, KeywordsNeedNoBlanksAndPrecedenceIsNotAndOr) {
  Tables.ExpectSelects("Year=2and Title='Ab'", kPlain, {Abc});
  Tables.ExpectSelects("Year=1or(Year=4)AND Flag is null", kPlain, {Ab, ab});
  Tables.ExpectSelects("(Year = 1 or Year = 2) and Flag = true", kPlain, {Ab});
  Tables.ExpectSelects("Year = 1 or Year = 2 and Flag = true", kPlain, {Ab});
  Tables.ExpectSelects("Year = 2 and Flag = false or Year = 4", kPlain, {Abc, ab});
  Tables.ExpectSelects("Year = 2 and (Flag = false or Year = 4)", kPlain, {Abc});
  Tables.ExpectSelects("not Year = 2 and not Year = 1", kPlain, {Abz, ab, Hedgehog, Null});
  Tables.ExpectSelects("not (Year = 2 or Year = 1)", kPlain, {Abz, ab, Hedgehog, Null});
  Tables.ExpectSelects("NOT NOT Year = 3", kPlain, {Abz});
  Tables.ExpectSelects("title = 'Abz' OR TITLE = 'ab'", kWhole, {Abz, ab});
}

TEST(SearchParserNames, NamesWithBlanksOrCyrillicNeedBrackets) {
  const std::string year = platform::ToAnsi("Год выпуска");
  TFilterTables tables({{"ID", ftAutoInc}, {year, ftInteger}, {"Notes", ftMemo}});
  TEdbDataManager& table = tables.Indexed();
  for (int32_t value : {2004, 2005}) {
    std::vector<uint8_t> r = table.NewRecordBuffer();
    std::memcpy(r.data() + table.FieldOffset(0), &value, 4);
    r[static_cast<size_t>(table.DataSize() + 4)] &= 0xFE;
    std::vector<uint8_t> copy = r;
    table.edInsertRecord(r.data(), 0);
    tables.Plain().edInsertRecord(copy.data(), 0);
  }
  tables.ExpectSelects("[" + year + "] = 2005", kPlain, {2});
  tables.ExpectSelects("[ " + year + " ]>=2004and[" + year + "]<2005", kPlain, {1});
  TSearchParser parser(&table);
  EXPECT_EQ(messageOf([&] { parser.SetExpression(year + " = 2005"); }),
            "Error in TEdbDataManager.InternalGetFieldNo - field \"\" not found!");
  EXPECT_EQ(messageOf([&] { parser.SetExpression("[Notes] = 'x'"); }),
            "Error in TEdbDataSet.PrepareValueBuffer - unsupported field type!");
  // A keyword needs no blank after it: "not" starts "Notes".
  EXPECT_EQ(messageOf([&] { parser.SetExpression("Notes is null"); }),
            "Error in TEdbDataManager.InternalGetFieldNo - field \"es\" not found!");
  parser.SetExpression("[Notes] is null");
  EXPECT_EQ(parser.Parse().CountSet(), 2);
}

}  // namespace
