#pragma once
// The string collation: the order of 8-bit ANSI texts in the engine code page (platform/CodePage.h)
// by the user's locale. Every ANSI comparison of the engine goes through it: index keys, filters,
// Locate, SQL and the names of the container directory.
//
// A collation is made of a 256-entry rank table built from the locale's collator over the
// one-character texts of the code page's bytes. When the ranks are a permutation (Fast), a
// comparison is a byte lookup per character; otherwise every comparison goes to the collator.
// Ranks compare the texts character by character: "ёж" is above "ея" because ё is above е, where
// the collator itself would weigh the whole texts at once.
//
// The engine's collation is built once, from the user's locale, on the first comparison or by
// InitEngineCollation at engine start; it follows the engine code page. As with the code page,
// set the locale before any container or table is opened: a sorted name index or an index array
// keeps the order in force when it was built.
//
// Thread-safe: a collation never changes once built, and built collations are never freed.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct UCollator;

namespace tesvar::platform {

struct TCodePageTables;
namespace detail {
struct TEngineCollation;
}

// The environment variable that overrides the user's locale for the engine's collation (tests
// set it so that their results do not depend on the machine): a locale name such as "ru_RU",
// "en_US", "tr_TR"; empty or unset leaves the user's locale.
inline constexpr char kLocaleVariable[] = "TESVAR_LOCALE";

// The user's locale for collation, in the collator library's form ("ru_RU"; "" is the root
// locale): TESVAR_LOCALE when set and not empty; else, on Windows, the user default locale; on
// other systems the first of LC_ALL, LC_COLLATE and LANG that is set and not empty ("C",
// "POSIX" and none at all give the root locale).
std::string UserLocaleName();

// "ru_RU.UTF-8", "ru-RU", "ru_RU@euro" as "ru_RU"; "C", "POSIX" and "" as "".
std::string CanonicalLocaleName(std::string_view Name);

class TAnsiCollation {
public:
  using TTable = std::array<uint8_t, 256>;

  // The collation of Locale (any form CanonicalLocaleName accepts) over the bytes of the engine
  // code page in force. A Turkish locale (language "tr", Windows locale 1055) takes the fixed
  // Turkish rank table and case maps; any other takes its ranks from the locale's collator at
  // identical strength (case-sensitive, and only canonically equivalent texts are equal, so
  // that distinct characters get distinct ranks) and its case maps from the code page
  // (platform/AnsiCase.h). Bytes the code page leaves undefined rank after every character, in
  // byte order. A locale the collator library does not know gets its parent's or the root
  // collation. RankTables false makes every comparison go to the collator (Fast is false; the
  // tables are still built): the path a locale whose ranks tie takes. Raises tesvar::Exception
  // when the collator cannot be opened.
  explicit TAnsiCollation(std::string_view Locale, bool RankTables = true);
  ~TAnsiCollation();
  TAnsiCollation(const TAnsiCollation&) = delete;
  TAnsiCollation& operator=(const TAnsiCollation&) = delete;

  // The canonical locale name ("" the root locale) and the code page the collation was built for.
  const std::string& Locale() const { return FLocale; }
  const std::string& CodePage() const;
  bool Turkish() const { return FTurkish; }
  // The rank tables are a permutation and in use.
  bool Fast() const { return FFast; }

  // Rank[c]: the number of byte values whose one-character text is below c's (equal texts share
  // a rank). Inverse[Rank[c]] = c. UpperRank[Rank[c]] = Rank[Upper[c]], LowerRank[Rank[c]] =
  // Rank[Lower[c]]. Inverse, UpperRank and LowerRank are meaningful only when the ranks are a
  // permutation.
  const TTable& Rank() const { return FRank; }
  const TTable& Inverse() const { return FInverse; }
  const TTable& UpperRank() const { return FUpperRank; }
  const TTable& LowerRank() const { return FLowerRank; }
  // The case maps the ranks use.
  const TTable& Upper() const { return FUpper; }
  const TTable& Lower() const { return FLower; }

  // Three-way comparisons: < 0, 0 or > 0 as A is below, equal to or above B. A text ends at its
  // first zero byte or at the end of its view, whichever comes first, so a fixed-size field is
  // passed whole; an ended text is below any longer one. The texts are left unchanged.
  //
  // Comparisons never raise, save running out of memory on the collator's path.
  //
  // Case-sensitive. Fast: by the ranks of the characters up to the first difference. Not Fast:
  // the collator's comparison of the texts.
  int CompareStr(std::string_view A, std::string_view B) const {
    return FFast ? CompareByKey(A, B, FStrKey) : LocaleCompare(A, B, TKind::Str);
  }
  // Case-insensitive. Fast: as CompareStr, except that a differing pair of characters compares
  // by UpperRank and the comparison goes on when those agree. Not Fast: the collator's
  // comparison of the upper-cased texts.
  int CompareText(std::string_view A, std::string_view B) const {
    return FFast ? CompareByKey(A, B, FTextKey) : LocaleCompare(A, B, TKind::Text);
  }
  int Compare(std::string_view A, std::string_view B, bool CaseInsensitive) const {
    return CaseInsensitive ? CompareText(A, B) : CompareStr(A, B);
  }
  // Compares the first Length(Prefix) characters of Text with Prefix: 0 when Text begins with
  // Prefix (an empty Prefix begins every text).
  int ComparePrefix(std::string_view Text, std::string_view Prefix, bool CaseInsensitive) const;

