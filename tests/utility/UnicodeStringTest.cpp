// Conversion rules of UTF8to16, UTF16to8, UTF16toStdString and AsciiToUTF16,
// run over the vector kernels of the public functions and over the portable
// ones.
#include <basalt/utility/UnicodeString.h>

#include "utility/UnicodeTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

using testing::Bytes;
using testing::Dump;
using testing::Kernels;
using testing::Units;

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
    EXPECT_EQ(Dump(result), Dump(inUnits)) << "input " << Dump(inText);
    EXPECT_EQ(error, inError) << "input " << Dump(inText);
    EXPECT_EQ(length, result.size()) << "input " << Dump(inText);
  }
};

// A piece of text with its UTF-8 bytes and the UTF-16 units it gives.
struct Piece {
  UTF8String mBytes;
  UTF16String mUnits;
};

const std::vector<Piece>& SamplePieces() {
  static const std::vector<Piece> pieces = {
      {Bytes({'a'}), Units({'a'})},
      {Bytes({0xC3, 0xA9}), Units({0xE9})},
      {Bytes({0xE4, 0xB8, 0xAD}), Units({0x4E2D})},
      {Bytes({0xF0, 0x9F, 0x98, 0x80}), Units({0xD83D, 0xDE00})},
      {Bytes({0x7F}), Units({0x7F})},
      {Bytes({0xED, 0xA0, 0x80}), Units({0xD800})},
      {Bytes({0xDF, 0xBF}), Units({0x7FF})},
      {Bytes({0xF4, 0x8F, 0xBF, 0xBF}), Units({0xDBFF, 0xDFFF})},
      {Bytes({0xEF, 0xBF, 0xBF}), Units({0xFFFF})},
      {Bytes({0x00}), Units({0x0000})},
  };
  return pieces;
}

// The announced sequence length of a lead byte.
std::size_t AnnouncedLength(unsigned inLead) {
  return inLead < 0xC0 ? 1 : inLead < 0xE0 ? 2 : inLead < 0xF0 ? 3 : inLead < 0xF8 ? 4 : inLead < 0xFC ? 5 : 6;
}

