// A one-shot gate for tests: every thread waiting in Wait is released when
// Open is called, and later callers pass at once.
#ifndef BASALT_TESTS_TESTGATE_H
#define BASALT_TESTS_TESTGATE_H

#include <condition_variable>
#include <mutex>

namespace basalt {
namespace testing {

class Gate {
public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mMutex);
    mOpened.wait(lock, [this] { return mOpen; });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mOpen = true;
    }
    mOpened.notify_all();
  }

private:
  std::mutex mMutex;
  std::condition_variable mOpened;
  bool mOpen = false;
};

}  // namespace testing
}  // namespace basalt

#endif  // BASALT_TESTS_TESTGATE_H
