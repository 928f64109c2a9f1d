#include "tools/replay/replay.h"

#include "tools/client/loaded_client.h"
#include "tools/client/policy.h"
#include "tools/replay/capture.h"
#include "tools/replay/end_check.h"
#include "tools/replay/engine.h"
#include "tools/replay/log.h"
#include "tools/replay/outcome_capture.h"
#include "tools/replay/stack.h"

#include "host/host.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <iostream>
#include <map>

namespace replay {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kIdleSecondsMin = 0.001;
constexpr double kIdleSecondsMax = 365.0 * 24 * 3600;

bool IdleInRange(double seconds) { return seconds >= kIdleSecondsMin && seconds <= kIdleSecondsMax; }
std::string IdleError(const std::string& given) {
  return "an idle time of " + given + " seconds is out of range: give from 0.001 to 31536000 seconds (a year)";
}

// The policy's name of a process id, "System" for the system process;
// nullptr when it has none.
const char* PolicyName(const client::Policy& policy, uint64_t pid) {
  const client::Process* p = policy.ProcessById(static_cast<uint32_t>(pid));
  return p != nullptr ? p->name.c_str() : pid == host::kernel::kSystemProcessId ? "System" : nullptr;
}

std::string ProcessName(const client::Policy& policy, uint64_t pid) {
  const char* name = PolicyName(policy, pid);
  return name == nullptr ? "pid " + std::to_string(pid) : std::string(name) + " (pid " + std::to_string(pid) + ")";
}

std::string RemoteText(const client::Call& c) {
  return Dotted(__builtin_bswap32(static_cast<uint32_t>(c.Value("remoteAddress")))) + ":" +
         std::to_string(c.Value("remotePort"));
}

void Lookup(const client::Call& c, JsonLog& log, const ClassifyPlace& place);

// Whether two paths name one file: the same file where both exist, else the
// same text.
bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty() || a == "-" || b == "-") return false;
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return a == b;
}

// A file the replay writes is none it reads, nor another it writes.
std::string OutputClash(const ReplayOptions& o) {
  const std::pair<const char*, const std::string*> outputs[] = {
      {"--write", &o.write}, {"--write-passed", &o.writePassed}, {"--summary-json", &o.summaryJson}};
  for (const auto& [option, path] : outputs) {
    if (SameFile(*path, o.capture)) return std::string(option) + " '" + *path + "' is the capture being replayed";
    if (SameFile(*path, o.policy)) return std::string(option) + " '" + *path + "' is the policy";
    if (SameFile(*path, o.log)) return std::string(option) + " '" + *path + "' is the log";
  }
  for (size_t i = 0; i < std::size(outputs); ++i)
    for (size_t j = i + 1; j < std::size(outputs); ++j)
      if (SameFile(*outputs[i].second, *outputs[j].second))
        return std::string(outputs[i].first) + " and " + outputs[j].first + " name the same file '" +
               *outputs[i].second + "'";
  return "";
}

// Everything the replay does with a call into the client, on the thread
// that made it: the log line, the summary's accounting and, when the policy
// asks for it, the owner lookups a client would make from its callbacks.
void OnClientCall(const client::Call& c, const client::Policy& policy, Stack& stack, JsonLog& log,
                  Summary& summary, std::mutex& summaryLock) {
  ClassifyPlace place = stack.CallPlace();
  log.Call(c, place.packet, place.flow);
  {
    std::lock_guard<std::mutex> guard(summaryLock);
    if (c.slot == "DecidePended") {
      ++summary.pended;
      ++(c.Value("result") != 0 ? summary.pendedBlocked : summary.pendedPermitted);
    } else if (c.slot == "ReportDatagramSent") {
      Summary::BytesRow(summary.bytes, ProcessName(policy, c.Value("processId")), RemoteText(c)).sent +=
          c.Value("length");
    } else if (c.slot == "ReportStreamSent") {
      // Counted as sent on unless the driver blocks the segment.
      summary.StreamSentUnderWay(
          Summary::BytesRow(summary.tcpBytes, ProcessName(policy, c.Value("processId")), RemoteText(c)),
          c.Value("length"));
    } else if (c.slot == "ReportDatagramReceived" || c.slot == "ReportStreamReceived") {
      auto& bytes = c.slot == "ReportStreamReceived" ? summary.tcpBytes : summary.bytes;
      Summary::BytesRow(bytes, ProcessName(policy, c.Value("processId")), stack.RemoteOf(stack.current())).received +=
          c.Value("length");
    }
  }
  if (policy.lookups()) Lookup(c, log, place);
  // Last: the stack may be waiting for this call (the worker's accept
  // report), and once it goes on, the replay may end.
  stack.OnClientCall(c);
}

