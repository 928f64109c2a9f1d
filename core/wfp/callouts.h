// The driver's nine callouts, one at each IPv4 layer it serves, each with
// one filter that sends all of the layer's traffic to it.
#pragma once
#include "core/driver/driver_state.h"

// One callout and its filter.
struct CalloutRow {
  const GUID* layerKey;
  const GUID* calloutKey;
  CalloutSlot slot;  // where its run-time identifier goes in calloutIds
  UINT32 calloutFlags;
  FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0* flowDeleteFn;
  FWP_ACTION_TYPE actionType;
  bool usesClassifyOptions;  // the filter names the classify-options context
};

constexpr unsigned kCalloutRowCount = 9;
// In the order start-up adds them.
extern const CalloutRow kCalloutRows[kCalloutRowCount];

// calloutId is the element of state->calloutIds that names the row: registers
// the row's callout at run time (its identifier into *calloutId), adds its
// management object and then its filter. A failed registration or callout
// add ends the row; what was made stays. Nothing is reported.
void AddLayerCallout(DriverState* state, PDEVICE_OBJECT deviceObject, UINT32* calloutId);
// All nine rows in order, each whatever the previous ones did.
void AddLayerCallouts(DriverState* state, PDEVICE_OBJECT deviceObject);

// The notify function of all nine: accepts every filter added or deleted.
NTSTATUS NTAPI CalloutNotify(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID* filterKey, FWPS_FILTER1* filter);

// What the stream callout has WFP call when a flow is deleted: frees the
// flow's context (core/http/flow_context.cpp).
VOID NTAPI FlowDeleteNotify(UINT16 layerId, UINT32 calloutId, UINT64 flowContext);
