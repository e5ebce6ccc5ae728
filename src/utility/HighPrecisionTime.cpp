#include <basalt/utility/HighPrecisionTime.h>

#include "utility/HighPrecisionTimeInternal.h"

#include <cmath>
#include <limits>

namespace basalt {
namespace utility {
namespace {

const std::uint64_t sFrequency = internal::ReadMonotonicCounterFrequency();
const double sFrequencyDouble = static_cast<double>(sFrequency);
constexpr double kNanosPerSecond = 1000000000.0;

// Double to integer conversions are undefined outside the target's range;
// clamp so that absurd inputs give the nearest representable answer.
std::int64_t ToSigned(double inValue) noexcept {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (!(inValue < kLimit)) return std::numeric_limits<std::int64_t>::max();
  if (!(inValue > -kLimit)) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(inValue);
}

std::uint64_t ToUnsigned(double inValue) noexcept {
  constexpr double kLimit = 18446744073709551616.0;  // 2^64
  if (!(inValue > 0.0)) return 0;
  if (!(inValue < kLimit)) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(inValue);
}

}  // namespace

std::uint64_t HighPrecisionTime::GetTickCount() noexcept { return internal::ReadMonotonicCounter(); }
double HighPrecisionTime::GetFrequency() noexcept { return sFrequencyDouble; }
std::uint64_t HighPrecisionTime::GetMinimumDelta() noexcept { return 1; }

std::int64_t HighPrecisionTime::ConvertToNanos(std::uint64_t inTicks) noexcept {
  return ToSigned(static_cast<double>(inTicks) / sFrequencyDouble * kNanosPerSecond);
}

std::uint64_t HighPrecisionTime::ConvertFromNanos(std::int64_t inNanos) noexcept {
  return ToUnsigned(static_cast<double>(inNanos) / kNanosPerSecond * sFrequencyDouble);
}

std::int64_t HighPrecisionTime::GetCurrentTimeInNanos() noexcept { return ConvertToNanos(GetTickCount()); }

std::int64_t HighPrecisionTime::HostDeltaToNanos(std::uint64_t inFrom, std::uint64_t inTo) noexcept {
  return inFrom > inTo ? -ConvertToNanos(inFrom - inTo) : ConvertToNanos(inTo - inFrom);
}

std::uint64_t HighPrecisionTime::AbsoluteHostDeltaToNanos(std::uint64_t inA, std::uint64_t inB) noexcept {
  return static_cast<std::uint64_t>(ConvertToNanos(inA > inB ? inA - inB : inB - inA));
}

double HighPrecisionTime::ConvertTimeStampToMilliSeconds(std::uint64_t inTicks) noexcept {
  return static_cast<double>(ConvertToNanos(inTicks)) / 1e6;
}

double HighPrecisionTime::ConvertTimeStampToSeconds(std::uint64_t inTicks) noexcept {
  return static_cast<double>(ConvertToNanos(inTicks)) / 1e9;
}

double HighPrecisionTime::ConvertNanosToMilliSeconds(std::int64_t inNanos) noexcept {
  return static_cast<double>(inNanos) / 1e6;
}

double HighPrecisionTime::ConvertNanosToSeconds(std::int64_t inNanos) noexcept {
  return static_cast<double>(inNanos) / 1e9;
}

}  // namespace utility
}  // namespace basalt
