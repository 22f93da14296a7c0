#include "storage/TedRecordsArray.h"

#include "platform/Exception.h"
#include "platform/IClock.h"
#include "platform/SystemInfo.h"
#include "storage/Prefetch.h"
#include "storage/TEdbDataManager.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace tesvar::storage {

TRecordsPage::TRecordsPage(TEdbDataManager& Manager, int32_t MaxRecordCount, TPageState* State)
    : FManager(Manager), FRecordSize(Manager.RecordSize()), FState(State != nullptr ? State : &FOwnState) {
  *FState = TPageState{};
  SetMaxRecordCount(MaxRecordCount);
}

void TRecordsPage::SetMaxRecordCount(int32_t Value) {
  CompleteLoad();
  const size_t bytes = static_cast<size_t>(std::max(Value, 0)) * static_cast<size_t>(FRecordSize);
  std::unique_ptr<uint8_t[]> grown;
  try {
    grown = std::make_unique_for_overwrite<uint8_t[]>(bytes);
  } catch (const std::bad_alloc&) {
    throw Exception("TRecordsPage.SetMaxRecordCount - Unable to realloc memory.");
  }
  // The records held stay (as far as they fit).
  FRecordCount = std::min(FRecordCount, std::max(Value, 0));
  if (FRecordCount > 0)
    std::memcpy(grown.get(), FBuffer.get(), static_cast<size_t>(FRecordCount) * static_cast<size_t>(FRecordSize));
  FBuffer = std::move(grown);
  FMaxRecordCount = Value;
  FHeldStart = FStartRecNo;
  FHeldCount = FRecordCount;
}

uint32_t TRecordsPage::ReadTick() { return platform::Clock().TickCount(); }

uint8_t* TRecordsPage::GetRecordPtr(int32_t RecNo) {
  if (!Holds(RecNo)) {
    if (static_cast<uint32_t>(RecNo - FStartRecNo) >= static_cast<uint32_t>(FRecordCount))
      throw Exception("TRecordsPage.GetRecordPtr - Cannot find record");
    CompleteLoad();
  }
  return HeldRecordPtr(RecNo);
}

void TRecordsPage::AppendRecord(const uint8_t* Buffer) {
  if (FRecordCount >= FMaxRecordCount) throw Exception("TRecordsPage.AppendRecord - Page overflow.");
  CompleteLoad();
  Touch();
  if (Buffer != nullptr)
    std::memcpy(FBuffer.get() + static_cast<size_t>(FRecordCount) * static_cast<size_t>(FRecordSize), Buffer,
                static_cast<size_t>(FRecordSize));
  ++FRecordCount;
  ++FHeldCount;
}

void TRecordsPage::CopyRecords(int32_t StartRecNo, uint8_t* Dest, int32_t Count) {
  if (StartRecNo < FStartRecNo || StartRecNo >= FStartRecNo + FRecordCount)
    throw Exception("TRecordsPage.CopyRecords - StartRecNo is not in this page.");
  if (Count > FRecordCount) throw Exception("TRecordsPage.CopyRecords - Copy more records than available.");
  CompleteLoad();
  std::memcpy(Dest, FBuffer.get() + static_cast<size_t>(StartRecNo - FStartRecNo) * static_cast<size_t>(FRecordSize),
              static_cast<size_t>(Count) * static_cast<size_t>(FRecordSize));
}

void TRecordsPage::DeleteLastRecord() {
  if (FRecordCount == 0) throw Exception("TRecordsPage.DeleteLastRecord - Page is already empty.");
  CompleteLoad();
  Touch();
  --FRecordCount;
  --FHeldCount;
}

void TRecordsPage::ReadRecords(int32_t StartRecNo, int32_t Count) {
  FStartRecNo = StartRecNo;
  FRecordCount = 0;
  FHeldStart = StartRecNo;
  FHeldCount = 0;
  if (Count > FMaxRecordCount) throw Exception("TRecordsPage.ReadRecords - Cannot read so many records.");
  if (Count <= 0) return;
  ReadRange(0, Count);
  FRecordCount = Count;
  FHeldCount = Count;
}

void TRecordsPage::ReadRange(int32_t From, int32_t Count) {
  const auto recordSize = static_cast<int64_t>(FRecordSize);
  // The records on file in one read; records not (yet) there must come from the log.
  int64_t got = 0;
  TAbstractFile* file = FManager.DataFile();
  if (file != nullptr &&
      file->Seek(FManager.DataStart() + (FStartRecNo + From) * recordSize, platform::SeekOrigin::Begin) >= 0)
    got = std::max<int64_t>(0, file->Read(FBuffer.get() + From * recordSize, recordSize * Count));
  FinishRange(From, Count, static_cast<int32_t>(got / recordSize));
}

