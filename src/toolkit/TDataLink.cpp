#include "toolkit/TDataLink.h"

#include "toolkit/Conversions.h"
#include "toolkit/Errors.h"
#include "toolkit/Messages.h"
#include "toolkit/TDataSource.h"

#include <algorithm>

namespace tesvar::toolkit {

TDataLink::~TDataLink() {
  if (FDataSource != nullptr) FDataSource->RemoveDataLink(this);
  FDataSource = nullptr;
}

TDataSet* TDataLink::DataSet() const { return FDataSource != nullptr ? FDataSource->DataSet() : nullptr; }

void TDataLink::SetDataSource(TDataSource* Value) {
  if (Value == FDataSource) return;
  if (FDataSource != nullptr) FDataSource->RemoveDataLink(this);
  FDataSource = Value;
  if (FDataSource != nullptr) FDataSource->AddDataLink(this);
  UpdateState();
}

void TDataLink::SetReadOnly(bool Value) {
  if (Value == FReadOnly) return;
  FReadOnly = Value;
  UpdateState();
}

int32_t TDataLink::ActiveRecord() const {
  const TDataSet* Owner = DataSet();
  return FActive && Owner != nullptr ? Owner->ActiveRecord() - FFirstRecord : 0;
}

void TDataLink::SetActiveRecord(int32_t Value) {
  TDataSet* Owner = DataSet();
  if (!FActive || Owner == nullptr) return;
  const int32_t Index = Value + FFirstRecord;
  if (Index < 0 || Index >= std::max(Owner->BufferedRecordCount(), 1))
    DatabaseError(FormatMsg(SListIndexError, {IntToStr(Value)}));
  Owner->SetActiveRecord(Index);
}

void TDataLink::SetBufferCount(int32_t Value) {
  if (Value < 1) DatabaseError(FormatMsg(SInvalidBufferCount, {IntToStr(Value)}));
  if (Value == FBufferCount) return;
  FBufferCount = Value;
  if (TDataSet* Owner = DataSet()) {
    Owner->UpdateBufferCount();
    if (FActive) UpdateRange();
  }
}

int32_t TDataLink::RecordCount() const {
  const TDataSet* Owner = DataSet();
  if (!FActive || Owner == nullptr) return 0;
  return std::clamp(Owner->BufferedRecordCount() - FFirstRecord, 0, FBufferCount);
}

bool TDataLink::Edit() {
  if (!FReadOnly && FDataSource != nullptr) FDataSource->Edit();
  return FEditing;
}

void TDataLink::UpdateRecord() {
  FUpdating = true;
  try {
    UpdateData();
  } catch (...) {
    FUpdating = false;
    throw;
  }
  FUpdating = false;
}

int32_t TDataLink::UpdateRange() {
  const TDataSet* Owner = DataSet();
  const int32_t Old = FFirstRecord;
  if (Owner == nullptr) return 0;
  const int32_t Active = Owner->ActiveRecord();
  if (FFirstRecord > Active) FFirstRecord = Active;
  if (FFirstRecord < Active - FBufferCount + 1) FFirstRecord = Active - FBufferCount + 1;
  // The link shows as many records as the window holds from its first one.
  const int32_t Last = Owner->BufferedRecordCount() - FBufferCount;
  if (FFirstRecord > Last) FFirstRecord = std::min(Active, std::max(Last, 0));
  if (FFirstRecord < 0) FFirstRecord = 0;
  return FFirstRecord - Old;
}

void TDataLink::UpdateState() {
  const bool NewActive = FDataSource != nullptr && FDataSource->State() != dsInactive;
  if (NewActive != FActive) {
    FActive = NewActive;
    FFirstRecord = 0;
    if (FActive) UpdateRange();
    ActiveChanged();
  }
  const TDataSetState State = FDataSource != nullptr ? FDataSource->State() : dsInactive;
  const bool NewEditing = FActive && !FReadOnly && (State == dsEdit || State == dsInsert || State == dsSetKey);
  if (NewEditing != FEditing) {
    FEditing = NewEditing;
    EditingChanged();
  }
}

void TDataLink::DataEvent(TDataEvent Event, TField* Field, int32_t Distance) {
  if (!FActive) return;
  switch (Event) {
    case deFieldChange:
    case deRecordChange:
      if (!FUpdating) RecordChanged(Field);
      break;
    case deDataSetChange:
      UpdateRange();
      DataSetChanged();
      break;
    case deLayoutChange:
      UpdateRange();
      LayoutChanged();
      break;
    case deDataSetScroll:
      // Distance: how far the window's records moved down. The link's first record follows its
      // record, then the current record; the link scrolled by how far that second step moved it.
      FFirstRecord -= Distance;
      DataSetScrolled(UpdateRange());
      break;
    case deUpdateRecord: UpdateRecord(); break;
    case deCheckBrowseMode: CheckBrowseMode(); break;
    default: break;
  }
}

}  // namespace tesvar::toolkit
