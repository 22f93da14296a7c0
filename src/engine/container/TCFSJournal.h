#pragma once
// The rollback journal of a container (layout in JournalFormat.h): written while a commit makes
// the container's changes durable, read when a container is opened after a commit was cut
// short. One object is a writer (Begin, Add..., Sync, Invalidate, again for the next commit,
// Remove at the end); the reader is static (Load, ForEachImage).

#include "platform/IFileSystem.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::container {

// What the header of a journal says, and where its page images are.
struct TJournalContent {
  enum TState : uint8_t {
    jsNone,      // no journal file
    jsUnusable,  // a file whose header is missing, short or does not check: it never became
                 // durable, so the container was not touched under it
    jsValid,     // a header that checks; Pages lists the images that check
  };
  TState State = jsNone;
  int32_t PageSize = 0;
  int64_t CommittedSize = 0;
  int64_t MaxPartSize = 0;
  int64_t StartOffset = 0;
  uint64_t Nonce = 0;
  uint32_t HeaderCrcBefore = 0;  // container header bytes 0..255 as committed
  std::string ContainerName;     // file name of the container's first part, no directory
  bool HasCommitMark = false;
  uint32_t HeaderCrcAfter = 0;  // container header bytes 0..255 the commit writes
  // Page index and the file offset of its image, in journal order; only the first image of a
  // page counts (it is the committed one).
  struct TPage {
    int64_t PageIndex;
    int64_t ImageOffset;
  };
  std::vector<TPage> Pages;
};

class TCFSJournal {
public:
  TCFSJournal();
  ~TCFSJournal();
  TCFSJournal(const TCFSJournal&) = delete;
  TCFSJournal& operator=(const TCFSJournal&) = delete;

  // The journal's path for a container file.
  static std::string PathFor(const std::string& ContainerPath);

  // Writer. Begin opens the journal at Path (the file of an earlier Invalidate is written over,
  // otherwise a new one is created) and queues its header; the
  // container is described by the other arguments (ContainerName: its first part's file name, at
  // most 260 bytes). False with platform::LastErrorText() when the file cannot be created.
  [[nodiscard]] bool Begin(const std::string& Path, const std::string& ContainerName, int32_t PageSize,
                           int64_t CommittedSize, int64_t MaxPartSize, int64_t StartOffset, uint32_t HeaderCrcBefore);
  // Between Begin and Invalidate (or Remove): a journal is being written.
  bool Active() const { return FActive; }
  // Queues the committed image (PageSize bytes) of a page.
  [[nodiscard]] bool AddPage(int64_t PageIndex, const uint8_t* Image);
  // Queues the commit mark: the CRC-32 of the container header the commit writes.
  void AddCommitMark(uint32_t HeaderCrcAfter);
  // Writes what is queued and flushes the file (and, for a new file, its folder): when true,
  // everything added so far is durable.
  [[nodiscard]] bool Sync();
  // Makes the journal durably worthless (its header zero), keeping the file for the next Begin:
  // the commit point of a commit. True also when none is active.
  [[nodiscard]] bool Invalidate();
  // Closes and deletes the journal file, durably (true also when there was none).
  [[nodiscard]] bool Remove();
  // Closes the file without deleting it.
  void Close();
  const std::string& Path() const { return FPath; }

  // Reader. Reads the header and the records of the journal at Path into Content; records are
  // read up to the first one that does not check. False only when the file exists but cannot be
  // read (Content.State is then jsNone and platform::LastErrorText() tells why).
  [[nodiscard]] static bool Load(const std::string& Path, TJournalContent& Content);
  // Calls Visit with every image of Content.Pages (Content.PageSize bytes, valid during the call),
  // in journal order. False when an image cannot be read or Visit returns false.
  [[nodiscard]] static bool ForEachImage(const std::string& Path, const TJournalContent& Content,
                                         const std::function<bool(int64_t PageIndex, const uint8_t* Image)>& Visit);

private:
  [[nodiscard]] bool writeQueued();
  void addRecord(uint32_t Kind, uint64_t Value, const uint8_t* Payload);

  std::string FPath;
  std::unique_ptr<platform::IFile> FFile;
  int32_t FPageSize = 0;
  uint64_t FNonce = 0;
  std::vector<uint8_t> FQueue;  // records not yet written
  int64_t FWritten = 0;         // bytes of the file written
  bool FActive = false;
  bool FCreated = false;        // the file is new: its name is not durable yet
};

}  // namespace tesvar::container
