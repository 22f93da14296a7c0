#include "container/TContainerChecker.h"

#include "codec/Checksums.h"
#include "container/TCFSHugeFile.h"
#include "container/TContainerFileSystem.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "container/CFSBytes_internal.h"
#include "platform/AnsiCase.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace tesvar::container {

namespace {

bool BitSet(const uint8_t* Bits, int64_t N) { return (Bits[N / 8] >> (N % 8)) & 1; }

std::string Str(int64_t Value) { return std::to_string(Value); }

// The text of a break in the part chain.
std::string ChainBreakText(const TChainBreak& Break, int64_t MaxPartSize) {
  const std::string Link = "part file " + QuotedName(Break.From) + " names the next part " + QuotedName(Break.To);
  std::string Why;
  switch (Break.Reason) {
    case cbMissing: Why = ", which does not exist or cannot be opened"; break;
    case cbNotAPart: Why = ", which has no valid part header"; break;
    case cbMaxSizeDiffers: Why = ", whose maximum part size differs from the first part's"; break;
    case cbPartNotFull: Why = " but is not the maximum part size (" + Str(MaxPartSize) + " bytes) long"; break;
    case cbForeignName: Why = ", which lies outside its folder"; break;
    case cbLoop: Why = ", which the chain reached before"; break;
    case cbNone: return {};
  }
  return "the part chain is broken: " + Link + Why + "; the container ends with " + QuotedName(Break.From);
}

bool AllZero(const uint8_t* Data, size_t Size) {
  return std::all_of(Data, Data + Size, [](uint8_t B) { return B == 0; });
}

}  // namespace

TContainerChecker::TContainerChecker(TContainerFileSystem& Container) : FContainer(Container) {}

std::string TContainerChecker::Describe(const Owner& Who) const {
  std::string ItemText;
  if (Who.ItemID >= 0) {
    ItemText = "item " + Str(Who.ItemID);
    try {
      ItemText += " " + QuotedName(FContainer.Directory().ItemPath(Who.ItemID));
    } catch (...) {
      // A damaged parent chain is reported elsewhere; the number identifies the item.
    }
  }
  switch (Who.Kind) {
    case Use::Header: return "the container header";
    case Use::PFS: return "a PFS page";
    case Use::GAM: return "a GAM page";
    case Use::SGAM: return "an SGAM page";
    case Use::Directory: return "a directory page";
    case Use::PageMap: return "a page-map page of " + ItemText;
    case Use::Data: return "a data page of " + ItemText;
    case Use::None: break;
  }
  return "nothing";
}

void TContainerChecker::Mark(int32_t PageNo, Use Kind, int32_t ItemID) {
  const Owner Who{Kind, ItemID};
  const int32_t PageCount = FContainer.PageFile().Header().PageCount;
  if (PageNo <= 0 || PageNo >= PageCount) {
    Problem(Describe(Who) + " refers to page " + Str(PageNo) + " outside the container (page count " +
            Str(PageCount) + ")");
    return;
  }
  if (PageNo >= static_cast<int32_t>(FOwners.size())) {
    Problem(Describe(Who) + " refers to page " + Str(PageNo) + " beyond the end of the host file");
    return;
  }
  if (FOwners[PageNo].Kind != Use::None) {
    Problem("page " + Str(PageNo) + " is used twice: as " + Describe(FOwners[PageNo]) + " and as " + Describe(Who));
    return;
  }
  FOwners[PageNo] = Who;
  if (FContainer.FreeSpace().IsPageFree(PageNo)) {
    Problem("page " + Str(PageNo) + " is used as " + Describe(Who) + " but marked free");
  }
}

bool TContainerChecker::ReadStored(int32_t PageNo, int32_t Size, bool Decrypt, const std::string& What,
                                   TPageHeader& Header) {
  TPageFileManager& PageFile = FContainer.PageFile();
  Header = TPageHeader{};
  Header.Data = FBuffer.data();
  if (!PageFile.ReadPage(Header, PageNo, !Decrypt, {}, Size)) {
    Problem(What + " cannot be read (error " + Str(PageFile.LastError()) + ")");
    return false;
  }
  if (Header.ChecksumKind != codec::kChecksumXorDwords && Header.ChecksumKind != codec::kChecksumCrc16) {
    Problem(What + " has checksum kind " + Str(Header.ChecksumKind) + ", which verifies nothing");
  }
  return true;
}

