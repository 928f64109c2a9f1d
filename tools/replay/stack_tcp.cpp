// TCP in the simulated stack: connects, accepts, the handshake, the end of
// a connection, and the packets of flows that go nowhere.
#include "tools/replay/stack_parts.h"

namespace replay {

void Stack::Tcp(const Packet& p, bool inbound) {
  Key key{6, inbound ? p.source : p.destination, inbound ? p.destinationPort : p.sourcePort,
          inbound ? p.sourcePort : p.destinationPort};
  const uint8_t flags = p.tcpFlags;
  const bool syn = (flags & kTcpSyn) != 0, ack = (flags & kTcpAck) != 0;
  const bool fin = (flags & kTcpFin) != 0, rst = (flags & kTcpRst) != 0;

  auto it = live_.find(key);
  Flow* f = it != live_.end() ? it->second.get() : nullptr;
  bool stray = false;  // a packet that belongs to no connection the stack knows
  bool outboundOpen = false, midStream = false;
  if (f == nullptr && !syn && AnsweredEarlier(key)) return;
  if (f == nullptr) {
    bool afterEnd = ended_.count(key) != 0 && !syn;
    if (afterEnd || rst || fin) {
      stray = true;
    } else if (syn && !ack) {
      outboundOpen = !inbound;
    } else {
      // Picked up after its SYN: a SYN-ACK tells who connected; otherwise a
      // port that listens, or the lower port, is the server's.
      midStream = true;
      if (syn)
        outboundOpen = inbound;
      else
        outboundOpen = !(servers_.count({6, key.localPort}) != 0 || key.localPort < key.remotePort);
    }
  }

  if (stray) {
    if (!inbound || InboundIp(p)) ++summary_.replayed;
    return;
  }

  Socket* s = nullptr;
  if (f == nullptr && !outboundOpen) s = ServerSocket(6, key.localPort, p);  // bound and listening before the SYN
  if (f != nullptr && f->blocked) {
    BlockedFlowPacket(f);
    f->lastSeen = now_;
    if (rst || (fin && (f->finSent || f->finReceived))) End(f);
    else if (fin) (inbound ? f->finReceived : f->finSent) = true;
    return;
  }
  // Packets to a port whose bind or listen was blocked reach no socket.
  bool noSocket = s != nullptr && s->blocked;
  if (inbound && !noSocket && !InboundIp(p)) return;

  if (f == nullptr) {
    if (outboundOpen) {
      const client::Process& owner = policy_.OwnerOf(FactsOf(p, inbound));
      s = NewSocket(6, kTcpClient, 0, key.localPort, &owner);
      Bind(s);
    } else {
      Socket* listener = s;
      s = NewSocket(6, kTcpAccepted, options_.localAddress, key.localPort, listener->process);
      s->bound = true;  // an accepted connection shares its listener's port
      if (listener->blocked) s->blocked = true;
    }
    f = Open(key, s, outboundOpen, midStream, p);
    if (f->blocked) {
      BlockedFlowPacket(f);
      if (s->role == kTcpClient) Release(s);  // the application closes the socket its connect failed on
      if (s->role == kTcpAccepted) s->bound = false;
      return;
    }
    if (midStream) Establish(f);
  }

  f->lastSeen = now_;
  ++summary_.replayed;
  if (rst) {
    End(f);
    return;
  }
  if (!f->established) {
    // The client's connection is up with the SYN-ACK; the server's with the
    // ACK that ends the handshake (or, missing those, with data).
    bool up = f->outbound ? ((inbound && ack) || (!inbound && !syn)) : ((inbound && ack && !syn) || (!inbound && !syn));
    if (up) Establish(f);
  }
  if (syn) NoteSyn(f, p, inbound);
  if (f->established && (p.PayloadLength() != 0 || fin) && !Stream(f, p, inbound)) return;
  if (fin) (inbound ? f->finReceived : f->finSent) = true;
  if (f->finSent && f->finReceived) End(f);
}

// A packet of a connection the client answered: the application has its
// answer and the connection is gone, so nothing of it is delivered.
bool Stack::AnsweredEarlier(const Key& key) {
  auto it = ended_.find(key);
  if (it == ended_.end() || !it->second.answered) return false;
  it->second.lastSeen = now_;
  ++summary_.answeredFlowPackets;
  Undelivered("not delivered: flow ended by the client's reply");
  return true;
}

// The SYN takes one sequence number; the data of that direction starts
// after it.
void Stack::NoteSyn(Flow* f, const Packet& p, bool inbound) {
  StreamSide& side = inbound ? f->received : f->sent;
  side.known = true;
  side.next = p.tcpSequence + 1;
}

}  // namespace replay
