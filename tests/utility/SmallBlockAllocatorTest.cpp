#include <basalt/utility/SmallBlockAllocator.h>

#include "utility/SmallBlockAllocatorInternal.h"

#include <basalt/config/Errors.h>

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace sba = basalt::utility::SmallBlockAllocator;
namespace hooks = basalt::utility::SmallBlockAllocator::internal;

const char kContractKey[] =
    "$$$/basalt/utility/Error/Contract/InputContractViolation=An input contract violation has occurred!";

constexpr std::size_t kSmallChunk = 4160;
constexpr std::size_t kMediumChunk = 66624;
constexpr std::size_t kLargeChunk = 932800;

// The table's block sizes, row by row: first, step, last.
std::vector<std::size_t> TableBlockSizes() {
  struct Row {
    std::size_t mFirst, mStep, mLast;
  };
  const Row rows[] = {{16, 16, 128}, {144, 16, 256}, {288, 32, 512}, {640, 128, 1024}, {1152, 128, 4096}, {4352, 256, 8192}};
  std::vector<std::size_t> sizes;
  for (const Row& row : rows)
    for (std::size_t size = row.mFirst; size <= row.mLast; size += row.mStep) sizes.push_back(size);
  return sizes;
}

// A class as the calling thread's callers see it: the thread's cache gives its
// blocks back first, so that a chunk's used count is what callers hold.
hooks::ClassSnapshot SnapClass(hooks::AllocatorInterface& inClass) {
  hooks::FlushThreadCache();
  return hooks::TakeClassSnapshot(inClass);
}

hooks::ClassSnapshot Snap(std::size_t inRequestSize) {
  hooks::AllocatorInterface* manager = hooks::GetClassForSize(inRequestSize);
  EXPECT_NE(manager, nullptr);
  return SnapClass(*manager);
}

std::uint64_t TotalUsed(const hooks::ClassSnapshot& inSnapshot) {
  std::uint64_t used = 0;
  for (const hooks::ChunkInfo& chunk : inSnapshot.mChunks) used += chunk.mUsedCount;
  return used;
}

// The chunk of inSnapshot that holds inPointer on one of its block
// boundaries, or null.
const hooks::ChunkInfo* ChunkHolding(const hooks::ClassSnapshot& inSnapshot, const void* inPointer) {
  const auto address = reinterpret_cast<std::uintptr_t>(inPointer);
  for (const hooks::ChunkInfo& chunk : inSnapshot.mChunks) {
    const auto start = reinterpret_cast<std::uintptr_t>(chunk.mAddress);
    if (address < start + 64 || address >= start + chunk.mChunkSize) continue;
    const std::uintptr_t offset = address - start - 64;
    if (offset % chunk.mBlockSize == 0 && offset / chunk.mBlockSize < chunk.mBlockCount) return &chunk;
  }
  return nullptr;
}

// The class's books balance: every block of a chunk is either on its free
// list or counted as used, and the class's totals are its chunks' sums.
void ExpectConsistent(const hooks::ClassSnapshot& inSnapshot) {
  SCOPED_TRACE("class " + std::to_string(inSnapshot.mBlockSize));
  EXPECT_TRUE(inSnapshot.mPublished);
  std::uint64_t free = 0;
  std::uint64_t bytes = 0;
  for (const hooks::ChunkInfo& chunk : inSnapshot.mChunks) {
    EXPECT_EQ(chunk.mBlockSize, inSnapshot.mBlockSize);
    EXPECT_EQ(chunk.mBlockCount, (chunk.mChunkSize - 64) / chunk.mBlockSize);
    EXPECT_EQ(chunk.mUsedCount + chunk.mListedCount, chunk.mBlockCount);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(chunk.mAddress) % 64, 0u);
    free += chunk.mListedCount;
    bytes += chunk.mChunkSize;
  }
  EXPECT_EQ(inSnapshot.mFreeBlockCount, free);
  EXPECT_EQ(inSnapshot.mTotalChunkBytes, bytes);
}

// Blocks the 4160 and 66624 classes have out beyond the chunks of the other
// classes: what callers asked of them directly.
std::pair<std::int64_t, std::int64_t> ParentBalance() {
  std::int64_t smallChunks = 0;
  std::int64_t mediumChunks = 0;
  for (hooks::AllocatorInterface* manager : hooks::GetAllClasses()) {
    if (manager->GetBlockSize() == kMediumChunk) continue;
    for (const hooks::ChunkInfo& chunk : SnapClass(*manager).mChunks) {
      smallChunks += chunk.mChunkSize == kSmallChunk;
      mediumChunks += chunk.mChunkSize == kMediumChunk;
    }
  }
  return {static_cast<std::int64_t>(TotalUsed(Snap(kSmallChunk))) - smallChunks,
          static_cast<std::int64_t>(TotalUsed(Snap(kMediumChunk))) - mediumChunks};
}

bool IsMapped(const void* inAddress) {
  unsigned char residency = 0;
  void* page = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(inAddress) & ~std::uintptr_t{4095});
  return ::mincore(page, 1, &residency) == 0 || errno != ENOMEM;
}

// Memory aligned to 64 bytes for chunk headers built in tests.
struct FreeDeleter {
  void operator()(unsigned char* inPointer) const { std::free(inPointer); }
};
std::unique_ptr<unsigned char[], FreeDeleter> AlignedBuffer(std::size_t inSize) {
  return std::unique_ptr<unsigned char[], FreeDeleter>(
      static_cast<unsigned char*>(std::aligned_alloc(64, (inSize + 63) / 64 * 64)));
}

// ---------------------------------------------------------------------------
// Sizes and classes.
// ---------------------------------------------------------------------------

TEST(SmallBlockAllocatorSizes, EveryTableSizeGoesToTheSmallestClassThatHoldsIt) {
  const std::vector<std::size_t> blockSizes = TableBlockSizes();
  ASSERT_EQ(blockSizes.size(), 68u);
  std::map<std::size_t, hooks::AllocatorInterface*> classByBlockSize;
  for (std::size_t size = 0; size <= 8192; ++size) {
    SCOPED_TRACE("size " + std::to_string(size));
    hooks::AllocatorInterface* manager = hooks::GetClassForSize(size);
    ASSERT_NE(manager, nullptr);
    const std::size_t expected =
        size == kSmallChunk ? kSmallChunk
                            : *std::lower_bound(blockSizes.begin(), blockSizes.end(), std::max<std::size_t>(size, 1));
    EXPECT_EQ(manager->GetBlockSize(), expected);
    EXPECT_EQ(sba::GetActualAllocationSize(size), expected);
    // One class per block size.
    EXPECT_EQ(classByBlockSize.emplace(expected, manager).first->second, manager);
  }
  EXPECT_EQ(classByBlockSize.size(), 69u);
}

TEST(SmallBlockAllocatorSizes, EdgeValues) {
  struct Case {
    std::size_t mRequest;
    std::size_t mActual;
    bool mFromClass;
  };
  const Case cases[] = {
      {0, 16, true},          {1, 16, true},          {16, 16, true},          {17, 32, true},
      {128, 128, true},       {129, 144, true},       {256, 256, true},        {257, 288, true},
      {512, 512, true},       {513, 640, true},       {1024, 1024, true},      {1025, 1152, true},
      {4096, 4096, true},     {4097, 4352, true},     {4159, 4352, true},      {4160, 4160, true},
      {4161, 4352, true},     {4352, 4352, true},     {8191, 8192, true},      {8192, 8192, true},
      {8193, 8193, false},    {66623, 66623, false},  {66624, 66624, true},    {66625, 66625, false},
      {932800, 932800, false}, {std::size_t{1} << 40, std::size_t{1} << 40, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.mRequest));
    EXPECT_EQ(sba::GetActualAllocationSize(c.mRequest), c.mActual);
    hooks::AllocatorInterface* manager = hooks::GetClassForSize(c.mRequest);
    EXPECT_EQ(manager != nullptr, c.mFromClass);
    if (manager != nullptr) {
      EXPECT_EQ(manager->GetBlockSize(), c.mActual);
    }
  }
}

