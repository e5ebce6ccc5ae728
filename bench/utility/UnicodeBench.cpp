// UTF8to16 and UTF16to8 against ICU's u_strFromUTF8 and u_strToUTF8 on
// generated English (ASCII), French/German (Latin with accents) and Chinese
// (CJK) text: about 64 KiB of UTF-8 each, and about 32 bytes each for the
// short-string case.
//
// Every run reports the UTF-8 size of its text per second, in both
// directions, so the figures of a text compare across directions.
//
// Two fair pairs:
//   basalt vs icu_string: a result string per call. basalt's public function
//     against ICU converting into a UTF16String/UTF8String sized for the
//     worst case (one unit per byte, three bytes per unit), then cut to
//     length. Both pay the library allocator; basalt also measures the text
//     first so that its string has the exact size.
//   basalt_buffer vs icu_buffer: the conversion alone, into a buffer of
//     worst-case size allocated once outside the loop (basalt's kernels
//     through the internal entry points).
// After the runs the ratios of bytes per second are printed for both pairs
// (above 1 when basalt is faster).
#include <basalt/utility/UnicodeString.h>

#include "utility/UnicodeStringInternal.h"

#include <benchmark/benchmark.h>

#include "Generator.h"
#include "RunCollector.h"
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using basalt::UTF16String;
using basalt::UTF8String;

using basalt::bench::Generator;

