#pragma once
// Atomic commits of a container's logical space. Every change made between two commits becomes
// durable all at once or not at all:
//
// - Bytes below the committed size (the size at the last commit) are never overwritten in place
//   before their committed image is durable in the rollback journal (TCFSJournal): a write there
//   goes to a page kept in memory, written at the commit.
// - Small writes (at most one page) anywhere are kept in memory too, so the container's metadata
//   pages (header, bitmaps, page maps, directory) reach the host once per commit, not once per
//   change. Larger writes beyond the committed size go straight to the host: a rollback cuts the
//   space back to the committed size, which the journal's header records. That header is made
//   durable before the host is changed at all.
// - Commit: the committed images of the pages kept in memory go to the journal, which is made
//   durable (and its name); then the pages go to the host, the host is flushed, and the journal's
//   header is zeroed and flushed: that is the commit point. The journal file stays for the next
//   commit (written over in place, its name already durable) and is deleted when the transaction
//   object goes.
// - When the pages kept in memory pass a limit, they are spilled: journaled and written without a
//   commit; the journal then stays until the commit. The container header page (page 0) is never
//   spilled, so that the host holds either its committed image or the one the commit writes.
// - Recover, when a container is opened, rolls back a journal left by a commit or spill that was
//   cut short.
//
// Reads see the pages kept in memory. The host must not be changed behind the transaction's back
// while it is in use.

#include "container/TCFSJournal.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace tesvar::container {

class TCFSTransaction {
public:
  // The logical space as the host file holds it, without the transaction.
  class IHost {
  public:
    virtual ~IHost() = default;
    // Transfers at a position; the byte counts moved (short or -1 on failure).
    virtual int64_t RawRead(int64_t Position, void* Buffer, int64_t Count) = 0;
    virtual int64_t RawWrite(int64_t Position, const void* Buffer, int64_t Count) = 0;
    virtual bool RawSetSize(int64_t Size) = 0;
    virtual int64_t RawSize() const = 0;
    // Makes everything written durable, the names of new part files included.
    virtual bool RawFlush() = 0;
    // Starts writing what was written to the device without waiting (a hint).
    virtual void RawStartFlush() {}
    virtual int64_t MaxPartSize() const = 0;
    virtual int64_t StartOffset() const = 0;
  };

  // Starts with the host's current size as committed (the host must be durable as it is: a fresh
  // container just flushed, or one opened after Recover). JournalPath: the journal's path;
  // Folder: the folder holding the container and its journal (synced to make names durable).
  TCFSTransaction(IHost& Host, std::string JournalPath, std::string Folder, int32_t PageSize);
  ~TCFSTransaction();
  TCFSTransaction(const TCFSTransaction&) = delete;
  TCFSTransaction& operator=(const TCFSTransaction&) = delete;

  // The logical operations. Write and Read return the bytes moved (short on a host failure);
  // Write never extends the space past the host's size through memory: it writes the extending
  // part to the host. SetSize is false when the host's size did not come out right (or the
  // journal could not take the committed images a cut needs).
  int64_t Read(int64_t Position, void* Buffer, int64_t Count);
  // Lays the pages kept in memory over Got bytes that the host gave for Position (what Read adds
  // to the host's bytes); the pages must be those kept when the host read them.
  void LayOver(int64_t Position, void* Buffer, int64_t Got) const;
  int64_t Write(int64_t Position, const void* Buffer, int64_t Count);
  [[nodiscard]] bool SetSize(int64_t NewSize);
  // Makes every change since the last commit durable. False (with platform::LastErrorText())
  // when a step failed: the changes then stay pending, and the durable state is the last commit
  // or, when the failure came after the journal was removed, this one.
  [[nodiscard]] bool Commit();
  // Whether anything changed since the last commit.
  bool Dirty() const { return !FPages.empty() || FJournal.Active() || FHost.RawSize() != FCommitted; }
  int64_t CommittedSize() const { return FCommitted; }
  // Bytes of pages held in memory.
  int64_t PendingBytes() const { return static_cast<int64_t>(FPages.size()) * FPageSize; }

