// The small-block allocator behind every string and container of the library.
//
// Requests of up to 8192 bytes, and of exactly 4160 and 66624 bytes, are served
// from 70 fixed size classes that carve equal 16-byte aligned blocks out of
// larger chunks; every other request goes straight to page-granular virtual
// memory and straight back to it on Dispose.
//
// When memory goes back:
//  - Every thread keeps, per class of up to 8192 bytes, the blocks it
//    disposed of most recently and hands them out again first: as many as
//    fit in 8 KiB, but at least 2 and at most 32 (about 527 KiB over all
//    classes). When a thread disposes of one block more than that, the older
//    half goes back to the class; when the thread ends, all of them do.
//    Blocks of exactly 4160 and 66624 bytes always go straight back.
//  - A class keeps one chunk for good once it has had one, and gives every
//    other chunk back as soon as it is entirely free, that is on the disposal
//    that returns its last block to it. Blocks waiting in a thread's cache
//    have not returned yet.
//  - Chunks of 932800 bytes, the largest, are kept for reuse once given back,
//    up to 32 of them (about 28.5 MiB); their pages are offered back to the
//    kernel, which takes them when it runs short of memory. A chunk given back
//    while 32 are waiting is unmapped at once.
//
// Contract:
//  - The allocator is sized: Dispose must be given the size passed to Allocate
//    (any size that selects the same class also works). Disposing with the size
//    of another class is an error with undefined results: the block may be
//    handed out again for that class's requests.
//  - Allocate never returns null; when no memory can be had it throws
//    std::bad_alloc whose what() is "bad allocation". Dispose of a null pointer
//    does nothing.
//  - Thread safety: any thread may allocate and dispose at any time, and may
//    dispose blocks allocated on other threads. The common path takes no lock,
//    and no atomic read-modify-write while it stays within the thread's cache.
//  - The allocator initialises itself on first use and is never torn down. A
//    thread that arrives while another one initialises does not wait: its
//    request is served by the system (the aligned heap below 8192 bytes,
//    virtual memory above), and the block can be disposed later as usual.
//    While any such block of up to 8192 bytes is out, disposals skip the
//    threads' caches and go to the classes, which can tell it from their own.
#ifndef BASALT_UTILITY_SMALLBLOCKALLOCATOR_H
#define BASALT_UTILITY_SMALLBLOCKALLOCATOR_H

#include <basalt/utility/Export.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace basalt {
namespace utility {
namespace SmallBlockAllocator {

// Returns a block of at least inSize bytes, 16-byte aligned. Never null.
BSL_EXPORT void* Allocate(std::size_t inSize);

// Gives back a block taken with Allocate(inSize). Null is ignored.
BSL_EXPORT void Dispose(void* inPointer, std::size_t inSize) noexcept;

// The usable bytes Allocate yields for inSize: the block size of the serving
// class for sizes up to 8192 (4160 for exactly 4160), otherwise inSize.
BSL_EXPORT std::size_t GetActualAllocationSize(std::size_t inSize) noexcept;

// This library collects no allocator metrics; the query exists for callers
// written against builds that do.
class BSL_EXPORT Metrics {
public:
  struct Snapshot {
    std::uint64_t mReserved[16];
  };
  // Always false; the snapshot is left untouched.
  static bool GetSnapshot(Snapshot& outSnapshot) noexcept;
};

// Stateless standard allocator over the small-block allocator.
template <class T>
class STLAllocator {
public:
  using value_type = T;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using propagate_on_container_move_assignment = std::true_type;
  using is_always_equal = std::true_type;
  template <class U>
  struct rebind {
    using other = STLAllocator<U>;
  };

  STLAllocator() noexcept = default;
  template <class U>
  STLAllocator(const STLAllocator<U>&) noexcept {}

  T* allocate(std::size_t inCount) {
    if (inCount > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(Allocate(inCount * sizeof(T)));
  }
  void deallocate(T* inPointer, std::size_t inCount) noexcept { Dispose(inPointer, inCount * sizeof(T)); }

  template <class U>
  bool operator==(const STLAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const STLAllocator<U>&) const noexcept { return false; }
};

template <class T>
using vector = std::vector<T, STLAllocator<T>>;

template <class K, class V, class C = std::less<K>>
using map = std::map<K, V, C, STLAllocator<std::pair<const K, V>>>;

namespace internal {
// Support of Allocated's non-throwing operator new: a block as Allocate would
// give it, or null where Allocate would throw.
BSL_EXPORT void* AllocateForNoThrowNew(std::size_t inSize) noexcept;
// Gives back a block of AllocateForNoThrowNew whose size is not known: the
// placement delete that runs when a constructor throws gets none.
BSL_EXPORT void DisposeAfterFailedConstruction(void* inPointer) noexcept;
}  // namespace internal

// Mixin giving T class-specific operator new and delete over the allocator.
// Deleting through a base pointer needs a virtual destructor, so the sized
// operator delete receives the size of the most derived object.
//
// new (std::nothrow) returns null where plain new throws. When a constructor
// throws after the non-throwing form allocated, the language hands the
// matching placement delete no size, and the object may be of a class derived
// from T and larger than T; the block is then found by its address.
template <class T>
class Allocated {
public:
  static void* operator new(std::size_t inSize) { return Allocate(inSize); }
  static void* operator new(std::size_t inSize, const std::nothrow_t&) noexcept {
    return internal::AllocateForNoThrowNew(inSize);
  }
  static void* operator new(std::size_t, void* inPlace) noexcept { return inPlace; }
  static void operator delete(void* inPointer, std::size_t inSize) noexcept { Dispose(inPointer, inSize); }
  static void operator delete(void* inPointer, const std::nothrow_t&) noexcept {
    internal::DisposeAfterFailedConstruction(inPointer);
  }
  static void operator delete(void*, void*) noexcept {}
};

}  // namespace SmallBlockAllocator
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_SMALLBLOCKALLOCATOR_H
