#include "utility/HighPrecisionTimeInternal.h"

#include <time.h>

namespace basalt {
namespace utility {
namespace internal {

std::uint64_t ReadMonotonicCounter() noexcept {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// CLOCK_MONOTONIC counts nanoseconds.
std::uint64_t ReadMonotonicCounterFrequency() noexcept { return 1000000000u; }

}  // namespace internal
}  // namespace utility
}  // namespace basalt
