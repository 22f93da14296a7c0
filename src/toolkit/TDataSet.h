#pragma once
// TDataSet: the generic dataset. It owns the dataset's state, a window of record buffers around
// the current record, the field objects, the data sources bound to it and the Before/After events
// of its verbs; a derived dataset supplies the record source through the protected Internal*
// hooks, which the verbs call.
//
// States. dsInactive (closed), dsBrowse (open, reading), dsEdit (changing the current record),
// dsInsert (a new record not yet posted), dsSetKey (filling a search key) are the states a program
// sees. dsCalcFields (OnCalcFields runs on a buffer), dsFilter (OnFilterRecord runs on a fetched
// buffer), dsNewValue, dsOldValue, dsCurValue, dsBlockRead and dsInternalCalc are temporary states
// a derived dataset may enter with SetTempState; dsOpening lasts while Open runs. Open needs
// dsInactive; navigation and Edit/Insert/Append/Delete need an open dataset ("Cannot perform this
// operation on a closed dataset") and first leave dsEdit/dsInsert through CheckBrowseMode (post
// when modified, else cancel); Post needs dsEdit or dsInsert ("Dataset not in edit or insert
// mode").
//
// The window. The dataset keeps BufferCount record buffers (at least 1; the largest BufferCount of
// the data links bound to it) plus one spare. The first BufferedRecordCount buffers hold
// consecutive records in dataset order; ActiveRecord is the index of the current record among
// them. CurrentRecord is the buffer whose record the derived dataset's cursor is on (-1 unknown):
// before it fetches the record after (before) the window the dataset puts the cursor on the last
// (first) buffer's record with InternalSetToRecord, InternalFirst or InternalLast as that buffer's
// bookmark flag says. After InternalPost, InternalCancel, InternalDelete and InternalAddRecord the
// cursor is where the operation left it: CurrentRecord is -1 and the window is refetched around
// the cursor (Resync).
//
// Bof / Eof. First sets Bof and Last sets Eof; a move that cannot go on sets Eof (forward) or Bof
// (backward) without moving, and any successful move, and a move to an exact record (bookmark,
// record number: Resync with rmExact), clears both. An empty open dataset is at both. Next when
// Eof, and Prior when Bof, do nothing.
//
// Events. Each verb fires its Before event before it changes anything (a handler stops the verb by
// raising, e.g. with Abort) and its After event when done; the order of every verb is written at
// its declaration. An exception from InternalPost, InternalDelete or InternalEdit is offered first
// to OnPostError / OnDeleteError / OnEditError, which may ask to fail (the default), abort
// (EAbort) or retry.
//
// Notifications to data sources (TDataSource.h) are held while controls are disabled
// (DisableControls, nestable); EnableControls at the outermost level reports a state change and
// then one "data set changed" (or "layout changed" after a close) when any notification was held.
// Requests to write pending edits (deUpdateRecord) and to leave edit mode (deCheckBrowseMode) are
// never held.
//
// Fields. Fields the program adds before opening (AddField) are persistent; without them the
// dataset makes default fields from the field definitions at open and frees them at close. A
// derived dataset's InternalOpen calls InternalInitFieldDefs, CreateFields when DefaultFields(),
// and BindFields(true); its InternalClose calls BindFields(false) and DestroyFields when
// DefaultFields().
//
// A derived dataset closes itself in its destructor (CloseForDestroy): the hooks cannot run from
// the base destructor.
//
// Single-threaded.

#include "toolkit/FieldType.h"
#include "toolkit/TField.h"
#include "toolkit/TFieldDefs.h"
#include "toolkit/TFields.h"
#include "toolkit/TSet.h"
#include "toolkit/TStream.h"
#include "toolkit/TValue.h"

#include "platform/Exception.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::toolkit {

class TDataSource;
class TDataLink;

enum TDataSetState : uint8_t {
  dsInactive = 0,
  dsBrowse = 1,
  dsEdit = 2,
  dsInsert = 3,
  dsSetKey = 4,
  dsCalcFields = 5,
  dsFilter = 6,
  dsNewValue = 7,
  dsOldValue = 8,
  dsCurValue = 9,
  dsBlockRead = 10,
  dsInternalCalc = 11,
  dsOpening = 12,
};

