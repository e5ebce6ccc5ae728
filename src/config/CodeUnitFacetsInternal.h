// Classic-locale behaviour of the standard facets for the library's code-unit
// types, char16_t (UTF16Char) and unsigned char (the unit of UTF8String).
//
// libstdc++ declares the generic std::ctype<CharT> and std::numpunct<CharT>
// but defines their members for char and wchar_t only. The streams cache the
// facets by their standard ids (use_facet<ctype<CharT>> and friends), so the
// facets must be these very classes, not look-alikes: the library completes
// them with explicit specialisations of the missing members. std::num_put and
// std::num_get are generic templates that work once ctype and numpunct do.
//
// Every translation unit that instantiates a stream or facet over these types
// includes this header first, so the specialisations are declared before any
// use. The definitions live in CodeUnitFacets.cpp; as members of std classes
// they are exported from the shared library.
//
// Inside the library, any translation unit that instantiates the standard
// stream templates over these types must see the explicit-instantiation
// declarations of basalt/utility/UTFStreams.h (this header brings them). An
// object file that instantiates them implicitly instead emits their inline
// members hidden, and the link then hides the library's exported copies too,
// leaving users with undefined references.
#ifndef BASALT_SRC_CONFIG_CODEUNITFACETSINTERNAL_H
#define BASALT_SRC_CONFIG_CODEUNITFACETSINTERNAL_H

#include <basalt/utility/UTFStreams.h>

#include <locale>

#if !defined(__GLIBCXX__)
#error "The code-unit facets complete libstdc++'s generic facets; another standard library needs its own."
#endif

#define BSL_DECLARE_CODE_UNIT_FACET_MEMBERS(CharT)                                                     \
  template <>                                                                                          \
  ctype<CharT>::~ctype();                                                                              \
  template <>                                                                                          \
  bool ctype<CharT>::do_is(mask, CharT) const;                                                         \
  template <>                                                                                          \
  const CharT* ctype<CharT>::do_is(const CharT*, const CharT*, mask*) const;                           \
  template <>                                                                                          \
  const CharT* ctype<CharT>::do_scan_is(mask, const CharT*, const CharT*) const;                       \
  template <>                                                                                          \
  const CharT* ctype<CharT>::do_scan_not(mask, const CharT*, const CharT*) const;                      \
  template <>                                                                                          \
  CharT ctype<CharT>::do_toupper(CharT) const;                                                         \
  template <>                                                                                          \
  const CharT* ctype<CharT>::do_toupper(CharT*, const CharT*) const;                                   \
  template <>                                                                                          \
  CharT ctype<CharT>::do_tolower(CharT) const;                                                         \
  template <>                                                                                          \
  const CharT* ctype<CharT>::do_tolower(CharT*, const CharT*) const;                                   \
  template <>                                                                                          \
  CharT ctype<CharT>::do_widen(char) const;                                                            \
  template <>                                                                                          \
  const char* ctype<CharT>::do_widen(const char*, const char*, CharT*) const;                          \
  template <>                                                                                          \
  char ctype<CharT>::do_narrow(CharT, char) const;                                                     \
  template <>                                                                                          \
  const CharT* ctype<CharT>::do_narrow(const CharT*, const CharT*, char, char*) const;                 \
  template <>                                                                                          \
  numpunct<CharT>::~numpunct();                                                                        \
  template <>                                                                                          \
  void numpunct<CharT>::_M_initialize_numpunct(__c_locale);

namespace std {
BSL_DECLARE_CODE_UNIT_FACET_MEMBERS(char16_t)
BSL_DECLARE_CODE_UNIT_FACET_MEMBERS(unsigned char)
}  // namespace std

#undef BSL_DECLARE_CODE_UNIT_FACET_MEMBERS

namespace basalt {
namespace config {
namespace internal {

// inBase plus ctype, numpunct, num_put and num_get for char16_t and unsigned
// char, all with classic behaviour, with the numeric caches already built so
// that threads may share the result at once. Adding a facet to the result
// drops those caches again (libstdc++ rebuilds them lazily, racily).
std::locale WithCodeUnitFacets(const std::locale& inBase);

// WithCodeUnitFacets, with the number punctuation of the code-unit types taken
// from the user's locale as the environment names it (decimal point,
// thousands separator and grouping, where each fits in one unit).
std::locale WithNativeNumberPunctuation(const std::locale& inBase);

}  // namespace internal
}  // namespace config
}  // namespace basalt

#endif  // BASALT_SRC_CONFIG_CODEUNITFACETSINTERNAL_H
