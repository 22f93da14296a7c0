#include "storage/TEdbIndex.h"

#include "storage/KeyCollation_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
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
constexpr double kMsPerDay = 86400000.0;

int32_t compareTimes(double a, double b, double unitsPerDay) {
  const double d = (a - b) / unitsPerDay;
  if (std::fabs(d) < kTimeEpsilonDays) return 0;
  return d < 0 ? -1 : 1;
}

// Texts, decided on their heads when the collation allows it. Over the length both heads have,
// a difference decides the whole texts, and so does a text that ends there while the other goes
// on (a proper prefix is before).
int32_t compareTexts(const TKeyValue& A, const TKeyValue& B, bool CaseInsensitive) {
  if ((A.HeadLength < A.Length || B.HeadLength < B.Length) && ansiComparesBytewise()) {
    const uint32_t common = std::min(A.HeadLength, B.HeadLength);
    const int32_t r = compareAnsi(A.Head, common, B.Head, common, CaseInsensitive);
    if (r != 0) return r;
    if (A.Length == common || B.Length == common) return order(A.Length, B.Length);
  }
  return compareAnsi(A.Data, A.Length, B.Data, B.Length, CaseInsensitive);
}

}  // namespace

int32_t CompareKeyValues(TFieldType Type, bool CaseInsensitive, const TKeyValue& A, const TKeyValue& B) {
  if (A.Null || B.Null) return A.Null == B.Null ? 0 : (A.Null ? -1 : 1);
  switch (Type) {
    case ftString: return compareTexts(A, B, CaseInsensitive);
    case ftSmallint: return order(load<int16_t>(A.Data), load<int16_t>(B.Data));
    case ftInteger: return order(load<int32_t>(A.Data), load<int32_t>(B.Data));
    case ftLargeint: return order(load<int64_t>(A.Data), load<int64_t>(B.Data));
    case ftWord: return order(load<uint16_t>(A.Data), load<uint16_t>(B.Data));
    case ftBoolean: return order(A.Data[0] != 0, B.Data[0] != 0);
    case ftFloat:
    case ftCurrency: return order(load<double>(A.Data), load<double>(B.Data));
    case ftDate: return compareTimes(load<int32_t>(A.Data), load<int32_t>(B.Data), 1.0);
    case ftTime: return compareTimes(load<int32_t>(A.Data), load<int32_t>(B.Data), kMsPerDay);
    case ftDateTime: return compareTimes(load<double>(A.Data), load<double>(B.Data), kMsPerDay);
    case ftWideString: return compareWide(A.Data, A.Length, B.Data, B.Length, CaseInsensitive);
    default: return 0;  // ftBCD and anything else: no order
  }
}

TEdbIndex::TEdbIndex(TIndexHeader Header, TedKeyCache& Keys) : FHeader(std::move(Header)), FKeys(Keys) {
  const TKeyLayout& layout = FKeys.Layout();
  for (int32_t part = 0; part < FHeader.FieldCount(); ++part) {
    const int32_t f = FHeader.FieldNos[static_cast<size_t>(part)];
    TFieldType type = ftInteger;  // the record ID
    if (f >= 0) type = f < static_cast<int32_t>(layout.Types.size()) ? layout.Types[static_cast<size_t>(f)] : ftUnknown;
    FParts.push_back({f, FKeys.ColumnOf(f), type, FHeader.CaseInsensitive(part), FHeader.Ascending(part)});
  }
}

void TEdbIndex::Assign(const int32_t* Entries, int32_t Count) {
  FEntries.Assign(Entries, Count);
  FBuilt = true;
}

int32_t TEdbIndex::CompareKeys(const uint8_t* A, const uint8_t* B) const {
  return CompareKeys(A, B, static_cast<int32_t>(FParts.size()));
}

int32_t TEdbIndex::CompareKeys(const uint8_t* A, const uint8_t* B, int32_t PartCount) const {
  const TKeyLayout& layout = FKeys.Layout();
  const size_t parts = std::min(FParts.size(), static_cast<size_t>(std::max(PartCount, 0)));
  for (size_t i = 0; i < parts; ++i) {
    const TPart& part = FParts[i];
    const int32_t r = CompareKeyValues(part.Type, part.CaseInsensitive, RecordKeyValue(layout, part.FieldNo, A),
                                    RecordKeyValue(layout, part.FieldNo, B));
    if (r != 0) return part.Ascending ? r : -r;
  }
  return 0;
}