TEST_P(UnicodeConversion, UTF8to16Table) {
  struct Case {
    const char* mName;
    UTF8String mInput;
    UTF16String mUnits;
    UnicodeErrorCode mError;
  };
  const UnicodeErrorCode ok = kUnicodeError_None;
  const UnicodeErrorCode cut = kUnicodeError_Truncated;
  const UnicodeErrorCode bad = kUnicodeError_IllegalSequence;
  const std::vector<Case> cases = {
      {"empty", Bytes({}), Units({}), ok},
      {"ascii", Bytes("abc"), Units(u"abc"), ok},
      {"two-byte", Bytes({0xC3, 0xA9}), Units({0xE9}), ok},
      {"four-byte", Bytes({0xF0, 0x9F, 0x98, 0x80}), Units({0xD83D, 0xDE00}), ok},
      {"truncated two-byte after ascii", Bytes({0x61, 0xC3}), Units({'a'}), cut},
      {"overlong two-byte", Bytes({0x61, 0xC0, 0x80}), Units({'a'}), bad},
      {"surrogate encoding accepted", Bytes({0xED, 0xA0, 0x80}), Units({0xD800}), ok},
      {"trailing surrogate encoding", Bytes({0xED, 0xBF, 0xBF}), Units({0xDFFF}), ok},
      {"surrogate encodings stay separate units", Bytes({0xED, 0xA0, 0x80, 0xED, 0xB0, 0x80}), Units({0xD800, 0xDC00}),
       ok},
      {"last before surrogates", Bytes({0xED, 0x9F, 0xBF}), Units({0xD7FF}), ok},
      {"smallest two-byte", Bytes({0xC2, 0x80}), Units({0x80}), ok},
      {"largest two-byte", Bytes({0xDF, 0xBF}), Units({0x7FF}), ok},
      {"smallest three-byte", Bytes({0xE0, 0xA0, 0x80}), Units({0x800}), ok},
      {"overlong three-byte", Bytes({0xE0, 0x9F, 0xBF}), Units({}), bad},
      {"largest three-byte", Bytes({0xEF, 0xBF, 0xBF}), Units({0xFFFF}), ok},
      {"byte-order mark is kept", Bytes({0xEF, 0xBB, 0xBF, 'x'}), Units({0xFEFF, 'x'}), ok},
      {"smallest four-byte", Bytes({0xF0, 0x90, 0x80, 0x80}), Units({0xD800, 0xDC00}), ok},
      {"overlong four-byte", Bytes({0xF0, 0x8F, 0xBF, 0xBF}), Units({}), bad},
      {"largest code point", Bytes({0xF4, 0x8F, 0xBF, 0xBF}), Units({0xDBFF, 0xDFFF}), ok},
      {"above U+10FFFF", Bytes({0xF4, 0x90, 0x80, 0x80}), Units({}), bad},
      {"lead F5", Bytes({0xF5, 0x80, 0x80, 0x80}), Units({}), bad},
      {"lead F5 short", Bytes({0xF5, 0x80, 0x80}), Units({}), cut},
      {"five-byte lead", Bytes({'x', 0xF8, 0x88, 0x80, 0x80, 0x80}), Units({'x'}), bad},
      {"five-byte lead short", Bytes({'x', 0xF8, 0x88, 0x80, 0x80}), Units({'x'}), cut},
      {"six-byte lead", Bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}), Units({}), bad},
      {"six-byte lead short", Bytes({0xFC, 0x84, 0x80, 0x80, 0x80}), Units({}), cut},
      {"FF alone is short", Bytes({0xFF}), Units({}), cut},
      {"FE with room", Bytes({0xFE, 'a', 'b', 'c', 'd', 'e'}), Units({}), bad},
      {"continuation as lead", Bytes({'a', 0x80, 'b'}), Units({'a'}), bad},
      {"BF as lead", Bytes({0xBF}), Units({}), bad},
      {"C0 alone is short", Bytes({0xC0}), Units({}), cut},
      {"C1 with room", Bytes({0xC1, 0xBF}), Units({}), bad},
      {"ascii after two-byte lead", Bytes({0xC3, 0x41}), Units({}), bad},
      {"lead after two-byte lead", Bytes({0xC3, 0xC3}), Units({}), bad},
      {"bad third byte", Bytes({0xE1, 0x80, 0x41}), Units({}), bad},
      {"bad second byte", Bytes({0xE1, 0x41, 0x80}), Units({}), bad},
      {"ascii second byte after ED", Bytes({0xED, 0x41, 0x80}), Units({}), bad},
      {"ascii second byte after F4", Bytes({0xF4, 0x41, 0x80, 0x80}), Units({}), bad},
      {"ascii second byte after F0", Bytes({0xF0, 0x41, 0x80, 0x80}), Units({}), bad},
      {"bad fourth byte", Bytes({0xF1, 0x80, 0x80, 0xC0}), Units({}), bad},
      {"three-byte lead alone", Bytes({0xE2}), Units({}), cut},
      {"three-byte cut after two", Bytes({0xE2, 0x82}), Units({}), cut},
      {"four-byte cut after three", Bytes({'z', 0xF0, 0x9F, 0x98}), Units({'z'}), cut},
      {"truncation wins over an illegal start", Bytes({0xE0, 0x80}), Units({}), cut},
      {"NUL is an ordinary character", Bytes({'a', 0x00, 'b'}), Units({'a', 0, 'b'}), ok},
      {"prefix before the stop", Bytes({'a', 'b', 0xC3, 0xA9, 0xFF, 'c', 'd', 'e', 'f', 'g'}), Units({'a', 'b', 0xE9}),
       bad},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    ExpectDecode(c.mInput, c.mUnits, c.mError);
  }
}

TEST_P(UnicodeConversion, UTF8to16OutParametersAreOptional) {
  const UTF8String input = Bytes({'a', 0xC3, 0xA9, 0xC3});
  UnicodeErrorCode error = kUnicodeError_None;
  std::uint64_t length = 0;
  const UTF16String full = To16(input, &error, &length);
  EXPECT_EQ(error, kUnicodeError_Truncated);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(Dump(To16(input)), Dump(full));
  EXPECT_EQ(Dump(To16(input, &error)), Dump(full));
  EXPECT_EQ(Dump(To16(input, nullptr, &length)), Dump(full));
  EXPECT_EQ(length, 2u);
}

