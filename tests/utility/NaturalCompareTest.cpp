// Natural comparison, case-sensitive and case-insensitive: known pairs, the
// three entry points agreeing, and the order being one std::sort may use.
#include <basalt/utility/NaturalCompare.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

UTF16String U(const std::u16string& inText) { return UTF16String(inText.data(), inText.size()); }
std::string Show(const UTF16String& inText) { return UTF16toStdString(inText); }

int Sensitive(const UTF16String& inA, const UTF16String& inB) { return NaturalStringCompare(inA, inB); }
int Insensitive(const UTF16String& inA, const UTF16String& inB) {
  return CaseInsensitive::NaturalStringCompare(inA, inB);
}

TEST(NaturalCompare, KnownPairs) {
  struct Case {
    std::u16string mA, mB;
    int mSensitive, mInsensitive;
  };
  const Case cases[] = {
      {u"file2", u"file10", -1, -1},
      {u"File", u"file", -1, 0},
      {u"a01", u"a1", 0, 0},
      {u"abc", u"abcd", -1, -1},
      {u"", u"", 0, 0},
      {u"", u"a", -1, -1},
      {u"", u"0", -1, -1},
      {u"x", u"x0", -1, -1},
      {u"file10b", u"file10a", 1, 1},
      {u"file010b", u"file10a", 1, 1},
      {u"a1b2", u"a1b10", -1, -1},
      {u"0", u"00", 0, 0},
      {u"9", u"10", -1, -1},
      {u"007", u"7", 0, 0},
      // Digit runs of any length compare by value.
      {u"v18446744073709551615", u"v18446744073709551616", -1, -1},
      {u"v99999999999999999999999", u"v99999999999999999999998", 1, 1},
      {u"v000000000000000000000000001", u"v1", 0, 0},
      // Every digit form: fullwidth and Arabic-Indic digits count by value.
      {u"track\uFF11\uFF10", u"track9", 1, 1},
      {u"\u0663", u"3", 0, 0},
      {u"\u0663", u"\uFF14", -1, -1},
      // Digit runs against text: as ASCII digits, so "5" and its other forms
      // sort alike among text.
      {u"5", u"a", -1, -1},
      {u"\u0665", u"a", -1, -1},
      {u"\uFF15", u"a", -1, -1},
      {u"5", u"!", 1, 1},
      {u"\uFF15", u"!", 1, 1},
      {u"a5", u"ab", -1, -1},
      // Case: ASCII only, and only in CaseInsensitive.
      {u"ABC", u"abd", -1, -1},
      {u"abc", u"ABD", 1, -1},
      {u"A", u"_", -1, 1},
      {u"a", u"_", 1, 1},
      {u"\u00C9", u"\u00E9", -1, -1},
      {u"File10", u"file9", -1, 1},
      {u"FILE2", u"file10", -1, -1},
  };
  for (const Case& c : cases) {
    const UTF16String a = U(c.mA);
    const UTF16String b = U(c.mB);
    SCOPED_TRACE(Show(a) + " vs " + Show(b));
    EXPECT_EQ(Sensitive(a, b), c.mSensitive);
    EXPECT_EQ(Sensitive(b, a), -c.mSensitive);
    EXPECT_EQ(Insensitive(a, b), c.mInsensitive);
    EXPECT_EQ(Insensitive(b, a), -c.mInsensitive);
  }
}

TEST(NaturalCompare, FileNamesSortNaturally) {
  std::vector<UTF16String> names;
  for (const char16_t* name : {u"img12.png", u"img10.png", u"IMG2.png", u"img1.png", u"img2.png", u"img02.jpg"})
    names.push_back(U(name));
  std::vector<UTF16String> sensitive = names;
  std::stable_sort(sensitive.begin(), sensitive.end(), NaturalStringLessThan);
  std::vector<std::string> shown;
  for (const UTF16String& name : sensitive) shown.push_back(Show(name));
  EXPECT_EQ(shown, (std::vector<std::string>{"IMG2.png", "img1.png", "img02.jpg", "img2.png", "img10.png",
                                             "img12.png"}));
  std::vector<UTF16String> insensitive = names;
  std::stable_sort(insensitive.begin(), insensitive.end(), CaseInsensitive::NaturalStringLessThan);
  shown.clear();
  for (const UTF16String& name : insensitive) shown.push_back(Show(name));
  EXPECT_EQ(shown, (std::vector<std::string>{"img1.png", "img02.jpg", "IMG2.png", "img2.png", "img10.png",
                                             "img12.png"}));
}

// Short random strings over units chosen to meet every rule: digits of all
// three forms (zeros among them), both cases, units between "9" and "A" and
// between "Z" and "a", and a unit above every digit form.
UTF16String RandomName(std::mt19937& ioEngine) {
  static const char16_t kUnits[] = u"0019\uFF10\uFF15\u0660\u0667aAbB_!:~\u00E9\uFFFD";
  const std::size_t unitCount = sizeof kUnits / sizeof kUnits[0] - 1;
  UTF16String name;
  const std::size_t length = ioEngine() % 6;
  for (std::size_t i = 0; i < length; ++i) name += kUnits[ioEngine() % unitCount];
  return name;
}

template <class Compare, class Equals, class Less>
void CheckStrictWeakOrder(Compare inCompare, Equals inEquals, Less inLess) {
  std::mt19937 engine(31);
  std::vector<UTF16String> names(200);
  for (UTF16String& name : names) name = RandomName(engine);
  for (const UTF16String& a : names) {
    for (const UTF16String& b : names) {
      const int ab = inCompare(a, b);
      ASSERT_TRUE(ab == -1 || ab == 0 || ab == 1);
      ASSERT_EQ(ab, -inCompare(b, a)) << Show(a) << " vs " << Show(b);
      ASSERT_EQ(inEquals(a, b), ab == 0);
      ASSERT_EQ(inLess(a, b), ab < 0);
      if (ab > 0) continue;
      // Transitivity of both "less" and "equivalent", through every c.
      for (const UTF16String& c : names) {
        const int bc = inCompare(b, c);
        if (bc > 0) continue;
        const int expected = ab < 0 || bc < 0 ? -1 : 0;
        ASSERT_EQ(inCompare(a, c), expected) << Show(a) << " / " << Show(b) << " / " << Show(c);
      }
    }
  }
  std::sort(names.begin(), names.end(), inLess);
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), inLess));
}

TEST(NaturalCompare, IsAStrictWeakOrderCaseSensitive) {
  CheckStrictWeakOrder(Sensitive, NaturalStringEquals, NaturalStringLessThan);
}

TEST(NaturalCompare, IsAStrictWeakOrderCaseInsensitive) {
  CheckStrictWeakOrder(Insensitive, CaseInsensitive::NaturalStringEquals, CaseInsensitive::NaturalStringLessThan);
}

}  // namespace
}  // namespace utility
}  // namespace basalt
