#include "core/wfp/callouts.h"

// Stands in for the flow context's release when WFP deletes a flow, until
// the flow context lands: no flow carries a context of the driver's yet, so
// there is nothing to free.
VOID NTAPI FlowDeleteNotify(UINT16 layerId, UINT32 calloutId, UINT64 flowContext) {
  (void)layerId;
  (void)calloutId;
  (void)flowContext;
}
