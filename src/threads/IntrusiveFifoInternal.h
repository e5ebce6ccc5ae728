// A first-in first-out list of caller-owned nodes: any number of threads push
// without a lock (one exchange and one store), consumers take turns under a
// lock of their own.
//
// This is the intrusive multi-producer queue with a stub node known from
// Dmitry Vyukov. A producer that has swapped itself in as the tail but not yet
// linked its predecessor leaves the list briefly unreadable beyond that point:
// Pop then answers kBusy, and the consumer retries after yielding. Nothing is
// lost and the order stays the push order.
//
// Emptiness is always concluded from a sequentially consistent load of the
// tail, and Push swaps the tail sequentially consistently, so a consumer that
// announces itself idle (a sequentially consistent write elsewhere) and then
// finds the list empty cannot miss a producer that checks for idle consumers
// after pushing.
#ifndef BASALT_THREADS_INTRUSIVEFIFOINTERNAL_H
#define BASALT_THREADS_INTRUSIVEFIFOINTERNAL_H

#include <atomic>

namespace basalt {
namespace threads {
namespace internal {

struct FifoNode {
  std::atomic<FifoNode*> mNext{nullptr};
};

class IntrusiveFifo {
public:
  enum class PopResult { kItem, kEmpty, kBusy };

  IntrusiveFifo() noexcept : mTail(&mStub), mHead(&mStub) {}
  IntrusiveFifo(const IntrusiveFifo&) = delete;
  IntrusiveFifo& operator=(const IntrusiveFifo&) = delete;

  // Any thread. The node belongs to the list until popped.
  void Push(FifoNode* inNode) noexcept {
    inNode->mNext.store(nullptr, std::memory_order_relaxed);
    FifoNode* previous = mTail.exchange(inNode, std::memory_order_seq_cst);
    previous->mNext.store(inNode, std::memory_order_release);
  }

  // One consumer at a time.
  PopResult Pop(FifoNode*& outNode) noexcept {
    FifoNode* head = mHead;
    FifoNode* next = head->mNext.load(std::memory_order_acquire);
    if (head == &mStub) {
      if (next == nullptr) return mTail.load(std::memory_order_seq_cst) == &mStub ? PopResult::kEmpty : PopResult::kBusy;
      mHead = next;
      head = next;
      next = next->mNext.load(std::memory_order_acquire);
    }
    if (next != nullptr) {
      mHead = next;
      outNode = head;
      return PopResult::kItem;
    }
    if (mTail.load(std::memory_order_seq_cst) != head) return PopResult::kBusy;
    // head is the last node: put the stub behind it so head can be handed out.
    Push(&mStub);
    next = head->mNext.load(std::memory_order_acquire);
    if (next == nullptr) return PopResult::kBusy;
    mHead = next;
    outNode = head;
    return PopResult::kItem;
  }

  // One consumer at a time: true when a Pop now might find an item.
  bool MayHaveItems() const noexcept {
    return mHead != &mStub || mHead->mNext.load(std::memory_order_acquire) != nullptr ||
           mTail.load(std::memory_order_seq_cst) != mHead;
  }

  // Any thread: changes with every push (for spinning on arrivals only; a
  // recycled node may bring back an earlier value).
  const FifoNode* Tail() const noexcept { return mTail.load(std::memory_order_acquire); }

private:
  std::atomic<FifoNode*> mTail;  // producers
  FifoNode* mHead;               // consumers
  FifoNode mStub;
};

}  // namespace internal
}  // namespace threads
}  // namespace basalt

#endif  // BASALT_THREADS_INTRUSIVEFIFOINTERNAL_H