void TContainerChecker::ExpectEncryption(const TPageHeader& Header, uint8_t Expected, const std::string& What) {
  if (Header.EncryptionType != Expected) {
    Problem(What + " has encryption type " + Str(Header.EncryptionType) + ", expected " + Str(Expected));
  }
}

std::vector<std::string> TContainerChecker::Check(bool IncludeLeaks) {
  FProblems.clear();
  FLeakedPages.clear();
  const TContainerHeader& Header = FContainer.PageFile().Header();
  if (Header.PageCount < 1 || Header.PageSize <= kPageHeaderSize || Header.ExtentPageCount < 1) {
    Problem("the container header holds impossible sizes");
    return FProblems;
  }
  TPageFileManager& PageFile = FContainer.PageFile();
  const TCFSHugeFile& Host = PageFile.HostFile();
  if (Host.ChainBreak().Reason != cbNone) Problem(ChainBreakText(Host.ChainBreak(), Host.MaxPartSize()));
  if (PageFile.Truncated()) {
    Problem("the container is truncated: its " + Str(Header.PageCount) + " pages need " +
            Str(PageFile.NeededHostSize()) + " bytes, the host file holds " + Str(Host.GetSize()));
  }
  // Pages the host file holds: a truncated container's header may count many more.
  FOwners.assign(static_cast<size_t>(std::max(PageFile.StoredPageCount(), 1)), Owner{});
  FOwners[0].Kind = Use::Header;
  FBuffer.assign(static_cast<size_t>(PageFile.PageDataSize()), 0);

  CheckBitmaps();
  CheckDirectory();
  CheckItems();
  CheckExtents();

  TFreeSpaceManager& FreeSpace = FContainer.FreeSpace();
  for (size_t PageNo = 1; PageNo < FOwners.size(); ++PageNo) {
    const auto Page = static_cast<int32_t>(PageNo);
    if (FOwners[PageNo].Kind == Use::None && !FreeSpace.IsPageFree(Page)) FLeakedPages.push_back(Page);
  }
  if (IncludeLeaks && !FLeakedPages.empty()) {
    std::string Text = Str(static_cast<int64_t>(FLeakedPages.size())) + " page(s) marked used but used by nothing:";
    for (size_t I = 0; I < FLeakedPages.size() && I < 20; ++I) Text += " " + Str(FLeakedPages[I]);
    if (FLeakedPages.size() > 20) Text += " ...";
    Problem(Text);
  }
  return FProblems;
}

