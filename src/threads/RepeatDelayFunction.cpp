#include <basalt/threads/RepeatDelayFunction.h>

#include <basalt/utility/SmallBlockAllocator.h>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <atomic>

namespace basalt {
namespace threads {
namespace {

// One repetition: calls the predicate and, while it says so, posts itself
// again. It holds the executor weakly, so a pending step never keeps it alive.
struct RepeatStep {
  boost::weak_ptr<AsyncExecutor> mExecutor;
  boost::function<bool()> mPredicate;
  unsigned int mDelayMs;

  void operator()() const {
    if (!mPredicate()) return;
    if (boost::shared_ptr<AsyncExecutor> executor = mExecutor.lock()) executor->CallAsynchronously(*this, mDelayMs);
  }
};

// The function a RepeatDelayFunction keeps in its holder. The stop mark lives
// with it, so DoNotCallAgain on one copy of the object stops the repetition
// that every copy shares.
struct StoppableFunction {
  explicit StoppableFunction(const boost::function<void()>& inFunction) : mFunction(inFunction) {}
  StoppableFunction(const StoppableFunction& inOther)
      : mFunction(inOther.mFunction), mStopped(inOther.mStopped.load(std::memory_order_relaxed)) {}
  void operator()() const { mFunction(); }

  boost::function<void()> mFunction;
  mutable std::atomic<bool> mStopped{false};
};

// The predicate of a RepeatDelayFunction: true after calling the function,
// false once the holder is gone or stopped.
struct CallWhileHeld {
  boost::weak_ptr<boost::function<void()>> mHolder;

  bool operator()() const {
    const boost::shared_ptr<boost::function<void()>> holder = mHolder.lock();
    if (!holder) return false;
    const StoppableFunction* function = holder->target<StoppableFunction>();
    if (function->mStopped.load(std::memory_order_acquire)) return false;
    (*function)();
    return true;
  }
};

}  // namespace

void CallConditionalRepeatDelayFunctionAsynchronously(const boost::shared_ptr<AsyncExecutor>& inExecutor,
                                                      const boost::function<bool()>& inPredicate,
                                                      unsigned int inDelayMs) {
  if (!inExecutor || !inPredicate) return;
  inExecutor->CallAsynchronously(RepeatStep{inExecutor, inPredicate, inDelayMs}, inDelayMs);
}

RepeatDelayFunction::RepeatDelayFunction(const boost::shared_ptr<AsyncExecutor>& inExecutor,
                                         const boost::function<void()>& inFunction, unsigned int inDelayMs) {
  // Nothing to repeat: the object stays empty and DoNotCallAgain does nothing.
  if (!inExecutor || !inFunction) return;
  mFunction = boost::allocate_shared<boost::function<void()>>(
      utility::SmallBlockAllocator::STLAllocator<boost::function<void()>>(), StoppableFunction(inFunction));
  CallConditionalRepeatDelayFunctionAsynchronously(inExecutor, CallWhileHeld{mFunction}, inDelayMs);
}

void RepeatDelayFunction::DoNotCallAgain() {
  if (!mFunction) return;
  mFunction->target<StoppableFunction>()->mStopped.store(true, std::memory_order_release);
  mFunction.reset();
}

}  // namespace threads
}  // namespace basalt
