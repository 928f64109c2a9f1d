#include "tests/support/flows.h"

#include "core/driver/driver_state.h"
#include "core/http/flow_context.h"
#include "host/wfp/flows.h"

namespace nqtest {

FlowContext* FlowTest::ContextOf(UINT64 flowHandle) {
  UINT64 value = 0;
  if (!host::wfp::detail::FlowContextFor(flowHandle, FWPS_LAYER_STREAM_V4,
                                         gDriverState->calloutIds[CalloutSlotStream], &value))
    return nullptr;
  return FlowContextFromValue(value);
}

}  // namespace nqtest
