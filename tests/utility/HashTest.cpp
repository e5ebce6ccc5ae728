// MixHash (lookup2) and Murmur3Mixer (MurmurHash3 x64 128) against
// independent implementations written here from the published reference
// code, checked themselves against published digests; streaming against one
// shot; alignment; HashValue text.
#include <basalt/utility/Hash.h>

#include <gtest/gtest.h>

#include "utility/ReferenceHashes.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

using namespace basalt::testing::reference;

// What one MixIn step must do: hash with a as the initial value, then mix
// the result with b and c.
HashValue ReferenceStep(HashValue inHash, const void* inData, std::size_t inLength) {
  ub4 a = ReferenceLookup2(static_cast<const ub1*>(inData), static_cast<ub4>(inLength), inHash.a);
  ub4 b = inHash.b;
  ub4 c = inHash.c;
  REF_MIX(a, b, c);
  return HashValue(a, b, c);
}

std::string Hex(const unsigned char (&inBytes)[16]) {
  std::string hex;
  for (unsigned char b : inBytes) {
    hex += "0123456789abcdef"[b >> 4];
    hex += "0123456789abcdef"[b & 15];
  }
  return hex;
}

// The reference's output bytes (h1, h2 in memory order) as lowercase hex.
std::string ReferenceDigestHex(const void* inData, std::size_t inLength, std::uint32_t inSeed) {
  std::uint64_t out[2];
  ReferenceMurmur3(inData, static_cast<int>(inLength), inSeed, out);
  unsigned char bytes[16];
  std::memcpy(bytes, out, 16);
  return Hex(bytes);
}

// A Guid's byte form as hex: the digest bytes when it came from ToGuid.
std::string Hex(const Guid& inGuid) {
  unsigned char bytes[16];
  Guid::GuidToBytes(inGuid, bytes);
  return Hex(bytes);
}

std::vector<unsigned char> RandomBytes(std::size_t inCount, unsigned inSeed) {
  std::mt19937 engine(inSeed);
  std::vector<unsigned char> bytes(inCount);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(engine());
  return bytes;
}

TEST(Murmur3Reference, MatchesPublishedDigests) {
  // MurmurHash3_x64_128 with seed 0, the 16 output bytes in hex, as published
  // (e.g. the output listings of the mmh3 and murmur3 ports).
  const std::pair<std::string, const char*> cases[] = {
      {"", "00000000000000000000000000000000"},
      {"Hello world", "09c01ad2296d65bdb32ceb54cdb5b54a"},
      {"The quick brown fox jumps over the lazy dog", "6c1b07bc7bbc4be347939ac4a93c437a"},
  };
  for (const auto& [text, digest] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ReferenceDigestHex(text.data(), text.size(), 0), digest);
    Murmur3Mixer mixer;
    mixer.Mix(text.data(), text.size());
    EXPECT_EQ(Hex(mixer.ToGuid()), digest);
  }
}

TEST(Murmur3Mixer, OneShotEqualsReferenceForEveryTailLengthAndSeed) {
  const std::vector<unsigned char> data = RandomBytes(4096 + 37, 1);
  for (const std::uint32_t seed : {0u, 1u, 0x9747B28Cu, 0xFFFFFFFFu}) {
    for (std::size_t n = 0; n <= 81; ++n) {  // every tail, then the whole buffer
      const std::size_t length = n <= 80 ? n : data.size();
      SCOPED_TRACE(::testing::Message() << "seed " << seed << " length " << length);
      Murmur3Mixer mixer(seed);
      mixer.Mix(data.data(), length);
      EXPECT_EQ(Hex(mixer.ToGuid()), ReferenceDigestHex(data.data(), length, seed));
    }
  }
}

// Any cut into three pieces, with a digest taken midway, and byte-by-byte
// feeding, give the one-shot digest.
TEST(Murmur3Mixer, StreamingEqualsOneShot) {
  const std::vector<unsigned char> data = RandomBytes(1000, 2);
  for (std::size_t length = 0; length <= 70; ++length) {
    Murmur3Mixer whole;
    whole.Mix(data.data(), length);
    const Guid expected = whole.ToGuid();
    for (std::size_t first = 0; first <= length; ++first) {
      for (std::size_t second = first; second <= length; ++second) {
        SCOPED_TRACE(::testing::Message() << "length " << length << " cuts " << first << ", " << second);
        Murmur3Mixer pieces;
        pieces.Mix(data.data(), first);
        pieces.Mix(data.data() + first, second - first);
        (void)pieces.ToGuid();
        pieces.Mix(data.data() + second, length - second);
        ASSERT_EQ(pieces.ToGuid(), expected);
      }
    }
  }
  Murmur3Mixer bytes;
  for (std::size_t i = 0; i < data.size(); ++i) {
    bytes.Mix(&data[i], 1);
    if (i % 97 == 0 || i + 1 == data.size()) {
      SCOPED_TRACE(i);
      EXPECT_EQ(Hex(bytes.ToGuid()), ReferenceDigestHex(data.data(), i + 1, 0));
    }
  }
}

