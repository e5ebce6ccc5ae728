#include <basalt/utility/UnicodeString.h>

#include "utility/UnicodeStringInternal.h"

#include <unicode/unorm2.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(__SSE2__) || defined(_M_X64)
#  include <emmintrin.h>
#  define BSL_UNICODE_SSE2 1
#else
#  define BSL_UNICODE_SSE2 0
#endif

// The terminator search reads whole aligned 16-byte blocks, which may extend
// past the terminator but never across a page. Sanitizers would see those
// bytes as out of bounds (or racing), so that one function is not instrumented.
#if defined(__GNUC__) || defined(__clang__)
#  define BSL_UNICODE_WHOLE_BLOCK_READS __attribute__((no_sanitize("address", "thread", "hwaddress")))
#else
#  define BSL_UNICODE_WHOLE_BLOCK_READS
#endif

namespace basalt {
namespace utility {
namespace {

// Inputs up to this many code units are converted in a stack buffer and copied
// into an exactly sized string; longer ones are measured first and converted
// in place.
constexpr std::size_t kStackUnits = 256;

[[noreturn]] void ThrowTooLong() { throw std::length_error("string too long"); }

inline unsigned CountTrailingZeros(unsigned inValue) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return static_cast<unsigned>(__builtin_ctz(inValue));
#else
  unsigned n = 0;
  while ((inValue & 1u) == 0) {
    inValue >>= 1;
    ++n;
  }
  return n;
#endif
}

// Sequence length announced by a lead byte: 0x00..0xBF 1, 0xC0..0xDF 2,
// 0xE0..0xEF 3, 0xF0..0xF7 4, 0xF8..0xFB 5, 0xFC..0xFF 6.
inline unsigned SequenceLength(unsigned inLead) noexcept {
  if (inLead < 0xC0) return 1;
  if (inLead < 0xE0) return 2;
  if (inLead < 0xF0) return 3;
  if (inLead < 0xF8) return 4;
  if (inLead < 0xFC) return 5;
  return 6;
}

inline bool IsContinuation(unsigned inByte) noexcept { return (inByte ^ 0x80u) < 0x40u; }

struct DecodeResult {
  std::size_t mUnits;
  UnicodeErrorCode mError;
};

struct UTF16Measure {
  std::size_t mUnits;  // units before the first NUL
  std::size_t mBytes;  // exact UTF-8 length of those units
};

// ---------------------------------------------------------------------------
// Kernels. Each provides, for blocks of kBlock bytes or units:
//   WidenAscii(in, inAvail, out, outAvail): widens ASCII bytes a block (or
//     half a block) at a time while both sides have a block left; returns the
//     bytes consumed.
//   NarrowAscii(in, inAvail, out, outAvail): whole blocks of units 1..0x7F.
//   DecodeThreeByteBlock(in, out): five three-byte sequences in the first 15
//     of 16 readable bytes, or false with nothing written.
//   EncodeTwoByteBlock(in, out), EncodeBmpBlock(in, out): kBlock / 2 units of
//     one shape, advancing out, or false with nothing written.
//   UTF16UnitBound(in, n): the UTF-16 units n bytes of valid UTF-8 give; an
//     upper bound for the units any prefix of invalid UTF-8 gives.
//   MeasureUTF16(in, n): units before the first NUL and their UTF-8 length.
//   WidenSigned(in, n, out): every byte as a sign-extended unit.
// The portable kernel reads words of eight bytes; the SSE2 one 16-byte
// vectors (x86-64 always has SSE2, so no run-time dispatch is needed).
// ---------------------------------------------------------------------------

// Shared scalar step of the UTF-16 measurement: processes units from inIndex
// until inLimit is reached (a pair may end one unit beyond it) or a NUL is
// found. Pairing looks at the whole input, exactly as the encoder does.
inline bool MeasureUTF16Scalar(const char16_t* inText, std::size_t inSize, std::size_t& ioIndex, std::size_t inLimit,
                               std::size_t& ioBytes) noexcept {
  std::size_t i = ioIndex;
  std::size_t bytes = ioBytes;
  bool foundNul = false;
  while (i < inLimit) {
    const unsigned c = inText[i];
    if (c < 0x80) {
      if (c == 0) {
        foundNul = true;
        break;
      }
      bytes += 1;
      ++i;
    } else if (c < 0x800) {
      bytes += 2;
      ++i;
    } else if (c >= 0xD800 && c < 0xDC00 && i + 1 < inSize && (inText[i + 1] & 0xFC00u) == 0xDC00u) {
      bytes += 4;
      i += 2;
    } else {
      bytes += 3;
      ++i;
    }
  }
  ioIndex = i;
  ioBytes = bytes;
  return foundNul;
}

struct PortableKernel {
  static constexpr std::size_t kBlock = 8;

  static std::size_t WidenAscii(const unsigned char* inText, std::size_t inAvail, char16_t* outUnits,
                                std::size_t inOutAvail) noexcept {
    const std::size_t avail = std::min(inAvail, inOutAvail);
    std::size_t i = 0;
    while (avail - i >= kBlock) {
      std::uint64_t word;
      std::memcpy(&word, inText + i, sizeof word);
      if ((word & 0x8080808080808080ull) != 0) break;
      for (std::size_t k = 0; k < kBlock; ++k) outUnits[i + k] = inText[i + k];
      i += kBlock;
    }
    return i;
  }

  static std::size_t NarrowAscii(const char16_t* inText, std::size_t inAvail, unsigned char* outBytes,
                                 std::size_t inOutAvail) noexcept {
    const std::size_t avail = std::min(inAvail, inOutAvail);
    std::size_t i = 0;
    while (avail - i >= kBlock) {
      std::uint64_t words[2];
      std::memcpy(words, inText + i, sizeof words);
      const std::uint64_t kOnes = 0x0001000100010001ull;
      const std::uint64_t kHigh = 0x8000800080008000ull;
      // Any unit above 0x7F, or any zero unit.
      std::uint64_t dirty = 0;
      for (const std::uint64_t w : words) dirty |= (w & 0xFF80FF80FF80FF80ull) | ((w - kOnes) & ~w & kHigh);
      if (dirty != 0) break;
      for (std::size_t k = 0; k < kBlock; ++k) outBytes[i + k] = static_cast<unsigned char>(inText[i + k]);
      i += kBlock;
    }
    return i;
  }

