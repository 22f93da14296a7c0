// The integer arrays, the page pool, the write-behind log and its flush and commit rules.

#include "StorageTestSupport.h"
#include "platform/SystemInfo.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <unordered_map>

using namespace tesvar;
using namespace tesvar::storagetest;
using platform::FaultKind;
using tesvar::testsupport::messageOf;

namespace {

std::vector<int32_t> items(const TedIntArray& a) {
  std::vector<int32_t> v;
  for (int32_t i = 0; i < a.Count(); ++i) v.push_back(a[i]);
  return v;
}

TEST(IntArrays, InsertDeleteAndMove) {
  struct Case {
    int32_t from, to;
    std::vector<int32_t> expected;
  } cases[] = {
      {2, 2, {0, 1, 2, 3, 4}}, {1, 2, {0, 2, 1, 3, 4}}, {2, 1, {0, 2, 1, 3, 4}},
      {0, 4, {1, 2, 3, 0, 4}}, {4, 0, {4, 0, 1, 2, 3}}, {1, 5, {0, 2, 3, 4, 1}},
  };
  for (const Case& c : cases) {
    TedIntArray a;
    for (int32_t i = 0; i < 5; ++i) a.Append(i);
    a.Move(c.from, c.to);
    EXPECT_EQ(items(a), c.expected) << c.from << " -> " << c.to;
  }
  TedIntArray a(1000, 1000, 10000);
  for (int32_t i = 0; i < 100000; ++i) a.Append(i);
  a.Insert(0, -1);
  a.Delete(50);
  EXPECT_EQ(a.Count(), 100000);
  EXPECT_EQ(a[0], -1);
  EXPECT_EQ(a[50], 50);
  a.SetCount(10);
  EXPECT_EQ(a.Capacity(), 10) << "storage is given back past the shrink step";
  a.SetCount(0);
  EXPECT_EQ(a.Capacity(), 0);
}

TEST(IntArrays, SortedMap) {
  TedSortedIntArray m;
  EXPECT_EQ(messageOf([&] { m.Delete(1); }), "TedSortedIntArray.Delete - no elements in array!");
  for (int32_t k : {5, 1, 9, 3}) m.Add(k, k * 10);
  EXPECT_EQ(m.KeyAt(0), 1);
  EXPECT_EQ(m.ValueOf(9), 90);
  EXPECT_EQ(m.IndexOf(4), -1);
  EXPECT_EQ(m.ValueOf(4), -1);
  EXPECT_EQ(messageOf([&] { m.Delete(4); }), "TedSortedIntArray.Delete - element not found, key = 4, itemCount = 4!");
  m.Delete(5);
  EXPECT_EQ(m.Count(), 3);
}

// The hash map against a model: runs of consecutive keys (as logged records come) and scattered
// ones, values replaced, keys removed from the middle of probe clusters, tables grown and cleared.
TEST(IntArrays, HashMapAgainstAModel) {
  constexpr uint32_t kSeed = 20261210;
  SCOPED_TRACE(kSeed);
  std::mt19937 random(kSeed);
  TedIntHashMap map;
  std::unordered_map<int32_t, int32_t> model;
  EXPECT_EQ(map.ValueOf(5), -1);
  map.Remove(5);
  for (int round = 0; round < 4; ++round) {
    for (int step = 0; step < 20000; ++step) {
      const uint32_t op = random() % 10;
      // Keys from a narrow range collide and form clusters; some are negative.
      const int32_t key = op < 5 ? static_cast<int32_t>(step / 2) : static_cast<int32_t>(random() % 4096) - 100;
      if (op < 7) {
        const int32_t value = static_cast<int32_t>(random() % 100000);
        map.Set(key, value);
        model[key] = value;
      } else {
        map.Remove(key);
        model.erase(key);
      }
      if (step % 97 == 0) {
        for (int32_t probe = -120; probe < 10100; probe += 7) {
          const auto it = model.find(probe);
          ASSERT_EQ(map.ValueOf(probe), it == model.end() ? -1 : it->second) << "key " << probe << " step " << step;
        }
      }
    }
    ASSERT_EQ(map.Count(), static_cast<int32_t>(model.size()));
    for (const auto& [key, value] : model) ASSERT_EQ(map.ValueOf(key), value) << "key " << key;
    map.Clear();
    model.clear();
    EXPECT_TRUE(map.Empty());
    EXPECT_EQ(map.ValueOf(1), -1);
  }
}

class Pool : public ::testing::Test {
protected:
  // A table of 400 records in pages of 4, opened again, the clock standing still, and its pool
  // full: the last page (the current one) in slot 0, pages 0..48 in the other 49 slots.
  TedRecordsArray& FillThePool() {
    Env.FDataset.PerPage = 4;
    Env.Create();
    Env.Open();
    for (int i = 0; i < 400; ++i) Env.Insert("", i);
    Env.Close();
    TedRecordsArray& pool = *Env.Open().RecordsArray();
    Env.FClock.SetAutoAdvance(0);
    for (int32_t page = 0; page < 49; ++page) EXPECT_EQ(Env.NumOf(page * 4), page * 4);
    EXPECT_EQ(pool.LoadedPages(), TedRecordsArray::kBigPageSlots);
    return pool;
  }

