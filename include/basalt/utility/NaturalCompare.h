// Natural ordering of strings: embedded numbers compare by value, so
// "file2" sorts before "file10".
//
// Each string is read as a run of tokens, maximal runs of digits and maximal
// runs of other units. Digits are "0".."9", the fullwidth digits
// U+FF10..U+FF19 and ARABIC-INDIC DIGITS U+0660..U+0669 (IsNumericChar with
// other digit forms, basalt/utility/NumberConversion.h). Tokens are compared
// pairwise from the start; the first pair that differs decides:
//  - two digit runs by their values, of any length; runs of equal value are
//    equal however they are spelt ("a01" equals "a1", "٣" equals "3");
//  - anything else by the token texts, a digit run counting as its ASCII
//    digits: case-sensitively unit by unit, a prefix first ("File" before
//    "file", "abc" before "abcd"); in CaseInsensitive after mapping ASCII
//    "A".."Z" to lower case, and nothing else ("File" equals "file");
//  - a string that has run out counts as an empty token, before any other.
// Strings whose tokens are all equal compare equal.
//
// The order is a strict weak ordering, so NaturalStringLessThan may be given
// to std::sort and ordered containers. Nothing is allocated; all functions
// are thread-safe.
#ifndef BASALT_UTILITY_NATURALCOMPARE_H
#define BASALT_UTILITY_NATURALCOMPARE_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UnicodeString.h>

namespace basalt {
namespace utility {

// -1, 0 or 1 as inA sorts before, with or after inB.
BSL_EXPORT int NaturalStringCompare(const UTF16String& inA, const UTF16String& inB) noexcept;
BSL_EXPORT bool NaturalStringEquals(const UTF16String& inA, const UTF16String& inB) noexcept;
BSL_EXPORT bool NaturalStringLessThan(const UTF16String& inA, const UTF16String& inB) noexcept;

namespace CaseInsensitive {

BSL_EXPORT int NaturalStringCompare(const UTF16String& inA, const UTF16String& inB) noexcept;
BSL_EXPORT bool NaturalStringEquals(const UTF16String& inA, const UTF16String& inB) noexcept;
BSL_EXPORT bool NaturalStringLessThan(const UTF16String& inA, const UTF16String& inB) noexcept;

}  // namespace CaseInsensitive

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_NATURALCOMPARE_H
