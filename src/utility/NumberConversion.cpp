#include <basalt/utility/NumberConversion.h>

#include <basalt/config/ZString.h>
#include <basalt/utility/StringCase.h>

#include "utility/NumberLocaleInternal.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <locale>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace basalt {
namespace utility {

namespace internal {

namespace {

std::uint32_t Pack(NumberSeparators inSeparators) noexcept {
  return static_cast<std::uint32_t>(inSeparators.mDecimal) << 16 | inSeparators.mGrouping;
}

NumberSeparators Unpack(std::uint32_t inWord) noexcept {
  return {static_cast<UTF16Char>(inWord >> 16), static_cast<UTF16Char>(inWord & 0xFFFF)};
}

// Both separators in one word, so a reader never sees half of a change.
std::atomic<std::uint32_t>& SeparatorWord() {
  static std::atomic<std::uint32_t> sWord(Pack(ReadUserNumberSeparators()));
  return sWord;
}

}  // namespace

NumberSeparators UserNumberSeparators() noexcept {
  // Reading the locale may allocate; should that fail, the fixed form stands in.
  try {
    return Unpack(SeparatorWord().load(std::memory_order_acquire));
  } catch (...) {
    return {u'.', u','};
  }
}

ScUserNumberSeparatorsForTesting::ScUserNumberSeparatorsForTesting(NumberSeparators inSeparators) noexcept
    : mPrevious(UserNumberSeparators()) {
  SeparatorWord().store(Pack(inSeparators), std::memory_order_release);
}

ScUserNumberSeparatorsForTesting::~ScUserNumberSeparatorsForTesting() {
  SeparatorWord().store(Pack(mPrevious), std::memory_order_release);
}

}  // namespace internal

namespace {

const char kNaNKey[] = "$$$/bslui/controls/UI_NumberEdit/NANDisplayString=nan";

bool IsClassicSpace(UTF16Char inChar) noexcept {
  return inChar == u' ' || (inChar >= u'\t' && inChar <= u'\r');
}

bool IsClassicSpace(char inChar) noexcept { return inChar == ' ' || (inChar >= '\t' && inChar <= '\r'); }

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

double PowerOfTen(std::uint64_t inExponent) noexcept {
  // Exact up to 10^22; no larger power of ten is a double, and pow's value
  // serves. Past the range of double it is infinite.
  static const double kExact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (inExponent < sizeof kExact / sizeof kExact[0]) return kExact[inExponent];
  if (inExponent > 400) return std::numeric_limits<double>::infinity();
  return std::pow(10.0, static_cast<double>(inExponent));
}

// The C library's "%e" ("%.6e") or "%.0e" of a non-negative magnitude,
// independent of the process's C locale.
std::string Scientific(double inMagnitude, int inPrecision) {
  char buffer[64];
  const std::to_chars_result done =
      std::to_chars(buffer, buffer + sizeof buffer, inMagnitude, std::chars_format::scientific, inPrecision);
  return std::string(buffer, done.ptr);
}

// "%1.*f" of a non-negative magnitude with inDecimals decimals.
std::string Fixed(double inMagnitude, std::uint64_t inDecimals) {
  // At most 309 integer digits, the point and the decimals.
  std::string buffer(static_cast<std::size_t>(inDecimals) + 320, '\0');
  const std::to_chars_result done = std::to_chars(&buffer[0], &buffer[0] + buffer.size(), inMagnitude,
                                                  std::chars_format::fixed, static_cast<int>(inDecimals));
  buffer.resize(static_cast<std::size_t>(done.ptr - buffer.data()));
  return buffer;
}

UTF16String Widen(const std::string& inText) {
  UTF16String result;
  result.reserve(inText.size());
  for (const char c : inText) result += static_cast<UTF16Char>(static_cast<unsigned char>(c));
  return result;
}

// "," between groups of three of the inIntegerDigits digits that start inText.
std::string GroupThousands(const std::string& inText, std::size_t inIntegerDigits) {
  if (inIntegerDigits <= 3) return inText;
  std::string result;
  result.reserve(inText.size() + inIntegerDigits / 3);
  std::size_t first = inIntegerDigits % 3;
  if (first == 0) first = 3;
  result.append(inText, 0, first);
  for (std::size_t i = first; i < inIntegerDigits; i += 3) {
    result += ',';
    result.append(inText, i, 3);
  }
  result.append(inText, inIntegerDigits, std::string::npos);
  return result;
}

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

// The text as the typed readers see it.
std::string PreparedText(const UTF16String& inText, Flags<unsigned short> inOptions) {
  const bool keepSeparators = inOptions.IsSet(kParseKeepASCIISeparators);
  const bool keepCommas = inOptions.IsSet(kParseKeepCommas);
  if (keepSeparators && keepCommas) return UTF16toStdString(inText);
  UTF16String copy(inText);
  if (!keepSeparators) DeInternationalizeNum(copy);
  if (!keepCommas) copy.erase(std::remove(copy.begin(), copy.end(), u','), copy.end());
  return UTF16toStdString(copy);
}

template <class T>
T ReadFloating(const std::string& inText) {
  std::istringstream in(inText);
  in.imbue(std::locale::classic());
  // The stream stores 0 when it reads nothing and the largest finite value
  // of the sign when the number is out of range.
  T value = 0;
  in >> value;
  return value;
}

// Leading white space, a sign and decimal digits, saturating at the limits
// of T; a negative value saturates at 0 for an unsigned T.
template <class T>
T ReadInteger(const std::string& inText) {
  static_assert(std::is_integral<T>::value, "integers only");
  std::size_t i = 0;
  const std::size_t size = inText.size();
  while (i < size && IsClassicSpace(inText[i])) ++i;
  bool negative = false;
  if (i < size && (inText[i] == '+' || inText[i] == '-')) negative = inText[i++] == '-';
  // The magnitude of the most negative T is the largest one worth telling
  // apart; anything larger is out of range whatever the sign.
  typedef typename std::make_unsigned<T>::type Unsigned;
  const Unsigned limit = negative ? (std::is_signed<T>::value ? static_cast<Unsigned>(std::numeric_limits<T>::max()) + 1u
                                                              : Unsigned(0))
                                  : static_cast<Unsigned>(std::numeric_limits<T>::max());
  Unsigned magnitude = 0;
  bool overflow = false;
  for (; i < size && inText[i] >= '0' && inText[i] <= '9'; ++i) {
    const Unsigned digit = static_cast<Unsigned>(inText[i] - '0');
    if (digit > limit || magnitude > (limit - digit) / 10u) {
      overflow = true;
    } else {
      magnitude = static_cast<Unsigned>(magnitude * 10u + digit);
    }
  }
  if (overflow) magnitude = limit;
  if (!negative) return static_cast<T>(magnitude);
  if (magnitude == 0) return 0;
  // Only reached for a signed T: two's complement negation of the magnitude.
  return static_cast<T>(-static_cast<std::make_signed_t<Unsigned>>(magnitude - 1u) - 1);
}

template <class T>
void ReadTyped(T& outValue, const UTF16String& inText, Flags<unsigned short> inOptions) {
  const std::string text = PreparedText(inText, inOptions);
  if constexpr (std::is_floating_point<T>::value) {
    outValue = ReadFloating<T>(text);
  } else {
    outValue = ReadInteger<T>(text);
  }
}

struct HexReading {
  bool mNegative;
  bool mOverflow;  // the magnitude exceeds 32 bits
  std::uint32_t mMagnitude;
};

int HexDigit(char inChar) noexcept {
  if (inChar >= '0' && inChar <= '9') return inChar - '0';
  if (inChar >= 'a' && inChar <= 'f') return inChar - 'a' + 10;
  if (inChar >= 'A' && inChar <= 'F') return inChar - 'A' + 10;
  return -1;
}

HexReading ReadHex(const UTF16String& inText) {
  const std::string text = UTF16toStdString(inText);
  HexReading reading = {false, false, 0};
  std::size_t i = 0;
  const std::size_t size = text.size();
  while (i < size && IsClassicSpace(text[i])) ++i;
  if (i < size && (text[i] == '+' || text[i] == '-')) reading.mNegative = text[i++] == '-';
  if (i + 2 < size && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && HexDigit(text[i + 2]) >= 0)
    i += 2;
  for (; i < size; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) break;
    if (reading.mMagnitude > 0x0FFFFFFFu) {
      reading.mOverflow = true;
    } else {
      reading.mMagnitude = reading.mMagnitude << 4 | static_cast<std::uint32_t>(digit);
    }
  }
  return reading;
}

// ---------------------------------------------------------------------------
// Calculate
// ---------------------------------------------------------------------------

// Deeper expressions are refused: the evaluation recurses once per level.
const int kMaxCalculateNesting = 256;

enum OperatorClass { kExponentOp = 0, kAdditiveOp, kMultiplyOp, kDivideOp, kPowerOp, kOperatorClasses };

bool IsOperatorChar(UTF16Char inChar) noexcept {
  switch (inChar) {
    case u'+':
    case u'-':
    case u'*':
    case u'/':
    case u'E':
    case u'e':
    case u'^':
      return true;
    default:
      return false;
  }
}

OperatorClass ClassOf(UTF16Char inChar) noexcept {
  switch (inChar) {
    case u'E':
    case u'e':
      return kExponentOp;
    case u'*':
      return kMultiplyOp;
    case u'/':
      return kDivideOp;
    case u'^':
      return kPowerOp;
    default:
      return kAdditiveOp;
  }
}

// No ")" in [inBegin, inEnd) closes more than was opened before it.
bool NeverUnderflows(const UTF16Char* inBegin, const UTF16Char* inEnd) noexcept {
  std::ptrdiff_t depth = 0;
  for (const UTF16Char* p = inBegin; p != inEnd; ++p) {
    if (*p == u'(') {
      ++depth;
    } else if (*p == u')' && --depth < 0) {
      return false;
    }
  }
  return true;
}

void Trim(const UTF16Char*& ioBegin, const UTF16Char*& ioEnd) noexcept {
  while (ioBegin != ioEnd && IsClassicSpace(*ioBegin)) ++ioBegin;
  while (ioEnd != ioBegin && IsClassicSpace(ioEnd[-1])) --ioEnd;
}

class Calculator {
public:
  explicit Calculator(Flags<unsigned short> inOptions) : mOptions(inOptions), mTooDeep(false) {}

