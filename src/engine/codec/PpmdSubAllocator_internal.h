#pragma once
// The PPMd model's memory: one area cut into 12-byte units. Contexts take single units from the
// top of the free stretch, state arrays take blocks of 1..128 units from its bottom, and freed
// blocks go to one free list per block size class. The first 128 x 128 units are held back and
// released only when the free stretch is used up, so the model has room to finish the step that
// found memory short. When nothing fits, allocation returns 0 and the model restarts.
//
// Blocks are named by their byte offset from Base(); offset 0 is never a block, so 0 serves as
// "none" both here and in the model's links. The exact order in which blocks are handed out is
// part of the compressed format: it decides when the model runs out of memory and restarts.

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

namespace tesvar::codec::ppmd {

inline constexpr uint32_t kUnitSize = 12;
inline constexpr uint32_t kMaxBlockUnits = 128;
inline constexpr int kSizeClassCount = 38;

// Size classes: class i holds blocks of kIndex2Units[i] units: 1, 2, 3, 4, then steps of 2 up
// to 12, of 3 up to 24 and of 4 up to 128.
inline constexpr std::array<uint8_t, kSizeClassCount> kIndex2Units = [] {
  std::array<uint8_t, kSizeClassCount> units{};
  int i = 0;
  int k = 1;
  for (; i < 4; ++i, k += 1) units[i] = uint8_t(k);
  for (++k; i < 8; ++i, k += 2) units[i] = uint8_t(k);
  for (++k; i < 12; ++i, k += 3) units[i] = uint8_t(k);
  for (++k; i < kSizeClassCount; ++i, k += 4) units[i] = uint8_t(k);
  return units;
}();
static_assert(kIndex2Units[kSizeClassCount - 1] == kMaxBlockUnits);

// kUnits2Index[n - 1]: the smallest class that holds n units.
inline constexpr std::array<uint8_t, kMaxBlockUnits> kUnits2Index = [] {
  std::array<uint8_t, kMaxBlockUnits> index{};
  uint32_t i = 0;
  for (uint32_t n = 0; n < kMaxBlockUnits; ++n) {
    if (kIndex2Units[i] < n + 1) ++i;
    index[n] = uint8_t(i);
  }
  return index;
}();

class TPpmdSubAllocator {
public:
  // Holds an area of SizeMB MB, keeping the current one when its size is the same. Returns false
  // and holds nothing when the area cannot be allocated. Init() must follow before allocating.
  bool Reserve(uint32_t SizeMB);
  uint32_t SizeMB() const { return FSizeMB; }

  // Forgets every block: the whole area is free again.
  void Init();

  uint8_t* Base() const { return FBase; }

  uint32_t AllocContext() {
    if (FHiUnit != FLoUnit) return FHiUnit -= kUnitSize;
    return AllocUnits(1);
  }

  // A block of at least Units units (1..128), or 0 when memory is exhausted.
  uint32_t AllocUnits(uint32_t Units) {
    const int index = kUnits2Index[Units - 1];
    if (FFreeList[index] != 0) return removeNode(index);
    const uint32_t block = FLoUnit;
    const uint32_t bytes = indexBytes(index);
    if (FHiUnit - FLoUnit >= bytes) {
      FLoUnit += bytes;
      return block;
    }
    return allocUnitsRare(index);
  }

  // Grows a block of OldUnits units to OldUnits + 1, moving it when its size class changes.
  // Returns the block (0 when memory is exhausted; the old block is then kept).
  uint32_t ExpandUnits(uint32_t Block, uint32_t OldUnits);
  // Shrinks a block of OldUnits units to NewUnits, moving or splitting it.
  uint32_t ShrinkUnits(uint32_t Block, uint32_t OldUnits, uint32_t NewUnits);
  void FreeUnits(uint32_t Block, uint32_t Units) { insertNode(Block, kUnits2Index[Units - 1]); }

private:
  static uint32_t indexBytes(int Index) { return kUnitSize * kIndex2Units[Index]; }
  uint32_t allocUnitsRare(int Index);
  void splitBlock(uint32_t Block, int OldIndex, int NewIndex);

  void insertNode(uint32_t Block, int Index) {
    std::memcpy(FBase + Block, &FFreeList[Index], 4);
    FFreeList[Index] = Block;
  }
  uint32_t removeNode(int Index) {
    const uint32_t block = FFreeList[Index];
    std::memcpy(&FFreeList[Index], FBase + block, 4);
    return block;
  }

  std::unique_ptr<uint8_t[]> FArea;
  uint8_t* FBase = nullptr;  // FArea; the usable area starts one unit further
  uint32_t FSizeMB = 0;
  uint32_t FLoUnit = 0;
  uint32_t FHiUnit = 0;
  uint32_t FReserve = 0;  // the held-back units, 0 once released
  uint32_t FFreeList[kSizeClassCount] = {};
};

}  // namespace tesvar::codec::ppmd