void TRecordsPage::FinishRange(int32_t From, int32_t Count, int32_t OnFile) {
  const int32_t first = FStartRecNo + From;
  uint8_t* dest = FBuffer.get() + static_cast<size_t>(From) * static_cast<size_t>(FRecordSize);
  const TedBufferLogArray* log = FManager.Log();
  // Without logged images every record comes from the file.
  const bool logged = log != nullptr && log->HasRecords();
  for (int32_t i = logged ? 0 : OnFile; i < Count; ++i) {
    const uint8_t* image = logged ? log->FindLoggedRecord(first + i) : nullptr;
    if (image != nullptr)
      std::memcpy(dest + static_cast<size_t>(i) * static_cast<size_t>(FRecordSize), image, static_cast<size_t>(FRecordSize));
    else if (i >= OnFile)
      throw Exception("TRecordsPage.ReadRecords - Cannot read record " + std::to_string(first + i) +
                      " from the table file.");
  }
  if (FManager.Encrypted())
    for (int32_t i = 0; i < Count; ++i)
      FManager.ChangeBufferEncryption(dest + static_cast<size_t>(i) * static_cast<size_t>(FRecordSize), false);
}

void TRecordsPage::CompleteLoad() {
  if (Complete()) return;
  // One read of whole granules for the page; the records before and after those held go to their
  // places. A failed read leaves the held ones held, and the page still loaded in part.
  const int32_t onFile = ReadGranules(FStartRecNo, FStartRecNo + FRecordCount, true);
  const int32_t heldFrom = FHeldStart - FStartRecNo;
  const int32_t heldEnd = heldFrom + FHeldCount;
  if (heldFrom > 0) FinishRange(0, heldFrom, std::min(onFile, heldFrom));
  if (heldEnd < FRecordCount)
    FinishRange(heldEnd, FRecordCount - heldEnd, std::clamp(onFile - heldEnd, 0, FRecordCount - heldEnd));
  FHeldStart = FStartRecNo;
  FHeldCount = FRecordCount;
}

int32_t TRecordsPage::ReadGranules(int32_t First, int32_t End, bool SkipHeld) {
  TAbstractFile* file = FManager.DataFile();
  if (file == nullptr || End <= First) return 0;
  const int64_t recordSize = FRecordSize;
  int64_t from = 0, to = 0;
  GranuleSpan(First, End, from, to);
  thread_local std::vector<uint8_t> staged;
  staged.resize(static_cast<size_t>(to - from));
  int64_t got = 0;
  if (file->Seek(from, platform::SeekOrigin::Begin) >= 0) got = std::max<int64_t>(0, file->Read(staged.data(), to - from));
  const int64_t firstAt = FManager.DataStart() + First * recordSize - from;
  const auto onFile = static_cast<int32_t>(std::clamp<int64_t>((got - firstAt) / recordSize, 0, End - First));
  // The records wholly read, but for the held ones when SkipHeld: [First, HeldStart) and
  // [HeldEnd, First + onFile).
  const int32_t readEnd = First + onFile;
  const auto copy = [&](int32_t From, int32_t To) {
    if (To <= From) return;
    std::memcpy(FBuffer.get() + static_cast<size_t>(From - FStartRecNo) * static_cast<size_t>(recordSize),
                staged.data() + firstAt + static_cast<size_t>(From - First) * static_cast<size_t>(recordSize),
                static_cast<size_t>(To - From) * static_cast<size_t>(recordSize));
  };
  if (SkipHeld && FHeldCount > 0) {
    copy(First, std::min(readEnd, FHeldStart));
    copy(std::max(First, FHeldStart + FHeldCount), readEnd);
  } else {
    copy(First, readEnd);
  }
  return onFile;
}

void TRecordsPage::GranuleSpan(int32_t First, int32_t End, int64_t& From, int64_t& To) const {
  const TAbstractFile* file = FManager.DataFile();
  const int64_t granule = file != nullptr ? std::max<int64_t>(1, file->ReadGranule()) : 1;
  const int64_t dataStart = FManager.DataStart();
  From = (dataStart + First * int64_t{FRecordSize}) / granule * granule;
  To = (dataStart + End * int64_t{FRecordSize} + granule - 1) / granule * granule;
}

