#include <basalt/threads/SharedThreads.h>
#include <basalt/threads/SyncPrimitives.h>
#include <basalt/utility/SmallBlockAllocator.h>

#include <boost/function.hpp>
#include <boost/make_shared.hpp>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>

namespace basalt {
namespace threads {

IMultithreadedTask::IMultithreadedTask() = default;
IMultithreadedTask::IMultithreadedTask(const IMultithreadedTask&) = default;
IMultithreadedTask& IMultithreadedTask::operator=(const IMultithreadedTask&) = default;
IMultithreadedTask::~IMultithreadedTask() = default;

namespace {

// Indices are handed out one at a time to whichever runner asks next, so
// runners that start late or run slowly take fewer.
class MultithreadedTask final : public IMultithreadedTask {
public:
  MultithreadedTask(const boost::function<void(int, int)>& inFunction, int inCount)
      : mCount(inCount), mFunction(inFunction) {}

  ~MultithreadedTask() override { delete mCompletionGate.load(std::memory_order_acquire); }

  void Run() {
    const int processorIndex = mParticipants.fetch_add(1, std::memory_order_relaxed);
    for (int index = mNextIndex.fetch_add(1, std::memory_order_relaxed); index < mCount;
         index = mNextIndex.fetch_add(1, std::memory_order_relaxed)) {
      // A throwing call still counts as done: otherwise the waiter would
      // wait for it for ever. The first exception is rethrown to the waiter.
      try {
        mFunction(index, processorIndex);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mErrorLock);
        if (!mError) mError = std::current_exception();
      }
      if (mCompleted.fetch_add(1, std::memory_order_acq_rel) + 1 == mCount) {
        if (Gate* gate = mCompletionGate.load(std::memory_order_seq_cst)) gate->Open();
      }
    }
  }

  void WaitForCompletion() override {
    Run();
    if (mCompleted.load(std::memory_order_seq_cst) < mCount) {
      Gate* gate = new Gate(false);
      Gate* installed = nullptr;
      if (!mCompletionGate.compare_exchange_strong(installed, gate, std::memory_order_seq_cst)) {
        delete gate;
        gate = installed;
      }
      // The runner that completes the last index may have looked for the
      // gate before it was installed.
      if (mCompleted.load(std::memory_order_seq_cst) < mCount) gate->PassThrough(-1);
    }
    std::lock_guard<std::mutex> lock(mErrorLock);
    if (mError) std::rethrow_exception(mError);
  }

private:
  std::atomic<int> mNextIndex{0};
  std::atomic<int> mParticipants{0};
  std::atomic<int> mCompleted{0};
  const int mCount;
  std::atomic<Gate*> mCompletionGate{nullptr};
  boost::function<void(int, int)> mFunction;
  std::mutex mErrorLock;
  std::exception_ptr mError;
};

}  // namespace

boost::shared_ptr<IMultithreadedTask> AsyncExecuteTaskOnAllThreadsWithProcessorIndex(
    const boost::function<void(int, int)>& inFunction, int inCount, const boost::shared_ptr<AsyncExecutor>& inExecutor) {
  if (!inFunction && inCount > 0) throw boost::bad_function_call();
  const int runners = std::min(inCount, inExecutor ? inExecutor->ThreadCount() : 1);
  if (runners < 2) {
    for (int index = 0; index < inCount; ++index) inFunction(index, 0);
    return boost::shared_ptr<IMultithreadedTask>();
  }
  const boost::shared_ptr<MultithreadedTask> task = boost::allocate_shared<MultithreadedTask>(
      utility::SmallBlockAllocator::STLAllocator<MultithreadedTask>(), inFunction, inCount);
  // A runner the executor refuses is no loss: the waiter runs whatever is
  // left itself.
  const boost::function<void()> runner = [task] { task->Run(); };
  for (int i = 1; i < runners; ++i) inExecutor->CallAsynchronously(runner, 0);
  return task;
}

boost::shared_ptr<IMultithreadedTask> AsyncExecuteTaskOnAllThreads(const boost::function<void(int)>& inFunction,
                                                                   int inCount,
                                                                   const boost::shared_ptr<AsyncExecutor>& inExecutor) {
  if (!inFunction && inCount > 0) throw boost::bad_function_call();
  return AsyncExecuteTaskOnAllThreadsWithProcessorIndex(
      [inFunction](int inIndex, int) { inFunction(inIndex); },
      inCount, inExecutor);
}

void ExecuteCPUBoundTaskOnAllProcessorsWithProcessorIndex(const boost::function<void(int, int)>& inFunction,
                                                          int inCount) {
  if (boost::shared_ptr<IMultithreadedTask> task =
          AsyncExecuteTaskOnAllThreadsWithProcessorIndex(inFunction, inCount, GetCPUBoundExecutor())) {
    task->WaitForCompletion();
  }
}

void ExecuteCPUBoundTaskOnAllProcessors(const boost::function<void(int)>& inFunction, int inCount) {
  if (boost::shared_ptr<IMultithreadedTask> task = AsyncExecuteTaskOnAllThreads(inFunction, inCount, GetCPUBoundExecutor())) {
    task->WaitForCompletion();
  }
}

}  // namespace threads
}  // namespace basalt