int32_t TEdbIndex::CompareSlots(int32_t A, int32_t B) const {
  for (const TPart& part : FParts) {
    const TKeyValue a = FKeys.Value(part.Column, A);
    const TKeyValue b = FKeys.Value(part.Column, B);
    const int32_t r = CompareKeyValues(part.Type, part.CaseInsensitive, a, b);
    if (r != 0) return part.Ascending ? r : -r;
  }
  return 0;
}

int32_t TEdbIndex::CompareToKey(int32_t RecNo, const TKeyValue* Key) const {
  for (size_t i = 0; i < FParts.size(); ++i) {
    const TPart& part = FParts[i];
    const int32_t r = CompareKeyValues(part.Type, part.CaseInsensitive, FKeys.Value(part.Column, RecNo), Key[i]);
    if (r != 0) return part.Ascending ? r : -r;
  }
  return 0;
}

void TEdbIndex::EqualRange(const uint8_t* Key, int32_t& First, int32_t& Last) const {
  // The key's values, taken once from the image as the cache would hold them.
  constexpr size_t kInlineParts = 8;
  TKeyValue inlineKey[kInlineParts];
  std::vector<TKeyValue> moreKey;
  TKeyValue* key = inlineKey;
  if (FParts.size() > kInlineParts) {
    moreKey.resize(FParts.size());
    key = moreKey.data();
  }
  const TKeyLayout& layout = FKeys.Layout();
  for (size_t i = 0; i < FParts.size(); ++i) key[i] = RecordKeyValue(layout, FParts[i].FieldNo, Key);
  First = FEntries.PartitionPoint([&](int32_t RecNo) { return CompareToKey(RecNo, key) < 0; },
                                  [&](int32_t RecNo) { PrefetchKey(RecNo); });
  Last = First;
  TedIndexEntries::TCursor cursor;
  if (First < FEntries.Count() && CompareToKey(FEntries.At(First, cursor), key) == 0)
    Last = GallopEnd(First, [&](int32_t Position) { return CompareToKey(FEntries.At(Position, cursor), key) == 0; });
}

