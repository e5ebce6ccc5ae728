// Guid: a 128-bit identifier with a fixed byte form and text form.
//
// Layout: a 32-bit Data1, a 16-bit Data2, a 16-bit Data3 and eight Data4
// bytes, as the Windows GUID. Two identifiers are equal when all 16 bytes are.
// A default-constructed Guid is the all-zero ("nil") identifier.
//
// Byte form (16 bytes, RFC 4122 order): Data1 big-endian in bytes 0..3, Data2
// big-endian in 4..5, Data3 big-endian in 6..7, Data4 unchanged in 8..15.
//
// Text form: 36 lowercase characters, "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx":
// Data1, Data2, Data3, Data4[0..1], Data4[2..7] in hex, most significant
// digit first, no braces.
//
// Parsing is deliberately lenient and never fails: text shorter than 36
// characters gives the nil identifier, and any character in a digit position
// that is not a hex digit (either case) counts as 0. Characters beyond the
// 36th are ignored. Callers that must reject malformed text check it with
// IsParsableGUIDString first, which only looks at the length and at the four
// dashes.
//
// Stream operators: operator<< writes the text form to narrow, UTF-8 and
// UTF-16 streams. operator>> skips white space (space, tab, line feed,
// vertical tab, form feed, carriage return), reads one word up to the next
// white space and parses it as above; it sets failbit only when no word was
// there to read, in which case the identifier is left unchanged. A UTF-16
// word is converted to UTF-8 before parsing, so digit positions are counted
// in UTF-8 bytes.
//
// Thread safety: a Guid is a plain value; every function is reentrant.
#ifndef BASALT_UTILITY_GUID_H
#define BASALT_UTILITY_GUID_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UnicodeString.h>

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>

namespace basalt {
namespace utility {

class BSL_EXPORT Guid {
public:
  Guid() noexcept : mData1(0), mData2(0), mData3(0), mData4{0, 0, 0, 0, 0, 0, 0, 0} {}
  Guid(std::uint32_t inData1, std::uint16_t inData2, std::uint16_t inData3, std::uint8_t inData4_0,
       std::uint8_t inData4_1, std::uint8_t inData4_2, std::uint8_t inData4_3, std::uint8_t inData4_4,
       std::uint8_t inData4_5, std::uint8_t inData4_6, std::uint8_t inData4_7) noexcept
      : mData1(inData1),
        mData2(inData2),
        mData3(inData3),
        mData4{inData4_0, inData4_1, inData4_2, inData4_3, inData4_4, inData4_5, inData4_6, inData4_7} {}

  // A new random identifier (RFC 4122 version 4, variant 1) from the
  // operating system's random source. When that source fails the error is
  // reported through config::ThrowError (non-fatal, group 105, number 27);
  // should the host's error manager return instead of throwing, the nil
  // identifier is returned.
  static Guid CreateUnique();

  UTF16String AsString() const;
  UTF8String AsUTF8String() const;

  // The byte form; inBytes and outBytes point to 16 bytes.
  static void GuidFromBytes(Guid& outGuid, const unsigned char* inBytes) noexcept;
  static void GuidToBytes(const Guid& inGuid, unsigned char* outBytes) noexcept;

  static void GuidToComponents(const Guid& inGuid, std::uint32_t& outData1, std::uint16_t& outData2,
                               std::uint16_t& outData3, std::uint8_t& outData4_0, std::uint8_t& outData4_1,
                               std::uint8_t& outData4_2, std::uint8_t& outData4_3, std::uint8_t& outData4_4,
                               std::uint8_t& outData4_5, std::uint8_t& outData4_6, std::uint8_t& outData4_7) noexcept;

  // False for null, for text with a NUL among its first 36 characters, and
  // otherwise true exactly when characters 8, 13, 18 and 23 are "-". No more
  // than 36 characters are read.
  static bool IsParsableGUIDString(const char* inText) noexcept;

  bool operator==(const Guid& inOther) const noexcept;
  bool operator!=(const Guid& inOther) const noexcept { return !(*this == inOther); }
  // Orders by the byte form, so identifiers sort as their text forms do.
  bool operator<(const Guid& inOther) const noexcept;

private:
  static Guid StringToGUID(const UTF16String& inText);
  static Guid StringToGUID(const char* inText, std::size_t inLength) noexcept;

  friend BSL_EXPORT std::istream& operator>>(std::istream& ioStream, Guid& outGuid);
  friend BSL_EXPORT std::basic_istream<unsigned char>& operator>>(std::basic_istream<unsigned char>& ioStream,
                                                                   Guid& outGuid);
  friend BSL_EXPORT std::basic_istream<UTF16Char>& operator>>(std::basic_istream<UTF16Char>& ioStream,
                                                               Guid& outGuid);

  std::uint32_t mData1;
  std::uint16_t mData2;
  std::uint16_t mData3;
  std::uint8_t mData4[8];
};

BSL_EXPORT std::ostream& operator<<(std::ostream& ioStream, const Guid& inGuid);
BSL_EXPORT std::basic_ostream<unsigned char>& operator<<(std::basic_ostream<unsigned char>& ioStream,
                                                          const Guid& inGuid);
BSL_EXPORT std::basic_ostream<UTF16Char>& operator<<(std::basic_ostream<UTF16Char>& ioStream, const Guid& inGuid);

BSL_EXPORT std::istream& operator>>(std::istream& ioStream, Guid& outGuid);
BSL_EXPORT std::basic_istream<unsigned char>& operator>>(std::basic_istream<unsigned char>& ioStream, Guid& outGuid);
BSL_EXPORT std::basic_istream<UTF16Char>& operator>>(std::basic_istream<UTF16Char>& ioStream, Guid& outGuid);

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_GUID_H
