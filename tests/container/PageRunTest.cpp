// Pages written in runs by the user-file code are the page file's pages: each side reads what the
// other writes, plain and encrypted.

#include "ContainerTestSupport.h"

#include "container/PageRunIO_internal.h"
#include "container/TCFSHugeFile.h"
#include "container/TPageFileManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace tesvar::container::test {
namespace {

constexpr int32_t D = 4064;

class PageRunTest : public testing::TestWithParam<ContainerVariant> {
protected:
  void SetUp() override {
    Cfs = CreateContainer("/runs.edb", GetParam().Password);
    ASSERT_TRUE(Cfs->PageFile().AddPages(8));
  }
  uint8_t Encryption() const { return *GetParam().Password ? etPageCipher : etNone; }

  ContainerEnvironment Env;
  std::unique_ptr<TContainerFileSystem> Cfs;
};

TEST_P(PageRunTest, RunsAndThePageFileReadEachOthersPages) {
  TPageFileManager& PageFile = Cfs->PageFile();
  TPageRunIO Runs(PageFile, 4);
  const std::vector<uint8_t> Data = Pattern(3 * D, 1);
  ASSERT_EQ(Runs.WriteRun(2, 3, Data.data(), Encryption(), {}), 3);
  std::vector<uint8_t> Page(D);
  for (int32_t I = 0; I < 3; ++I) {
    TPageHeader Header;
    Header.Data = Page.data();
    ASSERT_TRUE(PageFile.ReadPage(Header, 2 + I)) << PageFile.LastError();
    EXPECT_EQ(Header.PageType, ptUserData);
    EXPECT_EQ(Header.EncryptionType, Encryption());
    EXPECT_EQ(Header.NextPageNo, -1);
    EXPECT_TRUE(std::equal(Page.begin(), Page.end(), Data.begin() + I * D)) << "page " << 2 + I;
  }

  // The page file's pages (with another type and a next field) come back through a run.
  for (int32_t I = 0; I < 2; ++I) {
    std::vector<uint8_t> Copy(Data.begin() + I * D, Data.begin() + (I + 1) * D);
    TPageHeader Header;
    Header.NextPageNo = 7;
    Header.PageType = ptDirectory;
    Header.EncryptionType = Encryption();
    Header.Data = Copy.data();
    ASSERT_TRUE(PageFile.WritePage(Header, 6 + I));
  }
  std::vector<uint8_t> Back(2 * D);
  EXPECT_EQ(Runs.ReadRun(6, 2, Back.data(), {}), 2);
  EXPECT_TRUE(std::equal(Back.begin(), Back.end(), Data.begin()));

}

TEST_P(PageRunTest, FailuresReportThePageFileCodes) {
  TPageFileManager& PageFile = Cfs->PageFile();
  TPageRunIO Runs(PageFile, 4);
  const std::vector<uint8_t> Data = Pattern(2 * D, 3);
  ASSERT_EQ(Runs.WriteRun(2, 2, Data.data(), Encryption(), {}), 2);
  std::vector<uint8_t> Back(4 * D);
  // Past the end of the container: the run stops at the last page there is.
  EXPECT_EQ(Runs.ReadRun(PageFile.Header().PageCount - 1, 2, Back.data(), {}), 1);
  EXPECT_EQ(PageFile.LastError(), cePageHeaderRead);
  // A changed stored byte fails its page only.
  uint8_t Byte = 0;
  PageFile.HostFile().Seek(3 * 4096 + kPageHeaderSize + 10, 0);
  ASSERT_EQ(PageFile.HostFile().Read(&Byte, 1), 1);
  Byte ^= 0x40;
  PageFile.HostFile().Seek(3 * 4096 + kPageHeaderSize + 10, 0);
  ASSERT_EQ(PageFile.HostFile().Write(&Byte, 1), 1);
  EXPECT_EQ(Runs.ReadRun(2, 2, Back.data(), {}), 1);
  EXPECT_EQ(PageFile.LastError(), cePageChecksum);
}

// A run longer than one host read: the pages of every batch arrive, and a failure deep in the run
// stops it at that very page, in the first batch and in a later one.
TEST_P(PageRunTest, LongRunsStopAtTheFailingPage) {
  TPageFileManager& PageFile = Cfs->PageFile();
  constexpr int32_t kPages = 200;
  ASSERT_TRUE(PageFile.AddPages(kPages));
  TPageRunIO Runs(PageFile);
  ASSERT_GE(TPageRunIO::kMaxRunPages, kPages);
  const std::vector<uint8_t> Data = Pattern(kPages * D, 4);
  ASSERT_EQ(Runs.WriteRun(4, kPages, Data.data(), Encryption(), {}), kPages);
  std::vector<uint8_t> Back(kPages * D);
  ASSERT_EQ(Runs.ReadRun(4, kPages, Back.data(), {}), kPages);
  EXPECT_EQ(Back, Data);

  for (const int32_t Bad : {199, 130, 5}) {
    SCOPED_TRACE(Bad);
    const int64_t At = (4 + Bad) * int64_t{4096} + kPageHeaderSize + 100;
    uint8_t Byte = 0;
    PageFile.HostFile().Seek(At, 0);
    ASSERT_EQ(PageFile.HostFile().Read(&Byte, 1), 1);
    Byte ^= 0x01;
    PageFile.HostFile().Seek(At, 0);
    ASSERT_EQ(PageFile.HostFile().Write(&Byte, 1), 1);
    std::fill(Back.begin(), Back.end(), 0);
    EXPECT_EQ(Runs.ReadRun(4, kPages, Back.data(), {}), Bad);
    EXPECT_EQ(PageFile.LastError(), cePageChecksum);
    EXPECT_TRUE(std::equal(Back.begin(), Back.begin() + Bad * D, Data.begin()));
  }
}

// Pages whose destinations follow one another are read straight into them, the others through the
// staging buffer; a run mixing both (as a file read with partial first and last pages, or pages
// handed out of order) brings every page to its own destination and touches nothing else.
TEST_P(PageRunTest, MixedDestinationsEachGetTheirPage) {
  TPageFileManager& PageFile = Cfs->PageFile();
  constexpr int32_t kPages = 200;
  ASSERT_TRUE(PageFile.AddPages(kPages));
  TPageRunIO Runs(PageFile);
  const std::vector<uint8_t> Data = Pattern(kPages * D, 5);
  ASSERT_EQ(Runs.WriteRun(4, kPages, Data.data(), Encryption(), {}), kPages);

  // Destinations: page 0 apart; 1 .. 149 one after another (their images fit for all but the
  // last pages); 150 apart; 151 .. 160 one after another (too few to be worth a transfer of
  // their own); 161 .. 199 in reverse order. Guard bytes around.
  constexpr size_t kGuard = 64;
  std::vector<uint8_t> Memory(kPages * D + 5 * kGuard, 0xA5);
  uint8_t* const Base = Memory.data() + kGuard;
  std::vector<uint8_t*> Dests(kPages);
  std::vector<int64_t> Slot(kPages);
  int64_t Next = 0;
  auto place = [&](int32_t Page, int64_t Gap) {
    Next += Gap;
    Slot[Page] = Next;
    Next += D;
  };
  place(0, 0);
  for (int32_t P = 1; P < 150; ++P) place(P, P == 1 ? kGuard : 0);
  place(150, kGuard);
  for (int32_t P = 151; P <= 160; ++P) place(P, P == 151 ? kGuard : 0);
  for (int32_t P = kPages - 1; P >= 161; --P) place(P, 0);
  ASSERT_EQ(Next + 2 * kGuard, static_cast<int64_t>(Memory.size()));
  for (int32_t P = 0; P < kPages; ++P) Dests[P] = Base + Slot[P];

  ASSERT_EQ(Runs.ReadRun(4, kPages, Dests.data(), {}), kPages) << PageFile.LastError();
  std::vector<bool> Covered(Memory.size(), false);
  for (int32_t P = 0; P < kPages; ++P) {
    EXPECT_TRUE(std::equal(Dests[P], Dests[P] + D, Data.begin() + int64_t{P} * D)) << "page " << P;
    std::fill_n(Covered.begin() + (Dests[P] - Memory.data()), D, true);
  }
  for (size_t I = 0; I < Memory.size(); ++I) {
    if (!Covered[I]) {
      ASSERT_EQ(Memory[I], 0xA5) << "byte " << I << " outside every destination";
    }
  }
}

// With 1 KB pages the destinations of 31 pages leave only 32 bytes beyond 30 page images, less
// than the lead that puts the images at their host offset within a cache line; every lead from 0
// to 63 still brings each page to its place and nothing past the destinations is touched.
TEST_P(PageRunTest, ImagesAtTheirCacheLineOffsetStayInsideTheDestinations) {
  Cfs.reset();
  Cfs = std::make_unique<TContainerFileSystem>("/small-pages.edb", kModeCreate, false, GetParam().Password,
                                               std::string{}, std::string{}, 1);
  TPageFileManager& PageFile = Cfs->PageFile();
  const int32_t SmallD = PageFile.PageDataSize();
  ASSERT_EQ(PageFile.Header().PageSize, 1024);
  constexpr int32_t kPages = 31;
  ASSERT_TRUE(PageFile.AddPages(kPages + 8));
  TPageRunIO Runs(PageFile);
  const std::vector<uint8_t> Data = Pattern(size_t{kPages} * SmallD, 7);
  ASSERT_EQ(Runs.WriteRun(4, kPages, Data.data(), Encryption(), {}), kPages);
  constexpr size_t kGuard = 64;
  std::vector<uint8_t> Memory(kPages * SmallD + 3 * kGuard);
  for (size_t Shift = 0; Shift < 64; ++Shift) {
    SCOPED_TRACE(Shift);
    std::fill(Memory.begin(), Memory.end(), 0xA5);
    uint8_t* const Base = Memory.data() + Shift + kGuard;
    ASSERT_EQ(Runs.ReadRun(4, kPages, Base, {}), kPages) << PageFile.LastError();
    EXPECT_TRUE(std::equal(Data.begin(), Data.end(), Base));
    EXPECT_TRUE(std::all_of(Base + Data.size(), Memory.data() + Memory.size(), [](uint8_t B) { return B == 0xA5; }));
  }
}

// A run read straight into the caller's memory that reaches past the container's end stops at
// the last stored page, with every page before it intact.
TEST_P(PageRunTest, StraightReadStopsAtTheContainerEnd) {
  TPageFileManager& PageFile = Cfs->PageFile();
  ASSERT_TRUE(PageFile.AddPages(100));
  const int32_t Last = PageFile.Header().PageCount - 1;
  const int32_t From = Last - 79;
  TPageRunIO Runs(PageFile);
  const std::vector<uint8_t> Data = Pattern(80 * D, 6);
  ASSERT_EQ(Runs.WriteRun(From, 80, Data.data(), Encryption(), {}), 80);
  std::vector<uint8_t> Back(120 * D);
  EXPECT_EQ(Runs.ReadRun(From, 120, Back.data(), {}), 80);
  EXPECT_EQ(PageFile.LastError(), cePageHeaderRead);
  EXPECT_TRUE(std::equal(Back.begin(), Back.begin() + 80 * D, Data.begin()));
}

INSTANTIATE_TEST_SUITE_P(Variants, PageRunTest, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
