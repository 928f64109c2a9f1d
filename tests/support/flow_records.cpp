// The driver's own flow record, where the driver is linked in.
#include "core/http/flow_context.h"
#include "host/wfp/flows.h"
#include "tests/support/flows.h"

namespace nqtest {

FlowContext* FlowTest::ContextOf(UINT64 flowHandle) {
  UINT64 value = 0;
  if (!host::wfp::detail::FlowContextFor(flowHandle, FWPS_LAYER_STREAM_V4, StreamCalloutId(), &value))
    return nullptr;
  return FlowContextFromValue(value);
}

}  // namespace nqtest
