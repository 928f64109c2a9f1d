// Flow contexts: created at flow establishment, freed when WFP deletes the
// flow (or at once, when the association fails).
#include "core/http/flow_context.h"

#include "core/driver/driver_state.h"

namespace {
constexpr UINT16 kHttpPort = 80;
constexpr UINT16 kHttpAlternatePort = 8080;
}  // namespace

void InitFlowContext(FlowContext* context, UINT32 outbound, UINT16 remotePort, UINT64 processId,
                     UINT32 localAddress, UINT16 localPort, UINT32 remoteAddress) {
  context->processId = processId;
  context->localAddress = localAddress;
  context->localPort = localPort;
  context->remoteAddress = remoteAddress;
  context->remotePort = remotePort;
  context->httpEnabled = 0;
  if (outbound == 0 || (remotePort != kHttpPort && remotePort != kHttpAlternatePort)) return;
  context->parser.state = ParserReset;
  DrainRequestQueue(&context->parser);
  context->httpEnabled = 1;
  context->canReplace = 1;
  context->pendingBytes = 0;
}

FlowContext* CreateFlowContext(UINT32 outbound, UINT16 remotePort, UINT64 processId, UINT32 localAddress,
                               UINT16 localPort, UINT32 remoteAddress) {
  auto* context = static_cast<FlowContext*>(AllocateNonPaged(sizeof(FlowContext)));
  if (context == nullptr) return nullptr;
  InitHttpParser(&context->parser, ParserDisabled);
  context->canReplace = 0;
  context->pendingBytes = 0;
  InitFlowContext(context, outbound, remotePort, processId, localAddress, localPort, remoteAddress);
  return context;
}

void FreeFlowContext(FlowContext* context) {
  ReleaseHttpParser(&context->parser);
  FreeNonPaged(context);
}

VOID NTAPI FlowDeleteNotify(UINT16 layerId, UINT32 calloutId, UINT64 flowContext) {
  (void)layerId;
  (void)calloutId;
  FlowContext* context = FlowContextFromValue(flowContext);
  if (context == nullptr) return;
  FreeFlowContext(context);
}
