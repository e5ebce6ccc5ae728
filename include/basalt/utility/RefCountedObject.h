// Intrusive reference counting, held by boost::intrusive_ptr.
//
// RefCountedInterface is the counting interface; interfaces that want to be
// held by intrusive_ptr derive from it virtually, and one RefCountedObject
// base in the implementing class supplies the count for all of them:
//
//   class IShape : public virtual basalt::utility::RefCountedInterface { ... };
//   class Circle : public IShape, public basalt::utility::RefCountedObject { ... };
//   boost::intrusive_ptr<IShape> shape(new Circle);
//
// Contract:
//  - The count starts at 0; intrusive_ptr takes the first reference. When the
//    last reference goes, the object deletes itself through its virtual
//    destructor (and its class's operator delete), once: references taken and
//    dropped again while the destructor runs do not delete it a second time.
//  - A class may suppress that deletion (SetDeleteOnRelease(false)), for an
//    object whose storage it manages itself.
//  - AddRef and Release are thread-safe; everything the other holders did to
//    the object happens before its destructor runs.
//  - Construction calls MemoryTracker::AfterAllocate and destruction
//    MemoryTracker::BeforeFree on the installed tracker, if any.
//  - Copying an object gives a new object with its own count of 0.
#ifndef BASALT_UTILITY_REFCOUNTEDOBJECT_H
#define BASALT_UTILITY_REFCOUNTEDOBJECT_H

#include <basalt/utility/Export.h>

#include <atomic>
#include <cstdint>

namespace basalt {
namespace utility {

class BSL_EXPORT RefCountedInterface {
public:
  virtual void AddRef() const noexcept = 0;
  virtual void Release() const noexcept = 0;

protected:
  // Objects are deleted by Release, never through this interface.
  ~RefCountedInterface() = default;
};

// Found by argument-dependent lookup for every class derived from
// RefCountedInterface, which is what boost::intrusive_ptr needs.
inline void intrusive_ptr_add_ref(const RefCountedInterface* inObject) noexcept { inObject->AddRef(); }
inline void intrusive_ptr_release(const RefCountedInterface* inObject) noexcept { inObject->Release(); }

class BSL_EXPORT RefCountedObject : public virtual RefCountedInterface {
public:
  void AddRef() const noexcept override;
  void Release() const noexcept override;

  // The current count; by the time it is read other threads may have moved
  // it, so it is for diagnostics and tests.
  std::uint32_t GetRefCount() const noexcept { return mRefCount.load(std::memory_order_relaxed); }

protected:
  RefCountedObject();
  RefCountedObject(const RefCountedObject& inOther);
  RefCountedObject& operator=(const RefCountedObject&) noexcept { return *this; }
  virtual ~RefCountedObject();

  // Whether dropping the last reference deletes the object (the default).
  void SetDeleteOnRelease(bool inDelete) noexcept {
    mDeletionSuppressed.store(!inDelete, std::memory_order_relaxed);
  }

private:
  mutable std::atomic<std::uint32_t> mRefCount;
  // Set by the Release that starts the destruction.
  mutable std::atomic<bool> mDestroying;
  std::atomic<bool> mDeletionSuppressed;
};

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_REFCOUNTEDOBJECT_H
