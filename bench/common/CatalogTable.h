#pragma once
// The catalogue table of the workload in the engine: the fields of CDCatalog (both optional
// fields present), its index IndexTree, and the rows written into it as the application's scan
// would store them (empty texts as NULL, memo texts as BLOB values when the row set keeps them).

#include "CatalogWorkload.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"
#include "toolkit/TFieldDefs.h"
#include "toolkit/TMemoryStream.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tesvar::bench {

inline toolkit::TFieldDefs CatalogTableFields() {
  using namespace toolkit;
  return {{"ID", ftAutoInc, 0, true},         {"Title", ftString, 100, true},   {"Description", ftFmtMemo},
          {"Group", ftString, 60},            {"DiskYear", ftInteger},          {"DiskNum", ftInteger},
          {"DiskName", ftString, 60},         {"Category", ftString, 60},       {"Narrative", ftFmtMemo},
          {"PathFile", ftString, 200},        {"WWW", ftString, 100},           {"KeyWords", ftString, 100}};
}

inline toolkit::TIndexDefs CatalogTableIndexes() {
  const std::string fields = "Category;DiskYear;Group;DiskNum;DiskName";
  return {{"IndexTree", fields, fields, "", toolkit::ixDescending}};
}

// A new single-file database at Path (a file already there is removed) holding the empty
// catalogue table, made for Creator (its BLOB compression and block size), which must outlive
// the table's use; the table's manager, not yet connected. The storage engine must be running.
inline storage::TEdbDataManager& CreateCatalogTable(const std::string& Path, toolkit::IEdbDataset& Creator) {
  std::filesystem::remove(Path);
  {
    storage::TEdbDatabase database;
    database.CreateDatabase(Path);
  }
  storage::TEdbDatabaseManager& manager = storage::edGetDatabaseManager(Path, &Creator);
  storage::edGetDataManager("CDCatalog", &manager)
      .CreateTable(CatalogTableFields(), CatalogTableIndexes(), 1000, true, &Creator);
  return storage::edGetDataManager("CDCatalog", &manager);
}

// Inserts every row of Rows (Windows-1251) into Table, a table of CatalogTableFields; memo texts
// of the rows (a set made with KeepMemos) go in as the records' BLOB values.
inline void InsertCatalogRows(storage::TEdbDataManager& Table, const TCatalogRowSet& Rows) {
  using R = TCatalogRowSet;
  const std::vector<uint8_t> fresh = Table.NewRecordBuffer();
  std::vector<uint8_t> record = fresh;
  uint8_t* nulls = record.data() + Table.DataSize() + 4;
  auto notNull = [&](int32_t Field) { nulls[Field / 8] &= static_cast<uint8_t>(~(1u << (Field % 8))); };
  auto put = [&](int32_t Field, const void* Data, size_t Size) {
    std::memcpy(record.data() + Table.FieldOffset(Field), Data, Size);
    notNull(Field);
  };
  // The table's field numbers are the row set's: the ID field has no field header.
  const R::TField texts[] = {R::cfTitle, R::cfGroup, R::cfDiskName, R::cfCategory, R::cfPathFile, R::cfWWW, R::cfKeyWords};
  const R::TField memos[] = {R::cfDescription, R::cfNarrative};
  toolkit::TMemoryStream stream;
  for (int64_t r = 0; r < Rows.Count(); ++r) {
    std::memcpy(record.data(), fresh.data(), record.size());
    for (R::TField f : texts) {
      const std::string_view text = Rows.Text(r, f);
      if (!text.empty()) put(f, text.data(), text.size());  // empty texts are stored as NULL
    }
    for (R::TField f : memos) {
      if (!Rows.Text(r, f).empty()) notNull(f);
    }
    const int32_t year = Rows.DiskYear(r);
    const int32_t num = Rows.DiskNum(r);
    put(R::cfDiskYear, &year, 4);
    put(R::cfDiskNum, &num, 4);
    // Every record has its group in the BLOB directory, with values or without.
    if (Table.HasBLOBFields()) Table.edAddBLOBRecord();
    Table.edInsertRecord(record.data(), 0);
    for (R::TField f : memos) {
      const std::string_view text = Rows.Text(r, f);
      if (text.empty()) continue;
      stream = toolkit::TMemoryStream(std::vector<uint8_t>(text.begin(), text.end()));
      Table.WriteBLOBValue(stream, f, Table.RecordCount() - 1);
    }
  }
}

}  // namespace tesvar::bench
