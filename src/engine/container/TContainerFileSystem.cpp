#include "container/TContainerFileSystem.h"

#include "container/PageRunIO_internal.h"
#include "container/VerifiedPageCache_internal.h"
#include "container/TCFSHugeFile.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "platform/Exception.h"
#include "platform/IClock.h"
#include "platform/IFileSystem.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <span>

namespace tesvar::container {

TContainerFileSystem::TContainerFileSystem(const std::string& FileName, uint16_t Mode, bool InMemory,
                                           const std::string& Password, const std::string& Question,
                                           const std::string& Answer, int32_t PageSizeKB, int32_t ExtentPageCount)
    : FFileName(FileName), FMode(Mode), FInMemory(InMemory) {
  if (InMemory && Mode == kModeCreate && platform::FileSystem().FileExists(FileName)) Mode = kModeReadWrite;
  FMode = Mode;
  if (Mode != kModeCreate && !CheckFilePassword(FileName, Password)) {
    throw Exception("TContainerFileSystem.Create - invalid password specified, file name = " + QuotedName(FileName));
  }
  FPageFile = std::make_unique<TPageFileManager>(FileName, Mode, Password, Question, Answer, InMemory, PageSizeKB,
                                                 ExtentPageCount);
  FPassword = Password;
  FFreeSpace = std::make_unique<TFreeSpaceManager>(*FPageFile);
  FDirectory = std::make_unique<TDIRManager>(*FPageFile, *FFreeSpace);
  FDirectory->Load();
  FPageMaps = std::make_unique<TUserFilePageMapManager>(*FPageFile, *FFreeSpace);
  FReadOnly = FPageFile->ReadOnly();
  FExclusive = FPageFile->Exclusive();
  if (!IsEncrypted()) FPassword.clear();
  FPageBuffer.resize(static_cast<size_t>(FPageFile->PageDataSize()));
  FTailBuffer.resize(FPageBuffer.size());
  for (TWrittenTail& Tail : FWrittenTails) Tail.Data.resize(FPageBuffer.size());
  FPageRuns = std::make_unique<TPageRunIO>(*FPageFile);
  FVerifiedPages = std::make_unique<TVerifiedPageCache>(FPageFile->PageDataSize());
}

TContainerFileSystem::~TContainerFileSystem() {
  FHandles.clear();
  try {
    // A destructor cannot report a failed flush (see the declaration); the data went to the host
    // file already.
    if (FPageFile) static_cast<void>(FPageFile->Flush());
  } catch (...) {
    // Closing must not fail.
  }
  FVerifiedPages.reset();
  FPageRuns.reset();
  FPageMaps.reset();
  FDirectory.reset();
  FFreeSpace.reset();
  FPageFile.reset();
}

bool TContainerFileSystem::IsEncrypted() const { return FPageFile->Header().EncryptionType != etNone; }

bool TContainerFileSystem::IsFileEncrypted(const std::string& FileName) {
  return TPageFileManager::StoredHeader(FileName).EncryptionType != etNone;
}

bool TContainerFileSystem::CheckFilePassword(const std::string& FileName, const std::string& Password) {
  // Read without the password: the check below is the one verification.
  const TContainerHeader Header = TPageFileManager::StoredHeader(FileName);
  if (Header.EncryptionType == etNone) return true;
  std::string Key;
  return TPageFileManager::VerifyPassword(Password, Header.PasswordBlock, &Key);
}

TUserFileHandle* TContainerFileSystem::FindHandle(int32_t Handle) {
  auto It = FHandles.find(Handle);
  return It == FHandles.end() ? nullptr : &It->second;
}

const TUserFileHandle* TContainerFileSystem::Handle(int32_t Handle) const {
  auto It = FHandles.find(Handle);
  return It == FHandles.end() ? nullptr : &It->second;
}

int32_t TContainerFileSystem::AddHandle(int32_t ItemID, int32_t Mode, std::string Key) {
  const int32_t Number = FNextHandle++;
  FHandles.emplace(Number, TUserFileHandle{ItemID, 0, Mode, std::move(Key)});
  return Number;
}

TUserFileHandle* TContainerFileSystem::StartTransfer(int32_t Handle) {
  TUserFileHandle* H = FindHandle(Handle);
  FLastError = H ? ceOk : ceInvalidHandle;
  return H;
}

void TContainerFileSystem::NoSpace() {
  if (OnNoSpace) OnNoSpace(*this);
}

template <class F>
bool TContainerFileSystem::DirectoryChange(F&& Change) {
  bool Result = false;
  try {
    Result = Change();
  } catch (const Exception&) {
    // A parent that could not be made for want of space is reported like any other failure.
    if (FDirectory->LastError() != ceNoSpace) throw;
  }
  if (!Result) {
    FLastError = FDirectory->LastError();
    if (FLastError == ceNoSpace) NoSpace();
  }
  return Result;
}

uint8_t TContainerFileSystem::FileEncryptionType(const TUserFileHandle& Handle) const {
  return Handle.Key.empty() ? FPageFile->Header().EncryptionType : static_cast<uint8_t>(etPageCipher);
}

int32_t TContainerFileSystem::FileOpen(std::string_view Path, uint16_t Mode, const std::string& Password,
                                       const std::string& Question, const std::string& Answer) {
  FLastError = ceOk;
  if (Mode == kModeCreate) {
    if (FReadOnly) {
      FLastError = ceReadOnly;
      return -1;
    }
    const int32_t Existing = FDirectory->FindFile(Path);
    if (Existing == kRootDirectoryID || (Existing >= 0 && FDirectory->ReadItem(Existing).IsDirectory)) {
      FLastError = ceIsDirectory;
      return -1;
    }
    if (Existing >= 0 && !DeleteFile(Path)) {
      FLastError = ceFileInUse;  // the file is open: it is opened as it is
    } else if (FDirectory->CreateFile(Path, Password, Question, Answer) < 0) {
      FLastError = FDirectory->LastError();
      if (FLastError == ceNoSpace) NoSpace();
      return -1;
    }
  }
  // OpenItem checks the file's own password as it opens it.
  std::string Key;
  const int32_t ItemID = FDirectory->OpenItem(Path, Password, Key);
  if (ItemID < 0) {
    FLastError = FDirectory->LastError();
    return -1;
  }
  return AddHandle(ItemID, Mode, std::move(Key));
}

bool TContainerFileSystem::FileClose(int32_t Handle) {
  auto It = FHandles.find(Handle);
  if (It == FHandles.end()) return true;
  FDirectory->CloseItem(It->second.ItemID);
  FHandles.erase(It);
  const TCFSTransaction* Transaction = FPageFile->HostFile().Transaction();
  if (Transaction == nullptr || !Transaction->Dirty() || FPageFile->Flush()) return true;
  FLastError = ceFlushFailed;
  return false;
}

int32_t TContainerFileSystem::FileRead(int32_t Handle, void* Buffer, int32_t Count) {
  TUserFileHandle* H = StartTransfer(Handle);
  if (!H) return -1;
  if (Count <= 0) return 0;
  if (H->Position < 0) {
    FLastError = ceInvalidArgument;
    return 0;
  }
  const TDirItem& Item = FDirectory->ReadItem(H->ItemID);
  const int64_t Available = Item.Size - H->Position;
  const int32_t Wanted = static_cast<int32_t>(std::min<int64_t>(Count, Available));
  if (Wanted <= 0) return 0;
  const std::span<const int32_t> Pages = FPageMaps->FilePages(Item, Wanted, H->Position);
  if (Pages.empty()) throw Exception("TContainerFileSystem.FileRead - no pages were found by UFM.");

  const int64_t D = FPageFile->PageDataSize();
  auto* Dest = static_cast<uint8_t*>(Buffer);
  const int32_t FirstStart = static_cast<int32_t>(H->Position % D);
  // A read that continues the last one of the file reads ahead the file's pages that follow
  // its last page in the host file (as far as a read-ahead transfer and the one after reach).
  int32_t Ahead = 0;
  const size_t Transfer = FPageRuns->ReadAheadPages();
  const auto Most = static_cast<int32_t>(Pages.size() < Transfer ? 2 * Transfer - Pages.size() : 0);
  if (Most > 0 && H->ItemID == FLastReadItem && H->Position == FLastReadEnd && !FPageRuns->Holds(Pages.back())) {
    const std::vector<int32_t>& Map = FPageMaps->GetMaps(Item).DataPages;
    const size_t Next = static_cast<size_t>((H->Position + Wanted - 1) / D) + 1;
    while (Ahead < Most && Next + static_cast<size_t>(Ahead) < Map.size() &&
           Map[Next + static_cast<size_t>(Ahead)] == Pages.back() + 1 + Ahead) {
      ++Ahead;
    }
  }
  // A part of a page comes from the verified pages when they hold it: the first page of the read
  // when the read starts inside it or ends before its end, the last one when the read ends inside
  // it. Only the pages in between need a transfer.
  const uint64_t Change = FPageFile->HostFile().ChangeCount();
  const int32_t FirstLength = static_cast<int32_t>(std::min<int64_t>(D - FirstStart, Wanted));
  const bool FirstPartial = FirstLength != D;
  const int32_t LastLength = Pages.size() > 1 ? static_cast<int32_t>((FirstStart + Wanted - 1) % D + 1) : FirstLength;
  const bool LastPartial = Pages.size() > 1 && LastLength != D;
  int32_t Done = 0;
  size_t Begin = 0;
  size_t End = Pages.size();
  // A small read (a value within a page or two) that misses brings the neighbours of its page
  // along; the file's map is cached (FilePages read it).
  const auto Around = [&](size_t Index, int32_t PageNo) -> const uint8_t* {
    const uint8_t* Held = FVerifiedPages->Find(PageNo, H->Key, Change);
    if (Held != nullptr || Pages.size() > 2) return Held;
    HoldPagesAround(FPageMaps->GetMaps(Item).DataPages, Index, H->Key, Change);
    return FVerifiedPages->Find(PageNo, H->Key, Change);
  };
  const auto FirstIndex = static_cast<size_t>(H->Position / D);
  if (FirstPartial) {
    if (const uint8_t* Held = Around(FirstIndex, Pages[0])) {
      std::memcpy(Dest, Held + FirstStart, static_cast<size_t>(FirstLength));
      Done = FirstLength;
      Begin = 1;
    }
  }
  // The last page's part goes to its place now (a page stored below may take the held one's
  // room); it counts as read once every page before it was.
  bool LastHeld = false;
  if (LastPartial) {
    if (const uint8_t* Held = Around(FirstIndex + Pages.size() - 1, Pages.back())) {
      std::memcpy(Dest + Wanted - LastLength, Held, static_cast<size_t>(LastLength));
      LastHeld = true;
      --End;
    }
  }
  // Runs of pages stored one after another come in one transfer each; whole pages go straight
  // into the caller's buffer, a partial first or last page through a scratch page.
  uint8_t* Dests[TPageRunIO::kMaxRunPages];
  int32_t Lengths[TPageRunIO::kMaxRunPages];
  bool Failed = false;
  for (size_t I = Begin; I < End;) {
    const int32_t Run = ConsecutiveRun(Pages, I, static_cast<int64_t>(End - I));
    int32_t Offset = Done;
    for (int32_t K = 0; K < Run; ++K) {
      const int32_t Start = I + K == 0 ? FirstStart : 0;
      Lengths[K] = static_cast<int32_t>(std::min<int64_t>(D - Start, Wanted - Offset));
      Dests[K] = Lengths[K] == D ? Dest + Offset : (I + K == 0 ? FPageBuffer.data() : FTailBuffer.data());
      Offset += Lengths[K];
    }
    const bool Last = I + static_cast<size_t>(Run) == End;
    const int32_t Read = FPageRuns->ReadRun(Pages[I], Run, Dests, H->Key, Last ? Ahead : 0);
    for (int32_t K = 0; K < Read; ++K) {
      if (Lengths[K] != D) {
        std::memcpy(Dest + Done, Dests[K] + (I + K == 0 ? FirstStart : 0), static_cast<size_t>(Lengths[K]));
        FVerifiedPages->Store(Pages[I + K], H->Key, Change, Dests[K]);
      }
      Done += Lengths[K];
    }
    if (Read < Run) {
      FLastError = FPageFile->LastError();
      Failed = true;
      break;
    }
    I += static_cast<size_t>(Run);
  }
  if (!Failed && LastHeld) Done += LastLength;
  H->Position += Done;
  FLastReadItem = H->ItemID;
  FLastReadEnd = H->Position;
  return Done;
}

void TContainerFileSystem::HoldPagesAround(const std::vector<int32_t>& Map, size_t Index, const std::string& Key,
                                           uint64_t Change) {
  if (Index >= Map.size() || Map.size() > static_cast<size_t>(FVerifiedPages->MostPages() / 2)) return;
  // The aligned group of kPagesAround file pages holding Index, those not held yet that lie
  // within kHostReach host pages of Map[Index]: one transfer brings the host pages from the
  // lowest to the highest of them, and only those are verified and kept (the pages between them
  // are held ones or other files', written in turn with this one).
  constexpr auto Group = static_cast<size_t>(kPagesAround);
  const size_t GroupStart = Index / Group * Group;
  const size_t GroupEnd = std::min(GroupStart + Group, Map.size());
  const int32_t Center = Map[Index];
  // One transfer (of larger pages a shorter reach).
  const int32_t Reach = std::min(kHostReach, (FPageRuns->MaxPages() - 1) / 2);
  const auto Wanted = [&](int32_t PageNo) {
    return PageNo >= Center - Reach && PageNo <= Center + Reach && !FVerifiedPages->Holds(PageNo, Key, Change);
  };
  int32_t Low = Center;
  int32_t High = Center;
  for (size_t J = GroupStart; J < GroupEnd; ++J) {
    if (!Wanted(Map[J])) continue;
    Low = std::min(Low, Map[J]);
    High = std::max(High, Map[J]);
  }
  const int32_t Count = High - Low + 1;
  if (Count == 1) return;  // the caller's own read does as well
  const auto D = static_cast<size_t>(FPageFile->PageDataSize());
  FAroundBuffer.resize(Group * D);
  uint8_t* Dests[2 * kHostReach + 1] = {};
  size_t Used = 0;
  for (size_t J = GroupStart; J < GroupEnd; ++J) {
    if (!Wanted(Map[J]) || Dests[Map[J] - Low] != nullptr) continue;
    Dests[Map[J] - Low] = FAroundBuffer.data() + Used++ * D;
  }
  // A page that fails is only left out (with those after it): the page file's error stays as it
  // was, and the caller reads its own page on its own.
  const int32_t Error = FPageFile->LastError();
  const int32_t Read = FPageRuns->ReadRun(Low, Count, Dests, Key);
  FPageFile->SetLastError(Error);
  for (int32_t K = 0; K < Read; ++K) {
    if (Dests[K] != nullptr) FVerifiedPages->Store(Low + K, Key, Change, Dests[K]);
  }
}

int32_t TContainerFileSystem::ConsecutiveRun(std::span<const int32_t> Pages, size_t First, int64_t Limit) const {
  const int64_t Max = std::min<int64_t>({Limit, FPageRuns->MaxPages(), static_cast<int64_t>(Pages.size() - First)});
  int32_t Run = 1;
  while (Run < Max && Pages[First + Run] == Pages[First] + Run) ++Run;
  return Run;
}

bool TContainerFileSystem::ZeroPageTail(int32_t PageNo, int32_t From, const std::string& Key) {
  if (FPageRuns->ReadRun(PageNo, 1, FPageBuffer.data(), Key) != 1) {
    FLastError = FPageFile->LastError();
    return false;
  }
  std::fill(FPageBuffer.begin() + From, FPageBuffer.end(), 0);
  const uint8_t Encryption = Key.empty() ? FPageFile->Header().EncryptionType : static_cast<uint8_t>(etPageCipher);
  if (FPageRuns->WriteRun(PageNo, 1, FPageBuffer.data(), Encryption, Key) != 1) {
    FLastError = FPageFile->LastError();
    return false;
  }
  return true;
}

int32_t TContainerFileSystem::FileWrite(int32_t Handle, const void* Buffer, int32_t Count) {
  TUserFileHandle* H = StartTransfer(Handle);
  if (!H) return -1;
  if (Count <= 0) return 0;
  if (FReadOnly) {
    FLastError = ceReadOnly;
    return 0;
  }
  if (H->Position < 0 || H->Position > std::numeric_limits<int64_t>::max() - Count) {
    FLastError = ceInvalidArgument;
    return 0;
  }
  const int64_t D = FPageFile->PageDataSize();
  const int64_t Start = H->Position;
  const int64_t End = Start + Count;
  // The page the file's last write ended in, when nothing else changed the host since. Every
  // held page counts as stale from now on; they are carried forward below only when this write
  // succeeds.
  const uint64_t ChangeBefore = FPageFile->HostFile().ChangeCount();
  TWrittenTail* HeldTail = nullptr;
  for (TWrittenTail& Tail : FWrittenTails) {
    if (Tail.PageNo >= 0 && Tail.ItemID == H->ItemID && Tail.Change == ChangeBefore && Tail.Key == H->Key) HeldTail = &Tail;
  }
  const auto DropTails = [this] {
    for (TWrittenTail& Tail : FWrittenTails) Tail.PageNo = -1;
  };
  const TDirItem Former = FDirectory->ReadItem(H->ItemID);
  TDirItem Item = Former;
  const int64_t OldSize = Item.Size;
  const int64_t OldPages = FPageMaps->DataPageCount(Item);
  const int64_t FirstIndex = Start / D;
  const int64_t LastIndex = (End - 1) / D;

  // New pages are not zeroed when taken: those this write fills are built from zeros below,
  // those between the old end and the write are written as zero pages.
  if (LastIndex + 1 > OldPages && !FPageMaps->SetFileSize(Item, false, End)) {
    FLastError = FPageMaps->LastError();
    if (FLastError == ceNoSpace) NoSpace();
    return 0;
  }
  static const std::vector<int32_t> kNoPages;
  const std::vector<int32_t>& Map = Item.FirstMapPageNo == -1 ? kNoPages : FPageMaps->GetMaps(Item).DataPages;
  std::span<const int32_t> Pages;
  FPageMaps->GetFilePages(Item, false, Pages, Count, Start);
  const int64_t OldLastIndex = OldSize > 0 ? (OldSize - 1) / D : -1;
  const int32_t OldTail = static_cast<int32_t>(OldSize % D);  // bytes used in the old last page, 0 = full

  bool Ok = true;
  const uint8_t Encryption = FileEncryptionType(*H);
  // Bytes between the old end and the write become zero: the rest of the old last page when
  // the write starts on a later page, and the pages in between.
  if (OldTail != 0 && Start > OldSize && FirstIndex > OldLastIndex && static_cast<size_t>(OldLastIndex) < Map.size()) {
    Ok = ZeroPageTail(Map[static_cast<size_t>(OldLastIndex)], OldTail, H->Key);
  }
  for (int64_t Index = OldPages; Ok && Index < FirstIndex;) {
    const int32_t Run = ConsecutiveRun(Map, static_cast<size_t>(Index), FirstIndex - Index);
    if (FPageRuns->WriteZeroRun(Map[static_cast<size_t>(Index)], Run) < Run) {
      FLastError = FPageFile->LastError();
      Ok = false;
    }
    Index += Run;
  }

  const auto* Source = static_cast<const uint8_t*>(Buffer);
  const int32_t FirstStart = static_cast<int32_t>(Start % D);
  int32_t Done = 0;
  // Runs of pages stored one after another go out in one transfer each. Whole pages come
  // straight from the caller's buffer; a partial first or last page is built in a scratch page
  // from its stored content (or zeros for a new page) and the new bytes.
  const uint8_t* Sources[TPageRunIO::kMaxRunPages];
  int32_t Lengths[TPageRunIO::kMaxRunPages];
  int32_t TailPage = -1;  // the partial page this write ended in, once written
  TWrittenTail* Tail = nullptr;  // its entry, holding its data
  for (size_t I = 0; Ok && I < Pages.size();) {
    const int32_t Run = ConsecutiveRun(Pages, I, static_cast<int64_t>(Pages.size() - I));
    int32_t Offset = Done;
    for (int32_t K = 0; Ok && K < Run; ++K) {
      const int64_t Index = FirstIndex + static_cast<int64_t>(I) + K;
      const int32_t PageStart = I + K == 0 ? FirstStart : 0;
      Lengths[K] = static_cast<int32_t>(std::min<int64_t>(D - PageStart, Count - Offset));
      if (Lengths[K] == D) {
        Sources[K] = Source + Offset;
      } else {
        std::vector<uint8_t>& Scratch = I + K == 0 ? FPageBuffer : FTailBuffer;
        if (Index >= OldPages) {
          std::fill(Scratch.begin(), Scratch.end(), 0);
        } else {
          if (HeldTail != nullptr && Pages[I + K] == HeldTail->PageNo) {
            std::copy(HeldTail->Data.begin(), HeldTail->Data.end(), Scratch.begin());
          } else if (FPageRuns->ReadRun(Pages[I + K], 1, Scratch.data(), H->Key) != 1) {
            FLastError = FPageFile->LastError();
            Ok = false;
            break;
          }
          if (Index == OldLastIndex && OldTail != 0 && End > OldSize)
            std::fill(Scratch.begin() + OldTail, Scratch.end(), 0);
        }
        std::memcpy(Scratch.data() + PageStart, Source + Offset, static_cast<size_t>(Lengths[K]));
        Sources[K] = Scratch.data();
      }
      Offset += Lengths[K];
    }
    if (!Ok) break;
    const int32_t Written = FPageRuns->WriteRun(Pages[I], Run, Sources, Encryption, H->Key);
    for (int32_t K = 0; K < Written; ++K) Done += Lengths[K];
    if (Written < Run) {
      FLastError = FPageFile->LastError();
      break;
    }
    I += static_cast<size_t>(Run);
    if (I == Pages.size() && Lengths[Run - 1] != D) {
      // Into this file's entry, else the one stored longest ago; it counts once the write is done.
      Tail = &FWrittenTails[0];
      for (TWrittenTail& Other : FWrittenTails) {
        if (Other.ItemID == H->ItemID) {
          Tail = &Other;
          break;
        }
        if (Other.Used < Tail->Used) Tail = &Other;
      }
      Tail->PageNo = -1;
      std::memcpy(Tail->Data.data(), Sources[Run - 1], Tail->Data.size());
      TailPage = Pages[I - 1];
    }
  }

  H->Position = Start + Done;
  Item.Size = std::max(OldSize, H->Position);
  // After a failure the pages past the bytes written go back.
  if (FPageMaps->PagesForSize(Item.Size) < FPageMaps->DataPageCount(Item)) {
    FPageMaps->SetFileSize(Item, false, Item.Size);
  }
  if (Done > 0) Item.LastWriteTime = platform::NowDosResolutionUtc();
  // The stored item changes only when its size, map or (two-second) write time does.
  if (Item.Size != Former.Size || Item.FirstMapPageNo != Former.FirstMapPageNo ||
      Item.LastWriteTime != Former.LastWriteTime) {
    StoreGrownItem(H->ItemID, Item, Former.Size);
  }
  if (Done != Count) {
    DropTails();
    return Done;
  }
  // Every change since ChangeBefore was this write's: the other files' pages are as held.
  const uint64_t ChangeAfter = FPageFile->HostFile().ChangeCount();
  for (TWrittenTail& Other : FWrittenTails) {
    if (Other.PageNo >= 0 && Other.Change == ChangeBefore && Other.ItemID != H->ItemID)
      Other.Change = ChangeAfter;
    else
      Other.PageNo = -1;
  }
  if (TailPage >= 0) {
    Tail->PageNo = TailPage;
    Tail->ItemID = H->ItemID;
    Tail->Key = H->Key;
    Tail->Change = ChangeAfter;
    Tail->Used = ++FTailWrites;
  }
  return Done;
}

void TContainerFileSystem::StoreGrownItem(int32_t ItemID, TDirItem& Item, int64_t FormerSize) {
  try {
    FDirectory->WriteItem(ItemID, Item);
  } catch (...) {
    // The stored item keeps its former size: give back the pages added since.
    FPageMaps->SetFileSize(Item, false, FormerSize);
    throw;
  }
}

int64_t TContainerFileSystem::FileSeek(int32_t Handle, int32_t Origin, int64_t Offset) {
  TUserFileHandle* H = StartTransfer(Handle);
  if (!H) return -1;
  int64_t Base = 0;
  switch (Origin) {
    case 0: Base = 0; break;
    case 1: Base = H->Position; break;
    case 2: Base = FDirectory->ReadItem(H->ItemID).Size; break;
    default: FLastError = ceInvalidArgument; return -1;
  }
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if ((Offset > 0 && Base > kMax - Offset) || (Offset < 0 && Base < kMin - Offset)) {
    FLastError = ceInvalidArgument;
    return -1;
  }
  H->Position = Base + Offset;
  return H->Position;
}

int64_t TContainerFileSystem::FileSetSize(int32_t Handle, int64_t Size) {
  TUserFileHandle* H = StartTransfer(Handle);
  if (!H) return FLastError;
  if (FReadOnly) FLastError = ceReadOnly;
  else if (Size < 0) FLastError = ceInvalidArgument;
  if (FLastError != ceOk) return FLastError;

  const TDirItem Former = FDirectory->ReadItem(H->ItemID);
  TDirItem Item = Former;
  Item.Size = Size;
  Item.LastWriteTime = platform::NowDosResolutionUtc();
  if (Size < Former.Size) {
    // The stored item stops referring to the cut pages before they are released.
    if (Size == 0) Item.FirstMapPageNo = -1;
    FDirectory->WriteItem(H->ItemID, Item);
    TDirItem Cut = Former;
    if (Cut.FirstMapPageNo != -1) FPageMaps->SetFileSize(Cut, false, Size);
  } else {
    const int64_t D = FPageFile->PageDataSize();
    const int32_t OldTail = static_cast<int32_t>(Former.Size % D);
    if (Size > Former.Size && OldTail != 0) {
      const std::vector<int32_t>& Map = FPageMaps->GetMaps(Former).DataPages;
      const size_t LastIndex = static_cast<size_t>((Former.Size - 1) / D);
      if (LastIndex < Map.size() && !ZeroPageTail(Map[LastIndex], OldTail, H->Key)) return FLastError;
    }
    if (!FPageMaps->SetFileSize(Item, true, Size)) {
      FLastError = FPageMaps->LastError();
      if (FLastError == ceNoSpace) NoSpace();
      return FLastError;
    }
    StoreGrownItem(H->ItemID, Item, Former.Size);
  }
  H->Position = Size;
  return Size;
}

bool TContainerFileSystem::FileFlush(int32_t Handle) {
  if (!StartTransfer(Handle)) return false;
  if (!FPageFile->Flush()) {
    FLastError = ceFlushFailed;
    return false;
  }
  return true;
}

bool TContainerFileSystem::DeleteFile(std::string_view Path) {
  FLastError = ceOk;
  const int32_t ItemID = FDirectory->FindFile(Path);
  if (FReadOnly) FLastError = ceReadOnly;
  else if (ItemID == kRootDirectoryID) FLastError = ceInvalidArgument;
  else if (ItemID < 0) FLastError = ItemID;  // cePathMalformed or cePathNotFound
  else if (FDirectory->OpenCount(ItemID) > 0) FLastError = ceFileInUse;
  // A directory with items would leave them unreachable.
  else if (FDirectory->ReadItem(ItemID).IsDirectory && !FDirectory->Items().Children(ItemID).empty()) {
    FLastError = ceDirectoryNotEmpty;
  }
  if (FLastError != ceOk) return false;
  const TDirItem Former = FDirectory->ReadItem(ItemID);
  TDirItem Item = Former;
  Item.Deleted = true;
  Item.LastWriteTime = Item.LastAccessTime = platform::NowDosResolutionUtc();
  Item.Size = 0;
  Item.FirstMapPageNo = -1;
  FDirectory->WriteItem(ItemID, Item);
  if (Former.FirstMapPageNo != -1) {
    TDirItem Released = Former;
    FPageMaps->SetFileSize(Released, false, 0);
  }
  return true;
}

bool TContainerFileSystem::RenameFile(std::string_view OldPath, std::string_view NewPath) {
  FLastError = ceOk;
  if (FReadOnly) {
    FLastError = ceReadOnly;
    return false;
  }
  return DirectoryChange([&] { return FDirectory->RenameItem(OldPath, NewPath); });
}

bool TContainerFileSystem::FileExists(std::string_view Path) const { return FDirectory->FindFile(Path) >= 0; }

bool TContainerFileSystem::ForceDirectories(std::string_view Path) {
  FLastError = ceOk;
  if (FReadOnly) {
    FLastError = ceReadOnly;
    return false;
  }
  return DirectoryChange([&] { return FDirectory->ForceDirectories(Path); });
}

bool TContainerFileSystem::DirectoryExists(std::string_view Path) const { return FDirectory->DirectoryExists(Path); }

int32_t TContainerFileSystem::FindFirst(std::string_view Mask, uint32_t Attr, TSearchRec& SearchRec) {
  return FDirectory->FindFirst(Mask, Attr, SearchRec);
}

int32_t TContainerFileSystem::FindNext(TSearchRec& SearchRec) { return FDirectory->FindNext(SearchRec); }

void TContainerFileSystem::FindClose(TSearchRec& SearchRec) { FDirectory->FindClose(SearchRec); }

int64_t TContainerFileSystem::GetSize() const { return FPageFile->HostFile().GetSize(); }

bool TContainerFileSystem::SetInMemory(bool Value) {
  const bool Switched = FPageFile->SetInMemory(Value);
  FInMemory = FPageFile->InMemory();
  if (!Switched) FLastError = ceFlushFailed;
  return Switched;
}

}  // namespace tesvar::container
