#include <basalt/utility/StringCase.h>

#include "utility/CaseTableInternal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#  include <emmintrin.h>
#  define BSL_CASE_SSE2 1
#else
#  define BSL_CASE_SSE2 0
#endif

namespace basalt {
namespace utility {

using internal::CaseForm;
using internal::CaseKind;
using internal::CaseTableEntry;
using internal::kCaseTable;
using internal::kCaseTableSize;

namespace internal {

const CaseTableEntry* CaseTableEntries(std::size_t* outCount) noexcept {
  if (outCount != nullptr) *outCount = kCaseTableSize;
  return kCaseTable;
}

}  // namespace internal

namespace {

// A two-level index over the sorted case table, in place of a search per
// unit: the high byte of a unit selects a page of 256 slots, the low byte a
// slot. High bytes without keys share one page of empty slots, so a lookup is
// two loads and no branch.
//
// Per case kind a slot holds the difference from the unit to its form when
// the form is one unit (0 for units that are not keys), so mapping needs no
// branch but the one for the rare longer form, whose slot holds the entry's
// position + 1 above the low 16 bits. Another set of pages holds the entry's
// position + 1 (0: not a key) for the lookups of TitleCase.
class CaseIndex {
public:
  CaseIndex() {
    std::uint16_t pageOf[256] = {};
    std::size_t pages = 1;
    for (std::size_t i = 0; i < kCaseTableSize; ++i) {
      std::uint16_t& page = pageOf[kCaseTable[i].mKey >> 8];
      if (page == 0) page = static_cast<std::uint16_t>(pages++);
    }
    mEntryStorage.assign(pages * kPageSize, 0);
    for (auto& storage : mMapStorage) storage.assign(pages * kPageSize, 0);
    for (std::size_t i = 0; i < kCaseTableSize; ++i) {
      const CaseTableEntry& entry = kCaseTable[i];
      const std::size_t slot = pageOf[entry.mKey >> 8] * kPageSize + (entry.mKey & 0xFF);
      mEntryStorage[slot] = static_cast<std::uint16_t>(i + 1);
      for (int kind = 0; kind < 3; ++kind) {
        const CaseForm& form = entry.mForms[kind];
        mMapStorage[kind][slot] = form.mLength == 1
                                      ? static_cast<std::uint16_t>(form.mUnits[0] - entry.mKey)
                                      : static_cast<std::uint32_t>(i + 1) << 16;
      }
    }
    for (std::size_t high = 0; high < 256; ++high) {
      mEntryPages[high] = &mEntryStorage[pageOf[high] * kPageSize];
      for (int kind = 0; kind < 3; ++kind) mMapPages[kind][high] = &mMapStorage[kind][pageOf[high] * kPageSize];
    }
    for (int kind = 0; kind < 3; ++kind) mAsciiRules[kind] = MakeAsciiRule(mMapPages[kind][0]);
  }
  CaseIndex(const CaseIndex&) = delete;
  CaseIndex& operator=(const CaseIndex&) = delete;

  const CaseTableEntry* Find(char16_t inUnit) const noexcept {
    const std::uint16_t slot = mEntryPages[inUnit >> 8][inUnit & 0xFF];
    return slot == 0 ? nullptr : &kCaseTable[slot - 1];
  }
  bool IsKey(char16_t inUnit) const noexcept { return Find(inUnit) != nullptr; }

  const std::uint32_t* const* MapPages(CaseKind inKind) const noexcept { return mMapPages[inKind]; }

  // How a case kind maps ASCII, when it is as simple as for the Latin
  // letters: the units mFirst to mLast move by mDelta, the others stay.
  // Blocks of ASCII text are then mapped eight units at a time.
  struct AsciiRule {
    bool mValid;
    std::int16_t mFirst, mLast, mDelta;
  };
  const AsciiRule& Ascii(CaseKind inKind) const noexcept { return mAsciiRules[inKind]; }

private:
  static constexpr std::size_t kPageSize = 256;

