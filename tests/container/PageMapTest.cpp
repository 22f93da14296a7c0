// Page maps of user files: the chain of map pages, the cache and the messages.

#include "ContainerTestSupport.h"

#include "container/CFSBytes_internal.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <vector>

namespace tesvar::container::test {
namespace {

using testsupport::messageOf;

constexpr int32_t D = 4064;
constexpr int32_t PerMap = 1016;

class PageMapTest : public testing::Test {
protected:
  void SetUp() override { Cfs = CreateContainer("/maps.edb", ""); }
  TUserFilePageMapManager& Maps() { return Cfs->PageMaps(); }

  struct StoredPage {
    TPageHeader Header;
    std::vector<uint8_t> Data = std::vector<uint8_t>(D);
  };
  StoredPage Read(int32_t PageNo) {
    StoredPage Page;
    Page.Header.Data = Page.Data.data();
    EXPECT_TRUE(Cfs->PageFile().ReadPage(Page.Header, PageNo)) << PageNo;
    return Page;
  }
  std::vector<int32_t> Entries(const StoredPage& Page) {
    std::vector<int32_t> Result;
    for (int J = 0; J < PerMap; ++J) Result.push_back(getLE32s(Page.Data.data() + 4 * J));
    return Result;
  }

  ContainerEnvironment Env;
  std::unique_ptr<TContainerFileSystem> Cfs;
};

TEST_F(PageMapTest, AppendWritesTheMapAndZeroPages) {
  TDirItem Item;
  ASSERT_TRUE(Maps().AppendPages(Item, 3, true));
  ASSERT_NE(Item.FirstMapPageNo, -1);
  const auto Map = Maps().GetMaps(Item);
  ASSERT_EQ(Map.MapPages, std::vector<int32_t>{Item.FirstMapPageNo});
  ASSERT_EQ(Map.DataPages.size(), 3u);

  const StoredPage MapPage = Read(Item.FirstMapPageNo);
  EXPECT_EQ(MapPage.Header.PageType, ptPageMap);
  EXPECT_EQ(MapPage.Header.EncryptionType, etNone);
  EXPECT_EQ(MapPage.Header.NextPageNo, -1);
  std::vector<int32_t> Expected(PerMap, 0);
  std::copy(Map.DataPages.begin(), Map.DataPages.end(), Expected.begin());
  EXPECT_EQ(Entries(MapPage), Expected);
  for (int32_t Page : Map.DataPages) {
    const StoredPage Data = Read(Page);
    EXPECT_EQ(Data.Header.PageType, ptUserData);
    EXPECT_TRUE(std::all_of(Data.Data.begin(), Data.Data.end(), [](uint8_t B) { return B == 0; }));
    EXPECT_FALSE(Cfs->FreeSpace().IsPageFree(Page));
  }
}

TEST_F(PageMapTest, MapGrowsAndShrinksByWholeMapPages) {
  TDirItem Item;
  ASSERT_TRUE(Maps().AppendPages(Item, PerMap, false));
  ASSERT_TRUE(Maps().AppendPages(Item, 1, false));
  const auto Grown = Maps().GetMaps(Item);
  ASSERT_EQ(Grown.MapPages.size(), 2u);
  ASSERT_EQ(Grown.DataPages.size(), static_cast<size_t>(PerMap + 1));
  EXPECT_EQ(Read(Grown.MapPages[0]).Header.NextPageNo, Grown.MapPages[1]);
  const std::vector<int32_t> Second = Entries(Read(Grown.MapPages[1]));
  EXPECT_EQ(Second[0], Grown.DataPages.back());
  EXPECT_TRUE(std::all_of(Second.begin() + 1, Second.end(), [](int32_t E) { return E == 0; }));

  // Reading the map back from the pages gives the same lists.
  Item.Size = static_cast<int64_t>(PerMap + 1) * D;
  Maps().ClearCache();
  EXPECT_EQ(Maps().GetMaps(Item).MapPages, Grown.MapPages);
  EXPECT_EQ(Maps().GetMaps(Item).DataPages, Grown.DataPages);

  Maps().DeletePagesFromEOF(Item, 2);
  EXPECT_EQ(Maps().GetMaps(Item).MapPages, std::vector<int32_t>{Grown.MapPages[0]});
  EXPECT_EQ(Read(Grown.MapPages[0]).Header.NextPageNo, -1);
  EXPECT_EQ(Entries(Read(Grown.MapPages[0])).back(), 0);
  EXPECT_TRUE(Cfs->FreeSpace().IsPageFree(Grown.MapPages[1]));
  EXPECT_TRUE(Cfs->FreeSpace().IsPageFree(Grown.DataPages[PerMap]));
  EXPECT_TRUE(Cfs->FreeSpace().IsPageFree(Grown.DataPages[PerMap - 1]));
  EXPECT_FALSE(Cfs->FreeSpace().IsPageFree(Grown.DataPages[PerMap - 2]));

  ASSERT_TRUE(Maps().SetFileSize(Item, false, 0));
  EXPECT_EQ(Item.FirstMapPageNo, -1);
  EXPECT_EQ(Maps().CachedMap(Grown.MapPages[0]), nullptr);
  EXPECT_TRUE(Cfs->FreeSpace().IsPageFree(Grown.MapPages[0]));
}

TEST_F(PageMapTest, SetFileSizeGivesCeilOfSizeOverPageDataSize) {
  TDirItem Item;
  ASSERT_TRUE(Maps().SetFileSize(Item, false, 0));
  EXPECT_EQ(Item.FirstMapPageNo, -1);
  for (int64_t Size : {int64_t{1}, int64_t{D}, int64_t{D + 1}, int64_t{5 * D}, int64_t{2 * D - 1}, int64_t{1}}) {
    ASSERT_TRUE(Maps().SetFileSize(Item, false, Size));
    EXPECT_EQ(Maps().DataPageCount(Item), (Size + D - 1) / D) << Size;
  }
}

TEST_F(PageMapTest, GetFilePagesExtendsWithZeroPagesAndReturnsTheRange) {
  TDirItem Item;
  std::span<const int32_t> Pages;
  ASSERT_TRUE(Maps().GetFilePages(Item, false, Pages, 10, 0));
  EXPECT_TRUE(Pages.empty());
  ASSERT_TRUE(Maps().GetFilePages(Item, true, Pages, 10, 2 * D - 5));
  const auto Map = Maps().GetMaps(Item);
  ASSERT_EQ(Map.DataPages.size(), 3u);
  EXPECT_EQ(std::vector<int32_t>(Pages.begin(), Pages.end()), std::vector<int32_t>(Map.DataPages.begin() + 1, Map.DataPages.end()));
  ASSERT_TRUE(Maps().GetFilePages(Item, false, Pages, D, 0));
  EXPECT_EQ(std::vector<int32_t>(Pages.begin(), Pages.end()), std::vector<int32_t>{Map.DataPages[0]});
  EXPECT_EQ(Read(Map.DataPages[0]).Header.PageType, ptUserData);  // zero page
}

TEST_F(PageMapTest, Messages) {
  TDirItem Item;
  EXPECT_EQ(messageOf([&] { Maps().GetMaps(Item); }),
            "TUserFilePageMapManager.GetMaps - Invalid parameter FileRec.FirstMapPageNo");
  EXPECT_EQ(messageOf([&] { Maps().AppendPages(Item, 0, false); }), "TUserFilePageMapManager.AppendPages - PageCount <= 0.");
  EXPECT_EQ(messageOf([&] { Maps().DeletePagesFromEOF(Item, 1); }),
            "TUserFilePageMapManager.DeletePagesFromEOF - File map not exists.");

  ASSERT_TRUE(Maps().AppendPages(Item, 2, false));
  Maps().ClearCache();
  ASSERT_TRUE(Cfs->PageFile().AddPages(PerMap + 8));  // room for the size below
  TDirItem Longer = Item;
  Longer.Size = static_cast<int64_t>(PerMap + 5) * D;  // needs a second map page the chain lacks
  EXPECT_EQ(messageOf([&] { Maps().GetMaps(Longer); }), "TUserFilePageMapManager.GetMaps - Invalid page No in map chain.");
  TDirItem Outside = Item;
  Outside.FirstMapPageNo = 100000;
  Outside.Size = 1;
  EXPECT_EQ(messageOf([&] { Maps().GetMaps(Outside); }), "TUserFilePageMapManager.GetMaps - Error on reading map page.");
}

TEST_F(PageMapTest, NoSpaceLeavesTheMapAndBitmapsAsTheyWere) {
  TDirItem Item;
  ASSERT_TRUE(Maps().AppendPages(Item, 2, true));
  const auto Before = Maps().GetMaps(Item);
  Env.Fs.SetCapacity(Env.Fs.UsedBytes());
  EXPECT_FALSE(Maps().AppendPages(Item, 50, true));
  EXPECT_EQ(Maps().LastError(), ceNoSpace);
  EXPECT_EQ(Maps().GetMaps(Item).DataPages, Before.DataPages);
  EXPECT_EQ(Maps().GetMaps(Item).MapPages, Before.MapPages);
  int32_t Used = 0;
  for (int32_t Page = 1; Page < Cfs->PageFile().Header().PageCount; ++Page) Used += !Cfs->FreeSpace().IsPageFree(Page);
  EXPECT_EQ(Used, 3 /* bitmaps */ + 1 /* map */ + 2 /* data */);
}

}  // namespace
}  // namespace tesvar::container::test
