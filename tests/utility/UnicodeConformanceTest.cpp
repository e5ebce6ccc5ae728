// The conversions against independent references: every code point, ICU's
// converters on valid and invalid text, and the plain models of the rules on
// random input, for both kernel sets.
#include <basalt/utility/UnicodeString.h>

#include "utility/UnicodeTestSupport.h"

#include <gtest/gtest.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <string>
#include <vector>

namespace basalt {
namespace utility {
namespace {

using testing::Dump;
using testing::Kernels;
using testing::ModelUTF16to8;
using testing::ModelUTF8to16;
using testing::TestRandom;

const Kernels* const kAllKernels[] = {&testing::kPublicKernels, &testing::kPortableKernels};

UTF8String EncodeUTF8(UChar32 inCodePoint) {
  uint8_t buffer[4];
  int32_t length = 0;
  U8_APPEND_UNSAFE(buffer, length, inCodePoint);
  return UTF8String(buffer, buffer + length);
}

UTF16String EncodeUTF16(UChar32 inCodePoint) {
  UChar buffer[2];
  int32_t length = 0;
  U16_APPEND_UNSAFE(buffer, length, inCodePoint);
  return UTF16String(buffer, buffer + length);
}

// ICU's strict conversion; false when ICU finds the text ill-formed.
bool IcuFromUTF8(const UTF8String& inText, UTF16String& outUnits) {
  outUnits.assign(inText.size() + 1, 0);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(&outUnits[0], static_cast<int32_t>(outUnits.size()), &length,
                reinterpret_cast<const char*>(inText.data()), static_cast<int32_t>(inText.size()), &status);
  outUnits.resize(U_SUCCESS(status) ? static_cast<std::size_t>(length) : 0);
  return U_SUCCESS(status);
}

// ICU's conversion with U+FFFD for every ill-formed subsequence.
UTF16String IcuFromUTF8WithSubstitution(const UTF8String& inText) {
  UTF16String units(inText.size() + 1, 0);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(&units[0], static_cast<int32_t>(units.size()), &length,
                       reinterpret_cast<const char*>(inText.data()), static_cast<int32_t>(inText.size()), 0xFFFD,
                       nullptr, &status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  units.resize(static_cast<std::size_t>(length));
  return units;
}

bool IcuToUTF8(const UTF16String& inUnits, UTF8String& outBytes) {
  outBytes.assign(inUnits.size() * 3 + 1, 0);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(reinterpret_cast<char*>(&outBytes[0]), static_cast<int32_t>(outBytes.size()), &length, inUnits.data(),
              static_cast<int32_t>(inUnits.size()), &status);
  outBytes.resize(U_SUCCESS(status) ? static_cast<std::size_t>(length) : 0);
  return U_SUCCESS(status);
}

bool IsSurrogate(UChar32 inCodePoint) { return inCodePoint >= 0xD800 && inCodePoint <= 0xDFFF; }

// Every code point, surrogates included, on its own: decodes to its UTF-16
// form and encodes back to the same bytes. Every overlong form of it, and
// every four-byte form above U+10FFFF, is rejected.
TEST(UnicodeConformance, EveryCodePoint) {
  for (const Kernels* kernels : kAllKernels) {
    SCOPED_TRACE(kernels->mName);
    int failures = 0;
    for (UChar32 cp = 0; cp <= 0x10FFFF && failures < 10; ++cp) {
      const UTF8String bytes = EncodeUTF8(cp);
      const UTF16String units = EncodeUTF16(cp);
      UnicodeErrorCode error = kUnicodeError_IllegalSequence;
      std::uint64_t length = 0;
      const UTF16String decoded = kernels->mUTF8to16(bytes, &error, &length);
      const UTF8String encoded = kernels->mUTF16to8(units);
      const bool ok = decoded == units && error == kUnicodeError_None && length == units.size() &&
                      encoded == (cp == 0 ? UTF8String() : bytes);
      if (!ok) {
        ++failures;
        ADD_FAILURE() << "U+" << std::hex << cp << ": decoded " << Dump(decoded) << " error " << error << ", encoded "
                      << Dump(encoded);
      }
    }

    // Overlong forms: two bytes below 0x80, three below 0x800, four below 0x10000.
    for (UChar32 cp = 0; cp < 0x10000 && failures < 10; ++cp) {
      std::vector<UTF8String> forms;
      if (cp < 0x80) forms.push_back(testing::Bytes({0xC0 | (cp >> 6), 0x80 | (cp & 0x3F)}));
      if (cp < 0x800) forms.push_back(testing::Bytes({0xE0, 0x80 | (cp >> 6), 0x80 | (cp & 0x3F)}));
      forms.push_back(testing::Bytes({0xF0, 0x80 | (cp >> 12), 0x80 | ((cp >> 6) & 0x3F), 0x80 | (cp & 0x3F)}));
      for (const UTF8String& form : forms) {
        UnicodeErrorCode error = kUnicodeError_None;
        const UTF16String decoded = kernels->mUTF8to16(form, &error, nullptr);
        if (error != kUnicodeError_IllegalSequence || !decoded.empty()) {
          ++failures;
          ADD_FAILURE() << "overlong " << Dump(form) << " gave " << Dump(decoded) << " error " << error;
        }
      }
    }
    for (UChar32 cp = 0x110000; cp < 0x200000 && failures < 10; cp += 0x3F) {
      const UTF8String form = testing::Bytes(
          {0xF0 | (cp >> 18), 0x80 | ((cp >> 12) & 0x3F), 0x80 | ((cp >> 6) & 0x3F), 0x80 | (cp & 0x3F)});
      UnicodeErrorCode error = kUnicodeError_None;
      kernels->mUTF8to16(form, &error, nullptr);
      if (error != kUnicodeError_IllegalSequence) {
        ++failures;
        ADD_FAILURE() << "beyond U+10FFFF " << Dump(form) << " gave error " << error;
      }
    }
  }
}

// All scalar values in one text, against ICU in both directions.
TEST(UnicodeConformance, AllScalarValuesAgainstIcu) {
  UTF8String bytes;
  UTF16String units;
  for (UChar32 cp = 1; cp <= 0x10FFFF; ++cp) {
    if (IsSurrogate(cp)) continue;
    bytes += EncodeUTF8(cp);
    units += EncodeUTF16(cp);
  }
  UTF16String icuUnits;
  ASSERT_TRUE(IcuFromUTF8(bytes, icuUnits));
  UTF8String icuBytes;
  ASSERT_TRUE(IcuToUTF8(units, icuBytes));
  ASSERT_TRUE(icuUnits == units);
  for (const Kernels* kernels : kAllKernels) {
    SCOPED_TRACE(kernels->mName);
    UnicodeErrorCode error = kUnicodeError_IllegalSequence;
    std::uint64_t length = 0;
    EXPECT_TRUE(kernels->mUTF8to16(bytes, &error, &length) == icuUnits);
    EXPECT_EQ(error, kUnicodeError_None);
    EXPECT_EQ(length, icuUnits.size());
    EXPECT_TRUE(kernels->mUTF16to8(units) == icuBytes);
  }
}

// Random well-formed text mixing the script ranges, against ICU.
TEST(UnicodeConformance, RandomValidTextAgainstIcu) {
  TestRandom random(20240611);
  const UChar32 ranges[][2] = {{0x20, 0x7E},       {0xA0, 0x24F},      {0x370, 0x3FF},
                               {0x4E00, 0x9FFF},   {0xAC00, 0xD7A3},   {0xE000, 0xFFFF},
                               {0x10000, 0x1FFFF}, {0x1F300, 0x1FAFF}, {0x100000, 0x10FFFF}};
  for (int round = 0; round < 3000; ++round) {
    const std::size_t characters = random.Below(round % 10 == 0 ? 700 : 90);
    UTF8String bytes;
    UTF16String units;
    // Each text leans to one range, as real text does.
    const auto& home = ranges[random.Below(sizeof ranges / sizeof ranges[0])];
    for (std::size_t i = 0; i < characters; ++i) {
      const auto& range = random.Below(4) == 0 ? ranges[random.Below(sizeof ranges / sizeof ranges[0])] : home;
      const UChar32 cp =
          range[0] + static_cast<UChar32>(random.Below(static_cast<std::uint32_t>(range[1] - range[0] + 1)));
      bytes += EncodeUTF8(cp);
      units += EncodeUTF16(cp);
    }
    UTF16String icuUnits;
    UTF8String icuBytes;
    ASSERT_TRUE(IcuFromUTF8(bytes, icuUnits));
    ASSERT_TRUE(IcuToUTF8(units, icuBytes));
    for (const Kernels* kernels : kAllKernels) {
      SCOPED_TRACE(std::string(kernels->mName) + " round " + std::to_string(round));
      UnicodeErrorCode error = kUnicodeError_IllegalSequence;
      const UTF16String decoded = kernels->mUTF8to16(bytes, &error, nullptr);
      ASSERT_EQ(Dump(decoded), Dump(icuUnits));
      ASSERT_EQ(error, kUnicodeError_None);
      ASSERT_EQ(Dump(kernels->mUTF16to8(decoded)), Dump(bytes));
      ASSERT_EQ(Dump(kernels->mUTF16to8(units)), Dump(icuBytes));
    }
  }
}

// Random bytes drawn mostly from the interesting ones.
UTF8String RandomBytes(TestRandom& ioRandom, std::size_t inLength) {
  static const unsigned char kInteresting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                               0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0,
                                               0xF1, 0xF4, 0xF5, 0xF7, 0xF8, 0xFB, 0xFC, 0xFE, 0xFF};
  UTF8String bytes;
  for (std::size_t i = 0; i < inLength; ++i) {
    const std::uint32_t kind = ioRandom.Below(8);
    if (kind < 3)
      bytes.push_back(static_cast<unsigned char>('a' + ioRandom.Below(26)));
    else if (kind < 6)
      bytes.push_back(static_cast<unsigned char>(0x80 + ioRandom.Below(0x40)));
    else if (kind == 6)
      bytes.push_back(kInteresting[ioRandom.Below(sizeof kInteresting)]);
    else
      bytes.push_back(static_cast<unsigned char>(ioRandom.Below(256)));
  }
  return bytes;
}

// Random, mostly ill-formed bytes: exactly what the plain model of the rules
// gives; and against ICU, the same verdict on well-formedness and the same
// units up to the stop, where ICU substitutes U+FFFD. ICU rejects encoded
// surrogates, which these conversions accept, so the ICU comparison runs on
// text without them.
TEST(UnicodeConformance, RandomBytesAgainstModelAndIcu) {
  TestRandom random(77);
  int valid = 0;
  for (int round = 0; round < 40000; ++round) {
    const std::size_t length = random.Below(round % 50 == 0 ? 700 : 24);
    UTF8String bytes = RandomBytes(random, length);
    const testing::ModelDecode model = ModelUTF8to16(bytes);
    for (const Kernels* kernels : kAllKernels) {
      SCOPED_TRACE(std::string(kernels->mName) + " input " + Dump(bytes));
      UnicodeErrorCode error = kUnicodeError_None;
      std::uint64_t units = 0;
      const UTF16String decoded = kernels->mUTF8to16(bytes, &error, &units);
      ASSERT_EQ(Dump(decoded), Dump(model.mUnits));
      ASSERT_EQ(error, model.mError);
      ASSERT_EQ(units, decoded.size());
    }

    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
      if (bytes[i] == 0xED && bytes[i + 1] >= 0xA0) bytes[i + 1] = 0x80;
    UnicodeErrorCode error = kUnicodeError_None;
    const UTF16String decoded = UTF8to16(bytes, &error);
    UTF16String strict;
    const bool icuValid = IcuFromUTF8(bytes, strict);
    SCOPED_TRACE("input " + Dump(bytes));
    ASSERT_EQ(error == kUnicodeError_None, icuValid);
    if (icuValid) {
      ++valid;
      ASSERT_EQ(Dump(decoded), Dump(strict));
      continue;
    }
    const UTF16String substituted = IcuFromUTF8WithSubstitution(bytes);
    ASSERT_LT(decoded.size(), substituted.size());
    ASSERT_EQ(Dump(decoded), Dump(substituted.substr(0, decoded.size())));
    ASSERT_EQ(substituted[decoded.size()], 0xFFFD);
  }
  // The generator must also reach well-formed text for the check to mean much.
  EXPECT_GT(valid, 2000);
}

// Random UTF-16 units, lone surrogates and NULs included: what the plain
// model gives, ICU's bytes where ICU accepts the text, and the round trip
// back to the same units up to the first NUL.
TEST(UnicodeConformance, RandomUnitsAgainstModelAndIcu) {
  TestRandom random(4242);
  for (int round = 0; round < 30000; ++round) {
    const std::size_t length = random.Below(round % 40 == 0 ? 900 : 30);
    UTF16String units;
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint32_t kind = random.Below(10);
      std::uint32_t u;
      if (kind < 4)
        u = 0x20 + random.Below(0x5F);
      else if (kind < 6)
        u = 0x80 + random.Below(0x780);
      else if (kind < 8)
        u = 0x800 + random.Below(0xF800);
      else if (kind == 8)
        u = 0xD800 + random.Below(0x800);
      else
        u = random.Below(30) == 0 ? 0 : 0xD800 + random.Below(0x400);
      units.push_back(static_cast<UTF16Char>(u));
      if (kind == 9 && u != 0) units.push_back(static_cast<UTF16Char>(0xDC00 + random.Below(0x400)));
    }
    const UTF8String model = ModelUTF16to8(units);
    const UTF16String upToNul = units.substr(0, units.find(UTF16Char(0)));
    for (const Kernels* kernels : kAllKernels) {
      SCOPED_TRACE(std::string(kernels->mName) + " input " + Dump(units));
      const UTF8String encoded = kernels->mUTF16to8(units);
      ASSERT_EQ(Dump(encoded), Dump(model));
      UnicodeErrorCode error = kUnicodeError_IllegalSequence;
      ASSERT_EQ(Dump(kernels->mUTF8to16(encoded, &error, nullptr)), Dump(upToNul));
      ASSERT_EQ(error, kUnicodeError_None);
    }
    UTF8String icu;
    if (IcuToUTF8(upToNul, icu)) {
      ASSERT_EQ(Dump(UTF16to8(units)), Dump(icu));
    }
  }
}

}  // namespace
}  // namespace utility
}  // namespace basalt
