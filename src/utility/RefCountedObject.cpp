#include <basalt/utility/MemoryTracker.h>
#include <basalt/utility/RefCountedObject.h>

namespace basalt {
namespace utility {
namespace {

static_assert(sizeof(std::atomic<bool>) == 1, "the destruction flags are one byte each");
static_assert(sizeof(std::atomic<std::uint32_t>) == 4, "the count is 32 bits");

std::atomic<MemoryTracker*> sInstance{nullptr};

}  // namespace

// The tracker lives here with its one caller in the library.
MemoryTracker* MemoryTracker::Get() noexcept { return sInstance.load(std::memory_order_acquire); }

void MemoryTracker::Set(MemoryTracker* inTracker) noexcept { sInstance.store(inTracker, std::memory_order_release); }

MemoryTracker::~MemoryTracker() = default;

bool MemoryTracker::AfterAllocate(void*) { return false; }

bool MemoryTracker::BeforeFree(void*) { return false; }

RefCountedObject::RefCountedObject() : mRefCount(0), mDestroying(false), mDeletionSuppressed(false) {
  if (MemoryTracker* tracker = MemoryTracker::Get()) tracker->AfterAllocate(this);
}

RefCountedObject::RefCountedObject(const RefCountedObject&) : RefCountedObject() {}

RefCountedObject::~RefCountedObject() {
  if (MemoryTracker* tracker = MemoryTracker::Get()) tracker->BeforeFree(this);
}

void RefCountedObject::AddRef() const noexcept { mRefCount.fetch_add(1, std::memory_order_relaxed); }

void RefCountedObject::Release() const noexcept {
  // acq_rel: every holder's release orders its use of the object before the
  // destruction, which the last one acquires.
  if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (mDeletionSuppressed.load(std::memory_order_relaxed)) return;
  if (mDestroying.exchange(true, std::memory_order_relaxed)) return;
  delete this;
}

}  // namespace utility
}  // namespace basalt
