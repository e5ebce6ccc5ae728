// Sub-executors: executors without threads of their own that run their
// functions on a parent executor's threads, at most N at a time.
//
// Effective concurrency N: with P = the parent's ThreadCount(), a request n
// >= 0 gives min(n, P) and n < 0 gives -n * P. When N <= 0 (no parent, n = 0,
// a parent without threads) the factories return an empty pointer.
//
// Guarantees:
//  - Queue-based with N = 1: strictly serial, in posting order; each function
//    starts after the previous one finished.
//  - Queue-based with N > 1: start order is posting order, at most N at once.
//  - Stack-based: of the functions not yet started, the latest posted starts
//    first; at most N at once.
//  - A delayed function that falls due runs at once on the thread that fired
//    it when the limit allows (possibly before earlier queued functions),
//    otherwise it joins the end of the queue.
//  - Flush waits exactly for the functions queued (or fallen due) before it,
//    whatever order they finish in; from one of the sub-executor's own
//    functions it returns at once.
//  - Pause holds back functions not yet started; Terminate refuses new calls,
//    drops delayed functions not yet due, and still runs the queued ones (a
//    paused sub-executor is resumed so that its queue drains).
//  - Exceptions thrown by functions are discarded; later functions still run.
//  - ThreadCount() is N; WaitIfPaused() returns at once. Destroying the
//    returned object terminates the sub-executor.
#ifndef BASALT_THREADS_SUBEXECUTOR_H
#define BASALT_THREADS_SUBEXECUTOR_H

#include <basalt/threads/AsyncExecutor.h>
#include <basalt/utility/Export.h>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

namespace basalt {
namespace threads {

// FIFO.
BSL_EXPORT boost::shared_ptr<AsyncThreadedExecutor> CreateQueueBasedSubExecutor(
    const boost::shared_ptr<AsyncExecutor>& inParent, int inConcurrency);
BSL_EXPORT boost::shared_ptr<AsyncThreadedExecutor> CreateSubExecutor(const boost::shared_ptr<AsyncExecutor>& inParent,
                                                                      int inConcurrency);
// LIFO. The object is an AsyncThreadedExecutor, returned through the base.
BSL_EXPORT boost::shared_ptr<AsyncExecutor> CreateStackBasedSubExecutor(const boost::shared_ptr<AsyncExecutor>& inParent,
                                                                       int inConcurrency);
// FIFO; every function runs as inWrapper(function), so the creator can set up
// a context around each call. An empty wrapper gives a plain FIFO one.
BSL_EXPORT boost::shared_ptr<AsyncThreadedExecutor> CreateSubExecutorWithFunctionWrapper(
    const boost::shared_ptr<AsyncExecutor>& inParent, int inConcurrency,
    const boost::function<void(const boost::function<void()>&)>& inWrapper);

}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_SUBEXECUTOR_H
