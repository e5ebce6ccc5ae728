// Conversion rules of UTF8to16, UTF16to8, UTF16toStdString and AsciiToUTF16,
// run over the vector kernels of the public functions and over the portable
// ones. Every single code point, every overlong form and every form beyond
// U+10FFFF is checked against independent encoders in UnicodeConformanceTest;
// this file pins the rules for ill-formed text and the seams of the kernels.
#include <basalt/utility/UnicodeString.h>

#include "utility/UnicodeTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

using testing::Bytes;
using testing::Dump;
using testing::Kernels;
using testing::ModelUTF16to8;
using testing::Units;

const UnicodeErrorCode kOk = kUnicodeError_None;
const UnicodeErrorCode kCut = kUnicodeError_Truncated;
const UnicodeErrorCode kBad = kUnicodeError_IllegalSequence;

class UnicodeConversion : public ::testing::TestWithParam<const Kernels*> {
protected:
  UTF16String To16(const UTF8String& inText, UnicodeErrorCode* outError = nullptr,
                   std::uint64_t* outLength = nullptr) const {
    return GetParam()->mUTF8to16(inText, outError, outLength);
  }
  UTF8String To8(const UTF16String& inText) const { return GetParam()->mUTF16to8(inText); }
  UTF16String Ascii(const char* inText, std::uint64_t inLength) const {
    return GetParam()->mAsciiToUTF16(inText, inLength);
  }

  // Converts and checks units, outcome and reported length together.
  void ExpectDecode(const UTF8String& inText, const UTF16String& inUnits, UnicodeErrorCode inError) const {
    UnicodeErrorCode error = static_cast<UnicodeErrorCode>(-1);
    std::uint64_t length = 12345;
    const UTF16String result = To16(inText, &error, &length);
    EXPECT_TRUE(result == inUnits) << "input " << Dump(inText) << "\n gives " << Dump(result) << "\n not "
                                   << Dump(inUnits);
    EXPECT_EQ(error, inError) << "input " << Dump(inText);
    EXPECT_EQ(length, result.size()) << "input " << Dump(inText);
  }
  void ExpectAsModel(const UTF8String& inText) const {
    const testing::ModelDecode model = testing::ModelUTF8to16(inText);
    ExpectDecode(inText, model.mUnits, model.mError);
  }
};

// The UTF-8 form of each code point.
UTF8String Encode(const std::vector<unsigned>& inCodePoints) {
  UTF8String result;
  for (const unsigned cp : inCodePoints) {
    const int length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    static const unsigned kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    result.push_back(static_cast<unsigned char>(kLead[length] | (cp >> (6 * (length - 1)))));
    for (int k = length - 2; k >= 0; --k) {
      result.push_back(static_cast<unsigned char>(0x80 | ((cp >> (6 * k)) & 0x3F)));
    }
  }
  return result;
}

TEST_P(UnicodeConversion, UTF8to16Table) {
  struct Case {
    const char* mName;
    UTF8String mInput;
    UTF16String mUnits;
    UnicodeErrorCode mError;
  };
  const std::vector<Case> cases = {
      {"empty", Bytes({}), Units({}), kOk},
      {"ascii", Bytes("abc"), Units(u"abc"), kOk},
      {"surrogate encodings stay separate units", Bytes({0xED, 0xA0, 0x80, 0xED, 0xB0, 0x80}), Units({0xD800, 0xDC00}),
       kOk},
      {"byte-order mark is kept", Bytes({0xEF, 0xBB, 0xBF, 'x'}), Units({0xFEFF, 'x'}), kOk},
      {"NUL is an ordinary character", Bytes({'a', 0x00, 'b'}), Units({'a', 0, 'b'}), kOk},
      {"lead F5 short", Bytes({0xF5, 0x80, 0x80}), Units({}), kCut},
      {"five-byte lead", Bytes({'x', 0xF8, 0x88, 0x80, 0x80, 0x80}), Units({'x'}), kBad},
      {"five-byte lead short", Bytes({'x', 0xF8, 0x88, 0x80, 0x80}), Units({'x'}), kCut},
      {"six-byte lead", Bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}), Units({}), kBad},
      {"six-byte lead short", Bytes({0xFC, 0x84, 0x80, 0x80, 0x80}), Units({}), kCut},
      {"FF alone is short", Bytes({0xFF}), Units({}), kCut},
      {"FE with room", Bytes({0xFE, 'a', 'b', 'c', 'd', 'e'}), Units({}), kBad},
      {"C0 alone is short", Bytes({0xC0}), Units({}), kCut},
      {"lead after two-byte lead", Bytes({0xC3, 0xC3}), Units({}), kBad},
      {"ascii second byte after F4", Bytes({0xF4, 0x41, 0x80, 0x80}), Units({}), kBad},
      {"bad fourth byte", Bytes({0xF1, 0x80, 0x80, 0xC0}), Units({}), kBad},
      {"truncation wins over an illegal start", Bytes({0xE0, 0x80}), Units({}), kCut},
      {"prefix before the stop", Bytes({'a', 'b', 0xC3, 0xA9, 0xFF, 'c', 'd', 'e', 'f', 'g'}), Units({'a', 'b', 0xE9}),
       kBad},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    ExpectDecode(c.mInput, c.mUnits, c.mError);
  }
}

