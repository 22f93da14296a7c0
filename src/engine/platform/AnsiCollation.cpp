#include "platform/AnsiCollation.h"

#include "platform/CodePage_internal.h"
#include "platform/Exception.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <utility>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace tesvar::platform {

namespace {

using TTable = TAnsiCollation::TTable;

// The Turkish rank table, row = high nibble of the byte, column = low nibble.
constexpr TTable kTurkishRank = {
    0x00, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10,  //
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20,  //
    0x01, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,  //
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,  //
    0x40, 0x48, 0x52, 0x54, 0x58, 0x5E, 0x64, 0x66, 0x6A, 0x70, 0x78, 0x7A, 0x7C, 0x7E, 0x81, 0x88,  //
    0x90, 0x92, 0x94, 0x96, 0x9B, 0xA0, 0xA7, 0xA9, 0xAB, 0xAE, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5,  //
    0xB6, 0x41, 0x51, 0x53, 0x57, 0x59, 0x63, 0x65, 0x69, 0x75, 0x77, 0x79, 0x7B, 0x7D, 0x7F, 0x83,  //
    0x8F, 0x91, 0x93, 0x95, 0x9A, 0x9C, 0xA6, 0xA8, 0xAA, 0xAC, 0xAF, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB,  //
    0xF8, 0xF9, 0xBC, 0xBD, 0xBE, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xFA, 0xFB, 0xFC,  //
    0xFD, 0xC7, 0xC8, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD, 0xCE, 0xCF, 0xD0, 0xD1, 0xD2, 0xFE, 0xFF, 0xD3,  //
    0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF, 0xE0, 0xE1, 0xE2, 0xE3,  //
    0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF2, 0xF3,  //
    0x4A, 0x4C, 0x4B, 0x4D, 0x50, 0x49, 0x4E, 0x56, 0x62, 0x5F, 0x60, 0x61, 0x74, 0x71, 0x72, 0x73,  //
    0x68, 0x82, 0x8B, 0x89, 0x8A, 0x8C, 0x8E, 0xF4, 0xF5, 0xA3, 0xA1, 0xA2, 0xA5, 0x76, 0x99, 0x97,  //
    0x43, 0x45, 0x44, 0x46, 0x4F, 0x42, 0x47, 0x55, 0x5D, 0x5A, 0x5B, 0x5C, 0x6F, 0x6E, 0x6D, 0x6C,  //
    0x67, 0x80, 0x85, 0x84, 0x86, 0x87, 0x8D, 0xF6, 0xF7, 0x9E, 0x9F, 0x9D, 0xA4, 0x6B, 0x98, 0xAD,  //
};

// The Turkish case maps: Windows-1254's letter pairs with i / İ and ı / I, and space paired with
// the zero byte. Every other byte maps to itself.
constexpr TCaseTables TurkishCase() {
  TCaseTables T = TCaseTables::Identity();
  for (int C = 0x61; C <= 0x7A; ++C) {
    if (C != 0x69) T.Pair(C - 0x20, C);
  }
  for (int C = 0xE0; C <= 0xF6; ++C) T.Pair(C - 0x20, C);
  for (int C = 0xF9; C <= 0xFC; ++C) T.Pair(C - 0x20, C);
  T.Pair(0xDD, 0x69);  // İ / i
  T.Pair(0x49, 0xFD);  // I / ı
  T.Pair(0xDE, 0xFE);
  T.Pair(0x00, 0x20);
  return T;
}

constexpr TCaseTables kTurkishCase = TurkishCase();

bool IsTurkish(const std::string& Locale) {
  char Language[ULOC_LANG_CAPACITY] = {};
  UErrorCode Status = U_ZERO_ERROR;
  uloc_getLanguage(Locale.c_str(), Language, sizeof Language, &Status);
  return U_SUCCESS(Status) && std::string_view(Language) == "tr";
}

std::string_view UpToZero(std::string_view Text) {
  const size_t Zero = Text.find('\0');
  return Zero == std::string_view::npos ? Text : Text.substr(0, Zero);
}

// Compares two names of one length by the bytes Fold gives them.
int CompareFolded(std::string_view A, std::string_view B, const TTable& Fold) {
  for (size_t I = 0; I < A.size(); ++I) {
    const int Order = Fold[static_cast<uint8_t>(A[I])] - Fold[static_cast<uint8_t>(B[I])];
    if (Order != 0) return Order;
  }
  return 0;
}

// A text in UTF-16 for the collator: each byte (mapped through Fold when given) as its character
// in the code page, a byte without one as the private-use character U+E000 + byte, which the
// collator puts after every character of a code page, in byte order.
class TCollatorText {
public:
  TCollatorText(std::string_view Text, const uint8_t* Fold, const TCodePageTables& Tables) {
    UChar* Out = FLocal;
    if (Text.size() * 2 > kLocal) {
      FHeap.resize(Text.size() * 2);
      Out = FHeap.data();
    }
    int32_t Length = 0;
    for (const char Byte : Text) {
      uint8_t B = static_cast<uint8_t>(Byte);
      if (Fold != nullptr) B = Fold[B];
      int32_t C = Tables.ToUnicode[B];
      if (C < 0) C = 0xE000 + B;
      U16_APPEND_UNSAFE(Out, Length, C);
    }
    FData = Out;
    FLength = Length;
  }
  TCollatorText(const TCollatorText&) = delete;
  TCollatorText& operator=(const TCollatorText&) = delete;

