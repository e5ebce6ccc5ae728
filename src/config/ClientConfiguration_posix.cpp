#include "config/ClientConfigurationInternal.h"

namespace basalt {
namespace config {
namespace internal {

UTF16String PlatformName() { return BSL_STR("Linux"); }

}  // namespace internal
}  // namespace config
}  // namespace basalt
