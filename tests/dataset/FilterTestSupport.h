#pragma once
// Filter tests: the same rows in two tables of one database, one with the automatic per-field
// indexes (conditions answered through them) and one without (every record tested), and the
// evaluation of an expression over both by every route the parser offers.

#include "dataset/TSearchParser.h"
#include "platform/AnsiCollation.h"
#include "platform/CodePage.h"
#include "storage/StorageTestSupport.h"
#include "toolkit/DateTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tesvar::filtertest {

using namespace tesvar::dataset;
using namespace tesvar::storage;
using namespace tesvar::toolkit;

// One row; an absent value is NULL. Texts are UTF-8 here and stored in the engine code page.
struct TRow {
  std::optional<std::string> Title{};
  std::optional<int32_t> Year{};
  std::optional<int32_t> Born{};  // day number
  std::optional<bool> Flag{};
  std::optional<double> Price{};
  std::optional<std::string> Wide{};
};

// Field numbers of the test table (the record-ID field "ID" comes first in the definitions but is
// kept apart).
enum : int32_t { fTitle = 0, fYear = 1, fBorn = 2, fFlag = 3, fPrice = 4, fWide = 5 };

// The seed of a randomized test: TESVAR_SEED when set, else Fallback.
inline uint64_t seedOr(uint64_t Fallback) {
  if (const char* s = std::getenv("TESVAR_SEED")) return std::strtoull(s, nullptr, 10);
  return Fallback;
}

// LIKE as defined, literally: "%" tried at every split of the rest of the text, "_" one
// character, others equal by the engine's collation. Exponential; for short texts only.
inline bool referenceLike(std::string_view Pattern, std::string_view Text, bool CaseInsensitive) {
  if (Pattern.empty()) return Text.empty();
  if (Pattern[0] == '%') {
    if (Pattern.size() == 1) return true;
    for (size_t split = 0; split <= Text.size(); ++split)
      if (referenceLike(Pattern.substr(1), Text.substr(split), CaseInsensitive)) return true;
    return false;
  }
  if (Text.empty()) return false;
  if (Pattern[0] != '_' &&
      platform::EngineCollation().Compare(Pattern.substr(0, 1), Text.substr(0, 1), CaseInsensitive) != 0)
    return false;
  return referenceLike(Pattern.substr(1), Text.substr(1), CaseInsensitive);
}

inline TFieldDefs filterFields() {
  return {{"ID", ftAutoInc},    {"Title", ftString, 20}, {"Year", ftInteger}, {"Born", ftDate},
          {"Flag", ftBoolean}, {"Price", ftFloat},      {"Wide", ftWideString, 20}};
}

inline int32_t dayOf(int32_t Year, int32_t Month, int32_t Day) { return DayNumberOf(Year, Month, Day); }

