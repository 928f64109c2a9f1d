// Classify through the engine: the callouts that the layer's filters name,
// highest weight first, until one of them decides.
#include "host/wfp/flows.h"
#include "host/wfp/registry.h"

namespace host::wfp {

ClassifyResult Classify(const ClassifyEvent& event) {
  UINT64 flowId = (event.meta.currentMetadataValues & FWPS_METADATA_FIELD_FLOW_HANDLE) ? event.meta.flowHandle : 0;
  detail::FlowClassify running(flowId);
  ClassifyResult result;
  result.rights = event.rights;
  ClassifyEvent current = event;
  detail::TargetList targets = detail::LayerTargets(event.layerId);
  for (const detail::ClassifyTarget& target : *targets) {
    if (target.calloutFlags & FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW) {
      UINT64 context = 0;
      if (!detail::FlowContextFor(event.meta.flowHandle, event.layerId, target.calloutId, &context)) continue;
      current.flowContext = context;
    }
    ClassifyResult r = InvokeClassify(target.classifyFn, target.filter, current);
    bool decided = r.actionType == FWP_ACTION_PERMIT || r.actionType == FWP_ACTION_BLOCK;
    result = r;
    if (decided && (target.filter.action.type & FWP_ACTION_FLAG_TERMINATING)) break;
    current.rights = r.rights;
  }
  return result;
}

}  // namespace host::wfp
