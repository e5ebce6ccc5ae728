// Conversion kernels behind the public functions of UnicodeString.h.
//
// The public conversions run vector kernels where the target has them (SSE2 on
// x86-64). The portable kernels are compiled everywhere and exported here so
// that tests can hold both to the same tables on any machine; the kernels
// alone are exported for the benchmarks.
#ifndef BASALT_UTILITY_UNICODESTRINGINTERNAL_H
#define BASALT_UTILITY_UNICODESTRINGINTERNAL_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UnicodeString.h>

#include <cstddef>
#include <cstdint>

namespace basalt {
namespace utility {
namespace internal {

// UTF8to16, UTF16to8 and AsciiToUTF16 on the portable kernels only.
BSL_EXPORT UTF16String UTF8to16Portable(const UTF8String& inText, UnicodeErrorCode* outError, std::uint64_t* outLength);
BSL_EXPORT UTF8String UTF16to8Portable(const UTF16String& inText);
BSL_EXPORT UTF16String AsciiToUTF16Portable(const char* inText, std::uint64_t inLength);

// True when the public functions use vector kernels.
BSL_EXPORT bool UnicodeKernelsVectorised() noexcept;

// The conversions of UTF8to16 and UTF16to8 without the result string, for
// benchmarks against converters that write into the caller's buffer. The
// buffer takes the worst case: inSize units for UTF8to16Into, 3 * inSize + 1
// bytes for UTF16to8Into. Both stop where the public functions stop and
// return the units or bytes written.
BSL_EXPORT std::size_t UTF8to16Into(const unsigned char* inText, std::size_t inSize, char16_t* outUnits,
                                    UnicodeErrorCode* outError) noexcept;
BSL_EXPORT std::size_t UTF16to8Into(const char16_t* inText, std::size_t inSize, unsigned char* outBytes) noexcept;

}  // namespace internal
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_UNICODESTRINGINTERNAL_H
