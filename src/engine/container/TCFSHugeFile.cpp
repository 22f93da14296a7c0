#include "container/TCFSHugeFile.h"

#include "container/CFSBytes_internal.h"
#include "container/TCFSDiskFile.h"
#include "container/TCFSJournal.h"
#include "container/TCFSMemoryFile.h"
#include "platform/Exception.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

namespace tesvar::container {

namespace {

int64_t gDefaultMaxPartSize = kPartMaxSizeDefault;

constexpr int kMaxPartNameLength = kPartNextNameSize - 1;  // NUL-terminated in the header
constexpr int64_t kCopyChunk = 1 << 20;

// Reads the part header at Offset; false when the part is too short or the signature is wrong.
bool readPartHeader(TCFSAbstractFile& Part, int64_t Offset, uint8_t (&Header)[kPartHeaderSize]) {
  if (Part.GetSize() < Offset + kPartHeaderSize) return false;
  if (Part.Seek(Offset, 0) != Offset) return false;
  if (Part.Read(Header, kPartHeaderSize) != kPartHeaderSize) return false;
  return std::memcmp(Header, kPartSignature, sizeof kPartSignature) == 0;
}

std::string nextNameOf(const uint8_t (&Header)[kPartHeaderSize]) {
  const char* name = reinterpret_cast<const char*>(Header + kPartNextNameOffset);
  return std::string(name, std::find(name, name + kMaxPartNameLength, '\0'));
}

// A next-part name must be a plain file name: the chain never leaves the first part's directory.
bool isPlainName(const std::string& Name) { return Name.find_first_of("/\\") == std::string::npos; }

// Writes Name as the next-part name of the part header at HeaderOffset in Part.
bool writeNextField(TCFSAbstractFile& Part, int64_t HeaderOffset, const std::string& Name) {
  uint8_t field[kPartNextNameSize] = {};
  std::memcpy(field, Name.data(), std::min<size_t>(Name.size(), kMaxPartNameLength));
  const int64_t offset = HeaderOffset + kPartNextNameOffset;
  return Part.Seek(offset, 0) == offset && Part.Write(field, kPartNextNameSize) == kPartNextNameSize;
}

// Finds the part header of a container stored behind foreign bytes: the first place of the scan
// mark with at least kStartOffsetScanMinTail bytes from it on, the part signature there and the
// container signature right after the part header (see ContainerFormat.h). Returns -1 when there
// is none.
int64_t scanStartOffset(TCFSAbstractFile& Part) {
  constexpr int64_t kOverlap = kStartOffsetScanMarkSize - 1;
  const int64_t size = Part.GetSize();
  if (size < kStartOffsetScanMinTail) return -1;
  std::vector<uint8_t> block(static_cast<size_t>(std::min(kStartOffsetScanBlock, size)));
  for (int64_t base = 0; size - base >= kStartOffsetScanMinTail; base += kStartOffsetScanBlock - kOverlap) {
    if (Part.Seek(base, 0) != base) return -1;
    const int64_t wanted = std::min<int64_t>(kStartOffsetScanBlock, size - base);
    const int64_t got = Part.Read(block.data(), wanted);
    // Candidates are the places of the signature's first byte (memchr skips the rest quickly).
    const uint8_t* const begin = block.data();
    const uint8_t* const last = begin + std::max<int64_t>(got - kOverlap, 0);
    for (const uint8_t* at = begin; at < last; ++at) {
      at = static_cast<const uint8_t*>(std::memchr(at, kPartSignature[0], static_cast<size_t>(last - at)));
      if (!at) break;
      if (std::memcmp(at, kPartSignature, kStartOffsetScanMarkSize) != 0) continue;
      const int64_t candidate = base + (at - begin);
      if (size - candidate < kStartOffsetScanMinTail) return -1;
      uint8_t signature[sizeof kPartSignature];
      uint8_t container[sizeof kContainerSignature];
      if (Part.Seek(candidate, 0) != candidate || Part.Read(signature, sizeof signature) != int64_t(sizeof signature))
        return -1;
      if (Part.Seek(candidate + kPartHeaderSize, 0) < 0 || Part.Read(container, sizeof container) != int64_t(sizeof container))
        return -1;
      if (std::memcmp(signature, kPartSignature, sizeof signature) == 0 &&
          std::memcmp(container, kContainerSignature, sizeof container) == 0)
        return candidate;
    }
    if (got < wanted) return -1;
  }
  return -1;
}

char lowerAscii(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string lowerAsciiText(std::string Text) {
  std::transform(Text.begin(), Text.end(), Text.begin(), lowerAscii);
  return Text;
}

// Every case-insensitive occurrence of From in Text replaced by To.
std::string replaceAllCaseless(const std::string& Text, const std::string& From, const std::string& To) {
  if (From.empty()) return Text;
  std::string lowerText(Text.size(), '\0');
  std::string lowerFrom(From.size(), '\0');
  std::transform(Text.begin(), Text.end(), lowerText.begin(), lowerAscii);
  std::transform(From.begin(), From.end(), lowerFrom.begin(), lowerAscii);
  std::string result;
  size_t pos = 0;
  for (size_t hit; (hit = lowerText.find(lowerFrom, pos)) != std::string::npos; pos = hit + From.size())
    result.append(Text, pos, hit - pos).append(To);
  return result.append(Text, pos, std::string::npos);
}

// Copies the whole content of Source into Dest (which is empty), leaving both at position 0.
bool copyContent(TCFSAbstractFile& Source, TCFSAbstractFile& Dest) {
  const int64_t size = Source.GetSize();
  if (size < 0 || Source.Seek(0, 0) != 0) return false;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(size, kCopyChunk)));
  for (int64_t done = 0; done < size;) {
    const int64_t n = std::min(kCopyChunk, size - done);
    if (Source.Read(buffer.data(), n) != n || Dest.Write(buffer.data(), n) != n) return false;
    done += n;
  }
  return Source.Seek(0, 0) == 0 && Dest.Seek(0, 0) == 0;
}

// The first of Tag, Tag + "1", Tag + "2", ... that names no file when appended to each of Paths.
std::string freeSuffix(const std::vector<std::string>& Paths, const std::string& Tag) {
  for (int n = 0;; ++n) {
    const std::string suffix = n == 0 ? Tag : Tag + std::to_string(n);
    if (std::none_of(Paths.begin(), Paths.end(),
                     [&](const std::string& path) { return platform::FileSystem().FileExists(path + suffix); }))
      return suffix;
  }
}

}  // namespace

