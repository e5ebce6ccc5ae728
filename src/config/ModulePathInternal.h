// Where the library's own file lies.
#ifndef BASALT_SRC_CONFIG_MODULEPATHINTERNAL_H
#define BASALT_SRC_CONFIG_MODULEPATHINTERNAL_H

#include <string>

namespace basalt {
namespace config {
namespace internal {

// The folder holding the library's shared object, as UTF-8, without a
// trailing separator; empty when the system cannot tell.
std::string LibraryDirectory();

// The separator between path components on this system.
extern const char kPathSeparator;

}  // namespace internal
}  // namespace config
}  // namespace basalt

#endif  // BASALT_SRC_CONFIG_MODULEPATHINTERNAL_H
