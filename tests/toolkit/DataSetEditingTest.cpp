// State transitions, the events of every verb, editing and its errors.

#include "DataSetTestSupport.h"

#include "toolkit/Errors.h"

#include <functional>

using namespace tesvar::toolkit;
using namespace tesvar::toolkit::test;

namespace {

using Strings = std::vector<std::string>;

struct VerbCase {
  const char* name;
  // Brings the dataset into the state the verb starts from (the events it fires are not logged).
  std::function<void(VectorDataSet&)> setup;
  std::function<void(VectorDataSet&)> verb;
  Strings events;
  TDataSetState state;
  std::vector<int32_t> rows;  // the table's N values afterwards
};

void setN(VectorDataSet& ds, int32_t v) { ds.FieldByName("N").SetAsInteger(v); }

}  // namespace

TEST(DataSetVerbs, FireTheirEventsInOrderAndEndInTheirState) {
  const auto none = [](VectorDataSet&) {};
  const std::vector<VerbCase> cases = {
      {"Open", none, [](VectorDataSet& ds) { ds.Open(); }, {"BeforeOpen", "AfterOpen", "AfterScroll"}, dsBrowse,
       {10, 20, 30}},
      {"Close", [](VectorDataSet& ds) { ds.Open(); }, [](VectorDataSet& ds) { ds.Close(); },
       {"BeforeClose", "AfterClose"}, dsInactive, {10, 20, 30}},
      {"Next", [](VectorDataSet& ds) { ds.Open(); }, [](VectorDataSet& ds) { ds.Next(); },
       {"BeforeScroll", "AfterScroll"}, dsBrowse, {10, 20, 30}},
      {"Next at Eof", [](VectorDataSet& ds) { ds.Open(), ds.Last(); }, [](VectorDataSet& ds) { ds.Next(); },
       {"BeforeScroll"}, dsBrowse, {10, 20, 30}},
      {"Last", [](VectorDataSet& ds) { ds.Open(); }, [](VectorDataSet& ds) { ds.Last(); },
       {"BeforeScroll", "AfterScroll"}, dsBrowse, {10, 20, 30}},
      {"Edit", [](VectorDataSet& ds) { ds.Open(); }, [](VectorDataSet& ds) { ds.Edit(); },
       {"BeforeEdit", "AfterEdit"}, dsEdit, {10, 20, 30}},
      {"Post of an edit", [](VectorDataSet& ds) { ds.Open(), ds.Edit(), setN(ds, 11); },
       [](VectorDataSet& ds) { ds.Post(); }, {"BeforePost", "AfterPost"}, dsBrowse, {11, 20, 30}},
      {"Cancel of an edit", [](VectorDataSet& ds) { ds.Open(), ds.Edit(), setN(ds, 11); },
       [](VectorDataSet& ds) { ds.Cancel(); }, {"BeforeCancel", "AfterCancel"}, dsBrowse, {10, 20, 30}},
      {"Insert", [](VectorDataSet& ds) { ds.Open(), ds.Next(); }, [](VectorDataSet& ds) { ds.Insert(); },
       {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}, dsInsert, {10, 20, 30}},
      {"Post of an insert", [](VectorDataSet& ds) { ds.Open(), ds.Next(), ds.Insert(), setN(ds, 15); },
       [](VectorDataSet& ds) { ds.Post(); }, {"BeforePost", "AfterPost"}, dsBrowse, {10, 15, 20, 30}},
      {"Post of an append", [](VectorDataSet& ds) { ds.Open(), ds.Append(), setN(ds, 40); },
       [](VectorDataSet& ds) { ds.Post(); }, {"BeforePost", "AfterPost"}, dsBrowse, {10, 20, 30, 40}},
      {"Cancel of an insert", [](VectorDataSet& ds) { ds.Open(), ds.Insert(), setN(ds, 5); },
       [](VectorDataSet& ds) { ds.Cancel(); }, {"BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll"},
       dsBrowse, {10, 20, 30}},
      {"Delete", [](VectorDataSet& ds) { ds.Open(), ds.Next(); }, [](VectorDataSet& ds) { ds.Delete(); },
       {"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}, dsBrowse, {10, 30}},
      {"Delete while inserting cancels", [](VectorDataSet& ds) { ds.Open(), ds.Insert(); },
       [](VectorDataSet& ds) { ds.Delete(); }, {"BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll"},
       dsBrowse, {10, 20, 30}},
      {"Refresh", [](VectorDataSet& ds) { ds.Open(); }, [](VectorDataSet& ds) { ds.Refresh(); },
       {"BeforeRefresh", "AfterRefresh"}, dsBrowse, {10, 20, 30}},
      {"Next posts a modified edit first", [](VectorDataSet& ds) { ds.Open(), ds.Edit(), setN(ds, 12); },
       [](VectorDataSet& ds) { ds.Next(); }, {"BeforePost", "AfterPost", "BeforeScroll", "AfterScroll"}, dsBrowse,
       {12, 20, 30}},
      {"Next cancels an unmodified edit first", [](VectorDataSet& ds) { ds.Open(), ds.Edit(); },
       [](VectorDataSet& ds) { ds.Next(); }, {"BeforeCancel", "AfterCancel", "BeforeScroll", "AfterScroll"},
       dsBrowse, {10, 20, 30}},
      {"AppendRecord", [](VectorDataSet& ds) { ds.Open(); },
       [](VectorDataSet& ds) { ds.AppendRecord({TValue(40), TValue("r4")}); },
       {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "BeforePost", "AfterPost", "AfterScroll"},
       dsBrowse, {10, 20, 30, 40}},
      {"InsertRecord", [](VectorDataSet& ds) { ds.Open(), ds.Last(); },
       [](VectorDataSet& ds) { ds.InsertRecord({TValue(25)}); },
       {"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "BeforePost", "AfterPost", "AfterScroll"},
       dsBrowse, {10, 20, 25, 30}},
  };
  for (const VerbCase& c : cases) {
    SCOPED_TRACE(c.name);
    VectorTable t = numberedTable(3);
    VectorDataSet ds(t);
    c.setup(ds);
    EventRecorder events(ds);
    c.verb(ds);
    EXPECT_EQ(events.Log, c.events);
    EXPECT_EQ(ds.State(), c.state);
    EXPECT_EQ(rowNumbers(t), c.rows);
  }
}

TEST(DataSetVerbs, CursorAfterEachChangeIsOnTheChangedRecord) {
  VectorTable t = numberedTable(3);
  VectorDataSet ds(t);
  ds.Open();
  ds.Next();
  ds.Insert();
  setN(ds, 15);
  EXPECT_EQ(ds.RecNo(), 4) << "a record being inserted counts after the last";
  ds.Post();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 15);
  EXPECT_EQ(ds.RecNo(), 2);
  ds.Append();
  setN(ds, 99);
  ds.Post();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 99);
  EXPECT_EQ(ds.RecNo(), 5);
  ds.Delete();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 30) << "deleting the last record shows the new last";
  ds.First();
  ds.Delete();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 15) << "deleting shows the record that followed";
  ds.Cancel();  // nothing to cancel in dsBrowse
  EXPECT_EQ(ds.State(), dsBrowse);
}

