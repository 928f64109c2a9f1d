#include "tools/client/policy.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace client {
namespace {

constexpr uint32_t kFirstDerivedPid = 1000;
constexpr uint32_t kThreadIdOffset = 0x10000;

// Text fit for a one-line message: control bytes, NUL and bytes outside
// ASCII as \xNN, so that a binary file given as a policy cannot garble the
// terminal.
std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::vector<std::string> Words(const std::string& line) {
  std::string text = line.substr(0, line.find('#'));
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + unsigned(c - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

bool ParseAddress(const std::string& text, AddressMatch* out) {
  std::string address = text;
  int bits = 32;
  size_t slash = text.find('/');
  if (slash != std::string::npos) {
    unsigned long b;
    if (!ParseNumber(text.substr(slash + 1), 32, &b)) return false;
    bits = static_cast<int>(b);
    address = text.substr(0, slash);
  }
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
  out->address = ntohl(a.s_addr);
  out->bits = bits;
  return true;
}

bool ParsePorts(const std::string& text, PortMatch* out) {
  size_t dash = text.find('-');
  unsigned long low, high;
  if (!ParseNumber(text.substr(0, dash), 65535, &low)) return false;
  high = low;
  if (dash != std::string::npos && !ParseNumber(text.substr(dash + 1), 65535, &high)) return false;
  if (high < low) return false;
  out->low = static_cast<uint16_t>(low);
  out->high = static_cast<uint16_t>(high);
  return true;
}

uint32_t Fnv1a(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

uint32_t HostOrder(uint64_t networkOrder) { return __builtin_bswap32(static_cast<uint32_t>(networkOrder)); }

}  // namespace

bool AddressMatch::Matches(uint32_t a) const {
  if (bits < 0) return true;
  if (bits == 0) return true;
  uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> bits);
  return (a & mask) == (address & mask);
}

EventFacts FactsOf(const Call& call) {
  EventFacts f;
  f.processId = static_cast<uint32_t>(call.Value("processId"));
  if (call.Find("isTcp") != nullptr)
    f.protocol = call.Value("isTcp") != 0 ? 6 : 17;
  else if (call.slot == "QueryListen" || call.slot == "ReportListen")
    f.protocol = 6;
  f.localAddress = HostOrder(call.Value("localAddress"));
  f.remoteAddress = HostOrder(call.Value("remoteAddress"));
  f.localPort = static_cast<uint16_t>(call.Value("localPort"));
  f.remotePort = static_cast<uint16_t>(call.Value("remotePort"));
  return f;
}

size_t Policy::AddProcess(const std::string& name, int pid) {
  for (size_t i = 0; i < processes_.size(); ++i)
    if (processes_[i].name == name) return i;
  Process p;
  p.name = name;
  p.processId = pid < 0 ? 0 : static_cast<uint32_t>(pid);  // 0: derived once all are known
  processes_.push_back(p);
  return processes_.size() - 1;
}

std::unique_ptr<Policy> Policy::Load(const std::string& path, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    *error = "cannot read policy '" + Printable(path) + "': it is a directory";
    return nullptr;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read policy '" + Printable(path) + "'";
    return nullptr;
  }
  std::stringstream text;
  text << in.rdbuf();
  return Parse(text.str(), path, error);
}

std::unique_ptr<Policy> Policy::Parse(const std::string& text, const std::string& source, std::string* error) {
  auto policy = std::unique_ptr<Policy>(new Policy());
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& why) {
    *error = Printable(source + ":" + std::to_string(number) + ": " + why);
    return nullptr;
  };

