#pragma once
// One condition of a filter expression or of a Locate, and the operations that answer it over a
// table: preparing its value, testing one record, and finding every record that meets it.
//
// A condition compares one field of a record with the value held in its ValueBuffer, a record
// buffer of the table (RecordSize bytes: the value at the field's offset, the null flags saying
// whether the value is NULL). The comparison is the index key comparison of one ascending key
// part (storage::CompareKeyValues): NULL below every value, texts by the engine's collation.

#include "storage/TEdbDataManager.h"
#include "toolkit/TDataSet.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tesvar::dataset {

using toolkit::TFilterOption;
using toolkit::TFilterOptions;

// Kind of a token of a compiled expression.
enum TSearchOperationKind : uint8_t {
  skCondition = 0,
  skNot = 1,
  skAnd = 2,
  skOr = 3,
  skOpenBracket = 4,
  skCloseBracket = 5,
};

// Operation of a condition. The keywords of the filter language, in code order, are
// kSearchOperationKeywords; "is null" / "is not null" become soEqual / soNotEqual with a NULL
// value when the value is prepared.
enum TSearchOperationCode : uint8_t {
  soEqual = 0,
  soNotEqual = 1,
  soLessOrEqual = 2,
  soGreaterOrEqual = 3,
  soLess = 4,
  soGreater = 5,
  soLike = 6,
  soNotLike = 7,
  soIsNull = 8,
  soIsNotNull = 9,
};
inline constexpr int32_t kSearchOperationCount = 10;
inline constexpr const char* kSearchOperationKeywords[kSearchOperationCount] = {
    "=", "<>", "<=", ">=", "<", ">", "like", "not like", "is null", "is not null"};

struct TSearchOperation {
  uint8_t Kind = skCondition;
  int32_t FieldNo = 0;  // table field number; -1 = the record-ID field
  std::string FieldName;  // as written
  uint8_t Operation = soEqual;
  // 1: a text field is compared over its first Length(value) characters only.
  uint8_t PartialCompare = 0;
  // RecordSize bytes once prepared; empty before.
  std::vector<uint8_t> ValueBuffer;
};

// What GetMatchedRecordsArray delivers.
enum TMatchMode : uint8_t {
  mmAll = 0,        // every record number, and the count
  mmCountOnly = 1,  // the count only (RecNos is left empty)
  mmFirstOnly = 2,  // the first record number only (Count 0 or 1)
};

// Makes Operation's value buffer for field FieldNo of Table from Text: a fresh record buffer of
// the table (ValueBuffer is allocated when empty) with Text converted by the field's type at the
// field's offset (the record-ID field: into the ID slot). "is null", and "=" with an empty Text,
// become "=" with every null flag set; "is not null", and "<>" with an empty Text, become "<>"
// with every null flag set; otherwise every null flag is clear. Raises "Error in
// TEdbDataSet.PrepareValueBuffer - " followed by "valueBuffer 0 pointer!" (no memory), "'like /
// not like' operation call with not string field!" (LIKE on a field other than ftString and
// ftWideString) or "unsupported field type!" (a Text for a field of another type than string,
// integer, Boolean, float, currency, date, time, date-time, wide string and large integer), and
// EConvertError for a Text that is no value of the field's type (integers out of the field's
// range included).
void PrepareValueBuffer(storage::TEdbDataManager& Table, int32_t FieldNo, uint8_t& Operation,
                        std::vector<uint8_t>& ValueBuffer, const std::string& Text);

// Whether Record (RecordSize bytes of Table's layout) meets the prepared condition Operation.
// Texts compare case-insensitively with foCaseInsensitive in Options or when the field's
// automatic index "@" + FieldName is case-insensitive. LIKE and NOT LIKE never hold for a NULL
// field.
bool IsRecordMatches(storage::TEdbDataManager& Table, const TSearchOperation& Operation, TFilterOptions Options,
                     const uint8_t* Record);

// The physical record numbers of every record of Table that meets the prepared condition
// Operation. Through the automatic index of the field when the table has one ("@@" + FieldName
// for a case-insensitive text comparison, else "@" + FieldName; built first when not built):
// the numbers in index order, found by binary search. Else by testing every record: the numbers
// in physical order. Mode says what is delivered; Count is the number of matches (at most 1
// with mmFirstOnly). Raises "TEdbDataSet.GetMatchedRecordsArray - Like operator is not supported
// in GetMatchedRecordsArray procedure." for LIKE / NOT LIKE on a field that has the index.
void GetMatchedRecordsArray(storage::TEdbDataManager& Table, const TSearchOperation& Operation, TFilterOptions Options,
                            int32_t& Count, std::vector<int32_t>& RecNos, TMatchMode Mode);

}  // namespace tesvar::dataset
