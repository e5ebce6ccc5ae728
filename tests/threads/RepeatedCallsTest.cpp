#include <basalt/threads/RepeatDelayFunction.h>
#include <basalt/threads/SharedThreads.h>

#include "TestGate.h"
#include "threads/ExecutorTestSupport.h"
#include "threads/QueueOnlyOnceInternal.h"
#include "threads/TestExecutors.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using basalt::testing::Tally;
using basalt::testing::ManualParent;
using basalt::threads::AsyncExecutor;
using basalt::threads::CallConditionalRepeatDelayFunctionAsynchronously;
using basalt::threads::RepeatDelayFunction;
using basalt::threads::internal::QueueOnlyOnce;

// A work queue of the library, ended and joined when the test is done.
class WorkQueue {
public:
  WorkQueue(const char* inName, int inThreads)
      : mQueue(basalt::threads::CreateAsyncThreadedExecutor(inName, inThreads)) {}
  ~WorkQueue() {
    mQueue->Terminate();
    mQueue->Flush();
  }
  basalt::threads::AsyncThreadedExecutor* operator->() const { return mQueue.get(); }
  operator boost::shared_ptr<AsyncExecutor>() const { return mQueue; }

private:
  const boost::shared_ptr<basalt::threads::AsyncThreadedExecutor> mQueue;
};

// ---------------------------------------------------------------------------
// QueueOnlyOnce
// ---------------------------------------------------------------------------
TEST(QueueOnlyOnce, RequestsBeforeTheRunCoalesceIntoOne) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(1);
  int runs = 0;
  const boost::shared_ptr<QueueOnlyOnce> once = QueueOnlyOnce::Create([&] { ++runs; }, parent, 15);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(once->RequestRun());
  ASSERT_EQ(parent->Pending(), 1u);
  EXPECT_EQ(parent->DelayOf(0), 15u);
  parent->RunAll();
  EXPECT_EQ(runs, 1);

  once->SetDelay(0);
  EXPECT_TRUE(once->RequestRun()) << "a request after the run asks for another";
  ASSERT_EQ(parent->Pending(), 1u);
  EXPECT_EQ(parent->DelayOf(0), 0u);
  parent->RunAll();
  EXPECT_EQ(runs, 2);
}

TEST(QueueOnlyOnce, RequestsDuringARunCauseExactlyOneMore) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(1);
  basalt::testing::Gate finish;
  Tally entered;
  std::atomic<int> runs{0};
  const boost::shared_ptr<QueueOnlyOnce> once = QueueOnlyOnce::Create(
      [&] {
        runs.fetch_add(1);
        entered.Add();
        finish.Wait();
      },
      parent, 0);
  once->RequestRun();
  std::thread running([&] { parent->Run(0); });
  ASSERT_TRUE(entered.WaitAtLeast(1));
  for (int i = 0; i < 3; ++i) once->RequestRun();
  EXPECT_EQ(parent->Pending(), 1u);
  finish.Open();
  running.join();
  parent->RunAll();
  EXPECT_EQ(runs.load(), 2);
  EXPECT_EQ(parent->Pending(), 0u);
}

TEST(QueueOnlyOnce, RefusedAndOrphanedRuns) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(1);
  int runs = 0;
  boost::shared_ptr<QueueOnlyOnce> once = QueueOnlyOnce::Create([&] { ++runs; }, parent, 0);
  parent->SetRefusing(true);
  EXPECT_FALSE(once->RequestRun());
  parent->SetRefusing(false);
  EXPECT_TRUE(once->RequestRun()) << "a refused run does not stay pending";
  EXPECT_EQ(parent->Pending(), 1u);
  once.reset();
  parent->RunAll();
  EXPECT_EQ(runs, 0) << "a run after the owner let go does nothing";

  EXPECT_FALSE(QueueOnlyOnce::Create([] {}, boost::shared_ptr<AsyncExecutor>(), 0));
  EXPECT_FALSE(QueueOnlyOnce::Create(boost::function<void()>(), parent, 0));
}

// Every request, from any thread, is followed by a run that sees it.
TEST(QueueOnlyOnce, LastRunSeesEveryRequest) {
  const WorkQueue parent("QueueOnlyOnceTest", 2);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::atomic<int> requested{0};
  std::atomic<int> seenByARun{0};
  std::atomic<int> runs{0};
  const boost::shared_ptr<QueueOnlyOnce> once = QueueOnlyOnce::Create(
      [&] {
        runs.fetch_add(1);
        const int now = requested.load();
        int seen = seenByARun.load();
        while (now > seen && !seenByARun.compare_exchange_weak(seen, now)) {
        }
      },
      parent, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        requested.fetch_add(1);
        once->RequestRun();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  parent->Flush();
  EXPECT_EQ(seenByARun.load(), kThreads * kPerThread);
  EXPECT_GE(runs.load(), 1);
  EXPECT_LE(runs.load(), kThreads * kPerThread);
}

// ---------------------------------------------------------------------------
// CallConditionalRepeatDelayFunctionAsynchronously
// ---------------------------------------------------------------------------
TEST(ConditionalRepeat, StopsWhenThePredicateSaysSo) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(1);
  int calls = 0;
  CallConditionalRepeatDelayFunctionAsynchronously(parent, [&] { return ++calls < 3; }, 10);
  for (int expected = 1; parent->Pending() != 0; ++expected) {
    ASSERT_LE(expected, 3);
    EXPECT_EQ(parent->Pending(), 1u);
    EXPECT_EQ(parent->DelayOf(0), 10u) << "every call comes one delay after the last";
    parent->Run(0);
    EXPECT_EQ(calls, expected);
  }
  EXPECT_EQ(calls, 3);
}

