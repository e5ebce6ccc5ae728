// A process-wide hook told when tracked objects are born and die.
//
// The host (or a test) installs one tracker with Set; RefCountedObject calls
// AfterAllocate from its constructor and BeforeFree from its destructor, with
// the address of its RefCountedObject part. What a tracker does with them (leak
// reports, counters) is its own business; the library ignores the results.
//
// Contract:
//  - Set never takes ownership. The installed tracker must outlive every call
//    that may reach it, including those of threads still running and of
//    objects destroyed after it is replaced.
//  - Get and Set are thread-safe. A tracker's overrides are called from any
//    thread that creates or destroys a tracked object, concurrently.
//  - BeforeFree is called from destructors and must not throw.
#ifndef BASALT_UTILITY_MEMORYTRACKER_H
#define BASALT_UTILITY_MEMORYTRACKER_H

#include <basalt/utility/Export.h>

namespace basalt {
namespace utility {

class BSL_EXPORT MemoryTracker {
public:
  // The installed tracker, or null.
  static MemoryTracker* Get() noexcept;
  // Installs inTracker (null removes the current one).
  static void Set(MemoryTracker* inTracker) noexcept;

  virtual ~MemoryTracker();
  // inObject has just been constructed. The base does nothing and answers
  // false.
  virtual bool AfterAllocate(void* inObject);
  // inObject is about to be destroyed. The base does nothing and answers
  // false.
  virtual bool BeforeFree(void* inObject);
};

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_MEMORYTRACKER_H
