#pragma once
// A plain-file-system file kept in memory (in-memory store mode). Its data lives only while it is
// open: Close discards it, so the memory file system keeps its files open until they are deleted.

#include "pfs/TAbstractFile.h"

#include <memory>
#include <vector>

namespace tesvar::pfs {

class TMemoryFile : public TAbstractFile {
public:
  TMemoryFile(TAbstractPlainFileSystem* FileSystem, std::string FileName, bool Exclusive,
              bool ReadOnly);
  ~TMemoryFile() override;

  // The stream's size becomes Value (new bytes are zero); a position beyond it moves to the new
  // end. Raises "TMemoryFile.SetSize - File is not open." on a closed file and
  // "TMemoryFile.SetSize - Invalid size." for a negative Value.
  void SetSize(int64_t Value) override;
  // Discards the stream and its data.
  void Close() override;
  // Nothing to do.
  void Flush() override;
  // Create = true makes a new empty stream (discarding any former one); Create = false raises
  // "TMemoryFile.Open - File cannot be open, only creation is available.".
  void Open(bool Create) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  // Any position from 0 on is allowed; a negative result fails with -1.
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  // Writing past the end first extends the stream with zeros. Count 0 writes nothing; -1 when
  // the memory for the grown stream cannot be had.
  int64_t Write(const void* Buffer, int64_t Count) override;

  bool IsOpen() const { return FStream != nullptr; }

private:
  std::unique_ptr<std::vector<uint8_t>> FStream;  // null = closed
  int64_t FPosition = 0;
};

}  // namespace tesvar::pfs