TEST(SmallBlockAllocatorSizes, EveryClassBoundary) {
  const std::vector<hooks::AllocatorInterface*> classes = hooks::GetAllClasses();
  ASSERT_EQ(classes.size(), 70u);
  std::vector<std::size_t> all = TableBlockSizes();
  all.push_back(kSmallChunk);
  all.push_back(kMediumChunk);
  std::sort(all.begin(), all.end());
  for (std::size_t i = 0; i < classes.size(); ++i) {
    const std::size_t blockSize = classes[i]->GetBlockSize();
    SCOPED_TRACE("class " + std::to_string(blockSize));
    EXPECT_EQ(blockSize, all[i]);
    // The class serves its own block size, and the next size goes elsewhere.
    EXPECT_EQ(hooks::GetClassForSize(blockSize), classes[i]);
    EXPECT_EQ(sba::GetActualAllocationSize(blockSize), blockSize);
    EXPECT_NE(hooks::GetClassForSize(blockSize + 1), classes[i]);
    EXPECT_GT(sba::GetActualAllocationSize(blockSize + 1), blockSize);
    if (i > 0 && blockSize != kSmallChunk && blockSize != kMediumChunk && all[i - 1] != kSmallChunk) {
      EXPECT_EQ(hooks::GetClassForSize(all[i - 1] + 1), classes[i]);
    }
  }
  EXPECT_EQ(sba::GetActualAllocationSize(4097), 4352u);
  EXPECT_EQ(hooks::GetClassForSize(4097), hooks::GetClassForSize(4352));
}

TEST(SmallBlockAllocatorSizes, InitialisedAfterFirstUse) {
  void* block = sba::Allocate(1);
  EXPECT_EQ(hooks::GetInitialisationState(), 2);
  sba::Dispose(block, 1);
}

// ---------------------------------------------------------------------------
// Chunk headers and their free lists.
// ---------------------------------------------------------------------------

TEST(SmallBlockAllocatorChunkHeader, BlockCounts) {
  struct Case {
    std::size_t mBlockSize, mChunkSize, mBlockCount;
  };
  const Case cases[] = {{16, kSmallChunk, 256},   {48, kSmallChunk, 85},     {1024, kSmallChunk, 4},
                        {1152, kMediumChunk, 57}, {8192, kMediumChunk, 8},   {kSmallChunk, kMediumChunk, 16},
                        {kMediumChunk, kLargeChunk, 14}, {16, kLargeChunk, 58296}, {kSmallChunk, kLargeChunk, 224}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mBlockSize) + " in " + std::to_string(c.mChunkSize));
    auto buffer = AlignedBuffer(c.mChunkSize);
    auto* header = new (buffer.get()) hooks::ChunkHeader(c.mChunkSize, c.mBlockSize);
    EXPECT_EQ(header->mSelf, header);
    EXPECT_EQ(header->mChunkSize, c.mChunkSize);
    EXPECT_EQ(header->mBlockSize, c.mBlockSize);
    EXPECT_EQ(header->mBlockCount, c.mBlockCount);
    EXPECT_EQ(header->mUsedCount.load(), 0u);
    // Every block fits, and the last one ends inside the chunk.
    std::size_t popped = 0;
    while (void* block = header->PopBlock(c.mBlockSize)) {
      ++popped;
      EXPECT_LE(static_cast<unsigned char*>(block) + c.mBlockSize, buffer.get() + c.mChunkSize);
    }
    EXPECT_EQ(popped, c.mBlockCount);
  }
}

TEST(SmallBlockAllocatorChunkHeader, HandsOutFromTheHighestAddressDown) {
  const std::size_t blockSize = 48;
  auto buffer = AlignedBuffer(kSmallChunk);
  auto* header = new (buffer.get()) hooks::ChunkHeader(kSmallChunk, blockSize);
  std::vector<unsigned char*> blocks;
  while (void* block = header->PopBlock(blockSize)) blocks.push_back(static_cast<unsigned char*>(block));
  ASSERT_EQ(blocks.size(), 85u);
  EXPECT_EQ(blocks.front(), buffer.get() + 64 + 84 * blockSize);
  for (std::size_t i = 1; i < blocks.size(); ++i) EXPECT_EQ(blocks[i], blocks[i - 1] - blockSize);
  EXPECT_EQ(blocks.back(), buffer.get() + 64);
  EXPECT_FALSE(header->HasFreeBlock());

  // Last in, first out, whatever the order of return.
  const std::size_t order[] = {7, 0, 84, 42};
  for (const std::size_t i : order) header->PushBlock(buffer.get() + 64 + i * blockSize, i + 1);
  for (auto it = std::rbegin(order); it != std::rend(order); ++it)
    EXPECT_EQ(header->PopBlock(blockSize), buffer.get() + 64 + *it * blockSize);
  EXPECT_EQ(header->PopBlock(blockSize), nullptr);
}

// Building a chunk writes its header only: a block's memory is first
// touched when it is handed out, or when it comes back and gets a link.
TEST(SmallBlockAllocatorChunkHeader, BlocksAreUntouchedUntilHandedOut) {
  const std::size_t blockSize = 1024;
  auto buffer = AlignedBuffer(kSmallChunk);
  std::memset(buffer.get(), 0xA5, kSmallChunk);
  auto* header = new (buffer.get()) hooks::ChunkHeader(kSmallChunk, blockSize);
  auto untouchedFrom = [&](std::size_t inOffset, std::size_t inEnd) {
    for (std::size_t i = inOffset; i < inEnd; ++i)
      if (buffer[i] != 0xA5) return false;
    return true;
  };
  EXPECT_TRUE(untouchedFrom(64, kSmallChunk));
  void* top = header->PopBlock(blockSize);
  ASSERT_EQ(top, buffer.get() + 64 + 3 * blockSize);
  EXPECT_TRUE(untouchedFrom(64, kSmallChunk));
  header->PushBlock(top, 4);
  EXPECT_TRUE(untouchedFrom(64, 64 + 3 * blockSize));
  EXPECT_FALSE(untouchedFrom(64 + 3 * blockSize, 64 + 3 * blockSize + 4));
  // The list is what it was: the highest block, then downwards.
  for (std::size_t i = 4; i-- > 0;) EXPECT_EQ(header->PopBlock(blockSize), buffer.get() + 64 + i * blockSize);
  EXPECT_EQ(header->PopBlock(blockSize), nullptr);
}

TEST(SmallBlockAllocatorChunkHeader, EveryChangeMovesTheTag) {
  auto buffer = AlignedBuffer(kSmallChunk);
  auto* header = new (buffer.get()) hooks::ChunkHeader(kSmallChunk, 16);
  std::set<std::uint64_t> heads{header->mFreeListHead.load()};
  for (int round = 0; round < 100; ++round) {
    void* block = header->PopBlock(16);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(heads.insert(header->mFreeListHead.load()).second);
    const std::uint64_t link = (static_cast<unsigned char*>(block) - buffer.get() - 64) / 16 + 1;
    header->PushBlock(block, link);
    // Same top block as before the pop, yet a head a stale CAS cannot match.
    EXPECT_TRUE(heads.insert(header->mFreeListHead.load()).second);
  }
}

TEST(SmallBlockAllocatorChunkHeader, BatchesComeOffAndGoBackOnTheTopWithOneTagStep) {
  const std::size_t blockSize = 48;
  auto buffer = AlignedBuffer(kSmallChunk);
  auto* header = new (buffer.get()) hooks::ChunkHeader(kSmallChunk, blockSize);
  auto blockAt = [&](std::size_t inIndex) { return static_cast<void*>(buffer.get() + 64 + inIndex * blockSize); };
  auto tagOf = [](std::uint64_t inHead) { return inHead / hooks::ChunkHeader::kTagUnit; };

  // A fresh chunk: the top of its list is the highest block, then downwards.
  void* taken[8] = {};
  std::uint64_t head = header->mFreeListHead.load();
  ASSERT_EQ(header->PopBlocks(blockSize, 5, taken), 5u);
  EXPECT_EQ(tagOf(header->mFreeListHead.load()), tagOf(head) + 1);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(taken[i], blockAt(84 - i)) << i;

  // A batch goes back with its first block on top, in its own order.
  void* const back[] = {blockAt(82), blockAt(84), blockAt(80)};
  const std::uint64_t links[] = {83, 85, 81};
  head = header->mFreeListHead.load();
  header->PushBlocks(back, links, 3);
  EXPECT_EQ(tagOf(header->mFreeListHead.load()), tagOf(head) + 1);
  void* again[8] = {};
  ASSERT_EQ(header->PopBlocks(blockSize, 4, again), 4u);
  EXPECT_EQ(again[0], blockAt(82));
  EXPECT_EQ(again[1], blockAt(84));
  EXPECT_EQ(again[2], blockAt(80));
  EXPECT_EQ(again[3], blockAt(79));  // the list continues where it was

  // Asking for more than is left takes what is left.
  std::vector<void*> rest(100);
  EXPECT_EQ(header->PopBlocks(blockSize, rest.size(), rest.data()), 85u - 5 - 1);
  EXPECT_EQ(rest[85 - 5 - 2], blockAt(0));
  EXPECT_EQ(header->PopBlocks(blockSize, 8, again), 0u);
  EXPECT_FALSE(header->HasFreeBlock());
}

