// Decisions the client takes time for: pended in the classify, decided by the
// worker, completed, re-injected and applied at the reauthorization.
#include "tests/support/ale.h"
#if NQ_LINKED_DRIVER
#include "core/driver/driver_state.h"
#endif

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
using namespace nqtest;
using host::wfp::ReauthorizeMode;

// Whether a decided list of the driver holds a parked record: read where the
// driver is linked in, not checked on the image.
#if NQ_LINKED_DRIVER
#define EXPECT_PARKED(list, parked) EXPECT_EQ(!IsListEmpty(&gDriverState->list), parked)
#else
#define EXPECT_PARKED(list, parked) \
  if (true) {                         \
  } else                              \
    ::testing::Message()
#endif

class PendedDecisions : public AleTest {
 protected:
  static std::vector<std::string> Slots(const std::vector<client::Call>& calls) {
    std::vector<std::string> s;
    for (const auto& c : calls) s.push_back(c.slot);
    return s;
  }
  static void ExpectPendedClassify(const host::stack::Authorization& a) {
    EXPECT_TRUE(a.pended);
    EXPECT_EQ(a.first.actionType, FWP_ACTION_BLOCK);
    EXPECT_EQ(a.first.rights, 0u);
    EXPECT_EQ(a.first.flags, UINT32(FWPS_CLASSIFY_OUT_FLAG_ABSORB));
    EXPECT_TRUE(a.reauthorized);
  }
};

TEST_F(PendedDecisions, ConnectLivesFromPendToReauthorizationEitherWay) {
  for (ReauthorizeMode mode : {ReauthorizeMode::InsideCompletion, ReauthorizeMode::Later}) {
    for (NqU32 block : {0u, 1u}) {
      SCOPED_TRACE(std::string(mode == ReauthorizeMode::Later ? "later" : "inside") + (block ? ", block" : ", permit"));
      host::wfp::SetReauthorizeMode(mode);
      Client().ClearCalls();
      PendEverything(block);
      size_t injectionsBefore = host::wfp::Injections().size();
      Socket s = TcpSocket();
      s.localPort = static_cast<UINT16>(50000 + block + (mode == ReauthorizeMode::Later ? 2 : 0));
      NET_BUFFER_LIST* packet = ConnectPacket(s, 12);
      auto event = host::stack::ConnectEvent(s, packet);
      static char control[] = "control-data";
      event.meta.controlData = reinterpret_cast<WSACMSGHDR*>(control);
      event.meta.controlDataLength = sizeof(control);
      event.meta.remoteScopeId.Value = 0x1000000Eu;
      nqtest::PoolCheckpoint pool;
      auto a = Authorize(s, event);
      ExpectPendedClassify(a);
      EXPECT_EQ(a.permitted, block == 0);
      EXPECT_EQ(a.reauthorization.result.actionType, block ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT);
      EXPECT_EQ(a.reauthorization.result.rights, 0u);
      EXPECT_EQ(a.reauthorization.completedWith != nullptr, block == 0) << "completed with the clone on permit";

      EXPECT_EQ(Slots(Calls()), (std::vector<std::string>{"QueryConnect", "DecidePended", "ReportConnect"}));
      auto query = Client().CallsTo("QueryConnect").at(0);
      auto decide = Client().CallsTo("DecidePended").at(0);
      auto report = Client().CallsTo("ReportConnect").at(0);
      EXPECT_EQ(decide.Value("pendHandle"), query.Value("pendHandle"));
      EXPECT_EQ(decide.Value("reserved"), 0u);
      EXPECT_EQ(report.Value("blocked"), block);
      for (const char* arg : {"processId", "threadId", "remoteAddress", "remotePort", "localAddress", "localPort"})
        EXPECT_EQ(report.Value(arg), query.Value(arg)) << arg << " comes from the pended event";

      WaitWorkerIdle();
      host::wfp::WaitInjectionsCompleted();
      auto injections = host::wfp::Injections();
      ASSERT_EQ(injections.size() - injectionsBefore, block ? 0u : 1u);
      if (!block) {
        const auto& sent = injections.back();
        EXPECT_EQ(sent.kind, host::wfp::Injection::TransportSend);
        EXPECT_EQ(sent.injectionHandle, TransportInjection());
        EXPECT_EQ(sent.data, host::ndis::DataBytes(packet->FirstNetBuffer));
        UINT32 remote = Net(s.remoteAddress);
        EXPECT_EQ(sent.remoteAddress, std::string(reinterpret_cast<const char*>(&remote), 4));
        EXPECT_EQ(sent.controlData, std::string(control, sizeof(control)));
        EXPECT_EQ(sent.remoteScopeId, 0x1000000Eu);
        EXPECT_EQ(sent.endpointHandle, s.endpointHandle);
        EXPECT_EQ(sent.addressFamily, UINT32(AF_INET));
        EXPECT_EQ(sent.compartmentId, s.compartmentId);
        EXPECT_TRUE(sent.completed);
      }
      EXPECT_EQ(host::wfp::LiveClones(), 0u);
      EXPECT_NO_LEAKS(pool) << "record, control data and send context are freed";
    }
  }
}

