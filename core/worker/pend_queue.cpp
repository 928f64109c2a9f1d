#include "core/worker/pend_record.h"

void QueuePendRecord(DriverState* state, PendRecord* record) {
  KIRQL irql = KfAcquireSpinLock(&state->pendLock);
  InsertTailList(&state->pendQueue, &record->link);
  KfReleaseSpinLock(&state->pendLock, irql);
}

void FreePendRecord(PendRecord* record) {
  if (record->controlData != nullptr) FreeNonPaged(record->controlData);
  FreeNonPaged(record);
}
