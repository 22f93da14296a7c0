#include "dataset/TEdbTable.h"

#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "storage/StorageEngine.h"
#include "storage/TableFormat.h"

#include <algorithm>

namespace tesvar::dataset {

using namespace toolkit;
using storage::TEdbDataManager;
using storage::TEdbDatabaseManager;

namespace {

// The table manager and database manager a maintenance call works through. A table manager that
// no dataset uses is freed at the end, and then the database manager when nothing else uses it.
class TMaintenanceManagers {
public:
  TMaintenanceManagers(const std::string& Database, const std::string& Table, const IEdbDataset& Dataset)
      : FDatabase(&storage::edGetDatabaseManager(Database, &Dataset)), FTableName(Table) {}
  ~TMaintenanceManagers() { Release(); }
  TMaintenanceManagers(const TMaintenanceManagers&) = delete;
  TMaintenanceManagers& operator=(const TMaintenanceManagers&) = delete;

  TEdbDatabaseManager& Database() const { return *FDatabase; }
  // The table's manager (found or made on first use).
  TEdbDataManager& Table() {
    if (FTable == nullptr) FTable = &storage::edGetDataManager(FTableName, FDatabase);
    return *FTable;
  }
  // Frees the table manager when no dataset uses it, then the database manager when unused.
  void Release() noexcept {
    if (FTable != nullptr) {
      auto& managers = storage::Registries().DataManagers;
      TEdbDataManager* table = FTable;
      FTable = nullptr;
      try {
        managers.erase(std::remove_if(managers.begin(), managers.end(),
                                      [table](const auto& m) { return m.get() == table && m->Datasets().empty(); }),
                       managers.end());
      } catch (...) {
        // The manager of a closed table holds nothing to lose.
      }
    }
    if (FDatabase != nullptr) {
      (void)FDatabase->ReleaseIfUnused();
      FDatabase = nullptr;
    }
  }

private:
  TEdbDatabaseManager* FDatabase;
  TEdbDataManager* FTable = nullptr;
  std::string FTableName;
};

std::string busy(const char* Call, const std::string& Table) {
  return std::string("TEdbDataSet.") + Call + " - Table is busy, table " + Table;
}

}  // namespace

TEdbTable::TEdbTable() { TEdbDataset::SetBLOBBlockSize(kDefaultBLOBBlockSize); }

TEdbTable::~TEdbTable() { CloseForDestroy(); }

// ---- Properties ---------------------------------------------------------------------------------

std::string TEdbTable::DatabaseKey() const {
  return !DatabaseFileName().empty() ? DatabaseFileName() : DatabaseName();
}

pfs::TFileStoreMode TEdbTable::StoreMode() const {
  // A temporary dataset keeps its table in delete-on-close files; made or changed in another
  // store they would be files it does not hold.
  if (InMemory()) return pfs::fsmInMemory;
  return Temporary() ? pfs::fsmTemporary : pfs::fsmDefault;
}

bool TEdbTable::Exists() {
  TMaintenanceManagers managers(DatabaseKey(), TableName(), *this);
  return managers.Database().FileExists(TableName() + storage::kDatExt, pfs::fsmDefault);
}

void TEdbTable::SetIndexDefs(const TIndexDefs& Value) { MutableIndexDefs() = Value; }

uint8_t TEdbTable::BLOBCompression() const {
  return TableOpen() ? DataManager()->TableHeader().BLOBCompression : TEdbDataset::BLOBCompression();
}

void TEdbTable::SetBLOBCompression(TCompressionLevel Value) {
  if (!TableOpen()) TEdbDataset::SetBLOBCompression(Value);
}

int32_t TEdbTable::BLOBBlockSize() const {
  return TableOpen() ? DataManager()->BLOBBlockSize() : TEdbDataset::BLOBBlockSize();
}

void TEdbTable::SetBLOBBlockSize(int32_t Value) {
  if (!TableOpen()) TEdbDataset::SetBLOBBlockSize(Value);
}

bool TEdbTable::Encrypted() const { return TableOpen() ? DataManager()->Encrypted() : TEdbDataset::Encrypted(); }

void TEdbTable::SetReadOnly(bool Value) {
  if (Active()) Close();
  TEdbDataset::SetReadOnly(Value);
}

void TEdbTable::SetExclusive(bool Value) {
  CheckInactive();
  FExclusive = Value;
}

void TEdbTable::SetInMemory(bool Value) { TEdbDataset::SetInMemory(Value); }

// ---- Maintenance ------------------------------------------------------------------------------------

void TEdbTable::CreateTable() { InternalCreateTable(); }

void TEdbTable::CreateTable(const std::string& NewTableName) {
  SetTableName(NewTableName);
  InternalCreateTable();
}

void TEdbTable::DeleteTable() { InternalDeleteTable(); }

void TEdbTable::AddIndex(const std::string& Name, const std::string& Fields, const std::string& CaseInsFields,
                         const std::string& DescFields, TIndexOptions Options) {
  (void)Name;
  (void)Fields;
  (void)CaseInsFields;
  (void)DescFields;
  (void)Options;
}

void TEdbTable::DeleteIndex(const std::string& Name) { (void)Name; }

void TEdbTable::InternalCreateTable() {
  if (Active() || TableOpen())
    throw Exception("TEdbDataSet.InternalCreateTable - Cannot perform this operation on an open DataSet.");
  auto managers = std::make_unique<TMaintenanceManagers>(DatabaseKey(), TableName(), *this);
  if (!managers->Database().DatabaseExists()) managers->Database().CreateDatabase();
  if (!managers->Table().Datasets().empty()) throw Exception(busy("InternalCreateTable", TableName()));
  if (Exists()) {
    managers.reset();
    InternalDeleteTable();
    managers = std::make_unique<TMaintenanceManagers>(DatabaseKey(), TableName(), *this);
  }
  if (TEdbDataset::BLOBBlockSize() < 1) throw Exception("TEdbDataSet.InternalCreateTable - BlobBlockSize must be > 0");
  TEdbDataManager& table = managers->Table();
  table.SetFileStoreMode(StoreMode());
  for (int32_t i = 0; i < Fields().Count(); ++i) {
    const TField& field = Fields()[i];
    if (field.FieldKind() != fkData) continue;
    const bool listed = std::any_of(FieldDefs().begin(), FieldDefs().end(), [&field](const TFieldDef& d) {
      return platform::AnsiSameText(d.Name, field.FieldName());
    });
    if (!listed) FieldDefs().push_back({field.FieldName(), field.DataType(), field.Size(), field.Required()});
  }
  table.CreateTable(FieldDefs(), IndexDefs(), FTempTableRecords, FAutoIndexes, this);
  SetBuildIndexDefsOnOpen(true);
}

void TEdbTable::InternalDeleteTable() {
  if (Active() || TableOpen()) throw Exception("Error in TEdbDataset.InternalDeleteTable - table is opened.");
  TMaintenanceManagers managers(DatabaseKey(), TableName(), *this);
  TEdbDataManager& table = managers.Table();
  if (!table.Datasets().empty()) throw Exception(busy("InternalDeleteTable", TableName()));
  table.SetFileStoreMode(StoreMode());
  table.DeleteTable();
}

void TEdbTable::InternalRenameTable(const std::string& NewName) {
  if (Active() || TableOpen()) throw Exception("Error in TEdbDataset.InternalRenameTable - table is opened.");
  TMaintenanceManagers managers(DatabaseKey(), TableName(), *this);
  TEdbDataManager& table = managers.Table();
  if (!table.Datasets().empty()) throw Exception(busy("InternalRenameTable", TableName()));
  table.SetFileStoreMode(StoreMode());
  table.RenameTable(NewName);
  managers.Release();
  SetTableName(NewName);
}

// ---- Progress -----------------------------------------------------------------------------------------

bool TEdbTable::DoProgress(double PercentDone) {
  FPercentDone = PercentDone;
  bool cancel = false;
  if (OnProgress) OnProgress(static_cast<const TEdbDataset*>(this), PercentDone, FProgressProcess, cancel);
  return cancel;
}

}  // namespace tesvar::dataset
