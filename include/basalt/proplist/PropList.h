// PropList: a typed property tree.
//
// A dictionary from byte-string keys to typed values: bool, five integer
// kinds, float, double, UTF-8 and UTF-16 strings, nested lists, and arrays of
// any of the scalar or string kinds. Keys are ordered and matched by unsigned
// byte comparison and are significant up to their first NUL byte.
//
// Rules:
//  - Kinds are kept apart: a value is found only by the getter of exactly its
//    kind (an int is not found as unsigned int, a scalar not as an array).
//    The one exception: in a list of version 1, GetValue(key, double&) reads a
//    UTF-16 string value as a decimal number (such lists kept doubles as
//    text); text that is not a number gives 0.
//  - Queries never throw: a missing key or another kind gives false, null or
//    kPropertyTypeNone and leaves the output untouched. The array getters
//    append to the output list without clearing it.
//  - Setters replace whatever the key held, of any kind.
//  - Copies are deep; equality compares entries (not versions) and uses ==
//    on numbers, so a NaN is never equal to itself.
//  - Pointers to nested lists stay owned by the parent and die with the entry
//    (RemoveValue, Clear, replacement by another kind, the parent's end).
//
// Thread safety: several readers at once, or one writer; the caller
// provides the exclusion.
#ifndef BASALT_PROPLIST_PROPLIST_H
#define BASALT_PROPLIST_PROPLIST_H

#include <basalt/geom/Geometry.h>
#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/UnicodeString.h>

#include <boost/rational.hpp>

#include <cstdint>
#include <list>
#include <memory>
#include <string_view>

namespace basalt {
namespace proplist {

// The kinds of value, as GetPropertyType answers them. The numbers are part
// of the interface.
enum PropListPropertyType {
  kPropertyTypeNone = 0,
  kPropertyTypeUnicodeString = 1,
  kPropertyTypeString = 2,
  kPropertyTypeBool = 3,
  kPropertyTypeUInt16 = 4,
  kPropertyTypeUInt32 = 5,
  kPropertyTypeInt32 = 6,
  kPropertyTypeInt64 = 7,
  kPropertyTypeUInt64 = 8,
  kPropertyTypeFloat = 9,
  kPropertyTypeDouble = 10,
  kPropertyTypePropList = 11,
  kPropertyTypeUnicodeStringArray = 12,
  kPropertyTypeStringArray = 13,
  kPropertyTypeBoolArray = 14,
  kPropertyTypeUInt16Array = 15,
  kPropertyTypeUInt32Array = 16,
  kPropertyTypeInt32Array = 17,
  kPropertyTypeInt64Array = 18,
  kPropertyTypeUInt64Array = 19,
  kPropertyTypeFloatArray = 20,
  kPropertyTypeDoubleArray = 21
};

class PropNodeBase;

class BSL_EXPORT PropList {
public:
  PropList();
  PropList(const PropList& inOther);
  PropList& operator=(PropList inOther);
  virtual ~PropList();

  virtual bool GetValue(const UTF8String& inKey, std::list<double>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, double& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::list<float>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, float& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::list<std::uint64_t>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::uint64_t& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::list<std::int64_t>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::int64_t& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::list<int>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, int& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::list<unsigned int>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, unsigned int& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::list<unsigned short>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, unsigned short& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::list<bool>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, bool& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::list<UTF8String>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, UTF8String& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, std::list<UTF16String>& outValue) const;
  virtual bool GetValue(const UTF8String& inKey, UTF16String& outValue) const;

  virtual void SetValue(const UTF8String& inKey, const std::list<double>& inValue);
  virtual void SetValue(const UTF8String& inKey, const double& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::list<float>& inValue);
  virtual void SetValue(const UTF8String& inKey, const float& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::list<std::uint64_t>& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::uint64_t& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::list<std::int64_t>& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::int64_t& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::list<int>& inValue);
  virtual void SetValue(const UTF8String& inKey, const int& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::list<unsigned int>& inValue);
  virtual void SetValue(const UTF8String& inKey, const unsigned int& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::list<unsigned short>& inValue);
  virtual void SetValue(const UTF8String& inKey, const unsigned short& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::list<bool>& inValue);
  virtual void SetValue(const UTF8String& inKey, const bool& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::list<UTF8String>& inValue);
  virtual void SetValue(const UTF8String& inKey, const UTF8String& inValue);
  virtual void SetValue(const UTF8String& inKey, const std::list<UTF16String>& inValue);
  virtual void SetValue(const UTF8String& inKey, const UTF16String& inValue);

