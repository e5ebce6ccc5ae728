#include <basalt/utility/ImmutableString.h>

#include <basalt/utility/SmallBlockAllocator.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string_view>

namespace basalt {
namespace utility {

struct ImmutableString::InternalRepresentation {
  // Holders of a dynamic representation; unused for static ones.
  std::atomic<std::uint32_t> mRefCount;
  bool mDynamic;
  std::uint8_t mShard;
  std::uint64_t mLength;
  const char* mText;
  // Links of the shard's list of expired representations. Kept in the record
  // so that expiring, which runs in destructors, never allocates.
  InternalRepresentation* mExpiredPrevious;
  InternalRepresentation* mExpiredNext;
};

const char ImmutableString::sNullString[1] = {'\0'};

namespace {

typedef ImmutableString::InternalRepresentation Representation;

constexpr std::size_t kShardCount = 64;

struct TextKey {
  const char* mText;
  std::uint64_t mLength;
};

// Length first, then bytes: most lookups are decided by the length alone.
struct RepresentationLess {
  typedef void is_transparent;
  static int Order(const char* inLeft, std::uint64_t inLeftLength, const char* inRight,
                   std::uint64_t inRightLength) noexcept {
    if (inLeftLength != inRightLength) return inLeftLength < inRightLength ? -1 : 1;
    return std::memcmp(inLeft, inRight, inLeftLength);
  }
  bool operator()(const Representation* inLeft, const Representation* inRight) const noexcept {
    return Order(inLeft->mText, inLeft->mLength, inRight->mText, inRight->mLength) < 0;
  }
  bool operator()(const Representation* inLeft, const TextKey& inRight) const noexcept {
    return Order(inLeft->mText, inLeft->mLength, inRight.mText, inRight.mLength) < 0;
  }
  bool operator()(const TextKey& inLeft, const Representation* inRight) const noexcept {
    return Order(inLeft.mText, inLeft.mLength, inRight->mText, inRight->mLength) < 0;
  }
};

// A dynamic representation's count goes from 0 to 1 (revival) and from 1 to
// 0 (expiry) only under its shard's lock, so a representation is on the
// expired list exactly while its count is 0, and a purge that sees 0 under
// the lock frees a representation nobody holds or can reach.
struct Shard {
  std::recursive_mutex mLock;
  std::set<Representation*, RepresentationLess, SmallBlockAllocator::STLAllocator<Representation*>> mLive;
  Representation* mExpiredHead = nullptr;

