// Failure injection over a whole replay, in the spirit of Driver Verifier's
// low-resources simulation: the capture is replayed once to count the pool
// allocations (and, when asked, the calls of every platform routine that can
// fail) the driver makes after load, then once more for each of them with
// that one allocation or call failing; or, at random, a number of times
// with each allocation and call failing at a rate, seeded per run. Every run is a process of its own, a
// freshly booted machine, and must end in bounded time without a crash, a
// verifier violation or a leak.
#pragma once
#include "tools/replay/replay.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace sweep {

struct SweepOptions {
  replay::ReplayOptions replay;  // capture, policy, local address; the log goes nowhere
  bool calls = false;            // also fail each call of each platform routine
  unsigned timeoutSeconds = 60;  // a run that takes longer hangs
  // Random runs instead of one failure per run: `runs` replays, the kth
  // with seed `seed` + k, each failing every pool allocation and every call
  // of a platform routine with probability `randomRate` (0: none).
  double randomRate = 0;
  unsigned runs = 10;
  uint64_t seed = 1;
  // Runs in each process after the replay, before the checks (for tests).
  std::function<void()> afterReplay;
};

// One run with one failure.
struct Run {
  std::string site;    // what failed: "pool #N", "ROUTINE call N" or "random seed S"
  std::string where;   // size and tag, and the driver function that asked; or the failures drawn
  std::string result;  // "clean", or what went wrong
  bool clean = false;
};

struct SweepResult {
  bool counted = false;  // the first replay ran
  std::string error;     // why it did not
  std::vector<Run> runs;
  unsigned Failed() const;
};

SweepResult Sweep(const SweepOptions& options);

// The table of runs and its last line, "N runs: N clean, N failed".
void PrintTable(const SweepResult& result, FILE* out);

}  // namespace sweep
