// The memory recycler's rounding, exact-size reuse, limit and reconcile rules,
// its fallbacks when memory runs out, and RecycledMemory over it.
//
// The pool is process-wide: the fixture empties it and restores the default
// limit and automatic reconciling before and after every test.
#include <basalt/config/Errors.h>
#include <basalt/utility/RecycledMemory.h>

#include "TestGate.h"
#include "utility/SmallBlockAllocatorInternal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

namespace basalt {
namespace utility {
namespace {

namespace mr = MemoryRecycler;

class RecycledMemoryPool : public ::testing::Test {
protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    mr::SetReconcileSizeAutomatically(true);
    mr::SetPoolLimit(0);
    mr::PurgeBytes(0);
  }
  // A block of inSize bytes, every byte written, so that a sanitizer sees a
  // block too small for its size.
  static void* Take(std::uint64_t inSize, std::uint64_t& outAllocated) {
    void* block = mr::Allocate(inSize, outAllocated);
    std::memset(block, 0x5C, static_cast<std::size_t>(outAllocated));
    return block;
  }
  static void* Take(std::uint64_t inSize) {
    std::uint64_t allocated = 0;
    return Take(inSize, allocated);
  }
};

TEST_F(RecycledMemoryPool, RoundsLargeRequestsAndPoolsOnlyThem) {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {0, 0},          {100, 100},           {8191, 8191},         {8192, 8192},
      {8193, 12288},   {10000, 12288},       {1048575, 1048576},   {1048576, 1048576},
      {1048577, 1064960}, {2000000, 2015232},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::uint64_t allocated = 1;
    void* block = Take(c.first, allocated);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(allocated, c.second);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
    mr::Recycle(block, allocated);
    EXPECT_EQ(mr::GetCurrentPoolSize(), allocated >= 8192 ? allocated : 0);
    mr::PurgeBytes(0);
  }
  mr::Recycle(nullptr, 12288);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 0u);
}

TEST_F(RecycledMemoryPool, ReusesOnlyBlocksOfExactlyTheRoundedSizeAndPurgesOldestFirst) {
  std::uint64_t allocated = 0;
  void* first = Take(10000, allocated);
  void* second = Take(12288);
  mr::Recycle(first, allocated);
  mr::Recycle(second, 12288);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 2 * 12288u);

  // 12289 rounds to 16384: no pooled block fits.
  void* larger = Take(12289, allocated);
  EXPECT_EQ(allocated, 16384u);
  EXPECT_NE(larger, first);
  EXPECT_NE(larger, second);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 2 * 12288u);

  // Any request rounding to 12288 takes the oldest such block.
  EXPECT_EQ(Take(10000), first);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 12288u);
  EXPECT_EQ(Take(12288), second);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 0u);

  // Purging frees the oldest blocks until enough bytes are freed.
  mr::Recycle(first, 12288);
  mr::Recycle(larger, 16384);
  mr::Recycle(second, 12288);
  EXPECT_EQ(mr::PurgeBytes(1), 12288u);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 16384u + 12288u);
  EXPECT_EQ(Take(12288), second) << "the survivors are the two newer blocks";
  mr::Recycle(second, 12288);
  EXPECT_EQ(mr::PurgeBytes(16385), 16384u + 12288u);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 0u);
  EXPECT_EQ(mr::PurgeBytes(0), 0u);
}

TEST_F(RecycledMemoryPool, LimitAndReconcile) {
  EXPECT_EQ(mr::GetPoolLimit(), 52428800u);

  // Over the limit, automatic reconciling frees the oldest blocks.
  mr::SetPoolLimit(20000);
  EXPECT_EQ(mr::GetPoolLimit(), 20000u);
  void* older = Take(12288);
  void* newer = Take(12288);
  mr::Recycle(older, 12288);
  mr::Recycle(newer, 12288);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 12288u);
  EXPECT_EQ(Take(12288), newer);
  mr::Recycle(newer, 12288);

  // A block larger than the limit does not stay.
  mr::Recycle(Take(40000), 40960);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 0u);

  // 0 restores the default; raising the limit keeps everything.
  mr::SetPoolLimit(0);
  EXPECT_EQ(mr::GetPoolLimit(), 52428800u);
  void* blocks[3] = {Take(12288), Take(12288), Take(12288)};
  for (void* block : blocks) mr::Recycle(block, 12288);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 3 * 12288u);

  // Lowering it reconciles at once, keeping the newest.
  mr::SetPoolLimit(20000);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 12288u);
  EXPECT_EQ(Take(12288), blocks[2]);
  mr::Recycle(blocks[2], 12288);

  // Without automatic reconciling the pool may exceed its limit until asked.
  mr::SetReconcileSizeAutomatically(false);
  for (void*& block : blocks) block = Take(12288);
  for (void* block : blocks) mr::Recycle(block, 12288);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 3 * 12288u);
  EXPECT_EQ(mr::ReconcileSize(), 12288u);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 12288u);
  EXPECT_EQ(mr::ReconcileSize(), 12288u);
}

