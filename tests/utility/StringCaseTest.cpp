// Case mapping, title case, numeric case, truncation, mnemonics and line
// endings of StringCase.h.
#include <basalt/utility/StringCase.h>

#include "utility/UnicodeTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

using testing::Dump;

typedef std::vector<UTF16Char, SmallBlockAllocator::STLAllocator<UTF16Char>> UnitVector;

UTF16String U(const std::u16string& inText) { return UTF16String(inText.data(), inText.size()); }

std::string Show(const UTF16String& inText) { return UTF16toStdString(inText) + " [" + Dump(inText) + "]"; }

// Every unit's own mapping is checked against ICU (CaseTableOracleTest); these
// words and the unit-by-unit test below check that strings map as their units do.
TEST(StringCase, MappingsOfKnownWords) {
  struct Case {
    std::u16string mText, mLower, mUpper, mFold;
  };
  const Case cases[] = {
      {u"", u"", u"", u""},
      {u"Straße", u"straße", u"STRASSE", u"strasse"},
      // Units the table does not know, surrogate pairs among them, pass.
      {u"𐐀 1+2 ＢЀ", u"𐐀 1+2 Ｂѐ", u"𐐀 1+2 ＢЀ", u"𐐀 1+2 Ｂѐ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(U(c.mText)));
    EXPECT_EQ(Show(LowerCase(U(c.mText))), Show(U(c.mLower)));
    EXPECT_EQ(Show(UpperCase(U(c.mText))), Show(U(c.mUpper)));
    EXPECT_EQ(Show(FoldCase(U(c.mText))), Show(U(c.mFold)));
  }
}

// Mapping is context-free, so a string maps to the concatenation of its
// units' mappings. Texts of expanding forms only exercise the result's
// growth, texts of mostly ASCII the blocks of ASCII mapped together.
TEST(StringCase, StringsMapUnitByUnitAndInPlaceFormsAgree) {
  const std::u16string mixed = u"aZß ﬃΐİΣσ\u0345ᾳև1&\xD801\xDC00\xD800ǄЀлＡａⅫⓐµ\u2126\u212A";
  std::mt19937 engine(11);
  for (int round = 0; round < 600; ++round) {
    UTF16String text;
    const std::size_t length = round < 30 ? round * 100u : engine() % 40;
    for (std::size_t i = 0; i < length; ++i) {
      switch (round % 3) {
        case 0:
          text.push_back(u"ßﬃΐ"[engine() % 3]);
          break;
        case 1:
          text.push_back(mixed[engine() % mixed.size()]);
          break;
        default:
          text.push_back(engine() % 40 == 0 ? mixed[engine() % mixed.size()] : static_cast<UTF16Char>(engine() % 0x80));
      }
    }
    SCOPED_TRACE(Show(text));
    using Mapping = UTF16String (*)(const UTF16String&);
    using InPlace = void (*)(UTF16String&);
    const std::pair<Mapping, InPlace> mappings[] = {
        {&LowerCase, &ToLowerCase}, {&UpperCase, &ToUpperCase}, {&FoldCase, &ToFoldCase}, {&TitleCase, &ToTitleCase}};
    for (std::size_t m = 0; m < 4; ++m) {
      const UTF16String mapped = mappings[m].first(text);
      UTF16String inPlace = text;
      mappings[m].second(inPlace);
      EXPECT_EQ(inPlace, mapped);
      if (m == 3) continue;  // title case depends on the neighbours
      UTF16String joined;
      for (const UTF16Char unit : text) joined += mappings[m].first(UTF16String(1, unit));
      ASSERT_EQ(Dump(mapped), Dump(joined)) << "mapping " << m;
    }
  }
}

TEST(StringCase, TitleCase) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"", u""}, {u"hello world", u"Hello World"}, {u"HELLO wORLD", u"Hello World"},
      {u"o'neil", u"O'neil"}, {u"don't stop", u"Don't Stop"}, {u"rock'n'roll", u"Rock'n'roll"},
      {u"x 'y", u"X 'Y"}, {u"'tis", u"'Tis"}, {u"a''b", u"A''B"},
      {u"3rd-party", u"3Rd-Party"}, {u"ßa ﬃx", u"SSa FFIx"}, {u"ǆungla ÉTÉ", u"Ǆungla Été"},
      {u"a\xD801\xDC28" u"b", u"A\xD801\xDC28" u"B"}, {u"λόγος ΚΑΙ", u"Λόγος Και"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(U(c.first)));
    EXPECT_EQ(Show(TitleCase(U(c.first))), Show(U(c.second)));
  }
}

