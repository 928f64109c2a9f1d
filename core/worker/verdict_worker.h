// The verdict worker: the one system thread that serves pended decisions.
#pragma once
#include "core/driver/driver_state.h"

// Start routine of the worker thread. The start context is not used: the
// worker reaches the driver state through gDriverState. Never returns.
VOID NTAPI VerdictWorker(PVOID startContext);
