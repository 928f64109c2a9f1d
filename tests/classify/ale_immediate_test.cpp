// Authorization answered at once: verdicts, write rights, reports, and the
// events that never reach the client.
#include "tests/support/ale.h"

namespace {
using namespace nqtest;

class AleImmediate : public AleTest {
 protected:
  void AnswerQueries(NqU32 result) {
    Client().answers().query = [result](const client::Call&, NqPendHandle*) -> NqU32 { return result; };
  }
  NqU64 TcpOwner(UINT32 address, UINT16 port) {
    NqU64 pid = 0;
    return Table()->LookupTcpEndpointOwner(address, port, &pid) ? pid : 0;
  }
};

TEST_F(AleImmediate, BindPermitKeepsTheWriteRightAndRecordsTheEndpoint) {
  Socket s = TcpSocket();
  auto a = Authorize(s, host::stack::BindEvent(s));
  EXPECT_EQ(a.first.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(a.first.rights, FWPS_RIGHT_ACTION_WRITE);
  auto q = Client().CallsTo("QueryBind");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].Value("isTcp"), 1u);
  EXPECT_EQ(q[0].Value("processId"), s.processId);
  EXPECT_EQ(q[0].Value("threadId"), s.threadId);
  EXPECT_EQ(TcpOwner(Net(s.localAddress), s.localPort), s.processId);
  EXPECT_EQ(Calls().size(), 1u) << "binds are never reported";
}

TEST_F(AleImmediate, BindBlockClearsTheWriteRightAndRecordsNothing) {
  AnswerQueries(1);
  Socket s = UdpSocket();
  auto a = Authorize(s, host::stack::BindEvent(s));
  EXPECT_EQ(a.first.actionType, FWP_ACTION_BLOCK);
  EXPECT_EQ(a.first.rights, 0u);
  EXPECT_EQ(a.first.flags, 0u);
  NqU64 pid = 0;
  EXPECT_EQ(Table()->LookupUdpEndpointOwner(Net(s.localAddress), s.localPort, &pid), 0u);
}

TEST_F(AleImmediate, ListenAcceptAndConnectReportTheQueryResultAndClearTheWriteRight) {
  for (NqU32 answer : {0u, 5u}) {
    AnswerQueries(answer);
    Client().ClearCalls();
    Socket s = TcpSocket();
    auto listen = Authorize(s, host::stack::ListenEvent(s));
    auto accept = Authorize(s, host::stack::AcceptEvent(s, AcceptPacket(s), 20, 20));
    auto connect = Authorize(s, host::stack::ConnectEvent(s, ConnectPacket(s)));
    FWP_ACTION_TYPE expected = answer != 0 ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT;
    for (const auto* a : {&listen, &accept, &connect}) {
      EXPECT_EQ(a->first.actionType, expected);
      EXPECT_EQ(a->first.rights, 0u);
      EXPECT_EQ(a->first.flags, 0u) << "an inline verdict is not absorbed";
    }
    std::vector<std::string> slots;
    for (const auto& c : Calls()) slots.push_back(c.slot);
    EXPECT_EQ(slots, (std::vector<std::string>{"QueryListen", "ReportListen", "QueryAccept", "ReportAccept",
                                               "QueryConnect", "ReportConnect"}));
    for (const auto& report : {Client().CallsTo("ReportListen")[0], Client().CallsTo("ReportAccept")[0],
                               Client().CallsTo("ReportConnect")[0]})
      EXPECT_EQ(report.Value("blocked"), answer) << report.slot << " passes the result on unchanged";
  }
}

TEST_F(AleImmediate, ConnectReportsRemoteFirstAcceptLocalFirst) {
  Socket s = TcpSocket();
  Authorize(s, host::stack::ConnectEvent(s, ConnectPacket(s)));
  Authorize(s, host::stack::AcceptEvent(s, AcceptPacket(s), 20, 20));
  for (const char* slot : {"QueryConnect", "ReportConnect", "QueryAccept", "ReportAccept"}) {
    auto c = Client().CallsTo(slot).at(0);
    EXPECT_EQ(c.Value("remoteAddress"), Net(s.remoteAddress)) << slot;
    EXPECT_EQ(c.Value("remotePort"), s.remotePort) << slot;
    EXPECT_EQ(c.Value("localAddress"), Net(s.localAddress)) << slot;
    EXPECT_EQ(c.Value("localPort"), s.localPort) << slot;
    EXPECT_EQ(c.Value("processId"), s.processId) << slot;
    EXPECT_EQ(c.Value("threadId"), s.threadId) << slot;
  }
  // Argument order on the stack: connect gives the remote endpoint first.
  auto connect = Client().CallsTo("ReportConnect").at(0);
  EXPECT_EQ(connect.args[3].name, "remoteAddress");
  auto accept = Client().CallsTo("ReportAccept").at(0);
  EXPECT_EQ(accept.args[3].name, "localAddress");
}

TEST_F(AleImmediate, ListenIsAskedAndReportedWithItsLocalEndpoint) {
  AnswerQueries(1);
  Socket s = TcpSocket();
  Authorize(s, host::stack::ListenEvent(s));
  auto query = Client().CallsTo("QueryListen").at(0);
  auto report = Client().CallsTo("ReportListen").at(0);
  for (const auto& c : {query, report}) {
    EXPECT_EQ(c.args[0].name, "processId") << c.slot << " has no isTcp";
    EXPECT_EQ(c.Value("processId"), s.processId) << c.slot;
    EXPECT_EQ(c.Value("threadId"), s.threadId) << c.slot;
    EXPECT_EQ(c.Value("localAddress"), Net(s.localAddress)) << c.slot;
    EXPECT_EQ(c.Value("localPort"), s.localPort) << c.slot;
  }
  EXPECT_EQ(report.Value("blocked"), 1u);
}

