// What a replay did, counted, and printed for people at the end.
#pragma once
#include "tools/client/stand_in_client.h"
#include "tools/replay/decode.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

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
    uint64_t connects = 0, accepts = 0, permitted = 0, blocked = 0, pended = 0, midStream = 0;
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
    uint64_t sent = 0, received = 0;
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

  // HTTP requests the client heard of, by host.
  struct HttpCounts {
    uint64_t requests = 0, reported = 0, urlReplies = 0, primary = 0, secondary = 0, exempted = 0;
  };
  std::map<std::string, HttpCounts> http;
  HttpCounts& HttpRow(const std::string& host);  // past kRows hosts, "(others)"

  double seconds = 0;  // wall time of the replay

  uint64_t Skipped() const;
  uint64_t NotDelivered() const { return blockedFlowPackets + droppedByClient + answeredFlowPackets; }
  void FlowOpened(int protocol, bool outbound, bool blocked, bool pended, bool midStream);
  void Print(FILE* out) const;

 private:
  void PrintStream(FILE* out) const;
  void PrintHttp(FILE* out) const;
  static void PrintBytes(FILE* out, const char* what,
                         const std::map<std::pair<std::string, std::string>, Bytes>& counts);
};

// Follows the client's HTTP calls, one at a time, into the summary's count
// of requests by host. A request the driver puts to the client alone starts
// with its URL lookup and ends with its report, or without one when the
// lookup answered it or the client exempted it; requests completed together
// are only reported. A request that never names its host (answered by its
// URL) counts under the remote address, the driver's text for a request
// without a Host line.
class HttpTally {
 public:
  explicit HttpTally(Summary* summary) : summary_(summary) {}
  // `remote`: the dotted remote address of the flow the call came from.
  void OnCall(const client::Call& call, const std::string& remote);
  void Close();  // the request under way, if any, is counted

 private:
  Summary* summary_;
  bool open_ = false;
  std::string host_, remote_;
  Summary::HttpCounts counts_;
  enum { kNone, kPrimary, kSecondary } awaitingExempt_ = kNone;
};

}  // namespace replay