  // Whether containers opened for writing from now on use transactions (default true). Without
  // them every write goes straight to the host and a crash may leave a container whose
  // structures disagree; only benchmarks turn them off, to measure their cost.
  static bool Enabled();
  class ScopedEnabled {
  public:
    explicit ScopedEnabled(bool Value);
    ~ScopedEnabled();
    ScopedEnabled(const ScopedEnabled&) = delete;
    ScopedEnabled& operator=(const ScopedEnabled&) = delete;

  private:
    bool FPrevious;
  };

  // Pages held in memory past this many bytes are spilled. Process-wide; tests lower it.
  static int64_t SpillLimit();
  class ScopedSpillLimit {
  public:
    explicit ScopedSpillLimit(int64_t Bytes);
    ~ScopedSpillLimit();
    ScopedSpillLimit(const ScopedSpillLimit&) = delete;
    ScopedSpillLimit& operator=(const ScopedSpillLimit&) = delete;

  private:
    int64_t FPrevious;
  };

  enum TRecovery : uint8_t {
    trNothing,     // no journal, or one that never became durable (deleted unless ReadOnly)
    trRolledBack,  // the host is back at its last commit and the journal is gone
    trRefused,     // the journal cannot be applied here; nothing was changed (Message says why)
  };
  // Looks for a journal at JournalPath and, unless ReadOnly, rolls the host back to the commit
  // it records. ReadOnly refuses a journal that needs a rollback. A journal that does not
  // belong to this container (another page size, part size or start offset, or a container
  // header that is neither the committed one nor the one its commit writes) or that is damaged
  // is refused in either mode. A failed rollback step is refused too; running Recover again
  // later completes it. (A journal records its container's file name and header: a container
  // renamed or copied together with a pending journal is refused too.)
  static TRecovery Recover(IHost& Host, const std::string& JournalPath, const std::string& Folder, bool ReadOnly,
                           std::string& Message);

private:
  // A held page: its bytes lie in a block shared by the pages loaded together, so that a
  // stretch of them goes back to the host in one transfer from where it lies.
  struct TPage {
    std::shared_ptr<uint8_t[]> Block;
    uint8_t* Bytes = nullptr;
  };

  int64_t pageStart(int64_t Page) const { return Page * FPageSize; }
  // Holds every page of First..Last in memory, loading those not held yet from the host (one read
  // per stretch) and queueing the committed image of each committed page in the journal.
  [[nodiscard]] bool holdRun(int64_t First, int64_t Last);
  bool mustHold(int64_t Page, int64_t Count) const;
  // Creates the journal (queueing its header) unless it is active.
  [[nodiscard]] bool beginJournal();
  // Makes the journal's header and name durable: required before the host is changed, so that a
  // crash finds the committed size to cut the space back to.
  [[nodiscard]] bool ensureJournal();
  // Journals the committed images of the held pages that need one (and of the pages of
  // [From, committed end) when From >= 0), with the commit mark when CommitMark. Makes the
  // journal durable.
  [[nodiscard]] bool journalHeld(int64_t From, bool CommitMark);
  // Writes the held pages to the host (page 0 too when WithHeader) and drops them.
  [[nodiscard]] bool writeHeld(bool WithHeader);
  [[nodiscard]] bool spillIfFull();
  uint32_t headerCrc(bool Committed);

  IHost& FHost;
  std::string FJournalPath;
  std::string FFolder;
  int32_t FPageSize;
  int64_t FCommitted;
  std::map<int64_t, TPage> FPages;             // page index -> bytes held in memory
  std::unordered_set<int64_t> FJournaled;      // committed pages whose image is durable in the journal
  std::unordered_set<int64_t> FQueued;         // committed pages whose image the journal has, not yet durable
  std::vector<uint8_t> FImage;                 // one page image
  TCFSJournal FJournal;
  bool FJournalDurable = false;                // the active journal's header (and name) is durable
};

}  // namespace tesvar::container