  // Orders names (of files, tables, fields, indexes) case-insensitively by the collation; 0
  // exactly when AnsiSameText(A, B), so a list sorted by it finds every spelling of a name in
  // one run. Every byte counts (a zero byte does not end a name). Names the collation ranks
  // equal but that differ ignoring case come in the order of their lower-cased bytes.
  int CompareNames(std::string_view A, std::string_view B) const;

private:
  friend struct detail::TEngineCollation;
  struct TUnbuilt {};
  enum class TKind : uint8_t { Str, Text };

  // The stand-in for the engine's collation until it is built (and after the code page
  // changed): not Fast, so every comparison reaches LocaleCompare, which builds the engine's.
  explicit constexpr TAnsiCollation(TUnbuilt) : FCodePage(nullptr) {}
  bool Built() const { return FCodePage != nullptr; }

  using TWeights = std::array<uint16_t, 256>;

  // Compares two texts by the weights Key gives their bytes (FStrKey, FTextKey). Inline, as
  // index keys compare millions of texts.
  static int CompareByKey(std::string_view A, std::string_view B, const TWeights& Key) {
    const auto* PA = reinterpret_cast<const uint8_t*>(A.data());
    const auto* PB = reinterpret_cast<const uint8_t*>(B.data());
    const size_t N = A.size() < B.size() ? A.size() : B.size();
    for (size_t I = 0; I < N; ++I) {
      const int KA = Key[PA[I]];
      const int KB = Key[PB[I]];
      if ((KA != KB) | (KA == 0)) return KA - KB;  // a difference, or the end of both texts
    }
    if (A.size() == B.size()) return 0;
    if (A.size() < B.size()) return PB[N] == 0 ? 0 : -1;
    return PA[N] == 0 ? 0 : 1;
  }

  // The collator's comparison of the texts up to their first zero bytes (Text: upper-cased).
  int LocaleCompare(std::string_view A, std::string_view B, TKind Kind) const;
  int LocaleCompareNames(std::string_view A, std::string_view B) const;
  // The collator's comparison of the texts, each byte mapped through Fold when given.
  int CollatorCompare(std::string_view A, std::string_view B, const uint8_t* Fold) const;

  std::string FLocale;
  const TCodePageTables* FCodePage;
  bool FTurkish = false;
  bool FFast = false;
  TTable FRank{};
  TTable FInverse{};
  TTable FUpperRank{};
  TTable FLowerRank{};
  TTable FUpper{};
  TTable FLower{};
  // Weights of the bytes for the comparisons on the rank tables. Texts: the rank + 1, and 0 for
  // the zero byte alone, which ends a text and is below every character. Names: the rank, as a
  // zero byte ends no name.
  TWeights FStrKey{};   // Rank[c] + 1
  TWeights FTextKey{};  // Rank[Upper[c]] + 1: UpperRank[Rank[c]] + 1
  TWeights FNameKey{};  // Rank[FNameFold[c]]
  TTable FNameFold{};   // Upper[code page lower case of c]
  UCollator* FCollator = nullptr;  // owned; open only when not Fast
};

// The engine's collation: on first use built from UserLocaleName() (or the locale of a
// ScopedEngineCollation) over the engine code page, and built again when the code page changed.
// Raises as TAnsiCollation.
const TAnsiCollation& EngineCollation();
// Builds the engine's collation now; the engine start calls it so that the first comparison
// costs nothing extra. Raises as TAnsiCollation.
const TAnsiCollation& InitEngineCollation();

// The engine's collation methods of the same names. The first comparison (after the code page
// changed) builds the engine's collation and raises as EngineCollation.
int CollateStr(std::string_view A, std::string_view B);
int CollateText(std::string_view A, std::string_view B);
int CollatePrefix(std::string_view Text, std::string_view Prefix, bool CaseInsensitive);
int CollateNames(std::string_view A, std::string_view B);

// Makes the engine's collation that of Locale, or Collation itself (which must outlive the
// guard and be built over the engine code page in force), for the guard's lifetime or until the
// code page changes, and restores the former one after; for tests and for a program's run.
// Raises as TAnsiCollation, or tesvar::Exception for a Collation of another code page (then
// nothing changed).
class ScopedEngineCollation {
public:
  explicit ScopedEngineCollation(std::string_view Locale);
  explicit ScopedEngineCollation(const TAnsiCollation& Collation);
  ~ScopedEngineCollation();
  ScopedEngineCollation(const ScopedEngineCollation&) = delete;
  ScopedEngineCollation& operator=(const ScopedEngineCollation&) = delete;

private:
  const TAnsiCollation* FPrevious;
  std::optional<std::string> FPreviousLocale;  // none: the user's locale
};

}  // namespace tesvar::platform
