#include "container/TDIRManager.h"

#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "platform/Exception.h"
#include "platform/IClock.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace tesvar::container {

namespace {

bool IsSeparator(char C) { return C == '\\' || C == '/'; }

std::string_view CutAtNul(std::string_view Path) {
  const size_t Nul = Path.find('\0');
  return Nul == std::string_view::npos ? Path : Path.substr(0, Nul);
}

std::string_view CutName(std::string_view Name) {
  return Name.size() > static_cast<size_t>(kMaxFileNameLength) ? Name.substr(0, kMaxFileNameLength) : Name;
}

bool IsUsableName(std::string_view Name) { return !Name.empty() && Name != "." && Name != ".."; }

bool SameLetter(uint8_t A, uint8_t B) { return A == B || A - B == 32 || B - A == 32; }

}  // namespace

TDIRManager::TDIRManager(TPageFileManager& PageFile, TFreeSpaceManager& FreeSpace)
    : FPageFile(PageFile),
      FFreeSpace(FreeSpace),
      FItemsPerDirPage(container::ItemsPerDirPage(PageFile.PageDataSize())),
      FItems(FItemsPerDirPage),
      FPageBuffer(static_cast<size_t>(FItemsPerDirPage) * kDirItemSize) {}

TDIRManager::~TDIRManager() = default;

void TDIRManager::Load() {
  const TContainerHeader& Header = FPageFile.Header();
  if (Header.DirPageCount < 0 || Header.DirItemCount < 0 ||
      static_cast<int64_t>(Header.DirPageCount) * FItemsPerDirPage < Header.DirItemCount) {
    throw Exception("TDIRManager.Load - DirItemCount > DirPageCount * ItemsPerDirPage");
  }
  // Room for the items the pages in the host file can hold at most, not for what a damaged header
  // claims.
  std::vector<TDirItem> Items;
  Items.reserve(static_cast<size_t>(
      std::min<int64_t>(Header.DirItemCount, static_cast<int64_t>(FPageFile.StoredPageCount()) * FItemsPerDirPage)));
  std::vector<int32_t> Pages;
  std::unordered_set<int32_t> Visited;
  int32_t PageNo = Header.FirstDirPageNo;
  const int32_t DataSize = FItemsPerDirPage * kDirItemSize;
  for (int32_t K = 0; K < Header.DirPageCount; ++K) {
    if (PageNo >= Header.PageCount || !Visited.insert(PageNo).second) {
      throw Exception("TDIRManager.Load - invalid page No in directory chain, pageNo = " + std::to_string(PageNo));
    }
    TPageHeader PageHeader;
    PageHeader.Data = FPageBuffer.data();
    if (PageNo <= 0 || !FPageFile.ReadPage(PageHeader, PageNo, false, {}, DataSize)) {
      throw Exception("TDIRManager.Load - can not load page, pageNo = " + std::to_string(PageNo));
    }
    Pages.push_back(PageNo);
    for (int32_t Slot = 0; Slot < FItemsPerDirPage && static_cast<int32_t>(Items.size()) < Header.DirItemCount; ++Slot) {
      Items.push_back(TDirItem::Decode(FPageBuffer.data() + Slot * kDirItemSize));
    }
    PageNo = PageHeader.NextPageNo;
  }
  FItems.Assign(std::move(Items));
  FDirPages = std::move(Pages);
  FOpenCounts.assign(static_cast<size_t>(FItems.ItemCount()), 0);
  FSearches.clear();
}

int32_t TDIRManager::ParsePath(std::string_view Path, ParsedPath& Parsed) {
  Parsed = {};
  Path = CutAtNul(Path);
  if (Path.empty()) return cePathMalformed;
  if (IsSeparator(Path.front())) {
    Parsed.Absolute = true;
    Path.remove_prefix(1);
    if (Path.empty()) return 0;  // the root
  }
  if (IsSeparator(Path.back())) {
    Path.remove_suffix(1);
    if (Path.empty()) return cePathMalformed;
  }
  size_t Start = 0;
  while (true) {
    size_t End = Start;
    while (End < Path.size() && !IsSeparator(Path[End])) ++End;
    if (End == Start) return cePathMalformed;
    Parsed.Components.push_back(CutName(Path.substr(Start, End - Start)));
    if (End == Path.size()) break;
    Start = End + 1;
  }
  return 0;
}