TEST(DataSetVerbs, ABeforeEventStopsItsVerb) {
  VectorTable t = numberedTable(3);
  VectorDataSet ds(t);
  ds.Open();
  ds.BeforeDelete = [](TDataSet&) { Abort(); };
  EXPECT_THROW(ds.Delete(), EAbort);
  EXPECT_EQ(rowNumbers(t), (std::vector<int32_t>{10, 20, 30}));
  ds.BeforeDelete = nullptr;

  ds.Edit();
  setN(ds, 11);
  ds.BeforePost = [](TDataSet&) { Abort(); };
  EXPECT_THROW(ds.Post(), EAbort);
  EXPECT_EQ(ds.State(), dsEdit) << "the edit stays for the program to fix";
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 11);
  ds.BeforePost = nullptr;
  ds.Post();
  EXPECT_EQ(rowNumbers(t), (std::vector<int32_t>{11, 20, 30}));

  ds.BeforeInsert = [](TDataSet&) { Abort(); };
  EXPECT_THROW(ds.Append(), EAbort);
  EXPECT_EQ(ds.State(), dsBrowse);
  ds.BeforeInsert = nullptr;

  // A failing OnNewRecord takes the new record away again.
  ds.Last();
  ds.OnNewRecord = [](TDataSet&) { throw EDatabaseError("no defaults"); };
  EXPECT_THROW(ds.Insert(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 30);
  EXPECT_EQ(ds.BufferedRecordCount(), 1);
}

TEST(DataSetVerbs, PostErrorEventCanRetryOrAbort) {
  VectorTable t = numberedTable(1);
  t.Defs[0].Required = true;
  VectorDataSet ds(t);
  ds.Open();
  ds.Append();
  int Calls = 0;
  ds.OnPostError = [&](TDataSet& d, const tesvar::Exception& e, TDataAction& Action) {
    EXPECT_STREQ(e.what(), "Field 'N' must have a value");
    ++Calls;
    d.FieldByName("N").SetAsInteger(7);
    Action = daRetry;
  };
  ds.Post();
  EXPECT_EQ(Calls, 1);
  EXPECT_EQ(rowNumbers(t), (std::vector<int32_t>{10, 7}));

  ds.Append();
  ds.OnPostError = [](TDataSet&, const tesvar::Exception&, TDataAction& Action) { Action = daAbort; };
  EXPECT_THROW(ds.Post(), EAbort);
  EXPECT_EQ(ds.State(), dsInsert);
}

