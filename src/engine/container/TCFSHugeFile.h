#pragma once
// The host file of a container: one logical 64-bit byte space stored in a chain of part files,
// each beginning with a 280-byte part header (layout in ContainerFormat.h) and carrying
// (maximum part size - 280) bytes of the space. The first part has the container's own name,
// further parts that name followed by a decimal number. The first part may be preceded by
// foreign bytes (a start offset), found by a signature scan when the file is opened.
//
// Logical position P lives in part k = (P + start) div D at file offset P + start - k*D + 280,
// D = maximum part size - 280. Every part but the last is exactly the maximum part size long
// (the foreign bytes count towards the first part's length).
//
// In memory mode the parts are memory streams; they survive Close and are dropped only by
// DeleteFiles or destruction.
//
// On disk a writable host file can run in transactions (BeginTransactions): every change between
// two Flush calls then becomes durable all at once (TCFSTransaction), with the rollback journal
// "<file name>-journal" beside the first part, and Recover rolls back a commit that was cut short.
//
// The chain is followed on disk by one walk (opening, RenameFile, DeleteFiles), which takes a file
// as a part only when it verifies: it has a part header (signature; the first part's maximum part
// size, which must exceed the header and the start offset; a later part's equal to the first's),
// its name is a plain file name in the first part's folder, the chain has not reached it before,
// and the part naming it is exactly the maximum part size long. The walk stops at the first link
// that does not verify (ChainBreak tells which): nothing behind it is opened, renamed or deleted.

#include "container/ContainerFormat.h"
#include "container/TCFSAbstractFile.h"
#include "container/TCFSTransaction.h"
#include "platform/WorkerThread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::container {

// Why the part chain on disk ends before a part that names no next part.
enum TChainBreakReason : uint8_t {
  cbNone = 0,        // the chain ends properly
  cbMissing,         // the named file does not exist or cannot be opened
  cbNotAPart,        // the named file has no part header (too short, wrong signature, or a first
                     // part whose maximum part size is below the header or the start offset)
  cbMaxSizeDiffers,  // the named file's maximum part size differs from the first part's
  cbPartNotFull,     // the naming part is not exactly the maximum part size long
  cbForeignName,     // the name has a directory part
  cbLoop,            // the name is that of a part the chain reached before
};

struct TChainBreak {
  TChainBreakReason Reason = cbNone;
  std::string From;  // file name (no directory) of the part holding the link; empty for the first part
  std::string To;    // the name linked to
};

class TCFSHugeFile {
public:
  // FileName: the first part's path. The maximum part size of new parts is DefaultMaxPartSize()
  // at construction; opening an existing file takes the size stored in its first part header.
  TCFSHugeFile(const std::string& FileName, bool Exclusive, bool ReadOnly, bool InMemory);
  ~TCFSHugeFile();
  TCFSHugeFile(const TCFSHugeFile&) = delete;
  TCFSHugeFile& operator=(const TCFSHugeFile&) = delete;

  // Create: deletes every part of the name chain (DeleteFiles), then creates the first part (size
  // 0). Otherwise walks the chain of existing parts; succeeds when the whole chain verifies, or
  // with Tolerant when at least the first part did (the parts before the break are kept). Raises "TCFSHugeFile.InternalOpen - File is already
  // open." / "TCFSHugeFile.InternalOpen - File was not closed.". An in-memory file that still
  // holds its parts is simply reopened (unless Create). Position 0 afterwards.
  bool InternalOpen(bool Create, bool Tolerant);

