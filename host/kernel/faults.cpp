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

// Random failures: set while nothing calls (before a run), read by every
// call once `on` is seen set.
struct RandomFailing {
  std::atomic<bool> on{false};
  uint64_t seed = 0;
  uint64_t threshold = 0;  // a call fails when its 53-bit draw is below this
  NTSTATUS status = 0;
  uint64_t base[kCounterSlots] = {};  // each routine's calls before the arming
  std::atomic<unsigned> failed[kCounterSlots] = {};  // each routine's calls failed since
};
RandomFailing randomly;  // constant-initialised, never destroyed

// splitmix64's finaliser: a well-mixed 64 bits from any 64 bits.
uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// FNV-1a of the routine's name: the same in every build, unlike its address.
uint64_t NameHash(const char* name) {
  uint64_t hash = 0xCBF29CE484222325ull;
  for (; *name != 0; ++name) hash = (hash ^ static_cast<unsigned char>(*name)) * 0x100000001B3ull;
  return hash;
}

// Whether the call just counted in `slot` fails at random: a draw of its
// own from the seed, the routine and the call's number since the arming.
NTSTATUS AtRandom(const char* routine, size_t slot) {
  if (!randomly.on.load(std::memory_order_acquire) || slot >= kCounterSlots) return STATUS_SUCCESS;
  uint64_t call = CallTallies::Sum(slot) - randomly.base[slot];
  if ((Mix(randomly.seed ^ Mix(NameHash(routine) + call)) >> 11) >= randomly.threshold) return STATUS_SUCCESS;
  randomly.failed[slot].fetch_add(1, std::memory_order_relaxed);
  return randomly.status;
}
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

void FailAtRandom(double rate, uint64_t seed, NTSTATUS status) {
  randomly.on.store(false, std::memory_order_release);
  for (size_t i = 0; i < kCounterSlots; ++i) {
    randomly.base[i] = CallTallies::Sum(i);
    randomly.failed[i].store(0, std::memory_order_relaxed);
  }
  randomly.seed = seed;
  double scaled = rate * 9007199254740992.0;  // 2^53
  randomly.threshold = rate <= 0 ? 0 : rate >= 1 ? 9007199254740992ull : static_cast<uint64_t>(scaled);
  randomly.status = status;
  randomly.on.store(true, std::memory_order_release);
}

std::vector<std::pair<std::string, unsigned>> RandomFailures() {
  std::map<std::string, unsigned> byName;
  for (size_t i = 0; i < kCounterSlots; ++i) {
    unsigned failed = randomly.failed[i].load(std::memory_order_relaxed);
    if (failed != 0) byName[gCounterRoutines[i].load(std::memory_order_acquire)] += failed;
  }
  return {byName.begin(), byName.end()};
}

void Clear() {
  std::lock_guard<std::mutex> guard(table().lock);
  table().armed.clear();
  table().hooks.clear();
  anyArmed.store(false, std::memory_order_release);
  randomly.on.store(false, std::memory_order_release);
}

NTSTATUS Check(const char* routine) {
  if (!anyArmed.load(std::memory_order_relaxed)) return AtRandom(routine, CountCall(routine));
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
  size_t slot = CountCall(routine);
  unsigned call = CallNumber(slot);
  std::lock_guard<std::mutex> guard(table().lock);
  auto it = table().armed.find(routine);
  if (it == table().armed.end()) return AtRandom(routine, slot);
  Arm& arm = it->second;
  ++arm.seen;
  if (arm.seen != arm.nth && !(arm.every && arm.seen > arm.nth)) return AtRandom(routine, slot);
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
