#include "container/TCFSDiskFile.h"

namespace tesvar::container {

TCFSDiskFile::~TCFSDiskFile() { Close(); }

bool TCFSDiskFile::Open(bool Create) {
  Close();
  platform::FileOpenOptions options;
  options.access = FReadOnly ? platform::FileAccess::Read : platform::FileAccess::ReadWrite;
  options.share = FExclusive ? platform::FileShare::None : platform::FileShare::ReadWrite;
  options.creation = Create ? platform::FileCreation::CreateAlways : platform::FileCreation::OpenExisting;
  options.randomAccess = true;
  FFile = platform::FileSystem().Open(FFileName, options);
  return FFile != nullptr;
}

void TCFSDiskFile::Close() {
  // No flush here: Close cannot report one (see TCFSAbstractFile::Close), so whoever needs the
  // data on the device flushes first and checks that.
  FFile.reset();
}

bool TCFSDiskFile::Flush() { return FFile && FFile->Flush(); }

bool TCFSDiskFile::StartFlush() { return FFile && FFile->StartFlush(); }

bool TCFSDiskFile::SetSize(int64_t Value) { return FFile && Value >= 0 && FFile->SetSize(Value); }

int64_t TCFSDiskFile::GetSize() { return FFile ? FFile->Size() : -1; }

int64_t TCFSDiskFile::Read(void* Buffer, int64_t Count) {
  if (!FFile || Count <= 0) return 0;
  const int64_t done = FFile->Read(Buffer, Count);
  return done < 0 ? 0 : done;
}

int64_t TCFSDiskFile::Write(const void* Buffer, int64_t Count) {
  if (!FFile || Count <= 0) return 0;
  const int64_t done = FFile->Write(Buffer, Count);
  return done < 0 ? 0 : done;
}

int64_t TCFSDiskFile::Seek(int64_t Offset, int Origin) {
  if (!FFile || Origin < 0 || Origin > 2) return -1;
  return FFile->Seek(Offset, static_cast<platform::SeekOrigin>(Origin));
}

}  // namespace tesvar::container