  // The block forms below need vector registers; the scalar path does their
  // work here.
  static bool EncodeTwoByteBlock(const char16_t*, unsigned char*&) noexcept { return false; }
  static bool EncodeBmpBlock(const char16_t*, unsigned char*&) noexcept { return false; }
  static bool DecodeThreeByteBlock(const unsigned char*, char16_t*) noexcept { return false; }
  static std::size_t DecodeTwoByteBlock(const unsigned char*, char16_t*&) noexcept { return 0; }

  static std::size_t UTF16UnitBound(const unsigned char* inText, std::size_t inSize) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < inSize; ++i) {
      const unsigned c = inText[i];
      count += static_cast<std::size_t>(!IsContinuation(c)) + static_cast<std::size_t>(c >= 0xF0);
    }
    return count;
  }

  static UTF16Measure MeasureUTF16(const char16_t* inText, std::size_t inSize) noexcept {
    std::size_t i = 0;
    std::size_t bytes = 0;
    MeasureUTF16Scalar(inText, inSize, i, inSize, bytes);
    return {i, bytes};
  }

  static void WidenSigned(const char* inText, std::size_t inSize, char16_t* outUnits) noexcept {
    for (std::size_t i = 0; i < inSize; ++i) outUnits[i] = static_cast<char16_t>(static_cast<signed char>(inText[i]));
  }
};

#if BSL_UNICODE_SSE2
struct Sse2Kernel {
  static constexpr std::size_t kBlock = 16;

