// Building and querying values: AddToObject, AppendToArray,
// GetVariantInObject, ObjectHasProperty and BuildCall.
#include <basalt/serialization/JSON.h>

#include "serialization/JSONTestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

namespace basalt {
namespace serialization {
namespace {

using namespace testing;

// Both AddToObject overloads for one form of name, which is stored as inKey.
template <class Name>
void CheckAddToObject(const Name& inName, const std::string& inKey) {
  const JSONValuePtr shared = Shared(std::uint64_t(2));
  boost::any object = JSONObject();
  boost::any source = std::uint64_t(1);
  AddToObject(object, inName, source);  // a copy: the source may change
  source = std::uint64_t(9);
  AddToObject(object, inName, boost::any(std::uint64_t(3)));  // the first value stays
  AddToObject(object, inName, shared);
  AddToObject(object, inName, boost::any());
  EXPECT_EQ(Write(object), "{\"" + inKey + "\":1}");

  boost::any other = JSONObject();
  AddToObject(other, inName, boost::any());  // an empty value adds nothing
  EXPECT_EQ(Write(other), "{}");
  AddToObject(other, inName, shared);  // shared, not copied
  *shared = std::uint64_t(5);
  EXPECT_EQ(Write(other), "{\"" + inKey + "\":5}");

  for (boost::any target : {boost::any(), boost::any(JSONArray()), boost::any(std::uint64_t(1))}) {
    const std::string before = Write(target);
    EXPECT_THROW(AddToObject(target, inName, boost::any(true)), boost::bad_any_cast);
    EXPECT_THROW(AddToObject(target, inName, shared), boost::bad_any_cast);
    EXPECT_EQ(Write(target), before);
  }
}

TEST(JSONValues, AddToObject) {
  {
    SCOPED_TRACE("std::string");
    CheckAddToObject(std::string("k\0x", 3), "k");
  }
  {
    SCOPED_TRACE("UTF8String");
    CheckAddToObject(U8("\xC3\xA9"), "\xC3\xA9");
  }
  {
    SCOPED_TRACE("UTF16String");
    CheckAddToObject(UTF16String(u"\u00e9"), "\xC3\xA9");
  }
  {
    SCOPED_TRACE("const char*");
    CheckAddToObject(static_cast<const char*>("n"), "n");
  }
}

TEST(JSONValues, AppendToArray) {
  boost::any array = JSONArray();
  boost::any source = U8("a");
  AppendToArray(array, source);
  source = U8("changed");
  AppendToArray(array, boost::any());
  const JSONValuePtr shared = Shared(true);
  AppendToArray(array, shared);
  AppendToArray(array, JSONValuePtr());
  *shared = false;
  EXPECT_EQ(Write(array), R"(["a",false,null])");
  for (boost::any target : {boost::any(), boost::any(JSONObject())}) {
    const std::string before = Write(target);
    EXPECT_THROW(AppendToArray(target, true), boost::bad_any_cast);
    EXPECT_THROW(AppendToArray(target, shared), boost::bad_any_cast);
    EXPECT_EQ(Write(target), before);
  }
}

TEST(JSONValues, Queries) {
  const JSONValuePtr object = Parse(R"({"n":null,"v":1,"e":{}})");
  const JSONObject& map = boost::any_cast<const JSONObject&>(*object);
  struct Case {
    const char* mName;
    bool mExists;    // counting null members
    bool mHasValue;  // not counting them
  };
  const Case cases[] = {{"n", true, false}, {"v", true, true}, {"e", true, true},
                        {"x", false, false}, {"", false, false}, {nullptr, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mName ? c.mName : "(null)");
    EXPECT_EQ(ObjectHasProperty(map, c.mName), c.mExists);
    EXPECT_EQ(ObjectHasProperty(map, c.mName, true), c.mExists);
    EXPECT_EQ(ObjectHasProperty(map, c.mName, false), c.mHasValue);
    EXPECT_EQ(ObjectHasProperty(object, c.mName), c.mExists);
    EXPECT_EQ(ObjectHasProperty(object, c.mName, false), c.mHasValue);
    const JSONValuePtr found = GetVariantInObject(map, c.mName);
    EXPECT_EQ(GetVariantInObject(object, c.mName), found);
    EXPECT_EQ(found, c.mExists ? map.at(U8(c.mName)) : JSONValuePtr());
  }
  // A null member pointer counts as null.
  boost::any holder = JSONObject();
  AddToObject(holder, "p", JSONValuePtr());
  EXPECT_TRUE(ObjectHasProperty(boost::any_cast<const JSONObject&>(holder), "p"));
  EXPECT_FALSE(ObjectHasProperty(boost::any_cast<const JSONObject&>(holder), "p", false));
  // The shared-pointer forms need an object behind the pointer.
  for (const JSONValuePtr& notObject : {JSONValuePtr(), Parse("[]"), Parse("1")}) {
    EXPECT_THROW(GetVariantInObject(notObject, "v"), boost::bad_any_cast);
    EXPECT_THROW(ObjectHasProperty(notObject, "v"), boost::bad_any_cast);
    EXPECT_THROW(ObjectHasProperty(notObject, "v", false), boost::bad_any_cast);
  }
}

TEST(JSONValues, BuildCall) {
  JSONArray params = {Shared(std::uint64_t(1))};
  const std::tuple<const char*, boost::any, std::string> cases[] = {
      {"sum", params, R"({"method":"sum","params":[1]})"},
      {"ping", boost::any(), R"({"method":"ping"})"},
      {nullptr, U8("x"), R"({"method":"","params":"x"})"},
  };
  for (const auto& [method, callParams, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Write(*BuildCall(method, callParams)), text);
  }
  const JSONValuePtr call = BuildCall("m", params);
  params.clear();  // the call holds a copy
  EXPECT_EQ(Write(*call), R"({"method":"m","params":[1]})");
}

}  // namespace
}  // namespace serialization
}  // namespace basalt
