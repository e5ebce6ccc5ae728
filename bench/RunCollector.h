// A console reporter that also keeps what every run measured, by run name,
// for the ratio table a benchmark prints at the end. With repetitions the
// median stands for the run.
#ifndef BASALT_BENCH_RUNCOLLECTOR_H
#define BASALT_BENCH_RUNCOLLECTOR_H

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace basalt {
namespace bench {

class RunCollector : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& inRuns) override {
    ConsoleReporter::ReportRuns(inRuns);
    for (const Run& run : inRuns) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      const std::string name = run.run_name.str();
      if (!median && mFromMedian.count(name) != 0 && mFromMedian[name]) continue;
      mFromMedian[name] = median;
      mCPUTimes[name] = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) mRates[name] = rate->second.value;
    }
  }

  // Bytes per second of the named run; 0 when it did not run.
  double Rate(const std::string& inName) const { return Find(mRates, inName); }
  // CPU seconds per iteration of the named run; 0 when it did not run.
  double CPUTime(const std::string& inName) const { return Find(mCPUTimes, inName); }

private:
  static double Find(const std::map<std::string, double>& inValues, const std::string& inName) {
    const auto found = inValues.find(inName);
    return found == inValues.end() ? 0.0 : found->second;
  }

  std::map<std::string, double> mRates;
  std::map<std::string, double> mCPUTimes;
  std::map<std::string, bool> mFromMedian;
};

// Runs the registered benchmarks with a Reporter (a RunCollector with a
// PrintRatios() of its own) and prints its ratio table; main's result.
template <class Reporter>
int RunAndPrintRatios(int inArgc, char** inArgv) {
  benchmark::Initialize(&inArgc, inArgv);
  if (benchmark::ReportUnrecognizedArguments(inArgc, inArgv)) return 1;
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
}  // namespace basalt

#endif  // BASALT_BENCH_RUNCOLLECTOR_H
