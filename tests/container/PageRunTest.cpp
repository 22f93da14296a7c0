// Pages written in single transfers and runs by the directory, map and user-file code are the
// page file's pages: each side reads what the other writes, plain and encrypted.

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

  // A single page of part size (a directory page) both ways.
  std::vector<uint8_t> Items = Pattern(7 * kDirItemSize, 2);
  TPageHeader Out;
  Out.NextPageNo = 3;
  Out.PageType = ptDirectory;
  Out.EncryptionType = Encryption();
  Out.Data = Items.data();
  ASSERT_TRUE(Runs.WritePage(Out, 5, 7 * kDirItemSize));
  EXPECT_EQ(Items, Pattern(7 * kDirItemSize, 2));  // the caller's data is left alone
  std::vector<uint8_t> In(7 * kDirItemSize);
  TPageHeader Header;
  Header.Data = In.data();
  ASSERT_TRUE(PageFile.ReadPage(Header, 5, false, {}, 7 * kDirItemSize));
  EXPECT_EQ(Header.NextPageNo, 3);
  EXPECT_EQ(Header.Checksum, Out.Checksum);
  EXPECT_EQ(In, Items);
  std::fill(In.begin(), In.end(), 0);
  ASSERT_TRUE(Runs.ReadPage(Header, 5, 7 * kDirItemSize));
  EXPECT_EQ(In, Items);
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

  for (const int32_t Bad : {130, 5}) {
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

INSTANTIATE_TEST_SUITE_P(Variants, PageRunTest, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
