// Internal to the host platform: contexts that callouts associate with flows.
#pragma once
#include "host/wfp_classify.h"

namespace host::wfp::detail {
// The context a callout associated with the flow at the layer, if any.
bool FlowContextFor(UINT64 flowId, UINT16 layerId, UINT32 calloutId, UINT64* context);
}  // namespace host::wfp::detail
