// BLOB values for the table commands.

#include "edb/EdbTableStore.h"


namespace tesvar::edb {

using namespace tesvar::storage;

void AddBlobRecord(TEdbDataManager& Table) { Table.edAddBLOBRecord(); }

void DropLastBlobRecord(TEdbDataManager& Table) {
  // The group edAddBLOBRecord appended is the last one, RecordCount being one less.
  Table.edDeleteBLOBRecord(Table.RecordCount());
}

void DeleteBlobRecord(TEdbDataManager& Table, int32_t RecNo) { Table.edDeleteBLOBRecord(RecNo); }

void WriteBlobValue(TEdbDataManager& Table, int32_t FieldNo, int32_t RecNo, const std::string& Stored) {
  if (Stored.empty()) return;  // a new record has no value to remove
  toolkit::TMemoryStream Stream(std::vector<uint8_t>(Stored.begin(), Stored.end()));
  Table.WriteBLOBValue(Stream, FieldNo, RecNo);
}

std::string_view ReadBlobValue(TEdbDataManager& Table, int32_t FieldNo, int32_t RecNo, toolkit::TMemoryStream& Buffer) {
  Table.ReadBLOBValue(Buffer, FieldNo, RecNo);
  const std::vector<uint8_t>& Bytes = Buffer.Bytes();
  return {reinterpret_cast<const char*>(Bytes.data()), Bytes.size()};
}

}  // namespace tesvar::edb
