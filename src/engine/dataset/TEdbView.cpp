#include "dataset/TEdbView.h"

#include <algorithm>
#include <vector>

namespace tesvar::dataset {

namespace {

// Below one visible record in this many the view is put in order from the visible records
// themselves (by their integer keys, or by their positions, each a block search) instead of a walk
// over the whole index.
constexpr int32_t kSparseByKeyRatio = 16;
constexpr int32_t kSparseByPositionRatio = 256;

}  // namespace

TEdbFilteredView::TEdbFilteredView(const storage::TEdbIndex& Index, const TBitsArray& Visible) {
  const int32_t count = Index.Count();
  const int32_t bitCount = std::min(Visible.Count(), count);
  const int32_t visible = Visible.CountSet();
  std::vector<int32_t> order;
  order.reserve(static_cast<size_t>(visible));
  if (visible <= count / (Index.HasIntegerKey() ? kSparseByKeyRatio : kSparseByPositionRatio)) {
    std::vector<int32_t> recNos;
    recNos.reserve(static_cast<size_t>(visible));
    for (int32_t recNo = Visible.NextSet(0); recNo >= 0 && recNo < bitCount; recNo = Visible.NextSet(recNo + 1))
      recNos.push_back(recNo);
    VisitInPositionOrder(
        Index, recNos, [&](int32_t RecNo) { return Index.FindRecord(RecNo); },
        [&](int32_t RecNo) {
          order.push_back(RecNo);
          return true;
        });
  } else {
    Index.ForEach([&](int32_t RecNo) {
      if (RecNo < bitCount && Visible.Items(RecNo)) order.push_back(RecNo);
    });
  }
  FEntries.Assign(order.data(), static_cast<int32_t>(order.size()));
}

}  // namespace tesvar::dataset
