#include "threads/ThreadSafeDelayQueueInternal.h"

#include "threads/CpuRelaxInternal.h"

#include <algorithm>
#include <limits>
#include <thread>

namespace basalt {
namespace threads {
namespace internal {
namespace {

constexpr std::uint64_t kUntimedOne = 1;
constexpr std::uint64_t kUntimedMask = 0xFFFFFFFFu;
constexpr std::uint64_t kTimerWaiting = std::uint64_t(1) << 32;
constexpr std::uint64_t kWakePending = std::uint64_t(1) << 33;
constexpr std::uint64_t kAnyWaiter = kUntimedMask | kTimerWaiting;

// The queue whose worker this thread is.
thread_local const ThreadSafeDelayQueue* tServedQueue __attribute__((tls_model("initial-exec"))) = nullptr;

constexpr ThreadSafeDelayQueue::Clock::rep kNoDelayed = std::numeric_limits<ThreadSafeDelayQueue::Clock::rep>::max();


template <class Item>
struct ReleasesLater {
  bool operator()(const Item& inA, const Item& inB) const noexcept { return inA.mRelease > inB.mRelease; }
};

}  // namespace

constexpr unsigned int ThreadSafeDelayQueue::kMinimumDelayMs;
constexpr std::chrono::microseconds ThreadSafeDelayQueue::kEarlyRelease;

ThreadSafeDelayQueue::ThreadSafeDelayQueue(int inThreadCount) : mEarliest(kNoDelayed), mThreadCount(inThreadCount) {}

ThreadSafeDelayQueue::~ThreadSafeDelayQueue() {
  // Only records nobody will take are left: the workers are gone.
  for (;;) {
    FifoNode* node = nullptr;
    const IntrusiveFifo::PopResult result = mFifo.Pop(node);
    if (result == IntrusiveFifo::PopResult::kEmpty) break;
    if (result == IntrusiveFifo::PopResult::kItem) delete static_cast<WorkRecord*>(node);
  }
  DiscardDelayed();
}

void ThreadSafeDelayQueue::Post(WorkRecord* inRecord, unsigned int inDelayMs, bool inWake, bool inContinuation) {
  if (inDelayMs == 0) {
    mFifo.Push(inRecord);
    // The poster takes it on its way back; should another worker take work
    // before that and see this record, it passes the word on (PassOnWork).
    if (inContinuation && tServedQueue == this) return;
    NotifyForRecord();
    return;
  }
  const Clock::time_point now = Clock::now();
  const std::chrono::milliseconds minimum(kMinimumDelayMs);
  const std::chrono::milliseconds delay(std::max(inDelayMs, kMinimumDelayMs));
  const Clock::time_point release = std::max(now + delay - kEarlyRelease, now + minimum);
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mHeapLock);
    wake = mHeap.empty() || release < mHeap.front().mRelease || mHeap.front().mRelease <= now;
    mHeap.push_back(DelayedItem{release, inRecord});
    std::push_heap(mHeap.begin(), mHeap.end(), ReleasesLater<DelayedItem>());
    mEarliest.store(mHeap.front().mRelease.time_since_epoch().count(), std::memory_order_seq_cst);
  }
  if (wake && inWake) WakeTimerWaiter();
}

void ThreadSafeDelayQueue::NotifyForRecord() {
  // Dekker with a worker going to sleep: it announces itself in the state
  // word and then looks at the FIFO; we pushed and now look at the word.
  if ((mState.load(std::memory_order_seq_cst) & kAnyWaiter) == 0) return;
  // Taking the lock waits out a worker between announcing itself and
  // sleeping. The notification itself may follow the unlock: a worker counted
  // as waiting that is not asleep any more looks at the FIFO before sleeping
  // again.
  std::unique_lock<std::mutex> lock(mLock);
  const std::uint64_t state = mState.load(std::memory_order_relaxed);
  lock.unlock();
  if ((state & kUntimedMask) != 0) {
    mIdleWake.notify_one();
  } else if ((state & kTimerWaiting) != 0) {
    mTimerWake.notify_one();
  }
}

void ThreadSafeDelayQueue::WakeTimerWaiter() {
  std::uint64_t state = mState.load(std::memory_order_seq_cst);
  do {
    // One wake-up on its way is enough: whoever it reaches reads the heap
    // after clearing the flag, so it sees this record too.
    if ((state & kWakePending) != 0) return;
    // Nobody waits: the next worker to come back reads the heap anyway.
    if ((state & kAnyWaiter) == 0) return;
  } while (!mState.compare_exchange_weak(state, state | kWakePending, std::memory_order_seq_cst));
  std::unique_lock<std::mutex> lock(mLock);
  state = mState.load(std::memory_order_relaxed);
  lock.unlock();
  if ((state & kTimerWaiting) != 0) {
    mTimerWake.notify_one();
  } else if ((state & kUntimedMask) != 0) {
    mIdleWake.notify_one();
  }
}

WorkRecord* ThreadSafeDelayQueue::TryPop() {
  for (;;) {
    FifoNode* node = nullptr;
    switch (mFifo.Pop(node)) {
      case IntrusiveFifo::PopResult::kItem: return static_cast<WorkRecord*>(node);
      case IntrusiveFifo::PopResult::kEmpty: return nullptr;
      case IntrusiveFifo::PopResult::kBusy: std::this_thread::yield(); break;
    }
  }
}

bool ThreadSafeDelayQueue::ReleaseDueItems(Clock::time_point& outNextRelease) {
  std::lock_guard<std::mutex> lock(mHeapLock);
  const Clock::time_point now = Clock::now();
  while (!mHeap.empty() && mHeap.front().mRelease <= now) {
    std::pop_heap(mHeap.begin(), mHeap.end(), ReleasesLater<DelayedItem>());
    mFifo.Push(mHeap.back().mRecord);
    mHeap.pop_back();
  }
  if (mHeap.empty()) {
    mEarliest.store(kNoDelayed, std::memory_order_seq_cst);
    return false;
  }
  outNextRelease = mHeap.front().mRelease;
  mEarliest.store(outNextRelease.time_since_epoch().count(), std::memory_order_seq_cst);
  return true;
}

void ThreadSafeDelayQueue::PassOnWork() {
  const std::uint64_t state = mState.load(std::memory_order_relaxed);
  const bool moreWork = mFifo.MayHaveItems();
  const bool timerVacant =
      (state & kTimerWaiting) == 0 && mEarliest.load(std::memory_order_seq_cst) != kNoDelayed;
  if ((state & kUntimedMask) != 0 && (moreWork || timerVacant)) {
    mIdleWake.notify_one();
  } else if (moreWork && (state & kTimerWaiting) != 0) {
    mTimerWake.notify_one();
  }
}

// Work posted in bursts often arrives while a worker would go to sleep; a
// short spin saves both sides the wake-up.
bool ThreadSafeDelayQueue::SpinForArrival(std::unique_lock<std::mutex>& ioLock) {
  const FifoNode* tail = mFifo.Tail();
  ioLock.unlock();
  const bool arrived = SpinBriefly([this, tail] { return mFifo.Tail() != tail; });
  ioLock.lock();
  return arrived;
}

WorkRecord* ThreadSafeDelayQueue::Take() {
  tServedQueue = this;
  std::unique_lock<std::mutex> lock(mLock);
  bool spun = false;
  for (;;) {
    mState.fetch_and(~kWakePending, std::memory_order_seq_cst);
    Clock::time_point nextRelease;
    // The heap lock is skipped while there is nothing delayed; a record
    // pushed meanwhile is seen after this worker announces itself below.
    const bool delayedLeft =
        mEarliest.load(std::memory_order_seq_cst) != kNoDelayed && ReleaseDueItems(nextRelease);
    if (WorkRecord* record = TryPop()) {
      PassOnWork();
      return record;
    }
    if (!spun) {
      spun = true;
      if (SpinForArrival(lock)) continue;
    }
    if (delayedLeft && (mState.load(std::memory_order_relaxed) & kTimerWaiting) == 0) {
      mState.fetch_or(kTimerWaiting, std::memory_order_seq_cst);
      // Look again after announcing: a producer that pushed before it saw no
      // waiter and did not wake anyone.
      if (!mFifo.MayHaveItems() &&
          mEarliest.load(std::memory_order_seq_cst) >= nextRelease.time_since_epoch().count()) {
        mTimerWake.wait_until(lock, nextRelease);
      }
      mState.fetch_and(~kTimerWaiting, std::memory_order_seq_cst);
    } else {
      mState.fetch_add(kUntimedOne, std::memory_order_seq_cst);
      const bool timerNeeded = mEarliest.load(std::memory_order_seq_cst) != kNoDelayed &&
                               (mState.load(std::memory_order_relaxed) & kTimerWaiting) == 0;
      if (!mFifo.MayHaveItems() && !timerNeeded) mIdleWake.wait(lock);
      mState.fetch_sub(kUntimedOne, std::memory_order_seq_cst);
    }
  }
}

bool ThreadSafeDelayQueue::IdleForContinuation() noexcept {
  if (tServedQueue != this) return false;
  const Clock::rep earliest = mEarliest.load(std::memory_order_seq_cst);
  if (earliest != kNoDelayed && earliest <= Clock::now().time_since_epoch().count()) return false;
  // The FIFO's consumer side is read under the consumer lock only.
  std::unique_lock<std::mutex> lock(mLock, std::try_to_lock);
  return lock.owns_lock() && !mFifo.MayHaveItems();
}

void ThreadSafeDelayQueue::DiscardDelayed() {
  utility::SmallBlockAllocator::vector<DelayedItem> items;
  {
    std::lock_guard<std::mutex> lock(mHeapLock);
    items.swap(mHeap);
    mEarliest.store(kNoDelayed, std::memory_order_seq_cst);
  }
  // Outside the lock: the destructors of captured objects are foreign code.
  for (const DelayedItem& item : items) delete item.mRecord;
}

}  // namespace internal
}  // namespace threads
}  // namespace basalt
