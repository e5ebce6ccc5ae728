// Names of the library's threads, for diagnostics.
#ifndef BASALT_THREADS_NAMEDTHREADINTERNAL_H
#define BASALT_THREADS_NAMEDTHREADINTERNAL_H

#include <string>

namespace basalt {
namespace threads {
namespace internal {

// The whole name CreateNamedThread gave the calling thread (the kernel keeps
// only its first 15 bytes); for any other thread the kernel's name.
std::string CurrentThreadName();

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_NAMEDTHREADINTERNAL_H
