// Data sources and data links: what a bound control is told, and DisableControls.

#include "DataSetTestSupport.h"

#include "toolkit/Errors.h"

using namespace tesvar::toolkit;
using namespace tesvar::toolkit::test;

namespace {

using Strings = std::vector<std::string>;

struct Bound : Grid {
  Strings sourceLog;

  Bound() : Grid(5, 1) {
    src.OnStateChange = [this](TDataSource& s) { sourceLog.push_back("state " + std::to_string(s.State())); };
    src.OnDataChange = [this](TDataSource&, TField* f) {
      sourceLog.push_back(f != nullptr ? "data " + f->FieldName() : "data");
    };
  }
  ~Bound() {
    // The links' notifications while the fixture goes must not reach the log.
    src.OnStateChange = nullptr;
    src.OnDataChange = nullptr;
  }
  Strings take() { return std::exchange(link.Log, {}); }
};

}  // namespace

TEST(DataLinks, ReceiveTheNotificationsOfEachVerb) {
  Bound b;
  b.ds.Open();
  EXPECT_EQ(b.take(), (Strings{"active"}));
  EXPECT_TRUE(b.link.Active());
  b.ds.Next();
  EXPECT_EQ(b.take(), (Strings{"check browse", "scrolled 1"}));
  b.ds.Edit();
  EXPECT_EQ(b.take(), (Strings{"check browse", "editing", "record"}));
  EXPECT_TRUE(b.link.Editing());
  b.ds.FieldByName("N").SetAsInteger(21);
  EXPECT_EQ(b.take(), (Strings{"record N"}));
  b.ds.Post();
  EXPECT_EQ(b.take(), (Strings{"update data", "check browse", "not editing", "changed"}));
  EXPECT_FALSE(b.link.Editing());
  b.ds.First();
  EXPECT_EQ(b.take(), (Strings{"check browse", "changed"}));
  b.ds.Close();
  EXPECT_EQ(b.take(), (Strings{"inactive"}));
  EXPECT_FALSE(b.link.Active());
}

TEST(DataLinks, SourceReportsStateAndDataChanges) {
  Bound b;
  b.ds.Open();
  b.ds.Edit();
  b.ds.FieldByName("Name").SetAsString("x");
  b.ds.Cancel();
  EXPECT_EQ(b.sourceLog, (Strings{"state 1", "state 2", "data", "data Name", "state 1", "data"}));
  // A disabled source passes nothing on and its links are inactive.
  b.sourceLog.clear();
  b.take();
  b.src.SetEnabled(false);
  EXPECT_FALSE(b.link.Active());
  b.ds.Next();
  EXPECT_EQ(b.take(), (Strings{"inactive"}));
  b.src.SetEnabled(true);
  EXPECT_EQ(b.take(), (Strings{"active"}));
  EXPECT_EQ(b.sourceLog, (Strings{"state 0", "state 1"}));
}

TEST(DataLinks, ReadOnlyLinkDoesNotEditAndAutoEditStarts) {
  Bound b;
  b.ds.Open();
  b.link.SetReadOnly(true);
  EXPECT_FALSE(b.link.Edit());
  EXPECT_EQ(b.ds.State(), dsBrowse);
  b.link.SetReadOnly(false);
  EXPECT_TRUE(b.link.Edit());
  EXPECT_EQ(b.ds.State(), dsEdit);
  b.ds.Cancel();
  b.src.SetAutoEdit(false);
  EXPECT_FALSE(b.link.Edit());
  EXPECT_EQ(b.ds.State(), dsBrowse);
}

