// Resource release: a socket gives up its local endpoint, which leaves the
// endpoint tables.
#include "core/classify/endpoints.h"
#include "core/classify/layer_handlers.h"

void ClassifyResourceRelease(const ClassifyArgs& args) {
  UINT8 protocol = args.U8(FWPS_FIELD_ALE_RESOURCE_RELEASE_V4_IP_PROTOCOL);
  if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return;
  ReleaseEndpoint(protocol, args.meta->transportEndpointHandle);
}