void TRecordsPage::LoadPage(int32_t PageNo) {
  FState->PageNo = PageNo;
  FState->AccessCount = 0;
  const int32_t start = PageNo * FMaxRecordCount;
  ReadRecords(start, std::min(FMaxRecordCount, FManager.RecordCount() - start));
}

void TRecordsPage::LoadPagePart(int32_t PageNo, int32_t RecNo) {
  FState->PageNo = PageNo;
  FState->AccessCount = 0;
  FStartRecNo = PageNo * FMaxRecordCount;
  FRecordCount = 0;
  FHeldStart = FStartRecNo;
  FHeldCount = 0;
  const int32_t count = std::min(FMaxRecordCount, FManager.RecordCount() - FStartRecNo);
  if (count <= 0 || static_cast<uint32_t>(RecNo - FStartRecNo) >= static_cast<uint32_t>(count)) {
    ReadRecords(FStartRecNo, count);
    return;
  }
  // The records whose bytes lie wholly in the granules that hold RecNo's bytes (RecNo's own
  // included, as it lies in them), read as those whole granules.
  const TAbstractFile* file = FManager.DataFile();
  const int64_t recordSize = FRecordSize;
  const int64_t dataStart = FManager.DataStart();
  int64_t from = 0, to = 0;
  GranuleSpan(RecNo, RecNo + 1, from, to);
  const auto first = static_cast<int32_t>(std::max<int64_t>(FStartRecNo, (from - dataStart + recordSize - 1) / recordSize));
  const auto end = static_cast<int32_t>(std::min<int64_t>(FStartRecNo + count, (to - dataStart) / recordSize));
  if (file == nullptr || end - first >= count) {
    ReadRecords(FStartRecNo, count);
    return;
  }
  FinishRange(first - FStartRecNo, end - first, ReadGranules(first, end, false));
  FRecordCount = count;
  FHeldStart = first;
  FHeldCount = end - first;
}

void TRecordsPage::InitPage(int32_t PageNo) {
  FState->PageNo = PageNo;
  FState->AccessCount = 0;
  FState->LastAccess = platform::Clock().TickCount();
  FStartRecNo = PageNo * FMaxRecordCount;
  FRecordCount = 0;
  FHeldStart = FStartRecNo;
  FHeldCount = 0;
}

TedRecordsArray::TedRecordsArray(TEdbDataManager& Manager, bool ForceOnePerPage)
    : FManager(Manager), FForceOnePerPage(ForceOnePerPage) {
  ConfigurePool();
}

TedRecordsArray::~TedRecordsArray() = default;

void TedRecordsArray::ConfigurePool() {
  const int64_t recordSize = FManager.RecordSize();
  const int64_t fit = static_cast<int64_t>(platform::AvailablePhysicalMemory() / 3) / recordSize;
  // Pages of many records only ever hold SlotCount x PageSize records, however large the table:
  // a table larger than memory keeps them too (one read per page instead of one per record).
  if (FForceOnePerPage) FBigPages = false;
  if (FBigPages) {
    int64_t pageSize = FManager.RecordsPerPage();
    if (pageSize <= 0) pageSize = fit / 3 + 1;
    // Page buffers stay small enough to be reused from the heap: a pool of large buffers is new
    // memory at every open, and touching new memory costs more than reading the records into it.
    pageSize = std::min<int64_t>(pageSize, std::max<int64_t>(1, kMaxPageBytes / recordSize));
    FPageSize = static_cast<int32_t>(std::max<int64_t>(1, pageSize));
    FSlotCount = kBigPageSlots;
    FMaxSlots = static_cast<int32_t>(
        std::clamp<int64_t>(fit / FPageSize, kBigPageSlots, kMaxBigPageSlots));
  } else {
    FPageSize = 1;
    FSlotCount = kOneRecordSlots;
    FMaxSlots = kOneRecordSlots;
  }
  FReloads.Clear();
  FSlots.clear();
  FSlots.resize(static_cast<size_t>(FSlotCount));
  FStates.clear();
  FStates.resize(static_cast<size_t>(FSlotCount));
  FMap.Clear();
  FCurrentSlot = -1;
  FFreeFrom = 0;
  FHitPage = nullptr;
  FEvicted = false;
}

