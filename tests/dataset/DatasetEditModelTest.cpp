// Randomized model test of editing: two datasets on one table, each in its own index order,
// append, insert, edit key and non-key fields, post, cancel, delete (unique-key violations
// included, memo values written through streams) against a model of the rows. After every step
// both datasets show the model's rows in their order with the expected current record, and the
// table holds the model's records. Every store mode, plain and encrypted; TESVAR_SEED=<n>
// repeats a run.

#include "EditTestSupport.h"
#include "support/TestSeed.h"

#include <algorithm>
#include <map>
#include <random>

using namespace tesvar;
using namespace tesvar::datasettest;
using storagetest::TStoreCase;

namespace {

struct Row {
  std::string Name;  // unique without letter case: lower-case Latin letters
  int32_t Num = 0;   // unique
  std::string Note;  // "" = NULL
};

enum TOrder { oID, oName, oNumName };
const char* const kIndexNames[] = {"", "ByName", "ByNumName"};

class EditModelRun {
public:
  EditModelRun(TStoreCase Case, uint64_t Seed) : FEnv(Case), FRandom(Seed) {}

  void Run(int32_t Steps) {
    for (int32_t d = 0; d < 2; ++d) {
      FDs[d] = &FEnv.NewDataset();
      FOrder[d] = static_cast<TOrder>(pick(0, 2));
      FDs[d]->SetIndexName(kIndexNames[FOrder[d]]);
      FDs[d]->Open();
    }
    for (int32_t step = 0; step < Steps; ++step) {
      const int32_t d = pick(0, 1);
      FStep = "step " + std::to_string(step) + " dataset " + std::to_string(d) + ": ";
      const int32_t what = pick(0, 19);
      if (what < 6) addRecord(d, what < 4);
      else if (what < 11) editRecord(d);
      else if (what < 13) deleteRecord(d);
      else if (what < 17) move(d);
      else if (what < 18) interleavedAppend(d);
      else reorder(d);
      SCOPED_TRACE(FStep);
      FDs[1 - d]->Refresh();
      // An empty dataset that gets records shows the first one.
      for (int32_t c = 0; c < 2; ++c)
        if (FCurrent[c] == 0 && !FRows.empty()) FCurrent[c] = sorted(FOrder[c]).front();
      for (int32_t c = 0; c < 2; ++c) {
        SCOPED_TRACE("dataset " + std::to_string(c));
        check(c);
      }
      checkTable();
      if (::testing::Test::HasFailure()) return;
    }
  }

private:
  int32_t pick(int32_t Low, int32_t High) { return std::uniform_int_distribution<int32_t>(Low, High)(FRandom); }

  // From a small pool, so that names and numbers collide now and then.
  std::string randomName() {
    std::string n;
    for (int i = 0; i < 2; ++i) n += static_cast<char>('a' + pick(0, 5));
    return n;
  }
  int32_t randomNum() { return pick(0, 40); }
  std::string randomNote() {
    if (pick(0, 3) == 0) return "";
    return std::string(static_cast<size_t>(pick(1, 700)), static_cast<char>('a' + pick(0, 25))) + std::to_string(pick(0, 99));
  }

  bool less(TOrder Order, int32_t A, int32_t B) const {
    const Row& a = FRows.at(A);
    const Row& b = FRows.at(B);
    switch (Order) {
      case oName: return a.Name < b.Name;
      case oNumName: return a.Num != b.Num ? a.Num < b.Num : a.Name < b.Name;
      default: return A < B;
    }
  }
  std::vector<int32_t> sorted(TOrder Order) const {
    std::vector<int32_t> ids;
    for (const auto& [id, row] : FRows) ids.push_back(id);
    std::sort(ids.begin(), ids.end(), [&](int32_t A, int32_t B) { return less(Order, A, B); });
    return ids;
  }
  int32_t positionOf(int32_t D, int32_t Id) const {
    const std::vector<int32_t> ids = sorted(FOrder[D]);
    return static_cast<int32_t>(std::find(ids.begin(), ids.end(), Id) - ids.begin());
  }

  // The message a post of Row (as record SelfID; 0 for a new one) must raise, "" for none.
  std::string violation(const Row& R, int32_t SelfID, bool AddRecord = false) const {
    const char* call = AddRecord ? "TEdbDataSet.InternalAddRecord" : "TEdbDataSet.InternalPost";
    for (const auto& [id, row] : FRows)
      if (id != SelfID && row.Name == R.Name) return keyViolation("UName", call);
    for (const auto& [id, row] : FRows)
      if (id != SelfID && row.Num == R.Num) return keyViolation("UNum", call);
    return "";
  }