// The reauthorization frees the parked record inside the completing call or
// later on another thread, before or while the send is in flight; the send
// keeps its remote address either way.
TEST_F(PendedDecisions, SendInjectionKeepsItsRemoteAddressAfterTheRecordIsFreed) {
  PendEverything(0);
  host::wfp::HoldInjectionCompletions(true);
  Socket s = TcpSocket();
  for (ReauthorizeMode mode : {ReauthorizeMode::InsideCompletion, ReauthorizeMode::Later}) {
    host::wfp::SetReauthorizeMode(mode);
    s.localPort = static_cast<UINT16>(s.localPort + 1);
    auto a = Authorize(s, host::stack::ConnectEvent(s, ConnectPacket(s)));
    ASSERT_TRUE(a.reauthorized) << "the reauthorization freed the parked record";
    EXPECT_PARKED(decidedConnects, false);
  }
  WaitWorkerIdle();
  auto injections = host::wfp::Injections();
  ASSERT_EQ(injections.size(), 2u) << "both sends are queued, their completions held";
  UINT32 remote = Net(s.remoteAddress);
  for (const auto& sent : injections)
    EXPECT_EQ(sent.remoteAddress, std::string(reinterpret_cast<const char*>(&remote), 4));
  host::wfp::HoldInjectionCompletions(false);
  host::wfp::WaitInjectionsCompleted();
  EXPECT_TRUE(host::verifier::Violations().empty()) << "the address changed while the send was in flight";
}

// A reauthorization of the same connection (one the engine makes on its own,
// say) claims the parked record just as the worker completes the operation.
// The worker read everything it needs before it parked the record.
TEST_F(PendedDecisions, ConnectClaimedBetweenParkingAndCompletionIsStillSentWhole) {
  PendEverything(0);
  Socket s = TcpSocket();
  NET_BUFFER_LIST* packet = ConnectPacket(s, 6);
  auto event = host::stack::ConnectEvent(s, packet);
  static char control[] = "cmsg-bytes";
  event.meta.controlData = reinterpret_cast<WSACMSGHDR*>(control);
  event.meta.controlDataLength = sizeof(control);
  ClassifyEvent again = event;
  again.Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS, FWP_CONDITION_FLAG_IS_REAUTHORIZE);
  again.layerData = nullptr;
  ClassifyResult early;
  host::faults::BeforeCall("FwpsCompleteOperation0", 1, [&early, &again] { early = RunClassify(again); });

  nqtest::PoolCheckpoint pool;
  auto a = Authorize(s, event);
  ExpectPendedClassify(a);
  EXPECT_EQ(early.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(early.rights, 0u) << "the early reauthorization applied the parked verdict";
  EXPECT_EQ(a.reauthorization.result.rights, FWPS_RIGHT_ACTION_WRITE) << "nothing was left for the completion's own";
  EXPECT_EQ(Client().CallsTo("ReportConnect").size(), 1u);

  WaitWorkerIdle();
  host::wfp::WaitInjectionsCompleted();
  auto injections = host::wfp::Injections();
  ASSERT_EQ(injections.size(), 1u);
  const auto& sent = injections[0];
  UINT32 remote = Net(s.remoteAddress);
  EXPECT_EQ(sent.data, host::ndis::DataBytes(packet->FirstNetBuffer));
  EXPECT_EQ(sent.remoteAddress, std::string(reinterpret_cast<const char*>(&remote), 4));
  EXPECT_EQ(sent.controlData, std::string(control, sizeof(control)));
  EXPECT_EQ(sent.endpointHandle, s.endpointHandle);
  EXPECT_EQ(sent.compartmentId, s.compartmentId);
  EXPECT_EQ(host::wfp::LiveClones(), 0u);
  EXPECT_NO_LEAKS(pool);
}

