// Locate and the distinct reduction of a dataset at scale: the rows of the catalogue workload in
// the catalogue table (CDCatalog's fields, AutoIndexes on, IndexTree; the memo fields empty), a
// dataset on it, then
//   - Locate of 10,000 titles (the Title of rows 0, N / 10000, 2 N / 10000, ...), each found
//     through the automatic index @Title, the cursor put on the first record in record-ID order;
//   - DistinctFields := "DiskYear" on the open dataset (the view rebuilt with one record per
//     year, through the automatic index @DiskYear) and RecordCount read.
// Beside them, first (reference), SQLite on the same rows (the workload's reference schema plus
// the workload's case-sensitive index on Title, cs_Title): SELECT ID FROM catalog WHERE Title = ?
// for each title (the first row's ID read) and the workload's d_tree_years, SELECT DISTINCT
// DiskYear FROM catalog ORDER BY DiskYear. Each figure is the median of 5 runs; both sides print
// their counts and ID sums.
//
// Usage: bench_dataset_locate [-s SEED] [-d FOLDER] [N ...]   (default: -s 42 -d . 100000 1000000)
// Output: name<TAB>value<TAB>unit lines; per size the SQLite figures, then the table's, then the
// ratios (table / SQLite).

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

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::bench;
using namespace tesvar::storage;
using Clock = std::chrono::steady_clock;
using R = TCatalogRowSet;

constexpr int kRuns = 5;
constexpr int64_t kTitles = 10000;

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_dataset_locate: %s\n", What.c_str());
  std::exit(1);
}

// What a phase found: records, and the sum of their IDs.
struct TFound {
  int64_t Count = 0;
  int64_t IdSum = 0;
  bool operator==(const TFound&) const = default;
};

// The median time of kRuns calls of Run (which finds the same every time).
double median(const std::function<TFound()>& Run, TFound& Found) {
  std::vector<double> times;
  for (int i = 0; i < kRuns; ++i) {
    const auto start = Clock::now();
    Found = Run();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// The rows whose titles are located.
std::vector<int64_t> titleRows(int64_t N) {
  std::vector<int64_t> rows;
  for (int64_t k = 0; k < kTitles; ++k) rows.push_back(k * N / kTitles);
  return rows;
}

void exec(sqlite3* Db, const char* Sql) {
  char* error = nullptr;
  if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) fail(std::string("sqlite: ") + (error ? error : Sql));
}

struct TFigures {
  double Locate = 0, Distinct = 0;
  TFound Located, Years;
};

void printFigures(const char* Side, const TFigures& F, const std::string& Tag) {
  const std::string side = Side;
  PrintFigure(side + "_locate_titles_" + Tag, F.Locate, "s");
  PrintFigure(side + "_locate_found_" + Tag, static_cast<double>(F.Located.Count), "rows");
  PrintFigure(side + "_locate_idsum_" + Tag, static_cast<double>(F.Located.IdSum), "check");
  PrintFigure(side + "_distinct_years_" + Tag, F.Distinct, "s");
  PrintFigure(side + "_distinct_years_count_" + Tag, static_cast<double>(F.Years.Count), "rows");
}

TFigures sqliteSide(int64_t N, uint64_t Seed, const std::string& Folder, const std::string& Tag) {
  TCatalogRowSet rows(true, false);
  (void)GenerateCatalogRows(N, Seed, rows);
  const std::string path = platform::JoinPath(Folder, "bench_dataset_locate.sqlite");
  (void)SqliteInsertCatalog(path, rows, TSqliteSchema::Reference);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) fail("cannot open " + path);
  exec(db, "PRAGMA journal_mode=WAL");
  exec(db, "PRAGMA synchronous=NORMAL");
  exec(db, "CREATE INDEX cs_Title ON catalog(Title)");
  exec(db, "ANALYZE");
  std::vector<std::string> titles;
  for (int64_t r : titleRows(N)) titles.emplace_back(rows.Text(r, R::cfTitle));
  TFigures f;
  sqlite3_stmt* byTitle = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT ID FROM catalog WHERE Title = ?", -1, &byTitle, nullptr) != SQLITE_OK)
    fail(sqlite3_errmsg(db));
  f.Locate = median(
      [&] {
        TFound found;
        for (const std::string& title : titles) {
          sqlite3_bind_text(byTitle, 1, title.data(), static_cast<int>(title.size()), SQLITE_STATIC);
          if (sqlite3_step(byTitle) == SQLITE_ROW) {
            ++found.Count;
            found.IdSum += sqlite3_column_int64(byTitle, 0);
          }
          sqlite3_reset(byTitle);
        }
        return found;
      },
      f.Located);
  sqlite3_finalize(byTitle);
  f.Distinct = median(
      [&] {
        sqlite3_stmt* years = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT DISTINCT DiskYear FROM catalog ORDER BY DiskYear", -1, &years, nullptr) !=
            SQLITE_OK)
          fail(sqlite3_errmsg(db));
        TFound found;
        while (sqlite3_step(years) == SQLITE_ROW) ++found.Count;
        sqlite3_finalize(years);
        return found;
      },
      f.Years);
  sqlite3_close(db);
  SqliteRemove(path);
  printFigures("sqlite", f, Tag);
  return f;
}

