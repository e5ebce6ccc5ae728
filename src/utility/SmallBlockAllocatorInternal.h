// Building blocks of the small-block allocator, and the few hooks its tests
// use to watch the allocator's rules at work.
//
// A size class (AllocatorManager in SmallBlockAllocator.cpp) carves equal
// blocks out of chunks. Each chunk starts with a 64-byte ChunkHeader holding a
// lock-free LIFO of its free blocks; a StateLock guards the moment a class
// reorganises its chunks.
#ifndef BASALT_SRC_UTILITY_SMALLBLOCKALLOCATORINTERNAL_H
#define BASALT_SRC_UTILITY_SMALLBLOCKALLOCATORINTERNAL_H

#include <basalt/utility/Export.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__has_feature)
#  if __has_feature(thread_sanitizer)
#    define BSL_INTERNAL_TSAN 1
#  endif
#endif
#if defined(__SANITIZE_THREAD__)
#  define BSL_INTERNAL_TSAN 1
#endif
#define BSL_INTERNAL_ALWAYS_INLINE inline __attribute__((always_inline))
#if defined(BSL_INTERNAL_TSAN)
#  define BSL_INTERNAL_NO_SANITIZE_THREAD __attribute__((no_sanitize("thread")))
#else
#  define BSL_INTERNAL_NO_SANITIZE_THREAD
#endif

namespace basalt {
namespace utility {
namespace SmallBlockAllocator {
namespace internal {

constexpr std::size_t kChunkHeaderSize = 64;
// The chunk-size ladder: each rung is a whole number of blocks of the rung
// below plus a header (64 + 16 x 256, 64 + 16 x 4160, 64 + 14 x 66624).
constexpr std::size_t kSmallChunkSize = 4160;
constexpr std::size_t kMediumChunkSize = 66624;
constexpr std::size_t kLargeChunkSize = 932800;
// Requests up to this size are served by the size table's classes.
constexpr std::size_t kLargestTableSize = 8192;
constexpr std::size_t kClassCount = 70;

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// The first 64 bytes of every chunk. Block i starts at
// chunk + 64 + i * mBlockSize; a free block's first four bytes link to the
// next free block.
//
// The free list is a Treiber stack whose head word packs the top block as an
// index (plus one, so 0 means empty) in the low 16 bits with a 48-bit tag
// above, bumped by every push and pop. An index instead of a pointer leaves
// room for a tag wide enough that ABA cannot recur within any thread's
// preemption, and one 64-bit CAS is lock-free everywhere without libatomic.
// The largest chunk holds at most (932800 - 64) / 16 = 58296 blocks.
struct ChunkHeader {
  static constexpr std::uint64_t kIndexMask = 0xFFFF;
  static constexpr std::uint64_t kTagUnit = std::uint64_t{1} << 16;

  ChunkHeader(std::size_t inChunkSize, std::size_t inBlockSize) noexcept
      : mSelf(this),
        mChunkSize(inChunkSize),
        mBlockSize(inBlockSize),
        mBlockCount((inChunkSize - kChunkHeaderSize) / inBlockSize),
        mUsedCount(0),
        mReserved(0),
        mFreeListHead(0),
        mFreeListReserved(0) {
    // Equivalent to pushing every block from the lowest address to the
    // highest, without the CAS per block: nobody else sees the chunk yet.
    for (std::uint64_t i = 0; i < mBlockCount; ++i) WriteLink(BlockAt(i + 1, inBlockSize), i);
    mFreeListHead.store(mBlockCount, std::memory_order_relaxed);
  }

  unsigned char* Blocks() noexcept { return reinterpret_cast<unsigned char*>(this) + kChunkHeaderSize; }

  // inLink is the block's index plus one.
  void* BlockAt(std::uint64_t inLink, std::size_t inBlockSize) noexcept {
    return Blocks() + (inLink - 1) * inBlockSize;
  }

