#include <basalt/config/Errors.h>
#include <basalt/config/Localizer.h>
#include <basalt/threads/ThreadIdentity.h>

#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/bind/bind.hpp>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using basalt::UTF16String;
using basalt::UTF8String;
namespace bc = basalt::config;

std::string Narrow(const UTF16String& inText) { return basalt::utility::UTF16toStdString(inText); }

// Looks keys up in a small table, falling back to the key's default text.
class TableLocalizer : public bc::Localizer {
public:
  UTF16String Localize(const char* inKey) override {
    std::lock_guard<std::mutex> hold(mLock);
    const std::string key(inKey);
    const std::string name = key.substr(0, key.find('='));
    auto it = mTranslations.find(name);
    if (it != mTranslations.end()) return basalt::utility::UTF8to16(UTF8String(it->second.begin(), it->second.end()));
    return DefaultText(inKey);
  }
  void LoadDictionary(const UTF16String& inPath) override {
    std::lock_guard<std::mutex> hold(mLock);
    mLoaded.push_back(Narrow(inPath));
  }
  std::mutex mLock;
  std::map<std::string, std::string> mTranslations;
  std::vector<std::string> mLoaded;
};

struct Call {
  bc::ErrorLevel mLevel;
  std::string mKey;
  std::uint32_t mGroup;
  std::int32_t mNumber;
  bool mReport;
  std::string mMessage;
};

// Records every report; throws a bsl_exception when asked to.
class RecordingManager : public bc::ErrorManager {
public:
  void ThrowErrorImpl(bc::ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup, std::int32_t inNumber,
                      bool inReport, const bc::ReplacementValue& in1, const bc::ReplacementValue& in2,
                      const bc::ReplacementValue& in3, const bc::ReplacementValue& in4) const override {
    const std::string message = Narrow(bc::SubstituteErrorMessage(inKey, in1, in2, in3, in4));
    {
      std::lock_guard<std::mutex> hold(mLock);
      mCalls.push_back({inLevel, inKey, inGroup, inNumber, inReport, message});
    }
    if (mThrow) throw bc::bsl_exception(inKey);
  }
  bool PurgeMemory(std::uint64_t inByteCount) override {
    ++mPurges;
    mLastPurgeSize = inByteCount;
    if (mPurgeTrueTimes > 0) {
      --mPurgeTrueTimes;
      return true;
    }
    return mPurgeAnswer;
  }
  std::vector<Call> Calls() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mCalls;
  }
  mutable std::mutex mLock;
  mutable std::vector<Call> mCalls;
  bool mThrow = false;
  bool mPurgeAnswer = false;
  int mPurgeTrueTimes = 0;
  int mPurges = 0;
  std::uint64_t mLastPurgeSize = 99;
};

class ErrorsTest : public ::testing::Test {
protected:
  void SetUp() override {
    bc::Localizer::Set(&mLocalizer);
    bc::ErrorManager::Set(&mManager);
  }
  void TearDown() override {
    bc::ErrorManager::Set(nullptr);
    bc::Localizer::Set(nullptr);
  }
  TableLocalizer mLocalizer;
  RecordingManager mManager;
};

const char kKey[] = "$$$/basalt/test/Error/sample=Sample ^1 and ^2";

TEST_F(ErrorsTest, ThrowErrorReachesTheManagerWithItsArguments) {
  bc::ThrowError(bc::kErrorLevelNonFatal, kKey, 105, 7, false, bc::ReplacementValue(3), bc::ReplacementValue(4u));
  const std::vector<Call> calls = mManager.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].mLevel, bc::kErrorLevelNonFatal);
  EXPECT_EQ(calls[0].mKey, kKey);
  EXPECT_EQ(calls[0].mGroup, 105u);
  EXPECT_EQ(calls[0].mNumber, 7);
  EXPECT_FALSE(calls[0].mReport);
  EXPECT_EQ(calls[0].mMessage, "Sample 3 and 4");
}

