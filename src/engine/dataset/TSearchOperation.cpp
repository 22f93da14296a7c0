#include "dataset/TSearchOperation.h"

#include "dataset/TSearchOperation_internal.h"
#include "platform/AnsiCase.h"
#include "platform/CodePage.h"
#include "storage/Prefetch.h"
#include "storage/TableFormat.h"
#include "toolkit/Conversions.h"
#include "toolkit/DateTime.h"
#include "toolkit/Errors.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace tesvar::dataset {

using namespace toolkit;
using storage::TEdbDataManager;
using storage::TEdbIndex;
using storage::TKeyLayout;
using storage::TKeyValue;

namespace {

constexpr const char* kPrepareValueBuffer = "Error in TEdbDataSet.PrepareValueBuffer - ";

bool isText(TFieldType Type) { return Type == ftString || Type == ftWideString; }

TFieldType fieldType(const TEdbDataManager& Table, int32_t FieldNo) {
  if (FieldNo < 0) return ftAutoInc;
  return Table.FieldHeaders()[static_cast<size_t>(FieldNo)].FieldType;
}

TKeyLayout layoutOf(const TEdbDataManager& Table) {
  TKeyLayout layout;
  const auto& headers = Table.FieldHeaders();
  for (size_t i = 0; i < headers.size(); ++i) {
    layout.Types.push_back(headers[i].FieldType);
    layout.Offsets.push_back(Table.FieldOffset(static_cast<int32_t>(i)));
    layout.Sizes.push_back(headers[i].Size);
  }
  layout.IdOffset = Table.DataSize();
  layout.NullOffset = Table.DataSize() + storage::kRecordIdSize;
  return layout;
}

template <class T>
void store(uint8_t* At, T Value) {
  std::memcpy(At, &Value, sizeof Value);
}

// An integer of the field's range; EConvertError names the text otherwise.
int64_t integerIn(const std::string& Text, int64_t Low, int64_t High) {
  const int64_t value = StrToInt64(Text);
  if (value < Low || value > High) throw EConvertError("'" + Text + "' is not a valid integer value");
  return value;
}

// Writes Text as a value of field FieldNo (a stored field) into Buffer.
void convertValue(const TEdbDataManager& Table, int32_t FieldNo, uint8_t* Buffer, const std::string& Text) {
  const storage::TFieldHeader& header = Table.FieldHeaders()[static_cast<size_t>(FieldNo)];
  uint8_t* at = Buffer + Table.FieldOffset(FieldNo);
  const auto size = static_cast<size_t>(header.Size);
  switch (header.FieldType) {
    case ftString: {
      const size_t length = std::min(Text.size(), size > 0 ? size - 1 : 0);
      std::memcpy(at, Text.data(), length);
      if (length < size) at[length] = 0;
      break;
    }
    case ftSmallint:
      store(at, static_cast<int16_t>(integerIn(Text, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max())));
      break;
    case ftInteger: store(at, StrToInt(Text)); break;
    case ftWord: store(at, static_cast<uint16_t>(integerIn(Text, 0, std::numeric_limits<uint16_t>::max()))); break;
    case ftBoolean: at[0] = platform::AnsiSameText(Text, "true") ? 1 : 0; break;
    case ftFloat:
    case ftCurrency: store(at, StrToFloat(Text)); break;
    case ftDate: store(at, DateTimeToTimeStamp(StrToDateTime(Text)).Date); break;
    case ftTime: store(at, DateTimeToTimeStamp(StrToDateTime(Text)).Time); break;
    case ftDateTime: store(at, TimeStampToMSecs(DateTimeToTimeStamp(StrToDateTime(Text)))); break;
    case ftWideString: {
      const std::u16string wide = platform::FromAnsiUtf16(Text);
      const size_t capacity = size / 2;
      const size_t length = std::min(wide.size(), capacity > 0 ? capacity - 1 : 0);
      for (size_t i = 0; i < length; ++i) {
        at[2 * i] = static_cast<uint8_t>(wide[i]);
        at[2 * i + 1] = static_cast<uint8_t>(wide[i] >> 8);
      }
      if (length < capacity) at[2 * length] = at[2 * length + 1] = 0;
      break;
    }
    case ftLargeint: store(at, StrToInt64(Text)); break;
    default: throw Exception(std::string(kPrepareValueBuffer) + "unsupported field type!");
  }
}

// The record-ID field is never NULL; its value is NULL when the buffer's null flags are set (the
// NULL forms of PrepareValueBuffer set all of them, the others clear all of them).
bool idValueNull(const TKeyLayout& Layout, const uint8_t* Buffer) {
  return !Layout.Types.empty() && (Buffer[Layout.NullOffset] & 1) != 0;
}

// The automatic index "@" + FieldName, when it orders the records by FieldNo ascending.
int32_t autoIndex(const TEdbDataManager& Table, const std::string& Name, int32_t FieldNo) {
  const int32_t no = Table.InternalGetIndexNo(Name);
  if (no < 0) return -1;
  const storage::TIndexHeader& header = Table.Index(no).Header();
  if (header.FieldCount() < 1 || header.FieldNos[0] != FieldNo || !header.Ascending(0)) return -1;
  return no;
}

std::u16string wideText(const TKeyValue& Value) {
  std::u16string text(Value.Length / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(Value.Data[2 * i] | (Value.Data[2 * i + 1] << 8));
  return text;
}

}  // namespace

void PrepareValueBuffer(TEdbDataManager& Table, int32_t FieldNo, uint8_t& Operation,
                        std::vector<uint8_t>& ValueBuffer, const std::string& Text) {
  if ((Operation == soLike || Operation == soNotLike) && !isText(fieldType(Table, FieldNo)))
    throw Exception(std::string(kPrepareValueBuffer) + "'like / not like' operation call with not string field!");
  try {
    std::vector<uint8_t> fresh = Table.NewRecordBuffer();
    ValueBuffer.swap(fresh);
  } catch (const std::bad_alloc&) {
    throw Exception(std::string(kPrepareValueBuffer) + "valueBuffer 0 pointer!");
  }
  uint8_t* buffer = ValueBuffer.data();
  const int32_t idOffset = Table.DataSize();
  if (FieldNo < 0 && !Text.empty()) storage::PutInt32(buffer + idOffset, StrToInt(Text));

  bool nullForm = false;
  if (Operation == soIsNull || (Operation == soEqual && Text.empty())) {
    Operation = soEqual;
    nullForm = true;
  } else if (Operation == soIsNotNull || (Operation == soNotEqual && Text.empty())) {
    Operation = soNotEqual;
    nullForm = true;
  }
  const auto fieldCount = static_cast<int32_t>(Table.FieldHeaders().size());
  uint8_t* nullFlags = buffer + idOffset + storage::kRecordIdSize;
  for (int32_t i = 0; i < fieldCount; ++i) {
    const auto bit = static_cast<uint8_t>(1u << (i % 8));
    if (nullForm)
      nullFlags[i / 8] |= bit;
    else
      nullFlags[i / 8] &= static_cast<uint8_t>(~bit);
  }
  if (FieldNo >= 0 && !Text.empty()) convertValue(Table, FieldNo, buffer, Text);
}

TFieldType ConditionFieldType(const TEdbDataManager& Table, int32_t FieldNo) {
  return FieldNo < 0 ? ftInteger : fieldType(Table, FieldNo);
}

bool ConditionCaseInsensitive(const TEdbDataManager& Table, const TSearchOperation& Operation,
                              TFilterOptions Options) {
  if (!isText(ConditionFieldType(Table, Operation.FieldNo))) return false;
  if (Options.Contains(toolkit::foCaseInsensitive)) return true;
  const int32_t own =
      autoIndex(Table, std::string(1, storage::kAutoIndexPrefix) + Operation.FieldName, Operation.FieldNo);
  return own >= 0 && Table.Index(own).Header().CaseInsensitive(0);
}

TConditionTester::TConditionTester(TEdbDataManager& Table, const TSearchOperation& Operation, TFilterOptions Options)
    : FLayout(layoutOf(Table)),
      FFieldNo(Operation.FieldNo),
      FType(ConditionFieldType(Table, Operation.FieldNo)),
      FOperation(Operation.Operation),
      FCaseInsensitive(ConditionCaseInsensitive(Table, Operation, Options)),
      FPartial(Operation.PartialCompare != 0 && isText(FType)),
      FValueBytes(Operation.ValueBuffer) {
  if (static_cast<int32_t>(FValueBytes.size()) < Table.RecordSize())
    throw Exception("TEdbDataSet.IsRecordMatches - the condition on \"" + Operation.FieldName + "\" has no value.");
  if (FFieldNo < 0 && idValueNull(FLayout, FValueBytes.data()))
    FValue = {};
  else
    FValue = storage::RecordKeyValue(FLayout, FFieldNo, FValueBytes.data());
  if (IsLike()) {
    if (FType == ftString)
      FAnsiPattern.emplace(std::string(reinterpret_cast<const char*>(FValue.Data), FValue.Length), FCaseInsensitive);
    else if (FType == ftWideString)
      FWidePattern.emplace(wideText(FValue), FCaseInsensitive);
  }
}

int32_t TConditionTester::FieldOffset() const {
  if (FFieldNo < 0) return FLayout.IdOffset;
  return FLayout.Offsets[static_cast<size_t>(FFieldNo)];
}

int32_t TConditionTester::CompareValue(TKeyValue Field) const {
  if (FPartial && !Field.Null && !FValue.Null && Field.Length > FValue.Length) {
    Field.Length = FValue.Length;
    Field.HeadLength = std::min(Field.HeadLength, Field.Length);
  }
  return storage::CompareKeyValues(FType, FCaseInsensitive, Field, FValue);
}

bool TConditionTester::MatchesValue(const TKeyValue& Field) const {
  switch (FOperation) {
    case soLike:
    case soNotLike: {
      const TKeyValue& field = Field;
      if (field.Null || FValue.Null) return false;
      const bool like = FAnsiPattern ? FAnsiPattern->Matches(std::string_view(reinterpret_cast<const char*>(field.Data), field.Length))
                                     : FWidePattern && FWidePattern->Matches(wideText(field));
      return like == (FOperation == soLike);
    }
    case soIsNull: return Field.Null;
    case soIsNotNull: return !Field.Null;
    default: break;
  }
  const int32_t r = CompareValue(Field);
  switch (FOperation) {
    case soEqual: return r == 0;
    case soNotEqual: return r != 0;
    case soLessOrEqual: return r <= 0;
    case soGreaterOrEqual: return r >= 0;
    case soLess: return r < 0;
    case soGreater: return r > 0;
    default: return false;
  }
}

namespace {

// The automatic index answering a non-LIKE condition (built when it was not), or -1.
int32_t conditionIndex(TEdbDataManager& Table, const TSearchOperation& Operation, const TConditionTester& Tester) {
  if (Tester.Operation() > soGreater) return -1;
  const std::string prefix(1, storage::kAutoIndexPrefix);
  if (autoIndex(Table, prefix + Operation.FieldName, Operation.FieldNo) < 0) return -1;
  const bool ci = Tester.CaseInsensitive() && isText(Tester.FieldType());
  const int32_t no = autoIndex(Table, ci ? prefix + prefix + Operation.FieldName : prefix + Operation.FieldName,
                               Operation.FieldNo);
  // An index whose case rule is not the comparison's orders the records otherwise.
  if (no < 0 || (isText(Tester.FieldType()) && Table.Index(no).Header().CaseInsensitive(0) != ci)) return -1;
  Table.BuildIndex(no);
  return no;
}

constexpr int32_t kPrefetchRecords = 8;

// Tests records by their numbers: the field's value from the key cache where it holds it (an
// index ordered by the field first keeps the field's values there), else from the record.
class TRecordTester {
public:
  TRecordTester(TEdbDataManager& Table, const TConditionTester& Tester) : FTable(Table), FTester(Tester) {
    for (int32_t no = 0; no < Table.IndexCount() && FCached == nullptr; ++no) {
      const storage::TIndexHeader& header = Table.Index(no).Header();
      if (header.FieldCount() > 0 && header.FieldNos[0] == Tester.FieldNo()) FCached = &Table.Index(no);
    }
  }

