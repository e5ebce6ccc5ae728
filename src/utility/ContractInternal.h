// The one route by which the library reports a broken input contract.
#ifndef BASALT_SRC_UTILITY_CONTRACTINTERNAL_H
#define BASALT_SRC_UTILITY_CONTRACTINTERNAL_H

namespace basalt {
namespace utility {
namespace internal {

// The message key every input contract violation is thrown with.
extern const char kInputContractViolationKey[];

// Reports that inCondition did not hold at inFile:inLine and raises the
// input-contract error (group 105, number 25) through ThrowError, so the
// host's error manager decides what is thrown. Without a manager that is the
// manager-missing std::logic_error; should the manager return, a
// std::logic_error carrying the key is thrown.
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
