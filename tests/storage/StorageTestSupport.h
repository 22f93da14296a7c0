#pragma once
// Table storage tests: a stand-in dataset and an environment that runs a table in every store
// mode, plain or encrypted, over the in-memory host file system.

#include "pfs/FileStoreMode.h"
#include "platform/Exception.h"
#include "platform/FaultFileSystem.h"
#include "platform/IClock.h"
#include "platform/MemoryFileSystem.h"
#include "storage/StorageEngine.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"
#include "storage/TableFormat.h"
#include "toolkit/IEdbDataset.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::storagetest {

using namespace tesvar::storage;
using namespace tesvar::toolkit;

class TTestDataset : public IEdbDataset {
public:
  std::string FileName;
  std::string Name;
  const void* Component = nullptr;
  bool Memory = false;
  bool Temp = false;
  bool RO = false;
  std::string Pass;
  int32_t PerPage = 1000;
  bool OnePerPage = false;
  bool Enc = false;
  uint8_t Compression = 1;
  int32_t BlockSize = 512;
  bool IsActive = true;
  int Closes = 0;
  // Index rebuilding as the table reported it: "started", the percentages, "finished".
  std::vector<std::string> Building;

  std::string DatabaseFileName() const override { return FileName; }
  std::string DatabaseName() const override { return Name; }
  const void* DatabaseComponent() const override { return Component; }
  bool InMemory() const override { return Memory; }
  bool Temporary() const override { return Temp; }
  bool ReadOnly() const override { return RO; }
  void SetReadOnly(bool Value) override { RO = Value; }
  std::string Password() const override { return Pass; }
  int32_t RecordsPerPage() const override { return PerPage; }
  bool OneRecordPages() const override { return OnePerPage; }
  bool Encrypted() const override { return Enc; }
  uint8_t BLOBCompression() const override { return Compression; }
  int32_t BLOBBlockSize() const override { return BlockSize; }
  bool Active() const override { return IsActive; }
  void Close() override {
    IsActive = false;
    ++Closes;
  }
  void IndexBuildingStarted() override { Building.push_back("started"); }
  void IndexBuildingProgress(double PercentDone) override { Building.push_back(std::to_string(static_cast<int>(PercentDone))); }
  void IndexBuildingFinished() override { Building.push_back("finished"); }
};

struct TStoreCase {
  pfs::TFileStoreMode Mode;
  bool Encrypted;
};

inline std::string caseName(const TStoreCase& c) {
  const char* mode = c.Mode == pfs::fsmDirectory    ? "Directory"
                     : c.Mode == pfs::fsmSingleFile ? "SingleFile"
                     : c.Mode == pfs::fsmInMemory   ? "InMemory"
                                                    : "Temporary";
  return std::string(mode) + (c.Encrypted ? "Encrypted" : "Plain");
}

inline const std::vector<TStoreCase>& allStoreCases() {
  static const std::vector<TStoreCase> cases = {
      {pfs::fsmDirectory, false}, {pfs::fsmDirectory, true},   {pfs::fsmSingleFile, false},
      {pfs::fsmSingleFile, true}, {pfs::fsmInMemory, false},   {pfs::fsmInMemory, true},
      {pfs::fsmTemporary, false}, {pfs::fsmTemporary, true}};
  return cases;
}

// The stores whose table files are host files.
inline std::vector<TStoreCase> hostStoreCases() {
  std::vector<TStoreCase> cases;
  for (const TStoreCase& c : allStoreCases())
    if (c.Mode == pfs::fsmDirectory || c.Mode == pfs::fsmSingleFile) cases.push_back(c);
  return cases;
}

// Fields of the test table: Name (string of 20), Num (integer), Amount (float).
inline TFieldDefs testFields() {
  return {{"Name", ftString, 20, false}, {"Num", ftInteger, 0, false}, {"Amount", ftFloat, 0, false}};
}

// The in-memory host file system with the directory "db" (through the fault wrapper), a settable
// clock that advances by 1 ms per reading, and the storage engine running over them.
class TMemoryHost {
public:
  TMemoryHost() {
    FMem.CreateDirectory("db");
    FClock.SetTick(1000);
    FClock.SetAutoAdvance(1);
  }

