// Editing through a dataset: Append / Insert / Edit / Post / Cancel / Delete, unique keys, record
// IDs, the cursor after each change, BLOB values through the dataset's streams, the bulk insert
// and the messages of the editing calls.

#include "EditTestSupport.h"

#include "dataset/TEdbBlobStream.h"
#include "support/TestSeed.h"
#include "toolkit/Errors.h"

#include <cstdio>
#include <functional>
#include <map>
#include <random>

using namespace tesvar;
using namespace tesvar::datasettest;

namespace {

// The editing hooks, callable directly for their own checks.
class TEditDataset : public TEdbDataset {
public:
  TEditDataset() {
    SetDatabaseName("db");
    SetTableName("T");
  }
  ~TEditDataset() override { Close(); }
  using TEdbDataset::InternalAddRecord;
  using TEdbDataset::InternalDelete;
  using TEdbDataset::InternalPost;
};

const std::string kNameViolation = keyViolation("UName");
const std::string kNumViolation = keyViolation("UNum");

class DatasetEdit : public ::testing::Test {
protected:
  DatasetEdit() : env(editFields(), editIndexes()) {}

  // Appends (Name, Num, Amount = Num / 2) through the dataset and posts; returns the new ID.
  int32_t append(TEdbDataset& Ds, const std::string& Name, int32_t Num) {
    Ds.Append();
    Ds.FieldByName("Name").SetAsString(Name);
    Ds.FieldByName("Num").SetAsInteger(Num);
    Ds.FieldByName("Amount").SetAsFloat(Num / 2.0);
    Ds.Post();
    return currentId(Ds);
  }
  // Names in the dataset's order; the cursor is left on the first record.
  std::vector<std::string> names(TEdbDataset& Ds) {
    std::vector<std::string> out;
    const TBookmark here = Ds.Bookmark();
    for (Ds.First(); !Ds.Eof(); Ds.Next()) out.push_back(Ds.FieldByName("Name").AsString());
    if (!here.empty()) Ds.GotoBookmark(here);
    return out;
  }
  // The stored record of ID Id: "name/num", or "" when the table lacks it.
  std::string stored(int32_t Id) {
    const int32_t r = env.RecNoOf(Id);
    return r < 0 ? "" : env.NameOf(r) + "/" + std::to_string(env.NumOf(r));
  }
  std::string storedNote(int32_t Id, int32_t FieldNo = 3) {
    TMemoryStream s;
    env.M().ReadBLOBValue(s, FieldNo, env.RecNoOf(Id));
    return std::string(s.Bytes().begin(), s.Bytes().end());
  }

  bool nullFlagOf(int32_t Id, int32_t FieldNo) {
    const uint8_t* r = env.M().GetRecord(env.RecNoOf(Id));
    return (r[env.M().DataSize() + 4 + FieldNo / 8] >> (FieldNo % 8)) & 1;
  }
  // Moves to the record named Name.
  void go(TEdbDataset& Ds, const std::string& Name) {
    for (Ds.First(); !Ds.Eof(); Ds.Next())
      if (Ds.FieldByName("Name").AsString() == Name) return;
    FAIL() << Name << " not found";
  }

  TDatasetEnv env;
};

TEST_F(DatasetEdit, AppendAndInsertPostInIndexOrderWithTheCursorOnTheNewRecord) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.Open();
  EXPECT_EQ(append(ds, "mike", 5), 1);
  EXPECT_EQ(append(ds, "alpha", 7), 2);
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "alpha");
  EXPECT_EQ(ds.RecNo(), 1);
  ds.Insert();  // before the current record, but the index decides the place
  EXPECT_EQ(ds.State(), dsInsert);
  EXPECT_EQ(ds.RecNo(), 3);  // the table's record count + 1
  ds.FieldByName("Name").SetAsString("zulu");
  ds.FieldByName("Num").SetAsInteger(1);
  ds.Post();
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "zulu");
  EXPECT_EQ(currentId(ds), 3);
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(names(ds), (std::vector<std::string>{"alpha", "mike", "zulu"}));
  EXPECT_EQ(stored(3), "zulu/1");
  EXPECT_TRUE(ds.FieldByName("Amount").IsNull());
  // The next record is the one after it in the order.
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "mike");
}

