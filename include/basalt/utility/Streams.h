// The process-wide streams.
//
//   Out, Err, Log   std::ostream&: std::cout, std::cerr and std::clog
//   In              std::istream&: std::cin
//   UTF16Out        UTF16OutputStream&: UTF-16 text written to standard output
//                   as UTF-8
//   Debug           UTF16OutputStream&: the library's debug text; it goes, as
//                   UTF-8, to standard error until the debugging subsystem's
//                   trace handlers take it over
//
// They are references, used as the standard streams are:
//   streams::Out << "done\n";
//   streams::UTF16Out << path << std::endl;
//
// UTF16Out and Debug encode as UTF16to8 does (basalt/utility/UnicodeString.h):
// a surrogate pair becomes one four-byte character even when its halves are
// written separately; an unpaired surrogate is written as the three-byte form
// of its own value. Their buffers keep nothing back but a leading surrogate
// waiting for its other half, so their text appears in order with printf,
// std::cout and std::cerr output (while those are synchronised with stdio).
//
// Lifetime: like the standard streams with <iostream>, the streams are
// constructed before any static initialiser that follows the inclusion of this
// header in a translation unit, and none is ever destroyed, so static
// initialisers and destructors of such translation units may use them. At
// exit, once the last of those translation units is torn down, UTF16Out and
// Debug are flushed (a leading surrogate still waiting is written alone).
// Nothing is built for a program that never includes this header.
//
// SetStreamBuffer points a stream at another buffer and returns the previous
// one. The stream object stays where it is, so every reference to it (these
// names included) follows the change. The stream is flushed first, so what was
// written before goes to the previous buffer; the error state is cleared (bad
// for a null buffer); format flags, locale and tie are kept. The stream never
// owns a buffer: the caller keeps the new one alive while the stream uses it,
// and puts the previous one back before the new one dies, including before
// exit, when UTF16Out and Debug are flushed. A failure to flush into the
// previous buffer throws when the stream's exception mask includes badbit (and
// then nothing changes); otherwise it is not reported.
//
// Thread safety: Out, Err, Log and In behave as std::cout, std::cerr,
// std::clog and std::cin. UTF16Out and Debug are standard output streams: one
// thread at a time may insert into each (they hold format state, such as the
// field width every insertion resets), so threads that share one serialise
// their insertions. Their own buffers lock internally, and the text of one
// insertion reaches the output in one piece. SetStreamBuffer must not race
// with any use of the same stream.
#ifndef BASALT_UTILITY_STREAMS_H
#define BASALT_UTILITY_STREAMS_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UTFStreams.h>
#include <basalt/utility/UnicodeString.h>

#include <ios>
#include <istream>
#include <ostream>
#include <streambuf>

namespace basalt {
namespace utility {
namespace streams {

extern BSL_EXPORT std::ostream& Out;
extern BSL_EXPORT std::ostream& Err;
extern BSL_EXPORT std::ostream& Log;
extern BSL_EXPORT std::istream& In;
extern BSL_EXPORT UTF16OutputStream& UTF16Out;
extern BSL_EXPORT UTF16OutputStream& Debug;

// Returns the previous buffer; see the header comment.
BSL_EXPORT std::streambuf* SetStreamBuffer(std::ostream& inStream, std::streambuf* inBuffer);
BSL_EXPORT std::basic_streambuf<UTF16Char>* SetStreamBuffer(UTF16OutputStream& inStream,
                                                            std::basic_streambuf<UTF16Char>* inBuffer);

// Builds the streams above on first construction and flushes UTF16Out and
// Debug on last destruction. Every translation unit that includes this header
// holds one, ahead of its own static objects, as <iostream> does for the
// standard streams.
class BSL_EXPORT ScStreamsInit {
public:
  ScStreamsInit();
  ~ScStreamsInit();
  ScStreamsInit(const ScStreamsInit&) = delete;
  ScStreamsInit& operator=(const ScStreamsInit&) = delete;

private:
  // Keeps std::cout and its siblings constructed for as long as this object.
  std::ios_base::Init mStandardStreams;
};

#if !defined(BSL_STREAMS_IMPLEMENTATION)
// The library's own definitions leave this out, so loading the library does not
// build the streams (nor the locale they are imbued with) for programs that
// never include this header.
static ScStreamsInit sStreamsInit;
#endif

}  // namespace streams
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_STREAMS_H
