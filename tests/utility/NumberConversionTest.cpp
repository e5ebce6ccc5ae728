// Numbers as text and back: formatting options, memory sizes, parsing in its
// plain and typed forms, separator swapping, hexadecimal text and the
// expression calculator.
//
// Most tests pin the user's separators so that they hold on any machine; the
// NumberLocale tests read the real ones, and the suite runs a second time
// under a decimal-comma locale (see tests/CMakeLists.txt).
#include <basalt/config/Localizer.h>
#include <basalt/utility/NumberConversion.h>

#include "utility/NumberLocaleInternal.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace basalt {
namespace utility {
namespace {

using internal::NumberSeparators;
using internal::ScUserNumberSeparatorsForTesting;

typedef Flags<unsigned short> Options;

std::string Narrow(const UTF16String& inText) { return UTF16toStdString(inText); }
UTF16String U(const char* inUTF8) {
  return UTF8to16(UTF8String(reinterpret_cast<const unsigned char*>(inUTF8),
                             reinterpret_cast<const unsigned char*>(inUTF8) + std::strlen(inUTF8)));
}

const NumberSeparators kEnglish = {u'.', u','};
const NumberSeparators kGerman = {u',', u'.'};
const NumberSeparators kNoGrouping = {u'.', 0};

// Installed for its scope (then whatever was installed before is put back):
// answers every key with its default text, or with the text set for it, and
// remembers the last key asked for.
class ScLocalizer : public config::Localizer {
public:
  explicit ScLocalizer(std::vector<std::pair<std::string, std::string>> inTranslations = {})
      : mTranslations(std::move(inTranslations)), mPrevious(Initialized() ? Get() : nullptr) {
    Set(this);
  }
  ~ScLocalizer() override { Set(mPrevious); }
  UTF16String Localize(const char* inKey) override {
    std::lock_guard<std::mutex> hold(mLock);
    mLastKey = inKey;
    const std::string name = mLastKey.substr(0, mLastKey.find('='));
    for (const auto& translation : mTranslations)
      if (translation.first == name) return U(translation.second.c_str());
    return DefaultText(inKey);
  }
  void LoadDictionary(const UTF16String&) override {}
  std::string LastKey() {
    std::lock_guard<std::mutex> hold(mLock);
    return mLastKey;
  }

private:
  const std::vector<std::pair<std::string, std::string>> mTranslations;
  config::Localizer* const mPrevious;
  std::mutex mLock;
  std::string mLastKey;
};

TEST(NumberConversion, OptionFlags) {
  Options options = kNumberGroupThousands | kNumberShowPlus;
  EXPECT_EQ(options.Get(), 0x18);
  EXPECT_TRUE(options.IsSet(kNumberShowPlus));
  EXPECT_TRUE(options.IsSet(0x18));
  EXPECT_FALSE(options.IsSet(0x30));  // every bit of the mask
  EXPECT_TRUE(options.IsAnySet(0x30));
  EXPECT_TRUE(options.IsSet(0));
  options.Set(kNumberTrimZeros).Clear(kNumberShowPlus);
  EXPECT_EQ(options, Options(0x0C));
  options.Set(0x8000);  // bits no option names are kept
  EXPECT_EQ((options & 0x8004).Get(), 0x8004);
  EXPECT_TRUE(Options().IsEmpty());
  EXPECT_NE(Options(1), Options(2));
}

// ---------------------------------------------------------------------------
// NumberToString
// ---------------------------------------------------------------------------

struct FormatCase {
  double mValue;
  std::uint64_t mMinDigits;
  std::uint64_t mDecimals;
  unsigned short mOptions;
  int mMaxLength;
  const char* mExpected;
};

void CheckFormats(const std::vector<FormatCase>& inCases) {
  for (const FormatCase& c : inCases) {
    SCOPED_TRACE(testing::Message() << c.mValue << " min " << c.mMinDigits << " dec " << c.mDecimals << " opt 0x"
                                    << std::hex << c.mOptions << std::dec << " max " << c.mMaxLength);
    EXPECT_EQ(Narrow(NumberToString(c.mValue, c.mMinDigits, c.mDecimals, c.mOptions, c.mMaxLength)), c.mExpected);
  }
}

TEST(NumberConversion, NumberToStringSignsGroupsPaddingAndExponentForm) {
  ScUserNumberSeparatorsForTesting english(kEnglish);
  CheckFormats({
      {2147483647, 1, 0, 0, 20, "2147483647"}, {-2147483647, 1, 0, 0, 20, "-2147483647"},
      {0, 1, 0, 0, 20, "0"}, {2147483647, 1, 0, 0x10, 20, "+2147483647"},
      {0, 1, 0, 0x10, 20, "+0"}, {-2147483647, 1, 0, 0x18, 20, "-2,147,483,647"},
      {0, 1, 0, 0x58, 20, "0"}, {2147483647, 1, 2, 0x58, 20, "+2,147,483,647.00"},
      {0, 1, 2, 0x58, 20, "0.00"}, {12.345, 1, 2, 0x58, 20, "+12.35"},
      {-12345.678, 1, 2, 0x58, 20, "-12,345.68"}, {-1234.5678, 1, 8, 0x58, 20, "-1,234.56780000"},
      {-0.004, 1, 2, 0, 20, "0.00"},
      // Rounding is half up on the magnitude, so symmetric about zero.
      {2.5, 1, 0, 0, 20, "3"}, {-2.5, 1, 0, 0, 20, "-3"}, {0.125, 1, 2, 0, 20, "0.13"},
      {-0.005, 1, 2, 0, 20, "-0.01"}, {0.0049, 1, 2, 0x50, 20, "0.00"}, {0.0049, 1, 2, 0x10, 20, "+0.00"},
      // Without decimals a value that rounds to zero is zero as well: no "-".
      {-0.3, 1, 0, 0, 20, "0"}, {-0.3, 1, 0, 0x50, 20, "0"}, {0.3, 1, 0, 0x10, 20, "+0"},
      {-0.0, 1, 2, 0x10, 20, "+0.00"},
      // Space for plus, only without "+"; negatives keep "-".
      {5, 1, 0, 0x20, 20, " 5"}, {-5, 1, 0, 0x20, 20, "-5"}, {5, 1, 0, 0x30, 20, "+5"}, {0, 1, 0, 0x60, 20, " 0"},
      // Groups: the first holds n mod 3 digits, or 3.
      {999, 1, 0, 0x8, 20, "999"}, {1000, 1, 0, 0x8, 20, "1,000"}, {12345, 1, 0, 0x8, 20, "12,345"},
      {123456, 1, 0, 0x8, 20, "123,456"}, {1234567.5, 1, 1, 0x8, 20, "1,234,567.5"},
      // Padding to the minimum digits.
      {7, 3, 0, 0, 20, "007"}, {7, 3, 0, 0x2, 20, "  7"}, {-7.25, 3, 2, 0, 20, "-007.25"}, {1234, 3, 0, 0, 20, "1234"},
      // Padding comes before grouping, so padded zeros are grouped too.
      {12, 5, 0, 0x8, 20, "00,012"},
      // Trimming drops fraction zeros and a bare point, never integer zeros.
      {1.5, 1, 3, 0x4, 20, "1.5"}, {2, 1, 3, 0x4, 20, "2"}, {100, 1, 0, 0x4, 20, "100"},
      {100.25, 1, 2, 0x4, 20, "100.25"}, {-0.0001, 1, 2, 0x4, 20, "0"},
      // No decimals and above 2147483647: exponent form, never grouped or padded.
      {2147483648.0, 1, 0, 0, 20, "2.147484e+09"}, {2147483648.0, 15, 0, 0x8, 40, "2.147484e+09"},
      {-1e15, 1, 0, 0x4, 20, "-1.000000e+15"},
      // Too long for the maximum length: exponent form, then without decimals.
      {123456.789, 1, 2, 0, 10, "123456.79"}, {123456.789, 1, 2, 0, 9, "1e+05"},
      {123456.789, 1, 7, 0, 13, "1.234568e+05"}, {123456.789, 1, 7, 0, 12, "1e+05"},
      {123456.789, 1, 2, 0, 0, "1e+05"}, {-123456.789, 1, 7, 0x4, 13, "-1.234568e+05"},
      {1234567, 1, 0, 0x8, 9, "1e+06"}, {1234567, 1, 0, 0x8, 10, "1,234,567"}, {5, 30, 0, 0, 20, "5.000000e+00"},
      // Counts that could not fit are never built.
      {5, std::numeric_limits<std::uint64_t>::max(), 0, 0, 20, "5.000000e+00"},
      {5, 1, std::numeric_limits<std::uint64_t>::max(), 0, 20, "5.000000e+00"},
      {5, 1, 1u << 30, 0, 20, "5.000000e+00"}, {5, 1, 2, 0, INT_MIN, "5e+00"},
      // More decimals than a double holds: printed exactly, no overflow.
      {0.1, 1, 30, 0, 40, "0.100000000000000005551115123126"},
      {1e22, 1, 300, 0x4, 400, "10000000000000000000000"}, {0, 1, 400, 0x4, 500, "0"},
      {0, 1, 400, 0x50, 500, std::string("0.").append(400, '0').c_str()},
      // Infinities are neither padded nor grouped.
      {HUGE_VAL, 5, 2, 0x18, 20, "+inf"}, {-HUGE_VAL, 5, 0, 0, 20, "-inf"},
  });
}

TEST(NumberConversion, OutputIsLocalizedUnlessKeepingASCII) {
  ScLocalizer localizer({{"$$$/bslui/controls/UI_NumberEdit/NANDisplayString", "keine Zahl"},
                         {"$$$/basalt/utility/NumberString/kibibytes", "@0 Kio"}});
  {
    ScUserNumberSeparatorsForTesting german(kGerman);
    CheckFormats({
        {-1234567.891, 1, 2, 0x8, 32, "-1.234.567,89"}, {-1234567.891, 1, 2, 0x9, 32, "-1,234,567.89"},
        {0.5, 1, 1, 0, 32, "0,5"}, {123456.789, 1, 7, 0, 13, "1,234568e+05"}, {12, 1, 0, 0x8, 32, "12"},
    });
    EXPECT_EQ(Narrow(NumberToString(std::nan(""), 1, 2, 0x1F, 32)), "keine Zahl");
    EXPECT_EQ(localizer.LastKey(), "$$$/bslui/controls/UI_NumberEdit/NANDisplayString=nan");
    EXPECT_EQ(Narrow(NumberToMemoryString(2048, 2, true)), "2,00 Kio");
    EXPECT_EQ(Narrow(NumberToMemoryString(1234)), "1,21 KB");
    EXPECT_EQ(Narrow(NumberToMemoryString(1000)), "1000 B");
  }
  {
    ScUserNumberSeparatorsForTesting noGrouping(kNoGrouping);
    CheckFormats({{1234567.891, 1, 2, 0x8, 32, "1,234,567.89"}});
  }
}

TEST(NumberConversion, KeyedOutputNeedsALocalizer) {
  if (config::Localizer::Initialized()) GTEST_SKIP() << "a localizer is installed in this process";
  EXPECT_THROW(NumberToString(std::nan(""), 1, 0, 0, 20), std::logic_error);
  EXPECT_THROW(NumberToMemoryString(2), std::logic_error);
  EXPECT_NO_THROW(NumberToString(1, 1, 0, 0, 20));
}

// Whatever the options and separators, the text reads back as the rounded
// value.
TEST(NumberConversion, FormattedNumbersReadBack) {
  std::mt19937_64 engine(99);
  std::uniform_real_distribution<double> exponent(-6, 12);
  for (const NumberSeparators separators : {kEnglish, kGerman, kNoGrouping}) {
    ScUserNumberSeparatorsForTesting pinned(separators);
    for (int i = 0; i < 3000; ++i) {
      const double value = (engine() % 2 ? -1 : 1) * std::pow(10.0, exponent(engine));
      const std::uint64_t decimals = engine() % 7;
      const unsigned short options = static_cast<unsigned short>(engine() % 0x80) & ~0x2;
      const UTF16String text = NumberToString(value, 1 + engine() % 4, decimals, options, 64);
      SCOPED_TRACE(testing::Message() << value << " -> " << Narrow(text));
      const double scale = std::pow(10.0, static_cast<double>(decimals));
      const double expected = std::copysign(std::floor(std::fabs(value) * scale + 0.5) / scale, value);
      const Options parse = (options & kNumberKeepASCIISeparators) ? kParseKeepASCIISeparators : 0;
      const double back = StringToNumber(text, parse);
      if (decimals == 0 && std::fabs(value) > 2147483647.0) {
        EXPECT_NEAR(back, value, std::fabs(value) * 1e-6);
      } else {
        EXPECT_NEAR(back, expected, std::fabs(expected) * 1e-15);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// NumberToMemoryString
// ---------------------------------------------------------------------------

TEST(NumberConversion, MemoryStringsPickTheLargestUnit) {
  ScLocalizer localizer;
  ScUserNumberSeparatorsForTesting english(kEnglish);
  struct Case {
    std::uint64_t mBytes;
    std::uint64_t mDecimals;
    bool mBinary;
    const char* mExpected;
    const char* mKey;
  };
  const Case cases[] = {
      {2, 2, false, "2 B", "bytes"}, {2048, 2, false, "2.00 KB", "kilobytes"},
      {1ull << 21, 2, false, "2.00 MB", "megabytes"}, {1ull << 31, 2, false, "2.00 GB", "gigabytes"},
      {1ull << 41, 2, false, "2.00 TB", "terabytes"}, {1ull << 50, 2, false, "1.00 PB", "petabytes"},
      {2, 1, true, "2 B", "bytes"}, {2048, 3, true, "2.000 KiB", "kibibytes"},
      {1ull << 21, 1, true, "2.0 MiB", "mebibytes"}, {1ull << 31, 1, true, "2.0 GiB", "gibibytes"},
      {1ull << 41, 1, true, "2.0 TiB", "tebibytes"}, {1ull << 50, 1, true, "1.0 PiB", "pebibytes"},
      {0, 2, false, "0 B", "bytes"}, {1023, 2, false, "1023 B", "bytes"}, {1024, 0, false, "1 KB", "kilobytes"},
      {1536, 1, false, "1.5 KB", "kilobytes"}, {(1ull << 20) - 1, 2, true, "1024.00 KiB", "kibibytes"},
      {1ull << 60, 0, false, "1024 PB", "petabytes"},
      {std::numeric_limits<std::uint64_t>::max(), 2, true, "16384.00 PiB", "pebibytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mBytes);
    EXPECT_EQ(Narrow(NumberToMemoryString(c.mBytes, c.mDecimals, c.mBinary)), c.mExpected);
    const std::string key = localizer.LastKey();
    EXPECT_EQ(key.substr(0, key.find('=')), std::string("$$$/basalt/utility/NumberString/") + c.mKey);
  }
  EXPECT_EQ(Narrow(NumberToMemoryString(3u << 20)), "3.00 MB");  // the defaults
}

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

template <class T>
struct TypedCase {
  const char* mText;
  unsigned short mOptions;
  T mExpected;
};

TEST(NumberConversion, StringToNumberReadsWhatAStreamReads) {
  ScUserNumberSeparatorsForTesting english(kEnglish);
  const TypedCase<double> cases[] = {
      {"1,234.5", 0, 1234.5}, {"abc", 0, 0}, {"", 0, 0}, {"  -12.5e2xyz", 0, -1250}, {"+.5", 0, 0.5},
      {"7.", 0, 7}, {"1.2.3", 0, 1.2}, {"1e", 0, 0}, {"-", 0, 0}, {"inf", 0, 0}, {"1e400", 0, DBL_MAX},
      {"-1e400", 0, -DBL_MAX}, {"1e-400", 0, 0}, {",,1,,2,.5", 0, 12.5},
      // Typed forms: the minus sign, fullwidth and Arabic-Indic digits.
      {"\xE2\x88\x92" "3", 0, -3},
      {"\xEF\xBC\x94\xEF\xBC\x92", 0, 42},
      {"\xD9\xA4\xD9\xA2.\xD9\xA5", 0, 42.5},
      {"\xE3\x80\x80" "5\xE3\x80\x82" "5", 0, 5.5},
      // Kept as typed: only ASCII is read.
      {"\xEF\xBC\x94\xEF\xBC\x92", kParseKeepASCIISeparators, 0}, {"1,5", kParseKeepASCIISeparators, 15},
      // The comma option is for the typed overloads only.
      {"1,5", kParseKeepCommas, 15},
  };
  for (const TypedCase<double>& c : cases) {
    SCOPED_TRACE(c.mText);
    EXPECT_EQ(StringToNumber(U(c.mText), c.mOptions), c.mExpected);
  }
  ScUserNumberSeparatorsForTesting german(kGerman);
  EXPECT_EQ(StringToNumber(U("1.234,5"), 0), 1234.5);
  EXPECT_EQ(StringToNumber(U("1,234.5"), 0), 1.2345);
  EXPECT_EQ(StringToNumber(U("1,5"), kParseKeepASCIISeparators), 15);
}

template <class T>
void CheckTyped(const std::vector<TypedCase<T>>& inCases) {
  for (const TypedCase<T>& c : inCases) {
    SCOPED_TRACE(testing::Message() << '"' << c.mText << "\" options " << c.mOptions);
    T value = T(99);
    StringToNumber(value, U(c.mText), c.mOptions);
    EXPECT_EQ(value, c.mExpected);
  }
}

TEST(NumberConversion, TypedStringToNumberSaturatesAndPreparesText) {
  ScUserNumberSeparatorsForTesting english(kEnglish);
  CheckTyped<int>({
      {"42", 0, 42}, {" \t-17abc", 0, -17}, {"+8", 0, 8}, {"1,234", 0, 1234}, {"1,234", kParseKeepCommas, 1},
      {"3.99", 0, 3}, {"abc", 0, 0}, {"", 0, 0}, {"- 5", 0, 0}, {"2147483647", 0, INT_MAX},
      {"2147483648", 0, INT_MAX}, {"-2147483648", 0, INT_MIN}, {"-99999999999999999999", 0, INT_MIN},
      {"\xEF\xBC\x97", 0, 7}, {"\xEF\xBC\x97", kParseKeepASCIISeparators, 0}, {"\xEF\xBC\x97,1", kParseKeepCommas, 7},
      {"\xEF\xBC\x97,1", kParseKeepASCIISeparators | kParseKeepCommas, 0},
  });
  CheckTyped<unsigned int>({
      {"4294967295", 0, UINT_MAX}, {"4294967296", 0, UINT_MAX}, {"-1", 0, 0}, {"-0", 0, 0},
  });
  CheckTyped<long>({{"-9223372036854775808", 0, LONG_MIN}, {"9223372036854775808", 0, LONG_MAX}});
  CheckTyped<unsigned long>({{"18446744073709551615", 0, ULONG_MAX}, {"18446744073709551616", 0, ULONG_MAX}});
  CheckTyped<long long>({{"-9223372036854775809", 0, LLONG_MIN}, {"123456789012", 0, 123456789012LL}});
  CheckTyped<unsigned long long>({{"1,000,000,000,000", 0, 1000000000000ULL}, {"-7", 0, 0ULL}});
  CheckTyped<double>({{"1,234.5", 0, 1234.5}, {"1,234.5", kParseKeepCommas, 1}, {"x", 0, 0}});
  CheckTyped<float>({{"0.1", 0, 0.1f}, {"1e39", 0, FLT_MAX}, {"-1e39", 0, -FLT_MAX}});
}

TEST(NumberConversion, SeparatorsSwapBothWays) {
  struct Case {
    NumberSeparators mSeparators;
    const char* mASCII;
    const char* mUser;
  };
  const Case cases[] = {
      {kGerman, "1,234,567.89", "1.234.567,89"}, {kGerman, "-0.5", "-0,5"},
      {{u'.', 0xA0}, "1,000", "1\xC2\xA0" "000"},
      {{0x066B, 0x066C}, "3,000.25", "3\xD9\xAC" "000\xD9\xAB" "25"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mASCII);
    ScUserNumberSeparatorsForTesting pinned(c.mSeparators);
    UTF16String text = U(c.mASCII);
    InternationalizeNum(text);
    EXPECT_EQ(Narrow(text), c.mUser);
    DeInternationalizeNum(text);
    EXPECT_EQ(Narrow(text), c.mASCII);
  }
  ScUserNumberSeparatorsForTesting german(kGerman);
  // Only separators before a digit are swapped.
  UTF16String text = U("a. b, 1.x 2,y .5 ,7 end.");
  InternationalizeNum(text);
  EXPECT_EQ(Narrow(text), "a. b, 1.x 2,y ,5 .7 end.");
  // The typed forms are normalised, and then take part in the swap.
  text = U("1\xEF\xBC\x8E" "000\xE3\x80\x81" "5");
  DeInternationalizeNum(text);
  EXPECT_EQ(Narrow(text), "1,000.5");
  ScUserNumberSeparatorsForTesting noGrouping(kNoGrouping);
  text = U("1,234.5");
  InternationalizeNum(text);
  EXPECT_EQ(Narrow(text), "1,234.5");
}

TEST(NumberConversion, DeInternationalizeNormalisesTypedForms) {
  ScUserNumberSeparatorsForTesting english(kEnglish);
  const std::pair<const char*, const char*> cases[] = {
      {"\xE2\x88\x92" "1", "-1"},                                  // U+2212
      {"\xE3\x80\x80\xE3\x80\x81\xE3\x80\x82", " ,."},             // U+3000..U+3002
      {"\xEF\xBC\x81\xEF\xBC\x90\xEF\xBC\xA1\xEF\xBD\x9E", "!0A~"},  // U+FF01, FF10, FF21, FF5E
      {"\xEF\xBD\x9F\xEF\xBC\x80", "\xEF\xBD\x9F\xEF\xBC\x80"},      // U+FF5F, U+FF00 stay
      {"\xD9\xA0\xD9\xA9", "09"},                                  // U+0660, U+0669
      {"\xDB\xB0", "\xDB\xB0"},                                    // Extended Arabic-Indic stays
  };
  for (const auto& [before, after] : cases) {
    SCOPED_TRACE(after);
    UTF16String text = U(before);
    DeInternationalizeNum(text);
    EXPECT_EQ(Narrow(text), after);
  }
}

TEST(NumberConversion, DigitsOfEveryForm) {
  struct Case {
    UTF16Char mChar;
    bool mASCIIOnly;
    bool mAny;
  };
  const Case cases[] = {
      {u'0', true, true},    {u'9', true, true},    {u'/', false, false},  {u':', false, false},
      {0xFF10, false, true}, {0xFF19, false, true}, {0xFF0F, false, false}, {0xFF1A, false, false},
      {0x0660, false, true}, {0x0669, false, true}, {0x065F, false, false}, {0x066A, false, false},
      {0x06F0, false, false}, {0x0966, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mChar));
    EXPECT_EQ(IsNumericChar(c.mChar, false), c.mASCIIOnly);
    EXPECT_EQ(IsNumericChar(c.mChar, true), c.mAny);
    const UTF16String text = UTF16String(u"ab") + c.mChar + u"cd";
    EXPECT_EQ(HasNumericChars(text, kParseKeepASCIISeparators), c.mASCIIOnly);
    EXPECT_EQ(HasNumericChars(text, 0), c.mAny);
  }
  EXPECT_FALSE(HasNumericChars(UTF16String(), 0));
}

TEST(NumberConversion, HexTextReadsLikeStrtolWithA32BitLong) {
  struct Case {
    const char* mText;
    int mSigned;
    unsigned int mUnsigned;
  };
  const Case cases[] = {
      {"ff", 255, 255u}, {"0x1F", 31, 31u}, {"0X1f", 31, 31u}, {" \t\n+0x10", 16, 16u},
      {"-0x10", -16, 0xFFFFFFF0u}, {"-1", -1, 0xFFFFFFFFu}, {"12zz", 0x12, 0x12u}, {"0x", 0, 0u},
      {"0xg", 0, 0u}, {"x1", 0, 0u}, {"", 0, 0u}, {"- 1", 0, 0u}, {"00000000000000000000001", 1, 1u},
      {"7FFFFFFF", INT_MAX, 0x7FFFFFFFu}, {"80000000", INT_MAX, 0x80000000u}, {"-80000000", INT_MIN, 0x80000000u},
      {"-80000001", INT_MIN, 0x7FFFFFFFu}, {"FFFFFFFF", INT_MAX, 0xFFFFFFFFu}, {"100000000", INT_MAX, 0xFFFFFFFFu},
      {"-100000000", INT_MIN, 0xFFFFFFFFu},
      {"\xEF\xBC\x91", 0, 0u},  // fullwidth digits are not hexadecimal
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    int signedValue = 99;
    unsigned int unsignedValue = 99;
    HexStringToNumber(signedValue, U(c.mText));
    HexStringToNumber(unsignedValue, U(c.mText));
    EXPECT_EQ(signedValue, c.mSigned);
    EXPECT_EQ(unsignedValue, c.mUnsigned);
  }
}

TEST(NumberConversion, ValidateForHexKeepsUpperCaseHexDigits) {
  const std::pair<const char*, const char*> cases[] = {
      {"0x1f-zz", "01F"}, {"", ""}, {"deadBEEF", "DEADBEEF"},
      {"g h\xEF\xBD\x81", ""},    // fullwidth "a" upper-cases to fullwidth "A"
      {"\xEF\xAC\x80", "FF"},     // U+FB00, the ligature "ff", upper-cases to "FF"
  };
  for (const auto& [before, after] : cases) {
    SCOPED_TRACE(before);
    UTF16String text = U(before);
    ValidateForHex(text);
    EXPECT_EQ(Narrow(text), after);
  }
}

// ---------------------------------------------------------------------------
// Calculate
// ---------------------------------------------------------------------------

TEST(NumberConversion, CalculatePrecedenceAndGrouping) {
  ScUserNumberSeparatorsForTesting english(kEnglish);
  const std::pair<const char*, double> cases[] = {
      // "+", "-", "*", signs and parentheses alone are checked against an
      // independent evaluator below.
      {"1E-3", 0.001}, {"2+3E2", 500}, {"2^3^2", 64}, {"1e2e1", 1000}, {"8/2/2", 2}, {"8/2*2", 8},
      {"2*3/4*5", 7.5}, {"2^3*2", 16}, {"2*3^2", 18}, {"( 1 + 2 ) * 3", 9}, {" (1 + 2) * 3 ", 9},
      // Signs: first, or after another operator.
      {"--5", 5}, {"2-+-3", 5}, {"2^-1", 0.5}, {"-2^2", -4}, {"2E+3", 2000},
      // Misplaced operators are dropped; missing operands are 0.
      {"2**3", 6}, {"*5", 5}, {"2*^3", 6}, {"5*", 0}, {"5+", 5}, {"5/0", 5}, {"5/", 5}, {"()", 0}, {"", 0},
      {"abc", 0}, {"3abc+1", 4},
      // Commas group digits.
      {"1,000+1", 1001},
      // Broken parentheses never fault; what they mean is read as a number.
      {"(1", 0}, {"1)", 1}, {")(", 0}, {"((1)", 0}, {"1)+(2", 1},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_DOUBLE_EQ(Calculate(U(text), 0), expected);
  }
  ScUserNumberSeparatorsForTesting german(kGerman);
  EXPECT_DOUBLE_EQ(Calculate(U("1,5*2"), 0), 3);
  EXPECT_DOUBLE_EQ(Calculate(U("1.000+0,5"), 0), 1000.5);
  EXPECT_DOUBLE_EQ(Calculate(U("1.5*2"), kParseKeepASCIISeparators), 3);
  EXPECT_DOUBLE_EQ(Calculate(U("\xEF\xBC\x93\xE2\x88\x92\xEF\xBC\x91"), 0), 2);  // fullwidth 3, minus, 1
}

TEST(NumberConversion, CalculateRefusesExcessiveNestingButNotLength) {
  ScUserNumberSeparatorsForTesting english(kEnglish);
  const auto nested = [](std::size_t inDepth, const char* inCore) {
    return std::string(inDepth, '(') + inCore + std::string(inDepth, ')');
  };
  EXPECT_DOUBLE_EQ(Calculate(U(nested(200, "7").c_str()), 0), 7);
  EXPECT_DOUBLE_EQ(Calculate(U(nested(300, "7").c_str()), 0), 0);
  // Nesting by operands: 1-(1-(1-...)) is 0 or 1 by parity when evaluated.
  std::string chain = "1";
  for (int i = 0; i < 20; ++i) chain = "1-(" + chain + ")";
  EXPECT_DOUBLE_EQ(Calculate(U(chain.c_str()), 0), 1);
  for (int i = 0; i < 400; ++i) chain = "1-(" + chain + ")";
  EXPECT_DOUBLE_EQ(Calculate(U(chain.c_str()), 0), 0);
  // A flat expression is not nested however long it is.
  std::string sum = "1";
  for (int i = 1; i < 100000; ++i) sum += i % 2 ? "+2" : "*1";
  EXPECT_DOUBLE_EQ(Calculate(U(sum.c_str()), 0), 100001);
  // Deep unbalanced text is refused or read, never a crash.
  EXPECT_DOUBLE_EQ(Calculate(U(std::string(100000, '(').c_str()), 0), 0);
  EXPECT_DOUBLE_EQ(Calculate(U(std::string(100000, ')').c_str()), 0), 0);
  EXPECT_DOUBLE_EQ(Calculate(U(std::string(100000, '-').c_str()), 0), 0);
}

// An independent evaluator of integer expressions with +, -, *, unary signs
// and parentheses, in the usual precedence; on these, the calculator agrees.
class ReferenceEvaluator {
public:
  explicit ReferenceEvaluator(const std::string& inText) : mText(inText), mAt(0) {}
  double Evaluate() { return Sum(); }

private:
  double Sum() {
    double value = Product();
    while (mAt < mText.size() && (mText[mAt] == '+' || mText[mAt] == '-')) {
      const char op = mText[mAt++];
      const double right = Product();
      value = op == '+' ? value + right : value - right;
    }
    return value;
  }
  double Product() {
    double value = Unary();
    while (mAt < mText.size() && mText[mAt] == '*') {
      ++mAt;
      value *= Unary();
    }
    return value;
  }
  double Unary() {
    const char first = mText[mAt];
    if (first == '-' || first == '+' || first == '(') ++mAt;
    if (first == '-') return -Unary();
    if (first == '+') return Unary();
    if (first == '(') {
      const double value = Sum();
      ++mAt;  // ")"
      return value;
    }
    double value = 0;
    while (mAt < mText.size() && mText[mAt] >= '0' && mText[mAt] <= '9') value = value * 10 + (mText[mAt++] - '0');
    return value;
  }

  const std::string& mText;
  std::size_t mAt;
};

std::string RandomExpression(std::mt19937& ioEngine, int inDepth) {
  std::string text;
  const int terms = 1 + static_cast<int>(ioEngine() % 3);
  for (int t = 0; t < terms; ++t) {
    if (t > 0) text += "+-*"[ioEngine() % 3];
    if (ioEngine() % 4 == 0) text += ioEngine() % 2 ? "-" : "+";
    if (inDepth > 0 && ioEngine() % 3 == 0) {
      text += "(" + RandomExpression(ioEngine, inDepth - 1) + ")";
    } else {
      text += std::to_string(ioEngine() % 100);
    }
  }
  return text;
}

TEST(NumberConversion, CalculateAgreesWithAnIndependentEvaluator) {
  ScUserNumberSeparatorsForTesting english(kEnglish);
  std::mt19937 engine(2024);
  for (int i = 0; i < 5000; ++i) {
    const std::string text = RandomExpression(engine, 3);
    SCOPED_TRACE(text);
    const double expected = ReferenceEvaluator(text).Evaluate();
    EXPECT_DOUBLE_EQ(Calculate(U(text.c_str()), 0), expected);
    // Balanced text means the same inside one more pair of parentheses.
    EXPECT_DOUBLE_EQ(Calculate(U(("(" + text + ")").c_str()), 0), expected);
  }
}

// ---------------------------------------------------------------------------
// The user's separators as the environment names them.
// ---------------------------------------------------------------------------

// libstdc++ reads the same locale data its own way, and also stands in ","
// where a locale names no grouping separator.
TEST(NumberLocale, UserSeparatorsMatchTheEnvironmentsLocale) {
  wchar_t decimal = L'.';
  wchar_t grouping = L',';
  try {
    const std::locale user("");
    decimal = std::use_facet<std::numpunct<wchar_t>>(user).decimal_point();
    grouping = std::use_facet<std::numpunct<wchar_t>>(user).thousands_sep();
  } catch (const std::runtime_error&) {
    // The environment names no locale the system has: the fixed form stands.
  }
  const NumberSeparators read = internal::ReadUserNumberSeparators();
  EXPECT_EQ(static_cast<wchar_t>(read.mDecimal), decimal);
  EXPECT_EQ(static_cast<wchar_t>(read.mGrouping), grouping);
  const NumberSeparators used = internal::UserNumberSeparators();
  EXPECT_EQ(used.mDecimal, read.mDecimal);
  EXPECT_EQ(used.mGrouping, read.mGrouping);
}

bool EnvironmentNamesGerman() {
  const char* all = std::getenv("LC_ALL");
  return all != nullptr && std::strncmp(all, "de_DE", 5) == 0;
}

TEST(NumberLocale, GermanUserLocaleSwapsSeparators) {
  if (!EnvironmentNamesGerman()) GTEST_SKIP() << "runs with LC_ALL=de_DE.UTF-8 (ctest entry utility_de_DE)";
  ScLocalizer localizer;
  const NumberSeparators used = internal::UserNumberSeparators();
  ASSERT_EQ(used.mDecimal, u',') << "is the de_DE.UTF-8 locale installed?";
  ASSERT_EQ(used.mGrouping, u'.');
  EXPECT_EQ(Narrow(NumberToString(-1234567.891, 1, 2, kNumberGroupThousands, 32)), "-1.234.567,89");
  EXPECT_EQ(Narrow(NumberToString(-1234567.891, 1, 2, kNumberGroupThousands | kNumberKeepASCIISeparators, 32)),
            "-1,234,567.89");
  EXPECT_EQ(Narrow(NumberToMemoryString(1536)), "1,50 KB");
  EXPECT_EQ(StringToNumber(U("1.234,5"), 0), 1234.5);
  EXPECT_EQ(StringToNumber(U("1,234.5"), kParseKeepASCIISeparators), 1234.5);
  int typed = 0;
  StringToNumber(typed, U("12.345"), 0);
  EXPECT_EQ(typed, 12345);
  EXPECT_DOUBLE_EQ(Calculate(U("1,5 * 2"), 0), 3);
}

}  // namespace
}  // namespace utility
}  // namespace basalt
