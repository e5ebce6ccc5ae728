#include <basalt/serialization/JSON.h>

#include "serialization/JSONInternal.h"

#include <basalt/utility/UnicodeString.h>

#include <boost/any.hpp>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <typeinfo>

namespace basalt {
namespace serialization {
namespace internal {
namespace {

// The 8 decimal digits of inValue (below 10^8) as the bytes of a 64-bit word
// in text order on a little-endian machine: the halves, then their digit
// pairs, then the digits are split in parallel lanes, each division by a
// multiplication that is exact in the lane's range.
inline std::uint64_t EightDigits(std::uint32_t inValue) noexcept {
  std::uint64_t x = inValue / 10000 | static_cast<std::uint64_t>(inValue % 10000) << 32;
  const std::uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007Full;
  x = hundreds | (x - hundreds * 100) << 16;
  const std::uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000Full;
  x = tens | (x - tens * 10) << 8;
  return x | 0x3030303030303030ull;
}

#if defined(__SIZEOF_INT128__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr std::uint64_t kPowersOf10[] = {1ull,
                                         10ull,
                                         100ull,
                                         1000ull,
                                         10000ull,
                                         100000ull,
                                         1000000ull,
                                         10000000ull,
                                         100000000ull,
                                         1000000000ull,
                                         10000000000ull,
                                         100000000000ull,
                                         1000000000000ull,
                                         10000000000000ull,
                                         100000000000000ull,
                                         1000000000000000ull,
                                         10000000000000000ull,
                                         100000000000000000ull,
                                         1000000000000000000ull,
                                         10000000000000000000ull};
constexpr std::uint64_t kSeventeenDigits = 100000000000000000ull;  // 10^17

// "%.17g" for finite doubles from 2^-9 up to 2^54, exactly as printf rounds
// (to nearest, ties to even), computed in 128-bit integers: the value is
// m * 2^e with m below 2^53, and its 17 significant digits are
// m * 10^p / 2^-e rounded, with p = 16 - floor(log10 |x|) at most 19. All
// these numbers are written without exponent. Returns null outside the range.
char* FormatDoubleInRange(double inValue, char* outText) noexcept {
  std::uint64_t bits;
  std::memcpy(&bits, &inValue, sizeof bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  const int log2 = biased - 1023;
  if (log2 < -9 || log2 > 53) return nullptr;
  const std::uint64_t mantissa = (bits & ((std::uint64_t(1) << 52) - 1)) | (std::uint64_t(1) << 52);
  const int exponent2 = biased - 1075;
  // floor(log2 * log10(2)): floor(log10 |x|) or one less.
  int log10 = (log2 * 78913) >> 18;
  std::uint64_t digits;
  if (exponent2 >= 0) {
    // An integer below 2^54, so below 10^17: no rounding.
    const std::uint64_t integer = mantissa << exponent2;
    if (integer * kPowersOf10[16 - log10] >= kSeventeenDigits) ++log10;
    digits = integer * kPowersOf10[16 - log10];
  } else {
    const unsigned shift = static_cast<unsigned>(-exponent2);
    unsigned __int128 scaled = static_cast<unsigned __int128>(mantissa) * kPowersOf10[16 - log10];
    if ((scaled >> shift) >= kSeventeenDigits) {
      ++log10;
      scaled = static_cast<unsigned __int128>(mantissa) * kPowersOf10[16 - log10];
    }
    digits = static_cast<std::uint64_t>(scaled >> shift);
    const unsigned __int128 remainder = scaled - (static_cast<unsigned __int128>(digits) << shift);
    const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
    if (remainder > half || (remainder == half && (digits & 1) != 0)) ++digits;
    if (digits == kSeventeenDigits) {
      digits /= 10;
      ++log10;
    }
  }

  // The 17 digits: the first, then two words of 8, kept in registers and
  // stored only to their places in the text.
  const std::uint32_t high = static_cast<std::uint32_t>(digits / 100000000);  // 9 digits
  const char first = static_cast<char>('0' + high / 100000000);
  const std::uint64_t middle = EightDigits(high % 100000000);
  const std::uint64_t last = EightDigits(static_cast<std::uint32_t>(digits % 100000000));
  // Trailing zeros are the high bytes of the words that equal '0'.
  constexpr std::uint64_t kZeros = 0x3030303030303030ull;
  int significant;
  if ((last ^ kZeros) != 0) {
    significant = 17 - __builtin_clzll(last ^ kZeros) / 8;
  } else if ((middle ^ kZeros) != 0) {
    significant = 9 - __builtin_clzll(middle ^ kZeros) / 8;
  } else {
    significant = 1;
  }
  char* out = outText;
  if ((bits >> 63) != 0) *out++ = '-';
  if (log10 < 0) {
    // Below 1, down to 2^-9: "0.", at most two more zeros, the digits.
    std::memcpy(out, "0.00", 4);
    out += 1 - log10;
  }
  out[0] = first;
  std::memcpy(out + 1, &middle, 8);
  std::memcpy(out + 9, &last, 8);
  if (log10 < 0) return out + significant;
  const int integerDigits = log10 + 1;
  if (significant <= integerDigits) return out + integerDigits;
  // The point after the integer digits, and the rest of the digits after it:
  // the 16 digits after the first, moved down by those before the point.
  const unsigned __int128 rest = (static_cast<unsigned __int128>(last) << 64 | middle) >> (8 * (integerDigits - 1));
  out[integerDigits] = '.';
  std::memcpy(out + integerDigits + 1, &rest, 16);
  return out + significant + 1;
}
#endif

}  // namespace

char* FormatDouble(double inValue, char* outText) noexcept {
#if defined(__SIZEOF_INT128__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if (char* end = FormatDoubleInRange(inValue, outText)) return end;
#endif
  return std::to_chars(outText, outText + 24, inValue, std::chars_format::general, 17).ptr;
}

}  // namespace internal

namespace {

// For each byte: 0 to copy it, 1 to stop (NUL), else the letter after the
// backslash that replaces it.
struct EscapeTable {
  unsigned char mAction[256] = {};
  constexpr EscapeTable() {
    mAction[0] = 1;
    mAction[8] = 'b';
    mAction[9] = 't';
    mAction[10] = 'n';
    mAction[12] = 'f';
    mAction[13] = 'r';
    for (const unsigned char c : {'"', '\\'}) mAction[c] = c;
  }
};
constexpr EscapeTable kEscapes;

// The block the writer works in, kept per thread between calls. A large
// block taken afresh at every call would make the system heap merge all its
// small free blocks each time, and the library allocator would map fresh
// pages at every doubling past 8 KiB.
struct Scratch {
  unsigned char* mBytes = nullptr;
  std::size_t mCapacity = 0;
  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() { std::free(mBytes); }
};

// Blocks above this size are not kept for the next call, so a thread holds
// at most 4 MiB after writing. Letting a block of a few MiB go at every call
// costs more than the page faults of refilling it: the system heap merges all
// its small free blocks when a large one comes back, which slows every small
// allocation after it.
constexpr std::size_t kKeptScratch = std::size_t{1} << 22;
constexpr std::size_t kFirstScratch = 4096;

// A growing byte buffer over the thread's scratch block.
class OutputBuffer {
public:
  OutputBuffer() : mScratch(ThreadScratch()) {
    if (mScratch.mBytes == nullptr) Resize(kFirstScratch);
    mBegin = mCursor = mScratch.mBytes;
    mEnd = mBegin + mScratch.mCapacity;
  }
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer() {
    if (mScratch.mCapacity > kKeptScratch) {
      std::free(mScratch.mBytes);
      mScratch.mBytes = nullptr;
      mScratch.mCapacity = 0;
    }
  }

