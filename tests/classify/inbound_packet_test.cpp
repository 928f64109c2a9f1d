// Inbound IPv4 packets offered to the client, header included.
#include "tests/support/classify.h"

namespace {
using namespace nqtest;

class InboundPacket : public ClassifyTest {
 protected:
  // A packet as indicated at the inbound IP packet layer: the data starts at
  // the transport header with the IPv4 header in front of it.
  // With `optionBytes` of IP options (a multiple of 4) the header is longer
  // and its length field says so.
  NET_BUFFER_LIST* Packet(UINT8 protocol, size_t transportLength, std::vector<size_t> cuts = {},
                          size_t optionBytes = 0) {
    std::string transport(transportLength, '\0');
    for (size_t i = 0; i < transportLength; ++i) transport[i] = static_cast<char>(i * 7 + 1);
    std::string header = Ipv4Header(protocol, Ipv4("198.51.100.7"), Ipv4("10.0.0.1"), transportLength + optionBytes);
    header[0] = static_cast<char>(0x40 | ((20 + optionBytes) / 4));
    header += std::string(optionBytes, '\x01');  // NOPs
    bytes_ = header + transport;
    ipHeaderSize_ = static_cast<UINT32>(header.size());
    list_ = host::ndis::BuildNetBufferList({bytes_, header.size(), cuts});
    return list_;
  }
  ClassifyResult Inspect(UINT32 flags = 0) {
    ClassifyEvent event(FWPS_LAYER_INBOUND_IPPACKET_V4);
    event.Set(FWPS_FIELD_INBOUND_IPPACKET_V4_FLAGS, flags).HeaderSizes(ipHeaderSize_, 0);
    event.layerData = list_;
    return RunClassify(event);
  }
  void TearDown() override {
    if (list_ != nullptr) host::ndis::FreeNetBufferList(list_);
    ClassifyTest::TearDown();
  }
  std::string bytes_;
  UINT32 ipHeaderSize_ = 20;
  NET_BUFFER_LIST* list_ = nullptr;
};

TEST_F(InboundPacket, HeaderWithOptionsIsOfferedWholeAndItsProtocolReadFromIt) {
  for (size_t options : {4u, 8u, 40u}) {
    SCOPED_TRACE(options);
    Client().ClearCalls();
    Client().answers().inspectInboundPacket = [](const void*, NqU32) -> NqU32 { return 0; };
    Packet(IPPROTO_UDP, 30, {}, options);
    ClassifyResult r = Inspect();
    EXPECT_EQ(r.actionType, FWP_ACTION_BLOCK) << "the client that refuses it is asked";
    auto calls = Client().CallsTo("InspectInboundPacket");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Value("length"), 50u + options);
    EXPECT_EQ(calls[0].Find("data")->bytes, bytes_);
    EXPECT_EQ(list_->FirstNetBuffer->DataOffset, 20u + options);
    EXPECT_EQ(list_->FirstNetBuffer->DataLength, 30u);
    host::ndis::FreeNetBufferList(list_);
    list_ = nullptr;
  }
}

// The header's length comes from the stack; without it, or with one that no
// IPv4 header can have, where the header starts is not known. In front of the
// data lie 64 bytes that read as a TCP packet's header both from their start
// and 20 bytes before the data.
TEST_F(InboundPacket, UnknownOrImpossibleHeaderSizePassesUninspected) {
  struct Case {
    const char* what;
    bool present;
    UINT32 size;
  } cases[] = {
      {"absent", false, 20}, {"below 20", true, 16}, {"zero", true, 0},
      {"above 60", true, 64}, {"huge", true, 0xFFFFFFF0u},
  };
  std::string header = Ipv4Header(IPPROTO_TCP, Ipv4("198.51.100.7"), Ipv4("10.0.0.1"), 40);
  std::string front = header + std::string(24, '\x01') + header;
  for (const Case& c : cases) {
    list_ = host::ndis::BuildNetBufferList({front + std::string(40, 't'), front.size()});
    ClassifyEvent event(FWPS_LAYER_INBOUND_IPPACKET_V4);
    if (c.present) event.HeaderSizes(c.size, 0);
    event.layerData = list_;
    EXPECT_EQ(RunClassify(event).actionType, FWP_ACTION_PERMIT) << c.what;
    EXPECT_TRUE(Calls().empty()) << c.what;
    EXPECT_EQ(list_->FirstNetBuffer->DataOffset, 64u) << c.what;
    host::ndis::FreeNetBufferList(list_);
    list_ = nullptr;
  }
}