// Threads take blocks, singly or in batches, scribble over all of them (link
// word included, as users do) and give them back the same way; no block may
// ever be held twice, and none may get lost.
TEST(SmallBlockAllocatorChunkHeader, ConcurrentPopAndPushNeverShareABlock) {
  struct Case {
    const char* mName;
    std::size_t mMaxBatch;
  };
  const Case cases[] = {{"single blocks", 1}, {"batches", 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    const std::size_t blockSize = 16;
    auto buffer = AlignedBuffer(kSmallChunk);
    auto* header = new (buffer.get()) hooks::ChunkHeader(kSmallChunk, blockSize);
    auto linkOf = [&](void* inBlock) {
      return static_cast<std::uint64_t>(static_cast<unsigned char*>(inBlock) - buffer.get() - 64) / blockSize + 1;
    };
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::atomic<int> sharedBlocks{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(77 + t);
        std::deque<void*> held;
        auto giveBack = [&](std::size_t inCount) {
          std::vector<void*> batch;
          std::vector<std::uint64_t> links;
          for (; inCount > 0 && !held.empty(); --inCount) {
            auto* block = static_cast<unsigned char*>(held.front());
            held.pop_front();
            for (std::size_t i = 0; i < blockSize; ++i)
              if (block[i] != t + 1) {
                sharedBlocks.fetch_add(1);
                break;
              }
            batch.push_back(block);
            links.push_back(linkOf(block));
          }
          if (batch.size() == 1)
            header->PushBlock(batch[0], links[0]);
          else if (!batch.empty())
            header->PushBlocks(batch.data(), links.data(), batch.size());
        };
        for (int round = 0; round < kRounds; ++round) {
          void* taken[8];
          const std::size_t want = 1 + random() % c.mMaxBatch;
          const std::size_t count = want == 1 ? (taken[0] = header->PopBlock(blockSize)) != nullptr
                                              : header->PopBlocks(blockSize, want, taken);
          for (std::size_t i = 0; i < count; ++i) {
            std::memset(taken[i], t + 1, blockSize);
            held.push_back(taken[i]);
          }
          if (held.size() > 3 * c.mMaxBatch || round % 3 == 0) giveBack(1 + random() % c.mMaxBatch);
        }
        while (!held.empty()) giveBack(c.mMaxBatch);
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(sharedBlocks.load(), 0);
    std::set<void*> distinct;
    while (void* block = header->PopBlock(blockSize)) EXPECT_TRUE(distinct.insert(block).second);
    EXPECT_EQ(distinct.size(), 256u);
  }
}

// ---------------------------------------------------------------------------
// The state lock's shared try.
// ---------------------------------------------------------------------------

TEST(SmallBlockAllocatorStateLock, SharedTryFailsAtOnceWhileAWriterWaitsOrHolds) {
  hooks::StateLock lock;
  ASSERT_TRUE(lock.TryLockShared());
  ASSERT_TRUE(lock.TryLockShared());  // readers share
  std::atomic<bool> writerHolds{false};
  std::atomic<bool> writerMayLeave{false};
  std::thread writer([&] {
    lock.LockExclusive();
    writerHolds = true;
    while (!writerMayLeave) std::this_thread::yield();
    lock.UnlockExclusive();
  });
  // The writer now waits for the two readers; tries fail from the moment it
  // announced itself. The deadline only bounds a broken lock.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    if (!lock.TryLockShared()) break;
    lock.UnlockShared();
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writer never announced itself";
    std::this_thread::yield();
  }
  EXPECT_FALSE(writerHolds.load());
  EXPECT_FALSE(lock.TryLockShared());
  lock.UnlockShared();
  lock.UnlockShared();
  while (!writerHolds) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the writer never got the lock";
    std::this_thread::yield();
  }
  EXPECT_FALSE(lock.TryLockShared());
  writerMayLeave = true;
  writer.join();
  EXPECT_TRUE(lock.TryLockShared());
  lock.UnlockShared();
}

// ---------------------------------------------------------------------------
// Allocation and disposal through the interface.
// ---------------------------------------------------------------------------

TEST(SmallBlockAllocator, BlocksAreAlignedAndUsableToTheirActualSize) {
  std::vector<std::size_t> sizes;
  for (std::size_t size = 0; size <= 9000; size += 7) sizes.push_back(size);
  for (const std::size_t size : {kSmallChunk, kMediumChunk, kLargeChunk, std::size_t{100000}}) sizes.push_back(size);
  std::vector<std::pair<unsigned char*, std::size_t>> blocks;
  for (const std::size_t size : sizes) {
    SCOPED_TRACE("size " + std::to_string(size));
    auto* block = static_cast<unsigned char*>(sba::Allocate(size));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
    const std::size_t usable = sba::GetActualAllocationSize(size);
    std::memset(block, static_cast<int>(size & 0xFF), usable);
    blocks.emplace_back(block, size);
  }
  // Neighbours did not overwrite each other.
  for (const auto& entry : blocks) {
    const std::size_t usable = sba::GetActualAllocationSize(entry.second);
    for (std::size_t i = 0; i < usable; i += 61) ASSERT_EQ(entry.first[i], entry.second & 0xFF) << entry.second;
    sba::Dispose(entry.first, entry.second);
  }
  sba::Dispose(nullptr, 16);
  sba::Dispose(nullptr, 100000);
}

TEST(SmallBlockAllocator, LargeRequestsComeFromAndGoBackToVirtualMemory) {
  for (const std::size_t size : {std::size_t{8193}, std::size_t{66623}, std::size_t{66625}, std::size_t{3000000}}) {
    SCOPED_TRACE("size " + std::to_string(size));
    void* block = sba::Allocate(size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 4096, 0u);
    for (hooks::AllocatorInterface* manager : hooks::GetAllClasses())
      EXPECT_EQ(ChunkHolding(SnapClass(*manager), block), nullptr);
    EXPECT_TRUE(IsMapped(block));
    sba::Dispose(block, size);
    EXPECT_FALSE(IsMapped(block));
  }
}

TEST(SmallBlockAllocator, ExactParentSizesComeFromTheParentClasses) {
  for (const std::size_t size : {kSmallChunk, kMediumChunk}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::uint64_t usedBefore = TotalUsed(Snap(size));
    void* block = sba::Allocate(size);
    const hooks::ClassSnapshot during = Snap(size);
    EXPECT_NE(ChunkHolding(during, block), nullptr);
    EXPECT_EQ(TotalUsed(during), usedBefore + 1);
    sba::Dispose(block, size);
    // Straight back to the class: these blocks are chunks for other classes
    // and never wait in a thread's cache.
    EXPECT_EQ(hooks::GetThreadCacheCount(size), 0u);
    EXPECT_EQ(TotalUsed(hooks::TakeClassSnapshot(*hooks::GetClassForSize(size))), usedBefore);
  }
}

TEST(SmallBlockAllocator, EveryClassKeepsItsBooks) {
  // One block from every class, so that each holds a chunk.
  const std::vector<hooks::AllocatorInterface*> classes = hooks::GetAllClasses();
  std::vector<void*> blocks;
  for (hooks::AllocatorInterface* manager : classes) blocks.push_back(sba::Allocate(manager->GetBlockSize()));
  for (std::size_t i = 0; i < classes.size(); ++i) {
    const hooks::ClassSnapshot snapshot = SnapClass(*classes[i]);
    ExpectConsistent(snapshot);
    EXPECT_NE(ChunkHolding(snapshot, blocks[i]), nullptr) << "class " << snapshot.mBlockSize;
  }
  for (std::size_t i = 0; i < classes.size(); ++i) sba::Dispose(blocks[i], classes[i]->GetBlockSize());
}

