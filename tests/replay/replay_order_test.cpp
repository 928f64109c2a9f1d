// Replays of small captures: the classify calls a stack makes for each kind
// of traffic, in order, and the calls the client gets, with their arguments.
#include "host/ndis.h"
#include "host/wfp.h"
#include "tests/replay/replay_support.h"
#include "tools/replay/engine.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>

namespace {
using namespace nqtest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ElementsAreArray;

constexpr const char* kLocal = "10.0.0.2";
constexpr const char* kRemote = "10.0.0.1";

std::string ThreadOf(uint32_t pid) { return std::to_string(pid + 0x10000); }

class ReplayOrder : public ReplayTest {};

TEST_F(ReplayOrder, OutboundTcpConnectFromBindToRelease) {
  CaptureBuilder c;
  c.Tcp(kLocal, 40000, kRemote, 80, kSyn)
      .Tcp(kRemote, 80, kLocal, 40000, kSyn | kAck)
      .Tcp(kLocal, 40000, kRemote, 80, kAck)
      .Tcp(kLocal, 40000, kRemote, 80, kAck | kPsh, "GET / HTTP/1.0\r\n\r\n")
      .Tcp(kRemote, 80, kLocal, 40000, kAck | kPsh, "HTTP/1.0 200 OK\r\n\r\n")
      .Tcp(kLocal, 40000, kRemote, 80, kAck | kFin)
      .Tcp(kRemote, 80, kLocal, 40000, kAck | kFin)
      .Tcp(kLocal, 40000, kRemote, 80, kAck);
  replay::ReplayResult r = Replay(c.Pcap(), "process curl pid 2000 proto tcp remote-port 80\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;

  EXPECT_THAT(Steps(true),
              ElementsAre("QueryBind", "ALE_RESOURCE_ASSIGNMENT_V4 PERMIT", "QueryConnect", "ReportConnect",
                          "ALE_AUTH_CONNECT_V4 PERMIT",
                          // the SYN-ACK arrives, and with it the connection is up
                          "InspectInboundPacket", "INBOUND_IPPACKET_V4 PERMIT", "ALE_FLOW_ESTABLISHED_V4 CONTINUE",
                          // the request, put to the client and reported with its data
                          "GetUrlReply", "QueryHttpPrimary", "QueryHttpSecondary", "ReportHttpRequest",
                          "ReportPayload", "ReportStreamSent", "STREAM_V4 PERMIT",
                          "InspectInboundPacket", "INBOUND_IPPACKET_V4 PERMIT",  // the response
                          "ReportStreamReceived", "STREAM_V4 PERMIT",
                          "STREAM_V4 PERMIT",  // the local FIN
                          "InspectInboundPacket", "INBOUND_IPPACKET_V4 PERMIT",  // the FIN: both ways closed
                          "STREAM_V4 PERMIT", "ALE_RESOURCE_RELEASE_V4 PERMIT"));

  LogLine query = Lines("call", "QueryConnect").at(0);
  EXPECT_EQ(query["isTcp"], "1");
  EXPECT_EQ(query["processId"], "2000");
  EXPECT_EQ(query["threadId"], ThreadOf(2000)) << "an outbound connect is classified in its process";
  EXPECT_EQ(query["remoteAddress"], kRemote) << "the remote endpoint comes first";
  EXPECT_EQ(query["remotePort"], "80");
  EXPECT_EQ(query["localAddress"], kLocal);
  EXPECT_EQ(query["localPort"], "40000");
  EXPECT_EQ(Lines("call", "ReportConnect").at(0)["blocked"], "0");

  LogLine connect = Lines("classify", "ALE_AUTH_CONNECT_V4").at(0);
  EXPECT_EQ(connect["flow"], "1");
  EXPECT_EQ(connect["direction"], "outbound");
  EXPECT_EQ(connect["packet"], "1");
  EXPECT_EQ(Lines("classify", "ALE_RESOURCE_RELEASE_V4").at(0)["packet"], "7") << "released at the second FIN";

  EXPECT_EQ(r.summary.read, 8u);
  EXPECT_EQ(r.summary.replayed, 8u);
  EXPECT_EQ(r.summary.tcp.connects, 1u);
  EXPECT_EQ(r.summary.tcp.permitted, 1u);
}

TEST_F(ReplayOrder, InboundAcceptsShareOneBindAndListenPerPort) {
  CaptureBuilder c;
  c.Tcp(kRemote, 50000, kLocal, 80, kSyn)
      .Tcp(kLocal, 80, kRemote, 50000, kSyn | kAck)
      .Tcp(kRemote, 50000, kLocal, 80, kAck)
      .Tcp(kRemote, 50000, kLocal, 80, kRst)
      .Tcp(kRemote, 50001, kLocal, 80, kSyn)
      .Tcp(kLocal, 80, kRemote, 50001, kSyn | kAck)
      .Tcp(kRemote, 50001, kLocal, 80, kAck);
  replay::ReplayResult r = Replay(c.Pcap(), "process nginx pid 1200 proto tcp local-port 80\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;

  EXPECT_THAT(Steps(true),
              ElementsAre("QueryBind", "ALE_RESOURCE_ASSIGNMENT_V4 PERMIT", "QueryListen", "ReportListen",
                          "ALE_AUTH_LISTEN_V4 PERMIT",
                          // the SYN: the IP layer first, then the accept with the packet
                          "InspectInboundPacket", "INBOUND_IPPACKET_V4 PERMIT", "QueryAccept", "ReportAccept",
                          "ALE_AUTH_RECV_ACCEPT_V4 PERMIT",
                          // the handshake's ACK
                          "InspectInboundPacket", "INBOUND_IPPACKET_V4 PERMIT", "ALE_FLOW_ESTABLISHED_V4 CONTINUE",
                          // the RST ends the connection
                          "InspectInboundPacket", "INBOUND_IPPACKET_V4 PERMIT", "ALE_RESOURCE_RELEASE_V4 PERMIT",
                          // a second connection to the same port: no second bind or listen
                          "InspectInboundPacket", "INBOUND_IPPACKET_V4 PERMIT", "QueryAccept", "ReportAccept",
                          "ALE_AUTH_RECV_ACCEPT_V4 PERMIT", "InspectInboundPacket", "INBOUND_IPPACKET_V4 PERMIT",
                          "ALE_FLOW_ESTABLISHED_V4 CONTINUE",
                          // the end of the capture: the open connection, then the listener
                          "ALE_RESOURCE_RELEASE_V4 PERMIT", "ALE_RESOURCE_RELEASE_V4 PERMIT"));

  LogLine listen = Lines("call", "QueryListen").at(0);
  EXPECT_EQ(listen["processId"], "1200");
  EXPECT_EQ(listen["localAddress"], "0.0.0.0") << "the server is bound to any address";
  EXPECT_EQ(listen["localPort"], "80");
  LogLine accept = Lines("call", "QueryAccept").at(0);
  EXPECT_EQ(accept["isTcp"], "1");
  EXPECT_EQ(accept["processId"], "1200") << "the listener's process owns the connection";
  EXPECT_EQ(accept["localAddress"], kLocal) << "the local endpoint comes first";
  EXPECT_EQ(accept["localPort"], "80");
  EXPECT_EQ(accept["remoteAddress"], kRemote);
  EXPECT_EQ(accept["remotePort"], "50000");
  EXPECT_EQ(Lines("classify", "ALE_FLOW_ESTABLISHED_V4").at(0)["direction"], "inbound");
  EXPECT_EQ(r.summary.tcp.accepts, 2u);
}

// A flow seen again after it opened is idle from its last datagram, not its
// first; flows idle at the same check end in the order they were opened.
TEST_F(ReplayOrder, FlowsEndIdleFromTheirLastPacket) {
  CaptureBuilder c;
  c.Udp(kLocal, 5001, kRemote, 53, "a").Udp(kLocal, 5002, kRemote, 53, "b").Udp(kLocal, 5003, kRemote, 53, "c");
  c.Advance(60).Udp(kLocal, 5001, kRemote, 53, "a");  // 5001 seen again
  c.Advance(60).Udp(kLocal, 5004, kRemote, 53, "d");  // 5002 and 5003 idle; 5001 not yet
  c.Advance(80).Udp(kLocal, 5005, kRemote, 53, "e");  // 5001 idle; 5004 not yet
  replay::ReplayResult r = Replay(c.Pcap(), "process dig pid 3000 proto udp remote-port 53\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;
  std::vector<std::string> released;
  for (LogLine& line : Lines("classify", "ALE_RESOURCE_RELEASE_V4"))
    released.push_back(line["local"] + " at " + line["packet"]);
  EXPECT_THAT(released, ElementsAre("0.0.0.0:5002 at 5", "0.0.0.0:5003 at 5", "0.0.0.0:5001 at 6",
                                    "0.0.0.0:5004 at null", "0.0.0.0:5005 at null"))
      << "what the end of the capture brings has no packet";
}

TEST_F(ReplayOrder, UdpExchangeReportsEveryDatagramAndEndsWhenIdle) {
  std::string query(20, 'q'), answer(40, 'a');
  CaptureBuilder c;
  c.Udp(kLocal, 5353, kRemote, 53, query).Udp(kRemote, 53, kLocal, 5353, answer).Advance(120).Udp(kLocal, 5353,
                                                                                                   kRemote, 53, query);
  replay::ReplayResult r = Replay(c.Pcap(), "process dig pid 3000 proto udp remote-port 53\nlookup\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;

  std::vector<std::string> opening = {"QueryBind",  "ALE_RESOURCE_ASSIGNMENT_V4 PERMIT",
                                      "QueryConnect", "ReportConnect",
                                      "lookup LookupUdpEndpointOwner", "ALE_AUTH_CONNECT_V4 PERMIT",
                                      "ALE_FLOW_ESTABLISHED_V4 CONTINUE", "ReportPayload",
                                      "ReportDatagramSent", "DATAGRAM_DATA_V4 PERMIT"};
  std::vector<std::string> expected = opening;
  for (const char* s : {"ReportDatagramReceived", "lookup LookupUdpEndpointOwner", "DATAGRAM_DATA_V4 PERMIT",
                        "ALE_RESOURCE_RELEASE_V4 PERMIT"})  // two minutes without a datagram: released
    expected.push_back(s);
  expected.insert(expected.end(), opening.begin(), opening.end());
  expected.push_back("ALE_RESOURCE_RELEASE_V4 PERMIT");
  EXPECT_THAT(Steps(), ElementsAreArray(expected));

  LogLine payload = Lines("call", "ReportPayload").at(0);
  EXPECT_EQ(payload["isTcp"], "0");
  EXPECT_EQ(payload["data.length"], "20") << "the payload, behind the UDP header";
  std::string hex;
  for (int i = 0; i < 20; ++i) hex += "71";  // 'q'
  EXPECT_EQ(payload["data.hex"], hex);
  EXPECT_EQ(payload["length"], "20");
  LogLine sent = Lines("call", "ReportDatagramSent").at(0);
  EXPECT_EQ(sent["remoteAddress"], kRemote);
  EXPECT_EQ(sent["remotePort"], "53");
  EXPECT_EQ(sent["length"], "20");
  LogLine received = Lines("call", "ReportDatagramReceived").at(0);
  EXPECT_EQ(received["processId"], "3000") << "the owner from the driver's endpoint table";
  EXPECT_EQ(received["localAddress"], kLocal);
  EXPECT_EQ(received["localPort"], "5353");
  EXPECT_EQ(received["length"], "40") << "a received datagram is indicated at its payload";
  LogLine lookup = Lines("lookup", "LookupUdpEndpointOwner").at(0);
  EXPECT_EQ(lookup["found"], "1");
  EXPECT_EQ(lookup["processId"], "3000");

  auto bytes = r.summary.bytes.at({"dig (pid 3000)", std::string(kRemote) + ":53"});
  EXPECT_EQ(bytes.sent, 40u);
  EXPECT_EQ(bytes.received, 40u);
}

class PendedConnect : public ReplayTest {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(replay::engine::Boot(&error)) << error;
  }
};

TEST_F(PendedConnect, DecidedByTheWorkerBothWaysBeforeTheFlowGoesOn) {
  CaptureBuilder c;
  for (uint16_t port : {80, 81}) {
    c.Tcp(kLocal, 40000, kRemote, port, kSyn)
        .Tcp(kRemote, port, kLocal, 40000, kSyn | kAck)
        .Tcp(kLocal, 40000, kRemote, port, kAck)
        .Tcp(kRemote, port, kLocal, 40000, kAck | kPsh, "data");
  }
  PoolCheckpoint pool;
  replay::ReplayResult r = Replay(c.Pcap(), "connect pend permit proto tcp remote-port 80\n"
                                            "connect pend block proto tcp remote-port 81\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;

  EXPECT_THAT(Steps(), ElementsAre(
                           // permitted: the held SYN is sent on, and the flow goes on
                           "QueryBind", "ALE_RESOURCE_ASSIGNMENT_V4 PERMIT", "QueryConnect",
                           "ALE_AUTH_CONNECT_V4 BLOCK absorb", "DecidePended", "ReportConnect",
                           "ALE_AUTH_CONNECT_V4 PERMIT reauthorize", "injection transport-send",
                           "ALE_FLOW_ESTABLISHED_V4 CONTINUE", "ReportStreamReceived", "STREAM_V4 PERMIT",
                           // blocked: nothing is sent, the socket is closed, the rest is not delivered
                           "QueryBind", "ALE_RESOURCE_ASSIGNMENT_V4 PERMIT", "QueryConnect",
                           "ALE_AUTH_CONNECT_V4 BLOCK absorb", "DecidePended", "ReportConnect",
                           "ALE_AUTH_CONNECT_V4 BLOCK reauthorize", "ALE_RESOURCE_RELEASE_V4 PERMIT",
                           // the end of the capture: the permitted connection
                           "ALE_RESOURCE_RELEASE_V4 PERMIT"));

  auto queries = Lines("call", "QueryConnect");
  auto decisions = Lines("call", "DecidePended");
  auto reports = Lines("call", "ReportConnect");
  ASSERT_EQ(decisions.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(queries[i]["pendHandle"], "0");
    EXPECT_EQ(decisions[i]["pendHandle"], queries[i]["pendHandle"]);
    EXPECT_EQ(reports[i]["remotePort"], queries[i]["remotePort"]);
    EXPECT_EQ(reports[i]["threadId"], queries[i]["threadId"]) << "reported with the pended event's thread";
  }
  EXPECT_EQ(decisions[0]["result"], "0");
  EXPECT_EQ(reports[0]["blocked"], "0");
  EXPECT_EQ(decisions[1]["result"], "1");
  EXPECT_EQ(reports[1]["blocked"], "1");
  EXPECT_EQ(Lines("injection", "transport-send").at(0)["data.hex"].substr(0, 8), "9c400050")
      << "the held SYN, from its TCP header";

  EXPECT_EQ(r.summary.pended, 2u);
  EXPECT_EQ(r.summary.pendedPermitted, 1u);
  EXPECT_EQ(r.summary.pendedBlocked, 1u);
  EXPECT_EQ(r.summary.tcp.pendedPermitted, 1u) << "each pended flow under the verdict it got";
  EXPECT_EQ(r.summary.tcp.pendedBlocked, 1u);
  EXPECT_EQ(r.summary.tcp.blocked, 1u);
  // The pended classify says so; the worker's decision belongs to its flow.
  auto pendedLines = Lines("pended", "true");
  ASSERT_EQ(pendedLines.size(), 2u);
  EXPECT_EQ(pendedLines[0]["classify"], "ALE_AUTH_CONNECT_V4");
  EXPECT_EQ(decisions[1]["flow"], pendedLines[1]["flow"]);
  EXPECT_EQ(decisions[1]["packet"], pendedLines[1]["packet"]);
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  r.summary.Print(out);
  std::fclose(out);
  EXPECT_THAT(text, HasSubstr("1 permitted (1 of them pended), 1 blocked (1 of them pended)"));
  EXPECT_THAT(text, HasSubstr("too short to measure a rate")) << "a run of milliseconds has no rate";
  std::free(text);
  EXPECT_EQ(r.summary.blockedFlowPackets, 4u);
  EXPECT_EQ(r.summary.replayed, 4u);
  EXPECT_NO_LEAKS(pool) << "pend records, endpoints, clones: all freed";
  EXPECT_EQ(host::wfp::LiveClones(), 0u);
  EXPECT_EQ(host::ndis::LiveNetBufferLists(), 0u);
}

TEST_F(ReplayOrder, BlockedAcceptDeliversNothingMoreOfItsFlow) {
  CaptureBuilder c;
  c.Tcp(kRemote, 50000, kLocal, 80, kSyn)
      .Tcp(kLocal, 80, kRemote, 50000, kSyn | kAck)
      .Tcp(kRemote, 50000, kLocal, 80, kAck)
      .Tcp(kRemote, 50000, kLocal, 80, kAck | kPsh, "GET /")
      .Tcp(kRemote, 50000, kLocal, 80, kAck | kFin);
  replay::ReplayResult r = Replay(c.Pcap(), "accept block proto tcp local-port 80\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;
  EXPECT_THAT(Steps(true), ElementsAre("QueryBind", "ALE_RESOURCE_ASSIGNMENT_V4 PERMIT", "QueryListen",
                                       "ReportListen", "ALE_AUTH_LISTEN_V4 PERMIT", "InspectInboundPacket",
                                       "INBOUND_IPPACKET_V4 PERMIT", "QueryAccept", "ReportAccept",
                                       "ALE_AUTH_RECV_ACCEPT_V4 BLOCK", "ALE_RESOURCE_RELEASE_V4 PERMIT"));
  EXPECT_EQ(Lines("call", "ReportAccept").at(0)["blocked"], "1");
  EXPECT_EQ(r.summary.blockedFlowPackets, 5u);
  EXPECT_EQ(r.summary.replayed, 0u);
  EXPECT_EQ(r.summary.tcp.blocked, 1u);
}

TEST_F(PendedConnect, AcceptBlockedByTheWorkerIsReportedByItAndGoesNoFurther) {
  CaptureBuilder c;
  c.Udp(kRemote, 4000, kLocal, 53, "query").Udp(kRemote, 4000, kLocal, 53, "again");
  replay::ReplayResult r = Replay(c.Pcap(), "accept pend block proto udp local-port 53\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;
  EXPECT_THAT(Steps(), ElementsAre("QueryBind", "ALE_RESOURCE_ASSIGNMENT_V4 PERMIT", "QueryAccept",
                                   "ALE_AUTH_RECV_ACCEPT_V4 BLOCK absorb", "DecidePended", "ReportAccept",
                                   "ALE_AUTH_RECV_ACCEPT_V4 PERMIT reauthorize",
                                   // the socket stays bound until the end of the capture
                                   "ALE_RESOURCE_RELEASE_V4 PERMIT"));
  EXPECT_EQ(Lines("call", "ReportAccept").at(0)["blocked"], "1");
  EXPECT_TRUE(Lines("injection", "transport-receive").empty()) << "the held datagram is not delivered";
  EXPECT_EQ(r.summary.udp.blocked, 1u);
  EXPECT_EQ(r.summary.blockedFlowPackets, 2u);
}

TEST_F(ReplayOrder, InboundPacketTheClientDropsGoesNoFurther) {
  CaptureBuilder c;
  c.Udp(kLocal, 5353, kRemote, 53, "query").Udp(kRemote, 53, kLocal, 5353, "answer");
  replay::ReplayResult r = Replay(c.Pcap(), "drop proto udp remote-port 53\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;
  auto steps = Steps(true);
  std::vector<std::string> tail(steps.end() - 3, steps.end());
  EXPECT_THAT(tail, ElementsAre("InspectInboundPacket", "INBOUND_IPPACKET_V4 BLOCK", "ALE_RESOURCE_RELEASE_V4 PERMIT"));
  EXPECT_TRUE(Lines("call", "ReportDatagramReceived").empty());
  LogLine inspected = Lines("call", "InspectInboundPacket").at(0);
  EXPECT_EQ(inspected["length"], std::to_string(20 + 8 + 6)) << "the IP header in front of the transport data";
  EXPECT_EQ(inspected["data.hex"].substr(0, 2), "45");
  EXPECT_EQ(r.summary.droppedByClient, 1u);
  EXPECT_EQ(r.summary.replayed, 1u);
}

TEST_F(ReplayOrder, LogReadsBackAsTheCallsTheClientSaw) {
  CaptureBuilder c;
  c.Udp(kLocal, 5353, kRemote, 53, std::string("\x00\x01\x02\"\\", 5)).Udp(kRemote, 53, kLocal, 5353, "x");
  c.Tcp(kLocal, 40000, kRemote, 8080, kSyn).Tcp(kRemote, 8080, kLocal, 40000, kSyn | kAck);
  keepClientCalls = true;
  ASSERT_EQ(Replay(c.Pcap(), "connect pend permit proto tcp\n").exitCode, 0);
  std::vector<client::Call> calls = Client().Calls();
  std::vector<LogLine> logged;
  for (const LogLine& l : log)
    if (l.count("call")) logged.push_back(l);
  ASSERT_EQ(logged.size(), calls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(calls[i].slot);
    EXPECT_EQ(logged[i]["call"], calls[i].slot);
    for (const client::Arg& a : calls[i].args) {
      if (a.isBytes) {
        EXPECT_EQ(logged[i]["data.length"], std::to_string(a.bytes.size()));
      } else if (a.name.find("Address") != std::string::npos) {
        EXPECT_EQ(NetValue(logged[i][a.name]), a.value);
      } else {
        EXPECT_EQ(logged[i][a.name], std::to_string(a.value)) << a.name;
      }
    }
  }
}

}  // namespace
