// Field values of every stored type through the field objects: what the table holds reads back,
// what a field writes lands where the table keeps it, NULL rules, and BLOB values.

#include "DatasetTestSupport.h"

#include "toolkit/DateTime.h"
#include "toolkit/TDataLink.h"
#include "toolkit/TDataSource.h"
#include "toolkit/TMemoryStream.h"

#include <cmath>
#include <functional>

using namespace tesvar;
using namespace tesvar::datasettest;

namespace {

// Field numbers of the table below.
enum : int32_t { fName, fSmall, fInt, fWord, fFlag, fAmount, fPrice, fDay, fAt, fStamp, fBig, fRaw, fWide, fNotes, fPic };

TFieldDefs everyType() {
  return {{"Name", ftString, 20, false},     {"Small", ftSmallint, 0, false}, {"Int", ftInteger, 0, false},
          {"Word", ftWord, 0, false},        {"Flag", ftBoolean, 0, false},   {"Amount", ftFloat, 0, false},
          {"Price", ftCurrency, 0, false},   {"Day", ftDate, 0, false},       {"At", ftTime, 0, false},
          {"Stamp", ftDateTime, 0, false},   {"Big", ftLargeint, 0, false},   {"Raw", ftBytes, 4, false},
          {"Wide", ftWideString, 10, false}, {"Notes", ftMemo, 0, false},     {"Pic", ftGraphic, 0, false}};
}

// A dataset that lets the test see its active buffer's stored record.
class TOpenDataset : public TEdbDataset {
public:
  std::vector<uint8_t> StoredRecord() {
    const uint8_t* b = ActiveBuffer();
    return std::vector<uint8_t>(b, b + DataManager()->RecordSize());
  }
};

class DatasetFieldValues : public ::testing::Test {
protected:
  DatasetFieldValues() : env(everyType(), {}) {
    ds.SetDatabaseName("db");
    ds.SetTableName("T");
  }
  ~DatasetFieldValues() override { ds.Close(); }

  // Inserts a record as a post does: the BLOB header group and values, then the record.
  int32_t insert(TRecordImage& Image, const std::vector<uint8_t>& Notes = {}, const std::vector<uint8_t>& Pic = {}) {
    TEdbDataManager& m = env.M();
    const int32_t recNo = m.RecordCount();
    m.DisableAutoFlush();
    m.edAddBLOBRecord();
    for (auto [field, bytes] : {std::pair{fNotes, &Notes}, std::pair{fPic, &Pic}}) {
      if (bytes->empty()) continue;
      TMemoryStream s(*bytes);
      m.WriteBLOBValue(s, field, recNo);
      Image.NotNull(field);
    }
    m.edInsertRecord(Image.Data(), 0);
    m.EnableAutoFlush(true);
    return recNo;
  }