TEST_F(PendedDecisions, NoMemoryForTheSendContextDropsTheHeldPacket) {
  PendEverything(0);
  Socket s = TcpSocket();
  auto event = host::stack::ConnectEvent(s, ConnectPacket(s));
  static char control[] = "cmsg";
  event.meta.controlData = reinterpret_cast<WSACMSGHDR*>(control);
  event.meta.controlDataLength = sizeof(control);
  nqtest::PoolCheckpoint pool;
  host::pool::FailAllocation(3);  // the record, the control-data copy, then the worker's send context
  auto a = Authorize(s, event);
  WaitWorkerIdle();
  host::pool::ClearFailures();
  ExpectPendedClassify(a);
  EXPECT_TRUE(a.permitted);
  EXPECT_TRUE(host::wfp::Injections().empty());
  EXPECT_EQ(host::wfp::LiveClones(), 0u);
  EXPECT_NO_LEAKS(pool) << "the clone and the control-data copy are freed";
}

TEST_F(PendedDecisions, AConnectAsAStackRunsIt) {
  for (NqU32 block : {0u, 1u}) {
    SCOPED_TRACE(block ? "bind blocked" : "both permitted");
    Client().ClearCalls();
    PendEverything(block);
    Socket s = TcpSocket();
    s.localPort = static_cast<UINT16>(51000 + block);
    s.endpointHandle = 0xC000 + block;
    size_t injectionsBefore = host::wfp::Injections().size();
    auto outcome = host::stack::Connect(Engine(), s, ConnectPacket(s, 5));
    EXPECT_TRUE(outcome.bind.pended);
    EXPECT_EQ(outcome.bind.permitted, block == 0);
    WaitWorkerIdle();
    host::wfp::WaitInjectionsCompleted();
    NqU64 pid = 0;
    EXPECT_EQ(Table()->LookupTcpEndpointOwner(Net(s.localAddress), s.localPort, &pid), block ? 0u : 1u);
    if (block) {
      EXPECT_EQ(Slots(Calls()), (std::vector<std::string>{"QueryBind", "DecidePended"})) << "no connect follows";
      continue;
    }
    EXPECT_TRUE(outcome.connect.pended);
    EXPECT_TRUE(outcome.connect.permitted);
    EXPECT_EQ(Slots(Calls()),
              (std::vector<std::string>{"QueryBind", "DecidePended", "QueryConnect", "DecidePended", "ReportConnect"}));
    EXPECT_EQ(host::wfp::Injections().size() - injectionsBefore, 1u);
  }
}

TEST_F(PendedDecisions, AcceptIsReportedAndFreedByTheWorkerAndReinjectedWithItsHeaders) {
  for (NqU32 block : {0u, 1u}) {
    Client().ClearCalls();
    PendEverything(block);
    Socket s = TcpSocket();
    s.remotePort = static_cast<UINT16>(40000 + block);
    s.interfaceIndex = 7;
    s.subInterfaceIndex = 3;
    NET_BUFFER_LIST* packet = AcceptPacket(s, 8);
    size_t injectionsBefore = host::wfp::Injections().size();
    nqtest::PoolCheckpoint pool;
    auto a = Authorize(s, host::stack::AcceptEvent(s, packet, 20, 20));
    ExpectPendedClassify(a);
    EXPECT_EQ(a.reauthorization.result.actionType, FWP_ACTION_PERMIT) << "an accept's reauthorization permits";
    EXPECT_EQ(a.reauthorization.completedWith != nullptr, block == 0) << "completed with the clone on permit";
    EXPECT_EQ(a.reauthorization.result.rights, FWPS_RIGHT_ACTION_WRITE);
    WaitWorkerIdle();
    host::wfp::WaitInjectionsCompleted();
    EXPECT_EQ(Slots(Calls()), (std::vector<std::string>{"QueryAccept", "DecidePended", "ReportAccept"}));
    auto report = Client().CallsTo("ReportAccept").at(0);
    EXPECT_EQ(report.Value("blocked"), block);
    EXPECT_EQ(report.Value("threadId"), s.threadId);
    auto injections = host::wfp::Injections();
    ASSERT_EQ(injections.size() - injectionsBefore, block ? 0u : 1u);
    if (!block) {
      const auto& received = injections.back();
      EXPECT_EQ(received.kind, host::wfp::Injection::TransportReceive);
      EXPECT_EQ(received.data.size(), 48u) << "IP header, TCP header and payload";
      EXPECT_EQ(received.interfaceIndex, s.interfaceIndex);
      EXPECT_EQ(received.subInterfaceIndex, s.subInterfaceIndex);
      EXPECT_EQ(received.compartmentId, s.compartmentId);
    }
    EXPECT_EQ(packet->FirstNetBuffer->DataOffset, 40u) << "the indicated packet's data start is restored";
    EXPECT_EQ(host::wfp::LiveClones(), 0u);
    EXPECT_NO_LEAKS(pool);
  }
}

