// The property tree: kinds kept apart, lookups that never throw, deep copies,
// equality and the compound readers and writers.
#include <basalt/proplist/PropList.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <list>
#include <string>
#include <vector>

namespace basalt {
namespace proplist {
namespace {

UTF8String K(const char* inText) { return UTF8String(reinterpret_cast<const unsigned char*>(inText)); }
UTF8String K(const std::string& inText) { return UTF8String(inText.begin(), inText.end()); }

// A list whose version can be set, as the XML reader does.
class VersionedList : public PropList {
public:
  explicit VersionedList(unsigned short inVersion) { SetVersion(inVersion); }
};

// One kind of value: how to store it and how to ask for it.
struct Kind {
  const char* mName;
  PropListPropertyType mType;
  std::function<void(PropList&, const UTF8String&)> mStore;
  // True when the getter of this kind finds the value and it reads back right.
  std::function<bool(const PropList&, const UTF8String&)> mFind;
};

template <class T>
Kind ScalarKind(const char* inName, PropListPropertyType inType, T inValue) {
  return {inName, inType, [inValue](PropList& l, const UTF8String& k) { l.SetValue(k, inValue); },
          [inValue](const PropList& l, const UTF8String& k) {
            T out{};
            return l.GetValue(k, out) && out == inValue;
          }};
}

template <class T>
Kind ArrayKind(const char* inName, PropListPropertyType inType, std::list<T> inValue) {
  return {inName, inType, [inValue](PropList& l, const UTF8String& k) { l.SetValue(k, inValue); },
          [inValue](const PropList& l, const UTF8String& k) {
            std::list<T> out;
            return l.GetValue(k, out) && out == inValue;
          }};
}

std::vector<Kind> AllKinds() {
  return {
      ScalarKind("utf16", kPropertyTypeUnicodeString, BSL_STR("text")),
      ScalarKind("utf8", kPropertyTypeString, BSL_UTF8("text")),
      ScalarKind("bool", kPropertyTypeBool, true),
      ScalarKind<unsigned short>("u16", kPropertyTypeUInt16, 7),
      ScalarKind<unsigned int>("u32", kPropertyTypeUInt32, 7),
      ScalarKind<int>("i32", kPropertyTypeInt32, -7),
      ScalarKind<std::int64_t>("i64", kPropertyTypeInt64, -7),
      ScalarKind<std::uint64_t>("u64", kPropertyTypeUInt64, 7),
      ScalarKind<float>("float", kPropertyTypeFloat, 1.5f),
      ScalarKind<double>("double", kPropertyTypeDouble, 1.5),
      {"list", kPropertyTypePropList, [](PropList& l, const UTF8String& k) { l.NewSubList(k)->SetValue(K("x"), 1); },
       [](const PropList& l, const UTF8String& k) { return l.GetSubList(k) != nullptr; }},
      ArrayKind<UTF16String>("utf16[]", kPropertyTypeUnicodeStringArray, {BSL_STR("a"), BSL_STR("b")}),
      ArrayKind<UTF8String>("utf8[]", kPropertyTypeStringArray, {BSL_UTF8("a"), BSL_UTF8("b")}),
      ArrayKind<bool>("bool[]", kPropertyTypeBoolArray, {true, false, true}),
      ArrayKind<unsigned short>("u16[]", kPropertyTypeUInt16Array, {1, 2}),
      ArrayKind<unsigned int>("u32[]", kPropertyTypeUInt32Array, {1, 2}),
      ArrayKind<int>("i32[]", kPropertyTypeInt32Array, {-1, 2}),
      ArrayKind<std::int64_t>("i64[]", kPropertyTypeInt64Array, {-1, 2}),
      ArrayKind<std::uint64_t>("u64[]", kPropertyTypeUInt64Array, {1, 2}),
      ArrayKind<float>("float[]", kPropertyTypeFloatArray, {0.5f, 2}),
      ArrayKind<double>("double[]", kPropertyTypeDoubleArray, {0.5, 2}),
  };
}

TEST(PropList, EveryKindIsFoundOnlyByItsOwnGetter) {
  const std::vector<Kind> kinds = AllKinds();
  ASSERT_EQ(kinds.size(), 21u);
  for (const Kind& stored : kinds) {
    SCOPED_TRACE(stored.mName);
    PropList list;
    EXPECT_EQ(list.GetPropertyType(K("k")), kPropertyTypeNone);
    stored.mStore(list, K("k"));
    EXPECT_EQ(list.GetPropertyType(K("k")), stored.mType);
    for (const Kind& asked : kinds) {
      SCOPED_TRACE(asked.mName);
      EXPECT_EQ(asked.mFind(list, K("k")), &asked == &stored);
      EXPECT_FALSE(asked.mFind(list, K("other")));
    }
    // Replacing with every other kind, in turn, leaves exactly that kind.
    for (const Kind& next : kinds) {
      next.mStore(list, K("k"));
      EXPECT_EQ(list.GetPropertyType(K("k")), next.mType);
      EXPECT_TRUE(next.mFind(list, K("k")));
    }
    std::list<UTF8String> names;
    list.GetPropertyNames(names);
    EXPECT_EQ(names.size(), 1u);
  }
}

TEST(PropList, LookupsLeaveOutputsAloneAndAppendToLists) {
  PropList list;
  list.SetValue(K("u"), 5u);
  int asInt = 42;
  EXPECT_FALSE(list.GetValue(K("u"), asInt));
  EXPECT_EQ(asInt, 42);
  std::list<unsigned int> asList{9};
  EXPECT_FALSE(list.GetValue(K("u"), asList));
  EXPECT_EQ(asList, std::list<unsigned int>{9});

  list.SetValue(K("a"), std::list<int>{1, 2});
  std::list<int> twice;
  EXPECT_TRUE(list.GetValue(K("a"), twice));
  EXPECT_TRUE(list.GetValue(K("a"), twice));
  EXPECT_EQ(twice, (std::list<int>{1, 2, 1, 2}));
  list.SetValue(K("a"), std::list<int>{3});  // the whole array is replaced
  twice.clear();
  list.GetValue(K("a"), twice);
  EXPECT_EQ(twice, std::list<int>{3});

  EXPECT_EQ(list.GetSubList(K("a")), nullptr);
  EXPECT_EQ(list.GetSubList(static_cast<const unsigned char*>(nullptr)), nullptr);
}

TEST(PropList, KeysAreOrderedByBytesAndEndAtTheFirstNul) {
  PropList list;
  for (const char* key : {"a", "B", "\xC3\xA9", "ab", "A"}) list.SetValue(K(key), true);
  list.SetValue(K(std::string("ab\0cd", 5)), false);  // the same key as "ab"
  std::list<UTF8String> names{K("stale")};
  list.GetPropertyNames(names);
  const std::list<UTF8String> expected{K("A"), K("B"), K("a"), K("ab"), K("\xC3\xA9")};
  EXPECT_EQ(names, expected);
  bool value = true;
  EXPECT_TRUE(list.GetValue(K("ab"), value));
  EXPECT_FALSE(value);
  const unsigned char* rawKey = reinterpret_cast<const unsigned char*>("a");
  EXPECT_EQ(list.GetSubList(rawKey), nullptr);
  PropList* nested = list.NewSubList(K("a"));  // replaces the bool
  EXPECT_EQ(list.GetSubList(rawKey), nested);
}

TEST(PropList, SubListsRemovalAndClear) {
  PropList list;
  PropList* nested = list.NewSubList(K("n"));
  nested->SetValue(K("x"), 1);
  EXPECT_EQ(list.NewSubList(K("n")), nested);
  int x = 0;
  EXPECT_TRUE(list.NewSubList(K("n"))->GetValue(K("x"), x));
  EXPECT_EQ(x, 1);
  EXPECT_EQ(nested->GetVersion(), PropList::GetCurrentVersion());

  EXPECT_FALSE(list.RemoveValue(K("missing")));
  list.SetValue(K("s"), BSL_UTF8("v"));
  EXPECT_TRUE(list.RemoveValue(K("n")));
  EXPECT_FALSE(list.IsEmpty());
  EXPECT_TRUE(list.RemoveValue(K("s")));
  EXPECT_TRUE(list.IsEmpty());

  VersionedList old(2);
  old.SetValue(K("k"), 1);
  old.Clear();
  EXPECT_TRUE(old.IsEmpty());
  EXPECT_EQ(old.GetVersion(), 2);
}

TEST(PropList, CopiesAreDeepAndEqualityIgnoresVersions) {
  PropList source;
  source.SetValue(K("d"), 2.5);
  source.NewSubList(K("n"))->NewSubList(K("deeper"))->SetValue(K("s"), std::list<UTF8String>{K("a")});
  PropList copy(source);
  EXPECT_EQ(copy, source);
  copy.GetSubList(K("n"))->GetSubList(K("deeper"))->SetValue(K("s"), std::list<UTF8String>{K("b")});
  EXPECT_NE(copy, source);
  std::list<UTF8String> original;
  source.GetSubList(K("n"))->GetSubList(K("deeper"))->GetValue(K("s"), original);
  EXPECT_EQ(original, std::list<UTF8String>{K("a")});

  PropList assigned;
  assigned.SetValue(K("gone"), 1);
  assigned = source;
  EXPECT_EQ(assigned, source);
  EXPECT_EQ(assigned.GetPropertyType(K("gone")), kPropertyTypeNone);

  VersionedList v1(1), v4(4);
  v1.SetValue(K("k"), 1);
  v4.SetValue(K("k"), 1);
  EXPECT_EQ(v1, v4);
  PropList assignedVersion;
  assignedVersion = v1;
  EXPECT_EQ(assignedVersion.GetVersion(), 1);
  v4.SetValue(K("extra"), 1);
  EXPECT_NE(v1, v4);
  EXPECT_NE(v4, v1);

  // Same key, other kind; same kind, other value; NaN never equals itself.
  PropList a, b;
  a.SetValue(K("k"), 1);
  b.SetValue(K("k"), 1u);
  EXPECT_NE(a, b);
  b.SetValue(K("k"), 2);
  EXPECT_NE(a, b);
  a.SetValue(K("k"), std::numeric_limits<double>::quiet_NaN());
  EXPECT_NE(a, PropList(a));
  a.SetValue(K("k"), std::list<float>{1, 2});
  b.SetValue(K("k"), std::list<float>{1, 2, 3});
  EXPECT_NE(a, b);
}

TEST(PropList, VersionOneListsReadDoublesFromText) {
  VersionedList v1(1);
  v1.SetValue(K("pi"), BSL_STR("3.25"));
  v1.SetValue(K("bad"), BSL_STR("abc"));
  v1.SetValue(K("int"), 3);
  double value = -1;
  EXPECT_TRUE(v1.GetValue(K("pi"), value));
  EXPECT_EQ(value, 3.25);
  EXPECT_TRUE(v1.GetValue(K("bad"), value));
  EXPECT_EQ(value, 0);
  value = -1;
  EXPECT_FALSE(v1.GetValue(K("int"), value));
  EXPECT_EQ(value, -1);
  PropList current;
  current.SetValue(K("pi"), BSL_STR("3.25"));
  EXPECT_FALSE(current.GetValue(K("pi"), value));
}

TEST(PropListUtils, CompoundValuesRoundTripAndShortArraysAreNotFound) {
  PropList list;
  utils::WriteRect32(K("r"), geom::RectT<int>(1, -2, 30, 40), list);
  EXPECT_EQ(utils::ReadRect32(K("r"), list), geom::RectT<int>(1, -2, 30, 40));
  std::list<int> stored;
  list.GetValue(K("r"), stored);
  EXPECT_EQ(stored, (std::list<int>{1, -2, 30, 40}));
  utils::WriteRectF32(K("rf"), geom::RectT<float>(0.5f, 1, 2, 3), &list);
  EXPECT_EQ(utils::ReadRectF32(K("rf"), &list), geom::RectT<float>(0.5f, 1, 2, 3));
  utils::WritePointF32(K("p"), geom::PointT<float>(1.5f, -2), &list);
  EXPECT_EQ(utils::ReadPointF32(K("p"), &list), geom::PointT<float>(1.5f, -2));
  list.SetValue(K("p32"), std::list<int>{4, 5, 6});
  EXPECT_EQ(utils::ReadPoint32(K("p32"), list), geom::PointT<int>(4, 5));

  // Missing, of another kind, too short, or no list at all: all zero.
  list.SetValue(K("short"), std::list<int>{1, 2, 3});
  for (const char* key : {"missing", "rf", "short"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(utils::ReadRect32(K(key), list), geom::RectT<int>());
  }
  EXPECT_EQ(utils::ReadPointF32(K("p"), nullptr), geom::PointT<float>());
  utils::WritePointF32(K("p"), geom::PointT<float>(1, 1), nullptr);
}

TEST(PropListUtils, RatiosAreNormalisedAndInvalidOnesAreNotFound) {
  PropList list;
  utils::WriteRatio32(K("w"), boost::rational<int>(2, 4), &list);
  std::list<int> stored;
  list.GetValue(K("w"), stored);
  EXPECT_EQ(stored, (std::list<int>{1, 2}));

  struct Case {
    std::list<int> stored;
    bool found;
    int numerator, denominator;
  } cases[] = {
      {{2, 4}, true, 1, 2},
      {{3, -6}, true, -1, 2},
      {{0, 5}, true, 0, 1},
      {{std::numeric_limits<int>::min(), -2}, true, 1 << 30, 1},
      {{std::numeric_limits<int>::min(), -1}, false, 0, 0},  // 2^31 does not fit
      {{1, std::numeric_limits<int>::min()}, false, 0, 0},
      {{5, 0}, false, 0, 0},
      {{5}, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.stored));
    list.SetValue(K("r"), c.stored);
    boost::rational<int> ratio(7, 9);
    EXPECT_EQ(utils::ReadRatio32(K("r"), &list, ratio), c.found);
    if (c.found) {
      EXPECT_EQ(ratio, boost::rational<int>(c.numerator, c.denominator));
    } else {
      EXPECT_EQ(ratio, boost::rational<int>(7, 9));
    }
  }

  utils::WriteRatio64(K("r64"), boost::rational<std::int64_t>(-(std::int64_t(1) << 40), 6), &list);
  boost::rational<std::int64_t> wide;
  ASSERT_TRUE(utils::ReadRatio64(K("r64"), &list, wide));
  EXPECT_EQ(wide, boost::rational<std::int64_t>(-(std::int64_t(1) << 39), 3));
  list.SetValue(K("r64"), std::list<std::int64_t>{std::numeric_limits<std::int64_t>::min(), -1});
  EXPECT_FALSE(utils::ReadRatio64(K("r64"), &list, wide));
  EXPECT_FALSE(utils::ReadRatio64(K("r64"), nullptr, wide));
}

}  // namespace
}  // namespace proplist
}  // namespace basalt
