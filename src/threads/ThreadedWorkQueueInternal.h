// The work queue executor: named worker threads of its own over a
// ThreadSafeDelayQueue (see SharedThreads.h for the rules callers see).
//
// Instead of a reader-writer lock around the queue pointer, entry into the
// operations that post or touch the pause gate is counted in one word whose
// lowest bit marks termination: Terminate sets the bit, waits for the callers
// inside to leave, and only then drops the delayed records and posts one end
// record per worker, so no function can be queued behind the end records.
#ifndef BASALT_THREADS_THREADEDWORKQUEUEINTERNAL_H
#define BASALT_THREADS_THREADEDWORKQUEUEINTERNAL_H

#include "threads/ContinuationInternal.h"

#include <basalt/threads/AsyncExecutor.h>
#include <basalt/threads/SyncPrimitives.h>

#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace basalt {
namespace threads {
namespace internal {

class ThreadSafeDelayQueue;
struct WorkRecord;

class ThreadedWorkQueue final : public AsyncThreadedExecutor, public IInlineContinuation {
public:
  // inThreadCount > 0. Throws when a thread cannot be started (the threads
  // already started are ended and joined).
  ThreadedWorkQueue(const std::string& inName, int inThreadCount, ThreadPriority inPriority,
                    const boost::function<void()>& inOnThreadStart, const boost::function<void()>& inOnThreadEnd,
                    const boost::thread_attributes& inAttributes);
  ~ThreadedWorkQueue() override;
  ThreadedWorkQueue(const ThreadedWorkQueue&) = delete;
  ThreadedWorkQueue& operator=(const ThreadedWorkQueue&) = delete;

  bool CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs) override;
  int ThreadCount() const override;
  void Terminate() override;
  bool IsTerminated() override;
  bool IsCurrentThreadExecutorThread() override;
  void Flush() override;
  void Pause() override;
  void Resume() override;
  void WaitIfPaused() override;
  bool MayContinueOnThisThread() noexcept override;

  // The name of worker inIndex (0-based) of inCount.
  static std::string WorkerName(const std::string& inName, int inCount, int inIndex);

private:
  bool Enter() noexcept;
  void Leave() noexcept;
  void EndWorkers() noexcept;

  const int mThreadCount;
  boost::shared_ptr<ThreadSafeDelayQueue> mCore;
  std::atomic<std::uint32_t> mUsers{0};  // bit 0: terminated; 2 per caller inside
  std::mutex mFlushLock;
  bool mJoined = false;
  std::vector<boost::thread> mThreads;
  std::vector<boost::thread::id> mThreadIds;  // fixed once constructed
  std::vector<WorkRecord*> mEndRecords;       // made up front: Terminate cannot fail
  boost::shared_ptr<Gate> mPauseGate;
  std::atomic<bool> mPaused{false};  // mirrors the gate, for MayContinueOnThisThread
};

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_THREADEDWORKQUEUEINTERNAL_H