void TPageSlotMap::Add(int32_t PageNo, int32_t Slot) {
  const auto page = static_cast<size_t>(PageNo);
  if (page >= FSlots.size()) FSlots.resize(std::max(page + 1, FSlots.size() * 2), -1);
  if (FSlots[page] < 0) ++FCount;
  FSlots[page] = Slot;
}

void TPageSlotMap::Delete(int32_t PageNo) {
  if (ValueOf(PageNo) < 0) return;
  FSlots[static_cast<size_t>(PageNo)] = -1;
  --FCount;
}

int32_t TedRecordsArray::SlotOf(int32_t PageNo) const { return FMap.ValueOf(PageNo); }

int32_t TedRecordsArray::GetPageToUse(int32_t PageNo) {
  int32_t chosen = -1;
  int32_t leastAccessed = -1;
  int32_t oldest = -1;
  const uint32_t now = platform::Clock().TickCount();
  // The states are read, not the pages: see TPageState.
  int32_t leastCount = 0;
  uint32_t oldestAge = 0;
  // The first free slot is the scan's choice: it is looked for from FFreeFrom on (no slot before
  // it is free), so that filling a large pool does not scan its filled slots again at every load.
  for (int32_t i = FFreeFrom; i < FSlotCount; ++i) {
    if (i == FCurrentSlot) continue;
    std::unique_ptr<TRecordsPage>& slot = FSlots[static_cast<size_t>(i)];
    if (!slot) {
      slot = std::make_unique<TRecordsPage>(FManager, FPageSize, &FStates[static_cast<size_t>(i)]);
      chosen = i;
      break;
    }
    const TPageState& state = FStates[static_cast<size_t>(i)];
    if (state.LockCount == 0 && state.PageNo == -1) {
      chosen = i;
      break;
    }
  }
  FFreeFrom = chosen >= 0 ? chosen + 1 : FSlotCount;
  // No slot is free: the page to reuse.
  for (int32_t i = 0; i < FSlotCount && chosen < 0; ++i) {
    if (i == FCurrentSlot) continue;
    const TPageState& state = FStates[static_cast<size_t>(i)];
    if (state.LockCount > 0) continue;
    if (leastAccessed < 0 || state.AccessCount < leastCount) {
      leastAccessed = i;
      leastCount = state.AccessCount;
    }
    const uint32_t age = now - state.LastAccess;
    const bool recent = age < kRecentAccessMs;
    if (oldest < 0 ? (!recent || leastAccessed == i) : (!recent && age > oldestAge)) {
      oldest = i;
      oldestAge = age;
    }
  }
  if (chosen < 0) chosen = oldest >= 0 ? oldest : leastAccessed;
  if (chosen < 0) throw Exception("TedRecordsArray.GetPageToUse - There are no free pages.");
  TRecordsPage& page = Slot(chosen);
  // The page it held leaves the map whether or not it was accessed: a stale entry would send
  // readers of that page to another page's records.
  if (page.PageNo() >= 0 && FMap.ValueOf(page.PageNo()) == chosen) {
    if (page.AccessCount() > 0) FEvicted = true;
    FMap.Delete(page.PageNo());
  }
  FMap.Add(PageNo, chosen);
  page.InitPage(PageNo);
  return chosen;
}

void TedRecordsArray::ChooseCurrentPage() {
  if (FCurrentSlot >= 0) return;
  const int32_t count = FManager.RecordCount();
  const int32_t lastPage = count > 0 ? (count - 1) / FPageSize : 0;
  const int32_t existing = FMap.ValueOf(lastPage);
  if (existing >= 0) {
    FCurrentSlot = existing;
    return;
  }
  FCurrentSlot = count > 0 ? LoadPageIntoSlot(lastPage) : GetPageToUse(lastPage);
}

void TedRecordsArray::NoteLoad(int32_t PageNo) {
  if (FSlotCount >= FMaxSlots || !FReloads.NoteStore(PageNo, FSlotCount)) return;
  FFreeFrom = std::min(FFreeFrom, FSlotCount);
  FSlotCount = static_cast<int32_t>(std::min<int64_t>(int64_t{FSlotCount} * 2, FMaxSlots));
  FSlots.resize(static_cast<size_t>(FSlotCount));
  FStates.resize(static_cast<size_t>(FSlotCount));
  if (FSlotCount >= FMaxSlots) FReloads.Clear();
}