  // Room for inCount more bytes; write them at the returned cursor and
  // pass the new end to Commit.
  unsigned char* Reserve(std::size_t inCount) {
    if (static_cast<std::size_t>(mEnd - mCursor) < inCount) Grow(inCount);
    return mCursor;
  }
  void Commit(unsigned char* inCursor) noexcept { mCursor = inCursor; }

  void Put(unsigned char inByte) {
    if (mCursor == mEnd) Grow(1);
    *mCursor++ = inByte;
  }
  void Append(const void* inBytes, std::size_t inCount) {
    std::memcpy(Reserve(inCount), inBytes, inCount);
    mCursor += inCount;
  }

  UTF8String Take() const { return UTF8String(mBegin, mCursor); }

private:
  static Scratch& ThreadScratch() {
    thread_local Scratch tScratch;
    return tScratch;
  }

  void Resize(std::size_t inCapacity) {
    // realloc moves a large block by remapping it, without copying.
    void* block = std::realloc(mScratch.mBytes, inCapacity);
    if (block == nullptr) throw std::bad_alloc();
    mScratch.mBytes = static_cast<unsigned char*>(block);
    mScratch.mCapacity = inCapacity;
  }

  void Grow(std::size_t inCount) {
    const std::size_t size = static_cast<std::size_t>(mCursor - mBegin);
    std::size_t wanted = mScratch.mCapacity * 2;
    if (wanted - size < inCount) wanted = size + inCount;
    Resize(wanted);
    mBegin = mScratch.mBytes;
    mCursor = mBegin + size;
    mEnd = mBegin + wanted;
  }

