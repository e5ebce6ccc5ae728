#include <basalt/config/Locale.h>

#include "config/CodeUnitFacetsInternal.h"
#include "config/LocaleInternal.h"

#include <atomic>

namespace basalt {

namespace {

std::atomic<bool> sDefaultCreated{false};

}  // namespace

const std::locale& Locale::Default() {
  // Never destroyed: streams may be built, and imbued with it, by static
  // destructors that run after this function's statics would have been.
  static const std::locale* const S_defaultP = [] {
    const std::locale* locale = new std::locale(config::internal::WithCodeUnitFacets(std::locale::classic()));
    sDefaultCreated.store(true, std::memory_order_release);
    return locale;
  }();
  return *S_defaultP;
}

namespace config {
namespace internal {

bool DefaultLocaleCreated() noexcept {
  return sDefaultCreated.load(std::memory_order_acquire);
}

}  // namespace internal
}  // namespace config

}  // namespace basalt
