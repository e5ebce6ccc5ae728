// Building blocks of the small-block allocator, and the few hooks its tests
// use to watch the allocator's rules at work.
//
// A size class (AllocatorManager in SmallBlockAllocator.cpp) carves equal
// blocks out of chunks. Each chunk starts with a 64-byte ChunkHeader holding a
// lock-free LIFO of its free blocks; a StateLock guards the moment a class
// reorganises its chunks. In front of the classes, every thread keeps a small
// cache of blocks per class (see ThreadCacheLimit), and freed 932800-byte
// chunks wait in a bounded cache for reuse (see kLargeChunkCacheLimit).
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

// A thread keeps up to ThreadCacheLimit(blockSize) blocks of a table class
// that it disposed of, and hands them out again before asking the class:
// as many as fit in kThreadCacheClassBytes, but at least 2 and at most
// kThreadCacheMaxBlocks. The 4160 and 66624 classes, which hand out chunks,
// are not cached. A thread holds at most about 527 KiB this way.
constexpr std::size_t kThreadCacheClassBytes = 8192;
constexpr std::size_t kThreadCacheMaxBlocks = 32;
constexpr std::size_t ThreadCacheLimit(std::size_t inBlockSize) noexcept {
  return inBlockSize * kThreadCacheMaxBlocks <= kThreadCacheClassBytes ? kThreadCacheMaxBlocks
         : kThreadCacheClassBytes / inBlockSize >= 2                  ? kThreadCacheClassBytes / inBlockSize
                                                                        : 2;
}

// Entirely free 932800-byte chunks, once released by their class, stay mapped
// for reuse by the next class that needs one, up to this many; their pages are
// offered back to the kernel, which takes them only under memory pressure. A
// chunk released while the cache is full is unmapped at once.
constexpr std::size_t kLargeChunkCacheLimit = 32;

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// The first 64 bytes of every chunk. Block i starts at
// chunk + 64 + i * mBlockSize; a free block that has been handed out before
// links, in its first four bytes, to the next free block.
//
// The free list is a Treiber stack whose head word packs the top block as an
// index (plus one, so 0 means empty) in the low 16 bits with a 48-bit tag
// above, bumped by every push and pop. An index instead of a pointer leaves
// room for a tag wide enough that ABA cannot recur within any thread's
// preemption, and one 64-bit CAS is lock-free everywhere without libatomic.
// The largest chunk holds at most (932800 - 64) / 16 = 58296 blocks.
//
// A new chunk's list holds every block from the highest address down, as if
// each had been pushed from the lowest up, but no link is written: blocks
// never handed out yet ("fresh") lie at the bottom of the list in that order,
// so the link of a fresh block is simply the index below its own. Writing the
// links up front would touch every block of the chunk, and reading them back
// touch it again, each a cache miss before the caller's own first use.
// mFreshCount is the number of fresh blocks; it only falls, lowered by a pop
// that takes fresh blocks before any of them is handed out. A block pushed
// back was handed out, so it lies above the count and carries a written
// link. A pop reads the count after the head it starts from: a block on that
// list which was handed out and pushed back got there after the count fell
// below it, and the acquire on the head makes that fall visible.
struct ChunkHeader {
  static constexpr std::uint64_t kIndexMask = 0xFFFF;
  static constexpr std::uint64_t kTagUnit = std::uint64_t{1} << 16;

  ChunkHeader(std::size_t inChunkSize, std::size_t inBlockSize) noexcept
      : mSelf(this),
        mChunkSize(inChunkSize),
        mBlockSize(inBlockSize),
        mBlockCount((inChunkSize - kChunkHeaderSize) / inBlockSize),
        mUsedCount(0),
        mFreshCount(mBlockCount),
        mFreeListHead(mBlockCount),
        mFreeListReserved(0) {}

  unsigned char* Blocks() noexcept { return reinterpret_cast<unsigned char*>(this) + kChunkHeaderSize; }

  // inLink is the block's index plus one.
  void* BlockAt(std::uint64_t inLink, std::size_t inBlockSize) noexcept {
    return Blocks() + (inLink - 1) * inBlockSize;
  }

  // Null when the list is empty. inBlockSize is mBlockSize, passed so that a
  // class's constant folds into the address computation.
  BSL_INTERNAL_ALWAYS_INLINE void* PopBlock(std::size_t inBlockSize) noexcept {
    void* block = nullptr;
    // A failed attempt may have left a block in the slot; only the count says
    // whether one was taken.
    return PopBlocks(inBlockSize, 1, &block) != 0 ? block : nullptr;
  }

  // Takes up to inMax blocks off the top of the list with one CAS and stores
  // them in outBlocks, top first; returns how many (0 when the list is empty).
  // Slots past the count hold nothing of meaning.
  //
  // The walk reads links that may be stale, exactly like a single pop: the
  // CAS succeeds only if the head, tag included, is still the one the walk
  // started from, and since every push and pop moves the tag, nothing in the
  // list changed meanwhile and every link read was the real one. A stale link
  // can point anywhere, so one outside the chunk ends the attempt early.
  BSL_INTERNAL_ALWAYS_INLINE std::size_t PopBlocks(std::size_t inBlockSize, std::size_t inMax,
                                                   void** outBlocks) noexcept {
    std::uint64_t head = mFreeListHead.load(std::memory_order_acquire);
    for (;;) {
      const std::uint64_t fresh = mFreshCount.load(std::memory_order_relaxed);
      std::uint64_t link = head & kIndexMask;
      std::uint64_t lowestFresh = 0;
      std::size_t count = 0;
      while (link != 0 && link <= mBlockCount && count < inMax) {
        outBlocks[count++] = BlockAt(link, inBlockSize);
        if (link <= fresh) {
          lowestFresh = link;
          --link;
        } else {
          link = ReadLink(outBlocks[count - 1]) & kIndexMask;
        }
      }
      if (count == 0) return 0;
      if (mFreeListHead.compare_exchange_weak(head, ((head & ~kIndexMask) + kTagUnit) | link,
                                              std::memory_order_acquire, std::memory_order_acquire)) {
        if (lowestFresh != 0) LowerFreshCount(lowestFresh - 1);
        return count;
      }
    }
  }

