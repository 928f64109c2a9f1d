// UDP datagrams reported with their owning process and payload.
#include "host/stack.h"
#include "tests/support/classify.h"

namespace {
using namespace nqtest;

class DatagramData : public ClassifyTest {
 protected:
  void SetUp() override {
    ClassifyTest::SetUp();
    host::kernel::SetCurrentIds(kCurrentPid, kCurrentTid);
  }
  void TearDown() override {
    if (list_ != nullptr) host::ndis::FreeNetBufferList(list_);
    ClassifyTest::TearDown();
  }
  // Sent data starts with the 8-byte UDP header; received data at the payload.
  NET_BUFFER_LIST* Datagrams(std::vector<host::ndis::NetBufferSpec> specs) {
    list_ = host::ndis::BuildNetBufferList(specs);
    return list_;
  }
  static std::string Sent(size_t payload, char fill = 'p') {
    return UdpHeader(5353, 53, payload) + std::string(payload, fill);
  }
  ClassifyResult Classify(FWP_DIRECTION direction, const char* local = "10.0.0.2", const char* remote = "192.0.2.53",
                          UINT64 endpoint = 77) {
    ClassifyEvent event(FWPS_LAYER_DATAGRAM_DATA_V4);
    event.Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_PROTOCOL, IPPROTO_UDP)
        .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_ADDRESS, Ipv4(local))
        .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_ADDRESS, Ipv4(remote))
        .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_PORT, 5353)
        .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_PORT, 53)
        .Set(FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION, direction)
        .EndpointHandle(endpoint);
    event.layerData = list_;
    return RunClassify(event);
  }
  // The endpoint's bind in its owner's process, through the engine: the
  // driver records the owner.
  void Bind(UINT64 endpoint, UINT64 owner) {
    host::stack::Socket s;
    s.protocol = IPPROTO_UDP;
    s.localPort = 5353;
    s.processId = owner;
    s.threadId = owner + 1;
    s.endpointHandle = endpoint;
    host::stack::Authorize(RunClassify, s, host::stack::BindEvent(s));
    host::kernel::SetCurrentIds(kCurrentPid, kCurrentTid);
  }
  std::vector<std::string> Slots() {
    std::vector<std::string> s;
    for (const auto& c : Calls()) s.push_back(c.slot);
    return s;
  }
  static constexpr UINT64 kCurrentPid = 1234;
  static constexpr UINT64 kCurrentTid = 5678;
  NET_BUFFER_LIST* list_ = nullptr;
};

TEST_F(DatagramData, SentDatagramReportsPayloadThenCount) {
  Datagrams({{Sent(9), 0, {}}});
  ClassifyResult r = Classify(FWP_DIRECTION_OUTBOUND);
  EXPECT_EQ(r.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(r.rights, FWPS_RIGHT_ACTION_WRITE);
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].slot, "ReportPayload");
  EXPECT_EQ(calls[0].Value("isTcp"), 0u);
  EXPECT_EQ(calls[0].Value("processId"), kCurrentPid) << "empty table: the current process";
  EXPECT_EQ(calls[0].Value("threadId"), kCurrentTid);
  EXPECT_EQ(calls[0].Value("remoteAddress"), Net(Ipv4("192.0.2.53")));
  EXPECT_EQ(calls[0].Value("remotePort"), 53u);
  EXPECT_EQ(calls[0].Find("data")->bytes, std::string(9, 'p'));
  EXPECT_EQ(calls[0].Value("length"), 9u);
  EXPECT_EQ(calls[0].Value("reserved"), 0u);
  EXPECT_EQ(calls[1].slot, "ReportDatagramSent");
  EXPECT_EQ(calls[1].Value("processId"), kCurrentPid);
  EXPECT_EQ(calls[1].Value("remoteAddress"), Net(Ipv4("192.0.2.53")));
  EXPECT_EQ(calls[1].Value("remotePort"), 53u) << "the remote port, not the local 5353";
  EXPECT_EQ(calls[1].Value("length"), 9u);
}

TEST_F(DatagramData, SentDatagramOfEightBytesOrLessIsNotReported) {
  Datagrams({{Sent(0), 0, {}}, {std::string(5, 'x'), 0, {}}});
  EXPECT_EQ(Classify(FWP_DIRECTION_OUTBOUND).actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(DatagramData, ReceivedDatagramIsOnlyCountedWithTheLocalEndpoint) {
  Datagrams({{std::string(), 0, {}}, {std::string(512, 'r'), 0, {}}});  // an empty one is not counted
  Classify(FWP_DIRECTION_INBOUND);
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].slot, "ReportDatagramReceived");
  EXPECT_EQ(calls[0].Value("length"), 512u);
  EXPECT_EQ(calls[0].Value("localAddress"), Net(Ipv4("10.0.0.2")));
  EXPECT_EQ(calls[0].Value("localPort"), 5353u);
}

