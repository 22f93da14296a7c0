// Compaction of a container: every live item is copied into a fresh container "<name>_new",
// which then takes the container's name.
//
// The guarantee: until the final rename succeeds the original file is only read, so a cancel, a
// failure or missing space leaves it untouched under its name and "<name>_new" is removed. The
// swap of names is undone when its second half fails.

#include "container/PageRunIO_internal.h"
#include "container/TCFSHugeFile.h"
#include "container/TContainerFileSystem.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "platform/Exception.h"
#include "platform/IFileSystem.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace tesvar::container {

namespace {

constexpr const char* kCrLf = "\r\n";
// Pages moved per host transfer at most when data is copied.
constexpr size_t kCopyPages = TPageRunIO::kMaxRunPages;
// The copy is handed to the device in steps of this many bytes while it is made, so that the
// flush before the swap has little left to wait for.
constexpr int64_t kStartFlushBytes = 8 << 20;

// Removes every part file of the container FileName (which must not be open).
void DeleteContainerFiles(const std::string& FileName) {
  try {
    TCFSHugeFile(FileName, false, false, false).DeleteFiles();
  } catch (...) {
    // Cleanup after a failure: what cannot be deleted stays behind.
  }
}

// The first FileName + n (n = 0, 1, ...) that names no file.
std::string FreeNumberedName(const std::string& FileName) {
  for (int N = 0;; ++N) {
    std::string Candidate = FileName + std::to_string(N);
    if (!platform::FileSystem().FileExists(Candidate)) return Candidate;
  }
}

std::string ParentPath(const TDIRManager& Directory, const TDirItem& Item) {
  return Item.ParentID == kRootDirectoryID ? std::string() : Directory.ItemPath(Item.ParentID);
}

void CopyTimesAndAttributes(const TDirItem& From, TDirItem& To) {
  To.CreationTime = From.CreationTime;
  To.LastWriteTime = From.LastWriteTime;
  To.LastAccessTime = From.LastAccessTime;
  To.Attr = From.Attr;
}

}  // namespace

// Copies the data of source item Item (at Path) into the new file open as TargetHandle in Target,
// in runs of consecutive pages through both page maps (decrypted here, encrypted again by Target
// with the same key) through Buffer, and gives the copy the item's times, attributes and password
// block. Raises when a source page cannot be read, and "Not enough space" (after OnNoSpace) when
// the copy cannot be written.
void TContainerFileSystem::RepairCopyData(const TDirItem& Item, const std::string& Path, TContainerFileSystem& Target,
                                          int32_t TargetHandle, std::vector<uint8_t>& Buffer) {
  auto StopNoSpace = [this] {
    NoSpace();
    throw Exception("Not enough space");
  };
  const int32_t TargetID = Target.FHandles.at(TargetHandle).ItemID;
  TDirItem Copy = Target.FDirectory->ReadItem(TargetID);
  std::memcpy(Copy.PasswordBlock, Item.PasswordBlock, kPasswordBlockSize);
  Copy.HasPassword = Item.HasPassword;
  CopyTimesAndAttributes(Item, Copy);
  const int64_t Size = Item.Size;
  // All pages of the copy are taken at once: whole extents, one map write, one bitmap write.
  if (Size > 0 && !Target.FPageMaps->SetFileSize(Copy, false, Size)) StopNoSpace();
  Copy.Size = Size;
  Target.FDirectory->WriteItem(TargetID, Copy);
  if (Size <= 0) return;

  const std::vector<int32_t>& From = FPageMaps->GetMaps(Item).DataPages;
  const std::vector<int32_t>& To = Target.FPageMaps->GetMaps(Copy).DataPages;
  const int64_t D = FPageFile->PageDataSize();
  const size_t Steps = static_cast<size_t>((Size + D - 1) / D);
  if (From.size() < Steps || To.size() < Steps) {
    throw Exception("TContainerFileSystem.RepairFile - page map of " + QuotedName(Path) + " is too short");
  }
  const uint8_t EncryptionType = FPageFile->Header().EncryptionType;
  const size_t ChunkPages = Buffer.size() / static_cast<size_t>(D);
  for (size_t First = 0; First < Steps; First += ChunkPages) {
    const size_t Last = std::min(Steps, First + ChunkPages);
    for (size_t J = First; J < Last;) {
      const int32_t Run = ConsecutiveRun(From, J, static_cast<int64_t>(Last - J));
      const int32_t Read = FPageRuns->ReadRun(From[J], Run, Buffer.data() + (J - First) * D, {});
      if (Read < Run) {
        throw Exception("TContainerFileSystem.RepairFile - cannot read page " + std::to_string(From[J + Read]) +
                        " of " + QuotedName(Path) + ", error " + std::to_string(FPageFile->LastError()));
      }
      J += static_cast<size_t>(Run);
    }
    // The bytes past the end of the file are zero in the copy, as a write leaves them.
    if (Last == Steps) {
      std::fill(Buffer.begin() + (Size - static_cast<int64_t>(First) * D),
                Buffer.begin() + static_cast<int64_t>(Last - First) * D, 0);
    }
    for (size_t J = First; J < Last;) {
      const int32_t Run = ConsecutiveRun(To, J, static_cast<int64_t>(Last - J));
      if (Target.FPageRuns->WriteRun(To[J], Run, Buffer.data() + (J - First) * D, EncryptionType, {}) < Run) {
        StopNoSpace();
      }
      J += static_cast<size_t>(Run);
    }
    FRepairUnflushed += static_cast<int64_t>(Last - First) * D;
    if (FRepairUnflushed >= kStartFlushBytes) {
      Target.FPageFile->HostFile().StartFlush();
      FRepairUnflushed = 0;
    }
  }
}