TEST(StringCase, NumericCase) {
  const struct {
    UTF16Char mUnit;
    UTF16Char mResult;
  } units[] = {
      {0xFF01, u'!'}, {0xFF0B, u'+'}, {0xFF10, u'0'}, {0xFF19, u'9'}, {0xFF1F, u'?'},  // converted
      {0xFF00, 0xFF00}, {0xFF20, 0xFF20}, {0xFF21, 0xFF21}, {u'5', u'5'}, {0xFE01, 0xFE01},
  };
  for (const auto& u : units) {
    SCOPED_TRACE(Dump(UTF16String(1, u.mUnit)));
    UTF16Char unit = u.mUnit;
    EXPECT_EQ(ToNumericCase(unit), u.mResult != u.mUnit);
    EXPECT_EQ(unit, u.mResult);
  }
  const std::pair<std::u16string, std::u16string> strings[] = {
      {u"", u""}, {u"abc 12", u"abc 12"}, {u"１２．５％", u"12.5%"}, {u"Ａ１Ｂ", u"Ａ1Ｂ"}};
  for (const auto& s : strings) {
    SCOPED_TRACE(Show(U(s.first)));
    UTF16String text = U(s.first);
    EXPECT_EQ(ToNumericCase(text), s.first != s.second);
    EXPECT_EQ(Show(text), Show(U(s.second)));
  }
}

TEST(StringCase, TruncateStringToNumChars) {
  const std::u16string pair = u"\xD83D\xDE00";  // U+1F600
  struct Case {
    std::u16string mText;
    std::uint64_t mCount;
    bool mFromEnd;
    std::u16string mResult;
  };
  const Case cases[] = {
      {u"hello", 0, false, u""}, {u"hello", 0, true, u""}, {u"hello", 5, false, u"hello"},
      {u"hello", ~0ull, true, u"hello"}, {u"hello", 3, false, u"hel"}, {u"hello", 3, true, u"llo"},
      {u"", 2, false, u""},
      // A cut inside a pair drops the kept half.
      {u"ab" + pair, 3, false, u"ab"}, {u"ab" + pair, 1, true, u""}, {u"ab" + pair, 2, true, pair},
      {pair + u"ab", 1, false, u""}, {pair + u"ab", 3, true, u"ab"}, {pair + pair, 3, false, pair},
      {pair + pair, 3, true, pair},
      // Lone surrogates are not pairs: nothing more is dropped.
      {u"a\xD83D" u"b", 2, false, u"a\xD83D"},
      {u"a\xDE00" u"b", 2, true, u"\xDE00" u"b"},
      {u"\xDE00\xD83D" u"b", 1, false, u"\xDE00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Dump(U(c.mText)) + (c.mFromEnd ? " from end " : " ") + std::to_string(c.mCount));
    EXPECT_EQ(Dump(TruncateStringToNumChars(U(c.mText), c.mCount, c.mFromEnd)), Dump(U(c.mResult)));
    const UnitVector units(c.mText.begin(), c.mText.end());
    const UnitVector truncated = TruncateStringToNumChars(units, c.mCount, c.mFromEnd);
    EXPECT_EQ(Dump(UTF16String(truncated.begin(), truncated.end())), Dump(U(c.mResult)));
  }
}

UTF16String Letters(std::size_t inLength) {
  UTF16String text;
  for (std::size_t i = 0; i < inLength; ++i) text.push_back(static_cast<UTF16Char>(u'A' + i % 26));
  return text;
}

// Where a side has no room the exact split matters; the invariant test below
// covers the rest.
TEST(StringCase, TruncateUIStringInMiddleKeepsHeadAndTail) {
  const UTF16String text = Letters(100);
  struct Case {
    std::uint64_t mMax;
    float mShare;
    std::size_t mHead, mTail;
  };
  const Case cases[] = {
      // A count that goes negative is taken from the other side, where
      // unsigned arithmetic would have kept the whole text.
      {6, 0.5f, 0, 1}, {8, 0.25f, 0, 3}, {8, 1.0f, 3, 0}, {5, 0.5f, 0, 0}, {2, 0.5f, 0, 0}, {0, 0.5f, 0, 0},
      // Shares outside 0..1 are clamped; NaN splits evenly.
      {8, -1.0f, 0, 3}, {8, 2.0f, 3, 0}, {20, std::nanf(""), 7, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mMax) + " share " + std::to_string(c.mShare));
    const UTF16String expected = text.substr(0, c.mHead) + U(u" ... ") + text.substr(text.size() - c.mTail);
    EXPECT_EQ(Show(TruncateUIStringInMiddle(text, c.mMax, c.mShare)), Show(expected));
  }
  EXPECT_EQ(TruncateUIStringInMiddle(UTF16String(), 0, 0.5f), UTF16String());

  // A cut through a surrogate pair drops the pair from the head.
  UTF16String paired = Letters(100);
  paired[6] = 0xD83D;
  paired[7] = 0xDE00;
  EXPECT_EQ(Dump(TruncateUIStringInMiddle(paired, 20, 0.5f)),
            Dump(paired.substr(0, 6) + U(u" ... ") + paired.substr(92)));
}

