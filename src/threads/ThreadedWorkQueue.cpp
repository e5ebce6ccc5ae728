#include "threads/ThreadedWorkQueueInternal.h"

#include "config/DebuggerInternal.h"
#include "threads/ContinuationInternal.h"
#include "threads/ThreadSafeDelayQueueInternal.h"

#include <basalt/threads/SharedThreads.h>
#include <basalt/utility/SystemInformation.h>

#include <boost/make_shared.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>
#include <thread>
#include <typeinfo>
#include <utility>

#include <cxxabi.h>

namespace basalt {
namespace threads {
namespace internal {
namespace {

std::string TypeName(const std::type_info& inType) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(inType.name(), nullptr, nullptr, &status),
                                                    std::free);
  std::string name = status == 0 && demangled ? std::string(demangled.get()) : std::string(inType.name());
  // boost::throw_exception wraps what it throws; name what the code threw.
  static const std::string kWrapper = "boost::wrapexcept<";
  if (name.compare(0, kWrapper.size(), kWrapper) == 0 && name.back() == '>') {
    name = name.substr(kWrapper.size(), name.size() - kWrapper.size() - 1);
  }
  return name;
}

void RunFunction(WorkRecord& inRecord) {
  static bool sIgnoreStdException = false;
  static bool sIgnoreUnknownException = false;
  try {
    inRecord.mFunction();
  } catch (const std::exception& inException) {
    config::internal::ReportFailedAssertion("false", "WorkerMain", "ThreadedWorkQueue", __LINE__,
                                            "WorkerMain(): caught std exception of type \"" +
                                                TypeName(typeid(inException)) + "\", what() returned \"" +
                                                inException.what() + "\". Continuing.",
                                            sIgnoreStdException);
  } catch (...) {
    config::internal::ReportFailedAssertion("false", "WorkerMain", "ThreadedWorkQueue", __LINE__,
                                            "WorkerMain(): caught unknown exception. Continuing.",
                                            sIgnoreUnknownException);
  }
}

// The workers share the queue and the gate with the executor object, so they
// may outlive it and finish the queue on their own.
void WorkerMain(const boost::shared_ptr<ThreadSafeDelayQueue>& inCore, const boost::shared_ptr<Gate>& inPauseGate) {
  for (;;) {
    WorkRecord* record = inCore->Take();
    if (record->mKind == WorkRecord::kKind_EndWorker) {
      delete record;
      return;
    }
    inPauseGate->PassThrough(-1);
    RunFunction(*record);
    delete record;
  }
}

}  // namespace

std::string ThreadedWorkQueue::WorkerName(const std::string& inName, int inCount, int inIndex) {
  if (inCount == 1) return inName;
  char number[16];
  std::snprintf(number, sizeof number, " %02d", inIndex + 1);
  return inName + number;
}

ThreadedWorkQueue::ThreadedWorkQueue(const std::string& inName, int inThreadCount, ThreadPriority inPriority,
                                     const boost::function<void()>& inOnThreadStart,
                                     const boost::function<void()>& inOnThreadEnd,
                                     const boost::thread_attributes& inAttributes)
    : mThreadCount(inThreadCount),
      mCore(boost::make_shared<ThreadSafeDelayQueue>(inThreadCount)),
      mPauseGate(boost::make_shared<Gate>(false)) {
  const std::size_t count = static_cast<std::size_t>(inThreadCount);
  mThreads.reserve(count);
  mThreadIds.reserve(count);
  mEndRecords.reserve(count);
  try {
    for (std::size_t i = 0; i < count; ++i) {
      mEndRecords.push_back(new WorkRecord(boost::function<void()>(), WorkRecord::kKind_EndWorker));
    }
    for (int i = 0; i < inThreadCount; ++i) {
      boost::thread thread = CreateNamedThread(
          WorkerName(inName, inThreadCount, i),
          [core = mCore, gate = mPauseGate] { WorkerMain(core, gate); }, inPriority, inOnThreadStart,
          inOnThreadEnd, inAttributes);
      mThreadIds.push_back(thread.get_id());
      mThreads.push_back(std::move(thread));
    }
  } catch (...) {
    EndWorkers();
    for (boost::thread& thread : mThreads) thread.join();
    for (WorkRecord* record : mEndRecords) delete record;
    throw;
  }
  // Nothing runs before the executor is complete.
  mPauseGate->Open();
}

ThreadedWorkQueue::~ThreadedWorkQueue() {
  Terminate();
  for (boost::thread& thread : mThreads) {
    if (thread.joinable()) thread.detach();
  }
}

bool ThreadedWorkQueue::Enter() noexcept {
  if ((mUsers.fetch_add(2, std::memory_order_acquire) & 1) == 0) return true;
  mUsers.fetch_sub(2, std::memory_order_release);
  return false;
}

void ThreadedWorkQueue::Leave() noexcept { mUsers.fetch_sub(2, std::memory_order_release); }

bool ThreadedWorkQueue::CallAsynchronously(const boost::function<void()>& inFunction, unsigned int inDelayMs) {
  if (IsTerminated()) return false;
  auto* record = new WorkRecord(inFunction);
  if (!Enter()) {
    delete record;
    return false;
  }
  // A single worker posting a delayed function to itself reads the heap when
  // it comes back; waking it would only cost a round trip.
  const bool wake = !(inDelayMs > 0 && mThreadCount == 1 && IsCurrentThreadExecutorThread());
  const bool continuation = inDelayMs == 0 && TakeContinuationMark(this);
  try {
    mCore->Post(record, inDelayMs, wake, continuation);
  } catch (...) {
    Leave();
    delete record;
    throw;
  }
  Leave();
  return true;
}

int ThreadedWorkQueue::ThreadCount() const { return mThreadCount; }

// The first caller ends the workers behind everything queued so far.
void ThreadedWorkQueue::Terminate() {
  if ((mUsers.fetch_or(1, std::memory_order_acq_rel) & 1) != 0) return;
  while ((mUsers.load(std::memory_order_acquire) >> 1) != 0) std::this_thread::yield();
  mCore->DiscardDelayed();
  EndWorkers();
}

void ThreadedWorkQueue::EndWorkers() noexcept {
  for (std::size_t i = 0; i < mThreads.size(); ++i) mCore->Post(mEndRecords[i], 0, false);
  mEndRecords.erase(mEndRecords.begin(), mEndRecords.begin() + static_cast<std::ptrdiff_t>(mThreads.size()));
  // Paused workers must reach their end records.
  mPauseGate->Open();
}

bool ThreadedWorkQueue::IsTerminated() { return (mUsers.load(std::memory_order_acquire) & 1) != 0; }

bool ThreadedWorkQueue::IsCurrentThreadExecutorThread() {
  return std::find(mThreadIds.begin(), mThreadIds.end(), boost::this_thread::get_id()) != mThreadIds.end();
}

void ThreadedWorkQueue::Flush() {
  if (IsCurrentThreadExecutorThread()) return;
  std::lock_guard<std::mutex> lock(mFlushLock);
  if (mJoined) return;
  if (Enter()) {
    // Every worker has to finish what it runs and what was queued before
    // it meets one of these, so all earlier work is done when the barrier
    // opens. All records are made before any is posted: a partial set would
    // hold the workers in the barrier for good.
    SyncPoint point(static_cast<unsigned int>(mThreadCount) + 1);
    std::vector<std::unique_ptr<WorkRecord>> barrier;
    try {
      barrier.reserve(static_cast<std::size_t>(mThreadCount));
      for (int i = 0; i < mThreadCount; ++i) {
        barrier.emplace_back(new WorkRecord([point]() mutable { point.Wait(); }));
      }
    } catch (...) {
      Leave();
      throw;
    }
    for (std::unique_ptr<WorkRecord>& record : barrier) mCore->Post(record.release(), 0, false);
    Leave();
    point.Wait();
    return;
  }
  for (boost::thread& thread : mThreads) {
    if (thread.joinable()) thread.join();
  }
  mJoined = true;
}

void ThreadedWorkQueue::Pause() {
  if (!Enter()) return;
  mPaused.store(true);
  mPauseGate->Close();
  Leave();
}

void ThreadedWorkQueue::Resume() {
  if (!Enter()) return;
  mPaused.store(false);
  mPauseGate->Open();
  Leave();
}

bool ThreadedWorkQueue::MayContinueOnThisThread() noexcept {
  return !mPaused.load() && !IsTerminated() && mCore->IdleForContinuation();
}

void ThreadedWorkQueue::WaitIfPaused() {
  if (!IsTerminated()) mPauseGate->PassThrough(-1);
}

}  // namespace internal

boost::shared_ptr<AsyncThreadedExecutor> CreateAsyncThreadedExecutor(const std::string& inName, int inThreadCount,
                                                                     ThreadPriority inPriority,
                                                                     const boost::function<void()>& inOnThreadStart,
                                                                     const boost::function<void()>& inOnThreadEnd,
                                                                     const boost::thread_attributes& inAttributes) {
  long long count = inThreadCount;
  if (count < 0) count = -count * static_cast<long long>(utility::CPUCount());
  // A queue without threads would accept work and never run it.
  if (count == 0) count = 1;
  if (count > 0x7FFFFFFF) throw std::length_error("CreateAsyncThreadedExecutor: thread count too large");
  return boost::make_shared<internal::ThreadedWorkQueue>(inName, static_cast<int>(count), inPriority, inOnThreadStart,
                                                         inOnThreadEnd, inAttributes);
}

}  // namespace threads
}  // namespace basalt
