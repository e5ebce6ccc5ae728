#include "config/CodeUnitFacetsInternal.h"

#include <climits>
#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <langinfo.h>
#include <locale.h>
#include <mutex>
#include <set>
#include <string>

namespace {

typedef std::ctype_base::mask Mask;

const char16_t kReplacementCharacter = 0xFFFD;

template <class CharT>
unsigned CodeOf(CharT inUnit) {
  return static_cast<unsigned>(inUnit);
}

template <class CharT>
bool IsAscii(CharT inUnit) {
  return CodeOf(inUnit) < 0x80;
}

// The classic table covers exactly the ASCII range with meaning; every other
// unit is part of a multi-unit encoding or a character whose class this
// locale does not know, so it belongs to no class.
template <class CharT>
Mask ClassOf(CharT inUnit) {
  return IsAscii(inUnit) ? std::ctype<char>::classic_table()[CodeOf(inUnit)] : Mask(0);
}

template <class CharT>
bool Is(Mask inMask, CharT inUnit) {
  return (ClassOf(inUnit) & inMask) != 0;
}

template <class CharT>
const CharT* ClassifyRange(const CharT* inBegin, const CharT* inEnd, Mask* outMasks) {
  for (; inBegin != inEnd; ++inBegin, ++outMasks) *outMasks = ClassOf(*inBegin);
  return inEnd;
}

template <class CharT>
const CharT* ScanIs(Mask inMask, const CharT* inBegin, const CharT* inEnd) {
  while (inBegin != inEnd && !Is(inMask, *inBegin)) ++inBegin;
  return inBegin;
}

template <class CharT>
const CharT* ScanNot(Mask inMask, const CharT* inBegin, const CharT* inEnd) {
  while (inBegin != inEnd && Is(inMask, *inBegin)) ++inBegin;
  return inBegin;
}

template <class CharT>
CharT ToUpper(CharT inUnit) {
  return (inUnit >= CharT('a') && inUnit <= CharT('z')) ? CharT(inUnit - CharT('a') + CharT('A')) : inUnit;
}

template <class CharT>
CharT ToLower(CharT inUnit) {
  return (inUnit >= CharT('A') && inUnit <= CharT('Z')) ? CharT(inUnit - CharT('A') + CharT('a')) : inUnit;
}

template <class CharT, CharT (*Map)(CharT)>
const CharT* MapRange(CharT* inBegin, const CharT* inEnd) {
  for (; inBegin != inEnd; ++inBegin) *inBegin = Map(*inBegin);
  return inEnd;
}

// A narrow char in this library is a UTF-8 byte. In UTF-16 a byte outside
// ASCII is no character on its own; it becomes the replacement character so
// the damage shows. In UTF-8 it is the same byte.
template <class CharT>
CharT Widen(char inChar);

template <>
char16_t Widen<char16_t>(char inChar) {
  const unsigned char byte = static_cast<unsigned char>(inChar);
  return byte < 0x80 ? char16_t(byte) : kReplacementCharacter;
}

template <>
unsigned char Widen<unsigned char>(char inChar) {
  return static_cast<unsigned char>(inChar);
}

char Narrow(char16_t inUnit, char inDefault) {
  return IsAscii(inUnit) ? static_cast<char>(inUnit) : inDefault;
}

char Narrow(unsigned char inUnit, char) {
  return static_cast<char>(inUnit);
}

template <class CharT>
const char* WidenRange(const char* inBegin, const char* inEnd, CharT* outUnits) {
  for (; inBegin != inEnd; ++inBegin, ++outUnits) *outUnits = Widen<CharT>(*inBegin);
  return inEnd;
}

template <class CharT>
const CharT* NarrowRange(const CharT* inBegin, const CharT* inEnd, char inDefault, char* outChars) {
  for (; inBegin != inEnd; ++inBegin, ++outChars) *outChars = Narrow(*inBegin, inDefault);
  return inEnd;
}

template <class CharT>
struct ClassicNames {
  static const CharT kTrue[5];
  static const CharT kFalse[6];
};
template <class CharT>
const CharT ClassicNames<CharT>::kTrue[5] = {'t', 'r', 'u', 'e', 0};
template <class CharT>
const CharT ClassicNames<CharT>::kFalse[6] = {'f', 'a', 'l', 's', 'e', 0};

// The values numpunct<char> has in the "C" locale. A named locale passed by
// numpunct_byname is ignored: these facets know only the classic conventions.
template <class CharT>
void FillClassic(std::__numpunct_cache<CharT>& outCache) {
  outCache._M_grouping = "";
  outCache._M_grouping_size = 0;
  outCache._M_use_grouping = false;
  outCache._M_decimal_point = CharT('.');
  outCache._M_thousands_sep = CharT(',');
  outCache._M_truename = ClassicNames<CharT>::kTrue;
  outCache._M_truename_size = 4;
  outCache._M_falsename = ClassicNames<CharT>::kFalse;
  outCache._M_falsename_size = 5;
  for (std::size_t i = 0; i < std::__num_base::_S_oend; ++i)
    outCache._M_atoms_out[i] = Widen<CharT>(std::__num_base::_S_atoms_out[i]);
  for (std::size_t i = 0; i < std::__num_base::_S_iend; ++i)
    outCache._M_atoms_in[i] = Widen<CharT>(std::__num_base::_S_atoms_in[i]);
  // The strings above are static; the cache must not delete them.
  outCache._M_allocated = false;
}

// Grouping strings outlive every cache that points at them, so caches built
// from a named locale can keep _M_allocated false like the classic ones.
const char* InternGrouping(const char* inGrouping) {
  static std::mutex* const sLock = new std::mutex;
  static std::set<std::string>* const sGroupings = new std::set<std::string>;
  std::lock_guard<std::mutex> hold(*sLock);
  return sGroupings->insert(inGrouping ? inGrouping : "").first->c_str();
}

// The decimal point, thousands separator and grouping of inLocale, where they
// fit in one unit of CharT; anything that does not fit keeps the classic value
// (and a separator that does not fit turns grouping off).
template <class CharT>
void FillFromLocale(std::__numpunct_cache<CharT>& outCache, std::__c_locale inLocale) {
  FillClassic(outCache);
  if (inLocale == nullptr) return;
  const auto wide = [inLocale](nl_item inItem) {
    union {
      char* mText;
      wchar_t mUnit;
    } value;
    value.mText = ::nl_langinfo_l(inItem, inLocale);
    return static_cast<std::uint32_t>(value.mUnit);
  };
  const std::uint32_t limit = sizeof(CharT) == 1 ? 0x80u : 0x10000u;
  const std::uint32_t decimalPoint = wide(_NL_NUMERIC_DECIMAL_POINT_WC);
  const std::uint32_t separator = wide(_NL_NUMERIC_THOUSANDS_SEP_WC);
  if (decimalPoint != 0 && decimalPoint < limit) outCache._M_decimal_point = static_cast<CharT>(decimalPoint);
  const char* grouping = ::nl_langinfo_l(GROUPING, inLocale);
  if (separator != 0 && separator < limit && separator != decimalPoint && grouping != nullptr && grouping[0] != 0 &&
      grouping[0] != CHAR_MAX) {
    outCache._M_thousands_sep = static_cast<CharT>(separator);
    outCache._M_grouping = InternGrouping(grouping);
    outCache._M_grouping_size = std::strlen(outCache._M_grouping);
    outCache._M_use_grouping = true;
  }
}

}  // namespace

