// nqwfp sweep: replays a capture once for every pool allocation (and, with
// --calls, every call of a platform routine that can fail) the driver makes,
// with that one failing, each in a freshly booted machine; or, with
// --random, a number of times with calls failing at random.
#include "tools/nqwfp/command.h"
#include "tools/sweep/sweep.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

sweep::SweepOptions options;

// A rate as a fraction (0.05) or a percentage (5%), above 0 and at most 1.
double ParseRate(const std::string& text) {
  char* end = nullptr;
  double rate = std::strtod(text.c_str(), &end);
  if (end != text.c_str() && *end == '%' && end[1] == '\0') {
    rate /= 100;
    ++end;
  }
  if (text.empty() || end == text.c_str() || *end != '\0' || !(rate > 0 && rate <= 1))
    nqwfp::Refuse("a rate of '" + text + "' is out of range: give a fraction above 0 and at most 1 (0.05 or 5%)");
  return rate;
}

void DefineSweep(nqwfp::Arguments& arguments) {
  nqwfp::AddReplayInputs(arguments, &options.replay);
  nqwfp::Option calls =
      arguments.Flag("--calls", "also fail each call of each platform routine that can fail, one at a time",
                     [](bool on) { options.calls = on; });
  arguments.Number("--timeout", "SECONDS", "a run that takes longer hangs (default 60, at most 3600)", 1, 3600,
                   [](uint64_t seconds) { options.timeoutSeconds = static_cast<unsigned>(seconds); });
  nqwfp::Option random = arguments.Value(
      "--random", "RATE",
      "instead of one failure per run, fail every pool allocation and every call that can fail at this rate, "
      "drawn independently for each from the run's seed",
      [](const std::string& text) { options.randomRate = ParseRate(text); });
  arguments.Excludes(random, calls);
  nqwfp::Option runs =
      arguments.Number("--runs", "N", "random runs, each with a seed of its own (default 10, at most 100000)", 1,
                       100000, [](uint64_t n) { options.runs = static_cast<unsigned>(n); });
  arguments.Needs(runs, random);
  // A seed from the clock unless one is given: short enough to type again.
  auto now = std::chrono::system_clock::now().time_since_epoch();
  options.seed = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) % 1000000000;
  nqwfp::Option seed = arguments.Number(
      "--seed", "S",
      "the first run's seed, the next run's one more (default: from the clock); --seed S --runs 1 repeats the run "
      "of seed S",
      0, UINT64_MAX, [](uint64_t s) { options.seed = s; });
  arguments.Needs(seed, random);
}

int RunSweep() {
  sweep::SweepResult result = sweep::Sweep(options);
  if (!result.counted) {
    std::fprintf(stderr, "nqwfp sweep: %s\n", result.error.c_str());
    return 1;
  }
  sweep::PrintTable(result, stdout);
  return result.Failed() == 0 ? 0 : 1;
}

const nqwfp::Command kSweep{
    "sweep", "replay a capture once per allocation (and call) the driver makes with that one failing, or at random",
    DefineSweep, RunSweep};

}  // namespace