  TTableEnv Env{{pfs::fsmDirectory, false}};
};

TEST_F(Pool, EveryPagePinnedLeavesNoPageToLoad) {
  Env.FDataset.PerPage = 1;
  Env.Create();
  Env.Open();
  for (int i = 0; i < 60; ++i) Env.Insert("", i);
  Env.Close();
  TEdbDataManager& m = Env.Open();
  TedRecordsArray& pool = *m.RecordsArray();
  for (int32_t i = 0; i < 49; ++i) pool.LockRecordPage(i);  // the 50th slot holds the last page
  EXPECT_EQ(messageOf([&] { pool.GetRecord(50); }), "TedRecordsArray.GetPageToUse - There are no free pages.");
  EXPECT_EQ(messageOf([&] { pool.UnlockRecordPage(55); }), "TedRecordsArray.UnlockRecordPage - Page is already unloaded.");
  pool.UnlockRecordPage(7);
  EXPECT_EQ(Env.NumOf(50), 50);
  EXPECT_EQ(messageOf([&] { Env.M().GetRecord(60); }), "TEdbDataManager.GetRecord - invalid record number 60.");
}

TEST_F(Pool, PagesLoadedLaterTakePendingImagesFromTheLog) {
  Env.FDataset.PerPage = 10;
  Env.Create();
  Env.Open();
  Env.FClock.SetAutoAdvance(0);
  for (int i = 0; i < 700; ++i) Env.Insert("p" + std::to_string(i), i);
  EXPECT_EQ(Env.M().Log()->Count(), 700) << "nothing flushed yet";
  EXPECT_EQ(Env.HostFile(".dat").size(), static_cast<size_t>(Env.M().DataStart()));
  // 70 pages of 10 in 50 slots: the first pages were replaced and load again, from the log.
  for (int i = 0; i < 700; ++i) ASSERT_EQ(Env.NameOf(i), "p" + std::to_string(i));
  EXPECT_TRUE(Env.M().RecordsArray()->Evicted());
  // An update of a record whose page is not loaded is seen when the page loads again.
  std::vector<uint8_t> r = Env.Record("upd", 5);
  PutInt32(r.data() + Env.M().DataSize(), Env.IdOf(5));
  Env.M().edUpdateRecord(r.data(), 0, 5);
  for (int i = 100; i < 700; ++i) (void)Env.NameOf(i);
  EXPECT_EQ(Env.NameOf(5), "upd");
}

// Appending past the end of a page takes a slot for the next page without giving up the full
// one: the key index compares each new record with the one before it, which stays in memory, so
// a stream of appends never loads a page back (here 100 pages through 50 slots).
TEST_F(Pool, AppendsNeverLoadAPageBack) {
  Env.FDataset.PerPage = 4;
  Env.Create();
  Env.Open();
  Env.FClock.SetAutoAdvance(0);  // every page stays recently used
  const uint64_t reads = Env.FFaults.Count(FaultKind::Read);
  for (int i = 0; i < 400; ++i) Env.Insert("a" + std::to_string(i), i);
  EXPECT_EQ(Env.FFaults.Count(FaultKind::Read), reads) << "no table file read while appending";
  EXPECT_TRUE(Env.M().RecordsArray()->Evicted());
  for (int i = 0; i < 400; ++i) ASSERT_EQ(Env.NameOf(i), "a" + std::to_string(i));
}

// With every page used just now, a new page takes the slot of the first page in slot order that
// is neither pinned nor the current one; pinned pages and the others stay loaded.
TEST_F(Pool, ANewPageTakesTheFirstUnpinnedSlotWhenAllWereUsedJustNow) {
  TedRecordsArray& pool = FillThePool();
  pool.LockRecordPage(0);
  pool.LockRecordPage(4);
  const uint64_t reads = Env.FFaults.Count(FaultKind::Read);
  EXPECT_EQ(Env.NumOf(200), 200);  // page 50 replaces page 2
  const uint64_t loaded = Env.FFaults.Count(FaultKind::Read);
  EXPECT_GT(loaded, reads);
  for (int32_t recNo : {0, 4, 12, 192, 399}) EXPECT_EQ(Env.NumOf(recNo), recNo);
  EXPECT_EQ(Env.FFaults.Count(FaultKind::Read), loaded) << "pinned, later and current pages stay loaded";
  EXPECT_EQ(Env.NumOf(8), 8);
  EXPECT_GT(Env.FFaults.Count(FaultKind::Read), loaded) << "page 2 was replaced";
  pool.UnlockRecordPage(0);
  pool.UnlockRecordPage(4);
}

// A slot freed in a full pool (here by deleting the records of the last page) is the next one
// taken, though the loaded pages were not used for long: the page loaded then replaces none.
TEST_F(Pool, ASlotFreedInAFullPoolIsTakenBeforeAnyPageIsReplaced) {
  TedRecordsArray& pool = FillThePool();
  TEdbDataManager& m = Env.M();
  Env.FClock.AdvanceTick(1000);  // the loaded pages are old ones now, the first to be replaced
  for (int32_t recNo = 399; recNo >= 396; --recNo) m.edDeleteRecord(0, recNo);
  ASSERT_EQ(pool.LoadedPages(), TedRecordsArray::kBigPageSlots - 1) << "the emptied last page left";
  EXPECT_EQ(Env.NumOf(392), 392);  // the new last page, into the freed slot
  EXPECT_EQ(pool.LoadedPages(), TedRecordsArray::kBigPageSlots);
  EXPECT_FALSE(pool.Evicted());
  const uint64_t reads = Env.FFaults.Count(FaultKind::Read);
  for (int32_t page = 0; page < 49; ++page) ASSERT_EQ(Env.NumOf(page * 4), page * 4);
  EXPECT_EQ(Env.FFaults.Count(FaultKind::Read), reads) << "every page loaded before stays";
}

// Records visited out of their stored order (a walk in index order) read replaced pages again:
// the pool grows until the table's pages stay, while a read in stored order keeps the small pool.
TEST_F(Pool, GrowsWhenPagesAreReadAgainNotForReadsInOrder) {
  Env.FDataset.PerPage = 4;
  Env.Create();
  Env.Open();
  for (int i = 0; i < 800; ++i) Env.Insert("g" + std::to_string(i), i);
  Env.Close();
  Env.Open();
  TedRecordsArray& pool = *Env.M().RecordsArray();
  for (int i = 0; i < 800; ++i) ASSERT_EQ(Env.NumOf(i), i);
  EXPECT_EQ(pool.SlotCount(), TedRecordsArray::kBigPageSlots) << "a read in stored order";
  std::vector<int32_t> order(800);
  std::iota(order.begin(), order.end(), 0);
  std::mt19937 rng(7);
  for (int pass = 0; pass < 6; ++pass) {
    std::shuffle(order.begin(), order.end(), rng);
    for (int32_t i : order) ASSERT_EQ(Env.NumOf(i), i);
  }
  EXPECT_GE(pool.SlotCount(), 200) << "all 200 pages fit after the pool grew";
  const uint64_t reads = Env.FFaults.Count(FaultKind::Read);
  std::shuffle(order.begin(), order.end(), rng);
  for (int32_t i : order) ASSERT_EQ(Env.NumOf(i), i);
  EXPECT_EQ(Env.FFaults.Count(FaultKind::Read), reads) << "no page read again";
}

// A record read out of turn loads only the read granules of T.dat around it (here system pages
// of 4,096 bytes); the page's other records come in when asked for, in one read, and a failed
// read of them leaves the held ones readable.
TEST_F(Pool, AReadOutOfTurnLoadsPartOfAPage) {
  Env.Create();
  Env.Open();
  for (int i = 0; i < 3000; ++i) Env.Insert("p" + std::to_string(i), i);
  Env.Close();
  TEdbDataManager& m = Env.Open();
  const int64_t pageBytes = int64_t{1000} * m.RecordSize();
  ASSERT_GT(pageBytes, 4 * 4096);
  EXPECT_EQ(Env.NumOf(2999), 2999);  // the last page, read whole
  uint64_t bytes = Env.FFaults.BytesRead();
  EXPECT_EQ(Env.NumOf(1500), 1500);
  EXPECT_LE(Env.FFaults.BytesRead() - bytes, 2u * 4096) << "only the granules around record 1500";
  // The rest of page 1 fails to come in: the records held stay readable, the others fail.
  Env.FFaults.FailAt(FaultKind::Read, 1);
  EXPECT_EQ(messageOf([&] { (void)Env.NumOf(1000); }), "TRecordsPage.ReadRecords - Cannot read record 1000 from the table file.");
  EXPECT_EQ(Env.NumOf(1501), 1501);
  uint64_t reads = Env.FFaults.Count(FaultKind::Read);
  for (int i = 1000; i < 2000; ++i) ASSERT_EQ(Env.NameOf(i), "p" + std::to_string(i));
  EXPECT_EQ(Env.FFaults.Count(FaultKind::Read) - reads, 1u) << "the rest of the page in one read";
  bytes = Env.FFaults.BytesRead();
  for (int i = 1000; i < 2000; ++i) ASSERT_EQ(Env.NumOf(i), i);
  EXPECT_EQ(Env.FFaults.BytesRead(), bytes) << "the page is whole now";
  // Reads in stored order read each page whole at once.
  Env.Close();
  Env.Open();
  reads = Env.FFaults.Count(FaultKind::Read);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(Env.NumOf(i), i);
  EXPECT_LE(Env.FFaults.Count(FaultKind::Read) - reads, 3u);
}

TEST_F(Pool, OneRecordPagesOnRequest) {
  Env.FDataset.OnePerPage = true;
  Env.Create();
  Env.Open();
  for (int i = 0; i < 40; ++i) Env.Insert("", i);
  EXPECT_EQ(Env.M().RecordsArray()->PageSize(), 1);
  EXPECT_EQ(Env.M().RecordsArray()->SlotCount(), 25);
  for (int i = 0; i < 40; ++i) ASSERT_EQ(Env.NumOf(i), i);
}

TEST(Encryption, PoolHoldsPlainRecordsLogAndFileEncryptedOnes) {
  TTableEnv env({pfs::fsmDirectory, true});
  env.Create();
  env.Open();
  env.FClock.SetAutoAdvance(0);
  env.Insert("hidden text", 1);
  const uint8_t* logged = env.M().Log()->FindLoggedRecord(0);
  ASSERT_NE(logged, nullptr);
  EXPECT_NE(std::string(reinterpret_cast<const char*>(logged), 11), "hidden text");
  EXPECT_EQ(env.NameOf(0), "hidden text");
  env.M().FlushBuffers();
  const std::vector<uint8_t> dat = env.HostFile(".dat");
  const std::string text(dat.begin(), dat.end());
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  // The record's CRC slot holds the stamp of its plain data part.
  uint8_t stamp[kCrcSlotSize];
  env.M().CountBufferCrc(reinterpret_cast<const uint8_t*>("123456789"), 9, stamp);
  EXPECT_EQ(GetShortString(stamp, kCrcTextLength), "Jjn0yw==");
  std::vector<uint8_t> record(dat.begin() + env.M().DataStart(), dat.end());
  const size_t crcAt = static_cast<size_t>(env.M().DataSize() + 4 + env.M().NullFlagsSize());
  env.M().CountBufferCrc(env.M().GetRecord(0), env.M().DataSize(), stamp);
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + crcAt, record.begin() + crcAt + kCrcSlotSize),
            std::vector<uint8_t>(stamp, stamp + kCrcSlotSize));
  // Opening an encrypted table takes the password check's fixed time.
  env.Close();
  env.FClock.SetAutoAdvance(1);
  const uint32_t before = env.FClock.TickCount();
  env.Open();
  EXPECT_GE(env.FClock.TickCount() - before, TEdbDataManager::kPasswordCheckMs);
  // A damaged data part fails the CRC check on decryption.
  record[0] ^= 1;
  EXPECT_EQ(messageOf([&] { env.M().ChangeBufferEncryption(record.data(), false); }),
            "Error in TEdbDataManager.ChangeBufferEncryption - crc calc error, decoding 2");
}

