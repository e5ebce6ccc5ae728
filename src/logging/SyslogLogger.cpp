#include <basalt/logging/StructuredLogging.h>

#include "logging/SyslogInternal.h"

#include <basalt/threads/SharedThreads.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>
#include <boost/optional.hpp>
#include <boost/weak_ptr.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace basalt {
namespace logging {
namespace internal {
namespace {

std::atomic<std::uint64_t> sResolveAttempts{0};
std::atomic<std::uint64_t> sDiscardedDatagrams{0};

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr char kDroppedNotice[] = "Dropped SYSLOG Messages";
constexpr std::chrono::seconds kResolveRetry(5);

std::size_t BoundedLength(const char* inText, std::size_t inSize) noexcept {
  const void* end = std::memchr(inText, 0, inSize);
  return end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - inText) : inSize;
}

// A header field; RFC 5424 spells an absent one "-".
void AppendField(std::string& ioText, const char* inText, std::size_t inLength) {
  if (inLength == 0) ioText.push_back('-');
  else ioText.append(inText, inLength);
  ioText.push_back(' ');
}

}  // namespace

std::string SyslogHeader(const SyslogIdentity& inIdentity, unsigned int inPriority,
                         const boost::posix_time::ptime& inTime) {
  std::string text;
  text.reserve(160);
  text.push_back('<');
  text += std::to_string(inPriority);
  text += ">1 ";
  if (inTime.is_special()) {
    text += "- ";  // a record whose time was never set
  } else {
    text += boost::posix_time::to_iso_extended_string(inTime);
    text += "Z ";
  }
  AppendField(text, inIdentity.mHostName.GetText(), static_cast<std::size_t>(inIdentity.mHostName.GetLength()));
  AppendField(text, reinterpret_cast<const char*>(inIdentity.mApplicationName.data()),
              inIdentity.mApplicationName.size());
  const UTF8String id = inIdentity.mLoggerID.AsUTF8String();
  AppendField(text, reinterpret_cast<const char*>(id.data()), id.size());
  text += inIdentity.mIsService ? "bsl-native-service " : "bsl-native-client ";
  text += "- ";
  text += kByteOrderMark;
  return text;
}

std::string SyslogDroppedNotice(const SyslogIdentity& inIdentity, const boost::posix_time::ptime& inNow) {
  return SyslogHeader(inIdentity, inIdentity.mIsService ? 139 : 147, inNow) + kDroppedNotice;
}

std::string SyslogDatagram(const SyslogIdentity& inIdentity, const LogMessage& inMessage) {
  const unsigned int priority = inMessage.severity + (inIdentity.mIsService ? 136 : 144);
  std::string text = SyslogHeader(inIdentity, priority, inMessage.timestamp);
  text.append(inMessage.message, BoundedLength(inMessage.message, sizeof inMessage.message));
  text.push_back(' ');
  const std::size_t bodyStart = text.size();
  UTF8String body = GetLogMessageJSON(inMessage, true);
  if (bodyStart + body.size() > kMaxSyslogDatagramBytes) body = GetLogMessageJSON(inMessage, false);
  if (bodyStart + body.size() > kMaxSyslogDatagramBytes) {
    return SyslogDroppedNotice(inIdentity, boost::posix_time::microsec_clock::universal_time());
  }
  text.append(reinterpret_cast<const char*>(body.data()), body.size());
  return text;
}

std::uint64_t SyslogResolveAttempts() noexcept { return sResolveAttempts.load(); }
std::uint64_t SyslogDiscardedDatagrams() noexcept { return sDiscardedDatagrams.load(); }

namespace {

// What the "SYSLOG" thread works with; only that thread touches it.
class SocketState {
public:
  void SetServer(const utility::ImmutableString& inHost, unsigned short inPort) {
    mHost = inHost;
    mPort = inPort;
    mEndpoint.reset();
    Resolve();
  }

  void Send(const std::string& inDatagram) {
    if (!mEndpoint && !mHost.IsEmpty() && std::chrono::steady_clock::now() - mLastAttempt >= kResolveRetry) Resolve();
    if (!mEndpoint) {
      sDiscardedDatagrams.fetch_add(1);
      return;
    }
    boost::system::error_code error;
    mSocket.send_to(boost::asio::buffer(inDatagram), *mEndpoint, 0, error);
    if (error) sDiscardedDatagrams.fetch_add(1);
  }

private:
  void Resolve() {
    using boost::asio::ip::udp;
    mLastAttempt = std::chrono::steady_clock::now();
    if (mHost.IsEmpty()) return;
    sResolveAttempts.fetch_add(1);
    boost::system::error_code error;
    udp::resolver resolver(mIO);
    const udp::resolver::results_type results =
        resolver.resolve(udp::v4(), mHost.GetText(), std::to_string(mPort), udp::resolver::numeric_service, error);
    boost::optional<udp::endpoint> chosen;
    if (!error && !results.empty()) chosen = results.begin()->endpoint();
    if (!chosen) {
      // No IPv4 address: take whatever the name has.
      error.clear();
      const udp::resolver::results_type any =
          resolver.resolve(mHost.GetText(), std::to_string(mPort), udp::resolver::numeric_service, error);
      if (error || any.empty()) return;
      chosen = any.begin()->endpoint();
    }
    if (mSocket.is_open() && mSocket.local_endpoint(error).protocol() != chosen->protocol()) mSocket.close(error);
    if (!mSocket.is_open()) {
      mSocket.open(chosen->protocol(), error);
      if (error) return;
    }
    mEndpoint = chosen;
  }

