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

#include <basalt/config/Localizer.h>
#include <basalt/utility/UTFStreams.h>

#include <clocale>
#include <mutex>

namespace basalt {
namespace {

struct LanguageState {
  std::mutex mLock;
  UTF16String mLanguage;
};

LanguageState& TheLanguage() {
  static LanguageState* const sState = new LanguageState;
  return *sState;
}

template <class Stream>
double ReadDouble(Stream& ioStream) {
  double value = 0;
  ioStream >> value;
  return ioStream.fail() ? 0 : value;
}

}  // namespace

const std::locale& Locale::Native() {
  static const std::locale* const S_nativeP = [] {
    std::locale user = std::locale::classic();
    try {
      user = std::locale("");
    } catch (const std::exception&) {
      // The environment names a locale the system does not have.
    }
    return new std::locale(config::internal::WithNativeNumberPunctuation(user));
  }();
  return *S_nativeP;
}

void Locale::Initialize(const UTF16String& inLanguage) {
  std::locale::global(Default());
  {
    LanguageState& state = TheLanguage();
    std::lock_guard<std::mutex> hold(state.mLock);
    state.mLanguage = inLanguage;
  }
  config::Localizer::LoadBSLDictionaries();
}

bool Locale::IsInitialized() {
  LanguageState& state = TheLanguage();
  std::lock_guard<std::mutex> hold(state.mLock);
  return !state.mLanguage.empty();
}

UTF16String Locale::ApplicationLangauge() {
  LanguageState& state = TheLanguage();
  std::lock_guard<std::mutex> hold(state.mLock);
  return state.mLanguage.empty() ? BSL_STR("en_US") : state.mLanguage;
}

double Locale::GetValueFromDisplayString(const UTF16String& inText) {
  if (inText.empty()) return 0;
  UTF16StringStream nativeStream(inText);
  nativeStream.imbue(Native());
  const double native = ReadDouble(nativeStream);
  iUTF16StringStream classicStream(inText);
  const double classic = ReadDouble(classicStream);
  if (native > 0 && classic > 0) return native > classic ? native : classic;
  if (native < 0 && classic < 0) return native < classic ? native : classic;
  // A classic reading of zero beside a non-zero native one is a fraction
  // written with the user's decimal separator ("0,5", "-0,25"): the classic
  // reading stopped at the separator.
  if (classic == 0 && native != 0) return native;
  return classic;
}

Locale::ScResetLocale::ScResetLocale() : mCategory(LC_ALL) {
  const char* current = std::setlocale(LC_ALL, nullptr);
  mLocaleName = current ? current : "C";
}

Locale::ScResetLocale::ScResetLocale(int inCategory, const char* inLocaleName) : mCategory(inCategory) {
  // Without a name, keep the category's current setting: an empty name would
  // make the destructor pick the environment's locale instead.
  const char* name = inLocaleName ? inLocaleName : std::setlocale(inCategory, nullptr);
  mLocaleName = name ? name : "C";
}

Locale::ScResetLocale::ScResetLocale(const ScResetLocale& inOther) = default;
Locale::ScResetLocale& Locale::ScResetLocale::operator=(const ScResetLocale& inOther) = default;

Locale::ScResetLocale::~ScResetLocale() { std::setlocale(mCategory, mLocaleName.c_str()); }

}  // namespace basalt
