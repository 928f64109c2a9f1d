// The verdict conventions every layer shares.
#include "tests/support/classify.h"

namespace {
using namespace nqtest;

const UINT16 kHandledLayers[] = {FWPS_LAYER_INBOUND_IPPACKET_V4,        FWPS_LAYER_STREAM_V4,
                                 FWPS_LAYER_DATAGRAM_DATA_V4,           FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4,
                                 FWPS_LAYER_ALE_AUTH_LISTEN_V4,         FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4,
                                 FWPS_LAYER_ALE_AUTH_CONNECT_V4,        FWPS_LAYER_ALE_RESOURCE_RELEASE_V4};

class VerdictConventions : public ClassifyTest {};

TEST_F(VerdictConventions, UnknownLayerLeavesContinue) {
  for (UINT16 layer : {UINT16(2), UINT16(22), UINT16(50), UINT16(63)}) {
    ClassifyEvent event(layer);
    ClassifyResult r = RunClassify(event);
    EXPECT_EQ(r.actionType, FWP_ACTION_CONTINUE) << "layer " << layer;
    EXPECT_EQ(r.rights, FWPS_RIGHT_ACTION_WRITE);
  }
  EXPECT_TRUE(Calls().empty());
}

TEST_F(VerdictConventions, MissingWriteRightLeavesContinueAndCallsNoClient) {
  std::string udp = UdpHeader(1000, 53, 20) + std::string(20, 'x');
  NET_BUFFER_LIST* list = host::ndis::BuildNetBufferList({Ipv4Header(17, Ipv4("10.0.0.2"), Ipv4("10.0.0.1"), udp.size()) + udp, 20});
  for (UINT16 layer : kHandledLayers) {
    ClassifyEvent event(layer);
    event.rights = 0;
    event.layerData = (layer == FWPS_LAYER_STREAM_V4) ? nullptr : list;
    ClassifyResult r = RunClassify(event);
    EXPECT_EQ(r.actionType, FWP_ACTION_CONTINUE) << host::wfp::LayerName(layer);
    EXPECT_EQ(r.rights, 0u);
    EXPECT_EQ(r.flags, 0u);
  }
  EXPECT_TRUE(Calls().empty());
  host::ndis::FreeNetBufferList(list);
}

TEST_F(VerdictConventions, FlowEstablishedAlwaysContinues) {
  for (UINT32 rights : {0u, UINT32(FWPS_RIGHT_ACTION_WRITE)}) {
    ClassifyEvent event(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4);
    event.rights = rights;
    event.Set(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_PROTOCOL, IPPROTO_TCP);
    EXPECT_EQ(RunClassify(event).actionType, FWP_ACTION_CONTINUE);
  }
}

TEST_F(VerdictConventions, ClientNotReadyMeansPermitWithoutAnyClientCall) {
  Client().SetReady(false);
  Client().answers().inspectInboundPacket = [](const void*, NqU32) -> NqU32 { return 0; };
  std::string tcp(40, 't');
  NET_BUFFER_LIST* packet =
      host::ndis::BuildNetBufferList({Ipv4Header(6, Ipv4("192.0.2.9"), Ipv4("10.0.0.1"), tcp.size()) + tcp, 20});
  ClassifyEvent inbound(FWPS_LAYER_INBOUND_IPPACKET_V4);
  inbound.layerData = packet;
  EXPECT_EQ(RunClassify(inbound).actionType, FWP_ACTION_PERMIT);

  std::string udp = UdpHeader(1000, 53, 30) + std::string(30, 'q');
  NET_BUFFER_LIST* datagram = host::ndis::BuildNetBufferList({udp, 0});
  for (UINT32 direction : {UINT32(FWP_DIRECTION_OUTBOUND), UINT32(FWP_DIRECTION_INBOUND)}) {
    ClassifyEvent event(FWPS_LAYER_DATAGRAM_DATA_V4);
    event.Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_ADDRESS, Ipv4("10.0.0.1"))
        .Set(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_ADDRESS, Ipv4("192.0.2.53"))
        .Set(FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION, direction);
    event.layerData = datagram;
    EXPECT_EQ(RunClassify(event).actionType, FWP_ACTION_PERMIT);
  }
  EXPECT_TRUE(Calls().empty());
  host::ndis::FreeNetBufferList(packet);
  host::ndis::FreeNetBufferList(datagram);
}
}  // namespace
