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

class BSL_EXPORT Murmur3Mixer {
public:
  explicit Murmur3Mixer(std::uint32_t inSeed = 0) noexcept
      : mH1(inSeed), mH2(inSeed), mBuffer{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, mCount(0) {}

  void Mix(const void* inData, std::uint64_t inLength) noexcept;
  Guid ToGuid() const noexcept;

private:
  std::uint64_t mH1;
  std::uint64_t mH2;
  unsigned char mBuffer[16];  // the first mCount % 16 bytes are a partial block
  std::uint32_t mCount;
};

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_HASH_H
