#include <basalt/utility/Compression.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace basalt {
namespace utility {
namespace {

constexpr std::uint32_t kDefaultChunkSize = 4096;
// zlib counts in uInt; larger buffers are handed over in windows of this size.
constexpr std::uint64_t kWindow = std::uint64_t{1} << 30;
constexpr std::uint64_t kOutputStep = 65536;
constexpr int kWindowBits = 15;
// Added to the window bits, makes inflate accept a zlib or a gzip wrapping.
constexpr int kDetectWrapping = 32;
constexpr int kGzipWrapping = 16;
constexpr int kMemoryLevel = 8;

bool IsKnownFlavor(CompressionFlavor inFlavor) noexcept {
  return inFlavor == kCompressionFlavor_Raw || inFlavor == kCompressionFlavor_Zlib ||
         inFlavor == kCompressionFlavor_Gzip;
}

int DeflateWindowBits(CompressionFlavor inFlavor) noexcept {
  switch (inFlavor) {
    case kCompressionFlavor_Raw:
      return -kWindowBits;
    case kCompressionFlavor_Gzip:
      return kWindowBits + kGzipWrapping;
    default:
      return kWindowBits;
  }
}

uInt WindowOf(std::uint64_t inBytes) noexcept { return static_cast<uInt>(std::min(inBytes, kWindow)); }

// The output of a stream: a buffer that grows by copying, and the count of
// bytes written so far.
class GrowingOutput {
public:
  explicit GrowingOutput(std::uint64_t inCapacity) : mBuffer(RecycledMemory::Create(inCapacity)), mUsed(0) {}

  std::uint64_t Capacity() const noexcept { return mBuffer->Size(); }
  std::uint64_t Used() const noexcept { return mUsed; }
  bool Full() const noexcept { return mUsed == Capacity(); }

  void Grow(std::uint64_t inCapacity) {
    boost::shared_ptr<RecycledMemory> larger = RecycledMemory::Create(inCapacity);
    std::memcpy(larger->Buffer(), mBuffer->Buffer(), static_cast<std::size_t>(mUsed));
    mBuffer.swap(larger);
  }

  // Points the stream at the free part of the buffer.
  void Offer(z_stream& ioStream) noexcept {
    ioStream.next_out = static_cast<Bytef*>(mBuffer->Buffer()) + mUsed;
    ioStream.avail_out = WindowOf(Capacity() - mUsed);
  }
  // Counts what the stream wrote since Offer.
  void Account(const z_stream& inStream) noexcept {
    mUsed = static_cast<std::uint64_t>(inStream.next_out - static_cast<Bytef*>(mBuffer->Buffer()));
  }

  boost::shared_ptr<RecycledMemory> Take() noexcept {
    mBuffer->Truncate(mUsed);
    return mBuffer;
  }

private:
  boost::shared_ptr<RecycledMemory> mBuffer;
  std::uint64_t mUsed;
};

[[noreturn]] void ThrowOutOfMemory() { throw std::bad_alloc(); }

class ScInflate {
public:
  explicit ScInflate(z_stream& ioStream) : mStream(ioStream) {}
  ~ScInflate() { inflateEnd(&mStream); }
  ScInflate(const ScInflate&) = delete;
  ScInflate& operator=(const ScInflate&) = delete;

private:
  z_stream& mStream;
};

bool StartsGzipMember(const unsigned char* inBytes, std::uint64_t inLength) noexcept {
  return inLength >= 2 && inBytes[0] == 0x1f && inBytes[1] == 0x8b;
}

}  // namespace

struct CompressedStream::Impl {
  Impl(CompressionFlavor inFlavor, std::uint32_t inChunkSize)
      : mFlavor(inFlavor), mChunkSize(inChunkSize ? inChunkSize : kDefaultChunkSize) {}
  ~Impl() { Discard(); }