#define BSL_DEFINE_CODE_UNIT_FACET_MEMBERS(CharT)                                                               \
  template <>                                                                                                   \
  ctype<CharT>::~ctype() {}                                                                                     \
  template <>                                                                                                   \
  bool ctype<CharT>::do_is(mask inMask, CharT inUnit) const {                                                   \
    return Is(inMask, inUnit);                                                                                  \
  }                                                                                                             \
  template <>                                                                                                   \
  const CharT* ctype<CharT>::do_is(const CharT* inBegin, const CharT* inEnd, mask* outMasks) const {            \
    return ClassifyRange(inBegin, inEnd, outMasks);                                                             \
  }                                                                                                             \
  template <>                                                                                                   \
  const CharT* ctype<CharT>::do_scan_is(mask inMask, const CharT* inBegin, const CharT* inEnd) const {          \
    return ScanIs(inMask, inBegin, inEnd);                                                                      \
  }                                                                                                             \
  template <>                                                                                                   \
  const CharT* ctype<CharT>::do_scan_not(mask inMask, const CharT* inBegin, const CharT* inEnd) const {         \
    return ScanNot(inMask, inBegin, inEnd);                                                                     \
  }                                                                                                             \
  template <>                                                                                                   \
  CharT ctype<CharT>::do_toupper(CharT inUnit) const {                                                          \
    return ToUpper(inUnit);                                                                                     \
  }                                                                                                             \
  template <>                                                                                                   \
  const CharT* ctype<CharT>::do_toupper(CharT* inBegin, const CharT* inEnd) const {                             \
    return MapRange<CharT, ToUpper<CharT>>(inBegin, inEnd);                                                     \
  }                                                                                                             \
  template <>                                                                                                   \
  CharT ctype<CharT>::do_tolower(CharT inUnit) const {                                                          \
    return ToLower(inUnit);                                                                                     \
  }                                                                                                             \
  template <>                                                                                                   \
  const CharT* ctype<CharT>::do_tolower(CharT* inBegin, const CharT* inEnd) const {                             \
    return MapRange<CharT, ToLower<CharT>>(inBegin, inEnd);                                                     \
  }                                                                                                             \
  template <>                                                                                                   \
  CharT ctype<CharT>::do_widen(char inChar) const {                                                             \
    return Widen<CharT>(inChar);                                                                                                                                \
  }                                                                                                             \
  template <>                                                                                                   \
  const char* ctype<CharT>::do_widen(const char* inBegin, const char* inEnd, CharT* outUnits) const {           \
    return WidenRange(inBegin, inEnd, outUnits);                                                                \
  }                                                                                                             \
  template <>                                                                                                   \
  char ctype<CharT>::do_narrow(CharT inUnit, char inDefault) const {                                            \
    return Narrow(inUnit, inDefault);                                                                           \
  }                                                                                                             \
  template <>                                                                                                   \
  const CharT* ctype<CharT>::do_narrow(const CharT* inBegin, const CharT* inEnd, char inDefault, char* outChars) \
      const {                                                                                                   \
    return NarrowRange(inBegin, inEnd, inDefault, outChars);                                                    \
  }                                                                                                             \
  template <>                                                                                                   \
  numpunct<CharT>::~numpunct() {                                                                                \
    delete _M_data;                                                                                             \
  }                                                                                                             \
  template <>                                                                                                   \
  void numpunct<CharT>::_M_initialize_numpunct(__c_locale inLocale) {                                           \
    if (!_M_data) _M_data = new __numpunct_cache<CharT>;                                                        \
    FillFromLocale(*_M_data, inLocale);                                                                         \
  }