TEST(ConditionalRepeat, NothingToRunOrNoExecutorLeft) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(1);
  int calls = 0;
  CallConditionalRepeatDelayFunctionAsynchronously(parent, boost::function<bool()>(), 5);
  CallConditionalRepeatDelayFunctionAsynchronously(boost::shared_ptr<AsyncExecutor>(), [&] { return ++calls != 0; },
                                                   5);
  EXPECT_EQ(parent->Pending(), 0u);
  EXPECT_EQ(calls, 0);

  // The repetition holds its executor weakly: once it is gone the step runs
  // the predicate one last time and stops.
  boost::shared_ptr<ManualParent> doomed = boost::make_shared<ManualParent>(1);
  CallConditionalRepeatDelayFunctionAsynchronously(doomed, [&] { return ++calls != 0; }, 5);
  const boost::function<void()> step = doomed->Take(0);
  const boost::weak_ptr<ManualParent> watch = doomed;
  doomed.reset();
  EXPECT_TRUE(watch.expired()) << "a pending step does not keep its executor alive";
  step();
  EXPECT_EQ(calls, 1);
}

TEST(ConditionalRepeat, ThirdFalseOnARealExecutor) {
  const WorkQueue parent("ConditionalRepeatTest", 1);
  Tally calls;
  CallConditionalRepeatDelayFunctionAsynchronously(
      parent,
      [&] {
        calls.Add();
        return calls.Value() < 3;
      },
      2);
  ASSERT_TRUE(calls.WaitAtLeast(3));
  // A marker due long after a fourth call would have been: one thread runs
  // due functions in due order.
  Tally marker;
  parent->CallAsynchronously([&] { marker.Add(); }, 50);
  ASSERT_TRUE(marker.WaitAtLeast(1));
  EXPECT_EQ(calls.Value(), 3);
}

// ---------------------------------------------------------------------------
// RepeatDelayFunction
// ---------------------------------------------------------------------------
TEST(RepeatDelayFunction, RepeatsUntilStoppedByAnyCopy) {
  enum Stop { kDoNotCallAgain, kDoNotCallAgainOnACopy, kDestroyAllCopies };
  for (const Stop stop : {kDoNotCallAgain, kDoNotCallAgainOnACopy, kDestroyAllCopies}) {
    SCOPED_TRACE(stop);
    const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(1);
    int calls = 0;
    std::unique_ptr<RepeatDelayFunction> repeat(new RepeatDelayFunction(parent, [&] { ++calls; }, 10));
    std::unique_ptr<RepeatDelayFunction> copy(new RepeatDelayFunction(*repeat));
    for (int i = 1; i <= 3; ++i) {
      ASSERT_EQ(parent->Pending(), 1u);
      EXPECT_EQ(parent->DelayOf(0), 10u);
      parent->Run(0);
      EXPECT_EQ(calls, i);
    }
    repeat.reset();  // a copy keeps the repetition going
    parent->Run(0);
    EXPECT_EQ(calls, 4);
    switch (stop) {
      case kDoNotCallAgain:
        copy->DoNotCallAgain();
        break;
      case kDoNotCallAgainOnACopy: {
        RepeatDelayFunction another(*copy);
        another.DoNotCallAgain();
        break;
      }
      case kDestroyAllCopies:
        copy.reset();
        break;
    }
    parent->RunAll();
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(parent->Pending(), 0u);
    if (copy) copy->DoNotCallAgain();  // again: no effect
  }
}

TEST(RepeatDelayFunction, NothingToRepeat) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(1);
  RepeatDelayFunction noFunction(parent, boost::function<void()>(), 5);
  RepeatDelayFunction noExecutor(boost::shared_ptr<AsyncExecutor>(), [] {}, 5);
  EXPECT_EQ(parent->Pending(), 0u);
  noFunction.DoNotCallAgain();
  noExecutor.DoNotCallAgain();
}

TEST(RepeatDelayFunction, NoCallStartsAfterDoNotCallAgain) {
  const WorkQueue parent("RepeatDelayFunctionTest", 1);
  Tally calls;
  RepeatDelayFunction repeat(parent, [&] { calls.Add(); }, 10);
  ASSERT_TRUE(calls.WaitAtLeast(3));
  repeat.DoNotCallAgain();
  parent->Flush();  // a call already running completes
  const int snapshot = calls.Value();
  Tally marker;
  parent->CallAsynchronously([&] { marker.Add(); }, 60);
  ASSERT_TRUE(marker.WaitAtLeast(1));
  EXPECT_EQ(calls.Value(), snapshot);
}

}  // namespace