// What GetRecord fetches: the record at the cursor, the one after it, the one before it.
enum TGetMode : uint8_t { gmCurrent = 0, gmNext = 1, gmPrior = 2 };
// GetRecord's answer: a record, none before / after the cursor, none at the cursor.
enum TGetResult : uint8_t { grOK = 0, grBOF = 1, grEOF = 2, grError = 3 };
// What a record buffer stands for: a fetched record, the position before the first / after the
// last record, a new record (whose bookmark data names the record it was inserted before).
enum TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };

enum TResyncModeItem : uint8_t { rmExact = 0, rmCenter = 1 };
using TResyncMode = TSet<TResyncModeItem>;

// Notifications from a dataset to its data sources and their data links.
enum TDataEvent : uint8_t {
  deFieldChange = 0,      // a field's value changed (Field given)
  deRecordChange = 1,     // the current record changed as a whole
  deDataSetChange = 2,    // the window's records changed
  deDataSetScroll = 3,    // the window moved (Distance: by how many positions its records shifted)
  deLayoutChange = 4,     // the fields or their order changed
  deUpdateRecord = 5,     // write pending edits of the controls into the record
  deUpdateState = 6,      // the state changed
  deCheckBrowseMode = 7,  // the dataset leaves edit mode or moves
  deFocusControl = 8,     // focus the control of a field (handled by TField::FocusControl)
};

enum TDataAction : uint8_t { daFail = 0, daAbort = 1, daRetry = 2 };

enum TLocateOption : uint8_t { loCaseInsensitive = 0, loPartialKey = 1 };
using TLocateOptions = TSet<TLocateOption>;

// Stored as one byte: bit 0 foCaseInsensitive, bit 1 foNoPartialCompare.
enum TFilterOption : uint8_t { foCaseInsensitive = 0, foNoPartialCompare = 1 };
using TFilterOptions = TSet<TFilterOption>;

enum TBlobStreamMode : uint8_t { bmRead = 0, bmWrite = 1, bmReadWrite = 2 };

// A bookmark: BookmarkSize bytes naming a record; empty = none.
using TBookmark = std::vector<uint8_t>;
// A record buffer as the hooks see it (non-owning); the window owns its buffers.
using TRecordBuffer = uint8_t*;
using TRecordBufferPtr = std::unique_ptr<uint8_t[]>;

class TDataSet {
public:
  using TDataSetNotifyEvent = std::function<void(TDataSet& DataSet)>;
  using TDataSetErrorEvent = std::function<void(TDataSet& DataSet, const Exception& E, TDataAction& Action)>;
  using TFilterRecordEvent = std::function<void(TDataSet& DataSet, bool& Accept)>;

  TDataSet();
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  // The component's name; messages of the dataset start with it and ": " when it is set.
  const std::string& Name() const { return FName; }
  void SetName(std::string Value) { FName = std::move(Value); }

  // ---- Open and close -----------------------------------------------------------------------
  bool Active() const { return FState != dsInactive && FState != dsOpening; }
  void SetActive(bool Value);
  // BeforeOpen; InternalOpen; the window is filled from the first record; state dsBrowse, Bof;
  // AfterOpen, and AfterScroll when there is a record. A failure closes the cursor again
  // (InternalClose) and leaves the dataset closed.
  void Open() { SetActive(true); }
  // BeforeClose; in dsEdit / dsInsert InternalCancel drops the pending edit; state dsInactive;
  // the window is freed; InternalClose; AfterClose. Nothing when closed.
  void Close() { SetActive(false); }
  TDataSetState State() const { return FState; }
  // A field of the record being edited or inserted changed since Edit / Insert.
  bool Modified() const { return FModified; }
  bool Bof() const { return FBOF; }
  bool Eof() const { return FEOF; }
  // Open and without a record in the window.
  bool IsEmpty() const { return FRecordCount == 0; }
  bool CanModify() { return GetCanModify(); }
  // The last FindFirst / FindNext / FindPrior / FindLast found a record.
  bool Found() const { return FFound; }

