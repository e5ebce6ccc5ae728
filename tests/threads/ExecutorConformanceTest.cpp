// Rules every executor of this module keeps, run over each of them.
#include <basalt/threads/SharedThreads.h>
#include <basalt/utility/SystemInformation.h>

#include "threads/ExecutorTestSupport.h"
#include "threads/TestExecutors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using basalt::testing::Tally;
using basalt::threads::AsyncExecutor;
using basalt::threads::AsyncThreadedExecutor;
using Clock = std::chrono::steady_clock;

std::int64_t MsSince(Clock::time_point inStart) {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - inStart).count() / 1000;
}

// Work queues round delays below 7 ms up and release up to 6 ms early, never
// within 7 ms of the post; the pool executors keep the delay as given.
template <int kThreads>
struct WorkQueue {
  static boost::shared_ptr<AsyncExecutor> Make() {
    return basalt::threads::CreateAsyncThreadedExecutor("Conformance", kThreads);
  }
  static int ExpectedThreadCount() { return kThreads; }
  static std::int64_t EarliestStartMs(unsigned int inDelayMs) {
    return inDelayMs == 0 ? 0 : std::max<std::int64_t>(7, std::int64_t(inDelayMs) - 6);
  }
  static constexpr bool kReportsExceptions = true;
};

struct CPUBound {
  static boost::shared_ptr<AsyncExecutor> Make() { return basalt::threads::CreateCPUBoundExecutor(); }
  static int ExpectedThreadCount() { return static_cast<int>(basalt::utility::CPUCount()); }
  static std::int64_t EarliestStartMs(unsigned int inDelayMs) { return inDelayMs; }
  static constexpr bool kReportsExceptions = false;
};

struct IOBound {
  static boost::shared_ptr<AsyncExecutor> Make() { return basalt::threads::CreateIOBoundExecutor(); }
  static int ExpectedThreadCount() { return 4; }
  static std::int64_t EarliestStartMs(unsigned int inDelayMs) { return inDelayMs; }
  static constexpr bool kReportsExceptions = false;
};

template <class Kind>
class ExecutorConformance : public ::testing::Test {
protected:
  void SetUp() override { mExecutor = Kind::Make(); }
  void TearDown() override {
    // Work queues are ended and joined, so no thread outlives the test.
    if (auto threaded = boost::dynamic_pointer_cast<AsyncThreadedExecutor>(mExecutor)) {
      threaded->Terminate();
      threaded->Flush();
    }
    mExecutor.reset();
  }
  // Waits until everything posted so far has run (work queues only).
  void FlushIfThreaded() {
    if (auto threaded = boost::dynamic_pointer_cast<AsyncThreadedExecutor>(mExecutor)) threaded->Flush();
  }

  boost::shared_ptr<AsyncExecutor> mExecutor;
};

using ExecutorKinds = ::testing::Types<WorkQueue<1>, WorkQueue<3>, CPUBound, IOBound>;
TYPED_TEST_SUITE(ExecutorConformance, ExecutorKinds);

TYPED_TEST(ExecutorConformance, ReportsItsThreadCountAndIsNotTerminated) {
  EXPECT_EQ(this->mExecutor->ThreadCount(), TypeParam::ExpectedThreadCount());
  EXPECT_FALSE(this->mExecutor->IsTerminated());
}

TYPED_TEST(ExecutorConformance, RunsEveryFunctionAndSurvivesExceptions) {
  constexpr int kFunctions = 200;
  constexpr int kThrowEvery = 10;
  Tally ran;
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < kFunctions; ++i) {
    ASSERT_TRUE(this->mExecutor->CallAsynchronously(
        [i, &ran] {
          if (i % kThrowEvery == 0) throw std::runtime_error("conformance");
          ran.Add();
        },
        0));
  }
  const bool allRan = ran.WaitAtLeast(kFunctions - kFunctions / kThrowEvery);
  this->FlushIfThreaded();
  const std::string reports = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(allRan);
  std::size_t count = 0;
  for (std::size_t at = reports.find("what() returned \"conformance\""); at != std::string::npos;
       at = reports.find("what() returned \"conformance\"", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, TypeParam::kReportsExceptions ? std::size_t(kFunctions / kThrowEvery) : 0u);
}

TYPED_TEST(ExecutorConformance, DelayedFunctionsAllRunAndNoneEarly) {
  constexpr int kFunctions = 120;
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<unsigned int> delays(0, 30);

  struct Result {
    unsigned int mDelayMs = 0;
    std::atomic<std::int64_t> mStartedMs{-1};
  };
  std::vector<Result> results(kFunctions);
  // Short delays that work queues round up first, then random ones.
  const unsigned int kFixed[] = {1, 3, 6, 7, 12, 13, 20};
  Tally ran;
  for (std::size_t i = 0; i < results.size(); ++i) {
    Result& result = results[i];
    result.mDelayMs = i < std::size(kFixed) ? kFixed[i] : delays(random);
    const Clock::time_point posted = Clock::now();
    ASSERT_TRUE(this->mExecutor->CallAsynchronously(
        [&result, &ran, posted] {
          result.mStartedMs = MsSince(posted);
          ran.Add();
        },
        result.mDelayMs));
  }
  ASSERT_TRUE(ran.WaitAtLeast(kFunctions));
  for (const Result& result : results) {
    SCOPED_TRACE("delay " + std::to_string(result.mDelayMs));
    EXPECT_GE(result.mStartedMs.load(), TypeParam::EarliestStartMs(result.mDelayMs));
  }
}

TYPED_TEST(ExecutorConformance, TaskCallsEveryIndexOnceWithinTheRunners) {
  constexpr int kCount = 5000;
  const int runners = std::min(kCount, this->mExecutor->ThreadCount());
  std::vector<std::atomic<int>> calls(kCount);
  std::atomic<int> worstProcessorIndex{0};
  auto task = basalt::threads::AsyncExecuteTaskOnAllThreadsWithProcessorIndex(
      [&](int inIndex, int inProcessorIndex) {
        calls[static_cast<std::size_t>(inIndex)].fetch_add(1);
        int seen = worstProcessorIndex.load();
        while (inProcessorIndex > seen && !worstProcessorIndex.compare_exchange_weak(seen, inProcessorIndex)) {
        }
      },
      kCount, this->mExecutor);
  ASSERT_EQ(task != nullptr, runners >= 2);
  if (task) task->WaitForCompletion();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(calls[static_cast<std::size_t>(i)].load(), 1) << "index " << i;
  EXPECT_LT(worstProcessorIndex.load(), std::max(runners, 1));
}

}  // namespace