void Lookup(const client::Call& c, JsonLog& log, const ClassifyPlace& place) {
  bool udp = c.slot == "ReportDatagramReceived" || ((c.slot == "ReportAccept" || c.slot == "ReportConnect") &&
                                                     c.Value("isTcp") == 0);
  bool tcp = c.slot == "ReportStreamReceived" || c.slot == "ReportListen" ||
             ((c.slot == "ReportAccept" || c.slot == "ReportConnect") && c.Value("isTcp") != 0);
  if (!udp && !tcp) return;
  ClientTable* table = client::StandInClient::Instance().Table();
  NqU32 address = static_cast<NqU32>(c.Value("localAddress"));
  NqU32 port = static_cast<NqU32>(c.Value("localPort"));
  NqU64 owner = 0;
  NqU32 found = udp ? table->LookupUdpEndpointOwner(address, static_cast<NqU16>(port), &owner)
                    : table->LookupTcpEndpointOwner(address, static_cast<NqU16>(port), &owner);
  log.Lookup(udp ? "LookupUdpEndpointOwner" : "LookupTcpEndpointOwner", address, port, found, owner, place.packet,
             place.flow);
}

// The summary as JSON, to the file opened for it before the run; nothing for
// no path.
bool WriteSummaryJson(const std::string& path, std::ofstream& out, const Summary& summary, std::string* error) {
  if (path.empty()) return true;
  out << summary.Json();
  out.close();
  if (out) return true;
  *error = "cannot write the summary '" + path + "'";
  return false;
}

}  // namespace

bool ParseIdleSeconds(const std::string& text, double* seconds, std::string* error) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !IdleInRange(value)) return *error = IdleError("'" + text + "'"), false;
  *seconds = value;
  return true;
}

bool ShowsProgress(const ReplayOptions& options) {
  bool logOnTerminal = options.logStream == nullptr && options.log == "-" && isatty(STDOUT_FILENO) != 0;
  if (logOnTerminal) return false;
  return options.progress < 0 ? isatty(STDERR_FILENO) != 0 : options.progress != 0;
}

