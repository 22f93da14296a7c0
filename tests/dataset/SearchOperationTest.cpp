// One condition over a table: the value buffers PrepareValueBuffer makes for every field type
// (NULL forms, cut texts, ranges, refused types), and GetMatchedRecordsArray through an automatic
// index (index order, every operation, the three modes, case-insensitive index, LIKE refused)
// and by testing every record (physical order).

#include "FilterTestSupport.h"
#include "support/ExceptionText.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tesvar;
using namespace tesvar::filtertest;
using tesvar::testsupport::messageOf;

namespace {

TSearchOperation condition(TEdbDataManager& Table, const std::string& Field, uint8_t Operation,
                           const std::string& Text, bool Partial = false) {
  TSearchOperation op;
  op.FieldName = Field;
  op.FieldNo = Table.InternalGetFieldNo(Field);
  op.Operation = Operation;
  op.PartialCompare = Partial ? 1 : 0;
  PrepareValueBuffer(Table, op.FieldNo, op.Operation, op.ValueBuffer, Text);
  return op;
}

bool nullFlag(TEdbDataManager& Table, const std::vector<uint8_t>& Buffer, int32_t Field) {
  return (Buffer[static_cast<size_t>(Table.DataSize() + 4 + Field / 8)] >> (Field % 8)) & 1;
}

std::vector<uint8_t> bytesOf(const void* Value, size_t Size) {
  const auto* p = static_cast<const uint8_t*>(Value);
  return std::vector<uint8_t>(p, p + Size);
}
template <class T>
std::vector<uint8_t> bytesOf(T Value) {
  return bytesOf(&Value, sizeof Value);
}

TEST(PrepareValueBuffer, ConvertsTextByFieldType) {
  TFilterTables tables({{"ID", ftAutoInc},    {"S", ftString, 5},  {"Sm", ftSmallint}, {"I", ftInteger},
                        {"W", ftWord},        {"B", ftBoolean},    {"F", ftFloat},     {"C", ftCurrency},
                        {"D", ftDate},        {"T", ftTime},       {"DT", ftDateTime}, {"WS", ftWideString, 6},
                        {"L", ftLargeint},    {"M", ftMemo},       {"Y", ftBytes, 4}});
  TEdbDataManager& table = tables.Indexed();
  const TTimeStamp stamp = DateTimeToTimeStamp(EncodeDate(2024, 12, 31) + EncodeTime(10, 30, 15, 0));
  struct TCase {
    const char* Field;
    std::string Text;
    std::vector<uint8_t> Stored;
  };
  const TCase cases[] = {
      {"S", "abcdefgh", {'a', 'b', 'c', 'd', 'e', 0}},
      {"S", "ab", {'a', 'b', 0}},
      {"Sm", "-32768", bytesOf<int16_t>(-32768)},
      {"I", "+123456", bytesOf<int32_t>(123456)},
      {"W", "65535", bytesOf<uint16_t>(65535)},
      {"B", "TRUE", {1}},
      {"B", "yes", {0}},
      {"F", "-1,25", bytesOf(-1.25)},
      {"C", "1E3", bytesOf(1000.0)},
      {"D", "31.12.2024", bytesOf<int32_t>(DayNumberOf(2024, 12, 31))},
      {"T", "10:30:15", bytesOf<int32_t>(stamp.Time)},
      {"DT", "31.12.2024 10:30:15", bytesOf(TimeStampToMSecs(stamp))},
      {"WS", platform::ToAnsi("ёжик"), {0x51, 0x04, 0x36, 0x04, 0x38, 0x04, 0, 0}},
      {"L", "-9000000000", bytesOf<int64_t>(-9000000000LL)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Field) + " <- " + c.Text);
    const TSearchOperation op = condition(table, c.Field, soLess, c.Text);
    ASSERT_EQ(op.ValueBuffer.size(), static_cast<size_t>(table.RecordSize()));
    const auto at = op.ValueBuffer.begin() + table.FieldOffset(op.FieldNo);
    EXPECT_EQ(std::vector<uint8_t>(at, at + static_cast<ptrdiff_t>(c.Stored.size())), c.Stored);
    for (int32_t f = 0; f < static_cast<int32_t>(table.FieldHeaders().size()); ++f) EXPECT_FALSE(nullFlag(table, op.ValueBuffer, f));
  }
  // The record-ID field takes its value in the ID slot.
  EXPECT_EQ(GetInt32(condition(table, "id", soEqual, "42").ValueBuffer.data() + table.DataSize()), 42);

