#pragma once
// Free space of a container: PFS (page free), GAM (extent wholly free) and SGAM (mixed extent
// with room) bitmaps, held in memory and written back page by page when bits change.

#include <cstdint>
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
  // receives the page numbers in the order taken. Writes the changed bitmap pages. False when the
  // container could not be grown (the in-memory bitmaps then already reflect the taken pages);
  // raises on bitmap write failures and inconsistencies.
  bool GetPages(int32_t Count, int32_t NearPage, std::vector<int32_t>& Pages, bool WholeExtentsOnly);
  // Marks the pages free (numbers at or beyond PageCount are ignored) and writes the changed
  // bitmap pages.
  void FreePages(const std::vector<int32_t>& Pages);

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

private:
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
};

}  // namespace tesvar::container
