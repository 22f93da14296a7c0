#pragma once
// The page pool of a table: recently used records in memory, decrypted, in pages of PageSize
// consecutive records kept in a fixed number of slots.

#include "platform/ReloadCounter.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace tesvar::storage {

class TEdbDataManager;

// What the pool's choice of a page to reuse reads of a page. The pool keeps these of all its
// pages in one array apart from the pages' records, so that the choice walks a compact array
// however many slots the pool has (and not one page object, and its cache line, per slot).
struct TPageState {
  int32_t PageNo = -1;
  int32_t AccessCount = 0;
  uint32_t LastAccess = 0;
  int32_t LockCount = 0;
};

// One page of the pool.
class TRecordsPage {
public:
  // State: where the page keeps its TPageState (it must outlive the page); null: in the page.
  TRecordsPage(TEdbDataManager& Manager, int32_t MaxRecordCount, TPageState* State = nullptr);
  TRecordsPage(const TRecordsPage&) = delete;
  TRecordsPage& operator=(const TRecordsPage&) = delete;

  // Resizes the buffer; raises "TRecordsPage.SetMaxRecordCount - Unable to realloc memory." when
  // the memory cannot be had.
  void SetMaxRecordCount(int32_t Value);
  // The record's bytes; raises "TRecordsPage.GetRecordPtr - Cannot find record" for a record
  // outside the page.
  uint8_t* GetRecordPtr(int32_t RecNo);
  // Raises "TRecordsPage.AppendRecord - Page overflow." on a full page. Buffer null: the new
  // record's bytes are left as they are (undefined in a page that never held that record).
  void AppendRecord(const uint8_t* Buffer);
  // Raises "TRecordsPage.CopyRecords - StartRecNo is not in this page." and "TRecordsPage.
  // CopyRecords - Copy more records than available.".
  void CopyRecords(int32_t StartRecNo, uint8_t* Dest, int32_t Count);
  // Raises "TRecordsPage.DeleteLastRecord - Page is already empty.".
  void DeleteLastRecord();
  // Fills the page with Count records from StartRecNo: logged images first, else T.dat, decrypted
  // in encrypted tables. Raises "TRecordsPage.ReadRecords - Cannot read so many records." for
  // more than the page holds and "TRecordsPage.ReadRecords - Cannot read record <n> from the table
  // file." when neither the log nor the file has a record.
  void ReadRecords(int32_t StartRecNo, int32_t Count);
  void LoadPage(int32_t PageNo);
  // Loads page PageNo in part: RecNo (one of its records) and the records around it that the
  // same whole read granules of T.dat hold (TAbstractFile::ReadGranule), for an access that does
  // not read the page through. The page stands for all its records all the same: any other
  // record is read in when it is asked for (GetRecordPtr), and every other member first reads
  // the rest of the page. Raises as ReadRecords.
  void LoadPagePart(int32_t PageNo, int32_t RecNo);
  void InitPage(int32_t PageNo);

  // Whether the page holds RecNo in memory (a page loaded in part holds only some of its
  // records).
  bool Holds(int32_t RecNo) const {
    return static_cast<uint32_t>(RecNo - FHeldStart) < static_cast<uint32_t>(FHeldCount);
  }
  // Whether every record of the page is in memory.
  bool Complete() const { return FHeldCount == FRecordCount; }
  // GetRecordPtr of a record the page holds (Holds).
  uint8_t* HeldRecordPtr(int32_t RecNo) {
    Touch();
    return FBuffer.get() + static_cast<size_t>(RecNo - FStartRecNo) * static_cast<size_t>(FRecordSize);
  }

  // The bytes of a record the page holds, without counting an access.
  const uint8_t* PeekRecordPtr(int32_t RecNo) const {
    return FBuffer.get() + static_cast<size_t>(RecNo - FStartRecNo) * static_cast<size_t>(FRecordSize);
  }

