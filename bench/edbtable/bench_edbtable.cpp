// The table commands at scale: `edb table load` of the catalogue workload's rows (the CDCatalog
// table with its two memo fields, AutoIndexes and IndexTree: eighteen indexes) into a new
// container, then `edb table dump` of the table, each a run of the edb program. Beside it, first
// (reference), the sqlite3 shell imports the same tab-separated file (.import, one transaction)
// into a table with the same eighteen orderings (the rowid for the ID index, seventeen CREATE
// INDEX; WAL, synchronous NORMAL) and exports it (.mode tabs, ordered by rowid). Both dumps
// must be the input rows with their IDs, byte for byte; the program checks that.
//
// Usage: bench_edbtable [-s SEED] [-d FOLDER] [-k] [-v LEVEL:BLOCK]... [N ...]
//   (default: -s 42 -d . -v 0:512 -v 0:64 100000 1000000)
//   -v  a variant of the edb table: BLOB compression level and BLOB block size (the catalogue's
//       own is 0:512, the table component's defaults: no compression, 512-byte blocks; with
//       64-byte blocks a memo value of the workload wastes less of its last block); each variant
//       is loaded and dumped
//   -k  keep the files of the last size in FOLDER (the rows, both databases, both dumps; the edb
//       container of the last variant) to time or profile the commands by hand
// Output: name<TAB>value<TAB>unit lines; per size the sqlite3 figures, then edb's per variant
// (names end in _bLEVELkBLOCK_SIZE), then the ratios. rows_sha256_ok 1 says the rows are the
// workload's, byte for byte.

#include "CatalogWorkload.h"
#include "SqliteCatalog.h"
#include "edb/EdbTsv.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::bench;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_edbtable: %s\n", What.c_str());
  std::exit(1);
}

void print(const std::string& Name, double Value, const char* Unit) {
  std::printf("%s\t%.6g\t%s\n", Name.c_str(), Value, Unit);
  std::fflush(stdout);
}

std::string quoted(const std::string& Path) { return "'" + Path + "'"; }

double childCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct TTimes {
  double Wall = 0;
  double Cpu = 0;  // user + system time of the command's processes (steadier on a shared machine)
};

// Runs a shell command and times it. Fails the benchmark when the command fails.
TTimes timed(const std::string& Command) {
  const double cpuStart = childCpuSeconds();
  const auto start = Clock::now();
  const int status = std::system(Command.c_str());
  TTimes times{std::chrono::duration<double>(Clock::now() - start).count(), childCpuSeconds() - cpuStart};
  if (status != 0) fail("failed: " + Command);
  return times;
}

void writeFile(const std::string& Path, const std::string& Text) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  out << Text;
  if (!out) fail("cannot write " + Path);
}

int64_t bytesOf(const std::string& Path) {
  int64_t bytes = 0;
  std::error_code error;
  for (const std::string& p : {Path, Path + "-wal"}) {
    const auto size = std::filesystem::file_size(p, error);
    if (!error) bytes += static_cast<int64_t>(size);
  }
  return bytes;
}

std::string sha256OfFile(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  TSha256 hash;
  std::string chunk(1 << 20, '\0');
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    hash.Add(chunk.substr(0, static_cast<size_t>(in.gcount())));
  }
  return hash.Hex();
}

const char kHeader[] = "Title\tDescription\tGroup\tDiskYear\tDiskNum\tDiskName\tCategory\tNarrative\tPathFile\tWWW\tKeyWords";

