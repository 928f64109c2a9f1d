#include "core/wfp/provider_context.h"

#include "core/wfp/guids.h"

NTSTATUS AddClassifyOptionsContext(DriverState* state) {
  FWPM_CLASSIFY_OPTION0 options[2];
  memset(options, 0, sizeof(options));
  options[0].type = FWP_CLASSIFY_OPTION_MCAST_BCAST_LIFETIME;
  options[0].value.type = FWP_UINT32;
  options[0].value.uint32 = 30;
  options[1].type = FWP_CLASSIFY_OPTION_UNICAST_LIFETIME;
  options[1].value.type = FWP_UINT32;
  options[1].value.uint32 = 90;

  FWPM_CLASSIFY_OPTIONS0 classifyOptions;
  classifyOptions.numOptions = 2;
  classifyOptions.options = options;

  FWPM_PROVIDER_CONTEXT0 context;
  memset(&context, 0, sizeof(context));
  context.providerContextKey = ClassifyOptionsContextKey;
  context.displayData = DriverDisplayData();
  context.type = FWPM_CLASSIFY_OPTIONS_CONTEXT;
  context.classifyOptions = &classifyOptions;
  return FwpmProviderContextAdd0(state->engine, &context, nullptr, nullptr);
}