  // The nested list under the key, or null.
  virtual PropList* GetSubList(const UTF8String& inKey) const;
  virtual PropList* GetSubList(const unsigned char* inKey) const;
  // The nested list under the key, made (empty, version 4) when the key holds
  // none; a value of another kind is replaced.
  virtual PropList* NewSubList(const UTF8String& inKey);
  // Removes every entry; the version stays.
  virtual void Clear();
  // Every key in ascending byte order; outNames is cleared first.
  virtual void GetPropertyNames(std::list<UTF8String>& outNames) const;
  virtual PropListPropertyType GetPropertyType(const UTF8String& inKey) const;

  bool operator==(const PropList& inOther) const;
  bool operator!=(const PropList& inOther) const { return !(*this == inOther); }
  unsigned short GetVersion() const { return mVersion; }
  static unsigned short GetCurrentVersion() { return 4; }
  bool IsEmpty() const;
  // False when the key held nothing.
  bool RemoveValue(const UTF8String& inKey);

protected:
  // For readers of stored lists, which carry the version of their writer.
  void SetVersion(unsigned short inVersion) { mVersion = inVersion; }

private:
  struct NodeDeleter {
    void operator()(PropNodeBase* inNode) const noexcept;
  };
  typedef std::unique_ptr<PropNodeBase, NodeDeleter> NodePtr;
  // Stored keys hold no NUL; a key asked for counts up to its first NUL, so
  // lookups compare views and copy nothing.
  struct KeyLess {
    typedef void is_transparent;
    bool operator()(const UTF8String& inA, const UTF8String& inB) const noexcept { return inA < inB; }
    bool operator()(const UTF8String& inA, const std::basic_string_view<unsigned char>& inB) const noexcept {
      return std::basic_string_view<unsigned char>(inA.data(), inA.size()) < inB;
    }
    bool operator()(const std::basic_string_view<unsigned char>& inA, const UTF8String& inB) const noexcept {
      return inA < std::basic_string_view<unsigned char>(inB.data(), inB.size());
    }
  };
  typedef utility::SmallBlockAllocator::map<UTF8String, NodePtr, KeyLess> Table;

  const PropNodeBase* Find(std::basic_string_view<unsigned char> inKey) const;
  void Store(const UTF8String& inKey, NodePtr inNode);
  template <class Node>
  bool Get(const UTF8String& inKey, typename Node::Value& outValue) const;
  template <class Node, class Element>
  bool GetArray(const UTF8String& inKey, std::list<Element>& outValue) const;
  template <class Node, class Value>
  void Set(const UTF8String& inKey, const Value& inValue);

  Table mTable;
  unsigned short mVersion;
};

// Compound values stored as arrays under one key: points as x, y; rectangles
// as x, y, width, height; ratios as numerator, denominator (normalised). A
// missing key, an array of another kind or a shorter one reads as not found:
// points and rectangles are then all zero and ratio readers return false
// with the ratio untouched. So does a stored ratio with a zero denominator or
// one that cannot be normalised within its type. A null list reads as empty;
// writing to a null list does nothing.
namespace utils {

BSL_EXPORT geom::PointT<int> ReadPoint32(const UTF8String& inKey, const PropList& inList);
BSL_EXPORT geom::PointT<float> ReadPointF32(const UTF8String& inKey, const PropList* inList);
BSL_EXPORT geom::RectT<int> ReadRect32(const UTF8String& inKey, const PropList& inList);
BSL_EXPORT geom::RectT<float> ReadRectF32(const UTF8String& inKey, const PropList* inList);
BSL_EXPORT bool ReadRatio32(const UTF8String& inKey, const PropList* inList, boost::rational<int>& outRatio);
BSL_EXPORT bool ReadRatio64(const UTF8String& inKey, const PropList* inList, boost::rational<std::int64_t>& outRatio);

BSL_EXPORT void WritePointF32(const UTF8String& inKey, const geom::PointT<float>& inPoint, PropList* ioList);
BSL_EXPORT void WriteRect32(const UTF8String& inKey, const geom::RectT<int>& inRect, PropList& ioList);
BSL_EXPORT void WriteRectF32(const UTF8String& inKey, const geom::RectT<float>& inRect, PropList* ioList);
BSL_EXPORT void WriteRatio32(const UTF8String& inKey, const boost::rational<int>& inRatio, PropList* ioList);
BSL_EXPORT void WriteRatio64(const UTF8String& inKey, const boost::rational<std::int64_t>& inRatio, PropList* ioList);

}  // namespace utils
}  // namespace proplist
}  // namespace basalt

#endif  // BASALT_PROPLIST_PROPLIST_H