// Writes the rows as the table commands read them (a header line; backslashes escaped) to Path.
// Returns the SHA-256 of the reference lines and, in Dumped, the SHA-256 that a dump of the
// loaded table must have (header with ID, each line with its ID).
std::string writeRows(int64_t N, uint64_t Seed, const std::string& Path, std::string& Dumped) {
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  TSha256 reference;
  TSha256 dump;
  std::string block = std::string(kHeader) + "\n";
  dump.Add(std::string(kHeader) + "\tID\n");
  TCatalogGenerator generator(Seed);
  std::string escaped;
  for (int64_t id = 1; id <= N; ++id) {
    const std::string line = CatalogTsvLine(generator.Next());
    reference.Add(line);
    // Each field escaped (the rows hold no TAB or LF: their backslashes become escapes).
    escaped.clear();
    const std::string_view fields = std::string_view(line).substr(0, line.size() - 1);
    for (size_t start = 0;;) {
      const size_t tab = fields.find('\t', start);
      edb::AppendTsvEscaped(fields.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start), escaped);
      if (tab == std::string_view::npos) break;
      escaped += '\t';
      start = tab + 1;
    }
    escaped += "\n";
    block += escaped;
    escaped.pop_back();
    dump.Add(escaped + "\t" + std::to_string(id) + "\n");
    if (block.size() > (8 << 20)) {
      out << block;
      block.clear();
    }
  }
  out << block;
  if (!out) fail("cannot write " + Path);
  Dumped = dump.Hex();
  return reference.Hex();
}

// The table without an ID column: its rowid numbers the rows 1..N as they are imported.
std::string sqliteSchema() {
  return "PRAGMA journal_mode=WAL;\n"
         "CREATE TABLE catalog(Title TEXT, Description TEXT, \"Group\" TEXT, DiskYear INTEGER, DiskNum INTEGER,"
         " DiskName TEXT, Category TEXT, Narrative TEXT, PathFile TEXT, WWW TEXT, KeyWords TEXT);\n" +
         SqliteCatalogIndexes(TSqliteSchema::Eighteen) + "\n";
}

const char kEdbFields[] =
    "ID:AutoInc,Title:String:100:required,Description:FmtMemo,Group:String:60,DiskYear:Integer,DiskNum:Integer,"
    "DiskName:String:60,Category:String:60,Narrative:FmtMemo,PathFile:String:200,WWW:String:100,KeyWords:String:100";
