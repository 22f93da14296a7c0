// BLOB values in T.bdf and their directory in T.bif: values of every size at every compression
// level in every store, plain and encrypted; block counts, reuse of freed blocks, graphic
// headers, the directory's layout, the files after the last record goes, damaged data.

#include "BLOBTestSupport.h"
#include "codec/Checksums.h"
#include "storage/TedBLOBDirectory.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

using namespace tesvar;
using namespace tesvar::storagetest;
using tesvar::testsupport::messageOf;
namespace bf = tesvar::storage::blobformat;

namespace {

const std::string kReadError = "Error in TEdbDataManager.edReadBLOBValue - ";

bool contains(const std::vector<uint8_t>& Haystack, const std::vector<uint8_t>& Needle) {
  return std::search(Haystack.begin(), Haystack.end(), Needle.begin(), Needle.end()) != Haystack.end();
}

// A directory block of one record with one empty header, the given free list and no other parts.
std::vector<uint8_t> freeListBlock(const TedBLOBPartsArray& Free) {
  std::vector<uint8_t> b(bf::kFileHeaderSize + bf::kHeaderSize + Free.size() * bf::kPartSize, 0);
  PutInt32(b.data() + bf::kFHBlockSize, 512);
  PutInt32(b.data() + bf::kFHFreePartCount, static_cast<int32_t>(Free.size()));
  PutInt32(b.data() + bf::kFHFieldCount, 1);
  PutInt32(b.data() + bf::kFHRecordCount, 1);
  PutDouble(b.data() + bf::kFHVersion, 2.2);
  for (size_t i = 0; i < Free.size(); ++i) {
    uint8_t* p = b.data() + bf::kFileHeaderSize + bf::kHeaderSize + i * bf::kPartSize;
    PutInt32(p + bf::kPartFirstBlock, Free[i].FirstBlock);
    PutInt32(p + bf::kPartBlockCount, Free[i].BlockCount);
  }
  return b;
}

// ---------------------------------------------------------------------------------------------
// The allocator alone.

struct AllocationCase {
  const char* Name;
  TedBLOBPartsArray Free;
  int32_t Blocks;
  TedBLOBPartsArray Expected;
  TedBLOBPartsArray FreeAfter;
  int32_t TotalAfter;
};

class BLOBAllocation : public ::testing::TestWithParam<AllocationCase> {};

// Free parts come from the end of the free list: a larger one is split (its first blocks go),
// smaller ones are taken whole until enough are gathered, and what is still missing is appended
// at the end of T.bdf (100 blocks long here).
TEST_P(BLOBAllocation, TakesFreePartsFromTheEnd) {
  const AllocationCase& c = GetParam();
  TedBLOBDirectory d;
  const std::vector<uint8_t> block = freeListBlock(c.Free);
  d.Parse(block.data(), block.size(), 1, 100 * 512);
  ASSERT_EQ(d.TotalBlocks(), 100);
  TBLOBHeader& h = d.Header(0, 0);
  d.Allocate(h, c.Blocks);
  EXPECT_EQ(TedBLOBPartsArray(d.Parts(h), d.Parts(h) + h.PartCount), c.Expected);
  EXPECT_EQ(d.FreeParts(), c.FreeAfter);
  EXPECT_EQ(d.TotalBlocks(), c.TotalAfter);
  // Freeing holds the parts back, in the value's order, until a directory that lists them as
  // free was written and committed; they then end the free list.
  d.FreeValue(h);
  EXPECT_FALSE(d.Header(0, 0).HasValue());
  EXPECT_EQ(d.FreeParts(), c.FreeAfter);
  EXPECT_EQ(d.PendingParts(), c.Expected);
  EXPECT_FALSE(d.DirectoryCommitted()) << "a commit before any directory was written";
  (void)d.Serialize();
  EXPECT_FALSE(d.DirectoryCommitted()) << "a commit after a directory write that failed";
  EXPECT_EQ(d.PendingParts(), c.Expected);
  (void)d.Serialize();
  d.DirectoryWritten();
  EXPECT_EQ(d.PendingParts(), c.Expected) << "written, not committed";
  EXPECT_FALSE(d.DirectoryCommitted());
  TedBLOBPartsArray back = c.FreeAfter;
  back.insert(back.end(), c.Expected.begin(), c.Expected.end());
  EXPECT_EQ(d.FreeParts(), back);
  EXPECT_TRUE(d.PendingParts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BLOBAllocation,
    ::testing::Values(AllocationCase{"EmptyListAppends", {}, 3, {{100, 3}}, {}, 103},
                      AllocationCase{"LargerLastPartIsSplit", {{10, 2}, {40, 5}}, 3, {{40, 3}}, {{10, 2}, {43, 2}}, 100},
                      AllocationCase{"ExactLastPartIsTaken", {{10, 2}, {40, 3}}, 3, {{40, 3}}, {{10, 2}}, 100},
                      AllocationCase{"SmallPartsGathered", {{10, 2}, {20, 1}, {30, 1}}, 4, {{30, 1}, {20, 1}, {10, 2}}, {}, 100},
                      AllocationCase{"GatheredThenSplit", {{10, 5}, {20, 1}}, 3, {{20, 1}, {10, 2}}, {{12, 3}}, 100},
                      AllocationCase{"ListRunsOut", {{10, 1}, {20, 2}}, 5, {{20, 2}, {10, 1}, {100, 2}}, {}, 102}),
    [](const auto& info) { return std::string(info.param.Name); });

// Parts freed after a directory was written stay pending at the commit that follows it; the
// directory block lists the free parts, then the pending ones, as its free list.
TEST(BLOBDirectoryPending, OnlyPartsFreedBeforeTheWrittenDirectoryAreReleased) {
  TedBLOBDirectory d;
  const std::vector<uint8_t> block = freeListBlock({{50, 1}});
  d.Parse(block.data(), block.size(), 1, 100 * 512);
  d.AddRecord();
  auto partsOf = [&d](int32_t RecNo) {
    const TBLOBHeader& h = d.Header(RecNo, 0);
    return TedBLOBPartsArray(d.Parts(h), d.Parts(h) + h.PartCount);
  };
  auto give = [&d](int32_t RecNo, int32_t Blocks) {
    d.Header(RecNo, 0).StoredSize = Blocks * 512;
    d.Allocate(d.Header(RecNo, 0), Blocks);
  };
  give(0, 2);
  give(1, 3);
  ASSERT_EQ(partsOf(0), (TedBLOBPartsArray{{50, 1}, {100, 1}}));
  ASSERT_EQ(partsOf(1), (TedBLOBPartsArray{{101, 3}}));
  d.FreeValue(d.Header(0, 0));
  const std::vector<uint8_t> written = d.Serialize();
  d.DirectoryWritten();
  d.FreeValue(d.Header(1, 0));
  EXPECT_FALSE(d.DirectoryCommitted());
  EXPECT_EQ(d.FreeParts(), (TedBLOBPartsArray{{50, 1}, {100, 1}}));
  EXPECT_EQ(d.PendingParts(), (TedBLOBPartsArray{{101, 3}}));
  // The written block: record 0 cleared, record 1's part, the parts pending then as free ones.
  ASSERT_EQ(written.size(), bf::kFileHeaderSize + 2 * bf::kHeaderSize + 3 * bf::kPartSize);
  EXPECT_EQ(GetInt32(written.data() + bf::kFHFreePartCount), 2);
  const uint8_t* free = written.data() + written.size() - 2 * bf::kPartSize;
  EXPECT_EQ((TBLOBPart{GetInt32(free), GetInt32(free + 4)}), (TBLOBPart{50, 1}));
  EXPECT_EQ((TBLOBPart{GetInt32(free + 8), GetInt32(free + 12)}), (TBLOBPart{100, 1}));
  // Allocation takes free parts only, never pending ones.
  give(0, 3);
  EXPECT_EQ(partsOf(0), (TedBLOBPartsArray{{100, 1}, {50, 1}, {104, 1}}));
  const std::vector<uint8_t> next = d.Serialize();
  EXPECT_EQ(GetInt32(next.data() + bf::kFHFreePartCount), 1) << "the pending part is free in the next directory";
}

// Saving again and again after random values, frees and deletes: each block, read back, gives a
// directory with the same values and parts that lays out the very same bytes, whether or not
// what the deleted records and replaced values left behind was dropped first.
TEST(BLOBDirectorySerialize, EverySavedBlockReadsBackAsTheDirectoryItWasMadeFrom) {
  constexpr int32_t kFields = 2;
  TedBLOBDirectory d;
  d.Reset(512, kFields, 4.11);
  std::mt19937 random(20261211);
  auto pick = [&random](int32_t Below) { return static_cast<int32_t>(random() % static_cast<uint32_t>(Below)); };
  for (int32_t round = 0; round < 60; ++round) {
    for (int32_t step = 0; step < 40; ++step) {
      const int32_t records = d.MapCount();
      const int32_t what = records == 0 ? 0 : pick(10);
      if (what < 4) {
        d.AddRecord();
      } else if (what < 7) {
        TBLOBHeader& h = d.Header(pick(records), pick(kFields));
        d.FreeValue(h);
        // Now and then a part so long that every byte of its words is set, so that a block
        // laid out over the memory of an earlier one shows any byte it leaves unwritten.
        const int32_t blocks = pick(8) == 0 ? 0x01010101 + pick(1000) : 1 + pick(4);
        h.StoredSize = 1 + pick(2000);
        h.Size = h.StoredSize + pick(50);
        h.Crc[0] = static_cast<uint8_t>(1 + pick(200));
        d.Allocate(h, blocks);
      } else if (what < 8) {
        d.FreeValue(d.Header(pick(records), pick(kFields)));
      } else {
        d.DeleteRecord(pick(records));
      }
    }
    const std::vector<uint8_t> block = d.Serialize();
    d.DirectoryWritten();
    (void)d.DirectoryCommitted();
    TedBLOBDirectory back;
    back.Parse(block.data(), block.size(), kFields, int64_t{d.TotalBlocks()} * 512);
    ASSERT_EQ(back.MapCount(), d.MapCount()) << "round " << round;
    for (int32_t r = 0; r < d.MapCount(); ++r)
      for (int32_t k = 0; k < kFields; ++k) {
        const TBLOBHeader& want = d.Header(r, k);
        const TBLOBHeader& got = back.Header(r, k);
        ASSERT_EQ(got.HasValue(), want.HasValue()) << "round " << round << " record " << r << " field " << k;
        if (!want.HasValue()) continue;
        EXPECT_EQ(got.StoredSize, want.StoredSize);
        EXPECT_EQ(got.Size, want.Size);
        EXPECT_EQ(got.CrcText(), want.CrcText());
        EXPECT_EQ(TedBLOBPartsArray(back.Parts(got), back.Parts(got) + got.PartCount),
                  TedBLOBPartsArray(d.Parts(want), d.Parts(want) + want.PartCount))
            << "round " << round << " record " << r << " field " << k;
      }
    ASSERT_EQ(back.Serialize(), block) << "round " << round;
  }
}

// A directory block whose counts or parts do not fit is refused, never read past its end.
TEST(BLOBDirectoryParse, DamagedBlocksAreRefused) {
  const std::vector<uint8_t> good = freeListBlock({{1, 2}});
  struct Case {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Damage;
    std::string Detail;
  };
  const std::vector<Case> cases = {
      {"short", [](std::vector<uint8_t>& b) { b.resize(20); }, "its header is incomplete"},
      {"block size", [](std::vector<uint8_t>& b) { PutInt32(b.data() + bf::kFHBlockSize, 0); }, "invalid block size"},
      {"field count", [](std::vector<uint8_t>& b) { PutInt32(b.data() + bf::kFHFieldCount, 2); },
       "it describes another number of BLOB fields"},
      {"record count", [](std::vector<uint8_t>& b) { PutInt32(b.data() + bf::kFHRecordCount, 1000000); },
       "invalid record or free part count"},
      {"free count", [](std::vector<uint8_t>& b) { PutInt32(b.data() + bf::kFHFreePartCount, -1); },
       "invalid record or free part count"},
      {"parts offset",
       [](std::vector<uint8_t>& b) {
         PutInt32(b.data() + bf::kFileHeaderSize + bf::kBHPartCount, 1);
         PutInt32(b.data() + bf::kFileHeaderSize + bf::kBHPartsOffset, 4000);
       },
       "the parts of header 0 lie outside the block"},
      {"free part", [](std::vector<uint8_t>& b) { PutInt32(b.data() + b.size() - 4, 0); }, "invalid part"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<uint8_t> b = good;
    c.Damage(b);
    TedBLOBDirectory d;
    EXPECT_EQ(messageOf([&] { d.Parse(b.data(), b.size(), 1, 0); }),
              "TEdbDataManager.LoadBLOBHeaders - the BLOB directory is damaged: " + c.Detail + ".");
  }
  TedBLOBDirectory d;
  d.Parse(good.data(), good.size(), 1, 0);
  EXPECT_EQ(d.TotalBlocks(), 3) << "blocks named by a part count even when T.bdf is shorter";
}

TEST(IsStreamGraphic, HeaderInFrontOfABitmap) {
  struct Case {
    std::vector<uint8_t> Bytes;
    bool Graphic;
  };
  const std::vector<Case> cases = {
      {{1, 0, 0, 1, 9, 9, 9, 9, 'B', 'M'}, true},
      {{1, 0, 0, 1, 0, 0, 0, 0, 'B', 'M', 7, 7}, true},
      {{1, 0, 0, 1, 9, 9, 9, 9, 'B'}, false},
      {{1, 0, 0, 2, 9, 9, 9, 9, 'B', 'M'}, false},
      {{1, 0, 0, 1, 9, 9, 9, 9, 'B', 'X'}, false},
      {{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0}, false},
      {{}, false},
  };
  for (const Case& c : cases) {
    toolkit::TMemoryStream s(c.Bytes);
    s.SetPosition(5);
    EXPECT_EQ(TEdbDataManager::IsStreamGraphic(s), c.Graphic) << c.Bytes.size();
    EXPECT_EQ(s.Position(), 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Values at every level in every store.

class BLOBLevels : public ::testing::TestWithParam<TLevelCase> {
protected:
  TBlobEnv Env{GetParam().Store, GetParam().Level};
};

TEST_P(BLOBLevels, ValuesReadBackBeforeAndAfterReopen) {
  const uint8_t level = GetParam().Level;
  Env.CreateBlobTable();
  Env.Open();
  EXPECT_EQ(Env.M().TableHeader().BLOBCompression, level);
  const std::vector<std::vector<uint8_t>> values = {
      noise(1, 1), noise(511, 2), noise(512, 3), noise(513, 4), noise(1024, 5), noise(1025, 6), noise(70000, 7),
      text(200000), {}};
  for (size_t i = 0; i < values.size(); ++i)
    Env.Add("r" + std::to_string(i), values[i], values[values.size() - 1 - i]);
  for (int32_t i = 0; i < static_cast<int32_t>(values.size()); ++i) {
    ASSERT_EQ(Env.Read(i, kNotes), values[static_cast<size_t>(i)]) << i;
    ASSERT_EQ(Env.Read(i, kPic), values[values.size() - 1 - static_cast<size_t>(i)]) << i;
  }
  const TBLOBHeader& big = Env.HeaderOf(7, kNotes);
  EXPECT_EQ(big.Size, 200000);
  if (level == 0)
    EXPECT_EQ(big.StoredSize, big.Size);
  else
    EXPECT_LT(big.StoredSize, big.Size / 5) << "repetitive text compresses";
  EXPECT_EQ(big.CrcText(), codec::THash_CRC32::CalcBuffer(values[7].data(), values[7].size()));
  Env.Close();

  // Stored bytes: enciphered in encrypted tables, as they are in plain uncompressed ones.
  const std::vector<uint8_t> bdf = Env.FileBytes(".bdf");
  const std::vector<uint8_t> probe(values[6].begin() + 100, values[6].begin() + 132);
  if (GetParam().Store.Encrypted) {
    EXPECT_FALSE(contains(bdf, probe));
  } else if (level == 0) {
    EXPECT_TRUE(contains(bdf, probe));
  }

  Env.Open();
  EXPECT_EQ(Env.M().BLOBDirectory().RecordCount(), static_cast<int32_t>(values.size()));
  for (int32_t i = 0; i < static_cast<int32_t>(values.size()); ++i) {
    ASSERT_EQ(Env.Read(i, kNotes), values[static_cast<size_t>(i)]) << i;
    ASSERT_EQ(Env.Read(i, kPic), values[values.size() - 1 - static_cast<size_t>(i)]) << i;
    ASSERT_EQ(Env.NameOf(i), "r" + std::to_string(i));
  }
}

// A read-only table reads neighbouring values from one read of T.bdf: values of every size (one
// larger than such a read, ones across its ends) come back in file order, backwards and at
// random, and a reopened table sees the values written after the last read-only open.
TEST_P(BLOBLevels, ReadOnlyTableReadsValuesInAnyOrder) {
  Env.CreateBlobTable();
  Env.Open();
  std::vector<std::vector<uint8_t>> notes, pics;
  for (uint32_t i = 0; i < 300; ++i) {
    notes.push_back(i % 50 == 7 ? noise(300000 + i, i) : i % 3 == 0 ? std::vector<uint8_t>{} : noise(100 + i * 7 % 900, i));
    pics.push_back(i % 4 == 0 ? text(300 + i) : noise(1 + i % 40, 1000 + i));
    Env.Add("r" + std::to_string(i), notes.back(), pics.back());
  }
  Env.Close();

  const auto readAll = [&](const std::vector<int32_t>& Order) {
    for (const int32_t r : Order) {
      ASSERT_EQ(Env.Read(r, kNotes), notes[static_cast<size_t>(r)]) << r;
      ASSERT_EQ(Env.Read(r, kPic), pics[static_cast<size_t>(r)]) << r;
    }
  };
  std::vector<int32_t> order(notes.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
  Env.FDataset.RO = true;
  Env.Open();
  readAll(order);
  readAll({order.rbegin(), order.rend()});
  std::mt19937 random(11);
  std::shuffle(order.begin(), order.end(), random);
  readAll(order);
  Env.Close();

  Env.FDataset.RO = false;
  Env.Open();
  for (const int32_t r : {0, 1, 150, 299}) {
    notes[static_cast<size_t>(r)] = noise(200 + static_cast<size_t>(r), 5000 + static_cast<uint32_t>(r));
    Env.Write(r, kNotes, notes[static_cast<size_t>(r)]);
  }
  // Two single blocks freed far apart: a value of two blocks then lies in both, once a committed
  // directory lists them as free.
  for (const int32_t r : {10, 20}) {
    notes[static_cast<size_t>(r)].clear();
    Env.Write(r, kNotes, {});
  }
  Env.Close();
  Env.Open();
  notes[3] = noise(700, 77);
  Env.Write(3, kNotes, notes[3]);
  if (GetParam().Level == 0) {
    ASSERT_EQ(Env.HeaderOf(3, kNotes).PartCount, 2);
  }
  Env.Close();
  Env.FDataset.RO = true;
  Env.Open();
  std::sort(order.begin(), order.end());
  readAll(order);
}

// A damaged byte in one value's blocks fails reading that value with the message of the step
// that notices it (the CRC, or the decompressor at levels 1-3); the stream is left empty, and
// the record and the other values stay readable, in a writable table and in a read-only one
// (which checks values in its read window of T.bdf).
TEST_P(BLOBLevels, DamagedDataFailsOnlyItsValue) {
  const uint8_t level = GetParam().Level;
  Env.CreateBlobTable();
  Env.Open();
  const std::vector<uint8_t> a = text(3000), b = noise(3000, 9), c = text(700);
  Env.Add("a", a, c);
  Env.Add("b", b, a);
  Env.Add("c", c, b);
  const TBLOBPart part = Env.M().BLOBDirectory().Parts(Env.HeaderOf(1, kNotes))[0];
  const int32_t stored = Env.HeaderOf(1, kNotes).StoredSize;
  Env.Close();
  Env.ChangeFile(".bdf", [&](std::vector<uint8_t>& bytes) {
    bytes[static_cast<size_t>(part.FirstBlock) * 512 + static_cast<size_t>(stored) / 2] ^= 0x5A;
    return true;
  });
  for (const bool readOnly : {false, true}) {
    Env.FDataset.RO = readOnly;
    Env.Open();
    // Twice: a value that failed is not taken for good the second time.
    for (int attempt = 0; attempt < 2; ++attempt) {
      toolkit::TMemoryStream stream(std::vector<uint8_t>{1, 2, 3});
      const std::string message = messageOf([&] { Env.M().ReadBLOBValue(stream, kNotes, 1); });
      if (level == 0)
        EXPECT_EQ(message, kReadError + "crc error") << readOnly;
      else
        EXPECT_TRUE(message == kReadError + "crc error" ||
                    message == kReadError + "decompressing error, mode=" + std::to_string(level) + ".")
            << message;
      EXPECT_EQ(stream.Size(), 0) << readOnly;
    }
    EXPECT_EQ(Env.NameOf(1), "b");
    EXPECT_EQ(Env.Read(1, kPic), a);
    EXPECT_EQ(Env.Read(0, kNotes), a);
    EXPECT_EQ(Env.Read(0, kPic), c);
    EXPECT_EQ(Env.Read(2, kNotes), c);
    EXPECT_EQ(Env.Read(2, kPic), b);
    Env.Close();
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, BLOBLevels, ::testing::ValuesIn(levelCases({0, 1, 2, 3})),
                         [](const auto& info) { return levelCaseName(info.param); });

// ---------------------------------------------------------------------------------------------
// Blocks, reuse and the directory, uncompressed with 512-byte blocks.

class BLOBStorage : public ::testing::TestWithParam<TStoreCase> {
protected:
  TBlobEnv Env{GetParam(), 0};
};

TEST_P(BLOBStorage, BlockCountsFollowTheStoredSize) {
  Env.CreateBlobTable();
  Env.Open();
  Env.Add("one", noise(1, 1), noise(1024, 2));
  Env.Add("two", noise(1025, 3));
  EXPECT_EQ(Env.BlocksOf(0, kNotes), 1);
  EXPECT_EQ(Env.BlocksOf(0, kPic), 2);
  EXPECT_EQ(Env.BlocksOf(1, kNotes), 3);
  EXPECT_EQ(Env.BlocksOf(1, kPic), 0);
  EXPECT_EQ(Env.M().BLOBDirectory().TotalBlocks(), 6);
  Env.Close();
  EXPECT_EQ(Env.FileBytes(".bdf").size(), 6u * 512);
}

TEST_P(BLOBStorage, AnEmptyStreamFreesBlocksThatTheNextValueReuses) {
  Env.CreateBlobTable();
  Env.Open();
  Env.Add("a", noise(1500, 1));  // 3 blocks: 0..2
  Env.Add("b", noise(100, 2));   // block 3
  Env.FClock.SetAutoAdvance(0);  // nothing flushes by age
  Env.M().FlushBuffers();
  const TedBLOBDirectory& d = Env.M().BLOBDirectory();
  Env.Write(0, kNotes, {});
  EXPECT_FALSE(Env.HeaderOf(0, kNotes).HasValue());
  EXPECT_EQ(Env.HeaderOf(0, kNotes).Size, 0);
  EXPECT_EQ(Env.Read(0, kNotes), std::vector<uint8_t>{});
  // The saved directory still gives the blocks to the value: they wait for the next save.
  EXPECT_EQ(d.FreeParts(), TedBLOBPartsArray{});
  EXPECT_EQ(d.PendingParts(), (TedBLOBPartsArray{{0, 3}}));
  Env.M().FlushBuffers();
  EXPECT_EQ(d.FreeParts(), (TedBLOBPartsArray{{0, 3}}));
  EXPECT_EQ(d.PendingParts(), TedBLOBPartsArray{});
  Env.Write(1, kPic, noise(900, 3));  // 2 blocks, the first two of the freed run
  EXPECT_EQ(d.Parts(Env.HeaderOf(1, kPic))[0], (TBLOBPart{0, 2}));
  EXPECT_EQ(d.FreeParts(), (TedBLOBPartsArray{{2, 1}}));
  EXPECT_EQ(d.TotalBlocks(), 4);
  // A value replaced before the next save takes other blocks, and T.bdf grows for the rest.
  Env.Write(1, kPic, noise(1000, 4));
  EXPECT_EQ(TedBLOBPartsArray(d.Parts(Env.HeaderOf(1, kPic)), d.Parts(Env.HeaderOf(1, kPic)) + 2),
            (TedBLOBPartsArray{{2, 1}, {4, 1}}));
  EXPECT_EQ(d.PendingParts(), (TedBLOBPartsArray{{0, 2}}));
  Env.Close();
  EXPECT_EQ(Env.FileBytes(".bdf").size(), 5u * 512);
  Env.FClock.SetAutoAdvance(1);
  Env.Open();
  EXPECT_EQ(Env.M().BLOBDirectory().FreeParts(), (TedBLOBPartsArray{{0, 2}}));
  EXPECT_EQ(Env.Read(1, kPic), noise(1000, 4));
  EXPECT_EQ(Env.Read(1, kNotes), noise(100, 2));
  // Saved, the freed blocks are taken again before T.bdf grows.
  Env.Write(0, kPic, noise(600, 5));
  EXPECT_EQ(Env.M().BLOBDirectory().Parts(Env.HeaderOf(0, kPic))[0], (TBLOBPart{0, 2}));
  Env.Close();
  EXPECT_EQ(Env.FileBytes(".bdf").size(), 5u * 512) << "T.bdf did not grow";
}

TEST_P(BLOBStorage, GraphicHeaderIsDropped) {
  Env.CreateBlobTable();
  Env.Open();
  std::vector<uint8_t> bitmap = {'B', 'M'};
  const std::vector<uint8_t> pixels = noise(600, 5);
  bitmap.insert(bitmap.end(), pixels.begin(), pixels.end());
  std::vector<uint8_t> graphic = {1, 0, 0, 1, 0x12, 0x34, 0x56, 0x78};
  graphic.insert(graphic.end(), bitmap.begin(), bitmap.end());
  std::vector<uint8_t> notGraphic = graphic;
  notGraphic[3] = 2;
  Env.Add("pic", notGraphic, graphic);
  EXPECT_EQ(Env.HeaderOf(0, kPic).Size, static_cast<int32_t>(bitmap.size()));
  EXPECT_EQ(Env.Read(0, kPic), bitmap);
  EXPECT_EQ(Env.Read(0, kNotes), notGraphic);
  Env.Close();
  Env.Open();
  EXPECT_EQ(Env.Read(0, kPic), bitmap);
}

TEST_P(BLOBStorage, ReadingBeforeAFlushReturnsTheNewValue) {
  Env.CreateBlobTable();
  Env.Open();
  Env.FClock.SetAutoAdvance(0);  // no flush by age
  Env.Add("a", text(5000));
  Env.Write(0, kNotes, noise(2000, 8));
  EXPECT_GT(Env.M().Log()->BLOBCount(), 0);
  EXPECT_EQ(Env.Read(0, kNotes), noise(2000, 8));
  EXPECT_EQ(Env.M().Log()->BLOBCount(), 0) << "the blocks were written first";
}

TEST_P(BLOBStorage, DeletingARecordMovesTheLastGroupIntoItsPlace) {
  Env.CreateBlobTable();
  Env.Open();
  for (int i = 0; i < 4; ++i) Env.Add("r" + std::to_string(i), noise(300 + i, i), noise(700 + i, 10 + i));
  Env.Remove(1);
  EXPECT_EQ(Env.M().BLOBDirectory().RecordCount(), 3);
  EXPECT_EQ(Env.M().BLOBDirectory().PendingParts().size(), 2u) << "both values of record 1 freed";
  auto check = [&] {
    ASSERT_EQ(Env.NameOf(1), "r3");
    EXPECT_EQ(Env.Read(1, kNotes), noise(303, 3));
    EXPECT_EQ(Env.Read(1, kPic), noise(703, 13));
    EXPECT_EQ(Env.Read(0, kNotes), noise(300, 0));
    EXPECT_EQ(Env.Read(2, kPic), noise(702, 12));
  };
  check();
  Env.Close();
  Env.Open();
  check();
}

// After the last record goes, T.bdf is empty and T.bif holds only the compressed 24-byte header.
TEST_P(BLOBStorage, DeletingTheLastRecordLeavesEmptyFiles) {
  Env.CreateBlobTable();
  Env.Open();
  Env.Add("a", noise(5000, 1), noise(10, 2));
  Env.Add("b", noise(3000, 3));
  Env.Remove(0);
  Env.Remove(0);
  Env.Close();
  EXPECT_EQ(Env.FileBytes(".bdf").size(), 0u);
  const std::vector<uint8_t> block = Env.DirectoryBlock();
  ASSERT_EQ(block.size(), static_cast<size_t>(bf::kFileHeaderSize));
  EXPECT_EQ(GetInt32(block.data() + bf::kFHBlockSize), 512);
  EXPECT_EQ(GetInt32(block.data() + bf::kFHFreePartCount), 0);
  EXPECT_EQ(GetInt32(block.data() + bf::kFHFieldCount), 2);
  EXPECT_EQ(GetInt32(block.data() + bf::kFHRecordCount), 0);
  EXPECT_EQ(GetDouble(block.data() + bf::kFHVersion), 2.2);
  Env.Open();
  EXPECT_EQ(Env.M().BLOBDirectory().TotalBlocks(), 0);
  Env.Add("c", noise(100, 4));
  EXPECT_EQ(Env.M().BLOBDirectory().Parts(Env.HeaderOf(0, kNotes))[0], (TBLOBPart{0, 1}));
}

// The directory block: headers in record order, each value's parts where its PartsOffset says,
// cleared headers for values that are gone, and the free list ending the block.
TEST_P(BLOBStorage, DirectoryBlockLayout) {
  Env.CreateBlobTable();
  Env.Open();
  const std::vector<uint8_t> one = {0x42};
  Env.Add("a", one);                          // Notes (0, 1)
  Env.Add("b", noise(1000, 1), noise(10, 2));  // Notes (1, 2), Pic (3, 1)
  Env.Add("c", noise(10, 3));                  // Notes (4, 1), deleted with its record
  Env.Write(1, kNotes, {});                    // free (1, 2)
  Env.Remove(2);                               // free (4, 1)
  Env.Close();
  const std::vector<uint8_t> b = Env.DirectoryBlock();
  const size_t parts = bf::kFileHeaderSize + 4 * bf::kHeaderSize;
  ASSERT_EQ(b.size(), parts + 4 * bf::kPartSize);
  EXPECT_EQ(GetInt32(b.data() + bf::kFHFreePartCount), 2);
  EXPECT_EQ(GetInt32(b.data() + bf::kFHRecordCount), 2);
  auto header = [&](int i) { return b.data() + bf::kFileHeaderSize + i * bf::kHeaderSize; };
  auto part = [&](size_t at) { return TBLOBPart{GetInt32(b.data() + at), GetInt32(b.data() + at + 4)}; };
  // Record 0 Notes.
  EXPECT_EQ(GetInt32(header(0) + bf::kBHPartCount), 1);
  EXPECT_EQ(GetInt32(header(0) + bf::kBHPartsOffset), static_cast<int32_t>(parts));
  EXPECT_EQ(GetInt32(header(0) + bf::kBHStoredSize), 1);
  EXPECT_EQ(GetInt32(header(0) + bf::kBHSize), 1);
  EXPECT_EQ(GetShortString(header(0) + bf::kBHCrc, 12), codec::THash_CRC32::CalcBuffer(one.data(), 1));
  // Record 0 Pic and record 1 Notes: cleared.
  for (int i : {1, 2})
    EXPECT_TRUE(std::all_of(header(i), header(i) + bf::kHeaderSize, [](uint8_t x) { return x == 0; })) << i;
  // Record 1 Pic.
  EXPECT_EQ(GetInt32(header(3) + bf::kBHPartCount), 1);
  EXPECT_EQ(GetInt32(header(3) + bf::kBHPartsOffset), static_cast<int32_t>(parts + 8));
  EXPECT_EQ(GetInt32(header(3) + bf::kBHSize), 10);
  EXPECT_EQ(part(parts), (TBLOBPart{0, 1}));
  EXPECT_EQ(part(parts + 8), (TBLOBPart{3, 1}));
  EXPECT_EQ(part(parts + 16), (TBLOBPart{1, 2}));
  EXPECT_EQ(part(parts + 24), (TBLOBPart{4, 1}));
}

// Groups beyond the record count (the directory was written, the records were not) are
// dropped at open, missing ones added empty; closing with different counts says so.
TEST_P(BLOBStorage, OpenMakesTheBLOBRecordCountTheTables) {
  Env.CreateBlobTable();
  Env.Open();
  Env.Add("a", noise(100, 1));
  Env.Add("b", noise(1100, 2));
  Env.M().edDeleteRecord(0, 1);  // without its group
  EXPECT_EQ(messageOf([&] { Env.Close(); }),
            "TEdbDataManager.CloseTable - tableHeader.RecordCount <> blobFileHeader.RecordCount");
  Env.Open();
  EXPECT_EQ(Env.M().RecordCount(), 1);
  EXPECT_EQ(Env.M().BLOBDirectory().RecordCount(), 1);
  EXPECT_EQ(Env.M().BLOBDirectory().FreeParts(), (TedBLOBPartsArray{{1, 3}}));
  EXPECT_EQ(Env.Read(0, kNotes), noise(100, 1));
  const int32_t changes = Env.M().TableHeader().ChangeCount;
  // A record without a group.
  std::vector<uint8_t> r = Env.M().NewRecordBuffer();
  Env.M().edInsertRecord(r.data(), 0);
  EXPECT_EQ(messageOf([&] { Env.Close(); }),
            "TEdbDataManager.CloseTable - tableHeader.RecordCount <> blobFileHeader.RecordCount");
  Env.Open();
  EXPECT_EQ(Env.M().BLOBDirectory().RecordCount(), 2);
  EXPECT_EQ(Env.M().TableHeader().ChangeCount, changes + 2) << "the insert and the repair";
  EXPECT_EQ(Env.Read(1, kNotes), std::vector<uint8_t>{});
  Env.Write(1, kPic, noise(10, 3));
  EXPECT_EQ(Env.Read(1, kPic), noise(10, 3));
  EXPECT_EQ(messageOf([&] { Env.Close(); }), "(no exception)");
}

TEST_P(BLOBStorage, CallsCheckTheirFieldAndRecord) {
  Env.CreateBlobTable();
  Env.Open();
  Env.Add("a", noise(10, 1));
  toolkit::TMemoryStream s(noise(5, 2));
  EXPECT_EQ(messageOf([&] { Env.M().WriteBLOBValue(s, 0, 0); }),
            "TEdbDataManager.WriteBLOBValue - invalid field or record number (FieldNo = 0, RecNo = 0).");
  EXPECT_EQ(messageOf([&] { Env.M().ReadBLOBValue(s, kNotes, 1); }),
            "TEdbDataManager.ReadBLOBValue - invalid field or record number (FieldNo = 1, RecNo = 1).");
  EXPECT_EQ(messageOf([&] { Env.M().DeleteBLOBValue(9, 0); }),
            "TEdbDataManager.DeleteBLOBValue - invalid field or record number (FieldNo = 9, RecNo = 0).");
  Env.Close();
  // Read-only tables read their values and refuse to write them.
  Env.FDataset.RO = true;
  Env.Open();
  EXPECT_EQ(Env.Read(0, kNotes), noise(10, 1));
  EXPECT_EQ(messageOf([&] { Env.Write(0, kNotes, noise(3, 3)); }),
            "TEdbDataManager.WriteBLOBValue - table \"T\" is read only.");
}

// The read-ahead hints of a walk read no file, load no page into the pool and take any record
// number, also one outside the table; the values and records read afterwards are the stored ones.
TEST_P(BLOBStorage, PrefetchHintsReadNothing) {
  Env.FDataset.PerPage = 4;
  Env.CreateBlobTable();
  Env.Open();
  constexpr int32_t kRecords = 40;
  const auto notes = [](int32_t I) { return noise(20 + static_cast<size_t>(I), 1); };
  const auto pic = [](int32_t I) { return I % 3 ? noise(700, 2) : std::vector<uint8_t>{}; };
  for (int32_t i = 0; i < kRecords; ++i) Env.Add("r" + std::to_string(i), notes(i), pic(i));
  Env.Close();
  Env.Open();
  (void)Env.M().GetRecord(0);  // one page in the pool
  const int32_t pages = Env.M().RecordsArray()->LoadedPages();
  const uint64_t reads = Env.FFaults.Count(platform::FaultKind::Read);
  for (const int32_t recNo : {std::numeric_limits<int32_t>::min(), -1, 0, 1, 5, kRecords - 1, kRecords, kRecords + 1000,
                              std::numeric_limits<int32_t>::max()}) {
    Env.M().PrefetchRecord(recNo);
    Env.M().PrefetchBLOBHeaders(recNo);
    Env.M().PrefetchBLOBParts(recNo);
  }
  EXPECT_EQ(Env.FFaults.Count(platform::FaultKind::Read), reads);
  EXPECT_EQ(Env.M().RecordsArray()->LoadedPages(), pages);
  for (int32_t i = kRecords - 1; i >= 0; --i) {
    ASSERT_EQ(Env.Read(i, kNotes), notes(i));
    ASSERT_EQ(Env.Read(i, kPic), pic(i));
  }
}

TEST_P(BLOBStorage, DamagedDirectoryOrMissingBlocks) {
  Env.CreateBlobTable();
  Env.Open();
  Env.Add("a", noise(10, 2), noise(3000, 1));  // Notes in block 0, Pic in blocks 1..6
  Env.Close();
  // T.bdf cut short: the values whose blocks are gone say so.
  Env.ChangeFile(".bdf", [](std::vector<uint8_t>& b) {
    b.resize(1024);
    return true;
  });
  for (const bool readOnly : {false, true}) {
    SCOPED_TRACE(readOnly ? "read only" : "read-write");
    Env.FDataset.RO = readOnly;
    Env.Open();
    toolkit::TMemoryStream s;
    EXPECT_EQ(messageOf([&] { Env.M().ReadBLOBValue(s, kPic, 0); }), kReadError + "blob data is missing.");
    EXPECT_EQ(Env.Read(0, kNotes), noise(10, 2));
    EXPECT_EQ(messageOf([&] { Env.M().ReadBLOBValue(s, kPic, 0); }), kReadError + "blob data is missing.");
    Env.Close();
  }
  Env.FDataset.RO = false;
  // A T.bif that does not decompress keeps the table closed.
  Env.ChangeFile(".bif", [](std::vector<uint8_t>& b) {
    for (size_t i = 6; i < b.size(); ++i) b[i] ^= 0xA5;
    return true;
  });
  EXPECT_EQ(Env.TryOpen(), otrCannotOpen);
  EXPECT_EQ(edGetDataManager("T", Env.FDatabase).LastOpenError(),
            "TEdbDataManager.LoadBLOBHeaders - cannot decompress the BLOB directory.");
}

// Tables between the uncompressed and the compressed directory formats are refused.
TEST_P(BLOBStorage, IntermediateDirectoryFormatIsRefused) {
  Env.CreateBlobTable();
  Env.ChangeFile(".dat", [](std::vector<uint8_t>& b) {
    PutDouble(b.data() + kTHVersion, 1.5);
    return true;
  });
  EXPECT_EQ(Env.TryOpen(), otrCannotOpen);
  EXPECT_EQ(edGetDataManager("T", Env.FDatabase).LastOpenError(),
            "Error in TEdbDataManager.LoadBLOBHeaders - this table format is not supported, version = 1.50");
}

INSTANTIATE_TEST_SUITE_P(Stores, BLOBStorage, ::testing::ValuesIn(allStoreCases()),
                         [](const auto& info) { return caseName(info.param); });

}  // namespace
