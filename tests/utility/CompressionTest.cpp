// Compression into recycled memory: round trips of the three flavors, the
// streaming compressor, every way a compressed input can be wrong, the output
// limit, and interchange with the gzip tool through real files.
#include <basalt/utility/Compression.h>

#include "utility/SmallBlockAllocatorInternal.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

const CompressionFlavor kFlavors[] = {kCompressionFlavor_Raw, kCompressionFlavor_Zlib, kCompressionFlavor_Gzip};

boost::shared_ptr<const RecycledMemory> Memory(const std::string& inBytes) {
  boost::shared_ptr<RecycledMemory> memory = RecycledMemory::Create(inBytes.size());
  if (!inBytes.empty()) std::memcpy(memory->Buffer(), inBytes.data(), inBytes.size());
  return memory;
}

std::string Bytes(const boost::shared_ptr<RecycledMemory>& inMemory) {
  if (!inMemory) return std::string();
  const char* bytes = static_cast<const char*>(static_cast<const RecycledMemory&>(*inMemory).Buffer());
  return std::string(bytes, bytes + inMemory->Size());
}

std::string Compress(const std::string& inBytes, CompressionFlavor inFlavor) {
  boost::shared_ptr<RecycledMemory> output;
  EXPECT_TRUE(CompressRecycledMemory(Memory(inBytes), inFlavor, output));
  return Bytes(output);
}

// The verdict, and the output only when it is there; a failure must leave no
// output behind.
struct Outcome {
  bool mGood;
  std::string mBytes;
};

Outcome Decompress(const std::string& inBytes, CompressionFlavor inFlavor,
                   std::uint64_t inLimit = kDefaultMaxDecompressedSize) {
  boost::shared_ptr<RecycledMemory> output = RecycledMemory::Create(1);
  const bool good = inLimit == kDefaultMaxDecompressedSize
                        ? DecompressRecycledMemory(Memory(inBytes), inFlavor, output)
                        : DecompressRecycledMemory(Memory(inBytes), inFlavor, output, inLimit);
  EXPECT_EQ(good, static_cast<bool>(output));
  if (output) {
    EXPECT_NE(output->Size(), 0u);
  }
  return {good, Bytes(output)};
}

// Text with the repetition of real documents: JSON-like records.
std::string Text(std::size_t inSize, unsigned inSeed = 1) {
  static const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "preset", "volume", "track", "name"};
  std::mt19937 engine(inSeed);
  std::string text;
  while (text.size() < inSize) {
    text += "{\"id\": " + std::to_string(engine() % 100000) + ", \"" + kWords[engine() % 8] + "\": \"" +
            kWords[engine() % 8] + " " + kWords[engine() % 8] + "\", \"value\": " +
            std::to_string(engine() % 1000) + "." + std::to_string(engine() % 100) + "},\n";
  }
  text.resize(inSize);
  return text;
}

std::string Random(std::size_t inSize, unsigned inSeed = 2) {
  std::mt19937 engine(inSeed);
  std::string bytes(inSize, '\0');
  for (char& c : bytes) c = static_cast<char>(engine());
  return bytes;
}

TEST(Compression, RoundTripsInEveryFlavor) {
  const std::pair<const char*, std::string> inputs[] = {
      {"one byte", "x"},
      {"short text", Text(100)},
      {"text of one output step", Text(65536)},
      {"text just over one step", Text(65537)},
      {"long text", Text(700000)},
      {"random bytes", Random(300000)},
      {"zeros growing the output many times", std::string(3 << 20, '\0')},
  };
  for (const auto& input : inputs) {
    for (CompressionFlavor flavor : kFlavors) {
      SCOPED_TRACE(std::string(input.first) + ", flavor " + std::to_string(flavor));
      const std::string compressed = Compress(input.second, flavor);
      ASSERT_FALSE(compressed.empty());
      const Outcome back = Decompress(compressed, flavor);
      EXPECT_TRUE(back.mGood);
      EXPECT_TRUE(back.mBytes == input.second);
      // The zlib and gzip flavors read either wrapping.
      if (flavor != kCompressionFlavor_Raw) {
        const CompressionFlavor other =
            flavor == kCompressionFlavor_Zlib ? kCompressionFlavor_Gzip : kCompressionFlavor_Zlib;
        EXPECT_TRUE(Decompress(compressed, other).mBytes == input.second);
      }
    }
  }
  // The wrappings: zlib at best compression, gzip with deflate.
  const std::string text = Text(20000, 6);
  EXPECT_EQ(Compress(text, kCompressionFlavor_Zlib).substr(0, 2), "\x78\xda");
  EXPECT_EQ(Compress(text, kCompressionFlavor_Gzip).substr(0, 3), "\x1f\x8b\x08");
  EXPECT_EQ(Compress(text, kCompressionFlavor_Raw).size() + 6, Compress(text, kCompressionFlavor_Zlib).size());
  // Input that wraps shared text is read in place.
  const std::string zlib = Compress(text, kCompressionFlavor_Zlib);
  const boost::shared_ptr<const UTF8String> shared(new UTF8String(zlib.begin(), zlib.end()));
  boost::shared_ptr<RecycledMemory> output;
  ASSERT_TRUE(DecompressRecycledMemory(RecycledMemory::Wrap(shared), kCompressionFlavor_Zlib, output));
  EXPECT_TRUE(Bytes(output) == text);
}

