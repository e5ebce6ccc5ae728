#include <basalt/utility/OSServices.h>

#include <unistd.h>

#include <climits>
#include <cstring>

namespace basalt {
namespace utility {

ImmutableString GetLocalHostName() {
  static const ImmutableString sHostName = [] {
    char name[HOST_NAME_MAX + 1] = {};
    // gethostname may leave a truncated name unterminated; the last byte
    // stays NUL.
    if (gethostname(name, sizeof name - 1) != 0) return ImmutableString();
    return ImmutableString::CreateDynamic(name);
  }();
  return sHostName;
}

}  // namespace utility
}  // namespace basalt
