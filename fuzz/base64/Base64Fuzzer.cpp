// Fuzzes the Base64 decoders with outside text, and the encoders with the
// same bytes taken as data.
//
// Checked on every input:
//  - DecodeBinaryDataFromUTF8String agrees exactly with a plain model of the
//    documented rules (verdict and bytes), and leaves nothing behind on
//    failure;
//  - decoded bytes encode to text that decodes back to them, and that text
//    is the canonical form: 4 * ceil(n / 3) alphabet characters with padding
//    only at the end;
//  - the input bytes as data survive Encode then Decode, and the input's
//    little-endian units survive EncodeUTF16ToAscii then DecodeUTF16FromAscii;
//  - DecodeUTF16FromAscii of the input gives the model's bytes as units (an
//    odd last byte dropped), or an empty string when the text is rejected.
// A failed check traps.
#include <basalt/utility/Base64.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

namespace bu = basalt::utility;
using basalt::UTF16Char;
using basalt::UTF16String;
using basalt::UTF8String;
typedef std::vector<unsigned char, basalt::utility::SmallBlockAllocator::STLAllocator<unsigned char>> ByteVector;

void Check(bool inCondition) {
  if (!inCondition) __builtin_trap();
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kEmpty = -1;

// The rules, one character at a time: positions are the characters that are
// not white space, taken four at a time; "=" and missing ones are empty.
bool ModelDecode(const std::uint8_t* inText, std::size_t inSize, std::vector<unsigned char>& outBytes) {
  std::vector<int> positions;
  for (std::size_t i = 0; i < inSize && inText[i] != 0; ++i) {
    const char c = static_cast<char>(inText[i]);
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') continue;
    if (c == '=') {
      positions.push_back(kEmpty);
      continue;
    }
    const char* found = std::strchr(kAlphabet, c);
    if (!found) return false;
    positions.push_back(static_cast<int>(found - kAlphabet));
  }
  while (positions.size() % 4 != 0) positions.push_back(kEmpty);
  for (std::size_t g = 0; g < positions.size(); g += 4) {
    const int* p = &positions[g];
    if (p[0] == kEmpty || p[1] == kEmpty) continue;
    outBytes.push_back(static_cast<unsigned char>(p[0] << 2 | p[1] >> 4));
    if (p[2] == kEmpty) continue;
    outBytes.push_back(static_cast<unsigned char>((p[1] & 15) << 4 | p[2] >> 2));
    if (p[3] == kEmpty) continue;
    outBytes.push_back(static_cast<unsigned char>((p[2] & 3) << 6 | p[3]));
  }
  return true;
}

bool IsCanonical(const UTF8String& inText, std::size_t inByteCount) {
  if (inText.size() != (inByteCount + 2) / 3 * 4) return false;
  const std::size_t padding = inByteCount % 3 == 0 ? 0 : 3 - inByteCount % 3;
  for (std::size_t i = 0; i < inText.size(); ++i) {
    const bool pad = i >= inText.size() - padding;
    if (pad != (inText[i] == '=')) return false;
    if (!pad && !std::strchr(kAlphabet, static_cast<char>(inText[i]))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* inData, std::size_t inSize) {
  std::vector<unsigned char> model;
  const bool modelGood = ModelDecode(inData, inSize, model);

  // An empty input may come with a null pointer, which no string may copy from.
  const UTF8String text = inSize ? UTF8String(inData, inData + inSize) : UTF8String();
  ByteVector decoded = {0x5A};
  const bool good = bu::DecodeBinaryDataFromUTF8String(text, decoded);
  Check(good == modelGood);
  Check(good ? std::vector<unsigned char>(decoded.begin(), decoded.end()) == model : decoded.empty());

  if (good) {
    UTF8String again;
    Check(bu::EncodeBinaryDataToUTF8String(decoded.data(), decoded.size(), again));
    Check(IsCanonical(again, decoded.size()));
    ByteVector back;
    Check(bu::DecodeBinaryDataFromUTF8String(again, back) && back == decoded);
  }

  UTF8String encoded;
  Check(bu::EncodeBinaryDataToUTF8String(inData, inSize, encoded));
  Check(IsCanonical(encoded, inSize));
  ByteVector roundTrip;
  Check(bu::DecodeBinaryDataFromUTF8String(encoded, roundTrip));
  Check(roundTrip.size() == inSize && (inSize == 0 || std::memcmp(roundTrip.data(), inData, inSize) == 0));

  UTF16String units(inSize / 2, 0);
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<UTF16Char>(inData[2 * i] | inData[2 * i + 1] << 8);
  Check(bu::DecodeUTF16FromAscii(bu::EncodeUTF16ToAscii(units)) == units);

  const UTF16String fromAscii = bu::DecodeUTF16FromAscii(std::string(text.begin(), text.end()));
  if (!modelGood) {
    Check(fromAscii.empty());
  } else {
    Check(fromAscii.size() == model.size() / 2);
    for (std::size_t i = 0; i < fromAscii.size(); ++i)
      Check(fromAscii[i] == static_cast<UTF16Char>(model[2 * i] | model[2 * i + 1] << 8));
  }
  return 0;
}
