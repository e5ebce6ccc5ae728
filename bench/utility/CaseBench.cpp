// UpperCase and FoldCase against ICU's u_strToUpper (root locale) and
// u_strFoldCase (default folding) on generated Latin (French and German, with
// accents and "ß") and Greek (modern monotonic Greek, mixed case) text: 16 Ki
// units, whose result strings come from the system allocator, 2 Ki units and
// 64 units, whose result strings come from the small-block classes.
//
// Both sides produce a UTF16String per call. ICU writes into a string sized
// for the input plus an eighth, and in the rare case that is too short
// (ICU reports the length it needs) into one of the exact size; basalt's
// functions size their own result. Before the runs every text is checked to
// map to the same result on both sides, so the two do the same work.
//
// Every run reports UTF-16 input bytes per second; after the runs the ratios
// basalt / ICU are printed (above 1 when basalt is faster).
#include <basalt/utility/StringCase.h>

#include <benchmark/benchmark.h>

#include "Generator.h"
#include "RunCollector.h"
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using basalt::UTF16String;

using basalt::bench::Generator;

UTF16String Units(const std::u16string& inText) { return UTF16String(inText.data(), inText.size()); }

// Words joined by spaces, a sentence capitalised now and then, until inUnits.
UTF16String WordText(const std::vector<std::u16string>& inWords, std::size_t inUnits, std::uint32_t inSeed) {
  Generator random(inSeed);
  UTF16String text;
  bool sentenceStart = true;
  while (text.size() < inUnits) {
    UTF16String word = Units(inWords[random.Below(static_cast<std::uint32_t>(inWords.size()))]);
    if (sentenceStart) word = basalt::utility::TitleCase(word);
    text += word;
    const std::uint32_t p = random.Below(12);
    sentenceStart = p == 0;
    text += Units(p == 0 ? u". " : p == 1 ? u", " : u" ");
  }
  text.resize(inUnits);
  return text;
}

UTF16String LatinText(std::size_t inUnits) {
  static const std::vector<std::u16string> words = {
      u"le",      u"café",  u"être",    u"déjà",    u"élève",       u"façade", u"garçon", u"où",     u"très",
      u"forêt",   u"noël",  u"naïve",   u"und",     u"über",        u"größe",  u"schön",  u"Straße", u"Mädchen",
      u"für",     u"Käse",  u"Öffnung", u"während", u"Einstellung", u"Datei",  u"Ordner", u"projet", u"réglages",
      u"fenêtre", u"piste", u"fichier", u"die",     u"der",         u"la",     u"les",    u"avec",   u"mit"};
  return WordText(words, inUnits, 2);
}

UTF16String GreekText(std::size_t inUnits) {
  static const std::vector<std::u16string> words = {
      u"και",     u"το",      u"της",      u"στην",     u"ένα",     u"Αθήνα",    u"Ελλάδα",  u"μουσική",
      u"ήχος",    u"κανάλι",  u"αρχείο",   u"φάκελος",  u"ρυθμίσεις", u"έργο",   u"ένταση",  u"παράθυρο",
      u"εξαγωγή", u"δείγμα",  u"ταχύτητα", u"λόγος",    u"ψυχή",    u"Ωκεανός",  u"θάλασσα", u"γλώσσα",
      u"ουρανός", u"ΕΞΑΓΩΓΗ", u"Ρυθμός",   u"ψηφιακός", u"ήχου",    u"είναι"};
  return WordText(words, inUnits, 3);
}

struct Text {
  std::string mName;
  UTF16String mUnits;
};

const std::vector<Text>& Texts() {
  static const std::vector<Text> texts = {
      {"latin_16k", LatinText(16 * 1024)},
      {"greek_16k", GreekText(16 * 1024)},
      {"latin_2k", LatinText(2 * 1024)},
      {"greek_2k", GreekText(2 * 1024)},
      {"latin_64", LatinText(64)},
      {"greek_64", GreekText(64)},
  };
  return texts;
}

typedef UTF16String (*BasaltMapping)(const UTF16String&);

enum Mapping { kUpper, kFold };