  struct TRefused {
    const char* Field;
    uint8_t Operation;
    const char* Text;
    const char* Message;
  };
  const TRefused refused[] = {
      {"Sm", soEqual, "40000", "'40000' is not a valid integer value"},
      {"W", soEqual, "-1", "'-1' is not a valid integer value"},
      {"D", soEqual, "31.13.2024", "'31.13.2024' is not a valid date and time"},
      {"M", soEqual, "x", "Error in TEdbDataSet.PrepareValueBuffer - unsupported field type!"},
      {"Y", soGreater, "x", "Error in TEdbDataSet.PrepareValueBuffer - unsupported field type!"},
      {"I", soLike, "1", "Error in TEdbDataSet.PrepareValueBuffer - 'like / not like' operation call with not string field!"},
      {"M", soNotLike, "", "Error in TEdbDataSet.PrepareValueBuffer - 'like / not like' operation call with not string field!"},
  };
  for (const TRefused& r : refused)
    EXPECT_EQ(messageOf([&] { (void)condition(table, r.Field, r.Operation, r.Text); }), r.Message) << r.Field;
}

TEST(PrepareValueBuffer, NullForms) {
  TFilterTables tables;
  TEdbDataManager& table = tables.Indexed();
  struct TCase {
    uint8_t Operation;
    const char* Text;
    uint8_t Becomes;
    bool Null;
  };
  const TCase cases[] = {
      {soIsNull, "", soEqual, true},      {soEqual, "", soEqual, true},     {soIsNotNull, "", soNotEqual, true},
      {soNotEqual, "", soNotEqual, true}, {soLess, "", soLess, false},      {soEqual, "x", soEqual, false},
      {soLike, "", soLike, false},        {soGreaterOrEqual, "a", soGreaterOrEqual, false},
  };
  for (const TCase& c : cases) {
    const TSearchOperation op = condition(table, "Title", c.Operation, c.Text);
    EXPECT_EQ(op.Operation, c.Becomes) << int(c.Operation) << " '" << c.Text << "'";
    for (int32_t f = 0; f < static_cast<int32_t>(table.FieldHeaders().size()); ++f)
      EXPECT_EQ(nullFlag(table, op.ValueBuffer, f), c.Null) << int(c.Operation) << " '" << c.Text << "' field " << f;
  }
}

class MatchedRecords : public ::testing::Test {
protected:
  void SetUp() override {
    // Physical order: record numbers 0 .. 4.
    const std::optional<int32_t> years[] = {3, 1, std::nullopt, 2, 5};
    const std::optional<std::string> titles[] = {"b", "A", "ab", std::nullopt, "B"};
    for (size_t i = 0; i < 5; ++i) Tables.Insert({.Title = titles[i], .Year = years[i]});
  }
  std::vector<int32_t> Matched(TEdbDataManager& Table, const TSearchOperation& Op, TMatchMode Mode,
                               TFilterOptions Options = {}) {
    int32_t count = -1;
    std::vector<int32_t> recNos = {99};
    GetMatchedRecordsArray(Table, Op, Options, count, recNos, Mode);
    if (Mode == mmAll) {
      EXPECT_EQ(count, static_cast<int32_t>(recNos.size()));
    } else if (Mode == mmCountOnly) {
      EXPECT_TRUE(recNos.empty());
      return {count};
    }
    return recNos;
  }
  TFilterTables Tables;
};

TEST_F(MatchedRecords, ThroughTheIndexInIndexOrderElseInPhysicalOrder) {
  // Year in index order: NULL (2), 1 (1), 2 (3), 3 (0), 5 (4).
  struct TCase {
    uint8_t Operation;
    const char* Value;
    std::vector<int32_t> Indexed, Plain;
  };
  const TCase cases[] = {
      {soEqual, "2", {3}, {3}},
      {soNotEqual, "2", {2, 1, 0, 4}, {0, 1, 2, 4}},
      {soLess, "3", {2, 1, 3}, {1, 2, 3}},
      {soLessOrEqual, "3", {2, 1, 3, 0}, {0, 1, 2, 3}},
      {soGreater, "1", {3, 0, 4}, {0, 3, 4}},
      {soGreaterOrEqual, "3", {0, 4}, {0, 4}},
      {soGreaterOrEqual, "6", {}, {}},
      {soLess, "0", {2}, {2}},
      {soIsNull, "", {2}, {2}},
      {soIsNotNull, "", {1, 3, 0, 4}, {0, 1, 3, 4}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(kSearchOperationKeywords[c.Operation]) + " " + c.Value);
    const TSearchOperation op = condition(Tables.Indexed(), "Year", c.Operation, c.Value);
    EXPECT_EQ(Matched(Tables.Indexed(), op, mmAll), c.Indexed);
    EXPECT_EQ(Matched(Tables.Plain(), op, mmAll), c.Plain);
    const auto count = static_cast<int32_t>(c.Indexed.size());
    EXPECT_EQ(Matched(Tables.Indexed(), op, mmCountOnly), std::vector<int32_t>{count});
    EXPECT_EQ(Matched(Tables.Plain(), op, mmCountOnly), std::vector<int32_t>{count});
    const auto first = [](const std::vector<int32_t>& All) {
      return All.empty() ? std::vector<int32_t>{} : std::vector<int32_t>{All.front()};
    };
    EXPECT_EQ(Matched(Tables.Indexed(), op, mmFirstOnly), first(c.Indexed));
    EXPECT_EQ(Matched(Tables.Plain(), op, mmFirstOnly), first(c.Plain));
  }
}

