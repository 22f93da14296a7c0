#include "toolkit/DateTime.h"

#include "toolkit/Conversions.h"
#include "toolkit/Errors.h"
#include "toolkit/FormatSettings.h"
#include "toolkit/Messages.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace tesvar::toolkit {

namespace {

// Days from 1 March of year 0 (proleptic Gregorian) to the date, by the era decomposition of the
// civil calendar: 400-year eras of 146097 days, March-based years so that the leap day ends a year.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe;
}

void civilFromDays(int64_t z, int32_t& Year, int32_t& Month, int32_t& Day) {
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  Year = static_cast<int32_t>(yoe + era * 400 + (m <= 2 ? 1 : 0));
  Month = static_cast<int32_t>(m);
  Day = static_cast<int32_t>(d);
}

// daysFromCivil of 1 January 0001 is 306; that day is day number 1.
constexpr int64_t kDayNumberOffset = 306 - 1;

[[noreturn]] void invalidDateTime(double Value) {
  throw EConvertError(FormatMsg(SInvalidDateTime, {FloatToStr(Value)}));
}

std::string twoDigits(int32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", static_cast<int>(v));
  return buf;
}

std::string fourDigits(int32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d", static_cast<int>(v));
  return buf;
}

// Splits Text at Sep into runs of 1..MaxDigits digits; false when a part is empty, too long or
// holds another character.
bool splitNumbers(std::string_view Text, char Sep, size_t MaxDigits, std::vector<std::string_view>& Parts) {
  Parts.clear();
  size_t Start = 0;
  for (;;) {
    size_t End = Text.find(Sep, Start);
    if (End == std::string_view::npos) End = Text.size();
    const std::string_view Part = Text.substr(Start, End - Start);
    if (Part.empty() || Part.size() > MaxDigits) return false;
    for (char c : Part)
      if (c < '0' || c > '9') return false;
    Parts.push_back(Part);
    if (End == Text.size()) return true;
    Start = End + 1;
  }
}

int32_t number(std::string_view Digits) {
  int32_t v = 0;
  for (char c : Digits) v = v * 10 + (c - '0');
  return v;
}

}  // namespace

bool IsLeapYear(int32_t Year) { return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0; }

int32_t DaysInMonth(int32_t Year, int32_t Month) {
  static constexpr int32_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (Month < 1 || Month > 12) return 0;
  return Month == 2 && IsLeapYear(Year) ? 29 : kDays[Month - 1];
}

int32_t DayNumberOf(int32_t Year, int32_t Month, int32_t Day) {
  return static_cast<int32_t>(daysFromCivil(Year, Month, Day) - kDayNumberOffset);
}

void DecodeDayNumber(int32_t DayNumber, int32_t& Year, int32_t& Month, int32_t& Day) {
  civilFromDays(static_cast<int64_t>(DayNumber) + kDayNumberOffset, Year, Month, Day);
}

bool TryEncodeDate(int32_t Year, int32_t Month, int32_t Day, TDateTime& Date) {
  if (Year < 1 || Year > 9999 || Day < 1 || Day > DaysInMonth(Year, Month)) return false;
  Date = DayNumberOf(Year, Month, Day) - DateDelta;
  return true;
}

TDateTime EncodeDate(int32_t Year, int32_t Month, int32_t Day) {
  TDateTime Date = 0;
  if (!TryEncodeDate(Year, Month, Day, Date)) throw EConvertError(SDateEncodeError);
  return Date;
}

bool TryEncodeTime(int32_t Hour, int32_t Min, int32_t Sec, int32_t MSec, TDateTime& Time) {
  if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 || MSec > 999) return false;
  Time = (((Hour * 60 + Min) * 60 + Sec) * 1000 + MSec) / static_cast<double>(MSecsPerDay);
  return true;
}

TDateTime EncodeTime(int32_t Hour, int32_t Min, int32_t Sec, int32_t MSec) {
  TDateTime Time = 0;
  if (!TryEncodeTime(Hour, Min, Sec, MSec, Time)) throw EConvertError(STimeEncodeError);
  return Time;
}

void DecodeDate(TDateTime Date, int32_t& Year, int32_t& Month, int32_t& Day) {
  DecodeDayNumber(DateTimeToTimeStamp(Date).Date, Year, Month, Day);
}

void DecodeTime(TDateTime Time, int32_t& Hour, int32_t& Min, int32_t& Sec, int32_t& MSec) {
  int32_t ms = DateTimeToTimeStamp(Time).Time;
  MSec = ms % 1000;
  ms /= 1000;
  Sec = ms % 60;
  ms /= 60;
  Min = ms % 60;
  Hour = ms / 60;
}

TTimeStamp DateTimeToTimeStamp(TDateTime Value) {
  if (!std::isfinite(Value) || Value <= MinDateTime - 1.0 || Value >= MaxDayNumber - DateDelta + 1.0)
    invalidDateTime(Value);
  // The integral part counts days towards zero; the fraction is the time forward from midnight
  // whatever the sign, so a time rounded up to midnight moves to the next calendar day.
  double Days = std::trunc(Value);
  int64_t ms = std::llround(std::fabs(Value - Days) * MSecsPerDay);
  if (ms >= MSecsPerDay) {
    ms -= MSecsPerDay;
    Days += 1;
  }
  TTimeStamp Stamp;
  Stamp.Date = static_cast<int32_t>(Days) + DateDelta;
  Stamp.Time = static_cast<int32_t>(ms);
  if (Stamp.Date < 1 || Stamp.Date > MaxDayNumber) invalidDateTime(Value);
  return Stamp;
}

