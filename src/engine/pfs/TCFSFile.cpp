#include "pfs/TCFSFile.h"

#include "pfs/PlainFileSystem_internal.h"
#include "container/TContainerFileSystem.h"
#include "container/TPageFileManager.h"

#include <algorithm>

namespace tesvar::pfs {

using namespace container;

namespace {

// The container moves at most this many bytes per call (its counts are 32-bit).
constexpr int64_t kMaxTransfer = int64_t{1} << 30;

// Moves Count bytes in calls of at most kMaxTransfer: Step(Done, Wanted) moves Wanted bytes at
// offset Done and returns the bytes moved (-1 on failure). Stops at a short step; -1 when the
// first step fails.
template <class F>
int64_t InSteps(int64_t Count, F&& Step) {
  int64_t Done = 0;
  while (Done < Count) {
    const int32_t Wanted = static_cast<int32_t>(std::min(Count - Done, kMaxTransfer));
    const int32_t Moved = Step(Done, Wanted);
    if (Moved < 0) return Done > 0 ? Done : -1;
    Done += Moved;
    if (Moved < Wanted) break;
  }
  return Done;
}

}  // namespace

TCFSFile::TCFSFile(TAbstractPlainFileSystem* FileSystem, TContainerFileSystem& Container, std::string FileName,
                   bool Exclusive, bool ReadOnly)
    : TAbstractFile(FileSystem, std::move(FileName), Exclusive, ReadOnly), FContainer(Container) {}

TCFSFile::~TCFSFile() {
  try {
    TCFSFile::Close();
  } catch (...) {
    // The handle is released either way; a destructor cannot report a failed flush.
  }
}

void TCFSFile::SetSize(int64_t Value) {
  int64_t Result = ceInvalidHandle;
  if (IsOpen()) Result = FReadOnly ? int64_t{ceReadOnly} : FContainer.FileSetSize(FHandle, Value);
  if (Result < 0 || Result != Value) {
    throw Exception("TCFSFile.SetSize - Cannot set size of file " + quoted(Path()) + ", error " +
                    std::to_string(Result < 0 ? Result : FContainer.LastError()) + ".");
  }
}

void TCFSFile::Close() {
  if (!IsOpen()) return;
  const int32_t Handle = FHandle;
  FHandle = -1;
  bool Flushed = true;
  try {
    Flushed = FReadOnly || FContainer.FileFlush(Handle);
  } catch (...) {
    static_cast<void>(FContainer.FileClose(Handle));  // the exception is the failure to report
    throw;
  }
  Flushed = FContainer.FileClose(Handle) && Flushed;
  if (!Flushed) throw FlushError("TCFSFile.Close");
}

void TCFSFile::Flush() {
  if (IsOpen() && !FContainer.FileFlush(FHandle)) throw FlushError("TCFSFile.Flush");
}

Exception TCFSFile::FlushError(const char* Operation) const {
  return Exception(std::string(Operation) + " - Cannot write file " + quoted(Path()) + " through to the disk, error " +
                   std::to_string(FContainer.LastError()) + ".");
}

bool TCFSFile::TryOpen(bool Create) {
  // The container records the mode without enforcing it; a read-only container is what makes
  // writing impossible.
  if (!Create && !FReadOnly && FContainer.ReadOnly()) return false;
  uint16_t Mode = kModeCreate;
  if (!Create) {
    Mode = static_cast<uint16_t>((FReadOnly ? kModeRead : kModeReadWrite) |
                                 (FExclusive ? kModeShareExclusive : kModeShareDenyNone));
  }
  FHandle = FContainer.FileOpen(Path(), Mode);
  if (FHandle < 0) FHandle = -1;
  return IsOpen();
}

void TCFSFile::Open(bool Create) {
  Close();
  openWithReadOnlyFallback(Create, FReadOnly, Path(), [this](bool Create) { return TryOpen(Create); });
}

int64_t TCFSFile::Read(void* Buffer, int64_t Count) {
  if (!IsOpen()) return -1;
  auto* Dest = static_cast<uint8_t*>(Buffer);
  return InSteps(Count,
                 [&](int64_t Done, int32_t Wanted) { return FContainer.FileRead(FHandle, Dest + Done, Wanted); });
}

int64_t TCFSFile::ReadGranule() const { return FContainer.PageFile().PageDataSize(); }

int64_t TCFSFile::Seek(int64_t Offset, TSeekOrigin Origin) {
  if (!IsOpen()) return -1;
  const int64_t Former = FContainer.FileSeek(FHandle, 1, 0);
  const int64_t Position = FContainer.FileSeek(FHandle, static_cast<int32_t>(Origin), Offset);
  if (Position < 0) {
    static_cast<void>(FContainer.FileSeek(FHandle, 0, Former));  // a position it had: cannot fail
    return -1;
  }
  return Position;
}

int64_t TCFSFile::Write(const void* Buffer, int64_t Count) {
  // The container does not enforce a handle's mode: a file opened for reading refuses here, as
  // a read-only disk handle does.
  if (!IsOpen() || FReadOnly) return -1;
  const auto* Source = static_cast<const uint8_t*>(Buffer);
  return InSteps(Count,
                 [&](int64_t Done, int32_t Wanted) { return FContainer.FileWrite(FHandle, Source + Done, Wanted); });
}

}  // namespace tesvar::pfs