int32_t TDIRManager::Resolve(const ParsedPath& Parsed, size_t Count) const {
  int32_t Dir = Parsed.Absolute ? kRootDirectoryID : FCurrentDir;
  for (size_t I = 0; I < Count; ++I) {
    if (Dir != kRootDirectoryID && !FItems.ReadItem(Dir).IsDirectory) return cePathNotFound;
    const std::string_view Name = Parsed.Components[I];
    if (Name == ".") continue;
    if (Name == "..") {
      if (Dir != kRootDirectoryID) Dir = FItems.ReadItem(Dir).ParentID;
      continue;
    }
    Dir = FItems.FindChild(Dir, Name);
    if (Dir < 0) return cePathNotFound;
  }
  return Dir;
}

int32_t TDIRManager::FindFile(std::string_view Path) const {
  ParsedPath Parsed;
  if (const int32_t Error = ParsePath(Path, Parsed)) return Error;
  return Resolve(Parsed, Parsed.Components.size());
}

bool TDIRManager::ParentAndName(std::string_view Path, int32_t& ParentID, std::string& Name,
                                std::string* ParentPath) const {
  ParsedPath Parsed;
  if (ParsePath(Path, Parsed) != 0 || Parsed.Components.empty()) return false;
  Name = std::string(Parsed.Components.back());
  if (!IsUsableName(Name)) return false;
  const size_t DirCount = Parsed.Components.size() - 1;
  ParentID = Resolve(Parsed, DirCount);
  if (ParentID >= 0 && !FItems.ReadItem(ParentID).IsDirectory) ParentID = cePathNotFound;
  if (ParentPath) {
    ParentPath->clear();
    if (Parsed.Absolute) ParentPath->push_back('\\');
    for (size_t I = 0; I < DirCount; ++I) {
      if (I > 0) *ParentPath += '\\';
      *ParentPath += Parsed.Components[I];
    }
  }
  return true;
}

bool TDIRManager::IsInside(int32_t ItemID, int32_t DirID) const {
  // Bounded walk: a damaged directory may hold a parent cycle.
  for (int32_t Steps = 0; DirID != kRootDirectoryID && Steps <= FItems.ItemCount(); ++Steps) {
    if (DirID == ItemID) return true;
    if (DirID < 0 || DirID >= FItems.ItemCount()) return false;
    DirID = FItems.ReadItem(DirID).ParentID;
  }
  return false;
}

void TDIRManager::WriteDirPage(size_t PageIndex, const char* SaveMessage) {
  const int32_t PageNo = FDirPages[PageIndex];
  TPageHeader PageHeader;
  PageHeader.NextPageNo = PageIndex + 1 < FDirPages.size() ? FDirPages[PageIndex + 1] : -1;
  PageHeader.PageType = ptDirectory;
  PageHeader.EncryptionType = FPageFile.Header().EncryptionType;
  PageHeader.ChecksumKind = 0;
  std::fill(FPageBuffer.begin(), FPageBuffer.end(), 0);
  const int32_t First = static_cast<int32_t>(PageIndex) * FItemsPerDirPage;
  const int32_t Last = std::min(First + FItemsPerDirPage, FItems.ItemCount());
  for (int32_t ItemID = First; ItemID < Last; ++ItemID) {
    FItems.ReadItem(ItemID).Encode(FPageBuffer.data() + (ItemID - First) * kDirItemSize);
  }
  PageHeader.Data = FPageBuffer.data();
  if (!FPageFile.WritePage(PageHeader, PageNo, {}, static_cast<int32_t>(FPageBuffer.size()))) {
    FLastError = FPageFile.LastError();
    throw Exception(SaveMessage + std::to_string(PageNo));
  }
}

void TDIRManager::RestoreDirPage(size_t PageIndex) {
  // A page write that failed after its header went out leaves a page whose checksum does not
  // match; writing the unchanged items again repairs it when the device lets us.
  const int32_t Error = FLastError;
  try {
    WriteDirPage(PageIndex, "");
  } catch (...) {
  }
  FLastError = Error;
}

void TDIRManager::WriteItem(int32_t ItemID, const TDirItem& Item) {
  const TDirItem Former = FItems.ReadItem(ItemID);
  FItems.UpdateItem(ItemID, Item);
  try {
    WriteDirPage(static_cast<size_t>(ItemID / FItemsPerDirPage), "TDIRManager.WriteItem - can not save page, pageNo = ");
  } catch (...) {
    FItems.UpdateItem(ItemID, Former);
    RestoreDirPage(static_cast<size_t>(ItemID / FItemsPerDirPage));
    throw;
  }
  if (Item.Deleted) FOpenCounts[ItemID] = 0;
}

