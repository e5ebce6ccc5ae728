#include "utility/ContractInternal.h"

#include <basalt/config/Errors.h>

#include <cstdint>
#include <stdexcept>

namespace basalt {
namespace utility {
namespace internal {

namespace {
const std::uint32_t kUtilityErrorGroup = 105;
const std::int32_t kInputContractViolationNumber = 25;
}  // namespace

const char kInputContractViolationKey[] =
    "$$$/basalt/utility/Error/Contract/InputContractViolation=An input contract violation has occurred!";

void ThrowInputContractViolation(const char* inCondition, const char* inFile, int inLine) {
  // The condition and location belong to the contract report, which has no
  // sink yet; the error itself goes to the host like every other.
  (void)inCondition;
  (void)inFile;
  (void)inLine;
  config::ThrowError(config::kErrorLevelNonFatal, kInputContractViolationKey, kUtilityErrorGroup,
                     kInputContractViolationNumber, true);
  // The host's ThrowErrorImpl must not return; if it does, the caller still
  // cannot go on with its broken input.
  throw std::logic_error(kInputContractViolationKey);
}

}  // namespace internal
}  // namespace utility
}  // namespace basalt