  static AsciiRule MakeAsciiRule(const std::uint32_t* inSlots) {
    AsciiRule rule = {false, 0, -1, 0};
    for (std::int16_t unit = 0; unit < 0x80; ++unit) {
      const std::uint32_t slot = inSlots[unit];
      if (slot == 0) continue;
      const auto delta = static_cast<std::int16_t>(static_cast<std::uint16_t>(slot));
      if (slot > 0xFFFF || unit + delta < 0 || unit + delta >= 0x80) return rule;
      if (rule.mLast < rule.mFirst) {
        rule.mFirst = unit;
        rule.mDelta = delta;
      } else if (unit != rule.mLast + 1 || delta != rule.mDelta) {
        return rule;
      }
      rule.mLast = unit;
    }
    rule.mValid = true;
    return rule;
  }

  std::vector<std::uint16_t> mEntryStorage;
  std::vector<std::uint32_t> mMapStorage[3];
  const std::uint16_t* mEntryPages[256];
  const std::uint32_t* mMapPages[3][256];
  AsciiRule mAsciiRules[3];
};

const CaseIndex& Index() {
  static const CaseIndex sIndex;
  return sIndex;
}

void AppendForm(UTF16String& ioText, const CaseForm& inForm) { ioText.append(inForm.mUnits, inForm.mLength); }

UTF16String MapCase(const UTF16String& inText, CaseKind inKind) {
  const CaseIndex& index = Index();
  const std::uint32_t* const* pages = index.MapPages(inKind);
  const std::size_t length = inText.size();
  const UTF16Char* in = inText.data();
  // Room for one unit per unit and an eighth more for longer forms, so that
  // a string with a few of them is allocated once: beyond the small-block
  // classes every allocation costs fresh pages. There is always room for the
  // units left; a longer form that finds none grows the result for it, the
  // units left and an eighth of them more, into a new string of that size
  // (resize would double the capacity).
  UTF16String result(length + length / 8, u'\0');
  UTF16Char* out = &result[0];
  UTF16Char* end = out + result.size();
  auto mapUnit = [&](std::size_t i) {
    const UTF16Char unit = in[i];
    const std::uint32_t slot = pages[unit >> 8][unit & 0xFF];
    if (slot <= 0xFFFF) {
      *out++ = static_cast<UTF16Char>(unit + slot);
      return;
    }
    const CaseForm& form = kCaseTable[(slot >> 16) - 1].mForms[inKind];
    const std::size_t left = length - i - 1;
    if (static_cast<std::size_t>(end - out) < form.mLength + left) {
      const std::size_t written = static_cast<std::size_t>(out - result.data());
      UTF16String grown(written + form.mLength + left + left / 8 + 8, u'\0');
      std::copy(result.data(), out, &grown[0]);
      result.swap(grown);
      out = &result[written];
      end = result.data() + result.size();
    }
    for (std::uint8_t k = 0; k < form.mLength; ++k) *out++ = form.mUnits[k];
  };
  std::size_t i = 0;
#if BSL_CASE_SSE2
  const CaseIndex::AsciiRule& rule = index.Ascii(inKind);
  if (rule.mValid) {
    const __m128i notAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    const __m128i belowFirst = _mm_set1_epi16(static_cast<short>(rule.mFirst - 1));
    const __m128i aboveLast = _mm_set1_epi16(static_cast<short>(rule.mLast + 1));
    const __m128i delta = _mm_set1_epi16(rule.mDelta);
    while (length - i >= 8) {
      const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, notAscii), zero)) == 0xFFFF) {
        const __m128i moving = _mm_and_si128(_mm_cmpgt_epi16(units, belowFirst), _mm_cmpgt_epi16(aboveLast, units));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_add_epi16(units, _mm_and_si128(moving, delta)));
        out += 8;
        i += 8;
        continue;
      }
      for (const std::size_t blockEnd = i + 8; i < blockEnd; ++i) mapUnit(i);
    }
  }