  Scratch& mScratch;
  unsigned char* mBegin;
  unsigned char* mCursor;
  unsigned char* mEnd;
};

// Every value sits two dependent loads away from its container (the shared
// count with the any, then the any's holder), usually in cold memory. The
// writer asks for both well ahead, so that the misses overlap.
constexpr std::size_t kPrefetchValue = 8;
constexpr std::size_t kPrefetchHolder = 4;

inline void Prefetch(const void* inAddress) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(inAddress);
#else
  (void)inAddress;
#endif
}

inline void PrefetchValue(const JSONValuePtr& inValue) noexcept { Prefetch(inValue.get()); }

// A boost::any is one pointer to its holder; reading those bytes needs no
// access to the private member and never dereferences anything else.
static_assert(sizeof(boost::any) == sizeof(void*), "boost::any is expected to hold one pointer");
inline void PrefetchHolder(const JSONValuePtr& inValue) noexcept {
  if (const boost::any* value = inValue.get()) {
    const void* holder;
    std::memcpy(&holder, static_cast<const void*>(value), sizeof holder);
    Prefetch(holder);
  }
}

class Writer {
public:
  explicit Writer(OutputBuffer& ioOutput) noexcept : mOut(ioOutput) {}

  void WriteValue(const boost::any& inValue) {
    // Values made by this library carry its own type_info objects, so an
    // address comparison settles them; others fall back to comparing names.
    const std::type_info& type = inValue.type();
    if (&type == &typeid(UTF8String)) {
      WriteString(*boost::unsafe_any_cast<UTF8String>(&inValue));
    } else if (&type == &typeid(double)) {
      WriteDouble(*boost::unsafe_any_cast<double>(&inValue));
    } else if (&type == &typeid(std::uint64_t)) {
      WriteInteger(*boost::unsafe_any_cast<std::uint64_t>(&inValue));
    } else if (&type == &typeid(JSONObject)) {
      WriteObject(*boost::unsafe_any_cast<JSONObject>(&inValue));
    } else if (&type == &typeid(JSONArray)) {
      WriteArray(*boost::unsafe_any_cast<JSONArray>(&inValue));
    } else {
      WriteOther(inValue, type);
    }
  }

private:
  void WriteOther(const boost::any& inValue, const std::type_info& inType) {
    if (inType == typeid(UTF8String)) {
      WriteString(*boost::unsafe_any_cast<UTF8String>(&inValue));
    } else if (inType == typeid(double)) {
      WriteDouble(*boost::unsafe_any_cast<double>(&inValue));
    } else if (inType == typeid(std::uint64_t)) {
      WriteInteger(*boost::unsafe_any_cast<std::uint64_t>(&inValue));
    } else if (inType == typeid(JSONObject)) {
      WriteObject(*boost::unsafe_any_cast<JSONObject>(&inValue));
    } else if (inType == typeid(JSONArray)) {
      WriteArray(*boost::unsafe_any_cast<JSONArray>(&inValue));
    } else if (inType == typeid(std::int64_t)) {
      WriteInteger(*boost::unsafe_any_cast<std::int64_t>(&inValue));
    } else if (inType == typeid(bool)) {
      if (*boost::unsafe_any_cast<bool>(&inValue)) mOut.Append("true", 4);
      else mOut.Append("false", 5);
    } else if (inType == typeid(unsigned long long)) {
      // The other spelling of a 64-bit integer where std::uint64_t is long.
      WriteInteger(*boost::unsafe_any_cast<unsigned long long>(&inValue));
    } else if (inType == typeid(long long)) {
      WriteInteger(*boost::unsafe_any_cast<long long>(&inValue));
    } else if (inValue.empty()) {
      // Nothing at the top level; containers write null themselves.
    } else {
      mOut.Append("<ERROR>", 7);
    }
  }

