// A coalescing scheduler: however many times a run is requested while one is
// pending, the function runs once more.
//
// RequestRun posts one run to the executor (after the current delay) unless a
// run is already pending. The run clears the pending mark before it calls the
// function, so a request made while the function runs, or after, causes
// exactly one more run; requests made before the run started are covered by
// it. Work published by a requester before its request is visible to the run
// that covers the request.
//
// Runs hold the scheduler only weakly: a run that comes after the last owner
// let go does nothing. The scheduler holds its executor strongly. Lock-free;
// every operation is safe from any thread.
#ifndef BASALT_THREADS_QUEUEONLYONCEINTERNAL_H
#define BASALT_THREADS_QUEUEONLYONCEINTERNAL_H

#include <basalt/threads/AsyncExecutor.h>
#include <basalt/utility/Export.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdint>

namespace basalt {
namespace threads {
namespace internal {

// Exported for the tests only; not part of the library's interface.
class BSL_EXPORT QueueOnlyOnce : public boost::enable_shared_from_this<QueueOnlyOnce> {
public:
  // Empty when inFunction or inExecutor is empty.
  static boost::shared_ptr<QueueOnlyOnce> Create(const boost::function<void()>& inFunction,
                                                 const boost::shared_ptr<AsyncExecutor>& inExecutor,
                                                 unsigned int inDelayMs);

  // True when a run is pending (this call posted it, or an earlier one did);
  // false when the executor refused the run, which leaves nothing pending so
  // that a later request tries again. May throw std::bad_alloc, with nothing
  // pending.
  bool RequestRun();
  // The delay of runs posted from now on.
  void SetDelay(unsigned int inDelayMs) noexcept { mDelayMs.store(inDelayMs, std::memory_order_relaxed); }

  struct ConstructionToken;
  QueueOnlyOnce(const ConstructionToken&, const boost::function<void()>& inFunction,
                const boost::shared_ptr<AsyncExecutor>& inExecutor, unsigned int inDelayMs);
  QueueOnlyOnce(const QueueOnlyOnce&) = delete;
  QueueOnlyOnce& operator=(const QueueOnlyOnce&) = delete;

private:
  struct Run;

  const boost::function<void()> mFunction;
  const boost::shared_ptr<AsyncExecutor> mExecutor;
  std::atomic<std::uint32_t> mDelayMs;
  std::atomic<std::uint32_t> mPending;  // 1 while a run is posted and has not started
};

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_QUEUEONLYONCEINTERNAL_H