// UDP events say isTcp 0; the client gets the low 32 bits of a process
// identifier, the endpoint table keeps all 64.
TEST_F(AleImmediate, UdpEventsAndWideProcessIdentifiers) {
  Socket s = UdpSocket();
  s.processId = 0x0000000500000C1Cull;
  Authorize(s, host::stack::BindEvent(s));
  Authorize(s, host::stack::AcceptEvent(s, AcceptPacket(s), 20, 8));
  Authorize(s, host::stack::ConnectEvent(s, ConnectPacket(s)));
  std::vector<std::string> slots;
  for (const auto& c : Calls()) {
    slots.push_back(c.slot);
    EXPECT_EQ(c.Value("isTcp"), 0u) << c.slot;
    EXPECT_EQ(c.Value("processId"), 0xC1Cu) << c.slot;
  }
  EXPECT_EQ(slots, (std::vector<std::string>{"QueryBind", "QueryAccept", "ReportAccept", "QueryConnect",
                                             "ReportConnect"}));
  NqU64 pid = 0;
  EXPECT_EQ(Table()->LookupUdpEndpointOwner(Net(s.localAddress), s.localPort, &pid), 1u);
  EXPECT_EQ(pid, s.processId);
}

TEST_F(AleImmediate, LoopbackListenAcceptConnectPassWithoutClientButBindsAreAsked) {
  Socket s = TcpSocket();
  auto listen = host::stack::ListenEvent(s);
  listen.Set(FWPS_FIELD_ALE_AUTH_LISTEN_V4_FLAGS, FWP_CONDITION_FLAG_IS_LOOPBACK);
  auto accept = host::stack::AcceptEvent(s, AcceptPacket(s), 20, 20);
  accept.Set(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_FLAGS, FWP_CONDITION_FLAG_IS_LOOPBACK);
  auto connect = host::stack::ConnectEvent(s, ConnectPacket(s));
  connect.Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS, FWP_CONDITION_FLAG_IS_LOOPBACK);
  for (const auto* e : {&listen, &accept, &connect}) {
    auto a = Authorize(s, *e);
    EXPECT_EQ(a.first.actionType, FWP_ACTION_PERMIT);
    EXPECT_EQ(a.first.rights, FWPS_RIGHT_ACTION_WRITE);
  }
  EXPECT_TRUE(Calls().empty());
  auto bind = host::stack::BindEvent(s);
  bind.Set(FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_FLAGS, FWP_CONDITION_FLAG_IS_LOOPBACK);
  Authorize(s, bind);
  EXPECT_EQ(Client().CallsTo("QueryBind").size(), 1u);
}

TEST_F(AleImmediate, OtherProtocolsPassWithoutClient) {
  Socket s = TcpSocket();
  s.protocol = 1;  // ICMP
  Authorize(s, host::stack::BindEvent(s));
  Authorize(s, host::stack::AcceptEvent(s, nullptr, 20, 8));
  auto a = Authorize(s, host::stack::ConnectEvent(s, nullptr));
  EXPECT_EQ(a.first.actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(AleImmediate, PacketsThisDriverInjectedPassAcceptAndConnect) {
  Socket s = TcpSocket();
  NET_BUFFER_LIST* sent = ConnectPacket(s);
  NET_BUFFER_LIST* received = AcceptPacket(s);
  host::wfp::MarkInjected(sent, TransportInjection());
  host::wfp::MarkInjected(received, TransportInjection());
  EXPECT_EQ(Authorize(s, host::stack::ConnectEvent(s, sent)).first.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(Authorize(s, host::stack::AcceptEvent(s, received, 20, 20)).first.actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
  // Another party's injections are inspected like any packet.
  NET_BUFFER_LIST* foreign = ConnectPacket(s);
  host::wfp::MarkInjected(foreign, reinterpret_cast<HANDLE>(0x5150));
  Authorize(s, host::stack::ConnectEvent(s, foreign));
  EXPECT_EQ(Client().CallsTo("QueryConnect").size(), 1u);
}

TEST_F(AleImmediate, ClientNotReadyPermitsAndBindsStillRecordTheirEndpoint) {
  Client().SetReady(false);
  Socket s = TcpSocket();
  auto bind = Authorize(s, host::stack::BindEvent(s));
  auto connect = Authorize(s, host::stack::ConnectEvent(s, ConnectPacket(s)));
  EXPECT_EQ(bind.first.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(connect.first.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(connect.first.rights, FWPS_RIGHT_ACTION_WRITE);
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(TcpOwner(Net(s.localAddress), s.localPort), s.processId);
}

TEST_F(AleImmediate, WriteRightMissingLeavesContinueAtEveryAuthorizationLayer) {
  Socket s = TcpSocket();
  for (auto e : {host::stack::BindEvent(s), host::stack::ListenEvent(s), host::stack::ConnectEvent(s, nullptr),
                 host::stack::AcceptEvent(s, nullptr, 20, 20)}) {
    e.rights = 0;
    EXPECT_EQ(Authorize(s, e).first.actionType, FWP_ACTION_CONTINUE);
  }
  EXPECT_TRUE(Calls().empty());
}
}  // namespace
