#include <basalt/config/Errors.h>
#include <basalt/config/Localizer.h>

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
namespace bc = basalt::config;

std::string Narrow(const UTF16String& inText) { return basalt::utility::UTF16toStdString(inText); }

// Looks keys up in a small table, falling back to the key's default text. The
// table is only written while no other thread runs.
class TableLocalizer : public bc::Localizer {
public:
  UTF16String Localize(const char* inKey) override {
    const std::string key(inKey);
    const auto it = mTranslations.find(key.substr(0, key.find('=')));
    if (it == mTranslations.end()) return DefaultText(inKey);
    return basalt::utility::AsciiToUTF16(it->second.c_str(), it->second.size());
  }
  void LoadDictionary(const UTF16String&) override {}
  std::map<std::string, std::string> mTranslations;
};

// Records every report as "level group/number flag: message"; throws a
// bsl_exception when asked to.
class RecordingManager : public bc::ErrorManager {
public:
  void ThrowErrorImpl(bc::ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup, std::int32_t inNumber,
                      bool inReport, const bc::ReplacementValue& in1, const bc::ReplacementValue& in2,
                      const bc::ReplacementValue& in3, const bc::ReplacementValue& in4) const override {
    std::string call = std::string(inLevel == bc::kErrorLevelFatal ? "fatal " : "non-fatal ") +
                       std::to_string(inGroup) + "/" + std::to_string(inNumber) +
                       (inReport ? " reported: " : " quiet: ") +
                       Narrow(bc::SubstituteErrorMessage(inKey, in1, in2, in3, in4));
    {
      std::lock_guard<std::mutex> hold(mLock);
      mCalls.push_back(std::move(call));
    }
    if (mThrow) throw bc::bsl_exception(inKey);
  }
  // Answers true mPurgeTrueTimes times, then false.
  bool PurgeMemory(std::uint64_t inByteCount) override {
    ++mPurges;
    mLastPurgeSize = inByteCount;
    if (mPurgeTrueTimes == 0) return false;
    --mPurgeTrueTimes;
    return true;
  }
  std::vector<std::string> Calls() const {
    std::lock_guard<std::mutex> hold(mLock);
    return mCalls;
  }
  mutable std::mutex mLock;
  mutable std::vector<std::string> mCalls;
  bool mThrow = false;
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
const char kManagerMissing[] = "bsl::config::ErrorManager not initialized. Check bsl/config/Errors.h.";

TEST_F(ErrorsTest, ThrowErrorReachesTheManagerWithItsArgumentsAndTheTranslation) {
  bc::ThrowError(bc::kErrorLevelNonFatal, kKey, 105, 7, false, bc::ReplacementValue(3), bc::ReplacementValue(4u));
  bc::TestThrowError(false);
  bc::TestThrowError(true);
  mLocalizer.mTranslations["$$$/basalt/test/Error/sample"] = "Beispiel ^2 und ^1";
  bc::ThrowError(bc::kErrorLevelFatal, kKey, 105, 8, true, bc::ReplacementValue(1), bc::ReplacementValue(2));
  const std::vector<std::string> expected = {
      "non-fatal 105/7 quiet: Sample 3 and 4",
      "non-fatal 100/20 reported: This is a non-fatal exception. int:-2147483648, uint:4294967295, double:29.2334",
      "fatal 100/21 reported: This is a fatal exception.",
      "fatal 105/8 reported: Beispiel 2 und 1",
  };
  EXPECT_EQ(mManager.Calls(), expected);
}

// Each value replaces the first of its markers; values of kind none are skipped.
TEST_F(ErrorsTest, SubstitutionRules) {
  struct Case {
    const char* mKey;
    bc::ReplacementValue mValues[4];
    const char* mExpected;
  };
  const Case cases[] = {
      {"$$$/t/a=^1 twice ^1", {5}, "5 twice ^1"},
      {"$$$/t/a=^1 twice ^1", {}, "^1 twice ^1"},
      {"$$$/t/a=no marker", {5}, "no marker"},
      {"$$$/t/a=^1", {-7LL}, "-7"},
      {"$$$/t/a=^1", {18446744073709551615ULL}, "18446744073709551615"},
      {"$$$/t/a=^1", {1.0 / 3.0}, "0.333333"},
      {"$$$/t/a=^1", {1e21}, "1e+21"},
      {"$$$/t/a=^1", {2.5}, "2.5"},
      {"$$$/t/a=[^1]", {bc::ReplacementValue(BSL_STR("^1 text"))}, "[^1 text]"},
      {"$$$/t/a=a=b ^1", {bc::ReplacementValue(BSL_STR("x"))}, "a=b x"},
      {"$$$/t/a=^2 ^1", {1, 2}, "2 1"},
      {"$$$/t/a=^4", {{}, {}, {}, bc::ReplacementValue(BSL_STR("four"))}, "four"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mKey);
    EXPECT_EQ(Narrow(bc::SubstituteErrorMessage(c.mKey, c.mValues[0], c.mValues[1], c.mValues[2], c.mValues[3])),
              c.mExpected);
  }
}

TEST(ReplacementValue, CopiesOwnTheirString) {
  bc::ReplacementValue a(BSL_STR("alpha"));
  bc::ReplacementValue b(a);
  bc::ReplacementValue c;
  c = a;
  a = bc::ReplacementValue(5);
  EXPECT_EQ(a.GetKind(), bc::ReplacementValue::kKind_Signed);
  EXPECT_EQ(Narrow(b.GetString()), "alpha");
  const bc::ReplacementValue& alias = c;
  c = alias;  // self-assignment keeps the string
  EXPECT_EQ(Narrow(c.ToText()), "alpha");
  EXPECT_EQ(bc::ReplacementValue(4294967295u).GetKind(), bc::ReplacementValue::kKind_Unsigned);
  EXPECT_EQ(bc::ReplacementValue(-1).GetSigned(), -1);
  EXPECT_TRUE(bc::ReplacementValue().ToText().empty());
}

TEST_F(ErrorsTest, DeferredReporting) {
  boost::intrusive_ptr<bc::DeferredErrorReporter> reporter = mManager.NewDeferredErrorReporter(true);
  EXPECT_TRUE(mManager.IsErrorReportingDeferred());
  bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/first=first ^1", 105, 1, true, bc::ReplacementValue(1));
  bc::ThrowError(bc::kErrorLevelFatal, "$$$/t/second=second ^1", 105, 2, true, bc::ReplacementValue(2));
  bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/quiet=quiet", 105, 3, false);
  EXPECT_EQ(mManager.Calls().size(), 3u) << "every error still reaches the manager while deferred";
  EXPECT_EQ(reporter->GetErrorCount(), 2) << "errors without the report flag are not recorded";

  // Only the last recorded error is reported, once.
  reporter->Finish();
  reporter->Finish();
  std::vector<std::string> calls = mManager.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[3], "fatal 105/2 reported: second 2");

