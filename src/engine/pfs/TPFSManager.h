#pragma once
// The process-wide registry of plain file systems: one per database name and store mode, handed
// out by GetPFSHandle and kept (owned) until the engine stops. PFSManager() is the instance.

#include "pfs/FileStoreMode.h"
#include "pfs/TAbstractPlainFileSystem.h"

#include <memory>
#include <string>
#include <vector>

namespace tesvar::pfs {

class TPFSManager {
public:
  TPFSManager();
  // Destroys every plain file system in list order (each destroying its open files).
  ~TPFSManager();
  TPFSManager(const TPFSManager&) = delete;
  TPFSManager& operator=(const TPFSManager&) = delete;

  // The registered plain file system of that name (ASCII letters compared without case; other
  // bytes exactly) and store mode, searched from the last registered to the first; null if none.
  TAbstractPlainFileSystem* FindPFS(const std::string& FileName, TFileStoreMode StoreMode) const;
  // The registered plain file system for FileName and StoreMode, or a new one registered at the
  // end: fsmDirectory and fsmTemporary take FileName as their folder, fsmInMemory as its name,
  // fsmSingleFile opens the container FileName (TCFSPlainFileSystem) when that file exists; a
  // container another process holds open for writing opens read-only. In single-file mode
  // ReadOnly is the requested mode on entry and the mode obtained on return, for a registered
  // plain file system too. Never raises: every failure, an unsupported mode included,
  // gives null. ReadOnly is changed only in single-file mode.
  TAbstractPlainFileSystem* GetPFSHandle(const std::string& FileName, const std::string& Password,
                                         uint8_t StoreMode, bool& ReadOnly, bool InMemory);

  // Single-file mode:
  // ReleasePFS removes and destroys the single-file plain file system of that name, if registered
  // (closing its open files and its container). CreateContainer releases FileName, creates a new
  // container there and, unless InMemory, releases it again at once (an in-memory one stays
  // registered); false, never an exception, when the container cannot be created.
  void ReleasePFS(const std::string& FileName);
  bool CreateContainer(const std::string& FileName, const std::string& Password, bool InMemory);

  // Appends PFS to the registry and returns it.
  TAbstractPlainFileSystem& AddPFS(std::unique_ptr<TAbstractPlainFileSystem> PFS);
  // Takes PFS out of the registry and destroys it; false when it is not registered.
  bool RemovePFS(TAbstractPlainFileSystem& PFS);
  size_t Count() const { return FList.size(); }
  TAbstractPlainFileSystem& Items(size_t Index) const { return *FList.at(Index); }

private:
  std::vector<std::unique_ptr<TAbstractPlainFileSystem>> FList;
};

// The registry of the running engine; created here when the engine has not been started yet.
TPFSManager& PFSManager();

}  // namespace tesvar::pfs
