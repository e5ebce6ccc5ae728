#include "utility/VirtualMemoryInternal.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <limits>

namespace basalt {
namespace utility {
namespace internal {
namespace {

std::size_t PageSize() noexcept {
  static const std::size_t sPageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return sPageSize;
}

// Rounds up to whole pages; 0 when the rounded size does not fit.
std::size_t PageRounded(std::size_t inSize) noexcept {
  const std::size_t page = PageSize();
  if (inSize == 0) return page;
  if (inSize > std::numeric_limits<std::size_t>::max() - (page - 1)) return 0;
  return (inSize + page - 1) & ~(page - 1);
}

}  // namespace

// mmap hands out pages top-down by default, which is what the Windows build
// asks VirtualAlloc for explicitly: large mappings stay away from the heap.
void* AllocateVirtualMemory(std::size_t inSize) noexcept {
  const std::size_t size = PageRounded(inSize);
  if (size == 0) return nullptr;
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return address == MAP_FAILED ? nullptr : address;
}

void FreeVirtualMemory(void* inAddress, std::size_t inSize) noexcept {
  if (inAddress == nullptr) return;
  ::munmap(inAddress, PageRounded(inSize));
}

// MADV_FREE frees the pages lazily: they stay in place, cost nothing to
// write again and go only when the kernel needs memory. MADV_DONTNEED would
// fault every page in again on the next use, which is what keeping the
// memory is meant to avoid, so a kernel without MADV_FREE gets a refusal.
bool DiscardVirtualMemory(void* inAddress, std::size_t inSize) noexcept {
#if defined(MADV_FREE)
  const std::size_t size = PageRounded(inSize);
  return inAddress != nullptr && size != 0 && ::madvise(inAddress, size, MADV_FREE) == 0;
#else
  (void)inAddress;
  (void)inSize;
  return false;
#endif
}

void* AllocateAlignedHeap(std::size_t inSize) noexcept {
  // aligned_alloc wants a multiple of the alignment.
  if (inSize > std::numeric_limits<std::size_t>::max() - 15) return nullptr;
  const std::size_t size = inSize == 0 ? 16 : (inSize + 15) & ~std::size_t{15};
  return std::aligned_alloc(16, size);
}

void FreeAlignedHeap(void* inAddress) noexcept { std::free(inAddress); }

}  // namespace internal
}  // namespace utility
}  // namespace basalt