// Installs itself until destroyed and records PurgeMemory calls; answering
// true lifts the simulated exhaustion.
class PurgingManager : public config::ErrorManager {
public:
  PurgingManager(bool inFrees, std::optional<SmallBlockAllocator::internal::ScFailSystemMemory>& ioFailure)
      : mFrees(inFrees), mFailure(ioFailure) {
    Set(this);
  }
  bool PurgeMemory(std::uint64_t inByteCount) override {
    mRequests.push_back(inByteCount);
    if (mFrees) mFailure.reset();
    return mFrees;
  }
  void ThrowErrorImpl(config::ErrorLevel, const char*, std::uint32_t, std::int32_t, bool,
                      const config::ReplacementValue&, const config::ReplacementValue&,
                      const config::ReplacementValue&, const config::ReplacementValue&) const override {}
  std::vector<std::uint64_t> mRequests;

private:
  bool mFrees;
  std::optional<SmallBlockAllocator::internal::ScFailSystemMemory>& mFailure;
};

TEST_F(RecycledMemoryPool, WhenMemoryRunsOutPurgesThePoolThenAsksTheErrorManager) {
  // A pooled block of the right size is handed out without allocating.
  void* pooled = Take(12288);
  mr::Recycle(pooled, 12288);
  {
    SmallBlockAllocator::internal::ScFailSystemMemory failing;
    EXPECT_EQ(Take(10000), pooled);
  }
  mr::Recycle(pooled, 12288);

  struct Case {
    const char* mName;
    bool mManager;
    bool mManagerFrees;
  };
  const Case cases[] = {{"manager frees", true, true}, {"manager cannot", true, false}, {"no manager", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    mr::PurgeBytes(0);
    mr::Recycle(Take(20000), 20480);
    std::optional<SmallBlockAllocator::internal::ScFailSystemMemory> failure(std::in_place);
    std::optional<PurgingManager> manager;
    config::ErrorManager* const previous = config::ErrorManager::Get(true);
    config::ErrorManager::Set(nullptr);
    if (c.mManager) manager.emplace(c.mManagerFrees, failure);

    std::uint64_t allocated = 0;
    void* block = nullptr;
    if (c.mManagerFrees) {
      block = Take(1000000, allocated);
      EXPECT_NE(block, nullptr);
    } else {
      EXPECT_THROW(mr::Allocate(1000000, allocated), std::bad_alloc);
    }
    // The pool was purged before the manager was asked, for the rounded size.
    EXPECT_EQ(mr::GetCurrentPoolSize(), 0u);
    if (manager) {
      EXPECT_EQ(manager->mRequests, std::vector<std::uint64_t>{1003520});
    }
    manager.reset();
    failure.reset();
    config::ErrorManager::Set(previous);
    mr::Recycle(block, allocated);
  }
}

TEST_F(RecycledMemoryPool, RecycledMemoryOwnsOneBuffer) {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {{0, 0}, {100, 100}, {10000, 12288}, {2000000, 2015232}};
  for (const auto& c : cases) {
    const std::uint64_t size = c.first;
    const std::uint64_t expectedAllocation = c.second;
    SCOPED_TRACE(size);
    mr::PurgeBytes(0);
    boost::shared_ptr<RecycledMemory> memory = RecycledMemory::Create(size);
    EXPECT_EQ(memory->Size(), size);
    EXPECT_EQ(memory->Buffer() == nullptr, size == 0);
    EXPECT_EQ(memory->GetAllocatedSize(), expectedAllocation);
    for (std::uint64_t i = 0; i < size; ++i) static_cast<unsigned char*>(memory->Buffer())[i] = static_cast<unsigned char>(i * 7);

    // A copy has its own buffer with the same bytes.
    const RecycledMemory copy(*memory);
    EXPECT_EQ(copy.Size(), size);
    if (size) {
      EXPECT_NE(copy.Buffer(), memory->Buffer());
      EXPECT_EQ(std::memcmp(copy.Buffer(), memory->Buffer(), static_cast<std::size_t>(size)), 0);
    }

    // Allocate releases the buffer first, so a request of the same size gets
    // the same pooled block back.
    const void* const before = memory->Buffer();
    memory->Allocate(size);
    if (size >= 8192) {
      EXPECT_EQ(memory->Buffer(), before);
    }
    EXPECT_EQ(memory->Size(), size);

    memory->Truncate(size / 2);
    EXPECT_EQ(memory->Size(), size / 2);
    memory->Truncate(size);
    EXPECT_EQ(memory->Size(), size / 2);
    EXPECT_EQ(memory->GetAllocatedSize(), expectedAllocation);

    memory->Free();
    EXPECT_EQ(memory->Size(), 0u);
    EXPECT_EQ(memory->Buffer(), nullptr);
    EXPECT_EQ(memory->GetAllocatedSize(), 0u);
    EXPECT_EQ(mr::GetCurrentPoolSize(), size >= 8192 ? expectedAllocation : 0u);
    memory.reset();  // destroying a freed object releases nothing twice
    EXPECT_EQ(mr::GetCurrentPoolSize(), size >= 8192 ? expectedAllocation : 0u);
  }
  // Destruction releases like Free.
  mr::PurgeBytes(0);
  { RecycledMemory scoped(10000); }
  EXPECT_EQ(mr::GetCurrentPoolSize(), 12288u);
}

TEST_F(RecycledMemoryPool, WrappingSharesTheTextUntilReleased) {
  const boost::shared_ptr<const UTF8String> text(new UTF8String(20000, 'w'));
  boost::shared_ptr<const RecycledMemory> wrapped = RecycledMemory::Wrap(text);
  EXPECT_TRUE(wrapped->IsWrapping());
  EXPECT_EQ(wrapped->Buffer(), text->data());
  EXPECT_EQ(wrapped->Size(), text->size());
  EXPECT_EQ(wrapped->GetAllocatedSize(), 0u);
  EXPECT_EQ(text.use_count(), 2);
  EXPECT_EQ(const_cast<RecycledMemory&>(*wrapped).Buffer(), nullptr) << "the shared text is read-only";

  // A copy owns its bytes.
  RecycledMemory copy(*wrapped);
  EXPECT_FALSE(copy.IsWrapping());
  EXPECT_NE(copy.Buffer(), static_cast<const void*>(text->data()));
  EXPECT_EQ(std::memcmp(copy.Buffer(), text->data(), text->size()), 0);

  // Releasing the wrapper lets go of the text and recycles nothing.
  wrapped.reset();
  EXPECT_EQ(text.use_count(), 1);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 0u);

  const boost::shared_ptr<const RecycledMemory> empty = RecycledMemory::Wrap(boost::shared_ptr<const UTF8String>());
  EXPECT_EQ(empty->Buffer(), nullptr);
  EXPECT_EQ(empty->Size(), 0u);
}

