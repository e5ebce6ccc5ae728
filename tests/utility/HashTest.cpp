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
HashValue ReferenceStep(HashValue inHash, const ub1* inData, ub4 inLength) {
  ub4 a = ReferenceLookup2(inData, inLength, inHash.a);
  ub4 b = inHash.b;
  ub4 c = inHash.c;
  REF_MIX(a, b, c);
  return HashValue(a, b, c);
}

// The reference's output bytes (h1, h2 in memory order) as lowercase hex.
std::string ReferenceDigestHex(const void* inData, int inLength, std::uint32_t inSeed) {
  std::uint64_t out[2];
  ReferenceMurmur3(inData, inLength, inSeed, out);
  unsigned char bytes[16];
  std::memcpy(bytes, out, 16);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : bytes) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

// A Guid's byte form as hex: the digest bytes when it came from ToGuid.
std::string GuidBytesHex(const Guid& inGuid) {
  unsigned char bytes[16];
  Guid::GuidToBytes(inGuid, bytes);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : bytes) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

std::vector<unsigned char> RandomBytes(std::size_t inCount, unsigned inSeed) {
  std::mt19937 engine(inSeed);
  std::vector<unsigned char> bytes(inCount);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(engine());
  return bytes;
}

std::string Hex(const Guid& inGuid) { return GuidBytesHex(inGuid); }

