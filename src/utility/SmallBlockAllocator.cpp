// TEMPORARY system-route stand-in until the size classes land.
#include <basalt/utility/SmallBlockAllocator.h>
#include <cstdlib>
namespace basalt { namespace utility { namespace SmallBlockAllocator {
void* Allocate(std::size_t inSize) {
  void* p = std::aligned_alloc(16, (inSize + 15) / 16 * 16 + 16);
  if (!p) throw std::bad_alloc();
  return p;
}
void Dispose(void* inPointer, std::size_t) noexcept { std::free(inPointer); }
std::size_t GetActualAllocationSize(std::size_t inSize) noexcept { return inSize; }
bool Metrics::GetSnapshot(Snapshot&) noexcept { return false; }
}}}