TEST(Compression, EmptyNullAndUnknownInputs) {
  for (CompressionFlavor flavor : kFlavors) {
    SCOPED_TRACE(flavor);
    // Empty content still makes a valid stream; reading it yields nothing.
    const std::string empty = Compress(std::string(), flavor);
    EXPECT_FALSE(empty.empty());
    EXPECT_FALSE(Decompress(empty, flavor).mGood);

    boost::shared_ptr<RecycledMemory> output = RecycledMemory::Create(1);
    EXPECT_FALSE(CompressRecycledMemory(boost::shared_ptr<const RecycledMemory>(), flavor, output));
    EXPECT_FALSE(output);
    output = RecycledMemory::Create(1);
    EXPECT_FALSE(DecompressRecycledMemory(boost::shared_ptr<const RecycledMemory>(), flavor, output));
    EXPECT_FALSE(output);
    EXPECT_FALSE(Decompress(std::string(), flavor).mGood);
  }
  const CompressionFlavor unknown = static_cast<CompressionFlavor>(3);
  boost::shared_ptr<RecycledMemory> output;
  EXPECT_FALSE(CompressRecycledMemory(Memory("abc"), unknown, output));
  EXPECT_FALSE(Decompress(Compress("abc", kCompressionFlavor_Zlib), unknown).mGood);
  CompressedStream stream(unknown);
  EXPECT_FALSE(stream.PushBytes("abc", 3));
  EXPECT_FALSE(stream.GetCompressedData());
}

TEST(Compression, StreamInPiecesMatchesTheWhole) {
  const std::string text = Text(300000, 5);
  for (CompressionFlavor flavor : kFlavors) {
    SCOPED_TRACE(flavor);
    // A tiny first output buffer doubles many times.
    CompressedStream stream(flavor, 16);
    EXPECT_FALSE(stream.GetCompressedData()) << "nothing pushed";
    std::mt19937 engine(9);
    std::size_t offset = 0;
    while (offset < text.size()) {
      const std::size_t piece = std::min<std::size_t>(text.size() - offset, engine() % 5000);
      ASSERT_TRUE(stream.PushBytes(text.data() + offset, static_cast<std::uint32_t>(piece)));
      offset += piece;
      EXPECT_EQ(stream.GetUncompressedSize(), offset);
    }
    EXPECT_FALSE(stream.PushBytes(nullptr, 1));
    EXPECT_EQ(stream.GetUncompressedSize(), text.size());
    const boost::shared_ptr<RecycledMemory> compressed = stream.GetCompressedData();
    ASSERT_TRUE(compressed);
    EXPECT_EQ(Bytes(compressed), Compress(text, flavor)) << "pieces compress like the whole";
    EXPECT_EQ(stream.GetUncompressedSize(), 0u);
    EXPECT_FALSE(stream.GetCompressedData());

    // The next push starts a stream of its own.
    ASSERT_TRUE(stream.PushBytes("second", 6));
    EXPECT_EQ(stream.GetUncompressedSize(), 6u);
    EXPECT_EQ(Decompress(Bytes(stream.GetCompressedData()), flavor).mBytes, "second");
  }
}