int64_t TCFSHugeFile::DefaultMaxPartSize() { return gDefaultMaxPartSize; }

TCFSHugeFile::ScopedMaxPartSize::ScopedMaxPartSize(int64_t Size) : FPrevious(gDefaultMaxPartSize) {
  gDefaultMaxPartSize = Size > kPartHeaderSize ? Size : kPartHeaderSize + 1;
}

TCFSHugeFile::ScopedMaxPartSize::~ScopedMaxPartSize() { gDefaultMaxPartSize = FPrevious; }

TCFSHugeFile::TCFSHugeFile(const std::string& FileName, bool Exclusive, bool ReadOnly, bool InMemory)
    : FFileName(FileName),
      FExclusive(Exclusive),
      FReadOnly(ReadOnly),
      FInMemory(InMemory),
      FMaxPartSize(gDefaultMaxPartSize),
      FPartDataSize(gDefaultMaxPartSize - kPartHeaderSize),
      FHostAccess(std::make_unique<THostAccess>(*this)) {}

// The raw logical space as a transaction's host.
class TCFSHugeFile::THostAccess : public TCFSTransaction::IHost {
public:
  explicit THostAccess(TCFSHugeFile& File) : FFile(File) {}
  int64_t RawRead(int64_t Position, void* Buffer, int64_t Count) override { return FFile.rawRead(Position, Buffer, Count); }
  int64_t RawWrite(int64_t Position, const void* Buffer, int64_t Count) override {
    return FFile.rawWrite(Position, Buffer, Count);
  }
  bool RawSetSize(int64_t Size) override { return FFile.rawSetSize(Size); }
  int64_t RawSize() const override { return FFile.FSize; }
  bool RawFlush() override { return FFile.rawFlush(true); }
  void RawStartFlush() override { FFile.StartFlush(); }
  int64_t MaxPartSize() const override { return FFile.FMaxPartSize; }
  int64_t StartOffset() const override { return FFile.FStartOffset; }

private:
  TCFSHugeFile& FFile;
};

