// Process-wide free lists of the objects behind the blocking primitives.
//
// A pooled object is created once, from the small-block allocator, and after
// that only moves between its owner and the pool's free list: the list is a
// lock-free LIFO, so making and dropping a primitive costs two compare-and-
// swaps and no system call. Objects are never freed.
//
// The list links objects by a 32-bit index rather than by address and stamps
// the head with a 32-bit version, so a pop that raced with other pops and
// pushes fails its compare-and-swap instead of installing a stale link (ABA).
// Indexes resolve through a two-level table that only grows.
#ifndef BASALT_THREADS_PRIMITIVEPOOLINTERNAL_H
#define BASALT_THREADS_PRIMITIVEPOOLINTERNAL_H

#include <basalt/utility/SmallBlockAllocator.h>

#include <atomic>
#include <cstdint>
#include <new>

namespace basalt {
namespace threads {
namespace internal {

// T provides: a default constructor, std::uint32_t mPoolIndex and
// std::atomic<std::uint32_t> mPoolNext.
template <class T>
class PrimitivePool {
public:
  constexpr PrimitivePool() noexcept = default;
  PrimitivePool(const PrimitivePool&) = delete;
  PrimitivePool& operator=(const PrimitivePool&) = delete;

  // A recycled object or a new one; null only when no memory can be had.
  T* Acquire() noexcept {
    std::uint64_t head = mHead.load(std::memory_order_acquire);
    while (Index(head) != 0) {
      T* top = Resolve(Index(head));
      const std::uint32_t next = top->mPoolNext.load(std::memory_order_relaxed);
      if (mHead.compare_exchange_weak(head, Stamp(head, next), std::memory_order_acquire,
                                      std::memory_order_acquire))
        return top;
    }
    return Create();
  }

  void Release(T* inObject) noexcept {
    if (inObject == nullptr) return;
    std::uint64_t head = mHead.load(std::memory_order_relaxed);
    do {
      inObject->mPoolNext.store(Index(head), std::memory_order_relaxed);
    } while (!mHead.compare_exchange_weak(head, Stamp(head, inObject->mPoolIndex), std::memory_order_release,
                                          std::memory_order_relaxed));
  }

  // Objects ever created (for tests of the recycling rule).
  std::uint32_t CreatedCount() const noexcept { return mCreated.load(std::memory_order_relaxed); }

private:
  static constexpr unsigned kSegmentBits = 12;
  static constexpr std::uint32_t kSegmentSize = 1u << kSegmentBits;
  static constexpr std::uint32_t kSegmentCount = 4096;  // 16M live objects

  struct Segment {
    std::atomic<T*> mObjects[kSegmentSize];
  };

  static std::uint32_t Index(std::uint64_t inHead) noexcept { return static_cast<std::uint32_t>(inHead); }
  static std::uint64_t Stamp(std::uint64_t inHead, std::uint32_t inIndex) noexcept {
    return ((inHead >> 32) + 1) << 32 | inIndex;
  }

  T* Resolve(std::uint32_t inIndex) const noexcept {
    const std::uint32_t slot = inIndex - 1;
    return mSegments[slot >> kSegmentBits].load(std::memory_order_acquire)->mObjects[slot & (kSegmentSize - 1)].load(
        std::memory_order_acquire);
  }

  T* Create() noexcept {
    const std::uint32_t index = mCreated.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::uint32_t slot = index - 1;
    if (slot >= kSegmentSize * kSegmentCount) {
      mCreated.fetch_sub(1, std::memory_order_relaxed);
      return nullptr;
    }
    Segment* segment = mSegments[slot >> kSegmentBits].load(std::memory_order_acquire);
    if (segment == nullptr) {
      void* memory = AllocateOrNull(sizeof(Segment));
      if (memory == nullptr) return nullptr;  // the index is lost; harmless
      Segment* fresh = new (memory) Segment();
      if (mSegments[slot >> kSegmentBits].compare_exchange_strong(segment, fresh, std::memory_order_acq_rel)) {
        segment = fresh;
      } else {
        fresh->~Segment();
        utility::SmallBlockAllocator::Dispose(memory, sizeof(Segment));
      }
    }
    void* memory = AllocateOrNull(sizeof(T));
    if (memory == nullptr) return nullptr;
    T* object = new (memory) T();
    object->mPoolIndex = index;
    segment->mObjects[slot & (kSegmentSize - 1)].store(object, std::memory_order_release);
    return object;
  }

  static void* AllocateOrNull(std::size_t inSize) noexcept {
    try {
      return utility::SmallBlockAllocator::Allocate(inSize);
    } catch (...) {
      return nullptr;
    }
  }

  std::atomic<std::uint64_t> mHead{0};
  std::atomic<std::uint32_t> mCreated{0};
  std::atomic<Segment*> mSegments[kSegmentCount] = {};
};

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_PRIMITIVEPOOLINTERNAL_H