TEST_P(UnicodeConversion, UTF8to16OutParametersAreOptional) {
  const UTF8String input = Bytes({'a', 0xC3, 0xA9, 0xC3});
  const UTF16String full = Units({'a', 0xE9});
  ExpectDecode(input, full, kCut);
  UnicodeErrorCode error = kOk;
  std::uint64_t length = 0;
  EXPECT_EQ(Dump(To16(input)), Dump(full));
  EXPECT_EQ(Dump(To16(input, &error)), Dump(full));
  EXPECT_EQ(error, kCut);
  EXPECT_EQ(Dump(To16(input, nullptr, &length)), Dump(full));
  EXPECT_EQ(length, 2u);
}

// Texts for each kernel path: mixed sequences; runs of three-byte characters
// (decoded several at a time where possible); runs of one- and two-byte
// characters, pure and with longer ones and NULs among them. After ASCII
// lead-ins that move them across the block boundaries of the vector code and
// the stack-buffer size, and with and without a tail, each is cut at every
// byte, and has every byte replaced by bytes chosen to make a stray
// continuation, an overlong form, a surrogate, a value beyond U+10FFFF, a
// lead that is never legal, a missing continuation or another valid sequence.
// The result must be exactly what the plain model of the rules gives.
TEST_P(UnicodeConversion, EveryCutAndEverySubstitutionAsTheRulesSay) {
  const std::vector<UTF8String> texts = {
      Encode({'a', 0xE9, 0x4E2D, 0x1F600, 0x7F, 0xD800, 0x7FF, 0x10FFFF, 0xFFFF, 0, 'a', 0xE9, 0x4E2D, 0x1F600}),
      Encode({0x0800, 0x0915, 0x4E2D, 0x6587, 0xAC00, 0xD7FF, 0xE000, 0xFFFD, 0x3042, 0x0FFF, 0xDC00, 0x0800, 0x0915,
              0x4E2D, 0x6587, 0xAC00, 0xD7FF, 0xE000, 0xFFFD, 0x3042, 0x0FFF, 0xDC00, 0x0800, 0x0915}),
      Encode({0x0430, 'a', 0x00E9, 0x0431, 0x03B1, ' ', 0x07FF, 0x0080, 0x05D0, 'z', 0x00DF, 0x0430, 'a', 0x00E9, 0x0431,
              0x03B1, ' ', 0x07FF, 0x0080, 0x05D0, 'z', 0x00DF, 0x0430}),
      Encode({0x0430, 0x00E9, 0x20AC, 0x0431, 0x03B1, 0, 0x07FF, 0x0080, 0x05D0, 0x1F600, 0x00DF, 0x0430, 0x00E9, 'a',
              0x0431, 0x03B1}),
  };
  const unsigned char kSubstitutes[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                        0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xF8, 0xFC, 0xFF};
  for (const UTF8String& text : texts) {
    for (const std::size_t leadIn : {0u, 1u, 2u, 3u, 7u, 15u, 16u, 17u, 29u, 31u, 33u, 250u, 256u, 300u}) {
      for (const std::size_t tail : {0u, 40u}) {
        const UTF8String whole = UTF8String(leadIn, 'x') + text + UTF8String(tail, 'z');
        ExpectAsModel(whole);
        for (std::size_t at = leadIn; at < leadIn + text.size(); ++at) {
          SCOPED_TRACE("lead-in " + std::to_string(leadIn) + ", tail " + std::to_string(tail) + ", byte " +
                       std::to_string(at));
          if (tail == 0) ExpectAsModel(whole.substr(0, at));
          for (const unsigned char substitute : kSubstitutes) {
            UTF8String broken = whole;
            broken[at] = substitute;
            ExpectAsModel(broken);
          }
        }
      }
    }
  }
}

