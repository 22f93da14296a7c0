#pragma once
// Byte layout of a table's BLOB files. Every integer is little-endian.
//
// T.bdf: an array of blocks of BLOBBlockSize bytes; block b starts at b x BLOBBlockSize. A value
// occupies one or more parts (runs of consecutive blocks), filled in part order.
//
// T.bif (tables of a version from kCompressedDirectoryVersion on): an int32 L, then the L-byte
// directory block compressed as one zlib stream (clFastest); bytes after the stream are ignored.
// Tables below kUncompressedDirectoryVersion keep the directory block uncompressed as the whole
// file; versions in between are refused.
//
// Directory block:
//   file header (24 bytes)                BLOB header (32 bytes, one per record and BLOB field)
//   off size                              off size
//    0   4  BLOBBlockSize  int32           0   4  PartCount    int32, 0 = no value
//    4   4  FreePartCount  int32           4   4  PartsOffset  int32, from the block's start
//    8   4  BLOBFieldCount int32           8   4  StoredSize   int32, compressed and enciphered
//   12   4  RecordCount    int32          12   4  Size         int32, the value's own bytes
//   16   8  Version        double         16  13  CRC          ShortString[12]
//                                         29   3  reserved
//   then RecordCount x BLOBFieldCount headers (record 0's group first, fields in field order),
//   then each header's PartCount parts in header order (PartsOffset points at them), then
//   FreePartCount free parts ending exactly at the end of the block.
//   part (8 bytes): FirstBlock int32, BlockCount int32.
//
// A graphic value handed in with its 8-byte graphic header (01 00 00 01, 4 bytes, then a bitmap
// starting "BM") is stored without that header.

#include <cstdint>

namespace tesvar::storage::blobformat {

inline constexpr int32_t kDefaultBlockSize = 512;

inline constexpr double kCompressedDirectoryVersion = 2.199;
inline constexpr double kUncompressedDirectoryVersion = 1.249;
// T.bif starts with the length of the uncompressed directory block.
inline constexpr int32_t kLengthPrefixSize = 4;

inline constexpr int32_t kFileHeaderSize = 24;
inline constexpr int32_t kFHBlockSize = 0;
inline constexpr int32_t kFHFreePartCount = 4;
inline constexpr int32_t kFHFieldCount = 8;
inline constexpr int32_t kFHRecordCount = 12;
inline constexpr int32_t kFHVersion = 16;

inline constexpr int32_t kHeaderSize = 32;
inline constexpr int32_t kBHPartCount = 0;
inline constexpr int32_t kBHPartsOffset = 4;
inline constexpr int32_t kBHStoredSize = 8;
inline constexpr int32_t kBHSize = 12;
inline constexpr int32_t kBHCrc = 16;
inline constexpr int32_t kCrcCapacity = 12;
inline constexpr int32_t kCrcBytes = kCrcCapacity + 1;

inline constexpr int32_t kPartSize = 8;
inline constexpr int32_t kPartFirstBlock = 0;
inline constexpr int32_t kPartBlockCount = 4;

// The graphic header in front of a bitmap.
inline constexpr int32_t kGraphicHeaderSize = 8;
inline constexpr int32_t kGraphicMinSize = 10;
inline constexpr uint8_t kGraphicSignature[4] = {0x01, 0x00, 0x00, 0x01};
inline constexpr uint8_t kBitmapSignature[2] = {'B', 'M'};

}  // namespace tesvar::storage::blobformat
