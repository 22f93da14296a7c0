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

}  // namespace tesvar::storage