ReplayResult Replay(const ReplayOptions& options) {
  ReplayResult result;
  auto fail = [&result](const std::string& why) {
    result.exitCode = 1;
    result.error = why;
    return result;
  };

  if (!IdleInRange(options.idleSeconds)) {
    char given[32];
    std::snprintf(given, sizeof(given), "%g", options.idleSeconds);
    return fail(IdleError(given));
  }

  std::string error = OutputClash(options);
  if (!error.empty()) return fail(error);

  std::unique_ptr<client::Policy> policy;
  policy = options.policy.empty() ? client::Policy::Parse("", "(default policy)", &error)
                                  : client::Policy::Load(options.policy, &error);
  if (!policy) return fail(error);

  CaptureReader reader;
  if (!reader.Open(options.capture, &error)) return fail(error);
  result.linkName = reader.linkName();
  if (options.haveLocal) {
    if (!CheckLocalAddress(options.capture, options.localAddress, &error)) return fail(error);
    result.localAddress = options.localAddress;
    result.localChoice = "given with --local";
  } else if (!ChooseLocalAddress(options.capture, &result.localAddress, &result.localChoice, &error)) {
    return fail(error);
  }

  std::ofstream logFile;
  std::ostream* logOut = options.logStream;
  if (logOut == nullptr && options.log == "-") logOut = &std::cout;
  if (logOut == nullptr && !options.log.empty()) {
    logFile.open(options.log, std::ios::binary | std::ios::trunc);
    if (!logFile) return fail("cannot write the log '" + options.log + "'");
    logOut = &logFile;
  }
  std::ofstream summaryFile;  // opened now: an unwritable path fails before the run
  if (!options.summaryJson.empty()) {
    summaryFile.open(options.summaryJson, std::ios::binary | std::ios::trunc);
    if (!summaryFile) return fail("cannot write the summary '" + options.summaryJson + "'");
  }

  OutcomeCapture outcome;
  OutcomeCapture::Setup setup;
  setup.all = options.write;
  setup.passed = options.writePassed;
  setup.dlt = reader.linkType();
  setup.localAddress = result.localAddress;
  setup.policy = options.policy;
  if (!outcome.Open(setup, &error)) return fail(error);

  if (!engine::Boot(&error, options.client, options.clientArgument, &result.warning)) return fail(error);
  EndCheck check;  // what the replay uses, it gives back
  uint64_t savedPid = host::kernel::CurrentProcessId(), savedTid = host::kernel::CurrentThreadId();

  JsonLog log(logOut, [&policy](uint64_t pid) { return PolicyName(*policy, pid); });
  Summary& summary = result.summary;
  std::mutex summaryLock;
  StackOptions stackOptions;
  stackOptions.localAddress = result.localAddress;
  stackOptions.idleMicros = static_cast<int64_t>(options.idleSeconds * 1e6);
  stackOptions.mdlSplit = options.mdlSplit;
  Stack stack(*policy, log, summary, stackOptions);

  client::StandInClient& standIn = client::StandInClient::Instance();
  bool keptCalls = standIn.keepsCalls();
  standIn.KeepCalls(options.keepClientCalls);
  standIn.SetAnswers(options.client.empty() ? policy->MakeAnswers([&stack](client::EventFacts* facts) {
    return stack.CurrentConnection(facts);
  })
                                            : client::LoadedClientAnswers());
  standIn.OnCall([&](const client::Call& c) { OnClientCall(c, *policy, stack, log, summary, summaryLock); });

  bool progress = ShowsProgress(options);
  bool progressShown = false;
  Clock::time_point start = Clock::now(), lastProgress = start;

  Frame frame;
  CaptureReader::Result status;
  while ((status = reader.Read(&frame, &error)) == CaptureReader::Result::kFrame) {
    uint64_t index = ++summary.read;
    Packet p;
    Skip skip = DecodeFrame(reader.linkType(), frame.data, frame.capturedLength, frame.wireLength, &p);
    if (skip == Skip::kNone) {
      bool fromLocal = p.source == result.localAddress, toLocal = p.destination == result.localAddress;
      if (fromLocal && toLocal) skip = Skip::kLocalToLocal;
      else if (!fromLocal && !toLocal) skip = Skip::kNotLocal;
      else if (fromLocal && !p.IsTcp() && !p.IsUdp()) skip = Skip::kOutboundOther;
    }
    if (skip != Skip::kNone) {
      ++summary.skipped[static_cast<int>(skip)];
      // The driver never sees it: it goes its way untouched.
      if (outcome.enabled()) outcome.Frame(frame, PacketFate{std::string("skipped: ") + SkipName(skip), true, {}});
      continue;
    }
    stack.OnPacket(p, index, frame.timeMicros);
    if (outcome.enabled()) outcome.Frame(frame, stack.TakeFate());

    if (progress && (index & 1023) == 0) {
      Clock::time_point now = Clock::now();
      if (now - lastProgress >= std::chrono::milliseconds(500)) {
        lastProgress = now;
        progressShown = true;
        std::fprintf(stderr, "\rnqwfp replay: %llu packets, %.0f%% of the capture", (unsigned long long)index,
                     100 * reader.Progress());
        std::fflush(stderr);
      }
    }
  }
  stack.Finish();
  outcome.Injected(stack.TakeFate().injected);
  standIn.CheckReplyObjects();
  standIn.CheckPendHandles();
  result.problems = check.Problems();
  summary.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (progressShown) std::fprintf(stderr, "\r\033[K");

  standIn.OnCall(nullptr);
  standIn.KeepCalls(keptCalls);
  standIn.SetAnswers(client::Answers{});
  host::kernel::SetCurrentIds(savedPid, savedTid);
  log.Flush();
  std::string writeError;
  bool written = outcome.Close(&writeError);

  if (status == CaptureReader::Result::kError) {
    result.exitCode = 1;
    result.error = error + " (after frame " + std::to_string(summary.read) + ")";
  } else if (logOut != nullptr && !*logOut) {
    result.exitCode = 1;
    result.error = "the log '" + (options.log.empty() ? std::string("(stream)") : options.log) +
                   "' could not be written in full";
  } else if (!written) {
    result.exitCode = 1;
    result.error = writeError;
  } else if (!WriteSummaryJson(options.summaryJson, summaryFile, summary, &writeError)) {
    result.exitCode = 1;
    result.error = writeError;
  }
  if (!result.problems.empty()) result.exitCode = 1;
  return result;
}

}  // namespace replay
