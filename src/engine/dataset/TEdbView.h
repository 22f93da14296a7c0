#pragma once
// The view of a dataset: the physical record numbers of the records it shows, in the order of its
// current index, addressed by position 0 .. Count - 1.
//
// A view that shows every record of the table in the index's order needs no copy: TEdbIndexView
// reads the index's entries, which the table manager keeps in step with every change, so making
// it current after a change costs nothing and a position costs what the index's counted blocks
// cost (O(log n)). A view that drops records (filters, master/detail, distinct values) keeps its
// own array of the numbers it shows behind the same interface.

#include "dataset/TBitsArray.h"
#include "storage/TEdbDataManager.h"
#include "storage/TedIndexEntries.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace tesvar::dataset {

// Visit(RecNo) for the records RecNos (distinct records of Index's table) in the order of
// Position(RecNo), until Visit returns false. Position gives a record's place in a sequence in
// the order of Index's keys (Index itself, or a view of it), or -1 for a record the sequence does
// not hold (those come first). With integer keys (TEdbIndex::HasIntegerKey) the records go by
// their keys from the key cache, and only records sharing a key ask Position; otherwise every
// record asks it. (A position costs a block search in counted blocks, a cached key much less.)
template <class TPosition, class TVisit>
void VisitInPositionOrder(const storage::TEdbIndex& Index, const std::vector<int32_t>& RecNos, TPosition&& Position,
                          TVisit&& Visit) {
  std::vector<std::pair<int32_t, int32_t>> ordered;  // (position, record number)
  const auto visitOrdered = [&] {
    std::sort(ordered.begin(), ordered.end());
    for (const auto& entry : ordered)
      if (!Visit(entry.second)) return false;
    return true;
  };
  if (!Index.HasIntegerKey()) {
    for (int32_t recNo : RecNos) ordered.emplace_back(Position(recNo), recNo);
    visitOrdered();
    return;
  }
  struct TKeyed {
    bool HasValue;  // NULL comes before every value
    int64_t Key;
    int32_t RecNo;
    bool SameKey(const TKeyed& Other) const { return HasValue == Other.HasValue && Key == Other.Key; }
    bool operator<(const TKeyed& Other) const {
      if (HasValue != Other.HasValue) return !HasValue;
      return Key != Other.Key ? Key < Other.Key : RecNo < Other.RecNo;
    }
  };
  for (int32_t recNo : RecNos) Index.PrefetchKey(recNo);
  std::vector<TKeyed> keyed;
  keyed.reserve(RecNos.size());
  for (int32_t recNo : RecNos) {
    TKeyed k{false, 0, recNo};
    k.HasValue = Index.IntegerKey(recNo, k.Key);
    keyed.push_back(k);
  }
  std::sort(keyed.begin(), keyed.end());
  for (size_t start = 0; start < keyed.size();) {
    size_t end = start + 1;
    while (end < keyed.size() && keyed[end].SameKey(keyed[start])) ++end;
    if (end - start == 1) {
      if (!Visit(keyed[start].RecNo)) return;
    } else {
      ordered.clear();
      for (size_t i = start; i < end; ++i) ordered.emplace_back(Position(keyed[i].RecNo), keyed[i].RecNo);
      if (!visitOrdered()) return;
    }
    start = end;
  }
}

class TEdbView {
public:
  virtual ~TEdbView() = default;

  virtual int32_t Count() const = 0;
  // The physical record number at Position (0 .. Count - 1).
  virtual int32_t At(int32_t Position) const = 0;
  // The position of physical record PhysRecNo, or -1 when the view does not show it.
  virtual int32_t PositionOf(int32_t PhysRecNo) const = 0;
  // Every entry in view order into Dest (Count items).
  virtual void CopyTo(int32_t* Dest) const = 0;

  // Whether the view shows every change of the table by itself (it reads the index).
  virtual bool FollowsTable() const { return false; }
  // Patches of a view that keeps its own array, after its dataset changed the table: entry
  // PhysRecNo goes in at Position (0 .. Count), the entry at Position goes, the entry at Position
  // becomes PhysRecNo. True when the view did it; false (the default) when the dataset must make
  // the view again from its conditions.
  virtual bool Insert(int32_t Position, int32_t PhysRecNo) {
    (void)Position;
    (void)PhysRecNo;
    return false;
  }
  virtual bool Remove(int32_t Position) {
    (void)Position;
    return false;
  }
  virtual bool Replace(int32_t Position, int32_t PhysRecNo) {
    (void)Position;
    (void)PhysRecNo;
    return false;
  }
};

// Every record of the table in the order of index IndexNo of DataManager, which must outlive the
// view and must be built whenever the view is read.
class TEdbIndexView final : public TEdbView {
public:
  TEdbIndexView(storage::TEdbDataManager& DataManager, int32_t IndexNo)
      : FDataManager(DataManager), FIndexNo(IndexNo) {}

  int32_t Count() const override { return FDataManager.Index(FIndexNo).Count(); }
  int32_t At(int32_t Position) const override { return FDataManager.Index(FIndexNo).At(Position); }
  int32_t PositionOf(int32_t PhysRecNo) const override { return FDataManager.Index(FIndexNo).FindRecord(PhysRecNo); }
  void CopyTo(int32_t* Dest) const override { FDataManager.Index(FIndexNo).CopyTo(Dest); }
  bool FollowsTable() const override { return true; }

private:
  storage::TEdbDataManager& FDataManager;
  int32_t FIndexNo;
};

// The records of an index that a bit set over physical record numbers marks, in the index's
// order. The numbers are held in counted blocks (TedIndexEntries), so that At, PositionOf,
// Insert and Remove cost O(log n) plus one block move: a change of one record patches the view
// in place instead of rebuilding it.
class TEdbFilteredView final : public TEdbView {
public:
  // One pass over Index (built): the entries whose bit in Visible is set. Visible has an entry
  // for every record number of the index.
  TEdbFilteredView(const storage::TEdbIndex& Index, const TBitsArray& Visible);

  int32_t Count() const override { return FEntries.Count(); }
  int32_t At(int32_t Position) const override { return FEntries.At(Position); }
  int32_t PositionOf(int32_t PhysRecNo) const override { return FEntries.PositionOf(PhysRecNo); }
  void CopyTo(int32_t* Dest) const override { FEntries.CopyTo(Dest); }

  // PhysRecNo (not shown yet) at Position (0 .. Count); later entries move up one place.
  bool Insert(int32_t Position, int32_t PhysRecNo) override {
    FEntries.Insert(Position, PhysRecNo);
    return true;
  }
  // Drops the entry at Position (0 .. Count - 1); later entries move down one place.
  bool Remove(int32_t Position) override {
    FEntries.Delete(Position);
    return true;
  }
  // The entry at Position (0 .. Count - 1) := PhysRecNo, which the view does not show.
  bool Replace(int32_t Position, int32_t PhysRecNo) override {
    FEntries.Set(Position, PhysRecNo);
    return true;
  }

private:
  storage::TedIndexEntries FEntries;
};

}  // namespace tesvar::dataset