// The log's limits and the commit rule, on the settable clock.
class Log : public ::testing::Test {
protected:
  void SetUp() override {
    Env.Create();
    Env.Open();
    Env.FClock.SetAutoAdvance(0);
  }
  uint64_t Flushes() const { return Env.FFaults.Count(FaultKind::Flush); }
  TTableEnv Env{{pfs::fsmDirectory, false}};
};

TEST_F(Log, FlushedAtTenThousandEntries) {
  for (int i = 0; i < TedBufferLogArray::kMaxEntries - 1; ++i) Env.Insert("", i);
  EXPECT_EQ(Env.M().Log()->Count(), TedBufferLogArray::kMaxEntries - 1);
  Env.Insert("", 0);
  EXPECT_EQ(Env.M().Log()->Count(), 0);
  EXPECT_EQ(Env.HostFile(".dat").size(),
            static_cast<size_t>(Env.M().DataStart() + int64_t{10000} * Env.M().RecordSize()));
  EXPECT_EQ(GetInt32(Env.HostFile(".dat").data() + kTHRecordCount), 10000) << "the header follows the records";
}

TEST_F(Log, FlushedByAgeAfterOneSecond) {
  Env.Insert("", 1);
  Env.FClock.AdvanceTick(TedBufferLogArray::kMaxAgeMs);
  Env.Insert("", 2);
  EXPECT_EQ(Env.M().Log()->Count(), 2) << "exactly the age limit is not older than it";
  Env.FClock.AdvanceTick(1);
  Env.Insert("", 3);
  EXPECT_EQ(Env.M().Log()->Count(), 0);
}

