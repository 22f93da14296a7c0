#pragma once
// Record-buffer helpers shared by the dataset's source files.

#include "storage/TEdbDataManager.h"
#include "storage/TableFormat.h"

#include <cstdint>

namespace tesvar::dataset::detail {

// The null flag of table field FieldNo in a stored-record image (bit set = NULL).
inline bool nullFlag(const uint8_t* Record, int32_t DataSize, int32_t FieldNo) {
  return (Record[DataSize + storage::kRecordIdSize + FieldNo / 8] >> (FieldNo % 8)) & 1;
}

inline void setNullFlag(uint8_t* Record, int32_t DataSize, int32_t FieldNo, bool Null) {
  uint8_t& b = Record[DataSize + storage::kRecordIdSize + FieldNo / 8];
  const auto bit = static_cast<uint8_t>(1u << (FieldNo % 8));
  b = Null ? static_cast<uint8_t>(b | bit) : static_cast<uint8_t>(b & ~bit);
}

// The size of the field definition of a table field: characters of a string (the stored size
// counts the terminator), bytes of ftBytes, 0 for the other types.
inline int32_t definitionSize(const storage::TFieldHeader& Header) {
  switch (Header.FieldType) {
    case toolkit::ftString: return Header.Size - 1;
    case toolkit::ftWideString: return Header.Size - 2;
    case toolkit::ftBytes: return Header.Size;
    default: return 0;
  }
}

}  // namespace tesvar::dataset::detail
