// Pending an authorization: the record the worker gets, and the packet held
// for re-injection once the client has decided.
#include "core/classify/ale_authorization.h"

namespace {
// Gives a handle the driver cannot pend back to the client and permits the
// event, reporting it (except a bind) as not blocked.
void ReleaseUnpendable(ClientTable* client, const AleEvent& event, NqPendHandle pendHandle) {
  client->ReleasePendHandle(pendHandle);
  ReportVerdict(client, event, 0);
}

void FillRecord(PendRecord* record, const ClassifyArgs& args, const AleEvent& event, NqPendHandle pendHandle) {
  record->kind = event.kind;
  record->clientHandle = pendHandle;
  record->verdict = FWP_ACTION_PERMIT;
  record->processId = event.processId;
  record->threadId = event.threadId;
  record->protocol = event.protocol;
  record->localAddress = event.localAddress;
  record->localPort = event.localPort;
  record->remoteAddress = event.remoteAddress;
  record->remotePort = event.remotePort;
  record->controlData = nullptr;
  record->controlDataLength = 0;
  record->clonedNbl = nullptr;
  if (event.kind == PendKindAccept || event.kind == PendKindConnect) {
    record->addressFamily = AF_INET;
    record->compartmentId = args.meta->compartmentId;
  }
  if (event.kind == PendKindAccept) {
    record->interfaceIndex = args.U32(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_INTERFACE_INDEX);
    record->subInterfaceIndex = args.U32(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_SUB_INTERFACE_INDEX);
  }
  if (event.kind == PendKindConnect) {
    record->remoteScopeId = args.meta->remoteScopeId;
    record->endpointHandle = args.meta->transportEndpointHandle;
  }
}

NET_BUFFER_LIST* ClonePacket(NET_BUFFER_LIST* packet) {
  NET_BUFFER_LIST* clone = nullptr;
  if (!NT_SUCCESS(FwpsAllocateCloneNetBufferList0(packet, nullptr, nullptr, 0, &clone))) return nullptr;
  return clone;
}

// Connect: the packet as indicated, with a copy of its control data.
void CaptureConnectPacket(PendRecord* record, const ClassifyArgs& args, NET_BUFFER_LIST* packet) {
  record->clonedNbl = ClonePacket(packet);
  if (record->clonedNbl == nullptr) return;
  ULONG length = args.meta->controlDataLength;
  if (length == 0) return;
  void* copy = AllocateNonPaged(length);
  if (copy == nullptr) return;
  memcpy(copy, args.meta->controlData, length);
  record->controlData = copy;
  record->controlDataLength = length;
}

// Accept: the packet is indicated at its payload; the clone takes the IP and
// transport headers along. The data start goes back over them for the clone
// and forward again by exactly what it went back; when the headers do not lie
// in front of the data, or it cannot go back, no clone is taken.
void CaptureAcceptPacket(PendRecord* record, const ClassifyArgs& args, NET_BUFFER_LIST* packet) {
  NET_BUFFER* nb = NET_BUFFER_LIST_FIRST_NB(packet);
  ULONG headers = args.meta->ipHeaderSize + args.meta->transportHeaderSize;
  if (NET_BUFFER_DATA_OFFSET(nb) < headers) return;
  if (NdisRetreatNetBufferDataStart(nb, headers, 0, nullptr) != NDIS_STATUS_SUCCESS) return;
  NET_BUFFER_LIST* clone = ClonePacket(packet);
  NdisAdvanceNetBufferDataStart(nb, headers, FALSE, nullptr);
  if (clone == nullptr) return;
  record->clonedNbl = clone;

  FWPS_PACKET_LIST_INFORMATION0 info;
  memset(&info, 0, sizeof(info));
  FwpsGetPacketListSecurityInformation0(
      clone, FWPS_PACKET_LIST_INFORMATION_QUERY_IPSEC | FWPS_PACKET_LIST_INFORMATION_QUERY_INBOUND, &info);
  if (info.ipsecInformation.inbound.isSecure) {
    FwpsConstructIpHeaderForTransportPacket0(clone, args.meta->ipHeaderSize, AF_INET,
                                             reinterpret_cast<const UCHAR*>(&record->remoteAddress),
                                             reinterpret_cast<const UCHAR*>(&record->localAddress),
                                             static_cast<IPPROTO>(record->protocol), 0, nullptr, 0, 0, nullptr, 0, 0);
  }
}
}  // namespace

void PendDecision(const ClassifyArgs& args, ClientTable* client, const AleEvent& event, NqPendHandle pendHandle) {
  auto* record = static_cast<PendRecord*>(AllocateNonPaged(sizeof(PendRecord)));
  if (record == nullptr) {
    ReleaseUnpendable(client, event, pendHandle);
    return;
  }
  if (!NT_SUCCESS(FwpsPendOperation0(args.meta->completionHandle, &record->completionContext))) {
    client->ReleasePendHandle(pendHandle);
    FreeNonPaged(record);
    ReportVerdict(client, event, 0);
    return;
  }
  FillRecord(record, args, event, pendHandle);
  auto* packet = static_cast<NET_BUFFER_LIST*>(args.layerData);
  if (packet != nullptr && event.kind == PendKindConnect) CaptureConnectPacket(record, args, packet);
  if (packet != nullptr && event.kind == PendKindAccept) CaptureAcceptPacket(record, args, packet);

  DriverState* state = gDriverState;
  QueuePendRecord(state, record);
  BlockAndAbsorb(args.out);
  KeSetEvent(&state->pendEvent, 0, FALSE);
}
