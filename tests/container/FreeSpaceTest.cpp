// Free space management: PFS, GAM and SGAM bitmaps, page allocation and release, container
// growth, bitmap pages on disk.

#include "PageLayerTestSupport.h"

#include "container/TCFSHugeFile.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "platform/Exception.h"
#include "platform/FaultFileSystem.h"
#include "platform/IClock.h"
#include "platform/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <numeric>
#include <random>
#include <set>

namespace tesvar::container {
namespace {

using platform::FaultFileSystem;
using platform::FaultKind;
using platform::MemoryFileSystem;
using platform::ScopedFileSystem;
using pagetest::expectMessage;

constexpr const char* kPath = "/db/c.edb";

// A container with its page file and free-space manager, reopened on demand.
class Container {
public:
  Container(int32_t pageSizeKB = kDefaultPageSizeKB, int32_t extentPageCount = kDefaultExtentPageCount,
            const std::string& password = {})
      : FPassword(password) {
    FPageFile = std::make_unique<TPageFileManager>(kPath, kModeCreate, password, "", "", false, pageSizeKB,
                                                   extentPageCount);
    FSpace = std::make_unique<TFreeSpaceManager>(*FPageFile);
  }
  void Reopen() {
    FSpace.reset();
    FPageFile.reset();
    FPageFile = std::make_unique<TPageFileManager>(kPath, kModeReadWrite, FPassword, "", "", false, 0, 0);
    FSpace = std::make_unique<TFreeSpaceManager>(*FPageFile);
  }
  TPageFileManager& PageFile() { return *FPageFile; }
  TFreeSpaceManager& Space() { return *FSpace; }
  int32_t PageCount() { return FPageFile->Header().PageCount; }
  std::vector<int32_t> Get(int32_t count, int32_t near = 0, bool whole = false) {
    std::vector<int32_t> pages;
    EXPECT_TRUE(FSpace->GetPages(count, near, pages, whole));
    return pages;
  }

private:
  std::string FPassword;
  std::unique_ptr<TPageFileManager> FPageFile;
  std::unique_ptr<TFreeSpaceManager> FSpace;
};

std::vector<int32_t> range(int32_t first, int32_t last) {
  std::vector<int32_t> pages(size_t(last - first + 1));
  std::iota(pages.begin(), pages.end(), first);
  return pages;
}

// Everything the manager holds, for comparisons across a reopen or a failed call.
struct State {
  std::vector<uint8_t> pfs, gam, sgam;
  std::vector<int32_t> pfsPages, gamPages;
  int32_t extents, free, mixed, pageCount, pfsCount, gamCount;
  bool operator==(const State&) const = default;
};

State stateOf(Container& c) {
  auto& s = c.Space();
  const auto& h = c.PageFile().Header();
  return {s.PFSBitmap(),         s.GAMBitmap(),        s.SGAMBitmap(),       s.PFSPageNumbers(),
          s.GAMPageNumbers(),    s.ExtentCount(),      s.FreeExtentCount(),  s.MixedExtentCount(),
          h.PageCount,           h.PFSPageCount,       h.GAMPageCount};
}

using FreeSpaceTest = pagetest::MemoryFsTest;

TEST_F(FreeSpaceTest, DerivedSizes) {
  struct Case {
    int32_t kb, extent;
    int32_t pfsBytes, extentsPerPFS, gamBytes, extentsPerGAM;
  };
  const Case cases[] = {
      {4, 16, 4064, 2032, 4064, 32512},
      {1, 16, 992, 496, 992, 7936},
      {1, 1, 992, 7936, 992, 7936},
      {1, 3, 991, 2642, 990, 7920},
      {4, 100, 4062, 324, 4050, 32400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.kb << " KB, " << c.extent);
    Container box(c.kb, c.extent);
    auto& s = box.Space();
    EXPECT_EQ(s.PFSBytesPerPage(), c.pfsBytes);
    EXPECT_EQ(s.ExtentsPerPFSPage(), c.extentsPerPFS);
    EXPECT_EQ(s.GAMBytesPerPage(), c.gamBytes);
    EXPECT_EQ(s.ExtentsPerGAMPage(), c.extentsPerGAM);
    EXPECT_EQ(s.ExtentCount(), 0);
    EXPECT_TRUE(s.PFSBitmap().empty());
  }
}

TEST_F(FreeSpaceTest, FirstPageIsFourAndTheContainerGrowsByAnExtent) {
  Container box;
  EXPECT_EQ(box.Get(1), std::vector<int32_t>{4});
  EXPECT_EQ(box.PageCount(), 17);
  EXPECT_EQ(fs.ReadAll(kPath).size(), size_t(280 + 69632));
  auto& s = box.Space();
  EXPECT_EQ(s.PFSPageNumbers(), std::vector<int32_t>{1});
  EXPECT_EQ(s.GAMPageNumbers(), std::vector<int32_t>{2});
  EXPECT_EQ(box.PageFile().Header().PFSPageCount, 1);
  EXPECT_EQ(box.PageFile().Header().GAMPageCount, 1);
  EXPECT_EQ(s.ExtentCount(), 1);
  EXPECT_FALSE(s.IsExtentFree(0));
  EXPECT_TRUE(s.IsExtentMixed(0));
  EXPECT_EQ(s.FreeExtentCount(), 0);
  EXPECT_EQ(s.MixedExtentCount(), 1);
  for (int32_t p = 0; p <= 4; ++p) EXPECT_FALSE(s.IsPageFree(p)) << p;
  for (int32_t p = 5; p <= 16; ++p) EXPECT_TRUE(s.IsPageFree(p)) << p;
  EXPECT_FALSE(s.IsPageFree(17));

  // The rest of the extent is handed out page by page, then the next extent starts.
  for (int32_t expected = 5; expected <= 16; ++expected) EXPECT_EQ(box.Get(1), std::vector<int32_t>{expected});
  EXPECT_FALSE(s.IsExtentMixed(0));  // its last page is taken
  EXPECT_EQ(box.Get(1), std::vector<int32_t>{17});
  EXPECT_EQ(box.PageCount(), 33);
  EXPECT_TRUE(s.IsExtentMixed(1));
}

// The bitmap pages on disk: types 4, 2, 3, never encrypted, checksum kind 0, next -1, and only the
// bitmap bytes written.
TEST_F(FreeSpaceTest, BitmapPagesOnDisk) {
  struct Case {
    int32_t kb, extent;
    std::string password;
  };
  for (const Case& c : {Case{4, 16, ""}, Case{4, 16, "pw"}, Case{1, 3, ""}}) {
    SCOPED_TRACE(::testing::Message() << c.kb << " KB, " << c.extent << " " << c.password);
    Container box(c.kb, c.extent, c.password);
    box.Get(1);
    auto& s = box.Space();
    const int32_t dataSize = box.PageFile().PageDataSize();
    struct Expect {
      int32_t pageNo;
      uint8_t type;
      const std::vector<uint8_t>& bits;
      int32_t bytes;
    };
    for (const Expect& e : {Expect{1, ptPFS, s.PFSBitmap(), s.PFSBytesPerPage()},
                            Expect{2, ptGAM, s.GAMBitmap(), s.GAMBytesPerPage()},
                            Expect{3, ptSGAM, s.SGAMBitmap(), s.GAMBytesPerPage()}}) {
      std::vector<uint8_t> data(size_t(e.bytes), 0xCC);
      TPageHeader page;
      page.Data = data.data();
      ASSERT_TRUE(box.PageFile().ReadPage(page, e.pageNo, true, {}, e.bytes));
      EXPECT_EQ(page.PageType, e.type);
      EXPECT_EQ(page.EncryptionType, etNone);
      EXPECT_EQ(page.ChecksumKind, 0);
      EXPECT_EQ(page.NextPageNo, -1);
      EXPECT_TRUE(std::equal(e.bits.begin(), e.bits.end(), data.begin()));
      const auto image = fs.ReadAll(kPath);
      const size_t end = kPartHeaderSize + size_t(e.pageNo + 1) * size_t(dataSize + kPageHeaderSize);
      EXPECT_TRUE(std::all_of(image.begin() + ptrdiff_t(end) - (dataSize - e.bytes), image.begin() + ptrdiff_t(end),
                              [](uint8_t b) { return b == 0; }));
    }
    // First extent: PFS bits of pages 1..4 clear, GAM bit 0 clear, SGAM bit 0 set, later bits
    // in their "beyond the end" state.
    if (c.extent != 16) continue;
    EXPECT_EQ(s.PFSBitmap()[0], 0xF0);
    EXPECT_EQ(s.PFSBitmap()[1], 0xFF);
    EXPECT_EQ(s.GAMBitmap()[0], 0xFE);
    EXPECT_EQ(s.SGAMBitmap()[0], 0x01);
    EXPECT_EQ(s.SGAMBitmap()[1], 0x00);
  }
}

TEST_F(FreeSpaceTest, NearPagePrefersItsExtent) {
  Container box;
  box.Get(40);  // extents 0..2, pages 4..43
  box.Space().FreePages({20, 21, 40});
  EXPECT_EQ(box.Get(2, 38), (std::vector<int32_t>{40, 44}));  // both from the near extent 2
  EXPECT_EQ(box.Get(1, 20), (std::vector<int32_t>{20}));
}

TEST_F(FreeSpaceTest, WholeExtentsOnlyNeverTakesFromMixedExtents) {
  Container box;
  box.Get(1);  // extent 0 mixed, pages 5..16 free
  constexpr int32_t kFar = 1000000;
  EXPECT_EQ(box.Get(16, kFar, true), range(17, 32));  // a new extent, not the mixed one
  for (int32_t p = 5; p <= 16; ++p) ASSERT_TRUE(box.Space().IsPageFree(p));
  EXPECT_FALSE(box.Space().IsExtentMixed(1));

  box.Space().FreePages(range(17, 32));
  EXPECT_TRUE(box.Space().IsExtentFree(1));
  EXPECT_EQ(box.Space().FreeExtentCount(), 1);
  // Wholly free extents serve whole-extent requests; the mixed extent 0 still is not touched.
  EXPECT_EQ(box.Get(5, kFar, true), range(17, 21));
  EXPECT_FALSE(box.Space().IsExtentFree(1));
  EXPECT_FALSE(box.Space().IsExtentMixed(1));
  EXPECT_EQ(box.Get(20, kFar, true), range(33, 52));
  for (int32_t p = 5; p <= 16; ++p) ASSERT_TRUE(box.Space().IsPageFree(p));

  // A small request takes from the mixed extent 0. Extents 1 and 3, taken from by whole-extent
  // requests, still have free pages but are neither free nor mixed: the rest comes from a new
  // extent 4.
  auto pages = box.Get(20, kFar, false);
  auto expected = range(5, 16);
  const auto tail = range(65, 72);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(pages, expected);
}

// With fewer than 3 pages per extent the GAM and SGAM pages fall into the following extents,
// which then offer fewer pages than a wholly free extent.
TEST_F(FreeSpaceTest, TinyExtentsCountTheirBitmapPages) {
  for (int32_t extent : {1, 2}) {
    for (bool whole : {false, true}) {
      SCOPED_TRACE(::testing::Message() << extent << (whole ? " whole extents" : ""));
      Container box(1, extent);
      EXPECT_EQ(box.Get(1, 0, whole), std::vector<int32_t>{4});
      EXPECT_EQ(box.Get(3, 0, whole), range(5, 7));
    }
  }
}

TEST_F(FreeSpaceTest, FreeingAWholeExtentMakesItFreeAgain) {
  Container box;
  box.Get(13);          // the rest of extent 0
  auto pages = box.Get(16);  // extent 1
  ASSERT_EQ(pages, range(17, 32));
  auto& s = box.Space();
  EXPECT_EQ(s.FreeExtentCount(), 0);
  EXPECT_EQ(s.MixedExtentCount(), 0);

  s.FreePages({17, 18});
  EXPECT_FALSE(s.IsExtentFree(1));
  s.FreePages(range(19, 32));
  EXPECT_TRUE(s.IsExtentFree(1));
  EXPECT_FALSE(s.IsExtentMixed(1));
  EXPECT_EQ(s.FreeExtentCount(), 1);

  // The same from a mixed extent, which stops counting as mixed.
  box.Get(3);
  EXPECT_TRUE(s.IsExtentMixed(1));
  EXPECT_EQ(s.MixedExtentCount(), 1);
  s.FreePages({17, 18, 19});
  EXPECT_TRUE(s.IsExtentFree(1));
  EXPECT_EQ(s.MixedExtentCount(), 0);
  EXPECT_EQ(s.FreeExtentCount(), 1);
  // Freeing an already free page again changes no count.
  s.FreePages({17});
  EXPECT_EQ(s.FreeExtentCount(), 1);

  box.Reopen();
  EXPECT_TRUE(box.Space().IsExtentFree(1));
  EXPECT_EQ(box.Space().FreeExtentCount(), 1);
}

TEST_F(FreeSpaceTest, FreeingPagesOutsideTheDataIsIgnored) {
  Container box;
  box.Get(16);
  const State before = stateOf(box);
  box.Space().FreePages({0, -5, 33, 34, 1000, 1, 2, 3});  // header, beyond PageCount, bitmaps
  EXPECT_EQ(stateOf(box), before);
  EXPECT_FALSE(box.Space().IsPageFree(1));
}

TEST_F(FreeSpaceTest, BitmapsReloadIdentically) {
  Container box;
  box.Get(30);
  box.Get(17, 0, true);
  box.Space().FreePages({5, 6, 7, 30, 31, 40});
  box.Get(2, 30);
  const State before = stateOf(box);
  box.Reopen();
  EXPECT_EQ(stateOf(box), before);
}

// The extent after the last one a PFS page describes carries the next PFS page as its first page;
// the one after the last a GAM page describes also carries the next GAM and SGAM pages.
void expectSecondBitmapPages(int32_t pageSizeKB, int32_t extentPageCount, bool gamToo) {
  Container box(pageSizeKB, extentPageCount);
  const int32_t E = extentPageCount;
  const int32_t X = box.Space().ExtentsPerPFSPage();
  auto first = box.Get(X * E - 3);
  ASSERT_EQ(first.size(), size_t(X * E - 3));
  EXPECT_EQ(first.front(), 4);
  EXPECT_EQ(first.back(), X * E);
  EXPECT_EQ(box.Space().ExtentCount(), X);

  const int32_t secondPFS = 1 + X * E;
  auto next = box.Get(1);
  EXPECT_EQ(box.Space().PFSPageNumbers(), (std::vector<int32_t>{1, secondPFS}));
  EXPECT_FALSE(box.Space().IsPageFree(secondPFS));
  EXPECT_EQ(box.PageFile().Header().PFSPageCount, 2);
  if (gamToo) {
    EXPECT_EQ(box.Space().GAMPageNumbers(), (std::vector<int32_t>{2, secondPFS + 1}));
    EXPECT_EQ(box.PageFile().Header().GAMPageCount, 2);
    EXPECT_EQ(next, std::vector<int32_t>{secondPFS + 3});
    EXPECT_TRUE(box.Space().IsExtentMixed(X));
  } else {
    EXPECT_EQ(box.Space().GAMPageNumbers(), std::vector<int32_t>{2});
    EXPECT_EQ(next, std::vector<int32_t>{secondPFS + 1});
    EXPECT_TRUE(box.Space().IsExtentFree(X));  // the PFS page does not clear the GAM bit
  }
  const State before = stateOf(box);
  box.Reopen();
  EXPECT_EQ(stateOf(box), before);
}

TEST_F(FreeSpaceTest, SecondPFSPageSmallPages) { expectSecondBitmapPages(1, 16, false); }
TEST_F(FreeSpaceTest, SecondGAMPairSmallPages) { expectSecondBitmapPages(1, 1, true); }
TEST_F(FreeSpaceTest, SlowSecondPFSPageAtExtent2032) { expectSecondBitmapPages(4, 16, false); }

TEST_F(FreeSpaceTest, FaultGrowthFailureUndoesTheCall) {
  FaultFileSystem faulty(fs);
  ScopedFileSystem useFaulty(faulty);
  Container box;
  {
    const State empty = stateOf(box);
    faulty.FailAt(FaultKind::SizeChange, 1);
    std::vector<int32_t> pages;
    EXPECT_FALSE(box.Space().GetPages(1, 0, pages, false));
    EXPECT_TRUE(pages.empty());
    EXPECT_EQ(stateOf(box), empty);
    faulty.Reset();
    EXPECT_EQ(box.Get(1), std::vector<int32_t>{4});
  }
  // Pages already taken from existing extents are given back too.
  const State before = stateOf(box);
  faulty.FailFrom(FaultKind::SizeChange, 1);
  std::vector<int32_t> pages;
  EXPECT_FALSE(box.Space().GetPages(20, 0, pages, false));
  EXPECT_EQ(stateOf(box), before);
  faulty.Reset();
  box.Reopen();
  EXPECT_EQ(stateOf(box), before);
  EXPECT_EQ(box.Get(20), range(5, 24));
}

// Pages past the end (here the container is cut behind the manager's back, as a page count that
// ends inside an extent would leave them) make the container grow up to the highest page taken;
// when that growth fails the call is undone and nothing is written.
TEST_F(FreeSpaceTest, FaultGrowthUpToAPagePastTheEndUndoesTheCall) {
  FaultFileSystem faulty(fs);
  ScopedFileSystem useFaulty(faulty);
  Container box;
  box.Get(1);  // extent 0, pages 5..16 free
  ASSERT_TRUE(box.PageFile().HostFile().SetSize(14 * 4096));
  box.PageFile().Header().PageCount = 14;
  const State before = stateOf(box);
  const auto image = fs.ReadAll(kPath);
  faulty.FailAt(FaultKind::SizeChange, 1);
  std::vector<int32_t> pages;
  EXPECT_FALSE(box.Space().GetPages(12, 0, pages, false));
  EXPECT_EQ(faulty.Injected(), 1u);
  EXPECT_TRUE(pages.empty());
  EXPECT_EQ(stateOf(box), before);
  EXPECT_EQ(fs.ReadAll(kPath), image);
  faulty.Reset();
  EXPECT_EQ(box.Get(12), range(5, 16));
  EXPECT_EQ(box.PageCount(), 17);
  const State after = stateOf(box);
  box.Reopen();
  EXPECT_EQ(stateOf(box), after);
}

TEST_F(FreeSpaceTest, FullFileSystemMakesGetPagesFail) {
  Container box;
  box.Get(13 + 16);
  const State before = stateOf(box);
  fs.SetCapacity(fs.UsedBytes() + 4096);
  std::vector<int32_t> pages;
  EXPECT_FALSE(box.Space().GetPages(1, 0, pages, false));
  EXPECT_EQ(stateOf(box), before);
  fs.SetCapacity(-1);
  EXPECT_EQ(box.Get(1), std::vector<int32_t>{33});
}

TEST_F(FreeSpaceTest, FaultBitmapWriteFailuresRaise) {
  // Writes of a first allocation: the header (1), then the GAM (2), SGAM (3) and PFS (4) pages,
  // one write each.
  struct Case {
    uint64_t write;
    const char* message;
  };
  const Case cases[] = {
      {2, "TFreeSpaceManager.SaveGAM - can not save page, pageNo = 2"},
      {3, "TFreeSpaceManager.SaveGAM - can not save SGAM page, pageNo = 2"},
      {4, "TFreeSpaceManager.SavePFS - can not save page, pageNo = 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.write);
    FaultFileSystem faulty(fs);
    ScopedFileSystem useFaulty(faulty);
    Container box;
    faulty.FailAt(FaultKind::Write, c.write);
    std::vector<int32_t> pages;
    expectMessage([&] { EXPECT_FALSE(box.Space().GetPages(1, 0, pages, false)); }, c.message);
  }
}

TEST_F(FreeSpaceTest, DamagedBitmapsAndCountsRaiseOnLoad) {
  struct Case {
    const char* message;
    std::function<void(TPageFileManager&)> damage;
  };
  auto corruptPage = [this](int32_t pageNo) {
    return [this, pageNo](TPageFileManager&) {
      auto image = fs.ReadAll(kPath);
      image[280 + size_t(pageNo) * 4096 + 32 + 7] ^= 0x10;
      fs.WriteAll(kPath, image);
    };
  };
  auto setCount = [](int32_t TContainerHeader::*field, int32_t value) {
    return [field, value](TPageFileManager& file) {
      file.Header().*field = value;
      file.SaveHeader();
    };
  };
  const Case cases[] = {
      {"TFreeSpaceManager.LoadPFS - can not load page, pageNo = 1", corruptPage(1)},
      {"TFreeSpaceManager.LoadGAM - can not load page, pageNo = 2", corruptPage(2)},
      {"TFreeSpaceManager.LoadGAM - can not load SGAM page, pageNo = 2", corruptPage(3)},
      {"TFreeSpaceManager.Create - PFSPageCount * FPageSize < FExtentCount!",
       setCount(&TContainerHeader::PFSPageCount, 0)},
      {"TFreeSpaceManager.Create - GAMPageCount * FPageSize < FExtentCount!",
       setCount(&TContainerHeader::GAMPageCount, 0)},
      {"TFreeSpaceManager.LoadPFS - can not load page, pageNo = 32513", setCount(&TContainerHeader::PFSPageCount, 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    {
      Container box;
      box.Get(1);
      c.damage(box.PageFile());
    }
    TPageFileManager file(kPath, kModeReadWrite, "", "", "", false, 0, 0);
    expectMessage([&] { TFreeSpaceManager space(file); }, c.message);
  }
}

TEST_F(FreeSpaceTest, DirtyListsMustMatchThePages) {
  Container box;
  box.Get(1);
  expectMessage([&] { box.Space().SavePFS({true, true}); },
                "TFreeSpaceManager.SavePFS - pages.ItemCount <> PFSPageMap.ItemCount!");
  expectMessage([&] { box.Space().SaveGAM({}); }, "TFreeSpaceManager.SaveGAM - pages.ItemCount <> GAMPageMap.ItemCount!");
}

// GetPages and FreePages against a model of the pages handed out, over several geometries.
// Checks after every step that no page is handed out twice, that the PFS bits match the model
// and that the counts match the bits; every few steps the container is reopened and must hold the
// same bitmaps.
TEST_F(FreeSpaceTest, RandomizedAgainstAModel) {
  struct Geometry {
    int32_t kb, extent;
  };
  // A fresh seed every run, printed and named in every failure; TESVAR_SEED=<seed> replays a run.
  const char* given = std::getenv("TESVAR_SEED");
  const uint32_t seed = given ? uint32_t(std::strtoul(given, nullptr, 10)) : std::random_device{}();
  std::cout << "RandomizedAgainstAModel seed " << seed << "\n";
  SCOPED_TRACE(::testing::Message() << "seed " << seed << " (replay with TESVAR_SEED=" << seed << ")");
  std::mt19937 random(seed);
  for (const Geometry g : {Geometry{4, 16}, Geometry{1, 3}, Geometry{1, 1}, Geometry{1, 64}}) {
    SCOPED_TRACE(::testing::Message() << g.kb << " KB, extent " << g.extent);
    Container box(g.kb, g.extent);
    std::set<int32_t> used;
    auto pick = [&](int32_t n) { return int32_t(random() % uint32_t(n)); };
    for (int step = 0; step < 150; ++step) try {
      auto& s = box.Space();
      if (used.empty() || pick(3) != 0) {
        const int32_t count = 1 + pick(pick(4) == 0 ? 80 : 6);
        const int32_t near = pick(box.PageCount() + 20);
        const bool whole = pick(4) == 0;
        const auto pages = box.Get(count, near, whole);
        ASSERT_EQ(pages.size(), size_t(count));
        for (int32_t p : pages) {
          ASSERT_TRUE(used.insert(p).second) << "page " << p << " handed out twice, step " << step;
          ASSERT_GT(p, 0);
          ASSERT_LT(p, box.PageCount());
        }
      } else {
        std::vector<int32_t> release;
        for (int32_t p : used)
          if (pick(3) == 0) release.push_back(p);
        release.push_back(box.PageCount() + pick(5));  // ignored
        s.FreePages(release);
        for (int32_t p : release) used.erase(p);
      }
      std::set<int32_t> bitmaps(s.PFSPageNumbers().begin(), s.PFSPageNumbers().end());
      for (int32_t p : s.GAMPageNumbers()) bitmaps.insert({p, p + 1});
      for (int32_t p = 1; p < box.PageCount(); ++p) {
        const bool taken = used.count(p) || bitmaps.count(p);
        ASSERT_EQ(s.IsPageFree(p), !taken) << "page " << p << ", step " << step;
      }
      int32_t free = 0, mixed = 0;
      for (int32_t e = 0; e < s.ExtentCount(); ++e) {
        free += s.IsExtentFree(e);
        mixed += s.IsExtentMixed(e);
      }
      ASSERT_EQ(s.FreeExtentCount(), free);
      ASSERT_EQ(s.MixedExtentCount(), mixed);
      if (step % 25 == 24) {
        const State before = stateOf(box);
        box.Reopen();
        ASSERT_EQ(stateOf(box), before) << "step " << step;
      }
    } catch (const std::exception& e) {
      FAIL() << e.what() << " at step " << step;
    }
  }
}

}  // namespace
}  // namespace tesvar::container
