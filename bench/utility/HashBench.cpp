// Murmur3Mixer, MixHash (lookup2) and the Base64 coders on 1 MiB and 16-byte
// inputs of random bytes.
//
// Peers in the same binary:
//   murmur3/basalt vs murmur3/oneshot: the streaming mixer (Mix then ToGuid)
//     against a straight one-shot MurmurHash3_x64_128 written the way the
//     public-domain reference is, digest left as two words; and against the
//     same one-shot digest turned into a Guid (murmur3/oneshot_guid), the
//     result type the mixer delivers.
//   lookup2/basalt vs lookup2/reference: one MixHash step against the
//     reference hash() reading bytes one at a time.
//   base64/encode, base64/decode: the public functions, output storage reused
//     across iterations; rates are of the binary data (1 MiB in, or out).
// After the runs the ratios are printed; the targets are the streaming
// mixer within 10% of the one-shot code and Base64 at 1 GB/s or more.
#include <basalt/utility/Base64.h>
#include <basalt/utility/Hash.h>

#include <benchmark/benchmark.h>

#include "RunCollector.h"
#include "utility/ReferenceHashes.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

namespace bu = basalt::utility;
using namespace basalt::testing::reference;

std::vector<unsigned char> RandomBytes(std::size_t inCount) {
  std::vector<unsigned char> bytes(inCount);
  std::uint32_t state = 12345;
  for (unsigned char& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<unsigned char>(state >> 24);
  }
  return bytes;
}

const std::vector<unsigned char>& Data(std::size_t inSize) {
  static std::map<std::size_t, std::vector<unsigned char>> sData;
  auto found = sData.find(inSize);
  if (found == sData.end()) found = sData.emplace(inSize, RandomBytes(inSize)).first;
  return found->second;
}

void SetThroughput(benchmark::State& ioState, std::size_t inBytes) {
  ioState.SetBytesProcessed(static_cast<std::int64_t>(ioState.iterations()) * static_cast<std::int64_t>(inBytes));
}

void Murmur3Basalt(benchmark::State& ioState, std::size_t inSize) {
  const std::vector<unsigned char>& data = Data(inSize);
  for (auto _ : ioState) {
    bu::Murmur3Mixer mixer;
    mixer.Mix(data.data(), data.size());
    bu::Guid digest = mixer.ToGuid();
    benchmark::DoNotOptimize(digest);
  }
  SetThroughput(ioState, inSize);
}

void Murmur3OneShot(benchmark::State& ioState, std::size_t inSize) {
  const std::vector<unsigned char>& data = Data(inSize);
  for (auto _ : ioState) {
    std::uint64_t digest[2];
    ReferenceMurmur3(data.data(), static_cast<int>(data.size()), 0, digest);
    benchmark::DoNotOptimize(digest);
  }
  SetThroughput(ioState, inSize);
}

// The same one-shot digest delivered as the mixer delivers it: a Guid whose
// fields are the digest bytes read as GuidFromBytes reads them.
void Murmur3OneShotGuid(benchmark::State& ioState, std::size_t inSize) {
  const std::vector<unsigned char>& data = Data(inSize);
  for (auto _ : ioState) {
    std::uint64_t digest[2];
    ReferenceMurmur3(data.data(), static_cast<int>(data.size()), 0, digest);
    const std::uint64_t h1 = digest[0];
    const std::uint64_t h2 = digest[1];
    bu::Guid guid(__builtin_bswap32(static_cast<std::uint32_t>(h1)),
                  __builtin_bswap16(static_cast<std::uint16_t>(h1 >> 32)),
                  __builtin_bswap16(static_cast<std::uint16_t>(h1 >> 48)), static_cast<std::uint8_t>(h2),
                  static_cast<std::uint8_t>(h2 >> 8), static_cast<std::uint8_t>(h2 >> 16),
                  static_cast<std::uint8_t>(h2 >> 24), static_cast<std::uint8_t>(h2 >> 32),
                  static_cast<std::uint8_t>(h2 >> 40), static_cast<std::uint8_t>(h2 >> 48),
                  static_cast<std::uint8_t>(h2 >> 56));
    benchmark::DoNotOptimize(guid);
  }
  SetThroughput(ioState, inSize);
}

void Lookup2Basalt(benchmark::State& ioState, std::size_t inSize) {
  const std::vector<unsigned char>& data = Data(inSize);
  bu::HashValue hash;
  for (auto _ : ioState) {
    bu::MixHash::MixInArray(hash, data.data(), data.size());
    benchmark::DoNotOptimize(hash);
  }
  SetThroughput(ioState, inSize);
}

