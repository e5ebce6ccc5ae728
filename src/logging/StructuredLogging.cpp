#include <basalt/logging/StructuredLogging.h>

#include "logging/StackFramesInternal.h"

#include <basalt/config/ClientConfiguration.h>
#include <basalt/serialization/JSON.h>
#include <basalt/threads/SharedThreads.h>
#include <basalt/threads/ThreadIdentity.h>
#include <basalt/utility/OSServices.h>

#include <boost/make_shared.hpp>

#include <atomic>
#include <cstring>
#include <utility>

namespace basalt {
namespace logging {
namespace {

using serialization::JSONArray;
using serialization::JSONObject;
using serialization::JSONValuePtr;

// Read by every producer before it builds a record: constant-initialised, so
// asking never starts the logging thread.
std::atomic<std::uint32_t> sEnabled{0};

void SetEnabled(std::uint32_t inValue) noexcept {
  std::uint32_t current = sEnabled.load(std::memory_order_relaxed);
  while (!sEnabled.compare_exchange_weak(current, inValue, std::memory_order_seq_cst)) {
  }
}

// Lives until the process ends; never destroyed, so that a record logged from
// a static destructor finds the executor still there.
struct LoggingState {
  LoggingState()
      : mExecutor(threads::CreateAsyncThreadedExecutor("Structured Logging", 1, threads::kThreadPriority_Normal)) {}

  const boost::shared_ptr<threads::AsyncThreadedExecutor> mExecutor;
  boost::shared_ptr<IStructuredLogger> mLogger;  // logging thread only
};

LoggingState& State() {
  static LoggingState* const sState = new LoggingState;
  return *sState;
}

std::size_t BoundedLength(const char* inText, std::size_t inSize) noexcept {
  const void* end = std::memchr(inText, 0, inSize);
  return end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - inText) : inSize;
}

template <std::size_t N>
UTF8String FieldText(const char (&inField)[N]) {
  return UTF8String(reinterpret_cast<const unsigned char*>(inField), BoundedLength(inField, N));
}

template <class T>
JSONValuePtr Value(T&& inValue) {
  return boost::allocate_shared<boost::any>(utility::SmallBlockAllocator::STLAllocator<boost::any>(),
                                            std::forward<T>(inValue));
}

void Put(JSONObject& ioObject, const char* inName, JSONValuePtr inValue) {
  ioObject.insert_or_assign(UTF8String(reinterpret_cast<const unsigned char*>(inName)), std::move(inValue));
}

bool IsWhiteSpace(UTF16Char inUnit) noexcept {
  switch (inUnit) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return inUnit >= 0x2000 && inUnit <= 0x200A;
  }
}

UTF8String WithoutWhiteSpace(const UTF16String& inText) {
  UTF16String kept;
  kept.reserve(inText.size());
  for (const UTF16Char unit : inText)
    if (!IsWhiteSpace(unit)) kept.push_back(unit);
  return utility::UTF16to8(kept);
}

// Fills the names of the leading frames; the first that does not resolve
// ends the list with an empty name.
void ResolveFrames(LogMessage& ioMessage) noexcept {
  for (std::size_t i = 0; i < LogMessage::kMaxStackFrames && ioMessage.stackFrameAddresses[i] != nullptr; ++i) {
    unsigned int line = 0;
    if (!internal::ResolveStackFrame(ioMessage.stackFrameAddresses[i], ioMessage.stackFrames[i],
                                     sizeof ioMessage.stackFrames[i], line)) {
      ioMessage.stackFrames[i][0] = 0;
      return;
    }
    ioMessage.stackLineNumbers[i] = line;
  }
}

// The task Log posts: runs on the logging thread.
struct Deliver {
  boost::shared_ptr<LogMessage> mMessage;

  void operator()() const {
    // A sink may install another from inside its Log; hold this one.
    const boost::shared_ptr<IStructuredLogger> logger = State().mLogger;
    if (!logger) return;
    ResolveFrames(*mMessage);
    logger->Log(mMessage);
  }
};

// The task SetStructuredLogger posts: the old sink is let go on the logging
// thread, after the records meant for it.
struct Swap {
  boost::shared_ptr<IStructuredLogger> mLogger;

  void operator()() const {
    boost::shared_ptr<IStructuredLogger> previous = mLogger;
    previous.swap(State().mLogger);
  }
};

}  // namespace

boost::shared_ptr<LogMessage> LogMessage::Create() {
  return boost::allocate_shared<LogMessage>(utility::SmallBlockAllocator::STLAllocator<LogMessage>());
}

IStructuredLogger::~IStructuredLogger() = default;