  while (std::getline(lines, line)) {
    ++number;
    std::vector<std::string> w = Words(line);
    if (w.empty()) continue;
    size_t at = 1;
    const std::string& verb = w[0];

    // The name and optional pid of a process rule.
    int pid = -1;
    std::string processName;
    if (verb == "process" || verb == "default-process") {
      if (w.size() < 2) return fail("'" + verb + "' needs a process name");
      processName = w[1];
      at = 2;
      if (at < w.size() && w[at] == "pid") {
        unsigned long value;
        if (at + 1 >= w.size() || !ParseNumber(w[at + 1], 0xFFFFFFFFul, &value) || value == 0 || value % 4 != 0)
          return fail("'pid' needs a nonzero process id that is a multiple of 4");
        pid = static_cast<int>(value);
        at += 2;
      }
      if (pid >= 0) {
        for (const Process& p : policy->processes_) {
          if (p.name != processName && p.processId == uint32_t(pid))
            return fail("pid " + std::to_string(pid) + " already belongs to process '" + p.name + "'");
          if (p.name == processName && p.processId != uint32_t(pid))
            return fail("process '" + processName + "' was given another pid before");
        }
      }
    }

    unsigned events = 0;
    Decision decision;
    if (verb != "process" && verb != "default-process" && verb != "drop" && verb != "lookup") {
      std::istringstream list(verb);
      for (std::string e; std::getline(list, e, ',');) {
        if (e == "bind") events |= kBind;
        else if (e == "listen") events |= kListen;
        else if (e == "accept") events |= kAccept;
        else if (e == "connect") events |= kConnect;
        else if (e == "any") events |= kBind | kListen | kAccept | kConnect;
        else return fail("unknown rule '" + e + "' (expected process, default-process, drop, lookup, bind, listen, accept, connect or any)");
      }
      if (at >= w.size()) return fail("'" + verb + "' needs an answer: permit, block, pend permit or pend block");
      if (w[at] == "pend") {
        decision.pend = true;
        ++at;
        if (at >= w.size() || (w[at] != "permit" && w[at] != "block"))
          return fail("'pend' must be followed by permit or block");
      }
      if (w[at] == "block") decision.block = true;
      else if (w[at] != "permit") return fail("unknown answer '" + w[at] + "' (expected permit, block or pend)");
      ++at;
    }
    if (verb == "lookup") {
      if (w.size() != 1) return fail("'lookup' takes nothing after it");
      policy->lookups_ = true;
      continue;
    }
    if (verb == "default-process" && at != w.size()) return fail("'default-process' takes only a name and a pid");

    Match m;
    bool endpointFacts = false;
    while (at < w.size()) {
      const std::string& key = w[at];
      if (at + 1 >= w.size()) return fail("'" + key + "' needs a value");
      const std::string& value = w[at + 1];
      if (key == "proto") {
        if (value == "tcp") m.protocol = 6;
        else if (value == "udp") m.protocol = 17;
        else return fail("unknown protocol '" + value + "' (expected tcp or udp)");
      } else if (key == "local" || key == "remote") {
        if (!ParseAddress(value, key == "local" ? &m.local : &m.remote))
          return fail("'" + value + "' is not an IPv4 address or prefix");
        endpointFacts = true;
      } else if (key == "local-port" || key == "remote-port") {
        if (!ParsePorts(value, key == "local-port" ? &m.localPort : &m.remotePort))
          return fail("'" + value + "' is not a port or port range");
        endpointFacts = true;
      } else if (key == "process") {
        if (verb == "process" || verb == "drop") return fail("'" + verb + "' rules do not match on a process");
        m.process = value;
      } else {
        return fail("unknown match '" + key + "' (expected proto, local, remote, local-port, remote-port or process)");
      }
      at += 2;
    }

    if (verb == "process") {
      policy->processRules_.push_back({policy->AddProcess(processName, pid), m});
    } else if (verb == "default-process") {
      if (policy->haveDefault_) return fail("a second default-process");
      policy->defaultProcess_ = policy->AddProcess(processName, pid);
      policy->haveDefault_ = true;
    } else if (verb == "drop") {
      policy->dropRules_.push_back(m);
    } else {
      if ((events & kBind) != 0 && endpointFacts)
        return fail("a bind is known only by its protocol and process; bind rules cannot match addresses or ports");
      if ((events & kListen) != 0 && m.protocol == 17) return fail("only TCP sockets listen");
      policy->verdictRules_.push_back({events, decision, m});
    }
  }

  if (!policy->haveDefault_) {
    policy->defaultProcess_ = policy->AddProcess("app", -1);
    policy->haveDefault_ = true;
  }
  // Process ids not given are derived from the names, so that they are the
  // same on every run; collisions move on to the next free id.
  for (Process& p : policy->processes_) {
    if (p.processId != 0) continue;
    uint32_t pid = kFirstDerivedPid + 4 * (Fnv1a(p.name) % 8000);
    for (bool taken = true; taken;) {
      taken = false;
      for (const Process& other : policy->processes_)
        if (other.processId == pid) taken = true;
      if (taken) pid += 4;
    }
    p.processId = pid;
  }
  for (Process& p : policy->processes_) p.threadId = p.processId + kThreadIdOffset;
  return policy;
}

