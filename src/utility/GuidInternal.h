// The operating system's random source behind Guid::CreateUnique.
#ifndef BASALT_UTILITY_GUIDINTERNAL_H
#define BASALT_UTILITY_GUIDINTERNAL_H

#include <basalt/utility/Export.h>

#include <cstddef>

namespace basalt {
namespace utility {
namespace internal {

// Fills outBytes[0, inCount) from the kernel's random source; false when it
// could not deliver all of them.
typedef bool (*RandomSource)(unsigned char* outBytes, std::size_t inCount);

BSL_EXPORT bool ReadSystemRandom(unsigned char* outBytes, std::size_t inCount) noexcept;

// Replaces the source CreateUnique reads (null restores the system's) and
// returns the previous replacement, or null. Lets tests reach the failure
// path, which a healthy kernel never takes.
BSL_EXPORT RandomSource SetRandomSourceForTesting(RandomSource inSource) noexcept;

}  // namespace internal
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_GUIDINTERNAL_H
