// The directory's name index under the string collation: its order, and lookups of every
// spelling of a name, whatever the locale.

#include "container/TDIRArray.h"
#include "platform/AnsiCase.h"
#include "platform/AnsiCollation.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace tesvar::container {
namespace {

TDirItem Named(const std::string& Name, int32_t Parent = kRootDirectoryID) {
  TDirItem Item;
  Item.FileName = Name;
  Item.ParentID = Parent;
  return Item;
}

std::vector<std::string> NamesInIndex(const TDIRArray& Array) {
  std::vector<std::string> Names;
  for (int32_t Id : Array.NameIndex()) Names.push_back(Array.ReadItem(Id).FileName);
  return Names;
}

TEST(DIRArrayCollationTest, NameIndexFollowsTheLocale) {
  // "яблоко", "Банан", "apple", "ёлка", "Елка", "ель"
  const std::vector<std::string> Names = {"\xFF\xE1\xEB\xEE\xEA\xEE", "\xC1\xE0\xED\xE0\xED", "apple",
                                          "\xB8\xEB\xEA\xE0",         "\xC5\xEB\xEA\xE0",     "\xE5\xEB\xFC"};
  auto Indexed = [&Names](const char* Locale) {
    platform::ScopedEngineCollation Collation(Locale);
    TDIRArray Array(7);
    for (const std::string& Name : Names) Array.AddItem(Named(Name));
    for (size_t I = 0; I < Names.size(); ++I) {
      EXPECT_EQ(Array.FindChild(kRootDirectoryID, platform::AnsiUpperCase(Names[I])), static_cast<int32_t>(I)) << Locale;
      EXPECT_EQ(Array.FindChild(kRootDirectoryID, platform::AnsiLowerCase(Names[I])), static_cast<int32_t>(I)) << Locale;
    }
    return NamesInIndex(Array);
  };
  // Russian: the Cyrillic alphabet with ё after е, before Latin; Елка < ель ignoring case.
  EXPECT_EQ(Indexed("ru_RU"), (std::vector<std::string>{Names[1], Names[4], Names[5], Names[3], Names[0], Names[2]}));
  // English: Latin first, the same Cyrillic order.
  EXPECT_EQ(Indexed("en_US"), (std::vector<std::string>{Names[2], Names[1], Names[4], Names[5], Names[3], Names[0]}));
}

TEST(DIRArrayCollationTest, TurkishNamesAreTheSameNameOnlyWhenTheyAreIgnoringCase) {
  // Over Windows-1251 the Turkish case maps miss ч / Ч and join э with I: "ч" and "Ч" are still
  // one name, "э" and "I" two.
  platform::ScopedEngineCollation Turkish("tr_TR");
  ASSERT_TRUE(platform::EngineCollation().Turkish());
  TDIRArray Array(7);
  const int32_t Che = Array.AddItem(Named("\xF7.dat"));
  const int32_t E = Array.AddItem(Named("\xFD.dat"));
  const int32_t I = Array.AddItem(Named("I.dat"));
  Array.AddItem(Named("h.dat"));
  Array.AddItem(Named("\xD7\xD7.dat"));
  EXPECT_EQ(Array.FindChild(kRootDirectoryID, "\xD7.dat"), Che);
  EXPECT_EQ(Array.FindChild(kRootDirectoryID, "\xF7.DAT"), Che);
  EXPECT_EQ(Array.FindChild(kRootDirectoryID, "\xFD.dat"), E);
  EXPECT_EQ(Array.FindChild(kRootDirectoryID, "\xDD.dat"), E);  // Э
  EXPECT_EQ(Array.FindChild(kRootDirectoryID, "I.dat"), I);
  EXPECT_EQ(Array.FindChild(kRootDirectoryID, "i.DAT"), I);
  EXPECT_EQ(Array.FindChild(kRootDirectoryID, "\xF7\xF7.dat"), 4);
}

// Random adds, renames, moves and deletes against a model keyed by the lower-cased name; after
// every step each live name is found under random spellings, and names not there are not.
class DIRArrayCollationModel : public testing::TestWithParam<std::pair<const char*, bool>> {};

TEST_P(DIRArrayCollationModel, EverySpellingOfEveryNameIsFound) {
  const platform::TAnsiCollation Collation(GetParam().first, GetParam().second);
  platform::ScopedEngineCollation InForce(Collation);
  const unsigned Seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(Seed));
  std::mt19937 Random(Seed);
  // а А е Е ё Ё ж Ж ч Ч э Э я Я, Latin, digits, punctuation
  const std::string Alphabet = "\xE0\xC0\xE5\xC5\xB8\xA8\xE6\xC6\xF7\xD7\xFD\xDD\xFF\xDF" "aAiIzZ09 -_.";
  auto RandomName = [&] {
    std::string Name(1 + Random() % 3, ' ');
    for (char& C : Name) C = Alphabet[Random() % Alphabet.size()];
    return Name;
  };
  auto RandomSpelling = [&](std::string Name) {
    for (char& C : Name) {
      const auto B = static_cast<uint8_t>(C);
      C = static_cast<char>(Random() % 2 ? platform::AnsiUpperChar(B) : platform::AnsiLowerChar(B));
    }
    return Name;
  };
  TDIRArray Array(7);
  std::map<std::pair<int32_t, std::string>, int32_t> Model;  // (parent, lower-cased name) -> item
  for (int Step = 0; Step < 400; ++Step) {
    const int32_t Parent = static_cast<int32_t>(Random() % 3) - 1;
    const std::string Name = RandomSpelling(RandomName());
    const auto Key = std::make_pair(Parent, platform::AnsiLowerCase(Name));
    auto It = Model.find(Key);
    if (It == Model.end()) {
      if (Random() % 4 == 0 && !Model.empty()) {
        // Rename or move an existing item to this name.
        auto Victim = Model.begin();
        std::advance(Victim, Random() % Model.size());
        const int32_t ItemNo = Victim->second;
        Model.erase(Victim);
        Array.UpdateItem(ItemNo, Named(Name, Parent));
        Model[Key] = ItemNo;
      } else {
        Model[Key] = Array.AddItem(Named(Name, Parent));
      }
    } else if (Random() % 2) {
      TDirItem Gone = Array.ReadItem(It->second);
      Gone.Deleted = true;
      Array.UpdateItem(It->second, Gone);
      Model.erase(It);
    }
    for (const auto& [Where, ItemNo] : Model) {
      const std::string Stored = Array.ReadItem(ItemNo).FileName;
      ASSERT_EQ(Array.FindChild(Where.first, RandomSpelling(Stored)), ItemNo) << "step " << Step << " " << Stored;
    }
    const int32_t Found = Array.FindChild(Parent, Name);
    const auto Expected = Model.find(Key);
    ASSERT_EQ(Found, Expected == Model.end() ? -1 : Expected->second) << "step " << Step << " " << Name;
  }
  ASSERT_EQ(Array.NameIndex().size(), Model.size());
}

INSTANTIATE_TEST_SUITE_P(Collations, DIRArrayCollationModel,
                         testing::Values(std::make_pair("ru_RU", true), std::make_pair("ru_RU", false),
                                         std::make_pair("en_US", true), std::make_pair("tr_TR", true)),
                         [](const testing::TestParamInfo<std::pair<const char*, bool>>& Info) {
                           return std::string(Info.param.first).substr(0, 2) + (Info.param.second ? "RankTables" : "Collator");
                         });

}  // namespace
}  // namespace tesvar::container
