// Helpers shared by the JSON tests and the fuzzer: text builders, and a
// structural comparison of value trees in which numbers compare by value (the
// double 100 is written 100 and reads back as an integer).
#ifndef BASALT_TESTS_SERIALIZATION_JSONTESTSUPPORT_H
#define BASALT_TESTS_SERIALIZATION_JSONTESTSUPPORT_H

#include <basalt/serialization/JSON.h>

#include <boost/any.hpp>
#include <boost/make_shared.hpp>

#include <cstdint>
#include <string>

namespace basalt {
namespace serialization {
namespace testing {

inline UTF8String U8(const std::string& inBytes) {
  return UTF8String(reinterpret_cast<const unsigned char*>(inBytes.data()), inBytes.size());
}
inline std::string Narrow(const UTF8String& inText) {
  return std::string(reinterpret_cast<const char*>(inText.data()), inText.size());
}
inline std::string Write(const boost::any& inValue) { return Narrow(GetJSONUTF8String(inValue)); }
inline JSONValuePtr Parse(const std::string& inText) { return JSONParse(U8(inText)); }
inline JSONValuePtr Shared(const boost::any& inValue) { return boost::make_shared<boost::any>(inValue); }

// The parse of inText written back, "<none>" for no value; throws what the
// parser throws.
inline std::string Reformat(const std::string& inText) {
  const JSONValuePtr value = Parse(inText);
  return value ? Write(*value) : std::string("<none>");
}

// Integers compare exactly across both types (-0 reads as the signed 0); a double
// compares with any number as a double, which is exact for the integers the
// writer prints from doubles (their 17 digits are the whole value).
inline bool SameNumber(const boost::any& inA, const boost::any& inB) {
  const std::uint64_t* ua = boost::any_cast<std::uint64_t>(&inA);
  const std::uint64_t* ub = boost::any_cast<std::uint64_t>(&inB);
  const std::int64_t* sa = boost::any_cast<std::int64_t>(&inA);
  const std::int64_t* sb = boost::any_cast<std::int64_t>(&inB);
  if ((ua || sa) && (ub || sb)) {
    if (ua && ub) return *ua == *ub;
    if (sa && sb) return *sa == *sb;
    const std::int64_t signedValue = sa ? *sa : *sb;
    return signedValue >= 0 && static_cast<std::uint64_t>(signedValue) == (ua ? *ua : *ub);
  }
  auto toDouble = [](const boost::any& inValue) {
    if (const std::uint64_t* u = boost::any_cast<std::uint64_t>(&inValue)) return static_cast<double>(*u);
    if (const std::int64_t* s = boost::any_cast<std::int64_t>(&inValue)) return static_cast<double>(*s);
    return boost::any_cast<double>(inValue);
  };
  return toDouble(inA) == toDouble(inB);
}

inline bool IsNumber(const boost::any& inValue) {
  return inValue.type() == typeid(std::uint64_t) || inValue.type() == typeid(std::int64_t) ||
         inValue.type() == typeid(double);
}

inline bool SameValue(const JSONValuePtr& inA, const JSONValuePtr& inB);

inline bool SameValue(const boost::any& inA, const boost::any& inB) {
  if (IsNumber(inA) || IsNumber(inB)) return IsNumber(inA) && IsNumber(inB) && SameNumber(inA, inB);
  if (inA.type() != inB.type()) return false;
  if (const UTF8String* s = boost::any_cast<UTF8String>(&inA)) return *s == boost::any_cast<const UTF8String&>(inB);
  if (const bool* f = boost::any_cast<bool>(&inA)) return *f == boost::any_cast<bool>(inB);
  if (const JSONArray* x = boost::any_cast<JSONArray>(&inA)) {
    const JSONArray& y = boost::any_cast<const JSONArray&>(inB);
    bool same = x->size() == y.size();
    for (std::size_t i = 0; same && i < x->size(); ++i) same = SameValue((*x)[i], y[i]);
    return same;
  }
  if (const JSONObject* x = boost::any_cast<JSONObject>(&inA)) {
    const JSONObject& y = boost::any_cast<const JSONObject&>(inB);
    bool same = x->size() == y.size();
    for (auto i = x->begin(), j = y.begin(); same && i != x->end(); ++i, ++j)
      same = i->first == j->first && SameValue(i->second, j->second);
    return same;
  }
  return inA.empty();
}

// A null pointer and JSON null both stand for null inside containers.
inline bool SameValue(const JSONValuePtr& inA, const JSONValuePtr& inB) {
  static const boost::any kNull;
  return SameValue(inA ? *inA : kNull, inB ? *inB : kNull);
}

}  // namespace testing
}  // namespace serialization
}  // namespace basalt

#endif  // BASALT_TESTS_SERIALIZATION_JSONTESTSUPPORT_H