int32_t TedRecordsArray::LoadPageIntoSlot(int32_t PageNo, int32_t RecNo) {
  NoteLoad(PageNo);
  const int32_t slot = GetPageToUse(PageNo);
  try {
    if (RecNo >= 0)
      Slot(slot).LoadPagePart(PageNo, RecNo);
    else
      Slot(slot).LoadPage(PageNo);
  } catch (...) {
    // The page was not read: no slot stands for it, and the next access loads it again.
    FMap.Delete(PageNo);
    Slot(slot).InitPage(-1);
    FFreeFrom = std::min(FFreeFrom, slot);
    throw;
  }
  return slot;
}

void TedRecordsArray::PrefetchRecord(int32_t RecNo, int32_t RecordSize) const {
  if (RecNo < 0 || FPageSize <= 0) return;
  const int32_t slot = SlotOf(RecNo / FPageSize);
  if (slot < 0) return;
  const TRecordsPage* page = FSlots[static_cast<size_t>(slot)].get();
  if (page == nullptr || !page->Holds(RecNo)) return;
  // The first lines only: the processor's own prefetcher follows a copy that runs on from
  // them, and more requests in flight than it has room for would stall the walk.
  const uint8_t* record = page->PeekRecordPtr(RecNo);
  PrefetchLine(record);
  if (RecordSize > kPrefetchLineBytes) PrefetchLine(record + kPrefetchLineBytes);
}

uint8_t* TedRecordsArray::LookUpRecord(int32_t RecNo) {
  ChooseCurrentPage();
  const int32_t pageNo = RecNo / FPageSize;
  int32_t slot = SlotOf(pageNo);
  // A page the reads come to in turn (from the end of the page before, or at the start) is read
  // whole; a page reached out of turn (a walk in index order, look-ups) only in part, as its other
  // records may never be wanted.
  if (slot < 0) {
    const bool inTurn = RecNo % FPageSize == 0 && (FHitPage == nullptr || FHitPage->PageNo() == pageNo - 1);
    slot = LoadPageIntoSlot(pageNo, inTurn ? -1 : RecNo);
  }
  uint8_t* record = Slot(slot).GetRecordPtr(RecNo);
  FHitPage = &Slot(slot);
  return record;
}

void TedRecordsArray::LockRecordPage(int32_t RecNo) {
  GetRecord(RecNo);
  const int32_t slot = FMap.ValueOf(RecNo / FPageSize);
  if (slot < 0) throw Exception("TedRecordsArray.LockRecordPage - Page is already unloaded.");
  Slot(slot).Lock();
}

void TedRecordsArray::UnlockRecordPage(int32_t RecNo) {
  const int32_t slot = FMap.ValueOf(RecNo / FPageSize);
  if (slot < 0) throw Exception("TedRecordsArray.UnlockRecordPage - Page is already unloaded.");
  Slot(slot).Unlock();
  FFreeFrom = std::min(FFreeFrom, slot);
}

void TedRecordsArray::AppendPoolRecord(const uint8_t* Buffer) {
  ChooseCurrentPage();
  TRecordsPage* current = &Slot(FCurrentSlot);
  if (current->RecordCount() >= current->MaxRecordCount()) {
    // The full page stays current while a slot is chosen, so it is not the one reused: the next
    // appends look at its last record (a key index compares each new record with it).
    FCurrentSlot = GetPageToUse(current->PageNo() + 1);
    current = &Slot(FCurrentSlot);
  }
  current->AppendRecord(Buffer);
}

void TedRecordsArray::DeletePoolRecord(int32_t RecNo) {
  ChooseCurrentPage();
  const int32_t last = FManager.RecordCount();
  if (RecNo != last) {
    const int32_t slot = SlotOf(RecNo / FPageSize);
    if (slot >= 0) {
      TRecordsPage& current = Slot(FCurrentSlot);
      std::memcpy(Slot(slot).GetRecordPtr(RecNo), current.GetRecordPtr(last), static_cast<size_t>(FManager.RecordSize()));
    }
  }
  TRecordsPage& current = Slot(FCurrentSlot);
  current.DeleteLastRecord();
  if (current.RecordCount() == 0 && current.PageNo() != 0) {
    const int32_t previousPage = current.PageNo() - 1;
    FMap.Delete(current.PageNo());
    current.InitPage(-1);
    FFreeFrom = std::min(FFreeFrom, FCurrentSlot);
    // The previous page becomes current when it is loaded; otherwise the next access loads it
    // (so that a failed read there belongs to that access, not to this finished delete).
    FCurrentSlot = FMap.ValueOf(previousPage);
  }
}

}  // namespace tesvar::storage