  double Evaluate(const UTF16Char* inBegin, const UTF16Char* inEnd, int inNesting) {
    if (mTooDeep || inNesting > kMaxCalculateNesting) return Refuse();
    const UTF16Char* begin = inBegin;
    const UTF16Char* end = inEnd;
    Trim(begin, end);
    // Outer parentheses go, unless the pair is not one: in "(1)+(2)" the
    // first "(" is closed early.
    while (end - begin > 1 && *begin == u'(' && end[-1] == u')') {
      const UTF16Char* innerBegin = begin + 1;
      const UTF16Char* innerEnd = end - 1;
      Trim(innerBegin, innerEnd);
      if (!NeverUnderflows(innerBegin, innerEnd)) break;
      begin = innerBegin;
      end = innerEnd;
      if (++inNesting > kMaxCalculateNesting) return Refuse();
    }

    // The text without the operators that stand where no operand precedes
    // them, with the position of every operator at depth 0 by class.
    UTF16String text;
    text.reserve(static_cast<std::size_t>(end - begin));
    std::vector<std::size_t> positions[kOperatorClasses];
    std::ptrdiff_t depth = 0;
    bool atStart = true;
    bool afterOperator = false;
    for (const UTF16Char* p = begin; p != end; ++p) {
      const UTF16Char c = *p;
      if (depth == 0 && IsOperatorChar(c)) {
        const bool additive = c == u'+' || c == u'-';
        if (additive && afterOperator) {
          // The sign of the operand that follows.
        } else if (!additive && (atStart || afterOperator)) {
          continue;
        } else {
          positions[ClassOf(c)].push_back(text.size());
        }
        text += c;
        atStart = false;
        afterOperator = true;
        continue;
      }
      if (c == u'(') {
        ++depth;
      } else if (c == u')') {
        --depth;
      }
      text += c;
      if (!IsClassicSpace(c)) {
        atStart = false;
        afterOperator = IsOperatorChar(c);
      }
    }

    for (int op = kExponentOp; op < kOperatorClasses; ++op) {
      const std::vector<std::size_t>& at = positions[op];
      if (at.empty()) continue;
      const UTF16Char* base = text.data();
      double value = Evaluate(base, base + at[0], inNesting + 1);
      for (std::size_t k = 0; k < at.size(); ++k) {
        const std::size_t from = at[k] + 1;
        const std::size_t to = k + 1 < at.size() ? at[k + 1] : text.size();
        const double right = Evaluate(base + from, base + to, inNesting + 1);
        value = Combine(static_cast<OperatorClass>(op), text[at[k]], value, right);
      }
      return mTooDeep ? 0.0 : value;
    }
    return StringToNumber(text, mOptions);
  }