// A record buffer of Table holding Row.
inline std::vector<uint8_t> recordOf(TEdbDataManager& Table, const TRow& Row) {
  std::vector<uint8_t> r = Table.NewRecordBuffer();
  auto set = [&](int32_t Field, const void* Value, size_t Size) {
    std::memcpy(r.data() + Table.FieldOffset(Field), Value, Size);
    r[static_cast<size_t>(Table.DataSize() + 4 + Field / 8)] &= static_cast<uint8_t>(~(1u << (Field % 8)));
  };
  if (Row.Title) {
    const std::string ansi = platform::ToAnsi(*Row.Title);
    set(fTitle, ansi.c_str(), ansi.size() + 1);
  }
  if (Row.Year) set(fYear, &*Row.Year, 4);
  if (Row.Born) set(fBorn, &*Row.Born, 4);
  if (Row.Flag) {
    const uint8_t b = *Row.Flag ? 1 : 0;
    set(fFlag, &b, 1);
  }
  if (Row.Price) set(fPrice, &*Row.Price, 8);
  if (Row.Wide) {
    std::vector<uint8_t> bytes;
    for (char16_t c : platform::FromAnsiUtf16(platform::ToAnsi(*Row.Wide))) {
      bytes.push_back(static_cast<uint8_t>(c));
      bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    set(fWide, bytes.data(), bytes.size());
  }
  return r;
}

// The records an expression selects by each route, as record IDs.
struct TSelections {
  std::set<int32_t> IndexedParse, IndexedRecords, PlainParse, PlainRecords;
};

class TFilterTables {
public:
  explicit TFilterTables(const TFieldDefs& Fields = filterFields()) {
    FEnv.Create(Fields, {}, true);
    FEnv.Open();
    FPlainDataset = FEnv.FDataset;
    edGetDataManager("Plain", FEnv.FDatabase).CreateTable(Fields, {}, 1000, false, &FPlainDataset);
    TEdbDataManager& plain = edGetDataManager("Plain", FEnv.FDatabase);
    if (plain.ConnectDataset(FPlainDataset) != otrOk) throw Exception("cannot open the plain table");
    FPlain = &plain;
  }
  ~TFilterTables() {
    try {
      if (FPlain != nullptr) FPlain->DisconnectDataset(FPlainDataset);
    } catch (...) {
    }
  }
  TFilterTables(const TFilterTables&) = delete;
  TFilterTables& operator=(const TFilterTables&) = delete;

  TEdbDataManager& Indexed() { return FEnv.M(); }
  TEdbDataManager& Plain() { return *FPlain; }

  // Inserts Row into both tables; returns its record ID.
  int32_t Insert(const TRow& Row) {
    for (TEdbDataManager* table : {&Indexed(), FPlain}) {
      std::vector<uint8_t> r = recordOf(*table, Row);
      table->edInsertRecord(r.data(), 0);
    }
    return Indexed().TableHeader().LastAutoInc;
  }
  int32_t IdOf(TEdbDataManager& Table, int32_t RecNo) {
    return GetInt32(Table.GetRecord(RecNo) + Table.DataSize());
  }

  // Text compiled with Options over each table, then evaluated by Parse and record by record.
  TSelections Select(const std::string& Text, TFilterOptions Options = {}) {
    TSelections s;
    Evaluate(Indexed(), Text, Options, s.IndexedParse, s.IndexedRecords);
    Evaluate(*FPlain, Text, Options, s.PlainParse, s.PlainRecords);
    return s;
  }

  // Every route gives Expected (record IDs).
  void ExpectSelects(const std::string& Text, TFilterOptions Options, const std::set<int32_t>& Expected) {
    SCOPED_TRACE(Text);
    const TSelections s = Select(Text, Options);
    EXPECT_EQ(s.IndexedParse, Expected) << "indexed table, Parse";
    EXPECT_EQ(s.IndexedRecords, Expected) << "indexed table, one record at a time";
    EXPECT_EQ(s.PlainParse, Expected) << "table without indexes, Parse";
    EXPECT_EQ(s.PlainRecords, Expected) << "table without indexes, one record at a time";
  }

private:
  void Evaluate(TEdbDataManager& Table, const std::string& Text, TFilterOptions Options, std::set<int32_t>& Parsed,
                std::set<int32_t>& ByRecord) {
    TSearchParser parser(&Table);
    parser.SetOptions(Options);
    parser.SetExpression(Text);
    const TBitsArray& bits = parser.Parse();
    EXPECT_EQ(bits.Count(), Table.RecordCount());
    for (int32_t recNo = 0; recNo < bits.Count(); ++recNo)
      if (bits.Items(recNo)) Parsed.insert(IdOf(Table, recNo));
    for (int32_t recNo = 0; recNo < Table.RecordCount(); ++recNo) {
      std::vector<uint8_t> record(Table.GetRecord(recNo), Table.GetRecord(recNo) + Table.RecordSize());
      if (parser.IsRecordMatches(record.data())) ByRecord.insert(IdOf(Table, recNo));
    }
  }

  storagetest::TTableEnv FEnv{{pfs::fsmInMemory, false}, "Indexed"};
  storagetest::TTestDataset FPlainDataset;
  TEdbDataManager* FPlain = nullptr;
};

}  // namespace tesvar::filtertest