// Grows one class through the whole chunk ladder and back. The class (769 to
// 896 bytes) is used by nobody else in this test program.
TEST(SmallBlockAllocatorChunks, GrowAlongTheLadderAndShrinkBack) {
  constexpr std::size_t kSize = 896;
  // Room in the cache of freed 932800-byte chunks, checked at the end.
  hooks::ReleaseCachedLargeChunks();
  const hooks::ClassSnapshot start = Snap(kSize);
  ASSERT_LE(start.mChunks.size(), 1u) << "another user holds chunks of this class";
  if (!start.mChunks.empty()) {
    ASSERT_EQ(start.mChunks[0].mUsedCount, 0u) << "another user holds blocks of this class";
    ASSERT_EQ(start.mChunks[0].mChunkSize, kSmallChunk);
  }
  const hooks::ClassSnapshot smallStart = Snap(kSmallChunk);
  const hooks::ClassSnapshot mediumStart = Snap(kMediumChunk);

  struct Growth {
    std::uint64_t mTotalBefore;
    hooks::ChunkInfo mChunk;
    unsigned char* mFirstBlock;
  };
  std::vector<Growth> growths;
  std::vector<unsigned char*> blocks;
  std::map<const void*, std::size_t> blocksPerChunk;  // chunk -> blocks we hold in it
  hooks::ClassSnapshot snapshot = start;
  while (growths.empty() || growths.back().mChunk.mChunkSize != kLargeChunk) {
    ASSERT_LT(blocks.size(), 10000u) << "the class never took a 932800-byte chunk";
    const hooks::ClassSnapshot before = snapshot;
    blocks.push_back(static_cast<unsigned char*>(sba::Allocate(kSize)));
    snapshot = Snap(kSize);
    const hooks::ChunkInfo* chunk = ChunkHolding(snapshot, blocks.back());
    ASSERT_NE(chunk, nullptr);
    ++blocksPerChunk[chunk->mAddress];
    if (snapshot.mChunks.size() != before.mChunks.size()) {
      ASSERT_EQ(snapshot.mChunks.size(), before.mChunks.size() + 1);
      ASSERT_EQ(ChunkHolding(before, blocks.back()), nullptr) << "a new chunk serves the request";
      growths.push_back(Growth{before.mTotalChunkBytes, *chunk, blocks.back()});
    }
  }
  ExpectConsistent(snapshot);

  // The ladder: 4160-byte chunks until the class holds 66624 bytes, then
  // 66624-byte chunks until it holds 932800 bytes, then 932800 bytes.
  std::size_t firstMedium = 0;
  std::size_t firstLarge = 0;
  for (std::size_t i = 0; i < growths.size(); ++i) {
    const Growth& growth = growths[i];
    SCOPED_TRACE("growth " + std::to_string(i) + " at " + std::to_string(growth.mTotalBefore) + " bytes");
    const std::size_t expected = growth.mTotalBefore < kMediumChunk  ? kSmallChunk
                                 : growth.mTotalBefore < kLargeChunk ? kMediumChunk
                                                                     : kLargeChunk;
    EXPECT_EQ(growth.mChunk.mChunkSize, expected);
    if (growth.mChunk.mChunkSize == kMediumChunk && firstMedium == 0) firstMedium = i;
    if (growth.mChunk.mChunkSize == kLargeChunk && firstLarge == 0) firstLarge = i;
    // A new chunk hands out its highest block first.
    const auto* chunkStart = static_cast<const unsigned char*>(growth.mChunk.mAddress);
    EXPECT_EQ(growth.mFirstBlock, chunkStart + 64 + (growth.mChunk.mBlockCount - 1) * kSize);
  }
  ASSERT_GT(firstMedium, 0u);
  ASSERT_GT(firstLarge, firstMedium);
  EXPECT_GE(growths[firstMedium].mTotalBefore, kMediumChunk);
  EXPECT_LT(growths[firstMedium].mTotalBefore - kSmallChunk, kMediumChunk);
  EXPECT_GE(growths[firstLarge].mTotalBefore, kLargeChunk);
  EXPECT_LT(growths[firstLarge].mTotalBefore - kMediumChunk, kLargeChunk);

  // Blocks of a new chunk come down one after the other.
  std::set<const void*> newChunks;
  for (const Growth& growth : growths) newChunks.insert(growth.mChunk.mAddress);
  for (std::size_t i = 1; i < blocks.size(); ++i) {
    const hooks::ChunkInfo* chunk = ChunkHolding(snapshot, blocks[i]);
    if (chunk == ChunkHolding(snapshot, blocks[i - 1]) && newChunks.count(chunk->mAddress) != 0) {
      EXPECT_EQ(blocks[i], blocks[i - 1] - kSize);
    }
  }

  // Where the chunks came from: 4160 bytes from the 4160 class, 66624 bytes
  // from the 66624 class, 932800 bytes straight from virtual memory.
  const hooks::ClassSnapshot smallGrown = Snap(kSmallChunk);
  const hooks::ClassSnapshot mediumGrown = Snap(kMediumChunk);
  std::size_t smallChunks = 0;
  std::size_t mediumChunks = 0;
  for (const hooks::ChunkInfo& chunk : snapshot.mChunks) {
    if (chunk.mChunkSize == kSmallChunk) {
      ++smallChunks;
      EXPECT_NE(ChunkHolding(smallGrown, chunk.mAddress), nullptr);
    } else if (chunk.mChunkSize == kMediumChunk) {
      ++mediumChunks;
      EXPECT_NE(ChunkHolding(mediumGrown, chunk.mAddress), nullptr);
    } else {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(chunk.mAddress) % 4096, 0u);
      EXPECT_EQ(ChunkHolding(smallGrown, chunk.mAddress), nullptr);
      EXPECT_EQ(ChunkHolding(mediumGrown, chunk.mAddress), nullptr);
    }
  }
  const std::size_t startSmall = start.mChunks.size();
  EXPECT_EQ(TotalUsed(smallGrown), TotalUsed(smallStart) + smallChunks - startSmall);
  const std::size_t smallClassGrowth = smallGrown.mChunks.size() - smallStart.mChunks.size();
  EXPECT_EQ(TotalUsed(mediumGrown), TotalUsed(mediumStart) + mediumChunks + smallClassGrowth);

  // Shrinking: a chunk that is not the class's last one goes back as soon as
  // its last block is back in it; Snap gives the thread's cache back after
  // every dispose, so that is at once here. First a chunk from the middle,
  // then the rest from the newest block to the oldest.
  const void* middle = growths[growths.size() / 2].mChunk.mAddress;
  std::vector<unsigned char*> order;
  for (unsigned char* block : blocks)
    if (ChunkHolding(snapshot, block)->mAddress == middle) order.push_back(block);
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
    if (ChunkHolding(snapshot, *it)->mAddress != middle) order.push_back(*it);
  const hooks::ClassSnapshot grown = snapshot;
  for (unsigned char* block : order) {
    const void* chunk = ChunkHolding(grown, block)->mAddress;
    const std::size_t chunksBefore = snapshot.mChunks.size();
    sba::Dispose(block, kSize);
    snapshot = Snap(kSize);
    const bool emptied = --blocksPerChunk[chunk] == 0;
    if (emptied && chunksBefore > 1) {
      EXPECT_EQ(snapshot.mChunks.size(), chunksBefore - 1);
      for (const hooks::ChunkInfo& info : snapshot.mChunks) EXPECT_NE(info.mAddress, chunk);
    } else {
      EXPECT_EQ(snapshot.mChunks.size(), chunksBefore);
    }
  }
  // Freeing every block keeps one chunk.
  ASSERT_EQ(snapshot.mChunks.size(), 1u);
  EXPECT_EQ(snapshot.mChunks[0].mUsedCount, 0u);
  EXPECT_EQ(snapshot.mChunks[0].mChunkSize, kSmallChunk);
  ExpectConsistent(snapshot);
  // The 932800-byte chunk waits, still mapped, among the freed chunks.
  const std::vector<const void*> cached = hooks::GetCachedLargeChunks();
  EXPECT_NE(std::find(cached.begin(), cached.end(), growths[firstLarge].mChunk.mAddress), cached.end());
  EXPECT_TRUE(IsMapped(growths[firstLarge].mChunk.mAddress));
  EXPECT_EQ(TotalUsed(Snap(kSmallChunk)), TotalUsed(smallStart) + 1 - startSmall);
}