  // Null when the list is empty. inBlockSize is mBlockSize, passed so that a
  // class's constant folds into the address computation.
  BSL_INTERNAL_ALWAYS_INLINE void* PopBlock(std::size_t inBlockSize) noexcept {
    std::uint64_t head = mFreeListHead.load(std::memory_order_acquire);
    for (;;) {
      const std::uint64_t link = head & kIndexMask;
      if (link == 0) return nullptr;
      void* block = BlockAt(link, inBlockSize);
      const std::uint64_t next = ReadLink(block) & kIndexMask;
      if (mFreeListHead.compare_exchange_weak(head, ((head & ~kIndexMask) + kTagUnit) | next,
                                              std::memory_order_acquire, std::memory_order_acquire))
        return block;
    }
  }

  // inLink is the block's index plus one.
  BSL_INTERNAL_ALWAYS_INLINE void PushBlock(void* inBlock, std::uint64_t inLink) noexcept {
    std::uint64_t head = mFreeListHead.load(std::memory_order_relaxed);
    for (;;) {
      WriteLink(inBlock, head & kIndexMask);
      if (mFreeListHead.compare_exchange_weak(head, ((head & ~kIndexMask) + kTagUnit) | inLink,
                                              std::memory_order_release, std::memory_order_relaxed))
        return;
    }
  }

  bool HasFreeBlock() const noexcept { return (mFreeListHead.load(std::memory_order_relaxed) & kIndexMask) != 0; }

  // A pop may read the link of a block that another thread popped a moment
  // ago and is already writing; the stale value is then discarded because the
  // head's tag has moved and the CAS fails. The memory stays mapped: chunks
  // are released only while no fast path can reach them. That one intended
  // race is the only access kept out of ThreadSanitizer's view; the volatile
  // read is a single aligned load the compiler can neither split nor repeat.
  BSL_INTERNAL_NO_SANITIZE_THREAD static std::uint32_t ReadLink(const void* inBlock) noexcept {
    return *static_cast<const volatile std::uint32_t*>(inBlock);
  }
  static void WriteLink(void* inBlock, std::uint64_t inLink) noexcept {
    const std::uint32_t link = static_cast<std::uint32_t>(inLink);
    std::memcpy(inBlock, &link, sizeof link);
  }

  ChunkHeader* mSelf;
  std::uint64_t mChunkSize;
  std::uint64_t mBlockSize;
  std::uint64_t mBlockCount;
  std::atomic<std::uint64_t> mUsedCount;
  std::uint64_t mReserved;
  // The list head is 16 bytes wide and 16-byte aligned in the layout, as the
  // double-width heads of other platforms need; this one uses the first half.
  alignas(16) std::atomic<std::uint64_t> mFreeListHead;
  std::uint64_t mFreeListReserved;
};
static_assert(sizeof(ChunkHeader) == kChunkHeaderSize, "the chunk header is 64 bytes");
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the free list needs a lock-free 64-bit CAS");

// The reader-writer lock around a class's published state. Readers only ever
// try: a try fails at once when a writer holds the lock or waits for it, so
// the fast paths never block behind a reorganisation. While only readers
// contend, the try retries with a growing spin (1, 2, 4, 8, 16 pauses) and a
// 1 ms sleep, starting over. There is at most one writer at a time: writers
// hold their class's manager lock.
class StateLock {
public:
  BSL_INTERNAL_ALWAYS_INLINE bool TryLockShared() noexcept {
    std::uint32_t word = mWord.load(std::memory_order_relaxed);
    if ((word & kWriterBits) == 0 &&
        mWord.compare_exchange_strong(word, word + 1, std::memory_order_acquire, std::memory_order_relaxed))
      return true;
    return TryLockSharedContended(word);
  }

  void UnlockShared() noexcept { mWord.fetch_sub(1, std::memory_order_release); }

