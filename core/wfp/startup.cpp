#include "core/wfp/startup.h"

void StartFilterEngine(DriverState* state, PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject) {
  state->driverObject = driverObject;
  state->deviceObject = deviceObject;
}
