// Sorting 100,000 generated file names ("IMG_0042.JPG", "Track 7 - Take 12.wav",
// "report v2.10 final.pdf", ...) with std::sort.
//
// Runs in the same binary:
//   sort/natural/basalt: NaturalStringLessThan;
//   sort/natural/basalt_ci: CaseInsensitive::NaturalStringLessThan;
//   sort/natural/icu: an ICU collator for the root locale with numeric
//     collation on (digits ordered by value), ucol_strcoll on the UTF-16
//     strings; the usual way to get a natural order from a library;
//   sort/lexicographic: the strings' own operator< (code unit order, no
//     natural order), the floor any comparison-based sort pays.
// Each iteration sorts a fresh copy of the same shuffled names; copying is
// left out of the time. After the runs the time ratios are printed.
#include <basalt/utility/NaturalCompare.h>

#include <benchmark/benchmark.h>
#include <unicode/ucol.h>

#include "RunCollector.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

namespace bu = basalt::utility;
using basalt::UTF16String;

const std::size_t kNameCount = 100000;

UTF16String Widen(const std::string& inText) { return UTF16String(inText.begin(), inText.end()); }

const std::vector<UTF16String>& Names() {
  static const std::vector<UTF16String> sNames = [] {
    std::mt19937 engine(20240601);
    const auto pick = [&engine](std::uint32_t inBound) { return static_cast<unsigned>(engine() % inBound); };
    static const char* const kWords[] = {"final", "Draft", "backup", "Scan", "notes", "Mix", "take", "IMG"};
    std::vector<UTF16String> names;
    names.reserve(kNameCount);
    char buffer[128];
    while (names.size() < kNameCount) {
      switch (pick(5)) {
        case 0:
          std::snprintf(buffer, sizeof buffer, "IMG_%04u.JPG", pick(10000));
          break;
        case 1:
          std::snprintf(buffer, sizeof buffer, "Track %u - Take %u.wav", 1 + pick(40), 1 + pick(30));
          break;
        case 2:
          std::snprintf(buffer, sizeof buffer, "report v%u.%u %s.pdf", pick(5), pick(20), kWords[pick(8)]);
          break;
        case 3:
          std::snprintf(buffer, sizeof buffer, "%s %u (%u).txt", kWords[pick(8)], pick(1000), pick(4));
          break;
        default:
          std::snprintf(buffer, sizeof buffer, "Project%u/shot%03u_v%u.exr", pick(12), pick(500), pick(9));
          break;
      }
      names.push_back(Widen(buffer));
    }
    return names;
  }();
  return sNames;
}

template <class Less>
void SortNames(benchmark::State& ioState, Less inLess) {
  const std::vector<UTF16String>& names = Names();
  std::vector<UTF16String> work;
  for (auto _ : ioState) {
    ioState.PauseTiming();
    work = names;
    ioState.ResumeTiming();
    std::sort(work.begin(), work.end(), inLess);
    benchmark::DoNotOptimize(work.data());
  }
  if (!std::is_sorted(work.begin(), work.end(), inLess)) ioState.SkipWithError("not sorted");
  ioState.SetItemsProcessed(static_cast<std::int64_t>(ioState.iterations()) * static_cast<std::int64_t>(kNameCount));
}

void SortBasalt(benchmark::State& ioState) { SortNames(ioState, bu::NaturalStringLessThan); }
void SortBasaltInsensitive(benchmark::State& ioState) {
  SortNames(ioState, bu::CaseInsensitive::NaturalStringLessThan);
}

void SortICU(benchmark::State& ioState) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open("", &status);
  ucol_setAttribute(collator, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
  if (U_FAILURE(status)) {
    ioState.SkipWithError(u_errorName(status));
    ucol_close(collator);
    return;
  }
  SortNames(ioState, [collator](const UTF16String& inA, const UTF16String& inB) {
    return ucol_strcoll(collator, inA.data(), static_cast<int32_t>(inA.size()), inB.data(),
                        static_cast<int32_t>(inB.size())) == UCOL_LESS;
  });
  ucol_close(collator);
}

void SortLexicographic(benchmark::State& ioState) {
  SortNames(ioState, [](const UTF16String& inA, const UTF16String& inB) { return inA < inB; });
}

class RatioReporter : public basalt::bench::RunCollector {
public:
  void PrintRatios() const {
    const double basalt = CPUTime("sort/natural/basalt");
    const double insensitive = CPUTime("sort/natural/basalt_ci");
    const double icu = CPUTime("sort/natural/icu");
    const double lexicographic = CPUTime("sort/lexicographic");
    std::printf("\nsorting %zu file names, CPU time per sort (ratio above 1: basalt faster)\n", kNameCount);
    std::printf("%-26s %10s %10s\n", "run", "ms", "ratio");
    Row("basalt natural", basalt, basalt);
    Row("basalt natural, no case", insensitive, basalt);
    Row("ICU numeric collator", icu, basalt);
    Row("code-unit operator<", lexicographic, basalt);
  }

private:
  static void Row(const char* inName, double inSeconds, double inBasaltSeconds) {
    char ratio[16] = "-";
    if (inSeconds > 0 && inBasaltSeconds > 0) std::snprintf(ratio, sizeof ratio, "%.2f", inSeconds / inBasaltSeconds);
    std::printf("%-26s %10.1f %10s\n", inName, inSeconds * 1e3, ratio);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("sort/natural/basalt", SortBasalt)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("sort/natural/basalt_ci", SortBasaltInsensitive)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("sort/natural/icu", SortICU)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("sort/lexicographic", SortLexicographic)->Unit(benchmark::kMillisecond);
  return basalt::bench::RunAndPrintRatios<RatioReporter>(argc, argv);
}
