#pragma once
// One open container file: creates or opens it, checks the password, owns the page file, the
// free-space, directory and page-map managers and the table of open user-file handles, and
// offers named files and directories with handle-based I/O.
//
// The handle, name and directory operations report by result and LastError() (a TContainerError
// code): each resets it on entry and sets it on every failure; the queries (FileExists,
// DirectoryExists, the searches, GetSize) and FileClose leave it alone. Structural damage raises
// tesvar::Exception with the container's messages. Everything written goes straight to the host
// file.

#include "container/ContainerFormat.h"
#include "container/TDIRManager.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace tesvar::container {

class TPageFileManager;
class TFreeSpaceManager;
class TUserFilePageMapManager;
class TPageRunIO;
class TVerifiedPageCache;

// An open user file.
struct TUserFileHandle {
  int32_t ItemID = -1;
  int64_t Position = 0;
  int32_t Mode = 0;
  std::string Key;  // page key of a file with its own password; empty otherwise
};

class TContainerFileSystem {
public:
  using TProgressEvent = std::function<void(TContainerFileSystem& Sender, bool& Cancel, double Percent)>;
  using TNoSpaceEvent = std::function<void(TContainerFileSystem& Sender)>;

  // Mode kModeCreate (0xFFFF) creates the container (an in-memory container over an existing
  // disk file loads that file instead); any other mode opens it: access in bits 0..1 (0 makes it
  // read-only), bit 0x10 opens the host files without sharing. Raises "TContainerFileSystem.Create
  // - invalid password specified, file name = "<name>"" when the password does not open an
  // existing container, and the page file's messages for a missing or damaged one.
  TContainerFileSystem(const std::string& FileName, uint16_t Mode, bool InMemory, const std::string& Password,
                       const std::string& Question = {}, const std::string& Answer = {},
                       int32_t PageSizeKB = kDefaultPageSizeKB, int32_t ExtentPageCount = kDefaultExtentPageCount);
  // Destroy: drops the handles, flushes and closes the host file. A destructor cannot report: a
  // flush that fails here goes unnoticed, so a caller that needs the data on the device calls
  // FileFlush first (TCFSFile::Close does for every file it wrote).
  ~TContainerFileSystem();
  TContainerFileSystem(const TContainerFileSystem&) = delete;
  TContainerFileSystem& operator=(const TContainerFileSystem&) = delete;

  bool IsEncrypted() const;
  // For a container that is not open: whether it is encrypted / whether Password opens it
  // (verifying takes at least a quarter of a second). Raise the page file's header messages.
  static bool IsFileEncrypted(const std::string& FileName);
  static bool CheckFilePassword(const std::string& FileName, const std::string& Password);

  // Opens a user file; Mode kModeCreate creates it (replacing an existing file that is not
  // open; over an open one LastError is ceFileInUse and that file is opened unchanged). Returns
  // the handle number (counting up from 0, never reused), or -1 with LastError cePathNotFound /
  // cePathMalformed (no such file or parent directory), ceIsDirectory, ceInvalidPassword (the
  // file's own password), ceReadOnly (creating in a read-only container) or ceNoSpace.
  [[nodiscard]] int32_t FileOpen(std::string_view Path, uint16_t Mode, const std::string& Password = {},
                   const std::string& Question = {}, const std::string& Answer = {});
  // Closes a handle; an unknown number is ignored. When the container runs in transactions and
  // has changes since the last commit, the close commits them (FileFlush). False, the handle
  // closed all the same, when that commit fails (LastError ceFlushFailed); otherwise LastError is
  // left as it was (it may tell why the caller closes).
  [[nodiscard]] bool FileClose(int32_t Handle);
  // Bytes read from the handle's position (short at the end of the file or when a page cannot be
  // read, with the page error in LastError; Buffer past the bytes read is undefined then); -1 with
  // LastError ceInvalidHandle for an unknown handle.
  [[nodiscard]] int32_t FileRead(int32_t Handle, void* Buffer, int32_t Count);
  // Bytes written at the handle's position, extending the file (with zeros up to the position)
  // as needed. Short when pages cannot be had (ceNoSpace, OnNoSpace fired), in a read-only
  // container (ceReadOnly) or when a page write fails (the page error in LastError); the file then
  // holds exactly the bytes reported written. -1 with LastError ceInvalidHandle for an unknown
  // handle.
  [[nodiscard]] int32_t FileWrite(int32_t Handle, const void* Buffer, int32_t Count);
  // Origin 0 from the beginning, 1 from the position, 2 from the size; no range check. The new
  // position, or -1 for an unknown handle (ceInvalidHandle), an invalid origin or a position out
  // of range (ceInvalidArgument).
  [[nodiscard]] int64_t FileSeek(int32_t Handle, int32_t Origin, int64_t Offset);
  // Cuts or extends (with zeros) the file; the position becomes Size. Returns Size, or a negative
  // error code, also in LastError (ceInvalidHandle, ceNoSpace, ceReadOnly, ceInvalidArgument for
  // a negative size, page errors).
  [[nodiscard]] int64_t FileSetSize(int32_t Handle, int64_t Size);
  // Writes the host file's data through to the device. False with LastError ceInvalidHandle for
  // an unknown handle, ceFlushFailed when the host file did not. A read-only container has nothing
  // to write through: true.
  [[nodiscard]] bool FileFlush(int32_t Handle);

