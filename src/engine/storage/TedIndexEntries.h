#pragma once
// The entries of one index: distinct record numbers in key order, addressed by position 0 ..
// Count - 1 exactly as one flat array would be, but held in blocks of at most kBlockCapacity
// entries. Inserting or removing an entry moves the entries of one block only; a block's start
// position comes from a Fenwick tree of block sizes, so At, Insert and Delete cost O(log n) plus
// one block move. Each record number's block is known, so PositionOf costs no key comparison.
//
// The block capacity is fixed per object (the process default, kBlockCapacity unless a
// ScopedIndexBlockCapacity is in force when the object is made: tests use small blocks so that
// few entries make many blocks).

#include "storage/Prefetch.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace tesvar::storage {

class TedIndexEntries {
public:
  static constexpr int32_t kBlockCapacity = 1024;

  TedIndexEntries();
  ~TedIndexEntries();
  TedIndexEntries(const TedIndexEntries&) = delete;
  TedIndexEntries& operator=(const TedIndexEntries&) = delete;

  int32_t BlockCapacity() const { return FCapacity; }
  int32_t BlockCount() const { return static_cast<int32_t>(FOrder.size()); }

  int32_t Count() const { return FCount; }
  // Position 0 .. Count - 1.
  int32_t At(int32_t Position) const;
  // The block of the last position asked for through it, so that positions near one another
  // cost no block search. Valid until the next change of the entries.
  struct TCursor {
    int32_t Start = 0;
    int32_t Count = 0;
    const int32_t* Items = nullptr;
  };
  int32_t At(int32_t Position, TCursor& Cursor) const {
    const int32_t offset = Position - Cursor.Start;
    if (offset >= 0 && offset < Cursor.Count) return Cursor.Items[offset];
    return LocateAt(Position, Cursor);
  }
  int32_t Last() const;
  // Replaces every entry by Count items (distinct, non-negative record numbers).
  void Assign(const int32_t* Items, int32_t Count);
  void Clear();
  // Position 0 .. Count; RecNo must not be held already.
  void Insert(int32_t Position, int32_t RecNo);
  void Delete(int32_t Position);
  // Puts RecNo (not held elsewhere) in place of the entry at Position.
  void Set(int32_t Position, int32_t RecNo);
  // The position of RecNo, or -1 when it is not held.
  int32_t PositionOf(int32_t RecNo) const;
  // Hints that PositionOf(RecNo) follows; they change nothing. PrefetchLocation fetches what
  // says which block holds RecNo; PrefetchBlockOf reads it (so it should come a while after
  // PrefetchLocation) and fetches the start of that block. Several records' look-ups hinted
  // first, stage by stage, wait for memory together instead of one after another.
  void PrefetchLocation(int32_t RecNo) const {
    if (FLocationsValid && RecNo >= 0 && static_cast<size_t>(RecNo) < FLocation.size())
      PrefetchLine(FLocation.data() + RecNo);
  }
  void PrefetchBlockOf(int32_t RecNo) const;
  // The first position whose entry makes Below(RecNo) false, or Count(); Below must hold for a
  // prefix of the positions and for none after it. The same position a bisection over the flat
  // array finds, but found by bisection over the blocks' first entries and then within one
  // block, so that no probe costs a search for its block. While one entry is tested, what the
  // probes after it read is fetched ahead: the entries (or block headers) of the four probes two
  // steps on, and, through Prefetch(RecNo), what Below reads about the entries of the two probes
  // that can follow, whose entries were fetched one step before; so each probe waits for one
  // memory access at most, not for a chain of them.
  template <class TBelow, class TPrefetch>
  int32_t PartitionPoint(TBelow&& Below, TPrefetch&& Prefetch) const {
    // The first block whose first entry is not below. The first entries lie side by side, so a
    // probe waits for the key it tests only, and the keys of the probes two steps on are fetched
    // at once.
    int32_t low = 0;
    int32_t high = static_cast<int32_t>(FOrder.size());
    const auto prefetchFirst = [&](int32_t Low, int32_t High) {
      if (Low < High) Prefetch(FFirst[static_cast<size_t>(Middle(Low, High))]);
    };
    prefetchFirst(low, high);
    while (low < high) {
      const int32_t mid = Middle(low, high);
      PrefetchAhead(low, mid, high, prefetchFirst, prefetchFirst);
      if (Below(FFirst[static_cast<size_t>(mid)]))
        low = mid + 1;
      else
        high = mid;
    }
    if (low == 0) return 0;
    // Within the block before it, whose first entry is below.
    const int32_t rank = low - 1;
    const TBlock& block = *FOrder[static_cast<size_t>(rank)];
    const int32_t* items = block.Items();
    const auto prefetchItem = [&](int32_t Low, int32_t High) {
      if (Low < High) PrefetchLine(&items[Middle(Low, High)]);
    };
    const auto prefetchEntry = [&](int32_t Low, int32_t High) {
      if (Low < High) Prefetch(items[Middle(Low, High)]);
    };
    int32_t first = 1;
    int32_t last = block.Count;
    prefetchItem(first, last);
    while (first < last) {
      const int32_t mid = Middle(first, last);
      PrefetchAhead(first, mid, last, prefetchItem, prefetchEntry);
      if (Below(items[mid]))
        first = mid + 1;
      else
        last = mid;
    }
    return BlockStart(rank) + first;
  }
  template <class TBelow>
  int32_t PartitionPoint(TBelow&& Below) const {
    return PartitionPoint(Below, [](int32_t) {});
  }
  // All entries in order into Dest (Count items).
  void CopyTo(int32_t* Dest) const;
  // Visit(RecNo) for every entry in order, block by block; nothing may change meanwhile.
  template <class TVisit>
  void ForEach(TVisit&& Visit) const {
    for (const TBlock* block : FOrder) {
      const int32_t* items = block->Items();
      for (int32_t i = 0; i < block->Count; ++i) Visit(items[i]);
    }
  }