  int32_t MaxRecordCount() const { return FMaxRecordCount; }
  int32_t StartRecNo() const { return FStartRecNo; }
  int32_t RecordCount() const { return FRecordCount; }
  int32_t PageNo() const { return FState->PageNo; }
  int32_t AccessCount() const { return FState->AccessCount; }
  uint32_t LastAccess() const { return FState->LastAccess; }
  int32_t LockCount() const { return FState->LockCount; }
  void Lock() { ++FState->LockCount; }
  void Unlock() { --FState->LockCount; }

private:
  // The tick count for access times, read from the clock once every kTickReuse accesses: a
  // page's LastAccess only serves the pool's coarse "accessed during the last 100 ms" rule, and
  // reading the clock for every record would cost as much as the record access itself.
  static constexpr uint32_t kTickReuse = 64;
  static uint32_t AccessTick() {
    if (FTickCalls++ % kTickReuse == 0) FTick = ReadTick();
    return FTick;
  }
  static uint32_t ReadTick();
  // Reads records [From, From + Count) of the page (logged images first, else T.dat, decrypted)
  // into their places; the records held stay as they are. Raises as ReadRecords.
  void ReadRange(int32_t From, int32_t Count);
  // The rest of ReadRange once the first OnFile records of the range were read from T.dat: the
  // logged images over them and the records after them, then decryption.
  void FinishRange(int32_t From, int32_t Count, int32_t OnFile);
  // Reads the records of the page not held yet.
  void CompleteLoad();
  // Reads the whole read granules of T.dat that hold records [First, End) of the page and copies
  // the records wholly read (but for those held when SkipHeld) to their places, undecrypted.
  // Returns how many records from First on were wholly read.
  int32_t ReadGranules(int32_t First, int32_t End, bool SkipHeld);
  // The bytes [From, To) of T.dat of the whole read granules (TAbstractFile::ReadGranule) that
  // hold records [First, End).
  void GranuleSpan(int32_t First, int32_t End, int64_t& From, int64_t& To) const;
  void Touch() {
    ++FState->AccessCount;
    FState->LastAccess = AccessTick();
  }

  static inline uint32_t FTickCalls = 0;
  static inline uint32_t FTick = 0;
  TEdbDataManager& FManager;
  int32_t FRecordSize;
  int32_t FMaxRecordCount = 0;
  // MaxRecordCount records; only the first RecordCount hold bytes put there (the rest is not
  // initialised: every page is filled before it is read, and zeroing it would cost as much as
  // reading the records into it).
  std::unique_ptr<uint8_t[]> FBuffer;
  int32_t FStartRecNo = 0;
  int32_t FRecordCount = 0;
  // The records in memory: [FHeldStart, FHeldStart + FHeldCount), all RecordCount records from
  // StartRecNo unless the page was loaded in part.
  int32_t FHeldStart = 0;
  int32_t FHeldCount = 0;
  TPageState FOwnState;
  TPageState* FState;
};

// Which slot holds each loaded page of a pool: a slot number per page number, -1 where none, so
// that finding a page takes one read (a sorted array would take a bisection of dependent reads).
class TPageSlotMap {
public:
  int32_t ValueOf(int32_t PageNo) const {
    return static_cast<uint32_t>(PageNo) < FSlots.size() ? FSlots[static_cast<size_t>(PageNo)] : -1;
  }
  // PageNo >= 0; an existing entry takes the new slot.
  void Add(int32_t PageNo, int32_t Slot);
  // No change when PageNo has no entry.
  void Delete(int32_t PageNo);
  void Clear() {
    FSlots.clear();
    FCount = 0;
  }
  int32_t Count() const { return FCount; }

private:
  std::vector<int32_t> FSlots;
  int32_t FCount = 0;
};

class TedRecordsArray {
public:
  static constexpr int32_t kBigPageSlots = 50;
  static constexpr int32_t kOneRecordSlots = 25;
  // A page holds at most this many bytes (RecordsPerPage records when they fit).
  static constexpr int64_t kMaxPageBytes = 64 << 10;
  // Pages of many records: the pool starts with kBigPageSlots slots and doubles them, up to a
  // third of the available memory and kMaxBigPageSlots, as platform::TReloadCounter says when
  // pages had to be read again after they were replaced (records visited out of their stored
  // order, such as a walk in index order). Reads in stored order and appends never read a page
  // again, so they keep the small pool and reuse its buffers.
  static constexpr int32_t kMaxBigPageSlots = 16384;
  // A page accessed within this many milliseconds is not taken as the oldest one.
  static constexpr uint32_t kRecentAccessMs = 100;

