#pragma once
// The process-wide registries of table storage and their shutdown.
//
//   DataManagers        every table manager (owned)
//   DatabaseComponents  every database component (not owned: components belong to their users)
//   DatabaseManagers    every database manager (owned)
//
// At engine stop they are emptied in that order (table managers close their tables first), then
// the plain file system registry stops.

#include <memory>
#include <vector>

namespace tesvar::storage {

class TEdbDataManager;
class TEdbDatabase;
class TEdbDatabaseManager;

struct TStorageRegistries {
  std::vector<std::unique_ptr<TEdbDataManager>> DataManagers;
  std::vector<TEdbDatabase*> DatabaseComponents;
  std::vector<std::unique_ptr<TEdbDatabaseManager>> DatabaseManagers;
};

TStorageRegistries& Registries();

// Starts the plain file system registry.
void edStorageEngineStart();
// Frees the registries in the order above (close errors of tables are dropped), disconnects the
// remaining components, then stops the plain file system registry.
void edStorageEngineStop();

// Starts the engine for its lifetime and stops it after.
class ScopedStorageEngine {
public:
  ScopedStorageEngine() { edStorageEngineStart(); }
  ~ScopedStorageEngine() { edStorageEngineStop(); }
  ScopedStorageEngine(const ScopedStorageEngine&) = delete;
  ScopedStorageEngine& operator=(const ScopedStorageEngine&) = delete;
};

}  // namespace tesvar::storage