TEST_F(DatasetEdit, AppendRecordAndInsertRecordStoreReadyRecords) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.Open();
  ds.AppendRecord({TValue("kilo"), TValue(4), TValue(2.5), TValue("note of kilo")});
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "kilo");
  ds.InsertRecord({TValue("bravo"), TValue(9)});
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "bravo");
  EXPECT_EQ(names(ds), (std::vector<std::string>{"bravo", "kilo"}));
  EXPECT_EQ(stored(1), "kilo/4");
  // A memo value given with the record is stored with it.
  EXPECT_EQ(storedNote(1), "note of kilo");
  const std::string violation = messageOf([&] { ds.AppendRecord({TValue("KILO"), TValue(5)}); });
  EXPECT_EQ(violation, keyViolation("UName", "TEdbDataSet.InternalAddRecord"));
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(env.M().RecordCount(), 2);
}

TEST_F(DatasetEdit, EditingAKeyMovesTheRecordAndTheCursorFollows) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.Open();
  for (const char* n : {"bravo", "delta", "foxtrot", "hotel"}) append(ds, n, static_cast<int32_t>(n[0]));
  ds.First();
  ASSERT_EQ(ds.FieldByName("Name").AsString(), "bravo");
  const int32_t id = currentId(ds);
  ds.Edit();
  ds.FieldByName("Name").SetAsString("golf");
  ds.Post();
  EXPECT_EQ(currentId(ds), id);
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(stored(id), "golf/98");
  ds.Next();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "hotel");
  ds.Prior();
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "foxtrot");
  // Backwards past records to the first place; a non-key edit keeps the place.
  ds.Last();
  ds.Edit();
  ds.FieldByName("Name").SetAsString("alpha");
  ds.Post();
  EXPECT_EQ(ds.RecNo(), 1);
  ds.Edit();
  ds.FieldByName("Amount").SetAsFloat(1.25);
  ds.Post();
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_EQ(names(ds), (std::vector<std::string>{"alpha", "delta", "foxtrot", "golf"}));
}

TEST_F(DatasetEdit, CancelLeavesTheTableAsItWas) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  const int32_t id = append(ds, "echo", 1);
  ds.Edit();
  ds.FieldByName("Name").SetAsString("changed");
  ds.FieldByName("Note").SetAsString("unposted");
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "echo");
  EXPECT_TRUE(ds.FieldByName("Note").IsNull());
  EXPECT_EQ(stored(id), "echo/1");
  EXPECT_EQ(storedNote(id), "");
  ds.Append();
  ds.FieldByName("Name").SetAsString("never");
  ds.Cancel();
  EXPECT_EQ(env.M().RecordCount(), 1);
  EXPECT_EQ(currentId(ds), id);
  // The ID the cancelled record showed is the next one's.
  EXPECT_EQ(append(ds, "next", 2), id + 1);
}

TEST_F(DatasetEdit, DeleteKeepsTheCursorOnTheFollowerAndRenumbersTheLastRecord) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.Open();
  for (const char* n : {"delta", "alpha", "charlie", "bravo"}) append(ds, n, static_cast<int32_t>(n[0]));
  // "bravo" is the last physical record; deleting "delta" (physical 0) moves it there.
  ds.First();
  ds.Next();
  ASSERT_EQ(ds.FieldByName("Name").AsString(), "bravo");
  const TBookmark bravo = ds.Bookmark();
  ds.Last();
  ASSERT_EQ(ds.FieldByName("Name").AsString(), "delta");
  ASSERT_EQ(env.RecNoOf(currentId(ds)), 0);
  ds.Delete();
  // The last record of the view went: the cursor is on the new last one.
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "charlie");
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(env.RecNoOf(4), 0);
  ds.GotoBookmark(bravo);
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "bravo");
  ds.First();
  ds.Delete();  // a middle place: the follower
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "bravo");
  EXPECT_EQ(ds.RecNo(), 1);
  ds.Delete();
  ds.Delete();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_EQ(env.M().RecordCount(), 0);
  EXPECT_EQ(messageOf([&] { ds.Delete(); }), "Cannot perform this operation on an empty dataset");
}

