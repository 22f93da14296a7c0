#include "dataset/TSearchParser.h"

#include "dataset/TSearchOperation_internal.h"
#include "platform/AnsiCase.h"
#include "toolkit/Conversions.h"
#include "toolkit/FormatSettings.h"

#include <utility>

namespace tesvar::dataset {

using storage::TEdbDataManager;

namespace {

bool isNameChar(char C) {
  return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '_';
}

// Recursive descent over the text, positions counted from 0. Tokens go into Tokens in the
// order the evaluation reads them.
class TCompiler {
public:
  TCompiler(TEdbDataManager& Table, toolkit::TFilterOptions Options, const std::string& Text)
      : FTable(Table), FOptions(Options), FText(Text) {}

  std::vector<TSearchOperation> Compile() {
    Expression();
    // One character may remain: the closing quote of a string that ends the text stays current.
    if (FPos + 1 < FText.size()) throw Exception("End of line expected, but \"" + Rest() + "\" found");
    return std::move(FTokens);
  }

private:
  std::string Rest() const { return FPos < FText.size() ? FText.substr(FPos) : std::string(); }
  bool AtEnd() const { return FPos >= FText.size(); }
  void SkipBlanks() {
    while (FPos < FText.size() && FText[FPos] == ' ') ++FPos;
  }
  // After blanks, Keyword in any letter case; the position moves past it only on success.
  bool MatchKeyword(const char* Keyword) {
    const size_t saved = FPos;
    SkipBlanks();
    size_t at = FPos;
    for (const char* k = Keyword; *k != 0; ++k, ++at) {
      if (at >= FText.size() || platform::AnsiLowerChar(static_cast<uint8_t>(FText[at])) !=
                                    platform::AnsiLowerChar(static_cast<uint8_t>(*k))) {
        FPos = saved;
        return false;
      }
    }
    FPos = at;
    return true;
  }
  void Emit(uint8_t Kind) {
    TSearchOperation token;
    token.Kind = Kind;
    FTokens.push_back(std::move(token));
  }

  void Expression() {
    Term();
    while (MatchKeyword("or")) {
      Emit(skOr);
      Term();
    }
  }
  void Term() {
    Factor();
    while (MatchKeyword("and")) {
      Emit(skAnd);
      Factor();
    }
  }
  void Factor() {
    if (MatchKeyword("not")) {
      Emit(skNot);
      Factor();
      return;
    }
    if (MatchKeyword("(")) {
      const size_t open = FTokens.size();
      Emit(skOpenBracket);
      Expression();
      if (!MatchKeyword(")")) throw Exception("Closing bracket \")\" expected, but \"" + Rest() + "\" found");
      if (FTokens.size() - open == 2) {
        // A bracket around one condition is that condition.
        FTokens[open] = std::move(FTokens.back());
        FTokens.pop_back();
      } else {
        Emit(skCloseBracket);
      }
      return;
    }
    Condition();
  }

  std::string FieldName() {
    SkipBlanks();
    if (!AtEnd() && FText[FPos] == '[') {
      ++FPos;
      const size_t close = FText.find(']', FPos);
      if (close == std::string::npos)
        throw Exception("Closing square bracket \"]\" expected, but not found in \"" + Rest() + "\"");
      const std::string between = FText.substr(FPos, close - FPos);
      FPos = close + 1;
      const std::string name(toolkit::Trim(between));
      if (name.empty()) throw Exception("Invalid field name \"" + between + "\"");
      return name;
    }
    const size_t start = FPos;
    while (!AtEnd() && isNameChar(FText[FPos])) ++FPos;
    return FText.substr(start, FPos - start);
  }

  // A quoted string from the opening quote at the current position.
  std::string String() {
    const char quote = FText[FPos];
    const size_t start = FPos;
    ++FPos;
    std::string collected;
    for (;;) {
      if (AtEnd()) throw Exception("Unterminated string " + collected + FText.substr(start));
      if (FText[FPos] == quote) {
        if (FPos + 1 < FText.size() && FText[FPos + 1] == quote) {
          collected += quote;
          FPos += 2;
          continue;
        }
        if (FPos + 1 < FText.size()) ++FPos;
        return collected;
      }
      collected += FText[FPos++];
    }
  }

