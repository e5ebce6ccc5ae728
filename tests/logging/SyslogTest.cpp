#include <basalt/logging/StructuredLogging.h>

#include "logging/LoggingTestSupport.h"
#include "logging/SyslogInternal.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using basalt::logging::GetLogMessageJSON;
using basalt::logging::LogMessage;
using basalt::logging::internal::SyslogDatagram;
using basalt::logging::internal::SyslogDroppedNotice;
using basalt::logging::internal::SyslogHeader;
using basalt::logging::internal::SyslogIdentity;
using basalt::testing::UdpCollector;
using basalt::utility::ImmutableString;
using MessagePtr = boost::shared_ptr<LogMessage>;
namespace pt = boost::posix_time;

const basalt::utility::Guid kID(0x01234567, 0x89ab, 0xcdef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef);
const std::string kIDText = "01234567-89ab-cdef-0123-456789abcdef";
const std::string kBOM = "\xEF\xBB\xBF";

basalt::UTF8String U8(const char* inText) { return basalt::UTF8String(reinterpret_cast<const unsigned char*>(inText)); }
std::string Text(const basalt::UTF8String& inText) { return std::string(inText.begin(), inText.end()); }

SyslogIdentity Identity(bool inService, const char* inHost = "host1", const char* inApplication = "MyApp") {
  return SyslogIdentity{ImmutableString::CreateDynamic(inHost), U8(inApplication), kID, inService};
}

MessagePtr Record(unsigned int inSeverity, const char* inText) {
  MessagePtr message = LogMessage::Create();
  message->severity = inSeverity;
  message->timestamp = pt::ptime(boost::gregorian::date(2026, 12, 7), pt::time_duration(1, 2, 3) + pt::microseconds(250000));
  std::snprintf(message->message, sizeof message->message, "%s", inText);
  return message;
}

bool StartsWith(const std::string& inText, const std::string& inPrefix) {
  return inText.compare(0, inPrefix.size(), inPrefix) == 0;
}

bool EndsWith(const std::string& inText, const std::string& inSuffix) {
  return inText.size() >= inSuffix.size() && inText.compare(inText.size() - inSuffix.size(), inSuffix.size(), inSuffix) == 0;
}