  const UChar* Data() const { return FData; }
  int32_t Length() const { return FLength; }

private:
  static constexpr size_t kLocal = 256;
  UChar FLocal[kLocal];
  std::vector<UChar> FHeap;
  const UChar* FData;
  int32_t FLength;
};

struct CollatorCloser {
  void operator()(UCollator* Collator) const { ucol_close(Collator); }
};
using TCollatorPtr = std::unique_ptr<UCollator, CollatorCloser>;

TCollatorPtr OpenCollator(const std::string& Locale) {
  UErrorCode Status = U_ZERO_ERROR;
  TCollatorPtr Collator(ucol_open(Locale.c_str(), &Status));
  if (U_SUCCESS(Status)) {
    ucol_setAttribute(Collator.get(), UCOL_STRENGTH, UCOL_IDENTICAL, &Status);
    ucol_setAttribute(Collator.get(), UCOL_NORMALIZATION_MODE, UCOL_ON, &Status);
  }
  if (!Collator || U_FAILURE(Status)) {
    throw Exception("Collation of locale \"" + Locale + "\" cannot be opened: " + u_errorName(Status));
  }
  return Collator;
}

// Rank[c] for every byte of the code page: the one-character texts ordered by the collator, the
// undefined bytes after them in byte order; equal texts share the rank of the first of them.
TTable CollatorRanks(UCollator* Collator, const TCodePageTables& Tables) {
  std::array<std::u16string, 256> Chars;
  for (size_t B = 0; B < 256; ++B) {
    const int32_t C = Tables.ToUnicode[B];
    if (C < 0) continue;
    UChar Units[2];
    int32_t Length = 0;
    U16_APPEND_UNSAFE(Units, Length, C);
    Chars[B].assign(Units, Units + Length);
  }
  auto Less = [&](uint8_t X, uint8_t Y) {
    const bool DefinedX = Tables.ToUnicode[X] >= 0;
    const bool DefinedY = Tables.ToUnicode[Y] >= 0;
    if (DefinedX != DefinedY) return DefinedX;
    if (!DefinedX) return X < Y;
    return ucol_strcoll(Collator, Chars[X].data(), static_cast<int32_t>(Chars[X].size()), Chars[Y].data(),
                        static_cast<int32_t>(Chars[Y].size())) == UCOL_LESS;
  };
  std::array<uint8_t, 256> Order;
  std::iota(Order.begin(), Order.end(), uint8_t{0});
  std::stable_sort(Order.begin(), Order.end(), Less);
  TTable Rank{};
  for (size_t I = 0; I < 256; ++I) {
    const bool TiesPrevious = I > 0 && !Less(Order[I - 1], Order[I]);
    Rank[Order[I]] = TiesPrevious ? Rank[Order[I - 1]] : static_cast<uint8_t>(I);
  }
  return Rank;
}

bool IsPermutation(const TTable& Rank) {
  std::array<bool, 256> Seen{};
  for (const uint8_t R : Rank) Seen[R] = true;
  return std::all_of(Seen.begin(), Seen.end(), [](bool S) { return S; });
}

}  // namespace

std::string CanonicalLocaleName(std::string_view Name) {
  Name = Name.substr(0, Name.find_first_of(".@"));
  std::string Result(Name);
  std::replace(Result.begin(), Result.end(), '-', '_');
  if (Result == "C" || Result == "POSIX") return {};
  return Result;
}

std::string UserLocaleName() {
  if (const char* Forced = std::getenv(kLocaleVariable); Forced != nullptr && *Forced != '\0') {
    return CanonicalLocaleName(Forced);
  }
#ifdef _WIN32
  wchar_t Name[LOCALE_NAME_MAX_LENGTH];
  const int Length = GetUserDefaultLocaleName(Name, LOCALE_NAME_MAX_LENGTH);
  std::string Ascii;
  for (int I = 0; I + 1 < Length; ++I) Ascii.push_back(Name[I] < 0x80 ? static_cast<char>(Name[I]) : '_');
  return CanonicalLocaleName(Ascii);
#else
  for (const char* Variable : {"LC_ALL", "LC_COLLATE", "LANG"}) {
    if (const char* Value = std::getenv(Variable); Value != nullptr && *Value != '\0') {
      return CanonicalLocaleName(Value);
    }
  }
  return {};
#endif
}

