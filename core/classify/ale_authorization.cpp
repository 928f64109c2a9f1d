// Authorization of binds, listens, accepts and connects: the four layer
// handlers and what they share.
#include "core/classify/ale_authorization.h"

#include "core/classify/endpoints.h"

namespace {
bool IsLoopback(UINT32 flags) { return (flags & FWP_CONDITION_FLAG_IS_LOOPBACK) != 0; }
bool IsReauthorization(UINT32 flags) { return (flags & FWP_CONDITION_FLAG_IS_REAUTHORIZE) != 0; }

// Packets this driver re-injected pass the accept and connect layers.
bool ReinjectedHere(const ClassifyArgs& args) {
  auto* list = static_cast<const NET_BUFFER_LIST*>(args.layerData);
  return list != nullptr && InjectedBySelf(gDriverState->transportInjection, list);
}

AleEvent ReadEvent(const ClassifyArgs& args, PendKind kind, UINT32 flags, UINT8 protocol, UINT32 localAddressField,
                   UINT32 localPortField) {
  AleEvent event{};
  event.kind = kind;
  event.protocol = protocol;
  event.flags = flags;
  event.localAddress = args.Address(localAddressField);
  event.localPort = args.U16(localPortField);
  event.processId = args.meta->processId;
  return event;
}
}  // namespace

NqU32 QueryClient(ClientTable* client, const AleEvent& e, NqPendHandle* pendHandle) {
  *pendHandle = nullptr;
  NqU32 pid = static_cast<NqU32>(e.processId);
  switch (e.kind) {
    case PendKindBind: return client->QueryBind(IsTcp(e.protocol), pid, e.threadId, pendHandle);
    case PendKindListen: return client->QueryListen(pid, e.threadId, e.localAddress, e.localPort, pendHandle);
    case PendKindAccept:
      return client->QueryAccept(IsTcp(e.protocol), pid, e.threadId, e.localAddress, e.localPort, e.remoteAddress,
                                 e.remotePort, pendHandle);
    default:
      return client->QueryConnect(IsTcp(e.protocol), pid, e.threadId, e.remoteAddress, e.remotePort, e.localAddress,
                                  e.localPort, pendHandle);
  }
}

void ReportVerdict(ClientTable* client, const AleEvent& e, NqU32 blocked) {
  NqU32 pid = static_cast<NqU32>(e.processId);
  switch (e.kind) {
    case PendKindBind: return;  // binds are never reported
    case PendKindListen: client->ReportListen(pid, e.threadId, e.localAddress, e.localPort, blocked); return;
    case PendKindAccept:
      client->ReportAccept(IsTcp(e.protocol), pid, e.threadId, e.localAddress, e.localPort, e.remoteAddress,
                           e.remotePort, blocked);
      return;
    default:
      client->ReportConnect(IsTcp(e.protocol), pid, e.threadId, e.remoteAddress, e.remotePort, e.localAddress,
                            e.localPort, blocked);
      return;
  }
}

void AuthorizeAndReport(const ClassifyArgs& args, const AleEvent& event) {
  ClientTable* client = ReadyClient();
  if (client == nullptr) return;
  NqPendHandle pendHandle;
  NqU32 result = QueryClient(client, event, &pendHandle);
  if (pendHandle != nullptr) {
    PendDecision(args, client, event, pendHandle);
    return;
  }
  ReportVerdict(client, event, result);
  args.out->actionType = result != 0 ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT;
  args.out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
}

void ClassifyResourceAssignment(const ClassifyArgs& args) {
  UINT32 flags = args.U32(FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_FLAGS);
  UINT8 protocol = args.U8(FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_IP_PROTOCOL);
  if (!IsTcpOrUdp(protocol)) return;
  AleEvent event = ReadEvent(args, PendKindBind, flags, protocol, FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_IP_LOCAL_ADDRESS,
                             FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_IP_LOCAL_PORT);
  UINT64 endpointHandle = args.meta->transportEndpointHandle;
  if (IsReauthorization(flags)) {
    ReauthorizeBind(args, event, endpointHandle);
    return;
  }
  ClientTable* client = ReadyClient();
  if (client == nullptr) {
    RecordEndpoint(protocol, endpointHandle, event.processId, event.localAddress, event.localPort);
    return;
  }
  event.threadId = CurrentThreadId();
  NqPendHandle pendHandle;
  NqU32 result = QueryClient(client, event, &pendHandle);
  if (pendHandle != nullptr) {
    PendDecision(args, client, event, pendHandle);
  } else if (result != 0) {
    BlockInline(args.out);
  } else {
    RecordEndpoint(protocol, endpointHandle, event.processId, event.localAddress, event.localPort);
  }
}

void ClassifyAuthListen(const ClassifyArgs& args) {
  UINT32 flags = args.U32(FWPS_FIELD_ALE_AUTH_LISTEN_V4_FLAGS);
  if (IsLoopback(flags)) return;
  AleEvent event = ReadEvent(args, PendKindListen, flags, IPPROTO_TCP, FWPS_FIELD_ALE_AUTH_LISTEN_V4_IP_LOCAL_ADDRESS,
                             FWPS_FIELD_ALE_AUTH_LISTEN_V4_IP_LOCAL_PORT);
  if (IsReauthorization(flags)) {
    ReauthorizeListen(args, event);
    return;
  }
  event.threadId = CurrentThreadId();
  AuthorizeAndReport(args, event);
}

void ClassifyAuthRecvAccept(const ClassifyArgs& args) {
  UINT32 flags = args.U32(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_FLAGS);
  UINT8 protocol = args.U8(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_PROTOCOL);
  if (IsLoopback(flags) || !IsTcpOrUdp(protocol)) return;
  if (ReinjectedHere(args)) return;
  AleEvent event = ReadEvent(args, PendKindAccept, flags, protocol, FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_ADDRESS,
                             FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_LOCAL_PORT);
  event.remoteAddress = args.Address(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_ADDRESS);
  event.remotePort = args.U16(FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_IP_REMOTE_PORT);
  // An accept is reported by the worker once decided; its reauthorization
  // has nothing left to apply.
  if (IsReauthorization(flags)) return;
  event.threadId = CurrentThreadId();
  AuthorizeAndReport(args, event);
}

void ClassifyAuthConnect(const ClassifyArgs& args) {
  UINT32 flags = args.U32(FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS);
  UINT8 protocol = args.U8(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL);
  if (IsLoopback(flags) || !IsTcpOrUdp(protocol)) return;
  if (ReinjectedHere(args)) return;
  AleEvent event = ReadEvent(args, PendKindConnect, flags, protocol, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS,
                             FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_PORT);
  event.remoteAddress = args.Address(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS);
  event.remotePort = args.U16(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT);
  if (IsReauthorization(flags)) {
    ReauthorizeConnect(args, event);
    return;
  }
  event.threadId = CurrentThreadId();
  AuthorizeAndReport(args, event);
}
