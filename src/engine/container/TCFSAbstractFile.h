#pragma once
// One part file of a container's host file: a seekable byte stream on disk (TCFSDiskFile) or in
// memory (TCFSMemoryFile). Positions and sizes are 64-bit; a part is at most the maximum part
// size long.

#include <cstdint>
#include <string>

namespace tesvar::container {

class TCFSAbstractFile {
public:
  // FileName is the part's full path (for a memory part only a name). The object starts closed.
  TCFSAbstractFile(std::string FileName, bool Exclusive, bool ReadOnly)
      : FFileName(std::move(FileName)), FExclusive(Exclusive), FReadOnly(ReadOnly) {}
  virtual ~TCFSAbstractFile() = default;
  TCFSAbstractFile(const TCFSAbstractFile&) = delete;
  TCFSAbstractFile& operator=(const TCFSAbstractFile&) = delete;

  // Store the flag; it takes effect at the next Open.
  virtual void SetExclusive(bool Value) { FExclusive = Value; }
  virtual void SetReadOnly(bool Value) { FReadOnly = Value; }
  // Seek(Value, 0) / Seek(0, 1).
  virtual void SetPosition(int64_t Value) { Seek(Value, 0); }
  virtual int64_t GetPosition() { return Seek(0, 1); }
  // Cuts or extends (with zeros) the part; the position is unchanged. False on failure.
  virtual bool SetSize(int64_t Value) = 0;
  // Size in bytes (-1 when closed or on failure).
  virtual int64_t GetSize() = 0;
  // Releases the handle or stream without flushing it; closing a closed part does nothing. A
  // caller that needs the data on the device calls Flush first (the container's commits,
  // compaction before it renames).
  virtual void Close() = 0;
  // Writes buffered data through to the device; false when it did not.
  [[nodiscard]] virtual bool Flush() = 0;
  // Starts writing buffered data to the device without waiting (a hint; Flush makes it durable).
  virtual bool StartFlush() { return true; }
  // Create = true creates the part (truncating an existing one), false opens an existing one.
  virtual bool Open(bool Create) = 0;
  // Bytes actually transferred at the position (0 on failure); the position advances by them.
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  // Origin 0 = beginning, 1 = position, 2 = end. Returns the new position, -1 on failure.
  virtual int64_t Seek(int64_t Offset, int Origin) = 0;
  virtual bool IsOpen() const = 0;

  // Read / Write of exactly Count bytes; a shorter transfer raises "TCFSAbstractFile.ReadBuffer -
  // Stream read error" / "TCFSAbstractFile.WriteBuffer - Stream write error".
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);

  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& Value) { FFileName = Value; }
  bool Exclusive() const { return FExclusive; }
  bool ReadOnly() const { return FReadOnly; }
  int64_t Position() { return GetPosition(); }
  int64_t Size() { return GetSize(); }

protected:
  std::string FFileName;
  bool FExclusive;
  bool FReadOnly;
};

}  // namespace tesvar::container