  // Visit(RecNo) for the entries at positions From .. To - 1 (within 0 .. Count) in order, block
  // by block after one search for the first, until Visit returns false; false then, else true.
  // Nothing may change meanwhile.
  template <class TVisit>
  bool ForRange(int32_t From, int32_t To, TVisit&& Visit) const {
    if (From >= To) return true;
    int32_t rank = 0, offset = 0;
    Locate(From, rank, offset);
    for (int32_t left = To - From; left > 0; ++rank, offset = 0) {
      const TBlock& block = *FOrder[static_cast<size_t>(rank)];
      const int32_t* items = block.Items() + offset;
      const int32_t n = std::min(block.Count - offset, left);
      for (int32_t i = 0; i < n; ++i)
        if (!Visit(items[i])) return false;
      left -= n;
    }
    return true;
  }

  // Bytes held, for memory figures.
  size_t MemoryBytes() const;

private:
  // The probe of a bisection over Low .. High - 1.
  static int32_t Middle(int32_t Low, int32_t High) { return Low + (High - Low) / 2; }
  // The fetches ahead of the probe Mid of a bisection over Low .. High - 1: Far(L, H) for the
  // ranges of the four probes two steps on, Near(L, H) for those of the two that can follow.
  template <class TFar, class TNear>
  static void PrefetchAhead(int32_t Low, int32_t Mid, int32_t High, TFar&& Far, TNear&& Near) {
    const int32_t left = Middle(Low, Mid);
    const int32_t right = Middle(Mid + 1, High);
    Far(Low, left);
    Far(left + 1, Mid);
    Far(Mid + 1, right);
    Far(right + 1, High);
    Near(Low, Mid);
    Near(Mid + 1, High);
  }

  // A block header followed, in the same allocation, by room for FCapacity entries.
  struct TBlock {
    int32_t Id = 0;    // slot in FById, stable while the block lives
    int32_t Rank = 0;  // position in FOrder
    int32_t Count = 0;
    int32_t* Items() { return reinterpret_cast<int32_t*>(this + 1); }
    const int32_t* Items() const { return reinterpret_cast<const int32_t*>(this + 1); }
  };
  struct TBlockFree {
    void operator()(TBlock* Block) const;
  };
  using TBlockPtr = std::unique_ptr<TBlock, TBlockFree>;

  TBlock* NewBlock();
  void FreeBlock(TBlock* Block);
  // Block order position and offset of Position (0 .. Count - 1).
  void Locate(int32_t Position, int32_t& Rank, int32_t& Offset) const;
  int32_t LocateAt(int32_t Position, TCursor& Cursor) const;
  int32_t BlockStart(int32_t Rank) const;
  void FenwickAdd(int32_t Rank, int32_t Delta);
  // After blocks were added, removed or reordered: ranks and the Fenwick tree.
  void Reindex(int32_t FromRank);
  void SetLocation(int32_t RecNo, int32_t BlockId);
  void EnsureLocations() const;
  void InsertIntoBlock(int32_t Rank, int32_t Offset, int32_t RecNo);
  void SplitAndInsert(int32_t Rank, int32_t Offset, int32_t RecNo);
  void RemoveBlock(int32_t Rank);
  void MergeIfSmall(int32_t Rank);

  int32_t FCapacity;
  // A block this empty after a removal merges with a neighbour when both fit into one block
  // with room to spare (at most FMergedMost entries).
  int32_t FMergeBelow;
  int32_t FMergedMost;
  std::vector<TBlockPtr> FById;
  std::vector<int32_t> FFreeIds;
  std::vector<TBlock*> FOrder;     // blocks in key order
  std::vector<int32_t> FFirst;     // per block in key order: its first entry (blocks are never empty)
  std::vector<int32_t> FFenwick;   // 1-based Fenwick tree of block counts
  int32_t FCount = 0;
  // Record number -> block id (-1: not held): built by the first PositionOf, then kept up, so
  // that an index only ever inserted into (or just read from T.idx) holds none.
  mutable std::vector<int32_t> FLocation;
  mutable bool FLocationsValid = false;
};

// Sets the block capacity of index entries made during its lifetime (at least 4) and restores
// the former one after; for tests.
class ScopedIndexBlockCapacity {
public:
  explicit ScopedIndexBlockCapacity(int32_t Capacity);
  ~ScopedIndexBlockCapacity();
  ScopedIndexBlockCapacity(const ScopedIndexBlockCapacity&) = delete;
  ScopedIndexBlockCapacity& operator=(const ScopedIndexBlockCapacity&) = delete;

private:
  int32_t FPrevious;
};

}  // namespace tesvar::storage
