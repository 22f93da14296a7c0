#include "dataset/TBitsArray.h"

#include "platform/Exception.h"

#include <algorithm>
#include <string>

namespace tesvar::dataset {

namespace {

void requireCount(int32_t Count) {
  if (Count < 0) throw Exception("TBitsArray - invalid count " + std::to_string(Count));
}

}  // namespace

TBitsArray::TBitsArray(int32_t Count) {
  requireCount(Count);
  FBits.assign(static_cast<size_t>(Count), 0);
}

void TBitsArray::SetCount(int32_t Count) {
  requireCount(Count);
  FBits.resize(static_cast<size_t>(Count), 0);
}

size_t TBitsArray::Checked(int32_t Index) const {
  if (Index < 0 || Index >= Count())
    throw Exception("TBitsArray - index " + std::to_string(Index) + " out of bounds (count " + std::to_string(Count()) +
                    ")");
  return static_cast<size_t>(Index);
}

void TBitsArray::FillAll(bool Value) { std::fill(FBits.begin(), FBits.end(), Value ? 1 : 0); }

// The loops below read the arrays through local pointers: a byte store may alias anything, so
// through the vectors themselves the compiler would reload their pointers on every entry.
void TBitsArray::NotAll() {
  uint8_t* bits = FBits.data();
  const size_t n = FBits.size();
  for (size_t i = 0; i < n; ++i) bits[i] ^= 1;
}

void TBitsArray::RequireSameCount(const TBitsArray& Other) const {
  if (Other.Count() != Count())
    throw Exception("TBitsArray - counts differ (" + std::to_string(Count()) + ", " + std::to_string(Other.Count()) +
                    ")");
}

void TBitsArray::And(const TBitsArray& Other) {
  RequireSameCount(Other);
  uint8_t* bits = FBits.data();
  const uint8_t* other = Other.FBits.data();
  const size_t n = FBits.size();
  for (size_t i = 0; i < n; ++i) bits[i] &= other[i];
}

void TBitsArray::Or(const TBitsArray& Other) {
  RequireSameCount(Other);
  uint8_t* bits = FBits.data();
  const uint8_t* other = Other.FBits.data();
  const size_t n = FBits.size();
  for (size_t i = 0; i < n; ++i) bits[i] |= other[i];
}

int32_t TBitsArray::CountSet() const {
  int32_t n = 0;
  for (uint8_t b : FBits) n += b;
  return n;
}

}  // namespace tesvar::dataset