TEST_F(DatasetEdit, UniqueIndexesRefuseASecondKeyButNotTheRecordItself) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  append(ds, "Oscar", 1);
  const int32_t papa = append(ds, "papa", 2);
  struct Case {
    const char* Name;
    int32_t Num;  // 0: NULL
    const std::string* Message;
  };
  const Case cases[] = {
      {"OSCAR", 3, &kNameViolation},  // case-insensitive index: equal without letter case
      {"quebec", 2, &kNumViolation},
      {"romeo", 0, nullptr},          // the first NULL key is no collision
      {"sierra", 0, &kNumViolation},  // but NULL equals NULL
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const int32_t before = env.M().RecordCount();
    ds.Append();
    ds.FieldByName("Name").SetAsString(c.Name);
    if (c.Num != 0) ds.FieldByName("Num").SetAsInteger(c.Num);
    if (c.Message == nullptr) {
      ds.Post();
      EXPECT_EQ(env.M().RecordCount(), before + 1);
      continue;
    }
    const std::string message = messageOf([&] { ds.Post(); });
    EXPECT_EQ(message, *c.Message);
    // Nothing written, the record still being inserted.
    EXPECT_EQ(ds.State(), dsInsert);
    EXPECT_EQ(env.M().RecordCount(), before);
    ds.Cancel();
  }
  // The record keeps its own key, also changed only in letter case.
  go(ds, "papa");
  ASSERT_EQ(currentId(ds), papa);
  ds.Edit();
  ds.FieldByName("Name").SetAsString("PAPA");
  ds.Post();
  EXPECT_EQ(stored(papa), "PAPA/2");
  ds.Edit();
  ds.FieldByName("Num").SetAsInteger(1);
  EXPECT_EQ(messageOf([&] { ds.Post(); }), kNumViolation);
  EXPECT_EQ(ds.State(), dsEdit);
  ds.Cancel();
  EXPECT_EQ(stored(papa), "PAPA/2");
}

TEST_F(DatasetEdit, AFreshRecordShowsTheNextIDAndAnotherInsertTakesIt) {
  TEdbDataset& a = env.NewDataset();
  TEdbDataset& b = env.NewDataset();
  a.Open();
  b.Open();
  append(a, "first", 1);
  a.Append();
  EXPECT_EQ(currentId(a), 2);
  EXPECT_EQ(append(b, "second", 2), 2);
  a.FieldByName("Name").SetAsString("third");
  a.FieldByName("Num").SetAsInteger(3);
  a.Post();
  EXPECT_EQ(currentId(a), 3);
  EXPECT_EQ(stored(3), "third/3");
  EXPECT_EQ(a.RecordCount(), 3);
  // b sees a's record at its next access.
  EXPECT_EQ(b.RecordCount(), 3);
  EXPECT_EQ(currentId(b), 2);
}

TEST(DatasetEditUniqueID, ARecordTakingAFreshIDOfAnotherInsertStillCollides) {
  // The fresh record shows ID 1, which another dataset's insert takes meanwhile with the same
  // unique key: that record is not the fresh one, so the post is refused.
  TDatasetEnv env(storagetest::testFields(), {{"UName", "Name", "", "", ixUnique}});
  TEdbDataset& a = env.NewDataset();
  TEdbDataset& b = env.NewDataset();
  a.Open();
  b.Open();
  a.Append();
  a.FieldByName("Name").SetAsString("same");
  EXPECT_EQ(currentId(a), 1);
  b.AppendRecord({TValue("same"), TValue(2)});
  EXPECT_EQ(currentId(b), 1);
  EXPECT_EQ(messageOf([&] { a.Post(); }), keyViolation("UName"));
  EXPECT_EQ(env.M().RecordCount(), 1);
  a.FieldByName("Name").SetAsString("other");
  a.Post();
  EXPECT_EQ(currentId(a), 2);
}

TEST(DatasetEditElsewhere, AnEditOfARecordDeletedElsewhereOverwritesNothing) {
  // Without BLOB fields the edit reports the record; with them the physical position.
  for (const bool blobs : {false, true}) {
    SCOPED_TRACE(blobs);
    std::unique_ptr<TDatasetEnv> owner =
        blobs ? std::make_unique<TDatasetEnv>(editFields(), editIndexes()) : std::make_unique<TDatasetEnv>();
    TDatasetEnv& e = *owner;
    TEdbDataset& ds = e.NewDataset();
    ds.Open();
    e.Add("one", 1);
    const int32_t two = e.Add("two", 2);
    ds.Refresh();
    ds.Last();
    ASSERT_EQ(currentId(ds), two);
    ds.Edit();
    ds.FieldByName("Name").SetAsString("changed");
    e.Delete(two);
    EXPECT_EQ(messageOf([&] { ds.Post(); }),
              blobs ? "Error in TEdbDataSet.edWriteBLOBValue - error while detecting physical position, tPos = -1"
                    : "Error in TEdbDataSet.InternalPost - record not found, ID = 2.");
    ds.Cancel();
    ASSERT_EQ(e.M().RecordCount(), 1);
    EXPECT_EQ(e.NameOf(0), "one");
  }
}