bool TContainerFileSystem::RepairFile(std::string& Log) {
  Log.clear();
  FCancel = false;
  FLastError = ceOk;
  if (FReadOnly || FInMemory) return false;

  // An unknown figure (negative) does not stop the compaction: running out of space on the way
  // is handled like any other failure.
  const int64_t Free = FPageFile->GetFreeSpace();
  if (Free >= 0 && Free < GetSize()) {
    Log = "Not enough space.";
    try {
      NoSpace();
    } catch (...) {
      // The handler only informs.
    }
    return false;
  }

  const std::string NewName = FFileName + "_new";
  std::unique_ptr<TContainerFileSystem> Target;
  auto DiscardTarget = [&] {
    Target.reset();
    DeleteContainerFiles(NewName);
  };
  // The original is read, never written, until the swap: after a failure it only needs its
  // host file open again (it is closed before the swap).
  auto RestoreOriginal = [&] {
    if (!FPageFile->HostFile().IsOpen()) FPageFile->HostFile().InternalOpen(false, true);
  };

  try {
    const TContainerHeader& Header = FPageFile->Header();
    Target = std::make_unique<TContainerFileSystem>(NewName, kModeCreate, false, FPassword, std::string(),
                                                    std::string(), Header.PageSize / 1024, Header.ExtentPageCount);
    TPageFileManager& TargetFile = Target->PageFile();
    if (TargetFile.Header().PageSize != Header.PageSize) {
      throw Exception("TContainerFileSystem.RepairFile - unsupported page size " + std::to_string(Header.PageSize));
    }
    std::memcpy(TargetFile.Header().PasswordBlock, Header.PasswordBlock, kPasswordBlockSize);
    TargetFile.Header().EncryptionType = Header.EncryptionType;
    TargetFile.SetPageKey(FPageFile->PageKey());
    TargetFile.SaveHeader();
  } catch (const std::exception& E) {
    Log += std::string("Critical error occured. Original file restored.") + kCrLf + E.what();
    DiscardTarget();
    return false;
  }

  std::vector<uint8_t> Buffer;
  try {
    Buffer.resize(static_cast<size_t>(FPageFile->PageDataSize()) * kCopyPages);
  } catch (const std::bad_alloc&) {
    FLastError = ceRepairBuffer;
    DiscardTarget();
    return false;
  }

  // Item IDs change: open handles follow their files by path.
  std::vector<std::pair<int32_t, std::string>> OpenPaths;
  for (const auto& [Number, H] : FHandles) OpenPaths.emplace_back(Number, FDirectory->ItemPath(H.ItemID));

  // An item the copy cannot hold is dropped with a line in the log; missing space is no reason
  // to drop anything, it stops the compaction.
  auto StopWhenNoSpace = [&] {
    if (Target->LastError() != ceNoSpace) return;
    NoSpace();
    throw Exception("Not enough space");
  };

  FRepairItemsTotal = FPageFile->Header().DirItemCount;
  FRepairItemsDone = 0;
  FRepairUnflushed = 0;
  try {
    for (int32_t I = 0; I < FRepairItemsTotal; ++I) {
      const double Percent = static_cast<double>(I) / FRepairItemsTotal * 100.0;
      if (OnProgress) OnProgress(*this, FCancel, Percent);
      if (FCancel) {
        DiscardTarget();
        Log += std::string("RepairFile cancelled. Original file restored.") + kCrLf;
        return false;
      }
      FRepairItemsDone = I;
      const TDirItem Item = FDirectory->ReadItem(I);
      if (Item.Deleted) continue;
      const std::string Path = FDirectory->ItemPath(I);
      if (Item.IsDirectory) {
        if (!Target->ForceDirectories(Path)) StopWhenNoSpace();
        const int32_t TargetID = Target->Directory().FindFile(Path);
        if (TargetID < 0 || !Target->DirectoryExists(Path)) {
          Log += "Directory " + QuotedName(Path) + " deleted. " + kCrLf;
          continue;
        }
        TDirItem Copy = Target->Directory().ReadItem(TargetID);
        CopyTimesAndAttributes(Item, Copy);
        Target->Directory().WriteItem(TargetID, Copy);
        continue;
      }
      const std::string Parent = ParentPath(*FDirectory, Item);
      if (!Parent.empty() && !Target->ForceDirectories(Parent)) {
        StopWhenNoSpace();
        Log += "Directory " + QuotedName(Parent) + " deleted. " + kCrLf;
      }
      const int32_t TargetHandle = Target->FileOpen(Path, kModeCreate);
      if (TargetHandle < 0) {
        StopWhenNoSpace();
        Log += "File " + QuotedName(Path) + " deleted. " + kCrLf;
        continue;
      }
      RepairCopyData(Item, Path, *Target, TargetHandle, Buffer);
      Target->FileClose(TargetHandle);
    }
    FRepairItemsDone = FRepairItemsTotal;
    // The copy must be on the device before it replaces the original.
    if (!Target->PageFile().HostFile().Flush()) {
      throw Exception("TContainerFileSystem.RepairFile - cannot flush file " + QuotedName(NewName));
    }
  } catch (const std::exception& E) {
    Log += std::string("Critical error occured. Original file restored.") + kCrLf + E.what();
    DiscardTarget();
    RestoreOriginal();
    return false;
  }

  // The swap: the original steps aside under a free numbered name, the copy takes its name.
  FPageFile->Close();
  Target->PageFile().Close();
  const std::string AsideName = FreeNumberedName(FFileName);
  auto RenameFailed = [&](const std::string& From, const std::string& To) {
    FLastError = ceRepairRename;
    Log += std::string("Critical error occured. Original file restored.") + kCrLf +
           "TContainerFileSystem.RepairFile - cannot rename file " + QuotedName(From) + " to " + QuotedName(To);
  };
  if (!FPageFile->RenameFile(AsideName)) {
    if (FPageFile->FileName() != FFileName) FPageFile->RenameFile(FFileName);
    RenameFailed(FFileName, AsideName);
    DiscardTarget();
    RestoreOriginal();
    return false;
  }
  if (!Target->PageFile().RenameFile(FFileName)) {
    if (Target->PageFile().FileName() != NewName) Target->PageFile().RenameFile(NewName);
    FPageFile->RenameFile(FFileName);
    RenameFailed(NewName, FFileName);
    DiscardTarget();
    RestoreOriginal();
    return false;
  }

  std::unique_ptr<TContainerFileSystem> Reopened;
  try {
    Reopened = std::make_unique<TContainerFileSystem>(FFileName, kModeReadWrite, false, FPassword);
  } catch (const std::exception& E) {
    // The copy does not open: the original takes its name back.
    Target->PageFile().RenameFile(NewName);
    FPageFile->RenameFile(FFileName);
    Log += std::string("Critical error occured. Original file restored.") + kCrLf + E.what();
    FLastError = ceRepairRename;
    DiscardTarget();
    RestoreOriginal();
    return false;
  }
  Target.reset();
  // The original's name goes now; the host may free its space in the background.
  if (!FPageFile->DeleteFiles(true)) {
    Log += "Cannot delete file " + QuotedName(AsideName) + ". " + kCrLf;
  }

  // This object continues on the compacted file; the old parts go with Reopened. Every member
  // that refers to the page file moves (the handles are carried over below).
  std::swap(FPageFile, Reopened->FPageFile);
  std::swap(FFreeSpace, Reopened->FFreeSpace);
  std::swap(FDirectory, Reopened->FDirectory);
  std::swap(FPageMaps, Reopened->FPageMaps);
  std::swap(FPageRuns, Reopened->FPageRuns);
  FReadOnly = FPageFile->ReadOnly();
  FExclusive = FPageFile->Exclusive();
  FMode = kModeReadWrite;
  std::map<int32_t, TUserFileHandle> Handles;
  for (const auto& [Number, Path] : OpenPaths) {
    TUserFileHandle H = FHandles.at(Number);
    std::string Key;
    H.ItemID = FDirectory->OpenItem(Path, {}, Key);
    if (H.ItemID >= 0) Handles.emplace(Number, std::move(H));
  }
  FHandles = std::move(Handles);
  Reopened.reset();

  if (OnProgress) OnProgress(*this, FCancel, 100.0);
  return true;
}

}  // namespace tesvar::container
