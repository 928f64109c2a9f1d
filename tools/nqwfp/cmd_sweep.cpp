// nqwfp sweep: replays a capture once for every pool allocation (and, with
// --calls, every call of a platform routine that can fail) the driver makes,
// with that one failing, each in a freshly booted machine; or, with
// --random, a number of times with calls failing at random.
#include "tools/nqwfp/command.h"
#include "tools/sweep/sweep.h"

#include <CLI/CLI.hpp>

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

void DefineSweep(CLI::App& app) {
  nqwfp::AddReplayInputs(app, &options.replay);
  CLI::Option* calls = app.add_flag("--calls", options.calls,
                                    "also fail each call of each platform routine that can fail, one at a time");
  app.add_option("--timeout", options.timeoutSeconds, "a run that takes longer hangs (default 60, at most 3600)")
      ->type_name("SECONDS")
      ->check(CLI::Range(1u, 3600u).description(""));
  CLI::Option* random =
      app.add_option_function<std::string>(
             "--random", [](const std::string& text) { options.randomRate = ParseRate(text); },
             "instead of one failure per run, fail every pool allocation and every call that can fail at this "
             "rate, drawn independently for each from the run's seed")
          ->type_name("RATE")
          ->excludes(calls);
  app.add_option("--runs", options.runs, "random runs, each with a seed of its own (default 10, at most 100000)")
      ->type_name("N")
      ->check(CLI::Range(1u, 100000u).description(""))
      ->needs(random);
  // A seed from the clock unless one is given: short enough to type again.
  auto now = std::chrono::system_clock::now().time_since_epoch();
  options.seed = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) % 1000000000;
  app.add_option("--seed", options.seed,
                 "the first run's seed, the next run's one more (default: from the clock); --seed S --runs 1 "
                 "repeats the run of seed S")
      ->type_name("S")
      ->needs(random);
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
