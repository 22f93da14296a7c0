#include "storage/TedIndexEntries.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define TESVAR_INDEX_SSE2 1
#endif

namespace tesvar::storage {

namespace {

// The offset of the first of Count items equal to Value, or -1. Sixteen items are compared per
// step where the processor compares four at once.
int32_t findItem(const int32_t* Items, int32_t Count, int32_t Value) {
  int32_t i = 0;
#if defined(TESVAR_INDEX_SSE2)
  const __m128i value = _mm_set1_epi32(Value);
  const auto equal = [&](int32_t At) {
    return _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Items + At)), value);
  };
  for (; i + 16 <= Count; i += 16) {
    const __m128i any = _mm_or_si128(_mm_or_si128(equal(i), equal(i + 4)), _mm_or_si128(equal(i + 8), equal(i + 12)));
    if (_mm_movemask_epi8(any) != 0) break;
  }
#endif
  for (; i < Count; ++i)
    if (Items[i] == Value) return i;
  return -1;
}

int32_t defaultCapacity = TedIndexEntries::kBlockCapacity;

int32_t lowBit(int32_t i) { return i & -i; }

}  // namespace

ScopedIndexBlockCapacity::ScopedIndexBlockCapacity(int32_t Capacity) : FPrevious(defaultCapacity) {
  defaultCapacity = std::max(4, Capacity);
}

ScopedIndexBlockCapacity::~ScopedIndexBlockCapacity() { defaultCapacity = FPrevious; }

TedIndexEntries::TedIndexEntries()
    : FCapacity(defaultCapacity), FMergeBelow(FCapacity / 4), FMergedMost(FCapacity * 3 / 4) {}

TedIndexEntries::~TedIndexEntries() = default;

void TedIndexEntries::TBlockFree::operator()(TBlock* Block) const {
  Block->~TBlock();
  ::operator delete(Block);
}

TedIndexEntries::TBlock* TedIndexEntries::NewBlock() {
  // Entries stay uninitialised: only the first Count are ever read.
  void* memory = ::operator new(sizeof(TBlock) + static_cast<size_t>(FCapacity) * sizeof(int32_t));
  TBlockPtr block(new (memory) TBlock);
  TBlock* result = block.get();
  if (FFreeIds.empty()) {
    block->Id = static_cast<int32_t>(FById.size());
    FById.push_back(std::move(block));
  } else {
    block->Id = FFreeIds.back();
    FFreeIds.pop_back();
    FById[static_cast<size_t>(block->Id)] = std::move(block);
  }
  return result;
}

void TedIndexEntries::FreeBlock(TBlock* Block) {
  const int32_t id = Block->Id;
  FById[static_cast<size_t>(id)].reset();
  FFreeIds.push_back(id);
}

void TedIndexEntries::Clear() {
  FById.clear();
  FFreeIds.clear();
  FOrder.clear();
  FFirst.clear();
  FFenwick.clear();
  FCount = 0;
  FLocation = {};
  FLocationsValid = false;
}

void TedIndexEntries::Reindex(int32_t FromRank) {
  const auto blocks = static_cast<int32_t>(FOrder.size());
  FFirst.resize(static_cast<size_t>(blocks));
  for (int32_t r = std::max(0, FromRank); r < blocks; ++r) {
    TBlock& block = *FOrder[static_cast<size_t>(r)];
    block.Rank = r;
    FFirst[static_cast<size_t>(r)] = block.Count > 0 ? block.Items()[0] : -1;
  }
  FFenwick.assign(static_cast<size_t>(blocks) + 1, 0);
  for (int32_t i = 1; i <= blocks; ++i) {
    FFenwick[static_cast<size_t>(i)] += FOrder[static_cast<size_t>(i - 1)]->Count;
    const int32_t parent = i + lowBit(i);
    if (parent <= blocks) FFenwick[static_cast<size_t>(parent)] += FFenwick[static_cast<size_t>(i)];
  }
}

void TedIndexEntries::FenwickAdd(int32_t Rank, int32_t Delta) {
  const auto blocks = static_cast<int32_t>(FOrder.size());
  for (int32_t i = Rank + 1; i <= blocks; i += lowBit(i)) FFenwick[static_cast<size_t>(i)] += Delta;
}

int32_t TedIndexEntries::BlockStart(int32_t Rank) const {
  int32_t sum = 0;
  for (int32_t i = Rank; i > 0; i -= lowBit(i)) sum += FFenwick[static_cast<size_t>(i)];
  return sum;
}

void TedIndexEntries::Locate(int32_t Position, int32_t& Rank, int32_t& Offset) const {
  const auto blocks = static_cast<int32_t>(FOrder.size());
  int32_t step = 1;
  while (step * 2 <= blocks) step *= 2;
  int32_t index = 0;
  int32_t rest = Position;
  for (; step > 0; step /= 2) {
    const int32_t next = index + step;
    if (next <= blocks && FFenwick[static_cast<size_t>(next)] <= rest) {
      index = next;
      rest -= FFenwick[static_cast<size_t>(next)];
    }
  }
  Rank = index;
  Offset = rest;
}

