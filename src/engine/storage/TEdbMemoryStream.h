#pragma once
// The stream through which BLOB values enter and leave table storage: bytes in memory, owned by
// the stream, with a position. The dataset layer keeps one per record buffer and BLOB field and
// fills it with ReadBLOBValue.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tesvar::storage {

class TEdbMemoryStream {
public:
  enum TSeekOrigin : uint8_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

  TEdbMemoryStream() = default;
  explicit TEdbMemoryStream(std::vector<uint8_t> Bytes) : FBytes(std::move(Bytes)) {}

  // Reads up to Count bytes at the position and advances; returns how many were read (0 at or
  // past the end).
  size_t Read(void* Buffer, size_t Count);
  // Writes Count bytes at the position (a position past the end fills the gap with zeros) and
  // advances; returns Count.
  size_t Write(const void* Buffer, size_t Count);
  // Moves the position (a result below 0 becomes 0) and returns it.
  int64_t Seek(int64_t Offset, TSeekOrigin Origin);
  // Makes the stream NewSize bytes long (zeros when it grows); the position stays.
  void SetSize(int64_t NewSize);
  int64_t Size() const { return static_cast<int64_t>(FBytes.size()); }
  int64_t Position() const { return FPosition; }
  void SetPosition(int64_t Value) { Seek(Value, soBeginning); }
  // Empties the stream and moves the position to 0.
  void Clear();

  const std::vector<uint8_t>& Bytes() const { return FBytes; }

private:
  std::vector<uint8_t> FBytes;
  int64_t FPosition = 0;
};

}  // namespace tesvar::storage
