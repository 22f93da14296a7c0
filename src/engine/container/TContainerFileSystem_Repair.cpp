// Compaction of a container: every live item is copied into a fresh container "<name>_new",
// which then takes the container's name.
//
// The guarantee: a container that does not pass the checker is refused before anything is
// written. Until the copy has the container's name, the folder's names are durable and the copy
// opens, the original is only read (and renamed aside), so a cancel, a failure or missing space
// leaves it under its name, with "<name>_new" removed; should giving it its name back fail, the
// log names the file it is in.

#include "container/PageRunIO_internal.h"
#include "container/TCFSHugeFile.h"
#include "container/TContainerChecker.h"
#include "container/TContainerFileSystem.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "platform/Exception.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"

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

std::string CannotRename(const std::string& From, const std::string& To) {
  return "TContainerFileSystem.RepairFile - cannot rename file " + QuotedName(From) + " to " + QuotedName(To);
}

}  // namespace

// One compaction: its steps, in order, and what they have done so far. A step returns false with
// the reason kept; Abandon then undoes what the steps did and writes into the log what it left.
class TContainerFileSystem::TRepairRun {
public:
  TRepairRun(TContainerFileSystem& Source, std::string& Log)
      : S(Source), FLog(Log), FNewName(Source.FFileName + "_new") {}

  // Creates "<name>_new" with the container's password block, page key and geometry, and the
  // copy buffer.
  [[nodiscard]] bool CreateTarget();
  // Copies every live item (the progress handler may cancel before each) and flushes the copy.
  [[nodiscard]] bool CopyItems();
  // Closes both files, moves the original aside to "<name>n", gives the copy the container's
  // name, makes the folder's names durable and opens the copy.
  [[nodiscard]] bool SwapNames();
  // Deletes the original (a failure only leaves a line in the log) and continues on the copy.
  void Adopt();
  // Deletes the copy wherever it is, gives the original its name back and opens it again, and
  // appends to the log why the run stopped and where the original is.
  void Abandon();

private:
  void CopyData(const TDirItem& Item, const std::string& Path, int32_t TargetHandle);
  void CopyStoredPages(const std::vector<int32_t>& From, const std::vector<int32_t>& To, size_t Steps,
                       const std::string& Path);
  [[noreturn]] void StopNoSpace();
  bool Fail(std::string Reason, int32_t Error = ceOk);
  void AddLine(const std::string& Line);

  TContainerFileSystem& S;
  std::string& FLog;
  const std::string FNewName;
  std::unique_ptr<TContainerFileSystem> FTarget;
  std::unique_ptr<TContainerFileSystem> FReopened;  // the copy, open under the container's name
  std::string FAsideName;
  std::vector<uint8_t> FBuffer;
  std::vector<uint8_t> FImage;  // one stored page
  int64_t FUnflushed = 0;       // bytes copied since the copy's last StartFlush
  // Item IDs change: open handles follow their files by path.
  std::vector<std::pair<int32_t, std::string>> FOpenPaths;
  bool FCancelled = false;
  std::string FReason;
};

bool TContainerFileSystem::TRepairRun::Fail(std::string Reason, int32_t Error) {
  FReason = std::move(Reason);
  if (Error != ceOk) S.FLastError = Error;
  return false;
}

void TContainerFileSystem::TRepairRun::AddLine(const std::string& Line) {
  if (!FLog.empty() && FLog.back() != '\n') FLog += kCrLf;
  FLog += Line + kCrLf;
}

[[noreturn]] void TContainerFileSystem::TRepairRun::StopNoSpace() {
  S.NoSpace();
  throw Exception("Not enough space");
}

