#include <basalt/threads/SharedThreads.h>
#include <basalt/threads/SyncPrimitives.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/SystemInformation.h>

#include "threads/ThreadPoolExecutorInternal.h"

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>

namespace basalt {
namespace threads {

AsyncExecutor::~AsyncExecutor() = default;

AsyncThreadedExecutor::~AsyncThreadedExecutor() = default;

namespace {

using utility::SmallBlockAllocator::Allocated;

constexpr unsigned int kIOBoundThreadCount = 4;
constexpr std::size_t kMaxIdleTemporaryExecutors = 2;

// Shared executors, temporary executors (and, later, the main thread) are
// looked after under one recursive lock, so that these calls may nest.
class SharedThreadsRegistry {
public:
  using ScLock = RecursiveMutex::ScopedLock;

  RecursiveMutex mLock;
  // Never keep the shared executors alive: null until first set.
  std::unique_ptr<boost::weak_ptr<AsyncExecutor>> mCPUBound;
  std::unique_ptr<boost::weak_ptr<AsyncExecutor>> mIOBound;
  std::vector<boost::shared_ptr<AsyncThreadedExecutor>> mIdleTemporaries;
};

// Lives for the process: executors may be asked for until it ends.
SharedThreadsRegistry& Registry() {
  static SharedThreadsRegistry* const sRegistry = new SharedThreadsRegistry();
  return *sRegistry;
}

boost::shared_ptr<AsyncExecutor> GetShared(const std::unique_ptr<boost::weak_ptr<AsyncExecutor>>& inSlot) {
  return inSlot ? inSlot->lock() : boost::shared_ptr<AsyncExecutor>();
}

void SetShared(std::unique_ptr<boost::weak_ptr<AsyncExecutor>>& ioSlot, const boost::shared_ptr<AsyncExecutor>& inExecutor) {
  ioSlot.reset(new boost::weak_ptr<AsyncExecutor>(inExecutor));
}

boost::shared_ptr<AsyncExecutor> CreateShared(std::unique_ptr<boost::weak_ptr<AsyncExecutor>>& ioSlot,
                                              unsigned int inThreadCount, bool inLongRunning) {
  SharedThreadsRegistry& registry = Registry();
  SharedThreadsRegistry::ScLock lock(registry.mLock, "CreateSharedExecutor");
  if (boost::shared_ptr<AsyncExecutor> live = GetShared(ioSlot)) return live;
  ioSlot.reset();
  boost::shared_ptr<AsyncExecutor> executor =
      boost::make_shared<internal::ThreadPoolExecutor>(inThreadCount, inLongRunning, false);
  SetShared(ioSlot, executor);
  return executor;
}

// Keeps the pointer until the function (or its last copy) lets go.
class SharedVoidPtrHolder : public Allocated<SharedVoidPtrHolder> {
public:
  explicit SharedVoidPtrHolder(boost::shared_ptr<void>& ioPointer)
      : mPointer(new boost::shared_ptr<void>(std::move(ioPointer))) {}
  ~SharedVoidPtrHolder() { delete mPointer.load(std::memory_order_acquire); }
  SharedVoidPtrHolder(const SharedVoidPtrHolder&) = delete;
  SharedVoidPtrHolder& operator=(const SharedVoidPtrHolder&) = delete;

  void Release() { delete mPointer.exchange(nullptr, std::memory_order_acq_rel); }

private:
  std::atomic<boost::shared_ptr<void>*> mPointer;
};

}  // namespace

boost::shared_ptr<AsyncExecutor> CreateCPUBoundExecutor() {
  return CreateShared(Registry().mCPUBound, utility::CPUCount(), false);
}

boost::shared_ptr<AsyncExecutor> CreateIOBoundExecutor() {
  return CreateShared(Registry().mIOBound, kIOBoundThreadCount, true);
}

boost::shared_ptr<AsyncExecutor> GetCPUBoundExecutor() {
  SharedThreadsRegistry& registry = Registry();
  SharedThreadsRegistry::ScLock lock(registry.mLock, "GetCPUBoundExecutor");
  return GetShared(registry.mCPUBound);
}

boost::shared_ptr<AsyncExecutor> GetIOBoundExecutor() {
  SharedThreadsRegistry& registry = Registry();
  SharedThreadsRegistry::ScLock lock(registry.mLock, "GetIOBoundExecutor");
  return GetShared(registry.mIOBound);
}

void SetCPUBoundExecutor(const boost::shared_ptr<AsyncExecutor>& inExecutor) {
  SharedThreadsRegistry& registry = Registry();
  SharedThreadsRegistry::ScLock lock(registry.mLock, "SetCPUBoundExecutor");
  if (!GetCPUBoundExecutor()) SetShared(registry.mCPUBound, inExecutor);
}

void SetIOBoundExecutor(const boost::shared_ptr<AsyncExecutor>& inExecutor) {
  SharedThreadsRegistry& registry = Registry();
  SharedThreadsRegistry::ScLock lock(registry.mLock, "SetIOBoundExecutor");
  if (!GetIOBoundExecutor()) SetShared(registry.mIOBound, inExecutor);
}

boost::shared_ptr<AsyncThreadedExecutor> BorrowTemporarySingleThreadedExecutor() {
  SharedThreadsRegistry& registry = Registry();
  SharedThreadsRegistry::ScLock lock(registry.mLock, "BorrowTemporarySingleThreadedExecutor");
  if (registry.mIdleTemporaries.empty()) {
    return CreateAsyncThreadedExecutor("Temporary Thread", 1, kThreadPriority_Normal, {}, {},
                                       boost::thread_attributes());
  }
  boost::shared_ptr<AsyncThreadedExecutor> executor = std::move(registry.mIdleTemporaries.back());
  registry.mIdleTemporaries.pop_back();
  executor->Resume();
  return executor;
}

void ReturnTemporarySingleThreadedExecutor(const boost::shared_ptr<AsyncThreadedExecutor>& inExecutor) {
  if (!inExecutor) return;
  SharedThreadsRegistry& registry = Registry();
  SharedThreadsRegistry::ScLock lock(registry.mLock, "ReturnTemporarySingleThreadedExecutor");
  std::vector<boost::shared_ptr<AsyncThreadedExecutor>>& idle = registry.mIdleTemporaries;
  // A terminated executor is of no use to the next borrower, and one returned
  // twice must not be lent to two.
  if (inExecutor->IsTerminated() || std::find(idle.begin(), idle.end(), inExecutor) != idle.end()) return;
  if (idle.size() >= kMaxIdleTemporaryExecutors) {
    inExecutor->Terminate();
    return;
  }
  idle.reserve(kMaxIdleTemporaryExecutors);
  inExecutor->Pause();
  idle.push_back(inExecutor);
}

void CleanupAllSharedThreads() {
  SharedThreadsRegistry& registry = Registry();
  SharedThreadsRegistry::ScLock lock(registry.mLock, "CleanupAllSharedThreads");
  for (const boost::shared_ptr<AsyncThreadedExecutor>& executor : registry.mIdleTemporaries) {
    executor->Resume();
    executor->Terminate();
  }
  registry.mIdleTemporaries.clear();
}

boost::function<void()> MakeFunctionToCleanupSharedVoidPtr(boost::shared_ptr<void>& ioPointer) {
  const boost::shared_ptr<SharedVoidPtrHolder> holder(new SharedVoidPtrHolder(ioPointer));
  return [holder] { holder->Release(); };
}

}  // namespace threads
}  // namespace basalt