// Bytes half taken when the output cannot grow must not be lost silently:
// the stream fails until it is discarded.
TEST(Compression, AllocationFailureFailsTheStream) {
  const std::string random = Random(100000, 11);
  CompressedStream stream(kCompressionFlavor_Zlib, 16);
  ASSERT_TRUE(stream.PushBytes("start", 5));
  {
    MemoryRecycler::PurgeBytes(0);
    SmallBlockAllocator::internal::ScFailSystemMemory failing;
    EXPECT_THROW(stream.PushBytes(random.data(), static_cast<std::uint32_t>(random.size())), std::bad_alloc);
  }
  EXPECT_FALSE(stream.PushBytes("more", 4));
  EXPECT_FALSE(stream.GetCompressedData());
  ASSERT_TRUE(stream.PushBytes("fresh", 5));
  EXPECT_EQ(Decompress(Bytes(stream.GetCompressedData()), kCompressionFlavor_Zlib).mBytes, "fresh");
}

TEST(Compression, TruncatedCorruptOrTrailingInputFails) {
  const std::string text = Text(5000, 3);
  for (CompressionFlavor flavor : kFlavors) {
    SCOPED_TRACE(flavor);
    const std::string compressed = Compress(text, flavor);
    for (std::size_t length = 0; length < compressed.size(); ++length) {
      SCOPED_TRACE(length);
      ASSERT_FALSE(Decompress(compressed.substr(0, length), flavor).mGood);
    }
    // A changed byte either fails or, where no checksum covers it (the
    // gzip header's time and system bytes), changes nothing. Raw deflate
    // has no checksum: only the absence of output on failure is checked.
    for (std::size_t at = 0; at < compressed.size(); ++at) {
      std::string changed = compressed;
      changed[at] = static_cast<char>(changed[at] ^ 0x21);
      const Outcome outcome = Decompress(changed, flavor);
      if (flavor != kCompressionFlavor_Raw && outcome.mGood) {
        ASSERT_TRUE(outcome.mBytes == text) << at;
      }
    }
    EXPECT_FALSE(Decompress(compressed + "x", flavor).mGood);
    EXPECT_FALSE(Decompress(compressed + std::string(4, '\0'), flavor).mGood);
    if (flavor == kCompressionFlavor_Gzip) {
      // Further gzip members are read on, as the gzip tool does; nothing else.
      const Outcome members = Decompress(compressed + Compress("more", flavor), flavor);
      EXPECT_TRUE(members.mGood);
      EXPECT_TRUE(members.mBytes == text + "more");
      EXPECT_FALSE(Decompress(compressed + Compress("more", kCompressionFlavor_Zlib), flavor).mGood);
      EXPECT_FALSE(Decompress(compressed + "\x1f", flavor).mGood);
      EXPECT_FALSE(Decompress(compressed + "\x1f\x8b", flavor).mGood);
    } else {
      EXPECT_FALSE(Decompress(compressed + compressed, flavor).mGood);
    }
  }
  // The wrong flavor, a zlib header asking for a preset dictionary, and
  // bytes that are no stream at all.
  EXPECT_FALSE(Decompress(Compress(text, kCompressionFlavor_Gzip), kCompressionFlavor_Raw).mGood);
  EXPECT_FALSE(Decompress(Compress(text, kCompressionFlavor_Raw), kCompressionFlavor_Zlib).mGood);
  EXPECT_FALSE(Decompress(std::string("\x78\x20\x00\x00\x00\x01\x4b\x04\x00", 9), kCompressionFlavor_Zlib).mGood);
  EXPECT_FALSE(Decompress("plain text, not compressed", kCompressionFlavor_Gzip).mGood);
}

