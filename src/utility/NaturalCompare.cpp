#include <basalt/utility/NaturalCompare.h>

#include <basalt/utility/NumberConversion.h>

#include <algorithm>
#include <cstddef>

namespace basalt {
namespace utility {
namespace {

// The value of a digit in any of the forms IsNumericChar accepts with other
// digit forms; -1 for other units. Written out here so that the per-unit
// test inlines.
inline int DigitValue(UTF16Char inUnit) noexcept {
  if (static_cast<unsigned>(inUnit - u'0') < 10u) return inUnit - u'0';
  if (inUnit < 0x0660) return -1;
  if (static_cast<unsigned>(inUnit - 0x0660) < 10u) return inUnit - 0x0660;
  if (static_cast<unsigned>(inUnit - 0xFF10) < 10u) return inUnit - 0xFF10;
  return -1;
}

const UTF16Char* TokenEnd(const UTF16Char* inBegin, const UTF16Char* inEnd, bool inDigits) noexcept {
  while (inBegin != inEnd && (DigitValue(*inBegin) >= 0) == inDigits) ++inBegin;
  return inBegin;
}

// Two digit runs by value. Leading zeros aside, the longer run is the larger
// number; runs of any length compare exactly, where reading them into a
// 64-bit integer would make every run past its range equal.
int CompareDigitRuns(const UTF16Char* inA, const UTF16Char* inAEnd, const UTF16Char* inB,
                     const UTF16Char* inBEnd) noexcept {
  while (inA != inAEnd && DigitValue(*inA) == 0) ++inA;
  while (inB != inBEnd && DigitValue(*inB) == 0) ++inB;
  const std::ptrdiff_t lengthA = inAEnd - inA;
  const std::ptrdiff_t lengthB = inBEnd - inB;
  if (lengthA != lengthB) return lengthA < lengthB ? -1 : 1;
  for (; inA != inAEnd; ++inA, ++inB) {
    const int a = DigitValue(*inA);
    const int b = DigitValue(*inB);
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

// A unit as token texts compare it. Digits of every form count as their
// ASCII digit: a digit run meets text only here, and giving all runs the
// same units keeps the order transitive ("5" < "a" must agree with the
// Arabic-Indic five, which equals "5", coming before "a" too).
template <bool kCaseInsensitive>
UTF16Char CompareUnit(UTF16Char inUnit) noexcept {
  const int digit = DigitValue(inUnit);
  if (digit >= 0) return static_cast<UTF16Char>(u'0' + digit);
  if (kCaseInsensitive && inUnit >= u'A' && inUnit <= u'Z') return static_cast<UTF16Char>(inUnit + (u'a' - u'A'));
  return inUnit;
}

template <bool kCaseInsensitive>
int CompareTexts(const UTF16Char* inA, const UTF16Char* inAEnd, const UTF16Char* inB,
                 const UTF16Char* inBEnd) noexcept {
  for (; inA != inAEnd && inB != inBEnd; ++inA, ++inB) {
    const UTF16Char a = CompareUnit<kCaseInsensitive>(*inA);
    const UTF16Char b = CompareUnit<kCaseInsensitive>(*inB);
    if (a != b) return a < b ? -1 : 1;
  }
  if (inA != inAEnd) return 1;
  if (inB != inBEnd) return -1;
  return 0;
}

template <bool kCaseInsensitive>
int Compare(const UTF16String& inA, const UTF16String& inB) noexcept {
  const UTF16Char* a = inA.data();
  const UTF16Char* const aEnd = a + inA.size();
  const UTF16Char* b = inB.data();
  const UTF16Char* const bEnd = b + inB.size();
  // Names that are compared often share long prefixes. Where the units
  // agree the tokens agree too, so the token walk can start at the token in
  // which the first difference lies.
  std::ptrdiff_t same = 0;
  const std::ptrdiff_t common = std::min(aEnd - a, bEnd - b);
  while (same < common && CompareUnit<kCaseInsensitive>(a[same]) == CompareUnit<kCaseInsensitive>(b[same]) &&
         (a[same] == b[same] || DigitValue(a[same]) < 0))
    ++same;
  if (same > 0) {
    const bool digits = DigitValue(a[same - 1]) >= 0;
    while (same > 0 && (DigitValue(a[same - 1]) >= 0) == digits) --same;
    a += same;
    b += same;
  }
  while (a != aEnd || b != bEnd) {
    // A string that has run out gives an empty text token.
    const bool aDigits = a != aEnd && DigitValue(*a) >= 0;
    const bool bDigits = b != bEnd && DigitValue(*b) >= 0;
    const UTF16Char* const aToken = TokenEnd(a, aEnd, aDigits);
    const UTF16Char* const bToken = TokenEnd(b, bEnd, bDigits);
    const int order = aDigits && bDigits ? CompareDigitRuns(a, aToken, b, bToken)
                                         : CompareTexts<kCaseInsensitive>(a, aToken, b, bToken);
    if (order != 0) return order;
    a = aToken;
    b = bToken;
  }
  return 0;
}

}  // namespace

int NaturalStringCompare(const UTF16String& inA, const UTF16String& inB) noexcept { return Compare<false>(inA, inB); }
bool NaturalStringEquals(const UTF16String& inA, const UTF16String& inB) noexcept {
  return Compare<false>(inA, inB) == 0;
}
bool NaturalStringLessThan(const UTF16String& inA, const UTF16String& inB) noexcept {
  return Compare<false>(inA, inB) < 0;
}

namespace CaseInsensitive {

int NaturalStringCompare(const UTF16String& inA, const UTF16String& inB) noexcept { return Compare<true>(inA, inB); }
bool NaturalStringEquals(const UTF16String& inA, const UTF16String& inB) noexcept {
  return Compare<true>(inA, inB) == 0;
}
bool NaturalStringLessThan(const UTF16String& inA, const UTF16String& inB) noexcept {
  return Compare<true>(inA, inB) < 0;
}

}  // namespace CaseInsensitive

}  // namespace utility
}  // namespace basalt
