// Sequential file reads in steps shorter than a page run (as the table page pool reads): the
// pages that follow come in long host transfers and later reads are served from them, for as long
// as the host bytes stay as they were; damaged pages and failed transfers fail the read that
// wants the page, exactly as without read-ahead.

#include "ContainerTestSupport.h"

#include "container/TCFSHugeFile.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "platform/FaultFileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace tesvar::container::test {
namespace {

constexpr int32_t D = 4064;        // page data size of the default 4 KB pages
constexpr int32_t kPages = 700;    // several read-ahead transfers of 1 MB
constexpr int32_t kStep = 63'600;  // a pool page of 106 records of 600 bytes: never page-aligned
constexpr char kPath[] = "/ahead.edb";
constexpr char kFile[] = "\\seq.dat";

class ContainerReadAheadTest : public FaultyFileFixture {
public:
  ContainerReadAheadTest() : FaultyFileFixture(kPath, kFile, Pattern(size_t{kPages} * D, 11)) {}
  // Reads the next kStep bytes (fewer at the end) and checks them against Expected; the bytes read.
  int32_t Step(const std::vector<uint8_t>& Expected) {
    const int64_t At = Cfs->FileSeek(Handle, 1, 0);
    const int32_t Want = static_cast<int32_t>(std::min<int64_t>(kStep, static_cast<int64_t>(Expected.size()) - At));
    std::vector<uint8_t> Back(static_cast<size_t>(Want));
    const int32_t Got = Cfs->FileRead(Handle, Back.data(), Want);
    EXPECT_GE(Got, 0);
    if (Got > 0) {
      EXPECT_TRUE(std::equal(Back.begin(), Back.begin() + Got, Expected.begin() + At)) << "bytes from " << At;
    }
    return Got;
  }
};

// A whole sequential pass returns the file and needs far fewer host reads than file reads.
TEST_P(ContainerReadAheadTest, SequentialStepsComeFromLongTransfers) {
  Open();
  const uint64_t Before = Faulty.Count(platform::FaultKind::Read);
  int32_t Steps = 0;
  int64_t Total = 0;
  while (Total < static_cast<int64_t>(Data.size())) {
    const int32_t Got = Step(Data);
    ASSERT_GT(Got, 0) << Cfs->LastError();
    Total += Got;
    ++Steps;
  }
  EXPECT_EQ(Cfs->LastError(), ceOk);
  const uint64_t HostReads = Faulty.Count(platform::FaultKind::Read) - Before;
  EXPECT_LE(HostReads * 4, static_cast<uint64_t>(Steps)) << HostReads << " host reads for " << Steps << " steps";
}

// Reading ahead, in the background too, reads only the file's own pages: a pass over the file
// followed in the host by another file's pages transfers no more than the file's pages.
TEST_P(ContainerReadAheadTest, APassReadsNoPagesPastTheFile) {
  {
    Open();
    ASSERT_TRUE(WriteWholeFile(*Cfs, "\\after.dat", Pattern(size_t{400} * D, 5)));
    ASSERT_TRUE(Cfs->FileClose(Handle));
    Cfs.reset();
  }
  Open();
  const uint64_t Before = Faulty.BytesRead();
  for (int64_t Total = 0; Total < static_cast<int64_t>(Data.size());) {
    const int32_t Got = Step(Data);
    ASSERT_GT(Got, 0) << Cfs->LastError();
    Total += Got;
  }
  const uint64_t Bytes = Faulty.BytesRead() - Before;
  const auto PageSize = static_cast<uint64_t>(Cfs->PageFile().Header().PageSize);
  // The file's pages, and a few of its map's.
  EXPECT_LE(Bytes, (uint64_t{kPages} + 8) * PageSize) << Bytes / PageSize << " pages for " << kPages;
  EXPECT_TRUE(Cfs->FileClose(Handle));
}

// Every change of the host bytes after pages were read ahead is what the next reads return:
// writes through another handle of the file, in a transaction or not, a size change that frees
// the pages and a write that takes them again, and a change of the host file itself (a damaged
// page then fails the read that reaches it).
TEST_P(ContainerReadAheadTest, ReadsAfterAChangeSeeTheNewBytes) {
  struct Case {
    const char* Name;
    // Changes the file or its host at byte Offset and beyond; returns the file's content after.
    std::function<std::vector<uint8_t>(ContainerReadAheadTest&, int64_t Offset)> Change;
    bool Damaged;  // the change damages the page at Offset
  };
  const Case Cases[] = {
      {"write through another handle",
       [](ContainerReadAheadTest& T, int64_t Offset) {
         std::vector<uint8_t> After = T.Data;
         const std::vector<uint8_t> New = Pattern(3 * D, 12);
         std::copy(New.begin(), New.end(), After.begin() + Offset);
         const int32_t H = T.Cfs->FileOpen(kFile, kModeReadWrite);
         EXPECT_GE(H, 0);
         EXPECT_EQ(T.Cfs->FileSeek(H, 0, Offset), Offset);
         EXPECT_EQ(T.Cfs->FileWrite(H, New.data(), static_cast<int32_t>(New.size())), static_cast<int32_t>(New.size()));
         EXPECT_TRUE(T.Cfs->FileFlush(H));
         EXPECT_TRUE(T.Cfs->FileClose(H));
         return After;
       },
       false},
      {"cut and written again",
       [](ContainerReadAheadTest& T, int64_t Offset) {
         std::vector<uint8_t> After(T.Data.begin(), T.Data.begin() + Offset);
         const std::vector<uint8_t> New = Pattern(T.Data.size() - static_cast<size_t>(Offset), 13);
         After.insert(After.end(), New.begin(), New.end());
         const int32_t H = T.Cfs->FileOpen(kFile, kModeReadWrite);
         EXPECT_GE(H, 0);
         EXPECT_EQ(T.Cfs->FileSetSize(H, Offset), Offset);
         EXPECT_EQ(T.Cfs->FileSeek(H, 0, Offset), Offset);
         EXPECT_EQ(T.Cfs->FileWrite(H, New.data(), static_cast<int32_t>(New.size())), static_cast<int32_t>(New.size()));
         EXPECT_TRUE(T.Cfs->FileClose(H));
         return After;
       },
       false},
      {"host byte changed",
       [](ContainerReadAheadTest& T, int64_t Offset) {
         T.FlipHostByte(T.HostOffset(Offset + 100));
         return T.Data;
       },
       true},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    Open();
    // Two steps: the second reads ahead well past the third.
    ASSERT_EQ(Step(Data), kStep);
    ASSERT_EQ(Step(Data), kStep);
    const int64_t Offset = (2 * kStep / D + 1) * int64_t{D};  // a page boundary inside the third step
    const std::vector<uint8_t> After = C.Change(*this, Offset);
    const int32_t Got = Step(After);
    if (C.Damaged) {
      EXPECT_EQ(Got, Offset - 2 * kStep) << "the read stops at the damaged page";
      EXPECT_EQ(Cfs->LastError(), cePageChecksum);
    } else {
      EXPECT_EQ(Got, kStep);
      EXPECT_EQ(Cfs->LastError(), ceOk);
      // The rest of the pass, over the pages read ahead after the change.
      for (int64_t At = 3 * kStep; Got > 0 && At < static_cast<int64_t>(After.size()); At += kStep) {
        ASSERT_GT(Step(After), 0) << Cfs->LastError();
      }
    }
    EXPECT_TRUE(Cfs->FileClose(Handle));
    Cfs.reset();
  }
}

// A page damaged before the pass is read ahead with its neighbours without failing the reads
// that do not want it; the read that wants it stops there with the checksum error, again when
// repeated, and the read after the page goes on.
TEST_P(ContainerReadAheadTest, ADamagedPageFailsOnlyTheReadThatWantsIt) {
  const int64_t Bad = 300;  // in the second read-ahead transfer of the pass
  {
    Open();
    FlipHostByte(HostOffset(Bad * D + 5));
    ASSERT_TRUE(Cfs->FileClose(Handle));
    Cfs.reset();
  }
  Open();
  int64_t At = 0;
  while (At + kStep <= Bad * D) {
    ASSERT_EQ(Step(Data), kStep) << "from " << At << ": " << Cfs->LastError();
    At += kStep;
  }
  for (int Repeat = 0; Repeat < 2; ++Repeat) {
    ASSERT_EQ(Cfs->FileSeek(Handle, 0, At), At);
    EXPECT_EQ(Step(Data), Bad * D - At);
    EXPECT_EQ(Cfs->LastError(), cePageChecksum);
  }
  ASSERT_EQ(Cfs->FileSeek(Handle, 0, (Bad + 1) * D), (Bad + 1) * D);
  EXPECT_EQ(Step(Data), kStep);
  EXPECT_EQ(Step(Data), kStep);
  EXPECT_EQ(Cfs->LastError(), ceOk);
}

// A host read that fails or comes back short while reading ahead (on the caller's thread or in
// the background) fails the file read at the page it stopped on, whichever read that is (no
// second attempt hides it); the read again from there gets the bytes, and the pass goes on. The
// fault hits the next host read after the given step: the background transfer started before it,
// when that has not run yet, or else the one after; either holds pages the pass reads.
TEST_P(ContainerReadAheadTest, AFailedTransferFailsTheReadThatNeedsIt) {
  // Steps before the fault: at the start, inside the first transfer's pages, inside the second's.
  for (const int32_t Before : {1, 6, 12}) {
    for (const platform::FaultMode Mode : {platform::FaultMode::Fail, platform::FaultMode::Short}) {
      SCOPED_TRACE((Mode == platform::FaultMode::Short ? "short read after step " : "failed read after step ") +
                   std::to_string(Before));
      Open();
      for (int32_t S = 0; S < Before; ++S) ASSERT_EQ(Step(Data), kStep);
      Faulty.FailAt(platform::FaultKind::Read, 1, Mode);
      int64_t At = int64_t{Before} * kStep;
      bool Failed = false;
      while (At < static_cast<int64_t>(Data.size())) {
        const int32_t Want = static_cast<int32_t>(std::min<int64_t>(kStep, static_cast<int64_t>(Data.size()) - At));
        const int32_t Got = Step(Data);
        ASSERT_GE(Got, 0);
        if (Got < Want) {
          EXPECT_NE(Cfs->LastError(), ceOk) << "a read came back short without an error at " << At;
          EXPECT_FALSE(Failed) << "one fault failed two reads";
          Failed = true;
          ASSERT_EQ(Cfs->FileSeek(Handle, 0, At + Got), At + Got);
          std::vector<uint8_t> Rest(static_cast<size_t>(Want - Got));
          ASSERT_EQ(Cfs->FileRead(Handle, Rest.data(), Want - Got), Want - Got) << Cfs->LastError();
          EXPECT_TRUE(std::equal(Rest.begin(), Rest.end(), Data.begin() + At + Got));
        }
        At += Want;
      }
      EXPECT_GT(Faulty.Injected(), 0u);
      // A short transfer may still hold every page the read wants; a failed one holds none.
      if (Mode == platform::FaultMode::Fail) {
        EXPECT_TRUE(Failed) << "the failed transfer was hidden";
      }
      ASSERT_TRUE(Cfs->FileClose(Handle));
      Cfs.reset();
      Faulty.Reset();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ContainerReadAheadTest, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
