#include <basalt/threads/SharedThreads.h>
#include <basalt/threads/SubExecutor.h>

#include "TestGate.h"
#include "threads/ExecutorTestSupport.h"
#include "threads/SubExecutorInternal.h"
#include "threads/TestExecutors.h"

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using basalt::testing::Tally;
using basalt::testing::ExpectReturns;
using basalt::testing::ManualParent;
using basalt::testing::ThreadPoolParent;
using basalt::threads::AsyncExecutor;
using basalt::threads::AsyncThreadedExecutor;
using basalt::threads::CreateQueueBasedSubExecutor;
using basalt::threads::CreateStackBasedSubExecutor;
using basalt::threads::CreateSubExecutor;
using basalt::threads::CreateSubExecutorWithFunctionWrapper;
using Function = boost::function<void()>;
using Wrapper = boost::function<void(const Function&)>;

// Records the order in which functions ran.
class Trace {
public:
  Function Append(int inValue) {
    return [this, inValue] {
      std::lock_guard<std::mutex> lock(mMutex);
      mValues.push_back(inValue);
    };
  }
  std::vector<int> Values() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mValues;
  }

private:
  std::mutex mMutex;
  std::vector<int> mValues;
};

// A function whose copies hold inToken: its use count tells whether the
// sub-executor still keeps the function.
Function Holding(const std::shared_ptr<int>& inToken, Function inThen = {}) {
  return [inToken, inThen] {
    if (inThen) inThen();
  };
}

boost::shared_ptr<AsyncThreadedExecutor> AsThreaded(const boost::shared_ptr<AsyncExecutor>& inExecutor) {
  return boost::dynamic_pointer_cast<AsyncThreadedExecutor>(inExecutor);
}

// ---------------------------------------------------------------------------
// The lock-free containers on their own, without the sub-executor's mutex.
// ---------------------------------------------------------------------------
template <class Container>
void StressContainer(bool inFifo) {
  constexpr int kProducers = 3;
  constexpr int kConsumers = 3;
  constexpr int kPerProducer = 20000;
  struct Item {
    int mProducer;
    int mSequence;
  };
  std::vector<Item> items(kProducers * kPerProducer);
  Container container;
  std::atomic<int> taken{0};
  std::vector<std::atomic<int>> seen(items.size());
  std::atomic<bool> orderBroken{false};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        Item& item = items[static_cast<std::size_t>(p * kPerProducer + i)];
        item = Item{p, i};
        container.Push(&item);
      }
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&] {
      std::vector<int> lastSeen(kProducers, -1);
      while (taken.load() < kProducers * kPerProducer) {
        Item* item = static_cast<Item*>(container.Pop());
        if (item == nullptr) {
          std::this_thread::yield();
          continue;
        }
        taken.fetch_add(1);
        seen[static_cast<std::size_t>(item - items.data())].fetch_add(1);
        // One consumer sees each producer's items of a FIFO in push order.
        if (inFifo && item->mSequence <= lastSeen[static_cast<std::size_t>(item->mProducer)]) orderBroken = true;
        lastSeen[static_cast<std::size_t>(item->mProducer)] = item->mSequence;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(container.Pop(), nullptr);
  EXPECT_FALSE(orderBroken.load());
  int wrong = 0;
  for (std::atomic<int>& count : seen) wrong += count.load() != 1;
  EXPECT_EQ(wrong, 0) << "items lost or handed out twice";
}

TEST(LockFreeContainers, QueueHandsOutEveryItemOnceInEachProducersOrder) {
  StressContainer<basalt::threads::internal::LockFreeQueue>(true);
}

TEST(LockFreeContainers, StackHandsOutEveryItemOnce) {
  StressContainer<basalt::threads::internal::LockFreeStack>(false);
}

TEST(LockFreeContainers, OrderOnOneThreadAndReuseOfNodes) {
  basalt::threads::internal::LockFreeQueue queue;
  basalt::threads::internal::LockFreeStack stack;
  std::vector<int> values(1000);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    for (int& value : values) {
      queue.Push(&value);
      stack.Push(&value);
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
      EXPECT_EQ(queue.Pop(), &values[i]);
      EXPECT_EQ(stack.Pop(), &values[values.size() - 1 - i]);
    }
    EXPECT_EQ(queue.Pop(), nullptr);
    EXPECT_EQ(stack.Pop(), nullptr);
  }
}

