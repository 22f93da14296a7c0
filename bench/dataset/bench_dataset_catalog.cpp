// The dataset cursor at scale: the rows of the catalogue workload in the catalogue table
// (CDCatalog's fields, AutoIndexes on, IndexTree, BLOB compression none and 512-byte blocks as
// the catalogue creates it, the memo texts stored), then a dataset opened on IndexTree walks
// every record reading every field with AsString (memos included), and the workload's 100,000
// ID lookups go to records by bookmark, reading every field the same way. Beside it, SQLite (the workload's reference
// schema) runs SELECT * FROM catalog ORDER BY the same five columns and the workload's c_lookups
// phase, every column fetched as text. Last, a second dataset changes one record through the
// table and the first dataset's view is brought up to date.
//
// Usage: bench_dataset_catalog [-s SEED] [-c LEVEL] [-d FOLDER] [N ...]   (default: -s 42 -d . 100000 1000000)
//   -c  BLOB compression level of the table (0..3, default 0)
// Output: name<TAB>value<TAB>unit lines. Check values: rows and the ID sum of the walk (equal on
// both sides), the lookups' ID sum (the workload's c_lookup_idsum), and the bytes read as text by
// the walk and by the lookups against the bytes of the rows (SQLite's in UTF-8, the table's in
// Windows-1251). Times: wall and processor time of each side, and their ratios.

#include "BenchSupport.h"
#include "CatalogTable.h"
#include "CatalogWorkload.h"
#include "SqliteCatalog.h"
#include "dataset/TEdbDataset.h"
#include "platform/AnsiCollation.h"
#include "platform/Paths.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"
#include "toolkit/TField.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::bench;
using namespace tesvar::storage;
using Clock = std::chrono::steady_clock;
using R = TCatalogRowSet;

// Processor time of the process (user and system), steadier than wall time on a shared machine.
double cpuNow() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_dataset_catalog: %s\n", What.c_str());
  std::exit(1);
}

int64_t decimalDigits(int64_t V) {
  int64_t n = 1;
  while (V >= 10) {
    V /= 10;
    ++n;
  }
  return n;
}

// The bytes of every field of row R as text (the ID included: row R has ID R + 1), as each side
// reads them.
int64_t rowBytes(const TCatalogRowSet& Rows, int64_t R) {
  int64_t bytes = decimalDigits(R + 1) + decimalDigits(Rows.DiskYear(R)) + decimalDigits(Rows.DiskNum(R));
  for (int32_t f = 0; f < R::kFieldCount; ++f) {
    if (f != R::cfDiskYear && f != R::cfDiskNum) bytes += static_cast<int64_t>(Rows.Text(R, static_cast<R::TField>(f)).size());
  }
  return bytes;
}

int64_t rowBytes(const TCatalogRowSet& Rows) {
  int64_t bytes = 0;
  for (int64_t r = 0; r < Rows.Count(); ++r) bytes += rowBytes(Rows, r);
  return bytes;
}

// The same for the rows of the IDs Ids, once per look-up.
int64_t lookupBytes(const TCatalogRowSet& Rows, const std::vector<int64_t>& Ids) {
  int64_t bytes = 0;
  for (const int64_t id : Ids) bytes += rowBytes(Rows, id - 1);
  return bytes;
}

// Creates the catalogue table in a new single-file database at Path with BLOB compression
// Compression and inserts Rows (Windows-1251, memos kept). The engine must be running.
void buildTable(const std::string& Path, const TCatalogRowSet& Rows, uint8_t Compression) {
  TBenchDataset dataset(Path, Compression);
  TEdbDataManager& table = CreateCatalogTable(Path, dataset);
  if (table.ConnectDataset(dataset) != otrOk) fail("cannot open the new table");
  InsertCatalogRows(table, Rows);
  table.DisconnectDataset(dataset);
}

struct TWalk {
  double Seconds = 0;
  double Cpu = 0;
  int64_t Rows = 0;
  int64_t IdSum = 0;
  int64_t Bytes = 0;
};

