// Murmur3Mixer, MixHash (lookup2) and the Base64 coders on 1 MiB and 16-byte
// inputs of random bytes.
//
// Peers in the same binary:
//   murmur3/basalt vs murmur3/oneshot: the streaming mixer (Mix then ToGuid)
//     against a straight one-shot MurmurHash3_x64_128 written the way the
//     public-domain reference is, digest left as two words.
//   lookup2/basalt vs lookup2/reference: one MixHash step against the
//     reference hash() reading bytes one at a time.
//   base64/encode, base64/decode: the public functions, output storage reused
//     across iterations; rates are of the binary data (1 MiB in, or out).
// After the runs the ratios are printed; the targets are the streaming
// mixer within 10% of the one-shot code and Base64 at 1 GB/s or more.
#include <basalt/utility/Base64.h>
#include <basalt/utility/Hash.h>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

namespace bu = basalt::utility;

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

inline std::uint64_t Rotl64(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline std::uint64_t Fmix64(std::uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

void OneShotMurmur3(const void* key, std::size_t len, std::uint32_t seed, std::uint64_t out[2]) {
  const std::uint8_t* data = static_cast<const std::uint8_t*>(key);
  const std::size_t nblocks = len / 16;
  std::uint64_t h1 = seed;
  std::uint64_t h2 = seed;
  const std::uint64_t c1 = 0x87c37b91114253d5ULL;
  const std::uint64_t c2 = 0x4cf5ad432745937fULL;
  for (std::size_t i = 0; i < nblocks; i++) {
    std::uint64_t k1, k2;
    std::memcpy(&k1, data + 16 * i, 8);
    std::memcpy(&k2, data + 16 * i + 8, 8);
    k1 *= c1; k1 = Rotl64(k1, 31); k1 *= c2; h1 ^= k1;
    h1 = Rotl64(h1, 27); h1 += h2; h1 = h1 * 5 + 0x52dce729;
    k2 *= c2; k2 = Rotl64(k2, 33); k2 *= c1; h2 ^= k2;
    h2 = Rotl64(h2, 31); h2 += h1; h2 = h2 * 5 + 0x38495ab5;
  }
  const std::uint8_t* tail = data + nblocks * 16;
  std::uint64_t k1 = 0;
  std::uint64_t k2 = 0;
  switch (len & 15) {
    case 15: k2 ^= ((std::uint64_t)tail[14]) << 48; [[fallthrough]];
    case 14: k2 ^= ((std::uint64_t)tail[13]) << 40; [[fallthrough]];
    case 13: k2 ^= ((std::uint64_t)tail[12]) << 32; [[fallthrough]];
    case 12: k2 ^= ((std::uint64_t)tail[11]) << 24; [[fallthrough]];
    case 11: k2 ^= ((std::uint64_t)tail[10]) << 16; [[fallthrough]];
    case 10: k2 ^= ((std::uint64_t)tail[9]) << 8; [[fallthrough]];
    case 9:
      k2 ^= ((std::uint64_t)tail[8]) << 0;
      k2 *= c2; k2 = Rotl64(k2, 33); k2 *= c1; h2 ^= k2;
      [[fallthrough]];
    case 8: k1 ^= ((std::uint64_t)tail[7]) << 56; [[fallthrough]];
    case 7: k1 ^= ((std::uint64_t)tail[6]) << 48; [[fallthrough]];
    case 6: k1 ^= ((std::uint64_t)tail[5]) << 40; [[fallthrough]];
    case 5: k1 ^= ((std::uint64_t)tail[4]) << 32; [[fallthrough]];
    case 4: k1 ^= ((std::uint64_t)tail[3]) << 24; [[fallthrough]];
    case 3: k1 ^= ((std::uint64_t)tail[2]) << 16; [[fallthrough]];
    case 2: k1 ^= ((std::uint64_t)tail[1]) << 8; [[fallthrough]];
    case 1:
      k1 ^= ((std::uint64_t)tail[0]) << 0;
      k1 *= c1; k1 = Rotl64(k1, 31); k1 *= c2; h1 ^= k1;
  }
  h1 ^= static_cast<std::uint32_t>(len);
  h2 ^= static_cast<std::uint32_t>(len);
  h1 += h2;
  h2 += h1;
  h1 = Fmix64(h1);
  h2 = Fmix64(h2);
  h1 += h2;
  h2 += h1;
  out[0] = h1;
  out[1] = h2;
}

#define LOOKUP2_MIX(a, b, c) \
  {                          \
    a -= b; a -= c; a ^= (c >> 13); \
    b -= c; b -= a; b ^= (a << 8);  \
    c -= a; c -= b; c ^= (b >> 13); \
    a -= b; a -= c; a ^= (c >> 12); \
    b -= c; b -= a; b ^= (a << 16); \
    c -= a; c -= b; c ^= (b >> 5);  \
    a -= b; a -= c; a ^= (c >> 3);  \
    b -= c; b -= a; b ^= (a << 10); \
    c -= a; c -= b; c ^= (b >> 15); \
  }

std::uint32_t ReferenceLookup2(const unsigned char* k, std::uint32_t length, std::uint32_t initval) {
  std::uint32_t a = 0x9e3779b9, b = 0x9e3779b9, c = initval, len = length;
  while (len >= 12) {
    a += (k[0] + ((std::uint32_t)k[1] << 8) + ((std::uint32_t)k[2] << 16) + ((std::uint32_t)k[3] << 24));
    b += (k[4] + ((std::uint32_t)k[5] << 8) + ((std::uint32_t)k[6] << 16) + ((std::uint32_t)k[7] << 24));
    c += (k[8] + ((std::uint32_t)k[9] << 8) + ((std::uint32_t)k[10] << 16) + ((std::uint32_t)k[11] << 24));
    LOOKUP2_MIX(a, b, c);
    k += 12;
    len -= 12;
  }
  c += length;
  switch (len) {
    case 11: c += ((std::uint32_t)k[10] << 24); [[fallthrough]];
    case 10: c += ((std::uint32_t)k[9] << 16); [[fallthrough]];
    case 9: c += ((std::uint32_t)k[8] << 8); [[fallthrough]];
    case 8: b += ((std::uint32_t)k[7] << 24); [[fallthrough]];
    case 7: b += ((std::uint32_t)k[6] << 16); [[fallthrough]];
    case 6: b += ((std::uint32_t)k[5] << 8); [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += ((std::uint32_t)k[3] << 24); [[fallthrough]];
    case 3: a += ((std::uint32_t)k[2] << 16); [[fallthrough]];
    case 2: a += ((std::uint32_t)k[1] << 8); [[fallthrough]];
    case 1: a += k[0];
  }
  LOOKUP2_MIX(a, b, c);
  return c;
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
    OneShotMurmur3(data.data(), data.size(), 0, digest);
    benchmark::DoNotOptimize(digest);
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

// Console output as usual, plus the bytes per second of every run by name.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& inRuns) override {
    ConsoleReporter::ReportRuns(inRuns);
    for (const Run& run : inRuns) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      const auto found = run.counters.find("bytes_per_second");
      if (found == run.counters.end()) continue;
      const std::string name = run.run_name.str();
      if (median || mRates.count(name) == 0 || !mFromMedian[name]) {
        mRates[name] = found->second.value;
        mFromMedian[name] = median;
      }
    }
  }

  void PrintRatios() const {
    std::printf("\nbytes per second, basalt against its peer (above 1: basalt faster)\n");
    std::printf("%-8s %-5s | %10s %10s %7s | %s\n", "function", "size", "basalt", "peer", "ratio", "target");
    for (const auto& size : kSizes) {
      Row("murmur3", size.first, "murmur3/basalt/", "murmur3/oneshot/", "ratio >= 0.90");
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

  double Rate(const std::string& inName) const {
    const auto found = mRates.find(inName);
    return found == mRates.end() ? 0.0 : found->second;
  }

  std::map<std::string, double> mRates;
  std::map<std::string, bool> mFromMedian;
};

void RegisterAll() {
  using Function = void (*)(benchmark::State&, std::size_t);
  const std::pair<const char*, Function> runs[] = {
      {"murmur3/basalt/", &Murmur3Basalt}, {"murmur3/oneshot/", &Murmur3OneShot},
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
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