// The background read ends before the parts it reads.
TCFSHugeFile::~TCFSHugeFile() { settle(true); }

std::string TCFSHugeFile::JournalPath() const { return TCFSJournal::PathFor(FFileName); }

std::string TCFSHugeFile::folder() const { return platform::ExtractFileDir(FFileName); }

TCFSTransaction::TRecovery TCFSHugeFile::Recover(bool ReadOnly, std::string& Message) {
  settle(true);
  ++FChangeCount;
  Message.clear();
  if (FInMemory || FParts.empty()) return TCFSTransaction::trNothing;
  FRecovering = true;
  const TCFSTransaction::TRecovery Result = TCFSTransaction::Recover(*FHostAccess, JournalPath(), folder(), ReadOnly, Message);
  FRecovering = false;
  return Result;
}

void TCFSHugeFile::BeginTransactions(int32_t PageSize) {
  settle(true);
  FTransaction.reset();
  if (FInMemory || FReadOnly || !FOpen || PageSize <= 0 || !TCFSTransaction::Enabled()) return;
  FTransaction = std::make_unique<TCFSTransaction>(*FHostAccess, JournalPath(), folder(), PageSize);
}

void TCFSHugeFile::EndTransactions() {
  settle(true);
  ++FChangeCount;
  FTransaction.reset();
}

std::string TCFSHugeFile::partPath(const std::string& Name) const {
  return platform::JoinPath(platform::ExtractFileDir(FFileName), Name);
}

std::unique_ptr<TCFSAbstractFile> TCFSHugeFile::newPart(const std::string& Path) const {
  if (FInMemory) return std::make_unique<TCFSMemoryFile>(Path, FExclusive, FReadOnly);
  return std::make_unique<TCFSDiskFile>(Path, FExclusive, FReadOnly);
}

// Opens an existing part file with the host file's access and sharing.
std::unique_ptr<TCFSAbstractFile> TCFSHugeFile::openPart(const std::string& Path) const {
  auto disk = std::make_unique<TCFSDiskFile>(Path, FExclusive, FReadOnly);
  if (!disk->Open(false)) return nullptr;
  return disk;
}

bool TCFSHugeFile::InternalOpen(bool Create, bool Tolerant) {
  settle(true);
  ++FChangeCount;
  if (FOpen) throw Exception("TCFSHugeFile.InternalOpen - File is already open.");
  if (FInMemory && !FParts.empty() && !Create) {
    FOpen = true;
    FPosition = 0;
    return true;
  }
  if (!FParts.empty()) throw Exception("TCFSHugeFile.InternalOpen - File was not closed.");
  FPosition = 0;
  FSize = 0;
  if (Create) {
    FStartOffset = 0;
    FMaxPartSize = gDefaultMaxPartSize;
    FPartDataSize = FMaxPartSize - kPartHeaderSize;
    if (!DeleteFiles() || !AppendPartFile()) {
      FParts.clear();
      return false;
    }
    FChainBreak = {};
    FOpen = true;
    return true;
  }
  const bool whole = walkChain();
  if (!whole && !(Tolerant && !FParts.empty())) {
    FParts.clear();
    return false;
  }
  recalcSize();
  FOpen = true;
  return true;
}