// ---------------------------------------------------------------------------
// Factories.
// ---------------------------------------------------------------------------
TEST(SubExecutorFactories, EffectiveConcurrency) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(6);
  struct Case {
    int mRequested;
    int mExpected;
  };
  const Case cases[] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {6, 6}, {10, 6}, {-1, 6}, {-2, 12}, {INT_MIN, INT_MAX}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mRequested);
    const boost::shared_ptr<AsyncExecutor> made[] = {
        CreateQueueBasedSubExecutor(parent, c.mRequested), CreateSubExecutor(parent, c.mRequested),
        CreateStackBasedSubExecutor(parent, c.mRequested),
        CreateSubExecutorWithFunctionWrapper(parent, c.mRequested, [](const Function& f) { f(); }),
        CreateSubExecutorWithFunctionWrapper(parent, c.mRequested, Wrapper())};
    for (const boost::shared_ptr<AsyncExecutor>& executor : made) {
      ASSERT_TRUE(executor);
      EXPECT_EQ(executor->ThreadCount(), c.mExpected);
      // The stack-based one is a threaded executor too, returned through the base.
      EXPECT_TRUE(AsThreaded(executor));
    }
  }
}

TEST(SubExecutorFactories, EmptyWhenThereIsNoConcurrency) {
  const boost::shared_ptr<AsyncExecutor> parents[] = {boost::shared_ptr<AsyncExecutor>(),
                                                     boost::make_shared<ManualParent>(0),
                                                     boost::make_shared<ManualParent>(-3)};
  const int requests[] = {2, 0, -2};
  for (const boost::shared_ptr<AsyncExecutor>& parent : parents) {
    for (int n : requests) {
      if (parent && parent->ThreadCount() > 0 && n != 0) continue;
      SCOPED_TRACE(n);
      EXPECT_FALSE(CreateQueueBasedSubExecutor(parent, n));
      EXPECT_FALSE(CreateSubExecutor(parent, n));
      EXPECT_FALSE(CreateStackBasedSubExecutor(parent, n));
      EXPECT_FALSE(CreateSubExecutorWithFunctionWrapper(parent, n, [](const Function& f) { f(); }));
    }
  }
  EXPECT_FALSE(CreateSubExecutor(boost::make_shared<ManualParent>(4), 0));
}

// ---------------------------------------------------------------------------
// On a parent whose posted functions the test runs itself.
// ---------------------------------------------------------------------------
TEST(SubExecutorManual, StartOrderIsPostingOrderWhicheverDispatchRunsFirst) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(6);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, 3);
  Trace trace;
  for (int i = 1; i <= 5; ++i) {
    EXPECT_TRUE(sub->CallAsynchronously(trace.Append(i), 0));
    EXPECT_EQ(parent->Pending(), static_cast<std::size_t>(std::min(i, 3))) << "one dispatch per free slot";
  }
  parent->Run(2);
  parent->Run(0);
  parent->Run(0);
  parent->RunAll();
  EXPECT_EQ(trace.Values(), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(parent->Pending(), 0u);
}

TEST(SubExecutorManual, PauseHoldsBackWorkUntilResume) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(4);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, 2);
  Trace trace;
  // A dispatch already on the parent when Pause comes finds nothing to run.
  sub->CallAsynchronously(trace.Append(1), 0);
  sub->Pause();
  sub->WaitIfPaused();  // returns at once on a sub-executor
  parent->RunAll();
  sub->CallAsynchronously(trace.Append(2), 0);
  sub->CallAsynchronously(trace.Append(3), 0);
  EXPECT_EQ(parent->Pending(), 0u);
  EXPECT_TRUE(trace.Values().empty());
  sub->Resume();
  EXPECT_EQ(parent->Pending(), 2u) << "as many dispatches as the limit allows";
  parent->RunAll();
  EXPECT_EQ(trace.Values(), (std::vector<int>{1, 2, 3}));
}

