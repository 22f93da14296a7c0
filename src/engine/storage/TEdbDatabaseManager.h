#pragma once
// The database manager: one per database in the process, shared by every database component and
// dataset that names that database. It decides the file store mode, holds the database-wide
// read-only and in-memory state and gives table storage its file operations through the plain
// file system registry.
//
// Managers live in the process-wide registry DatabaseManagers (StorageEngine.h), which owns them;
// a manager is destroyed by ReleaseIfUnused once no component is connected and no dataset
// attached. References to a manager are valid until then.

#include "pfs/FileStoreMode.h"
#include "pfs/TAbstractFile.h"
#include "pfs/TAbstractPlainFileSystem.h"
#include "toolkit/IEdbDataset.h"

#include <string>
#include <vector>

namespace tesvar::storage {

using pfs::TAbstractFile;
using pfs::TAbstractPlainFileSystem;
using pfs::TFileStoreMode;
using toolkit::IEdbDataset;

class TEdbDatabase;

class TEdbDatabaseManager {
public:
  TEdbDatabaseManager(std::string Path, bool IsSingleFile, TFileStoreMode StoreMode, bool ReadOnly, bool InMemory);
  // Closes the store (whatever its use count), leaves the registry's lists untouched.
  ~TEdbDatabaseManager();
  TEdbDatabaseManager(const TEdbDatabaseManager&) = delete;
  TEdbDatabaseManager& operator=(const TEdbDatabaseManager&) = delete;

  // Whether this manager serves Name: its Path, a connected component's DatabaseName (both
  // compared in lower case), or a registered component of that name whose DatabaseName or
  // DatabaseFileName is exactly Path.
  bool Matches(const std::string& Name) const;

  // Adds a component. With components connected already, raises
  // "TEdbDatabaseManager.ConnectDatabase - database is already open in read-only mode." for a
  // read-write component on a read-only manager and "TEdbDatabaseManager.ConnectDatabase -
  // database is already open with other in-memory mode value." for another InMemory value. The
  // first component sets ReadOnly and InMemory, opens the store and takes the resulting ReadOnly.
  void ConnectDatabase(TEdbDatabase& Database);
  // Closes the active datasets that reached the database through this component, removes it and
  // releases the manager when nothing uses it any more (this manager may be destroyed: do not use
  // it afterwards). Nothing for a component that is not connected.
  void DisconnectDatabase(TEdbDatabase& Database);
  // Adds a dataset; a read-only database makes it read-only.
  void AttachDataset(IEdbDataset& Dataset);
  // Removes a listed dataset, closes it and releases the manager when nothing uses it (this
  // manager may be destroyed).
  void DetachDataset(IEdbDataset& Dataset);
  // Destroys this manager when it is registered, both lists are empty and no table manager of this
  // database is registered. True when destroyed.
  bool ReleaseIfUnused();

  // Creates the container file of a single-file database; nothing for a directory database.
  // Raises "TEdbDatabaseManager.CreateDatabase - Some datasets are connected.",
  // "... - Cannot create database file "<Path>" as the directory "<dir>" does not exist" and
  // "... - Cannot create database file "<Path>"".
  void CreateDatabase();
  bool DatabaseExists();
  // The password of the first connected component, else of the registered component named Path,
  // else empty.
  std::string GetPassword() const;
  // The plain file system for StoreMode after mode substitution, or null. May turn ReadOnly on
  // (a container that cannot be had for writing).
  TAbstractPlainFileSystem* GetStore(TFileStoreMode StoreMode);
  // Single-file databases not in memory: open the container (counting its users) / release it when
  // the last user closes it. Other databases: nothing.
  void OpenStore();
  void CloseStore();

  // Opens or creates FileName in the store of StoreMode (0 = the manager's). An in-memory file
  // that does not exist yet is first filled with a copy of the same file in the database's own
  // store. Raises the plain file system's errors and "TEdbDatabaseManager.OpenFile - store is not
  // available." when there is no store.
  TAbstractFile& OpenFile(const std::string& FileName, TFileStoreMode StoreMode, bool Exclusive, bool ReadOnly,
                          bool Create);
  // Hands File back to the plain file system that owns it (File may be invalid afterwards).
  void CloseFile(TAbstractFile& File);
  // False when there is no store.
  bool DeleteFile(const std::string& FileName, TFileStoreMode StoreMode);
  bool FileExists(const std::string& FileName, TFileStoreMode StoreMode);
  bool RenameFile(const std::string& OldName, const std::string& NewName, TFileStoreMode StoreMode);
  // Copies the memory file FileName into the database's own store, replacing the file there;
  // true when the copy is complete (or the database's own store is the memory one). On false the
  // memory copy stays the one the caller works with and the store's file may be partly written.
  [[nodiscard]] bool SaveFileToStore(const std::string& FileName);
  // Single file: moves the container between memory and disk. Sets InMemory.
  void SetInMemory(bool Value);

  const std::vector<TEdbDatabase*>& Databases() const { return FDatabases; }
  const std::vector<IEdbDataset*>& Datasets() const { return FDatasets; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }
  bool InMemory() const { return FInMemory; }
  bool IsSingleFile() const { return FIsSingleFile; }
  const std::string& Path() const { return FPath; }
  TFileStoreMode StoreMode() const { return FStoreMode; }

private:
  TFileStoreMode SubstituteMode(TFileStoreMode StoreMode) const;
  void ReleaseStore();

  std::vector<TEdbDatabase*> FDatabases;
  std::vector<IEdbDataset*> FDatasets;
  bool FReadOnly;
  bool FInMemory;
  bool FIsSingleFile;
  std::string FPath;
  TFileStoreMode FStoreMode;
  int32_t FStoreUsers = 0;  // OpenStore calls not yet matched by CloseStore
  bool FComponentsHoldStore = false;  // the first connected component opened the store
};

// The manager serving Name (searched from the newest), or a new registered one made from the
// component named Name, else from Dataset, else from Name alone.
TEdbDatabaseManager& edGetDatabaseManager(const std::string& Name, const IEdbDataset* Dataset);

}  // namespace tesvar::storage
