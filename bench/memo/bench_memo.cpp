// BLOB values of a table in a single-file database beside SQLite storing the same values in a
// BLOB column: N memo values written (with their records), read back, and a tenth of them
// replaced, at growing N. The time per value shows whether a table's BLOB costs grow with the
// number of values it already holds.
//
//   bench_memo [folder] [level]     (level: the table's BLOB compression, 0-3, default 1)

#include "BenchSupport.h"
#include "platform/Paths.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"
#include "toolkit/TMemoryStream.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

using namespace tesvar;
using namespace tesvar::storage;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_memo: %s\n", What.c_str());
  std::exit(1);
}

void print(const std::string& Name, double Value, const char* Unit) {
  std::printf("%s\t%.6g\t%s\n", Name.c_str(), Value, Unit);
  std::fflush(stdout);
}

double seconds(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

// Memo texts of 50..2000 bytes from a fixed vocabulary.
std::vector<std::string> memos(int32_t N, uint32_t Seed) {
  const char* words[] = {"диск", "сборник", "программа", "драйвер", "описание", "версия", "установка",
                         "журнал", "игра", "архив", "music", "video", "setup", "readme", "2004", "—"};
  std::mt19937 rng(Seed);
  std::vector<std::string> out(static_cast<size_t>(N));
  for (std::string& s : out) {
    const size_t size = 50 + rng() % 1950;
    while (s.size() < size) {
      s += words[rng() % 16];
      s += ' ';
    }
  }
  return out;
}

struct Times {
  double Write = 0, Read = 0, Replace = 0;
  int64_t Bytes = 0;
};

void sqliteExec(sqlite3* Db, const char* Sql) {
  char* error = nullptr;
  if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) fail(std::string("sqlite: ") + (error ? error : ""));
}

