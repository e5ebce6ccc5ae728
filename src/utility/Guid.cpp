#include <basalt/utility/Guid.h>

#include <basalt/config/Errors.h>
#include <basalt/utility/UTFStreams.h>

#include "utility/GuidInternal.h"

#include <atomic>
#include <cstring>
#include <string>

namespace basalt {
namespace utility {
namespace {

const std::uint32_t kUtilityErrorGroup = 105;
const std::int32_t kCouldntCreateGUIDNumber = 27;
const char kCouldntCreateGUIDKey[] = "$$$/basalt/utility/Error/CouldntCreateGUID=Couldn't create Guid.";

constexpr std::size_t kTextLength = 36;
const char kHexDigits[] = "0123456789abcdef";

std::atomic<internal::RandomSource> sRandomSourceP{nullptr};

// Any character that is not a hex digit counts as 0.
unsigned HexValue(char inChar) noexcept {
  if (inChar >= '0' && inChar <= '9') return static_cast<unsigned>(inChar - '0');
  if (inChar >= 'a' && inChar <= 'f') return static_cast<unsigned>(inChar - 'a' + 10);
  if (inChar >= 'A' && inChar <= 'F') return static_cast<unsigned>(inChar - 'A' + 10);
  return 0;
}

std::uint32_t HexField(const char* inText, std::size_t inDigits) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < inDigits; ++i) value = (value << 4) | HexValue(inText[i]);
  return value;
}

// The 36 characters of the text form, without a terminator.
void FormatText(const Guid& inGuid, char* outText) noexcept {
  unsigned char bytes[16];
  Guid::GuidToBytes(inGuid, bytes);
  std::size_t out = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) outText[out++] = '-';
    outText[out++] = kHexDigits[bytes[i] >> 4];
    outText[out++] = kHexDigits[bytes[i] & 0xF];
  }
}

bool IsStreamSpace(unsigned inUnit) noexcept {
  return inUnit == ' ' || (inUnit >= '\t' && inUnit <= '\r');
}

// One white-space-delimited word, read through the stream buffer so that no
// ctype facet is needed (a UTF-8 or UTF-16 stream may not be imbued with one).
template <class CharT, class StringT>
bool ReadWord(std::basic_istream<CharT>& ioStream, StringT& outWord) {
  typedef std::char_traits<CharT> Traits;
  const typename std::basic_istream<CharT>::sentry sentry(ioStream, true);
  if (!sentry) return false;
  std::ios_base::iostate state = std::ios_base::goodbit;
  std::basic_streambuf<CharT>* buffer = ioStream.rdbuf();
  typename Traits::int_type c = buffer->sgetc();
  while (!Traits::eq_int_type(c, Traits::eof()) && IsStreamSpace(static_cast<unsigned>(Traits::to_char_type(c))))
    c = buffer->snextc();
  while (!Traits::eq_int_type(c, Traits::eof()) && !IsStreamSpace(static_cast<unsigned>(Traits::to_char_type(c)))) {
    outWord.push_back(Traits::to_char_type(c));
    c = buffer->snextc();
  }
  if (Traits::eq_int_type(c, Traits::eof())) state |= std::ios_base::eofbit;
  if (outWord.empty()) state |= std::ios_base::failbit;
  ioStream.setstate(state);
  return !outWord.empty();
}

template <class CharT>
std::basic_ostream<CharT>& WriteText(std::basic_ostream<CharT>& ioStream, const Guid& inGuid) {
  char text[kTextLength];
  FormatText(inGuid, text);
  CharT units[kTextLength];
  for (std::size_t i = 0; i < kTextLength; ++i) units[i] = static_cast<CharT>(text[i]);
  ioStream.write(units, static_cast<std::streamsize>(kTextLength));
  return ioStream;
}

}  // namespace

namespace internal {

RandomSource SetRandomSourceForTesting(RandomSource inSource) noexcept { return sRandomSourceP.exchange(inSource); }

}  // namespace internal

Guid Guid::CreateUnique() {
  unsigned char bytes[16];
  const internal::RandomSource source = sRandomSourceP.load();
  const bool filled = source ? source(bytes, sizeof bytes) : internal::ReadSystemRandom(bytes, sizeof bytes);
  if (!filled) {
    config::ThrowError(config::kErrorLevelNonFatal, kCouldntCreateGUIDKey, kUtilityErrorGroup,
                       kCouldntCreateGUIDNumber, true);
    // The host chose to go on: hand back the nil identifier rather than
    // bytes the source may have left half written, which could repeat.
    return Guid();
  }
  // RFC 4122 section 4.4: version 4 in the high nibble of byte 6, variant
  // 10xx in the high bits of byte 8.
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  Guid result;
  GuidFromBytes(result, bytes);
  return result;
}

UTF16String Guid::AsString() const {
  char text[kTextLength];
  FormatText(*this, text);
  return UTF16String(text, text + kTextLength);
}

UTF8String Guid::AsUTF8String() const {
  char text[kTextLength];
  FormatText(*this, text);
  return UTF8String(text, text + kTextLength);
}

