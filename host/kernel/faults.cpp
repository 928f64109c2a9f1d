#include "host/kernel/state.h"

#include <map>

namespace host::faults {
namespace {
struct Arm {
  unsigned nth;  // counted from the arming
  NTSTATUS status;
  bool every;
  unsigned seen = 0;
};
struct Table {
  std::mutex lock;
  std::map<std::string, Arm> armed;
  std::map<std::string, unsigned> calls;
};
Table& table() { return detail::Forever<Table>(); }
}  // namespace

void FailCall(const std::string& routine, unsigned nth, NTSTATUS status, bool every) {
  std::lock_guard<std::mutex> guard(table().lock);
  table().armed[routine] = Arm{nth, status, every};
}

void Clear() {
  std::lock_guard<std::mutex> guard(table().lock);
  table().armed.clear();
}

NTSTATUS Check(const char* routine) {
  std::lock_guard<std::mutex> guard(table().lock);
  table().calls[routine]++;
  auto it = table().armed.find(routine);
  if (it == table().armed.end()) return STATUS_SUCCESS;
  Arm& arm = it->second;
  ++arm.seen;
  if (arm.seen == arm.nth || (arm.every && arm.seen > arm.nth)) return arm.status;
  return STATUS_SUCCESS;
}

unsigned CallCount(const std::string& routine) {
  std::lock_guard<std::mutex> guard(table().lock);
  auto it = table().calls.find(routine);
  return it == table().calls.end() ? 0 : it->second;
}
}  // namespace host::faults
