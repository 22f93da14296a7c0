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

private:
  storage::TEdbDataManager& FDataManager;
  int32_t FIndexNo;
};

}  // namespace tesvar::dataset
