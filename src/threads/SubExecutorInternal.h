// The machinery behind the sub-executors of basalt/threads/SubExecutor.h: the
// lock-free FIFO and LIFO that hold queued functions, the record of one queued
// function, and the implementation object shared by the front object and by
// every dispatch in flight on the parent.
//
// The containers link nodes by 32-bit index, never by address, and stamp
// every head with a version that each change increments, so a compare-and-
// swap that raced with pops and pushes fails instead of installing a stale
// link (ABA). Nodes live in segments owned by the container and are recycled
// through its own free list but never freed while it exists, so a thread that
// reads a node another thread has just taken reads valid memory, and only its
// compare-and-swap fails. Every field shared between threads is atomic.
#ifndef BASALT_THREADS_SUBEXECUTORINTERNAL_H
#define BASALT_THREADS_SUBEXECUTORINTERNAL_H

#include <basalt/threads/AsyncExecutor.h>
#include <basalt/threads/SyncPrimitives.h>

#include "threads/ContinuationInternal.h"
#include <basalt/utility/SmallBlockAllocator.h>

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <new>

namespace basalt {
namespace threads {
namespace internal {

// ---------------------------------------------------------------------------
// Node storage shared by the containers below.
// ---------------------------------------------------------------------------
class NodeArena {
public:
  static constexpr std::uint32_t kNil = 0xFFFFFFFFu;

  struct Node {
    std::atomic<std::uint64_t> mLink{Tag(kNil, 0)};  // successor in a queue, stamped
    std::atomic<std::uint32_t> mStackLink{kNil};     // successor on a stack
    std::atomic<void*> mValue{nullptr};
  };

  // A stamped index: the index in the low half, the version in the high half.
  static std::uint64_t Tag(std::uint32_t inIndex, std::uint32_t inVersion) noexcept {
    return static_cast<std::uint64_t>(inVersion) << 32 | inIndex;
  }
  static std::uint32_t IndexOf(std::uint64_t inTagged) noexcept { return static_cast<std::uint32_t>(inTagged); }
  static std::uint32_t VersionOf(std::uint64_t inTagged) noexcept {
    return static_cast<std::uint32_t>(inTagged >> 32);
  }

  NodeArena() noexcept : mFree(Tag(kNil, 0)), mFresh(0) {
    for (std::atomic<Node*>& segment : mSegments) segment.store(nullptr, std::memory_order_relaxed);
  }
  ~NodeArena() {
    for (unsigned k = 0; k < kSegmentCount; ++k) {
      if (Node* segment = mSegments[k].load(std::memory_order_relaxed))
        utility::SmallBlockAllocator::Dispose(segment, SegmentBytes(k));
    }
  }
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;

  // A node that no operation of the owning container refers to any more.
  // Throws std::bad_alloc when no memory can be had.
  std::uint32_t Acquire() {
    const std::uint32_t recycled = PopStack(mFree);
    if (recycled != kNil) return recycled;
    const std::uint64_t fresh = mFresh.fetch_add(1, std::memory_order_relaxed);
    if (fresh >= kCapacity) throw std::bad_alloc();
    const std::uint32_t index = static_cast<std::uint32_t>(fresh);
    unsigned segment;
    std::uint32_t offset;
    Locate(index, segment, offset);
    // Whoever first needs a segment makes it; a loser of the race drops its own.
    if (mSegments[segment].load(std::memory_order_acquire) == nullptr) {
      void* memory = utility::SmallBlockAllocator::Allocate(SegmentBytes(segment));
      Node* nodes = static_cast<Node*>(memory);
      for (std::size_t i = 0, n = std::size_t{kFirstSegmentSize} << segment; i < n; ++i) new (nodes + i) Node();
      Node* expected = nullptr;
      if (!mSegments[segment].compare_exchange_strong(expected, nodes, std::memory_order_acq_rel))
        utility::SmallBlockAllocator::Dispose(memory, SegmentBytes(segment));
    }
    return index;
  }

