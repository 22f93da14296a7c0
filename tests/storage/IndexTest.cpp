// Indexes: default indexes, adding, temporary and deleting indexes with their messages, key
// comparison of every field type (NULL and descending rules, Cyrillic without case), the burst
// throttle of small tables, and the index file: saved when changed, read back, rebuilt when stale,
// damaged or cut short.

#include "StorageTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <numeric>
#include <optional>

using namespace tesvar;
using namespace tesvar::storagetest;
using tesvar::testsupport::messageOf;

namespace {

std::vector<std::string> indexNames(TEdbDataManager& m) {
  std::vector<std::string> names;
  for (int32_t i = 0; i < m.IndexCount(); ++i) names.push_back(m.Index(i).Header().Name);
  return names;
}

// The entries of an index in order.
std::vector<int32_t> entriesOf(const TEdbIndex& Index) {
  std::vector<int32_t> entries(static_cast<size_t>(Index.Count()));
  Index.CopyTo(entries.data());
  return entries;
}

// Sets field Field of record R (clearing its null flag).
void setField(TEdbDataManager& m, std::vector<uint8_t>& R, int32_t Field, const void* Value, size_t Size) {
  std::memcpy(R.data() + m.FieldOffset(Field), Value, Size);
  R[static_cast<size_t>(m.DataSize() + 4 + Field / 8)] &= static_cast<uint8_t>(~(1u << (Field % 8)));
}

class Indexes : public ::testing::Test {
protected:
  TTableEnv Env{{pfs::fsmDirectory, false}};

