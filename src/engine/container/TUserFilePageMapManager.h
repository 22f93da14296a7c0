#pragma once
// Page maps of user files: for every file the ordered list of its data pages, stored in a chain
// of page-map pages from the directory item's FirstMapPageNo, and cached per FirstMapPageNo.
//
// The calls take the file's directory item and change its FirstMapPageNo when the map appears or
// goes; the caller stores the item (and its Size). Pages are taken (and written to the bitmaps)
// before any map refers to them and are released only after no stored map refers to them, so a
// failure on the way can leave a page unused but never one used twice or used while free.

#include "container/DirectoryFormat.h"

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

namespace tesvar::container {

class TPageFileManager;
class TFreeSpaceManager;
class TPageRunIO;

class TUserFilePageMapManager {
public:
  struct TFileMap {
    std::vector<int32_t> MapPages;   // the chain of page-map pages
    std::vector<int32_t> DataPages;  // entry j: the page of file bytes j*D .. (j+1)*D - 1
  };

  // PageFile and FreeSpace must outlive the manager.
  TUserFilePageMapManager(TPageFileManager& PageFile, TFreeSpaceManager& FreeSpace);
  ~TUserFilePageMapManager();

  // The map of a file with pages (loaded into the cache on first use). Raises
  // "TUserFilePageMapManager.GetMaps - ..." for a file without map or a damaged map: "... - File
  // size exceeds the container." for a size that needs more pages than the container has, "... -
  // Invalid page No in map chain." for a chain that ends early or comes back to one of its pages, "... - Error on reading map page." for a map page that cannot be read or
  // is no (unencrypted) map page.
  const TFileMap& GetMaps(const TDirItem& Item);
  // Appends Count data pages (and the map pages they need) to the file. With WriteZeroPages the
  // new data pages are written as zero pages. False with LastError ceNoSpace when no pages could be
  // had, or with the page error code when a page write failed (nothing appended then).
  bool AppendPages(TDirItem& Item, int32_t Count, bool WriteZeroPages);
  // Drops the last Count data pages and the map pages no longer needed. Raises
  // "TUserFilePageMapManager.DeletePagesFromEOF - File map not exists." for a file without map.
  void DeletePagesFromEOF(TDirItem& Item, int32_t Count);
  // Data pages of file bytes Offset .. Offset + Count - 1 (as far as they exist), growing the
  // file's pages first when Extend is set and the range passes them. False when growing failed.
  // Pages views the cached map: it stays valid until the file's pages change.
  bool GetFilePages(TDirItem& Item, bool Extend, std::span<const int32_t>& Pages, int32_t Count, int64_t Offset);
  // The same without growing: the data pages of bytes Offset .. Offset + Count - 1 the file has.
  std::span<const int32_t> FilePages(const TDirItem& Item, int32_t Count, int64_t Offset);
  // Gives the file exactly ceil(NewSize / D) data pages. False when growing failed.
  bool SetFileSize(TDirItem& Item, bool WriteZeroPages, int64_t NewSize);

  // Number of data pages the file has now (0 without map).
  int32_t DataPageCount(const TDirItem& Item);
  // Writes page PageNo as a zero user-data page (not encrypted). False with LastError set.
  bool WriteZeroPage(int32_t PageNo);
  // The cached map of FirstMapPageNo, or null when not loaded.
  const TFileMap* CachedMap(int32_t FirstMapPageNo) const;
  // Forgets every cached map.
  void ClearCache() { FCache.clear(); }

  int32_t LastError() const { return FLastError; }
  int32_t PageDataSize() const { return FPageDataSize; }
  int32_t EntriesPerMapPage() const { return FEntriesPerMapPage; }

  // Data pages a file of Size bytes has: ceil(Size / PageDataSize).
  int64_t PagesForSize(int64_t Size) const;

private:
  TFileMap& MapOf(const TDirItem& Item);
  bool WriteMapPage(const TFileMap& Map, size_t MapIndex);

  TPageFileManager& FPageFile;
  TFreeSpaceManager& FFreeSpace;
  int32_t FPageDataSize;
  int32_t FEntriesPerMapPage;
  int32_t FExtentPageCount;
  std::unordered_map<int32_t, TFileMap> FCache;
  std::vector<uint8_t> FPageBuffer;
  std::unique_ptr<TPageRunIO> FPageIO;
  int32_t FLastError = 0;
};

}  // namespace tesvar::container