  // The newest reporter on the thread records; an inner one unwinds to the outer.
  {
    bc::DeferredErrorReporter inner(true);
    bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, 1, true);
    EXPECT_EQ(inner.GetErrorCount(), 1);
    EXPECT_EQ(reporter->GetErrorCount(), 0);
  }
  bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/y=y", 105, 1, true);
  EXPECT_EQ(reporter->GetErrorCount(), 1);

  // Reporting is per thread.
  std::thread other([&] {
    EXPECT_FALSE(mManager.IsErrorReportingDeferred());
    bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, 1, true);
  });
  other.join();
  EXPECT_EQ(reporter->GetErrorCount(), 1);

  // Report-when-finished off reports nothing.
  {
    bc::DeferredErrorReporter quiet(false);
    bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, 1, true);
    quiet.Finish();
    EXPECT_EQ(mManager.Calls().size(), 8u);
  }
  reporter.reset();
  EXPECT_FALSE(mManager.IsErrorReportingDeferred());
}

// More threads than one segment of the slot table holds defer at the same
// time; then all of them register and unregister nested reporters at once.
// Every thread sees only its own reporters, and released slots are reclaimed.
TEST_F(ErrorsTest, SlotTableUnderManyThreads) {
  const int kThreads = 300;
  const int kRounds = 30;
  std::atomic<int> registered{0};
  std::atomic<bool> release{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      {
        bc::DeferredErrorReporter held(true);
        ++registered;
        while (!release.load()) std::this_thread::yield();
        bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, t, true);
        if (held.GetErrorCount() != 1) ++failures;
      }
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
  while (registered.load() != kThreads) std::this_thread::yield();
  release = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mManager.Calls().size(), static_cast<std::size_t>(kThreads * (1 + kRounds * 2)));
}