void TContainerChecker::CheckBitmaps() {
  TPageFileManager& PageFile = FContainer.PageFile();
  TFreeSpaceManager& FreeSpace = FContainer.FreeSpace();
  const TContainerHeader& Header = PageFile.Header();
  const int64_t D = PageFile.PageDataSize();
  const int64_t E = Header.ExtentPageCount;
  const int64_t PFSBytes = (8 * D - (8 * D) % E) / 8;
  const int64_t ExtentsPerPFS = FreeSpace.ExtentsPerPFSPage();
  const int64_t ExtentsPerGAM = FreeSpace.ExtentsPerGAMPage();
  const int64_t GAMBytes = ExtentsPerGAM / 8;
  const int64_t ExtentCount = FreeSpace.ExtentCount();

  if (ExtentCount != (Header.PageCount - kReservedPageCount) / E) {
    Problem("the free-space maps describe " + Str(ExtentCount) + " extents, the container holds " +
            Str((Header.PageCount - kReservedPageCount) / E));
  }
  const std::vector<int32_t>& PFSPages = FreeSpace.PFSPageNumbers();
  if (static_cast<int64_t>(PFSPages.size()) != Header.PFSPageCount) {
    Problem("the header counts " + Str(Header.PFSPageCount) + " PFS pages, the free-space manager holds " +
            Str(static_cast<int64_t>(PFSPages.size())));
  }
  if (static_cast<int64_t>(PFSPages.size()) * ExtentsPerPFS < ExtentCount) Problem("too few PFS pages for the extents");

  auto ReadBitmap = [&](int32_t PageNo, int64_t Bytes, uint8_t Type, const char* What) {
    const std::string Name = std::string(What) + " page " + Str(PageNo);
    TPageHeader PageHeader;
    if (!ReadStored(PageNo, static_cast<int32_t>(Bytes), false, Name, PageHeader)) return false;
    if (PageHeader.PageType != Type) Problem(Name + " has page type " + Str(PageHeader.PageType));
    ExpectEncryption(PageHeader, etNone, Name);
    return true;
  };

  for (size_t I = 0; I < PFSPages.size(); ++I) {
    const int64_t Expected = kFirstPFSPageNo + static_cast<int64_t>(I) * ExtentsPerPFS * E;
    if (PFSPages[I] != Expected) Problem("PFS page " + Str(static_cast<int64_t>(I)) + " is page " + Str(PFSPages[I]) + ", expected " + Str(Expected));
    Mark(PFSPages[I], Use::PFS, -1);
    if (!ReadBitmap(PFSPages[I], PFSBytes, ptPFS, "PFS")) continue;
    for (int64_t Bit = 0; Bit < PFSBytes * 8; ++Bit) {
      const int64_t Index = static_cast<int64_t>(I) * ExtentsPerPFS * E + Bit;
      const bool Memory = Index < ExtentCount * E ? FreeSpace.IsPageFree(static_cast<int32_t>(Index + kReservedPageCount)) : true;
      if (BitSet(FBuffer.data(), Bit) != Memory) {
        Problem("stored PFS bit of page " + Str(Index + kReservedPageCount) + " differs from memory");
        break;
      }
    }
  }

  const std::vector<int32_t>& GAMPages = FreeSpace.GAMPageNumbers();
  if (static_cast<int64_t>(GAMPages.size()) != Header.GAMPageCount) {
    Problem("the header counts " + Str(Header.GAMPageCount) + " GAM pages, the free-space manager holds " +
            Str(static_cast<int64_t>(GAMPages.size())));
  }
  if (static_cast<int64_t>(GAMPages.size()) * ExtentsPerGAM < ExtentCount) Problem("too few GAM pages for the extents");
  for (size_t I = 0; I < GAMPages.size(); ++I) {
    const int64_t Expected = kFirstGAMPageNo + static_cast<int64_t>(I) * ExtentsPerGAM * E;
    if (GAMPages[I] != Expected) Problem("GAM page " + Str(static_cast<int64_t>(I)) + " is page " + Str(GAMPages[I]) + ", expected " + Str(Expected));
    Mark(GAMPages[I], Use::GAM, -1);
    Mark(GAMPages[I] + kSGAMAfterGAM, Use::SGAM, -1);
    for (int Kind = 0; Kind < 2; ++Kind) {
      const bool IsGAM = Kind == 0;
      const int32_t PageNo = GAMPages[I] + Kind * kSGAMAfterGAM;
      if (!ReadBitmap(PageNo, GAMBytes, IsGAM ? ptGAM : ptSGAM, IsGAM ? "GAM" : "SGAM")) continue;
      for (int64_t Bit = 0; Bit < GAMBytes * 8; ++Bit) {
        const int64_t Extent = static_cast<int64_t>(I) * ExtentsPerGAM + Bit;
        bool Memory = IsGAM;  // bits past the extents: GAM 1, SGAM 0
        if (Extent < ExtentCount) {
          Memory = IsGAM ? FreeSpace.IsExtentFree(static_cast<int32_t>(Extent))
                         : FreeSpace.IsExtentMixed(static_cast<int32_t>(Extent));
        }
        if (BitSet(FBuffer.data(), Bit) != Memory) {
          Problem(std::string("stored ") + (IsGAM ? "GAM" : "SGAM") + " bit of extent " + Str(Extent) + " differs from memory");
          break;
        }
      }
    }
  }
}

