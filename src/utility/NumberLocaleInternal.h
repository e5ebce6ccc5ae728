// The user's decimal and grouping separators behind the number functions of
// basalt/utility/NumberConversion.h.
#ifndef BASALT_UTILITY_NUMBERLOCALEINTERNAL_H
#define BASALT_UTILITY_NUMBERLOCALEINTERNAL_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UnicodeString.h>

namespace basalt {
namespace utility {
namespace internal {

struct NumberSeparators {
  UTF16Char mDecimal;
  UTF16Char mGrouping;  // 0: the user groups no digits
};

// What the operating system gives as the user's separators, read now; each
// one it cannot give is "." or ",". Implemented per platform.
BSL_EXPORT NumberSeparators ReadUserNumberSeparators();

// The process-wide separators: read once, on first use, then kept.
BSL_EXPORT NumberSeparators UserNumberSeparators() noexcept;

// Replaces the process-wide separators for as long as it lives, so tests can
// format under known separators whatever the machine's locale. Not for use
// while other threads format numbers.
class BSL_EXPORT ScUserNumberSeparatorsForTesting {
public:
  explicit ScUserNumberSeparatorsForTesting(NumberSeparators inSeparators) noexcept;
  ~ScUserNumberSeparatorsForTesting();
  ScUserNumberSeparatorsForTesting(const ScUserNumberSeparatorsForTesting&) = delete;
  ScUserNumberSeparatorsForTesting& operator=(const ScUserNumberSeparatorsForTesting&) = delete;

private:
  NumberSeparators mPrevious;
};

}  // namespace internal
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_NUMBERLOCALEINTERNAL_H
