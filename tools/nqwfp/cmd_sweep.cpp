// nqwfp sweep: replays a capture once for every pool allocation (and, with
// --calls, every call of a platform routine that can fail) the driver makes,
// with that one failing, each in a freshly booted machine.
#include "tools/nqwfp/command.h"
#include "tools/replay/decode.h"
#include "tools/sweep/sweep.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Every option, as the command accepts it: for the usage line and for help.
constexpr const char* kUsage =
    "CAPTURE [--policy FILE] [--local ADDR] [--client PATH.so [--client-arg TEXT]] [--calls] [--timeout SECONDS]";

int Usage(const char* why) {
  std::fprintf(stderr, "nqwfp sweep: %s\nusage: nqwfp sweep %s\n", why, kUsage);
  return 2;
}

int RunSweep(const std::vector<std::string>& args) {
  sweep::SweepOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--local" || a == "--policy" || a == "--timeout" || a == "--client" || a == "--client-arg") {
      if (i + 1 >= args.size()) return Usage((a + " needs a value").c_str());
      const std::string& v = args[++i];
      if (v.empty() && a != "--client-arg") return Usage((a + " needs a value, not an empty text").c_str());
      if (a == "--local") {
        if (!replay::ParseIpv4(v, &options.replay.localAddress))
          return Usage(("'" + v + "' is not an IPv4 address").c_str());
        options.replay.haveLocal = true;
      } else if (a == "--policy") {
        options.replay.policy = v;
      } else if (a == "--client") {
        options.replay.client = v;
      } else if (a == "--client-arg") {
        options.replay.clientArgument = v;
      } else {
        char* end = nullptr;
        unsigned long seconds = std::strtoul(v.c_str(), &end, 10);
        if (end == v.c_str() || *end != '\0' || seconds == 0 || seconds > 3600)
          return Usage(("'" + v + "' is not a number of seconds from 1 to 3600").c_str());
        options.timeoutSeconds = static_cast<unsigned>(seconds);
      }
    } else if (a == "--calls") {
      options.calls = true;
    } else if (!a.empty() && a[0] == '-') {
      return Usage(("unknown option " + a).c_str());
    } else if (options.replay.capture.empty()) {
      options.replay.capture = a;
    } else {
      return Usage("one capture at a time");
    }
  }
  if (options.replay.capture.empty()) return Usage("which capture?");

  sweep::SweepResult result = sweep::Sweep(options);
  if (!result.counted) {
    std::fprintf(stderr, "nqwfp sweep: %s\n", result.error.c_str());
    return 1;
  }
  sweep::PrintTable(result, stdout);
  return result.Failed() == 0 ? 0 : 1;
}

const nqwfp::Command kSweep{"sweep", kUsage,
                            "replay a capture once per allocation (and call) the driver makes, with that one failing",
                            RunSweep};

}  // namespace
