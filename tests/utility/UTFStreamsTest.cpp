#include <basalt/config/Locale.h>
#include <basalt/utility/UTFStreams.h>

#include "TestGlobalLocale.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstdio>
#include <functional>
#include <iomanip>
#include <ios>
#include <limits>
#include <locale>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

namespace basalt {
namespace {

using utility::SmallBlockAllocator::STLAllocator;

// Everything a test needs to know about one code-unit type.
template <class CharT, class StringT, class StringStreamT, class IStreamT, class OStreamT, class OutputStreamT>
struct Family {
  typedef CharT Char;
  typedef StringT String;
  typedef StringStreamT StringStream;
  typedef IStreamT IStream;
  typedef OStreamT OStream;
  typedef OutputStreamT OutputStream;
  typedef std::basic_stringbuf<CharT, std::char_traits<CharT>, STLAllocator<CharT>> StringBuf;
  typedef std::basic_ostringstream<CharT, std::char_traits<CharT>, STLAllocator<CharT>> PlainOStream;
  typedef std::basic_istringstream<CharT, std::char_traits<CharT>, STLAllocator<CharT>> PlainIStream;
};

typedef Family<UTF16Char, UTF16String, UTF16StringStream, iUTF16StringStream, oUTF16StringStream, UTF16OutputStream>
    UTF16Family;
typedef Family<unsigned char, UTF8String, UTF8StringStream, iUTF8StringStream, oUTF8StringStream, UTF8OutputStream>
    UTF8Family;

// One unit per byte of an ASCII text.
template <class String>
String Widen(const std::string& inAscii) {
  String result;
  for (const char c : inAscii) result.push_back(static_cast<typename String::value_type>(static_cast<unsigned char>(c)));
  return result;
}

template <class String>
String Units(std::initializer_list<unsigned> inUnits) {
  String result;
  for (const unsigned u : inUnits) result.push_back(static_cast<typename String::value_type>(u));
  return result;
}

// ASCII units as themselves, every other unit as \x{hex}, so expectations
// read as text and failures show exactly which unit differs.
template <class String>
std::string Show(const String& inText) {
  std::string result;
  for (const auto unit : inText) {
    const unsigned code = static_cast<unsigned>(unit);
    if (code >= 0x20 && code < 0x7F) {
      result.push_back(static_cast<char>(code));
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\x{%X}", code);
      result += buffer;
    }
  }
  return result;
}

template <class F>
class UTFStreamsTest : public ::testing::Test {
protected:
  typedef typename F::Char Char;
  typedef typename F::String String;
  typedef std::basic_ostream<Char> Out;
  typedef std::basic_istream<Char> In;

  static constexpr bool kUTF16 = std::is_same<Char, UTF16Char>::value;

  // Every stream of these classes is imbued with the default locale.
  static void ExpectDefaultLocale(std::basic_ios<Char>& inStream) {
    EXPECT_TRUE(inStream.getloc() == Locale::Default());
    EXPECT_TRUE(inStream.rdbuf()->getloc() == Locale::Default());
  }

  // Runs inWrite on a fresh stream of every writable class and expects each
  // to hold inExpected afterwards, with no error.
  static void ExpectWritten(const std::string& inExpected, const std::function<void(Out&)>& inWrite) {
    typename F::OStream out;
    typename F::StringStream both;
    typename F::StringBuf buffer;
    typename F::OutputStream onBuffer(&buffer);
    Out* const streams[] = {&out, &both, &onBuffer};
    for (Out* stream : streams) inWrite(*stream);
    const String texts[] = {out.str(), both.str(), buffer.str()};
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(i == 0 ? "output string stream" : i == 1 ? "string stream" : "output stream");
      EXPECT_FALSE(streams[i]->fail());
      EXPECT_EQ(Show(texts[i]), inExpected);
      ExpectDefaultLocale(*streams[i]);
    }
  }

  // Runs inRead on a fresh stream of every readable class over inText.
  static void ForEachReader(const String& inText, const std::function<void(In&)>& inRead) {
    typename F::IStream in(inText);
    typename F::StringStream both(inText);
    for (In* stream : {static_cast<In*>(&in), static_cast<In*>(&both)}) {
      SCOPED_TRACE(stream == &in ? "input string stream" : "string stream");
      ExpectDefaultLocale(*stream);
      inRead(*stream);
    }
  }
  static void ForEachReader(const std::string& inAscii, const std::function<void(In&)>& inRead) {
    ForEachReader(Widen<String>(inAscii), inRead);
  }

