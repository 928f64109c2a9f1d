// The verdict worker: one system thread that fetches the client's verdict for
// every pended decision, completes the pended operation and re-injects the
// held packet.
#pragma once
#include "core/worker/pend_record.h"

VOID NTAPI VerdictWorker(PVOID startContext);

// Completion of both transport injections: frees the clone and what the
// injection owned.
VOID NTAPI TransportInjectComplete(PVOID context, NET_BUFFER_LIST* netBufferList, BOOLEAN dispatchLevel);

// One pass over the pend queue, oldest record first; what the worker does
// after each wake.
void DrainPendQueue(DriverState* state);
