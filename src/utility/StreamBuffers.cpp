#include "utility/StreamBuffersInternal.h"

namespace basalt {
namespace utility {
namespace internal {

namespace {

bool IsLeadingSurrogate(UTF16Char inUnit) {
  return inUnit >= 0xD800 && inUnit <= 0xDBFF;
}

bool IsTrailingSurrogate(UTF16Char inUnit) {
  return inUnit >= 0xDC00 && inUnit <= 0xDFFF;
}

// Appends the UTF-8 form of inCodePoint (at most U+10FFFF) at outBytes and
// returns the position after it.
char* EncodeCodePoint(char32_t inCodePoint, char* outBytes) {
  if (inCodePoint < 0x80) {
    *outBytes++ = static_cast<char>(inCodePoint);
  } else if (inCodePoint < 0x800) {
    *outBytes++ = static_cast<char>(0xC0 | (inCodePoint >> 6));
    *outBytes++ = static_cast<char>(0x80 | (inCodePoint & 0x3F));
  } else if (inCodePoint < 0x10000) {
    *outBytes++ = static_cast<char>(0xE0 | (inCodePoint >> 12));
    *outBytes++ = static_cast<char>(0x80 | ((inCodePoint >> 6) & 0x3F));
    *outBytes++ = static_cast<char>(0x80 | (inCodePoint & 0x3F));
  } else {
    *outBytes++ = static_cast<char>(0xF0 | (inCodePoint >> 18));
    *outBytes++ = static_cast<char>(0x80 | ((inCodePoint >> 12) & 0x3F));
    *outBytes++ = static_cast<char>(0x80 | ((inCodePoint >> 6) & 0x3F));
    *outBytes++ = static_cast<char>(0x80 | (inCodePoint & 0x3F));
  }
  return outBytes;
}

}  // namespace

UTF8EncodingStreamBuffer::UTF8EncodingStreamBuffer() : mPendingLead(0) {}

UTF8EncodingStreamBuffer::~UTF8EncodingStreamBuffer() = default;

std::streamsize UTF8EncodingStreamBuffer::EncodeLocked(const UTF16Char* inUnits, std::streamsize inCount) {
  // Bytes are collected in chunks; a unit gives at most four bytes, three more
  // than the three a waiting leading surrogate already stands for.
  char bytes[512];
  char* end = bytes;
  std::streamsize written = 0;
  for (std::streamsize i = 0; i < inCount; ++i) {
    const UTF16Char unit = inUnits[i];
    if (mPendingLead != 0) {
      if (IsTrailingSurrogate(unit)) {
        const char32_t codePoint = 0x10000 + ((char32_t(mPendingLead) - 0xD800) << 10) + (char32_t(unit) - 0xDC00);
        end = EncodeCodePoint(codePoint, end);
        mPendingLead = 0;
        continue;
      }
      end = EncodeCodePoint(mPendingLead, end);
      mPendingLead = 0;
    }
    if (IsLeadingSurrogate(unit))
      mPendingLead = unit;
    else
      end = EncodeCodePoint(unit, end);
    if (end - bytes > static_cast<std::ptrdiff_t>(sizeof bytes) - 8) {
      if (!WriteBytes(bytes, static_cast<std::size_t>(end - bytes))) return written;
      end = bytes;
      written = i + 1;
    }
  }
  if (end != bytes && !WriteBytes(bytes, static_cast<std::size_t>(end - bytes))) return written;
  return inCount;
}

UTF8EncodingStreamBuffer::int_type UTF8EncodingStreamBuffer::overflow(int_type inUnit) {
  // There is no put area to make room in, so end-of-file asks for nothing.
  if (traits_type::eq_int_type(inUnit, traits_type::eof())) return traits_type::not_eof(inUnit);
  const UTF16Char unit = traits_type::to_char_type(inUnit);
  std::lock_guard<std::mutex> lock(mMutex);
  return EncodeLocked(&unit, 1) == 1 ? inUnit : traits_type::eof();
}

std::streamsize UTF8EncodingStreamBuffer::xsputn(const UTF16Char* inUnits, std::streamsize inCount) {
  if (inCount <= 0) return 0;
  std::lock_guard<std::mutex> lock(mMutex);
  return EncodeLocked(inUnits, inCount);
}

int UTF8EncodingStreamBuffer::sync() {
  std::lock_guard<std::mutex> lock(mMutex);
  return FlushBytes() ? 0 : -1;
}

bool UTF8EncodingStreamBuffer::FlushPendingSurrogate() {
  std::lock_guard<std::mutex> lock(mMutex);
  bool ok = true;
  if (mPendingLead != 0) {
    char bytes[3];
    const char* end = EncodeCodePoint(mPendingLead, bytes);
    mPendingLead = 0;
    ok = WriteBytes(bytes, static_cast<std::size_t>(end - bytes));
  }
  return FlushBytes() && ok;
}

StdioUTF8StreamBuffer::StdioUTF8StreamBuffer(std::FILE* inFile) : mFile(inFile) {}

bool StdioUTF8StreamBuffer::WriteBytes(const char* inBytes, std::size_t inCount) {
  return std::fwrite(inBytes, 1, inCount, mFile) == inCount;
}

bool StdioUTF8StreamBuffer::FlushBytes() {
  return std::fflush(mFile) == 0;
}

UTF8EncodingStreamBuffer& StandardOutputUTF16Buffer() {
  // Never destroyed: the streams over it outlive every static destructor.
  static UTF8EncodingStreamBuffer* const S_bufferP = new StdioUTF8StreamBuffer(stdout);
  return *S_bufferP;
}

// Stand-in until the debugging subsystem's trace handlers exist; they take
// this buffer over. Standard error is unbuffered, so debug text is not lost
// when the process dies.
UTF8EncodingStreamBuffer& DebugUTF16Buffer() {
  static UTF8EncodingStreamBuffer* const S_bufferP = new StdioUTF8StreamBuffer(stderr);
  return *S_bufferP;
}

}  // namespace internal
}  // namespace utility
}  // namespace basalt
