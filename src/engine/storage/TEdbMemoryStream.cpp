#include "storage/TEdbMemoryStream.h"

#include <algorithm>
#include <cstring>

namespace tesvar::storage {

size_t TEdbMemoryStream::Read(void* Buffer, size_t Count) {
  if (FPosition >= Size()) return 0;
  const size_t n = std::min(Count, static_cast<size_t>(Size() - FPosition));
  if (n > 0) std::memcpy(Buffer, FBytes.data() + FPosition, n);
  FPosition += static_cast<int64_t>(n);
  return n;
}

size_t TEdbMemoryStream::Write(const void* Buffer, size_t Count) {
  if (Count == 0) return 0;
  const auto end = static_cast<size_t>(FPosition) + Count;
  if (end > FBytes.size()) FBytes.resize(end);
  std::memcpy(FBytes.data() + FPosition, Buffer, Count);
  FPosition = static_cast<int64_t>(end);
  return Count;
}

int64_t TEdbMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  const int64_t base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPosition : Size();
  FPosition = std::max<int64_t>(0, base + Offset);
  return FPosition;
}

void TEdbMemoryStream::SetSize(int64_t NewSize) { FBytes.resize(static_cast<size_t>(std::max<int64_t>(0, NewSize))); }

void TEdbMemoryStream::Clear() {
  FBytes.clear();
  FPosition = 0;
}

}  // namespace tesvar::storage
