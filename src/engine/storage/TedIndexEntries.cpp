#include "storage/TedIndexEntries.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tesvar::storage {

namespace {

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
  FFenwick.clear();
  FCount = 0;
  FLocation = {};
  FLocationsValid = false;
}

void TedIndexEntries::Reindex(int32_t FromRank) {
  const auto blocks = static_cast<int32_t>(FOrder.size());
  for (int32_t r = std::max(0, FromRank); r < blocks; ++r) FOrder[static_cast<size_t>(r)]->Rank = r;
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
  // Eight at a time without an early exit inside, so that the compiler can vectorise the scan.
  const int32_t* items = block.Items();
  int32_t i = 0;
  for (; i + 8 <= block.Count; i += 8) {
    bool hit = false;
    for (int32_t k = 0; k < 8; ++k) hit |= items[i + k] == RecNo;
    if (hit) break;
  }
  for (; i < block.Count; ++i)
    if (items[i] == RecNo) return BlockStart(block.Rank) + i;
  return -1;
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
  SetLocation(RecNo, block.Id);
}

size_t TedIndexEntries::MemoryBytes() const {
  return FOrder.size() * (sizeof(TBlock) + static_cast<size_t>(FCapacity) * sizeof(int32_t)) + FById.capacity() * sizeof(FById[0]) + FOrder.capacity() * sizeof(TBlock*) +
         (FFenwick.capacity() + FLocation.capacity()) * sizeof(int32_t);
}

}  // namespace tesvar::storage