  bool TooDeep() const noexcept { return mTooDeep; }

private:
  double Refuse() noexcept {
    mTooDeep = true;
    return 0.0;
  }

  static double Combine(OperatorClass inClass, UTF16Char inOperator, double inLeft, double inRight) {
    switch (inClass) {
      case kExponentOp:
        return inLeft * std::pow(10.0, inRight);
      case kAdditiveOp:
        return inOperator == u'+' ? inLeft + inRight : inLeft - inRight;
      case kMultiplyOp:
        return inLeft * inRight;
      case kDivideOp:
        return inRight == 0 ? inLeft : inLeft / inRight;
      case kPowerOp:
      default:
        return std::pow(inLeft, inRight);
    }
  }

  Flags<unsigned short> mOptions;
  bool mTooDeep;
};

}  // namespace

// ---------------------------------------------------------------------------

UTF16String NumberToString(double inValue, std::uint64_t inMinDigits, std::uint64_t inDecimals,
                           Flags<unsigned short> inOptions, int inMaxLength) {
  if (std::isnan(inValue)) return ZString(kNaNKey);

  // Digits, padding and groups longer than this go to exponent form.
  const std::int64_t limit = static_cast<std::int64_t>(inMaxLength) - 1;
  const double magnitude = std::fabs(inValue);
  double rounded = magnitude;
  if (inDecimals > 0) {
    // Where the scaled value is no longer finite, the magnitude has no digits
    // at that many decimals to round, and printing rounds it by itself.
    const double scaled = magnitude * PowerOfTen(inDecimals);
    if (std::isfinite(scaled)) rounded = std::floor(scaled + 0.5) / PowerOfTen(inDecimals);
  } else {
    rounded = std::floor(magnitude + 0.5);
  }
  const bool zero = rounded == 0;
  const bool negative = !zero && inValue < 0;

  bool exponentForm = !std::isfinite(magnitude) || (inDecimals == 0 && magnitude > 2147483647.0);
  std::string text;
  if (exponentForm) {
    text = Scientific(magnitude, 6);
  } else {
    // The shortest text this could give; building a longer one only to
    // throw it away would let a huge count of digits exhaust memory.
    const bool tooLong = limit < 1 || inMinDigits > static_cast<std::uint64_t>(limit) ||
                         (inDecimals > 0 && (limit < 2 || inDecimals > static_cast<std::uint64_t>(limit - 2)));
    if (tooLong) {
      exponentForm = true;
    } else {
      if (inDecimals > 0) {
        text = Fixed(rounded, inDecimals);
      } else {
        char buffer[24];
        text.assign(buffer, std::to_chars(buffer, buffer + sizeof buffer, static_cast<std::int64_t>(rounded)).ptr);
      }
      std::size_t integerDigits = std::min(text.find('.'), text.size());
      if (integerDigits < inMinDigits) {
        const std::size_t pad = static_cast<std::size_t>(inMinDigits) - integerDigits;
        text.insert(0, pad, inOptions.IsSet(kNumberPadWithSpaces) ? ' ' : '0');
        integerDigits += pad;
      }
      if (inOptions.IsSet(kNumberGroupThousands)) text = GroupThousands(text, integerDigits);
      if (static_cast<std::int64_t>(text.size()) > limit) exponentForm = true;
    }
    if (exponentForm) text = Scientific(magnitude, 6);
  }
  if (exponentForm && static_cast<std::int64_t>(text.size()) > limit) text = Scientific(magnitude, 0);

  if (negative) {
    text.insert(0, 1, '-');
  } else if (inOptions.IsSet(kNumberShowPlus)) {
    if (!(zero && inOptions.IsSet(kNumberNoSignForZero))) text.insert(0, 1, '+');
  } else if (inOptions.IsSet(kNumberSpaceForPlus)) {
    text.insert(0, 1, ' ');
  }

  if (!exponentForm && inOptions.IsSet(kNumberTrimZeros)) {
    const std::size_t point = text.rfind('.');
    if (point != std::string::npos) {
      std::size_t keep = text.size();
      while (keep > point + 1 && text[keep - 1] == '0') --keep;
      if (keep == point + 1) keep = point;
      text.resize(keep);
    }
  }

  UTF16String result = Widen(text);
  if (!inOptions.IsSet(kNumberKeepASCIISeparators)) InternationalizeNum(result);
  return result;
}

