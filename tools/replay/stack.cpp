#include "tools/replay/stack_parts.h"

#include "host/stack.h"
#include "tools/replay/engine.h"
#include "tools/replay/packet_build.h"

#include <algorithm>
#include <chrono>

namespace replay {

using host::wfp::ClassifyEvent;
using host::wfp::ClassifyResult;

namespace {

constexpr uint64_t kEndpointHandleBase = 0x80000000ull;
constexpr uint64_t kFlowHandleBase = 0x0F000000ull;
constexpr UINT32 kInterfaceIndex = 2;  // the one interface of the simulated host
constexpr size_t kSegmentBytes = 1460;  // injected stream data is shown in segments of at most this

}  // namespace

Stack::Stack(const client::Policy& policy, JsonLog& log, Summary& summary, StackOptions options)
    : policy_(policy), log_(log), summary_(summary), options_(options), http_(&summary, &log) {}

Stack::~Stack() = default;

std::string Stack::RemoteOf(const Flow* f) const {
  return f == nullptr ? "?" : Dotted(f->remoteAddress) + ":" + std::to_string(f->remotePort);
}

ClassifyPlace Stack::CallPlace() const {
  ClassifyPlace place;
  place.packet = packetIndex_;
  if (const Flow* f = current_) {
    place.flow = f->id;
    place.processId = f->socket->process->processId;
  }
  return place;
}

bool Stack::CurrentConnection(client::EventFacts* facts) const {
  const Flow* f = current_;
  if (f == nullptr) return false;
  facts->protocol = f->protocol;
  facts->localAddress = options_.localAddress;
  facts->remoteAddress = f->remoteAddress;
  facts->localPort = f->localPort;
  facts->remotePort = f->remotePort;
  facts->processId = f->socket->process->processId;
  return true;
}

Stack::Where Stack::At(const Socket* s) const {
  Where w;
  w.processId = s->process->processId;
  w.threadId = s->process->threadId;
  w.place.packet = packetIndex_;
  w.place.protocol = s->protocol;
  w.place.localAddress = s->boundAddress;
  w.place.localPort = s->localPort;
  w.place.processId = s->process->processId;
  return w;
}

// Inbound events are classified on a system thread as the packet arrives;
// outbound ones on the thread of the process that sends.
Stack::Where Stack::At(const Flow* f, bool inbound) const {
  Where w = At(f->socket);
  if (inbound) {
    w.processId = host::kernel::kSystemProcessId;
    w.threadId = kSystemThreadId;
  }
  w.flow = f;
  w.place.flow = f->id;
  w.place.direction = inbound ? FWP_DIRECTION_INBOUND : FWP_DIRECTION_OUTBOUND;
  w.place.localAddress = options_.localAddress;
  w.place.remoteAddress = f->remoteAddress;
  w.place.remotePort = f->remotePort;
  return w;
}

client::EventFacts Stack::FactsOf(const Packet& p, bool inbound) const {
  client::EventFacts f;
  f.protocol = p.protocol;
  f.localAddress = options_.localAddress;
  f.remoteAddress = inbound ? p.source : p.destination;
  f.localPort = inbound ? p.destinationPort : p.sourcePort;
  f.remotePort = inbound ? p.sourcePort : p.destinationPort;
  return f;
}

ClassifyResult Stack::Run(ClassifyEvent& event, const Where& w, bool* pended, bool* permittedAfterPend) {
  host::kernel::SetCurrentIds(w.processId, w.threadId);
  current_ = w.flow;
  uint64_t acceptReports = AcceptReports();
  log_.HoldForClassify();
  ClassifyResult r = engine::Classify(event);
  ++summary_.classifies;
  const auto* stream = event.layerId == FWPS_LAYER_STREAM_V4
                           ? static_cast<const FWPS_STREAM_CALLOUT_IO_PACKET0*>(event.layerData)
                           : nullptr;
  log_.Classify(event.layerId, r, w.place, false, stream);
  if (r.pended && pended != nullptr) {
    // The worker decides, completes the operation and the engine
    // reauthorizes it before the replay goes on.
    *pended = true;
    engine::PendOutcome outcome = engine::AwaitPended(event, r);
    if (outcome.completed) {
      // The worker reports a pended accept after completing it; the log
      // shows the reauthorization once that report is in, so that the
      // order of the log does not depend on the worker's timing.
      if (event.layerId == FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4) AwaitAcceptReport(acceptReports);
      ++summary_.classifies;
      log_.Classify(event.layerId, outcome.reauthorization, w.place, true);
    }
    *permittedAfterPend = outcome.completed && outcome.permitted;
    pendPermitted_ = pendPermitted_ || *permittedAfterPend;
  }
  LogInjections(w.place);
  current_ = nullptr;
  return r;
}

void Stack::OnClientCall(const client::Call& call) {
  // How the client answers an HTTP request, for the fate of its segment.
  const char* answer = nullptr;
  if (call.slot == "GetUrlReply" && call.Value("found") != 0) answer = "URL reply";
  if (call.slot == "QueryHttpPrimary" && call.Value("result") != 0) answer = "primary decision";
  if (call.slot == "QueryHttpSecondary" && call.Value("result") != 0) answer = "secondary decision";
  if (call.slot == "CheckHttpExempt" && call.Value("result") != 0) answer = "exempted";
  if (answer != nullptr) {
    std::lock_guard<std::mutex> guard(reportLock_);
    httpAnswer_ = answer;
  }
  // HTTP requests are processed in the stream classify, on the replay's thread.
  bool http = call.slot == "GetUrlReply" || call.slot.find("Http") != std::string::npos;
  if (http && indicating_ != nullptr)
    http_.OnCall(call, CallPlace(), indicating_->sentTail, Dotted(indicating_->remoteAddress));
  if (call.slot != "ReportAccept") return;
  std::lock_guard<std::mutex> guard(reportLock_);
  ++acceptReports_;
  reportChanged_.notify_all();
}

uint64_t Stack::AcceptReports() {
  std::lock_guard<std::mutex> guard(reportLock_);
  return acceptReports_;
}

void Stack::AwaitAcceptReport(uint64_t before) {
  std::unique_lock<std::mutex> guard(reportLock_);
  reportChanged_.wait_for(guard, std::chrono::seconds(10), [&] { return acceptReports_ > before; });
}

void Stack::LogInjections(const ClassifyPlace& place) {
  uint64_t missed = 0;
  lastInjections_ = engine::NewInjections(&missed);
  summary_.injectionsNotLogged += missed;
  uint32_t received = 0, sent = 0;  // stream bytes injected so far each way
  for (const host::wfp::Injection& i : lastInjections_) {
    NoteInjected(i, place, &received, &sent);
    if (i.kind == host::wfp::Injection::Stream) {
      ++summary_.stream.injections;
      // A stream injection goes the way its flags say.
      ClassifyPlace at = place;
      at.direction = (i.streamFlags & FWPS_STREAM_FLAG_SEND) != 0 ? FWP_DIRECTION_OUTBOUND : FWP_DIRECTION_INBOUND;
      log_.StreamInjection(at, i.streamFlags, i.data);
      continue;
    }
    log_.Injection(i.kind == host::wfp::Injection::TransportSend ? "transport-send" : "transport-receive", place,
                   i.data);
  }
}

void Stack::NoteInjected(const host::wfp::Injection& i, const ClassifyPlace& place, uint32_t* received,
                         uint32_t* sent) {
  const uint32_t local = options_.localAddress;
  if (i.kind != host::wfp::Injection::Stream) {
    // A held packet sent on: a connect's from its transport header, to the
    // address its send parameters name; an accept's from its IP header. The
    // copy takes the captured packet's place.
    InjectedPacket out{i.data, "re-injected by nqwfpdrv"};
    bool wholePacket = i.kind == host::wfp::Injection::TransportReceive && i.data.size() >= 20 &&
                       (static_cast<uint8_t>(i.data[0]) >> 4) == 4 &&
                       (static_cast<uint8_t>(i.data[2]) << 8 | static_cast<uint8_t>(i.data[3])) == int(i.data.size());
    if (!wholePacket) {
      uint32_t remote = place.remoteAddress;
      if (i.remoteAddress.size() == 4) {
        const auto* b = reinterpret_cast<const uint8_t*>(i.remoteAddress.data());
        remote = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
      }
      bool send = i.kind == host::wfp::Injection::TransportSend;
      uint8_t protocol = static_cast<uint8_t>(place.protocol < 0 ? 6 : place.protocol);
      out.ip = send ? Ipv4Around(protocol, local, remote, i.data) : Ipv4Around(protocol, remote, local, i.data);
    }
    FixChecksums(&out.ip);
    fate_.injected.push_back(std::move(out));
    fate_.delivered = false;
    return;
  }
  const Flow* f = current_ != nullptr && current_->flowHandle == i.flowId ? current_ : nullptr;
  for (auto it = live_.begin(); f == nullptr && it != live_.end(); ++it)
    if (it->second->flowHandle == i.flowId) f = it->second.get();
  if (f == nullptr) return;  // no flow to number the bytes by
  // Bytes towards the application come from the remote end and continue
  // its side of the connection; sent ones continue the local side. Bytes
  // that take the place of the segment being indicated start where it did.
  const bool toLocal = (i.streamFlags & FWPS_STREAM_FLAG_SEND) == 0;
  const StreamSide& side = toLocal ? f->received : f->sent;
  const StreamSide& other = toLocal ? f->sent : f->received;
  uint32_t& cursor = toLocal ? *received : *sent;
  uint32_t start = indicating_ == f && streamInbound_ == toLocal ? streamSequence_ : side.next;
  uint32_t from = toLocal ? f->remoteAddress : local, to = toLocal ? local : f->remoteAddress;
  uint16_t fromPort = toLocal ? f->remotePort : f->localPort, toPort = toLocal ? f->localPort : f->remotePort;
  const char* comment = toLocal ? "injected by nqwfpdrv: reply to the local application" : "re-injected by nqwfpdrv";
  for (size_t at = 0; at < i.data.size(); at += kSegmentBytes) {
    std::string chunk = i.data.substr(at, kSegmentBytes);
    fate_.injected.push_back(InjectedPacket{
        TcpPacket(from, fromPort, to, toPort, start + cursor, other.next, kTcpAck | kTcpPsh, chunk), comment});
    cursor += static_cast<uint32_t>(chunk.size());
  }
  UINT32 disconnect = toLocal ? FWPS_STREAM_FLAG_RECEIVE_DISCONNECT : FWPS_STREAM_FLAG_SEND_DISCONNECT;
  if ((i.streamFlags & disconnect) != 0) {
    fate_.injected.push_back(
        InjectedPacket{TcpPacket(from, fromPort, to, toPort, start + cursor, other.next, kTcpFin | kTcpAck, ""), comment});
    cursor += 1;
  }
}

PacketFate Stack::TakeFate() {
  PacketFate fate = std::move(fate_);
  if (fate.comment.empty())
    fate.comment = pendPermitted_ ? "pended: permitted by the client's later decision" : "permitted";
  fate_ = PacketFate{};
  pendPermitted_ = false;
  return fate;
}

void Stack::Undelivered(const std::string& why) {
  fate_.comment = why;
  fate_.delivered = false;
}

void Stack::BlockedFlowPacket(const Flow* f) {
  ++summary_.blockedFlowPackets;
  Undelivered("not delivered: " + f->refusal);
}

std::string Stack::Refusal(const char* event, const Socket* s, bool pended) const {
  return std::string(event) + " blocked by the client" + (pended ? "'s later decision" : "") + " (" +
         s->process->name + ", pid " + std::to_string(s->process->processId) + ")";
}

void Stack::MarkLoopback(ClassifyEvent& event, const Flow* f, UINT32 flagsField) const {
  if (f->loopback) event.Set(flagsField, event.Get(flagsField) | FWP_CONDITION_FLAG_IS_LOOPBACK);
}

host::stack::Socket Stack::Describe(const Socket* s, const Flow* f) const {
  host::stack::Socket d;
  d.protocol = static_cast<UINT8>(s->protocol);
  d.localAddress = f != nullptr ? options_.localAddress : s->boundAddress;
  d.localPort = s->localPort;
  d.remoteAddress = f != nullptr ? f->remoteAddress : 0;
  d.remotePort = f != nullptr ? f->remotePort : 0;
  d.processId = s->process->processId;
  d.threadId = s->process->threadId;
  d.endpointHandle = s->endpointHandle;
  d.interfaceIndex = kInterfaceIndex;
  d.subInterfaceIndex = kInterfaceIndex;
  return d;
}

// ---- sockets ------------------------------------------------------------------

Socket* Stack::NewSocket(int protocol, int role, uint32_t bound, uint16_t port, const client::Process* process) {
  auto s = std::make_unique<Socket>();
  s->id = ++lastSocketId_;
  s->protocol = protocol;
  s->role = static_cast<Role>(role);
  s->boundAddress = bound;
  s->localPort = port;
  s->endpointHandle = kEndpointHandleBase + 0x40ull * s->id;
  s->process = process;
  Socket* socket = s.get();
  sockets_[socket->id] = std::move(s);
  return socket;
}

// The listening TCP socket or the UDP socket of a local port, made (bound,
// and for TCP listening) the first time a packet needs it.
Socket* Stack::ServerSocket(int protocol, uint16_t port, const Packet& p) {
  auto it = servers_.find({protocol, port});
  if (it != servers_.end()) return it->second;
  const client::Process& owner = policy_.OwnerOf(FactsOf(p, true));
  Socket* s = NewSocket(protocol, protocol == 6 ? kTcpListener : kUdpServer, 0, port, &owner);
  servers_[{protocol, port}] = s;
  if (Bind(s) && protocol == 6) Listen(s);
  return s;
}

bool Stack::Permits(ClassifyEvent& event, const Where& where, Socket* s, const char* what) {
  bool pended = false, permitted = false;
  ClassifyResult r = Run(event, where, &pended, &permitted);
  bool allowed = Allowed(r, pended, permitted);
  if (!allowed) s->refusal = Refusal(what, s, pended);
  return allowed;
}

bool Stack::Bind(Socket* s) {
  ClassifyEvent e = host::stack::BindEvent(Describe(s, nullptr));
  s->bound = Permits(e, At(s), s, "bind");
  s->blocked = !s->bound;
  return s->bound;
}

bool Stack::Listen(Socket* s) {
  ClassifyEvent e = host::stack::ListenEvent(Describe(s, nullptr));
  s->listening = Permits(e, At(s), s, "listen");
  s->blocked = !s->listening;
  return s->listening;
}

void Stack::Release(Socket* s) {
  if (!s->bound || s->released) return;
  s->released = true;
  auto it = servers_.find({s->protocol, s->localPort});
  if (it != servers_.end() && it->second == s) servers_.erase(it);
  ClassifyEvent e = host::stack::ReleaseEvent(Describe(s, nullptr));
  Run(e, At(s));
}

void Stack::Retire(Socket* s) {
  if (s->openFlows != 0 || (s->bound && !s->released)) return;
  auto it = servers_.find({s->protocol, s->localPort});
  if (it != servers_.end() && it->second == s) return;  // later packets to its port find it
  sockets_.erase(s->id);
}

// ---- flows --------------------------------------------------------------------------

Flow* Stack::Open(const Key& key, Socket* s, bool outbound, bool midStream, const Packet& p) {
  auto f = std::make_unique<Flow>();
  f->id = ++lastFlowId_;
  f->protocol = key.protocol;
  f->remoteAddress = key.remoteAddress;
  f->localPort = key.localPort;
  f->remotePort = key.remotePort;
  f->loopback = IsLoopback(key.remoteAddress) || IsLoopback(options_.localAddress);
  f->socket = s;
  f->outbound = outbound;
  f->lastSeen = now_;
  f->flowHandle = kFlowHandleBase + f->id;
  Flow* flow = f.get();
  live_[key] = std::move(f);
  ended_.erase(key);
  idleQueue_.push(IdleEntry{flow->lastSeen, key, flow->id, false});
  ++s->openFlows;

  if (s->blocked) {
    flow->blocked = true;
    flow->refusal = s->refusal;
    summary_.FlowOpened(flow->protocol, outbound, true, false, midStream);
  } else {
    flow->blocked = !Authorize(flow, p, midStream);
  }
  return flow;
}

bool Stack::Authorize(Flow* f, const Packet& p, bool midStream) {
  bool inbound = !f->outbound;
  // The packet rides along when it is the one that opens the flow; a flow
  // picked up with a packet of the other direction has none.
  bool withPacket = (p.destination == options_.localAddress) == inbound;
  host::stack::Socket d = Describe(f->socket, f);
  NET_BUFFER_LIST* nbl = nullptr;
  ClassifyEvent e = inbound ? host::stack::AcceptEvent(d, nullptr, static_cast<UINT32>(p.ipHeaderLength),
                                                       static_cast<UINT32>(p.transportHeaderLength))
                            : host::stack::ConnectEvent(d, nullptr);
  // An accept's packet as the transport hands it up: data at the payload,
  // the IP and transport headers in front. A connect's as the transport
  // sends it: data at the transport header.
  MarkLoopback(e, f, inbound ? UINT32{FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_FLAGS} : UINT32{FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS});
  if (withPacket && inbound) nbl = Build(p.ip, p.ipLength, p.ipHeaderLength + p.transportHeaderLength);
  if (withPacket && !inbound) nbl = Build(p.Transport(), p.TransportLength(), 0);
  e.layerData = nbl;
  bool pended = false, permitted = false;
  ClassifyResult r = Run(e, At(f, inbound), &pended, &permitted);
  // A clone the driver took of it keeps it alive until the clone is freed.
  if (nbl != nullptr) host::ndis::FreeNetBufferList(nbl);
  bool allowed = Allowed(r, pended, permitted);
  if (!allowed) f->refusal = Refusal(inbound ? "accept" : "connect", f->socket, pended);
  summary_.FlowOpened(f->protocol, f->outbound, !allowed, pended, midStream);
  return allowed;
}

void Stack::Establish(Flow* f) {
  f->established = true;
  ClassifyEvent e = host::stack::FlowEstablishedEvent(
      Describe(f->socket, f), f->outbound ? FWP_DIRECTION_OUTBOUND : FWP_DIRECTION_INBOUND, f->flowHandle);
  MarkLoopback(e, f, FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_FLAGS);
  Run(e, At(f, !f->outbound));
}

void Stack::End(Flow* f) {
  if (f->ended) return;
  f->ended = true;
  Key key{static_cast<uint8_t>(f->protocol), f->remoteAddress, f->localPort, f->remotePort};
  if (f->protocol == 6) {
    ended_[key] = EndedFlow{f->answered, f->lastSeen, f->id};
    idleQueue_.push(IdleEntry{f->lastSeen, key, f->id, true});
  }
  Socket* s = f->socket;
  --s->openFlows;
  // A TCP connection's own endpoint goes with it; a UDP socket that sent
  // first goes when its last flow does; listeners and UDP sockets that
  // received first stay until the end of the capture.
  if (s->role == kTcpClient || s->role == kTcpAccepted || (s->role == kUdpClient && s->openFlows == 0)) Release(s);
  // The engine deletes the flow once its last classify has returned; every
  // callout that associated a context with it is told.
  if (f->established) {
    current_ = f;
    host::kernel::SetCurrentIds(host::kernel::kSystemProcessId, kSystemThreadId);
    host::wfp::DeleteFlow(f->flowHandle);
    current_ = nullptr;
    ++summary_.flowsDeleted;
  }
  Retire(s);
  live_.erase(key);  // the flow goes
}

// Flows idle for the idle time end, in the order they were opened; what is
// left of ended TCP flows goes after the same time. The queue holds each
// flow by the time it was last seen when it went in: an entry that comes
// due for a flow seen since goes back in with the later time, and one whose
// flow has gone is dropped. Once the capture's time has gone back, a flow's
// entry may be later than its last packet: the queue is made again.
void Stack::ExpireIdle(int64_t now) {
  if (now < latestTime_) idleQueueStale_ = true;
  latestTime_ = std::max(latestTime_, now);
  if (now - lastExpiry_ < 1000000 && now >= lastExpiry_) return;
  lastExpiry_ = now;
  if (idleQueueStale_) RequeueIdle();
  std::vector<Flow*> idle;
  std::vector<Key> endedIdle;
  TakeIdle(now, &idle, &endedIdle);
  std::sort(idle.begin(), idle.end(), [](const Flow* a, const Flow* b) { return a->id < b->id; });
  for (Flow* f : idle) End(f);
  TakeIdle(now, &idle, &endedIdle);  // what those flows left is idle too
  for (const Key& key : endedIdle) ended_.erase(key);
}

void Stack::TakeIdle(int64_t now, std::vector<Flow*>* idle, std::vector<Key>* endedIdle) {
  while (!idleQueue_.empty() && now - idleQueue_.top().lastSeen > options_.idleMicros) {
    IdleEntry entry = idleQueue_.top();
    idleQueue_.pop();
    Flow* f = nullptr;
    int64_t lastSeen = 0;
    if (entry.ended) {
      auto it = ended_.find(entry.key);
      if (it == ended_.end() || it->second.flowId != entry.flowId) continue;
      lastSeen = it->second.lastSeen;
    } else {
      auto it = live_.find(entry.key);
      if (it == live_.end() || it->second->id != entry.flowId || it->second->ended) continue;
      f = it->second.get();
      lastSeen = f->lastSeen;
    }
    if (now - lastSeen <= options_.idleMicros) {
      entry.lastSeen = lastSeen;
      idleQueue_.push(entry);
    } else if (f != nullptr) {
      idle->push_back(f);
    } else {
      endedIdle->push_back(entry.key);
    }
  }
}

void Stack::RequeueIdle() {
  idleQueue_ = {};
  for (const auto& [key, f] : live_) idleQueue_.push(IdleEntry{f->lastSeen, key, f->id, false});
  for (const auto& [key, e] : ended_) idleQueue_.push(IdleEntry{e.lastSeen, key, e.flowId, true});
  idleQueueStale_ = false;
}

// ---- packets ---------------------------------------------------------------------------

bool Stack::InboundIp(const Packet& p) {
  ClassifyEvent e(FWPS_LAYER_INBOUND_IPPACKET_V4);
  e.Set(FWPS_FIELD_INBOUND_IPPACKET_V4_IP_LOCAL_ADDRESS, p.destination)
      .Set(FWPS_FIELD_INBOUND_IPPACKET_V4_IP_REMOTE_ADDRESS, p.source)
      .Set(FWPS_FIELD_INBOUND_IPPACKET_V4_INTERFACE_INDEX, kInterfaceIndex)
      .Set(FWPS_FIELD_INBOUND_IPPACKET_V4_SUB_INTERFACE_INDEX, kInterfaceIndex)
      .HeaderSizes(static_cast<UINT32>(p.ipHeaderLength), static_cast<UINT32>(p.transportHeaderLength));
  if (IsLoopback(p.source) || IsLoopback(p.destination))
    e.Set(FWPS_FIELD_INBOUND_IPPACKET_V4_FLAGS, FWP_CONDITION_FLAG_IS_LOOPBACK);
  // The network layer hands the packet up with its data at the transport
  // header and the IP header in front of it.
  NET_BUFFER_LIST* nbl = Build(p.ip, p.ipLength, p.ipHeaderLength);
  e.layerData = nbl;
  Where w;
  w.place.packet = packetIndex_;
  w.place.direction = FWP_DIRECTION_INBOUND;
  w.place.protocol = p.protocol;
  w.place.localAddress = p.destination;
  w.place.remoteAddress = p.source;
  w.place.localPort = p.destinationPort;
  w.place.remotePort = p.sourcePort;
  Key key{p.protocol, p.source, p.destinationPort, p.sourcePort};
  auto it = live_.find(key);
  if (it != live_.end()) {
    w.flow = it->second.get();
    w.place.flow = it->second->id;
  }
  ClassifyResult r = Run(e, w);
  host::ndis::FreeNetBufferList(nbl);
  if (r.actionType == FWP_ACTION_BLOCK) {
    ++summary_.droppedByClient;
    Undelivered("dropped by the client (inbound packet inspection)");
    return false;
  }
  return true;
}

void Stack::OnPacket(const Packet& p, uint64_t index, int64_t timeMicros) {
  packetIndex_ = index;
  now_ = timeMicros;
  fate_ = PacketFate{};
  pendPermitted_ = false;
  ExpireIdle(timeMicros);
  bool inbound = p.destination == options_.localAddress;
  if (p.IsTcp())
    Tcp(p, inbound);
  else if (p.IsUdp())
    Udp(p, inbound);
  else
    OtherInbound(p);
  NoteLiveState();
}

void Stack::NoteLiveState() {
  Summary::LiveState& peak = summary_.peak;
  peak.flows = std::max<uint64_t>(peak.flows, live_.size());
  peak.endedFlows = std::max<uint64_t>(peak.endedFlows, ended_.size());
  peak.sockets = std::max<uint64_t>(peak.sockets, sockets_.size());
}

void Stack::OtherInbound(const Packet& p) {
  // Only the inbound IP packet layer sees other protocols.
  if (InboundIp(p)) ++summary_.replayed;
}

void Stack::Finish() {
  packetIndex_ = 0;  // what follows belongs to the end of the capture, not to a packet
  std::vector<Flow*> open;
  for (auto& [key, f] : live_) open.push_back(f.get());
  std::sort(open.begin(), open.end(), [](const Flow* a, const Flow* b) { return a->id < b->id; });
  for (Flow* f : open) End(f);
  for (auto& [id, s] : sockets_) Release(s.get());
  engine::Settle();
  ClassifyPlace none;
  LogInjections(none);
}

}  // namespace replay