TEST_F(InboundPacket, HeaderSizeLargerThanWhatLiesInFrontPassesUninspected) {
  Packet(IPPROTO_TCP, 40);
  ipHeaderSize_ = 24;
  EXPECT_EQ(Inspect().actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(list_->FirstNetBuffer->DataOffset, 20u);
  EXPECT_EQ(list_->FirstNetBuffer->MdlChain->Next, nullptr) << "no MDL put in front";
}

TEST_F(InboundPacket, ClientSeesTheWholePacketFromItsIpHeader) {
  Packet(IPPROTO_TCP, 4);
  ClassifyResult r = Inspect();
  EXPECT_EQ(r.actionType, FWP_ACTION_PERMIT);
  auto calls = Client().CallsTo("InspectInboundPacket");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Value("length"), 24u);
  EXPECT_EQ(calls[0].Find("data")->bytes, bytes_);
  NET_BUFFER* nb = list_->FirstNetBuffer;
  EXPECT_EQ(nb->DataOffset, 20u) << "the data start is where the stack left it";
  EXPECT_EQ(nb->DataLength, 4u);
}

TEST_F(InboundPacket, UdpIsOfferedToo) {
  Packet(IPPROTO_UDP, 100);
  Inspect();
  auto calls = Client().CallsTo("InspectInboundPacket");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Value("length"), 120u);
}

TEST_F(InboundPacket, ZeroAnswerBlocksInlineAndLeavesFlagsAlone) {
  Client().answers().inspectInboundPacket = [](const void*, NqU32) -> NqU32 { return 0; };
  Packet(IPPROTO_TCP, 60);
  ClassifyResult r = Inspect();
  EXPECT_EQ(r.actionType, FWP_ACTION_BLOCK);
  EXPECT_EQ(r.rights & FWPS_RIGHT_ACTION_WRITE, 0u);
  EXPECT_EQ(r.flags, 0u);
}

TEST_F(InboundPacket, AnyNonzeroAnswerPermits) {
  Client().answers().inspectInboundPacket = [](const void*, NqU32) -> NqU32 { return 0x80000000u; };
  Packet(IPPROTO_TCP, 60);
  ClassifyResult r = Inspect();
  EXPECT_EQ(r.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(r.rights, FWPS_RIGHT_ACTION_WRITE);
}

TEST_F(InboundPacket, PacketsPassUninspectedWhenTheyCannotBeOfferedWhole) {
  struct Case {
    const char* what;
    UINT8 protocol;
    size_t length;
    std::vector<size_t> cuts;
    UINT32 flags;
  } cases[] = {
      {"loopback", IPPROTO_TCP, 40, {}, FWP_CONDITION_FLAG_IS_LOOPBACK},
      {"3 bytes of transport data", IPPROTO_TCP, 3, {}, 0},
      {"ICMP", 1, 40, {}, 0},
      {"data spanning two MDLs", IPPROTO_TCP, 40, {30}, 0},
      {"IP header apart from the data", IPPROTO_UDP, 40, {20}, 0},
  };
  for (const Case& c : cases) {
    Packet(c.protocol, c.length, c.cuts);
    ClassifyResult r = Inspect(c.flags);
    EXPECT_EQ(r.actionType, FWP_ACTION_PERMIT) << c.what;
    EXPECT_TRUE(Calls().empty()) << c.what;
    EXPECT_EQ(list_->FirstNetBuffer->DataOffset, 20u) << c.what;
    host::ndis::FreeNetBufferList(list_);
    list_ = nullptr;
  }
}

TEST_F(InboundPacket, HeaderThatCannotBeReachedLeavesTheDataStartAlone) {
  Packet(IPPROTO_TCP, 40);
  host::faults::FailCall("NdisRetreatNetBufferDataStart", 1, NDIS_STATUS_RESOURCES);
  EXPECT_EQ(Inspect().actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
  EXPECT_EQ(list_->FirstNetBuffer->DataOffset, 20u) << "not moved forward past where the stack left it";
  EXPECT_EQ(list_->FirstNetBuffer->DataLength, 40u);
}

TEST_F(InboundPacket, ListOfTwoNetBuffersPassesUninspected) {
  std::string t(40, 'a');
  std::string p = Ipv4Header(IPPROTO_TCP, Ipv4("198.51.100.7"), Ipv4("10.0.0.1"), t.size()) + t;
  list_ = host::ndis::BuildNetBufferList(std::vector<host::ndis::NetBufferSpec>{{p, 20, {}}, {p, 20, {}}});
  EXPECT_EQ(Inspect().actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(InboundPacket, NoLayerDataPassesUninspected) {
  EXPECT_EQ(Inspect().actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
}
}  // namespace
