#include "core/wfp/startup.h"

#include "core/wfp/callouts.h"
#include "core/wfp/guids.h"
#include "core/wfp/provider_context.h"
#include "core/worker/verdict_worker.h"

namespace {

constexpr ULONG kNdisPoolTag = 0x4E514657;  // 'WFQN'

NTSTATUS OpenEngine(HANDLE* engine) {
  FWPM_SESSION0 session;
  memset(&session, 0, sizeof(session));
  session.flags = FWPM_SESSION_FLAG_DYNAMIC;
  return FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, engine);
}

NDIS_HANDLE AllocateNetBufferListPool(NDIS_HANDLE genericObject) {
  NET_BUFFER_LIST_POOL_PARAMETERS parameters;
  memset(&parameters, 0, sizeof(parameters));
  parameters.Header.Type = NDIS_OBJECT_TYPE_DEFAULT;
  parameters.Header.Revision = NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1;
  parameters.Header.Size = NDIS_SIZEOF_NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1;
  parameters.ProtocolId = NDIS_PROTOCOL_ID_DEFAULT;
  parameters.fAllocateNetBuffer = TRUE;
  parameters.ContextSize = 0;
  parameters.PoolTag = kNdisPoolTag;
  parameters.DataSize = 0;
  return NdisAllocateNetBufferListPool(genericObject, &parameters);
}

NTSTATUS AddSubLayer(DriverState* state) {
  FWPM_SUBLAYER0 subLayer;
  memset(&subLayer, 0, sizeof(subLayer));
  subLayer.subLayerKey = SubLayerKey;
  subLayer.displayData = DriverDisplayData();
  subLayer.weight = 0xFFFF;  // the highest sublayer weight
  return FwpmSubLayerAdd0(state->engine, &subLayer, nullptr);
}

NTSTATUS StartWorker() {
  HANDLE thread = nullptr;
  NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, VerdictWorker, nullptr);
  if (!NT_SUCCESS(status)) return status;
  // The worker runs for the life of the system; nobody waits for it.
  ZwClose(thread);
  return status;
}

// The engine could not be opened. Unless the BFE runs (then the failure is
// final), wait for it: subscribe once to its state changes. The state is
// looked at again once the subscription is in place, as a change between
// the first look and the subscription would otherwise never be heard of.
void WaitForBfe(DriverState* state, PDEVICE_OBJECT deviceObject) {
  if (FwpmBfeStateGet0() == FWPM_SERVICE_RUNNING) return;
  if (state->bfeChangeHandle != nullptr) return;  // an earlier run subscribed
  HANDLE changeHandle = nullptr;
  if (!NT_SUCCESS(FwpmBfeStateSubscribeChanges0(deviceObject, BfeStateChanged, state, &changeHandle))) return;
  state->bfeChangeHandle = changeHandle;
  if (FwpmBfeStateGet0() == FWPM_SERVICE_RUNNING) BfeStateChanged(state, FWPM_SERVICE_RUNNING);
}

}  // namespace

void StartFilterEngine(DriverState* state, PDRIVER_OBJECT driverObject, PDEVICE_OBJECT deviceObject) {
  state->driverObject = driverObject;
  state->deviceObject = deviceObject;

  // engine stays null until an open has succeeded: BfeStateChanged relies on it.
  HANDLE engine = nullptr;
  if (!NT_SUCCESS(OpenEngine(&engine))) {
    WaitForBfe(state, deviceObject);
    return;
  }
  state->engine = engine;

  state->genericObject = NdisAllocateGenericObject(driverObject, kNdisPoolTag, 0);
  if (state->genericObject == nullptr) return;
  state->nblPool = AllocateNetBufferListPool(state->genericObject);
  if (state->nblPool == nullptr) return;
  if (!NT_SUCCESS(AddClassifyOptionsContext(state))) return;
  if (!NT_SUCCESS(FwpsInjectionHandleCreate0(AF_UNSPEC, FWPS_INJECTION_TYPE_STREAM, &state->streamInjection))) return;
  if (!NT_SUCCESS(FwpsInjectionHandleCreate0(AF_UNSPEC, FWPS_INJECTION_TYPE_TRANSPORT, &state->transportInjection)))
    return;
  if (!NT_SUCCESS(AddSubLayer(state))) return;
  if (!NT_SUCCESS(StartWorker())) return;
  AddLayerCallouts(state, deviceObject);
}

VOID NTAPI BfeStateChanged(PVOID context, FWPM_SERVICE_STATE newState) {
  DriverState* state = static_cast<DriverState*>(context);
  if (state->engine != nullptr) return;  // start-up already opened the engine
  if (newState != FWPM_SERVICE_RUNNING) return;
  PIO_WORKITEM item = IoAllocateWorkItem(state->deviceObject);
  if (item == nullptr) return;  // the retry waits for the next RUNNING notification
  // The record holds one work item: while a retry is outstanding (queued or
  // running), a further RUNNING notification has nothing to add.
  PVOID volatile* slot = reinterpret_cast<PVOID volatile*>(&state->workItem);
  if (InterlockedCompareExchangePointer(slot, item, nullptr) != nullptr) {
    IoFreeWorkItem(item);
    return;
  }
  IoQueueWorkItem(item, RetryStartWorkItem, DelayedWorkQueue, state);
}

VOID NTAPI RetryStartWorkItem(PDEVICE_OBJECT deviceObject, PVOID context) {
  DriverState* state = static_cast<DriverState*>(context);
  StartFilterEngine(state, state->driverObject, deviceObject);
  PVOID volatile* slot = reinterpret_cast<PVOID volatile*>(&state->workItem);
  IoFreeWorkItem(static_cast<PIO_WORKITEM>(InterlockedExchangePointer(slot, nullptr)));
}