// Words joined by spaces, with punctuation now and then, until inBytes.
UTF8String WordText(const std::vector<std::string>& inWords, std::size_t inBytes, std::uint32_t inSeed) {
  Generator random(inSeed);
  std::string text;
  while (text.size() < inBytes) {
    text += inWords[random.Below(static_cast<std::uint32_t>(inWords.size()))];
    const std::uint32_t p = random.Below(12);
    text += p == 0 ? ". " : p == 1 ? ", " : " ";
  }
  // Cut at a character boundary.
  std::size_t end = inBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return UTF8String(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

UTF8String EnglishText(std::size_t inBytes) {
  static const std::vector<std::string> words = {
      "the",    "quick",  "brown",    "fox",    "jumps",    "over",        "lazy", "dog",    "audio",
      "track",  "mixer",  "channel",  "export", "project",  "sample",      "rate", "buffer", "plugin",
      "window", "render", "timeline", "volume", "settings", "preferences", "file", "folder", "and"};
  return WordText(words, inBytes, 1);
}

UTF8String LatinText(std::size_t inBytes) {
  static const std::vector<std::string> words = {
      "le",      "café",  "être",    "déjà",    "élève",       "façade", "garçon", "où",     "très",
      "forêt",   "noël",  "naïve",   "und",     "über",        "größe",  "schön",  "Straße", "Mädchen",
      "für",     "Käse",  "Öffnung", "während", "Einstellung", "Datei",  "Ordner", "projet", "réglages",
      "fenêtre", "piste", "fichier", "die",     "der",         "la",     "les",    "avec",   "mit"};
  return WordText(words, inBytes, 2);
}

UTF8String ChineseText(std::size_t inBytes) {
  Generator random(3);
  UTF8String text;
  while (text.size() + 4 <= inBytes) {
    // Mostly common ideographs, now and then CJK punctuation.
    const std::uint32_t pick = random.Below(20);
    const UChar32 cp = pick == 0 ? 0x3002 : pick == 1 ? 0xFF0C : 0x4E00 + static_cast<UChar32>(random.Below(0x3000));
    uint8_t buffer[4];
    int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, cp);
    text.append(buffer, buffer + length);
  }
  return text;
}

UTF16String ToUTF16(const UTF8String& inText) {
  UTF16String units(inText.size(), 0);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(&units[0], static_cast<int32_t>(units.size()), &length, reinterpret_cast<const char*>(inText.data()),
                static_cast<int32_t>(inText.size()), &status);
  if (U_FAILURE(status)) std::abort();
  units.resize(static_cast<std::size_t>(length));
  return units;
}

struct Text {
  std::string mName;
  UTF8String mUTF8;
  UTF16String mUTF16;
};

const std::vector<Text>& Texts() {
  static const std::vector<Text> texts = [] {
    std::vector<Text> all;
    const std::size_t kLong = 64 * 1024;
    const std::size_t kShort = 32;
    for (const auto& [name, text] : std::vector<std::pair<std::string, UTF8String>>{{"ascii_64k", EnglishText(kLong)},
                                                                                    {"latin_64k", LatinText(kLong)},
                                                                                    {"cjk_64k", ChineseText(kLong)},
                                                                                    {"ascii_32", EnglishText(kShort)},
                                                                                    {"latin_32", LatinText(kShort)},
                                                                                    {"cjk_32", ChineseText(kShort)}})
      all.push_back({name, text, ToUTF16(text)});
    return all;
  }();
  return texts;
}

void SetThroughput(benchmark::State& ioState, const Text& inText) {
  ioState.SetBytesProcessed(static_cast<std::int64_t>(ioState.iterations()) *
                            static_cast<std::int64_t>(inText.mUTF8.size()));
}

void UTF8to16Basalt(benchmark::State& ioState, const Text& inText) {
  for (auto _ : ioState) {
    UTF16String result = basalt::utility::UTF8to16(inText.mUTF8);
    benchmark::DoNotOptimize(result.data());
  }
  SetThroughput(ioState, inText);
}

void UTF8to16BasaltBuffer(benchmark::State& ioState, const Text& inText) {
  std::vector<char16_t> buffer(inText.mUTF8.size() + 1);
  for (auto _ : ioState) {
    const std::size_t length =
        basalt::utility::internal::UTF8to16Into(inText.mUTF8.data(), inText.mUTF8.size(), buffer.data(), nullptr);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  SetThroughput(ioState, inText);
}

void UTF8to16IcuBuffer(benchmark::State& ioState, const Text& inText) {
  std::vector<UChar> buffer(inText.mUTF8.size() + 1);
  const char* source = reinterpret_cast<const char*>(inText.mUTF8.data());
  const int32_t size = static_cast<int32_t>(inText.mUTF8.size());
  for (auto _ : ioState) {
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(buffer.data(), static_cast<int32_t>(buffer.size()), &length, source, size, &status);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  SetThroughput(ioState, inText);
}

void UTF8to16IcuString(benchmark::State& ioState, const Text& inText) {
  const char* source = reinterpret_cast<const char*>(inText.mUTF8.data());
  const int32_t size = static_cast<int32_t>(inText.mUTF8.size());
  for (auto _ : ioState) {
    UTF16String result(inText.mUTF8.size(), 0);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(&result[0], static_cast<int32_t>(result.size()), &length, source, size, &status);
    result.resize(static_cast<std::size_t>(length));
    benchmark::DoNotOptimize(result.data());
  }
  SetThroughput(ioState, inText);
}

void UTF16to8Basalt(benchmark::State& ioState, const Text& inText) {
  for (auto _ : ioState) {
    UTF8String result = basalt::utility::UTF16to8(inText.mUTF16);
    benchmark::DoNotOptimize(result.data());
  }
  SetThroughput(ioState, inText);
}

void UTF16to8BasaltBuffer(benchmark::State& ioState, const Text& inText) {
  std::vector<unsigned char> buffer(inText.mUTF16.size() * 3 + 1);
  for (auto _ : ioState) {
    const std::size_t length =
        basalt::utility::internal::UTF16to8Into(inText.mUTF16.data(), inText.mUTF16.size(), buffer.data());
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  SetThroughput(ioState, inText);
}

void UTF16to8IcuBuffer(benchmark::State& ioState, const Text& inText) {
  std::vector<char> buffer(inText.mUTF16.size() * 3 + 1);
  const int32_t size = static_cast<int32_t>(inText.mUTF16.size());
  for (auto _ : ioState) {
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(buffer.data(), static_cast<int32_t>(buffer.size()), &length, inText.mUTF16.data(), size, &status);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  SetThroughput(ioState, inText);
}

void UTF16to8IcuString(benchmark::State& ioState, const Text& inText) {
  const int32_t size = static_cast<int32_t>(inText.mUTF16.size());
  for (auto _ : ioState) {
    UTF8String result(inText.mUTF16.size() * 3, 0);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(reinterpret_cast<char*>(&result[0]), static_cast<int32_t>(result.size()), &length, inText.mUTF16.data(),
                size, &status);
    result.resize(static_cast<std::size_t>(length));
    benchmark::DoNotOptimize(result.data());
  }
  SetThroughput(ioState, inText);
}

// The run table, then the ratios of basalt to its peers.
class RatioReporter : public basalt::bench::RunCollector {
public:
  void PrintRatios() const {
    std::printf("\nbasalt / ICU, bytes per second (above 1: basalt faster)\n");
    std::printf("%-9s %-10s | %-27s | %-27s\n", "", "", "result string, MB/s", "buffer only, MB/s");
    std::printf("%-9s %-10s | %9s %9s %7s | %9s %9s %7s\n", "direction", "text", "basalt", "icu", "ratio", "basalt",
                "icu", "ratio");
    for (const char* direction : {"UTF8to16", "UTF16to8"}) {
      for (const Text& text : Texts()) {
        const std::string prefix = std::string(direction) + "/";
        const double basalt = Rate(prefix + "basalt/" + text.mName);
        const double icuString = Rate(prefix + "icu_string/" + text.mName);
        const double basaltBuffer = Rate(prefix + "basalt_buffer/" + text.mName);
        const double icuBuffer = Rate(prefix + "icu_buffer/" + text.mName);
        if ((basalt <= 0 || icuString <= 0) && (basaltBuffer <= 0 || icuBuffer <= 0)) continue;
        std::printf("%-9s %-10s | %s | %s\n", direction, text.mName.c_str(), Columns(basalt, icuString).c_str(),
                    Columns(basaltBuffer, icuBuffer).c_str());
      }
    }
  }

private:
  // basalt, ICU and their ratio, or blanks when a run was filtered out.
  static std::string Columns(double inBasalt, double inIcu) {
    char text[64];
    if (inBasalt <= 0 || inIcu <= 0)
      std::snprintf(text, sizeof text, "%9s %9s %7s", "-", "-", "-");
    else
      std::snprintf(text, sizeof text, "%9.0f %9.0f %7.2f", inBasalt / 1e6, inIcu / 1e6, inBasalt / inIcu);
    return text;
  }


};

// Runs of one text sit next to each other, so that they see the same machine;
// on a busy machine also pass --benchmark_enable_random_interleaving=true.
void RegisterAll() {
  using Function = void (*)(benchmark::State&, const Text&);
  const std::pair<const char*, Function> directions[][4] = {
      {{"UTF8to16/basalt/", &UTF8to16Basalt},
       {"UTF8to16/icu_string/", &UTF8to16IcuString},
       {"UTF8to16/basalt_buffer/", &UTF8to16BasaltBuffer},
       {"UTF8to16/icu_buffer/", &UTF8to16IcuBuffer}},
      {{"UTF16to8/basalt/", &UTF16to8Basalt},
       {"UTF16to8/icu_string/", &UTF16to8IcuString},
       {"UTF16to8/basalt_buffer/", &UTF16to8BasaltBuffer},
       {"UTF16to8/icu_buffer/", &UTF16to8IcuBuffer}},
  };
  for (const auto& runs : directions) {
    for (const Text& text : Texts()) {
      for (const auto& [prefix, function] : runs) {
        const Function f = function;
        const Text* t = &text;
        benchmark::RegisterBenchmark((prefix + text.mName).c_str(),
                                     [f, t](benchmark::State& ioState) { f(ioState, *t); });
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  return basalt::bench::RunAndPrintRatios<RatioReporter>(argc, argv);
}
