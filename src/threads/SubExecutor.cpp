#include <basalt/threads/SubExecutor.h>

#include <basalt/threads/ThreadIdentity.h>

#include "threads/ContinuationInternal.h"
#include "threads/SubExecutorInternal.h"

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <algorithm>
#include <climits>
#include <iterator>
#include <memory>
#include <new>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace basalt {
namespace threads {
namespace internal {
namespace {

using utility::SmallBlockAllocator::STLAllocator;

// What is posted to the parent to run one queued function. It keeps the impl
// alive until it has run, so the queue drains after the front object is gone.
template <class Container>
struct Dispatch {
  boost::shared_ptr<SubExecutorImpl<Container>> mImpl;
  void operator()() const { mImpl->OnThreadExecute(); }
};

// What a delayed call holds: only a weak reference, so a delayed call that has
// not fallen due does not keep a terminated sub-executor (or its parent) alive.
template <class Container>
struct TimedFunction {
  TimedFunction(const boost::weak_ptr<SubExecutorImpl<Container>>& inImpl, std::uint64_t inKey)
      : mImpl(inImpl), mKey(inKey) {}
  boost::weak_ptr<SubExecutorImpl<Container>> mImpl;
  std::uint64_t mKey;
};

template <class Container>
struct DelayedCall {
  boost::shared_ptr<TimedFunction<Container>> mTimed;
  void operator()() const {
    if (boost::shared_ptr<SubExecutorImpl<Container>> impl = mTimed->mImpl.lock())
      impl->OnThreadDelayedExecute(mTimed->mKey);
  }
};

// Calls inFunction and discards whatever it throws, except the unwinding of a
// cancelled thread, which must not be stopped.
template <class Impl>
void RunDiscardingExceptions(Impl& inImpl, const boost::function<void()>& inFunction) {
  try {
    inImpl.Execute(inFunction);
#if defined(__GLIBCXX__)
  } catch (const abi::__forced_unwind&) {
    throw;
#endif
  } catch (...) {
  }
}

}  // namespace

template <class Container>
SubExecutorImpl<Container>::SubExecutorImpl(const boost::shared_ptr<AsyncExecutor>& inParent, int inConcurrency)
    : mConcurrency(inConcurrency), mParent(inParent), mInline(dynamic_cast<IInlineContinuation*>(inParent.get())) {
  if (!mMutex.Valid()) throw std::bad_alloc();
  mRunningThreads.reserve(static_cast<std::size_t>(std::min(inConcurrency, 16)));
  mRetired.emplace(0, 0);
}

template <class Container>
SubExecutorImpl<Container>::~SubExecutorImpl() {
  // Only a parent that destroys dispatches unrun can leave records behind.
  while (AllocatedFunctionWithSerialNumber* record = mQueue.Pop()) delete record;
}

template <class Container>
void SubExecutorImpl<Container>::Execute(const boost::function<void()>& inFunction) {
  inFunction();
}

template <class Container>
bool SubExecutorImpl<Container>::CallAsynchronously(const boost::function<void()>& inFunction,
                                                    unsigned int inDelayMs) {
  Parent parent;
  if (inDelayMs == 0) {
    // Copy the function first: it may be large, and may throw.
    std::unique_ptr<AllocatedFunctionWithSerialNumber> record(new AllocatedFunctionWithSerialNumber(inFunction));
    if (mTerminated.load()) return false;  // the record dies here
    // Queued without the mutex (see mCounts in the header). A record that
    // joins while Terminate runs is still taken by the draining queue, or
    // dropped below once the parent is gone.
    const std::uint64_t serial = mLastSerial.fetch_add(1) + 1;
    record->mSerialNumber = serial;
    try {
      mQueue.Push(record.get());
    } catch (...) {
      RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::CallAsynchronously");
      Retire(serial);  // so that no Flush waits for it
      throw;
    }
    record.release();
    // Every slot busy: a run that finishes sees the count and dispatches.
    const std::uint64_t before = mCounts.fetch_add(kQueuedOne);
    if (static_cast<int>(static_cast<std::uint32_t>(before)) >= mConcurrency) return true;
    int dispatches = 0;
    bool parentGone = false;
    {
      RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::CallAsynchronously");
      parentGone = !mParent;
      if (!parentGone) dispatches = DecideDispatches(1, parent);
    }
    if (parentGone) {
      // Terminated, flushed and idle: nothing will ever run what is queued.
      DropQueued();
      return false;
    }
    return dispatches == 0 || PostDispatches(parent, dispatches);
  }

  boost::function<void()> function(inFunction);  // copied outside the lock, as above
  std::uint64_t key;
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::CallAsynchronously");
    if (mTerminated) return false;
    key = mLastDelayedKey + 1;
    mDelayed.emplace(key, boost::function<void()>()).first->second.swap(function);
    mLastDelayedKey = key;
    parent = mParent;  // set: only a terminated sub-executor lets it go
  }
  bool posted = false;
  try {
    DelayedCall<Container> call{boost::allocate_shared<TimedFunction<Container>>(
        STLAllocator<TimedFunction<Container>>(), this->weak_from_this(), key)};
    posted = parent->CallAsynchronously(call, inDelayMs);
  } catch (...) {
    boost::function<void()> unposted;
    {
      RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::CallAsynchronously");
      typename DelayedMap::iterator it = mDelayed.find(key);
      if (it != mDelayed.end()) {
        unposted.swap(it->second);
        mDelayed.erase(it);
      }
    }
    throw;
  }
  if (!posted) OnParentRefused(0);  // drops the function with every other delayed one
  return posted;
}

template <class Container>
void SubExecutorImpl<Container>::Terminate() {
  DelayedMap dropped;
  Parent parent;
  int dispatches = 0;
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::Terminate");
    mTerminated = true;
    // Their timers still fire on the parent but find no entry.
    dropped.swap(mDelayed);
    if (mPaused) {
      mPaused = false;
      dispatches = DecideDispatches(mConcurrency, parent);
    }
  }
  if (dispatches != 0) PostDispatches(parent, dispatches);
}

