// The classify-options provider context that the ALE authorization filters
// name: lifetimes of 30 seconds for multicast and broadcast, 90 for unicast.
#pragma once
#include "core/driver/driver_state.h"

// Adds the context in the driver's engine session; the status of the add.
NTSTATUS AddClassifyOptionsContext(DriverState* state);
