#include <basalt/config/Locale.h>
#include <basalt/utility/Streams.h>
#include <basalt/utility/UnicodeString.h>

#include "utility/StreamBuffersInternal.h"

#include <gtest/gtest.h>

#include "TestGate.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace basalt {
namespace {

using utility::internal::UTF8EncodingStreamBuffer;
namespace streams = utility::streams;

typedef std::basic_stringbuf<UTF16Char, std::char_traits<UTF16Char>, utility::SmallBlockAllocator::STLAllocator<UTF16Char>>
    UTF16StringBuf;

// Evaluated by this file's static initialisers: the streams must already be
// built and bound to their buffers.
const bool kStreamsUsableFromStaticInitialisers =
    streams::UTF16Out.rdbuf() == &utility::internal::StandardOutputUTF16Buffer() &&
    streams::Debug.rdbuf() == &utility::internal::DebugUTF16Buffer() &&
    streams::UTF16Out.getloc() == Locale::Default() && streams::Debug.good();

TEST(Streams, UsableFromStaticInitialisers) {
  EXPECT_TRUE(kStreamsUsableFromStaticInitialisers);
  EXPECT_EQ(&streams::In, &std::cin);
}

// Collects the UTF-8 a UTF8EncodingStreamBuffer produces.
class CaptureBuffer : public UTF8EncodingStreamBuffer {
public:
  std::string mBytes;
  int mFlushes = 0;
  bool mFail = false;

private:
  bool WriteBytes(const char* inBytes, std::size_t inCount) override {
    if (mFail) return false;
    mBytes.append(inBytes, inCount);
    return true;
  }
  bool FlushBytes() override {
    ++mFlushes;
    return !mFail;
  }
};

UTF16String Units(std::initializer_list<unsigned> inUnits) {
  UTF16String result;
  for (const unsigned u : inUnits) result.push_back(static_cast<UTF16Char>(u));
  return result;
}

enum WriteMode { kBulk, kUnitByUnit };

void Write(std::basic_streambuf<UTF16Char>& inBuffer, const UTF16String& inUnits, WriteMode inMode) {
  if (inMode == kBulk) {
    ASSERT_EQ(inBuffer.sputn(inUnits.data(), static_cast<std::streamsize>(inUnits.size())),
              static_cast<std::streamsize>(inUnits.size()));
  } else {
    for (const UTF16Char unit : inUnits) {
      ASSERT_FALSE(std::char_traits<UTF16Char>::eq_int_type(inBuffer.sputc(unit), std::char_traits<UTF16Char>::eof()));
    }
  }
}

// What UTF16to8 cannot show: pairs split across writes, a waiting lead, a
// NUL unit. Every other arrangement is compared with UTF16to8 below.
TEST(UTF8EncodingStreamBuffer, EncodesUnitsAndPairsAcrossWrites) {
  struct Case {
    const char* mName;
    std::vector<UTF16String> mWrites;
    bool mFlushPending;
    std::string mExpected;
  };
  const Case kCases[] = {
      {"pair split across writes", {Units({'x', 0xD83D}), Units({0xDE00, 'y'})}, false, "x\xF0\x9F\x98\x80y"},
      {"waiting lead is held back", {Units({'a', 0xD83D})}, false, "a"},
      {"waiting lead written alone on request", {Units({'a', 0xD83D})}, true, "a\xED\xA0\xBD"},
      {"NUL unit", {Units({'a', 0, 'b'})}, false, std::string("a\0b", 3)},
      {"empty write", {UTF16String()}, true, ""},
  };
  for (const WriteMode mode : {kBulk, kUnitByUnit}) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(std::string(c.mName) + (mode == kBulk ? " (bulk)" : " (unit by unit)"));
      CaptureBuffer buffer;
      for (const UTF16String& write : c.mWrites) Write(buffer, write, mode);
      if (c.mFlushPending) {
        EXPECT_TRUE(buffer.FlushPendingSurrogate());
      }
      EXPECT_EQ(buffer.mBytes, c.mExpected);
    }
  }
}

