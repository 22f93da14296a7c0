#pragma once
// Memory figures from the operating system. Tests may override them with ScopedMemoryInfo.

#include <cstdint>

namespace tesvar::platform {

// Available physical memory in bytes.
uint64_t AvailablePhysicalMemory();
// Bytes the process can still allocate for in-memory data (free heap); the in-memory
// container reports this as its free space.
uint64_t FreeHeapBytes();

// Overrides both figures for its lifetime (0 = leave that figure alone).
class ScopedMemoryInfo {
public:
  ScopedMemoryInfo(uint64_t availablePhysical, uint64_t freeHeap);
  ~ScopedMemoryInfo();
  ScopedMemoryInfo(const ScopedMemoryInfo&) = delete;
  ScopedMemoryInfo& operator=(const ScopedMemoryInfo&) = delete;

private:
  uint64_t FPrevPhysical;
  uint64_t FPrevHeap;
};

}  // namespace tesvar::platform
