// Index upkeep at scale: the rows of the catalogue workload inserted into the catalogue table
// (the fields of CDCatalog, AutoIndexes on and the index IndexTree: eighteen indexes; the two
// memo fields stay empty) in a single-file database, the table closed (log flushed, T.idx
// written) and opened again (T.idx read) with a first lookup by ID. Beside it, first (reference),
// SQLite inserts the same rows without the memo texts into a table with the same eighteen
// orderings in one transaction (the rowid for the ID index, seventeen CREATE INDEX), closes,
// and opens with its first query. Each side runs in a child process of its own, so that each
// peak memory figure is its own.
//
// Usage: bench_indexes [-s SEED] [-d FOLDER] [-c] [N ...]   (default: -s 42 -d . 100000 1000000)
//   -c  check every index of the reopened table entry by entry (slow), not a sample
//   -n  no SQLite side (for profiling the table alone)
//   -1  the table with its record-ID index only (no AutoIndexes, no IndexTree): the cost of
//       everything but index upkeep
// Output: name<TAB>value<TAB>unit lines; per size the SQLite figures, then the table's, then the
// ratios. rows_sha256_ok 1 says the rows are the workload's, byte for byte.

#include "BenchSupport.h"
#include "CatalogTable.h"
#include "CatalogWorkload.h"
#include "SqliteCatalog.h"
#include "platform/AnsiCollation.h"
#include "platform/Paths.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"
#include "storage/TableFormat.h"
#include "toolkit/IEdbDataset.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::bench;
using namespace tesvar::storage;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_indexes: %s\n", What.c_str());
  std::exit(1);
}

// Result lines of a child process go through this stream to the parent.
FILE* results = stdout;

void print(const std::string& Name, double Value, const char* Unit) {
  std::fprintf(results, "%s\t%.6g\t%s\n", Name.c_str(), Value, Unit);
  std::fflush(results);
}

double peakMegabytes() { return PeakResidentMegabytes(); }

// Runs Body in a child process; returns the name -> value of the lines it printed, which are
// printed here too.
std::map<std::string, double> inChild(const std::function<void()>& Body) {
  int fds[2];
  if (pipe(fds) != 0) fail("pipe");
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    close(fds[0]);
    results = fdopen(fds[1], "w");
    Body();
    std::fclose(results);
    std::_Exit(0);
  }
  close(fds[1]);
  FILE* in = fdopen(fds[0], "r");
  std::map<std::string, double> values;
  char line[1024];
  while (std::fgets(line, sizeof line, in) != nullptr) {
    std::fputs(line, stdout);
    char name[512];
    double value = 0;
    if (std::sscanf(line, "%511[^\t]\t%lf", name, &value) == 2) values[name] = value;
  }
  std::fclose(in);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("a child process failed");
  std::fflush(stdout);
  return values;
}

std::string rowsCheck(int64_t N, uint64_t Seed, const std::string& Sha) {
  const std::string expected = CatalogCheckSha256(N, Seed);
  if (expected.empty()) return "unpublished";
  return Sha == expected ? "ok" : "MISMATCH";
}

void sqliteSide(int64_t N, uint64_t Seed, const std::string& Folder, const std::string& Tag) {
  TCatalogRowSet rows(true, false);
  const std::string sha = GenerateCatalogRows(N, Seed, rows);
  print("sqlite_rows_sha256_ok_" + Tag, rowsCheck(N, Seed, sha) == "ok", "check");
  const std::string path = platform::JoinPath(Folder, "bench_indexes.sqlite");
  const TSqliteInsertTimes t = SqliteInsertCatalog(path, rows, TSqliteSchema::Eighteen);
  print("sqlite_insert_1txn_18idx_" + Tag, t.Insert, "s");
  print("sqlite_insert_1txn_18idx_cpu_" + Tag, t.InsertCpu, "s");
  print("sqlite_close_after_insert_" + Tag, t.Close, "s");
  print("sqlite_size_after_insert_" + Tag, static_cast<double>(t.FileBytes), "bytes");
  print("sqlite_open_first_query_" + Tag, SqliteOpenFirstQuery(path), "s");
  print("sqlite_peak_rss_" + Tag, peakMegabytes(), "MB");
  SqliteRemove(path);
}