  void Release(std::uint32_t inIndex) noexcept { PushStack(mFree, inIndex); }

  Node& At(std::uint32_t inIndex) const noexcept {
    unsigned segment;
    std::uint32_t offset;
    Locate(inIndex, segment, offset);
    return mSegments[segment].load(std::memory_order_acquire)[offset];
  }

  // A Treiber stack of this arena's nodes, linked through mStackLink.
  void PushStack(std::atomic<std::uint64_t>& ioHead, std::uint32_t inIndex) noexcept {
    Node& node = At(inIndex);
    std::uint64_t head = ioHead.load(std::memory_order_relaxed);
    do {
      node.mStackLink.store(IndexOf(head), std::memory_order_relaxed);
    } while (!ioHead.compare_exchange_weak(head, Tag(inIndex, VersionOf(head) + 1), std::memory_order_release,
                                           std::memory_order_relaxed));
  }

  // kNil when the stack is empty.
  std::uint32_t PopStack(std::atomic<std::uint64_t>& ioHead) noexcept {
    std::uint64_t head = ioHead.load(std::memory_order_acquire);
    while (IndexOf(head) != kNil) {
      // The node may have been popped and reused since head was read; its link
      // is then stale, and the stamp makes the exchange below fail.
      const std::uint32_t next = At(IndexOf(head)).mStackLink.load(std::memory_order_relaxed);
      if (ioHead.compare_exchange_weak(head, Tag(next, VersionOf(head) + 1), std::memory_order_acquire,
                                       std::memory_order_acquire))
        return IndexOf(head);
    }
    return kNil;
  }

private:
  // Segment k holds kFirstSegmentSize << k nodes, so 27 segments cover every
  // index below kNil and a container that never holds much stays small.
  static constexpr unsigned kFirstSegmentBits = 5;
  static constexpr std::uint32_t kFirstSegmentSize = 1u << kFirstSegmentBits;
  static constexpr unsigned kSegmentCount = 27;
  static constexpr std::uint64_t kCapacity = (std::uint64_t{kFirstSegmentSize} << kSegmentCount) - kFirstSegmentSize;
  static_assert(kCapacity <= kNil, "every index must differ from kNil");

  static std::size_t SegmentBytes(unsigned inSegment) noexcept {
    return sizeof(Node) * (std::size_t{kFirstSegmentSize} << inSegment);
  }
  static void Locate(std::uint32_t inIndex, unsigned& outSegment, std::uint32_t& outOffset) noexcept {
    // Segments 0..k-1 hold kFirstSegmentSize * (2^k - 1) nodes together.
    const std::uint64_t q = (std::uint64_t{inIndex} >> kFirstSegmentBits) + 1;
    outSegment = static_cast<unsigned>(63 - __builtin_clzll(q));
    outOffset = inIndex - static_cast<std::uint32_t>(kFirstSegmentSize * ((std::uint64_t{1} << outSegment) - 1));
  }

  std::atomic<std::uint64_t> mFree;   // stamped head of the free list
  std::atomic<std::uint64_t> mFresh;  // next never-used index
  std::atomic<Node*> mSegments[kSegmentCount];
};

// Multi-producer, multi-consumer FIFO of pointers: the queue of Michael and
// Scott with stamped links. Null cannot be stored; Pop returns it for empty.
class LockFreeQueue {
public:
  LockFreeQueue() {
    const std::uint32_t dummy = mArena.Acquire();
    mHead.store(NodeArena::Tag(dummy, 0), std::memory_order_relaxed);
    mTail.store(NodeArena::Tag(dummy, 0), std::memory_order_relaxed);
  }
  LockFreeQueue(const LockFreeQueue&) = delete;
  LockFreeQueue& operator=(const LockFreeQueue&) = delete;

