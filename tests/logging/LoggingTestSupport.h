// A sink that keeps what it receives, and a UDP collector on the loopback
// interface, for the logging tests.
#ifndef BASALT_TESTS_LOGGING_LOGGINGTESTSUPPORT_H
#define BASALT_TESTS_LOGGING_LOGGINGTESTSUPPORT_H

#include <basalt/logging/StructuredLogging.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace basalt {
namespace testing {

// Generous bound for anything the logging tests wait for.
constexpr std::chrono::seconds kLoggingPatience(30);

// What a RecordingLogger received; outlives the sink, which the logging
// thread may destroy.
class Recording {
public:
  void Add(const boost::shared_ptr<logging::LogMessage>& inMessage) {
    std::lock_guard<std::mutex> lock(mMutex);
    mMessages.push_back(inMessage);
    mThreads.push_back(std::this_thread::get_id());
    mChanged.notify_all();
  }
  // False when fewer than inCount arrived within the patience.
  bool WaitFor(std::size_t inCount) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, kLoggingPatience, [&] { return mMessages.size() >= inCount; });
  }
  std::vector<boost::shared_ptr<logging::LogMessage>> Messages() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mMessages;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mThreads;
  }
  // The thread that destroyed the sink; a default id while it lives.
  std::atomic<std::thread::id> mDestroyedOn{};

private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  std::vector<boost::shared_ptr<logging::LogMessage>> mMessages;
  std::vector<std::thread::id> mThreads;
};

class RecordingLogger : public logging::IStructuredLogger {
public:
  explicit RecordingLogger(std::shared_ptr<Recording> inRecording) : mRecording(std::move(inRecording)) {}
  ~RecordingLogger() override { mRecording->mDestroyedOn.store(std::this_thread::get_id()); }
  void Log(boost::shared_ptr<logging::LogMessage> inMessage) override { mRecording->Add(inMessage); }

private:
  const std::shared_ptr<Recording> mRecording;
};

// Receives datagrams on 127.0.0.1 at a port of the system's choosing.
class UdpCollector {
public:
  // inReceiveBuffer: the socket's receive buffer in bytes (0: the default);
  // as root it may exceed the system's usual maximum. inKeep false: only
  // count what arrives.
  explicit UdpCollector(int inReceiveBuffer = 0, bool inKeep = true) : mKeep(inKeep) {
    mSocket = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (mSocket < 0) throw std::runtime_error("socket");
    if (inReceiveBuffer > 0 &&
        ::setsockopt(mSocket, SOL_SOCKET, SO_RCVBUFFORCE, &inReceiveBuffer, sizeof inReceiveBuffer) != 0) {
      ::setsockopt(mSocket, SOL_SOCKET, SO_RCVBUF, &inReceiveBuffer, sizeof inReceiveBuffer);
    }
    socklen_t length = sizeof mReceiveBuffer;
    ::getsockopt(mSocket, SOL_SOCKET, SO_RCVBUF, &mReceiveBuffer, &length);
    timeval timeout{0, 100000};  // lets the receiver notice the end
    ::setsockopt(mSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(mSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("bind");
    length = sizeof address;
    ::getsockname(mSocket, reinterpret_cast<sockaddr*>(&address), &length);
    mPort = ntohs(address.sin_port);
    mReceiver = std::thread([this] { Receive(); });
  }
  ~UdpCollector() {
    mStop = true;
    mReceiver.join();
    ::close(mSocket);
  }
  UdpCollector(const UdpCollector&) = delete;
  UdpCollector& operator=(const UdpCollector&) = delete;

  unsigned short Port() const { return mPort; }
  int ReceiveBuffer() const { return mReceiveBuffer; }

  bool WaitFor(std::size_t inCount, std::chrono::seconds inPatience = kLoggingPatience) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, inPatience, [&] { return mCount >= inCount; });
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mCount;
  }
  std::vector<std::string> Datagrams() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDatagrams;
  }

private:
  void Receive() {
    std::vector<char> buffer(70000);
    while (!mStop) {
      const ssize_t received = ::recv(mSocket, buffer.data(), buffer.size(), 0);
      if (received < 0) continue;  // timed out: look at mStop
      std::lock_guard<std::mutex> lock(mMutex);
      ++mCount;
      if (mKeep) mDatagrams.emplace_back(buffer.data(), static_cast<std::size_t>(received));
      mChanged.notify_all();
    }
  }

  const bool mKeep;
  std::size_t mCount = 0;
  int mSocket = -1;
  int mReceiveBuffer = 0;
  unsigned short mPort = 0;
  std::atomic<bool> mStop{false};
  std::thread mReceiver;
  std::mutex mMutex;
  std::condition_variable mChanged;
  std::vector<std::string> mDatagrams;
};

}  // namespace testing
}  // namespace basalt

#endif  // BASALT_TESTS_LOGGING_LOGGINGTESTSUPPORT_H