// A non-ASCII character, or a stray continuation byte, at every offset of
// ASCII runs of many lengths, both directions: the vector paths must hand over
// to the scalar ones exactly, and stop exactly, also beyond the stack buffer.
TEST_P(UnicodeConversion, NonAsciiAtEveryOffsetOfAsciiRuns) {
  const UTF8String stray = Bytes({0x80});
  std::vector<std::size_t> lengths = {257, 1000};
  for (std::size_t length = 0; length <= 70; ++length) lengths.push_back(length);
  for (const UTF8String& insert : {Encode({0xE9}), Encode({0x65E5}), Encode({0x1F3B5}), stray}) {
    for (const std::size_t length : lengths) {
      if (length > 70 && insert != stray) continue;
      for (std::size_t at = 0; at <= length; ++at) {
        SCOPED_TRACE("length " + std::to_string(length) + ", at " + std::to_string(at) + ", insert " + Dump(insert));
        UTF8String bytes;
        for (std::size_t i = 0; i < length; ++i) bytes.push_back(static_cast<unsigned char>('A' + i % 26));
        bytes.insert(at, insert);
        ExpectAsModel(bytes);
        const UTF16String units = To16(bytes);
        if (insert != stray) {
          EXPECT_TRUE(To8(units) == bytes) << Dump(units);
        }
      }
    }
  }
}

// Long inputs go through the measured path; an early stop must not leave the
// string holding room for the whole input.
TEST_P(UnicodeConversion, LongInputs) {
  UTF16String cjkUnits;
  for (int i = 0; i < 5000; ++i) cjkUnits.push_back(static_cast<UTF16Char>(0x4E00 + (i * 37) % 0x5000));
  const UTF8String cjk = ModelUTF16to8(cjkUnits);
  ExpectDecode(cjk, cjkUnits, kOk);
  EXPECT_EQ(Dump(To8(cjkUnits)), Dump(cjk));

  UTF8String early = cjk;
  early[31] = 0x20;  // breaks the eleventh character
  ExpectDecode(early, cjkUnits.substr(0, 10), kBad);
  EXPECT_LT(To16(early).capacity(), 1000u);
}

TEST_P(UnicodeConversion, UTF16to8Table) {
  struct Case {
    const char* mName;
    UTF16String mInput;
    UTF8String mBytes;
  };
  const std::vector<Case> cases = {
      {"empty", Units({}), Bytes({})},
      {"reversed pair", Units({0xDC00, 0xD800}), Bytes({0xED, 0xB0, 0x80, 0xED, 0xA0, 0x80})},
      {"leading surrogate before a pair", Units({0xD800, 0xD800, 0xDC00}),
       Bytes({0xED, 0xA0, 0x80, 0xF0, 0x90, 0x80, 0x80})},
      {"leading surrogate before ascii", Units({0xDBFF, 'a'}), Bytes({0xED, 0xAF, 0xBF, 'a'})},
      {"NUL ends the text", Units({'a', 'b', 0, 'c'}), Bytes("ab")},
      {"leading surrogate before NUL", Units({0xD800, 0, 0xDC00}), Bytes({0xED, 0xA0, 0x80})},
      {"three ascii units", Units(u"abc"), Bytes("abc")},
      {"four ascii units", Units(u"abcd"), Bytes("abcd")},
      {"three units, one not ascii", Units({'a', 0xE9, 'b'}), Bytes({'a', 0xC3, 0xA9, 'b'})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    EXPECT_EQ(Dump(To8(c.mInput)), Dump(c.mBytes));
  }
}

// NUL at every position of long texts, and pairs straddling every offset.
TEST_P(UnicodeConversion, UTF16to8NulAndPairsAtEveryOffset) {
  for (const std::size_t length : {40u, 300u}) {
    UTF16String text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<UTF16Char>(i % 5 == 4 ? 0x3B1 : 'a' + i % 7));
    for (std::size_t at = 0; at < length; ++at) {
      SCOPED_TRACE("length " + std::to_string(length) + ", at " + std::to_string(at));
      UTF16String cut = text;
      cut[at] = 0;
      EXPECT_EQ(Dump(To8(cut)), Dump(ModelUTF16to8(cut)));
      if (at + 1 == length) continue;
      UTF16String paired = text;
      paired[at] = 0xD834;
      paired[at + 1] = 0xDD1E;
      UTF16String lone = text;
      lone[at] = 0xDBC0;
      EXPECT_EQ(Dump(To8(paired)), Dump(ModelUTF16to8(paired)));
      EXPECT_EQ(Dump(To8(lone)), Dump(ModelUTF16to8(lone)));
    }
  }
}

