// Editing through a dataset at scale: the catalogue workload's rows appended to the catalogue
// table (CDCatalog's fields with their memo texts, AutoIndexes on: eighteen indexes) through
// Append, field assignments and Post; then the workload's f_update (PathFile "E:\..." becomes
// "F:\...") by walking the dataset and editing each such record, and its g_delete (10 % of the
// IDs in the workload's order) by going to each record by bookmark and deleting it; each phase
// ends with the table's log flushed and committed. Beside it SQLite with the same eighteen
// indexes: the rows inserted in one transaction, the f_update statement and the g_delete
// transaction.
//
// Usage: bench_edit [-s SEED] [-c LEVEL] [-d FOLDER] [N ...]   (default: -s 42 -c 0 -d . 100000)
//   -c  BLOB compression level of the table (0..3)
// Output: name<TAB>value<TAB>unit lines. Check values from both sides: rows inserted, rows
// updated (the workload's f_update_rows), rows deleted and their ID sum (g_delete_rows,
// g_delete_idsum).

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
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace tesvar;
using namespace tesvar::bench;
using namespace tesvar::storage;
using Clock = std::chrono::steady_clock;
using R = TCatalogRowSet;

[[noreturn]] void fail(const std::string& What) {
  std::fprintf(stderr, "bench_edit: %s\n", What.c_str());
  std::exit(1);
}

struct TPhases {
  double Insert = 0;
  double Update = 0;
  double Delete = 0;
};

void createTable(const std::string& Path, uint8_t Compression) {
  TBenchDataset dataset(Path, Compression);
  (void)CreateCatalogTable(Path, dataset);
}

TPhases engineSide(const std::string& Path, const TCatalogRowSet& Rows, const std::vector<int64_t>& DeleteIds,
                   uint8_t Compression, const std::string& Tag) {
  ScopedStorageEngine engine;
  createTable(Path, Compression);
  dataset::TEdbDataset data;
  data.SetDatabaseFileName(Path);
  data.SetTableName("CDCatalog");
  data.SetBLOBCompression(Compression);
  data.Open();
  PrintFigure("table_indexes_" + Tag, data.DataManager()->IndexCount(), "check");
  const R::TField order[] = {R::cfTitle,    R::cfDescription, R::cfGroup,    R::cfDiskYear,
                             R::cfDiskNum,  R::cfDiskName,    R::cfCategory, R::cfNarrative,
                             R::cfPathFile, R::cfWWW,         R::cfKeyWords};
  // Dataset field k + 1 is row field k (the record-ID field comes last).
  std::vector<toolkit::TField*> fields;
  for (int32_t k = 0; k < R::kFieldCount; ++k) fields.push_back(&data.Fields()[k]);
  TPhases phases;

  const auto inserting = Clock::now();
  for (int64_t r = 0; r < Rows.Count(); ++r) {
    data.Append();
    for (const R::TField f : order) {
      if (f == R::cfDiskYear) {
        fields[f]->SetAsInteger(Rows.DiskYear(r));
      } else if (f == R::cfDiskNum) {
        fields[f]->SetAsInteger(Rows.DiskNum(r));
      } else {
        const std::string_view text = Rows.Text(r, f);
        if (!text.empty()) fields[f]->SetAsString(std::string(text));  // empty texts stay NULL
      }
    }
    data.Post();
  }
  data.DataManager()->FlushBuffers();
  phases.Insert = SecondsSince(inserting);
  PrintFigure("table_insert_" + Tag, phases.Insert, "s");
  PrintFigure("table_insert_rows_" + Tag, data.RecordCount(), "check");

  toolkit::TField& pathFile = *fields[R::cfPathFile];
  int64_t updated = 0;
  const auto updating = Clock::now();
  for (data.First(); !data.Eof(); data.Next()) {
    const std::string path = pathFile.AsString();
    if (path.compare(0, 3, "E:\\") != 0) continue;
    data.Edit();
    pathFile.SetAsString("F:\\" + path.substr(3));
    data.Post();
    ++updated;
  }
  data.DataManager()->FlushBuffers();
  phases.Update = SecondsSince(updating);
  PrintFigure("table_f_update_" + Tag, phases.Update, "s");
  PrintFigure("table_f_update_rows_" + Tag, static_cast<double>(updated), "check");

  toolkit::TField& id = data.Fields()[R::kFieldCount];
  int64_t deleted = 0;
  int64_t idSum = 0;
  const auto deleting = Clock::now();
  for (const int64_t i : DeleteIds) {
    toolkit::TBookmark bookmark(8, 0);
    const auto value = static_cast<int32_t>(i);
    std::memcpy(bookmark.data(), &value, sizeof value);
    data.GotoBookmark(bookmark);
    if (id.AsInteger() != value) fail("no record with ID " + std::to_string(i));
    data.Delete();
    ++deleted;
    idSum += i;
  }
  data.DataManager()->FlushBuffers();
  phases.Delete = SecondsSince(deleting);
  PrintFigure("table_g_delete_" + Tag, phases.Delete, "s");
  PrintFigure("table_g_delete_rows_" + Tag, static_cast<double>(deleted), "check");
  PrintFigure("table_g_delete_idsum_" + Tag, static_cast<double>(idSum), "check");
  if (data.RecordCount() != Rows.Count() - deleted) fail("record count after the deletes");
  data.Close();
  return phases;
}

}  // namespace

