#include <basalt/utility/RecycledMemory.h>

#include <basalt/config/Errors.h>
#include <basalt/utility/SmallBlockAllocator.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>

namespace basalt {
namespace utility {
namespace {

constexpr std::uint64_t kOneMiB = 1048576;
constexpr std::uint64_t kSmallStep = 4096;
constexpr std::uint64_t kLargeStep = 16384;

// The pool of recycled blocks. Each pooled block is at least 8192 bytes and
// unused, so its bookkeeping lives in its own first bytes: recycling never
// allocates and cannot fail.
class SimpleMemoryPool {
public:
  // Oldest block of exactly inSize bytes, or null.
  void* Retrieve(std::uint64_t inSize) noexcept {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    for (Entry* entry = mHead; entry; entry = entry->mNext) {
      if (entry->mSize != inSize) continue;
      Unlink(entry);
      mCurrentSize.fetch_sub(inSize, std::memory_order_relaxed);
      return entry;
    }
    return nullptr;
  }

  void Recycle(void* inPointer, std::uint64_t inSize) noexcept {
    const std::uint64_t limit = mLimit.load(std::memory_order_acquire);
    std::uint64_t newSize = 0;
    bool automatic = false;
    {
      std::lock_guard<std::recursive_mutex> lock(mLock);
      Entry* entry = new (inPointer) Entry{inSize, mTail, nullptr};
      if (mTail)
        mTail->mNext = entry;
      else
        mHead = entry;
      mTail = entry;
      newSize = mCurrentSize.fetch_add(inSize, std::memory_order_relaxed) + inSize;
      automatic = mAutomaticReconcile;
    }
    if (newSize > limit && automatic) ReconcileSize();
  }

  std::uint64_t GetLimit() const noexcept { return mLimit.load(std::memory_order_acquire); }
  std::uint64_t GetCurrentSize() const noexcept { return mCurrentSize.load(std::memory_order_relaxed); }

  void SetLimit(std::uint64_t inLimit) noexcept {
    const std::uint64_t previous = mLimit.exchange(inLimit, std::memory_order_acq_rel);
    if (inLimit < previous) ReconcileSize();
  }

  // inByteCount 0 takes everything.
  std::uint64_t PurgeBytes(std::uint64_t inByteCount) noexcept {
    Entry* collected = nullptr;
    std::uint64_t freed = 0;
    {
      std::lock_guard<std::recursive_mutex> lock(mLock);
      while (mHead && (inByteCount == 0 || freed < inByteCount)) {
        Entry* entry = mHead;
        Unlink(entry);
        mCurrentSize.fetch_sub(entry->mSize, std::memory_order_relaxed);
        freed += entry->mSize;
        entry->mNext = collected;
        collected = entry;
      }
    }
    while (collected) {
      Entry* entry = collected;
      collected = entry->mNext;
      const std::uint64_t size = entry->mSize;
      entry->~Entry();
      SmallBlockAllocator::Dispose(entry, static_cast<std::size_t>(size));
    }
    return freed;
  }

  std::uint64_t ReconcileSize() noexcept {
    const std::uint64_t size = GetCurrentSize();
    const std::uint64_t limit = GetLimit();
    if (size > limit) PurgeBytes(size - limit);
    return GetCurrentSize();
  }

  void SetAutomaticReconcile(bool inAutomatic) noexcept {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mAutomaticReconcile = inAutomatic;
  }

  // At process end: keep nothing, now or later.
  void Shutdown() noexcept {
    SetAutomaticReconcile(true);
    mLimit.store(0, std::memory_order_release);
    PurgeBytes(0);
  }

private:
  struct Entry {
    std::uint64_t mSize;
    Entry* mPrevious;
    Entry* mNext;
  };

  void Unlink(Entry* inEntry) noexcept {
    if (inEntry->mPrevious)
      inEntry->mPrevious->mNext = inEntry->mNext;
    else
      mHead = inEntry->mNext;
    if (inEntry->mNext)
      inEntry->mNext->mPrevious = inEntry->mPrevious;
    else
      mTail = inEntry->mPrevious;
  }