bool TContainerFileSystem::TRepairRun::CreateTarget() {
  try {
    const TContainerHeader& Header = S.FPageFile->Header();
    {
      // The copy is nobody's until it takes the container's name, and is flushed whole before
      // that: it needs no commits of its own (a crash leaves a "_new" file that the next
      // compaction replaces).
      TCFSTransaction::ScopedEnabled WriteThrough(false);
      FTarget = std::make_unique<TContainerFileSystem>(FNewName, kModeCreate, false, S.FPassword, std::string(),
                                                       std::string(), Header.PageSize / kBytesPerKB,
                                                       Header.ExtentPageCount);
    }
    TPageFileManager& TargetFile = FTarget->PageFile();
    if (TargetFile.Header().PageSize != Header.PageSize) {
      throw Exception("TContainerFileSystem.RepairFile - unsupported page size " + std::to_string(Header.PageSize));
    }
    std::memcpy(TargetFile.Header().PasswordBlock, Header.PasswordBlock, kPasswordBlockSize);
    TargetFile.Header().EncryptionType = Header.EncryptionType;
    TargetFile.SetPageKey(S.FPageFile->PageKey());
    TargetFile.SaveHeader();
  } catch (const std::exception& E) {
    return Fail(E.what());
  }
  try {
    FBuffer.resize(static_cast<size_t>(S.FPageFile->PageDataSize()) * kCopyPages);
    FImage.resize(static_cast<size_t>(S.FPageFile->Header().PageSize));
  } catch (const std::bad_alloc&) {
    return Fail("TContainerFileSystem.RepairFile - no memory for the page buffer", ceRepairBuffer);
  }
  return true;
}

// The pages of a file with its own password go over as stored: their key needs the file's
// password, which compaction does not have. Their checksums are verified on the way.
void TContainerFileSystem::TRepairRun::CopyStoredPages(const std::vector<int32_t>& From, const std::vector<int32_t>& To,
                                                       size_t Steps, const std::string& Path) {
  TCFSHugeFile& Host = FTarget->PageFile().HostFile();
  const int64_t PageSize = static_cast<int64_t>(FImage.size());
  for (size_t J = 0; J < Steps; ++J) {
    TPageHeader Page;
    Page.Data = FImage.data() + kPageHeaderSize;
    if (!S.FPageFile->ReadPage(Page, From[J], true)) {
      throw Exception("TContainerFileSystem.RepairFile - cannot read page " + std::to_string(From[J]) + " of " +
                      QuotedName(Path) + ", error " + std::to_string(S.FPageFile->LastError()));
    }
    TPageFileManager::EncodePageHeader(Page, FImage.data());
    if (Host.Seek(To[J] * PageSize, 0) < 0 || Host.Write(FImage.data(), PageSize) != PageSize) StopNoSpace();
  }
}

