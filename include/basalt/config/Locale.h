// basalt::Locale: the standard-library locales the library formats and parses
// text with.
//
// This class is where the library's locale services live: the application
// language and the user's native locale join it as the localization layer
// grows. Today it provides Default().
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
// The library's UTF stream classes (basalt/utility/UTFStreams.h) imbue
// themselves with Default(). A standard stream over these character types that
// the caller builds directly starts with the global locale, which normally
// lacks these facets. Such a stream fails cleanly: numeric and padded output,
// extraction and std::ws set badbit (throwing std::bad_cast when the stream's
// exception mask asks for it), while widen, narrow and std::getline without an
// explicit delimiter throw std::bad_cast. Imbue such a stream with Default(),
// or make Default() the global locale, before use.
//
// Thread safety: Default() may be called from any thread at any time; the
// locale is created once, on first use, and lives until the process ends (it
// is never destroyed, so streams built during static destruction still work).
#ifndef BASALT_CONFIG_LOCALE_H
#define BASALT_CONFIG_LOCALE_H

#include <basalt/utility/Export.h>

#include <locale>

namespace basalt {

class BSL_EXPORT Locale {
public:
  Locale() = delete;

  // The classic locale with the library's code-unit facets added.
  static const std::locale& Default();
};

}  // namespace basalt

#endif  // BASALT_CONFIG_LOCALE_H