  // Whether the field's values are in the key cache (when it has filled them).
  bool Cached() const { return FCached != nullptr; }
  bool Matches(int32_t RecNo) const {
    TKeyValue value;
    if (FCached != nullptr && FCached->CachedFirstPartValue(RecNo, value)) return FTester.MatchesValue(value);
    return FTester.Matches(FTable.GetRecord(RecNo));
  }

private:
  TEdbDataManager& FTable;
  const TConditionTester& FTester;
  const TEdbIndex* FCached = nullptr;
};

// Calls Visit(RecNo) for the records meeting the condition, through index IndexNo (index order)
// or, with -1, by testing every record (physical order), until Visit returns false.
template <class TVisit>
void visitMatches(TEdbDataManager& Table, int32_t IndexNo, const TConditionTester& Tester, TVisit&& Visit) {
  if (IndexNo < 0) {
    const int32_t count = Table.RecordCount();
    const TRecordTester records(Table, Tester);
    if (records.Cached()) {
      for (int32_t recNo = 0; recNo < count; ++recNo)
        if (records.Matches(recNo) && !Visit(recNo)) return;
      return;
    }
    // Records of one pool page lie one after the other: the field of a record a few places on is
    // fetched into the cache while this one is tested (a prefetch never faults, so an address
    // past the page is harmless; it is formed as an integer, never as a pointer).
    const auto ahead = static_cast<uintptr_t>(kPrefetchRecords) * static_cast<uintptr_t>(Table.RecordSize()) +
                       static_cast<uintptr_t>(Tester.FieldOffset());
    for (int32_t recNo = 0; recNo < count; ++recNo) {
      const uint8_t* record = Table.GetRecord(recNo);
      storage::PrefetchLine(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(record) + ahead));
      if (Tester.Matches(record) && !Visit(recNo)) return;
    }
    return;
  }
  const TEdbIndex& index = Table.Index(IndexNo);
  const int32_t n = index.Count();
  // The first position whose record compares at least (Above: above) the value. The index's
  // first key part is the condition's field, ascending, with the comparison's case rule.
  auto bound = [&](bool Above) {
    return index.PartitionPoint([&](const TKeyValue& Value) {
      const int32_t r = Tester.CompareValue(Value);
      return r < 0 || (Above && r == 0);
    });
  };
  const int32_t first = bound(false);
  const int32_t last = bound(true);
  // The ranges of positions that meet the operation.
  int32_t ranges[2][2] = {{0, 0}, {0, 0}};
  switch (Tester.Operation()) {
    case soEqual: ranges[0][0] = first, ranges[0][1] = last; break;
    case soNotEqual: ranges[0][1] = first, ranges[1][0] = last, ranges[1][1] = n; break;
    case soLess: ranges[0][1] = first; break;
    case soLessOrEqual: ranges[0][1] = last; break;
    case soGreater: ranges[0][0] = last, ranges[0][1] = n; break;
    case soGreaterOrEqual: ranges[0][0] = first, ranges[0][1] = n; break;
    default: break;
  }
  // The entries are read block by block: one search per range, not per position.
  for (const auto& range : ranges)
    if (!index.ForRange(range[0], range[1], Visit)) return;
}

void requireNotLike(const TConditionTester& Tester) {
  if (Tester.IsLike())
    throw Exception(
        "TEdbDataSet.GetMatchedRecordsArray - Like operator is not supported in GetMatchedRecordsArray procedure.");
}

}  // namespace

