#pragma once
// TEdbTable: the table component, a dataset (TEdbDataset.h) over one table with the table's
// published properties and its maintenance calls: creating, deleting, renaming, saving,
// importing and restructuring tables, adding and deleting indexes, progress reports.
//
// Maintenance calls work on a closed dataset and leave it closed, except AddIndex / DeleteIndex
// (opened for the call, the former Active restored) and restructuring (the dataset ends closed).
// "Table is busy" refuses maintenance while any dataset of this process has the table open.
//
// Failures raise tesvar::Exception with the texts at the declarations. Single-threaded.

#include "codec/EdbCompress.h"
#include "dataset/TEdbDataset.h"
#include "toolkit/Progress.h"
#include "toolkit/TDataLink.h"
#include "toolkit/TDataSource.h"
#include "toolkit/TFieldDefs.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tesvar::dataset {

using codec::TCompressionLevel;
using toolkit::TedProgressEvent;
using toolkit::TedProgressProcess;

// What shows the progress of a table's index builds to the user (the program's "Building
// indexes..." window): the table component calls Start before the first report (with the data
// controls disabled until Finish), Progress with the rounded percentage after each index (the
// window lets the application process pending messages there), Finish after the last report,
// also when the build fails. The table component does not own it.
class IIndexBuildWindow {
public:
  virtual ~IIndexBuildWindow() = default;
  virtual void Start(const std::string& TableName) = 0;
  virtual void Progress(int32_t PercentDone) = 0;
  virtual void Finish() = 0;
};

// The link of a detail dataset to its master through the master's data source. FieldNames names
// the master's fields (separated by ";") whose values select the detail's records. When the
// link becomes active or inactive, or the master's layout changes, and the detail is open (not
// being destroyed): OnMasterChange with an active master and master fields, else
// OnMasterDisable. A change of the master's record (not while it fills a search key) for no
// particular field or for one of the master fields runs OnMasterChange; the master leaving edit
// mode or moving first makes the detail leave its edit mode. Raises, when it becomes active,
// the master's FieldByName error for a name the master lacks.
class TEdbMasterDataLink : public toolkit::TDetailDataLink {
public:
  explicit TEdbMasterDataLink(TEdbDataset& Detail) : FDetail(Detail) {}

  toolkit::TDataSet* DetailDataSet() const override { return &FDetail; }
  const std::string& FieldNames() const { return FFieldNames; }
  // A different text takes the fields anew and runs the activation logic above.
  void SetFieldNames(const std::string& Value);
  // The master's fields named by FieldNames while the link is active, else none.
  const std::vector<TField*>& Fields() const { return FFields; }

  std::function<void()> OnMasterChange;
  std::function<void()> OnMasterDisable;

protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void LayoutChanged() override;
  void RecordChanged(TField* Field) override;

private:
  void TakeFields();

  TEdbDataset& FDetail;
  std::string FFieldNames;
  std::vector<TField*> FFields;
};

class TEdbTable : public TEdbDataset {
public:
  // The engine version CurrentVersion reads.
  static constexpr const char* kCurrentVersion = "4.11 ";
  static constexpr int32_t kDefaultBLOBBlockSize = 512;
  static constexpr int32_t kDefaultTempTableRecords = 1000;

  TEdbTable();
  ~TEdbTable() override;

  // ---- Published properties ------------------------------------------------------------------
  // Whether the table's data file exists in the dataset's database (default store). Reaching the
  // database raises the database managers' errors.
  bool Exists();
  // "4.11 "; setting it changes nothing (the value is the engine's).
  static std::string CurrentVersion() { return kCurrentVersion; }
  void SetCurrentVersion(const std::string& Value) { (void)Value; }
  // Assigning copies the definitions (used when the table is created).
  void SetIndexDefs(const TIndexDefs& Value);
  // The open table's BLOB compression (a TCompressionLevel), else the stored one; setting it is
  // ignored while the table is open.
  uint8_t BLOBCompression() const override;
  void SetBLOBCompression(TCompressionLevel Value);
  // The open table's BLOB block size, else the stored one; setting it is ignored while the table
  // is open. A value below 1 is kept and refused by InternalCreateTable.
  int32_t BLOBBlockSize() const override;
  void SetBLOBBlockSize(int32_t Value);
  // The open table's encryption flag, else the stored wish (used at creation).
  bool Encrypted() const override;
  void SetEncrypted(bool Value) { TEdbDataset::SetEncrypted(Value); }
  // Setting closes an open dataset first, then stores the value. (The database manager's
  // setting while the dataset opens does not close it: the dataset is not active yet then.)
  void SetReadOnly(bool Value) override;
  // Field and index definitions are stored with the component (when not empty).
  bool StoreDefs() const { return FStoreDefs; }
  void SetStoreDefs(bool Value) { FStoreDefs = Value; }
  // May only be set while the dataset is closed ("Cannot perform this operation on an open
  // dataset").
  bool Exclusive() const { return FExclusive; }
  void SetExclusive(bool Value);
  // The in-memory switch: closed, the value is stored. Open: switching out of memory saves the
  // table first (InternalSaveTable), closes, deletes the in-memory copy; then the value is stored
  // and the dataset opened again. A save that fails raises with the dataset open in memory as it
  // was.
  void SetInMemory(bool Value);
  // A new table gets the automatic per-field indexes (default true).
  bool AutoIndexes() const { return FAutoIndexes; }
  void SetAutoIndexes(bool Value) { FAutoIndexes = Value; }
  // Records per page of a new table's page pool (default 1000).
  int32_t TempTableRecords() const { return FTempTableRecords; }
  void SetTempTableRecords(int32_t Value) { FTempTableRecords = Value; }
  // Where index builds of the table are shown (null: nowhere, the default). Must outlive its use.
  IIndexBuildWindow* IndexBuildWindow() const { return FIndexBuildWindow; }
  void SetIndexBuildWindow(IIndexBuildWindow* Value) { FIndexBuildWindow = Value; }
  // Progress of long operations: Sender is this dataset (a TEdbDataset*), PercentDone 0..100,
  // the remembered kind; the handler sets Cancel to ask import and restructure to stop.
  TedProgressEvent OnProgress;

