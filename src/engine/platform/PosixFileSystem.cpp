// The operating system's file system on POSIX hosts (Linux first). A Windows host gets its own
// file beside this one that defines OsFileSystem() over the Windows file API.
//
// The engine relies on the host semantics of Windows, which POSIX lacks; they are emulated here:
// - Sharing modes become advisory locks (see ShareLocks below): only handles opened through this
//   file system honour them, in this process and in any other process running the engine.
// - Delete-on-close: the file is unlinked when the last handle of this process on it closes.
//   Handles of other processes do not delay it (they keep reading the unlinked file), and a
//   process that dies without closing leaves the file behind.
// - Open files cannot be deleted or renamed: DeleteFile and RenameFile refuse a file that a
//   handle of the engine holds (this process, or another one through the locks). A directory
//   rename does not look for open files inside it.
// - The read-only attribute is the absence of every write permission bit. The superuser may
//   write such files anyway, so Open and DeleteFile check the bits themselves.

#ifndef _WIN32

#include "platform/IClock.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"
#include "platform/ShareMode_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace tesvar::platform {

namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

bool failErrno(const char* what, const std::string& path, int error) {
  SetLastErrorText(std::string(what) + " \"" + path + "\": " + std::generic_category().message(error));
  return false;
}

bool failText(const char* what, const std::string& path, const char* reason) {
  SetLastErrorText(std::string(what) + " \"" + path + "\": " + reason);
  return false;
}

constexpr const char* kSharingViolation =
    "The process cannot access the file because it is being used by another process";

int64_t toFileTime(const struct timespec& t) {
  return kUnixEpochFileTime + int64_t{t.tv_sec} * kFileTimeTicksPerSecond + t.tv_nsec / 100;
}

// What the engine needs of a stat call.
struct FileStat {
  mode_t mode = 0;
  int64_t size = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  FileTimes times;
};

// stat of name relative to the directory dirFd (AT_FDCWD: the current directory). The creation
// time is the birth time where the file system keeps one, else the last write time.
bool statAt(int dirFd, const char* name, FileStat& out, bool followLinks = true) {
  const int linkFlag = followLinks ? 0 : AT_SYMLINK_NOFOLLOW;
#ifdef STATX_BTIME
  struct statx sx {};
  if (statx(dirFd, name, linkFlag | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    out.mode = sx.stx_mode;
    out.size = static_cast<int64_t>(sx.stx_size);
    out.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    out.ino = sx.stx_ino;
    const auto ft = [](const struct statx_timestamp& t) {
      return kUnixEpochFileTime + t.tv_sec * kFileTimeTicksPerSecond + t.tv_nsec / 100;
    };
    out.times.lastAccess = ft(sx.stx_atime);
    out.times.lastWrite = ft(sx.stx_mtime);
    out.times.creation = (sx.stx_mask & STATX_BTIME) != 0 ? ft(sx.stx_btime) : out.times.lastWrite;
    return true;
  }
  if (errno != ENOSYS) return false;
#endif
  struct stat st {};
  if (fstatat(dirFd, name, &st, linkFlag) != 0) return false;
  out.mode = st.st_mode;
  out.size = st.st_size;
  out.dev = st.st_dev;
  out.ino = st.st_ino;
  out.times.lastAccess = toFileTime(st.st_atim);
  out.times.lastWrite = toFileTime(st.st_mtim);
  out.times.creation = out.times.lastWrite;
  return true;
}

bool statPath(const std::string& path, FileStat& out) { return statAt(AT_FDCWD, path.c_str(), out); }

int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// ---------------------------------------------------------------------------------------------
// Share locks. Each handle holds shared open-file-description locks on one-byte ranges far beyond
// any real file size, one range per fact about it:
//   HasRead   - it reads (every handle)        HasWrite  - it writes
//   DenyRead  - its share mode excludes readers DenyWrite - its share mode excludes writers
// A new handle takes its own locks, then probes (F_OFD_GETLK with an exclusive lock, which sees
// only other descriptions' locks) the ranges that would conflict: DenyRead always (it reads),
// DenyWrite when it writes, HasRead when it excludes readers, HasWrite when it excludes writers.
// Taking before probing means two racing openers may both fail, never both succeed. The locks
// vanish when the descriptor closes. File systems without these locks (F_OFD_* unknown or refused)
// open without sharing control.

enum ShareLock : off_t { kHasRead = 0, kHasWrite = 1, kDenyRead = 2, kDenyWrite = 3 };
constexpr off_t kShareLockBase = std::numeric_limits<off_t>::max() / 2;

enum class LockResult { Ok, Conflict, Unsupported };

#ifdef F_OFD_SETLK
// The one-byte range of a share lock, as a lock of the given type.
struct flock shareLockRange(short type, ShareLock lock) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kShareLockBase + lock;
  fl.l_len = 1;
  return fl;
}

