// nqwfp replay: replays a packet capture through the driver on the host
// platform, with the stand-in client answering from a policy or a client
// driver of the user's own (--client), and reports what the client was told
// and asked.
#include "tools/nqwfp/command.h"
#include "tools/replay/decode.h"
#include "tools/replay/end_check.h"
#include "tools/replay/replay.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Every option, as the command accepts it: for the usage line and for help.
constexpr const char* kUsage =
    "CAPTURE [--local ADDR] [--policy FILE] [--client PATH.so [--client-arg TEXT]] [--log FILE|-] "
    "[--idle SECONDS] [--write OUT.pcapng] [--write-passed OUT.pcapng] [--summary-json FILE] "
    "[--progress|--no-progress]";

int Usage(const char* why) {
  std::fprintf(stderr, "nqwfp replay: %s\nusage: nqwfp replay %s\n", why, kUsage);
  return 2;
}

int RunReplay(const std::vector<std::string>& args) {
  replay::ReplayOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool hasValue = i + 1 < args.size();
    if (a == "--local" || a == "--policy" || a == "--log" || a == "--idle" || a == "--write" ||
        a == "--write-passed" || a == "--summary-json" || a == "--client" || a == "--client-arg") {
      if (!hasValue) return Usage((a + " needs a value").c_str());
      const std::string& v = args[++i];
      if (v.empty() && a != "--client-arg") return Usage((a + " needs a value, not an empty text").c_str());
      if (a == "--local") {
        if (!replay::ParseIpv4(v, &options.localAddress)) return Usage(("'" + v + "' is not an IPv4 address").c_str());
        options.haveLocal = true;
      } else if (a == "--policy") {
        options.policy = v;
      } else if (a == "--client") {
        options.client = v;
      } else if (a == "--client-arg") {
        options.clientArgument = v;
      } else if (a == "--log") {
        options.log = v;
      } else if (a == "--write") {
        options.write = v;
      } else if (a == "--write-passed") {
        options.writePassed = v;
      } else if (a == "--summary-json") {
        options.summaryJson = v;
      } else {
        std::string why;
        if (!replay::ParseIdleSeconds(v, &options.idleSeconds, &why)) return Usage(why.c_str());
      }
    } else if (a == "--progress") {
      options.progress = 1;
    } else if (a == "--no-progress") {
      options.progress = 0;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage(("unknown option " + a).c_str());
    } else if (options.capture.empty()) {
      options.capture = a;
    } else {
      return Usage("one capture at a time");
    }
  }
  if (options.capture.empty()) return Usage("which capture?");
  if (!options.clientArgument.empty() && options.client.empty()) return Usage("--client-arg is for a --client");

  replay::ReplayResult r = replay::Replay(options);
  if (!r.warning.empty()) std::fprintf(stderr, "nqwfp replay: warning: %s\n", r.warning.c_str());
  if (r.summary.read == 0 && r.exitCode != 0) {
    std::fprintf(stderr, "nqwfp replay: %s\n", r.error.c_str());
    return r.exitCode;
  }
  std::fprintf(stderr, "nqwfp replay: %s (%s), local address %s (%s)\n", options.capture.c_str(), r.linkName.c_str(),
               replay::Dotted(r.localAddress).c_str(), r.localChoice.c_str());
  r.summary.Print(stderr);
  if (!r.error.empty()) std::fprintf(stderr, "nqwfp replay: %s\n", r.error.c_str());
  replay::ReportProblems("nqwfp replay", r.problems);
  return r.exitCode;
}

const nqwfp::Command kReplay{"replay", kUsage,
                             "replay a pcap or pcapng capture through the driver with the stand-in client or your own",
                             RunReplay};

}  // namespace