TEST_F(DatasetEdit, MemoValuesGoThroughStreamsAndAreStoredAtPost) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  ds.Append();
  ds.FieldByName("Name").SetAsString("memo");
  ds.FieldByName("Num").SetAsInteger(1);
  // Two memo fields of one new record, and a value read back before the post.
  ds.FieldByName("Note").SetAsString("the note");
  ds.FieldByName("Extra").SetAsString("the extra");
  EXPECT_EQ(ds.FieldByName("Note").AsString(), "the note");
  EXPECT_FALSE(ds.FieldByName("Note").IsNull());
  ds.Post();
  const int32_t id = currentId(ds);
  EXPECT_EQ(storedNote(id, 3), "the note");
  EXPECT_EQ(storedNote(id, 4), "the extra");
  EXPECT_EQ(ds.FieldByName("Extra").AsString(), "the extra");

  // A read-write stream in an edit appends to the value.
  ds.Edit();
  {
    std::unique_ptr<TStream> s = ds.CreateBlobStream(ds.FieldByName("Note"), bmReadWrite);
    EXPECT_EQ(s->Size(), 8);
    s->Seek(0, soEnd);
    s->WriteBuffer(" and more", 9);
  }
  EXPECT_TRUE(ds.Modified());
  EXPECT_EQ(ds.RecNo(), 1);  // asking keeps the pending value
  EXPECT_EQ(ds.FieldByName("Note").AsString(), "the note and more");
  EXPECT_EQ(storedNote(id), "the note");  // only at post
  ds.Post();
  EXPECT_EQ(storedNote(id), "the note and more");

  // An empty value, and a cleared one, store NULL.
  ds.Edit();
  ds.FieldByName("Note").SetAsString("");
  ds.SetFieldData(ds.FieldByName("Extra"), nullptr);  // NULL written directly, as the SQL engine writes values
  ds.Post();
  EXPECT_TRUE(ds.FieldByName("Note").IsNull());
  EXPECT_TRUE(ds.FieldByName("Extra").IsNull());
  EXPECT_EQ(ds.FieldByName("Note").AsString(), "");
  EXPECT_EQ(storedNote(id, 3), "");
  EXPECT_EQ(storedNote(id, 4), "");
  EXPECT_TRUE(nullFlagOf(id, 3));
  // Their stored values are gone, not only hidden behind the null flags.
  EXPECT_FALSE(env.M().BLOBDirectory().Header(env.RecNoOf(id), 0).HasValue());
  EXPECT_FALSE(env.M().BLOBDirectory().Header(env.RecNoOf(id), 1).HasValue());
}

TEST_F(DatasetEdit, StreamsBelongToTheCurrentRecord) {
  TEdbDataset& ds = env.NewDataset();
  ds.SetIndexName("ByName");
  ds.Open();
  ds.AppendRecord({TValue("a"), TValue(1), TValue(0.5), TValue("value of a")});
  ds.AppendRecord({TValue("b"), TValue(2), TValue(1.0), TValue("value of b")});
  ds.First();
  EXPECT_EQ(ds.FieldByName("Note").AsString(), "value of a");
  ds.Next();
  EXPECT_EQ(ds.FieldByName("Note").AsString(), "value of b");
  // A value changed elsewhere is read again while browsing.
  TMemoryStream v(std::vector<uint8_t>{'n', 'e', 'w'});
  env.M().WriteBLOBValue(v, 3, env.RecNoOf(currentId(ds)));
  EXPECT_EQ(ds.FieldByName("Note").AsString(), "new");
  // A write stream on a record without an edit is dropped with the record's streams.
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("Note").AsString(), "value of a");
}

