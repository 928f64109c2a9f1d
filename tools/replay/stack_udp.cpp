// UDP in the simulated stack: sockets bound on first use, a flow per remote
// endpoint, and the datagram data layer for every datagram.
#include "tools/replay/stack_parts.h"

namespace replay {

using host::wfp::ClassifyEvent;

void Stack::Udp(const Packet& p, bool inbound) {
  Key key{17, inbound ? p.source : p.destination, inbound ? p.destinationPort : p.sourcePort,
          inbound ? p.sourcePort : p.destinationPort};
  auto it = live_.find(key);
  Flow* f = it != live_.end() ? it->second.get() : nullptr;
  Socket* s = nullptr;
  if (f == nullptr) {
    auto server = servers_.find({17, key.localPort});
    if (server != servers_.end()) {
      s = server->second;
    } else if (inbound) {
      s = ServerSocket(17, key.localPort, p);
    } else {
      const client::Process& owner = policy_.OwnerOf(FactsOf(p, inbound));
      s = NewSocket(17, kUdpClient, 0, key.localPort, &owner);
      servers_[{17, key.localPort}] = s;
      Bind(s);
    }
  }
  if (f != nullptr && f->blocked) {
    BlockedFlowPacket(f);
    f->lastSeen = now_;
    return;
  }
  bool noSocket = s != nullptr && s->blocked;
  if (inbound && !noSocket && !InboundIp(p)) return;
  if (f == nullptr) {
    f = Open(key, s, !inbound, false, p);
    if (f->blocked) {
      BlockedFlowPacket(f);
      return;
    }
    Establish(f);
  }
  f->lastSeen = now_;
  Datagram(f, p, inbound);
  ++summary_.replayed;
}

void Stack::Datagram(Flow* f, const Packet& p, bool inbound) {
  // Sent datagrams start at their UDP header; received ones at the payload,
  // with the IP and UDP headers in front.
  NET_BUFFER_LIST* nbl =
      inbound ? Build(p.ip, p.ipLength, p.ipHeaderLength + 8) : Build(p.Transport(), p.TransportLength(), 0);
  ClassifyEvent e = host::stack::DatagramEvent(Describe(f->socket, f),
                                               inbound ? FWP_DIRECTION_INBOUND : FWP_DIRECTION_OUTBOUND, nbl);
  MarkLoopback(e, f, FWPS_FIELD_DATAGRAM_DATA_V4_FLAGS);
  Run(e, At(f, inbound));
  host::ndis::FreeNetBufferList(nbl);
}

}  // namespace replay