UTF16String IcuMap(Mapping inMapping, const UTF16String& inText) {
  const auto length = static_cast<int32_t>(inText.size());
  UTF16String result(inText.size() + inText.size() / 8 + 16, u'\0');
  for (;;) {
    UErrorCode status = U_ZERO_ERROR;
    const int32_t written =
        inMapping == kUpper
            ? u_strToUpper(&result[0], static_cast<int32_t>(result.size()), inText.data(), length, "", &status)
            : u_strFoldCase(&result[0], static_cast<int32_t>(result.size()), inText.data(), length,
                            U_FOLD_CASE_DEFAULT, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      result.assign(static_cast<std::size_t>(written), u'\0');
      continue;
    }
    if (U_FAILURE(status)) std::abort();
    result.resize(static_cast<std::size_t>(written));
    return result;
  }
}

BasaltMapping BasaltFunction(Mapping inMapping) {
  return inMapping == kUpper ? &basalt::utility::UpperCase : &basalt::utility::FoldCase;
}

void SetThroughput(benchmark::State& ioState, const Text& inText) {
  ioState.SetBytesProcessed(static_cast<std::int64_t>(ioState.iterations()) *
                            static_cast<std::int64_t>(inText.mUnits.size() * sizeof(char16_t)));
}

void RunBasalt(benchmark::State& ioState, Mapping inMapping, const Text& inText) {
  const BasaltMapping map = BasaltFunction(inMapping);
  for (auto _ : ioState) {
    UTF16String result = map(inText.mUnits);
    benchmark::DoNotOptimize(result.data());
  }
  SetThroughput(ioState, inText);
}

void RunIcu(benchmark::State& ioState, Mapping inMapping, const Text& inText) {
  for (auto _ : ioState) {
    UTF16String result = IcuMap(inMapping, inText.mUnits);
    benchmark::DoNotOptimize(result.data());
  }
  SetThroughput(ioState, inText);
}

const char* const kMappingNames[] = {"UpperCase", "FoldCase"};

class RatioReporter : public basalt::bench::RunCollector {
public:
  void PrintRatios() const {
    std::printf("\nbasalt / ICU, input bytes per second (above 1: basalt faster)\n");
    std::printf("%-9s %-10s | %9s %9s %7s\n", "mapping", "text", "basalt", "icu", "ratio");
    for (const Mapping mapping : {kUpper, kFold}) {
      for (const Text& text : Texts()) {
        const std::string suffix = std::string(kMappingNames[mapping]) + "/";
        const double basalt = Rate(suffix + "basalt/" + text.mName);
        const double icu = Rate(suffix + "icu/" + text.mName);
        if (basalt <= 0 || icu <= 0) continue;
        std::printf("%-9s %-10s | %9.0f %9.0f %7.2f\n", kMappingNames[mapping], text.mName.c_str(), basalt / 1e6,
                    icu / 1e6, basalt / icu);
      }
    }
    std::printf("(MB/s of UTF-16 input)\n");
  }
};

// Both sides must agree on every text, or the comparison is void.
bool SameResults() {
  bool same = true;
  for (const Mapping mapping : {kUpper, kFold}) {
    for (const Text& text : Texts()) {
      if (BasaltFunction(mapping)(text.mUnits) != IcuMap(mapping, text.mUnits)) {
        std::fprintf(stderr, "%s of %s differs from ICU\n", kMappingNames[mapping], text.mName.c_str());
        same = false;
      }
    }
  }
  return same;
}

void RegisterAll() {
  for (const Mapping mapping : {kUpper, kFold}) {
    for (const Text& text : Texts()) {
      const Text* t = &text;
      const std::string prefix = std::string(kMappingNames[mapping]) + "/";
      benchmark::RegisterBenchmark((prefix + "basalt/" + text.mName).c_str(),
                                   [mapping, t](benchmark::State& ioState) { RunBasalt(ioState, mapping, *t); });
      benchmark::RegisterBenchmark((prefix + "icu/" + text.mName).c_str(),
                                   [mapping, t](benchmark::State& ioState) { RunIcu(ioState, mapping, *t); });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!SameResults()) return 1;
  RegisterAll();
  return basalt::bench::RunAndPrintRatios<RatioReporter>(argc, argv);
}
