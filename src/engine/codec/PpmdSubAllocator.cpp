#include "codec/PpmdSubAllocator_internal.h"

#include <new>

namespace tesvar::codec::ppmd {

namespace {

// Blocks of the largest class held back at the start of the area.
constexpr uint32_t kReserveBlocks = 128;

}  // namespace

bool TPpmdSubAllocator::Reserve(uint32_t SizeMB) {
  if (FArea && FSizeMB == SizeMB) return true;
  FArea.reset();
  FBase = nullptr;
  FSizeMB = 0;
  // One spare unit in front keeps every block offset above 0.
  const size_t bytes = (size_t(SizeMB) << 20) + kUnitSize;
  FArea.reset(new (std::nothrow) uint8_t[bytes]);
  if (!FArea) return false;
  FBase = FArea.get();
  FSizeMB = SizeMB;
  return true;
}

void TPpmdSubAllocator::Init() {
  for (auto& head : FFreeList) head = 0;
  const uint32_t size = FSizeMB << 20;
  const uint32_t heapStart = kUnitSize;
  FHiUnit = heapStart + kUnitSize * (size / kUnitSize);
  FReserve = heapStart;
  FLoUnit = heapStart + kReserveBlocks * kMaxBlockUnits * kUnitSize;
}

uint32_t TPpmdSubAllocator::allocUnitsRare(int Index) {
  if (FReserve != 0) {
    for (uint32_t i = 0; i < kReserveBlocks; ++i) {
      insertNode(FReserve, kSizeClassCount - 1);
      FReserve += kMaxBlockUnits * kUnitSize;
    }
    FReserve = 0;
  }
  // A larger free block is split; the class asked for itself is not looked at again.
  for (int i = Index + 1; i < kSizeClassCount; ++i) {
    if (FFreeList[i] != 0) {
      const uint32_t block = removeNode(i);
      splitBlock(block, i, Index);
      return block;
    }
  }
  return 0;
}

void TPpmdSubAllocator::splitBlock(uint32_t Block, int OldIndex, int NewIndex) {
  uint32_t diff = kIndex2Units[OldIndex] - kIndex2Units[NewIndex];
  uint32_t rest = Block + indexBytes(NewIndex);
  int i = kUnits2Index[diff - 1];
  if (kIndex2Units[i] != diff) {
    --i;
    insertNode(rest, i);
    rest += indexBytes(i);
    diff -= kIndex2Units[i];
  }
  insertNode(rest, kUnits2Index[diff - 1]);
}

uint32_t TPpmdSubAllocator::ExpandUnits(uint32_t Block, uint32_t OldUnits) {
  const int oldIndex = kUnits2Index[OldUnits - 1];
  if (oldIndex == kUnits2Index[OldUnits]) return Block;
  const uint32_t moved = AllocUnits(OldUnits + 1);
  if (moved != 0) {
    std::memcpy(FBase + moved, FBase + Block, indexBytes(oldIndex));
    insertNode(Block, oldIndex);
  }
  return moved;
}

uint32_t TPpmdSubAllocator::ShrinkUnits(uint32_t Block, uint32_t OldUnits, uint32_t NewUnits) {
  const int oldIndex = kUnits2Index[OldUnits - 1];
  const int newIndex = kUnits2Index[NewUnits - 1];
  if (oldIndex == newIndex) return Block;
  if (FFreeList[newIndex] != 0) {
    const uint32_t moved = removeNode(newIndex);
    std::memcpy(FBase + moved, FBase + Block, indexBytes(newIndex));
    insertNode(Block, oldIndex);
    return moved;
  }
  splitBlock(Block, oldIndex, newIndex);
  return Block;
}

}  // namespace tesvar::codec::ppmd
