#include <basalt/threads/ThreadIdentity.h>

#include <sys/syscall.h>
#include <unistd.h>

namespace basalt {
namespace threads {

unsigned int GetCurrentThreadID() noexcept {
  // The system call is not free; a thread's id never changes.
  thread_local const unsigned int sThreadID = static_cast<unsigned int>(::syscall(SYS_gettid));
  return sThreadID;
}

unsigned int GetCurrentProcessID() noexcept { return static_cast<unsigned int>(::getpid()); }

}  // namespace threads
}  // namespace basalt
