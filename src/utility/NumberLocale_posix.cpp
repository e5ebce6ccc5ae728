#include "utility/NumberLocaleInternal.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

namespace basalt {
namespace utility {
namespace internal {

namespace {

// The first character of inText, which is in the character set of
// inLocale's LC_CTYPE, as one UTF-16 unit; 0 when there is none or it does
// not fit in one unit. A locale whose character set cannot decode the text
// (LC_NUMERIC and LC_CTYPE may name different locales) gets a second try
// as UTF-8, the set of nearly every installed locale.
UTF16Char FirstUnit(const char* inText, locale_t inLocale) {
  if (inText == nullptr || inText[0] == 0) return 0;
  const std::size_t length = std::strlen(inText);
  wchar_t wide = 0;
  std::mbstate_t state{};
  const locale_t previous = ::uselocale(inLocale);
  const std::size_t used = std::mbrtowc(&wide, inText, length, &state);
  ::uselocale(previous);
  std::uint32_t code = 0;
  if (used != static_cast<std::size_t>(-1) && used != static_cast<std::size_t>(-2) && used != 0) {
    code = static_cast<std::uint32_t>(wide);
  } else {
    const UTF16String units = UTF8to16(UTF8String(reinterpret_cast<const unsigned char*>(inText), length));
    if (units.empty()) return 0;
    code = units[0];
  }
  if (code == 0 || code > 0xFFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return static_cast<UTF16Char>(code);
}

}  // namespace

NumberSeparators ReadUserNumberSeparators() {
  NumberSeparators separators = {u'.', u','};
  // The empty name takes each category from LC_ALL, then its own variable,
  // then LANG. The character set of the texts comes with LC_CTYPE; when that
  // category cannot be loaded, LC_NUMERIC alone still gives the separators.
  locale_t user = ::newlocale(LC_NUMERIC_MASK | LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (user == static_cast<locale_t>(nullptr))
    user = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (user == static_cast<locale_t>(nullptr)) return separators;
  if (const UTF16Char decimal = FirstUnit(::nl_langinfo_l(RADIXCHAR, user), user)) separators.mDecimal = decimal;
  // The POSIX locale and a few others name no grouping separator at all;
  // "," stands in, as for a locale that cannot be read.
  if (const UTF16Char grouping = FirstUnit(::nl_langinfo_l(THOUSEP, user), user)) separators.mGrouping = grouping;
  ::freelocale(user);
  return separators;
}

}  // namespace internal
}  // namespace utility
}  // namespace basalt
