// The small-block allocator against glibc malloc and mimalloc, on three
// patterns: allocate/dispose pairs, a batch of live blocks freed in random
// order, and blocks allocated on one thread and freed on another. Every
// allocator sees the same precomputed random sizes (16 to 8192 bytes).
//
// mimalloc is loaded with dlopen and RTLD_LOCAL: its shared library exports
// malloc and free, and linking it would silently replace glibc's allocator in
// the whole benchmark. Without libmimalloc.so.2 its runs are skipped.
//
// After the runs, the ratios (peer time / basalt time, above 1 when basalt is
// faster) are printed per pattern; with --benchmark_repetitions each side
// counts with its best run.
#include <basalt/utility/SmallBlockAllocator.h>

#include "RunCollector.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace sba = basalt::utility::SmallBlockAllocator;

constexpr std::size_t kSequenceLength = 16384;  // a power of two
constexpr std::size_t kBatchSize = 10000;

struct Sequences {
  std::vector<std::size_t> mSizes;
  std::vector<std::size_t> mFreeOrder;  // a permutation of 0 .. kBatchSize - 1
};

const Sequences& GetSequences() {
  static const Sequences sSequences = [] {
    Sequences sequences;
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<std::size_t> size(16, 8192);
    for (std::size_t i = 0; i < kSequenceLength; ++i) sequences.mSizes.push_back(size(random));
    for (std::size_t i = 0; i < kBatchSize; ++i) sequences.mFreeOrder.push_back(i);
    std::shuffle(sequences.mFreeOrder.begin(), sequences.mFreeOrder.end(), random);
    return sequences;
  }();
  return sSequences;
}

struct BasaltAllocator {
  static void* Allocate(std::size_t inSize) { return sba::Allocate(inSize); }
  static void Free(void* inPointer, std::size_t inSize) { sba::Dispose(inPointer, inSize); }
};

struct GlibcAllocator {
  static void* Allocate(std::size_t inSize) { return std::malloc(inSize); }
  static void Free(void* inPointer, std::size_t) { std::free(inPointer); }
};

struct Mimalloc {
  void* (*mMalloc)(std::size_t) = nullptr;
  void (*mFree)(void*) = nullptr;
  void (*mFreeSize)(void*, std::size_t) = nullptr;
};

Mimalloc gMimalloc;