TEST(DataLinks, GridLinkScrollsOnlyPastItsRecords) {
  Bound b;
  b.link.SetBufferCount(3);
  b.ds.Open();
  b.take();
  EXPECT_EQ(b.link.RecordCount(), 3);
  b.ds.Next();
  b.ds.Next();
  EXPECT_EQ(b.take(), (Strings{"check browse", "scrolled 0", "check browse", "scrolled 0"}));
  EXPECT_EQ(b.link.ActiveRecord(), 2);
  b.ds.Next();  // past the grid's last row: the window moves by one
  EXPECT_EQ(b.take(), (Strings{"check browse", "scrolled 1"}));
  EXPECT_EQ(b.link.ActiveRecord(), 2);
  b.ds.MoveBy(-2);
  EXPECT_EQ(b.link.ActiveRecord(), 0);
  b.ds.Prior();
  EXPECT_EQ(b.take(), (Strings{"check browse", "scrolled 0", "check browse", "scrolled -1"}));
  EXPECT_EQ(b.ds.FieldByName("N").AsInteger(), 10);
  // Reading another row of the grid without moving the dataset.
  b.link.SetActiveRecord(2);
  EXPECT_EQ(b.ds.FieldByName("N").AsInteger(), 30);
  b.link.SetActiveRecord(0);
  EXPECT_THROW(b.link.SetBufferCount(0), EDatabaseError);
}

TEST(DataLinks, DisableControlsHoldsNotificationsUntilTheOutermostEnable) {
  Bound b;
  b.ds.Open();
  b.take();
  b.ds.DisableControls();
  b.ds.DisableControls();
  b.ds.Next();
  b.ds.Edit();
  b.ds.FieldByName("N").SetAsInteger(1);
  b.ds.Post();
  b.ds.Last();
  EXPECT_EQ(b.take(), (Strings{"check browse", "check browse", "update data", "check browse", "check browse"}))
      << "only the requests to write edits and leave edit mode pass";
  b.ds.EnableControls();
  EXPECT_TRUE(b.ds.ControlsDisabled());
  EXPECT_TRUE(b.take().empty());
  b.ds.EnableControls();
  EXPECT_FALSE(b.ds.ControlsDisabled());
  EXPECT_EQ(b.take(), (Strings{"changed"}));
  // A state left changed while disabled is reported before the data.
  b.ds.DisableControls();
  b.ds.Edit();
  b.ds.EnableControls();
  EXPECT_EQ(b.take(), (Strings{"check browse", "editing", "changed"}));
  // Nothing held, nothing reported.
  b.ds.DisableControls();
  b.ds.EnableControls();
  EXPECT_TRUE(b.take().empty());
  // Closed and reopened while disabled: the fields were remade.
  b.ds.Cancel();
  b.take();
  b.ds.DisableControls();
  b.ds.Close();
  b.ds.Open();
  b.ds.EnableControls();
  EXPECT_EQ(b.take(), (Strings{"layout"}));
}

TEST(DataLinks, CircularMasterLinksAreRefused) {
  VectorTable t = numberedTable(1);
  VectorDataSet master(t), detail(t);
  TDataSource masterSrc, detailSrc;
  masterSrc.SetDataSet(&master);
  detail.MasterSource = &masterSrc;
  detailSrc.SetDataSet(&detail);
  EXPECT_TRUE(detail.IsLinkedTo(&masterSrc) == false);
  // The master taking its values from the detail's source would close the loop.
  master.MasterSource = &detailSrc;
  EXPECT_TRUE(master.IsLinkedTo(&detailSrc));
  master.MasterSource = nullptr;
  TDataSource loop;
  detail.MasterSource = &loop;
  try {
    loop.SetDataSet(&detail);
    FAIL() << "a source feeding its own dataset";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
  }
  EXPECT_EQ(loop.DataSet(), nullptr);
  detail.MasterSource = nullptr;
}

TEST(DataLinks, DestroyingEitherSideDetaches) {
  TDataSource src;
  RecordingLink link;
  link.SetDataSource(&src);
  {
    VectorTable t = numberedTable(2);
    VectorDataSet ds(t);
    src.SetDataSet(&ds);
    ds.Open();
    EXPECT_TRUE(link.Active());
  }
  EXPECT_EQ(src.DataSet(), nullptr);
  EXPECT_FALSE(link.Active());
  {
    RecordingLink shortLived;
    shortLived.SetDataSource(&src);
    EXPECT_EQ(src.DataLinks().size(), 2u);
  }
  EXPECT_EQ(src.DataLinks().size(), 1u);
}
