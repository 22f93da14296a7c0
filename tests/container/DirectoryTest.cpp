// Directory items, the in-memory directory array and search masks.

#include "container/DirectoryFormat.h"
#include "container/TDIRArray.h"
#include "container/TDIRManager.h"
#include "platform/AnsiCollation.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tesvar::container {
namespace {

int64_t LoadInt(const uint8_t* P, int Size) {
  uint64_t V = 0;
  for (int I = Size - 1; I >= 0; --I) V = (V << 8) | P[I];
  if (Size == 4) return static_cast<int32_t>(static_cast<uint32_t>(V));
  return static_cast<int64_t>(V);
}

TDirItem SampleItem() {
  TDirItem Item;
  Item.FirstMapPageNo = 0x01020304;
  Item.Size = 0x0102030405060708LL;
  Item.CreationTime = 0x1111111122222222LL;
  Item.LastWriteTime = 0x3333333344444444LL;
  Item.LastAccessTime = 0x5555555566666666LL;
  Item.Attr = kDirectoryAttr;
  Item.ParentID = -1;
  for (int I = 0; I < kPasswordBlockSize; ++I) Item.PasswordBlock[I] = static_cast<uint8_t>(I + 1);
  Item.IsDirectory = true;
  Item.Deleted = true;
  Item.HasPassword = true;
  Item.FileName = "Table\xC0.dat";
  return Item;
}

TEST(DirItemLayoutTest, FieldsSitAtTheirOffsets) {
  uint8_t Raw[kDirItemSize];
  std::memset(Raw, 0xEE, sizeof Raw);
  const TDirItem Item = SampleItem();
  Item.Encode(Raw);
  EXPECT_EQ(LoadInt(Raw + 0, 4), 0x01020304);
  EXPECT_EQ(LoadInt(Raw + 4, 8), 0x0102030405060708LL);
  EXPECT_EQ(LoadInt(Raw + 12, 8), 0x1111111122222222LL);
  EXPECT_EQ(LoadInt(Raw + 20, 8), 0x3333333344444444LL);
  EXPECT_EQ(LoadInt(Raw + 28, 8), 0x5555555566666666LL);
  EXPECT_EQ(LoadInt(Raw + 36, 4), 16);
  EXPECT_EQ(LoadInt(Raw + 40, 4), -1);
  EXPECT_EQ(LoadInt(Raw + 44, 4), 0);
  EXPECT_EQ(Raw[48], 1);
  EXPECT_EQ(Raw[48 + 171], 172);
  EXPECT_EQ(Raw[220], 1);
  EXPECT_EQ(Raw[221], 1);
  EXPECT_EQ(Raw[222], 1);
  EXPECT_EQ(Raw[223], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(Raw + 224)), "Table\xC0.dat");
  for (int I = 224 + 10; I < kDirItemSize; ++I) ASSERT_EQ(Raw[I], 0) << "offset " << I;

  const TDirItem Back = TDirItem::Decode(Raw);
  uint8_t Again[kDirItemSize];
  Back.Encode(Again);
  EXPECT_EQ(std::memcmp(Raw, Again, kDirItemSize), 0);
  EXPECT_EQ(Back.FileName, Item.FileName);
  EXPECT_TRUE(Back.Deleted && Back.IsDirectory && Back.HasPassword);
}

TEST(DirItemLayoutTest, NameIsLimitedTo259Characters) {
  TDirItem Item;
  Item.FileName = std::string(300, 'n');
  uint8_t Raw[kDirItemSize];
  Item.Encode(Raw);
  EXPECT_EQ(Raw[224 + 258], 'n');
  EXPECT_EQ(Raw[224 + 259], 0);
  EXPECT_EQ(TDirItem::Decode(Raw).FileName, std::string(259, 'n'));
  // A stored name without its NUL still ends after 259 characters.
  std::memset(Raw + 224, 'x', 260);
  EXPECT_EQ(TDirItem::Decode(Raw).FileName, std::string(259, 'x'));
}

