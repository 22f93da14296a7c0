#pragma once
// TEdbDataset: the cursor over one table of the engine, on the toolkit's generic dataset.
//
// Opening connects the dataset to the database manager of DatabaseFileName (else DatabaseName)
// and to the table manager of TableName; every dataset of a table shares that manager. Closing
// detaches it again (the last dataset of a table closes the table).
//
// Fields. Dataset field k (FieldNo k + 1) is table field k; after the last table field comes the
// record-ID field, ftAutoInc, named as the table names it (IDFieldName).
//
// Record buffer (RecordSize + 8 + CalcFieldsSize bytes):
//   0             RecordSize      the stored record (field data, record ID at DataSize, null
//                                 flags, trailer), as the table keeps it
//   RecordSize    4               bookmark data: the record ID (int32)
//   RecordSize+4  1               bookmark flag
//   RecordSize+5  3               unused
//   RecordSize+8  CalcFieldsSize  calculated fields (the toolkit's layout)
// A bookmark is 8 bytes: the record ID, then 4 unused bytes; it names a record whatever the order
// or the physical numbering.
//
// The view. The cursor CurrentPos is a position in the view (TEdbView.h): -1 before the first
// record, ViewCount after the last. The view follows the current index; it is made current again
// whenever the table's ChangeCount differs from the one it was made current at (another dataset
// or the table manager changed the table), at the next access. The cursor then stays on its
// record when that still exists; else it stands where that record's key would be in the current
// order, so that the next record is the one that followed it, the prior one the one before it and
// a refetch lands on the record after it.
//
// Filters. With Filtered set and a Filter that is not blank the view shows only the records the
// filter expression (TSearchParser.h) accepts, evaluated over the whole table whenever the view
// is made current. OnFilterRecord is no part of the view: it is asked while fetching, so
// RecordCount counts the records the expression accepts.
//
// Editing (TEdbDatasetEdit.cpp). Post stores the active buffer through the table manager after
// checking every unique index; Delete removes the cursor's record; the view follows each change
// in place and the cursor stays on the posted record (also when its key moved it). BLOB values
// are edited in memory streams, one per BLOB field of the current record (TEdbBlobStream.h),
// which are written to the table at post and dropped at every move, fetch, cancel and post.
//
// Failures raise tesvar::Exception with the texts at the declarations. Single-threaded.

#include "dataset/TBitsArray.h"
#include "dataset/TEdbView.h"
#include "dataset/TSearchParser.h"
#include "dataset/TSearchOperation.h"
#include "toolkit/TMemoryStream.h"
#include "storage/TEdbDataManager.h"
#include "storage/TEdbDatabase.h"
#include "storage/TEdbDatabaseManager.h"
#include "toolkit/IEdbDataset.h"
#include "toolkit/TDataSet.h"
#include "toolkit/TFieldDefs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::dataset {

using toolkit::TBookmark;
using toolkit::TBookmarkFlag;
using toolkit::TField;
using toolkit::TGetMode;
using toolkit::TGetResult;
using toolkit::TIndexDefs;
using toolkit::TLocateOptions;
using toolkit::TRecordBuffer;
using toolkit::TRecordBufferPtr;
using toolkit::TValue;

class TConditionTester;

class TEdbDataset : public toolkit::TDataSet, public toolkit::IEdbDataset {
public:
  TEdbDataset();
  ~TEdbDataset() override;

  // ---- Which table -------------------------------------------------------------------------
  // Setting DatabaseName or DatabaseFileName closes the dataset first; a non-empty DatabaseName
  // clears DatabaseFileName and a non-empty DatabaseFileName clears DatabaseName.
  std::string DatabaseName() const override { return FDatabaseName; }
  void SetDatabaseName(const std::string& Value);
  std::string DatabaseFileName() const override { return FDatabaseFileName; }
  void SetDatabaseFileName(const std::string& Value);
  const std::string& TableName() const { return FTableName; }
  // Keeps the name up to (not including) its last ".", or the whole value without one.
  void SetTableName(const std::string& Value);
  std::string Password() const override { return FPassword; }
  void SetPassword(const std::string& Value) { FPassword = Value; }