  void setNote(TEdbDataset& Ds, const std::string& Note) {
    TField& f = Ds.FieldByName("Note");
    switch (pick(0, 2)) {
      case 0: f.SetAsString(Note); break;
      case 1: {
        std::unique_ptr<TStream> s = Ds.CreateBlobStream(f, bmWrite);
        s->WriteBuffer(Note.data(), Note.size());
        break;
      }
      default: {
        // Written in two parts through a read-write stream.
        { std::unique_ptr<TStream> s = Ds.CreateBlobStream(f, bmWrite); }
        std::unique_ptr<TStream> s = Ds.CreateBlobStream(f, bmReadWrite);
        const size_t half = Note.size() / 2;
        s->WriteBuffer(Note.data(), half);
        s.reset();
        s = Ds.CreateBlobStream(f, bmReadWrite);
        s->Seek(0, soEnd);
        s->WriteBuffer(Note.data() + half, Note.size() - half);
        break;
      }
    }
  }

  void fill(TEdbDataset& Ds, const Row& R) {
    Ds.FieldByName("Name").SetAsString(R.Name);
    Ds.FieldByName("Num").SetAsInteger(R.Num);
    setNote(Ds, R.Note);
  }

  void addRecord(int32_t D, bool AppendVerb) {
    TEdbDataset& ds = *FDs[D];
    const Row r{randomName(), randomNum(), randomNote()};
    const bool ready = pick(0, 3) == 0;
    FStep += (ready ? "add ready " : AppendVerb ? "append " : "insert ") + r.Name + " " + std::to_string(r.Num);
    const std::string expected = violation(r, 0, ready);
    const int32_t before = FCurrent[D];
    std::string message;
    if (ready) {
      std::vector<TValue> values{TValue(r.Name), TValue(r.Num), TValue::Null(),
                                 r.Note.empty() ? TValue::Null() : TValue(r.Note)};
      message = testsupport::messageOf([&] {
        if (AppendVerb) ds.AppendRecord(values);
        else ds.InsertRecord(values);
      });
    } else {
      if (AppendVerb) ds.Append();
      else ds.Insert();
      fill(ds, r);
      message = testsupport::messageOf([&] { ds.Post(); });
      if (!message.empty() && message != "(no exception)") {
        EXPECT_EQ(ds.State(), dsInsert) << FStep;
        ds.Cancel();
      }
    }
    if (expected.empty()) {
      EXPECT_EQ(message, "(no exception)") << FStep;
      const int32_t id = ++FLastID;
      FRows[id] = r;
      FCurrent[D] = id;
    } else {
      EXPECT_EQ(message, expected) << FStep;
      FCurrent[D] = before;
    }
  }

  void editRecord(int32_t D) {
    TEdbDataset& ds = *FDs[D];
    if (FCurrent[D] == 0) return;
    const int32_t id = FCurrent[D];
    Row r = FRows.at(id);
    const int32_t what = pick(0, 4);
    FStep += "edit " + std::to_string(id) + " (" + std::to_string(what) + ")";
    ds.Edit();
    if (what == 0 || what == 3) {
      r.Name = randomName();
      ds.FieldByName("Name").SetAsString(r.Name);
    }
    if (what == 1 || what == 3) {
      r.Num = randomNum();
      ds.FieldByName("Num").SetAsInteger(r.Num);
    }
    if (what == 2 || what == 4) {
      r.Note = randomNote();
      setNote(ds, r.Note);
    }
    if (pick(0, 4) == 0) {
      FStep += " cancelled";
      ds.Cancel();
      return;
    }
    const std::string expected = violation(r, id);
    const std::string message = testsupport::messageOf([&] { ds.Post(); });
    if (expected.empty()) {
      EXPECT_EQ(message, "(no exception)") << FStep;
      FRows[id] = r;
    } else {
      EXPECT_EQ(message, expected) << FStep;
      EXPECT_EQ(ds.State(), dsEdit) << FStep;
      ds.Cancel();
    }
  }

  // Where a dataset's cursor goes when record Id leaves: the record that followed it, else the
  // new last one, else none. Computed before the model drops Id.
  int32_t follower(int32_t D, int32_t Id) const {
    const std::vector<int32_t> ids = sorted(FOrder[D]);
    const auto at = std::find(ids.begin(), ids.end(), Id);
    if (at + 1 != ids.end()) return *(at + 1);
    return at != ids.begin() ? *(at - 1) : 0;
  }

  void deleteRecord(int32_t D) {
    if (FCurrent[D] == 0) return;
    const int32_t id = FCurrent[D];
    FStep += "delete " + std::to_string(id);
    FDs[D]->Delete();
    const int32_t other = 1 - D;
    if (FCurrent[other] == id) FCurrent[other] = follower(other, id);
    FCurrent[D] = follower(D, id);
    FRows.erase(id);
  }