LockResult takeSharedLock(int fd, ShareLock lock) {
  struct flock fl = shareLockRange(F_RDLCK, lock);
  if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return LockResult::Ok;
  return errno == EAGAIN || errno == EACCES ? LockResult::Conflict : LockResult::Unsupported;
}

// True when a description other than fd's holds a lock on the range.
bool heldByOther(int fd, ShareLock lock) {
  struct flock fl = shareLockRange(F_WRLCK, lock);
  return fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}
#else
LockResult takeSharedLock(int, ShareLock) { return LockResult::Unsupported; }
bool heldByOther(int, ShareLock) { return false; }
#endif

// Takes the share locks of a new handle on fd; false on a sharing conflict. A truncating open
// (truncates) must be allowed to write even when the handle only reads.
bool takeShareLocks(int fd, FileAccess access, FileShare share, bool truncates) {
  const bool writes = detail::AccessWrites(access);
  const bool denyRead = !detail::ShareAllowsRead(share);
  const bool denyWrite = !detail::ShareAllowsWrite(share);
  const std::pair<ShareLock, bool> held[] = {
      {kHasRead, true}, {kHasWrite, writes}, {kDenyRead, denyRead}, {kDenyWrite, denyWrite}};
  for (const auto& [lock, wanted] : held) {
    if (!wanted) continue;
    const LockResult r = takeSharedLock(fd, lock);
    if (r == LockResult::Conflict) return false;
    if (r == LockResult::Unsupported) return true;
  }
  const std::pair<ShareLock, bool> probed[] = {
      {kDenyRead, true}, {kDenyWrite, writes || truncates}, {kHasRead, denyRead}, {kHasWrite, denyWrite}};
  for (const auto& [lock, wanted] : probed)
    if (wanted && heldByOther(fd, lock)) return false;
  return true;
}

// ---------------------------------------------------------------------------------------------
// The files this process has open, by identity: counts handles, carries delete-on-close to the
// last one, and answers "is it open" without locks.

struct FileKey {
  dev_t dev;
  ino_t ino;
  auto operator<=>(const FileKey&) const = default;
};

class OpenFileRegistry {
public:
  void Add(const FileKey& key, const std::string& path, bool deleteOnClose) {
    std::lock_guard<std::mutex> guard(FMutex);
    Entry& e = FEntries[key];
    ++e.handles;
    e.path = path;
    e.deleteOnClose = e.deleteOnClose || deleteOnClose;
  }

  // Forgets one handle; returns the path to unlink when it was the last of a delete-on-close
  // file, else an empty string.
  std::string Remove(const FileKey& key) {
    std::lock_guard<std::mutex> guard(FMutex);
    auto it = FEntries.find(key);
    if (it == FEntries.end() || --it->second.handles > 0) return {};
    std::string path = it->second.deleteOnClose ? it->second.path : std::string();
    FEntries.erase(it);
    return path;
  }

  bool IsOpen(const FileKey& key) {
    std::lock_guard<std::mutex> guard(FMutex);
    return FEntries.count(key) != 0;
  }

private:
  struct Entry {
    int handles = 0;
    bool deleteOnClose = false;
    std::string path;
  };
  std::mutex FMutex;
  std::map<FileKey, Entry> FEntries;
};

// Never destroyed: files held by static objects may close after static destruction began.
OpenFileRegistry& registry() {
  static auto* instance = new OpenFileRegistry;
  return *instance;
}

// Closes fd on a thread of its own (at once when no thread can be had).
void closeInBackground(int fd) {
  try {
    std::thread([fd] { ::close(fd); }).detach();
  } catch (...) {
    ::close(fd);
  }
}

