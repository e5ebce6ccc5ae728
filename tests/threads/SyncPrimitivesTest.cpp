// The pooled blocking primitives: gate levels, recursive locking across a
// condition wait, barrier generations, the pools' recycling, the inline
// atomics and process lookup by name.
#include <basalt/threads/Atomics.h>
#include <basalt/threads/Processes.h>
#include <basalt/threads/SyncPrimitives.h>

#include "threads/SyncPrimitivesInternal.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace basalt {
namespace threads {
namespace {

using namespace std::chrono_literals;

constexpr auto kFailureBound = 30s;

template <class Fn>
void RunThreads(int inCount, Fn inBody) {
  std::vector<std::thread> threads;
  for (int i = 0; i < inCount; ++i) threads.emplace_back(inBody, i);
  for (auto& thread : threads) thread.join();
}

// ---------------------------------------------------------------------------
TEST(Gate, PassesOnlyWhileOpenAndHonoursTheTimeout) {
  EXPECT_TRUE(Gate(true).PassThrough(0));
  EXPECT_FALSE(Gate(false).PassThrough(0));
  EXPECT_FALSE(Gate().PassThrough(0));

  Gate gate(false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(gate.PassThrough(30));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);

  gate.Open();
  gate.Open();  // opening an open gate changes nothing
  EXPECT_TRUE(gate.PassThrough(0));
  gate.Close();
  gate.Close();
  EXPECT_FALSE(gate.PassThrough(0));
}

TEST(Gate, RecycledGateStartsInTheRequestedState) {
  // The pool is a LIFO: the next gate gets the object the last one left open.
  { Gate open(true); }
  EXPECT_FALSE(Gate(false).PassThrough(0));
  { Gate closed(false); }
  EXPECT_TRUE(Gate(true).PassThrough(0));
}

TEST(Gate, OpeningReleasesEveryWaiter) {
  Gate gate(true);
  gate.Close();
  constexpr int kWaiters = 6;
  std::vector<std::future<bool>> waiters;
  for (int i = 0; i < kWaiters; ++i)
    waiters.push_back(std::async(std::launch::async, [&gate] { return gate.PassThrough(-1); }));
  gate.Open();
  for (auto& waiter : waiters) {
    ASSERT_EQ(waiter.wait_for(kFailureBound), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
  }
}

TEST(Gate, RacingOpenAndCloseNeverLeaveAClosedGatePassable) {
  // A Close that overtakes a concurrent Open must not be undone by the
  // Open's late signal.
  for (int round = 0; round < 20; ++round) {
    Gate gate(false);
    std::atomic<bool> go{false};
    std::thread opener([&] {
      while (!go.load()) {
      }
      for (int i = 0; i < 2000; ++i) {
        gate.Open();
        gate.Open();
      }
    });
    std::thread closer([&] {
      while (!go.load()) {
      }
      for (int i = 0; i < 2000; ++i) gate.Close();
    });
    go = true;
    opener.join();
    closer.join();
    // Whatever the interleaving, the gate must now be consistently open or
    // closed: a closed gate that passes threads cannot be closed again.
    if (gate.PassThrough(0)) {
      gate.Close();
      ASSERT_FALSE(gate.PassThrough(0)) << "round " << round;
    }
  }
}

// ---------------------------------------------------------------------------
TEST(RecursiveMutex, CountsRecursionAndExcludesOtherThreads) {
  RecursiveMutex mutex;
  auto otherThreadGetsIt = [&mutex] {
    return std::async(std::launch::async, [&mutex] {
             RecursiveMutex::ScopedTryLock lock(mutex, "test");
             return lock.IsLocked();
           })
        .get();
  };
  mutex.Lock("outer");
  EXPECT_TRUE(mutex.TryLock("inner"));
  {
    RecursiveMutex::ScopedLock again(mutex, "scoped");
    EXPECT_FALSE(otherThreadGetsIt());
  }
  mutex.Unlock();
  EXPECT_FALSE(otherThreadGetsIt());
  mutex.Unlock();
  EXPECT_TRUE(otherThreadGetsIt());
}

TEST(RecursiveMutex, SerialisesManyThreads) {
  RecursiveMutex mutex;
  long counter = 0;  // deliberately not atomic
  RunThreads(4, [&](int) {
    for (int i = 0; i < 20000; ++i) {
      RecursiveMutex::ScopedLock outer(mutex, "outer");
      RecursiveMutex::ScopedLock inner(mutex, "inner");
      ++counter;
    }
  });
  EXPECT_EQ(counter, 4 * 20000);
}

TEST(ConditionVariable, WaitReleasesEveryLevelAndRestoresIt) {
  RecursiveMutex mutex;
  ConditionVariable condition;
  bool ready = false;
  std::promise<void> waiting;
  auto waiter = std::async(std::launch::async, [&] {
    RecursiveMutex::ScopedLock outer(mutex, "outer");
    RecursiveMutex::ScopedLock inner(mutex, "inner");
    waiting.set_value();
    while (!ready) condition.Wait(inner);
    // Still held twice: one release leaves it locked.
    mutex.Unlock();
    const bool heldAfterOneUnlock = !std::async(std::launch::async, [&] {
                                       RecursiveMutex::ScopedTryLock probe(mutex, "probe");
                                       return probe.IsLocked();
                                     }).get();
    mutex.Lock("relock");
    return heldAfterOneUnlock;
  });
  waiting.get_future().wait();
  {
    // Only possible if the waiter gave up both levels.
    RecursiveMutex::ScopedLock lock(mutex, "signal");
    ready = true;
    condition.WakeAll();
  }
  ASSERT_EQ(waiter.wait_for(kFailureBound), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
}

TEST(ConditionVariable, HandsWorkBetweenThreads) {
  RecursiveMutex mutex;
  ConditionVariable changed;
  std::vector<int> queue;
  constexpr int kItems = 5000;
  long sum = 0;
  std::thread consumer([&] {
    for (int received = 0; received < kItems;) {
      RecursiveMutex::ScopedLock lock(mutex, "consumer");
      while (queue.empty()) changed.Wait(lock);
      for (int value : queue) sum += value;
      received += static_cast<int>(queue.size());
      queue.clear();
    }
  });
  for (int i = 1; i <= kItems; ++i) {
    RecursiveMutex::ScopedLock lock(mutex, "producer");
    queue.push_back(i);
    changed.WakeOne();
  }
  consumer.join();
  EXPECT_EQ(sum, static_cast<long>(kItems) * (kItems + 1) / 2);
}

// ---------------------------------------------------------------------------
TEST(SyncPoint, OneWinnerPerGenerationAndCopiesShareTheBarrier) {
  SyncPoint point(3);
  std::atomic<int> winners[2] = {{0}, {0}};
  RunThreads(3, [&](int inIndex) {
    SyncPoint mine = inIndex == 0 ? point : SyncPoint(point);
    for (auto& winner : winners)
      if (mine.Wait()) ++winner;
  });
  EXPECT_EQ(winners[0], 1);
  EXPECT_EQ(winners[1], 1);

  try {
    SyncPoint none(0);
    FAIL() << "a barrier for no party was made";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "barrier constructor: count cannot be zero.");
  }
}

// ---------------------------------------------------------------------------
struct TestNode {
  std::uint32_t mPoolIndex = 0;
  std::atomic<std::uint32_t> mPoolNext{0};
  std::atomic<int> mHolders{0};
};

TEST(PrimitivePool, RecyclesAndNeverHandsOneObjectToTwoOwners) {
  static internal::PrimitivePool<TestNode> pool;
  constexpr int kThreads = 6;
  std::atomic<int> doubleHandouts{0};
  RunThreads(kThreads, [&](int) {
    TestNode* held[3];
    for (int i = 0; i < 20000; ++i) {
      for (auto& node : held) {
        node = pool.Acquire();
        if (node->mHolders.fetch_add(1) != 0) ++doubleHandouts;
      }
      for (auto& node : held) {
        node->mHolders.fetch_sub(1);
        pool.Release(node);
      }
    }
  });
  EXPECT_EQ(doubleHandouts, 0);
  // Never more objects than were held at once.
  EXPECT_LE(pool.CreatedCount(), static_cast<std::uint32_t>(kThreads * 3));
}

TEST(PrimitivePool, PrimitivesCostNothingAfterWarmUp) {
  { Gate g; RecursiveMutex m; ConditionVariable c; }
  const auto gates = internal::GatePool().CreatedCount();
  const auto mutexes = internal::MutexPool().CreatedCount();
  const auto conditions = internal::ConditionPool().CreatedCount();
  for (int i = 0; i < 1000; ++i) {
    Gate gate(i % 2 == 0);
    RecursiveMutex mutex;
    ConditionVariable condition;
    EXPECT_TRUE(gate.Valid() && mutex.Valid() && condition.Valid());
  }
  EXPECT_EQ(internal::GatePool().CreatedCount(), gates);
  EXPECT_EQ(internal::MutexPool().CreatedCount(), mutexes);
  EXPECT_EQ(internal::ConditionPool().CreatedCount(), conditions);
}

// ---------------------------------------------------------------------------
TEST(Atomics, BitAndCompareOperations) {
  volatile std::int32_t value = 1001;
  EXPECT_TRUE(AtomicTestAndClear(value, 5));
  EXPECT_EQ(value, 969);
  EXPECT_FALSE(AtomicTestAndClear(value, 5));
  EXPECT_FALSE(AtomicTestAndSet(value, 4));
  EXPECT_EQ(value, 985);
  EXPECT_TRUE(AtomicTestAndSet(value, 4));
  EXPECT_FALSE(AtomicCompareAndSet(value, 975, 1000));
  EXPECT_EQ(value, 985);
  value = 975;
  EXPECT_TRUE(AtomicCompareAndSet(value, 975, 1000));
  EXPECT_EQ(value, 1000);
  EXPECT_FALSE(AtomicTestAndSet(value, 31));
  EXPECT_LT(value, 0);
}

TEST(Atomics, ConcurrentBitSettersEachWinOnce) {
  volatile std::int32_t value = 0;
  std::atomic<int> firstSetters{0};
  RunThreads(4, [&](int) {
    for (int bit = 0; bit < 32; ++bit)
      if (!AtomicTestAndSet(value, bit)) ++firstSetters;
  });
  EXPECT_EQ(firstSetters, 32);
  EXPECT_EQ(value, -1);
}

// ---------------------------------------------------------------------------
std::string OwnExecutableName() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  std::string name(path, length > 0 ? static_cast<std::size_t>(length) : 0);
  return name.substr(name.rfind('/') + 1);
}

TEST(Processes, FindsProcessesByExecutableName) {
  using IDs = std::vector<unsigned int, utility::SmallBlockAllocator::STLAllocator<unsigned int>>;
  const std::string self = OwnExecutableName();
  const unsigned int selfID = GetCurrentProcessID();
  struct Case {
    std::string name;
    bool findsSelf;
  } cases[] = {{self, true}, {self + ".exe", true}, {self.substr(1), false},
               {self + "x", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IDs ids(1, 4242424242u);  // appended to, never cleared
    GetProcessIDsForName(c.name, ids);
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.front(), 4242424242u);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), selfID), c.findsSelf ? 1 : 0);
  }

  // A real child of another program.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  bool found = false;
  const auto deadline = std::chrono::steady_clock::now() + kFailureBound;
  while (!found && std::chrono::steady_clock::now() < deadline) {  // until exec has replaced the image
    IDs ids;
    GetProcessIDsForName("sleep", ids);
    found = std::find(ids.begin(), ids.end(), static_cast<unsigned int>(child)) != ids.end();
    IDs upper;
    GetProcessIDsForName("SLEEP", upper);
    EXPECT_TRUE(std::find(upper.begin(), upper.end(), static_cast<unsigned int>(child)) == upper.end());
    if (!found) std::this_thread::yield();
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace threads
}  // namespace basalt
