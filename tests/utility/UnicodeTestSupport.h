// Helpers shared by the Unicode conversion tests: literal builders, readable
// dumps, the two kernel sets, and plain reference models of the conversion
// rules written for clarity rather than speed.
#ifndef BASALT_TESTS_UTILITY_UNICODETESTSUPPORT_H
#define BASALT_TESTS_UTILITY_UNICODETESTSUPPORT_H

#include <basalt/utility/UnicodeString.h>

#include "utility/UnicodeStringInternal.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace testing {

inline UTF8String Bytes(std::initializer_list<int> inBytes) {
  UTF8String s;
  for (const int b : inBytes) s.push_back(static_cast<unsigned char>(b));
  return s;
}

inline UTF8String Bytes(const std::string& inBytes) {
  return UTF8String(reinterpret_cast<const unsigned char*>(inBytes.data()), inBytes.size());
}

inline UTF16String Units(std::initializer_list<int> inUnits) {
  UTF16String s;
  for (const int u : inUnits) s.push_back(static_cast<UTF16Char>(u));
  return s;
}

inline UTF16String Units(const std::u16string& inUnits) { return UTF16String(inUnits.data(), inUnits.size()); }

template <class String>
std::string Dump(const String& inText) {
  std::string out;
  char buffer[8];
  for (const auto c : inText) {
    std::snprintf(buffer, sizeof buffer, sizeof(c) == 1 ? "%02X " : "%04X ",
                  static_cast<unsigned>(static_cast<std::make_unsigned_t<decltype(c)>>(c)));
    out += buffer;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

// One set of conversion kernels, so a test can run over both.
struct Kernels {
  const char* mName;
  UTF16String (*mUTF8to16)(const UTF8String&, UnicodeErrorCode*, std::uint64_t*);
  UTF8String (*mUTF16to8)(const UTF16String&);
  UTF16String (*mAsciiToUTF16)(const char*, std::uint64_t);
};

inline UTF16String PublicUTF8to16(const UTF8String& s, UnicodeErrorCode* e, std::uint64_t* l) {
  return UTF8to16(s, e, l);
}
inline UTF8String PublicUTF16to8(const UTF16String& s) { return UTF16to8(s); }

inline const Kernels kPublicKernels{"Public", &PublicUTF8to16, &PublicUTF16to8, &AsciiToUTF16};
inline const Kernels kPortableKernels{"Portable", &internal::UTF8to16Portable, &internal::UTF16to8Portable,
                                      &internal::AsciiToUTF16Portable};

struct ModelDecode {
  UTF16String mUnits;
  UnicodeErrorCode mError;
};

// UTF-8 to UTF-16 exactly as the rules read: sequence length from the lead
// byte, truncation before legality, surrogate code points accepted.
inline ModelDecode ModelUTF8to16(const UTF8String& inText) {
  ModelDecode result{UTF16String(), kUnicodeError_None};
  std::size_t i = 0;
  while (i < inText.size()) {
    const unsigned lead = inText[i];
    const std::size_t length = lead < 0xC0   ? 1
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF8 ? 4
                               : lead < 0xFC ? 5
                                             : 6;
    if (i + length > inText.size()) {
      result.mError = kUnicodeError_Truncated;
      return result;
    }
    bool illegal = (lead >= 0x80 && lead <= 0xC1) || lead > 0xF4;
    for (std::size_t k = 1; k < length; ++k)
      if (inText[i + k] < 0x80 || inText[i + k] > 0xBF) illegal = true;
    if (length >= 2) {
      const unsigned second = inText[i + 1];
      if ((lead == 0xE0 && second < 0xA0) || (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        illegal = true;
    }
    if (illegal) {
      result.mError = kUnicodeError_IllegalSequence;
      return result;
    }
    static const unsigned kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t cp = lead & kLeadMask[length];
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (inText[i + k] & 0x3Fu);
    if (cp < 0x10000) {
      result.mUnits.push_back(static_cast<UTF16Char>(cp));
    } else {
      result.mUnits.push_back(static_cast<UTF16Char>(0xD800 + ((cp - 0x10000) >> 10)));
      result.mUnits.push_back(static_cast<UTF16Char>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    i += length;
  }
  return result;
}

// UTF-16 to UTF-8 as the rules read: up to the first NUL, pairs to four
// bytes, every other unit by its own value.
inline UTF8String ModelUTF16to8(const UTF16String& inText) {
  UTF8String out;
  auto put = [&out](std::uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<unsigned char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<unsigned char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<unsigned char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<unsigned char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    }
  };
  for (std::size_t i = 0; i < inText.size(); ++i) {
    const std::uint32_t u = inText[i];
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < inText.size() && inText[i + 1] >= 0xDC00 && inText[i + 1] <= 0xDFFF) {
      put(0x10000 + ((u - 0xD800) << 10) + (inText[i + 1] - 0xDC00u));
      ++i;
    } else {
      put(u);
    }
  }
  return out;
}

// Small deterministic generator (SplitMix64), so failures reproduce.
class TestRandom {
public:
  explicit TestRandom(std::uint64_t inSeed) : mState(inSeed) {}
  std::uint64_t Next() {
    std::uint64_t z = (mState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, inBound).
  std::uint32_t Below(std::uint32_t inBound) { return static_cast<std::uint32_t>(Next() % inBound); }

private:
  std::uint64_t mState;
};

}  // namespace testing
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_TESTS_UTILITY_UNICODETESTSUPPORT_H
