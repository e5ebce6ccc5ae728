// Structured logging: fixed-size records handed to one pluggable sink.
//
// A producer checks LoggingIsEnabled, fills a LogMessage (LogMessage::Create
// gives a zero-filled one) and passes it to Log. The record travels by shared
// pointer to the single "Structured Logging" thread, where its stack frame
// addresses are resolved to names and the current IStructuredLogger receives
// it. SetStructuredLogger installs or swaps the sink; an empty pointer shuts
// structured logging down for good.
//
// Threads: Log, LoggingIsEnabled, SetStructuredLogger and GetLoggingExecutor
// may be called from any thread. Every call into a sink happens on the
// logging thread, in posting order, so a sink needs no lock for state that
// only that thread touches. A record must not be changed once it is logged.
//
// Network sinks derive from NetworkLoggerBase: while they have no server,
// records wait in a queue of at most kMaxPendingMessages; past that the whole
// queue is discarded and the records are counted as dropped instead, and the
// collector receives a notice when a server is set.
#ifndef BASALT_LOGGING_STRUCTUREDLOGGING_H
#define BASALT_LOGGING_STRUCTUREDLOGGING_H

#include <basalt/threads/AsyncExecutor.h>
#include <basalt/utility/Export.h>
#include <basalt/utility/Guid.h>
#include <basalt/utility/ImmutableString.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/UnicodeString.h>

#include <boost/any.hpp>
#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace basalt {
namespace logging {

// One record. Text fields are NUL-terminated within their arrays; a field
// filled to the last byte is read up to its size, never past it.
struct BSL_EXPORT LogMessage : utility::SmallBlockAllocator::Allocated<LogMessage> {
  static constexpr std::size_t kMaxStackFrames = 10;
  static constexpr std::size_t kMaxDataEntries = 16;

  struct DataEntry {
    char name[32] = {};  // an empty name ends the list
    boost::any value;    // one of the JSON value types
  };

  // A zero-filled record from the library's allocator.
  static boost::shared_ptr<LogMessage> Create();

  // Context part.
  std::uint32_t severity = 0;  // syslog severity: 0 emergency .. 7 debug
  // Return addresses, innermost first; a null address ends the list.
  void* stackFrameAddresses[kMaxStackFrames] = {};
  std::int32_t line = 0;
  char file[256] = {};
  char function[512] = {};
  char traceCategory[64] = {};
  boost::posix_time::ptime timestamp;  // UTC; not-a-date-time until set
  std::uint32_t threadID = 0;
  // Filled on the logging thread from stackFrameAddresses.
  char stackFrames[kMaxStackFrames][512] = {};
  std::uint32_t stackLineNumbers[kMaxStackFrames] = {};
  // Data part.
  DataEntry data[kMaxDataEntries];
  char message[128] = {};
};

class BSL_EXPORT IStructuredLogger {
public:
  // Called on the logging thread only.
  virtual void Log(boost::shared_ptr<LogMessage> inMessage) = 0;
  virtual ~IStructuredLogger();
};

class BSL_EXPORT INetworkLogger : public IStructuredLogger {
public:
  // Sends to this collector from now on. Any thread.
  virtual void SetServer(const utility::ImmutableString& inHost, unsigned short inPort) = 0;
  // Writes the sink's configuration and statistics to the trace output,
  // where it keeps any; a sink without statistics does nothing.
  virtual void PrintStatistics() = 0;
};

// The part every network sink shares: identity fields, the queue kept while
// there is no server, and the JSON form of a record.
class BSL_EXPORT NetworkLoggerBase : public INetworkLogger {
public:
  static constexpr std::size_t kMaxPendingMessages = 1024;

  // Logging thread. While a count of dropped records is pending, the record is
  // counted too; otherwise it joins the queue, and once the queue holds
  // kMaxPendingMessages records they are all discarded and counted.
  virtual void QueueMessage(boost::shared_ptr<LogMessage> inMessage);

