// Guid: components, byte and text forms, parsing through the stream
// operators, IsParsableGUIDString, and CreateUnique with its failure report.
#include <basalt/config/Errors.h>
#include <basalt/utility/Guid.h>
#include <basalt/utility/UTFStreams.h>

#include "utility/GuidInternal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

struct Components {
  std::uint32_t mData1;
  std::uint16_t mData2;
  std::uint16_t mData3;
  std::uint8_t mData4[8];

  Guid Make() const {
    return Guid(mData1, mData2, mData3, mData4[0], mData4[1], mData4[2], mData4[3], mData4[4], mData4[5], mData4[6],
                mData4[7]);
  }
  // The text form, printed independently of the library.
  std::string Text() const {
    char text[64];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", unsigned(mData1),
                  unsigned(mData2), unsigned(mData3), mData4[0], mData4[1], mData4[2], mData4[3], mData4[4], mData4[5],
                  mData4[6], mData4[7]);
    return text;
  }
  // The byte form: big-endian fields.
  std::vector<unsigned char> Bytes() const {
    std::vector<unsigned char> bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(mData1 >> shift));
    for (const std::uint16_t half : {mData2, mData3}) bytes.insert(bytes.end(), {std::uint8_t(half >> 8), std::uint8_t(half)});
    bytes.insert(bytes.end(), mData4, mData4 + 8);
    return bytes;
  }
};

const Components kSamples[] = {
    {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}},
    {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
    {0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {0xA0B1C2D3, 0x0E4F, 0x5061, {0x72, 0x83, 0x94, 0xA5, 0xB6, 0xC7, 0xD8, 0xE9}},
    {0x00000001, 0x0100, 0x0010, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}},
};

std::string Narrow(const UTF8String& inText) { return std::string(inText.begin(), inText.end()); }

// Reads guids through the given stream until a read fails, which must leave
// the value alone and happen only at the end of the text.
template <class Stream>
std::vector<Guid> ReadAll(Stream& ioStream) {
  const Guid untouched = kSamples[3].Make();
  std::vector<Guid> out;
  Guid guid = untouched;
  while (ioStream >> guid) out.push_back(guid);
  EXPECT_EQ(guid, out.empty() ? untouched : out.back());
  EXPECT_TRUE(ioStream.eof());
  return out;
}

// The same text through the narrow, UTF-8 and UTF-16 stream operators.
std::vector<std::vector<Guid>> ReadThrough3Streams(const std::string& inText) {
  std::istringstream narrow(inText);
  iUTF8StringStream utf8(UTF8String(inText.begin(), inText.end()));
  iUTF16StringStream utf16(UTF16String(inText.begin(), inText.end()));
  return {ReadAll(narrow), ReadAll(utf8), ReadAll(utf16)};
}

TEST(Guid, ComponentsBytesAndTextFormsAgree) {
  for (const Components& sample : kSamples) {
    const std::string text = sample.Text();
    SCOPED_TRACE(text);
    const Guid guid = sample.Make();
    EXPECT_EQ(Narrow(guid.AsUTF8String()), text);
    EXPECT_EQ(UTF16toStdString(guid.AsString()), text);
    std::ostringstream narrow;
    narrow << guid << ' ' << guid;
    EXPECT_EQ(narrow.str(), text + " " + text);
    oUTF8StringStream utf8;
    utf8 << guid;
    EXPECT_EQ(Narrow(utf8.str()), text);
    oUTF16StringStream utf16;
    utf16 << guid;
    EXPECT_EQ(UTF16toStdString(utf16.str()), text);
    for (const auto& result : ReadThrough3Streams(narrow.str())) EXPECT_EQ(result, std::vector<Guid>({guid, guid}));

    unsigned char bytes[16];
    Guid::GuidToBytes(guid, bytes);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 16), sample.Bytes());
    Guid back;
    Guid::GuidFromBytes(back, bytes);
    EXPECT_EQ(back, guid);

    Components out{};
    Guid::GuidToComponents(guid, out.mData1, out.mData2, out.mData3, out.mData4[0], out.mData4[1], out.mData4[2],
                           out.mData4[3], out.mData4[4], out.mData4[5], out.mData4[6], out.mData4[7]);
    EXPECT_EQ(out.Bytes(), sample.Bytes());
  }
  EXPECT_EQ(Narrow(kSamples[0].Make().AsUTF8String()), "01234567-89ab-cdef-0123-456789abcdef");
  EXPECT_EQ(Guid(), kSamples[1].Make());
}