// Every cut of a text made of whole sequences: a cut at a boundary converts
// cleanly, a cut inside a sequence reports truncation, and the units of all
// sequences before the cut are kept. The ASCII lead-ins move the text across
// block boundaries of the vector code and across the stack-buffer size.
TEST_P(UnicodeConversion, TruncationAtEveryPosition) {
  const auto& pieces = SamplePieces();
  for (const std::size_t leadIn : {0u, 1u, 7u, 15u, 16u, 17u, 31u, 33u, 250u, 256u, 300u}) {
    UTF8String text(leadIn, 'x');
    UTF16String units(leadIn, u'x');
    std::vector<std::size_t> boundaries{leadIn};
    std::vector<std::size_t> unitsAt{leadIn};
    for (int round = 0; round < 2; ++round) {
      for (const auto& piece : pieces) {
        text += piece.mBytes;
        units += piece.mUnits;
        boundaries.push_back(text.size());
        unitsAt.push_back(units.size());
      }
    }
    for (std::size_t cut = leadIn; cut <= text.size(); ++cut) {
      SCOPED_TRACE("lead-in " + std::to_string(leadIn) + ", cut " + std::to_string(cut));
      std::size_t whole = 0;
      while (whole + 1 < boundaries.size() && boundaries[whole + 1] <= cut) ++whole;
      const bool atBoundary = boundaries[whole] == cut;
      ExpectDecode(text.substr(0, cut), units.substr(0, unitsAt[whole]),
                   atBoundary ? kUnicodeError_None : kUnicodeError_Truncated);
    }
  }
}

// Every byte of every sequence replaced by something illegal there.
TEST_P(UnicodeConversion, IllegalByteAtEveryPosition) {
  const auto& pieces = SamplePieces();
  for (const std::size_t leadIn : {0u, 5u, 16u, 29u, 260u}) {
    for (const std::size_t tail : {0u, 8u, 40u}) {
      UTF8String text(leadIn, 'y');
      UTF16String units(leadIn, u'y');
      std::vector<std::size_t> starts;
      std::vector<std::size_t> unitsBefore;
      for (const auto& piece : pieces) {
        starts.push_back(text.size());
        unitsBefore.push_back(units.size());
        text += piece.mBytes;
        units += piece.mUnits;
      }
      text.append(tail, 'z');
      for (std::size_t p = 0; p < pieces.size(); ++p) {
        const std::size_t length = pieces[p].mBytes.size();
        for (std::size_t k = 0; k < length; ++k) {
          // A lead becomes a stray continuation byte or a six-byte lead; a
          // continuation byte becomes ASCII or a lead.
          const std::vector<int> substitutes =
              k == 0 ? std::vector<int>{0x80, 0xBF, 0xC1, 0xF5, 0xFF} : std::vector<int>{0x41, 0x00, 0xC0, 0xE0};
          for (const int substitute : substitutes) {
            UTF8String broken = text;
            broken[starts[p] + k] = static_cast<unsigned char>(substitute);
            SCOPED_TRACE("lead-in " + std::to_string(leadIn) + ", tail " + std::to_string(tail) + ", piece " +
                         std::to_string(p) + ", byte " + std::to_string(k) + ", substitute " +
                         std::to_string(substitute));
            UnicodeErrorCode expected = kUnicodeError_IllegalSequence;
            if (k == 0 && starts[p] + AnnouncedLength(static_cast<unsigned>(substitute)) > broken.size())
              expected = kUnicodeError_Truncated;
            ExpectDecode(broken, units.substr(0, unitsBefore[p]), expected);
          }
        }
      }
    }
  }
}

// A non-ASCII character at every offset of ASCII runs of many lengths, both
// directions: the vector paths must hand over to the scalar ones exactly.
TEST_P(UnicodeConversion, NonAsciiAtEveryOffsetOfAsciiRuns) {
  const std::vector<Piece> inserts = {
      {Bytes({0xC3, 0xA9}), Units({0xE9})},
      {Bytes({0xE6, 0x97, 0xA5}), Units({0x65E5})},
      {Bytes({0xF0, 0x9F, 0x8E, 0xB5}), Units({0xD83C, 0xDFB5})},
  };
  for (const auto& insert : inserts) {
    for (std::size_t length = 0; length <= 70; ++length) {
      for (std::size_t at = 0; at <= length; ++at) {
        SCOPED_TRACE("length " + std::to_string(length) + ", at " + std::to_string(at) + ", insert " +
                     Dump(insert.mBytes));
        UTF8String bytes;
        UTF16String units;
        for (std::size_t i = 0; i < length; ++i) {
          if (i == at) {
            bytes += insert.mBytes;
            units += insert.mUnits;
          }
          bytes.push_back(static_cast<unsigned char>('A' + i % 26));
          units.push_back(static_cast<UTF16Char>('A' + i % 26));
        }
        if (at == length) {
          bytes += insert.mBytes;
          units += insert.mUnits;
        }
        ExpectDecode(bytes, units, kUnicodeError_None);
        EXPECT_EQ(Dump(To8(units)), Dump(bytes));
      }
    }
  }
}

