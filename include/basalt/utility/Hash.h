// Two hash functions over bytes.
//
// HashValue and MixHash: a running hash of three 32-bit words. Each call of
// a MixIn function hashes the bytes it is given with Bob Jenkins' lookup2
// hash ("hash()" of lookup2.c), seeded with the word a, then mixes that
// 32-bit result with b and c by lookup2's mix step and stores the three mixed
// words back. Bytes are read as little-endian words whatever the alignment of
// the data, so equal bytes give equal hashes on every platform. Feeding "ab"
// and then "c" is not the same as feeding "abc": every call is one step. Not
// a cryptographic hash; meant for change detection and table keys.
//
// Murmur3Mixer: MurmurHash3_x64_128 computed incrementally. Mixing the bytes
// of an input in any number of pieces gives the same digest as mixing them
// at once, and that digest is the one of the reference MurmurHash3_x64_128
// with the same seed (h1 and h2 both start at the seed) for inputs below
// 4 GiB; the byte count is kept in 32 bits, as the reference's int length.
// ToGuid returns the digest as a Guid: h1 then h2 as little-endian bytes, read
// by Guid::GuidFromBytes. It does not change the state, so mixing may go on.
//
// Thread safety: a HashValue or Murmur3Mixer is a plain value used by one
// thread at a time; the functions keep no other state.
#ifndef BASALT_UTILITY_HASH_H
#define BASALT_UTILITY_HASH_H

#include <basalt/utility/Export.h>
#include <basalt/utility/Guid.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <type_traits>

namespace basalt {
namespace utility {

struct HashValue {
  HashValue() noexcept : a(0), b(0), c(0) {}
  HashValue(std::uint32_t inA, std::uint32_t inB, std::uint32_t inC) noexcept : a(inA), b(inB), c(inC) {}

  bool operator==(const HashValue& inOther) const noexcept {
    return a == inOther.a && b == inOther.b && c == inOther.c;
  }
  bool operator!=(const HashValue& inOther) const noexcept { return !(*this == inOther); }

  std::uint32_t a;
  std::uint32_t b;
  std::uint32_t c;
};

// The words a, b and c as three unsigned numbers separated by single spaces,
// formatted by the stream's own flags (decimal by default).
BSL_EXPORT std::ostream& operator<<(std::ostream& ioStream, const HashValue& inHash);
// Reads three unsigned numbers separated by white space, as operator<< writes
// them. On failure the stream's failbit is set and inHash keeps its value; a
// number above 2^32 - 1 or a negative one is a failure.
BSL_EXPORT std::istream& operator>>(std::istream& ioStream, HashValue& outHash);

class BSL_EXPORT MixHash {
public:
  MixHash() = delete;

  // The object bytes of one value. Only types whose bytes are all value
  // (no padding, which would hash indeterminate bytes) are accepted, plus
  // floating-point numbers; note that +0.0 and -0.0 hash differently.
  template <class T>
  static void MixIn(HashValue& ioHash, const T& inValue) noexcept {
    static_assert(std::is_trivially_copyable<T>::value &&
                      (std::is_floating_point<T>::value || std::has_unique_object_representations<T>::value),
                  "MixHash::MixIn hashes object bytes: the type must have no padding");
    MixInData(ioHash, &inValue, sizeof(T));
  }

  // The code units of a string, without a terminator.
  template <class CharT, class Traits, class Allocator>
  static void MixIn(HashValue& ioHash, const std::basic_string<CharT, Traits, Allocator>& inText) noexcept {
    MixInArray(ioHash, inText.data(), inText.size());
  }

