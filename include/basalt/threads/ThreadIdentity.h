// Operating-system identities of the calling thread and process.
//
// Both are cheap after the first call on a thread and safe from any thread.
#ifndef BASALT_THREADS_THREADIDENTITY_H
#define BASALT_THREADS_THREADIDENTITY_H

#include <basalt/utility/Export.h>

namespace basalt {
namespace threads {

// The kernel's id of the calling thread; never 0.
BSL_EXPORT unsigned int GetCurrentThreadID() noexcept;
BSL_EXPORT unsigned int GetCurrentProcessID() noexcept;

}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_THREADIDENTITY_H
