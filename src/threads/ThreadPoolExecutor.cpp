#include "threads/ThreadPoolExecutorInternal.h"

#include "threads/ContinuationInternal.h"
#include "threads/WorkerPoolInternal.h"

#include <basalt/utility/SmallBlockAllocator.h>

#include <boost/make_shared.hpp>

#include <condition_variable>
#include <mutex>
#include <utility>

namespace basalt {
namespace threads {
namespace internal {

using utility::SmallBlockAllocator::Allocated;

// Shared by an executor and its pending delayed calls: the cancellation flag
// (0 live, 1 destroyed) and the number of delayed calls running, so that
// destruction can wait for them.
class DelayedCallGuard {
public:
  bool TryEnter() {
    if (mCancelled.load(std::memory_order_acquire) != 0) return false;
    std::lock_guard<std::mutex> lock(mLock);
    if (mCancelled.load(std::memory_order_relaxed) != 0) return false;
    ++mRunning;
    return true;
  }

  void Leave() {
    std::lock_guard<std::mutex> lock(mLock);
    --mRunning;
    if (mCancelled.load(std::memory_order_relaxed) != 0) mLeft.notify_all();
  }

  // inRunningOnThisThread: the caller is itself one of the running calls,
  // which must not wait for itself.
  void CancelAndWait(bool inRunningOnThisThread) {
    std::unique_lock<std::mutex> lock(mLock);
    mCancelled.store(1, std::memory_order_release);
    const int own = inRunningOnThisThread ? 1 : 0;
    mLeft.wait(lock, [this, own] { return mRunning <= own; });
  }

private:
  std::atomic<std::int64_t> mCancelled{0};
  std::mutex mLock;
  std::condition_variable mLeft;
  int mRunning = 0;
};

namespace {

// The guard of the delayed call running on this thread, if any.
thread_local const DelayedCallGuard* tRunningGuard = nullptr;

struct ImmediateCall final : PoolWork, Allocated<ImmediateCall> {
  ImmediateCall(const boost::function<void()>& inFunction, bool inLongRunning)
      : PoolWork(&Run, inLongRunning), mFunction(inFunction) {}

  static void Run(PoolWork* inWork) {
    auto* self = static_cast<ImmediateCall*>(inWork);
    try {
      self->mFunction();
    } catch (...) {
      // Nobody to tell: the poster is gone.
    }
    delete self;
  }

  boost::function<void()> mFunction;
};

struct DelayedCall final : PoolWork, Allocated<DelayedCall> {
  DelayedCall(const boost::function<void()>& inFunction, bool inLongRunning,
              const boost::shared_ptr<DelayedCallGuard>& inGuard)
      : PoolWork(&Run, inLongRunning), mFunction(inFunction), mGuard(inGuard) {}

  static void Run(PoolWork* inWork) {
    auto* self = static_cast<DelayedCall*>(inWork);
    const boost::shared_ptr<DelayedCallGuard> guard = std::move(self->mGuard);
    if (!guard->TryEnter()) {
      delete self;
      return;
    }
    // The function's captures are released inside the guarded span too: a
    // destructor waiting for running calls waits for them as well.
    const DelayedCallGuard* outer = tRunningGuard;
    tRunningGuard = guard.get();
    try {
      self->mFunction();
    } catch (...) {
    }
    delete self;
    tRunningGuard = outer;
    guard->Leave();
  }

  boost::function<void()> mFunction;
  boost::shared_ptr<DelayedCallGuard> mGuard;
};

}  // namespace

ThreadPoolExecutor::ThreadPoolExecutor(unsigned int inThreadCount, bool inLongRunning, bool inInTimerThread)
    : mGuard(boost::make_shared<DelayedCallGuard>()),
      mThreadCount(inThreadCount),
      mFlags((inLongRunning ? kFlag_LongRunning : 0u) | (inInTimerThread ? kFlag_InTimerThread : 0u)) {}

ThreadPoolExecutor::~ThreadPoolExecutor() {
  mGuard->CancelAndWait(tRunningGuard == mGuard.get());
  utility::SmallBlockAllocator::vector<PoolWork*> pending;
  try {
    CancelPoolTimers(mGuard.get(), pending);
  } catch (...) {
    // Without memory to take them back, the timers fire later and find the
    // flag set.
  }
  for (PoolWork* work : pending) delete static_cast<DelayedCall*>(work);
}

bool ThreadPoolExecutor::CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs) {
  const bool longRunning = (mFlags & kFlag_LongRunning) != 0;
  if (inDelayMs == 0) {
    QueuePoolWork(new ImmediateCall(inFunction, longRunning), TakeContinuationMark(this));
    return true;
  }
  auto* call = new DelayedCall(inFunction, longRunning, mGuard);
  try {
    SchedulePoolTimer(call, TimerClock::now() + std::chrono::milliseconds(inDelayMs), mGuard.get(),
                      (mFlags & kFlag_InTimerThread) != 0);
  } catch (...) {
    delete call;
    throw;
  }
  return true;
}

int ThreadPoolExecutor::ThreadCount() const { return static_cast<int>(mThreadCount); }

void ThreadPoolExecutor::Terminate() {}

bool ThreadPoolExecutor::IsTerminated() { return false; }

}  // namespace internal
}  // namespace threads
}  // namespace basalt