// Chunks differ in size, so the least used chunk can be full while a bigger
// one has room: the class must use that room before it takes another chunk.
TEST(SmallBlockAllocatorChunks, FreeBlocksInABiggerChunkAreUsedBeforeGrowing) {
  constexpr std::size_t kSize = 2432;  // 2305 to 2432 bytes: 27 blocks a 66624-byte chunk
  ASSERT_LE(Snap(kSize).mChunks.size(), 1u) << "another user holds chunks of this class";
  ASSERT_EQ(TotalUsed(Snap(kSize)), 0u) << "another user holds blocks of this class";
  auto largeChunk = [](const hooks::ClassSnapshot& inSnapshot) -> const hooks::ChunkInfo* {
    for (const hooks::ChunkInfo& chunk : inSnapshot.mChunks)
      if (chunk.mChunkSize == kLargeChunk) return &chunk;
    return nullptr;
  };
  std::vector<void*> blocks;
  hooks::ClassSnapshot snapshot = Snap(kSize);
  while (largeChunk(snapshot) == nullptr) {
    ASSERT_LT(blocks.size(), 2000u);
    blocks.push_back(sba::Allocate(kSize));
    snapshot = Snap(kSize);
  }
  // The big chunk gets more blocks in use than a full 66624-byte chunk has,
  // so a full small chunk is the least used one.
  while (largeChunk(snapshot)->mUsedCount < 40) {
    blocks.push_back(sba::Allocate(kSize));
    snapshot = Snap(kSize);
  }
  // Emptying one small chunk releases it and leaves no current chunk.
  const hooks::ChunkInfo* victim = nullptr;
  for (const hooks::ChunkInfo& chunk : snapshot.mChunks)
    if (chunk.mChunkSize == kMediumChunk) victim = &chunk;
  ASSERT_NE(victim, nullptr);
  const void* victimAddress = victim->mAddress;
  std::vector<void*> kept;
  for (void* block : blocks) {
    if (ChunkHolding(snapshot, block)->mAddress == victimAddress)
      sba::Dispose(block, kSize);
    else
      kept.push_back(block);
  }
  snapshot = Snap(kSize);
  EXPECT_EQ(snapshot.mCurrentChunk, nullptr);
  for (const hooks::ChunkInfo& chunk : snapshot.mChunks) {
    EXPECT_NE(chunk.mAddress, victimAddress);
    if (chunk.mChunkSize == kMediumChunk) {
      EXPECT_EQ(chunk.mUsedCount, chunk.mBlockCount);
    }
  }
  // Every free block left is in the big chunk; all of them are handed out
  // before the class grows.
  const std::size_t chunkCount = snapshot.mChunks.size();
  const std::uint64_t freeBlocks = snapshot.mFreeBlockCount;
  ASSERT_EQ(freeBlocks, largeChunk(snapshot)->mBlockCount - largeChunk(snapshot)->mUsedCount);
  for (std::uint64_t i = 0; i < freeBlocks; ++i) {
    kept.push_back(sba::Allocate(kSize));
    ASSERT_EQ(Snap(kSize).mChunks.size(), chunkCount) << "grew with " << (freeBlocks - i) << " blocks free";
  }
  kept.push_back(sba::Allocate(kSize));
  EXPECT_EQ(Snap(kSize).mChunks.size(), chunkCount + 1);
  for (void* block : kept) sba::Dispose(block, kSize);
  snapshot = Snap(kSize);
  EXPECT_EQ(snapshot.mChunks.size(), 1u);
  ExpectConsistent(snapshot);
}

TEST(SmallBlockAllocator, CrossThreadDispose) {
  constexpr std::size_t kSize = 3968;  // 3841 to 3968 bytes, used by nobody else
  const std::uint64_t usedBefore = TotalUsed(Snap(kSize));
  std::vector<unsigned char*> blocks;
  std::thread producer([&blocks] {
    for (int i = 0; i < 100; ++i) {
      auto* block = static_cast<unsigned char*>(sba::Allocate(kSize));
      std::memset(block, i, kSize);
      blocks.push_back(block);
    }
  });
  producer.join();
  EXPECT_EQ(TotalUsed(Snap(kSize)), usedBefore + 100);
  std::atomic<int> corrupted{0};
  std::thread consumer([&blocks, &corrupted] {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      for (std::size_t b = 0; b < kSize; b += 97)
        if (blocks[i][b] != static_cast<unsigned char>(i)) corrupted.fetch_add(1);
      sba::Dispose(blocks[i], kSize);
    }
  });
  consumer.join();
  EXPECT_EQ(corrupted.load(), 0);
  const hooks::ClassSnapshot after = Snap(kSize);
  EXPECT_EQ(TotalUsed(after), usedBefore);
  EXPECT_EQ(after.mChunks.size(), 1u);
  ExpectConsistent(after);
}

// ---------------------------------------------------------------------------
// Thread caches.
// ---------------------------------------------------------------------------

// The class's used count without giving the calling thread's cache back.
std::uint64_t UsedWithoutFlush(std::size_t inRequestSize) {
  return TotalUsed(hooks::TakeClassSnapshot(*hooks::GetClassForSize(inRequestSize)));
}

TEST(SmallBlockAllocatorThreadCache, DisposedBlocksWaitInTheThreadUpToTheLimit) {
  for (const std::size_t blockSize : TableBlockSizes()) {
    SCOPED_TRACE("class " + std::to_string(blockSize));
    const std::size_t limit = hooks::ThreadCacheLimit(blockSize);
    // The promise: as many blocks as fit in 8 KiB, at least 2, at most 32.
    EXPECT_GE(limit, 2u);
    EXPECT_LE(limit, 32u);
    EXPECT_TRUE(limit * blockSize <= 8192 || limit == 2);
    EXPECT_TRUE((limit + 1) * blockSize > 8192 || limit == 32);

    std::vector<void*> blocks;
    for (std::size_t i = 0; i <= limit; ++i) blocks.push_back(sba::Allocate(blockSize));
    hooks::FlushThreadCache();
    const std::uint64_t used = UsedWithoutFlush(blockSize);
    for (std::size_t i = 0; i < limit; ++i) {
      sba::Dispose(blocks[i], blockSize);
      ASSERT_EQ(hooks::GetThreadCacheCount(blockSize), i + 1);
      ASSERT_EQ(UsedWithoutFlush(blockSize), used) << "a block went back early";
    }
    // One more than the limit: the older half goes back to the chunks.
    sba::Dispose(blocks[limit], blockSize);
    EXPECT_EQ(hooks::GetThreadCacheCount(blockSize), limit / 2 + 1);
    EXPECT_EQ(UsedWithoutFlush(blockSize), used - (limit - limit / 2));
    // Last disposed, first handed out again.
    void* again = sba::Allocate(blockSize);
    EXPECT_EQ(again, blocks[limit]);
    sba::Dispose(again, blockSize);
    hooks::FlushThreadCache();
    EXPECT_EQ(UsedWithoutFlush(blockSize), used - (limit + 1));
  }
}

TEST(SmallBlockAllocatorThreadCache, AnEmptyBinTakesHalfItsLimitFromTheClass) {
  for (const std::size_t blockSize : {std::size_t{16}, std::size_t{640}, std::size_t{2048}, std::size_t{8192}}) {
    SCOPED_TRACE("class " + std::to_string(blockSize));
    const std::size_t batch = (hooks::ThreadCacheLimit(blockSize) + 1) / 2;
    hooks::FlushThreadCache();
    const std::uint64_t used = UsedWithoutFlush(blockSize);
    std::vector<void*> blocks;
    for (int round = 1; round <= 2; ++round) {
      for (std::size_t i = 0; i < batch; ++i) {
        blocks.push_back(sba::Allocate(blockSize));
        // The whole batch left the class with the round's first block.
        EXPECT_EQ(UsedWithoutFlush(blockSize), used + round * batch);
        EXPECT_EQ(hooks::GetThreadCacheCount(blockSize), batch - 1 - i);
      }
    }
    for (void* block : blocks) sba::Dispose(block, blockSize);
    EXPECT_EQ(TotalUsed(Snap(blockSize)), used);
  }
}

// A thread-exit destructor that runs after the thread's cache is gone and
// still disposes of a block.
struct LateDisposer {
  void* mBlock = nullptr;
  std::size_t mSize = 0;
  std::size_t* mCachedAfterwards = nullptr;
  ~LateDisposer() {
    sba::Dispose(mBlock, mSize);
    *mCachedAfterwards = hooks::GetThreadCacheCount(mSize);
  }
};

TEST(SmallBlockAllocatorThreadCache, AThreadsCacheGoesBackWhenTheThreadEnds) {
  constexpr std::size_t kSize = 2048;
  const std::uint64_t usedBefore = TotalUsed(Snap(kSize));
  std::size_t cachedInThread = 0;
  std::uint64_t usedInThread = 0;
  std::size_t cachedAfterRetirement = 99;
  std::thread worker([&] {
    // Constructed before the thread's cache, so destroyed after it.
    static thread_local LateDisposer sLate;
    sLate.mSize = kSize;
    sLate.mCachedAfterwards = &cachedAfterRetirement;
    sLate.mBlock = sba::Allocate(kSize);
    void* first = sba::Allocate(kSize);
    void* second = sba::Allocate(kSize);
    sba::Dispose(first, kSize);
    sba::Dispose(second, kSize);
    cachedInThread = hooks::GetThreadCacheCount(kSize);
    usedInThread = UsedWithoutFlush(kSize);
  });
  worker.join();
  // The two, and one left of the second batch taken from the class.
  EXPECT_EQ(cachedInThread, 2u + 1u);
  EXPECT_EQ(usedInThread, usedBefore + 4);
  EXPECT_EQ(cachedAfterRetirement, 0u);
  EXPECT_EQ(TotalUsed(Snap(kSize)), usedBefore);
  ExpectConsistent(Snap(kSize));
}

