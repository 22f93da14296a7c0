#pragma once
// When a cache of numbered entries (pages) that starts small should grow: it counts the entries
// stored again after they had left it, and says to double once as many came back as an eighth of
// the cache's entries. Reads that never come back to an entry (in stored order) keep a cache small;
// reads out of order (a walk in index order) make it grow until what they come back to stays.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tesvar::platform {

class TReloadCounter {
public:
  // Notes that entry Number (>= 0) is stored into a cache of Size entries. True when the cache
  // should double now; the count then starts again.
  bool NoteStore(int32_t Number, int32_t Size) {
    const auto at = static_cast<size_t>(Number);
    if (at >= FStoredOnce.size()) FStoredOnce.resize(std::max(at + 1, FStoredOnce.size() * 2));
    if (!FStoredOnce[at]) {
      FStoredOnce[at] = true;
      return false;
    }
    if (++FReloads < Size / 8) return false;
    FReloads = 0;
    return true;
  }
  // Forgets every entry stored (the cache was set up again, or reached its largest size).
  void Clear() {
    FStoredOnce = {};
    FReloads = 0;
  }

private:
  std::vector<bool> FStoredOnce;  // by entry number: stored since the last Clear
  int32_t FReloads = 0;           // entries stored again since the cache last grew
};

}  // namespace tesvar::platform
