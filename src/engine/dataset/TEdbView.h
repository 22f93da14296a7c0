#pragma once
// The view of a dataset: the physical record numbers of the records it shows, in the order of its
// current index, addressed by position 0 .. Count - 1.
//
// A view that shows every record of the table in the index's order needs no copy: TEdbIndexView
// reads the index's entries, which the table manager keeps in step with every change, so making
// it current after a change costs nothing and a position costs what the index's counted blocks
// cost (O(log n)). A view that drops records (filters, master/detail, distinct values) keeps its
// own array of the numbers it shows behind the same interface.

#include "storage/TEdbDataManager.h"

#include <cstdint>

namespace tesvar::dataset {

class TEdbView {
public:
  virtual ~TEdbView() = default;

  virtual int32_t Count() const = 0;
  // The physical record number at Position (0 .. Count - 1).
  virtual int32_t At(int32_t Position) const = 0;
  // The position of physical record PhysRecNo, or -1 when the view does not show it.
  virtual int32_t PositionOf(int32_t PhysRecNo) const = 0;

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
  bool FollowsTable() const override { return true; }

private:
  storage::TEdbDataManager& FDataManager;
  int32_t FIndexNo;
};

}  // namespace tesvar::dataset
