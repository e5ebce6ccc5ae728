// Fuzzes DecompressRecycledMemory with outside bytes in every flavor, both as
// they come and, when they are Base64 text, as decoded by
// DecodeBinaryDataFromUTF8String (compressed data often travels as Base64).
//
// Checked on every input and flavor:
//  - the verdict and the bytes agree with a plain inflate loop written from
//    the documented rules (one complete stream; in the zlib and gzip flavors
//    either wrapping, and further gzip members after a gzip member; nothing
//    else may follow; a limit of kLimit bytes);
//  - the limit is exact: a limit of the output's size succeeds, one byte less
//    fails;
//  - on failure no output is left; decompressed bytes compress and decompress
//    back to themselves.
// The input buffer's slack is poisoned under AddressSanitizer, so a read past
// its end is caught. A failed check traps.
#include <basalt/utility/Base64.h>
#include <basalt/utility/Compression.h>

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__has_feature)
#  if __has_feature(address_sanitizer)
#    define BSL_FUZZ_ASAN 1
#  endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#  define BSL_FUZZ_ASAN 1
#endif
#if defined(BSL_FUZZ_ASAN)
#  include <sanitizer/asan_interface.h>
#endif

namespace {

namespace bu = basalt::utility;

constexpr std::uint64_t kLimit = 1 << 20;

void Check(bool inCondition) {
  if (!inCondition) __builtin_trap();
}

// Recycled memory holding exactly the bytes, with whatever lies beyond them
// in its block made unreadable while it is used as input.
class PoisonedInput {
public:
  PoisonedInput(const unsigned char* inBytes, std::size_t inSize) : mMemory(bu::RecycledMemory::Create(inSize)) {
    if (inSize == 0) return;
    std::memcpy(mMemory->Buffer(), inBytes, inSize);
    mSlack = static_cast<std::size_t>(
        std::max<std::uint64_t>(mMemory->GetAllocatedSize(),
                                bu::SmallBlockAllocator::GetActualAllocationSize(static_cast<std::size_t>(
                                    mMemory->GetAllocatedSize()))) -
        inSize);
#if defined(BSL_FUZZ_ASAN)
    ASAN_POISON_MEMORY_REGION(static_cast<unsigned char*>(mMemory->Buffer()) + inSize, mSlack);
#endif
  }
  ~PoisonedInput() {
#if defined(BSL_FUZZ_ASAN)
    if (mSlack) ASAN_UNPOISON_MEMORY_REGION(static_cast<unsigned char*>(mMemory->Buffer()) + mMemory->Size(), mSlack);
#endif
  }
  boost::shared_ptr<const bu::RecycledMemory> Get() const { return mMemory; }

private:
  boost::shared_ptr<bu::RecycledMemory> mMemory;
  std::size_t mSlack = 0;
};

bool IsGzipMagic(const unsigned char* inBytes, std::size_t inLength) {
  return inLength >= 2 && inBytes[0] == 0x1f && inBytes[1] == 0x8b;
}

// The rules, with a fixed small output window and a growing string.
bool Model(const unsigned char* inData, std::size_t inSize, bu::CompressionFlavor inFlavor, std::string& outBytes) {
  outBytes.clear();
  if (inSize == 0) return false;
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, inFlavor == bu::kCompressionFlavor_Raw ? -15 : 47) != Z_OK) return false;
  stream.next_in = const_cast<unsigned char*>(inData);
  stream.avail_in = static_cast<uInt>(inSize);
  std::size_t memberStart = 0;
  bool good = false;
  unsigned char window[1000];
  for (;;) {
    stream.next_out = window;
    stream.avail_out = sizeof window;
    const int result = inflate(&stream, Z_NO_FLUSH);
    outBytes.append(reinterpret_cast<char*>(window), sizeof window - stream.avail_out);
    if (outBytes.size() > kLimit) break;
    if (result == Z_OK) continue;
    if (result != Z_STREAM_END) break;
    const std::size_t consumed = inSize - stream.avail_in;
    if (stream.avail_in == 0) {
      good = true;
      break;
    }
    if (inFlavor == bu::kCompressionFlavor_Raw || !IsGzipMagic(inData + memberStart, inSize - memberStart) ||
        !IsGzipMagic(inData + consumed, inSize - consumed))
      break;
    inflateReset(&stream);
    memberStart = consumed;
  }
  inflateEnd(&stream);
  if (!good) outBytes.clear();
  return good && !outBytes.empty();
}

std::string Bytes(const boost::shared_ptr<bu::RecycledMemory>& inMemory) {
  const char* bytes = static_cast<const char*>(static_cast<const bu::RecycledMemory&>(*inMemory).Buffer());
  return std::string(bytes, bytes + inMemory->Size());
}

void CheckFlavor(const unsigned char* inData, std::size_t inSize, bu::CompressionFlavor inFlavor) {
  std::string expected;
  const bool expectedGood = Model(inData, inSize, inFlavor, expected);

  const PoisonedInput input(inData, inSize);
  boost::shared_ptr<bu::RecycledMemory> output = bu::RecycledMemory::Create(1);
  const bool good = bu::DecompressRecycledMemory(input.Get(), inFlavor, output, kLimit);
  Check(good == expectedGood);
  Check(good == static_cast<bool>(output));
  if (!good) return;
  Check(Bytes(output) == expected);

  boost::shared_ptr<bu::RecycledMemory> exact;
  Check(bu::DecompressRecycledMemory(input.Get(), inFlavor, exact, expected.size()));
  Check(Bytes(exact) == expected);
  boost::shared_ptr<bu::RecycledMemory> tooSmall = bu::RecycledMemory::Create(1);
  Check(!bu::DecompressRecycledMemory(input.Get(), inFlavor, tooSmall, expected.size() - 1));
  Check(!tooSmall);

  boost::shared_ptr<bu::RecycledMemory> again;
  Check(bu::CompressRecycledMemory(output, inFlavor, again));
  boost::shared_ptr<bu::RecycledMemory> back;
  Check(bu::DecompressRecycledMemory(again, inFlavor, back, kLimit));
  Check(Bytes(back) == expected);
}

void CheckAllFlavors(const unsigned char* inData, std::size_t inSize) {
  for (bu::CompressionFlavor flavor :
       {bu::kCompressionFlavor_Raw, bu::kCompressionFlavor_Zlib, bu::kCompressionFlavor_Gzip})
    CheckFlavor(inData, inSize, flavor);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* inData, std::size_t inSize) {
  CheckAllFlavors(inData, inSize);

  const basalt::UTF8String text = inSize ? basalt::UTF8String(inData, inData + inSize) : basalt::UTF8String();
  std::vector<unsigned char, bu::SmallBlockAllocator::STLAllocator<unsigned char>> decoded;
  if (bu::DecodeBinaryDataFromUTF8String(text, decoded) && !decoded.empty())
    CheckAllFlavors(decoded.data(), decoded.size());
  return 0;
}
