#pragma once
// A part file held in an operating-system file (through platform::FileSystem()).

#include "container/TCFSAbstractFile.h"
#include "platform/IFileSystem.h"

#include <memory>

namespace tesvar::container {

class TCFSDiskFile : public TCFSAbstractFile {
public:
  using TCFSAbstractFile::TCFSAbstractFile;
  ~TCFSDiskFile() override;

  bool SetSize(int64_t Value) override;
  int64_t GetSize() override;
  void Close() override;
  bool Flush() override;
  bool StartFlush() override;
  // Opens with read or read-write access by ReadOnly, no sharing or full sharing by Exclusive,
  // create-or-truncate (Create) or open-existing, random-access hint. Reports failure as false
  // (platform::LastErrorText() tells why); an open part is closed first.
  bool Open(bool Create) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, int Origin) override;
  bool IsOpen() const override { return FFile != nullptr; }

private:
  std::unique_ptr<platform::IFile> FFile;
};

}  // namespace tesvar::container