  bool Start() {
    std::memset(&mStream, 0, sizeof mStream);
    const int result =
        deflateInit2(&mStream, Z_BEST_COMPRESSION, Z_DEFLATED, DeflateWindowBits(mFlavor), kMemoryLevel,
                     Z_DEFAULT_STRATEGY);
    if (result == Z_MEM_ERROR) ThrowOutOfMemory();
    if (result != Z_OK) return false;
    mActive = true;
    try {
      mOutput.reset(new GrowingOutput(mChunkSize));
    } catch (...) {
      Discard();
      throw;
    }
    return true;
  }

  // Runs deflate with inFlush until it has taken all input and, when
  // finishing, written the end of the stream.
  bool Deflate(int inFlush) {
    for (;;) {
      if (mOutput->Full()) mOutput->Grow(mOutput->Capacity() * 2);
      mOutput->Offer(mStream);
      const int result = deflate(&mStream, inFlush);
      mOutput->Account(mStream);
      if (result == Z_STREAM_END) return true;
      if (result != Z_OK && result != Z_BUF_ERROR) return false;
      if (inFlush == Z_NO_FLUSH && mStream.avail_in == 0) return true;
    }
  }

  void Discard() noexcept {
    if (mActive) deflateEnd(&mStream);
    mActive = false;
    mFailed = false;
    mOutput.reset();
    mUncompressedSize = 0;
  }