TEST(SubExecutorManual, StackBasedStartsTheLatestFirst) {
  for (const bool paused : {true, false}) {
    SCOPED_TRACE(paused);
    const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(2);
    const boost::shared_ptr<AsyncThreadedExecutor> sub = AsThreaded(CreateStackBasedSubExecutor(parent, 1));
    Trace trace;
    if (paused) sub->Pause();
    for (int i = 1; i <= 3; ++i) sub->CallAsynchronously(trace.Append(i), 0);
    if (paused) sub->Resume();
    parent->RunAll();
    EXPECT_EQ(trace.Values(), (std::vector<int>{3, 2, 1}));
  }
}

TEST(SubExecutorManual, FlushWaitsForEarlierFunctionsFinishingOutOfOrder) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(2);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, 2);
  basalt::testing::Gate releaseFirst;
  Tally firstStarted;
  std::atomic<bool> firstDone{false};
  sub->CallAsynchronously(
      [&] {
        firstStarted.Add();
        releaseFirst.Wait();
        firstDone = true;
      },
      0);
  std::atomic<bool> secondDone{false};
  sub->CallAsynchronously([&] { secondDone = true; }, 0);
  ASSERT_EQ(parent->Pending(), 2u);
  std::thread first([&] { parent->Run(0); });
  ASSERT_TRUE(firstStarted.WaitAtLeast(1));
  parent->Run(0);  // serial 2 finishes while serial 1 still runs
  ASSERT_TRUE(secondDone.load());

  std::promise<bool> flushed;
  std::future<bool> flushResult = flushed.get_future();
  std::thread flusher([&] {
    sub->Flush();
    flushed.set_value(firstDone.load());
  });
  // Flush must still be waiting; the pause only gives a wrong early return
  // the chance to show.
  EXPECT_EQ(flushResult.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  releaseFirst.Open();
  first.join();
  flusher.join();
  EXPECT_TRUE(flushResult.get()) << "Flush returned before serial 1 finished";
}

// A Flush that took its snapshot before more functions were queued and the
// sub-executor terminated must not take the parent away from them.
TEST(SubExecutorManual, EarlyFlushLeavesTheParentToWhatIsStillQueued) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(2);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, 1);
  Trace trace;
  basalt::testing::Gate release;
  Tally started;
  sub->CallAsynchronously(
      [&] {
        started.Add();
        release.Wait();
        trace.Append(1)();
      },
      0);
  std::thread runner([&] { parent->Run(0); });
  ASSERT_TRUE(started.WaitAtLeast(1));
  std::thread flusher([&] { sub->Flush(); });
  // Time for the flusher to take its snapshot; a later one only hides a fault.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sub->CallAsynchronously(trace.Append(2), 0);
  sub->CallAsynchronously(trace.Append(3), 0);
  sub->Terminate();
  release.Open();
  runner.join();
  flusher.join();
  parent->RunAll();
  EXPECT_EQ(trace.Values(), (std::vector<int>{1, 2, 3}));
  ExpectReturns("Flush after the queue drained", [&] { sub->Flush(); });
  EXPECT_EQ(parent.use_count(), 1);
}

TEST(SubExecutorManual, DelayedFunctionRunsAtOnceWhenTheLimitAllowsElseQueues) {
  struct Case {
    const char* mName;
    int mConcurrency;
    bool mPaused;
    std::vector<int> mExpected;
  };
  const Case cases[] = {{"free slot", 2, false, {9, 1}}, {"at the limit", 1, false, {1, 9}},
                        {"paused", 2, true, {1, 9}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(2);
    const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, c.mConcurrency);
    Trace trace;
    std::atomic<bool> onOwnThread{false};
    ASSERT_TRUE(sub->CallAsynchronously(
        [&] {
          onOwnThread = sub->IsCurrentThreadExecutorThread();
          trace.Append(9)();
        },
        10));
    ASSERT_EQ(parent->Pending(), 1u);
    EXPECT_EQ(parent->DelayOf(0), 10u);
    if (c.mPaused) sub->Pause();
    sub->CallAsynchronously(trace.Append(1), 0);
    parent->Run(0);  // the delayed call falls due
    if (c.mPaused) sub->Resume();
    parent->RunAll();
    EXPECT_EQ(trace.Values(), c.mExpected);
    EXPECT_TRUE(onOwnThread.load());
  }
}

