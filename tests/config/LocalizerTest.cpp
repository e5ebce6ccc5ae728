#include <basalt/config/Locale.h>
#include <basalt/config/Localizer.h>
#include <basalt/config/ZString.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using basalt::UTF16String;
namespace bc = basalt::config;
namespace bu = basalt::utility;

std::string Narrow(const UTF16String& inText) { return bu::UTF16toStdString(inText); }
UTF16String Wide(const char* inText) { return bu::AsciiToUTF16(inText, std::strlen(inText)); }

// Answers with the default text and remembers every dictionary it was given.
class RecordingLocalizer : public bc::Localizer {
public:
  UTF16String Localize(const char* inKey) override { return DefaultText(inKey); }
  void LoadDictionary(const UTF16String& inPath) override { mLoaded.push_back(Narrow(inPath)); }
  std::vector<std::string> mLoaded;
};

TEST(ReplaceInString, MarkerRules) {
  struct Case {
    const char* mText;
    const char* mExpected;
  };
  const Case cases[] = {
      {"@0 of @1", "3 of 7"},  {"100@@", "100@"},      {"a@b", "a@b"},   {"x@", "x@"},
      {"@5", ""},              {"@1@0", "73"},         {"@@0", "@0"},    {"@", "@"},
      {"", ""},                {"@0@0", "33"},         {"@ @", "@ @"},   {"e\xC3\xA9@1", "e\xC3\xA9" "7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    const UTF16String text = bu::UTF8to16(basalt::UTF8String(reinterpret_cast<const unsigned char*>(c.mText)));
    EXPECT_EQ(bu::UTF16to8(bu::ReplaceInString(text, Wide("3"), Wide("7"))),
              basalt::UTF8String(reinterpret_cast<const unsigned char*>(c.mExpected)));
  }
}

TEST(ReplaceInString, ValuesAreNotScannedAgainAndAllTenMarkersWork) {
  EXPECT_EQ(Narrow(bu::ReplaceInString(Wide("[@0]"), Wide("@1"), Wide("x"))), "[@1]");
  std::vector<UTF16String> values;
  for (int i = 0; i < 12; ++i) values.push_back(Wide(std::to_string(i).c_str()));
  EXPECT_EQ(Narrow(bu::ReplaceInString(Wide("@9 @8 @0"), values)), "9 8 0");
  bu::SmallBlockAllocator::vector<UTF16String> short_values{Wide("a"), Wide("b")};
  EXPECT_EQ(Narrow(bu::ReplaceInString(Wide("@0@1@2@9"), short_values)), "ab");
  EXPECT_EQ(Narrow(bu::ReplaceInString(Wide("@0@1"), std::vector<UTF16String>())), "");
  EXPECT_EQ(Narrow(bu::ReplaceInString(Wide("@0 @1 @2 @3 @4 @5 @6 @7 @8 @9"), Wide("0"), Wide("1"), Wide("2"),
                                       Wide("3"), Wide("4"), Wide("5"), Wide("6"), Wide("7"), Wide("8"), Wide("9"))),
            "0 1 2 3 4 5 6 7 8 9");
}

// Locale::Initialize cannot be undone, so the whole start-up order runs in
// one test: localizer first, then the language, then another localizer.
TEST(Localizer, DictionaryLoadsOnceBothAreInPlaceInEitherOrder) {
  EXPECT_FALSE(basalt::Locale::IsInitialized());
  EXPECT_EQ(Narrow(basalt::Locale::ApplicationLangauge()), "en_US");

  RecordingLocalizer first;
  bc::Localizer::Set(&first);
  EXPECT_TRUE(bc::Localizer::Initialized());
  bc::Localizer::LoadBSLDictionaries();
  EXPECT_TRUE(first.mLoaded.empty()) << "no language yet: nothing is loaded";

  basalt::Locale::Initialize(Wide("en_US"));
  EXPECT_TRUE(basalt::Locale::IsInitialized());
  ASSERT_EQ(first.mLoaded.size(), 1u);
  const std::string path = first.mLoaded[0];
  const std::string suffix = "/dict/bsl_en_US.dict";
  ASSERT_GT(path.size(), suffix.size());
  EXPECT_EQ(path.substr(path.size() - suffix.size()), suffix);
  EXPECT_TRUE(std::ifstream(path).good()) << path << ": the build puts the dictionary beside the library";
  EXPECT_EQ(Narrow(bc::Localizer::GetBSLDictionaryPath()), path);

  RecordingLocalizer second;
  bc::Localizer::Set(&second);
  ASSERT_EQ(second.mLoaded.size(), 1u) << "the language is known: Set loads at once";
  EXPECT_EQ(second.mLoaded[0], path);
  EXPECT_EQ(first.mLoaded.size(), 1u);

  basalt::Locale::Initialize(Wide("de_DE"));
  ASSERT_EQ(second.mLoaded.size(), 2u) << "every later call loads again";
  EXPECT_EQ(second.mLoaded[1].substr(second.mLoaded[1].size() - 20), "/dict/bsl_de_DE.dict");
  EXPECT_EQ(Narrow(basalt::Locale::ApplicationLangauge()), "de_DE");

  bc::Localizer::Set(nullptr);
  EXPECT_FALSE(bc::Localizer::Initialized());
  basalt::Locale::Initialize(Wide("en_US"));  // no localizer: nothing to load into
  EXPECT_EQ(second.mLoaded.size(), 2u);
  EXPECT_TRUE(std::use_facet<std::ctype<char16_t>>(std::locale()).is(std::ctype_base::digit, u'7'))
      << "Initialize makes the library's locale the global one";
}

TEST(Localizer, MissingLocalizerZStringAndDefaultText) {
  bc::Localizer::Set(nullptr);
  try {
    bc::Localizer::Get();
    FAIL() << "Get without a localizer must throw";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "basalt::config::Localizer not initialized. Check basalt/config/Localizer.h.");
  }
  EXPECT_THROW(basalt::ZString("$$$/basalt/test/x=x"), std::logic_error);

  {
    RecordingLocalizer localizer;
    bc::Localizer::Set(&localizer);
    EXPECT_EQ(Narrow(basalt::ZString("$$$/basalt/utility/NumberString/bytes=@0 B", Wide("12"))), "12 B");
  }
  EXPECT_FALSE(bc::Localizer::Initialized()) << "a destroyed localizer uninstalls itself";
  EXPECT_EQ(Narrow(bc::Localizer::DefaultText("$$$/a/b=x=y")), "x=y");
  EXPECT_EQ(Narrow(bc::Localizer::DefaultText("no equals")), "no equals");
  EXPECT_TRUE(bc::Localizer::DefaultText(nullptr).empty());
}