  static __m128i Load(const void* inAddress) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(inAddress));
  }
  static void Store(void* outAddress, __m128i inValue) noexcept {
    _mm_storeu_si128(static_cast<__m128i*>(outAddress), inValue);
  }

  static std::size_t WidenAscii(const unsigned char* inText, std::size_t inAvail, char16_t* outUnits,
                                std::size_t inOutAvail) noexcept {
    const std::size_t avail = std::min(inAvail, inOutAvail);
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = 0;
    while (avail - i >= 32) {
      const __m128i a = Load(inText + i);
      const __m128i b = Load(inText + i + 16);
      if (_mm_movemask_epi8(_mm_or_si128(a, b)) != 0) break;
      Store(outUnits + i, _mm_unpacklo_epi8(a, zero));
      Store(outUnits + i + 8, _mm_unpackhi_epi8(a, zero));
      Store(outUnits + i + 16, _mm_unpacklo_epi8(b, zero));
      Store(outUnits + i + 24, _mm_unpackhi_epi8(b, zero));
      i += 32;
    }
    if (avail - i >= 16) {
      const __m128i a = Load(inText + i);
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(a));
      // Half a block is worth taking: mixed text often has one.
      if ((high & 0xFF) == 0) {
        Store(outUnits + i, _mm_unpacklo_epi8(a, zero));
        i += 8;
        if (high == 0) {
          Store(outUnits + i, _mm_unpackhi_epi8(a, zero));
          i += 8;
        }
      }
    }
    return i;
  }

  // Units 1..0x7F only: a NUL ends the conversion and goes the scalar way.
  static __m128i AsciiFlags(__m128i inUnits) noexcept {
    // (u - 1) saturating-minus 0x7E is zero exactly for u in 1..0x7F.
    return _mm_subs_epu16(_mm_sub_epi16(inUnits, _mm_set1_epi16(1)), _mm_set1_epi16(0x7E));
  }

  static std::size_t NarrowAscii(const char16_t* inText, std::size_t inAvail, unsigned char* outBytes,
                                 std::size_t inOutAvail) noexcept {
    const std::size_t avail = std::min(inAvail, inOutAvail);
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = 0;
    while (avail - i >= 16) {
      const __m128i a = Load(inText + i);
      const __m128i b = Load(inText + i + 8);
      const __m128i bad = _mm_or_si128(AsciiFlags(a), AsciiFlags(b));
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(bad, zero)) != 0xFFFF) break;
      Store(outBytes + i, _mm_packus_epi16(a, b));
      i += 16;
    }
    return i;
  }

  // Eight units all in 1..0x7FF (Latin, Greek, Cyrillic, Hebrew, Arabic text)
  // become one or two bytes each without a branch per unit: the encodings are
  // formed side by side, then written at their running offsets. Needs 16
  // bytes of room.
  static bool EncodeTwoByteBlock(const char16_t* inText, unsigned char*& ioOut) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i u = Load(inText);
    const __m128i outside =
        _mm_or_si128(_mm_cmpeq_epi16(u, zero),
                     _mm_cmpeq_epi16(_mm_cmpeq_epi16(_mm_subs_epu16(u, _mm_set1_epi16(0x7FF)), zero), zero));
    if (_mm_movemask_epi8(outside) != 0) return false;
    const __m128i ascii = _mm_cmpeq_epi16(_mm_subs_epu16(u, _mm_set1_epi16(0x7F)), zero);
    if (_mm_movemask_epi8(ascii) == 0xFFFF) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(ioOut), _mm_packus_epi16(u, u));
      ioOut += 8;
      return true;
    }
    const __m128i lead = _mm_or_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0xC0));
    const __m128i trail = _mm_slli_epi16(_mm_or_si128(_mm_and_si128(u, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80)), 8);
    const __m128i twoByte = _mm_or_si128(lead, trail);
    const __m128i words = _mm_or_si128(_mm_and_si128(ascii, u), _mm_andnot_si128(ascii, twoByte));
    // Lengths 2 + (-1 for ASCII), one per byte.
    const __m128i lengths = _mm_add_epi16(_mm_set1_epi16(2), ascii);
    alignas(16) std::uint16_t encoded[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(encoded), words);
    std::uint64_t steps;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&steps), _mm_packus_epi16(lengths, lengths));
    unsigned char* o = ioOut;
    for (int k = 0; k < 8; ++k) {
      std::memcpy(o, &encoded[k], 2);
      o += steps & 0xFF;
      steps >>= 8;
    }
    ioOut = o;
    return true;
  }

  // The UTF-8 encoding of each 32-bit lane (a unit outside the surrogate
  // range), first byte lowest.
  static __m128i EncodeWords(__m128i inUnits) noexcept {
    const __m128i x = inUnits;
    const __m128i three = _mm_or_si128(_mm_or_si128(_mm_set1_epi32(0x8080E0), _mm_srli_epi32(x, 12)),
                                       _mm_or_si128(_mm_and_si128(_mm_slli_epi32(x, 2), _mm_set1_epi32(0x3F00)),
                                                    _mm_and_si128(_mm_slli_epi32(x, 16), _mm_set1_epi32(0x3F0000))));
    const __m128i two = _mm_or_si128(_mm_or_si128(_mm_set1_epi32(0x80C0), _mm_srli_epi32(x, 6)),
                                     _mm_and_si128(_mm_slli_epi32(x, 8), _mm_set1_epi32(0x3F00)));
    const __m128i isAscii = _mm_cmplt_epi32(x, _mm_set1_epi32(0x80));
    const __m128i isTwo = _mm_cmplt_epi32(x, _mm_set1_epi32(0x800));
    const __m128i multi = _mm_or_si128(_mm_and_si128(isTwo, two), _mm_andnot_si128(isTwo, three));
    return _mm_or_si128(_mm_and_si128(isAscii, x), _mm_andnot_si128(isAscii, multi));
  }

  // Eight units outside the surrogate range and not NUL (CJK text, or any
  // mix of one- to three-byte units) become one to three bytes each: every
  // encoding is formed as a 32-bit word, then the words are written at their
  // running offsets, each write spilling up to one byte that the next one
  // overwrites. Needs 25 bytes of room.
  static bool EncodeBmpBlock(const char16_t* inText, unsigned char*& ioOut) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i u = Load(inText);
    const __m128i special = _mm_or_si128(_mm_cmpeq_epi16(u, zero),
                                         _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(static_cast<short>(0xF800))),
                                                         _mm_set1_epi16(static_cast<short>(0xD800))));
    if (_mm_movemask_epi8(special) != 0) return false;
    alignas(16) std::uint32_t words[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(words), EncodeWords(_mm_unpacklo_epi16(u, zero)));
    _mm_store_si128(reinterpret_cast<__m128i*>(words + 4), EncodeWords(_mm_unpackhi_epi16(u, zero)));
    // Lengths 3 - (u <= 0x7F) - (u <= 0x7FF), one per byte.
    const __m128i lengths =
        _mm_add_epi16(_mm_add_epi16(_mm_set1_epi16(3), _mm_cmpeq_epi16(_mm_subs_epu16(u, _mm_set1_epi16(0x7F)), zero)),
                      _mm_cmpeq_epi16(_mm_subs_epu16(u, _mm_set1_epi16(0x7FF)), zero));
    std::uint64_t steps;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&steps), _mm_packus_epi16(lengths, lengths));
    unsigned char* o = ioOut;
    for (int k = 0; k < 8; ++k) {
      const std::uint32_t word = words[k];
      std::memcpy(o, &word, 4);
      o += steps & 0xFF;
      steps >>= 8;
    }
    ioOut = o;
    return true;
  }

  // Fifteen bytes that are five three-byte sequences (Chinese, Japanese and
  // Korean text, Indic scripts) decode without a branch per character. Reads
  // 16 bytes; false, with nothing written, for any other shape or for an
  // overlong 0xE0 form.
  static bool DecodeThreeByteBlock(const unsigned char* inText, char16_t* outUnits) noexcept {
    const __m128i v = Load(inText);
    const __m128i leads = _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xF0))),
                                         _mm_set1_epi8(static_cast<char>(0xE0)));
    const __m128i continuations = _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC0)));
    if ((_mm_movemask_epi8(leads) & 0x7FFF) != 0x1249 || (_mm_movemask_epi8(continuations) & 0x7FFF) != 0x6DB6)
      return false;
    // After 0xE0 the next byte must be 0xA0 or above (signed: -96).
    const __m128i afterE0 = _mm_slli_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xE0))), 1);
    if (_mm_movemask_epi8(_mm_and_si128(afterE0, _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xA0))))) != 0)
      return false;
    const __m128i zero = _mm_setzero_si128();
    const __m128i v1 = _mm_srli_si128(v, 1);
    const __m128i v2 = _mm_srli_si128(v, 2);
    const __m128i low4 = _mm_set1_epi16(0x0F);
    const __m128i low6 = _mm_set1_epi16(0x3F);
    auto combine = [&](__m128i inB0, __m128i inB1, __m128i inB2) {
      return _mm_or_si128(
          _mm_or_si128(_mm_slli_epi16(_mm_and_si128(inB0, low4), 12), _mm_slli_epi16(_mm_and_si128(inB1, low6), 6)),
          _mm_and_si128(inB2, low6));
    };
    // Lane i holds the character that would start at byte i; the ones that
    // do start at bytes 0, 3, 6 (first half) and 9, 12 (second half).
    const __m128i first = combine(_mm_unpacklo_epi8(v, zero), _mm_unpacklo_epi8(v1, zero), _mm_unpacklo_epi8(v2, zero));
    const __m128i second =
        combine(_mm_unpackhi_epi8(v, zero), _mm_unpackhi_epi8(v1, zero), _mm_unpackhi_epi8(v2, zero));
    outUnits[0] = static_cast<char16_t>(_mm_extract_epi16(first, 0));
    outUnits[1] = static_cast<char16_t>(_mm_extract_epi16(first, 3));
    outUnits[2] = static_cast<char16_t>(_mm_extract_epi16(first, 6));
    outUnits[3] = static_cast<char16_t>(_mm_extract_epi16(second, 1));
    outUnits[4] = static_cast<char16_t>(_mm_extract_epi16(second, 4));
    return true;
  }

  // Sixteen bytes of ASCII and two-byte sequences (Latin, Greek, Cyrillic,
  // Hebrew, Arabic text) decode without a branch per character. Every
  // position's unit is formed side by side; in valid text no two
  // continuation bytes are neighbours, so each pair of positions gives one or
  // two units, written as one word at a running offset (the word's spare half
  // is overwritten next). A lead in the last byte is left for the next block.
  // Needs 16 units of room. Returns the bytes consumed, or 0 with nothing
  // written for any other shape.
  static std::size_t DecodeTwoByteBlock(const unsigned char* inText, char16_t*& ioOut) noexcept {
    const __m128i v = Load(inText);
    const __m128i leads = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC1))),
                                        _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xE0))));
    const __m128i continuations = _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC0)));
    const unsigned leadBits = static_cast<unsigned>(_mm_movemask_epi8(leads));
    const unsigned continuationBits = static_cast<unsigned>(_mm_movemask_epi8(continuations));
    const unsigned highBits = static_cast<unsigned>(_mm_movemask_epi8(v));
    if ((leadBits | continuationBits) != highBits || continuationBits != ((leadBits << 1) & 0xFFFFu)) return 0;
    const bool leadLast = (leadBits & 0x8000u) != 0;
    const unsigned keep = ~continuationBits & (leadLast ? 0x7FFFu : 0xFFFFu);

    const __m128i zero = _mm_setzero_si128();
    const __m128i next = _mm_srli_si128(v, 1);
    auto units = [](__m128i inBytes, __m128i inNext, __m128i inIsLead) {
      const __m128i two = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(inBytes, _mm_set1_epi16(0x1F)), 6),
                                       _mm_and_si128(inNext, _mm_set1_epi16(0x3F)));
      return _mm_or_si128(_mm_and_si128(inIsLead, two), _mm_andnot_si128(inIsLead, inBytes));
    };
    const __m128i first =
        units(_mm_unpacklo_epi8(v, zero), _mm_unpacklo_epi8(next, zero), _mm_unpacklo_epi8(leads, leads));
    const __m128i second =
        units(_mm_unpackhi_epi8(v, zero), _mm_unpackhi_epi8(next, zero), _mm_unpackhi_epi8(leads, leads));
    // Positions left out: continuation bytes, and a lead in the last byte.
    const __m128i lastByte = _mm_slli_si128(_mm_set_epi32(0, 0, 0, 0xFF), 15);
    const __m128i dropped = _mm_or_si128(continuations, _mm_and_si128(leads, lastByte));
    // Per 32-bit lane (positions 2k, 2k + 1): take the odd unit alone when the
    // even position is dropped.
    auto words = [](__m128i inUnits, __m128i inDropped) {
      const __m128i evenDropped = _mm_srai_epi32(_mm_slli_epi32(inDropped, 16), 16);
      return _mm_or_si128(_mm_and_si128(evenDropped, _mm_srli_epi32(inUnits, 16)),
                          _mm_andnot_si128(evenDropped, inUnits));
    };
    alignas(16) std::uint32_t pairs[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(pairs), words(first, _mm_unpacklo_epi8(dropped, dropped)));
    _mm_store_si128(reinterpret_cast<__m128i*>(pairs + 4), words(second, _mm_unpackhi_epi8(dropped, dropped)));
    // Units kept per pair of positions, two bits each.
    unsigned counts = keep - ((keep >> 1) & 0x5555u);
    char16_t* o = ioOut;
    for (int k = 0; k < 8; ++k) {
      std::memcpy(o, &pairs[k], 4);
      o += counts & 3u;
      counts >>= 2;
    }
    ioOut = o;
    return leadLast ? 15 : 16;
  }

  static std::size_t SumBytes(__m128i inCounts) noexcept {
    const __m128i sums = _mm_sad_epu8(inCounts, _mm_setzero_si128());
    return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
           static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }

  static std::size_t UTF16UnitBound(const unsigned char* inText, std::size_t inSize) noexcept {
    const __m128i continuationLimit = _mm_set1_epi8(static_cast<char>(0xC0));
    const __m128i fourByteLead = _mm_set1_epi8(static_cast<char>(0xF0));
    std::size_t count = inSize;
    std::size_t i = 0;
    while (inSize - i >= 32) {
      // Byte counters hold at most 255 rounds.
      const std::size_t rounds = std::min<std::size_t>((inSize - i) / 32, 127);
      __m128i continuations = _mm_setzero_si128();
      __m128i leads = _mm_setzero_si128();
      for (std::size_t r = 0; r < rounds; ++r, i += 32) {
        const __m128i a = Load(inText + i);
        const __m128i b = Load(inText + i + 16);
        continuations = _mm_sub_epi8(
            continuations, _mm_add_epi8(_mm_cmplt_epi8(a, continuationLimit), _mm_cmplt_epi8(b, continuationLimit)));
        leads = _mm_sub_epi8(leads, _mm_add_epi8(_mm_cmpeq_epi8(_mm_max_epu8(a, fourByteLead), a),
                                                 _mm_cmpeq_epi8(_mm_max_epu8(b, fourByteLead), b)));
      }
      count = count - SumBytes(continuations) + SumBytes(leads);
    }
    for (; i < inSize; ++i) {
      const unsigned c = inText[i];
      count = count - static_cast<std::size_t>(IsContinuation(c)) + static_cast<std::size_t>(c >= 0xF0);
    }
    return count;
  }

  static UTF16Measure MeasureUTF16(const char16_t* inText, std::size_t inSize) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i surrogateMask = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogateBits = _mm_set1_epi16(static_cast<short>(0xD800));
    const __m128i asciiMax = _mm_set1_epi16(0x7F);
    const __m128i twoByteMax = _mm_set1_epi16(0x7FF);
    const __m128i ones = _mm_set1_epi16(1);
    // Every unit counts 3 bytes, less one per limit it does not exceed. The
    // 16-bit lanes gather at most -4 per round and are summed in time.
    constexpr std::size_t kRoundsPerSum = 8000;
    std::size_t bytes = 0;
    std::size_t deductions = 0;
    std::size_t i = 0;
    bool foundNul = false;
    while (!foundNul && inSize - i >= 16) {
      __m128i acc = zero;
      for (std::size_t rounds = 0; rounds < kRoundsPerSum && inSize - i >= 16; ++rounds) {
        const __m128i a = Load(inText + i);
        const __m128i b = Load(inText + i + 8);
        const __m128i special = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(_mm_and_si128(a, surrogateMask), surrogateBits)),
            _mm_or_si128(_mm_cmpeq_epi16(b, zero), _mm_cmpeq_epi16(_mm_and_si128(b, surrogateMask), surrogateBits)));
        if (_mm_movemask_epi8(special) != 0) {
          if (MeasureUTF16Scalar(inText, inSize, i, i + 16, bytes)) {
            foundNul = true;
            break;
          }
          continue;
        }
        acc = _mm_add_epi16(acc, _mm_add_epi16(_mm_add_epi16(_mm_cmpeq_epi16(_mm_subs_epu16(a, asciiMax), zero),
                                                             _mm_cmpeq_epi16(_mm_subs_epu16(a, twoByteMax), zero)),
                                               _mm_add_epi16(_mm_cmpeq_epi16(_mm_subs_epu16(b, asciiMax), zero),
                                                             _mm_cmpeq_epi16(_mm_subs_epu16(b, twoByteMax), zero))));
        bytes += 48;
        i += 16;
      }
      const __m128i pairs = _mm_madd_epi16(acc, ones);
      const __m128i quads = _mm_add_epi32(pairs, _mm_unpackhi_epi64(pairs, pairs));
      const __m128i total = _mm_add_epi32(quads, _mm_shuffle_epi32(quads, 1));
      deductions += static_cast<std::size_t>(-_mm_cvtsi128_si32(total));
    }
    if (!foundNul) MeasureUTF16Scalar(inText, inSize, i, inSize, bytes);
    return {i, bytes - deductions};
  }

  static void WidenSigned(const char* inText, std::size_t inSize, char16_t* outUnits) noexcept {
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = 0;
    for (; inSize - i >= 16; i += 16) {
      const __m128i v = Load(inText + i);
      const __m128i sign = _mm_cmpgt_epi8(zero, v);
      Store(outUnits + i, _mm_unpacklo_epi8(v, sign));
      Store(outUnits + i + 8, _mm_unpackhi_epi8(v, sign));
    }
    PortableKernel::WidenSigned(inText + i, inSize - i, outUnits + i);
  }
};
using FastKernel = Sse2Kernel;
#else
using FastKernel = PortableKernel;
#endif