TEST(SubExecutorManual, TerminateDrainsAPausedQueueAndDropsDelayedFunctions) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(2);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, 1);
  Trace trace;
  const std::shared_ptr<int> delayedToken = std::make_shared<int>();
  ASSERT_TRUE(sub->CallAsynchronously(Holding(delayedToken, trace.Append(9)), 5));
  sub->Pause();
  sub->CallAsynchronously(trace.Append(1), 0);
  sub->CallAsynchronously(trace.Append(2), 0);
  sub->Terminate();
  EXPECT_TRUE(sub->IsTerminated());
  EXPECT_EQ(delayedToken.use_count(), 1) << "the delayed function is dropped at once";
  const std::shared_ptr<int> refusedToken = std::make_shared<int>();
  EXPECT_FALSE(sub->CallAsynchronously(Holding(refusedToken), 0));
  EXPECT_FALSE(sub->CallAsynchronously(Holding(refusedToken), 5));
  EXPECT_EQ(refusedToken.use_count(), 1);
  sub->Pause();  // no effect once terminated
  parent->RunAll();  // the delayed call fires too and finds nothing
  EXPECT_EQ(trace.Values(), (std::vector<int>{1, 2}));
}

TEST(SubExecutorManual, ParentIsReleasedByFlushAfterTerminateAndImplByTheLastDispatch) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(2);
  boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, 1);
  Trace trace;
  sub->CallAsynchronously(trace.Append(1), 0);
  parent->RunAll();
  sub->Flush();
  EXPECT_EQ(parent.use_count(), 2) << "a live sub-executor keeps its parent";
  sub->Terminate();
  sub->Flush();
  EXPECT_EQ(parent.use_count(), 1);

  // Dropping the front of a paused sub-executor terminates it; its queue still
  // runs, and the last dispatch lets the impl (and with it the parent) go.
  sub = CreateSubExecutor(parent, 1);
  const std::shared_ptr<int> delayedToken = std::make_shared<int>();
  sub->CallAsynchronously(Holding(delayedToken), 50);
  sub->Pause();
  sub->CallAsynchronously(trace.Append(2), 0);
  sub->CallAsynchronously(trace.Append(3), 0);
  sub.reset();
  EXPECT_EQ(delayedToken.use_count(), 1);
  EXPECT_EQ(parent->Pending(), 2u) << "the delayed call and one dispatch";
  parent->Run(1);
  parent->Run(1);
  EXPECT_EQ(trace.Values(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(parent.use_count(), 1) << "a pending delayed call holds the impl only weakly";
  parent->RunAll();
}

TEST(SubExecutorManual, ParentRefusingWorkTerminatesAndDropsTheQueue) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(2);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, 1);
  Trace trace;
  sub->CallAsynchronously(trace.Append(1), 0);
  parent->Terminate();
  const std::shared_ptr<int> queuedToken = std::make_shared<int>();
  EXPECT_TRUE(sub->CallAsynchronously(Holding(queuedToken), 0)) << "queued behind the running dispatch";
  parent->Run(0);  // runs 1; the next dispatch is refused
  EXPECT_EQ(trace.Values(), (std::vector<int>{1}));
  EXPECT_EQ(queuedToken.use_count(), 1) << "a queue nothing can run any more is dropped";
  EXPECT_TRUE(sub->IsTerminated());
  ExpectReturns("Flush after the parent refused", [&] { sub->Flush(); });
  EXPECT_EQ(parent.use_count(), 1);

  // A refusal with nothing in flight answers the call that caused it.
  const boost::shared_ptr<ManualParent> refusing = boost::make_shared<ManualParent>(2);
  refusing->SetRefusing(true);
  const boost::shared_ptr<AsyncThreadedExecutor> other = CreateSubExecutor(refusing, 2);
  const std::shared_ptr<int> token = std::make_shared<int>();
  EXPECT_FALSE(other->CallAsynchronously(Holding(token), 0));
  EXPECT_FALSE(other->CallAsynchronously(Holding(token), 7));
  EXPECT_EQ(token.use_count(), 1);
  ExpectReturns("Flush after a refused call", [&] { other->Flush(); });
}