TEST(UTF8EncodingStreamBuffer, FlushKeepsAWaitingLeadForItsTrail) {
  CaptureBuffer buffer;
  UTF16OutputStream stream(&buffer);
  stream << u"a" << UTF16Char(0xD83D) << std::flush;
  EXPECT_EQ(buffer.mFlushes, 1);
  EXPECT_EQ(buffer.mBytes, "a");
  stream << UTF16Char(0xDE00);
  EXPECT_EQ(buffer.mBytes, "a\xF0\x9F\x98\x80");
}

// Pseudo-random UTF-16 drawn from ASCII, two- and three-byte units and both
// surrogate kinds (their ends included), so pairs and lone surrogates of every
// arrangement occur.
UTF16String MixedUnits(std::size_t inCount, unsigned inSeed) {
  const UTF16Char kPool[] = {'a',    'Z',    0x80,   0xE9,   0x7FF,  0x800,  0x20AC, 0xFFFD,
                             0xD83D, 0xD800, 0xDBFF, 0xDE00, 0xDC00, 0xDFFF, 0xD7FF, 0xE000};
  UTF16String result;
  unsigned state = inSeed;
  for (std::size_t i = 0; i < inCount; ++i) {
    state = state * 1103515245u + 12345u;
    result.push_back(kPool[(state >> 16) % (sizeof kPool / sizeof kPool[0])]);
  }
  return result;
}

// Written in one piece, unit by unit (long texts cross the internal chunks),
// or split in two anywhere, the bytes are those of UTF16to8.
TEST(UTF8EncodingStreamBuffer, AgreesWithUTF16to8) {
  for (const std::size_t length : {1u, 2u, 3u, 17u, 64u, 200u, 1000u, 5000u}) {
    for (unsigned seed = 1; seed <= 5; ++seed) {
      const UTF16String units = MixedUnits(length, seed);
      const UTF8String encoded = utility::UTF16to8(units);
      const std::string expected(encoded.begin(), encoded.end());
      for (const WriteMode mode : {kBulk, kUnitByUnit}) {
        SCOPED_TRACE(std::to_string(length) + " units, seed " + std::to_string(seed) + ", mode " + std::to_string(mode));
        CaptureBuffer buffer;
        Write(buffer, units, mode);
        ASSERT_TRUE(buffer.FlushPendingSurrogate());
        EXPECT_EQ(buffer.mBytes, expected);
      }
      for (std::size_t split = 0; length == 64 && split <= length; ++split) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", split at " + std::to_string(split));
        CaptureBuffer parts;
        Write(parts, units.substr(0, split), kBulk);
        Write(parts, units.substr(split), kBulk);
        ASSERT_TRUE(parts.FlushPendingSurrogate());
        EXPECT_EQ(parts.mBytes, expected);
      }
    }
  }
}

TEST(UTF8EncodingStreamBuffer, SinkFailureMakesTheStreamBad) {
  CaptureBuffer buffer;
  buffer.mFail = true;
  UTF16OutputStream stream(&buffer);
  stream << u"abc";
  EXPECT_TRUE(stream.bad());
  EXPECT_TRUE(std::char_traits<UTF16Char>::eq_int_type(buffer.sputc(u'x'), std::char_traits<UTF16Char>::eof()));
  EXPECT_EQ(buffer.pubsync(), -1);
  EXPECT_FALSE(buffer.FlushPendingSurrogate());
}

using Gate = basalt::testing::Gate;