bool Policy::Matches(const Match& m, const EventFacts& f, bool useRemote) const {
  if (m.protocol >= 0 && f.protocol >= 0 && m.protocol != f.protocol) return false;
  if (m.protocol >= 0 && f.protocol < 0) return false;
  if (!m.local.Matches(f.localAddress) || !m.localPort.Matches(f.localPort)) return false;
  if (useRemote && (!m.remote.Matches(f.remoteAddress) || !m.remotePort.Matches(f.remotePort))) return false;
  if (!useRemote && (m.remote.bits >= 0 || m.remotePort.low != 0 || m.remotePort.high != 65535)) return false;
  if (!m.process.empty()) {
    const Process* p = ProcessById(f.processId);
    if (p == nullptr || p->name != m.process) return false;
  }
  return true;
}

const Process& Policy::OwnerOf(const EventFacts& facts) const {
  for (const ProcessRule& r : processRules_)
    if (Matches(r.match, facts, true)) return processes_[r.process];
  return processes_[defaultProcess_];
}

const Process* Policy::ProcessById(uint32_t processId) const {
  for (const Process& p : processes_)
    if (p.processId == processId) return &p;
  return nullptr;
}

Decision Policy::Decide(EventKind kind, const EventFacts& facts) const {
  bool hasRemote = kind == kAccept || kind == kConnect;
  for (const VerdictRule& r : verdictRules_)
    if ((r.events & kind) != 0 && Matches(r.match, facts, hasRemote)) return r.decision;
  return Decision{};
}

bool Policy::Drops(const void* packet, uint32_t length) const {
  if (dropRules_.empty() || length < 20) return false;
  const uint8_t* ip = static_cast<const uint8_t*>(packet);
  EventFacts f;
  f.protocol = ip[9];
  f.remoteAddress = uint32_t(ip[12]) << 24 | uint32_t(ip[13]) << 16 | uint32_t(ip[14]) << 8 | ip[15];
  f.localAddress = uint32_t(ip[16]) << 24 | uint32_t(ip[17]) << 16 | uint32_t(ip[18]) << 8 | ip[19];
  if (length >= 24) {
    f.remotePort = static_cast<uint16_t>(ip[20] << 8 | ip[21]);
    f.localPort = static_cast<uint16_t>(ip[22] << 8 | ip[23]);
  }
  for (const Match& m : dropRules_)
    if (Matches(m, f, true)) return true;
  return false;
}

Answers Policy::MakeAnswers() const {
  // Pended decisions waiting for DecidePended, by handle. The worker asks
  // from its own thread.
  struct Pending {
    std::mutex lock;
    std::map<uintptr_t, bool> block;
    uintptr_t next = 0x100;
  };
  auto pending = std::make_shared<Pending>();
  const Policy* self = this;
  Answers a;
  a.query = [self, pending](const Call& call, NqPendHandle* pendHandle) -> NqU32 {
    EventKind kind = call.slot == "QueryBind"     ? kBind
                     : call.slot == "QueryListen" ? kListen
                     : call.slot == "QueryAccept" ? kAccept
                                                  : kConnect;
    Decision d = self->Decide(kind, FactsOf(call));
    if (!d.pend) return d.block ? 1 : 0;
    std::lock_guard<std::mutex> guard(pending->lock);
    uintptr_t handle = pending->next;
    pending->next += 4;
    pending->block[handle] = d.block;
    *pendHandle = reinterpret_cast<NqPendHandle>(handle);
    return 0;
  };
  a.decidePended = [pending](NqPendHandle handle) -> NqU32 {
    std::lock_guard<std::mutex> guard(pending->lock);
    auto it = pending->block.find(reinterpret_cast<uintptr_t>(handle));
    if (it == pending->block.end()) return 0;
    bool block = it->second;
    pending->block.erase(it);
    return block ? 1 : 0;
  };
  a.inspectInboundPacket = [self](const void* packet, NqU32 length) -> NqU32 {
    return self->Drops(packet, length) ? 0 : 1;
  };
  return a;
}

}  // namespace client
