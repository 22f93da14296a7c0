#include "platform/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace tesvar::platform;

namespace {

using Clock = std::chrono::steady_clock;

// Polls Done for up to five seconds (a loaded machine may keep a thread off the processor for a
// while); whether it came true.
template <typename Condition>
bool within5s(const Condition& Done) {
  const auto Until = Clock::now() + std::chrono::seconds(5);
  while (!Done()) {
    if (Clock::now() >= Until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return true;
}

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

// The thread runs a job on its own, without anybody waiting: at once after another job, and
// after it went to sleep for want of one.
TEST(WorkerThread, TheThreadRunsJobsOnItsOwnAwakeOrAsleep) {
  TWorkerThread worker;
  std::atomic<int> done{0};
  worker.Start([&] { done = 1; });
  ASSERT_TRUE(within5s([&] { return !worker.Busy(); }));
  EXPECT_EQ(done, 1);
  worker.Start([&] { done = 2; });
  ASSERT_TRUE(within5s([&] { return !worker.Busy(); }));
  EXPECT_EQ(done, 2);
  // Longer than the thread keeps looking for a job before it sleeps.
  std::this_thread::sleep_for(std::chrono::microseconds(20 * TWorkerThread::kIdleLookMicroseconds));
  worker.Start([&] { done = 3; });
  ASSERT_TRUE(within5s([&] { return !worker.Busy(); }));
  EXPECT_EQ(done, 3);
}

// A job longer than Wait looks for its end: Wait sleeps and is woken when it ends, and the
// destructor waits for such a job too.
TEST(WorkerThread, WaitAndTheDestructorOutlastALongJob) {
  const auto longJob = [](std::atomic<bool>& started, std::atomic<bool>& ended) {
    return [&] {
      started = true;
      std::this_thread::sleep_for(std::chrono::microseconds(50 * TWorkerThread::kWaitLookMicroseconds));
      ended = true;
    };
  };
  {
    TWorkerThread worker;
    for (int i = 0; i < 3; ++i) {
      std::atomic<bool> started{false};
      std::atomic<bool> ended{false};
      worker.Start(longJob(started, ended));
      // The thread took it up (otherwise Wait would run it itself, waking nobody).
      ASSERT_TRUE(within5s([&] { return started.load(); }));
      worker.Wait();
      EXPECT_TRUE(ended);
      EXPECT_FALSE(worker.Busy());
    }
  }
  std::atomic<bool> started{false};
  std::atomic<bool> ended{false};
  {
    TWorkerThread worker;
    worker.Start(longJob(started, ended));
    ASSERT_TRUE(within5s([&] { return started.load(); }));
  }
  EXPECT_TRUE(ended);
}

// A job that raises still ends: nobody waits for it forever, and the next job runs.
TEST(WorkerThread, AJobThatRaisesStillEnds) {
  TWorkerThread worker;
  for (int i = 0; i < 50; ++i) {
    worker.Start([] { throw std::runtime_error("job"); });
    if (i % 2 == 0) worker.Wait();  // sometimes run by Wait itself
  }
  bool ran = false;
  worker.Start([&] { ran = true; });
  worker.Wait();
  EXPECT_TRUE(ran);
  EXPECT_FALSE(worker.Busy());
}

// Without a job there is nothing to wait for, and no thread to end.
TEST(WorkerThread, WaitWithoutAJobReturns) {
  TWorkerThread worker;
  EXPECT_FALSE(worker.Busy());
  worker.Wait();
  EXPECT_FALSE(worker.Busy());
}

}  // namespace