TEST(DataSetErrors, RefusedWritesAndPostsSayWhy) {
  VectorTable t = numberedTable(2);
  t.Defs[1].Required = true;
  VectorDataSet ds(t);
  ds.Open();
  TField& n = ds.FieldByName("N");
  try {
    n.SetAsInteger(1);
    FAIL() << "write in dsBrowse";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Dataset not in edit or insert mode");
  }
  n.SetReadOnly(true);
  ds.Edit();
  try {
    n.SetAsInteger(1);
    FAIL() << "write to a read-only field";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'N' cannot be modified");
  }
  EXPECT_EQ(n.AsInteger(), 10);
  ds.Cancel();
  n.SetReadOnly(false);

  ds.Append();
  n.SetAsInteger(3);
  try {
    ds.Post();
    FAIL() << "post with a required field empty";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'Name' must have a value");
  }
  EXPECT_EQ(ds.State(), dsInsert) << "a failed post keeps the record";
  EXPECT_EQ(t.Rows.size(), 2u);
  ds.FieldByName("Name").SetAsString("x");
  ds.Post();
  EXPECT_EQ(t.Rows.size(), 3u);

  try {
    ds.Post();
    FAIL() << "post in dsBrowse";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Dataset not in edit or insert mode");
  }
  ds.SetName("Cat");
  try {
    ds.FieldByName("Title");
    FAIL() << "unknown field";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cat: Field 'Title' not found");
  }
  ds.ReadOnly = true;
  EXPECT_THROW(ds.Edit(), EDatabaseError);
  EXPECT_THROW(ds.Insert(), EDatabaseError);
  EXPECT_EQ(ds.State(), dsBrowse);
}

TEST(DataSetFields, PersistentFieldsBindByNameAndCheckTypeAndSize) {
  VectorTable t = numberedTable(2);
  {
    VectorDataSet ds(t);
    auto name = std::make_unique<TStringField>();
    name->SetFieldName("name");
    name->SetSize(10);
    TField& bound = ds.AddField(std::move(name));
    ds.Open();
    EXPECT_EQ(ds.FieldCount(), 1) << "persistent fields replace the default ones";
    EXPECT_EQ(bound.FieldNo(), 2);
    EXPECT_EQ(bound.AsString(), "r1");
    ds.Close();
    EXPECT_EQ(ds.FieldCount(), 1) << "persistent fields stay after close";
    auto dup = std::make_unique<TIntegerField>();
    dup->SetFieldName("NAME");
    EXPECT_THROW(ds.AddField(std::move(dup)), EDatabaseError);
  }
  const struct {
    std::function<std::unique_ptr<TField>()> make;
    const char* message;
  } cases[] = {
      {[] {
         auto f = std::make_unique<TIntegerField>();
         f->SetFieldName("Name");
         return f;
       },
       "D: Type mismatch for field 'Name', expecting: Integer actual: String"},
      {[] {
         auto f = std::make_unique<TStringField>();
         f->SetFieldName("Name");
         f->SetSize(4);
         return f;
       },
       "D: Size mismatch for field 'Name', expecting: 4 actual: 10"},
      {[] {
         auto f = std::make_unique<TStringField>();
         f->SetFieldName("Title");
         return f;
       },
       "D: Field 'Title' not found"},
  };
  for (const auto& c : cases) {
    VectorDataSet ds(t);
    ds.SetName("D");
    ds.AddField(c.make());
    try {
      ds.Open();
      FAIL() << c.message;
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_FALSE(ds.Active());
  }
}

TEST(DataSetFields, CalculatedFieldsFollowTheDataFields) {
  VectorTable t = numberedTable(3);
  VectorDataSet ds(t);
  auto twice = std::make_unique<TIntegerField>();
  twice->SetFieldName("Twice");
  twice->SetFieldKind(fkCalculated);
  auto n = std::make_unique<TIntegerField>();
  n->SetFieldName("N");
  ds.AddField(std::move(n));
  ds.AddField(std::move(twice));
  int Calcs = 0;
  ds.OnCalcFields = [&](TDataSet& d) {
    ++Calcs;
    EXPECT_EQ(d.State(), dsCalcFields);
    d.FieldByName("Twice").SetAsInteger(d.FieldByName("N").AsInteger() * 2);
  };
  ds.Open();
  EXPECT_EQ(ds.FieldByName("Twice").AsInteger(), 20);
  EXPECT_GT(Calcs, 0);
  ds.Next();
  EXPECT_EQ(ds.FieldByName("Twice").AsInteger(), 40);
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(7);
  EXPECT_EQ(ds.FieldByName("Twice").AsInteger(), 14) << "recomputed while editing";
  EXPECT_THROW(ds.FieldByName("Twice").SetAsInteger(1), EDatabaseError) << "only OnCalcFields writes it";
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("Twice").AsInteger(), 40);
}

