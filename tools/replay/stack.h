// The simulated network stack of the local host: turns the captured packets
// of the local address into the sockets, flows and classify calls a Windows
// stack makes for them, in the order it makes them.
//
//   TCP connect:  bind (resource assignment), connect with the SYN, flow
//                 established on the SYN-ACK, release at the end
//   TCP accept:   bind and listen once per port, inbound IP packet, accept
//                 with the SYN, flow established on the handshake's ACK,
//                 release of the accepted endpoint at the end
//   TCP data:     once the flow is established, every segment with payload
//                 (or a FIN) one stream indication, in sequence order; what
//                 was indicated before is not indicated again
//   UDP:          bind once per local port, connect (first datagram to a
//                 remote) or accept (first from one), flow established at
//                 once, datagram data for every datagram
//   every inbound packet first passes the inbound IP packet layer.
//
// A flow ends with FIN both ways or a RST (TCP), when the client answers
// the application in the server's place, after the idle time, or at the end
// of the capture; the engine then deletes it.
#pragma once
#include "host/stack.h"
#include "host/wfp_classify.h"
#include "tools/client/policy.h"
#include "tools/replay/decode.h"
#include "tools/replay/http_tally.h"
#include "tools/replay/log.h"
#include "tools/replay/summary.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <queue>
#include <memory>
#include <tuple>
#include <vector>

namespace replay {

struct StackOptions {
  uint32_t localAddress = 0;   // host order
  int64_t idleMicros = 90 * 1000000ll;
  size_t mdlSplit = 0;  // stream data of more bytes is split over two MDLs this far in; 0: one MDL
};

struct Socket;
struct Flow;

// A packet the driver sent in the course of a packet's replay: an IPv4
// packet as a capture at the local host would show it.
struct InjectedPacket {
  std::string ip;
  std::string comment;
};

// What became of one packet of the capture, in words, and what the driver
// injected while it was replayed, in order.
struct PacketFate {
  std::string comment;
  bool delivered = true;  // on the wire or at the application with the driver in place
  std::vector<InjectedPacket> injected;
};

class Stack {
 public:
  Stack(const client::Policy& policy, JsonLog& log, Summary& summary, StackOptions options);
  ~Stack();

  // One decoded packet of the capture (frame index 1-based, capture time).
  void OnPacket(const Packet& packet, uint64_t index, int64_t timeMicros);
  // The end of the capture: every flow ends and every socket is released.
  void Finish();

  // Every call into the client, from the thread that made it.
  void OnClientCall(const client::Call& call);

  // What became of the packet replayed last (or, after Finish, what the
  // end of the capture brought), handed over once.
  PacketFate TakeFate();

  // The flow being classified now, for reports that name only the local end.
  const Flow* current() const { return current_; }
  // The packet and the flow (with its process) a call into the client
  // belongs to: those of the classify under way, also on the verdict
  // worker's thread, which decides while the replay waits.
  ClassifyPlace CallPlace() const;
  std::string RemoteOf(const Flow* flow) const;
  // The connection of the flow being classified now, as a policy matches it.
  bool CurrentConnection(client::EventFacts* facts) const;

 private:
  struct Key {
    uint8_t protocol;
    uint32_t remoteAddress;
    uint16_t localPort, remotePort;
    bool operator<(const Key& o) const {
      return std::tie(protocol, remoteAddress, localPort, remotePort) <
             std::tie(o.protocol, o.remoteAddress, o.localPort, o.remotePort);
    }
  };
  struct Where;

  void Tcp(const Packet& p, bool inbound);
  void Udp(const Packet& p, bool inbound);
  void OtherInbound(const Packet& p);

  Socket* NewSocket(int protocol, int role, uint32_t bound, uint16_t port, const client::Process* process);
  Socket* ServerSocket(int protocol, uint16_t port, const Packet& p);
  bool Bind(Socket* s);
  bool Listen(Socket* s);
  void Release(Socket* s);
  // Forgets a socket that nothing needs any more.
  void Retire(Socket* s);
  void NoteLiveState();
  Flow* Open(const Key& key, Socket* s, bool outbound, bool midStream, const Packet& p);
  bool Authorize(Flow* f, const Packet& p, bool midStream);
  void Establish(Flow* f);
  void End(Flow* f);
  void ExpireIdle(int64_t now);
  void RequeueIdle();
  // Takes the queue's entries that have come due: flows to end, and ended
  // flows to forget.
  void TakeIdle(int64_t now, std::vector<Flow*>* idle, std::vector<Key>* endedIdle);
  bool InboundIp(const Packet& p);
  void Datagram(Flow* f, const Packet& p, bool inbound);
  bool AnsweredEarlier(const Key& key);
  void NoteSyn(Flow* f, const Packet& p, bool inbound);
  // Stream data: false when the flow ended with it (the client answered).
  bool Stream(Flow* f, const Packet& p, bool inbound);
  bool Indicate(Flow* f, const std::string& bytes, UINT32 flags, bool inbound, size_t* enforced);
  // A stream segment's fate: passed, dropped, replaced by injected bytes,
  // or answered by the client's reply with a disconnect.
  enum class Verdict { kPassed, kDropped, kReplaced, kAnswered };
  Verdict BlockedSegment(const Flow* f) const;
  void Answered(Flow* f);
  void MarkLoopback(host::wfp::ClassifyEvent& event, const Flow* f, UINT32 flagsField) const;