TEST_P(UnicodeConversion, AsciiToUTF16WidensSigned) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  // Several lengths, so the vector loop and its scalar tail both see every byte.
  for (const std::size_t offset : {0u, 3u, 200u}) {
    const std::string input = all.substr(offset) + all.substr(0, offset);
    const UTF16String result = Ascii(input.data(), input.size());
    ASSERT_EQ(result.size(), input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
      const unsigned b = static_cast<unsigned char>(input[i]);
      EXPECT_EQ(static_cast<unsigned>(result[i]), b < 0x80 ? b : 0xFF00 | b) << "byte " << b;
    }
  }
  EXPECT_TRUE(Ascii("abc", 0).empty());
  EXPECT_TRUE(Ascii(nullptr, 0).empty());
  // A length no string can hold is refused before anything is read.
  try {
    Ascii("abc", ~std::uint64_t(0));
    ADD_FAILURE() << "no exception";
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), "string too long");
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, UnicodeConversion,
                         ::testing::Values(&testing::kPublicKernels, &testing::kPortableKernels),
                         [](const ::testing::TestParamInfo<const Kernels*>& inInfo) {
                           return std::string(inInfo.param->mName);
                         });

// ---------------------------------------------------------------------------
// Functions with a single implementation.
// ---------------------------------------------------------------------------

// The terminator search reads aligned blocks: every alignment and length, junk
// after the terminator, and a text long enough for many blocks.
TEST(UnicodeString, PointerUTF16to8AndUTF16StrLen) {
  const UTF16String text = Units({'h', 0xE9, 'l', 'l', 0x6F, ' ', 0xD83D, 0xDE00, ' ', 0x4E16, 0x754C, 0xD800, '!'});
  std::vector<UTF16Char> buffer(64 + text.size() * 4, 0x4141);
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length = 0; length <= text.size(); ++length) {
      SCOPED_TRACE("offset " + std::to_string(offset) + ", length " + std::to_string(length));
      std::fill(buffer.begin(), buffer.end(), 0x4141);
      std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length), buffer.begin() + offset);
      buffer[offset + length] = 0;
      EXPECT_EQ(Dump(UTF16to8(buffer.data() + offset)), Dump(UTF16to8(text.substr(0, length))));
      EXPECT_EQ(UTF16StrLen(buffer.data() + offset), static_cast<int>(length));
    }
  }
  UTF16String longText;
  for (int i = 0; i < 3000; ++i) longText.push_back(static_cast<UTF16Char>(i % 3 == 0 ? 0x00E4 : 'a' + i % 26));
  EXPECT_EQ(Dump(UTF16to8(longText.c_str())), Dump(UTF16to8(longText)));
  EXPECT_EQ(UTF16StrLen(longText.c_str()), 3000);
  EXPECT_TRUE(UTF16to8(static_cast<const UTF16Char*>(nullptr)).empty());
  EXPECT_EQ(UTF16StrLen(nullptr), 0);
}