  // ---- IEdbDataset ---------------------------------------------------------------------------
  const void* DatabaseComponent() const override { return FDatabase; }
  bool InMemory() const override { return FInMemory; }
  void SetInMemory(bool Value) { FInMemory = Value; }
  bool Temporary() const override { return FTemporary; }
  void SetTemporary(bool Value) { FTemporary = Value; }
  bool ReadOnly() const override { return FReadOnly; }
  // Stored; the database manager sets it while the dataset opens on a read-only database.
  void SetReadOnly(bool Value) override { FReadOnly = Value; }
  int32_t RecordsPerPage() const override { return FRecordsPerPage; }
  void SetRecordsPerPage(int32_t Value) { FRecordsPerPage = Value; }
  bool OneRecordPages() const override { return FOneRecordPages; }
  bool Encrypted() const override { return FEncrypted; }
  void SetEncrypted(bool Value) { FEncrypted = Value; }
  uint8_t BLOBCompression() const override { return FBLOBCompression; }
  void SetBLOBCompression(uint8_t Value) { FBLOBCompression = Value; }
  int32_t BLOBBlockSize() const override { return FBLOBBlockSize; }
  void SetBLOBBlockSize(int32_t Value) { FBLOBBlockSize = Value; }
  bool Active() const override { return TDataSet::Active(); }
  void Close() override { TDataSet::Close(); }

  // ---- The table connection ----------------------------------------------------------------
  // Connects the table alone. Raises "TEdbDataset.OpenTable - table "<TableName>" does not
  // exist.", "TEdbDataset.OpenTable - invalid password.", "TEdbDataset.OpenTable - no password
  // specified.", "TEdbDataset.OpenTable - some table files are missed or locked." or
  // "TEdbDataset.OpenTable - error." for the table manager's result codes, and the managers' own
  // errors; a failure leaves no database or table reference.
  void OpenTable();
  void DisconnectTable();
  bool TableOpen() const { return FTableOpen; }
  // The table manager while the table is connected, else null.
  storage::TEdbDataManager* DataManager() const { return FDataManager; }
  storage::TEdbDatabaseManager* DatabaseManager() const { return FDatabaseManager; }

  // ---- Indexes -------------------------------------------------------------------------------
  // The table's indexes as definitions, and the same without the automatic and temporary ones
  // (names starting with "@" or "$").
  const TIndexDefs& IndexDefs() const { return FIndexDefs; }
  const TIndexDefs& VisibleIndexDefs() const { return FVisibleIndexDefs; }
  // Open: rebuild IndexDefs from the table; closed: connect the table for the time of it.
  void UpdateIndexDefs();
  const std::string& IndexName() const { return FIndexName; }
  // Stores Value and clears IndexFieldNames; on an open table the view goes to index 0 and then,
  // for a non-empty Value, to OpenIndex(Value, -1).
  void SetIndexName(const std::string& Value);
  const std::string& IndexFieldNames() const { return FIndexFieldNames; }
  // Stores Value and clears IndexName; on an open table the view goes to index 0 and then to the
  // first index whose leading fields are Value's (names compared in lower case); without one,
  // IndexFieldNames is cleared.
  void SetIndexFieldNames(const std::string& Value);
  // Number -1: the index named Name (lower case); else index Number. Raises "Error in
  // TEdbDataSet.OpenIndex - table is not opened.", "... - empty index header list.", "... - index
  // "<Name>" not found!", "... - index number "<Number>" not found!".
  void OpenIndex(const std::string& Name, int32_t Number);
  int32_t CurrentIndexNo() const { return FCurrentIndexNo; }
  // The dataset field of the current index's key field I. Raises "Error in
  // TEdbDataSet.GetIndexField - invalid index, index = <i>." and "Error in
  // TEdbDataSet.GetIndexField - no such field, FieldNo = <n>.".
  TField& GetIndexField(int32_t I);

