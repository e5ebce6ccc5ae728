#include "HostServices.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace host {

using basalt::UTF16String;
using basalt::UTF8String;
namespace bu = basalt::utility;

namespace {

std::string Unescape(const std::string& inText) {
  std::string out;
  out.reserve(inText.size());
  for (std::size_t i = 0; i < inText.size(); ++i) {
    if (inText[i] == '\\' && i + 1 < inText.size()) {
      const char escaped = inText[++i];
      out += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
    } else {
      out += inText[i];
    }
  }
  return out;
}

UTF16String FromUTF8(const std::string& inText) { return bu::UTF8to16(UTF8String(inText.begin(), inText.end())); }

}  // namespace

UTF16String DictionaryLocalizer::Localize(const char* inKey) {
  if (inKey == nullptr) return UTF16String();
  const char* equals = std::strchr(inKey, '=');
  const std::string key = equals ? std::string(inKey, equals) : std::string(inKey);
  {
    std::shared_lock<std::shared_mutex> hold(mLock);
    auto it = mEntries.find(key);
    if (it != mEntries.end()) return it->second;
  }
  return DefaultText(inKey);
}

void DictionaryLocalizer::LoadDictionary(const UTF16String& inPath) {
  const std::string path = bu::UTF16toStdString(inPath);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::unique_lock<std::shared_mutex> hold(mLock);
    mLoaded.emplace_back(path, -1);
    return;
  }
  std::map<std::string, UTF16String> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    entries[line.substr(0, equals)] = FromUTF8(Unescape(line.substr(equals + 1)));
  }
  std::unique_lock<std::shared_mutex> hold(mLock);
  mLoaded.emplace_back(path, static_cast<int>(entries.size()));
  for (auto& entry : entries) mEntries[entry.first] = std::move(entry.second);
}

std::vector<std::pair<std::string, int>> DictionaryLocalizer::LoadedDictionaries() const {
  std::shared_lock<std::shared_mutex> hold(mLock);
  return mLoaded;
}

std::size_t DictionaryLocalizer::EntryCount() const {
  std::shared_lock<std::shared_mutex> hold(mLock);
  return mEntries.size();
}

host_error::host_error(const char* inKey, std::uint32_t inGroup, std::int32_t inNumber, UTF8String inMessage)
    : bsl_exception(inKey), mGroup(inGroup), mNumber(inNumber), mText(std::move(inMessage)) {}

UTF8String host_error::FormatErrorMessage(const char*) const { return mText; }

void ThrowingErrorManager::ThrowErrorImpl(basalt::config::ErrorLevel, const char* inKey, std::uint32_t inGroup,
                                          std::int32_t inNumber, bool, const basalt::config::ReplacementValue& inValue1,
                                          const basalt::config::ReplacementValue& inValue2,
                                          const basalt::config::ReplacementValue& inValue3,
                                          const basalt::config::ReplacementValue& inValue4) const {
  const UTF16String message = basalt::config::SubstituteErrorMessage(inKey, inValue1, inValue2, inValue3, inValue4);
  throw host_error(inKey, inGroup, inNumber, bu::UTF16to8(message));
}

}  // namespace host
