#pragma once
// How numbers, dates and times are written as text and read back: the separators and the order
// of a date's parts. Every text conversion of the framework (Conversions.h, DateTime.h, field
// texts, TValue) uses the one process-wide setting, so text written by one conversion is read back
// by the other. The defaults are those of the Russian locale the program is made for: "1,5",
// "31.12.2024", "23:59:59". The program may set others at start-up.

#include <cstdint>

namespace tesvar::toolkit {

enum TDateOrder : uint8_t { doDMY = 0, doMDY = 1, doYMD = 2 };

struct TFormatSettings {
  char DecimalSeparator = ',';
  char DateSeparator = '.';
  char TimeSeparator = ':';
  TDateOrder DateOrder = doDMY;
};

const TFormatSettings& FormatSettings();
// Raises EConvertError unless the three separators are distinct ASCII punctuation characters other
// than "+" and "-"; the setting is then unchanged.
void SetFormatSettings(const TFormatSettings& Settings);

// Sets the format for its lifetime and restores the former one after (tests, one operation).
class ScopedFormatSettings {
public:
  explicit ScopedFormatSettings(const TFormatSettings& Settings);
  ~ScopedFormatSettings();
  ScopedFormatSettings(const ScopedFormatSettings&) = delete;
  ScopedFormatSettings& operator=(const ScopedFormatSettings&) = delete;

private:
  TFormatSettings FPrevious;
};

}  // namespace tesvar::toolkit
