// The case table against ICU's full case mapping of the same code point (root
// locale, default folding), for every unit of the covered blocks, through the
// public functions; and the table's own shape.
//
// ICU and the generated table come from the same Unicode version and agree
// on every covered unit, so there is no per-entry exception. The intended
// differences are the table's coverage: outside the covered blocks it maps
// nothing, where ICU maps every cased letter. kOutsideCoverage lists examples
// with the reason each is left alone.
#include <basalt/utility/StringCase.h>

#include "utility/CaseTableInternal.h"
#include "utility/UnicodeTestSupport.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <cstdio>
#include <string>

namespace basalt {
namespace utility {
namespace {

using internal::CaseKind;
using testing::Dump;

struct Range {
  UChar32 mFirst;
  UChar32 mLast;
};

// The coverage promised by StringCase.h.
const Range kCovered[] = {
    {0x0000, 0x00FF},  // Basic Latin, Latin-1
    {0x0100, 0x024F},  // Latin Extended-A and -B
    {0x0250, 0x02AF},  // IPA Extensions
    {0x0345, 0x0345},  // COMBINING GREEK YPOGEGRAMMENI
    {0x0370, 0x03FF},  // Greek and Coptic
    {0x0400, 0x04FF},  // Cyrillic
    {0x0530, 0x058F},  // Armenian
    {0x1E00, 0x1EFF},  // Latin Extended Additional
    {0x1F00, 0x1FFF},  // Greek Extended
    {0x2126, 0x2126},  // OHM SIGN
    {0x212A, 0x212B},  // KELVIN SIGN, ANGSTROM SIGN
    {0x2160, 0x217F},  // Roman numerals
    {0x24B6, 0x24E9},  // circled Latin letters
    {0xFB00, 0xFB06},  // Latin ligatures
    {0xFB13, 0xFB17},  // Armenian ligatures
    {0xFF21, 0xFF21},  // FULLWIDTH LATIN CAPITAL LETTER A
    {0xFF41, 0xFF41},  // FULLWIDTH LATIN SMALL LETTER A
};

bool Covered(UChar32 inCodePoint) {
  for (const Range& range : kCovered)
    if (inCodePoint >= range.mFirst && inCodePoint <= range.mLast) return true;
  return false;
}

const char* const kKindNames[] = {"lower", "upper", "fold"};

UTF16String Icu(UChar32 inCodePoint, CaseKind inKind) {
  UChar source[2];
  int32_t sourceLength = 0;
  U16_APPEND_UNSAFE(source, sourceLength, inCodePoint);
  UChar mapped[16];
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  switch (inKind) {
    case internal::kCase_Lower:
      length = u_strToLower(mapped, 16, source, sourceLength, "", &status);
      break;
    case internal::kCase_Upper:
      length = u_strToUpper(mapped, 16, source, sourceLength, "", &status);
      break;
    case internal::kCase_Fold:
      length = u_strFoldCase(mapped, 16, source, sourceLength, U_FOLD_CASE_DEFAULT, &status);
      break;
  }
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  return UTF16String(mapped, mapped + (U_SUCCESS(status) ? length : 0));
}

UTF16String Basalt(const UTF16String& inText, CaseKind inKind) {
  switch (inKind) {
    case internal::kCase_Lower:
      return LowerCase(inText);
    case internal::kCase_Upper:
      return UpperCase(inText);
    case internal::kCase_Fold:
      return FoldCase(inText);
  }
  return UTF16String();
}

UTF16String Unit(UChar32 inUnit) { return UTF16String(1, static_cast<UTF16Char>(inUnit)); }

std::string Name(UChar32 inCodePoint) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(inCodePoint));
  return text;
}

const CaseKind kKinds[] = {internal::kCase_Lower, internal::kCase_Upper, internal::kCase_Fold};

TEST(CaseTableOracle, EveryCoveredUnitMapsAsIcuDoes) {
  int cased = 0;
  for (UChar32 c = 0; c <= 0xFFFF; ++c) {
    if (!Covered(c)) continue;
    bool changes = false;
    for (const CaseKind kind : kKinds) {
      const UTF16String ours = Basalt(Unit(c), kind);
      const UTF16String icu = Icu(c, kind);
      EXPECT_EQ(Dump(ours), Dump(icu)) << Name(c) << " " << kKindNames[kind];
      changes |= ours != Unit(c);
    }
    cased += changes;
  }
  std::size_t entries = 0;
  internal::CaseTableEntries(&entries);
  EXPECT_EQ(static_cast<std::size_t>(cased), entries) << "every cased unit is a key, and no other";
}

TEST(CaseTableOracle, UnitsOutsideTheCoverageMapToThemselves) {
  for (UChar32 c = 0; c <= 0xFFFF; ++c) {
    if (Covered(c)) continue;
    for (const CaseKind kind : kKinds)
      ASSERT_EQ(Dump(Basalt(Unit(c), kind)), Dump(Unit(c))) << Name(c) << " " << kKindNames[kind];
  }
}

// Where ICU maps a character and the table by design does not.
TEST(CaseTableOracle, IntendedDifferencesFromIcu) {
  struct Difference {
    UChar32 mCodePoint;
    CaseKind mKind;
    const char* mWhy;
  };
  const Difference kOutsideCoverage[] = {
      {0xFF22, internal::kCase_Lower, "of the fullwidth letters only U+FF21 and U+FF41 are covered"},
      {0xFF42, internal::kCase_Upper, "of the fullwidth letters only U+FF21 and U+FF41 are covered"},
      {0x0500, internal::kCase_Lower, "Cyrillic Supplement is outside the covered Cyrillic block"},
      {0x2C65, internal::kCase_Upper, "Latin Extended-C is not covered, though U+023A lower-cases to it"},
      {0x2132, internal::kCase_Lower, "of the letterlike symbols only Ohm, Kelvin and Angstrom signs are covered"},
      {0x10A0, internal::kCase_Lower, "Georgian is not covered"},
      {0x10400, internal::kCase_Lower, "supplementary characters pass unchanged"},
  };
  for (const Difference& difference : kOutsideCoverage) {
    SCOPED_TRACE(Name(difference.mCodePoint) + ": " + difference.mWhy);
    UChar units[2];
    int32_t length = 0;
    U16_APPEND_UNSAFE(units, length, difference.mCodePoint);
    const UTF16String text(units, units + length);
    EXPECT_NE(Dump(Icu(difference.mCodePoint, difference.mKind)), Dump(text));
    EXPECT_EQ(Dump(Basalt(text, difference.mKind)), Dump(text));
  }
}

TEST(CaseTableOracle, EntriesAreAscendingKeysWithAPartner) {
  std::size_t count = 0;
  const internal::CaseTableEntry* entries = internal::CaseTableEntries(&count);
  ASSERT_GT(count, 1000u);
  for (std::size_t i = 0; i < count; ++i) {
    const internal::CaseTableEntry& entry = entries[i];
    SCOPED_TRACE(Name(entry.mKey));
    if (i > 0) {
      EXPECT_LT(entries[i - 1].mKey, entry.mKey);
    }
    EXPECT_TRUE(Covered(entry.mKey));
    bool changes = false;
    for (const CaseKind kind : kKinds) {
      const internal::CaseForm& form = entry.mForms[kind];
      ASSERT_GE(form.mLength, 1);
      ASSERT_LE(form.mLength, 3);
      const UTF16String text(form.mUnits, form.mUnits + form.mLength);
      changes |= text != Unit(entry.mKey);
      EXPECT_EQ(Dump(Basalt(Unit(entry.mKey), kind)), Dump(text)) << kKindNames[kind];
    }
    EXPECT_TRUE(changes) << "a key that maps to itself in every form";
  }
}

}  // namespace
}  // namespace utility
}  // namespace basalt