template <class TSame>
int32_t TEdbIndex::GallopEnd(int32_t Position, TSame&& Same) const {
  const int32_t n = FEntries.Count();
  int32_t equal = Position;  // the last position known to hold the key
  int32_t step = 1;
  while (equal + step < n && Same(equal + step)) {
    equal += step;
    step *= 2;
  }
  int32_t low = equal + 1, high = std::min(equal + step, n);  // the run ends in low .. high
  while (low < high) {
    const int32_t mid = low + (high - low) / 2;
    if (Same(mid))
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

int32_t TEdbIndex::RunEnd(int32_t Position) const {
  TedIndexEntries::TCursor cursor;
  const int32_t slot = FEntries.At(Position, cursor);
  return GallopEnd(Position, [&](int32_t At) { return CompareSlots(FEntries.At(At, cursor), slot) == 0; });
}

bool TEdbIndex::HasIntegerKey() const {
  if (FParts.size() != 1 || !FParts[0].Ascending) return false;
  const TFieldType type = FParts[0].Type;
  return type == ftInteger || type == ftSmallint || type == ftWord || type == ftLargeint;
}

bool TEdbIndex::IntegerKey(int32_t RecNo, int64_t& Key) const {
  const TKeyValue v = FKeys.Value(FParts[0].Column, RecNo);
  if (v.Null) return false;
  switch (FParts[0].Type) {
    case ftSmallint: Key = load<int16_t>(v.Data); break;
    case ftWord: Key = load<uint16_t>(v.Data); break;
    case ftLargeint: Key = load<int64_t>(v.Data); break;
    default: Key = load<int32_t>(v.Data); break;
  }
  return true;
}

int32_t TEdbIndex::InsertPosition(int32_t Slot) const {
  const int32_t n = FEntries.Count();
  if (n == 0) return 0;
  // Appending in key order (new record IDs) is the common case: one comparison.
  if (CompareSlots(Slot, FEntries.Last()) > 0) return n;
  // Bisection over the positions, as over a flat array; consecutive probes soon fall into one
  // block, which the cursor keeps. A probe with an equal key ends it: a long run of equal keys
  // is met within a few probes.
  TedIndexEntries::TCursor cursor;
  // The first key part decides most comparisons: while one probe is compared, the first key
  // values of both probes that can follow it are fetched, when the cursor's block holds them.
  const int32_t firstColumn = FParts.empty() ? -1 : FParts.front().Column;
  auto prefetchProbe = [&](int32_t Low, int32_t High) {
    if (Low > High || firstColumn < 0) return;
    const int32_t offset = Low + (High - Low) / 2 - cursor.Start;
    if (offset >= 0 && offset < cursor.Count) FKeys.Prefetch(firstColumn, cursor.Items[offset]);
  };
  int32_t low = 0;
  int32_t high = n - 1;
  while (low <= high) {
    const int32_t mid = low + (high - low) / 2;
    const int32_t entry = FEntries.At(mid, cursor);
    prefetchProbe(low, mid - 1);
    prefetchProbe(mid + 1, high);
    const int32_t r = CompareSlots(Slot, entry);
    if (r == 0) return mid;
    if (r < 0)
      high = mid - 1;
    else
      low = mid + 1;
  }
  return low;
}

void TEdbIndex::Build(int32_t RecordCount) {
  if (FBuilt) return;
  std::vector<int32_t> items(static_cast<size_t>(RecordCount));
  std::iota(items.begin(), items.end(), 0);
  if (RecordCount > 1) {
    FKeys.FillAll();
    std::vector<std::pair<int32_t, int32_t>> parts{{0, RecordCount - 1}};
    while (!parts.empty()) {
      const auto [low, high] = parts.back();
      parts.pop_back();
      const int32_t pivot = items[static_cast<size_t>(low + (high - low) / 2)];
      int32_t i = low;
      int32_t j = high;
      while (i <= j) {
        while (CompareSlots(items[static_cast<size_t>(i)], pivot) < 0) ++i;
        while (CompareSlots(items[static_cast<size_t>(j)], pivot) > 0) --j;
        if (i <= j) {
          std::swap(items[static_cast<size_t>(i)], items[static_cast<size_t>(j)]);
          ++i;
          --j;
        }
      }
      // The larger part waits on the stack, so that it stays O(log n) deep.
      std::pair<int32_t, int32_t> left{low, j};
      std::pair<int32_t, int32_t> right{i, high};
      if (j - low < high - i) std::swap(left, right);
      if (left.first < left.second) parts.push_back(left);
      if (right.first < right.second) parts.push_back(right);
    }
  }
  FEntries.Assign(items.data(), RecordCount);
  FBuilt = true;
}

int32_t TEdbIndex::RecordInserted(int32_t RecNo) {
  const int32_t pos = InsertPosition(RecNo);
  FEntries.Insert(pos, RecNo);
  return pos;
}

int32_t TEdbIndex::RecordUpdated(int32_t RecNo, bool Position) {
  // Most updates change few fields: most indexes keep their key, and their entry.
  if (CompareSlots(RecNo, TedKeyCache::kProbe) == 0) return Position ? FindRecord(RecNo) : -1;
  const int32_t oldPos = FindRecord(RecNo);
  const int32_t newPos = InsertPosition(TedKeyCache::kProbe);
  if (oldPos >= 0 && newPos != oldPos && newPos != oldPos + 1) {
    FEntries.Delete(oldPos);
    FEntries.Insert(newPos > oldPos ? newPos - 1 : newPos, RecNo);
  }
  return newPos;
}

int32_t TEdbIndex::RecordDeleted(int32_t RecNo, int32_t LastRecNo) {
  const int32_t pos = FindRecord(RecNo);
  if (pos < 0) return -2;
  if (RecNo == LastRecNo) {
    FEntries.Delete(pos);
    return 0;
  }
  const int32_t last = FindRecord(LastRecNo);
  if (last < 0) return -3;
  FEntries.Delete(pos);
  FEntries.Set(last > pos ? last - 1 : last, RecNo);
  return last;
}

}  // namespace tesvar::storage
