// Test access to the lazy creation of basalt::Locale's locales.
#ifndef BASALT_SRC_CONFIG_LOCALEINTERNAL_H
#define BASALT_SRC_CONFIG_LOCALEINTERNAL_H

#include <basalt/utility/Export.h>

namespace basalt {
namespace config {
namespace internal {

// True once Locale::Default() has built its locale. Lets a test prove that it
// really exercised the first use rather than a locale built earlier.
BSL_EXPORT bool DefaultLocaleCreated() noexcept;

}  // namespace internal
}  // namespace config
}  // namespace basalt

#endif  // BASALT_SRC_CONFIG_LOCALEINTERNAL_H
