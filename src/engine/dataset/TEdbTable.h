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
#include "toolkit/TDataSource.h"
#include "toolkit/TFieldDefs.h"

#include <cstdint>
#include <string>

namespace tesvar::dataset {

using codec::TCompressionLevel;
using toolkit::TedProgressEvent;
using toolkit::TedProgressProcess;

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
  // and the dataset opened again.
  void SetInMemory(bool Value);
  // A new table gets the automatic per-field indexes (default true).
  bool AutoIndexes() const { return FAutoIndexes; }
  void SetAutoIndexes(bool Value) { FAutoIndexes = Value; }
  // Records per page of a new table's page pool (default 1000).
  int32_t TempTableRecords() const { return FTempTableRecords; }
  void SetTempTableRecords(int32_t Value) { FTempTableRecords = Value; }
  // Progress of long operations: Sender is this dataset (a TEdbDataset*), PercentDone 0..100,
  // the remembered kind; the handler sets Cancel to ask import and restructure to stop.
  TedProgressEvent OnProgress;

  // ---- Maintenance ---------------------------------------------------------------------------
  // InternalCreateTable; the variant taking a name sets TableName first (an extension is cut).
  void CreateTable();
  void CreateTable(const std::string& NewTableName);
  void DeleteTable();
  // Opens the dataset when closed, InternalAddIndex / InternalDeleteIndex, then restores the
  // former Active.
  void AddIndex(const std::string& Name, const std::string& Fields, const std::string& CaseInsFields,
                const std::string& DescFields, toolkit::TIndexOptions Options);
  void DeleteIndex(const std::string& Name);
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

private:
  // The database name the dataset reaches its database by.
  std::string DatabaseKey() const;
  // The store mode of the table's files: in memory when InMemory, temporary files when
  // Temporary, else the database's.
  pfs::TFileStoreMode StoreMode() const;

  bool FStoreDefs = false;
  bool FExclusive = false;
  bool FAutoIndexes = true;
  int32_t FTempTableRecords = kDefaultTempTableRecords;
  TedProgressProcess FProgressProcess = toolkit::edppImport;
  double FPercentDone = 0;
};

}  // namespace tesvar::dataset
