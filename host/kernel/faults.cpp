#include "host/kernel/state.h"

#include <execinfo.h>

#include <map>

namespace host::detail {
std::vector<const void*> CallerStack() {
  void* frames[32];
  int depth = backtrace(frames, 32);
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
  std::map<std::string, unsigned> calls;
  bool failed = false;
  Failure last;
};
Table& table() { return detail::Forever<Table>(); }
}  // namespace

void FailCall(const std::string& routine, unsigned nth, NTSTATUS status, bool every) {
  std::lock_guard<std::mutex> guard(table().lock);
  table().armed[routine] = Arm{nth, status, every};
}

void BeforeCall(const std::string& routine, unsigned nth, std::function<void()> action) {
  std::lock_guard<std::mutex> guard(table().lock);
  table().hooks[routine] = Hook{nth, std::move(action)};
}

void Clear() {
  std::lock_guard<std::mutex> guard(table().lock);
  table().armed.clear();
  table().hooks.clear();
}

NTSTATUS Check(const char* routine) {
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
  std::lock_guard<std::mutex> guard(table().lock);
  table().calls[routine]++;
  auto it = table().armed.find(routine);
  if (it == table().armed.end()) return STATUS_SUCCESS;
  Arm& arm = it->second;
  ++arm.seen;
  if (arm.seen != arm.nth && !(arm.every && arm.seen > arm.nth)) return STATUS_SUCCESS;
  table().failed = true;
  table().last = Failure{routine, table().calls[routine], detail::CallerStack()};
  return arm.status;
}

std::vector<std::pair<std::string, unsigned>> CallCounts() {
  std::lock_guard<std::mutex> guard(table().lock);
  return {table().calls.begin(), table().calls.end()};
}

bool LastFailure(Failure* failure) {
  std::lock_guard<std::mutex> guard(table().lock);
  if (table().failed) *failure = table().last;
  return table().failed;
}

unsigned CallCount(const std::string& routine) {
  std::lock_guard<std::mutex> guard(table().lock);
  auto it = table().calls.find(routine);
  return it == table().calls.end() ? 0 : it->second;
}
}  // namespace host::faults
