// A hint to the processor inside a spin-wait loop, and a spin bounded by
// time rather than by rounds: a pause costs anywhere from a few to over 50
// nanoseconds depending on the processor, and a long spin on a loaded
// machine takes the processor from the very thread being waited for.
#ifndef BASALT_THREADS_CPURELAXINTERNAL_H
#define BASALT_THREADS_CPURELAXINTERNAL_H

#include <chrono>

namespace basalt {
namespace threads {
namespace internal {

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Spins until inArrived() is true or about a microsecond has passed;
// returns the last answer of inArrived().
template <class Predicate>
bool SpinBriefly(Predicate inArrived) noexcept {
  constexpr std::chrono::nanoseconds kBudget(1000);
  const auto deadline = std::chrono::steady_clock::now() + kBudget;
  for (;;) {
    for (int round = 0; round < 8; ++round) {
      CpuRelax();
      if (inArrived()) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_CPURELAXINTERNAL_H
