#pragma once
// A set of physical record numbers: one entry per record number 0 .. Count - 1, each 0 or 1,
// held as bits in 64-bit words. Filters and master/detail conditions evaluate into bit sets, which
// the view rebuild combines and then walks in index order. Bits past Count are always 0, so the
// whole-set operations and CountSet work word by word.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tesvar::dataset {

class TBitsArray {
public:
  // Count entries, all 0. Raises tesvar::Exception for a negative Count.
  explicit TBitsArray(int32_t Count = 0);

  int32_t Count() const { return FCount; }
  // Resizes to Count entries: entries kept keep their values, new ones are 0. Raises
  // tesvar::Exception for a negative Count.
  void SetCount(int32_t Count);

  // Entry Index (0 .. Count - 1); other indexes raise "TBitsArray - index <i> out of bounds
  // (count <n>)".
  bool Items(int32_t Index) const {
    const size_t i = Checked(Index);
    return ((FWords[i / 64] >> (i % 64)) & 1) != 0;
  }
  void SetItems(int32_t Index, bool Value) {
    const size_t i = Checked(Index);
    const uint64_t bit = uint64_t{1} << (i % 64);
    if (Value)
      FWords[i / 64] |= bit;
    else
      FWords[i / 64] &= ~bit;
  }

  // Every entry := Value.
  void FillAll(bool Value);
  // Every entry := not entry.
  void NotAll();
  // Entry by entry AND / OR with Other, which must have the same count (else "TBitsArray - counts
  // differ (<n>, <m>)" and nothing changes).
  void And(const TBitsArray& Other);
  void Or(const TBitsArray& Other);

  // The number of entries that are 1.
  int32_t CountSet() const;
  // The first entry at or after From that is 1, or -1 when there is none (From may be any value).
  int32_t NextSet(int32_t From) const;

private:
  size_t Checked(int32_t Index) const {
    if (static_cast<uint32_t>(Index) >= static_cast<uint32_t>(FCount)) RaiseOutOfBounds(Index);
    return static_cast<size_t>(Index);
  }
  [[noreturn]] void RaiseOutOfBounds(int32_t Index) const;
  void RequireSameCount(const TBitsArray& Other) const;
  // Clears the bits of the last word past Count.
  void ClearTail();

  int32_t FCount = 0;
  std::vector<uint64_t> FWords;
};

}  // namespace tesvar::dataset