TAnsiCollation::TAnsiCollation(std::string_view Locale, bool RankTables)
    : FLocale(CanonicalLocaleName(Locale)), FCodePage(&EngineCodePageTables()), FTurkish(IsTurkish(FLocale)) {
  const TCodePageTables& Tables = *FCodePage;
  TCollatorPtr Collator;
  if (FTurkish) {
    FRank = kTurkishRank;
    FUpper = kTurkishCase.Upper;
    FLower = kTurkishCase.Lower;
  } else {
    Collator = OpenCollator(FLocale);
    FRank = CollatorRanks(Collator.get(), Tables);
    FUpper = Tables.Case.Upper;
    FLower = Tables.Case.Lower;
  }
  for (int C = 255; C >= 0; --C) FInverse[FRank[static_cast<size_t>(C)]] = static_cast<uint8_t>(C);
  for (size_t C = 0; C < 256; ++C) {
    FUpperRank[FRank[C]] = FRank[FUpper[C]];
    FLowerRank[FRank[C]] = FRank[FLower[C]];
    FStrKey[C] = C == 0 ? 0 : static_cast<uint16_t>(FRank[C] + 1);
    FTextKey[C] = C == 0 ? 0 : static_cast<uint16_t>(FRank[FUpper[C]] + 1);
    FNameFold[C] = FUpper[Tables.Case.Lower[C]];
    FNameKey[C] = FRank[FNameFold[C]];
  }
  FFast = RankTables && IsPermutation(FRank);
  if (!FFast) {
    if (!Collator) Collator = OpenCollator(FLocale);
    FCollator = Collator.release();
  }
}

TAnsiCollation::~TAnsiCollation() {
  if (FCollator != nullptr) ucol_close(FCollator);
}

const std::string& TAnsiCollation::CodePage() const { return FCodePage->Name; }

int TAnsiCollation::CollatorCompare(std::string_view A, std::string_view B, const uint8_t* Fold) const {
  const TCollatorText WideA(A, Fold, *FCodePage);
  const TCollatorText WideB(B, Fold, *FCodePage);
  return ucol_strcoll(FCollator, WideA.Data(), WideA.Length(), WideB.Data(), WideB.Length());
}

int TAnsiCollation::LocaleCompare(std::string_view A, std::string_view B, TKind Kind) const {
  if (!Built()) {
    const TAnsiCollation& Engine = EngineCollation();
    return Kind == TKind::Str ? Engine.CompareStr(A, B) : Engine.CompareText(A, B);
  }
  return CollatorCompare(UpToZero(A), UpToZero(B), Kind == TKind::Str ? nullptr : FUpper.data());
}

int TAnsiCollation::ComparePrefix(std::string_view Text, std::string_view Prefix, bool CaseInsensitive) const {
  Prefix = UpToZero(Prefix);
  return Compare(Text.substr(0, Prefix.size()), Prefix, CaseInsensitive);
}

int TAnsiCollation::CompareNames(std::string_view A, std::string_view B) const {
  if (!FFast) [[unlikely]] {
    return LocaleCompareNames(A, B);
  }
  const auto* PA = reinterpret_cast<const uint8_t*>(A.data());
  const auto* PB = reinterpret_cast<const uint8_t*>(B.data());
  const size_t N = std::min(A.size(), B.size());
  for (size_t I = 0; I < N; ++I) {
    const int Order = FNameKey[PA[I]] - FNameKey[PB[I]];
    if (Order != 0) return Order;
  }
  if (A.size() != B.size()) return A.size() < B.size() ? -1 : 1;
  // Equal by the collation; the code page's lower case keeps apart the names it does not join.
  return CompareFolded(A, B, FCodePage->Case.Lower);
}

int TAnsiCollation::LocaleCompareNames(std::string_view A, std::string_view B) const {
  if (!Built()) return EngineCollation().CompareNames(A, B);
  if (const int Order = CollatorCompare(A, B, FNameFold.data()); Order != 0) return Order;
  if (A.size() != B.size()) return A.size() < B.size() ? -1 : 1;
  return CompareFolded(A, B, FCodePage->Case.Lower);
}

namespace detail {

struct TEngineCollation {
  // The engine's collation, or the stand-in until it is built; collations once built are never
  // freed, so a pointer read here stays valid.
  static std::atomic<const TAnsiCollation*> Current;
  static const TAnsiCollation Unbuilt;

