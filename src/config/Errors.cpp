#include <basalt/config/Errors.h>

#include <basalt/config/Localizer.h>
#include <basalt/threads/ThreadIdentity.h>
#include <basalt/utility/UTFStreams.h>

#include "config/DebuggerInternal.h"

#include <cstring>
#include <new>
#include <vector>

namespace basalt {
namespace config {
namespace {

const char kManagerMissing[] = "bsl::config::ErrorManager not initialized. Check bsl/config/Errors.h.";
const char kEmptyFormatKey[] =
    "$$$/basalt/config/Error/bsl_exception/FormatErrorMessage/empty=missing bsl_exception::FormatErrorMessage format "
    "string.";
const char kWhatFailed[] = "bsl_exception::what() error.";
const char kUnknownException[] = "Unknown exception";
const char kFatalTestKey[] = "$$$/basalt/config/Error/test/fataltest=This is a fatal exception.";
const char kNonFatalTestKey[] =
    "$$$/basalt/config/Error/test/nonfataltest=This is a non-fatal exception. int:^1, uint:^2, double:^3";

std::atomic<ErrorManager*> S_managerP{nullptr};

}  // namespace

// ---------------------------------------------------------------------------
// ReplacementValue

ReplacementValue::ReplacementValue() noexcept : mKind(kKind_None), mUnsigned(0), mSigned(0), mDouble(0), mString(nullptr) {}

ReplacementValue::ReplacementValue(int inValue) noexcept : ReplacementValue(static_cast<long long>(inValue)) {}
ReplacementValue::ReplacementValue(long inValue) noexcept : ReplacementValue(static_cast<long long>(inValue)) {}
ReplacementValue::ReplacementValue(long long inValue) noexcept : ReplacementValue() {
  mKind = kKind_Signed;
  mSigned = inValue;
}
ReplacementValue::ReplacementValue(unsigned int inValue) noexcept
    : ReplacementValue(static_cast<unsigned long long>(inValue)) {}
ReplacementValue::ReplacementValue(unsigned long inValue) noexcept
    : ReplacementValue(static_cast<unsigned long long>(inValue)) {}
ReplacementValue::ReplacementValue(unsigned long long inValue) noexcept : ReplacementValue() {
  mKind = kKind_Unsigned;
  mUnsigned = inValue;
}
ReplacementValue::ReplacementValue(double inValue) noexcept : ReplacementValue() {
  mKind = kKind_Double;
  mDouble = inValue;
}
ReplacementValue::ReplacementValue(const UTF16String& inValue) : ReplacementValue() {
  mString = new UTF16String(inValue);
  mKind = kKind_String;
}

ReplacementValue::ReplacementValue(const ReplacementValue& inOther)
    : mKind(inOther.mKind),
      mUnsigned(inOther.mUnsigned),
      mSigned(inOther.mSigned),
      mDouble(inOther.mDouble),
      mString(inOther.mString ? new UTF16String(*inOther.mString) : nullptr) {}

ReplacementValue& ReplacementValue::operator=(const ReplacementValue& inOther) {
  if (this != &inOther) {
    UTF16String* copy = inOther.mString ? new UTF16String(*inOther.mString) : nullptr;
    delete mString;
    mString = copy;
    mKind = inOther.mKind;
    mUnsigned = inOther.mUnsigned;
    mSigned = inOther.mSigned;
    mDouble = inOther.mDouble;
  }
  return *this;
}

ReplacementValue::~ReplacementValue() { delete mString; }

UTF16String ReplacementValue::GetString() const { return mString ? *mString : UTF16String(); }

UTF16String ReplacementValue::ToText() const {
  switch (GetKind()) {
    case kKind_None:
      return UTF16String();
    case kKind_String:
      return GetString();
    default:
      break;
  }
  oUTF16StringStream stream;
  if (mKind == kKind_Signed)
    stream << static_cast<long long>(mSigned);
  else if (mKind == kKind_Unsigned)
    stream << static_cast<unsigned long long>(mUnsigned);
  else
    stream << mDouble;
  return stream.str();
}

// ---------------------------------------------------------------------------
// bsl_exception

bsl_exception::bsl_exception(const char* const inKey) : std::runtime_error(inKey ? inKey : ""), mHasKey(inKey != nullptr) {}

bsl_exception::bsl_exception(const bsl_exception& inOther)
    : std::runtime_error(inOther), mHasKey(inOther.mHasKey), mMessage(inOther.mMessage) {}

bsl_exception& bsl_exception::operator=(const bsl_exception& inOther) {
  std::runtime_error::operator=(inOther);
  mHasKey = inOther.mHasKey;
  mMessage = inOther.mMessage;
  return *this;
}

bsl_exception::~bsl_exception() noexcept = default;

const char* bsl_exception::what() const noexcept {
  try {
    if (mMessage.empty()) {
      const char* key = mHasKey ? std::runtime_error::what() : kUnknownException;
      mMessage = FormatErrorMessage(key);
    }
    return reinterpret_cast<const char*>(mMessage.c_str());
  } catch (...) {
    return kWhatFailed;
  }
}

const UTF8String& bsl_exception::GetErrorMessage() const {
  what();
  return mMessage;
}

UTF8String bsl_exception::FormatErrorMessage(const char* inKey) const {
  return utility::UTF16to8(Localizer::Get()->Localize(inKey ? inKey : kEmptyFormatKey));
}

// ---------------------------------------------------------------------------
// Per-thread slot table. Lookups take no lock: slots are claimed by
// compare-and-exchange of the thread id, segments are linked the same way, and
// a slot's reporter list is only ever touched by the thread owning the slot.

namespace {

const std::uint32_t kSlotsPerSegment = 256;

struct Slot {
  std::atomic<unsigned int> mThreadID{0};
  std::vector<DeferredErrorReporter*> mReporters;  // newest first
};

struct Segment {
  Slot mSlots[kSlotsPerSegment];
  std::atomic<Segment*> mNext{nullptr};
};

}  // namespace

struct ErrorManager::SlotTable {
  Segment mFirst;
  std::atomic<std::uint32_t> mCount{0};

