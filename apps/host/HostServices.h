// The services a host application of the family installs into the library at
// start-up: a localizer reading the library's dictionary files, and an error
// manager that throws bsl_exception with the localized, substituted message.
#ifndef BASALT_APPS_HOST_HOSTSERVICES_H
#define BASALT_APPS_HOST_HOSTSERVICES_H

#include <basalt/config/Errors.h>
#include <basalt/config/Localizer.h>

#include <map>
#include <shared_mutex>
#include <string>
#include <vector>

namespace host {

// Dictionary files: UTF-8, one "key=text" entry per line, "#" comments,
// "\n", "\t" and "\\" escapes in the text. Later files override earlier ones.
class DictionaryLocalizer : public basalt::config::Localizer {
public:
  basalt::UTF16String Localize(const char* inKey) override;
  void LoadDictionary(const basalt::UTF16String& inPath) override;

  // Paths loaded so far, with the number of entries each gave (-1: unreadable).
  std::vector<std::pair<std::string, int>> LoadedDictionaries() const;
  std::size_t EntryCount() const;

private:
  mutable std::shared_mutex mLock;
  std::map<std::string, basalt::UTF16String> mEntries;
  std::vector<std::pair<std::string, int>> mLoaded;
};

// Carries the error's identity beside the localized message.
class host_error : public basalt::config::bsl_exception {
public:
  host_error(const char* inKey, std::uint32_t inGroup, std::int32_t inNumber, basalt::UTF8String inMessage);
  std::uint32_t Group() const { return mGroup; }
  std::int32_t Number() const { return mNumber; }

protected:
  basalt::UTF8String FormatErrorMessage(const char* inKey) const override;

private:
  std::uint32_t mGroup;
  std::int32_t mNumber;
  basalt::UTF8String mText;
};

// Throws every error as a host_error whose message is SubstituteErrorMessage.
class ThrowingErrorManager : public basalt::config::ErrorManager {
public:
  void ThrowErrorImpl(basalt::config::ErrorLevel inLevel, const char* inKey, std::uint32_t inGroup,
                      std::int32_t inNumber, bool inReport, const basalt::config::ReplacementValue& inValue1,
                      const basalt::config::ReplacementValue& inValue2,
                      const basalt::config::ReplacementValue& inValue3,
                      const basalt::config::ReplacementValue& inValue4) const override;
};

}  // namespace host

#endif  // BASALT_APPS_HOST_HOSTSERVICES_H
