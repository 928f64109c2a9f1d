#include "core/wfp/callouts.h"

#include "core/classify/classify.h"
#include "core/wfp/guids.h"

const CalloutRow kCalloutRows[kCalloutRowCount] = {
    {&FWPM_LAYER_ALE_RESOURCE_ASSIGNMENT_V4, &CalloutKeyResourceAssignmentV4, CalloutSlotResourceAssignment, 0,
     nullptr, FWP_ACTION_CALLOUT_TERMINATING, false},
    {&FWPM_LAYER_ALE_RESOURCE_RELEASE_V4, &CalloutKeyResourceReleaseV4, CalloutSlotResourceRelease, 0, nullptr,
     FWP_ACTION_CALLOUT_INSPECTION, false},
    {&FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4, &CalloutKeyFlowEstablishedV4, CalloutSlotFlowEstablished, 0, nullptr,
     FWP_ACTION_CALLOUT_INSPECTION, false},
    {&FWPM_LAYER_ALE_AUTH_CONNECT_V4, &CalloutKeyAuthConnectV4, CalloutSlotAuthConnect, 0, nullptr,
     FWP_ACTION_CALLOUT_TERMINATING, true},
    {&FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4, &CalloutKeyAuthRecvAcceptV4, CalloutSlotAuthRecvAccept, 0, nullptr,
     FWP_ACTION_CALLOUT_TERMINATING, true},
    {&FWPM_LAYER_ALE_AUTH_LISTEN_V4, &CalloutKeyAuthListenV4, CalloutSlotAuthListen, 0, nullptr,
     FWP_ACTION_CALLOUT_TERMINATING, true},
    {&FWPM_LAYER_STREAM_V4, &CalloutKeyStreamV4, CalloutSlotStream, FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW,
     FlowDeleteNotify, FWP_ACTION_CALLOUT_TERMINATING, false},
    {&FWPM_LAYER_DATAGRAM_DATA_V4, &CalloutKeyDatagramDataV4, CalloutSlotDatagramData, 0, nullptr,
     FWP_ACTION_CALLOUT_TERMINATING, false},
    {&FWPM_LAYER_INBOUND_IPPACKET_V4, &CalloutKeyInboundIppacketV4, CalloutSlotInboundIpPacket, 0, nullptr,
     FWP_ACTION_CALLOUT_TERMINATING, false},
};

namespace {
// The row whose identifier goes to that element of calloutIds.
const CalloutRow* RowOf(const DriverState* state, const UINT32* calloutId) {
  for (const CalloutRow& row : kCalloutRows)
    if (&state->calloutIds[row.slot] == calloutId) return &row;
  return nullptr;
}
}  // namespace

void AddLayerCallout(DriverState* state, PDEVICE_OBJECT deviceObject, UINT32* calloutId) {
  const CalloutRow* found = RowOf(state, calloutId);
  if (found == nullptr) return;
  const CalloutRow& row = *found;
  FWPS_CALLOUT1 runtimeCallout;
  memset(&runtimeCallout, 0, sizeof(runtimeCallout));
  runtimeCallout.calloutKey = *row.calloutKey;
  runtimeCallout.flags = row.calloutFlags;
  runtimeCallout.classifyFn = ClassifyAll;
  runtimeCallout.notifyFn = CalloutNotify;
  runtimeCallout.flowDeleteFn = row.flowDeleteFn;
  if (!NT_SUCCESS(FwpsCalloutRegister1(deviceObject, &runtimeCallout, calloutId))) return;

  FWPM_CALLOUT0 callout;
  memset(&callout, 0, sizeof(callout));
  callout.calloutKey = *row.calloutKey;
  callout.displayData = DriverDisplayData();
  callout.applicableLayer = *row.layerKey;
  if (!NT_SUCCESS(FwpmCalloutAdd0(state->engine, &callout, nullptr, nullptr))) return;

  // Zero key and FWP_EMPTY weight: the engine assigns both. No conditions:
  // the filter matches all traffic at its layer.
  FWPM_FILTER0 filter;
  memset(&filter, 0, sizeof(filter));
  filter.displayData = DriverDisplayData();
  filter.layerKey = *row.layerKey;
  filter.subLayerKey = SubLayerKey;
  filter.weight.type = FWP_EMPTY;
  filter.action.type = row.actionType;
  filter.action.calloutKey = *row.calloutKey;
  if (row.usesClassifyOptions) {
    filter.flags = FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT;
    filter.providerContextKey = ClassifyOptionsContextKey;
  }
  FwpmFilterAdd0(state->engine, &filter, nullptr, nullptr);
}

void AddLayerCallouts(DriverState* state, PDEVICE_OBJECT deviceObject) {
  for (const CalloutRow& row : kCalloutRows) AddLayerCallout(state, deviceObject, &state->calloutIds[row.slot]);
}
