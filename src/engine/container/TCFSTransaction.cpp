#include "container/TCFSTransaction.h"

#include "codec/Checksums.h"
#include "container/ContainerFormat.h"
#include "container/JournalFormat.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace tesvar::container {

namespace {

int64_t gSpillLimit = int64_t{32} << 20;
bool gEnabled = true;

// Held pages go to the host in transfers of at most this many bytes.
constexpr int64_t kWriteRun = int64_t{1} << 20;

// The file name of the container whose journal is at JournalPath.
std::string containerNameOf(const std::string& JournalPath) {
  const size_t suffix = sizeof kJournalSuffix - 1;
  const std::string container =
      JournalPath.size() > suffix ? JournalPath.substr(0, JournalPath.size() - suffix) : JournalPath;
  return platform::ExtractFileName(container);
}

bool deleteJournal(const std::string& Path, const std::string& Folder) {
  platform::IFileSystem& fs = platform::FileSystem();
  if (fs.FileExists(Path) && !fs.DeleteFile(Path)) return false;
  return fs.SyncDirectory(Folder);
}

}  // namespace

bool TCFSTransaction::Enabled() { return gEnabled; }

TCFSTransaction::ScopedEnabled::ScopedEnabled(bool Value) : FPrevious(gEnabled) { gEnabled = Value; }

TCFSTransaction::ScopedEnabled::~ScopedEnabled() { gEnabled = FPrevious; }

int64_t TCFSTransaction::SpillLimit() { return gSpillLimit; }

TCFSTransaction::ScopedSpillLimit::ScopedSpillLimit(int64_t Bytes) : FPrevious(gSpillLimit) { gSpillLimit = Bytes; }

TCFSTransaction::ScopedSpillLimit::~ScopedSpillLimit() { gSpillLimit = FPrevious; }

TCFSTransaction::TCFSTransaction(IHost& Host, std::string JournalPath, std::string Folder, int32_t PageSize)
    : FHost(Host),
      FJournalPath(std::move(JournalPath)),
      FFolder(std::move(Folder)),
      FPageSize(PageSize),
      FCommitted(Host.RawSize()),
      FImage(static_cast<size_t>(PageSize)) {}

TCFSTransaction::~TCFSTransaction() {
  // A journal that is still being written may be needed to roll back what reached the host; a
  // spent one goes (should that fail, the next writer removes it: it never checks again).
  if (FJournal.Active())
    FJournal.Close();
  else
    static_cast<void>(FJournal.Remove());
}

bool TCFSTransaction::holdRun(int64_t First, int64_t Last) {
  const int64_t size = FHost.RawSize();
  for (int64_t page = First; page <= Last;) {
    if (FPages.count(page) != 0) {
      ++page;
      continue;
    }
    // One host read for the stretch of pages not held yet.
    int64_t last = page;
    while (last < Last && FPages.count(last + 1) == 0) ++last;
    const int64_t span = (last - page + 1) * FPageSize;
    const int64_t count = std::clamp<int64_t>(size - pageStart(page), 0, span);
    std::shared_ptr<uint8_t[]> block(new uint8_t[static_cast<size_t>(span)]);
    if (count > 0 && FHost.RawRead(pageStart(page), block.get(), count) != count) return false;
    std::memset(block.get() + count, 0, static_cast<size_t>(span - count));
    for (int64_t held = page; held <= last; ++held) {
      uint8_t* bytes = block.get() + (held - page) * FPageSize;
      if (pageStart(held) < FCommitted && FJournaled.count(held) == 0 && FQueued.count(held) == 0) {
        // What the host holds of a committed page is its committed image: it goes to the
        // journal's queue now, so that the commit need not read it again.
        if (!beginJournal()) return false;
        const int64_t committed = std::min<int64_t>(FCommitted - pageStart(held), FPageSize);
        const uint8_t* image = bytes;
        if (committed < FPageSize) {
          std::memcpy(FImage.data(), bytes, static_cast<size_t>(committed));
          std::memset(FImage.data() + committed, 0, static_cast<size_t>(FPageSize - committed));
          image = FImage.data();
        }
        if (!FJournal.AddPage(held, image)) return false;
        FQueued.insert(held);
      }
      FPages.emplace(held, TPage{block, bytes});
    }
    page = last + 1;
  }
  return true;
}

