// GCC 12 with the address sanitizer misplaces the virtual base in
// basic_iostream's move assignment and reports a one-byte write past its
// vptr (-Wstringop-overflow) in libstdc++'s own swap. The check runs on header
// code, so it is switched off before the headers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif

// The facet specialisations must be declared before the stream templates are
// instantiated over the code-unit types.
#include "config/CodeUnitFacetsInternal.h"

#include <basalt/utility/UTFStreams.h>

BSL_UTF_STREAM_TEMPLATES(, BSL_EXPORT_TEMPLATE_DEFINE, char16_t)
BSL_UTF_STREAM_TEMPLATES(, BSL_EXPORT_TEMPLATE_DEFINE, unsigned char)

namespace basalt {

// The base constructors have already run init() with the global locale,
// which caches no facets for these types (has_facet is false, so nothing
// throws); imbuing replaces the locale of the stream and of its buffer.

UTF16StringStream::UTF16StringStream() {
  imbue(Locale::Default());
}

UTF16StringStream::UTF16StringStream(const UTF16String& inText) : UTF16StringStreamBase(inText) {
  imbue(Locale::Default());
}

iUTF16StringStream::iUTF16StringStream(const UTF16String& inText) : iUTF16StringStreamBase(inText) {
  imbue(Locale::Default());
}

oUTF16StringStream::oUTF16StringStream() {
  imbue(Locale::Default());
}

UTF16OutputStream::UTF16OutputStream(std::basic_streambuf<UTF16Char>* inBuffer) : UTF16OutputStreamBase(inBuffer) {
  imbue(Locale::Default());
}

UTF8StringStream::UTF8StringStream() {
  imbue(Locale::Default());
}

UTF8StringStream::UTF8StringStream(const UTF8String& inText) : UTF8StringStreamBase(inText) {
  imbue(Locale::Default());
}

iUTF8StringStream::iUTF8StringStream(const UTF8String& inText) : iUTF8StringStreamBase(inText) {
  imbue(Locale::Default());
}

oUTF8StringStream::oUTF8StringStream() {
  imbue(Locale::Default());
}

UTF8OutputStream::UTF8OutputStream(std::basic_streambuf<unsigned char>* inBuffer) : UTF8OutputStreamBase(inBuffer) {
  imbue(Locale::Default());
}

}  // namespace basalt
