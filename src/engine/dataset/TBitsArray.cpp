#include "dataset/TBitsArray.h"

#include "platform/Exception.h"

#include <algorithm>
#include <bit>
#include <string>

namespace tesvar::dataset {

namespace {

void requireCount(int32_t Count) {
  if (Count < 0) throw Exception("TBitsArray - invalid count " + std::to_string(Count));
}

size_t wordsFor(int32_t Count) { return (static_cast<size_t>(Count) + 63) / 64; }

// Set bits of a word by adding neighbouring bit counts in parallel: without a population-count
// instruction in the target's baseline, std::popcount becomes a library call per word.
int32_t bitsSet(uint64_t Word) {
  Word -= (Word >> 1) & 0x5555555555555555ull;
  Word = (Word & 0x3333333333333333ull) + ((Word >> 2) & 0x3333333333333333ull);
  Word = (Word + (Word >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<int32_t>((Word * 0x0101010101010101ull) >> 56);
}

}  // namespace

TBitsArray::TBitsArray(int32_t Count) {
  requireCount(Count);
  FCount = Count;
  FWords.assign(wordsFor(Count), 0);
}

void TBitsArray::SetCount(int32_t Count) {
  requireCount(Count);
  FWords.resize(wordsFor(Count), 0);
  FCount = Count;
  // Shrinking leaves old entries in the last word; growing must find them 0.
  ClearTail();
}

void TBitsArray::RaiseOutOfBounds(int32_t Index) const {
  throw Exception("TBitsArray - index " + std::to_string(Index) + " out of bounds (count " + std::to_string(FCount) +
                  ")");
}

void TBitsArray::ClearTail() {
  const int32_t used = FCount % 64;
  if (used != 0) FWords.back() &= (uint64_t{1} << used) - 1;
}

void TBitsArray::FillAll(bool Value) {
  std::fill(FWords.begin(), FWords.end(), Value ? ~uint64_t{0} : 0);
  ClearTail();
}

void TBitsArray::NotAll() {
  for (uint64_t& word : FWords) word = ~word;
  ClearTail();
}

void TBitsArray::RequireSameCount(const TBitsArray& Other) const {
  if (Other.FCount != FCount)
    throw Exception("TBitsArray - counts differ (" + std::to_string(FCount) + ", " + std::to_string(Other.FCount) +
                    ")");
}

void TBitsArray::And(const TBitsArray& Other) {
  RequireSameCount(Other);
  for (size_t i = 0; i < FWords.size(); ++i) FWords[i] &= Other.FWords[i];
}

void TBitsArray::Or(const TBitsArray& Other) {
  RequireSameCount(Other);
  for (size_t i = 0; i < FWords.size(); ++i) FWords[i] |= Other.FWords[i];
}

int32_t TBitsArray::CountSet() const {
  int32_t n = 0;
  for (uint64_t word : FWords) n += bitsSet(word);
  return n;
}

int32_t TBitsArray::NextSet(int32_t From) const {
  if (From >= FCount) return -1;
  const size_t start = static_cast<size_t>(std::max(From, 0));
  size_t w = start / 64;
  uint64_t word = FWords[w] & (~uint64_t{0} << (start % 64));
  while (word == 0) {
    if (++w >= FWords.size()) return -1;
    word = FWords[w];
  }
  return static_cast<int32_t>(w * 64 + static_cast<size_t>(std::countr_zero(word)));
}

}  // namespace tesvar::dataset
