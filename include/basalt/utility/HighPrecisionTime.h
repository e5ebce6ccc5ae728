// Time stamps from the system's monotonic high-resolution clock.
//
// A time stamp ("host time") is a raw counter value; on Linux the counter is
// CLOCK_MONOTONIC in nanoseconds, so the frequency is 1e9 ticks per second.
// Callers should not rely on that: convert differences with the functions
// below. Conversions go through double precision, as callers of the Windows
// build expect, so values beyond 2^53 ticks lose their lowest bits.
//
// Every function is reentrant and callable from any thread; the frequency is
// fixed when the library is loaded.
#ifndef BASALT_UTILITY_HIGHPRECISIONTIME_H
#define BASALT_UTILITY_HIGHPRECISIONTIME_H

#include <basalt/utility/Export.h>

#include <cstdint>

namespace basalt {
namespace utility {

class BSL_EXPORT HighPrecisionTime {
public:
  HighPrecisionTime() = delete;

  static std::uint64_t GetTickCount() noexcept;
  static double GetFrequency() noexcept;
  // The smallest difference two time stamps can have: one tick.
  static std::uint64_t GetMinimumDelta() noexcept;

  // ticks / frequency * 1e9, truncated towards zero.
  static std::int64_t ConvertToNanos(std::uint64_t inTicks) noexcept;
  // nanos / 1e9 * frequency; negative values give 0.
  static std::uint64_t ConvertFromNanos(std::int64_t inNanos) noexcept;
  static std::int64_t GetCurrentTimeInNanos() noexcept;

  // Signed nanoseconds from inFrom to inTo; never wraps.
  static std::int64_t HostDeltaToNanos(std::uint64_t inFrom, std::uint64_t inTo) noexcept;
  static std::uint64_t AbsoluteHostDeltaToNanos(std::uint64_t inA, std::uint64_t inB) noexcept;

  static double ConvertTimeStampToMilliSeconds(std::uint64_t inTicks) noexcept;
  static double ConvertTimeStampToSeconds(std::uint64_t inTicks) noexcept;
  static double ConvertNanosToMilliSeconds(std::int64_t inNanos) noexcept;
  static double ConvertNanosToSeconds(std::int64_t inNanos) noexcept;
};

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_HIGHPRECISIONTIME_H
