#pragma once
// The catalogue workload that every benchmark of the project runs (the rows of a disk catalogue,
// their IDs, the lookup and delete sequences), generated exactly as the workload's reference
// generator does: one SplitMix64 stream, the same draws in the same order, the same vocabularies.
// Rows are produced in the engine code page (Windows-1251); CatalogTsvLine gives the reference
// generator's output line, whose SHA-256 over N rows is one of the published check values.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tesvar::bench {

// SplitMix64 (Steele, Lea, Flood 2014).
class TSplitMix64 {
public:
  explicit TSplitMix64(uint64_t Seed) : FState(Seed) {}
  uint64_t Next() {
    uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 <= result < N: the high 64 bits of Next() * N.
  uint64_t Below(uint64_t N) { return static_cast<uint64_t>((static_cast<unsigned __int128>(Next()) * N) >> 64); }

private:
  uint64_t FState;
};

// One catalogue row; texts in Windows-1251.
struct TCatalogRow {
  std::string Title;
  std::string Description;
  std::string Group;
  int32_t DiskYear = 0;
  int32_t DiskNum = 0;
  std::string DiskName;
  std::string Category;
  std::string Narrative;
  std::string PathFile;
  std::string WWW;
  std::string KeyWords;
};

// Rows 1, 2, ... of the workload for a seed.
class TCatalogGenerator {
public:
  explicit TCatalogGenerator(uint64_t Seed);
  TCatalogRow Next();

private:
  std::string Text(uint64_t MaxLength);

  TSplitMix64 FRandom;
};

// Rows held compactly: every field of every row in one buffer, in the code page they were added
// in (Windows-1251, or UTF-8 when made with Utf8).
class TCatalogRowSet {
public:
  enum TField : int32_t {
    cfTitle, cfDescription, cfGroup, cfDiskYear, cfDiskNum, cfDiskName, cfCategory, cfNarrative, cfPathFile,
    cfWWW, cfKeyWords, kFieldCount
  };

  // KeepMemos false: Description and Narrative are kept empty.
  explicit TCatalogRowSet(bool Utf8, bool KeepMemos);
  void Add(const TCatalogRow& Row);
  int64_t Count() const { return static_cast<int64_t>(FYears.size()); }
  // A text field of row Row (0-based), valid while the set lives and is not added to.
  std::string_view Text(int64_t Row, TField Field) const;
  int32_t DiskYear(int64_t Row) const { return FYears[static_cast<size_t>(Row)]; }
  int32_t DiskNum(int64_t Row) const { return FNums[static_cast<size_t>(Row)]; }
  // Bytes of text held.
  int64_t TextBytes() const { return static_cast<int64_t>(FText.size()); }

private:
  bool FUtf8;
  bool FKeepMemos;
  std::string FText;
  std::vector<uint32_t> FStarts;  // where each field ends, kFieldCount per row (text below 4 GB)
  std::vector<int32_t> FYears;
  std::vector<int32_t> FNums;
};

// Generates rows 1..N of the workload for Seed into Rows, and returns the SHA-256 (hex) of their
// reference output lines (UTF-8).
std::string GenerateCatalogRows(int64_t N, uint64_t Seed, TCatalogRowSet& Rows);

// The row as the reference generator writes it: eleven TAB-separated fields and LF, in UTF-8
// (or, with Cp1251, in Windows-1251).
std::string CatalogTsvLine(const TCatalogRow& Row, bool Cp1251 = false);

// The published SHA-256 (hex) of the first N rows for Seed, or empty when none is published.
std::string CatalogCheckSha256(int64_t N, uint64_t Seed, bool Cp1251 = false);

// Incremental SHA-256, hex result.
class TSha256 {
public:
  TSha256();
  ~TSha256();
  void Add(const std::string& Bytes);
  std::string Hex();

private:
  struct TState;
  TState* FState;
};

// The workload's point lookups (IDs 1..N) and the IDs its delete phase removes, in order.
std::vector<int64_t> CatalogLookupIds(int64_t N, uint64_t Seed, int64_t Count = 100000);
std::vector<int64_t> CatalogDeleteIds(int64_t N, uint64_t Seed);

}  // namespace tesvar::bench