  ~SlotTable() {
    Segment* segment = mFirst.mNext.load(std::memory_order_acquire);
    while (segment) {
      Segment* next = segment->mNext.load(std::memory_order_acquire);
      delete segment;
      segment = next;
    }
  }

  Slot& At(std::uint32_t inIndex) {
    Segment* segment = &mFirst;
    for (std::uint32_t hop = inIndex / kSlotsPerSegment; hop > 0; --hop) {
      Segment* next = segment->mNext.load(std::memory_order_acquire);
      if (next == nullptr) {
        Segment* fresh = new Segment;
        if (segment->mNext.compare_exchange_strong(next, fresh, std::memory_order_acq_rel))
          next = fresh;
        else
          delete fresh;  // another thread linked one first; next holds it
      }
      segment = next;
    }
    return segment->mSlots[inIndex % kSlotsPerSegment];
  }

  Slot* Find(unsigned int inThreadID) {
    const std::uint32_t count = mCount.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < count; ++i) {
      Slot& slot = At(i);
      if (slot.mThreadID.load(std::memory_order_acquire) == inThreadID) return &slot;
    }
    return nullptr;
  }

  Slot& Claim(unsigned int inThreadID) {
    Slot* claimed = nullptr;
    const std::uint32_t count = mCount.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; i < count; ++i) {
      Slot& slot = At(i);
      unsigned int id = slot.mThreadID.load(std::memory_order_acquire);
      if (id == inThreadID) {
        if (claimed) claimed->mThreadID.store(0, std::memory_order_release);
        return slot;
      }
      if (id == 0 && claimed == nullptr &&
          slot.mThreadID.compare_exchange_strong(id, inThreadID, std::memory_order_acq_rel))
        claimed = &slot;
    }
    if (claimed) return *claimed;
    for (;;) {
      const std::uint32_t index = mCount.fetch_add(1, std::memory_order_acq_rel);
      Slot& slot = At(index);
      unsigned int expected = 0;
      if (slot.mThreadID.compare_exchange_strong(expected, inThreadID, std::memory_order_acq_rel)) return slot;
    }
  }
};

// ---------------------------------------------------------------------------
// ErrorManager

ErrorManager::ErrorManager() : mSlots(new SlotTable) {}

ErrorManager::~ErrorManager() {
  ErrorManager* self = this;
  S_managerP.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  delete mSlots;
}

bool ErrorManager::PurgeMemory(std::uint64_t) { return false; }
void ErrorManager::IncrementLazilyDisplayErrors() {}
void ErrorManager::DecrementLazilyDisplayErrors() {}

