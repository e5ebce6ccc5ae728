#include <basalt/config/Locale.h>
#include <basalt/utility/Streams.h>
#include <basalt/utility/UnicodeString.h>

#include "utility/StreamBuffersInternal.h"

#include <gtest/gtest.h>

#include "TestGate.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
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
}

TEST(Streams, NarrowStreamsAreTheStandardOnes) {
  EXPECT_EQ(&streams::Out, &std::cout);
  EXPECT_EQ(&streams::Err, &std::cerr);
  EXPECT_EQ(&streams::Log, &std::clog);
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

std::string Hex(const std::string& inBytes) {
  std::string result;
  char buffer[4];
  for (const char c : inBytes) {
    std::snprintf(buffer, sizeof buffer, "%02X ", static_cast<unsigned>(static_cast<unsigned char>(c)));
    result += buffer;
  }
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

TEST(UTF8EncodingStreamBuffer, EncodesUnitsAndPairsAcrossWrites) {
  struct Case {
    const char* mName;
    std::vector<UTF16String> mWrites;
    bool mFlushPending;
    std::string mExpected;
  };
  const Case kCases[] = {
      {"ascii", {Units({'a', 'b', 'c'})}, false, "abc"},
      {"two-byte forms", {Units({0x80, 0xE9, 0x7FF})}, false, "\xC2\x80\xC3\xA9\xDF\xBF"},
      {"three-byte forms", {Units({0x800, 0x20AC, 0xFFFD})}, false, "\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBD"},
      {"pair in one write", {Units({0xD83D, 0xDE00})}, false, "\xF0\x9F\x98\x80"},
      {"pair split across writes", {Units({'x', 0xD83D}), Units({0xDE00, 'y'})}, false, "x\xF0\x9F\x98\x80y"},
      {"lowest pair", {Units({0xD800}), Units({0xDC00})}, false, "\xF0\x90\x80\x80"},
      {"highest pair", {Units({0xDBFF}), Units({0xDFFF})}, false, "\xF4\x8F\xBF\xBF"},
      {"lone lead before ascii", {Units({0xD800, 'a'})}, false, "\xED\xA0\x80" "a"},
      {"lone lead ending a write", {Units({0xD800}), Units({'a'})}, false, "\xED\xA0\x80" "a"},
      {"lone trail", {Units({0xDC00, 'a'})}, false, "\xED\xB0\x80" "a"},
      {"lead, lead, trail", {Units({0xD83D, 0xD83D, 0xDE00})}, false, "\xED\xA0\xBD\xF0\x9F\x98\x80"},
      {"reversed pair", {Units({0xDE00, 0xD83D})}, true, "\xED\xB8\x80\xED\xA0\xBD"},
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
      EXPECT_EQ(Hex(buffer.mBytes), Hex(c.mExpected));
    }
  }
}

TEST(UTF8EncodingStreamBuffer, FlushKeepsAWaitingLeadForItsTrail) {
  CaptureBuffer buffer;
  UTF16OutputStream stream(&buffer);
  stream << u"a" << UTF16Char(0xD83D) << std::flush;
  EXPECT_EQ(buffer.mFlushes, 1);
  EXPECT_EQ(Hex(buffer.mBytes), Hex("a"));
  stream << UTF16Char(0xDE00);
  EXPECT_EQ(Hex(buffer.mBytes), Hex("a\xF0\x9F\x98\x80"));
}

// Pseudo-random UTF-16 drawn from ASCII, two- and three-byte units and both
// surrogate kinds, so pairs and lone surrogates of every arrangement occur.
UTF16String MixedUnits(std::size_t inCount, unsigned inSeed) {
  const UTF16Char kPool[] = {'a', 'Z', ' ', 0xE9, 0x7FF, 0x800, 0x20AC, 0xFFFD, 0xD83D, 0xD800, 0xDBFF, 0xDE00, 0xDC00};
  UTF16String result;
  unsigned state = inSeed;
  for (std::size_t i = 0; i < inCount; ++i) {
    state = state * 1103515245u + 12345u;
    result.push_back(kPool[(state >> 16) % (sizeof kPool / sizeof kPool[0])]);
  }
  return result;
}

TEST(UTF8EncodingStreamBuffer, AgreesWithUTF16to8) {
  for (const std::size_t length : {1u, 2u, 3u, 17u, 200u, 1000u, 5000u}) {
    for (unsigned seed = 1; seed <= 5; ++seed) {
      SCOPED_TRACE(std::to_string(length) + " units, seed " + std::to_string(seed));
      const UTF16String units = MixedUnits(length, seed);
      CaptureBuffer buffer;
      Write(buffer, units, kBulk);
      ASSERT_TRUE(buffer.FlushPendingSurrogate());
      const UTF8String expected = utility::UTF16to8(units);
      EXPECT_EQ(buffer.mBytes, std::string(expected.begin(), expected.end()));
    }
  }
}

TEST(UTF8EncodingStreamBuffer, SplittingAWriteNeverChangesTheBytes) {
  const UTF16String units = MixedUnits(64, 7);
  CaptureBuffer whole;
  Write(whole, units, kBulk);
  ASSERT_TRUE(whole.FlushPendingSurrogate());
  for (std::size_t split = 0; split <= units.size(); ++split) {
    SCOPED_TRACE(split);
    CaptureBuffer parts;
    Write(parts, units.substr(0, split), kBulk);
    Write(parts, units.substr(split), kBulk);
    ASSERT_TRUE(parts.FlushPendingSurrogate());
    EXPECT_EQ(parts.mBytes, whole.mBytes);
  }
}

TEST(UTF8EncodingStreamBuffer, LongWritesCrossTheInternalChunks) {
  UTF16String units;
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    units += Units({0xD83D, 0xDE00, 0x20AC, 'x'});
    expected += "\xF0\x9F\x98\x80\xE2\x82\xAC" "x";
  }
  CaptureBuffer buffer;
  Write(buffer, units, kBulk);
  EXPECT_EQ(buffer.mBytes, expected);
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
  const Case kCases[] = {{"Out", &streams::Out, &std::cout}, {"Err", &streams::Err, &std::cerr}, {"Log", &streams::Log, &std::clog}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.mName);
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
  std::stringbuf capture;
  std::streambuf* const previous = streams::SetStreamBuffer(streams::Out, &capture);
  EXPECT_EQ(streams::SetStreamBuffer(streams::Out, previous), &capture);
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

// Sends a file descriptor to a temporary file until Finish, which returns
// what was written.
class ScCaptureDescriptor {
public:
  ScCaptureDescriptor(int inDescriptor, std::FILE* inFile)
      : mDescriptor(inDescriptor), mFile(inFile), mTemporary(std::tmpfile()), mSaved(-1) {
    if (!mTemporary) return;
    std::fflush(mFile);
    mSaved = ::dup(mDescriptor);
    ::dup2(::fileno(mTemporary), mDescriptor);
  }
  ~ScCaptureDescriptor() { Finish(); }
  ScCaptureDescriptor(const ScCaptureDescriptor&) = delete;
  ScCaptureDescriptor& operator=(const ScCaptureDescriptor&) = delete;

  bool Active() const { return mSaved >= 0; }

  std::string Finish() {
    std::string result;
    if (mSaved < 0) return result;
    std::fflush(mFile);
    ::dup2(mSaved, mDescriptor);
    ::close(mSaved);
    mSaved = -1;
    std::rewind(mTemporary);
    char chunk[256];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, mTemporary)) > 0) result.append(chunk, count);
    std::fclose(mTemporary);
    return result;
  }