  // ---- The view ------------------------------------------------------------------------------
  void RefreshViewIfStale();
  // Makes the view current (builds the current index when it is not built) and puts the cursor
  // back on its record (see above). Nothing when the table is not connected.
  void RebuildView();
  int32_t ViewCount() const { return FView ? FView->Count() : 0; }
  int32_t CurrentPos() const { return FCurrentPos; }
  // The view position of physical record PhysRecNo, or -1.
  int32_t GetTablePositionByPhysRecNo(int32_t PhysRecNo);
  // The same, into the cursor. Raises "TEdbDataSet.SetTablePositionByPhysRecNo - record not
  // found, physRecNo = <P>, result = <position>, recCount = <ViewCount>".
  void SetTablePositionByPhysRecNo(int32_t PhysRecNo);
  // The view position of the record with ID RecordID, or -1.
  int32_t GetPositionByRecordID(int32_t RecordID);
  // The physical record number at view position Position. Raises "Error in
  // TEdbDataSet.GetViewRecord - invalid position <Position>, recCount = <ViewCount>." outside the
  // view.
  int32_t GetViewRecord(int32_t Position);
  // The buffer the current state works on, or null.
  TRecordBuffer GetActiveRecordBuffer();
  // Fetches the record at the cursor again into the active buffer, keeping the cursor where the
  // engine put it.
  void RefreshCurrentBuffer();
  // The table's LastAutoInc when connected, else 0.
  int32_t GetLastAutoIncValue() const;
  // The next record inserted gets ID Value.
  void SetNextAutoIncValue(int32_t Value);

  // ---- Bookmarks -----------------------------------------------------------------------------
  bool BookmarkValid(const TBookmark& Bookmark) override;
  // Raises "TEdbDataset.CompareBookmarks - equal positions, pos1 = <position>, x1 = <ID1>, x2 =
  // <ID2>" for two different records at one position (both left the view).
  int32_t CompareBookmarks(const TBookmark& B1, const TBookmark& B2) override;

  // ---- Records ---------------------------------------------------------------------------------
  // Assigning a number outside 1 .. RecordCount, or the current one, does nothing.
  void SetRecNo(int32_t Value) override;
  bool GetFieldData(TField& Field, void* Buffer) override;
  // Raises "Error in TEdbDataSet.SetFieldData - FieldNo > fieldCount." for a field beyond the
  // table's.
  void SetFieldData(TField& Field, const void* Buffer) override;
  // A TEdbBlobStream over Field's value in the active record. A mode other than read on a
  // read-only dataset raises "Error in TEdbDataset.CreateBlobStream - Dataset is read only!".
  std::unique_ptr<toolkit::TStream> CreateBlobStream(TField& Field, toolkit::TBlobStreamMode Mode) override;
  // With an active record and a stream for Field: the field is NULL exactly when the stream is
  // empty.
  void CloseBlob(TField& Field) override;
  // The dataset's stream for Field's value in the active record (owned by the dataset until the
  // record's streams are dropped), positioned at 0; null without an active record or for a field
  // that is no BLOB field. In dsEdit / dsInsert an existing stream is kept as it is, so writes
  // and reads before the post see each other; write mode empties it. Raises "Error in
  // TEdbDataSet.InternalCreateBLOBStream - table is not opened.".
  toolkit::TMemoryStream* InternalCreateBLOBStream(TField& Field, toolkit::TBlobStreamMode Mode);
  // For TEdbBlobStream: a stream of Field was written and is gone (field change notification,
  // then CloseBlob).
  void BlobStreamClosed(TField& Field, bool Modified);

