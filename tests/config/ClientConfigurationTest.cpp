#include <basalt/config/ClientConfiguration.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using basalt::UTF16String;
namespace bc = basalt::config;

std::string Narrow(const UTF16String& inText) { return basalt::utility::UTF16toStdString(inText); }

// The identity is process-wide, so the whole life of it runs in one test:
// placeholders first, then the effect of every setter.
TEST(ClientConfiguration, PlaceholdersThenSetValues) {
  EXPECT_FALSE(bc::IsClientNameInitialized());
  EXPECT_EQ(Narrow(bc::GetClientName()), "No Client Name");
  EXPECT_EQ(Narrow(bc::GetApplicationName()), "No Client Name");
  EXPECT_EQ(Narrow(bc::GetClientVersion()), "No Client Version");
  EXPECT_EQ(Narrow(bc::GetClientInternalVersion()), "No Client Internal Version");
  EXPECT_EQ(Narrow(bc::GetClientBuildNumber()), "No Client Internal Version");
  EXPECT_EQ(Narrow(bc::GetCompanyName()), "No Company Name");
  EXPECT_TRUE(bc::GetClientPrefsDir().empty());
  EXPECT_EQ(Narrow(bc::GetGMVersion()), "11.0.0");
  EXPECT_EQ(Narrow(bc::GetQuillCode()), "No Quill Code");
  EXPECT_EQ(Narrow(bc::GetCrosswireSpecifier()), "No Crosswire specifier");
  EXPECT_EQ(Narrow(bc::GetClientDisplayName(false, false)), "No Company Name No Client Name SV");
  EXPECT_EQ(Narrow(bc::GetSuiteClientVersion(true, true)), "SV 2017.0");
  EXPECT_EQ(Narrow(bc::GetSuiteClientVersion(true, false)), "SV 2017");
  EXPECT_EQ(Narrow(bc::GetSuiteClientVersion(false, true)), "2017.0");
  EXPECT_EQ(Narrow(bc::GetSuiteClientVersion(false, false)), "2017");

  bc::SetClientName(BSL_STR("Editor"));
  EXPECT_TRUE(bc::IsClientNameInitialized());
  EXPECT_EQ(Narrow(bc::GetApplicationName()), "Editor");
  bc::SetApplicationName(BSL_STR("Editor Beta"));
  EXPECT_EQ(Narrow(bc::GetApplicationName()), "Editor Beta");
  EXPECT_EQ(Narrow(bc::GetClientName()), "Editor");

  bc::SetCompanyName(BSL_STR("Example Co"));
  EXPECT_EQ(Narrow(bc::GetSuiteClientName()), "Example Co Editor SV 2017.0 (" + Narrow(bc::GetClientPlatform()) + ")");
  EXPECT_EQ(Narrow(bc::GetClientDisplayName(true, false)), "Example Co Editor SV 2017");

  bc::SetClientInternalVersion(BSL_STR("1.2.3.4"));
  EXPECT_EQ(Narrow(bc::GetClientBuildNumber()), "No Client Internal Version");
  bc::SetClientBuildNumber(BSL_STR("4711"));
  EXPECT_EQ(Narrow(bc::GetClientBuildNumber()), "4711");

  bc::SetClientSuiteVersion(BSL_STR("2018"));
  for (bool family : {false, true})
    for (bool minor : {false, true}) EXPECT_EQ(Narrow(bc::GetSuiteClientVersion(family, minor)), "2018");

  // Setting a value from its own stored object keeps it intact.
  bc::SetClientVersion(BSL_STR("7.5"));
  bc::SetClientVersion(bc::GetClientVersion());
  EXPECT_EQ(Narrow(bc::GetClientVersion()), "7.5");

  const UTF16String prefs = basalt::utility::UTF8to16(BSL_UTF8("/home/u/.config/Pr\xC3\xA9" "f\xC3\xA9rences"));
  bc::SetClientPrefsDir(prefs);
  EXPECT_EQ(bc::GetClientPrefsDir(), prefs);
  bc::SetGMVersion(BSL_STR("12.1.0"));
  bc::SetQuillCode(BSL_STR("EDTR"));
  bc::SetCrosswireSpecifier(BSL_STR("editor-x"));
  EXPECT_EQ(Narrow(bc::GetGMVersion()), "12.1.0");
  EXPECT_EQ(Narrow(bc::GetQuillCode()), "EDTR");
  EXPECT_EQ(Narrow(bc::GetCrosswireSpecifier()), "editor-x");
}

TEST(ClientConfiguration, Constants) {
  EXPECT_EQ(Narrow(bc::GetSuiteClientFamily()), "SV");
  EXPECT_EQ(bc::GetSuiteClientMinorVersion(), 0);
  EXPECT_EQ(Narrow(bc::GetSuiteClientVersion_NumberOnly()), "11.0");
  EXPECT_EQ(Narrow(bc::GetVersionString()), "2.0.0.Bramble");
  EXPECT_EQ(Narrow(bc::GetClientPlatform()), "Linux");
}

struct CountingLogger : bc::UsageLogger {
  explicit CountingLogger(std::atomic<int>& ioAlive) : mAlive(ioAlive) { ++mAlive; }
  ~CountingLogger() override { --mAlive; }
  std::atomic<int>& mAlive;
};

TEST(UsageLogger, SetReplacesAndReleases) {
  EXPECT_FALSE(bc::UsageLogger::Get());
  std::atomic<int> alive{0};
  bc::UsageLogger::Set(boost::shared_ptr<bc::UsageLogger>(new CountingLogger(alive)));
  EXPECT_EQ(alive.load(), 1);
  boost::shared_ptr<bc::UsageLogger> held = bc::UsageLogger::Get();
  ASSERT_TRUE(held);
  bc::UsageLogger::Set(boost::shared_ptr<bc::UsageLogger>(new CountingLogger(alive)));
  EXPECT_EQ(alive.load(), 2) << "the first logger is still held by the caller";
  EXPECT_NE(bc::UsageLogger::Get(), held);
  held.reset();
  EXPECT_EQ(alive.load(), 1);
  bc::UsageLogger::Set(boost::shared_ptr<bc::UsageLogger>());
  EXPECT_EQ(alive.load(), 0);
  EXPECT_FALSE(bc::UsageLogger::Get());
}

TEST(UsageLogger, ConcurrentSetAndGet) {
  std::atomic<int> alive{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 2 == 0) {
          bc::UsageLogger::Set(boost::shared_ptr<bc::UsageLogger>(new CountingLogger(alive)));
        } else {
          boost::shared_ptr<bc::UsageLogger> logger = bc::UsageLogger::Get();
          if (logger) {
            EXPECT_GE(alive.load(), 1);
          }
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  bc::UsageLogger::Set(boost::shared_ptr<bc::UsageLogger>());
  EXPECT_EQ(alive.load(), 0);
}

}  // namespace