const char kEdbTree[] = "IndexTree:Category;DiskYear;Group;DiskNum;DiskName:descending";

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 42;
  std::string folder = ".";
  std::vector<int64_t> sizes;
  std::vector<std::pair<std::string, std::string>> variants;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-v" && i + 1 < argc) {
      const std::string v = argv[++i];
      const size_t colon = v.find(':');
      if (colon == std::string::npos) fail("-v LEVEL:BLOCK");
      variants.emplace_back(v.substr(0, colon), v.substr(colon + 1));
    } else if (arg == "-s" && i + 1 < argc)
      seed = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "-k")
      keep = true;
    else if (arg == "-d" && i + 1 < argc)
      folder = argv[++i];
    else
      sizes.push_back(std::atoll(arg.c_str()));
  }
  if (sizes.empty()) sizes = {100000, 1000000};
  if (variants.empty()) variants = {{"0", "512"}, {"0", "64"}};
  const std::string edb = EDB_PROGRAM;
  for (size_t sizeNo = 0; sizeNo < sizes.size(); ++sizeNo) {
    const int64_t n = sizes[sizeNo];
    const std::string tag = n % 1000000 == 0 ? std::to_string(n / 1000000) + "m"
                            : n % 1000 == 0  ? std::to_string(n / 1000) + "k"
                                             : std::to_string(n);
    const std::string rows = folder + "/bench_edbtable_rows.tsv";
    const std::string sqliteDb = folder + "/bench_edbtable.sqlite";
    const std::string sqliteOut = folder + "/bench_edbtable_sqlite_dump.tsv";
    const std::string edbDb = folder + "/bench_edbtable.edb";
    const std::string edbOut = folder + "/bench_edbtable_edb_dump.tsv";
    std::string dumpSha;
    const std::string sha = writeRows(n, seed, rows, dumpSha);
    const std::string published = CatalogCheckSha256(n, seed);
    print("rows_sha256_ok_" + tag, published.empty() ? -1 : sha == published, "check");
    print("rows_tsv_bytes_" + tag, static_cast<double>(std::filesystem::file_size(rows)), "bytes");

    // sqlite3: schema (not timed), .import, export.
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(sqliteDb + suffix);
    const std::string schemaSql = folder + "/bench_edbtable_schema.sql";
    const std::string importSql = folder + "/bench_edbtable_import.sql";
    const std::string exportSql = folder + "/bench_edbtable_export.sql";
    writeFile(schemaSql, sqliteSchema());
    writeFile(importSql, "PRAGMA synchronous=NORMAL;\n.mode tabs\n.import --skip 1 " + rows + " catalog\n");
    writeFile(exportSql, ".headers on\n.mode tabs\n.output " + sqliteOut +
                             "\nSELECT Title, Description, \"Group\", DiskYear, DiskNum, DiskName, Category, Narrative,"
                             " PathFile, WWW, KeyWords, rowid AS ID FROM catalog ORDER BY rowid;\n");
    timed("sqlite3 " + quoted(sqliteDb) + " < " + quoted(schemaSql) + " > /dev/null");
    const TTimes sqliteLoad = timed("sqlite3 " + quoted(sqliteDb) + " < " + quoted(importSql));
    const int64_t sqliteBytes = bytesOf(sqliteDb);
    const TTimes sqliteDump = timed("sqlite3 " + quoted(sqliteDb) + " < " + quoted(exportSql));
    print("sqlite_import_18idx_" + tag, sqliteLoad.Wall, "s");
    print("sqlite_import_18idx_cpu_" + tag, sqliteLoad.Cpu, "s");
    print("sqlite_size_after_import_" + tag, static_cast<double>(sqliteBytes), "bytes");
    print("sqlite_export_" + tag, sqliteDump.Wall, "s");
    print("sqlite_export_cpu_" + tag, sqliteDump.Cpu, "s");
    print("sqlite_export_matches_rows_" + tag, sha256OfFile(sqliteOut) == dumpSha, "check");

    for (const auto& [level, block] : variants) {
      // edb: container and table (not timed), load, dump.
      const std::string v = "_b" + level + "k" + block + "_" + tag;
      std::filesystem::remove(edbDb);
      timed(quoted(edb) + " create " + quoted(edbDb));
      timed(quoted(edb) + " table create " + quoted(edbDb) + " CDCatalog --fields '" + kEdbFields + "' --index '" +
            kEdbTree + "' --blob-compression " + level + " --blob-block-size " + block);
      const TTimes edbLoad = timed(quoted(edb) + " table load " + quoted(edbDb) + " CDCatalog " + quoted(rows) + " > /dev/null");
      const int64_t edbBytes = bytesOf(edbDb);
      const TTimes edbDump = timed(quoted(edb) + " table dump " + quoted(edbDb) + " CDCatalog > " + quoted(edbOut));
      print("edb_table_load_18idx" + v, edbLoad.Wall, "s");
      print("edb_table_load_18idx_cpu" + v, edbLoad.Cpu, "s");
      print("edb_container_size" + v, static_cast<double>(edbBytes), "bytes");
      print("edb_table_dump" + v, edbDump.Wall, "s");
      print("edb_table_dump_cpu" + v, edbDump.Cpu, "s");
      print("edb_dump_matches_rows" + v, sha256OfFile(edbOut) == dumpSha, "check");
      print("ratio_load_vs_sqlite_import" + v, edbLoad.Wall / sqliteLoad.Wall, "x");
      print("ratio_load_vs_sqlite_import_cpu" + v, edbLoad.Cpu / sqliteLoad.Cpu, "x");
      print("ratio_dump_vs_sqlite_export" + v, edbDump.Wall / sqliteDump.Wall, "x");
      print("ratio_dump_vs_sqlite_export_cpu" + v, edbDump.Cpu / sqliteDump.Cpu, "x");
      print("ratio_size_vs_sqlite" + v, static_cast<double>(edbBytes) / static_cast<double>(sqliteBytes), "x");
    }

    if (keep && sizeNo + 1 == sizes.size()) break;
    for (const std::string& path : {rows, sqliteOut, edbOut, edbDb, schemaSql, importSql, exportSql}) std::filesystem::remove(path);
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(sqliteDb + suffix);
  }
  return 0;
}
