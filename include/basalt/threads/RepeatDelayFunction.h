// Functions called again and again on an executor, a fixed delay apart.
//
// Repetitions hold the executor only weakly: they end when it is destroyed.
// Safe from any thread.
#ifndef BASALT_THREADS_REPEATDELAYFUNCTION_H
#define BASALT_THREADS_REPEATDELAYFUNCTION_H

#include <basalt/threads/AsyncExecutor.h>
#include <basalt/utility/Export.h>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

namespace basalt {
namespace threads {

// Calls inPredicate after inDelayMs, then again every inDelayMs for as long
// as it returns true and the executor exists. An empty executor or predicate
// does nothing.
BSL_EXPORT void CallConditionalRepeatDelayFunctionAsynchronously(const boost::shared_ptr<AsyncExecutor>& inExecutor,
                                                                 const boost::function<bool()>& inPredicate,
                                                                 unsigned int inDelayMs);

// Calls a function every inDelayMs until DoNotCallAgain, or until this object
// and all its copies are gone. A call already running when repetition stops
// still completes; no further call starts.
class BSL_EXPORT RepeatDelayFunction {
public:
  RepeatDelayFunction(const boost::shared_ptr<AsyncExecutor>& inExecutor, const boost::function<void()>& inFunction,
                      unsigned int inDelayMs);
  void DoNotCallAgain();

private:
  boost::shared_ptr<boost::function<void()>> mFunction;
};

}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_REPEATDELAYFUNCTION_H
