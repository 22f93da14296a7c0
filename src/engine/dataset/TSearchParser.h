#pragma once
// The filter language of datasets: compiles a condition text over one table into a list of
// tokens and evaluates it, over every record of the table at once into a bit set, or for one
// record.
//
// The language: conditions "field operator value" combined with "not", "and", "or" (binding in
// this order, tightest first) and round brackets. A field is a run of ASCII letters, digits and
// "_", or any name in square brackets; the record-ID field is named by the table's ID field
// name. Operators: = <> <= >= < > like, not like, is null, is not null. A value is a string in
// single or double quotes (a doubled quote stands for one), true or false, or a number (digits,
// the decimal separator of the format in force, "+" and "-"); dates and times are strings.
// Keywords are matched case-insensitively after blanks and need no blank after them.
//
// Unless the options hold foNoPartialCompare, a string value compares with the first
// Length(value) characters of a text field only, an empty string stands for NULL ("= ''" is "is
// null", "<> ''" is "is not null"), and a final "*" of a string value is dropped.

#include "dataset/TBitsArray.h"
#include "dataset/TSearchOperation.h"
#include "storage/TEdbDataManager.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::dataset {

class TConditionTester;

class TSearchParser {
public:
  // The bit-set stack starts with this many entries and grows by as many.
  static constexpr int32_t kStackGrowth = 5;

  // Table: the table the expressions name fields of (not owned; may be null until one is set).
  explicit TSearchParser(storage::TEdbDataManager* Table = nullptr);
  ~TSearchParser();
  TSearchParser(const TSearchParser&) = delete;
  TSearchParser& operator=(const TSearchParser&) = delete;

  // Another table (or none): the compiled expression is dropped (no tokens, Expression empty),
  // since its field numbers and value buffers belong to the former table.
  void SetTable(storage::TEdbDataManager* Table);
  storage::TEdbDataManager* Table() const { return FTable; }

  // foCaseInsensitive acts on evaluation, foNoPartialCompare on the next SetExpression.
  toolkit::TFilterOptions Options() const { return FOptions; }
  void SetOptions(toolkit::TFilterOptions Value);

  // The last text compiled successfully.
  const std::string& Expression() const { return FExpression; }

  // Compiles Text; a text that is blank after trimming gives no tokens. A text that does not
  // compile raises the message of its first fault and leaves the parser as it was (the former
  // expression and its tokens stay in force): "End of line expected, but "<rest>" found",
  // "Closing bracket ")" expected, but "<rest>" found", "Closing square bracket "]" expected,
  // but not found in "<rest>"", "Invalid field name "<text>"", "Operator expected, but "<rest>"
  // found" (two blanks before "found"), "Number expected, but "<rest>"  found", "Unterminated
  // string <collected><rest>", "Unexpected meet of "<rest>"  found" (rest: the text from where
  // the fault was found), InternalGetFieldNo's message for a field the table lacks, and
  // PrepareValueBuffer's messages. Raises "TSearchParser - no table." without a table.
  void SetExpression(const std::string& Text);

  int32_t TokenCount() const { return static_cast<int32_t>(FTokens.size()); }
  const TSearchOperation& Token(int32_t Index) const { return FTokens[static_cast<size_t>(Index)]; }

  // Evaluates the expression over every record of the table: the result has one entry per
  // physical record number (RecordCount entries), set for the records that meet it; it lives in
  // the parser until the next Parse, SetExpression, SetOptions or SetTable. Conditions other than
  // LIKE / NOT LIKE on fields with an automatic index are answered through it
  // (GetMatchedRecordsArray), the others by testing every record. Raises "TSearchParser.Parse -
  // Expression is blank." without tokens.
  const TBitsArray& Parse();

  // Whether Record (a record buffer of the table) meets the expression; false without tokens.
  // For every record, the entry Parse gives it.
  bool IsRecordMatches(const uint8_t* Record);

private:
  void RequireTable() const;
  // Prepared conditions, one per token (null for the other kinds), made on first use.
  void PrepareTesters();

  storage::TEdbDataManager* FTable;
  std::string FExpression;
  toolkit::TFilterOptions FOptions;
  std::vector<TSearchOperation> FTokens;
  std::vector<std::unique_ptr<TConditionTester>> FTesters;
  std::vector<TBitsArray> FStack;
};

}  // namespace tesvar::dataset