UTF16String NumberToMemoryString(std::uint64_t inByteCount, std::uint64_t inDecimals, bool inBinaryUnits) {
  struct Unit {
    int mShift;
    const char* mDecimalKey;
    const char* mBinaryKey;
  };
  static const Unit kUnits[] = {
      {50, "$$$/basalt/utility/NumberString/petabytes=@0 PB", "$$$/basalt/utility/NumberString/pebibytes=@0 PiB"},
      {40, "$$$/basalt/utility/NumberString/terabytes=@0 TB", "$$$/basalt/utility/NumberString/tebibytes=@0 TiB"},
      {30, "$$$/basalt/utility/NumberString/gigabytes=@0 GB", "$$$/basalt/utility/NumberString/gibibytes=@0 GiB"},
      {20, "$$$/basalt/utility/NumberString/megabytes=@0 MB", "$$$/basalt/utility/NumberString/mebibytes=@0 MiB"},
      {10, "$$$/basalt/utility/NumberString/kilobytes=@0 KB", "$$$/basalt/utility/NumberString/kibibytes=@0 KiB"},
  };
  for (const Unit& unit : kUnits) {
    const std::uint64_t divisor = std::uint64_t(1) << unit.mShift;
    if (inByteCount < divisor) continue;
    const UTF16String number = NumberToString(static_cast<double>(inByteCount) / static_cast<double>(divisor), 1,
                                              inDecimals, 0, 31);
    return ZString(inBinaryUnits ? unit.mBinaryKey : unit.mDecimalKey, number);
  }
  char buffer[24];
  const std::string count(buffer, std::to_chars(buffer, buffer + sizeof buffer, inByteCount).ptr);
  return ZString("$$$/basalt/utility/NumberString/bytes=@0 B", Widen(count));
}