  // Recover (disk mode, after InternalOpen, before anything is read): looks for a rollback
  // journal and, unless ReadOnly, rolls the host back to the commit it records (TCFSTransaction::
  // Recover, which says what it does and refuses). In memory mode there is nothing to recover.
  [[nodiscard]] TCFSTransaction::TRecovery Recover(bool ReadOnly, std::string& Message);
  // Runs the open, writable disk host file in transactions of pages of PageSize bytes from now on,
  // when TCFSTransaction::Enabled(); the host must be durable as it stands (just created and
  // flushed, or opened and recovered). Does nothing in memory mode or when read-only.
  void BeginTransactions(int32_t PageSize);
  // Leaves transaction mode; changes since the last Flush that have not reached the host are lost
  // (callers flush first). Closing and deleting the file end it too.
  void EndTransactions();
  bool InTransaction() const { return FTransaction != nullptr; }
  // The transaction in force, or null (to look at: its changes go through this file).
  const TCFSTransaction* Transaction() const { return FTransaction.get(); }
  // The rollback journal's path.
  std::string JournalPath() const;

  // Bytes read from the position (never past the size); raises "TCFSHugeFile.Read - Stream read
  // error." when the position is beyond the size.
  int64_t Read(void* Buffer, int64_t Count);
  // Bytes written at the position; a position beyond the size first extends the file to it.
  // Appends part files as the position crosses part boundaries. Stops at a short write.
  int64_t Write(const void* Buffer, int64_t Count);
  // A read in the background (read-ahead): reads up to Count bytes at logical Position into
  // Buffer on the file's own thread while the caller goes on. One runs at a time, and every
  // member that uses the parts waits for it first (a later StartReadAt too), so the parts never
  // serve two threads at once. Buffer must stay valid and untouched until FinishReadAt, the next
  // StartReadAt or the destruction.
  void StartReadAt(int64_t Position, void* Buffer, int64_t Count);
  // Waits for the read StartReadAt began into Buffer and gives what Read would have given at its
  // position (the transaction's pages laid over): the bytes read (fewer than asked when the host
  // stopped short, with platform::LastErrorText() as that read left it), or -1 when none into
  // Buffer is outstanding, when it raised, or when a member that may change the bytes or the
  // pages kept in memory ran in the meantime (Write, SetSize, Flush, Close and the like: the
  // bytes may not be the file's now).
  int64_t FinishReadAt(const void* Buffer);
  // Exact transfers; raise "TCFSHugeFile.ReadBuffer - Stream read error" /
  // "TCFSHugeFile.WriteBuffer - Stream write error".
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Origin 0 (raises "TCFSHugeFile.Seek - Offset < 0 from file beginning." for a negative
  // offset), 1 from the position, 2 from the size. A negative result from origins 1 and 2 leaves
  // the position unchanged and returns -1. Otherwise returns the new position.
  int64_t Seek(int64_t Offset, int Origin);
  int64_t GetSize() const { return FSize; }
  // Grows (appending parts, earlier parts filled to the maximum part size) or shrinks (deleting
  // last parts) the file; size and position become NewSize. True when the size came out right;
  // otherwise GetSize() tells the size actually reached.
  bool SetSize(int64_t NewSize);
  // Makes everything written durable: in a transaction, its commit (part names included);
  // otherwise every part's flush (the names of parts created or deleted are durable only once the
  // caller syncs the folder).
  [[nodiscard]] bool Flush();
  // Starts writing every part's buffered data to the device without waiting (a hint).
  void StartFlush();
  // Disk mode closes and drops the parts (ending a transaction: flush first); memory mode keeps
  // them for a later InternalOpen.
  void Close();
  // Renames every part: the new name keeps the old directory, further parts replace the old base
  // name in their names (case-insensitively) and the chain's headers are updated. In disk mode
  // the file must be closed (open parts cannot be renamed); only verified parts are renamed, and a
  // link that does not verify stays as it is. Memory mode raises "TCFSHugeFile.RenameFile - No
  // memory files exist." when there are no parts. False at once, nothing renamed, while a
  // rollback journal exists (it must be recovered first). A header that names a renamed part is flushed
  // before the next part is renamed. False when the first part is no part, or a rename or a
  // header update fails; the parts renamed so far keep their new names then and the chain stays
  // whole from the first part (FileName() tells its name), so renaming again to the old name
  // undoes it. The names are durable only once the caller syncs the folder.
  [[nodiscard]] bool RenameFile(const std::string& NewName);
  // Closes the file and removes every part: memory mode drops them, disk mode deletes the
  // rollback journal, if any, and the file of
  // the first part (whatever it holds: it is the file the caller named) and the verified parts
  // behind it (with Quick the host may free their space after the call returns). A file the chain
  // names that does not verify is left alone: the result stays true, ChainBreak() names it. False
  // when a file to be deleted cannot be.
  bool DeleteFiles(bool Quick = false);
  // Where the last walk of the chain on disk (opening, RenameFile, DeleteFiles) found it broken;
  // Reason cbNone when it ended properly. Creating the file, appending a part and dropping the last
  // part write the end of the chain anew and clear it.
  const TChainBreak& ChainBreak() const { return FChainBreak; }
  // Creates the next part (named base + n, the smallest n >= part count whose file does not
  // exist) and links it from the previous part's header. False when it cannot be created.
  bool AppendPartFile();
  // Drops the last part (deleting its file in disk mode) and clears the link to it. Raises
  // "TCFSHugeFile.DeleteLastPartFile - No parts to delete." when there is one part or none.
  void DeleteLastPartFile();
  // Replaces every part by one of the other kind holding the same bytes. Switching to disk
  // writes the memory image into new part files beside the disk copy of the same name, if there
  // is one, and swaps them in by renames only when they are complete and flushed, making the
  // folder's names durable before the old copy is deleted. False, nothing changed (the disk copy
  // as it was, the parts in memory), when a new part cannot be written, renamed, made durable or
  // opened, or the old copy cannot be deleted (should undoing a rename fail as well, the old copy
  // stays complete under "<name>~old"); once the old copy's first part is deleted, the switch
  // stands and any later part of it that cannot be deleted stays behind.
  [[nodiscard]] bool SetInMemory(bool Value);

  const std::string& FileName() const { return FFileName; }
  bool Exclusive() const { return FExclusive; }
  bool ReadOnly() const { return FReadOnly; }
  bool InMemory() const { return FInMemory; }
  bool IsOpen() const { return FOpen; }
  // Grows whenever the bytes of the logical space may change (writes, size changes, opening,
  // closing, recovery, leaving transactions, a switch of storage): bytes read while it keeps its
  // value are what a read would give now.
  uint64_t ChangeCount() const { return FChangeCount; }
  int64_t Position() const { return FPosition; }
  int64_t StartOffset() const { return FStartOffset; }
  int64_t MaxPartSize() const { return FMaxPartSize; }
  int64_t PartDataSize() const { return FPartDataSize; }
  int PartCount() const { return static_cast<int>(FParts.size()); }
  TCFSAbstractFile& Part(int Index) {
    settle(true);
    return *FParts.at(static_cast<size_t>(Index));
  }

  // The maximum part size given to new host files: kPartMaxSizeDefault, except while a
  // ScopedMaxPartSize guard lowers it (tests reach the part boundary with small files).
  static int64_t DefaultMaxPartSize();
  class ScopedMaxPartSize {
  public:
    // Size must exceed the part header (kPartHeaderSize).
    explicit ScopedMaxPartSize(int64_t Size);
    ~ScopedMaxPartSize();
    ScopedMaxPartSize(const ScopedMaxPartSize&) = delete;
    ScopedMaxPartSize& operator=(const ScopedMaxPartSize&) = delete;

  private:
    int64_t FPrevious;
  };

private:
  // A verified part as the walk found it on disk.
  struct TPartFound {
    std::string Path;
    int64_t Start = 0;    // file offset of its part header (the start offset in the first part)
    int64_t Size = 0;     // file size
    int64_t MaxSize = 0;  // maximum part size
    std::string Next;     // the next part's name, empty in the last
  };
  using TPartOpener = std::function<std::unique_ptr<TCFSAbstractFile>(const std::string& Path)>;
  using TPartVisitor = std::function<bool(std::unique_ptr<TCFSAbstractFile>& Part, const TPartFound& Found)>;

  std::unique_ptr<TCFSAbstractFile> newPart(const std::string& Path) const;
  std::unique_ptr<TCFSAbstractFile> openPart(const std::string& Path) const;
  // The walk of the chain on disk from the first part (see the top of this header): opens each
  // file by Open (null: cannot), hands every verified part to Visit (which may take it; a part
  // left to the walk is closed; false: it cannot be used, the walk stops as at a missing part) and
  // records where the chain breaks in FChainBreak. True when the chain ends properly.
  bool walkParts(const TPartOpener& Open, const TPartVisitor& Visit);
  // Opens the verified parts into FParts (in memory mode, copies of them) and takes the start
  // offset and maximum part size of the first.
  bool walkChain();
  // The verified parts, each opened for reading and closed again.
  std::vector<TPartFound> findParts();
  void recalcSize();
  std::string partPath(const std::string& Name) const;
  // File offset of the part header inside part Index (the start offset in the first part).
  int64_t headerOffset(size_t Index) const { return Index == 0 ? FStartOffset : 0; }
  bool writeNextName(size_t Index, const std::string& Name);
  bool moveToDisk();

  // The logical space without transactions: transfers at a position (a write beyond the size
  // first extends the space), size changes, flush. rawSetSize does not move the position.
  int64_t rawRead(int64_t Position, void* Buffer, int64_t Count);
  int64_t rawWrite(int64_t Position, const void* Buffer, int64_t Count);
  bool rawSetSize(int64_t NewSize);
  // Names: also make the folder's names durable when parts were created or deleted since.
  bool rawFlush(bool Names);
  std::string folder() const;
  // Waits for a background read in hand; Changes: the caller may change the bytes or the pages a
  // transaction keeps, so the read's bytes no longer count.
  void settle(bool Changes) {
    if (!FAheadPending) return;
    FAheadWorker->Wait();
    if (Changes) FAheadStale = true;
  }
  class THostAccess;
  // Written bytes after which the device is asked to start writing them (StartFlush): a long
  // run of writes then reaches the device while more are produced, and the flush that ends it
  // waits only for the last ones.
  static constexpr int64_t kStartFlushBytes = int64_t{8} << 20;

  std::string FFileName;
  bool FExclusive;
  bool FReadOnly;
  bool FInMemory;
  int64_t FPosition = 0;
  int64_t FSize = 0;
  int64_t FMaxPartSize;
  int64_t FPartDataSize;
  std::vector<std::unique_ptr<TCFSAbstractFile>> FParts;
  bool FOpen = false;
  int64_t FStartOffset = 0;
  TChainBreak FChainBreak;
  bool FNamesChanged = false;  // a part was created or deleted since the last raw flush
  bool FRecovering = false;    // inside Recover: a cut also ends a chain that names a lost part
  std::unique_ptr<THostAccess> FHostAccess;
  std::unique_ptr<TCFSTransaction> FTransaction;
  uint64_t FChangeCount = 0;
  // Bytes written to the parts since the device was last asked to start writing them.
  int64_t FUnstartedBytes = 0;
  // The background read (StartReadAt): its thread (started with the first), whether one is
  // outstanding (FinishReadAt not called), whether a change made it void, where it reads and what
  // the thread got (set by the thread; read after the wait).
  std::unique_ptr<platform::TWorkerThread> FAheadWorker;
  bool FAheadPending = false;
  bool FAheadStale = false;
  int64_t FAheadPosition = 0;
  void* FAheadBuffer = nullptr;
  int64_t FAheadGot = -1;
  std::string FAheadError;  // platform::LastErrorText() after a transfer that stopped short
};

}  // namespace tesvar::container