  // The index plus one of the free block below inLink on the list: written
  // in the block, or implied for a fresh one. Meaningful only while nobody
  // else changes the list.
  std::uint64_t NextLink(std::uint64_t inLink, std::size_t inBlockSize) noexcept {
    if (inLink <= mFreshCount.load(std::memory_order_relaxed)) return inLink - 1;
    return ReadLink(BlockAt(inLink, inBlockSize)) & kIndexMask;
  }

  // inLink is the block's index plus one.
  BSL_INTERNAL_ALWAYS_INLINE void PushBlock(void* inBlock, std::uint64_t inLink) noexcept {
    PushBlocks(&inBlock, &inLink, 1);
  }

  // Puts inCount blocks of this chunk back with one CAS, inBlocks[0] on top;
  // inLinks[i] is the index plus one of inBlocks[i].
  BSL_INTERNAL_ALWAYS_INLINE void PushBlocks(void* const* inBlocks, const std::uint64_t* inLinks,
                                             std::size_t inCount) noexcept {
    for (std::size_t i = 0; i + 1 < inCount; ++i) WriteLink(inBlocks[i], inLinks[i + 1]);
    void* last = inBlocks[inCount - 1];
    std::uint64_t head = mFreeListHead.load(std::memory_order_relaxed);
    for (;;) {
      WriteLink(last, head & kIndexMask);
      if (mFreeListHead.compare_exchange_weak(head, ((head & ~kIndexMask) + kTagUnit) | inLinks[0],
                                              std::memory_order_release, std::memory_order_relaxed))
        return;
    }
  }

  bool HasFreeBlock() const noexcept { return (mFreeListHead.load(std::memory_order_relaxed) & kIndexMask) != 0; }

  // A pop may read the link of a block that another thread popped a moment
  // ago and is already writing, or of a fresh block whose count fell just
  // before the read and which holds no link at all; the value is then
  // discarded because the head's tag has moved and the CAS fails, and a value
  // outside the chunk ends the walk early (see PopBlocks). The memory stays
  // mapped: chunks are released only while no fast path can reach them. That
  // one intended race is the only access kept out of ThreadSanitizer's view;
  // the volatile read is a single aligned load the compiler can neither split
  // nor repeat.
  BSL_INTERNAL_NO_SANITIZE_THREAD static std::uint32_t ReadLink(const void* inBlock) noexcept {
    return *static_cast<const volatile std::uint32_t*>(inBlock);
  }
  static void WriteLink(void* inBlock, std::uint64_t inLink) noexcept {
    const std::uint32_t link = static_cast<std::uint32_t>(inLink);
    std::memcpy(inBlock, &link, sizeof link);
  }

  // Pops of fresh blocks may finish in any order; the count keeps the lowest.
  void LowerFreshCount(std::uint64_t inCount) noexcept {
    std::uint64_t count = mFreshCount.load(std::memory_order_relaxed);
    while (count > inCount && !mFreshCount.compare_exchange_weak(count, inCount, std::memory_order_relaxed)) {
    }
  }

  ChunkHeader* mSelf;
  std::uint64_t mChunkSize;
  std::uint64_t mBlockSize;
  std::uint64_t mBlockCount;
  std::atomic<std::uint64_t> mUsedCount;
  // Blocks 1 to mFreshCount (as links) have never been handed out.
  std::atomic<std::uint64_t> mFreshCount;
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
  // Blocks on the chunk's free list, counted by walking it.
  std::uint64_t mListedCount;
};

struct ClassSnapshot {
  std::size_t mBlockSize;
  std::uint64_t mTotalChunkBytes;
  // Blocks on the free lists of all chunks. Blocks in threads' caches are
  // not: for the chunks they count as used.
  std::uint64_t mFreeBlockCount;
  const void* mCurrentChunk;
  bool mPublished;
  // In the order of the class's chunk vector.
  std::vector<ChunkInfo> mChunks;
};

// A picture of a class taken under its manager lock with its state
// unpublished, so that the counts and lists agree with each other: fast paths
// of other threads wait meanwhile. mPublished tells whether the state was
// published when the call began.
BSL_EXPORT ClassSnapshot TakeClassSnapshot(AllocatorInterface& inClass);

// The process-wide initialisation word: 0 not started, 1 in progress, 2 done.
BSL_EXPORT int GetInitialisationState() noexcept;

// Gives every block in the calling thread's cache back to its chunk, as the
// thread's end does.
BSL_EXPORT void FlushThreadCache() noexcept;

// How many blocks of the class serving inRequestSize the calling thread holds
// in its cache.
BSL_EXPORT std::size_t GetThreadCacheCount(std::size_t inRequestSize) noexcept;

// The freed 932800-byte chunks waiting for reuse, most recently freed last.
BSL_EXPORT std::vector<const void*> GetCachedLargeChunks();

// Unmaps every chunk waiting in that cache.
BSL_EXPORT void ReleaseCachedLargeChunks() noexcept;

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
// request of the allocator, in every thread, and so does the cache of freed
// 932800-byte chunks: a class that needs a new chunk cannot get one.
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