int ErrorManager::ExecuteFunctionAndConvertException(boost::function0<int> inFunction) { return inFunction(); }

int ErrorManager::ExecuteFunctionWithTopLevelExceptionHandler(boost::function0<int> inFunction) {
  int result = 1;
  try {
    boost::function0<int> copy(inFunction);
    inFunction.clear();
    result = ExecuteFunctionAndConvertException(copy);
  } catch (...) {
    result = 1;
  }
  return result;
}

boost::intrusive_ptr<DeferredErrorReporter> ErrorManager::NewDeferredErrorReporter(bool inReportErrorWhenFinished) {
  return boost::intrusive_ptr<DeferredErrorReporter>(new AllocatedDeferredErrorReporter(inReportErrorWhenFinished));
}

void ErrorManager::ThrowErrorDispatch(ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup,
                                      std::int32_t inNumber, bool inReport, const ReplacementValue& inValue1,
                                      const ReplacementValue& inValue2, const ReplacementValue& inValue3,
                                      const ReplacementValue& inValue4) const {
  if (inReport) {
    if (DeferredErrorReporter* reporter = GetCurrentErrorReporterForThisThread())
      reporter->SetLastError(inLevel, inKey, inGroup, inNumber, inValue1, inValue2, inValue3, inValue4);
  }
  ThrowErrorImpl(inLevel, inKey, inGroup, inNumber, inReport, inValue1, inValue2, inValue3, inValue4);
}

bool ErrorManager::IsErrorReportingDeferred() const { return GetCurrentErrorReporterForThisThread() != nullptr; }

DeferredErrorReporter* ErrorManager::GetCurrentErrorReporterForThisThread() const {
  Slot* slot = mSlots->Find(threads::GetCurrentThreadID());
  return slot && !slot->mReporters.empty() ? slot->mReporters.front() : nullptr;
}

void ErrorManager::AddDeferredErrorReporter(DeferredErrorReporter* inReporter) {
  if (inReporter == nullptr) return;
  Slot& slot = mSlots->Claim(threads::GetCurrentThreadID());
  slot.mReporters.insert(slot.mReporters.begin(), inReporter);
}

void ErrorManager::RemoveDeferredErrorReporter(DeferredErrorReporter* inReporter) {
  if (inReporter == nullptr) return;
  Slot* slot = mSlots->Find(threads::GetCurrentThreadID());
  if (slot == nullptr) return;
  std::vector<DeferredErrorReporter*>& list = slot->mReporters;
  for (auto it = list.begin(); it != list.end();) it = *it == inReporter ? list.erase(it) : it + 1;
  if (list.empty()) {
    // Give the memory back too: the next owner of the slot may be a thread
    // that never defers again.
    std::vector<DeferredErrorReporter*>().swap(list);
    slot->mThreadID.store(0, std::memory_order_release);
  }
}

ErrorManager* ErrorManager::Get(bool inMayBeMissing) {
  ErrorManager* manager = S_managerP.load(std::memory_order_acquire);
  if (manager == nullptr && !inMayBeMissing) throw std::logic_error(kManagerMissing);
  return manager;
}

void ErrorManager::Set(ErrorManager* inManager) { S_managerP.store(inManager, std::memory_order_release); }

namespace {

// A std::bad_alloc that says why no memory could be purged.
class manager_missing_bad_alloc : public std::bad_alloc {
public:
  const char* what() const noexcept override { return kManagerMissing; }
};

void PurgeMemoryNewHandler() {
  ErrorManager* manager = ErrorManager::Get(true);
  if (manager == nullptr) throw manager_missing_bad_alloc();
  // The handler is not told the request size: 0 asks for whatever can be freed.
  if (!manager->PurgeMemory(0)) throw std::bad_alloc();
}

}  // namespace

ErrorManager::NewHandlerInitializer::NewHandlerInitializer() { std::set_new_handler(&PurgeMemoryNewHandler); }

ErrorManager::NewHandlerInitializer::~NewHandlerInitializer() { std::set_new_handler(nullptr); }

// ---------------------------------------------------------------------------
// DeferredErrorReporter