bool TCFSHugeFile::walkParts(const TPartOpener& Open, const TPartVisitor& Visit) {
  FChainBreak = {};
  std::string path = FFileName;
  std::string from;
  int64_t maxSize = 0;
  // Names compare caselessly: on a caseless file system two spellings are one file.
  std::set<std::string> visited;
  auto broken = [&](TChainBreakReason Reason, const std::string& To) {
    FChainBreak = {Reason, from, To};
    return false;
  };
  for (size_t k = 0;; ++k) {
    const std::string name = platform::ExtractFileName(path);
    if (!visited.insert(lowerAsciiText(path)).second) return broken(cbLoop, name);
    std::unique_ptr<TCFSAbstractFile> part = Open(path);
    if (!part) return broken(cbMissing, name);
    const int64_t start = k == 0 ? std::max<int64_t>(0, scanStartOffset(*part)) : 0;
    uint8_t header[kPartHeaderSize];
    if (!readPartHeader(*part, start, header)) return broken(cbNotAPart, name);
    const int64_t partMax = getLE64s(header + 8);
    if (k == 0) {
      if (partMax <= kPartHeaderSize || start >= partMax - kPartHeaderSize) return broken(cbNotAPart, name);
      maxSize = partMax;
    } else if (partMax != maxSize) {
      return broken(cbMaxSizeDiffers, name);
    }
    const TPartFound found{path, start, part->GetSize(), maxSize, nextNameOf(header)};
    if (!Visit(part, found)) return broken(cbMissing, name);
    if (found.Next.empty()) return true;
    from = name;
    if (!isPlainName(found.Next)) return broken(cbForeignName, found.Next);
    if (found.Size != maxSize) return broken(cbPartNotFull, found.Next);
    path = partPath(found.Next);
  }
}

bool TCFSHugeFile::walkChain() {
  return walkParts([this](const std::string& Path) { return openPart(Path); },
                   [this](std::unique_ptr<TCFSAbstractFile>& Part, const TPartFound& Found) {
                     // In memory mode the verified part's bytes move into a memory part.
                     if (FInMemory) {
                       auto memory = std::make_unique<TCFSMemoryFile>(Found.Path, FExclusive, FReadOnly);
                       if (!memory->Open(true) || !copyContent(*Part, *memory)) return false;
                       Part = std::move(memory);
                     }
                     if (FParts.empty()) {
                       FStartOffset = Found.Start;
                       FMaxPartSize = Found.MaxSize;
                       FPartDataSize = Found.MaxSize - kPartHeaderSize;
                     }
                     FParts.push_back(std::move(Part));
                     return true;
                   });
}

std::vector<TCFSHugeFile::TPartFound> TCFSHugeFile::findParts() {
  std::vector<TPartFound> parts;
  walkParts(
      [](const std::string& Path) -> std::unique_ptr<TCFSAbstractFile> {
        auto part = std::make_unique<TCFSDiskFile>(Path, false, true);
        if (!part->Open(false)) return nullptr;
        return part;
      },
      [&parts](std::unique_ptr<TCFSAbstractFile>&, const TPartFound& Found) {
        parts.push_back(Found);
        return true;
      });
  return parts;
}

// The logical size from the parts: every part but the last carries a full share.
void TCFSHugeFile::recalcSize() {
  if (FParts.empty()) {
    FSize = 0;
    return;
  }
  const int64_t last = FParts.back()->GetSize();
  FSize = std::max<int64_t>(0, int64_t(FParts.size() - 1) * FPartDataSize + last - kPartHeaderSize - FStartOffset);
}

int64_t TCFSHugeFile::Read(void* Buffer, int64_t Count) {
  settle(false);
  if (FPosition > FSize) throw Exception("TCFSHugeFile.Read - Stream read error.");
  const int64_t got = FTransaction ? FTransaction->Read(FPosition, Buffer, Count) : rawRead(FPosition, Buffer, Count);
  if (got > 0) FPosition += got;
  return std::max<int64_t>(got, 0);
}