// Runs of three-byte characters (decoded several at a time where possible)
// with one character replaced by a fault, or by a valid oddity, at every
// index and every alignment.
TEST_P(UnicodeConversion, FaultsInsideThreeByteRuns) {
  auto encode = [](unsigned cp) {
    return Bytes({static_cast<int>(0xE0 | (cp >> 12)), static_cast<int>(0x80 | ((cp >> 6) & 0x3F)),
                  static_cast<int>(0x80 | (cp & 0x3F))});
  };
  const unsigned run[] = {0x0800, 0x0915, 0x4E2D, 0x6587, 0xAC00, 0xD7FF, 0xE000, 0xFFFD, 0x3042, 0x0FFF};
  struct Replacement {
    const char* mName;
    UTF8String mBytes;
    UTF16String mUnits;  // what it gives before any stop
    UnicodeErrorCode mError;
  };
  const std::vector<Replacement> replacements = {
      {"overlong E0", Bytes({0xE0, 0x9F, 0xBF}), Units({}), kUnicodeError_IllegalSequence},
      {"bad second byte", Bytes({0xE5, 0x41, 0x80}), Units({}), kUnicodeError_IllegalSequence},
      {"bad third byte", Bytes({0xE5, 0x80, 0xC0}), Units({}), kUnicodeError_IllegalSequence},
      {"two-byte character and a stray byte", Bytes({0xC3, 0x80, 0x80}), Units({0xC0}), kUnicodeError_IllegalSequence},
      {"encoded surrogate", Bytes({0xED, 0xB0, 0x80}), Units({0xDC00}), kUnicodeError_None},
      {"smallest E0", Bytes({0xE0, 0xA0, 0x80}), Units({0x0800}), kUnicodeError_None},
  };
  for (const std::size_t leadIn : {0u, 1u, 2u, 7u}) {
    for (const auto& replacement : replacements) {
      for (std::size_t at = 0; at < 40; ++at) {
        SCOPED_TRACE(std::string(replacement.mName) + ", lead-in " + std::to_string(leadIn) + ", at " +
                     std::to_string(at));
        UTF8String bytes(leadIn, 'k');
        UTF16String units(leadIn, u'k');
        UTF16String before;
        for (std::size_t i = 0; i < 40; ++i) {
          if (i == at) {
            before = units;
            bytes += replacement.mBytes;
            units += replacement.mUnits;
          } else {
            bytes += encode(run[i % 10]);
            units.push_back(static_cast<UTF16Char>(run[i % 10]));
          }
        }
        if (replacement.mError == kUnicodeError_None)
          ExpectDecode(bytes, units, kUnicodeError_None);
        else
          ExpectDecode(bytes, before + replacement.mUnits, replacement.mError);
      }
    }
  }
}