// Copies the data of source item Item (at Path) into the new file open as TargetHandle, in runs
// of consecutive pages through both page maps (decrypted here, encrypted again by the target with
// the same key), and gives the copy the item's times, attributes and password block. Raises when
// the source's map is short or a source page cannot be read, and "Not enough space" (after
// OnNoSpace) when the copy cannot be written.
void TContainerFileSystem::TRepairRun::CopyData(const TDirItem& Item, const std::string& Path, int32_t TargetHandle) {
  TContainerFileSystem& Target = *FTarget;
  const int64_t Size = Item.Size;
  const int64_t D = S.FPageFile->PageDataSize();
  const size_t Steps = static_cast<size_t>((Size + D - 1) / D);
  static const std::vector<int32_t> kNoPages;
  // The source's pages are counted before the copy grows: a damaged size never makes it grow
  // beyond what they can fill.
  const std::vector<int32_t>& From = Size > 0 ? S.FPageMaps->GetMaps(Item).DataPages : kNoPages;
  if (From.size() < Steps) {
    throw Exception("TContainerFileSystem.RepairFile - page map of " + QuotedName(Path) + " is too short");
  }

  const int32_t TargetID = Target.FHandles.at(TargetHandle).ItemID;
  TDirItem Copy = Target.FDirectory->ReadItem(TargetID);
  std::memcpy(Copy.PasswordBlock, Item.PasswordBlock, kPasswordBlockSize);
  Copy.HasPassword = Item.HasPassword;
  CopyTimesAndAttributes(Item, Copy);
  // All pages of the copy are taken at once: whole extents, one map write, one bitmap write.
  if (Size > 0 && !Target.FPageMaps->SetFileSize(Copy, false, Size)) StopNoSpace();
  Copy.Size = Size;
  Target.FDirectory->WriteItem(TargetID, Copy);
  if (Size <= 0) return;

  const std::vector<int32_t>& To = Target.FPageMaps->GetMaps(Copy).DataPages;
  if (To.size() < Steps) {
    throw Exception("TContainerFileSystem.RepairFile - page map of the copy of " + QuotedName(Path) + " is too short");
  }
  if (Item.HasPassword) {
    CopyStoredPages(From, To, Steps, Path);
    return;
  }
  const uint8_t EncryptionType = S.FPageFile->Header().EncryptionType;
  const size_t ChunkPages = FBuffer.size() / static_cast<size_t>(D);
  for (size_t First = 0; First < Steps; First += ChunkPages) {
    const size_t Last = std::min(Steps, First + ChunkPages);
    for (size_t J = First; J < Last;) {
      const int32_t Run = S.ConsecutiveRun(From, J, static_cast<int64_t>(Last - J));
      const int32_t Read = S.FPageRuns->ReadRun(From[J], Run, FBuffer.data() + (J - First) * D, {});
      if (Read < Run) {
        throw Exception("TContainerFileSystem.RepairFile - cannot read page " + std::to_string(From[J + Read]) +
                        " of " + QuotedName(Path) + ", error " + std::to_string(S.FPageFile->LastError()));
      }
      J += static_cast<size_t>(Run);
    }
    // The bytes past the end of the file are zero in the copy, as a write leaves them.
    if (Last == Steps) {
      std::fill(FBuffer.begin() + (Size - static_cast<int64_t>(First) * D),
                FBuffer.begin() + static_cast<int64_t>(Last - First) * D, 0);
    }
    for (size_t J = First; J < Last;) {
      const int32_t Run = Target.ConsecutiveRun(To, J, static_cast<int64_t>(Last - J));
      if (Target.FPageRuns->WriteRun(To[J], Run, FBuffer.data() + (J - First) * D, EncryptionType, {}) < Run) {
        StopNoSpace();
      }
      J += static_cast<size_t>(Run);
    }
    FUnflushed += static_cast<int64_t>(Last - First) * D;
    if (FUnflushed >= kStartFlushBytes) {
      Target.FPageFile->HostFile().StartFlush();
      FUnflushed = 0;
    }
  }
}

