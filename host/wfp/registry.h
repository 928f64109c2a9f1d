// Internal to the host platform: what the classify side of the filter engine
// needs from its management side (sessions, callouts, filters).
#pragma once
#include "host/host.h"

#include <memory>
#include <vector>

namespace host::wfp::detail {

// One filter at a layer whose action names a run-time registered callout.
struct ClassifyTarget {
  FWPS_CALLOUT_CLASSIFY_FN1* classifyFn;
  FWPS_CALLOUT_NOTIFY_FN1* notifyFn;
  FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0* flowDeleteFn;
  UINT32 calloutId;     // run-time identifier from FwpsCalloutRegister1
  UINT32 calloutFlags;  // FWPS_CALLOUT1.flags
  FWPS_FILTER1 filter;  // as the engine hands it to classifyFn (filterId, weight, action, ...)
};

// The callout filters at a run-time layer, highest weight first. Filters
// whose callout is not registered at run time are left out.
std::vector<ClassifyTarget> TargetsForLayer(UINT16 layerId);
// The same, as the classify path reads them: no lock and no copy while no
// filter or callout has been added.
using TargetList = std::shared_ptr<const std::vector<ClassifyTarget>>;
const TargetList& LayerTargets(UINT16 layerId);

// The run-time layer id of an FWPM layer key, or 0xFFFF for a layer the
// host engine does not model.
UINT16 LayerIdForKey(const GUID& layerKey);

}  // namespace host::wfp::detail
