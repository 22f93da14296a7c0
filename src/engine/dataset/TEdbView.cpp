#include "dataset/TEdbView.h"

#include <algorithm>
#include <cstring>
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
  const uint8_t* bits = Visible.Data();
  const auto bitCount = static_cast<size_t>(std::min(Visible.Count(), count));

  // Few visible records: their positions in the index, sorted.
  const size_t sparseMost = static_cast<size_t>(count / kSparseRatio);
  std::vector<std::pair<int32_t, int32_t>> sparse;  // (index position, record number)
  bool isSparse = true;
  for (const uint8_t* at = bits; at < bits + bitCount && isSparse;) {
    const void* found = std::memchr(at, 1, static_cast<size_t>(bits + bitCount - at));
    if (found == nullptr) break;
    const auto* hit = static_cast<const uint8_t*>(found);
    const auto recNo = static_cast<int32_t>(hit - bits);
    if (sparse.size() >= sparseMost) isSparse = false;
    else sparse.emplace_back(Index.FindRecord(recNo), recNo);
    at = hit + 1;
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
      if (static_cast<size_t>(recNo) < bitCount && bits[recNo] != 0) order[kept++] = recNo;
    order.resize(kept);
  }
  FEntries.Assign(order.data(), static_cast<int32_t>(order.size()));
}

}  // namespace tesvar::dataset
