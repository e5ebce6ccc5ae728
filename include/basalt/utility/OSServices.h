// Thin services of the operating system.
#ifndef BASALT_UTILITY_OSSERVICES_H
#define BASALT_UTILITY_OSSERVICES_H

#include <basalt/utility/Export.h>
#include <basalt/utility/ImmutableString.h>

namespace basalt {
namespace utility {

// This machine's host name, read once per process and cached; empty when the
// system cannot tell it. Any thread.
BSL_EXPORT ImmutableString GetLocalHostName();

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_OSSERVICES_H
