// The operating-system memory the small-block allocator stands on: whole pages
// of virtual memory for chunks and large blocks, and a 16-byte aligned heap for
// the few blocks served before the size classes exist.
//
// Every function is thread-safe and reports failure with a null result, never
// by throwing; the caller turns null into std::bad_alloc.
#ifndef BASALT_SRC_UTILITY_VIRTUALMEMORYINTERNAL_H
#define BASALT_SRC_UTILITY_VIRTUALMEMORYINTERNAL_H

#include <cstddef>

namespace basalt {
namespace utility {
namespace internal {

// Reserves and commits readable, writable, zero-filled pages covering inSize
// bytes (at least one page). The result is page-aligned, or null.
void* AllocateVirtualMemory(std::size_t inSize) noexcept;

// Releases pages taken with AllocateVirtualMemory(inSize); inSize must be the
// size passed there. Null is ignored.
void FreeVirtualMemory(void* inAddress, std::size_t inSize) noexcept;

// Tells the system that the contents of pages taken with
// AllocateVirtualMemory(inSize) are no longer needed, keeping them mapped. The
// system may take the pages back whenever it runs short; a page read later
// holds either its old bytes or zeros until it is written again, and a page
// written again is kept. False when the system cannot do this, in which case
// nothing changed.
bool DiscardVirtualMemory(void* inAddress, std::size_t inSize) noexcept;

// At least inSize bytes (16 for 0) aligned to 16 bytes from the runtime heap,
// or null.
void* AllocateAlignedHeap(std::size_t inSize) noexcept;

// Gives back a block of AllocateAlignedHeap. Null is ignored.
void FreeAlignedHeap(void* inAddress) noexcept;

}  // namespace internal
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_SRC_UTILITY_VIRTUALMEMORYINTERNAL_H
