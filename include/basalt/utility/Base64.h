// Base64 text for binary data and for UTF-16 strings.
//
// Alphabet "A".."Z", "a".."z", "0".."9", "+", "/" with "=" padding (RFC 4648
// section 4); the encoders write no line breaks.
//
// Decoding is lenient, and states every leniency here:
//  - the text ends at its end or at its first NUL byte;
//  - white space (space, tab, line feed, vertical tab, form feed, carriage
//    return) anywhere is skipped;
//  - characters are taken four at a time; "=" and the end of the text both
//    stand for an empty position. A group with all four positions gives
//    3 bytes, one whose fourth is empty 2 bytes, one whose third is empty
//    1 byte (whatever the fourth holds), one whose first or second is empty
//    none. Decoding goes on after a padded group, so concatenated Base64
//    texts decode to their concatenated bytes, and padding may be left out;
//  - bits beyond the last whole byte of a group are ignored.
// Any other character outside the alphabet makes the decoder return false
// with an empty result.
//
// Thread safety: the functions keep no state and are reentrant.
#ifndef BASALT_UTILITY_BASE64_H
#define BASALT_UTILITY_BASE64_H

#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/UnicodeString.h>

#include <cstdint>
#include <string>
#include <vector>

namespace basalt {
namespace utility {

// outText becomes the Base64 of inData[0, inLength), 4 * ceil(inLength / 3)
// characters (empty for 0 bytes). Returns true; a length whose text no string
// can hold throws std::length_error.
BSL_EXPORT bool EncodeBinaryDataToUTF8String(const unsigned char* inData, std::uint64_t inLength, UTF8String& outText);

// outData becomes the bytes inText encodes. False, with outData empty, when
// inText holds a character that is neither in the alphabet, nor "=", nor
// white space.
BSL_EXPORT bool DecodeBinaryDataFromUTF8String(
    const UTF8String& inText, std::vector<unsigned char, SmallBlockAllocator::STLAllocator<unsigned char>>& outData);

// The Base64 of the string's code units as little-endian byte pairs.
BSL_EXPORT std::string EncodeUTF16ToAscii(const UTF16String& inText);
// The reverse: the decoded bytes read as little-endian units. Text that does
// not decode gives an empty string; an odd last byte is dropped.
BSL_EXPORT UTF16String DecodeUTF16FromAscii(const std::string& inText);

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_BASE64_H
