// GetJSONUTF8String and GetJSONString byte for byte, the double format
// against printf, and round trips of parsed text and of generated trees.
#include <basalt/serialization/JSON.h>

#include "serialization/JSONInternal.h"
#include "serialization/JSONTestSupport.h"

#include <basalt/utility/UnicodeString.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <utility>

namespace basalt {
namespace serialization {
namespace {

using namespace testing;

TEST(JSONWrite, Scalars) {
  const double kInf = std::numeric_limits<double>::infinity();
  const std::pair<boost::any, std::string> cases[] = {
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {static_cast<unsigned long long>(7), "7"},
      {static_cast<long long>(-7), "-7"},
      {0.1, "0.10000000000000001"},
      {100.0, "100"},
      {1e300, "1.0000000000000001e+300"},
      {-0.0, "-0"},
      {1e17, "1e+17"},
      {-2e-10 / 3, "-6.6666666666666669e-11"},
      {kInf, "null"},
      {std::nan(""), "null"},
      {true, "true"},
      {false, "false"},
      {boost::any(), ""},
      {42, "<ERROR>"},
      {G_NullType, "<ERROR>"},
      {U8("\x01/\xC3\xA9\x7F"), "\"\x01/\xC3\xA9\x7F\""},
      {U8("\b\t\n\f\r\"\\\x0B"), "\"\\b\\t\\n\\f\\r\\\"\\\\\x0B\""},
      {U8(std::string("ab\0cd", 5)), "\"ab\""},
  };
  for (const auto& [value, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Write(value), text);
  }
}

TEST(JSONWrite, Containers) {
  JSONObject object;
  object[U8("b")] = Shared(std::uint64_t(1));
  object[U8("a")] = Shared(std::uint64_t(2));
  object[U8("\xC3\xA9")] = Shared(boost::any());  // sorts after every ASCII name
  object[U8("B")] = JSONValuePtr();
  JSONArray array = {Shared(boost::any()), JSONValuePtr(), Shared(object), Shared(JSONArray()), Shared(JSONObject())};
  const std::string expected = "[null,null,{\"B\":null,\"a\":2,\"b\":1,\"\xC3\xA9\":null},[],{}]";
  EXPECT_EQ(Write(array), expected);
  EXPECT_EQ(GetJSONString(array, true), utility::UTF8to16(U8(expected)));
}

TEST(JSONWrite, DoublesAsPrintfWritesThem) {
  // Under a decimal-comma locale: the writer must not follow it.
  const std::string before = std::setlocale(LC_NUMERIC, nullptr);
  const bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  EXPECT_EQ(Write(0.5), "0.5");
  std::setlocale(LC_NUMERIC, "C");
  auto check = [](double inValue) {
    char expected[64], actual[internal::kFormatDoubleSpace];
    std::snprintf(expected, sizeof expected, "%1.*lg", 17, inValue);
    *internal::FormatDouble(inValue, actual) = 0;
    ASSERT_STREQ(actual, expected) << std::hexfloat << inValue;
  };
  std::mt19937_64 random(20240601);
  for (int i = 0; i < 300000; ++i) {
    std::uint64_t bits = random();
    // Every other one with an exponent of everyday numbers, 2^-12 to 2^57.
    if (i % 2) bits = (bits & 0x800FFFFFFFFFFFFFull) | (static_cast<std::uint64_t>(1011 + random() % 70) << 52);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) check(value);
  }
  // Ties at the 17th digit (to even), and the edges of the digit count.
  for (const double value : {1234567890123456.75, 1234567890123456.25, 0.001953125, 0.0019531249999999998,
                             9999999999999998.0, 18014398509481982.0, 18014398509481984.0, 9.9999999999999995e-3,
                             5e-324, 0.0, 123456.0})
    check(value);
  std::setlocale(LC_NUMERIC, before.c_str());
  if (!comma) GTEST_SKIP() << "de_DE.UTF-8 missing (scripts/install-deps.sh generates it)";
}

// Written text parses back to an equal tree; after one normalisation (1e2
// becomes 100) the text is a fixed point.
TEST(JSONWrite, RoundTripsOfText) {
  const char* const texts[] = {
      R"({"s":"\"\\\/\b\f\n\r\t\u0001\u00e9\ud83d\ude00\udfff","n":[0.1,1e2,-0,-0.0e5,1e-400,12345678901234567890]})",
      R"({"deep":[[[[{"k":[{}]}]]]],"e":[],"o":{},"t":[true,false,null]})",
      R"([18446744073709551615,-9223372036854775808,18446744073709551616,2.2250738585072014e-308,1e21,1e-7])",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const JSONValuePtr first = Parse(text);
    const std::string written = Write(*first);
    EXPECT_TRUE(SameValue(first, Parse(written))) << written;
    EXPECT_EQ(Reformat(Reformat(written)), Reformat(written));
  }
  EXPECT_EQ(Reformat("1e2"), "100");
  EXPECT_EQ(Parse("100")->type(), typeid(std::uint64_t));
  EXPECT_EQ(Reformat(R"({"b":1,"a":2})"), R"({"a":2,"b":1})");
}

// Random trees of every kind, written and parsed back, are equal.
TEST(JSONWrite, RoundTripsOfGeneratedTrees) {
  std::mt19937_64 random(7);
  auto text = [&random] {
    UTF8String bytes;  // any byte but NUL, which ends a string for the writer
    for (std::uint64_t n = random() % 12; n > 0; --n) bytes.push_back(static_cast<unsigned char>(1 + random() % 255));
    return bytes;
  };
  std::function<JSONValuePtr(int)> make = [&](int inDepth) -> JSONValuePtr {
    switch (random() % (inDepth > 0 ? 8 : 6)) {
      case 0: return Shared(std::uint64_t(random() >> (random() % 64)));
      case 1: return Shared(-static_cast<std::int64_t>(random() >> (1 + random() % 63)) - 1);
      case 2: {
        const std::uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return Shared(std::isfinite(value) ? value : 0.25);
      }
      case 3: return Shared(text());
      case 4: return random() % 2 ? Shared(random() % 2 == 0) : Shared(boost::any());
      case 5: return Shared(static_cast<double>(static_cast<std::int32_t>(random())) / 64.0);
      case 6: {
        JSONArray array;
        for (std::uint64_t n = random() % 6; n > 0; --n) array.push_back(make(inDepth - 1));
        return Shared(array);
      }
      default: {
        JSONObject object;
        for (std::uint64_t n = random() % 6; n > 0; --n) object[text()] = make(inDepth - 1);
        return Shared(object);
      }
    }
  };
  for (int i = 0; i < 2000; ++i) {
    const JSONValuePtr tree = make(5);
    const UTF8String written = GetJSONUTF8String(*tree);
    SCOPED_TRACE(Narrow(written));
    const JSONValuePtr back = JSONParse(written);
    EXPECT_EQ(static_cast<bool>(back), !tree->empty());
    if (back) {
      EXPECT_TRUE(SameValue(tree, back));
    }
  }
}

}  // namespace
}  // namespace serialization
}  // namespace basalt
