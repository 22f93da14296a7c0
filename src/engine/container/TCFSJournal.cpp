#include "container/TCFSJournal.h"

#include "codec/Checksums.h"
#include "container/CFSBytes_internal.h"
#include "container/JournalFormat.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <unordered_set>

namespace tesvar::container {

namespace {

// Queued records are written in pieces of about this size.
constexpr size_t kWriteChunk = size_t{1} << 20;

uint64_t getLE64u(const uint8_t* p) { return static_cast<uint64_t>(getLE64s(p)); }

uint32_t recordChecksum(uint64_t Nonce, const uint8_t* Record, const uint8_t* Payload, size_t PayloadSize) {
  uint8_t nonce[8];
  putLE64s(nonce, static_cast<int64_t>(Nonce));
  uint32_t crc = codec::Crc32C(0, nonce, sizeof nonce);
  crc = codec::Crc32C(crc, Record, kJournalRecordChecksummedBytes);
  return PayloadSize == 0 ? crc : codec::Crc32C(crc, Payload, PayloadSize);
}

int64_t readAt(platform::IFile& File, int64_t Offset, uint8_t* Buffer, int64_t Count) {
  if (File.Seek(Offset, platform::SeekOrigin::Begin) != Offset) return -1;
  int64_t done = 0;
  while (done < Count) {
    const int64_t got = File.Read(Buffer + done, Count - done);
    if (got < 0) return -1;
    if (got == 0) break;
    done += got;
  }
  return done;
}

std::unique_ptr<platform::IFile> openForReading(const std::string& Path) {
  platform::FileOpenOptions options;
  options.access = platform::FileAccess::Read;
  options.share = platform::FileShare::ReadWrite;
  options.creation = platform::FileCreation::OpenExisting;
  return platform::FileSystem().Open(Path, options);
}

}  // namespace

TCFSJournal::TCFSJournal() = default;

TCFSJournal::~TCFSJournal() = default;

std::string TCFSJournal::PathFor(const std::string& ContainerPath) { return ContainerPath + kJournalSuffix; }

bool TCFSJournal::Begin(const std::string& Path, const std::string& ContainerName, int32_t PageSize,
                        int64_t CommittedSize, int64_t MaxPartSize, int64_t StartOffset, uint32_t HeaderCrcBefore) {
  if (FFile && Path != FPath) Close();
  if (!FFile) {
    // A journal file of an earlier commit is written over in place: cheaper than a new file, and
    // its name is durable already. What lies past the new records does not check (other nonce).
    platform::FileOpenOptions options;
    options.access = platform::FileAccess::ReadWrite;
    options.share = platform::FileShare::None;
    options.creation = platform::FileCreation::OpenExisting;
    options.randomAccess = false;
    FFile = platform::FileSystem().Open(Path, options);
    FCreated = !FFile;
    if (!FFile) {
      options.creation = platform::FileCreation::CreateAlways;
      FFile = platform::FileSystem().Open(Path, options);
    }
    if (!FFile) return false;
  }
  FPath = Path;
  FActive = true;
  FPageSize = PageSize;
  FWritten = 0;
  std::random_device source;
  FNonce = (uint64_t(source()) << 32) ^ source();
  FQueue.assign(kJournalHeaderSize, 0);
  uint8_t* header = FQueue.data();
  std::memcpy(header, kJournalSignature, sizeof kJournalSignature);
  putLE32(header + kJournalVersionOffset, kJournalVersion);
  putLE32s(header + kJournalPageSizeOffset, PageSize);
  putLE64s(header + kJournalCommittedSizeOffset, CommittedSize);
  putLE64s(header + kJournalMaxPartSizeOffset, MaxPartSize);
  putLE64s(header + kJournalStartOffsetOffset, StartOffset);
  putLE64s(header + kJournalNonceOffset, static_cast<int64_t>(FNonce));
  putLE32(header + kJournalHeaderCrcBeforeOffset, HeaderCrcBefore);
  std::memcpy(header + kJournalContainerNameOffset, ContainerName.data(),
              std::min<size_t>(ContainerName.size(), kJournalContainerNameSize - 1));
  putLE32(header + kJournalHeaderChecksumOffset, codec::Crc32(header, kJournalHeaderChecksumOffset));
  return true;
}

void TCFSJournal::addRecord(uint32_t Kind, uint64_t Value, const uint8_t* Payload) {
  const size_t payloadSize = Payload != nullptr ? static_cast<size_t>(FPageSize) : 0;
  const size_t at = FQueue.size();
  FQueue.resize(at + kJournalRecordHeaderSize + payloadSize, 0);
  uint8_t* record = FQueue.data() + at;
  putLE32(record + kJournalRecordKindOffset, Kind);
  putLE64s(record + kJournalRecordValueOffset, static_cast<int64_t>(Value));
  if (payloadSize != 0) std::memcpy(record + kJournalRecordHeaderSize, Payload, payloadSize);
  putLE32(record + kJournalRecordChecksumOffset, recordChecksum(FNonce, record, Payload, payloadSize));
}

bool TCFSJournal::AddPage(int64_t PageIndex, const uint8_t* Image) {
  if (!FActive) return false;
  addRecord(kJournalRecordPage, static_cast<uint64_t>(PageIndex), Image);
  return FQueue.size() < kWriteChunk || writeQueued();
}

void TCFSJournal::AddCommitMark(uint32_t HeaderCrcAfter) {
  if (FActive) addRecord(kJournalRecordCommit, HeaderCrcAfter, nullptr);
}

bool TCFSJournal::writeQueued() {
  if (!FActive) return false;
  if (FQueue.empty()) return true;
  // Written at the end of what was written before, so that a failed write is simply repeated.
  const int64_t count = static_cast<int64_t>(FQueue.size());
  if (FFile->Seek(FWritten, platform::SeekOrigin::Begin) != FWritten || FFile->Write(FQueue.data(), count) != count)
    return false;
  FWritten += count;
  FQueue.clear();
  // The device starts on the records now, so that the flush at the commit has less to wait for.
  static_cast<void>(FFile->StartFlush());
  return true;
}

bool TCFSJournal::Sync() {
  if (!writeQueued() || !FFile->Flush()) return false;
  if (FCreated) {
    if (!platform::FileSystem().SyncDirectory(platform::ExtractFileDir(FPath))) return false;
    FCreated = false;
  }
  return true;
}

bool TCFSJournal::Invalidate() {
  if (!FActive) return true;
  const uint8_t zeros[kJournalHeaderSize] = {};
  if (FFile->Seek(0, platform::SeekOrigin::Begin) != 0 || FFile->Write(zeros, kJournalHeaderSize) != kJournalHeaderSize ||
      !FFile->Flush())
    return false;
  FActive = false;
  FQueue.clear();
  return true;
}

void TCFSJournal::Close() {
  FFile.reset();
  FQueue.clear();
  FActive = false;
}

bool TCFSJournal::Remove() {
  Close();
  if (FPath.empty()) return true;
  platform::IFileSystem& fs = platform::FileSystem();
  if (fs.FileExists(FPath) && (!fs.DeleteFile(FPath) || !fs.SyncDirectory(platform::ExtractFileDir(FPath))))
    return false;
  FPath.clear();
  return true;
}

bool TCFSJournal::Load(const std::string& Path, TJournalContent& Content) {
  Content = TJournalContent();
  if (!platform::FileSystem().FileExists(Path)) return true;
  std::unique_ptr<platform::IFile> file = openForReading(Path);
  if (!file) return false;
  const int64_t size = file->Size();
  if (size < 0) return false;
  Content.State = TJournalContent::jsUnusable;
  uint8_t header[kJournalHeaderSize];
  const int64_t got = readAt(*file, 0, header, kJournalHeaderSize);
  if (got < 0) {
    Content.State = TJournalContent::jsNone;
    return false;
  }
  if (got < kJournalHeaderSize || std::memcmp(header, kJournalSignature, sizeof kJournalSignature) != 0 ||
      getLE32(header + kJournalHeaderChecksumOffset) != codec::Crc32(header, kJournalHeaderChecksumOffset) ||
      getLE32(header + kJournalVersionOffset) != kJournalVersion)
    return true;
  Content.PageSize = getLE32s(header + kJournalPageSizeOffset);
  Content.CommittedSize = getLE64s(header + kJournalCommittedSizeOffset);
  Content.MaxPartSize = getLE64s(header + kJournalMaxPartSizeOffset);
  Content.StartOffset = getLE64s(header + kJournalStartOffsetOffset);
  Content.Nonce = getLE64u(header + kJournalNonceOffset);
  Content.HeaderCrcBefore = getLE32(header + kJournalHeaderCrcBeforeOffset);
  const char* name = reinterpret_cast<const char*>(header + kJournalContainerNameOffset);
  Content.ContainerName.assign(name, std::find(name, name + kJournalContainerNameSize - 1, '\0'));
  // A header that checks but describes no container this system writes is damage, not a torn
  // write: it is reported as valid with impossible values for the caller to refuse.
  Content.State = TJournalContent::jsValid;
  if (Content.PageSize <= 0 || Content.PageSize > (64 << 20) || Content.CommittedSize < 0) return true;

  std::vector<uint8_t> image(static_cast<size_t>(Content.PageSize));
  std::unordered_set<int64_t> seen;
  for (int64_t at = kJournalHeaderSize; at + kJournalRecordHeaderSize <= size;) {
    uint8_t record[kJournalRecordHeaderSize];
    if (readAt(*file, at, record, kJournalRecordHeaderSize) != kJournalRecordHeaderSize) break;
    const uint32_t kind = getLE32(record + kJournalRecordKindOffset);
    const uint32_t stored = getLE32(record + kJournalRecordChecksumOffset);
    if (kind == kJournalRecordPage) {
      const int64_t imageAt = at + kJournalRecordHeaderSize;
      if (imageAt + Content.PageSize > size ||
          readAt(*file, imageAt, image.data(), Content.PageSize) != Content.PageSize ||
          recordChecksum(Content.Nonce, record, image.data(), image.size()) != stored)
        break;
      const int64_t index = getLE64s(record + kJournalRecordValueOffset);
      if (seen.insert(index).second) Content.Pages.push_back({index, imageAt});
      at = imageAt + Content.PageSize;
    } else if (kind == kJournalRecordCommit) {
      if (recordChecksum(Content.Nonce, record, nullptr, 0) != stored) break;
      Content.HasCommitMark = true;
      Content.HeaderCrcAfter = static_cast<uint32_t>(getLE64s(record + kJournalRecordValueOffset));
      at += kJournalRecordHeaderSize;
    } else {
      break;
    }
  }
  return true;
}

bool TCFSJournal::ForEachImage(const std::string& Path, const TJournalContent& Content,
                               const std::function<bool(int64_t PageIndex, const uint8_t* Image)>& Visit) {
  if (Content.Pages.empty()) return true;
  std::unique_ptr<platform::IFile> file = openForReading(Path);
  if (!file) return false;
  std::vector<uint8_t> image(static_cast<size_t>(Content.PageSize));
  for (const TJournalContent::TPage& page : Content.Pages) {
    if (readAt(*file, page.ImageOffset, image.data(), Content.PageSize) != Content.PageSize) return false;
    if (!Visit(page.PageIndex, image.data())) return false;
  }
  return true;
}

}  // namespace tesvar::container
