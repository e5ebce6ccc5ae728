// The monotonic clock's conversions and the machine facts.
#include <basalt/utility/HighPrecisionTime.h>
#include <basalt/utility/SystemInformation.h>

#include <gtest/gtest.h>

#include <sched.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace basalt {
namespace utility {
namespace {

using HPT = HighPrecisionTime;

TEST(HighPrecisionTime, ConversionsAgree) {
  EXPECT_EQ(HPT::GetFrequency(), 1e9);
  EXPECT_EQ(HPT::GetMinimumDelta(), 1u);
  const std::uint64_t stamps[] = {0, 1, 999, 1000000007ull, HPT::GetTickCount(), 1ull << 52};
  for (std::uint64_t t : stamps) {
    SCOPED_TRACE(t);
    EXPECT_EQ(HPT::HostDeltaToNanos(t, t), 0);
    EXPECT_EQ(HPT::HostDeltaToNanos(t, t + 12345), -HPT::HostDeltaToNanos(t + 12345, t));
    EXPECT_EQ(HPT::AbsoluteHostDeltaToNanos(t + 12345, t), static_cast<std::uint64_t>(HPT::HostDeltaToNanos(t, t + 12345)));
    const std::uint64_t back = HPT::ConvertFromNanos(HPT::ConvertToNanos(t));
    EXPECT_LE(back > t ? back - t : t - back, HPT::GetMinimumDelta());
    EXPECT_DOUBLE_EQ(HPT::ConvertTimeStampToSeconds(t), HPT::ConvertNanosToSeconds(HPT::ConvertToNanos(t)));
    EXPECT_DOUBLE_EQ(HPT::ConvertTimeStampToMilliSeconds(t), HPT::ConvertNanosToMilliSeconds(HPT::ConvertToNanos(t)));
  }
  EXPECT_DOUBLE_EQ(HPT::ConvertNanosToMilliSeconds(2500000), 2.5);
  EXPECT_DOUBLE_EQ(HPT::ConvertNanosToSeconds(-1500000000), -1.5);
  // The largest deltas neither wrap nor overflow.
  const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(HPT::HostDeltaToNanos(top, 0), -std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(HPT::HostDeltaToNanos(0, top), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(HPT::ConvertFromNanos(-5), 0u);
  EXPECT_EQ(HPT::ConvertFromNanos(std::numeric_limits<std::int64_t>::max()), 9223372036854775808ull);
}

TEST(HighPrecisionTime, ClockIsMonotonicAndInNanoseconds) {
  timespec before;
  clock_gettime(CLOCK_MONOTONIC, &before);
  const std::uint64_t first = HPT::GetTickCount();
  std::uint64_t previous = first;
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t now = HPT::GetTickCount();
    ASSERT_GE(now, previous);
    previous = now;
  }
  const std::int64_t beforeNanos = static_cast<std::int64_t>(before.tv_sec) * 1000000000 + before.tv_nsec;
  EXPECT_GE(HPT::ConvertToNanos(first), beforeNanos);
  EXPECT_GE(HPT::GetCurrentTimeInNanos(), HPT::ConvertToNanos(previous));
}

std::uint64_t MemTotalFromProc() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::uint64_t kib = 0;
  while (meminfo >> key >> kib) {
    if (key == "MemTotal:") return kib * 1024;
    meminfo.ignore(1 << 10, '\n');
  }
  return 0;
}

TEST(SystemInformation, MachineFacts) {
  const std::uint64_t memory = TotalPhysicalMemory();
  const std::uint64_t expected = MemTotalFromProc();
  ASSERT_GT(expected, 0u);
  // /proc/meminfo and sysconf round differently, by less than a page per kiB line.
  EXPECT_NEAR(static_cast<double>(memory), static_cast<double>(expected), 1 << 20);

  unsigned major = 99, minor = 99;
  ASSERT_TRUE(GetSystemVersion(major, minor));
  std::ifstream release("/proc/sys/kernel/osrelease");
  unsigned procMajor = 0, procMinor = 0;
  char dot = 0;
  release >> procMajor >> dot >> procMinor;
  EXPECT_EQ(major, procMajor);
  EXPECT_EQ(minor, procMinor);
  EXPECT_FALSE(IsRunningWindows8OrAbove());
}

TEST(SystemInformation, CPUCountFollowsTheAffinityMask) {
  cpu_set_t original;
  ASSERT_EQ(sched_getaffinity(0, sizeof(original), &original), 0);
  EXPECT_EQ(CPUCount(), static_cast<std::uint32_t>(CPU_COUNT(&original)));
  int first = 0;
  while (!CPU_ISSET(first, &original)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
  const std::uint32_t restricted = CPUCount();
  ASSERT_EQ(sched_setaffinity(0, sizeof(original), &original), 0);
  EXPECT_EQ(restricted, 1u);
}

}  // namespace
}  // namespace utility
}  // namespace basalt
