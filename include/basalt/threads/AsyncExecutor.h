// Executors: objects that take a function and run it later on some thread,
// at once or after a delay.
//
// Work is a boost::function<void()>; delays are in milliseconds; executors are
// shared through boost::shared_ptr. Every operation may be called from any
// thread, including from a function the executor is running.
//
// Guarantees common to the library's executors:
//  - A function posted with delay 0 is started after every function posted
//    earlier to the same executor with delay 0 has been started (FIFO start
//    order). With more than one thread they may run concurrently and finish
//    in any order.
//  - A delayed function starts once its delay, measured from the call, has
//    passed; a work queue rounds delays below 7 ms up to 7 ms and may start a
//    function up to 6 ms before it is due, never sooner than 7 ms after the
//    call (see CreateAsyncThreadedExecutor).
//  - Exceptions thrown by a function never reach the poster.
//  - CallAsynchronously returns false, and destroys the function unrun, once
//    the executor is terminated.
#ifndef BASALT_THREADS_ASYNCEXECUTOR_H
#define BASALT_THREADS_ASYNCEXECUTOR_H

#include <basalt/utility/Export.h>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

namespace basalt {
namespace threads {

class BSL_EXPORT AsyncExecutor {
public:
  virtual ~AsyncExecutor();

  // Schedules inFunction to run after inDelayMs (0: as soon as possible).
  // False when the executor will never run it.
  virtual bool CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs) = 0;
  // How many threads the executor means to use in parallel; callers split
  // work by it.
  virtual int ThreadCount() const = 0;
  // Stops accepting work. What was queued before may still run (see the
  // concrete executor).
  virtual void Terminate() = 0;
  virtual bool IsTerminated() = 0;

protected:
  AsyncExecutor() = default;
  AsyncExecutor(const AsyncExecutor&) = default;
  AsyncExecutor& operator=(const AsyncExecutor&) = default;
};

// An executor whose threads can be recognised, waited for and paused.
class BSL_EXPORT AsyncThreadedExecutor : public AsyncExecutor {
public:
  ~AsyncThreadedExecutor() override;

  // True on a thread that belongs to this executor or is running one of its
  // functions.
  virtual bool IsCurrentThreadExecutorThread() = 0;
  // Returns once every function queued before the call has run. Returns at
  // once on one of the executor's own threads, so a function may flush its own
  // executor. After Terminate, Flush also waits for the executor's threads to
  // end.
  virtual void Flush() = 0;
  // Functions not yet started are held back until Resume; running ones finish.
  virtual void Pause() = 0;
  virtual void Resume() = 0;
  // Blocks the caller while the executor is paused (where the executor
  // supports it; otherwise returns at once).
  virtual void WaitIfPaused() = 0;
};

// Thread priorities, mapped to the system when a thread starts. On Linux the
// value becomes the thread's nice value (threads have their own), relative to
// the process's nice value at start:
//   Idle +19 (the lowest), Lowest +2, BelowNormal +1, Normal 0,
//   AboveNormal -1, Highest -2.
// Raising priority (a negative nice value) needs CAP_SYS_NICE or a raised
// RLIMIT_NICE; without it the thread keeps Normal. Any other value is Normal.
enum ThreadPriority {
  kThreadPriority_Idle = 0,
  kThreadPriority_Lowest = 1,
  kThreadPriority_BelowNormal = 2,
  kThreadPriority_Normal = 3,
  kThreadPriority_AboveNormal = 4,
  kThreadPriority_Highest = 5
};

// A function spread over several threads (see AsyncExecuteTaskOnAllThreads).
class BSL_EXPORT IMultithreadedTask {
public:
  // Takes part in the work on the calling thread, then blocks until every
  // index has been handled.
  virtual void WaitForCompletion() = 0;
  virtual ~IMultithreadedTask();

  IMultithreadedTask();
  IMultithreadedTask(const IMultithreadedTask&);
  IMultithreadedTask& operator=(const IMultithreadedTask&);
};

}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_ASYNCEXECUTOR_H