TEST(StringCase, TruncateUIStringInMiddleNeverExceedsTheMaximum) {
  const UTF16String text = Letters(64);
  for (std::uint64_t max = 0; max < 70; max += max < 64 ? 1 : 5) {
    for (const float share : {0.0f, 0.1f, 0.25f, 1.0f / 3, 0.5f, 0.7f, 0.9f, 0.99f, 1.0f}) {
      SCOPED_TRACE(std::to_string(max) + " share " + std::to_string(share));
      const UTF16String result = TruncateUIStringInMiddle(text, max, share);
      if (max >= text.size()) {  // fits: kept whole
        EXPECT_EQ(result, text);
        continue;
      }
      EXPECT_LE(result.size(), std::max<std::uint64_t>(max, 5));
      const std::size_t ellipsis = result.find(U(u" ... "));
      ASSERT_NE(ellipsis, UTF16String::npos);
      const std::size_t tail = result.size() - ellipsis - 5;
      EXPECT_EQ(result.substr(0, ellipsis), text.substr(0, ellipsis));
      EXPECT_EQ(result.substr(ellipsis + 5), text.substr(text.size() - tail));
      // With room for both sides, each gets its share less the ellipsis.
      const float m = static_cast<float>(max);
      if (std::floor(m * share) >= 3 && std::floor(m * (1 - share)) >= 2) {
        EXPECT_EQ(ellipsis, static_cast<std::size_t>(std::floor(m * share)) - 3);
        EXPECT_EQ(tail, static_cast<std::size_t>(std::floor(m * (1 - share))) - 2);
      }
    }
  }
}

TEST(StringCase, StripDisplayString) {
  struct Case {
    std::u16string mText;
    bool mParenthesised;
    std::u16string mResult;
  };
  const Case cases[] = {
      {u"", true, u""},
      {u"&File", false, u"File"},
      {u"A && B", false, u"A & B"},
      {u"Save & Exit", false, u"Save & Exit"},
      {u"Open (&O)", true, u"Open "},
      {u"Open (&O)", false, u"Open (O)"},
      {u"Open (&O)...", true, u"Open ..."},
      {u"Open (&", true, u"Open (&"},
      {u"(&ab) (&c)", true, u"(ab) (c)"},
      {u"x (&a) (&b)", true, u"x  (b)"},
      {u"&", false, u"&"}, {u"a&", false, u"a&"}, {u"&&", false, u"&"},
      {u"&&&x", false, u"&x"}, {u"&&&&", false, u"&&"}, {u"& &x", false, u"& x"},
      {u"E&xit && &Quit", false, u"Exit & Quit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(U(c.mText)) + (c.mParenthesised ? " with parentheses" : ""));
    UTF16String text = U(c.mText);
    StripDisplayString(text, c.mParenthesised);
    EXPECT_EQ(Show(text), Show(U(c.mResult)));
  }
}

TEST(StringCase, LocateSingleAmpersandInString) {
  struct Case {
    std::u16string mText;
    std::uint64_t mIndex, mCollapsedIndex;
  };
  const Case cases[] = {
      {u"Save && E&xit", 9, 8}, {u"&File", 0, 0}, {u"&&&x", 2, 1}, {u"a&& &b", 4, 3}, {u"& &x", 2, 2},
      {u"&&a&&b&c", 6, 4},
      {u"A & B", kNoAmpersand, kNoAmpersand}, {u"", kNoAmpersand, kNoAmpersand},
      {u"File&", kNoAmpersand, kNoAmpersand}, {u"&&", kNoAmpersand, kNoAmpersand},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Show(U(c.mText)));
    EXPECT_EQ(LocateSingleAmpersandInString(U(c.mText), false), c.mIndex);
    EXPECT_EQ(LocateSingleAmpersandInString(U(c.mText), true), c.mCollapsedIndex);
  }
}