bool TCFSTransaction::mustHold(int64_t Page, int64_t Count) const {
  if (pageStart(Page) < FCommitted && FJournaled.count(Page) == 0) return true;
  return Count <= FPageSize;
}

int64_t TCFSTransaction::Read(int64_t Position, void* Buffer, int64_t Count) {
  const int64_t got = FHost.RawRead(Position, Buffer, Count);
  LayOver(Position, Buffer, got);
  return got;
}

void TCFSTransaction::LayOver(int64_t Position, void* Buffer, int64_t Got) const {
  if (Got <= 0 || FPages.empty()) return;
  auto* out = static_cast<uint8_t*>(Buffer);
  const int64_t end = Position + Got;
  for (auto it = FPages.lower_bound(Position / FPageSize); it != FPages.end() && pageStart(it->first) < end; ++it) {
    const int64_t from = std::max(Position, pageStart(it->first));
    const int64_t to = std::min(end, pageStart(it->first) + FPageSize);
    std::memcpy(out + (from - Position), it->second.Bytes + (from - pageStart(it->first)),
                static_cast<size_t>(to - from));
  }
}

int64_t TCFSTransaction::Write(int64_t Position, const void* Buffer, int64_t Count) {
  if (Count <= 0 || Position < 0) return 0;
  const auto* in = static_cast<const uint8_t*>(Buffer);
  const int64_t within = std::clamp<int64_t>(FHost.RawSize() - Position, 0, Count);
  const int64_t end = Position + within;
  if (within > 0) {
    const auto firstHeld = FPages.lower_bound(Position / FPageSize);
    const bool noneHeld = firstHeld == FPages.end() || pageStart(firstHeld->first) >= end;
    if (Position >= FCommitted && within > FPageSize && noneHeld) {
      if (!ensureJournal()) return 0;
      const int64_t put = FHost.RawWrite(Position, in, within);
      if (put != within) return std::max<int64_t>(put, 0);
    } else {
      // Page by page: held pages take their bytes in memory, the others go to the host in runs.
      int64_t runStart = -1;
      auto flushRun = [&](int64_t upTo) {
        if (runStart < 0) return true;
        if (!ensureJournal()) return false;
        const int64_t n = upTo - runStart;
        const bool ok = FHost.RawWrite(runStart, in + (runStart - Position), n) == n;
        runStart = -1;
        return ok;
      };
      for (int64_t at = Position; at < end;) {
        const int64_t page = at / FPageSize;
        if (FPages.count(page) != 0 || mustHold(page, within)) {
          if (!flushRun(at)) return 0;
          // The stretch of pages from here that are held or must be, loaded together.
          int64_t last = page;
          while (pageStart(last + 1) < end && (FPages.count(last + 1) != 0 || mustHold(last + 1, within))) ++last;
          if (!holdRun(page, last)) return at - Position;
          const int64_t stretchEnd = std::min(pageStart(last + 1), end);
          for (auto it = FPages.find(page); it != FPages.end() && it->first <= last; ++it) {
            const int64_t from = std::max(at, pageStart(it->first));
            const int64_t to = std::min(stretchEnd, pageStart(it->first + 1));
            std::memcpy(it->second.Bytes + (from - pageStart(it->first)), in + (from - Position),
                        static_cast<size_t>(to - from));
          }
          at = stretchEnd;
        } else {
          if (runStart < 0) runStart = at;
          at = std::min(pageStart(page + 1), end);
        }
      }
      if (!flushRun(end)) return 0;
    }
  }
  int64_t done = within;
  if (done < Count) {
    // The part that extends the space goes to the host; a held last page that reaches into it
    // takes the same bytes.
    const int64_t put = ensureJournal() ? FHost.RawWrite(end, in + done, Count - done) : -1;
    if (put > 0) {
      for (auto it = FPages.lower_bound(end / FPageSize); it != FPages.end() && pageStart(it->first) < end + put;
           ++it) {
        const int64_t from = std::max(end, pageStart(it->first));
        const int64_t to = std::min(end + put, pageStart(it->first) + FPageSize);
        if (from < to)
          std::memcpy(it->second.Bytes + (from - pageStart(it->first)), in + (from - Position),
                      static_cast<size_t>(to - from));
      }
      done += put;
    }
  }
  // A failed spill keeps the pages in memory; the commit tries again and reports.
  (void)spillIfFull();
  return done;
}