TEST(Murmur3Reference, MatchesPublishedDigests) {
  // MurmurHash3_x64_128 with seed 0, the 16 output bytes in hex, as published
  // (e.g. the output listings of the mmh3 and murmur3 ports).
  struct Case {
    const char* mText;
    const char* mDigest;
  };
  const Case cases[] = {
      {"", "00000000000000000000000000000000"},
      {"Hello world", "09c01ad2296d65bdb32ceb54cdb5b54a"},
      {"The quick brown fox jumps over the lazy dog", "6c1b07bc7bbc4be347939ac4a93c437a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    EXPECT_EQ(ReferenceDigestHex(c.mText, static_cast<int>(std::strlen(c.mText)), 0), c.mDigest);
    Murmur3Mixer mixer;
    mixer.Mix(c.mText, std::strlen(c.mText));
    EXPECT_EQ(Hex(mixer.ToGuid()), c.mDigest);
  }
}

TEST(Murmur3Mixer, OneShotEqualsReferenceForEveryTailLengthAndSeed) {
  const std::vector<unsigned char> data = RandomBytes(4096 + 37, 1);
  for (const std::uint32_t seed : {0u, 1u, 0x9747B28Cu, 0xFFFFFFFFu}) {
    for (std::size_t length = 0; length <= 80; ++length) {
      SCOPED_TRACE(::testing::Message() << "seed " << seed << " length " << length);
      Murmur3Mixer mixer(seed);
      mixer.Mix(data.data(), length);
      EXPECT_EQ(Hex(mixer.ToGuid()), ReferenceDigestHex(data.data(), static_cast<int>(length), seed));
    }
    SCOPED_TRACE(::testing::Message() << "seed " << seed << " length " << data.size());
    Murmur3Mixer mixer(seed);
    mixer.Mix(data.data(), data.size());
    EXPECT_EQ(Hex(mixer.ToGuid()), ReferenceDigestHex(data.data(), static_cast<int>(data.size()), seed));
  }
}

TEST(Murmur3Mixer, EverySplitEqualsOneShot) {
  const std::vector<unsigned char> data = RandomBytes(70, 2);
  for (std::size_t length = 0; length <= data.size(); ++length) {
    Murmur3Mixer whole;
    whole.Mix(data.data(), length);
    const Guid expected = whole.ToGuid();
    for (std::size_t first = 0; first <= length; ++first) {
      for (std::size_t second = first; second <= length; ++second) {
        SCOPED_TRACE(::testing::Message() << "length " << length << " cuts " << first << ", " << second);
        Murmur3Mixer pieces;
        pieces.Mix(data.data(), first);
        pieces.Mix(data.data() + first, second - first);
        pieces.Mix(data.data() + second, length - second);
        ASSERT_EQ(pieces.ToGuid(), expected);
      }
    }
  }
}

TEST(Murmur3Mixer, ByteByByteAndDigestMidwayChangeNothing) {
  const std::vector<unsigned char> data = RandomBytes(1000, 3);
  Murmur3Mixer bytes;
  for (std::size_t i = 0; i < data.size(); ++i) {
    bytes.Mix(&data[i], 1);
    if (i % 97 == 0) {
      SCOPED_TRACE(i);
      EXPECT_EQ(Hex(bytes.ToGuid()), ReferenceDigestHex(data.data(), static_cast<int>(i + 1), 0));
    }
  }
  EXPECT_EQ(Hex(bytes.ToGuid()), ReferenceDigestHex(data.data(), static_cast<int>(data.size()), 0));
  EXPECT_EQ(bytes.ToGuid(), bytes.ToGuid());
}

TEST(Murmur3Mixer, UnalignedInputGivesTheSameDigest) {
  const std::vector<unsigned char> data = RandomBytes(300, 4);
  Murmur3Mixer aligned;
  aligned.Mix(data.data(), data.size());
  std::vector<unsigned char> shifted(data.size() + 16);
  for (std::size_t offset = 1; offset < 16; ++offset) {
    SCOPED_TRACE(offset);
    std::memcpy(shifted.data() + offset, data.data(), data.size());
    Murmur3Mixer mixer;
    mixer.Mix(shifted.data() + offset, data.size());
    EXPECT_EQ(mixer.ToGuid(), aligned.ToGuid());
  }
}

TEST(MixHash, OneStepEqualsTheReferenceForEveryTailLength) {
  const std::vector<unsigned char> data = RandomBytes(300, 5);
  const HashValue starts[] = {HashValue(), HashValue(1, 2, 3), HashValue(0xDEADBEEF, 0x01234567, 0xFFFFFFFF)};
  for (const HashValue& start : starts) {
    for (std::size_t length = 0; length <= 64; ++length) {
      SCOPED_TRACE(::testing::Message() << "start " << start << " length " << length);
      HashValue hash = start;
      MixHash::MixInArray(hash, data.data(), length);
      EXPECT_EQ(hash, ReferenceStep(start, data.data(), static_cast<ub4>(length)));
    }
    HashValue hash = start;
    MixHash::MixInArray(hash, data.data(), data.size());
    EXPECT_EQ(hash, ReferenceStep(start, data.data(), static_cast<ub4>(data.size())));
  }
}

TEST(MixHash, StepsChainAndEachStepCounts) {
  const std::string first = "basalt";
  const std::string second = "hash";
  HashValue chained;
  MixHash::MixIn(chained, first);
  MixHash::MixIn(chained, second);
  HashValue expected = ReferenceStep(HashValue(), reinterpret_cast<const ub1*>(first.data()), 6);
  expected = ReferenceStep(expected, reinterpret_cast<const ub1*>(second.data()), 4);
  EXPECT_EQ(chained, expected);

  // One step of "basalthash" is not two steps.
  HashValue once;
  MixHash::MixIn(once, first + second);
  EXPECT_NE(once, chained);
}

TEST(MixHash, UnalignedInputGivesTheSameResult) {
  const std::vector<unsigned char> data = RandomBytes(257, 6);
  HashValue aligned;
  MixHash::MixInArray(aligned, data.data(), data.size());
  std::vector<unsigned char> shifted(data.size() + 16);
  for (std::size_t offset = 1; offset < 16; ++offset) {
    SCOPED_TRACE(offset);
    std::memcpy(shifted.data() + offset, data.data(), data.size());
    HashValue hash;
    MixHash::MixInArray(hash, shifted.data() + offset, data.size());
    EXPECT_EQ(hash, aligned);
  }
}

TEST(MixHash, ValuesAndStringsHashTheirBytes) {
  const std::uint32_t word = 0x04030201;
  const unsigned char wordBytes[] = {1, 2, 3, 4};  // little-endian object bytes
  HashValue fromValue;
  MixHash::MixIn(fromValue, word);
  EXPECT_EQ(fromValue, ReferenceStep(HashValue(), wordBytes, 4));

  const UTF16String text = BSL_STR("Ab");
  const unsigned char textBytes[] = {'A', 0, 'b', 0};
  HashValue fromText;
  MixHash::MixIn(fromText, text);
  EXPECT_EQ(fromText, ReferenceStep(HashValue(), textBytes, 4));

  const double number = 1.5;
  unsigned char numberBytes[sizeof number];
  std::memcpy(numberBytes, &number, sizeof number);
  HashValue fromNumber;
  MixHash::MixIn(fromNumber, number);
  EXPECT_EQ(fromNumber, ReferenceStep(HashValue(), numberBytes, sizeof number));
}

TEST(HashValueText, ReadsWhatIsWrittenAndRejectsTheRest) {
  const HashValue values[] = {HashValue(), HashValue(1, 2, 3), HashValue(0xFFFFFFFF, 0x80000000, 0x7FFFFFFF)};
  for (const HashValue& value : values) {
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

  struct Case {
    const char* mText;
    bool mGood;
    HashValue mExpected;
  };
  const Case cases[] = {
      {"  7\n8\t9 tail", true, HashValue(7, 8, 9)},
      {"1 2", false, HashValue()},
      {"1 2 4294967296", false, HashValue()},
      {"1 -2 3", false, HashValue()},
      {"1 +2 3", false, HashValue()},
      {"a b c", false, HashValue()},
      {"", false, HashValue()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mText);
    std::istringstream in(c.mText);
    const HashValue before(5, 6, 7);
    HashValue hash = before;
    const bool good = static_cast<bool>(in >> hash);
    EXPECT_EQ(good, c.mGood);
    EXPECT_EQ(hash, c.mGood ? c.mExpected : before);
  }
}

}  // namespace
}  // namespace utility
}  // namespace basalt