  void move(int32_t D) {
    TEdbDataset& ds = *FDs[D];
    const std::vector<int32_t> ids = sorted(FOrder[D]);
    const int32_t n = static_cast<int32_t>(ids.size());
    if (n == 0) return;
    int32_t p = positionOf(D, FCurrent[D]);
    switch (pick(0, 3)) {
      case 0: FStep += "first"; ds.First(); p = 0; break;
      case 1: FStep += "last"; ds.Last(); p = n - 1; break;
      default: {
        const int32_t by = pick(-3, 3);
        FStep += "move by " + std::to_string(by);
        ds.MoveBy(by);
        p = std::clamp(p + by, 0, n - 1);
        break;
      }
    }
    FCurrent[D] = ids[static_cast<size_t>(p)];
  }

  // An append pending in D while the other dataset appends and posts: D's record gets the ID
  // after the other's.
  void interleavedAppend(int32_t D) {
    TEdbDataset& ds = *FDs[D];
    TEdbDataset& other = *FDs[1 - D];
    Row mine{randomName(), randomNum(), randomNote()};
    Row theirs{randomName(), randomNum(), randomNote()};
    if (!violation(mine, 0).empty() || !violation(theirs, 0).empty() || mine.Name == theirs.Name ||
        mine.Num == theirs.Num)
      return;
    FStep += "interleaved append " + mine.Name + " / " + theirs.Name;
    ds.Append();
    fill(ds, mine);
    other.Append();
    fill(other, theirs);
    other.Post();
    FRows[++FLastID] = theirs;
    FCurrent[1 - D] = FLastID;
    ds.Post();
    FRows[++FLastID] = mine;
    FCurrent[D] = FLastID;
  }

  void reorder(int32_t D) {
    FOrder[D] = static_cast<TOrder>(pick(0, 2));
    FStep += std::string("index ") + kIndexNames[FOrder[D]];
    FDs[D]->SetIndexName(kIndexNames[FOrder[D]]);
  }

  void check(int32_t D) {
    TEdbDataset& ds = *FDs[D];
    const std::vector<int32_t> ids = sorted(FOrder[D]);
    ASSERT_EQ(ds.State(), dsBrowse);
    ASSERT_EQ(ds.RecordCount(), static_cast<int32_t>(ids.size()));
    ASSERT_EQ(currentId(ds), FCurrent[D]);
    if (FCurrent[D] == 0) {
      ASSERT_TRUE(ds.IsEmpty());
      return;
    }
    ASSERT_EQ(ds.RecNo(), positionOf(D, FCurrent[D]) + 1);
    const Row& r = FRows.at(FCurrent[D]);
    ASSERT_EQ(ds.FieldByName("Name").AsString(), r.Name);
    ASSERT_EQ(ds.FieldByName("Num").AsInteger(), r.Num);
    ASSERT_EQ(ds.FieldByName("Note").AsString(), r.Note);
    ASSERT_EQ(ds.FieldByName("Note").IsNull(), r.Note.empty());
    // Every row in order, then back to the current record.
    const TBookmark here = ds.Bookmark();
    std::vector<int32_t> seen;
    for (ds.First(); !ds.Eof(); ds.Next()) seen.push_back(currentId(ds));
    ASSERT_EQ(seen, ids);
    ds.GotoBookmark(here);
    ASSERT_EQ(currentId(ds), FCurrent[D]);
  }

  void checkTable() {
    TEdbDataManager& m = FEnv.M();
    ASSERT_EQ(m.RecordCount(), static_cast<int32_t>(FRows.size()));
    for (int32_t recNo = 0; recNo < m.RecordCount(); ++recNo) {
      const int32_t id = FEnv.IdOf(recNo);
      ASSERT_TRUE(FRows.count(id)) << "record " << recNo << " has ID " << id;
      const Row& r = FRows.at(id);
      ASSERT_EQ(FEnv.NameOf(recNo), r.Name) << id;
      ASSERT_EQ(FEnv.NumOf(recNo), r.Num) << id;
      ASSERT_EQ(FEnv.Memo(recNo), r.Note) << id;
    }
  }

  TEditEnv FEnv;
  std::mt19937_64 FRandom;
  TEdbDataset* FDs[2] = {nullptr, nullptr};
  TOrder FOrder[2] = {oID, oID};
  int32_t FCurrent[2] = {0, 0};  // record ID, 0 none
  std::map<int32_t, Row> FRows;
  int32_t FLastID = 0;
  std::string FStep;
};

class DatasetEditModel : public ::testing::TestWithParam<TStoreCase> {};

TEST_P(DatasetEditModel, TwoDatasetsEditingOneTableFollowTheModel) {
  const uint64_t seed = testsupport::seedOr(std::random_device{}());
  SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed));
  EditModelRun(GetParam(), seed).Run(300);
}

INSTANTIATE_TEST_SUITE_P(Stores, DatasetEditModel, ::testing::ValuesIn(storagetest::allStoreCases()),
                         [](const auto& Info) { return storagetest::caseName(Info.param); });

}  // namespace