  // ---- Master/detail -------------------------------------------------------------------------
  // While the current index is the one IndexName names and the master is open, the view shows
  // only the records whose first key fields of the current index equal the master's MasterFields
  // values in order (a NULL or empty master value: the key field is NULL), and a new record
  // takes those values into its key fields before OnNewRecord. The detail follows every move
  // of the master. Setting a source that leads back to this dataset raises "TEdbDataSet.
  // SetDataSource - Invalid DataSource". The source is not owned.
  toolkit::TDataSource* MasterSource() const { return FMasterLink.DataSource(); }
  void SetMasterSource(toolkit::TDataSource* Value);
  const std::string& MasterFields() const { return FMasterLink.FieldNames(); }
  void SetMasterFields(const std::string& Value) { FMasterLink.SetFieldNames(Value); }
  TEdbMasterDataLink& MasterLink() { return FMasterLink; }
  toolkit::TDataSource* GetDataSource() const override { return MasterSource(); }
  // The condition over the detail's key fields that the master's current values make, as the
  // master parser takes it (empty: none).
  const std::string& MasterCondition() const { return FMasterCondition; }

  // ---- Maintenance ---------------------------------------------------------------------------
  // InternalCreateTable; the variant taking a name sets TableName first (an extension is cut).
  void CreateTable();
  void CreateTable(const std::string& NewTableName);
  void DeleteTable();
  // Opens the dataset when closed, InternalAddIndex / InternalDeleteIndex, then restores the
  // former Active (also when the call fails).
  void AddIndex(const std::string& Name, const std::string& Fields, const std::string& CaseInsFields,
                const std::string& DescFields, toolkit::TIndexOptions Options);
  void DeleteIndex(const std::string& Name);
  // Adds and builds an index of the open table (field lists as TEdbDataManager::AddIndex takes
  // them) and rebuilds IndexDefs; the view and the current index stay. Raises "Error in
  // TEdbDataset.InternalAddIndex - table is not opened." and the table manager's index errors.
  void InternalAddIndex(const std::string& Name, const std::string& Fields, const std::string& CaseInsFields,
                        const std::string& DescFields, toolkit::TIndexOptions Options);
  // Deletes an index of the open table, which no other dataset may have open. The current index
  // stays current when it is not the one deleted (its number follows the list); else, and when
  // nothing was deleted (names starting with "@"), index 0 becomes current. IndexDefs and the view
  // are rebuilt. Raises "Error in TEdbDataset.InternalDeleteIndex - table is not opened.",
  // "TEdbDataSet.InternalDeleteTable - Table is busy, table <TableName>" and the table manager's
  // errors.
  void InternalDeleteIndex(const std::string& Name);
  // Copies the open in-memory table's files to the database's own store. Raises
  // "TEdbDataset.InternalSaveTable - table is not opened.", "TEdbDataset.InternalSaveTable -
  // table is not in in-memory mode." and the table manager's SaveTable errors.
  void InternalSaveTable();
  // Makes this dataset (closed first) a new empty in-memory table of the in-memory database with
  // an empty name, named "@TABLE" and a number below 100000 that no table of that database has,
  // with RecordsPerPage records per page and no automatic indexes; FieldDefs and IndexDefs
  // describe it. Raises "TEdbDataSet.MakeInMemoryTempTable - no free table name." when every
  // number is taken, and InternalCreateTable's errors.
  void MakeInMemoryTempTable(int32_t RecordsPerPage);
  // InternalImportTable / InternalRestructureTable (defined in TEdbTableRestructure.cpp).
  bool ImportTable(toolkit::TDataSource* DataSource, const toolkit::TIndexDefs* IndexDefs, std::string& Log);
  void RestructureTable(bool Encrypted, const std::string& Password, TCompressionLevel BLOBCompression,
                        int32_t BLOBBlockSize);

