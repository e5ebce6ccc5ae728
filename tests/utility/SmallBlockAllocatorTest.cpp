// SmallBlockAllocator: the size table and its classes, chunk headers and
// their lock-free free lists, the state lock, chunk growth and release,
// thread caches, the cache of freed large chunks, initialisation, contracts
// and failures, the STL and Allocated adapters, and many threads at once.
#include <basalt/utility/SmallBlockAllocator.h>

#include "utility/SmallBlockAllocatorInternal.h"

#include <basalt/config/Errors.h>

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace sba = basalt::utility::SmallBlockAllocator;
namespace hooks = basalt::utility::SmallBlockAllocator::internal;

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

// The class's used count without giving the calling thread's cache back.
std::uint64_t UsedWithoutFlush(std::size_t inRequestSize) {
  return TotalUsed(hooks::TakeClassSnapshot(*hooks::GetClassForSize(inRequestSize)));
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

// A chunk built in test memory, aligned like the allocator's own. The memory
// is filled with 0xA5 first, so a test can tell which bytes were written.
struct TestChunk {
  struct FreeDeleter {
    void operator()(unsigned char* inPointer) const { std::free(inPointer); }
  };
  TestChunk(std::size_t inChunkSize, std::size_t inBlockSize)
      : mMemory(static_cast<unsigned char*>(std::aligned_alloc(64, (inChunkSize + 63) / 64 * 64))) {
    std::memset(mMemory.get(), 0xA5, inChunkSize);
    mHeader = new (mMemory.get()) hooks::ChunkHeader(inChunkSize, inBlockSize);
  }
  unsigned char* Block(std::size_t inIndex) const { return mMemory.get() + 64 + inIndex * mHeader->mBlockSize; }
  std::uint64_t LinkOf(const void* inBlock) const {
    return static_cast<std::uint64_t>(static_cast<const unsigned char*>(inBlock) - Block(0)) / mHeader->mBlockSize + 1;
  }
  // Whether bytes inFrom to inTo of the chunk still hold the fill.
  bool Untouched(std::size_t inFrom, std::size_t inTo) const {
    return std::all_of(mMemory.get() + inFrom, mMemory.get() + inTo, [](unsigned char inByte) { return inByte == 0xA5; });
  }

  std::unique_ptr<unsigned char[], FreeDeleter> mMemory;
  hooks::ChunkHeader* mHeader;
};

// ---------------------------------------------------------------------------
// Sizes and classes.
// ---------------------------------------------------------------------------

TEST(SmallBlockAllocatorSizes, EveryRequestGoesToTheSmallestClassThatHoldsIt) {
  sba::Dispose(sba::Allocate(1), 1);
  EXPECT_EQ(hooks::GetInitialisationState(), 2);
  const std::vector<std::size_t> table = TableBlockSizes();
  ASSERT_EQ(table.size(), 68u);
  std::vector<std::size_t> all = table;
  all.insert(all.end(), {kSmallChunk, kMediumChunk});
  std::sort(all.begin(), all.end());
  const std::vector<hooks::AllocatorInterface*> classes = hooks::GetAllClasses();
  ASSERT_EQ(classes.size(), all.size());
  for (std::size_t i = 0; i < classes.size(); ++i) EXPECT_EQ(classes[i]->GetBlockSize(), all[i]);

  // Every size up to one past the table, and either side of the two chunk
  // sizes that are served as blocks too; the rest come from virtual memory.
  std::vector<std::size_t> sizes(8194);
  std::iota(sizes.begin(), sizes.end(), std::size_t{0});
  sizes.insert(sizes.end(), {66623, kMediumChunk, 66625, kLargeChunk, std::size_t{1} << 40});
  for (const std::size_t size : sizes) {
    SCOPED_TRACE("size " + std::to_string(size));
    std::size_t blockSize = size;
    if (size <= 8192 && size != kSmallChunk)
      blockSize = *std::lower_bound(table.begin(), table.end(), std::max<std::size_t>(size, 1));
    const auto found = std::find(all.begin(), all.end(), blockSize);
    EXPECT_EQ(hooks::GetClassForSize(size), found == all.end() ? nullptr : classes[found - all.begin()]);
    EXPECT_EQ(sba::GetActualAllocationSize(size), blockSize);
  }
}

// ---------------------------------------------------------------------------
// Chunk headers and their free lists.
// ---------------------------------------------------------------------------

// A new chunk's list holds every block from the highest address down, and
// neither building it nor handing out its blocks writes into them: a block's
// memory is first touched by its user.
TEST(SmallBlockAllocatorChunkHeader, NewChunksHandOutEveryBlockFromTheTopUntouched) {
  struct Case {
    std::size_t mBlockSize, mChunkSize, mBlockCount;
  };
  const Case cases[] = {{16, kSmallChunk, 256},   {48, kSmallChunk, 85},     {1024, kSmallChunk, 4},
                        {1152, kMediumChunk, 57}, {8192, kMediumChunk, 8},   {kSmallChunk, kMediumChunk, 16},
                        {kMediumChunk, kLargeChunk, 14}, {16, kLargeChunk, 58296}, {kSmallChunk, kLargeChunk, 224}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mBlockSize) + " in " + std::to_string(c.mChunkSize));
    TestChunk chunk(c.mChunkSize, c.mBlockSize);
    hooks::ChunkHeader& header = *chunk.mHeader;
    EXPECT_EQ(header.mSelf, &header);
    EXPECT_EQ(header.mChunkSize, c.mChunkSize);
    EXPECT_EQ(header.mBlockSize, c.mBlockSize);
    EXPECT_EQ(header.mBlockCount, c.mBlockCount);
    EXPECT_EQ(header.mUsedCount.load(), 0u);
    for (std::size_t i = c.mBlockCount; i-- > 0;) ASSERT_EQ(header.PopBlock(c.mBlockSize), chunk.Block(i));
    EXPECT_EQ(header.PopBlock(c.mBlockSize), nullptr);
    EXPECT_FALSE(header.HasFreeBlock());
    EXPECT_TRUE(chunk.Untouched(64, c.mChunkSize));
  }
}