double StringToNumber(const UTF16String& inText, Flags<unsigned short> inOptions) {
  UTF16String copy(inText);
  if (!inOptions.IsSet(kParseKeepASCIISeparators)) DeInternationalizeNum(copy);
  copy.erase(std::remove(copy.begin(), copy.end(), u','), copy.end());
  return ReadFloating<double>(UTF16toStdString(copy));
}

void StringToNumber(int& outValue, const UTF16String& inText, Flags<unsigned short> inOptions) {
  ReadTyped(outValue, inText, inOptions);
}
void StringToNumber(unsigned int& outValue, const UTF16String& inText, Flags<unsigned short> inOptions) {
  ReadTyped(outValue, inText, inOptions);
}
void StringToNumber(long& outValue, const UTF16String& inText, Flags<unsigned short> inOptions) {
  ReadTyped(outValue, inText, inOptions);
}
void StringToNumber(unsigned long& outValue, const UTF16String& inText, Flags<unsigned short> inOptions) {
  ReadTyped(outValue, inText, inOptions);
}
void StringToNumber(long long& outValue, const UTF16String& inText, Flags<unsigned short> inOptions) {
  ReadTyped(outValue, inText, inOptions);
}
void StringToNumber(unsigned long long& outValue, const UTF16String& inText, Flags<unsigned short> inOptions) {
  ReadTyped(outValue, inText, inOptions);
}
void StringToNumber(float& outValue, const UTF16String& inText, Flags<unsigned short> inOptions) {
  ReadTyped(outValue, inText, inOptions);
}
void StringToNumber(double& outValue, const UTF16String& inText, Flags<unsigned short> inOptions) {
  ReadTyped(outValue, inText, inOptions);
}

