#pragma once
// One thread that runs its owner's jobs one at a time, while the owner goes on. The thread is
// started with the first job and ended by the destructor, which waits for the job in hand.
//
// Jobs are short and come in quick succession (read-ahead transfers): a thread that finished one
// keeps looking for the next for a little while before it sleeps, and Wait looks for the end of
// the job for a little while before it sleeps, so that handing over a job and seeing it end
// rarely costs a system call. And a job the thread has not taken up yet (it may not have been
// given a processor) is not waited for: Wait runs it itself.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tesvar::platform {

class TWorkerThread {
public:
  TWorkerThread() = default;
  // Waits for the job in hand, then ends the thread.
  ~TWorkerThread();
  TWorkerThread(const TWorkerThread&) = delete;
  TWorkerThread& operator=(const TWorkerThread&) = delete;

  // Hands Job to the thread (first waiting for the job before it to end). Job should catch what
  // it raises: it runs outside any caller, and an exception that leaves it is dropped. What Job
  // writes is seen by the owner once Wait returns. When no thread can be started, the job waits
  // for Wait (or the next Start) to run it.
  void Start(std::function<void()> Job);
  // Returns once no job is in hand: runs the job itself when the thread has not taken it up yet,
  // otherwise waits for its end.
  void Wait();
  // Whether a job was handed over and has not ended.
  bool Busy() const { return FState.load(std::memory_order_acquire) != kIdle; }

  // How long the thread looks for a next job, and Wait for the end of one, before sleeping.
  static constexpr int kIdleLookMicroseconds = 200;
  static constexpr int kWaitLookMicroseconds = 200;

private:
  void run();

  std::mutex FLock;
  std::condition_variable FChanged;
  // Runs the job and ends it (FState from kRunning to kIdle).
  void runJob();

  enum : int { kIdle, kPosted, kRunning };
  // The job in hand: set by the owner while FState is kIdle, run and cleared by whoever moved
  // FState from kPosted to kRunning.
  std::function<void()> FJob;
  std::atomic<int> FState{kIdle};
  std::atomic<bool> FStop{false};
  // Who sleeps on FChanged: the thread (for a job) or the owner (for the end of one).
  std::atomic<bool> FThreadSleeps{false};
  std::atomic<bool> FOwnerSleeps{false};
  std::thread FThread;
};

}  // namespace tesvar::platform
