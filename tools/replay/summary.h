// What a replay did, counted, and printed for people at the end.
#pragma once
#include "tools/client/stand_in_client.h"
#include "tools/replay/decode.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace replay {

struct Summary {
  uint64_t read = 0;
  uint64_t replayed = 0;       // went through the simulated stack
  uint64_t skipped[static_cast<int>(Skip::kCount)] = {};
  uint64_t blockedFlowPackets = 0;  // of flows whose bind, listen, connect or accept was blocked
  uint64_t droppedByClient = 0;     // inbound packets the client dropped
  uint64_t answeredFlowPackets = 0; // of connections the client answered in the server's place
  uint64_t classifies = 0;
  uint64_t flowsDeleted = 0;
  uint64_t injectionsNotLogged = 0;  // made and forgotten by the host before the replay read them

  // The most the simulated stack held at once, after a packet.
  struct LiveState {
    uint64_t flows = 0;       // not ended
    uint64_t endedFlows = 0;  // TCP flows ended, kept for their last packets
    uint64_t sockets = 0;
  };
  LiveState peak;

  struct FlowCounts {
    uint64_t connects = 0, accepts = 0, permitted = 0, blocked = 0, midStream = 0;
    uint64_t pendedPermitted = 0, pendedBlocked = 0;  // of them, decided by a pended decision
  };
  FlowCounts tcp, udp;

  uint64_t pended = 0, pendedPermitted = 0, pendedBlocked = 0;

  // TCP segments at the stream layer.
  struct StreamCounts {
    uint64_t indications = 0;    // classifies at the stream layer
    uint64_t classified = 0;     // of them, reaching a callout (the flow carries its context)
    uint64_t retransmitted = 0;  // segments with bytes indicated before, not indicated again
    uint64_t retransmittedBytes = 0;
    uint64_t gaps = 0;           // places the capture lacks bytes of a stream
    uint64_t gapBytes = 0;
    uint64_t dropped = 0;        // blocked without an injection
    uint64_t replaced = 0;       // blocked, with injected bytes sent in their place
    uint64_t answeredFlows = 0;  // ended by a reply with a disconnect
    uint64_t indicatedAgain = 0; // the verdict covered only the leading bytes
    uint64_t injections = 0;
  };
  StreamCounts stream;

  struct Bytes {
    uint64_t sent = 0;      // went on to the remote end
    uint64_t heldBack = 0;  // stream data the driver blocked: it never reached the remote end
    uint64_t received = 0;
  };
  // By process ("name (pid N)") and remote endpoint ("a.b.c.d:port"), as
  // the client was told: datagrams, and TCP stream data.
  std::map<std::pair<std::string, std::string>, Bytes> bytes;
  std::map<std::pair<std::string, std::string>, Bytes> tcpBytes;
  // The row of one of those two tables. A table takes up to kRows remote
  // endpoints; past that, the bytes of further ones count under the
  // process's row for "(others)", so that a long capture of many peers
  // keeps the summary small.
  static constexpr size_t kRows = 1000;
  static Bytes& BytesRow(std::map<std::pair<std::string, std::string>, Bytes>& table, const std::string& process,
                         const std::string& remote);

  // Sent stream data the client was told of during the stream indication
  // under way: held back when the driver blocks the segment.
  void StreamSentUnderWay(Bytes& row, uint64_t length);
  void StreamSegmentDone(bool heldBack);

  // HTTP requests the driver processed, by host, each counted once by
  // what became of it: answered by the client (a URL reply, or a yes of the
  // primary or the secondary decision), exempted (a yes the exemption
  // check took back: sent on), reported (sent on, told to the client), or
  // not reported (a URL the client has a reply for, met when the flow could
  // no longer be answered: sent on untold).
  struct HttpCounts {
    uint64_t requests = 0, urlReplies = 0, primary = 0, secondary = 0, exempted = 0, reported = 0, notReported = 0;
    uint64_t hostFromRequest = 0;  // of them, URL lookups: the host read in the request, never seen by the client
  };
  std::map<std::string, HttpCounts> http;
  HttpCounts& HttpRow(const std::string& host);  // past kRows hosts, "(others)"
  // One request, by its log record's outcome (url-reply, primary, ...).
  void CountHttp(const std::string& host, const char* outcome, bool hostFromRequest);

  double seconds = 0;  // wall time of the replay
  // Packets read per second; negative when the run was too short to tell.
  double PacketsPerSecond() const;

  uint64_t Skipped() const;
  uint64_t NotDelivered() const { return blockedFlowPackets + droppedByClient + answeredFlowPackets; }
  void FlowOpened(int protocol, bool outbound, bool blocked, bool pended, bool midStream);
  void Print(FILE* out) const;
  // The same figures as one JSON object (--summary-json).
  std::string Json() const;

 private:
  std::vector<std::pair<Bytes*, uint64_t>> streamSentUnderWay_;
  void PrintStream(FILE* out) const;
  void PrintHttp(FILE* out) const;
  static void PrintBytes(FILE* out, const char* what,
                         const std::map<std::pair<std::string, std::string>, Bytes>& counts);
};

}  // namespace replay
