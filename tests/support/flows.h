// Test support for TCP flows: establishment, stream indications, the
// flow's context, and reply objects of the client's layout.
#pragma once
#include "host/stack.h"
#include "tests/support/classify.h"

#include <deque>
#include <memory>
#include <string>

// The driver's per-flow record: tests that read it include its header and
// run on the linked driver only (tests/support/machine.h).
struct FlowContext;

namespace nqtest {

using host::stack::Socket;
using host::stack::StreamIndication;

// Reply objects of the client's layout (the length at byte offset 16, the
// bytes from byte offset 40), handed out by the stand-in client, which
// checks that each comes back once.
class ReplyObjects {
 public:
  NqReplyObject* Make(const std::string& bytes) { return client::StandInClient::Instance().NewReplyObject(bytes); }
};

// How often ReleaseReplyObject was called with the object.
inline size_t ReleaseCount(const std::vector<client::Call>& calls, const NqReplyObject* object) {
  size_t n = 0;
  for (const auto& c : calls)
    if (c.slot == "ReleaseReplyObject" && c.Value("replyObject") == reinterpret_cast<uintptr_t>(object)) ++n;
  return n;
}

inline std::vector<std::string> Slots(const std::vector<client::Call>& calls) {
  std::vector<std::string> s;
  for (const auto& c : calls) s.push_back(c.slot);
  return s;
}

inline std::vector<client::Call> CallsTo(const std::vector<client::Call>& calls, const std::string& slot) {
  std::vector<client::Call> out;
  for (const auto& c : calls)
    if (c.slot == slot) out.push_back(c);
  return out;
}

class FlowTest : public ClassifyTest {
 protected:
  static Socket HttpSocket(UINT16 remotePort = 80, UINT64 endpoint = 0xE0000101) {
    Socket s;
    s.protocol = IPPROTO_TCP;
    s.localAddress = Ipv4("10.0.0.2");
    s.localPort = 49152;
    s.remoteAddress = Ipv4("192.0.2.10");
    s.remotePort = remotePort;
    s.processId = 3100;
    s.threadId = 3104;
    s.endpointHandle = endpoint;
    return s;
  }

  static ClassifyResult Establish(const Socket& s, UINT64 flowHandle, FWP_DIRECTION direction = FWP_DIRECTION_OUTBOUND,
                                  UINT32 flags = 0) {
    ClassifyEvent e = host::stack::FlowEstablishedEvent(s, direction, flowHandle);
    e.Set(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_FLAGS, flags);
    return RunClassify(e);
  }

  // The socket's endpoint released, as the stack classifies it.
  static ClassifyResult Release(const Socket& s) { return RunClassify(host::stack::ReleaseEvent(s)); }
  // The context the driver associated with the flow at the stream layer
  // (linked driver only: it reads the driver's record).
  static FlowContext* ContextOf(UINT64 flowHandle);
  // What the engine holds for the driver: whether the flow has a context at
  // the stream layer, the stream callout's run-time id, the stream
  // injection handle.
  static bool HasContext(UINT64 flowHandle);
  static UINT32 StreamCalloutId();
  static HANDLE StreamInjection() { return InjectionHandleOfType(FWPS_INJECTION_TYPE_STREAM); }

  // One indication of the flow's stream, the pieces in net buffer lists of
  // their own; the indication lives until the test ends.
  StreamIndication& Indication(const Socket& s, UINT64 flowHandle, UINT32 flags,
                               const std::vector<std::string>& pieces) {
    return *indications_.emplace_back(std::make_unique<StreamIndication>(s, flowHandle, flags, pieces));
  }
  ClassifyResult Send(const Socket& s, UINT64 flowHandle, const std::string& bytes) {
    return RunClassify(Indication(s, flowHandle, FWPS_STREAM_FLAG_SEND, {bytes}).Event());
  }

  void TearDown() override {
    host::wfp::WaitInjectionsCompleted();
    indications_.clear();
    ClassifyTest::TearDown();
  }

  std::deque<std::unique_ptr<StreamIndication>> indications_;
  ReplyObjects replies_;
};

}  // namespace nqtest
