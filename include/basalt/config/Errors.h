// Errors: the library's exception class, the host-installed error manager and
// deferred error reporting.
//
// Code that detects a failure calls ThrowError with a ZString message key, a
// level, a group and number, a report flag and up to four values for the
// markers "^1".."^4" of the message. ThrowError hands all of it to the
// ErrorManager the host installed; the host's ThrowErrorImpl throws, shows or
// logs. The library's own groups: 100 configuration, 104 property lists,
// 105 utility, 107 geometry, 109 file support.
//
// Deferred reporting: while a DeferredErrorReporter lives on a thread, errors
// raised there with the report flag set are also recorded in it (only the
// last one is kept); Finish reports that last error once.
//
// Thread safety: ThrowError may be called from any thread. Deferred reporting
// is strictly per thread: a reporter must be destroyed on the thread that
// created it. Install the manager with Set before threads use it.
#ifndef BASALT_CONFIG_ERRORS_H
#define BASALT_CONFIG_ERRORS_H

#include <basalt/utility/Export.h>
#include <basalt/utility/RefCountedObject.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/UnicodeString.h>

#include <boost/function.hpp>
#include <boost/intrusive_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace basalt {
namespace config {

enum ErrorLevel { kErrorLevelFatal = 0, kErrorLevelNonFatal = 1 };

// A typed value for a "^n" marker of an error message.
class BSL_EXPORT ReplacementValue {
public:
  enum Kind { kKind_None = 0, kKind_Signed = 1, kKind_Unsigned = 2, kKind_Double = 3, kKind_String = 4 };

  ReplacementValue() noexcept;
  ReplacementValue(int inValue) noexcept;
  ReplacementValue(long inValue) noexcept;
  ReplacementValue(long long inValue) noexcept;
  ReplacementValue(unsigned int inValue) noexcept;
  ReplacementValue(unsigned long inValue) noexcept;
  ReplacementValue(unsigned long long inValue) noexcept;
  ReplacementValue(double inValue) noexcept;
  ReplacementValue(const UTF16String& inValue);
  ReplacementValue(const ReplacementValue& inOther);
  ReplacementValue& operator=(const ReplacementValue& inOther);
  ~ReplacementValue();

  Kind GetKind() const noexcept { return static_cast<Kind>(mKind); }
  std::int64_t GetSigned() const noexcept { return mSigned; }
  std::uint64_t GetUnsigned() const noexcept { return mUnsigned; }
  double GetDouble() const noexcept { return mDouble; }
  // Empty unless the kind is kKind_String.
  UTF16String GetString() const;

  // The text a marker is replaced with: the string itself, or the number as
  // written by a UTF-16 string stream with default formatting under the
  // classic locale (a double gets 6 significant digits). Empty for kKind_None.
  UTF16String ToText() const;

private:
  std::int32_t mKind;
  std::uint64_t mUnsigned;
  std::int64_t mSigned;
  double mDouble;
  UTF16String* mString;
};

// The library's exception. what() is the localized text of the message key,
// formatted on first use and cached; it never throws.
class BSL_EXPORT bsl_exception : public std::runtime_error {
public:
  explicit bsl_exception(const char* const inKey);
  bsl_exception(const bsl_exception& inOther);
  bsl_exception& operator=(const bsl_exception& inOther);
  ~bsl_exception() noexcept override;

  // The formatted message as UTF-8; "bsl_exception::what() error." when
  // formatting failed.
  const char* what() const noexcept override;
  // The formatted message (what() then the cache).
  virtual const UTF8String& GetErrorMessage() const;

protected:
  // The key's localized text as UTF-8. Subclasses format their own messages.
  virtual UTF8String FormatErrorMessage(const char* inKey) const;

private:
  bool mHasKey;
  mutable UTF8String mMessage;
};

class DeferredErrorReporter;

// The host's error policy. Install one with Set before calling into the
// library; Set does not take ownership.
class BSL_EXPORT ErrorManager {
public:
  ErrorManager();
  ErrorManager(const ErrorManager&) = delete;
  ErrorManager& operator=(const ErrorManager&) = delete;
  // Uninstalls the manager when it is the installed one.
  virtual ~ErrorManager();

