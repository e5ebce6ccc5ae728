#include <basalt/config/ClientConfiguration.h>

#include "config/ClientConfigurationInternal.h"

#include <mutex>

namespace basalt {
namespace config {
namespace {

// One stored value with its set flag. The strings are built on first use so
// that reading from another library's static initialiser is safe.
struct Value {
  explicit Value(const char* inDefault) : mText(utility::AsciiToUTF16(inDefault, std::char_traits<char>::length(inDefault))) {}
  void Set(const UTF16String& inText) {
    if (&inText != &mText) mText = inText;
    mIsSet = true;
  }
  UTF16String mText;
  bool mIsSet = false;
};

struct Identity {
  Value mClientName{"No Client Name"};
  Value mApplicationName{"No Application Name"};
  Value mClientVersion{"No Client Version"};
  Value mClientInternalVersion{"No Client Internal Version"};
  Value mClientBuildNumber{"No Client Internal Version"};
  Value mCompanyName{"No Company Name"};
  Value mClientPrefsDir{""};
  Value mSuiteVersion{"No Client Suite Version"};
  Value mGMVersion{"11.0.0"};
  Value mQuillCode{"No Quill Code"};
  Value mCrosswireSpecifier{"No Crosswire specifier"};
};

Identity& TheIdentity() {
  // Never destroyed: other libraries may read the identity from their own
  // static destructors.
  static Identity* sIdentity = new Identity;
  return *sIdentity;
}

const int kSuiteYearBase = 2006;

struct UsageLoggerSlot {
  std::mutex mLock;
  boost::shared_ptr<UsageLogger> mLogger;
};

UsageLoggerSlot& TheUsageLoggerSlot() {
  static UsageLoggerSlot* sSlot = new UsageLoggerSlot;
  return *sSlot;
}

}  // namespace

const UTF16String& GetClientName() { return TheIdentity().mClientName.mText; }
void SetClientName(const UTF16String& inName) { TheIdentity().mClientName.Set(inName); }
bool IsClientNameInitialized() { return TheIdentity().mClientName.mIsSet; }

const UTF16String& GetApplicationName() {
  const Identity& identity = TheIdentity();
  return identity.mApplicationName.mIsSet ? identity.mApplicationName.mText : identity.mClientName.mText;
}
void SetApplicationName(const UTF16String& inName) { TheIdentity().mApplicationName.Set(inName); }

const UTF16String& GetClientVersion() { return TheIdentity().mClientVersion.mText; }
void SetClientVersion(const UTF16String& inVersion) { TheIdentity().mClientVersion.Set(inVersion); }

const UTF16String& GetClientInternalVersion() { return TheIdentity().mClientInternalVersion.mText; }
void SetClientInternalVersion(const UTF16String& inVersion) { TheIdentity().mClientInternalVersion.Set(inVersion); }

const UTF16String& GetClientBuildNumber() { return TheIdentity().mClientBuildNumber.mText; }
void SetClientBuildNumber(const UTF16String& inBuildNumber) { TheIdentity().mClientBuildNumber.Set(inBuildNumber); }

const UTF16String& GetCompanyName() { return TheIdentity().mCompanyName.mText; }
void SetCompanyName(const UTF16String& inName) { TheIdentity().mCompanyName.Set(inName); }

const UTF16String& GetClientPrefsDir() { return TheIdentity().mClientPrefsDir.mText; }
void SetClientPrefsDir(const UTF16String& inDirectory) { TheIdentity().mClientPrefsDir.Set(inDirectory); }

void SetClientSuiteVersion(const UTF16String& inVersion) { TheIdentity().mSuiteVersion.Set(inVersion); }

const UTF16String& GetGMVersion() { return TheIdentity().mGMVersion.mText; }
void SetGMVersion(const UTF16String& inVersion) { TheIdentity().mGMVersion.Set(inVersion); }

const UTF16String& GetQuillCode() { return TheIdentity().mQuillCode.mText; }
void SetQuillCode(const UTF16String& inCode) { TheIdentity().mQuillCode.Set(inCode); }

const UTF16String& GetCrosswireSpecifier() { return TheIdentity().mCrosswireSpecifier.mText; }
void SetCrosswireSpecifier(const UTF16String& inSpecifier) { TheIdentity().mCrosswireSpecifier.Set(inSpecifier); }

UTF16String GetClientPlatform() { return internal::PlatformName(); }
UTF16String GetSuiteClientFamily() { return BSL_STR("SV"); }
int GetSuiteClientMinorVersion() { return 0; }
UTF16String GetSuiteClientVersion_NumberOnly() { return BSL_STR("11.0"); }

UTF16String GetSuiteClientVersion(bool inWithFamily, bool inWithMinor) {
  const Value& stored = TheIdentity().mSuiteVersion;
  if (stored.mIsSet) return stored.mText;

  const UTF16String number = GetSuiteClientVersion_NumberOnly();
  int major = 0;
  for (UTF16Char unit : number) {
    if (unit < u'0' || unit > u'9') break;
    major = major * 10 + (unit - u'0');
  }
  const std::string year = std::to_string(kSuiteYearBase + major);

  UTF16String result;
  if (inWithFamily) result += GetSuiteClientFamily() + u' ';
  result += utility::AsciiToUTF16(year.data(), year.size());
  if (inWithMinor) {
    const std::string minor = std::to_string(GetSuiteClientMinorVersion());
    result += u'.';
    result += utility::AsciiToUTF16(minor.data(), minor.size());
  }
  return result;
}

UTF16String GetClientDisplayName(bool inWithVersion, bool inWithMinor) {
  UTF16String result = GetCompanyName();
  result += u' ';
  result += GetClientName();
  result += u' ';
  result += inWithVersion ? GetSuiteClientVersion(true, inWithMinor) : GetSuiteClientFamily();
  return result;
}

UTF16String GetSuiteClientName() {
  return GetClientDisplayName(true, true) + BSL_STR(" (") + GetClientPlatform() + BSL_STR(")");
}

UTF16String GetVersionString() { return BSL_STR("2.0.0.Bramble"); }

UsageLogger::~UsageLogger() = default;

boost::shared_ptr<UsageLogger> UsageLogger::Get() {
  UsageLoggerSlot& slot = TheUsageLoggerSlot();
  std::lock_guard<std::mutex> hold(slot.mLock);
  return slot.mLogger;
}

void UsageLogger::Set(const boost::shared_ptr<UsageLogger>& inLogger) {
  boost::shared_ptr<UsageLogger> previous;
  UsageLoggerSlot& slot = TheUsageLoggerSlot();
  {
    std::lock_guard<std::mutex> hold(slot.mLock);
    previous.swap(slot.mLogger);
    slot.mLogger = inLogger;
  }
  // The previous logger is released outside the lock: its destructor may log.
}

}  // namespace config
}  // namespace basalt
