// Bringing the driver into service: the engine session, NDIS objects,
// injection handles, provider context, sublayer, worker and callouts.
#pragma once
#include "core/driver/driver_state.h"

void StartFilterEngine(DriverState* state, PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject);