// Blocks the system handed out while the classes were not ready must never
// be taken for class blocks, which the cache would do without asking.
TEST(SmallBlockAllocatorThreadCache, SystemBlocksNeverEnterIt) {
  constexpr std::size_t kSize = 513;  // 640-byte class; a 528-byte heap block
  void* systemBlock = nullptr;
  {
    hooks::ScSimulateInitialisationInProgress inProgress;
    systemBlock = sba::Allocate(kSize);
  }
  hooks::FlushThreadCache();
  const std::uint64_t used = UsedWithoutFlush(kSize);
  ASSERT_EQ(ChunkHolding(Snap(kSize), systemBlock), nullptr);
  // While it is out, class blocks go straight back to their class too.
  void* classBlock = sba::Allocate(kSize);
  hooks::FlushThreadCache();
  sba::Dispose(classBlock, kSize);
  EXPECT_EQ(hooks::GetThreadCacheCount(kSize), 0u);
  EXPECT_EQ(UsedWithoutFlush(kSize), used);
  sba::Dispose(systemBlock, kSize);
  EXPECT_EQ(hooks::GetThreadCacheCount(kSize), 0u);
  EXPECT_EQ(UsedWithoutFlush(kSize), used);
  // Every block of the class handed out now is the class's own.
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < 3 * hooks::ThreadCacheLimit(640); ++i) blocks.push_back(sba::Allocate(kSize));
  const hooks::ClassSnapshot snapshot = Snap(kSize);
  for (void* block : blocks) EXPECT_NE(ChunkHolding(snapshot, block), nullptr);
  for (void* block : blocks) sba::Dispose(block, kSize);
  // And with no system block out, disposal uses the cache again.
  EXPECT_GT(hooks::GetThreadCacheCount(kSize), 0u);
  EXPECT_EQ(TotalUsed(Snap(kSize)), used);
}

// ---------------------------------------------------------------------------
// Freed 932800-byte chunks.
// ---------------------------------------------------------------------------

// The 66624 class takes 932800-byte chunks of 14 blocks each, and touches
// only one page per block, so it grows cheaply.
TEST(SmallBlockAllocatorLargeChunks, FreedChunksAreKeptForReuseUpToTheLimit) {
  constexpr std::size_t kLimit = hooks::kLargeChunkCacheLimit;
  hooks::ReleaseCachedLargeChunks();
  ASSERT_TRUE(hooks::GetCachedLargeChunks().empty());
  const hooks::ClassSnapshot start = Snap(kMediumChunk);
  std::set<const void*> startChunks;
  for (const hooks::ChunkInfo& chunk : start.mChunks) startChunks.insert(chunk.mAddress);

  std::vector<void*> blocks;
  const std::uint64_t wanted = start.mFreeBlockCount + (kLimit + 2) * 14;
  for (std::uint64_t i = 0; i < wanted; ++i) blocks.push_back(sba::Allocate(kMediumChunk));
  const hooks::ClassSnapshot grown = Snap(kMediumChunk);
  std::set<const void*> newChunks;
  for (const hooks::ChunkInfo& chunk : grown.mChunks)
    if (startChunks.count(chunk.mAddress) == 0) newChunks.insert(chunk.mAddress);
  ASSERT_EQ(newChunks.size(), kLimit + 2);

  for (void* block : blocks) sba::Dispose(block, kMediumChunk);
  const hooks::ClassSnapshot shrunk = Snap(kMediumChunk);
  ExpectConsistent(shrunk);
  std::set<const void*> released = newChunks;
  for (const hooks::ChunkInfo& chunk : shrunk.mChunks) released.erase(chunk.mAddress);
  ASSERT_GE(released.size(), kLimit + 1);
  // The cache is full of released chunks, still mapped; the rest are gone.
  const std::vector<const void*> cached = hooks::GetCachedLargeChunks();
  ASSERT_EQ(cached.size(), kLimit);
  for (const void* chunk : cached) {
    EXPECT_EQ(released.count(chunk), 1u);
    EXPECT_TRUE(IsMapped(chunk));
  }
  for (const void* chunk : released)
    if (std::find(cached.begin(), cached.end(), chunk) == cached.end()) {
      EXPECT_FALSE(IsMapped(chunk));
    }

  // The class's next chunk is the one freed last.
  const std::size_t chunkCount = shrunk.mChunks.size();
  blocks.clear();
  for (std::uint64_t i = 0; i <= shrunk.mFreeBlockCount; ++i) blocks.push_back(sba::Allocate(kMediumChunk));
  const hooks::ClassSnapshot regrown = Snap(kMediumChunk);
  ASSERT_EQ(regrown.mChunks.size(), chunkCount + 1);
  EXPECT_NE(ChunkHolding(regrown, blocks.back()), nullptr);
  EXPECT_EQ(ChunkHolding(regrown, blocks.back())->mAddress, cached.back());
  EXPECT_EQ(hooks::GetCachedLargeChunks().size(), kLimit - 1);

  // While the system refuses memory, so does the cache.
  {
    const hooks::ClassSnapshot full = [&] {
      hooks::ClassSnapshot snapshot = Snap(kMediumChunk);
      while (snapshot.mFreeBlockCount != 0) {
        blocks.push_back(sba::Allocate(kMediumChunk));
        snapshot = Snap(kMediumChunk);
      }
      return snapshot;
    }();
    hooks::ScFailSystemMemory failing;
    EXPECT_THROW(blocks.push_back(sba::Allocate(kMediumChunk)), std::bad_alloc);
    EXPECT_EQ(Snap(kMediumChunk).mChunks.size(), full.mChunks.size());
    EXPECT_EQ(hooks::GetCachedLargeChunks().size(), kLimit - 1);
  }

  for (void* block : blocks) sba::Dispose(block, kMediumChunk);
  const std::vector<const void*> left = hooks::GetCachedLargeChunks();
  hooks::ReleaseCachedLargeChunks();
  EXPECT_TRUE(hooks::GetCachedLargeChunks().empty());
  for (const void* chunk : left) EXPECT_FALSE(IsMapped(chunk));
  EXPECT_EQ(TotalUsed(Snap(kMediumChunk)), TotalUsed(start));
}

// ---------------------------------------------------------------------------
// Initialisation.
// ---------------------------------------------------------------------------

TEST(SmallBlockAllocatorInitialisation, BlocksTakenDuringInitialisationGoBackToTheSystem) {
  const std::size_t sizes[] = {0, 1, 100, 4096, kSmallChunk, 8191, 8192, kMediumChunk, 70000};
  std::vector<std::uint64_t> usedBefore;
  for (const std::size_t size : sizes) {
    hooks::AllocatorInterface* manager = hooks::GetClassForSize(size);
    usedBefore.push_back(manager != nullptr ? TotalUsed(SnapClass(*manager)) : 0);
  }
  std::vector<void*> blocks;
  {
    hooks::ScSimulateInitialisationInProgress inProgress;
    for (const std::size_t size : sizes) {
      SCOPED_TRACE("size " + std::to_string(size));
      auto* block = static_cast<unsigned char*>(sba::Allocate(size));
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
      std::memset(block, 0x5A, std::max<std::size_t>(size, 1));
      // 8192 bytes and more come from virtual memory.
      if (size >= 8192) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 4096, 0u);
      }
      blocks.push_back(block);
    }
    // Disposal during initialisation takes the system route by size too.
    sba::Dispose(sba::Allocate(48), 48);
    sba::Dispose(sba::Allocate(20000), 20000);
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE("size " + std::to_string(sizes[i]));
    // No class handed it out, and no class claims it.
    if (hooks::AllocatorInterface* manager = hooks::GetClassForSize(sizes[i])) {
      EXPECT_EQ(TotalUsed(SnapClass(*manager)), usedBefore[i]);
      EXPECT_FALSE(manager->Dispose(blocks[i], sizes[i]));
    }
  }
  // Initialised now: disposal asks the class, which declines, and the system
  // route frees the block (the sanitizers check that it is the right one).
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE("size " + std::to_string(sizes[i]));
    sba::Dispose(blocks[i], sizes[i]);
    if (sizes[i] >= 8192) {
      EXPECT_FALSE(IsMapped(blocks[i]));
    }
    if (hooks::AllocatorInterface* manager = hooks::GetClassForSize(sizes[i])) {
      EXPECT_EQ(TotalUsed(SnapClass(*manager)), usedBefore[i]);
    }
  }
}

// ---------------------------------------------------------------------------
// Contracts and failures.
// ---------------------------------------------------------------------------

