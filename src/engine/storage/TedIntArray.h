#pragma once
// Growable arrays of 32-bit integers, used for record-number arrays, index entries and maps.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tesvar::storage {

// A growable int32 array. Capacity grows by a step that doubles on every growth up to a cap;
// past the cap it grows by half its size, so appending n items costs O(n) copies in all. Lowering
// Count keeps the storage unless more than the shrink step would be unused. Count 0 frees it.
class TedIntArray {
public:
  // Record-number arrays use step 1000 and cap 10000.
  explicit TedIntArray(int32_t GrowStep = 1000, int32_t ShrinkStep = 1000, int32_t StepCap = 10000);

  int32_t Count() const { return FCount; }
  int32_t Capacity() const { return static_cast<int32_t>(FItems.size()); }
  // New items are 0.
  void SetCount(int32_t Value);
  int32_t operator[](int32_t Index) const { return FItems[static_cast<size_t>(Index)]; }
  int32_t& operator[](int32_t Index) { return FItems[static_cast<size_t>(Index)]; }
  const int32_t* Data() const { return FItems.data(); }
  int32_t* Data() { return FItems.data(); }

  void Append(int32_t Value);
  // Index 0..Count; later items move up.
  void Insert(int32_t Index, int32_t Value);
  // Later items move down.
  void Delete(int32_t Index);
  // To == From: nothing; neighbours swap; To > From: the item lands at To - 1, those between
  // move down; To < From: the item lands at To, those between move up. Both in 0..Count - 1
  // (To may be Count when To > From).
  void Move(int32_t From, int32_t To);
  // Copies Count items starting at From into Dest.
  void CopyTo(int32_t* Dest, int32_t Count, int32_t From) const;

private:
  void Grow(int32_t Needed);

  std::vector<int32_t> FItems;  // size() is the capacity
  int32_t FCount = 0;
  int32_t FGrowStep;
  int32_t FShrinkStep;
  int32_t FStepCap;
};

// A sorted map of unique int32 keys to int32 values.
class TedSortedIntArray {
public:
  TedSortedIntArray();

  int32_t Count() const { return FKeys.Count(); }
  int32_t KeyAt(int32_t Index) const { return FKeys[Index]; }
  int32_t ValueAt(int32_t Index) const { return FValues[Index]; }
  // Position of Key if present, else the position it would be inserted at.
  int32_t FindPosition(int32_t Key) const;
  // -1 when absent.
  int32_t IndexOf(int32_t Key) const;
  int32_t ValueOf(int32_t Key) const;
  // Adds Key at its sorted position; an existing Key takes the new Value.
  void Add(int32_t Key, int32_t Value);
  void DeleteAt(int32_t Index);
  // Raises "TedSortedIntArray.Delete - no elements in array!" when empty and
  // "TedSortedIntArray.Delete - element not found, key = <key>, itemCount = <count>!" when Key is
  // absent.
  void Delete(int32_t Key);
  void Clear();

private:
  TedIntArray FKeys;
  TedIntArray FValues;
};

// An unordered map of int32 keys to int32 values in one table (open addressing, linear probing):
// no allocation per key, so that a key set and dropped for every logged record costs a few
// memory accesses. Any key but INT32_MIN.
class TedIntHashMap {
public:
  int32_t Count() const { return FCount; }
  bool Empty() const { return FCount == 0; }
  // The value of Key, or -1 when absent.
  int32_t ValueOf(int32_t Key) const;
  // Adds Key or gives it the new Value.
  void Set(int32_t Key, int32_t Value);
  // Removes Key when present.
  void Remove(int32_t Key);
  // Removes every key; the table is kept for reuse.
  void Clear();

private:
  static constexpr int32_t kNoKey = INT32_MIN;
  struct Slot {
    int32_t Key = kNoKey;
    int32_t Value = 0;
  };
  // The slot Key's probe starts at.
  size_t Home(int32_t Key) const {
    return static_cast<size_t>((static_cast<uint32_t>(Key) * 2654435769u) >> FShift);
  }
  // The slot holding Key, or the empty slot where its probe ends.
  size_t Probe(int32_t Key) const;
  void Grow();

  std::vector<Slot> FSlots;  // a power of two of them, at most half in use
  uint32_t FShift = 32;      // 32 - log2(slot count)
  int32_t FCount = 0;
};

}  // namespace tesvar::storage
