// Internal to the host platform: operations that a callout may pend.
#pragma once
#include "host/wfp_classify.h"

namespace host::wfp::detail {

// True for the layers whose classify the engine hands a completion handle.
bool IsPendableLayer(UINT16 layerId);
// A fresh completion handle for a classify that is about to run.
HANDLE BeginOperation(FWPS_CALLOUT_CLASSIFY_FN1* classifyFn, const FWPS_FILTER1& filter, const ClassifyEvent& event);
// After the classify returned: true if the callout pended the operation
// (it then stays until completed); otherwise the handle is retired.
bool EndOperation(HANDLE completionHandle);
// The index of the FLAGS field of a layer.
UINT32 FlagsField(UINT16 layerId);

}  // namespace host::wfp::detail