TEST(Hash, UnalignedInputGivesTheSameResult) {
  const std::vector<unsigned char> data = RandomBytes(300, 4);
  Murmur3Mixer alignedMixer;
  alignedMixer.Mix(data.data(), data.size());
  HashValue alignedHash;
  MixHash::MixInArray(alignedHash, data.data(), data.size());
  std::vector<unsigned char> shifted(data.size() + 16);
  for (std::size_t offset = 1; offset < 16; ++offset) {
    SCOPED_TRACE(offset);
    std::memcpy(shifted.data() + offset, data.data(), data.size());
    Murmur3Mixer mixer;
    mixer.Mix(shifted.data() + offset, data.size());
    EXPECT_EQ(mixer.ToGuid(), alignedMixer.ToGuid());
    HashValue hash;
    MixHash::MixInArray(hash, shifted.data() + offset, data.size());
    EXPECT_EQ(hash, alignedHash);
  }
}

TEST(MixHash, OneStepEqualsTheReferenceForEveryTailLength) {
  const std::vector<unsigned char> data = RandomBytes(300, 5);
  for (const HashValue& start : {HashValue(), HashValue(1, 2, 3), HashValue(0xDEADBEEF, 0x01234567, 0xFFFFFFFF)}) {
    for (std::size_t n = 0; n <= 65; ++n) {  // every tail, then the whole buffer
      const std::size_t length = n <= 64 ? n : data.size();
      SCOPED_TRACE(::testing::Message() << "start " << start << " length " << length);
      HashValue hash = start;
      MixHash::MixInArray(hash, data.data(), length);
      EXPECT_EQ(hash, ReferenceStep(start, data.data(), length));
    }
  }
}

TEST(MixHash, StepsChainAndValuesHashTheirBytes) {
  HashValue chained;
  MixHash::MixIn(chained, std::string("basalt"));
  MixHash::MixIn(chained, std::string("hash"));
  EXPECT_EQ(chained, ReferenceStep(ReferenceStep(HashValue(), "basalt", 6), "hash", 4));
  // One step of "basalthash" is not two steps.
  HashValue once;
  MixHash::MixIn(once, std::string("basalthash"));
  EXPECT_NE(once, chained);

  HashValue fromValue;
  MixHash::MixIn(fromValue, std::uint32_t(0x04030201));
  EXPECT_EQ(fromValue, ReferenceStep(HashValue(), "\x01\x02\x03\x04", 4));  // little-endian object bytes
  HashValue fromText;
  MixHash::MixIn(fromText, UTF16String(BSL_STR("Ab")));
  EXPECT_EQ(fromText, ReferenceStep(HashValue(), "A\0b\0", 4));
  const double number = 1.5;
  HashValue fromNumber;
  MixHash::MixIn(fromNumber, number);
  EXPECT_EQ(fromNumber, ReferenceStep(HashValue(), &number, sizeof number));
}

TEST(HashValueText, ReadsWhatIsWrittenAndRejectsTheRest) {
  for (const HashValue& value : {HashValue(), HashValue(1, 2, 3), HashValue(0xFFFFFFFF, 0x80000000, 0x7FFFFFFF)}) {
    std::ostringstream out;
    out << value;
    SCOPED_TRACE(out.str());
    std::istringstream in(out.str());
    HashValue back(9, 9, 9);
    EXPECT_TRUE(in >> back);
    EXPECT_EQ(back, value);
  }
  std::ostringstream out;
  out << HashValue(10, 20, 4294967295u);
  EXPECT_EQ(out.str(), "10 20 4294967295");

  const std::pair<const char*, bool> cases[] = {
      {"  7\n8\t9 tail", true}, {"1 2", false},   {"1 2 4294967296", false}, {"1 -2 3", false},
      {"1 +2 3", false},        {"a b c", false}, {"", false},
  };
  for (const auto& [text, good] : cases) {
    SCOPED_TRACE(text);
    std::istringstream in(text);
    const HashValue before(5, 6, 7);
    HashValue hash = before;
    EXPECT_EQ(static_cast<bool>(in >> hash), good);
    EXPECT_EQ(hash, good ? HashValue(7, 8, 9) : before);
  }
}

}  // namespace
}  // namespace utility
}  // namespace basalt