template <class Container>
bool SubExecutorImpl<Container>::IsTerminated() {
  RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::IsTerminated");
  return mTerminated;
}

template <class Container>
bool SubExecutorImpl<Container>::IsCurrentThreadExecutorThread() {
  const unsigned int self = GetCurrentThreadID();
  RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::IsCurrentThreadExecutorThread");
  return std::find(mRunningThreads.begin(), mRunningThreads.end(), self) != mRunningThreads.end();
}

template <class Container>
void SubExecutorImpl<Container>::Flush() {
  if (IsCurrentThreadExecutorThread()) return;
  std::uint64_t last;
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::Flush");
    last = mLastSerial.load();
  }
  if (last != 0) WaitUntilUpToThisFunctionIsRetired(last);
  Parent released;  // let go after the unlock: the parent's destructor may block
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::Flush2");
    if (mTerminated) {
      // A Flush that started before some of the queue was posted can get here
      // with functions still queued; they need the parent, so the last of them
      // lets it go.
      mReleaseParentWhenIdle = true;
      ReleaseParentIfIdle(released);
    }
  }
}

template <class Container>
void SubExecutorImpl<Container>::Pause() {
  RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::Pause");
  if (!mTerminated) mPaused = true;
}

template <class Container>
void SubExecutorImpl<Container>::Resume() {
  Parent parent;
  int dispatches = 0;
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::Resume");
    if (!mPaused) return;
    mPaused = false;
    dispatches = DecideDispatches(mConcurrency, parent);
  }
  if (dispatches != 0) PostDispatches(parent, dispatches);
}