TEST(DataSetVerbs, SetKeyStateWritesItsOwnBufferUntilPostOrCancel) {
  VectorTable t = numberedTable(3);
  VectorDataSet ds(t);
  ds.Open();
  ds.FieldByName("N").SetReadOnly(true);
  ds.EditKey();
  EXPECT_EQ(ds.State(), dsSetKey);
  EXPECT_TRUE(ds.FieldByName("N").IsNull()) << "a fresh key";
  ds.FieldByName("N").SetAsInteger(20);  // read-only fields take key values
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 20);
  ds.Post();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 10) << "the record itself is untouched";
  ds.EditKey();
  ds.Delete();  // cancels the key
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(rowNumbers(t), (std::vector<int32_t>{10, 20, 30}));
  ds.EditKey();
  ds.Next();  // leaves dsSetKey first
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 20);
}

TEST(DataSetVerbs, CancelAndFailedAddsReturnToTheFormerRecordInAWindow) {
  Grid g(6, 4);
  VectorTable& t = g.table;
  VectorDataSet& ds = g.ds;
  ds.Open();
  ds.Next();  // N = 20, the window holds 10 .. 40
  ds.Insert();
  EXPECT_EQ(ds.BufferedRecordCount(), 4);
  EXPECT_EQ(ds.ActiveRecord(), 1) << "the new record stands before the current one";
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 20);
  EXPECT_EQ(ds.ActiveRecord(), 1);
  ds.Edit();
  ds.FieldByName("N").SetAsInteger(21);
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 20);
  // A ready record whose values do not convert is not added.
  EXPECT_THROW(ds.AppendRecord({TValue("not a number")}), EConvertError);
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 20);
  EXPECT_EQ(rowNumbers(t), (std::vector<int32_t>{10, 20, 30, 40, 50, 60}));
  EXPECT_THROW(ds.InsertRecord({TValue(1), TValue("far too long a name"), TValue(3)}), EDatabaseError);
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(t.Rows.size(), 6u);
  ds.AppendRecord({TValue(70)});
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 70);
}

TEST(DataSetVerbs, CloseDropsPendingEditsThroughTheRecordSource) {
  VectorTable t;
  t.Defs = {{"Notes", ftMemo, 0, false}};
  VectorDataSet ds(t);
  ds.Open();
  ds.AppendRecord({TValue("kept")});
  ds.Edit();
  ds.FieldByName("Notes").SetAsString("dropped");
  EventRecorder events(ds);
  ds.Close();
  EXPECT_EQ(events.Log, (Strings{"BeforeClose", "AfterClose"})) << "closing neither posts nor cancels";
  ds.Open();
  ds.Edit();
  EXPECT_EQ(ds.FieldByName("Notes").AsString(), "kept");
}

namespace {

// A dataset whose record source fails to close.
class FailingClose : public VectorDataSet {
public:
  using VectorDataSet::VectorDataSet;
  ~FailingClose() override { CloseForDestroy(); }

protected:
  void InternalClose() override {
    VectorDataSet::InternalClose();
    throw EDatabaseError("close failed");
  }
};

}  // namespace

TEST(DataSetVerbs, ACloseFailureWhileDestroyingGoesToTheExceptionHandler) {
  std::vector<std::string> Reported;
  SetExceptionHandler([&](const std::exception& e) { Reported.emplace_back(e.what()); });
  VectorTable t = numberedTable(1);
  int Events = 0;
  {
    FailingClose ds(t);
    ds.Open();
    EXPECT_THROW(ds.Close(), EDatabaseError) << "an ordinary close reports to its caller";
    EXPECT_FALSE(ds.Active());
    EXPECT_TRUE(Reported.empty());
    ds.Open();
    ds.BeforeClose = [&](TDataSet&) { ++Events; };
  }
  SetExceptionHandler(nullptr);
  EXPECT_EQ(Reported, (Strings{"close failed"}));
  EXPECT_EQ(Events, 0) << "a dataset being destroyed fires no close events";
}