// Reads every field of the current record with AsString into Walk.
void readRecord(dataset::TEdbDataset& Data, toolkit::TField& Id, TWalk& Walk) {
  ++Walk.Rows;
  Walk.IdSum += Id.AsInteger();
  const int32_t count = Data.FieldCount();
  for (int32_t i = 0; i < count; ++i) Walk.Bytes += static_cast<int64_t>(Data.Fields()[i].AsString().size());
}

toolkit::TBookmark bookmarkOf(int32_t Id) {
  toolkit::TBookmark b(sizeof Id);
  std::memcpy(b.data(), &Id, sizeof Id);
  return b;
}

struct TEngineTimes {
  double Walk = 0;
  double Lookups = 0;
  double WalkCpu = 0;
  double LookupsCpu = 0;
};

TEngineTimes engineSide(const std::string& Path, const TCatalogRowSet& Rows, const std::vector<int64_t>& Ids,
                const std::string& Tag) {
  dataset::TEdbDataset data;
  data.SetDatabaseFileName(Path);
  data.SetTableName("CDCatalog");
  data.SetIndexName("IndexTree");
  const auto opening = Clock::now();
  data.Open();
  PrintFigure("table_open_" + Tag, SecondsSince(opening), "s");
  toolkit::TField& id = data.FieldByName("ID");

  TWalk walk;
  const auto walking = Clock::now();
  const double walkingCpu = cpuNow();
  for (data.First(); !data.Eof(); data.Next()) readRecord(data, id, walk);
  walk.Seconds = SecondsSince(walking);
  walk.Cpu = cpuNow() - walkingCpu;
  PrintFigure("table_walk_tree_" + Tag, walk.Seconds, "s");
  PrintFigure("table_walk_tree_cpu_" + Tag, walk.Cpu, "s");
  PrintFigure("table_walk_rows_" + Tag, static_cast<double>(walk.Rows), "check");
  PrintFigure("table_walk_idsum_" + Tag, static_cast<double>(walk.IdSum), "check");
  PrintFigure("table_walk_bytes_ok_" + Tag, walk.Bytes == rowBytes(Rows), "check");

  TWalk look;
  const auto looking = Clock::now();
  const double lookingCpu = cpuNow();
  for (const int64_t i : Ids) {
    data.GotoBookmark(bookmarkOf(static_cast<int32_t>(i)));
    readRecord(data, id, look);
  }
  look.Seconds = SecondsSince(looking);
  look.Cpu = cpuNow() - lookingCpu;
  PrintFigure("table_lookups_" + Tag, look.Seconds, "s");
  PrintFigure("table_lookups_cpu_" + Tag, look.Cpu, "s");
  PrintFigure("table_lookup_idsum_" + Tag, static_cast<double>(look.IdSum), "check");
  PrintFigure("table_lookup_bytes_ok_" + Tag, look.Bytes == lookupBytes(Rows, Ids), "check");

  // Another dataset changes one record; the first one's view follows.
  dataset::TEdbDataset other;
  other.SetDatabaseFileName(Path);
  other.SetTableName("CDCatalog");
  other.Open();
  TEdbDataManager& table = *other.DataManager();
  std::vector<uint8_t> record(table.GetRecord(Rows.Count() / 2), table.GetRecord(Rows.Count() / 2) + table.RecordSize());
  const std::string category = "Zz changed";
  std::memset(record.data() + table.FieldOffset(R::cfCategory), 0, 61);
  std::memcpy(record.data() + table.FieldOffset(R::cfCategory), category.data(), category.size());
  table.edUpdateRecord(record.data(), 0, Rows.Count() / 2);
  const auto rebuilding = Clock::now();
  data.RefreshViewIfStale();
  data.First();
  const double rebuild = SecondsSince(rebuilding);
  PrintFigure("table_view_rebuild_after_change_" + Tag, rebuild * 1000, "ms");
  if (data.RecordCount() != Rows.Count()) fail("record count after the change");
  other.Close();
  data.Close();
  return {walk.Seconds, look.Seconds, walk.Cpu, look.Cpu};
}

}  // namespace