void TCFSHugeFile::StartReadAt(int64_t Position, void* Buffer, int64_t Count) {
  settle(true);
  FAheadPending = false;
  if (!FOpen || Position < 0 || Position > FSize || Count <= 0) return;
  if (!FAheadWorker) FAheadWorker = std::make_unique<platform::TWorkerThread>();
  FAheadPending = true;
  FAheadStale = false;
  FAheadPosition = Position;
  FAheadBuffer = Buffer;
  FAheadGot = -1;
  FAheadError.clear();
  FAheadWorker->Start([this, Position, Buffer, Count] {
    try {
      FAheadGot = rawRead(Position, Buffer, Count);
      // The system's word on a transfer that stopped short of the end, for the caller's thread.
      if (FAheadGot < std::min(Count, FSize - Position)) FAheadError = platform::LastErrorText();
    } catch (...) {
      FAheadGot = -1;
    }
  });
}

int64_t TCFSHugeFile::FinishReadAt(const void* Buffer) {
  if (!FAheadPending || Buffer != FAheadBuffer) return -1;
  FAheadWorker->Wait();
  FAheadPending = false;
  if (FAheadStale || FAheadGot < 0) return -1;
  if (!FAheadError.empty()) platform::SetLastErrorText(FAheadError);
  if (FTransaction) FTransaction->LayOver(FAheadPosition, FAheadBuffer, FAheadGot);
  return FAheadGot;
}

int64_t TCFSHugeFile::rawRead(int64_t Position, void* Buffer, int64_t Count) {
  if (Position < 0 || Position > FSize) return -1;
  int64_t remaining = std::min(Count, FSize - Position);
  int64_t done = 0;
  auto* out = static_cast<uint8_t*>(Buffer);
  while (remaining > 0) {
    const int64_t shifted = Position + done + FStartOffset;
    const size_t k = static_cast<size_t>(shifted / FPartDataSize);
    if (k >= FParts.size()) break;
    const int64_t inPart = shifted - int64_t(k) * FPartDataSize;
    const int64_t chunk = std::min(remaining, FPartDataSize - inPart);
    TCFSAbstractFile& part = *FParts[k];
    const int64_t offset = inPart + kPartHeaderSize;
    if (part.Seek(offset, 0) != offset) break;
    const int64_t got = part.Read(out + done, chunk);
    if (got <= 0) break;
    done += got;
    remaining -= got;
    if (got < chunk) break;
  }
  return done;
}

int64_t TCFSHugeFile::Write(const void* Buffer, int64_t Count) {
  settle(true);
  ++FChangeCount;
  if (Count <= 0 || FParts.empty()) return 0;
  if (FPosition > FSize) {
    const int64_t target = FPosition;
    if (!SetSize(target)) {
      FPosition = target;
      return 0;
    }
  }
  const int64_t put = FTransaction ? FTransaction->Write(FPosition, Buffer, Count) : rawWrite(FPosition, Buffer, Count);
  if (put > 0) FPosition += put;
  return std::max<int64_t>(put, 0);
}

int64_t TCFSHugeFile::rawWrite(int64_t Position, const void* Buffer, int64_t Count) {
  ++FChangeCount;
  if (Count <= 0 || FParts.empty() || Position < 0) return 0;
  if (Position > FSize && !rawSetSize(Position)) return 0;
  int64_t done = 0;
  const auto* in = static_cast<const uint8_t*>(Buffer);
  while (done < Count) {
    const int64_t at = Position + done;
    const int64_t shifted = at + FStartOffset;
    const size_t k = static_cast<size_t>(shifted / FPartDataSize);
    if (k == FParts.size() && !AppendPartFile()) break;
    if (k >= FParts.size()) break;
    const int64_t inPart = shifted - int64_t(k) * FPartDataSize;
    const int64_t chunk = std::min(Count - done, FPartDataSize - inPart);
    TCFSAbstractFile& part = *FParts[k];
    const int64_t offset = inPart + kPartHeaderSize;
    if (part.Seek(offset, 0) != offset) break;
    const int64_t put = part.Write(in + done, chunk);
    if (put <= 0) break;
    done += put;
    if (at + put > FSize) FSize = at + put;
    if (put < chunk) break;
  }
  FUnstartedBytes += done;
  if (FUnstartedBytes >= kStartFlushBytes) {
    FUnstartedBytes = 0;
    StartFlush();
  }
  return done;
}

void TCFSHugeFile::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw Exception("TCFSHugeFile.ReadBuffer - Stream read error");
}

