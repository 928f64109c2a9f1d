// Internal to the host platform: contexts that callouts associate with flows.
#pragma once
#include "host/wfp_classify.h"

namespace host::wfp::detail {
// The context a callout associated with the flow at the layer, if any.
bool FlowContextFor(UINT64 flowId, UINT16 layerId, UINT32 calloutId, UINT64* context);

// A flow the stack has: from its first classify, or EstablishFlow, until
// DeleteFlow.
bool FlowIsLive(UINT64 flowId);

// A classify of a flow, for its life: the flow's deletion waits until every
// classify of it has returned. A flow id of 0 is no flow.
class FlowClassify {
 public:
  explicit FlowClassify(UINT64 flowId);
  ~FlowClassify();
  FlowClassify(const FlowClassify&) = delete;
  FlowClassify& operator=(const FlowClassify&) = delete;

 private:
  UINT64 flowId_;
};
}  // namespace host::wfp::detail
