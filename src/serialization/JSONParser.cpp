#include <basalt/serialization/JSON.h>

#include "serialization/JSONInternal.h"

#include <basalt/utility/UnicodeString.h>

#include <boost/any.hpp>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace basalt {
namespace serialization {
namespace {

using internal::MakeValue;

[[noreturn]] void Fail(const char* inText) { throw std::runtime_error(inText); }

inline bool IsSpace(unsigned char inByte) noexcept {
  return inByte == ' ' || static_cast<unsigned char>(inByte - 9) <= 4;
}

inline bool IsDigit(unsigned char inByte) noexcept { return static_cast<unsigned char>(inByte - '0') < 10; }

// Byte classes, built at compile time.
struct ByteTables {
  bool mStringStop[256] = {};   // ends a run of plain string bytes: " \ NUL
  bool mEscapeLetter[256] = {}; // may follow a backslash
  bool mNumber[256] = {};       // belongs to a number run
  signed char mHex[256] = {};   // value of a hexadecimal digit, else -1

  constexpr ByteTables() {
    for (const unsigned char c : {'\0', '"', '\\'}) mStringStop[c] = true;
    for (const unsigned char c : {'"', '\\', '/', 'b', 'f', 'n', 'r', 't', 'u'}) mEscapeLetter[c] = true;
    for (int c = 0; c < 256; ++c) mHex[c] = -1;
    for (int c = '0'; c <= '9'; ++c) {
      mNumber[c] = true;
      mHex[c] = static_cast<signed char>(c - '0');
    }
    for (int c = 0; c < 6; ++c) {
      mHex['a' + c] = mHex['A' + c] = static_cast<signed char>(10 + c);
    }
    for (const unsigned char c : {'.', 'e', 'E', '+', '-'}) mNumber[c] = true;
  }
};
constexpr ByteTables kTables;

constexpr std::uint64_t kMaxDividedBy10 = std::numeric_limits<std::uint64_t>::max() / 10;
constexpr unsigned kMaxLastDigit = static_cast<unsigned>(std::numeric_limits<std::uint64_t>::max() % 10);
constexpr std::uint64_t kInt64MinMagnitude = std::uint64_t(1) << 63;

// ioValue * 10 + inDigit, unless that passes 2^64 - 1.
inline bool AddDigit(std::uint64_t& ioValue, unsigned inDigit) noexcept {
  if (ioValue < kMaxDividedBy10 || (ioValue == kMaxDividedBy10 && inDigit <= kMaxLastDigit)) {
    ioValue = ioValue * 10 + inDigit;
    return true;
  }
  return false;
}

// The negation of a magnitude; the caller has checked it fits.
inline std::int64_t Negated(std::uint64_t inMagnitude) noexcept {
  return inMagnitude == kInt64MinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                           : -static_cast<std::int64_t>(inMagnitude);
}

// An integer result, or the double of the magnitude when a negative one does
// not fit std::int64_t (negating it there would wrap).
JSONValuePtr MakeInteger(bool inNegative, std::uint64_t inMagnitude) {
  if (!inNegative) return MakeValue(inMagnitude);
  if (inMagnitude <= kInt64MinMagnitude) return MakeValue(Negated(inMagnitude));
  return MakeValue(-static_cast<double>(inMagnitude));
}

// Whether a well-formed decimal [-]digits[.digits][e[+-]digits] has its first
// significant digit at or above the units place once the exponent is applied;
// tells an overflow from an underflow when the conversion is out of range.
bool MagnitudeAtLeastOne(const char* inBegin, const char* inEnd) noexcept {
  const char* p = inBegin + (*inBegin == '-');
  long long position = 0;  // decimal exponent of the first significant digit, plus one
  bool found = false;
  for (; p < inEnd && IsDigit(static_cast<unsigned char>(*p)); ++p) {
    if (found || *p != '0') {
      found = true;
      ++position;
    }
  }
  if (p < inEnd && *p == '.') {
    for (++p; p < inEnd && IsDigit(static_cast<unsigned char>(*p)); ++p) {
      if (found) continue;
      if (*p != '0') found = true;
      else --position;
    }
  }
  if (!found) return false;
  long long exponent = 0;
  if (p < inEnd && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative = p < inEnd && *p == '-';
    if (p < inEnd && (*p == '-' || *p == '+')) ++p;
    for (; p < inEnd && IsDigit(static_cast<unsigned char>(*p)); ++p)
      if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;
  }
  return position + exponent > 0;
}

// The double nearest to the decimal text [inBegin, inEnd), which from_chars
// reads in full; independent of the C locale.
double DecimalToDouble(const char* inBegin, const char* inEnd) {
  double value = 0;
  const std::from_chars_result result = std::from_chars(inBegin, inEnd, value);
  if (result.ec == std::errc::result_out_of_range) {
    if (MagnitudeAtLeastOne(inBegin, inEnd)) Fail("ParseNumber: number out of range");
    return *inBegin == '-' ? -0.0 : 0.0;
  }
  return value;
}

void AppendDecimal(std::string& ioText, std::uint64_t inValue) {
  char digits[24];
  const std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, inValue);
  ioText.append(digits, result.ptr);
}

std::size_t DecimalDigitCount(std::uint64_t inValue) noexcept {
  std::size_t count = 1;
  while (inValue >= 10) {
    inValue /= 10;
    ++count;
  }
  return count;
}

// Appends the UTF-8 form of one code point (or of a lone surrogate's value).
inline void AppendCodePoint(UTF8String& ioText, std::uint32_t inCode) {
  unsigned char bytes[4];
  std::size_t count;
  if (inCode < 0x80) {
    bytes[0] = static_cast<unsigned char>(inCode);
    count = 1;
  } else if (inCode < 0x800) {
    bytes[0] = static_cast<unsigned char>(0xC0 | (inCode >> 6));
    bytes[1] = static_cast<unsigned char>(0x80 | (inCode & 0x3F));
    count = 2;
  } else if (inCode < 0x10000) {
    bytes[0] = static_cast<unsigned char>(0xE0 | (inCode >> 12));
    bytes[1] = static_cast<unsigned char>(0x80 | ((inCode >> 6) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | (inCode & 0x3F));
    count = 3;
  } else {
    bytes[0] = static_cast<unsigned char>(0xF0 | (inCode >> 18));
    bytes[1] = static_cast<unsigned char>(0x80 | ((inCode >> 12) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | ((inCode >> 6) & 0x3F));
    bytes[3] = static_cast<unsigned char>(0x80 | (inCode & 0x3F));
    count = 4;
  }
  ioText.append(bytes, count);
}

inline bool IsLeadingSurrogate(std::uint32_t inUnit) noexcept { return inUnit >= 0xD800 && inUnit <= 0xDBFF; }
inline bool IsTrailingSurrogate(std::uint32_t inUnit) noexcept { return inUnit >= 0xDC00 && inUnit <= 0xDFFF; }

// Elements of the arrays being parsed, kept per thread between calls: a
// large block taken afresh at every call would make the system heap merge
// all its small free blocks each time (the tree's holders are small blocks).
std::vector<JSONValuePtr>& ElementStack() {
  thread_local std::vector<JSONValuePtr> tElements;
  return tElements;
}

// Stacks above this many elements are not kept for the next call.
constexpr std::size_t kKeptElements = 1 << 16;

class Parser {
public:
  explicit Parser(const unsigned char* inText) noexcept : mCursor(inText), mElements(ElementStack()) {}
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  // After an error the stack still holds the values parsed so far.
  ~Parser() {
    mElements.clear();
    if (mElements.capacity() > kKeptElements) std::vector<JSONValuePtr>().swap(mElements);
  }

  JSONValuePtr ParseValue() {
    SkipSpace();
    JSONValuePtr value;
    switch (*mCursor) {
      case 0:
        return value;
      case '"':
        value = MakeValue(ParseString());
        break;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        value = ParseNumber();
        break;
      case '[':
        value = ParseArray();
        break;
      case '{':
        value = ParseObject();
        break;
      case 'f':
      case 'n':
      case 't':
        value = ParseLiteral();
        break;
      default:
        Fail("ParseValue unexpected char");
    }
    SkipSpace();
    return value;
  }

private:
  void SkipSpace() noexcept {
    while (IsSpace(*mCursor)) ++mCursor;
  }

  void Enter() {
    static_assert(kJSONMaxDepth == 512, "the error text names the limit");
    if (++mDepth > kJSONMaxDepth) Fail("JSONParse: nesting deeper than 512 levels");
  }

  // Whether the text at the cursor begins with inWord. The comparison stops
  // at the first byte that differs, so it never passes the terminator.
  bool StartsWith(const char* inWord) const noexcept {
    for (std::size_t i = 0; inWord[i] != 0; ++i)
      if (mCursor[i] != static_cast<unsigned char>(inWord[i])) return false;
    return true;
  }

  JSONValuePtr ParseLiteral() {
    if (StartsWith("true")) {
      mCursor += 4;
      return MakeValue(true);
    }
    if (StartsWith("false")) {
      mCursor += 5;
      return MakeValue(false);
    }
    if (StartsWith("null")) {
      mCursor += 4;
      return MakeValue(boost::any());
    }
    Fail("ParsePrimitive unexpected char");
  }

  // At the opening quotation mark; ends after the closing one.
  UTF8String ParseString() {
    const unsigned char* const begin = ++mCursor;
    const unsigned char* p = begin;
    bool escaped = false;
    for (;;) {
      if (!kTables.mStringStop[*p]) {
        ++p;
        continue;
      }
      if (*p == '"') break;
      // A backslash before the NUL terminator fails here too, so p[1] is
      // always inside the text.
      if (*p == '\\' && kTables.mEscapeLetter[p[1]]) {
        p += 2;
        escaped = true;
        continue;
      }
      Fail("AdvanceString: unexpected char");
    }
    mCursor = p + 1;
    if (!escaped) return UTF8String(begin, p);
    return Unescape(begin, p);
  }

  // The string between the quotation marks, whose escapes have been checked.
  static UTF8String Unescape(const unsigned char* inBegin, const unsigned char* inEnd) {
    UTF8String text;
    text.reserve(static_cast<std::size_t>(inEnd - inBegin));
    const unsigned char* p = inBegin;
    while (p < inEnd) {
      const unsigned char* run = p;
      while (p < inEnd && *p != '\\') ++p;
      text.append(run, p);
      if (p == inEnd) break;
      switch (p[1]) {
        case '"':
        case '\\':
        case '/':
          text.push_back(p[1]);
          break;
        case 'b':
          text.push_back(8);
          break;
        case 'f':
          text.push_back(12);
          break;
        case 'n':
          text.push_back(10);
          break;
        case 'r':
          text.push_back(13);
          break;
        case 't':
          text.push_back(9);
          break;
        case 'u':
          p = AppendUnicodeRun(text, p, inEnd);
          continue;
        default:
          Fail("EscapeString: unexpected char");
      }
      p += 2;
    }
    return text;
  }

  // Converts the run of \u escapes at inEscape the way UTF16to8 converts
  // units: pairs join, lone surrogates keep their own 3-byte form, and a NUL
  // unit ends the conversion of the run. Returns the end of the run.
  static const unsigned char* AppendUnicodeRun(UTF8String& ioText, const unsigned char* inEscape,
                                               const unsigned char* inEnd) {
    const unsigned char* p = inEscape;
    std::uint32_t pendingLead = 0;
    bool ended = false;
    while (inEnd - p >= 2 && p[0] == '\\' && p[1] == 'u') {
      p += 2;
      std::uint32_t unit = 0;
      for (int digit = 0; digit < 4 && p < inEnd; ++digit, ++p) {
        const int value = kTables.mHex[*p];
        if (value < 0) Fail("EscapeString: unexpected char");
        unit = unit * 16 + static_cast<std::uint32_t>(value);
      }
      if (ended) continue;
      if (pendingLead != 0) {
        if (IsTrailingSurrogate(unit)) {
          AppendCodePoint(ioText, 0x10000 + ((pendingLead - 0xD800) << 10) + (unit - 0xDC00));
          pendingLead = 0;
          continue;
        }
        AppendCodePoint(ioText, pendingLead);
        pendingLead = 0;
      }
      if (unit == 0) {
        ended = true;
      } else if (IsLeadingSurrogate(unit)) {
        pendingLead = unit;
      } else {
        AppendCodePoint(ioText, unit);
      }
    }
    if (pendingLead != 0) AppendCodePoint(ioText, pendingLead);
    return p;
  }

  // JSON numbers are read here in one pass; anything else that the number
  // scanner accepts goes to ParseLenientNumber.
  JSONValuePtr ParseNumber() {
    const unsigned char* const start = mCursor;
    const unsigned char* p = start;
    const bool negative = *p == '-';
    p += negative;
    const unsigned char* const integerDigits = p;
    std::uint64_t integer = 0;
    bool overflowed = false;
    for (; IsDigit(*p); ++p) overflowed |= !AddDigit(integer, *p - '0');
    bool wellFormed = p != integerDigits;
    bool zeroTail = true;  // every fraction and exponent digit is 0
    if (wellFormed && *p == '.') {
      const unsigned char* const digits = ++p;
      for (; IsDigit(*p); ++p) zeroTail &= *p == '0';
      wellFormed = p != digits;
    }
    if (wellFormed && (*p == 'e' || *p == 'E')) {
      ++p;
      if (*p == '+' || *p == '-') ++p;
      const unsigned char* const digits = p;
      for (; IsDigit(*p); ++p) zeroTail &= *p == '0';
      wellFormed = p != digits;
    }
    if (!wellFormed || kTables.mNumber[*p]) return ParseLenientNumber();
    mCursor = p;
    if (zeroTail && !overflowed) return MakeInteger(negative, integer);
    return MakeValue(DecimalToDouble(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(p)));
  }

  // The number scanner's own rules for runs that are not JSON numbers: each
  // point starts a fraction, each e an exponent, each sign sets the
  // exponent's sign; digits of a part past 2^64 - 1 are dropped.
  JSONValuePtr ParseLenientNumber() {
    const unsigned char* p = mCursor;
    const bool negative = *p == '-';
    p += negative;
    std::uint64_t accumulator = 0, integer = 0, fraction = 0, exponent = 0, fractionDigits = 0;
    bool overflowed = false, inFraction = false, inExponent = false, exponentNegative = false;
    for (;; ++p) {
      const unsigned char c = *p;
      if (IsDigit(c)) {
        if (overflowed) continue;
        if (AddDigit(accumulator, c - '0')) {
          if (inFraction && !inExponent) ++fractionDigits;
        } else {
          overflowed = true;
        }
      } else if (c == '.') {
        integer = accumulator;
        inFraction = true;
        accumulator = 0;
        overflowed = false;
      } else if (c == 'e' || c == 'E') {
        (inFraction ? fraction : integer) = accumulator;
        inExponent = true;
        accumulator = 0;
        overflowed = false;
      } else if (c == '+' || c == '-') {
        exponentNegative = c == '-';
      } else {
        break;
      }
    }
    mCursor = p;
    if (inExponent) exponent = accumulator;
    else (inFraction ? fraction : integer) = accumulator;
    if (exponent == 0 && fraction == 0) return MakeInteger(negative, integer);

    // integer + fraction * 10^-fractionDigits, signed, times 10^exponent.
    if (fraction == 0 || DecimalDigitCount(fraction) <= fractionDigits) {
      // As decimal text, so that the result is correctly rounded.
      std::string text;
      if (negative) text.push_back('-');
      AppendDecimal(text, integer);
      if (fraction != 0) {
        text.push_back('.');
        text.append(static_cast<std::size_t>(fractionDigits - DecimalDigitCount(fraction)), '0');
        AppendDecimal(text, fraction);
      }
      text.push_back('e');
      if (exponentNegative) text.push_back('-');
      AppendDecimal(text, exponent);
      return MakeValue(DecimalToDouble(text.data(), text.data() + text.size()));
    }
    // A fraction with more digits than counted (an exponent came between its
    // digits): rounding no longer matters for such text.
    double value = static_cast<double>(fraction) * std::pow(10.0, -static_cast<double>(fractionDigits)) +
                   static_cast<double>(integer);
    if (negative) value = -value;
    if (exponent != 0 && value != 0) {
      const double power = static_cast<double>(exponent);
      value *= std::pow(10.0, exponentNegative ? -power : power);
    }
    if (!std::isfinite(value)) Fail("ParseNumber: number out of range");
    return MakeValue(value);
  }

  // The elements gather on a stack shared by all nesting levels, so that
  // each array is allocated once at its final size.
  JSONValuePtr ParseArray() {
    Enter();
    ++mCursor;
    SkipSpace();
    const std::size_t base = mElements.size();
    if (*mCursor == ']') {
      ++mCursor;
    } else {
      for (;;) {
        mElements.push_back(ParseValue());
        if (*mCursor == ',') {
          ++mCursor;
        } else if (*mCursor == ']') {
          ++mCursor;
          break;
        } else {
          Fail("ParseArray unexpected char");
        }
      }
    }
    const auto first = mElements.begin() + static_cast<std::ptrdiff_t>(base);
    JSONValuePtr result = MakeValue(JSONArray(std::make_move_iterator(first), std::make_move_iterator(mElements.end())));
    mElements.erase(first, mElements.end());
    --mDepth;
    return result;
  }

  JSONValuePtr ParseObject() {
    Enter();
    ++mCursor;
    SkipSpace();
    JSONValuePtr result = MakeValue(JSONObject());
    JSONObject& object = *boost::unsafe_any_cast<JSONObject>(result.get());
    if (*mCursor == '}') {
      ++mCursor;
    } else {
      for (;;) {
        if (*mCursor != '"') Fail("ParseObject unexpected char");
        UTF8String name = ParseString();
        SkipSpace();
        if (*mCursor != ':') Fail("ParseObject unexpected char");
        ++mCursor;
        // Names often arrive in order; the hint makes that case cheap and
        // costs one comparison otherwise.
        object.insert_or_assign(object.end(), std::move(name), ParseValue());
        if (*mCursor == ',') {
          ++mCursor;
          SkipSpace();
        } else if (*mCursor == '}') {
          ++mCursor;
          break;
        } else {
          Fail("ParseObject unexpected char");
        }
      }
    }
    --mDepth;
    return result;
  }

  const unsigned char* mCursor;
  int mDepth = 0;
  std::vector<JSONValuePtr>& mElements;
};

}  // namespace

JSONValuePtr JSONParse(const unsigned char* inText) {
  if (inText == nullptr) return JSONValuePtr();
  return Parser(inText).ParseValue();
}

JSONValuePtr JSONParse(const UTF8String& inText) { return JSONParse(inText.c_str()); }

JSONValuePtr JSONParse(const UTF16String& inText) { return JSONParse(utility::UTF16to8(inText)); }

JSONValuePtr JSONParse(const unsigned char* inData, std::uint64_t inLength) {
  if (inData == nullptr || inLength == 0) return JSONValuePtr();
  return JSONParse(UTF8String(inData, static_cast<std::size_t>(inLength)));
}

}  // namespace serialization
}  // namespace basalt