TEST_F(ErrorsTest, NonFatalTestErrorText) {
  bc::TestThrowError(false);
  bc::TestThrowError(true);
  const std::vector<Call> calls = mManager.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].mMessage, "This is a non-fatal exception. int:-2147483648, uint:4294967295, double:29.2334");
  EXPECT_EQ(calls[0].mGroup, 100u);
  EXPECT_EQ(calls[0].mNumber, 20);
  EXPECT_EQ(calls[0].mLevel, bc::kErrorLevelNonFatal);
  EXPECT_TRUE(calls[0].mReport);
  EXPECT_EQ(calls[1].mMessage, "This is a fatal exception.");
  EXPECT_EQ(calls[1].mNumber, 21);
  EXPECT_EQ(calls[1].mLevel, bc::kErrorLevelFatal);
}

TEST_F(ErrorsTest, SubstitutionRules) {
  struct Case {
    const char* mKey;
    bc::ReplacementValue mValue;
    const char* mExpected;
  };
  const Case cases[] = {
      {"$$$/t/a=^1 twice ^1", bc::ReplacementValue(5), "5 twice ^1"},
      {"$$$/t/a=^1 twice ^1", bc::ReplacementValue(), "^1 twice ^1"},
      {"$$$/t/a=no marker", bc::ReplacementValue(5), "no marker"},
      {"$$$/t/a=^1", bc::ReplacementValue(-7LL), "-7"},
      {"$$$/t/a=^1", bc::ReplacementValue(18446744073709551615ULL), "18446744073709551615"},
      {"$$$/t/a=^1", bc::ReplacementValue(1.0 / 3.0), "0.333333"},
      {"$$$/t/a=^1", bc::ReplacementValue(1e21), "1e+21"},
      {"$$$/t/a=^1", bc::ReplacementValue(2.5), "2.5"},
      {"$$$/t/a=[^1]", bc::ReplacementValue(BSL_STR("^1 text")), "[^1 text]"},
      {"$$$/t/a=a=b ^1", bc::ReplacementValue(BSL_STR("x")), "a=b x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mKey);
    EXPECT_EQ(Narrow(bc::SubstituteErrorMessage(c.mKey, c.mValue)), c.mExpected);
  }
  // Markers are replaced in value order, each where it first occurs.
  EXPECT_EQ(Narrow(bc::SubstituteErrorMessage("$$$/t/a=^2 ^1", bc::ReplacementValue(1), bc::ReplacementValue(2))),
            "2 1");
  EXPECT_EQ(Narrow(bc::SubstituteErrorMessage("$$$/t/a=^4", {}, {}, {}, bc::ReplacementValue(BSL_STR("four")))),
            "four");
}

TEST_F(ErrorsTest, SubstitutionUsesTheTranslation) {
  mLocalizer.mTranslations["$$$/basalt/test/Error/sample"] = "Beispiel ^2 und ^1";
  EXPECT_EQ(Narrow(bc::SubstituteErrorMessage(kKey, bc::ReplacementValue(1), bc::ReplacementValue(2))),
            "Beispiel 2 und 1");
}

TEST(ReplacementValue, CopiesOwnTheirString) {
  bc::ReplacementValue a(BSL_STR("alpha"));
  bc::ReplacementValue b(a);
  bc::ReplacementValue c;
  c = a;
  a = bc::ReplacementValue(5);
  EXPECT_EQ(a.GetKind(), bc::ReplacementValue::kKind_Signed);
  EXPECT_EQ(Narrow(b.GetString()), "alpha");
  EXPECT_EQ(Narrow(c.GetString()), "alpha");
  c = c;
  EXPECT_EQ(Narrow(c.ToText()), "alpha");
  EXPECT_EQ(bc::ReplacementValue(4294967295u).GetKind(), bc::ReplacementValue::kKind_Unsigned);
  EXPECT_EQ(bc::ReplacementValue(-1).GetSigned(), -1);
  EXPECT_TRUE(bc::ReplacementValue().ToText().empty());
}

TEST_F(ErrorsTest, DeferredReportingKeepsOnlyTheLastError) {
  boost::intrusive_ptr<bc::DeferredErrorReporter> reporter = mManager.NewDeferredErrorReporter(true);
  EXPECT_TRUE(mManager.IsErrorReportingDeferred());
  bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/first=first ^1", 105, 1, true, bc::ReplacementValue(1));
  bc::ThrowError(bc::kErrorLevelFatal, "$$$/t/second=second ^1", 105, 2, true, bc::ReplacementValue(2));
  EXPECT_EQ(mManager.Calls().size(), 2u) << "every error still reaches the manager while deferred";
  EXPECT_EQ(reporter->GetErrorCount(), 2);

  reporter->Finish();
  std::vector<Call> calls = mManager.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].mKey, "$$$/t/second=second ^1");
  EXPECT_EQ(calls[2].mMessage, "second 2");
  EXPECT_EQ(calls[2].mLevel, bc::kErrorLevelFatal);
  EXPECT_EQ(calls[2].mNumber, 2);
  EXPECT_TRUE(calls[2].mReport);

  reporter->Finish();
  EXPECT_EQ(mManager.Calls().size(), 3u) << "a second Finish without new errors reports nothing";
  reporter.reset();
  EXPECT_FALSE(mManager.IsErrorReportingDeferred());
}