  // ---- Navigation (each: CheckBrowseMode first) ---------------------------------------------
  // BeforeScroll; InternalFirst and the window from the first record; Bof; AfterScroll.
  void First();
  // BeforeScroll; InternalLast and the window up to the last record; Eof; AfterScroll.
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // BeforeScroll; moves up to |Distance| records (forward for positive); AfterScroll unless
  // nothing could be tried (Eof forward, Bof backward). Returns the distance moved (negative
  // backward).
  int32_t MoveBy(int32_t Distance);
  // 1-based number of the current record, as the derived dataset counts it (GetRecNo; -1 when it
  // does not number records). Setting moves there (SetRecNo).
  int32_t RecNo() { return GetRecNo(); }
  virtual void SetRecNo(int32_t Value);
  // Records of the dataset, as the derived dataset counts them (-1 when it does not).
  int32_t RecordCount() { return GetRecordCount(); }

  // ---- Editing --------------------------------------------------------------------------------
  // Nothing in dsEdit / dsInsert; an empty dataset inserts instead. CheckBrowseMode; the dataset
  // must allow changes ("Cannot modify a read-only dataset"); BeforeEdit; InternalEdit; the
  // calculated fields are computed; state dsEdit; AfterEdit.
  void Edit();
  // CheckBrowseMode; CanModify; BeforeInsert, BeforeScroll; InternalInsert; a new buffer at the
  // current record's place (Insert) or after the last record (Append, which refetches the window
  // up to the last record), made by InternalInitRecord; state dsInsert; DoOnNewRecord
  // (OnNewRecord); AfterInsert, AfterScroll. Modified is false after it. When OnNewRecord raises,
  // the new record is dropped and the dataset returns to dsBrowse on the record that was current.
  void Insert();
  void Append();
  // The controls write their pending edits (UpdateRecord); then, in dsEdit / dsInsert:
  // BeforePost; InternalPost (errors to OnPostError; a failure keeps dsEdit / dsInsert); state
  // dsBrowse; the window is refetched around the cursor; AfterPost. In dsSetKey it returns to
  // dsBrowse. Raises "Dataset not in edit or insert mode" in the other states.
  void Post();
  // In dsEdit / dsInsert: BeforeCancel (and BeforeScroll for an insert); InternalCancel; state
  // dsBrowse; the window is refetched around the record that was current; AfterCancel (and
  // AfterScroll). In dsSetKey it returns to dsBrowse; nothing in the other states.
  void Cancel();
  // In dsInsert and dsSetKey: Cancel. Else on an empty dataset "Cannot perform this operation on
  // an empty dataset"; BeforeDelete, BeforeScroll; InternalDelete (errors to OnDeleteError);
  // state dsBrowse; the window is refetched around the cursor; AfterDelete, AfterScroll.
  void Delete();
  // A ready record: BeforeInsert, BeforeScroll; a new buffer; state dsInsert; OnNewRecord;
  // AfterInsert; Values are assigned to Fields[0], Fields[1] ... in order (SetFields); BeforePost;
  // InternalAddRecord; state dsBrowse; the window is refetched around the cursor; AfterPost,
  // AfterScroll. On a failure the new record is dropped, the dataset returns to dsBrowse around
  // the former current record and the exception passes on.
  void AppendRecord(const std::vector<TValue>& Values);
  void InsertRecord(const std::vector<TValue>& Values);
  // In dsEdit / dsInsert: assigns Values[i] to Fields[i] (Null clears); fewer values leave the
  // other fields alone, more raise "List index out of bounds".
  void SetFields(const std::vector<TValue>& Values);
  // In dsEdit / dsInsert / dsSetKey: the current buffer is initialised again (all fields NULL).
  void ClearFields();
  // CheckBrowseMode; BeforeRefresh; InternalRefresh; the window is refetched around the current
  // record; AfterRefresh.
  void Refresh();
  // Refetches the window around the record at the cursor. rmExact: that record must exist
  // ("Record not found", or the error GetRecord raises with DoCheck); without it the record after,
  // else before, the cursor is taken when the cursor's record is gone, and the window is emptied
  // when there is none (Bof and Eof set). rmExact also clears Bof and Eof. rmCenter puts the
  // record in the middle of the window, else at its former window position as far as records
  // allow. Sends "data set changed".
  void Resync(TResyncMode Mode);
  // Open ("Cannot perform this operation on a closed dataset"); the data links leave edit mode;
  // in dsEdit / dsInsert posts when Modified, else cancels; in dsSetKey posts.
  void CheckBrowseMode();
  // In dsEdit / dsInsert / dsSetKey the controls write their pending edits (deUpdateRecord); else
  // "Dataset not in edit or insert mode".
  void UpdateRecord();
  // Raise "Cannot perform this operation on a closed / an open dataset".
  void CheckActive() const;
  void CheckInactive() const;
  // Puts the derived dataset's cursor on the current record (SetCurrentRecord(ActiveRecord)).
  void UpdateCursorPos();
  // Forgets which buffer the cursor is on.
  void CursorPosChanged() { FCurrentRecord = -1; }