  platform::MemoryFileSystem FMem;
  platform::FaultFileSystem FFaults{FMem};
  platform::ScopedFileSystem FScope{FFaults};
  platform::SettableClock FClock;
  platform::ScopedClock FClockScope{FClock};
  ScopedStorageEngine FEngine;
};

// One table in one store over the memory host.
class TTableEnv : public TMemoryHost {
public:
  explicit TTableEnv(TStoreCase Case, std::string Table = "T") : FCase(Case), FTable(std::move(Table)) {
    FDataset.Enc = Case.Encrypted;
    FDataset.Pass = Case.Encrypted ? "secret" : "";
    switch (Case.Mode) {
      case pfs::fsmSingleFile: {
        FDataset.FileName = "db.edb";
        TEdbDatabase creator;
        creator.CreateDatabase("db.edb");
        break;
      }
      case pfs::fsmInMemory: FDataset.Name = "db"; FDataset.Memory = true; break;
      case pfs::fsmTemporary: FDataset.Name = "db"; FDataset.Temp = true; break;
      default: FDataset.Name = "db"; break;
    }
    FDatabase = &edGetDatabaseManager(Case.Mode == pfs::fsmSingleFile ? "db.edb" : "db", &FDataset);
  }
  ~TTableEnv() {
    if (FManager != nullptr) {
      try {
        Close();
      } catch (...) {
      }
    }
  }

  void Create(const TFieldDefs& Fields = testFields(), const TIndexDefs& Indexes = {}, bool AutoIndexes = false) {
    edGetDataManager(FTable, FDatabase).CreateTable(Fields, Indexes, 1000, AutoIndexes, &FDataset);
  }
  // ConnectDataset's result; the manager is kept on success.
  int32_t TryOpen() {
    TEdbDataManager& m = edGetDataManager(FTable, FDatabase);
    const int32_t result = m.ConnectDataset(FDataset);
    FManager = result == otrOk ? &m : nullptr;
    return result;
  }
  TEdbDataManager& Open() {
    const int32_t result = TryOpen();
    if (result != otrOk) throw tesvar::Exception("open failed with " + std::to_string(result));
    return *FManager;
  }
  void Close() {
    TEdbDataManager* m = FManager;
    FManager = nullptr;
    m->DisconnectDataset(FDataset);
  }
  TEdbDataManager& M() { return *FManager; }

  // A record buffer with the given values (Amount = Num / 2).
  std::vector<uint8_t> Record(const std::string& Name, int32_t Num) {
    std::vector<uint8_t> r = FManager->NewRecordBuffer();
    std::memcpy(r.data(), Name.data(), std::min<size_t>(Name.size(), 20));
    std::memcpy(r.data() + 21, &Num, 4);
    const double amount = Num / 2.0;
    std::memcpy(r.data() + 25, &amount, 8);
    r[static_cast<size_t>(FManager->DataSize() + 4)] &= 0xF8;  // all three fields set
    return r;
  }
  int32_t Insert(const std::string& Name, int32_t Num) {
    std::vector<uint8_t> r = Record(Name, Num);
    FManager->edInsertRecord(r.data(), 0);
    return GetInt32(r.data() + FManager->DataSize());
  }
  std::string NameOf(int32_t RecNo) {
    const uint8_t* r = FManager->GetRecord(RecNo);
    return std::string(reinterpret_cast<const char*>(r), strnlen(reinterpret_cast<const char*>(r), 21));
  }
  int32_t NumOf(int32_t RecNo) {
    int32_t n;
    std::memcpy(&n, FManager->GetRecord(RecNo) + 21, 4);
    return n;
  }
  int32_t IdOf(int32_t RecNo) { return GetInt32(FManager->GetRecord(RecNo) + FManager->DataSize()); }

  // Host bytes of a table file where the store keeps it on the host (directory mode).
  std::vector<uint8_t> HostFile(const std::string& Extension) const {
    return FMem.ReadAll("db/" + FTable + Extension);
  }
  bool FileExists(const std::string& Extension) {
    return FDatabase->FileExists(FTable + Extension, FDataset.Temp ? pfs::fsmTemporary : FDataset.Memory ? pfs::fsmInMemory : pfs::fsmDefault);
  }

  TStoreCase FCase;
  std::string FTable;
  TTestDataset FDataset;
  TEdbDatabaseManager* FDatabase = nullptr;
  TEdbDataManager* FManager = nullptr;
};

}  // namespace tesvar::storagetest
