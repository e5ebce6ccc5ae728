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

}  // namespace utility
}  // namespace basalt