  // ---- Field mapping (TEdbDatasetMapping.cpp) ----------------------------------------------
  // The dataset shows the table fields FieldNames (the record-ID field by IDFieldName; names
  // compared in upper case), in that order, named by AliasNames (a missing or empty alias: the
  // name itself; a name some earlier definition has gets "_1", "_2", ... appended, the first
  // free). Unless KeepDefs the field definitions and FieldMap are made anew from the table (the
  // dataset is opened first when its table is not open); with KeepDefs both stay as they are.
  // Then the dataset is closed and opened again without touching the table; it shows the mapping
  // until it is next closed. Raises EEdbException 13 "Field not found. Table name =
  // '<TableName>', Field name = '<name>'." for a name the table lacks; nothing is changed then
  // (a dataset this call opened is closed again).
  void SetFieldMapping(const std::vector<std::string>& FieldNames, const std::vector<std::string>& AliasNames,
                       bool KeepDefs);
  bool FieldMapActive() const { return FFieldMapActive; }
  // Dataset field k (0-based) shows table field FieldMap()[k]; -1 is the record-ID field.
  const std::vector<int32_t>& FieldMap() const { return FFieldMap; }
  const std::vector<std::string>& MapFieldNames() const { return FMapFieldNames; }
  const std::vector<std::string>& MapAliasNames() const { return FMapAliasNames; }

  // ---- Bulk insert (the SQL engine) ---------------------------------------------------------
  // A fresh record (every field NULL) in a buffer of its own, which is the active buffer until
  // EndBulkInsert posts it (state dsInsert meanwhile) or Cancel drops it.
  void BeginBulkInsert();
  // When a bulk insert runs: posts its record (as Post, without the required-field check), state
  // dsBrowse, the buffer freed.
  void EndBulkInsert();
  bool BulkInsertActive() const { return FBulkInsertActive; }

