// Facts of the machine the executors and the host size themselves by.
#ifndef BASALT_UTILITY_SYSTEMINFORMATION_H
#define BASALT_UTILITY_SYSTEMINFORMATION_H

#include <basalt/utility/Export.h>

#include <cstdint>

namespace basalt {
namespace utility {

// The processors this process may run on (its affinity mask); when that
// cannot be read, the processors online. At least 1.
BSL_EXPORT std::uint32_t CPUCount() noexcept;

// Total physical memory in bytes; 0 when it cannot be read.
BSL_EXPORT std::uint64_t TotalPhysicalMemory() noexcept;

// The kernel's version: on Linux the first two numbers of the release
// ("6.1.0-18-amd64" gives 6 and 1). Both outputs are 0 and the result false
// when the version cannot be read.
BSL_EXPORT bool GetSystemVersion(unsigned& outMajor, unsigned& outMinor) noexcept;

// True only on Windows 8 or later; false on every other system.
BSL_EXPORT bool IsRunningWindows8OrAbove() noexcept;

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_SYSTEMINFORMATION_H
