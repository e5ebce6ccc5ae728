// A count for the executor tests that threads can wait on.
//
// Add notifies while it holds the lock, so a waiter that has seen the count
// it waited for may destroy the object at once: the adding thread no longer
// touches it.
#ifndef BASALT_TESTS_THREADS_EXECUTORTESTSUPPORT_H
#define BASALT_TESTS_THREADS_EXECUTORTESTSUPPORT_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace basalt {
namespace testing {

class Tally {
public:
  void Add() {
    std::lock_guard<std::mutex> lock(mMutex);
    ++mValue;
    mChanged.notify_all();
  }
  int Value() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mValue;
  }
  // False when the count stayed below inTarget for 20 s (a failure bound).
  bool WaitAtLeast(int inTarget) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::seconds(20), [&] { return mValue >= inTarget; });
  }

private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  int mValue = 0;
};

}  // namespace testing
}  // namespace basalt

#endif  // BASALT_TESTS_THREADS_EXECUTORTESTSUPPORT_H