  // ---- Filters -------------------------------------------------------------------------------
  // Stored. While the dataset is active and filtered, a change compiles the filter at once,
  // rebuilds the view and moves to the first record; a filter that does not compile raises the
  // compiler's message (TSearchParser::SetExpression) and leaves the dataset as it was: the
  // former Filter, FilterOptions and Filtered, the former view and cursor.
  void SetFilter(const std::string& Value) override;
  void SetFilterOptions(toolkit::TFilterOptions Value) override;
  void SetFiltered(bool Value) override;
  // Filtered set and a Filter that is not blank.
  bool FilterActive() const;
  // Whether the stored record image Record passes the filter (when active) and, with AskHandler,
  // Filtered set and an OnFilterRecord handler, the handler, which sees the record as the
  // current one (the cursor is moved to it for the call and put back after).
  bool IsRecordVisible(const uint8_t* Record, bool AskHandler);
  // The view when it drops records (so that a change of one record can patch it), else null.
  TEdbFilteredView* FilteredView() const { return dynamic_cast<TEdbFilteredView*>(FView.get()); }
  // ---- Locating, key search and distinct values (TEdbDatasetLocate.cpp) ---------------------
  // Moves to the first record, in view order, whose KeyFields (names separated by "," or ";")
  // equal KeyValues (one value, or an array with one value per field): BeforeScroll, the cursor
  // on it, the window refetched around it, AfterScroll. loCaseInsensitive compares texts without
  // case, loPartialKey compares texts over the length of the given value only. False, without
  // moving, when no visible record matches or a value is Null. Raises "TEdbDataset.
  // PrepareAndLocate - Unsupported variant type <type code>" for a value of another type than
  // integer (Smallint, Integer, Int64), floating point, date, string, wide string and Boolean,
  // PrepareValueBuffer's messages for a value the field cannot take, and InternalGetFieldNo's for
  // an unknown field.
  bool Locate(const std::string& KeyFields, const TValue& KeyValues, TLocateOptions Options) override;
  // The value of ResultFields (one name: its value; several: an array of their values) in the
  // first visible record whose KeyFields equal KeyValues exactly, with case; Null when there is
  // none. The cursor, the window and the state stay as they are. Raises as Locate, and
  // FieldByName's message for an unknown result field.
  TValue Lookup(const std::string& KeyFields, const TValue& KeyValues, const std::string& ResultFields) override;
  // The physical number of the first visible record (view order) meeting every condition
  // "field Operation value", or -1. Options: foCaseInsensitive; foNoPartialCompare (else texts
  // compare over the given value's length). Conditions on fields with an automatic index are
  // answered through it, driven by the most selective one; the others by testing records.
  // Raises as Locate.
  int32_t PrepareAndLocate(const std::string& KeyFields, const TValue& KeyValues, TFilterOptions Options,
                           uint8_t Operation);
  // The key buffer := Values for the first Values.size() key fields of the current index (state
  // dsSetKey for the time of it); raises the field's conversion errors and GetIndexField's.
  void SetKeyFields(const std::vector<TValue>& Values);
  // SetKeyFields and GotoKey: the cursor on the first record with that key, else on the first
  // record above it, else on the last record; an empty view leaves the cursor.
  void FindKey(const std::vector<TValue>& Values);
  // Positions on the key held in the key buffer, as FindKey; AfterScroll when it moved.
  void GotoKey();
  // Binary search over index IndexNo's entries (FindInIndex) or the view (FindInView, the
  // current index) for the first position whose record is not ordered before Key (a record
  // buffer of the table) on the first KeyFieldCount key fields. -1 for an empty sequence. Past
  // the end: -1 when ExactOnly, else the last position. A record there whose key differs: -1
  // when ExactOnly, else that position. An equal key: the last position of the run of equal keys
  // reached from it towards the end (Forward) or the start. FindInIndex raises "Error in
  // TEdbDataSet.FindInIndex - index number "<IndexNo>" not found!".
  int32_t FindInIndex(const uint8_t* Key, int32_t IndexNo, bool ExactOnly, bool Forward, int32_t KeyFieldCount);
  int32_t FindInView(const uint8_t* Key, int32_t KeyFieldCount, bool ExactOnly, bool Forward);
  // Non-empty: the view keeps, of each run of records with equal values of these fields (a
  // field-name list), only the first visible one in the order of an index over exactly those
  // fields (made as a temporary index when the table has none); a run with no visible record is
  // left out. Setting it on an open table rebuilds the view. The rebuild raises EEdbException 32
  // "Distinct index not created. FTableName = '<TableName>', FDistinctFields = '<fields>'." when
  // no such index can be had.
  const std::string& DistinctFields() const { return FDistinctFields; }
  void SetDistinctFields(const std::string& Value);
  // Adds a temporary index (not saved; named "$_IDX_" and a number, returned in Name). Raises
  // "Error in TEdbDataset.CreateTemporaryIndex - table is not opened." and the table manager's
  // index messages.
  void CreateTemporaryIndex(const std::string& Fields, const std::string& DescFields, std::string& Name,
                            const std::string& CaseInsFields);

protected:
  // The FindFirst family: with a Filter text, the records of the view that the expression
  // accepts (compiled with whole-value comparisons unless FilterOptions asks for partial ones
  // or the text's value ends in "*"), found in view order from the first (Restart, GoForward),
  // the last (Restart, backward) or the last one found; the list is remade when the table
  // changed, from the record found last when it is still listed, else from the same position. Without a Filter text First, Last, Next or Prior.
  // Found() takes the result.
  bool FindRecord(bool Restart, bool GoForward) override;

