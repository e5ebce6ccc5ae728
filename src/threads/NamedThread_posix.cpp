#include <basalt/threads/SharedThreads.h>
#include <basalt/threads/ThreadIdentity.h>

#include "threads/NamedThreadInternal.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <pthread.h>
#include <sys/resource.h>

namespace basalt {
namespace threads {
namespace {

// The kernel keeps 15 bytes of a thread's name plus the terminator.
constexpr std::size_t kKernelNameBytes = 15;

thread_local std::string tThreadName;

int ReadNice(int inWho) noexcept {
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(inWho));
  return (nice == -1 && errno != 0) ? 0 : nice;
}

// Threads inherit their creator's nice value; priorities are taken relative
// to the process's main thread as it was at the first thread start, so a
// thread started from an idle thread does not stay idle.
int ProcessNice() noexcept {
  static const int sProcessNice = ReadNice(static_cast<int>(GetCurrentProcessID()));
  return sProcessNice;
}

int NiceOffset(ThreadPriority inPriority) noexcept {
  switch (inPriority) {
    case kThreadPriority_Idle: return 19;
    case kThreadPriority_Lowest: return 2;
    case kThreadPriority_BelowNormal: return 1;
    case kThreadPriority_AboveNormal: return -1;
    case kThreadPriority_Highest: return -2;
    case kThreadPriority_Normal:
    default: return 0;
  }
}

// At most 15 bytes, never ending inside a UTF-8 sequence.
std::string KernelName(const std::string& inName) {
  if (inName.size() <= kKernelNameBytes) return inName;
  std::size_t cut = kKernelNameBytes;
  while (cut > 0 && (static_cast<unsigned char>(inName[cut]) & 0xC0) == 0x80) --cut;
  return inName.substr(0, cut);
}

void NameCurrentThread(const std::string& inName) {
  tThreadName = inName;
  (void)::pthread_setname_np(::pthread_self(), KernelName(inName).c_str());
}

void SetCurrentThreadPriority(ThreadPriority inPriority) noexcept {
  const int wanted = std::clamp(ProcessNice() + NiceOffset(inPriority), -20, 19);
  const int self = static_cast<int>(GetCurrentThreadID());
  if (ReadNice(self) == wanted) return;
  // Raising priority needs privileges the process may not have; the thread
  // then simply keeps the priority it has.
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(self), wanted);
}

}  // namespace

namespace internal {

std::string CurrentThreadName() {
  if (!tThreadName.empty()) return tThreadName;
  char name[kKernelNameBytes + 1] = {};
  if (::pthread_getname_np(::pthread_self(), name, sizeof name) != 0) return std::string();
  return name;
}

}  // namespace internal

boost::thread CreateNamedThread(const std::string& inName, boost::function<void()> inFunction,
                                ThreadPriority inPriority, const boost::function<void()>& inOnThreadStart,
                                const boost::function<void()>& inOnThreadEnd,
                                const boost::thread_attributes& inAttributes) {
  (void)ProcessNice();
  auto body = [name = inName, function = std::move(inFunction), inPriority, onStart = inOnThreadStart,
               onEnd = inOnThreadEnd]() {
    if (onStart) onStart();
    NameCurrentThread(name);
    SetCurrentThreadPriority(inPriority);
    if (function) function();
    if (onEnd) onEnd();
  };
  return boost::thread(inAttributes, std::move(body));
}

}  // namespace threads
}  // namespace basalt
