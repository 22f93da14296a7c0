#pragma once
// An in-memory file system with the semantics of the operating system's: directories, sharing
// conflicts between open handles, delete-on-close, the read-only attribute, rename and delete
// refusals for open files, and a settable free-space figure that writes respect (a write or size
// change beyond it fails like a full disk). Paths use the platform delimiter; '/' and '\' are
// both accepted as separators. Names compare case-sensitively, like the POSIX host.
// The root directory always exists; relative paths are taken from the root.

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
  bool CreateDirectory(const std::string& path) override;
  bool RemoveDirectory(const std::string& path) override;
  bool ListDirectory(const std::string& path, std::vector<DirEntry>& entries) override;
  bool GetFileTimes(const std::string& path, FileTimes& times) override;
  bool SetReadOnly(const std::string& path, bool readOnly) override;
  int64_t FreeSpace(const std::string& path) override;

  // Capacity of the whole file system in bytes (-1 = unlimited, the default). Free space is the
  // capacity less the bytes held by all files.
  void SetCapacity(int64_t bytes) { FCapacity = bytes; }
  int64_t UsedBytes() const;

  // Test helpers: the whole content of a file (empty when missing) and a direct replacement.
  std::vector<uint8_t> ReadAll(const std::string& path) const;
  void WriteAll(const std::string& path, const std::vector<uint8_t>& data);
  // Number of handles open on path.
  int OpenHandleCount(const std::string& path) const;

  struct Node;      // implementation detail
  struct Shared;    // state shared with open handles

private:
  std::shared_ptr<Shared> FShared;
  int64_t FCapacity = -1;
};

}  // namespace tesvar::platform
