// The queue shared by a work queue's executor object and its workers.
//
// Immediate records go to a lock-free FIFO (multi-producer, the workers take
// turns consuming). Delayed records wait in a min-heap keyed by the time they
// may be released; a delay below 7 ms counts as 7 ms, and a record is
// released to the FIFO once it is due within 6 ms, but never sooner than 7 ms
// after it was posted. Released records join the FIFO behind what is already
// there, earliest first.
//
// Waiting workers: at most one is the timer waiter, which waits until the
// earliest delayed record may be released; the others wait without a time
// limit. The state word lets producers see without a lock whether anyone
// waits, and coalesces timer wake-ups:
//   bits 0..31  workers in the untimed wait,
//   bit 32      a timer waiter is waiting,
//   bit 33      a timer wake-up is on its way.
// Waiters change the counts only under the consumer lock, so a producer that
// saw a waiter and takes that lock finds it waiting (or about to look again).
// A worker that leaves with work wakes one untimed waiter when more work is
// visible or when delayed records are left without a timer waiter, so an
// idle worker always waits for the earliest delayed record.
#ifndef BASALT_THREADS_THREADSAFEDELAYQUEUEINTERNAL_H
#define BASALT_THREADS_THREADSAFEDELAYQUEUEINTERNAL_H

#include "threads/IntrusiveFifoInternal.h"

#include <basalt/utility/SmallBlockAllocator.h>

#include <boost/function.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace basalt {
namespace threads {
namespace internal {

struct WorkRecord final : FifoNode, utility::SmallBlockAllocator::Allocated<WorkRecord> {
  enum Kind { kKind_Function, kKind_EndWorker };

  WorkRecord(const boost::function<void()>& inFunction, Kind inKind = kKind_Function)
      : mFunction(inFunction), mKind(inKind) {}

  boost::function<void()> mFunction;
  Kind mKind;
};

class ThreadSafeDelayQueue {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned int kMinimumDelayMs = 7;
  static constexpr std::chrono::microseconds kEarlyRelease{6000};

  explicit ThreadSafeDelayQueue(int inThreadCount);
  ~ThreadSafeDelayQueue();
  ThreadSafeDelayQueue(const ThreadSafeDelayQueue&) = delete;
  ThreadSafeDelayQueue& operator=(const ThreadSafeDelayQueue&) = delete;

  // Takes over inRecord (unless it throws std::bad_alloc). inWake: for a delayed record, wake a waiting worker
  // when the timer waiter has to look again (a single worker posting to
  // itself does not need it). inContinuation: an immediate record posted as
  // the poster's last step (see ContinuationInternal.h); no worker is woken
  // for it when the poster serves this queue.
  void Post(WorkRecord* inRecord, unsigned int inDelayMs, bool inWake, bool inContinuation = false);

  // Blocks until a record is available; the caller owns it. The calling
  // thread counts as serving this queue from its first call on.
  WorkRecord* Take();

  // Whether the calling thread serves this queue and nothing is waiting in
  // it or due from the delayed records. False too when another worker is
  // taking work at this moment.
  bool IdleForContinuation() noexcept;

  // Destroys every delayed record unrun.
  void DiscardDelayed();

  int ThreadCount() const noexcept { return mThreadCount; }

private:
  struct DelayedItem {
    Clock::time_point mRelease;
    WorkRecord* mRecord;
  };

  void NotifyForRecord();
  void WakeTimerWaiter();
  // Under mLock.
  WorkRecord* TryPop();
  bool SpinForArrival(std::unique_lock<std::mutex>& ioLock);
  bool ReleaseDueItems(Clock::time_point& outNextRelease);
  void PassOnWork();

  IntrusiveFifo mFifo;
  std::atomic<std::uint64_t> mState{0};

  std::mutex mLock;  // consumers
  std::condition_variable mIdleWake;
  std::condition_variable mTimerWake;

  std::mutex mHeapLock;
  utility::SmallBlockAllocator::vector<DelayedItem> mHeap;
  // Release time of the top of the heap in clock ticks; max when empty.
  std::atomic<Clock::rep> mEarliest;

  const int mThreadCount;
};

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_THREADSAFEDELAYQUEUEINTERNAL_H
