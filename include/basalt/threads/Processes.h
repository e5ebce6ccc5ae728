// Processes of the machine by executable name.
#ifndef BASALT_THREADS_PROCESSES_H
#define BASALT_THREADS_PROCESSES_H

#include <basalt/threads/ThreadIdentity.h>
#include <basalt/utility/Export.h>
#include <basalt/utility/SmallBlockAllocator.h>

#include <string>
#include <vector>

namespace basalt {
namespace threads {

// Appends to outIDs (which is not cleared) the id of every running process
// whose executable's base name is exactly inName (case-sensitive). A trailing
// ".exe" in inName is also tried without it, so names written for Windows
// find the same program. Processes whose executable cannot be read (other
// users', exited meanwhile) are skipped.
BSL_EXPORT void GetProcessIDsForName(const std::string& inName,
                                     std::vector<unsigned int, utility::SmallBlockAllocator::STLAllocator<unsigned int>>& outIDs);

}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_PROCESSES_H
