// NormalizedString: the four forms on real examples, the forms that mean no
// normalisation, unknown forms, and the invariants the forms promise.
#include <basalt/utility/UnicodeString.h>

#include "utility/UnicodeTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

using testing::Dump;
using testing::Units;

constexpr auto C = kUnicodeNormalization_C;
constexpr auto D = kUnicodeNormalization_D;
constexpr auto KC = kUnicodeNormalization_KC;
constexpr auto KD = kUnicodeNormalization_KD;

TEST(NormalizedString, Examples) {
  struct Case {
    const char* mName;
    UTF16String mInput;
    UnicodeNormalizationForm mForm;
    UTF16String mExpected;
  };
  const std::vector<Case> cases = {
      {"e + acute composes", Units({'e', 0x0301}), C, Units({0x00E9})},
      {"precomposed decomposes", Units({0x00E9}), D, Units({'e', 0x0301})},
      {"composed stays", Units(u"caf\u00E9"), C, Units(u"caf\u00E9")},
      {"Hangul jamo compose", Units({0x1100, 0x1161, 0x11A8}), C, Units({0xAC01})},
      {"Hangul syllable decomposes", Units({0xAC01}), D, Units({0x1100, 0x1161, 0x11A8})},
      {"Hangul LV + T composes", Units({0xAC00, 0x11A8}), C, Units({0xAC01})},
      {"fi ligature kept by C", Units({0xFB01}), C, Units({0xFB01})},
      {"fi ligature kept by D", Units({0xFB01}), D, Units({0xFB01})},
      {"fi ligature under KC", Units({0xFB01}), KC, Units(u"fi")},
      {"fi ligature under KD", Units({0xFB01}), KD, Units(u"fi")},
      {"circled digit under KC", Units({0x2460}), KC, Units(u"1")},
      {"long s with dots, C", Units({0x1E9B, 0x0323}), C, Units({0x1E9B, 0x0323})},
      {"long s with dots, D", Units({0x1E9B, 0x0323}), D, Units({0x017F, 0x0323, 0x0307})},
      {"long s with dots, KC", Units({0x1E9B, 0x0323}), KC, Units({0x1E69})},
      {"long s with dots, KD", Units({0x1E9B, 0x0323}), KD, Units({0x0073, 0x0323, 0x0307})},
      {"marks reordered", Units({'a', 0x0301, 0x0323}), D, Units({'a', 0x0323, 0x0301})},
      {"angstrom sign becomes A ring", Units({0x212B}), C, Units({0x00C5})},
      {"full-width under KC", Units({0xFF21, 0xFF42}), KC, Units(u"Ab")},
      {"supplementary text", Units({0xD834, 0xDD5E}), C, Units({0xD834, 0xDD57, 0xD834, 0xDD65})},
      {"lone surrogate passes through", Units({'e', 0xD800, 0x0301}), C, Units({'e', 0xD800, 0x0301})},
      {"embedded NUL keeps the rest", Units({'e', 0x0301, 0, 'e', 0x0301}), C, Units({0xE9, 0, 0xE9})},
      {"empty", Units({}), C, Units({})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    EXPECT_EQ(Dump(NormalizedString(c.mInput, c.mForm)), Dump(c.mExpected));
  }
}

TEST(NormalizedString, NoNormalisationForms) {
  const UTF16String text = Units({'e', 0x0301, 0xFB01, 0xAC01, 0, 'x', 0xDC00});
  EXPECT_EQ(Dump(NormalizedString(text, kUnicodeNormalization_None)), Dump(text));
  EXPECT_EQ(Dump(NormalizedString(text, kUnicodeNormalization_None2)), Dump(text));
}

TEST(NormalizedString, UnknownFormsMeanComposed) {
  const UTF16String text = Units({'e', 0x0301, 0xFB01, 0x1100, 0x1161});
  const UTF16String composed = NormalizedString(text, C);
  EXPECT_EQ(Dump(composed), Dump(Units({0xE9, 0xFB01, 0xAC00})));
  for (const int form : {6, 7, 100, -1}) {
    SCOPED_TRACE(form);
    EXPECT_EQ(Dump(NormalizedString(text, static_cast<UnicodeNormalizationForm>(form))), Dump(composed));
  }
}

// Long text of mixed scripts: the decompositions grow it past any first
// guess at the size, and the forms keep their defining relations.
TEST(NormalizedString, InvariantsOnLongText) {
  UTF16String text;
  const UTF16String pieces[] = {Units({0xAC01}),  Units({'e', 0x0301}), Units({0xFB03}), Units({0x1E9B, 0x0323}),
                                Units(u"plain "), Units({0x0390}),      Units({0xFDFA}), Units({0x3300})};
  for (int i = 0; i < 700; ++i) text += pieces[i % 8];
  const UTF16String nfc = NormalizedString(text, C);
  const UTF16String nfd = NormalizedString(text, D);
  const UTF16String nfkc = NormalizedString(text, KC);
  const UTF16String nfkd = NormalizedString(text, KD);
  // U+FDFA alone decomposes into 18 units under KD.
  EXPECT_GT(nfkd.size(), text.size() * 2);
  EXPECT_EQ(Dump(NormalizedString(nfd, C)), Dump(nfc));
  EXPECT_EQ(Dump(NormalizedString(nfc, D)), Dump(nfd));
  EXPECT_EQ(Dump(NormalizedString(nfkd, KC)), Dump(nfkc));
  EXPECT_EQ(Dump(NormalizedString(nfkc, KD)), Dump(nfkd));
  EXPECT_EQ(Dump(NormalizedString(nfkc, KC)), Dump(nfkc));
  EXPECT_EQ(Dump(NormalizedString(nfd, D)), Dump(nfd));
  EXPECT_EQ(Dump(NormalizedString(nfc, KD)), Dump(nfkd));
}

}  // namespace
}  // namespace utility
}  // namespace basalt
