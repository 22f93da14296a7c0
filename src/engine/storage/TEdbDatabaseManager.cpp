#include "storage/TEdbDatabaseManager.h"

#include "pfs/TCFSPlainFileSystem.h"
#include "pfs/TPFSManager.h"
#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"

#include <algorithm>

namespace tesvar::storage {

using namespace pfs;

namespace {

bool sameLower(const std::string& a, const std::string& b) { return platform::AnsiSameText(a, b); }

bool directoryExists(const std::string& Path) {
  return !Path.empty() && platform::FileSystem().DirectoryExists(Path);
}

}  // namespace

TEdbDatabaseManager::TEdbDatabaseManager(std::string Path, bool IsSingleFile, TFileStoreMode StoreMode,
                                         bool ReadOnly, bool InMemory)
    : FReadOnly(ReadOnly), FInMemory(InMemory), FIsSingleFile(IsSingleFile), FPath(std::move(Path)),
      FStoreMode(StoreMode) {}

TEdbDatabaseManager::~TEdbDatabaseManager() { ReleaseStore(); }

bool TEdbDatabaseManager::Matches(const std::string& Name) const {
  if (sameLower(FPath, Name)) return true;
  for (const TEdbDatabase* db : FDatabases)
    if (sameLower(db->DatabaseName(), Name)) return true;
  if (const TEdbDatabase* db = FindDatabaseComponent(Name))
    return db->DatabaseName() == FPath || db->DatabaseFileName() == FPath;
  return false;
}

void TEdbDatabaseManager::ConnectDatabase(TEdbDatabase& Database) {
  if (!FDatabases.empty()) {
    if (FReadOnly && !Database.ReadOnly())
      throw Exception("TEdbDatabaseManager.ConnectDatabase - database is already open in read-only mode.");
    if (Database.InMemory() != FInMemory)
      throw Exception(
          "TEdbDatabaseManager.ConnectDatabase - database is already open with other in-memory mode value.");
  } else {
    FReadOnly = Database.ReadOnly();
    FInMemory = Database.InMemory();
    const int32_t users = FStoreUsers;
    OpenStore();
    FComponentsHoldStore = FStoreUsers > users;
    Database.SetReadOnly(FReadOnly);
  }
  FDatabases.push_back(&Database);
}

void TEdbDatabaseManager::DisconnectDatabase(TEdbDatabase& Database) {
  auto it = std::find(FDatabases.begin(), FDatabases.end(), &Database);
  if (it == FDatabases.end()) return;
  size_t i = 0;
  while (i < FDatasets.size()) {
    IEdbDataset* ds = FDatasets[i];
    if (ds->Active() && ds->DatabaseComponent() == &Database) {
      const size_t before = FDatasets.size();
      ds->Close();
      // Closing detaches the dataset; a dataset that stays listed is passed over.
      if (FDatasets.size() == before) ++i;
    } else {
      ++i;
    }
  }
  it = std::find(FDatabases.begin(), FDatabases.end(), &Database);
  if (it != FDatabases.end()) FDatabases.erase(it);
  if (FDatabases.empty() && FComponentsHoldStore) {
    FComponentsHoldStore = false;
    CloseStore();
  }
  ReleaseIfUnused();
}

void TEdbDatabaseManager::AttachDataset(IEdbDataset& Dataset) {
  if (FReadOnly) Dataset.SetReadOnly(true);
  FDatasets.push_back(&Dataset);
}

void TEdbDatabaseManager::DetachDataset(IEdbDataset& Dataset) {
  auto it = std::find(FDatasets.begin(), FDatasets.end(), &Dataset);
  if (it == FDatasets.end()) return;
  FDatasets.erase(it);
  if (Dataset.Active()) Dataset.Close();
  ReleaseIfUnused();
}

bool TEdbDatabaseManager::ReleaseIfUnused() {
  if (!FDatabases.empty() || !FDatasets.empty()) return false;
  // A table manager of this database holds files of its store.
  for (const auto& table : Registries().DataManagers)
    if (&table->DatabaseManager() == this) return false;
  auto& list = Registries().DatabaseManagers;
  auto it = std::find_if(list.begin(), list.end(), [this](const auto& p) { return p.get() == this; });
  if (it == list.end()) return false;
  std::unique_ptr<TEdbDatabaseManager> owned = std::move(*it);
  list.erase(it);
  return true;
}

void TEdbDatabaseManager::CreateDatabase() {
  if (!FDatasets.empty()) throw Exception("TEdbDatabaseManager.CreateDatabase - Some datasets are connected.");
  if (!FIsSingleFile) return;
  const std::string dir = platform::ExtractFilePath(FPath);
  if (!dir.empty() && !platform::FileSystem().DirectoryExists(platform::ExtractFileDir(FPath)))
    throw Exception("TEdbDatabaseManager.CreateDatabase - Cannot create database file \"" + FPath +
                    "\" as the directory \"" + dir + "\" does not exist");
  if (!PFSManager().CreateContainer(FPath, GetPassword(), FInMemory))
    throw Exception("TEdbDatabaseManager.CreateDatabase - Cannot create database file \"" + FPath + "\"");
}

bool TEdbDatabaseManager::DatabaseExists() {
  if (FIsSingleFile) {
    if (FInMemory) return GetStore(fsmSingleFile) != nullptr;
    return platform::FileSystem().FileExists(FPath);
  }
  return FInMemory || directoryExists(FPath);
}

std::string TEdbDatabaseManager::GetPassword() const {
  if (!FDatabases.empty()) return FDatabases.front()->Password();
  if (const TEdbDatabase* db = FindDatabaseComponent(FPath)) return db->Password();
  return {};
}

TFileStoreMode TEdbDatabaseManager::SubstituteMode(TFileStoreMode StoreMode) const {
  if (StoreMode == fsmInMemory && FInMemory && FStoreMode == fsmSingleFile) StoreMode = fsmDefault;
  return StoreMode == fsmDefault ? FStoreMode : StoreMode;
}

TAbstractPlainFileSystem* TEdbDatabaseManager::GetStore(TFileStoreMode StoreMode) {
  StoreMode = SubstituteMode(StoreMode);
  bool readOnly = FReadOnly;
  TAbstractPlainFileSystem* pfs = PFSManager().GetPFSHandle(FPath, GetPassword(), StoreMode, readOnly, FInMemory);
  // An in-memory database over a container file that does not exist starts as a new, empty
  // container in memory.
  if (pfs == nullptr && StoreMode == fsmSingleFile && FInMemory && !platform::FileSystem().FileExists(FPath) &&
      PFSManager().CreateContainer(FPath, GetPassword(), true))
    pfs = PFSManager().GetPFSHandle(FPath, GetPassword(), StoreMode, readOnly, FInMemory);
  if (StoreMode == fsmSingleFile && pfs != nullptr) FReadOnly = readOnly;
  return pfs;
}

void TEdbDatabaseManager::OpenStore() {
  if (!FIsSingleFile || FInMemory) return;
  if (GetStore(fsmSingleFile) != nullptr) ++FStoreUsers;
}

void TEdbDatabaseManager::CloseStore() {
  if (!FIsSingleFile || FInMemory || FStoreUsers == 0) return;
  // The container stays open while another table or component of this database uses it.
  if (--FStoreUsers == 0) ReleaseStore();
}

void TEdbDatabaseManager::ReleaseStore() {
  FStoreUsers = 0;
  if (FIsSingleFile && !FInMemory) PFSManager().ReleasePFS(FPath);
}

TAbstractFile& TEdbDatabaseManager::OpenFile(const std::string& FileName, TFileStoreMode StoreMode, bool Exclusive,
                                             bool ReadOnly, bool Create) {
  StoreMode = SubstituteMode(StoreMode);
  TAbstractPlainFileSystem* pfs = GetStore(StoreMode);
  if (pfs == nullptr) throw Exception("TEdbDatabaseManager.OpenFile - store is not available.");
  if (StoreMode == fsmInMemory && !Create && !pfs->FileExists(FileName)) {
    TAbstractPlainFileSystem* own = GetStore(fsmDefault);
    if (own == nullptr || own == pfs) return pfs->OpenFile(FileName, Create, Exclusive, ReadOnly);
    TAbstractFile& source = own->OpenFile(FileName, false, true, false);
    TAbstractFile& memory = pfs->OpenFile(FileName, true, Exclusive, ReadOnly);
    try {
      const int64_t size = source.GetSize();
      source.SetPosition(0);
      if (size > 0) memory.CopyFrom(source, size);
      memory.SetPosition(0);
    } catch (...) {
      own->CloseFile(source);
      pfs->DeleteFile(FileName);
      throw;
    }
    own->CloseFile(source);
    return memory;
  }
  return pfs->OpenFile(FileName, Create, Exclusive, ReadOnly);
}

void TEdbDatabaseManager::CloseFile(TAbstractFile& File) {
  if (TAbstractPlainFileSystem* owner = File.FileSystem()) owner->CloseFile(File);
}

bool TEdbDatabaseManager::DeleteFile(const std::string& FileName, TFileStoreMode StoreMode) {
  TAbstractPlainFileSystem* pfs = GetStore(StoreMode);
  return pfs != nullptr && pfs->DeleteFile(FileName);
}

bool TEdbDatabaseManager::FileExists(const std::string& FileName, TFileStoreMode StoreMode) {
  TAbstractPlainFileSystem* pfs = GetStore(StoreMode);
  return pfs != nullptr && pfs->FileExists(FileName);
}

bool TEdbDatabaseManager::RenameFile(const std::string& OldName, const std::string& NewName,
                                     TFileStoreMode StoreMode) {
  TAbstractPlainFileSystem* pfs = GetStore(StoreMode);
  return pfs != nullptr && pfs->RenameFile(OldName, NewName);
}

bool TEdbDatabaseManager::SaveFileToStore(const std::string& FileName) {
  try {
    TAbstractPlainFileSystem* memory = GetStore(fsmInMemory);
    TAbstractPlainFileSystem* own = GetStore(FStoreMode);
    if (memory == nullptr || own == nullptr) return false;
    if (memory == own) return true;
    TAbstractFile& source = memory->OpenFile(FileName, false, true, false);
    TAbstractFile* target = nullptr;
    try {
      target = &own->OpenFile(FileName, true, false, false);
      target->CopyFrom(source, 0);
      target->Flush();
    } catch (...) {
      if (target != nullptr) own->CloseFile(*target);
      memory->CloseFile(source);
      return false;
    }
    own->CloseFile(*target);
    memory->CloseFile(source);
    return true;
  } catch (...) {
    // The memory file stays the caller's working copy.
    return false;
  }
}

void TEdbDatabaseManager::SetInMemory(bool Value) {
  if (FIsSingleFile) {
    if (TAbstractPlainFileSystem* pfs = PFSManager().FindPFS(FPath, fsmSingleFile))
      if (auto* container = dynamic_cast<TCFSPlainFileSystem*>(pfs)) container->SetInMemory(Value);
  }
  FInMemory = Value;
}

TEdbDatabaseManager& edGetDatabaseManager(const std::string& Name, const IEdbDataset* Dataset) {
  auto& list = Registries().DatabaseManagers;
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if ((*it)->Matches(Name)) return **it;
  std::unique_ptr<TEdbDatabaseManager> created;
  if (const TEdbDatabase* db = FindDatabaseComponent(Name)) {
    if (!db->DatabaseFileName().empty())
      created = std::make_unique<TEdbDatabaseManager>(db->DatabaseFileName(), true, fsmSingleFile, db->ReadOnly(),
                                                      db->InMemory());
    else
      created = std::make_unique<TEdbDatabaseManager>(db->Directory(), false, fsmDirectory, db->ReadOnly(),
                                                      db->InMemory());
  } else if (Dataset != nullptr) {
    const std::string file = Dataset->DatabaseFileName();
    const std::string name = Dataset->DatabaseName();
    if (!file.empty())
      created = std::make_unique<TEdbDatabaseManager>(file, true, fsmSingleFile, Dataset->ReadOnly(),
                                                      Dataset->InMemory());
    else if (Dataset->InMemory())
      created = std::make_unique<TEdbDatabaseManager>(name, false, fsmInMemory, Dataset->ReadOnly(), true);
    else if (directoryExists(name))
      created = std::make_unique<TEdbDatabaseManager>(name, false, fsmDirectory, Dataset->ReadOnly(), false);
    else
      created = std::make_unique<TEdbDatabaseManager>(name, !name.empty(), name.empty() ? fsmDirectory : fsmSingleFile,
                                                      Dataset->ReadOnly(), false);
  } else if (directoryExists(Name)) {
    created = std::make_unique<TEdbDatabaseManager>(Name, false, fsmDirectory, false, false);
  } else {
    created = std::make_unique<TEdbDatabaseManager>(Name, true, fsmSingleFile, false, false);
  }
  list.push_back(std::move(created));
  return *list.back();
}

}  // namespace tesvar::storage