template <class Container>
void SubExecutorImpl<Container>::WaitUntilUpToThisFunctionIsRetired(std::uint64_t inSerial) {
  Gate gate(false);
  if (!gate.Valid()) throw std::bad_alloc();
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::WaitUntilUpToThisFunctionIsRetired");
    if (mRetired.begin()->second >= inSerial) return;
    mWaiters.emplace(inSerial, Waiter{GetCurrentThreadID(), &gate});
  }
  gate.PassThrough(-1);
  // The gate is opened under the mutex; passing the mutex once makes sure the
  // opener is done with the gate before it goes away.
  RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::WaitUntilUpToThisFunctionIsRetired");
}

template <class Container>
void SubExecutorImpl<Container>::OnThreadExecute() {
  AllocatedFunctionWithSerialNumber* record = nullptr;
  Parent released;  // let go after the unlock
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::OnThreadExecute1");
    --mUnstartedDispatches;
    // Under the mutex the count never exceeds the records queued.
    if (mPaused || Queued() <= 0) {
      AddRunning(-1);
      ReleaseParentIfIdle(released);
      return;
    }
    try {
      AddRunningThread(GetCurrentThreadID());
    } catch (...) {
      AddRunning(-1);
      throw;
    }
    record = mQueue.Pop();
    AddQueued(-1);
  }
  RunRecords(record);
}

template <class Container>
void SubExecutorImpl<Container>::RunRecords(AllocatedFunctionWithSerialNumber* inRecord) {
  // Each turn runs one record: the first was taken by a dispatch, the others
  // by the run before them, which found the parent with nothing else to do.
  while (inRecord != nullptr) {
    const std::uint64_t serial = inRecord->mSerialNumber;
    boost::function<void()> function;
    function.swap(inRecord->mFunction);
    delete inRecord;
    inRecord = RunAndRetire(function, serial, "SubExecutorImpl::OnThreadExecute2");
  }
}

template <class Container>
void SubExecutorImpl<Container>::OnThreadDelayedExecute(std::uint64_t inKey) {
  boost::function<void()> function;
  std::uint64_t serial = 0;
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::OnThreadDelayedExecute1");
    typename DelayedMap::iterator it = mDelayed.find(inKey);
    if (it == mDelayed.end()) return;  // dropped by Terminate
    const bool runHere = !mPaused && !mTerminated && Running() < mConcurrency;
    if (runHere) AddRunningThread(GetCurrentThreadID());  // the one step that may throw
    function.swap(it->second);
    mDelayed.erase(it);
    if (runHere) {
      serial = mLastSerial.fetch_add(1) + 1;
      AddRunning(1);
    }
  }
  if (serial == 0) {
    // Paused or at the limit: wait behind everything already queued.
    CallAsynchronously(function, 0);
    return;
  }
  RunRecords(RunAndRetire(function, serial, "SubExecutorImpl::OnThreadDelayedExecute2"));
}

template <class Container>
AllocatedFunctionWithSerialNumber* SubExecutorImpl<Container>::RunAndRetire(boost::function<void()>& ioFunction,
                                                                            std::uint64_t inSerial,
                                                                            const char* inSite) {
  try {
    RunDiscardingExceptions(*this, ioFunction);
  } catch (...) {
    // Only the unwinding of a cancelled thread gets here; it must not leave
    // the slot taken and the serial unretired, and hands its successor on.
    FinishRun(ioFunction, inSerial, inSite, false);
    throw;
  }
  return FinishRun(ioFunction, inSerial, inSite, true);
}

