#include "dataset/TEdbTable.h"

#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "storage/StorageEngine.h"
#include "storage/TableFormat.h"

#include "platform/IClock.h"

#include <algorithm>
#include <cmath>
#include <random>

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

// Result table names: the prefix and a number below kTempTableNumbers; kMaxRandom bounds the random
// part of the first number tried.
constexpr const char* kTempTablePrefix = "@TABLE";
constexpr uint32_t kTempTableNumbers = 100000;
constexpr uint32_t kMaxRandom = 2147483647u;

std::string busy(const char* Call, const std::string& Table) {
  return std::string("TEdbDataSet.") + Call + " - Table is busy, table " + Table;
}

}  // namespace

// ---- The master link -----------------------------------------------------------------------------

void TEdbMasterDataLink::SetFieldNames(const std::string& Value) {
  if (Value == FFieldNames) return;
  FFieldNames = Value;
  ActiveChanged();
}

void TEdbMasterDataLink::TakeFields() {
  FFields.clear();
  if (!Active()) return;
  std::vector<TField*> fields;
  for (const std::string& name : SplitFieldNames(FFieldNames)) fields.push_back(&DataSet()->FieldByName(name));
  FFields = std::move(fields);
}

void TEdbMasterDataLink::ActiveChanged() {
  TakeFields();
  if (!FDetail.Active() || FDetail.Destroying()) return;
  if (Active() && !FFields.empty()) {
    if (OnMasterChange) OnMasterChange();
  } else if (OnMasterDisable) {
    OnMasterDisable();
  }
}

void TEdbMasterDataLink::LayoutChanged() { ActiveChanged(); }

void TEdbMasterDataLink::CheckBrowseMode() {
  if (FDetail.Active()) FDetail.CheckBrowseMode();
}

void TEdbMasterDataLink::RecordChanged(TField* Field) {
  if (!Active() || FFields.empty() || !FDetail.Active() || DataSource()->State() == dsSetKey) return;
  if (Field != nullptr && std::find(FFields.begin(), FFields.end(), Field) == FFields.end()) return;
  if (OnMasterChange) OnMasterChange();
}

// ---- The table component --------------------------------------------------------------------------

TEdbTable::TEdbTable() {
  TEdbDataset::SetBLOBBlockSize(kDefaultBLOBBlockSize);
  FMasterLink.OnMasterChange = [this] { MasterChanged(); };
  FMasterLink.OnMasterDisable = [this] { MasterDisabled(); };
}

TEdbTable::~TEdbTable() {
  CloseForDestroy();
  FMasterLink.SetDataSource(nullptr);
}

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

bool TEdbTable::Exists() { return ExistsIn(pfs::fsmDefault); }