TEST_F(ErrorsTest, DeferredReportingFlagsOff) {
  boost::intrusive_ptr<bc::DeferredErrorReporter> quiet = mManager.NewDeferredErrorReporter(false);
  bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, 1, true);
  quiet->Finish();
  EXPECT_EQ(mManager.Calls().size(), 1u) << "report-when-finished off reports nothing";

  boost::intrusive_ptr<bc::DeferredErrorReporter> reporter = mManager.NewDeferredErrorReporter(true);
  bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/y=y", 105, 1, false);
  EXPECT_EQ(mManager.Calls().size(), 2u) << "the report flag off still reaches ThrowErrorImpl";
  EXPECT_EQ(reporter->GetErrorCount(), 0) << "but records nothing";
  reporter->Finish();
  EXPECT_EQ(mManager.Calls().size(), 2u);
}

TEST_F(ErrorsTest, NewestReporterRecordsAndNestingUnwinds) {
  boost::intrusive_ptr<bc::DeferredErrorReporter> outer = mManager.NewDeferredErrorReporter(true);
  {
    bc::DeferredErrorReporter inner(true);
    bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, 1, true);
    EXPECT_EQ(inner.GetErrorCount(), 1);
    EXPECT_EQ(outer->GetErrorCount(), 0);
  }
  bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/y=y", 105, 1, true);
  EXPECT_EQ(outer->GetErrorCount(), 1);
}

TEST_F(ErrorsTest, DeferredReportingIsPerThread) {
  boost::intrusive_ptr<bc::DeferredErrorReporter> reporter = mManager.NewDeferredErrorReporter(true);
  std::thread other([&] {
    EXPECT_FALSE(mManager.IsErrorReportingDeferred());
    bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, 1, true);
  });
  other.join();
  EXPECT_EQ(reporter->GetErrorCount(), 0);
  EXPECT_EQ(mManager.Calls().size(), 1u);
}

// Many threads register and unregister reporters at once: every thread sees
// only its own reporters, and slots are reused rather than grown without end.
TEST_F(ErrorsTest, SlotTableUnderManyThreads) {
  const int kThreads = 24;
  const int kRounds = 200;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        bc::DeferredErrorReporter outer(true);
        {
          bc::DeferredErrorReporter inner(true);
          bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, t, true);
          if (inner.GetErrorCount() != 1 || outer.GetErrorCount() != 0) ++failures;
        }
        bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, t, true);
        if (outer.GetErrorCount() != 1 || !mManager.IsErrorReportingDeferred()) ++failures;
      }
      if (mManager.IsErrorReportingDeferred()) ++failures;
    });
  }
  while (ready.load() != kThreads) std::this_thread::yield();
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mManager.Calls().size(), static_cast<std::size_t>(kThreads * kRounds * 2));
}

// More threads than one segment holds, all deferring at the same time.
TEST_F(ErrorsTest, SlotTableGrowsPastOneSegment) {
  const int kThreads = 300;
  std::atomic<int> registered{0};
  std::atomic<bool> release{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      bc::DeferredErrorReporter reporter(true);
      ++registered;
      while (!release.load()) std::this_thread::yield();
      bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, 1, true);
      if (reporter.GetErrorCount() != 1) ++failures;
    });
  }
  while (registered.load() != kThreads) std::this_thread::yield();
  release = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(ErrorManager, MissingManager) {
  ASSERT_EQ(bc::ErrorManager::Get(true), nullptr);
  try {
    bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, 1);
    FAIL() << "ThrowError without a manager must throw";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "bsl::config::ErrorManager not initialized. Check bsl/config/Errors.h.");
  }
  EXPECT_THROW(bc::DeferredErrorReporter reporter(true), std::logic_error);
}

