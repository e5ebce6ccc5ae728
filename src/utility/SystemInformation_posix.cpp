#include <basalt/utility/SystemInformation.h>

#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace basalt {
namespace utility {

std::uint32_t CPUCount() noexcept {
  // The affinity mask says where this process may run (containers, taskset);
  // machines with more processors than a default cpu_set_t need a bigger set.
  for (int processors = CPU_SETSIZE; processors <= (1 << 16); processors *= 2) {
    cpu_set_t* set = CPU_ALLOC(processors);
    if (set == nullptr) break;
    const std::size_t size = CPU_ALLOC_SIZE(processors);
    CPU_ZERO_S(size, set);
    const int result = ::sched_getaffinity(0, size, set);
    const int count = result == 0 ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (result == 0) {
      if (count > 0) return static_cast<std::uint32_t>(count);
      break;
    }
    if (errno != EINVAL) break;
  }
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::uint32_t>(online) : 1u;
}

std::uint64_t TotalPhysicalMemory() noexcept {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

bool GetSystemVersion(unsigned& outMajor, unsigned& outMinor) noexcept {
  outMajor = 0;
  outMinor = 0;
  utsname name;
  if (::uname(&name) != 0) return false;
  char* end = nullptr;
  const unsigned long major = std::strtoul(name.release, &end, 10);
  if (end == name.release) return false;
  unsigned long minor = 0;
  if (*end == '.') minor = std::strtoul(end + 1, nullptr, 10);
  outMajor = static_cast<unsigned>(major);
  outMinor = static_cast<unsigned>(minor);
  return true;
}

bool IsRunningWindows8OrAbove() noexcept { return false; }

}  // namespace utility
}  // namespace basalt
