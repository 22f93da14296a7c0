// Damaged and hostile containers: headers whose numbers would make the engine allocate without
// bound, truncated host files, part chains that name files outside the container, page maps and
// directory chains that loop, pages of a checksum kind or encryption this system never writes.
// Each crafted file is built here and edited byte by byte; the engine must refuse or report the
// damage, allocate no more than the file can hold, and never touch a file outside the chain.

#include "ContainerTestSupport.h"

#include "codec/Checksums.h"
#include "container/CFSBytes_internal.h"
#include "container/DirectoryFormat.h"
#include "container/TCFSHugeFile.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "support/AllocationProbe.h"
#include "support/ExceptionText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace tesvar::container::test {
namespace {

using testsupport::LargestAllocation;
using testsupport::messageOf;

constexpr int32_t kPageSize = 4096;
constexpr int32_t D = kPageSize - kPageHeaderSize;
constexpr int32_t kDirPageBytes = 7 * kDirItemSize;
const std::string kPath = "/db/c.edb";
const std::string kCorrupted = "TContainerFileSystem.LoadHeader - Invalid CFS file, header is corrupted.";
const std::string kTruncated = "TContainerFileSystem.LoadHeader - CFS file is truncated, it can only be opened read-only.";

// What a crafted container may allocate at once: a few page buffers.
constexpr size_t kSmallAllocation = 1 << 20;

void ExpectSmallAllocations(const LargestAllocation& Probe) {
  if (LargestAllocation::Measured()) {
    EXPECT_LT(Probe.Bytes(), kSmallAllocation);
  }
}

bool Contains(const std::vector<std::string>& Problems, const std::string& Part) {
  return std::any_of(Problems.begin(), Problems.end(),
                     [&](const std::string& P) { return P.find(Part) != std::string::npos; });
}

// Edits of a one-part container file (start offset 0).
void PatchHeader(platform::MemoryFileSystem& Fs, const std::function<void(uint8_t*)>& Change) {
  std::vector<uint8_t> File = Fs.ReadAll(kPath);
  uint8_t* Header = File.data() + kPartHeaderSize;
  Change(Header);
  putLE32(Header + kHeaderChecksumOffset,
          codec::XorDwords(Header + kHeaderChecksummedOffset, kContainerHeaderSize - kHeaderChecksummedOffset));
  Fs.WriteAll(kPath, File);
}

// Change gets the whole page (header first); with ChecksumBytes > 0 the checksum of that many
// data bytes (kind 0) is stored again.
void PatchPage(platform::MemoryFileSystem& Fs, int32_t PageNo, const std::function<void(uint8_t*)>& Change,
               int32_t ChecksumBytes = 0) {
  std::vector<uint8_t> File = Fs.ReadAll(kPath);
  uint8_t* Page = File.data() + kPartHeaderSize + static_cast<int64_t>(PageNo) * kPageSize;
  Change(Page);
  if (ChecksumBytes > 0) {
    putLE32(Page + kPageChecksumOffset, codec::XorDwords(Page + kPageHeaderSize, static_cast<size_t>(ChecksumBytes)));
  }
  Fs.WriteAll(kPath, File);
}

std::vector<std::string> CheckReadOnly() {
  auto Cfs = OpenContainer(kPath, "", kModeRead);
  return CheckContainer(*Cfs);
}

class HostileContainerTest : public testing::Test {
protected:
  HostileContainerTest() { Env.Fs.CreateDirectory("/db"); }

  struct FileFacts {
    int32_t ItemID = -1;
    int32_t FirstMapPage = -1;
    std::vector<int32_t> MapPages;
    std::vector<int32_t> DataPages;
  };
  static FileFacts Facts(TContainerFileSystem& Cfs, const std::string& Path) {
    FileFacts F;
    F.ItemID = Cfs.Directory().FindFile(Path);
    const TDirItem& Item = Cfs.Directory().ReadItem(F.ItemID);
    F.FirstMapPage = Item.FirstMapPageNo;
    F.MapPages = Cfs.PageMaps().GetMaps(Item).MapPages;
    F.DataPages = Cfs.PageMaps().GetMaps(Item).DataPages;
    return F;
  }