// ---------------------------------------------------------------------------
// UTF-8 to UTF-16
// ---------------------------------------------------------------------------

// Decodes the character at ioIn, which must be before inEnd, and advances
// both pointers. At a truncated or illegal sequence returns false with
// outError set and nothing consumed.
inline bool DecodeOne(const unsigned char*& ioIn, const unsigned char* inEnd, char16_t*& ioOut,
                      UnicodeErrorCode& outError) noexcept {
  const unsigned char* const p = ioIn;
  const unsigned c = *p;
  if (c < 0x80) {
    *ioOut++ = static_cast<char16_t>(c);
    ioIn = p + 1;
    return true;
  }
  const std::size_t remaining = static_cast<std::size_t>(inEnd - p);
  if (c >= 0xC2 && c < 0xE0) {
    if (remaining < 2) {
      outError = kUnicodeError_Truncated;
      return false;
    }
    const unsigned t1 = p[1];
    if (!IsContinuation(t1)) {
      outError = kUnicodeError_IllegalSequence;
      return false;
    }
    *ioOut++ = static_cast<char16_t>(((c & 0x1Fu) << 6) | (t1 & 0x3Fu));
    ioIn = p + 2;
    return true;
  }
  if (c >= 0xE0 && c < 0xF0) {
    if (remaining < 3) {
      outError = kUnicodeError_Truncated;
      return false;
    }
    const unsigned t1 = p[1];
    const unsigned t2 = p[2];
    // 0xE0 needs 0xA0.. to rule out overlong forms; surrogates (0xED
    // 0xA0..0xBF) are let through as lone units.
    if (!IsContinuation(t1) || !IsContinuation(t2) || (c == 0xE0 && t1 < 0xA0)) {
      outError = kUnicodeError_IllegalSequence;
      return false;
    }
    *ioOut++ = static_cast<char16_t>(((c & 0x0Fu) << 12) | ((t1 & 0x3Fu) << 6) | (t2 & 0x3Fu));
    ioIn = p + 3;
    return true;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (remaining < 4) {
      outError = kUnicodeError_Truncated;
      return false;
    }
    const unsigned t1 = p[1];
    const unsigned t2 = p[2];
    const unsigned t3 = p[3];
    if (!IsContinuation(t1) || !IsContinuation(t2) || !IsContinuation(t3) || (c == 0xF0 && t1 < 0x90) ||
        (c == 0xF4 && t1 > 0x8F)) {
      outError = kUnicodeError_IllegalSequence;
      return false;
    }
    const unsigned cp = ((c & 0x07u) << 18) | ((t1 & 0x3Fu) << 12) | ((t2 & 0x3Fu) << 6) | (t3 & 0x3Fu);
    ioOut[0] = static_cast<char16_t>(0xD7C0u + (cp >> 10));  // 0xD800 + ((cp - 0x10000) >> 10)
    ioOut[1] = static_cast<char16_t>(0xDC00u + (cp & 0x3FFu));
    ioOut += 2;
    ioIn = p + 4;
    return true;
  }
  // 0x80..0xC1 and 0xF5..0xFF. The announced length decides between a
  // truncated and an illegal sequence, as it does for valid leads.
  outError = remaining < SequenceLength(c) ? kUnicodeError_Truncated : kUnicodeError_IllegalSequence;
  return false;
}