bool TCFSTransaction::SetSize(int64_t NewSize) {
  if (NewSize < 0) return false;
  if (NewSize < FCommitted && !journalHeld(NewSize, false)) return false;
  for (auto it = FPages.lower_bound(NewSize / FPageSize); it != FPages.end();) {
    if (pageStart(it->first) >= NewSize) {
      it = FPages.erase(it);
    } else {
      const int64_t keep = NewSize - pageStart(it->first);
      std::memset(it->second.Bytes + keep, 0, static_cast<size_t>(FPageSize - keep));
      ++it;
    }
  }
  if (NewSize == FHost.RawSize()) return true;
  return ensureJournal() && FHost.RawSetSize(NewSize);
}

uint32_t TCFSTransaction::headerCrc(bool Committed) {
  uint8_t header[kContainerHeaderSize] = {};
  const int64_t count = std::clamp<int64_t>(FHost.RawSize(), 0, kContainerHeaderSize);
  auto held = FPages.find(0);
  if (!Committed && held != FPages.end())
    std::memcpy(header, held->second.Bytes, kContainerHeaderSize);
  else if (count > 0 && FHost.RawRead(0, header, count) != count)
    return 0;
  return codec::Crc32(header, sizeof header);
}

bool TCFSTransaction::beginJournal() {
  if (FJournal.Active()) return true;
  FJournalDurable = false;
  return FJournal.Begin(FJournalPath, containerNameOf(FJournalPath), FPageSize, FCommitted, FHost.MaxPartSize(),
                        FHost.StartOffset(), headerCrc(true));
}

bool TCFSTransaction::ensureJournal() {
  if (FJournal.Active() && FJournalDurable) return true;
  if (!beginJournal() || !FJournal.Sync()) return false;
  FJournalDurable = true;
  return true;
}

bool TCFSTransaction::journalHeld(int64_t From, bool CommitMark) {
  if (!beginJournal()) return false;
  // Held committed pages were queued when they were loaded; a cut below the committed size needs
  // the images of the pages it takes away too. The host still holds those committed images: a
  // page is held, or journaled, before the host sees a change of it.
  if (From >= 0) {
    for (int64_t page = From / FPageSize; pageStart(page) < FCommitted; ++page) {
      if (FPages.count(page) != 0 || FJournaled.count(page) != 0 || FQueued.count(page) != 0) continue;
      std::fill(FImage.begin(), FImage.end(), uint8_t{0});
      const int64_t count = std::min<int64_t>(FCommitted - pageStart(page), FPageSize);
      if (FHost.RawRead(pageStart(page), FImage.data(), count) != count) return false;
      if (!FJournal.AddPage(page, FImage.data())) return false;
      FQueued.insert(page);
    }
  }
  if (CommitMark) FJournal.AddCommitMark(headerCrc(false));
  if (!FJournal.Sync()) return false;
  FJournalDurable = true;
  FJournaled.insert(FQueued.begin(), FQueued.end());
  FQueued.clear();
  return true;
}

bool TCFSTransaction::writeHeld(bool WithHeader) {
  const int64_t size = FHost.RawSize();
  // Runs of pages that follow one another both in the space and in memory (loaded together) go
  // to the host straight from where they lie.
  const uint8_t* runBytes = nullptr;
  int64_t runStart = -1;
  int64_t runLength = 0;
  auto flushRun = [&]() {
    if (runLength == 0) return true;
    const bool ok = FHost.RawWrite(runStart, runBytes, runLength) == runLength;
    runLength = 0;
    return ok;
  };
  for (const auto& [page, held] : FPages) {
    if (page == 0 && !WithHeader) continue;
    const int64_t start = pageStart(page);
    const int64_t count = std::clamp<int64_t>(size - start, 0, FPageSize);
    if (count == 0) continue;
    if (runLength > 0 && (start != runStart + runLength || held.Bytes != runBytes + runLength ||
                          runLength + count > kWriteRun)) {
      if (!flushRun()) return false;
    }
    if (runLength == 0) {
      runStart = start;
      runBytes = held.Bytes;
    }
    runLength += count;
  }
  if (!flushRun()) return false;
  // The device starts on the pages while the commit goes on to its flush.
  FHost.RawStartFlush();
  // Only now that every page reached the host are they dropped: a failure keeps them all.
  for (auto it = FPages.begin(); it != FPages.end();)
    it = (it->first == 0 && !WithHeader) ? std::next(it) : FPages.erase(it);
  return true;
}