// Threads allocate and recycle blocks of a few sizes while another one keeps
// changing the limit and purging. A block handed to two threads at once shows
// up as a mark overwritten by the other thread.
TEST_F(RecycledMemoryPool, ConcurrentUse) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  const std::uint64_t sizes[] = {9000, 12288, 70000};
  testing::Gate start;
  std::atomic<bool> done{false};
  std::atomic<int> clashes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.Wait();
      for (int round = 0; round < kRounds; ++round) {
        std::uint64_t allocated = 0;
        const std::uint64_t size = sizes[(round + t) % 3];
        unsigned char* block = static_cast<unsigned char*>(mr::Allocate(size, allocated));
        std::memset(block, t + 1, static_cast<std::size_t>(size));
        std::this_thread::yield();
        if (block[0] != t + 1 || block[size - 1] != t + 1) ++clashes;
        mr::Recycle(block, allocated);
      }
    });
  }
  std::thread tuner([&] {
    start.Wait();
    for (std::uint64_t i = 0; !done.load(); ++i) {
      mr::SetPoolLimit(i % 2 ? 100000 : 0);
      if (i % 5 == 0) mr::PurgeBytes(50000);
      std::this_thread::yield();
    }
  });
  start.Open();
  for (std::thread& thread : threads) thread.join();
  done = true;
  tuner.join();
  EXPECT_EQ(clashes.load(), 0);
  mr::SetPoolLimit(0);
  const std::uint64_t pooled = mr::GetCurrentPoolSize();
  EXPECT_EQ(mr::PurgeBytes(0), pooled);
  EXPECT_EQ(mr::GetCurrentPoolSize(), 0u);
}

}  // namespace
}  // namespace utility
}  // namespace basalt