  // Throws std::bad_alloc when no node can be had; the queue is then unchanged.
  void Push(void* inValue) {
    using A = NodeArena;
    const std::uint32_t index = mArena.Acquire();
    A::Node& node = mArena.At(index);
    node.mValue.store(inValue, std::memory_order_relaxed);
    // A recycled node keeps counting its link's versions, so a late producer
    // still holding the old link value cannot append to it.
    const std::uint64_t oldLink = node.mLink.load(std::memory_order_relaxed);
    node.mLink.store(A::Tag(A::kNil, A::VersionOf(oldLink) + 1), std::memory_order_relaxed);
    for (;;) {
      std::uint64_t tail = mTail.load(std::memory_order_acquire);
      A::Node& last = mArena.At(A::IndexOf(tail));
      std::uint64_t next = last.mLink.load(std::memory_order_acquire);
      if (tail != mTail.load(std::memory_order_acquire)) continue;
      if (A::IndexOf(next) == A::kNil) {
        if (last.mLink.compare_exchange_weak(next, A::Tag(index, A::VersionOf(next) + 1), std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
          mTail.compare_exchange_strong(tail, A::Tag(index, A::VersionOf(tail) + 1), std::memory_order_acq_rel,
                                        std::memory_order_relaxed);
          return;
        }
      } else {
        // The tail lags behind: help it along before trying again.
        mTail.compare_exchange_strong(tail, A::Tag(A::IndexOf(next), A::VersionOf(tail) + 1),
                                      std::memory_order_acq_rel, std::memory_order_relaxed);
      }
    }
  }

  void* Pop() noexcept {
    using A = NodeArena;
    for (;;) {
      std::uint64_t head = mHead.load(std::memory_order_acquire);
      std::uint64_t tail = mTail.load(std::memory_order_acquire);
      const std::uint64_t next = mArena.At(A::IndexOf(head)).mLink.load(std::memory_order_acquire);
      if (head != mHead.load(std::memory_order_acquire)) continue;
      if (A::IndexOf(next) == A::kNil) {
        if (A::IndexOf(head) == A::IndexOf(tail)) return nullptr;
        continue;  // a stale read; cannot happen while head stayed put
      }
      if (A::IndexOf(head) == A::IndexOf(tail)) {
        mTail.compare_exchange_strong(tail, A::Tag(A::IndexOf(next), A::VersionOf(tail) + 1),
                                      std::memory_order_acq_rel, std::memory_order_relaxed);
        continue;
      }
      // Read before the exchange: afterwards the node belongs to whoever pops
      // it next. A value read from a node taken meanwhile is discarded.
      void* value = mArena.At(A::IndexOf(next)).mValue.load(std::memory_order_relaxed);
      if (mHead.compare_exchange_weak(head, A::Tag(A::IndexOf(next), A::VersionOf(head) + 1),
                                      std::memory_order_acq_rel, std::memory_order_relaxed)) {
        mArena.Release(A::IndexOf(head));  // the old dummy; next is the new one
        return value;
      }
    }
  }

private:
  NodeArena mArena;
  std::atomic<std::uint64_t> mHead;  // the dummy node; values follow it
  std::atomic<std::uint64_t> mTail;
};

// Multi-producer, multi-consumer LIFO of pointers: a Treiber stack. Null
// cannot be stored; Pop returns it for empty.
class LockFreeStack {
public:
  LockFreeStack() noexcept : mHead(NodeArena::Tag(NodeArena::kNil, 0)) {}
  LockFreeStack(const LockFreeStack&) = delete;
  LockFreeStack& operator=(const LockFreeStack&) = delete;

  // Throws std::bad_alloc when no node can be had; the stack is then unchanged.
  void Push(void* inValue) {
    const std::uint32_t index = mArena.Acquire();
    mArena.At(index).mValue.store(inValue, std::memory_order_relaxed);
    mArena.PushStack(mHead, index);
  }