  const CompressionFlavor mFlavor;
  const std::uint32_t mChunkSize;
  bool mActive = false;
  bool mFailed = false;
  std::uint64_t mUncompressedSize = 0;
  z_stream mStream;
  std::unique_ptr<GrowingOutput> mOutput;
};

CompressedStream::CompressedStream(CompressionFlavor inFlavor, std::uint32_t inChunkSize)
    : mImpl(new Impl(inFlavor, inChunkSize)) {}

CompressedStream::~CompressedStream() { delete mImpl; }

bool CompressedStream::PushBytes(const void* inBytes, std::uint32_t inLength) {
  if (!IsKnownFlavor(mImpl->mFlavor) || (!inBytes && inLength != 0)) return false;
  if (!mImpl->mActive && !mImpl->Start()) return false;
  if (mImpl->mFailed) return false;
  if (inLength == 0) return true;
  mImpl->mStream.next_in = static_cast<Bytef*>(const_cast<void*>(inBytes));
  mImpl->mStream.avail_in = inLength;
  bool good = false;
  try {
    good = mImpl->Deflate(Z_NO_FLUSH);
  } catch (...) {
    // Part of the bytes may be in the stream: going on would lose the rest.
    mImpl->mFailed = true;
    throw;
  }
  mImpl->mStream.next_in = nullptr;
  mImpl->mStream.avail_in = 0;
  if (!good) {
    mImpl->mFailed = true;
    return false;
  }
  mImpl->mUncompressedSize += inLength;
  return true;
}

boost::shared_ptr<RecycledMemory> CompressedStream::GetCompressedData() {
  boost::shared_ptr<RecycledMemory> result;
  if (mImpl->mActive && !mImpl->mFailed) {
    try {
      if (mImpl->Deflate(Z_FINISH)) result = mImpl->mOutput->Take();
    } catch (...) {
      mImpl->Discard();
      throw;
    }
  }
  mImpl->Discard();
  return result;
}

std::uint64_t CompressedStream::GetUncompressedSize() const noexcept { return mImpl->mUncompressedSize; }

bool CompressRecycledMemory(const boost::shared_ptr<const RecycledMemory>& inInput, CompressionFlavor inFlavor,
                            boost::shared_ptr<RecycledMemory>& outOutput) {
  outOutput.reset();
  if (!inInput || !IsKnownFlavor(inFlavor)) return false;
  const unsigned char* bytes = static_cast<const unsigned char*>(inInput->Buffer());
  const std::uint64_t size = inInput->Size();
  // A guess at the compressed size of typical data spares most doublings.
  const std::uint64_t firstChunk = std::max<std::uint64_t>(kDefaultChunkSize, std::min(size / 4, kWindow));
  CompressedStream stream(inFlavor, static_cast<std::uint32_t>(firstChunk));
  std::uint64_t offset = 0;
  do {
    const std::uint32_t piece = static_cast<std::uint32_t>(std::min(size - offset, kWindow));
    if (!stream.PushBytes(bytes ? bytes + offset : nullptr, piece)) return false;
    offset += piece;
  } while (offset < size);
  outOutput = stream.GetCompressedData();
  if (outOutput && outOutput->Size() != 0) return true;
  outOutput.reset();
  return false;
}

bool DecompressRecycledMemory(const boost::shared_ptr<const RecycledMemory>& inInput, CompressionFlavor inFlavor,
                              boost::shared_ptr<RecycledMemory>& outOutput) {
  return DecompressRecycledMemory(inInput, inFlavor, outOutput, kDefaultMaxDecompressedSize);
}

bool DecompressRecycledMemory(const boost::shared_ptr<const RecycledMemory>& inInput, CompressionFlavor inFlavor,
                              boost::shared_ptr<RecycledMemory>& outOutput, std::uint64_t inMaxOutputSize) {
  outOutput.reset();
  if (!inInput || !IsKnownFlavor(inFlavor) || inMaxOutputSize == 0) return false;
  const unsigned char* const input = static_cast<const unsigned char*>(inInput->Buffer());
  const std::uint64_t inputSize = inInput->Size();
  if (!input || inputSize == 0) return false;

  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  const int init = inflateInit2(&stream, inFlavor == kCompressionFlavor_Raw ? -kWindowBits
                                                                             : kWindowBits + kDetectWrapping);
  if (init == Z_MEM_ERROR) ThrowOutOfMemory();
  if (init != Z_OK) return false;
  ScInflate end(stream);

  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const auto roundToStep = [](std::uint64_t inSize) {
    return inSize > kMax - kOutputStep ? kMax / kOutputStep * kOutputStep
                                       : (inSize + kOutputStep - 1) / kOutputStep * kOutputStep;
  };
  // Text tends to shrink to a quarter or less; the guess spares copies.
  const std::uint64_t guess = inputSize > kMax / 4 ? kMax : inputSize * 4;
  GrowingOutput output(std::min(inMaxOutputSize, roundToStep(std::max(guess, kOutputStep))));

  std::uint64_t consumed = 0;
  std::uint64_t memberStart = 0;
  unsigned char beyondLimit = 0;
  for (;;) {
    if (stream.avail_in == 0) {
      stream.next_in = const_cast<Bytef*>(input + consumed);
      stream.avail_in = WindowOf(inputSize - consumed);
    }
    // At the limit inflate gets one spare byte: writing it means the stream
    // holds more than the caller allows.
    const bool atLimit = output.Full() && output.Capacity() >= inMaxOutputSize;
    if (atLimit) {
      stream.next_out = &beyondLimit;
      stream.avail_out = 1;
    } else {
      if (output.Full()) {
        const std::uint64_t doubled = output.Capacity() > kMax / 2 ? kMax : output.Capacity() * 2;
        output.Grow(std::min(inMaxOutputSize, roundToStep(std::max(doubled, kOutputStep))));
      }
      output.Offer(stream);
    }
    const Bytef* const before = stream.next_in;
    const int result = inflate(&stream, Z_NO_FLUSH);
    consumed += static_cast<std::uint64_t>(stream.next_in - before);
    if (atLimit) {
      if (stream.avail_out == 0) return false;
    } else {
      output.Account(stream);
    }

    if (result == Z_OK) continue;
    if (result == Z_MEM_ERROR) ThrowOutOfMemory();
    if (result != Z_STREAM_END) return false;  // truncated, corrupt, or needs a dictionary
    if (consumed == inputSize) break;
    // Only further gzip members may follow a gzip member.
    const bool gzipMember = inFlavor != kCompressionFlavor_Raw && StartsGzipMember(input + memberStart, inputSize - memberStart);
    if (!gzipMember || !StartsGzipMember(input + consumed, inputSize - consumed)) return false;
    if (inflateReset(&stream) != Z_OK) return false;
    memberStart = consumed;
  }

  if (output.Used() == 0) return false;
  outOutput = output.Take();
  return true;
}

}  // namespace utility
}  // namespace basalt
