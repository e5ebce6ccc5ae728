// The blocking primitives of the library: a recursive mutex with its scoped
// locks, a condition variable, a gate and a reusable barrier.
//
// Mutexes, condition variables and gates are handles onto objects that live in
// process-wide pools: creating and destroying one after warm-up costs two
// lock-free list operations and no system call, so they may be made freely on
// hot paths. Pooled objects are never freed.
//
// Thread safety: every operation may be called from any thread. A
// RecursiveMutex may be locked again by its owner; each successful Lock or
// TryLock needs one Unlock. The objects are not copyable, except SyncPoint,
// whose copies share one barrier.
//
// When the pool cannot allocate an object (out of memory) the primitive holds
// none: locking and waiting then do nothing and a gate never opens. Such a
// primitive must not be relied on; Valid() tells.
#ifndef BASALT_THREADS_SYNCPRIMITIVES_H
#define BASALT_THREADS_SYNCPRIMITIVES_H

#include <basalt/utility/Export.h>

#include <boost/shared_ptr.hpp>

namespace boost {
class barrier;
}

namespace basalt {
namespace threads {

namespace internal {
struct PooledMutex;
struct PooledCondition;
struct PooledGate;
}  // namespace internal

class BSL_EXPORT RecursiveMutex {
public:
  RecursiveMutex();
  ~RecursiveMutex();
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  // inSite names the place that locks (for diagnostics); it has no effect.
  void Lock(const char* inSite) const;
  bool TryLock(const char* inSite) const;
  void Unlock() const;
  bool Valid() const noexcept { return mMutex != nullptr; }

  // Locks for the lifetime of the object.
  class BSL_EXPORT ScopedLock {
  public:
    explicit ScopedLock(const RecursiveMutex& inMutex, const char* inSite = "ScopedLock");
    ~ScopedLock();
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    const RecursiveMutex& Mutex() const noexcept { return *mMutex; }

  private:
    const RecursiveMutex* mMutex;
  };

  // Tries once; IsLocked tells whether it got the mutex (released on exit only then).
  class BSL_EXPORT ScopedTryLock {
  public:
    explicit ScopedTryLock(const RecursiveMutex& inMutex, const char* inSite = "ScopedTryLock");
    ~ScopedTryLock();
    ScopedTryLock(const ScopedTryLock&) = delete;
    ScopedTryLock& operator=(const ScopedTryLock&) = delete;
    bool IsLocked() const noexcept { return mLocked; }
    const RecursiveMutex& Mutex() const noexcept { return *mMutex; }

  private:
    const RecursiveMutex* mMutex;
    bool mLocked;
  };

private:
  friend class ConditionVariable;
  internal::PooledMutex* mMutex;
};

// Waits release the locked mutex atomically (however deep its recursion),
// block without a time limit and take it back at the same depth. Wake-ups may
// be spurious: wait in a loop on the predicate. Waiting with a ScopedTryLock
// that did not get the mutex is an error and returns at once.
class BSL_EXPORT ConditionVariable {
public:
  ConditionVariable();
  ~ConditionVariable();
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  void Wait(const RecursiveMutex::ScopedLock& inLock) const;
  void Wait(const RecursiveMutex::ScopedTryLock& inLock) const;
  void WakeOne() const;
  void WakeAll() const;
  bool Valid() const noexcept { return mCondition != nullptr; }

private:
  void WaitOn(const RecursiveMutex& inMutex) const;
  internal::PooledCondition* mCondition;
};

// A level, not a count: while open every thread passes; closing holds threads
// back; opening releases every waiter. Passing an open gate is one atomic read.
class BSL_EXPORT Gate {
public:
  explicit Gate(bool inOpen = false);
  ~Gate();
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  void Open();
  void Close();
  // Waits up to inTimeoutMs milliseconds (negative: no limit) for the gate to
  // be open; true when it was or became open, false on timeout.
  bool PassThrough(int inTimeoutMs) const;
  bool Valid() const noexcept { return mGate != nullptr; }

private:
  internal::PooledGate* mGate;
};

// A reusable barrier for a fixed number of parties. Each Wait blocks until
// the count of parties has arrived; the last to arrive starts the next
// generation and gets true, the others get false. A count of 0 throws
// std::invalid_argument "barrier constructor: count cannot be zero.".
class BSL_EXPORT SyncPoint {
public:
  explicit SyncPoint(unsigned int inCount);
  SyncPoint(const SyncPoint& inOther);
  SyncPoint& operator=(const SyncPoint& inOther);
  virtual ~SyncPoint();

  bool Wait();

private:
  boost::shared_ptr<boost::barrier> mBarrier;
};

}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_SYNCPRIMITIVES_H
