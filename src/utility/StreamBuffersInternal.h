// The UTF-16 stream buffers under basalt::utility::streams::UTF16Out and
// basalt::utility::streams::Debug.
#ifndef BASALT_SRC_UTILITY_STREAMBUFFERSINTERNAL_H
#define BASALT_SRC_UTILITY_STREAMBUFFERSINTERNAL_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UTFStreams.h>
#include <basalt/utility/UnicodeString.h>

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <streambuf>

namespace basalt {
namespace utility {
namespace internal {

// A UTF-16 stream buffer that encodes the units it is given as UTF-8 and hands
// the bytes to WriteBytes as it goes; it keeps no put area, so every write
// reaches the sink at once and stays in order with other writers of the same
// sink.
//
// Encoding follows UTF16to8: a leading surrogate followed by a trailing one
// gives the four-byte form of the pair, also when the two halves arrive in
// separate writes; any other surrogate is encoded as the three-byte form of
// its own value; a NUL unit gives a NUL byte. A leading surrogate at the end of
// a write waits for the next unit, and a flush (sync) leaves it waiting, since
// half a character cannot be written yet; FlushPendingSurrogate writes it out
// alone.
//
// Thread safety: writes, flushes and FlushPendingSurrogate are serialised by
// an internal lock, and the bytes of one write call reach the sink together.
class BSL_EXPORT UTF8EncodingStreamBuffer : public std::basic_streambuf<UTF16Char> {
public:
  ~UTF8EncodingStreamBuffer() override;

  UTF8EncodingStreamBuffer(const UTF8EncodingStreamBuffer&) = delete;
  UTF8EncodingStreamBuffer& operator=(const UTF8EncodingStreamBuffer&) = delete;

  // Writes a waiting leading surrogate as an unpaired one and flushes the
  // sink. Returns false when the sink fails.
  bool FlushPendingSurrogate();

protected:
  UTF8EncodingStreamBuffer();

  // Receives the next inCount bytes of UTF-8, under the lock. Returns false
  // when they could not all be written.
  virtual bool WriteBytes(const char* inBytes, std::size_t inCount) = 0;
  // Pushes written bytes on to their destination, under the lock.
  virtual bool FlushBytes() = 0;

  int_type overflow(int_type inUnit) override;
  std::streamsize xsputn(const UTF16Char* inUnits, std::streamsize inCount) override;
  int sync() override;

private:
  // Encodes and writes inCount units; returns how many were fully written.
  std::streamsize EncodeLocked(const UTF16Char* inUnits, std::streamsize inCount);

  std::mutex mMutex;
  UTF16Char mPendingLead;  // 0 when no leading surrogate waits
};

// Writes the UTF-8 to a C stream (which must outlive the buffer) with fwrite,
// so it interleaves correctly with printf and with std::cout and std::cerr,
// which write through the same C streams while synchronised with stdio.
class BSL_EXPORT StdioUTF8StreamBuffer final : public UTF8EncodingStreamBuffer {
public:
  explicit StdioUTF8StreamBuffer(std::FILE* inFile);

private:
  bool WriteBytes(const char* inBytes, std::size_t inCount) override;
  bool FlushBytes() override;

  std::FILE* mFile;
};

// The buffer under UTF16Out: UTF-8 to standard output. Created on first use,
// never destroyed.
BSL_EXPORT UTF8EncodingStreamBuffer& StandardOutputUTF16Buffer();

// The debug stream buffer under Debug. Created on first use, never destroyed.
// It belongs to the debugging subsystem, which will route debug text through
// the trace handlers (debugger output, console log file) and replace the
// definition of this function; until then debug text goes, as UTF-8, to
// standard error.
BSL_EXPORT UTF8EncodingStreamBuffer& DebugUTF16Buffer();

}  // namespace internal
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_SRC_UTILITY_STREAMBUFFERSINTERNAL_H
