// Filters over the catalogue workload: the rows inserted into the catalogue table (the fields of
// CDCatalog, AutoIndexes on and IndexTree; the memo fields empty) in a single-file database, then
// two filters evaluated over every record by TSearchParser::Parse, as a dataset's view rebuild
// does: "Title like '%abc%'" without case (every record tested) and "(DiskYear = 2005) AND
// (Group = 'Games')" (both conditions answered through the automatic indexes). Beside them,
// first (reference), SQLite runs SELECT ID FROM catalog WHERE Title LIKE '%abc%' and the WHERE
// with DiskYear = 2005 AND "Group" = 'Games' on the same rows, with an index on each of the two
// fields. The same two filters then go through a dataset with Filtered set: opening it (which
// builds its filtered view), RecordCount and the record IDs of every visible record read in view
// order. Each figure is the median of the runs; every side prints its counts.
//
// Usage: bench_filter [-s SEED] [-d FOLDER] [-r RUNS] [N ...]
//   (default: -s 42 -d . -r 5 100000 1000000; -r: runs per figure, the median is taken)
// Output: name<TAB>value<TAB>unit lines; per size the SQLite figures, then the table's, then the
// ratios (table / SQLite).

#include "BenchSupport.h"
#include "CatalogTable.h"
#include "CatalogWorkload.h"
#include "SqliteCatalog.h"
#include "dataset/TEdbDataset.h"
#include "dataset/TSearchParser.h"
#include "platform/AnsiCollation.h"
#include "platform/Paths.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"
#include "storage/TableFormat.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::bench;
using namespace tesvar::storage;
using Clock = std::chrono::steady_clock;

const char* const kLikeFilter = "Title like '%abc%'";
const char* const kIndexedFilter = "(DiskYear = 2005) AND (Group = 'Games')";
const char* const kLikeSql = "SELECT ID FROM catalog WHERE Title LIKE '%abc%'";
const char* const kIndexedSql = "SELECT ID FROM catalog WHERE (DiskYear = 2005) AND (\"Group\" = 'Games')";
int gRuns = 5;  // -r

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_filter: %s\n", What.c_str());
  std::exit(1);
}

void print(const std::string& Name, double Value, const char* Unit) {
  std::printf("%s\t%.6g\t%s\n", Name.c_str(), Value, Unit);
  std::fflush(stdout);
}

// The median time of gRuns calls of Run, which returns its count (the same every time).
double median(const std::function<int64_t()>& Run, int64_t& Count) {
  std::vector<double> times;
  for (int i = 0; i < gRuns; ++i) {
    const auto start = Clock::now();
    Count = Run();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void exec(sqlite3* Db, const char* Sql) {
  char* error = nullptr;
  if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) fail(std::string("sqlite: ") + (error ? error : Sql));
}

int64_t sqliteCount(sqlite3* Db, const char* Sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(Db, Sql, -1, &statement, nullptr) != SQLITE_OK) fail(sqlite3_errmsg(Db));
  int64_t rows = 0;
  while (sqlite3_step(statement) == SQLITE_ROW) rows += sqlite3_column_int64(statement, 0) > 0 ? 1 : 0;
  sqlite3_finalize(statement);
  return rows;
}

struct TFigures {
  double Like = 0, Indexed = 0;
  int64_t LikeCount = 0, IndexedCount = 0;
  // Through a dataset.
  double DatasetLike = 0, DatasetIndexed = 0;
  int64_t DatasetLikeCount = 0, DatasetIndexedCount = 0;
};

TFigures sqliteSide(int64_t N, uint64_t Seed, const std::string& Folder, const std::string& Tag) {
  TCatalogRowSet rows(true, false);
  (void)GenerateCatalogRows(N, Seed, rows);
  const std::string path = platform::JoinPath(Folder, "bench_filter.sqlite");
  (void)SqliteInsertCatalog(path, rows, TSqliteSchema::Reference);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) fail("cannot open " + path);
  exec(db, "PRAGMA journal_mode=WAL");
  exec(db, "PRAGMA synchronous=NORMAL");
  exec(db, "CREATE INDEX catalog_year ON catalog(DiskYear)");
  exec(db, "CREATE INDEX catalog_group ON catalog(\"Group\")");
  exec(db, "ANALYZE");
  TFigures f;
  f.Like = median([&] { return sqliteCount(db, kLikeSql); }, f.LikeCount);
  f.Indexed = median([&] { return sqliteCount(db, kIndexedSql); }, f.IndexedCount);
  sqlite3_close(db);
  SqliteRemove(path);
  print("sqlite_like_abc_" + Tag, f.Like, "s");
  print("sqlite_like_abc_rows_" + Tag, static_cast<double>(f.LikeCount), "rows");
  print("sqlite_year_and_group_" + Tag, f.Indexed, "s");
  print("sqlite_year_and_group_rows_" + Tag, static_cast<double>(f.IndexedCount), "rows");
  return f;
}