  // Creates the table TableName from FieldDefs (with every persistent data field not among them
  // added) and IndexDefs in the dataset's database, which is created when it does not exist; an
  // existing table of that name is deleted first. The new table is closed. Raises
  // "TEdbDataSet.InternalCreateTable - Cannot perform this operation on an open DataSet.",
  // "TEdbDataSet.InternalCreateTable - Table is busy, table <TableName>", "TEdbDataSet.
  // InternalCreateTable - BlobBlockSize must be > 0" and the table manager's creation errors.
  void InternalCreateTable();
  // Delete / rename the closed table's files. Raise "Error in TEdbDataset.InternalDeleteTable -
  // table is opened." / "Error in TEdbDataset.InternalRenameTable - table is opened.",
  // "TEdbDataSet.InternalDeleteTable - Table is busy, table <TableName>" / "TEdbDataSet.
  // InternalRenameTable - Table is busy, table <TableName>" and the table manager's errors.
  // After a rename TableName is NewName.
  void InternalDeleteTable();
  void InternalRenameTable(const std::string& NewName);

  // Imports the records of DataSource's dataset into a new table TableName; collects its
  // problems in Log (lines ending CR LF) and returns false for them. Defined in
  // TEdbTableRestructure.cpp.
  bool InternalImportTable(toolkit::TDataSource* DataSource, const toolkit::TIndexDefs* IndexDefs, std::string& Log);
  // Rebuilds the table from FieldDefs and IndexDefs with the given encryption and BLOB settings,
  // keeping the records; a failure or cancel leaves the former table under its name. Defined in
  // TEdbTableRestructure.cpp.
  void InternalRestructureTable(bool Encrypted, const std::string& Password, TCompressionLevel BLOBCompression,
                                int32_t BLOBBlockSize);

  // ---- Progress ------------------------------------------------------------------------------
  // The kind and percentage of the running long operation.
  TedProgressProcess ProgressProcess() const { return FProgressProcess; }
  void SetProgressProcess(TedProgressProcess Value) { FProgressProcess = Value; }
  double PercentDone() const { return FPercentDone; }
  // Remembers PercentDone and fires OnProgress (this dataset, PercentDone, the remembered kind)
  // when assigned. True when the handler asked to cancel.
  [[nodiscard]] bool DoProgress(double PercentDone);

  // IEdbDataset: index builds of the table, shown through IndexBuildWindow.
  void IndexBuildingStarted() override;
  void IndexBuildingProgress(double PercentDone) override;
  void IndexBuildingFinished() override;

protected:
  // An in-memory table that exists neither in the database's store nor in memory is created
  // first (unless KeepTableOpen).
  void InternalOpen() override;
  // A random number below 2^31 - 1, where MakeInMemoryTempTable starts its search for a name.
  virtual uint32_t TempTableRandom();
  // The master condition's records while it restricts the view.
  const TBitsArray* RestrictionBits() override;
  bool RestrictionAccepts(const uint8_t* Record) override;
  // The master's values into the key fields, then OnNewRecord.
  void DoOnNewRecord() override;

private:
  // Whether the table's data file is in the database's store of that mode.
  bool ExistsIn(pfs::TFileStoreMode Mode);
  // InternalCreateTable's work from step 2 on, for a dataset whose table is not open.
  void CreateTableFiles();
  // The database name the dataset reaches its database by.
  std::string DatabaseKey() const;
  // The store mode of the table's files: in memory when InMemory, temporary files when
  // Temporary, else the database's.
  pfs::TFileStoreMode StoreMode() const;
  // Runs Call with the dataset open, restoring the former Active after it.
  template <class TCall>
  void WhileOpen(TCall&& Call);
  // Whether a table of the in-memory database has TableName (files or a table manager).
  bool TempTableNameTaken();
  // The master link's handlers: the condition made anew (MasterChanged only), then the view and
  // the window from the first record.
  void MasterChanged();
  void MasterDisabled();
  // The link is active with master fields and the current index is the one IndexName names.
  bool MasterRestricts();
  // FMasterCondition from the master's current values and the current index (the table is
  // connected for the time of it when closed).
  void BuildMasterCondition();

  bool FStoreDefs = false;
  bool FExclusive = false;
  bool FAutoIndexes = true;
  int32_t FTempTableRecords = kDefaultTempTableRecords;
  TedProgressProcess FProgressProcess = toolkit::edppImport;
  double FPercentDone = 0;
  IIndexBuildWindow* FIndexBuildWindow = nullptr;
  bool FIndexBuildShown = false;
  TEdbMasterDataLink FMasterLink{*this};
  TSearchParser FMasterParser;
  std::string FMasterCondition;
};

}  // namespace tesvar::dataset