TEST_F(Log, FlushedAtATenthOfAvailableMemory) {
  Env.Close();
  platform::ScopedMemoryInfo memory(static_cast<uint64_t>(10 * 5 * 65), 0);  // five 65-byte records
  Env.FClock.SetAutoAdvance(1);
  Env.Open();
  Env.FClock.SetAutoAdvance(0);
  ASSERT_EQ(Env.M().RecordSize(), 65);
  for (int i = 0; i < 4; ++i) Env.Insert("", i);
  EXPECT_EQ(Env.M().Log()->Count(), 4);
  Env.Insert("", 4);
  EXPECT_EQ(Env.M().Log()->Count(), 0);
}

TEST_F(Log, ConsecutiveRecordsGoOutInOneWrite) {
  for (int i = 0; i < 500; ++i) Env.Insert("", i);
  const uint64_t writes = Env.FFaults.Count(FaultKind::Write);
  Env.M().FlushBuffers();
  EXPECT_EQ(Env.FFaults.Count(FaultKind::Write) - writes, 2u) << "the records, then the header";
}

TEST_F(Log, CommitsWhenTheLastCommitIsOlderThanTheInterval) {
  const uint64_t atOpen = Flushes();
  Env.Insert("", 1);
  Env.FClock.AdvanceTick(1500);
  Env.Insert("", 2);  // the log is written (age), the last commit 1.5 s old: no commit
  EXPECT_EQ(Env.M().Log()->Count(), 0);
  EXPECT_EQ(Flushes(), atOpen);
  Env.FClock.AdvanceTick(600);
  Env.Insert("", 3);  // not due yet: nothing written, nothing committed
  EXPECT_EQ(Flushes(), atOpen);
  Env.FClock.AdvanceTick(1001);
  Env.Insert("", 4);  // written, last commit 3.1 s ago: committed
  EXPECT_EQ(Flushes(), atOpen + 1);
  Env.FClock.AdvanceTick(1001);
  Env.Insert("", 5);
  EXPECT_EQ(Flushes(), atOpen + 1) << "1 s after the last commit";
  Env.M().SetCommitInterval(0);
  Env.FClock.AdvanceTick(1001);
  Env.Insert("", 6);
  EXPECT_EQ(Flushes(), atOpen + 2);
}

