// nqwfp replay: replays a packet capture through the driver on the host
// platform, with the stand-in client answering from a policy or a client
// driver of the user's own (--client), and reports what the client was told
// and asked.
#include "tools/nqwfp/command.h"
#include "tools/replay/decode.h"
#include "tools/replay/end_check.h"
#include "tools/replay/replay.h"

#include <cstdio>

namespace {

replay::ReplayOptions options;

void DefineReplay(nqwfp::Arguments& arguments) {
  nqwfp::AddReplayInputs(arguments, &options);
  arguments.Text("--log", "FILE|-",
                 "every client call, classify, lookup and injection as JSON lines (- for standard output)",
                 &options.log);
  arguments.Value("--idle", "SECONDS",
                  "a flow without a packet for this long ends (default 90; from 0.001 to 31536000, a year)",
                  [](const std::string& value) {
                    std::string why;
                    if (!replay::ParseIdleSeconds(value, &options.idleSeconds, &why)) nqwfp::Refuse(why);
                  });
  arguments.Text("--write", "OUT.pcapng",
                 "every packet read, with what became of it, and every injection, for Wireshark", &options.write);
  arguments.Text("--write-passed", "OUT.pcapng",
                 "only what was delivered or injected: the wire with the driver in place", &options.writePassed);
  arguments.Text("--summary-json", "FILE", "the summary as JSON as well", &options.summaryJson);
  arguments.Flag("--progress,!--no-progress",
                 "show or hide the progress line (default: shown while standard error is a terminal)",
                 [](bool on) { options.progress = on ? 1 : 0; });
}

int RunReplay() {
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

const nqwfp::Command kReplay{"replay",
                             "replay a pcap or pcapng capture through the driver with the stand-in client or your own",
                             DefineReplay, RunReplay};

}  // namespace