// Throws what the host would: an exception naming the error it was given.
class ContractErrorManager : public basalt::config::ErrorManager {
public:
  struct reported : std::runtime_error {
    reported(const char* inKey, std::uint32_t inGroup, std::int32_t inNumber)
        : std::runtime_error(inKey), mGroup(inGroup), mNumber(inNumber) {}
    std::uint32_t mGroup;
    std::int32_t mNumber;
  };
  ContractErrorManager() { Set(this); }
  ~ContractErrorManager() override { Set(nullptr); }
  void ThrowErrorImpl(basalt::config::ErrorLevel, const char* inKey, std::uint32_t inGroup, std::int32_t inNumber,
                      bool, const basalt::config::ReplacementValue&, const basalt::config::ReplacementValue&,
                      const basalt::config::ReplacementValue&, const basalt::config::ReplacementValue&) const override {
    throw reported(inKey, inGroup, inNumber);
  }
};

void ExpectContractError(const ContractErrorManager::reported& inError) {
  EXPECT_STREQ(inError.what(), kContractKey);
  EXPECT_EQ(inError.mGroup, 105u);
  EXPECT_EQ(inError.mNumber, 25);
}

TEST(SmallBlockAllocatorContract, OversizedRequestToAClassIsAnInputContractViolation) {
  ContractErrorManager manager;
  for (hooks::AllocatorInterface* sizeClass : hooks::GetAllClasses()) {
    const std::size_t blockSize = sizeClass->GetBlockSize();
    SCOPED_TRACE("class " + std::to_string(blockSize));
    const hooks::ClassSnapshot before = SnapClass(*sizeClass);
    try {
      sizeClass->Allocate(blockSize + 1);
      ADD_FAILURE() << "Allocate accepted an oversized request";
    } catch (const ContractErrorManager::reported& error) {
      ExpectContractError(error);
    }
    void* block = sizeClass->Allocate(blockSize);
    try {
      sizeClass->Dispose(block, blockSize + 1);
      ADD_FAILURE() << "Dispose accepted an oversized request";
    } catch (const ContractErrorManager::reported& error) {
      ExpectContractError(error);
    }
    EXPECT_TRUE(sizeClass->Dispose(block, blockSize));
    const hooks::ClassSnapshot after = SnapClass(*sizeClass);
    EXPECT_EQ(TotalUsed(after), TotalUsed(before));
    ExpectConsistent(after);
  }
}

TEST(SmallBlockAllocatorContract, WithoutAnErrorManagerTheViolationStillThrows) {
  ASSERT_EQ(basalt::config::ErrorManager::Get(true), nullptr);
  hooks::AllocatorInterface* sizeClass = hooks::GetAllClasses().front();
  EXPECT_THROW(sizeClass->Allocate(sizeClass->GetBlockSize() + 1), std::logic_error);
}

TEST(SmallBlockAllocatorFailure, ExhaustionIsBadAllocation) {
  auto expectBadAllocation = [](std::size_t inSize) {
    SCOPED_TRACE("size " + std::to_string(inSize));
    try {
      void* block = sba::Allocate(inSize);
      sba::Dispose(block, inSize);
      ADD_FAILURE() << "no exception";
    } catch (const std::bad_alloc& error) {
      EXPECT_STREQ(error.what(), "bad allocation");
    }
  };
  expectBadAllocation(std::numeric_limits<std::size_t>::max());
  expectBadAllocation(std::numeric_limits<std::size_t>::max() - 4096);
  expectBadAllocation(std::size_t{1} << 62);
  {
    hooks::ScFailSystemMemory failing;
    expectBadAllocation(20000);
    hooks::ScSimulateInitialisationInProgress inProgress;
    expectBadAllocation(100);
    expectBadAllocation(8192);
  }
}

// The 66624 class takes its chunks from virtual memory: with that refused, a
// class that has to grow throws and stays as it was, published and usable.
TEST(SmallBlockAllocatorFailure, AClassThatCannotGrowStaysConsistent) {
  hooks::AllocatorInterface* manager = hooks::GetClassForSize(kMediumChunk);
  const hooks::ClassSnapshot start = SnapClass(*manager);
  std::vector<void*> blocks;
  for (std::uint64_t i = 0; i < start.mFreeBlockCount; ++i) blocks.push_back(sba::Allocate(kMediumChunk));
  const hooks::ClassSnapshot full = SnapClass(*manager);
  ASSERT_EQ(full.mFreeBlockCount, 0u);
  {
    hooks::ScFailSystemMemory failing;
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        blocks.push_back(sba::Allocate(kMediumChunk));
        ADD_FAILURE() << "grew without memory";
      } catch (const std::bad_alloc& error) {
        EXPECT_STREQ(error.what(), "bad allocation");
      }
      const hooks::ClassSnapshot failed = SnapClass(*manager);
      EXPECT_TRUE(failed.mPublished);
      EXPECT_EQ(failed.mChunks.size(), full.mChunks.size());
      EXPECT_EQ(failed.mTotalChunkBytes, full.mTotalChunkBytes);
      ExpectConsistent(failed);
    }
    // A class that has a free block still serves without the system.
    sba::Dispose(blocks.back(), kMediumChunk);
    blocks.pop_back();
    blocks.push_back(sba::Allocate(kMediumChunk));
  }
  blocks.push_back(sba::Allocate(kMediumChunk));
  EXPECT_EQ(SnapClass(*manager).mChunks.size(), full.mChunks.size() + 1);
  for (void* block : blocks) sba::Dispose(block, kMediumChunk);
  const hooks::ClassSnapshot end = SnapClass(*manager);
  EXPECT_EQ(TotalUsed(end), TotalUsed(start));
  ExpectConsistent(end);
}

TEST(SmallBlockAllocatorMetrics, GetSnapshotReportsNothing) {
  sba::Metrics::Snapshot snapshot;
  std::memset(&snapshot, 0xAB, sizeof snapshot);
  EXPECT_FALSE(sba::Metrics::GetSnapshot(snapshot));
  const auto* bytes = reinterpret_cast<const unsigned char*>(&snapshot);
  for (std::size_t i = 0; i < sizeof snapshot; ++i) ASSERT_EQ(bytes[i], 0xAB);
}

// ---------------------------------------------------------------------------
// STLAllocator and Allocated.
// ---------------------------------------------------------------------------

TEST(SmallBlockAllocatorSTL, ContainersUseTheClasses) {
  constexpr std::size_t kCount = 1000;
  const std::uint64_t usedBefore = TotalUsed(Snap(kCount * sizeof(int)));
  {
    sba::vector<int> values;
    values.reserve(kCount);
    EXPECT_EQ(TotalUsed(Snap(kCount * sizeof(int))), usedBefore + 1);
    for (int i = 0; i < static_cast<int>(kCount); ++i) values.push_back(i);
    sba::map<int, sba::vector<int>> byRemainder;
    for (const int value : values) byRemainder[value % 7].push_back(value);
    std::size_t total = 0;
    for (const auto& entry : byRemainder) total += entry.second.size();
    EXPECT_EQ(total, values.size());
  }
  EXPECT_EQ(TotalUsed(Snap(kCount * sizeof(int))), usedBefore);

  sba::STLAllocator<int> ints;
  sba::STLAllocator<double> doubles(ints);
  EXPECT_TRUE(ints == doubles);
  EXPECT_FALSE(ints != doubles);
  EXPECT_THROW(ints.allocate(std::numeric_limits<std::size_t>::max() / 2), std::bad_array_new_length);
}

struct SmallObject : sba::Allocated<SmallObject> {
  virtual ~SmallObject() = default;
  unsigned char mData[40] = {};
};

// Larger than the mixin's T, so sizeof(T) would pick the wrong class.
template <std::size_t kExtra>
struct FailingObject : SmallObject {
  explicit FailingObject(void** outThis) {
    *outThis = this;
    throw std::runtime_error("constructor failed");
  }
  unsigned char mMore[kExtra];
};

struct HugeObject : sba::Allocated<HugeObject> {
  unsigned char mData[std::size_t{1} << 57];
};

struct LargeObject : sba::Allocated<LargeObject> {
  unsigned char mData[20000];
};