TEST_F(PendedDecisions, AcceptWhoseInjectionFailsIsStillReportedPermitted) {
  PendEverything(0);
  host::faults::FailCall("FwpsInjectTransportReceiveAsync0", 1, STATUS_INSUFFICIENT_RESOURCES);
  Socket s = TcpSocket();
  Authorize(s, host::stack::AcceptEvent(s, AcceptPacket(s), 20, 20));
  WaitWorkerIdle();
  EXPECT_EQ(Client().CallsTo("ReportAccept").at(0).Value("blocked"), 0u);
  EXPECT_EQ(host::wfp::LiveClones(), 0u);
}

TEST_F(PendedDecisions, AcceptWhoseHeadersCannotBeReachedIsPendedWithoutAClone) {
  PendEverything(0);
  host::faults::FailCall("NdisRetreatNetBufferDataStart", 1, NDIS_STATUS_RESOURCES);
  Socket s = TcpSocket();
  NET_BUFFER_LIST* packet = AcceptPacket(s, 4);
  size_t injectionsBefore = host::wfp::Injections().size();
  auto a = Authorize(s, host::stack::AcceptEvent(s, packet, 20, 20));
  ExpectPendedClassify(a);
  WaitWorkerIdle();
  EXPECT_EQ(packet->FirstNetBuffer->DataOffset, 40u) << "not moved forward past where it stood";
  EXPECT_EQ(packet->FirstNetBuffer->DataLength, 4u);
  EXPECT_EQ(host::wfp::Injections().size(), injectionsBefore);
  EXPECT_EQ(Client().CallsTo("ReportAccept").at(0).Value("blocked"), 0u);
}

TEST_F(PendedDecisions, IpsecSecuredAcceptGetsItsIpHeaderRebuilt) {
  PendEverything(0);
  Socket s = TcpSocket();
  NET_BUFFER_LIST* packet = AcceptPacket(s);
  host::wfp::MarkIpsecSecured(packet);
  Authorize(s, host::stack::AcceptEvent(s, packet, 20, 20));
  WaitWorkerIdle();
  auto headers = host::wfp::IpHeaderConstructions();
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(headers[0].headerLength, 20u);
  EXPECT_EQ(headers[0].source, Net(s.remoteAddress));
  EXPECT_EQ(headers[0].destination, Net(s.localAddress));
  EXPECT_EQ(headers[0].protocol, UINT32(IPPROTO_TCP));
}

TEST_F(PendedDecisions, ListenAndBindAreAppliedFromTheirParkedRecords) {
  for (NqU32 block : {0u, 1u}) {
    Client().ClearCalls();
    PendEverything(block ? 0x100u : 0u);  // any nonzero decision blocks
    Socket s = TcpSocket();
    s.localPort = static_cast<UINT16>(8000 + block);
    s.endpointHandle = 0xB000 + block;
    auto bind = Authorize(s, host::stack::BindEvent(s));
    ExpectPendedClassify(bind);
    EXPECT_EQ(bind.reauthorization.result.actionType, block ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT);
    EXPECT_EQ(bind.reauthorization.result.rights, 0u);
    NqU64 pid = 0;
    EXPECT_EQ(Table()->LookupTcpEndpointOwner(Net(s.localAddress), s.localPort, &pid), block ? 0u : 1u)
        << "a blocked bind never reaches the endpoint table";

    auto listen = Authorize(s, host::stack::ListenEvent(s));
    ExpectPendedClassify(listen);
    EXPECT_EQ(listen.reauthorization.result.actionType, block ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT);
    auto report = Client().CallsTo("ReportListen");
    ASSERT_EQ(report.size(), 1u);
    EXPECT_EQ(report[0].Value("blocked"), block);
    EXPECT_EQ(report[0].Value("threadId"), s.threadId);
    EXPECT_EQ(Slots(Calls()), (std::vector<std::string>{"QueryBind", "DecidePended", "QueryListen", "DecidePended",
                                                        "ReportListen"}));
  }
  EXPECT_PARKED(decidedBinds, false);
  EXPECT_PARKED(decidedListens, false);
}