  void* Pop() noexcept {
    const std::uint32_t index = mArena.PopStack(mHead);
    if (index == NodeArena::kNil) return nullptr;
    void* value = mArena.At(index).mValue.load(std::memory_order_relaxed);
    mArena.Release(index);
    return value;
  }

private:
  NodeArena mArena;
  std::atomic<std::uint64_t> mHead;
};

// ---------------------------------------------------------------------------
// Sub-executor implementation.
// ---------------------------------------------------------------------------
struct AllocatedFunctionWithSerialNumber
    : public utility::SmallBlockAllocator::Allocated<AllocatedFunctionWithSerialNumber> {
  explicit AllocatedFunctionWithSerialNumber(const boost::function<void()>& inFunction) : mFunction(inFunction) {}
  boost::function<void()> mFunction;
  std::uint64_t mSerialNumber = 0;
};

// The containers of queued records, by the order in which they hand them out.
template <class Base>
class RecordContainer {
public:
  void Push(AllocatedFunctionWithSerialNumber* inRecord) { mItems.Push(inRecord); }
  AllocatedFunctionWithSerialNumber* Pop() noexcept {
    return static_cast<AllocatedFunctionWithSerialNumber*>(mItems.Pop());
  }

private:
  Base mItems;
};
using ThreadSafeQueue = RecordContainer<LockFreeQueue>;
using ThreadSafeStack = RecordContainer<LockFreeStack>;

// Shared by the front object, by every dispatch posted to the parent and
// (weakly) by delayed calls. Every field below mMutex is guarded by it; the
// parent is only ever called with the mutex released.
template <class Container>
class SubExecutorImpl : public boost::enable_shared_from_this<SubExecutorImpl<Container>> {
public:
  SubExecutorImpl(const boost::shared_ptr<AsyncExecutor>& inParent, int inConcurrency);
  SubExecutorImpl(const SubExecutorImpl&) = delete;
  SubExecutorImpl& operator=(const SubExecutorImpl&) = delete;

  // Runs one function; the wrapping variant calls its wrapper instead.
  virtual void Execute(const boost::function<void()>& inFunction);
  virtual ~SubExecutorImpl();

  bool CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs);
  int ThreadCount() const noexcept { return mConcurrency; }
  void Terminate();
  bool IsTerminated();
  bool IsCurrentThreadExecutorThread();
  void Flush();
  void Pause();
  void Resume();
  // Returns once every serial number up to inSerial has been retired.
  void WaitUntilUpToThisFunctionIsRetired(std::uint64_t inSerial);

  // Entry points of what is posted to the parent.
  void OnThreadExecute();
  void OnThreadDelayedExecute(std::uint64_t inKey);

private:
  using Parent = boost::shared_ptr<AsyncExecutor>;
  template <class K, class V>
  using Map = std::map<K, V, std::less<K>, utility::SmallBlockAllocator::STLAllocator<std::pair<const K, V>>>;
  struct Waiter {
    unsigned int mThreadID;
    Gate* mGate;
  };
  using WaiterMap =
      std::multimap<std::uint64_t, Waiter, std::less<std::uint64_t>,
                    utility::SmallBlockAllocator::STLAllocator<std::pair<const std::uint64_t, Waiter>>>;
  using DelayedMap = Map<std::uint64_t, boost::function<void()>>;

  // Each of these needs mMutex held.
  int DecideDispatches(int inWanted, Parent& outParent);
  void Retire(std::uint64_t inSerial);
  void AddRunningThread(unsigned int inThreadID);
  void RemoveRunningThread(unsigned int inThreadID) noexcept;
  // After a Flush of the terminated sub-executor, hands the parent to the
  // caller (to release once unlocked) as soon as nothing is queued or running.
  void ReleaseParentIfIdle(Parent& outReleased) noexcept;