  template <class... T>
  static void ExpectIntegersRoundTrip(T... inValues) {
    (ExpectIntegerRoundTrip(inValues), ...);
  }
  template <class T>
  static void ExpectIntegerRoundTrip(T inValue) {
    SCOPED_TRACE(std::to_string(inValue));
    ExpectWritten(std::to_string(inValue), [&](Out& s) { s << inValue; });
    ForEachReader(std::to_string(inValue), [&](In& s) {
      T value = 0;
      s >> value;
      EXPECT_FALSE(s.fail());
      EXPECT_EQ(value, inValue);
      EXPECT_TRUE(s.eof());
    });
  }
};

typedef ::testing::Types<UTF16Family, UTF8Family> Families;

class FamilyNames {
public:
  template <class T>
  static std::string GetName(int) {
    return std::is_same<T, UTF16Family>::value ? "UTF16" : "UTF8";
  }
};

TYPED_TEST_SUITE(UTFStreamsTest, Families, FamilyNames);

TYPED_TEST(UTFStreamsTest, NumbersRoundTrip) {
  this->ExpectIntegersRoundTrip(0, -1, 1234567, INT_MIN, INT_MAX, static_cast<short>(SHRT_MIN), UINT_MAX, LONG_MIN,
                                LLONG_MIN, LLONG_MAX, ULLONG_MAX);
  const double kValues[] = {0.0, 0.1, 1.0 / 3.0, -123.456e-200, 6.02214076e23, DBL_MAX, -DBL_MAX, DBL_MIN, DBL_EPSILON};
  for (const double value : kValues) {
    SCOPED_TRACE(value);
    typename TypeParam::OStream out;
    out << std::setprecision(std::numeric_limits<double>::max_digits10) << value;
    ASSERT_FALSE(out.fail());
    this->ForEachReader(out.str(), [&](typename TestFixture::In& s) {
      double read = -1;
      s >> read;
      EXPECT_FALSE(s.fail());
      EXPECT_EQ(read, value);
    });
  }
}

TYPED_TEST(UTFStreamsTest, FormattedOutput) {
  typedef typename TypeParam::Char Char;
  typedef typename TestFixture::String String;
  typedef typename TestFixture::Out Out;
  const bool utf16 = TestFixture::kUTF16;
  const String wide = Widen<String>("wide");
  const String nonAscii = utf16 ? Units<String>({0xE9, 0xD83D, 0xDE00, 0xFFFF, 0})
                                : Units<String>({0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80, 0xFF, 0});
  const struct {
    std::string mExpected;
    std::function<void(Out&)> mWrite;
  } kCases[] = {
      {"1.5", [](Out& s) { s << 1.5; }},
      {"0.10000000000000001", [](Out& s) { s << std::setprecision(17) << 0.1; }},
      {"1.23457e+06", [](Out& s) { s << 1234567.0; }},
      {"1e-07", [](Out& s) { s << 1e-7; }},
      {"-0", [](Out& s) { s << -0.0; }},
      {"inf", [](Out& s) { s << std::numeric_limits<double>::infinity(); }},
      {"2.50", [](Out& s) { s << std::fixed << std::setprecision(2) << 2.5; }},
      {"1234567.5", [](Out& s) { s << std::fixed << std::setprecision(1) << 1234567.5; }},
      {"-0.0001", [](Out& s) { s << std::fixed << std::setprecision(4) << -0.000125; }},
      {"1.235e+04", [](Out& s) { s << std::scientific << std::setprecision(3) << 12345.678; }},
      {"1.00e+300", [](Out& s) { s << std::scientific << std::setprecision(2) << 1e300; }},
      {"0.5 2.5", [](Out& s) { s << 0.5f << ' ' << 2.5L; }},
      {"ff", [](Out& s) { s << std::hex << 255L; }},
      {"0XFF", [](Out& s) { s << std::hex << std::showbase << std::uppercase << 255L; }},
      {"010", [](Out& s) { s << std::oct << std::showbase << 8L; }},
      {"+5", [](Out& s) { s << std::showpos << 5L; }},
      {"1 0", [](Out& s) { s << true << ' ' << false; }},
      {"true false", [](Out& s) { s << std::boolalpha << true << ' ' << false; }},
      {"****42", [](Out& s) { s << std::setw(6) << std::setfill(Char('*')) << 42; }},
      {"42****", [](Out& s) { s << std::left << std::setw(6) << std::setfill(Char('*')) << 42; }},
      {"-***42", [](Out& s) { s << std::internal << std::setw(6) << std::setfill(Char('*')) << -42; }},
      {"0x00ff",
       [](Out& s) { s << std::internal << std::showbase << std::hex << std::setw(6) << std::setfill(Char('0')) << 255; }},
      {"   ab", [](Out& s) { s << std::setw(5) << "ab"; }},
      {"ab...", [&](Out& s) { s << std::left << std::setw(5) << std::setfill(Char('.')) << Widen<String>("ab"); }},
      {"  x", [](Out& s) { s << std::setw(3) << 'x'; }},
      {"   12", [](Out& s) { s << std::setw(4) << 1 << 2; }},  // the width applies to one insertion only
      {"   3.142", [](Out& s) { s << std::fixed << std::setprecision(3) << std::setw(8) << 3.14159; }},
      {"narrow wide xywide!", [&](Out& s) { s << "narrow " << wide << ' ' << Char('x') << 'y' << wide.c_str() << '!'; }},
      {Show(nonAscii), [&](Out& s) { s << nonAscii; }},
      // A lone UTF-8 byte is no UTF-16 character: it shows as U+FFFD. A UTF-8
      // stream takes the bytes unchanged.
      {utf16 ? "caf\\x{FFFD}\\x{FFFD}" : "caf\\x{C3}\\x{A9}", [](Out& s) { s << "caf\xC3\xA9"; }},
      {utf16 ? "\\x{FFFD}" : "\\x{E9}", [](Out& s) { s << '\xE9'; }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mExpected);
    this->ExpectWritten(c.mExpected, c.mWrite);
  }
  typename TypeParam::OStream s;
  EXPECT_EQ(s.widen('a'), Char('a'));
  EXPECT_EQ(s.narrow(Char('A'), '?'), 'A');
  EXPECT_EQ(s.narrow(Char(0xE9), '?'), utf16 ? '?' : '\xE9');
  if (utf16) {
    EXPECT_EQ(s.narrow(Char(0x20AC), '?'), '?');
  }
}

TYPED_TEST(UTFStreamsTest, FormattedInput) {
  typedef typename TypeParam::Char Char;
  typedef typename TestFixture::String String;
  typedef typename TestFixture::In In;
  this->ForEachReader("true false 1 0", [](In& s) {
    bool a = false, b = true, c = false, d = true;
    s >> std::boolalpha >> a >> b >> std::noboolalpha >> c >> d;
    EXPECT_FALSE(s.fail());
    EXPECT_TRUE(a && !b && c && !d);
  });
  this->ForEachReader("ff 0x1A 17 0x10 010", [](In& s) {
    int a = 0, b = 0, c = 0, d = 0, e = 0;
    s >> std::hex >> a >> b >> std::oct >> c;
    s.unsetf(std::ios_base::basefield);
    s >> d >> e;
    EXPECT_FALSE(s.fail());
    EXPECT_EQ(std::vector<int>({a, b, c, d, e}), std::vector<int>({255, 26, 15, 16, 8}));
  });
  this->ForEachReader("  alpha beta\tgamma\nline two\n\nlast", [](In& s) {
    String a, b, c, line;
    s >> a >> b >> c >> std::ws;
    EXPECT_EQ(Show(a) + "|" + Show(b) + "|" + Show(c), "alpha|beta|gamma");
    for (const char* expected : {"line two", "", "last"}) {
      ASSERT_TRUE(std::getline(s, line));
      EXPECT_EQ(Show(line), expected);
    }
    EXPECT_TRUE(s.eof());
    EXPECT_FALSE(std::getline(s, line));
  });
  this->ForEachReader("a,b,,c", [](In& s) {
    std::vector<std::string> fields;
    String field;
    while (std::getline(s, field, Char(','))) fields.push_back(Show(field));
    EXPECT_EQ(fields, (std::vector<std::string>{"a", "b", "", "c"}));
  });
  // Every classic white-space character is skipped; a number ends at a letter.
  this->ForEachReader(" \t\n\v\f\r x7 12abc", [](In& s) {
    Char c = 0;
    int n = 0, m = 0;
    String rest;
    s >> c >> n >> m >> rest;
    EXPECT_FALSE(s.fail());
    EXPECT_EQ(c, Char('x'));
    EXPECT_EQ(n, 7);
    EXPECT_EQ(m, 12);
    EXPECT_EQ(Show(rest), "abc");
  });
  // U+00A0 and U+3000 are spaces in Unicode but not in the classic locale;
  // the UTF-8 bytes of U+3000 likewise stay inside the word.
  const String word = TestFixture::kUTF16 ? Units<String>({'a', 0xA0, 0x3000, 0xE9, 0xD83D, 0xDE00, 'b'})
                                          : Units<String>({'a', 0xC2, 0xA0, 0xE3, 0x80, 0x80, 0xC3, 0xA9, 'b'});
  this->ForEachReader(word + Widen<String>(" 5"), [&](In& s) {
    String read;
    int n = 0;
    s >> read >> n;
    EXPECT_FALSE(s.fail());
    EXPECT_EQ(Show(read), Show(word));
    EXPECT_EQ(n, 5);
  });
}

TYPED_TEST(UTFStreamsTest, ExtractionFailures) {
  typedef typename TestFixture::String String;
  const String fullwidthOne = TestFixture::kUTF16 ? Units<String>({0xFF11}) : Units<String>({0xEF, 0xBC, 0x91});
  const struct {
    const char* mName;
    String mText;
    int mValue;  // what the failed extraction leaves
  } kCases[] = {
      {"letters", Widen<String>("abc"), 0},
      {"digits outside ASCII are not digits", fullwidthOne, 0},
      {"too large", Widen<String>("99999999999"), INT_MAX},
      {"too small", Widen<String>("-99999999999"), INT_MIN},
      {"nothing", String(), -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.mName);
    this->ForEachReader(c.mText, [&](typename TestFixture::In& s) {
      int n = -1;
      s >> n;
      EXPECT_TRUE(s.fail());
      EXPECT_FALSE(s.bad());
      EXPECT_EQ(n, c.mValue);
      if (c.mText.empty()) {
        EXPECT_TRUE(s.eof());
      }
    });
  }
  this->ForEachReader("yes", [](typename TestFixture::In& s) {
    bool a = true;
    s >> std::boolalpha >> a;
    EXPECT_TRUE(s.fail());
  });
}

TYPED_TEST(UTFStreamsTest, StringStreamsReadWhatTheyWrite) {
  typedef typename TestFixture::String String;
  typename TypeParam::StringStream s;
  s << -17 << ' ' << 2.75 << ' ' << Widen<String>("word") << '\n' << "the rest";
  int n = 0;
  double d = 0;
  String word, rest;
  s >> n >> d >> word >> std::ws;
  std::getline(s, rest);
  EXPECT_EQ(n, -17);
  EXPECT_EQ(d, 2.75);
  EXPECT_EQ(Show(word), "word");
  EXPECT_EQ(Show(rest), "the rest");
  EXPECT_EQ(Show(s.str()), "-17 2.75 word\\x{A}the rest");
}

TYPED_TEST(UTFStreamsTest, OutputStreamOverNoBufferIsBad) {
  typename TypeParam::OutputStream stream(nullptr);
  EXPECT_TRUE(stream.bad());
  stream << 1 << "x";
  EXPECT_TRUE(stream.bad());
  EXPECT_TRUE(stream.getloc() == Locale::Default());
}

using basalt::testing::ScGlobalLocale;

// A standard stream the caller builds directly starts with the global locale,
// which has no facets for these unit types: formatted I/O fails cleanly until
// the stream is imbued, or until the default locale is made the global one.
TYPED_TEST(UTFStreamsTest, PlainStandardStreamNeedsTheDefaultLocale) {
  typedef typename TestFixture::String String;
  typename TypeParam::PlainOStream plain;
  plain << 42;
  EXPECT_TRUE(plain.bad());
  EXPECT_THROW(plain.widen('a'), std::bad_cast);
  plain.clear();
  plain << Widen<String>("ok");  // unpadded text needs no facet
  EXPECT_TRUE(plain.good());
  plain.exceptions(std::ios_base::badbit);
  EXPECT_THROW(plain << 1.5, std::bad_cast);
  plain.exceptions(std::ios_base::goodbit);
  plain.clear();
  plain.imbue(Locale::Default());
  plain << 42 << ' ' << 1.5;
  EXPECT_TRUE(plain.good());
  EXPECT_EQ(Show(plain.str()), "ok42 1.5");

  typename TypeParam::PlainIStream in(Widen<String>("12 x\nline"));
  int n = -1;
  in >> n;
  EXPECT_TRUE(in.bad());
  in.clear();
  in >> std::ws;
  EXPECT_TRUE(in.bad());
  in.clear();
  String line;
  EXPECT_THROW(std::getline(in, line), std::bad_cast);
  in.clear();
  in.imbue(Locale::Default());
  in >> n >> std::ws;
  EXPECT_FALSE(in.fail());
  EXPECT_EQ(n, 12);
  EXPECT_TRUE(std::getline(in, line));
  EXPECT_EQ(Show(line), "x");

  ScGlobalLocale global(Locale::Default());
  typename TypeParam::PlainOStream afterwards;
  afterwards << 42 << ' ' << 1.5 << ' ' << std::setw(3) << 7;
  EXPECT_TRUE(afterwards.good());
  EXPECT_EQ(Show(afterwards.str()), "42 1.5   7");
}

}  // namespace
}  // namespace basalt