// Every pended report carries the values the client was asked about, in the
// same order, with blocked in place of the handle: accepts from the worker,
// listens from a reauthorization running on another thread.
TEST_F(PendedDecisions, PendedReportsCarryTheQueriedValuesInTheirOrder) {
  PendEverything(1);
  host::wfp::SetReauthorizeMode(ReauthorizeMode::Later);
  Socket udp = UdpSocket();
  udp.processId = 0x0000000700000D1Dull;
  Authorize(udp, host::stack::AcceptEvent(udp, AcceptPacket(udp, 4), 20, 8));
  Socket tcp = TcpSocket();
  tcp.processId = udp.processId;
  tcp.localPort = 8443;
  Authorize(tcp, host::stack::ListenEvent(tcp));
  WaitWorkerIdle();
  for (auto [querySlot, reportSlot] : {std::pair{"QueryAccept", "ReportAccept"}, {"QueryListen", "ReportListen"}}) {
    auto query = Client().CallsTo(querySlot).at(0);
    auto report = Client().CallsTo(reportSlot).at(0);
    ASSERT_EQ(report.args.size() + 1, query.args.size()) << reportSlot;  // the query also records its result
    for (size_t i = 0; i + 1 < report.args.size(); ++i) {
      EXPECT_EQ(report.args[i].name, query.args[i].name) << reportSlot;
      EXPECT_EQ(report.args[i].value, query.args[i].value) << reportSlot << " " << report.args[i].name;
    }
    EXPECT_EQ(report.Value("processId"), 0xD1Du) << reportSlot;
    EXPECT_EQ(report.Value("blocked"), 1u) << reportSlot;
  }
  EXPECT_EQ(Client().CallsTo("ReportAccept").at(0).Value("isTcp"), 0u);
}

// The client lowered its flag after it decided: each reauthorization still
// applies the verdict it gave and frees its record, and only the report is
// left out. A blocked bind is not recorded.
TEST_F(PendedDecisions, ReauthorizationsAfterTheClientLoweredItsFlagStillApplyTheVerdict) {
  PendEverything(1);
  Client().answers().decidePended = [](NqPendHandle) -> NqU32 {
    client::StandInClient::Instance().SetReady(false);
    return 1;
  };
  Socket s = TcpSocket();
  nqtest::PoolCheckpoint pool;
  std::vector<host::wfp::ClassifyEvent> events = {host::stack::BindEvent(s), host::stack::ListenEvent(s),
                                                  host::stack::ConnectEvent(s, ConnectPacket(s))};
  for (const auto& e : events) {
    Client().SetReady(true);
    auto a = Authorize(s, e);
    ExpectPendedClassify(a);
    EXPECT_EQ(a.reauthorization.result.actionType, FWP_ACTION_BLOCK) << host::wfp::LayerName(e.layerId);
    EXPECT_EQ(a.reauthorization.result.rights, 0u) << host::wfp::LayerName(e.layerId);
  }
  EXPECT_EQ(Slots(Calls()), (std::vector<std::string>{"QueryBind", "DecidePended", "QueryListen", "DecidePended",
                                                      "QueryConnect", "DecidePended"}));
  EXPECT_PARKED(decidedBinds, false);
  EXPECT_PARKED(decidedListens, false);
  EXPECT_PARKED(decidedConnects, false);
  NqU64 pid = 0;
  EXPECT_EQ(Table()->LookupTcpEndpointOwner(Net(s.localAddress), s.localPort, &pid), 0u) << "the bind was blocked";
  EXPECT_NO_LEAKS(pool);
}

