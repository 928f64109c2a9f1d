#include "tools/sweep/sweep.h"

#include "host/host.h"
#include "tools/replay/end_check.h"
#include "tools/replay/engine.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <sstream>

namespace sweep {
namespace {

// The pool sweep covers the pool; its routine is not swept a second time.
constexpr const char* kPoolRoutine = "ExAllocatePoolWithTag";

struct Site {
  enum Kind { kNone, kPool, kCall, kRandom } kind = kNone;
  std::string routine;  // kCall
  unsigned nth = 0;     // counted from the end of load
  uint64_t seed = 0;    // kRandom
  std::string Name() const {
    if (kind == kNone) return "no failure";
    if (kind == kPool) return "pool #" + std::to_string(nth);
    if (kind == kRandom) return "random seed " + std::to_string(seed);
    return routine + " call " + std::to_string(nth);
  }
};

// ---- In the child: one freshly booted machine ----------------------------------

// What a child hands back, one "key value" line each.
class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  void Line(const std::string& key, const std::string& value) {
    std::string line = key + " " + value + "\n";
    for (size_t at = 0; at < line.size();) {
      ssize_t n = write(fd_, line.data() + at, line.size() - at);
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  }

 private:
  int fd_;
};

std::string Hex(const void* p) {
  char text[24];
  std::snprintf(text, sizeof(text), "%p", p);
  return text;
}

std::string Stack(const std::vector<const void*>& frames) {
  std::string text;
  for (const void* f : frames) text += (text.empty() ? "" : ",") + Hex(f);
  return text;
}

void Arm(const Site& site, double randomRate) {
  if (site.kind == Site::kPool) host::pool::FailAllocation(site.nth);
  if (site.kind == Site::kCall) host::faults::FailCall(site.routine, site.nth, STATUS_INSUFFICIENT_RESOURCES);
  if (site.kind == Site::kRandom) host::faults::FailAtRandom(randomRate, site.seed);
}

// Reports what the armed failure hit: size and tag, and the calling stack.
void ReportFailure(const Site& site, Report& report) {
  if (site.kind == Site::kRandom) {
    // "3 failures drawn: ExAllocatePoolWithTag 2, IoFreeMdl 1"; a routine
    // with nothing to fail (IoFreeMdl) is counted but goes on as before.
    unsigned total = 0;
    std::string routines;
    for (const auto& [routine, n] : host::faults::RandomFailures()) {
      total += n;
      routines += (routines.empty() ? ": " : ", ") + routine + " " + std::to_string(n);
    }
    report.Line("what", std::to_string(total) + (total == 1 ? " failure drawn" : " failures drawn") + routines);
  } else if (site.kind == Site::kPool) {
    host::pool::Failure f;
    if (!host::pool::LastFailure(&f)) return;
    report.Line("what", std::to_string(f.size) + " bytes, tag " + host::pool::TagText(f.tag));
    report.Line("stack", Stack(f.stack));
  } else if (site.kind == Site::kCall) {
    host::faults::Failure f;
    if (!host::faults::LastFailure(&f)) return;
    report.Line("stack", Stack(f.stack));
  }
}

std::map<std::string, unsigned> CallCounts() {
  std::map<std::string, unsigned> counts;
  for (const auto& [routine, n] : host::faults::CallCounts()) counts[routine] = n;
  return counts;
}

// Boots, replays with the one failure armed, and checks what is left.
void RunChild(const SweepOptions& options, const Site& site, bool count, int fd) {
  alarm(options.timeoutSeconds);
  Report report(fd);
  std::string error;
  if (!replay::engine::Boot(&error, options.replay.client, options.replay.clientArgument)) {
    report.Line("result", "the machine did not boot: " + error);
    return;
  }
  host::kernel::WaitDriverThreadsIdle();
  uint64_t mark = host::pool::AllocationCount();
  replay::EndCheck endCheck;  // what is in use from here on must be freed by the end
  std::map<std::string, unsigned> callsBefore = CallCounts();

  Arm(site, options.randomRate);
  replay::ReplayOptions replayOptions = options.replay;
  replayOptions.log.clear();
  replayOptions.logStream = nullptr;
  replayOptions.progress = 0;
  replay::ReplayResult r = replay::Replay(replayOptions);
  host::pool::ClearFailures();
  host::faults::Clear();
  if (options.afterReplay) options.afterReplay();
  host::kernel::WaitDriverThreadsIdle();

  // The first run is the check: a replay its input stops ends the sweep.
  if (count && r.exitCode != 0 && !r.error.empty()) {
    report.Line("input", r.error);
    return;
  }
  if (count) {
    report.Line("pool", std::to_string(host::pool::AllocationCount() - mark));
    for (const auto& [routine, n] : CallCounts())
      if (routine != kPoolRoutine && n > callsBefore[routine])
        report.Line("call", routine + " " + std::to_string(n - callsBefore[routine]));
  }
  ReportFailure(site, report);

  std::string problems;
  if (r.summary.read == 0 && r.exitCode != 0) problems = "the replay did not run: " + r.error;
  for (const std::string& problem : endCheck.Problems()) problems += (problems.empty() ? "" : "; ") + problem;
  report.Line("result", problems.empty() ? "clean" : problems);
}

// ---- In the parent: one process per run --------------------------------------------

struct ChildOutcome {
  std::multimap<std::string, std::string> lines;
  std::string failure;  // a crash, a hang, or an exit without a result
};

std::string Value(const ChildOutcome& o, const std::string& key) {
  auto it = o.lines.find(key);
  return it == o.lines.end() ? "" : it->second;
}

std::string ReadUntilEnd(int fd, int pid, unsigned timeoutSeconds, bool* timedOut) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds + 5);
  *timedOut = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *timedOut = true;
      kill(pid, SIGKILL);
      return text;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

ChildOutcome RunInChild(const SweepOptions& options, const Site& site, bool count) {
  ChildOutcome outcome;
  int fds[2];
  if (pipe(fds) != 0) {
    outcome.failure = std::string("no pipe: ") + std::strerror(errno);
    return outcome;
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    outcome.failure = std::string("no process: ") + std::strerror(errno);
    return outcome;
  }
  if (pid == 0) {
    close(fds[0]);
    RunChild(options, site, count, fds[1]);
    close(fds[1]);
    _exit(0);  // the machine's threads still run: no destructors, no atexit
  }
  close(fds[1]);
  bool timedOut = false;
  std::string text = ReadUntilEnd(fds[0], pid, options.timeoutSeconds, &timedOut);
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }

  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    size_t space = line.find(' ');
    outcome.lines.emplace(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1));
  }
  if (timedOut) {
    outcome.failure = "hang: no end after " + std::to_string(options.timeoutSeconds) + " s";
  } else if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    outcome.failure = sig == SIGALRM ? "hang: no end after " + std::to_string(options.timeoutSeconds) + " s"
                                     : "crash: signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  } else if (Value(outcome, "result").empty()) {
    outcome.failure = "ended with status " + std::to_string(WEXITSTATUS(status)) + " and no result";
  }
  return outcome;
}

