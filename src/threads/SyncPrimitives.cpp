#include <basalt/threads/SyncPrimitives.h>

#include <basalt/threads/ThreadIdentity.h>

#include "threads/CpuRelaxInternal.h"
#include "threads/SyncPrimitivesInternal.h"

#include <boost/thread/barrier.hpp>

#include <chrono>
#include <stdexcept>

namespace basalt {
namespace threads {
namespace internal {
namespace {
// Constant-initialised, so primitives work from any static initializer.
PrimitivePool<PooledMutex> sMutexPool;
PrimitivePool<PooledCondition> sConditionPool;
PrimitivePool<PooledGate> sGatePool;
}  // namespace

PrimitivePool<PooledMutex>& MutexPool() noexcept { return sMutexPool; }
PrimitivePool<PooledCondition>& ConditionPool() noexcept { return sConditionPool; }
PrimitivePool<PooledGate>& GatePool() noexcept { return sGatePool; }
}  // namespace internal

using internal::PooledGate;

// ---------------------------------------------------------------------------
// RecursiveMutex
// ---------------------------------------------------------------------------
RecursiveMutex::RecursiveMutex() : mMutex(internal::MutexPool().Acquire()) {}

RecursiveMutex::~RecursiveMutex() { internal::MutexPool().Release(mMutex); }

void RecursiveMutex::Lock(const char* /*inSite*/) const {
  if (mMutex == nullptr) return;
  const unsigned int self = GetCurrentThreadID();
  // Only this thread can have stored its own id, so a relaxed read that sees
  // it is reliable; any other value means another owner or none.
  if (mMutex->mOwner.load(std::memory_order_relaxed) == self) {
    ++mMutex->mDepth;
    return;
  }
  // Sections under these mutexes are short: an owner usually lets go
  // within a microsecond, which is cheaper to wait out than to sleep for.
  std::mutex& lock = mMutex->mLock;
  if (!lock.try_lock() && !internal::SpinBriefly([&lock] { return lock.try_lock(); })) lock.lock();
  mMutex->mOwner.store(self, std::memory_order_relaxed);
  mMutex->mDepth = 1;
}

bool RecursiveMutex::TryLock(const char* /*inSite*/) const {
  if (mMutex == nullptr) return false;
  const unsigned int self = GetCurrentThreadID();
  if (mMutex->mOwner.load(std::memory_order_relaxed) == self) {
    ++mMutex->mDepth;
    return true;
  }
  if (!mMutex->mLock.try_lock()) return false;
  mMutex->mOwner.store(self, std::memory_order_relaxed);
  mMutex->mDepth = 1;
  return true;
}

void RecursiveMutex::Unlock() const {
  if (mMutex == nullptr) return;
  if (mMutex->mOwner.load(std::memory_order_relaxed) != GetCurrentThreadID()) return;  // not ours
  if (--mMutex->mDepth != 0) return;
  mMutex->mOwner.store(0, std::memory_order_relaxed);
  mMutex->mLock.unlock();
}

RecursiveMutex::ScopedLock::ScopedLock(const RecursiveMutex& inMutex, const char* inSite) : mMutex(&inMutex) {
  mMutex->Lock(inSite);
}

RecursiveMutex::ScopedLock::~ScopedLock() { mMutex->Unlock(); }

RecursiveMutex::ScopedTryLock::ScopedTryLock(const RecursiveMutex& inMutex, const char* inSite)
    : mMutex(&inMutex), mLocked(inMutex.TryLock(inSite)) {}

RecursiveMutex::ScopedTryLock::~ScopedTryLock() {
  if (mLocked) mMutex->Unlock();
}

// ---------------------------------------------------------------------------
// ConditionVariable
// ---------------------------------------------------------------------------
ConditionVariable::ConditionVariable() : mCondition(internal::ConditionPool().Acquire()) {}

ConditionVariable::~ConditionVariable() { internal::ConditionPool().Release(mCondition); }

void ConditionVariable::Wait(const RecursiveMutex::ScopedLock& inLock) const { WaitOn(inLock.Mutex()); }

void ConditionVariable::Wait(const RecursiveMutex::ScopedTryLock& inLock) const {
  if (inLock.IsLocked()) WaitOn(inLock.Mutex());
}

void ConditionVariable::WaitOn(const RecursiveMutex& inMutex) const {
  internal::PooledMutex* mutex = inMutex.mMutex;
  if (mCondition == nullptr || mutex == nullptr) return;
  const unsigned int self = GetCurrentThreadID();
  if (mutex->mOwner.load(std::memory_order_relaxed) != self) return;  // waiting needs the lock
  // Give up every level of the recursion for the wait, as the caller expects
  // other threads to be able to take the mutex and change the predicate.
  const unsigned int depth = mutex->mDepth;
  mutex->mDepth = 0;
  mutex->mOwner.store(0, std::memory_order_relaxed);
  std::unique_lock<std::mutex> lock(mutex->mLock, std::adopt_lock);
  mCondition->mCondition.wait(lock);
  lock.release();
  mutex->mOwner.store(self, std::memory_order_relaxed);
  mutex->mDepth = depth;
}

void ConditionVariable::WakeOne() const {
  if (mCondition != nullptr) mCondition->mCondition.notify_one();
}

void ConditionVariable::WakeAll() const {
  if (mCondition != nullptr) mCondition->mCondition.notify_all();
}

// ---------------------------------------------------------------------------
// Gate
// ---------------------------------------------------------------------------
Gate::Gate(bool inOpen) : mGate(internal::GatePool().Acquire()) {
  if (mGate == nullptr) return;
  // A recycled gate keeps whatever state its last owner left.
  if (inOpen) {
    Open();
  } else {
    Close();
  }
}

Gate::~Gate() { internal::GatePool().Release(mGate); }

void Gate::Open() {
  if (mGate == nullptr) return;
  std::uint32_t expected = PooledGate::kClosed;
  if (!mGate->mState.compare_exchange_strong(expected, PooledGate::kOpen, std::memory_order_acq_rel)) return;
  {
    std::lock_guard<std::mutex> lock(mGate->mEventLock);
    // A Close that came in between has already reset the event; signalling
    // it now would leave a closed gate that lets threads through.
    if (mGate->mState.load(std::memory_order_relaxed) != PooledGate::kOpen) return;
    mGate->mSignalled = true;
  }
  mGate->mEventSignalled.notify_all();
}

void Gate::Close() {
  if (mGate == nullptr) return;
  std::uint32_t expected = PooledGate::kOpen;
  if (!mGate->mState.compare_exchange_strong(expected, PooledGate::kClosing, std::memory_order_acq_rel)) return;
  std::lock_guard<std::mutex> lock(mGate->mEventLock);
  mGate->mSignalled = false;
  mGate->mState.store(PooledGate::kClosed, std::memory_order_release);
}

bool Gate::PassThrough(int inTimeoutMs) const {
  if (mGate == nullptr) return false;
  if (mGate->mState.load(std::memory_order_acquire) == PooledGate::kOpen) return true;
  std::unique_lock<std::mutex> lock(mGate->mEventLock);
  if (inTimeoutMs < 0) {
    mGate->mEventSignalled.wait(lock, [this] { return mGate->mSignalled; });
    return true;
  }
  return mGate->mEventSignalled.wait_for(lock, std::chrono::milliseconds(inTimeoutMs),
                                         [this] { return mGate->mSignalled; });
}

// ---------------------------------------------------------------------------
// SyncPoint
// ---------------------------------------------------------------------------
namespace {
boost::shared_ptr<boost::barrier> MakeBarrier(unsigned int inCount) {
  // boost::barrier refuses 0 too, but with its own exception type and text.
  if (inCount == 0) throw std::invalid_argument("barrier constructor: count cannot be zero.");
  return boost::shared_ptr<boost::barrier>(new boost::barrier(inCount));
}
}  // namespace

SyncPoint::SyncPoint(unsigned int inCount) : mBarrier(MakeBarrier(inCount)) {}
SyncPoint::SyncPoint(const SyncPoint& inOther) = default;
SyncPoint& SyncPoint::operator=(const SyncPoint& inOther) = default;
SyncPoint::~SyncPoint() = default;

bool SyncPoint::Wait() { return mBarrier->wait(); }

}  // namespace threads
}  // namespace basalt