  boost::asio::io_context mIO;
  boost::asio::ip::udp::socket mSocket{mIO};
  boost::optional<boost::asio::ip::udp::endpoint> mEndpoint;
  utility::ImmutableString mHost;
  unsigned short mPort = 0;
  std::chrono::steady_clock::time_point mLastAttempt;
};

// The connection: its own thread, on which resolving and sending run in the
// order they were asked for.
class SyslogConnection {
public:
  SyslogConnection()
      : mExecutor(threads::CreateAsyncThreadedExecutor("SYSLOG", 1, threads::kThreadPriority_Normal)),
        mState(boost::make_shared<SocketState>()) {}

  // Datagrams already handed over are still sent; the thread has ended when
  // this returns.
  ~SyslogConnection() {
    mExecutor->Terminate();
    mExecutor->Flush();
  }

  SyslogConnection(const SyslogConnection&) = delete;
  SyslogConnection& operator=(const SyslogConnection&) = delete;

  // Logging thread.
  void ChangeServer(const utility::ImmutableString& inHost, unsigned short inPort) {
    if (mConfigured && inHost.Compare(mHost) == 0 && inPort == mPort) return;
    mConfigured = true;
    mHost = inHost;
    mPort = inPort;
    const boost::shared_ptr<SocketState> state = mState;
    mExecutor->CallAsynchronously([state, inHost, inPort] { state->SetServer(inHost, inPort); }, 0);
  }

  // Logging thread.
  void Send(std::string inDatagram) {
    const boost::shared_ptr<SocketState> state = mState;
    const boost::shared_ptr<const std::string> datagram = boost::make_shared<const std::string>(std::move(inDatagram));
    mExecutor->CallAsynchronously([state, datagram] { state->Send(*datagram); }, 0);
  }

private:
  const boost::shared_ptr<threads::AsyncThreadedExecutor> mExecutor;
  const boost::shared_ptr<SocketState> mState;
  bool mConfigured = false;
  utility::ImmutableString mHost;
  unsigned short mPort = 0;
};

class SyslogLogger final : public NetworkLoggerBase, public boost::enable_shared_from_this<SyslogLogger> {
public:
  SyslogLogger(bool inIsService, const utility::Guid& inLoggerID)
      : NetworkLoggerBase(inIsService, inLoggerID),
        mIdentity{mLocalHostName, mApplicationName, mLoggerID, mIsService} {}

  void Log(boost::shared_ptr<LogMessage> inMessage) override {
    if (!inMessage) return;
    if (mConnection) {
      mConnection->Send(SyslogDatagram(mIdentity, *inMessage));
    } else {
      QueueMessage(std::move(inMessage));
    }
  }

  // The change is made on the logging thread, in line with the records:
  // those logged before it are queued and sent by the flush, those after it
  // are sent directly, so the collector receives them in logging order.
  void SetServer(const utility::ImmutableString& inHost, unsigned short inPort) override {
    const boost::weak_ptr<SyslogLogger> self = shared_from_this();
    GetLoggingExecutor()->CallAsynchronously(
        [self, inHost, inPort] {
          if (const boost::shared_ptr<SyslogLogger> logger = self.lock()) logger->ApplyServer(inHost, inPort);
        },
        0);
  }

  void PrintStatistics() override {}

private:
  void ApplyServer(const utility::ImmutableString& inHost, unsigned short inPort) {
    if (!mConnection) mConnection.reset(new SyslogConnection);
    mConnection->ChangeServer(inHost, inPort);
    mServerHost = inHost;
    mServerPort = inPort;
    std::vector<boost::shared_ptr<LogMessage>> pending;
    std::uint64_t dropped = 0;
    TakePending(pending, dropped);
    if (dropped != 0) {
      mConnection->Send(SyslogDroppedNotice(mIdentity, boost::posix_time::microsec_clock::universal_time()));
    }
    for (const boost::shared_ptr<LogMessage>& message : pending) mConnection->Send(SyslogDatagram(mIdentity, *message));
  }

  const SyslogIdentity mIdentity;
  std::unique_ptr<SyslogConnection> mConnection;
};

}  // namespace
}  // namespace internal

boost::shared_ptr<INetworkLogger> CreateSyslogLogger(bool inIsService, const utility::Guid& inLoggerID) {
  return boost::make_shared<internal::SyslogLogger>(inIsService, inLoggerID);
}

}  // namespace logging
}  // namespace basalt
