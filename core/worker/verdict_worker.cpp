// The verdict worker and the completion of the transport injections it makes.
#include "core/worker/verdict_worker.h"

namespace {
// What a send injection owns until its completion runs: the control-data copy
// and the remote address the send parameters point at. The address is kept
// here, not in the parked record, because the reauthorization may free the
// record while the injection still reads it.
struct SendInjectContext {
  UCHAR remoteAddress[4];
  void* controlData;
};

PendRecord* TakeOldest(DriverState* state) {
  PendRecord* record = nullptr;
  KIRQL irql = KfAcquireSpinLock(&state->pendLock);
  if (!IsListEmpty(&state->pendQueue)) record = CONTAINING_RECORD(RemoveHeadList(&state->pendQueue), PendRecord, link);
  KfReleaseSpinLock(&state->pendLock, irql);
  return record;
}

// Parks a decided record where its reauthorization will look for it. From
// then on the record belongs to that reauthorization.
void Park(KSPIN_LOCK* lock, LIST_ENTRY* list, PendRecord* record) {
  KIRQL irql = KfAcquireSpinLock(lock);
  InsertTailList(list, &record->link);
  KfReleaseSpinLock(lock, irql);
}

void FreeHeldPacket(NET_BUFFER_LIST* clone, void* controlData) {
  if (clone != nullptr) FwpsFreeCloneNetBufferList0(clone, 0);
  if (controlData != nullptr) FreeNonPaged(controlData);
}

void CompleteParked(DriverState* state, PendRecord* record) {
  HANDLE completionContext = record->completionContext;
  if (record->kind == PendKindBind)
    Park(&state->bindLock, &state->decidedBinds, record);
  else
    Park(&state->listenLock, &state->decidedListens, record);
  FwpsCompleteOperation0(completionContext, nullptr);
}

void SendHeldPacket(DriverState* state, NET_BUFFER_LIST* clone, const UCHAR remoteAddress[4], SCOPE_ID scopeId,
                    void* controlData, UINT32 controlDataLength, UINT64 endpointHandle, UINT16 addressFamily,
                    UINT32 compartmentId) {
  auto* context = static_cast<SendInjectContext*>(AllocateNonPaged(sizeof(SendInjectContext)));
  if (context == nullptr) {
    FreeHeldPacket(clone, controlData);
    return;
  }
  memcpy(context->remoteAddress, remoteAddress, sizeof(context->remoteAddress));
  context->controlData = controlData;

  FWPS_TRANSPORT_SEND_PARAMS0 params;
  memset(&params, 0, sizeof(params));
  params.remoteAddress = context->remoteAddress;
  params.remoteScopeId = scopeId;
  params.controlData = static_cast<WSACMSGHDR*>(controlData);
  params.controlDataLength = controlDataLength;
  NTSTATUS status = FwpsInjectTransportSendAsync0(state->transportInjection, nullptr, endpointHandle, 0, &params,
                                                  addressFamily, static_cast<COMPARTMENT_ID>(compartmentId), clone,
                                                  TransportInjectComplete, context);
  if (!NT_SUCCESS(status)) {
    FreeHeldPacket(clone, controlData);
    FreeNonPaged(context);
  }
}

void CompleteConnect(DriverState* state, PendRecord* record) {
  // Everything the completion and the injection need is read before the
  // record is parked: once parked, the reauthorization may free it.
  UINT16 addressFamily = record->addressFamily;
  UINT32 compartmentId = record->compartmentId;
  HANDLE completionContext = record->completionContext;
  void* controlData = record->controlData;
  UINT32 controlDataLength = record->controlDataLength;
  NET_BUFFER_LIST* clone = record->clonedNbl;
  UINT64 endpointHandle = record->endpointHandle;
  SCOPE_ID scopeId = record->remoteScopeId;
  UCHAR remoteAddress[4];
  memcpy(remoteAddress, &record->remoteAddress, sizeof(remoteAddress));
  bool permit = record->verdict == FWP_ACTION_PERMIT;
  // The held packet and the control data now belong to this function.
  record->controlData = nullptr;
  record->controlDataLength = 0;
  record->clonedNbl = nullptr;

  Park(&state->connectLock, &state->decidedConnects, record);
  if (!permit) {
    FwpsCompleteOperation0(completionContext, nullptr);
    FreeHeldPacket(clone, controlData);
    return;
  }
  FwpsCompleteOperation0(completionContext, clone);
  if (clone == nullptr) {
    FreeHeldPacket(nullptr, controlData);
    return;
  }
  SendHeldPacket(state, clone, remoteAddress, scopeId, controlData, controlDataLength, endpointHandle, addressFamily,
                 compartmentId);
}

void CompleteAccept(DriverState* state, PendRecord* record) {
  bool permit = record->verdict == FWP_ACTION_PERMIT;
  NET_BUFFER_LIST* clone = record->clonedNbl;
  record->clonedNbl = nullptr;
  if (permit) {
    FwpsCompleteOperation0(record->completionContext, clone);
    if (clone != nullptr) {
      NTSTATUS status = FwpsInjectTransportReceiveAsync0(
          state->transportInjection, nullptr, nullptr, 0, record->addressFamily,
          static_cast<COMPARTMENT_ID>(record->compartmentId), record->interfaceIndex, record->subInterfaceIndex, clone,
          TransportInjectComplete, nullptr);
      if (!NT_SUCCESS(status)) FreeHeldPacket(clone, nullptr);
    }
  } else {
    FwpsCompleteOperation0(record->completionContext, nullptr);
    FreeHeldPacket(clone, nullptr);
  }
  // Accepts are reported here, by the worker, whatever the ready flag says.
  ClientTable* client = gClientTable;
  client->ReportAccept(record->protocol == IPPROTO_TCP ? 1 : 0, static_cast<NqU32>(record->processId),
                       record->threadId, record->localAddress, record->localPort, record->remoteAddress,
                       record->remotePort, permit ? 0 : 1);
  FreePendRecord(record);
}

void Decide(DriverState* state, PendRecord* record) {
  ClientTable* client = gClientTable;
  NqU32 blocked = client->DecidePended(record->clientHandle, 0);
  record->verdict = blocked != 0 ? FWP_ACTION_BLOCK : FWP_ACTION_PERMIT;
  switch (record->kind) {
    case PendKindBind:
    case PendKindListen: CompleteParked(state, record); break;
    case PendKindConnect: CompleteConnect(state, record); break;
    default: CompleteAccept(state, record); break;
  }
}
}  // namespace

void DrainPendQueue(DriverState* state) {
  while (PendRecord* record = TakeOldest(state)) Decide(state, record);
}

VOID NTAPI VerdictWorker(PVOID startContext) {
  (void)startContext;
  for (;;) {
    DriverState* state = gDriverState;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000000LL;  // one second, relative
    KeWaitForSingleObject(&state->pendEvent, Executive, KernelMode, FALSE, &timeout);
    DrainPendQueue(state);
  }
}

VOID NTAPI TransportInjectComplete(PVOID context, NET_BUFFER_LIST* netBufferList, BOOLEAN dispatchLevel) {
  (void)dispatchLevel;
  FwpsFreeCloneNetBufferList0(netBufferList, 0);
  if (context != nullptr) {
    auto* send = static_cast<SendInjectContext*>(context);
    if (send->controlData != nullptr) FreeNonPaged(send->controlData);
    FreeNonPaged(send);
  }
}
