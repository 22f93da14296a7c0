#include "pfs/TDiskFile.h"

#include "pfs/PlainFileSystem_internal.h"

namespace tesvar::pfs {

TDiskFile::TDiskFile(TAbstractPlainFileSystem* FileSystem, std::string Directory,
                     std::string FileName, bool Exclusive, bool ReadOnly)
    : TAbstractFile(FileSystem, std::move(FileName), Exclusive, ReadOnly),
      FDirectory(std::move(Directory)) {}

TDiskFile::~TDiskFile() {
  try {
    TDiskFile::Close();
  } catch (...) {
    // The handle is released either way; a destructor cannot report the flush failure.
  }
}

bool TDiskFile::ReopensForFlags() { return IsOpen() && !FHandleDeletesOnClose; }

void TDiskFile::SetSize(int64_t Value) {
  if (!FHandle || FHandle->Seek(Value, TSeekOrigin::Begin) < 0 || !FHandle->SetSize(Value))
    raiseLastSystemError();
}

void TDiskFile::Close() {
  if (!FHandle) return;
  // A read-only handle has nothing to write through (and some hosts refuse to flush one).
  const bool flushed = FReadOnly || FHandle->Flush();
  FHandle.reset();
  if (!flushed) raiseLastSystemError();
}

void TDiskFile::Flush() {
  if (FHandle && !FReadOnly && !FHandle->Flush()) raiseLastSystemError();
}

bool TDiskFile::tryOpen(bool Create) {
  platform::FileOpenOptions options;
  options.access = FReadOnly ? platform::FileAccess::Read : platform::FileAccess::ReadWrite;
  options.share = FExclusive ? platform::FileShare::None : platform::FileShare::ReadWrite;
  options.creation =
      Create ? platform::FileCreation::CreateAlways : platform::FileCreation::OpenExisting;
  options.deleteOnClose = FTemporary;
  options.randomAccess = true;
  FHandle = platform::FileSystem().Open(FullPath(), options);
  FHandleDeletesOnClose = FTemporary;
  return FHandle != nullptr;
}

void TDiskFile::Open(bool Create) {
  Close();
  openWithReadOnlyFallback(Create, FReadOnly, FullPath(), [this](bool create) { return tryOpen(create); });
}

int64_t TDiskFile::Read(void* Buffer, int64_t Count) {
  if (!FHandle) return -1;
  if (Count <= 0) return 0;
  return FHandle->Read(Buffer, Count);
}

int64_t TDiskFile::Seek(int64_t Offset, TSeekOrigin Origin) {
  if (!FHandle) return -1;
  return FHandle->Seek(Offset, Origin);
}

int64_t TDiskFile::Write(const void* Buffer, int64_t Count) {
  if (!FHandle) return -1;
  if (Count < 0) return 0;
  if (Count == 0) {
    const int64_t position = FHandle->Seek(0, TSeekOrigin::Current);
    if (position < 0 || !FHandle->SetSize(position)) raiseLastSystemError();
    return 0;
  }
  return FHandle->Write(Buffer, Count);
}

}  // namespace tesvar::pfs
