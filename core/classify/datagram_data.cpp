// UDP datagrams: every non-loopback datagram is permitted and reported with
// its owning process; sent datagrams also hand the client their payload.
#include "core/classify/endpoints.h"
#include "core/classify/layer_handlers.h"

namespace {
constexpr ULONG kUdpHeaderLength = 8;

// The process that owns the datagram's endpoint, or the current one.
UINT64 DatagramOwner(UINT64 endpointHandle) {
  UINT64 processId = 0;
  if (!FindUdpOwnerByHandle(endpointHandle, &processId))
    processId = static_cast<UINT64>(static_cast<LONG_PTR>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())));
  return processId;
}

struct DatagramEndpoints {
  UINT64 processId;
  UINT32 localAddress;
  UINT16 localPort;
  UINT32 remoteAddress;
  UINT16 remotePort;
};

void ReportSent(NET_BUFFER* nb, ULONG length, const DatagramEndpoints& e) {
  // Contiguous data is read in place; otherwise it is gathered into a copy.
  void* copy = nullptr;
  auto* data = static_cast<const UCHAR*>(NdisGetDataBuffer(nb, length, nullptr, 1, 0));
  if (data == nullptr) {
    copy = AllocateNonPaged(length);
    if (copy != nullptr) {
      data = static_cast<const UCHAR*>(NdisGetDataBuffer(nb, length, copy, 1, 0));
      if (data == nullptr) {
        FreeNonPaged(copy);
        copy = nullptr;
      }
    }
  }
  if (data != nullptr) {
    if (ClientTable* client = ReadyClient())
      client->ReportPayload(0, static_cast<NqU32>(e.processId), ReportedThreadId(e.processId), e.remoteAddress,
                            e.remotePort, data + kUdpHeaderLength, length - kUdpHeaderLength, 0);
  }
  if (copy != nullptr) FreeNonPaged(copy);
  if (ClientTable* client = ReadyClient())
    client->ReportDatagramSent(static_cast<NqU32>(e.processId), e.remoteAddress, e.remotePort,
                               length - kUdpHeaderLength);
}
}  // namespace

void ClassifyDatagramData(const ClassifyArgs& args) {
  DatagramEndpoints e{};
  e.localAddress = args.Address(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_ADDRESS);
  if (e.localAddress == kLoopbackAddress) return;
  e.localPort = args.U16(FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_PORT);
  e.remoteAddress = args.Address(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_ADDRESS);
  if (e.remoteAddress == kLoopbackAddress) return;
  e.remotePort = args.U16(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_PORT);
  bool sent = args.U32(FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION) == FWP_DIRECTION_OUTBOUND;

  e.processId = DatagramOwner(args.meta->transportEndpointHandle);

  auto* list = static_cast<NET_BUFFER_LIST*>(args.layerData);
  if (list == nullptr) return;
  for (NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(list); nb != nullptr; nb = NET_BUFFER_NEXT_NB(nb)) {
    ULONG length = NET_BUFFER_DATA_LENGTH(nb);
    if (length == 0) continue;
    if (!sent) {
      if (ClientTable* client = ReadyClient())
        client->ReportDatagramReceived(static_cast<NqU32>(e.processId), e.localAddress, e.localPort, length);
      continue;
    }
    if (length <= kUdpHeaderLength) continue;
    ReportSent(nb, length, e);
  }
}
