// Internal to the host platform: counts that the hot paths of the machine
// bump on every call (calls per routine, pool blocks per tag) without a
// locked instruction, the way a kernel keeps per-processor counters.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace host::detail {

// N counters. Each thread adds to a copy of its own, with a plain load and
// store; a read sums every copy. Copies are never freed: a thread that ends
// hands its copy, counts and all, to the next thread that needs one, so the
// sums stay right and the copies number at most the threads alive at once.
// No lock anywhere, so a thread that the process ends in the middle of a
// call leaves nothing held. Owner only tells one set of tallies from another.
template <typename Owner, size_t N>
class ThreadTallies {
  struct Copy;

 public:
  // The calling thread's counts, for several changes in a row.
  class Local {
   public:
    Local() : copy_(Mine()) {}
    void Add(size_t index, uint64_t amount) {
      std::atomic<uint64_t>& value = copy_->values[index];
      value.store(value.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
    void Subtract(size_t index, uint64_t amount) { Add(index, ~amount + 1); }  // sums wrap back

   private:
    Copy* copy_;
  };
  static void Add(size_t index, uint64_t amount) { Local().Add(index, amount); }

  // The sum over all threads; exact once the adding threads are quiet.
  static uint64_t Sum(size_t index) {
    uint64_t sum = 0;
    for (Copy* copy = head.load(std::memory_order_acquire); copy != nullptr; copy = copy->next)
      sum += copy->values[index].load(std::memory_order_relaxed);
    return sum;
  }

 private:
  struct Copy {
    std::atomic<uint64_t> values[N] = {};
    std::atomic<bool> taken{true};
    Copy* next = nullptr;  // set once, before the copy is published
  };

  // Gives the calling thread's copy back when the thread ends.
  struct Holder {
    ~Holder() {
      if (mine != nullptr) mine->taken.store(false, std::memory_order_release);
      mine = nullptr;  // a count made later in the thread's end takes a copy again
    }
  };

  static Copy* Mine() {
    if (__builtin_expect(mine == nullptr, 0)) Adopt();
    return mine;
  }

  __attribute__((noinline)) static void Adopt() {
    thread_local Holder holder;
    (void)holder;
    mine = Take();
  }

  static Copy* Take() {
    for (Copy* copy = head.load(std::memory_order_acquire); copy != nullptr; copy = copy->next) {
      bool free = false;
      if (!copy->taken.load(std::memory_order_relaxed) &&
          copy->taken.compare_exchange_strong(free, true, std::memory_order_acquire))
        return copy;
    }
    Copy* copy = new Copy();
    copy->next = head.load(std::memory_order_relaxed);
    while (!head.compare_exchange_weak(copy->next, copy, std::memory_order_release, std::memory_order_relaxed)) {
    }
    return copy;
  }

  static inline std::atomic<Copy*> head{nullptr};  // constant-initialised, never destroyed
  static inline thread_local Copy* mine = nullptr;
};

}  // namespace host::detail