  TDatasetEnv env;
  TOpenDataset ds;
};

const TDateTime kDay = EncodeDate(2024, 2, 29);
const TDateTime kTime = EncodeTime(13, 45, 7, 250);

TEST_F(DatasetFieldValues, StoredValuesReadThroughTheFieldObjects) {
  TRecordImage r(env.M());
  const TTimeStamp stamp = DateTimeToTimeStamp(kDay + kTime);
  r.SetText(fName, "Диск 7")
      .Set<int16_t>(fSmall, -1234)
      .Set<int32_t>(fInt, 2000000000)
      .Set<uint16_t>(fWord, 65000)
      .Set<uint16_t>(fFlag, 1)
      .Set<double>(fAmount, 2.5)
      .Set<double>(fPrice, 19.99)
      .Set<int32_t>(fDay, stamp.Date)
      .Set<int32_t>(fAt, stamp.Time)
      .Set<double>(fStamp, TimeStampToMSecs(stamp))
      .Set<int64_t>(fBig, int64_t{1} << 40)
      .SetText(fRaw, std::string("\x01\x02\x03\x04", 4));
  const std::u16string wide = u"Диск";
  std::memcpy(r.Data() + env.M().FieldOffset(fWide), wide.data(), wide.size() * 2);
  r.NotNull(fWide);
  insert(r, {'m', 'e', 'm', 'o'}, {0xFF, 0x00, 0x7F});
  ds.Open();

  EXPECT_EQ(ds.FieldByName("Name").AsString(), "Диск 7");
  EXPECT_EQ(ds.FieldByName("Small").AsInteger(), -1234);
  EXPECT_EQ(ds.FieldByName("Int").AsInteger(), 2000000000);
  EXPECT_EQ(ds.FieldByName("Word").AsInteger(), 65000);
  EXPECT_TRUE(ds.FieldByName("Flag").AsBoolean());
  EXPECT_DOUBLE_EQ(ds.FieldByName("Amount").AsFloat(), 2.5);
  EXPECT_DOUBLE_EQ(ds.FieldByName("Price").AsFloat(), 19.99);
  EXPECT_DOUBLE_EQ(ds.FieldByName("Day").AsDateTime(), kDay);
  EXPECT_NEAR(ds.FieldByName("At").AsDateTime(), kTime, 1e-9);
  EXPECT_NEAR(ds.FieldByName("Stamp").AsDateTime(), kDay + kTime, 1e-8);
  EXPECT_EQ(ds.FieldByName("Big").AsLargeInt(), int64_t{1} << 40);
  EXPECT_EQ(ds.FieldByName("Raw").AsBytes(), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(ds.FieldByName("Wide").AsWideString(), wide);
  EXPECT_EQ(ds.FieldByName("Notes").AsString(), "memo");
  EXPECT_EQ(ds.FieldByName("Pic").AsBytes(), (std::vector<uint8_t>{0xFF, 0x00, 0x7F}));
  EXPECT_EQ(ds.FieldByName("id").AsInteger(), 1);
  for (int32_t i = 0; i < ds.FieldCount(); ++i) EXPECT_FALSE(ds.Fields()[i].IsNull()) << ds.Fields()[i].FieldName();
}

TEST_F(DatasetFieldValues, AFreshRecordIsNullEverywhereButItsID) {
  TRecordImage r(env.M());
  insert(r);
  ds.Open();
  for (int32_t i = 0; i + 1 < ds.FieldCount(); ++i) {
    TField& f = ds.Fields()[i];
    SCOPED_TRACE(f.FieldName());
    EXPECT_TRUE(f.IsNull());
    EXPECT_EQ(f.AsString(), "");
    EXPECT_TRUE(f.Value().IsNull());
  }
  EXPECT_EQ(ds.FieldByName("id").AsInteger(), 1);
}

// What the fields write into the record buffer is the table's own image: stored through the
// table manager, it reads back the same.
TEST_F(DatasetFieldValues, ValuesWrittenByTheFieldsRoundTripThroughTheTable) {
  TRecordImage blank(env.M());
  insert(blank);
  ds.Open();
  ds.Edit();
  const std::u16string wide = u"ёлка";
  ds.FieldByName("Name").SetAsString("Сборник");
  ds.FieldByName("Small").SetAsInteger(-32768);
  ds.FieldByName("Int").SetAsString("-17");
  ds.FieldByName("Word").SetAsInteger(65535);
  ds.FieldByName("Flag").SetAsBoolean(true);
  ds.FieldByName("Amount").SetAsFloat(-0.125);
  ds.FieldByName("Price").SetAsFloat(1e6);
  ds.FieldByName("Day").SetAsDateTime(kDay);
  ds.FieldByName("At").SetAsDateTime(kTime);
  ds.FieldByName("Stamp").SetAsDateTime(kDay + kTime);
  ds.FieldByName("Big").SetAsLargeInt(-(int64_t{1} << 50));
  ds.FieldByName("Raw").SetAsBytes({9, 8, 7, 6});
  ds.FieldByName("Wide").SetAsWideString(wide);
  std::vector<uint8_t> image = ds.StoredRecord();
  ds.Cancel();
  env.M().edUpdateRecord(image.data(), 0, 0);
  ds.Refresh();

  EXPECT_EQ(ds.FieldByName("Name").AsString(), "Сборник");
  EXPECT_EQ(ds.FieldByName("Small").AsInteger(), -32768);
  EXPECT_EQ(ds.FieldByName("Int").AsInteger(), -17);
  EXPECT_EQ(ds.FieldByName("Word").AsInteger(), 65535);
  EXPECT_TRUE(ds.FieldByName("Flag").AsBoolean());
  EXPECT_DOUBLE_EQ(ds.FieldByName("Amount").AsFloat(), -0.125);
  EXPECT_DOUBLE_EQ(ds.FieldByName("Price").AsFloat(), 1e6);
  EXPECT_DOUBLE_EQ(ds.FieldByName("Day").AsDateTime(), kDay);
  EXPECT_NEAR(ds.FieldByName("At").AsDateTime(), kTime, 1e-9);
  EXPECT_NEAR(ds.FieldByName("Stamp").AsDateTime(), kDay + kTime, 1e-8);
  EXPECT_EQ(ds.FieldByName("Big").AsLargeInt(), -(int64_t{1} << 50));
  EXPECT_EQ(ds.FieldByName("Raw").AsBytes(), (std::vector<uint8_t>{9, 8, 7, 6}));
  EXPECT_EQ(ds.FieldByName("Wide").AsWideString(), wide);
  EXPECT_EQ(ds.FieldByName("id").AsInteger(), 1);
  EXPECT_TRUE(ds.FieldByName("Notes").IsNull());
}

// Values that count as none: an empty text, day number 0, a date-time without a date, Clear.
TEST_F(DatasetFieldValues, EmptyValuesAreNull) {
  TRecordImage r(env.M());
  r.Set<int32_t>(fDay, 0).Set<double>(fStamp, 3600000.0).SetText(fName, "x").Set<int32_t>(fInt, 5);
  insert(r);
  ds.Open();
  EXPECT_TRUE(ds.FieldByName("Day").IsNull());
  EXPECT_TRUE(ds.FieldByName("Stamp").IsNull());
  EXPECT_FALSE(ds.FieldByName("Name").IsNull());

  ds.Edit();
  struct Case {
    const char* Field;
    std::function<void(TField&)> Fill, Empty;
  } cases[] = {
      {"Name", [](TField& f) { f.SetAsString("x"); }, [](TField& f) { f.SetAsString(""); }},
      {"Wide", [](TField& f) { f.SetAsWideString(u"x"); }, [](TField& f) { f.SetAsWideString(u""); }},
      {"Int", [](TField& f) { f.SetAsInteger(0); }, [](TField& f) { f.Clear(); }},
      {"Day", [](TField& f) { f.SetAsDateTime(kDay); },
       [](TField& f) {
         const int32_t zero[2] = {0, 0};
         f.SetData(zero);
       }},
      {"Stamp", [](TField& f) { f.SetAsDateTime(MinDateTime + kTime); },  // day 1 is a date
       [](TField& f) {
         const double noDate = 45000.0;
         f.SetData(&noDate);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Field);
    TField& f = ds.FieldByName(c.Field);
    c.Fill(f);
    EXPECT_FALSE(f.IsNull());
    c.Empty(f);
    EXPECT_TRUE(f.IsNull());
  }
  ds.Cancel();
}

TEST_F(DatasetFieldValues, BLOBValuesReadAndWrittenThroughTheFields) {
  const std::vector<uint8_t> big(100000, 'z');
  TRecordImage a(env.M());
  a.SetText(fName, "a");
  insert(a, big);
  TRecordImage b(env.M());
  b.SetText(fName, "b");
  insert(b, {}, {1, 2});
  ds.Open();
  EXPECT_EQ(ds.FieldByName("Notes").AsString(), std::string(big.begin(), big.end()));
  EXPECT_TRUE(ds.FieldByName("Pic").IsNull());
  EXPECT_TRUE(ds.FieldByName("Pic").AsBytes().empty());
  ds.Next();
  EXPECT_TRUE(ds.FieldByName("Notes").IsNull());
  EXPECT_EQ(ds.FieldByName("Notes").AsString(), "");
  EXPECT_EQ(ds.FieldByName("Pic").AsBytes(), (std::vector<uint8_t>{1, 2}));

  // Another record deleted elsewhere moves this one's physical number; its value follows.
  env.M().edDeleteBLOBRecord(0);
  env.M().edDeleteRecord(0, 0);
  ds.Refresh();
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "b");
  EXPECT_EQ(ds.FieldByName("Pic").AsBytes(), (std::vector<uint8_t>{1, 2}));

  ds.Edit();
  ds.FieldByName("Notes").SetAsString("new");
  ds.Post();
  TMemoryStream stored;
  env.M().ReadBLOBValue(stored, fNotes, 0);
  EXPECT_EQ(std::string(stored.Bytes().begin(), stored.Bytes().end()), "new");
  EXPECT_EQ(ds.FieldByName("Pic").AsBytes(), (std::vector<uint8_t>{1, 2}));
}

// Each record's BLOB value is its own, also when the generic layer moves among a window of
// buffers (the active buffer is then not the record the cursor stands on) and after a record
// elsewhere went (physical numbers move).
TEST_F(DatasetFieldValues, BLOBValuesBelongToTheRecordOfTheActiveBuffer) {
  const auto notesOf = [](const std::string& Name) {
    const std::string text = "notes of " + Name;
    return std::vector<uint8_t>(text.begin(), text.end());
  };
  for (const char* name : {"r0", "r1", "r2", "r3", "r4", "r5", "r6"}) {
    TRecordImage r(env.M());
    r.SetText(fName, name);
    insert(r, notesOf(name));
  }
  TDataSource source;
  TDataLink link;
  link.SetBufferCount(3);
  link.SetDataSource(&source);
  source.SetDataSet(&ds);
  ds.Open();
  const auto check = [&] {
    const std::string name = ds.FieldByName("Name").AsString();
    const std::vector<uint8_t> want = notesOf(name);
    EXPECT_EQ(ds.FieldByName("Notes").AsString(), std::string(want.begin(), want.end())) << name;
  };
  for (ds.First(); !ds.Eof(); ds.Next()) check();
  for (ds.Last(); !ds.Bof(); ds.Prior()) check();
  // A record before the others went: the last one took its physical place.
  env.M().edDeleteBLOBRecord(0);
  env.M().edDeleteRecord(0, 0);
  ds.Refresh();
  for (ds.First(); !ds.Eof(); ds.MoveBy(2)) check();
  source.SetDataSet(nullptr);
}

}  // namespace
