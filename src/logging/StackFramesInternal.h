// The names of code addresses, for the stack frames of log records.
#ifndef BASALT_LOGGING_STACKFRAMESINTERNAL_H
#define BASALT_LOGGING_STACKFRAMESINTERNAL_H

#include <cstddef>

namespace basalt {
namespace logging {
namespace internal {

// Writes the name of the function containing inAddress to outName (at most
// inSize bytes, NUL included) and its source line to outLine. False when the
// address cannot be resolved; outName is then empty.
bool ResolveStackFrame(void* inAddress, char* outName, std::size_t inSize, unsigned int& outLine) noexcept;

}  // namespace internal
}  // namespace logging
}  // namespace basalt

#endif  // BASALT_LOGGING_STACKFRAMESINTERNAL_H
