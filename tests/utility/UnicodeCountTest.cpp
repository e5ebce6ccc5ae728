// GetUTF8ByteCount and GetUTF8CharacterCount: the counting rules, the
// guarantee that neither reads past a terminator (or, for the character
// count, past the byte limit), and counts beyond the range of int.
#include <basalt/utility/UnicodeString.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if defined(__linux__)
#  include <sys/mman.h>
#  include <unistd.h>
#endif

namespace basalt {
namespace utility {
namespace {

// The text in a heap block of exactly its size (no terminator added), so that
// a read past it is caught by AddressSanitizer.
std::unique_ptr<unsigned char[]> Exact(const std::string& inBytes) {
  std::unique_ptr<unsigned char[]> block(new unsigned char[inBytes.size()]);
  std::memcpy(block.get(), inBytes.data(), inBytes.size());
  return block;
}

TEST(UTF8Counts, ByteCountTable) {
  struct Case {
    const char* mName;
    std::string mText;  // the exact bytes, terminator included where present
    int mCharacters;
    int mExpected;
  };
  const std::string mixed(
      "a\xC3\xA9"
      "b\0",
      5);
  const std::vector<Case> cases = {
      {"zero characters", mixed, 0, 0},
      {"one", mixed, 1, 1},
      {"two-byte character counts whole", mixed, 2, 3},
      {"three", mixed, 3, 4},
      {"stops at the terminator", mixed, 100, 4},
      {"negative count is no limit", mixed, -1, 4},
      {"empty text", std::string("\0", 1), 5, 0},
      {"four-byte", std::string("\xF0\x9F\x98\x80\0", 5), 1, 4},
      {"five-byte lead", std::string("a\xF8\x88\x80\x80\x80\0", 7), -1, -1},
      {"six-byte lead", std::string("\xFC\x84\x80\x80\x80\x80\0", 7), 1, -1},
      {"oversized lead not reached", std::string("ab\xF8\0", 4), 2, 2},
      {"continuation bytes are not validated",
       std::string("\xC3"
                   "Ab\0",
                   4),
       1, 2},
      {"stray continuation counts one", std::string("\x80\x80\0", 3), -1, 2},
      {"terminator inside a two-byte character", std::string("a\xC3\0", 3), -1, 2},
      {"terminator inside, character limit reached", std::string("a\xC3\0", 3), 2, 2},
      {"terminator inside a four-byte character", std::string("\xF0\x9F\0", 3), 5, 2},
      {"terminator right after the lead", std::string("\xE4\0", 2), 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    const auto text = Exact(c.mText);
    EXPECT_EQ(GetUTF8ByteCount(text.get(), c.mCharacters), c.mExpected);
  }
  EXPECT_EQ(GetUTF8ByteCount(nullptr, 3), 0);
  EXPECT_EQ(GetUTF8ByteCount(nullptr, -1), 0);
}

TEST(UTF8Counts, CharacterCountTable) {
  struct Case {
    const char* mName;
    std::string mText;  // the exact bytes; some have no terminator at all
    int mBytes;
    int mExpected;
  };
  const std::string mixed(
      "a\xC3\xA9"
      "b\0",
      5);
  const std::vector<Case> cases = {
      {"limit zero", mixed, 0, 0},
      {"negative limit", mixed, -5, 0},
      {"one byte", mixed, 1, 1},
      {"character starting before the limit counts", mixed, 2, 2},
      {"limit at its end", mixed, 3, 2},
      {"all", mixed, 4, 3},
      {"stops at the terminator", mixed, 100, 3},
      {"five-byte lead", std::string("a\xF8\x88\x80\x80\x80\0", 7), 10, -1},
      {"oversized lead beyond the limit", std::string("ab\xF8", 3), 2, 2},
      {"four-byte",
       std::string("\xF0\x9F\x98\x80"
                   "a\0",
                   6),
       5, 2},
      {"stray continuation counts one", std::string("\x80\xBF\0", 3), 9, 2},
      {"terminator inside a character", std::string("\xE2\x82\0", 3), 10, 1},
      {"terminator inside after others", std::string("ab\xF0\x9F\0", 5), 10, 3},
      // No terminator: the last character runs past the limit and past the
      // block; only bytes before the limit may be read.
      {"unterminated, last character cut by the limit", std::string("a\xE2", 2), 2, 2},
      {"unterminated, four-byte cut", std::string("\xF0\x9F", 2), 2, 1},
      {"unterminated, exact", std::string("ab\xC3\xA9", 4), 4, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    const auto text = Exact(c.mText);
    EXPECT_EQ(GetUTF8CharacterCount(text.get(), c.mBytes), c.mExpected);
  }
  EXPECT_EQ(GetUTF8CharacterCount(nullptr, 4), 0);
  EXPECT_EQ(GetUTF8CharacterCount(reinterpret_cast<const unsigned char*>("xyz"), INT_MAX), 3);
}

// The two counts agree: the bytes of the first k characters hold exactly k
// characters, on text of every sequence length.
TEST(UTF8Counts, CountsAreConsistent) {
  const std::string text =
      "pl\xC3\xA4in \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80\xF0\x9F\x8E\xB5 \xCE\xB1\xCE\xB2 end";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  const int characters = GetUTF8CharacterCount(bytes, static_cast<int>(text.size()));
  EXPECT_EQ(characters, 18);
  EXPECT_EQ(GetUTF8ByteCount(bytes, -1), static_cast<int>(text.size()));
  for (int k = 0; k <= characters; ++k) {
    SCOPED_TRACE(k);
    const int byteCount = GetUTF8ByteCount(bytes, k);
    EXPECT_EQ(GetUTF8CharacterCount(bytes, byteCount), k);
  }
}

#if defined(__linux__)

// A long read-only text made of one small block mapped over and over, so that
// gigabytes of text cost a megabyte of memory. The last block is different,
// to end the text.
class RepeatedText {
public:
  RepeatedText(const std::string& inBlock, std::size_t inRepeats, const std::string& inLastBlock) {
    const std::size_t blockSize = inBlock.size();
    if (blockSize == 0 || blockSize % static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) != 0 ||
        inLastBlock.size() != blockSize)
      return;
    mSize = blockSize * (inRepeats + 1);
    void* base = mmap(nullptr, mSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return;
    mBase = static_cast<unsigned char*>(base);
    const int body = MemoryFile(inBlock);
    const int last = MemoryFile(inLastBlock);
    bool ok = body >= 0 && last >= 0;
    for (std::size_t i = 0; ok && i <= inRepeats; ++i)
      ok = mmap(mBase + i * blockSize, blockSize, PROT_READ, MAP_SHARED | MAP_FIXED, i == inRepeats ? last : body, 0) !=
           MAP_FAILED;
    if (body >= 0) close(body);
    if (last >= 0) close(last);
    mReady = ok;
  }
  ~RepeatedText() {
    if (mBase) munmap(mBase, mSize);
  }
  RepeatedText(const RepeatedText&) = delete;
  RepeatedText& operator=(const RepeatedText&) = delete;

  bool Ready() const { return mReady; }
  const unsigned char* Data() const { return mBase; }
  std::size_t Size() const { return mSize; }

private:
  static int MemoryFile(const std::string& inBytes) {
    const int fd = memfd_create("basalt-test-text", 0);
    if (fd < 0) return -1;
    if (write(fd, inBytes.data(), inBytes.size()) != static_cast<ssize_t>(inBytes.size())) {
      close(fd);
      return -1;
    }
    return fd;
  }

  unsigned char* mBase = nullptr;
  std::size_t mSize = 0;
  bool mReady = false;
};

constexpr std::size_t kBlockSize = 1u << 20;

// Stepping over gigabytes a byte at a time takes minutes under
// ThreadSanitizer, and these tests involve no threads.
#  if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#  elif defined(__has_feature)
#    if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#    else
constexpr bool kThreadSanitizer = false;
#    endif
#  else
constexpr bool kThreadSanitizer = false;
#  endif

std::string RepeatPattern(const std::string& inPattern) {
  std::string block;
  while (block.size() < kBlockSize) block += inPattern;
  block.resize(kBlockSize);
  return block;
}

// 2 GiB + 1 MiB of four-byte characters (U+10000), the last megabyte ending
// in a terminator: more bytes than an int holds.
TEST(UTF8Counts, CountsBeyondIntRange) {
  if (kThreadSanitizer) GTEST_SKIP() << "too slow under ThreadSanitizer";
  const std::string body = RepeatPattern("\xF0\x90\x80\x80");
  std::string last = body;
  last.back() = 0;  // cuts the last character short
  RepeatedText text(body, (std::size_t(1) << 31) / kBlockSize, last);
  if (!text.Ready()) GTEST_SKIP() << "cannot map the test text";

  // The unlimited byte count would exceed INT_MAX: reported as failure, not
  // as a wrapped or clipped number.
  EXPECT_EQ(GetUTF8ByteCount(text.Data(), -1), -1);
  // Counts that fit are exact.
  EXPECT_EQ(GetUTF8ByteCount(text.Data(), INT_MAX / 4), INT_MAX / 4 * 4);
  // Characters starting before byte INT_MAX: positions 0, 4, ..., INT_MAX - 3.
  EXPECT_EQ(GetUTF8CharacterCount(text.Data(), INT_MAX), INT_MAX / 4 + 1);
}

// A UTF-16 text of more than INT_MAX units: the length saturates.
TEST(UTF8Counts, UTF16StrLenBeyondIntRange) {
  const std::string body = RepeatPattern(std::string("a\0", 2));
  std::string last = body;
  last[last.size() - 2] = 0;  // the last unit is the terminator
  RepeatedText text(body, (std::size_t(1) << 32) / kBlockSize, last);
  if (!text.Ready()) GTEST_SKIP() << "cannot map the test text";
  EXPECT_EQ(UTF16StrLen(reinterpret_cast<const UTF16Char*>(text.Data())), INT_MAX);
  // Well within range the length is exact, at the same address.
  EXPECT_EQ(UTF16StrLen(reinterpret_cast<const UTF16Char*>(text.Data() + text.Size() - 64)), 31);
}

#endif  // __linux__

}  // namespace
}  // namespace utility
}  // namespace basalt