int main(int argc, char** argv) {
  const TCatalogBenchArgs args = ParseCatalogBenchArgs(argc, argv, {100000},
                                                      "bench_edit [-s SEED] [-c LEVEL] [-d FOLDER] [N ...]");
  const uint64_t seed = args.Seed;
  const uint8_t compression = args.Compression;
  const std::string& folder = args.Folder;
  platform::ScopedEngineCollation collation("ru_RU");
  for (const int64_t n : args.Sizes) {
    const std::string tag = SizeTag(n);
    const std::vector<int64_t> deleteIds = CatalogDeleteIds(n, seed);

    const std::string sqlitePath = platform::JoinPath(folder, "bench_edit.sqlite");
    TPhases sqlite;
    {
      TCatalogRowSet rows(true, true);
      GenerateCatalogRows(n, seed, rows);
      const TSqliteInsertTimes insert = SqliteInsertCatalog(sqlitePath, rows, TSqliteSchema::Eighteen);
      sqlite.Insert = insert.Insert;
      PrintFigure("sqlite18_a1_insert_1txn_" + tag, insert.Insert, "s");
      const TSqliteChangeFigures update = SqliteUpdatePaths(sqlitePath);
      sqlite.Update = update.Seconds;
      PrintFigure("sqlite18_f_update_" + tag, update.Seconds, "s");
      PrintFigure("f_update_rows_" + tag, static_cast<double>(update.Rows), "check");
      const TSqliteChangeFigures del = SqliteDeleteIds(sqlitePath, deleteIds);
      sqlite.Delete = del.Seconds;
      PrintFigure("sqlite18_g_delete_" + tag, del.Seconds, "s");
      PrintFigure("g_delete_rows_" + tag, static_cast<double>(del.Rows), "check");
      PrintFigure("g_delete_idsum_" + tag, static_cast<double>(del.IdSum), "check");
      SqliteRemove(sqlitePath);
    }

    const std::string path = platform::JoinPath(folder, "bench_edit.edb");
    TPhases table;
    {
      TCatalogRowSet rows(false, true);
      GenerateCatalogRows(n, seed, rows);
      table = engineSide(path, rows, deleteIds, compression, tag);
    }
    std::filesystem::remove(path);
    PrintFigure("ratio_insert_vs_sqlite18_" + tag, table.Insert / sqlite.Insert, "x");
    PrintFigure("ratio_f_update_vs_sqlite18_" + tag, table.Update / sqlite.Update, "x");
    PrintFigure("ratio_g_delete_vs_sqlite18_" + tag, table.Delete / sqlite.Delete, "x");
  }
  return 0;
}
