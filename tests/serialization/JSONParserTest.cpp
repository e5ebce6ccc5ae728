// JSONParse: value kinds, the number rules, strings and escapes, the
// leniencies, the error texts, the overloads and the nesting limit.
#include <basalt/serialization/JSON.h>

#include "serialization/JSONTestSupport.h"

#include <basalt/utility/UnicodeString.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace basalt {
namespace serialization {
namespace {

using namespace testing;

// The text of the runtime_error JSONParse throws, or "" when it succeeds.
std::string ErrorOf(const std::string& inText) {
  try {
    Parse(inText);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(JSONParse, ArrayOfEveryScalarKind) {
  const JSONValuePtr value = Parse("[1, -2, 3.5, true, null, \"x\"]");
  const JSONArray& array = boost::any_cast<const JSONArray&>(*value);
  ASSERT_EQ(array.size(), 6u);
  EXPECT_EQ(boost::any_cast<std::uint64_t>(*array[0]), 1u);
  EXPECT_EQ(boost::any_cast<std::int64_t>(*array[1]), -2);
  EXPECT_EQ(boost::any_cast<double>(*array[2]), 3.5);
  EXPECT_EQ(boost::any_cast<bool>(*array[3]), true);
  EXPECT_TRUE(array[4] && array[4]->empty());
  EXPECT_EQ(Narrow(boost::any_cast<const UTF8String&>(*array[5])), "x");
}

TEST(JSONParse, Numbers) {
  const std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    const char* mText;
    boost::any mValue;  // std::uint64_t, std::int64_t or double, compared exactly
  };
  const Case cases[] = {
      {"0", std::uint64_t(0)},
      {"1e2", 100.0},
      {"1.0", std::uint64_t(1)},
      {"1e0", std::uint64_t(1)},
      {"1.", std::uint64_t(1)},
      {"1.000e-0", std::uint64_t(1)},
      {"-0", std::int64_t(0)},
      {"-0.0", std::int64_t(0)},
      {"007", std::uint64_t(7)},
      {"-2.5e-3", -0.0025},
      {"1E+2", 100.0},
      {"0.1", 0.1},
      {"4.9406564584124654e-324", 4.9406564584124654e-324},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"1e-400", 0.0},
      {"18446744073709551615", kMax},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      // Beyond the 64-bit range of their sign: the nearest double.
      {"18446744073709551616", 18446744073709551616.0},
      {"123456789012345678901234.5", 123456789012345678901234.5},
      {"-9223372036854775809", -9223372036854775809.0},
      // The scanner's own rules for runs that are not JSON numbers.
      {"-", std::int64_t(0)},
      {"1-2", std::uint64_t(12)},
      {"1.2.3", 2.03},
      {"1e5e3", 5000.0},
      {"1-e2", 0.01},
      {"5.e1", 50.0},
      {"184467440737095516159-", kMax},  // digits past the range dropped
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    const JSONValuePtr value = Parse(c.mText);
    ASSERT_TRUE(value);
    ASSERT_EQ(value->type(), c.mValue.type());
    EXPECT_TRUE(SameNumber(*value, c.mValue)) << Write(*value);
  }
  EXPECT_TRUE(std::signbit(boost::any_cast<double>(*Parse("-1e-400"))));
  for (const char* text : {"1e400", "-1e309", "1e99999999999999999999999", "1e5e400", "1.5.5e999"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ErrorOf(text), "ParseNumber: number out of range");
  }
}

TEST(JSONParse, StringsAndEscapes) {
  struct Case {
    const char* mText;
    std::string mBytes;
  };
  const Case cases[] = {
      {R"("plain")", "plain"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {R"("a\u0041\u00e9\u00E9\u4e2d")", "aA\xC3\xA9\xC3\xA9\xE4\xB8\xAD"},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
      {R"("\ud83dx\ude00")", "\xED\xA0\xBDx\xED\xB8\x80"},  // lone surrogates: own 3-byte forms
      {R"("\u0041\u0000\u0042c")", "Ac"},  // a NUL unit ends its run of escapes
      {R"("\u41")", "A"},                  // fewer digits at the end of the string
      {R"("\u")", ""},
      {"\"\x01\t\x7F\xFF\"", "\x01\t\x7F\xFF"},  // raw bytes as they are
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    EXPECT_EQ(Narrow(boost::any_cast<const UTF8String&>(*Parse(c.mText))), c.mBytes);
  }
}

// A run of \u escapes is converted exactly as UTF16to8 converts its units.
TEST(JSONParse, UnicodeEscapeRunsAgreeWithUTF16to8) {
  const std::vector<std::vector<UTF16Char>> runs = {
      {0xD800, 0xDC00}, {0xDBFF, 0xDFFF}, {0xDC00, 0xD800},          {0xD800, 0xD800, 0xDC00},
      {0xD800, 0x0041}, {0x007F, 0x0080, 0x07FF, 0x0800, 0xFFFF}, {0xD800, 0x0000, 0xDC00}, {0xDFFF},
  };
  for (const auto& units : runs) {
    std::string text = "\"";
    for (const UTF16Char unit : units) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(unit));
      text += escape;
    }
    SCOPED_TRACE(text);
    EXPECT_EQ(boost::any_cast<const UTF8String&>(*Parse(text + "\"")),
              utility::UTF16to8(UTF16String(units.begin(), units.end())));
  }
}

TEST(JSONParse, Leniencies) {
  const std::pair<const char*, const char*> cases[] = {
      {"1 2", "1"},
      {"{}x", "{}"},
      {"truex", "true"},
      {"null]", ""},
      {" \t\n\v\f\r[ 1 ,\n2 ]\r\n", "[1,2]"},
      {R"({ "b" : 1 , "a" : [ true , false ] , "c":{ } })", R"({"a":[true,false],"b":1,"c":{}})"},
      {R"({"a":1,"a":2})", R"({"a":2})"},
      {"", "<none>"},
      {" \t\n", "<none>"},
  };
  for (const auto& [text, written] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Reformat(text), written);
  }
}

