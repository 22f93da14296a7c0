// Random filter expressions over a random table, evaluated by the parser through the automatic
// indexes, by testing every record, and one record at a time, against a direct evaluation of the
// same expression over the rows here. Texts mix Latin and Cyrillic letters in both cases; every
// operator, NULLs, LIKE with "%" and "_", not / and / or with and without brackets, with and
// without case, with partial and whole comparisons. TESVAR_SEED=<n> repeats a run.

#include "FilterTestSupport.h"
#include "platform/AnsiCase.h"
#include "platform/AnsiCollation.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <memory>
#include <random>

using namespace tesvar;
using namespace tesvar::filtertest;

namespace {

// A row as the direct evaluation sees it: texts in the engine code page.
struct TModelRow {
  int32_t Id;
  std::optional<std::string> Title;
  std::optional<int32_t> Year;
  std::optional<int32_t> Born;
  std::optional<bool> Flag;
};

struct TSettings {
  bool CaseInsensitive;
  bool Partial;
};

int sign(int Value) { return Value < 0 ? -1 : (Value > 0 ? 1 : 0); }

bool holds(uint8_t Operation, int Comparison) {
  switch (Operation) {
    case soEqual: return Comparison == 0;
    case soNotEqual: return Comparison != 0;
    case soLessOrEqual: return Comparison <= 0;
    case soGreaterOrEqual: return Comparison >= 0;
    case soLess: return Comparison < 0;
    default: return Comparison > 0;
  }
}

// NULL below every value.
template <class T, class TCompare>
int compareNullable(const std::optional<T>& Field, const T& Value, TCompare&& Compare) {
  if (!Field) return -1;
  return Compare(*Field, Value);
}

// An expression: its text and its direct evaluation.
struct TNode {
  enum TKind { Condition, Not, And, Or } Kind;
  std::string Text;  // conditions
  std::function<bool(const TModelRow&, const TSettings&)> Test;
  std::unique_ptr<TNode> Left, Right;

  bool Evaluate(const TModelRow& Row, const TSettings& Settings) const {
    switch (Kind) {
      case Condition: return Test(Row, Settings);
      case Not: return !Left->Evaluate(Row, Settings);
      case And: return Left->Evaluate(Row, Settings) && Right->Evaluate(Row, Settings);
      default: return Left->Evaluate(Row, Settings) || Right->Evaluate(Row, Settings);
    }
  }
};

class TGenerator {
public:
  explicit TGenerator(uint64_t Seed) : FRandom(Seed) {}

  size_t Below(size_t N) { return static_cast<size_t>(FRandom() % N); }
  bool Chance(int Percent) { return static_cast<int>(Below(100)) < Percent; }

  // Short texts over a few letters that the collation orders in different ways; "'" and "\""
  // to exercise doubled quotes.
  std::string Text(size_t Longest, bool Pattern) {
    static const std::string letters = platform::ToAnsi("aAbBяЯёЁжЖ ");
    std::string s;
    const size_t length = Below(Longest + 1);
    for (size_t i = 0; i < length; ++i) {
      if (Pattern && Chance(25))
        s += Chance(60) ? '%' : '_';
      else if (Chance(3))
        s += Chance(50) ? '\'' : '"';
      else
        s += letters[Below(letters.size())];
    }
    return s;
  }

  std::vector<TModelRow> Rows(int32_t Count) {
    std::vector<TModelRow> rows;
    for (int32_t id = 1; id <= Count; ++id) {
      TModelRow row{id, {}, {}, {}, {}};
      if (Chance(85)) {
        std::string title = Text(4, false);
        if (!title.empty()) row.Title = title;
      }
      if (Chance(85)) row.Year = 2000 + static_cast<int32_t>(Below(6));
      if (Chance(80)) row.Born = dayOf(2005, 1, 1) + static_cast<int32_t>(Below(5));
      if (Chance(80)) row.Flag = Chance(50);
      rows.push_back(row);
    }
    return rows;
  }

