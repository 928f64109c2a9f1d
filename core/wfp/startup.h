// Bringing the driver into service: the engine session, NDIS objects,
// injection handles, provider context, sublayer, worker and callouts; and,
// while the Base Filtering Engine (BFE) is not running, waiting for it.
#pragma once
#include "core/driver/driver_state.h"

// Runs the start-up sequence once. Each step runs only if the ones before
// it succeeded; what was made stays, whatever follows. If the engine cannot
// be opened because the BFE is not running, subscribes to BFE state changes
// so that a RUNNING notification runs the sequence again.
void StartFilterEngine(DriverState* state, PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);

// The BFE state-change callback; context is the DriverState. Queues the
// start-up retry on RUNNING, while the engine is not open and no retry is
// outstanding.
VOID NTAPI BfeStateChanged(PVOID context, FWPM_SERVICE_STATE newState);

// The retry work item; context is the DriverState.
VOID NTAPI RetryStartWorkItem(PDEVICE_OBJECT deviceObject, PVOID context);