// Decodes until the end of the input or the first truncated or illegal
// sequence. inCapacity must hold the units of the longest valid prefix (the
// input length, or UTF16UnitBound of it).
//
// ASCII blocks (and half blocks) and runs of five three-byte sequences go the
// vector way; any other block is decoded a character at a time to its end.
// Handing over at the exact first non-ASCII byte instead would make every
// position depend on the previous block's bit mask, which costs more on mixed
// text than it saves.
template <class Kernel>
DecodeResult DecodeUTF8(const unsigned char* inText, std::size_t inSize, char16_t* outUnits,
                        std::size_t inCapacity) noexcept {
  const unsigned char* p = inText;
  const unsigned char* const end = inText + inSize;
  char16_t* o = outUnits;
  char16_t* const outEnd = outUnits + inCapacity;
  UnicodeErrorCode error = kUnicodeError_None;
  for (;;) {
    const std::size_t ascii =
        Kernel::WidenAscii(p, static_cast<std::size_t>(end - p), o, static_cast<std::size_t>(outEnd - o));
    p += ascii;
    o += ascii;
    if (static_cast<std::size_t>(end - p) < Kernel::kBlock) break;
    if (Kernel::DecodeThreeByteBlock(p, o)) {
      p += 15;
      o += 5;
      continue;
    }
    if (static_cast<std::size_t>(outEnd - o) >= Kernel::kBlock) {
      const std::size_t taken = Kernel::DecodeTwoByteBlock(p, o);
      if (taken != 0) {
        p += taken;
        continue;
      }
    }
    const unsigned char* const blockEnd = p + Kernel::kBlock;
    do {
      if (!DecodeOne(p, end, o, error)) return {static_cast<std::size_t>(o - outUnits), error};
    } while (p < blockEnd);
  }
  while (p != end) {
    if (!DecodeOne(p, end, o, error)) break;
  }
  return {static_cast<std::size_t>(o - outUnits), error};
}