bool TDIRManager::AddItem(const TDirItem& Item, int32_t& ItemID) {
  FLastError = ceOk;
  const int32_t Reuse = FItems.FirstDeleted();
  if (Reuse >= 0) {
    WriteItem(Reuse, Item);
    FOpenCounts[Reuse] = 0;
    ItemID = Reuse;
    return true;
  }

  TContainerHeader& Header = FPageFile.Header();
  const TContainerHeader Former = Header;
  const bool NeedPage = static_cast<int64_t>(Header.DirPageCount) * FItemsPerDirPage <= Header.DirItemCount;
  int32_t NewPage = -1;
  if (NeedPage) {
    std::vector<int32_t> Pages;
    const int32_t Near = FDirPages.empty() ? 0 : FDirPages.back();
    if (!FFreeSpace.GetPages(1, Near, Pages, Header.DirPageCount > 16) || Pages.empty()) {
      FLastError = ceNoSpace;
      if (!Pages.empty()) FFreeSpace.FreePages(Pages);
      return false;
    }
    NewPage = Pages.front();
    FDirPages.push_back(NewPage);
  }

  // The new page (or the slot on the last page) is written before anything refers to it, and
  // the header, which makes the item part of the directory, last; a failure on the way leaves
  // the stored directory as it was.
  const int32_t NewID = FItems.AddItem(Item);
  try {
    const size_t PageIndex = static_cast<size_t>(NewID / FItemsPerDirPage);
    WriteDirPage(PageIndex, "TDIRManager.AddItem - can not save page, pageNo = ");
    // The former last page, stored again with its next field naming the new page.
    if (NeedPage && FDirPages.size() > 1) {
      WriteDirPage(FDirPages.size() - 2, "TDIRManager.AddItem - can not save last page, pageNo = ");
    }
    if (NeedPage) {
      if (Header.DirPageCount == 0) Header.FirstDirPageNo = NewPage;
      ++Header.DirPageCount;
    }
    ++Header.DirItemCount;
    FPageFile.SaveHeader();
  } catch (...) {
    FItems.RemoveLastItem();
    Header.DirPageCount = Former.DirPageCount;
    Header.FirstDirPageNo = Former.FirstDirPageNo;
    Header.DirItemCount = Former.DirItemCount;
    if (NeedPage) {
      FDirPages.pop_back();
      if (!FDirPages.empty()) RestoreDirPage(FDirPages.size() - 1);  // next field back to -1
      FFreeSpace.FreePages({NewPage});
    } else {
      RestoreDirPage(static_cast<size_t>(NewID / FItemsPerDirPage));
    }
    throw;
  }
  FOpenCounts.push_back(0);
  ItemID = NewID;
  return true;
}

int32_t TDIRManager::AddNewItem(std::string_view Path, bool Directory, const std::string& Password,
                                const std::string& Question, const std::string& Answer) {
  FLastError = ceOk;
  int32_t ParentID = 0;
  std::string Name;
  if (!ParentAndName(Path, ParentID, Name, nullptr)) return Fail(cePathMalformed, -1);
  if (ParentID < kRootDirectoryID) return Fail(cePathNotFound, -1);
  TDirItem Item;
  Item.ParentID = ParentID;
  Item.FileName = std::move(Name);
  const int64_t Now = platform::NowDosResolutionUtc();
  Item.CreationTime = Item.LastWriteTime = Item.LastAccessTime = Now;
  if (Directory) {
    Item.Attr = kDirectoryAttr;
    Item.IsDirectory = true;
  } else if (!Password.empty()) {
    std::string Key;
    TPageFileManager::BuildPasswordBlock(Password, Question, Answer, Item.PasswordBlock, &Key);
    Item.HasPassword = true;
  }
  int32_t ItemID = -1;
  return AddItem(Item, ItemID) ? ItemID : -1;
}

int32_t TDIRManager::CreateFile(std::string_view Path, const std::string& Password,
                                const std::string& Question, const std::string& Answer) {
  return AddNewItem(Path, false, Password, Question, Answer);
}

bool TDIRManager::CreateDir(std::string_view Path) {
  const int32_t Existing = FindFile(Path);
  if (Existing == cePathMalformed) return Fail(cePathMalformed, false);
  if (Existing != cePathNotFound) return Fail(ceFileExists, false);  // an item or the root
  return AddNewItem(Path, true, {}, {}, {}) >= 0;
}

bool TDIRManager::DirectoryExists(std::string_view Path) const {
  Path = CutAtNul(Path);
  if (Path == "\\" || Path == "/" || Path == ".") return true;
  const int32_t ItemID = FindFile(Path);
  return ItemID == kRootDirectoryID || (ItemID >= 0 && FItems.ReadItem(ItemID).IsDirectory);
}

