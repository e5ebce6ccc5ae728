// Linux has no system thread pool or timer queue to hand work to, so the
// library keeps one pool of worker threads and one timer thread for the whole
// process. Neither is ever torn down: work may be queued until the process
// ends.
#include "threads/WorkerPoolInternal.h"

#include "threads/CpuRelaxInternal.h"

#include <basalt/threads/SharedThreads.h>
#include <basalt/utility/SystemInformation.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace basalt {
namespace threads {
namespace internal {
namespace {

// Whether this thread is one of the pool's workers.
thread_local bool tPoolWorker __attribute__((tls_model("initial-exec"))) = false;

using utility::SmallBlockAllocator::vector;

constexpr unsigned kMaxWorkers = 256;
// Threads above the CPU count that found nothing to do for this long end.
constexpr std::chrono::seconds kRetireAfter(20);

// Worker counts in one word, so that a producer can tell without the lock
// whether it has to wake or add a thread: idle (waiting for work), live
// (started or starting) and busy with a long-running item. Workers change the
// word only under the pool lock, so it is exact there.
constexpr std::uint64_t kIdleOne = 1;
constexpr std::uint64_t kLiveOne = std::uint64_t(1) << 16;
constexpr std::uint64_t kBusyLongOne = std::uint64_t(1) << 32;
unsigned Idle(std::uint64_t inCounts) { return static_cast<unsigned>(inCounts & 0xFFFF); }
unsigned Live(std::uint64_t inCounts) { return static_cast<unsigned>((inCounts >> 16) & 0xFFFF); }
unsigned BusyLong(std::uint64_t inCounts) { return static_cast<unsigned>((inCounts >> 32) & 0xFFFF); }

class WorkerPool {
public:
  WorkerPool() : mCoreCount(std::max<unsigned>(1, utility::CPUCount())), mNumberTaken(kMaxWorkers + 1, false) {}

  void Queue(PoolWork* inWork, bool inContinuation) noexcept {
    mFifo.Push(inWork);
    // The poster takes it on its way back; a worker that takes work before
    // then and sees this item passes the word on.
    if (inContinuation && tPoolWorker) return;
    // Dekker with a worker going idle: it announces itself, then looks at the
    // list; we pushed, then look at the announcement.
    const std::uint64_t counts = mCounts.load(std::memory_order_seq_cst);
    if (Idle(counts) == 0 && !WantsWorker(counts)) return;
    std::unique_lock<std::mutex> lock(mLock);
    WakeOrStartWorker(lock);
  }

private:
  // Ordinary work may keep mCoreCount threads busy; threads blocked in
  // long-running items do not count.
  bool WantsWorker(std::uint64_t inCounts) const noexcept {
    return Live(inCounts) < kMaxWorkers && Live(inCounts) - BusyLong(inCounts) < mCoreCount;
  }

  // Under the lock, which is released on return. Taking it waited out a
  // worker between announcing itself idle and sleeping; one counted idle that
  // is awake already looks at the list again, so the notification may follow
  // the unlock.
  void WakeOrStartWorker(std::unique_lock<std::mutex>& ioLock) noexcept {
    const std::uint64_t counts = mCounts.load(std::memory_order_relaxed);
    if (Idle(counts) > 0) {
      ioLock.unlock();
      mWake.notify_one();
    } else if (WantsWorker(counts)) {
      StartWorker(ioLock);
    } else {
      ioLock.unlock();
    }
  }

  void StartWorker(std::unique_lock<std::mutex>& ioLock) noexcept {
    const auto free = std::find(mNumberTaken.begin() + 1, mNumberTaken.end(), false);
    const unsigned number = static_cast<unsigned>(free - mNumberTaken.begin());
    *free = true;
    mCounts.fetch_add(kLiveOne, std::memory_order_seq_cst);
    ioLock.unlock();
    try {
      char name[32];
      std::snprintf(name, sizeof name, number < 100 ? "Worker Pool %02u" : "Worker Pool %03u", number);
      CreateNamedThread(name, [this, number] { WorkerMain(number); }).detach();
    } catch (...) {
      // Out of threads or memory: the work waits for the threads there are;
      // the next item queued tries again.
      ioLock.lock();
      mCounts.fetch_sub(kLiveOne, std::memory_order_seq_cst);
      mNumberTaken[number] = false;
      ioLock.unlock();
    }
  }

  // Under the lock.
  PoolWork* TryPop() noexcept {
    for (;;) {
      FifoNode* node = nullptr;
      switch (mFifo.Pop(node)) {
        case IntrusiveFifo::PopResult::kItem: return static_cast<PoolWork*>(node);
        case IntrusiveFifo::PopResult::kEmpty: return nullptr;
        case IntrusiveFifo::PopResult::kBusy: std::this_thread::yield(); break;
      }
    }
  }

  // Work posted in bursts often arrives while a worker would go to sleep; a
  // short spin saves both sides the wake-up.
  bool SpinForArrival(std::unique_lock<std::mutex>& ioLock) noexcept {
    const FifoNode* tail = mFifo.Tail();
    ioLock.unlock();
    const bool arrived = SpinBriefly([this, tail] { return mFifo.Tail() != tail; });
    ioLock.lock();
    return arrived;
  }

