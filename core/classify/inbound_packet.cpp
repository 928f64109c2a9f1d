// Inbound IPv4 packets: every non-loopback TCP or UDP packet that arrives as
// one contiguous buffer is offered to the client, IPv4 header (options
// included) in front, and dropped when the client says so.
#include "core/classify/layer_handlers.h"

namespace {
constexpr ULONG kMinIpv4HeaderLength = 20;
constexpr ULONG kMaxIpv4HeaderLength = 60;  // a header length field of 15
constexpr ULONG kProtocolOffset = 9;

// The IPv4 header's length as the stack measured it, or 0 when the stack
// did not say or said something no IPv4 header can be.
ULONG IpHeaderLength(const FWPS_INCOMING_METADATA_VALUES0* meta) {
  if ((meta->currentMetadataValues & FWPS_METADATA_FIELD_IP_HEADER_SIZE) == 0) return 0;
  ULONG length = meta->ipHeaderSize;
  if (length < kMinIpv4HeaderLength || length > kMaxIpv4HeaderLength) return 0;
  return length;
}

// The packet from its IPv4 header on, in place, or null when the header does
// not lie in front of the data or the header and the transport data are not
// one contiguous block. The data start is moved back over the header only
// for the look and restored at once; it is never moved back further than
// the buffer's own data space reaches.
const UCHAR* ContiguousPacket(NET_BUFFER* nb, ULONG headerLength, ULONG transportLength) {
  if (NET_BUFFER_DATA_OFFSET(nb) < headerLength) return nullptr;
  if (NdisRetreatNetBufferDataStart(nb, headerLength, 0, nullptr) != NDIS_STATUS_SUCCESS) return nullptr;
  void* packet = NdisGetDataBuffer(nb, transportLength + headerLength, nullptr, 1, 0);
  NdisAdvanceNetBufferDataStart(nb, headerLength, FALSE, nullptr);
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
  ULONG headerLength = IpHeaderLength(args.meta);
  if (headerLength == 0) return;

  const UCHAR* packet = ContiguousPacket(nb, headerLength, length);
  if (packet == nullptr) return;
  UCHAR protocol = packet[kProtocolOffset];
  if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return;

  ClientTable* client = ReadyClient();
  if (client == nullptr) return;
  if (client->InspectInboundPacket(packet, length + headerLength) == 0) BlockInline(args.out);
}
