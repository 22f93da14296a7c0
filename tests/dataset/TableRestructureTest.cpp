// Restructuring and importing tables through the table component: records keep their IDs and
// values (converted through the field objects when a field's type or size changes), a value that
// does not convert stops the restructure with the field's error, and a restructure or import that
// fails (an injected host fault at any step) or is cancelled leaves the table as it was.

#include "TableTestSupport.h"
#include "toolkit/FieldClasses.h"
#include "toolkit/TDataSource.h"
#include "toolkit/VectorDataSet.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace tesvar;
using namespace tesvar::tabletest;
using platform::FaultKind;

namespace {

const std::string kSavingError = "Error in TEdbDataset.RestructureTable - error while saving data. Restructure aborted. ";

// The names of the tables in the store's database, sorted.
std::vector<std::string> tablesIn(TTableStore& Store) {
  TEdbTable& probe = Store.NewTable();
  TEdbDatabaseManager& database = edGetDatabaseManager(Store.FCase.Mode == pfs::fsmSingleFile ? "db.edb" : "db", &probe);
  database.OpenStore();
  const pfs::TFileStoreMode mode = Store.FCase.Mode == pfs::fsmInMemory    ? pfs::fsmInMemory
                                   : Store.FCase.Mode == pfs::fsmTemporary ? pfs::fsmTemporary
                                                                          : pfs::fsmDefault;
  TAbstractPlainFileSystem* files = database.GetStore(mode);
  std::vector<std::string> names;
  if (files != nullptr) files->GetFileNames(".dat", names);
  database.CloseStore();
  (void)database.ReleaseIfUnused();
  for (std::string& name : names)
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dat") == 0) name.resize(name.size() - 4);
  std::sort(names.begin(), names.end());
  return names;
}

// Everything a user sees of a table: fields, indexes, records (ID and every value as text, BLOB
// values whole, "\N" for NULL) in ID order, and the next ID.
struct TTableImage {
  std::vector<std::string> Fields;
  std::vector<std::string> Indexes;
  std::vector<std::string> Records;
  int32_t LastAutoInc = 0;
  bool operator==(const TTableImage&) const = default;
};

void PrintTo(const TTableImage& Image, std::ostream* Out) {
  *Out << "fields";
  for (const std::string& f : Image.Fields) *Out << " " << f;
  *Out << "; indexes";
  for (const std::string& i : Image.Indexes) *Out << " " << i;
  *Out << "; last ID " << Image.LastAutoInc << "; " << Image.Records.size() << " records";
  for (const std::string& r : Image.Records) *Out << "\n  " << r.substr(0, 80);
}

TTableImage imageOf(TEdbTable& Table) {
  TTableImage image;
  Table.Open();
  const TEdbDataManager& m = *Table.DataManager();
  for (const TFieldHeader& f : m.FieldHeaders())
    image.Fields.push_back(f.Name + ":" + std::to_string(f.FieldType) + ":" + std::to_string(f.Size) + (f.Required ? ":r" : ""));
  for (int32_t i = 0; i < m.IndexCount(); ++i) {
    const TIndexHeader& h = m.Index(i).Header();
    std::string text = h.Name + ":" + std::to_string(h.Options) + (h.AllDescending ? ":desc" : "") + (h.AllCaseInsensitive ? ":ci" : "");
    for (int32_t k = 0; k < h.FieldCount(); ++k)
      text += ":" + std::to_string(h.FieldNos[static_cast<size_t>(k)]) + (h.Ascending(k) ? "a" : "d") + (h.CaseInsensitive(k) ? "i" : "");
    image.Indexes.push_back(text);
  }
  image.LastAutoInc = m.TableHeader().LastAutoInc;
  Table.SetIndexName("@" + m.TableHeader().IDFieldName);
  for (Table.First(); !Table.Eof(); Table.Next()) {
    std::string row;
    for (int32_t k = 0; k < Table.FieldCount(); ++k) {
      TField& f = Table.Fields()[k];
      row += (k ? "|" : "") + (f.IsNull() ? std::string("\\N") : f.AsString());
    }
    image.Records.push_back(row);
  }
  Table.Close();
  Table.SetIndexName("");
  return image;
}

// Name (string of 20, required), Num (integer), Amount (float), Note (memo), Pic (blob); ID the
// record-ID field; ByName on Name without case, ByNumName on Num then Name, descending; with the
// automatic indexes.
TFieldDefs sourceFields() {
  return {{"ID", ftAutoInc, 0, false}, {"Name", ftString, 20, true}, {"Num", ftInteger, 0, false},
          {"Amount", ftFloat, 0, false}, {"Note", ftMemo, 0, false},   {"Pic", ftBlob, 0, false}};
}

TIndexDefs sourceIndexes() {
  return {{"ByName", "Name", "", "", ixCaseInsensitive}, {"ByNumName", "Num;Name", "Num;Name", "", ixDescending}};
}

// Table T with Count records; record i (from 0) has Name "name<i>", Num i * 3, Amount i / 4,
// Note a text of 100 + 7i characters on odd records only, Pic four bytes on every third; then the
// records with i divisible by 5 and the last one are deleted, so that the IDs have gaps and the
// highest ID ever given is no record's.
void createSource(TTableStore& Env, int32_t Count) {
  TEdbTable& t = Env.NewTable();
  t.FieldDefs() = sourceFields();
  t.SetIndexDefs(sourceIndexes());
  t.CreateTable();
  t.Open();
  for (int32_t i = 0; i < Count; ++i) {
    t.Append();
    t.FieldByName("Name").SetAsString("name" + std::to_string(i));
    t.FieldByName("Num").SetAsInteger(i * 3);
    t.FieldByName("Amount").SetAsFloat(i / 4.0);
    if (i % 2 == 1) t.FieldByName("Note").SetAsString(std::string(static_cast<size_t>(100 + 7 * i), static_cast<char>('a' + i % 26)));
    if (i % 3 == 0) t.FieldByName("Pic").SetAsString(std::string("\x01\x02\x00\xFF", 4));
    t.Post();
  }
  for (t.First(); !t.Eof();) {
    const int32_t id = t.FieldByName("ID").AsInteger();
    if ((id - 1) % 5 == 0 || id == Count) t.Delete();
    else t.Next();
  }
  t.Close();
}

// The new structure: Name widened to 30, Num renamed Number at its place, Amount dropped, a new
// string field Extra, the memo and the BLOB kept.
TFieldDefs newFields() {
  return {{"ID", ftAutoInc, 0, false}, {"Name", ftString, 30, true}, {"Number", ftInteger, 0, false},
          {"Note", ftMemo, 0, false},   {"Pic", ftBlob, 0, false},    {"Extra", ftString, 10, false}};
}

// With a unique index the records go through the datasets (whose post checks it), else they are
// appended at the storage level: both ways give the same table.
TIndexDefs newIndexes(bool Unique = false) {
  TIndexDefs indexes = {{"ByName", "Name", "", "", ixCaseInsensitive}, {"ByNumber", "Number", "", "", {}}};
  if (Unique) indexes.push_back({"UName", "Name", "", "", ixUnique});
  return indexes;
}

void restructure(TEdbTable& T, bool Unique = false) {
  T.FieldDefs() = newFields();
  T.SetIndexDefs(newIndexes(Unique));
  T.RestructureTable(T.Encrypted(), T.Password(), static_cast<TCompressionLevel>(T.BLOBCompression()), T.BLOBBlockSize());
}

// What the source's image becomes: Amount gone, Extra NULL at the end.
TTableImage expectedAfter(const TTableImage& Before) {
  TTableImage after;
  for (const std::string& row : Before.Records) {
    std::vector<std::string> values;
    size_t start = 0;
    for (size_t bar; (bar = row.find('|', start)) != std::string::npos; start = bar + 1) values.push_back(row.substr(start, bar - start));
    values.push_back(row.substr(start));
    // Name | Num | Amount | Note | Pic | ID  ->  Name | Number | Note | Pic | Extra | ID
    after.Records.push_back(values[0] + "|" + values[1] + "|" + values[3] + "|" + values[4] + "|\\N|" + values[5]);
  }
  return after;
}

class TableRestructure : public ::testing::TestWithParam<TStoreCase> {};

TEST_P(TableRestructure, RecordsKeepTheirIDsAndARenamedFieldAtItsPlaceKeepsItsData) {
  for (const bool unique : {false, true}) {
    SCOPED_TRACE(unique ? "through the datasets" : "at the storage level");
    TTableStore env(GetParam());
    createSource(env, 40);
    TEdbTable& t = env.NewTable();
    const TTableImage before = imageOf(t);
    std::vector<double> percents;
    t.OnProgress = [&percents](const void*, double Percent, TedProgressProcess Process, bool&) {
      EXPECT_EQ(Process, edppRestructure);
      percents.push_back(Percent);
    };
    restructure(t, unique);
    EXPECT_FALSE(t.Active());
    const TTableImage after = imageOf(t);
    EXPECT_EQ(after.Records, expectedAfter(before).Records);
    EXPECT_EQ(after.LastAutoInc, before.LastAutoInc) << "the next record gets the ID it would have had";
    ASSERT_FALSE(percents.empty());
    EXPECT_DOUBLE_EQ(percents.front(), 0);
    EXPECT_DOUBLE_EQ(percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    EXPECT_EQ(tablesIn(env), std::vector<std::string>{"T"}) << "no backup is left";

    // Every index holds each record once, in key order.
    t.Open();
    TEdbDataManager& m = *t.DataManager();
    for (int32_t k = 0; k < m.IndexCount(); ++k) {
      SCOPED_TRACE(m.Index(k).Header().Name);
      m.BuildIndex(k);
      ASSERT_EQ(m.Index(k).Count(), m.RecordCount());
      for (int32_t i = 1; i < m.Index(k).Count(); ++i) {
        const std::vector<uint8_t> prior(m.GetRecord(m.Index(k).At(i - 1)), m.GetRecord(m.Index(k).At(i - 1)) + m.RecordSize());
        EXPECT_LE(m.Index(k).CompareKeys(prior.data(), m.GetRecord(m.Index(k).At(i))), 0) << i;
      }
    }
    // The new indexes work on the copied records.
    t.SetIndexName("ByNumber");
    t.First();
    EXPECT_EQ(t.FieldByName("Number").AsInteger(), 3);
    t.Close();
  }
}

TEST_P(TableRestructure, CancelAtAnyPercentageLeavesTheTableAsItWas) {
  for (const bool unique : {false, true}) {
    for (const double cancelAt : {0.0, 10.0, 50.0, 90.0}) {
      SCOPED_TRACE((unique ? "through the datasets, cancel at " : "at the storage level, cancel at ") + std::to_string(cancelAt));
      TTableStore env(GetParam());
      createSource(env, 40);
      TEdbTable& t = env.NewTable();
      const TTableImage before = imageOf(t);
      t.OnProgress = [cancelAt](const void*, double Percent, TedProgressProcess, bool& Cancel) { Cancel = Percent >= cancelAt; };
      EXPECT_EQ(messageOf([&] { restructure(t, unique); }), kSavingError + "cancelled.");
      EXPECT_EQ(imageOf(env.NewTable()), before);
      EXPECT_EQ(tablesIn(env), std::vector<std::string>{"T"});
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, TableRestructure, ::testing::ValuesIn(storagetest::allStoreCases()),
                         [](const auto& Info) { return storagetest::caseName(Info.param); });

// ---- Injected host faults ------------------------------------------------------------------------

class TableRestructureFault : public ::testing::TestWithParam<TStoreCase> {};

// Fails the k-th host operation of Kind for k = 1, 2, ... until the restructure succeeds. After
// each failure the table opens under its name exactly as it was and no other table is left (a
// new table whose deletion the fault stopped stays under its backup name), or, when only the
// deletion of the former table failed, the table is the new one and what is left of the former
// one is under the backup name the error gives.
TEST_P(TableRestructureFault, AFaultAtAnyStepLeavesTheTableAsItWasOrTheChangeComplete) {
  for (const FaultKind kind : {FaultKind::Write, FaultKind::Rename, FaultKind::Delete, FaultKind::Flush, FaultKind::SizeChange}) {
    bool succeeded = false;
    int32_t failures = 0;
    for (uint64_t k = 1; k < 400 && !succeeded; ++k) {
      SCOPED_TRACE("fault kind " + std::to_string(static_cast<int>(kind)) + ", operation " + std::to_string(k));
      TTableStore env(GetParam());
      createSource(env, 12);
      const TTableImage before = imageOf(env.NewTable());
      env.FFaults.FailAt(kind, k);
      const std::string error = messageOf([&] { restructure(env.NewTable()); });
      env.FFaults.Reset();
      if (error == "(no exception)") {
        succeeded = true;
      } else if (const size_t kept = error.find("the former table \""); kept != std::string::npos) {
        // Only the deletion of the former table failed: the change stands, the rest of the former
        // table is under the backup name the error gives.
        ++failures;
        EXPECT_EQ(kind, FaultKind::Delete) << error;
        const size_t start = kept + std::string("the former table \"").size();
        const std::string backup = error.substr(start, error.find('"', start) - start);
        EXPECT_EQ(backup.rfind("T_backup", 0), 0u) << error;
        EXPECT_EQ(imageOf(env.NewTable()).Records, expectedAfter(before).Records);
        EXPECT_EQ(tablesIn(env), (std::vector<std::string>{"T", backup}));
        continue;
      } else {
        ++failures;
        EXPECT_EQ(imageOf(env.NewTable()), before) << error;
        // A new table whose deletion the fault stopped stays under its backup name.
        for (const std::string& name : tablesIn(env))
          EXPECT_TRUE(name == "T" || (kind == FaultKind::Delete && name.rfind("T_backup", 0) == 0)) << name << ": " << error;
        continue;
      }
      EXPECT_EQ(imageOf(env.NewTable()).Records, expectedAfter(before).Records);
      EXPECT_EQ(tablesIn(env), std::vector<std::string>{"T"});
    }
    EXPECT_TRUE(succeeded);
    // A container renames and deletes its files inside the container file.
    if (kind == FaultKind::Write || (GetParam().Mode == pfs::fsmDirectory && kind != FaultKind::SizeChange)) {
      EXPECT_GT(failures, 0) << "the faults reached the restructure";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(HostStores, TableRestructureFault, ::testing::ValuesIn(storagetest::hostStoreCases()),
                         [](const auto& Info) { return storagetest::caseName(Info.param); });

// ---- Conversions ------------------------------------------------------------------------------

struct TConversion {
  const char* Name;
  TFieldType From;
  int32_t FromSize;
  std::function<void(TField&)> Set;
  TFieldType To;
  int32_t ToSize;
  std::string Expected;  // the new field's AsString, or the error after the restructure prefix
  bool Fails;
};

class TableRestructureConversion : public ::testing::TestWithParam<TConversion> {};

// Field F changes its type or size; its value converts as an assignment between the two field
// objects does, or the restructure stops with that assignment's error and the table stays.
TEST_P(TableRestructureConversion, AValueConvertsThroughTheFieldObjectsOrStopsTheRestructure) {
  const TConversion& c = GetParam();
  TTableStore env({pfs::fsmDirectory, false});
  TEdbTable& t = env.NewTable();
  t.FieldDefs() = {{"Keep", ftInteger, 0, false}, {"F", c.From, c.FromSize, false}};
  t.CreateTable();
  t.Open();
  t.Append();
  t.FieldByName("Keep").SetAsInteger(1);
  c.Set(t.FieldByName("F"));
  t.Post();
  t.Close();
  const TTableImage before = imageOf(t);
  t.FieldDefs() = {{"Keep", ftInteger, 0, false}, {"F", c.To, c.ToSize, false}};
  t.SetIndexDefs({});
  const std::string error = messageOf([&] { t.RestructureTable(false, "", codec::clNone, 512); });
  if (c.Fails) {
    EXPECT_EQ(error, kSavingError + c.Expected);
    EXPECT_EQ(imageOf(t), before);
    return;
  }
  EXPECT_EQ(error, "(no exception)");
  t.Open();
  EXPECT_EQ(t.FieldByName("F").DataType(), c.To);
  EXPECT_EQ(t.FieldByName("F").AsString(), c.Expected);
  EXPECT_EQ(t.FieldByName("Keep").AsInteger(), 1);
  t.Close();
}

void text(TField& F, const char* Value) { F.SetAsString(Value); }

const TConversion kConversions[] = {
    {"StringToInteger", ftString, 10, [](TField& f) { text(f, "123"); }, ftInteger, 0, "123", false},
    {"StringNotANumber", ftString, 10, [](TField& f) { text(f, "abc"); }, ftInteger, 0, "'abc' is not a valid integer value", true},
    {"StringNarrowed", ftString, 20, [](TField& f) { text(f, "hello world"); }, ftString, 5, "hello", false},
    {"StringWidened", ftString, 5, [](TField& f) { text(f, "hello"); }, ftString, 150, "hello", false},
    {"StringToFloat", ftString, 10, [](TField& f) { text(f, "2,5"); }, ftFloat, 0, "2,5", false},
    {"StringToMemo", ftString, 10, [](TField& f) { text(f, "memo text"); }, ftMemo, 0, "memo text", false},
    {"StringToBoolean", ftString, 10, [](TField& f) { text(f, "tr"); }, ftBoolean, 0, "True", false},
    {"StringNotABoolean", ftString, 10, [](TField& f) { text(f, "yes"); }, ftBoolean, 0,
     "'yes' is not a valid boolean value for field 'F'", true},
    {"IntegerToString", ftInteger, 0, [](TField& f) { f.SetAsInteger(-42); }, ftString, 10, "-42", false},
    {"IntegerOutOfSmallint", ftInteger, 0, [](TField& f) { f.SetAsInteger(40000); }, ftSmallint, 0,
     "40000 is not a valid value for field 'F'. The allowed range is -32768 to 32767", true},
    {"IntegerToLargeint", ftInteger, 0, [](TField& f) { f.SetAsInteger(7); }, ftLargeint, 0, "7", false},
    {"IntegerToFloat", ftInteger, 0, [](TField& f) { f.SetAsInteger(7); }, ftFloat, 0, "7", false},
    {"IntegerToBoolean", ftInteger, 0, [](TField& f) { f.SetAsInteger(1); }, ftBoolean, 0, "True", false},
    {"LargeintOutOfInteger", ftLargeint, 0, [](TField& f) { f.SetAsLargeInt(int64_t{1} << 40); }, ftInteger, 0,
     "1099511627776 is not a valid value for field 'F'. The allowed range is -2147483648 to 2147483647", true},
    {"FloatRoundedToInteger", ftFloat, 0, [](TField& f) { f.SetAsFloat(2.5); }, ftInteger, 0, "2", false},
    {"FloatToString", ftFloat, 0, [](TField& f) { f.SetAsFloat(0.25); }, ftString, 10, "0,25", false},
    {"BooleanToString", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, ftString, 10, "True", false},
    {"BooleanToInteger", ftBoolean, 0, [](TField& f) { f.SetAsBoolean(true); }, ftInteger, 0,
     "Cannot access field 'F' as type Boolean", true},
    {"DateToDateTime", ftDate, 0, [](TField& f) { f.SetAsDateTime(45000); }, ftDateTime, 0, "15.03.2023", false},
    {"DateTimeToDate", ftDateTime, 0, [](TField& f) { f.SetAsDateTime(45000.5); }, ftDate, 0, "15.03.2023", false},
    {"DateTimeToTime", ftDateTime, 0, [](TField& f) { f.SetAsDateTime(45000.5); }, ftTime, 0, "12:00:00", false},
    {"DateToInteger", ftDate, 0, [](TField& f) { f.SetAsDateTime(45000); }, ftInteger, 0,
     "Cannot access field 'F' as type DateTime", true},
    {"MemoToString", ftMemo, 0, [](TField& f) { text(f, "a memo"); }, ftString, 4, "a me", false},
    {"WideStringToString", ftWideString, 10, [](TField& f) { text(f, "wide"); }, ftString, 10, "wide", false},
    {"StringToWideString", ftString, 10, [](TField& f) { text(f, "narrow"); }, ftWideString, 20, "narrow", false},
    {"SmallintToWord", ftSmallint, 0, [](TField& f) { f.SetAsInteger(-1); }, ftWord, 0,
     "-1 is not a valid value for field 'F'. The allowed range is 0 to 65535", true},
    {"CurrencyToFloat", ftCurrency, 0, [](TField& f) { f.SetAsFloat(1.5); }, ftFloat, 0, "1,5", false},
    {"BytesToString", ftBytes, 3, [](TField& f) { text(f, "abc"); }, ftString, 5, "abc", false},
    {"BlobToMemo", ftBlob, 0, [](TField& f) { text(f, "raw"); }, ftMemo, 0, "raw", false},
};

INSTANTIATE_TEST_SUITE_P(Types, TableRestructureConversion, ::testing::ValuesIn(kConversions),
                         [](const auto& Info) { return std::string(Info.param.Name); });

// ---- Importing ------------------------------------------------------------------------------------

class TableImport : public ::testing::Test {
protected:
  TTableStore Env{{pfs::fsmDirectory, false}};
};

TEST_F(TableImport, AnAutoIncSourceKeepsItsIDsAndItsFieldBecomesTheIDField) {
  createSource(Env, 20);
  TEdbTable& source = Env.NewTable();
  const TTableImage before = imageOf(source);
  source.Open();
  TDataSource link;
  link.SetDataSet(&source);
  TEdbTable& target = Env.NewTable("Copy");
  const TIndexDefs indexes = sourceIndexes();
  std::vector<TedProgressProcess> kinds;
  target.OnProgress = [&kinds](const void*, double, TedProgressProcess Process, bool&) { kinds.push_back(Process); };
  std::string log;
  EXPECT_TRUE(target.ImportTable(&link, &indexes, log)) << log;
  EXPECT_EQ(log, "");
  ASSERT_FALSE(kinds.empty());
  EXPECT_TRUE(std::all_of(kinds.begin(), kinds.end(), [](TedProgressProcess p) { return p == edppImport; }));
  source.Close();
  const TTableImage copy = imageOf(target);
  EXPECT_EQ(copy.Records, before.Records);
  target.Open();
  EXPECT_EQ(target.DataManager()->TableHeader().IDFieldName, "ID");
  EXPECT_GE(target.DataManager()->InternalGetIndexNo("ByNumName"), 0);
  target.Close();
}

// A generic source dataset: fields of any name the program gives, rows set through its fields.
class TVectorSource {
public:
  explicit TVectorSource(TFieldDefs Defs) {
    FTable.Defs = std::move(Defs);
    FLink.SetDataSet(&FData);
  }
  // Appends a row; Set fills its fields.
  void Add(const std::function<void(TDataSet&)>& Set) {
    if (!FData.Active()) FData.Open();
    FData.Append();
    Set(FData);
    FData.Post();
  }
  TDataSource& Link() { return FLink; }
  TDataSet& Data() { return FData; }
  // The rows as stored (native values), for rows a program could not post.
  toolkit::test::VectorTable& Rows() { return FTable; }

private:
  toolkit::test::VectorTable FTable;
  toolkit::test::VectorDataSet FData{FTable};
  TDataSource FLink;
};

TEST_F(TableImport, ALongFieldNameIsCutTo18AndLoggedAndItsDataStillComes) {
  TVectorSource source({{"ABCDEFGHIJKLMNOPQRST", ftString, 10, false}, {"Num", ftInteger, 0, false}});
  for (int32_t i = 0; i < 3; ++i)
    source.Add([i](TDataSet& d) {
      d.FieldByName("ABCDEFGHIJKLMNOPQRST").SetAsString("v" + std::to_string(i));
      d.FieldByName("Num").SetAsInteger(i);
    });
  TEdbTable& target = Env.NewTable("Imp");
  std::string log;
  EXPECT_FALSE(target.ImportTable(&source.Link(), nullptr, log));
  EXPECT_EQ(log, "Field name longer than 18 chars is not supported! FieldName = ABCDEFGHIJKLMNOPQR is truncated.\r\n");
  const TTableImage image = imageOf(target);
  EXPECT_EQ(image.Fields, (std::vector<std::string>{"ABCDEFGHIJKLMNOPQR:1:11", "Num:3:4"}));
  EXPECT_EQ(image.Records, (std::vector<std::string>{"v0|0|1", "v1|1|2", "v2|2|3"}));
}

TEST_F(TableImport, WithoutAutoIncOrPrimaryIndexTheIDFieldIsTheFirstFreeIDn) {
  const std::vector<std::pair<TFieldDefs, std::string>> cases = {
      {{{"Name", ftString, 10, false}}, "ID0"},
      {{{"Name", ftString, 10, false}, {"id0", ftInteger, 0, false}}, "ID1"},
      {{{"ID0", ftInteger, 0, false}, {"ID1", ftInteger, 0, false}}, "ID2"},
  };
  for (const auto& [defs, idName] : cases) {
    SCOPED_TRACE(idName);
    TVectorSource source(defs);
    source.Add([](TDataSet& d) { d.Fields()[0].SetAsString("7"); });
    TEdbTable& target = Env.NewTable("Imp" + idName);
    std::string log;
    EXPECT_TRUE(target.ImportTable(&source.Link(), nullptr, log)) << log;
    target.Open();
    EXPECT_EQ(target.DataManager()->TableHeader().IDFieldName, idName);
    EXPECT_GE(target.DataManager()->InternalGetIndexNo(idName), 0) << "a primary index of the ID field's name";
    EXPECT_EQ(target.FieldByName(idName).AsInteger(), 1);
    target.Close();
  }
}

TEST_F(TableImport, APrimaryIndexSuppliesTheIDFieldAndIDsAreNumberedAfresh) {
  TVectorSource source({{"Code", ftInteger, 0, false}, {"Name", ftString, 10, false}});
  for (const int32_t code : {50, 60})
    source.Add([code](TDataSet& d) {
      d.FieldByName("Code").SetAsInteger(code);
      d.FieldByName("Name").SetAsString("c" + std::to_string(code));
    });
  TEdbTable& target = Env.NewTable("Imp");
  std::string log;
  const TIndexDefs indexes = {{"PK", "Code", "", "", ixPrimary}, {"ByName", "Name", "", "", ixUnique}};
  EXPECT_TRUE(target.ImportTable(&source.Link(), &indexes, log)) << log;
  const TTableImage image = imageOf(target);
  EXPECT_EQ(image.Records, (std::vector<std::string>{"c50|1", "c60|2"}));
  target.Open();
  EXPECT_EQ(target.DataManager()->TableHeader().IDFieldName, "Code");
  const int32_t byName = target.DataManager()->InternalGetIndexNo("ByName");
  ASSERT_GE(byName, 0);
  EXPECT_EQ(target.DataManager()->Index(byName).Header().Options & ixUnique, 0) << "only descending and case options come";
  target.Close();
}

TEST_F(TableImport, ABlobWhoseFirstValueIsAPictureBecomesAGraphicField) {
  TVectorSource source({{"Name", ftString, 10, false}, {"Image", ftBlob, 0, false}, {"Data", ftBlob, 0, false}});
  const std::string picture("\x01\x00\x00\x01\x10\x20\x30\x40" "BM" "pixels", 16);
  source.Add([&picture](TDataSet& d) {
    d.FieldByName("Image").SetAsString(picture);
    d.FieldByName("Data").SetAsString("BMnot a picture");
  });
  TEdbTable& target = Env.NewTable("Imp");
  std::string log;
  EXPECT_TRUE(target.ImportTable(&source.Link(), nullptr, log)) << log;
  target.Open();
  EXPECT_EQ(target.FieldByName("Image").DataType(), ftGraphic);
  EXPECT_EQ(target.FieldByName("Data").DataType(), ftBlob);
  EXPECT_EQ(target.FieldByName("Data").AsString(), "BMnot a picture");
  target.Close();
}

TEST_F(TableImport, ARecordThatFailsIsLoggedAndSkipped) {
  TVectorSource source({{"Name", ftString, 10, true}, {"Num", ftInteger, 0, false}});
  // Rows stored as they are: the second lacks the required Name.
  for (int32_t i = 1; i <= 3; ++i) {
    source.Rows().AddRow();
    std::vector<uint8_t> name(11, 0);
    name[0] = 'n';
    name[1] = static_cast<uint8_t>('0' + i);
    if (i != 2) source.Rows().Rows.back().Values[0] = name;
    source.Rows().Rows.back().Values[1] = toolkit::test::nativeInt(i);
  }
  TEdbTable& target = Env.NewTable("Imp");
  std::string log;
  EXPECT_FALSE(target.ImportTable(&source.Link(), nullptr, log));
  EXPECT_EQ(log, "Insert records error, record number = !2\r\n");
  EXPECT_EQ(imageOf(target).Records, (std::vector<std::string>{"n1|1|1", "n3|3|2"}));
}

// An import onto an existing table that fails at any host write or rename, or is cancelled,
// leaves that table as it was.
TEST_F(TableImport, AFailedOrCancelledImportLeavesTheTableItWouldReplace) {
  for (const FaultKind kind : {FaultKind::Write, FaultKind::Rename}) {
    bool succeeded = false;
    for (uint64_t k = 1; k < 400 && !succeeded; ++k) {
      SCOPED_TRACE("fault kind " + std::to_string(static_cast<int>(kind)) + ", operation " + std::to_string(k));
      TTableStore env({pfs::fsmDirectory, false});
      createSource(env, 8);
      const TTableImage before = imageOf(env.NewTable());
      TVectorSource source({{"Other", ftString, 10, false}});
      source.Add([](TDataSet& d) { d.FieldByName("Other").SetAsString("x"); });
      std::string log;
      env.FFaults.FailAt(kind, k);
      bool result = false;
      const std::string error = messageOf([&] { result = env.NewTable().ImportTable(&source.Link(), nullptr, log); });
      env.FFaults.Reset();
      if (error == "(no exception)" && result) {
        succeeded = true;
        EXPECT_EQ(imageOf(env.NewTable()).Records, std::vector<std::string>{"x|1"});
      } else {
        EXPECT_EQ(imageOf(env.NewTable()), before) << error << log;
      }
      for (const std::string& name : tablesIn(env)) EXPECT_EQ(name, "T") << error << log;
    }
    EXPECT_TRUE(succeeded);
  }
  for (const double cancelAt : {0.0, 50.0}) {
    TTableStore env({pfs::fsmDirectory, false});
    createSource(env, 8);
    const TTableImage before = imageOf(env.NewTable());
    TVectorSource source({{"Other", ftString, 10, false}});
    for (int32_t i = 0; i < 4; ++i) source.Add([](TDataSet& d) { d.FieldByName("Other").SetAsString("x"); });
    TEdbTable& t = env.NewTable();
    t.OnProgress = [cancelAt](const void*, double Percent, TedProgressProcess, bool& Cancel) { Cancel = Percent >= cancelAt; };
    std::string log;
    EXPECT_FALSE(t.ImportTable(&source.Link(), nullptr, log));
    EXPECT_EQ(imageOf(env.NewTable()), before);
    EXPECT_EQ(tablesIn(env), std::vector<std::string>{"T"});
  }
}

}  // namespace