bool IsRecordMatches(TEdbDataManager& Table, const TSearchOperation& Operation, TFilterOptions Options,
                     const uint8_t* Record) {
  return TConditionTester(Table, Operation, Options).Matches(Record);
}

void GetMatchedRecordsArray(TEdbDataManager& Table, const TSearchOperation& Operation, TFilterOptions Options,
                            int32_t& Count, std::vector<int32_t>& RecNos, TMatchMode Mode) {
  const TConditionTester tester(Table, Operation, Options);
  const std::string prefix(1, storage::kAutoIndexPrefix);
  if (autoIndex(Table, prefix + Operation.FieldName, Operation.FieldNo) >= 0) requireNotLike(tester);
  const int32_t indexNo = tester.IsLike() ? -1 : conditionIndex(Table, Operation, tester);
  Count = 0;
  RecNos.clear();
  visitMatches(Table, indexNo, tester, [&](int32_t RecNo) {
    ++Count;
    if (Mode != mmCountOnly) RecNos.push_back(RecNo);
    return Mode != mmFirstOnly;
  });
}

void MarkMatches(TEdbDataManager& Table, const TSearchOperation& Operation, const TConditionTester& Tester,
                 TBitsArray& Bits) {
  const int32_t indexNo = Tester.IsLike() ? -1 : conditionIndex(Table, Operation, Tester);
  visitMatches(Table, indexNo, Tester, [&](int32_t RecNo) {
    Bits.SetItems(RecNo, true);
    return true;
  });
}

void KeepMatches(TEdbDataManager& Table, const TSearchOperation& Operation, const TConditionTester& Tester,
                 TBitsArray& Bits) {
  const int32_t indexNo = Tester.IsLike() ? -1 : conditionIndex(Table, Operation, Tester);
  if (indexNo < 0) {
    const TRecordTester records(Table, Tester);
    for (int32_t recNo = Bits.NextSet(0); recNo >= 0; recNo = Bits.NextSet(recNo + 1))
      if (!records.Matches(recNo)) Bits.SetItems(recNo, false);
    return;
  }
  std::vector<int32_t> kept;
  visitMatches(Table, indexNo, Tester, [&](int32_t RecNo) {
    if (Bits.Items(RecNo)) kept.push_back(RecNo);
    return true;
  });
  Bits.FillAll(false);
  for (int32_t recNo : kept) Bits.SetItems(recNo, true);
}

}  // namespace tesvar::dataset
