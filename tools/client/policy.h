// The stand-in client's policy: which simulated process owns a local
// endpoint, how binds, listens, accepts and connects are answered, which
// inbound packets are dropped, and whether the client asks the driver who
// owns the endpoints it hears about.
//
// A policy is text, one rule a line; '#' starts a comment:
//
//   process NAME [pid N] [MATCH...]        local endpoints matching belong to NAME
//   default-process NAME [pid N]           owner of every other endpoint
//   EVENTS ANSWER [MATCH...]               EVENTS: bind, listen, accept, connect
//                                          or any, several joined by commas;
//                                          ANSWER: permit, block, pend permit,
//                                          pend block
//   drop [MATCH...]                        inbound packets the client drops
//   lookup                                 look up endpoint owners from reports
//   url URL reply FILE                     GetUrlReply answers URL with FILE's bytes
//   http-primary block [reply FILE] [HTTPMATCH...]
//                                          QueryHttpPrimary says yes, with a
//                                          reply object holding FILE's bytes
//   http-secondary block [reply FILE] [value N] [HTTPMATCH...]
//                                          the same for QueryHttpSecondary,
//                                          which also gives N (64-bit)
//   primary-reply FILE, secondary-reply FILE
//                                          what GetPrimaryReply and
//                                          GetSecondaryReply return
//   exempt contains TEXT                   CheckHttpExempt says yes for data
//                                          that contains TEXT
//
//   MATCH: proto tcp|udp, local ADDR[/BITS], remote ADDR[/BITS],
//          local-port P[-Q], remote-port P[-Q], process NAME
//   HTTPMATCH: MATCH, host H, method M, url U, url-prefix P
//
// A FILE is read relative to the policy file's folder.
// The first matching rule of a kind wins; without one, events are permitted,
// packets pass and endpoints belong to the default process ("app").
#pragma once
#include "tools/client/stand_in_client.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace client {

struct Process {
  std::string name;
  uint32_t processId = 0;
  uint32_t threadId = 0;
};

struct AddressMatch {
  uint32_t address = 0;  // host order
  int bits = -1;         // -1: any address
  bool Matches(uint32_t hostOrder) const;
};

struct PortMatch {
  uint16_t low = 0, high = 65535;
  bool Matches(uint16_t port) const { return port >= low && port <= high; }
};

struct Match {
  int protocol = -1;  // 6, 17, or -1 for either
  AddressMatch local, remote;
  PortMatch localPort, remotePort;
  std::string process;  // empty: any process
  bool connection = false;  // matches on protocol, addresses or ports
  bool endpoint = false;    // matches on addresses or ports
};

// A request the client is asked about.
struct HttpFacts {
  std::string host, method, url;
  uint32_t processId = 0;
};

struct HttpMatch {
  Match match;
  std::string host, method, url, urlPrefix;  // empty: any
};

// What a decision entry answers for the requests a rule matches.
struct HttpDecision {
  HttpMatch match;
  bool withReply = false;  // hands back a reply object with `reply`
  std::string reply;
  uint64_t value = 0;      // the secondary entry's 64-bit value
};

// What the client's policy answers: permit or block, at once or pended.
struct Decision {
  bool pend = false;
  bool block = false;
};

enum EventKind : unsigned { kBind = 1, kListen = 2, kAccept = 4, kConnect = 8 };

// The facts of one event in host order, as a rule matches them.
struct EventFacts {
  int protocol = -1;
  uint32_t localAddress = 0, remoteAddress = 0;
  uint16_t localPort = 0, remotePort = 0;
  uint32_t processId = 0;
};

class Policy {
 public:
  // Parses policy text; on error, `error` holds "SOURCE:LINE: reason".
  // Reply files are read relative to `folder` (the working directory when empty).
  static std::unique_ptr<Policy> Parse(const std::string& text, const std::string& source, std::string* error,
                                       const std::string& folder = "");
  static std::unique_ptr<Policy> Load(const std::string& path, std::string* error);

  // The process that owns a local endpoint first seen with these facts.
  const Process& OwnerOf(const EventFacts& facts) const;
  const Process* ProcessById(uint32_t processId) const;
  const std::vector<Process>& processes() const { return processes_; }

  Decision Decide(EventKind kind, const EventFacts& facts) const;
  // Inbound packet inspection: the IPv4 header, options included, and what follows.
  bool Drops(const void* packet, uint32_t length) const;
  bool lookups() const { return lookups_; }

  // The HTTP entries. Decisions match on the request and, when `connection`
  // is known, on the connection it came on; a rule with connection matches
  // does not match a request whose connection is not known.
  const std::string* UrlReply(const std::string& url) const;
  const HttpDecision* Primary(const HttpFacts& request, const EventFacts* connection) const;
  const HttpDecision* Secondary(const HttpFacts& request, const EventFacts* connection) const;
  const std::string& PrimaryReply() const { return primaryReply_; }
  const std::string& SecondaryReply() const { return secondaryReply_; }
  bool Exempts(const void* data, uint32_t length) const;

  // Answers for the stand-in client: verdict queries, pended decisions,
  // inbound packet inspection and the HTTP entries. Pend handles are small
  // stable numbers. `connection` tells the HTTP entries which connection
  // the request came on (false when none is known).
  Answers MakeAnswers(std::function<bool(EventFacts*)> connection = nullptr) const;

 private:
  struct VerdictRule {
    unsigned events;
    Decision decision;
    Match match;
  };
  struct ProcessRule {
    size_t process;
    Match match;
  };
  bool ParseHttpRule(const std::vector<std::string>& words, const std::string& folder, std::string* why);
  bool ParseHttpDecision(const std::vector<std::string>& words, const std::string& folder, std::string* why);
  bool Matches(const Match& m, const EventFacts& facts, bool useRemote) const;
  bool Matches(const HttpMatch& m, const HttpFacts& request, const EventFacts* connection) const;
  const HttpDecision* FirstOf(const std::vector<HttpDecision>& rules, const HttpFacts& request,
                              const EventFacts* connection) const;
  size_t AddProcess(const std::string& name, int pid);

  std::vector<Process> processes_;
  size_t defaultProcess_ = 0;
  bool haveDefault_ = false;
  std::vector<ProcessRule> processRules_;
  std::vector<VerdictRule> verdictRules_;
  std::vector<Match> dropRules_;
  bool lookups_ = false;
  std::vector<std::pair<std::string, std::string>> urlReplies_;  // URL, reply bytes
  std::vector<HttpDecision> primaryRules_, secondaryRules_;
  std::string primaryReply_, secondaryReply_;
  std::vector<std::string> exemptTexts_;
};

// The policy language as the tool's help shows it: every rule, with an
// example of each (policy_help.cpp).
const char* PolicyLanguage();

// The facts a verdict query call carries (addresses turned to host order).
EventFacts FactsOf(const Call& call);
// The request an HTTP decision entry's call carries.
HttpFacts HttpFactsOf(const Call& call);

}  // namespace client
