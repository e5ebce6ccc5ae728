#include "utility/GuidInternal.h"

#include <errno.h>
#include <sys/random.h>

namespace basalt {
namespace utility {
namespace internal {

// getrandom blocks only until the pool is first initialised and never fails
// afterwards for requests this small, but a signal may interrupt it and it
// may in principle return fewer bytes than asked; both are retried.
bool ReadSystemRandom(unsigned char* outBytes, std::size_t inCount) noexcept {
  std::size_t done = 0;
  while (done < inCount) {
    const ssize_t got = ::getrandom(outBytes + done, inCount - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace internal
}  // namespace utility
}  // namespace basalt
