// The consistency checker: a sound container gives no problems; each kind of damage written into
// the stored file is found after reopening.

#include "ContainerTestSupport.h"

#include "codec/Checksums.h"
#include "container/CFSBytes_internal.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace tesvar::container::test {
namespace {

constexpr int32_t kPageSize = 4096;
constexpr int32_t D = 4064;
const std::string kPath = "/check.edb";

// Facts about the container the damage is aimed at, taken before closing it.
struct Layout {
  std::vector<int32_t> APages;  // data pages of \a
  std::vector<int32_t> BPages;  // data pages of \b
  int32_t AMap = 0;
  int32_t FirstDirPage = 0;
  int32_t FreePage = 0;  // a page no one uses
};

// Changes the stored data of a page (DataSize bytes) and stores its matching checksum.
void PatchPage(platform::MemoryFileSystem& Fs, int32_t PageNo, int32_t DataSize,
               const std::function<void(uint8_t*)>& Change, bool FixChecksum = true) {
  std::vector<uint8_t> File = Fs.ReadAll(kPath);
  uint8_t* Page = File.data() + kPartHeaderSize + static_cast<int64_t>(PageNo) * kPageSize;
  Change(Page + kPageHeaderSize);
  if (FixChecksum) putLE32(Page + 4, codec::CalcChecksum(Page + kPageHeaderSize, static_cast<size_t>(DataSize), 0));
  Fs.WriteAll(kPath, File);
}

void FlipBit(uint8_t* Bits, int64_t N) { Bits[N / 8] ^= static_cast<uint8_t>(1u << (N % 8)); }

struct DamageCase {
  const char* Name;
  std::function<void(platform::MemoryFileSystem&, const Layout&)> Damage;
  const char* Expected;  // part of a problem line
};

class ContainerCheckerTest : public testing::TestWithParam<DamageCase> {
protected:
  Layout Build() {
    auto Cfs = CreateContainer(kPath, "");
    EXPECT_TRUE(WriteWholeFile(*Cfs, "\\a", Pattern(3 * D, 1)));
    EXPECT_TRUE(WriteWholeFile(*Cfs, "\\b", Pattern(2 * D, 2)));
    EXPECT_TRUE(CheckContainer(*Cfs).empty()) << testing::PrintToString(CheckContainer(*Cfs));
    Layout L;
    const TDirItem& A = Cfs->Directory().ReadItem(Cfs->Directory().FindFile("\\a"));
    const TDirItem& B = Cfs->Directory().ReadItem(Cfs->Directory().FindFile("\\b"));
    L.APages = Cfs->PageMaps().GetMaps(A).DataPages;
    L.BPages = Cfs->PageMaps().GetMaps(B).DataPages;
    L.AMap = A.FirstMapPageNo;
    L.FirstDirPage = Cfs->PageFile().Header().FirstDirPageNo;
    for (int32_t P = Cfs->PageFile().Header().PageCount - 1; P > 0; --P) {
      if (Cfs->FreeSpace().IsPageFree(P)) {
        L.FreePage = P;
        break;
      }
    }
    return L;
  }
  ContainerEnvironment Env;
};

TEST_P(ContainerCheckerTest, FindsTheDamage) {
  const Layout L = Build();
  ASSERT_GT(L.FreePage, 0);
  GetParam().Damage(Env.Fs, L);
  // Opened read-only, as a maintenance check would.
  auto Cfs = OpenContainer(kPath, "", kModeRead);
  TContainerChecker Checker(*Cfs);
  const std::vector<std::string> Problems = Checker.Check(true);
  bool Found = false;
  for (const std::string& P : Problems) Found = Found || P.find(GetParam().Expected) != std::string::npos;
  EXPECT_TRUE(Found) << "expected \"" << GetParam().Expected << "\" in\n" << testing::PrintToString(Problems);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, ContainerCheckerTest,
    testing::Values(
        DamageCase{"PageUsedTwice",
                   [](platform::MemoryFileSystem& Fs, const Layout& L) {
                     PatchPage(Fs, L.AMap, D, [&](uint8_t* Map) { putLE32s(Map + 4, L.BPages[0]); });
                   },
                   "is used twice"},
        DamageCase{"UsedPageMarkedFree",
                   [](platform::MemoryFileSystem& Fs, const Layout& L) {
                     PatchPage(Fs, 1, D, [&](uint8_t* Pfs) { FlipBit(Pfs, L.APages[1] - 1); });
                   },
                   "but marked free"},
        DamageCase{"LeakedPage",
                   [](platform::MemoryFileSystem& Fs, const Layout& L) {
                     PatchPage(Fs, 1, D, [&](uint8_t* Pfs) { FlipBit(Pfs, L.FreePage - 1); });
                   },
                   "marked used but used by nothing"},
        DamageCase{"UnreadableDataPage",
                   [](platform::MemoryFileSystem& Fs, const Layout& L) {
                     PatchPage(Fs, L.BPages[1], D, [](uint8_t* Data) { Data[100] ^= 1; }, false);
                   },
                   "cannot be read (error -11)"},
        DamageCase{"MapOutsideTheContainer",
                   [](platform::MemoryFileSystem& Fs, const Layout& L) {
                     PatchPage(Fs, L.AMap, D, [](uint8_t* Map) { putLE32s(Map, 99999); });
                   },
                   "outside the container"},
        DamageCase{"DuplicateName",
                   [](platform::MemoryFileSystem& Fs, const Layout& L) {
                     // Items: 0 \a, 1 \b; rename the second to "A".
                     PatchPage(Fs, L.FirstDirPage, 7 * kDirItemSize,
                               [](uint8_t* Items) { Items[kDirItemSize + kItemFileNameOffset] = 'A'; });
                   },
                   "share a directory"},
        DamageCase{"OrphanItem",
                   [](platform::MemoryFileSystem& Fs, const Layout& L) {
                     PatchPage(Fs, L.FirstDirPage, 7 * kDirItemSize,
                               [](uint8_t* Items) { putLE32s(Items + kDirItemSize + kItemParentIDOffset, 0); });
                   },
                   "which is not a directory"},
        DamageCase{"SizeWithoutPages",
                   [](platform::MemoryFileSystem& Fs, const Layout& L) {
                     PatchPage(Fs, L.FirstDirPage, 7 * kDirItemSize,
                               [](uint8_t* Items) { putLE32s(Items + kDirItemSize + kItemFirstMapPageOffset, -1); });
                   },
                   "but no page map"},
        DamageCase{"GAMBitOfAnExtentInUse",
                   [](platform::MemoryFileSystem& Fs, const Layout&) {
                     PatchPage(Fs, 2, D, [](uint8_t* Gam) { FlipBit(Gam, 0); });
                   },
                   "its GAM bit says wholly free"}),
    [](const testing::TestParamInfo<DamageCase>& Info) { return std::string(Info.param.Name); });

TEST(ContainerCheckerSoundTest, AContainerInUseHasNoProblems) {
  ContainerEnvironment Env;
  auto Cfs = CreateContainer(kPath, "pw");
  EXPECT_TRUE(CheckContainer(*Cfs).empty());
  ASSERT_TRUE(Cfs->ForceDirectories("\\x\\y"));
  for (int I = 0; I < 12; ++I) ASSERT_TRUE(WriteWholeFile(*Cfs, "\\x\\y\\f" + std::to_string(I), Pattern(I * 3000, I)));
  ASSERT_TRUE(Cfs->DeleteFile("\\x\\y\\f4"));
  TContainerChecker Checker(*Cfs);
  EXPECT_EQ(Checker.Check(true), std::vector<std::string>{});
  EXPECT_TRUE(Checker.LeakedPages().empty());
}

}  // namespace
}  // namespace tesvar::container::test
