#include <basalt/config/Locale.h>
#include <basalt/config/Localizer.h>

#include "config/ModulePathInternal.h"

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace basalt {
namespace config {
namespace {

// Installed during start-up; atomic so that a late Set is not a data race
// with readers on other threads.
std::atomic<Localizer*> S_localizerP{nullptr};

}  // namespace

Localizer::~Localizer() {
  Localizer* self = this;
  S_localizerP.compare_exchange_strong(self, nullptr);
}

Localizer* Localizer::Get() {
  Localizer* localizer = S_localizerP.load(std::memory_order_acquire);
  if (localizer == nullptr)
    throw std::logic_error("basalt::config::Localizer not initialized. Check basalt/config/Localizer.h.");
  return localizer;
}

void Localizer::Set(Localizer* inLocalizer) {
  S_localizerP.store(inLocalizer, std::memory_order_release);
  if (inLocalizer != nullptr) LoadBSLDictionaries();
}

bool Localizer::Initialized() { return S_localizerP.load(std::memory_order_acquire) != nullptr; }

UTF16String Localizer::GetBSLDictionaryPath() {
  const std::string directory = internal::LibraryDirectory();
  UTF8String path(directory.begin(), directory.end());
  if (!path.empty() && path.back() != internal::kPathSeparator) path += internal::kPathSeparator;
  path += BSL_UTF8("dict");
  path += internal::kPathSeparator;
  path += BSL_UTF8("bsl_");
  path += utility::UTF16to8(basalt::Locale::ApplicationLangauge());
  path += BSL_UTF8(".dict");
  return utility::UTF8to16(path);
}

void Localizer::LoadBSLDictionaries() {
  Localizer* localizer = S_localizerP.load(std::memory_order_acquire);
  if (localizer == nullptr || !basalt::Locale::IsInitialized()) return;
  localizer->LoadDictionary(GetBSLDictionaryPath());
}

UTF16String Localizer::DefaultText(const char* inKey) {
  if (inKey == nullptr) return UTF16String();
  const char* equals = std::strchr(inKey, '=');
  const char* text = equals != nullptr ? equals + 1 : inKey;
  const std::size_t length = std::strlen(text);
  return utility::UTF8to16(UTF8String(reinterpret_cast<const unsigned char*>(text), length));
}

}  // namespace config
}  // namespace basalt
