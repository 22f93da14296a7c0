#pragma once
// TDataLink: the connection of one data-aware control (or detail dataset) to a data source. A
// derived link overrides the notifications it needs.
//
// A link shows BufferCount consecutive records of its dataset's window, starting at FirstRecord;
// the dataset keeps as many buffers as its largest link needs. FirstRecord follows the dataset's
// current record so that it stays among the link's records: a move inside the link's records does
// not scroll it, a move past them scrolls it by as much as needed (DataSetScrolled).

#include "toolkit/TDataSet.h"

#include <cstdint>

namespace tesvar::toolkit {

class TDataSource;

class TDataLink {
public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return FDataSource; }
  // Binds to Value (null: none); the link's Active and Editing follow.
  void SetDataSource(TDataSource* Value);
  // The source's dataset, or null.
  TDataSet* DataSet() const;
  // The source is enabled and its dataset open.
  bool Active() const { return FActive; }
  // Active, the dataset in dsEdit, dsInsert or dsSetKey, and the link not ReadOnly.
  bool Editing() const { return FEditing; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value);
  // The dataset's current record as a position among the link's records. Setting it (while
  // active) makes another of the link's records the dataset's current one without moving the
  // cursor or notifying anyone, so that a control can read each of its records' fields; the
  // control puts the former value back.
  int32_t ActiveRecord() const;
  void SetActiveRecord(int32_t Value);
  // Records the link shows (at least 1: "Invalid buffer count ..." otherwise).
  int32_t BufferCount() const { return FBufferCount; }
  void SetBufferCount(int32_t Value);
  // Records of the link's range that the window holds.
  int32_t RecordCount() const;
  // Window index of the link's first record.
  int32_t FirstRecord() const { return FFirstRecord; }
  // Puts the dataset into dsEdit when the source allows it; returns Editing.
  bool Edit();
  // Asks the control to write its pending edit (UpdateData); its own field change is not reported
  // back to it meanwhile.
  void UpdateRecord();

protected:
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  // Default: RecordChanged(nullptr).
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  // Distance: by how many records the link's first record moved. Default: DataSetChanged.
  virtual void DataSetScrolled(int32_t Distance) {
    (void)Distance;
    DataSetChanged();
  }
  virtual void EditingChanged() {}
  // The control of Field takes the focus and clears Field when it has it.
  virtual void FocusControl(TField*& Field) { (void)Field; }
  // Default: DataSetChanged.
  virtual void LayoutChanged() { DataSetChanged(); }
  // Field: the field whose value changed, or null for the record as a whole.
  virtual void RecordChanged(TField* Field) { (void)Field; }
  virtual void UpdateData() {}

private:
  friend class TDataSource;
  friend class TDataSet;
  void DataEvent(TDataEvent Event, TField* Field, int32_t Distance);
  void UpdateState();
  // Keeps the dataset's current record among the link's records; returns how far FirstRecord
  // moved.
  int32_t UpdateRange();

  TDataSource* FDataSource = nullptr;
  int32_t FFirstRecord = 0;
  int32_t FBufferCount = 1;
  bool FActive = false;
  bool FEditing = false;
  bool FReadOnly = false;
  bool FUpdating = false;
};

// A link through which a detail dataset follows its master.
class TDetailDataLink : public TDataLink {
public:
  // The dataset that follows the master (null when none).
  virtual TDataSet* DetailDataSet() const { return nullptr; }
};

}  // namespace tesvar::toolkit
