#include <basalt/threads/ThreadIdentity.h>

#include <sys/syscall.h>
#include <unistd.h>

namespace basalt {
namespace threads {

unsigned int GetCurrentThreadID() noexcept {
  // The system call is not free; a thread's id never changes. Locks ask on
  // every acquisition, so the slot is zero-initialised (no guard) and uses
  // the initial-exec model (no call to resolve it); four bytes fit the
  // static TLS reserve even when the library is loaded late.
  static thread_local unsigned int sThreadID __attribute__((tls_model("initial-exec"))) = 0;
  if (sThreadID == 0) sThreadID = static_cast<unsigned int>(::syscall(SYS_gettid));
  return sThreadID;
}

unsigned int GetCurrentProcessID() noexcept { return static_cast<unsigned int>(::getpid()); }

}  // namespace threads
}  // namespace basalt
