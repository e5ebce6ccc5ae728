// JSONParse and GetJSONUTF8String against RapidJSON and nlohmann::json on the
// standard files twitter.json (strings, escapes), citm_catalog.json (objects)
// and canada.json (numbers).
//
//   Parse/<file>/<library>  text to a value tree, the tree's destruction
//                           included (basalt: shared boost::any values;
//                           nlohmann: json; RapidJSON: Document with its
//                           default pool allocator and flags)
//   Write/<file>/<library>  the tree of that file back to compact text
//
// Throughput is counted in bytes of the input file for both. After the runs
// the CPU times and the ratios peer time / basalt time are printed per file
// (above 1 when basalt is faster), for parse, write and the two together.
//
// The files are read from the folder in the environment variable
// BASALT_BENCH_DATA, or else from the folder the build was configured with.
#include <basalt/serialization/JSON.h>

#include <benchmark/benchmark.h>

#include "RunCollector.h"
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

namespace bs = basalt::serialization;
using basalt::UTF8String;

struct Document {
  std::string mName;
  std::string mText;
  UTF8String mUTF8;
};

const char* const kFiles[] = {"twitter.json", "citm_catalog.json", "canada.json"};
const char* const kLibraries[] = {"basalt", "nlohmann", "rapidjson"};

std::vector<Document> LoadDocuments() {
  const char* folder = std::getenv("BASALT_BENCH_DATA");
  const std::string base = folder != nullptr ? folder : BASALT_BENCH_DATA_DIR;
  std::vector<Document> documents;
  for (const char* name : kFiles) {
    std::ifstream in(base + "/" + name, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s/%s\n", base.c_str(), name);
      std::exit(1);
    }
    Document document;
    document.mName = name;
    document.mText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    document.mUTF8.assign(document.mText.begin(), document.mText.end());
    documents.push_back(std::move(document));
  }
  return documents;
}

void SetThroughput(benchmark::State& ioState, const Document& inDocument) {
  ioState.SetBytesProcessed(static_cast<std::int64_t>(ioState.iterations()) *
                            static_cast<std::int64_t>(inDocument.mText.size()));
}

void ParseBasalt(benchmark::State& ioState, const Document& inDocument) {
  for (auto _ : ioState) {
    bs::JSONValuePtr value = bs::JSONParse(inDocument.mUTF8);
    benchmark::DoNotOptimize(value.get());
  }
  SetThroughput(ioState, inDocument);
}

void ParseNlohmann(benchmark::State& ioState, const Document& inDocument) {
  for (auto _ : ioState) {
    nlohmann::json value = nlohmann::json::parse(inDocument.mText);
    benchmark::DoNotOptimize(&value);
  }
  SetThroughput(ioState, inDocument);
}

void ParseRapidJSON(benchmark::State& ioState, const Document& inDocument) {
  for (auto _ : ioState) {
    rapidjson::Document value;
    value.Parse(inDocument.mText.c_str());
    if (value.HasParseError()) ioState.SkipWithError("RapidJSON parse error");
    benchmark::DoNotOptimize(&value);
  }
  SetThroughput(ioState, inDocument);
}

void WriteBasalt(benchmark::State& ioState, const Document& inDocument) {
  const bs::JSONValuePtr value = bs::JSONParse(inDocument.mUTF8);
  for (auto _ : ioState) {
    UTF8String text = bs::GetJSONUTF8String(*value);
    benchmark::DoNotOptimize(text.data());
  }
  SetThroughput(ioState, inDocument);
}

void WriteNlohmann(benchmark::State& ioState, const Document& inDocument) {
  const nlohmann::json value = nlohmann::json::parse(inDocument.mText);
  for (auto _ : ioState) {
    std::string text = value.dump();
    benchmark::DoNotOptimize(text.data());
  }
  SetThroughput(ioState, inDocument);
}

void WriteRapidJSON(benchmark::State& ioState, const Document& inDocument) {
  rapidjson::Document value;
  value.Parse(inDocument.mText.c_str());
  for (auto _ : ioState) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    benchmark::DoNotOptimize(buffer.GetString());
  }
  SetThroughput(ioState, inDocument);
}

// The run table, then the ratios of basalt to its peers.
class RatioReporter : public basalt::bench::RunCollector {
public:
  void PrintRatios() const {
    std::printf("\nCPU milliseconds per file; ratio = peer time / basalt time (above 1: basalt faster)\n");
    std::printf("%-18s %-11s | %9s | %9s %7s | %9s %7s\n", "file", "operation", "basalt", "nlohmann", "ratio",
                "rapidjson", "ratio");
    for (const char* file : kFiles) {
      for (const char* operation : {"Parse", "Write", "Parse+Write"}) {
        double times[3];
        bool complete = true;
        for (int library = 0; library < 3; ++library) {
          times[library] = Time(operation, file, kLibraries[library]);
          complete = complete && times[library] > 0;
        }
        if (!complete) continue;
        std::printf("%-18s %-11s | %9.3f | %9.3f %7.2f | %9.3f %7.2f\n", file, operation, times[0] * 1e3,
                    times[1] * 1e3, times[1] / times[0], times[2] * 1e3, times[2] / times[0]);
      }
    }
  }

private:
  // Seconds per iteration; the sum of both for "Parse+Write"; 0 when missing.
  double Time(const std::string& inOperation, const std::string& inFile, const std::string& inLibrary) const {
    if (inOperation == "Parse+Write") {
      const double parse = Time("Parse", inFile, inLibrary);
      const double write = Time("Write", inFile, inLibrary);
      return parse > 0 && write > 0 ? parse + write : 0.0;
    }
    return CPUTime(inOperation + "/" + inFile + "/" + inLibrary);
  }
};

// Runs of one file and operation sit next to each other, so that they see
// the same machine; on a busy machine also pass
// --benchmark_enable_random_interleaving=true or --benchmark_repetitions.
void RegisterAll(const std::vector<Document>& inDocuments) {
  using Function = void (*)(benchmark::State&, const Document&);
  struct Operation {
    const char* mName;
    Function mFunctions[3];
  };
  const Operation operations[] = {
      {"Parse", {&ParseBasalt, &ParseNlohmann, &ParseRapidJSON}},
      {"Write", {&WriteBasalt, &WriteNlohmann, &WriteRapidJSON}},
  };
  for (const Document& document : inDocuments) {
    for (const Operation& operation : operations) {
      for (int library = 0; library < 3; ++library) {
        const Function f = operation.mFunctions[library];
        const Document* d = &document;
        const std::string name = std::string(operation.mName) + "/" + document.mName + "/" + kLibraries[library];
        benchmark::RegisterBenchmark(name.c_str(), [f, d](benchmark::State& ioState) { f(ioState, *d); })
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<Document> documents = LoadDocuments();
  RegisterAll(documents);
  return basalt::bench::RunAndPrintRatios<RatioReporter>(argc, argv);
}
