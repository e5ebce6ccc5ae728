#include <basalt/utility/SmallBlockAllocator.h>

#include "utility/ContractInternal.h"
#include "utility/SmallBlockAllocatorInternal.h"
#include "utility/VirtualMemoryInternal.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <set>
#include <type_traits>
#include <unordered_map>

#define BSL_LIKELY(x) __builtin_expect(!!(x), 1)

namespace basalt {
namespace utility {
namespace SmallBlockAllocator {
namespace internal {
namespace {

namespace vm = ::basalt::utility::internal;

// std::bad_alloc whose what() is the library's own text.
class bad_allocation final : public std::bad_alloc {
public:
  const char* what() const noexcept override { return "bad allocation"; }
};

[[noreturn]] void ThrowBadAllocation() { throw bad_allocation(); }

enum : int { kInitNotStarted = 0, kInitInProgress = 1, kInitDone = 2 };

std::atomic<int> sInitState{kInitNotStarted};
// Threads inside ScSimulateInitialisationInProgress; while non-zero the fast
// route check falls through to the per-thread flag.
std::atomic<int> sSimulatingThreads{0};
thread_local int tSimulationDepth = 0;
std::atomic<int> sFailSystemMemory{0};

AllocatorInterface* sSizeTable[kLargestTableSize + 1];
AllocatorInterface* sSmallChunkClass;   // the 4160 class
AllocatorInterface* sMediumChunkClass;  // the 66624 class
AllocatorInterface* sClassesBySize[kClassCount];
// The size table again, as indices into sClassesBySize, which are also the
// indices of a thread cache's bins; 4160 maps to the 4160 class.
std::uint8_t sClassIndexForSize[kLargestTableSize + 1];
// Per class, how many blocks a thread cache keeps; 0 for the classes whose
// blocks are not cached.
std::uint32_t sThreadCacheLimits[kClassCount];
static_assert(kClassCount <= 256, "class indices fit a byte");

// Blocks up to 8192 bytes that the system route handed out while the classes
// were not ready and that have not come back yet. While there are any, a
// disposed block may be one of them and has to be shown to its class before
// anything else is done with it; otherwise, given the size it was allocated
// with, it is a block of that class.
std::atomic<std::ptrdiff_t> sSmallSystemBlocks{0};

// ---------------------------------------------------------------------------
// The system route.
// ---------------------------------------------------------------------------

void* AllocateVirtualMemory(std::size_t inSize) noexcept {
  if (sFailSystemMemory.load(std::memory_order_relaxed) != 0) return nullptr;
  return vm::AllocateVirtualMemory(inSize);
}

void* AllocateFromSystem(std::size_t inSize) noexcept {
  void* block = nullptr;
  if (inSize >= kLargestTableSize)
    block = AllocateVirtualMemory(inSize);
  else if (sFailSystemMemory.load(std::memory_order_relaxed) == 0)
    block = vm::AllocateAlignedHeap(inSize);
  if (block != nullptr && inSize <= kLargestTableSize) sSmallSystemBlocks.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void ForgetNoThrowBlock(void* inPointer) noexcept;
std::atomic<std::size_t> sNoThrowBlockCount{0};

void FreeToSystem(void* inPointer, std::size_t inSize) noexcept {
  if (sNoThrowBlockCount.load(std::memory_order_relaxed) != 0) ForgetNoThrowBlock(inPointer);
  if (inSize <= kLargestTableSize) sSmallSystemBlocks.fetch_sub(1, std::memory_order_relaxed);
  if (inSize >= kLargestTableSize)
    vm::FreeVirtualMemory(inPointer, inSize);
  else
    vm::FreeAlignedHeap(inPointer);
}

// ---------------------------------------------------------------------------
// Freed 932800-byte chunks waiting for reuse.
// ---------------------------------------------------------------------------

// Freeing a batch of blocks empties many chunks at once, and a program that
// does it once tends to do it again soon. Unmapped, every page of those chunks
// would fault in again on the next round, at a cost far above that of the
// allocations themselves; kept with their pages offered back to the kernel,
// they are reused for little. The cache is a leaf: no other lock is taken
// while its lock is held.
class LargeChunkCache {
public:
  constexpr LargeChunkCache() noexcept = default;

  // The most recently kept chunk, or null.
  void* Take() noexcept {
    std::lock_guard<std::mutex> guard(mLock);
    return mCount == 0 ? nullptr : mChunks[--mCount];
  }

  bool HasRoom() noexcept {
    std::lock_guard<std::mutex> guard(mLock);
    return mCount < kLargeChunkCacheLimit;
  }

  // False when the cache is full.
  bool Keep(void* inChunk) noexcept {
    std::lock_guard<std::mutex> guard(mLock);
    if (mCount == kLargeChunkCacheLimit) return false;
    mChunks[mCount++] = inChunk;
    return true;
  }

  std::vector<const void*> List() {
    std::lock_guard<std::mutex> guard(mLock);
    return std::vector<const void*>(mChunks, mChunks + mCount);
  }

private:
  std::mutex mLock;
  void* mChunks[kLargeChunkCacheLimit] = {};
  std::size_t mCount = 0;
};
// Constant-initialised and never destroyed, so usable during static
// construction and destruction alike.
static_assert(std::is_trivially_destructible<LargeChunkCache>::value, "no exit-time destructor");
LargeChunkCache sLargeChunkCache;

// ---------------------------------------------------------------------------
// Size classes.
// ---------------------------------------------------------------------------

// Where a class's chunks come from and go back to. The route is the one
// Allocate(inChunkSize) takes once initialised, called directly so that a
// thread inside ScSimulateInitialisationInProgress still builds real chunks.
void* AllocateChunkMemory(std::size_t inChunkSize) {
  if (inChunkSize == kSmallChunkSize) return sSmallChunkClass->Allocate(inChunkSize);
  if (inChunkSize == kMediumChunkSize) return sMediumChunkClass->Allocate(inChunkSize);
  void* memory = nullptr;
  if (sFailSystemMemory.load(std::memory_order_relaxed) == 0) memory = sLargeChunkCache.Take();
  if (memory == nullptr) memory = AllocateVirtualMemory(inChunkSize);
  if (memory == nullptr) ThrowBadAllocation();
  return memory;
}

void FreeChunkMemory(void* inChunk, std::size_t inChunkSize) {
  if (inChunkSize == kSmallChunkSize) {
    sSmallChunkClass->Dispose(inChunk, inChunkSize);
  } else if (inChunkSize == kMediumChunkSize) {
    sMediumChunkClass->Dispose(inChunk, inChunkSize);
  } else {
    // Discarded before it is kept: once in the cache another thread may take
    // it and write to it at any moment.
    if (sLargeChunkCache.HasRoom() && vm::DiscardVirtualMemory(inChunk, inChunkSize) &&
        sLargeChunkCache.Keep(inChunk))
      return;
    vm::FreeVirtualMemory(inChunk, inChunkSize);
  }
}

// Everything of a class that does not depend on its block size at compile
// time: the slow paths and the bookkeeping. Aligned to a cache line so that
// the hot words of neighbouring classes do not share one.
class alignas(64) ManagerCore : public AllocatorInterface {
public:
  ClassSnapshot TakeSnapshot() {
    std::lock_guard<std::recursive_mutex> guard(mManagerLock);
    ClassSnapshot snapshot;
    snapshot.mPublished = mPublishedState == &mState;
    // Unpublished, nobody else moves the lists and counts while they are read.
    ScUnpublish unpublished(*this);
    snapshot.mBlockSize = mBlockSize;
    snapshot.mTotalChunkBytes = mTotalChunkBytes;
    snapshot.mFreeBlockCount = 0;
    snapshot.mCurrentChunk = mState.mCurrentChunk;
    for (ChunkHeader* chunk : mState.mChunks) {
      const std::uint64_t listed = CountListedBlocks(*chunk);
      snapshot.mFreeBlockCount += listed;
      snapshot.mChunks.push_back(ChunkInfo{chunk, chunk->mChunkSize, chunk->mBlockSize, chunk->mBlockCount,
                                           chunk->mUsedCount.load(std::memory_order_relaxed), listed});
    }
    return snapshot;
  }

protected:
  // The fields the fast paths read while the state is published. The class's
  // count of free blocks is not among them: keeping it up to date would cost
  // every allocation and disposal one more atomic operation, and only a
  // reorganisation needs it, when it can be summed from the chunks.
  struct State {
    ChunkHeader* mCurrentChunk = nullptr;
    std::vector<ChunkHeader*> mChunks;
    std::set<std::uintptr_t> mChunksByAddress;
  };

  // Unpublishes for its lifetime, so that fast paths in other threads stay
  // off the state; republishes on the way out, also when an exception leaves.
  class ScUnpublish {
  public:
    explicit ScUnpublish(ManagerCore& inManager) noexcept : mManager(inManager) { mManager.Publish(nullptr); }
    ~ScUnpublish() { mManager.Publish(&mManager.mState); }
    ScUnpublish(const ScUnpublish&) = delete;
    ScUnpublish& operator=(const ScUnpublish&) = delete;

  private:
    ManagerCore& mManager;
  };

  ManagerCore(std::size_t inBlockSize, std::size_t inChunkSize, std::size_t inNextChunkSize)
      : mBlockSize(inBlockSize), mChunkSize(inChunkSize), mNextChunkSize(inNextChunkSize) {
    mState.mChunks.reserve(256);
    mPublishedState = &mState;
  }

  void Publish(State* inState) noexcept {
    mStateLock.LockExclusive();
    mPublishedState = inState;
    mStateLock.UnlockExclusive();
  }

  // Takes up to inMax blocks from inChunk, the top of its list first.
  BSL_INTERNAL_ALWAYS_INLINE static std::size_t TakeFrom(ChunkHeader* inChunk, std::size_t inBlockSize,
                                                         std::size_t inMax, void** outBlocks) noexcept {
    const std::size_t count = inChunk->PopBlocks(inBlockSize, inMax, outBlocks);
    if (count != 0) inChunk->mUsedCount.fetch_add(count, std::memory_order_relaxed);
    return count;
  }

  // The length of the chunk's free list, walked; stops after more links than
  // the chunk has blocks, which only a broken list has.
  static std::uint64_t CountListedBlocks(ChunkHeader& inChunk) noexcept {
    std::uint64_t count = 0;
    std::uint64_t link = inChunk.mFreeListHead.load(std::memory_order_acquire) & ChunkHeader::kIndexMask;
    while (link != 0 && link <= inChunk.mBlockCount && count <= inChunk.mBlockCount) {
      ++count;
      link = inChunk.NextLink(link, inChunk.mBlockSize);
    }
    return count;
  }

  // Exact while the state is unpublished, when no fast path moves the counts.
  std::uint64_t FreeBlockCount() const noexcept {
    std::uint64_t free = 0;
    for (const ChunkHeader* chunk : mState.mChunks)
      free += chunk->mBlockCount - chunk->mUsedCount.load(std::memory_order_relaxed);
    return free;
  }

  // The lock-free path: up to inMax blocks from the current chunk, or 0 when
  // it cannot serve. inBlockSize is mBlockSize.
  BSL_INTERNAL_ALWAYS_INLINE std::size_t TryTakeFast(std::size_t inBlockSize, std::size_t inMax,
                                                     void** outBlocks) noexcept {
    if (!mStateLock.TryLockShared()) return 0;
    std::size_t count = 0;
    if (State* state = mPublishedState)
      if (ChunkHeader* chunk = state->mCurrentChunk) count = TakeFrom(chunk, inBlockSize, inMax, outBlocks);
    mStateLock.UnlockShared();
    return count;
  }

  std::size_t TakeBlocksSlow(std::size_t inMax, void** outBlocks) {
    std::lock_guard<std::recursive_mutex> guard(mManagerLock);
    if (const std::size_t count = TryTakeFast(mBlockSize, inMax, outBlocks)) return count;
    ScUnpublish unpublished(*this);
    std::vector<ChunkHeader*>& chunks = mState.mChunks;
    if (FreeBlockCount() != 0) {
      SortChunksByUse();
      // The least used chunk first. Chunks of a class differ in size, so the
      // least used one may be full while a larger one has room: look further
      // before growing, or those free blocks would never be reused.
      for (auto it = chunks.rbegin(); it != chunks.rend(); ++it) {
        if (const std::size_t count = TakeFrom(*it, mBlockSize, inMax, outBlocks)) {
          mState.mCurrentChunk = *it;
          return count;
        }
      }
    }
    ChunkHeader* chunk = AddChunk();
    mState.mCurrentChunk = chunk;
    return TakeFrom(chunk, mBlockSize, inMax, outBlocks);
  }

public:
  // Between 1 and inMax blocks of one chunk, in the order its list holds
  // them. Throws std::bad_alloc when the class has no free block and cannot
  // grow.
  std::size_t TakeBlocks(std::size_t inMax, void** outBlocks) {
    if (const std::size_t count = TryTakeFast(mBlockSize, inMax, outBlocks)) return count;
    return TakeBlocksSlow(inMax, outBlocks);
  }

  // Takes back blocks that a thread's cache held, inBlocks[0] to be handed out
  // first again; at most kThreadCacheMaxBlocks of them. Neighbours in the
  // same chunk go back with one push and one count update.
  void GiveBackBlocks(void* const* inBlocks, std::size_t inCount) noexcept {
    bool releaseDue = false;
    bool published = false;
    if (mStateLock.TryLockShared()) {
      if (State* state = mPublishedState) {
        published = true;
        GiveBackAll(*state, inBlocks, inCount, releaseDue);
      }
      mStateLock.UnlockShared();
    }
    if (!published) {
      std::lock_guard<std::recursive_mutex> guard(mManagerLock);
      GiveBackAll(mState, inBlocks, inCount, releaseDue);
    }
    if (releaseDue) ReleaseFreeChunks();
  }

protected:
  // A class starts with small chunks and grows them with its total.
  std::size_t NextChunkSize() const noexcept {
    if (mTotalChunkBytes < mNextChunkSize) return mChunkSize;
    if (mTotalChunkBytes < kLargeChunkSize) return mNextChunkSize;
    return kLargeChunkSize;
  }

  ChunkHeader* AddChunk() {
    const std::size_t chunkSize = NextChunkSize();
    std::vector<ChunkHeader*>& chunks = mState.mChunks;
    void* memory = nullptr;
    try {
      if (chunks.size() == chunks.capacity()) chunks.reserve(chunks.size() * 2);
      memory = AllocateChunkMemory(chunkSize);
      mState.mChunksByAddress.insert(reinterpret_cast<std::uintptr_t>(memory));
    } catch (const std::bad_alloc&) {
      if (memory != nullptr) FreeChunkMemory(memory, chunkSize);
      ThrowBadAllocation();
    }
    ChunkHeader* chunk = new (memory) ChunkHeader(chunkSize, mBlockSize);
    chunks.push_back(chunk);
    mTotalChunkBytes += chunkSize;
    return chunk;
  }

  // Most used first, so the least used chunk is the last one. Called only
  // while unpublished, when no other thread moves the counts.
  void SortChunksByUse() {
    std::sort(mState.mChunks.begin(), mState.mChunks.end(), [](const ChunkHeader* inA, const ChunkHeader* inB) {
      return inA->mUsedCount.load(std::memory_order_relaxed) > inB->mUsedCount.load(std::memory_order_relaxed);
    });
  }

  // Returns every entirely free chunk but the last to where it came from.
  void ReleaseFreeChunks() {
    std::lock_guard<std::recursive_mutex> guard(mManagerLock);
    ScUnpublish unpublished(*this);
    std::vector<ChunkHeader*>& chunks = mState.mChunks;
    if (chunks.size() < 2) return;
    SortChunksByUse();
    mState.mCurrentChunk = chunks.back();
    while (chunks.size() > 1 && chunks.back()->mUsedCount.load(std::memory_order_relaxed) == 0) {
      ChunkHeader* chunk = chunks.back();
      const std::size_t chunkSize = chunk->mChunkSize;
      chunks.pop_back();
      mState.mChunksByAddress.erase(reinterpret_cast<std::uintptr_t>(chunk));
      mTotalChunkBytes -= chunkSize;
      if (mState.mCurrentChunk == chunk) mState.mCurrentChunk = nullptr;
      chunk->~ChunkHeader();
      FreeChunkMemory(chunk, chunkSize);
    }
  }

  // Whether inPointer is the start of a block of inChunk; if so, outLink is
  // the block's index plus one. A pointer that is inside a chunk but not on a
  // block boundary belongs to another class whose chunk this one's block is.
  BSL_INTERNAL_ALWAYS_INLINE static bool IsBlockOf(const ChunkHeader* inChunk, const void* inPointer,
                                                   std::size_t inBlockSize, std::uint64_t& outLink) noexcept {
    const std::uintptr_t offset =
        reinterpret_cast<std::uintptr_t>(inPointer) - reinterpret_cast<std::uintptr_t>(inChunk);
    if (offset < kChunkHeaderSize || offset >= inChunk->mChunkSize) return false;
    if ((offset - kChunkHeaderSize) % inBlockSize != 0) return false;
    const std::uint64_t index = (offset - kChunkHeaderSize) / inBlockSize;
    if (index >= inChunk->mBlockCount) return false;
    outLink = index + 1;
    return true;
  }

  // The chunk holding inPointer as the start of one of its blocks, and the
  // block's link; null when the class does not own it. inBlockSize is
  // mBlockSize, a constant where the caller knows it.
  BSL_INTERNAL_ALWAYS_INLINE static ChunkHeader* FindOwner(State& inState, const void* inPointer,
                                                           std::size_t inBlockSize, std::uint64_t& outLink) noexcept {
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(inPointer);
    std::uintptr_t chunk = reinterpret_cast<std::uintptr_t>(inState.mCurrentChunk);
    if (chunk == 0 || address < chunk || address - chunk >= inState.mCurrentChunk->mChunkSize) {
      const auto it = inState.mChunksByAddress.upper_bound(address);
      if (it == inState.mChunksByAddress.begin()) return nullptr;
      chunk = *std::prev(it);
    }
    ChunkHeader* owner = reinterpret_cast<ChunkHeader*>(chunk);
    return IsBlockOf(owner, inPointer, inBlockSize, outLink) ? owner : nullptr;
  }

  // Takes a block back into inState; false when it is not the class's.
  template <std::size_t kBlockSize>
  BSL_INTERNAL_ALWAYS_INLINE static bool GiveBack(State& inState, void* inPointer, bool& outReleaseDue) noexcept {
    std::uint64_t link = 0;
    ChunkHeader* owner = FindOwner(inState, inPointer, kBlockSize, link);
    if (owner == nullptr) return false;
    owner->PushBlock(inPointer, link);
    if (owner->mUsedCount.fetch_sub(1, std::memory_order_relaxed) == 1 && inState.mChunks.size() > 1)
      outReleaseDue = true;
    return true;
  }

  void GiveBackAll(State& inState, void* const* inBlocks, std::size_t inCount, bool& ioReleaseDue) noexcept {
    std::uint64_t links[kThreadCacheMaxBlocks];
    std::size_t first = 0;
    while (first < inCount) {
      ChunkHeader* owner = FindOwner(inState, inBlocks[first], mBlockSize, links[first]);
      if (owner == nullptr) {
        // Only a block disposed of with the size of another class gets here;
        // its true owner is unknown, so it is left alone rather than put on a
        // list it does not belong to.
        ++first;
        continue;
      }
      std::size_t end = first + 1;
      while (end < inCount && IsBlockOf(owner, inBlocks[end], mBlockSize, links[end])) ++end;
      const std::uint64_t count = end - first;
      owner->PushBlocks(inBlocks + first, links + first, count);
      if (owner->mUsedCount.fetch_sub(count, std::memory_order_relaxed) == count && inState.mChunks.size() > 1)
        ioReleaseDue = true;
      first = end;
    }
  }

  template <std::size_t kBlockSize>
  bool DisposeBlock(void* inPointer) {
    bool releaseDue = false;
    bool published = false;
    if (mStateLock.TryLockShared()) {
      if (State* state = mPublishedState) {
        published = true;
        const bool owned = GiveBack<kBlockSize>(*state, inPointer, releaseDue);
        mStateLock.UnlockShared();
        if (!owned) return false;
      } else {
        mStateLock.UnlockShared();
      }
    }
    if (!published) {
      // Whoever held the state reorganised it under the manager lock and
      // republished before letting go, so it is published for us now.
      std::lock_guard<std::recursive_mutex> guard(mManagerLock);
      if (!GiveBack<kBlockSize>(mState, inPointer, releaseDue)) return false;
    }
    if (releaseDue) ReleaseFreeChunks();
    return true;
  }

  std::recursive_mutex mManagerLock;
  State mState;
  std::uint64_t mTotalChunkBytes = 0;
  State* mPublishedState = nullptr;
  StateLock mStateLock;
  const std::size_t mBlockSize;
  const std::size_t mChunkSize;
  const std::size_t mNextChunkSize;
};

template <std::size_t kBlockSize, std::size_t kChunkSize, std::size_t kNextChunkSize>
class AllocatorManager final : public ManagerCore {
  static_assert(kBlockSize % 16 == 0, "blocks stay 16-byte aligned");
  static_assert((kChunkSize - kChunkHeaderSize) / kBlockSize >= 1, "a chunk holds a block");
  static_assert((kLargeChunkSize - kChunkHeaderSize) / kBlockSize <= ChunkHeader::kIndexMask,
                "block indices fit the free-list head");

public:
  AllocatorManager() : ManagerCore(kBlockSize, kChunkSize, kNextChunkSize) {}

  void* Allocate(std::size_t inSize) override {
    BSL_REQUIRE(inSize <= kBlockSize);
    void* block = nullptr;
    if (TryTakeFast(kBlockSize, 1, &block) == 0) TakeBlocksSlow(1, &block);
    return block;
  }

  bool Dispose(void* inPointer, std::size_t inSize) override {
    BSL_REQUIRE(inSize <= kBlockSize);
    return DisposeBlock<kBlockSize>(inPointer);
  }

  std::size_t GetBlockSize() const noexcept override { return kBlockSize; }
};

// The managers are never destroyed, so they live in static storage that no
// exit-time destructor touches.
template <class Manager>
Manager* ConstructManager() {
  alignas(Manager) static unsigned char sStorage[sizeof(Manager)];
  return new (sStorage) Manager();
}

// Constructs the classes kFirst, kFirst + kStep, ... kLast in ascending order
// and points every table entry up to each block size at the first class that
// holds it.
template <std::size_t kFirst, std::size_t kStep, std::size_t kLast, std::size_t kChunkSize, std::size_t kNextChunkSize>
void AddClasses(std::size_t& ioNextSize, std::size_t& ioClassIndex) {
  AllocatorInterface* manager = ConstructManager<AllocatorManager<kFirst, kChunkSize, kNextChunkSize>>();
  for (; ioNextSize <= kFirst; ++ioNextSize) {
    sSizeTable[ioNextSize] = manager;
    sClassIndexForSize[ioNextSize] = static_cast<std::uint8_t>(ioClassIndex);
  }
  sThreadCacheLimits[ioClassIndex] = static_cast<std::uint32_t>(ThreadCacheLimit(kFirst));
  sClassesBySize[ioClassIndex++] = manager;
  if constexpr (kFirst + kStep <= kLast)
    AddClasses<kFirst + kStep, kStep, kLast, kChunkSize, kNextChunkSize>(ioNextSize, ioClassIndex);
}

void BuildClasses() {
  std::size_t nextSize = 0;
  std::size_t classIndex = 0;
  AddClasses<16, 16, 256, kSmallChunkSize, kMediumChunkSize>(nextSize, classIndex);
  AddClasses<288, 32, 512, kSmallChunkSize, kMediumChunkSize>(nextSize, classIndex);
  AddClasses<640, 128, 1024, kSmallChunkSize, kMediumChunkSize>(nextSize, classIndex);
  AddClasses<1152, 128, 4096, kMediumChunkSize, kLargeChunkSize>(nextSize, classIndex);
  const std::size_t smallChunkIndex = classIndex++;
  AddClasses<4352, 256, 8192, kMediumChunkSize, kLargeChunkSize>(nextSize, classIndex);
  sSmallChunkClass = ConstructManager<AllocatorManager<kSmallChunkSize, kMediumChunkSize, kLargeChunkSize>>();
  sMediumChunkClass = ConstructManager<AllocatorManager<kMediumChunkSize, kLargeChunkSize, kLargeChunkSize>>();
  sClassesBySize[smallChunkIndex] = sSmallChunkClass;
  sClassesBySize[classIndex++] = sMediumChunkClass;
  sClassIndexForSize[kSmallChunkSize] = static_cast<std::uint8_t>(smallChunkIndex);
}

// Returns whether the classes serve this call, initialising them on first
// use. A thread that finds another one initialising does not wait: the call
// takes the system route.
bool ClassesReadyForAllocateSlow() noexcept {
  int state = sInitState.load(std::memory_order_acquire);
  if (state == kInitNotStarted) {
    int expected = kInitNotStarted;
    if (sInitState.compare_exchange_strong(expected, kInitInProgress, std::memory_order_acquire)) {
      try {
        BuildClasses();
        sInitState.store(kInitDone, std::memory_order_release);
      } catch (...) {
        // Out of memory this early; a later call tries again.
        sInitState.store(kInitNotStarted, std::memory_order_release);
        return false;
      }
    }
    state = sInitState.load(std::memory_order_acquire);
  }
  return state == kInitDone && tSimulationDepth == 0;
}

inline bool ClassesReadyForAllocate() noexcept {
  if (BSL_LIKELY(sInitState.load(std::memory_order_acquire) == kInitDone &&
                 sSimulatingThreads.load(std::memory_order_relaxed) == 0))
    return true;
  return ClassesReadyForAllocateSlow();
}

// Disposal never initialises: before initialisation every block is the
// system's.
inline bool ClassesReadyForDispose() noexcept {
  if (sInitState.load(std::memory_order_acquire) != kInitDone) return false;
  return sSimulatingThreads.load(std::memory_order_relaxed) == 0 || tSimulationDepth == 0;
}

// Whether a block up to 8192 bytes may go into the thread cache unchecked.
inline bool ClassesReadyForCachedDispose() noexcept {
  return sInitState.load(std::memory_order_acquire) == kInitDone &&
         sSimulatingThreads.load(std::memory_order_relaxed) == 0 &&
         sSmallSystemBlocks.load(std::memory_order_relaxed) == 0;
}

// The class serving inSize once initialised, or null for virtual memory.
inline AllocatorInterface* ClassFor(std::size_t inSize) noexcept {
  if (inSize <= kLargestTableSize) return inSize == kSmallChunkSize ? sSmallChunkClass : sSizeTable[inSize];
  return inSize == kMediumChunkSize ? sMediumChunkClass : nullptr;
}

// Allocate's routing; outFromClass tells whether a class served the block.
void* AllocateRouted(std::size_t inSize, bool& outFromClass) {
  if (ClassesReadyForAllocate()) {
    if (AllocatorInterface* manager = ClassFor(inSize)) {
      outFromClass = true;
      return manager->Allocate(inSize);
    }
    outFromClass = false;
    void* block = AllocateVirtualMemory(inSize);
    if (block == nullptr) ThrowBadAllocation();
    return block;
  }
  outFromClass = false;
  void* block = AllocateFromSystem(inSize);
  if (block == nullptr) ThrowBadAllocation();
  return block;
}

// ---------------------------------------------------------------------------
// Thread caches.
// ---------------------------------------------------------------------------

// Every thread keeps, per table class, a short list of blocks it disposed of
// and hands them out again first. Allocation and disposal that stay within
// the cache take no atomic read-modify-write at all; the class's lock, list and
// counters are touched once per batch of blocks, when a bin runs empty (it
// takes half its limit from the class) or overflows (it gives back the older
// half). The blocks of a bin count as used for their chunks until they go
// back.
struct ThreadCache {
  struct Bin {
    void* mHead;  // a cached block's first word links to the next one
    std::uint32_t mCount;
    std::uint32_t mLimit;
  };
  Bin mBins[kClassCount];
};

// Where a thread without a cache of its own points: every limit is 0 and
// every list empty, so both fast paths miss and the slow paths find out why.
// Never written.
ThreadCache sNoThreadCache{};

enum : unsigned char { kThreadCacheNone, kThreadCacheLive, kThreadCacheRetired };

// Initial-exec: the fast paths reach their thread's cache with one load
// instead of a call into the dynamic linker. Only these few bytes use the
// static TLS reserve that the C library keeps for libraries such as this.
__attribute__((tls_model("initial-exec"))) thread_local ThreadCache* tThreadCache = &sNoThreadCache;
__attribute__((tls_model("initial-exec"))) thread_local unsigned char tThreadCacheState = kThreadCacheNone;

BSL_INTERNAL_ALWAYS_INLINE void* NextCached(void* inBlock) noexcept {
  void* next;
  std::memcpy(&next, inBlock, sizeof next);
  return next;
}

BSL_INTERNAL_ALWAYS_INLINE void PushCached(ThreadCache::Bin& ioBin, void* inBlock) noexcept {
  std::memcpy(inBlock, &ioBin.mHead, sizeof ioBin.mHead);
  ioBin.mHead = inBlock;
  ++ioBin.mCount;
}

ManagerCore& CachedClass(std::size_t inClassIndex) noexcept {
  return static_cast<ManagerCore&>(*sClassesBySize[inClassIndex]);
}

// Gives back every block of the bin but the first inKeep, the ones disposed
// of most recently.
void FlushBin(ThreadCache::Bin& ioBin, std::size_t inClassIndex, std::uint32_t inKeep) noexcept {
  void** link = &ioBin.mHead;
  std::uint32_t kept = 0;
  for (; kept < inKeep && *link != nullptr; ++kept) link = static_cast<void**>(*link);
  void* block = *link;
  *link = nullptr;
  ioBin.mCount = kept;
  void* batch[kThreadCacheMaxBlocks];
  std::size_t count = 0;
  while (block != nullptr) {
    batch[count++] = block;
    // Read before the class rewrites the block's first bytes.
    block = NextCached(block);
    if (count == kThreadCacheMaxBlocks || block == nullptr) {
      CachedClass(inClassIndex).GiveBackBlocks(batch, count);
      count = 0;
    }
  }
}

void FlushAllBins(ThreadCache& ioCache) noexcept {
  for (std::size_t i = 0; i < kClassCount; ++i)
    if (ioCache.mBins[i].mCount != 0) FlushBin(ioCache.mBins[i], i, 0);
}

void RetireThreadCache() noexcept {
  ThreadCache* cache = tThreadCache;
  const bool live = tThreadCacheState == kThreadCacheLive;
  // From here on this thread's blocks go straight to their classes, also
  // those that later thread-exit destructors dispose of.
  tThreadCache = &sNoThreadCache;
  tThreadCacheState = kThreadCacheRetired;
  if (!live) return;
  FlushAllBins(*cache);
  cache->~ThreadCache();
  vm::FreeAlignedHeap(cache);
}

// Its destruction at the thread's end gives the cache back.
struct ScThreadCacheOwner {
  ~ScThreadCacheOwner() { RetireThreadCache(); }
  bool mRegistered = false;
};
thread_local ScThreadCacheOwner tThreadCacheOwner;

// Null when the thread has no cache and cannot have one: it is ending, or no
// memory is to be had (a later call tries again).
ThreadCache* GetOrCreateThreadCache() noexcept {
  if (tThreadCacheState == kThreadCacheLive) return tThreadCache;
  if (tThreadCacheState == kThreadCacheRetired || sFailSystemMemory.load(std::memory_order_relaxed) != 0)
    return nullptr;
  void* memory = vm::AllocateAlignedHeap(sizeof(ThreadCache));
  if (memory == nullptr) return nullptr;
  ThreadCache* cache = new (memory) ThreadCache;
  for (std::size_t i = 0; i < kClassCount; ++i) cache->mBins[i] = ThreadCache::Bin{nullptr, 0, sThreadCacheLimits[i]};
  // Constructs the owner, which registers its destructor for this thread.
  tThreadCacheOwner.mRegistered = true;
  tThreadCache = cache;
  tThreadCacheState = kThreadCacheLive;
  return cache;
}

// Allocate's route when the thread's bin for inSize (at most 8192) is empty.
__attribute__((noinline)) void* AllocateOnThreadCacheMiss(std::size_t inSize) {
  const std::size_t classIndex = sClassIndexForSize[inSize];
  ThreadCache* cache = GetOrCreateThreadCache();
  if (cache == nullptr || cache->mBins[classIndex].mLimit == 0) return ClassFor(inSize)->Allocate(inSize);
  ThreadCache::Bin& bin = cache->mBins[classIndex];
  void* blocks[kThreadCacheMaxBlocks];
  const std::size_t count = CachedClass(classIndex).TakeBlocks((bin.mLimit + 1) / 2, blocks);
  // The first block is handed out now and the others in the order the
  // chunk's list held them.
  for (std::size_t i = count; i-- > 1;) PushCached(bin, blocks[i]);
  return blocks[0];
}

// Dispose's route when the thread's bin for inSize (at most 8192) is full.
__attribute__((noinline)) void DisposeOnThreadCacheMiss(void* inPointer, std::size_t inSize) noexcept {
  const std::size_t classIndex = sClassIndexForSize[inSize];
  ThreadCache* cache = GetOrCreateThreadCache();
  if (cache == nullptr || cache->mBins[classIndex].mLimit == 0) {
    if (!ClassFor(inSize)->Dispose(inPointer, inSize)) FreeToSystem(inPointer, inSize);
    return;
  }
  ThreadCache::Bin& bin = cache->mBins[classIndex];
  if (bin.mCount >= bin.mLimit) FlushBin(bin, classIndex, bin.mLimit / 2);
  PushCached(bin, inPointer);
}

// ---------------------------------------------------------------------------
// System blocks of the non-throwing operator new of Allocated. When a
// constructor throws, the matching placement delete gets no size; class
// blocks are found by address, these are found here.
// ---------------------------------------------------------------------------

std::mutex& NoThrowBlocksLock() {
  static std::mutex* sLock = new std::mutex;
  return *sLock;
}

// Never destroyed: blocks may be disposed during static destruction.
std::unordered_map<void*, std::size_t>& NoThrowBlocks() {
  static auto* sBlocks = new std::unordered_map<void*, std::size_t>;
  return *sBlocks;
}

bool RememberNoThrowBlock(void* inPointer, std::size_t inSize) noexcept {
  try {
    std::lock_guard<std::mutex> guard(NoThrowBlocksLock());
    NoThrowBlocks().emplace(inPointer, inSize);
    sNoThrowBlockCount.fetch_add(1, std::memory_order_relaxed);
    return true;
  } catch (...) {
    return false;
  }
}

bool TakeNoThrowBlock(void* inPointer, std::size_t& outSize) noexcept {
  std::lock_guard<std::mutex> guard(NoThrowBlocksLock());
  const auto it = NoThrowBlocks().find(inPointer);
  if (it == NoThrowBlocks().end()) return false;
  outSize = it->second;
  NoThrowBlocks().erase(it);
  sNoThrowBlockCount.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

void ForgetNoThrowBlock(void* inPointer) noexcept {
  std::size_t size = 0;
  TakeNoThrowBlock(inPointer, size);
}

}  // namespace

// ---------------------------------------------------------------------------
// Hooks for tests.
// ---------------------------------------------------------------------------

AllocatorInterface* GetClassForSize(std::size_t inSize) {
  bool fromClass = false;
  // Makes sure the classes exist; a zero-byte block is the cheapest way. It
  // goes back by the route it came, past the thread cache.
  void* block = AllocateRouted(0, fromClass);
  if (!fromClass || !ClassFor(0)->Dispose(block, 0)) FreeToSystem(block, 0);
  return ClassFor(inSize);
}

std::vector<AllocatorInterface*> GetAllClasses() {
  GetClassForSize(0);
  return std::vector<AllocatorInterface*>(std::begin(sClassesBySize), std::end(sClassesBySize));
}

ClassSnapshot TakeClassSnapshot(AllocatorInterface& inClass) {
  return static_cast<ManagerCore&>(inClass).TakeSnapshot();
}

int GetInitialisationState() noexcept { return sInitState.load(std::memory_order_acquire); }

void FlushThreadCache() noexcept {
  if (tThreadCacheState == kThreadCacheLive) FlushAllBins(*tThreadCache);
}

std::size_t GetThreadCacheCount(std::size_t inRequestSize) noexcept {
  if (inRequestSize > kLargestTableSize || tThreadCacheState != kThreadCacheLive) return 0;
  return tThreadCache->mBins[sClassIndexForSize[inRequestSize]].mCount;
}

std::vector<const void*> GetCachedLargeChunks() { return sLargeChunkCache.List(); }

void ReleaseCachedLargeChunks() noexcept {
  while (void* chunk = sLargeChunkCache.Take()) vm::FreeVirtualMemory(chunk, kLargeChunkSize);
}

ScSimulateInitialisationInProgress::ScSimulateInitialisationInProgress() {
  GetClassForSize(0);
  if (tSimulationDepth++ == 0) sSimulatingThreads.fetch_add(1, std::memory_order_relaxed);
}

ScSimulateInitialisationInProgress::~ScSimulateInitialisationInProgress() {
  if (--tSimulationDepth == 0) sSimulatingThreads.fetch_sub(1, std::memory_order_relaxed);
}

ScFailSystemMemory::ScFailSystemMemory() noexcept { sFailSystemMemory.fetch_add(1, std::memory_order_relaxed); }

ScFailSystemMemory::~ScFailSystemMemory() { sFailSystemMemory.fetch_sub(1, std::memory_order_relaxed); }

// ---------------------------------------------------------------------------
// Support of Allocated.
// ---------------------------------------------------------------------------

void* AllocateForNoThrowNew(std::size_t inSize) noexcept {
  bool fromClass = false;
  void* block = nullptr;
  try {
    block = AllocateRouted(inSize, fromClass);
  } catch (...) {
    return nullptr;
  }
  if (!fromClass && !RememberNoThrowBlock(block, inSize)) {
    FreeToSystem(block, inSize);
    return nullptr;
  }
  return block;
}

void DisposeAfterFailedConstruction(void* inPointer) noexcept {
  if (inPointer == nullptr) return;
  if (sInitState.load(std::memory_order_acquire) == kInitDone) {
    // Only the owning class finds the pointer on one of its block
    // boundaries, so the first class that takes it back is the right one.
    for (AllocatorInterface* manager : sClassesBySize)
      if (manager->Dispose(inPointer, 0)) return;
  }
  std::size_t size = 0;
  if (TakeNoThrowBlock(inPointer, size)) FreeToSystem(inPointer, size);
  // Anything else did not come from AllocateForNoThrowNew; leaking it is
  // better than freeing it by a guessed route.
}

}  // namespace internal

// ---------------------------------------------------------------------------
// The interface.
// ---------------------------------------------------------------------------

void* Allocate(std::size_t inSize) {
  using namespace internal;
  if (BSL_LIKELY(inSize <= kLargestTableSize && ClassesReadyForAllocate())) {
    ThreadCache::Bin& bin = tThreadCache->mBins[sClassIndexForSize[inSize]];
    if (void* block = bin.mHead) {
      bin.mHead = NextCached(block);
      --bin.mCount;
      return block;
    }
    return AllocateOnThreadCacheMiss(inSize);
  }
  bool unusedFromClass = false;
  return AllocateRouted(inSize, unusedFromClass);
}

void Dispose(void* inPointer, std::size_t inSize) noexcept {
  using namespace internal;
  if (inPointer == nullptr) return;
  if (BSL_LIKELY(inSize <= kLargestTableSize && ClassesReadyForCachedDispose())) {
    ThreadCache::Bin& bin = tThreadCache->mBins[sClassIndexForSize[inSize]];
    if (bin.mCount < bin.mLimit) {
      PushCached(bin, inPointer);
      return;
    }
    DisposeOnThreadCacheMiss(inPointer, inSize);
    return;
  }
  if (BSL_LIKELY(internal::ClassesReadyForDispose())) {
    internal::AllocatorInterface* manager = internal::ClassFor(inSize);
    // A class that does not own the block leaves it to the system route: it
    // was allocated while another thread was initialising the classes.
    if (manager != nullptr && manager->Dispose(inPointer, inSize)) return;
  }
  internal::FreeToSystem(inPointer, inSize);
}

std::size_t GetActualAllocationSize(std::size_t inSize) noexcept {
  const auto roundUp = [inSize](std::size_t inStep) { return (inSize + inStep - 1) / inStep * inStep; };
  if (inSize <= 16) return 16;
  if (inSize <= 256) return roundUp(16);
  if (inSize <= 512) return roundUp(32);
  if (inSize <= 4096) return roundUp(128);
  if (inSize == internal::kSmallChunkSize) return inSize;
  if (inSize <= internal::kLargestTableSize) return roundUp(256);
  return inSize;
}

bool Metrics::GetSnapshot(Snapshot&) noexcept { return false; }

}  // namespace SmallBlockAllocator
}  // namespace utility
}  // namespace basalt