TEST(SubExecutorManual, WrapperWrapsEveryCall) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(2);
  thread_local bool tInsideWrapper = false;
  std::atomic<int> wrapped{0};
  std::atomic<int> unwrappedCalls{0};
  const boost::shared_ptr<AsyncThreadedExecutor> sub =
      CreateSubExecutorWithFunctionWrapper(parent, 2, [&](const Function& inFunction) {
        wrapped.fetch_add(1);
        tInsideWrapper = true;
        try {
          inFunction();
        } catch (...) {
          tInsideWrapper = false;
          throw;
        }
        tInsideWrapper = false;
      });
  const Function check = [&] { unwrappedCalls.fetch_add(tInsideWrapper ? 0 : 1); };
  sub->CallAsynchronously(check, 3);
  parent->Run(0);  // the delayed call falls due and runs at once on this thread
  EXPECT_EQ(wrapped.load(), 1);
  sub->CallAsynchronously(check, 0);
  sub->CallAsynchronously([] { throw std::runtime_error("inside the wrapper"); }, 0);
  sub->CallAsynchronously(check, 0);
  parent->RunAll();
  EXPECT_EQ(wrapped.load(), 4);
  EXPECT_EQ(unwrappedCalls.load(), 0);
}

TEST(SubExecutorManual, CurrentThreadCountsOnlyWhileRunningOneOfItsFunctions) {
  const boost::shared_ptr<ManualParent> parent = boost::make_shared<ManualParent>(2);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, 1);
  const boost::shared_ptr<AsyncThreadedExecutor> sibling = CreateSubExecutor(parent, 1);
  std::vector<bool> seen;
  sub->CallAsynchronously(
      [&] {
        seen.push_back(sub->IsCurrentThreadExecutorThread());
        seen.push_back(sibling->IsCurrentThreadExecutorThread());
      },
      0);
  parent->CallAsynchronously([&] { seen.push_back(sub->IsCurrentThreadExecutorThread()); }, 0);
  parent->RunAll();
  EXPECT_EQ(seen, (std::vector<bool>{true, false, false}));
  EXPECT_FALSE(sub->IsCurrentThreadExecutorThread());
}

// Runs every function at once on the calling thread.
class InlineParent : public AsyncExecutor {
public:
  bool CallAsynchronously(const Function& inFunction, unsigned int) override {
    inFunction();
    return true;
  }
  int ThreadCount() const override { return 1; }
  void Terminate() override {}
  bool IsTerminated() override { return false; }
};

// A dispatch handed on at the end of a run skips waking the parent's other
// workers. Work that a function posts meanwhile to some other queue must still
// wake that queue's workers, even when the poster is one of them and the hand-
// on runs the function inline: here the function waits for what it posted,
// which only the queue's other worker can run.
TEST(SubExecutorHandOn, WorkPostedInsideAHandOnStillWakesAnIdleWorker) {
  const boost::shared_ptr<AsyncThreadedExecutor> queue =
      basalt::threads::CreateAsyncThreadedExecutor("HandOnTest", 2);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(boost::make_shared<InlineParent>(), 1);
  // Both workers have started; give them time to fall asleep, so that the
  // post below has to wake one (with the hand-on at fault it would not).
  // The test passes whatever the timing when the code is right.
  queue->Flush();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Tally done;
  std::atomic<bool> otherWorkerRan{false};
  queue->CallAsynchronously(
      [&] {
        sub->CallAsynchronously(
            [&] {
              // Queued behind this one; handed on when this one finishes.
              sub->CallAsynchronously(
                  [&] {
                    Tally posted;
                    queue->CallAsynchronously([&] { posted.Add(); }, 0);
                    otherWorkerRan = posted.WaitAtLeast(1);
                    done.Add();
                  },
                  0);
            },
            0);
      },
      0);
  ASSERT_TRUE(done.WaitAtLeast(1));
  EXPECT_TRUE(otherWorkerRan.load());
  queue->Terminate();
  queue->Flush();
}

