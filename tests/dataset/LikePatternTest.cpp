// LIKE patterns: the matcher gives what the recursive definition gives ("%" tried at every split
// of the rest of the text, "_" one character, other characters equal by the collation), over
// random short patterns and texts with and without case, and over patterns whose recursive
// matching would take exponential time. TESVAR_SEED=<n> repeats a run.

#include "FilterTestSupport.h"
#include "dataset/TLikePattern.h"

#include <gtest/gtest.h>

#include <random>

using namespace tesvar;
using namespace tesvar::dataset;
using namespace tesvar::filtertest;

namespace {

TEST(LikePattern, AgreesWithTheRecursiveDefinition) {
  const uint64_t seed = seedOr(std::random_device{}());
  SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed));
  std::cout << "LikePattern seed " << seed << "\n";
  std::mt19937_64 random(seed);
  const std::string letters = platform::ToAnsi("aAbяЯёЁ");
  const std::string patternLetters = letters + "%%__";
  auto draw = [&](const std::string& From, size_t Longest) {
    std::string s;
    const size_t length = random() % (Longest + 1);
    for (size_t i = 0; i < length; ++i) s += From[random() % From.size()];
    return s;
  };
  int matched = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string pattern = draw(patternLetters, 7);
    const std::string text = draw(letters, 8);
    const bool ci = random() % 2 == 0;
    const bool expected = referenceLike(pattern, text, ci);
    matched += expected ? 1 : 0;
    ASSERT_EQ(TAnsiLikePattern(pattern, ci).Matches(text), expected)
        << "pattern \"" << platform::FromAnsi(pattern) << "\", text \"" << platform::FromAnsi(text) << "\", "
        << (ci ? "without case" : "with case");
  }
  // Both outcomes occur often enough for the comparison to mean something.
  EXPECT_GT(matched, 200);
  EXPECT_LT(matched, 3800);
}

TEST(LikePattern, EdgeCases) {
  struct TCase {
    const char* Pattern;
    const char* Text;
    bool CaseInsensitive;
    bool Matches;
  };
  const TCase cases[] = {
      {"%", "", false, true},        {"%", "abc", false, true},     {"", "", false, true},
      {"", "a", false, false},       {"_", "", false, false},       {"_", "a", false, true},
      {"a%", "a", false, true},      {"%a", "ba", false, true},     {"%a", "ab", false, false},
      {"a_c", "abc", false, true},   {"a_c", "ac", false, false},   {"%%b%%", "aab", false, true},
      {"A%", "abc", false, false},   {"A%", "abc", true, true},     {"%b_", "abab", false, false}, {"%b_", "abba", false, true},
      {"ab", "abc", false, false},   {"a%b%c", "axbxcx", false, false}, {"a%b%c", "axbxc", false, true},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(TAnsiLikePattern(c.Pattern, c.CaseInsensitive).Matches(c.Text), c.Matches)
        << c.Pattern << " / " << c.Text;
}

TEST(LikePattern, PatternsWithManyPercentsOverLongTexts) {
  const std::string pattern = "%a%a%a%a%a%a%a%a%a%a%a%a%b";
  const std::string many(20000, 'a');
  EXPECT_FALSE(TAnsiLikePattern(pattern, false).Matches(many));
  EXPECT_TRUE(TAnsiLikePattern(pattern, false).Matches(many + "b"));
  EXPECT_TRUE(TAnsiLikePattern(pattern, true).Matches(many + "B"));
  EXPECT_FALSE(TWideLikePattern(u"%a%a%a%a%a%a%a%a%b", false).Matches(std::u16string(3000, u'a')));
  EXPECT_TRUE(TWideLikePattern(u"%a%a%a%a%a%a%a%a%b", true).Matches(std::u16string(3000, u'a') + u"B"));

  // Through a filter over a table of long titles.
  TFilterTables tables({{"ID", ftAutoInc}, {"Title", ftString, 200}});
  for (const std::string& title : {std::string(199, 'a'), std::string(198, 'a') + "b"}) {
    for (TEdbDataManager* table : {&tables.Indexed(), &tables.Plain()}) {
      std::vector<uint8_t> r = table->NewRecordBuffer();
      std::memcpy(r.data(), title.c_str(), title.size() + 1);
      r[static_cast<size_t>(table->DataSize() + 4)] &= 0xFE;
      table->edInsertRecord(r.data(), 0);
    }
  }
  tables.ExpectSelects("Title like '" + pattern + "'", {}, {2});
  tables.ExpectSelects("Title not like '" + pattern + "'", {}, {1});
}

}  // namespace