  ContainerEnvironment Env;
};

// Header values the page arithmetic of the layers above takes on trust: each is refused at open
// with the damaged-header message before anything is allocated by it. The file is a new, empty
// container (536 bytes).
TEST_F(HostileContainerTest, ImpossibleHeaderValuesRefuseTheOpen) {
  CreateContainer(kPath, "").reset();
  ASSERT_EQ(Env.Fs.ReadAll(kPath).size(), 536u);
  const std::vector<uint8_t> Good = Env.Fs.ReadAll(kPath);
  EXPECT_NO_THROW(OpenContainer(kPath, "", kModeRead));

  struct Case {
    const char* Name;
    std::function<void(uint8_t*)> Change;
  };
  const Case Cases[] = {
      {"a page size of 16 MB", [](uint8_t* H) { putLE32s(H + 16, 16 << 20); }},
      {"a page size of 128 KB", [](uint8_t* H) { putLE32s(H + 16, 128 << 10); }},
      {"a page size below 1 KB", [](uint8_t* H) { putLE32s(H + 16, 512); }},
      {"a page size of no whole KB", [](uint8_t* H) { putLE32s(H + 16, 4000); }},
      {"no pages per extent", [](uint8_t* H) { putLE32s(H + 20, 0); }},
      {"more pages per extent than a PFS page describes", [](uint8_t* H) { putLE32s(H + 20, 8 * D + 1); }},
      {"two reserved pages", [](uint8_t* H) { putLE32s(H + 24, 2); }},
      {"no pages", [](uint8_t* H) { putLE32s(H + 48, 0); }},
      {"a negative PFS page count", [](uint8_t* H) { putLE32s(H + 32, -1); }},
      {"a negative directory item count", [](uint8_t* H) { putLE32s(H + 44, -5); }},
      {"more bitmap pages than pages", [](uint8_t* H) { putLE32s(H + 28, 1 << 30); }},
      {"more directory pages and items than pages",
       [](uint8_t* H) {
         putLE32s(H + 36, INT_MAX);  // DirPageCount
         putLE32s(H + 40, 1);        // FirstDirPageNo
         putLE32s(H + 44, INT_MAX);  // DirItemCount
       }},
      {"a first directory page outside the container",
       [](uint8_t* H) {
         putLE32s(H + 48, 17);
         putLE32s(H + 36, 1);
         putLE32s(H + 40, 17);
         putLE32s(H + 44, 1);
       }},
      {"encryption type 2", [](uint8_t* H) { H[kHeaderEncryptionTypeOffset] = 2; }},
      {"encryption type 255", [](uint8_t* H) { H[kHeaderEncryptionTypeOffset] = 255; }},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Env.Fs.WriteAll(kPath, Good);
    PatchHeader(Env.Fs, C.Change);
    for (uint16_t Mode : {kModeRead, kModeReadWrite}) {
      LargestAllocation Probe;
      EXPECT_EQ(messageOf([&] { OpenContainer(kPath, "", Mode); }), kCorrupted);
      ExpectSmallAllocations(Probe);
    }
  }
}

// Creation accepts page sizes of 1 to 64 KB and extents that one PFS page describes; those
// containers open again and carry files over many transfer runs.
TEST_F(HostileContainerTest, CreationAndOpeningAcceptTheSamePageSizes) {
  EXPECT_EQ(messageOf([] { TContainerFileSystem(kPath, kModeCreate, false, "", {}, {}, 65, 16); }),
            "TPageFileManager.Create - page size should be <= 64 Kb.");
  EXPECT_EQ(messageOf([] { TContainerFileSystem(kPath, kModeCreate, false, "", {}, {}, 1, 8 * (1024 - 32) + 1); }),
            "TPageFileManager.Create - extent page count should be <= 7936 Pages.");
  EXPECT_FALSE(Env.Fs.FileExists(kPath));

  for (const ContainerVariant& Variant : kContainerVariants) {
    for (int32_t KB : {kMinPageSizeKB, kMaxPageSizeKB}) {
      SCOPED_TRACE(testing::Message() << Variant.Name << ", " << KB << " KB");
      const int32_t PageData = KB * 1024 - kPageHeaderSize;
      // Longer than the 2 MB one transfer holds, starting and ending inside pages.
      const std::vector<uint8_t> Data = Pattern(static_cast<size_t>(PageData) * 40 + (3 << 20) / KB, KB);
      {
        TContainerFileSystem Cfs(kPath, kModeCreate, false, Variant.Password, {}, {}, KB, 16);
        ASSERT_TRUE(WriteWholeFile(Cfs, "\\f", Data));
      }
      {
        LargestAllocation Probe;
        auto Cfs = OpenContainer(kPath, Variant.Password, kModeRead);
        ExpectSmallAllocations(Probe);
        EXPECT_EQ(Cfs->PageFile().Header().PageSize, KB * 1024);
      }
      auto Cfs = OpenContainer(kPath, Variant.Password);
      EXPECT_EQ(ReadWholeFile(*Cfs, "\\f"), Data);
      EXPECT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
    }
  }
}

// A host file shorter than the header's pages lost data: writing is refused (it would build on
// pages that are not there), reading and checking still work on what is left.
TEST_F(HostileContainerTest, ATruncatedContainerOpensOnlyForReading) {
  struct Case {
    const char* Name;
    int64_t PartSize;  // maximum part size of the container
    std::function<void(platform::MemoryFileSystem&)> Cut;
    const char* Expected;  // a further problem the checker reports
  };
  const Case Cases[] = {
      {"cut inside a page", kPartMaxSizeDefault,
       [](platform::MemoryFileSystem& Fs) {
         std::vector<uint8_t> File = Fs.ReadAll(kPath);
         File.resize(File.size() - 12 * kPageSize - 100);
         Fs.WriteAll(kPath, File);
       },
       "lie beyond the end of the host file"},
      {"the last part file lost", kPartHeaderSize + 40 * kPageSize,
       [](platform::MemoryFileSystem& Fs) { ASSERT_TRUE(Fs.DeleteFile(kPath + "1")); },
       "names the next part \"c.edb1\", which does not exist"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    const std::vector<uint8_t> A = Pattern(2 * D, 1);
    const std::vector<uint8_t> B = Pattern(40 * D, 2);
    {
      TCFSHugeFile::ScopedMaxPartSize Parts(C.PartSize);
      auto Cfs = CreateContainer(kPath, "");
      ASSERT_TRUE(WriteWholeFile(*Cfs, "\\a", A));
      ASSERT_TRUE(WriteWholeFile(*Cfs, "\\b", B));
      ASSERT_GT(Facts(*Cfs, "\\b").DataPages.back(), Cfs->PageFile().Header().PageCount - 12);
    }
    C.Cut(Env.Fs);
    EXPECT_EQ(messageOf([] { OpenContainer(kPath, ""); }), kTruncated);

    auto Cfs = OpenContainer(kPath, "", kModeRead);
    EXPECT_EQ(ReadWholeFile(*Cfs, "\\a"), A);
    const int32_t H = Cfs->FileOpen("\\b", kModeRead);
    std::vector<uint8_t> Got(B.size());
    const int32_t Read = Cfs->FileRead(H, Got.data(), static_cast<int32_t>(Got.size()));
    EXPECT_LT(Read, static_cast<int32_t>(B.size()));
    EXPECT_NE(Cfs->LastError(), ceOk);
    EXPECT_TRUE(std::equal(Got.begin(), Got.begin() + Read, B.begin()));
    EXPECT_TRUE(Cfs->FileClose(H));
    const std::vector<std::string> Problems = CheckContainer(*Cfs);
    EXPECT_TRUE(Contains(Problems, "the container is truncated")) << testing::PrintToString(Problems);
    EXPECT_TRUE(Contains(Problems, C.Expected)) << testing::PrintToString(Problems);
    Cfs.reset();
    Env.Fs.DeleteFile(kPath);
  }
}

// A truncated container's header may count far more pages than the host file holds; opening it
// for reading allocates by what the file holds, not by those counts.
TEST_F(HostileContainerTest, ATruncatedHeaderAllocatesByTheFileNotByItsCounts) {
  {
    auto Cfs = CreateContainer(kPath, "");
    ASSERT_TRUE(WriteWholeFile(*Cfs, "\\a", Pattern(100, 1)));
    ASSERT_EQ(Cfs->PageFile().Header().PageCount, 17);
  }
  // As many pages as one PFS page describes; directory pages and items to match.
  PatchHeader(Env.Fs, [](uint8_t* H) {
    putLE32s(H + 48, 32000);      // PageCount
    putLE32s(H + 36, 31000);      // DirPageCount
    putLE32s(H + 44, 31000 * 7);  // DirItemCount
  });
  LargestAllocation Probe;
  EXPECT_EQ(messageOf([] { OpenContainer(kPath, "", kModeRead); }), "TDIRManager.Load - can not load page, pageNo = -1");
  ExpectSmallAllocations(Probe);
}

// A damaged part header names a file beside the container: the checker reports the broken chain,
// compaction refuses the damaged container, and neither replacing the container nor compacting
// it deletes that file.
TEST_F(HostileContainerTest, AChainNamingAFileOutsideIsReportedAndLeftAlone) {
  struct Victim {
    const char* Name;
    std::function<void()> Make;
  };
  const Victim Victims[] = {
      {"victim.txt", [this] { Env.Fs.WriteAll("/db/victim.txt", std::vector<uint8_t>(300, 'v')); }},
      {"other.edb",
       [] {
         auto Other = CreateContainer("/db/other.edb", "");
         ASSERT_TRUE(WriteWholeFile(*Other, "\\x", Pattern(5000, 9)));
       }},
  };
  struct Operation {
    const char* Name;
    std::function<void()> Run;
  };
  const Operation Operations[] = {
      {"create over it", [] { CreateContainer(kPath, "").reset(); }},
      {"compact it",
       [] {
         auto Cfs = OpenContainer(kPath, "", kModeReadWrite | kModeShareExclusive);
         std::string Log;
         EXPECT_FALSE(Cfs->RepairFile(Log));
         EXPECT_THAT(Log, testing::HasSubstr("the part chain is broken"));
         EXPECT_EQ(ReadWholeFile(*Cfs, "\\a"), Pattern(3 * D, 1));
       }},
  };
  for (const Victim& V : Victims) {
    for (const Operation& Op : Operations) {
      SCOPED_TRACE(testing::Message() << V.Name << ", " << Op.Name);
      V.Make();
      const std::string VictimPath = std::string("/db/") + V.Name;
      const std::vector<uint8_t> VictimBytes = Env.Fs.ReadAll(VictimPath);
      {
        auto Cfs = CreateContainer(kPath, "");
        ASSERT_TRUE(WriteWholeFile(*Cfs, "\\a", Pattern(3 * D, 1)));
      }
      std::vector<uint8_t> File = Env.Fs.ReadAll(kPath);
      std::memcpy(File.data() + kPartNextNameOffset, V.Name, std::strlen(V.Name));
      Env.Fs.WriteAll(kPath, File);

      const std::vector<std::string> Problems = CheckReadOnly();
      EXPECT_EQ(Problems, std::vector<std::string>{"the part chain is broken: part file \"c.edb\" names the next part \"" +
                                                   std::string(V.Name) +
                                                   "\" but is not the maximum part size (2147483647 bytes) long; the "
                                                   "container ends with \"c.edb\""});
      Op.Run();
      EXPECT_EQ(Env.Fs.ReadAll(VictimPath), VictimBytes);
      Env.Fs.DeleteFile(VictimPath);
    }
  }
}

// Page maps whose chain loops, or whose file size needs more pages than the container has, are
// refused by the engine and reported by the checker without following them.
TEST_F(HostileContainerTest, PageMapDamageIsFoundWithoutFollowingIt) {
  struct Case {
    const char* Name;
    std::function<void(platform::MemoryFileSystem&, const FileFacts& A, const FileFacts& B, int32_t DirPage)> Damage;
    const char* ReadMessage;  // "" when \a still reads back
    const char* Problem;
  };
  const Case Cases[] = {
      {"a huge size and a map page linked to itself",
       [](platform::MemoryFileSystem& Fs, const FileFacts& A, const FileFacts&, int32_t DirPage) {
         PatchPage(Fs, DirPage,
                   [&](uint8_t* Page) {
                     putLE64s(Page + kPageHeaderSize + A.ItemID * kDirItemSize + kItemSizeOffset, int64_t{1} << 40);
                   },
                   kDirPageBytes);
         PatchPage(Fs, A.FirstMapPage, [&](uint8_t* Page) { putLE32s(Page + kPageNextOffset, A.FirstMapPage); });
       },
       "TUserFilePageMapManager.GetMaps - File size exceeds the container.",
       "has 1099511627776 bytes, more than the container's"},
      {"a map chain that comes back to its first page",
       [](platform::MemoryFileSystem& Fs, const FileFacts& A, const FileFacts&, int32_t) {
         PatchPage(Fs, A.MapPages[0], [&](uint8_t* Page) { putLE32s(Page + kPageNextOffset, A.MapPages[0]); });
       },
       "TUserFilePageMapManager.GetMaps - Invalid page No in map chain.", "comes back to page"},
      {"a map chain longer than the size needs",
       [](platform::MemoryFileSystem& Fs, const FileFacts&, const FileFacts& B, int32_t) {
         PatchPage(Fs, B.FirstMapPage, [&](uint8_t* Page) { putLE32s(Page + kPageNextOffset, B.DataPages[0]); });
       },
       "", "goes on past the 1 map page(s) its size needs"},
  };
  // \a needs two map pages.
  const std::vector<uint8_t> A = Pattern(static_cast<size_t>(1020) * D, 1);
  const std::vector<uint8_t> B = Pattern(100, 2);
  {
    auto Cfs = CreateContainer(kPath, "");
    ASSERT_TRUE(WriteWholeFile(*Cfs, "\\a", A));
    ASSERT_TRUE(WriteWholeFile(*Cfs, "\\b", B));
  }
  const std::vector<uint8_t> Good = Env.Fs.ReadAll(kPath);
  FileFacts FactsA, FactsB;
  int32_t DirPage = 0;
  {
    auto Cfs = OpenContainer(kPath, "", kModeRead);
    FactsA = Facts(*Cfs, "\\a");
    FactsB = Facts(*Cfs, "\\b");
    DirPage = Cfs->PageFile().Header().FirstDirPageNo;
    ASSERT_EQ(FactsA.MapPages.size(), 2u);
  }
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    Env.Fs.WriteAll(kPath, Good);
    C.Damage(Env.Fs, FactsA, FactsB, DirPage);
    auto Cfs = OpenContainer(kPath, "", kModeRead);
    {
      LargestAllocation Probe;
      const int32_t H = Cfs->FileOpen("\\a", kModeRead);
      uint8_t Chunk[100];
      const std::string Message = messageOf([&] { static_cast<void>(Cfs->FileRead(H, Chunk, sizeof Chunk)); });
      EXPECT_TRUE(Cfs->FileClose(H));
      if (*C.ReadMessage) {
        EXPECT_EQ(Message, C.ReadMessage);
      }
      const std::vector<std::string> Problems = CheckContainer(*Cfs);
      EXPECT_TRUE(Contains(Problems, C.Problem)) << testing::PrintToString(Problems);
      ExpectSmallAllocations(Probe);
    }
    if (!*C.ReadMessage) {
      EXPECT_EQ(ReadWholeFile(*Cfs, "\\a"), A);
      EXPECT_EQ(ReadWholeFile(*Cfs, "\\b"), B);
    }
  }
}

// A directory chain that comes back to one of its pages would repeat items: the open refuses it.
TEST_F(HostileContainerTest, ALoopingDirectoryChainRefusesTheOpen) {
  int32_t First = 0;
  {
    auto Cfs = CreateContainer(kPath, "");
    for (int I = 0; I < 10; ++I) ASSERT_TRUE(WriteWholeFile(*Cfs, "\\f" + std::to_string(I), Pattern(10, I)));
    ASSERT_EQ(Cfs->PageFile().Header().DirPageCount, 2);
    First = Cfs->PageFile().Header().FirstDirPageNo;
  }
  PatchPage(Env.Fs, First, [&](uint8_t* Page) { putLE32s(Page + kPageNextOffset, First); });
  EXPECT_EQ(messageOf([] { OpenContainer(kPath, "", kModeRead); }),
            "TDIRManager.Load - invalid page No in directory chain, pageNo = " + std::to_string(First));
}

// Pages no writer of this system produces: the format lets them pass (an unknown checksum kind
// always matches), the checker names them.
TEST_F(HostileContainerTest, PagesThisSystemNeverWritesAreReported) {
  struct Case {
    const char* Name;
    const char* Password;
    std::function<int32_t(const FileFacts& A, int32_t DirPage)> Page;
    int Offset;  // byte of the page header changed
    uint8_t Value;
    const char* ReadMessage;  // "" when \a still reads (rightly or not)
    const char* Problem;
  };
  auto DataPage = [](const FileFacts& A, int32_t) { return A.DataPages[1]; };
  auto MapPage = [](const FileFacts& A, int32_t) { return A.FirstMapPage; };
  auto DirectoryPage = [](const FileFacts&, int32_t DirPage) { return DirPage; };
  auto PFSPage = [](const FileFacts&, int32_t) { return 1; };
  const Case Cases[] = {
      {"a data page of checksum kind 7", "", DataPage, kPageChecksumKindOffset, 7, "", "has checksum kind 7, which verifies nothing"},
      {"a map page of checksum kind 7", "", MapPage, kPageChecksumKindOffset, 7, "", "has checksum kind 7, which verifies nothing"},
      {"a directory page of checksum kind 9", "pw", DirectoryPage, kPageChecksumKindOffset, 9, "",
       "has checksum kind 9, which verifies nothing"},
      {"a PFS page of checksum kind 2", "", PFSPage, kPageChecksumKindOffset, 2, "", "has checksum kind 2, which verifies nothing"},
      {"an unencrypted data page in an encrypted container", "pw", DataPage, kPageEncryptionOffset, etNone, "",
       "has encryption type 0, expected 1"},
      {"an encrypted map page", "pw", MapPage, kPageEncryptionOffset, etPageCipher,
       "TUserFilePageMapManager.GetMaps - Error on reading map page.", "has encryption type 1, expected 0"},
  };
  const std::vector<uint8_t> A = Pattern(3 * D, 5);
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    FileFacts Facts_;
    int32_t DirPage = 0;
    {
      auto Cfs = CreateContainer(kPath, C.Password);
      ASSERT_TRUE(WriteWholeFile(*Cfs, "\\a", A));
      Facts_ = Facts(*Cfs, "\\a");
      DirPage = Cfs->PageFile().Header().FirstDirPageNo;
    }
    PatchPage(Env.Fs, C.Page(Facts_, DirPage), [&](uint8_t* Page) {
      Page[C.Offset] = C.Value;
      if (C.Offset == kPageChecksumKindOffset) putLE32(Page + kPageChecksumOffset, 0);  // what such a writer stores
    });
    auto Cfs = OpenContainer(kPath, C.Password, kModeRead);
    const int32_t H = Cfs->FileOpen("\\a", kModeRead);
    std::vector<uint8_t> Got(A.size());
    const std::string Message = messageOf([&] { static_cast<void>(Cfs->FileRead(H, Got.data(), static_cast<int32_t>(Got.size()))); });
    EXPECT_TRUE(Cfs->FileClose(H));
    if (*C.ReadMessage) {
      EXPECT_EQ(Message, C.ReadMessage);
    } else if (C.Offset == kPageChecksumKindOffset) {
      EXPECT_EQ(Got, A) << "an unknown checksum kind matches";
    }
    const std::vector<std::string> Problems = CheckContainer(*Cfs);
    EXPECT_TRUE(Contains(Problems, C.Problem)) << testing::PrintToString(Problems);
  }
}