void InternationalizeNum(UTF16String& ioText) {
  const internal::NumberSeparators user = internal::UserNumberSeparators();
  const std::size_t size = ioText.size();
  for (std::size_t i = 0; i + 1 < size; ++i) {
    const UTF16Char next = ioText[i + 1];
    if (next < u'0' || next > u'9') continue;
    if (ioText[i] == u'.') {
      ioText[i] = user.mDecimal;
    } else if (ioText[i] == u',' && user.mGrouping != 0) {
      ioText[i] = user.mGrouping;
    }
  }
}

void DeInternationalizeNum(UTF16String& ioText) {
  const internal::NumberSeparators user = internal::UserNumberSeparators();
  for (UTF16Char& c : ioText) {
    if (c == 0x2212) {
      c = u'-';
    } else if (c == 0x3000) {
      c = u' ';
    } else if (c == 0x3001) {
      c = u',';
    } else if (c == 0x3002) {
      c = u'.';
    } else if (c >= 0xFF01 && c <= 0xFF5E) {
      c = static_cast<UTF16Char>(c - 0xFEE0);
    } else if (c >= 0x0660 && c <= 0x0669) {
      c = static_cast<UTF16Char>(u'0' + (c - 0x0660));
    }
    if (c == user.mDecimal) {
      c = u'.';
    } else if (user.mGrouping != 0 && c == user.mGrouping) {
      c = u',';
    }
  }
}

bool IsNumericChar(UTF16Char inChar, bool inAcceptOtherDigits) noexcept {
  if (inChar >= u'0' && inChar <= u'9') return true;
  return inAcceptOtherDigits && ((inChar >= 0xFF10 && inChar <= 0xFF19) || (inChar >= 0x0660 && inChar <= 0x0669));
}

bool HasNumericChars(const UTF16String& inText, Flags<unsigned short> inOptions) noexcept {
  const bool others = !inOptions.IsSet(kParseKeepASCIISeparators);
  for (const UTF16Char c : inText) {
    if (IsNumericChar(c, others)) return true;
  }
  return false;
}

void HexStringToNumber(int& outValue, const UTF16String& inText) {
  const HexReading reading = ReadHex(inText);
  const std::uint32_t limit = reading.mNegative ? 0x80000000u : 0x7FFFFFFFu;
  const std::uint32_t magnitude = reading.mOverflow || reading.mMagnitude > limit ? limit : reading.mMagnitude;
  if (!reading.mNegative) {
    outValue = static_cast<int>(magnitude);
  } else {
    outValue = magnitude == 0 ? 0 : -static_cast<int>(magnitude - 1u) - 1;
  }
}

void HexStringToNumber(unsigned int& outValue, const UTF16String& inText) {
  const HexReading reading = ReadHex(inText);
  if (reading.mOverflow) {
    outValue = 0xFFFFFFFFu;
  } else {
    outValue = reading.mNegative ? 0u - reading.mMagnitude : reading.mMagnitude;
  }
}

void ValidateForHex(UTF16String& ioText) {
  UTF16String upper = UpperCase(ioText);
  upper.erase(std::remove_if(upper.begin(), upper.end(),
                             [](UTF16Char c) { return !((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F')); }),
              upper.end());
  ioText.swap(upper);
}

double Calculate(UTF16String inText, Flags<unsigned short> inOptions) {
  if (!inOptions.IsSet(kParseKeepASCIISeparators)) DeInternationalizeNum(inText);
  Calculator calculator(inOptions | kParseKeepASCIISeparators);
  const double value = calculator.Evaluate(inText.data(), inText.data() + inText.size(), 0);
  return calculator.TooDeep() ? 0.0 : value;
}

}  // namespace utility
}  // namespace basalt
