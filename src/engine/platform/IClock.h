#pragma once
// Time sources. platform::Clock() is the system clock unless a ScopedClock installs another
// (tests use SettableClock so time rules run without sleeping).

#include <cstdint>

namespace tesvar::platform {

class IClock {
public:
  virtual ~IClock() = default;
  // Milliseconds since an arbitrary start, at the system tick's resolution (a few ms); wraps around
  // at 2^32.
  virtual uint32_t TickCount() = 0;
  // Current time in FILETIME units (100 ns since 1601-01-01 UTC).
  virtual int64_t NowUtc() = 0;
  // Offset of local time from UTC, in seconds, at the given UTC FILETIME.
  virtual int32_t UtcOffsetSeconds(int64_t utcFileTime) = 0;
};

IClock& Clock();
IClock& SystemClock();

class ScopedClock {
public:
  explicit ScopedClock(IClock& clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

private:
  IClock* FPrevious;
};

// A clock the test sets by hand. With an auto-advance step, every TickCount() call moves the
// tick counter forward by that many milliseconds after answering, so busy-wait loops end.
class SettableClock : public IClock {
public:
  uint32_t TickCount() override;
  int64_t NowUtc() override { return FNow; }
  int32_t UtcOffsetSeconds(int64_t) override { return FUtcOffset; }

  void SetTick(uint32_t tick) { FTick = tick; }
  void AdvanceTick(uint32_t ms) { FTick += ms; }
  void SetAutoAdvance(uint32_t msPerCall) { FAutoAdvance = msPerCall; }
  void SetNowUtc(int64_t fileTime) { FNow = fileTime; }
  void SetUtcOffsetSeconds(int32_t seconds) { FUtcOffset = seconds; }
  uint64_t TickCalls() const { return FTickCalls; }

private:
  uint32_t FTick = 0;
  uint32_t FAutoAdvance = 0;
  uint64_t FTickCalls = 0;
  int64_t FNow = 0;
  int32_t FUtcOffset = 0;
};

// Time conversions in FILETIME units.
inline constexpr int64_t kFileTimeTicksPerSecond = 10'000'000;
// FILETIME of 1970-01-01 00:00:00 UTC.
inline constexpr int64_t kUnixEpochFileTime = 116'444'736'000'000'000;

// The current local time cut to the two-second resolution of a DOS date and time, as a UTC
// FILETIME (the time stamp the container gives its directory items).
int64_t NowDosResolutionUtc();
// DOS date (high word) and time (low word) of a UTC FILETIME, in local time. Seconds are cut
// to even numbers; 0 when the local year is outside the DOS range 1980..2107.
uint32_t FileTimeToDosDateTime(int64_t utcFileTime);
// The UTC FILETIME of a DOS date and time in local time; -1 when a date or time field is out of
// range (month 0, 30 February, hour 24 ...).
int64_t DosDateTimeToFileTime(uint32_t dosDateTime);

}  // namespace tesvar::platform
