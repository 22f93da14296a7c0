#include "storage/TedIntArray.h"

#include "platform/Exception.h"

#include <algorithm>
#include <cstring>

namespace tesvar::storage {

TedIntArray::TedIntArray(int32_t GrowStep, int32_t ShrinkStep, int32_t StepCap)
    : FGrowStep(GrowStep), FShrinkStep(ShrinkStep), FStepCap(StepCap) {}

void TedIntArray::Grow(int32_t Needed) {
  const int32_t capacity = Capacity();
  if (Needed <= capacity) return;
  FGrowStep = std::min(FGrowStep * 2, FStepCap);
  const int64_t step = std::max<int64_t>(FGrowStep, capacity / 2);
  FItems.resize(static_cast<size_t>(std::max<int64_t>(Needed, capacity + step)));
}

void TedIntArray::SetCount(int32_t Value) {
  if (Value <= 0) {
    FItems = {};
    FCount = 0;
    return;
  }
  if (Value > Capacity()) {
    Grow(Value);
  } else if (Capacity() - Value > FShrinkStep) {
    FShrinkStep = std::min(FShrinkStep * 2, FStepCap);
    FItems.resize(static_cast<size_t>(Value));
    FItems.shrink_to_fit();
  }
  if (Value > FCount) std::fill(FItems.begin() + FCount, FItems.begin() + Value, 0);
  FCount = Value;
}

void TedIntArray::Append(int32_t Value) {
  Grow(FCount + 1);
  FItems[static_cast<size_t>(FCount++)] = Value;
}

void TedIntArray::Insert(int32_t Index, int32_t Value) {
  Grow(FCount + 1);
  int32_t* p = FItems.data();
  std::memmove(p + Index + 1, p + Index, static_cast<size_t>(FCount - Index) * sizeof(int32_t));
  p[Index] = Value;
  ++FCount;
}

void TedIntArray::Delete(int32_t Index) {
  int32_t* p = FItems.data();
  std::memmove(p + Index, p + Index + 1, static_cast<size_t>(FCount - Index - 1) * sizeof(int32_t));
  SetCount(FCount - 1);
}

void TedIntArray::Move(int32_t From, int32_t To) {
  if (To == From) return;
  int32_t* p = FItems.data();
  if (To == From + 1 || To == From - 1) {
    if (To < FCount) std::swap(p[From], p[To]);
    return;
  }
  const int32_t item = p[From];
  if (To > From) {
    std::memmove(p + From, p + From + 1, static_cast<size_t>(To - 1 - From) * sizeof(int32_t));
    p[To - 1] = item;
  } else {
    std::memmove(p + To + 1, p + To, static_cast<size_t>(From - To) * sizeof(int32_t));
    p[To] = item;
  }
}

void TedIntArray::CopyTo(int32_t* Dest, int32_t Count, int32_t From) const {
  std::memcpy(Dest, FItems.data() + From, static_cast<size_t>(Count) * sizeof(int32_t));
}

TedSortedIntArray::TedSortedIntArray() = default;

int32_t TedSortedIntArray::FindPosition(int32_t Key) const {
  const int32_t* begin = FKeys.Data();
  return static_cast<int32_t>(std::lower_bound(begin, begin + FKeys.Count(), Key) - begin);
}

int32_t TedSortedIntArray::IndexOf(int32_t Key) const {
  const int32_t pos = FindPosition(Key);
  return pos < Count() && FKeys[pos] == Key ? pos : -1;
}

int32_t TedSortedIntArray::ValueOf(int32_t Key) const {
  const int32_t pos = IndexOf(Key);
  return pos < 0 ? -1 : FValues[pos];
}

void TedSortedIntArray::Add(int32_t Key, int32_t Value) {
  const int32_t pos = FindPosition(Key);
  if (pos < Count() && FKeys[pos] == Key) {
    FValues[pos] = Value;
    return;
  }
  FKeys.Insert(pos, Key);
  FValues.Insert(pos, Value);
}

void TedSortedIntArray::DeleteAt(int32_t Index) {
  FKeys.Delete(Index);
  FValues.Delete(Index);
}

void TedSortedIntArray::Delete(int32_t Key) {
  if (Count() == 0) throw Exception("TedSortedIntArray.Delete - no elements in array!");
  const int32_t pos = IndexOf(Key);
  if (pos < 0)
    throw Exception("TedSortedIntArray.Delete - element not found, key = " + std::to_string(Key) +
                    ", itemCount = " + std::to_string(Count()) + "!");
  DeleteAt(pos);
}

void TedSortedIntArray::Clear() {
  FKeys.SetCount(0);
  FValues.SetCount(0);
}

size_t TedIntHashMap::Probe(int32_t Key) const {
  const size_t mask = FSlots.size() - 1;
  size_t i = Home(Key);
  while (FSlots[i].Key != kNoKey && FSlots[i].Key != Key) i = (i + 1) & mask;
  return i;
}

int32_t TedIntHashMap::ValueOf(int32_t Key) const {
  if (FCount == 0) return -1;
  const Slot& slot = FSlots[Probe(Key)];
  return slot.Key == Key ? slot.Value : -1;
}

void TedIntHashMap::Set(int32_t Key, int32_t Value) {
  if (static_cast<size_t>(FCount + 1) * 2 > FSlots.size()) Grow();
  Slot& slot = FSlots[Probe(Key)];
  if (slot.Key != Key) {
    slot.Key = Key;
    ++FCount;
  }
  slot.Value = Value;
}

void TedIntHashMap::Remove(int32_t Key) {
  if (FCount == 0) return;
  const size_t mask = FSlots.size() - 1;
  size_t hole = Probe(Key);
  if (FSlots[hole].Key != Key) return;
  // Backward shift: later keys of the cluster whose probe passes the hole move into it, so that
  // every probe still reaches its key before an empty slot.
  for (size_t next = (hole + 1) & mask; FSlots[next].Key != kNoKey; next = (next + 1) & mask) {
    const size_t home = Home(FSlots[next].Key);
    const bool passesHole = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
    if (passesHole) {
      FSlots[hole] = FSlots[next];
      hole = next;
    }
  }
  FSlots[hole] = Slot{};
  --FCount;
}

void TedIntHashMap::Clear() {
  if (FCount == 0) return;
  std::fill(FSlots.begin(), FSlots.end(), Slot{});
  FCount = 0;
}

void TedIntHashMap::Grow() {
  std::vector<Slot> old = std::move(FSlots);
  const size_t size = std::max<size_t>(old.size() * 2, 64);
  FSlots.assign(size, Slot{});
  FShift = 32;
  for (size_t s = size; s > 1; s >>= 1) --FShift;
  FCount = 0;
  for (const Slot& slot : old)
    if (slot.Key != kNoKey) Set(slot.Key, slot.Value);
}

}  // namespace tesvar::storage
