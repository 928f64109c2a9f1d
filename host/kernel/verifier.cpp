#include "host/kernel/state.h"

#include <cstdio>
#include <cstdlib>

namespace host::verifier {
namespace {
struct Log {
  std::mutex lock;
  std::vector<std::string> entries;
};
struct EndChecks {
  std::mutex lock;
  std::vector<std::function<void()>> checks;
};
}  // namespace

void AddEndOfTestCheck(std::function<void()> check) {
  auto& end = detail::Forever<EndChecks>();
  std::lock_guard<std::mutex> guard(end.lock);
  end.checks.push_back(std::move(check));
}

void RunEndOfTestChecks() {
  std::vector<std::function<void()>> checks;
  {
    auto& end = detail::Forever<EndChecks>();
    std::lock_guard<std::mutex> guard(end.lock);
    checks = end.checks;
  }
  for (const auto& check : checks) check();
}

void Report(const std::string& rule, const std::string& detail) {
  std::string text = rule + ": " + detail;
  std::fprintf(stderr, "VERIFIER: %s\n", text.c_str());
  {
    auto& log = detail::Forever<Log>();
    std::lock_guard<std::mutex> guard(log.lock);
    log.entries.push_back(text);
  }
  if (std::getenv("NQ_VERIFIER_FATAL") != nullptr) std::abort();
}

std::vector<std::string> Violations() {
  auto& log = detail::Forever<Log>();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.entries;
}

void Clear() {
  auto& log = detail::Forever<Log>();
  std::lock_guard<std::mutex> guard(log.lock);
  log.entries.clear();
}

void ReportIrql(KIRQL irql, KIRQL highest, const char* routine) {
  Report("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " called at IRQL " + std::to_string(irql) + " (at most " +
                                       std::to_string(highest) + " allowed)");
}

void RequireNoSpinLockHeld(const char* routine) {
  if (!detail::CurrentThread().heldLocks.empty())
    Report("LOCK_HELD", std::string(routine) + " called with a spin lock held");
}
}  // namespace host::verifier
