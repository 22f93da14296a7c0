#include "platform/IClock.h"

#include <chrono>
#include <ctime>

namespace tesvar::platform {

namespace {

constexpr int64_t kSecondsPerDay = 86'400;
// Days from 1601-01-01 (FILETIME zero) to 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134'774;

int64_t floorDiv(int64_t a, int64_t b) {
  const int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

struct CivilDate {
  int64_t year;
  int month;  // 1..12
  int day;    // 1..31
};

// Proleptic Gregorian date of a day count from 1970-01-01 (the usual era-of-400-years method).
CivilDate civilFromDays(int64_t days) {
  days += 719'468;  // shift the epoch to 0000-03-01
  const int64_t era = floorDiv(days, 146'097);
  const int64_t dayOfEra = days - era * 146'097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;  // month from March = 0
  const int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// Day count from 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = floorDiv(year, 400);
  const int64_t yearOfEra = year - era * 400;
  const int64_t mp = month > 2 ? month - 3 : month + 9;
  const int64_t dayOfYear = (153 * mp + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146'097 + dayOfEra - 719'468;
}

int daysInMonth(int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

class SystemClockImpl final : public IClock {
public:
  uint32_t TickCount() override {
#if defined(CLOCK_MONOTONIC_COARSE)
    // The system tick's clock: a few milliseconds of resolution, as a tick count has, at a fifth
    // of the precise clock's cost (the storage layer stamps every logged record).
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);  // cannot fail for a clock the system defines
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1'000'000u);
#else
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
#endif
  }

  int64_t NowUtc() override {
    const auto sinceUnixEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return kUnixEpochFileTime + sinceUnixEpoch.count() / 100;
  }

  int32_t UtcOffsetSeconds(int64_t utcFileTime) override {
    const auto t =
        static_cast<std::time_t>(floorDiv(utcFileTime - kUnixEpochFileTime, kFileTimeTicksPerSecond));
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &t) != 0) return 0;
    return static_cast<int32_t>(_mkgmtime(&local) - t);
#else
    if (localtime_r(&t, &local) == nullptr) return 0;
    return static_cast<int32_t>(local.tm_gmtoff);
#endif
  }
};

IClock* gCurrentClock = nullptr;

}  // namespace

IClock& SystemClock() {
  static SystemClockImpl clock;
  return clock;
}

IClock& Clock() { return gCurrentClock ? *gCurrentClock : SystemClock(); }

ScopedClock::ScopedClock(IClock& clock) : FPrevious(gCurrentClock) { gCurrentClock = &clock; }

ScopedClock::~ScopedClock() { gCurrentClock = FPrevious; }

uint32_t SettableClock::TickCount() {
  ++FTickCalls;
  const uint32_t tick = FTick;
  FTick += FAutoAdvance;
  return tick;
}

int64_t NowDosResolutionUtc() {
  IClock& clock = Clock();
  const int64_t now = clock.NowUtc();
  const int64_t offset = int64_t{clock.UtcOffsetSeconds(now)} * kFileTimeTicksPerSecond;
  int64_t local = now + offset;
  local = floorDiv(local, 2 * kFileTimeTicksPerSecond) * 2 * kFileTimeTicksPerSecond;
  return local - offset;
}

uint32_t FileTimeToDosDateTime(int64_t utcFileTime) {
  const int64_t offset = int64_t{Clock().UtcOffsetSeconds(utcFileTime)} * kFileTimeTicksPerSecond;
  const int64_t seconds = floorDiv(utcFileTime + offset, kFileTimeTicksPerSecond);
  const int64_t days = floorDiv(seconds, kSecondsPerDay);
  const int64_t secondOfDay = seconds - days * kSecondsPerDay;
  const CivilDate date = civilFromDays(days - kDaysFrom1601To1970);
  if (date.year < 1980 || date.year > 2107) return 0;
  const auto dosDate = static_cast<uint32_t>(((date.year - 1980) << 9) | (date.month << 5) | date.day);
  const auto hour = static_cast<uint32_t>(secondOfDay / 3600);
  const auto minute = static_cast<uint32_t>(secondOfDay % 3600 / 60);
  const auto second = static_cast<uint32_t>(secondOfDay % 60);
  const uint32_t dosTime = (hour << 11) | (minute << 5) | (second / 2);
  return (dosDate << 16) | dosTime;
}

int64_t DosDateTimeToFileTime(uint32_t dosDateTime) {
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  const int64_t year = 1980 + (date >> 9);
  const int month = static_cast<int>((date >> 5) & 15);
  const int day = static_cast<int>(date & 31);
  const int hour = static_cast<int>(time >> 11);
  const int minute = static_cast<int>((time >> 5) & 63);
  const int second = static_cast<int>((time & 31) * 2);
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
      second > 59)
    return -1;
  const int64_t localSeconds = (daysFromCivil(year, month, day) + kDaysFrom1601To1970) * kSecondsPerDay +
                               hour * 3600 + minute * 60 + second;
  const int64_t local = localSeconds * kFileTimeTicksPerSecond;
  // The offset belongs to the UTC instant, which is not known yet: take the offset at the local
  // time read as UTC, then correct it once with the offset at the instant this gives.
  IClock& clock = Clock();
  const int64_t guess = local - int64_t{clock.UtcOffsetSeconds(local)} * kFileTimeTicksPerSecond;
  return local - int64_t{clock.UtcOffsetSeconds(guess)} * kFileTimeTicksPerSecond;
}

}  // namespace tesvar::platform