template <class Container>
AllocatedFunctionWithSerialNumber* SubExecutorImpl<Container>::FinishRun(boost::function<void()>& ioFunction,
                                                                         std::uint64_t inSerial, const char* inSite,
                                                                         bool inMayContinue) {
  // What the function holds is let go before its serial retires, so a Flush
  // that returns has seen it released.
  ioFunction.clear();
  Parent parent;
  int dispatches = 0;
  bool retired = false;
  {
    RecursiveMutex::ScopedLock lock(mMutex, inSite);
    // When a function is queued for this run to take and the parent has
    // nothing else to do on this thread, posting a dispatch and taking it
    // straight back is running the function here: this run keeps its slot
    // and its place among the running threads, and takes the record itself.
    if (inMayContinue && mParent && !mPaused && Queued() - mUnstartedDispatches > 0 && mInline != nullptr &&
        mInline->MayContinueOnThisThread()) {
      Retire(inSerial);  // first: it is the one step that may throw
      retired = true;
      // Under the mutex the queued count never exceeds the records queued.
      if (AllocatedFunctionWithSerialNumber* next = mQueue.Pop()) {
        AddQueued(-1);
        return next;
      }
    }
    AddRunning(-1);
    RemoveRunningThread(GetCurrentThreadID());
    dispatches = DecideDispatches(1, parent);
    if (dispatches == 0) {
      if (!retired) Retire(inSerial);
      ReleaseParentIfIdle(parent);
      return nullptr;
    }
  }
  // The next dispatch is posted before this serial retires, so that a Flush
  // waiting for it cannot return while this thread still holds the parent.
  // This thread goes back to the parent's queue right after: when it is one
  // of the parent's workers, it takes the dispatch itself instead of waking
  // another worker.
  try {
    ScContinuationPost continuation(parent.get());
    PostDispatches(parent, dispatches);
  } catch (...) {
    // Out of memory while posting from a parent thread, where nobody could
    // take the exception: the queue waits for the next call or Resume.
  }
  parent.reset();
  {
    RecursiveMutex::ScopedLock lock(mMutex, inSite);
    if (!retired) Retire(inSerial);
    ReleaseParentIfIdle(parent);
  }
  return nullptr;
}

template <class Container>
int SubExecutorImpl<Container>::DecideDispatches(int inWanted, Parent& outParent) {
  if (!mParent || mPaused) return 0;
  // A dispatch runs one function; those already posted will each take one of
  // the queued ones, so more would find nothing.
  const int dispatches = std::min({inWanted, mConcurrency - Running(), Queued() - mUnstartedDispatches});
  if (dispatches <= 0) return 0;
  AddRunning(dispatches);
  mUnstartedDispatches += dispatches;
  outParent = mParent;
  return dispatches;
}

template <class Container>
bool SubExecutorImpl<Container>::PostDispatches(const Parent& inParent, int inCount) {
  // Boost.Function copies a functor several times while it is stored, and
  // each copy of the strong reference is an atomic operation on a count that
  // the parent's threads share: store the functor empty, then fill it in.
  boost::function<void()> dispatch = Dispatch<Container>();
  dispatch.template target<Dispatch<Container>>()->mImpl = this->shared_from_this();
  for (int i = 0; i < inCount; ++i) {
    bool posted;
    try {
      posted = inParent->CallAsynchronously(dispatch, 0);
    } catch (...) {
      RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::CallAsynchronously");
      AddRunning(-(inCount - i));
      mUnstartedDispatches -= inCount - i;
      throw;
    }
    if (!posted) {
      OnParentRefused(inCount - i);
      return false;
    }
  }
  return true;
}

template <class Container>
void SubExecutorImpl<Container>::OnParentRefused(int inUnpostedDispatches) {
  DelayedMap droppedDelayed;
  utility::SmallBlockAllocator::vector<AllocatedFunctionWithSerialNumber*> dropped;
  Parent released;
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::CallAsynchronously");
    AddRunning(-inUnpostedDispatches);
    mUnstartedDispatches -= inUnpostedDispatches;
    mTerminated = true;
    mPaused = false;
    droppedDelayed.swap(mDelayed);
    // Dispatches still in flight run what they can; the last of them to
    // finish comes back here through its own refused dispatch.
    if (Running() != 0 || Queued() <= 0) {
      ReleaseParentIfIdle(released);
      return;
    }
    try {
      dropped.reserve(static_cast<std::size_t>(std::max(0, Queued())));
    } catch (...) {
    }
    while (AllocatedFunctionWithSerialNumber* record = mQueue.Pop()) {
      AddQueued(-1);
      if (dropped.size() < dropped.capacity()) {
        dropped.push_back(record);
      } else {  // out of memory: release it here, under the mutex
        Retire(record->mSerialNumber);
        delete record;
      }
    }
  }
  // As for functions that ran: released first, then retired.
  for (AllocatedFunctionWithSerialNumber* record : dropped) record->mFunction.clear();
  {
    RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::CallAsynchronously");
    for (AllocatedFunctionWithSerialNumber* record : dropped) Retire(record->mSerialNumber);
    ReleaseParentIfIdle(released);
  }
  for (AllocatedFunctionWithSerialNumber* record : dropped) delete record;
}