TEST(UTF8EncodingStreamBuffer, ConcurrentWritesStayWhole) {
  const int kThreads = 6;
  const int kLinesPerThread = 60;
  CaptureBuffer buffer;
  Gate gate;
  std::map<std::string, int> expected;
  std::vector<UTF16String> lines[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    for (int l = 0; l < kLinesPerThread; ++l) {
      std::string ascii = "thread " + std::to_string(t) + " line " + std::to_string(l) + " ";
      ascii += std::string(100 + t, static_cast<char>('a' + t));
      UTF16String line(ascii.begin(), ascii.end());
      line += Units({0xD83D, 0xDE00, '\n'});
      lines[t].push_back(line);
      ++expected[ascii + "\xF0\x9F\x98\x80"];
    }
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      gate.Wait();
      for (const UTF16String& line : lines[t]) buffer.sputn(line.data(), static_cast<std::streamsize>(line.size()));
    });
  }
  gate.Open();
  for (std::thread& thread : threads) thread.join();

  std::map<std::string, int> seen;
  std::istringstream output(buffer.mBytes);
  std::string line;
  while (std::getline(output, line)) ++seen[line];
  EXPECT_EQ(seen, expected);
}

// Puts a stream's previous buffer back when the test ends, passed or not.
template <class Stream, class Buffer>
class ScStreamBuffer {
public:
  ScStreamBuffer(Stream& inStream, Buffer* inBuffer)
      : mStream(inStream), mPrevious(streams::SetStreamBuffer(inStream, inBuffer)) {}
  ~ScStreamBuffer() { streams::SetStreamBuffer(mStream, mPrevious); }
  ScStreamBuffer(const ScStreamBuffer&) = delete;
  ScStreamBuffer& operator=(const ScStreamBuffer&) = delete;
  Buffer* Previous() const { return mPrevious; }

private:
  Stream& mStream;
  Buffer* mPrevious;
};

TEST(SetStreamBuffer, RedirectsTheNarrowStreamsInPlace) {
  struct Case {
    const char* mName;
    std::ostream* mStream;
    std::ostream* mStandard;
  };
  const Case kCases[] = {
      {"Out", &streams::Out, &std::cout}, {"Err", &streams::Err, &std::cerr}, {"Log", &streams::Log, &std::clog}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.mName);
    EXPECT_EQ(c.mStream, c.mStandard);
    std::streambuf* const original = c.mStandard->rdbuf();
    std::stringbuf capture;
    {
      ScStreamBuffer<std::ostream, std::streambuf> redirect(*c.mStream, &capture);
      EXPECT_EQ(redirect.Previous(), original);
      *c.mStream << "x" << 42;
      *c.mStandard << " via std";
      EXPECT_EQ(capture.str(), "x42 via std");
    }
    EXPECT_EQ(c.mStandard->rdbuf(), original);
  }
}

// Counts the flushes it is asked for.
class CountingBuffer : public std::stringbuf {
public:
  int mSyncs = 0;

private:
  int sync() override {
    ++mSyncs;
    return std::stringbuf::sync();
  }
};

TEST(SetStreamBuffer, FlushesClearsStateAndKeepsFormat) {
  CountingBuffer first;
  std::stringbuf second;
  std::ostream stream(&first);
  stream << std::hex << std::showbase;
  stream.setstate(std::ios_base::failbit);
  EXPECT_EQ(streams::SetStreamBuffer(stream, &second), &first);
  EXPECT_TRUE(stream.good());
  stream << 255;
  EXPECT_EQ(second.str(), "0xff");

  EXPECT_EQ(streams::SetStreamBuffer(stream, nullptr), &second);
  EXPECT_TRUE(stream.bad());
  EXPECT_EQ(streams::SetStreamBuffer(stream, &first), nullptr);
  EXPECT_TRUE(stream.good());
  const int syncsBefore = first.mSyncs;
  streams::SetStreamBuffer(stream, &second);
  EXPECT_EQ(first.mSyncs, syncsBefore + 1);

  // Works on a derived stream without disturbing what it is.
  std::ostringstream derived;
  derived << "kept";
  std::stringbuf* const own = derived.rdbuf();
  std::stringbuf other;
  EXPECT_EQ(streams::SetStreamBuffer(derived, &other), own);
  derived << "moved";
  EXPECT_EQ(other.str(), "moved");
  EXPECT_EQ(streams::SetStreamBuffer(derived, own), &other);
  derived << "!";
  EXPECT_EQ(derived.str(), "kept!");
}

