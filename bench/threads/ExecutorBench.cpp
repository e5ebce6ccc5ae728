// Executors against Boost.Asio and oneTBB, all with two threads.
//
// Post1M: one thread posts 1,000,000 functions that only count themselves
// down, then waits for the last of them. Every contender runs the same
// function and the same count-down, so the difference is the cost of queueing,
// waking and running:
//   WorkQueue2  a 2-thread work queue (CreateAsyncThreadedExecutor),
//   SharedCPU   the shared CPU-bound executor (CreateCPUBoundExecutor),
//   Serial      a serial sub-executor (N = 1) on a 2-thread work queue,
// against boost::asio::thread_pool(2) with post, an asio strand on a 2-thread
// pool for the serial case, and a oneTBB task_group in a task_arena of 2
// (whose waiting thread takes part in the work, as TBB intends).
//
// PingPong: two single-thread executors pass a counter back and forth 100,000
// times; every hop measures the time from the post to the start of the
// function (median and 99th percentile), against two asio thread_pool(1).
//
// After the runs the ratios (peer / basalt; above 1 means basalt is faster or
// has the lower latency) are printed, over each side's best run and over its
// median run (use --benchmark_repetitions; on a busy machine the two differ).
#include <basalt/threads/SharedThreads.h>
#include <basalt/threads/SubExecutor.h>

#include "RunCollector.h"

#include <benchmark/benchmark.h>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using basalt::threads::AsyncExecutor;
using basalt::threads::AsyncThreadedExecutor;
using Clock = std::chrono::steady_clock;

constexpr long kPosts = 1000000;
constexpr int kHops = 100000;

// Counts posted functions down; the last one wakes the waiting poster.
class CountDown {
public:
  explicit CountDown(long inCount) : mRemaining(inCount) {}
  void Arrive() {
    if (mRemaining.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    std::lock_guard<std::mutex> lock(mMutex);
    mDone = true;
    mWake.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mMutex);
    mWake.wait(lock, [this] { return mDone; });
  }

private:
  std::atomic<long> mRemaining;
  std::mutex mMutex;
  std::condition_variable mWake;
  bool mDone = false;
};

// Small enough to live inside boost::function and asio's handlers without a
// heap allocation of its own.
struct Arrive {
  CountDown* mCountDown;
  void operator()() const { mCountDown->Arrive(); }
};

template <class PostOne, class Finish>
void RunPosts(benchmark::State& ioState, PostOne inPost, Finish inFinish) {
  for (auto _ : ioState) {
    CountDown countDown(kPosts);
    for (long i = 0; i < kPosts; ++i) inPost(Arrive{&countDown});
    inFinish(countDown);
  }
  ioState.SetItemsProcessed(ioState.iterations() * kPosts);
}

void WaitFor(CountDown& ioCountDown) { ioCountDown.Wait(); }

boost::shared_ptr<AsyncThreadedExecutor> MakeWorkQueue(int inThreads) {
  return basalt::threads::CreateAsyncThreadedExecutor("Bench", inThreads);
}

void EndWorkQueue(const boost::shared_ptr<AsyncThreadedExecutor>& inQueue) {
  inQueue->Terminate();
  inQueue->Flush();
}

void PostWorkQueueBasalt(benchmark::State& ioState) {
  const boost::shared_ptr<AsyncThreadedExecutor> queue = MakeWorkQueue(2);
  RunPosts(ioState, [&](const Arrive& inArrive) { queue->CallAsynchronously(inArrive, 0); }, WaitFor);
  EndWorkQueue(queue);
}

void PostSharedCPUBasalt(benchmark::State& ioState) {
  const boost::shared_ptr<AsyncExecutor> executor = basalt::threads::CreateCPUBoundExecutor();
  RunPosts(ioState, [&](const Arrive& inArrive) { executor->CallAsynchronously(inArrive, 0); }, WaitFor);
}

void PostSerialBasalt(benchmark::State& ioState) {
  const boost::shared_ptr<AsyncThreadedExecutor> queue = MakeWorkQueue(2);
  const boost::shared_ptr<AsyncThreadedExecutor> serial = basalt::threads::CreateSubExecutor(queue, 1);
  RunPosts(ioState, [&](const Arrive& inArrive) { serial->CallAsynchronously(inArrive, 0); }, WaitFor);
  serial->Terminate();
  serial->Flush();
  EndWorkQueue(queue);
}

void PostPoolAsio(benchmark::State& ioState) {
  boost::asio::thread_pool pool(2);
  RunPosts(ioState, [&](const Arrive& inArrive) { boost::asio::post(pool, inArrive); }, WaitFor);
  pool.join();
}

void PostSerialAsio(benchmark::State& ioState) {
  boost::asio::thread_pool pool(2);
  auto strand = boost::asio::make_strand(pool);
  RunPosts(ioState, [&](const Arrive& inArrive) { boost::asio::post(strand, inArrive); }, WaitFor);
  pool.join();
}

void PostPoolTBB(benchmark::State& ioState) {
  tbb::task_arena arena(2);
  tbb::task_group group;
  for (auto _ : ioState) {
    CountDown countDown(kPosts);
    arena.execute([&] {
      for (long i = 0; i < kPosts; ++i) group.run(Arrive{&countDown});
      group.wait();
    });
    countDown.Wait();
  }
  ioState.SetItemsProcessed(ioState.iterations() * kPosts);
}

// ---------------------------------------------------------------------------
// Ping-pong latency.
// ---------------------------------------------------------------------------
struct PingPongState {
  std::vector<std::int64_t> mLatencies;  // ns from post to start, per hop
  Clock::time_point mPostedAt;
  CountDown mDone{1};
};

