#pragma once
// A set of physical record numbers: one entry per record number 0 .. Count - 1, each 0 or 1,
// held as one byte per entry. Filters and master/detail conditions evaluate into bit sets, which
// the view rebuild combines and then walks in index order.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tesvar::dataset {

class TBitsArray {
public:
  // Count entries, all 0. Raises tesvar::Exception for a negative Count.
  explicit TBitsArray(int32_t Count = 0);

  int32_t Count() const { return static_cast<int32_t>(FBits.size()); }
  // Resizes to Count entries: entries kept keep their values, new ones are 0. Raises
  // tesvar::Exception for a negative Count.
  void SetCount(int32_t Count);

  // Entry Index (0 .. Count - 1); other indexes raise "TBitsArray - index <i> out of bounds
  // (count <n>)".
  bool Items(int32_t Index) const { return FBits[Checked(Index)] != 0; }
  void SetItems(int32_t Index, bool Value) { FBits[Checked(Index)] = Value ? 1 : 0; }

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
  // The entries (Count bytes, each 0 or 1) for loops over every record.
  const uint8_t* Data() const { return FBits.data(); }

private:
  size_t Checked(int32_t Index) const;
  void RequireSameCount(const TBitsArray& Other) const;

  std::vector<uint8_t> FBits;
};

}  // namespace tesvar::dataset