void Guid::GuidFromBytes(Guid& outGuid, const unsigned char* inBytes) noexcept {
  outGuid.mData1 = static_cast<std::uint32_t>(inBytes[0]) << 24 | static_cast<std::uint32_t>(inBytes[1]) << 16 |
                   static_cast<std::uint32_t>(inBytes[2]) << 8 | inBytes[3];
  outGuid.mData2 = static_cast<std::uint16_t>(inBytes[4] << 8 | inBytes[5]);
  outGuid.mData3 = static_cast<std::uint16_t>(inBytes[6] << 8 | inBytes[7]);
  std::memcpy(outGuid.mData4, inBytes + 8, 8);
}

void Guid::GuidToBytes(const Guid& inGuid, unsigned char* outBytes) noexcept {
  outBytes[0] = static_cast<unsigned char>(inGuid.mData1 >> 24);
  outBytes[1] = static_cast<unsigned char>(inGuid.mData1 >> 16);
  outBytes[2] = static_cast<unsigned char>(inGuid.mData1 >> 8);
  outBytes[3] = static_cast<unsigned char>(inGuid.mData1);
  outBytes[4] = static_cast<unsigned char>(inGuid.mData2 >> 8);
  outBytes[5] = static_cast<unsigned char>(inGuid.mData2);
  outBytes[6] = static_cast<unsigned char>(inGuid.mData3 >> 8);
  outBytes[7] = static_cast<unsigned char>(inGuid.mData3);
  std::memcpy(outBytes + 8, inGuid.mData4, 8);
}

void Guid::GuidToComponents(const Guid& inGuid, std::uint32_t& outData1, std::uint16_t& outData2,
                            std::uint16_t& outData3, std::uint8_t& outData4_0, std::uint8_t& outData4_1,
                            std::uint8_t& outData4_2, std::uint8_t& outData4_3, std::uint8_t& outData4_4,
                            std::uint8_t& outData4_5, std::uint8_t& outData4_6, std::uint8_t& outData4_7) noexcept {
  outData1 = inGuid.mData1;
  outData2 = inGuid.mData2;
  outData3 = inGuid.mData3;
  outData4_0 = inGuid.mData4[0];
  outData4_1 = inGuid.mData4[1];
  outData4_2 = inGuid.mData4[2];
  outData4_3 = inGuid.mData4[3];
  outData4_4 = inGuid.mData4[4];
  outData4_5 = inGuid.mData4[5];
  outData4_6 = inGuid.mData4[6];
  outData4_7 = inGuid.mData4[7];
}

bool Guid::IsParsableGUIDString(const char* inText) noexcept {
  if (!inText) return false;
  // Stop at a terminator: a short text must not be read past its end.
  for (std::size_t i = 0; i < kTextLength; ++i)
    if (inText[i] == '\0') return false;
  return inText[8] == '-' && inText[13] == '-' && inText[18] == '-' && inText[23] == '-';
}

Guid Guid::StringToGUID(const char* inText, std::size_t inLength) noexcept {
  Guid result;
  if (!inText || inLength < kTextLength) return result;
  result.mData1 = HexField(inText, 8);
  result.mData2 = static_cast<std::uint16_t>(HexField(inText + 9, 4));
  result.mData3 = static_cast<std::uint16_t>(HexField(inText + 14, 4));
  static const std::size_t kPairs[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (std::size_t i = 0; i < 8; ++i) result.mData4[i] = static_cast<std::uint8_t>(HexField(inText + kPairs[i], 2));
  return result;
}

Guid Guid::StringToGUID(const UTF16String& inText) {
  const UTF8String bytes = UTF16to8(inText);
  return StringToGUID(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool Guid::operator==(const Guid& inOther) const noexcept {
  return mData1 == inOther.mData1 && mData2 == inOther.mData2 && mData3 == inOther.mData3 &&
         std::memcmp(mData4, inOther.mData4, sizeof mData4) == 0;
}

bool Guid::operator<(const Guid& inOther) const noexcept {
  if (mData1 != inOther.mData1) return mData1 < inOther.mData1;
  if (mData2 != inOther.mData2) return mData2 < inOther.mData2;
  if (mData3 != inOther.mData3) return mData3 < inOther.mData3;
  return std::memcmp(mData4, inOther.mData4, sizeof mData4) < 0;
}

std::ostream& operator<<(std::ostream& ioStream, const Guid& inGuid) { return WriteText(ioStream, inGuid); }

std::basic_ostream<unsigned char>& operator<<(std::basic_ostream<unsigned char>& ioStream, const Guid& inGuid) {
  return WriteText(ioStream, inGuid);
}

std::basic_ostream<UTF16Char>& operator<<(std::basic_ostream<UTF16Char>& ioStream, const Guid& inGuid) {
  return WriteText(ioStream, inGuid);
}

std::istream& operator>>(std::istream& ioStream, Guid& outGuid) {
  std::string word;
  if (ReadWord(ioStream, word)) outGuid = Guid::StringToGUID(word.data(), word.size());
  return ioStream;
}

std::basic_istream<unsigned char>& operator>>(std::basic_istream<unsigned char>& ioStream, Guid& outGuid) {
  UTF8String word;
  if (ReadWord(ioStream, word)) outGuid = Guid::StringToGUID(reinterpret_cast<const char*>(word.data()), word.size());
  return ioStream;
}

std::basic_istream<UTF16Char>& operator>>(std::basic_istream<UTF16Char>& ioStream, Guid& outGuid) {
  UTF16String word;
  if (ReadWord(ioStream, word)) outGuid = Guid::StringToGUID(word);
  return ioStream;
}

}  // namespace utility
}  // namespace basalt
