#pragma once
// The in-memory indexes of a table: for each index its header (as stored in T.idx) and the
// record numbers of the table in key order.
//
// TEdbIndex is the element of the manager's index list; TEdbDataManager keeps it in step with
// every insert, update and delete through RecordInserted / RecordUpdated / RecordDeleted. Keys
// are compared through the table's key cache (TedKeyCache); the entries are a TedIndexEntries,
// which behaves as one array of record numbers: every position an index reports is the position
// that array would have.
//
// Where equal keys go: the insertion position of a key is found by bisection over positions
// 0 .. Count - 1 (probe (low + high) div 2; an equal key probed gives that position, the new
// entry going before it; otherwise the position between the last lower and the first higher
// entry), run over the entries' positions exactly as over a flat array. Entries with equal keys
// therefore keep the order that the flat array would give them; BuildIndex sorts with the
// quicksort below, so rebuilt indexes match too. A key above the last entry goes last after one
// comparison (where a NaN float, which compares equal to everything, could differ).

#include "storage/TedIndexEntries.h"
#include "storage/TedKeyCache.h"
#include "toolkit/FieldType.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tesvar::storage {

// The header of one index (T.idx layout: TableFormat.h).
struct TIndexHeader {
  std::string Name;
  std::vector<int32_t> FieldNos;      // -1 = the record-ID field
  std::vector<uint8_t> AscendingBits;  // (FieldCount + 7) div 8 bytes; bit set = ascending
  std::vector<uint8_t> CaseInsBits;    // bit set = case-insensitive
  bool AllCaseInsensitive = false;
  bool AllDescending = false;
  uint8_t Options = 0;

  int32_t FieldCount() const { return static_cast<int32_t>(FieldNos.size()); }
  bool Ascending(int32_t Part) const { return !AllDescending && (AscendingBits[static_cast<size_t>(Part / 8)] >> (Part % 8)) & 1; }
  bool CaseInsensitive(int32_t Part) const {
    return AllCaseInsensitive || ((CaseInsBits[static_cast<size_t>(Part / 8)] >> (Part % 8)) & 1);
  }
  bool Temporary() const { return !Name.empty() && Name[0] == '$'; }
};

// One ascending key part of type Type: A's value against B's, < 0, 0 or > 0, NULL below every
// value; texts by the engine's collation (ANSI) or the user locale's collator (wide), case-
// insensitively when asked; dates and times equal within 1e-8 of a day; ftBCD and types that
// are no key types compare equal. The comparison every index order is made of.
int32_t CompareKeyValues(toolkit::TFieldType Type, bool CaseInsensitive, const TKeyValue& A, const TKeyValue& B);

class TEdbIndex {
public:
  // Keys: the table's key cache, which must outlive the index.
  TEdbIndex(TIndexHeader Header, TedKeyCache& Keys);

  const TIndexHeader& Header() const { return FHeader; }
  // False: the entries are stale and must be sorted (Build) before use.
  bool Built() const { return FBuilt; }
  void SetBuilt(bool Value) { FBuilt = Value; }
  int32_t Count() const { return FEntries.Count(); }
  // The record number at Position (0 .. Count - 1).
  int32_t At(int32_t Position) const { return FEntries.At(Position); }
  // Every entry in order (Count items), as stored in T.idx.
  void CopyTo(int32_t* Dest) const { FEntries.CopyTo(Dest); }
  // The entries at positions From .. From + Count - 1 (within 0 .. Count() - 1) into Dest: one
  // search for the first block, then block by block.
  void CopyRange(int32_t From, int32_t Count, int32_t* Dest) const {
    TedIndexEntries::TCursor cursor;
    for (int32_t i = 0; i < Count; ++i) Dest[i] = FEntries.At(From + i, cursor);
  }
  // Takes Count entries read from T.idx (distinct record numbers); the index counts as built.
  void Assign(const int32_t* Entries, int32_t Count);

