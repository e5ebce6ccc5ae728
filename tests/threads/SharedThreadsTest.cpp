#include <basalt/threads/SharedThreads.h>
#include <basalt/threads/SubExecutor.h>
#include <basalt/threads/ThreadIdentity.h>

#include "TestGate.h"
#include "threads/ExecutorTestSupport.h"
#include "threads/TestExecutors.h"

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>

namespace {

namespace threads = basalt::threads;
using basalt::testing::Tally;
using basalt::testing::ExpectReturns;
using basalt::testing::Gate;
using basalt::testing::ManualParent;
using threads::AsyncExecutor;
using threads::AsyncThreadedExecutor;

struct SharedKind {
  const char* mName;
  boost::shared_ptr<AsyncExecutor> (*mCreate)();
  boost::shared_ptr<AsyncExecutor> (*mGet)();
  void (*mSet)(const boost::shared_ptr<AsyncExecutor>&);
};

const SharedKind kSharedKinds[] = {
    {"CPU-bound", &threads::CreateCPUBoundExecutor, &threads::GetCPUBoundExecutor, &threads::SetCPUBoundExecutor},
    {"IO-bound", &threads::CreateIOBoundExecutor, &threads::GetIOBoundExecutor, &threads::SetIOBoundExecutor},
};

// The sub-executors of earlier tests let go of a shared parent on one of its
// threads, shortly after their last function ran; wait for that, bounded.
bool NoneLives(const SharedKind& inKind) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (inKind.mGet()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(SharedExecutors, LiveOnlyWhileHeldAndSetOnlyWhenNoneLives) {
  for (const SharedKind& kind : kSharedKinds) {
    SCOPED_TRACE(kind.mName);
    ASSERT_TRUE(NoneLives(kind)) << "an earlier test kept a shared executor";
    boost::shared_ptr<AsyncExecutor> first = kind.mCreate();
    ASSERT_TRUE(first);
    EXPECT_EQ(kind.mCreate(), first);
    EXPECT_EQ(kind.mGet(), first);

    auto other = boost::make_shared<ManualParent>(2);
    kind.mSet(other);
    EXPECT_EQ(kind.mGet(), first) << "Set replaced a live executor";

    boost::weak_ptr<AsyncExecutor> weak = first;
    first.reset();
    EXPECT_TRUE(weak.expired()) << "the registry keeps the executor alive";
    EXPECT_FALSE(kind.mGet());

    kind.mSet(other);
    EXPECT_EQ(kind.mGet(), other);
    EXPECT_EQ(kind.mCreate(), other);
    other.reset();
    EXPECT_FALSE(kind.mGet());
    boost::shared_ptr<AsyncExecutor> fresh = kind.mCreate();
    EXPECT_TRUE(fresh);
    EXPECT_EQ(kind.mGet(), fresh);
  }
}

// Pending delayed calls die with the executor, running ones are waited for,
// immediate ones still run.
TEST(SharedExecutors, DestructionDropsPendingDelayedCallsAndWaitsForRunningOnes) {
  for (const SharedKind& kind : kSharedKinds) {
    SCOPED_TRACE(kind.mName);
    boost::shared_ptr<AsyncExecutor> executor = kind.mCreate();
    auto capture = std::make_shared<int>(0);
    executor->CallAsynchronously([capture] { ADD_FAILURE() << "ran after destruction"; }, 60000);
    Gate release;
    Tally started;
    Tally finished;
    executor->CallAsynchronously(
        [&] {
          started.Add();
          release.Wait();
          finished.Add();
        },
        1);
    executor->CallAsynchronously(
        [&] {
          release.Wait();
          finished.Add();
        },
        0);
    ASSERT_TRUE(started.WaitAtLeast(1));
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
      executor.reset();
      destroyed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a failure bound only
    EXPECT_FALSE(destroyed.load()) << "did not wait for the running delayed call";
    release.Open();
    destroyer.join();
    EXPECT_EQ(capture.use_count(), 1) << "the pending delayed function outlived its executor";
    EXPECT_TRUE(finished.WaitAtLeast(2));
  }
}

TEST(SharedExecutors, DestructionFromItsOwnDelayedCallDoesNotDeadlock) {
  for (const SharedKind& kind : kSharedKinds) {
    SCOPED_TRACE(kind.mName);
    boost::shared_ptr<AsyncExecutor> slot = kind.mCreate();
    Tally done;
    AsyncExecutor* raw = slot.get();
    raw->CallAsynchronously(
        [&] {
          slot.reset();
          done.Add();
        },
        1);
    EXPECT_TRUE(done.WaitAtLeast(1));
  }
}

TEST(SharedExecutors, BlockingIOWorkDoesNotStarveCPUWork) {
  constexpr int kBlocked = 8;
  boost::shared_ptr<AsyncExecutor> io = threads::CreateIOBoundExecutor();
  boost::shared_ptr<AsyncExecutor> cpu = threads::CreateCPUBoundExecutor();
  Gate release;
  Tally blocked;
  Tally unblocked;
  Tally cpuRan;
  for (int i = 0; i < kBlocked; ++i) {
    io->CallAsynchronously(
        [&] {
          blocked.Add();
          release.Wait();
          unblocked.Add();
        },
        0);
  }
  const bool allBlocked = blocked.WaitAtLeast(kBlocked);
  cpu->CallAsynchronously([&] { cpuRan.Add(); }, 0);
  const bool cpuDone = cpuRan.WaitAtLeast(1);
  release.Open();
  EXPECT_TRUE(allBlocked) << "blocking items did not all get a thread";
  EXPECT_TRUE(cpuDone) << "CPU work starved behind blocking IO work";
  ASSERT_TRUE(unblocked.WaitAtLeast(kBlocked));
}

// A serial chain keeps one pool worker busy and lets the pool start no
// other; the worker then sleeps counted idle. Two items posted back to back
// wake it once for the first; the second's notification finds it awake
// already, so it must be handed on to a new worker, or it waits behind the
// first for as long as that one blocks.
TEST(SharedExecutors, SecondItemGetsItsOwnWorkerAfterASerialChain) {
  boost::shared_ptr<AsyncExecutor> cpu = threads::CreateCPUBoundExecutor();
  if (cpu->ThreadCount() < 2) GTEST_SKIP() << "one worker runs one item at a time";
  {
    const boost::shared_ptr<AsyncThreadedExecutor> serial = threads::CreateSubExecutor(cpu, 1);
    for (int i = 0; i < 1000; ++i) serial->CallAsynchronously([] {}, 0);
    // Terminated first, the flush also lets go of the shared executor, which
    // later tests expect to find gone once their callers let go of it.
    serial->Terminate();
    serial->Flush();
  }
  Gate release;
  Tally started;
  Tally finished;
  for (int i = 0; i < 2; ++i) {
    cpu->CallAsynchronously(
        [&] {
          started.Add();
          release.Wait();
          finished.Add();
        },
        0);
  }
  const bool both = started.WaitAtLeast(2);
  release.Open();
  EXPECT_TRUE(both) << "the second item waited behind the first";
  ASSERT_TRUE(finished.WaitAtLeast(2));
}

TEST(TemporaryExecutors, AreReusedAndAtMostTwoWaitIdle) {
  threads::CleanupAllSharedThreads();
  auto a = threads::BorrowTemporarySingleThreadedExecutor();
  auto b = threads::BorrowTemporarySingleThreadedExecutor();
  auto c = threads::BorrowTemporarySingleThreadedExecutor();
  ASSERT_TRUE(a && b && c);
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  EXPECT_EQ(a->ThreadCount(), 1);

  threads::ReturnTemporarySingleThreadedExecutor(a);
  threads::ReturnTemporarySingleThreadedExecutor(b);
  threads::ReturnTemporarySingleThreadedExecutor(c);
  EXPECT_FALSE(a->IsTerminated());
  EXPECT_FALSE(b->IsTerminated());
  EXPECT_TRUE(c->IsTerminated()) << "a third idle executor was kept";

  // Idle executors are paused: work waits for the next borrower.
  Tally ran;
  b->CallAsynchronously([&ran] { ran.Add(); }, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // failure bound only
  EXPECT_EQ(ran.Value(), 0);
  auto again = threads::BorrowTemporarySingleThreadedExecutor();
  EXPECT_EQ(again, b) << "the last returned is lent first";
  EXPECT_TRUE(ran.WaitAtLeast(1));

  threads::ReturnTemporarySingleThreadedExecutor(again);
  threads::CleanupAllSharedThreads();
  EXPECT_TRUE(a->IsTerminated());
  EXPECT_TRUE(b->IsTerminated());
  for (const auto& executor : {a, b, c}) executor->Flush();
  EXPECT_NE(threads::BorrowTemporarySingleThreadedExecutor(), a);
  threads::CleanupAllSharedThreads();
}

TEST(MultithreadedTask, RunsOnTheCallerWithoutParallelism) {
  ASSERT_FALSE(threads::GetCPUBoundExecutor());
  auto twoThreads = boost::make_shared<ManualParent>(2);
  using Start = std::function<bool(const boost::function<void(int)>&)>;
  auto on = [](int inCount, boost::shared_ptr<AsyncExecutor> inExecutor) -> Start {
    return [=](const boost::function<void(int)>& inFunction) {
      return threads::AsyncExecuteTaskOnAllThreads(inFunction, inCount, inExecutor) != nullptr;
    };
  };
  struct Case {
    const char* mWhat;
    int mCount;
    Start mStart;
  };
  const Case cases[] = {
      {"one index", 1, on(1, twoThreads)},
      {"no executor", 5, on(5, nullptr)},
      {"one thread", 5, on(5, boost::make_shared<ManualParent>(1))},
      {"nothing", 0, on(0, twoThreads)},
      {"CPU-bound form without a live executor", 5,
       [](const boost::function<void(int)>& inFunction) {
         threads::ExecuteCPUBoundTaskOnAllProcessors(inFunction, 5);
         return false;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mWhat);
    std::vector<int> order;
    std::vector<unsigned int> callers;
    EXPECT_FALSE(c.mStart([&](int inIndex) {
      order.push_back(inIndex);
      callers.push_back(threads::GetCurrentThreadID());
    })) << "a task came back";
    std::vector<int> expected(static_cast<std::size_t>(c.mCount));
    for (int i = 0; i < c.mCount; ++i) expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(order, expected);
    EXPECT_EQ(callers, std::vector<unsigned int>(expected.size(), threads::GetCurrentThreadID()));
  }
  EXPECT_EQ(twoThreads->Pending(), 0u);
  EXPECT_THROW(threads::AsyncExecuteTaskOnAllThreads(boost::function<void(int)>(), 3, twoThreads),
               boost::bad_function_call);
  EXPECT_THROW(threads::AsyncExecuteTaskOnAllThreadsWithProcessorIndex(boost::function<void(int, int)>(), 3, nullptr),
               boost::bad_function_call);
  EXPECT_EQ(twoThreads->Pending(), 0u);
}

TEST(MultithreadedTask, WaiterFinishesAloneAndSeesTheFirstException) {
  // The executor never runs its runners: the waiter has to do every index.
  auto idle = boost::make_shared<ManualParent>(4);
  std::vector<int> calls(100, 0);
  auto task = threads::AsyncExecuteTaskOnAllThreadsWithProcessorIndex(
      [&](int inIndex, int inProcessorIndex) {
        ++calls[static_cast<std::size_t>(inIndex)];
        EXPECT_EQ(inProcessorIndex, 0);
        if (inIndex == 40) throw std::runtime_error("index 40");
      },
      100, idle);
  ASSERT_TRUE(task);
  EXPECT_EQ(idle->Pending(), 3u);
  try {
    task->WaitForCompletion();
    ADD_FAILURE() << "the exception was lost";
  } catch (const std::runtime_error& inError) {
    EXPECT_STREQ(inError.what(), "index 40");
  }
  EXPECT_EQ(calls, std::vector<int>(100, 1));
  idle->RunAll();  // late runners find nothing left
  EXPECT_EQ(calls, std::vector<int>(100, 1));
}

TEST(MultithreadedTask, CPUBoundFormUsesTheLiveExecutor) {
  auto custom = boost::make_shared<basalt::testing::ThreadPoolParent>(3);
  threads::SetCPUBoundExecutor(custom);
  std::vector<std::atomic<int>> calls(1000);
  threads::ExecuteCPUBoundTaskOnAllProcessorsWithProcessorIndex(
      [&calls](int inIndex, int inProcessorIndex) {
        calls[static_cast<std::size_t>(inIndex)] += 1;
        EXPECT_LT(inProcessorIndex, 3);
      },
      1000);
  for (const auto& count : calls) ASSERT_EQ(count.load(), 1);
  custom->WaitIdle();
}

TEST(CleanupFunction, DropsThePointerOnceWhereverItRuns) {
  struct Tracked {
    std::atomic<int>* mDestroyed;
    std::atomic<unsigned int>* mThread;
    ~Tracked() {
      *mThread = threads::GetCurrentThreadID();
      ++*mDestroyed;
    }
  };
  std::atomic<int> destroyed{0};
  std::atomic<unsigned int> thread{0};
  {
    boost::shared_ptr<void> pointer(new Tracked{&destroyed, &thread});
    boost::function<void()> cleanup = threads::MakeFunctionToCleanupSharedVoidPtr(pointer);
    EXPECT_FALSE(pointer);
    EXPECT_EQ(destroyed.load(), 0);
    boost::function<void()> copy = cleanup;
    unsigned int worker = 0;
    std::thread([&] {
      worker = threads::GetCurrentThreadID();
      cleanup();
    }).join();
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(thread.load(), worker);
    copy();
    EXPECT_EQ(destroyed.load(), 1);
  }
  {
    boost::shared_ptr<void> pointer(new Tracked{&destroyed, &thread});
    boost::function<void()> unused = threads::MakeFunctionToCleanupSharedVoidPtr(pointer);
  }
  EXPECT_EQ(destroyed.load(), 2) << "a function never run kept the pointer";
}

TEST(CreateNamedThread, RunsHooksInOrderWithNameAndPriority) {
  errno = 0;
  const int base = getpriority(PRIO_PROCESS, static_cast<id_t>(threads::GetCurrentProcessID()));
  ASSERT_EQ(errno, 0);
  struct Case {
    std::string mName;
    std::string mKernelName;
    threads::ThreadPriority mPriority;
    int mLowestNice;
    int mHighestNice;  // raising may be refused: the thread then keeps what it has
  };
  const Case cases[] = {
      {"Short", "Short", threads::kThreadPriority_Lowest, base + 2, base + 2},
      {"A name longer than fifteen bytes", "A name longer t", threads::kThreadPriority_Idle, base + 19, base + 19},
      // "Ü" takes bytes 15 and 16: cutting after 15 bytes would split it.
      {"Fourteen bytesÜber", "Fourteen bytes", threads::kThreadPriority_Normal, base, base},
      {"High", "High", threads::kThreadPriority_Highest, base - 2, base},
  };
  auto record = [](std::vector<std::string>& outEvents, const char* inEvent) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    outEvents.push_back(std::string(inEvent) + " " + name);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    std::vector<std::string> events;
    int nice = 100;
    threads::CreateNamedThread(
        c.mName,
        [&] {
          record(events, "function");
          nice = getpriority(PRIO_PROCESS, static_cast<id_t>(threads::GetCurrentThreadID()));
        },
        c.mPriority, [&] { record(events, "start"); }, [&] { record(events, "end"); })
        .join();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_NE(events[0], "start " + c.mKernelName) << "named before onThreadStart";
    EXPECT_EQ(events[1], "function " + c.mKernelName);
    EXPECT_EQ(events[2], "end " + c.mKernelName);
    EXPECT_GE(nice, std::clamp(c.mLowestNice, -20, 19));
    EXPECT_LE(nice, std::clamp(c.mHighestNice, -20, 19));
  }
}

}  // namespace
