#pragma once
// Verified page data of the user-file reads that take part of a page (a BLOB value of a few
// hundred bytes, the ends of a record-pool page): the next read of the same page, for a
// neighbouring value, is answered from memory instead of a host transfer and a checksum of the
// whole page again.
//
// An entry holds a page's data as it was decoded (checksum verified, decrypted with the key it
// was read with) while the host file's ChangeCount had one value; any other ChangeCount empties
// the cache at the next call, so a write or size change of the host through any handle (and
// opening, closing, recovery, transactions ending: TCFSHugeFile::ChangeCount) is never hidden.
// Only pages whose read succeeded are stored, so a damaged page or a failed transfer fails every
// read that wants the page, as without the cache.
//
// Size: it starts with kFirstPages entries and doubles, up to an eighth of the available memory
// and kMostBytes, as platform::TReloadCounter says when pages had to be read again after they
// left it (values wanted out of their stored order, such as the memos of a walk in index order).
// Entries leave in clock order.

#include "platform/ReloadCounter.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::container {

class TVerifiedPageCache {
public:
  static constexpr int32_t kFirstPages = 64;
  static constexpr int64_t kMostBytes = int64_t{1} << 30;

  // DataSize: the page data size of the container.
  explicit TVerifiedPageCache(int32_t DataSize);
  ~TVerifiedPageCache();
  TVerifiedPageCache(const TVerifiedPageCache&) = delete;
  TVerifiedPageCache& operator=(const TVerifiedPageCache&) = delete;

  // The data (DataSize bytes) of host page PageNo read with Key, when it was stored while the
  // host's ChangeCount was Change; else null. Valid until the next call.
  const uint8_t* Find(int32_t PageNo, const std::string& Key, uint64_t Change);
  // Whether Find would give the page, without counting it as used.
  bool Holds(int32_t PageNo, const std::string& Key, uint64_t Change) const;
  // Keeps Data, the page's verified data read with Key while the host's ChangeCount was Change.
  void Store(int32_t PageNo, const std::string& Key, uint64_t Change, const uint8_t* Data);

  int32_t Capacity() const { return FCapacity; }
  // The most entries it grows to.
  int32_t MostPages() const { return FMostPages; }
  int32_t Count() const { return FCount; }

private:
  struct TSlot {
    int32_t PageNo = -1;
    bool Referenced = false;
    std::string Key;
  };
  // Empties the cache when Change is not the ChangeCount its entries were read at.
  void Follow(uint64_t Change);
  uint8_t* DataOf(int32_t Slot) const;
  // A slot for a new entry: a free one, else the clock's victim (its entry leaves).
  int32_t TakeSlot();
  // Counts a store of a page held before and grows the cache when the count says so.
  void NoteStore(int32_t PageNo);

  int32_t FDataSize;
  int32_t FCapacity = kFirstPages;
  int32_t FMostPages;
  uint64_t FChange = 0;
  // By host page: its slot, -1 when not held (one look-up per read, no hashing).
  std::vector<int32_t> FSlotOf;
  int32_t FCount = 0;
  std::vector<TSlot> FSlots;                     // slots in use so far (at most FCapacity)
  std::vector<int32_t> FFree;                    // slots emptied by a change
  // The data of slot i: chunk i / kChunkSlots, place i % kChunkSlots; chunks are made as slots
  // are first used and kept when the cache empties.
  static constexpr int32_t kChunkSlots = 64;
  std::vector<std::unique_ptr<uint8_t[]>> FChunks;
  int32_t FHand = 0;
  platform::TReloadCounter FReloads;  // pages stored again, for growing
};

}  // namespace tesvar::container
