#pragma once
// Fixtures shared by the dataset tests: a table of numbered rows, a data link that records what
// it is told, and an event recorder.

#include "VectorDataSet.h"

#include "toolkit/TDataLink.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tesvar::toolkit::test {

// A table with an integer field "N" and a string field "Name" of 10 characters; row k holds
// N = k * 10 and Name "r<k>" (k from 1).
inline VectorTable numberedTable(int32_t Rows) {
  VectorTable t;
  t.Defs = {{"N", ftInteger, 0, false}, {"Name", ftString, 10, false}};
  for (int32_t k = 1; k <= Rows; ++k) {
    const int32_t Id = t.AddRow();
    Row& r = t.Rows.back();
    r.Values[0] = nativeInt(k * 10);
    std::vector<uint8_t> Name(11, 0);
    const std::string Text = "r" + std::to_string(k);
    std::copy(Text.begin(), Text.end(), Name.begin());
    r.Values[1] = Name;
    (void)Id;
  }
  return t;
}

// Records the notifications a link receives, as text.
class RecordingLink : public TDataLink {
public:
  std::vector<std::string> Log;

protected:
  void ActiveChanged() override { Log.push_back(Active() ? "active" : "inactive"); }
  void EditingChanged() override { Log.push_back(Editing() ? "editing" : "not editing"); }
  void DataSetChanged() override { Log.push_back("changed"); }
  void DataSetScrolled(int32_t Distance) override { Log.push_back("scrolled " + std::to_string(Distance)); }
  void LayoutChanged() override { Log.push_back("layout"); }
  void RecordChanged(TField* Field) override {
    Log.push_back(Field != nullptr ? "record " + Field->FieldName() : "record");
  }
  void UpdateData() override { Log.push_back("update data"); }
  void CheckBrowseMode() override { Log.push_back("check browse"); }
};

// A numbered table, a dataset over it and a link showing Buffers records (a grid), bound
// through a data source; the dataset is closed.
struct Grid {
  VectorTable table;
  VectorDataSet ds{table};
  TDataSource src;
  RecordingLink link;

  Grid(int32_t Rows, int32_t Buffers) : table(numberedTable(Rows)) {
    link.SetBufferCount(Buffers);
    link.SetDataSource(&src);
    src.SetDataSet(&ds);
  }
};

// Attaches a handler to every Before/After event of a dataset, logging the event names.
struct EventRecorder {
  std::vector<std::string> Log;

  explicit EventRecorder(TDataSet& ds) {
    const auto hook = [this](TDataSet::TDataSetNotifyEvent& Event, const char* Name) {
      Event = [this, Name](TDataSet&) { Log.emplace_back(Name); };
    };
    hook(ds.BeforeOpen, "BeforeOpen");
    hook(ds.AfterOpen, "AfterOpen");
    hook(ds.BeforeClose, "BeforeClose");
    hook(ds.AfterClose, "AfterClose");
    hook(ds.BeforeInsert, "BeforeInsert");
    hook(ds.AfterInsert, "AfterInsert");
    hook(ds.BeforeEdit, "BeforeEdit");
    hook(ds.AfterEdit, "AfterEdit");
    hook(ds.BeforePost, "BeforePost");
    hook(ds.AfterPost, "AfterPost");
    hook(ds.BeforeCancel, "BeforeCancel");
    hook(ds.AfterCancel, "AfterCancel");
    hook(ds.BeforeDelete, "BeforeDelete");
    hook(ds.AfterDelete, "AfterDelete");
    hook(ds.BeforeScroll, "BeforeScroll");
    hook(ds.AfterScroll, "AfterScroll");
    hook(ds.BeforeRefresh, "BeforeRefresh");
    hook(ds.AfterRefresh, "AfterRefresh");
    hook(ds.OnNewRecord, "OnNewRecord");
  }
};

// The N values of the table's rows, in order.
inline std::vector<int32_t> rowNumbers(const VectorTable& t) {
  std::vector<int32_t> Values;
  for (const Row& r : t.Rows) {
    int32_t v = 0;
    if (r.Values[0]) std::memcpy(&v, r.Values[0]->data(), 4);
    Values.push_back(r.Values[0] ? v : -1);
  }
  return Values;
}

}  // namespace tesvar::toolkit::test
