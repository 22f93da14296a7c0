#include "container/DirectoryFormat.h"

#include "container/CFSBytes_internal.h"

#include <algorithm>
#include <cstring>

namespace tesvar::container {

void TDirItem::Encode(uint8_t* Dest) const {
  std::memset(Dest, 0, kDirItemSize);
  putLE32s(Dest + kItemFirstMapPageOffset, FirstMapPageNo);
  putLE64s(Dest + kItemSizeOffset, Size);
  putLE64s(Dest + kItemCreationTimeOffset, CreationTime);
  putLE64s(Dest + kItemLastWriteTimeOffset, LastWriteTime);
  putLE64s(Dest + kItemLastAccessTimeOffset, LastAccessTime);
  putLE32(Dest + kItemAttrOffset, Attr);
  putLE32s(Dest + kItemParentIDOffset, ParentID);
  std::memcpy(Dest + kItemPasswordBlockOffset, PasswordBlock, kPasswordBlockSize);
  Dest[kItemIsDirectoryOffset] = IsDirectory ? 1 : 0;
  Dest[kItemDeletedOffset] = Deleted ? 1 : 0;
  Dest[kItemHasPasswordOffset] = HasPassword ? 1 : 0;
  const size_t NameLength = std::min<size_t>(FileName.size(), kMaxFileNameLength);
  std::memcpy(Dest + kItemFileNameOffset, FileName.data(), NameLength);
}

TDirItem TDirItem::Decode(const uint8_t* Source) {
  TDirItem Item;
  Item.FirstMapPageNo = getLE32s(Source + kItemFirstMapPageOffset);
  Item.Size = getLE64s(Source + kItemSizeOffset);
  Item.CreationTime = getLE64s(Source + kItemCreationTimeOffset);
  Item.LastWriteTime = getLE64s(Source + kItemLastWriteTimeOffset);
  Item.LastAccessTime = getLE64s(Source + kItemLastAccessTimeOffset);
  Item.Attr = getLE32(Source + kItemAttrOffset);
  Item.ParentID = getLE32s(Source + kItemParentIDOffset);
  std::memcpy(Item.PasswordBlock, Source + kItemPasswordBlockOffset, kPasswordBlockSize);
  Item.IsDirectory = Source[kItemIsDirectoryOffset] != 0;
  Item.Deleted = Source[kItemDeletedOffset] != 0;
  Item.HasPassword = Source[kItemHasPasswordOffset] != 0;
  const char* Name = reinterpret_cast<const char*>(Source + kItemFileNameOffset);
  const void* Nul = std::memchr(Name, 0, kMaxFileNameLength);
  Item.FileName.assign(Name, Nul ? static_cast<const char*>(Nul) - Name : kMaxFileNameLength);
  return Item;
}

std::string QuotedName(std::string_view Text) {
  std::string Result;
  Result.reserve(Text.size() + 2);
  Result += '"';
  for (char C : Text) {
    if (C == '"') Result += '"';
    Result += C;
  }
  Result += '"';
  return Result;
}

}  // namespace tesvar::container
