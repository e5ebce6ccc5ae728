// Small executors and synchronisation helpers for the threads tests.
//
// ManualParent runs nothing by itself: the test runs the posted functions, in
// any order and on any thread, which makes dispatch order, delayed calls and
// out-of-order completion reproducible. ThreadPoolParent is a plain executor
// on its own threads, independent of the library's executors.
#ifndef BASALT_TESTS_THREADS_TESTEXECUTORS_H
#define BASALT_TESTS_THREADS_TESTEXECUTORS_H

#include <basalt/threads/AsyncExecutor.h>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace basalt {
namespace testing {

// Generous bound for anything a test waits for; reaching it is a failure.
constexpr std::chrono::seconds kPatience(20);

// Runs inFunction on another thread; a call that does not return within
// kPatience ends the test program rather than hang it.
template <class F>
void ExpectReturns(const char* inWhat, F inFunction) {
  std::packaged_task<void()> task(std::move(inFunction));
  std::future<void> done = task.get_future();
  std::thread thread(std::move(task));
  if (done.wait_for(kPatience) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not return\n", inWhat);
    std::abort();
  }
  thread.join();
  done.get();
}

// Keeps posted functions until the test runs them.
class ManualParent : public threads::AsyncExecutor {
public:
  explicit ManualParent(int inThreadCount) : mThreadCount(inThreadCount) {}

  bool CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs) override {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mTerminated || mRefusing) return false;
    mPending.push_back(Posted{inFunction, inDelayMs});
    return true;
  }
  int ThreadCount() const override { return mThreadCount; }
  void Terminate() override {
    std::lock_guard<std::mutex> lock(mMutex);
    mTerminated = true;
  }
  bool IsTerminated() override {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTerminated;
  }
  // Refuses posts while set, without being terminated.
  void SetRefusing(bool inRefusing) {
    std::lock_guard<std::mutex> lock(mMutex);
    mRefusing = inRefusing;
  }

  std::size_t Pending() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPending.size();
  }
  unsigned int DelayOf(std::size_t inIndex) {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPending.at(inIndex).mDelayMs;
  }
  // Removes the function posted inIndex-th among those pending.
  boost::function<void()> Take(std::size_t inIndex = 0) {
    std::lock_guard<std::mutex> lock(mMutex);
    boost::function<void()> function = mPending.at(inIndex).mFunction;
    mPending.erase(mPending.begin() + static_cast<std::ptrdiff_t>(inIndex));
    return function;
  }
  // Takes it and runs it on the calling thread.
  void Run(std::size_t inIndex = 0) {
    boost::function<void()> function = Take(inIndex);
    function();
  }
  // Runs pending functions, including those posted meanwhile, in posting order.
  void RunAll() {
    while (Pending() != 0) Run(0);
  }

private:
  struct Posted {
    boost::function<void()> mFunction;
    unsigned int mDelayMs;
  };
  const int mThreadCount;
  std::mutex mMutex;
  std::deque<Posted> mPending;
  bool mTerminated = false;
  bool mRefusing = false;
};

// An executor with inThreadCount threads of its own: FIFO, delayed calls by
// due time, exceptions discarded. Terminate refuses new calls, drops delayed
// ones and lets the queue drain. The threads share their state with the
// object, so the last reference may be dropped on one of them.
class ThreadPoolParent : public threads::AsyncExecutor {
public:
  explicit ThreadPoolParent(int inThreadCount) : mState(new State), mThreadCount(inThreadCount) {
    for (int i = 0; i < inThreadCount; ++i) {
      boost::shared_ptr<State> state = mState;
      mThreads.emplace_back([state] { state->Work(); });
    }
  }
  ~ThreadPoolParent() override {
    Terminate();
    for (std::thread& thread : mThreads) {
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else {
        thread.join();
      }
    }
  }

  bool CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs) override {
    {
      std::lock_guard<std::mutex> lock(mState->mMutex);
      if (mState->mTerminated) return false;
      if (inDelayMs == 0) {
        mState->mQueue.push_back(inFunction);
      } else {
        mState->mDelayed.emplace(Clock::now() + std::chrono::milliseconds(inDelayMs), inFunction);
      }
    }
    mState->mWake.notify_all();
    return true;
  }
  int ThreadCount() const override { return mThreadCount; }
  void Terminate() override {
    std::multimap<Clock::time_point, boost::function<void()>> dropped;
    {
      std::lock_guard<std::mutex> lock(mState->mMutex);
      mState->mTerminated = true;
      dropped.swap(mState->mDelayed);
    }
    mState->mWake.notify_all();
  }
  bool IsTerminated() override {
    std::lock_guard<std::mutex> lock(mState->mMutex);
    return mState->mTerminated;
  }
  // Returns when no function is queued or running (delayed ones aside).
  void WaitIdle() {
    std::unique_lock<std::mutex> lock(mState->mMutex);
    mState->mIdle.wait(lock, [this] { return mState->mQueue.empty() && mState->mBusy == 0; });
  }

private:
  using Clock = std::chrono::steady_clock;
  struct State {
    std::mutex mMutex;
    std::condition_variable mWake;
    std::condition_variable mIdle;
    std::deque<boost::function<void()>> mQueue;
    std::multimap<Clock::time_point, boost::function<void()>> mDelayed;
    bool mTerminated = false;
    int mBusy = 0;

    void Work() {
      std::unique_lock<std::mutex> lock(mMutex);
      for (;;) {
        const Clock::time_point now = Clock::now();
        while (!mDelayed.empty() && mDelayed.begin()->first <= now) {
          mQueue.push_back(std::move(mDelayed.begin()->second));
          mDelayed.erase(mDelayed.begin());
        }
        if (!mQueue.empty()) {
          boost::function<void()> function = std::move(mQueue.front());
          mQueue.pop_front();
          ++mBusy;
          lock.unlock();
          try {
            function();
          } catch (...) {
          }
          function.clear();
          lock.lock();
          --mBusy;
          mIdle.notify_all();
          continue;
        }
        if (mTerminated) return;
        if (mDelayed.empty()) {
          mWake.wait(lock);
        } else {
          const Clock::time_point due = mDelayed.begin()->first;  // the node may go while we wait
          mWake.wait_until(lock, due);
        }
      }
    }
  };

  boost::shared_ptr<State> mState;
  const int mThreadCount;
  std::vector<std::thread> mThreads;
};

}  // namespace testing
}  // namespace basalt

#endif  // BASALT_TESTS_THREADS_TESTEXECUTORS_H