template <class Container>
void SubExecutorImpl<Container>::DropQueued() {
  for (;;) {
    AllocatedFunctionWithSerialNumber* record;
    {
      RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::CallAsynchronously");
      record = mQueue.Pop();
      if (record == nullptr) return;
      AddQueued(-1);
    }
    record->mFunction.clear();
    {
      RecursiveMutex::ScopedLock lock(mMutex, "SubExecutorImpl::CallAsynchronously");
      Retire(record->mSerialNumber);
    }
    delete record;
  }
}

template <class Container>
void SubExecutorImpl<Container>::ReleaseParentIfIdle(Parent& outReleased) noexcept {
  if (mReleaseParentWhenIdle && Running() == 0 && Queued() <= 0) outReleased.swap(mParent);
}

template <class Container>
void SubExecutorImpl<Container>::Retire(std::uint64_t inSerial) {
  using Iterator = typename Map<std::uint64_t, std::uint64_t>::iterator;
  Iterator next = mRetired.upper_bound(inSerial);
  Iterator range;
  if (next != mRetired.begin() && std::prev(next)->second + 1 == inSerial) {
    range = std::prev(next);
    range->second = inSerial;
  } else {
    range = mRetired.emplace_hint(next, inSerial, inSerial);
  }
  if (next != mRetired.end() && next->first == inSerial + 1) {
    range->second = next->second;
    mRetired.erase(next);
  }
  // Every serial up to the end of the range that starts at 0 has finished.
  const std::uint64_t watermark = mRetired.begin()->second;
  while (!mWaiters.empty() && mWaiters.begin()->first <= watermark) {
    mWaiters.begin()->second.mGate->Open();
    mWaiters.erase(mWaiters.begin());
  }
}

template <class Container>
void SubExecutorImpl<Container>::AddRunningThread(unsigned int inThreadID) {
  mRunningThreads.push_back(inThreadID);
}

template <class Container>
void SubExecutorImpl<Container>::RemoveRunningThread(unsigned int inThreadID) noexcept {
  typename utility::SmallBlockAllocator::vector<unsigned int>::iterator it =
      std::find(mRunningThreads.begin(), mRunningThreads.end(), inThreadID);
  if (it != mRunningThreads.end()) {
    *it = mRunningThreads.back();
    mRunningThreads.pop_back();
  }
}

template class SubExecutorImpl<ThreadSafeQueue>;
template class SubExecutorImpl<ThreadSafeStack>;

}  // namespace internal

namespace {

using internal::SubExecutorImpl;
using internal::SubExecutorWithFnWrapperImpl;
using internal::ThreadSafeQueue;
using internal::ThreadSafeStack;
using utility::SmallBlockAllocator::STLAllocator;

// What the creator holds. Destroying it terminates the sub-executor; what is
// queued still runs, kept alive by the dispatches on the parent.
template <class Container>
class SubExecutor final : public AsyncThreadedExecutor {
public:
  explicit SubExecutor(const boost::shared_ptr<SubExecutorImpl<Container>>& inImpl) : mImpl(inImpl) {}
  ~SubExecutor() override {
    try {
      if (!mImpl->IsTerminated()) mImpl->Terminate();
    } catch (...) {
      // Out of memory while posting the dispatches that drain a paused queue;
      // it stays queued and is released with the impl.
    }
  }
  SubExecutor(const SubExecutor&) = delete;
  SubExecutor& operator=(const SubExecutor&) = delete;

