// Base64 of binary data and of UTF-16 text: RFC 4648 vectors, round trips,
// and every leniency of the decoder.
#include <basalt/utility/Base64.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

typedef std::vector<unsigned char, SmallBlockAllocator::STLAllocator<unsigned char>> ByteVector;

UTF8String U8(const std::string& inText) { return UTF8String(inText.begin(), inText.end()); }
std::string Narrow(const UTF8String& inText) { return std::string(inText.begin(), inText.end()); }
std::string Narrow(const ByteVector& inBytes) { return std::string(inBytes.begin(), inBytes.end()); }

std::string Encode(const std::string& inData) {
  UTF8String text = BSL_UTF8("stale");
  EXPECT_TRUE(EncodeBinaryDataToUTF8String(reinterpret_cast<const unsigned char*>(inData.data()), inData.size(), text));
  return Narrow(text);
}

TEST(Base64, PublishedVectorsBothWays) {
  // RFC 4648 section 10, and the classic "Man".
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},           {"f", "Zg=="},          {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"M", "TQ=="},
      {"Ma", "TWE="},     {"Man", "TWFu"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.first);
    EXPECT_EQ(Encode(v.first), v.second);
    ByteVector bytes = {9, 9};
    EXPECT_TRUE(DecodeBinaryDataFromUTF8String(U8(v.second), bytes));
    EXPECT_EQ(Narrow(bytes), v.first);
  }
  // Every byte value and the whole alphabet.
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  const std::string text = Encode(all);
  EXPECT_EQ(text.substr(0, 12), "AAECAwQFBgcI");
  EXPECT_EQ(text.substr(text.size() - 8), "/P3+/w==");
}

TEST(Base64, RoundTripAndLengthForAllSizes) {
  std::mt19937 engine(7);
  for (std::size_t length = 0; length <= 300; ++length) {
    SCOPED_TRACE(length);
    std::string data(length, '\0');
    for (char& c : data) c = static_cast<char>(engine());
    const std::string text = Encode(data);
    EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    ByteVector bytes;
    ASSERT_TRUE(DecodeBinaryDataFromUTF8String(U8(text), bytes));
    EXPECT_EQ(Narrow(bytes), data);
  }
}

TEST(Base64, DecoderLeniencies) {
  struct Case {
    std::string mText;
    bool mGood;
    std::string mBytes;
  };
  const Case cases[] = {
      {"TW Fu", true, "Man"},
      {" \tT\nW\rF\fu\v ", true, "Man"},
      {"TWFu\r\nTWFu\r\n", true, "ManMan"},
      // Missing padding: the end stands for empty positions.
      {"TQ", true, "M"},
      {"TWE", true, "Ma"},
      {"T", true, ""},
      // Concatenated texts decode on after padding.
      {"TQ==TWE=", true, "MMa"},
      {"TQ= =TWFu", true, "MMan"},
      // Empty first or second position: nothing; empty third: one byte.
      {"=TWF", true, ""},
      {"T===", true, ""},
      {"====", true, ""},
      {"TQ=u", true, "M"},
      // Bits beyond the last whole byte are dropped.
      {"TR==", true, "M"},
      {"TWF=", true, "Ma"},
      // The text ends at its first NUL.
      {std::string("TWFu\0!!!!", 9), true, "Man"},
      {std::string("TW\0Fu", 5), true, "M"},
      {std::string("\0TWFu", 5), true, ""},
      // Anything else fails.
      {"TW!u", false, ""},
      {"TWFu-", false, ""},
      {"TWFu_", false, ""},
      {"TWFu.", false, ""},
      {"TWFu\xC3\xA9", false, ""},
      {"TWFuTWFuTWFu@", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.mText));
    ByteVector bytes = {1, 2, 3};
    EXPECT_EQ(DecodeBinaryDataFromUTF8String(U8(c.mText), bytes), c.mGood);
    EXPECT_EQ(Narrow(bytes), c.mBytes);
  }
}

TEST(Base64, InvalidCharacterAnywhereFails) {
  const std::string text = "Zm9vYmFyZm9vYmFy";
  for (std::size_t i = 0; i <= text.size(); ++i) {
    for (const char bad : {'!', '*', '-', '\x80', '\xFF', '\x7F'}) {
      std::string broken = text;
      broken.insert(broken.begin() + static_cast<std::ptrdiff_t>(i), bad);
      SCOPED_TRACE(testing::PrintToString(broken));
      ByteVector bytes = {1};
      EXPECT_FALSE(DecodeBinaryDataFromUTF8String(U8(broken), bytes));
      EXPECT_TRUE(bytes.empty());
    }
  }
}

TEST(Base64UTF16, EncodesLittleEndianUnits) {
  EXPECT_EQ(EncodeUTF16ToAscii(BSL_STR("A")), "QQA=");
  EXPECT_EQ(EncodeUTF16ToAscii(UTF16String()), "");
  // U+20AC is AC 20, U+1F600 the pair D83D DE00: 3D D8 00 DE.
  EXPECT_EQ(EncodeUTF16ToAscii(UTF16String(u"\u20AC")), Encode(std::string("\xAC\x20", 2)));
  EXPECT_EQ(EncodeUTF16ToAscii(UTF16String(u"\U0001F600")), Encode(std::string("\x3D\xD8\x00\xDE", 4)));
}

TEST(Base64UTF16, RoundTrips) {
  std::mt19937 engine(8);
  std::vector<UTF16String> samples = {UTF16String(), BSL_STR("A"), BSL_STR("Hello, world"),
                                      UTF16String(u"\u00E9\u4E2D\U0001F600"),
                                      UTF16String({UTF16Char(0), UTF16Char(0xFFFF), UTF16Char(0xD800)})};
  for (int n = 1; n < 40; ++n) {
    UTF16String s(static_cast<std::size_t>(n), u'\0');
    for (UTF16Char& u : s) u = static_cast<UTF16Char>(engine());
    samples.push_back(s);
  }
  for (const UTF16String& s : samples) {
    SCOPED_TRACE(s.size());
    const std::string text = EncodeUTF16ToAscii(s);
    EXPECT_EQ(text.size(), (s.size() * 2 + 2) / 3 * 4);
    EXPECT_EQ(DecodeUTF16FromAscii(text), s);
  }
}

TEST(Base64UTF16, DecodingEdgeCases) {
  EXPECT_EQ(DecodeUTF16FromAscii(""), UTF16String());
  EXPECT_EQ(DecodeUTF16FromAscii("QQ B\nC"), BSL_STR("A"));  // bytes 41 00 42: the odd byte is dropped
  EXPECT_EQ(DecodeUTF16FromAscii("QQ=="), UTF16String());    // one byte: no whole unit
  EXPECT_EQ(DecodeUTF16FromAscii("QQA!"), UTF16String());    // not Base64
}

}  // namespace
}  // namespace utility
}  // namespace basalt
