// Case mapping of UTF-16 strings, and helpers for user-interface strings:
// menu mnemonics ("&"), truncation that never splits a surrogate pair, a
// middle ellipsis, and line endings.
//
// Case mapping does not depend on the operating system's locale or on any
// language: it follows the library's built-in case table, which holds, per
// code unit, a lower, an upper and a fold form taken from the Unicode
// Character Database (the simple mappings, the unconditional special
// mappings, and full case folding). A form may be longer than one unit:
// "ß" upper-cases to "SS" and folds to "ss", "ﬃ" upper-cases to "FFI". The
// table covers Basic Latin and Latin-1 (with U+00B5 MICRO SIGN), Latin
// Extended-A and -B, the IPA letters with case partners, Latin Extended
// Additional, Greek and Coptic, Greek Extended, U+0345, Cyrillic
// (U+0400..U+04FF), Armenian, U+2126 OHM SIGN, U+212A KELVIN SIGN, U+212B
// ANGSTROM SIGN, the Roman numerals U+2160..U+217F, the circled Latin letters
// U+24B6..U+24E9, the ligatures U+FB00..U+FB06 and U+FB13..U+FB17, and the
// fullwidth letters U+FF21 and U+FF41. Every other unit, surrogates included,
// maps to itself, so supplementary characters pass unchanged. Mapping is unit
// by unit and context-free: a capital sigma always lower-cases to "σ".
//
// Nothing here throws except std::bad_alloc (or std::length_error for a
// result no string can hold). All functions are thread-safe: the case table
// is built once, on first use, and only read afterwards.
#ifndef BASALT_UTILITY_STRINGCASE_H
#define BASALT_UTILITY_STRINGCASE_H

#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/UnicodeString.h>

#include <cstdint>
#include <vector>

namespace basalt {
namespace utility {

// Each unit replaced by its lower, upper or fold form. The result may be
// longer than the input.
BSL_EXPORT UTF16String LowerCase(const UTF16String& inText);
BSL_EXPORT UTF16String UpperCase(const UTF16String& inText);
BSL_EXPORT UTF16String FoldCase(const UTF16String& inText);

// Words start upper-case and go on lower-case, where a word is a run of
// units the case table knows: a word's first unit takes its upper form, the
// others their lower form ("ßa" gives "SSa"). Any other unit ends the word,
// except an apostrophe (U+0027) right after a unit of the word: "don't stop"
// gives "Don't Stop", "o'neil" gives "O'neil", while "x 'y" gives "X 'Y".
BSL_EXPORT UTF16String TitleCase(const UTF16String& inText);

// The same, in place.
BSL_EXPORT void ToLowerCase(UTF16String& ioText);
BSL_EXPORT void ToUpperCase(UTF16String& ioText);
BSL_EXPORT void ToFoldCase(UTF16String& ioText);
BSL_EXPORT void ToTitleCase(UTF16String& ioText);

// Fullwidth punctuation and digits U+FF01..U+FF1F become their ASCII
// counterparts U+0021..U+003F. True when the unit changed; the string form
// converts every such unit and answers whether any changed.
BSL_EXPORT bool ToNumericCase(UTF16Char& ioUnit);
BSL_EXPORT bool ToNumericCase(UTF16String& ioText);

// The first inCount units of inText, or with inFromEnd the last inCount. A
// cut that would separate a leading surrogate from the trailing surrogate
// after it drops the pair's kept half as well, leaving inCount - 1 units.
// A count of 0 gives an empty string, one at least the length the whole text.
BSL_EXPORT UTF16String TruncateStringToNumChars(const UTF16String& inText, std::uint64_t inCount, bool inFromEnd);
BSL_EXPORT std::vector<UTF16Char, SmallBlockAllocator::STLAllocator<UTF16Char>> TruncateStringToNumChars(
    const std::vector<UTF16Char, SmallBlockAllocator::STLAllocator<UTF16Char>>& inText, std::uint64_t inCount,
    bool inFromEnd);

// inText itself when it has at most inMaxLength units. Otherwise a head and a
// tail of it joined by " ... " (space, three full stops, space), truncated as
// by TruncateStringToNumChars: with m = inMaxLength and s = inHeadShare, in
// single precision, the head keeps floor(m * s) - 3 units and the tail
// floor(m * (1 - s)) - 2, so 100 units cut to 20 with share 0.5 keep 7 and 8.
// When one of the two counts would be negative it is taken as 0 and its
// deficit is taken from the other (down to 0), so the result never exceeds
// inMaxLength when inMaxLength is 5 or more; below 5 the result is " ... "
// alone. A share outside 0..1 is clamped to it; NaN counts as 0.5.
BSL_EXPORT UTF16String TruncateUIStringInMiddle(const UTF16String& inText, std::uint64_t inMaxLength,
                                                float inHeadShare);

// Removes menu mnemonics. With inRemoveParenthesised, first the first "(&"
// is looked for and, when the unit three places after its start is ")",
// those four units go ("Open (&O)" gives "Open ", the space stays). Then, left
// to right, every "&" is removed except one that ends the text, one followed
// by a space, and the second of a pair: "&File" gives "File", "A && B" gives
// "A & B", "Save & Exit" is unchanged.
BSL_EXPORT void StripDisplayString(UTF16String& ioText, bool inRemoveParenthesised);

// The index of the first "&" followed by a unit other than a space or "&"
// (the mnemonic marker); "&&" pairs and "& " are skipped. No such "&", or an
// "&" that ends the text, gives kNoAmpersand. With inCountDoubles the index
// is reduced by the "&&" pairs skipped before it: its position once they are
// collapsed. "Save && E&xit" gives 9, or 8 counting doubles.
constexpr std::uint64_t kNoAmpersand = ~static_cast<std::uint64_t>(0);
BSL_EXPORT std::uint64_t LocateSingleAmpersandInString(const UTF16String& inText, bool inCountDoubles);

// Fixed to int, so that any int is a value GetLineEnding can be asked about.
enum LineEndingType : int { kLineEnding_CRLF = 0, kLineEnding_CR = 1, kLineEnding_LF = 2 };

// "\r\n", "\r" or "\n"; an empty string for any other value.
BSL_EXPORT UTF16String GetLineEnding(LineEndingType inType);

// Replaces every line ending of ioText by GetLineEnding(inType): CR LF counts
// as one ending, a lone CR and a lone LF as one each; all other text stays.
// An inType outside the enumeration leaves ioText unchanged rather than
// deleting its line breaks.
BSL_EXPORT void ConvertLineEndings(LineEndingType inType, UTF16String& ioText);

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_STRINGCASE_H