void TCFSHugeFile::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw Exception("TCFSHugeFile.WriteBuffer - Stream write error");
}

int64_t TCFSHugeFile::Seek(int64_t Offset, int Origin) {
  int64_t target;
  switch (Origin) {
    case 0:
      if (Offset < 0) throw Exception("TCFSHugeFile.Seek - Offset < 0 from file beginning.");
      target = Offset;
      break;
    case 1: target = FPosition + Offset; break;
    case 2: target = FSize + Offset; break;
    default: return -1;
  }
  if (target < 0) return -1;
  FPosition = target;
  return FPosition;
}

bool TCFSHugeFile::SetSize(int64_t NewSize) {
  settle(true);
  ++FChangeCount;
  if (FParts.empty() || NewSize < 0) return false;
  const bool ok = FTransaction ? FTransaction->SetSize(NewSize) : rawSetSize(NewSize);
  FPosition = NewSize;
  return ok;
}

bool TCFSHugeFile::rawSetSize(int64_t NewSize) {
  ++FChangeCount;
  if (FParts.empty() || NewSize < 0) return false;
  const size_t holder = static_cast<size_t>((NewSize + FStartOffset) / FPartDataSize);
  bool ok = true;
  while (ok && FParts.size() <= holder)
    ok = FParts.back()->SetSize(FMaxPartSize) && AppendPartFile();
  while (FParts.size() > holder + 1) DeleteLastPartFile();
  if (ok) ok = FParts[holder]->SetSize(NewSize + FStartOffset - int64_t(holder) * FPartDataSize + kPartHeaderSize);
  // A rollback cuts the space back past parts a crash may have lost: the last part kept must not
  // name one.
  if (ok && FRecovering && holder + 1 == FParts.size() && FChainBreak.Reason != cbNone) {
    ok = writeNextName(holder, {});
    if (ok) FChainBreak = {};
  }
  recalcSize();
  return ok && FSize == NewSize;
}

void TCFSHugeFile::StartFlush() {
  settle(false);
  for (auto& part : FParts) part->StartFlush();
}

bool TCFSHugeFile::Flush() {
  settle(true);
  return FTransaction ? FTransaction->Commit() : rawFlush(false);
}

bool TCFSHugeFile::rawFlush(bool Names) {
  bool ok = true;
  for (auto& part : FParts) ok = part->Flush() && ok;
  if (!ok) return false;
  if (Names && FNamesChanged && !FInMemory) {
    if (!platform::FileSystem().SyncDirectory(folder())) return false;
    FNamesChanged = false;
  }
  return true;
}

void TCFSHugeFile::Close() {
  settle(true);
  ++FChangeCount;
  if (!FInMemory) {
    FTransaction.reset();
    for (auto& part : FParts) part->Close();
    FParts.clear();
  }
  FOpen = false;
}

bool TCFSHugeFile::writeNextName(size_t Index, const std::string& Name) {
  return writeNextField(*FParts[Index], headerOffset(Index), Name);
}

bool TCFSHugeFile::AppendPartFile() {
  settle(true);
  std::string path = FFileName;
  if (!FParts.empty()) {
    auto taken = [&](const std::string& candidate) {
      if (platform::FileSystem().FileExists(candidate)) return true;
      return std::any_of(FParts.begin(), FParts.end(),
                         [&](const auto& part) { return part->FileName() == candidate; });
    };
    const std::string base = platform::ExtractFileName(FFileName);
    for (size_t n = FParts.size();; ++n) {
      path = partPath(base + std::to_string(n));
      if (!taken(path)) break;
    }
    if (platform::ExtractFileName(path).size() > size_t(kMaxPartNameLength)) return false;
  }
  auto part = newPart(path);
  if (!part->Open(true)) return false;
  uint8_t header[kPartHeaderSize] = {};
  std::memcpy(header, kPartSignature, sizeof kPartSignature);
  putLE64s(header + 8, FMaxPartSize);
  const int64_t offset = FParts.empty() ? FStartOffset : 0;
  if (part->Seek(offset, 0) != offset || part->Write(header, kPartHeaderSize) != kPartHeaderSize) {
    part->Close();
    if (!FInMemory) platform::FileSystem().DeleteFile(path);
    return false;
  }
  FParts.push_back(std::move(part));
  if (FParts.size() > 1 && !writeNextName(FParts.size() - 2, platform::ExtractFileName(path))) {
    FParts.back()->Close();
    FParts.pop_back();
    if (!FInMemory) platform::FileSystem().DeleteFile(path);
    return false;
  }
  FChainBreak = {};
  if (!FInMemory) FNamesChanged = true;
  return true;
}