// The same for text of ASCII and two-byte characters, including a lead byte
// at the end of every block position.
TEST_P(UnicodeConversion, FaultsInsideTwoByteText) {
  auto encode = [](unsigned cp) {
    return cp < 0x80 ? Bytes({static_cast<int>(cp)})
                     : Bytes({static_cast<int>(0xC0 | (cp >> 6)), static_cast<int>(0x80 | (cp & 0x3F))});
  };
  const unsigned run[] = {0x0430, 'a', 0x00E9, 0x0431, 0x03B1, ' ', 0x07FF, 0x0080, 0x05D0, 'z', 0x00DF};
  struct Replacement {
    const char* mName;
    UTF8String mBytes;
    UTF16String mUnits;  // what it gives before any stop
    UnicodeErrorCode mError;
  };
  const std::vector<Replacement> replacements = {
      {"ascii after a lead", Bytes({0xD0, 0x41}), Units({}), kUnicodeError_IllegalSequence},
      {"stray continuation", Bytes({0x80}), Units({}), kUnicodeError_IllegalSequence},
      {"overlong C0", Bytes({0xC0, 0x80}), Units({}), kUnicodeError_IllegalSequence},
      {"overlong C1", Bytes({0xC1, 0xBF}), Units({}), kUnicodeError_IllegalSequence},
      {"lead after a lead", Bytes({0xD0, 0xD0, 0xB0}), Units({}), kUnicodeError_IllegalSequence},
      {"continuation after a character", Bytes({0xD0, 0xB0, 0xB0}), Units({0x0430}), kUnicodeError_IllegalSequence},
      {"NUL", Bytes({0x00}), Units({0x0000}), kUnicodeError_None},
      {"three-byte character", Bytes({0xE2, 0x82, 0xAC}), Units({0x20AC}), kUnicodeError_None},
      {"four-byte character", Bytes({0xF0, 0x9F, 0x98, 0x80}), Units({0xD83D, 0xDE00}), kUnicodeError_None},
  };
  for (const std::size_t leadIn : {0u, 1u, 2u, 3u}) {
    for (const auto& replacement : replacements) {
      for (std::size_t at = 0; at < 40; ++at) {
        SCOPED_TRACE(std::string(replacement.mName) + ", lead-in " + std::to_string(leadIn) + ", at " +
                     std::to_string(at));
        UTF8String bytes(leadIn, 'k');
        UTF16String units(leadIn, u'k');
        UTF16String before;
        for (std::size_t i = 0; i < 40; ++i) {
          if (i == at) {
            before = units;
            bytes += replacement.mBytes;
            units += replacement.mUnits;
          } else {
            bytes += encode(run[i % 11]);
            units.push_back(static_cast<UTF16Char>(run[i % 11]));
          }
        }
        if (replacement.mError == kUnicodeError_None)
          ExpectDecode(bytes, units, kUnicodeError_None);
        else
          ExpectDecode(bytes, before + replacement.mUnits, replacement.mError);
        // Cut inside the last character (U+07FF unless replaced): a lead byte
        // last in the input.
        if (replacement.mError == kUnicodeError_None && at != 39) {
          UnicodeErrorCode error = kUnicodeError_None;
          const UTF16String cut = To16(bytes.substr(0, bytes.size() - 1), &error);
          EXPECT_EQ(error, kUnicodeError_Truncated);
          EXPECT_EQ(Dump(cut), Dump(units.substr(0, units.size() - 1)));
        }
      }
    }
  }
}

TEST_P(UnicodeConversion, IllegalByteAtEveryOffsetOfLongAsciiText) {
  for (const std::size_t length : {20u, 64u, 257u, 1000u}) {
    for (std::size_t at = 0; at < length; ++at) {
      SCOPED_TRACE("length " + std::to_string(length) + ", at " + std::to_string(at));
      UTF8String bytes(length, 'q');
      bytes[at] = 0x80;
      ExpectDecode(bytes, UTF16String(at, u'q'), kUnicodeError_IllegalSequence);
    }
  }
}

// Long inputs go through the measured path; an early stop must not leave the
// string holding room for the whole input.
TEST_P(UnicodeConversion, LongInputs) {
  UTF8String cjk;
  UTF16String cjkUnits;
  for (int i = 0; i < 5000; ++i) {
    const unsigned cp = 0x4E00 + (i * 37) % 0x5000;
    cjk += Bytes({static_cast<int>(0xE0 | (cp >> 12)), static_cast<int>(0x80 | ((cp >> 6) & 0x3F)),
                  static_cast<int>(0x80 | (cp & 0x3F))});
    cjkUnits.push_back(static_cast<UTF16Char>(cp));
  }
  ExpectDecode(cjk, cjkUnits, kUnicodeError_None);
  EXPECT_EQ(Dump(To8(cjkUnits)), Dump(cjk));

  UTF8String early = cjk;
  early[31] = 0x20;  // breaks the eleventh character
  UnicodeErrorCode error = kUnicodeError_None;
  const UTF16String prefix = To16(early, &error);
  EXPECT_EQ(error, kUnicodeError_IllegalSequence);
  EXPECT_EQ(Dump(prefix), Dump(cjkUnits.substr(0, 10)));
  EXPECT_LT(prefix.capacity(), 1000u);
}