  TRecordBufferPtr AllocRecordBuffer() override;
  int32_t GetRecordSize() override { return FRecordBufferSize; }
  // Raises "Error in TEdbDataSet.GetRecord - no table was opened." and, with DoCheck, for no
  // record at the cursor, "TEdbDataSet.GetRecord - No records".
  TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return FTableOpen; }
  void InternalInitFieldDefs() override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalInitRecord(TRecordBuffer Buffer) override;
  void InternalSetToRecord(TRecordBuffer Buffer) override;
  // Raises "Error in TEdbDataSet.InternalGoToBookmark - 0 pointer Bookmark".
  void InternalGotoBookmark(const uint8_t* Bookmark) override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) override;
  void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override;
  void GetBookmarkData(TRecordBuffer Buffer, uint8_t* Data) override;
  void SetBookmarkData(TRecordBuffer Buffer, const uint8_t* Data) override;
  // Raises "Error in TEdbDataSet.InternalPost - table is read only.", "... - table is not
  // open.", "... - invalid state.", "... - 0 pointer to buffer.", "... - record not found, ID =
  // <id>." (the edited record was deleted elsewhere) and the key violation (CheckKeyViolation).
  // Nothing is written when it raises before the table manager is called.
  void InternalPost() override;
  // Raises "Error in TEdbDataSet.InternalDelete - table is read only.", "... - table is not
  // open.", "... - no records in table.".
  void InternalDelete() override;
  // Raises "Error in TEdbDataSet.InternalAddRecord - 0 pointer to Buffer.", "... - table is read
  // only." and the key violation.
  void InternalAddRecord(TRecordBuffer Buffer, bool Append) override;
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalCancel() override;
  void InternalRefresh() override;
  void ClearCalcFields(TRecordBuffer Buffer) override;
  bool GetCanModify() override { return !FReadOnly; }
  // Raises "Error in TEdbDataSet.GetRecNo - no table was opened.".
  int32_t GetRecNo() override;
  // Raises "Error in TEdbDataSet.GetRecordCount - no table was opened.".
  int32_t GetRecordCount() override;

  // ---- For the components built on the dataset --------------------------------------------
  // The index definitions a new table is created with (IndexDefs).
  TIndexDefs& MutableIndexDefs() { return FIndexDefs; }
  // Fill IndexDefs from the table at open.
  void SetBuildIndexDefsOnOpen(bool Value) { FBuildIndexDefsOnOpen = Value; }
  // Close and open the dataset without connecting or disconnecting the table.
  bool KeepTableOpen() const { return FKeepTableOpen; }
  void SetKeepTableOpen(bool Value) { FKeepTableOpen = Value; }
  // IndexDefs rebuilt from the table (connected for the time of it when closed).
  void RebuildIndexDefs();
  // Index 0 as the current index with the view rebuilt (and, when active, the buffers refetched).
  void ResetToFirstIndex();
  // Index IndexNo (an index of the open table) as the current one, as ResetToFirstIndex.
  void SelectIndex(int32_t IndexNo) {
    FCurrentIndexNo = IndexNo;
    FIndexChosen = true;
    ViewOrderChanged();
  }
  // After the current index changed: view, current buffer and window.
  void ViewOrderChanged();
  // The view counts as current for the table's present ChangeCount.
  void MarkViewCurrent() { FViewChangeCount = FDataManager->TableHeader().ChangeCount; }
  // A restriction of the view beside the filter (a detail table's master condition): the records
  // it admits as a bit set over physical record numbers, evaluated when the view is made current
  // (null: no restriction, the default), and whether it admits one stored record image. The set
  // stays valid until the next call.
  virtual const TBitsArray* RestrictionBits() { return nullptr; }
  virtual bool RestrictionAccepts(const uint8_t* Record) {
    (void)Record;
    return true;
  }