TEST_F(Log, AutoFlushCanBeSuspended) {
  Env.M().DisableAutoFlush();
  Env.Insert("", 1);
  Env.FClock.AdvanceTick(5000);
  Env.Insert("", 2);
  EXPECT_EQ(Env.M().Log()->Count(), 2);
  Env.M().EnableAutoFlush(true);
  EXPECT_EQ(Env.M().Log()->Count(), 0);
  EXPECT_EQ(Env.M().TableHeader().ChangeCount, 2);
}

// Tables of one container share it: closing one leaves the other's files open.
TEST(SingleFileDatabase, ClosingOneTableKeepsTheOthersOpen) {
  TTableEnv a({pfs::fsmSingleFile, false}, "A");
  TTableEnv* env = &a;
  env->Create();
  TTestDataset other = env->FDataset;
  TEdbDataManager& b = edGetDataManager("B", env->FDatabase);
  b.CreateTable(testFields(), {}, 1000, false, &other);
  ASSERT_EQ(b.ConnectDataset(other), otrOk);
  env->Open();
  env->Insert("in A", 1);
  std::vector<uint8_t> r = b.NewRecordBuffer();
  b.edInsertRecord(r.data(), 0);
  env->Close();
  b.edInsertRecord(r.data(), 0);
  b.FlushBuffers();
  EXPECT_EQ(b.RecordCount(), 2);
  b.DisconnectDataset(other);
  env->Open();
  EXPECT_EQ(env->NameOf(0), "in A");
  TEdbDataManager& again = edGetDataManager("B", env->FDatabase);
  ASSERT_EQ(again.ConnectDataset(other), otrOk);
  EXPECT_EQ(again.RecordCount(), 2);
  again.DisconnectDataset(other);
}

}  // namespace