TEST_P(UnicodeConversion, UTF16to8Table) {
  struct Case {
    const char* mName;
    UTF16String mInput;
    UTF8String mBytes;
  };
  const std::vector<Case> cases = {
      {"empty", Units({}), Bytes({})},
      {"pair", Units({0xD83D, 0xDE00}), Bytes({0xF0, 0x9F, 0x98, 0x80})},
      {"lone leading surrogate", Units({0xD800}), Bytes({0xED, 0xA0, 0x80})},
      {"lone trailing surrogate", Units({0xDC00}), Bytes({0xED, 0xB0, 0x80})},
      {"reversed pair", Units({0xDC00, 0xD800}), Bytes({0xED, 0xB0, 0x80, 0xED, 0xA0, 0x80})},
      {"leading surrogate before a pair", Units({0xD800, 0xD800, 0xDC00}),
       Bytes({0xED, 0xA0, 0x80, 0xF0, 0x90, 0x80, 0x80})},
      {"leading surrogate before ascii", Units({0xDBFF, 'a'}), Bytes({0xED, 0xAF, 0xBF, 'a'})},
      {"NUL ends the text", Units({'a', 'b', 0, 'c'}), Bytes("ab")},
      {"NUL first", Units({0, 'a', 'b', 'c', 'd'}), Bytes({})},
      {"leading surrogate before NUL", Units({0xD800, 0, 0xDC00}), Bytes({0xED, 0xA0, 0x80})},
      {"three ascii units", Units(u"abc"), Bytes("abc")},
      {"four ascii units", Units(u"abcd"), Bytes("abcd")},
      {"four ascii units, NUL inside", Units({'a', 'b', 'c', 'd', 0, 'e', 'f', 'g', 'h'}), Bytes("abcd")},
      {"three units, one not ascii", Units({'a', 0xE9, 'b'}), Bytes({'a', 0xC3, 0xA9, 'b'})},
      {"DEL", Units({0x7F}), Bytes({0x7F})},
      {"smallest two-byte", Units({0x80}), Bytes({0xC2, 0x80})},
      {"largest two-byte", Units({0x7FF}), Bytes({0xDF, 0xBF})},
      {"smallest three-byte", Units({0x800}), Bytes({0xE0, 0xA0, 0x80})},
      {"last before surrogates", Units({0xD7FF}), Bytes({0xED, 0x9F, 0xBF})},
      {"first after surrogates", Units({0xE000}), Bytes({0xEE, 0x80, 0x80})},
      {"FFFF", Units({0xFFFF}), Bytes({0xEF, 0xBF, 0xBF})},
      {"largest pair", Units({0xDBFF, 0xDFFF}), Bytes({0xF4, 0x8F, 0xBF, 0xBF})},
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
      SCOPED_TRACE("length " + std::to_string(length) + ", NUL at " + std::to_string(at));
      UTF16String cut = text;
      cut[at] = 0;
      EXPECT_EQ(Dump(To8(cut)), Dump(To8(text.substr(0, at))));
      EXPECT_EQ(Dump(To8(cut)), Dump(testing::ModelUTF16to8(cut)));
    }
    for (std::size_t at = 0; at + 1 < length; ++at) {
      SCOPED_TRACE("length " + std::to_string(length) + ", pair at " + std::to_string(at));
      UTF16String paired = text;
      paired[at] = 0xD834;
      paired[at + 1] = 0xDD1E;
      UTF16String lone = text;
      lone[at] = 0xDBC0;
      EXPECT_EQ(Dump(To8(paired)), Dump(testing::ModelUTF16to8(paired)));
      EXPECT_EQ(Dump(To8(lone)), Dump(testing::ModelUTF16to8(lone)));
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
  EXPECT_EQ(Dump(Ascii("\xE9", 1)), Dump(Units({0xFFE9})));
  EXPECT_EQ(Dump(Ascii("a\0b", 3)), Dump(Units({'a', 0, 'b'})));
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

TEST(UnicodeString, PointerUTF16to8MatchesStringOverload) {
  const UTF16String text = Units({'h', 0xE9, 'l', 'l', 0x6F, ' ', 0xD83D, 0xDE00, ' ', 0x4E16, 0x754C, 0xD800, '!'});
  // The terminator search reads aligned blocks: try every alignment and every
  // length, with junk after the terminator.
  std::vector<UTF16Char> buffer(64 + text.size() * 4, 0x4141);
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t length = 0; length <= text.size(); ++length) {
      SCOPED_TRACE("offset " + std::to_string(offset) + ", length " + std::to_string(length));
      std::fill(buffer.begin(), buffer.end(), 0x4141);
      std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length), buffer.begin() + offset);
      buffer[offset + length] = 0;
      const UTF8String expected = UTF16to8(text.substr(0, length));
      EXPECT_EQ(Dump(UTF16to8(buffer.data() + offset)), Dump(expected));
      EXPECT_EQ(UTF16StrLen(buffer.data() + offset), static_cast<int>(length));
    }
  }
  EXPECT_TRUE(UTF16to8(static_cast<const UTF16Char*>(nullptr)).empty());
  const UTF16Char empty[] = {0};
  EXPECT_TRUE(UTF16to8(empty).empty());
}

