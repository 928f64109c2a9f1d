#include "host/kernel/state.h"
#include "host/kernel/thread_tallies.h"

#ifdef _WIN32
// The Win32 layer under a PE build of the host: kernel32's stack walker.
extern "C" __declspec(dllimport) unsigned short __stdcall RtlCaptureStackBackTrace(
    unsigned long framesToSkip, unsigned long framesToCapture, void** frames, unsigned long* hash);
#else
#include <execinfo.h>
#endif

#include <atomic>
#include <map>

namespace host::detail {
std::vector<const void*> CallerStack() {
  void* frames[32];
#ifdef _WIN32
  int depth = RtlCaptureStackBackTrace(0, 32, frames, nullptr);
#else
  int depth = backtrace(frames, 32);
#endif
  // The first frame is this function's own.
  return depth > 1 ? std::vector<const void*>(frames + 1, frames + depth) : std::vector<const void*>{};
}
}  // namespace host::detail

namespace host::faults {
namespace {
struct Arm {
  unsigned nth;  // counted from the arming
  NTSTATUS status;
  bool every;
  unsigned seen = 0;
};
struct Hook {
  unsigned nth;  // counted from the arming
  std::function<void()> action;
  unsigned seen = 0;
};
struct Table {
  std::mutex lock;
  std::map<std::string, Arm> armed;
  std::map<std::string, Hook> hooks;
  bool failed = false;
  Failure last;
};
Table& table() { return detail::Forever<Table>(); }
// Set while a failure or an action is armed: with none, a routine's check is
// one relaxed load and a count in the calling thread's own tally.
std::atomic<bool> anyArmed{false};

// Call counts, one slot per routine name as the routine passes it (a string
// literal, so one address per place it is written); found by that address
// without a lock, and counted in a per-thread tally. Names spelt alike in
// several places count together when read.
constexpr size_t kCounterSlots = 512;
std::atomic<const char*> gCounterRoutines[kCounterSlots];  // constant-initialised, never destroyed
using CallTallies = detail::ThreadTallies<struct CallCounting, kCounterSlots>;

// Counts one call; returns the routine's slot, or kCounterSlots with none left.
size_t CountCall(const char* routine) {
  size_t start = (reinterpret_cast<uintptr_t>(routine) >> 3) % kCounterSlots;
  for (size_t probe = 0; probe < kCounterSlots; ++probe) {
    size_t slot = (start + probe) % kCounterSlots;
    const char* owner = gCounterRoutines[slot].load(std::memory_order_acquire);
    if (owner == nullptr) {
      if (gCounterRoutines[slot].compare_exchange_strong(owner, routine, std::memory_order_acq_rel)) owner = routine;
    }
    if (owner == routine) {
      CallTallies::Add(slot, 1);
      return slot;
    }
  }
  verifier::Report("HOST_USAGE", std::string("no call counter left for ") + routine);
  return kCounterSlots;
}

// The number since boot of the call just counted; exact while no other
// thread calls the same routine.
unsigned CallNumber(size_t slot) { return slot < kCounterSlots ? static_cast<unsigned>(CallTallies::Sum(slot)) : 0; }
}  // namespace

void FailCall(const std::string& routine, unsigned nth, NTSTATUS status, bool every) {
  std::lock_guard<std::mutex> guard(table().lock);
  table().armed[routine] = Arm{nth, status, every};
  anyArmed.store(true, std::memory_order_release);
}

void BeforeCall(const std::string& routine, unsigned nth, std::function<void()> action) {
  std::lock_guard<std::mutex> guard(table().lock);
  table().hooks[routine] = Hook{nth, std::move(action)};
  anyArmed.store(true, std::memory_order_release);
}

void Clear() {
  std::lock_guard<std::mutex> guard(table().lock);
  table().armed.clear();
  table().hooks.clear();
  anyArmed.store(false, std::memory_order_release);
}

NTSTATUS Check(const char* routine) {
  if (!anyArmed.load(std::memory_order_relaxed)) {
    CountCall(routine);
    return STATUS_SUCCESS;
  }
  std::function<void()> action;
  {
    std::lock_guard<std::mutex> guard(table().lock);
    auto hook = table().hooks.find(routine);
    if (hook != table().hooks.end() && ++hook->second.seen == hook->second.nth) {
      action = std::move(hook->second.action);
      table().hooks.erase(hook);
    }
  }
  // The action runs on the calling thread, before the routine does anything,
  // with none of the host's own locks held.
  if (action) action();
  unsigned call = CallNumber(CountCall(routine));
  std::lock_guard<std::mutex> guard(table().lock);
  auto it = table().armed.find(routine);
  if (it == table().armed.end()) return STATUS_SUCCESS;
  Arm& arm = it->second;
  ++arm.seen;
  if (arm.seen != arm.nth && !(arm.every && arm.seen > arm.nth)) return STATUS_SUCCESS;
  table().failed = true;
  table().last = Failure{routine, call, detail::CallerStack()};
  return arm.status;
}

std::vector<std::pair<std::string, unsigned>> CallCounts() {
  std::map<std::string, unsigned> byName;
  for (size_t i = 0; i < kCounterSlots; ++i) {
    const char* routine = gCounterRoutines[i].load(std::memory_order_acquire);
    if (routine != nullptr) byName[routine] += static_cast<unsigned>(CallTallies::Sum(i));
  }
  return {byName.begin(), byName.end()};
}

unsigned CallCount(const std::string& routine) {
  for (const auto& [name, calls] : CallCounts())
    if (name == routine) return calls;
  return 0;
}

bool LastFailure(Failure* failure) {
  std::lock_guard<std::mutex> guard(table().lock);
  if (table().failed) *failure = table().last;
  return table().failed;
}
}  // namespace host::faults