// A serial queue whose next function runs in place on the parent's thread
// must still let the parent's own work through: a function posted to the
// parent, or one that falls due there, runs before the queue is done.
TEST(SubExecutorHandOn, TheParentsOwnWorkIsNotHeldBackByAQueueRunningInPlace) {
  const boost::shared_ptr<AsyncThreadedExecutor> queue =
      basalt::threads::CreateAsyncThreadedExecutor("InPlaceTest", 1);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(queue, 1);

  // Posted to the parent by the first function: it runs before the third.
  std::vector<int> order;  // touched only on the queue's one thread
  constexpr int kFunctions = 100;
  for (int i = 1; i <= kFunctions; ++i) {
    sub->CallAsynchronously(
        [&, i] {
          order.push_back(i);
          if (i == 1) queue->CallAsynchronously([&] { order.push_back(0); }, 0);
        },
        0);
  }
  sub->Flush();
  ASSERT_EQ(order.size(), static_cast<std::size_t>(kFunctions + 1));
  EXPECT_EQ(std::find(order.begin(), order.end(), 0) - order.begin(), 1);

  // A delayed function of the parent falls due while a chain keeps the queue
  // busy; the chain stops once it ran, or after 10 s as a failure bound.
  std::atomic<bool> delayedRan{false};
  Tally chainEnded;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::function<void()> step = [&] {
    if (!delayedRan.load() && std::chrono::steady_clock::now() < deadline) {
      sub->CallAsynchronously(step, 0);
    } else {
      chainEnded.Add();
    }
  };
  queue->CallAsynchronously([&] { delayedRan = true; }, 10);
  sub->CallAsynchronously(step, 0);
  ASSERT_TRUE(chainEnded.WaitAtLeast(1));
  EXPECT_TRUE(delayedRan.load());
  sub->Terminate();
  sub->Flush();
  queue->Terminate();
  queue->Flush();
}

// ---------------------------------------------------------------------------
// Conformance on parents that run their functions on threads of their own.
// ---------------------------------------------------------------------------
struct ParentKind {
  const char* mName;
  boost::shared_ptr<AsyncExecutor> (*mCreate)();
};

class SubExecutorOnThreads : public ::testing::TestWithParam<ParentKind> {
protected:
  void SetUp() override { mParent = GetParam().mCreate(); }
  void TearDown() override {
    // Work queues are ended and joined, so no thread outlives the test.
    if (const boost::shared_ptr<AsyncThreadedExecutor> threaded = AsThreaded(mParent)) {
      threaded->Terminate();
      threaded->Flush();
    }
    mParent.reset();
  }
  // The concurrency a request of inWanted gets on this parent.
  int Limit(int inWanted) const { return std::min(inWanted, mParent->ThreadCount()); }

  boost::shared_ptr<AsyncExecutor> mParent;
};

TEST_P(SubExecutorOnThreads, SerialRunsOneAtATimeInEachProducersOrder) {
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(mParent, 1);
  Trace small;
  for (int i = 1; i <= 3; ++i) sub->CallAsynchronously(small.Append(i), 0);
  sub->Flush();
  EXPECT_EQ(small.Values(), (std::vector<int>{1, 2, 3}));

  constexpr int kProducers = 4;
  constexpr int kPerProducer = 1000;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> outOfOrder{0};
  std::atomic<int> ran{0};
  std::vector<int> lastSeen(kProducers, -1);  // touched only by the serial functions
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        sub->CallAsynchronously(
            [&, p, i] {
              if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
              if (lastSeen[static_cast<std::size_t>(p)] >= i) outOfOrder.fetch_add(1);
              lastSeen[static_cast<std::size_t>(p)] = i;
              ran.fetch_add(1);
              inside.fetch_sub(1);
            },
            0);
      }
    });
  }
  for (std::thread& producer : producers) producer.join();
  sub->Flush();
  EXPECT_EQ(ran.load(), kProducers * kPerProducer);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(outOfOrder.load(), 0);
}

