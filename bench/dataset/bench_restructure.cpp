// Restructuring the catalogue table: CDCatalog (its fields with their memo texts, AutoIndexes on:
// eighteen indexes) filled with the workload's rows, then restructured through the table
// component: one String field added, Title widened to 150 characters, every record keeping its
// ID and values. Beside it SQLite with the same eighteen indexes: ALTER TABLE ADD COLUMN, then the
// rebuild that widening a column needs (CREATE TABLE with the new column types, INSERT ...
// SELECT, DROP TABLE, ALTER TABLE RENAME, the eighteen CREATE INDEX statements) in one
// transaction.
//
// Usage: bench_restructure [-s SEED] [-c LEVEL] [-d FOLDER] [N ...]   (default: 100000 1000000)
// Output: name<TAB>value<TAB>unit lines: both times, the ratio, and from each side the row count
// and a checksum of the IDs and Titles after the change (the sum over the rows of FNV-1a 64 of
// the ID's eight bytes and the Title's UTF-8 bytes), which must agree.

#include "BenchSupport.h"
#include "CatalogTable.h"
#include "CatalogWorkload.h"
#include "SqliteCatalog.h"
#include "dataset/TEdbTable.h"
#include "platform/AnsiCollation.h"
#include "platform/CodePage.h"
#include "platform/Paths.h"
#include "storage/StorageEngine.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

using namespace tesvar;
using namespace tesvar::bench;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_restructure: %s\n", What.c_str());
  std::exit(1);
}

struct TCheck {
  int64_t Rows = 0;
  uint64_t Sum = 0;
};

uint64_t rowHash(int64_t Id, std::string_view TitleUtf8) {
  uint64_t h = 0xCBF29CE484222325ull;
  auto mix = [&h](uint8_t Byte) {
    h ^= Byte;
    h *= 0x100000001B3ull;
  };
  for (int i = 0; i < 8; ++i) mix(static_cast<uint8_t>(static_cast<uint64_t>(Id) >> (8 * i)));
  for (const char c : TitleUtf8) mix(static_cast<uint8_t>(c));
  return h;
}

void exec(sqlite3* Db, const std::string& Sql) {
  char* error = nullptr;
  if (sqlite3_exec(Db, Sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK)
    fail("sqlite: " + Sql.substr(0, 60) + ": " + (error != nullptr ? error : "?"));
}

// The change on the SQLite side, timed; the check read after it.
double sqliteRestructure(const std::string& Path, TCheck& Check) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(Path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) fail("sqlite: open " + Path);
  exec(db, "PRAGMA journal_mode=WAL");
  exec(db, "PRAGMA synchronous=NORMAL");
  const auto start = Clock::now();
  exec(db, "ALTER TABLE catalog ADD COLUMN Extra VARCHAR(40)");
  exec(db, "BEGIN");
  exec(db,
       "CREATE TABLE catalog_new(ID INTEGER PRIMARY KEY AUTOINCREMENT, Title VARCHAR(150), Description TEXT,"
       " \"Group\" VARCHAR(60), DiskYear INTEGER, DiskNum INTEGER, DiskName VARCHAR(60), Category VARCHAR(60),"
       " Narrative TEXT, PathFile VARCHAR(200), WWW VARCHAR(100), KeyWords VARCHAR(100), Extra VARCHAR(40))");
  exec(db, "INSERT INTO catalog_new SELECT * FROM catalog");
  exec(db, "DROP TABLE catalog");
  exec(db, "ALTER TABLE catalog_new RENAME TO catalog");
  exec(db, SqliteCatalogIndexes(TSqliteSchema::Eighteen));
  exec(db, "COMMIT");
  const double seconds = SecondsSince(start);
  sqlite3_stmt* select = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT ID, Title FROM catalog", -1, &select, nullptr) != SQLITE_OK) fail("sqlite: select");
  while (sqlite3_step(select) == SQLITE_ROW) {
    const auto* title = reinterpret_cast<const char*>(sqlite3_column_text(select, 1));
    ++Check.Rows;
    Check.Sum += rowHash(sqlite3_column_int64(select, 0),
                         title != nullptr ? std::string_view(title, static_cast<size_t>(sqlite3_column_bytes(select, 1)))
                                          : std::string_view());
  }
  sqlite3_finalize(select);
  if (sqlite3_close(db) != SQLITE_OK) fail("sqlite: close");
  return seconds;
}

