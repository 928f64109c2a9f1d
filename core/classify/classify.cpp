// The classify dispatcher: the verdict conventions every layer shares.
#include "core/classify/classify.h"
#include "core/classify/layer_handlers.h"

namespace {
using LayerHandler = void (*)(const ClassifyArgs&);

LayerHandler HandlerFor(UINT16 layerId) {
  switch (layerId) {
    case FWPS_LAYER_INBOUND_IPPACKET_V4: return ClassifyInboundPacket;
    case FWPS_LAYER_STREAM_V4: return ClassifyStreamData;
    case FWPS_LAYER_DATAGRAM_DATA_V4: return ClassifyDatagramData;
    case FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4: return ClassifyResourceAssignment;
    case FWPS_LAYER_ALE_AUTH_LISTEN_V4: return ClassifyAuthListen;
    case FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4: return ClassifyAuthRecvAccept;
    case FWPS_LAYER_ALE_AUTH_CONNECT_V4: return ClassifyAuthConnect;
    case FWPS_LAYER_ALE_RESOURCE_RELEASE_V4: return ClassifyResourceRelease;
    default: return nullptr;
  }
}
}  // namespace

VOID NTAPI ClassifyAll(const FWPS_INCOMING_VALUES0* inFixedValues, const FWPS_INCOMING_METADATA_VALUES0* inMetaValues,
                       void* layerData, const void* classifyContext, const FWPS_FILTER1* filter, UINT64 flowContext,
                       FWPS_CLASSIFY_OUT0* classifyOut) {
  (void)classifyContext;
  classifyOut->actionType = FWP_ACTION_CONTINUE;
  const ClassifyArgs args{inFixedValues, inMetaValues, layerData, filter, flowContext, classifyOut};

  // Flow establishment only takes note of the flow; its verdict stays CONTINUE.
  if (inFixedValues->layerId == FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4) {
    ClassifyFlowEstablished(args);
    return;
  }
  LayerHandler handler = HandlerFor(inFixedValues->layerId);
  if (handler == nullptr) return;
  if ((classifyOut->rights & FWPS_RIGHT_ACTION_WRITE) == 0) return;
  classifyOut->actionType = FWP_ACTION_PERMIT;
  handler(args);
}
