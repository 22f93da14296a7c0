#include "SqliteCatalog.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace tesvar::bench {

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

[[noreturn]] void die(sqlite3* Db, const std::string& What) {
  std::fprintf(stderr, "sqlite: %s: %s\n", What.c_str(), Db != nullptr ? sqlite3_errmsg(Db) : "?");
  std::exit(1);
}

void exec(sqlite3* Db, const std::string& Sql) {
  char* error = nullptr;
  if (sqlite3_exec(Db, Sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s: %s\n", Sql.c_str(), error != nullptr ? error : "?");
    std::exit(1);
  }
}

sqlite3* openDatabase(const std::string& Path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(Path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
    die(db, "open " + Path);
  exec(db, "PRAGMA journal_mode=WAL");
  exec(db, "PRAGMA synchronous=NORMAL");
  return db;
}

int64_t fileBytes(const std::string& Path) {
  std::error_code error;
  int64_t bytes = 0;
  for (const std::string& p : {Path, Path + "-wal"}) {
    const auto size = std::filesystem::file_size(p, error);
    if (!error) bytes += static_cast<int64_t>(size);
  }
  return bytes;
}

std::string schema(TSqliteSchema Schema) {
  std::string sql =
      "CREATE TABLE catalog(ID INTEGER PRIMARY KEY AUTOINCREMENT, Title TEXT, Description TEXT, \"Group\" TEXT,"
      " DiskYear INTEGER, DiskNum INTEGER, DiskName TEXT, Category TEXT, Narrative TEXT, PathFile TEXT, WWW TEXT,"
      " KeyWords TEXT);";
  return sql + SqliteCatalogIndexes(Schema);
}

}  // namespace

std::string SqliteCatalogIndexes(TSqliteSchema Schema) {
  std::string sql =
      "CREATE INDEX catalog_tree ON catalog(Category DESC, DiskYear DESC, \"Group\" DESC, DiskNum DESC,"
      " DiskName DESC);";
  if (Schema == TSqliteSchema::Eighteen) {
    for (const char* field : {"Title", "\"Group\"", "DiskName", "Category", "PathFile", "WWW", "KeyWords"}) {
      std::string name = field;
      if (name.front() == '"') name = name.substr(1, name.size() - 2);
      sql += "CREATE INDEX ci_" + name + " ON catalog(" + field + " COLLATE NOCASE);";
      sql += "CREATE INDEX cs_" + name + " ON catalog(" + field + ");";
    }
    sql += "CREATE INDEX i_DiskYear ON catalog(DiskYear); CREATE INDEX i_DiskNum ON catalog(DiskNum);";
  }
  return sql;
}

void SqliteRemove(const std::string& Path) {
  std::error_code error;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(Path + suffix, error);
}

TSqliteInsertTimes SqliteInsertCatalog(const std::string& Path, const TCatalogRowSet& Rows, TSqliteSchema Schema) {
  using R = TCatalogRowSet;
  SqliteRemove(Path);
  sqlite3* db = openDatabase(Path);
  exec(db, schema(Schema));
  sqlite3_stmt* insert = nullptr;
  const char* sql =
      "INSERT INTO catalog(Title, Description, \"Group\", DiskYear, DiskNum, DiskName, Category, Narrative, PathFile,"
      " WWW, KeyWords) VALUES(?,?,?,?,?,?,?,?,?,?,?)";
  if (sqlite3_prepare_v2(db, sql, -1, &insert, nullptr) != SQLITE_OK) die(db, sql);
  TSqliteInsertTimes t;
  const auto start = Clock::now();
  const std::clock_t cpuStart = std::clock();
  exec(db, "BEGIN");
  for (int64_t r = 0; r < Rows.Count(); ++r) {
    for (int32_t f = 0; f < R::kFieldCount; ++f) {
      if (f == R::cfDiskYear || f == R::cfDiskNum) {
        sqlite3_bind_int(insert, f + 1, f == R::cfDiskYear ? Rows.DiskYear(r) : Rows.DiskNum(r));
      } else {
        const std::string_view text = Rows.Text(r, static_cast<R::TField>(f));
        sqlite3_bind_text(insert, f + 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
      }
    }
    if (sqlite3_step(insert) != SQLITE_DONE) die(db, "insert");
    sqlite3_reset(insert);
  }
  exec(db, "COMMIT");
  t.Insert = since(start);
  t.InsertCpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  sqlite3_finalize(insert);
  const auto closing = Clock::now();
  if (sqlite3_close(db) != SQLITE_OK) die(db, "close");
  t.Close = since(closing);
  t.FileBytes = fileBytes(Path);
  return t;
}

double SqliteOpenFirstQuery(const std::string& Path) {
  const auto start = Clock::now();
  sqlite3* db = openDatabase(Path);
  sqlite3_stmt* probe = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT ID FROM catalog WHERE ID=1", -1, &probe, nullptr) != SQLITE_OK) die(db, "prepare");
  if (sqlite3_step(probe) != SQLITE_ROW) die(db, "first query");
  const double t = since(start);
  sqlite3_finalize(probe);
  sqlite3_close(db);
  return t;
}

namespace {

// Steps Statement to its end, adding every row's ID (column 0) and the bytes of all its columns
// as text to Figures.
void fetchAll(sqlite3* Db, sqlite3_stmt* Statement, TSqliteReadFigures& Figures) {
  const int columns = sqlite3_column_count(Statement);
  int rc;
  while ((rc = sqlite3_step(Statement)) == SQLITE_ROW) {
    ++Figures.Rows;
    Figures.IdSum += sqlite3_column_int64(Statement, 0);
    for (int c = 0; c < columns; ++c) {
      if (sqlite3_column_text(Statement, c) != nullptr) Figures.Bytes += sqlite3_column_bytes(Statement, c);
    }
  }
  if (rc != SQLITE_DONE) die(Db, "step");
}

}  // namespace

TSqliteReadFigures SqliteReadTree(const std::string& Path) {
  sqlite3* db = openDatabase(Path);
  sqlite3_stmt* select = nullptr;
  const char* sql =
      "SELECT * FROM catalog ORDER BY Category DESC, DiskYear DESC, \"Group\" DESC, DiskNum DESC, DiskName DESC";
  if (sqlite3_prepare_v2(db, sql, -1, &select, nullptr) != SQLITE_OK) die(db, sql);
  TSqliteReadFigures f;
  const auto start = Clock::now();
  fetchAll(db, select, f);
  f.Seconds = since(start);
  sqlite3_finalize(select);
  sqlite3_close(db);
  return f;
}

TSqliteReadFigures SqliteLookups(const std::string& Path, const std::vector<int64_t>& Ids) {
  sqlite3* db = openDatabase(Path);
  sqlite3_stmt* select = nullptr;
  const char* sql = "SELECT * FROM catalog WHERE ID=?";
  if (sqlite3_prepare_v2(db, sql, -1, &select, nullptr) != SQLITE_OK) die(db, sql);
  TSqliteReadFigures f;
  const auto start = Clock::now();
  for (const int64_t id : Ids) {
    sqlite3_bind_int64(select, 1, id);
    fetchAll(db, select, f);
    sqlite3_reset(select);
  }
  f.Seconds = since(start);
  // The workload's idsum is over the IDs looked up (all of them exist).
  sqlite3_finalize(select);
  sqlite3_close(db);
  return f;
}

}  // namespace tesvar::bench

namespace tesvar::bench {

TSqliteChangeFigures SqliteUpdatePaths(const std::string& Path) {
  sqlite3* db = openDatabase(Path);
  TSqliteChangeFigures figures;
  const auto start = Clock::now();
  exec(db, "UPDATE catalog SET PathFile = 'F:\\' || substr(PathFile, 4) WHERE substr(PathFile, 1, 3) = 'E:\\'");
  figures.Seconds = since(start);
  figures.Rows = sqlite3_changes64(db);
  sqlite3_close(db);
  return figures;
}

TSqliteChangeFigures SqliteDeleteIds(const std::string& Path, const std::vector<int64_t>& Ids) {
  sqlite3* db = openDatabase(Path);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "DELETE FROM catalog WHERE ID=?", -1, &statement, nullptr) != SQLITE_OK)
    die(db, "prepare delete");
  TSqliteChangeFigures figures;
  const auto start = Clock::now();
  exec(db, "BEGIN");
  for (const int64_t id : Ids) {
    sqlite3_bind_int64(statement, 1, id);
    if (sqlite3_step(statement) != SQLITE_DONE) die(db, "delete");
    sqlite3_reset(statement);
    if (sqlite3_changes(db) == 1) {
      ++figures.Rows;
      figures.IdSum += id;
    }
  }
  exec(db, "COMMIT");
  figures.Seconds = since(start);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return figures;
}

}  // namespace tesvar::bench