TEST_F(DatasetEdit, BulkInsertPostsItsOwnBufferAtTheEnd) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  append(ds, "before", 1);
  for (int32_t i = 0; i < 3; ++i) {
    ds.BeginBulkInsert();
    EXPECT_TRUE(ds.BulkInsertActive());
    EXPECT_EQ(ds.State(), dsInsert);
    EXPECT_TRUE(ds.FieldByName("Amount").IsNull());
    ds.FieldByName("Name").SetAsString("bulk" + std::to_string(i));
    ds.FieldByName("Num").SetAsInteger(10 + i);
    ds.FieldByName("Note").SetAsString("note " + std::to_string(i));
    ds.EndBulkInsert();
    EXPECT_FALSE(ds.BulkInsertActive());
    EXPECT_EQ(ds.State(), dsBrowse);
  }
  EXPECT_EQ(env.M().RecordCount(), 4);
  EXPECT_EQ(stored(3), "bulk1/11");
  EXPECT_EQ(storedNote(4), "note 2");
  // A violation keeps the bulk record; a cancel drops it.
  ds.BeginBulkInsert();
  ds.FieldByName("Name").SetAsString("bulk0");
  ds.FieldByName("Num").SetAsInteger(99);
  EXPECT_EQ(messageOf([&] { ds.EndBulkInsert(); }), kNameViolation);
  EXPECT_TRUE(ds.BulkInsertActive());
  ds.Cancel();
  EXPECT_FALSE(ds.BulkInsertActive());
  EXPECT_EQ(ds.State(), dsBrowse);
  EXPECT_EQ(env.M().RecordCount(), 4);
  ds.EndBulkInsert();  // none running: nothing
  EXPECT_EQ(env.M().RecordCount(), 4);
}

TEST_F(DatasetEdit, EditingCallsRaiseTheirMessages) {
  TEditDataset ds;
  ds.Open();
  EXPECT_EQ(messageOf([&] { ds.InternalDelete(); }), "Error in TEdbDataSet.InternalDelete - no records in table.");
  append(ds, "one", 1);
  EXPECT_EQ(messageOf([&] { ds.InternalPost(); }), "Error in TEdbDataSet.InternalPost - invalid state.");
  EXPECT_EQ(messageOf([&] { ds.InternalAddRecord(nullptr, true); }),
            "Error in TEdbDataSet.InternalAddRecord - 0 pointer to Buffer.");
  {
    std::unique_ptr<TStream> s = ds.CreateBlobStream(ds.FieldByName("Note"), bmRead);
    EXPECT_EQ(messageOf([&] { s->Write("x", 1); }), "Error in TEdbBlobStream.Write - blob stream is read only!");
    EXPECT_EQ(messageOf([&] { s->SetSize(0); }), "Error in TEdbBlobStream.Write - blob stream is read only!");
  }
  ds.Edit();
  ds.FieldByName("Name").SetAsString("two");
  ds.SetReadOnly(true);
  EXPECT_EQ(messageOf([&] { ds.Post(); }), "Error in TEdbDataSet.InternalPost - table is read only.");
  EXPECT_EQ(messageOf([&] { ds.InternalDelete(); }), "Error in TEdbDataSet.InternalDelete - table is read only.");
  std::vector<uint8_t> record(static_cast<size_t>(env.M().RecordSize() + 8));
  EXPECT_EQ(messageOf([&] { ds.InternalAddRecord(record.data(), true); }),
            "Error in TEdbDataSet.InternalAddRecord - table is read only.");
  TField& note = ds.FieldByName("Note");
  // At creation, not at the first write.
  EXPECT_EQ(messageOf([&] { (void)ds.CreateBlobStream(note, bmWrite); }),
            "Error in TEdbDataset.CreateBlobStream - Dataset is read only!");
  EXPECT_EQ(messageOf([&] { TEdbBlobStream s(ds, note, bmReadWrite); }),
            "Error in TEdbBlobStream.Create - Dataset is read only!");
  EXPECT_NE(ds.CreateBlobStream(note, bmRead), nullptr);
  ds.SetReadOnly(false);
  ds.Cancel();
  EXPECT_EQ(stored(1), "one/1");
}

TEST_F(DatasetEdit, AStreamWithoutARecordIsNotOpened) {
  TEditDataset ds;
  ds.Open();  // empty: no active record
  TEdbBlobStream s(ds, ds.FieldByName("Note"), bmWrite);
  EXPECT_FALSE(s.Opened());
  char c = 0;
  EXPECT_EQ(s.Read(&c, 1), 0u);
  EXPECT_EQ(s.Seek(5, soBeginning), 0);
  EXPECT_EQ(s.Size(), 0);
}