  // Whether the stack may go on with the event (a pended one once decided);
  // if not, the socket's refusal says why.
  bool Permits(host::wfp::ClassifyEvent& event, const Where& where, Socket* s, const char* what);
  host::wfp::ClassifyResult Run(host::wfp::ClassifyEvent& event, const Where& where, bool* pended = nullptr,
                                bool* permittedAfterPend = nullptr);
  host::stack::Socket Describe(const Socket* s, const Flow* f) const;
  uint64_t AcceptReports();
  void AwaitAcceptReport(uint64_t before);
  // Logs the injections the driver made since the last call and keeps them
  // in lastInjections_.
  void LogInjections(const ClassifyPlace& place);
  // The packets of an injection, for the packet's fate.
  void NoteInjected(const host::wfp::Injection& i, const ClassifyPlace& place, uint32_t* received, uint32_t* sent);
  // The packet goes no further, for this reason.
  void Undelivered(const std::string& why);
  // A packet of a flow whose bind, listen, connect or accept was blocked.
  void BlockedFlowPacket(const Flow* f);
  // "connect blocked by the client (curl, pid 2412)"
  std::string Refusal(const char* event, const Socket* s, bool pended) const;
  Where At(const Socket* s) const;
  Where At(const Flow* f, bool inbound) const;
  client::EventFacts FactsOf(const Packet& p, bool inbound) const;

  const client::Policy& policy_;
  JsonLog& log_;
  Summary& summary_;
  StackOptions options_;

  // What the stack holds lives as long as the flows that need it: a socket
  // until it is released (or its bind failed) and its last flow ended, a
  // flow until it ends, what is left of an ended TCP flow until it has been
  // idle for the idle time.
  struct EndedFlow {
    bool answered = false;  // the client answered the application in the server's place
    int64_t lastSeen = 0;
    int flowId = 0;  // the flow that ended
  };
  // A live or ended flow in the idle expiry's queue, by the time it was last
  // seen when it went in.
  struct IdleEntry {
    int64_t lastSeen;
    Key key;
    int flowId;
    bool ended;
    bool operator>(const IdleEntry& o) const { return lastSeen > o.lastSeen; }
  };
  std::map<int, std::unique_ptr<Socket>> sockets_;  // by id
  std::map<Key, std::unique_ptr<Flow>> live_;       // flows that have not ended
  std::map<Key, EndedFlow> ended_;                  // TCP flows that ended, for their last packets
  std::map<std::pair<int, uint16_t>, Socket*> servers_;  // listeners and UDP sockets by port
  std::priority_queue<IdleEntry, std::vector<IdleEntry>, std::greater<IdleEntry>> idleQueue_;  // earliest first
  bool idleQueueStale_ = false;
  int64_t latestTime_ = 0;  // the latest packet time so far
  std::vector<host::wfp::Injection> lastInjections_;
  int lastSocketId_ = 0, lastFlowId_ = 0;

  const Flow* current_ = nullptr;
  uint64_t packetIndex_ = 0;
  int64_t now_ = 0;
  int64_t lastExpiry_ = 0;
  std::mutex reportLock_;
  std::condition_variable reportChanged_;
  uint64_t acceptReports_ = 0;  // ReportAccept calls, also the worker's

  PacketFate fate_;
  bool pendPermitted_ = false;   // a decision the packet waited for permitted it
  uint32_t streamSequence_ = 0;  // the first byte of the stream indication under way
  bool streamInbound_ = false;
  const Flow* indicating_ = nullptr;  // the flow of that indication
  std::string httpAnswer_;       // how the client answered the request under way, if it did
  HttpTally http_;
};

}  // namespace replay
