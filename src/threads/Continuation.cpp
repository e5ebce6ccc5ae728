#include "threads/ContinuationInternal.h"

namespace basalt {
namespace threads {
namespace internal {

thread_local const AsyncExecutor* tContinuationTarget __attribute__((tls_model("initial-exec"))) = nullptr;

}  // namespace internal
}  // namespace threads
}  // namespace basalt
