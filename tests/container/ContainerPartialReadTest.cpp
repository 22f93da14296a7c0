// Reads of a part of a page (BLOB values, the ends of record-pool pages): a page read and
// verified once answers the next reads of it without a host transfer, for as long as the host
// bytes stay as they were; every change through any handle or of the host itself is what the next
// read returns, and a read that failed (damaged page, failed or short transfer) leaves nothing
// behind that a later read could take for the page. A write that continues in the page the last
// write ended in takes that page's bytes from memory, for as long as nothing changed the host.

#include "ContainerTestSupport.h"

#include "container/TCFSHugeFile.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "container/VerifiedPageCache_internal.h"
#include "platform/FaultFileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace tesvar::container::test {
namespace {

constexpr int32_t D = 4064;     // page data size of the default 4 KB pages
constexpr int32_t kPages = 24;  // fewer than the cache's first size
constexpr int32_t kValue = 300;  // a BLOB value's bytes
constexpr char kPath[] = "/partial.edb";
constexpr char kFile[] = "\\values.bdf";

class ContainerPartialReadTest : public FaultyFileFixture {
public:
  ContainerPartialReadTest() : FaultyFileFixture(kPath, kFile, Pattern(size_t{kPages} * D, 21)) {}
  // Reads Count bytes at Offset through Handle: the bytes read (fewer on a failure).
  std::vector<uint8_t> ReadAt(int64_t Offset, int32_t Count) {
    std::vector<uint8_t> Back(static_cast<size_t>(Count));
    EXPECT_EQ(Cfs->FileSeek(Handle, 0, Offset), Offset);
    const int32_t Got = Cfs->FileRead(Handle, Back.data(), Count);
    Back.resize(static_cast<size_t>(std::max(Got, 0)));
    return Back;
  }
  static std::vector<uint8_t> Slice(const std::vector<uint8_t>& Bytes, int64_t Offset, int32_t Count) {
    return {Bytes.begin() + Offset, Bytes.begin() + Offset + Count};
  }
};

// Values read out of order, inside pages and across page ends: each page is read from the host
// once, however many values it holds.
TEST_P(ContainerPartialReadTest, NeighbouringValuesShareOneHostRead) {
  Open();
  std::vector<int64_t> Offsets;
  for (int64_t At = 17; At + kValue <= static_cast<int64_t>(Data.size()); At += kValue + 3) Offsets.push_back(At);
  // A fixed shuffle: every seventh value in turn.
  std::vector<int64_t> Order;
  for (size_t Start = 0; Start < 7; ++Start)
    for (size_t I = Start; I < Offsets.size(); I += 7) Order.push_back(Offsets[I]);
  const uint64_t Before = Faulty.Count(platform::FaultKind::Read);
  for (const int64_t At : Order) ASSERT_EQ(ReadAt(At, kValue), Slice(Data, At, kValue)) << "value at " << At;
  EXPECT_EQ(Cfs->LastError(), ceOk);
  // One host read per page and one of the file's page map, where one per value would be more
  // than ten per page.
  EXPECT_LE(Faulty.Count(platform::FaultKind::Read) - Before, static_cast<uint64_t>(kPages + 1))
      << "host reads for " << Order.size() << " values";
}

// After the pages of the values were read, every change is what the next read of them returns.
TEST_P(ContainerPartialReadTest, ReadsAfterAChangeSeeTheNewBytes) {
  constexpr int64_t At = 5 * int64_t{D} + 1000;  // a value inside page 5
  constexpr int64_t Across = 7 * int64_t{D} - 100;  // a value across the end of page 6
  struct Case {
    const char* Name;
    // Changes the file or its host; returns the file's content after.
    std::function<std::vector<uint8_t>(ContainerPartialReadTest&)> Change;
    bool Damaged;  // the change damages the pages of both values
  };
  const auto writeAt = [](ContainerPartialReadTest& T, int32_t H, std::vector<uint8_t>& After, int64_t Offset,
                          uint32_t Seed) {
    const std::vector<uint8_t> New = Pattern(kValue, Seed);
    std::copy(New.begin(), New.end(), After.begin() + Offset);
    EXPECT_EQ(T.Cfs->FileSeek(H, 0, Offset), Offset);
    EXPECT_EQ(T.Cfs->FileWrite(H, New.data(), kValue), kValue);
  };
  const Case Cases[] = {
      {"write through the same handle",
       [&](ContainerPartialReadTest& T) {
         std::vector<uint8_t> After = T.Data;
         writeAt(T, T.Handle, After, At, 31);
         writeAt(T, T.Handle, After, Across, 32);
         return After;
       },
       false},
      {"write through another handle",
       [&](ContainerPartialReadTest& T) {
         std::vector<uint8_t> After = T.Data;
         const int32_t H = T.Cfs->FileOpen(kFile, kModeReadWrite);
         EXPECT_GE(H, 0);
         writeAt(T, H, After, At + 10, 33);
         writeAt(T, H, After, Across - 10, 34);
         EXPECT_TRUE(T.Cfs->FileClose(H));
         return After;
       },
       false},
      {"cut and written again",
       [](ContainerPartialReadTest& T) {
         const int64_t Cut = 5 * int64_t{D};
         std::vector<uint8_t> After(T.Data.begin(), T.Data.begin() + Cut);
         const std::vector<uint8_t> New = Pattern(T.Data.size() - static_cast<size_t>(Cut), 35);
         After.insert(After.end(), New.begin(), New.end());
         EXPECT_EQ(T.Cfs->FileSetSize(T.Handle, Cut), Cut);
         EXPECT_EQ(T.Cfs->FileSeek(T.Handle, 0, Cut), Cut);
         EXPECT_EQ(T.Cfs->FileWrite(T.Handle, New.data(), static_cast<int32_t>(New.size())),
                   static_cast<int32_t>(New.size()));
         return After;
       },
       false},
      {"host bytes changed",
       [&](ContainerPartialReadTest& T) {
         T.FlipHostByte(T.HostOffset(At + 5));
         T.FlipHostByte(T.HostOffset(Across + 5));
         return T.Data;
       },
       true},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    Open();
    ASSERT_EQ(ReadAt(At, kValue), Slice(Data, At, kValue));
    ASSERT_EQ(ReadAt(Across, kValue), Slice(Data, Across, kValue));
    const std::vector<uint8_t> After = C.Change(*this);
    for (const int64_t Offset : {At, Across}) {
      const std::vector<uint8_t> Back = ReadAt(Offset, kValue);
      if (C.Damaged) {
        EXPECT_EQ(Back.size(), 0u) << "the read stops at the damaged page";
        EXPECT_EQ(Cfs->LastError(), cePageChecksum);
      } else {
        EXPECT_EQ(Back, Slice(After, Offset, kValue)) << "value at " << Offset;
        EXPECT_EQ(Cfs->LastError(), ceOk);
      }
    }
    EXPECT_TRUE(Cfs->FileClose(Handle));
    Cfs.reset();
  }
}

// A page damaged before it was ever read fails every read that wants it; the pages around it
// still read.
TEST_P(ContainerPartialReadTest, ADamagedPageFailsEveryReadOfIt) {
  constexpr int64_t Bad = 9;
  Open();
  FlipHostByte(HostOffset(Bad * D + 50));
  for (int Repeat = 0; Repeat < 3; ++Repeat) {
    EXPECT_EQ(ReadAt(Bad * D + 10, kValue).size(), 0u);
    EXPECT_EQ(Cfs->LastError(), cePageChecksum);
  }
  // Across into the damaged page: the part before it is read, then the read stops.
  EXPECT_EQ(ReadAt(Bad * D - 100, kValue), Slice(Data, Bad * D - 100, 100));
  EXPECT_EQ(Cfs->LastError(), cePageChecksum);
  EXPECT_EQ(ReadAt((Bad + 1) * D + 10, kValue), Slice(Data, (Bad + 1) * D + 10, kValue));
  EXPECT_EQ(Cfs->LastError(), ceOk);
}

// A host read that fails or comes back short fails the value's read; the next read of the value
// reads the page again and gets its bytes, and so do the reads after it.
TEST_P(ContainerPartialReadTest, AFailedTransferIsNotKept) {
  for (const platform::FaultMode Mode : {platform::FaultMode::Fail, platform::FaultMode::Short}) {
    SCOPED_TRACE(Mode == platform::FaultMode::Short ? "short read" : "failed read");
    Open();
    // In the second half of the pages a transfer brings along with it, so that a short transfer
    // stops before it.
    constexpr int64_t At = 14 * int64_t{D} + 700;
    // A value of a page far from it first: the file's page map is read with it (and the pages
    // around that page).
    ASSERT_EQ(ReadAt(20 * int64_t{D}, kValue), Slice(Data, 20 * int64_t{D}, kValue));
    Faulty.FailFrom(platform::FaultKind::Read, 1, Mode);
    EXPECT_LT(ReadAt(At, kValue).size(), static_cast<size_t>(kValue));
    EXPECT_GT(Faulty.Injected(), 0u);
    EXPECT_NE(Cfs->LastError(), ceOk);
    Faulty.Reset();
    const uint64_t Before = Faulty.Count(platform::FaultKind::Read);
    EXPECT_EQ(ReadAt(At, kValue), Slice(Data, At, kValue));
    EXPECT_EQ(Faulty.Count(platform::FaultKind::Read) - Before, 1u) << "the page is read again";
    EXPECT_EQ(ReadAt(At + kValue, kValue), Slice(Data, At + kValue, kValue));
    EXPECT_EQ(ReadAt(At + int64_t{D}, kValue), Slice(Data, At + int64_t{D}, kValue)) << "the next page";
    EXPECT_EQ(Cfs->LastError(), ceOk);
    EXPECT_TRUE(Cfs->FileClose(Handle));
    Cfs.reset();
  }
}

// ---- Writes that continue in the page the last write ended in ----------------------------------

// Values appended one after another (a write log's records, BLOB values): the page a write ended
// in is not read back from the host by the write that continues in it.
TEST_P(ContainerPartialReadTest, AppendsInPiecesReadNoPageBack) {
  Open();
  std::vector<uint8_t> After = Data;
  const int64_t End = static_cast<int64_t>(Data.size()) - 1000;  // inside the last page
  ASSERT_EQ(Cfs->FileSetSize(Handle, End), End);
  After.resize(static_cast<size_t>(End));
  ASSERT_EQ(Cfs->FileSeek(Handle, 0, End), End);
  const uint64_t Before = Faulty.Count(platform::FaultKind::Read);
  for (uint32_t Piece = 0; Piece < 40; ++Piece) {
    const std::vector<uint8_t> New = Pattern(kValue, 100 + Piece);
    ASSERT_EQ(Cfs->FileWrite(Handle, New.data(), kValue), kValue) << Piece;
    After.insert(After.end(), New.begin(), New.end());
  }
  // Forty writes over four pages: no read of a page a write ended in, only the host reads of
  // taking the four pages (where a read back per write would be more than forty).
  EXPECT_LE(Faulty.Count(platform::FaultKind::Read) - Before, 12u);
  EXPECT_EQ(ReadAt(0, static_cast<int32_t>(After.size())), After);
  EXPECT_TRUE(Cfs->FileClose(Handle));
  Cfs.reset();
  Open();
  EXPECT_EQ(ReadAt(0, static_cast<int32_t>(After.size())), After) << "after reopening";
}

// Two files appended in turn (a table's records and its BLOB values, say): each write continues in
// its own file's last page, which is not read back although the other file was written between.
TEST_P(ContainerPartialReadTest, AppendsToFilesInTurnReadNoPageBack) {
  constexpr char kOther[] = "\\records.dat";
  Open();
  const int32_t Other = Cfs->FileOpen(kOther, kModeCreate);
  ASSERT_GE(Other, 0);
  std::vector<uint8_t> After = Data;
  std::vector<uint8_t> OtherAfter;
  ASSERT_EQ(Cfs->FileSeek(Handle, 0, static_cast<int64_t>(Data.size())), static_cast<int64_t>(Data.size()));
  const uint64_t Before = Faulty.Count(platform::FaultKind::Read);
  for (uint32_t Piece = 0; Piece < 40; ++Piece) {
    const std::vector<uint8_t> New = Pattern(kValue, 100 + Piece);
    ASSERT_EQ(Cfs->FileWrite(Handle, New.data(), kValue), kValue) << Piece;
    After.insert(After.end(), New.begin(), New.end());
    const std::vector<uint8_t> Record = Pattern(kValue / 2, 200 + Piece);
    ASSERT_EQ(Cfs->FileWrite(Other, Record.data(), kValue / 2), kValue / 2) << Piece;
    OtherAfter.insert(OtherAfter.end(), Record.begin(), Record.end());
  }
  // Eighty writes over six new pages: at most the host reads of taking them and of the files'
  // page maps, where a read back per write would be more than seventy.
  EXPECT_LE(Faulty.Count(platform::FaultKind::Read) - Before, 16u);
  EXPECT_EQ(ReadAt(0, static_cast<int32_t>(After.size())), After);
  EXPECT_EQ(ReadWholeFile(*Cfs, kOther), OtherAfter);
  EXPECT_TRUE(Cfs->FileClose(Other));
  EXPECT_TRUE(Cfs->FileClose(Handle));
  Cfs.reset();
  Open();
  EXPECT_EQ(ReadAt(0, static_cast<int32_t>(After.size())), After) << "after reopening";
  EXPECT_EQ(ReadWholeFile(*Cfs, kOther), OtherAfter) << "after reopening";
}

// Whatever changed the file between two appends, the second one builds its first page from the
// bytes as they are now.
TEST_P(ContainerPartialReadTest, AContinuedWriteSeesEveryChangeSinceTheLast) {
  const int64_t Tail = static_cast<int64_t>(Data.size()) + 500;  // the first append ends here
  struct Case {
    const char* Name;
    std::function<void(ContainerPartialReadTest&, std::vector<uint8_t>&)> Change;
  };
  // Writes 200 bytes at Offset through a handle of its own.
  const auto writeThroughAnother = [](ContainerPartialReadTest& T, std::vector<uint8_t>& After, int64_t Offset,
                                      uint32_t Seed) {
    const int32_t H = T.Cfs->FileOpen(kFile, kModeReadWrite);
    ASSERT_GE(H, 0);
    const std::vector<uint8_t> New = Pattern(200, Seed);
    ASSERT_EQ(T.Cfs->FileSeek(H, 0, Offset), Offset);
    ASSERT_EQ(T.Cfs->FileWrite(H, New.data(), 200), 200);
    std::copy(New.begin(), New.end(), After.begin() + Offset);
    EXPECT_TRUE(T.Cfs->FileClose(H));
  };
  const Case Cases[] = {
      {"write into the page through another handle",
       [&](ContainerPartialReadTest& T, std::vector<uint8_t>& After) { writeThroughAnother(T, After, Tail - 300, 41); }},
      {"cut inside the page",
       [&](ContainerPartialReadTest& T, std::vector<uint8_t>& After) {
         const int64_t Cut = Tail - 400;
         ASSERT_EQ(T.Cfs->FileSetSize(T.Handle, Cut), Cut);
         ASSERT_EQ(T.Cfs->FileSetSize(T.Handle, Tail), Tail);  // grown again: zeros
         std::fill(After.begin() + Cut, After.end(), 0);
       }},
      {"cut before the page",
       [&](ContainerPartialReadTest& T, std::vector<uint8_t>& After) {
         const int64_t Cut = static_cast<int64_t>(T.Data.size()) - 10;
         ASSERT_EQ(T.Cfs->FileSetSize(T.Handle, Cut), Cut);
         ASSERT_EQ(T.Cfs->FileSetSize(T.Handle, Tail), Tail);
         std::fill(After.begin() + Cut, After.end(), 0);
       }},
      {"flushed", [](ContainerPartialReadTest& T, std::vector<uint8_t>&) { EXPECT_TRUE(T.Cfs->FileFlush(T.Handle)); }},
      // Another file's writes keep the page held; whatever changed this file meanwhile does not.
      {"another file appended to, then the page written through another handle",
       [&](ContainerPartialReadTest& T, std::vector<uint8_t>& After) {
         const std::vector<uint8_t> Record = Pattern(100, 43);
         ASSERT_TRUE(WriteWholeFile(*T.Cfs, "\\other.dat", Record));
         writeThroughAnother(T, After, Tail - 250, 44);
         ASSERT_TRUE(WriteWholeFile(*T.Cfs, "\\other.dat", Pattern(300, 45)));
       }},
      {"another file written, then this one cut inside the page",
       [&](ContainerPartialReadTest& T, std::vector<uint8_t>& After) {
         ASSERT_TRUE(WriteWholeFile(*T.Cfs, "\\other.dat", Pattern(100, 46)));
         const int64_t Cut = Tail - 450;
         ASSERT_EQ(T.Cfs->FileSetSize(T.Handle, Cut), Cut);
         ASSERT_EQ(T.Cfs->FileSetSize(T.Handle, Tail), Tail);
         std::fill(After.begin() + Cut, After.end(), 0);
         ASSERT_TRUE(WriteWholeFile(*T.Cfs, "\\other.dat", Pattern(100, 47)));
       }},
      {"another file written, then deleted",
       [&](ContainerPartialReadTest& T, std::vector<uint8_t>&) {
         ASSERT_TRUE(WriteWholeFile(*T.Cfs, "\\other.dat", Pattern(5000, 48)));
         ASSERT_TRUE(T.Cfs->DeleteFile("\\other.dat"));
       }},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    SetUp();
    Open();
    std::vector<uint8_t> After = Data;
    const std::vector<uint8_t> First = Pattern(static_cast<size_t>(Tail) - Data.size(), 40);
    ASSERT_EQ(Cfs->FileSeek(Handle, 0, static_cast<int64_t>(Data.size())), static_cast<int64_t>(Data.size()));
    ASSERT_EQ(Cfs->FileWrite(Handle, First.data(), static_cast<int32_t>(First.size())), static_cast<int32_t>(First.size()));
    After.insert(After.end(), First.begin(), First.end());
    C.Change(*this, After);
    const std::vector<uint8_t> Second = Pattern(kValue, 42);
    ASSERT_EQ(Cfs->FileSeek(Handle, 0, Tail), Tail);
    ASSERT_EQ(Cfs->FileWrite(Handle, Second.data(), kValue), kValue);
    After.insert(After.end(), Second.begin(), Second.end());
    EXPECT_EQ(ReadAt(0, static_cast<int32_t>(After.size())), After);
    EXPECT_TRUE(Cfs->FileClose(Handle));
    Cfs.reset();
  }
}

// Two files appended a page at a time in turn (a table's records and its BLOB values), so that
// their pages alternate in the host file; then values of one are read out of their stored order,
// more than the cache's first size holds: once the cache has had to read pages again, a page
// not held brings the file's pages around it along in one transfer.
class ContainerValuesOutOfOrderTest : public ContainerPartialReadTest {
public:
  static constexpr int32_t kRounds = 200;
  // Appends kRounds pages to the values file and to another file in turn; Values: the values
  // file's bytes after. Reopens the container, so that the cache starts empty.
  void Interleave() {
    Open();
    Values = Data;
    const int32_t Other = Cfs->FileOpen("\\records.dat", kModeCreate);
    ASSERT_GE(Other, 0);
    ASSERT_EQ(Cfs->FileSeek(Handle, 0, static_cast<int64_t>(Data.size())), static_cast<int64_t>(Data.size()));
    for (int32_t Round = 0; Round < kRounds; ++Round) {
      const std::vector<uint8_t> Page = Pattern(D, 500 + static_cast<uint32_t>(Round));
      ASSERT_EQ(Cfs->FileWrite(Handle, Page.data(), D), D);
      Values.insert(Values.end(), Page.begin(), Page.end());
      const std::vector<uint8_t> Record = Pattern(D, 900 + static_cast<uint32_t>(Round));
      ASSERT_EQ(Cfs->FileWrite(Other, Record.data(), D), D);
    }
    ASSERT_TRUE(Cfs->FileClose(Other));
    ASSERT_TRUE(Cfs->FileClose(Handle));
    Cfs.reset();
    Open();
  }
  // Value offsets inside the pages First .. Last - 1, in a fixed shuffle (every 37th in turn).
  static std::vector<int64_t> Shuffled(int64_t First, int64_t Last) {
    std::vector<int64_t> Offsets;
    for (int64_t Page = First; Page < Last; ++Page)
      for (int64_t At = Page * D + 40; At + kValue <= (Page + 1) * D; At += 1200) Offsets.push_back(At);
    std::vector<int64_t> Order;
    for (size_t Start = 0; Start < 37; ++Start)
      for (size_t I = Start; I < Offsets.size(); I += 37) Order.push_back(Offsets[I]);
    return Order;
  }
  std::vector<uint8_t> Values;
};

TEST_P(ContainerValuesOutOfOrderTest, ComeInFewHostReadsAndReadRight) {
  Interleave();
  const int64_t Pages = static_cast<int64_t>(Values.size()) / D;
  const uint64_t Before = Faulty.Count(platform::FaultKind::Read);
  for (int Pass = 0; Pass < 2; ++Pass) {
    for (const int64_t At : Shuffled(0, Pages))
      ASSERT_EQ(ReadAt(At, kValue), Slice(Values, At, kValue)) << "pass " << Pass << ", value at " << At;
  }
  EXPECT_EQ(Cfs->LastError(), ceOk);
  // Page by page the two passes would read each of the 224 pages at least once, and the pages
  // that left the first small cache again.
  EXPECT_LE(Faulty.Count(platform::FaultKind::Read) - Before, static_cast<uint64_t>(Pages / 2));
}

// A damaged page among those a transfer brings along fails only the reads that want it.
TEST_P(ContainerValuesOutOfOrderTest, ADamagedNeighbourFailsOnlyItsOwnReads) {
  Interleave();
  constexpr int64_t Bad = 100;  // in the group of pages 96 .. 111
  FlipHostByte(HostOffset(Bad * D + 50));
  // Values of pages 128 on, twice, so that the cache has had to read pages again.
  for (int Pass = 0; Pass < 2; ++Pass) {
    for (const int64_t At : Shuffled(128, 224)) ASSERT_EQ(ReadAt(At, kValue), Slice(Values, At, kValue)) << At;
  }
  for (const int64_t Page : {int64_t{97}, Bad + 1, Bad, Bad - 1, Bad + 5, Bad}) {
    const int64_t At = Page * D + 400;
    if (Page == Bad) {
      EXPECT_EQ(ReadAt(At, kValue).size(), 0u);
      EXPECT_EQ(Cfs->LastError(), cePageChecksum);
    } else {
      EXPECT_EQ(ReadAt(At, kValue), Slice(Values, At, kValue)) << "page " << Page;
      EXPECT_EQ(Cfs->LastError(), ceOk) << "page " << Page;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ContainerValuesOutOfOrderTest, testing::ValuesIn(kContainerVariants), VariantName);

// The cache itself: a page is found only with the key and the host change it was stored at; a
// full cache lets the entry the clock passes go and keeps the ones read since; pages stored again
// after they left make it grow.
TEST(VerifiedPageCache, FindsOnlyWhatWasStoredForTheSameKeyAndChange) {
  constexpr int32_t Size = 64;
  const auto page = [](int32_t PageNo) { return std::vector<uint8_t>(Size, static_cast<uint8_t>(PageNo)); };
  const auto holds = [&](TVerifiedPageCache& Cache, int32_t PageNo, const std::string& Key, uint64_t Change) {
    const uint8_t* Data = Cache.Find(PageNo, Key, Change);
    return Data != nullptr && std::vector<uint8_t>(Data, Data + Size) == page(PageNo);
  };
  {
    TVerifiedPageCache Cache(Size);
    Cache.Store(3, "", 1, page(3).data());
    Cache.Store(4, "k", 1, page(4).data());
    EXPECT_TRUE(holds(Cache, 3, "", 1));
    EXPECT_TRUE(holds(Cache, 4, "k", 1));
    EXPECT_EQ(Cache.Find(4, "", 1), nullptr) << "another key";
    EXPECT_EQ(Cache.Find(5, "", 1), nullptr);
    EXPECT_EQ(Cache.Find(4, "k", 2), nullptr) << "the host changed";
    EXPECT_EQ(Cache.Find(3, "", 1), nullptr) << "gone with the change, not back with the old count";
    EXPECT_EQ(Cache.Count(), 0);
  }
  {
    TVerifiedPageCache Cache(Size);
    const int32_t Capacity = Cache.Capacity();
    for (int32_t P = 0; P < Capacity; ++P) Cache.Store(P, "", 7, page(P).data());
    ASSERT_TRUE(holds(Cache, 0, "", 7));  // read since: survives the next entry
    Cache.Store(Capacity, "", 7, page(Capacity).data());
    EXPECT_EQ(Cache.Count(), Capacity);
    EXPECT_TRUE(holds(Cache, 0, "", 7));
    EXPECT_EQ(Cache.Find(1, "", 7), nullptr) << "the clock's victim";
    for (int32_t P = 2; P <= Capacity; ++P) EXPECT_TRUE(holds(Cache, P, "", 7)) << P;
    // Pages coming back after they left: the cache grows instead of going round.
    for (int32_t Round = 0; Round < 3; ++Round)
      for (int32_t P = 0; P < 3 * Capacity; ++P) Cache.Store(P, "", 7, page(P).data());
    EXPECT_GT(Cache.Capacity(), Capacity);
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, ContainerPartialReadTest, testing::ValuesIn(kContainerVariants), VariantName);

}  // namespace
}  // namespace tesvar::container::test
