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

// The bytes of a literal, with its terminator or without.
template <std::size_t N>
std::string Terminated(const char (&inLiteral)[N]) {
  return std::string(inLiteral, N);
}
template <std::size_t N>
std::string Unterminated(const char (&inLiteral)[N]) {
  return std::string(inLiteral, N - 1);
}

// The text in a heap block of exactly its size (no terminator added), so that
// a read past it is caught by AddressSanitizer.
std::unique_ptr<unsigned char[]> Exact(const std::string& inBytes) {
  std::unique_ptr<unsigned char[]> block(new unsigned char[inBytes.size()]);
  std::memcpy(block.get(), inBytes.data(), inBytes.size());
  return block;
}

struct CountCase {
  const char* mName;
  std::string mText;  // the exact bytes
  int mLimit;         // characters for the byte count, bytes for the character count
  int mExpected;
};

const std::string kMixed = Terminated("a\xC3\xA9" "b");

TEST(UTF8Counts, ByteCountTable) {
  const std::vector<CountCase> cases = {
      {"zero characters", kMixed, 0, 0},
      {"one", kMixed, 1, 1},
      {"two-byte character counts whole", kMixed, 2, 3},
      {"three", kMixed, 3, 4},
      {"stops at the terminator", kMixed, 100, 4},
      {"negative count is no limit", kMixed, -1, 4},
      {"empty text", Terminated(""), 5, 0},
      {"four-byte", Terminated("\xF0\x9F\x98\x80"), 1, 4},
      {"five-byte lead", Terminated("a\xF8\x88\x80\x80\x80"), -1, -1},
      {"six-byte lead", Terminated("\xFC\x84\x80\x80\x80\x80"), 1, -1},
      {"oversized lead not reached", Terminated("ab\xF8"), 2, 2},
      {"continuation bytes are not validated", Terminated("\xC3" "Ab"), 1, 2},
      {"stray continuation counts one", Terminated("\x80\x80"), -1, 2},
      {"terminator inside a two-byte character", Terminated("a\xC3"), -1, 2},
      {"terminator inside, character limit reached", Terminated("a\xC3"), 2, 2},
      {"terminator inside a four-byte character", Terminated("\xF0\x9F"), 5, 2},
      {"terminator right after the lead", Terminated("\xE4"), 1, 1},
  };
  for (const CountCase& c : cases) {
    SCOPED_TRACE(c.mName);
    EXPECT_EQ(GetUTF8ByteCount(Exact(c.mText).get(), c.mLimit), c.mExpected);
  }
  EXPECT_EQ(GetUTF8ByteCount(nullptr, 3), 0);
  EXPECT_EQ(GetUTF8ByteCount(nullptr, -1), 0);
}

TEST(UTF8Counts, CharacterCountTable) {
  const std::vector<CountCase> cases = {
      {"limit zero", kMixed, 0, 0},
      {"negative limit", kMixed, -5, 0},
      {"one byte", kMixed, 1, 1},
      {"character starting before the limit counts", kMixed, 2, 2},
      {"limit at its end", kMixed, 3, 2},
      {"all", kMixed, 4, 3},
      {"stops at the terminator", kMixed, 100, 3},
      {"five-byte lead", Terminated("a\xF8\x88\x80\x80\x80"), 10, -1},
      {"oversized lead beyond the limit", Unterminated("ab\xF8"), 2, 2},
      {"four-byte", Terminated("\xF0\x9F\x98\x80" "a"), 5, 2},
      {"stray continuation counts one", Terminated("\x80\xBF"), 9, 2},
      {"terminator inside a character", Terminated("\xE2\x82"), 10, 1},
      {"terminator inside after others", Terminated("ab\xF0\x9F"), 10, 3},
      // No terminator: the last character runs past the limit and past the
      // block; only bytes before the limit may be read.
      {"unterminated, last character cut by the limit", Unterminated("a\xE2"), 2, 2},
      {"unterminated, four-byte cut", Unterminated("\xF0\x9F"), 2, 1},
      {"unterminated, exact", Unterminated("ab\xC3\xA9"), 4, 3},
  };
  for (const CountCase& c : cases) {
    SCOPED_TRACE(c.mName);
    EXPECT_EQ(GetUTF8CharacterCount(Exact(c.mText).get(), c.mLimit), c.mExpected);
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
    EXPECT_EQ(GetUTF8CharacterCount(bytes, GetUTF8ByteCount(bytes, k)), k);
  }
}

