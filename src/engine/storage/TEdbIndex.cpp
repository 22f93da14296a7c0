#include "storage/TEdbIndex.h"

#include "storage/TableFormat.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace tesvar::storage {

using namespace toolkit;

namespace {

template <class T>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
int32_t order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// Days differing by less than this are the same point in time.
constexpr double kTimeEpsilonDays = 1e-8;

int32_t compareTimes(double a, double b, double unitsPerDay) {
  const double d = (a - b) / unitsPerDay;
  if (std::fabs(d) < kTimeEpsilonDays) return 0;
  return d < 0 ? -1 : 1;
}

// Byte order of zero-terminated texts within Size bytes; Fold: ASCII letters without case.
int32_t compareText(const uint8_t* a, const uint8_t* b, int32_t size, bool fold) {
  for (int32_t i = 0; i < size; ++i) {
    uint8_t ca = a[i];
    uint8_t cb = b[i];
    if (fold) {
      if (ca >= 'a' && ca <= 'z') ca = static_cast<uint8_t>(ca - 32);
      if (cb >= 'a' && cb <= 'z') cb = static_cast<uint8_t>(cb - 32);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

int32_t compareWide(const uint8_t* a, const uint8_t* b, int32_t size) {
  for (int32_t i = 0; i + 1 < size; i += 2) {
    const uint16_t ca = load<uint16_t>(a + i);
    const uint16_t cb = load<uint16_t>(b + i);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

}  // namespace

TEdbIndex::TEdbIndex(TIndexHeader Header, const TKeyLayout& Layout)
    : FHeader(std::move(Header)), FLayout(Layout) {}

void TEdbIndex::Assign(const int32_t* Entries, int32_t Count) {
  FEntries.SetCount(Count);
  if (Count > 0) std::memcpy(FEntries.Data(), Entries, static_cast<size_t>(Count) * sizeof(int32_t));
  FBuilt = true;
}

int32_t TEdbIndex::ComparePart(int32_t Part, const uint8_t* A, const uint8_t* B) const {
  const int32_t f = FHeader.FieldNos[static_cast<size_t>(Part)];
  if (f < 0) return order(GetInt32(A + FLayout.IdOffset), GetInt32(B + FLayout.IdOffset));
  if (f >= static_cast<int32_t>(FLayout.Types.size())) return 0;
  const auto byte = static_cast<size_t>(FLayout.NullOffset + f / 8);
  const bool nullA = (A[byte] >> (f % 8)) & 1;
  const bool nullB = (B[byte] >> (f % 8)) & 1;
  int32_t r;
  if (nullA || nullB) {
    r = nullA == nullB ? 0 : (nullA ? -1 : 1);
  } else {
    const uint8_t* a = A + FLayout.Offsets[static_cast<size_t>(f)];
    const uint8_t* b = B + FLayout.Offsets[static_cast<size_t>(f)];
    const int32_t size = FLayout.Sizes[static_cast<size_t>(f)];
    switch (FLayout.Types[static_cast<size_t>(f)]) {
      case ftString: r = compareText(a, b, size, FHeader.CaseInsensitive(Part)); break;
      case ftSmallint: r = order(load<int16_t>(a), load<int16_t>(b)); break;
      case ftInteger: r = order(load<int32_t>(a), load<int32_t>(b)); break;
      case ftLargeint: r = order(load<int64_t>(a), load<int64_t>(b)); break;
      case ftWord: r = order(load<uint16_t>(a), load<uint16_t>(b)); break;
      case ftBoolean: r = order(a[0] != 0, b[0] != 0); break;
      case ftFloat:
      case ftCurrency: r = order(load<double>(a), load<double>(b)); break;
      case ftDate: r = compareTimes(load<int32_t>(a), load<int32_t>(b), 1.0); break;
      case ftTime: r = compareTimes(load<int32_t>(a), load<int32_t>(b), 86400000.0); break;
      case ftDateTime: r = compareTimes(load<double>(a), load<double>(b), 86400000.0); break;
      case ftWideString: r = compareWide(a, b, size); break;
      default: r = 0; break;
    }
  }
  return FHeader.Ascending(Part) ? r : -r;
}

int32_t TEdbIndex::CompareKeys(const uint8_t* A, const uint8_t* B) const {
  for (int32_t part = 0; part < FHeader.FieldCount(); ++part)
    if (const int32_t r = ComparePart(part, A, B)) return r;
  return 0;
}

int32_t TEdbIndex::InsertPosition(const uint8_t* Record, IRecordSource& Records) const {
  int32_t low = 0;
  int32_t high = FEntries.Count();
  // Appending in key order (new record IDs) is the common case: one comparison.
  if (high > 0 && CompareKeys(Record, Records.IndexRecord(FEntries[high - 1])) > 0) return high;
  while (low < high) {
    const int32_t mid = low + (high - low) / 2;
    const int32_t r = CompareKeys(Record, Records.IndexRecord(FEntries[mid]));
    if (r == 0) return mid;
    if (r < 0)
      high = mid;
    else
      low = mid + 1;
  }
  return low;
}

int32_t TEdbIndex::FindRecord(int32_t RecNo, const uint8_t* Record, IRecordSource& Records) const {
  const int32_t n = FEntries.Count();
  if (n == 0) return -1;
  const int32_t pos = InsertPosition(Record, Records);
  if (pos < n && FEntries[pos] == RecNo) return pos;
  for (int32_t d = 1; pos - d >= 0 || pos + d < n; ++d) {
    if (pos - d >= 0 && FEntries[pos - d] == RecNo) return pos - d;
    if (pos + d < n && FEntries[pos + d] == RecNo) return pos + d;
  }
  return -1;
}

void TEdbIndex::Build(int32_t RecordCount, IRecordSource& Records) {
  if (FBuilt) return;
  FBuilt = true;
  FEntries.SetCount(RecordCount);
  for (int32_t i = 0; i < RecordCount; ++i) FEntries[i] = i;
  // Quicksort over the records; the pivot's bytes are copied since the source's pointers are
  // valid only until its next call.
  std::vector<uint8_t> pivot;
  std::vector<std::pair<int32_t, int32_t>> stack;
  if (RecordCount > 1) stack.emplace_back(0, RecordCount - 1);
  while (!stack.empty()) {
    auto [low, high] = stack.back();
    stack.pop_back();
    const uint8_t* p = Records.IndexRecord(FEntries[low + (high - low) / 2]);
    pivot.assign(p, p + FLayout.NullOffset + static_cast<int32_t>((FLayout.Types.size() + 7) / 8));
    int32_t i = low;
    int32_t j = high;
    while (i <= j) {
      while (CompareKeys(Records.IndexRecord(FEntries[i]), pivot.data()) < 0) ++i;
      while (CompareKeys(Records.IndexRecord(FEntries[j]), pivot.data()) > 0) --j;
      if (i <= j) {
        std::swap(FEntries[i], FEntries[j]);
        ++i;
        --j;
      }
    }
    if (low < j) stack.emplace_back(low, j);
    if (i < high) stack.emplace_back(i, high);
  }
}

int32_t TEdbIndex::RecordInserted(int32_t RecNo, const uint8_t* Record, IRecordSource& Records) {
  const int32_t pos = InsertPosition(Record, Records);
  FEntries.Insert(pos, RecNo);
  return pos;
}

int32_t TEdbIndex::RecordUpdated(int32_t RecNo, const uint8_t* OldRecord, const uint8_t* NewRecord,
                                 IRecordSource& Records) {
  const int32_t oldPos = FindRecord(RecNo, OldRecord, Records);
  const int32_t newPos = InsertPosition(NewRecord, Records);
  if (oldPos >= 0 && newPos != oldPos && newPos != oldPos + 1) FEntries.Move(oldPos, newPos);
  return newPos;
}

int32_t TEdbIndex::RecordDeleted(int32_t RecNo, const uint8_t* Record, int32_t LastRecNo,
                                 const uint8_t* LastRecord, IRecordSource& Records) {
  const int32_t pos = FindRecord(RecNo, Record, Records);
  if (pos < 0) return -2;
  int32_t result = 0;
  if (RecNo != LastRecNo) {
    const int32_t last = FindRecord(LastRecNo, LastRecord, Records);
    if (last < 0) return -3;
    FEntries[last] = RecNo;
    result = last;
  }
  FEntries.Delete(pos);
  return result;
}

}  // namespace tesvar::storage