void TContainerChecker::CheckDirectory() {
  TPageFileManager& PageFile = FContainer.PageFile();
  const TDIRManager& Directory = FContainer.Directory();
  const TContainerHeader& Header = PageFile.Header();
  const int64_t PerPage = Directory.ItemsPerDirPage();
  const int64_t Count = Header.DirItemCount;
  const TDIRArray& Items = Directory.Items();

  if (Items.ItemCount() != Count) {
    Problem("the header counts " + Str(Count) + " directory items, memory holds " + Str(Items.ItemCount()));
  }
  if (Header.DirPageCount < 0 || Count < 0 || Count > Header.DirPageCount * PerPage ||
      (Header.DirPageCount > 0 && Count <= (Header.DirPageCount - 1) * PerPage)) {
    Problem(Str(Header.DirPageCount) + " directory pages do not fit " + Str(Count) + " items");
  }
  const std::vector<int32_t>& Pages = Directory.DirPages();
  if (static_cast<int64_t>(Pages.size()) != Header.DirPageCount) {
    Problem("the header counts " + Str(Header.DirPageCount) + " directory pages, memory holds " +
            Str(static_cast<int64_t>(Pages.size())));
  }
  uint8_t Encoded[kDirItemSize];
  int32_t PageNo = Header.FirstDirPageNo;
  for (int32_t K = 0; K < Header.DirPageCount; ++K) {
    if (static_cast<size_t>(K) < Pages.size() && Pages[K] != PageNo) {
      Problem("directory page " + Str(K) + " is page " + Str(PageNo) + " in the stored chain, " + Str(Pages[K]) + " in memory");
    }
    if (PageNo <= 0 || PageNo >= Header.PageCount) {
      Problem("the directory chain leaves the container at page " + Str(PageNo));
      return;
    }
    Mark(PageNo, Use::Directory, -1);
    const std::string Name = "directory page " + Str(PageNo);
    TPageHeader PageHeader;
    if (!ReadStored(PageNo, static_cast<int32_t>(PerPage * kDirItemSize), true, Name, PageHeader)) return;
    if (PageHeader.PageType != ptDirectory) Problem(Name + " has page type " + Str(PageHeader.PageType));
    ExpectEncryption(PageHeader, Header.EncryptionType, Name);
    for (int64_t Slot = 0; Slot < PerPage; ++Slot) {
      const int64_t ItemID = K * PerPage + Slot;
      if (ItemID >= Count || ItemID >= Items.ItemCount()) break;
      Items.ReadItem(static_cast<int32_t>(ItemID)).Encode(Encoded);
      if (std::memcmp(Encoded, FBuffer.data() + Slot * kDirItemSize, kDirItemSize) != 0) {
        Problem("stored directory item " + Str(ItemID) + " differs from memory");
      }
    }
    PageNo = PageHeader.NextPageNo;
  }
}

void TContainerChecker::CheckItems() {
  const TDIRManager& Directory = FContainer.Directory();
  const TDIRArray& Items = Directory.Items();
  const int32_t Count = Items.ItemCount();
  int32_t Live = 0;
  for (int32_t ItemID = 0; ItemID < Count; ++ItemID) {
    const TDirItem& Item = Items.ReadItem(ItemID);
    if (Item.Deleted) continue;
    ++Live;
    const std::string Name = "item " + Str(ItemID) + " " + QuotedName(Item.FileName);
    if (Item.FileName.empty() || Item.FileName == "." || Item.FileName == ".." ||
        Item.FileName.find_first_of("\\/") != std::string::npos) {
      Problem(Name + " has an unusable name");
    }
    if (Item.IsDirectory != ((Item.Attr & kDirectoryAttr) != 0)) Problem(Name + " has attributes that disagree with its kind");
    if (Item.ParentID != kRootDirectoryID) {
      const bool Valid = Item.ParentID >= 0 && Item.ParentID < Count && !Items.ReadItem(Item.ParentID).Deleted &&
                         Items.ReadItem(Item.ParentID).IsDirectory;
      if (!Valid) Problem(Name + " has parent " + Str(Item.ParentID) + ", which is not a directory");
    }
    int32_t Parent = Item.ParentID;
    for (int32_t Steps = 0; Parent != kRootDirectoryID; ++Steps) {
      if (Parent < 0 || Parent >= Count || Steps > Count) {
        Problem(Name + " is not reachable from the root");
        break;
      }
      Parent = Items.ReadItem(Parent).ParentID;
    }
    if (Item.IsDirectory) {
      if (Item.FirstMapPageNo != -1 || Item.Size != 0) Problem(Name + " is a directory with pages or a size");
    } else {
      CheckFileMap(ItemID);
    }
  }

  // Indexes: exactly the live items, and no two live items of one name in one directory.
  const std::vector<int32_t>& NameIndex = Items.NameIndex();
  if (static_cast<int32_t>(NameIndex.size()) != Live || static_cast<int32_t>(Items.ParentIndex().size()) != Live) {
    Problem("the directory indexes hold " + Str(static_cast<int64_t>(NameIndex.size())) + " and " +
            Str(static_cast<int64_t>(Items.ParentIndex().size())) + " items, " + Str(Live) + " are live");
  }
  for (size_t First = 0; First < NameIndex.size();) {
    size_t Last = First + 1;
    while (Last < NameIndex.size() &&
           platform::AnsiSameText(Items.ReadItem(NameIndex[First]).FileName, Items.ReadItem(NameIndex[Last]).FileName)) {
      ++Last;
    }
    std::vector<int32_t> Parents;
    for (size_t I = First; I < Last; ++I) Parents.push_back(Items.ReadItem(NameIndex[I]).ParentID);
    std::sort(Parents.begin(), Parents.end());
    if (std::adjacent_find(Parents.begin(), Parents.end()) != Parents.end()) {
      Problem("two items named " + QuotedName(Items.ReadItem(NameIndex[First]).FileName) + " share a directory");
    }
    First = Last;
  }
}