  void Condition() {
    TSearchOperation token;
    token.Kind = skCondition;
    token.FieldName = FieldName();
    token.FieldNo = FTable.InternalGetFieldNo(token.FieldName);
    int32_t code = 0;
    while (code < kSearchOperationCount && !MatchKeyword(kSearchOperationKeywords[code])) ++code;
    if (code == kSearchOperationCount) throw Exception("Operator expected, but \"" + Rest() + "\"  found");
    token.Operation = static_cast<uint8_t>(code);

    std::string value;
    if (token.Operation != soIsNull && token.Operation != soIsNotNull) {
      SkipBlanks();
      const char c = AtEnd() ? '\0' : FText[FPos];
      if (c == '"' || c == '\'') {
        value = String();
        if (!FOptions.Contains(toolkit::foNoPartialCompare)) {
          token.PartialCompare = 1;
          if (value.empty() && token.Operation == soEqual) token.Operation = soIsNull;
          if (value.empty() && token.Operation == soNotEqual) token.Operation = soIsNotNull;
          if (!value.empty() && value.back() == '*') value.pop_back();
        }
      } else if (c == 't' || c == 'T' || c == 'f' || c == 'F') {
        if (platform::AsciiLowerCase(FText.substr(FPos, 4)) == "true") {
          value = "true";
          FPos += 4;
        } else if (platform::AsciiLowerCase(FText.substr(FPos, 5)) == "false") {
          value = "false";
          FPos += 5;
        } else {
          throw Exception("Unexpected meet of \"" + Rest() + "\"  found");
        }
      } else {
        const char separator = toolkit::FormatSettings().DecimalSeparator;
        const size_t start = FPos;
        while (!AtEnd()) {
          const char d = FText[FPos];
          if (!((d >= '0' && d <= '9') || d == separator || d == '+' || d == '-')) break;
          ++FPos;
        }
        if (FPos == start) throw Exception("Number expected, but \"" + Rest() + "\"  found");
        value = FText.substr(start, FPos - start);
      }
    }
    PrepareValueBuffer(FTable, token.FieldNo, token.Operation, token.ValueBuffer, value);
    FTokens.push_back(std::move(token));
  }

  TEdbDataManager& FTable;
  toolkit::TFilterOptions FOptions;
  const std::string& FText;
  size_t FPos = 0;
  std::vector<TSearchOperation> FTokens;
};

// Evaluation over the tokens with the precedence they were compiled with. TValues supplies the
// values: Condition(token index) sets the topmost value, Not() inverts it, Push() makes room
// for the right operand of AND / OR and Combine(kind) folds it into the value below;
// CombineCondition(kind, token index) folds a right operand that is one condition straight into
// the topmost value.
template <class TValues>
class TEvaluator {
public:
  TEvaluator(const std::vector<TSearchOperation>& Tokens, TValues& Values) : FTokens(Tokens), FValues(Values) {}

  void Run() { OrLevel(); }

private:
  bool Is(uint8_t Kind) const { return FAt < FTokens.size() && FTokens[FAt].Kind == Kind; }
  bool IsLast() const { return FAt + 1 == FTokens.size(); }

  void OrLevel() { Level(skOr, &TEvaluator::AndLevel); }
  void AndLevel() { Level(skAnd, &TEvaluator::Factor); }
  void Level(uint8_t Kind, void (TEvaluator::*Operand)()) {
    (this->*Operand)();
    while (Is(Kind) && !IsLast()) {
      ++FAt;
      if (LoneCondition(Kind)) {
        FValues.CombineCondition(Kind, FAt++);
        continue;
      }
      FValues.Push();
      (this->*Operand)();
      FValues.Combine(Kind);
    }
  }
  // Whether the operand of Kind at the current token is that condition alone: always after AND;
  // after OR unless an AND that binds tighter follows it (an AND as the last token binds nothing).
  bool LoneCondition(uint8_t Kind) const {
    if (FTokens[FAt].Kind != skCondition) return false;
    if (Kind == skAnd) return true;
    const size_t next = FAt + 1;
    return !(next + 1 < FTokens.size() && FTokens[next].Kind == skAnd);
  }
  void Factor() {
    if (FAt >= FTokens.size()) return;
    switch (FTokens[FAt].Kind) {
      case skNot:
        ++FAt;
        Factor();
        FValues.Not();
        return;
      case skOpenBracket:
        ++FAt;
        OrLevel();
        ++FAt;  // the closing bracket
        return;
      case skCondition: FValues.Condition(FAt++); return;
      default: ++FAt; return;  // a stray operator: compiled lists have none
    }
  }

  const std::vector<TSearchOperation>& FTokens;
  TValues& FValues;
  size_t FAt = 0;
};

// Values of the evaluation over all records: the parser's bit-set stack.
class TBitSetValues {
public:
  TBitSetValues(TEdbDataManager& Table, const std::vector<TSearchOperation>& Tokens,
                const std::vector<std::unique_ptr<TConditionTester>>& Testers, std::vector<TBitsArray>& Stack)
      : FTable(Table), FTokens(Tokens), FTesters(Testers), FStack(Stack), FCount(Table.RecordCount()) {
    Size(0);
  }

