// The library's two string types and the conversions between them.
//
// UTF16String holds UTF-16 code units (supplementary characters as a leading
// surrogate followed by a trailing one; lone surrogates are tolerated in
// storage). UTF8String holds UTF-8 bytes without a byte-order mark. Both are
// standard basic strings over the small-block allocator.
//
// UTF16Char is char16_t: an unsigned 16-bit code unit that the standard
// string, character-traits and stream templates know, and that ICU's UChar is.
// As with every 16-bit character type whose int_type is 16 bits wide, the
// stream end-of-file marker is the unit 0xFFFF, so single-unit stream I/O of
// the non-character U+FFFF reports end-of-file; string insertion is unaffected.
//
// Conversions never throw for bad text: UTF8to16 reports an outcome and
// returns the prefix converted so far, UTF16to8 encodes whatever it is given,
// NormalizedString falls back to its input. Allocation failure surfaces as
// std::bad_alloc, an impossible length as std::length_error.
//
// All functions are thread-safe and keep no state.
#ifndef BASALT_UTILITY_UNICODESTRING_H
#define BASALT_UTILITY_UNICODESTRING_H

#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>

#include <cstdint>
#include <string>

namespace basalt {

typedef char16_t UTF16Char;
typedef std::basic_string<UTF16Char, std::char_traits<UTF16Char>, utility::SmallBlockAllocator::STLAllocator<UTF16Char>>
    UTF16String;
typedef std::basic_string<unsigned char, std::char_traits<unsigned char>,
                          utility::SmallBlockAllocator::STLAllocator<unsigned char>>
    UTF8String;

namespace utility {

// Outcome of a UTF-8 to UTF-16 conversion.
enum UnicodeErrorCode {
  kUnicodeError_None = 0,
  kUnicodeError_Truncated = 1,       // the input ends inside a multi-byte sequence
  kUnicodeError_OutputExhausted = 2, // never produced by these conversions
  kUnicodeError_IllegalSequence = 3
};

enum UnicodeSurrogateT {
  kUnicodeSurrogate_None = 0,
  kUnicodeSurrogate_Leading = 1,  // 0xD800 to 0xDBFF
  kUnicodeSurrogate_Trailing = 2  // 0xDC00 to 0xDFFF
};

enum UnicodeNormalizationForm {
  kUnicodeNormalization_C = 0,
  kUnicodeNormalization_D = 1,
  kUnicodeNormalization_KC = 2,
  kUnicodeNormalization_KD = 3,
  kUnicodeNormalization_None = 4,
  kUnicodeNormalization_None2 = 5
};

// UTF-8 to UTF-16. Stops at the first illegal or truncated sequence; the result
// holds every unit produced before the stop. Either out-pointer may be null.
// Accepted: shortest forms up to U+10FFFF, and the three-byte forms of
// surrogate code points (which give a lone surrogate unit). Rejected (outcome
// 3): lead bytes 0x80..0xC1 and above 0xF4, bad continuation bytes, overlong
// three- and four-byte forms, code points above U+10FFFF.
BSL_EXPORT UTF16String UTF8to16(const UTF8String& inText, UnicodeErrorCode* outError = nullptr,
                                std::uint64_t* outLength = nullptr);

// UTF-16 to UTF-8, up to the first NUL unit. A paired surrogate gives four
// bytes; an unpaired one is encoded as the three-byte form of its own value.
BSL_EXPORT UTF8String UTF16to8(const UTF16String& inText);
BSL_EXPORT UTF8String UTF16to8(const UTF16Char* inText);

// The UTF-8 encoding as std::string, up to its first NUL byte.
BSL_EXPORT std::string UTF16toStdString(const UTF16String& inText);

// One unit per byte, each byte widened as a signed char (0x80..0xFF become
// 0xFF80..0xFFFF). Meant for ASCII.
BSL_EXPORT UTF16String AsciiToUTF16(const char* inText, std::uint64_t inLength);
BSL_EXPORT const unsigned char* AsciiToUTF8Impl(const char* inText) noexcept;

// Units before the terminating NUL; 0 for null.
BSL_EXPORT int UTF16StrLen(const UTF16Char* inText) noexcept;

// Bytes stepped over by at most inCharacterCount characters (negative: no
// limit), stopping at a NUL lead byte; -1 when a lead byte announces more than
// four bytes. Continuation bytes are not examined.
BSL_EXPORT int GetUTF8ByteCount(const unsigned char* inText, int inCharacterCount) noexcept;

// Characters that start before byte inByteCount, stopping at a NUL lead byte;
// -1 when a lead byte announces more than four bytes.
BSL_EXPORT int GetUTF8CharacterCount(const unsigned char* inText, int inByteCount) noexcept;

BSL_EXPORT UnicodeSurrogateT UnicodeSurrogate(UTF16Char inUnit) noexcept;

// Unicode normalisation (ICU). Forms 4 and 5 return a copy; any other value
// outside 0..3 means NFC. On failure the input is returned unchanged.
BSL_EXPORT UTF16String NormalizedString(const UTF16String& inText, UnicodeNormalizationForm inForm);

}  // namespace utility
}  // namespace basalt

// A UTF16String / UTF8String from an ASCII string literal.
#define BSL_STR(literal) (::basalt::utility::AsciiToUTF16((literal), sizeof(literal) - 1))
#define BSL_UTF8(literal) (::basalt::UTF8String(::basalt::utility::AsciiToUTF8Impl(literal)))

#endif  // BASALT_UTILITY_UNICODESTRING_H
