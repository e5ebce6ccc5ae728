#include <basalt/threads/SharedThreads.h>
#include <basalt/utility/SystemInformation.h>

#include "TestGate.h"
#include "threads/ExecutorTestSupport.h"
#include "threads/TestExecutors.h"

#include <boost/function.hpp>
#include <boost/thread/barrier.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>

namespace {

using basalt::testing::Tally;
using basalt::testing::ExpectReturns;
using basalt::testing::Gate;
using basalt::threads::AsyncThreadedExecutor;
using basalt::threads::CreateAsyncThreadedExecutor;

// Ends and joins the queue when the test is done with it.
struct ScJoin {
  boost::shared_ptr<AsyncThreadedExecutor> mQueue;
  ~ScJoin() {
    mQueue->Terminate();
    mQueue->Flush();
  }
};

TEST(ThreadedWorkQueue, NamesItsThreadsAfterItself) {
  for (int count : {1, 3, 100}) {
    SCOPED_TRACE(count);
    std::set<std::string> expected;
    for (int i = 1; i <= count; ++i) expected.insert(count == 1 ? "Q" : (i < 10 ? "Q 0" : "Q ") + std::to_string(i));
    auto queue = CreateAsyncThreadedExecutor("Q", count);
    ScJoin join{queue};
    // Every function waits for all the others, so each runs on its own worker.
    boost::barrier allThere(static_cast<unsigned>(count));
    std::mutex lock;
    std::set<std::string> names;
    Tally ran;
    for (int i = 0; i < count; ++i) {
      queue->CallAsynchronously(
          [&] {
            allThere.wait();
            char name[16] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            std::lock_guard<std::mutex> guard(lock);
            names.insert(name);
            ran.Add();
          },
          0);
    }
    ASSERT_TRUE(ran.WaitAtLeast(count));
    EXPECT_EQ(names, expected);
  }
}

TEST(ThreadedWorkQueue, ThreadCountFollowsTheRequest) {
  const int cpus = static_cast<int>(basalt::utility::CPUCount());
  struct Case {
    int mRequested;
    int mExpected;
  };
  for (const Case& c : {Case{1, 1}, Case{5, 5}, Case{-1, cpus}, Case{-2, 2 * cpus}, Case{0, 1}}) {
    SCOPED_TRACE(c.mRequested);
    auto queue = CreateAsyncThreadedExecutor("Count", c.mRequested);
    ScJoin join{queue};
    EXPECT_EQ(queue->ThreadCount(), c.mExpected);
  }
}

TEST(ThreadedWorkQueue, OneThreadStartsFunctionsInPostingOrder) {
  auto queue = CreateAsyncThreadedExecutor("Order", 1);
  ScJoin join{queue};
  std::vector<int> order;
  // A delayed function in the heap must not disturb the order of the others.
  queue->CallAsynchronously([] {}, 5);
  for (int i = 0; i < 1000; ++i) queue->CallAsynchronously([i, &order] { order.push_back(i); }, 0);
  queue->Flush();
  ASSERT_EQ(order.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(ThreadedWorkQueue, DelayedFunctionPostedByItsOwnWorkerRuns) {
  for (int threads : {1, 2}) {
    SCOPED_TRACE(threads);
    auto queue = CreateAsyncThreadedExecutor("Self", threads);
    ScJoin join{queue};
    Tally ran;
    // The worker then sleeps with nothing but this delayed function to wait for.
    queue->CallAsynchronously([&] { queue->CallAsynchronously([&] { ran.Add(); }, 20); }, 0);
    EXPECT_TRUE(ran.WaitAtLeast(1));
  }
}

TEST(ThreadedWorkQueue, FlushWaitsForEarlierWorkAndReturnsAtOnceInside) {
  auto queue = CreateAsyncThreadedExecutor("Flush", 3);
  ScJoin join{queue};
  std::atomic<int> done{0};
  for (int i = 0; i < 300; ++i) {
    queue->CallAsynchronously(
        [&] {
          std::this_thread::yield();
          ++done;
        },
        0);
  }
  queue->Flush();
  EXPECT_EQ(done.load(), 300);

  Tally flushedInside;
  queue->CallAsynchronously(
      [&] {
        queue->Flush();
        flushedInside.Add();
      },
      0);
  EXPECT_TRUE(flushedInside.WaitAtLeast(1));
}

TEST(ThreadedWorkQueue, TerminateRunsQueuedWorkDropsDelayedAndFlushJoins) {
  Tally ended;
  auto queue = CreateAsyncThreadedExecutor("Term", 2, basalt::threads::kThreadPriority_Normal, {},
                                           [&ended] { ended.Add(); });
  Gate release;
  std::atomic<int> queuedRan{0};
  std::atomic<bool> delayedRan{false};
  auto delayedCapture = std::make_shared<int>(0);
  for (int i = 0; i < 2; ++i) queue->CallAsynchronously([&release] { release.Wait(); }, 0);
  for (int i = 0; i < 50; ++i) queue->CallAsynchronously([&queuedRan] { ++queuedRan; }, 0);
  queue->CallAsynchronously([&delayedRan, delayedCapture] { delayedRan = true; }, 10);

  queue->Terminate();
  EXPECT_TRUE(queue->IsTerminated());
  EXPECT_FALSE(queue->CallAsynchronously([] {}, 0));
  EXPECT_FALSE(queue->CallAsynchronously([] {}, 10));
  EXPECT_EQ(delayedCapture.use_count(), 1) << "the delayed function was not destroyed";
  release.Open();
  ExpectReturns("Flush after Terminate", [&] { queue->Flush(); });
  EXPECT_EQ(queuedRan.load(), 50);
  EXPECT_FALSE(delayedRan.load());
  EXPECT_EQ(ended.Value(), 2) << "Flush returned before the workers ended";
  queue->Flush();  // again: joined already
}

TEST(ThreadedWorkQueue, PauseHoldsBackWorkUntilResume) {
  auto queue = CreateAsyncThreadedExecutor("Pause", 2);
  ScJoin join{queue};
  queue->Pause();
  Tally ran;
  for (int i = 0; i < 4; ++i) queue->CallAsynchronously([&ran] { ran.Add(); }, 0);
  queue->CallAsynchronously([&ran] { ran.Add(); }, 8);
  // Only a failure bound: nothing may slip through while paused.
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_EQ(ran.Value(), 0);
  queue->Resume();
  EXPECT_TRUE(ran.WaitAtLeast(5));
  ExpectReturns("WaitIfPaused on a running queue", [&] { queue->WaitIfPaused(); });
}

TEST(ThreadedWorkQueue, DestroyedQueueFinishesItsWorkAndEnds) {
  Tally ran;
  Tally ended;
  Gate release;
  {
    auto queue = CreateAsyncThreadedExecutor("Orphan", 2, basalt::threads::kThreadPriority_Normal, {},
                                             [&ended] { ended.Add(); });
    queue->CallAsynchronously([&release] { release.Wait(); }, 0);
    for (int i = 0; i < 20; ++i) queue->CallAsynchronously([&ran] { ran.Add(); }, 0);
  }
  release.Open();
  EXPECT_TRUE(ran.WaitAtLeast(20));
  EXPECT_TRUE(ended.WaitAtLeast(2));
}

TEST(ThreadedWorkQueue, ReportsExceptionsAndGoesOn) {
  struct Case {
    const char* mWhat;
    boost::function<void()> mFunction;
    std::string mReport;
  };
  const std::vector<Case> cases = {
      {"std exception", [] { throw std::runtime_error("boom"); },
       "WorkerMain(): caught std exception of type \"std::runtime_error\", what() returned \"boom\". Continuing."},
      {"empty function", boost::function<void()>(),
       "WorkerMain(): caught std exception of type \"boost::bad_function_call\", what() returned \"call to empty "
       "boost::function\". Continuing."},
      {"unknown exception", [] { throw 42; }, "WorkerMain(): caught unknown exception. Continuing."},
  };
  auto queue = CreateAsyncThreadedExecutor("Throw", 1);
  ScJoin join{queue};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mWhat);
    Tally next;
    ::testing::internal::CaptureStderr();
    queue->CallAsynchronously(c.mFunction, 0);
    queue->CallAsynchronously([&next] { next.Add(); }, 0);
    const bool nextRan = next.WaitAtLeast(1);
    const std::string report = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(nextRan);
    EXPECT_NE(report.find(c.mReport), std::string::npos) << report;
    EXPECT_NE(report.find("Function: WorkerMain"), std::string::npos) << report;
    EXPECT_NE(report.find("File: ThreadedWorkQueue"), std::string::npos) << report;
  }
}

}  // namespace