TEST_P(SubExecutorOnThreads, NeverRunsMoreThanItsLimit) {
  const int limit = Limit(3);
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(mParent, 3);
  ASSERT_EQ(sub->ThreadCount(), limit);
  basalt::testing::Gate release;
  Tally started;
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  for (int i = 0; i < 4 * limit; ++i) {
    sub->CallAsynchronously(
        [&] {
          const int now = inside.fetch_add(1) + 1;
          int seen = most.load();
          while (now > seen && !most.compare_exchange_weak(seen, now)) {
          }
          started.Add();
          release.Wait();
          inside.fetch_sub(1);
        },
        0);
  }
  ASSERT_TRUE(started.WaitAtLeast(limit)) << "the limit is reached";
  release.Open();
  sub->Flush();
  EXPECT_EQ(started.Value(), 4 * limit);
  EXPECT_EQ(most.load(), limit);
}

TEST_P(SubExecutorOnThreads, FlushIsExactWhileWorkKeepsArriving) {
  for (const int n : {1, 2}) {
    SCOPED_TRACE(n);
    const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(mParent, n);
    constexpr int kProducers = 3;
    constexpr int kPerProducer = 3000;
    std::vector<std::unique_ptr<std::atomic<bool>[]>> done;
    std::vector<std::atomic<int>> posted(kProducers);
    for (int p = 0; p < kProducers; ++p) done.emplace_back(new std::atomic<bool>[kPerProducer]());
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([&, p] {
        for (int i = 0; i < kPerProducer; ++i) {
          std::atomic<bool>* flag = &done[static_cast<std::size_t>(p)][i];
          sub->CallAsynchronously([flag] { flag->store(true); }, 0);
          posted[static_cast<std::size_t>(p)].store(i + 1);
        }
      });
    }
    int missed = 0;
    int flushes = 0;
    for (bool producing = true; producing; ++flushes) {
      std::vector<int> before(kProducers);
      producing = false;
      for (int p = 0; p < kProducers; ++p) {
        before[static_cast<std::size_t>(p)] = posted[static_cast<std::size_t>(p)].load();
        producing |= before[static_cast<std::size_t>(p)] < kPerProducer;
      }
      sub->Flush();
      for (int p = 0; p < kProducers; ++p) {
        for (int i = 0; i < before[static_cast<std::size_t>(p)]; ++i) missed += !done[static_cast<std::size_t>(p)][i];
      }
    }
    for (std::thread& producer : producers) producer.join();
    EXPECT_EQ(missed, 0) << "over " << flushes << " flushes";
  }
}

TEST_P(SubExecutorOnThreads, FlushFromItsOwnFunctionReturnsAtOnce) {
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(mParent, 1);
  Tally flushed;
  sub->CallAsynchronously(
      [&] {
        sub->Flush();
        flushed.Add();
      },
      0);
  EXPECT_TRUE(flushed.WaitAtLeast(1));
  sub->Flush();
}

TEST_P(SubExecutorOnThreads, ExceptionsDoNotStopLaterFunctions) {
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(mParent, 1);
  Trace trace;
  sub->CallAsynchronously([] { throw std::runtime_error("first"); }, 0);
  sub->CallAsynchronously([] { throw 42; }, 0);
  sub->CallAsynchronously(trace.Append(3), 0);
  sub->Flush();
  EXPECT_EQ(trace.Values(), (std::vector<int>{3}));
  EXPECT_FALSE(sub->IsTerminated());
}