DeferredErrorReporter::DeferredErrorReporter(bool inReportErrorWhenFinished)
    : mManager(ErrorManager::Get(false)),
      mReportWhenFinished(inReportErrorWhenFinished),
      mLevel(-1),
      mGroup(0),
      mNumber(0),
      mErrorCount(0) {
  mManager->AddDeferredErrorReporter(this);
}

DeferredErrorReporter::~DeferredErrorReporter() { mManager->RemoveDeferredErrorReporter(this); }

void DeferredErrorReporter::SetLastError(ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup,
                                         std::int32_t inNumber, const ReplacementValue& inValue1,
                                         const ReplacementValue& inValue2, const ReplacementValue& inValue3,
                                         const ReplacementValue& inValue4) {
  ++mErrorCount;
  mLevel = inLevel;
  mKey = inKey ? inKey : "";
  mGroup = inGroup;
  mNumber = inNumber;
  mValues[0] = inValue1;
  mValues[1] = inValue2;
  mValues[2] = inValue3;
  mValues[3] = inValue4;
}

void DeferredErrorReporter::Finish() {
  if (!mReportWhenFinished || mErrorCount == 0) return;
  mErrorCount = 0;
  mManager->ThrowErrorImpl(static_cast<ErrorLevel>(mLevel), mKey.c_str(), mGroup, mNumber, true, mValues[0],
                           mValues[1], mValues[2], mValues[3]);
}

AllocatedDeferredErrorReporter::AllocatedDeferredErrorReporter(bool inReportErrorWhenFinished)
    : DeferredErrorReporter(inReportErrorWhenFinished) {}

AllocatedDeferredErrorReporter::~AllocatedDeferredErrorReporter() = default;

// ---------------------------------------------------------------------------
// Free functions

void ThrowError(ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup, std::int32_t inNumber, bool inReport,
                const ReplacementValue& inValue1, const ReplacementValue& inValue2, const ReplacementValue& inValue3,
                const ReplacementValue& inValue4) {
  ErrorManager::Get(false)->ThrowErrorDispatch(inLevel, inKey, inGroup, inNumber, inReport, inValue1, inValue2,
                                               inValue3, inValue4);
}

UTF16String SubstituteErrorMessage(const char* inKey, const ReplacementValue& inValue1,
                                   const ReplacementValue& inValue2, const ReplacementValue& inValue3,
                                   const ReplacementValue& inValue4) {
  UTF16String text = Localizer::Get()->Localize(inKey);
  const ReplacementValue* values[4] = {&inValue1, &inValue2, &inValue3, &inValue4};
  for (int i = 0; i < 4; ++i) {
    if (values[i]->GetKind() == ReplacementValue::kKind_None) continue;
    const UTF16Char marker[2] = {u'^', static_cast<UTF16Char>(u'1' + i)};
    const UTF16String::size_type at = text.find(marker, 0, 2);
    if (at != UTF16String::npos) text.replace(at, 2, values[i]->ToText());
  }
  return text;
}

void TestThrowError(bool inFatal) {
  if (inFatal) {
    ThrowError(kErrorLevelFatal, kFatalTestKey, 100, 21, true);
  } else {
    ThrowError(kErrorLevelNonFatal, kNonFatalTestKey, 100, 20, true, ReplacementValue(-2147483647LL - 1),
               ReplacementValue(4294967295ULL), ReplacementValue(29.2334), ReplacementValue());
  }
}

namespace {

int CallReturningZero(const boost::function0<void>& inFunction) {
  inFunction();
  return 0;
}

}  // namespace

template <>
void ExecuteTopLevelFunction<void>(const boost::function0<void>& inFunction, bool* outExceptionCaught) {
  if (ErrorManager* manager = ErrorManager::Get(true)) {
    boost::function0<int> wrapped = [inFunction]() { return CallReturningZero(inFunction); };
    const int result = manager->ExecuteFunctionWithTopLevelExceptionHandler(wrapped);
    if (outExceptionCaught) *outExceptionCaught = result == 1;
    return;
  }
  if (outExceptionCaught) *outExceptionCaught = false;
  try {
    inFunction();
  } catch (...) {
    if (outExceptionCaught) *outExceptionCaught = true;
  }
}

}  // namespace config

