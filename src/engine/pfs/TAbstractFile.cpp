#include "pfs/TAbstractFile.h"

#include "platform/Exception.h"

#include <algorithm>
#include <vector>

namespace tesvar::pfs {

TAbstractFile::TAbstractFile(TAbstractPlainFileSystem* FileSystem, std::string FileName,
                             bool Exclusive, bool ReadOnly)
    : FFileName(std::move(FileName)),
      FExclusive(Exclusive),
      FReadOnly(ReadOnly),
      FFileSystem(FileSystem) {}

TAbstractFile::~TAbstractFile() = default;

void TAbstractFile::SetExclusive(bool Value) {
  if (Value == FExclusive) return;
  FExclusive = Value;
  if (ReopensForFlags()) Reopen();
}

void TAbstractFile::SetPosition(int64_t Value) { Seek(Value, TSeekOrigin::Begin); }

int64_t TAbstractFile::GetPosition() { return Seek(0, TSeekOrigin::Current); }

void TAbstractFile::SetReadOnly(bool Value) {
  if (Value == FReadOnly) return;
  FReadOnly = Value;
  if (ReopensForFlags()) Reopen();
}

int64_t TAbstractFile::GetSize() {
  const int64_t position = Seek(0, TSeekOrigin::Current);
  const int64_t size = Seek(0, TSeekOrigin::End);
  Seek(position, TSeekOrigin::Begin);
  return size;
}

void TAbstractFile::SetTemporary(bool Value) { FTemporary = Value; }

void TAbstractFile::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count)
    throw Exception("TAbstractFile.ReadBuffer - Stream read error");
}

void TAbstractFile::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count)
    throw Exception("TAbstractFile.WriteBuffer - Stream write error");
}

int64_t TAbstractFile::CopyFrom(TAbstractFile& Source, int64_t Count) {
  if (Count < 0) throw Exception("TAbstractFile.CopyFrom - Invalid count.");
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.GetSize();
    if (Count < 0) throw Exception("TAbstractFile.ReadBuffer - Stream read error");
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(Count, kCopyBufferSize)));
  int64_t left = Count;
  while (left > 0) {
    const int64_t n = std::min(left, kCopyBufferSize);
    Source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return Count;
}

void TAbstractFile::Reopen() {
  const int64_t position = GetPosition();
  Close();
  Open(false);
  if (position >= 0) SetPosition(position);
}

}  // namespace tesvar::pfs