TEST_F(DatasetEdit, EventsOfPostAndDeleteComeInOrder) {
  TEdbDataset& ds = env.NewDataset();
  ds.Open();
  std::vector<std::string> events;
  const auto log = [&](const char* Name) { return [&events, Name](TDataSet&) { events.push_back(Name); }; };
  ds.BeforeInsert = log("BeforeInsert");
  ds.AfterInsert = log("AfterInsert");
  ds.BeforePost = log("BeforePost");
  ds.AfterPost = log("AfterPost");
  ds.BeforeDelete = log("BeforeDelete");
  ds.AfterDelete = log("AfterDelete");
  ds.OnNewRecord = [&](TDataSet& D) {
    events.push_back("OnNewRecord");
    D.FieldByName("Num").SetAsInteger(42);
  };
  ds.OnPostError = [&](TDataSet&, const Exception& E, TDataAction& Action) {
    events.push_back("OnPostError " + E.Message().substr(0, 30));
    Action = daAbort;
  };
  ds.Append();
  ds.FieldByName("Name").SetAsString("x");
  ds.Post();
  EXPECT_EQ(stored(1), "x/42");
  ds.Append();
  ds.FieldByName("Name").SetAsString("y");
  EXPECT_THROW(ds.Post(), EAbort);  // Num 42 again
  ds.Cancel();
  ds.Delete();
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeInsert", "OnNewRecord", "AfterInsert", "BeforePost", "AfterPost",
                                              "BeforeInsert", "OnNewRecord", "AfterInsert", "BeforePost",
                                              "OnPostError TEdbDataSet.InternalPost - key",
                                              "BeforeDelete", "AfterDelete"}));
  EXPECT_EQ(env.M().RecordCount(), 0);
}

}  // namespace

// A filtered dataset patches its own view after its posts and deletes: records leave it when an
// edit takes them out of the filter, come in when one brings them in, and a delete that moves
// the table's last record into the hole keeps that record shown under its new number. Checked
// against a model after every step, with deletes through a second, unfiltered dataset too.
TEST_F(DatasetEdit, FilteredViewFollowsPostsAndDeletes) {
  const uint64_t seed = testsupport::seedOr(20261211);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 random(seed);
  TEdbDataset& filtered = env.NewDataset();
  filtered.SetIndexName("ByName");
  filtered.SetFilter("Num < 50000");
  filtered.SetFiltered(true);
  filtered.Open();
  TEdbDataset& plain = env.NewDataset();
  plain.SetIndexName("ByName");
  plain.Open();
  std::map<std::string, int32_t> model;  // name -> num
  auto expected = [&] {
    std::vector<std::string> shown;
    for (const auto& [name, num] : model)
      if (num < 50000) shown.push_back(name);
    return shown;
  };
  for (int step = 0; step < 120; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const int what = static_cast<int>(random() % 4);
    const auto num = static_cast<int32_t>(random() % 100000);
    if (what == 0 || model.size() < 3) {
      char name[16];
      std::snprintf(name, sizeof name, "n%03d", static_cast<int>(random() % 1000));
      if (model.count(name) != 0) continue;
      try {
        append(num < 50000 ? filtered : plain, name, num);
        model[name] = num;
      } catch (const Exception&) {
        (num < 50000 ? filtered : plain).Cancel();  // UNum is unique: another record has that number
      }
    } else if (what == 1 && !filtered.IsEmpty()) {
      // An edit of a shown record, inside or outside the filter afterwards.
      filtered.MoveBy(static_cast<int32_t>(random() % 5));
      const std::string name = filtered.FieldByName("Name").AsString();
      const auto changed = static_cast<int32_t>(random() % 100000);
      filtered.Edit();
      filtered.FieldByName("Num").SetAsInteger(changed);
      try {
        filtered.Post();
        model[name] = changed;
      } catch (const Exception&) {
        filtered.Cancel();  // UNum is unique: another record has that number
      }
    } else if (!(what == 2 ? filtered : plain).IsEmpty()) {
      // A delete through either dataset. The cursor's record may have gone through the other
      // one: then the delete raises and deletes nothing, not the record now in its place.
      TEdbDataset& ds = what == 2 ? filtered : plain;
      ds.MoveBy(static_cast<int32_t>(random() % 5));
      const std::string name = ds.FieldByName("Name").AsString();
      if (model.count(name) != 0) {
        ds.Delete();
        model.erase(name);
      } else {
        EXPECT_NE(messageOf([&] { ds.Delete(); }).find("InternalDelete - record not found"), std::string::npos);
      }
    }
    // (The cursor's record may have gone through the other dataset: no bookmark to come back to.)
    std::vector<std::string> shown;
    for (filtered.First(); !filtered.Eof(); filtered.Next()) shown.push_back(filtered.FieldByName("Name").AsString());
    ASSERT_EQ(shown, expected());
    ASSERT_EQ(filtered.RecordCount(), static_cast<int32_t>(shown.size()));
  }
}
