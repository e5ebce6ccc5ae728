#include "config/DebuggerInternal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

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

void ReportFailedAssertion(const char* inExpression, const char* inFunction, const char* inFile, int inLine,
                           const std::string& inMessage, bool& ioIgnoreAlways) {
  if (ioIgnoreAlways) return;
  std::string report;
  if (!inMessage.empty()) report += inMessage + "\n\n";
  report += std::string("Expression: ") + (inExpression ? inExpression : "") + "\n";
  report += std::string("Process: ") + program_invocation_short_name + "\n";
  report += "Process ID: " + std::to_string(::getpid()) + "\n";
  report += "Thread ID: " + std::to_string(::syscall(SYS_gettid)) + "\n";
  report += std::string("File: ") + (inFile ? inFile : "") + "\n";
  report += "Line: " + std::to_string(inLine) + "\n";
  report += std::string("Function: ") + (inFunction ? inFunction : "") + "\n";
  // One write, so that reports from several threads do not interleave.
  std::fprintf(stderr, "Debug Assert failed!\n%s", report.c_str());
  std::fflush(stderr);
}

}  // namespace internal
}  // namespace config
}  // namespace basalt
