// String and output streams over the library's code units.
//
//   UTF16StringStream   iUTF16StringStream   oUTF16StringStream   UTF16OutputStream
//   UTF8StringStream    iUTF8StringStream    oUTF8StringStream    UTF8OutputStream
//
// The string streams are the standard string streams over UTF16Char
// (char16_t) and unsigned char with the small-block allocator, so str() gives
// a UTF16String or UTF8String. The output streams write to a stream buffer the
// caller supplies and keeps alive; the stream never deletes it.
//
// Every one of them imbues itself with basalt::Locale::Default() when
// constructed, so numbers are written and read with "." as decimal point and
// no grouping whatever the global locale is, and std::ws, std::getline, widen
// and narrow work. See basalt/config/Locale.h for what the facets do with
// units outside ASCII; in short, narrow text inserted into a UTF-16 stream
// must be ASCII (other bytes become U+FFFD), while a UTF-8 stream takes UTF-8
// bytes as they are.
//
// Units are stored and copied as given; no stream here validates or converts
// an encoding. Single-unit I/O of U+FFFF on a UTF-16 stream reads as
// end-of-file (see basalt/utility/UnicodeString.h); string I/O is unaffected.
//
// The library holds the explicit instantiations of the standard stream
// templates for both unit types (stream buffer, ios, input, output and
// bidirectional streams, and the string streams with the small-block
// allocator); the declarations below make every user link to that one copy.
// Those templates may also be used directly, but a stream built that way
// starts with the global locale: imbue it with basalt::Locale::Default()
// first (see basalt/config/Locale.h).
//
// Thread safety: as for any standard stream, one stream object may be used by
// one thread at a time; distinct streams are independent.
#ifndef BASALT_UTILITY_UTFSTREAMS_H
#define BASALT_UTILITY_UTFSTREAMS_H

#include <basalt/config/Locale.h>
#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/UnicodeString.h>

#include <ios>
#include <istream>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>

// The standard stream templates over one code-unit type; the library defines
// them (kind empty), everyone else sees them declared (kind extern).
#define BSL_UTF_STREAM_TEMPLATES(kind, attribute, CharT)                                                \
  kind template class attribute std::basic_streambuf<CharT, std::char_traits<CharT>>;                  \
  kind template class attribute std::basic_ios<CharT, std::char_traits<CharT>>;                        \
  kind template class attribute std::basic_istream<CharT, std::char_traits<CharT>>;                    \
  kind template class attribute std::basic_ostream<CharT, std::char_traits<CharT>>;                    \
  kind template class attribute std::basic_iostream<CharT, std::char_traits<CharT>>;                   \
  kind template class attribute                                                                        \
      std::basic_stringbuf<CharT, std::char_traits<CharT>,                                             \
                           ::basalt::utility::SmallBlockAllocator::STLAllocator<CharT>>;               \
  kind template class attribute                                                                        \
      std::basic_istringstream<CharT, std::char_traits<CharT>,                                         \
                               ::basalt::utility::SmallBlockAllocator::STLAllocator<CharT>>;           \
  kind template class attribute                                                                        \
      std::basic_ostringstream<CharT, std::char_traits<CharT>,                                         \
                               ::basalt::utility::SmallBlockAllocator::STLAllocator<CharT>>;           \
  kind template class attribute                                                                        \
      std::basic_stringstream<CharT, std::char_traits<CharT>,                                          \
                              ::basalt::utility::SmallBlockAllocator::STLAllocator<CharT>>;

BSL_UTF_STREAM_TEMPLATES(extern, BSL_EXPORT_TEMPLATE_DECLARE, char16_t)
BSL_UTF_STREAM_TEMPLATES(extern, BSL_EXPORT_TEMPLATE_DECLARE, unsigned char)

namespace basalt {

typedef std::basic_stringstream<UTF16Char, std::char_traits<UTF16Char>,
                                utility::SmallBlockAllocator::STLAllocator<UTF16Char>>
    UTF16StringStreamBase;
typedef std::basic_istringstream<UTF16Char, std::char_traits<UTF16Char>,
                                 utility::SmallBlockAllocator::STLAllocator<UTF16Char>>
    iUTF16StringStreamBase;
typedef std::basic_ostringstream<UTF16Char, std::char_traits<UTF16Char>,
                                 utility::SmallBlockAllocator::STLAllocator<UTF16Char>>
    oUTF16StringStreamBase;
typedef std::basic_ostream<UTF16Char, std::char_traits<UTF16Char>> UTF16OutputStreamBase;

typedef std::basic_stringstream<unsigned char, std::char_traits<unsigned char>,
                                utility::SmallBlockAllocator::STLAllocator<unsigned char>>
    UTF8StringStreamBase;
typedef std::basic_istringstream<unsigned char, std::char_traits<unsigned char>,
                                 utility::SmallBlockAllocator::STLAllocator<unsigned char>>
    iUTF8StringStreamBase;
typedef std::basic_ostringstream<unsigned char, std::char_traits<unsigned char>,
                                 utility::SmallBlockAllocator::STLAllocator<unsigned char>>
    oUTF8StringStreamBase;
typedef std::basic_ostream<unsigned char, std::char_traits<unsigned char>> UTF8OutputStreamBase;

// Reading and writing, starting empty or with a copy of inText (positioned at
// its start for both reading and writing, as std::basic_stringstream is).
class BSL_EXPORT UTF16StringStream : public UTF16StringStreamBase {
public:
  UTF16StringStream();
  explicit UTF16StringStream(const UTF16String& inText);
};

// Reading inText.
class BSL_EXPORT iUTF16StringStream : public iUTF16StringStreamBase {
public:
  explicit iUTF16StringStream(const UTF16String& inText);
};

// Writing into an empty string; str() gives the text.
class BSL_EXPORT oUTF16StringStream : public oUTF16StringStreamBase {
public:
  oUTF16StringStream();
};

// Writing to inBuffer, which the caller owns. A null buffer gives a stream in
// the bad state, as for any std::basic_ostream.
class BSL_EXPORT UTF16OutputStream : public UTF16OutputStreamBase {
public:
  explicit UTF16OutputStream(std::basic_streambuf<UTF16Char>* inBuffer);
};

class BSL_EXPORT UTF8StringStream : public UTF8StringStreamBase {
public:
  UTF8StringStream();
  explicit UTF8StringStream(const UTF8String& inText);
};

class BSL_EXPORT iUTF8StringStream : public iUTF8StringStreamBase {
public:
  explicit iUTF8StringStream(const UTF8String& inText);
};

class BSL_EXPORT oUTF8StringStream : public oUTF8StringStreamBase {
public:
  oUTF8StringStream();
};

class BSL_EXPORT UTF8OutputStream : public UTF8OutputStreamBase {
public:
  explicit UTF8OutputStream(std::basic_streambuf<unsigned char>* inBuffer);
};

}  // namespace basalt

#endif  // BASALT_UTILITY_UTFSTREAMS_H