  // ---- Bookmarks -------------------------------------------------------------------------------
  // The current record's bookmark; empty when there is none (closed, empty, or a new record).
  TBookmark Bookmark();
  TBookmark GetBookmark() { return Bookmark(); }
  // CheckBrowseMode; BeforeScroll; InternalGotoBookmark; the window is refetched with the record
  // in its middle (it must exist: "Record not found"); AfterScroll. An empty bookmark does nothing.
  void SetBookmark(const TBookmark& Value) { GotoBookmark(Value); }
  void GotoBookmark(const TBookmark& Value);
  bool BookmarkAvailable();
  int32_t BookmarkSize() const { return FBookmarkSize; }
  // Whether the bookmark still names a record (default: false).
  virtual bool BookmarkValid(const TBookmark& Bookmark);
  // < 0, 0, > 0 as B1's record comes before, is, or comes after B2's (default: 0).
  virtual int32_t CompareBookmarks(const TBookmark& B1, const TBookmark& B2);

  // ---- Searching (derived datasets implement; defaults find nothing) -------------------------
  // Moves to the first record whose KeyFields (a field-name list) equal KeyValues (one value, or
  // an array with one value per field); false, without moving, when there is none.
  virtual bool Locate(const std::string& KeyFields, const TValue& KeyValues, TLocateOptions Options);
  // The ResultFields values of the first record matching, without moving; Null when none.
  virtual TValue Lookup(const std::string& KeyFields, const TValue& KeyValues, const std::string& ResultFields);
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }

  // ---- Fields ---------------------------------------------------------------------------------
  TFields& Fields() { return FFields; }
  const TFields& Fields() const { return FFields; }
  int32_t FieldCount() const { return FFields.Count(); }
  // Case-insensitive by name. FieldByName raises "<Name>: Field 'X' not found".
  TField* FindField(std::string_view FieldName) const { return FFields.FindField(FieldName); }
  TField& FieldByName(std::string_view FieldName) const { return FFields.FieldByName(FieldName); }
  TValue FieldValues(std::string_view FieldName) const { return FieldByName(FieldName).Value(); }
  void SetFieldValues(std::string_view FieldName, const TValue& Value) { FieldByName(FieldName).SetValue(Value); }
  // Adds a persistent field (closed dataset only; "Duplicate field name 'X'" for a name in use);
  // the dataset owns it from now on and returns it.
  TField& AddField(std::unique_ptr<TField> Field);
  // Frees every field (closed dataset only).
  void DeleteFields();
  // The field definitions: filled by InternalInitFieldDefs; a program may fill them to describe a
  // table to create.
  TFieldDefs& FieldDefs() { return FFieldDefs; }
  const TFieldDefs& FieldDefs() const { return FFieldDefs; }
  // Fills FieldDefs from the record source (InternalInitFieldDefs) without opening.
  void UpdateFieldDefs() { InternalInitFieldDefs(); }
  // Whether the fields were made from the definitions at open (they go at close).
  bool DefaultFields() const { return FDefaultFields; }
  // Recompute calculated fields whenever a data field changes during editing (default true).
  bool AutoCalcFields() const { return FAutoCalcFields; }
  void SetAutoCalcFields(bool Value) { FAutoCalcFields = Value; }

  // ---- Record access for the fields ---------------------------------------------------------
  // Copies the native value (TField.h) of Field in the record the state works on into Buffer, and
  // returns whether it has one (Buffer null: only whether). False when there is no such record.
  virtual bool GetFieldData(TField& Field, void* Buffer) = 0;
  // Writes the native value (Buffer null: NULL) into the record the state works on. An
  // implementation runs Field.Validate(Buffer) first and, for a data field outside the
  // temporary states, notifies DataEvent(deFieldChange, &Field) after.
  virtual void SetFieldData(TField& Field, const void* Buffer) = 0;
  // A stream over the BLOB value of Field in the current record (read, write: emptied first,
  // read-write); null when the dataset keeps no BLOB values. The caller owns the stream.
  virtual std::unique_ptr<TStream> CreateBlobStream(TField& Field, TBlobStreamMode Mode);
  // Called when a BLOB stream of Field is destroyed (default: nothing).
  virtual void CloseBlob(TField& Field);

  // ---- Filters ----------------------------------------------------------------------------------
  // Stored; they act as the derived dataset decides (SetFiltered, its fetches).
  const std::string& Filter() const { return FFilterText; }
  virtual void SetFilter(const std::string& Value) { FFilterText = Value; }
  TFilterOptions FilterOptions() const { return FFilterOptions; }
  virtual void SetFilterOptions(TFilterOptions Value) { FFilterOptions = Value; }
  bool Filtered() const { return FFiltered; }
  virtual void SetFiltered(bool Value) { FFiltered = Value; }

  // ---- Data-aware controls ---------------------------------------------------------------------
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return FDisableCount > 0; }
  // The data source this dataset takes its master values from (none by default); used to refuse
  // circular links.
  virtual TDataSource* GetDataSource() const { return nullptr; }
  // Whether DataSource leads back to this dataset through the master data sources.
  bool IsLinkedTo(const TDataSource* DataSource) const;
  // Whether the dataset is being destroyed (events of Close are not fired then).
  bool Destroying() const { return FDestroying; }

  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
  TDataSetNotifyEvent OnCalcFields, OnNewRecord;
  TFilterRecordEvent OnFilterRecord;
  TDataSetErrorEvent OnPostError, OnEditError, OnDeleteError;

