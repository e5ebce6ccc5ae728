#include <basalt/proplist/PropList.h>

#include "proplist/PropNodesInternal.h"

#include <limits>
#include <locale>
#include <sstream>
#include <type_traits>

namespace basalt {
namespace proplist {

using namespace internal;

namespace {

typedef std::basic_string_view<unsigned char> KeyView;

// A key counts up to its first NUL byte.
KeyView ViewOf(const UTF8String& inKey) {
  const std::size_t end = inKey.find(static_cast<unsigned char>(0));
  return KeyView(inKey.data(), end == UTF8String::npos ? inKey.size() : end);
}

KeyView ViewOf(const unsigned char* inKey) {
  std::size_t length = 0;
  while (inKey[length] != 0) ++length;
  return KeyView(inKey, length);
}

// Lists of version 1 kept doubles as text.
double ParseVersion1Double(const UTF16String& inText) {
  const UTF8String bytes = utility::UTF16to8(inText);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  in.imbue(std::locale::classic());
  double value = 0;
  in >> value;
  return value;
}

}  // namespace

void PropList::NodeDeleter::operator()(PropNodeBase* inNode) const noexcept { delete inNode; }

PropList::PropList() : mVersion(GetCurrentVersion()) {}

PropList::PropList(const PropList& inOther) : mVersion(inOther.mVersion) {
  for (const auto& entry : inOther.mTable)
    mTable.emplace_hint(mTable.end(), entry.first, NodePtr(entry.second ? entry.second->Clone() : nullptr));
}

PropList& PropList::operator=(PropList inOther) {
  mVersion = inOther.mVersion;
  mTable.swap(inOther.mTable);
  return *this;
}

PropList::~PropList() = default;

const PropNodeBase* PropList::Find(KeyView inKey) const {
  const auto found = mTable.find(inKey);
  return found == mTable.end() ? nullptr : found->second.get();
}

void PropList::Store(const UTF8String& inKey, NodePtr inNode) {
  const KeyView key = ViewOf(inKey);
  const auto found = mTable.find(key);
  if (found != mTable.end()) {
    found->second = std::move(inNode);
  } else {
    mTable.emplace(UTF8String(key.data(), key.size()), std::move(inNode));
  }
}

template <class Node>
bool PropList::Get(const UTF8String& inKey, typename Node::Value& outValue) const {
  const Node* node = dynamic_cast<const Node*>(Find(ViewOf(inKey)));
  if (node == nullptr) return false;
  outValue = node->Get();
  return true;
}

template <class Node, class Element>
bool PropList::GetArray(const UTF8String& inKey, std::list<Element>& outValue) const {
  const Node* node = dynamic_cast<const Node*>(Find(ViewOf(inKey)));
  if (node == nullptr) return false;
  outValue.insert(outValue.end(), node->Get().begin(), node->Get().end());
  return true;
}

template <class Node, class Value>
void PropList::Set(const UTF8String& inKey, const Value& inValue) {
  const KeyView key = ViewOf(inKey);
  const auto found = mTable.find(key);
  if (found != mTable.end()) {
    // The same kind is overwritten in place; any other kind is replaced.
    if (Node* node = dynamic_cast<Node*>(found->second.get())) {
      node->Set(inValue);
      return;
    }
    found->second.reset(new Node(inValue));
    return;
  }
  mTable.emplace(UTF8String(key.data(), key.size()), NodePtr(new Node(inValue)));
}

bool PropList::GetValue(const UTF8String& inKey, double& outValue) const {
  if (Get<DoubleNode>(inKey, outValue)) return true;
  if (mVersion != 1) return false;
  const UnicodeStringPropNode* text = dynamic_cast<const UnicodeStringPropNode*>(Find(ViewOf(inKey)));
  if (text == nullptr) return false;
  outValue = ParseVersion1Double(text->Get());
  return true;
}

#define BSL_PROPLIST_ACCESSORS(Type, ScalarNode, ArrayNodeType)                                     \
  bool PropList::GetValue(const UTF8String& inKey, std::list<Type>& outValue) const {                \
    return GetArray<ArrayNodeType>(inKey, outValue);                                                  \
  }                                                                                                   \
  void PropList::SetValue(const UTF8String& inKey, const std::list<Type>& inValue) {                \
    Set<ArrayNodeType>(inKey, inValue);                                                               \
  }                                                                                                   \
  void PropList::SetValue(const UTF8String& inKey, const Type& inValue) { Set<ScalarNode>(inKey, inValue); }

#define BSL_PROPLIST_SCALAR_GETTER(Type, ScalarNode) \
  bool PropList::GetValue(const UTF8String& inKey, Type& outValue) const { return Get<ScalarNode>(inKey, outValue); }

BSL_PROPLIST_ACCESSORS(double, DoubleNode, DoubleArrayNode)
BSL_PROPLIST_ACCESSORS(float, FloatNode, FloatArrayNode)
BSL_PROPLIST_ACCESSORS(std::uint64_t, UInt64Node, UInt64ArrayNode)
BSL_PROPLIST_ACCESSORS(std::int64_t, Int64Node, Int64ArrayNode)
BSL_PROPLIST_ACCESSORS(int, Int32Node, Int32ArrayNode)
BSL_PROPLIST_ACCESSORS(unsigned int, UInt32Node, UInt32ArrayNode)
BSL_PROPLIST_ACCESSORS(unsigned short, UInt16Node, UInt16ArrayNode)
BSL_PROPLIST_ACCESSORS(bool, BoolPropNode, BoolArrayNode)
BSL_PROPLIST_ACCESSORS(UTF8String, StringPropNode, StringArrayNode)
BSL_PROPLIST_ACCESSORS(UTF16String, UnicodeStringPropNode, UnicodeStringArrayNode)
BSL_PROPLIST_SCALAR_GETTER(float, FloatNode)
BSL_PROPLIST_SCALAR_GETTER(std::uint64_t, UInt64Node)
BSL_PROPLIST_SCALAR_GETTER(std::int64_t, Int64Node)
BSL_PROPLIST_SCALAR_GETTER(int, Int32Node)
BSL_PROPLIST_SCALAR_GETTER(unsigned int, UInt32Node)
BSL_PROPLIST_SCALAR_GETTER(unsigned short, UInt16Node)
BSL_PROPLIST_SCALAR_GETTER(bool, BoolPropNode)
BSL_PROPLIST_SCALAR_GETTER(UTF8String, StringPropNode)
BSL_PROPLIST_SCALAR_GETTER(UTF16String, UnicodeStringPropNode)

#undef BSL_PROPLIST_ACCESSORS
#undef BSL_PROPLIST_SCALAR_GETTER

PropList* PropList::GetSubList(const UTF8String& inKey) const { return GetSubList(inKey.c_str()); }

PropList* PropList::GetSubList(const unsigned char* inKey) const {
  if (inKey == nullptr) return nullptr;
  const PropListNode* node = dynamic_cast<const PropListNode*>(Find(ViewOf(inKey)));
  return node == nullptr ? nullptr : node->List();
}

PropList* PropList::NewSubList(const UTF8String& inKey) {
  if (PropList* existing = GetSubList(inKey)) return existing;
  PropListNode* node = new PropListNode();
  Store(inKey, NodePtr(node));
  return node->List();
}

void PropList::Clear() { mTable.clear(); }

void PropList::GetPropertyNames(std::list<UTF8String>& outNames) const {
  outNames.clear();
  for (const auto& entry : mTable) outNames.push_back(entry.first);
}

PropListPropertyType PropList::GetPropertyType(const UTF8String& inKey) const {
  const PropNodeBase* node = Find(ViewOf(inKey));
  return node == nullptr ? kPropertyTypeNone : node->GetType();
}

bool PropList::operator==(const PropList& inOther) const {
  if (mTable.size() != inOther.mTable.size()) return false;
  for (const auto& entry : mTable) {
    const auto other = inOther.mTable.find(entry.first);
    if (other == inOther.mTable.end()) return false;
    const PropNodeBase* mine = entry.second.get();
    const PropNodeBase* theirs = other->second.get();
    if (mine == theirs) continue;
    if (mine == nullptr || theirs == nullptr || !mine->IsEqual(theirs)) return false;
  }
  return true;
}

bool PropList::IsEmpty() const { return mTable.empty(); }

bool PropList::RemoveValue(const UTF8String& inKey) {
  const auto found = mTable.find(ViewOf(inKey));
  if (found == mTable.end()) return false;
  mTable.erase(found);
  return true;
}

// ---------------------------------------------------------------------------
// Compound values
// ---------------------------------------------------------------------------
namespace utils {
namespace {

template <class T>
bool ReadElements(const UTF8String& inKey, const PropList* inList, std::size_t inCount, T* outElements) {
  std::list<T> values;
  if (inList == nullptr || !inList->GetValue(inKey, values) || values.size() < inCount) return false;
  auto value = values.begin();
  for (std::size_t i = 0; i < inCount; ++i) outElements[i] = *value++;
  return true;
}

template <class T>
void WriteElements(const UTF8String& inKey, std::initializer_list<T> inElements, PropList* ioList) {
  if (ioList != nullptr) ioList->SetValue(inKey, std::list<T>(inElements));
}

// Normalises a stored ratio in a wider type, so that values whose
// normalisation does not fit (a minimum numerator over -1) or a zero
// denominator read as not found instead of failing inside boost::rational.
template <class Wide>
Wide GreatestCommonDivisor(Wide inA, Wide inB) {
  if (inA < 0) inA = -inA;
  if (inB < 0) inB = -inB;
  while (inB != 0) {
    const Wide rest = inA % inB;
    inA = inB;
    inB = rest;
  }
  return inA;
}

template <class T, class Wide>
bool ReadRatio(const UTF8String& inKey, const PropList* inList, boost::rational<T>& outRatio) {
  T parts[2];
  if (!ReadElements(inKey, inList, 2, parts) || parts[1] == 0) return false;
  Wide numerator = parts[0], denominator = parts[1];
  const Wide divisor = GreatestCommonDivisor(numerator, denominator);
  numerator /= divisor;
  denominator /= divisor;
  if (denominator < 0) {
    numerator = -numerator;
    denominator = -denominator;
  }
  if (numerator > std::numeric_limits<T>::max() || numerator < std::numeric_limits<T>::min() ||
      denominator > std::numeric_limits<T>::max())
    return false;
  outRatio.assign(static_cast<T>(numerator), static_cast<T>(denominator));
  return true;
}

}  // namespace

geom::PointT<int> ReadPoint32(const UTF8String& inKey, const PropList& inList) {
  int v[2];
  return ReadElements(inKey, &inList, 2, v) ? geom::PointT<int>(v[0], v[1]) : geom::PointT<int>();
}

geom::PointT<float> ReadPointF32(const UTF8String& inKey, const PropList* inList) {
  float v[2];
  return ReadElements(inKey, inList, 2, v) ? geom::PointT<float>(v[0], v[1]) : geom::PointT<float>();
}

geom::RectT<int> ReadRect32(const UTF8String& inKey, const PropList& inList) {
  int v[4];
  return ReadElements(inKey, &inList, 4, v) ? geom::RectT<int>(v[0], v[1], v[2], v[3]) : geom::RectT<int>();
}

geom::RectT<float> ReadRectF32(const UTF8String& inKey, const PropList* inList) {
  float v[4];
  return ReadElements(inKey, inList, 4, v) ? geom::RectT<float>(v[0], v[1], v[2], v[3]) : geom::RectT<float>();
}

bool ReadRatio32(const UTF8String& inKey, const PropList* inList, boost::rational<int>& outRatio) {
  return ReadRatio<int, std::int64_t>(inKey, inList, outRatio);
}

bool ReadRatio64(const UTF8String& inKey, const PropList* inList, boost::rational<std::int64_t>& outRatio) {
  return ReadRatio<std::int64_t, __int128>(inKey, inList, outRatio);
}

void WritePointF32(const UTF8String& inKey, const geom::PointT<float>& inPoint, PropList* ioList) {
  WriteElements(inKey, {inPoint.x, inPoint.y}, ioList);
}

void WriteRect32(const UTF8String& inKey, const geom::RectT<int>& inRect, PropList& ioList) {
  WriteElements(inKey, {inRect.x, inRect.y, inRect.width, inRect.height}, &ioList);
}

void WriteRectF32(const UTF8String& inKey, const geom::RectT<float>& inRect, PropList* ioList) {
  WriteElements(inKey, {inRect.x, inRect.y, inRect.width, inRect.height}, ioList);
}

void WriteRatio32(const UTF8String& inKey, const boost::rational<int>& inRatio, PropList* ioList) {
  WriteElements(inKey, {inRatio.numerator(), inRatio.denominator()}, ioList);
}

void WriteRatio64(const UTF8String& inKey, const boost::rational<std::int64_t>& inRatio, PropList* ioList) {
  WriteElements(inKey, {inRatio.numerator(), inRatio.denominator()}, ioList);
}

}  // namespace utils
}  // namespace proplist
}  // namespace basalt