template <class Kernel>
UTF16String ConvertUTF8to16(const UTF8String& inText, UnicodeErrorCode* outError, std::uint64_t* outLength) {
  const std::size_t size = inText.size();
  const unsigned char* const text = inText.data();
  UTF16String result;
  DecodeResult decoded{0, kUnicodeError_None};
  if (size == 0) {
    // Nothing to convert.
  } else if (size <= kStackUnits) {
    char16_t buffer[kStackUnits];
    decoded = DecodeUTF8<Kernel>(text, size, buffer, size);
    result.assign(buffer, decoded.mUnits);
  } else {
    // Exact for valid text, so the string is allocated once at its final size.
    const std::size_t bound = Kernel::UTF16UnitBound(text, size);
    if (bound > result.max_size()) ThrowTooLong();
    result.resize(bound);
    decoded = DecodeUTF8<Kernel>(text, size, &result[0], bound);
    result.resize(decoded.mUnits);
    // Invalid text can stop far short of the bound; do not keep the slack.
    if (decoded.mUnits < bound / 2) result.shrink_to_fit();
  }
  if (outError) *outError = decoded.mError;
  if (outLength) *outLength = decoded.mUnits;
  return result;
}

// ---------------------------------------------------------------------------
// UTF-16 to UTF-8
// ---------------------------------------------------------------------------

// Encodes the unit (or pair) at ioIn, which must be before inEnd and not NUL.
// kOverstore allows writing a whole 4-byte word for a 3-byte sequence.
template <bool kOverstore>
inline void EncodeOne(const char16_t*& ioIn, const char16_t* inEnd, unsigned char*& ioOut) noexcept {
  const char16_t* const p = ioIn;
  unsigned char* const o = ioOut;
  const unsigned c = *p;
  if (c < 0x80) {
    o[0] = static_cast<unsigned char>(c);
    ioOut = o + 1;
    ioIn = p + 1;
  } else if (c < 0x800) {
    o[0] = static_cast<unsigned char>(0xC0u | (c >> 6));
    o[1] = static_cast<unsigned char>(0x80u | (c & 0x3Fu));
    ioOut = o + 2;
    ioIn = p + 1;
  } else if ((c & 0xF800u) != 0xD800u || c >= 0xDC00 || inEnd - p < 2 || (p[1] & 0xFC00u) != 0xDC00u) {
    // Everything else up to 0xFFFF, unpaired surrogates included.
    if (kOverstore) {
      const std::uint32_t word =
          (0xE0u | (c >> 12)) | ((0x80u | ((c >> 6) & 0x3Fu)) << 8) | ((0x80u | (c & 0x3Fu)) << 16);
      const unsigned char bytes[4] = {static_cast<unsigned char>(word), static_cast<unsigned char>(word >> 8),
                                      static_cast<unsigned char>(word >> 16), 0};
      std::memcpy(o, bytes, 4);
    } else {
      o[0] = static_cast<unsigned char>(0xE0u | (c >> 12));
      o[1] = static_cast<unsigned char>(0x80u | ((c >> 6) & 0x3Fu));
      o[2] = static_cast<unsigned char>(0x80u | (c & 0x3Fu));
    }
    ioOut = o + 3;
    ioIn = p + 1;
  } else {
    const unsigned cp = ((c - 0xD800u) << 10) + (p[1] - 0xDC00u) + 0x10000u;
    o[0] = static_cast<unsigned char>(0xF0u | (cp >> 18));
    o[1] = static_cast<unsigned char>(0x80u | ((cp >> 12) & 0x3Fu));
    o[2] = static_cast<unsigned char>(0x80u | ((cp >> 6) & 0x3Fu));
    o[3] = static_cast<unsigned char>(0x80u | (cp & 0x3Fu));
    ioOut = o + 4;
    ioIn = p + 2;
  }
}

