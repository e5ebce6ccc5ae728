// RefCountedObject: one count shared by its interfaces, deletion on the last
// release (once, or not at all when suppressed), the memory tracker's hooks,
// and every holder's writes visible to the destructor.
#include <basalt/utility/MemoryTracker.h>
#include <basalt/utility/RefCountedObject.h>

#include <boost/intrusive_ptr.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using basalt::utility::MemoryTracker;
using basalt::utility::RefCountedInterface;
using basalt::utility::RefCountedObject;

// Records what the tracker hooks are told, from whatever thread.
class RecordingTracker : public MemoryTracker {
public:
  bool AfterAllocate(void* inObject) override {
    std::lock_guard<std::mutex> guard(mLock);
    EXPECT_TRUE(mLive.insert(inObject).second) << "born twice";
    ++mBirths;
    return true;
  }
  bool BeforeFree(void* inObject) override {
    std::lock_guard<std::mutex> guard(mLock);
    EXPECT_EQ(mLive.erase(inObject), 1u) << "died unborn or twice";
    return true;
  }
  int Births() {
    std::lock_guard<std::mutex> guard(mLock);
    return mBirths;
  }
  std::set<const void*> Live() {
    std::lock_guard<std::mutex> guard(mLock);
    return {mLive.begin(), mLive.end()};
  }

private:
  std::mutex mLock;
  std::set<void*> mLive;
  int mBirths = 0;
};

// Installs a tracker for a scope and puts the previous one back.
class ScInstallTracker {
public:
  explicit ScInstallTracker(MemoryTracker* inTracker) : mPrevious(MemoryTracker::Get()) { MemoryTracker::Set(inTracker); }
  ~ScInstallTracker() { MemoryTracker::Set(mPrevious); }

private:
  MemoryTracker* mPrevious;
};

class Counted : public RefCountedObject {
public:
  explicit Counted(std::atomic<int>* outDestructions) : mDestructions(outDestructions) {}
  ~Counted() override { mDestructions->fetch_add(1); }
  using RefCountedObject::SetDeleteOnRelease;

private:
  std::atomic<int>* mDestructions;
};

// A destructor that lends the object out once more must not delete it again.
class Lender : public Counted {
public:
  using Counted::Counted;
  ~Lender() override { boost::intrusive_ptr<Lender>(this).reset(); }
};

TEST(RefCountedObject, StartsAtZeroAndDiesOnceWithTheLastReference) {
  std::atomic<int> destructions{0};
  auto* object = new Counted(&destructions);
  EXPECT_EQ(object->GetRefCount(), 0u);
  {
    boost::intrusive_ptr<Counted> first(object);
    EXPECT_EQ(object->GetRefCount(), 1u);
    {
      boost::intrusive_ptr<Counted> second = first;
      boost::intrusive_ptr<const Counted> constant(object);
      EXPECT_EQ(object->GetRefCount(), 3u);
    }
    EXPECT_EQ(object->GetRefCount(), 1u);
    EXPECT_EQ(destructions.load(), 0);
  }
  EXPECT_EQ(destructions.load(), 1);
  boost::intrusive_ptr<Lender>(new Lender(&destructions)).reset();
  EXPECT_EQ(destructions.load(), 2);
}

class IShape : public virtual RefCountedInterface {
public:
  virtual int Corners() const = 0;

protected:
  ~IShape() = default;
};

class INamed : public virtual RefCountedInterface {
public:
  virtual const char* Name() const = 0;

protected:
  ~INamed() = default;
};

// Two interfaces, one count: the virtual base is shared.
class Square : public IShape, public INamed, public Counted {
public:
  using Counted::Counted;
  int Corners() const override { return 4; }
  const char* Name() const override { return "square"; }
};

