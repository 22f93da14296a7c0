#include "platform/AnsiCase.h"

#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

using namespace tesvar::platform;

namespace {

// Every upper/lower letter pair of Windows-1251; every other byte must fold to itself.
std::map<int, int> letterPairs() {
  std::map<int, int> pairs;
  for (int i = 0; i < 26; ++i) pairs['A' + i] = 'a' + i;
  for (int i = 0; i < 32; ++i) pairs[0xC0 + i] = 0xE0 + i;
  const int extra[][2] = {{0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D},
                          {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC}, {0xA5, 0xB4},
                          {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
  for (const auto& p : extra) pairs[p[0]] = p[1];
  return pairs;
}

}  // namespace

// The engine starts with built-in Windows-1251 tables; the converter library's data for that code
// page (under another of its names, so that the tables are built from it) must give the same.
class AnsiCaseWindows1251 : public testing::TestWithParam<const char*> {};

TEST_P(AnsiCaseWindows1251, EveryByteFoldsByTheCodePageTable) {
  std::optional<ScopedEngineCodePage> codePage;
  if (*GetParam()) codePage.emplace(GetParam());
  const auto pairs = letterPairs();
  std::map<int, int> upperOf;
  for (const auto& [up, low] : pairs) upperOf[low] = up;
  for (int c = 0; c < 256; ++c) {
    const auto b = static_cast<uint8_t>(c);
    const int expectLower = pairs.count(c) ? pairs.at(c) : c;
    const int expectUpper = upperOf.count(c) ? upperOf.at(c) : c;
    EXPECT_EQ(AnsiLowerChar(b), expectLower) << "byte 0x" << std::hex << c;
    EXPECT_EQ(AnsiUpperChar(b), expectUpper) << "byte 0x" << std::hex << c;
  }
}

INSTANTIATE_TEST_SUITE_P(Tables, AnsiCaseWindows1251, testing::Values("", "cp1251"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(*info.param ? "FromConverterData" : "BuiltIn");
                         });

TEST(AnsiCase, FoldingFollowsTheEngineCodePage) {
  // KOI8-R puts the Cyrillic letters elsewhere: "ПАПКА" / "папка" is F0 E1 F0 EB E1 / D0 C1 D0 CB C1.
  {
    ScopedEngineCodePage koi8("koi8-r");
    EXPECT_EQ(AnsiLowerCase("\xF0\xE1\xF0\xEB\xE1"), "\xD0\xC1\xD0\xCB\xC1");
    EXPECT_EQ(AnsiUpperChar(0xA3), 0xB3);  // ё / Ё
    EXPECT_EQ(AnsiLowerChar(0xC0), 0xC0);  // ю is small already; in Windows-1251 0xC0 is А
    EXPECT_TRUE(AnsiSameText("\xF0\xE1\xF0\xEB\xE1", "\xD0\xC1\xD0\xCB\xC1"));
  }
  // Restored: Windows-1251 again.
  EXPECT_EQ(AnsiLowerChar(0xC0), 0xE0);
  {
    // Western European: Ä/ä 0xC4/0xE4, Š/š 0x8A/0x9A, Ÿ/ÿ 0x9F/0xFF; µ and ß have no partner in it.
    ScopedEngineCodePage western("windows-1252");
    EXPECT_EQ(AnsiLowerChar(0xC4), 0xE4);
    EXPECT_EQ(AnsiUpperChar(0x9A), 0x8A);
    EXPECT_EQ(AnsiUpperChar(0xFF), 0x9F);
    EXPECT_EQ(AnsiUpperChar(0xB5), 0xB5);
    EXPECT_EQ(AnsiUpperChar(0xDF), 0xDF);
  }
}

TEST(AnsiCase, StringsAndComparison) {
  // "Таблица.BDF" / "тАБЛИЦА.bdf" in Windows-1251; "Ёлка" / "ёЛКА".
  const std::string mixed = "\xD2\xE0\xE1\xEB\xE8\xF6\xE0.BDF";
  const std::string other = "\xF2\xC0\xC1\xCB\xC8\xD6\xC0.bdf";
  EXPECT_EQ(AnsiLowerCase(mixed), "\xF2\xE0\xE1\xEB\xE8\xF6\xE0.bdf");
  EXPECT_EQ(AnsiUpperCase(mixed), "\xD2\xC0\xC1\xCB\xC8\xD6\xC0.BDF");
  EXPECT_TRUE(AnsiSameText(mixed, other));
  EXPECT_EQ(AnsiCompareTextCI(mixed, other), 0);
  EXPECT_TRUE(AnsiSameText("\xA8\xEB\xEA\xE0", "\xB8\xCB\xCA\xC0"));

  struct Case {
    std::string a, b;
    int sign;
  } cases[] = {
      {"abc", "ABD", -1}, {"ABD", "abc", 1}, {"ab", "ABC", -1}, {"", "", 0},
      {"x", "", 1},       {"\xE0", "\xDF", -1},  // а before Я
  };
  for (const auto& c : cases) {
    const int r = AnsiCompareTextCI(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    EXPECT_EQ(AnsiSameText(c.a, c.b), c.sign == 0) << c.a << " vs " << c.b;
  }
}

TEST(AnsiCase, AsciiFoldingLeavesCyrillicAlone) {
  EXPECT_EQ(AsciiLowerCase("C:\\DB\\\xD2\xE0\xE1.EDB"), "c:\\db\\\xD2\xE0\xE1.edb");
  EXPECT_TRUE(AsciiSameText("Catalog.EDB", "catalog.edb"));
  EXPECT_FALSE(AsciiSameText("\xD2.edb", "\xF2.edb"));
  EXPECT_FALSE(AsciiSameText("a.edb", "a.edb "));
}