// Every key in order: all of it (Full) or a sample of neighbours.
void checkIndexes(TEdbDataManager& Table, bool Full) {
  std::mt19937_64 random(5);
  std::vector<uint8_t> previous(static_cast<size_t>(Table.RecordSize()));
  for (int32_t i = 0; i < Table.IndexCount(); ++i) {
    TEdbIndex& index = Table.Index(i);
    if (index.Count() != Table.RecordCount()) fail("index " + index.Header().Name + " has the wrong count");
    const int32_t checks = Full ? index.Count() - 1 : std::min(2000, index.Count() - 1);
    for (int32_t k = 0; k < checks; ++k) {
      const int32_t at = Full ? k : static_cast<int32_t>(random() % static_cast<uint64_t>(index.Count() - 1));
      std::memcpy(previous.data(), Table.GetRecord(index.At(at)), previous.size());
      if (index.CompareKeys(previous.data(), Table.GetRecord(index.At(at + 1))) > 0)
        fail("index " + index.Header().Name + " out of order at " + std::to_string(at));
    }
  }
}

void tableSide(int64_t N, uint64_t Seed, const std::string& Folder, const std::string& Tag, bool FullCheck,
               bool OneIndex) {
  TCatalogRowSet rows(false, false);
  const std::string sha = GenerateCatalogRows(N, Seed, rows);
  print("rows_sha256_ok_" + Tag, rowsCheck(N, Seed, sha) == "ok", "check");
  const std::string path = platform::JoinPath(Folder, "bench_indexes.edb");
  std::filesystem::remove(path);
  // The application's users are Russian: the collation of ru_RU, as the engine would build it
  // from such a user's locale.
  platform::ScopedEngineCollation collation("ru_RU");
  print("collation_rank_tables_" + Tag, platform::EngineCollation().Fast(), "check");
  const double baseline = ResidentMegabytes();
  {
    ScopedStorageEngine engine;
    {
      TEdbDatabase creator;
      creator.CreateDatabase(path);
    }
    TBenchDataset dataset(path, 2);
    TEdbDatabaseManager& database = edGetDatabaseManager(path, &dataset);
    edGetDataManager("CDCatalog", &database)
        .CreateTable(CatalogTableFields(), OneIndex ? toolkit::TIndexDefs{} : CatalogTableIndexes(), 1000, !OneIndex, &dataset);
    TEdbDataManager* table = &edGetDataManager("CDCatalog", &database);
    if (table->ConnectDataset(dataset) != otrOk) fail("cannot open the table");
    if (table->IndexCount() != (OneIndex ? 1 : 18)) fail("index count " + std::to_string(table->IndexCount()));
    const auto start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    InsertCatalogRows(*table, rows);
    const double insert = since(start);
    const double insertCpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double indexBytes = static_cast<double>(table->IndexMemoryBytes());
    const auto closing = Clock::now();
    table->DisconnectDataset(dataset);
    const double close = since(closing);
    const double peakAfterInsert = peakMegabytes() - baseline;

    const auto opening = Clock::now();
    table = &edGetDataManager("CDCatalog", &database);
    if (table->ConnectDataset(dataset) != otrOk) fail("cannot open the table again");
    const int32_t firstId = GetInt32(table->GetRecord(table->Index(0).At(0)) + table->DataSize());
    const double reopen = since(opening);
    if (firstId != 1) fail("first ID " + std::to_string(firstId));
    if (table->RecordCount() != N) fail("record count " + std::to_string(table->RecordCount()));

    print("table_insert_18idx_" + Tag, insert, "s");
    print("table_insert_18idx_cpu_" + Tag, insertCpu, "s");
    print("table_close_after_insert_" + Tag, close, "s");
    print("table_insert_close_18idx_" + Tag, insert + close, "s");
    print("table_reopen_first_lookup_" + Tag, reopen, "s");
    print("table_peak_memory_insert_" + Tag, peakAfterInsert, "MB");
    print("table_index_memory_" + Tag, indexBytes / (1 << 20), "MB");
    const auto dataBytes = static_cast<double>(table->DataStart() + static_cast<int64_t>(table->RecordCount()) * table->RecordSize());
    print("table_data_" + Tag, dataBytes / (1 << 20), "MB");
    print("rows_text_" + Tag, static_cast<double>(rows.TextBytes()) / (1 << 20), "MB");
    print("table_file_size_" + Tag, static_cast<double>(std::filesystem::file_size(path)), "bytes");
    checkIndexes(*table, FullCheck);
    print("table_indexes_in_order_" + Tag, 1, "check");
    table->DisconnectDataset(dataset);
  }
  print("table_peak_memory_all_" + Tag, peakMegabytes() - baseline, "MB");
  std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 42;
  std::string folder = ".";
  bool fullCheck = false;
  bool noSqlite = false;
  bool oneIndex = false;
  std::vector<int64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-s" && i + 1 < argc)
      seed = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "-d" && i + 1 < argc)
      folder = argv[++i];
    else if (arg == "-c")
      fullCheck = true;
    else if (arg == "-n")
      noSqlite = true;
    else if (arg == "-1")
      oneIndex = noSqlite = true;
    else
      sizes.push_back(std::atoll(arg.c_str()));
  }
  if (sizes.empty()) sizes = {100000, 1000000};
  {
    TCatalogRowSet rows(false, true);
    print("rows_generator_check_1000_1", GenerateCatalogRows(1000, 1, rows) == CatalogCheckSha256(1000, 1), "check");
    TSha256 cp1251;
    TCatalogGenerator generator(1);
    for (int i = 0; i < 1000; ++i) cp1251.Add(CatalogTsvLine(generator.Next(), true));
    print("rows_generator_check_1000_1_cp1251", cp1251.Hex() == CatalogCheckSha256(1000, 1, true), "check");
  }
  for (const int64_t n : sizes) {
    const std::string tag = n % 1000000 == 0 ? std::to_string(n / 1000000) + "m"
                            : n % 1000 == 0  ? std::to_string(n / 1000) + "k"
                                             : std::to_string(n);
    auto sqlite = noSqlite ? std::map<std::string, double>{} : inChild([&] { sqliteSide(n, seed, folder, tag); });
    auto table = inChild([&] { tableSide(n, seed, folder, tag, fullCheck, oneIndex); });
    if (noSqlite) continue;
    print("ratio_insert_vs_sqlite_" + tag, table["table_insert_18idx_" + tag] / sqlite["sqlite_insert_1txn_18idx_" + tag], "x");
    print("ratio_insert_close_vs_sqlite_insert_" + tag,
          table["table_insert_close_18idx_" + tag] / sqlite["sqlite_insert_1txn_18idx_" + tag], "x");
    print("ratio_reopen_vs_sqlite_open_" + tag,
          table["table_reopen_first_lookup_" + tag] / sqlite["sqlite_open_first_query_" + tag], "x");
    print("ratio_peak_memory_vs_table_data_" + tag,
          table["table_peak_memory_all_" + tag] / table["table_data_" + tag], "x");
    print("ratio_peak_memory_vs_rows_text_" + tag,
          table["table_peak_memory_all_" + tag] / table["rows_text_" + tag], "x");
    print("ratio_insert_cpu_vs_sqlite_" + tag,
          table["table_insert_18idx_cpu_" + tag] / sqlite["sqlite_insert_1txn_18idx_cpu_" + tag], "x");
  }
  return 0;
}
