#include "threads/QueueOnlyOnceInternal.h"

#include <basalt/utility/SmallBlockAllocator.h>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

namespace basalt {
namespace threads {
namespace internal {

struct QueueOnlyOnce::ConstructionToken {};

struct QueueOnlyOnce::Run {
  boost::weak_ptr<QueueOnlyOnce> mOwner;
  void operator()() const {
    boost::shared_ptr<QueueOnlyOnce> owner = mOwner.lock();
    if (!owner) return;
    // A read-modify-write, not a store: it reads the mark last written by
    // every request that found the run pending, which makes their work
    // visible here (see RequestRun).
    owner->mPending.exchange(0, std::memory_order_acq_rel);
    owner->mFunction();
  }
};

boost::shared_ptr<QueueOnlyOnce> QueueOnlyOnce::Create(const boost::function<void()>& inFunction,
                                                       const boost::shared_ptr<AsyncExecutor>& inExecutor,
                                                       unsigned int inDelayMs) {
  if (!inFunction || !inExecutor) return boost::shared_ptr<QueueOnlyOnce>();
  return boost::allocate_shared<QueueOnlyOnce>(utility::SmallBlockAllocator::STLAllocator<QueueOnlyOnce>(),
                                               ConstructionToken(), inFunction, inExecutor, inDelayMs);
}

QueueOnlyOnce::QueueOnlyOnce(const ConstructionToken&, const boost::function<void()>& inFunction,
                             const boost::shared_ptr<AsyncExecutor>& inExecutor, unsigned int inDelayMs)
    : mFunction(inFunction), mExecutor(inExecutor), mDelayMs(inDelayMs), mPending(0) {}

bool QueueOnlyOnce::RequestRun() {
  // An exchange rather than a compare-and-swap: a compare-and-swap that finds
  // the run pending writes nothing, so the run would not be ordered after this
  // request and might miss what the requester published before calling.
  if (mPending.exchange(1, std::memory_order_acq_rel) != 0) return true;
  bool posted = false;
  try {
    posted = mExecutor->CallAsynchronously(Run{weak_from_this()}, mDelayMs.load(std::memory_order_relaxed));
  } catch (...) {
    mPending.store(0, std::memory_order_release);
    throw;
  }
  if (!posted) mPending.store(0, std::memory_order_release);
  return posted;
}

}  // namespace internal
}  // namespace threads
}  // namespace basalt
