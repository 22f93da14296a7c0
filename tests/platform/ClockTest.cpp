#include "platform/IClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

using namespace tesvar::platform;

namespace {

constexpr int64_t kSecond = kFileTimeTicksPerSecond;
constexpr int64_t kHour = 3600 * kSecond;

// FILETIME of a UTC calendar time, computed with the standard library's calendar.
int64_t fileTimeOf(int y, unsigned mo, unsigned d, int h, int mi, int s) {
  using namespace std::chrono;
  const sys_days days{year{y} / month{mo} / day{d}};
  const auto secs = duration_cast<seconds>(days.time_since_epoch()).count() + h * 3600 + mi * 60 + s;
  return kUnixEpochFileTime + secs * kSecond;
}

uint32_t dos(int y, int mo, int d, int h, int mi, int s) {
  return (static_cast<uint32_t>(((y - 1980) << 9) | (mo << 5) | d) << 16) |
         static_cast<uint32_t>((h << 11) | (mi << 5) | (s / 2));
}

// Installs a settable clock with a fixed offset of local time from UTC.
class DosTimeTest : public ::testing::Test {
protected:
  explicit DosTimeTest(int32_t offsetSeconds = 3 * 3600) { FClock.SetUtcOffsetSeconds(offsetSeconds); }
  SettableClock FClock;
  ScopedClock FScope{FClock};
};

}  // namespace

TEST(SettableClock, AutoAdvanceMovesTheTickAfterAnswering) {
  SettableClock clock;
  clock.SetTick(0xFFFFFFF0u);
  EXPECT_EQ(clock.TickCount(), 0xFFFFFFF0u);
  EXPECT_EQ(clock.TickCount(), 0xFFFFFFF0u);  // no auto-advance yet
  clock.SetAutoAdvance(10);
  EXPECT_EQ(clock.TickCount(), 0xFFFFFFF0u);
  EXPECT_EQ(clock.TickCount(), 0xFFFFFFFAu);
  EXPECT_EQ(clock.TickCount(), 4u);  // wraps at 2^32
  clock.AdvanceTick(100);
  EXPECT_EQ(clock.TickCount(), 114u);
  EXPECT_EQ(clock.TickCalls(), 6u);
}

TEST(SettableClock, ScopedClockInstallsAndRestores) {
  IClock& before = Clock();
  SettableClock outer;
  {
    ScopedClock a(outer);
    EXPECT_EQ(&Clock(), &outer);
    SettableClock inner;
    {
      ScopedClock b(inner);
      EXPECT_EQ(&Clock(), &inner);
    }
    EXPECT_EQ(&Clock(), &outer);
  }
  EXPECT_EQ(&Clock(), &before);
  EXPECT_EQ(&before, &SystemClock());
}

TEST(SystemClock, ReportsPlausibleTimes) {
  IClock& clock = SystemClock();
  EXPECT_GT(clock.NowUtc(), fileTimeOf(2020, 1, 1, 0, 0, 0));
  EXPECT_LT(clock.NowUtc(), fileTimeOf(2200, 1, 1, 0, 0, 0));
  const int32_t offset = clock.UtcOffsetSeconds(clock.NowUtc());
  EXPECT_GE(offset, -14 * 3600);
  EXPECT_LE(offset, 14 * 3600);
  const uint32_t t0 = clock.TickCount();
  const uint32_t t1 = clock.TickCount();
  EXPECT_LT(t1 - t0, 1000u);  // monotonic, modulo 2^32
}

TEST_F(DosTimeTest, ConvertsInLocalTime) {
  struct Case {
    int64_t utc;
    uint32_t expected;
  };
  const Case cases[] = {
      // Local time is UTC + 3 h; odd seconds are cut to the even second below.
      {fileTimeOf(2024, 2, 29, 13, 45, 58), dos(2024, 2, 29, 16, 45, 58)},
      {fileTimeOf(2024, 2, 29, 13, 45, 59) + 9'999'999, dos(2024, 2, 29, 16, 45, 58)},
      {fileTimeOf(2023, 12, 31, 22, 30, 0), dos(2024, 1, 1, 1, 30, 0)},  // crosses the year
      {fileTimeOf(1979, 12, 31, 21, 0, 0), dos(1980, 1, 1, 0, 0, 0)},    // first DOS second
      {fileTimeOf(2107, 12, 31, 20, 59, 59), dos(2107, 12, 31, 23, 59, 58)},
      {fileTimeOf(1979, 12, 31, 20, 59, 59), 0},  // before 1980 locally
      {fileTimeOf(2107, 12, 31, 21, 0, 0), 0},    // 2108 locally
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.utc);
    EXPECT_EQ(FileTimeToDosDateTime(c.utc), c.expected);
  }
}

TEST_F(DosTimeTest, RoundTripsEveryEvenSecondOfTheRange) {
  const auto seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  // Local 1980-01-01 .. 2107-12-31 is UTC 3 h earlier.
  const int64_t first = fileTimeOf(1980, 1, 1, 0, 0, 0) - 3 * kHour;
  const int64_t last = fileTimeOf(2107, 12, 31, 23, 59, 58) - 3 * kHour;
  std::uniform_int_distribution<int64_t> pick(0, (last - first) / (2 * kSecond));
  for (int i = 0; i < 2000; ++i) {
    const int64_t utc = first + pick(rng) * 2 * kSecond;
    const uint32_t packed = FileTimeToDosDateTime(utc);
    ASSERT_NE(packed, 0u) << utc;
    ASSERT_EQ(DosDateTimeToFileTime(packed), utc) << utc;
    // A time within the same two seconds packs the same.
    ASSERT_EQ(FileTimeToDosDateTime(utc + 2 * kSecond - 1), packed) << utc;
  }
}

TEST_F(DosTimeTest, RejectsInvalidDosFields) {
  const uint32_t invalid[] = {
      dos(2024, 0, 1, 0, 0, 0),  dos(2024, 13, 1, 0, 0, 0), dos(2023, 2, 29, 0, 0, 0),
      dos(2024, 4, 31, 0, 0, 0), dos(2024, 1, 0, 0, 0, 0),  dos(2024, 1, 1, 24, 0, 0),
      dos(2024, 1, 1, 0, 60, 0), dos(2024, 1, 1, 0, 0, 60),
  };
  for (const uint32_t value : invalid) EXPECT_EQ(DosDateTimeToFileTime(value), -1) << std::hex << value;
  EXPECT_EQ(DosDateTimeToFileTime(dos(2024, 2, 29, 0, 0, 0)), fileTimeOf(2024, 2, 28, 21, 0, 0));
}

TEST_F(DosTimeTest, NowIsCutToTwoSecondsOfLocalTime) {
  // An odd UTC offset makes local and UTC two-second boundaries differ.
  FClock.SetUtcOffsetSeconds(3 * 3600 + 1);
  FClock.SetNowUtc(fileTimeOf(2024, 5, 17, 10, 20, 30) + 7'654'321);
  // Local 13:20:31.7654321 -> 13:20:30 local -> 10:20:29 UTC.
  EXPECT_EQ(NowDosResolutionUtc(), fileTimeOf(2024, 5, 17, 10, 20, 29));
  FClock.SetUtcOffsetSeconds(0);
  EXPECT_EQ(NowDosResolutionUtc(), fileTimeOf(2024, 5, 17, 10, 20, 30));
}
