#pragma once
// The plain file system of the single-file store mode: every table file of a database is a user
// file in the root of one container file (TContainerFileSystem), which this plain file system
// owns.

#include "pfs/TAbstractPlainFileSystem.h"

#include <memory>
#include <string>

namespace tesvar::container {
class TContainerFileSystem;
}

namespace tesvar::pfs {

using container::TContainerFileSystem;

class TCFSPlainFileSystem : public TAbstractPlainFileSystem {
public:
  // Page size and extent size of the containers this plain file system creates.
  static constexpr int32_t kPageSizeKB = 4;
  static constexpr int32_t kExtentPageCount = 16;

  // Opens (or, with CreateNew, creates) the container FileName with 4 KB pages and 16 pages per
  // extent, no password question, and the open mode kModeCreate when CreateNew, else 0x40 (read,
  // shared) when ReadOnly, else 0x22 (read-write, others denied writing). Raises the container's
  // messages (a wrong password: "TContainerFileSystem.Create - invalid password specified, ...").
  TCFSPlainFileSystem(const std::string& FileName, bool CreateNew, bool InMemory, bool ReadOnly,
                      const std::string& Password);
  // Destroys the open files, then closes the container. A destructor cannot report: flushes that
  // fail here go unnoticed, so a caller that needs its data on the device closes its files first
  // (CloseFile raises a failed flush).
  ~TCFSPlainFileSystem() override;

  // A name already open raises "TCFSPlainFileSystem.OpenFile - File "<name>" is already open.".
  // Otherwise opens a TCFSFile (see TCFSFile::Open for its errors and the read-only fallback) and
  // registers it.
  TAbstractFile& OpenFile(const std::string& FileName, bool Create, bool Exclusive,
                          bool ReadOnly) override;
  // Closes and destroys File: File is invalid afterwards, also when closing raises a failed flush
  // (TCFSFile::Close).
  void CloseFile(TAbstractFile& File) override;
  // The container's operations: false for a missing or open file, and in a read-only container.
  bool DeleteFile(const std::string& FileName) override;
  bool RenameFile(const std::string& OldName, const std::string& NewName) override;
  bool FileExists(const std::string& FileName) override;
  // The names, without their extension, of the files (not directories) in the container's root
  // matching "*" + Extension, each once (letter case ignored), in directory search order.
  void GetFileNames(const std::string& Extension, std::vector<std::string>& List) override;

  // Moves the connected container between memory and disk (switching to disk writes its image
  // into the container file).
  void SetInMemory(bool Value);

  bool ReadOnly() const { return FReadOnly; }
  bool InMemory() const { return FInMemory; }
  TContainerFileSystem& Container() { return *FContainer; }

private:
  bool FReadOnly;
  bool FInMemory;
  std::unique_ptr<TContainerFileSystem> FContainer;
};

}  // namespace tesvar::pfs