// True when a handle of the engine holds the regular file at path, here or in another process.
bool isOpenByEngine(const std::string& path, const FileStat& st) {
  if (registry().IsOpen({st.dev, st.ino})) return true;
  const int fd = openRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  const bool held = heldByOther(fd, kHasRead);
  ::close(fd);
  return held;
}

// ---------------------------------------------------------------------------------------------

class PosixFile final : public IFile {
public:
  // sequential: a device, pipe or socket, read and written where it stands rather than at offsets.
  PosixFile(int fd, FileAccess access, const FileKey& key, bool regular, bool sequential)
      : FFd(fd), FAccess(access), FKey(key), FRegular(regular), FSequential(sequential) {}

  ~PosixFile() override {
    const std::string unlinkPath = registry().Remove(FKey);
    if (!unlinkPath.empty()) {
      // Only when the name still refers to this file (it may have been replaced meanwhile).
      FileStat st;
      if (statPath(unlinkPath, st) && st.dev == FKey.dev && st.ino == FKey.ino) ::unlink(unlinkPath.c_str());
    }
    ::close(FFd);
  }

  // The position is kept here and every transfer is positional, so moving it costs no system
  // call (page-sized transfers at scattered places are the container's usual pattern).
  int64_t Read(void* buffer, int64_t count) override {
    if (count < 0) return failCount(EINVAL);
    auto* out = static_cast<uint8_t*>(buffer);
    const int64_t done = Transfer(count, [&](int64_t at, size_t n) {
      return FSequential ? ::read(FFd, out + at, n) : ::pread(FFd, out + at, n, static_cast<off_t>(FPosition + at));
    });
    if (done > 0) FPosition += done;
    return done;
  }

  int64_t Write(const void* buffer, int64_t count) override {
    if (!detail::AccessWrites(FAccess)) return failCount(EBADF);
    if (count < 0 || FPosition > std::numeric_limits<int64_t>::max() - count) return failCount(EINVAL);
    const auto* in = static_cast<const uint8_t*>(buffer);
    const int64_t done = Transfer(count, [&](int64_t at, size_t n) {
      return FSequential ? ::write(FFd, in + at, n) : ::pwrite(FFd, in + at, n, static_cast<off_t>(FPosition + at));
    });
    if (done > 0) FPosition += done;
    return done;
  }

  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    int64_t base = 0;
    if (origin == SeekOrigin::Current) {
      base = FPosition;
    } else if (origin == SeekOrigin::End) {
      base = Size();
      if (base < 0) return -1;
    }
    if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0) return failCount(EINVAL);
    FPosition = base + offset;
    return FPosition;
  }

  int64_t Size() override {
    struct stat st {};
    return ::fstat(FFd, &st) == 0 ? st.st_size : failCount(errno);
  }

  bool SetSize(int64_t size) override {
    if (!detail::AccessWrites(FAccess)) return fail(EBADF);
    int r;
    do r = ::ftruncate(FFd, size);
    while (r != 0 && errno == EINTR);
    return r == 0 || fail(errno);
  }

  // A device or pipe keeps nothing to write through.
  bool Flush() override {
    if (!detail::AccessWrites(FAccess) || FSequential) return true;
    return ::fdatasync(FFd) == 0 || fail(errno);
  }

  bool IsRegular() const override { return FRegular; }

  bool StartFlush() override {
#ifdef __linux__
    if (detail::AccessWrites(FAccess)) ::sync_file_range(FFd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    return true;
  }

private:
  // Repeats call(done, n) until count bytes have moved, the file ends (0) or it fails; a failure
  // after some bytes reports those. One call moves at most 1 GiB (Linux stops short of 2 GiB).
  template <typename Call>
  static int64_t Transfer(int64_t count, Call call) {
    int64_t done = 0;
    while (done < count) {
      const ssize_t n = call(done, static_cast<size_t>(std::min<int64_t>(count - done, int64_t{1} << 30)));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return done > 0 ? done : failCount(errno);
      if (n == 0) break;
      done += n;
    }
    return done;
  }

  static int64_t failCount(int error) {
    SetLastErrorText(std::generic_category().message(error));
    return -1;
  }
  static bool fail(int error) { return failCount(error) >= 0; }

  int FFd;
  int64_t FPosition = 0;
  FileAccess FAccess;
  FileKey FKey;
  bool FRegular;
  bool FSequential;
};