TEST(Locale, ScResetLocaleRestores) {
  const std::string before = std::setlocale(LC_NUMERIC, nullptr);
  {
    basalt::Locale::ScResetLocale restore;
    {
      basalt::Locale::ScResetLocale numeric(LC_NUMERIC, nullptr);
      ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr) << "scripts/install-deps.sh generates it";
      basalt::Locale::ScResetLocale copy(numeric);
      copy = numeric;
    }
    EXPECT_EQ(std::string(std::setlocale(LC_NUMERIC, nullptr)), before);
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  }
  EXPECT_EQ(std::string(std::setlocale(LC_NUMERIC, nullptr)), before);
}

// Native() is built once per process from the environment, so the German
// environment is set before anything asks for it; no other test in this
// program uses Native().
TEST(Locale, ValueFromDisplayStringUnderADecimalCommaLocale) {
  ASSERT_EQ(setenv("LC_ALL", "de_DE.UTF-8", 1), 0);
  const std::locale& native = basalt::Locale::Native();
  unsetenv("LC_ALL");
  ASSERT_EQ(std::use_facet<std::numpunct<char16_t>>(native).decimal_point(), u',')
      << "scripts/install-deps.sh generates de_DE.UTF-8";
  EXPECT_EQ(std::use_facet<std::numpunct<char16_t>>(native).thousands_sep(), u'.');
  EXPECT_EQ(std::use_facet<std::numpunct<char16_t>>(basalt::Locale::Default()).decimal_point(), u'.');

  struct Case {
    const char* mText;
    double mExpected;
  };
  const Case cases[] = {
      {"", 0},         {"1,5", 1.5},     {"-2.5", -2.5},  {"-2,5", -2.5},  {"2.5", 2.5},
      {"abc", 0},      {"1.500", 1500},  {"1.500,25", 1500.25},            {"  7", 7},
      {"0", 0},        {"-0,25", -0.25}, {"0,5", 0.5},    {"12", 12},      {"1,500", 1.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    EXPECT_DOUBLE_EQ(basalt::Locale::GetValueFromDisplayString(Wide(c.mText)), c.mExpected);
  }
}

}  // namespace