  // Deletes a file or an empty directory. False with LastError the FindFile code when missing or
  // malformed, ceFileInUse when open, ceDirectoryNotEmpty, ceInvalidArgument for the root,
  // ceReadOnly.
  [[nodiscard]] bool DeleteFile(std::string_view Path);
  // TDIRManager::RenameItem, with its codes in LastError (and ceReadOnly); when no page can be had
  // for a parent directory of NewPath, false with ceNoSpace and OnNoSpace fired.
  [[nodiscard]] bool RenameFile(std::string_view OldPath, std::string_view NewPath);
  // Files and directories.
  bool FileExists(std::string_view Path) const;
  // On failure LastError is the directory's error (TDIRManager::ForceDirectories, ceReadOnly);
  // ceNoSpace fires OnNoSpace.
  [[nodiscard]] bool ForceDirectories(std::string_view Path);
  bool DirectoryExists(std::string_view Path) const;
  int32_t FindFirst(std::string_view Mask, uint32_t Attr, TSearchRec& SearchRec);
  int32_t FindNext(TSearchRec& SearchRec);
  void FindClose(TSearchRec& SearchRec);

  // Logical size of the container in bytes.
  int64_t GetSize() const;
  // Moves the container between memory and disk (committing what is pending first). False, the
  // container where it was, when that fails (LastError ceFlushFailed).
  [[nodiscard]] bool SetInMemory(bool Value);
  // Rewrites the container compactly into a fresh file "<name>_new", which then takes the
  // container's name; this object continues on it and the original is deleted (should that fail,
  // Log says so and the result is still true). Log receives a line per item that could not be
  // copied. False, with the reason in Log, when the container is read-only or in memory (Log
  // empty), when free space is short ("Not enough space.", OnNoSpace fired), when it does not pass
  // TContainerChecker (nothing written), on cancel from OnProgress, and on any failure on the way
  // (LastError -14 no copy buffer; -15 the names could not be swapped or made durable, or the
  // copy does not open): the original is then under its name again and open, with "<name>_new"
  // removed where it can be, and Log says "Original file restored."; should the original fail to
  // take its name back, Log says so instead and names the file it is in.
  [[nodiscard]] bool RepairFile(std::string& Log);

  int32_t LastError() const { return FLastError; }
  bool ReadOnly() const { return FReadOnly; }
  bool Exclusive() const { return FExclusive; }
  bool InMemory() const { return FInMemory; }
  const std::string& FileName() const { return FFileName; }
  const std::string& Password() const { return FPassword; }
  uint16_t Mode() const { return FMode; }

  // Empty = no handler.
  TNoSpaceEvent OnNoSpace;
  TProgressEvent OnProgress;

