#include "platform/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace tesvar::platform;

namespace {

// Jobs in quick succession run one at a time and in order, and what each wrote is seen once
// Wait returns, whether the thread took it up or Wait ran it (which of the two varies with the
// timing; some runs in the loop meet both).
TEST(WorkerThread, JobsRunInTurnAndTheirResultsAreSeenAfterWait) {
  TWorkerThread worker;
  std::vector<int> seen;
  std::atomic<int> running{0};
  bool overlapped = false;
  for (int i = 0; i < 2000; ++i) {
    worker.Start([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      seen.push_back(i);
      running.fetch_sub(1);
    });
    // Now and then the owner waits at once (the thread may not have taken the job up yet),
    // otherwise the next Start waits.
    if (i % 3 == 0) {
      worker.Wait();
      EXPECT_FALSE(worker.Busy());
      ASSERT_EQ(seen.size(), static_cast<size_t>(i) + 1);
    }
  }
  worker.Wait();
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), 2000u);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i);
}

// A job handed over after the thread went to sleep is still run; the destructor waits for a job
// in hand before the thread ends.
TEST(WorkerThread, SleepingThreadWakesAndDestructorWaitsForTheJob) {
  bool first = false;
  bool last = false;
  {
    TWorkerThread worker;
    worker.Start([&] { first = true; });
    worker.Wait();
    EXPECT_TRUE(first);
    // Longer than the thread keeps looking for a job before it sleeps.
    std::this_thread::sleep_for(std::chrono::microseconds(20 * TWorkerThread::kIdleLookMicroseconds));
    worker.Start([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      last = true;
    });
  }
  EXPECT_TRUE(last);
}

// Without a job there is nothing to wait for, and no thread to end.
TEST(WorkerThread, WaitWithoutAJobReturns) {
  TWorkerThread worker;
  EXPECT_FALSE(worker.Busy());
  worker.Wait();
  EXPECT_FALSE(worker.Busy());
}

}  // namespace
