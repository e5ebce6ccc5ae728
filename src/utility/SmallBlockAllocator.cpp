#include <basalt/utility/SmallBlockAllocator.h>

#include "utility/ContractInternal.h"
#include "utility/SmallBlockAllocatorInternal.h"
#include "utility/VirtualMemoryInternal.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <set>
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

// ---------------------------------------------------------------------------
// The system route.
// ---------------------------------------------------------------------------

void* AllocateVirtualMemory(std::size_t inSize) noexcept {
  if (sFailSystemMemory.load(std::memory_order_relaxed) != 0) return nullptr;
  return vm::AllocateVirtualMemory(inSize);
}

void* AllocateFromSystem(std::size_t inSize) noexcept {
  if (inSize >= kLargestTableSize) return AllocateVirtualMemory(inSize);
  if (sFailSystemMemory.load(std::memory_order_relaxed) != 0) return nullptr;
  return vm::AllocateAlignedHeap(inSize);
}

void ForgetNoThrowBlock(void* inPointer) noexcept;
std::atomic<std::size_t> sNoThrowBlockCount{0};

void FreeToSystem(void* inPointer, std::size_t inSize) noexcept {
  if (sNoThrowBlockCount.load(std::memory_order_relaxed) != 0) ForgetNoThrowBlock(inPointer);
  if (inSize >= kLargestTableSize)
    vm::FreeVirtualMemory(inPointer, inSize);
  else
    vm::FreeAlignedHeap(inPointer);
}

// ---------------------------------------------------------------------------
// Size classes.
// ---------------------------------------------------------------------------

// Where a class's chunks come from and go back to. The route is the one
// Allocate(inChunkSize) takes once initialised, called directly so that a
// thread inside ScSimulateInitialisationInProgress still builds real chunks.
void* AllocateChunkMemory(std::size_t inChunkSize) {
  if (inChunkSize == kSmallChunkSize) return sSmallChunkClass->Allocate(inChunkSize);
  if (inChunkSize == kMediumChunkSize) return sMediumChunkClass->Allocate(inChunkSize);
  void* memory = AllocateVirtualMemory(inChunkSize);
  if (memory == nullptr) ThrowBadAllocation();
  return memory;
}

void FreeChunkMemory(void* inChunk, std::size_t inChunkSize) {
  if (inChunkSize == kSmallChunkSize)
    sSmallChunkClass->Dispose(inChunk, inChunkSize);
  else if (inChunkSize == kMediumChunkSize)
    sMediumChunkClass->Dispose(inChunk, inChunkSize);
  else
    vm::FreeVirtualMemory(inChunk, inChunkSize);
}

// Everything of a class that does not depend on its block size at compile
// time: the slow paths and the bookkeeping. Aligned to a cache line so that
// the hot words of neighbouring classes do not share one.
class alignas(64) ManagerCore : public AllocatorInterface {
public:
  ClassSnapshot TakeSnapshot() {
    std::lock_guard<std::recursive_mutex> guard(mManagerLock);
    ClassSnapshot snapshot;
    snapshot.mBlockSize = mBlockSize;
    snapshot.mTotalChunkBytes = mTotalChunkBytes;
    snapshot.mFreeBlockCount = mState.mFreeBlockCount.load(std::memory_order_relaxed);
    snapshot.mCurrentChunk = mState.mCurrentChunk;
    snapshot.mPublished = mPublishedState == &mState;
    for (const ChunkHeader* chunk : mState.mChunks)
      snapshot.mChunks.push_back(ChunkInfo{chunk, chunk->mChunkSize, chunk->mBlockSize, chunk->mBlockCount,
                                           chunk->mUsedCount.load(std::memory_order_relaxed)});
    return snapshot;
  }

protected:
  // The four fields the fast paths read while the state is published.
  struct State {
    ChunkHeader* mCurrentChunk = nullptr;
    std::atomic<std::uint64_t> mFreeBlockCount{0};
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

  BSL_INTERNAL_ALWAYS_INLINE void* TakeBlock(ChunkHeader* inChunk, std::size_t inBlockSize) noexcept {
    void* block = inChunk->PopBlock(inBlockSize);
    if (block != nullptr) {
      inChunk->mUsedCount.fetch_add(1, std::memory_order_relaxed);
      mState.mFreeBlockCount.fetch_sub(1, std::memory_order_relaxed);
    }
    return block;
  }

  // The lock-free path; null when it cannot serve. inBlockSize is mBlockSize.
  BSL_INTERNAL_ALWAYS_INLINE void* TryAllocateFast(std::size_t inBlockSize) noexcept {
    if (!mStateLock.TryLockShared()) return nullptr;
    void* block = nullptr;
    if (State* state = mPublishedState)
      if (ChunkHeader* chunk = state->mCurrentChunk) block = TakeBlock(chunk, inBlockSize);
    mStateLock.UnlockShared();
    return block;
  }

