// Numbers as display text and back.
//
// Formatting works in a fixed ASCII form, "." before the fraction and ","
// between groups of three integer digits, and then, unless the caller keeps
// that form, swaps in the user's decimal and grouping separators
// (InternationalizeNum). Parsing undoes the swap first (DeInternationalizeNum)
// unless told not to. The user's separators are read once, on first use,
// from the locale the environment names (LC_ALL, LC_NUMERIC, LANG); a
// separator that cannot be read is "." or ",". Memory sizes are written with
// localizable unit keys (basalt/config/ZString.h).
//
// Bad input never throws: text that cannot be read gives 0. Keyed output (a
// NaN, a memory size) needs the host's Localizer and throws std::logic_error
// when none is installed. Allocation failure propagates as std::bad_alloc.
//
// Thread safety: every function may be called from any thread; the user's
// separators are read under a one-time initialisation.
#ifndef BASALT_UTILITY_NUMBERCONVERSION_H
#define BASALT_UTILITY_NUMBERCONVERSION_H

#include <basalt/utility/Export.h>
#include <basalt/utility/Flags.h>
#include <basalt/utility/UnicodeString.h>

#include <cstdint>

namespace basalt {
namespace utility {

// Options of NumberToString.
enum NumberStringOption : unsigned short {
  // Keep "." and ","; otherwise the result goes through InternationalizeNum.
  kNumberKeepASCIISeparators = 0x1,
  // Pad to the minimum number of integer digits with spaces instead of "0".
  kNumberPadWithSpaces = 0x2,
  // Drop trailing zeros of the fraction, and the "." if nothing follows it.
  kNumberTrimZeros = 0x4,
  // "," between groups of three integer digits.
  kNumberGroupThousands = 0x8,
  // "+" before a value that is not negative.
  kNumberShowPlus = 0x10,
  // A space before a value that is not negative (without kNumberShowPlus).
  kNumberSpaceForPlus = 0x20,
  // With kNumberShowPlus: no "+" for a value that is zero or rounds to zero.
  kNumberNoSignForZero = 0x40
};

// Options of the parsing functions.
enum NumberParseOption : unsigned short {
  // Read the text as it is, without DeInternationalizeNum; for
  // HasNumericChars, count ASCII digits only.
  kParseKeepASCIISeparators = 0x2,
  // Typed StringToNumber only: keep "," instead of removing it before reading.
  kParseKeepCommas = 0x4
};

// inValue as text with at least inMinDigits integer digits (padded with "0",
// or spaces with kNumberPadWithSpaces) and exactly inDecimals decimals,
// rounded half up (floor(m * 10^d + 0.5) / 10^d of the magnitude m). With no
// decimals a magnitude above 2147483647 is written in exponent form
// ("1.234568e+10"). When the digits, padding and groups come to more than
// inMaxLength - 1 characters, the magnitude is written in exponent form
// instead, and with no decimals in the mantissa ("1e+10") if even that is too
// long; the sign is not counted. Exponent form is never padded, grouped or
// trimmed.
//
// A value that rounds to zero at the given decimals counts as zero: it never
// gets a "-" ("0.00" for -0.004), and kNumberNoSignForZero drops its "+".
// Infinities are "inf" and "-inf" (a "+" or a space before "inf" as the
// options ask); NaN is the localized text of
// "$$$/bslui/controls/UI_NumberEdit/NANDisplayString=nan" and nothing else.
BSL_EXPORT UTF16String NumberToString(double inValue, std::uint64_t inMinDigits, std::uint64_t inDecimals,
                                      Flags<unsigned short> inOptions, int inMaxLength);

// A byte count with its unit: below 1024 the plain integer ("2 B"), else the
// count divided by the largest power of 1024 (up to 2^50) not above it, with
// inDecimals decimals and the user's separators ("2.00 KB"). Both styles
// divide by powers of 1024; inBinaryUnits picks the labels KiB, MiB, GiB,
// TiB, PiB instead of KB, MB, GB, TB, PB. The texts are the localized keys
// "$$$/basalt/utility/NumberString/<unit>" (bytes, kilobytes, kibibytes, ...)
// with "@0" replaced by the number.
BSL_EXPORT UTF16String NumberToMemoryString(std::uint64_t inByteCount, std::uint64_t inDecimals = 2,
                                            bool inBinaryUnits = false);

// Reads a number as a classic-locale stream reads a double: leading white
// space, an optional sign, digits with an optional "." fraction and an
// optional exponent ("1.5e3"). The text is first passed through
// DeInternationalizeNum (unless kParseKeepASCIISeparators) and has every ","
// removed. Characters after the number are ignored. Nothing readable gives 0
// (so does an exponent marker without digits, as in "1e"); a magnitude
// beyond the range of double gives the largest double of that sign.
BSL_EXPORT double StringToNumber(const UTF16String& inText, Flags<unsigned short> inOptions);

// Typed reading. The text is read as it is when both kParseKeepASCIISeparators
// and kParseKeepCommas are set; otherwise a copy is passed through
// DeInternationalizeNum (unless kParseKeepASCIISeparators) and has its ","
// removed (unless kParseKeepCommas).
// Integers: leading white space, an optional sign, decimal digits up to the
// first other character; nothing readable stores 0, a value outside the
// type's range stores the nearest limit (a negative value stores 0 in an
// unsigned type). float and double: as StringToNumber above, at the type's
// precision and range.
BSL_EXPORT void StringToNumber(int& outValue, const UTF16String& inText, Flags<unsigned short> inOptions);
BSL_EXPORT void StringToNumber(unsigned int& outValue, const UTF16String& inText, Flags<unsigned short> inOptions);
BSL_EXPORT void StringToNumber(long& outValue, const UTF16String& inText, Flags<unsigned short> inOptions);
BSL_EXPORT void StringToNumber(unsigned long& outValue, const UTF16String& inText, Flags<unsigned short> inOptions);
BSL_EXPORT void StringToNumber(long long& outValue, const UTF16String& inText, Flags<unsigned short> inOptions);
BSL_EXPORT void StringToNumber(unsigned long long& outValue, const UTF16String& inText,
                               Flags<unsigned short> inOptions);
BSL_EXPORT void StringToNumber(float& outValue, const UTF16String& inText, Flags<unsigned short> inOptions);
BSL_EXPORT void StringToNumber(double& outValue, const UTF16String& inText, Flags<unsigned short> inOptions);

// Every "." that is directly followed by an ASCII digit becomes the user's
// decimal separator, every such "," the user's grouping separator (unless
// the user groups no digits). Other characters stay.
BSL_EXPORT void InternationalizeNum(UTF16String& ioText);

// The reverse, for text a user typed. First U+2212 MINUS SIGN becomes "-",
// U+3000 IDEOGRAPHIC SPACE a space, U+3001 and U+3002 (ideographic comma and
// full stop) "," and ".", the fullwidth forms U+FF01..U+FF5E their ASCII
// counterparts, and ARABIC-INDIC DIGITS U+0660..U+0669 "0".."9". Then every
// user decimal separator becomes "." and every user grouping separator ",".
BSL_EXPORT void DeInternationalizeNum(UTF16String& ioText);

// "0".."9"; with inAcceptOtherDigits also the fullwidth digits U+FF10..U+FF19
// and ARABIC-INDIC DIGITS U+0660..U+0669.
BSL_EXPORT bool IsNumericChar(UTF16Char inChar, bool inAcceptOtherDigits) noexcept;

// Whether any character of inText is a digit in the sense of IsNumericChar,
// with the other digit forms unless kParseKeepASCIISeparators is set.
BSL_EXPORT bool HasNumericChars(const UTF16String& inText, Flags<unsigned short> inOptions) noexcept;

// Reads hexadecimal text as the C library's strtol (int) or strtoul
// (unsigned int) reads it in base 16 with a 32-bit long: leading white space,
// an optional sign, an optional "0x" or "0X", then hex digits up to the
// first other character. Nothing readable stores 0. For int, a value beyond
// the range stores the nearest limit. For unsigned int, a magnitude beyond
// 32 bits stores 0xFFFFFFFF whatever the sign, and a negative value is taken
// modulo 2^32 ("-1" is 0xFFFFFFFF).
BSL_EXPORT void HexStringToNumber(int& outValue, const UTF16String& inText);
BSL_EXPORT void HexStringToNumber(unsigned int& outValue, const UTF16String& inText);

// Upper-cases ioText (UpperCase of basalt/utility/StringCase.h) and keeps only
// "0".."9" and "A".."F", in order: "0x1f-zz" becomes "01F".
BSL_EXPORT void ValidateForHex(UTF16String& ioText);

// Evaluates an arithmetic expression such as "(1,5 + 2) * 3" typed into a
// number field. The text goes through DeInternationalizeNum first, unless
// kParseKeepASCIISeparators is set.
//
// Operators, loosest first: an exponent letter "E" or "e" (a E b is
// a * 10^b), then "+" and "-", then "*", then "/", then "^" (power). Each
// groups from the left: "10-2-3" is 5, "2^3^2" is 64, "2+3E2" is 500,
// "1E-3" is 0.001. Parentheses group; white space around operands and
// parentheses is ignored. A "+" or "-" that stands first or follows another
// operator is the sign of what follows it ("2*-3" is -6, "2--3" is 5). A
// "*", "/", "^", "E" or "e" that stands first or follows another operator is
// ignored ("2**3" is 6). A missing operand counts as 0 ("5*" is 0); division
// by 0 leaves the left operand ("5/0" is 5). An operand without operators is
// read with StringToNumber, so unreadable text counts as 0.
//
// An expression nested more than 256 levels deep (parentheses and operator
// levels together) is not evaluated: the result is 0. Work is linear in the
// length of the text for each level of nesting.
BSL_EXPORT double Calculate(UTF16String inText, Flags<unsigned short> inOptions);

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_NUMBERCONVERSION_H
