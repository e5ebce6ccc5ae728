// Recycled memory: large buffers kept in a bounded process-wide pool and
// handed out again for requests of exactly the same rounded size, sparing
// the system repeated large allocations.
//
// MemoryRecycler rules:
//  - Requests below 8192 bytes are plain small-block allocations and never
//    touch the pool. Larger ones are rounded up: below 1 MiB to a multiple
//    of 4096 bytes, from 1 MiB on to a multiple of 16384. The rounded size is
//    what Allocate reports as allocated and what Recycle must be given back.
//  - Allocate takes the oldest pooled block of exactly the rounded size when
//    there is one. Otherwise it allocates; when that fails it purges that
//    many bytes from the pool and tries again, then asks the installed
//    config::ErrorManager's PurgeMemory for that many bytes and, if it
//    answers true, tries once more. The last failure throws std::bad_alloc.
//  - Recycle appends the block to the pool. When the pool then holds more
//    than its limit and automatic reconciling is on (the default), the
//    oldest blocks are freed until it fits again.
//  - The limit starts at kDefaultPoolLimit (50 MiB); SetPoolLimit(0)
//    restores it. Lowering the limit reconciles at once.
//  - When the process ends the pool frees its blocks; blocks recycled after
//    that are freed at once.
//
// RecycledMemory owns one buffer taken from MemoryRecycler, or wraps shared
// storage owned elsewhere (see Wrap). Copying copies the bytes.
//
// Thread safety: the MemoryRecycler functions may be called from any thread;
// the pool's size and limit are read without locking and may be stale by the
// time they are used. A RecycledMemory object is not synchronised: share it
// read-only, or guard it.
#ifndef BASALT_UTILITY_RECYCLEDMEMORY_H
#define BASALT_UTILITY_RECYCLEDMEMORY_H

#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/UnicodeString.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>

namespace basalt {
namespace utility {
namespace MemoryRecycler {

constexpr std::uint64_t kDefaultPoolLimit = 52428800;
// Requests from this size on are rounded and pooled.
constexpr std::uint64_t kMinimumPooledSize = 8192;

// A block of at least inSize bytes (16-byte aligned); outAllocatedSize
// receives the size to give back to Recycle. Throws std::bad_alloc.
BSL_EXPORT void* Allocate(std::uint64_t inSize, std::uint64_t& outAllocatedSize);
// Gives back a block of Allocate with its allocated size. Null is ignored.
BSL_EXPORT void Recycle(void* inPointer, std::uint64_t inAllocatedSize) noexcept;

BSL_EXPORT std::uint64_t GetPoolLimit() noexcept;
BSL_EXPORT std::uint64_t GetCurrentPoolSize() noexcept;
// 0 restores kDefaultPoolLimit.
BSL_EXPORT void SetPoolLimit(std::uint64_t inLimit) noexcept;
// Frees pooled blocks, oldest first, until at least inByteCount bytes are
// freed or the pool is empty (0: everything). Returns the bytes freed.
BSL_EXPORT std::uint64_t PurgeBytes(std::uint64_t inByteCount) noexcept;
// Frees the oldest blocks while the pool exceeds its limit; returns the pool
// size afterwards.
BSL_EXPORT std::uint64_t ReconcileSize() noexcept;
// Whether Recycle reconciles when the pool has grown past its limit.
BSL_EXPORT void SetReconcileSizeAutomatically(bool inAutomatic) noexcept;

}  // namespace MemoryRecycler

class BSL_EXPORT RecycledMemory : public SmallBlockAllocator::Allocated<RecycledMemory> {
public:
  // A buffer of inSize bytes (uninitialised), or none for 0.
  explicit RecycledMemory(std::uint64_t inSize = 0);
  // A buffer of its own holding a copy of the other's bytes.
  RecycledMemory(const RecycledMemory& inOther);
  RecycledMemory& operator=(const RecycledMemory&) = delete;
  ~RecycledMemory();

  static boost::shared_ptr<RecycledMemory> Create(std::uint64_t inSize);

  // Adopts shared text without copying it: Buffer() const and Size() are the
  // text's bytes, and the object keeps the text alive until Free or
  // destruction. The text must not change meanwhile. The result is
  // read-only, fit for the compression functions' input; the mutable
  // Buffer() of a wrapping object is null. Null text wraps nothing.
  static boost::shared_ptr<const RecycledMemory> Wrap(const boost::shared_ptr<const UTF8String>& inText);

  // Releases the current buffer, then takes one of inSize bytes (none for 0).
  // Throws std::bad_alloc, leaving the object without a buffer.
  void Allocate(std::uint64_t inSize);
  // Releases the buffer (back to MemoryRecycler, or the wrapped storage).
  void Free() noexcept;

  // Null when there is no buffer.
  void* Buffer() noexcept { return mShared ? nullptr : mBuffer; }
  const void* Buffer() const noexcept { return mBuffer; }
  // The requested size; 0 when there is no buffer.
  std::uint64_t Size() const noexcept { return mBuffer ? mSize : 0; }
  // The size given to MemoryRecycler (0 when wrapping or without a buffer).
  std::uint64_t GetAllocatedSize() const noexcept { return mAllocatedSize; }
  bool IsWrapping() const noexcept { return static_cast<bool>(mShared); }

  // Lowers Size() to inSize, keeping the buffer; larger values do nothing.
  void Truncate(std::uint64_t inSize) noexcept {
    if (inSize < mSize) mSize = inSize;
  }

private:
  void* mBuffer;
  std::uint64_t mSize;
  std::uint64_t mAllocatedSize;
  boost::shared_ptr<const UTF8String> mShared;
};

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_RECYCLEDMEMORY_H
