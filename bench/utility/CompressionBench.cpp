// CompressRecycledMemory and DecompressRecycledMemory against zlib called
// directly, on generated JSON-like text of 64 KiB and 4 MiB, in the three
// flavors.
//
// Peers in the same binary:
//   compress/basalt vs compress/zlib: the library's call, output into
//     recycled memory that starts at a quarter of the input and doubles,
//     against deflateInit2 / deflate(Z_FINISH) / deflateEnd with the same
//     parameters (level 9, window 15 with the flavor's wrapping, memory
//     level 8, default strategy) into a buffer of deflateBound's size
//     allocated once outside the loop.
//   decompress/basalt vs decompress/zlib: the library's call, which finds the
//     output size as it goes, against inflateInit2 / inflate(Z_FINISH) /
//     inflateEnd into a buffer of the known output size allocated once.
// Rates are of the uncompressed bytes in both directions. After the runs the
// ratios are printed; the target is the library within 10% of zlib, whose
// work dominates: the library adds buffer growth and copying only.
#include <basalt/utility/Compression.h>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "RunCollector.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

namespace bu = basalt::utility;

const std::pair<const char*, std::size_t> kSizes[] = {{"64KiB", std::size_t{64} << 10}, {"4MiB", std::size_t{4} << 20}};
const std::pair<const char*, bu::CompressionFlavor> kFlavors[] = {
    {"raw", bu::kCompressionFlavor_Raw}, {"zlib", bu::kCompressionFlavor_Zlib}, {"gzip", bu::kCompressionFlavor_Gzip}};

// Records of a catalogue as a program would store them: repeated keys,
// words from a small vocabulary, numbers.
std::string GenerateText(std::size_t inSize) {
  static const char* const kWords[] = {"preset", "volume", "track", "gain", "reverb", "delay", "chorus", "bass",
                                       "treble", "left", "right", "master", "bus", "send", "return", "mute"};
  std::mt19937 engine(42);
  std::string text = "[\n";
  while (text.size() < inSize) {
    text += "  {\"id\": " + std::to_string(engine() % 1000000) + ", \"name\": \"" + kWords[engine() % 16] + " " +
            kWords[engine() % 16] + "\", \"value\": " + std::to_string(engine() % 10000) + "." +
            std::to_string(engine() % 1000) + ", \"enabled\": " + (engine() % 2 ? "true" : "false") +
            ", \"tags\": [\"" + kWords[engine() % 16] + "\", \"" + kWords[engine() % 16] + "\"]},\n";
  }
  text.resize(inSize);
  return text;
}

boost::shared_ptr<const bu::RecycledMemory> Input(std::size_t inSize) {
  static std::map<std::size_t, boost::shared_ptr<const bu::RecycledMemory>> sInputs;
  auto found = sInputs.find(inSize);
  if (found == sInputs.end()) {
    const std::string text = GenerateText(inSize);
    boost::shared_ptr<bu::RecycledMemory> memory = bu::RecycledMemory::Create(text.size());
    std::memcpy(memory->Buffer(), text.data(), text.size());
    found = sInputs.emplace(inSize, memory).first;
  }
  return found->second;
}

boost::shared_ptr<const bu::RecycledMemory> Compressed(std::size_t inSize, bu::CompressionFlavor inFlavor) {
  boost::shared_ptr<bu::RecycledMemory> output;
  bu::CompressRecycledMemory(Input(inSize), inFlavor, output);
  return output;
}

int WindowBits(bu::CompressionFlavor inFlavor) {
  return inFlavor == bu::kCompressionFlavor_Raw ? -15 : inFlavor == bu::kCompressionFlavor_Zlib ? 15 : 31;
}

void SetThroughput(benchmark::State& ioState, std::size_t inBytes) {
  ioState.SetBytesProcessed(static_cast<std::int64_t>(ioState.iterations()) * static_cast<std::int64_t>(inBytes));
}

void CompressBasalt(benchmark::State& ioState, std::size_t inSize, bu::CompressionFlavor inFlavor) {
  const boost::shared_ptr<const bu::RecycledMemory> input = Input(inSize);
  for (auto _ : ioState) {
    boost::shared_ptr<bu::RecycledMemory> output;
    if (!bu::CompressRecycledMemory(input, inFlavor, output)) ioState.SkipWithError("compression failed");
    benchmark::DoNotOptimize(output.get());
  }
  SetThroughput(ioState, inSize);
}

void CompressZlib(benchmark::State& ioState, std::size_t inSize, bu::CompressionFlavor inFlavor) {
  const boost::shared_ptr<const bu::RecycledMemory> input = Input(inSize);
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  deflateInit2(&stream, 9, Z_DEFLATED, WindowBits(inFlavor), 8, Z_DEFAULT_STRATEGY);
  std::vector<unsigned char> output(deflateBound(&stream, static_cast<uLong>(inSize)));
  deflateEnd(&stream);
  for (auto _ : ioState) {
    std::memset(&stream, 0, sizeof stream);
    deflateInit2(&stream, 9, Z_DEFLATED, WindowBits(inFlavor), 8, Z_DEFAULT_STRATEGY);
    stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(input->Buffer()));
    stream.avail_in = static_cast<uInt>(inSize);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) ioState.SkipWithError("deflate failed");
    deflateEnd(&stream);
    benchmark::DoNotOptimize(output.data());
  }
  SetThroughput(ioState, inSize);
}

