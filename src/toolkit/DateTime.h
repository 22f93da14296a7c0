#pragma once
// Dates and times.
//
// TDateTime is the framework's point in time: a double whose integral part counts days since
// 30 December 1899 and whose fractional part is the time of day (0.25 = 6:00). Before that day the
// integral part is negative and the fraction still counts forward from midnight: -1.25 is
// 29 December 1899, 6:00. Valid values lie from 1 January 0001 to 31 December 9999.
//
// Tables store dates as day numbers: days since 1 January 0001, that day being 1 (so 30 December
// 1899 is day DateDelta). TTimeStamp pairs a day number with the milliseconds since midnight; its
// millisecond form (TimeStampToMSecs) is day number × MSecsPerDay + milliseconds, the stored form
// of a date-time. The calendar is the proleptic Gregorian one.
//
// Conversions from TDateTime round to the nearest millisecond. Errors raise EConvertError with the
// framework's messages.

#include <cstdint>
#include <string>
#include <string_view>

namespace tesvar::toolkit {

using TDateTime = double;

struct TTimeStamp {
  int32_t Time = 0;  // milliseconds since midnight, 0 .. MSecsPerDay - 1
  int32_t Date = 0;  // day number, 1 = 1 January 0001
  bool operator==(const TTimeStamp&) const = default;
};

// Day number of 30 December 1899, the day TDateTime 0 falls on.
inline constexpr int32_t DateDelta = 693594;
inline constexpr int32_t MSecsPerDay = 86400000;
// Day number of 31 December 9999, the last valid day.
inline constexpr int32_t MaxDayNumber = 3652059;
inline constexpr TDateTime MinDateTime = -693593.0;         // 1 January 0001, 0:00
inline constexpr TDateTime MaxDateTime = 2958465.99999999;  // 31 December 9999, 23:59:59.999

bool IsLeapYear(int32_t Year);
// Days of Month (1..12) in Year; 0 for a month outside 1..12.
int32_t DaysInMonth(int32_t Year, int32_t Month);

// Day number of a calendar date; the date must be valid (Year 1..9999).
int32_t DayNumberOf(int32_t Year, int32_t Month, int32_t Day);
// Calendar date of a day number >= 1.
void DecodeDayNumber(int32_t DayNumber, int32_t& Year, int32_t& Month, int32_t& Day);

// Date with time 0:00. The Try form returns false for a day that does not exist or a year outside
// 1..9999; EncodeDate raises "Invalid argument to date encode".
[[nodiscard]] bool TryEncodeDate(int32_t Year, int32_t Month, int32_t Day, TDateTime& Date);
TDateTime EncodeDate(int32_t Year, int32_t Month, int32_t Day);
// Time of day (a fraction of a day). Hour 0..23, Min and Sec 0..59, MSec 0..999; EncodeTime
// raises "Invalid argument to time encode".
[[nodiscard]] bool TryEncodeTime(int32_t Hour, int32_t Min, int32_t Sec, int32_t MSec, TDateTime& Time);
TDateTime EncodeTime(int32_t Hour, int32_t Min, int32_t Sec, int32_t MSec);
// Parts of a point in time; raise as DateTimeToTimeStamp.
void DecodeDate(TDateTime Date, int32_t& Year, int32_t& Month, int32_t& Day);
void DecodeTime(TDateTime Time, int32_t& Hour, int32_t& Min, int32_t& Sec, int32_t& MSec);

// Day number and milliseconds of a point in time. Raises "'<value>' is not a valid date and time"
// for a value that is not finite or lies outside MinDateTime .. MaxDateTime.
TTimeStamp DateTimeToTimeStamp(TDateTime Value);
// Raises "'<time>.<date>' is not a valid timestamp" unless 0 <= Time < MSecsPerDay and
// 1 <= Date <= MaxDayNumber.
TDateTime TimeStampToDateTime(const TTimeStamp& Stamp);
// Day number × MSecsPerDay + Time.
double TimeStampToMSecs(const TTimeStamp& Stamp);
// The inverse, rounded to whole milliseconds; raises "'<value>' is not a valid date and time" for a
// value that is not finite, negative or beyond the last valid day.
TTimeStamp MSecsToTimeStamp(double MSecs);

// Text in the process-wide format (FormatSettings.h): dates as two-digit day and month and
// four-digit year in the format's order ("31.12.2024"), times as "23:59:59" (milliseconds are not
// written). DateTimeToStr writes the time after a blank only when it is not midnight.
std::string DateToStr(TDateTime Value);
std::string TimeToStr(TDateTime Value);
std::string DateTimeToStr(TDateTime Value);

// Reading text of the forms written above; blanks around it are ignored. A date has three parts
// in the format's order; a year of one or two digits means 2000-2049 for 0-49, 1950-1999 for
// 50-99. A time is hours and minutes, optionally seconds, optionally a decimal separator and up
// to three digits of a second's fraction. StrToDateTime takes a date, a time, or a date and a
// time separated by blanks. Raise "'<text>' is not a valid date" / "... time" / "... date and
// time".
[[nodiscard]] bool TryStrToDate(std::string_view Text, TDateTime& Value);
[[nodiscard]] bool TryStrToTime(std::string_view Text, TDateTime& Value);
[[nodiscard]] bool TryStrToDateTime(std::string_view Text, TDateTime& Value);
TDateTime StrToDate(std::string_view Text);
TDateTime StrToTime(std::string_view Text);
TDateTime StrToDateTime(std::string_view Text);

}  // namespace tesvar::toolkit
