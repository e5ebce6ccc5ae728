// A small deterministic random source for the benchmarks' generated inputs,
// so that every run measures the same text.
#ifndef BASALT_BENCH_GENERATOR_H
#define BASALT_BENCH_GENERATOR_H

#include <cstdint>

namespace basalt {
namespace bench {

class Generator {
public:
  explicit Generator(std::uint32_t inSeed) : mState(inSeed) {}
  // A value in [0, inBound).
  std::uint32_t Below(std::uint32_t inBound) {
    mState = mState * 1664525u + 1013904223u;
    return (mState >> 8) % inBound;
  }

private:
  std::uint32_t mState;
};

}  // namespace bench
}  // namespace basalt

#endif  // BASALT_BENCH_GENERATOR_H