void DecompressBasalt(benchmark::State& ioState, std::size_t inSize, bu::CompressionFlavor inFlavor) {
  const boost::shared_ptr<const bu::RecycledMemory> compressed = Compressed(inSize, inFlavor);
  boost::shared_ptr<bu::RecycledMemory> output;
  for (auto _ : ioState) {
    output.reset();
    if (!bu::DecompressRecycledMemory(compressed, inFlavor, output)) ioState.SkipWithError("decompression failed");
    benchmark::DoNotOptimize(output.get());
  }
  const boost::shared_ptr<const bu::RecycledMemory> input = Input(inSize);
  if (!output || output->Size() != inSize ||
      std::memcmp(static_cast<const bu::RecycledMemory&>(*output).Buffer(), input->Buffer(), inSize) != 0)
    ioState.SkipWithError("decompression gave other bytes");
  SetThroughput(ioState, inSize);
}

void DecompressZlib(benchmark::State& ioState, std::size_t inSize, bu::CompressionFlavor inFlavor) {
  const boost::shared_ptr<const bu::RecycledMemory> compressed = Compressed(inSize, inFlavor);
  std::vector<unsigned char> output(inSize);
  for (auto _ : ioState) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    inflateInit2(&stream, inFlavor == bu::kCompressionFlavor_Raw ? -15 : 47);
    stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(compressed->Buffer()));
    stream.avail_in = static_cast<uInt>(compressed->Size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    if (inflate(&stream, Z_FINISH) != Z_STREAM_END) ioState.SkipWithError("inflate failed");
    inflateEnd(&stream);
    benchmark::DoNotOptimize(output.data());
  }
  SetThroughput(ioState, inSize);
}

class RatioReporter : public basalt::bench::RunCollector {
public:
  void PrintRatios() const {
    std::printf("\nuncompressed bytes per second, basalt against zlib called directly (above 1: basalt faster)\n");
    std::printf("%-10s %-5s %-6s | %10s %10s %7s | %s\n", "direction", "flav", "size", "basalt", "zlib", "ratio",
                "target");
    for (const char* direction : {"compress", "decompress"}) {
      for (const auto& size : kSizes) {
        for (const auto& flavor : kFlavors) {
          const std::string suffix = std::string("/") + flavor.first + "/" + size.first;
          const double basalt = Rate(std::string(direction) + "/basalt" + suffix);
          const double zlib = Rate(std::string(direction) + "/zlib" + suffix);
          char ratio[16] = "-";
          if (basalt > 0 && zlib > 0) std::snprintf(ratio, sizeof ratio, "%.2f", basalt / zlib);
          std::printf("%-10s %-5s %-6s | %10s %10s %7s | %s\n", direction, flavor.first, size.first,
                      Format(basalt).c_str(), Format(zlib).c_str(), ratio, "ratio >= 0.90");
        }
      }
    }
    for (const auto& size : kSizes) {
      const boost::shared_ptr<const bu::RecycledMemory> compressed = Compressed(size.second, bu::kCompressionFlavor_Gzip);
      std::printf("gzip of %s: %llu bytes (%.1f%% of the input)\n", size.first,
                  static_cast<unsigned long long>(compressed->Size()),
                  100.0 * static_cast<double>(compressed->Size()) / static_cast<double>(size.second));
    }
  }

private:
  static std::string Format(double inRate) {
    char text[32];
    if (inRate <= 0)
      std::snprintf(text, sizeof text, "-");
    else
      std::snprintf(text, sizeof text, "%.1f MB/s", inRate / 1e6);
    return text;
  }
};

void RegisterAll() {
  using Function = void (*)(benchmark::State&, std::size_t, bu::CompressionFlavor);
  const std::pair<const char*, Function> runs[] = {
      {"compress/basalt/", &CompressBasalt},
      {"compress/zlib/", &CompressZlib},
      {"decompress/basalt/", &DecompressBasalt},
      {"decompress/zlib/", &DecompressZlib},
  };
  for (const auto& size : kSizes) {
    for (const auto& flavor : kFlavors) {
      for (const auto& [prefix, function] : runs) {
        const Function f = function;
        const std::size_t bytes = size.second;
        const bu::CompressionFlavor which = flavor.second;
        benchmark::RegisterBenchmark((std::string(prefix) + flavor.first + "/" + size.first).c_str(),
                                     [f, bytes, which](benchmark::State& ioState) { f(ioState, bytes, which); })
            ->Unit(benchmark::kMicrosecond);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  return basalt::bench::RunAndPrintRatios<RatioReporter>(argc, argv);
}
