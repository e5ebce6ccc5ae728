// Bit and compare operations on a 32-bit integer shared between threads.
//
// Each is one atomic read-modify-write with a full barrier. The integer must
// be 4-byte aligned and only ever accessed through these functions (or other
// atomic operations) while threads share it.
#ifndef BASALT_THREADS_ATOMICS_H
#define BASALT_THREADS_ATOMICS_H

#include <cstdint>

namespace basalt {
namespace threads {

// Sets bit inBit (0..31); true when it was already set.
inline bool AtomicTestAndSet(volatile std::int32_t& ioValue, int inBit) noexcept {
  const std::int32_t mask = static_cast<std::int32_t>(1u << inBit);
  return (__atomic_fetch_or(&ioValue, mask, __ATOMIC_SEQ_CST) & mask) != 0;
}

// Clears bit inBit (0..31); true when it was set.
inline bool AtomicTestAndClear(volatile std::int32_t& ioValue, int inBit) noexcept {
  const std::int32_t mask = static_cast<std::int32_t>(1u << inBit);
  return (__atomic_fetch_and(&ioValue, ~mask, __ATOMIC_SEQ_CST) & mask) != 0;
}

// Stores inDesired only when the value equals inExpected; true when it did.
inline bool AtomicCompareAndSet(volatile std::int32_t& ioValue, std::int32_t inExpected,
                                std::int32_t inDesired) noexcept {
  return __atomic_compare_exchange_n(&ioValue, &inExpected, inDesired, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST);
}

}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_ATOMICS_H
