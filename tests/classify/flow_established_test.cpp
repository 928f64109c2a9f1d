// Flow establishment: which flows get a context, how their HTTP inspection
// starts, the endpoint tables, and the context's release at flow deletion.
#include "core/classify/endpoints.h"
#include "core/http/flow_context.h"
#include "tests/support/flows.h"

namespace {
using namespace nqtest;

class FlowEstablished : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    pool_ = std::make_unique<PoolCheckpoint>();
  }
  static bool TcpOwner(const Socket& s, NqU64* pid) {
    return LookupTcpEndpointOwner(Net(s.localAddress), s.localPort, pid) != 0;
  }
  static bool UdpOwner(const Socket& s, NqU64* pid) {
    return LookupUdpEndpointOwner(Net(s.localAddress), s.localPort, pid) != 0;
  }
  std::unique_ptr<PoolCheckpoint> pool_;
};

TEST_F(FlowEstablished, OutboundHttpFlowStartsInspected) {
  for (UINT16 port : {80, 8080}) {
    Socket s = HttpSocket(port, 0xE0000100 + port);
    ClassifyResult r = Establish(s, port);
    EXPECT_EQ(r.actionType, FWP_ACTION_CONTINUE);
    FlowContext* c = ContextOf(port);
    ASSERT_NE(c, nullptr) << port;
    EXPECT_EQ(c->processId, s.processId);
    EXPECT_EQ(c->httpEnabled, 1u);
    EXPECT_EQ(c->canReplace, 1);
    EXPECT_EQ(c->parser.state, ParserReset);
    EXPECT_EQ(c->parser.queueCount, 0u);
    EXPECT_EQ(c->localAddress, Net(s.localAddress));
    EXPECT_EQ(c->localPort, s.localPort);
    EXPECT_EQ(c->remoteAddress, Net(s.remoteAddress));
    EXPECT_EQ(c->remotePort, port);
  }
  EXPECT_TRUE(Calls().empty()) << "the client is not called";
}

TEST_F(FlowEstablished, OtherTcpFlowsGetAContextWithoutInspection) {
  Socket inbound = HttpSocket(50000, 1);
  inbound.localPort = 80;
  Establish(inbound, 1, FWP_DIRECTION_INBOUND);
  Establish(HttpSocket(443, 2), 2);
  Establish(HttpSocket(8000, 3), 3);
  for (UINT64 flow : {1, 2, 3}) {
    FlowContext* c = ContextOf(flow);
    ASSERT_NE(c, nullptr) << flow;
    EXPECT_EQ(c->httpEnabled, 0u);
    EXPECT_EQ(c->canReplace, 0);
    EXPECT_EQ(c->parser.state, ParserDisabled);
  }
}

TEST_F(FlowEstablished, UdpFlowsOnlyRecordTheirEndpointLoopbackIncluded) {
  Socket udp = HttpSocket(53, 7);
  udp.protocol = IPPROTO_UDP;
  Establish(udp, 7, FWP_DIRECTION_OUTBOUND, FWP_CONDITION_FLAG_IS_LOOPBACK);
  EXPECT_EQ(host::wfp::FlowContextCount(), 0u);
  NqU64 pid = 0;
  EXPECT_TRUE(UdpOwner(udp, &pid));
  EXPECT_EQ(pid, udp.processId);
}

TEST_F(FlowEstablished, TcpLoopbackFlowChangesNothing) {
  Socket s = HttpSocket();
  Establish(s, 9, FWP_DIRECTION_OUTBOUND, FWP_CONDITION_FLAG_IS_LOOPBACK);
  EXPECT_EQ(host::wfp::FlowContextCount(), 0u);
  NqU64 pid = 0;
  EXPECT_FALSE(TcpOwner(s, &pid));
  EXPECT_NO_LEAKS(*pool_);
}

TEST_F(FlowEstablished, OtherProtocolsAreIgnored) {
  Socket s = HttpSocket();
  s.protocol = 1;
  Establish(s, 9);
  EXPECT_EQ(host::wfp::FlowContextCount(), 0u);
  EXPECT_NO_LEAKS(*pool_);
}

TEST_F(FlowEstablished, FailuresLeaveNoContextButStillRecordTheEndpoint) {
  Socket s = HttpSocket();
  host::pool::FailAllocation(1);
  Establish(s, 1);
  EXPECT_EQ(ContextOf(1), nullptr);
  NqU64 pid = 0;
  EXPECT_TRUE(TcpOwner(s, &pid));

  host::faults::FailCall("FwpsFlowAssociateContext0", 1, STATUS_FWP_ALREADY_EXISTS);
  Establish(s, 2);
  EXPECT_EQ(ContextOf(2), nullptr);
  ReleaseEndpoint(IPPROTO_TCP, s.endpointHandle);
  EXPECT_NO_LEAKS(*pool_) << "the context of the refused association is freed";
}

TEST_F(FlowEstablished, ASecondEstablishmentOfAFlowKeepsItsContextAndFreesTheNewOne) {
  Socket s = HttpSocket();
  Establish(s, 4);
  FlowContext* first = ContextOf(4);
  ASSERT_NE(first, nullptr);
  Establish(s, 4);  // the platform answers STATUS_OBJECT_NAME_EXISTS, a success status
  EXPECT_EQ(ContextOf(4), first);
  host::wfp::DeleteFlow(4);
  ReleaseEndpoint(IPPROTO_TCP, s.endpointHandle);
  EXPECT_NO_LEAKS(*pool_) << "the second context was not left to nobody";
}

TEST_F(FlowEstablished, FlowDeletionFreesTheContextAndItsQueuedRequests) {
  Socket s = HttpSocket();
  Establish(s, 5);
  FlowContext* c = ContextOf(5);
  ASSERT_NE(c, nullptr);
  // Three requests with bodies still to come: parsed, never released.
  c->canReplace = 0;
  for (int i = 0; i < 3; ++i) StoreRequest(&c->parser, "h", "POST /x HTTP/1.1", 40, 100);
  ASSERT_EQ(c->parser.queueCount, 3u);
  host::wfp::DeleteFlow(5);
  EXPECT_EQ(host::wfp::FlowContextCount(), 0u);
  ReleaseEndpoint(IPPROTO_TCP, s.endpointHandle);
  EXPECT_NO_LEAKS(*pool_) << "three records, six strings, three nodes and the context";

  FlowDeleteNotify(FWPS_LAYER_STREAM_V4, gDriverState->calloutIds[CalloutSlotStream], 0);  // nothing to free
}

}  // namespace
