#include "toolkit/TDataSet.h"

#include "toolkit/Conversions.h"
#include "toolkit/Errors.h"
#include "toolkit/FieldClasses.h"
#include "toolkit/Messages.h"
#include "toolkit/TDataLink.h"
#include "toolkit/TDataSource.h"

#include <algorithm>
#include <cstring>

namespace tesvar::toolkit {

namespace {

bool isEditState(TDataSetState State) { return State == dsEdit || State == dsInsert; }

// Field types whose definition size is the field's Size.
bool isSizedType(TFieldType Type) {
  return Type == ftString || Type == ftFixedChar || Type == ftWideString || Type == ftBytes || Type == ftVarBytes;
}

bool sameStoredType(TFieldType FieldType, TFieldType DefType) {
  if (FieldType == DefType) return true;
  const auto isText = [](TFieldType t) { return t == ftString || t == ftFixedChar; };
  return isText(FieldType) && isText(DefType);
}

// The limit on a chain of master data sources walked for circular links; a longer chain is
// treated as circular.
constexpr int kMaxLinkDepth = 10000;

}  // namespace

TDataSet::TDataSet() : FFields(*this) {}

TDataSet::~TDataSet() {
  FDestroying = true;
  const std::vector<TDataSource*> Sources = FDataSources;
  FDataSources.clear();
  for (TDataSource* Source : Sources) Source->DataSetGone();
}

// ---- Open and close ---------------------------------------------------------------------------

void TDataSet::SetActive(bool Value) {
  if (Value) {
    if (FState != dsInactive) return;
    DoBeforeOpen();
    FDefaultFields = FFields.Count() == 0;
    FState = dsOpening;
    try {
      OpenCursor();
    } catch (...) {
      FState = dsInactive;
      try {
        CloseCursor();
      } catch (...) {
        // The open failure is the one to report.
      }
      throw;
    }
    FState = dsInactive;
    SetState(dsBrowse);
    DoAfterOpen();
    if (!IsEmpty()) DoAfterScroll();
  } else {
    if (FState == dsInactive) return;
    if (!FDestroying) DoBeforeClose();
    if (isEditState(FState)) InternalCancel();
    if (ControlsDisabled()) FEnableEvent = deLayoutChange;
    SetState(dsInactive);
    CloseCursor();
    if (!FDestroying) DoAfterClose();
  }
}

void TDataSet::OpenCursor() {
  InternalOpen();
  UpdateBufferCount();
  SetBufListSize(FBufferCount + 1);
  ClearBuffers();
  InternalFirst();
  GetNextRecords();
  FBOF = true;
  FEOF = FRecordCount == 0;
}

void TDataSet::CloseCursor() {
  ClearBuffers();
  FCalcBuffer = nullptr;
  FBOF = FEOF = true;
  FFound = false;
  // The buffers go first: the derived dataset's sizes are no longer valid after InternalClose.
  SetBufListSize(0);
  if (IsCursorOpen()) InternalClose();
  // Also when the derived dataset failed to open: default fields never outlive the open.
  if (FDefaultFields) {
    BindFields(false);
    DestroyFields();
  }
}

void TDataSet::CloseForDestroy() noexcept {
  FDestroying = true;
  try {
    SetActive(false);
  } catch (const std::exception& E) {
    FState = dsInactive;
    InternalHandleException(E);
  }
}

void TDataSet::InternalHandleException(const std::exception& E) { HandleException(E); }

void TDataSet::CheckActive() const {
  if (FState == dsInactive || FState == dsOpening) DatabaseError(SDataSetClosed, FName);
}

void TDataSet::CheckInactive() const {
  if (FState != dsInactive) DatabaseError(SDataSetOpen, FName);
}

// ---- The window -------------------------------------------------------------------------------

TRecordBuffer TDataSet::Buffers(int32_t Index) const {
  if (Index < 0 || static_cast<size_t>(Index) >= FBuffers.size()) return nullptr;
  return FBuffers[static_cast<size_t>(Index)].get();
}

TRecordBuffer TDataSet::ActiveBuffer() const { return FRecordCount > 0 ? Buffers(FActiveRecord) : nullptr; }

void TDataSet::SetBufListSize(int32_t Count) {
  while (static_cast<int32_t>(FBuffers.size()) < Count) FBuffers.push_back(AllocRecordBuffer());
  while (static_cast<int32_t>(FBuffers.size()) > Count) {
    FreeRecordBuffer(FBuffers.back());
    FBuffers.pop_back();
  }
}

void TDataSet::UpdateBufferCount() {
  int32_t Count = 1;
  for (const TDataSource* Source : FDataSources)
    for (const TDataLink* Link : Source->DataLinks()) Count = std::max(Count, Link->BufferCount());
  SetBufferCount(Count);
}

void TDataSet::SetBufferCount(int32_t Value) {
  if (Value == FBufferCount) return;
  if (FBuffers.empty()) {
    FBufferCount = Value;
    return;
  }
  if (FRecordCount > Value) {
    // Keep the current record: drop records before it first, then after it.
    const int32_t Drop = std::max(0, FActiveRecord - (Value - 1));
    if (Drop > 0) {
      std::rotate(FBuffers.begin(), FBuffers.begin() + Drop, FBuffers.begin() + FRecordCount);
      FActiveRecord -= Drop;
      FRecordCount -= Drop;
    }
    FRecordCount = std::min(FRecordCount, Value);
  }
  FCurrentRecord = -1;
  SetBufListSize(Value + 1);
  FBufferCount = Value;
  if (FState == dsBrowse && FRecordCount > 0) {
    GetNextRecords();
    GetPriorRecords();
  }
  DataEvent(deDataSetChange);
}

void TDataSet::ClearBuffers() {
  FRecordCount = 0;
  FActiveRecord = 0;
  FCurrentRecord = -1;
}

void TDataSet::ActivateBuffers() {
  FRecordCount = 1;
  FActiveRecord = 0;
  FCurrentRecord = 0;
}

void TDataSet::SetCurrentRecord(int32_t Index) {
  if (FCurrentRecord == Index) return;
  TRecordBuffer Buffer = Buffers(Index);
  switch (GetBookmarkFlag(Buffer)) {
    case bfBOF: InternalFirst(); break;
    case bfEOF: InternalLast(); break;
    case bfCurrent:
    case bfInserted:
    default: InternalSetToRecord(Buffer); break;
  }
  FCurrentRecord = Index;
}

void TDataSet::UpdateCursorPos() {
  if (FRecordCount > 0) SetCurrentRecord(FActiveRecord);
}

// Fetches the record after the window's last one into the next free buffer, or into the spare
// when the window is full (the first record then leaves it and every buffer moves down by one).
bool TDataSet::GetNextRecord() {
  if (FRecordCount > 0) SetCurrentRecord(FRecordCount - 1);
  const int32_t Target = FRecordCount < FBufferCount ? FRecordCount : FBufferCount;
  if (GetRecord(Buffers(Target), gmNext, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (FRecordCount == 0) {
    ActivateBuffers();
  } else if (FRecordCount < FBufferCount) {
    ++FRecordCount;
  } else {
    std::rotate(FBuffers.begin(), FBuffers.begin() + 1, FBuffers.begin() + FBufferCount + 1);
    if (FActiveRecord > 0) --FActiveRecord;
  }
  FCurrentRecord = FRecordCount - 1;
  return true;
}

// Fetches the record before the window's first one into buffer 0; every buffer moves up by one
// (the last record leaves a full window).
bool TDataSet::GetPriorRecord() {
  if (FRecordCount > 0) SetCurrentRecord(0);
  const int32_t Target = FRecordCount < FBufferCount ? FRecordCount : FBufferCount;
  if (GetRecord(Buffers(Target), gmPrior, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  std::rotate(FBuffers.begin(), FBuffers.begin() + Target, FBuffers.begin() + Target + 1);
  if (FRecordCount == 0) {
    ActivateBuffers();
  } else {
    if (FRecordCount < FBufferCount) ++FRecordCount;
    FActiveRecord = std::min(FActiveRecord + 1, FRecordCount - 1);
  }
  FCurrentRecord = 0;
  return true;
}

int32_t TDataSet::GetNextRecords() {
  int32_t Count = 0;
  while (FRecordCount < FBufferCount && GetNextRecord()) ++Count;
  return Count;
}

int32_t TDataSet::GetPriorRecords() {
  int32_t Count = 0;
  while (FRecordCount < FBufferCount && GetPriorRecord()) ++Count;
  return Count;
}

void TDataSet::Resync(TResyncMode Mode) {
  TRecordBuffer Spare = Buffers(FBufferCount);
  if (Mode.Contains(rmExact)) {
    CursorPosChanged();
    if (GetRecord(Spare, gmCurrent, true) != grOK) DatabaseError(SRecordNotFound, FName);
  } else if (GetRecord(Spare, gmCurrent, false) != grOK && GetRecord(Spare, gmNext, false) != grOK &&
             GetRecord(Spare, gmPrior, false) != grOK) {
    ClearBuffers();
    FBOF = FEOF = true;
    DataEvent(deDataSetChange);
    return;
  }
  const int32_t Before = Mode.Contains(rmCenter) ? (FBufferCount - 1) / 2 : FActiveRecord;
  std::swap(FBuffers[0], FBuffers[static_cast<size_t>(FBufferCount)]);
  ActivateBuffers();
  // The dataset now stands on a record: a move that went to it exactly ended no walk at either
  // end, and a dataset that was empty no longer is.
  if (Mode.Contains(rmExact) || (FBOF && FEOF)) FBOF = FEOF = false;
  try {
    for (int32_t i = 0; i < Before && GetPriorRecord(); ++i) {
    }
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange);
    throw;
  }
  DataEvent(deDataSetChange);
}

// ---- Navigation ---------------------------------------------------------------------------------

void TDataSet::First() { MoveToEnd(false); }
void TDataSet::Last() { MoveToEnd(true); }

void TDataSet::MoveToEnd(bool Last) {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  const auto finish = [&] {
    FBOF = !Last || FRecordCount == 0;
    FEOF = Last || FRecordCount == 0;
    DataEvent(deDataSetChange);
  };
  try {
    if (Last) {
      InternalLast();
      GetPriorRecords();
    } else {
      InternalFirst();
      GetNextRecords();
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  DoAfterScroll();
}

int32_t TDataSet::MoveBy(int32_t Distance) {
  CheckBrowseMode();
  DoBeforeScroll();
  if (!((Distance > 0 && !FEOF) || (Distance < 0 && !FBOF))) return 0;
  FBOF = FEOF = false;
  int32_t Moved = 0;
  // How far the window's records moved down (positive) or up (negative) in the window.
  int32_t Shift = 0;
  try {
    while (Distance > 0) {
      if (FActiveRecord < FRecordCount - 1) {
        ++FActiveRecord;
      } else {
        const bool Full = FRecordCount == FBufferCount;
        if (!GetNextRecord()) {
          FEOF = true;
          break;
        }
        if (Full) ++Shift;
        FActiveRecord = FRecordCount - 1;
      }
      --Distance;
      ++Moved;
    }
    while (Distance < 0) {
      if (FActiveRecord > 0) {
        --FActiveRecord;
      } else {
        if (!GetPriorRecord()) {
          FBOF = true;
          break;
        }
        --Shift;
        FActiveRecord = 0;
      }
      ++Distance;
      --Moved;
    }
  } catch (...) {
    DataEvent(deDataSetChange);
    throw;
  }
  if (FRecordCount == 0) FBOF = FEOF = true;
  if (Moved != 0 || Shift != 0) DataEvent(deDataSetScroll, nullptr, Shift);
  DoAfterScroll();
  return Moved;
}

void TDataSet::SetRecNo(int32_t Value) { (void)Value; }

// ---- Editing ------------------------------------------------------------------------------------

void TDataSet::CheckCanModify() {
  if (!GetCanModify()) DatabaseError(SDataSetReadOnly, FName);
}

void TDataSet::CheckOperation(void (TDataSet::*Operation)(), const TDataSetErrorEvent& ErrorEvent) {
  for (;;) {
    try {
      UpdateCursorPos();
      (this->*Operation)();
      return;
    } catch (const Exception& E) {
      if (dynamic_cast<const EAbort*>(&E) != nullptr || !ErrorEvent) throw;
      TDataAction Action = daFail;
      ErrorEvent(*this, E, Action);
      if (Action == daFail) throw;
      if (Action == daAbort) Abort();
    }
  }
}

void TDataSet::Edit() {
  if (isEditState(FState)) return;
  CheckActive();
  if (FRecordCount == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeEdit();
  CheckOperation(&TDataSet::InternalEdit, OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange);
  DoAfterEdit();
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeInsert();
  DoBeforeScroll();
}

void TDataSet::InitRecord(TRecordBuffer Buffer) {
  InternalInitRecord(Buffer);
  ClearCalcFields(Buffer);
  SetBookmarkFlag(Buffer, bfInserted);
}

// Puts a fresh record buffer into the window as the active one: before the current record
// (Insert) or after the last record (Append, which refetches the window up to the last record).
void TDataSet::InsertBuffer(bool Append) {
  if (Append) {
    ClearBuffers();
    TRecordBuffer Buffer = Buffers(0);
    InitRecord(Buffer);
    SetBookmarkFlag(Buffer, bfEOF);
    FRecordCount = 1;
    FBOF = false;
    GetPriorRecords();
    FEOF = true;
  } else {
    TBookmark Current = FRecordCount > 0 && GetBookmarkFlag(ActiveBuffer()) == bfCurrent ? Bookmark() : TBookmark();
    // The spare buffer becomes the active one; the records from the current one on move up (the
    // last leaves a full window).
    std::rotate(FBuffers.begin() + FActiveRecord, FBuffers.begin() + FBufferCount, FBuffers.begin() + FBufferCount + 1);
    TRecordBuffer Buffer = ActiveBuffer() != nullptr ? ActiveBuffer() : Buffers(FActiveRecord);
    InitRecord(Buffer);
    if (Current.empty()) {
      SetBookmarkFlag(Buffer, FRecordCount == 0 ? bfBOF : bfEOF);
    } else {
      SetBookmarkData(Buffer, Current.data());
    }
    if (FRecordCount < FBufferCount) ++FRecordCount;
    FBOF = FEOF = false;
  }
  FCurrentRecord = -1;
}

void TDataSet::DropInsertedBuffer(const TBookmark& Former) noexcept {
  try {
    UpdateCursorPos();
    InternalCancel();
    if (!Former.empty()) InternalGotoBookmark(Former.data());
  } catch (...) {
    // The failure being reported is the caller's.
  }
  FState = dsBrowse;
  FModified = false;
  try {
    CursorPosChanged();
    Resync({});
  } catch (...) {
    ClearBuffers();
  }
  DataEvent(deUpdateState);
}

void TDataSet::EndInsertAppend(const TBookmark& Former) {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    DropInsertedBuffer(Former);
    throw;
  }
  FModified = false;
  DataEvent(deDataSetChange);
  DoAfterInsert();
  DoAfterScroll();
}

void TDataSet::Insert() { InsertAppend(false); }
void TDataSet::Append() { InsertAppend(true); }

void TDataSet::InsertAppend(bool Append) {
  CheckActive();
  BeginInsertAppend();
  const TBookmark Former = Bookmark();
  InternalInsert();
  try {
    InsertBuffer(Append);
  } catch (...) {
    DropInsertedBuffer(Former);
    throw;
  }
  EndInsertAppend(Former);
}

void TDataSet::ReturnToBrowse() {
  SetState(dsBrowse);
  CursorPosChanged();
  Resync({});
}

void TDataSet::Post() {
  UpdateRecord();
  switch (FState) {
    case dsEdit:
    case dsInsert:
      DataEvent(deCheckBrowseMode);
      DoBeforePost();
      CheckOperation(&TDataSet::InternalPost, OnPostError);
      ReturnToBrowse();
      DoAfterPost();
      break;
    case dsSetKey: SetState(dsBrowse); break;
    default: DatabaseError(SNotEditing, FName);
  }
}

void TDataSet::Cancel() {
  switch (FState) {
    case dsEdit:
    case dsInsert: {
      const bool Inserting = FState == dsInsert;
      DataEvent(deCheckBrowseMode);
      DoBeforeCancel();
      if (Inserting) DoBeforeScroll();
      UpdateCursorPos();
      InternalCancel();
      SetState(dsBrowse);
      Resync({});
      DoAfterCancel();
      if (Inserting) DoAfterScroll();
      break;
    }
    case dsSetKey: SetState(dsBrowse); break;
    default: break;
  }
}

void TDataSet::Delete() {
  CheckActive();
  if (FState == dsInsert || FState == dsSetKey) {
    Cancel();
    return;
  }
  if (FRecordCount == 0) DatabaseError(SDataSetEmpty, FName);
  DataEvent(deCheckBrowseMode);
  DoBeforeDelete();
  DoBeforeScroll();
  CheckOperation(&TDataSet::InternalDelete, OnDeleteError);
  ReturnToBrowse();
  DoAfterDelete();
  DoAfterScroll();
}

void TDataSet::AddRecord(const std::vector<TValue>& Values, bool Append) {
  CheckActive();
  BeginInsertAppend();
  DisableControls();
  try {
    const TBookmark Former = Bookmark();
    InsertBuffer(Append);
    SetState(dsInsert);
    try {
      DoOnNewRecord();
      DoAfterInsert();
      SetFields(Values);
      DoBeforePost();
      UpdateCursorPos();
      InternalAddRecord(ActiveBuffer(), Append);
    } catch (...) {
      DropInsertedBuffer(Former);
      throw;
    }
    ReturnToBrowse();
    DoAfterPost();
    DoAfterScroll();
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

void TDataSet::AppendRecord(const std::vector<TValue>& Values) { AddRecord(Values, true); }
void TDataSet::InsertRecord(const std::vector<TValue>& Values) { AddRecord(Values, false); }

void TDataSet::SetFields(const std::vector<TValue>& Values) {
  if (!isEditState(FState)) DatabaseError(SNotEditing, FName);
  for (size_t i = 0; i < Values.size(); ++i) {
    TField& Field = FFields[static_cast<int32_t>(i)];
    if (Values[i].IsNull()) {
      Field.Clear();
    } else {
      Field.SetValue(Values[i]);
    }
  }
}

void TDataSet::ClearFields() {
  if (!isEditState(FState) && FState != dsSetKey) DatabaseError(SNotEditing, FName);
  TRecordBuffer Buffer = ActiveBuffer();
  if (Buffer == nullptr) return;
  // The buffer keeps its place in the window: its bookmark data and flag stay.
  TBookmark Saved(static_cast<size_t>(std::max(FBookmarkSize, 0)));
  if (!Saved.empty()) GetBookmarkData(Buffer, Saved.data());
  const TBookmarkFlag Flag = GetBookmarkFlag(Buffer);
  InternalInitRecord(Buffer);
  ClearCalcFields(Buffer);
  if (!Saved.empty()) SetBookmarkData(Buffer, Saved.data());
  SetBookmarkFlag(Buffer, Flag);
  GetCalcFields(Buffer);
  DataEvent(deRecordChange);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  DoBeforeRefresh();
  UpdateCursorPos();
  InternalRefresh();
  Resync({});
  DoAfterRefresh();
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode);
  switch (FState) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (FModified) {
        Post();
      } else {
        Cancel();
      }
      break;
    case dsSetKey: Post(); break;
    default: break;
  }
}

void TDataSet::UpdateRecord() {
  if (!isEditState(FState) && FState != dsSetKey) DatabaseError(SNotEditing, FName);
  DataEvent(deUpdateRecord);
}

void TDataSet::InternalPost() { CheckRequiredFields(); }

// ---- Bookmarks ----------------------------------------------------------------------------------

bool TDataSet::BookmarkAvailable() {
  return Active() && FBookmarkSize > 0 && FRecordCount > 0 && FState != dsInsert &&
         GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
}

TBookmark TDataSet::Bookmark() {
  if (!BookmarkAvailable()) return {};
  TBookmark Result(static_cast<size_t>(FBookmarkSize));
  GetBookmarkData(ActiveBuffer(), Result.data());
  return Result;
}

void TDataSet::GotoBookmark(const TBookmark& Value) {
  if (Value.empty()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(Value.data());
  Resync(TResyncMode{rmExact, rmCenter});
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark& Bookmark) {
  (void)Bookmark;
  return false;
}

int32_t TDataSet::CompareBookmarks(const TBookmark& B1, const TBookmark& B2) {
  (void)B1;
  (void)B2;
  return 0;
}

// ---- Searching ----------------------------------------------------------------------------------

bool TDataSet::Locate(const std::string& KeyFields, const TValue& KeyValues, TLocateOptions Options) {
  (void)KeyFields;
  (void)KeyValues;
  (void)Options;
  return false;
}

TValue TDataSet::Lookup(const std::string& KeyFields, const TValue& KeyValues, const std::string& ResultFields) {
  (void)KeyFields;
  (void)KeyValues;
  (void)ResultFields;
  return TValue::Null();
}

bool TDataSet::FindRecord(bool Restart, bool GoForward) {
  (void)Restart;
  (void)GoForward;
  return false;
}

// ---- Fields -------------------------------------------------------------------------------------

TField& TDataSet::AddField(std::unique_ptr<TField> Field) {
  CheckInactive();
  if (FFields.FindField(Field->FieldName()) != nullptr)
    DatabaseError(FormatMsg(SDuplicateFieldName, {Field->FieldName()}), FName);
  Field->FDataSet = this;
  TField& Added = *Field;
  FFields.Add(std::move(Field));
  return Added;
}

void TDataSet::DeleteFields() {
  CheckInactive();
  FFields.Clear();
}

void TDataSet::CreateFields() {
  for (const TFieldDef& Def : FFieldDefs) {
    std::unique_ptr<TField> Field = CreateFieldOfType(Def.DataType);
    if (!Field) DatabaseError(FormatMsg(SUnknownFieldType, {Def.Name}), FName);
    Field->FFieldName = Def.Name;
    if (isSizedType(Def.DataType)) Field->FSize = Def.Size;
    Field->FRequired = Def.Required;
    Field->FDataSet = this;
    FFields.Add(std::move(Field));
  }
}

void TDataSet::DestroyFields() { FFields.Clear(); }

void TDataSet::BindFields(bool Binding) {
  FCalcFieldsSize = 0;
  for (int32_t i = 0; i < FFields.Count(); ++i) {
    TField& Field = FFields[i];
    if (!Binding) {
      Field.FFieldNo = 0;
      Field.FOffset = 0;
      continue;
    }
    if (Field.Calculated()) {
      Field.FFieldNo = -1;
      Field.FOffset = FCalcFieldsSize;
      FCalcFieldsSize += Field.DataSize() + 1;
      continue;
    }
    const int32_t DefNo = IndexOfFieldDef(FFieldDefs, Field.FieldName());
    if (DefNo < 0) DatabaseError(FormatMsg(SFieldNotFound, {Field.FieldName()}), FName);
    const TFieldDef& Def = FFieldDefs[static_cast<size_t>(DefNo)];
    if (!sameStoredType(Field.DataType(), Def.DataType))
      DatabaseError(FormatMsg(SFieldTypeMismatch,
                              {Field.DisplayName(), FieldTypeName(Field.DataType()), FieldTypeName(Def.DataType)}),
                    FName);
    if (isSizedType(Def.DataType) && Field.Size() != Def.Size)
      DatabaseError(FormatMsg(SFieldSizeMismatch, {Field.DisplayName(), IntToStr(Field.Size()), IntToStr(Def.Size)}),
                    FName);
    Field.FFieldNo = DefNo + 1;
  }
}

void TDataSet::GetCalcFields(TRecordBuffer Buffer) {
  if (FCalcFieldsSize == 0 || Buffer == nullptr) return;
  const TDataSetState Saved = SetTempState(dsCalcFields);
  TRecordBuffer SavedBuffer = FCalcBuffer;
  FCalcBuffer = Buffer;
  try {
    ClearCalcFields(Buffer);
    DoOnCalcFields();
  } catch (...) {
    FCalcBuffer = SavedBuffer;
    RestoreState(Saved);
    throw;
  }
  FCalcBuffer = SavedBuffer;
  RestoreState(Saved);
}

bool TDataSet::DoFilterRecord() {
  if (!OnFilterRecord) return true;
  bool Accept = true;
  const TDataSetState Saved = SetTempState(dsFilter);
  try {
    OnFilterRecord(*this, Accept);
  } catch (...) {
    RestoreState(Saved);
    throw;
  }
  RestoreState(Saved);
  return Accept;
}

void TDataSet::CheckRequiredFields() {
  for (int32_t i = 0; i < FFields.Count(); ++i) {
    TField& Field = FFields[i];
    if (Field.Required() && !Field.ReadOnly() && Field.FieldKind() == fkData && Field.IsNull()) {
      Field.FocusControl();
      DatabaseError(FormatMsg(SFieldRequired, {Field.DisplayName()}));
    }
  }
}

bool TDataSet::GetCalcFieldData(const uint8_t* CalcArea, const TField& Field, void* Buffer) {
  const uint8_t* p = CalcArea + Field.Offset();
  if (p[0] == 0) return false;
  if (Buffer != nullptr) std::memcpy(Buffer, p + 1, static_cast<size_t>(Field.DataSize()));
  return true;
}

void TDataSet::SetCalcFieldData(uint8_t* CalcArea, const TField& Field, const void* Buffer) {
  uint8_t* p = CalcArea + Field.Offset();
  p[0] = Buffer != nullptr ? 1 : 0;
  if (Buffer != nullptr) {
    std::memcpy(p + 1, Buffer, static_cast<size_t>(Field.DataSize()));
  } else {
    std::memset(p + 1, 0, static_cast<size_t>(Field.DataSize()));
  }
}

void TDataSet::CheckFieldWrite(const TField& Field) const {
  if (Field.Calculated()) {
    if (FState != dsCalcFields && FState != dsInternalCalc) DatabaseError(SNotEditing, FName);
    return;
  }
  if (!isEditState(FState) && FState != dsSetKey && FState != dsNewValue) DatabaseError(SNotEditing, FName);
  if (Field.ReadOnly() && FState != dsSetKey) DatabaseError(FormatMsg(SFieldReadOnly, {Field.DisplayName()}), FName);
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField& Field, TBlobStreamMode Mode) {
  (void)Field;
  (void)Mode;
  return nullptr;
}

void TDataSet::CloseBlob(TField& Field) { (void)Field; }

// ---- States and notifications -------------------------------------------------------------------

void TDataSet::SetState(TDataSetState Value) {
  if (FState == Value) return;
  FState = Value;
  FModified = false;
  DataEvent(deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState Value) {
  const TDataSetState Saved = FState;
  FState = Value;
  ++FTempStateCount;
  return Saved;
}

void TDataSet::RestoreState(TDataSetState Value) {
  if (FTempStateCount > 0) --FTempStateCount;
  FState = Value;
}

void TDataSet::DataEvent(TDataEvent Event, TField* Field, int32_t Distance) {
  if (Event == deFieldChange && Field != nullptr) {
    if (Field->FieldKind() == fkData && isEditState(FState)) {
      FModified = true;
      if (FAutoCalcFields) GetCalcFields(ActiveBuffer());
    }
    Field->Change();
  }
  if (ControlsDisabled() && Event != deUpdateRecord && Event != deCheckBrowseMode && Event != deFocusControl) {
    if (Event == deLayoutChange) {
      FEnableEvent = deLayoutChange;
    } else if (Event != deUpdateState && FEnableEvent != deLayoutChange) {
      FEnableEvent = deDataSetChange;
    }
    return;
  }
  const std::vector<TDataSource*> Sources = FDataSources;
  for (TDataSource* Source : Sources) Source->DataEvent(Event, Field, Distance);
}

void TDataSet::DisableControls() {
  if (FDisableCount == 0) {
    FDisableState = FState;
    FEnableEvent = deUpdateState;
  }
  ++FDisableCount;
}

void TDataSet::EnableControls() {
  if (FDisableCount == 0) return;
  if (--FDisableCount > 0) return;
  if (FDisableState != FState) DataEvent(deUpdateState);
  if (FDisableState != dsInactive && FState != dsInactive && FEnableEvent != deUpdateState) DataEvent(FEnableEvent);
  FEnableEvent = deUpdateState;
}

void TDataSet::FocusControlOf(TField& Field) {
  TField* Pending = &Field;
  const std::vector<TDataSource*> Sources = FDataSources;
  for (TDataSource* Source : Sources) {
    Source->FocusControl(Pending);
    if (Pending == nullptr) break;
  }
}

void TDataSet::AddDataSource(TDataSource* DataSource) {
  FDataSources.push_back(DataSource);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* DataSource) {
  std::erase(FDataSources, DataSource);
  if (!FDestroying) UpdateBufferCount();
}

bool TDataSet::IsLinkedTo(const TDataSource* DataSource) const {
  const TDataSource* Source = DataSource;
  for (int Depth = 0; Source != nullptr; ++Depth) {
    if (Depth > kMaxLinkDepth) return true;
    const TDataSet* Owner = Source->DataSet();
    if (Owner == nullptr) return false;
    if (Owner == this) return true;
    Source = Owner->GetDataSource();
  }
  return false;
}

}  // namespace tesvar::toolkit
