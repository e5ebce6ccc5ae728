// Debugger presence and the developer prompt for machine exceptions.
#ifndef BASALT_SRC_CONFIG_DEBUGGERINTERNAL_H
#define BASALT_SRC_CONFIG_DEBUGGERINTERNAL_H

#include <cstdint>
#include <string>

namespace basalt {
namespace config {
namespace internal {

// True when a debugger (any tracer) is attached to the process.
bool IsDebuggerAttached() noexcept;

// Asks the developer whether to debug a machine exception; answers true to
// debug. May set *ioDoNotAskAgain. The assertion dialog will take this over;
// until then the report goes to standard error and the answer is to debug,
// since this is only asked while a debugger is attached.
bool AskToDebugMachineException(const char* inText, const char* inHint, const char* inFile, std::uint32_t inLine,
                                const char* inFunction, bool* ioDoNotAskAgain);

// Reports a failed assertion at inFile:inLine in inFunction, with an
// explanation. Does nothing when ioIgnoreAlways is set (one flag per report
// site, which the assertion dialog sets on "Ignore Always"). The dialog will
// take this over; until then the report goes to standard error.
void ReportFailedAssertion(const char* inExpression, const char* inFunction, const char* inFile, int inLine,
                           const std::string& inMessage, bool& ioIgnoreAlways);

}  // namespace internal
}  // namespace config
}  // namespace basalt

#endif  // BASALT_SRC_CONFIG_DEBUGGERINTERNAL_H