protected:
  // ---- The record source (derived datasets) -----------------------------------------------
  // A zero-filled record buffer of the dataset's buffer size, allocated with new[].
  virtual TRecordBufferPtr AllocRecordBuffer() = 0;
  // Frees a buffer and clears the reference (nothing for an empty one).
  virtual void FreeRecordBuffer(TRecordBufferPtr& Buffer) { Buffer.reset(); }
  // Bytes of a record buffer (informational).
  virtual int32_t GetRecordSize() { return 0; }
  // Fetches into Buffer the record GetMode names relative to the cursor and moves the cursor
  // there; grBOF / grEOF when there is none before / after (the cursor stays at that end),
  // grError when there is none at the cursor (DoCheck: raise instead). A fetched buffer carries
  // the record's bookmark data, flag bfCurrent and its computed calculated fields
  // (GetCalcFields). A derived dataset that filters skips the records DoFilterRecord rejects
  // (Filtered set). While Open fills the first window the state is dsOpening (Active() false).
  virtual TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) = 0;
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  // Fills FieldDefs.
  virtual void InternalInitFieldDefs() = 0;
  // Cursor before the first / after the last record.
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  // Makes Buffer a new record (every field NULL).
  virtual void InternalInitRecord(TRecordBuffer Buffer) = 0;
  // Cursor onto the record of Buffer (its bookmark data).
  virtual void InternalSetToRecord(TRecordBuffer Buffer) = 0;
  // Cursor onto the record a bookmark names (null: none).
  virtual void InternalGotoBookmark(const uint8_t* Bookmark) = 0;
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) = 0;
  virtual void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) = 0;
  // Copy BookmarkSize bytes between Buffer's bookmark data and Data.
  virtual void GetBookmarkData(TRecordBuffer Buffer, uint8_t* Data) = 0;
  virtual void SetBookmarkData(TRecordBuffer Buffer, const uint8_t* Data) = 0;
  // Stores the active buffer: overwrites the cursor's record in dsEdit, adds a new record in
  // dsInsert (after the last record when the buffer's flag is bfEOF); leaves the cursor on the
  // stored record. The default checks the required fields only (CheckRequiredFields).
  virtual void InternalPost();
  // Removes the cursor's record; the cursor goes to the record that followed (or preceded).
  virtual void InternalDelete() = 0;
  // Stores Buffer as a new record (Append: after the last record) and leaves the cursor on it.
  virtual void InternalAddRecord(TRecordBuffer Buffer, bool Append) = 0;
  virtual void InternalCancel() {}
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalRefresh() {}
  // Hands an exception the dataset cannot raise (destruction) to the program's handler
  // (HandleException).
  virtual void InternalHandleException(const std::exception& E);
  // Zeroes Buffer's calculated-field area.
  virtual void ClearCalcFields(TRecordBuffer Buffer) { (void)Buffer; }
  virtual bool GetCanModify() { return true; }
  virtual int32_t GetRecNo() { return -1; }
  virtual int32_t GetRecordCount() { return -1; }
  // The FindFirst family; the default finds nothing.
  virtual bool FindRecord(bool Restart, bool GoForward);

  // ---- Events -----------------------------------------------------------------------------------
  virtual void DoBeforeOpen() { Fire(BeforeOpen); }
  virtual void DoAfterOpen() { Fire(AfterOpen); }
  virtual void DoBeforeClose() { Fire(BeforeClose); }
  virtual void DoAfterClose() { Fire(AfterClose); }
  virtual void DoBeforeInsert() { Fire(BeforeInsert); }
  virtual void DoAfterInsert() { Fire(AfterInsert); }
  virtual void DoBeforeEdit() { Fire(BeforeEdit); }
  virtual void DoAfterEdit() { Fire(AfterEdit); }
  virtual void DoBeforePost() { Fire(BeforePost); }
  virtual void DoAfterPost() { Fire(AfterPost); }
  virtual void DoBeforeCancel() { Fire(BeforeCancel); }
  virtual void DoAfterCancel() { Fire(AfterCancel); }
  virtual void DoBeforeDelete() { Fire(BeforeDelete); }
  virtual void DoAfterDelete() { Fire(AfterDelete); }
  virtual void DoBeforeScroll() { Fire(BeforeScroll); }
  virtual void DoAfterScroll() { Fire(AfterScroll); }
  virtual void DoBeforeRefresh() { Fire(BeforeRefresh); }
  virtual void DoAfterRefresh() { Fire(AfterRefresh); }
  virtual void DoOnNewRecord() { Fire(OnNewRecord); }
  virtual void DoOnCalcFields() { Fire(OnCalcFields); }
  // Asks OnFilterRecord whether the record the derived dataset offers in dsFilter (its choice of
  // buffer) is accepted; true without a handler. The state is dsFilter while the handler runs and
  // is restored after, also when the handler raises.
  bool DoFilterRecord();

  // Notifies the data sources (held while controls are disabled, see above) after the dataset's
  // own handling: a data field's change marks the record Modified, recomputes the calculated
  // fields (AutoCalcFields, while editing) and runs the field's OnChange.
  virtual void DataEvent(TDataEvent Event, TField* Field = nullptr, int32_t Distance = 0);
  // State changes with notification; Modified becomes false.
  void SetState(TDataSetState Value);
  // A temporary state for a handler or calculation (no notification); returns the state to give
  // back to RestoreState.
  TDataSetState SetTempState(TDataSetState Value);
  void RestoreState(TDataSetState Value);
  void SetModified(bool Value) { FModified = Value; }
  void SetFound(bool Value) { FFound = Value; }
  void SetBookmarkSize(int32_t Value) { FBookmarkSize = Value; }

  // ---- The window -------------------------------------------------------------------------------
  int32_t BufferCount() const { return FBufferCount; }
  // Buffers holding records (0 .. BufferCount).
  int32_t BufferedRecordCount() const { return FRecordCount; }
  int32_t ActiveRecord() const { return FActiveRecord; }
  int32_t CurrentRecord() const { return FCurrentRecord; }
  // Buffer Index of the window (0 .. BufferCount, the last being the spare); null when closed.
  TRecordBuffer Buffers(int32_t Index) const;
  // The current record's buffer; null when the window holds none.
  TRecordBuffer ActiveBuffer() const;
  // The buffer being calculated during dsCalcFields.
  TRecordBuffer CalcBuffer() const { return FCalcBuffer; }
  // Puts the cursor on buffer Index's record as its flag says (no-op when it is there already).
  void SetCurrentRecord(int32_t Index);

  // ---- Fields ---------------------------------------------------------------------------------
  // Default fields from FieldDefs, numbered by definition (FieldNo = position + 1); "Field 'X' is
  // of an unknown type" for a type without a field class.
  void CreateFields();
  void DestroyFields();
  // Binding: each data field to the definition of its name ("Field 'X' not found", "Type mismatch
  // for field 'X', expecting: Integer actual: String", "Size mismatch ..."), each calculated
  // field to its place in the calculated-field area (CalcFieldsSize). Unbinding clears both.
  void BindFields(bool Binding);
  // Bytes of the calculated-field area: per calculated field one flag byte and DataSize bytes.
  int32_t CalcFieldsSize() const { return FCalcFieldsSize; }
  // Computes the calculated fields of Buffer (ClearCalcFields, then OnCalcFields in dsCalcFields);
  // nothing when there are none.
  void GetCalcFields(TRecordBuffer Buffer);
  // "Field 'X' must have a value" for the first required, writable data field that is NULL.
  void CheckRequiredFields();
  // A calculated field's value in a calculated-field area laid out by BindFields (flag byte, then
  // DataSize bytes); the read answers whether there is one.
  static bool GetCalcFieldData(const uint8_t* CalcArea, const TField& Field, void* Buffer);
  static void SetCalcFieldData(uint8_t* CalcArea, const TField& Field, const void* Buffer);

  // Closes without Before/After events, handing errors to InternalHandleException; for the
  // destructor of a derived dataset.
  void CloseForDestroy() noexcept;

