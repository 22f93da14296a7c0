#pragma once
// The seed of a randomized test: TESVAR_SEED when set (to repeat a run), else Fallback.

#include <cstdint>
#include <cstdlib>

namespace tesvar::testsupport {

inline uint64_t seedOr(uint64_t Fallback) {
  if (const char* s = std::getenv("TESVAR_SEED")) return std::strtoull(s, nullptr, 10);
  return Fallback;
}

}  // namespace tesvar::testsupport
