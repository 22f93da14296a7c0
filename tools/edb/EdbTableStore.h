#pragma once
// The table storage calls of the table commands that go beyond records and indexes: BLOB
// values (memo fields). Each is one small function, so that the commands stay the same whatever
// the storage offers underneath.

#include "storage/TEdbDataManager.h"
#include "toolkit/TMemoryStream.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tesvar::edb {

// Before a record is inserted into a table with BLOB fields: room for its BLOB values.
void AddBlobRecord(storage::TEdbDataManager& Table);
// Takes back AddBlobRecord when the insert that followed it failed.
void DropLastBlobRecord(storage::TEdbDataManager& Table);
// Frees the BLOB values of record RecNo before the record is deleted.
void DeleteBlobRecord(storage::TEdbDataManager& Table, int32_t RecNo);
// Stores Stored (engine bytes) as the value of BLOB field FieldNo of record RecNo.
void WriteBlobValue(storage::TEdbDataManager& Table, int32_t FieldNo, int32_t RecNo, const std::string& Stored);
// The value of BLOB field FieldNo of record RecNo (empty when it has none), read into Buffer,
// whose memory later reads reuse. The view is valid until Buffer changes.
std::string_view ReadBlobValue(storage::TEdbDataManager& Table, int32_t FieldNo, int32_t RecNo, toolkit::TMemoryStream& Buffer);

}  // namespace tesvar::edb