  // ForceOnePerPage: the manager's OneRecordPages.
  TedRecordsArray(TEdbDataManager& Manager, bool ForceOnePerPage);
  ~TedRecordsArray();

  // The record's RecordSize bytes, loading its page if needed. Valid until the next pool
  // operation unless the page is pinned.
  uint8_t* GetRecord(int32_t RecNo) {
    // Runs of reads stay in one page: that page answers without a look-up.
    if (FHitPage != nullptr && FHitPage->Holds(RecNo)) return FHitPage->HeldRecordPtr(RecNo);
    return LookUpRecord(RecNo);
  }
  // Hints to the processor that record RecNo (RecordSize bytes) is read soon, when its page is
  // in the pool. Changes nothing (no load, no access count); any RecNo may be given.
  void PrefetchRecord(int32_t RecNo, int32_t RecordSize) const;
  // Pin / unpin the page of RecNo. Raise "TedRecordsArray.LockRecordPage - Page is already
  // unloaded." / "TedRecordsArray.UnlockRecordPage - Page is already unloaded.".
  void LockRecordPage(int32_t RecNo);
  void UnlockRecordPage(int32_t RecNo);
  // Appends a record (the manager raises RecordCount afterwards).
  void AppendPoolRecord(const uint8_t* Buffer);
  // Called after the manager lowered RecordCount: the last record (number RecordCount) moves
  // over RecNo in the pool and the last page shrinks.
  void DeletePoolRecord(int32_t RecNo);
  // A slot for page PageNo, made empty. Raises "TedRecordsArray.GetPageToUse - There are no free
  // pages." when every page is pinned.
  int32_t GetPageToUse(int32_t PageNo);
  void ConfigurePool();

  int32_t PageSize() const { return FPageSize; }
  int32_t SlotCount() const { return FSlotCount; }
  bool BigPages() const { return FBigPages; }
  bool ForceOnePerPage() const { return FForceOnePerPage; }
  bool Evicted() const { return FEvicted; }
  // Loaded pages (in the map).
  int32_t LoadedPages() const { return FMap.Count(); }

private:
  uint8_t* LookUpRecord(int32_t RecNo);
  void ChooseCurrentPage();
  // A slot for page PageNo with the page read into it (RecNo >= 0: in part, around record RecNo);
  // when the read fails, no slot is left standing for the page and the error is raised.
  int32_t LoadPageIntoSlot(int32_t PageNo, int32_t RecNo = -1);
  int32_t SlotOf(int32_t PageNo) const;
  // Counts a load of PageNo that reads it again and grows the pool when the count says so.
  void NoteLoad(int32_t PageNo);
  TRecordsPage& Slot(int32_t Index) { return *FSlots[static_cast<size_t>(Index)]; }

  TEdbDataManager& FManager;
  // The state of the page in slot i (default for an empty slot); declared before the slots, so
  // that the pages go first. A deque: growing the pool leaves the states where they are.
  std::deque<TPageState> FStates;
  std::vector<std::unique_ptr<TRecordsPage>> FSlots;  // null = empty slot
  TPageSlotMap FMap;                                  // PageNo -> slot
  int32_t FSlotCount = 0;
  int32_t FPageSize = 1;
  int32_t FCurrentSlot = -1;
  // No slot below it is free (empty, or an unpinned page of PageNo -1) but perhaps CurrentSlot.
  int32_t FFreeFrom = 0;
  bool FBigPages = true;
  bool FEvicted = false;
  bool FForceOnePerPage;
  int32_t FMaxSlots = 0;          // the most slots the pool may grow to
  platform::TReloadCounter FReloads;  // pages read again, for growing
  // The page of the last GetRecord, while the current page is chosen; it answers for the records
  // it holds (a page always holds records of its own PageNo, whichever slot it moves to).
  TRecordsPage* FHitPage = nullptr;
};

}  // namespace tesvar::storage
