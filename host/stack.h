// The host platform's network stack, as far as the filter engine sees it:
// the classify events a Windows stack raises for a socket's life, and whole
// scenarios (a connect with its bind, what follows a pend) run as the stack
// runs them.
#pragma once
#include "host/wfp_classify.h"

#include <functional>

namespace host::stack {

using ClassifyFn = std::function<wfp::ClassifyResult(const wfp::ClassifyEvent&)>;

struct Socket {
  UINT8 protocol = IPPROTO_TCP;
  UINT32 localAddress = 0;  // host order, as the layers deliver addresses
  UINT16 localPort = 0;
  UINT32 remoteAddress = 0;
  UINT16 remotePort = 0;
  UINT64 processId = 0;
  UINT64 threadId = 0;  // the thread that classifies in the socket's process
  UINT64 endpointHandle = 0;
  UINT32 interfaceIndex = 1;
  UINT32 subInterfaceIndex = 0;
  UINT32 compartmentId = DEFAULT_COMPARTMENT_ID;
};

wfp::ClassifyEvent BindEvent(const Socket& s);
wfp::ClassifyEvent ListenEvent(const Socket& s);
// The connect's first packet as layer data: the transport header onwards.
wfp::ClassifyEvent ConnectEvent(const Socket& s, NET_BUFFER_LIST* packet);
// The accept's first packet as layer data: indicated at its payload, with the
// IP and transport headers in front.
wfp::ClassifyEvent AcceptEvent(const Socket& s, NET_BUFFER_LIST* packet, UINT32 ipHeaderSize,
                               UINT32 transportHeaderSize);
wfp::ClassifyEvent FlowEstablishedEvent(const Socket& s, FWP_DIRECTION direction, UINT64 flowHandle);
wfp::ClassifyEvent DatagramEvent(const Socket& s, FWP_DIRECTION direction, NET_BUFFER_LIST* datagrams);
wfp::ClassifyEvent ReleaseEvent(const Socket& s);

// An authorization as it ends: at once, or, when the callout pended it, once
// the operation was completed and reauthorized.
struct Authorization {
  wfp::ClassifyResult first;
  bool pended = false;
  bool reauthorized = false;
  wfp::Reauthorization reauthorization;
  bool permitted = true;
};

// Classifies an authorization event in the socket's process and thread, and
// follows a pend through to the reauthorization.
Authorization Authorize(const ClassifyFn& classify, const Socket& s, const wfp::ClassifyEvent& event);

struct ConnectOutcome {
  Authorization bind;
  Authorization connect;  // not run when the bind was blocked
};

// An outbound connect as a stack runs it: the bind's resource assignment,
// then the connect with its first packet, and what follows a pend.
ConnectOutcome Connect(const ClassifyFn& classify, const Socket& s, NET_BUFFER_LIST* firstPacket);

}  // namespace host::stack

namespace host::stack {

// One indication of stream data at the stream layer: the segment's bytes in
// a chain of net buffer lists, the FWPS_STREAM_DATA0 that describes them and
// the FWPS_STREAM_CALLOUT_IO_PACKET0 the callout gets as layer data. Owns all
// of them for its life.
class StreamIndication {
 public:
  // `pieces` become one net buffer list each, chained in order.
  StreamIndication(const Socket& s, UINT64 flowHandle, UINT32 streamFlags, const std::vector<std::string>& pieces);
  // One net buffer list over `bytes`, its MDLs cut at `mdlCuts` (offsets
  // into `bytes`); a disconnect alone comes in a list of no bytes.
  StreamIndication(const Socket& s, UINT64 flowHandle, UINT32 streamFlags, const std::string& bytes,
                   const std::vector<size_t>& mdlCuts);
  ~StreamIndication();
  StreamIndication(const StreamIndication&) = delete;
  StreamIndication& operator=(const StreamIndication&) = delete;

  wfp::ClassifyEvent& Event() { return event_; }
  FWPS_STREAM_CALLOUT_IO_PACKET0& IoPacket() { return ioPacket_; }
  FWPS_STREAM_DATA0& StreamData() { return streamData_; }

 private:
  void Describe(const Socket& s, UINT64 flowHandle, UINT32 streamFlags, size_t total);
  std::vector<NET_BUFFER_LIST*> lists_;
  FWPS_STREAM_DATA0 streamData_{};
  FWPS_STREAM_CALLOUT_IO_PACKET0 ioPacket_{};
  wfp::ClassifyEvent event_;
};

}  // namespace host::stack