// Encodes up to the first NUL or inSize units. inCapacity must hold the whole
// encoding (3 bytes per unit always does). Returns the bytes written.
//
// Whole ASCII blocks are narrowed in vector registers; half blocks of units
// that need one to three bytes (no surrogates, no NUL) are formed there too;
// any other block is encoded a unit at a time to its end. While a block's
// worst case (three bytes a unit, a pair at its end, one byte of slack) fits,
// the scalar path may write whole words.
template <class Kernel>
std::size_t EncodeUTF16(const char16_t* inText, std::size_t inSize, unsigned char* outBytes,
                        std::size_t inCapacity) noexcept {
  const char16_t* p = inText;
  const char16_t* const end = inText + inSize;
  unsigned char* o = outBytes;
  unsigned char* const outEnd = outBytes + inCapacity;
  constexpr std::size_t kBlockRoom = 3 * Kernel::kBlock + 2;
  for (;;) {
    const std::size_t ascii =
        Kernel::NarrowAscii(p, static_cast<std::size_t>(end - p), o, static_cast<std::size_t>(outEnd - o));
    p += ascii;
    o += ascii;
    if (static_cast<std::size_t>(end - p) < Kernel::kBlock + 1 || static_cast<std::size_t>(outEnd - o) < kBlockRoom)
      break;
    // A pair may end one unit past the block, hence the extra unit above.
    const char16_t* const blockEnd = p + Kernel::kBlock;
    if (Kernel::EncodeTwoByteBlock(p, o) || Kernel::EncodeBmpBlock(p, o)) {
      p += Kernel::kBlock / 2;
      if (Kernel::EncodeTwoByteBlock(p, o) || Kernel::EncodeBmpBlock(p, o)) {
        p += Kernel::kBlock / 2;
        continue;
      }
    }
    do {
      if (*p == 0) return static_cast<std::size_t>(o - outBytes);
      EncodeOne<true>(p, end, o);
    } while (p < blockEnd);
  }
  // Half blocks still fit in the tail, and cannot split a pair (they hold no
  // surrogates).
  while (static_cast<std::size_t>(end - p) >= Kernel::kBlock / 2 && static_cast<std::size_t>(outEnd - o) >= 25 &&
         (Kernel::EncodeTwoByteBlock(p, o) || Kernel::EncodeBmpBlock(p, o)))
    p += Kernel::kBlock / 2;
  // The rest may write whole words too when the worst case leaves a byte to
  // spare, as it does in the stack buffer.
  if (static_cast<std::size_t>(outEnd - o) > 3 * static_cast<std::size_t>(end - p)) {
    while (p != end && *p != 0) EncodeOne<true>(p, end, o);
  } else {
    while (p != end && *p != 0) EncodeOne<false>(p, end, o);
  }
  return static_cast<std::size_t>(o - outBytes);
}

template <class Kernel, class String>
String ConvertUTF16to8(const char16_t* inText, std::size_t inSize) {
  String result;
  if (inSize == 0) return result;
  if (inSize <= kStackUnits) {
    unsigned char buffer[3 * kStackUnits + 1];
    const std::size_t bytes = EncodeUTF16<Kernel>(inText, inSize, buffer, 3 * inSize + 1);
    result.assign(reinterpret_cast<const typename String::value_type*>(buffer), bytes);
    return result;
  }
  const UTF16Measure measure = Kernel::MeasureUTF16(inText, inSize);
  if (measure.mBytes > result.max_size()) ThrowTooLong();
  result.resize(measure.mBytes);
  EncodeUTF16<Kernel>(inText, measure.mUnits, reinterpret_cast<unsigned char*>(&result[0]), measure.mBytes);
  return result;
}

// Units before the terminator, a whole aligned block at a time.
BSL_UNICODE_WHOLE_BLOCK_READS std::size_t FindUTF16Terminator(const char16_t* inText) noexcept {
  const char16_t* p = inText;
#if BSL_UNICODE_SSE2
  if ((reinterpret_cast<std::uintptr_t>(p) & 1u) == 0) {
    while ((reinterpret_cast<std::uintptr_t>(p) & 15u) != 0) {
      if (*p == 0) return static_cast<std::size_t>(p - inText);
      ++p;
    }
    const __m128i zero = _mm_setzero_si128();
    for (;;) {
      const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
      const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, zero)));
      if (mask != 0) return static_cast<std::size_t>(p - inText) + CountTrailingZeros(mask) / 2;
      p += 8;
    }
  }
#endif
  while (*p != 0) ++p;
  return static_cast<std::size_t>(p - inText);
}

template <class Kernel>
UTF16String ConvertAsciiToUTF16(const char* inText, std::uint64_t inLength) {
  UTF16String result;
  if (inText == nullptr || inLength == 0) return result;
  if (inLength > result.max_size()) ThrowTooLong();
  const std::size_t size = static_cast<std::size_t>(inLength);
  result.resize(size);
  Kernel::WidenSigned(inText, size, &result[0]);
  return result;
}

