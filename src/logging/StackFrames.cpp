#include "logging/StackFramesInternal.h"

namespace basalt {
namespace logging {
namespace internal {

// Symbol lookup comes with the library's stack traces; until then no address
// resolves, so records travel without frame names.
bool ResolveStackFrame(void* /*inAddress*/, char* outName, std::size_t inSize, unsigned int& outLine) noexcept {
  if (inSize != 0) outName[0] = 0;
  outLine = 0;
  return false;
}

}  // namespace internal
}  // namespace logging
}  // namespace basalt