bool TDIRManager::ForceDirectories(std::string_view Path) {
  FLastError = ceOk;
  const int32_t Existing = FindFile(Path);
  if (Existing == kRootDirectoryID) return true;
  if (Existing >= 0) return FItems.ReadItem(Existing).IsDirectory || Fail(ceFileExists, false);
  if (Existing == cePathMalformed) return Fail(cePathMalformed, false);
  int32_t ParentID = 0;
  std::string Name;
  std::string ParentPath;
  if (!ParentAndName(Path, ParentID, Name, &ParentPath)) return Fail(cePathMalformed, false);
  if (ParentID < kRootDirectoryID && !ForceDirectories(ParentPath)) {
    // A parent that names a file simply cannot be made (its code stays); a failed allocation
    // raises, as a failed write does.
    if (FLastError != ceNoSpace) return false;
    throw Exception("TDIRManager.ForceDirectories - ForceDirectories error!");
  }
  return CreateDir(Path);
}

bool TDIRManager::RenameItem(std::string_view OldPath, std::string_view NewPath) {
  FLastError = ceOk;
  const int32_t ItemID = FindFile(OldPath);
  if (ItemID == kRootDirectoryID) return Fail(ceInvalidArgument, false);
  if (ItemID < 0) return Fail(ItemID, false);
  const int32_t Target = FindFile(NewPath);
  if (Target == kRootDirectoryID || (Target >= 0 && Target != ItemID)) return Fail(ceFileExists, false);
  if (OpenCount(ItemID) > 0) return Fail(ceFileInUse, false);
  int32_t ParentID = 0;
  std::string Name;
  std::string ParentPath;
  if (!ParentAndName(NewPath, ParentID, Name, &ParentPath)) return Fail(cePathMalformed, false);
  if (ParentID < kRootDirectoryID) {
    if (!ForceDirectories(ParentPath)) return false;
    ParentID = FindFile(ParentPath);
    if (ParentID < kRootDirectoryID || (ParentID >= 0 && !FItems.ReadItem(ParentID).IsDirectory)) {
      return Fail(cePathNotFound, false);
    }
  }
  if (FItems.ReadItem(ItemID).IsDirectory && IsInside(ItemID, ParentID)) return Fail(ceInvalidArgument, false);
  // One write moves the item: a failure leaves it under its old name.
  TDirItem Item = FItems.ReadItem(ItemID);
  Item.ParentID = ParentID;
  Item.FileName = std::move(Name);
  Item.Deleted = false;
  Item.LastWriteTime = Item.LastAccessTime = platform::NowDosResolutionUtc();
  WriteItem(ItemID, Item);
  return true;
}

int32_t TDIRManager::OpenItem(std::string_view Path, const std::string& Password, std::string& Key) {
  FLastError = ceOk;
  Key.clear();
  const int32_t ItemID = FindFile(Path);
  if (ItemID == kRootDirectoryID) return Fail(ceIsDirectory, -1);
  if (ItemID < 0) return Fail(ItemID, -1);
  TDirItem Item = FItems.ReadItem(ItemID);
  if (Item.IsDirectory) return Fail(ceIsDirectory, -1);
  if (Item.HasPassword && !TPageFileManager::VerifyPassword(Password, Item.PasswordBlock, &Key)) {
    return Fail(ceInvalidPassword, -1);
  }
  if (!FPageFile.ReadOnly()) {
    Item.LastAccessTime = platform::NowDosResolutionUtc();
    WriteItem(ItemID, Item);
  }
  ++FOpenCounts[ItemID];
  return ItemID;
}

void TDIRManager::CloseItem(int32_t ItemID) {
  if (ItemID >= 0 && ItemID < FItems.ItemCount() && FOpenCounts[ItemID] > 0) --FOpenCounts[ItemID];
}

int32_t TDIRManager::OpenCount(int32_t ItemID) const {
  if (ItemID < 0 || ItemID >= FItems.ItemCount()) return -1;
  return FOpenCounts[ItemID];
}

std::string TDIRManager::ItemPath(int32_t ItemID) const {
  if (ItemID == kRootDirectoryID) return "\\";
  std::vector<const std::string*> Names;
  for (int32_t Steps = 0; ItemID != kRootDirectoryID; ++Steps) {
    if (Steps > FItems.ItemCount()) throw Exception("TDIRManager.ItemPath - parent cycle in directory");
    const TDirItem& Item = FItems.ReadItem(ItemID);
    Names.push_back(&Item.FileName);
    ItemID = Item.ParentID;
  }
  std::string Path;
  for (auto It = Names.rbegin(); It != Names.rend(); ++It) {
    Path += '\\';
    Path += **It;
  }
  return Path;
}