  // Asked to free inByteCount bytes after an allocation failed (0 when the
  // size is not known); answers whether memory was freed. Base: false.
  virtual bool PurgeMemory(std::uint64_t inByteCount);
  virtual void IncrementLazilyDisplayErrors();
  virtual void DecrementLazilyDisplayErrors();
  // Base: calls the function and returns its result.
  virtual int ExecuteFunctionAndConvertException(boost::function0<int> inFunction);
  // Runs ExecuteFunctionAndConvertException on a copy of the function inside
  // a catch-all: the function's result, or 1 when an exception escaped.
  virtual int ExecuteFunctionWithTopLevelExceptionHandler(boost::function0<int> inFunction);
  // A new AllocatedDeferredErrorReporter registered on the calling thread.
  virtual boost::intrusive_ptr<DeferredErrorReporter> NewDeferredErrorReporter(bool inReportErrorWhenFinished);
  // Raises or presents the error; the host decides.
  virtual void ThrowErrorImpl(ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup, std::int32_t inNumber,
                              bool inReport, const ReplacementValue& inValue1, const ReplacementValue& inValue2,
                              const ReplacementValue& inValue3, const ReplacementValue& inValue4) const = 0;

  // Records the error in the calling thread's newest deferred reporter when
  // there is one and inReport is set, then calls ThrowErrorImpl.
  void ThrowErrorDispatch(ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup, std::int32_t inNumber,
                          bool inReport, const ReplacementValue& inValue1, const ReplacementValue& inValue2,
                          const ReplacementValue& inValue3, const ReplacementValue& inValue4) const;

  // True when the calling thread has at least one active deferred reporter.
  bool IsErrorReportingDeferred() const;

  // The installed manager. When none is installed: null with
  // inMayBeMissing, otherwise std::logic_error.
  static ErrorManager* Get(bool inMayBeMissing = false);
  static void Set(ErrorManager* inManager);

  // While alive, the process's allocation-failure handler asks the installed
  // manager to purge memory: when PurgeMemory answers true the failed
  // allocation is retried, otherwise std::bad_alloc is thrown. The handler is
  // not told the size of the failed request, so it passes 0 ("unknown: free
  // what you can"). Without a manager the handler throws a std::bad_alloc
  // whose what() is the manager-missing text: an allocation-failure handler
  // may throw nothing else without terminating nothrow allocations. A manager
  // that answers true without freeing anything makes the allocation retry
  // for as long as it does so.
  class BSL_EXPORT NewHandlerInitializer {
  public:
    NewHandlerInitializer();
    NewHandlerInitializer(const NewHandlerInitializer&) = delete;
    NewHandlerInitializer& operator=(const NewHandlerInitializer&) = delete;
    ~NewHandlerInitializer();
  };

  struct SlotTable;

protected:
  DeferredErrorReporter* GetCurrentErrorReporterForThisThread() const;
  void AddDeferredErrorReporter(DeferredErrorReporter* inReporter);
  void RemoveDeferredErrorReporter(DeferredErrorReporter* inReporter);

private:
  friend class DeferredErrorReporter;
  SlotTable* mSlots;
};

// Collects the last error raised on its thread while it lives.
class BSL_EXPORT DeferredErrorReporter : public utility::RefCountedObject {
public:
  // Registers with the installed manager for the calling thread; throws
  // std::logic_error when no manager is installed.
  explicit DeferredErrorReporter(bool inReportErrorWhenFinished);
  DeferredErrorReporter(const DeferredErrorReporter&) = delete;
  DeferredErrorReporter& operator=(const DeferredErrorReporter&) = delete;
  // Unregisters; must run on the creating thread.
  ~DeferredErrorReporter() override;

