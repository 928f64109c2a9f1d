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
constexpr off_t kReplyFileMax = 1 << 20;

// What each event kind is known by, for the errors of rules that ask more.
constexpr const char* kEventKeys =
    "bind matches only proto and process; listen only proto tcp, local, local-port and process; accept and "
    "connect every key";

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

bool ParseU64(const std::string& text, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    unsigned digit = unsigned(c - '0');
    if (value > (~0ull - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

// One MATCH pair of a rule.
bool ParseMatch(const std::string& verb, const std::string& key, const std::string& value, Match* m,
                std::string* why) {
  if (key == "proto") {
    if (value == "tcp") m->protocol = 6;
    else if (value == "udp") m->protocol = 17;
    else return *why = "unknown protocol '" + value + "' (expected tcp or udp)", false;
    m->connection = true;
  } else if (key == "local" || key == "remote") {
    if (!ParseAddress(value, key == "local" ? &m->local : &m->remote))
      return *why = "'" + value + "' is not an IPv4 address or prefix", false;
    m->connection = m->endpoint = true;
  } else if (key == "local-port" || key == "remote-port") {
    if (!ParsePorts(value, key == "local-port" ? &m->localPort : &m->remotePort))
      return *why = "'" + value + "' is not a port or port range", false;
    m->connection = m->endpoint = true;
  } else if (key == "process") {
    if (verb == "process" || verb == "drop") return *why = "'" + verb + "' rules do not match on a process", false;
    m->process = value;
  } else {
    *why = "unknown match '" + key + "' (expected proto, local, remote, local-port, remote-port or process";
    *why += verb.compare(0, 5, "http-") == 0 ? ", host, method, url or url-prefix)" : ")";
    return false;
  }
  return true;
}

bool IsHttpRule(const std::string& verb) {
  return verb == "url" || verb == "http-primary" || verb == "http-secondary" || verb == "primary-reply" ||
         verb == "secondary-reply" || verb == "exempt";
}

// A reply file, relative to the policy's folder.
bool ReadReply(const std::string& folder, const std::string& name, std::string* bytes, std::string* why) {
  std::string path = name;
  if (!name.empty() && name[0] != '/' && !folder.empty())
    path = folder.back() == '/' ? folder + name : folder + "/" + name;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return *why = "cannot read reply file '" + path + "'", false;
  if (!S_ISREG(st.st_mode)) return *why = "reply file '" + path + "' is not a regular file", false;
  if (st.st_size > kReplyFileMax)
    return *why = "reply file '" + path + "' holds " + std::to_string(st.st_size) + " bytes, more than 1 MiB", false;
  std::ifstream in(path, std::ios::binary);
  bytes->assign(static_cast<size_t>(st.st_size), '\0');
  if (!in.read(&(*bytes)[0], st.st_size) && st.st_size > 0)
    return *why = "cannot read reply file '" + path + "'", false;
  return true;
}

// A key already given among the MATCH pairs w[from], w[from + 2], ... before w[at].
bool Repeated(const std::vector<std::string>& w, size_t from, size_t at, std::string* why) {
  for (size_t k = from; k < at; k += 2)
    if (w[k] == w[at]) return *why = "'" + w[at] + "' given twice: a rule matches each key once", true;
  return false;
}

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

HttpFacts HttpFactsOf(const Call& call) {
  HttpFacts r;
  auto text = [&call](const char* name) {
    const Arg* a = call.Find(name);
    return a != nullptr ? a->text : std::string();
  };
  r.host = text("host");
  r.method = text("method");
  r.url = text("url");
  r.processId = static_cast<uint32_t>(call.Value("processId"));
  return r;
}

bool Policy::ParseHttpRule(const std::vector<std::string>& w, const std::string& folder, std::string* why) {
  const std::string& verb = w[0];
  if (verb == "url") {
    if (w.size() != 4 || w[2] != "reply") return *why = "'url' takes a URL and a reply file: url URL reply FILE", false;
    std::string bytes;
    if (!ReadReply(folder, w[3], &bytes, why)) return false;
    urlReplies_.emplace_back(w[1], std::move(bytes));
    return true;
  }
  if (verb == "primary-reply" || verb == "secondary-reply") {
    if (w.size() != 2) return *why = "'" + verb + "' takes one file", false;
    return ReadReply(folder, w[1], verb == "primary-reply" ? &primaryReply_ : &secondaryReply_, why);
  }
  if (verb == "exempt") {
    if (w.size() < 3 || w[1] != "contains") return *why = "'exempt' takes a text: exempt contains TEXT", false;
    std::string text = w[2];
    for (size_t i = 3; i < w.size(); ++i) text += " " + w[i];
    exemptTexts_.push_back(text);
    return true;
  }
  return ParseHttpDecision(w, folder, why);
}

bool Policy::ParseHttpDecision(const std::vector<std::string>& w, const std::string& folder, std::string* why) {
  const std::string& verb = w[0];
  bool secondary = verb == "http-secondary";
  if (w.size() < 2 || w[1] != "block") return *why = "'" + verb + "' needs its answer: " + verb + " block ...", false;
  HttpDecision d;
  for (size_t at = 2; at < w.size(); at += 2) {
    const std::string& key = w[at];
    if (at + 1 >= w.size()) return *why = "'" + key + "' needs a value", false;
    const std::string& value = w[at + 1];
    if (Repeated(w, 2, at, why)) return false;
    if (key == "reply") {
      if (!ReadReply(folder, value, &d.reply, why)) return false;
      d.withReply = true;
    } else if (key == "value") {
      if (!secondary) return *why = "only http-secondary gives a value", false;
      if (!ParseU64(value, &d.value)) return *why = "'" + value + "' is not a 64-bit number", false;
    } else if (key == "host") {
      d.match.host = value;
    } else if (key == "method") {
      d.match.method = value;
    } else if (key == "url" || key == "url-prefix") {
      if (!d.match.url.empty() || !d.match.urlPrefix.empty()) return *why = "one of url and url-prefix, once", false;
      (key == "url" ? d.match.url : d.match.urlPrefix) = value;
    } else if (!ParseMatch(verb, key, value, &d.match.match, why)) {
      return false;
    }
  }
  (secondary ? secondaryRules_ : primaryRules_).push_back(std::move(d));
  return true;
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
  size_t slash = path.rfind('/');
  return Parse(text.str(), path, error, slash == std::string::npos ? "" : path.substr(0, slash + 1));
}

std::unique_ptr<Policy> Policy::Parse(const std::string& text, const std::string& source, std::string* error,
                                      const std::string& folder) {
  auto policy = std::unique_ptr<Policy>(new Policy());
  // A byte-order mark some editors put in front of UTF-8 text is no rule.
  std::istringstream lines(text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text);
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

    if (IsHttpRule(verb)) {
      std::string why;
      if (!policy->ParseHttpRule(w, folder, &why)) return fail(why);
      continue;
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
        else return fail("unknown rule '" + e + "' (expected process, default-process, drop, lookup, bind, listen, "
                         "accept, connect, any, url, http-primary, http-secondary, primary-reply, secondary-reply "
                         "or exempt)");
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
    std::string why;
    for (size_t first = at; at < w.size(); at += 2) {
      if (at + 1 >= w.size()) return fail("'" + w[at] + "' needs a value");
      if (Repeated(w, first, at, &why) || !ParseMatch(verb, w[at], w[at + 1], &m, &why)) return fail(why);
    }
    bool endpointFacts = m.endpoint;

    if (verb == "process") {
      policy->processRules_.push_back({policy->AddProcess(processName, pid), m});
    } else if (verb == "default-process") {
      if (policy->haveDefault_) return fail("a second default-process");
      policy->defaultProcess_ = policy->AddProcess(processName, pid);
      policy->haveDefault_ = true;
    } else if (verb == "drop") {
      policy->dropRules_.push_back(m);
    } else {
      bool remoteFacts = m.remote.bits >= 0 || m.remotePort.low != 0 || m.remotePort.high != 65535;
      const char* refused = (events & kBind) != 0 && endpointFacts ? "bind"
                            : (events & kListen) != 0 && (m.protocol == 17 || remoteFacts) ? "listen"
                                                                                           : nullptr;
      if (refused != nullptr)
        return fail(std::string(verb.find("any") != std::string::npos ? "'any' includes " : "") + refused +
                    ", which cannot match this (" + kEventKeys + ")");
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
  // The ports follow the header, options included, as the driver hands it over.
  uint32_t headerLength = (ip[0] & 0x0F) * 4u;
  if (headerLength >= 20 && length >= headerLength + 4) {
    f.remotePort = static_cast<uint16_t>(ip[headerLength] << 8 | ip[headerLength + 1]);
    f.localPort = static_cast<uint16_t>(ip[headerLength + 2] << 8 | ip[headerLength + 3]);
  }
  for (const Match& m : dropRules_)
    if (Matches(m, f, true)) return true;
  return false;
}

const std::string* Policy::UrlReply(const std::string& url) const {
  for (const auto& [listed, reply] : urlReplies_)
    if (listed == url) return &reply;
  return nullptr;
}

bool Policy::Matches(const HttpMatch& m, const HttpFacts& r, const EventFacts* connection) const {
  if (!m.host.empty() && m.host != r.host) return false;
  if (!m.method.empty() && m.method != r.method) return false;
  if (!m.url.empty() && m.url != r.url) return false;
  if (!m.urlPrefix.empty() && r.url.compare(0, m.urlPrefix.size(), m.urlPrefix) != 0) return false;
  if (!m.match.process.empty()) {
    const Process* p = ProcessById(r.processId);
    if (p == nullptr || p->name != m.match.process) return false;
  }
  if (!m.match.connection) return true;
  if (connection == nullptr) return false;
  Match onConnection = m.match;
  onConnection.process.clear();
  return Matches(onConnection, *connection, true);
}

const HttpDecision* Policy::FirstOf(const std::vector<HttpDecision>& rules, const HttpFacts& request,
                                    const EventFacts* connection) const {
  for (const HttpDecision& d : rules)
    if (Matches(d.match, request, connection)) return &d;
  return nullptr;
}

const HttpDecision* Policy::Primary(const HttpFacts& request, const EventFacts* connection) const {
  return FirstOf(primaryRules_, request, connection);
}

const HttpDecision* Policy::Secondary(const HttpFacts& request, const EventFacts* connection) const {
  return FirstOf(secondaryRules_, request, connection);
}

bool Policy::Exempts(const void* data, uint32_t length) const {
  std::string bytes(static_cast<const char*>(data), data != nullptr ? length : 0);
  for (const std::string& text : exemptTexts_)
    if (bytes.find(text) != std::string::npos) return true;
  return false;
}

Answers Policy::MakeAnswers(std::function<bool(EventFacts*)> connection) const {
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
  a.getUrlReply = [self](const char* url, NqU32* length) -> const void* {
    const std::string* reply = self->UrlReply(url != nullptr ? url : "");
    if (reply == nullptr) return nullptr;
    *length = static_cast<NqU32>(reply->size());
    return reply->data();
  };
  // The decision a rule gives a request, on the connection it came on.
  auto decide = [self, connection](const Call& call, bool secondary) -> const HttpDecision* {
    EventFacts facts;
    bool known = connection && connection(&facts);
    HttpFacts request = HttpFactsOf(call);
    return secondary ? self->Secondary(request, known ? &facts : nullptr)
                     : self->Primary(request, known ? &facts : nullptr);
  };
  a.queryHttpPrimary = [decide](const Call& call, NqReplyObject** reply) -> NqU32 {
    const HttpDecision* d = decide(call, false);
    if (d == nullptr) return 0;
    if (d->withReply) *reply = StandInClient::Instance().NewReplyObject(d->reply);
    return 1;
  };
  a.queryHttpSecondary = [decide](const Call& call, NqReplyObject** reply, NqU64* value) -> NqU32 {
    const HttpDecision* d = decide(call, true);
    if (d == nullptr) return 0;
    if (d->withReply) *reply = StandInClient::Instance().NewReplyObject(d->reply);
    *value = d->value;
    return 1;
  };
  a.checkHttpExempt = [self](const void* data, NqU32 length) -> NqU32 { return self->Exempts(data, length) ? 1 : 0; };
  a.getPrimaryReply = [self](NqU32* length) -> const void* {
    *length = static_cast<NqU32>(self->PrimaryReply().size());
    return self->PrimaryReply().data();
  };
  a.getSecondaryReply = [self](NqU32* length) -> const void* {
    *length = static_cast<NqU32>(self->SecondaryReply().size());
    return self->SecondaryReply().data();
  };
  return a;
}

}  // namespace client
