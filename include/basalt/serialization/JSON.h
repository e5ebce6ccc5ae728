// JSON values, the JSON parser and the compact JSON writer.
//
// Value model. A JSON value is a boost::any holding exactly one of:
//   object      JSONObject: members ordered by unsigned byte comparison of
//               their names, one member per name
//   array       JSONArray: elements in order
//   string      UTF8String (escapes resolved)
//   number      std::uint64_t for an integer that is not negative,
//               std::int64_t for a negative one, double for any other
//   true/false  bool
//   null        an empty boost::any
// Values are shared through boost::shared_ptr<boost::any>. JSONParse returns a
// fresh tree owned by the shared pointers of its containers. The building
// functions copy a value passed as const boost::any& into a new shared
// pointer; a value passed as a shared pointer is shared, not copied.
//
// Parsing. JSONParse reads one value from NUL-terminated UTF-8 and ignores
// whatever follows it: "1 2" gives 1 and "{}x" the empty object. Empty or
// all-white-space text gives a null shared pointer (no value, distinct from
// JSON null) without an exception. White space is the space and the bytes 9
// to 13. Leniencies, all deliberate:
//  - Literals are recognised by their prefix: "truex" gives true and leaves
//    the x unread.
//  - Raw bytes of any value except NUL are accepted inside strings, control
//    bytes included; the bytes are not checked to be UTF-8.
//  - A string escape is a backslash followed by one of " \ / b f n r t u.
//    Consecutive \u escapes form one run of UTF-16 units that is converted as
//    UTF16to8 does: an escaped surrogate pair becomes one 4-byte character, a
//    lone surrogate its own 3-byte form, and \u0000 ends the conversion of its
//    run (the units after it in the same run are dropped). A \u escape takes
//    up to four hexadecimal digits; fewer only at the end of the string.
//  - A number starts with a minus sign or a digit and runs over every
//    following digit, point, e, E, plus and minus sign. A number without
//    fraction or exponent, or whose fraction digits and exponent digits are
//    all zeros (1.0, 1e0, 1.), is an integer: std::uint64_t, or std::int64_t
//    when negative (-0 gives the signed 0). Leading zeros are accepted. Any
//    other number is the double nearest to its value (correctly rounded, so
//    every double the writer produces reads back exactly); an integer outside
//    the 64-bit range of its sign is read as a double as well, and a value
//    too small for a double reads as zero.
//  - Runs that are not JSON numbers are read by the scanner's own rules: each
//    point starts a fraction, each e or E an exponent, and a sign anywhere
//    sets the exponent's sign ("1-2" reads 12, "1.2.3" reads 2.03); digits of
//    a part beyond the 64-bit range are dropped there.
//
// Parse errors throw std::runtime_error, and no partial result is returned:
//   "ParseValue unexpected char"      a value starts with a byte that begins
//                                     no value (this includes a trailing
//                                     comma)
//   "ParsePrimitive unexpected char"  f, n or t not starting true, false, null
//   "AdvanceString: unexpected char"  a backslash before a byte that is no
//                                     escape letter, or the text ends inside a
//                                     string
//   "EscapeString: unexpected char"   a \u escape with a byte that is not a
//                                     hexadecimal digit
//   "ParseArray unexpected char"      after an element, neither , nor ]
//                                     (including the end of the text)
//   "ParseObject unexpected char"     a name not starting with ", a missing
//                                     colon, or after a member neither , nor }
//   "ParseNumber: number out of range"  a number too large for a double
//   "JSONParse: nesting deeper than 512 levels"  more than kJSONMaxDepth
//                                     arrays and objects open at once
// A later member of an object replaces an earlier one of the same name.
//
// Writing. GetJSONUTF8String writes no white space anywhere: objects in
// member order, arrays in element order, std::uint64_t and std::int64_t in
// decimal (unsigned long long and long long are written alike), doubles as
// printf "%.17g" would in the C locale (0.1 is 0.10000000000000001, 100.0 is
// 100), bools as true/false. A string is written up to its first NUL byte;
// bytes 8, 9, 10, 12, 13 become \b \t \n \f \r, the quotation mark and the
// backslash are preceded by a backslash, and every other byte is copied
// unchanged (other control bytes, the slash, UTF-8 sequences). An empty any
// gives the empty text at the top level and null inside a container, as does
// a null shared pointer inside a container; a double that is infinite or not a
// number is written as null, since JSON has no spelling for it. A value of any
// other held type is written as <ERROR>. The writer follows the tree
// recursively: a container that holds itself never ends.
//
// Thread safety: no shared state; each thread keeps its own scratch space
// between calls (the writer's text up to 4 MiB, the parser's pending array
// elements up to 65536). A tree may be read from several threads at once and
// needs exclusive access while it is changed.
#ifndef BASALT_SERIALIZATION_JSON_H
#define BASALT_SERIALIZATION_JSON_H