TEST(JSONParse, ErrorTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"x", "ParseValue unexpected char"},
      {"[1,]", "ParseValue unexpected char"},
      {"+1", "ParseValue unexpected char"},
      {"{\"a\":}", "ParseValue unexpected char"},
      {"nul", "ParsePrimitive unexpected char"},
      {"fals", "ParsePrimitive unexpected char"},
      {R"("\q")", "AdvanceString: unexpected char"},
      {R"(["abc)", "AdvanceString: unexpected char"},
      {"\"abc\\", "AdvanceString: unexpected char"},
      {R"("\u12G4")", "EscapeString: unexpected char"},
      {R"("\u12\n")", "EscapeString: unexpected char"},
      {"[1 2]", "ParseArray unexpected char"},
      {"[", "ParseArray unexpected char"},
      {"[1,", "ParseArray unexpected char"},
      {"[truex]", "ParseArray unexpected char"},
      {R"({"a" 1})", "ParseObject unexpected char"},
      {"{1:2}", "ParseObject unexpected char"},
      {"{", "ParseObject unexpected char"},
      {R"({"a":1,})", "ParseObject unexpected char"},
      {R"({"a":1;"b":2})", "ParseObject unexpected char"},
      {R"({"a":)", "ParseObject unexpected char"},
  };
  for (const auto& [text, error] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ErrorOf(text), error);
  }
}

TEST(JSONParse, Overloads) {
  const std::string text = R"({"k":["v\u00e9",2]})";
  const std::string expected = "{\"k\":[\"v\xC3\xA9\",2]}";
  EXPECT_EQ(Write(*JSONParse(U8(text).c_str())), expected);
  EXPECT_EQ(Write(*JSONParse(U8(text).data(), text.size())), expected);
  EXPECT_EQ(Write(*JSONParse(utility::UTF8to16(U8(text)))), expected);
  // The pointer-and-length form needs no terminator; a NUL ends the text.
  const unsigned char bytes[] = {'[', '1', ']', 0, 'x', '9'};
  EXPECT_EQ(Write(*JSONParse(bytes, 5)), "[1]");
  EXPECT_EQ(Write(*JSONParse(bytes + 5, 1)), "9");
  EXPECT_FALSE(JSONParse(bytes, 0));
  EXPECT_FALSE(JSONParse(static_cast<const unsigned char*>(nullptr)));
  EXPECT_FALSE(JSONParse(UTF16String()));
}

TEST(JSONParse, NestingLimit) {
  auto nested = [](int inDepth, const std::string& inOpen, const std::string& inClose) {
    std::string text;
    for (int i = 0; i < inDepth; ++i) text += inOpen;
    text += "0";
    for (int i = 0; i < inDepth; ++i) text += inClose;
    return text;
  };
  const std::string kTooDeep = "JSONParse: nesting deeper than 512 levels";
  for (const auto& [open, close, perLevel] : {std::make_tuple("[", "]", 1), std::make_tuple("{\"k\":", "}", 1),
                                              std::make_tuple("[{\"k\":", "}]", 2)}) {
    SCOPED_TRACE(open);
    const std::string deepest = nested(kJSONMaxDepth / perLevel, open, close);
    EXPECT_EQ(Reformat(deepest), deepest);
    EXPECT_EQ(ErrorOf(nested(kJSONMaxDepth / perLevel + 1, open, close)), kTooDeep);
  }
  // Deep enough to exhaust the stack without the limit.
  EXPECT_EQ(ErrorOf(std::string(1000000, '[')), kTooDeep);
  // Depth is counted per path, not in total.
  const std::string sibling = nested(kJSONMaxDepth - 1, "[", "]");
  EXPECT_EQ(ErrorOf("[" + sibling + "," + sibling + "]"), "");
}

}  // namespace
}  // namespace serialization
}  // namespace basalt
