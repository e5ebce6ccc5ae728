// Helpers shared by the JSON parser, writer and building functions.
#ifndef BASALT_SERIALIZATION_JSONINTERNAL_H
#define BASALT_SERIALIZATION_JSONINTERNAL_H

#include <basalt/serialization/JSON.h>
#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>

#include <boost/any.hpp>
#include <boost/smart_ptr/make_shared.hpp>

#include <cstddef>
#include <utility>

namespace basalt {
namespace serialization {
namespace internal {

// A new shared value holding inValue: the count and the any share one block
// of the small-block allocator; the any's holder comes from operator new,
// which boost::any does not let us change.
template <class T>
JSONValuePtr MakeValue(T&& inValue) {
  return boost::allocate_shared<boost::any>(utility::SmallBlockAllocator::STLAllocator<boost::any>(),
                                            std::forward<T>(inValue));
}

// Writes inValue as printf's "%.17g" does in the C locale and returns the end
// of the text (at most 24 bytes; no terminator). outText must have room for
// kFormatDoubleSpace bytes: the bytes after the text are scratch.
constexpr std::size_t kFormatDoubleSpace = 40;
BSL_EXPORT char* FormatDouble(double inValue, char* outText) noexcept;

}  // namespace internal
}  // namespace serialization
}  // namespace basalt

#endif  // BASALT_SERIALIZATION_JSONINTERNAL_H
