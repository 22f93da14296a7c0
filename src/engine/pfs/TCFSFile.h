#pragma once
// A plain-file-system file kept inside a container (single-file store mode): a user file of the
// container reached through one of the container's handles.

#include "pfs/TAbstractFile.h"
#include "platform/Exception.h"

#include <cstdint>
#include <string>

namespace tesvar::container {
class TContainerFileSystem;
}

namespace tesvar::pfs {

using container::TContainerFileSystem;

class TCFSFile : public TAbstractFile {
public:
  // Container must outlive the file (its plain file system destroys its files before the
  // container). The file stays closed until Open.
  TCFSFile(TAbstractPlainFileSystem* FileSystem, TContainerFileSystem& Container, std::string FileName,
           bool Exclusive, bool ReadOnly);
  ~TCFSFile() override;

  // Cuts or extends (with zeros) the file; the position becomes Value. Raises
  // "TCFSFile.SetSize - Cannot set size of file "<name>", error <code>." on failure (a closed or
  // read-only file included).
  void SetSize(int64_t Value) override;
  // Flushes the container (unless the file is read-only) and releases the handle. When the flush
  // fails the handle is released all the same and then "TCFSFile.Close - Cannot write file
  // "<name>" through to the disk, error <code>." is raised (code: the container's LastError,
  // ceFlushFailed).
  void Close() override;
  // Writes the container's host file through to the device; raises "TCFSFile.Flush - Cannot write
  // file "<name>" through to the disk, error <code>." when that fails.
  void Flush() override;
  // Opens the container's user file with the mode word kModeCreate (0xFFFF) when Create, else
  // read (0) or read-write (2) by ReadOnly combined with exclusive (0x10) or shared (0x40) by
  // Exclusive. An open handle is closed first.
  // Failures: Create raises "Cannot create file "<name>"". Not creating: a file that cannot be
  // opened for writing (in a read-only container) is opened read-only and ReadOnly becomes true;
  // when that fails too (or ReadOnly was already true) ReadOnly keeps its former value and
  // "Cannot open file "<name>"" is raised.
  void Open(bool Create) override;
  // Bytes read (short at the end of the file or when a page cannot be read), -1 when closed.
  int64_t Read(void* Buffer, int64_t Count) override;
  // The container's page data size: a read of whole pages goes straight from the host, a read
  // of part of a page goes through a page of its own.
  int64_t ReadGranule() const override;
  // The new position, -1 when closed or when it would be negative (position unchanged).
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  // Bytes written (short when the container runs out of space or fails), -1 when closed or
  // read-only. Count 0 writes nothing.
  int64_t Write(const void* Buffer, int64_t Count) override;

  bool IsOpen() const { return FHandle >= 0; }
  int32_t Handle() const { return FHandle; }
  // The path of the file inside the container.
  std::string Path() const { return FPathPrefix + FFileName; }

protected:
  // An open file reopens with a changed Exclusive or ReadOnly.
  bool ReopensForFlags() override { return IsOpen(); }

private:
  bool TryOpen(bool Create);
  // The exception of a failed flush inside Operation.
  Exception FlushError(const char* Operation) const;

  TContainerFileSystem& FContainer;
  std::string FPathPrefix;  // folder inside the container; always empty here
  int32_t FHandle = -1;     // -1 = closed
};

}  // namespace tesvar::pfs