TEST(SmallBlockAllocatorAllocated, NewAndDeleteUseTheClassOfTheMostDerivedObject) {
  struct Derived : SmallObject {
    unsigned char mMore[200];
  };
  const std::size_t baseSize = sizeof(SmallObject);
  const std::size_t derivedSize = sizeof(Derived);
  ASSERT_NE(sba::GetActualAllocationSize(baseSize), sba::GetActualAllocationSize(derivedSize));
  const std::uint64_t baseUsed = TotalUsed(Snap(baseSize));
  const std::uint64_t derivedUsed = TotalUsed(Snap(derivedSize));
  SmallObject* object = new Derived;
  EXPECT_NE(ChunkHolding(Snap(derivedSize), object), nullptr);
  EXPECT_EQ(TotalUsed(Snap(baseSize)), baseUsed);
  delete object;
  EXPECT_EQ(TotalUsed(Snap(derivedSize)), derivedUsed);

  SmallObject* nothrowObject = new (std::nothrow) SmallObject;
  ASSERT_NE(nothrowObject, nullptr);
  EXPECT_EQ(TotalUsed(Snap(baseSize)), baseUsed + 1);
  delete nothrowObject;
  EXPECT_EQ(TotalUsed(Snap(baseSize)), baseUsed);

  alignas(SmallObject) unsigned char place[sizeof(SmallObject)];
  SmallObject* placed = new (place) SmallObject;
  EXPECT_EQ(static_cast<void*>(placed), static_cast<void*>(place));
  placed->~SmallObject();
}

TEST(SmallBlockAllocatorAllocated, NoThrowNewReturnsNullWhereNewThrows) {
  EXPECT_EQ(new (std::nothrow) HugeObject, nullptr);
  try {
    delete new HugeObject;
    ADD_FAILURE() << "no exception";
  } catch (const std::bad_alloc& error) {
    EXPECT_STREQ(error.what(), "bad allocation");
  }
  hooks::ScFailSystemMemory failing;
  EXPECT_EQ(new (std::nothrow) LargeObject, nullptr);
  EXPECT_THROW(delete new LargeObject, std::bad_alloc);
}

// When a constructor throws after new (std::nothrow), the block goes back to
// where it came from although the placement delete receives no size.
TEST(SmallBlockAllocatorAllocated, FailedConstructionAfterNoThrowNewReturnsTheBlock) {
  {
    using Failing = FailingObject<300>;
    const std::uint64_t used = TotalUsed(Snap(sizeof(Failing)));
    void* address = nullptr;
    EXPECT_THROW(new (std::nothrow) Failing(&address), std::runtime_error);
    EXPECT_NE(ChunkHolding(Snap(sizeof(Failing)), address), nullptr);
    EXPECT_EQ(TotalUsed(Snap(sizeof(Failing))), used);
  }
  {
    using Failing = FailingObject<30000>;
    void* address = nullptr;
    EXPECT_THROW(new (std::nothrow) Failing(&address), std::runtime_error);
    ASSERT_NE(address, nullptr);
    EXPECT_FALSE(IsMapped(address));
  }
  {
    // A block from the system heap, taken while initialisation was under way.
    using Failing = FailingObject<300>;
    const std::uint64_t used = TotalUsed(Snap(sizeof(Failing)));
    hooks::ScSimulateInitialisationInProgress inProgress;
    void* address = nullptr;
    EXPECT_THROW(new (std::nothrow) Failing(&address), std::runtime_error);
    EXPECT_EQ(TotalUsed(Snap(sizeof(Failing))), used);
  }
  {
    // And after a successful construction the ordinary sized delete frees a
    // system block and forgets it.
    hooks::ScSimulateInitialisationInProgress inProgress;
    SmallObject* object = new (std::nothrow) SmallObject;
    ASSERT_NE(object, nullptr);
    delete object;
    LargeObject* large = new (std::nothrow) LargeObject;
    ASSERT_NE(large, nullptr);
    delete large;
  }
}

// ---------------------------------------------------------------------------
// Many threads at once.
// ---------------------------------------------------------------------------

// Threads allocate blocks of random sizes, fill them, and hand them to other
// threads, which check the contents and dispose of them. Bursts in one shared
// class make chunks come and go while the others work.
TEST(SmallBlockAllocatorStress, ThreadsAllocateAndDisposeEachOthersBlocks) {
  constexpr int kThreads = 4;
  constexpr int kOperations = 6000;
  constexpr std::size_t kBurstSize = 200;
  struct Block {
    unsigned char* mData;
    std::size_t mSize;
    unsigned char mFill;
  };
  struct Inbox {
    std::mutex mLock;
    std::deque<Block> mBlocks;
  };
  std::vector<Inbox> inboxes(kThreads);
  std::atomic<int> corrupted{0};
  std::atomic<int> producing{kThreads};

  std::vector<hooks::AllocatorInterface*> classes = hooks::GetAllClasses();
  const std::pair<std::int64_t, std::int64_t> parentBalanceBefore = ParentBalance();
  std::vector<std::uint64_t> usedBefore;
  for (hooks::AllocatorInterface* manager : classes) usedBefore.push_back(TotalUsed(SnapClass(*manager)));

  auto pickSize = [](std::mt19937& ioRandom) -> std::size_t {
    const unsigned kind = ioRandom() % 100;
    std::size_t size;
    if (kind < 60)
      size = ioRandom() % 257;
    else if (kind < 90)
      size = ioRandom() % 8193;
    else if (kind < 94)
      size = kSmallChunk;
    else if (kind < 96)
      size = kMediumChunk;
    else if (kind < 98)
      size = 8193 + ioRandom() % 30000;
    else
      size = 0;
    // Leave the classes that other tests watch alone.
    const std::size_t actual = sba::GetActualAllocationSize(size);
    if (actual == 896 || actual == 2432 || actual == 3968) size = 64;
    return size;
  };
  auto check = [&corrupted](const Block& inBlock) {
    for (std::size_t i = 0; i < inBlock.mSize; i += 13)
      if (inBlock.mData[i] != inBlock.mFill) {
        corrupted.fetch_add(1);
        return;
      }
    if (inBlock.mSize > 0 && inBlock.mData[inBlock.mSize - 1] != inBlock.mFill) corrupted.fetch_add(1);
  };
  auto drainSome = [&](int inThread, std::size_t inLimit) {
    for (std::size_t n = 0; n < inLimit; ++n) {
      Block block;
      {
        std::lock_guard<std::mutex> guard(inboxes[inThread].mLock);
        if (inboxes[inThread].mBlocks.empty()) return;
        block = inboxes[inThread].mBlocks.front();
        inboxes[inThread].mBlocks.pop_front();
      }
      check(block);
      sba::Dispose(block.mData, block.mSize);
    }
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(1234 + t);
      for (int op = 0; op < kOperations; ++op) {
        if (op % 1500 == 0) {
          // A burst: the shared class grows by several chunks, and the other
          // threads release them.
          for (std::size_t i = 0; i < kBurstSize; ++i) {
            const Block block{static_cast<unsigned char*>(sba::Allocate(512)), 512, static_cast<unsigned char>(t)};
            std::memset(block.mData, block.mFill, block.mSize);
            const int target = (t + 1 + static_cast<int>(i % (kThreads - 1))) % kThreads;
            std::lock_guard<std::mutex> guard(inboxes[target].mLock);
            inboxes[target].mBlocks.push_back(block);
          }
        }
        const std::size_t size = pickSize(random);
        const Block block{static_cast<unsigned char*>(sba::Allocate(size)), size,
                          static_cast<unsigned char>(random())};
        if (reinterpret_cast<std::uintptr_t>(block.mData) % 16 != 0) corrupted.fetch_add(1);
        std::memset(block.mData, block.mFill, size);
        const int target = (t + 1 + static_cast<int>(random() % (kThreads - 1))) % kThreads;
        {
          std::lock_guard<std::mutex> guard(inboxes[target].mLock);
          inboxes[target].mBlocks.push_back(block);
        }
        drainSome(t, 2);
      }
      producing.fetch_sub(1);
      // Keep draining until every producer is done and the inbox is empty.
      for (;;) {
        drainSome(t, std::numeric_limits<std::size_t>::max());
        if (producing.load() == 0) {
          drainSome(t, std::numeric_limits<std::size_t>::max());
          return;
        }
        std::this_thread::yield();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(corrupted.load(), 0);
  for (std::size_t i = 0; i < classes.size(); ++i) {
    const hooks::ClassSnapshot snapshot = SnapClass(*classes[i]);
    ExpectConsistent(snapshot);
    // Every block came back: the classes use exactly what they did before
    // (the parent classes' use is their children's chunks, checked below).
    if (snapshot.mBlockSize != kSmallChunk && snapshot.mBlockSize != kMediumChunk) {
      EXPECT_EQ(TotalUsed(snapshot), usedBefore[i]) << "class " << snapshot.mBlockSize;
    }
  }
  // The parents hand out exactly the chunks their children hold, besides
  // the blocks they held for others before.
  EXPECT_EQ(ParentBalance(), parentBalanceBefore);
}

}  // namespace