class PosixFileSystem final : public IFileSystem {
public:
  std::unique_ptr<IFile> Open(const std::string& path, const FileOpenOptions& options) override {
    const char* const what = "Cannot open";
    // CreateAlways truncates, which needs a writable descriptor even for a reading handle.
    const bool writableFd =
        detail::AccessWrites(options.access) || options.creation == FileCreation::CreateAlways;
    const int baseFlags = O_CLOEXEC | O_NOCTTY | (writableFd ? O_RDWR : O_RDONLY);
    bool created = false;
    int fd = -1;
    if (options.creation != FileCreation::OpenExisting) {
      fd = openRetrying(path.c_str(), baseFlags | O_CREAT | O_EXCL, 0666);
      created = fd >= 0;
      if (fd < 0 && (errno != EEXIST || options.creation == FileCreation::CreateNew)) {
        failErrno(what, path, errno);
        return nullptr;
      }
    }
    if (fd < 0) fd = openRetrying(path.c_str(), baseFlags);
    if (fd < 0) {
      failErrno(what, path, errno);
      return nullptr;
    }
    auto abandon = [&](const char* reason, int error) -> std::unique_ptr<IFile> {
      if (created) ::unlink(path.c_str());
      ::close(fd);
      if (reason != nullptr)
        failText(what, path, reason);
      else
        failErrno(what, path, error);
      return nullptr;
    };

    struct stat st {};
    if (::fstat(fd, &st) != 0) return abandon(nullptr, errno);
    if (S_ISDIR(st.st_mode)) return abandon(nullptr, EISDIR);
    if (!created && writableFd && (st.st_mode & kWriteBits) == 0) return abandon(nullptr, EACCES);
    const bool truncates = !created && options.creation == FileCreation::CreateAlways;
    if (!takeShareLocks(fd, options.access, options.share, truncates)) return abandon(kSharingViolation, 0);
    if (truncates && st.st_size != 0 && ::ftruncate(fd, 0) != 0) return abandon(nullptr, errno);
#ifdef POSIX_FADV_RANDOM
    ::posix_fadvise(fd, 0, 0, options.randomAccess ? POSIX_FADV_RANDOM : POSIX_FADV_NORMAL);
#endif
    const FileKey key{st.st_dev, st.st_ino};
    registry().Add(key, path, options.deleteOnClose);
    const bool sequential = S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    return std::make_unique<PosixFile>(fd, options.access, key, S_ISREG(st.st_mode), sequential);
  }

  bool FileExists(const std::string& path) override {
    FileStat st;
    return statPath(path, st) && !S_ISDIR(st.mode);
  }

  bool DirectoryExists(const std::string& path) override {
    FileStat st;
    return statPath(path, st) && S_ISDIR(st.mode);
  }

  bool DeleteFile(const std::string& path) override {
    const char* const what = "Cannot delete";
    FileStat st;
    if (!statAt(AT_FDCWD, path.c_str(), st, false)) return failErrno(what, path, errno);
    if (S_ISDIR(st.mode)) return failErrno(what, path, EISDIR);
    if (S_ISREG(st.mode)) {
      if ((st.mode & kWriteBits) == 0) return failErrno(what, path, EACCES);
      if (isOpenByEngine(path, st)) return failText(what, path, kSharingViolation);
    }
    return ::unlink(path.c_str()) == 0 || failErrno(what, path, errno);
  }

  // A descriptor opened before the unlink keeps the file's blocks; a background thread closes it,
  // and the host frees (and on some volumes discards) them then, which for a large file takes
  // far longer than removing the name.
  bool DeleteFileQuick(const std::string& path) override {
    const int holder = openRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat st {};
    if (holder >= 0 && (::fstat(holder, &st) != 0 || !S_ISREG(st.st_mode))) {
      ::close(holder);
      return DeleteFile(path);
    }
    if (!DeleteFile(path)) {
      if (holder >= 0) ::close(holder);
      return false;
    }
    if (holder >= 0) closeInBackground(holder);
    return true;
  }

