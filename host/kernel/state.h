// Internal to the host platform: per-thread context and shared helpers.
#pragma once
#include "host/host.h"

#include <mutex>

namespace host::detail {

// Spin locks a thread holds, newest last. A thread of the driver holds one at
// a time (two are a verifier report); more than kCapacity are not tracked.
class HeldLocks {
 public:
  static constexpr size_t kCapacity = 8;
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  const PKSPIN_LOCK* begin() const { return locks_; }
  const PKSPIN_LOCK* end() const { return locks_ + count_; }
  void Add(PKSPIN_LOCK lock) {
    if (count_ < kCapacity) locks_[count_++] = lock;
  }
  // False when the thread does not hold the lock.
  bool Remove(PKSPIN_LOCK lock) {
    for (size_t i = count_; i > 0; --i) {
      if (locks_[i - 1] != lock) continue;
      for (size_t k = i; k < count_; ++k) locks_[k - 1] = locks_[k];
      --count_;
      return true;
    }
    return false;
  }

 private:
  PKSPIN_LOCK locks_[kCapacity] = {};
  size_t count_ = 0;
};

struct ThreadContext {
  KIRQL irql = PASSIVE_LEVEL;
  bool named = false;  // threadId given
  bool driverThread = false;  // made by PsCreateSystemThread
  uint64_t processId = kernel::kSystemProcessId;
  uint64_t threadId = 0;
  HeldLocks heldLocks;
};

// Constant-initialised and trivially destroyed, so that reaching it costs one
// thread-pointer access and a thread's end runs nothing.
inline thread_local ThreadContext tCurrentThread;
void NameThread(ThreadContext* context);

inline ThreadContext& CurrentThread() {
  ThreadContext& context = tCurrentThread;
  if (__builtin_expect(!context.named, 0)) NameThread(&context);
  return context;
}
uint64_t NewThreadId();

// Runs a routine on a new system thread of the simulated machine (the
// driver's, from PsCreateSystemThread: it lives as long as the process).
void StartSystemThread(std::function<void()> body);

// Starts one of the platform's own service threads (the work queue, the BFE
// notifier, injection completions, later reauthorizations). Its body returns
// once MachineStopping() is true; `wake` takes the service's lock and rouses
// it from its wait, so that it sees the change. kernel::Shutdown joins it.
void StartServiceThread(std::function<void()> body, std::function<void()> wake);
// True once kernel::Shutdown has begun; a service reads it under its own lock.
bool MachineStopping();

// The driver's system threads, for telling when all of them wait.
void DriverThreadStarting();
void DriverThreadEnded();

// A handle table for kernel handles the platform hands out.
HANDLE NewHandle(const char* kind);
bool CloseHandle(HANDLE handle);

// The return addresses on the calling thread, innermost first.
std::vector<const void*> CallerStack();

// Objects the machine keeps for its life; never destroyed, so that threads
// still running at process exit never see a destructed object.
template <typename T>
T& Forever() {
  static T* object = new T();
  return *object;
}

}  // namespace host::detail

namespace host::verifier {
[[gnu::cold, gnu::noinline]] void ReportIrql(KIRQL irql, KIRQL highest, const char* routine);

// Checks the current thread's IRQL against the highest one a routine allows.
inline void RequireIrql(KIRQL highest, const char* routine) {
  KIRQL irql = detail::CurrentThread().irql;
  if (__builtin_expect(irql > highest, 0)) ReportIrql(irql, highest, routine);
}
}  // namespace host::verifier