  void LockExclusive() noexcept {
    // From here on every try fails; wait for the readers inside to leave.
    // They hold the lock for a handful of instructions.
    mWord.fetch_or(kWriterWaits, std::memory_order_relaxed);
    unsigned spins = 0;
    std::uint32_t expected = kWriterWaits;
    while (!mWord.compare_exchange_weak(expected, kWriterHolds, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      expected = kWriterWaits;
      if (++spins < 64)
        CpuRelax();
      else
        std::this_thread::yield();
    }
  }

  // Readers never change the word while a writer bit is set, so the writer
  // can simply clear it.
  void UnlockExclusive() noexcept { mWord.store(0, std::memory_order_release); }

private:
  static constexpr std::uint32_t kWriterHolds = std::uint32_t{1} << 31;
  static constexpr std::uint32_t kWriterWaits = std::uint32_t{1} << 30;
  static constexpr std::uint32_t kWriterBits = kWriterHolds | kWriterWaits;

  // The first try failed with inWord seen in the lock.
  __attribute__((noinline)) bool TryLockSharedContended(std::uint32_t inWord) noexcept {
    std::uint32_t word = inWord;
    for (;;) {
      for (unsigned spin = 1; spin <= 16; spin *= 2) {
        if ((word & kWriterBits) != 0) return false;
        for (unsigned i = 0; i < spin; ++i) CpuRelax();
        word = mWord.load(std::memory_order_relaxed);
        if ((word & kWriterBits) != 0) return false;
        if (mWord.compare_exchange_strong(word, word + 1, std::memory_order_acquire, std::memory_order_relaxed))
          return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      word = mWord.load(std::memory_order_relaxed);
    }
  }

  std::atomic<std::uint32_t> mWord{0};
};

// One size class. The managers live until the process ends and are never
// destroyed through this interface.
class AllocatorInterface {
public:
  // A block of the class; inSize above the block size is an input contract
  // violation. Never null: exhaustion throws std::bad_alloc.
  virtual void* Allocate(std::size_t inSize) = 0;
  // True when inPointer is a block of one of this class's chunks and was taken
  // back; false when the class does not own it. Same contract on inSize.
  virtual bool Dispose(void* inPointer, std::size_t inSize) = 0;
  virtual std::size_t GetBlockSize() const noexcept = 0;

protected:
  ~AllocatorInterface() = default;
};

// ---------------------------------------------------------------------------
// Hooks for tests.
// ---------------------------------------------------------------------------

// The class that Allocate routes inSize to once initialised (initialising the
// allocator if needed), or null for sizes served by virtual memory.
BSL_EXPORT AllocatorInterface* GetClassForSize(std::size_t inSize);

// Every class, ordered by block size (the 4160 and 66624 classes included).
BSL_EXPORT std::vector<AllocatorInterface*> GetAllClasses();

struct ChunkInfo {
  const void* mAddress;
  std::uint64_t mChunkSize;
  std::uint64_t mBlockSize;
  std::uint64_t mBlockCount;
  std::uint64_t mUsedCount;
};

struct ClassSnapshot {
  std::size_t mBlockSize;
  std::uint64_t mTotalChunkBytes;
  std::uint64_t mFreeBlockCount;
  const void* mCurrentChunk;
  bool mPublished;
  // In the order of the class's chunk vector.
  std::vector<ChunkInfo> mChunks;
};

// A picture of a class taken under its manager lock. Fast paths of other
// threads go on meanwhile, so the counts agree with each other only while
// nobody else uses the class.
BSL_EXPORT ClassSnapshot TakeClassSnapshot(AllocatorInterface& inClass);

// The process-wide initialisation word: 0 not started, 1 in progress, 2 done.
BSL_EXPORT int GetInitialisationState() noexcept;

// While an instance lives, the allocator behaves on the constructing thread as
// if another thread were initialising it: Allocate and Dispose take the
// system route by size. Other threads are unaffected.
class BSL_EXPORT ScSimulateInitialisationInProgress {
public:
  ScSimulateInitialisationInProgress();
  ~ScSimulateInitialisationInProgress();
  ScSimulateInitialisationInProgress(const ScSimulateInitialisationInProgress&) = delete;
  ScSimulateInitialisationInProgress& operator=(const ScSimulateInitialisationInProgress&) = delete;
};

// While an instance lives, virtual memory and the aligned heap refuse every
// request of the allocator, in every thread.
class BSL_EXPORT ScFailSystemMemory {
public:
  ScFailSystemMemory() noexcept;
  ~ScFailSystemMemory();
  ScFailSystemMemory(const ScFailSystemMemory&) = delete;
  ScFailSystemMemory& operator=(const ScFailSystemMemory&) = delete;
};

}  // namespace internal
}  // namespace SmallBlockAllocator
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_SRC_UTILITY_SMALLBLOCKALLOCATORINTERNAL_H
