#include <basalt/utility/Hash.h>

#include <cstring>

namespace basalt {
namespace utility {
namespace {

// Loads through memcpy: any alignment, one instruction on the targets.
inline std::uint32_t Load32LE(const unsigned char* inBytes) noexcept {
  std::uint32_t value;
  std::memcpy(&value, inBytes, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap32(value);
#endif
  return value;
}

inline std::uint64_t Load64LE(const unsigned char* inBytes) noexcept {
  std::uint64_t value;
  std::memcpy(&value, inBytes, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

// lookup2's mix step.
inline void Mix96(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c) noexcept {
  a -= b; a -= c; a ^= (c >> 13);
  b -= c; b -= a; b ^= (a << 8);
  c -= a; c -= b; c ^= (b >> 13);
  a -= b; a -= c; a ^= (c >> 12);
  b -= c; b -= a; b ^= (a << 16);
  c -= a; c -= b; c ^= (b >> 5);
  a -= b; a -= c; a ^= (c >> 3);
  b -= c; b -= a; b ^= (a << 10);
  c -= a; c -= b; c ^= (b >> 15);
}

std::uint32_t Lookup2(const unsigned char* inData, std::uint64_t inLength, std::uint32_t inInitial) noexcept {
  std::uint32_t a = 0x9E3779B9u;
  std::uint32_t b = 0x9E3779B9u;
  std::uint32_t c = inInitial;
  std::uint64_t left = inLength;
  while (left >= 12) {
    a += Load32LE(inData);
    b += Load32LE(inData + 4);
    c += Load32LE(inData + 8);
    Mix96(a, b, c);
    inData += 12;
    left -= 12;
  }
  // The length enters as a 32-bit word, as in the original's ub4 length.
  c += static_cast<std::uint32_t>(inLength);
  // The lowest byte of c is taken by the length, so the tail's bytes 8 to 10
  // go to its upper three bytes.
  for (std::uint64_t i = 0; i < left; ++i) {
    const std::uint32_t byte = inData[i];
    if (i < 4)
      a += byte << (8 * i);
    else if (i < 8)
      b += byte << (8 * (i - 4));
    else
      c += byte << (8 * (i - 7));
  }
  Mix96(a, b, c);
  return c;
}

constexpr std::uint64_t kC1 = 0x87C37B91114253D5ull;
constexpr std::uint64_t kC2 = 0x4CF5AD432745937Full;

inline std::uint64_t Rotl64(std::uint64_t inValue, int inBits) noexcept {
  return (inValue << inBits) | (inValue >> (64 - inBits));
}

inline std::uint64_t MixK1(std::uint64_t k1) noexcept {
  k1 *= kC1;
  k1 = Rotl64(k1, 31);
  return k1 * kC2;
}

inline std::uint64_t MixK2(std::uint64_t k2) noexcept {
  k2 *= kC2;
  k2 = Rotl64(k2, 33);
  return k2 * kC1;
}

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

}  // namespace

std::ostream& operator<<(std::ostream& ioStream, const HashValue& inHash) {
  return ioStream << inHash.a << ' ' << inHash.b << ' ' << inHash.c;
}

std::istream& operator>>(std::istream& ioStream, HashValue& outHash) {
  // Read wider and check the range: extraction into an unsigned type accepts
  // a minus sign and wraps the value around.
  std::uint32_t words[3];
  for (std::uint32_t& word : words) {
    std::istream::sentry sentry(ioStream);
    if (!sentry) return ioStream;
    const int next = ioStream.peek();
    if (next == '-' || next == '+') {
      ioStream.setstate(std::ios_base::failbit);
      return ioStream;
    }
    unsigned long long value = 0;
    if (!(ioStream >> value)) return ioStream;
    if (value > 0xFFFFFFFFull) {
      ioStream.setstate(std::ios_base::failbit);
      return ioStream;
    }
    word = static_cast<std::uint32_t>(value);
  }
  outHash = HashValue(words[0], words[1], words[2]);
  return ioStream;
}

void MixHash::MixInData(HashValue& ioHash, const void* inData, std::uint64_t inLength) noexcept {
  std::uint32_t a = Lookup2(static_cast<const unsigned char*>(inData), inLength, ioHash.a);
  std::uint32_t b = ioHash.b;
  std::uint32_t c = ioHash.c;
  Mix96(a, b, c);
  ioHash = HashValue(a, b, c);
}

void Murmur3Mixer::Mix(const void* inData, std::uint64_t inLength) noexcept {
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

Guid Murmur3Mixer::ToGuid() const noexcept {
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
  // GuidFromBytes of h1 then h2 in little-endian byte order.
  const std::uint32_t data1 = __builtin_bswap32(static_cast<std::uint32_t>(h1));
  const std::uint16_t data2 = __builtin_bswap16(static_cast<std::uint16_t>(h1 >> 32));
  const std::uint16_t data3 = __builtin_bswap16(static_cast<std::uint16_t>(h1 >> 48));
  return Guid(data1, data2, data3, static_cast<std::uint8_t>(h2), static_cast<std::uint8_t>(h2 >> 8),
              static_cast<std::uint8_t>(h2 >> 16), static_cast<std::uint8_t>(h2 >> 24),
              static_cast<std::uint8_t>(h2 >> 32), static_cast<std::uint8_t>(h2 >> 40),
              static_cast<std::uint8_t>(h2 >> 48), static_cast<std::uint8_t>(h2 >> 56));
}

}  // namespace utility
}  // namespace basalt
