// Deflate compression of byte buffers into RecycledMemory.
//
// Flavors: kCompressionFlavor_Raw is a bare deflate stream (RFC 1951),
// kCompressionFlavor_Zlib wraps it as RFC 1950, kCompressionFlavor_Gzip as
// RFC 1952 (what the gzip tool reads and writes). Compression always uses the
// best compression level, a 32 KiB window and the default strategy.
//
// Decompression rules:
//  - Flavor Raw reads a bare deflate stream. Flavors Zlib and Gzip both accept
//    either wrapping, detected from the first bytes, and check its checksum
//    (and, for gzip, the stored length).
//  - The input must be exactly one complete stream. Bytes after its end make
//    the input invalid, except that a gzip stream may be followed by further
//    complete gzip members, whose contents are appended (as the gzip tool
//    does for concatenated files).
//  - Truncated or corrupt input, a stream that needs a preset dictionary, an
//    unknown flavor, or output that would exceed the size limit make the call
//    return false and leave the output pointer empty. No byte outside the
//    input is read and none outside the output is written.
//  - The limit guards against small inputs that expand without bound: by
//    default kDefaultMaxDecompressedSize (256 MiB); callers expecting more
//    pass their own limit.
//  - A valid stream of empty content yields no output, so false.
//
// Memory: when a buffer or zlib's own state cannot be allocated the
// functions throw std::bad_alloc, as the rest of the library does.
//
// Thread safety: the functions keep no shared state; a CompressedStream is
// used by one thread at a time.
#ifndef BASALT_UTILITY_COMPRESSION_H
#define BASALT_UTILITY_COMPRESSION_H

#include <basalt/utility/Export.h>
#include <basalt/utility/RecycledMemory.h>

#include <boost/shared_ptr.hpp>

#include <cstdint>

namespace basalt {
namespace utility {

enum CompressionFlavor { kCompressionFlavor_Raw = 0, kCompressionFlavor_Zlib = 1, kCompressionFlavor_Gzip = 2 };

constexpr std::uint64_t kDefaultMaxDecompressedSize = std::uint64_t{256} << 20;

// Compresses bytes pushed in pieces into one buffer.
class BSL_EXPORT CompressedStream {
public:
  // inChunkSize is the first size of the output buffer, which doubles
  // whenever it fills; 0 means 4096.
  explicit CompressedStream(CompressionFlavor inFlavor, std::uint32_t inChunkSize = 0);
  CompressedStream(const CompressedStream&) = delete;
  CompressedStream& operator=(const CompressedStream&) = delete;
  ~CompressedStream();

  // Feeds bytes to the current stream, starting one if there is none (even
  // for 0 bytes). False when the flavor is unknown, when deflate reports an
  // error, or for a null pointer with a non-zero length (which pushes
  // nothing); a failed stream stays failed until GetCompressedData discards
  // it.
  bool PushBytes(const void* inBytes, std::uint32_t inLength);

  // Finishes the current stream and returns all of its compressed bytes;
  // Size() is their exact count. Empty when nothing was pushed since the
  // last call, or when the stream failed. The next PushBytes starts anew.
  boost::shared_ptr<RecycledMemory> GetCompressedData();

  // Bytes pushed into the current stream.
  std::uint64_t GetUncompressedSize() const noexcept;

  struct Impl;

private:
  Impl* mImpl;
};

// outOutput becomes the compressed form of inInput's bytes (a missing buffer
// counts as no bytes). Returns whether the output exists and is not empty:
// false only for a null input or an unknown flavor.
BSL_EXPORT bool CompressRecycledMemory(const boost::shared_ptr<const RecycledMemory>& inInput,
                                       CompressionFlavor inFlavor, boost::shared_ptr<RecycledMemory>& outOutput);

// outOutput becomes the decompressed bytes of inInput under the rules above,
// at most kDefaultMaxDecompressedSize or inMaxOutputSize of them. Returns
// whether the output exists and is not empty; otherwise outOutput is empty.
BSL_EXPORT bool DecompressRecycledMemory(const boost::shared_ptr<const RecycledMemory>& inInput,
                                         CompressionFlavor inFlavor, boost::shared_ptr<RecycledMemory>& outOutput);
BSL_EXPORT bool DecompressRecycledMemory(const boost::shared_ptr<const RecycledMemory>& inInput,
                                         CompressionFlavor inFlavor, boost::shared_ptr<RecycledMemory>& outOutput,
                                         std::uint64_t inMaxOutputSize);

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_COMPRESSION_H