void TCFSHugeFile::DeleteLastPartFile() {
  settle(true);
  if (FParts.size() <= 1) throw Exception("TCFSHugeFile.DeleteLastPartFile - No parts to delete.");
  const std::string path = FParts.back()->FileName();
  FParts.back()->Close();
  FParts.pop_back();
  if (!FInMemory) {
    static_cast<void>(platform::FileSystem().DeleteFile(path));  // a file left behind is no part: nothing names it
    FNamesChanged = true;
  }
  if (writeNextName(FParts.size() - 1, {})) FChainBreak = {};
}

bool TCFSHugeFile::RenameFile(const std::string& NewName) {
  settle(true);
  const std::string oldBase = platform::ExtractFileName(FFileName);
  const std::string newBase = platform::ExtractFileName(NewName);
  const std::string newPath = partPath(newBase);
  if (FInMemory) {
    if (FParts.empty()) throw Exception("TCFSHugeFile.RenameFile - No memory files exist.");
    FFileName = newPath;
    FParts[0]->SetFileName(newPath);
    for (size_t k = 1; k < FParts.size(); ++k) {
      const std::string name = replaceAllCaseless(platform::ExtractFileName(FParts[k]->FileName()), oldBase, newBase);
      FParts[k]->SetFileName(partPath(name));
      if (!writeNextName(k - 1, name)) return false;
    }
    return true;
  }
  platform::IFileSystem& Fs = platform::FileSystem();
  if (Fs.FileExists(JournalPath())) return false;
  const std::vector<TPartFound> parts = findParts();
  if (parts.empty()) return false;
  if (!Fs.RenameFile(FFileName, newPath)) return false;
  FFileName = newPath;
  std::string previous = newPath;  // the renamed part holding the link to the next
  for (size_t k = 1; k < parts.size(); ++k) {
    const std::string name = platform::ExtractFileName(parts[k].Path);
    const std::string renamed = replaceAllCaseless(name, oldBase, newBase);
    if (renamed != name) {
      if (renamed.size() > size_t(kMaxPartNameLength)) return false;
      if (!Fs.RenameFile(partPath(name), partPath(renamed))) return false;
      // The header must name the renamed part on the device before the chain relies on it;
      // otherwise both go back.
      TCFSDiskFile link(previous, true, false);
      const bool opened = link.Open(false);
      if (!opened || !writeNextField(link, parts[k - 1].Start, renamed) || !link.Flush()) {
        if (opened) static_cast<void>(writeNextField(link, parts[k - 1].Start, name) && link.Flush());
        static_cast<void>(Fs.RenameFile(partPath(renamed), partPath(name)));
        return false;
      }
    }
    previous = partPath(renamed);
  }
  return true;
}

bool TCFSHugeFile::DeleteFiles(bool Quick) {
  settle(true);
  ++FChangeCount;
  FTransaction.reset();
  for (auto& part : FParts) part->Close();
  FParts.clear();
  FOpen = false;
  FSize = 0;
  FPosition = 0;
  if (FInMemory) return true;
  platform::IFileSystem& Fs = platform::FileSystem();
  auto remove = [&](const std::string& Path) { return Quick ? Fs.DeleteFileQuick(Path) : Fs.DeleteFile(Path); };
  // The journal goes first: a journal without its container would be applied to a new one of the
  // same name (which refuses it, as it belongs to another container).
  if (Fs.FileExists(JournalPath()) && !Fs.DeleteFile(JournalPath())) return false;
  const std::vector<TPartFound> parts = findParts();
  if (parts.empty()) return !Fs.FileExists(FFileName) || remove(FFileName);
  for (const TPartFound& part : parts) {
    if (!remove(part.Path)) return false;
  }
  return true;
}