// A block given back gets its link in its first four bytes and nothing else;
// the list is last in, first out, whatever the order of return.
TEST(SmallBlockAllocatorChunkHeader, ReturnedBlocksAreLinkedLastInFirstOut) {
  const std::size_t blockSize = 1024;
  TestChunk chunk(kSmallChunk, blockSize);
  hooks::ChunkHeader& header = *chunk.mHeader;
  void* top = header.PopBlock(blockSize);
  ASSERT_EQ(top, chunk.Block(3));
  header.PushBlock(top, 4);
  EXPECT_TRUE(chunk.Untouched(64, 64 + 3 * blockSize));
  EXPECT_FALSE(chunk.Untouched(64 + 3 * blockSize, 64 + 3 * blockSize + 4));
  EXPECT_TRUE(chunk.Untouched(64 + 3 * blockSize + 4, kSmallChunk));
  // The list is what it was: the highest block, then downwards.
  for (std::size_t i = 4; i-- > 0;) EXPECT_EQ(header.PopBlock(blockSize), chunk.Block(i));
  EXPECT_EQ(header.PopBlock(blockSize), nullptr);

  const std::size_t order[] = {2, 0, 3, 1};
  for (const std::size_t i : order) header.PushBlock(chunk.Block(i), i + 1);
  for (auto it = std::rbegin(order); it != std::rend(order); ++it) EXPECT_EQ(header.PopBlock(blockSize), chunk.Block(*it));
  EXPECT_EQ(header.PopBlock(blockSize), nullptr);
}

TEST(SmallBlockAllocatorChunkHeader, EveryChangeMovesTheTag) {
  TestChunk chunk(kSmallChunk, 16);
  hooks::ChunkHeader& header = *chunk.mHeader;
  std::set<std::uint64_t> heads{header.mFreeListHead.load()};
  for (int round = 0; round < 100; ++round) {
    void* block = header.PopBlock(16);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(heads.insert(header.mFreeListHead.load()).second);
    header.PushBlock(block, chunk.LinkOf(block));
    // Same top block as before the pop, yet a head a stale CAS cannot match.
    EXPECT_TRUE(heads.insert(header.mFreeListHead.load()).second);
  }
}

