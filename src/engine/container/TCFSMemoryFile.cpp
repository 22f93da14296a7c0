#include "container/TCFSMemoryFile.h"

#include "platform/Exception.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace tesvar::container {

bool TCFSMemoryFile::Open(bool Create) {
  if (!Create) throw Exception("TCFSMemoryFile.Open - File cannot be open, only creation is available.");
  FData.clear();
  FPosition = 0;
  FOpen = true;
  return true;
}

void TCFSMemoryFile::Close() {
  FData.clear();
  FData.shrink_to_fit();
  FPosition = 0;
  FOpen = false;
}

bool TCFSMemoryFile::Flush() { return FOpen; }

bool TCFSMemoryFile::SetSize(int64_t Value) {
  if (!FOpen || Value < 0) return false;
  try {
    FData.resize(static_cast<size_t>(Value));
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

int64_t TCFSMemoryFile::GetSize() { return FOpen ? static_cast<int64_t>(FData.size()) : -1; }

int64_t TCFSMemoryFile::Read(void* Buffer, int64_t Count) {
  const int64_t size = static_cast<int64_t>(FData.size());
  if (!FOpen || Count <= 0 || FPosition >= size) return 0;
  const int64_t n = std::min(Count, size - FPosition);
  std::memcpy(Buffer, FData.data() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TCFSMemoryFile::Write(const void* Buffer, int64_t Count) {
  if (!FOpen || Count <= 0) return 0;
  const int64_t end = FPosition + Count;
  if (end > static_cast<int64_t>(FData.size()) && !SetSize(end)) return 0;
  std::memcpy(FData.data() + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = end;
  return Count;
}

int64_t TCFSMemoryFile::Seek(int64_t Offset, int Origin) {
  if (!FOpen) return -1;
  int64_t target;
  switch (Origin) {
    case 0: target = Offset; break;
    case 1: target = FPosition + Offset; break;
    case 2: target = static_cast<int64_t>(FData.size()) + Offset; break;
    default: return -1;
  }
  if (target < 0) return -1;
  FPosition = target;
  return FPosition;
}

}  // namespace tesvar::container