// The text between the byte order mark and the space before the JSON body.
std::string MessageOf(const std::string& inDatagram) {
  const std::size_t bom = inDatagram.find(kBOM);
  if (bom == std::string::npos) return std::string();
  const std::size_t start = bom + kBOM.size();
  const std::size_t end = inDatagram.find(' ', start);
  return inDatagram.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST(SyslogDatagram, ByteForByte) {
  const MessagePtr record = Record(6, "hello");
  const std::string body = Text(GetLogMessageJSON(*record));
  const std::string tail = " host1 MyApp " + kIDText;
  EXPECT_EQ(SyslogDatagram(Identity(false), *record),
            "<150>1 2026-12-07T01:02:03.250000Z" + tail + " bsl-native-client - " + kBOM + "hello " + body);
  EXPECT_EQ(SyslogDatagram(Identity(true), *record),
            "<142>1 2026-12-07T01:02:03.250000Z" + tail + " bsl-native-service - " + kBOM + "hello " + body);

  struct Case {
    unsigned int mSeverity;
    bool mService;
    const char* mPrefix;
  };
  for (const Case& c : {Case{0, false, "<144>1 "}, Case{7, false, "<151>1 "}, Case{0, true, "<136>1 "},
                        Case{3, true, "<139>1 "}}) {
    SCOPED_TRACE(c.mPrefix);
    EXPECT_TRUE(StartsWith(SyslogDatagram(Identity(c.mService), *Record(c.mSeverity, "x")), c.mPrefix));
  }

  // Whole seconds carry no fraction; an unset time and empty fields are the
  // nil value "-", so the header keeps its shape.
  const pt::ptime whole(boost::gregorian::date(2026, 1, 2), pt::time_duration(23, 59, 59));
  EXPECT_EQ(SyslogHeader(Identity(false), 150, whole),
            "<150>1 2026-01-02T23:59:59Z" + tail + " bsl-native-client - " + kBOM);
  EXPECT_EQ(SyslogHeader(Identity(false, "", ""), 150, pt::ptime()),
            "<150>1 - - - " + kIDText + " bsl-native-client - " + kBOM);

  // A message filled to the last byte is read up to its size.
  MessagePtr full = Record(6, "");
  std::memset(full->message, 'm', sizeof full->message);
  EXPECT_EQ(MessageOf(SyslogDatagram(Identity(false), *full)), std::string(sizeof full->message, 'm'));
}

TEST(SyslogDatagram, DroppedNotice) {
  const pt::ptime now(boost::gregorian::date(2026, 12, 7), pt::time_duration(4, 5, 6));
  const std::string tail = " host1 MyApp " + kIDText;
  EXPECT_EQ(SyslogDroppedNotice(Identity(false), now),
            "<147>1 2026-12-07T04:05:06Z" + tail + " bsl-native-client - " + kBOM + "Dropped SYSLOG Messages");
  EXPECT_EQ(SyslogDroppedNotice(Identity(true), now),
            "<139>1 2026-12-07T04:05:06Z" + tail + " bsl-native-service - " + kBOM + "Dropped SYSLOG Messages");
}

TEST(SyslogDatagram, TooLargeLosesItsFramesThenBecomesTheNotice) {
  MessagePtr record = Record(6, "big");
  for (std::size_t i = 0; i < LogMessage::kMaxStackFrames; ++i) {
    std::memset(record->stackFrames[i], 'f', sizeof record->stackFrames[i] - 1);
  }
  std::strcpy(record->data[0].name, "blob");
  record->data[0].value = basalt::UTF8String(62000, 'b');

  const std::string withoutFrames = SyslogDatagram(Identity(false), *record);
  EXPECT_LE(withoutFrames.size(), basalt::logging::kMaxSyslogDatagramBytes);
  EXPECT_EQ(withoutFrames.find("stackFrames"), std::string::npos);
  EXPECT_TRUE(EndsWith(withoutFrames, Text(GetLogMessageJSON(*record, false))));

  record->data[0].value = basalt::UTF8String(basalt::logging::kMaxSyslogDatagramBytes, 'b');
  const std::string notice = SyslogDatagram(Identity(false), *record);
  EXPECT_TRUE(StartsWith(notice, "<147>1 "));
  EXPECT_TRUE(EndsWith(notice, kBOM + "Dropped SYSLOG Messages"));

  // Frames alone never make a record too large: it goes out whole.
  record->data[0].value = std::uint64_t(1);
  EXPECT_NE(SyslogDatagram(Identity(false), *record).find("stackFrames"), std::string::npos);
}

// Installs a new syslog sink for the test; the next test's sink replaces it.
boost::shared_ptr<basalt::logging::INetworkLogger> InstallSyslog() {
  const boost::shared_ptr<basalt::logging::INetworkLogger> logger = basalt::logging::CreateSyslogLogger(false, kID);
  basalt::logging::SetStructuredLogger(logger);
  return logger;
}

void LogNumbered(int inFirst, int inLast) {
  for (int i = inFirst; i <= inLast; ++i) basalt::logging::Log(Record(6, std::to_string(i).c_str()));
}

std::vector<std::string> Messages(const std::vector<std::string>& inDatagrams) {
  std::vector<std::string> texts;
  for (const std::string& datagram : inDatagrams) texts.push_back(MessageOf(datagram));
  return texts;
}

std::vector<std::string> NumberTexts(int inFirst, int inLast) {
  std::vector<std::string> texts;
  for (int i = inFirst; i <= inLast; ++i) texts.push_back(std::to_string(i));
  return texts;
}

TEST(SyslogLogger, RecordsLoggedBeforeTheServerArriveInOrderAfterIt) {
  UdpCollector collector;
  const auto logger = InstallSyslog();
  LogNumbered(1, 5);
  logger->SetServer(ImmutableString::CreateDynamic("127.0.0.1"), collector.Port());
  LogNumbered(6, 7);
  ASSERT_TRUE(collector.WaitFor(7));
  EXPECT_EQ(Messages(collector.Datagrams()), NumberTexts(1, 7));
  const std::string first = collector.Datagrams().front();
  EXPECT_TRUE(StartsWith(first, "<150>1 2026-12-07T01:02:03.250000Z "));
  EXPECT_NE(first.find(" bsl-native-client - " + kBOM + "1 {\"context\":"), std::string::npos);
}

TEST(SyslogLogger, OverflowBeforeTheServerSendsOnlyTheNotice) {
  UdpCollector collector;
  const auto logger = InstallSyslog();
  LogNumbered(1, 1030);
  logger->SetServer(ImmutableString::CreateDynamic("127.0.0.1"), collector.Port());
  basalt::logging::Log(Record(6, "after"));
  ASSERT_TRUE(collector.WaitFor(2));
  // Datagrams leave in order from one thread, so once "after" is here,
  // nothing queued before it is still on its way.
  const std::vector<std::string> datagrams = collector.Datagrams();
  ASSERT_EQ(datagrams.size(), 2u);
  EXPECT_TRUE(StartsWith(datagrams[0], "<147>1 "));
  EXPECT_TRUE(EndsWith(datagrams[0], " bsl-native-client - " + kBOM + "Dropped SYSLOG Messages"));
  EXPECT_EQ(MessageOf(datagrams[1]), "after");
}

TEST(SyslogLogger, TheSameServerAgainIsNotResolvedAgain) {
  UdpCollector first;
  UdpCollector second;
  const auto logger = InstallSyslog();
  const ImmutableString host = ImmutableString::CreateDynamic("localhost");
  const std::uint64_t before = basalt::logging::internal::SyslogResolveAttempts();
  logger->SetServer(host, first.Port());
  basalt::logging::Log(Record(6, "a"));
  ASSERT_TRUE(first.WaitFor(1));
  EXPECT_EQ(basalt::logging::internal::SyslogResolveAttempts(), before + 1);

  logger->SetServer(ImmutableString::CreateDynamic("localhost"), first.Port());
  basalt::logging::Log(Record(6, "b"));
  ASSERT_TRUE(first.WaitFor(2));
  EXPECT_EQ(basalt::logging::internal::SyslogResolveAttempts(), before + 1);

  logger->SetServer(host, second.Port());
  basalt::logging::Log(Record(6, "c"));
  ASSERT_TRUE(second.WaitFor(1));
  EXPECT_EQ(basalt::logging::internal::SyslogResolveAttempts(), before + 2);
  EXPECT_EQ(Messages(first.Datagrams()), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Messages(second.Datagrams()), std::vector<std::string>{"c"});
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRecordsPerThread = 5000;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr int kRecordsPerThread = 5000;
#else
constexpr int kRecordsPerThread = 25000;
#endif
#else
constexpr int kRecordsPerThread = 25000;
#endif

// 100,000 records from 4 threads over loopback UDP. The collector's receive
// buffer is sized so the kernel need not drop any; producers hold back while
// more than a few thousand records are in flight, which bounds the memory the
// records take, not the rate the sink must keep up with.
TEST(SyslogLogger, EveryRecordOfFourThreadsArrivesInEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kInFlight = 4000;
  UdpCollector collector(64 << 20);
  const auto logger = InstallSyslog();
  logger->SetServer(ImmutableString::CreateDynamic("127.0.0.1"), collector.Port());
  const std::uint64_t discardedBefore = basalt::logging::internal::SyslogDiscardedDatagrams();

  std::atomic<int> logged{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kRecordsPerThread; ++i) {
        if (i % 500 == 0) {
          const int target = logged.load() - kInFlight;
          if (target > 0 && !collector.WaitFor(static_cast<std::size_t>(target))) return;
        }
        basalt::logging::Log(Record(6, (std::to_string(t) + ":" + std::to_string(i)).c_str()));
        logged.fetch_add(1);
      }
    });
  }
  for (std::thread& producer : producers) producer.join();
  const std::size_t total = static_cast<std::size_t>(kThreads * kRecordsPerThread);
  ASSERT_EQ(logged.load(), static_cast<int>(total));
  const bool all = collector.WaitFor(total, std::chrono::seconds(120));
  const std::vector<std::string> datagrams = collector.Datagrams();
  RecordProperty("receive_buffer", collector.ReceiveBuffer());
  RecordProperty("received", static_cast<int>(datagrams.size()));
  EXPECT_TRUE(all) << "received " << datagrams.size() << " of " << total << " with a receive buffer of "
                   << collector.ReceiveBuffer() << " bytes";
  EXPECT_EQ(basalt::logging::internal::SyslogDiscardedDatagrams(), discardedBefore);

  std::map<int, int> next;  // per thread, the sequence number expected next
  int outOfOrder = 0;
  for (const std::string& datagram : datagrams) {
    int thread = -1;
    int sequence = -1;
    ASSERT_EQ(std::sscanf(MessageOf(datagram).c_str(), "%d:%d", &thread, &sequence), 2) << datagram.substr(0, 120);
    if (sequence < next[thread]) ++outOfOrder;
    next[thread] = sequence + 1;
  }
  EXPECT_EQ(outOfOrder, 0);
}

}  // namespace
