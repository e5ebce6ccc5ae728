#include <basalt/utility/Base64.h>

#include <cstddef>
#include <initializer_list>
#include <stdexcept>

namespace basalt {
namespace utility {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Per character: its 6-bit value, or one of the classes below.
enum : std::uint8_t { kClass_Invalid = 0x80, kClass_Space = 0x81, kClass_Pad = 0x82, kClass_End = 0x83 };

// Four tables of a character's value already shifted into its place in the
// 24-bit group, so a whole group is four loads and three ORs. A character
// outside the alphabet sets bit 24, which sends the group to the careful path.
struct DecodeTables {
  std::uint8_t mClass[256];
  std::uint32_t mShifted[4][256];
};

constexpr std::uint32_t kNotInAlphabet = 1u << 24;

constexpr DecodeTables MakeDecodeTables() {
  DecodeTables tables{};
  for (int c = 0; c < 256; ++c) {
    tables.mClass[c] = kClass_Invalid;
    for (int p = 0; p < 4; ++p) tables.mShifted[p][c] = kNotInAlphabet;
  }
  for (int v = 0; v < 64; ++v) {
    const auto c = static_cast<unsigned char>(kAlphabet[v]);
    tables.mClass[c] = static_cast<std::uint8_t>(v);
    for (int p = 0; p < 4; ++p) tables.mShifted[p][c] = static_cast<std::uint32_t>(v) << (18 - 6 * p);
  }
  for (const char c : {' ', '\t', '\n', '\v', '\f', '\r'}) tables.mClass[static_cast<unsigned char>(c)] = kClass_Space;
  tables.mClass[static_cast<unsigned char>('=')] = kClass_Pad;
  tables.mClass[0] = kClass_End;
  return tables;
}

constexpr DecodeTables kDecode = MakeDecodeTables();

// Writes 4 * ceil(inLength / 3) characters.
template <class CharT>
void EncodeInto(const unsigned char* inData, std::size_t inLength, CharT* outText) noexcept {
  std::size_t i = 0;
  for (; i + 3 <= inLength; i += 3) {
    const std::uint32_t group = static_cast<std::uint32_t>(inData[i]) << 16 |
                                static_cast<std::uint32_t>(inData[i + 1]) << 8 | inData[i + 2];
    outText[0] = static_cast<CharT>(kAlphabet[group >> 18]);
    outText[1] = static_cast<CharT>(kAlphabet[(group >> 12) & 0x3F]);
    outText[2] = static_cast<CharT>(kAlphabet[(group >> 6) & 0x3F]);
    outText[3] = static_cast<CharT>(kAlphabet[group & 0x3F]);
    outText += 4;
  }
  const std::size_t rest = inLength - i;
  if (rest == 0) return;
  std::uint32_t group = static_cast<std::uint32_t>(inData[i]) << 16;
  if (rest == 2) group |= static_cast<std::uint32_t>(inData[i + 1]) << 8;
  outText[0] = static_cast<CharT>(kAlphabet[group >> 18]);
  outText[1] = static_cast<CharT>(kAlphabet[(group >> 12) & 0x3F]);
  outText[2] = static_cast<CharT>(rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=');
  outText[3] = static_cast<CharT>('=');
}

std::size_t EncodedLength(std::uint64_t inLength, std::size_t inMaxSize) {
  if (inLength / 3 >= inMaxSize / 4) throw std::length_error("Base64 text too long");
  return static_cast<std::size_t>((inLength + 2) / 3 * 4);
}

// Decodes inText[0, inLength) into outData, which has room for
// inLength / 4 * 3 + 3 bytes; returns the number written, or -1 for a
// character outside the alphabet.
std::ptrdiff_t DecodeInto(const unsigned char* inText, std::size_t inLength, unsigned char* outData) noexcept {
  unsigned char* out = outData;
  std::size_t i = 0;
  for (;;) {
    // Whole groups of alphabet characters, the common case.
    while (i + 4 <= inLength) {
      const std::uint32_t group = kDecode.mShifted[0][inText[i]] | kDecode.mShifted[1][inText[i + 1]] |
                                  kDecode.mShifted[2][inText[i + 2]] | kDecode.mShifted[3][inText[i + 3]];
      if (group & kNotInAlphabet) break;
      out[0] = static_cast<unsigned char>(group >> 16);
      out[1] = static_cast<unsigned char>(group >> 8);
      out[2] = static_cast<unsigned char>(group);
      out += 3;
      i += 4;
    }
    // One group with white space, padding, the end or a bad character.
    std::uint32_t group = 0;
    bool present[4] = {false, false, false, false};
    bool ended = false;
    bool consumed = false;
    for (int position = 0; position < 4 && !ended; ++position) {
      std::uint8_t cls = kClass_End;
      while (i < inLength && (cls = kDecode.mClass[inText[i]]) == kClass_Space) ++i;
      if (i >= inLength || cls == kClass_End) {
        ended = true;
        break;
      }
      ++i;
      consumed = true;
      if (cls == kClass_Invalid) return -1;
      if (cls == kClass_Pad) continue;
      present[position] = true;
      group |= static_cast<std::uint32_t>(cls) << (18 - 6 * position);
    }
    if (!consumed) break;
    if (present[0] && present[1]) {
      *out++ = static_cast<unsigned char>(group >> 16);
      if (present[2]) {
        *out++ = static_cast<unsigned char>(group >> 8);
        if (present[3]) *out++ = static_cast<unsigned char>(group);
      }
    }
    if (ended) break;
  }
  return out - outData;
}

}  // namespace

bool EncodeBinaryDataToUTF8String(const unsigned char* inData, std::uint64_t inLength, UTF8String& outText) {
  outText.resize(EncodedLength(inLength, outText.max_size()));
  if (inLength > 0) EncodeInto(inData, static_cast<std::size_t>(inLength), &outText[0]);
  return true;
}

bool DecodeBinaryDataFromUTF8String(const UTF8String& inText,
                                    std::vector<unsigned char, SmallBlockAllocator::STLAllocator<unsigned char>>& outData) {
  outData.clear();
  if (inText.empty()) return true;
  outData.resize(inText.size() / 4 * 3 + 3);
  const std::ptrdiff_t written = DecodeInto(inText.data(), inText.size(), outData.data());
  if (written < 0) {
    outData.clear();
    return false;
  }
  outData.resize(static_cast<std::size_t>(written));
  return true;
}

std::string EncodeUTF16ToAscii(const UTF16String& inText) {
  std::string out;
  if (inText.empty()) return out;
  const std::size_t bytes = inText.size() * 2;
  std::vector<unsigned char> data(bytes);
  for (std::size_t i = 0; i < inText.size(); ++i) {
    data[2 * i] = static_cast<unsigned char>(inText[i] & 0xFF);
    data[2 * i + 1] = static_cast<unsigned char>(inText[i] >> 8);
  }
  out.resize(EncodedLength(bytes, out.max_size()));
  EncodeInto(data.data(), bytes, &out[0]);
  return out;
}

UTF16String DecodeUTF16FromAscii(const std::string& inText) {
  UTF16String out;
  if (inText.empty()) return out;
  std::vector<unsigned char> data(inText.size() / 4 * 3 + 3);
  const std::ptrdiff_t written =
      DecodeInto(reinterpret_cast<const unsigned char*>(inText.data()), inText.size(), data.data());
  if (written <= 0) return out;
  const std::size_t units = static_cast<std::size_t>(written) / 2;
  out.resize(units);
  for (std::size_t i = 0; i < units; ++i)
    out[i] = static_cast<UTF16Char>(data[2 * i] | static_cast<unsigned>(data[2 * i + 1]) << 8);
  return out;
}

}  // namespace utility
}  // namespace basalt