TEST(UnicodeString, UTF16toStdStringStopsAtFirstNul) {
  struct Case {
    const char* mName;
    UTF16String mInput;
    std::string mExpected;
  };
  const std::vector<Case> cases = {
      {"empty", Units({}), ""},
      {"mixed", Units({'a', 0xE9, 0x4E2D, 0xD83D, 0xDE00}), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {"NUL inside", Units({'a', 0xE9, 0, 'b'}), "a\xC3\xA9"},
      {"lone surrogate", Units({0xDFFF}), "\xED\xBF\xBF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    EXPECT_EQ(UTF16toStdString(c.mInput), c.mExpected);
  }
  UTF16String longText(1000, u'\x3A9');
  longText[600] = 0;
  EXPECT_EQ(UTF16toStdString(longText).size(), 1200u);
}

TEST(UnicodeString, UnicodeSurrogate) {
  const struct {
    unsigned mUnit;
    UnicodeSurrogateT mExpected;
  } cases[] = {
      {0x0000, kUnicodeSurrogate_None},    {0xD7FF, kUnicodeSurrogate_None},     {0xD800, kUnicodeSurrogate_Leading},
      {0xDBFF, kUnicodeSurrogate_Leading}, {0xDC00, kUnicodeSurrogate_Trailing}, {0xDFFF, kUnicodeSurrogate_Trailing},
      {0xE000, kUnicodeSurrogate_None},    {0xFFFF, kUnicodeSurrogate_None},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mUnit);
    EXPECT_EQ(UnicodeSurrogate(static_cast<UTF16Char>(c.mUnit)), c.mExpected);
  }
  int leading = 0;
  int trailing = 0;
  for (unsigned u = 0; u <= 0xFFFF; ++u) {
    const UnicodeSurrogateT kind = UnicodeSurrogate(static_cast<UTF16Char>(u));
    leading += kind == kUnicodeSurrogate_Leading;
    trailing += kind == kUnicodeSurrogate_Trailing;
  }
  EXPECT_EQ(leading, 0x400);
  EXPECT_EQ(trailing, 0x400);
}

TEST(UnicodeString, LiteralMacros) {
  EXPECT_EQ(Dump(BSL_STR("Hello")), Dump(Units(u"Hello")));
  EXPECT_TRUE(BSL_STR("").empty());
  // The literal's full length is used, embedded NULs included.
  EXPECT_EQ(Dump(BSL_STR("a\0b")), Dump(Units({'a', 0, 'b'})));
  EXPECT_EQ(Dump(BSL_UTF8("Hello")), Dump(Bytes("Hello")));
  EXPECT_TRUE(BSL_UTF8("").empty());
  EXPECT_EQ(Dump(BSL_UTF8("a\0b")), Dump(Bytes("a")));
  const char* literal = "ptr";
  EXPECT_EQ(static_cast<const void*>(AsciiToUTF8Impl(literal)), static_cast<const void*>(literal));
}

// Mixed one-, two- and three-byte units with a pair, a reversed pair and
// repeated lead surrogates in one 16-unit block: an input that once kept an
// unfinished vector kernel from returning.
TEST(UnicodeString, MixedBlockWithBrokenPairsFinishes) {
  const UTF16String text = Units({0x0020, 0x00E9, 0x0061, 0x005A, 0x00E9, 0xDE00, 0x20AC, 0x07FF, 0x0061, 0x0800,
                                  0xFFFD, 0xDBFF, 0xDE00, 0xD83D, 0xD83D, 0x005A});
  const UTF8String bytes = UTF16to8(text);
  EXPECT_EQ(Dump(bytes), Dump(Bytes("\x20\xC3\xA9\x61\x5A\xC3\xA9\xED\xB8\x80\xE2\x82\xAC\xDF\xBF\x61\xE0\xA0\x80"
                                    "\xEF\xBF\xBD\xF4\x8F\xB8\x80\xED\xA0\xBD\xED\xA0\xBD\x5A")));
  UnicodeErrorCode outcome = kUnicodeError_IllegalSequence;
  EXPECT_EQ(Dump(UTF8to16(bytes, &outcome)), Dump(text));
  EXPECT_EQ(outcome, kUnicodeError_None);
}

}  // namespace
}  // namespace utility
}  // namespace basalt
