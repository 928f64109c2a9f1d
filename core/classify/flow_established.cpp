// Flow establishment: every TCP flow gets its flow context at the stream
// layer, and TCP and UDP flows record their local endpoint and owner. The
// verdict stays CONTINUE; the client is not called.
#include "core/classify/endpoints.h"
#include "core/classify/layer_handlers.h"
#include "core/http/flow_context.h"

namespace {
// Associates a new context with the flow at the stream layer; without one
// the stream callout is never called for the flow.
void AttachFlowContext(const ClassifyArgs& args, UINT32 outbound, UINT16 remotePort, UINT64 processId,
                       UINT32 localAddress, UINT16 localPort, UINT32 remoteAddress) {
  FlowContext* context = CreateFlowContext(outbound, remotePort, processId, localAddress, localPort, remoteAddress);
  if (context == nullptr) return;
  NTSTATUS status = FwpsFlowAssociateContext0(args.meta->flowHandle, FWPS_LAYER_STREAM_V4,
                                              gDriverState->calloutIds[CalloutSlotStream],
                                              FlowContextValue(context));
  // Only STATUS_SUCCESS hands the context to the flow. A flow that has one
  // already answers STATUS_OBJECT_NAME_EXISTS, which is no failure status,
  // and keeps the one it has: this one would otherwise belong to nobody.
  if (status != STATUS_SUCCESS) FreeFlowContext(context);
}
}  // namespace

void ClassifyFlowEstablished(const ClassifyArgs& args) {
  UINT8 protocol = args.U8(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_PROTOCOL);
  if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return;
  bool loopback = (args.U32(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_FLAGS) & FWP_CONDITION_FLAG_IS_LOOPBACK) != 0;
  if (loopback && protocol == IPPROTO_TCP) return;

  UINT16 localPort = args.U16(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_LOCAL_PORT);
  UINT16 remotePort = args.U16(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_REMOTE_PORT);
  UINT32 direction = args.U32(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_DIRECTION);
  UINT32 localAddress = args.Address(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_LOCAL_ADDRESS);
  UINT32 remoteAddress = args.Address(FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_IP_REMOTE_ADDRESS);
  UINT64 processId = args.meta->processId;

  if (protocol == IPPROTO_TCP)
    AttachFlowContext(args, direction == FWP_DIRECTION_OUTBOUND ? 1 : 0, remotePort, processId, localAddress,
                      localPort, remoteAddress);
  RecordEndpoint(protocol, args.meta->transportEndpointHandle, processId, localAddress, localPort);
}
