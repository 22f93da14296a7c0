#include "pfs/TMemoryFile.h"

#include "platform/Exception.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace tesvar::pfs {

TMemoryFile::TMemoryFile(TAbstractPlainFileSystem* FileSystem, std::string FileName,
                         bool Exclusive, bool ReadOnly)
    : TAbstractFile(FileSystem, std::move(FileName), Exclusive, ReadOnly) {}

TMemoryFile::~TMemoryFile() = default;

void TMemoryFile::SetSize(int64_t Value) {
  if (!FStream) throw Exception("TMemoryFile.SetSize - File is not open.");
  if (Value < 0) throw Exception("TMemoryFile.SetSize - Invalid size.");
  FStream->resize(static_cast<size_t>(Value));
  if (FPosition > Value) FPosition = Value;
}

void TMemoryFile::Close() {
  FStream.reset();
  FPosition = 0;
}

void TMemoryFile::Flush() {}

void TMemoryFile::Open(bool Create) {
  if (!Create)
    throw Exception("TMemoryFile.Open - File cannot be open, only creation is available.");
  FStream = std::make_unique<std::vector<uint8_t>>();
  FPosition = 0;
}

int64_t TMemoryFile::Read(void* Buffer, int64_t Count) {
  if (!FStream) return -1;
  const auto size = static_cast<int64_t>(FStream->size());
  if (Count <= 0 || FPosition >= size) return 0;
  const int64_t n = std::min(Count, size - FPosition);
  std::memcpy(Buffer, FStream->data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TMemoryFile::Seek(int64_t Offset, TSeekOrigin Origin) {
  if (!FStream) return -1;
  int64_t base = 0;
  switch (Origin) {
    case TSeekOrigin::Begin: base = 0; break;
    case TSeekOrigin::Current: base = FPosition; break;
    case TSeekOrigin::End: base = static_cast<int64_t>(FStream->size()); break;
    default: return -1;
  }
  if (Offset < -base || Offset > std::numeric_limits<int64_t>::max() - base) return -1;
  FPosition = base + Offset;
  return FPosition;
}

int64_t TMemoryFile::Write(const void* Buffer, int64_t Count) {
  if (!FStream) return -1;
  if (Count <= 0) return 0;
  if (Count > std::numeric_limits<int64_t>::max() - FPosition) return -1;
  const int64_t end = FPosition + Count;
  if (end > static_cast<int64_t>(FStream->size())) {
    try {
      FStream->resize(static_cast<size_t>(end));
    } catch (const std::bad_alloc&) {
      return -1;
    } catch (const std::length_error&) {
      return -1;
    }
  }
  std::memcpy(FStream->data() + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = end;
  return Count;
}

}  // namespace tesvar::pfs