bool TEdbTable::ExistsIn(pfs::TFileStoreMode Mode) {
  TMaintenanceManagers managers(DatabaseKey(), TableName(), *this);
  return managers.Database().FileExists(TableName() + storage::kDatExt, Mode);
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

void TEdbTable::SetInMemory(bool Value) {
  if (!Active()) {
    TEdbDataset::SetInMemory(Value);
    return;
  }
  const bool leaveMemory = InMemory() && !Value;
  if (leaveMemory) InternalSaveTable();
  Close();
  if (leaveMemory) InternalDeleteTable();
  TEdbDataset::SetInMemory(Value);
  Open();
}

// ---- Master/detail ----------------------------------------------------------------------------------

void TEdbTable::SetMasterSource(TDataSource* Value) {
  if (Value != nullptr && IsLinkedTo(Value)) throw Exception("TEdbDataSet.SetDataSource - Invalid DataSource");
  FMasterLink.SetDataSource(Value);
}

bool TEdbTable::MasterRestricts() {
  if (!FMasterLink.Active() || FMasterLink.Fields().empty() || !TableOpen()) return false;
  if (CurrentIndexNo() >= DataManager()->IndexCount()) return false;
  return platform::AnsiLowerCase(DataManager()->Index(CurrentIndexNo()).Header().Name) ==
         platform::AnsiLowerCase(IndexName());
}

void TEdbTable::BuildMasterCondition() {
  const bool connect = !TableOpen();
  if (connect) OpenTable();
  std::string condition;
  try {
    const auto& masters = FMasterLink.Fields();
    const int32_t keyCount =
        CurrentIndexNo() < DataManager()->IndexCount() ? DataManager()->Index(CurrentIndexNo()).Header().FieldCount() : 0;
    for (size_t i = 0; keyCount > 0 && i < masters.size(); ++i) {
      const TField& master = *masters[i];
      TField& detail = GetIndexField(static_cast<int32_t>(i));
      std::string value = master.AsString();
      if (detail.DataType() == ftString || detail.DataType() == ftWideString) {
        std::string quoted = "'";
        for (const char c : value) quoted += c == '\'' ? std::string("''") : std::string(1, c);
        value = quoted + "'";
      }
      const std::string joint = i == 0 ? "" : " and ";
      if (!master.IsNull() && !value.empty() && value != "''")
        condition += joint + "(" + detail.FieldName() + " = " + value + ")";
      else
        condition += joint + "(" + detail.FieldName() + (i == 0 ? " IS NULL )" : " IS NULL)");
    }
  } catch (...) {
    if (connect) DisconnectTable();
    throw;
  }
  if (connect) DisconnectTable();
  FMasterCondition = condition;
}

const TBitsArray* TEdbTable::RestrictionBits() {
  if (!MasterRestricts()) return nullptr;
  BuildMasterCondition();
  if (FMasterCondition.empty()) return nullptr;
  FMasterParser.SetTable(DataManager());
  if (FMasterParser.Expression() != FMasterCondition) FMasterParser.SetExpression(FMasterCondition);
  return &FMasterParser.Parse();
}

bool TEdbTable::RestrictionAccepts(const uint8_t* Record) {
  if (!MasterRestricts() || FMasterCondition.empty()) return true;
  FMasterParser.SetTable(DataManager());
  if (FMasterParser.Expression() != FMasterCondition) FMasterParser.SetExpression(FMasterCondition);
  return FMasterParser.IsRecordMatches(Record);
}

void TEdbTable::MasterChanged() {
  if (FMasterLink.Active() && !FMasterLink.Fields().empty()) BuildMasterCondition();
  MasterDisabled();
}

void TEdbTable::MasterDisabled() {
  if (!TableOpen()) return;
  ViewOrderChanged();
  if (Active() && State() == dsBrowse) First();
}

void TEdbTable::DoOnNewRecord() {
  // Only while the master selects by the current index are its key fields the master's.
  if (MasterRestricts()) {
    const auto& masters = FMasterLink.Fields();
    for (size_t i = 0; i < masters.size(); ++i) {
      TField& key = GetIndexField(static_cast<int32_t>(i));
      if (masters[i]->IsNull())
        key.Clear();
      else
        key.SetValue(masters[i]->Value());
    }
  }
  TEdbDataset::DoOnNewRecord();
}

// ---- Maintenance ------------------------------------------------------------------------------------

void TEdbTable::CreateTable() { InternalCreateTable(); }

void TEdbTable::CreateTable(const std::string& NewTableName) {
  SetTableName(NewTableName);
  InternalCreateTable();
}

void TEdbTable::DeleteTable() { InternalDeleteTable(); }

void TEdbTable::AddIndex(const std::string& Name, const std::string& Fields, const std::string& CaseInsFields,
                         const std::string& DescFields, TIndexOptions Options) {
  WhileOpen([&] { InternalAddIndex(Name, Fields, CaseInsFields, DescFields, Options); });
}

void TEdbTable::DeleteIndex(const std::string& Name) {
  WhileOpen([&] { InternalDeleteIndex(Name); });
}

template <class TCall>
void TEdbTable::WhileOpen(TCall&& Call) {
  const bool wasActive = Active();
  if (!wasActive) Open();
  try {
    Call();
  } catch (...) {
    if (!wasActive) Close();
    throw;
  }
  if (!wasActive) Close();
}

void TEdbTable::InternalAddIndex(const std::string& Name, const std::string& Fields, const std::string& CaseInsFields,
                                 const std::string& DescFields, TIndexOptions Options) {
  if (!TableOpen()) throw Exception("Error in TEdbDataset.InternalAddIndex - table is not opened.");
  // Changes other datasets made come into the view first: marking it current below must not
  // hide them.
  RefreshViewIfStale();
  DataManager()->AddIndex(Name, Fields, false, CaseInsFields, DescFields, Options);
  RebuildIndexDefs();
  MarkViewCurrent();
}

void TEdbTable::InternalDeleteIndex(const std::string& Name) {
  if (!TableOpen()) throw Exception("Error in TEdbDataset.InternalDeleteIndex - table is not opened.");
  if (DataManager()->Datasets().size() > 1) throw Exception(busy("InternalDeleteTable", TableName()));
  const int32_t deleted = DataManager()->DeleteIndex(Name, false);
  int32_t current = CurrentIndexNo();
  // An index after the deleted one moves down a place; one before it keeps its number.
  if (current == deleted || deleted <= 0 || current == 0)
    current = 0;
  else if (current > deleted)
    --current;
  RebuildIndexDefs();
  SelectIndex(current);
}

void TEdbTable::InternalSaveTable() {
  if (!TableOpen()) throw Exception("TEdbDataset.InternalSaveTable - table is not opened.");
  if (!InMemory()) throw Exception("TEdbDataset.InternalSaveTable - table is not in in-memory mode.");
  DataManager()->SaveTable();
}

void TEdbTable::MakeInMemoryTempTable(int32_t RecordsPerPage) {
  if (Active()) Close();
  FTempTableRecords = RecordsPerPage;
  TEdbDataset::SetInMemory(true);
  FAutoIndexes = false;
  SetDatabaseName("");
  const uint32_t start = (TempTableRandom() + platform::Clock().TickCount()) % kTempTableNumbers;
  // The random start spreads the names; the walk from it makes two result tables of the database
  // never share one.
  for (uint32_t step = 0; step < kTempTableNumbers; ++step) {
    SetTableName(kTempTablePrefix + std::to_string((start + step) % kTempTableNumbers));
    if (!TempTableNameTaken()) {
      InternalCreateTable();
      return;
    }
  }
  throw Exception("TEdbDataSet.MakeInMemoryTempTable - no free table name.");
}

uint32_t TEdbTable::TempTableRandom() {
  std::random_device random;
  return random() % kMaxRandom;
}

bool TEdbTable::TempTableNameTaken() {
  if (Exists()) return true;
  // A table being made or open has a manager even before its files exist.
  for (const auto& manager : storage::Registries().DataManagers)
    if (platform::AnsiSameText(manager->TableName(), TableName()) &&
        manager->DatabaseManager().Matches(DatabaseKey()) && manager->DatabaseManager().InMemory())
      return true;
  return false;
}

void TEdbTable::InternalCreateTable() {
  if (Active() || TableOpen())
    throw Exception("TEdbDataSet.InternalCreateTable - Cannot perform this operation on an open DataSet.");
  CreateTableFiles();
}

void TEdbTable::InternalOpen() {
  // Not in the database's own store and not in memory either: a reopened in-memory table keeps
  // its records instead of being made anew over them.
  if (!KeepTableOpen() && InMemory() && !Exists() && !ExistsIn(pfs::fsmInMemory)) CreateTableFiles();
  TEdbDataset::InternalOpen();
}

void TEdbTable::CreateTableFiles() {
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

void TEdbTable::IndexBuildingStarted() {
  if (FIndexBuildWindow == nullptr || FIndexBuildShown) return;
  DisableControls();
  FIndexBuildShown = true;
  try {
    FIndexBuildWindow->Start(TableName());
  } catch (...) {
    FIndexBuildShown = false;
    EnableControls();
    throw;
  }
}

void TEdbTable::IndexBuildingProgress(double PercentDone) {
  if (FIndexBuildShown) FIndexBuildWindow->Progress(static_cast<int32_t>(std::lround(PercentDone)));
}

void TEdbTable::IndexBuildingFinished() {
  if (!FIndexBuildShown) return;
  FIndexBuildShown = false;
  IIndexBuildWindow* window = FIndexBuildWindow;
  EnableControls();
  window->Finish();
}

bool TEdbTable::DoProgress(double PercentDone) {
  FPercentDone = PercentDone;
  bool cancel = false;
  if (OnProgress) OnProgress(static_cast<const TEdbDataset*>(this), PercentDone, FProgressProcess, cancel);
  return cancel;
}

}  // namespace tesvar::dataset
