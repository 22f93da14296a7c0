#pragma once
// Little-endian field access for the container's on-disk structures.

#include <cstdint>
#include <cstring>

namespace tesvar::container {

inline uint32_t getLE32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void putLE32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

inline int32_t getLE32s(const uint8_t* p) { return static_cast<int32_t>(getLE32(p)); }
inline void putLE32s(uint8_t* p, int32_t v) { putLE32(p, static_cast<uint32_t>(v)); }

inline int64_t getLE64s(const uint8_t* p) {
  return static_cast<int64_t>(uint64_t(getLE32(p)) | (uint64_t(getLE32(p + 4)) << 32));
}

inline void putLE64s(uint8_t* p, int64_t v) {
  putLE32(p, static_cast<uint32_t>(uint64_t(v)));
  putLE32(p + 4, static_cast<uint32_t>(uint64_t(v) >> 32));
}

}  // namespace tesvar::container