// ---- Naming the driver function that asked ----------------------------------------

// The driver function a failed call came from: the first frame of the
// stack that lies in driver code, named by its outermost (not inlined)
// function. addr2line reads the executable's own debug information.
class Symbols {
 public:
  void Want(const std::string& stack) {
    for (const std::string& frame : Split(stack)) wanted_.emplace(frame, "");
  }
  void Resolve() {
    Dl_info info{};
    if (wanted_.empty() || dladdr(reinterpret_cast<void*>(&Resolve0), &info) == 0 || info.dli_fname == nullptr)
      return;
    // A position-independent executable's debug information counts from its
    // load address; a fixed one's from zero.
    uintptr_t base = PositionIndependent() ? reinterpret_cast<uintptr_t>(info.dli_fbase) : 0;
    std::string command = "addr2line -a -f -i -C -e '" + ExecutablePath() + "'";
    // One byte back from a return address is inside the call.
    std::map<std::string, std::string> byOffset;
    for (auto& [frame, name] : wanted_) {
      uintptr_t address = std::strtoull(frame.c_str(), nullptr, 16);
      Dl_info at{};
      if (dladdr(reinterpret_cast<void*>(address), &at) == 0 || at.dli_fbase != info.dli_fbase) continue;
      char offset[24];
      std::snprintf(offset, sizeof(offset), "0x%lx", static_cast<unsigned long>(address - base - 1));
      byOffset[offset] = frame;
      command += " ";
      command += offset;
    }
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return;
    std::string current;
    std::vector<std::pair<std::string, std::string>> chain;  // function, file:line, innermost first
    auto finish = [&] {
      if (!current.empty() && byOffset.count(current)) wanted_[byOffset[current]] = DriverFunction(chain);
      chain.clear();
    };
    char line[4096];
    std::string function;
    bool expectFile = false;
    while (std::fgets(line, sizeof(line), pipe) != nullptr) {
      std::string text(line);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      if (!expectFile && text.rfind("0x", 0) == 0) {
        finish();
        uintptr_t value = std::strtoull(text.c_str(), nullptr, 16);
        char normal[24];
        std::snprintf(normal, sizeof(normal), "0x%lx", static_cast<unsigned long>(value));
        current = normal;
      } else if (!expectFile) {
        function = text;
        expectFile = true;
      } else {
        chain.emplace_back(function, text);
        expectFile = false;
      }
    }
    finish();
    pclose(pipe);
  }
  // The driver function of the first driver frame of a stack, or "".
  std::string FunctionOf(const std::string& stack) const {
    for (const std::string& frame : Split(stack)) {
      auto it = wanted_.find(frame);
      if (it != wanted_.end() && !it->second.empty()) return it->second;
    }
    return "";
  }