TEST_F(MatchedRecords, TextsWithoutCaseAndPartialCompares) {
  TEdbDataManager& indexed = Tables.Indexed();
  TEdbDataManager& plain = Tables.Plain();
  auto sorted = [](std::vector<int32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  // "a" and "A" are equal without case ("@@Title"); "ab" is one with a partial compare.
  const TSearchOperation whole = condition(indexed, "Title", soEqual, "a");
  const TSearchOperation partial = condition(indexed, "Title", soEqual, "a", true);
  for (TEdbDataManager* table : {&indexed, &plain}) {
    EXPECT_EQ(sorted(Matched(*table, whole, mmAll, {foCaseInsensitive})), (std::vector<int32_t>{1}));
    EXPECT_EQ(sorted(Matched(*table, partial, mmAll, {foCaseInsensitive})), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(sorted(Matched(*table, partial, mmAll)), (std::vector<int32_t>{2}));
    EXPECT_EQ(sorted(Matched(*table, condition(indexed, "Title", soEqual, "b"), mmAll, {foCaseInsensitive})),
              (std::vector<int32_t>{0, 4}));
  }
  // LIKE has no index path; without the index every record is tested.
  const TSearchOperation like = condition(indexed, "Title", soLike, "%b");
  EXPECT_EQ(messageOf([&] { (void)Matched(indexed, like, mmAll); }),
            "TEdbDataSet.GetMatchedRecordsArray - Like operator is not supported in GetMatchedRecordsArray procedure.");
  EXPECT_EQ(Matched(plain, like, mmAll), (std::vector<int32_t>{0, 2}));
  EXPECT_EQ(Matched(plain, like, mmAll, {foCaseInsensitive}), (std::vector<int32_t>{0, 2, 4}));
  // The one-record test agrees.
  EXPECT_TRUE(IsRecordMatches(plain, like, {}, plain.GetRecord(2)));
  EXPECT_FALSE(IsRecordMatches(plain, like, {}, plain.GetRecord(4)));
  EXPECT_FALSE(IsRecordMatches(plain, like, {}, plain.GetRecord(3)));
}

TEST(MatchedRecordsLong, RangesLongerThanOneReadOfTheIndex) {
  TFilterTables tables;
  constexpr int32_t kRows = 3000;
  for (int32_t i = 0; i < kRows; ++i) tables.Insert({.Year = (i * 7919) % 11});
  // Years 0 .. 10 alike: each condition holds for 9 or 10 in 11 records.
  const std::pair<uint8_t, const char*> conditions[] = {{soNotEqual, "5"}, {soGreaterOrEqual, "2"}, {soLessOrEqual, "8"}};
  for (const auto& [operation, value] : conditions) {
    SCOPED_TRACE(std::string(kSearchOperationKeywords[operation]) + " " + value);
    const TSearchOperation op = condition(tables.Indexed(), "Year", operation, value);
    int32_t count = 0;
    std::vector<int32_t> indexed, plain;
    GetMatchedRecordsArray(tables.Indexed(), op, {}, count, indexed, mmAll);
    GetMatchedRecordsArray(tables.Plain(), op, {}, count, plain, mmAll);
    ASSERT_GT(indexed.size(), 2048u);
    // Index order: by year; the same records as the test of every record.
    for (size_t i = 1; i < indexed.size(); ++i) {
      int32_t a, b;
      std::memcpy(&a, tables.Indexed().GetRecord(indexed[i - 1]) + tables.Indexed().FieldOffset(fYear), 4);
      std::memcpy(&b, tables.Indexed().GetRecord(indexed[i]) + tables.Indexed().FieldOffset(fYear), 4);
      ASSERT_LE(a, b) << "position " << i;
    }
    std::sort(indexed.begin(), indexed.end());
    EXPECT_EQ(indexed, plain);
  }
}

}  // namespace