  // Key comparison of two records' bytes: < 0, 0, > 0 as A's key is below, equal to or above B's.
  int32_t CompareKeys(const uint8_t* A, const uint8_t* B) const;
  // The same over the first PartCount key fields only (all of them when PartCount is larger).
  int32_t CompareKeys(const uint8_t* A, const uint8_t* B, int32_t PartCount) const;
  // The same for two slots of the key cache (record numbers or TedKeyCache::kProbe).
  int32_t CompareSlots(int32_t A, int32_t B) const;
  // The position at which the key of Slot would be inserted: that of a bisection over the flat
  // array, middle first and halving, which stops at the first probe with an equal key (the new
  // entry goes before it), else lands after the last entry below the key.
  int32_t InsertPosition(int32_t Slot) const;
  // The first position whose entry's value of key part 0 (from the key cache) makes Below false,
  // or Count(); Below(TKeyValue) must hold for a prefix of the positions and not after it. The
  // position a bisection over a flat array finds, reading no record that the key cache holds.
  template <class TBelow>
  int32_t PartitionPoint(TBelow&& Below) const {
    if (FParts.empty()) return FEntries.Count();
    const int32_t column = FParts.front().Column;
    return FEntries.PartitionPoint([&](int32_t RecNo) { return Below(FKeys.Value(column, RecNo)); },
                                   [&](int32_t RecNo) { FKeys.Prefetch(column, RecNo); });
  }
  // The positions First .. Last - 1 of the entries whose key equals the key of the record image
  // Key: the first by bisection over the key cache, the end of the run by galloping from it (a
  // run of R equal keys costs O(log R) comparisons more). The index must be built.
  void EqualRange(const uint8_t* Key, int32_t& First, int32_t& Last) const;
  // The first position after Position (0 .. Count - 1) whose key differs from the key there, or
  // Count: galloping, then bisection, so that a run of R equal keys costs O(log R) comparisons.
  int32_t RunEnd(int32_t Position) const;
  // A hint that RecNo's key is about to be compared: its key cache slot of key part 0 is brought
  // towards the processor. Changes nothing.
  void PrefetchKey(int32_t RecNo) const {
    if (!FParts.empty()) FKeys.Prefetch(FParts.front().Column, RecNo);
  }
  // The value of key part 0 for record RecNo when the key cache holds it (no record is read);
  // false when it does not, or the index has no key parts.
  bool CachedFirstPartValue(int32_t RecNo, TKeyValue& Value) const {
    return !FParts.empty() && FKeys.Peek(FParts.front().Column, RecNo, Value);
  }
  // Visit(RecNo) for the entries at positions From .. To - 1 (within 0 .. Count()) in key order,
  // until Visit returns false; false then, else true. Nothing may change meanwhile.
  template <class TVisit>
  bool ForRange(int32_t From, int32_t To, TVisit&& Visit) const {
    return FEntries.ForRange(From, To, Visit);
  }
  // Visit(RecNo) for every entry in key order; nothing may change meanwhile.
  template <class TVisit>
  void ForEach(TVisit&& Visit) const {
    FEntries.ForEach(Visit);
  }
  // Whether the index has a single ascending key part of an integer type (the record-ID index
  // among them): its order is then that of IntegerKey's values.
  bool HasIntegerKey() const;
  // RecNo's key as a number (HasIntegerKey), from the key cache; false for a NULL key, which
  // comes before every number.
  bool IntegerKey(int32_t RecNo, int64_t& Key) const;
  // Position of RecNo, or -1.
  int32_t FindRecord(int32_t RecNo) const { return FEntries.PositionOf(RecNo); }
  // Hints that FindRecord(RecNo) follows (see TedIndexEntries::PrefetchLocation).
  void PrefetchLocation(int32_t RecNo) const { FEntries.PrefetchLocation(RecNo); }
  void PrefetchBlockOf(int32_t RecNo) const { FEntries.PrefetchBlockOf(RecNo); }
  // Unless built: the entries 0 .. RecordCount - 1 sorted into key order by quicksort (pivot
  // the entry at (low + high) div 2; from the left while below the pivot, from the right while
  // above it, swapping and stepping while the two have not crossed; then both parts). Built
  // afterwards; a failure leaves it not built.
  void Build(int32_t RecordCount);

  // Maintenance; the results are what the manager's callers see.
  // RecNo (its key in the cache) goes in at its insertion position, which is returned.
  int32_t RecordInserted(int32_t RecNo);
  // RecNo's new key is the cache's probe, its old key still under RecNo: the insertion position
  // of the new key is returned; unless it is the old position or the one after, the entry moves
  // there (landing before the entry that was there). When the new key equals the old one the
  // entry stays where it is (equal keys have no order among themselves, so the index stays
  // sorted) and, when Position, its position is returned, else -1 without looking for it.
  int32_t RecordUpdated(int32_t RecNo, bool Position);
  // RecNo is deleted and record LastRecNo takes its number. Returns the position LastRecNo had
  // (0 when RecNo is LastRecNo); -2 / -3 when RecNo / LastRecNo is not found.
  int32_t RecordDeleted(int32_t RecNo, int32_t LastRecNo);

  size_t MemoryBytes() const { return FEntries.MemoryBytes(); }

private:
  struct TPart {
    int32_t FieldNo;
    int32_t Column;
    toolkit::TFieldType Type;
    bool CaseInsensitive;
    bool Ascending;
  };

  // The first position after Position whose entry makes Same false, where Same holds at
  // Position and for a run of positions from it.
  template <class TSame>
  int32_t GallopEnd(int32_t Position, TSame&& Same) const;
  // The cached key of RecNo against Key (one value per key part): < 0, 0, > 0.
  int32_t CompareToKey(int32_t RecNo, const TKeyValue* Key) const;

  TIndexHeader FHeader;
  TedKeyCache& FKeys;
  std::vector<TPart> FParts;
  TedIndexEntries FEntries;
  bool FBuilt = false;
};

}  // namespace tesvar::storage
