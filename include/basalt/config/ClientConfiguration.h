// The identity of the client application hosted by this process.
//
// The host tells the library its name, company, versions and codes once at
// start-up; any code reads them back through getters returning references to
// the stored values. Every value has a visible placeholder default, so reading
// before setting is safe.
//
// Thread safety: set the values during start-up, before other threads read
// them. The getters return references into the stored strings, so a setter
// running while another thread reads the same value is a data race. The
// usage logger is the exception: Set and Get of it may run on any threads.
#ifndef BASALT_CONFIG_CLIENTCONFIGURATION_H
#define BASALT_CONFIG_CLIENTCONFIGURATION_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UnicodeString.h>

#include <boost/shared_ptr.hpp>

namespace basalt {
namespace config {

BSL_EXPORT const UTF16String& GetClientName();
BSL_EXPORT void SetClientName(const UTF16String& inName);
BSL_EXPORT bool IsClientNameInitialized();

// The application name once set, otherwise the client name.
BSL_EXPORT const UTF16String& GetApplicationName();
BSL_EXPORT void SetApplicationName(const UTF16String& inName);

BSL_EXPORT const UTF16String& GetClientVersion();
BSL_EXPORT void SetClientVersion(const UTF16String& inVersion);

BSL_EXPORT const UTF16String& GetClientInternalVersion();
BSL_EXPORT void SetClientInternalVersion(const UTF16String& inVersion);

// Defaults to the same placeholder as the internal version.
BSL_EXPORT const UTF16String& GetClientBuildNumber();
BSL_EXPORT void SetClientBuildNumber(const UTF16String& inBuildNumber);

BSL_EXPORT const UTF16String& GetCompanyName();
BSL_EXPORT void SetCompanyName(const UTF16String& inName);

// Empty until set.
BSL_EXPORT const UTF16String& GetClientPrefsDir();
BSL_EXPORT void SetClientPrefsDir(const UTF16String& inDirectory);

// Overrides what GetSuiteClientVersion computes, whatever its flags.
BSL_EXPORT void SetClientSuiteVersion(const UTF16String& inVersion);

BSL_EXPORT const UTF16String& GetGMVersion();
BSL_EXPORT void SetGMVersion(const UTF16String& inVersion);

BSL_EXPORT const UTF16String& GetQuillCode();
BSL_EXPORT void SetQuillCode(const UTF16String& inCode);

BSL_EXPORT const UTF16String& GetCrosswireSpecifier();
BSL_EXPORT void SetCrosswireSpecifier(const UTF16String& inSpecifier);

// The operating system the client runs on: "Windows" on Windows, "Linux" on
// Linux.
BSL_EXPORT UTF16String GetClientPlatform();
// "SV".
BSL_EXPORT UTF16String GetSuiteClientFamily();
// 0.
BSL_EXPORT int GetSuiteClientMinorVersion();
// "11.0".
BSL_EXPORT UTF16String GetSuiteClientVersion_NumberOnly();
// The stored suite version when set; otherwise the year (2006 + the major
// number), prefixed by "SV " with inWithFamily and followed by ".0" with
// inWithMinor: "SV 2017.0", "2017".
BSL_EXPORT UTF16String GetSuiteClientVersion(bool inWithFamily = true, bool inWithMinor = true);
// company + " " + client + " " + (suite version with family, or the family).
BSL_EXPORT UTF16String GetClientDisplayName(bool inWithVersion = true, bool inWithMinor = true);
// GetClientDisplayName(true, true) + " (" + platform + ")".
BSL_EXPORT UTF16String GetSuiteClientName();
// The library's own version, "2.0.0.Bramble".
BSL_EXPORT UTF16String GetVersionString();

// A host-defined sink for usage events; the library only keeps the one the
// host installs.
class BSL_EXPORT UsageLogger {
public:
  virtual ~UsageLogger();

  // A copy of the installed logger; empty until Set.
  static boost::shared_ptr<UsageLogger> Get();
  // Replaces the installed logger, releasing the previous one.
  static void Set(const boost::shared_ptr<UsageLogger>& inLogger);
};

}  // namespace config
}  // namespace basalt

#endif  // BASALT_CONFIG_CLIENTCONFIGURATION_H