 private:
  static void Resolve0() {}
  // The executable's own path, as this process sees it: another process
  // that opens /proc/PID/exe may find an emulator there (qemu-user).
  static std::string ExecutablePath() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "/proc/" + std::to_string(getpid()) + "/exe";
    return std::string(path, static_cast<size_t>(n));
  }
  static bool PositionIndependent() {
    unsigned char header[18] = {};
    FILE* exe = std::fopen("/proc/self/exe", "rb");
    if (exe == nullptr) return true;
    size_t n = std::fread(header, 1, sizeof(header), exe);
    std::fclose(exe);
    return n == sizeof(header) && header[16] == 3;  // e_type ET_DYN
  }
  static std::vector<std::string> Split(const std::string& stack) {
    std::vector<std::string> frames;
    std::istringstream in(stack);
    for (std::string f; std::getline(in, f, ',');)
      if (!f.empty()) frames.push_back(f);
    return frames;
  }
  static bool InDriver(const std::string& file) { return file.find("/core/") != std::string::npos; }
  static std::string DriverFunction(const std::vector<std::pair<std::string, std::string>>& chain) {
    if (chain.empty() || !InDriver(chain.back().second)) return "";
    std::string name = chain.back().first;
    size_t paren = name.find('(');
    return paren == std::string::npos ? name : name.substr(0, paren);
  }
  std::map<std::string, std::string> wanted_;  // frame address text -> driver function
};

std::vector<Site> SitesFrom(const ChildOutcome& counted, const SweepOptions& options) {
  std::vector<Site> sites;
  if (options.randomRate > 0) {
    for (unsigned k = 0; k < options.runs; ++k) sites.push_back(Site{Site::kRandom, "", 0, options.seed + k});
    return sites;
  }
  bool calls = options.calls;
  unsigned poolCount = static_cast<unsigned>(std::strtoul(Value(counted, "pool").c_str(), nullptr, 10));
  for (unsigned n = 1; n <= poolCount; ++n) sites.push_back(Site{Site::kPool, "", n});
  if (!calls) return sites;
  auto range = counted.lines.equal_range("call");
  for (auto it = range.first; it != range.second; ++it) {
    std::istringstream in(it->second);
    std::string routine;
    unsigned n = 0;
    in >> routine >> n;
    for (unsigned k = 1; k <= n; ++k) sites.push_back(Site{Site::kCall, routine, k});
  }
  return sites;
}

Run RunFrom(const Site& site, const ChildOutcome& outcome) {
  Run run;
  run.site = site.Name();
  run.where = Value(outcome, "what");
  run.result = outcome.failure.empty() ? Value(outcome, "result") : outcome.failure;
  if (outcome.failure.empty() && (site.kind == Site::kPool || site.kind == Site::kCall) &&
      Value(outcome, "stack").empty())
    run.result += run.result == "clean" ? " (not reached)" : "";
  run.clean = run.result.rfind("clean", 0) == 0;
  return run;
}

}  // namespace

unsigned SweepResult::Failed() const {
  unsigned n = 0;
  for (const Run& r : runs) n += !r.clean;
  return n;
}

SweepResult Sweep(const SweepOptions& options) {
  SweepResult result;
  ChildOutcome counted = RunInChild(options, Site{}, true);
  if (!Value(counted, "input").empty()) {
    result.error = Value(counted, "input");
    return result;
  }
  if (Value(counted, "pool").empty()) {
    result.error = counted.failure.empty() ? Value(counted, "result") : counted.failure;
    return result;
  }
  result.counted = true;
  result.runs.push_back(RunFrom(Site{}, counted));

  std::vector<Site> sites = SitesFrom(counted, options);
  std::vector<ChildOutcome> outcomes;
  Symbols symbols;
  for (const Site& site : sites) {
    outcomes.push_back(RunInChild(options, site, false));
    symbols.Want(Value(outcomes.back(), "stack"));
  }
  symbols.Resolve();
  for (size_t i = 0; i < sites.size(); ++i) {
    Run run = RunFrom(sites[i], outcomes[i]);
    std::string function = symbols.FunctionOf(Value(outcomes[i], "stack"));
    if (!function.empty()) run.where += (run.where.empty() ? "in " : ", in ") + function;
    result.runs.push_back(run);
  }
  return result;
}

void PrintTable(const SweepResult& result, FILE* out) {
  size_t siteWidth = 4, whereWidth = 5;
  for (const Run& r : result.runs) {
    siteWidth = std::max(siteWidth, r.site.size());
    whereWidth = std::max(whereWidth, r.where.size());
  }
  std::fprintf(out, "%-*s  %-*s  %s\n", int(siteWidth), "site", int(whereWidth), "where", "result");
  for (const Run& r : result.runs)
    std::fprintf(out, "%-*s  %-*s  %s\n", int(siteWidth), r.site.c_str(), int(whereWidth), r.where.c_str(),
                 r.result.c_str());
  unsigned failed = result.Failed();
  std::fprintf(out, "%zu runs: %zu clean, %u failed\n", result.runs.size(), result.runs.size() - failed, failed);
}

}  // namespace sweep
