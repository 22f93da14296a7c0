#pragma once
// Byte layout of a table's data file T.dat and index file T.idx. Every integer is little-endian;
// a name is a ShortString[20]: one length byte, then 20 bytes of characters (bytes past the
// length undefined, ignored on reading).
//
// T.dat: table header, FieldCount field headers, then RecordCount records of RecordSize bytes.
//
//   table header (56 bytes)               field header (32 bytes)
//   off size                              off size
//    0   4  LastAutoInc   int32            0  21  Name       ShortString[20]
//    4  21  IDFieldName   ShortString[20] 21   1  FieldType  TFieldType code
//   25   3  reserved                      22   2  reserved
//   28   4  FieldCount    int32           24   4  Size       int32, bytes in a record
//   32   4  RecordCount   int32           28   1  Required   0/1
//   36   4  reserved                      29   3  reserved
//   40   8  Version       double
//   48   1  reserved (0)
//   49   1  BLOBCompression 0..3
//   50   1  Encrypted     0/1
//   51   1  reserved
//   52   4  ChangeCount   int32
//
// Record: field data in field order (DataSize bytes), record ID (int32), null flags (bit i mod 8
// of byte i div 8 set = field i NULL), 13-byte CRC slot (ShortString[12], encrypted tables only),
// zero padding up to RecordSize = DataSize + max(32, NullFlagsSize + 17).
//
// T.idx: header (16 bytes: ChangeCount int32, IndexCount int32, Version double), IndexCount index
// headers (Name ShortString[20]; FieldCount int32; FieldNos FieldCount x int32; AscendingBits and
// CaseInsBits (FieldCount + 7) div 8 bytes each; AllCaseInsensitive, AllDescending, and, in tables
// of a version above kIndexOptionsVersion, Options: one byte each), then, when RecordCount > 0,
// each index's RecordCount int32 record numbers in key order.

#include <cstdint>
#include <cstring>
#include <string>

namespace tesvar::storage {

// The files of table T: T + extension.
inline constexpr const char* kDatExt = ".dat";
inline constexpr const char* kIdxExt = ".idx";
inline constexpr const char* kBifExt = ".bif";
inline constexpr const char* kBdfExt = ".bdf";

inline constexpr double kCurrentVersion = 2.2;
// Tables below this version keep 8 null-flag bytes whatever their field count.
inline constexpr double kFixedNullFlagsVersion = 1.24;
inline constexpr int32_t kFixedNullFlagsSize = 8;
// Tables below this version are converted on open; above it the index file has Options bytes.
inline constexpr double kUpgradeVersion = 2.199;
inline constexpr double kIndexOptionsVersion = 2.199;
// Tables below this version get the case-insensitive automatic indexes of their text fields and
// have their date and time indexes sorted again when converted.
inline constexpr double kDateOrderVersion = 2.099;

// ShortString[20]
inline constexpr int32_t kNameCapacity = 20;
inline constexpr int32_t kNameBytes = kNameCapacity + 1;
// Field and index names are refused above this length at table creation ("@" / "@@" prefixes of
// the automatic indexes must still fit into a name).
inline constexpr int32_t kMaxFieldNameLength = 18;
inline constexpr int32_t kMaxIndexNameLength = 18;

inline constexpr int32_t kTableHeaderSize = 56;
inline constexpr int32_t kTHLastAutoInc = 0;
inline constexpr int32_t kTHIDFieldName = 4;
inline constexpr int32_t kTHFieldCount = 28;
inline constexpr int32_t kTHRecordCount = 32;
inline constexpr int32_t kTHVersion = 40;
inline constexpr int32_t kTHReservedByte = 48;
inline constexpr int32_t kTHBLOBCompression = 49;
inline constexpr int32_t kTHEncrypted = 50;
inline constexpr int32_t kTHChangeCount = 52;

inline constexpr int32_t kFieldHeaderSize = 32;
inline constexpr int32_t kFHName = 0;
inline constexpr int32_t kFHFieldType = 21;
inline constexpr int32_t kFHSize = 24;
inline constexpr int32_t kFHRequired = 28;

// Record trailer: ID, null flags, CRC slot; at least kMinTrailerSize bytes.
inline constexpr int32_t kRecordIdSize = 4;
inline constexpr int32_t kCrcSlotSize = 13;
inline constexpr int32_t kCrcTextLength = 12;
inline constexpr int32_t kMinTrailerSize = 32;
// Field sizes of a table add up to less than this (DataSize is a 16-bit number).
inline constexpr int32_t kMaxDataSize = 65536;
// Extra bytes of a dataset's record buffer past RecordSize.
inline constexpr int32_t kDatasetBufferExtra = 8;

inline constexpr int32_t kIndexFileHeaderSize = 16;
inline constexpr int32_t kIHChangeCount = 0;
inline constexpr int32_t kIHIndexCount = 4;
inline constexpr int32_t kIHVersion = 8;

// Index names: "@" + field name (record-ID index and automatic indexes), "@@" + field name
// (case-insensitive automatic indexes), "$" + ... (temporary, never stored).
inline constexpr char kAutoIndexPrefix = '@';
inline constexpr char kTemporaryIndexPrefix = '$';

// Little-endian access.
inline int32_t GetInt32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}
inline void PutInt32(uint8_t* p, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  p[0] = static_cast<uint8_t>(u);
  p[1] = static_cast<uint8_t>(u >> 8);
  p[2] = static_cast<uint8_t>(u >> 16);
  p[3] = static_cast<uint8_t>(u >> 24);
}
inline double GetDouble(const uint8_t* p) {
  uint64_t u = 0;
  for (int i = 7; i >= 0; --i) u = (u << 8) | p[i];
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}
inline void PutDouble(uint8_t* p, double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}
// A ShortString of the given capacity: at most capacity characters are kept.
inline std::string GetShortString(const uint8_t* p, int32_t capacity) {
  const int32_t length = p[0] < capacity ? p[0] : capacity;
  return std::string(reinterpret_cast<const char*>(p + 1), static_cast<size_t>(length));
}
inline void PutShortString(uint8_t* p, const std::string& s, int32_t capacity) {
  const auto length = static_cast<int32_t>(s.size() < static_cast<size_t>(capacity) ? s.size() : capacity);
  std::memset(p, 0, static_cast<size_t>(capacity) + 1);
  p[0] = static_cast<uint8_t>(length);
  std::memcpy(p + 1, s.data(), static_cast<size_t>(length));
}

}  // namespace tesvar::storage