// ---------------------------------------------------------------------------
// NetworkLoggerBase
// ---------------------------------------------------------------------------
NetworkLoggerBase::NetworkLoggerBase(bool inIsService, const utility::Guid& inLoggerID)
    : mLoggerID(inLoggerID),
      mApplicationName(WithoutWhiteSpace(config::GetApplicationName())),
      mLocalHostName(utility::GetLocalHostName()),
      mIsService(inIsService) {}

void NetworkLoggerBase::QueueMessage(boost::shared_ptr<LogMessage> inMessage) {
  if (mDropped != 0) {
    ++mDropped;
    return;
  }
  mPending.push_back(std::move(inMessage));
  if (mPending.size() >= kMaxPendingMessages) {
    mDropped = mPending.size();
    std::vector<boost::shared_ptr<LogMessage>>().swap(mPending);
  }
}

void NetworkLoggerBase::TakePending(std::vector<boost::shared_ptr<LogMessage>>& outPending,
                                    std::uint64_t& outDropped) {
  outPending.clear();
  outPending.swap(mPending);
  outDropped = mDropped;
  mDropped = 0;
}

// ---------------------------------------------------------------------------
// The JSON form
// ---------------------------------------------------------------------------
UTF8String GetLogMessageJSON(const LogMessage& inMessage, bool inWithStackFrames) {
  boost::any context = JSONObject();
  JSONObject& c = boost::any_cast<JSONObject&>(context);
  Put(c, "line", Value(static_cast<std::int64_t>(inMessage.line)));
  Put(c, "file", Value(FieldText(inMessage.file)));
  Put(c, "function", Value(FieldText(inMessage.function)));
  Put(c, "traceCategory", Value(FieldText(inMessage.traceCategory)));
  Put(c, "threadID", Value(static_cast<std::uint64_t>(inMessage.threadID)));
  Put(c, "processID", Value(static_cast<std::uint64_t>(threads::GetCurrentProcessID())));
  Put(c, "clientVersion", Value(utility::UTF16to8(config::GetClientVersion())));
  Put(c, "clientBuildNumber", Value(utility::UTF16to8(config::GetClientBuildNumber())));
  Put(c, "clientName", Value(utility::UTF16to8(config::GetClientName())));
  Put(c, "applicationName", Value(utility::UTF16to8(config::GetApplicationName())));
  Put(c, "clientPlatform", Value(utility::UTF16to8(config::GetClientPlatform())));
  std::size_t frames = 0;
  if (inWithStackFrames) {
    while (frames < LogMessage::kMaxStackFrames && inMessage.stackFrames[frames][0] != 0) ++frames;
  }
  if (frames != 0) {
    JSONArray names;
    JSONArray lines;
    names.reserve(frames);
    lines.reserve(frames);
    for (std::size_t i = 0; i < frames; ++i) {
      names.push_back(Value(FieldText(inMessage.stackFrames[i])));
      lines.push_back(Value(static_cast<std::uint64_t>(inMessage.stackLineNumbers[i])));
    }
    Put(c, "stackFrames", Value(std::move(names)));
    Put(c, "stackLineNumbers", Value(std::move(lines)));
  }

  boost::any data = JSONObject();
  JSONObject& d = boost::any_cast<JSONObject&>(data);
  for (const LogMessage::DataEntry& entry : inMessage.data) {
    if (entry.name[0] == 0) break;
    d.insert_or_assign(FieldText(entry.name), Value(entry.value));
  }

  boost::any record = JSONObject();
  JSONObject& r = boost::any_cast<JSONObject&>(record);
  Put(r, "context", Value(std::move(context)));
  Put(r, "data", Value(std::move(data)));
  return serialization::GetJSONUTF8String(record);
}

// ---------------------------------------------------------------------------
// Front end
// ---------------------------------------------------------------------------
void Log(boost::shared_ptr<LogMessage> inMessage) {
  if (!inMessage) return;
  State().mExecutor->CallAsynchronously(Deliver{std::move(inMessage)}, 0);
}

bool LoggingIsEnabled() noexcept { return sEnabled.load(std::memory_order_seq_cst) != 0; }

void SetStructuredLogger(const boost::shared_ptr<IStructuredLogger>& inLogger) {
  LoggingState& state = State();
  if (inLogger) SetEnabled(1);
  if (!state.mExecutor->CallAsynchronously(Swap{inLogger}, 0) && inLogger) {
    // Logging has been shut down: the sink will never receive anything, so
    // producers should not build records for it.
    SetEnabled(0);
    return;
  }
  if (!inLogger) {
    // Everything queued so far runs, the old sink is let go on the logging
    // thread, and the thread ends; later records are refused.
    state.mExecutor->Terminate();
    state.mExecutor->Flush();
    SetEnabled(0);
  }
}

boost::shared_ptr<threads::AsyncExecutor> GetLoggingExecutor() { return State().mExecutor; }

}  // namespace logging
}  // namespace basalt