#endif
  for (; i < length; ++i) mapUnit(i);
  result.resize(static_cast<std::size_t>(out - result.data()));
  return result;
}

bool IsLeadingSurrogate(UTF16Char inUnit) { return inUnit >= 0xD800 && inUnit <= 0xDBFF; }
bool IsTrailingSurrogate(UTF16Char inUnit) { return inUnit >= 0xDC00 && inUnit <= 0xDFFF; }

template <class Units>
Units Truncate(const Units& inText, std::uint64_t inCount, bool inFromEnd) {
  const std::size_t length = inText.size();
  if (inCount == 0) return Units(inText.get_allocator());
  if (inCount >= length) return inText;
  const auto count = static_cast<std::size_t>(inCount);
  if (!inFromEnd) {
    std::size_t end = count;
    if (IsLeadingSurrogate(inText[end - 1]) && IsTrailingSurrogate(inText[end])) --end;
    return Units(inText.begin(), inText.begin() + static_cast<std::ptrdiff_t>(end), inText.get_allocator());
  }
  std::size_t begin = length - count;
  if (IsTrailingSurrogate(inText[begin]) && IsLeadingSurrogate(inText[begin - 1])) ++begin;
  return Units(inText.begin() + static_cast<std::ptrdiff_t>(begin), inText.end(), inText.get_allocator());
}

constexpr UTF16Char kAmpersand = u'&';

}  // namespace

UTF16String LowerCase(const UTF16String& inText) { return MapCase(inText, internal::kCase_Lower); }
UTF16String UpperCase(const UTF16String& inText) { return MapCase(inText, internal::kCase_Upper); }
UTF16String FoldCase(const UTF16String& inText) { return MapCase(inText, internal::kCase_Fold); }

UTF16String TitleCase(const UTF16String& inText) {
  const CaseIndex& index = Index();
  UTF16String result;
  result.reserve(inText.size());
  bool wordStart = true;
  for (std::size_t i = 0; i < inText.size(); ++i) {
    const UTF16Char unit = inText[i];
    if (const CaseTableEntry* entry = index.Find(unit)) {
      AppendForm(result, entry->mForms[wordStart ? internal::kCase_Upper : internal::kCase_Lower]);
      wordStart = false;
      continue;
    }
    result.push_back(unit);
    // An apostrophe inside a word ("don't") does not end it.
    wordStart = unit != u'\'' || i == 0 || !index.IsKey(inText[i - 1]);
  }
  return result;
}

void ToLowerCase(UTF16String& ioText) { ioText = LowerCase(ioText); }
void ToUpperCase(UTF16String& ioText) { ioText = UpperCase(ioText); }
void ToFoldCase(UTF16String& ioText) { ioText = FoldCase(ioText); }
void ToTitleCase(UTF16String& ioText) { ioText = TitleCase(ioText); }

bool ToNumericCase(UTF16Char& ioUnit) {
  if (ioUnit < 0xFF01 || ioUnit > 0xFF1F) return false;
  ioUnit = static_cast<UTF16Char>(ioUnit - 0xFEE0);
  return true;
}

bool ToNumericCase(UTF16String& ioText) {
  bool changed = false;
  for (UTF16Char& unit : ioText) changed |= ToNumericCase(unit);
  return changed;
}

UTF16String TruncateStringToNumChars(const UTF16String& inText, std::uint64_t inCount, bool inFromEnd) {
  return Truncate(inText, inCount, inFromEnd);
}

std::vector<UTF16Char, SmallBlockAllocator::STLAllocator<UTF16Char>> TruncateStringToNumChars(
    const std::vector<UTF16Char, SmallBlockAllocator::STLAllocator<UTF16Char>>& inText, std::uint64_t inCount,
    bool inFromEnd) {
  return Truncate(inText, inCount, inFromEnd);
}