TEST_P(SubExecutorOnThreads, PauseHoldsBackAndStackRunsLatestFirst) {
  const boost::shared_ptr<AsyncThreadedExecutor> sub = AsThreaded(CreateStackBasedSubExecutor(mParent, 1));
  Trace trace;
  sub->Pause();
  for (int i = 1; i <= 3; ++i) sub->CallAsynchronously(trace.Append(i), 0);
  // Dispatches would have been posted before this marker, and the parent
  // starts functions in posting order.
  Tally marker;
  mParent->CallAsynchronously([&] { marker.Add(); }, 0);
  ASSERT_TRUE(marker.WaitAtLeast(1));
  EXPECT_TRUE(trace.Values().empty());
  sub->Resume();
  sub->Flush();
  EXPECT_EQ(trace.Values(), (std::vector<int>{3, 2, 1}));
}

// Stands in for the parent so that only this test's sub-executor holds it:
// the shared executors are also held, and let go at unpredictable moments,
// by the leftovers of earlier tests.
class ForwardingParent : public AsyncExecutor {
public:
  explicit ForwardingParent(const boost::shared_ptr<AsyncExecutor>& inTarget) : mTarget(inTarget) {}
  bool CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs) override {
    return mTarget->CallAsynchronously(inFunction, inDelayMs);
  }
  int ThreadCount() const override { return mTarget->ThreadCount(); }
  void Terminate() override {}
  bool IsTerminated() override { return false; }

private:
  boost::shared_ptr<AsyncExecutor> mTarget;
};

TEST_P(SubExecutorOnThreads, TerminateThenFlushReleasesTheParent) {
  const boost::shared_ptr<AsyncExecutor> parent = boost::make_shared<ForwardingParent>(mParent);
  const long before = parent.use_count();
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(parent, 2);
  std::atomic<int> ran{0};
  for (int i = 0; i < 100; ++i) sub->CallAsynchronously([&] { ran.fetch_add(1); }, 0);
  sub->Flush();
  EXPECT_EQ(parent.use_count(), before + 1) << "a live sub-executor keeps its parent";
  for (int i = 0; i < 100; ++i) sub->CallAsynchronously([&] { ran.fetch_add(1); }, 0);
  sub->Terminate();
  EXPECT_FALSE(sub->CallAsynchronously([] {}, 0));
  sub->Flush();
  EXPECT_EQ(ran.load(), 200) << "what was queued before Terminate still runs";
  EXPECT_EQ(parent.use_count(), before);
}

TEST_P(SubExecutorOnThreads, DelayedFunctionRunsButNeverAfterTerminate) {
  const boost::shared_ptr<AsyncThreadedExecutor> sub = CreateSubExecutor(mParent, 1);
  Tally ran;
  std::atomic<bool> onOwnThread{false};
  sub->CallAsynchronously(
      [&] {
        onOwnThread = sub->IsCurrentThreadExecutorThread();
        ran.Add();
      },
      5);
  ASSERT_TRUE(ran.WaitAtLeast(1));
  EXPECT_TRUE(onOwnThread.load());

  std::atomic<bool> lateRan{false};
  sub->CallAsynchronously([&] { lateRan = true; }, 20);
  sub->Terminate();
  // A marker due well after the dropped function; once it ran, the dropped
  // function's timer has fired.
  Tally marker;
  mParent->CallAsynchronously([&] { marker.Add(); }, 80);
  ASSERT_TRUE(marker.WaitAtLeast(1));
  sub->Flush();
  EXPECT_FALSE(lateRan.load());
}

boost::shared_ptr<AsyncExecutor> MakeTestPool() { return boost::make_shared<ThreadPoolParent>(4); }
boost::shared_ptr<AsyncExecutor> MakeWorkQueue() {
  return basalt::threads::CreateAsyncThreadedExecutor("SubExecutorTest", 4);
}

INSTANTIATE_TEST_SUITE_P(Parents, SubExecutorOnThreads,
                         ::testing::Values(ParentKind{"TestPool", &MakeTestPool}, ParentKind{"WorkQueue", &MakeWorkQueue},
                                           ParentKind{"CPUBound", &basalt::threads::CreateCPUBoundExecutor},
                                           ParentKind{"IOBound", &basalt::threads::CreateIOBoundExecutor}),
                         [](const ::testing::TestParamInfo<ParentKind>& inInfo) { return inInfo.param.mName; });

}  // namespace
