// The host's message localizer.
//
// The library writes every user-visible text as a ZString key (see
// basalt/config/ZString.h). The host application implements Localizer to map
// keys to the user's language and installs it at start-up with Set. The
// library decides when its own dictionary is loaded and where it lies:
//   <folder of libbasalt>/dict/bsl_<language>.dict
// It is loaded by whichever of Localizer::Set (with a localizer) and
// basalt::Locale::Initialize comes last, and again by each later call.
//
// Thread safety: install the localizer during start-up, before other threads
// format messages. Localize is called from any thread; implementations must
// allow concurrent lookups.
#ifndef BASALT_CONFIG_LOCALIZER_H
#define BASALT_CONFIG_LOCALIZER_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UnicodeString.h>

namespace basalt {
namespace config {

class BSL_EXPORT Localizer {
public:
  Localizer(const Localizer&) = delete;
  Localizer& operator=(const Localizer&) = delete;
  virtual ~Localizer();

  // The text for inKey in the current language, or the key's default text
  // (after the first "=") when no dictionary translates it.
  virtual UTF16String Localize(const char* inKey) = 0;
  // Adds the dictionary at inPath to the lookups. A missing file is the
  // implementation's concern.
  virtual void LoadDictionary(const UTF16String& inPath) = 0;

  // The installed localizer. Throws std::logic_error with
  // "basalt::config::Localizer not initialized. Check basalt/config/Localizer.h."
  // when none is installed.
  static Localizer* Get();
  // Installs inLocalizer without taking ownership (null removes it) and, when
  // it is not null, loads the library's dictionary into it.
  static void Set(Localizer* inLocalizer);
  static bool Initialized();
  // Loads the library's own dictionary when a localizer is installed and the
  // application language has been set with basalt::Locale::Initialize.
  static void LoadBSLDictionaries();

  // The path LoadBSLDictionaries passes for the current language.
  static UTF16String GetBSLDictionaryPath();

  // The default text of a ZString key: everything after its first "=", or
  // the whole key when it has none. A null key gives an empty text.
  static UTF16String DefaultText(const char* inKey);

protected:
  Localizer() = default;
};

}  // namespace config
}  // namespace basalt

#endif  // BASALT_CONFIG_LOCALIZER_H