// A permitted bind whose reauthorization comes while the client is not ready
// is recorded once, from its parked record.
TEST_F(PendedDecisions, PermittedBindReauthorizedWhileTheClientIsNotReadyIsRecorded) {
  PendEverything(0);
  Client().answers().decidePended = [](NqPendHandle) -> NqU32 {
    client::StandInClient::Instance().SetReady(false);
    return 0;
  };
  Socket s = TcpSocket();
  auto a = Authorize(s, host::stack::BindEvent(s));
  ExpectPendedClassify(a);
  EXPECT_EQ(a.reauthorization.result.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(a.reauthorization.result.rights, 0u) << "applied from the record";
  EXPECT_PARKED(decidedBinds, false);
  NqU64 pid = 0;
  EXPECT_EQ(Table()->LookupTcpEndpointOwner(Net(s.localAddress), s.localPort, &pid), 1u);
}

// A reauthorization that differs from a parked record in any one of its
// layer's keys leaves the record for its own reauthorization. The other one
// runs as the worker completes the record's operation.
TEST_F(PendedDecisions, AReauthorizationClaimsOnlyARecordWithAllItsKeys) {
  struct Variant {
    const char* what;
    host::wfp::ClassifyEvent (*event)(const Socket&);
    void (*change)(Socket&);
  };
  auto bind = [](const Socket& s) { return host::stack::BindEvent(s); };
  auto listen = [](const Socket& s) { return host::stack::ListenEvent(s); };
  auto connect = [](const Socket& s) { return host::stack::ConnectEvent(s, nullptr); };
  const Variant variants[] = {
      {"bind, protocol", bind, [](Socket& s) { s.protocol = IPPROTO_UDP; }},
      {"bind, local address", bind, [](Socket& s) { s.localAddress = Ipv4("10.0.0.3"); }},
      {"bind, local port", bind, [](Socket& s) { s.localPort++; }},
      {"listen, local address", listen, [](Socket& s) { s.localAddress = Ipv4("10.0.0.3"); }},
      {"listen, local port", listen, [](Socket& s) { s.localPort++; }},
      {"connect, protocol", connect, [](Socket& s) { s.protocol = IPPROTO_UDP; }},
      {"connect, local address", connect, [](Socket& s) { s.localAddress = Ipv4("10.0.0.3"); }},
      {"connect, local port", connect, [](Socket& s) { s.localPort++; }},
      {"connect, remote address", connect, [](Socket& s) { s.remoteAddress = Ipv4("192.0.2.81"); }},
      {"connect, remote port", connect, [](Socket& s) { s.remotePort++; }},
  };
  PendEverything(1);
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.what);
    Socket s = TcpSocket();
    Socket other = s;
    v.change(other);
    ClassifyEvent again = v.event(other);
    UINT32 flagsField = again.layerId == FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4
                            ? UINT32(FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_FLAGS)
                        : again.layerId == FWPS_LAYER_ALE_AUTH_LISTEN_V4 ? UINT32(FWPS_FIELD_ALE_AUTH_LISTEN_V4_FLAGS)
                                                                         : UINT32(FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS);
    again.Set(flagsField, FWP_CONDITION_FLAG_IS_REAUTHORIZE);
    ClassifyResult early;
    host::faults::BeforeCall("FwpsCompleteOperation0", 1, [&early, &again] { early = RunClassify(again); });
    auto a = Authorize(s, v.event(s));
    ExpectPendedClassify(a);
    EXPECT_EQ(early.actionType, FWP_ACTION_PERMIT);
    EXPECT_EQ(early.rights, FWPS_RIGHT_ACTION_WRITE) << "the other event found no record";
    EXPECT_EQ(a.reauthorization.result.actionType, FWP_ACTION_BLOCK) << "the record waited for its own";
    EXPECT_EQ(a.reauthorization.result.rights, 0u);
  }
  EXPECT_PARKED(decidedBinds, false);
  EXPECT_PARKED(decidedListens, false);
  EXPECT_PARKED(decidedConnects, false);
}

TEST_F(PendedDecisions, NonzeroHandleWinsOverANonzeroResult) {
  Client().answers().query = [](const client::Call&, NqPendHandle* handle) -> NqU32 {
    *handle = reinterpret_cast<NqPendHandle>(0x77);
    return 1;
  };
  Client().answers().decidePended = [](NqPendHandle) -> NqU32 { return 0; };
  Socket s = TcpSocket();
  auto a = Authorize(s, host::stack::ConnectEvent(s, ConnectPacket(s)));
  ExpectPendedClassify(a);
  EXPECT_TRUE(a.permitted);
}

