#pragma once
// A prepared condition: what testing records against one condition needs, worked out once
// (field layout, the value, case rule, pattern), so that a scan over every record costs one
// comparison per record.

#include "dataset/TBitsArray.h"
#include "dataset/TLikePattern.h"
#include "dataset/TSearchOperation.h"
#include "storage/TedKeyCache.h"

#include <memory>
#include <optional>

namespace tesvar::dataset {

class TConditionTester {
public:
  // Operation must be a prepared condition of Table. Raises as TAnsiLikePattern for a LIKE.
  TConditionTester(storage::TEdbDataManager& Table, const TSearchOperation& Operation, TFilterOptions Options);
  TConditionTester(const TConditionTester&) = delete;
  TConditionTester& operator=(const TConditionTester&) = delete;

  bool Matches(const uint8_t* Record) const { return MatchesValue(storage::RecordKeyValue(FLayout, FFieldNo, Record)); }
  // The same for the field's value (a record's or the key cache's).
  bool MatchesValue(const storage::TKeyValue& Field) const;
  // The record's field against the value: < 0, 0, > 0.
  int32_t Compare(const uint8_t* Record) const { return CompareValue(storage::RecordKeyValue(FLayout, FFieldNo, Record)); }
  // A value of the field (a record's or the key cache's) against the value.
  int32_t CompareValue(storage::TKeyValue Field) const;
  uint8_t Operation() const { return FOperation; }
  bool IsLike() const { return FOperation == soLike || FOperation == soNotLike; }
  int32_t FieldNo() const { return FFieldNo; }
  bool CaseInsensitive() const { return FCaseInsensitive; }
  toolkit::TFieldType FieldType() const { return FType; }
  // Where in a record the compared field's bytes start (the null flags for the record-ID field's
  // NULL test are elsewhere, but the field's bytes are what a test reads first).
  int32_t FieldOffset() const;

private:
  storage::TKeyLayout FLayout;
  int32_t FFieldNo;
  toolkit::TFieldType FType;
  uint8_t FOperation;
  bool FCaseInsensitive;
  bool FPartial;
  std::vector<uint8_t> FValueBytes;
  storage::TKeyValue FValue;
  std::optional<TAnsiLikePattern> FAnsiPattern;
  std::optional<TWideLikePattern> FWidePattern;
};

// The type of table field FieldNo as conditions compare it (the record-ID field, -1, as ftInteger).
toolkit::TFieldType ConditionFieldType(const storage::TEdbDataManager& Table, int32_t FieldNo);
// Whether the condition's comparisons ignore case: for a text field, when Options ask for it or
// the field's automatic index "@" + FieldName is case-insensitive; never for other types.
bool ConditionCaseInsensitive(const storage::TEdbDataManager& Table, const TSearchOperation& Operation,
                              TFilterOptions Options);

// Sets the entry of every record meeting the condition in Bits (sized to the record count),
// through the automatic index of the field as GetMatchedRecordsArray does, or, for LIKE / NOT
// LIKE and fields without one, by testing every record; other entries are left as they are.
void MarkMatches(storage::TEdbDataManager& Table, const TSearchOperation& Operation, const TConditionTester& Tester,
                 TBitsArray& Bits);
// Clears the entry of every record not meeting the condition in Bits (sized to the record count):
// through the automatic index of the field as MarkMatches, its matches that Bits holds kept; or,
// for LIKE / NOT LIKE and fields without one, by testing the records whose entries are set.
void KeepMatches(storage::TEdbDataManager& Table, const TSearchOperation& Operation, const TConditionTester& Tester,
                 TBitsArray& Bits);

}  // namespace tesvar::dataset