private:
  // The table field number of a dataset field (the table's field count for the record-ID field).
  int32_t TableFieldNo(const TField& Field) const;
  // The dataset field showing table field FieldNo (-1: the record-ID field), or null.
  TField* FieldOfTableField(int32_t FieldNo);
  // The cursor at Position (clamped to -1 .. ViewCount), remembering the ID of its record.
  void SetCursor(int32_t Position);
  // The cursor at view position Position, whose record's stored image is Record.
  void SetCursorTo(int32_t Position, const uint8_t* Record);
  // The cursor in the gap where a record with the stored image Record (not in the view) would
  // be in the current order.
  void SetCursorToGap(const uint8_t* Record);
  // The first view position whose record's key is not below the key of the stored image Record.
  int32_t LowerBoundByKey(const uint8_t* Record);
  // GetPositionByRecordID on a current view.
  int32_t PositionOfID(int32_t RecordID);
  int32_t RecordIDOf(int32_t PhysRecNo);
  // The physical record number of the record with ID RecordID, or -1.
  int32_t PhysRecNoOfID(int32_t RecordID);
  static int32_t BufferID(const uint8_t* Buffer, int32_t RecordSize);
  // A walk that fetched view position Position and goes on by Step (1 or -1): the records some
  // positions further on are asked for ahead of their fetch (a hint only: nothing changes).
  void PrefetchAhead(int32_t Position, int32_t Step);
  // Filters: the filter parser compiled for Filter and FilterOptions (when they changed since).
  void CompileFilter();
  // Filter, FilterOptions and Filtered := the values given, applied as SetFilter describes.
  void ChangeFilter(const std::string& Text, toolkit::TFilterOptions Options, bool Filtered);
  // OnFilterRecord's verdict on the fetched record in Buffer (true without a handler).
  bool AcceptedByHandler(TRecordBuffer Buffer);
  // The find list remade from the view and the Filter text.
  void MakeFindList();
  // PrepareAndLocate, with the view position of the record found (-1 for none).
  int32_t PrepareAndLocate(const std::string& KeyFields, const TValue& KeyValues, TFilterOptions Options,
                           uint8_t Operation, int32_t& Position);
  // Locating: the conditions' first visible match in view order and its view position, or -1.
  int32_t LocateConditions(const std::vector<TSearchOperation>& Conditions, TFilterOptions Options,
                           int32_t& Position);
  // The automatic index whose own order answers Condition (whole-value equality with the index's
  // case rule), built; -1 when there is none. Type and CaseInsensitive: how the condition compares.
  int32_t WholeValueIndex(const TSearchOperation& Condition, toolkit::TFieldType Type, bool CaseInsensitive);
  // Whether OnFilterRecord (when Filtered) accepts the record with image Record.
  bool FilterHandlerAccepts(const uint8_t* Record);
  // A fresh record buffer holding the record with image Record, its bookmark and calculated fields.
  TRecordBufferPtr RecordBufferOf(const uint8_t* Record);
  // The view of the distinct reduction over the current index: of the records Visible marks (all
  // when null), the first of each run of equal DistinctFields values.
  std::unique_ptr<TEdbView> MakeDistinctView(const TBitsArray* Visible);
  // Editing (TEdbDatasetEdit.cpp).
  // PositionOfID, answered from the cursor when it stands on that record.
  int32_t CursorPositionOfID(int32_t RecordID);
  // Raises the toolkit's database error "<Call> - key violation." CR LF "Table name = "<T>"."
  // CR LF "Unique index name = "<I>"." when a unique index holds a record with Record's key
  // other than the one of ID SelfID (0: Record is a new record, every holder collides).
  void CheckKeyViolation(const uint8_t* Record, int32_t SelfID, const char* Call);
  // Stores a new record (the active buffer of an insert or a ready record): its BLOB header
  // group, its streams' values, the record; the cursor goes to it when the view shows it.
  void PostNewRecord(uint8_t* Record, const char* Call);
  void PostEditedRecord(uint8_t* Record);
  // Writes the value of every field that has a stream to record RecNo and sets the field's null
  // flag in Record from it.
  void WriteBlobStreams(uint8_t* Record, int32_t RecNo);
  void FreeBlobStreams();
  // After this dataset stored record PhysRecNo (whose view position was FormerPos, -1 for a new
  // record): the view current, the cursor on that record when the view shows it.
  void CursorToChanged(int32_t PhysRecNo, int32_t FormerPos);
  // Automatic flushing on again after a change, flushing when due. A failure there comes after
  // the change was made: the dataset returns to dsBrowse showing it, then the error goes on.
  void EndChange();
  // The buffer's field k is a BLOB field whose value was cleared: its stream becomes empty.
  void BlobFieldCleared(int32_t FieldNo);

  storage::TEdbDatabase* FDatabase = nullptr;
  storage::TEdbDatabaseManager* FDatabaseManager = nullptr;
  storage::TEdbDataManager* FDataManager = nullptr;
  std::string FDatabaseName;
  std::string FDatabaseFileName;
  std::string FTableName;
  std::string FPassword;
  bool FInMemory = false;
  bool FTemporary = false;
  bool FReadOnly = false;
  bool FEncrypted = false;
  bool FOneRecordPages = false;
  int32_t FRecordsPerPage = -1;
  uint8_t FBLOBCompression = 0;
  int32_t FBLOBBlockSize = 512;
  bool FKeepTableOpen = false;
  bool FFieldMapActive = false;
  std::vector<int32_t> FFieldMap;
  std::vector<std::string> FMapFieldNames;
  std::vector<std::string> FMapAliasNames;

  bool FTableOpen = false;
  int32_t FRecordSize = 0;        // the table's RecordSize
  int32_t FRecordBufferSize = 0;  // RecordSize + 8 + CalcFieldsSize
  std::vector<uint8_t> FBlankRecord;  // zero, every null flag set

  TIndexDefs FIndexDefs;
  TIndexDefs FVisibleIndexDefs;
  bool FBuildIndexDefsOnOpen = true;
  std::string FIndexName;
  std::string FIndexFieldNames;
  bool FIndexChosen = false;
  int32_t FCurrentIndexNo = 0;

  std::unique_ptr<TEdbView> FView;
  bool FViewBuilt = false;
  int32_t FViewChangeCount = 0;
  int32_t FCurrentPos = -1;
  // The cursor's record: its ID, valid while FCurrentPos is a view position.
  int32_t FCurrentID = 0;
  bool FCurrentIDValid = false;
  // The cursor is after the last record (it follows the view's end when records come or go).
  bool FAtEnd = false;
  // The cursor's record left the view: the cursor stands where that record's key would be,
  // before position FCurrentPos (the next record is at FCurrentPos, the prior one before it).
  bool FCursorGap = false;
  // The stored image of the cursor's record (valid on a record and in a gap), whose key places
  // the gap when the record goes.
  std::vector<uint8_t> FCursorRecord;
  bool FInsertPending = false;
  bool FRefreshingCurrent = false;

  TRecordBufferPtr FKeyBuffer;
  int32_t FKeyFieldCount = 0;
  std::string FDistinctFields;
  TRecordBuffer FFilterBuffer = nullptr;

  // Filters and the FindFirst family.
  TSearchParser FFilterParser;
  TSearchParser FFindParser;
  std::vector<int32_t> FFindList;  // physical record numbers in view order
  int32_t FFindPos = -1;
  int32_t FFindID = 0;             // the record found last
  int32_t FFindChangeCount = 0;    // the table's ChangeCount when FFindList was made
  // The BLOB streams of the current record: one entry per table field (tables with BLOB fields),
  // the stream or none and the mode it was made with; FBlobRecordID names the record they hold
  // values of.
  struct TBlobEntry {
    std::unique_ptr<toolkit::TMemoryStream> Stream;
    toolkit::TBlobStreamMode Mode = toolkit::bmRead;
  };
  std::vector<TBlobEntry> FBlobStreams;
  int32_t FBlobRecordID = 0;
  TRecordBufferPtr FBulkBuffer;
  bool FBulkInsertActive = false;
};

}  // namespace tesvar::dataset
