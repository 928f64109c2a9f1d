// Internal to the simulated stack: its sockets and flows, and the helpers
// the files of the stack share (stack.cpp, stack_tcp.cpp, stack_udp.cpp,
// stack_stream.cpp).
#pragma once
#include "host/host.h"
#include "host/ndis.h"
#include "tools/replay/stack.h"

namespace replay {

enum Role { kTcpClient, kTcpListener, kTcpAccepted, kUdpClient, kUdpServer };

struct Socket {
  int id = 0;
  int protocol = 0;
  Role role = kTcpClient;
  uint32_t boundAddress = 0;  // host order; 0 = any
  uint16_t localPort = 0;
  uint64_t endpointHandle = 0;
  const client::Process* process = nullptr;
  bool bound = false;    // its resource assignment was permitted
  bool blocked = false;  // its bind or listen was blocked
  bool listening = false;
  bool released = false;
  std::string refusal;   // why its bind or listen failed, in words
  int openFlows = 0;
};

// One direction of a TCP connection's byte stream, as far as the stream
// layer has been shown it.
struct StreamSide {
  bool known = false;  // `next` holds a sequence number
  uint32_t next = 0;   // the sequence number of the first byte not indicated yet
  bool finIndicated = false;
};

struct Flow {
  int id = 0;
  int protocol = 0;
  uint32_t remoteAddress = 0;
  uint16_t localPort = 0, remotePort = 0;
  Socket* socket = nullptr;
  bool outbound = false;  // opened by the local host
  bool loopback = false;
  bool established = false;
  bool ended = false;
  bool blocked = false;
  bool answered = false;  // the client answered the application and closed the connection
  std::string refusal;    // why it was blocked, in words
  bool finSent = false, finReceived = false;
  int64_t lastSeen = 0;
  uint64_t flowHandle = 0;
  StreamSide sent, received;
  // The latest bytes sent on a connection under HTTP inspection, where the
  // replay reads the host of a request the client was asked about by URL.
  std::string sentTail;
};

// Outbound TCP flows to these ports are the ones the driver inspects as HTTP.
inline bool HttpInspected(const Flow* f) {
  return f->protocol == 6 && f->outbound && (f->remotePort == 80 || f->remotePort == 8080);
}

constexpr uint64_t kSystemThreadId = 8;  // the thread inbound packets are classified on

struct Stack::Where {
  uint64_t processId = host::kernel::kSystemProcessId;
  uint64_t threadId = kSystemThreadId;
  ClassifyPlace place;
  const Flow* flow = nullptr;
};

inline NET_BUFFER_LIST* Build(const uint8_t* bytes, size_t length, size_t dataOffset) {
  return host::ndis::BuildNetBufferList(
      host::ndis::NetBufferSpec(std::string(reinterpret_cast<const char*>(bytes), length), dataOffset));
}

inline bool Allowed(const host::wfp::ClassifyResult& r, bool pended, bool permittedAfterPend) {
  if (pended) return permittedAfterPend;
  return r.actionType != FWP_ACTION_BLOCK;
}

// Addresses on 127.0.0.0/8 never leave the host.
inline bool IsLoopback(uint32_t hostOrder) { return (hostOrder >> 24) == 127; }

}  // namespace replay
