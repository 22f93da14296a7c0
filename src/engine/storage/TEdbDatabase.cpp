#include "storage/TEdbDatabase.h"

#include "pfs/ContainerMaintenance.h"
#include "pfs/TPFSManager.h"
#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "platform/IFileSystem.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDatabaseManager.h"

#include <algorithm>

namespace tesvar::storage {

using namespace pfs;

namespace {

bool managerRegistered(const TEdbDatabaseManager* Manager) {
  const auto& list = Registries().DatabaseManagers;
  return std::any_of(list.begin(), list.end(), [Manager](const auto& p) { return p.get() == Manager; });
}

}  // namespace

TEdbDatabase* FindDatabaseComponent(const std::string& Name) {
  if (Name.empty()) return nullptr;
  for (TEdbDatabase* db : Registries().DatabaseComponents)
    if (platform::AnsiSameText(db->DatabaseName(), Name) || platform::AnsiSameText(db->DatabaseFileName(), Name))
      return db;
  return nullptr;
}

TEdbDatabase::TEdbDatabase() { Registries().DatabaseComponents.push_back(this); }

TEdbDatabase::~TEdbDatabase() {
  try {
    SetConnected(false);
  } catch (...) {
    // A destructor has no one to tell; the component is gone all the same.
  }
  auto& list = Registries().DatabaseComponents;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void TEdbDatabase::ForgetManager() {
  FManager = nullptr;
  FConnected = false;
}

void TEdbDatabase::SetConnected(bool Value) {
  if (Value == FConnected) return;
  if (!Value) {
    TEdbDatabaseManager* manager = FManager;
    FManager = nullptr;
    FConnected = false;
    if (manager != nullptr && managerRegistered(manager)) manager->DisconnectDatabase(*this);
    return;
  }
  if (!FDirectory.empty()) {
    if (!platform::FileSystem().DirectoryExists(FDirectory))
      throw Exception("TEdbDatabase.SetConnected - Directory \"" + FDirectory + "\" doesn't exist.");
    TEdbDatabaseManager& manager = edGetDatabaseManager(FDirectory, nullptr);
    manager.ConnectDatabase(*this);
    FManager = &manager;
    FConnected = true;
    return;
  }
  if (FDatabaseFileName.empty()) return;
  if (!FInMemory && !platform::FileSystem().FileExists(FDatabaseFileName))
    throw Exception("TEdbDatabase.SetConnected - File \"" + FDatabaseFileName + "\" doesn't exist.");
  const bool encrypted = Encrypted();
  TEdbDatabaseManager& manager = edGetDatabaseManager(FDatabaseFileName, nullptr);
  manager.ConnectDatabase(*this);
  if (!encrypted) FPassword.clear();
  if (manager.GetStore(fsmSingleFile) == nullptr) {
    manager.DisconnectDatabase(*this);
    throw Exception("TEdbDatabaseManager.SetConnected - Invalid password or corrupted database file.");
  }
  FManager = &manager;
  FConnected = true;
}

void TEdbDatabase::SetDatabaseName(const std::string& Value) {
  SetConnected(false);
  FDatabaseName = Value;
}

void TEdbDatabase::SetDirectory(const std::string& Value) {
  SetConnected(false);
  if (!Value.empty()) FDatabaseFileName.clear();
  FDirectory = Value;
}

void TEdbDatabase::SetDatabaseFileName(const std::string& Value) {
  SetConnected(false);
  if (!Value.empty()) FDirectory.clear();
  FDatabaseFileName = Value;
}

void TEdbDatabase::SetInMemory(bool Value) {
  if (FConnected && FManager != nullptr)
    FManager->SetInMemory(Value);
  else
    FInMemory = Value;
}

bool TEdbDatabase::Encrypted() const {
  if (FDatabaseFileName.empty()) return false;
  if (FConnected) {
    const TAbstractPlainFileSystem* pfs = PFSManager().FindPFS(FDatabaseFileName, fsmSingleFile);
    return pfs != nullptr && IsContainerEncrypted(*pfs);
  }
  if (!platform::FileSystem().FileExists(FDatabaseFileName)) return false;
  try {
    return IsContainerFileEncrypted(FDatabaseFileName);
  } catch (const Exception&) {
    return false;  // a damaged file: its opening reports the damage
  }
}

void TEdbDatabase::CreateDatabase() {
  if (FDatabaseFileName.empty()) throw Exception("DatabaseFileName property is blank.");
  if (FConnected) throw Exception("CreateDatabase error. Database is connected.");
  TEdbDatabaseManager& manager = edGetDatabaseManager(FDatabaseFileName, nullptr);
  auto& list = Registries().DatabaseManagers;
  auto destroy = [&list, &manager] {
    if (!manager.Databases().empty() || !manager.Datasets().empty()) return;
    auto it = std::find_if(list.begin(), list.end(), [&manager](const auto& p) { return p.get() == &manager; });
    if (it != list.end()) list.erase(it);
  };
  try {
    manager.CreateDatabase();
  } catch (...) {
    destroy();
    throw;
  }
  destroy();
}

void TEdbDatabase::CreateDatabase(const std::string& FileName) {
  SetDatabaseFileName(FileName);
  CreateDatabase();
}

void TEdbDatabase::DoProgress(double PercentDone, toolkit::TedProgressProcess Process) {
  if (OnProgress) OnProgress(this, PercentDone, Process, FCancel);
}

bool TEdbDatabase::CompactDatabase(std::string& ErrorLog) {
  ErrorLog.clear();
  bool result = true;
  FCancel = false;
  if (FDatabaseFileName.empty()) throw Exception("TEdbDatabase.CompactDatabase - DatabaseFileName property is blank.");
  if (FConnected) throw Exception("TEdbDatabase.CompactDatabase -  Database is connected.");
  DoProgress(0, toolkit::edppCompactDB);
  TEdbDatabaseManager* manager = &edGetDatabaseManager(FDatabaseFileName, nullptr);
  if (!manager->IsSingleFile()) {
    manager->ReleaseIfUnused();
    return true;
  }
  manager->ConnectDatabase(*this);
  FManager = manager;
  struct Disconnect {
    TEdbDatabase& Self;
    ~Disconnect() {
      TEdbDatabaseManager* m = Self.FManager;
      Self.FManager = nullptr;
      if (m != nullptr && managerRegistered(m)) m->DisconnectDatabase(Self);
    }
  } disconnect{*this};
  if (!manager->Datasets().empty()) throw Exception("TEdbDatabase.CompactDatabase - Some datasets are connected.");
  bool readOnly = false;
  TAbstractPlainFileSystem* pfs =
      PFSManager().GetPFSHandle(FDatabaseFileName, FPassword, fsmSingleFile, readOnly, FInMemory);
  if (pfs == nullptr) {
    if (Encrypted()) throw Exception("TEdbDatabase.CompactDatabase - Invalid password.");
    throw Exception("TEdbDatabase.CompactDatabase - PFSHandle = nil.");
  }
  result = CompactContainer(*pfs, ErrorLog, [this](double Percent, bool& Cancel) {
    FCancel = Cancel;
    DoProgress(Percent, toolkit::edppCompactDB);
    Cancel = FCancel;
  });
  DoProgress(100, toolkit::edppCompactDB);
  if (FCancel) {
    result = false;
    ErrorLog += "\r\nCompactDatabase cancelled. Original database file restored.";
  }
  return result;
}

}  // namespace tesvar::storage