TFigures tableSide(int64_t N, uint64_t Seed, const std::string& Folder, const std::string& Tag) {
  TCatalogRowSet rows(false, false);
  (void)GenerateCatalogRows(N, Seed, rows);
  const std::string path = platform::JoinPath(Folder, "bench_dataset_locate.edb");
  TFigures f;
  {
    ScopedStorageEngine engine;
    TBenchDataset loader(path);
    TEdbDataManager& table = CreateCatalogTable(path, loader);
    if (table.ConnectDataset(loader) != otrOk) fail("cannot open the table");
    InsertCatalogRows(table, rows);

    dataset::TEdbDataset data;
    data.SetDatabaseFileName(path);
    data.SetTableName("CDCatalog");
    data.Open();
    toolkit::TField& id = data.FieldByName("ID");
    std::vector<toolkit::TValue> titles;
    for (int64_t r : titleRows(N)) titles.emplace_back(std::string(rows.Text(r, R::cfTitle)));
    f.Locate = median(
        [&] {
          TFound found;
          for (const toolkit::TValue& title : titles) {
            if (data.Locate("Title", title, {})) {
              ++found.Count;
              found.IdSum += id.AsInteger();
            }
          }
          return found;
        },
        f.Located);
    f.Distinct = median(
        [&] {
          data.SetDistinctFields("");
          data.SetDistinctFields("DiskYear");
          return TFound{data.RecordCount(), 0};
        },
        f.Years);
    data.Close();
    table.DisconnectDataset(loader);
  }
  std::filesystem::remove(path);
  printFigures("table", f, Tag);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const TCatalogBenchArgs args =
      ParseCatalogBenchArgs(argc, argv, {100000, 1000000}, "bench_dataset_locate [-s SEED] [-d FOLDER] [N ...]");
  const uint64_t seed = args.Seed;
  const std::string& folder = args.Folder;
  const std::vector<int64_t>& sizes = args.Sizes;
  platform::ScopedEngineCollation collation("ru_RU");
  for (int64_t n : sizes) {
    const std::string tag = std::to_string(n);
    const TFigures sqlite = sqliteSide(n, seed, folder, tag);
    const TFigures table = tableSide(n, seed, folder, tag);
    PrintFigure("ratio_locate_titles_" + tag, table.Locate / sqlite.Locate, "x");
    PrintFigure("ratio_distinct_years_" + tag, table.Distinct / sqlite.Distinct, "x");
    PrintFigure("counts_equal_" + tag, sqlite.Located == table.Located && sqlite.Years == table.Years, "check");
  }
  return 0;
}