  void* AllocateSlow() {
    std::lock_guard<std::recursive_mutex> guard(mManagerLock);
    if (void* block = TryAllocateFast(mBlockSize)) return block;
    ScUnpublish unpublished(*this);
    std::vector<ChunkHeader*>& chunks = mState.mChunks;
    if (mState.mFreeBlockCount.load(std::memory_order_relaxed) != 0 && !chunks.empty()) {
      SortChunksByUse();
      // The least used chunk first. Chunks of a class differ in size, so the
      // least used one may be full while a larger one has room: look further
      // before growing, or those free blocks would never be reused.
      for (auto it = chunks.rbegin(); it != chunks.rend(); ++it) {
        if (void* block = TakeBlock(*it, mBlockSize)) {
          mState.mCurrentChunk = *it;
          return block;
        }
      }
    }
    ChunkHeader* chunk = AddChunk();
    mState.mCurrentChunk = chunk;
    return TakeBlock(chunk, mBlockSize);
  }

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
    mState.mFreeBlockCount.fetch_add(chunk->mBlockCount, std::memory_order_relaxed);
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
      mState.mFreeBlockCount.fetch_sub(chunk->mBlockCount, std::memory_order_relaxed);
      mTotalChunkBytes -= chunkSize;
      if (mState.mCurrentChunk == chunk) mState.mCurrentChunk = nullptr;
      chunk->~ChunkHeader();
      FreeChunkMemory(chunk, chunkSize);
    }
  }

  // The chunk holding inPointer as the start of one of its blocks, and the
  // block's link (index plus one); null when the class does not own it. A
  // pointer that is inside a chunk but not on a block boundary belongs to
  // another class whose chunk this one's block is.
  template <std::size_t kBlockSize>
  BSL_INTERNAL_ALWAYS_INLINE static ChunkHeader* FindOwner(State& inState, const void* inPointer,
                                                           std::uint64_t& outLink) noexcept {
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(inPointer);
    std::uintptr_t chunk = reinterpret_cast<std::uintptr_t>(inState.mCurrentChunk);
    if (chunk == 0 || address < chunk || address - chunk >= inState.mCurrentChunk->mChunkSize) {
      const auto it = inState.mChunksByAddress.upper_bound(address);
      if (it == inState.mChunksByAddress.begin()) return nullptr;
      chunk = *std::prev(it);
      if (address - chunk >= reinterpret_cast<const ChunkHeader*>(chunk)->mChunkSize) return nullptr;
    }
    ChunkHeader* owner = reinterpret_cast<ChunkHeader*>(chunk);
    const std::uintptr_t offset = address - chunk;
    if (offset < kChunkHeaderSize || (offset - kChunkHeaderSize) % kBlockSize != 0) return nullptr;
    const std::uint64_t index = (offset - kChunkHeaderSize) / kBlockSize;
    if (index >= owner->mBlockCount) return nullptr;
    outLink = index + 1;
    return owner;
  }

  // Takes a block back into inState; false when it is not the class's.
  template <std::size_t kBlockSize>
  BSL_INTERNAL_ALWAYS_INLINE static bool GiveBack(State& inState, void* inPointer, bool& outReleaseDue) noexcept {
    std::uint64_t link = 0;
    ChunkHeader* owner = FindOwner<kBlockSize>(inState, inPointer, link);
    if (owner == nullptr) return false;
    inState.mFreeBlockCount.fetch_add(1, std::memory_order_relaxed);
    owner->PushBlock(inPointer, link);
    if (owner->mUsedCount.fetch_sub(1, std::memory_order_relaxed) == 1 && inState.mChunks.size() > 1)
      outReleaseDue = true;
    return true;
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
    if (void* block = TryAllocateFast(kBlockSize)) return block;
    return AllocateSlow();
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
  for (; ioNextSize <= kFirst; ++ioNextSize) sSizeTable[ioNextSize] = manager;
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
  bool unusedFromClass = false;
  // Makes sure the classes exist; a zero-byte block is the cheapest way.
  SmallBlockAllocator::Dispose(AllocateRouted(0, unusedFromClass), 0);
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
  if (BSL_LIKELY(internal::ClassesReadyForAllocate())) {
    if (internal::AllocatorInterface* manager = internal::ClassFor(inSize)) return manager->Allocate(inSize);
  }
  bool unusedFromClass = false;
  return internal::AllocateRouted(inSize, unusedFromClass);
}

void Dispose(void* inPointer, std::size_t inSize) noexcept {
  if (inPointer == nullptr) return;
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