void TContainerChecker::CheckFileMap(int32_t ItemID) {
  TPageFileManager& PageFile = FContainer.PageFile();
  const TDirItem& Item = FContainer.Directory().ReadItem(ItemID);
  const std::string Name = "item " + Str(ItemID) + " " + QuotedName(Item.FileName);
  const int64_t D = PageFile.PageDataSize();
  const int64_t PerMap = EntriesPerMapPage(static_cast<int32_t>(D));
  if (Item.Size < 0) {
    Problem(Name + " has a negative size");
    return;
  }
  const int64_t DataCount = Item.Size == 0 ? 0 : (Item.Size - 1) / D + 1;
  if (Item.FirstMapPageNo == -1) {
    if (DataCount > 0) Problem(Name + " has " + Str(Item.Size) + " bytes but no page map");
    return;
  }
  if (DataCount == 0) Problem(Name + " has a page map but no data");
  const int64_t MapCount = std::max<int64_t>(1, (DataCount + PerMap - 1) / PerMap);
  const int32_t PageCount = PageFile.Header().PageCount;
  if (DataCount + MapCount > static_cast<int64_t>(PageCount) - kReservedPageCount) {
    Problem(Name + " has " + Str(Item.Size) + " bytes, more than the container's " + Str(PageCount) + " pages hold");
    return;
  }
  const auto Stored = static_cast<int32_t>(FOwners.size());
  std::vector<int32_t> MapPages;
  std::vector<int32_t> DataPages;
  std::unordered_set<int32_t> Visited;
  int32_t PageNo = Item.FirstMapPageNo;
  bool Whole = true;
  for (int64_t K = 0; K < MapCount; ++K) {
    if (PageNo <= 0 || PageNo >= PageCount) {
      Problem("the page map of " + Name + " leaves the container at page " + Str(PageNo));
      Whole = false;
      break;
    }
    if (!Visited.insert(PageNo).second) {
      Problem("the page map of " + Name + " comes back to page " + Str(PageNo));
      Whole = false;
      break;
    }
    Mark(PageNo, Use::PageMap, ItemID);
    MapPages.push_back(PageNo);
    const std::string MapName = "page-map page " + Str(PageNo) + " of " + Name;
    TPageHeader PageHeader;
    if (!ReadStored(PageNo, -1, false, MapName, PageHeader)) {
      Whole = false;
      break;
    }
    if (PageHeader.PageType != ptPageMap) Problem(MapName + " has page type " + Str(PageHeader.PageType));
    ExpectEncryption(PageHeader, etNone, MapName);
    const int64_t Take = std::min<int64_t>(PerMap, DataCount - static_cast<int64_t>(DataPages.size()));
    for (int64_t J = 0; J < Take; ++J) DataPages.push_back(getLE32s(FBuffer.data() + J * kMapEntrySize));
    PageNo = PageHeader.NextPageNo;
  }
  if (Whole && PageNo != -1) {
    Problem("the page map of " + Name + " goes on past the " + Str(MapCount) + " map page(s) its size needs (to page " +
            Str(PageNo) + ")");
  }
  // A file with a password of its own is encrypted with its own key whatever the container does.
  const uint8_t Encryption = Item.HasPassword ? uint8_t{etPageCipher} : PageFile.Header().EncryptionType;
  int64_t Beyond = 0;
  for (int32_t DataPage : DataPages) {
    if (DataPage >= Stored && DataPage < PageCount) {
      ++Beyond;
      continue;
    }
    Mark(DataPage, Use::Data, ItemID);
    if (!FVerifyDataPages || DataPage <= 0 || DataPage >= Stored) continue;
    const std::string DataName = "data page " + Str(DataPage) + " of " + Name;
    TPageHeader PageHeader;
    if (!ReadStored(DataPage, -1, false, DataName, PageHeader)) continue;
    if (PageHeader.PageType != ptUserData && PageHeader.PageType != 0) {
      Problem(DataName + " has page type " + Str(PageHeader.PageType));
    }
    // A page added but not written yet holds zeros, unencrypted.
    if (PageHeader.EncryptionType != Encryption &&
        !(PageHeader.EncryptionType == etNone && AllZero(FBuffer.data(), FBuffer.size()))) {
      ExpectEncryption(PageHeader, Encryption, DataName);
    }
  }
  if (Beyond > 0) Problem(Str(Beyond) + " data page(s) of " + Name + " lie beyond the end of the host file");
  if (const auto* Cached = FContainer.PageMaps().CachedMap(Item.FirstMapPageNo)) {
    if (Cached->MapPages != MapPages || Cached->DataPages != DataPages) {
      Problem("the cached page map of " + Name + " differs from the stored one");
    }
  }
}

