#include "container/TUserFilePageMapManager.h"

#include "container/CFSBytes_internal.h"
#include "container/PageRunIO_internal.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "platform/Exception.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace tesvar::container {

namespace {

constexpr int64_t kMaxPages = std::numeric_limits<int32_t>::max();

}  // namespace

TUserFilePageMapManager::TUserFilePageMapManager(TPageFileManager& PageFile, TFreeSpaceManager& FreeSpace)
    : FPageFile(PageFile),
      FFreeSpace(FreeSpace),
      FPageDataSize(PageFile.PageDataSize()),
      FEntriesPerMapPage(container::EntriesPerMapPage(PageFile.PageDataSize())),
      FExtentPageCount(PageFile.Header().ExtentPageCount),
      FPageBuffer(static_cast<size_t>(std::max(PageFile.PageDataSize(), 0))),
      FPageIO(std::make_unique<TPageRunIO>(PageFile)) {}

TUserFilePageMapManager::~TUserFilePageMapManager() = default;

int64_t TUserFilePageMapManager::PagesForSize(int64_t Size) const {
  return Size <= 0 ? 0 : (Size - 1) / FPageDataSize + 1;
}

const TUserFilePageMapManager::TFileMap* TUserFilePageMapManager::CachedMap(int32_t FirstMapPageNo) const {
  auto It = FCache.find(FirstMapPageNo);
  return It == FCache.end() ? nullptr : &It->second;
}

const TUserFilePageMapManager::TFileMap& TUserFilePageMapManager::GetMaps(const TDirItem& Item) { return MapOf(Item); }

TUserFilePageMapManager::TFileMap& TUserFilePageMapManager::MapOf(const TDirItem& Item) {
  if (Item.FirstMapPageNo == -1) {
    throw Exception("TUserFilePageMapManager.GetMaps - Invalid parameter FileRec.FirstMapPageNo");
  }
  auto It = FCache.find(Item.FirstMapPageNo);
  if (It == FCache.end()) {
    const int64_t DataCount = PagesForSize(Item.Size);
    // A map without data pages (a file stored with size 0) still has its first map page.
    const int64_t MapCount = std::max<int64_t>(1, (DataCount + FEntriesPerMapPage - 1) / FEntriesPerMapPage);
    // A size that needs more pages than the container has is damage; the lists below are bounded
    // by the pages the host file holds.
    if (DataCount + MapCount > static_cast<int64_t>(FPageFile.Header().PageCount) - kReservedPageCount) {
      throw Exception("TUserFilePageMapManager.GetMaps - File size exceeds the container.");
    }
    const int64_t Stored = FPageFile.StoredPageCount();
    TFileMap Map;
    Map.MapPages.reserve(static_cast<size_t>(std::min(MapCount, Stored)));
    Map.DataPages.reserve(static_cast<size_t>(std::min(DataCount, Stored)));
    std::unordered_set<int32_t> Visited;
    int32_t PageNo = Item.FirstMapPageNo;
    for (int64_t K = 0; K < MapCount; ++K) {
      // A chain that ends early or comes back to one of its pages is damage.
      if (PageNo <= 0 || !Visited.insert(PageNo).second) {
        throw Exception("TUserFilePageMapManager.GetMaps - Invalid page No in map chain.");
      }
      TPageHeader Header;
      Header.Data = FPageBuffer.data();
      if (!FPageFile.ReadPage(Header, PageNo)) {
        FLastError = FPageFile.LastError();
        throw Exception("TUserFilePageMapManager.GetMaps - Error on reading map page.");
      }
      // Map pages are never encrypted: entries deciphered from one would be garbage.
      if (Header.PageType != ptPageMap || Header.EncryptionType != etNone) {
        throw Exception("TUserFilePageMapManager.GetMaps - Error on reading map page.");
      }
      Map.MapPages.push_back(PageNo);
      const int64_t Take = std::min<int64_t>(FEntriesPerMapPage, DataCount - static_cast<int64_t>(Map.DataPages.size()));
      for (int64_t J = 0; J < Take; ++J) {
        Map.DataPages.push_back(getLE32s(FPageBuffer.data() + J * kMapEntrySize));
      }
      PageNo = Header.NextPageNo;
    }
    It = FCache.emplace(Item.FirstMapPageNo, std::move(Map)).first;
  }
  if (It == FCache.end()) throw Exception("TUserFilePageMapManager.GetMaps - Cannot find UFPM page map");
  if (It->second.MapPages.empty()) throw Exception("TUserFilePageMapManager.GetMaps - Cannot find user file page map");
  if (It->second.MapPages.front() != Item.FirstMapPageNo) {
    throw Exception("TUserFilePageMapManager.GetMaps - UFPMMap.Items[0] <> FirstMapPageNo");
  }
  return It->second;
}

