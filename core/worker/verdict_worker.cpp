#include "core/worker/verdict_worker.h"

namespace {
// One second, relative, in 100 ns units.
constexpr LONGLONG kWakeInterval = -10000000LL;

// Whether a pended decision waits. Records are queued by the ALE handlers
// once they pend; until then the queue stays empty.
bool PendQueueHasWork(DriverState* state) {
  KIRQL irql = KfAcquireSpinLock(&state->pendLock);
  bool waiting = !IsListEmpty(&state->pendQueue);
  KfReleaseSpinLock(&state->pendLock, irql);
  return waiting;
}
}  // namespace

VOID NTAPI VerdictWorker(PVOID startContext) {
  (void)startContext;
  DriverState* state = gDriverState;
  for (;;) {
    // A signal and a timeout lead to the same look at the queue.
    LARGE_INTEGER timeout;
    timeout.QuadPart = kWakeInterval;
    KeWaitForSingleObject(&state->pendEvent, Executive, KernelMode, FALSE, &timeout);
    (void)PendQueueHasWork(state);
  }
}