TEST_F(PendedDecisions, UnpendableDecisionsGiveTheHandleBackOnceAndPermit) {
  struct Failure {
    const char* what;
    bool pool;
  } failures[] = {{"no memory for the record", true}, {"FwpsPendOperation0 fails", false}};
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.what);
    Client().ClearCalls();
    PendEverything(1);
    Socket s = TcpSocket();
    s.endpointHandle = f.pool ? 0xA1 : 0xA2;
    s.localPort = f.pool ? 7001 : 7002;
    auto arm = [&f] {
      if (f.pool)
        host::pool::FailAllocation(1);
      else
        host::faults::FailCall("FwpsPendOperation0", 1, STATUS_FWP_INVALID_PARAMETER);
    };
    nqtest::PoolCheckpoint pool;
    // The handle goes back before the record that could not be pended is freed.
    std::vector<size_t> blocksAtRelease;
    Client().OnCall([&](const client::Call& call) {
      if (call.slot == "ReleasePendHandle") blocksAtRelease.push_back(pool.Leaks().size());
    });
    arm();
    auto bind = Authorize(s, host::stack::BindEvent(s));
    arm();
    auto listen = Authorize(s, host::stack::ListenEvent(s));
    arm();
    auto accept = Authorize(s, host::stack::AcceptEvent(s, AcceptPacket(s), 20, 20));
    arm();
    auto connect = Authorize(s, host::stack::ConnectEvent(s, ConnectPacket(s)));
    host::pool::ClearFailures();
    Client().OnCall(nullptr);
    EXPECT_EQ(blocksAtRelease, std::vector<size_t>(4, f.pool ? 0 : 1));
    for (const auto* a : {&bind, &listen, &accept, &connect}) {
      EXPECT_FALSE(a->pended);
      EXPECT_EQ(a->first.actionType, FWP_ACTION_PERMIT);
      EXPECT_EQ(a->first.rights, FWPS_RIGHT_ACTION_WRITE);
      EXPECT_EQ(a->first.flags, 0u);
    }
    EXPECT_EQ(Slots(Calls()), (std::vector<std::string>{"QueryBind", "ReleasePendHandle", "QueryListen",
                                                        "ReleasePendHandle", "ReportListen", "QueryAccept",
                                                        "ReleasePendHandle", "ReportAccept", "QueryConnect",
                                                        "ReleasePendHandle", "ReportConnect"}));
    auto queries = Client().CallsTo("QueryConnect");
    EXPECT_EQ(Client().CallsTo("ReleasePendHandle").back().Value("pendHandle"), queries.at(0).Value("pendHandle"));
    auto report = Client().CallsTo("ReportConnect").at(0);
    EXPECT_EQ(report.Value("blocked"), 0u);
    EXPECT_EQ(report.Value("remoteAddress"), queries[0].Value("remoteAddress"));
    EXPECT_EQ(report.Value("localPort"), queries[0].Value("localPort"));
    EXPECT_TRUE(Client().CallsTo("DecidePended").empty());
    NqU64 pid = 0;
    EXPECT_EQ(Table()->LookupTcpEndpointOwner(Net(s.localAddress), s.localPort, &pid), 0u)
        << "an unpendable bind records no endpoint";
    EXPECT_NO_LEAKS(pool);
  }
}

TEST_F(PendedDecisions, CloneFailureStillPendsAndCompletesWithoutInjecting) {
  PendEverything(0);
  host::faults::FailCall("FwpsAllocateCloneNetBufferList0", 1, STATUS_INSUFFICIENT_RESOURCES);
  Socket s = TcpSocket();
  size_t injectionsBefore = host::wfp::Injections().size();
  auto a = Authorize(s, host::stack::ConnectEvent(s, ConnectPacket(s)));
  ExpectPendedClassify(a);
  EXPECT_EQ(a.reauthorization.completedWith, nullptr);
  EXPECT_TRUE(a.permitted);
  WaitWorkerIdle();
  EXPECT_EQ(host::wfp::Injections().size(), injectionsBefore);
}

TEST_F(PendedDecisions, ControlDataCopyFailureReinjectsWithoutControlData) {
  PendEverything(0);
  Socket s = TcpSocket();
  auto event = host::stack::ConnectEvent(s, ConnectPacket(s));
  static char control[16] = "cmsg";
  event.meta.controlData = reinterpret_cast<WSACMSGHDR*>(control);
  event.meta.controlDataLength = sizeof(control);
  host::pool::FailAllocation(2);  // the record, then the control-data copy
  auto a = Authorize(s, event);
  host::pool::ClearFailures();
  ExpectPendedClassify(a);
  WaitWorkerIdle();
  host::wfp::WaitInjectionsCompleted();
  auto injections = host::wfp::Injections();
  ASSERT_EQ(injections.size(), 1u);
  EXPECT_TRUE(injections[0].controlData.empty());
}

TEST_F(PendedDecisions, ConnectPendedWithoutAPacketIsCompletedWithNothingInjected) {
  PendEverything(0);
  Socket s = UdpSocket();
  auto a = Authorize(s, host::stack::ConnectEvent(s, nullptr));
  ExpectPendedClassify(a);
  EXPECT_TRUE(a.permitted);
  EXPECT_EQ(Client().CallsTo("ReportConnect").at(0).Value("isTcp"), 0u);
  WaitWorkerIdle();
  EXPECT_TRUE(host::wfp::Injections().empty());
}