void TContainerChecker::CheckExtents() {
  TFreeSpaceManager& FreeSpace = FContainer.FreeSpace();
  const int32_t E = FContainer.PageFile().Header().ExtentPageCount;
  const int32_t PageCount = FContainer.PageFile().Header().PageCount;
  const int32_t ExtentCount = FreeSpace.ExtentCount();
  int32_t FreeExtents = 0;
  int32_t MixedExtents = 0;
  for (int32_t Extent = 0; Extent < ExtentCount; ++Extent) {
    const bool GAM = FreeSpace.IsExtentFree(Extent);
    const bool SGAM = FreeSpace.IsExtentMixed(Extent);
    FreeExtents += GAM;
    MixedExtents += SGAM;
    bool AllFree = true;
    bool OnlyBitmapsUsed = true;
    // An extent that starts with a PFS page alone keeps its GAM bit while its other pages are
    // handed out, until the last one goes.
    const bool StartsWithPFSOnly = FOwners.size() > static_cast<size_t>(kReservedPageCount + Extent * E) &&
                                   FOwners[kReservedPageCount + Extent * E].Kind == Use::PFS &&
                                   (FOwners.size() <= static_cast<size_t>(kReservedPageCount + Extent * E + 1) ||
                                    FOwners[kReservedPageCount + Extent * E + 1].Kind != Use::GAM);
    for (int32_t J = 0; J < E; ++J) {
      const int32_t PageNo = kReservedPageCount + Extent * E + J;
      if (PageNo >= PageCount || PageNo >= static_cast<int32_t>(FOwners.size())) break;
      if (!FreeSpace.IsPageFree(PageNo)) {
        AllFree = false;
        const Use Kind = FOwners[PageNo].Kind;
        if (Kind != Use::PFS && Kind != Use::GAM && Kind != Use::SGAM) OnlyBitmapsUsed = false;
      }
    }
    const std::string Name = "extent " + Str(Extent);
    if (GAM && SGAM) Problem(Name + " is marked both wholly free (GAM) and mixed (SGAM)");
    if (AllFree && !GAM) Problem(Name + " is wholly free but its GAM bit is clear");
    if (GAM && !OnlyBitmapsUsed && !StartsWithPFSOnly) Problem(Name + " has pages in use but its GAM bit says wholly free");
  }
  if (FreeExtents != FreeSpace.FreeExtentCount()) {
    Problem("the free extent count is " + Str(FreeSpace.FreeExtentCount()) + ", the GAM bits give " + Str(FreeExtents));
  }
  if (MixedExtents != FreeSpace.MixedExtentCount()) {
    Problem("the mixed extent count is " + Str(FreeSpace.MixedExtentCount()) + ", the SGAM bits give " + Str(MixedExtents));
  }
}

}  // namespace tesvar::container
