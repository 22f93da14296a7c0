#include "dataset/TEdbView.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace tesvar::dataset {

namespace {

// Below one visible record in this many the view is made from the visible records' index
// positions (each O(log n)) instead of a walk over the whole index.
constexpr int32_t kSparseRatio = 32;

}  // namespace

TEdbFilteredView::TEdbFilteredView(const storage::TEdbIndex& Index, const TBitsArray& Visible) {
  const int32_t count = Index.Count();
  const int32_t bitCount = std::min(Visible.Count(), count);

  // Few visible records: their positions in the index, sorted.
  const size_t sparseMost = static_cast<size_t>(count / kSparseRatio);
  std::vector<std::pair<int32_t, int32_t>> sparse;  // (index position, record number)
  bool isSparse = true;
  for (int32_t recNo = Visible.NextSet(0); recNo >= 0 && recNo < bitCount; recNo = Visible.NextSet(recNo + 1)) {
    if (sparse.size() >= sparseMost) {
      isSparse = false;
      break;
    }
    sparse.emplace_back(Index.FindRecord(recNo), recNo);
  }
  std::vector<int32_t> order;
  if (isSparse) {
    std::sort(sparse.begin(), sparse.end());
    order.reserve(sparse.size());
    for (const auto& [position, recNo] : sparse)
      if (position >= 0) order.push_back(recNo);
  } else {
    order.resize(static_cast<size_t>(count));
    Index.CopyTo(order.data());
    size_t kept = 0;
    for (const int32_t recNo : order)
      if (recNo >= 0 && recNo < bitCount && Visible.Items(recNo)) order[kept++] = recNo;
    order.resize(kept);
  }
  FEntries.Assign(order.data(), static_cast<int32_t>(order.size()));
}

}  // namespace tesvar::dataset
