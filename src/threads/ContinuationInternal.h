// Continuation posts: work handed on as the last step of a work item.
//
// A serial sub-executor posts its next dispatch to the parent at the very end
// of the dispatch that ran. Posted the ordinary way, the parent wakes an idle
// worker for it while the posting worker goes idle a moment later, so every
// function bounces between two threads and pays a wake-up and two context
// switches. Marked as a continuation, the post skips the wake-up when the
// posting thread is a worker of the receiving queue: that worker takes the
// item itself as soon as it is back at its queue.
//
// The mark names the executor the post goes to. Only that executor's next
// immediate post from this thread takes it, and only when this thread serves
// that executor's queue; anything else posted meanwhile (say by a function an
// inline executor runs) wakes workers as usual. Whoever sets the mark must
// return to its queue right after the post, without waiting on anything.
#ifndef BASALT_THREADS_CONTINUATIONINTERNAL_H
#define BASALT_THREADS_CONTINUATIONINTERNAL_H

#include <basalt/threads/AsyncExecutor.h>

namespace basalt {
namespace threads {
namespace internal {

extern thread_local const AsyncExecutor* tContinuationTarget __attribute__((tls_model("initial-exec")));

class ScContinuationPost {
public:
  explicit ScContinuationPost(const AsyncExecutor* inTarget) noexcept { tContinuationTarget = inTarget; }
  ~ScContinuationPost() { tContinuationTarget = nullptr; }
  ScContinuationPost(const ScContinuationPost&) = delete;
  ScContinuationPost& operator=(const ScContinuationPost&) = delete;
};

// Whether this post is the continuation marked for inExecutor; clears the
// mark either way when it names inExecutor.
inline bool TakeContinuationMark(const AsyncExecutor* inExecutor) noexcept {
  if (tContinuationTarget != inExecutor) return false;
  tContinuationTarget = nullptr;
  return true;
}

// Going further: when the poster's queue has nothing else to do, posting the
// continuation and taking it straight back is the same as running it at
// once, minus the round trip. An executor of the library that can tell
// implements this; a serial sub-executor asks it before handing its next
// dispatch on, and runs the dispatch in place when the answer is yes.
class IInlineContinuation {
public:
  // True only when this thread works for the executor, the executor is
  // neither paused nor terminated, and no other work of it is waiting or due:
  // then nothing could start between posting a function now and this thread
  // taking it back.
  virtual bool MayContinueOnThisThread() noexcept = 0;

protected:
  ~IInlineContinuation() = default;
};

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_CONTINUATIONINTERNAL_H