TEST(SmallBlockAllocatorChunkHeader, BatchesComeOffAndGoBackOnTheTopWithOneTagStep) {
  const std::size_t blockSize = 48;
  TestChunk chunk(kSmallChunk, blockSize);
  hooks::ChunkHeader& header = *chunk.mHeader;
  auto tagOf = [](std::uint64_t inHead) { return inHead / hooks::ChunkHeader::kTagUnit; };

  // A fresh chunk: the top of its list is the highest block, then downwards.
  void* taken[8] = {};
  std::uint64_t head = header.mFreeListHead.load();
  ASSERT_EQ(header.PopBlocks(blockSize, 5, taken), 5u);
  EXPECT_EQ(tagOf(header.mFreeListHead.load()), tagOf(head) + 1);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(taken[i], chunk.Block(84 - i)) << i;

  // A batch goes back with its first block on top, in its own order.
  void* const back[] = {chunk.Block(82), chunk.Block(84), chunk.Block(80)};
  const std::uint64_t links[] = {83, 85, 81};
  head = header.mFreeListHead.load();
  header.PushBlocks(back, links, 3);
  EXPECT_EQ(tagOf(header.mFreeListHead.load()), tagOf(head) + 1);
  void* again[8] = {};
  ASSERT_EQ(header.PopBlocks(blockSize, 4, again), 4u);
  EXPECT_EQ(std::vector<void*>(again, again + 4),
            std::vector<void*>({chunk.Block(82), chunk.Block(84), chunk.Block(80), chunk.Block(79)}));

  // Asking for more than is left takes what is left.
  std::vector<void*> rest(100);
  EXPECT_EQ(header.PopBlocks(blockSize, rest.size(), rest.data()), 85u - 5 - 1);
  EXPECT_EQ(rest[85 - 5 - 2], chunk.Block(0));
  EXPECT_EQ(header.PopBlocks(blockSize, 8, again), 0u);
  EXPECT_FALSE(header.HasFreeBlock());
}

