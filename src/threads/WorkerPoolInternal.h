// The process-wide worker pool and timer behind the shared executors.
//
// Work items are records owned by the caller until handed over; the pool runs
// each item's callback once, on one of its threads, and the callback disposes
// of its record. Items start in the order they were queued.
//
// The pool keeps up to CPUCount() threads for ordinary items. Items marked
// long-running (work that blocks, such as IO) do not count against that
// limit: when every thread is busy, queueing a long-running item, or starting
// one while others wait, adds a thread, so blocking work cannot starve the
// rest. Threads above the CPU count retire after a spell of idleness.
//
// The timer holds items until they are due and then queues them to the pool,
// or runs them on the timer thread itself when asked to. Timers are grouped by
// an owner key so an owner can take back the ones that have not fired.
#ifndef BASALT_THREADS_WORKERPOOLINTERNAL_H
#define BASALT_THREADS_WORKERPOOLINTERNAL_H

#include "threads/IntrusiveFifoInternal.h"

#include <basalt/utility/SmallBlockAllocator.h>

#include <chrono>
#include <cstdint>

namespace basalt {
namespace threads {
namespace internal {

struct PoolWork : FifoNode {
  using Callback = void (*)(PoolWork* inWork);

  PoolWork(Callback inCallback, bool inLongRunning) noexcept : mCallback(inCallback), mLongRunning(inLongRunning) {}

  // Runs the item and disposes of the record; must not throw.
  Callback mCallback;
  bool mLongRunning;
};

// Any thread; takes over inWork. inContinuation: posted as the poster's last
// step (see ContinuationInternal.h); no worker is woken for it when the
// poster is a pool worker.
void QueuePoolWork(PoolWork* inWork, bool inContinuation = false) noexcept;

using TimerClock = std::chrono::steady_clock;

// Any thread; takes over inWork until it fires or is cancelled. At inDue the
// item is queued to the pool, or with inRunOnTimerThread run on the timer
// thread (which then delays every other timer while it runs).
void SchedulePoolTimer(PoolWork* inWork, TimerClock::time_point inDue, const void* inOwner, bool inRunOnTimerThread);

// Takes back every timer of inOwner that has not fired yet; the caller owns
// the records returned.
void CancelPoolTimers(const void* inOwner, utility::SmallBlockAllocator::vector<PoolWork*>& outCancelled);

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_WORKERPOOLINTERNAL_H