TEST(Compression, OutputLimit) {
  struct Case {
    std::size_t mSize;
    std::uint64_t mLimit;
    bool mGood;
  };
  // 65536 and its multiples are where the output buffer is full exactly.
  const Case cases[] = {
      {100000, 100000, true},  {100000, 99999, false}, {100000, 1, false},      {65536, 65536, true},
      {65537, 65536, false},   {131072, 131072, true}, {131072, 131071, false}, {10, 0, false},
  };
  for (CompressionFlavor flavor : kFlavors) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(flavor) + ": " + std::to_string(c.mSize) + " under " + std::to_string(c.mLimit));
      const std::string text = Text(c.mSize, 4);
      const Outcome outcome = Decompress(Compress(text, flavor), flavor, c.mLimit);
      EXPECT_EQ(outcome.mGood, c.mGood);
      if (c.mGood) {
        EXPECT_TRUE(outcome.mBytes == text);
      }
    }
  }
  // A small stream that expands past the default limit.
  CompressedStream bomb(kCompressionFlavor_Gzip);
  const std::string zeros(1 << 20, '\0');
  for (std::uint64_t i = 0; i <= kDefaultMaxDecompressedSize >> 20; ++i)
    ASSERT_TRUE(bomb.PushBytes(zeros.data(), static_cast<std::uint32_t>(zeros.size())));
  const boost::shared_ptr<RecycledMemory> compressed = bomb.GetCompressedData();
  ASSERT_TRUE(compressed);
  EXPECT_LT(compressed->Size(), std::uint64_t{1} << 20);
  boost::shared_ptr<RecycledMemory> output;
  EXPECT_FALSE(DecompressRecycledMemory(compressed, kCompressionFlavor_Gzip, output));
  EXPECT_FALSE(output);
}

// Interchange with the gzip tool, through files in a folder of the test's own.
class CompressionWithGzipTool : public ::testing::Test {
protected:
  void SetUp() override {
    if (!std::filesystem::exists("/bin/gzip")) GTEST_SKIP() << "no /bin/gzip";
    mFolder = std::filesystem::temp_directory_path() / ("basalt-compression-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(mFolder);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(mFolder, ignored);
  }
  std::string Path(const char* inName) const { return (mFolder / inName).string(); }
  static void Write(const std::string& inPath, const std::string& inBytes) {
    std::ofstream out(inPath, std::ios::binary);
    out.write(inBytes.data(), static_cast<std::streamsize>(inBytes.size()));
  }
  static std::string Read(const std::string& inPath) {
    std::ifstream in(inPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  // The exit status of a shell command.
  static int Run(const std::string& inCommand) {
    const int status = std::system(inCommand.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::filesystem::path mFolder;
};

TEST_F(CompressionWithGzipTool, EachReadsWhatTheOtherWrites) {
  const std::pair<const char*, std::string> ours[] = {
      {"text", Text(400000, 7)}, {"random", Random(100000, 8)}, {"one byte", "z"}};
  for (const auto& input : ours) {
    SCOPED_TRACE(input.first);
    Write(Path("ours.gz"), Compress(input.second, kCompressionFlavor_Gzip));
    // Exit status 0: no warning either, such as one about trailing bytes.
    ASSERT_EQ(Run("/bin/gzip -d -c '" + Path("ours.gz") + "' > '" + Path("ours") + "'"), 0);
    EXPECT_TRUE(Read(Path("ours")) == input.second);
  }

  const std::string first = Text(300000, 9);
  const std::string second = Random(5000, 10);
  Write(Path("first"), first);
  Write(Path("second"), second);
  Write(Path("empty"), std::string());
  struct Case {
    const char* mName;
    std::string mCommand;
    std::string mExpected;
  };
  const Case cases[] = {
      {"fastest", "/bin/gzip -1 -c '" + Path("first") + "'", first},
      {"best", "/bin/gzip -9 -c '" + Path("first") + "'", first},
      // Without -n the header carries the file's name and time.
      {"with name", "/bin/gzip -c -N '" + Path("second") + "'", second},
      {"two members", "/bin/gzip -c '" + Path("first") + "' '" + Path("second") + "'", first + second},
      {"empty file", "/bin/gzip -c '" + Path("empty") + "'", std::string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName);
    ASSERT_EQ(Run(c.mCommand + " > '" + Path("theirs.gz") + "'"), 0);
    const std::string compressed = Read(Path("theirs.gz"));
    for (CompressionFlavor flavor : {kCompressionFlavor_Gzip, kCompressionFlavor_Zlib}) {
      const Outcome outcome = Decompress(compressed, flavor);
      EXPECT_EQ(outcome.mGood, !c.mExpected.empty());
      EXPECT_TRUE(outcome.mBytes == c.mExpected);
    }
    EXPECT_FALSE(Decompress(compressed.substr(0, compressed.size() - 1), kCompressionFlavor_Gzip).mGood);
  }
}

}  // namespace
}  // namespace utility
}  // namespace basalt