  // Mutex released. Posts inCount dispatches to inParent and undoes the
  // bookkeeping of those the parent refuses or fails to take.
  bool PostDispatches(const Parent& inParent, int inCount);
  // The parent refused work for good: no new call can run, so the sub-executor
  // terminates, and once nothing is in flight the queue is dropped, its serials
  // retired so that no Flush waits for them forever.
  void OnParentRefused(int inUnpostedDispatches);
  // Mutex released. Drops whatever is queued once the parent is gone for good,
  // retiring the serials; functions are released before their serials retire.
  void DropQueued();
  // Runs a function that holds a serial and a running slot, then gives both
  // back and clears the function. Returns the record this thread is to run
  // next in the same slot (see FinishRun), else null.
  AllocatedFunctionWithSerialNumber* RunAndRetire(boost::function<void()>& ioFunction, std::uint64_t inSerial,
                                                  const char* inSite);
  AllocatedFunctionWithSerialNumber* FinishRun(boost::function<void()>& ioFunction, std::uint64_t inSerial,
                                               const char* inSite, bool inMayContinue);
  // Runs inRecord and whatever records the runs hand on; the thread holds a
  // running slot and is among the running threads.
  void RunRecords(AllocatedFunctionWithSerialNumber* inRecord);

  RecursiveMutex mMutex;
  const int mConcurrency;
  Parent mParent;
  // The parent's answer to whether a dispatch may run in place (null when the
  // parent cannot tell); valid while mParent is set.
  IInlineContinuation* const mInline;
  bool mPaused = false;
  // Read without the mutex by CallAsynchronously, as a first check only.
  std::atomic<bool> mTerminated{false};
  bool mReleaseParentWhenIdle = false;
  // Threads in one of our functions; a thread appears once per nesting level.
  utility::SmallBlockAllocator::vector<unsigned int> mRunningThreads;
  Container mQueue;
  int mUnstartedDispatches = 0;  // of the running dispatches, those that have not taken a record yet
  DelayedMap mDelayed;
  std::uint64_t mLastDelayedKey = 0;
  Map<std::uint64_t, std::uint64_t> mRetired;  // first -> last serial of each finished run
  WaiterMap mWaiters;

  // A call without delay queues its record without the mutex: it takes a
  // serial, pushes the record, and counts it with one atomic addition that
  // also tells it how many runs are going on. A run that finishes lowers its
  // count in the same word and decides the next dispatch under the mutex; of
  // the two changes to the word, the later one sees the earlier, so either
  // the finishing run sees the record or the caller sees the free slot and
  // decides under the mutex. Under the mutex the queued count never exceeds
  // the records in the queue; records dropped while their callers had not
  // counted them yet can make it negative for a moment.
  //   bits 0..31   runs: dispatches posted and not finished, and delayed
  //                functions running
  //   bits 32..63  records queued (signed)
  static constexpr std::uint64_t kQueuedOne = std::uint64_t(1) << 32;
  int Running() const noexcept { return static_cast<int>(static_cast<std::uint32_t>(mCounts.load())); }
  int Queued() const noexcept { return static_cast<std::int32_t>(static_cast<std::uint32_t>(mCounts.load() >> 32)); }
  void AddRunning(int inDelta) noexcept {
    mCounts.fetch_add(static_cast<std::uint64_t>(static_cast<std::int64_t>(inDelta)));
  }
  void AddQueued(int inDelta) noexcept {
    mCounts.fetch_add(static_cast<std::uint64_t>(static_cast<std::int64_t>(inDelta)) << 32);
  }

  // Callers touch these on every call; kept off the lines the runs write.
  char mPadding1[64];
  std::atomic<std::uint64_t> mCounts{0};
  char mPadding2[64];
  std::atomic<std::uint64_t> mLastSerial{0};
  char mPadding3[64];
};

template <class Container>
class SubExecutorWithFnWrapperImpl : public SubExecutorImpl<Container> {
public:
  SubExecutorWithFnWrapperImpl(const boost::shared_ptr<AsyncExecutor>& inParent, int inConcurrency,
                               const boost::function<void(const boost::function<void()>&)>& inWrapper)
      : SubExecutorImpl<Container>(inParent, inConcurrency), mWrapper(inWrapper) {}

  void Execute(const boost::function<void()>& inFunction) override { mWrapper(inFunction); }

private:
  const boost::function<void(const boost::function<void()>&)> mWrapper;
};

extern template class SubExecutorImpl<ThreadSafeQueue>;
extern template class SubExecutorImpl<ThreadSafeStack>;

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_SUBEXECUTORINTERNAL_H
