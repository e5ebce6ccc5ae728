// Platform piece of the client configuration.
#ifndef BASALT_SRC_CONFIG_CLIENTCONFIGURATIONINTERNAL_H
#define BASALT_SRC_CONFIG_CLIENTCONFIGURATIONINTERNAL_H

#include <basalt/utility/UnicodeString.h>

namespace basalt {
namespace config {
namespace internal {

// The name GetClientPlatform reports for the system the library was built for.
UTF16String PlatformName();

}  // namespace internal
}  // namespace config
}  // namespace basalt

#endif  // BASALT_SRC_CONFIG_CLIENTCONFIGURATIONINTERNAL_H
