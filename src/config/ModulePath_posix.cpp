#include "config/ModulePathInternal.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

namespace basalt {
namespace config {
namespace internal {

const char kPathSeparator = '/';

std::string LibraryDirectory() {
  Dl_info info{};
  // Any function of the library names the object it was loaded from.
  if (dladdr(reinterpret_cast<const void*>(&LibraryDirectory), &info) == 0 || info.dli_fname == nullptr) return {};
  std::string path = info.dli_fname;
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) path = resolved;
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace internal
}  // namespace config
}  // namespace basalt
