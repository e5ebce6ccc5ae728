// Fuzzes the UTF-8 / UTF-16 conversions and the UTF-8 counts.
//
// The input is read twice: as UTF-8 bytes, and as little-endian UTF-16 units.
// Checked on every input, for the vector kernels of the public functions and
// for the portable ones:
//  - UTF8to16 agrees exactly with a plain model of the decoding rules (units,
//    outcome, length); on a clean outcome, UTF16to8 gives back the input up
//    to its first NUL (unless encoded surrogates pair up on the way back);
//  - against ICU: the same verdict on well-formedness and the same units for
//    text without encoded surrogates (which ICU rejects and these accept),
//    and for ill-formed text ICU's substituted output starts with ours;
//  - UTF16to8 agrees with a model of the encoding rules, its pointer overload
//    and UTF16toStdString agree with it, UTF8to16 of it gives back the units
//    up to the first NUL with a clean outcome, and ICU encodes text without
//    lone surrogates to the same bytes;
//  - the counts agree with a model, read nothing past the terminator or the
//    byte limit (AddressSanitizer sees the exact input block), and agree with
//    each other;
//  - normalisation is idempotent in every form.
// A failed check traps.
#include <basalt/utility/UnicodeString.h>

#include "utility/UnicodeStringInternal.h"

#include <unicode/ustring.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using basalt::UTF16Char;
using basalt::UTF16String;
using basalt::UTF8String;
namespace bu = basalt::utility;

void Check(bool inCondition) {
  if (!inCondition) __builtin_trap();
}

std::size_t SequenceLength(unsigned inLead) {
  return inLead < 0xC0 ? 1 : inLead < 0xE0 ? 2 : inLead < 0xF0 ? 3 : inLead < 0xF8 ? 4 : inLead < 0xFC ? 5 : 6;
}

struct ModelDecode {
  UTF16String mUnits;
  bu::UnicodeErrorCode mError = bu::kUnicodeError_None;
  bool mSurrogateEncoded = false;  // the converted part holds an encoded surrogate
};

