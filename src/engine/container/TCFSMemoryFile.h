#pragma once
// A part file held in a growable memory stream. It can only be created, never opened: the
// host file fills a new memory part from the disk file when it loads a container into memory.

#include "container/TCFSAbstractFile.h"

#include <vector>

namespace tesvar::container {

class TCFSMemoryFile : public TCFSAbstractFile {
public:
  using TCFSAbstractFile::TCFSAbstractFile;

  // Allocation failures are reported like a full disk: false / a short count.
  bool SetSize(int64_t Value) override;
  int64_t GetSize() override;
  void Close() override;
  bool Flush() override;
  // Create = true starts an empty stream; Create = false raises
  // "TCFSMemoryFile.Open - File cannot be open, only creation is available.".
  bool Open(bool Create) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, int Origin) override;
  bool IsOpen() const override { return FOpen; }

private:
  std::vector<uint8_t> FData;
  int64_t FPosition = 0;
  bool FOpen = false;
};

}  // namespace tesvar::container