bool TCFSTransaction::spillIfFull() {
  if (PendingBytes() <= gSpillLimit) return true;
  return journalHeld(-1, false) && writeHeld(false);
}

bool TCFSTransaction::Commit() {
  if (FPages.empty() && !FJournal.Active() && FHost.RawSize() == FCommitted) return true;
  // Holding a committed page and changing the host both begin the journal.
  const bool needJournal = FJournal.Active();
  if (needJournal && !journalHeld(-1, true)) return false;
  if (!writeHeld(true) || !FHost.RawFlush()) return false;
  FCommitted = FHost.RawSize();
  FJournaled.clear();
  FQueued.clear();
  // The commit point: a journal that no longer checks.
  return !needJournal || FJournal.Invalidate();
}

TCFSTransaction::TRecovery TCFSTransaction::Recover(IHost& Host, const std::string& JournalPath,
                                                    const std::string& Folder, bool ReadOnly, std::string& Message) {
  Message.clear();
  TJournalContent content;
  if (!TCFSJournal::Load(JournalPath, content)) {
    Message = "Cannot read the rollback journal \"" + JournalPath + "\": " + platform::LastErrorText();
    return trRefused;
  }
  if (content.State == TJournalContent::jsNone) return trNothing;
  if (content.State == TJournalContent::jsUnusable) {
    // Cut short before it became durable: the container was not touched under it.
    if (!ReadOnly && !deleteJournal(JournalPath, Folder)) {
      Message = "Cannot delete the unfinished rollback journal \"" + JournalPath + "\": " + platform::LastErrorText();
      return trRefused;
    }
    return trNothing;
  }
  bool sound = content.PageSize > 0 && content.CommittedSize >= 0 && content.MaxPartSize == Host.MaxPartSize() &&
               content.StartOffset == Host.StartOffset() && content.ContainerName == containerNameOf(JournalPath);
  for (const TJournalContent::TPage& page : content.Pages)
    sound = sound && page.PageIndex >= 0 && page.PageIndex * int64_t{content.PageSize} < content.CommittedSize;
  if (sound) {
    uint8_t header[kContainerHeaderSize] = {};
    const int64_t count = std::clamp<int64_t>(Host.RawSize(), 0, kContainerHeaderSize);
    if (count > 0 && Host.RawRead(0, header, count) != count) {
      Message = "Cannot read the container to check its rollback journal \"" + JournalPath + "\"";
      return trRefused;
    }
    const uint32_t crc = codec::Crc32(header, sizeof header);
    sound = crc == content.HeaderCrcBefore || (content.HasCommitMark && crc == content.HeaderCrcAfter);
  }
  if (!sound) {
    Message = "The rollback journal \"" + JournalPath +
              "\" does not belong to this container or is damaged; nothing was changed. Move it away only if "
              "the container is known to be sound.";
    return trRefused;
  }
  if (content.Pages.empty() && Host.RawSize() == content.CommittedSize) {
    if (!ReadOnly && !deleteJournal(JournalPath, Folder)) {
      Message = "Cannot delete the rollback journal \"" + JournalPath + "\": " + platform::LastErrorText();
      return trRefused;
    }
    return trNothing;
  }
  if (ReadOnly) {
    Message = "The container was left in the middle of a change (rollback journal \"" + JournalPath +
              "\"); open it for writing to roll the change back.";
    return trRefused;
  }
  const int64_t committed = content.CommittedSize;
  const int32_t pageSize = content.PageSize;
  const bool restored = TCFSJournal::ForEachImage(JournalPath, content, [&](int64_t Page, const uint8_t* Image) {
    const int64_t start = Page * pageSize;
    const int64_t count = std::min<int64_t>(committed - start, pageSize);
    return Host.RawWrite(start, Image, count) == count;
  });
  if (!restored || !Host.RawSetSize(committed) || !Host.RawFlush() || !deleteJournal(JournalPath, Folder)) {
    Message = "The rollback of an interrupted change failed (" + platform::LastErrorText() +
              "); the journal \"" + JournalPath + "\" is kept and the rollback is tried again at the next open.";
    return trRefused;
  }
  return trRolledBack;
}

}  // namespace tesvar::container