TEST(SetStreamBuffer, RedirectsTheUTF16StreamsInPlace) {
  struct Case {
    const char* mName;
    UTF16OutputStream* mStream;
    std::basic_streambuf<UTF16Char>* mOwnBuffer;
  };
  const Case kCases[] = {{"UTF16Out", &streams::UTF16Out, &utility::internal::StandardOutputUTF16Buffer()},
                         {"Debug", &streams::Debug, &utility::internal::DebugUTF16Buffer()}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.mName);
    UTF16StringBuf capture;
    {
      ScStreamBuffer<UTF16OutputStream, std::basic_streambuf<UTF16Char>> redirect(*c.mStream, &capture);
      EXPECT_EQ(redirect.Previous(), c.mOwnBuffer);
      *c.mStream << u"caf\u00e9 " << 42 << ' ' << 1.5 << UTF16Char(0xD83D);
      EXPECT_TRUE(c.mStream->good());
      EXPECT_TRUE(c.mStream->getloc() == Locale::Default());
      EXPECT_TRUE(capture.str() == UTF16String(u"caf\u00e9 42 1.5\xD83D"));
    }
    EXPECT_EQ(c.mStream->rdbuf(), c.mOwnBuffer);
  }
}

// Runs in a child whose standard output and error go to files: pairs split
// across insertions, lone surrogates, text in order with std:: and C stdio
// output to the same file, and a leading surrogate still waiting at exit.
void WriteToStandardOutputAndErrorThenExit(const std::string& inOut, const std::string& inErr) {
  if (!std::freopen(inOut.c_str(), "w", stdout) || !std::freopen(inErr.c_str(), "w", stderr)) std::_Exit(3);
  const struct {
    UTF16OutputStream* mStream;
    std::ostream* mStandard;
    std::FILE* mFile;
  } kOutputs[] = {{&streams::UTF16Out, &std::cout, stdout}, {&streams::Debug, &std::cerr, stderr}};
  for (const auto& o : kOutputs) {
    *o.mStream << u"caf\u00e9 " << UTF16Char(0xD83D);
    *o.mStream << UTF16Char(0xDE00) << u" \u20ac" << 42 << ' ';
    *o.mStandard << "a";
    *o.mStream << u"b";
    std::fprintf(o.mFile, "c");
    *o.mStream << UTF16Char(0xDC00) << u"d" << std::flush;
    *o.mStream << UTF16Char(0xD800) << std::flush << u"e" << UTF16Char(0xD83D) << std::flush;
  }
  std::exit(0);
}

// The waiting lead is written alone when the streams are flushed at exit.
TEST(StreamsDeathTest, UTF16StreamsWriteUTF8InOrderAndFlushAtExit) {
  GTEST_FLAG_SET(death_test_style, "fast");
  const std::string base = ::testing::TempDir() + "basalt_streams_" + std::to_string(static_cast<long>(::getpid()));
  const std::string paths[] = {base + "_out.txt", base + "_err.txt"};
  EXPECT_EXIT(WriteToStandardOutputAndErrorThenExit(paths[0], paths[1]), ::testing::ExitedWithCode(0), "");
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char bytes[256];
    const std::size_t count = std::fread(bytes, 1, sizeof bytes, file);
    std::fclose(file);
    std::remove(path.c_str());
    EXPECT_EQ(std::string(bytes, count),
              "caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC" "42 abc\xED\xB0\x80" "d\xED\xA0\x80" "e\xED\xA0\xBD");
  }
}

}  // namespace
}  // namespace basalt
