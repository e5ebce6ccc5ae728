// Named threads, work-queue executors, the process-wide shared executors and
// the temporary single-threaded executors.
//
// The shared CPU-bound and IO-bound executors run on one pool of worker
// threads inside the library, with one timer thread for delayed calls. The
// library keeps only weak references to them: they live as long as somebody
// holds them, and the next Create after the last holder let go makes a new
// one.
//
// Every function here may be called from any thread.
#ifndef BASALT_THREADS_SHAREDTHREADS_H
#define BASALT_THREADS_SHAREDTHREADS_H

#include <basalt/threads/AsyncExecutor.h>
#include <basalt/utility/Export.h>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>

#include <string>

namespace basalt {
namespace threads {

// Starts a thread that runs, in order: inOnThreadStart (when set), names
// itself inName (the kernel keeps the first 15 bytes; debuggers and the
// library see the whole name), sets its priority, inFunction, inOnThreadEnd
// (when set).
BSL_EXPORT boost::thread CreateNamedThread(const std::string& inName, boost::function<void()> inFunction,
                                           ThreadPriority inPriority = kThreadPriority_Normal,
                                           const boost::function<void()>& inOnThreadStart = {},
                                           const boost::function<void()>& inOnThreadEnd = {},
                                           const boost::thread_attributes& inAttributes = {});

// A work queue with its own inThreadCount named threads (negative: that many
// per processor, so -1 is one per processor; 0 counts as 1, since a queue
// without threads would accept work and never run it). With one thread it is
// named inName; otherwise "inName 01", "inName 02", ... (three digits from
// 100). Throws boost::thread_resource_error when a thread cannot be started.
//
// Rules of the work queue:
//  - Functions posted without delay start in posting order.
//  - A delay below 7 ms counts as 7 ms; a delayed function may be released up
//    to 6 ms before it is due, never before 7 ms have passed since the post.
//  - Terminate: calls are refused from then on, delayed functions not yet due
//    are dropped unrun, functions already queued still run; then each worker
//    ends. A following Flush waits for the threads to end.
//  - The destructor terminates without waiting; the threads finish the queue
//    on their own.
//  - A function that throws is reported (with the exception's type and what())
//    and the worker goes on with the next one.
BSL_EXPORT boost::shared_ptr<AsyncThreadedExecutor> CreateAsyncThreadedExecutor(
    const std::string& inName, int inThreadCount, ThreadPriority inPriority = kThreadPriority_Normal,
    const boost::function<void()>& inOnThreadStart = {}, const boost::function<void()>& inOnThreadEnd = {},
    const boost::thread_attributes& inAttributes = {});

// The live shared executor, created when there is none. The CPU-bound one
// reports CPUCount() threads; the IO-bound one reports 4 and is meant for
// functions that block, so the pool grows rather than let them starve others.
// Delayed calls of a shared executor never run once it has been destroyed;
// functions posted without delay still run after it is gone.
BSL_EXPORT boost::shared_ptr<AsyncExecutor> CreateCPUBoundExecutor();
BSL_EXPORT boost::shared_ptr<AsyncExecutor> CreateIOBoundExecutor();
// The live shared executor or an empty pointer; never creates one.
BSL_EXPORT boost::shared_ptr<AsyncExecutor> GetCPUBoundExecutor();
BSL_EXPORT boost::shared_ptr<AsyncExecutor> GetIOBoundExecutor();
// Installs inExecutor as the shared one only when no live one exists.
BSL_EXPORT void SetCPUBoundExecutor(const boost::shared_ptr<AsyncExecutor>& inExecutor);
BSL_EXPORT void SetIOBoundExecutor(const boost::shared_ptr<AsyncExecutor>& inExecutor);

// Single-threaded work queues named "Temporary Thread", reused: a returned
// executor is paused and kept for the next borrower while fewer than two wait;
// otherwise it is terminated. CleanupAllSharedThreads ends the idle ones (call
// it at shutdown).
BSL_EXPORT boost::shared_ptr<AsyncThreadedExecutor> BorrowTemporarySingleThreadedExecutor();
BSL_EXPORT void ReturnTemporarySingleThreadedExecutor(const boost::shared_ptr<AsyncThreadedExecutor>& inExecutor);
BSL_EXPORT void CleanupAllSharedThreads();

// Calls inFunction(index, processorIndex) once for every index 0..inCount-1,
// spread over min(inCount, ThreadCount()) runners: the caller of
// WaitForCompletion and up to ThreadCount()-1 functions posted to inExecutor.
// processorIndex names the runner (0..runners-1), not a processor. With no
// executor or fewer than two runners, every call happens at once on the
// calling thread, in index order, and the result is empty.
// An empty inFunction throws boost::bad_function_call before anything runs
// (when inCount > 0). An exception from inFunction leaves the serial form at
// once; in the spread form the other indices still run and WaitForCompletion
// rethrows the first exception once every index is done. Runners the executor
// refuses or holds back cost nothing but parallelism: the waiter runs what is
// left itself.
BSL_EXPORT boost::shared_ptr<IMultithreadedTask> AsyncExecuteTaskOnAllThreadsWithProcessorIndex(
    const boost::function<void(int, int)>& inFunction, int inCount, const boost::shared_ptr<AsyncExecutor>& inExecutor);
BSL_EXPORT boost::shared_ptr<IMultithreadedTask> AsyncExecuteTaskOnAllThreads(
    const boost::function<void(int)>& inFunction, int inCount, const boost::shared_ptr<AsyncExecutor>& inExecutor);
// The same on the live CPU-bound executor, waiting for completion. With no
// CPU-bound executor alive, runs serially on the caller.
BSL_EXPORT void ExecuteCPUBoundTaskOnAllProcessorsWithProcessorIndex(const boost::function<void(int, int)>& inFunction,
                                                                     int inCount);
BSL_EXPORT void ExecuteCPUBoundTaskOnAllProcessors(const boost::function<void(int)>& inFunction, int inCount);

// Moves ioPointer (left empty) into a holder and returns a function that
// drops it, so the last reference can be released on whichever thread runs
// the function. Only the first run (of the function or any copy) drops it; a
// function that never runs drops it when its last copy is destroyed.
BSL_EXPORT boost::function<void()> MakeFunctionToCleanupSharedVoidPtr(boost::shared_ptr<void>& ioPointer);

}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_SHAREDTHREADS_H