  void WorkerMain(unsigned inNumber) {
    tPoolWorker = true;
    std::unique_lock<std::mutex> lock(mLock);
    bool spun = false;
    for (;;) {
      if (PoolWork* work = TryPop()) {
        spun = false;
        const bool longRunning = work->mLongRunning;
        // This thread may block from now on: it no longer counts against
        // the threads that ordinary work may keep busy.
        if (longRunning) mCounts.fetch_add(kBusyLongOne, std::memory_order_seq_cst);
        // A notification can miss: it may reach a worker that was counted
        // idle but awake already, which then takes only one item. So whoever
        // takes work passes the word on while more waits, to an idle worker
        // or to a new one, as a producer would have.
        if (mFifo.MayHaveItems()) WakeOrStartWorker(lock);
        if (lock.owns_lock()) lock.unlock();
        work->mCallback(work);
        lock.lock();
        if (longRunning) mCounts.fetch_sub(kBusyLongOne, std::memory_order_seq_cst);
        continue;
      }
      if (!spun) {
        spun = true;
        if (SpinForArrival(lock)) continue;
      }
      mCounts.fetch_add(kIdleOne, std::memory_order_seq_cst);
      if (mFifo.MayHaveItems()) {
        mCounts.fetch_sub(kIdleOne, std::memory_order_seq_cst);
        continue;
      }
      const bool timedOut = mWake.wait_for(lock, kRetireAfter) == std::cv_status::timeout;
      const std::uint64_t counts = mCounts.fetch_sub(kIdleOne, std::memory_order_seq_cst) - kIdleOne;
      if (timedOut && Live(counts) - BusyLong(counts) > mCoreCount && !mFifo.MayHaveItems()) {
        mCounts.fetch_sub(kLiveOne, std::memory_order_seq_cst);
        mNumberTaken[inNumber] = false;
        return;
      }
    }
  }

  const unsigned mCoreCount;
  IntrusiveFifo mFifo;
  std::atomic<std::uint64_t> mCounts{0};
  std::mutex mLock;  // consumers, thread bookkeeping
  std::condition_variable mWake;
  std::vector<bool> mNumberTaken;  // thread names "Worker Pool 01"...; index 0 unused
};

struct TimerEntry {
  TimerClock::time_point mDue;
  std::uint64_t mSequence;  // equal due times fire in scheduling order
  const void* mOwner;
  PoolWork* mWork;
  bool mOnTimerThread;
};

struct FiresLater {
  bool operator()(const TimerEntry& inA, const TimerEntry& inB) const noexcept {
    return inA.mDue != inB.mDue ? inA.mDue > inB.mDue : inA.mSequence > inB.mSequence;
  }
};

class PoolTimer {
public:
  void Schedule(PoolWork* inWork, TimerClock::time_point inDue, const void* inOwner, bool inOnTimerThread) {
    std::unique_lock<std::mutex> lock(mLock);
    if (!mStarted) {
      CreateNamedThread("Timer", [this] { TimerMain(); }).detach();
      mStarted = true;
    }
    mHeap.push_back(TimerEntry{inDue, mNextSequence++, inOwner, inWork, inOnTimerThread});
    std::push_heap(mHeap.begin(), mHeap.end(), FiresLater());
    const bool earliest = mHeap.front().mWork == inWork;
    lock.unlock();
    if (earliest) mChanged.notify_one();
  }

  void Cancel(const void* inOwner, vector<PoolWork*>& outCancelled) {
    std::lock_guard<std::mutex> lock(mLock);
    const auto kept = std::partition(mHeap.begin(), mHeap.end(),
                                     [inOwner](const TimerEntry& inEntry) { return inEntry.mOwner != inOwner; });
    if (kept == mHeap.end()) return;
    outCancelled.reserve(outCancelled.size() + static_cast<std::size_t>(mHeap.end() - kept));
    for (auto it = kept; it != mHeap.end(); ++it) outCancelled.push_back(it->mWork);
    mHeap.erase(kept, mHeap.end());
    std::make_heap(mHeap.begin(), mHeap.end(), FiresLater());
  }

private:
  void TimerMain() {
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
      if (mHeap.empty()) {
        mChanged.wait(lock);
        continue;
      }
      const TimerEntry first = mHeap.front();
      if (first.mDue > TimerClock::now()) {
        mChanged.wait_until(lock, first.mDue);
        continue;
      }
      std::pop_heap(mHeap.begin(), mHeap.end(), FiresLater());
      mHeap.pop_back();
      lock.unlock();
      if (first.mOnTimerThread) {
        first.mWork->mCallback(first.mWork);
      } else {
        QueuePoolWork(first.mWork, false);
      }
      lock.lock();
    }
  }

  std::mutex mLock;
  std::condition_variable mChanged;
  vector<TimerEntry> mHeap;
  std::uint64_t mNextSequence = 0;
  bool mStarted = false;
};

// Never destroyed: threads may use them until the process ends.
WorkerPool& Pool() {
  static WorkerPool* const sPool = new WorkerPool();
  return *sPool;
}

PoolTimer& Timer() {
  static PoolTimer* const sTimer = new PoolTimer();
  return *sTimer;
}

}  // namespace

void QueuePoolWork(PoolWork* inWork, bool inContinuation) noexcept { Pool().Queue(inWork, inContinuation); }

void SchedulePoolTimer(PoolWork* inWork, TimerClock::time_point inDue, const void* inOwner, bool inRunOnTimerThread) {
  Timer().Schedule(inWork, inDue, inOwner, inRunOnTimerThread);
}

void CancelPoolTimers(const void* inOwner, vector<PoolWork*>& outCancelled) { Timer().Cancel(inOwner, outCancelled); }

}  // namespace internal
}  // namespace threads
}  // namespace basalt
