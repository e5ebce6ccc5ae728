// Independent implementations of lookup2 and MurmurHash3 x64 128, written
// from the published reference code, that the hash tests compare the library
// with and the hash benchmark measures it against.
#ifndef BASALT_TESTS_REFERENCEHASHES_H
#define BASALT_TESTS_REFERENCEHASHES_H

#include <cstdint>
#include <cstring>

namespace basalt {
namespace testing {
namespace reference {

// ---- Bob Jenkins, lookup2.c, hash(): byte-wise reads, switch on the tail ----
typedef std::uint32_t ub4;
typedef unsigned char ub1;

#define REF_MIX(a, b, c)  \
  {                       \
    a -= b;               \
    a -= c;               \
    a ^= (c >> 13);       \
    b -= c;               \
    b -= a;               \
    b ^= (a << 8);        \
    c -= a;               \
    c -= b;               \
    c ^= (b >> 13);       \
    a -= b;               \
    a -= c;               \
    a ^= (c >> 12);       \
    b -= c;               \
    b -= a;               \
    b ^= (a << 16);       \
    c -= a;               \
    c -= b;               \
    c ^= (b >> 5);        \
    a -= b;               \
    a -= c;               \
    a ^= (c >> 3);        \
    b -= c;               \
    b -= a;               \
    b ^= (a << 10);       \
    c -= a;               \
    c -= b;               \
    c ^= (b >> 15);       \
  }

inline ub4 ReferenceLookup2(const ub1* k, ub4 length, ub4 initval) {
  ub4 a, b, c, len;
  len = length;
  a = b = 0x9e3779b9;
  c = initval;
  while (len >= 12) {
    a += (k[0] + ((ub4)k[1] << 8) + ((ub4)k[2] << 16) + ((ub4)k[3] << 24));
    b += (k[4] + ((ub4)k[5] << 8) + ((ub4)k[6] << 16) + ((ub4)k[7] << 24));
    c += (k[8] + ((ub4)k[9] << 8) + ((ub4)k[10] << 16) + ((ub4)k[11] << 24));
    REF_MIX(a, b, c);
    k += 12;
    len -= 12;
  }
  c += length;
  switch (len) {
    case 11: c += ((ub4)k[10] << 24); [[fallthrough]];
    case 10: c += ((ub4)k[9] << 16); [[fallthrough]];
    case 9: c += ((ub4)k[8] << 8); [[fallthrough]];
    case 8: b += ((ub4)k[7] << 24); [[fallthrough]];
    case 7: b += ((ub4)k[6] << 16); [[fallthrough]];
    case 6: b += ((ub4)k[5] << 8); [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += ((ub4)k[3] << 24); [[fallthrough]];
    case 3: a += ((ub4)k[2] << 16); [[fallthrough]];
    case 2: a += ((ub4)k[1] << 8); [[fallthrough]];
    case 1: a += k[0];
  }
  REF_MIX(a, b, c);
  return c;
}

// ---- Austin Appleby, MurmurHash3.cpp, MurmurHash3_x64_128 ----
inline std::uint64_t Rotl64(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

inline std::uint64_t GetBlock64(const std::uint8_t* p, int i) {
  std::uint64_t k;
  std::memcpy(&k, p + 8 * i, 8);  // the reference reads native (little-endian) words
  return k;
}

inline std::uint64_t Fmix64(std::uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

inline void ReferenceMurmur3(const void* key, const int len, const std::uint32_t seed, std::uint64_t out[2]) {
  const std::uint8_t* data = (const std::uint8_t*)key;
  const int nblocks = len / 16;
  std::uint64_t h1 = seed;
  std::uint64_t h2 = seed;
  const std::uint64_t c1 = 0x87c37b91114253d5ULL;
  const std::uint64_t c2 = 0x4cf5ad432745937fULL;
  for (int i = 0; i < nblocks; i++) {
    std::uint64_t k1 = GetBlock64(data, i * 2 + 0);
    std::uint64_t k2 = GetBlock64(data, i * 2 + 1);
    k1 *= c1; k1 = Rotl64(k1, 31); k1 *= c2; h1 ^= k1;
    h1 = Rotl64(h1, 27); h1 += h2; h1 = h1 * 5 + 0x52dce729;
    k2 *= c2; k2 = Rotl64(k2, 33); k2 *= c1; h2 ^= k2;
    h2 = Rotl64(h2, 31); h2 += h1; h2 = h2 * 5 + 0x38495ab5;
  }
  const std::uint8_t* tail = data + nblocks * 16;
  std::uint64_t k1 = 0;
  std::uint64_t k2 = 0;
  switch (len & 15) {
    case 15: k2 ^= ((std::uint64_t)tail[14]) << 48; [[fallthrough]];
    case 14: k2 ^= ((std::uint64_t)tail[13]) << 40; [[fallthrough]];
    case 13: k2 ^= ((std::uint64_t)tail[12]) << 32; [[fallthrough]];
    case 12: k2 ^= ((std::uint64_t)tail[11]) << 24; [[fallthrough]];
    case 11: k2 ^= ((std::uint64_t)tail[10]) << 16; [[fallthrough]];
    case 10: k2 ^= ((std::uint64_t)tail[9]) << 8; [[fallthrough]];
    case 9:
      k2 ^= ((std::uint64_t)tail[8]) << 0;
      k2 *= c2; k2 = Rotl64(k2, 33); k2 *= c1; h2 ^= k2;
      [[fallthrough]];
    case 8: k1 ^= ((std::uint64_t)tail[7]) << 56; [[fallthrough]];
    case 7: k1 ^= ((std::uint64_t)tail[6]) << 48; [[fallthrough]];
    case 6: k1 ^= ((std::uint64_t)tail[5]) << 40; [[fallthrough]];
    case 5: k1 ^= ((std::uint64_t)tail[4]) << 32; [[fallthrough]];
    case 4: k1 ^= ((std::uint64_t)tail[3]) << 24; [[fallthrough]];
    case 3: k1 ^= ((std::uint64_t)tail[2]) << 16; [[fallthrough]];
    case 2: k1 ^= ((std::uint64_t)tail[1]) << 8; [[fallthrough]];
    case 1:
      k1 ^= ((std::uint64_t)tail[0]) << 0;
      k1 *= c1; k1 = Rotl64(k1, 31); k1 *= c2; h1 ^= k1;
  }
  h1 ^= (std::uint64_t)len;
  h2 ^= (std::uint64_t)len;
  h1 += h2;
  h2 += h1;
  h1 = Fmix64(h1);
  h2 = Fmix64(h2);
  h1 += h2;
  h2 += h1;
  out[0] = h1;
  out[1] = h2;
}

}  // namespace reference
}  // namespace testing
}  // namespace basalt

#endif  // BASALT_TESTS_REFERENCEHASHES_H
