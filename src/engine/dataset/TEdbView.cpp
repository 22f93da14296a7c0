#include "dataset/TEdbView.h"

#include <vector>

namespace tesvar::dataset {

TEdbFilteredView::TEdbFilteredView(const storage::TEdbIndex& Index, const TBitsArray& Visible) {
  const int32_t count = Index.Count();
  std::vector<int32_t> order(static_cast<size_t>(count));
  Index.CopyTo(order.data());
  const uint8_t* bits = Visible.Data();
  const int32_t bitCount = Visible.Count();
  size_t kept = 0;
  for (const int32_t recNo : order)
    if (recNo < bitCount && bits[recNo] != 0) order[kept++] = recNo;
  FEntries.Assign(order.data(), static_cast<int32_t>(kept));
}

}  // namespace tesvar::dataset