  void SetReportErrorWhenFinished(bool inReport) { mReportWhenFinished = inReport; }
  bool GetReportErrorWhenFinished() const { return mReportWhenFinished; }
  // Reports the last recorded error once, when reporting is enabled and an
  // error was recorded since the last report.
  virtual void Finish();

  // Errors recorded since the last report.
  int GetErrorCount() const { return mErrorCount; }

private:
  friend class ErrorManager;
  void SetLastError(ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup, std::int32_t inNumber,
                    const ReplacementValue& inValue1, const ReplacementValue& inValue2,
                    const ReplacementValue& inValue3, const ReplacementValue& inValue4);

  ErrorManager* mManager;
  bool mReportWhenFinished;
  int mLevel;
  std::string mKey;
  std::uint32_t mGroup;
  std::int32_t mNumber;
  ReplacementValue mValues[4];
  int mErrorCount;
};

// The reporter whose storage comes from the small-block allocator.
class BSL_EXPORT AllocatedDeferredErrorReporter : public DeferredErrorReporter,
                                                  public utility::SmallBlockAllocator::Allocated<AllocatedDeferredErrorReporter> {
public:
  using utility::SmallBlockAllocator::Allocated<AllocatedDeferredErrorReporter>::operator new;
  using utility::SmallBlockAllocator::Allocated<AllocatedDeferredErrorReporter>::operator delete;
  explicit AllocatedDeferredErrorReporter(bool inReportErrorWhenFinished);
  ~AllocatedDeferredErrorReporter() override;
};

// Reports an error through the installed manager; std::logic_error when none
// is installed. Returns only if the manager's ThrowErrorImpl returns.
BSL_EXPORT void ThrowError(ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup, std::int32_t inNumber,
                           bool inReport = true, const ReplacementValue& inValue1 = ReplacementValue(),
                           const ReplacementValue& inValue2 = ReplacementValue(),
                           const ReplacementValue& inValue3 = ReplacementValue(),
                           const ReplacementValue& inValue4 = ReplacementValue());

// The localized text of inKey with the first "^1".."^4" replaced by the
// values that are not of kind none; later occurrences stay.
BSL_EXPORT UTF16String SubstituteErrorMessage(const char* inKey, const ReplacementValue& inValue1 = ReplacementValue(),
                                              const ReplacementValue& inValue2 = ReplacementValue(),
                                              const ReplacementValue& inValue3 = ReplacementValue(),
                                              const ReplacementValue& inValue4 = ReplacementValue());

// Raises the library's test error: fatal 100/21 or non-fatal 100/20.
BSL_EXPORT void TestThrowError(bool inFatal);

// Runs a function under a top-level guard: exceptions are swallowed and
// reported through *outExceptionCaught (may be null). With a manager
// installed the function runs through its
// ExecuteFunctionWithTopLevelExceptionHandler. An empty function counts as
// throwing.
template <class R>
R ExecuteTopLevelFunction(const boost::function0<R>& inFunction, bool* outExceptionCaught);
template <>
BSL_EXPORT void ExecuteTopLevelFunction<void>(const boost::function0<void>& inFunction, bool* outExceptionCaught);

}  // namespace config

namespace utility {
namespace exceptions {

// The readable text of a machine exception code; "An unknown machine
// exception has occurred." for codes without one.
BSL_EXPORT const char* GetMachineExceptionText(std::uint32_t inCode) noexcept;

// Verdict for a machine-exception guard: 1 handle the exception here, 0 let
// it pass on (to an attached debugger). A breakpoint always passes on; with
// no debugger attached, or after the user chose not to be asked again, the
// exception is handled here; otherwise the developer is asked.
//
// Signals are never turned into C++ exceptions on Linux; this exists for
// guards written around code that reports machine exceptions by code.
BSL_EXPORT std::int32_t InternalHiddenFilterWindowsSEHException(std::uint32_t inCode, const char* inFile,
                                                                 std::uint32_t inLine, const char* inFunction);

}  // namespace exceptions
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_CONFIG_ERRORS_H