bool TContainerFileSystem::TRepairRun::CopyItems() {
  TContainerFileSystem& Target = *FTarget;
  // An item the copy cannot hold is dropped with a line in the log; missing space is no reason
  // to drop anything, it stops the compaction.
  auto StopWhenNoSpace = [&] {
    if (Target.LastError() == ceNoSpace) StopNoSpace();
  };
  S.FRepairItemsTotal = S.FPageFile->Header().DirItemCount;
  S.FRepairItemsDone = 0;
  try {
    for (const auto& [Number, H] : S.FHandles) FOpenPaths.emplace_back(Number, S.FDirectory->ItemPath(H.ItemID));
    for (int32_t I = 0; I < S.FRepairItemsTotal; ++I) {
      const double Percent = static_cast<double>(I) / S.FRepairItemsTotal * 100.0;
      if (S.OnProgress) S.OnProgress(S, S.FCancel, Percent);
      if (S.FCancel) {
        FCancelled = true;
        return false;
      }
      S.FRepairItemsDone = I;
      const TDirItem Item = S.FDirectory->ReadItem(I);
      if (Item.Deleted) continue;
      const std::string Path = S.FDirectory->ItemPath(I);
      if (Item.IsDirectory) {
        if (!Target.ForceDirectories(Path)) StopWhenNoSpace();
        const int32_t TargetID = Target.Directory().FindFile(Path);
        if (TargetID < 0 || !Target.DirectoryExists(Path)) {
          FLog += "Directory " + QuotedName(Path) + " deleted. " + kCrLf;
          continue;
        }
        TDirItem Copy = Target.Directory().ReadItem(TargetID);
        CopyTimesAndAttributes(Item, Copy);
        Target.Directory().WriteItem(TargetID, Copy);
        continue;
      }
      const std::string Parent = ParentPath(*S.FDirectory, Item);
      if (!Parent.empty() && !Target.ForceDirectories(Parent)) {
        StopWhenNoSpace();
        FLog += "Directory " + QuotedName(Parent) + " deleted. " + kCrLf;
      }
      const int32_t TargetHandle = Target.FileOpen(Path, kModeCreate);
      if (TargetHandle < 0) {
        StopWhenNoSpace();
        FLog += "File " + QuotedName(Path) + " deleted. " + kCrLf;
        continue;
      }
      CopyData(Item, Path, TargetHandle);
      if (!Target.FileClose(TargetHandle)) {
        throw Exception("TContainerFileSystem.RepairFile - cannot close the copy of " + QuotedName(Path));
      }
    }
    S.FRepairItemsDone = S.FRepairItemsTotal;
    // The copy must be on the device before it replaces the original.
    if (!Target.PageFile().HostFile().Flush()) {
      throw Exception("TContainerFileSystem.RepairFile - cannot flush file " + QuotedName(FNewName));
    }
  } catch (const std::exception& E) {
    return Fail(E.what());
  }
  return true;
}

bool TContainerFileSystem::TRepairRun::SwapNames() {
  S.FPageFile->Close();
  FTarget->PageFile().Close();
  FAsideName = FreeNumberedName(S.FFileName);
  if (!S.FPageFile->RenameFile(FAsideName)) return Fail(CannotRename(S.FFileName, FAsideName), ceRepairRename);
  if (!FTarget->PageFile().RenameFile(S.FFileName)) return Fail(CannotRename(FNewName, S.FFileName), ceRepairRename);
  // The original goes only once the new names survive a crash.
  const std::string Folder = platform::ExtractFileDir(S.FFileName);
  if (!platform::FileSystem().SyncDirectory(Folder)) {
    return Fail("TContainerFileSystem.RepairFile - cannot make the names in folder " + QuotedName(Folder) +
                    " durable",
                ceRepairRename);
  }
  try {
    FReopened = std::make_unique<TContainerFileSystem>(S.FFileName, kModeReadWrite, false, S.FPassword);
  } catch (const std::exception& E) {
    return Fail(E.what(), ceRepairRename);
  }
  return true;
}

void TContainerFileSystem::TRepairRun::Adopt() {
  FTarget.reset();
  // The host may free the original's space in the background.
  if (!S.FPageFile->DeleteFiles(true)) AddLine("Cannot delete file " + QuotedName(FAsideName) + ". ");

  // The source object continues on the compacted file; the old parts go with FReopened. Every
  // member that refers to the page file moves (the handles are carried over below).
  TContainerFileSystem& R = *FReopened;
  std::swap(S.FPageFile, R.FPageFile);
  std::swap(S.FFreeSpace, R.FFreeSpace);
  std::swap(S.FDirectory, R.FDirectory);
  std::swap(S.FPageMaps, R.FPageMaps);
  std::swap(S.FPageRuns, R.FPageRuns);
  S.FReadOnly = S.FPageFile->ReadOnly();
  S.FExclusive = S.FPageFile->Exclusive();
  S.FMode = kModeReadWrite;
  std::map<int32_t, TUserFileHandle> Handles;
  for (const auto& [Number, Path] : FOpenPaths) {
    TUserFileHandle H = S.FHandles.at(Number);
    std::string Key;
    H.ItemID = S.FDirectory->OpenItem(Path, {}, Key);
    if (H.ItemID >= 0) Handles.emplace(Number, std::move(H));
  }
  S.FHandles = std::move(Handles);
  FReopened.reset();
}

