#include "storage/StorageEngine.h"

#include "pfs/EngineLifetime.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"

namespace tesvar::storage {

TStorageRegistries& Registries() {
  static TStorageRegistries registries;
  return registries;
}

void edStorageEngineStart() { pfs::edEngineStart(); }

void edStorageEngineStop() {
  TStorageRegistries& r = Registries();
  while (!r.DataManagers.empty()) {
    std::unique_ptr<TEdbDataManager> manager = std::move(r.DataManagers.back());
    r.DataManagers.pop_back();
    try {
      manager->CloseTable();
    } catch (...) {
      // Engine stop has no one to tell; the table is closed all the same.
    }
  }
  std::vector<TEdbDatabase*> components = std::move(r.DatabaseComponents);
  r.DatabaseComponents.clear();
  for (TEdbDatabase* component : components) component->ForgetManager();
  while (!r.DatabaseManagers.empty()) {
    std::unique_ptr<TEdbDatabaseManager> manager = std::move(r.DatabaseManagers.back());
    r.DatabaseManagers.pop_back();
  }
  pfs::edEngineStop();
}

}  // namespace tesvar::storage