int32_t TedIndexEntries::At(int32_t Position) const {
  int32_t rank;
  int32_t offset;
  Locate(Position, rank, offset);
  return FOrder[static_cast<size_t>(rank)]->Items()[offset];
}

int32_t TedIndexEntries::LocateAt(int32_t Position, TCursor& Cursor) const {
  int32_t rank;
  int32_t offset;
  Locate(Position, rank, offset);
  const TBlock& block = *FOrder[static_cast<size_t>(rank)];
  Cursor.Start = Position - offset;
  Cursor.Count = block.Count;
  Cursor.Items = block.Items();
  return Cursor.Items[offset];
}

int32_t TedIndexEntries::Last() const {
  const TBlock& block = *FOrder.back();
  return block.Items()[block.Count - 1];
}

void TedIndexEntries::Assign(const int32_t* Items, int32_t Count) {
  Clear();
  for (int32_t done = 0; done < Count;) {
    TBlock* block = NewBlock();
    block->Count = std::min(FCapacity, Count - done);
    std::memcpy(block->Items(), Items + done, static_cast<size_t>(block->Count) * sizeof(int32_t));
    done += block->Count;
    FOrder.push_back(block);
  }
  FCount = Count;
  Reindex(0);
}

void TedIndexEntries::SetLocation(int32_t RecNo, int32_t BlockId) {
  if (!FLocationsValid) return;
  const auto recNo = static_cast<size_t>(RecNo);
  if (recNo >= FLocation.size()) FLocation.resize(std::max(recNo + 1, FLocation.size() + FLocation.size() / 2), -1);
  FLocation[recNo] = BlockId;
}

void TedIndexEntries::EnsureLocations() const {
  if (FLocationsValid) return;
  int32_t most = -1;
  for (const TBlock* block : FOrder)
    for (int32_t i = 0; i < block->Count; ++i) most = std::max(most, block->Items()[i]);
  FLocation.assign(static_cast<size_t>(most + 1), -1);
  for (const TBlock* block : FOrder)
    for (int32_t i = 0; i < block->Count; ++i) FLocation[static_cast<size_t>(block->Items()[i])] = block->Id;
  FLocationsValid = true;
}

int32_t TedIndexEntries::PositionOf(int32_t RecNo) const {
  EnsureLocations();
  if (RecNo < 0 || static_cast<size_t>(RecNo) >= FLocation.size()) return -1;
  const int32_t id = FLocation[static_cast<size_t>(RecNo)];
  if (id < 0) return -1;
  const TBlock& block = *FById[static_cast<size_t>(id)];
  const int32_t offset = findItem(block.Items(), block.Count, RecNo);
  return offset < 0 ? -1 : BlockStart(block.Rank) + offset;
}

void TedIndexEntries::PrefetchBlockOf(int32_t RecNo) const {
  if (!FLocationsValid || RecNo < 0 || static_cast<size_t>(RecNo) >= FLocation.size()) return;
  const int32_t id = FLocation[static_cast<size_t>(RecNo)];
  if (id < 0) return;
  // The header and the first entries; the processor streams the rest once the scan runs.
  const auto* start = reinterpret_cast<const char*>(FById[static_cast<size_t>(id)].get());
  for (int line = 0; line < 4; ++line) PrefetchLine(start + line * kPrefetchLineBytes);
}

void TedIndexEntries::CopyTo(int32_t* Dest) const {
  for (const TBlock* block : FOrder) {
    std::memcpy(Dest, block->Items(), static_cast<size_t>(block->Count) * sizeof(int32_t));
    Dest += block->Count;
  }
}

void TedIndexEntries::Insert(int32_t Position, int32_t RecNo) {
  if (FOrder.empty()) {
    TBlock* block = NewBlock();
    block->Count = 0;
    FOrder.push_back(block);
    FFirst.assign(1, -1);
    FFenwick.assign(2, 0);
  }
  int32_t rank;
  int32_t offset;
  if (Position == FCount) {
    rank = static_cast<int32_t>(FOrder.size()) - 1;
    offset = FOrder.back()->Count;
  } else {
    Locate(Position, rank, offset);
    // At a block boundary the end of the block before takes it when it has room.
    if (offset == 0 && rank > 0 && FOrder[static_cast<size_t>(rank - 1)]->Count < FCapacity) {
      --rank;
      offset = FOrder[static_cast<size_t>(rank)]->Count;
    }
  }
  InsertIntoBlock(rank, offset, RecNo);
}

void TedIndexEntries::InsertIntoBlock(int32_t Rank, int32_t Offset, int32_t RecNo) {
  TBlock& block = *FOrder[static_cast<size_t>(Rank)];
  if (block.Count == FCapacity) {
    SplitAndInsert(Rank, Offset, RecNo);
    return;
  }
  std::memmove(block.Items() + Offset + 1, block.Items() + Offset, static_cast<size_t>(block.Count - Offset) * sizeof(int32_t));
  block.Items()[Offset] = RecNo;
  if (Offset == 0) FFirst[static_cast<size_t>(Rank)] = RecNo;
  ++block.Count;
  ++FCount;
  FenwickAdd(Rank, 1);
  SetLocation(RecNo, block.Id);
}