TEST(RefCountedObject, InterfacesShareOneCount) {
  std::atomic<int> destructions{0};
  boost::intrusive_ptr<IShape> shape(new Square(&destructions));
  boost::intrusive_ptr<INamed> named(dynamic_cast<INamed*>(shape.get()));
  ASSERT_TRUE(named);
  EXPECT_EQ(shape->Corners(), 4);
  EXPECT_STREQ(named->Name(), "square");
  EXPECT_EQ(dynamic_cast<RefCountedObject*>(shape.get())->GetRefCount(), 2u);
  shape.reset();
  EXPECT_EQ(destructions.load(), 0);
  named.reset();
  EXPECT_EQ(destructions.load(), 1);
}

TEST(RefCountedObject, SuppressedDeletionLeavesTheObjectAlone) {
  std::atomic<int> destructions{0};
  {
    Counted onStack(&destructions);
    onStack.SetDeleteOnRelease(false);
    {
      boost::intrusive_ptr<Counted> held(&onStack);
      EXPECT_EQ(onStack.GetRefCount(), 1u);
    }
    EXPECT_EQ(onStack.GetRefCount(), 0u);
    EXPECT_EQ(destructions.load(), 0);
  }
  EXPECT_EQ(destructions.load(), 1);

  // Turned back on, the last release deletes as usual.
  auto* object = new Counted(&destructions);
  object->SetDeleteOnRelease(false);
  object->SetDeleteOnRelease(true);
  boost::intrusive_ptr<Counted>(object).reset();
  EXPECT_EQ(destructions.load(), 2);
}

TEST(RefCountedObject, TrackerSeesBirthAndDeath) {
  MemoryTracker base;
  int value = 0;
  EXPECT_FALSE(base.AfterAllocate(&value));
  EXPECT_FALSE(base.BeforeFree(&value));
  std::atomic<int> destructions{0};
  {
    ScInstallTracker none(nullptr);
    EXPECT_EQ(MemoryTracker::Get(), nullptr);
    boost::intrusive_ptr<Counted>(new Counted(&destructions)).reset();
    EXPECT_EQ(destructions.load(), 1);
  }
  RecordingTracker tracker;
  ScInstallTracker installed(&tracker);
  EXPECT_EQ(MemoryTracker::Get(), &tracker);
  {
    boost::intrusive_ptr<Counted> object(new Counted(&destructions));
    // A copy is a new object with its own count and its own report.
    boost::intrusive_ptr<Counted> copy(new Counted(*object));
    EXPECT_EQ(copy->GetRefCount(), 1u);
    EXPECT_EQ(object->GetRefCount(), 1u);
    const std::set<const void*> live{static_cast<const RefCountedObject*>(object.get()),
                                     static_cast<const RefCountedObject*>(copy.get())};
    EXPECT_EQ(tracker.Live(), live);
  }
  EXPECT_EQ(tracker.Births(), 2);
  EXPECT_TRUE(tracker.Live().empty());
  EXPECT_EQ(destructions.load(), 3);
}

// Each thread writes its own slot of a shared object before dropping its
// reference; the destructor reads all of them. Without acquire-release on the
// count ThreadSanitizer reports those plain accesses as races.
class Slots : public RefCountedObject {
public:
  Slots(int inThreads, std::atomic<int>* outSum) : mValues(inThreads, 0), mSum(outSum) {}
  ~Slots() override {
    int sum = 0;
    for (const int value : mValues) sum += value;
    mSum->store(sum);
  }
  std::vector<int> mValues;

private:
  std::atomic<int>* mSum;
};

TEST(RefCountedObject, LastReleaseSeesEveryHoldersWrites) {
  constexpr int kThreads = 4;
  constexpr int kCopies = 2000;
  std::atomic<int> sum{-1};
  boost::intrusive_ptr<Slots> shared(new Slots(kThreads, &sum));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([shared, t, &ready]() mutable {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kCopies; ++i) boost::intrusive_ptr<Slots>(shared).reset();
      shared->mValues[t] = t + 1;
      shared.reset();
    });
  }
  shared.reset();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(sum.load(), kThreads * (kThreads + 1) / 2);
}

}  // namespace
