#pragma once
// TDataSource: what data-aware controls and detail datasets bind to. It connects its data links
// (TDataLink.h) to one dataset and passes the dataset's notifications on to them while it is
// enabled and the dataset is open.
//
// The source, its dataset and its links refer to each other without owning: each side detaches
// itself from the others when it is destroyed, and a link or source whose dataset goes away sees
// it become inactive.

#include "toolkit/TDataSet.h"

#include <functional>
#include <vector>

namespace tesvar::toolkit {

class TDataLink;

class TDataSource {
public:
  TDataSource() = default;
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  TDataSet* DataSet() const { return FDataSet; }
  // Binds to Value (null: none). Raises "Circular datalinks are not allowed" when Value takes its
  // master values from this source, directly or through other datasets.
  void SetDataSet(TDataSet* Value);
  // A disabled source passes nothing on and its links are inactive.
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  // Whether a link's Edit may put the dataset into dsEdit (default true).
  bool AutoEdit() const { return FAutoEdit; }
  void SetAutoEdit(bool Value) { FAutoEdit = Value; }
  // The dataset's state as the links see it: dsInactive when disabled, without a dataset or while
  // the dataset opens.
  TDataSetState State() const { return FState; }
  // AutoEdit and dsBrowse: the dataset's Edit.
  void Edit();
  const std::vector<TDataLink*>& DataLinks() const { return FDataLinks; }

  // After the links: OnStateChange when State changed; OnDataChange for a field change (with the
  // field), a record or data set change, a scroll or a layout change (without); OnUpdateData when
  // the controls are asked to write their edits.
  std::function<void(TDataSource& Sender)> OnStateChange;
  std::function<void(TDataSource& Sender, TField* Field)> OnDataChange;
  std::function<void(TDataSource& Sender)> OnUpdateData;

private:
  friend class TDataSet;
  friend class TDataLink;
  void DataEvent(TDataEvent Event, TField* Field, int32_t Distance);
  void FocusControl(TField*& Field);
  void NotifyState();
  void AddDataLink(TDataLink* Link);
  void RemoveDataLink(TDataLink* Link);
  void DataSetGone();

  TDataSet* FDataSet = nullptr;
  bool FEnabled = true;
  bool FAutoEdit = true;
  TDataSetState FState = dsInactive;
  std::vector<TDataLink*> FDataLinks;
};

}  // namespace tesvar::toolkit