  void WriteElement(const JSONValuePtr& inValue) {
    if (!inValue || inValue->empty()) mOut.Append("null", 4);
    else WriteValue(*inValue);
  }

  void WriteObject(const JSONObject& inObject) {
    mOut.Put('{');
    const auto end = inObject.end();
    auto valueAhead = inObject.begin(), holderAhead = inObject.begin();
    for (std::size_t i = 0; i < kPrefetchValue && valueAhead != end; ++i, ++valueAhead) {
      PrefetchValue(valueAhead->second);
      if (i >= kPrefetchValue - kPrefetchHolder) ++holderAhead;
    }
    for (auto member = inObject.begin(); member != end; ++member) {
      if (valueAhead != end) {
        PrefetchValue(valueAhead->second);
        ++valueAhead;
      }
      if (holderAhead != end) {
        PrefetchHolder(holderAhead->second);
        ++holderAhead;
      }
      if (member != inObject.begin()) mOut.Put(',');
      WriteString(member->first);
      mOut.Put(':');
      WriteElement(member->second);
    }
    mOut.Put('}');
  }

  void WriteArray(const JSONArray& inArray) {
    mOut.Put('[');
    const std::size_t count = inArray.size();
    for (std::size_t i = 0; i < count; ++i) {
      if (i + kPrefetchValue < count) PrefetchValue(inArray[i + kPrefetchValue]);
      if (i + kPrefetchHolder < count) PrefetchHolder(inArray[i + kPrefetchHolder]);
      if (i != 0) mOut.Put(',');
      WriteElement(inArray[i]);
    }
    mOut.Put(']');
  }

  void WriteString(const UTF8String& inText) {
    const unsigned char* p = inText.data();
    const unsigned char* const end = p + inText.size();
    // Every byte escaped, and the two quotation marks, at worst.
    unsigned char* out = mOut.Reserve(2 * inText.size() + 2);
    *out++ = '"';
    for (; p != end; ++p) {
      const unsigned char action = kEscapes.mAction[*p];
      if (action == 0) {
        *out++ = *p;
      } else if (action == 1) {
        break;
      } else {
        out[0] = '\\';
        out[1] = action;
        out += 2;
      }
    }
    *out++ = '"';
    mOut.Commit(out);
  }

  template <class T>
  void WriteInteger(T inValue) {
    char* out = reinterpret_cast<char*>(mOut.Reserve(24));
    mOut.Commit(reinterpret_cast<unsigned char*>(std::to_chars(out, out + 24, inValue).ptr));
  }

  void WriteDouble(double inValue) {
    if (!std::isfinite(inValue)) {
      mOut.Append("null", 4);
      return;
    }
    char* out = reinterpret_cast<char*>(mOut.Reserve(internal::kFormatDoubleSpace));
    mOut.Commit(reinterpret_cast<unsigned char*>(internal::FormatDouble(inValue, out)));
  }

  OutputBuffer& mOut;
};

}  // namespace

UTF8String GetJSONUTF8String(const boost::any& inValue, bool) {
  OutputBuffer output;
  Writer(output).WriteValue(inValue);
  return output.Take();
}

UTF16String GetJSONString(const boost::any& inValue, bool inUnused) {
  return utility::UTF8to16(GetJSONUTF8String(inValue, inUnused));
}

}  // namespace serialization
}  // namespace basalt