TEST_F(PendedDecisions, RecordsQueuedBeforeAWakeAreServedOldestFirst) {
  std::mutex lock;
  std::condition_variable cv;
  bool release = false;
  PendEverything(0);
  // The first decision holds the worker until the other two are queued.
  std::atomic<int> decided{0};
  Client().answers().decidePended = [&](NqPendHandle) -> NqU32 {
    if (decided++ == 0) {
      std::unique_lock<std::mutex> guard(lock);
      cv.wait(guard, [&] { return release; });
    }
    return 0;
  };
  host::wfp::SetReauthorizeMode(ReauthorizeMode::Later);
  std::vector<host::wfp::ClassifyResult> firsts;
  for (UINT16 port : {1001, 1002, 1003}) {
    Socket s = TcpSocket();
    s.localPort = port;
    host::kernel::SetCurrentIds(s.processId, s.threadId);
    firsts.push_back(RunClassify(host::stack::ListenEvent(s)));
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    release = true;
  }
  cv.notify_all();
  for (const auto& r : firsts) ASSERT_TRUE(host::wfp::WaitReauthorized(r.completionHandle, nullptr));
  auto queries = Client().CallsTo("QueryListen");
  auto decisions = Client().CallsTo("DecidePended");
  ASSERT_EQ(decisions.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(decisions[i].Value("pendHandle"), queries[i].Value("pendHandle"));
}

// The harness's own wakes would hide a classify that forgot to signal.
TEST_F(PendedDecisions, AQueuedRecordWakesTheWorkerWithoutWaitingForTheTimeout) {
  PendEverything(0);
  WaitWorkerIdle();
  host::kernel::StopClock(true);  // the one-second wake never comes
  Socket s = TcpSocket();
  auto a = Authorize(s, host::stack::ListenEvent(s));
  host::kernel::StopClock(false);
  ExpectPendedClassify(a);
  EXPECT_TRUE(a.permitted);
}

TEST_F(PendedDecisions, WakeByTimeoutWithAnEmptyQueueDoesNothing) {
  WaitWorkerIdle();
  unsigned waits = host::faults::CallCount("KeWaitForSingleObject");
  host::kernel::ExpireTimedWaits();
  for (int i = 0; i < 1000 && host::faults::CallCount("KeWaitForSingleObject") == waits; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GT(host::faults::CallCount("KeWaitForSingleObject"), waits) << "the worker waited again";
  EXPECT_TRUE(Calls().empty());
}

TEST_F(PendedDecisions, ReauthorizationsThatFindNothingPermitAndKeepTheWriteRight) {
  Socket s = TcpSocket();
  auto connect = host::stack::ConnectEvent(s, nullptr);
  connect.Set(FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS, FWP_CONDITION_FLAG_IS_REAUTHORIZE);
  auto listen = host::stack::ListenEvent(s);
  listen.Set(FWPS_FIELD_ALE_AUTH_LISTEN_V4_FLAGS, FWP_CONDITION_FLAG_IS_REAUTHORIZE);
  auto accept = host::stack::AcceptEvent(s, nullptr, 20, 20);
  accept.Set(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_FLAGS, FWP_CONDITION_FLAG_IS_REAUTHORIZE);
  auto bind = host::stack::BindEvent(s);
  bind.Set(FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_FLAGS, FWP_CONDITION_FLAG_IS_REAUTHORIZE);
  for (const auto* e : {&connect, &listen, &accept, &bind}) {
    auto r = RunClassify(*e);
    EXPECT_EQ(r.actionType, FWP_ACTION_PERMIT);
    EXPECT_EQ(r.rights, FWPS_RIGHT_ACTION_WRITE);
  }
  EXPECT_TRUE(Calls().empty());
  NqU64 pid = 0;
  EXPECT_EQ(Table()->LookupTcpEndpointOwner(Net(s.localAddress), s.localPort, &pid), 1u)
      << "a bind reauthorized without a parked record is recorded";
}

TEST_F(PendedDecisions, InboundConnectReauthorizationLeavesTheParkedRecordWhereItIs) {
  PendEverything(1);
  Socket s = TcpSocket();
  auto event = host::stack::ConnectEvent(s, nullptr);
  event.Direction(FWP_DIRECTION_INBOUND);
  auto a = Authorize(s, event);
  ExpectPendedClassify(a);
  EXPECT_EQ(a.reauthorization.result.actionType, FWP_ACTION_PERMIT) << "inbound: not looked up";
  EXPECT_EQ(a.reauthorization.result.rights, FWPS_RIGHT_ACTION_WRITE);
  EXPECT_TRUE(Client().CallsTo("ReportConnect").empty());
  EXPECT_PARKED(decidedConnects, true) << "a record no reauthorization claims stays parked";
}
}  // namespace