bool TCFSHugeFile::SetInMemory(bool Value) {
  settle(true);
  ++FChangeCount;
  if (Value == FInMemory) return true;
  if (!Value) return moveToDisk();
  std::vector<std::unique_ptr<TCFSAbstractFile>> replaced;
  for (auto& part : FParts) {
    auto memory = std::make_unique<TCFSMemoryFile>(part->FileName(), FExclusive, FReadOnly);
    if (!memory->Open(true) || !copyContent(*part, *memory)) return false;
    replaced.push_back(std::move(memory));
  }
  for (auto& part : FParts) part->Close();
  FParts = std::move(replaced);
  FInMemory = true;
  return true;
}

// The memory image is written into new part files beside the disk copy ("<part>~new"), the disk
// copy steps aside as a whole ("<name>~old"), the new parts take their names (the first part
// last, so that the chain is complete once it appears under the container's name), the folder's
// names are made durable, and only then the old copy is deleted. Every failure before that undoes
// the steps taken; at every moment one complete copy lies under the container's name or, between
// the renames, under the aside name.
bool TCFSHugeFile::moveToDisk() {
  if (FParts.empty()) {
    FInMemory = false;
    return true;
  }
  platform::IFileSystem& fs = platform::FileSystem();
  std::vector<std::string> names;
  for (const auto& part : FParts) names.push_back(part->FileName());
  const std::string tag = freeSuffix(names, "~new");
  std::vector<std::string> temps;
  for (const std::string& name : names) temps.push_back(name + tag);

  size_t created = 0;
  auto dropTemps = [&] {
    for (size_t k = 0; k < created; ++k) fs.DeleteFile(temps[k]);
  };
  for (size_t k = 0; k < FParts.size(); ++k) {
    TCFSDiskFile disk(temps[k], true, false);
    if (disk.Open(true)) ++created;
    const bool written = created == k + 1 && copyContent(*FParts[k], disk) && disk.Flush();
    disk.Close();
    if (!written) {
      dropTemps();
      return false;
    }
  }

  TCFSHugeFile old(FFileName, false, false, false);
  const bool hadDiskCopy = fs.FileExists(FFileName);
  // Undoing the renames. Should one of them fail as well, the old copy stays complete under
  // old.FileName(); the result is false either way.
  size_t renamed = 0;  // new parts that have their names, counted from the last
  auto undo = [&] {
    for (size_t k = FParts.size() - renamed; k < FParts.size(); ++k) fs.RenameFile(names[k], temps[k]);
    if (old.FileName() != FFileName) static_cast<void>(old.RenameFile(FFileName));
    dropTemps();
    return false;
  };
  if (hadDiskCopy && !old.RenameFile(FFileName + freeSuffix({FFileName}, "~old"))) return undo();
  for (size_t k = FParts.size(); k-- > 0; ++renamed) {
    if (!fs.RenameFile(temps[k], names[k])) return undo();
  }
  if (!fs.SyncDirectory(platform::ExtractFileDir(FFileName))) return undo();

  // A closed file keeps no disk parts open: the next InternalOpen walks the chain again.
  std::vector<std::unique_ptr<TCFSAbstractFile>> disk;
  for (size_t k = 0; FOpen && k < names.size(); ++k) {
    disk.push_back(std::make_unique<TCFSDiskFile>(names[k], FExclusive, FReadOnly));
    if (!disk.back()->Open(false)) {
      disk.clear();
      return undo();
    }
  }
  // The old copy goes first part first: while its first part is there, nothing of it is lost.
  if (hadDiskCopy && !old.DeleteFiles() && fs.FileExists(old.FileName())) {
    disk.clear();
    return undo();
  }
  for (auto& part : FParts) part->Close();
  FParts = std::move(disk);
  FInMemory = false;
  return true;
}

}  // namespace tesvar::container