namespace utility {
namespace exceptions {
namespace {

struct MachineExceptionText {
  std::uint32_t mCode;
  const char* mText;
};

const MachineExceptionText kMachineExceptionTexts[] = {
    {0xC0000005u,
     "EXCEPTION_ACCESS_VIOLATION (The thread attempted to read from or write to a virtual address for which it does "
     "not have the appropriate access.)"},
    {0x80000002u,
     "EXCEPTION_DATATYPE_MISALIGNMENT (The thread attempted to read or write data that is misaligned on hardware that "
     "does not provide alignment. For example, 16-bit values must be aligned on 2-byte boundaries, 32-bit values on "
     "4-byte boundaries, and so on.)"},
    {0x80000003u, "EXCEPTION_BREAKPOINT (A breakpoint was encountered.)"},
    {0x80000004u,
     "EXCEPTION_SINGLE_STEP (A trace trap or other single-instruction mechanism signaled that one instruction has "
     "been executed.)"},
    {0xC0000025u,
     "EXCEPTION_NONCONTINUABLE_EXCEPTION (The thread attempted to continue execution after a noncontinuable "
     "exception occurred.)"},
    {0xC000008Cu,
     "EXCEPTION_ARRAY_BOUNDS_EXCEEDED (The thread attempted to access an array element that is out of bounds, and "
     "the underlying hardware supports bounds checking.)"},
    {0xC000008Du,
     "EXCEPTION_FLT_DENORMAL_OPERAND (One of the operands in a floating-point operation is denormal. A denormal "
     "value is one that is too small to represent as a standard floating-point value.)"},
    {0xC000008Eu,
     "EXCEPTION_FLT_DIVIDE_BY_ZERO (The thread attempted to divide a floating-point value by a floating-point "
     "divisor of zero.)"},
    {0xC000008Fu,
     "EXCEPTION_FLT_INEXACT_RESULT (The result of a floating-point operation cannot be represented exactly as a "
     "decimal fraction.)"},
    {0xC0000090u,
     "EXCEPTION_FLT_INVALID_OPERATION (This exception represents any floating-point exception not included in this "
     "list.)"},
    {0xC0000091u,
     "EXCEPTION_FLT_OVERFLOW (The exponent of a floating-point operation is greater than the magnitude allowed by "
     "the corresponding type.)"},
    {0xC0000092u,
     "EXCEPTION_FLT_STACK_CHECK (The stack overflowed or underflowed as the result of a floating-point operation.)"},
    {0xC0000093u,
     "EXCEPTION_FLT_UNDERFLOW (The exponent of a floating-point operation is less than the magnitude allowed by the "
     "corresponding type.)"},
    {0xC0000094u,
     "EXCEPTION_INT_DIVIDE_BY_ZERO (The thread attempted to divide an integer value by an integer divisor of zero.)"},
    {0xC0000095u,
     "EXCEPTION_INT_OVERFLOW (The result of an integer operation caused a carry out of the most significant bit of "
     "the result.)"},
    {0xC0000096u,
     "EXCEPTION_PRIV_INSTRUCTION (The thread attempted to execute an instruction whose operation is not allowed in "
     "the current machine mode.)"},
};

const std::uint32_t kBreakpointCode = 0x80000003u;

// Set when the developer asked not to be asked again about machine exceptions.
std::atomic<bool> sDoNotAskAgain{false};

}  // namespace

const char* GetMachineExceptionText(std::uint32_t inCode) noexcept {
  for (const MachineExceptionText& entry : kMachineExceptionTexts)
    if (entry.mCode == inCode) return entry.mText;
  return "An unknown machine exception has occurred.";
}

std::int32_t InternalHiddenFilterWindowsSEHException(std::uint32_t inCode, const char* inFile, std::uint32_t inLine,
                                                     const char* inFunction) {
  if (inCode == kBreakpointCode) return 0;
  if (!config::internal::IsDebuggerAttached() || sDoNotAskAgain.load()) return 1;
  bool doNotAskAgain = false;
  const bool wantsToDebug = config::internal::AskToDebugMachineException(
      GetMachineExceptionText(inCode), "Hit Debug to see where the exception occurred.", inFile, inLine, inFunction,
      &doNotAskAgain);
  if (doNotAskAgain) sDoNotAskAgain.store(true);
  if (!wantsToDebug) return 1;
  return config::internal::IsDebuggerAttached() ? 0 : 1;
}

}  // namespace exceptions
}  // namespace utility
}  // namespace basalt