// The localizer-missing text is checked with Localizer::Get in LocalizerTest.
TEST(ErrorManager, MissingManagerOrLocalizer) {
  ASSERT_EQ(bc::ErrorManager::Get(true), nullptr);
  try {
    bc::ThrowError(bc::kErrorLevelNonFatal, "$$$/t/x=x", 105, 1);
    FAIL() << "ThrowError without a manager must throw";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), kManagerMissing);
  }
  EXPECT_THROW(bc::DeferredErrorReporter reporter(true), std::logic_error);
  ASSERT_FALSE(bc::Localizer::Initialized());
  EXPECT_THROW(bc::SubstituteErrorMessage("$$$/t/x=x ^1", bc::ReplacementValue(1)), std::logic_error);
  {
    RecordingManager manager;
    bc::ErrorManager::Set(&manager);
    EXPECT_EQ(bc::ErrorManager::Get(), &manager);
  }
  EXPECT_EQ(bc::ErrorManager::Get(true), nullptr) << "the destructor uninstalls";
}

class NullKeyException : public bc::bsl_exception {
public:
  NullKeyException() : bc::bsl_exception("$$$/t/ignored=ignored") {}
  basalt::UTF8String Format(const char* inKey) const { return FormatErrorMessage(inKey); }
};

TEST_F(ErrorsTest, BslExceptionFormatsLazilyAndNeverThrowsFromWhat) {
  bc::bsl_exception error("$$$/basalt/test/Error/plain=Plain default text");
  EXPECT_STREQ(error.what(), "Plain default text");
  EXPECT_EQ(error.GetErrorMessage(), BSL_UTF8("Plain default text"));

  // The message is cached: a later translation does not change it.
  mLocalizer.mTranslations["$$$/basalt/test/Error/plain"] = "Translated";
  EXPECT_STREQ(error.what(), "Plain default text");
  EXPECT_STREQ(bc::bsl_exception(error).what(), "Plain default text");
  EXPECT_STREQ(bc::bsl_exception("$$$/basalt/test/Error/plain=Plain default text").what(), "Translated");
  EXPECT_STREQ(bc::bsl_exception(nullptr).what(), "Unknown exception");
  EXPECT_EQ(NullKeyException().Format(nullptr), BSL_UTF8("missing bsl_exception::FormatErrorMessage format string."));

  // Without a localizer, formatting fails; what() reports that and caches nothing.
  bc::Localizer::Set(nullptr);
  bc::bsl_exception orphan("$$$/basalt/test/Error/plain=Plain default text");
  EXPECT_STREQ(orphan.what(), "bsl_exception::what() error.");
  bc::Localizer::Set(&mLocalizer);
  EXPECT_STREQ(orphan.what(), "Translated");

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
  bc::ErrorManager* const managers[] = {&mManager, nullptr};
  for (bc::ErrorManager* manager : managers) {
    SCOPED_TRACE(manager ? "with a manager" : "without a manager");
    bc::ErrorManager::Set(manager);
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
}

// A request no system can satisfy; the handler is consulted each time.
void* HugeAllocation() { return ::operator new(static_cast<std::size_t>(1) << 62); }
void* HugeNothrowAllocation() { return ::operator new(static_cast<std::size_t>(1) << 62, std::nothrow); }

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BSL_SANITIZED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BSL_SANITIZED_HEAP 1
#endif
#endif

TEST_F(ErrorsTest, NewHandlerAsksTheManagerToPurge) {
#ifdef BSL_SANITIZED_HEAP
  GTEST_SKIP() << "the sanitizer heap reports impossible requests instead of calling the new handler";
#endif
  {
    bc::ErrorManager::NewHandlerInitializer handler;
    EXPECT_THROW(HugeAllocation(), std::bad_alloc);
    EXPECT_EQ(mManager.mPurges, 1);
    EXPECT_EQ(mManager.mLastPurgeSize, 0u);
    EXPECT_EQ(HugeNothrowAllocation(), nullptr);
    EXPECT_EQ(mManager.mPurges, 2);

    // Each purge that freed memory earns the allocation another try.
    mManager.mPurgeTrueTimes = 2;
    EXPECT_THROW(HugeAllocation(), std::bad_alloc);
    EXPECT_EQ(mManager.mPurges, 5);

    bc::ErrorManager::Set(nullptr);
    try {
      HugeAllocation();
      FAIL() << "must throw";
    } catch (const std::bad_alloc& e) {
      EXPECT_STREQ(e.what(), kManagerMissing);
    }
    EXPECT_EQ(HugeNothrowAllocation(), nullptr);
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