  // Inserts a test-table record whose Name is NULL when absent.
  int32_t InsertName(const std::optional<std::string>& Name, int32_t Num = 0) {
    std::vector<uint8_t> r = Env.Record(Name.value_or(""), Num);
    if (!Name) r[static_cast<size_t>(Env.M().DataSize() + 4)] |= 1;
    Env.M().edInsertRecord(r.data(), 0);
    return Env.M().RecordCount() - 1;
  }
  std::vector<std::string> NamesIn(int32_t IndexNo) {
    std::vector<std::string> names;
    for (int32_t recNo : entriesOf(Env.M().Index(IndexNo))) {
      const bool null = Env.M().GetRecord(recNo)[Env.M().DataSize() + 4] & 1;
      names.push_back(null ? "<null>" : Env.NameOf(recNo));
    }
    return names;
  }
};

TEST_F(Indexes, DefaultIndexesFollowTheFieldsInOrder) {
  Env.Create({{"A", ftString, 10}, {"W", ftWideString, 5}, {"B", ftInteger}, {"C", ftMemo}, {"D", ftBytes, 4},
              {"E", ftDate}, {"F", ftGraphic}, {"G", ftBoolean}},
             {{"Mine", "B;A", "", "", {}}}, true);
  TEdbDataManager& m = Env.Open();
  EXPECT_EQ(indexNames(m), (std::vector<std::string>{"@id", "@@A", "@A", "@@W", "@W", "@B", "@E", "@G", "Mine"}));
  const TIndexHeader& ci = m.Index(1).Header();
  EXPECT_TRUE(ci.AllCaseInsensitive);
  EXPECT_EQ(ci.Options, ixCaseInsensitive);
  EXPECT_EQ(ci.CaseInsBits, std::vector<uint8_t>{1});
  EXPECT_EQ(ci.AscendingBits, std::vector<uint8_t>{1});
  EXPECT_EQ(m.Index(0).Header().FieldNos, std::vector<int32_t>{-1});
  EXPECT_EQ(m.Index(8).Header().FieldNos, (std::vector<int32_t>{2, 0}));
  EXPECT_EQ(m.Index(8).Header().AscendingBits, std::vector<uint8_t>{3});
  Env.Close();
  // Without AutoIndexes only the record-ID index and the defined ones.
  Env.Create({{"A", ftString, 10}}, {{"Mine", "A", "", "", {}}}, false);
  EXPECT_EQ(indexNames(Env.Open()), (std::vector<std::string>{"@id", "Mine"}));
}

TEST_F(Indexes, AddingIndexesChecksNamesFieldsAndTypes) {
  Env.Create({{"Name", ftString, 20}, {"Num", ftInteger}, {"Memo", ftMemo}});
  TEdbDataManager& m = Env.Open();
  const std::string where = "Error in TEdbDataManager.InternalAddIndex - ";
  struct Case {
    std::string name;
    std::string fields;
    std::string message;
  } cases[] = {
      {"", "Name", where + "name is empty."},
      {"I2345678901234567890X", "Name", where + "name length > .20"},
      {"ix", " ; ,", where + "empty field name list"},
      {"@ID", "Name", where + "index \"@ID\" already exists!"},
      {"ix", "Memo", where + "unsupported field type!"},
      {"ix", "Name;Nope", "Error in TEdbDataManager.InternalGetFieldNo - field \"Nope\" not found!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(messageOf([&] { m.AddIndex(c.name, c.fields, true, "", "", {}); }), c.message);
    EXPECT_EQ(m.IndexCount(), 1);
  }
  // Twenty characters are a valid name; the new index is saved at once unless NoSave.
  for (int i = 0; i < 5; ++i) Env.Insert("n" + std::to_string(4 - i), i);
  m.AddIndex("I2345678901234567890", " name ;; NUM ", false, "", "num", {});
  const TIndexHeader& h = m.Index(1).Header();
  EXPECT_EQ(h.FieldNos, (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(h.AscendingBits, std::vector<uint8_t>{1}) << "Num descending";
  EXPECT_EQ(entriesOf(m.Index(1)), (std::vector<int32_t>{4, 3, 2, 1, 0}));
  const std::vector<uint8_t> idx = Env.HostFile(".idx");
  EXPECT_EQ(GetInt32(idx.data() + kIHIndexCount), 2);
  EXPECT_EQ(GetShortString(idx.data() + 16 + 21 + 4 + 4 + 2 + 3, kNameCapacity), "I2345678901234567890");
}

TEST_F(Indexes, TemporaryIndexesAreNeverStored) {
  Env.Create();
  TEdbDataManager& m = Env.Open();
  for (int i = 0; i < 12; ++i) Env.Insert("n" + std::to_string(i % 4), i);
  const std::string name = m.CreateTemporaryIndex("Name;id", "id", "");
  ASSERT_EQ(name.substr(0, 6), "$_IDX_");
  const int number = std::stoi(name.substr(6));
  EXPECT_TRUE(number >= 0 && number <= 99999) << name;
  const int32_t no = m.InternalGetIndexNo(name);
  ASSERT_EQ(no, 1);
  EXPECT_EQ(m.Index(no).Header().FieldNos, (std::vector<int32_t>{0, -1}));
  std::vector<int32_t> ids;
  for (int32_t recNo : entriesOf(m.Index(no))) ids.push_back(Env.IdOf(recNo));
  EXPECT_EQ(ids, (std::vector<int32_t>{9, 5, 1, 10, 6, 2, 11, 7, 3, 12, 8, 4})) << "by name, then ID descending";
  // A second one gets another name; neither reaches the index file.
  const std::string other = m.CreateTemporaryIndex("Num", "", "");
  EXPECT_NE(other, name);
  m.SaveIndexesToDisk();
  const std::vector<uint8_t> idx = Env.HostFile(".idx");
  EXPECT_EQ(GetInt32(idx.data() + kIHIndexCount), 1);
  EXPECT_EQ(idx.size(), 16u + 21u + 4u + 4u + 2u + 3u + 12u * 4u);
  EXPECT_EQ(m.DeleteIndex(name, true), 1);
  EXPECT_EQ(m.InternalGetIndexNo(other), 1);
  Env.Close();
  EXPECT_EQ(indexNames(Env.Open()), (std::vector<std::string>{"@id"}));
}

TEST_F(Indexes, DeletingIndexes) {
  Env.Create(testFields(), {{"ByNum", "Num", "", "", {}}, {"ByName", "Name", "", "", {}}}, true);
  TEdbDataManager& m = Env.Open();
  const std::string where = "Error in TEdbDataManager.DeleteIndex - ";
  EXPECT_EQ(m.DeleteIndex("@Name", false), 0) << "automatic indexes stay";
  EXPECT_EQ(m.DeleteIndex("@@name", false), 0);
  EXPECT_EQ(m.IndexCount(), 7);
  EXPECT_EQ(messageOf([&] { m.DeleteIndex("Nope", false); }), where + "index \"Nope\" doesn't exist!");
  EXPECT_EQ(messageOf([&] { m.DeleteIndex("", false); }), where + "name is empty.");
  EXPECT_EQ(messageOf([&] { m.DeleteIndex("I2345678901234567890X", false); }), where + "name length > .20");
  EXPECT_EQ(m.DeleteIndex("bynum", false), 5);
  EXPECT_EQ(m.Index(5).Header().Name, "ByName") << "later indexes move down";
  Env.Close();
  EXPECT_EQ(indexNames(Env.Open()), (std::vector<std::string>{"@id", "@@Name", "@Name", "@Num", "@Amount", "ByName"}));
  Env.Close();
  TEdbDataManager& closed = edGetDataManager("T", Env.FDatabase);
  EXPECT_EQ(messageOf([&] { closed.DeleteIndex("ByName", false); }), where + "table is not opened.");
}

TEST_F(Indexes, NullsComeFirstAscendingAndLastDescending) {
  Env.Create(testFields(), {{"Down", "Name", "", "", ixDescending}, {"NumDown", "Num", "Num", "", {}}}, true);
  Env.Open();
  for (const auto& name : std::vector<std::optional<std::string>>{"b", std::nullopt, "", "a", std::nullopt})
    InsertName(name);
  EXPECT_EQ(NamesIn(2), (std::vector<std::string>{"<null>", "<null>", "", "a", "b"}));
  EXPECT_EQ(NamesIn(5), (std::vector<std::string>{"b", "a", "", "<null>", "<null>"}));
  // An integer NULL below every number, negative ones too.
  std::vector<uint8_t> r = Env.Record("n", -5);
  r[static_cast<size_t>(Env.M().DataSize() + 4)] |= 2;
  Env.M().edInsertRecord(r.data(), 0);
  const std::vector<int32_t> byNum = entriesOf(Env.M().Index(3));
  EXPECT_EQ(byNum.front(), 5) << "@Num";
  EXPECT_EQ(entriesOf(Env.M().Index(6)).back(), 5) << "NumDown";
}

TEST_F(Indexes, CyrillicKeysWithoutCase) {
  Env.Create(testFields(), {}, true);
  Env.Open();
  // яблоко ЯБЛОКО Яблоко арбуз АРБУЗ ёлка ЁЛКА (Windows-1251)
  const std::vector<std::string> names = {"\xFF\xE1\xEB\xEE\xEA\xEE", "\xDF\xC1\xCB\xCE\xCA\xCE", "\xDF\xE1\xEB\xEE\xEA\xEE",
                                          "\xE0\xF0\xE1\xF3\xE7",     "\xC0\xD0\xC1\xD3\xC7",     "\xB8\xEB\xEA\xE0",
                                          "\xA8\xCB\xCA\xC0"};
  for (const std::string& n : names) InsertName(n);
  TEdbDataManager& m = Env.M();
  const TEdbIndex& ci = m.Index(1);
  const TEdbIndex& cs = m.Index(2);
  auto key = [&](int32_t recNo) { return std::vector<uint8_t>(m.GetRecord(recNo), m.GetRecord(recNo) + m.RecordSize()); };
  const int32_t groups[][3] = {{0, 1, 2}, {3, 4, -1}, {5, 6, -1}};
  for (const auto& group : groups)
    for (int32_t k = 1; k < 3 && group[k] >= 0; ++k) {
      EXPECT_EQ(ci.CompareKeys(key(group[0]).data(), key(group[k]).data()), 0) << group[0] << " ~ " << group[k];
      EXPECT_NE(cs.CompareKeys(key(group[0]).data(), key(group[k]).data()), 0) << group[0] << " vs " << group[k];
    }
  EXPECT_LT(ci.CompareKeys(key(3).data(), key(0).data()), 0) << "арбуз before яблоко";
  // Equal keys sit together in the case-insensitive index.
  const std::vector<int32_t> order = entriesOf(ci);
  auto place = [&](int32_t recNo) { return std::find(order.begin(), order.end(), recNo) - order.begin(); };
  for (const auto& group : groups) {
    std::vector<std::ptrdiff_t> at;
    for (int32_t recNo : group)
      if (recNo >= 0) at.push_back(place(recNo));
    std::sort(at.begin(), at.end());
    EXPECT_EQ(at.back() - at.front(), static_cast<std::ptrdiff_t>(at.size()) - 1) << "group of " << group[0];
  }
}

TEST_F(Indexes, KeyComparisonOfEveryFieldType) {
  Env.Create({{"S", ftSmallint}, {"I", ftInteger}, {"W", ftWord}, {"B", ftBoolean}, {"F", ftFloat}, {"C", ftCurrency},
              {"X", ftBCD}, {"D", ftDate}, {"T", ftTime}, {"DT", ftDateTime}, {"L", ftLargeint}, {"U", ftWideString, 4},
              {"Long", ftString, 40}},
             {}, true);
  TEdbDataManager& m = Env.Open();
  auto bytes = [](auto v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
  };
  auto text = [](const std::string& t) { return std::vector<uint8_t>(t.begin(), t.end()); };
  struct Case {
    const char* what;
    const char* index;
    int32_t field;
    std::vector<uint8_t> a;
    std::vector<uint8_t> b;
    int32_t expected;
  } cases[] = {
      {"smallint signed", "@S", 0, bytes(int16_t{-1}), bytes(int16_t{1}), -1},
      {"integer signed", "@I", 1, bytes(int32_t{-70000}), bytes(int32_t{3}), -1},
      {"word unsigned", "@W", 2, bytes(uint16_t{65535}), bytes(uint16_t{1}), 1},
      {"boolean: any non-zero first byte is true", "@B", 3, {0, 1}, {2, 0}, -1},
      {"boolean: true equals true", "@B", 3, {1, 0}, {7, 0}, 0},
      {"float", "@F", 4, bytes(-0.5), bytes(0.25), -1},
      {"currency", "@C", 5, bytes(10.0), bytes(9.99), 1},
      {"BCD has no order", "@X", 6, bytes(int64_t{5}), bytes(int64_t{-9}), 0},
      {"date: days", "@D", 7, bytes(int64_t{730001}), bytes(int64_t{730000}), 1},
      {"time: one millisecond", "@T", 8, bytes(int64_t{1000}), bytes(int64_t{1001}), -1},
      {"date-time: below 1e-8 day is the same time", "@DT", 9, bytes(6.3e10), bytes(6.3e10 + 0.0005), 0},
      {"date-time: one millisecond", "@DT", 9, bytes(6.3e10), bytes(6.3e10 + 1), -1},
      {"largeint", "@L", 10, bytes(int64_t{1} << 40), bytes(int64_t{-1}), 1},
      {"wide text", "@U", 11, {'b', 0, 0, 0}, {'c', 0, 0, 0}, -1},
      {"wide text, a prefix first", "@U", 11, {'b', 0, 0, 0}, {'b', 0, 'a', 0}, -1},
      {"wide text without case", "@@U", 11, {'Q', 0, 0, 0}, {'q', 0, 0, 0}, 0},
      // Texts longer than the cache keeps beside the record number: decided within the first 18
      // bytes, right after them, by length, and without case.
      {"long texts differing early", "@Long", 12, text("b23456789012345678901"), text("a23456789012345678902"), 1},
      {"long texts differing late", "@Long", 12, text("123456789012345678X"), text("123456789012345678Y"), -1},
      {"a text of 18 bytes before its longer self", "@Long", 12, text("123456789012345678"), text("1234567890123456789"), -1},
      {"long texts equal", "@Long", 12, text("12345678901234567890abc"), text("12345678901234567890abc"), 0},
      {"long texts without case", "@@Long", 12, text("abcdefghijklmnopqrSTUV"), text("ABCDEFGHIJKLMNOPQRstuv"), 0},
      {"long texts without case, differing late", "@@Long", 12, text("abcdefghijklmnopqrSTUV"), text("ABCDEFGHIJKLMNOPQRstuw"), -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int32_t no = m.InternalGetIndexNo(c.index);
    ASSERT_GE(no, 0);
    std::vector<uint8_t> a = m.NewRecordBuffer();
    std::vector<uint8_t> b = m.NewRecordBuffer();
    setField(m, a, c.field, c.a.data(), c.a.size());
    setField(m, b, c.field, c.b.data(), c.b.size());
    EXPECT_EQ(m.Index(no).CompareKeys(a.data(), b.data()), c.expected);
    EXPECT_EQ(m.Index(no).CompareKeys(b.data(), a.data()), -c.expected);
    // Through the key cache, as maintenance compares: record 0 against record 1.
    m.edInsertRecord(a.data(), no);
    m.edInsertRecord(b.data(), no);
    EXPECT_EQ(m.Index(no).CompareSlots(0, 1), c.expected);
    m.edDeleteRecord(0, 1);
    m.edDeleteRecord(0, 0);
  }
  // The record-ID field compares as a signed integer.
  std::vector<uint8_t> a = m.NewRecordBuffer();
  std::vector<uint8_t> b = m.NewRecordBuffer();
  PutInt32(a.data() + m.DataSize(), -3);
  PutInt32(b.data() + m.DataSize(), 2);
  EXPECT_LT(m.Index(0).CompareKeys(a.data(), b.data()), 0);
}

TEST_F(Indexes, BurstsOfChangesToSmallTablesSkipTheOtherIndexes) {
  Env.Create(testFields(), {}, true);
  TEdbDataManager& m = Env.Open();
  for (int i = 0; i < 5; ++i) Env.Insert("n" + std::to_string(i), i);
  const int32_t current = 2;  // "@Name"
  Env.FClock.AdvanceTick(5000);
  auto update = [&](int k) {
    std::vector<uint8_t> r = Env.Record("u" + std::to_string(1000 - k), k);
    PutInt32(r.data() + m.DataSize(), Env.IdOf(k % 5));
    m.edUpdateRecord(r.data(), current, k % 5);
  };
  auto allBuilt = [&] {
    for (int32_t i = 0; i < m.IndexCount(); ++i)
      if (!m.Index(i).Built()) return false;
    return true;
  };
  // The first change of the burst and the next 100 keep every index.
  for (int k = 0; k < 101; ++k) update(k);
  EXPECT_TRUE(allBuilt());
  update(101);
  for (int32_t i = 0; i < m.IndexCount(); ++i) EXPECT_EQ(m.Index(i).Built(), i == current) << i;
  std::vector<std::string> byName;
  for (int32_t recNo : entriesOf(m.Index(current))) byName.push_back(Env.NameOf(recNo));
  EXPECT_TRUE(std::is_sorted(byName.begin(), byName.end())) << "the current index is kept";
  // A pause ends the burst, but an index not built stays so until it is built.
  Env.FClock.AdvanceTick(TEdbDataManager::kBurstIntervalMs);
  update(102);
  EXPECT_FALSE(m.Index(3).Built());
  m.BuildIndex(3);
  std::vector<int32_t> nums;
  for (int32_t recNo : entriesOf(m.Index(3))) nums.push_back(Env.NumOf(recNo));
  EXPECT_EQ(nums, (std::vector<int32_t>{98, 99, 100, 101, 102}));
  // Above the small-table size the next change builds every index first.
  for (int i = 0; i < 7; ++i) Env.Insert("m" + std::to_string(i), 200 + i);
  EXPECT_TRUE(allBuilt());
  std::vector<int32_t> ids;
  for (int32_t recNo : entriesOf(m.Index(0))) ids.push_back(Env.IdOf(recNo));
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
}

TEST_F(Indexes, AnUpdateLeavesTheEntriesOfIndexesWhoseKeyItKeeps) {
  Env.Create(testFields(), {}, true);
  TEdbDataManager& m = Env.Open();
  ASSERT_EQ(indexNames(m), (std::vector<std::string>{"@id", "@@Name", "@Name", "@Num", "@Amount"}));
  // Long runs of equal keys, where a search for an equal key lands anywhere in the run.
  const std::string names[] = {"abc", "ABC", "xyz"};
  for (int i = 0; i < 60; ++i) Env.Insert(names[i % 3], i % 4);
  auto snapshot = [&] {
    std::vector<std::vector<int32_t>> all;
    for (int32_t i = 0; i < m.IndexCount(); ++i) all.push_back(entriesOf(m.Index(i)));
    return all;
  };
  auto expectSortedAndComplete = [&](int32_t IndexNo) {
    SCOPED_TRACE(m.Index(IndexNo).Header().Name);
    std::vector<int32_t> entries = entriesOf(m.Index(IndexNo));
    std::vector<int32_t> sorted = entries;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int32_t> all(static_cast<size_t>(m.RecordCount()));
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(sorted, all) << "every record once";
    for (size_t k = 1; k < entries.size(); ++k) {
      const uint8_t* p = m.GetRecord(entries[k - 1]);
      const std::vector<uint8_t> before(p, p + m.RecordSize());
      EXPECT_LE(m.Index(IndexNo).CompareKeys(before.data(), m.GetRecord(entries[k])), 0) << "position " << k;
    }
  };
  auto update = [&](int32_t RecNo, const std::string& Name, int32_t Num, int32_t Current) {
    std::vector<uint8_t> r = Env.Record(Name, Num);
    PutInt32(r.data() + m.DataSize(), Env.IdOf(RecNo));
    return m.edUpdateRecord(r.data(), Current, RecNo);
  };

  // New numbers, the same names: the ID and name indexes keep every entry where it was; the
  // result in the current index is where the record's entry stayed.
  std::vector<std::vector<int32_t>> before = snapshot();
  for (int32_t recNo = 0; recNo < m.RecordCount(); ++recNo) {
    const int32_t got = update(recNo, Env.NameOf(recNo), (recNo * 7) % 5, 2);
    EXPECT_EQ(got, m.FindRecordInIndex(2, recNo, m.RecordCount())) << recNo;
  }
  std::vector<std::vector<int32_t>> after = snapshot();
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(after[static_cast<size_t>(i)], before[static_cast<size_t>(i)]) << i;
  EXPECT_NE(after[3], before[3]) << "the number index follows the new numbers";
  for (int32_t i = 0; i < m.IndexCount(); ++i) expectSortedAndComplete(i);

  // Only the letter case changes: the case-insensitive index keeps its entries, the
  // case-sensitive one moves the names that changed.
  before = after;
  for (int32_t recNo = 0; recNo < m.RecordCount(); ++recNo) {
    std::string name = Env.NameOf(recNo);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const int32_t got = update(recNo, name, Env.NumOf(recNo), 3);
    EXPECT_EQ(got, m.FindRecordInIndex(3, recNo, m.RecordCount())) << recNo;
  }
  after = snapshot();
  for (const int32_t i : {0, 1, 3, 4}) EXPECT_EQ(after[static_cast<size_t>(i)], before[static_cast<size_t>(i)]) << i;
  EXPECT_NE(after[2], before[2]);
  for (int32_t i = 0; i < m.IndexCount(); ++i) expectSortedAndComplete(i);
}

// The index file.

// A bulk append keeps no index up while it runs and sorts each once at its end: every index then
// holds each record once in key order, and later inserts keep them up again.
TEST_F(Indexes, ABulkAppendSortsEveryIndexOnceAtItsEnd) {
  Env.Create(testFields(), {{"ByNumName", "Num;Name", "Num", "", {}}}, true);
  TEdbDataManager& m = Env.Open();
  auto expectSorted = [&m](int32_t Count) {
    for (int32_t k = 0; k < m.IndexCount(); ++k) {
      SCOPED_TRACE(indexNames(m)[static_cast<size_t>(k)]);
      ASSERT_TRUE(m.Index(k).Built());
      std::vector<int32_t> entries = entriesOf(m.Index(k));
      for (size_t i = 1; i < entries.size(); ++i) {
        const std::vector<uint8_t> prior(m.GetRecord(entries[i - 1]), m.GetRecord(entries[i - 1]) + m.RecordSize());
        EXPECT_LE(m.Index(k).CompareKeys(prior.data(), m.GetRecord(entries[i])), 0) << i;
      }
      std::sort(entries.begin(), entries.end());
      std::vector<int32_t> all(static_cast<size_t>(Count));
      std::iota(all.begin(), all.end(), 0);
      EXPECT_EQ(entries, all);
    }
  };
  m.BeginBulkAppend();
  for (int32_t i = 0; i < 300; ++i) {
    std::vector<uint8_t> r = Env.Record("n" + std::to_string((i * 37) % 101), (i * 13) % 17);
    m.edInsertRecord(r.data(), 0);
    if (i == 150) {
      for (int32_t k = 0; k < m.IndexCount(); ++k) EXPECT_FALSE(m.Index(k).Built()) << k;
    }
  }
  m.EndBulkAppend();
  expectSorted(300);
  std::vector<uint8_t> r = Env.Record("a", 100);
  m.edInsertRecord(r.data(), 0);
  expectSorted(301);
}

class IndexFile : public Indexes {
protected:
  void SetUp() override {
    Env.Create(testFields(), {{"ByNum", "Num", "Num", "", {}}}, true);
    Env.Open();
    for (int i = 0; i < 30; ++i) Env.Insert("r" + std::to_string(i % 7), (i * 11) % 13);
    Env.M().edDeleteRecord(0, 3);
    Env.Close();
    FIdx = Env.HostFile(".idx");
    Env.Open();
    for (int32_t i = 0; i < Env.M().IndexCount(); ++i) FSaved.push_back(entriesOf(Env.M().Index(i)));
    Env.Close();
    // What sorting the records gives: equal keys in the quicksort's order, not in the order the
    // changes left them.
    std::vector<uint8_t> stale = FIdx;
    PutInt32(stale.data() + kIHChangeCount, 0);
    Env.FMem.WriteAll("db/T.idx", stale);
    Env.Open();
    for (int32_t i = 0; i < Env.M().IndexCount(); ++i) FSorted.push_back(entriesOf(Env.M().Index(i)));
    Env.Close();
    FSortedIdx = Env.HostFile(".idx");
  }
  std::vector<uint8_t> FIdx;
  std::vector<std::vector<int32_t>> FSaved;
  std::vector<std::vector<int32_t>> FSorted;
  std::vector<uint8_t> FSortedIdx;
};

TEST_F(IndexFile, ClosingAfterChangesRewritesItAndOpeningReadsTheArrays) {
  for (size_t i = 0; i < FSaved.size(); ++i) EXPECT_EQ(FSaved[i].size(), 29u);
  EXPECT_NE(FSaved, FSorted) << "equal keys: changes and sorting place them differently";
  Env.FDataset.Building.clear();
  EXPECT_EQ(GetInt32(FIdx.data() + kIHChangeCount), 31);
  EXPECT_EQ(GetInt32(FIdx.data() + kIHIndexCount), 6);
  // The arrays on file are the ones read back, without sorting.
  const size_t arrays = FIdx.size() - 6 * 29 * 4;
  for (size_t i = 0; i < FSaved.size(); ++i)
    for (size_t k = 0; k < 29; ++k)
      ASSERT_EQ(GetInt32(FIdx.data() + arrays + (i * 29 + k) * 4), FSaved[i][k]) << i << "/" << k;
  Env.Open();
  EXPECT_TRUE(Env.FDataset.Building.empty());
  std::vector<uint8_t> r = Env.Record("z", 1);
  Env.M().edInsertRecord(r.data(), 0);
  Env.Close();
  const std::vector<uint8_t> after = Env.HostFile(".idx");
  EXPECT_EQ(GetInt32(after.data() + kIHChangeCount), 32);
  EXPECT_EQ(after.size(), FIdx.size() + 6 * 4);
}

TEST_F(IndexFile, StaleOrDamagedArraysAreRebuilt) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  } cases[] = {
      {"stale change count", [](std::vector<uint8_t>& f) { PutInt32(f.data() + kIHChangeCount, 5); }},
      {"a record number out of range", [](std::vector<uint8_t>& f) { PutInt32(f.data() + f.size() - 8, 29); }},
      {"a record number twice", [](std::vector<uint8_t>& f) { PutInt32(f.data() + f.size() - 8, GetInt32(f.data() + f.size() - 4)); }},
      {"arrays cut short", [](std::vector<uint8_t>& f) { f.resize(f.size() - 1); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> idx = FIdx;
    // The arrays on file are scrambled too: a rebuild must not take them.
    const size_t arrays = FIdx.size() - 6 * 29 * 4;
    for (size_t k = 0; k + 1 < 29; k += 2) {
      uint8_t* p = idx.data() + arrays + 4 * k;
      std::swap_ranges(p, p + 4, p + 4);
    }
    c.damage(idx);
    Env.FMem.WriteAll("db/T.idx", idx);
    Env.FDataset.Building.clear();
    Env.Open();
    EXPECT_EQ(Env.FDataset.Building,
              (std::vector<std::string>{"started", "16", "33", "50", "66", "83", "100", "100", "finished"}));
    ASSERT_EQ(Env.M().IndexCount(), 6);
    for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(entriesOf(Env.M().Index(i)), FSorted[static_cast<size_t>(i)]) << i;
    Env.Close();
    EXPECT_EQ(Env.HostFile(".idx"), FSortedIdx) << "the repaired file replaces the damaged one";
  }
}

TEST_F(IndexFile, EveryShorterFileGivesUsableIndexes) {
  // Up to the end of the headers the file is unusable: the default indexes replace it ("ByNum" is
  // lost); from there on only the arrays are missing and every index is rebuilt.
  const size_t headersEnd = FIdx.size() - 6 * 29 * 4;
  const std::vector<std::string> defaults = {"@id", "@@Name", "@Name", "@Num", "@Amount"};
  for (size_t keep = 0; keep < FIdx.size(); keep += keep < headersEnd + 8 ? 1 : 97) {
    SCOPED_TRACE(keep);
    Env.FMem.WriteAll("db/T.idx", std::vector<uint8_t>(FIdx.begin(), FIdx.begin() + static_cast<std::ptrdiff_t>(keep)));
    Env.Open();
    TEdbDataManager& m = Env.M();
    std::vector<std::string> names = indexNames(m);
    if (keep < headersEnd) {
      ASSERT_EQ(names, defaults);
    } else {
      names.pop_back();
      ASSERT_EQ(names, defaults);
    }
    for (int32_t i = 0; i < m.IndexCount(); ++i) ASSERT_EQ(entriesOf(m.Index(i)), FSorted[static_cast<size_t>(i)]) << i;
    Env.Close();
    if (keep >= headersEnd) {
      ASSERT_EQ(Env.HostFile(".idx"), FSortedIdx) << "repaired at close";
    }
  }
}

}  // namespace
