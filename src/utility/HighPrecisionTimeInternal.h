// The platform's monotonic counter behind HighPrecisionTime.
#ifndef BASALT_UTILITY_HIGHPRECISIONTIMEINTERNAL_H
#define BASALT_UTILITY_HIGHPRECISIONTIMEINTERNAL_H

#include <cstdint>

namespace basalt {
namespace utility {
namespace internal {

std::uint64_t ReadMonotonicCounter() noexcept;
// Ticks per second; read once when the library is loaded.
std::uint64_t ReadMonotonicCounterFrequency() noexcept;

}  // namespace internal
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_HIGHPRECISIONTIMEINTERNAL_H
