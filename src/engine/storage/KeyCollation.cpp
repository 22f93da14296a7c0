#include "storage/KeyCollation_internal.h"

#include "platform/AnsiCase.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace tesvar::storage {

bool ansiComparesBytewise() { return true; }

int32_t compareAnsi(const uint8_t* A, size_t ALength, const uint8_t* B, size_t BLength, bool CaseInsensitive) {
  if (CaseInsensitive) {
    const int r = platform::AnsiCompareTextCI(std::string_view(reinterpret_cast<const char*>(A), ALength),
                                              std::string_view(reinterpret_cast<const char*>(B), BLength));
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }
  const size_t common = std::min(ALength, BLength);
  if (common > 0) {
    const int r = std::memcmp(A, B, common);
    if (r != 0) return r < 0 ? -1 : 1;
  }
  return ALength < BLength ? -1 : (ALength > BLength ? 1 : 0);
}

namespace {

struct TCollatorClose {
  void operator()(UCollator* Collator) const { ucol_close(Collator); }
};
using TCollator = std::unique_ptr<UCollator, TCollatorClose>;

// A collator of the default locale with the given strength: tertiary (case counts) or secondary
// (case ignored, accents count). The POSIX locale (an environment without a language) orders
// letters by code point, case first; the root order stands in for it. Null when the library
// cannot open one; code-unit order is used then.
TCollator openCollator(UCollationStrength Strength) {
  const char* locale = uloc_getDefault();
  if (std::strcmp(locale, "en_US_POSIX") == 0) locale = "";
  UErrorCode status = U_ZERO_ERROR;
  TCollator collator(ucol_open(locale, &status));
  if (U_FAILURE(status)) return TCollator();
  ucol_setStrength(collator.get(), Strength);
  return collator;
}

UCollator* wideCollator(bool CaseInsensitive) {
  static const TCollator collators[2] = {openCollator(UCOL_TERTIARY), openCollator(UCOL_SECONDARY)};
  return collators[CaseInsensitive ? 1 : 0].get();
}

}  // namespace

int32_t compareWide(const uint8_t* A, size_t ALength, const uint8_t* B, size_t BLength, bool CaseInsensitive) {
  auto units = [](const uint8_t* p, size_t bytes) {
    std::u16string text(bytes / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    return text;
  };
  const std::u16string a = units(A, ALength);
  const std::u16string b = units(B, BLength);
  if (UCollator* collator = wideCollator(CaseInsensitive)) {
    const UCollationResult r = ucol_strcoll(collator, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                                            reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
    return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
  }
  const int r = a.compare(b);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace tesvar::storage
