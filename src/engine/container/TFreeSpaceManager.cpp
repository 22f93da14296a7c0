#include "container/TFreeSpaceManager.h"

#include "container/ContainerFormat.h"
#include "container/TPageFileManager.h"
#include "platform/Exception.h"

#include <algorithm>
#include <limits>

namespace tesvar::container {

namespace {

constexpr int32_t kMaxBitmapPageDataSize = 1 << 24;

// Bit n of a bitmap: bit (n mod 8) of byte (n div 8). Bits outside the buffer read as 0 and are
// never written.
bool getBit(const std::vector<uint8_t>& Bits, int64_t N) {
  return N >= 0 && size_t(N >> 3) < Bits.size() && ((Bits[size_t(N >> 3)] >> (N & 7)) & 1) != 0;
}

void putBit(std::vector<uint8_t>& Bits, int64_t N, bool Value) {
  if (N < 0 || size_t(N >> 3) >= Bits.size()) return;
  const auto mask = static_cast<uint8_t>(1u << (N & 7));
  if (Value)
    Bits[size_t(N >> 3)] |= mask;
  else
    Bits[size_t(N >> 3)] &= static_cast<uint8_t>(~mask);
}

int32_t countBits(const std::vector<uint8_t>& Bits, int32_t Count) {
  int32_t n = 0;
  for (int32_t i = 0; i < Count; ++i) n += getBit(Bits, i);
  return n;
}

}  // namespace

TFreeSpaceManager::TFreeSpaceManager(TPageFileManager& PageFile) : FPageFile(PageFile) {
  const TContainerHeader& header = PageFile.Header();
  FPageDataSize = PageFile.PageDataSize();
  FExtentPageCount = header.ExtentPageCount;
  // Bitmap spans (8 * page data size pages per bitmap page) must stay within 32-bit page numbers.
  if (FPageDataSize <= 0 || FPageDataSize > kMaxBitmapPageDataSize || FExtentPageCount <= 0 ||
      int64_t(FExtentPageCount) > 8 * int64_t(FPageDataSize))
    throw Exception("TFreeSpaceManager.Create - invalid page size or extent page count.");
  const int64_t bits = 8 * int64_t(FPageDataSize);
  FPFSBytesPerPage = int32_t((bits - bits % FExtentPageCount) / 8);
  FExtentsPerPFSPage = int32_t(int64_t(FPFSBytesPerPage) * 8 / FExtentPageCount);
  if (FExtentsPerPFSPage <= 0) throw Exception("TFreeSpaceManager.Create - invalid page size or extent page count.");
  FGAMBytesPerPage = int32_t((bits - bits % FExtentsPerPFSPage) / 8);
  FExtentsPerGAMPage = FGAMBytesPerPage * 8;
  FExtentCount = (header.PageCount - header.ReservedPageCount) / FExtentPageCount;

  if (int64_t(header.PFSPageCount) * FExtentsPerPFSPage < FExtentCount)
    throw Exception("TFreeSpaceManager.Create - PFSPageCount * FPageSize < FExtentCount!");
  if (int64_t(header.GAMPageCount) * FExtentsPerGAMPage < FExtentCount)
    throw Exception("TFreeSpaceManager.Create - GAMPageCount * FPageSize < FExtentCount!");

  LoadPFS();
  LoadGAM();
  FFreeExtentCount = countBits(FGAM, FExtentCount);
  FMixedExtentCount = countBits(FSGAM, FExtentCount);
}

void TFreeSpaceManager::LoadPFS() {
  const TContainerHeader& header = FPageFile.Header();
  FPFSPages.clear();
  FPFS.clear();
  for (int32_t i = 0; i < header.PFSPageCount; ++i) {
    const int64_t pageNo = kFirstPFSPageNo + int64_t(i) * FExtentsPerPFSPage * FExtentPageCount;
    // A bitmap page beyond the container cannot be read; checking first also bounds the memory.
    if (pageNo >= header.PageCount)
      throw Exception("TFreeSpaceManager.LoadPFS - can not load page, pageNo = " + std::to_string(pageNo));
    FPFSPages.push_back(int32_t(pageNo));
    FPFS.resize(FPFS.size() + size_t(FPFSBytesPerPage));
    TPageHeader page;
    page.Data = FPFS.data() + size_t(i) * size_t(FPFSBytesPerPage);
    if (!FPageFile.ReadPage(page, int32_t(pageNo), false, {}, FPFSBytesPerPage))
      throw Exception("TFreeSpaceManager.LoadPFS - can not load page, pageNo = " + std::to_string(pageNo));
  }
}

void TFreeSpaceManager::LoadGAM() {
  const TContainerHeader& header = FPageFile.Header();
  FGAMPages.clear();
  FGAM.clear();
  FSGAM.clear();
  for (int32_t i = 0; i < header.GAMPageCount; ++i) {
    const int64_t pageNo = kFirstGAMPageNo + int64_t(i) * FExtentsPerGAMPage * FExtentPageCount;
    const std::string number = std::to_string(pageNo);
    if (pageNo >= header.PageCount) throw Exception("TFreeSpaceManager.LoadGAM - can not load page, pageNo = " + number);
    if (pageNo + kSGAMAfterGAM >= header.PageCount)
      throw Exception("TFreeSpaceManager.LoadGAM - can not load SGAM page, pageNo = " + number);
    FGAMPages.push_back(int32_t(pageNo));
    const size_t at = size_t(i) * size_t(FGAMBytesPerPage);
    FGAM.resize(at + size_t(FGAMBytesPerPage));
    FSGAM.resize(at + size_t(FGAMBytesPerPage));
    TPageHeader page;
    page.Data = FGAM.data() + at;
    if (!FPageFile.ReadPage(page, int32_t(pageNo), false, {}, FGAMBytesPerPage))
      throw Exception("TFreeSpaceManager.LoadGAM - can not load page, pageNo = " + number);
    page.Data = FSGAM.data() + at;
    if (!FPageFile.ReadPage(page, int32_t(pageNo + kSGAMAfterGAM), false, {}, FGAMBytesPerPage))
      throw Exception("TFreeSpaceManager.LoadGAM - can not load SGAM page, pageNo = " + number);
  }
}

bool TFreeSpaceManager::IsPageFree(int32_t PageNo) const {
  return PageNo >= kReservedPageCount && PageNo < FPageFile.Header().PageCount && getBit(FPFS, PageNo - 1);
}

bool TFreeSpaceManager::IsExtentFree(int32_t Extent) const { return getBit(FGAM, Extent); }

bool TFreeSpaceManager::IsExtentMixed(int32_t Extent) const { return getBit(FSGAM, Extent); }

// The counts below always equal the GAM and SGAM bits set among the first ExtentCount extents:
// a count moves only when its bit actually changes.
void TFreeSpaceManager::takeFromExtent(int32_t Extent, int32_t Count, std::vector<int32_t>& Pages,
                                       bool WholeExtentsOnly) {
  FTaken.push_back({Extent, getBit(FGAM, Extent), getBit(FSGAM, Extent)});
  const int64_t first = int64_t(Extent) * FExtentPageCount;
  const size_t pfsPage = size_t(Extent / FExtentsPerPFSPage);
  const size_t gamPage = size_t(Extent / FExtentsPerGAMPage);
  for (int32_t i = 0; i < FExtentPageCount && int64_t(Pages.size()) < Count; ++i) {
    const int64_t p = first + i;
    if (!getBit(FPFS, p)) continue;
    FPFSDirty[pfsPage] = true;
    putBit(FPFS, p, false);
    Pages.push_back(int32_t(p + kReservedPageCount));
    if (i == 0) {
      if (getBit(FGAM, Extent)) --FFreeExtentCount;
      putBit(FGAM, Extent, false);
      const bool wasMixed = getBit(FSGAM, Extent);
      if (!WholeExtentsOnly && !wasMixed) ++FMixedExtentCount;
      if (WholeExtentsOnly && wasMixed) --FMixedExtentCount;
      putBit(FSGAM, Extent, !WholeExtentsOnly);
      FGAMDirty[gamPage] = true;
    }
    if (i == FExtentPageCount - 1) {
      if (getBit(FSGAM, Extent)) --FMixedExtentCount;
      if (getBit(FGAM, Extent)) --FFreeExtentCount;
      putBit(FGAM, Extent, false);
      putBit(FSGAM, Extent, false);
      FGAMDirty[gamPage] = true;
    }
  }
}

// Appends extents (in memory) until they offer Needed pages; returns how many. An extent that
// starts a new PFS page carries it as its first page; one that starts a new GAM page carries the
// GAM and SGAM pages as its second and third pages and becomes a mixed extent. Extents with
// bitmap pages count towards Needed only for requests that accept mixed extents. Each extent
// counts the pages its PFS bits leave free: with fewer than 3 pages per extent the GAM and SGAM
// pages spill into the following extents, which then offer fewer than E pages.
int32_t TFreeSpaceManager::addExtents(int64_t Needed, bool WholeExtentsOnly) {
  const int64_t E = FExtentPageCount;
  int64_t gained = 0;
  int32_t k = 0;
  while (gained < Needed) {
    const int64_t x = int64_t(FExtentCount) + k;
    if (x >= std::numeric_limits<int32_t>::max() / E) break;  // page numbers would overflow
    const bool needPFS = x == int64_t(FExtentsPerPFSPage) * int64_t(FPFSPages.size());
    const bool needGAM = x == int64_t(FExtentsPerGAMPage) * int64_t(FGAMPages.size());
    if (!needPFS && !needGAM) {
      gained += freeInExtent(x);  // E, less GAM/SGAM pages of a preceding extent when E < 3
      if (getBit(FGAM, x)) ++FFreeExtentCount;
    } else {
      if (needPFS) {
        FPFSPages.push_back(int32_t(kFirstPFSPageNo + int64_t(FPFSPages.size()) * FExtentsPerPFSPage * E));
        FPFS.resize(FPFS.size() + size_t(FPFSBytesPerPage), 0xFF);
        FPFSDirty.push_back(true);
        putBit(FPFS, x * E + kPFSPageInExtent, false);
      }
      if (needGAM) {
        FGAMPages.push_back(int32_t(kFirstGAMPageNo + int64_t(FGAMPages.size()) * FExtentsPerGAMPage * E));
        FGAM.resize(FGAM.size() + size_t(FGAMBytesPerPage), 0xFF);
        FSGAM.resize(FSGAM.size() + size_t(FGAMBytesPerPage), 0x00);
        FGAMDirty.push_back(true);
        putBit(FGAM, x, false);
        putBit(FSGAM, x, true);
        putBit(FPFS, x * E + kGAMPageInExtent, false);
        putBit(FPFS, x * E + kSGAMPageInExtent, false);
        ++FMixedExtentCount;
      } else if (getBit(FGAM, x)) {
        ++FFreeExtentCount;  // the extent keeps its GAM bit beside its PFS page
      }
      if (!WholeExtentsOnly) gained += freeInExtent(x);  // E - 1 or E - 3
      syncHeaderCounts();
    }
    ++k;
  }
  FExtentCount += k;
  return k;
}

int64_t TFreeSpaceManager::freeInExtent(int64_t Extent) const {
  int64_t n = 0;
  for (int64_t p = Extent * FExtentPageCount; p < (Extent + 1) * FExtentPageCount; ++p) n += getBit(FPFS, p);
  return n;
}

void TFreeSpaceManager::syncHeaderCounts() {
  FPageFile.Header().PFSPageCount = int32_t(FPFSPages.size());
  FPageFile.Header().GAMPageCount = int32_t(FGAMPages.size());
}

// Takes from wholly free extents (and, unless WholeExtentsOnly, from mixed ones) from Extent on,
// leaving Extent where the scan stopped.
void TFreeSpaceManager::scanExtents(int32_t& Extent, int32_t Count, std::vector<int32_t>& Pages,
                                    bool WholeExtentsOnly) {
  for (; Extent < FExtentCount && int64_t(Pages.size()) < Count; ++Extent) {
    if (getBit(FGAM, Extent) || (!WholeExtentsOnly && getBit(FSGAM, Extent)))
      takeFromExtent(Extent, Count, Pages, WholeExtentsOnly);
  }
}

bool TFreeSpaceManager::GetPages(int32_t Count, int32_t NearPage, std::vector<int32_t>& Pages,
                                 bool WholeExtentsOnly) {
  Pages.clear();
  FPFSDirty.assign(FPFSPages.size(), false);
  FGAMDirty.assign(FGAMPages.size(), false);
  FTaken.clear();
  const Snapshot before{FExtentCount, FFreeExtentCount, FMixedExtentCount, FPFSPages.size(), FGAMPages.size()};

  int32_t extent = int32_t((int64_t(NearPage) - kReservedPageCount) / FExtentPageCount);
  if (extent >= 0 && extent < FExtentCount)
    takeFromExtent(extent, Count, Pages, WholeExtentsOnly);
  else
    extent = 0;

  if ((WholeExtentsOnly && FFreeExtentCount > 0) ||
      (!WholeExtentsOnly && (FMixedExtentCount > 0 || FFreeExtentCount > 0))) {
    extent = 0;
    scanExtents(extent, Count, Pages, WholeExtentsOnly);
  }

  int32_t added = 0;
  if (int64_t(Pages.size()) < Count) {
    added = addExtents(int64_t(Count) - int64_t(Pages.size()), WholeExtentsOnly);
    if (added == 0) {
      rollback(before, Pages);
      throw Exception("TFreeSpaceManager.GetPages - AddExtents does not append any extents.");
    }
    scanExtents(extent, Count, Pages, WholeExtentsOnly);
    if (int64_t(Pages.size()) < Count) {
      rollback(before, Pages);
      throw Exception("TFreeSpaceManager.GetPages - AddExtents appends too small pages.");
    }
  }

  // The container grows once, by the extents added and, should a page taken lie past the end (a
  // page count that ends inside an extent), up to that page. Nothing is stored before it has.
  int64_t growth = int64_t(added) * FExtentPageCount;
  if (!Pages.empty()) {
    const int32_t highest = *std::max_element(Pages.begin(), Pages.end());
    growth = std::max<int64_t>(growth, int64_t(highest) + 1 - FPageFile.Header().PageCount);
  }
  if (growth > 0 && (growth > std::numeric_limits<int32_t>::max() || !FPageFile.AddPages(int32_t(growth)))) {
    rollback(before, Pages);
    return false;
  }
  SaveGAM(FGAMDirty);
  SavePFS(FPFSDirty);
  return true;
}

void TFreeSpaceManager::rollback(const Snapshot& Before, std::vector<int32_t>& Pages) {
  for (int32_t page : Pages) putBit(FPFS, int64_t(page) - kReservedPageCount, true);
  for (auto it = FTaken.rbegin(); it != FTaken.rend(); ++it) {
    putBit(FGAM, it->Extent, it->GAM);
    putBit(FSGAM, it->Extent, it->SGAM);
  }
  FPFSPages.resize(Before.PFSPageCount);
  FPFS.resize(Before.PFSPageCount * size_t(FPFSBytesPerPage));
  FGAMPages.resize(Before.GAMPageCount);
  FGAM.resize(Before.GAMPageCount * size_t(FGAMBytesPerPage));
  FSGAM.resize(Before.GAMPageCount * size_t(FGAMBytesPerPage));
  // Extents that were appended fall back to the state of extents beyond the end.
  for (int64_t x = Before.ExtentCount; x < FExtentCount; ++x) {
    putBit(FGAM, x, true);
    putBit(FSGAM, x, false);
    for (int64_t p = x * FExtentPageCount; p < (x + 1) * FExtentPageCount; ++p) putBit(FPFS, p, true);
  }
  FExtentCount = Before.ExtentCount;
  FFreeExtentCount = Before.FreeExtentCount;
  FMixedExtentCount = Before.MixedExtentCount;
  FPFSDirty.resize(FPFSPages.size());
  FGAMDirty.resize(FGAMPages.size());
  syncHeaderCounts();
  Pages.clear();
}

bool TFreeSpaceManager::isBitmapPage(int64_t PageNo) const {
  const int64_t pfsSpan = int64_t(FExtentsPerPFSPage) * FExtentPageCount;
  const int64_t gamSpan = int64_t(FExtentsPerGAMPage) * FExtentPageCount;
  auto inSeries = [](int64_t page, int64_t first, int64_t span, size_t count) {
    return page >= first && (page - first) % span == 0 && size_t((page - first) / span) < count;
  };
  return inSeries(PageNo, 1, pfsSpan, FPFSPages.size()) || inSeries(PageNo, 2, gamSpan, FGAMPages.size()) ||
         inSeries(PageNo, 3, gamSpan, FGAMPages.size());
}

void TFreeSpaceManager::FreePages(const std::vector<int32_t>& Pages) {
  FPFSDirty.assign(FPFSPages.size(), false);
  FGAMDirty.assign(FGAMPages.size(), false);
  const int32_t pageCount = FPageFile.Header().PageCount;
  std::vector<int32_t> touched;
  for (int32_t page : Pages) {
    if (page < kReservedPageCount || page >= pageCount || isBitmapPage(page)) continue;
    const int64_t p = int64_t(page) - kReservedPageCount;
    if (size_t(p >> 3) >= FPFS.size()) continue;
    putBit(FPFS, p, true);
    const int32_t extent = int32_t(p / FExtentPageCount);
    touched.push_back(extent);
    FPFSDirty[size_t(extent / FExtentsPerPFSPage)] = true;
  }
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (int32_t extent : touched) {
    const int64_t first = int64_t(extent) * FExtentPageCount;
    bool allFree = true;
    for (int64_t p = first; allFree && p < first + FExtentPageCount; ++p) allFree = getBit(FPFS, p);
    if (!allFree || size_t(extent / FExtentsPerGAMPage) >= FGAMPages.size()) continue;
    const bool counted = extent < FExtentCount;
    if (getBit(FSGAM, extent) && counted) --FMixedExtentCount;
    if (!getBit(FGAM, extent) && counted) ++FFreeExtentCount;
    putBit(FGAM, extent, true);
    putBit(FSGAM, extent, false);
    FGAMDirty[size_t(extent / FExtentsPerGAMPage)] = true;
  }
  SaveGAM(FGAMDirty);
  SavePFS(FPFSDirty);
}

void TFreeSpaceManager::writeBitmapPage(uint8_t PageType, int32_t PageNo, uint8_t* Data, int32_t Size,
                                        const std::string& Message) {
  TPageHeader page;
  page.NextPageNo = -1;
  page.PageType = PageType;
  page.EncryptionType = etNone;
  page.ChecksumKind = 0;
  page.Data = Data;
  if (!FPageFile.WritePage(page, PageNo, {}, Size)) throw Exception(Message);
}

void TFreeSpaceManager::SavePFS(const std::vector<bool>& Dirty) {
  if (Dirty.size() != FPFSPages.size())
    throw Exception("TFreeSpaceManager.SavePFS - pages.ItemCount <> PFSPageMap.ItemCount!");
  for (size_t i = 0; i < Dirty.size(); ++i) {
    if (!Dirty[i]) continue;
    writeBitmapPage(ptPFS, FPFSPages[i], FPFS.data() + i * size_t(FPFSBytesPerPage), FPFSBytesPerPage,
                    "TFreeSpaceManager.SavePFS - can not save page, pageNo = " + std::to_string(FPFSPages[i]));
  }
}

void TFreeSpaceManager::SaveGAM(const std::vector<bool>& Dirty) {
  if (Dirty.size() != FGAMPages.size())
    throw Exception("TFreeSpaceManager.SaveGAM - pages.ItemCount <> GAMPageMap.ItemCount!");
  for (size_t i = 0; i < Dirty.size(); ++i) {
    if (!Dirty[i]) continue;
    const size_t at = i * size_t(FGAMBytesPerPage);
    const std::string number = std::to_string(FGAMPages[i]);
    writeBitmapPage(ptGAM, FGAMPages[i], FGAM.data() + at, FGAMBytesPerPage,
                    "TFreeSpaceManager.SaveGAM - can not save page, pageNo = " + number);
    writeBitmapPage(ptSGAM, FGAMPages[i] + 1, FSGAM.data() + at, FGAMBytesPerPage,
                    "TFreeSpaceManager.SaveGAM - can not save SGAM page, pageNo = " + number);
  }
}

}  // namespace tesvar::container