bool TDIRManager::MatchesMask(std::string_view Name, std::string_view Mask) {
  if (Mask == "*.*") return true;
  size_t N = 0;
  size_t M = 0;
  size_t StarMask = std::string_view::npos;
  size_t StarName = 0;
  while (N < Name.size()) {
    if (M < Mask.size() && Mask[M] == '*') {
      StarMask = M++;
      StarName = N;
    } else if (M < Mask.size() &&
               (Mask[M] == '?' || SameLetter(static_cast<uint8_t>(Mask[M]), static_cast<uint8_t>(Name[N])))) {
      ++M;
      ++N;
    } else if (StarMask != std::string_view::npos) {
      M = StarMask + 1;
      N = ++StarName;
    } else {
      return false;
    }
  }
  while (M < Mask.size() && Mask[M] == '*') ++M;
  return M == Mask.size();
}

void TDIRManager::FillSearchRec(int32_t ItemID, TSearchRec& SearchRec) const {
  const TDirItem& Item = FItems.ReadItem(ItemID);
  SearchRec.Time = static_cast<int32_t>(platform::FileTimeToDosDateTime(Item.LastWriteTime));
  SearchRec.Size = Item.Size;
  SearchRec.Attr = static_cast<int32_t>(Item.Attr);
  SearchRec.Name = Item.FileName;
  SearchRec.FindData.dwFileAttributes = Item.Attr;
  SearchRec.FindData.ftCreationTime = Item.CreationTime;
  SearchRec.FindData.ftLastAccessTime = Item.LastAccessTime;
  SearchRec.FindData.ftLastWriteTime = Item.LastWriteTime;
  SearchRec.FindData.nFileSizeHigh = static_cast<uint32_t>(static_cast<uint64_t>(Item.Size) >> 32);
  SearchRec.FindData.nFileSizeLow = static_cast<uint32_t>(Item.Size);
  SearchRec.FindData.cFileName = Item.FileName;
}

int32_t TDIRManager::FindFirst(std::string_view Mask, uint32_t Attr, TSearchRec& SearchRec) {
  SearchRec.FindHandle = -1;
  Mask = CutAtNul(Mask);
  const uint32_t Excluded = (Attr & kSearchAttrMask) ^ kSearchAttrMask;
  SearchRec.ExcludeAttr = static_cast<int32_t>(Excluded);
  size_t Split = Mask.find_last_of("\\/");
  std::string_view NameMask = Split == std::string_view::npos ? Mask : Mask.substr(Split + 1);
  int32_t Dir = FCurrentDir;
  if (Split != std::string_view::npos) {
    const std::string_view DirPart = Mask.substr(0, Split);
    if (DirPart.empty()) {
      Dir = kRootDirectoryID;
    } else {
      Dir = FindFile(DirPart);
      if (Dir >= 0 && !FItems.ReadItem(Dir).IsDirectory) Dir = cePathNotFound;
    }
  }
  if (Dir < kRootDirectoryID) return kFindPathNotFound;
  SearchList List;
  List.ExcludeAttr = Excluded;
  for (int32_t Child : FItems.Children(Dir)) {
    const TDirItem& Item = FItems.ReadItem(Child);
    if ((Item.Attr & Excluded) == 0 && MatchesMask(Item.FileName, NameMask)) List.Items.push_back(Child);
  }
  if (List.Items.empty()) return kFindNoMoreFiles;
  const int32_t Number = FNextSearch++;
  FSearches.emplace(Number, std::move(List));
  SearchRec.FindHandle = Number;
  return FindNext(SearchRec);
}

int32_t TDIRManager::FindNext(TSearchRec& SearchRec) {
  auto It = FSearches.find(SearchRec.FindHandle);
  if (It == FSearches.end()) return kFindNoMoreFiles;
  SearchList& List = It->second;
  // Items deleted since the search began are passed over.
  while (List.Next < List.Items.size()) {
    const int32_t ItemID = List.Items[List.Next++];
    if (ItemID < FItems.ItemCount() && !FItems.ReadItem(ItemID).Deleted) {
      FillSearchRec(ItemID, SearchRec);
      return 0;
    }
  }
  return kFindNoMoreFiles;
}

void TDIRManager::FindClose(TSearchRec& SearchRec) {
  FSearches.erase(SearchRec.FindHandle);
  SearchRec.FindHandle = -1;
}

}  // namespace tesvar::container
