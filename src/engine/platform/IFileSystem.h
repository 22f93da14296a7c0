#pragma once
// The operating-system file interface. Everything above the platform layer reaches files only
// through IFileSystem / IFile, obtained from platform::FileSystem(); tests install an in-memory or
// fault-injecting file system with ScopedFileSystem.
//
// Paths are host paths in the platform's form (platform::kPathDelimiter). Results never throw:
// failures are reported by the return value, and platform::LastErrorText() tells why.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::platform {

enum class FileAccess : uint8_t { Read, ReadWrite };

// What other openers of the same file may do while this handle is open.
enum class FileShare : uint8_t { None, Read, ReadWrite };

enum class FileCreation : uint8_t {
  CreateAlways,  // create, or truncate an existing file
  CreateNew,     // create; fails when the file exists
  OpenExisting,  // fails when the file does not exist
};

struct FileOpenOptions {
  FileAccess access = FileAccess::Read;
  FileShare share = FileShare::ReadWrite;
  FileCreation creation = FileCreation::OpenExisting;
  bool deleteOnClose = false;  // the file is removed when its last handle closes
  bool randomAccess = true;    // access-pattern hint only
};

enum class SeekOrigin : uint8_t { Begin = 0, Current = 1, End = 2 };

// Times in FILETIME units: 100 ns intervals since 1601-01-01 UTC.
struct FileTimes {
  int64_t creation = 0;
  int64_t lastAccess = 0;
  int64_t lastWrite = 0;
};

struct DirEntry {
  std::string name;  // no directory part
  bool isDirectory = false;
  bool readOnly = false;
  int64_t size = 0;
  FileTimes times;
};

// An open file. Owned by whoever opened it; destroying it closes the handle.
class IFile {
public:
  virtual ~IFile() = default;
  // Reads up to count bytes at the position and advances it; returns the bytes read (0 at the
  // end of the file), or -1 on failure.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes at the position (a position past the end first extends the file with
  // zeros) and advances it; returns the bytes written, which may be fewer, or -1 on failure.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position, or -1 (position unchanged) when it would be
  // negative or the call fails.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  // Current size in bytes, or -1 on failure.
  virtual int64_t Size() = 0;
  // Cuts or extends (with zeros) the file to size; the position is unchanged.
  virtual bool SetSize(int64_t size) = 0;
  // Writes buffered data through to the device.
  virtual bool Flush() = 0;
  // Starts writing buffered data to the device without waiting for it, so that a later Flush has
  // less to wait for; only Flush makes data durable. A hint: the base version does nothing.
  virtual bool StartFlush() { return true; }
  // A regular file: stored data with a size, written at positions, which a rename can replace.
  // False for a device, pipe or socket: transfers happen where the stream stands, Flush has
  // nothing to do, and its name must not be renamed or deleted in its place.
  virtual bool IsRegular() const { return true; }
};

class IFileSystem {
public:
  virtual ~IFileSystem() = default;
  // Opens or creates a file; nullptr on failure (missing file, a sharing conflict with another
  // open handle, a read-only file opened for writing, a missing directory).
  virtual std::unique_ptr<IFile> Open(const std::string& path, const FileOpenOptions& options) = 0;
  virtual bool FileExists(const std::string& path) = 0;       // a file, not a directory
  virtual bool DirectoryExists(const std::string& path) = 0;
  virtual bool DeleteFile(const std::string& path) = 0;       // fails while the file is open
  // DeleteFile whose caller does not wait for the space to be released: the name is gone when it
  // returns, the host may free the file's blocks a moment later. The base version is DeleteFile.
  virtual bool DeleteFileQuick(const std::string& path) { return DeleteFile(path); }
  // Fails when newPath exists.
  virtual bool RenameFile(const std::string& oldPath, const std::string& newPath) = 0;
  // Makes the names in directory path durable: a rename, creation or deletion done in it before
  // the call survives a crash once it returns true. Where the host keeps names durable by itself
  // (or has no such call) it does nothing and returns true.
  virtual bool SyncDirectory(const std::string& path) = 0;
  virtual bool CreateDirectory(const std::string& path) = 0;  // the parent must exist
  virtual bool RemoveDirectory(const std::string& path) = 0;  // must be empty
  // Entries of a directory (no "." or ".."), in no particular order; false when it does not exist.
  virtual bool ListDirectory(const std::string& path, std::vector<DirEntry>& entries) = 0;
  virtual bool GetFileTimes(const std::string& path, FileTimes& times) = 0;
  // The read-only attribute: a read-only file cannot be opened for writing or deleted.
  virtual bool SetReadOnly(const std::string& path, bool readOnly) = 0;
  // Bytes available to this process on the volume holding path (a file or directory), -1 unknown.
  virtual int64_t FreeSpace(const std::string& path) = 0;
};

// The file system in force: the operating system's unless a ScopedFileSystem is alive.
IFileSystem& FileSystem();
// The operating system's file system.
IFileSystem& OsFileSystem();

// Installs fs as platform::FileSystem() for its lifetime (restoring the previous one after).
// fs must outlive the guard. Not thread-safe: the engine has one thread.
class ScopedFileSystem {
public:
  explicit ScopedFileSystem(IFileSystem& fs);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

private:
  IFileSystem* FPrevious;
};

// Text of the last failure reported by a platform call on this thread.
const std::string& LastErrorText();
void SetLastErrorText(std::string text);

}  // namespace tesvar::platform
