// basalt::Locale: the application language and the standard-library locales
// the library formats and parses text with.
//
// Default() is a copy of the classic ("C") locale to which the library adds
// the character-classification and number facets for its two code-unit types,
// UTF16Char (char16_t) and unsigned char:
//   std::ctype, std::numpunct, std::num_put and std::num_get.
// They behave as the classic locale does for char: "." as decimal point, no
// digit grouping, "true"/"false", ASCII digits, and the classic classification
// and case mapping of the 128 ASCII units. Every other unit is classified as
// nothing (not a space, digit, letter or punctuation) and maps to itself.
// Widening a narrow char gives the same unit for ASCII; a byte 0x80..0xFF
// widens to U+FFFD in UTF-16 (a lone byte of UTF-8 is no character) and to
// itself in UTF-8. Narrowing gives the ASCII char for an ASCII unit, the byte
// itself for a UTF-8 unit, and the caller's default for any other UTF-16 unit.
//
// Native() is the user's locale as the environment names it (all categories),
// or the classic locale when that cannot be built, with the same code-unit
// facets; their decimal point, thousands separator and grouping come from the
// user's locale where each fits in one code unit.
//
// The library's UTF stream classes (basalt/utility/UTFStreams.h) imbue
// themselves with Default(). A standard stream over these character types that
// the caller builds directly starts with the global locale, which normally
// lacks these facets: numeric and padded output then set badbit (or throw
// std::bad_cast when the stream's exception mask asks for it). Imbue such a
// stream with Default(), or make Default() the global locale (Initialize does),
// before use.
//
// Thread safety: Default() and Native() may be called from any thread at any
// time; each locale is created once, on first use, and lives until the
// process ends (never destroyed, so streams built during static destruction
// still work). The application language is set during start-up; reading it
// while another thread sets it is safe but may see either value.
#ifndef BASALT_CONFIG_LOCALE_H
#define BASALT_CONFIG_LOCALE_H

#include <basalt/utility/Export.h>

#include <basalt/utility/UnicodeString.h>

#include <locale>
#include <string>

namespace basalt {

class BSL_EXPORT Locale {
public:
  Locale() = delete;

  // The classic locale with the library's code-unit facets added.
  static const std::locale& Default();
  // The user's locale with the library's code-unit facets added.
  static const std::locale& Native();

  // Makes Default() the process's global standard-library locale, stores the
  // application language (such as "en_US") and loads the library's
  // dictionary into the installed localizer, if any.
  static void Initialize(const UTF16String& inLanguage);
  // True once Initialize stored a non-empty language.
  static bool IsInitialized();
  // The stored language, or "en_US" before Initialize.
  static UTF16String ApplicationLangauge();

  // A number as a user typed it: read once under Native() and once under
  // Default(); when both readings are positive the larger wins, when both
  // are negative the smaller; when the classic reading is zero and the native
  // one is not, the native one ("0,5" under a decimal-comma locale is 0.5);
  // otherwise the classic reading. So "1,5" under a decimal-comma locale
  // gives 1.5, "1,500" under an English one 1500.
  // Empty or unreadable text gives 0; never throws for bad text.
  static double GetValueFromDisplayString(const UTF16String& inText);

  // Restores a setting of the C runtime's locale (setlocale) when it ends.
  // The default constructor records the current setting of all categories;
  // the other records the given category and name. Nothing is changed until
  // the destructor applies the recorded setting.
  class BSL_EXPORT ScResetLocale {
  public:
    ScResetLocale();
    ScResetLocale(int inCategory, const char* inLocaleName);
    ScResetLocale(const ScResetLocale& inOther);
    ScResetLocale& operator=(const ScResetLocale& inOther);
    ~ScResetLocale();

  private:
    int mCategory;
    std::string mLocaleName;
  };
};

}  // namespace basalt

#endif  // BASALT_CONFIG_LOCALE_H
