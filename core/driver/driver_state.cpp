#include "core/driver/driver_state.h"

DriverState* gDriverState;
ClientTable* gClientTable;

DriverState* InitDriverState(DriverState* state) {
  memset(state, 0, sizeof(*state));
  KSPIN_LOCK* locks[] = {&state->pendLock, &state->bindLock,  &state->connectLock,
                         &state->listenLock, &state->udpLock, &state->tcpLock};
  for (KSPIN_LOCK* lock : locks) KeInitializeSpinLock(lock);
  LIST_ENTRY* lists[] = {&state->pendQueue,    &state->decidedBinds, &state->decidedConnects,
                         &state->decidedListens, &state->udpEndpoints, &state->tcpEndpoints};
  for (LIST_ENTRY* list : lists) InitializeListHead(list);
  KeInitializeEvent(&state->pendEvent, SynchronizationEvent, FALSE);
  state->driverObject = nullptr;
  state->deviceObject = nullptr;
  state->bfeChangeHandle = nullptr;
  state->workItem = nullptr;
  return state;
}
