// The value nodes of a PropList: one class per kind of value.
#ifndef BASALT_PROPLIST_PROPNODESINTERNAL_H
#define BASALT_PROPLIST_PROPNODESINTERNAL_H

#include <basalt/proplist/PropList.h>
#include <basalt/utility/SmallBlockAllocator.h>

#include <cstdint>
#include <list>
#include <memory>
#include <typeinfo>

namespace basalt {
namespace proplist {

class PropNodeBase : public utility::SmallBlockAllocator::Allocated<PropNodeBase> {
public:
  virtual ~PropNodeBase() = default;
  virtual PropListPropertyType GetType() const = 0;
  // A deep copy; the caller owns it.
  virtual PropNodeBase* Clone() const = 0;
  // True for a node of exactly this class with an equal value.
  virtual bool IsEqual(const PropNodeBase* inOther) const = 0;
};

namespace internal {

// One scalar or string value.
template <class T, PropListPropertyType kType>
class ValueNode final : public PropNodeBase {
public:
  typedef T Value;
  static constexpr PropListPropertyType kKind = kType;

  explicit ValueNode(const T& inValue) : mValue(inValue) {}
  PropListPropertyType GetType() const override { return kType; }
  PropNodeBase* Clone() const override { return new ValueNode(mValue); }
  bool IsEqual(const PropNodeBase* inOther) const override {
    const ValueNode* other = dynamic_cast<const ValueNode*>(inOther);
    return other != nullptr && other->mValue == mValue;
  }
  const T& Get() const { return mValue; }
  void Set(const T& inValue) { mValue = inValue; }

private:
  T mValue;
};

// An ordered list of values of one kind.
template <class T, PropListPropertyType kType>
class ArrayNode final : public PropNodeBase {
public:
  typedef T Element;
  typedef utility::SmallBlockAllocator::vector<T> Elements;
  static constexpr PropListPropertyType kKind = kType;

  template <class Range>
  explicit ArrayNode(const Range& inValues) {
    Set(inValues);
  }
  PropListPropertyType GetType() const override { return kType; }
  PropNodeBase* Clone() const override { return new ArrayNode(mElements); }
  bool IsEqual(const PropNodeBase* inOther) const override {
    const ArrayNode* other = dynamic_cast<const ArrayNode*>(inOther);
    return other != nullptr && other->mElements == mElements;
  }
  const Elements& Get() const { return mElements; }
  template <class Range>
  void Set(const Range& inValues) {
    mElements.assign(inValues.begin(), inValues.end());
  }

private:
  Elements mElements;
};

// A nested list, owned.
class PropListNode final : public PropNodeBase {
public:
  static constexpr PropListPropertyType kKind = kPropertyTypePropList;

  PropListNode() : mList(new PropList()) {}
  explicit PropListNode(const PropList& inList) : mList(new PropList(inList)) {}
  PropListPropertyType GetType() const override { return kPropertyTypePropList; }
  PropNodeBase* Clone() const override { return new PropListNode(*mList); }
  bool IsEqual(const PropNodeBase* inOther) const override {
    const PropListNode* other = dynamic_cast<const PropListNode*>(inOther);
    return other != nullptr && *other->mList == *mList;
  }
  PropList* List() const { return mList.get(); }

private:
  std::unique_ptr<PropList> mList;
};

typedef ValueNode<UTF16String, kPropertyTypeUnicodeString> UnicodeStringPropNode;
typedef ValueNode<UTF8String, kPropertyTypeString> StringPropNode;
typedef ValueNode<bool, kPropertyTypeBool> BoolPropNode;
typedef ValueNode<unsigned short, kPropertyTypeUInt16> UInt16Node;
typedef ValueNode<unsigned int, kPropertyTypeUInt32> UInt32Node;
typedef ValueNode<int, kPropertyTypeInt32> Int32Node;
typedef ValueNode<std::int64_t, kPropertyTypeInt64> Int64Node;
typedef ValueNode<std::uint64_t, kPropertyTypeUInt64> UInt64Node;
typedef ValueNode<float, kPropertyTypeFloat> FloatNode;
typedef ValueNode<double, kPropertyTypeDouble> DoubleNode;
typedef ArrayNode<UTF16String, kPropertyTypeUnicodeStringArray> UnicodeStringArrayNode;
typedef ArrayNode<UTF8String, kPropertyTypeStringArray> StringArrayNode;
typedef ArrayNode<bool, kPropertyTypeBoolArray> BoolArrayNode;
typedef ArrayNode<unsigned short, kPropertyTypeUInt16Array> UInt16ArrayNode;
typedef ArrayNode<unsigned int, kPropertyTypeUInt32Array> UInt32ArrayNode;
typedef ArrayNode<int, kPropertyTypeInt32Array> Int32ArrayNode;
typedef ArrayNode<std::int64_t, kPropertyTypeInt64Array> Int64ArrayNode;
typedef ArrayNode<std::uint64_t, kPropertyTypeUInt64Array> UInt64ArrayNode;
typedef ArrayNode<float, kPropertyTypeFloatArray> FloatArrayNode;
typedef ArrayNode<double, kPropertyTypeDoubleArray> DoubleArrayNode;

}  // namespace internal
}  // namespace proplist
}  // namespace basalt

#endif  // BASALT_PROPLIST_PROPNODESINTERNAL_H
