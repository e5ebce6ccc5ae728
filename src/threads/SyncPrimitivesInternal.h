// The pooled objects behind RecursiveMutex, ConditionVariable and Gate.
#ifndef BASALT_THREADS_SYNCPRIMITIVESINTERNAL_H
#define BASALT_THREADS_SYNCPRIMITIVESINTERNAL_H

#include <basalt/utility/Export.h>

#include "threads/PrimitivePoolInternal.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace basalt {
namespace threads {
namespace internal {

// A recursive mutex made of a plain one plus an owner and a depth, so a
// condition wait can release every level at once and restore it afterwards.
struct PooledMutex {
  std::uint32_t mPoolIndex = 0;
  std::atomic<std::uint32_t> mPoolNext{0};
  std::mutex mLock;
  std::atomic<unsigned int> mOwner{0};  // thread id; 0 when free
  unsigned int mDepth = 0;              // touched by the owner only
};

struct PooledCondition {
  std::uint32_t mPoolIndex = 0;
  std::atomic<std::uint32_t> mPoolNext{0};
  std::condition_variable mCondition;
};

// A manual-reset event with the gate's state word in front of it.
struct PooledGate {
  enum : std::uint32_t { kClosed = 0, kOpen = 1, kClosing = 2 };
  std::uint32_t mPoolIndex = 0;
  std::atomic<std::uint32_t> mPoolNext{0};
  std::atomic<std::uint32_t> mState{kClosed};
  std::mutex mEventLock;
  std::condition_variable mEventSignalled;
  bool mSignalled = false;
};

// Exported for the tests of the recycling rule.
BSL_EXPORT PrimitivePool<PooledMutex>& MutexPool() noexcept;
BSL_EXPORT PrimitivePool<PooledCondition>& ConditionPool() noexcept;
BSL_EXPORT PrimitivePool<PooledGate>& GatePool() noexcept;

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_SYNCPRIMITIVESINTERNAL_H
