#include "config/DebuggerInternal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace basalt {
namespace config {
namespace internal {

bool IsDebuggerAttached() noexcept {
  // A traced process shows its tracer's pid on the TracerPid line.
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return false;
  char line[256];
  long tracer = 0;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "TracerPid:", 10) == 0) {
      tracer = std::strtol(line + 10, nullptr, 10);
      break;
    }
  }
  std::fclose(status);
  return tracer != 0;
}

bool AskToDebugMachineException(const char* inText, const char* inHint, const char* inFile, std::uint32_t inLine,
                                const char* inFunction, bool* ioDoNotAskAgain) {
  (void)ioDoNotAskAgain;
  std::fprintf(stderr, "%s\n%s\nFile: %s\nLine: %u\nFunction: %s\n", inText ? inText : "", inHint ? inHint : "",
               inFile ? inFile : "", static_cast<unsigned>(inLine), inFunction ? inFunction : "");
  return true;
}

}  // namespace internal
}  // namespace config
}  // namespace basalt