// The located mnemonic is where StripDisplayString leaves its letter; the
// collapsed index is where it sits once only the pairs are collapsed.
TEST(StringCase, MnemonicLocationAgreesWithStripping) {
  std::mt19937 engine(5);
  const std::u16string alphabet = u"&& ab";
  for (int round = 0; round < 2000; ++round) {
    UTF16String text;
    for (unsigned i = engine() % 10; i > 0; --i) text.push_back(alphabet[engine() % alphabet.size()]);
    SCOPED_TRACE(Show(text));
    const std::uint64_t at = LocateSingleAmpersandInString(text, false);
    const std::uint64_t collapsedAt = LocateSingleAmpersandInString(text, true);
    UTF16String stripped = text;
    StripDisplayString(stripped, false);
    if (at == kNoAmpersand) {
      EXPECT_EQ(collapsedAt, kNoAmpersand);
      continue;
    }
    ASSERT_LT(at + 1, text.size());
    EXPECT_EQ(text[at], u'&');
    ASSERT_LT(collapsedAt, stripped.size());
    EXPECT_EQ(stripped[collapsedAt], text[at + 1]);
    UTF16String collapsed;
    for (std::size_t i = 0; i < at; ++i) {
      collapsed.push_back(text[i]);
      if (text[i] == u'&' && i + 1 < at && text[i + 1] == u'&') ++i;
    }
    EXPECT_EQ(collapsed.size(), collapsedAt);
  }
}

TEST(StringCase, LineEndings) {
  EXPECT_EQ(GetLineEnding(kLineEnding_CRLF), U(u"\r\n"));
  EXPECT_EQ(GetLineEnding(kLineEnding_CR), U(u"\r"));
  EXPECT_EQ(GetLineEnding(kLineEnding_LF), U(u"\n"));
  EXPECT_EQ(GetLineEnding(static_cast<LineEndingType>(3)), UTF16String());

  struct Case {
    std::u16string mText, mCRLF, mCR, mLF;
  };
  const Case cases[] = {
      {u"", u"", u"", u""},
      {u"plain", u"plain", u"plain", u"plain"},
      {u"a\r\nb\rc\nd", u"a\r\nb\r\nc\r\nd", u"a\rb\rc\rd", u"a\nb\nc\nd"},
      {u"\n\r", u"\r\n\r\n", u"\r\r", u"\n\n"},
      {u"\r\r\n\n", u"\r\n\r\n\r\n", u"\r\r\r", u"\n\n\n"},
      {u"end\r", u"end\r\n", u"end\r", u"end\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Dump(U(c.mText)));
    const std::pair<LineEndingType, std::u16string> targets[] = {
        {kLineEnding_CRLF, c.mCRLF}, {kLineEnding_CR, c.mCR}, {kLineEnding_LF, c.mLF}};
    for (const auto& [type, expected] : targets) {
      UTF16String text = U(c.mText);
      ConvertLineEndings(type, text);
      EXPECT_EQ(Dump(text), Dump(U(expected))) << "type " << type;
    }
    // An unknown type keeps the line breaks rather than deleting them.
    UTF16String text = U(c.mText);
    ConvertLineEndings(static_cast<LineEndingType>(-1), text);
    EXPECT_EQ(Dump(text), Dump(U(c.mText)));
  }
}

// Converting keeps the number of line endings, so converting twice is
// converting once to the second type.
TEST(StringCase, LineEndingConversionsCompose) {
  std::mt19937 engine(3);
  const LineEndingType types[] = {kLineEnding_CRLF, kLineEnding_CR, kLineEnding_LF};
  for (int round = 0; round < 500; ++round) {
    UTF16String text;
    for (unsigned i = engine() % 12; i > 0; --i) text.push_back(u"a\r\n"[engine() % 3]);
    SCOPED_TRACE(Dump(text));
    for (const LineEndingType first : types) {
      for (const LineEndingType second : types) {
        UTF16String twice = text;
        ConvertLineEndings(first, twice);
        ConvertLineEndings(second, twice);
        UTF16String once = text;
        ConvertLineEndings(second, once);
        EXPECT_EQ(Dump(twice), Dump(once)) << first << " then " << second;
      }
    }
  }
}

}  // namespace
}  // namespace utility
}  // namespace basalt