int main(int argc, char** argv) {
  const TCatalogBenchArgs args = ParseCatalogBenchArgs(argc, argv, {100000, 1000000},
                                                      "bench_dataset_catalog [-s SEED] [-c LEVEL] [-d FOLDER] [N ...]");
  const uint64_t seed = args.Seed;
  const uint8_t compression = args.Compression;
  const std::string& folder = args.Folder;
  const std::vector<int64_t>& sizes = args.Sizes;
  platform::ScopedEngineCollation collation("ru_RU");
  for (const int64_t n : sizes) {
    const std::string tag = n % 1000000 == 0 ? std::to_string(n / 1000000) + "m"
                            : n % 1000 == 0  ? std::to_string(n / 1000) + "k"
                                             : std::to_string(n);
    const std::vector<int64_t> ids = CatalogLookupIds(n, seed);
    int64_t expectedIdSum = 0;
    for (const int64_t i : ids) expectedIdSum += i;
    PrintFigure("lookup_idsum_expected_" + tag, static_cast<double>(expectedIdSum), "check");

    const std::string sqlitePath = platform::JoinPath(folder, "bench_dataset_catalog.sqlite");
    double sqliteWalk = 0;
    double sqliteLookups = 0;
    double sqliteWalkCpu = 0;
    double sqliteLookupsCpu = 0;
    {
      TCatalogRowSet rows(true, true);
      GenerateCatalogRows(n, seed, rows);
      (void)SqliteInsertCatalog(sqlitePath, rows, TSqliteSchema::Reference);
      // (The processor times include opening the database and preparing the statement.)
      double cpu = cpuNow();
      const TSqliteReadFigures walk = SqliteReadTree(sqlitePath);
      sqliteWalkCpu = cpuNow() - cpu;
      sqliteWalk = walk.Seconds;
      PrintFigure("sqlite_order_by_tree_" + tag, walk.Seconds, "s");
      PrintFigure("sqlite_order_by_tree_cpu_" + tag, sqliteWalkCpu, "s");
      PrintFigure("sqlite_order_by_rows_" + tag, static_cast<double>(walk.Rows), "check");
      PrintFigure("sqlite_order_by_idsum_" + tag, static_cast<double>(walk.IdSum), "check");
      PrintFigure("sqlite_order_by_bytes_ok_" + tag, walk.Bytes == rowBytes(rows), "check");
      cpu = cpuNow();
      const TSqliteReadFigures look = SqliteLookups(sqlitePath, ids);
      sqliteLookupsCpu = cpuNow() - cpu;
      sqliteLookups = look.Seconds;
      PrintFigure("c_lookups_" + tag, look.Seconds, "s");
      PrintFigure("c_lookups_cpu_" + tag, sqliteLookupsCpu, "s");
      PrintFigure("c_lookup_idsum_" + tag, static_cast<double>(look.IdSum), "check");
      PrintFigure("c_lookup_bytes_ok_" + tag, look.Bytes == lookupBytes(rows, ids), "check");
      SqliteRemove(sqlitePath);
    }

    const std::string path = platform::JoinPath(folder, "bench_dataset_catalog.edb");
    {
      TCatalogRowSet rows(false, true);
      GenerateCatalogRows(n, seed, rows);
      ScopedStorageEngine engine;
      const auto building = Clock::now();
      buildTable(path, rows, compression);
      PrintFigure("table_build_" + tag, SecondsSince(building), "s");
    }
    TEngineTimes table;
    {
      TCatalogRowSet rows(false, true);
      GenerateCatalogRows(n, seed, rows);
      ScopedStorageEngine engine;
      table = engineSide(path, rows, ids, tag);
    }
    std::filesystem::remove(path);
    PrintFigure("ratio_walk_vs_sqlite_order_by_" + tag, table.Walk / sqliteWalk, "x");
    PrintFigure("ratio_lookups_vs_sqlite_c_lookups_" + tag, table.Lookups / sqliteLookups, "x");
    PrintFigure("ratio_walk_vs_sqlite_order_by_cpu_" + tag, table.WalkCpu / sqliteWalkCpu, "x");
    PrintFigure("ratio_lookups_vs_sqlite_c_lookups_cpu_" + tag, table.LookupsCpu / sqliteLookupsCpu, "x");
  }
  return 0;
}