const UNormalizer2* NormalizerFor(UnicodeNormalizationForm inForm, UErrorCode* ioStatus) {
  switch (inForm) {
    case kUnicodeNormalization_D:
      return unorm2_getNFDInstance(ioStatus);
    case kUnicodeNormalization_KC:
      return unorm2_getNFKCInstance(ioStatus);
    case kUnicodeNormalization_KD:
      return unorm2_getNFKDInstance(ioStatus);
    default:
      return unorm2_getNFCInstance(ioStatus);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Public functions
// ---------------------------------------------------------------------------

UTF16String UTF8to16(const UTF8String& inText, UnicodeErrorCode* outError, std::uint64_t* outLength) {
  return ConvertUTF8to16<FastKernel>(inText, outError, outLength);
}

UTF8String UTF16to8(const UTF16String& inText) {
  return ConvertUTF16to8<FastKernel, UTF8String>(inText.data(), inText.size());
}

UTF8String UTF16to8(const UTF16Char* inText) {
  if (inText == nullptr) return UTF8String();
  return ConvertUTF16to8<FastKernel, UTF8String>(inText, FindUTF16Terminator(inText));
}

std::string UTF16toStdString(const UTF16String& inText) {
  // No unit but NUL encodes to a zero byte, so stopping at the first NUL unit
  // is stopping at the first NUL byte.
  return ConvertUTF16to8<FastKernel, std::string>(inText.data(), inText.size());
}

UTF16String AsciiToUTF16(const char* inText, std::uint64_t inLength) {
  return ConvertAsciiToUTF16<FastKernel>(inText, inLength);
}

const unsigned char* AsciiToUTF8Impl(const char* inText) noexcept {
  return reinterpret_cast<const unsigned char*>(inText);
}

int UTF16StrLen(const UTF16Char* inText) noexcept {
  if (inText == nullptr) return 0;
  const std::size_t length = FindUTF16Terminator(inText);
  return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

int GetUTF8ByteCount(const unsigned char* inText, int inCharacterCount) noexcept {
  if (inText == nullptr || inCharacterCount == 0) return 0;
  // A negative count sets no limit; more characters than bytes can follow is
  // impossible, so SIZE_MAX is as good as none.
  std::size_t charactersLeft = inCharacterCount < 0 ? SIZE_MAX : static_cast<std::size_t>(inCharacterCount);
  std::size_t position = 0;
  while (charactersLeft-- > 0) {
    const unsigned lead = inText[position];
    if (lead == 0) break;
    const unsigned length = SequenceLength(lead);
    if (length > 4) return -1;
    // Continuation bytes are not validated, but a terminator among them ends
    // the text: stepping over it would read past the caller's string.
    unsigned k = 1;
    while (k < length && inText[position + k] != 0) ++k;
    position += k;
    if (position > static_cast<std::size_t>(INT_MAX)) return -1;
    if (k < length) break;
  }
  return static_cast<int>(position);
}

int GetUTF8CharacterCount(const unsigned char* inText, int inByteCount) noexcept {
  if (inText == nullptr || inByteCount < 1) return 0;
  const std::size_t limit = static_cast<std::size_t>(inByteCount);
  std::size_t position = 0;
  int count = 0;
  for (;;) {
    const unsigned lead = inText[position];
    if (lead == 0) return count;
    const std::size_t length = SequenceLength(lead);
    if (length > 4) return -1;
    ++count;
    // Bytes at or beyond the limit, or beyond a terminator, are never read; a
    // character cut short by either still counts, as it started in range.
    const std::size_t end = std::min(position + length, limit);
    for (std::size_t k = position + 1; k < end; ++k)
      if (inText[k] == 0) return count;
    position += length;
    if (position >= limit) return count;
  }
}

UnicodeSurrogateT UnicodeSurrogate(UTF16Char inUnit) noexcept {
  if (inUnit >= 0xD800 && inUnit <= 0xDBFF) return kUnicodeSurrogate_Leading;
  if (inUnit >= 0xDC00 && inUnit <= 0xDFFF) return kUnicodeSurrogate_Trailing;
  return kUnicodeSurrogate_None;
}

UTF16String NormalizedString(const UTF16String& inText, UnicodeNormalizationForm inForm) {
  if (inForm == kUnicodeNormalization_None || inForm == kUnicodeNormalization_None2) return inText;
  if (inText.empty() || inText.size() > static_cast<std::size_t>(INT32_MAX)) return inText;
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* normalizer = NormalizerFor(inForm, &status);
  if (U_FAILURE(status)) return inText;
  const int32_t length = static_cast<int32_t>(inText.size());
  const UChar* const source = inText.data();
  // Most text is already normalised; the quick check spares the copy through
  // the normaliser.
  const int32_t normalisedPrefix = unorm2_spanQuickCheckYes(normalizer, source, length, &status);
  if (U_FAILURE(status)) return inText;
  if (normalisedPrefix == length) return inText;

  // Decomposition may grow the text; a quarter more covers ordinary text, and
  // the normaliser reports the exact need when it does not.
  std::size_t capacity = inText.size() + inText.size() / 4 + 8;
  UTF16String result;
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (capacity > static_cast<std::size_t>(INT32_MAX)) return inText;
    result.resize(capacity);
    status = U_ZERO_ERROR;
    const int32_t needed =
        unorm2_normalize(normalizer, source, length, &result[0], static_cast<int32_t>(capacity), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR && needed >= 0) {
      capacity = static_cast<std::size_t>(needed);
      continue;
    }
    if (U_FAILURE(status) || needed < 0) return inText;
    result.resize(static_cast<std::size_t>(needed));
    return result;
  }
  return inText;
}

namespace internal {

UTF16String UTF8to16Portable(const UTF8String& inText, UnicodeErrorCode* outError, std::uint64_t* outLength) {
  return ConvertUTF8to16<PortableKernel>(inText, outError, outLength);
}

UTF8String UTF16to8Portable(const UTF16String& inText) {
  return ConvertUTF16to8<PortableKernel, UTF8String>(inText.data(), inText.size());
}

UTF16String AsciiToUTF16Portable(const char* inText, std::uint64_t inLength) {
  return ConvertAsciiToUTF16<PortableKernel>(inText, inLength);
}

bool UnicodeKernelsVectorised() noexcept { return BSL_UNICODE_SSE2 != 0; }

std::size_t UTF8to16Into(const unsigned char* inText, std::size_t inSize, char16_t* outUnits,
                         UnicodeErrorCode* outError) noexcept {
  const DecodeResult decoded = DecodeUTF8<FastKernel>(inText, inSize, outUnits, inSize);
  if (outError) *outError = decoded.mError;
  return decoded.mUnits;
}

std::size_t UTF16to8Into(const char16_t* inText, std::size_t inSize, unsigned char* outBytes) noexcept {
  return EncodeUTF16<FastKernel>(inText, inSize, outBytes, 3 * inSize + 1);
}

}  // namespace internal
}  // namespace utility
}  // namespace basalt
