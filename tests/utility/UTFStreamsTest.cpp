#include <basalt/config/Locale.h>
#include <basalt/utility/UTFStreams.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstdio>
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

  // Runs inWrite on a fresh stream of every writable class and expects each
  // to hold inExpected afterwards, with no error.
  template <class Writer>
  void ExpectWritten(const std::string& inExpected, Writer inWrite) {
    {
      typename F::OStream stream;
      inWrite(stream);
      EXPECT_FALSE(stream.fail()) << "output string stream";
      EXPECT_EQ(Show(stream.str()), inExpected) << "output string stream";
    }
    {
      typename F::StringStream stream;
      inWrite(stream);
      EXPECT_FALSE(stream.fail()) << "string stream";
      EXPECT_EQ(Show(stream.str()), inExpected) << "string stream";
    }
    {
      typename F::StringBuf buffer;
      typename F::OutputStream stream(&buffer);
      inWrite(stream);
      EXPECT_FALSE(stream.fail()) << "output stream";
      EXPECT_EQ(Show(buffer.str()), inExpected) << "output stream";
    }
  }

  // Runs inRead on a fresh stream of every readable class over inText.
  template <class Reader>
  void ForEachReader(const String& inText, Reader inRead) {
    {
      SCOPED_TRACE("input string stream");
      typename F::IStream stream(inText);
      inRead(stream);
    }
    {
      SCOPED_TRACE("string stream");
      typename F::StringStream stream(inText);
      inRead(stream);
    }
  }

  template <class T>
  void ExpectIntegerRoundTrip(T inValue) {
    SCOPED_TRACE(std::to_string(inValue));
    ExpectWritten(std::to_string(inValue), [&](auto& s) { s << inValue; });
    ForEachReader(Widen<String>(std::to_string(inValue)), [&](auto& s) {
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

TYPED_TEST(UTFStreamsTest, EveryStreamIsImbuedWithTheDefaultLocale) {
  typedef typename TypeParam::Char Char;
  const typename TestFixture::String text = Widen<typename TestFixture::String>("x");
  typename TypeParam::StringStream s1;
  typename TypeParam::StringStream s2(text);
  typename TypeParam::IStream s3(text);
  typename TypeParam::OStream s4;
  typename TypeParam::StringBuf buffer;
  typename TypeParam::OutputStream s5(&buffer);
  const std::vector<std::basic_ios<Char>*> streams = {&s1, &s2, &s3, &s4, &s5};
  for (std::size_t i = 0; i < streams.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(streams[i]->getloc() == Locale::Default());
    EXPECT_TRUE(streams[i]->rdbuf()->getloc() == Locale::Default());
    EXPECT_TRUE(streams[i]->good());
  }
}

TYPED_TEST(UTFStreamsTest, IntegersRoundTrip) {
  this->ExpectIntegerRoundTrip(0);
  this->ExpectIntegerRoundTrip(7);
  this->ExpectIntegerRoundTrip(-1);
  this->ExpectIntegerRoundTrip(-42);
  this->ExpectIntegerRoundTrip(1234567);
  this->ExpectIntegerRoundTrip(INT_MIN);
  this->ExpectIntegerRoundTrip(INT_MAX);
  this->ExpectIntegerRoundTrip(static_cast<short>(SHRT_MIN));
  this->ExpectIntegerRoundTrip(UINT_MAX);
  this->ExpectIntegerRoundTrip(LONG_MIN);
  this->ExpectIntegerRoundTrip(LLONG_MIN);
  this->ExpectIntegerRoundTrip(LLONG_MAX);
  this->ExpectIntegerRoundTrip(ULLONG_MAX);
}

TYPED_TEST(UTFStreamsTest, FloatingPointFormats) {
  struct Case {
    double mValue;
    std::ios_base::fmtflags mFormat;
    int mPrecision;
    const char* mExpected;
  };
  const std::ios_base::fmtflags kGeneral = std::ios_base::fmtflags();
  const Case kCases[] = {
      {1.5, kGeneral, 6, "1.5"},
      {-2.25, kGeneral, 6, "-2.25"},
      {0.1, kGeneral, 17, "0.10000000000000001"},
      {3.14159265358979, kGeneral, 10, "3.141592654"},
      {1234567.0, kGeneral, 6, "1.23457e+06"},
      {1e-7, kGeneral, 6, "1e-07"},
      {-0.0, kGeneral, 6, "-0"},
      {2.5, std::ios_base::fixed, 2, "2.50"},
      {1234567.5, std::ios_base::fixed, 1, "1234567.5"},
      {-0.000125, std::ios_base::fixed, 4, "-0.0001"},
      {12345.678, std::ios_base::scientific, 3, "1.235e+04"},
      {1e300, std::ios_base::scientific, 2, "1.00e+300"},
      {std::numeric_limits<double>::infinity(), kGeneral, 6, "inf"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.mExpected);
    this->ExpectWritten(c.mExpected, [&](auto& s) {
      s.setf(c.mFormat, std::ios_base::floatfield);
      s << std::setprecision(c.mPrecision) << c.mValue;
    });
  }
  this->ExpectWritten("0.5 2.5", [](auto& s) { s << 0.5f << ' ' << 2.5L; });
}

TYPED_TEST(UTFStreamsTest, DoublesRoundTripAtFullPrecision) {
  const double kValues[] = {0.0, 0.1, 1.0 / 3.0, -123.456e-200, 6.02214076e23, DBL_MAX, -DBL_MAX, DBL_MIN, DBL_EPSILON};
  for (const double value : kValues) {
    SCOPED_TRACE(value);
    typename TypeParam::OStream out;
    out << std::setprecision(std::numeric_limits<double>::max_digits10) << value;
    ASSERT_FALSE(out.fail());
    this->ForEachReader(out.str(), [&](auto& s) {
      double read = -1;
      s >> read;
      EXPECT_FALSE(s.fail());
      EXPECT_EQ(read, value);
    });
  }
}

TYPED_TEST(UTFStreamsTest, Booleans) {
  this->ExpectWritten("1 0", [](auto& s) { s << true << ' ' << false; });
  this->ExpectWritten("true false", [](auto& s) { s << std::boolalpha << true << ' ' << false; });
  this->ForEachReader(Widen<typename TestFixture::String>("true false 1 0"), [](auto& s) {
    bool a = false, b = true, c = false, d = true;
    s >> std::boolalpha >> a >> b >> std::noboolalpha >> c >> d;
    EXPECT_FALSE(s.fail());
    EXPECT_TRUE(a);
    EXPECT_FALSE(b);
    EXPECT_TRUE(c);
    EXPECT_FALSE(d);
  });
  this->ForEachReader(Widen<typename TestFixture::String>("yes"), [](auto& s) {
    bool a = true;
    s >> std::boolalpha >> a;
    EXPECT_TRUE(s.fail());
  });
}

TYPED_TEST(UTFStreamsTest, IntegerBases) {
  struct Case {
    std::ios_base::fmtflags mFlags;
    long mValue;
    const char* mExpected;
  };
  const Case kCases[] = {
      {std::ios_base::hex, 255, "ff"},
      {std::ios_base::hex | std::ios_base::showbase | std::ios_base::uppercase, 255, "0XFF"},
      {std::ios_base::oct, 8, "10"},
      {std::ios_base::oct | std::ios_base::showbase, 8, "010"},
      {std::ios_base::dec | std::ios_base::showpos, 5, "+5"},
      {std::ios_base::hex, 0xDEADBEEFL, "deadbeef"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.mExpected);
    this->ExpectWritten(c.mExpected, [&](auto& s) {
      s.flags(c.mFlags);
      s << c.mValue;
    });
  }
  this->ForEachReader(Widen<typename TestFixture::String>("ff 0x1A 17 0x10 010"), [](auto& s) {
    int a = 0, b = 0, c = 0, d = 0, e = 0;
    s >> std::hex >> a >> b >> std::oct >> c;
    s.unsetf(std::ios_base::basefield);
    s >> d >> e;
    EXPECT_FALSE(s.fail());
    EXPECT_EQ(a, 255);
    EXPECT_EQ(b, 26);
    EXPECT_EQ(c, 15);
    EXPECT_EQ(d, 16);
    EXPECT_EQ(e, 8);
  });
}

TYPED_TEST(UTFStreamsTest, WidthAndFill) {
  typedef typename TypeParam::Char Char;
  typedef typename TestFixture::String String;
  const Char star = Char('*');
  const Char dot = Char('.');
  this->ExpectWritten("****42", [&](auto& s) { s << std::setw(6) << std::setfill(star) << 42; });
  this->ExpectWritten("42****", [&](auto& s) { s << std::left << std::setw(6) << std::setfill(star) << 42; });
  this->ExpectWritten("-***42", [&](auto& s) { s << std::internal << std::setw(6) << std::setfill(star) << -42; });
  this->ExpectWritten("0x00ff", [&](auto& s) {
    s << std::internal << std::showbase << std::hex << std::setw(6) << std::setfill(Char('0')) << 255;
  });
  this->ExpectWritten("   ab", [](auto& s) { s << std::setw(5) << "ab"; });
  this->ExpectWritten("ab...", [&](auto& s) { s << std::left << std::setw(5) << std::setfill(dot) << Widen<String>("ab"); });
  this->ExpectWritten("  x", [](auto& s) { s << std::setw(3) << 'x'; });
  // The width applies to one insertion only.
  this->ExpectWritten("   12", [](auto& s) { s << std::setw(4) << 1 << 2; });
  this->ExpectWritten("   3.142", [](auto& s) { s << std::fixed << std::setprecision(3) << std::setw(8) << 3.14159; });
}

TYPED_TEST(UTFStreamsTest, StringsAndCharacters) {
  typedef typename TypeParam::Char Char;
  typedef typename TestFixture::String String;
  const String wide = Widen<String>("wide");
  this->ExpectWritten("narrow wide xywide!",
                      [&](auto& s) { s << "narrow " << wide << ' ' << Char('x') << 'y' << wide.c_str() << '!'; });
  this->ExpectWritten("a=1, b=2.5, c=true", [](auto& s) { s << "a=" << 1 << ", b=" << 2.5 << ", c=" << std::boolalpha << true; });
  const String nonAsciiUnits = std::is_same<Char, UTF16Char>::value
                                   ? Units<String>({0xE9, 0xD83D, 0xDE00, 0xFFFF, 0})
                                   : Units<String>({0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80, 0xFF, 0});
  this->ExpectWritten(Show(nonAsciiUnits), [&](auto& s) { s << nonAsciiUnits; });
}

TYPED_TEST(UTFStreamsTest, ReadingWordsLinesAndCharacters) {
  typedef typename TypeParam::Char Char;
  typedef typename TestFixture::String String;
  this->ForEachReader(Widen<String>("  alpha beta\tgamma\nline two\n\nlast"), [](auto& s) {
    String a, b, c, line;
    s >> a >> b >> c >> std::ws;
    EXPECT_EQ(Show(a), "alpha");
    EXPECT_EQ(Show(b), "beta");
    EXPECT_EQ(Show(c), "gamma");
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(Show(line), "line two");
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(Show(line), "");
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(Show(line), "last");
    EXPECT_TRUE(s.eof());
    EXPECT_FALSE(std::getline(s, line));
  });
  this->ForEachReader(Widen<String>("a,b,,c"), [](auto& s) {
    std::vector<std::string> fields;
    String field;
    while (std::getline(s, field, Char(','))) fields.push_back(Show(field));
    EXPECT_EQ(fields, (std::vector<std::string>{"a", "b", "", "c"}));
  });
  // Every classic white-space character is skipped.
  this->ForEachReader(Widen<String>(" \t\n\v\f\r x7"), [](auto& s) {
    Char c = 0;
    int n = 0;
    s >> c >> n;
    EXPECT_FALSE(s.fail());
    EXPECT_EQ(c, Char('x'));
    EXPECT_EQ(n, 7);
  });
  this->ForEachReader(Widen<String>("12abc"), [](auto& s) {
    int n = 0;
    String rest;
    s >> n >> rest;
    EXPECT_EQ(n, 12);
    EXPECT_EQ(Show(rest), "abc");
  });
}

TYPED_TEST(UTFStreamsTest, NonAsciiUnitsAreNeverSeparators) {
  typedef typename TypeParam::Char Char;
  typedef typename TestFixture::String String;
  // U+00A0 and U+3000 are spaces in Unicode but not in the classic locale;
  // the UTF-8 bytes of U+3000 likewise stay inside the word.
  const String word = std::is_same<Char, UTF16Char>::value
                          ? Units<String>({'a', 0xA0, 0x3000, 0xE9, 0xD83D, 0xDE00, 'b'})
                          : Units<String>({'a', 0xC2, 0xA0, 0xE3, 0x80, 0x80, 0xC3, 0xA9, 'b'});
  String text = word;
  text += Widen<String>(" 5");
  this->ForEachReader(text, [&](auto& s) {
    String read;
    int n = 0;
    s >> read >> n;
    EXPECT_FALSE(s.fail());
    EXPECT_EQ(Show(read), Show(word));
    EXPECT_EQ(n, 5);
  });
  // Digits outside ASCII are not digits.
  const String fullwidthOne = std::is_same<Char, UTF16Char>::value ? Units<String>({0xFF11})
                                                                   : Units<String>({0xEF, 0xBC, 0x91});
  this->ForEachReader(fullwidthOne, [](auto& s) {
    int n = -1;
    s >> n;
    EXPECT_TRUE(s.fail());
    EXPECT_EQ(n, 0);
  });
}

TYPED_TEST(UTFStreamsTest, NarrowTextOutsideAsciiFollowsTheUnitType) {
  typedef typename TypeParam::Char Char;
  const bool utf16 = std::is_same<Char, UTF16Char>::value;
  // A lone UTF-8 byte is no UTF-16 character: it shows as U+FFFD. A UTF-8
  // stream takes the bytes unchanged.
  this->ExpectWritten(utf16 ? "caf\\x{FFFD}\\x{FFFD}" : "caf\\x{C3}\\x{A9}", [](auto& s) { s << "caf\xC3\xA9"; });
  this->ExpectWritten(utf16 ? "\\x{FFFD}" : "\\x{E9}", [](auto& s) { s << '\xE9'; });

  typename TypeParam::OStream s;
  EXPECT_EQ(s.widen('a'), Char('a'));
  EXPECT_EQ(s.narrow(Char('A'), '?'), 'A');
  EXPECT_EQ(s.narrow(Char(0xE9), '?'), utf16 ? '?' : '\xE9');
  if (utf16) {
    EXPECT_EQ(s.narrow(Char(0x20AC), '?'), '?');
  }
}

TYPED_TEST(UTFStreamsTest, ExtractionFailures) {
  typedef typename TestFixture::String String;
  this->ForEachReader(Widen<String>("abc"), [](auto& s) {
    int n = -1;
    s >> n;
    EXPECT_TRUE(s.fail());
    EXPECT_FALSE(s.bad());
    EXPECT_EQ(n, 0);
  });
  this->ForEachReader(Widen<String>("99999999999"), [](auto& s) {
    int n = 0;
    s >> n;
    EXPECT_TRUE(s.fail());
    EXPECT_EQ(n, INT_MAX);
  });
  this->ForEachReader(Widen<String>("-99999999999"), [](auto& s) {
    int n = 0;
    s >> n;
    EXPECT_TRUE(s.fail());
    EXPECT_EQ(n, INT_MIN);
  });
  this->ForEachReader(String(), [](auto& s) {
    double d = -1;
    s >> d;
    EXPECT_TRUE(s.fail());
    EXPECT_TRUE(s.eof());
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

// A standard stream the caller builds directly starts with the global locale,
// which has no facets for these unit types: formatted output fails cleanly.
TYPED_TEST(UTFStreamsTest, PlainStandardStreamFailsCleanlyUntilImbued) {
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
}

// Restores the global locale, which a test changes.
class ScGlobalLocale {
public:
  explicit ScGlobalLocale(const std::locale& inLocale) : mPrevious(std::locale::global(inLocale)) {}
  ~ScGlobalLocale() { std::locale::global(mPrevious); }
  ScGlobalLocale(const ScGlobalLocale&) = delete;
  ScGlobalLocale& operator=(const ScGlobalLocale&) = delete;

private:
  std::locale mPrevious;
};

TYPED_TEST(UTFStreamsTest, PlainStandardStreamWorksWhenDefaultIsGlobal) {
  ScGlobalLocale global(Locale::Default());
  typename TypeParam::PlainOStream plain;
  plain << 42 << ' ' << 1.5 << ' ' << std::setw(3) << 7;
  EXPECT_TRUE(plain.good());
  EXPECT_EQ(Show(plain.str()), "42 1.5   7");
}

}  // namespace
}  // namespace basalt