private:
  int mDescriptor;
  std::FILE* mFile;
  std::FILE* mTemporary;
  int mSaved;
};

TEST(Streams, UTF16OutWritesUTF8ToStandardOutputInOrder) {
  ScCaptureDescriptor capture(STDOUT_FILENO, stdout);
  ASSERT_TRUE(capture.Active());
  streams::UTF16Out << u"caf\u00e9 " << UTF16Char(0xD83D);
  streams::UTF16Out << UTF16Char(0xDE00) << u" \u20ac" << 42 << ' ';
  std::cout << "a";
  streams::UTF16Out << u"b";
  std::printf("c");
  streams::Out << "d";
  streams::UTF16Out << UTF16Char(0xDC00) << u"e" << std::flush;
  const std::string written = capture.Finish();
  EXPECT_EQ(Hex(written), Hex("caf\xC3\xA9 \xF0\x9F\x98\x80 \xE2\x82\xAC" "42 abcd\xED\xB0\x80" "e"));
  EXPECT_TRUE(streams::UTF16Out.good());
}

TEST(Streams, DebugWritesUTF8ToStandardError) {
  ScCaptureDescriptor capture(STDERR_FILENO, stderr);
  ASSERT_TRUE(capture.Active());
  streams::Debug << u"debug \u00e9 " << UTF16Char(0xD83D);
  streams::Debug << UTF16Char(0xDE00) << ' ' << UTF16Char(0xD800) << std::flush;
  streams::Debug << u"x" << std::flush;
  const std::string written = capture.Finish();
  EXPECT_EQ(Hex(written), Hex("debug \xC3\xA9 \xF0\x9F\x98\x80 \xED\xA0\x80" "x"));
}

TEST(StreamsDeathTest, WaitingLeadIsWrittenAtExit) {
  GTEST_FLAG_SET(death_test_style, "fast");
  const std::string path =
      ::testing::TempDir() + "basalt_streams_exit_" + std::to_string(static_cast<long>(::getpid())) + ".txt";
  EXPECT_EXIT(
      {
        if (!std::freopen(path.c_str(), "w", stderr)) std::_Exit(3);
        streams::Debug << u"end ";
        streams::Debug << UTF16Char(0xD83D) << std::flush;
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  char bytes[64];
  const std::size_t count = std::fread(bytes, 1, sizeof bytes, file);
  std::fclose(file);
  std::remove(path.c_str());
  EXPECT_EQ(Hex(std::string(bytes, count)), Hex("end \xED\xA0\xBD"));
}

}  // namespace
}  // namespace basalt