template <class Post>
struct Hop {
  PingPongState* mState;
  Post* mPost;
  int mSide;
  void operator()() const {
    const Clock::time_point now = Clock::now();
    mState->mLatencies.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(now - mState->mPostedAt).count());
    if (static_cast<int>(mState->mLatencies.size()) == kHops) {
      mState->mDone.Arrive();
      return;
    }
    mState->mPostedAt = Clock::now();
    (*mPost)(1 - mSide, Hop{mState, mPost, 1 - mSide});
  }
};

template <class Post>
void RunPingPong(benchmark::State& ioState, Post& inPost) {
  std::vector<std::int64_t> all;
  for (auto _ : ioState) {
    PingPongState state;
    state.mLatencies.reserve(kHops);
    state.mPostedAt = Clock::now();
    inPost(0, Hop<Post>{&state, &inPost, 0});
    state.mDone.Wait();
    all.insert(all.end(), state.mLatencies.begin(), state.mLatencies.end());
  }
  std::sort(all.begin(), all.end());
  ioState.counters["median_us"] = static_cast<double>(all[all.size() / 2]) / 1000.0;
  ioState.counters["p99_us"] = static_cast<double>(all[all.size() * 99 / 100]) / 1000.0;
  ioState.SetItemsProcessed(ioState.iterations() * kHops);
}

void PingPongBasalt(benchmark::State& ioState) {
  const boost::shared_ptr<AsyncThreadedExecutor> sides[] = {MakeWorkQueue(1), MakeWorkQueue(1)};
  auto post = [&sides](int inSide, const boost::function<void()>& inFunction) {
    sides[inSide]->CallAsynchronously(inFunction, 0);
  };
  RunPingPong(ioState, post);
  for (const boost::shared_ptr<AsyncThreadedExecutor>& side : sides) EndWorkQueue(side);
}

void PingPongAsio(benchmark::State& ioState) {
  boost::asio::thread_pool first(1);
  boost::asio::thread_pool second(1);
  boost::asio::thread_pool* sides[] = {&first, &second};
  auto post = [&sides](int inSide, auto&& inFunction) { boost::asio::post(*sides[inSide], inFunction); };
  RunPingPong(ioState, post);
  first.join();
  second.join();
}

// ---------------------------------------------------------------------------
// Prints what the console reporter prints and keeps every run's time and
// latencies, for ratios over the best runs (the least disturbed by the rest
// of the machine) and over the median runs.
// ---------------------------------------------------------------------------
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& inRuns) override {
    ConsoleReporter::ReportRuns(inRuns);
    for (const Run& run : inRuns) {
      if (run.error_occurred) continue;
      // With --benchmark_report_aggregates_only only the medians arrive;
      // they stand for the runs then.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      auto& values = median ? mMedians : mValues;
      values[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
      for (const auto& counter : run.counters)
        values[run.run_name.function_name + ":" + counter.first].push_back(counter.second);
    }
  }

  void PrintRatios() {
    std::printf("\nRatios (peer / basalt; above 1 means basalt is faster)      best run  median run\n");
    const struct {
      const char* mBasalt;
      const char* mPeer;
    } pairs[] = {
        {"Post1M/WorkQueue2/basalt", "Post1M/Pool2/asio"},
        {"Post1M/WorkQueue2/basalt", "Post1M/Pool2/tbb"},
        {"Post1M/SharedCPU/basalt", "Post1M/Pool2/asio"},
        {"Post1M/SharedCPU/basalt", "Post1M/Pool2/tbb"},
        {"Post1M/Serial/basalt", "Post1M/Strand/asio"},
        {"PingPong/basalt:median_us", "PingPong/asio:median_us"},
        {"PingPong/basalt:p99_us", "PingPong/asio:p99_us"},
    };
    for (const auto& pair : pairs) {
      std::vector<double>* basalt = Find(pair.mBasalt);
      std::vector<double>* peer = Find(pair.mPeer);
      if (basalt == nullptr || peer == nullptr) continue;
      std::printf("  %-25s vs %-23s %7.2fx %9.2fx\n", pair.mBasalt, pair.mPeer, Best(*peer) / Best(*basalt),
                  Median(*peer) / Median(*basalt));
    }
  }

private:
  std::vector<double>* Find(const char* inName) {
    for (auto* values : {&mValues, &mMedians}) {
      const auto found = values->find(inName);
      if (found != values->end() && !found->second.empty()) return &found->second;
    }
    return nullptr;
  }
  static double Best(const std::vector<double>& inValues) { return *std::min_element(inValues.begin(), inValues.end()); }
  static double Median(std::vector<double> ioValues) {
    std::sort(ioValues.begin(), ioValues.end());
    return ioValues[ioValues.size() / 2];
  }

  std::map<std::string, std::vector<double>> mValues;
  std::map<std::string, std::vector<double>> mMedians;
};

}  // namespace

int main(int argc, char** argv) {
  const struct {
    const char* mName;
    void (*mFunction)(benchmark::State&);
  } benchmarks[] = {
      {"Post1M/WorkQueue2/basalt", &PostWorkQueueBasalt}, {"Post1M/SharedCPU/basalt", &PostSharedCPUBasalt},
      {"Post1M/Pool2/asio", &PostPoolAsio},               {"Post1M/Pool2/tbb", &PostPoolTBB},
      {"Post1M/Serial/basalt", &PostSerialBasalt},        {"Post1M/Strand/asio", &PostSerialAsio},
      {"PingPong/basalt", &PingPongBasalt},               {"PingPong/asio", &PingPongAsio},
  };
  for (const auto& entry : benchmarks) {
    benchmark::RegisterBenchmark(entry.mName, entry.mFunction)->UseRealTime()->Unit(benchmark::kMillisecond);
  }
  return basalt::bench::RunAndPrintRatios<RatioReporter>(argc, argv);
}
