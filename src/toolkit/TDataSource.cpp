#include "toolkit/TDataSource.h"

#include "toolkit/Errors.h"
#include "toolkit/Messages.h"
#include "toolkit/TDataLink.h"

#include <algorithm>

namespace tesvar::toolkit {

namespace {

// The limit on a chain of master data sources walked for circular links; a longer chain is
// treated as circular.
constexpr int kMaxLinkDepth = 10000;

// Whether DataSet takes its master values from Source, directly or through other datasets.
bool takesMasterFrom(const TDataSet* DataSet, const TDataSource* Source) {
  const TDataSource* Master = DataSet->GetDataSource();
  for (int Depth = 0; Master != nullptr; ++Depth) {
    if (Master == Source || Depth > kMaxLinkDepth) return true;
    if (Master->DataSet() == nullptr) return false;
    Master = Master->DataSet()->GetDataSource();
  }
  return false;
}

}  // namespace

TDataSource::~TDataSource() {
  const std::vector<TDataLink*> Links = FDataLinks;
  FDataLinks.clear();
  for (TDataLink* Link : Links) {
    Link->FDataSource = nullptr;
    Link->UpdateState();
  }
  if (FDataSet != nullptr) FDataSet->RemoveDataSource(this);
}

void TDataSource::SetDataSet(TDataSet* Value) {
  if (Value == FDataSet) return;
  if (Value != nullptr && takesMasterFrom(Value, this)) DatabaseError(SCircularDataLink);
  const TDataSetState OldState = FState;
  if (FDataSet != nullptr) FDataSet->RemoveDataSource(this);
  FDataSet = Value;
  if (FDataSet != nullptr) FDataSet->AddDataSource(this);
  NotifyState();
  // Another open dataset in the same state: the links show other records and fields.
  if (FState != dsInactive && FState == OldState) DataEvent(deLayoutChange, nullptr, 0);
}

void TDataSource::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  FEnabled = Value;
  NotifyState();
}

void TDataSource::Edit() {
  if (FAutoEdit && FState == dsBrowse && FDataSet != nullptr) FDataSet->Edit();
}

void TDataSource::NotifyState() {
  TDataSetState NewState = dsInactive;
  if (FEnabled && FDataSet != nullptr && FDataSet->State() != dsOpening) NewState = FDataSet->State();
  if (NewState == FState) return;
  FState = NewState;
  const std::vector<TDataLink*> Links = FDataLinks;
  for (TDataLink* Link : Links) Link->UpdateState();
  if (OnStateChange) OnStateChange(*this);
}

void TDataSource::DataEvent(TDataEvent Event, TField* Field, int32_t Distance) {
  if (Event == deUpdateState) {
    NotifyState();
    return;
  }
  if (FState == dsInactive) return;
  const std::vector<TDataLink*> Links = FDataLinks;
  for (TDataLink* Link : Links) Link->DataEvent(Event, Field, Distance);
  switch (Event) {
    case deFieldChange:
      if (OnDataChange) OnDataChange(*this, Field);
      break;
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default: break;
  }
}

void TDataSource::FocusControl(TField*& Field) {
  const std::vector<TDataLink*> Links = FDataLinks;
  for (TDataLink* Link : Links) {
    if (!Link->Active()) continue;
    Link->FocusControl(Field);
    if (Field == nullptr) return;
  }
}

void TDataSource::AddDataLink(TDataLink* Link) {
  FDataLinks.push_back(Link);
  if (FDataSet != nullptr) FDataSet->UpdateBufferCount();
}

void TDataSource::RemoveDataLink(TDataLink* Link) {
  std::erase(FDataLinks, Link);
  if (FDataSet != nullptr) FDataSet->UpdateBufferCount();
}

void TDataSource::DataSetGone() {
  FDataSet = nullptr;
  NotifyState();
}

}  // namespace tesvar::toolkit
