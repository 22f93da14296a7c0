#include "storage/KeyCollation_internal.h"

#include "platform/AnsiCollation.h"

#include <unicode/ucol.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

namespace tesvar::storage {

bool ansiComparesBytewise() { return platform::EngineCollation().Fast(); }

int32_t compareAnsi(const uint8_t* A, size_t ALength, const uint8_t* B, size_t BLength, bool CaseInsensitive) {
  const int r = platform::EngineCollation().Compare(std::string_view(reinterpret_cast<const char*>(A), ALength),
                                                    std::string_view(reinterpret_cast<const char*>(B), BLength),
                                                    CaseInsensitive);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

namespace {

struct TCollatorClose {
  void operator()(UCollator* Collator) const { ucol_close(Collator); }
};
using TCollator = std::unique_ptr<UCollator, TCollatorClose>;

// A collator of the user's locale with the given strength: tertiary (case counts) or secondary
// (case ignored, accents count). Null when the library cannot open one; code-unit order is used
// then.
TCollator openCollator(UCollationStrength Strength) {
  const std::string locale = platform::UserLocaleName();
  UErrorCode status = U_ZERO_ERROR;
  TCollator collator(ucol_open(locale.c_str(), &status));
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
