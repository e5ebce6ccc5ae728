#include "utility/ContractInternal.h"

#include <stdexcept>

namespace basalt {
namespace utility {
namespace internal {

const char kInputContractViolationKey[] =
    "$$$/basalt/utility/Error/Contract/InputContractViolation=An input contract violation has occurred!";

void ThrowInputContractViolation(const char* inCondition, const char* inFile, int inLine) {
  // The condition and location belong to the contract report, which has no
  // sink in this build; the key is what callers and the error path act on.
  (void)inCondition;
  (void)inFile;
  (void)inLine;
  throw std::logic_error(kInputContractViolationKey);
}

}  // namespace internal
}  // namespace utility
}  // namespace basalt
