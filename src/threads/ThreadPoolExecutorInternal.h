// The executor over the process-wide worker pool, behind the shared
// CPU-bound and IO-bound executors.
//
//  - Functions posted without delay go to the pool in posting order and run
//    even when the executor is destroyed first: they do not refer to it.
//  - Delayed functions wait in the pool's timer. Destroying the executor takes
//    back the ones not yet due (they never run) and waits for those running
//    at that moment, unless it is itself one of them.
//  - Exceptions thrown by functions are discarded.
//  - Terminate does nothing; IsTerminated is always false.
#ifndef BASALT_THREADS_THREADPOOLEXECUTORINTERNAL_H
#define BASALT_THREADS_THREADPOOLEXECUTORINTERNAL_H

#include <basalt/threads/AsyncExecutor.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>

namespace basalt {
namespace threads {
namespace internal {

class DelayedCallGuard;

class ThreadPoolExecutor final : public AsyncExecutor {
public:
  // inLongRunning: the functions may block (IO); the pool then adds threads
  // rather than let them hold up other work. inInTimerThread: delayed
  // functions run on the timer thread itself (only for short ones).
  ThreadPoolExecutor(unsigned int inThreadCount, bool inLongRunning, bool inInTimerThread);
  ~ThreadPoolExecutor() override;
  ThreadPoolExecutor(const ThreadPoolExecutor&) = delete;
  ThreadPoolExecutor& operator=(const ThreadPoolExecutor&) = delete;

  bool CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs) override;
  int ThreadCount() const override;
  void Terminate() override;
  bool IsTerminated() override;

  enum : std::uint32_t { kFlag_LongRunning = 0x10, kFlag_InTimerThread = 0x20 };

private:
  boost::shared_ptr<DelayedCallGuard> mGuard;
  std::uint32_t mThreadCount;
  std::uint32_t mFlags;
};

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_THREADPOOLEXECUTORINTERNAL_H