// Threads take blocks, singly or in batches, scribble over all of them (link
// word included, as users do) and give them back the same way; no block may
// ever be held twice, and none may get lost.
TEST(SmallBlockAllocatorChunkHeader, ConcurrentPopAndPushNeverShareABlock) {
  for (const std::size_t maxBatch : {1, 8}) {
    SCOPED_TRACE("batches of up to " + std::to_string(maxBatch));
    const std::size_t blockSize = 16;
    TestChunk chunk(kSmallChunk, blockSize);
    hooks::ChunkHeader& header = *chunk.mHeader;
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
            if (std::any_of(block, block + blockSize, [t](unsigned char inByte) { return inByte != t + 1; }))
              sharedBlocks.fetch_add(1);
            batch.push_back(block);
            links.push_back(chunk.LinkOf(block));
          }
          if (batch.size() == 1)
            header.PushBlock(batch[0], links[0]);
          else if (!batch.empty())
            header.PushBlocks(batch.data(), links.data(), batch.size());
        };
        for (int round = 0; round < kRounds; ++round) {
          void* taken[8];
          const std::size_t want = 1 + random() % maxBatch;
          const std::size_t count = want == 1 ? (taken[0] = header.PopBlock(blockSize)) != nullptr
                                              : header.PopBlocks(blockSize, want, taken);
          for (std::size_t i = 0; i < count; ++i) {
            std::memset(taken[i], t + 1, blockSize);
            held.push_back(taken[i]);
          }
          if (held.size() > 3 * maxBatch || round % 3 == 0) giveBack(1 + random() % maxBatch);
        }
        while (!held.empty()) giveBack(maxBatch);
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(sharedBlocks.load(), 0);
    std::set<void*> distinct;
    while (void* block = header.PopBlock(blockSize)) EXPECT_TRUE(distinct.insert(block).second);
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
  sizes.insert(sizes.end(), {kSmallChunk, 8193, 66623, kMediumChunk, 66625, kLargeChunk, 3000000});
  std::vector<unsigned char*> blocks;
  for (const std::size_t size : sizes) {
    SCOPED_TRACE("size " + std::to_string(size));
    auto* block = static_cast<unsigned char*>(sba::Allocate(size));
    ASSERT_NE(block, nullptr);
    // Sizes no class serves get pages of their own.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % (hooks::GetClassForSize(size) != nullptr ? 16 : 4096), 0u);
    std::memset(block, static_cast<int>(size & 0xFF), sba::GetActualAllocationSize(size));
    blocks.push_back(block);
  }
  // Neighbours did not overwrite each other, and pages of their own go back
  // to the system at once.
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    SCOPED_TRACE("size " + std::to_string(sizes[b]));
    for (std::size_t i = 0; i < sba::GetActualAllocationSize(sizes[b]); i += 61) ASSERT_EQ(blocks[b][i], sizes[b] & 0xFF);
    sba::Dispose(blocks[b], sizes[b]);
    if (hooks::GetClassForSize(sizes[b]) == nullptr) {
      EXPECT_FALSE(IsMapped(blocks[b]));
    }
  }
  sba::Dispose(nullptr, 16);
  sba::Dispose(nullptr, 100000);
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
  const std::pair<std::int64_t, std::int64_t> parentBalanceAtStart = ParentBalance();

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
  // 66624-byte chunks until it holds 932800 bytes, then 932800 bytes. A new
  // chunk hands out its highest block first.
  std::set<std::uint64_t> rungs;
  for (std::size_t i = 0; i < growths.size(); ++i) {
    const Growth& growth = growths[i];
    SCOPED_TRACE("growth " + std::to_string(i) + " at " + std::to_string(growth.mTotalBefore) + " bytes");
    EXPECT_EQ(growth.mChunk.mChunkSize, growth.mTotalBefore < kMediumChunk  ? kSmallChunk
                                        : growth.mTotalBefore < kLargeChunk ? kMediumChunk
                                                                            : kLargeChunk);
    rungs.insert(growth.mChunk.mChunkSize);
    const auto* chunkStart = static_cast<const unsigned char*>(growth.mChunk.mAddress);
    EXPECT_EQ(growth.mFirstBlock, chunkStart + 64 + (growth.mChunk.mBlockCount - 1) * kSize);
  }
  ASSERT_EQ(rungs.size(), 3u) << "the ladder skipped a rung";
  const void* largeChunk = growths.back().mChunk.mAddress;

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
  // from the 66624 class, 932800 bytes straight from virtual memory; and the
  // parents handed out exactly the chunks the class (and the 4160 class)
  // took.
  const hooks::ClassSnapshot smallGrown = Snap(kSmallChunk);
  const hooks::ClassSnapshot mediumGrown = Snap(kMediumChunk);
  for (const hooks::ChunkInfo& chunk : snapshot.mChunks) {
    EXPECT_EQ(ChunkHolding(smallGrown, chunk.mAddress) != nullptr, chunk.mChunkSize == kSmallChunk);
    EXPECT_EQ(ChunkHolding(mediumGrown, chunk.mAddress) != nullptr, chunk.mChunkSize == kMediumChunk);
    if (chunk.mChunkSize == kLargeChunk) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(chunk.mAddress) % 4096, 0u);
    }
  }
  EXPECT_EQ(ParentBalance(), parentBalanceAtStart);

  // Shrinking: a chunk that is not the class's last one goes back as soon as
  // its last block is back in it; Snap gives the thread's cache back after
  // every dispose, so that is at once here. First a chunk from the middle,
  // then the rest from the newest block to the oldest.
  const void* middle = growths[growths.size() / 2].mChunk.mAddress;
  const hooks::ClassSnapshot grown = snapshot;
  std::vector<unsigned char*> order;
  for (unsigned char* block : blocks)
    if (ChunkHolding(grown, block)->mAddress == middle) order.push_back(block);
  for (auto it = blocks.rbegin(); it != blocks.rend(); ++it)
    if (ChunkHolding(grown, *it)->mAddress != middle) order.push_back(*it);
  for (unsigned char* block : order) {
    const void* chunk = ChunkHolding(grown, block)->mAddress;
    const std::size_t chunksBefore = snapshot.mChunks.size();
    sba::Dispose(block, kSize);
    snapshot = Snap(kSize);
    if (--blocksPerChunk[chunk] == 0 && chunksBefore > 1) {
      EXPECT_EQ(snapshot.mChunks.size(), chunksBefore - 1);
      EXPECT_EQ(ChunkHolding(snapshot, block), nullptr);
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
  EXPECT_NE(std::find(cached.begin(), cached.end(), largeChunk), cached.end());
  EXPECT_TRUE(IsMapped(largeChunk));
  EXPECT_EQ(ParentBalance(), parentBalanceAtStart);
}

// Chunks differ in size, so the least used chunk can be full while a bigger
// one has room: the class must use that room before it takes another chunk.
TEST(SmallBlockAllocatorChunks, FreeBlocksInABiggerChunkAreUsedBeforeGrowing) {
  constexpr std::size_t kSize = 2432;  // 2305 to 2432 bytes: 27 blocks a 66624-byte chunk
  ASSERT_LE(Snap(kSize).mChunks.size(), 1u) << "another user holds chunks of this class";
  ASSERT_EQ(TotalUsed(Snap(kSize)), 0u) << "another user holds blocks of this class";
  auto chunkOfSize = [](const hooks::ClassSnapshot& inSnapshot, std::size_t inChunkSize) -> const hooks::ChunkInfo* {
    for (const hooks::ChunkInfo& chunk : inSnapshot.mChunks)
      if (chunk.mChunkSize == inChunkSize) return &chunk;
    return nullptr;
  };
  // Grow until the big chunk has more blocks in use than a full 66624-byte
  // chunk has, so that a full small chunk is the least used one.
  std::vector<void*> blocks;
  hooks::ClassSnapshot snapshot = Snap(kSize);
  while (chunkOfSize(snapshot, kLargeChunk) == nullptr || chunkOfSize(snapshot, kLargeChunk)->mUsedCount < 40) {
    ASSERT_LT(blocks.size(), 2000u);
    blocks.push_back(sba::Allocate(kSize));
    snapshot = Snap(kSize);
  }
  // Emptying one small chunk releases it and leaves no current chunk.
  const hooks::ChunkInfo* victim = chunkOfSize(snapshot, kMediumChunk);
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
  const hooks::ChunkInfo* large = chunkOfSize(snapshot, kLargeChunk);
  ASSERT_EQ(freeBlocks, large->mBlockCount - large->mUsedCount);
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
  std::thread([&blocks] {
    for (int i = 0; i < 100; ++i) {
      blocks.push_back(static_cast<unsigned char*>(sba::Allocate(kSize)));
      std::memset(blocks.back(), i, kSize);
    }
  }).join();
  EXPECT_EQ(TotalUsed(Snap(kSize)), usedBefore + 100);
  std::atomic<int> corrupted{0};
  std::thread([&blocks, &corrupted] {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      for (std::size_t b = 0; b < kSize; b += 97)
        if (blocks[i][b] != static_cast<unsigned char>(i)) corrupted.fetch_add(1);
      sba::Dispose(blocks[i], kSize);
    }
  }).join();
  EXPECT_EQ(corrupted.load(), 0);
  const hooks::ClassSnapshot after = Snap(kSize);
  EXPECT_EQ(TotalUsed(after), usedBefore);
  EXPECT_EQ(after.mChunks.size(), 1u);
  ExpectConsistent(after);
}