  bool RenameFile(const std::string& oldPath, const std::string& newPath) override {
    const char* const what = "Cannot rename";
    FileStat st;
    if (!statAt(AT_FDCWD, oldPath.c_str(), st, false)) return failErrno(what, oldPath, errno);
    if (S_ISREG(st.mode) && isOpenByEngine(oldPath, st)) return failText(what, oldPath, kSharingViolation);
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, oldPath.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return failErrno(what, newPath, errno);
#endif
    // No atomic no-replace rename on this file system: check first.
    FileStat target;
    if (statAt(AT_FDCWD, newPath.c_str(), target, false)) return failErrno(what, newPath, EEXIST);
    return ::rename(oldPath.c_str(), newPath.c_str()) == 0 || failErrno(what, newPath, errno);
  }

  // fsync of the directory itself: the only way POSIX offers to make a rename or unlink durable.
  bool SyncDirectory(const std::string& path) override {
    const char* const what = "Cannot sync directory";
    const int fd = openRetrying(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failErrno(what, path, errno);
    int r;
    do r = ::fsync(fd);
    while (r != 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    // Some file systems do not sync directories and say so; their names need no sync.
    return r == 0 || error == EINVAL || error == ENOTSUP || failErrno(what, path, error);
  }

  bool CreateDirectory(const std::string& path) override {
    return ::mkdir(path.c_str(), 0777) == 0 || failErrno("Cannot create directory", path, errno);
  }

  bool RemoveDirectory(const std::string& path) override {
    return ::rmdir(path.c_str()) == 0 || failErrno("Cannot remove directory", path, errno);
  }

  bool ListDirectory(const std::string& path, std::vector<DirEntry>& entries) override {
    entries.clear();
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return failErrno("Cannot list directory", path, errno);
    const int dirFd = ::dirfd(dir);
    while (const struct dirent* item = ::readdir(dir)) {
      const std::string name = item->d_name;
      if (name == "." || name == "..") continue;
      FileStat st;
      // A dangling symbolic link is listed as itself.
      if (!statAt(dirFd, item->d_name, st) && !statAt(dirFd, item->d_name, st, false)) continue;
      DirEntry entry;
      entry.name = name;
      entry.isDirectory = S_ISDIR(st.mode);
      entry.readOnly = (st.mode & kWriteBits) == 0;
      entry.size = entry.isDirectory ? 0 : st.size;
      entry.times = st.times;
      entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    return true;
  }

  bool GetFileTimes(const std::string& path, FileTimes& times) override {
    FileStat st;
    if (!statPath(path, st)) return failErrno("Cannot read the times of", path, errno);
    times = st.times;
    return true;
  }

  // Clearing the attribute gives the owner write permission back.
  bool SetReadOnly(const std::string& path, bool readOnly) override {
    const char* const what = "Cannot change the attributes of";
    FileStat st;
    if (!statPath(path, st)) return failErrno(what, path, errno);
    const mode_t permissions = st.mode & 07777;
    const mode_t mode = readOnly ? permissions & ~kWriteBits : permissions | S_IWUSR;
    return ::chmod(path.c_str(), mode) == 0 || failErrno(what, path, errno);
  }

  // A path that does not exist yet is answered for its directory.
  int64_t FreeSpace(const std::string& path) override {
    struct statvfs vfs {};
    std::string probe = path;
    while (::statvfs(probe.c_str(), &vfs) != 0) {
      if (errno != ENOENT || probe == ".") {
        failErrno("Cannot read the free space of", path, errno);
        return -1;
      }
      const std::string parent = ExtractFileDir(probe);
      probe = parent.empty() || parent == probe ? "." : parent;
    }
    const auto blocks = static_cast<uint64_t>(vfs.f_bavail);
    const auto blockSize = static_cast<uint64_t>(vfs.f_frsize);
    const auto limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return blockSize != 0 && blocks > limit / blockSize ? std::numeric_limits<int64_t>::max()
                                                        : static_cast<int64_t>(blocks * blockSize);
  }
};

}  // namespace

IFileSystem& OsFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace tesvar::platform

#endif  // _WIN32