  // Logging thread. What the queue holds and how many were dropped.
  std::size_t PendingCount() const noexcept { return mPending.size(); }
  std::uint64_t DroppedCount() const noexcept { return mDropped; }

  const utility::Guid& LoggerID() const noexcept { return mLoggerID; }
  // The application name with every white-space character removed.
  const UTF8String& ApplicationName() const noexcept { return mApplicationName; }
  const utility::ImmutableString& LocalHostName() const noexcept { return mLocalHostName; }
  bool IsService() const noexcept { return mIsService; }

protected:
  NetworkLoggerBase(bool inIsService, const utility::Guid& inLoggerID);

  // Logging thread. Hands the queued records and the dropped count to the
  // caller and clears both.
  void TakePending(std::vector<boost::shared_ptr<LogMessage>>& outPending, std::uint64_t& outDropped);

  std::vector<boost::shared_ptr<LogMessage>> mPending;
  std::uint64_t mDropped = 0;
  const utility::Guid mLoggerID;
  const UTF8String mApplicationName;
  const utility::ImmutableString mLocalHostName;
  utility::ImmutableString mServerHost;
  unsigned short mServerPort = 0;
  const bool mIsService;
};

// The record as one JSON object {"context": {...}, "data": {...}}, written
// compactly with members in byte order of their names. "context" holds
// "line", "file", "function", "traceCategory", "threadID", "processID" (of
// this process, now), "clientVersion", "clientBuildNumber", "clientName",
// "applicationName" and "clientPlatform", plus "stackFrames" and
// "stackLineNumbers" for the leading frames with a name (both left out when
// the first has none). "data" holds one member per entry before the first
// with an empty name; a later entry of the same name replaces an earlier one.
// inWithStackFrames false leaves the frames out in any case.
BSL_EXPORT UTF8String GetLogMessageJSON(const LogMessage& inMessage, bool inWithStackFrames = true);

// Queues inMessage for the current sink; a null pointer is ignored. Without a
// sink, or after shutdown, the record is dropped.
BSL_EXPORT void Log(boost::shared_ptr<LogMessage> inMessage);

// Whether a sink is installed; producers test it before building a record.
BSL_EXPORT bool LoggingIsEnabled() noexcept;

// Installs inLogger; records logged after this call go to it, those logged
// before still go to the sink they were meant for. An empty pointer removes
// the sink and ends structured logging: when the call returns, every record
// logged before it has been handled, the logging thread has ended and
// LoggingIsEnabled is false. A sink installed after that never receives
// anything.
BSL_EXPORT void SetStructuredLogger(const boost::shared_ptr<IStructuredLogger>& inLogger);

// The single-thread executor "Structured Logging", created on first use.
// Network sinks run their own work on it.
BSL_EXPORT boost::shared_ptr<threads::AsyncExecutor> GetLoggingExecutor();

// A sink that sends every record as one RFC 5424 syslog datagram over UDP to
// the server set with SetServer, the JSON form of the record as its body.
// inIsService: the process is a background service (facility 17, message id
// "bsl-native-service") rather than a client application (facility 18,
// "bsl-native-client"). inLoggerID is sent as the process id field.
//
// Resolving and sending run on the sink's own "SYSLOG" thread, so the caller
// and the logging thread never wait for the network. The host name is
// resolved on that thread before the datagrams queued behind it are sent; an
// IPv4 address is preferred when the name has several. While the name does
// not resolve, datagrams are discarded, and resolving is tried again at most
// once every 5 seconds. A datagram larger than kMaxSyslogDatagramBytes is
// built again without the stack frame names; if it is still too large, the
// dropped-records notice is sent in its place. Send errors are not reported.
constexpr std::size_t kMaxSyslogDatagramBytes = 65507;  // UDP over IPv4
BSL_EXPORT boost::shared_ptr<INetworkLogger> CreateSyslogLogger(bool inIsService, const utility::Guid& inLoggerID);

}  // namespace logging
}  // namespace basalt

#endif  // BASALT_LOGGING_STRUCTUREDLOGGING_H
