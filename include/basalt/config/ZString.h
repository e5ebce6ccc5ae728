// Localizable message keys and their "@n" replacement markers.
//
// A ZString is a narrow ASCII key carrying its own English default text:
//   "$$$/" path "/" name "=" default text
// for example "$$$/basalt/utility/NumberString/bytes=@0 B". The installed
// Localizer maps the key to the text of the user's language; the markers "@0"
// to "@9" in that text are then replaced by values:
//   "@" digit d   -> value d (empty when not given)
//   "@@"          -> "@"
//   "@" other c   -> "@" c
//   "@" at end    -> "@"
// Replaced values are not scanned again. Every occurrence of a marker is
// replaced.
#ifndef BASALT_CONFIG_ZSTRING_H
#define BASALT_CONFIG_ZSTRING_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UnicodeString.h>

#include <vector>

namespace basalt {

// The localized text of inKey with "@0".."@9" replaced. Throws
// std::logic_error when no Localizer is installed.
BSL_EXPORT UTF16String ZString(const char* inKey, const UTF16String& in0 = UTF16String(),
                               const UTF16String& in1 = UTF16String(), const UTF16String& in2 = UTF16String(),
                               const UTF16String& in3 = UTF16String(), const UTF16String& in4 = UTF16String(),
                               const UTF16String& in5 = UTF16String(), const UTF16String& in6 = UTF16String(),
                               const UTF16String& in7 = UTF16String(), const UTF16String& in8 = UTF16String(),
                               const UTF16String& in9 = UTF16String());

namespace utility {

// The marker substitution alone.
BSL_EXPORT UTF16String ReplaceInString(const UTF16String& inText, const UTF16String& in0 = UTF16String(),
                                       const UTF16String& in1 = UTF16String(), const UTF16String& in2 = UTF16String(),
                                       const UTF16String& in3 = UTF16String(), const UTF16String& in4 = UTF16String(),
                                       const UTF16String& in5 = UTF16String(), const UTF16String& in6 = UTF16String(),
                                       const UTF16String& in7 = UTF16String(), const UTF16String& in8 = UTF16String(),
                                       const UTF16String& in9 = UTF16String());
// Element i stands for "@i"; missing elements are empty, elements past the
// tenth are ignored.
BSL_EXPORT UTF16String ReplaceInString(const UTF16String& inText, const SmallBlockAllocator::vector<UTF16String>& inValues);
BSL_EXPORT UTF16String ReplaceInString(const UTF16String& inText, const std::vector<UTF16String>& inValues);

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_CONFIG_ZSTRING_H
