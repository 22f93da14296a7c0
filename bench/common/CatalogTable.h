#pragma once
// The catalogue table of the workload in the engine: the fields of CDCatalog (both optional
// fields present), its index IndexTree, and the rows written into it as the application's scan
// would store them (empty texts as NULL, the memo fields empty).

#include "CatalogWorkload.h"
#include "storage/TEdbDataManager.h"
#include "toolkit/TFieldDefs.h"

#include <cstring>
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

// Inserts every row of Rows (Windows-1251) into Table, a table of CatalogTableFields.
inline void InsertCatalogRows(storage::TEdbDataManager& Table, const TCatalogRowSet& Rows) {
  using R = TCatalogRowSet;
  const std::vector<uint8_t> fresh = Table.NewRecordBuffer();
  std::vector<uint8_t> record = fresh;
  uint8_t* nulls = record.data() + Table.DataSize() + 4;
  auto put = [&](int32_t Field, const void* Data, size_t Size) {
    std::memcpy(record.data() + Table.FieldOffset(Field), Data, Size);
    nulls[Field / 8] &= static_cast<uint8_t>(~(1u << (Field % 8)));
  };
  // The table's field numbers are the row set's: the ID field has no field header.
  const R::TField texts[] = {R::cfTitle, R::cfGroup, R::cfDiskName, R::cfCategory, R::cfPathFile, R::cfWWW, R::cfKeyWords};
  for (int64_t r = 0; r < Rows.Count(); ++r) {
    std::memcpy(record.data(), fresh.data(), record.size());
    for (R::TField f : texts) {
      const std::string_view text = Rows.Text(r, f);
      if (!text.empty()) put(f, text.data(), text.size());  // empty texts are stored as NULL
    }
    const int32_t year = Rows.DiskYear(r);
    const int32_t num = Rows.DiskNum(r);
    put(R::cfDiskYear, &year, 4);
    put(R::cfDiskNum, &num, 4);
    // The memo fields stay NULL, but every record has its group in the BLOB directory.
    if (Table.HasBLOBFields()) Table.edAddBLOBRecord();
    Table.edInsertRecord(record.data(), 0);
  }
}

}  // namespace tesvar::bench
