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

// UTF-8 to UTF-16. Stops at the first truncated or illegal sequence; the result
// holds every unit produced before the stop. Either out-pointer may be null;
// outLength receives the number of units returned.
//
// The length of a sequence comes from its lead byte alone: 0x00..0xBF one,
// 0xC0..0xDF two, 0xE0..0xEF three, 0xF0..0xF7 four, 0xF8..0xFB five,
// 0xFC..0xFF six. A sequence that would run past the end of the input is
// truncated (outcome 1), whatever its bytes. Otherwise it is illegal (outcome
// 3) when the lead byte is 0x80..0xC1 or above 0xF4, a continuation byte is
// outside 0x80..0xBF, or it is an overlong three- or four-byte form or above
// U+10FFFF. Accepted: every shortest form up to U+10FFFF, including the
// three-byte forms of surrogate code points (each gives its lone unit, so two
// of them in a row give what looks like a pair). NUL bytes are characters
// like any other.
BSL_EXPORT UTF16String UTF8to16(const UTF8String& inText, UnicodeErrorCode* outError = nullptr,
                                std::uint64_t* outLength = nullptr);

// UTF-16 to UTF-8, up to the first NUL unit (or the end). A leading surrogate
// followed by a trailing one gives the four bytes of the pair's code point;
// an unpaired surrogate is encoded as the three-byte form of its own value.
// Never fails on content. The pointer overload takes a NUL-terminated array;
// null gives an empty string.
BSL_EXPORT UTF8String UTF16to8(const UTF16String& inText);
BSL_EXPORT UTF8String UTF16to8(const UTF16Char* inText);

// The UTF-8 encoding as std::string, up to its first NUL byte.
BSL_EXPORT std::string UTF16toStdString(const UTF16String& inText);

// One unit per byte of inText[0, inLength), NULs included, each byte widened
// as a signed char (0x80..0xFF become 0xFF80..0xFFFF). Meant for ASCII. A null
// text gives an empty string; a length no string can hold throws
// std::length_error("string too long").
BSL_EXPORT UTF16String AsciiToUTF16(const char* inText, std::uint64_t inLength);
// The same pointer, as UTF-8 bytes.
BSL_EXPORT const unsigned char* AsciiToUTF8Impl(const char* inText) noexcept;

// Units before the terminating NUL; 0 for null. A length above INT_MAX is
// reported as INT_MAX.
BSL_EXPORT int UTF16StrLen(const UTF16Char* inText) noexcept;

// The UTF-8 counts take each sequence's length from its lead byte (see
// UTF8to16) and do not validate continuation bytes. They never step over a
// NUL: a NUL lead byte ends the text, and so does a NUL where a continuation
// byte should be (the character cut short by it still counts, with the bytes
// before the NUL).

// Bytes taken by the first inCharacterCount characters of the NUL-terminated
// inText (negative: all of them). 0 for a null text or a count of 0. -1 when a
// lead byte within reach announces more than four bytes, or when the count
// would exceed INT_MAX.
BSL_EXPORT int GetUTF8ByteCount(const unsigned char* inText, int inCharacterCount) noexcept;

// Characters starting before byte inByteCount of inText, which need not be
// NUL-terminated if it holds inByteCount bytes: no byte at or beyond
// inByteCount is read, and a character starting before that limit counts even
// if it extends past it. 0 for a null text or a count below 1; -1 when a lead
// byte within reach announces more than four bytes.
BSL_EXPORT int GetUTF8CharacterCount(const unsigned char* inText, int inByteCount) noexcept;

// Whether inUnit is a leading surrogate, a trailing one, or neither.
BSL_EXPORT UnicodeSurrogateT UnicodeSurrogate(UTF16Char inUnit) noexcept;

// Unicode normalisation (ICU) of the whole string; an embedded NUL is an
// ordinary character and the text after it is normalised too. Forms 4 and 5
// return a copy; any other value outside 0..3 means NFC. Lone surrogates pass
// through. When the normaliser fails, or the text is longer than it accepts
// (INT32_MAX units), the input is returned unchanged.
BSL_EXPORT UTF16String NormalizedString(const UTF16String& inText, UnicodeNormalizationForm inForm);

}  // namespace utility
}  // namespace basalt

// A UTF16String / UTF8String from an ASCII string literal.
#define BSL_STR(literal) (::basalt::utility::AsciiToUTF16((literal), sizeof(literal) - 1))
#define BSL_UTF8(literal) (::basalt::UTF8String(::basalt::utility::AsciiToUTF8Impl(literal)))

#endif  // BASALT_UTILITY_UNICODESTRING_H