void TedIndexEntries::SplitAndInsert(int32_t Rank, int32_t Offset, int32_t RecNo) {
  TBlock& block = *FOrder[static_cast<size_t>(Rank)];
  const auto last = static_cast<int32_t>(FOrder.size()) - 1;
  // Appending (or prepending) in key order starts a new block and leaves the full one full.
  if ((Offset == FCapacity && Rank == last) || (Offset == 0 && Rank == 0)) {
    TBlock* fresh = NewBlock();
    fresh->Count = 1;
    fresh->Items()[0] = RecNo;
    const int32_t at = Offset == 0 ? Rank : Rank + 1;
    FOrder.insert(FOrder.begin() + at, fresh);
    ++FCount;
    Reindex(at);
    SetLocation(RecNo, fresh->Id);
    return;
  }
  const int32_t half = FCapacity / 2;
  TBlock* upper = NewBlock();
  upper->Count = FCapacity - half;
  std::memcpy(upper->Items(), block.Items() + half, static_cast<size_t>(upper->Count) * sizeof(int32_t));
  block.Count = half;
  if (FLocationsValid)
    for (int32_t i = 0; i < upper->Count; ++i) FLocation[static_cast<size_t>(upper->Items()[i])] = upper->Id;
  FOrder.insert(FOrder.begin() + Rank + 1, upper);
  Reindex(Rank + 1);
  if (Offset <= half)
    InsertIntoBlock(Rank, Offset, RecNo);
  else
    InsertIntoBlock(Rank + 1, Offset - half, RecNo);
}

void TedIndexEntries::RemoveBlock(int32_t Rank) {
  FreeBlock(FOrder[static_cast<size_t>(Rank)]);
  FOrder.erase(FOrder.begin() + Rank);
  Reindex(Rank);
}

void TedIndexEntries::MergeIfSmall(int32_t Rank) {
  TBlock& block = *FOrder[static_cast<size_t>(Rank)];
  if (block.Count >= FMergeBelow) return;
  auto moveItems = [this](TBlock& From, TBlock& To) {
    std::memcpy(To.Items() + To.Count, From.Items(), static_cast<size_t>(From.Count) * sizeof(int32_t));
    if (FLocationsValid)
      for (int32_t i = 0; i < From.Count; ++i) FLocation[static_cast<size_t>(From.Items()[i])] = To.Id;
    To.Count += From.Count;
    From.Count = 0;
  };
  if (Rank > 0) {
    TBlock& before = *FOrder[static_cast<size_t>(Rank - 1)];
    if (before.Count + block.Count <= FMergedMost) {
      moveItems(block, before);
      RemoveBlock(Rank);
      return;
    }
  }
  if (Rank + 1 < static_cast<int32_t>(FOrder.size())) {
    TBlock& after = *FOrder[static_cast<size_t>(Rank + 1)];
    if (after.Count + block.Count <= FMergedMost) {
      moveItems(after, block);
      RemoveBlock(Rank + 1);
    }
  }
}

void TedIndexEntries::Delete(int32_t Position) {
  int32_t rank;
  int32_t offset;
  Locate(Position, rank, offset);
  TBlock& block = *FOrder[static_cast<size_t>(rank)];
  const int32_t recNo = block.Items()[offset];
  std::memmove(block.Items() + offset, block.Items() + offset + 1, static_cast<size_t>(block.Count - offset - 1) * sizeof(int32_t));
  --block.Count;
  --FCount;
  if (FLocationsValid) FLocation[static_cast<size_t>(recNo)] = -1;
  if (block.Count == 0) {
    RemoveBlock(rank);
    return;
  }
  if (offset == 0) FFirst[static_cast<size_t>(rank)] = block.Items()[0];
  FenwickAdd(rank, -1);
  MergeIfSmall(rank);
}

void TedIndexEntries::Set(int32_t Position, int32_t RecNo) {
  int32_t rank;
  int32_t offset;
  Locate(Position, rank, offset);
  TBlock& block = *FOrder[static_cast<size_t>(rank)];
  if (FLocationsValid) FLocation[static_cast<size_t>(block.Items()[offset])] = -1;
  block.Items()[offset] = RecNo;
  if (offset == 0) FFirst[static_cast<size_t>(rank)] = RecNo;
  SetLocation(RecNo, block.Id);
}

size_t TedIndexEntries::MemoryBytes() const {
  return FOrder.size() * (sizeof(TBlock) + static_cast<size_t>(FCapacity) * sizeof(int32_t)) + FById.capacity() * sizeof(FById[0]) + FOrder.capacity() * sizeof(TBlock*) +
         (FFirst.capacity() + FFenwick.capacity() + FLocation.capacity()) * sizeof(int32_t);
}

}  // namespace tesvar::storage