  std::recursive_mutex mLock;
  Entry* mHead = nullptr;  // oldest
  Entry* mTail = nullptr;  // newest
  bool mAutomaticReconcile = true;
  std::atomic<std::uint64_t> mLimit{MemoryRecycler::kDefaultPoolLimit};
  std::atomic<std::uint64_t> mCurrentSize{0};
};

// The pool itself is never destroyed, so that buffers released by other
// static objects during exit still find it; at exit it is emptied and its
// limit set to 0, so such buffers are freed at once.
struct ScShutdownPoolAtExit {
  explicit ScShutdownPoolAtExit(SimpleMemoryPool& inPool) : mPool(inPool) {}
  ~ScShutdownPoolAtExit() { mPool.Shutdown(); }
  SimpleMemoryPool& mPool;
};

SimpleMemoryPool& Pool() noexcept {
  alignas(SimpleMemoryPool) static unsigned char sStorage[sizeof(SimpleMemoryPool)];
  static SimpleMemoryPool* const sPool = new (sStorage) SimpleMemoryPool;
  static ScShutdownPoolAtExit sShutdown(*sPool);
  return *sPool;
}

std::uint64_t RoundedSize(std::uint64_t inSize) {
  if (inSize < MemoryRecycler::kMinimumPooledSize) return inSize;
  const std::uint64_t step = inSize < kOneMiB ? kSmallStep : kLargeStep;
  if (inSize > std::numeric_limits<std::size_t>::max() - step) throw std::bad_alloc();
  return (inSize + step - 1) / step * step;
}

}  // namespace

namespace MemoryRecycler {

void* Allocate(std::uint64_t inSize, std::uint64_t& outAllocatedSize) {
  const std::uint64_t size = RoundedSize(inSize);
  outAllocatedSize = size;
  if (size >= kMinimumPooledSize) {
    if (void* pooled = Pool().Retrieve(size)) return pooled;
  }
  for (int attempt = 0;; ++attempt) {
    try {
      return SmallBlockAllocator::Allocate(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
      if (attempt == 0) {
        PurgeBytes(size);
        continue;
      }
      if (attempt == 1) {
        config::ErrorManager* manager = config::ErrorManager::Get(true);
        if (manager && manager->PurgeMemory(size)) continue;
      }
      throw;
    }
  }
}

void Recycle(void* inPointer, std::uint64_t inAllocatedSize) noexcept {
  if (!inPointer) return;
  if (inAllocatedSize < kMinimumPooledSize) {
    SmallBlockAllocator::Dispose(inPointer, static_cast<std::size_t>(inAllocatedSize));
    return;
  }
  Pool().Recycle(inPointer, inAllocatedSize);
}

std::uint64_t GetPoolLimit() noexcept { return Pool().GetLimit(); }

std::uint64_t GetCurrentPoolSize() noexcept { return Pool().GetCurrentSize(); }

void SetPoolLimit(std::uint64_t inLimit) noexcept { Pool().SetLimit(inLimit == 0 ? kDefaultPoolLimit : inLimit); }

std::uint64_t PurgeBytes(std::uint64_t inByteCount) noexcept { return Pool().PurgeBytes(inByteCount); }

std::uint64_t ReconcileSize() noexcept { return Pool().ReconcileSize(); }

void SetReconcileSizeAutomatically(bool inAutomatic) noexcept { Pool().SetAutomaticReconcile(inAutomatic); }

}  // namespace MemoryRecycler

RecycledMemory::RecycledMemory(std::uint64_t inSize) : mBuffer(nullptr), mSize(0), mAllocatedSize(0) {
  Allocate(inSize);
}

RecycledMemory::RecycledMemory(const RecycledMemory& inOther)
    : SmallBlockAllocator::Allocated<RecycledMemory>(), mBuffer(nullptr), mSize(0), mAllocatedSize(0) {
  Allocate(inOther.Size());
  if (mBuffer) std::memcpy(mBuffer, inOther.Buffer(), static_cast<std::size_t>(mSize));
}

RecycledMemory::~RecycledMemory() { Free(); }

boost::shared_ptr<RecycledMemory> RecycledMemory::Create(std::uint64_t inSize) {
  return boost::shared_ptr<RecycledMemory>(new RecycledMemory(inSize));
}

boost::shared_ptr<const RecycledMemory> RecycledMemory::Wrap(const boost::shared_ptr<const UTF8String>& inText) {
  boost::shared_ptr<RecycledMemory> memory(new RecycledMemory());
  if (inText) {
    memory->mShared = inText;
    memory->mBuffer = const_cast<unsigned char*>(inText->data());
    memory->mSize = inText->size();
  }
  return memory;
}

void RecycledMemory::Allocate(std::uint64_t inSize) {
  Free();
  if (inSize == 0) return;
  std::uint64_t allocated = 0;
  mBuffer = MemoryRecycler::Allocate(inSize, allocated);
  mSize = inSize;
  mAllocatedSize = allocated;
}

void RecycledMemory::Free() noexcept {
  if (mShared)
    mShared.reset();
  else
    MemoryRecycler::Recycle(mBuffer, mAllocatedSize);
  mBuffer = nullptr;
  mSize = 0;
  mAllocatedSize = 0;
}

}  // namespace utility
}  // namespace basalt