#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>
#include <basalt/utility/UnicodeString.h>

#include <boost/any.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace basalt {
namespace serialization {

typedef boost::shared_ptr<boost::any> JSONValuePtr;
typedef utility::SmallBlockAllocator::map<UTF8String, JSONValuePtr, std::less<UTF8String>> JSONObject;
typedef utility::SmallBlockAllocator::vector<JSONValuePtr> JSONArray;

// The deepest nesting of arrays and objects JSONParse accepts.
constexpr int kJSONMaxDepth = 512;

// A marker type for callers; no function of this header produces or reads it.
class BSL_EXPORT NullType {};
BSL_EXPORT extern NullType G_NullType;

// Parse one value; see above. The UTF-16 overload converts with UTF16to8
// first, the pointer-and-length overload copies the bytes first (so a NUL
// among them ends the text there), the others read up to the first NUL. A null
// pointer reads as the empty text.
BSL_EXPORT JSONValuePtr JSONParse(const UTF8String& inText);
BSL_EXPORT JSONValuePtr JSONParse(const UTF16String& inText);
BSL_EXPORT JSONValuePtr JSONParse(const unsigned char* inText);
BSL_EXPORT JSONValuePtr JSONParse(const unsigned char* inData, std::uint64_t inLength);

// The compact text of inValue; see above. The bool has no effect. The UTF-16
// form is the UTF-8 text converted with UTF8to16.
BSL_EXPORT UTF8String GetJSONUTF8String(const boost::any& inValue, bool inUnused = false);
BSL_EXPORT UTF16String GetJSONString(const boost::any& inValue, bool inUnused = false);

// Adds the member inName to the object held by ioObject, unless a member of
// that name exists already (the existing value wins). A const char* or
// std::string name is taken up to its first NUL byte; a UTF-16 name is
// converted with UTF16to8. An empty inValue adds nothing; any other is copied
// into a new shared pointer. Throws boost::bad_any_cast, leaving ioObject
// unchanged, when it does not hold a JSONObject.
BSL_EXPORT void AddToObject(boost::any& ioObject, const std::string& inName, const boost::any& inValue);
BSL_EXPORT void AddToObject(boost::any& ioObject, const UTF8String& inName, const boost::any& inValue);
BSL_EXPORT void AddToObject(boost::any& ioObject, const UTF16String& inName, const boost::any& inValue);
BSL_EXPORT void AddToObject(boost::any& ioObject, const char* inName, const boost::any& inValue);
BSL_EXPORT void AddToObject(boost::any& ioObject, const std::string& inName, JSONValuePtr inValue);
BSL_EXPORT void AddToObject(boost::any& ioObject, const UTF8String& inName, JSONValuePtr inValue);
BSL_EXPORT void AddToObject(boost::any& ioObject, const UTF16String& inName, JSONValuePtr inValue);
BSL_EXPORT void AddToObject(boost::any& ioObject, const char* inName, JSONValuePtr inValue);

// Appends to the array held by ioArray: a copy of inValue (nothing when it is
// empty), or the shared pointer itself. Throws boost::bad_any_cast, leaving
// ioArray unchanged, when it does not hold a JSONArray.
BSL_EXPORT void AppendToArray(boost::any& ioArray, const boost::any& inValue);
BSL_EXPORT void AppendToArray(boost::any& ioArray, JSONValuePtr inValue);

// The member's shared pointer, or a null one when there is no such member (or
// the name is null). The shared-pointer forms throw boost::bad_any_cast when
// the pointer is null or does not point at a JSONObject.
BSL_EXPORT JSONValuePtr GetVariantInObject(const JSONObject& inObject, const char* inName);
BSL_EXPORT JSONValuePtr GetVariantInObject(const JSONValuePtr& inObject, const char* inName);

// Whether the member exists and, unless inCountNull, holds a value other than
// JSON null (an empty any or a null shared pointer). The two-argument forms
// count null members. Shared-pointer forms throw as GetVariantInObject does.
BSL_EXPORT bool ObjectHasProperty(const JSONObject& inObject, const char* inName);
BSL_EXPORT bool ObjectHasProperty(const JSONObject& inObject, const char* inName, bool inCountNull);
BSL_EXPORT bool ObjectHasProperty(const JSONValuePtr& inObject, const char* inName);
BSL_EXPORT bool ObjectHasProperty(const JSONValuePtr& inObject, const char* inName, bool inCountNull);

// A new object {"method": inMethod, "params": a copy of inParams}; "params" is
// left out when inParams is empty, and a null inMethod gives the empty string.
BSL_EXPORT JSONValuePtr BuildCall(const char* inMethod, const boost::any& inParams);

}  // namespace serialization
}  // namespace basalt

#endif  // BASALT_SERIALIZATION_JSON_H