// ---------------------------------------------------------------------------
// Thread caches.
// ---------------------------------------------------------------------------

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
  for (const std::size_t blockSize : {16, 640, 2048, 8192}) {
    SCOPED_TRACE("class " + std::to_string(blockSize));
    const std::size_t batch = (hooks::ThreadCacheLimit(blockSize) + 1) / 2;
    hooks::FlushThreadCache();
    const std::uint64_t used = UsedWithoutFlush(blockSize);
    std::vector<void*> blocks;
    for (std::size_t round = 1; round <= 2; ++round) {
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
  std::thread([&] {
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
  }).join();
  // The two, and one left of the second batch taken from the class.
  EXPECT_EQ(cachedInThread, 2u + 1u);
  EXPECT_EQ(usedInThread, usedBefore + 4);
  EXPECT_EQ(cachedAfterRetirement, 0u);
  const hooks::ClassSnapshot after = Snap(kSize);
  EXPECT_EQ(TotalUsed(after), usedBefore);
  ExpectConsistent(after);
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
  for (void* block : {classBlock, systemBlock}) {
    sba::Dispose(block, kSize);
    EXPECT_EQ(hooks::GetThreadCacheCount(kSize), 0u);
    EXPECT_EQ(UsedWithoutFlush(kSize), used);
  }
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
// Freed 932800-byte chunks, and a class that cannot grow.
// ---------------------------------------------------------------------------

// The 66624 class takes 932800-byte chunks of 14 blocks each, straight from
// virtual memory, and touches only one page per block, so it grows cheaply.
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
  std::set<const void*> newChunks;
  for (const hooks::ChunkInfo& chunk : Snap(kMediumChunk).mChunks)
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
  for (const void* chunk : released) {
    const bool isCached = std::find(cached.begin(), cached.end(), chunk) != cached.end();
    EXPECT_EQ(IsMapped(chunk), isCached);
  }
  for (const void* chunk : cached) EXPECT_EQ(released.count(chunk), 1u);

  // The class's next chunk is the one freed last.
  const std::size_t chunkCount = shrunk.mChunks.size();
  blocks.clear();
  for (std::uint64_t i = 0; i <= shrunk.mFreeBlockCount; ++i) blocks.push_back(sba::Allocate(kMediumChunk));
  const hooks::ClassSnapshot regrown = Snap(kMediumChunk);
  ASSERT_EQ(regrown.mChunks.size(), chunkCount + 1);
  ASSERT_NE(ChunkHolding(regrown, blocks.back()), nullptr);
  EXPECT_EQ(ChunkHolding(regrown, blocks.back())->mAddress, cached.back());
  EXPECT_EQ(hooks::GetCachedLargeChunks().size(), kLimit - 1);

  // Full, and refused memory by the system and so by the cache too, the class
  // throws and stays as it was, published and usable, however often asked.
  hooks::ClassSnapshot full = regrown;
  for (; full.mFreeBlockCount != 0; full = Snap(kMediumChunk)) blocks.push_back(sba::Allocate(kMediumChunk));
  {
    hooks::ScFailSystemMemory failing;
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        blocks.push_back(sba::Allocate(kMediumChunk));
        ADD_FAILURE() << "grew without memory";
      } catch (const std::bad_alloc& error) {
        EXPECT_STREQ(error.what(), "bad allocation");
      }
      const hooks::ClassSnapshot failed = Snap(kMediumChunk);
      EXPECT_EQ(failed.mChunks.size(), full.mChunks.size());
      EXPECT_EQ(failed.mTotalChunkBytes, full.mTotalChunkBytes);
      ExpectConsistent(failed);
    }
    EXPECT_EQ(hooks::GetCachedLargeChunks().size(), kLimit - 1);
    // A class that has a free block still serves without the system.
    sba::Dispose(blocks.back(), kMediumChunk);
    blocks.pop_back();
    blocks.push_back(sba::Allocate(kMediumChunk));
  }
  blocks.push_back(sba::Allocate(kMediumChunk));
  EXPECT_EQ(Snap(kMediumChunk).mChunks.size(), full.mChunks.size() + 1);

  for (void* block : blocks) sba::Dispose(block, kMediumChunk);
  const std::vector<const void*> left = hooks::GetCachedLargeChunks();
  hooks::ReleaseCachedLargeChunks();
  EXPECT_TRUE(hooks::GetCachedLargeChunks().empty());
  for (const void* chunk : left) EXPECT_FALSE(IsMapped(chunk));
  const hooks::ClassSnapshot end = Snap(kMediumChunk);
  EXPECT_EQ(TotalUsed(end), TotalUsed(start));
  ExpectConsistent(end);
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
      // 8192 bytes and more come from virtual memory.
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % (size >= 8192 ? 4096 : 16), 0u);
      std::memset(block, 0x5A, std::max<std::size_t>(size, 1));
      blocks.push_back(block);
    }
    // Disposal during initialisation takes the system route by size too.
    sba::Dispose(sba::Allocate(48), 48);
    sba::Dispose(sba::Allocate(20000), 20000);
  }
  // No class handed them out, and no class claims them: disposal now asks
  // the class, which declines, and the system route frees the block (the
  // sanitizers check that it is the right one).
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE("size " + std::to_string(sizes[i]));
    hooks::AllocatorInterface* manager = hooks::GetClassForSize(sizes[i]);
    if (manager != nullptr) {
      EXPECT_EQ(TotalUsed(SnapClass(*manager)), usedBefore[i]);
      EXPECT_FALSE(manager->Dispose(blocks[i], sizes[i]));
    }
    sba::Dispose(blocks[i], sizes[i]);
    if (sizes[i] >= 8192) {
      EXPECT_FALSE(IsMapped(blocks[i]));
    }
    if (manager != nullptr) {
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

// Each class serves its block size from its own chunks, also through the
// interface (the exact chunk sizes included), and nothing larger: a larger
// size is an input contract violation that changes nothing.
TEST(SmallBlockAllocatorContract, EveryClassServesItsBlockSizeAndNothingLarger) {
  ContractErrorManager manager;
  auto expectViolation = [](auto inCall) {
    try {
      inCall();
      ADD_FAILURE() << "an oversized request was accepted";
    } catch (const ContractErrorManager::reported& error) {
      EXPECT_STREQ(error.what(),
                   "$$$/basalt/utility/Error/Contract/InputContractViolation=An input contract violation has occurred!");
      EXPECT_EQ(error.mGroup, 105u);
      EXPECT_EQ(error.mNumber, 25);
    }
  };
  for (hooks::AllocatorInterface* sizeClass : hooks::GetAllClasses()) {
    const std::size_t blockSize = sizeClass->GetBlockSize();
    SCOPED_TRACE("class " + std::to_string(blockSize));
    const std::uint64_t usedBefore = TotalUsed(SnapClass(*sizeClass));
    expectViolation([&] { sizeClass->Allocate(blockSize + 1); });
    void* block = sizeClass->Allocate(blockSize);
    void* routed = sba::Allocate(blockSize);
    const hooks::ClassSnapshot during = SnapClass(*sizeClass);
    ExpectConsistent(during);
    EXPECT_NE(ChunkHolding(during, block), nullptr);
    EXPECT_NE(ChunkHolding(during, routed), nullptr);
    // Table classes' blocks wait in the thread's cache; the 4160 and 66624
    // classes' blocks are chunks for other classes and go straight back.
    const bool parent = blockSize == kSmallChunk || blockSize == kMediumChunk;
    sba::Dispose(routed, blockSize);
    EXPECT_EQ(hooks::GetThreadCacheCount(blockSize), parent ? 0u : 1u);
    EXPECT_EQ(UsedWithoutFlush(blockSize), usedBefore + (parent ? 1 : 2));
    expectViolation([&] { sizeClass->Dispose(block, blockSize + 1); });
    EXPECT_TRUE(sizeClass->Dispose(block, blockSize));
    const hooks::ClassSnapshot after = SnapClass(*sizeClass);
    EXPECT_EQ(TotalUsed(after), usedBefore);
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
      sba::Dispose(sba::Allocate(inSize), inSize);
      ADD_FAILURE() << "no exception";
    } catch (const std::bad_alloc& error) {
      EXPECT_STREQ(error.what(), "bad allocation");
    }
  };
  expectBadAllocation(std::numeric_limits<std::size_t>::max());
  expectBadAllocation(std::numeric_limits<std::size_t>::max() - 4096);
  expectBadAllocation(std::size_t{1} << 62);
  // The simulation below first makes sure the classes exist, which must not
  // need the memory about to be refused even when this test runs alone.
  hooks::GetClassForSize(0);
  hooks::ScFailSystemMemory failing;
  expectBadAllocation(20000);
  hooks::ScSimulateInitialisationInProgress inProgress;
  expectBadAllocation(100);
  expectBadAllocation(8192);
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
  using Failing = FailingObject<300>;
  const std::uint64_t used = TotalUsed(Snap(sizeof(Failing)));
  void* address = nullptr;
  EXPECT_THROW(new (std::nothrow) Failing(&address), std::runtime_error);
  EXPECT_NE(ChunkHolding(Snap(sizeof(Failing)), address), nullptr);
  EXPECT_EQ(TotalUsed(Snap(sizeof(Failing))), used);

  address = nullptr;
  EXPECT_THROW(new (std::nothrow) FailingObject<30000>(&address), std::runtime_error);
  ASSERT_NE(address, nullptr);
  EXPECT_FALSE(IsMapped(address));

  // Blocks from the system heap, taken while initialisation is under way, go
  // back there; after a successful construction the sized delete frees them.
  hooks::ScSimulateInitialisationInProgress inProgress;
  EXPECT_THROW(new (std::nothrow) Failing(&address), std::runtime_error);
  EXPECT_EQ(TotalUsed(Snap(sizeof(Failing))), used);
  SmallObject* object = new (std::nothrow) SmallObject;
  ASSERT_NE(object, nullptr);
  delete object;
  LargeObject* large = new (std::nothrow) LargeObject;
  ASSERT_NE(large, nullptr);
  delete large;
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

  const std::vector<hooks::AllocatorInterface*> classes = hooks::GetAllClasses();
  const std::pair<std::int64_t, std::int64_t> parentBalanceBefore = ParentBalance();
  std::vector<std::uint64_t> usedBefore;
  for (hooks::AllocatorInterface* manager : classes) usedBefore.push_back(TotalUsed(SnapClass(*manager)));

  auto pickSize = [](std::mt19937& ioRandom) -> std::size_t {
    const unsigned kind = ioRandom() % 100;
    const std::size_t size = kind < 60   ? ioRandom() % 257
                             : kind < 90 ? ioRandom() % 8193
                             : kind < 94 ? kSmallChunk
                             : kind < 96 ? kMediumChunk
                             : kind < 98 ? 8193 + ioRandom() % 30000
                                         : 0;
    // Leave the classes that other tests watch alone.
    const std::size_t actual = sba::GetActualAllocationSize(size);
    return actual == 896 || actual == 2432 || actual == 3968 ? 64 : size;
  };
  auto send = [&](int inTarget, const Block& inBlock) {
    std::lock_guard<std::mutex> guard(inboxes[inTarget].mLock);
    inboxes[inTarget].mBlocks.push_back(inBlock);
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
      bool intact = block.mSize == 0 || block.mData[block.mSize - 1] == block.mFill;
      for (std::size_t i = 0; i < block.mSize; i += 13) intact = intact && block.mData[i] == block.mFill;
      if (!intact) corrupted.fetch_add(1);
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
            send((t + 1 + static_cast<int>(i % (kThreads - 1))) % kThreads, block);
          }
        }
        const std::size_t size = pickSize(random);
        const Block block{static_cast<unsigned char*>(sba::Allocate(size)), size,
                          static_cast<unsigned char>(random())};
        if (reinterpret_cast<std::uintptr_t>(block.mData) % 16 != 0) corrupted.fetch_add(1);
        std::memset(block.mData, block.mFill, size);
        send((t + 1 + static_cast<int>(random() % (kThreads - 1))) % kThreads, block);
        drainSome(t, 2);
      }
      producing.fetch_sub(1);
      // Keep draining until every producer is done and the inbox is empty.
      for (;;) {
        const bool last = producing.load() == 0;
        drainSome(t, std::numeric_limits<std::size_t>::max());
        if (last) return;
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
