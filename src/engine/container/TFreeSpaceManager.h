#pragma once
// Free space of a container: PFS (page free), GAM (extent wholly free) and SGAM (mixed extent
// with room) bitmaps, held in memory and written back page by page when bits change.

#include <cstdint>
#include <string>
#include <vector>

namespace tesvar::container {

class TPageFileManager;

class TFreeSpaceManager {
public:
  // Computes the bitmap sizes from the page file's header, checks the counts and loads all
  // bitmap pages; raises the load messages on failure. PageFile must outlive the manager.
  explicit TFreeSpaceManager(TPageFileManager& PageFile);

  // Takes Count pages, preferring the extent of NearPage, then wholly free (and, unless
  // WholeExtentsOnly, mixed) extents, then growing the container by whole extents. Pages
  // receives the page numbers in the order taken. The container grows (once) before any changed
  // bitmap page is written. False when it could not be grown: Pages is then empty, nothing was
  // written and the manager (bitmaps, counts and the header's bitmap page counts) is as before
  // the call. Raises on bitmap write failures and inconsistencies ("TFreeSpaceManager.GetPages -
  // ...", "TFreeSpaceManager.SaveGAM - ...").
  [[nodiscard]] bool GetPages(int32_t Count, int32_t NearPage, std::vector<int32_t>& Pages, bool WholeExtentsOnly);
  // Marks the pages free and writes the changed bitmap pages. Numbers below 1, at or beyond
  // PageCount, and the bitmap pages themselves are ignored.
  void FreePages(const std::vector<int32_t>& Pages);

  // Read every PFS page / every GAM page and the SGAM page after it into memory; raise
  // "TFreeSpaceManager.LoadPFS - can not load page, pageNo = <n>" /
  // "TFreeSpaceManager.LoadGAM - can not load [SGAM ]page, pageNo = <GAM page>".
  void LoadPFS();
  void LoadGAM();
  // Write the PFS pages (the GAM pages with their SGAM pages) whose flag is set. Dirty must have
  // one flag per page; raise the SavePFS / SaveGAM messages on a wrong length or a failed write.
  void SavePFS(const std::vector<bool>& Dirty);
  void SaveGAM(const std::vector<bool>& Dirty);

  // State, for checks and tests.
  int32_t ExtentCount() const { return FExtentCount; }
  int32_t FreeExtentCount() const { return FFreeExtentCount; }
  int32_t MixedExtentCount() const { return FMixedExtentCount; }
  bool IsPageFree(int32_t PageNo) const;      // PFS bit of a page (page 0 is never free)
  bool IsExtentFree(int32_t Extent) const;    // GAM bit
  bool IsExtentMixed(int32_t Extent) const;   // SGAM bit
  const std::vector<int32_t>& PFSPageNumbers() const { return FPFSPages; }
  const std::vector<int32_t>& GAMPageNumbers() const { return FGAMPages; }
  int32_t ExtentsPerPFSPage() const { return FExtentsPerPFSPage; }
  int32_t ExtentsPerGAMPage() const { return FExtentsPerGAMPage; }
  int32_t PFSBytesPerPage() const { return FPFSBytesPerPage; }
  int32_t GAMBytesPerPage() const { return FGAMBytesPerPage; }
  // The whole bitmaps as held in memory (page i's bytes at i * bytes per page).
  const std::vector<uint8_t>& PFSBitmap() const { return FPFS; }
  const std::vector<uint8_t>& GAMBitmap() const { return FGAM; }
  const std::vector<uint8_t>& SGAMBitmap() const { return FSGAM; }

private:
  // State before a GetPages call, to undo it when the container cannot grow.
  struct Snapshot {
    int32_t ExtentCount, FreeExtentCount, MixedExtentCount;
    size_t PFSPageCount, GAMPageCount;
  };
  struct TakenExtent {
    int32_t Extent;
    bool GAM, SGAM;
  };
  void takeFromExtent(int32_t Extent, int32_t Count, std::vector<int32_t>& Pages, bool WholeExtentsOnly);
  int32_t addExtents(int64_t Needed, bool WholeExtentsOnly);
  void scanExtents(int32_t& Extent, int32_t Count, std::vector<int32_t>& Pages, bool WholeExtentsOnly);
  void rollback(const Snapshot& Before, std::vector<int32_t>& Pages);
  bool isBitmapPage(int64_t PageNo) const;
  int64_t freeInExtent(int64_t Extent) const;
  void writeBitmapPage(uint8_t PageType, int32_t PageNo, uint8_t* Data, int32_t Size, const std::string& Message);
  void syncHeaderCounts();

  TPageFileManager& FPageFile;
  int32_t FPageDataSize = 0;
  int32_t FExtentPageCount = 0;
  int32_t FExtentCount = 0;
  int32_t FPFSBytesPerPage = 0;
  int32_t FExtentsPerPFSPage = 0;
  int32_t FGAMBytesPerPage = 0;
  int32_t FExtentsPerGAMPage = 0;
  std::vector<uint8_t> FPFS;
  std::vector<int32_t> FPFSPages;
  std::vector<uint8_t> FGAM;
  std::vector<uint8_t> FSGAM;
  std::vector<int32_t> FGAMPages;
  int32_t FFreeExtentCount = 0;
  int32_t FMixedExtentCount = 0;
  std::vector<bool> FPFSDirty;
  std::vector<bool> FGAMDirty;
  std::vector<TakenExtent> FTaken;  // extents touched by the running GetPages, bits before
};

}  // namespace tesvar::container
