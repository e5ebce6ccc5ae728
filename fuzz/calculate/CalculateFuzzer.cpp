// Fuzzes the readers of outside number text: Calculate, StringToNumber in
// its plain and typed forms, and HexStringToNumber. The input is UTF-8 text
// (read up to its first malformed sequence).
//
// Checked on every input:
//  - Calculate returns, whatever the text, nesting or length, and sanitizers
//    see no fault;
//  - text with balanced parentheses (and short enough to stay inside the
//    nesting limit) evaluates the same inside one more pair of parentheses;
//  - text without operators or parentheses evaluates to what StringToNumber
//    reads from it;
//  - the typed integer readers agree with the C library's strtoll/strtoull
//    clamped to the target type (a negative text gives 0 for unsigned);
//  - HexStringToNumber agrees with strtoll/strtoull in base 16 narrowed as a
//    32-bit strtol/strtoul narrows;
//  - a finite number read from the text formats with NumberToString and
//    reads back as itself rounded to the decimals written.
// A failed check traps.
#include <basalt/utility/NumberConversion.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

namespace bu = basalt::utility;
using basalt::UTF16String;
using basalt::UTF8String;

void Check(bool inCondition) {
  if (!inCondition) __builtin_trap();
}

bool SameDouble(double inA, double inB) { return (std::isnan(inA) && std::isnan(inB)) || inA == inB; }

bool Balanced(const UTF16String& inText) {
  long depth = 0;
  for (const char16_t c : inText) {
    if (c == u'(') ++depth;
    if (c == u')' && --depth < 0) return false;
  }
  return depth == 0;
}

bool HasOperatorOrParenthesis(const UTF16String& inText) {
  for (const char16_t c : inText) {
    switch (c) {
      case u'+': case u'-': case u'*': case u'/': case u'^': case u'E': case u'e': case u'(': case u')':
        return true;
      default:
        break;
    }
  }
  return false;
}

bool StartsNegative(const std::string& inText) {
  std::size_t i = 0;
  while (i < inText.size() && (inText[i] == ' ' || (inText[i] >= '\t' && inText[i] <= '\r'))) ++i;
  return i < inText.size() && inText[i] == '-';
}

std::string WithoutCommas(const UTF16String& inText) {
  UTF16String copy(inText);
  bu::DeInternationalizeNum(copy);
  std::string text = bu::UTF16toStdString(copy);
  std::string result;
  for (const char c : text)
    if (c != ',') result += c;
  return result;
}

void CheckTypedIntegers(const UTF16String& inText) {
  const std::string text = WithoutCommas(inText);
  errno = 0;
  const long long wide = std::strtoll(text.c_str(), nullptr, 10);
  int asInt = 0;
  bu::StringToNumber(asInt, inText, 0);
  Check(asInt == (wide > INT_MAX ? INT_MAX : wide < INT_MIN ? INT_MIN : static_cast<int>(wide)));
  long long asLongLong = 0;
  bu::StringToNumber(asLongLong, inText, 0);
  Check(asLongLong == wide);
  unsigned int asUnsigned = 0;
  bu::StringToNumber(asUnsigned, inText, 0);
  unsigned long long asUnsignedLongLong = 0;
  bu::StringToNumber(asUnsignedLongLong, inText, 0);
  if (StartsNegative(text)) {
    Check(asUnsigned == 0 && asUnsignedLongLong == 0);
  } else {
    const unsigned long long wideUnsigned = std::strtoull(text.c_str(), nullptr, 10);
    Check(asUnsignedLongLong == wideUnsigned);
    Check(asUnsigned == (wideUnsigned > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(wideUnsigned)));
  }
}

void CheckHex(const UTF16String& inText) {
  const std::string text = bu::UTF16toStdString(inText);
  const long long wide = std::strtoll(text.c_str(), nullptr, 16);
  int asInt = 0;
  bu::HexStringToNumber(asInt, inText);
  Check(asInt == (wide > INT_MAX ? INT_MAX : wide < INT_MIN ? INT_MIN : static_cast<int>(wide)));

  errno = 0;
  const unsigned long long wideUnsigned = std::strtoull(text.c_str(), nullptr, 16);
  const bool overflow = errno == ERANGE;
  // strtoull negates a negative text modulo 2^64; undo that for the magnitude.
  const bool negative = StartsNegative(text);
  const unsigned long long magnitude = negative ? 0ull - wideUnsigned : wideUnsigned;
  unsigned int expected = 0;
  if (overflow || magnitude > UINT_MAX) {
    expected = UINT_MAX;
  } else {
    expected = negative ? 0u - static_cast<unsigned int>(magnitude) : static_cast<unsigned int>(magnitude);
  }
  unsigned int asUnsigned = 0;
  bu::HexStringToNumber(asUnsigned, inText);
  Check(asUnsigned == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* inData, std::size_t inSize) {
  const UTF8String bytes = inSize ? UTF8String(inData, inData + inSize) : UTF8String();
  const UTF16String text = bu::UTF8to16(bytes);

  const double value = bu::Calculate(text, 0);
  UTF16String plain(text);
  bu::DeInternationalizeNum(plain);
  if (plain.size() < 200 && Balanced(plain)) {
    UTF16String wrapped = u"(";
    wrapped += plain;
    wrapped += u")";
    Check(SameDouble(bu::Calculate(wrapped, bu::kParseKeepASCIISeparators), value));
  }
  const double number = bu::StringToNumber(text, 0);
  if (!HasOperatorOrParenthesis(plain)) Check(SameDouble(value, number));

  CheckTypedIntegers(text);
  CheckHex(text);

  if (std::isfinite(number) && std::fabs(number) < 1e15) {
    // With decimals the fixed form is kept for every magnitude below 1e15.
    const std::uint64_t decimals = 1 + inSize % 6;
    const UTF16String formatted = bu::NumberToString(number, 1, decimals, bu::kNumberGroupThousands, 64);
    const double scale = std::pow(10.0, static_cast<double>(decimals));
    const double rounded = std::copysign(std::floor(std::fabs(number) * scale + 0.5) / scale, number);
    const double back = bu::StringToNumber(formatted, 0);
    Check(std::fabs(back - rounded) <= std::fabs(rounded) * 1e-15);
  }
  return 0;
}
