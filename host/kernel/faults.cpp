#include "host/kernel/state.h"

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
  // Set while a failure or an action is armed: with none, a routine's check
  // is one load and one count.
  std::atomic<bool> anyArmed{false};
};
Table& table() { return detail::Forever<Table>(); }

// Call counts, one slot per routine name as the routine passes it (a string
// literal, so one address per place it is written); found by that address
// without a lock. Names spelt alike in several places count together when
// read.
struct CallCounter {
  std::atomic<const char*> routine{nullptr};
  std::atomic<unsigned> calls{0};
};
constexpr size_t kCounterSlots = 512;
CallCounter* counters() {
  static CallCounter* slots = new CallCounter[kCounterSlots];
  return slots;
}

unsigned CountCall(const char* routine) {
  CallCounter* slots = counters();
  size_t start = (reinterpret_cast<uintptr_t>(routine) >> 3) % kCounterSlots;
  for (size_t probe = 0; probe < kCounterSlots; ++probe) {
    CallCounter& slot = slots[(start + probe) % kCounterSlots];
    const char* owner = slot.routine.load(std::memory_order_acquire);
    if (owner == nullptr) {
      if (slot.routine.compare_exchange_strong(owner, routine, std::memory_order_acq_rel)) owner = routine;
    }
    if (owner == routine) return slot.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  verifier::Report("HOST_USAGE", std::string("no call counter left for ") + routine);
  return 0;
}
}  // namespace

void FailCall(const std::string& routine, unsigned nth, NTSTATUS status, bool every) {
  std::lock_guard<std::mutex> guard(table().lock);
  table().armed[routine] = Arm{nth, status, every};
  table().anyArmed.store(true, std::memory_order_release);
}

void BeforeCall(const std::string& routine, unsigned nth, std::function<void()> action) {
  std::lock_guard<std::mutex> guard(table().lock);
  table().hooks[routine] = Hook{nth, std::move(action)};
  table().anyArmed.store(true, std::memory_order_release);
}

void Clear() {
  std::lock_guard<std::mutex> guard(table().lock);
  table().armed.clear();
  table().hooks.clear();
  table().anyArmed.store(false, std::memory_order_release);
}

NTSTATUS Check(const char* routine) {
  if (!table().anyArmed.load(std::memory_order_acquire)) {
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
  unsigned call = CountCall(routine);
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
  CallCounter* slots = counters();
  for (size_t i = 0; i < kCounterSlots; ++i) {
    const char* routine = slots[i].routine.load(std::memory_order_acquire);
    if (routine != nullptr) byName[routine] += slots[i].calls.load(std::memory_order_relaxed);
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