int32_t TUserFilePageMapManager::DataPageCount(const TDirItem& Item) {
  return Item.FirstMapPageNo == -1 ? 0 : static_cast<int32_t>(GetMaps(Item).DataPages.size());
}

bool TUserFilePageMapManager::WriteZeroPage(int32_t PageNo) {
  if (FPageIO->WriteZeroRun(PageNo, 1) != 1) {
    FLastError = FPageFile.LastError();
    return false;
  }
  return true;
}

bool TUserFilePageMapManager::WriteMapPage(const TFileMap& Map, size_t MapIndex) {
  std::fill(FPageBuffer.begin(), FPageBuffer.end(), 0);
  const size_t First = MapIndex * static_cast<size_t>(FEntriesPerMapPage);
  const size_t Last = std::min(First + static_cast<size_t>(FEntriesPerMapPage), Map.DataPages.size());
  for (size_t J = First; J < Last; ++J) {
    putLE32s(FPageBuffer.data() + (J - First) * kMapEntrySize, Map.DataPages[J]);
  }
  TPageHeader Header;
  Header.NextPageNo = MapIndex + 1 < Map.MapPages.size() ? Map.MapPages[MapIndex + 1] : -1;
  Header.PageType = ptPageMap;
  Header.EncryptionType = etNone;
  Header.Data = FPageBuffer.data();
  if (!FPageFile.WritePage(Header, Map.MapPages[MapIndex])) {
    FLastError = FPageFile.LastError();
    return false;
  }
  return true;
}

bool TUserFilePageMapManager::AppendPages(TDirItem& Item, int32_t Count, bool WriteZeroPages) {
  FLastError = 0;
  if (Count <= 0) throw Exception("TUserFilePageMapManager.AppendPages - PageCount <= 0.");
  const bool HasMap = Item.FirstMapPageNo != -1;
  TFileMap NewMap;
  // The cached map grows in place; on failure it is cut back to its former length.
  TFileMap& Map = HasMap ? MapOf(Item) : NewMap;
  const size_t OldMapCount = Map.MapPages.size();
  const size_t OldDataCount = Map.DataPages.size();
  const int64_t Total = static_cast<int64_t>(OldDataCount) + Count;
  if (Total > kMaxPages) {
    FLastError = ceNoSpace;
    return false;
  }

  std::vector<int32_t> Taken;  // every page taken here, released again on failure
  auto Fail = [&](int32_t Error) {
    FLastError = Error;
    Map.MapPages.resize(OldMapCount);
    Map.DataPages.resize(OldDataCount);
    if (!Taken.empty()) FFreeSpace.FreePages(Taken);
    return false;
  };
  auto Take = [&](int32_t Wanted, int32_t Near, bool WholeExtents, std::vector<int32_t>& Into) {
    std::vector<int32_t> Pages;
    const bool Ok = FFreeSpace.GetPages(Wanted, Near, Pages, WholeExtents);
    Taken.insert(Taken.end(), Pages.begin(), Pages.end());
    Into.insert(Into.end(), Pages.begin(), Pages.end());
    return Ok && static_cast<int32_t>(Pages.size()) == Wanted;
  };

  const int64_t NeededMaps = (Total + FEntriesPerMapPage - 1) / FEntriesPerMapPage - static_cast<int64_t>(OldMapCount);
  if (NeededMaps > 0) {
    const int32_t Near = HasMap ? Map.MapPages.back() + 1 : 1;
    if (!Take(static_cast<int32_t>(NeededMaps), Near, false, Map.MapPages)) return Fail(ceNoSpace);
  }
  const int32_t Near = OldDataCount == 0 ? 1 : Map.DataPages.back() + 1;
  if (!Take(Count, Near, Total > FExtentPageCount, Map.DataPages)) return Fail(ceNoSpace);

  // New pages are written before the former last map page links them, so a failure leaves the
  // stored map as it was.
  if (WriteZeroPages) {
    // Zero pages go out in runs of consecutive page numbers, one transfer each.
    for (size_t J = OldDataCount; J < Map.DataPages.size();) {
      int32_t Run = 1;
      while (J + Run < Map.DataPages.size() && Run < FPageIO->MaxPages() &&
             Map.DataPages[J + Run] == Map.DataPages[J] + Run) {
        ++Run;
      }
      if (FPageIO->WriteZeroRun(Map.DataPages[J], Run) != Run) return Fail(FPageFile.LastError());
      J += static_cast<size_t>(Run);
    }
  }
  const size_t FirstDirty = HasMap ? OldMapCount - 1 : 0;
  for (size_t Index = Map.MapPages.size(); Index-- > FirstDirty;) {
    if (!WriteMapPage(Map, Index)) {
      const int32_t Error = FLastError;
      Fail(Error);
      // The former last map page may have been half written: store it again as it was.
      if (HasMap && Index == OldMapCount - 1) WriteMapPage(Map, Index);
      FLastError = Error;
      return false;
    }
  }
  if (!HasMap) {
    Item.FirstMapPageNo = Map.MapPages.front();
    FCache[Item.FirstMapPageNo] = std::move(NewMap);
  }
  return true;
}

