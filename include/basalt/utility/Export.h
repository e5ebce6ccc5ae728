// Symbol visibility for the basalt shared library.
//
// The library is built with hidden visibility; every public class and free
// function carries BSL_EXPORT. Inside the library build BSL_BUILDING_LIBRARY is
// defined and the macro exports; consumers see it as an import.
#ifndef BASALT_UTILITY_EXPORT_H
#define BASALT_UTILITY_EXPORT_H

#if defined(_WIN32)
#  if defined(BSL_BUILDING_LIBRARY)
#    define BSL_EXPORT __declspec(dllexport)
// Explicit template instantiations: the library's extern declaration stays
// plain and its definition exports; users import through the declaration.
#    define BSL_EXPORT_TEMPLATE_DECLARE
#  else
#    define BSL_EXPORT __declspec(dllimport)
#    define BSL_EXPORT_TEMPLATE_DECLARE __declspec(dllimport)
#  endif
#  define BSL_EXPORT_TEMPLATE_DEFINE BSL_EXPORT
#else
#  define BSL_EXPORT __attribute__((visibility("default")))
// Explicit template instantiations: the attribute goes on the extern
// declaration seen by every user, the definition inherits it. Every object
// file of the library that uses such a template must see that declaration:
// one that instantiates it implicitly emits its inline members hidden, and
// the link then hides the exported copies as well.
#  define BSL_EXPORT_TEMPLATE_DECLARE __attribute__((visibility("default")))
#  define BSL_EXPORT_TEMPLATE_DEFINE
#endif

#endif  // BASALT_UTILITY_EXPORT_H