// The change through the table component, timed; the check read after it.
double engineRestructure(const std::string& Path, const TCatalogRowSet& Rows, uint8_t Compression, TCheck& Check) {
  storage::ScopedStorageEngine engine;
  {
    TBenchDataset creator(Path, Compression);
    storage::TEdbDataManager& table = CreateCatalogTable(Path, creator);
    if (table.ConnectDataset(creator) != storage::otrOk) fail("cannot open the new table");
    InsertCatalogRows(table, Rows);
    table.DisconnectDataset(creator);
  }
  dataset::TEdbTable table;
  table.SetDatabaseFileName(Path);
  table.SetTableName("CDCatalog");
  const auto level = static_cast<codec::TCompressionLevel>(Compression);
  table.SetBLOBCompression(level);
  const auto start = Clock::now();
  table.UpdateFieldDefs();
  table.UpdateIndexDefs();
  toolkit::TFieldDefs fields = table.FieldDefs();
  for (toolkit::TFieldDef& field : fields)
    if (field.Name == "Title") field.Size = 150;
  fields.push_back({"Extra", toolkit::ftString, 40, false});
  table.FieldDefs() = fields;
  table.SetIndexDefs(table.VisibleIndexDefs());
  table.RestructureTable(false, "", level, 512);
  const double seconds = SecondsSince(start);
  table.Open();
  toolkit::TField& id = table.FieldByName("ID");
  toolkit::TField& title = table.FieldByName("Title");
  for (table.First(); !table.Eof(); table.Next()) {
    ++Check.Rows;
    Check.Sum += rowHash(id.AsInteger(), platform::FromAnsi(title.AsString()));
  }
  table.Close();
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const TCatalogBenchArgs args = ParseCatalogBenchArgs(argc, argv, {100000, 1000000},
                                                      "bench_restructure [-s SEED] [-c LEVEL] [-d FOLDER] [N ...]");
  platform::ScopedEngineCollation collation("ru_RU");
  for (const int64_t n : args.Sizes) {
    const std::string tag = SizeTag(n);
    const std::string sqlitePath = platform::JoinPath(args.Folder, "bench_restructure.sqlite");
    TCheck sqliteCheck;
    double sqlite = 0;
    {
      TCatalogRowSet rows(true, true);
      GenerateCatalogRows(n, args.Seed, rows);
      (void)SqliteInsertCatalog(sqlitePath, rows, TSqliteSchema::Eighteen);
      sqlite = sqliteRestructure(sqlitePath, sqliteCheck);
      SqliteRemove(sqlitePath);
    }
    PrintFigure("sqlite18_restructure_" + tag, sqlite, "s");
    PrintFigure("sqlite18_rows_" + tag, static_cast<double>(sqliteCheck.Rows), "check");
    std::printf("sqlite18_checksum_%s\t%016llx\tcheck\n", tag.c_str(), static_cast<unsigned long long>(sqliteCheck.Sum));

    const std::string path = platform::JoinPath(args.Folder, "bench_restructure.edb");
    TCheck tableCheck;
    double table = 0;
    {
      TCatalogRowSet rows(false, true);
      GenerateCatalogRows(n, args.Seed, rows);
      table = engineRestructure(path, rows, args.Compression, tableCheck);
    }
    std::filesystem::remove(path);
    PrintFigure("table_restructure_" + tag, table, "s");
    PrintFigure("table_rows_" + tag, static_cast<double>(tableCheck.Rows), "check");
    std::printf("table_checksum_%s\t%016llx\tcheck\n", tag.c_str(), static_cast<unsigned long long>(tableCheck.Sum));
    std::fflush(stdout);
    PrintFigure("ratio_restructure_vs_sqlite18_" + tag, table / sqlite, "x");
    if (tableCheck.Rows != sqliteCheck.Rows || tableCheck.Sum != sqliteCheck.Sum) fail("the checks differ");
  }
  return 0;
}
