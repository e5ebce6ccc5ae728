#include <basalt/serialization/JSON.h>

#include "serialization/JSONInternal.h"

#include <basalt/utility/UnicodeString.h>

#include <boost/any.hpp>

#include <cstring>
#include <string>
#include <utility>

namespace basalt {
namespace serialization {
namespace {

using internal::MakeValue;

UTF8String NameFromBytes(const char* inName, std::size_t inSize) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(inName);
  return UTF8String(bytes, bytes + inSize);
}

// A const char* or std::string name, up to its first NUL byte.
UTF8String NameUpToNul(const char* inName) {
  return inName == nullptr ? UTF8String() : NameFromBytes(inName, std::strlen(inName));
}
UTF8String NameUpToNul(const std::string& inName) { return NameUpToNul(inName.c_str()); }

void AddMember(boost::any& ioObject, UTF8String&& inName, JSONValuePtr&& inValue) {
  // any_cast to a reference throws boost::bad_any_cast before anything changes.
  boost::any_cast<JSONObject&>(ioObject).emplace(std::move(inName), std::move(inValue));
}

void AddCopy(boost::any& ioObject, UTF8String&& inName, const boost::any& inValue) {
  if (inValue.empty()) return;
  boost::any_cast<JSONObject&>(ioObject);  // check the target before copying the value
  AddMember(ioObject, std::move(inName), MakeValue(inValue));
}

const JSONObject& ObjectOf(const JSONValuePtr& inObject) {
  if (!inObject) throw boost::bad_any_cast();
  return boost::any_cast<const JSONObject&>(*inObject);
}

}  // namespace

NullType G_NullType;

void AddToObject(boost::any& ioObject, const std::string& inName, const boost::any& inValue) {
  AddCopy(ioObject, NameUpToNul(inName), inValue);
}
void AddToObject(boost::any& ioObject, const UTF8String& inName, const boost::any& inValue) {
  AddCopy(ioObject, UTF8String(inName), inValue);
}
void AddToObject(boost::any& ioObject, const UTF16String& inName, const boost::any& inValue) {
  AddCopy(ioObject, utility::UTF16to8(inName), inValue);
}
void AddToObject(boost::any& ioObject, const char* inName, const boost::any& inValue) {
  AddCopy(ioObject, NameUpToNul(inName), inValue);
}
void AddToObject(boost::any& ioObject, const std::string& inName, JSONValuePtr inValue) {
  AddMember(ioObject, NameUpToNul(inName), std::move(inValue));
}
void AddToObject(boost::any& ioObject, const UTF8String& inName, JSONValuePtr inValue) {
  AddMember(ioObject, UTF8String(inName), std::move(inValue));
}
void AddToObject(boost::any& ioObject, const UTF16String& inName, JSONValuePtr inValue) {
  AddMember(ioObject, utility::UTF16to8(inName), std::move(inValue));
}
void AddToObject(boost::any& ioObject, const char* inName, JSONValuePtr inValue) {
  AddMember(ioObject, NameUpToNul(inName), std::move(inValue));
}

void AppendToArray(boost::any& ioArray, const boost::any& inValue) {
  if (inValue.empty()) return;
  JSONArray& array = boost::any_cast<JSONArray&>(ioArray);
  array.push_back(MakeValue(inValue));
}

void AppendToArray(boost::any& ioArray, JSONValuePtr inValue) {
  boost::any_cast<JSONArray&>(ioArray).push_back(std::move(inValue));
}

JSONValuePtr GetVariantInObject(const JSONObject& inObject, const char* inName) {
  if (inName == nullptr) return JSONValuePtr();
  const auto found = inObject.find(NameUpToNul(inName));
  return found == inObject.end() ? JSONValuePtr() : found->second;
}

JSONValuePtr GetVariantInObject(const JSONValuePtr& inObject, const char* inName) {
  return GetVariantInObject(ObjectOf(inObject), inName);
}

bool ObjectHasProperty(const JSONObject& inObject, const char* inName, bool inCountNull) {
  if (inName == nullptr) return false;
  const auto found = inObject.find(NameUpToNul(inName));
  if (found == inObject.end()) return false;
  return inCountNull || (found->second && !found->second->empty());
}

bool ObjectHasProperty(const JSONObject& inObject, const char* inName) {
  return ObjectHasProperty(inObject, inName, true);
}

bool ObjectHasProperty(const JSONValuePtr& inObject, const char* inName, bool inCountNull) {
  return ObjectHasProperty(ObjectOf(inObject), inName, inCountNull);
}

bool ObjectHasProperty(const JSONValuePtr& inObject, const char* inName) {
  return ObjectHasProperty(ObjectOf(inObject), inName, true);
}

JSONValuePtr BuildCall(const char* inMethod, const boost::any& inParams) {
  JSONObject call;
  call.emplace(BSL_UTF8("method"), MakeValue(NameUpToNul(inMethod)));
  if (!inParams.empty()) call.emplace(BSL_UTF8("params"), MakeValue(inParams));
  return MakeValue(std::move(call));
}

}  // namespace serialization
}  // namespace basalt
