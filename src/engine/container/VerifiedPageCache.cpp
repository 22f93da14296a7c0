#include "container/VerifiedPageCache_internal.h"

#include "platform/SystemInfo.h"

#include <algorithm>
#include <cstring>

namespace tesvar::container {

TVerifiedPageCache::TVerifiedPageCache(int32_t DataSize) : FDataSize(std::max(DataSize, 1)) {
  const int64_t budget = std::min<int64_t>(static_cast<int64_t>(platform::AvailablePhysicalMemory() / 8), kMostBytes);
  FMostPages = static_cast<int32_t>(std::max<int64_t>(kFirstPages, budget / FDataSize));
}

TVerifiedPageCache::~TVerifiedPageCache() = default;

void TVerifiedPageCache::Follow(uint64_t Change) {
  if (Change == FChange) return;
  FChange = Change;
  if (FCount == 0) return;
  FCount = 0;
  FFree.clear();
  for (int32_t i = static_cast<int32_t>(FSlots.size()) - 1; i >= 0; --i) {
    TSlot& slot = FSlots[static_cast<size_t>(i)];
    if (slot.PageNo >= 0) FSlotOf[static_cast<size_t>(slot.PageNo)] = -1;
    slot.PageNo = -1;
    FFree.push_back(i);
  }
}

uint8_t* TVerifiedPageCache::DataOf(int32_t Slot) const {
  return FChunks[static_cast<size_t>(Slot / kChunkSlots)].get() +
         static_cast<size_t>(Slot % kChunkSlots) * static_cast<size_t>(FDataSize);
}

const uint8_t* TVerifiedPageCache::Find(int32_t PageNo, const std::string& Key, uint64_t Change) {
  Follow(Change);
  if (PageNo < 0 || static_cast<size_t>(PageNo) >= FSlotOf.size()) return nullptr;
  const int32_t at = FSlotOf[static_cast<size_t>(PageNo)];
  if (at < 0) return nullptr;
  TSlot& slot = FSlots[static_cast<size_t>(at)];
  if (slot.Key != Key) return nullptr;
  slot.Referenced = true;
  return DataOf(at);
}

int32_t TVerifiedPageCache::TakeSlot() {
  if (!FFree.empty()) {
    const int32_t slot = FFree.back();
    FFree.pop_back();
    return slot;
  }
  if (static_cast<int32_t>(FSlots.size()) < FCapacity) {
    const auto slot = static_cast<int32_t>(FSlots.size());
    if (slot % kChunkSlots == 0)
      FChunks.push_back(std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(kChunkSlots) *
                                                                  static_cast<size_t>(FDataSize)));
    FSlots.emplace_back();
    return slot;
  }
  // The clock: a slot referenced since the hand last passed gets another round.
  for (;;) {
    if (FHand >= static_cast<int32_t>(FSlots.size())) FHand = 0;
    TSlot& slot = FSlots[static_cast<size_t>(FHand)];
    if (slot.Referenced) {
      slot.Referenced = false;
      ++FHand;
      continue;
    }
    if (slot.PageNo >= 0) {
      FSlotOf[static_cast<size_t>(slot.PageNo)] = -1;
      --FCount;
    }
    slot.PageNo = -1;
    return FHand++;
  }
}

void TVerifiedPageCache::NoteStore(int32_t PageNo) {
  if (FCapacity >= FMostPages || !FReloads.NoteStore(PageNo, FCapacity)) return;
  FCapacity = static_cast<int32_t>(std::min<int64_t>(int64_t{FCapacity} * 2, FMostPages));
  if (FCapacity >= FMostPages) FReloads.Clear();
}

bool TVerifiedPageCache::Holds(int32_t PageNo, const std::string& Key, uint64_t Change) const {
  if (Change != FChange || PageNo < 0 || static_cast<size_t>(PageNo) >= FSlotOf.size()) return false;
  const int32_t at = FSlotOf[static_cast<size_t>(PageNo)];
  return at >= 0 && FSlots[static_cast<size_t>(at)].Key == Key;
}

void TVerifiedPageCache::Store(int32_t PageNo, const std::string& Key, uint64_t Change, const uint8_t* Data) {
  if (PageNo < 0) return;
  Follow(Change);
  const auto page = static_cast<size_t>(PageNo);
  if (page >= FSlotOf.size()) FSlotOf.resize(std::max(page + 1, FSlotOf.size() * 2), -1);
  int32_t slot = FSlotOf[page];
  if (slot < 0) {
    NoteStore(PageNo);
    slot = TakeSlot();
    FSlotOf[page] = slot;
    ++FCount;
  }
  TSlot& s = FSlots[static_cast<size_t>(slot)];
  s.PageNo = PageNo;
  s.Key = Key;
  s.Referenced = false;
  std::memcpy(DataOf(slot), Data, static_cast<size_t>(FDataSize));
}

}  // namespace tesvar::container