ModelDecode ModelUTF8to16(const UTF8String& inText) {
  ModelDecode result;
  std::size_t i = 0;
  while (i < inText.size()) {
    const unsigned lead = inText[i];
    const std::size_t length = SequenceLength(lead);
    if (i + length > inText.size()) {
      result.mError = bu::kUnicodeError_Truncated;
      return result;
    }
    bool illegal = (lead >= 0x80 && lead <= 0xC1) || lead > 0xF4;
    for (std::size_t k = 1; k < length; ++k)
      if (inText[i + k] < 0x80 || inText[i + k] > 0xBF) illegal = true;
    if (length >= 2) {
      const unsigned second = inText[i + 1];
      if ((lead == 0xE0 && second < 0xA0) || (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        illegal = true;
    }
    if (illegal) {
      result.mError = bu::kUnicodeError_IllegalSequence;
      return result;
    }
    static const unsigned kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t cp = lead & kLeadMask[length];
    for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (inText[i + k] & 0x3Fu);
    if (cp >= 0xD800 && cp <= 0xDFFF) result.mSurrogateEncoded = true;
    if (cp < 0x10000) {
      result.mUnits.push_back(static_cast<UTF16Char>(cp));
    } else {
      result.mUnits.push_back(static_cast<UTF16Char>(0xD800 + ((cp - 0x10000) >> 10)));
      result.mUnits.push_back(static_cast<UTF16Char>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    i += length;
  }
  return result;
}

// Returns the bytes and whether a lone surrogate was met.
UTF8String ModelUTF16to8(const UTF16String& inText, bool& outLoneSurrogate) {
  UTF8String out;
  outLoneSurrogate = false;
  for (std::size_t i = 0; i < inText.size(); ++i) {
    std::uint32_t cp = inText[i];
    if (cp == 0) break;
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < inText.size() && inText[i + 1] >= 0xDC00 && inText[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (inText[i + 1] - 0xDC00u);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      outLoneSurrogate = true;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<unsigned char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<unsigned char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<unsigned char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<unsigned char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<unsigned char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

// The counting rules; never reads past a terminator or the byte limit.
int ModelByteCount(const unsigned char* inText, int inCharacters) {
  if (inCharacters == 0) return 0;
  long long position = 0;
  for (long long done = 0; inCharacters < 0 || done < inCharacters; ++done) {
    if (inText[position] == 0) break;
    const std::size_t length = SequenceLength(inText[position]);
    if (length > 4) return -1;
    std::size_t k = 1;
    while (k < length && inText[position + static_cast<long long>(k)] != 0) ++k;
    position += static_cast<long long>(k);
    if (k < length) break;
  }
  return position > INT_MAX ? -1 : static_cast<int>(position);
}

int ModelCharacterCount(const unsigned char* inText, int inBytes) {
  if (inBytes < 1) return 0;
  int count = 0;
  long long position = 0;
  while (position < inBytes) {
    if (inText[position] == 0) break;
    const long long length = static_cast<long long>(SequenceLength(inText[position]));
    if (length > 4) return -1;
    ++count;
    bool cut = false;
    for (long long k = position + 1; !cut && k < position + length && k < inBytes; ++k) cut = inText[k] == 0;
    if (cut) break;
    position += length;
  }
  return count;
}

struct Kernels {
  UTF16String (*mUTF8to16)(const UTF8String&, bu::UnicodeErrorCode*, std::uint64_t*);
  UTF8String (*mUTF16to8)(const UTF16String&);
};

UTF16String PublicUTF8to16(const UTF8String& s, bu::UnicodeErrorCode* e, std::uint64_t* l) {
  return bu::UTF8to16(s, e, l);
}
UTF8String PublicUTF16to8(const UTF16String& s) { return bu::UTF16to8(s); }

const Kernels kKernels[] = {{&PublicUTF8to16, &PublicUTF16to8},
                            {&bu::internal::UTF8to16Portable, &bu::internal::UTF16to8Portable}};

void CheckBytesAsUTF8(const std::uint8_t* inData, std::size_t inSize) {
  const UTF8String bytes(inData, inData + inSize);
  const ModelDecode model = ModelUTF8to16(bytes);
  UTF16String decoded;
  for (const Kernels& kernels : kKernels) {
    bu::UnicodeErrorCode error = bu::kUnicodeError_OutputExhausted;
    std::uint64_t length = ~std::uint64_t(0);
    decoded = kernels.mUTF8to16(bytes, &error, &length);
    Check(decoded == model.mUnits);
    Check(error == model.mError);
    Check(length == decoded.size());
    if (error == bu::kUnicodeError_None && !model.mSurrogateEncoded) {
      const UTF8String upToNul = bytes.substr(0, bytes.find(static_cast<unsigned char>(0)));
      Check(kernels.mUTF16to8(decoded) == upToNul);
    }
  }

  // ICU disagrees with these conversions on encoded surrogates only. One past
  // the stop does not matter: both stop there or before.
  if (!model.mSurrogateEncoded && inSize < (1u << 24)) {
    std::vector<UChar> icu(inSize + 1);
    int32_t icuLength = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(icu.data(), static_cast<int32_t>(icu.size()), &icuLength, reinterpret_cast<const char*>(inData),
                  static_cast<int32_t>(inSize), &status);
    Check(U_SUCCESS(status) == (model.mError == bu::kUnicodeError_None));
    if (U_SUCCESS(status)) {
      Check(decoded == UTF16String(icu.data(), static_cast<std::size_t>(icuLength)));
    } else {
      status = U_ZERO_ERROR;
      u_strFromUTF8WithSub(icu.data(), static_cast<int32_t>(icu.size()), &icuLength,
                           reinterpret_cast<const char*>(inData), static_cast<int32_t>(inSize), 0xFFFD, nullptr,
                           &status);
      Check(U_SUCCESS(status));
      Check(static_cast<std::size_t>(icuLength) > decoded.size());
      Check(std::equal(decoded.begin(), decoded.end(), icu.begin()));
      Check(icu[decoded.size()] == 0xFFFD);
    }
  }

  // Counts on the exact input block (no terminator: only the character count
  // may be asked, with the block size as limit) and on a terminated copy.
  if (inSize > 0 && inSize <= static_cast<std::size_t>(INT_MAX)) {
    const int size = static_cast<int>(inSize);
    Check(bu::GetUTF8CharacterCount(inData, size) == ModelCharacterCount(inData, size));
    std::vector<unsigned char> terminated(inData, inData + inSize);
    terminated.push_back(0);
    const unsigned char* text = terminated.data();
    const int characters = bu::GetUTF8CharacterCount(text, size + 1);
    Check(characters == ModelCharacterCount(text, size + 1));
    const int allBytes = bu::GetUTF8ByteCount(text, -1);
    Check(allBytes == ModelByteCount(text, -1));
    for (const int n : {1, 2, 3, size / 2, size}) {
      Check(bu::GetUTF8ByteCount(text, n) == ModelByteCount(text, n));
      Check(bu::GetUTF8CharacterCount(text, n) == ModelCharacterCount(text, n));
    }
    if (allBytes >= 0 && characters >= 0) {
      // The bytes of all characters hold all of them.
      Check(bu::GetUTF8ByteCount(text, characters) == allBytes);
      Check(allBytes == 0 || bu::GetUTF8CharacterCount(text, allBytes) == characters);
    }
  }

  const UTF16String widened = bu::AsciiToUTF16(reinterpret_cast<const char*>(inData), inSize);
  Check(widened.size() == inSize);
  for (std::size_t i = 0; i < inSize; ++i)
    Check(widened[i] == static_cast<UTF16Char>(static_cast<signed char>(inData[i])));
}

void CheckBytesAsUTF16(const std::uint8_t* inData, std::size_t inSize) {
  UTF16String units(inSize / 2, 0);
  if (!units.empty()) std::memcpy(&units[0], inData, units.size() * 2);
  bool loneSurrogate = false;
  const UTF8String model = ModelUTF16to8(units, loneSurrogate);
  const std::size_t nul = units.find(UTF16Char(0));
  const UTF16String upToNul = units.substr(0, nul);
  for (const Kernels& kernels : kKernels) {
    const UTF8String encoded = kernels.mUTF16to8(units);
    Check(encoded == model);
    bu::UnicodeErrorCode error = bu::kUnicodeError_OutputExhausted;
    Check(kernels.mUTF8to16(encoded, &error, nullptr) == upToNul);
    Check(error == bu::kUnicodeError_None);
  }
  Check(bu::UTF16to8(upToNul.c_str()) == model);
  Check(bu::UTF16StrLen(upToNul.c_str()) == static_cast<int>(upToNul.size()));
  const std::string narrow = bu::UTF16toStdString(units);
  Check(narrow.size() == model.size() && std::memcmp(narrow.data(), model.data(), model.size()) == 0);

  if (!loneSurrogate && upToNul.size() < (1u << 22)) {
    std::vector<char> icu(upToNul.size() * 3 + 1);
    int32_t icuLength = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(icu.data(), static_cast<int32_t>(icu.size()), &icuLength, upToNul.data(),
                static_cast<int32_t>(upToNul.size()), &status);
    Check(U_SUCCESS(status));
    Check(static_cast<std::size_t>(icuLength) == model.size() &&
          std::memcmp(icu.data(), model.data(), model.size()) == 0);
  }

  if (units.size() <= 4096) {
    for (const auto form : {bu::kUnicodeNormalization_C, bu::kUnicodeNormalization_D, bu::kUnicodeNormalization_KC,
                            bu::kUnicodeNormalization_KD}) {
      const UTF16String once = bu::NormalizedString(units, form);
      Check(bu::NormalizedString(once, form) == once);
    }
    Check(bu::NormalizedString(units, bu::kUnicodeNormalization_None) == units);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* inData, std::size_t inSize) {
  CheckBytesAsUTF8(inData, inSize);
  CheckBytesAsUTF16(inData, inSize);
  return 0;
}