  static bool BuiltFor(const TAnsiCollation& Collation, const TCodePageTables* Tables) {
    return Collation.FCodePage == Tables;
  }
  static bool Built(const TAnsiCollation& Collation) { return Collation.Built(); }
};

const TAnsiCollation TEngineCollation::Unbuilt{TAnsiCollation::TUnbuilt{}};
std::atomic<const TAnsiCollation*> TEngineCollation::Current{&TEngineCollation::Unbuilt};

void EngineCodePageChanged() { TEngineCollation::Current.store(&TEngineCollation::Unbuilt, std::memory_order_release); }

}  // namespace detail

namespace {

using detail::TEngineCollation;
std::atomic<const TAnsiCollation*>& gEngineCollation = TEngineCollation::Current;

struct TCollationRegistry {
  std::mutex Lock;
  std::optional<std::string> Locale;  // set by a ScopedEngineCollation; none: the user's locale
  std::map<std::pair<const TCodePageTables*, std::string>, std::unique_ptr<TAnsiCollation>> Built;
};

TCollationRegistry& Registry() {
  static TCollationRegistry Instance;
  return Instance;
}

// The collation of Locale over the engine code page in force; the registry's lock is held.
const TAnsiCollation& BuiltCollation(TCollationRegistry& R, const std::string& Locale) {
  const std::string Name = CanonicalLocaleName(Locale);
  auto Key = std::make_pair(&EngineCodePageTables(), Name);
  auto It = R.Built.find(Key);
  if (It == R.Built.end()) It = R.Built.emplace(Key, std::make_unique<TAnsiCollation>(Name)).first;
  return *It->second;
}

const TAnsiCollation& CollationOf(std::string_view Locale) {
  TCollationRegistry& R = Registry();
  std::lock_guard<std::mutex> Guard(R.Lock);
  return BuiltCollation(R, std::string(Locale));
}

}  // namespace

const TAnsiCollation& EngineCollation() {
  const TAnsiCollation* Collation = gEngineCollation.load(std::memory_order_acquire);
  if (TEngineCollation::Built(*Collation)) [[likely]] {
    return *Collation;
  }
  TCollationRegistry& R = Registry();
  std::lock_guard<std::mutex> Guard(R.Lock);
  const TAnsiCollation& Engine = BuiltCollation(R, R.Locale ? *R.Locale : UserLocaleName());
  gEngineCollation.store(&Engine, std::memory_order_release);
  return Engine;
}

const TAnsiCollation& InitEngineCollation() { return EngineCollation(); }

// The collation in force, or the stand-in that builds it on the first comparison.
int CollateStr(std::string_view A, std::string_view B) {
  return gEngineCollation.load(std::memory_order_acquire)->CompareStr(A, B);
}
int CollateText(std::string_view A, std::string_view B) {
  return gEngineCollation.load(std::memory_order_acquire)->CompareText(A, B);
}
int CollatePrefix(std::string_view Text, std::string_view Prefix, bool CaseInsensitive) {
  return gEngineCollation.load(std::memory_order_acquire)->ComparePrefix(Text, Prefix, CaseInsensitive);
}
int CollateNames(std::string_view A, std::string_view B) {
  return gEngineCollation.load(std::memory_order_acquire)->CompareNames(A, B);
}

ScopedEngineCollation::ScopedEngineCollation(std::string_view Locale) : ScopedEngineCollation(CollationOf(Locale)) {}

ScopedEngineCollation::ScopedEngineCollation(const TAnsiCollation& Collation) {
  if (!TEngineCollation::BuiltFor(Collation, &EngineCodePageTables())) {
    throw Exception("The collation of locale \"" + Collation.Locale() + "\" was built for another code page");
  }
  TCollationRegistry& R = Registry();
  std::lock_guard<std::mutex> Guard(R.Lock);
  FPrevious = gEngineCollation.load(std::memory_order_acquire);
  FPreviousLocale = R.Locale;
  R.Locale = Collation.Locale();
  gEngineCollation.store(&Collation, std::memory_order_release);
}

ScopedEngineCollation::~ScopedEngineCollation() {
  TCollationRegistry& R = Registry();
  std::lock_guard<std::mutex> Guard(R.Lock);
  R.Locale = std::move(FPreviousLocale);
  // The former collation is stale when the code page changed meanwhile.
  const bool Current = TEngineCollation::BuiltFor(*FPrevious, detail::gEngineCodePage.load(std::memory_order_acquire));
  gEngineCollation.store(Current ? FPrevious : &TEngineCollation::Unbuilt, std::memory_order_release);
}

}  // namespace tesvar::platform
