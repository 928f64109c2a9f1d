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
//
//   MATCH: proto tcp|udp, local ADDR[/BITS], remote ADDR[/BITS],
//          local-port P[-Q], remote-port P[-Q], process NAME
//
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
  static std::unique_ptr<Policy> Parse(const std::string& text, const std::string& source, std::string* error);
  static std::unique_ptr<Policy> Load(const std::string& path, std::string* error);

  // The process that owns a local endpoint first seen with these facts.
  const Process& OwnerOf(const EventFacts& facts) const;
  const Process* ProcessById(uint32_t processId) const;
  const std::vector<Process>& processes() const { return processes_; }

  Decision Decide(EventKind kind, const EventFacts& facts) const;
  // Inbound packet inspection: the IPv4 header (taken as 20 bytes) and what follows.
  bool Drops(const void* packet, uint32_t length) const;
  bool lookups() const { return lookups_; }

  // Answers for the stand-in client: verdict queries, pended decisions and
  // inbound packet inspection. Pend handles are small stable numbers.
  Answers MakeAnswers() const;

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
  bool Matches(const Match& m, const EventFacts& facts, bool useRemote) const;
  size_t AddProcess(const std::string& name, int pid);

  std::vector<Process> processes_;
  size_t defaultProcess_ = 0;
  bool haveDefault_ = false;
  std::vector<ProcessRule> processRules_;
  std::vector<VerdictRule> verdictRules_;
  std::vector<Match> dropRules_;
  bool lookups_ = false;
};

// The facts a verdict query call carries (addresses turned to host order).
EventFacts FactsOf(const Call& call);

}  // namespace client