Times runSqlite(const std::string& Path, const std::vector<std::string>& Values, const std::vector<std::string>& New,
                const std::vector<int32_t>& Replaced) {
  for (const char* ext : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(Path + ext);
  Times t;
  sqlite3* db = nullptr;
  if (sqlite3_open(Path.c_str(), &db) != SQLITE_OK) fail("sqlite open");
  sqliteExec(db, "PRAGMA page_size=4096; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  sqliteExec(db, "CREATE TABLE T(id INTEGER PRIMARY KEY, name TEXT, notes BLOB)");
  auto start = Clock::now();
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO T(name, notes) VALUES(?, ?)", -1, &insert, nullptr);
  sqliteExec(db, "BEGIN");
  for (size_t i = 0; i < Values.size(); ++i) {
    sqlite3_bind_text(insert, 1, "name", 4, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, Values[i].data(), static_cast<int>(Values[i].size()), SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) fail("sqlite insert");
    sqlite3_reset(insert);
  }
  sqliteExec(db, "COMMIT");
  sqlite3_finalize(insert);
  t.Write = seconds(start);
  start = Clock::now();
  sqlite3_stmt* select = nullptr;
  sqlite3_prepare_v2(db, "SELECT notes FROM T ORDER BY id", -1, &select, nullptr);
  int64_t bytes = 0;
  while (sqlite3_step(select) == SQLITE_ROW) bytes += sqlite3_column_bytes(select, 0);
  sqlite3_finalize(select);
  t.Read = seconds(start);
  if (bytes <= 0) fail("sqlite read nothing");
  start = Clock::now();
  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(db, "UPDATE T SET notes = ? WHERE id = ?", -1, &update, nullptr);
  sqliteExec(db, "BEGIN");
  for (size_t i = 0; i < Replaced.size(); ++i) {
    sqlite3_bind_blob(update, 1, New[i].data(), static_cast<int>(New[i].size()), SQLITE_STATIC);
    sqlite3_bind_int(update, 2, Replaced[i] + 1);
    if (sqlite3_step(update) != SQLITE_DONE) fail("sqlite update");
    sqlite3_reset(update);
  }
  sqliteExec(db, "COMMIT");
  sqlite3_finalize(update);
  sqlite3_close(db);
  t.Replace = seconds(start);
  t.Bytes = static_cast<int64_t>(std::filesystem::file_size(Path));
  return t;
}

Times runEngine(const std::string& Path, uint8_t Level, const std::vector<std::string>& Values,
                const std::vector<std::string>& New, const std::vector<int32_t>& Replaced) {
  std::filesystem::remove(Path);
  Times t;
  ScopedStorageEngine engine;
  {
    TEdbDatabase creator;
    creator.CreateDatabase(Path);
  }
  bench::TBenchDataset dataset(Path, Level);
  TEdbDatabaseManager& database = edGetDatabaseManager(Path, &dataset);
  edGetDataManager("T", &database)
      .CreateTable({{"Name", toolkit::ftString, 20, false}, {"Notes", toolkit::ftMemo, 0, false}}, {}, 1000, false,
                   &dataset);
  auto open = [&]() -> TEdbDataManager& {
    TEdbDataManager& m = edGetDataManager("T", &database);
    if (m.ConnectDataset(dataset) != otrOk) fail("cannot open the table");
    return m;
  };
  auto start = Clock::now();
  {
    TEdbDataManager& m = open();
    std::vector<uint8_t> record = m.NewRecordBuffer();
    std::memcpy(record.data(), "name", 4);
    record[static_cast<size_t>(m.DataSize() + 4)] = 0;
    toolkit::TMemoryStream stream;
    for (const std::string& v : Values) {
      m.DisableAutoFlush();
      m.edAddBLOBRecord();
      stream.Clear();
      stream.Write(v.data(), v.size());
      m.WriteBLOBValue(stream, 1, m.RecordCount());
      m.edInsertRecord(record.data(), 0);
      m.EnableAutoFlush(true);
    }
    m.DisconnectDataset(dataset);
  }
  t.Write = seconds(start);
  start = Clock::now();
  {
    TEdbDataManager& m = open();
    toolkit::TMemoryStream stream;
    int64_t bytes = 0;
    for (int32_t r = 0; r < m.RecordCount(); ++r) {
      m.ReadBLOBValue(stream, 1, r);
      bytes += stream.Size();
    }
    if (bytes <= 0) fail("read nothing");
    t.Read = seconds(start);
    start = Clock::now();
    for (size_t i = 0; i < Replaced.size(); ++i) {
      stream.Clear();
      stream.Write(New[i].data(), New[i].size());
      m.WriteBLOBValue(stream, 1, Replaced[i]);
    }
    m.DisconnectDataset(dataset);
  }
  t.Replace = seconds(start);
  t.Bytes = static_cast<int64_t>(std::filesystem::file_size(Path));
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string folder = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
  const auto level = static_cast<uint8_t>(argc > 2 ? std::atoi(argv[2]) : 1);
  for (int32_t n : {20000, 200000}) {
    const std::vector<std::string> values = memos(n, 1);
    const std::vector<std::string> fresh = memos(n / 10, 2);
    std::vector<int32_t> replaced(fresh.size());
    std::mt19937 rng(3);
    for (int32_t& r : replaced) r = static_cast<int32_t>(rng() % static_cast<uint32_t>(n));
    const std::string tag = std::to_string(n);
    const Times s = runSqlite(platform::JoinPath(folder, "bench_memo.sqlite"), values, fresh, replaced);
    const Times e = runEngine(platform::JoinPath(folder, "bench_memo.edb"), level, values, fresh, replaced);
    print("sqlite_write_" + tag, s.Write, "s");
    print("edb_write_" + tag, e.Write, "s");
    print("ratio_write_" + tag, e.Write / s.Write, "x");
    print("edb_write_per_value_" + tag, e.Write / n * 1e6, "us");
    print("sqlite_read_" + tag, s.Read, "s");
    print("edb_read_" + tag, e.Read, "s");
    print("ratio_read_" + tag, e.Read / s.Read, "x");
    print("sqlite_replace_tenth_" + tag, s.Replace, "s");
    print("edb_replace_tenth_" + tag, e.Replace, "s");
    print("ratio_replace_" + tag, e.Replace / s.Replace, "x");
    print("edb_replace_per_value_" + tag, e.Replace / static_cast<double>(replaced.size()) * 1e6, "us");
    print("sqlite_file_" + tag, static_cast<double>(s.Bytes), "bytes");
    print("edb_file_" + tag, static_cast<double>(e.Bytes), "bytes");
  }
  return 0;
}
