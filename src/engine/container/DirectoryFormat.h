#pragma once
// Directory items, directory pages and page-map pages of the container. All integers
// little-endian.
//
// Directory item (512 bytes):
//   0    4   FirstMapPageNo: first page-map page of the file, -1 when the file has no pages
//   4    8   Size in bytes (int64)
//   12   8   creation time, FILETIME (UTC)
//   20   8   last write time, FILETIME
//   28   8   last access time, FILETIME
//   36   4   Attr: 0 for files, 16 for directories
//   40   4   ParentID: item number of the containing directory, -1 for the root
//   44   4   zero
//   48   172 per-file password block (layout of the container header's block)
//   220  1   IsDirectory     221  1  Deleted     222  1  HasPassword     223  1  zero
//   224  260 FileName: own name without path, NUL-terminated, at most 259 characters
//   484  28  zero
//
// Directory page (type 1, encrypted like user data): ItemsPerDirPage = page data size div 512
// items, stored as ItemsPerDirPage * 512 data bytes; item i lives in page i div ItemsPerDirPage
// of the chain that starts at the header's FirstDirPageNo (linked by the page headers' next
// field), slot i mod ItemsPerDirPage.
//
// Page-map page (type 5, never encrypted): EntriesPerMapPage = page data size div 4 int32
// data-page numbers; entry j of a file's whole map is the page holding file bytes
// j * D .. (j + 1) * D - 1 (D = page data size). Chained by the next field, -1 on the last.
// User-file data page: type 6, encrypted by the container's encryption type.

#include "container/ContainerFormat.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tesvar::container {

// Field offsets of a directory item.
inline constexpr int kItemFirstMapPageOffset = 0;
inline constexpr int kItemSizeOffset = 4;
inline constexpr int kItemCreationTimeOffset = 12;
inline constexpr int kItemLastWriteTimeOffset = 20;
inline constexpr int kItemLastAccessTimeOffset = 28;
inline constexpr int kItemAttrOffset = 36;
inline constexpr int kItemParentIDOffset = 40;
inline constexpr int kItemPasswordBlockOffset = 48;
inline constexpr int kItemIsDirectoryOffset = 220;
inline constexpr int kItemDeletedOffset = 221;
inline constexpr int kItemHasPasswordOffset = 222;
inline constexpr int kItemFileNameOffset = 224;
inline constexpr int kItemFileNameSize = 260;  // name plus its terminating NUL

inline constexpr int32_t kRootDirectoryID = -1;
inline constexpr int kMapEntrySize = 4;

// Search attributes honoured by directory searches (hidden, system, volume, directory).
inline constexpr uint32_t kSearchAttrMask = 0x1E;
// Search attributes that take every item (read-only, hidden, system, volume, directory, archive).
inline constexpr uint32_t kSearchAnyAttr = 0x3F;

// Items per directory page and map entries per page-map page for a page data size.
constexpr int32_t ItemsPerDirPage(int32_t PageDataSize) { return PageDataSize / kDirItemSize; }
constexpr int32_t EntriesPerMapPage(int32_t PageDataSize) { return PageDataSize / kMapEntrySize; }

// One directory item in memory. Encode/Decode convert the 512-byte stored form; reserved bytes
// are written as zero.
struct TDirItem {
  int32_t FirstMapPageNo = -1;
  int64_t Size = 0;
  int64_t CreationTime = 0;
  int64_t LastWriteTime = 0;
  int64_t LastAccessTime = 0;
  uint32_t Attr = 0;
  int32_t ParentID = kRootDirectoryID;
  uint8_t PasswordBlock[kPasswordBlockSize] = {};
  bool IsDirectory = false;
  bool Deleted = false;
  bool HasPassword = false;
  std::string FileName;  // at most kMaxFileNameLength characters, no NUL

  // Writes the 512-byte stored form to Dest. A longer name is cut to kMaxFileNameLength.
  void Encode(uint8_t* Dest) const;
  // Reads the stored form; the name ends at its NUL (or after kMaxFileNameLength characters).
  static TDirItem Decode(const uint8_t* Source);
};

// Text in double quotes with inner double quotes doubled: a"b -> "a""b" (names in messages).
std::string QuotedName(std::string_view Text);

}  // namespace tesvar::container
