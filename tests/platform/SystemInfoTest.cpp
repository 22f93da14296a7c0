#include "platform/IFileSystem.h"
#include "platform/SystemInfo.h"

#include <gtest/gtest.h>

#include <thread>

using namespace tesvar::platform;

TEST(SystemInfo, OverridesNestAndRestore) {
  const uint64_t physical = AvailablePhysicalMemory();
  EXPECT_GT(physical, 0u);
  EXPECT_GT(FreeHeapBytes(), 0u);
  {
    ScopedMemoryInfo outer(1000, 2000);
    EXPECT_EQ(AvailablePhysicalMemory(), 1000u);
    EXPECT_EQ(FreeHeapBytes(), 2000u);
    {
      ScopedMemoryInfo inner(0, 5);  // 0 leaves the physical figure alone
      EXPECT_EQ(AvailablePhysicalMemory(), 1000u);
      EXPECT_EQ(FreeHeapBytes(), 5u);
    }
    EXPECT_EQ(FreeHeapBytes(), 2000u);
  }
  EXPECT_NE(AvailablePhysicalMemory(), 1000u);
}

TEST(LastErrorText, IsKeptPerThread) {
  SetLastErrorText("main thread");
  std::string seenByOther = "unset";
  std::thread other([&] {
    seenByOther = LastErrorText();
    SetLastErrorText("other thread");
  });
  other.join();
  EXPECT_EQ(seenByOther, "");
  EXPECT_EQ(LastErrorText(), "main thread");
}