bool LoadMimalloc() {
  void* library = ::dlopen("libmimalloc.so.2", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  gMimalloc.mMalloc = reinterpret_cast<void* (*)(std::size_t)>(::dlsym(library, "mi_malloc"));
  gMimalloc.mFree = reinterpret_cast<void (*)(void*)>(::dlsym(library, "mi_free"));
  gMimalloc.mFreeSize = reinterpret_cast<void (*)(void*, std::size_t)>(::dlsym(library, "mi_free_size"));
  return gMimalloc.mMalloc != nullptr && gMimalloc.mFree != nullptr;
}

struct MimallocAllocator {
  static void* Allocate(std::size_t inSize) { return gMimalloc.mMalloc(inSize); }
  static void Free(void* inPointer, std::size_t inSize) {
    if (gMimalloc.mFreeSize != nullptr)
      gMimalloc.mFreeSize(inPointer, inSize);
    else
      gMimalloc.mFree(inPointer);
  }
};

void* CheckedAllocate(void* inPointer, benchmark::State& ioState) {
  if (inPointer == nullptr) ioState.SkipWithError("allocation failed");
  return inPointer;
}

template <class A>
void Pairs(benchmark::State& ioState) {
  const std::vector<std::size_t>& sizes = GetSequences().mSizes;
  std::size_t i = 0;
  for (auto _ : ioState) {
    const std::size_t size = sizes[i++ & (kSequenceLength - 1)];
    auto* block = static_cast<unsigned char*>(CheckedAllocate(A::Allocate(size), ioState));
    block[0] = 1;
    benchmark::DoNotOptimize(block);
    A::Free(block, size);
  }
  ioState.SetItemsProcessed(static_cast<std::int64_t>(ioState.iterations()));
}

template <class A>
void Batch(benchmark::State& ioState) {
  const Sequences& sequences = GetSequences();
  std::vector<unsigned char*> blocks(kBatchSize);
  for (auto _ : ioState) {
    for (std::size_t i = 0; i < kBatchSize; ++i) {
      blocks[i] = static_cast<unsigned char*>(CheckedAllocate(A::Allocate(sequences.mSizes[i]), ioState));
      blocks[i][0] = 1;
    }
    benchmark::ClobberMemory();
    for (const std::size_t i : sequences.mFreeOrder) A::Free(blocks[i], sequences.mSizes[i]);
  }
  ioState.SetItemsProcessed(static_cast<std::int64_t>(ioState.iterations() * kBatchSize));
}

// A single-producer single-consumer ring, so that the hand-over costs little
// next to the allocator.
class BlockRing {
public:
  struct Item {
    void* mBlock;
    std::size_t mSize;
  };

  bool Push(const Item& inItem) {
    const std::size_t tail = mTail.load(std::memory_order_relaxed);
    if (tail - mHead.load(std::memory_order_acquire) == kCapacity) return false;
    mItems[tail % kCapacity] = inItem;
    mTail.store(tail + 1, std::memory_order_release);
    return true;
  }

  bool Pop(Item& outItem) {
    const std::size_t head = mHead.load(std::memory_order_relaxed);
    if (head == mTail.load(std::memory_order_acquire)) return false;
    outItem = mItems[head % kCapacity];
    mHead.store(head + 1, std::memory_order_release);
    return true;
  }

private:
  static constexpr std::size_t kCapacity = 256;
  alignas(64) std::atomic<std::size_t> mHead{0};
  alignas(64) std::atomic<std::size_t> mTail{0};
  alignas(64) Item mItems[kCapacity];
};

void Backoff(unsigned& ioSpins) {
  if (++ioSpins < 128) return;
  ioSpins = 0;
  std::this_thread::yield();
}

template <class A>
void CrossThread(benchmark::State& ioState) {
  const std::vector<std::size_t>& sizes = GetSequences().mSizes;
  BlockRing ring;
  std::thread consumer([&ring] {
    BlockRing::Item item{};
    unsigned spins = 0;
    for (;;) {
      if (!ring.Pop(item)) {
        Backoff(spins);
        continue;
      }
      if (item.mBlock == nullptr) return;
      A::Free(item.mBlock, item.mSize);
    }
  });
  std::size_t i = 0;
  for (auto _ : ioState) {
    const std::size_t size = sizes[i++ & (kSequenceLength - 1)];
    auto* block = static_cast<unsigned char*>(A::Allocate(size));
    block[0] = 1;
    unsigned spins = 0;
    while (!ring.Push(BlockRing::Item{block, size})) Backoff(spins);
  }
  unsigned spins = 0;
  while (!ring.Push(BlockRing::Item{nullptr, 0})) Backoff(spins);
  consumer.join();
  ioState.SetItemsProcessed(static_cast<std::int64_t>(ioState.iterations()));
}

// Prints what the console reporter prints and keeps each benchmark's best
// time over its repetitions, the one least disturbed by the rest of the
// machine.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& inRuns) override {
    ConsoleReporter::ReportRuns(inRuns);
    for (const Run& run : inRuns) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const auto inserted = mTimes.emplace(run.run_name.function_name, run.GetAdjustedRealTime());
      if (!inserted.second) inserted.first->second = std::min(inserted.first->second, run.GetAdjustedRealTime());
    }
  }

  void PrintRatios() const {
    std::printf("\nRatios (peer time / basalt time; above 1 means basalt is faster)\n");
    for (const char* pattern : {"Pairs", "Batch", "CrossThread"}) {
      const auto basalt = mTimes.find(std::string(pattern) + "/basalt");
      if (basalt == mTimes.end()) continue;
      for (const char* peer : {"glibc", "mimalloc"}) {
        const auto other = mTimes.find(std::string(pattern) + "/" + peer);
        if (other == mTimes.end()) continue;
        std::printf("  %-12s basalt vs %-9s %6.2fx\n", pattern, peer, other->second / basalt->second);
      }
    }
  }

private:
  std::map<std::string, double> mTimes;
};

template <class A>
void RegisterAll(const char* inName, std::vector<std::pair<std::string, void (*)(benchmark::State&)>>& ioList) {
  ioList.emplace_back(std::string("Pairs/") + inName, &Pairs<A>);
  ioList.emplace_back(std::string("Batch/") + inName, &Batch<A>);
  ioList.emplace_back(std::string("CrossThread/") + inName, &CrossThread<A>);
}

}  // namespace

int main(int argc, char** argv) {
  GetSequences();
  std::vector<std::pair<std::string, void (*)(benchmark::State&)>> list;
  RegisterAll<BasaltAllocator>("basalt", list);
  RegisterAll<GlibcAllocator>("glibc", list);
  if (LoadMimalloc())
    RegisterAll<MimallocAllocator>("mimalloc", list);
  else
    std::fprintf(stderr, "libmimalloc.so.2 not found; mimalloc runs skipped\n");
  // Single-threaded patterns first: glibc drops its single-thread shortcuts
  // for good once the process has started a second thread.
  const auto rank = [](const std::string& inName) {
    return inName.rfind("Pairs", 0) == 0 ? 0 : inName.rfind("Batch", 0) == 0 ? 1 : 2;
  };
  std::stable_sort(list.begin(), list.end(),
                   [&rank](const auto& inA, const auto& inB) { return rank(inA.first) < rank(inB.first); });
  for (const auto& entry : list) benchmark::RegisterBenchmark(entry.first.c_str(), entry.second)->UseRealTime();

  return basalt::bench::RunAndPrintRatios<RatioReporter>(argc, argv);
}