  // The parts, for checks and maintenance.
  TPageFileManager& PageFile() { return *FPageFile; }
  TFreeSpaceManager& FreeSpace() { return *FFreeSpace; }
  TDIRManager& Directory() { return *FDirectory; }
  const TDIRManager& Directory() const { return *FDirectory; }
  TUserFilePageMapManager& PageMaps() { return *FPageMaps; }
  // The open handle of that number, or null.
  const TUserFileHandle* Handle(int32_t Handle) const;
  size_t HandleCount() const { return FHandles.size(); }

private:
  TUserFileHandle* FindHandle(int32_t Handle);
  // The handle of an operation, LastError cleared; null with LastError ceInvalidHandle when unknown.
  TUserFileHandle* StartTransfer(int32_t Handle);
  // Stores a handle on ItemID (already counted open) under the next number.
  int32_t AddHandle(int32_t ItemID, int32_t Mode, std::string Key);
  void NoSpace();
  // Runs a directory change that reports by result (Change() -> bool): on failure the directory's
  // code goes to LastError and ceNoSpace fires OnNoSpace; a parent directory that could not be
  // made for want of space is such a failure rather than an exception.
  template <class F>
  bool DirectoryChange(F&& Change);
  // Sets bytes From .. page end of the page to zero (read, clear, write). False with LastError.
  bool ZeroPageTail(int32_t PageNo, int32_t From, const std::string& Key);
  uint8_t FileEncryptionType(const TUserFileHandle& Handle) const;
  // Stores an item whose file got pages (and size) since FormerSize; when that fails the pages
  // added go back before the exception passes on.
  void StoreGrownItem(int32_t ItemID, TDirItem& Item, int64_t FormerSize);
  // Length of the run of consecutive page numbers at Pages[First], at most Limit pages and one
  // transfer's worth.
  int32_t ConsecutiveRun(std::span<const int32_t> Pages, size_t First, int64_t Limit) const;
  // For a part of file page Index (of Map, the file's data pages) that the verified pages do not
  // hold (a BLOB value, read out of the stored order more often than not): reads the file's pages
  // around it in one transfer, as far as they lie near it in the host file, and keeps those it
  // verified there, so that the values in them need no transfer of their own. The page with the
  // wanted part is then held unless it failed (the caller reads it on its own and reports it);
  // nothing else changes. Only while the whole file would fit into the verified pages.
  void HoldPagesAround(const std::vector<int32_t>& Map, size_t Index, const std::string& Key, uint64_t Change);
  // Compaction's steps (TContainerFileSystem_Repair.cpp).
  class TRepairRun;
  // True when TContainerChecker finds no problem; otherwise false with Log saying why.
  [[nodiscard]] bool RepairSourceIsSound(std::string& Log);

  std::unique_ptr<TPageFileManager> FPageFile;
  std::unique_ptr<TFreeSpaceManager> FFreeSpace;
  std::unique_ptr<TDIRManager> FDirectory;
  std::unique_ptr<TUserFilePageMapManager> FPageMaps;
  std::unique_ptr<TPageRunIO> FPageRuns;
  // Pages of partial-page reads, verified (see VerifiedPageCache_internal.h).
  std::unique_ptr<TVerifiedPageCache> FVerifiedPages;
  std::map<int32_t, TUserFileHandle> FHandles;
  int32_t FNextHandle = 0;
  bool FReadOnly = false;
  bool FExclusive = false;
  bool FCancel = false;
  std::string FPassword;
  std::string FFileName;
  uint16_t FMode = 0;
  int32_t FRepairItemsDone = 0;
  int32_t FRepairItemsTotal = 0;
  bool FInMemory = false;
  int32_t FLastError = ceOk;
  std::vector<uint8_t> FPageBuffer;  // scratch page (a partial first page)
  std::vector<uint8_t> FTailBuffer;  // scratch page (a partial last page)
  // HoldPagesAround: the file's pages come in aligned groups of kPagesAround, those of a group
  // within kHostReach host pages either side of the wanted one; FAroundBuffer holds a group.
  static constexpr int32_t kPagesAround = 16;
  static constexpr int32_t kHostReach = 2 * kPagesAround;
  std::vector<uint8_t> FAroundBuffer;
  // The data of the partial pages the last FileWrites ended in, as they wrote them, one per
  // file for the last few files written: a write that continues in such a page (the next
  // records or BLOB value appended) takes it from here instead of reading the page back. An
  // entry is good while the host's ChangeCount is its Change. A FileWrite that succeeds carries
  // the others forward over its own changes: they touch only the written file's pages and
  // the container's own, never a page of another file. Any other host change (any handle's
  // size change, a flush, a transaction's end) makes them all stale.
  struct TWrittenTail {
    int32_t PageNo = -1;  // host page, -1: none
    int32_t ItemID = -1;
    std::string Key;
    uint64_t Change = 0;
    uint64_t Used = 0;  // FileWrite count when last stored, for choosing the entry to replace
    std::vector<uint8_t> Data;
  };
  static constexpr size_t kWrittenTails = 4;
  TWrittenTail FWrittenTails[kWrittenTails];
  uint64_t FTailWrites = 0;
  // Where the last FileRead ended (item, position): a read that starts there reads ahead.
  int32_t FLastReadItem = -1;
  int64_t FLastReadEnd = -1;
};

}  // namespace tesvar::container