TFigures tableSide(int64_t N, uint64_t Seed, const std::string& Folder, const std::string& Tag) {
  TCatalogRowSet rows(false, false);
  (void)GenerateCatalogRows(N, Seed, rows);
  const std::string path = platform::JoinPath(Folder, "bench_filter.edb");
  platform::ScopedEngineCollation collation("ru_RU");
  TFigures f;
  ScopedStorageEngine engine;
  TBenchDataset dataset(path, 2);
  TEdbDataManager& table = CreateCatalogTable(path, dataset);
  if (table.ConnectDataset(dataset) != otrOk) fail("cannot open the table");
  InsertCatalogRows(table, rows);
  dataset::TSearchParser parser(&table);
  auto evaluate = [&](const char* Text, toolkit::TFilterOptions Options) {
    return [&parser, Text, Options] {
      parser.SetOptions(Options);
      parser.SetExpression(Text);
      return static_cast<int64_t>(parser.Parse().CountSet());
    };
  };
  f.Like = median(evaluate(kLikeFilter, {toolkit::foCaseInsensitive}), f.LikeCount);
  f.Indexed = median(evaluate(kIndexedFilter, {}), f.IndexedCount);
  // Through a dataset on the same table manager.
  int64_t idSum = 0;
  auto throughDataset = [&](const char* Text, toolkit::TFilterOptions Options) {
    return [&path, &idSum, Text, Options] {
      dataset::TEdbDataset data;
      data.SetDatabaseFileName(path);
      data.SetTableName("CDCatalog");
      data.SetFilter(Text);
      data.SetFilterOptions(Options);
      data.SetFiltered(true);
      data.Open();
      const int32_t count = data.RecordCount();
      TEdbDataManager& manager = *data.DataManager();
      int64_t sum = 0;
      for (int32_t p = 0; p < count; ++p) sum += GetInt32(manager.GetRecord(data.GetViewRecord(p)) + manager.DataSize());
      idSum = sum;
      data.Close();
      return static_cast<int64_t>(count);
    };
  };
  f.DatasetLike = median(throughDataset(kLikeFilter, {toolkit::foCaseInsensitive}), f.DatasetLikeCount);
  print("dataset_like_abc_idsum_" + Tag, static_cast<double>(idSum), "check");
  f.DatasetIndexed = median(throughDataset(kIndexedFilter, {}), f.DatasetIndexedCount);
  print("dataset_year_and_group_idsum_" + Tag, static_cast<double>(idSum), "check");
  table.DisconnectDataset(dataset);
  std::filesystem::remove(path);
  print("table_like_abc_" + Tag, f.Like, "s");
  print("table_like_abc_rows_" + Tag, static_cast<double>(f.LikeCount), "rows");
  print("table_year_and_group_" + Tag, f.Indexed, "s");
  print("table_year_and_group_rows_" + Tag, static_cast<double>(f.IndexedCount), "rows");
  print("dataset_like_abc_" + Tag, f.DatasetLike, "s");
  print("dataset_like_abc_rows_" + Tag, static_cast<double>(f.DatasetLikeCount), "rows");
  print("dataset_year_and_group_" + Tag, f.DatasetIndexed, "s");
  print("dataset_year_and_group_rows_" + Tag, static_cast<double>(f.DatasetIndexedCount), "rows");
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 42;
  std::string folder = ".";
  std::vector<int64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-s" && i + 1 < argc)
      seed = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "-d" && i + 1 < argc)
      folder = argv[++i];
    else if (arg == "-r" && i + 1 < argc)
      gRuns = std::max(1, std::atoi(argv[++i]));
    else
      sizes.push_back(std::strtoll(arg.c_str(), nullptr, 10));
  }
  if (sizes.empty()) sizes = {100000, 1000000};
  for (int64_t n : sizes) {
    const std::string tag = std::to_string(n);
    const TFigures sqlite = sqliteSide(n, seed, folder, tag);
    const TFigures table = tableSide(n, seed, folder, tag);
    print("ratio_like_abc_" + tag, table.Like / sqlite.Like, "x");
    print("ratio_year_and_group_" + tag, table.Indexed / sqlite.Indexed, "x");
    print("ratio_dataset_like_abc_" + tag, table.DatasetLike / sqlite.Like, "x");
    print("ratio_dataset_year_and_group_" + tag, table.DatasetIndexed / sqlite.Indexed, "x");
    print("counts_equal_" + tag,
          sqlite.LikeCount == table.LikeCount && sqlite.IndexedCount == table.IndexedCount &&
              sqlite.LikeCount == table.DatasetLikeCount && sqlite.IndexedCount == table.DatasetIndexedCount,
          "check");
  }
  return 0;
}