  void Push() {
    ++FTop;
    if (FTop >= FStack.size()) FStack.resize(FStack.size() + TSearchParser::kStackGrowth);
    Size(FTop);
  }
  void Combine(uint8_t Kind) {
    TBitsArray& below = FStack[FTop - 1];
    if (Kind == skOr)
      below.Or(FStack[FTop]);
    else
      below.And(FStack[FTop]);
    --FTop;
  }
  void Not() { FStack[FTop].NotAll(); }
  void Condition(size_t Index) {
    TBitsArray& top = FStack[FTop];
    top.FillAll(false);
    MarkMatches(FTable, FTokens[Index], *FTesters[Index], top);
  }
  void CombineCondition(uint8_t Kind, size_t Index) {
    if (Kind == skOr)
      MarkMatches(FTable, FTokens[Index], *FTesters[Index], FStack[FTop]);
    else
      KeepMatches(FTable, FTokens[Index], *FTesters[Index], FStack[FTop]);
  }

private:
  void Size(size_t Entry) {
    if (FStack[Entry].Count() != FCount) FStack[Entry].SetCount(FCount);
  }

  TEdbDataManager& FTable;
  const std::vector<TSearchOperation>& FTokens;
  const std::vector<std::unique_ptr<TConditionTester>>& FTesters;
  std::vector<TBitsArray>& FStack;
  int32_t FCount;
  size_t FTop = 0;
};

// Values of the evaluation for one record.
class TRecordValues {
public:
  TRecordValues(const std::vector<std::unique_ptr<TConditionTester>>& Testers, const uint8_t* Record)
      : FTesters(Testers), FRecord(Record) {}

  void Push() { FStack.push_back(false); }
  void Combine(uint8_t Kind) {
    const bool top = FStack.back();
    FStack.pop_back();
    FStack.back() = Kind == skOr ? (FStack.back() || top) : (FStack.back() && top);
  }
  void Not() { FStack.back() = !FStack.back(); }
  void Condition(size_t Index) { FStack.back() = FTesters[Index]->Matches(FRecord); }
  void CombineCondition(uint8_t Kind, size_t Index) {
    const bool match = FTesters[Index]->Matches(FRecord);
    FStack.back() = Kind == skOr ? (FStack.back() || match) : (FStack.back() && match);
  }
  bool Result() const { return FStack.front(); }

private:
  const std::vector<std::unique_ptr<TConditionTester>>& FTesters;
  const uint8_t* FRecord;
  std::vector<bool> FStack = {false};
};

}  // namespace

TSearchParser::TSearchParser(TEdbDataManager* Table) : FTable(Table), FStack(kStackGrowth) {}

TSearchParser::~TSearchParser() = default;

void TSearchParser::SetTable(TEdbDataManager* Table) {
  FTable = Table;
  FExpression.clear();
  FTokens.clear();
  FTesters.clear();
}

void TSearchParser::SetOptions(toolkit::TFilterOptions Value) {
  FOptions = Value;
  FTesters.clear();
}

void TSearchParser::RequireTable() const {
  if (FTable == nullptr) throw Exception("TSearchParser - no table.");
}

void TSearchParser::SetExpression(const std::string& Text) {
  RequireTable();
  std::vector<TSearchOperation> tokens;
  if (!toolkit::Trim(Text).empty()) tokens = TCompiler(*FTable, FOptions, Text).Compile();
  FTokens = std::move(tokens);
  FTesters.clear();
  FExpression = Text;
}

void TSearchParser::PrepareTesters() {
  if (FTesters.size() == FTokens.size()) return;
  std::vector<std::unique_ptr<TConditionTester>> testers(FTokens.size());
  for (size_t i = 0; i < FTokens.size(); ++i)
    if (FTokens[i].Kind == skCondition) testers[i] = std::make_unique<TConditionTester>(*FTable, FTokens[i], FOptions);
  FTesters = std::move(testers);
}

const TBitsArray& TSearchParser::Parse() {
  if (FTokens.empty()) throw Exception("TSearchParser.Parse - Expression is blank.");
  RequireTable();
  // The automatic indexes' case rules are read when the conditions are prepared.
  FTesters.clear();
  PrepareTesters();
  TBitSetValues values(*FTable, FTokens, FTesters, FStack);
  TEvaluator<TBitSetValues>(FTokens, values).Run();
  return FStack.front();
}

bool TSearchParser::IsRecordMatches(const uint8_t* Record) {
  if (FTokens.empty()) return false;
  RequireTable();
  PrepareTesters();
  TRecordValues values(FTesters, Record);
  TEvaluator<TRecordValues>(FTokens, values).Run();
  return values.Result();
}

}  // namespace tesvar::dataset
