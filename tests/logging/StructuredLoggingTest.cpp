#include <basalt/config/ClientConfiguration.h>
#include <basalt/logging/StructuredLogging.h>
#include <basalt/serialization/JSON.h>
#include <basalt/threads/ThreadIdentity.h>

#include "logging/LoggingTestSupport.h"

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using basalt::logging::GetLogMessageJSON;
using basalt::logging::IStructuredLogger;
using basalt::logging::LogMessage;
using basalt::logging::NetworkLoggerBase;
using basalt::testing::Recording;
using basalt::testing::RecordingLogger;
using MessagePtr = boost::shared_ptr<LogMessage>;

MessagePtr Numbered(int inNumber) {
  MessagePtr message = LogMessage::Create();
  std::snprintf(message->message, sizeof message->message, "%d", inNumber);
  return message;
}

int NumberOf(const MessagePtr& inMessage) { return std::atoi(inMessage->message); }

std::vector<int> Numbers(const std::vector<MessagePtr>& inMessages) {
  std::vector<int> numbers;
  for (const MessagePtr& message : inMessages) numbers.push_back(NumberOf(message));
  return numbers;
}

std::vector<int> Range(int inFirst, int inLast) {
  std::vector<int> numbers;
  for (int i = inFirst; i <= inLast; ++i) numbers.push_back(i);
  return numbers;
}

std::string Text(const basalt::UTF8String& inText) { return std::string(inText.begin(), inText.end()); }