  // inCount values at inValues, in one step.
  template <class T>
  static void MixInArray(HashValue& ioHash, const T* inValues, std::size_t inCount) noexcept {
    static_assert(std::is_trivially_copyable<T>::value &&
                      (std::is_floating_point<T>::value || std::has_unique_object_representations<T>::value),
                  "MixHash::MixInArray hashes object bytes: the type must have no padding");
    MixInData(ioHash, inValues, static_cast<std::uint64_t>(inCount) * sizeof(T));
  }

private:
  static void MixInData(HashValue& ioHash, const void* inData, std::uint64_t inLength) noexcept;
};

// The mixer is inline: a digest of a few bytes costs little more than the
// arithmetic, with no call into the library.
namespace murmur3_detail {

inline std::uint64_t Load64LE(const unsigned char* inBytes) noexcept {
  std::uint64_t value;
  std::memcpy(&value, inBytes, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

inline std::uint64_t Rotl64(std::uint64_t inValue, int inBits) noexcept {
  return (inValue << inBits) | (inValue >> (64 - inBits));
}

inline std::uint32_t Swap32(std::uint32_t inValue) noexcept {
#if defined(__GNUC__)
  return __builtin_bswap32(inValue);
#else
  return (inValue >> 24) | ((inValue >> 8) & 0xFF00u) | ((inValue << 8) & 0xFF0000u) | (inValue << 24);
#endif
}

inline std::uint16_t Swap16(std::uint16_t inValue) noexcept {
  return static_cast<std::uint16_t>((inValue >> 8) | (inValue << 8));
}

constexpr std::uint64_t kC1 = 0x87C37B91114253D5ull;
constexpr std::uint64_t kC2 = 0x4CF5AD432745937Full;

inline std::uint64_t MixK1(std::uint64_t k1) noexcept { return Rotl64(k1 * kC1, 31) * kC2; }
inline std::uint64_t MixK2(std::uint64_t k2) noexcept { return Rotl64(k2 * kC2, 33) * kC1; }

inline void MixBlock(std::uint64_t& h1, std::uint64_t& h2, const unsigned char* inBlock) noexcept {
  h1 ^= MixK1(Load64LE(inBlock));
  h1 = Rotl64(h1, 27);
  h1 += h2;
  h1 = h1 * 5 + 0x52DCE729u;
  h2 ^= MixK2(Load64LE(inBlock + 8));
  h2 = Rotl64(h2, 31);
  h2 += h1;
  h2 = h2 * 5 + 0x38495AB5u;
}

inline std::uint64_t FinalMix64(std::uint64_t k) noexcept {
  k ^= k >> 33;
  k *= 0xFF51AFD7ED558CCDull;
  k ^= k >> 33;
  k *= 0xC4CEB9FE1A85EC53ull;
  k ^= k >> 33;
  return k;
}

}  // namespace murmur3_detail

class Murmur3Mixer {
public:
  explicit Murmur3Mixer(std::uint32_t inSeed = 0) noexcept
      : mH1(inSeed), mH2(inSeed), mBuffer{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, mCount(0) {}

  void Mix(const void* inData, std::uint64_t inLength) noexcept {
    using murmur3_detail::MixBlock;
    const unsigned char* data = static_cast<const unsigned char*>(inData);
    std::size_t buffered = mCount % 16;
    mCount += static_cast<std::uint32_t>(inLength);
    std::uint64_t h1 = mH1;
    std::uint64_t h2 = mH2;
    if (buffered > 0) {
      const std::size_t take = inLength < 16 - buffered ? static_cast<std::size_t>(inLength) : 16 - buffered;
      std::memcpy(mBuffer + buffered, data, take);
      data += take;
      inLength -= take;
      buffered += take;
      if (buffered < 16) return;
      MixBlock(h1, h2, mBuffer);
    }
    for (; inLength >= 16; inLength -= 16, data += 16) MixBlock(h1, h2, data);
    if (inLength > 0) std::memcpy(mBuffer, data, static_cast<std::size_t>(inLength));
    mH1 = h1;
    mH2 = h2;
  }

  Guid ToGuid() const noexcept {
    using namespace murmur3_detail;
    std::uint64_t h1 = mH1;
    std::uint64_t h2 = mH2;
    const std::size_t tail = mCount % 16;
    // Bytes of the buffer past the tail are left over from earlier blocks.
    if (tail > 8) h2 ^= MixK2(Load64LE(mBuffer + 8) & (~std::uint64_t(0) >> (64 - 8 * (tail - 8))));
    if (tail > 0) h1 ^= MixK1(Load64LE(mBuffer) & (tail >= 8 ? ~std::uint64_t(0) : ~std::uint64_t(0) >> (64 - 8 * tail)));
    h1 ^= mCount;
    h2 ^= mCount;
    h1 += h2;
    h2 += h1;
    h1 = FinalMix64(h1);
    h2 = FinalMix64(h2);
    h1 += h2;
    h2 += h1;
    // GuidFromBytes of h1 then h2 in little-endian byte order: Data1..3 read
    // big-endian from h1's bytes, Data4 is h2's bytes in order.
    const std::uint32_t data1 = murmur3_detail::Swap32(static_cast<std::uint32_t>(h1));
    const std::uint16_t data2 = murmur3_detail::Swap16(static_cast<std::uint16_t>(h1 >> 32));
    const std::uint16_t data3 = murmur3_detail::Swap16(static_cast<std::uint16_t>(h1 >> 48));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The fields laid out as two words: two stores instead of eleven fields.
    static_assert(sizeof(Guid) == 16, "Guid is Data1, Data2, Data3 and Data4 without padding");
    const std::uint64_t words[2] = {data1 | (std::uint64_t(data2) << 32) | (std::uint64_t(data3) << 48), h2};
    Guid guid;
    std::memcpy(static_cast<void*>(&guid), words, sizeof words);
    return guid;
#else
    const auto byte = [](std::uint64_t inWord, int inIndex) { return static_cast<std::uint8_t>(inWord >> (8 * inIndex)); };
    return Guid(data1, data2, data3, byte(h2, 0), byte(h2, 1), byte(h2, 2), byte(h2, 3), byte(h2, 4), byte(h2, 5),
                byte(h2, 6), byte(h2, 7));
#endif
  }

private:
  std::uint64_t mH1;
  std::uint64_t mH2;
  unsigned char mBuffer[16];  // the first mCount % 16 bytes are a partial block
  std::uint32_t mCount;
};

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_HASH_H
