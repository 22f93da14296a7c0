#pragma once
// An in-memory file system with the semantics of the operating system's: directories, sharing
// conflicts between open handles, delete-on-close, the read-only attribute, rename and delete
// refusals for open files, and a settable free-space figure that writes respect (a write or size
// change beyond it fails like a full disk). Paths use the platform delimiter; '/' and '\' are
// both accepted as separators. Names compare case-sensitively, like the POSIX host.
// The root directory always exists; relative paths are taken from the root; empty and "."
// components are skipped and ".." goes up (not above the root).
//
// Open handles keep the file system's state alive: a handle may outlive the MemoryFileSystem.
// Times: creation, last write and last access are the Clock()'s NowUtc() at creation; writes and
// size changes set last write and last access. Not thread-safe: the engine has one thread.
// Not modelled: the host's share-delete mode and delete-pending state.

#include "platform/IFileSystem.h"

#include <map>
#include <memory>

namespace tesvar::platform {

class MemoryFileSystem : public IFileSystem {
public:
  MemoryFileSystem();
  ~MemoryFileSystem() override;

  std::unique_ptr<IFile> Open(const std::string& path, const FileOpenOptions& options) override;
  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  bool DeleteFile(const std::string& path) override;
  bool RenameFile(const std::string& oldPath, const std::string& newPath) override;
  // Names are always durable here: true for an existing directory.
  bool SyncDirectory(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override;
  bool RemoveDirectory(const std::string& path) override;
  bool ListDirectory(const std::string& path, std::vector<DirEntry>& entries) override;
  bool GetFileTimes(const std::string& path, FileTimes& times) override;
  bool SetReadOnly(const std::string& path, bool readOnly) override;
  int64_t FreeSpace(const std::string& path) override;

  // Capacity of the whole file system in bytes (-1 = unlimited, the default). Free space is the
  // capacity less the bytes held by all files, deleted files that are still open included.
  // A write that does not fit writes what fits and returns that shorter count, as a full disk
  // does; when not one byte fits (or the zeros that would fill a gap before the position do not
  // fit) it returns -1 and changes nothing. SetSize beyond the free space fails and changes
  // nothing. Lowering the capacity below the bytes in use only stops growth.
  void SetCapacity(int64_t bytes);
  int64_t UsedBytes() const;

  // Test helpers: the whole content of a file (empty when missing) and a direct replacement,
  // which creates the file and its missing directories, ignores the read-only attribute, sharing
  // and capacity, and is seen at once by open handles. WriteAll on a directory throws
  // std::invalid_argument.
  std::vector<uint8_t> ReadAll(const std::string& path) const;
  void WriteAll(const std::string& path, const std::vector<uint8_t>& data);
  // Number of handles open on path (0 for a missing file or a directory).
  int OpenHandleCount(const std::string& path) const;

  // FreeSpace() without a capacity: more than any test can fill, and safe to add to.
  static constexpr int64_t kUnlimitedFreeSpace = int64_t{1} << 62;

  struct Node;      // implementation detail
  struct Shared;    // state shared with open handles

private:
  std::shared_ptr<Shared> FShared;
};

}  // namespace tesvar::platform