  bool CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs) override {
    return mImpl->CallAsynchronously(inFunction, inDelayMs);
  }
  int ThreadCount() const override { return mImpl->ThreadCount(); }
  void Terminate() override { mImpl->Terminate(); }
  bool IsTerminated() override { return mImpl->IsTerminated(); }
  bool IsCurrentThreadExecutorThread() override { return mImpl->IsCurrentThreadExecutorThread(); }
  void Flush() override { mImpl->Flush(); }
  void Pause() override { mImpl->Pause(); }
  void Resume() override { mImpl->Resume(); }
  void WaitIfPaused() override {}

private:
  const boost::shared_ptr<SubExecutorImpl<Container>> mImpl;
};

// The concurrency the sub-executor gets, or 0 when it cannot have any.
int EffectiveConcurrency(const boost::shared_ptr<AsyncExecutor>& inParent, int inRequested) {
  const long long parentThreads = inParent ? inParent->ThreadCount() : 0;
  if (parentThreads <= 0) return 0;
  const long long n = inRequested >= 0 ? std::min<long long>(inRequested, parentThreads)
                                       : -static_cast<long long>(inRequested) * parentThreads;
  return static_cast<int>(std::min<long long>(n, INT_MAX));
}

template <class Container>
boost::shared_ptr<SubExecutor<Container>> MakeSubExecutor(
    const boost::shared_ptr<AsyncExecutor>& inParent, int inConcurrency,
    const boost::function<void(const boost::function<void()>&)>& inWrapper) {
  const int concurrency = EffectiveConcurrency(inParent, inConcurrency);
  if (concurrency <= 0) return boost::shared_ptr<SubExecutor<Container>>();
  boost::shared_ptr<SubExecutorImpl<Container>> impl;
  if (inWrapper) {
    impl = boost::allocate_shared<SubExecutorWithFnWrapperImpl<Container>>(
        STLAllocator<SubExecutorWithFnWrapperImpl<Container>>(), inParent, concurrency, inWrapper);
  } else {
    impl = boost::allocate_shared<SubExecutorImpl<Container>>(STLAllocator<SubExecutorImpl<Container>>(), inParent,
                                                              concurrency);
  }
  return boost::allocate_shared<SubExecutor<Container>>(STLAllocator<SubExecutor<Container>>(), impl);
}

}  // namespace

boost::shared_ptr<AsyncThreadedExecutor> CreateQueueBasedSubExecutor(const boost::shared_ptr<AsyncExecutor>& inParent,
                                                                     int inConcurrency) {
  return MakeSubExecutor<ThreadSafeQueue>(inParent, inConcurrency, {});
}

boost::shared_ptr<AsyncThreadedExecutor> CreateSubExecutor(const boost::shared_ptr<AsyncExecutor>& inParent,
                                                           int inConcurrency) {
  return MakeSubExecutor<ThreadSafeQueue>(inParent, inConcurrency, {});
}

boost::shared_ptr<AsyncExecutor> CreateStackBasedSubExecutor(const boost::shared_ptr<AsyncExecutor>& inParent,
                                                            int inConcurrency) {
  return MakeSubExecutor<ThreadSafeStack>(inParent, inConcurrency, {});
}

boost::shared_ptr<AsyncThreadedExecutor> CreateSubExecutorWithFunctionWrapper(
    const boost::shared_ptr<AsyncExecutor>& inParent, int inConcurrency,
    const boost::function<void(const boost::function<void()>&)>& inWrapper) {
  return MakeSubExecutor<ThreadSafeQueue>(inParent, inConcurrency, inWrapper);
}

}  // namespace threads
}  // namespace basalt