#if defined(__linux__)

// Stepping over gigabytes a byte at a time takes minutes under
// ThreadSanitizer, and these counts involve no threads.
#  if defined(__SANITIZE_THREAD__)
#    define BSL_TEST_TSAN 1
#  elif defined(__has_feature)
#    if __has_feature(thread_sanitizer)
#      define BSL_TEST_TSAN 1
#    endif
#  endif

// 4 GiB + 1 MiB of four-byte characters (U+10000), a megabyte of memory
// mapped over and over, the last megabyte ending in two NUL bytes: more bytes
// than an int holds, and as UTF-16 more units than an int holds.
TEST(UTF8Counts, CountsBeyondIntRange) {
  const std::size_t blockSize = 1u << 20;
  const std::size_t repeats = (std::size_t(1) << 32) / blockSize;
  const std::size_t size = blockSize * (repeats + 1);
  if (blockSize % static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) != 0) GTEST_SKIP() << "unusual page size";
  // One memory file holds the repeated block and, after it, the last one.
  std::string blocks;
  while (blocks.size() < 2 * blockSize) blocks += "\xF0\x90\x80\x80";
  blocks[blocks.size() - 2] = blocks[blocks.size() - 1] = 0;  // cuts the last character short
  const int fd = memfd_create("basalt-test-text", 0);
  void* base = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  bool ready = fd >= 0 && base != MAP_FAILED &&
               write(fd, blocks.data(), blocks.size()) == static_cast<ssize_t>(blocks.size());
  for (std::size_t i = 0; ready && i <= repeats; ++i)
    ready = mmap(static_cast<unsigned char*>(base) + i * blockSize, blockSize, PROT_READ, MAP_SHARED | MAP_FIXED, fd,
                 i == repeats ? static_cast<off_t>(blockSize) : 0) != MAP_FAILED;
  if (fd >= 0) close(fd);
  struct Unmap {
    std::size_t mSize;
    void operator()(void* inBase) const { munmap(inBase, mSize); }
  };
  const std::unique_ptr<void, Unmap> unmap(base == MAP_FAILED ? nullptr : base, Unmap{size});
  if (!ready) GTEST_SKIP() << "cannot map the test text";
  const auto* text = static_cast<const unsigned char*>(base);

  // The UTF-16 length saturates; well within range it is exact, at the same
  // address.
  EXPECT_EQ(UTF16StrLen(reinterpret_cast<const UTF16Char*>(text)), INT_MAX);
  EXPECT_EQ(UTF16StrLen(reinterpret_cast<const UTF16Char*>(text + size - 64)), 31);
#  if defined(BSL_TEST_TSAN)
  GTEST_SKIP() << "the UTF-8 counts are too slow under ThreadSanitizer";
#  endif
  // The unlimited byte count would exceed INT_MAX: reported as failure, not
  // as a wrapped or clipped number.
  EXPECT_EQ(GetUTF8ByteCount(text, -1), -1);
  // Counts that fit are exact.
  EXPECT_EQ(GetUTF8ByteCount(text, INT_MAX / 4), INT_MAX / 4 * 4);
  // Characters starting before byte INT_MAX: positions 0, 4, ..., INT_MAX - 3.
  EXPECT_EQ(GetUTF8CharacterCount(text, INT_MAX), INT_MAX / 4 + 1);
}

#endif  // __linux__

}  // namespace
}  // namespace utility
}  // namespace basalt