private:
  friend class TField;
  friend class TDataSource;
  friend class TDataLink;

  void Fire(const TDataSetNotifyEvent& Event) {
    if (Event) Event(*this);
  }

  // The checks a field write passes before SetFieldData.
  void CheckFieldWrite(const TField& Field) const;
  void CheckCanModify();
  void CheckOperation(void (TDataSet::*Operation)(), const TDataSetErrorEvent& ErrorEvent);
  void FocusControlOf(TField& Field);

  void OpenCursor();
  void CloseCursor();
  void SetBufListSize(int32_t Count);
  void SetBufferCount(int32_t Value);
  void UpdateBufferCount();
  void ClearBuffers();
  void ActivateBuffers();
  bool GetNextRecord();
  bool GetPriorRecord();
  int32_t GetNextRecords();
  int32_t GetPriorRecords();
  // Ends an insert that could not be completed: the new buffer leaves the window, which is
  // refetched around Former (when it names a record) or where the new record was to go.
  void DropInsertedBuffer(const TBookmark& Former) noexcept;
  // First (Last false) or Last.
  void MoveToEnd(bool Last);
  void InitRecord(TRecordBuffer Buffer);
  // Insert (Append false) or Append.
  void InsertAppend(bool Append);
  void BeginInsertAppend();
  // Former: the bookmark of the record that was current before the insert (empty: none).
  void EndInsertAppend(const TBookmark& Former);
  void InsertBuffer(bool Append);
  void AddRecord(const std::vector<TValue>& Values, bool Append);
  // Finishes Post / Cancel / Delete / AddRecord: state dsBrowse, cursor as the operation left it,
  // window refetched.
  void ReturnToBrowse();
  void AddDataSource(TDataSource* DataSource);
  void RemoveDataSource(TDataSource* DataSource);
  void SetActiveRecord(int32_t Value) { FActiveRecord = Value; }

  std::string FName;
  TDataSetState FState = dsInactive;
  bool FModified = false;
  bool FBOF = true;
  bool FEOF = true;
  bool FFound = false;
  bool FDefaultFields = false;
  bool FAutoCalcFields = true;
  bool FDestroying = false;
  bool FFiltered = false;
  std::string FFilterText;
  TFilterOptions FFilterOptions;
  int32_t FBookmarkSize = 0;

  std::vector<TRecordBufferPtr> FBuffers;
  int32_t FBufferCount = 0;
  int32_t FRecordCount = 0;
  int32_t FActiveRecord = 0;
  int32_t FCurrentRecord = -1;
  TRecordBuffer FCalcBuffer = nullptr;
  int32_t FCalcFieldsSize = 0;

  TFields FFields;
  TFieldDefs FFieldDefs;

  std::vector<TDataSource*> FDataSources;
  int32_t FDisableCount = 0;
  int32_t FTempStateCount = 0;
  TDataSetState FDisableState = dsInactive;
  // The notification EnableControls owes: none (deUpdateState stands for none), deDataSetChange or
  // deLayoutChange.
  TDataEvent FEnableEvent = deUpdateState;
};

}  // namespace tesvar::toolkit