// Random damage to a small container spread over part files: bits flipped, bytes and short
// runs overwritten in any page or part header, part links pointed at the files beside it. Opening,
// checking, reading every file, writing and creating a new container over it must not crash (the
// sanitizers watch), must report every failure, and must leave every file beside the container
// alone. A container the checker passes holds every file unchanged: no damage a checksum would
// tell goes unreported. TESVAR_SEED replaces the fixed seed.
class RandomDamageTest : public testing::TestWithParam<ContainerVariant> {
protected:
  RandomDamageTest() { Env.Fs.CreateDirectory("/db"); }
  ContainerEnvironment Env;
};

TEST_P(RandomDamageTest, EveryDamageIsRefusedOrReported) {
  const char* Given = std::getenv("TESVAR_SEED");
  const uint32_t Seed = Given ? static_cast<uint32_t>(std::strtoul(Given, nullptr, 10)) : 20240601u;
  std::cout << "RandomDamageTest seed " << Seed << "\n";
  SCOPED_TRACE(testing::Message() << "seed " << Seed);
  std::mt19937 Random(Seed);
  const std::string Password = GetParam().Password;

  // Parts of 24 pages and a little, so that pages straddle the part boundary.
  constexpr int64_t kPartData = 24 * kPageSize + 1000;
  const std::map<std::string, std::vector<uint8_t>> Files = {
      {"\\a", Pattern(3 * D, 1)},      {"\\b", Pattern(1, 2)},   {"\\dir\\c", Pattern(20 * D + 17, 3)},
      {"\\d", {}},                     {"\\e", Pattern(2000, 5)}};
  {
    TCFSHugeFile::ScopedMaxPartSize Parts(kPartHeaderSize + kPartData);
    auto Cfs = CreateContainer(kPath, Password);
    ASSERT_TRUE(Cfs->ForceDirectories("\\dir"));
    for (const auto& [Path, Data] : Files) ASSERT_TRUE(WriteWholeFile(*Cfs, Path, Data));
    ASSERT_EQ(CheckContainer(*Cfs), std::vector<std::string>{});
  }
  std::vector<std::string> PartNames = {kPath};
  while (Env.Fs.FileExists(kPath + std::to_string(PartNames.size()))) PartNames.push_back(kPath + std::to_string(PartNames.size()));
  ASSERT_GE(PartNames.size(), 2u);
  std::vector<std::vector<uint8_t>> Pristine;
  for (const auto& Name : PartNames) Pristine.push_back(Env.Fs.ReadAll(Name));

  // Files beside the container that no damage may get it to touch.
  {
    auto Other = CreateContainer("/db/other.edb", "");
    ASSERT_TRUE(WriteWholeFile(*Other, "\\x", Pattern(3000, 8)));
  }
  Env.Fs.WriteAll("/db/victim.txt", std::vector<uint8_t>(700, 'v'));
  Env.Fs.WriteAll("/db/c.edb7", std::vector<uint8_t>(300, 'p'));
  Env.Fs.WriteAll("/outside.txt", std::vector<uint8_t>(300, 'o'));
  const std::vector<std::string> Beside = {"/db/other.edb", "/db/victim.txt", "/db/c.edb7", "/outside.txt"};
  const std::vector<std::string> LinkTargets = {"other.edb", "victim.txt", "c.edb7", "../outside.txt", "c.edb"};
  std::vector<std::vector<uint8_t>> BesideBytes;
  for (const auto& Path : Beside) BesideBytes.push_back(Env.Fs.ReadAll(Path));

  auto Pick = [&](uint32_t N) { return static_cast<uint32_t>(Random() % N); };
  constexpr int kRounds = 120;
  for (int Round = 0; Round < kRounds; ++Round) {
    SCOPED_TRACE(testing::Message() << "round " << Round);
    std::vector<platform::DirEntry> Entries;
    ASSERT_TRUE(Env.Fs.ListDirectory("/db", Entries));
    for (const auto& Entry : Entries) {
      const std::string Path = "/db/" + Entry.name;
      if (std::find(Beside.begin(), Beside.end(), Path) == Beside.end()) Env.Fs.DeleteFile(Path);
    }
    std::vector<std::vector<uint8_t>> Images = Pristine;

    // 1 to 3 damages, each in its own page or part header (two changes in one page could cancel
    // out in its checksum, which no checksum of the format would tell).
    std::set<std::pair<size_t, int64_t>> Units;
    std::string Done;
    const uint32_t Damages = 1 + Pick(3);
    while (Units.size() < Damages) {
      const size_t Part = Pick(static_cast<uint32_t>(PartNames.size()));
      std::vector<uint8_t>& Image = Images[Part];
      if (Pick(10) == 0) {
        // A link to a file beside the container.
        const std::string& Target = LinkTargets[Pick(static_cast<uint32_t>(LinkTargets.size()))];
        if (!Units.insert({Part, -1}).second) continue;
        std::memset(Image.data() + kPartNextNameOffset, 0, kPartNextNameSize);
        std::memcpy(Image.data() + kPartNextNameOffset, Target.data(), Target.size());
        Done += " link part " + std::to_string(Part) + " to " + Target + ";";
        continue;
      }
      auto Offset = static_cast<int64_t>(Pick(static_cast<uint32_t>(Image.size())));
      if (Pick(3) == 0 && Offset >= kPartHeaderSize) {
        // Page headers are few bytes but steer everything: aim at them more often.
        const int64_t Place = static_cast<int64_t>(Part) * kPartData + Offset - kPartHeaderSize;
        const int64_t Header = Place - Place % kPageSize + Pick(kPageHeaderSize);
        Offset = std::clamp<int64_t>(Header - static_cast<int64_t>(Part) * kPartData + kPartHeaderSize, kPartHeaderSize,
                                     static_cast<int64_t>(Image.size()) - 1);
      }
      const int64_t Logical = Offset < kPartHeaderSize ? -1 : static_cast<int64_t>(Part) * kPartData + Offset - kPartHeaderSize;
      const int64_t Unit = Logical < 0 ? -1 : Logical / kPageSize;
      if (!Units.insert({Part, Unit}).second) continue;
      // The unit's bytes in this part file.
      const int64_t UnitEnd = Unit < 0 ? kPartHeaderSize
                                       : std::min<int64_t>(static_cast<int64_t>(Image.size()),
                                                           (Unit + 1) * kPageSize - static_cast<int64_t>(Part) * kPartData +
                                                               kPartHeaderSize);
      switch (Pick(3)) {
        case 0: Image[static_cast<size_t>(Offset)] ^= static_cast<uint8_t>(1u << Pick(8)); break;
        case 1: Image[static_cast<size_t>(Offset)] = static_cast<uint8_t>(Random()); break;
        default:
          for (int64_t I = Offset; I < std::min(Offset + 1 + Pick(8), UnitEnd); ++I) {
            Image[static_cast<size_t>(I)] = static_cast<uint8_t>(Random());
          }
      }
      Done += " part " + std::to_string(Part) + " offset " + std::to_string(Offset) + ";";
    }
    SCOPED_TRACE(Done);
    for (size_t I = 0; I < PartNames.size(); ++I) Env.Fs.WriteAll(PartNames[I], Images[I]);

    // Read-only: open, check, read every file.
    try {
      auto Cfs = OpenContainer(kPath, Password, kModeRead);
      std::vector<std::string> Problems;
      try {
        Problems = CheckContainer(*Cfs);
      } catch (const Exception& E) {
        Problems.push_back(E.Message());
      }
      for (const auto& [Path, Data] : Files) {
        SCOPED_TRACE(Path);
        std::vector<uint8_t> Got;
        bool Failed = false;
        try {
          const int32_t H = Cfs->FileOpen(Path, kModeRead);
          if (H < 0) {
            Failed = true;
          } else {
            const int64_t Size = Cfs->FileSeek(H, 2, 0);
            ASSERT_EQ(Cfs->FileSeek(H, 0, 0), 0);
            Got.resize(static_cast<size_t>(std::clamp<int64_t>(Size, 0, 1 << 20)));
            const int32_t Read = Cfs->FileRead(H, Got.data(), static_cast<int32_t>(Got.size()));
            EXPECT_TRUE(Cfs->FileClose(H));
            if (Read < static_cast<int32_t>(Got.size())) {
              EXPECT_NE(Cfs->LastError(), ceOk) << "a short read reports its reason";
              Failed = true;
            }
          }
        } catch (const Exception&) {
          Failed = true;
        }
        if (Problems.empty()) {
          EXPECT_FALSE(Failed) << "the checker passed a container whose file fails to read";
          EXPECT_EQ(Got, Data) << "the checker passed a container whose file reads wrong";
        }
      }
    } catch (const Exception&) {
      // Refused: reported.
    }

    // Read-write: a new file, a deletion.
    try {
      auto Cfs = OpenContainer(kPath, Password, kModeReadWrite);
      (void)WriteWholeFile(*Cfs, "\\new", Pattern(5000, 7));
      (void)Cfs->DeleteFile("\\b");
      (void)ReadWholeFile(*Cfs, "\\new");
    } catch (const Exception&) {
    }

    // A new container in its place.
    try {
      CreateContainer(kPath, Password).reset();
    } catch (const Exception&) {
    }
    for (size_t I = 0; I < Beside.size(); ++I) EXPECT_EQ(Env.Fs.ReadAll(Beside[I]), BesideBytes[I]) << Beside[I];
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, RandomDamageTest, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
