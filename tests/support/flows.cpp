#include "tests/support/flows.h"

#include "host/wfp.h"
#include "host/wfp/flows.h"

namespace nqtest {

UINT32 FlowTest::StreamCalloutId() {
  host::wfp::EngineView view = host::wfp::View();
  for (const auto& callout : view.callouts)
    if (host::wfp::GuidText(callout.applicableLayer) == host::wfp::GuidText(FWPM_LAYER_STREAM_V4))
      return callout.calloutId;
  return 0;
}

bool FlowTest::HasContext(UINT64 flowHandle) {
  UINT64 value = 0;
  return host::wfp::detail::FlowContextFor(flowHandle, FWPS_LAYER_STREAM_V4, StreamCalloutId(), &value);
}

}  // namespace nqtest
