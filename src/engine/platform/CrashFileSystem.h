#pragma once
// An in-memory file system that can lose what a power cut would lose, to test crash safety.
//
// It keeps, besides the state the running program sees (Live()), what is durable: per file, its
// bytes as of its last Flush; per folder, its names as of its last SyncDirectory. Between the
// two lie the writes and size changes of each file since its last flush and the creations,
// renames and deletions since the last sync of the folder they happened in (a rename counts for
// the folder of its new name).
//
//   CrashFileSystem fs;                   // install with ScopedFileSystem
//   fs.CrashAfter(k);                     // the process "dies" after the k-th change
//   ... run the program; after the k-th change every further change fails and does nothing ...
//   ... destroy every object that holds a file of it (their failures go nowhere) ...
//   fs.Restart(seed);                     // durable state + a random part of the rest
//
// Restart keeps, for every file, one of: nothing of its pending changes, all of them, a random
// subset applied in a random order, or the changes in order up to a random one that is torn (a
// prefix of its bytes). Each pending name change is kept or lost at random; the kept ones apply in
// order (a kept rename of a file whose creation was lost still gives the file its new name). Files opened with deleteOnClose never survive. Folders are
// durable as soon as they are created or removed. The same seed gives the same outcome.
//
// Counted changes (steps): IFile::Write, SetSize and Flush; Open that creates or truncates;
// RenameFile, DeleteFile, DeleteFileQuick, SyncDirectory, CreateDirectory, RemoveDirectory.
// Failed calls count too. Not thread-safe.

#include "platform/IFileSystem.h"
#include "platform/MemoryFileSystem.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::platform {

class CrashFileSystem : public IFileSystem {
public:
  CrashFileSystem();
  ~CrashFileSystem() override;

  std::unique_ptr<IFile> Open(const std::string& path, const FileOpenOptions& options) override;
  bool FileExists(const std::string& path) override { return FLive->FileExists(path); }
  bool DirectoryExists(const std::string& path) override { return FLive->DirectoryExists(path); }
  bool DeleteFile(const std::string& path) override;
  bool DeleteFileQuick(const std::string& path) override { return DeleteFile(path); }
  bool RenameFile(const std::string& oldPath, const std::string& newPath) override;
  bool SyncDirectory(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override;
  bool RemoveDirectory(const std::string& path) override;
  bool ListDirectory(const std::string& path, std::vector<DirEntry>& entries) override {
    return FLive->ListDirectory(path, entries);
  }
  bool GetFileTimes(const std::string& path, FileTimes& times) override { return FLive->GetFileTimes(path, times); }
  bool SetReadOnly(const std::string& path, bool readOnly) override;
  int64_t FreeSpace(const std::string& path) override { return FLive->FreeSpace(path); }

  // After step n (counted from now: n = 1 is the next change) every change fails without effect
  // (opens that would create or truncate included): the process is gone. Reads still answer.
  // 0 cancels a planned crash.
  void CrashAfter(uint64_t n);
  // Whether the planned crash point has been reached.
  bool Crashed() const { return FCrashAt != 0 && FSteps >= FCrashAt; }
  // Changes made so far (since construction or the last Restart).
  uint64_t Steps() const { return FSteps; }

  // Replaces the live state by the state a restart would find: the durable state plus a part of
  // what was pending, chosen by seed. Requires every file opened before to be closed (a handle
  // kept across a restart fails every call). Returns a short description of what was kept, for
  // failure messages. Counting starts again at 0 with no crash planned.
  std::string Restart(uint64_t seed);

  // Makes everything durable at once (as if every file had been flushed and every folder synced).
  void MakeDurable();

  // The state the running program sees. Writing through it directly bypasses the tracking: use
  // Put for test setup.
  MemoryFileSystem& Live() { return *FLive; }
  // Writes a whole file and makes it durable, creating missing folders. Read-only attributes set
  // with SetReadOnly are not kept across a restart.
  void Put(const std::string& path, const std::vector<uint8_t>& data);

  // Called by the files of this file system.
  struct Inode;
  bool Step();  // counts a change; false when the process is gone
  uint64_t Generation() const { return FGeneration; }
  Inode& InodeOf(int id) { return *FInodes.at(id); }

private:
  void addFolder(const std::string& canonical);

  enum class NameOpKind : uint8_t { Create, Rename, Delete };
  struct NameOp {
    NameOpKind kind;
    std::string from;  // Rename: old path; Delete: the path
    std::string to;    // Create / Rename: the new path
    int inode;
    std::string folder;  // the folder whose sync makes it durable
  };

  int newInode(bool temporary);
  static void applyName(std::map<std::string, int>& names, const NameOp& op);

  std::unique_ptr<MemoryFileSystem> FLive;
  std::vector<std::unique_ptr<Inode>> FInodes;
  std::map<std::string, int> FLiveNames;     // canonical path -> inode
  std::map<std::string, int> FDurableNames;  // canonical path -> inode
  std::vector<NameOp> FPendingNames;
  std::vector<std::string> FFolders;  // canonical folders, in creation order
  uint64_t FSteps = 0;
  uint64_t FCrashAt = 0;  // 0 = none
  uint64_t FGeneration = 0;
};

}  // namespace tesvar::platform