TEST(Guid, EqualityAndOrderFollowTheBytes) {
  // The samples, and for each byte position a guid differing from nil there
  // alone: a comparison that skips a byte would show.
  std::vector<std::vector<unsigned char>> forms;
  for (const Components& sample : kSamples) forms.push_back(sample.Bytes());
  for (std::size_t i = 0; i < 16; ++i) {
    forms.emplace_back(16, 0);
    forms.back()[i] = 1;
  }
  for (const auto& a : forms) {
    for (const auto& b : forms) {
      SCOPED_TRACE(testing::PrintToString(a) + " vs " + testing::PrintToString(b));
      Guid guidA, guidB;
      Guid::GuidFromBytes(guidA, a.data());
      Guid::GuidFromBytes(guidB, b.data());
      EXPECT_EQ(guidA == guidB, a == b);
      EXPECT_EQ(guidA != guidB, a != b);
      EXPECT_EQ(guidA < guidB, a < b);
    }
  }
}

TEST(Guid, IsParsableLooksAtLengthAndDashesOnly) {
  const std::string good = "01234567-89ab-cdef-0123-456789abcdef";
  struct Case {
    std::string mText;
    bool mParsable;
  };
  const Case cases[] = {
      {"", false},
      {good.substr(0, 35), false},
      {good, true},
      {good + "trailing text", true},
      {"zzzzzzzz-zzzz-zzzz-zzzz-zzzzzzzzzzzz", true},
      {"{0123456-89ab-cdef-0123-456789abcdef", true},
      {"012345678-9ab-cdef-0123-456789abcdef", false},
      {"01234567-89ab-cdef-0123+456789abcdef", false},
      {"0123456789abcdef0123456789abcdef0123", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    EXPECT_EQ(Guid::IsParsableGUIDString(c.mText.c_str()), c.mParsable);
  }
  EXPECT_FALSE(Guid::IsParsableGUIDString(nullptr));
  // A terminator before the 36th character ends the text: nothing after it
  // counts, and nothing after it is read (AddressSanitizer would see it).
  std::vector<char> shortText(good.begin(), good.begin() + 30);
  shortText.push_back('\0');
  EXPECT_FALSE(Guid::IsParsableGUIDString(shortText.data()));
}

TEST(Guid, StreamsParseWordsLeniently) {
  const Guid sample = kSamples[0].Make();
  const Guid sample3 = kSamples[3].Make();
  struct Case {
    const char* mText;
    std::vector<Guid> mExpected;
  };
  const Case cases[] = {
      {"01234567-89ab-cdef-0123-456789abcdef", {sample}},
      {"01234567-89AB-CDEF-0123-456789ABCDEF", {sample}},
      {"  \t\n01234567-89ab-cdef-0123-456789abcdef\r\n", {sample}},
      {"01234567-89ab-cdef-0123-456789abcdef a0b1c2d3-0e4f-5061-7283-94a5b6c7d8e9", {sample, sample3}},
      // Beyond the 36th character nothing counts.
      {"01234567-89ab-cdef-0123-456789abcdefXYZ", {sample}},
      // Too short: nil; a word is still read.
      {"01234567-89ab-cdef-0123-456789abcde", {Guid()}},
      {"x", {Guid()}},
      // Non-digits count as 0, the separators are not checked.
      {"0123456g-89ab-cdef-0123-456789abcdef", {Guid(0x01234560, 0x89AB, 0xCDEF, 1, 0x23, 0x45, 0x67, 0x89, 0xAB,
                                                     0xCD, 0xEF)}},
      {"01234567_89ab_cdef_0123_456789abcdef", {sample}},
      {"zzzzzzzz-zzzz-zzzz-zzzz-zzzzzzzzzzzz", {Guid()}},
      // No word: the read fails and leaves the value alone (see ReadAll).
      {"", {}},
      {"   ", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    const auto results = ReadThrough3Streams(c.mText);
    for (std::size_t s = 0; s < results.size(); ++s) {
      SCOPED_TRACE(s == 0 ? "narrow" : s == 1 ? "UTF-8" : "UTF-16");
      EXPECT_EQ(results[s], c.mExpected);
    }
  }
}

TEST(Guid, UTF16WordsAreParsedAsTheirUTF8Bytes) {
  // U+00E9 takes two UTF-8 bytes and pushes every later digit one place on.
  UTF16String text = BSL_STR("01234567-89ab-cdef-0123-456789abcdef");
  text.insert(text.begin(), UTF16Char(0xE9));
  iUTF16StringStream in(text);
  std::istringstream narrow("\xC3\xA9" "01234567-89ab-cdef-0123-456789abcdef");
  const std::vector<Guid> expected = ReadAll(narrow);
  EXPECT_EQ(ReadAll(in), expected);
  EXPECT_NE(expected, std::vector<Guid>({kSamples[0].Make()}));
}

TEST(Guid, CreateUniqueMakesDistinctVersion4Identifiers) {
  std::set<Guid> seen;
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(seen.insert(Guid::CreateUnique()).second) << "repeated identifier";
  // Every identifier carries version 4 and variant 10; each of the other 122
  // bits should be set in some identifier and clear in another, so a stuck
  // bit would show here.
  unsigned char orBytes[16] = {};
  unsigned char andBytes[16];
  std::memset(andBytes, 0xFF, sizeof andBytes);
  for (const Guid& guid : seen) {
    unsigned char bytes[16];
    Guid::GuidToBytes(guid, bytes);
    for (int i = 0; i < 16; ++i) {
      orBytes[i] |= bytes[i];
      andBytes[i] &= bytes[i];
    }
  }
  for (int i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(orBytes[i], i == 6 ? 0x4F : i == 8 ? 0xBF : 0xFF);
    EXPECT_EQ(andBytes[i], i == 6 ? 0x40 : i == 8 ? 0x80 : 0x00);
  }
}

struct Report {
  config::ErrorLevel mLevel;
  std::string mKey;
  std::uint32_t mGroup;
  std::int32_t mNumber;
  bool mReport;
  bool mValuesEmpty;
};

struct GuidReported {};

class RecordingManager : public config::ErrorManager {
public:
  explicit RecordingManager(bool inThrow) : mThrow(inThrow), mPrevious(Get(true)) { Set(this); }
  ~RecordingManager() override { Set(mPrevious); }
  void ThrowErrorImpl(config::ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup, std::int32_t inNumber,
                      bool inReport, const config::ReplacementValue& in1, const config::ReplacementValue& in2,
                      const config::ReplacementValue& in3, const config::ReplacementValue& in4) const override {
    bool empty = true;
    for (const auto* value : {&in1, &in2, &in3, &in4}) empty &= value->GetKind() == config::ReplacementValue::kKind_None;
    mReports.push_back({inLevel, inKey, inGroup, inNumber, inReport, empty});
    if (mThrow) throw GuidReported();
  }
  mutable std::vector<Report> mReports;

private:
  bool mThrow;
  config::ErrorManager* mPrevious;
};

// A source that fails after writing part of what it was asked for.
bool FailingSource(unsigned char* outBytes, std::size_t inCount) {
  std::memset(outBytes, 0xAB, inCount / 2);
  return false;
}

class ScRandomSource {
public:
  explicit ScRandomSource(internal::RandomSource inSource)
      : mPrevious(internal::SetRandomSourceForTesting(inSource)) {}
  ~ScRandomSource() { internal::SetRandomSourceForTesting(mPrevious); }

private:
  internal::RandomSource mPrevious;
};

// A failing source is reported once; a host that throws gets its exception
// through, one that returns gets nil, and the system's source is back after.
TEST(GuidCreateUnique, SourceFailureIsReported) {
  for (const bool hostThrows : {true, false}) {
    SCOPED_TRACE(hostThrows ? "host throws" : "host returns");
    RecordingManager manager(hostThrows);
    {
      ScRandomSource failing(&FailingSource);
      if (hostThrows) {
        EXPECT_THROW(Guid::CreateUnique(), GuidReported);
      } else {
        EXPECT_EQ(Guid::CreateUnique(), Guid());
      }
    }
    ASSERT_EQ(manager.mReports.size(), 1u);
    const Report& report = manager.mReports[0];
    EXPECT_EQ(report.mLevel, config::kErrorLevelNonFatal);
    EXPECT_EQ(report.mKey, "$$$/basalt/utility/Error/CouldntCreateGUID=Couldn't create Guid.");
    EXPECT_EQ(report.mGroup, 105u);
    EXPECT_EQ(report.mNumber, 27);
    EXPECT_TRUE(report.mReport);
    EXPECT_TRUE(report.mValuesEmpty);
    EXPECT_NE(Guid::CreateUnique(), Guid());
    EXPECT_EQ(manager.mReports.size(), 1u);
  }
}

TEST(GuidCreateUnique, SystemSourceFillsEveryByte) {
  // Large enough to need more than one read on some kernels.
  std::vector<unsigned char> bytes(1 << 20, 0);
  ASSERT_TRUE(internal::ReadSystemRandom(bytes.data(), bytes.size()));
  std::size_t zeros = 0;
  for (unsigned char b : bytes) zeros += b == 0;
  // About 1/256 of random bytes are zero; a short fill would leave far more.
  EXPECT_LT(zeros, bytes.size() / 128);
  EXPECT_TRUE(internal::ReadSystemRandom(bytes.data(), 0));
}

}  // namespace
}  // namespace utility
}  // namespace basalt
