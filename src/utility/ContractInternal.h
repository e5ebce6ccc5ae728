// The one route by which the library reports a broken input contract.
#ifndef BASALT_SRC_UTILITY_CONTRACTINTERNAL_H
#define BASALT_SRC_UTILITY_CONTRACTINTERNAL_H

namespace basalt {
namespace utility {
namespace internal {

// The message key every input contract violation is thrown with.
extern const char kInputContractViolationKey[];

// Reports that inCondition did not hold at inFile:inLine and throws. The
// report has no sink yet; the throw is a std::logic_error whose what() is
// exactly kInputContractViolationKey, so callers can match it.
[[noreturn]] void ThrowInputContractViolation(const char* inCondition, const char* inFile, int inLine);

}  // namespace internal
}  // namespace utility
}  // namespace basalt

#define BSL_REQUIRE(condition)                                                                 \
  do {                                                                                         \
    if (!(condition))                                                                          \
      ::basalt::utility::internal::ThrowInputContractViolation(#condition, __FILE__, __LINE__); \
  } while (0)

#endif  // BASALT_SRC_UTILITY_CONTRACTINTERNAL_H
