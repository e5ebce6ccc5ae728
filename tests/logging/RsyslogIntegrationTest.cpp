// Records sent through the library to a real rsyslog daemon, checked in what
// the daemon parsed. The test starts its own daemon in the foreground, with a
// configuration of its own that listens on a loopback UDP port and writes the
// parsed fields of each message to a file in a temporary folder; the
// machine's system logging is not touched.
#include <basalt/config/ClientConfiguration.h>
#include <basalt/logging/StructuredLogging.h>
#include <basalt/utility/OSServices.h>

#include "logging/LoggingTestSupport.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace pt = boost::posix_time;
using basalt::logging::LogMessage;

const char* const kDaemonPaths[] = {"/usr/sbin/rsyslogd", "/sbin/rsyslogd"};

std::string FindDaemon() {
  for (const char* path : kDaemonPaths)
    if (::access(path, X_OK) == 0) return path;
  return std::string();
}

// A loopback UDP port nobody uses right now.
unsigned short FreeUdpPort() {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(s);
  return ntohs(address.sin_port);
}

void SendRaw(unsigned short inPort, const std::string& inDatagram) {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(inPort);
  ::sendto(s, inDatagram.data(), inDatagram.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::close(s);
}

std::string ReadFile(const std::string& inPath) {
  std::ifstream file(inPath, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> Split(const std::string& inText, char inSeparator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = inText.find(inSeparator, start);
    parts.push_back(inText.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

class RsyslogDaemon {
public:
  RsyslogDaemon(const std::string& inDaemon) {
    char folder[] = "/tmp/basalt-rsyslog-XXXXXX";
    if (::mkdtemp(folder) == nullptr) return;
    mFolder = folder;
    mPort = FreeUdpPort();
    mOutput = mFolder + "/messages.log";
    const std::string config = mFolder + "/rsyslog.conf";
    std::ofstream(config)
        << "global(workDirectory=\"" << mFolder << "\" maxMessageSize=\"64k\")\n"
        << "module(load=\"imudp\")\n"
        << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << mPort << "\" ruleset=\"collect\")\n"
        << "template(name=\"fields\" type=\"list\") {\n"
        << "  property(name=\"pri\") constant(value=\"\\t\")\n"
        << "  property(name=\"timereported\" dateFormat=\"rfc3339\") constant(value=\"\\t\")\n"
        << "  property(name=\"hostname\") constant(value=\"\\t\")\n"
        << "  property(name=\"app-name\") constant(value=\"\\t\")\n"
        << "  property(name=\"procid\") constant(value=\"\\t\")\n"
        << "  property(name=\"msgid\") constant(value=\"\\t\")\n"
        << "  property(name=\"structured-data\") constant(value=\"\\t\")\n"
        << "  property(name=\"msg\") constant(value=\"\\n\")\n"
        << "}\n"
        << "ruleset(name=\"collect\") { action(type=\"omfile\" file=\"" << mOutput << "\" template=\"fields\") }\n";
    const std::string pidFile = mFolder + "/rsyslogd.pid";
    std::vector<std::string> arguments = {inDaemon, "-n", "-f", config, "-i", pidFile};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    if (::posix_spawn(&mPid, inDaemon.c_str(), nullptr, nullptr, argv.data(), environ) != 0) mPid = -1;
  }

  ~RsyslogDaemon() {
    if (mPid > 0) {
      ::kill(mPid, SIGTERM);
      int status = 0;
      ::waitpid(mPid, &status, 0);
    }
    if (!mFolder.empty()) std::system(("rm -rf '" + mFolder + "'").c_str());
  }

  bool Started() const { return mPid > 0; }
  const std::string& OutputPath() const { return mOutput; }
  unsigned short Port() const { return mPort; }

  // The lines written so far that contain inText, waiting (bounded) for at
  // least one; inProbe, when given, is sent again every 50 ms meanwhile, for
  // the time the daemon takes to start listening.
  std::vector<std::string> WaitForLines(const std::string& inText, const std::string& inProbe = std::string()) {
    const auto deadline = std::chrono::steady_clock::now() + basalt::testing::kLoggingPatience;
    for (;;) {
      std::vector<std::string> found;
      for (const std::string& line : Split(ReadFile(mOutput), '\n'))
        if (line.find(inText) != std::string::npos) found.push_back(line);
      if (!found.empty() || std::chrono::steady_clock::now() > deadline) return found;
      if (!inProbe.empty()) SendRaw(mPort, inProbe);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

private:
  std::string mFolder;
  std::string mOutput;
  unsigned short mPort = 0;
  pid_t mPid = -1;
};

// Each test gets its own daemon, listening before the test body starts.
class RsyslogIntegration : public ::testing::Test {
protected:
  void SetUp() override {
    const std::string daemon = FindDaemon();
    if (daemon.empty()) GTEST_SKIP() << "rsyslogd is not installed (scripts/install-deps.sh installs it)";
    mDaemon.reset(new RsyslogDaemon(daemon));
    ASSERT_TRUE(mDaemon->Started());
    ASSERT_FALSE(mDaemon->WaitForLines("readiness-probe", "<14>1 - - - - - - readiness-probe").empty())
        << "the daemon did not start listening";
  }

  std::unique_ptr<RsyslogDaemon> mDaemon;
};

TEST_F(RsyslogIntegration, TheDaemonParsesEveryHeaderFieldAndTheBody) {
  RsyslogDaemon& rsyslog = *mDaemon;

  basalt::config::SetApplicationName(BSL_STR("Integration Host"));
  const basalt::utility::Guid id = basalt::utility::Guid::CreateUnique();
  const boost::shared_ptr<basalt::logging::INetworkLogger> logger = basalt::logging::CreateSyslogLogger(false, id);
  basalt::logging::SetStructuredLogger(logger);
  logger->SetServer(basalt::utility::ImmutableString::CreateDynamic("127.0.0.1"), rsyslog.Port());

  const boost::shared_ptr<LogMessage> record = LogMessage::Create();
  record->severity = 6;
  record->timestamp = pt::ptime(boost::gregorian::date(2026, 12, 7), pt::time_duration(1, 2, 3) + pt::microseconds(250000));
  record->line = 12;
  std::strcpy(record->file, "Host.cpp");
  std::strcpy(record->function, "Run");
  std::strcpy(record->message, "integration record");
  std::strcpy(record->data[0].name, "files");
  record->data[0].value = std::uint64_t(3);
  const basalt::UTF8String body = basalt::logging::GetLogMessageJSON(*record);
  basalt::logging::Log(record);

  const std::vector<std::string> lines = rsyslog.WaitForLines("integration record");
  ASSERT_EQ(lines.size(), 1u);
  const std::vector<std::string> fields = Split(lines[0], '\t');
  ASSERT_EQ(fields.size(), 8u) << lines[0];
  EXPECT_EQ(fields[0], "150");
  EXPECT_EQ(fields[1], "2026-12-07T01:02:03.250000Z");
  EXPECT_EQ(fields[2], basalt::utility::GetLocalHostName().GetText());
  EXPECT_EQ(fields[3], "IntegrationHost");
  const basalt::UTF8String idText = id.AsUTF8String();
  EXPECT_EQ(fields[4], std::string(idText.begin(), idText.end()));
  EXPECT_EQ(fields[5], "bsl-native-client");
  EXPECT_EQ(fields[6], "-");
  EXPECT_EQ(fields[7], "\xEF\xBB\xBFintegration record " + std::string(body.begin(), body.end()));
}

// A service's records that overflowed the queue before the server was set
// reach the daemon as the notice alone, at priority 139.
TEST_F(RsyslogIntegration, TheDroppedNoticeOfAService) {
  RsyslogDaemon& rsyslog = *mDaemon;

  const boost::shared_ptr<basalt::logging::INetworkLogger> logger =
      basalt::logging::CreateSyslogLogger(true, basalt::utility::Guid::CreateUnique());
  basalt::logging::SetStructuredLogger(logger);
  for (int i = 0; i < 1100; ++i) {
    const boost::shared_ptr<LogMessage> record = LogMessage::Create();
    std::strcpy(record->message, "overflowed");
    basalt::logging::Log(record);
  }
  logger->SetServer(basalt::utility::ImmutableString::CreateDynamic("127.0.0.1"), rsyslog.Port());
  const boost::shared_ptr<LogMessage> last = LogMessage::Create();
  last->severity = 3;
  std::strcpy(last->message, "after the notice");
  basalt::logging::Log(last);

  // The datagrams leave in order, and the daemon writes them in order.
  const std::vector<std::string> after = rsyslog.WaitForLines("after the notice");
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(Split(after[0], '\t')[0], "139");
  const std::vector<std::string> notices = rsyslog.WaitForLines("Dropped SYSLOG Messages");
  ASSERT_EQ(notices.size(), 1u);
  const std::vector<std::string> fields = Split(notices[0], '\t');
  ASSERT_EQ(fields.size(), 8u);
  EXPECT_EQ(fields[0], "139");
  EXPECT_EQ(fields[5], "bsl-native-service");
  EXPECT_EQ(fields[7], "\xEF\xBB\xBF" "Dropped SYSLOG Messages");
  for (const std::string& line : Split(ReadFile(rsyslog.OutputPath()), '\n'))
    EXPECT_EQ(line.find("overflowed"), std::string::npos) << line;
}

}  // namespace