UTF16String TruncateUIStringInMiddle(const UTF16String& inText, std::uint64_t inMaxLength, float inHeadShare) {
  if (inText.size() <= inMaxLength) return inText;
  // Here inMaxLength is below the text's length, so every count below fits
  // a signed 64-bit integer.
  float share = std::isnan(inHeadShare) ? 0.5f : std::min(std::max(inHeadShare, 0.0f), 1.0f);
  const float maxLength = static_cast<float>(inMaxLength);
  auto head = static_cast<std::int64_t>(std::floor(maxLength * share)) - 3;
  auto tail = static_cast<std::int64_t>(std::floor(maxLength * (1.0f - share))) - 2;
  // A short maximum makes a count negative; unsigned it would wrap and keep
  // the whole text. Take the deficit from the other side instead, and never
  // let rounding push the result past the maximum.
  if (head < 0) {
    tail += head;
    head = 0;
  }
  if (tail < 0) {
    head = std::max<std::int64_t>(head + tail, 0);
    tail = 0;
  }
  const std::int64_t budget = std::max<std::int64_t>(static_cast<std::int64_t>(inMaxLength) - 5, 0);
  if (head + tail > budget) {
    tail = std::max<std::int64_t>(budget - head, 0);
    head = budget - tail;
  }
  UTF16String result = Truncate(inText, static_cast<std::uint64_t>(head), false);
  result.append(u" ... ", 5);
  result += Truncate(inText, static_cast<std::uint64_t>(tail), true);
  return result;
}

void StripDisplayString(UTF16String& ioText, bool inRemoveParenthesised) {
  if (ioText.empty()) return;
  if (inRemoveParenthesised) {
    const std::size_t open = ioText.find(u"(&", 0, 2);
    if (open != UTF16String::npos && open + 3 < ioText.size() && ioText[open + 3] == u')') ioText.erase(open, 4);
  }
  // One pass with a write position; the same result as removing each
  // mnemonic "&" in place and rescanning from the unit that moves into it.
  const std::size_t length = ioText.size();
  std::size_t out = 0;
  std::size_t i = 0;
  while (i < length) {
    const UTF16Char unit = ioText[i];
    if (unit != kAmpersand || i + 1 == length || ioText[i + 1] == u' ') {
      ioText[out++] = unit;
      ++i;
      continue;
    }
    ++i;  // drop the "&"; a second one of a pair stays
    if (ioText[i] == kAmpersand) {
      ioText[out++] = kAmpersand;
      ++i;
    }
  }
  ioText.resize(out);
}

std::uint64_t LocateSingleAmpersandInString(const UTF16String& inText, bool inCountDoubles) {
  const std::size_t length = inText.size();
  std::uint64_t doubles = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (inText[i] != kAmpersand) continue;
    if (i + 1 == length) break;
    if (inText[i + 1] == kAmpersand) {
      ++doubles;
      ++i;
      continue;
    }
    if (inText[i + 1] == u' ') continue;
    return inCountDoubles ? i - doubles : i;
  }
  return kNoAmpersand;
}

UTF16String GetLineEnding(LineEndingType inType) {
  switch (inType) {
    case kLineEnding_CRLF:
      return UTF16String(u"\r\n");
    case kLineEnding_CR:
      return UTF16String(u"\r");
    case kLineEnding_LF:
      return UTF16String(u"\n");
  }
  return UTF16String();
}

void ConvertLineEndings(LineEndingType inType, UTF16String& ioText) {
  const UTF16String ending = GetLineEnding(inType);
  if (ending.empty()) return;
  const std::size_t length = ioText.size();
  UTF16String result;
  result.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const UTF16Char unit = ioText[i];
    if (unit == u'\r') {
      if (i + 1 < length && ioText[i + 1] == u'\n') ++i;
      result += ending;
    } else if (unit == u'\n') {
      result += ending;
    } else {
      result.push_back(unit);
    }
  }
  ioText.swap(result);
}

}  // namespace utility
}  // namespace basalt
