#pragma once
// Pattern matching of the LIKE operation: "%" matches any run of characters (the empty one too),
// "_" exactly one character, every other character one character equal to it. There is no escape
// character.
//
// Matching costs at most O(pattern length x text length) character comparisons: a "%" is given
// the shortest run first, and on a mismatch only the run of the last "%" passed is lengthened.
// Runs of the "%" before it need no second try: whatever the rest of the pattern could match
// after a longer run of an earlier "%", it matches after the last "%" too.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tesvar::dataset {

// Pattern against Text, characters compared by Equal(pattern character, text character).
template <class TChar, class TEqual>
bool LikeMatches(std::basic_string_view<TChar> Pattern, std::basic_string_view<TChar> Text, TEqual&& Equal) {
  constexpr size_t kNone = static_cast<size_t>(-1);
  const size_t m = Pattern.size();
  const size_t n = Text.size();
  size_t p = 0;
  size_t t = 0;
  size_t afterPercent = kNone;  // pattern position after the last "%" passed
  size_t runEnd = 0;            // text position where that "%"'s run ends
  while (t < n) {
    if (p < m && Pattern[p] == TChar('%')) {
      afterPercent = ++p;
      runEnd = t;
    } else if (p < m && (Pattern[p] == TChar('_') || Equal(Pattern[p], Text[t]))) {
      ++p;
      ++t;
    } else if (afterPercent != kNone) {
      p = afterPercent;
      t = ++runEnd;
    } else {
      return false;
    }
  }
  while (p < m && Pattern[p] == TChar('%')) ++p;
  return p == m;
}

// A LIKE pattern over ANSI text: characters are equal when the engine's collation compares the
// one-character texts equal (case-insensitively when asked).
//
// The pattern is taken apart once into its pieces, the runs between its "%"s, each character as
// the class of bytes equal to it: the first piece must match at the start of a text and the last
// at its end, and each piece between them matches at its leftmost place after the one before. As
// every piece has a fixed length, the leftmost place leaves the most room for the pieces after
// it, so this finds a match exactly when the definition does, in O(pattern x text) steps at worst
// and about one table look-up per text byte for a pattern such as "%abc%".
class TAnsiLikePattern {
public:
  // Reads the engine's collation (platform/AnsiCollation.h) and raises as it does.
  TAnsiLikePattern(std::string Pattern, bool CaseInsensitive);
  bool Matches(std::string_view Text) const;

private:
  // A pattern character: the class of the bytes it matches, or kAnyByte for "_".
  static constexpr uint16_t kAnyByte = 256;
  struct TPiece {
    uint32_t From;    // in FUnits
    uint32_t Length;
  };

  bool MatchesAt(const TPiece& Piece, const uint8_t* Text) const;

  // Class of each byte: bytes the collation compares equal share one.
  const std::array<uint8_t, 256>* FClasses;
  std::vector<uint16_t> FUnits;
  // Without a "%": one piece, the whole text. Else the piece before the first "%" (perhaps
  // empty), the non-empty pieces between, and the piece after the last "%" (perhaps empty).
  std::vector<TPiece> FPieces;
  bool FHasPercent = false;
};

// A LIKE pattern over UTF-16 text: code units are equal when the user locale's collator
// compares them equal (ignoring case when asked).
class TWideLikePattern {
public:
  TWideLikePattern(std::u16string Pattern, bool CaseInsensitive);
  bool Matches(std::u16string_view Text) const;

private:
  std::u16string FPattern;
  bool FCaseInsensitive;
};

}  // namespace tesvar::dataset