TEST(UnicodeString, PointerUTF16to8LongText) {
  UTF16String text;
  for (int i = 0; i < 3000; ++i) text.push_back(static_cast<UTF16Char>(i % 3 == 0 ? 0x00E4 : 'a' + i % 26));
  EXPECT_EQ(Dump(UTF16to8(text.c_str())), Dump(UTF16to8(text)));
  EXPECT_EQ(UTF16StrLen(text.c_str()), 3000);
}

TEST(UnicodeString, UTF16toStdStringStopsAtFirstNul) {
  struct Case {
    const char* mName;
    UTF16String mInput;
    std::string mExpected;
  };
  const std::vector<Case> cases = {
      {"empty", Units({}), ""},
      {"ascii", Units(u"plain"), "plain"},
      {"mixed", Units({'a', 0xE9, 0x4E2D, 0xD83D, 0xDE00}), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {"NUL inside", Units({'a', 0xE9, 0, 'b'}), "a\xC3\xA9"},
      {"lone surrogate", Units({0xDFFF}), "\xED\xBF\xBF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    const std::string result = UTF16toStdString(c.mInput);
    EXPECT_EQ(result, c.mExpected);
    EXPECT_EQ(result.find('\0'), std::string::npos);
    const UTF8String asUTF8 = UTF16to8(c.mInput);
    EXPECT_EQ(result, std::string(asUTF8.begin(), asUTF8.end()));
  }
  UTF16String longText(1000, u'\x3A9');
  longText[600] = 0;
  EXPECT_EQ(UTF16toStdString(longText).size(), 1200u);
}

TEST(UnicodeString, UTF16StrLen) {
  EXPECT_EQ(UTF16StrLen(nullptr), 0);
  EXPECT_EQ(UTF16StrLen(u""), 0);
  EXPECT_EQ(UTF16StrLen(u"abc"), 3);
  EXPECT_EQ(UTF16StrLen(u"ab\0cd"), 2);
  const UTF16Char pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(UTF16StrLen(pair), 2);
}

TEST(UnicodeString, UnicodeSurrogate) {
  const struct {
    unsigned mUnit;
    UnicodeSurrogateT mExpected;
  } cases[] = {
      {0x0000, kUnicodeSurrogate_None},     {0x0041, kUnicodeSurrogate_None},     {0xD7FF, kUnicodeSurrogate_None},
      {0xD800, kUnicodeSurrogate_Leading},  {0xDA12, kUnicodeSurrogate_Leading},  {0xDBFF, kUnicodeSurrogate_Leading},
      {0xDC00, kUnicodeSurrogate_Trailing}, {0xDE00, kUnicodeSurrogate_Trailing}, {0xDFFF, kUnicodeSurrogate_Trailing},
      {0xE000, kUnicodeSurrogate_None},     {0xFFFF, kUnicodeSurrogate_None},
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
  const UTF16String wide = BSL_STR("Hello");
  EXPECT_EQ(Dump(wide), Dump(Units(u"Hello")));
  EXPECT_TRUE(BSL_STR("").empty());
  // The literal's full length is used, embedded NULs included.
  EXPECT_EQ(Dump(BSL_STR("a\0b")), Dump(Units({'a', 0, 'b'})));

  const UTF8String narrow = BSL_UTF8("Hello");
  EXPECT_EQ(Dump(narrow), Dump(Bytes("Hello")));
  EXPECT_TRUE(BSL_UTF8("").empty());
  EXPECT_EQ(Dump(BSL_UTF8("a\0b")), Dump(Bytes("a")));
  const char* literal = "ptr";
  EXPECT_EQ(static_cast<const void*>(AsciiToUTF8Impl(literal)), static_cast<const void*>(literal));
  EXPECT_EQ(Dump(UTF16to8(BSL_STR("round trip"))), Dump(BSL_UTF8("round trip")));
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
