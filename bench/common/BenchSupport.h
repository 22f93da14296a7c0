#pragma once
// What the table benchmarks share: a dataset that opens a table of a single-file database, and
// the process's memory figures (Linux).

#include "toolkit/IEdbDataset.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

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

// Seconds since Start on the steady clock.
inline double SecondsSince(std::chrono::steady_clock::time_point Start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

// One figure as a name<TAB>value<TAB>unit line, flushed.
inline void PrintFigure(const std::string& Name, double Value, const char* Unit) {
  std::printf("%s\t%.6g\t%s\n", Name.c_str(), Value, Unit);
  std::fflush(stdout);
}

// The suffix of a figure for N rows: "100k", "1m", or N itself.
inline std::string SizeTag(int64_t N) {
  return N % 1000000 == 0 ? std::to_string(N / 1000000) + "m"
         : N % 1000 == 0  ? std::to_string(N / 1000) + "k"
                          : std::to_string(N);
}

// The options of the catalogue benchmarks: [-s SEED] [-c LEVEL] [-d FOLDER] [N ...]; -c is the
// table's BLOB compression level (0..3). Without sizes, Sizes keeps its defaults. A malformed
// command line prints Usage and exits.
struct TCatalogBenchArgs {
  uint64_t Seed = 42;
  uint8_t Compression = 0;  // the table component's default, with which the catalogue creates CDCatalog
  std::string Folder = ".";
  std::vector<int64_t> Sizes;
};

inline TCatalogBenchArgs ParseCatalogBenchArgs(int argc, char** argv, std::vector<int64_t> DefaultSizes,
                                               const char* Usage) {
  TCatalogBenchArgs args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-s" && i + 1 < argc) {
      args.Seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "-c" && i + 1 < argc) {
      args.Compression = static_cast<uint8_t>(std::clamp(std::atoi(argv[++i]), 0, 3));
    } else if (arg == "-d" && i + 1 < argc) {
      args.Folder = argv[++i];
    } else if (!arg.empty() && arg[0] != '-') {
      args.Sizes.push_back(std::strtoll(arg.c_str(), nullptr, 10));
    } else {
      std::fprintf(stderr, "usage: %s\n", Usage);
      std::exit(1);
    }
  }
  if (args.Sizes.empty()) args.Sizes = std::move(DefaultSizes);
  return args;
}

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