  std::string Keyword(const std::string& Word) {
    switch (Below(3)) {
      case 0: return Word;
      case 1: return platform::AnsiUpperCase(Word);
      default: {
        std::string w = Word;
        w[0] = static_cast<char>(platform::AnsiUpperChar(static_cast<uint8_t>(w[0])));
        return w;
      }
    }
  }
  std::string FieldName(const std::string& Name) {
    switch (Below(4)) {
      case 0: return platform::AnsiLowerCase(Name);
      case 1: return "[" + Name + "]";
      case 2: return "[ " + platform::AnsiUpperCase(Name) + " ]";
      default: return Name;
    }
  }
  std::string Quoted(const std::string& Value) {
    const char quote = Chance(50) ? '\'' : '"';
    std::string s(1, quote);
    for (char c : Value) {
      s += c;
      if (c == quote) s += quote;
    }
    return s + quote;
  }

  std::unique_ptr<TNode> Condition() {
    auto node = std::make_unique<TNode>();
    node->Kind = TNode::Condition;
    const size_t field = Below(5);
    const std::string name = FieldName(field == 0 ? "Title" : field == 1 ? "Year" : field == 2 ? "Born" : field == 3 ? "Flag" : "ID");
    // The operation, by its code; LIKE only on Title.
    uint8_t op = static_cast<uint8_t>(Below(10));
    if (field != 0 && (op == soLike || op == soNotLike)) op = soEqual;
    const std::string keyword = Keyword(kSearchOperationKeywords[op]);
    // A name runs on through letters: a keyword operator needs a blank before it.
    std::string text = name + (op >= soLike || Chance(70) ? " " : "") + keyword;
    if (op == soIsNull || op == soIsNotNull) {
      auto fieldNull = [field](const TModelRow& R) {
        switch (field) {
          case 0: return !R.Title.has_value();
          case 1: return !R.Year.has_value();
          case 2: return !R.Born.has_value();
          case 3: return !R.Flag.has_value();
          default: return false;
        }
      };
      node->Text = text;
      node->Test = [fieldNull, op](const TModelRow& R, const TSettings&) { return fieldNull(R) == (op == soIsNull); };
      return node;
    }
    text += Chance(70) ? " " : "";
    switch (field) {
      case 0: {
        std::string value = Text(3, op == soLike || op == soNotLike);
        if (Chance(15)) value += '*';
        node->Text = text + Quoted(value);
        node->Test = [value, op](const TModelRow& R, const TSettings& S) {
          std::string v = value;
          uint8_t o = op;
          if (S.Partial && !v.empty() && v.back() == '*') v.pop_back();
          if (v.empty() && (o == soEqual || o == soNotEqual)) return R.Title.has_value() == (o == soNotEqual);
          if (o == soLike || o == soNotLike) return R.Title.has_value() && referenceLike(v, *R.Title, S.CaseInsensitive) == (o == soLike);
          const int c = compareNullable(R.Title, v, [&](const std::string& F, const std::string& V) {
            return sign(S.Partial ? platform::EngineCollation().ComparePrefix(F, V, S.CaseInsensitive)
                                  : platform::EngineCollation().Compare(F, V, S.CaseInsensitive));
          });
          return holds(o, c);
        };
        return node;
      }
      case 1:
      case 4: {
        const int32_t value = field == 1 ? 1999 + static_cast<int32_t>(Below(8)) : static_cast<int32_t>(Below(70));
        node->Text = text + (Chance(20) ? "+" : "") + std::to_string(value);
        node->Test = [value, op, field](const TModelRow& R, const TSettings&) {
          const std::optional<int32_t> f = field == 1 ? R.Year : std::optional<int32_t>(R.Id);
          return holds(op, compareNullable(f, value, [](int32_t F, int32_t V) { return F < V ? -1 : (F > V ? 1 : 0); }));
        };
        return node;
      }
      case 2: {
        const int32_t day = dayOf(2005, 1, 1) - 1 + static_cast<int32_t>(Below(7));
        int32_t y, m, d;
        DecodeDayNumber(day, y, m, d);
        node->Text = text + Quoted(std::to_string(d) + "." + std::to_string(m) + "." + std::to_string(y));
        node->Test = [day, op](const TModelRow& R, const TSettings&) {
          return holds(op, compareNullable(R.Born, day, [](int32_t F, int32_t V) { return F < V ? -1 : (F > V ? 1 : 0); }));
        };
        return node;
      }
      default: {
        const bool value = Chance(50);
        node->Text = text + Keyword(value ? "true" : "false");
        node->Test = [value, op](const TModelRow& R, const TSettings&) {
          return holds(op, compareNullable(R.Flag, value, [](bool F, bool V) { return int(F) - int(V); }));
        };
        return node;
      }
    }
  }

