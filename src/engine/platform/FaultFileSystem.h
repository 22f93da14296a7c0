#pragma once
// A wrapper that makes chosen operations of the files opened through it fail, to drive failure
// paths in tests. Operations are counted across all files of the wrapper, per kind, from 1.
//
//   FaultFileSystem faulty(memoryFs);
//   faulty.FailAt(FaultKind::Write, 3);                 // the 3rd write fails
//   faulty.FailAt(FaultKind::Write, 3, FaultMode::Short); // the 3rd write writes half its bytes
//   faulty.FailFrom(FaultKind::Write, 3);               // every write from the 3rd on fails (disk full)
//
// Everything else passes through to the wrapped file system unchanged. Counted operations:
// IFile::Read, Write, Flush and SetSize (SizeChange), and the file system's RenameFile (Rename),
// DeleteFile and DeleteFileQuick (Delete) and SyncDirectory (DirSync); a write that extends the
// file counts as a write only. A failed rename or delete changes nothing. The plan and the
// counters may be used from several threads (a file read in the background counts in turn).
// Files opened through the wrapper refer to it: it must outlive them.

#include "platform/IFileSystem.h"

#include <array>
#include <cstdint>
#include <mutex>

namespace tesvar::platform {

enum class FaultKind : uint8_t { Read, Write, Flush, SizeChange, Rename, Delete, DirSync, Count_ };

enum class FaultMode : uint8_t {
  Fail,   // the call reports failure (-1 / false) and changes nothing
  Short,  // reads and writes transfer half the bytes (rounded down); others fail as with Fail
};

class FaultFileSystem : public IFileSystem {
public:
  explicit FaultFileSystem(IFileSystem& inner) : FInner(inner) {}

  // The n-th operation of the kind (n >= 1, counted from now: the next one is the 1st) fails once.
  // Replaces any fault planned for that kind.
  void FailAt(FaultKind kind, uint64_t n, FaultMode mode = FaultMode::Fail);
  // Every operation of the kind from the n-th on (counted as for FailAt) fails.
  void FailFrom(FaultKind kind, uint64_t n, FaultMode mode = FaultMode::Fail);
  // Clears all planned faults and counters (Injected() included).
  void Reset();
  // Operations of the kind seen so far (failed ones included).
  uint64_t Count(FaultKind kind) const {
    std::lock_guard<std::mutex> lock(FLock);
    return FState[static_cast<size_t>(kind)].count;
  }
  // Bytes the files' reads gave so far (Reset clears it too).
  uint64_t BytesRead() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FBytesRead;
  }
  // Faults actually injected so far.
  uint64_t Injected() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FInjected;
  }

  std::unique_ptr<IFile> Open(const std::string& path, const FileOpenOptions& options) override;
  bool FileExists(const std::string& path) override { return FInner.FileExists(path); }
  bool DirectoryExists(const std::string& path) override { return FInner.DirectoryExists(path); }
  bool DeleteFile(const std::string& path) override;
  bool DeleteFileQuick(const std::string& path) override;
  bool RenameFile(const std::string& oldPath, const std::string& newPath) override;
  bool SyncDirectory(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override { return FInner.CreateDirectory(path); }
  bool RemoveDirectory(const std::string& path) override { return FInner.RemoveDirectory(path); }
  bool ListDirectory(const std::string& path, std::vector<DirEntry>& entries) override {
    return FInner.ListDirectory(path, entries);
  }
  bool GetFileTimes(const std::string& path, FileTimes& times) override {
    return FInner.GetFileTimes(path, times);
  }
  bool SetReadOnly(const std::string& path, bool readOnly) override {
    return FInner.SetReadOnly(path, readOnly);
  }
  int64_t FreeSpace(const std::string& path) override { return FInner.FreeSpace(path); }

  // Called by the wrapped files: counts one operation and tells whether (and how) it fails.
  // Returns true when the operation must fail; mode says how.
  bool Hit(FaultKind kind, FaultMode& mode);
  // Called by the wrapped files: what a read gave (counted when positive).
  void NoteRead(int64_t got);

private:
  // Counts one operation of the kind; true (with the last error text set) when it must fail.
  bool failed(FaultKind kind, const char* text);

  struct KindState {
    uint64_t count = 0;
    uint64_t at = 0;      // 0 = none
    bool from = false;    // fail every operation from `at` on
    FaultMode mode = FaultMode::Fail;
  };
  IFileSystem& FInner;
  mutable std::mutex FLock;  // guards FState and FInjected
  std::array<KindState, static_cast<size_t>(FaultKind::Count_)> FState{};
  uint64_t FInjected = 0;
  uint64_t FBytesRead = 0;
};

}  // namespace tesvar::platform