// Shutdown ends structured logging for the whole process, so it runs in a
// child process of its own, from a state where no sink was ever installed.
// The child reports what went wrong on stderr and exits 0 only on success.
TEST(StructuredLoggingDeathTest, LifecycleFromFirstSinkToShutdown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool ok = true;
        auto check = [&ok](bool inCondition, const char* inWhat) {
          if (!inCondition) {
            std::fprintf(stderr, "failed: %s\n", inWhat);
            ok = false;
          }
        };
        check(!basalt::logging::LoggingIsEnabled(), "disabled before any sink");
        const auto recording = std::make_shared<Recording>();
        basalt::logging::SetStructuredLogger(boost::make_shared<RecordingLogger>(recording));
        check(basalt::logging::LoggingIsEnabled(), "enabled right after installing");
        for (int i = 1; i <= 200; ++i) basalt::logging::Log(Numbered(i));

        basalt::logging::SetStructuredLogger(boost::shared_ptr<IStructuredLogger>());
        // No waiting: the call itself saw every earlier record through.
        check(Numbers(recording->Messages()) == Range(1, 200), "all records before the shutdown, in order");
        const std::thread::id loggingThread = recording->Threads().front();
        check(loggingThread != std::this_thread::get_id(), "records handled on the logging thread");
        check(recording->mDestroyedOn.load() == loggingThread, "old sink released on the logging thread");
        check(!basalt::logging::LoggingIsEnabled(), "disabled after shutdown");

        // After shutdown nothing is accepted, and a new sink does not turn
        // the flag back on.
        const auto late = std::make_shared<Recording>();
        basalt::logging::SetStructuredLogger(boost::make_shared<RecordingLogger>(late));
        check(!basalt::logging::LoggingIsEnabled(), "a sink after shutdown leaves logging disabled");
        check(!basalt::logging::GetLoggingExecutor()->CallAsynchronously([] {}, 0), "executor refuses work");
        basalt::logging::Log(Numbered(1));
        check(late->Messages().empty(), "nothing reaches a sink after shutdown");
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(StructuredLogging, EachRecordGoesToTheSinkInstalledBeforeItWasLogged) {
  const auto first = std::make_shared<Recording>();
  const auto second = std::make_shared<Recording>();
  basalt::logging::SetStructuredLogger(boost::make_shared<RecordingLogger>(first));
  for (int i = 1; i <= 50; ++i) basalt::logging::Log(Numbered(i));
  basalt::logging::SetStructuredLogger(boost::make_shared<RecordingLogger>(second));
  for (int i = 51; i <= 100; ++i) basalt::logging::Log(Numbered(i));
  basalt::logging::Log(MessagePtr());  // ignored
  ASSERT_TRUE(second->WaitFor(50));

  EXPECT_EQ(Numbers(first->Messages()), Range(1, 50));
  EXPECT_EQ(Numbers(second->Messages()), Range(51, 100));
  const std::thread::id loggingThread = first->Threads().front();
  EXPECT_NE(loggingThread, std::this_thread::get_id());
  for (const std::thread::id id : second->Threads()) EXPECT_EQ(id, loggingThread);
  EXPECT_EQ(first->mDestroyedOn.load(), loggingThread);  // let go there, after its records
  EXPECT_TRUE(basalt::logging::LoggingIsEnabled());
}

TEST(StructuredLogging, FramesStopAtTheFirstAddressWithoutAName) {
  const auto recording = std::make_shared<Recording>();
  basalt::logging::SetStructuredLogger(boost::make_shared<RecordingLogger>(recording));
  MessagePtr none = Numbered(1);
  MessagePtr unresolved = Numbered(2);
  // Names in a record that does not resolve are cleared, not kept.
  unresolved->stackFrameAddresses[0] = reinterpret_cast<void*>(&Numbered);
  std::strcpy(unresolved->stackFrames[0], "stale");
  basalt::logging::Log(none);
  basalt::logging::Log(unresolved);
  ASSERT_TRUE(recording->WaitFor(2));
  for (const MessagePtr& message : recording->Messages()) {
    SCOPED_TRACE(message->message);
    EXPECT_EQ(message->stackFrames[0][0], 0);
    const std::string json = Text(GetLogMessageJSON(*message));
    EXPECT_EQ(json.find("stackFrames"), std::string::npos);
    EXPECT_EQ(json.find("stackLineNumbers"), std::string::npos);
  }
}

class LogMessageJSON : public ::testing::Test {
protected:
  void SetUp() override {
    basalt::config::SetClientName(BSL_STR("Editor"));
    basalt::config::SetApplicationName(BSL_STR("Editor Beta"));
    basalt::config::SetClientVersion(BSL_STR("1.2"));
    basalt::config::SetClientBuildNumber(BSL_STR("345"));
  }

  std::string Context(const std::string& inLine, const std::string& inFrames, const std::string& inThread) {
    return "{\"applicationName\":\"Editor Beta\",\"clientBuildNumber\":\"345\",\"clientName\":\"Editor\","
           "\"clientPlatform\":\"Linux\",\"clientVersion\":\"1.2\",\"file\":\"a.cpp\",\"function\":\"F\","
           "\"line\":" + inLine + ",\"processID\":" + std::to_string(basalt::threads::GetCurrentProcessID()) +
           inFrames + ",\"threadID\":" + inThread + ",\"traceCategory\":\"Cat\"}";
  }

  MessagePtr Record() {
    MessagePtr message = LogMessage::Create();
    message->line = 42;
    std::strcpy(message->file, "a.cpp");
    std::strcpy(message->function, "F");
    std::strcpy(message->traceCategory, "Cat");
    message->threadID = 7;
    return message;
  }
};

TEST_F(LogMessageJSON, ByteForByte) {
  MessagePtr message = Record();
  std::strcpy(message->data[0].name, "ratio");
  message->data[0].value = 0.5;
  std::strcpy(message->data[1].name, "name");
  message->data[1].value = basalt::UTF8String(reinterpret_cast<const unsigned char*>("x\"y"));
  std::strcpy(message->data[2].name, "count");
  message->data[2].value = std::uint64_t(3);
  std::strcpy(message->data[3].name, "flag");
  message->data[3].value = true;
  EXPECT_EQ(Text(GetLogMessageJSON(*message)),
            "{\"context\":" + Context("42", "", "7") +
                ",\"data\":{\"count\":3,\"flag\":true,\"name\":\"x\\\"y\",\"ratio\":0.5}}");

  // Negative line, an unsigned thread id past 2^31, leading frames with names.
  message = Record();
  message->line = -1;
  message->threadID = 4000000000u;
  std::strcpy(message->stackFrames[0], "main");
  std::strcpy(message->stackFrames[1], "run");
  message->stackLineNumbers[0] = 10;
  message->stackLineNumbers[1] = 20;
  std::strcpy(message->stackFrames[3], "after a gap: not sent");
  EXPECT_EQ(Text(GetLogMessageJSON(*message)),
            "{\"context\":" +
                Context("-1", ",\"stackFrames\":[\"main\",\"run\"],\"stackLineNumbers\":[10,20]", "4000000000") +
                ",\"data\":{}}");
  EXPECT_EQ(Text(GetLogMessageJSON(*message, false)), "{\"context\":" + Context("-1", "", "4000000000") + ",\"data\":{}}");
}

TEST_F(LogMessageJSON, DataEndsAtTheFirstEmptyNameAndFieldsStayInsideTheirArrays) {
  MessagePtr message = Record();
  std::strcpy(message->data[0].name, "a");
  message->data[0].value = std::int64_t(-5);
  message->data[1].value = std::uint64_t(9);  // no name: ends the list
  std::strcpy(message->data[2].name, "hidden");
  message->data[2].value = std::uint64_t(1);
  // Filled to the last byte, without a terminator.
  std::memset(message->data[3].name, 'n', sizeof message->data[3].name);
  std::memset(message->function, 'f', sizeof message->function);
  const basalt::serialization::JSONValuePtr parsed = basalt::serialization::JSONParse(GetLogMessageJSON(*message));
  ASSERT_TRUE(parsed);
  const basalt::serialization::JSONValuePtr data = basalt::serialization::GetVariantInObject(parsed, "data");
  const auto& members = boost::any_cast<const basalt::serialization::JSONObject&>(*data);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(boost::any_cast<std::int64_t>(*members.begin()->second), -5);

  std::memset(message->data[0].name, 'n', sizeof message->data[0].name);
  const basalt::serialization::JSONValuePtr again = basalt::serialization::JSONParse(GetLogMessageJSON(*message));
  const auto& context = boost::any_cast<const basalt::serialization::JSONObject&>(
      *basalt::serialization::GetVariantInObject(again, "context"));
  const auto function = context.find(basalt::UTF8String(reinterpret_cast<const unsigned char*>("function")));
  ASSERT_NE(function, context.end());
  EXPECT_EQ(boost::any_cast<const basalt::UTF8String&>(*function->second).size(), sizeof message->function);
  const auto& again_data = boost::any_cast<const basalt::serialization::JSONObject&>(
      *basalt::serialization::GetVariantInObject(again, "data"));
  ASSERT_EQ(again_data.size(), 1u);
  EXPECT_EQ(again_data.begin()->first.size(), sizeof message->data[0].name);
}

// A network sink with nowhere to send: everything goes to the queue.
class UnconnectedLogger : public NetworkLoggerBase {
public:
  UnconnectedLogger() : NetworkLoggerBase(false, basalt::utility::Guid()) {}
  void Log(boost::shared_ptr<LogMessage> inMessage) override { QueueMessage(inMessage); }
  void SetServer(const basalt::utility::ImmutableString&, unsigned short) override {}
  void PrintStatistics() override {}
  void Take(std::vector<MessagePtr>& outPending, std::uint64_t& outDropped) { TakePending(outPending, outDropped); }
};

TEST(NetworkLoggerBase, KeepsUpTo1023RecordsThenCountsInsteadOfKeeping) {
  struct Case {
    int mRecords;
    std::size_t mPending;
    std::uint64_t mDropped;
  };
  for (const Case& c : {Case{1, 1, 0}, Case{1023, 1023, 0}, Case{1024, 0, 1024}, Case{1030, 0, 1030}}) {
    SCOPED_TRACE(c.mRecords);
    UnconnectedLogger logger;
    for (int i = 1; i <= c.mRecords; ++i) logger.Log(Numbered(i));
    EXPECT_EQ(logger.PendingCount(), c.mPending);
    EXPECT_EQ(logger.DroppedCount(), c.mDropped);
    std::vector<MessagePtr> pending;
    std::uint64_t dropped = 0;
    logger.Take(pending, dropped);
    EXPECT_EQ(Numbers(pending), Range(1, static_cast<int>(c.mPending)));
    EXPECT_EQ(dropped, c.mDropped);
    EXPECT_EQ(logger.PendingCount(), 0u);
    EXPECT_EQ(logger.DroppedCount(), 0u);
  }
}

TEST(NetworkLoggerBase, ApplicationNameLosesItsWhiteSpace) {
  basalt::config::SetApplicationName(u"My \tEditor\u00A0Pro\u3000X");
  UnconnectedLogger logger;
  EXPECT_EQ(Text(logger.ApplicationName()), "MyEditorProX");
}

}  // namespace
