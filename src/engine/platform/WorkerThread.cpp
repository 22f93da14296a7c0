#include "platform/WorkerThread.h"

#include <chrono>
#include <system_error>
#include <utility>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#define TESVAR_PAUSE() _mm_pause()
#else
#define TESVAR_PAUSE() std::this_thread::yield()
#endif

namespace tesvar::platform {

namespace {

// Looks for Done to hold for about Microseconds; whether it did.
template <typename Condition>
bool lookFor(const Condition& Done, int Microseconds) {
  const auto Until = std::chrono::steady_clock::now() + std::chrono::microseconds(Microseconds);
  for (;;) {
    for (int I = 0; I < 64; ++I) {
      if (Done()) return true;
      TESVAR_PAUSE();
    }
    if (std::chrono::steady_clock::now() >= Until) return Done();
  }
}

}  // namespace

// The handovers pair a store of the state with a load of the other side's sleep flag
// (sequentially consistent): a side that is about to sleep either sees the other's store or is
// seen sleeping, and is then woken under the lock, which it holds from its last look until it
// sleeps.

TWorkerThread::~TWorkerThread() {
  Wait();
  if (!FThread.joinable()) return;
  FStop.store(true);
  {
    std::lock_guard<std::mutex> Lock(FLock);
  }
  FChanged.notify_all();
  FThread.join();
}

void TWorkerThread::Start(std::function<void()> Job) {
  Wait();
  FJob = std::move(Job);
  FState.store(kPosted);
  if (!FThread.joinable()) {
    try {
      FThread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // No thread to be had (a limit of the system): the owner runs the job when it waits.
    }
    return;
  }
  if (FThreadSleeps.load()) {
    std::lock_guard<std::mutex> Lock(FLock);
    FChanged.notify_all();
  }
}

void TWorkerThread::runJob() {
  try {
    FJob();
  } catch (...) {
    // Dropped (see Start): the job still ends, so that nobody waits for it forever.
  }
  FJob = nullptr;
  FState.store(kIdle);
}

void TWorkerThread::Wait() {
  int Expected = kPosted;
  if (FState.compare_exchange_strong(Expected, kRunning)) {
    runJob();
    return;
  }
  const auto Ended = [this] { return FState.load(std::memory_order_acquire) == kIdle; };
  if (Ended() || lookFor(Ended, kWaitLookMicroseconds)) return;
  std::unique_lock<std::mutex> Lock(FLock);
  FOwnerSleeps.store(true);
  FChanged.wait(Lock, [this] { return FState.load() == kIdle; });
  FOwnerSleeps.store(false);
}

void TWorkerThread::run() {
  const auto Wanted = [this] { return FState.load(std::memory_order_acquire) == kPosted || FStop.load(); };
  for (;;) {
    if (!lookFor(Wanted, kIdleLookMicroseconds)) {
      std::unique_lock<std::mutex> Lock(FLock);
      FThreadSleeps.store(true);
      FChanged.wait(Lock, [this] { return FState.load() == kPosted || FStop.load(); });
      FThreadSleeps.store(false);
    }
    if (FStop.load()) return;
    int Expected = kPosted;
    // The owner may have taken the job up itself meanwhile.
    if (!FState.compare_exchange_strong(Expected, kRunning)) continue;
    runJob();
    if (FOwnerSleeps.load()) {
      std::lock_guard<std::mutex> Lock(FLock);
      FChanged.notify_all();
    }
  }
}

}  // namespace tesvar::platform