namespace std {
BSL_DEFINE_CODE_UNIT_FACET_MEMBERS(char16_t)
BSL_DEFINE_CODE_UNIT_FACET_MEMBERS(unsigned char)
}  // namespace std

#undef BSL_DEFINE_CODE_UNIT_FACET_MEMBERS

namespace basalt {
namespace config {
namespace internal {

namespace {

template <class CharT>
std::locale WithFacetsFor(const std::locale& inBase) {
  std::locale result(inBase, new std::ctype<CharT>);
  result = std::locale(result, new std::numpunct<CharT>);
  result = std::locale(result, new std::num_put<CharT>);
  return std::locale(result, new std::num_get<CharT>);
}

}  // namespace

std::locale WithCodeUnitFacets(const std::locale& inBase) {
  const std::locale result = WithFacetsFor<unsigned char>(WithFacetsFor<char16_t>(inBase));
  // libstdc++ builds a locale's number-punctuation caches on the first numeric
  // I/O and publishes them with a plain store that concurrent readers do not
  // synchronise with; the classic locale has its char caches built up front.
  // These are built here, before the locale is shared, for the same reason,
  // and after the last facet is added, since adding one drops every cache.
  std::__use_cache<std::__numpunct_cache<char16_t>>()(result);
  std::__use_cache<std::__numpunct_cache<unsigned char>>()(result);
  return result;
}

std::locale WithNativeNumberPunctuation(const std::locale& inBase) {
  std::locale result = WithCodeUnitFacets(inBase);
  locale_t native = ::newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
  if (native == static_cast<locale_t>(nullptr)) return result;
  result = std::locale(result, new std::numpunct<char16_t>(native));
  result = std::locale(result, new std::numpunct<unsigned char>(native));
  ::freelocale(native);
  std::__use_cache<std::__numpunct_cache<char16_t>>()(result);
  std::__use_cache<std::__numpunct_cache<unsigned char>>()(result);
  return result;
}

}  // namespace internal
}  // namespace config
}  // namespace basalt
