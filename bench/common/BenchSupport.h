#pragma once
// What the table benchmarks share: a dataset that opens a table of a single-file database, and
// the process's memory figures (Linux).

#include "toolkit/IEdbDataset.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace tesvar::bench {

// A plain, writable dataset over the container File: pages of 1000 records, no password.
class TBenchDataset : public toolkit::IEdbDataset {
public:
  explicit TBenchDataset(std::string File, uint8_t BLOBCompression = 0)
      : FFile(std::move(File)), FBLOBCompression(BLOBCompression) {}
  std::string DatabaseFileName() const override { return FFile; }
  std::string DatabaseName() const override { return {}; }
  const void* DatabaseComponent() const override { return nullptr; }
  bool InMemory() const override { return false; }
  bool Temporary() const override { return false; }
  bool ReadOnly() const override { return false; }
  void SetReadOnly(bool) override {}
  std::string Password() const override { return {}; }
  int32_t RecordsPerPage() const override { return 1000; }
  bool OneRecordPages() const override { return false; }
  bool Encrypted() const override { return false; }
  uint8_t BLOBCompression() const override { return FBLOBCompression; }
  int32_t BLOBBlockSize() const override { return 512; }
  bool Active() const override { return true; }
  void Close() override {}

private:
  std::string FFile;
  uint8_t FBLOBCompression;
};

// The most memory the process has held so far, in MB.
inline double PeakResidentMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// The memory the process holds now, in MB.
inline double ResidentMegabytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

}  // namespace tesvar::bench
