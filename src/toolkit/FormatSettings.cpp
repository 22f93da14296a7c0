#include "toolkit/FormatSettings.h"

#include "toolkit/Errors.h"

namespace tesvar::toolkit {

namespace {

TFormatSettings gSettings{};

// ASCII punctuation other than the signs.
bool isSeparatorCandidate(char c) {
  const bool Alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  return c > ' ' && c < 0x7F && !Alnum && c != '+' && c != '-';
}

}  // namespace

const TFormatSettings& FormatSettings() { return gSettings; }

void SetFormatSettings(const TFormatSettings& Settings) {
  const char d = Settings.DecimalSeparator, ds = Settings.DateSeparator, ts = Settings.TimeSeparator;
  if (!isSeparatorCandidate(d) || !isSeparatorCandidate(ds) || !isSeparatorCandidate(ts) || d == ds || d == ts ||
      ds == ts || Settings.DateOrder > doYMD)
    throw EConvertError("Invalid format settings: separators must be distinct punctuation characters");
  gSettings = Settings;
}

ScopedFormatSettings::ScopedFormatSettings(const TFormatSettings& Settings) : FPrevious(gSettings) {
  SetFormatSettings(Settings);
}

ScopedFormatSettings::~ScopedFormatSettings() { gSettings = FPrevious; }

}  // namespace tesvar::toolkit
