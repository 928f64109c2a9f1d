// Test support for the authorization layers: sockets, their first packets,
// and a machine whose verdict worker runs.
#pragma once
#include "host/stack.h"
#include "tests/support/classify.h"

namespace nqtest {

using host::stack::Socket;

class AleTest : public ClassifyTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  static Socket TcpSocket();
  static Socket UdpSocket();
  // The first packet of an outbound connect: the transport header onwards.
  NET_BUFFER_LIST* ConnectPacket(const Socket& s, size_t payload = 0);
  // The first packet of an inbound connection, indicated at its payload with
  // the 20-byte IP header and 20-byte TCP header in front.
  NET_BUFFER_LIST* AcceptPacket(const Socket& s, size_t payload = 0);

  host::stack::ClassifyFn Engine() { return RunClassify; }
  host::stack::Authorization Authorize(const Socket& s, const ClassifyEvent& e) {
    return host::stack::Authorize(Engine(), s, e);
  }
  // The transport injection handle start-up created, as the engine holds it.
  static HANDLE TransportInjection() { return InjectionHandleOfType(FWPS_INJECTION_TYPE_TRANSPORT); }
  // Answers every query with a pend handle and every decision with `block`.
  void PendEverything(NqU32 block);
  // Waits until the worker has no record in hand and the queue is empty.
  void WaitWorkerIdle();

  std::vector<NET_BUFFER_LIST*> packets_;
};

}  // namespace nqtest
