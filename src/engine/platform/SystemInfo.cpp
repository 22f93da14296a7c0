#include "platform/SystemInfo.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>

#include <cstdio>
#include <cstring>
#endif

namespace tesvar::platform {

namespace {

// Overrides installed by ScopedMemoryInfo; 0 = ask the operating system.
uint64_t gPhysicalOverride = 0;
uint64_t gHeapOverride = 0;

#ifdef _WIN32

uint64_t systemAvailablePhysical() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullAvailPhys : 0;
}

#else

// MemAvailable of /proc/meminfo (memory that can be had without swapping, page cache included);
// 0 when the line is missing, as on kernels before 3.14 and on other systems.
uint64_t memAvailableFromProc() {
  std::FILE* f = std::fopen("/proc/meminfo", "re");
  if (f == nullptr) return 0;
  char line[256];
  uint64_t result = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long long kib = 0;
    if (std::strncmp(line, "MemAvailable:", 13) == 0 && std::sscanf(line + 13, "%llu", &kib) == 1) {
      result = static_cast<uint64_t>(kib) * 1024;
      break;
    }
  }
  std::fclose(f);
  return result;
}

uint64_t systemAvailablePhysical() {
  if (const uint64_t fromProc = memAvailableFromProc(); fromProc != 0) return fromProc;
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

#endif

}  // namespace

uint64_t AvailablePhysicalMemory() {
  return gPhysicalOverride != 0 ? gPhysicalOverride : systemAvailablePhysical();
}

// The heap grows into physical memory, so the available physical memory is the figure for it.
uint64_t FreeHeapBytes() { return gHeapOverride != 0 ? gHeapOverride : systemAvailablePhysical(); }

ScopedMemoryInfo::ScopedMemoryInfo(uint64_t availablePhysical, uint64_t freeHeap)
    : FPrevPhysical(gPhysicalOverride), FPrevHeap(gHeapOverride) {
  if (availablePhysical != 0) gPhysicalOverride = availablePhysical;
  if (freeHeap != 0) gHeapOverride = freeHeap;
}

ScopedMemoryInfo::~ScopedMemoryInfo() {
  gPhysicalOverride = FPrevPhysical;
  gHeapOverride = FPrevHeap;
}

}  // namespace tesvar::platform