  std::unique_ptr<TNode> Expression(int Depth) {
    if (Depth == 0 || Chance(30)) return Condition();
    auto node = std::make_unique<TNode>();
    const size_t kind = Below(5);
    node->Kind = kind == 0 ? TNode::Not : kind <= 2 ? TNode::And : TNode::Or;
    node->Left = Expression(Depth - 1);
    if (node->Kind != TNode::Not) node->Right = Expression(Depth - 1);
    return node;
  }

  // The text of Node, bracketed where precedence needs it and now and then where it does not.
  std::string Render(const TNode& Node) {
    std::string text;
    auto operand = [&](const TNode& Child, bool Needs) {
      const std::string t = Render(Child);
      return Needs || Chance(15) ? "(" + t + ")" : t;
    };
    auto blank = [&] { return Chance(80) ? std::string(" ") : std::string(); };
    switch (Node.Kind) {
      case TNode::Condition: return Node.Text;
      case TNode::Not: return Keyword("not") + " " + operand(*Node.Left, Node.Left->Kind == TNode::And || Node.Left->Kind == TNode::Or);
      case TNode::And:
        // "(" after "and" and ")" before it need no blank; a condition's value does not either.
        return operand(*Node.Left, Node.Left->Kind == TNode::Or) + blank() + Keyword("and") + " " +
               operand(*Node.Right, Node.Right->Kind == TNode::Or);
      default: return operand(*Node.Left, false) + blank() + Keyword("or") + " " + operand(*Node.Right, false);
    }
  }

private:
  std::mt19937_64 FRandom;
};

TEST(FilterDifferential, RandomExpressionsOverARandomTable) {
  const uint64_t seed = seedOr(std::random_device{}());
  SCOPED_TRACE("TESVAR_SEED=" + std::to_string(seed));
  std::cout << "FilterDifferential seed " << seed << "\n";
  TGenerator random(seed);
  // Small blocks of index entries, so that ranges of matches span many of them.
  storage::ScopedIndexBlockCapacity blocks(8);
  TFilterTables tables;
  const std::vector<TModelRow> rows = random.Rows(250);
  for (const TModelRow& row : rows) {
    TRow stored{row.Title ? std::optional<std::string>(platform::FromAnsi(*row.Title)) : std::nullopt, row.Year,
                row.Born, row.Flag, std::nullopt, std::nullopt};
    ASSERT_EQ(tables.Insert(stored), row.Id);
  }
  int nonTrivial = 0;
  for (int round = 0; round < 400; ++round) {
    const std::unique_ptr<TNode> expression = random.Expression(3);
    const std::string text = random.Render(*expression);
    const TSettings settings{random.Chance(50), random.Chance(70)};
    TFilterOptions options;
    if (settings.CaseInsensitive) options.Include(foCaseInsensitive);
    if (!settings.Partial) options.Include(foNoPartialCompare);
    std::set<int32_t> expected;
    for (const TModelRow& row : rows)
      if (expression->Evaluate(row, settings)) expected.insert(row.Id);
    if (!expected.empty() && expected.size() < rows.size()) ++nonTrivial;
    SCOPED_TRACE("round " + std::to_string(round) + (settings.CaseInsensitive ? ", without case" : "") +
                 (settings.Partial ? "" : ", whole"));
    tables.ExpectSelects(text, options, expected);
    if (::testing::Test::HasFailure()) {
      std::cout << "expression: " << platform::FromAnsi(text) << "\n";
      return;
    }
  }
  // Most expressions select some records and not others.
  EXPECT_GT(nonTrivial, 200);
}

}  // namespace