void Lookup2Reference(benchmark::State& ioState, std::size_t inSize) {
  const std::vector<unsigned char>& data = Data(inSize);
  std::uint32_t hash = 0;
  for (auto _ : ioState) {
    hash = ReferenceLookup2(data.data(), static_cast<std::uint32_t>(data.size()), hash);
    benchmark::DoNotOptimize(hash);
  }
  SetThroughput(ioState, inSize);
}

void Base64Encode(benchmark::State& ioState, std::size_t inSize) {
  const std::vector<unsigned char>& data = Data(inSize);
  basalt::UTF8String text;
  for (auto _ : ioState) {
    bu::EncodeBinaryDataToUTF8String(data.data(), data.size(), text);
    benchmark::DoNotOptimize(text.data());
  }
  SetThroughput(ioState, inSize);
}

void Base64Decode(benchmark::State& ioState, std::size_t inSize) {
  const std::vector<unsigned char>& data = Data(inSize);
  basalt::UTF8String text;
  bu::EncodeBinaryDataToUTF8String(data.data(), data.size(), text);
  std::vector<unsigned char, bu::SmallBlockAllocator::STLAllocator<unsigned char>> bytes;
  for (auto _ : ioState) {
    if (!bu::DecodeBinaryDataFromUTF8String(text, bytes)) ioState.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bytes.data());
  }
  if (bytes.size() != data.size() || std::memcmp(bytes.data(), data.data(), data.size()) != 0)
    ioState.SkipWithError("decode gave other bytes");
  SetThroughput(ioState, inSize);
}

const std::pair<const char*, std::size_t> kSizes[] = {{"1MiB", 1u << 20}, {"16B", 16}};

// The run table, then the ratios of basalt to its peers.
class RatioReporter : public basalt::bench::RunCollector {
public:
  void PrintRatios() const {
    std::printf("\nbytes per second, basalt against its peer (above 1: basalt faster)\n");
    std::printf("%-8s %-5s | %10s %10s %7s | %s\n", "function", "size", "basalt", "peer", "ratio", "target");
    for (const auto& size : kSizes) {
      Row("murmur3", size.first, "murmur3/basalt/", "murmur3/oneshot/", "ratio >= 0.90");
      Row("  +guid", size.first, "murmur3/basalt/", "murmur3/oneshot_guid/", "same result type");
      Row("lookup2", size.first, "lookup2/basalt/", "lookup2/reference/", "-");
    }
    for (const auto& size : kSizes) {
      for (const char* direction : {"encode", "decode"}) {
        const double rate = Rate(std::string("base64/") + direction + "/" + size.first);
        std::printf("base64 %-6s %-5s | %10s | %s\n", direction, size.first, Format(rate).c_str(),
                    std::string(size.first) == "1MiB" ? ">= 1000 MB/s" : "-");
      }
    }
  }

private:
  void Row(const char* inFunction, const char* inSize, const std::string& inBasalt, const std::string& inPeer,
           const char* inTarget) const {
    const double basalt = Rate(inBasalt + inSize);
    const double peer = Rate(inPeer + inSize);
    char ratio[16] = "-";
    if (basalt > 0 && peer > 0) std::snprintf(ratio, sizeof ratio, "%.2f", basalt / peer);
    std::printf("%-8s %-5s | %10s %10s %7s | %s\n", inFunction, inSize, Format(basalt).c_str(), Format(peer).c_str(),
                ratio, inTarget);
  }

  static std::string Format(double inRate) {
    char text[32];
    if (inRate <= 0)
      std::snprintf(text, sizeof text, "-");
    else
      std::snprintf(text, sizeof text, "%.0f MB/s", inRate / 1e6);
    return text;
  }
};

void RegisterAll() {
  using Function = void (*)(benchmark::State&, std::size_t);
  const std::pair<const char*, Function> runs[] = {
      {"murmur3/basalt/", &Murmur3Basalt}, {"murmur3/oneshot/", &Murmur3OneShot},
      {"murmur3/oneshot_guid/", &Murmur3OneShotGuid},
      {"lookup2/basalt/", &Lookup2Basalt}, {"lookup2/reference/", &Lookup2Reference},
      {"base64/encode/", &Base64Encode},   {"base64/decode/", &Base64Decode},
  };
  for (const auto& size : kSizes) {
    for (const auto& [prefix, function] : runs) {
      const Function f = function;
      const std::size_t bytes = size.second;
      benchmark::RegisterBenchmark((std::string(prefix) + size.first).c_str(),
                                   [f, bytes](benchmark::State& ioState) { f(ioState, bytes); });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  return basalt::bench::RunAndPrintRatios<RatioReporter>(argc, argv);
}