TDateTime TimeStampToDateTime(const TTimeStamp& Stamp) {
  if (Stamp.Time < 0 || Stamp.Time >= MSecsPerDay || Stamp.Date < 1 || Stamp.Date > MaxDayNumber)
    throw EConvertError(FormatMsg(SInvalidTimeStamp, {IntToStr(Stamp.Time), IntToStr(Stamp.Date)}));
  const double Days = Stamp.Date - DateDelta;
  const double Fraction = Stamp.Time / static_cast<double>(MSecsPerDay);
  return Days >= 0 ? Days + Fraction : Days - Fraction;
}

double TimeStampToMSecs(const TTimeStamp& Stamp) {
  return static_cast<double>(Stamp.Date) * MSecsPerDay + Stamp.Time;
}

TTimeStamp MSecsToTimeStamp(double MSecs) {
  if (!std::isfinite(MSecs) || MSecs < 0 || MSecs >= (static_cast<double>(MaxDayNumber) + 1) * MSecsPerDay)
    invalidDateTime(MSecs);
  const int64_t ms = std::llround(MSecs);
  TTimeStamp Stamp;
  Stamp.Date = static_cast<int32_t>(ms / MSecsPerDay);
  Stamp.Time = static_cast<int32_t>(ms % MSecsPerDay);
  if (Stamp.Date > MaxDayNumber) invalidDateTime(MSecs);
  return Stamp;
}

std::string DateToStr(TDateTime Value) {
  int32_t y = 0, m = 0, d = 0;
  DecodeDate(Value, y, m, d);
  const char s = FormatSettings().DateSeparator;
  switch (FormatSettings().DateOrder) {
    case doMDY: return twoDigits(m) + s + twoDigits(d) + s + fourDigits(y);
    case doYMD: return fourDigits(y) + s + twoDigits(m) + s + twoDigits(d);
    case doDMY:
    default: return twoDigits(d) + s + twoDigits(m) + s + fourDigits(y);
  }
}

std::string TimeToStr(TDateTime Value) {
  int32_t h = 0, n = 0, s = 0, ms = 0;
  DecodeTime(Value, h, n, s, ms);
  const char t = FormatSettings().TimeSeparator;
  return twoDigits(h) + t + twoDigits(n) + t + twoDigits(s);
}

std::string DateTimeToStr(TDateTime Value) {
  std::string Text = DateToStr(Value);
  if (DateTimeToTimeStamp(Value).Time != 0) Text += ' ' + TimeToStr(Value);
  return Text;
}

bool TryStrToDate(std::string_view Text, TDateTime& Value) {
  std::vector<std::string_view> Parts;
  if (!splitNumbers(Trim(Text), FormatSettings().DateSeparator, 4, Parts) || Parts.size() != 3) return false;
  size_t yi = 2, mi = 1, di = 0;
  switch (FormatSettings().DateOrder) {
    case doMDY: yi = 2, mi = 0, di = 1; break;
    case doYMD: yi = 0, mi = 1, di = 2; break;
    case doDMY:
    default: break;
  }
  int32_t Year = number(Parts[yi]);
  if (Parts[yi].size() <= 2) Year += Year < 50 ? 2000 : 1900;
  if (Parts[mi].size() > 2 || Parts[di].size() > 2) return false;
  return TryEncodeDate(Year, number(Parts[mi]), number(Parts[di]), Value);
}

bool TryStrToTime(std::string_view Text, TDateTime& Value) {
  std::string_view t = Trim(Text);
  int32_t MSec = 0;
  const size_t Dot = t.find(FormatSettings().DecimalSeparator);
  if (Dot != std::string_view::npos) {
    const std::string_view Fraction = t.substr(Dot + 1);
    if (Fraction.empty() || Fraction.size() > 3) return false;
    for (char c : Fraction)
      if (c < '0' || c > '9') return false;
    MSec = number(Fraction);
    for (size_t i = Fraction.size(); i < 3; ++i) MSec *= 10;
    t = t.substr(0, Dot);
  }
  std::vector<std::string_view> Parts;
  if (!splitNumbers(t, FormatSettings().TimeSeparator, 2, Parts) || Parts.size() < 2 || Parts.size() > 3) return false;
  if (Dot != std::string_view::npos && Parts.size() != 3) return false;
  const int32_t Sec = Parts.size() == 3 ? number(Parts[2]) : 0;
  return TryEncodeTime(number(Parts[0]), number(Parts[1]), Sec, MSec, Value);
}

bool TryStrToDateTime(std::string_view Text, TDateTime& Value) {
  const std::string_view t = Trim(Text);
  const size_t Blank = t.find(' ');
  if (Blank == std::string_view::npos) {
    if (t.find(FormatSettings().DateSeparator) == std::string_view::npos) return TryStrToTime(t, Value);
    return TryStrToDate(t, Value);
  }
  TDateTime Date = 0, Time = 0;
  if (!TryStrToDate(t.substr(0, Blank), Date) || !TryStrToTime(t.substr(Blank + 1), Time)) return false;
  Value = Date >= 0 ? Date + Time : Date - Time;
  return true;
}

TDateTime StrToDate(std::string_view Text) {
  TDateTime v = 0;
  if (!TryStrToDate(Text, v)) throw EConvertError(FormatMsg(SInvalidDate, {Text}));
  return v;
}

TDateTime StrToTime(std::string_view Text) {
  TDateTime v = 0;
  if (!TryStrToTime(Text, v)) throw EConvertError(FormatMsg(SInvalidTime, {Text}));
  return v;
}

TDateTime StrToDateTime(std::string_view Text) {
  TDateTime v = 0;
  if (!TryStrToDateTime(Text, v)) throw EConvertError(FormatMsg(SInvalidDateTime, {Text}));
  return v;
}

}  // namespace tesvar::toolkit
