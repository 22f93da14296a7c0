#include "toolkit/TStream.h"

#include "toolkit/Errors.h"
#include "toolkit/Messages.h"
#include "toolkit/TMemoryStream.h"

#include <algorithm>
#include <cstring>

namespace tesvar::toolkit {

int64_t TStream::Size() {
  const int64_t Pos = Seek(0, soCurrent);
  const int64_t End = Seek(0, soEnd);
  Seek(Pos, soBeginning);
  return End;
}

void TStream::ReadBuffer(void* Buffer, size_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw EStreamError(SReadError);
}

void TStream::WriteBuffer(const void* Buffer, size_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw EStreamError(SWriteError);
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  uint8_t Chunk[8192];
  int64_t Left = Count;
  while (Left > 0) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(Left, sizeof Chunk));
    Source.ReadBuffer(Chunk, n);
    WriteBuffer(Chunk, n);
    Left -= static_cast<int64_t>(n);
  }
  return Count;
}

std::vector<uint8_t> TStream::ReadAll() {
  SetPosition(0);
  std::vector<uint8_t> Bytes(static_cast<size_t>(Size()));
  ReadBuffer(Bytes.data(), Bytes.size());
  return Bytes;
}

size_t TMemoryStream::Read(void* Buffer, size_t Count) {
  const int64_t Avail = Size() - FPosition;
  if (Avail <= 0 || Count == 0) return 0;
  const size_t n = static_cast<size_t>(std::min<int64_t>(Avail, static_cast<int64_t>(Count)));
  std::memcpy(Buffer, FBytes.data() + FPosition, n);
  FPosition += static_cast<int64_t>(n);
  return n;
}

size_t TMemoryStream::Write(const void* Buffer, size_t Count) {
  if (Count == 0) return 0;
  const size_t End = static_cast<size_t>(FPosition) + Count;
  if (End > FBytes.size()) FBytes.resize(End);
  std::memcpy(FBytes.data() + FPosition, Buffer, Count);
  FPosition = static_cast<int64_t>(End);
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t Base = 0;
  if (Origin == soCurrent) Base = FPosition;
  if (Origin == soEnd) Base = Size();
  FPosition = std::max<int64_t>(0, Base + Offset);
  return FPosition;
}

void TMemoryStream::SetSize(int64_t NewSize) {
  FBytes.resize(static_cast<size_t>(std::max<int64_t>(0, NewSize)));
  FPosition = std::min<int64_t>(FPosition, Size());
}

void TMemoryStream::Clear() {
  FBytes.clear();
  FPosition = 0;
}

}  // namespace tesvar::toolkit