  void Expire(Representation* inRepresentation) noexcept {
    inRepresentation->mExpiredPrevious = nullptr;
    inRepresentation->mExpiredNext = mExpiredHead;
    if (mExpiredHead) mExpiredHead->mExpiredPrevious = inRepresentation;
    mExpiredHead = inRepresentation;
  }
  void Revive(Representation* inRepresentation) noexcept {
    if (inRepresentation->mExpiredPrevious)
      inRepresentation->mExpiredPrevious->mExpiredNext = inRepresentation->mExpiredNext;
    else
      mExpiredHead = inRepresentation->mExpiredNext;
    if (inRepresentation->mExpiredNext)
      inRepresentation->mExpiredNext->mExpiredPrevious = inRepresentation->mExpiredPrevious;
    inRepresentation->mExpiredPrevious = inRepresentation->mExpiredNext = nullptr;
  }
};

// Never destroyed: strings held by other static objects may be released
// after this file's statics would have been torn down.
Shard* Shards() {
  static Shard* const sShards = new Shard[kShardCount];
  return sShards;
}

std::size_t ShardIndex(const char* inText, std::uint64_t inLength) noexcept {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(inText);
  return static_cast<std::size_t>((inLength + bytes[inLength * 2 / 3] + bytes[inLength - 1]) % kShardCount);
}

std::size_t RecordSize(const Representation* inRepresentation) noexcept {
  return inRepresentation->mDynamic ? sizeof(Representation) + inRepresentation->mLength + 1
                                    : sizeof(Representation);
}

void AddReference(Representation* inRepresentation) noexcept {
  if (inRepresentation && inRepresentation->mDynamic)
    inRepresentation->mRefCount.fetch_add(1, std::memory_order_relaxed);
}

void DropReference(Representation* inRepresentation) noexcept {
  if (!inRepresentation || !inRepresentation->mDynamic) return;
  std::uint32_t count = inRepresentation->mRefCount.load(std::memory_order_relaxed);
  while (count > 1) {
    if (inRepresentation->mRefCount.compare_exchange_weak(count, count - 1, std::memory_order_release,
                                                          std::memory_order_relaxed))
      return;
  }
  // Perhaps the last holder: the fall to 0 happens under the lock (see Shard).
  Shard& shard = Shards()[inRepresentation->mShard];
  std::lock_guard<std::recursive_mutex> lock(shard.mLock);
  if (inRepresentation->mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) shard.Expire(inRepresentation);
}

std::uint64_t StrLen(const void* inText) noexcept {
  return inText ? std::strlen(static_cast<const char*>(inText)) : 0;
}

int Sign(int inValue) noexcept { return (inValue > 0) - (inValue < 0); }

}  // namespace

ImmutableString::ImmutableString(InternalRepresentation* inRepresentation, AdoptTag) noexcept
    : mRepresentation(inRepresentation),
      mText(inRepresentation ? inRepresentation->mText : sNullString),
      mLength(inRepresentation ? inRepresentation->mLength : 0) {}

ImmutableString::ImmutableString(InternalRepresentation* inRepresentation) noexcept
    : ImmutableString(inRepresentation, AdoptTag()) {
  AddReference(mRepresentation);
}

ImmutableString::ImmutableString(const ImmutableString& inOther) noexcept
    : mRepresentation(inOther.mRepresentation), mText(inOther.mText), mLength(inOther.mLength) {
  AddReference(mRepresentation);
}

ImmutableString::ImmutableString(ImmutableString&& inOther) noexcept
    : mRepresentation(inOther.mRepresentation), mText(inOther.mText), mLength(inOther.mLength) {
  inOther.mRepresentation = nullptr;
  inOther.mText = sNullString;
  inOther.mLength = 0;
}

ImmutableString& ImmutableString::operator=(const ImmutableString& inOther) noexcept {
  AddReference(inOther.mRepresentation);
  DropReference(mRepresentation);
  mRepresentation = inOther.mRepresentation;
  mText = inOther.mText;
  mLength = inOther.mLength;
  return *this;
}

ImmutableString& ImmutableString::operator=(ImmutableString&& inOther) noexcept {
  if (this != &inOther) {
    DropReference(mRepresentation);
    mRepresentation = inOther.mRepresentation;
    mText = inOther.mText;
    mLength = inOther.mLength;
    inOther.mRepresentation = nullptr;
    inOther.mText = sNullString;
    inOther.mLength = 0;
  }
  return *this;
}

ImmutableString::~ImmutableString() { DropReference(mRepresentation); }

ImmutableString ImmutableString::Intern(const char* inText, std::uint64_t inLength, bool inDynamic) {
  if (inLength == 0) return ImmutableString();
  const std::size_t shardIndex = ShardIndex(inText, inLength);
  Shard& shard = Shards()[shardIndex];
  std::lock_guard<std::recursive_mutex> lock(shard.mLock);
  const auto found = shard.mLive.find(TextKey{inText, inLength});
  if (found != shard.mLive.end()) {
    Representation* representation = *found;
    if (representation->mDynamic && representation->mRefCount.fetch_add(1, std::memory_order_relaxed) == 0)
      shard.Revive(representation);
    return ImmutableString(representation, AdoptTag());
  }

  if (inDynamic && inLength > static_cast<std::uint64_t>(-1) - sizeof(Representation) - 1) throw std::bad_alloc();
  const std::size_t recordSize =
      inDynamic ? sizeof(Representation) + static_cast<std::size_t>(inLength) + 1 : sizeof(Representation);
  void* memory = SmallBlockAllocator::Allocate(recordSize);
  Representation* representation = new (memory) Representation;
  representation->mRefCount.store(inDynamic ? 1 : 0, std::memory_order_relaxed);
  representation->mDynamic = inDynamic;
  representation->mShard = static_cast<std::uint8_t>(shardIndex);
  representation->mLength = inLength;
  representation->mExpiredPrevious = representation->mExpiredNext = nullptr;
  if (inDynamic) {
    char* copy = static_cast<char*>(memory) + sizeof(Representation);
    std::memcpy(copy, inText, static_cast<std::size_t>(inLength));
    copy[inLength] = '\0';
    representation->mText = copy;
  } else {
    representation->mText = inText;
  }
  try {
    shard.mLive.insert(representation);
  } catch (...) {
    representation->~Representation();
    SmallBlockAllocator::Dispose(memory, recordSize);
    throw;
  }
  return ImmutableString(representation, AdoptTag());
}

ImmutableString ImmutableString::CreateDynamic(const char* inText) { return Intern(inText, StrLen(inText), true); }

ImmutableString ImmutableString::CreateDynamic(const unsigned char* inText) {
  return Intern(reinterpret_cast<const char*>(inText), StrLen(inText), true);
}

ImmutableString ImmutableString::CreateDynamic(const unsigned char* inText, std::uint64_t inLength) {
  return Intern(reinterpret_cast<const char*>(inText), inText ? inLength : 0, true);
}

ImmutableString ImmutableString::CreateDynamic(const std::string& inText) {
  return Intern(inText.data(), inText.size(), true);
}

ImmutableString ImmutableString::CreateDynamic(const UTF8String& inText) {
  return Intern(reinterpret_cast<const char*>(inText.data()), inText.size(), true);
}

ImmutableString ImmutableString::CreateDynamic(const UTF16String& inText) { return CreateDynamic(UTF16to8(inText)); }

ImmutableString ImmutableString::CreateDynamic(const UTF16Char* inText) { return CreateDynamic(UTF16to8(inText)); }

ImmutableString ImmutableString::CreateStatic(const char* inText) { return Intern(inText, StrLen(inText), false); }

ImmutableString ImmutableString::CreateStatic(const unsigned char* inText) {
  return Intern(reinterpret_cast<const char*>(inText), StrLen(inText), false);
}

int ImmutableString::CompareBytes(const char* inText, std::uint64_t inLength) const noexcept {
  if (mLength == 0) return inLength == 0 ? 0 : -1;
  if (inLength == 0) return 1;
  const int bytes = std::memcmp(mText, inText, static_cast<std::size_t>(std::min(mLength, inLength)));
  if (bytes != 0) return Sign(bytes);
  return mLength < inLength ? -1 : mLength > inLength ? 1 : 0;
}

int ImmutableString::Compare(const ImmutableString& inOther) const noexcept {
  if (mRepresentation == inOther.mRepresentation) return 0;
  return CompareBytes(inOther.mText, inOther.mLength);
}

int ImmutableString::Compare(const std::string& inOther) const noexcept {
  return CompareBytes(inOther.data(), inOther.size());
}

int ImmutableString::Compare(const UTF8String& inOther) const noexcept {
  return CompareBytes(reinterpret_cast<const char*>(inOther.data()), inOther.size());
}

int ImmutableString::Compare(const UTF16String& inOther) const { return Compare(UTF16to8(inOther)); }

int ImmutableString::Compare(const char* inOther) const noexcept { return CompareBytes(inOther, StrLen(inOther)); }

int ImmutableString::Compare(const unsigned char* inOther) const noexcept {
  return CompareBytes(reinterpret_cast<const char*>(inOther), StrLen(inOther));
}

int ImmutableString::Compare(const UTF16Char* inOther) const { return Compare(UTF16to8(inOther)); }

bool ImmutableString::ContainsBytes(const char* inText, std::uint64_t inLength) const noexcept {
  if (mLength == 0 || inLength == 0 || inLength > mLength) return false;
  const std::string_view haystack(mText, static_cast<std::size_t>(mLength));
  return haystack.find(std::string_view(inText, static_cast<std::size_t>(inLength))) != std::string_view::npos;
}

bool ImmutableString::Contains(const ImmutableString& inNeedle) const noexcept {
  if (mRepresentation && mRepresentation == inNeedle.mRepresentation) return true;
  return ContainsBytes(inNeedle.mText, inNeedle.mLength);
}

bool ImmutableString::Contains(const UTF8String& inNeedle) const noexcept {
  return ContainsBytes(reinterpret_cast<const char*>(inNeedle.data()), inNeedle.size());
}

bool ImmutableString::Contains(const char* inNeedle) const noexcept {
  return ContainsBytes(inNeedle, StrLen(inNeedle));
}

bool ImmutableString::Contains(const unsigned char* inNeedle) const noexcept {
  return ContainsBytes(reinterpret_cast<const char*>(inNeedle), StrLen(inNeedle));
}

bool ImmutableString::Contains(const UTF16Char* inNeedle) const { return Contains(UTF16to8(inNeedle)); }

UTF16String ImmutableString::ToString() const {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(mText);
  return UTF8to16(UTF8String(bytes, bytes + mLength));
}

bool ImmutableString::PurgeUnusedStrings() {
  bool freed = false;
  Shard* shards = Shards();
  for (std::size_t i = 0; i < kShardCount; ++i) {
    Shard& shard = shards[i];
    std::lock_guard<std::recursive_mutex> lock(shard.mLock);
    while (Representation* representation = shard.mExpiredHead) {
      shard.Revive(representation);
      if (representation->mRefCount.load(std::memory_order_acquire) != 0) continue;
      shard.mLive.erase(representation);
      const std::size_t recordSize = RecordSize(representation);
      representation->~Representation();
      SmallBlockAllocator::Dispose(representation, recordSize);
      freed = true;
    }
  }
  return freed;
}

}  // namespace utility
}  // namespace basalt