void TUserFilePageMapManager::DeletePagesFromEOF(TDirItem& Item, int32_t Count) {
  if (Item.FirstMapPageNo == -1) {
    throw Exception("TUserFilePageMapManager.DeletePagesFromEOF - File map not exists.");
  }
  TFileMap& Map = MapOf(Item);
  Count = std::clamp<int32_t>(Count, 0, static_cast<int32_t>(Map.DataPages.size()));
  const size_t KeepData = Map.DataPages.size() - static_cast<size_t>(Count);
  const size_t KeepMaps = (KeepData + FEntriesPerMapPage - 1) / FEntriesPerMapPage;
  if (Count == 0 && KeepMaps == Map.MapPages.size()) return;
  std::vector<int32_t> Freed(Map.MapPages.begin() + static_cast<std::ptrdiff_t>(KeepMaps), Map.MapPages.end());
  Freed.insert(Freed.end(), Map.DataPages.begin() + static_cast<std::ptrdiff_t>(KeepData), Map.DataPages.end());
  Map.MapPages.resize(KeepMaps);
  Map.DataPages.resize(KeepData);
  FLastError = 0;
  if (KeepMaps == 0) {
    FCache.erase(Item.FirstMapPageNo);
    Item.FirstMapPageNo = -1;
  } else {
    // Entries past the file's pages and the last map page's next field are never followed, so
    // a failed rewrite here leaves the stored map usable; the error stays in LastError.
    if (!WriteMapPage(Map, KeepMaps - 1)) {
      // A half-written page would not pass its checksum: store it once more.
      const int32_t Error = FLastError;
      WriteMapPage(Map, KeepMaps - 1);
      FLastError = Error;
    }
  }
  FFreeSpace.FreePages(Freed);
}

bool TUserFilePageMapManager::SetFileSize(TDirItem& Item, bool WriteZeroPages, int64_t NewSize) {
  FLastError = 0;
  const int64_t Wanted = PagesForSize(NewSize);
  if (Wanted > kMaxPages) {
    FLastError = ceNoSpace;
    return false;
  }
  const int32_t Current = DataPageCount(Item);
  if (Wanted < Current || (Wanted == 0 && Item.FirstMapPageNo != -1)) {
    DeletePagesFromEOF(Item, Current - static_cast<int32_t>(Wanted));
  } else if (Wanted > Current) {
    return AppendPages(Item, static_cast<int32_t>(Wanted) - Current, WriteZeroPages);
  }
  return true;
}

bool TUserFilePageMapManager::GetFilePages(TDirItem& Item, bool Extend, std::span<const int32_t>& Pages,
                                           int32_t Count, int64_t Offset) {
  Pages = {};
  if (Count <= 0 || Offset < 0) return true;
  const int64_t End = Offset + Count;
  // Pages added here are zero-filled: a page of a deleted file may be handed out again.
  if (Extend && PagesForSize(End) > DataPageCount(Item) && !SetFileSize(Item, true, End)) return false;
  Pages = FilePages(Item, Count, Offset);
  return true;
}

std::span<const int32_t> TUserFilePageMapManager::FilePages(const TDirItem& Item, int32_t Count, int64_t Offset) {
  if (Count <= 0 || Offset < 0 || Item.FirstMapPageNo == -1) return {};
  const std::vector<int32_t>& Data = GetMaps(Item).DataPages;
  const int64_t First = Offset / FPageDataSize;
  const int64_t Last = std::min<int64_t>((Offset + Count - 1) / FPageDataSize, static_cast<int64_t>(Data.size()) - 1);
  if (First > Last) return {};
  return std::span<const int32_t>(Data).subspan(static_cast<size_t>(First), static_cast<size_t>(Last - First + 1));
}

}  // namespace tesvar::container
