#pragma once
// TStream: a sequence of bytes with a position, the form in which BLOB values are read and
// written (TDataSet::CreateBlobStream, TBlobField). Derived streams supply Read, Write, Seek and
// SetSize.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tesvar::toolkit {

enum TSeekOrigin : uint8_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
public:
  virtual ~TStream() = default;

  // Reads up to Count bytes at the position into Buffer and advances; returns how many were read
  // (fewer at the end, 0 there).
  virtual size_t Read(void* Buffer, size_t Count) = 0;
  // Writes Count bytes at the position and advances; returns how many were written.
  virtual size_t Write(const void* Buffer, size_t Count) = 0;
  // Moves the position to Offset from Origin and returns the new position.
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
  // Makes the stream NewSize bytes long (zeros when it grows); the position stays unless beyond.
  virtual void SetSize(int64_t NewSize) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t Value) { Seek(Value, soBeginning); }

  // Read / Write of exactly Count bytes; raise EStreamError ("Stream read error", "Stream write
  // error") when fewer were transferred.
  void ReadBuffer(void* Buffer, size_t Count);
  void WriteBuffer(const void* Buffer, size_t Count);
  // Copies Count bytes from Source's position; Count 0 copies the whole of Source from its start.
  // Returns the bytes copied; raises as ReadBuffer / WriteBuffer.
  int64_t CopyFrom(TStream& Source, int64_t Count);
  // Every byte from the start; the position ends at the end.
  std::vector<uint8_t> ReadAll();
};

}  // namespace tesvar::toolkit
