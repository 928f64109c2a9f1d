// The end of a run on the host platform: nothing may be left behind. Every
// verifier violation is a problem, and so is pool, a net buffer list or an
// MDL still in use that was not in use when the run started (pool listed
// per tag).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace replay {

class EndCheck {
 public:
  // The run starts now: what is in use from here on must be freed by its end.
  EndCheck();
  // One line per problem; empty when the run left nothing behind.
  std::vector<std::string> Problems() const;

 private:
  uint64_t sequence_;
  unsigned lists_, mdls_;
};

// Prints each problem to standard error after `prefix`; the exit status a
// command returns for them (0 when there are none).
int ReportProblems(const char* prefix, const std::vector<std::string>& problems);

}  // namespace replay
