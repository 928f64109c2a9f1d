// Inbound IPv4 packets: every non-loopback TCP or UDP packet that arrives as
// one contiguous buffer is offered to the client, IPv4 header included, and
// dropped when the client says so.
#include "core/classify/layer_handlers.h"

namespace {
constexpr ULONG kIpv4HeaderLength = 20;  // taken without options
constexpr ULONG kProtocolOffset = 9;

// The packet from its IPv4 header on, in place, or null when the header and
// the transport data are not one contiguous block. The data start is moved
// back over the header only for the look and restored at once.
const UCHAR* ContiguousPacket(NET_BUFFER* nb, ULONG transportLength) {
  if (NdisRetreatNetBufferDataStart(nb, kIpv4HeaderLength, 0, nullptr) != NDIS_STATUS_SUCCESS) return nullptr;
  void* packet = NdisGetDataBuffer(nb, transportLength + kIpv4HeaderLength, nullptr, 1, 0);
  NdisAdvanceNetBufferDataStart(nb, kIpv4HeaderLength, FALSE, nullptr);
  return static_cast<const UCHAR*>(packet);
}
}  // namespace

void ClassifyInboundPacket(const ClassifyArgs& args) {
  if (args.U32(FWPS_FIELD_INBOUND_IPPACKET_V4_FLAGS) & FWP_CONDITION_FLAG_IS_LOOPBACK) return;
  auto* list = static_cast<NET_BUFFER_LIST*>(args.layerData);
  if (list == nullptr) return;
  NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(list);
  if (nb == nullptr) return;
  ULONG length = NET_BUFFER_DATA_LENGTH(nb);
  if (length < 4 || NET_BUFFER_NEXT_NB(nb) != nullptr) return;

  const UCHAR* packet = ContiguousPacket(nb, length);
  if (packet == nullptr) return;
  UCHAR protocol = packet[kProtocolOffset];
  if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return;

  ClientTable* client = ReadyClient();
  if (client == nullptr) return;
  if (client->InspectInboundPacket(packet, length + kIpv4HeaderLength) == 0) BlockInline(args.out);
}