TEST_F(DatagramData, LoopbackOnEitherSidePassesUnreported) {
  Datagrams({{Sent(20), 0, {}}});
  EXPECT_EQ(Classify(FWP_DIRECTION_OUTBOUND, "127.0.0.1", "192.0.2.53").actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(Classify(FWP_DIRECTION_OUTBOUND, "10.0.0.2", "127.0.0.1").actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(DatagramData, EveryNetBufferIsOneDatagramInChainOrderWithOneProcess) {
  Datagrams({{Sent(10, 'a'), 0, {}}, {Sent(0), 0, {}}, {Sent(30, 'c'), 0, {}}, {Sent(11, 'd'), 0, {}}});
  Classify(FWP_DIRECTION_OUTBOUND);
  std::vector<std::string> expected = {"ReportPayload", "ReportDatagramSent", "ReportPayload",
                                       "ReportDatagramSent", "ReportPayload", "ReportDatagramSent"};
  EXPECT_EQ(Slots(), expected);
  auto payloads = Client().CallsTo("ReportPayload");
  ASSERT_EQ(payloads.size(), 3u);
  EXPECT_EQ(payloads[0].Find("data")->bytes, std::string(10, 'a'));
  EXPECT_EQ(payloads[1].Find("data")->bytes, std::string(30, 'c'));
  EXPECT_EQ(payloads[2].Find("data")->bytes, std::string(11, 'd'));
  for (const auto& c : Calls()) EXPECT_EQ(c.Value("processId"), kCurrentPid);
}

TEST_F(DatagramData, OwnerFromTheEndpointTableWithThreadZeroInAnotherProcess) {
  Bind(77, 4242);
  Datagrams({{Sent(12), 0, {}}});
  Classify(FWP_DIRECTION_OUTBOUND);
  for (const auto& c : Client().CallsTo("ReportPayload")) {
    EXPECT_EQ(c.Value("processId"), 4242u);
    EXPECT_EQ(c.Value("threadId"), 0u) << "classify ran in another process";
  }
  EXPECT_EQ(Client().CallsTo("ReportDatagramSent").at(0).Value("processId"), 4242u);
}

TEST_F(DatagramData, OwnerInTheCurrentProcessKeepsTheThread) {
  Bind(77, kCurrentPid);
  Datagrams({{Sent(12), 0, {}}});
  Classify(FWP_DIRECTION_OUTBOUND);
  EXPECT_EQ(Client().CallsTo("ReportPayload").at(0).Value("threadId"), kCurrentTid);
}

TEST_F(DatagramData, PayloadSpanningMdlsIsReportedLikeAContiguousOne) {
  std::string bytes = Sent(40, 'z');
  for (size_t i = 8; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i);
  nqtest::PoolCheckpoint pool;
  Datagrams({{bytes, 0, {4, 20}}});
  Classify(FWP_DIRECTION_OUTBOUND);
  auto payloads = Client().CallsTo("ReportPayload");
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(payloads[0].Find("data")->bytes, bytes.substr(8));
  EXPECT_EQ(payloads[0].Value("length"), 40u);
  EXPECT_NO_LEAKS(pool) << "the gathered copy is freed";
}

TEST_F(DatagramData, CopyAllocationFailureStillReportsTheCount) {
  Datagrams({{Sent(40), 0, {20}}, {Sent(5), 0, {}}});
  host::pool::FailAllocation(1);
  Classify(FWP_DIRECTION_OUTBOUND);
  host::pool::ClearFailures();
  std::vector<std::string> expected = {"ReportDatagramSent", "ReportPayload", "ReportDatagramSent"};
  EXPECT_EQ(Slots(), expected);
  EXPECT_EQ(Client().CallsTo("ReportDatagramSent").at(0).Value("length"), 40u);
}

TEST_F(DatagramData, GatherRefusedFreesTheCopyAndStillReportsTheCount) {
  Datagrams({{Sent(40), 0, {20}}});
  nqtest::PoolCheckpoint pool;
  // The first call, without storage, finds the payload in two pieces; the
  // second, with the copy as storage, is refused.
  host::faults::FailCall("NdisGetDataBuffer", 2, STATUS_INSUFFICIENT_RESOURCES);
  Classify(FWP_DIRECTION_OUTBOUND);
  host::faults::Clear();
  EXPECT_EQ(Slots(), std::vector<std::string>{"ReportDatagramSent"});
  EXPECT_NO_LEAKS(pool) << "the copy given as storage is freed";
}
}  // namespace