TEST(ErrorManager, SubstitutionNeedsALocalizer) {
  ASSERT_FALSE(bc::Localizer::Initialized());
  try {
    bc::SubstituteErrorMessage("$$$/t/x=x ^1", bc::ReplacementValue(1));
    FAIL() << "SubstituteErrorMessage without a localizer must throw";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "basalt::config::Localizer not initialized. Check basalt/config/Localizer.h.");
  }
}

TEST(ErrorManager, DestructorUninstalls) {
  {
    RecordingManager manager;
    bc::ErrorManager::Set(&manager);
    EXPECT_EQ(bc::ErrorManager::Get(), &manager);
  }
  EXPECT_EQ(bc::ErrorManager::Get(true), nullptr);
}

TEST_F(ErrorsTest, BslExceptionFormatsLazilyAndNeverThrowsFromWhat) {
  bc::bsl_exception error("$$$/basalt/test/Error/plain=Plain default text");
  EXPECT_STREQ(error.what(), "Plain default text");
  EXPECT_EQ(error.GetErrorMessage(), BSL_UTF8("Plain default text"));

  // The message is cached: a later translation does not change it.
  mLocalizer.mTranslations["$$$/basalt/test/Error/plain"] = "Translated";
  EXPECT_STREQ(error.what(), "Plain default text");
  bc::bsl_exception copy(error);
  EXPECT_STREQ(copy.what(), "Plain default text");
  bc::bsl_exception fresh("$$$/basalt/test/Error/plain=Plain default text");
  EXPECT_STREQ(fresh.what(), "Translated");

  bc::bsl_exception unknown(nullptr);
  EXPECT_STREQ(unknown.what(), "Unknown exception");

  // Without a localizer, formatting fails; what() reports that and caches nothing.
  bc::Localizer::Set(nullptr);
  bc::bsl_exception orphan("$$$/basalt/test/Error/plain=Plain default text");
  EXPECT_STREQ(orphan.what(), "bsl_exception::what() error.");
  bc::Localizer::Set(&mLocalizer);
  EXPECT_STREQ(orphan.what(), "Translated");
}

class NullKeyException : public bc::bsl_exception {
public:
  NullKeyException() : bc::bsl_exception("$$$/t/ignored=ignored") {}
  UTF8String Format(const char* inKey) const { return FormatErrorMessage(inKey); }
};

TEST_F(ErrorsTest, NullFormatKey) {
  NullKeyException error;
  EXPECT_EQ(error.Format(nullptr), BSL_UTF8("missing bsl_exception::FormatErrorMessage format string."));
}

TEST_F(ErrorsTest, ThrownBslExceptionCarriesTheLocalizedText) {
  mManager.mThrow = true;
  try {
    bc::TestThrowError(true);
    FAIL() << "the manager throws";
  } catch (const bc::bsl_exception& e) {
    EXPECT_STREQ(e.what(), "This is a fatal exception.");
  }
}

int Returns(int inValue) { return inValue; }
int Throws() { throw std::runtime_error("boom"); }
void VoidThrows() { throw 42; }
void VoidReturns(int* outCalls) { ++*outCalls; }

TEST_F(ErrorsTest, TopLevelExecution) {
  EXPECT_EQ(mManager.ExecuteFunctionWithTopLevelExceptionHandler(boost::bind(&Returns, 7)), 7);
  EXPECT_EQ(mManager.ExecuteFunctionWithTopLevelExceptionHandler(&Throws), 1);

  bool caught = false;
  bc::ExecuteTopLevelFunction<void>(&VoidThrows, &caught);
  EXPECT_TRUE(caught);
  int calls = 0;
  bc::ExecuteTopLevelFunction<void>(boost::bind(&VoidReturns, &calls), &caught);
  EXPECT_FALSE(caught);
  EXPECT_EQ(calls, 1);
  bc::ExecuteTopLevelFunction<void>(boost::function0<void>(), &caught);
  EXPECT_TRUE(caught) << "an empty function counts as throwing";
  bc::ExecuteTopLevelFunction<void>(&VoidThrows, nullptr);
}