TEST(QuotedNameTest, DoublesInnerQuotes) {
  EXPECT_EQ(QuotedName("a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(QuotedName(""), "\"\"");
}

TDirItem Named(const std::string& Name, int32_t Parent = -1) {
  TDirItem Item;
  Item.FileName = Name;
  Item.ParentID = Parent;
  return Item;
}

TEST(DIRArrayTest, CapacityGrowsByDoublingStepsUpToTenPages) {
  TDIRArray Array(7);
  std::vector<int32_t> Capacities;
  for (int I = 0; I < 250; ++I) {
    Array.AddItem(Named("f" + std::to_string(I)));
    if (Capacities.empty() || Capacities.back() != Array.Capacity()) Capacities.push_back(Array.Capacity());
  }
  EXPECT_EQ(Capacities, (std::vector<int32_t>{7, 21, 49, 105, 175, 245, 315}));
  EXPECT_EQ(testsupport::messageOf([&] { Array.SetSize(10); }),
            "TDIRArray.SetSize - newSize < itemCount error.  newSize = 10 itemCount = 250");
  EXPECT_EQ(testsupport::messageOf([&] { Array.ReadItem(250); }), "TDIRArray.ReadItem - invalid itemNo = 250");
  EXPECT_EQ(testsupport::messageOf([&] { Array.UpdateItem(-1, Named("x")); }), "TDIRArray.UpdateItem - invalid itemNo = -1");
}

std::vector<std::string> NamesInIndex(const TDIRArray& Array) {
  std::vector<std::string> Names;
  for (int32_t Id : Array.NameIndex()) Names.push_back(Array.ReadItem(Id).FileName);
  return Names;
}

TEST(DIRArrayTest, NameIndexIgnoresLetterCaseAndSkipsDeletedItems) {
  platform::ScopedEngineCollation English("en_US");  // Latin before Cyrillic
  TDIRArray Array(7);
  Array.AddItem(Named("b"));
  Array.AddItem(Named("A"));
  Array.AddItem(Named("a", 0));
  Array.AddItem(Named("C"));
  Array.AddItem(Named("\xE0"));  // Cyrillic small a
  TDirItem Gone = Named("zz");
  Gone.Deleted = true;
  Array.AddItem(Gone);
  EXPECT_EQ(NamesInIndex(Array), (std::vector<std::string>{"A", "a", "b", "C", "\xE0"}));
  EXPECT_EQ(Array.FindChild(-1, "B"), 0);
  EXPECT_EQ(Array.FindChild(-1, "a"), 1);
  EXPECT_EQ(Array.FindChild(0, "A"), 2);
  EXPECT_EQ(Array.FindChild(-1, "\xC0"), 4);  // capital A
  EXPECT_EQ(Array.FindChild(-1, "zz"), -1);
  EXPECT_EQ(Array.FirstDeleted(), 5);
  EXPECT_EQ(Array.Children(-1).size(), 4u);
  EXPECT_EQ(Array.Children(0).size(), 1u);
}

TEST(DIRArrayTest, UpdateItemMovesItWithinTheIndexes) {
  TDIRArray Array(7);
  for (const char* Name : {"a", "b", "c"}) Array.AddItem(Named(Name));
  Array.UpdateItem(0, Named("d", 2));
  EXPECT_EQ(NamesInIndex(Array), (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(Array.FindChild(2, "D"), 0);
  EXPECT_EQ(Array.FindChild(-1, "a"), -1);

  TDirItem Gone = Named("b");
  Gone.Deleted = true;
  Array.UpdateItem(1, Gone);
  EXPECT_EQ(NamesInIndex(Array), (std::vector<std::string>{"c", "d"}));
  EXPECT_EQ(Array.ParentIndex().size(), 2u);
  EXPECT_EQ(Array.FirstDeleted(), 1);

  Array.UpdateItem(1, Named("e"));
  EXPECT_EQ(Array.FirstDeleted(), -1);
  EXPECT_EQ(Array.FindChild(-1, "E"), 1);
  Array.RemoveLastItem();
  EXPECT_EQ(Array.ItemCount(), 2);
  EXPECT_EQ(Array.FindChild(-1, "c"), -1);
}

TEST(DIRArrayTest, AssignBuildsIndexesFromLoadedItems) {
  std::vector<TDirItem> Items{Named("x"), Named("W"), Named("y")};
  Items[2].Deleted = true;
  TDIRArray Array(7);
  Array.Assign(Items);
  EXPECT_EQ(NamesInIndex(Array), (std::vector<std::string>{"W", "x"}));
  EXPECT_EQ(Array.Capacity(), 3);
  EXPECT_EQ(Array.FirstDeleted(), 2);
}

struct MaskCase {
  const char* Name;
  const char* Mask;
  bool Matches;
};

class MaskTest : public testing::TestWithParam<MaskCase> {};

TEST_P(MaskTest, Matches) {
  const MaskCase& C = GetParam();
  EXPECT_EQ(TDIRManager::MatchesMask(C.Name, C.Mask), C.Matches) << C.Name << " ~ " << C.Mask;
}

INSTANTIATE_TEST_SUITE_P(Masks, MaskTest,
                         testing::Values(MaskCase{"table.dat", "*.*", true}, MaskCase{"noext", "*.*", true},
                                         MaskCase{"anything", "*", true}, MaskCase{"", "*", true},
                                         MaskCase{"table.dat", "*.dat", true}, MaskCase{"table.DAT", "*.dat", true},
                                         MaskCase{"table.idx", "*.dat", false}, MaskCase{"tab", "t?b", true},
                                         MaskCase{"tb", "t?b", false}, MaskCase{"table.dat", "tab*", true},
                                         MaskCase{"\xD4\xE0\xE9\xEB", "\xF4\xC0*", true},  // Cyrillic case
                                         MaskCase{"a.b.c", "*.c", true}, MaskCase{"abc", "a*c*", true},
                                         MaskCase{"abc", "abcd", false}, MaskCase{"abcd", "abc", false},
                                         MaskCase{"@", "`", true}));  // codes 64 and 96 differ by 32

}  // namespace
}  // namespace tesvar::container
