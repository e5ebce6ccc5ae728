// The facet members are declared before GroupingPunctuation derives from them.
#include "config/CodeUnitFacetsInternal.h"

#include <basalt/config/Locale.h>
#include <basalt/utility/UTFStreams.h>

#include "config/LocaleInternal.h"

#include <gtest/gtest.h>

#include "TestGate.h"
#include "TestGlobalLocale.h"

#include <condition_variable>
#include <cstdlib>
#include <iomanip>
#include <locale>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace basalt {
namespace {

// Whether a static initialiser of this program built Default() before any test
// ran; recorded when the tests start, in every process that runs them.
bool sDefaultBuiltBeforeTests = false;

class RecordDefaultLocaleState : public ::testing::Environment {
public:
  void SetUp() override { sDefaultBuiltBeforeTests = config::internal::DefaultLocaleCreated(); }
};

::testing::Environment* const kRecordDefaultLocaleState =
    ::testing::AddGlobalTestEnvironment(new RecordDefaultLocaleState);

template <class CharT>
std::basic_string<CharT> Widen(const char* inAscii) {
  std::basic_string<CharT> result;
  for (; *inAscii; ++inAscii) result.push_back(static_cast<CharT>(static_cast<unsigned char>(*inAscii)));
  return result;
}

template <class String>
std::string Show(const String& inText) {
  std::string result;
  for (const auto unit : inText) {
    const unsigned code = static_cast<unsigned>(unit);
    result += (code >= 0x20 && code < 0x7F) ? std::string(1, static_cast<char>(code)) : "\\x{" + std::to_string(code) + "}";
  }
  return result;
}

template <class CharT>
void ExpectClassicPunctuation(const std::locale& inLocale) {
  const std::numpunct<CharT>& punct = std::use_facet<std::numpunct<CharT>>(inLocale);
  EXPECT_EQ(punct.decimal_point(), CharT('.'));
  EXPECT_EQ(punct.thousands_sep(), CharT(','));
  EXPECT_EQ(punct.grouping(), "");
  EXPECT_TRUE(punct.truename() == Widen<CharT>("true"));
  EXPECT_TRUE(punct.falsename() == Widen<CharT>("false"));
}

// For every ASCII unit and every class the facet answers as ctype<char> does
// in the classic locale; every unit outside ASCII is in no class and has no
// case mapping.
template <class CharT>
void ExpectClassicClassification(unsigned inLastUnit) {
  const std::ctype<CharT>& wide = std::use_facet<std::ctype<CharT>>(Locale::Default());
  const std::ctype<char>& narrow = std::use_facet<std::ctype<char>>(std::locale::classic());
  const std::ctype_base::mask kMasks[] = {std::ctype_base::space,  std::ctype_base::print, std::ctype_base::cntrl,
                                          std::ctype_base::upper,  std::ctype_base::lower, std::ctype_base::alpha,
                                          std::ctype_base::digit,  std::ctype_base::punct, std::ctype_base::xdigit,
                                          std::ctype_base::blank,  std::ctype_base::alnum, std::ctype_base::graph};
  for (unsigned code = 0; code <= inLastUnit; ++code) {
    const CharT unit = static_cast<CharT>(code);
    std::ctype_base::mask classes = 0;
    wide.is(&unit, &unit + 1, &classes);
    for (const std::ctype_base::mask mask : kMasks) {
      const bool expected = code < 0x80 && narrow.is(mask, static_cast<char>(code));
      if (wide.is(mask, unit) != expected || ((classes & mask) != 0) != expected) {
        ADD_FAILURE() << "unit " << code << " mask " << mask;
        return;
      }
    }
    const CharT expectedUpper = code < 0x80 ? static_cast<CharT>(narrow.toupper(static_cast<char>(code))) : unit;
    const CharT expectedLower = code < 0x80 ? static_cast<CharT>(narrow.tolower(static_cast<char>(code))) : unit;
    if (wide.toupper(unit) != expectedUpper || wide.tolower(unit) != expectedLower) {
      ADD_FAILURE() << "case mapping of unit " << code;
      return;
    }
  }
  std::basic_string<CharT> text = Widen<CharT>("  Mixed Case 42 ");
  text.push_back(static_cast<CharT>(0xE9));
  wide.toupper(&text[0], &text[0] + text.size());
  EXPECT_EQ(Show(text), "  MIXED CASE 42 \\x{233}");
  wide.tolower(&text[0], &text[0] + text.size());
  EXPECT_EQ(Show(text), "  mixed case 42 \\x{233}");
  const CharT* const begin = text.data();
  const CharT* const end = begin + text.size();
  EXPECT_EQ(wide.scan_not(std::ctype_base::space, begin, end) - begin, 2);
  EXPECT_EQ(wide.scan_is(std::ctype_base::digit, begin, end) - begin, 13);
  EXPECT_EQ(wide.scan_is(std::ctype_base::digit, end - 1, end), end);
}

// The punctuation and number facets of the code-unit types are checked by the
// stream tests below.
TEST(Locale, DefaultIsOneLocaleWithClassicCodeUnitFacets) {
  const std::locale& first = Locale::Default();
  EXPECT_EQ(&first, &Locale::Default());
  EXPECT_EQ(&std::use_facet<std::ctype<char>>(first), &std::use_facet<std::ctype<char>>(std::locale::classic()));
  EXPECT_EQ(&std::use_facet<std::numpunct<char>>(first), &std::use_facet<std::numpunct<char>>(std::locale::classic()));
  {
    SCOPED_TRACE("UTF-16");
    ExpectClassicClassification<char16_t>(0xFFFF);
  }
  {
    SCOPED_TRACE("UTF-8");
    ExpectClassicClassification<unsigned char>(0xFF);
  }

  const std::ctype<char16_t>& utf16 = std::use_facet<std::ctype<char16_t>>(first);
  const std::ctype<unsigned char>& utf8 = std::use_facet<std::ctype<unsigned char>>(first);
  for (unsigned code = 0; code < 0x100; ++code) {
    SCOPED_TRACE(code);
    const char c = static_cast<char>(code);
    EXPECT_EQ(utf16.widen(c), code < 0x80 ? char16_t(code) : char16_t(0xFFFD));
    EXPECT_EQ(utf8.widen(c), static_cast<unsigned char>(code));
    EXPECT_EQ(utf8.narrow(static_cast<unsigned char>(code), '?'), c);
    EXPECT_EQ(utf16.narrow(char16_t(code), '?'), code < 0x80 ? c : '?');
  }
  const char narrow[] = "ab\xC3\xA9";
  char16_t wide[4];
  utf16.widen(narrow, narrow + 4, wide);
  EXPECT_EQ(std::u16string(wide, 4), u"ab\uFFFD\uFFFD");
  const char16_t units[] = {u'x', 0x20AC, 0xD83D};
  char back[3];
  utf16.narrow(units, units + 3, '*', back);
  EXPECT_EQ(std::string(back, 3), "x**");
}

using basalt::testing::ScGlobalLocale;

// A comma decimal point and dotted groups of three, for any character type.
template <class CharT>
class GroupingPunctuation : public std::numpunct<CharT> {
protected:
  CharT do_decimal_point() const override { return CharT(','); }
  CharT do_thousands_sep() const override { return CharT('.'); }
  std::string do_grouping() const override { return "\3"; }
};

// Whatever the global locale, the library's streams write and read numbers
// with "." and no grouping.
void ExpectStreamsIgnoreTheGlobalLocale(const std::locale& inGlobal) {
  ScGlobalLocale global(inGlobal);
  // The global locale really groups: a stream that takes it shows so.
  std::ostringstream narrow;
  narrow << 1234567 << ' ' << 2.5;
  ASSERT_EQ(narrow.str(), "1.234.567 2,5");

  oUTF16StringStream utf16;
  utf16 << 1234567 << ' ' << 1234567.25 << ' ' << std::fixed << std::setprecision(2) << 9876543.5;
  EXPECT_EQ(Show(utf16.str()), "1234567 1.23457e+06 9876543.50");
  oUTF8StringStream utf8;
  utf8 << 1234567 << ' ' << std::setprecision(9) << 1234567.25;
  EXPECT_EQ(Show(utf8.str()), "1234567 1234567.25");

  iUTF16StringStream in16(UTF16String(u"1234567.25 1.234"));
  double a = 0, b = 0;
  in16 >> a >> b;
  EXPECT_FALSE(in16.fail());
  EXPECT_EQ(a, 1234567.25);
  EXPECT_EQ(b, 1.234);
  const unsigned char text8[] = "2,5";
  iUTF8StringStream in8{UTF8String(text8)};
  double c = 0;
  in8 >> c;
  EXPECT_EQ(c, 2.0);  // the comma ends the number

  ExpectClassicPunctuation<char16_t>(Locale::Default());
  ExpectClassicPunctuation<unsigned char>(Locale::Default());
}

TEST(Locale, StreamsIgnoreAGroupingGlobalLocale) {
  std::locale grouping(Locale::Default(), new GroupingPunctuation<char>);
  grouping = std::locale(grouping, new GroupingPunctuation<char16_t>);
  grouping = std::locale(grouping, new GroupingPunctuation<unsigned char>);
  ExpectStreamsIgnoreTheGlobalLocale(grouping);
}

TEST(Locale, StreamsIgnoreAGermanGlobalLocale) {
  std::locale german;
  try {
    german = std::locale("de_DE.UTF-8");
  } catch (const std::runtime_error&) {
    GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (Debian: package locales, enable it in "
                    "/etc/locale.gen and run locale-gen, or run localedef -i de_DE -f UTF-8 de_DE.UTF-8)";
  }
  ExpectStreamsIgnoreTheGlobalLocale(german);
}

using Gate = basalt::testing::Gate;

// Runs in a fresh process: several threads make the first calls to Default()
// at once, then each formats with it. Exits 0 when all saw the same complete
// locale, otherwise with a code naming what went wrong.
void RaceToTheFirstDefault() {
  if (config::internal::DefaultLocaleCreated()) std::_Exit(2);
  const int kThreads = 8;
  Gate gate;
  std::vector<const std::locale*> seen(kThreads, nullptr);
  std::vector<std::u16string> written(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      gate.Wait();
      seen[t] = &Locale::Default();
      oUTF16StringStream stream;
      stream << t << '.' << 5 << ' ' << 0.25;
      written[t] = std::u16string(stream.str().data(), stream.str().size());
    });
  }
  gate.Open();
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    if (seen[t] != seen[0]) std::_Exit(3);
    if (!std::has_facet<std::num_put<char16_t>>(*seen[t])) std::_Exit(4);
    const std::string expected = std::to_string(t) + ".5 0.25";
    if (written[t] != std::u16string(expected.begin(), expected.end())) std::_Exit(5);
  }
  std::exit(0);
}

TEST(LocaleDeathTest, DefaultFirstUseFromManyThreads) {
  if (sDefaultBuiltBeforeTests)
    GTEST_SKIP() << "a static initialiser of this program built Locale::Default() before the tests started, so no "
                    "first use is left to race on";
  // A new process, started afresh rather than forked, so Default() is unbuilt.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RaceToTheFirstDefault(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace basalt