// Undoes the steps taken: the copy is deleted wherever it is (under the container's name, it is
// only a copy), the original takes its name back and its host file is opened again.
void TContainerFileSystem::TRepairRun::Abandon() {
  std::vector<std::string> Lines;
  FReopened.reset();
  if (FTarget) {
    TPageFileManager& Copy = FTarget->PageFile();
    const std::string CopyName = Copy.FileName();
    if (!Copy.DeleteFiles()) Lines.push_back("Cannot delete file " + QuotedName(CopyName) + ". ");
    FTarget.reset();
  } else {
    try {
      TCFSHugeFile(FNewName, false, false, false).DeleteFiles();
    } catch (...) {
      // Only a copy that never opened: what cannot be deleted stays behind.
    }
  }
  // Where the original is, its first part tells: the rest of its chain follows from there.
  TPageFileManager& Original = *S.FPageFile;
  if (const std::string Aside = Original.FileName(); Aside != S.FFileName) {
    if (!Original.RenameFile(S.FFileName) && Original.FileName() != S.FFileName) {
      Lines.push_back(CannotRename(Aside, S.FFileName));
    }
  }
  TCFSHugeFile& Host = Original.HostFile();
  if (!Host.IsOpen() && !Host.InternalOpen(false, true)) {
    Lines.push_back("The container " + QuotedName(Original.FileName()) + " could not be opened again.");
  }
  const std::string State = Original.FileName() == S.FFileName
                                ? std::string("Original file restored.")
                                : "Original file not restored: it is kept as " + QuotedName(Original.FileName()) + ".";
  if (FCancelled) {
    FLog += std::string("RepairFile cancelled. ") + State + kCrLf;
  } else {
    FLog += std::string("Critical error occured. ") + State + kCrLf + FReason;
  }
  for (const std::string& Line : Lines) AddLine(Line);
}

bool TContainerFileSystem::RepairFile(std::string& Log) {
  Log.clear();
  FCancel = false;
  FLastError = ceOk;
  if (FReadOnly || FInMemory) return false;
  // The copy is made from what the host holds: pending changes are committed first. The
  // compaction itself runs without transactions (its copy is flushed whole and swapped in by
  // renames), which also removes the spent journal; whichever container this object goes on
  // with afterwards runs in transactions again.
  if (!FPageFile->Flush()) {
    Log = "The container's changes could not be made durable (" + platform::LastErrorText() +
          "); it was not compacted.";
    FLastError = ceFlushFailed;
    return false;
  }
  FPageFile->HostFile().EndTransactions();
  struct TransactionsAgain {
    TContainerFileSystem& Owner;
    ~TransactionsAgain() {
      if (Owner.FPageFile->HostFile().IsOpen()) Owner.FPageFile->HostFile().BeginTransactions(Owner.FPageFile->Header().PageSize);
    }
  } Again{*this};

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
  if (!RepairSourceIsSound(Log)) return false;

  TRepairRun Run(*this, Log);
  if (Run.CreateTarget() && Run.CopyItems() && Run.SwapNames()) {
    Run.Adopt();
    if (OnProgress) OnProgress(*this, FCancel, 100.0);
    return true;
  }
  Run.Abandon();
  return false;
}

// The structures are checked here; the data pages are read (and their checksums verified) once,
// by the copy, which stops before anything is renamed when one fails.
bool TContainerFileSystem::RepairSourceIsSound(std::string& Log) {
  std::vector<std::string> Problems;
  try {
    TContainerChecker Checker(*this);
    Checker.SetVerifyDataPages(false);
    Problems = Checker.Check();
  } catch (const std::exception& E) {
    Problems.push_back(E.what());
  }
  if (Problems.empty()) return true;
  Log = "The container " + QuotedName(FFileName) +
        " is damaged or cannot be read and was not compacted; check it with \"edb check\"." + kCrLf +
        Problems.front() + kCrLf;
  return false;
}

}  // namespace tesvar::container