TEST(ExecuteTopLevelFunction, WithoutManager) {
  ASSERT_EQ(bc::ErrorManager::Get(true), nullptr);
  bool caught = true;
  int calls = 0;
  bc::ExecuteTopLevelFunction<void>(boost::bind(&VoidReturns, &calls), &caught);
  EXPECT_FALSE(caught);
  EXPECT_EQ(calls, 1);
  bc::ExecuteTopLevelFunction<void>(&VoidThrows, &caught);
  EXPECT_TRUE(caught);
  bc::ExecuteTopLevelFunction<void>(boost::function0<void>(), &caught);
  EXPECT_TRUE(caught);
}

// A request no system can satisfy; the handler is consulted each time.
void* HugeAllocation() { return ::operator new(static_cast<std::size_t>(1) << 62); }

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BSL_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BSL_SANITIZED_HEAP 1
#endif
#endif

// Sanitizer heaps report impossible requests instead of consulting the
// allocation-failure handler.
#ifdef BSL_SANITIZED_HEAP
#define SKIP_ON_SANITIZED_HEAP() GTEST_SKIP() << "the sanitizer heap does not call the new handler"
#else
#define SKIP_ON_SANITIZED_HEAP() (void)0
#endif

TEST_F(ErrorsTest, NewHandlerAsksTheManagerToPurge) {
  SKIP_ON_SANITIZED_HEAP();
  bc::ErrorManager::NewHandlerInitializer handler;
  mManager.mPurgeAnswer = false;
  EXPECT_THROW(HugeAllocation(), std::bad_alloc);
  EXPECT_EQ(mManager.mPurges, 1);
  EXPECT_EQ(mManager.mLastPurgeSize, 0u);
  EXPECT_EQ(::operator new(static_cast<std::size_t>(1) << 62, std::nothrow), nullptr);
  EXPECT_EQ(mManager.mPurges, 2);

  // Each purge that freed memory earns the allocation another try.
  mManager.mPurgeTrueTimes = 2;
  EXPECT_THROW(HugeAllocation(), std::bad_alloc);
  EXPECT_EQ(mManager.mPurges, 5);
}

TEST(NewHandlerInitializer, WithoutManagerAndRemoval) {
  SKIP_ON_SANITIZED_HEAP();
  ASSERT_EQ(bc::ErrorManager::Get(true), nullptr);
  {
    bc::ErrorManager::NewHandlerInitializer handler;
    EXPECT_NE(std::get_new_handler(), nullptr);
    try {
      HugeAllocation();
      FAIL() << "must throw";
    } catch (const std::bad_alloc& e) {
      EXPECT_STREQ(e.what(), "bsl::config::ErrorManager not initialized. Check bsl/config/Errors.h.");
    }
    EXPECT_EQ(::operator new(static_cast<std::size_t>(1) << 62, std::nothrow), nullptr);
  }
  EXPECT_EQ(std::get_new_handler(), nullptr);
}

TEST(MachineExceptions, TextsAndFilter) {
  namespace ex = basalt::utility::exceptions;
  EXPECT_STREQ(ex::GetMachineExceptionText(0xC0000094u),
               "EXCEPTION_INT_DIVIDE_BY_ZERO (The thread attempted to divide an integer value by an integer divisor "
               "of zero.)");
  EXPECT_STREQ(ex::GetMachineExceptionText(0x80000003u), "EXCEPTION_BREAKPOINT (A breakpoint was encountered.)");
  EXPECT_STREQ(ex::GetMachineExceptionText(0x12345678u), "An unknown machine exception has occurred.");
  EXPECT_EQ(ex::InternalHiddenFilterWindowsSEHException(0x80000003u, __FILE__, __LINE__, "TestBody"), 0);
  // The test runs without a debugger attached (a CI run never has one).
  EXPECT_EQ(ex::InternalHiddenFilterWindowsSEHException(0xC0000005u, __FILE__, __LINE__, "TestBody"), 1);
}

// Under a tracer the filter asks the developer and, asked to debug, lets
// the exception pass on to the debugger. The child makes its parent its
// tracer; it leaves with _exit so nothing at exit needs to trace it again.
TEST(MachineExceptions, FilterPassesOnUnderADebugger) {
  namespace ex = basalt::utility::exceptions;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(10);
    _exit(ex::InternalHiddenFilterWindowsSEHException(0xC0000005u, __FILE__, __LINE__, "TestBody"));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 10) << "the child could not be traced";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a traced process lets the exception reach its debugger";
}

}  // namespace
