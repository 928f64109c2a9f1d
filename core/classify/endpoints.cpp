// The TCP and UDP endpoint tables: which process owns which local endpoint.
// Newest records stand at the head; every walk and edit holds the table's lock.
#include "core/classify/endpoints.h"

namespace {
struct EndpointTable {
  KSPIN_LOCK* lock;
  LIST_ENTRY* head;
};

EndpointTable TableFor(DriverState* state, UINT8 protocol) {
  if (protocol == IPPROTO_TCP) return {&state->tcpLock, &state->tcpEndpoints};
  return {&state->udpLock, &state->udpEndpoints};
}

EndpointRecord* FindByHandle(LIST_ENTRY* head, UINT64 endpointHandle) {
  for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
    EndpointRecord* record = CONTAINING_RECORD(e, EndpointRecord, link);
    if (record->endpointHandle == endpointHandle) return record;
  }
  return nullptr;
}

void Refresh(EndpointRecord* record, UINT64 processId, UINT32 localAddress, UINT16 localPort) {
  record->localPort = localPort;
  record->localAddress = localAddress;
  record->processId = processId;
}

// Refreshes the record of the handle if the table has one; true if it did.
bool RefreshExisting(const EndpointTable& table, UINT64 endpointHandle, UINT64 processId, UINT32 localAddress,
                     UINT16 localPort) {
  KIRQL irql = KfAcquireSpinLock(table.lock);
  EndpointRecord* record = FindByHandle(table.head, endpointHandle);
  if (record != nullptr) Refresh(record, processId, localAddress, localPort);
  KfReleaseSpinLock(table.lock, irql);
  return record != nullptr;
}

NqU32 LookupOwner(UINT8 protocol, NqU32 localAddress, NqU16 localPort, NqU64* processId) {
  DriverState* state = gDriverState;
  if (state == nullptr) return 0;
  EndpointTable table = TableFor(state, protocol);
  NqU32 found = 0;
  KIRQL irql = KfAcquireSpinLock(table.lock);
  for (LIST_ENTRY* e = table.head->Flink; e != table.head; e = e->Flink) {
    EndpointRecord* record = CONTAINING_RECORD(e, EndpointRecord, link);
    if ((record->localAddress == 0 || record->localAddress == localAddress) && record->localPort == localPort) {
      *processId = record->processId;
      found = 1;
      break;
    }
  }
  KfReleaseSpinLock(table.lock, irql);
  return found;
}
}  // namespace

void RecordEndpoint(UINT8 protocol, UINT64 endpointHandle, UINT64 processId, UINT32 localAddress, UINT16 localPort) {
  DriverState* state = gDriverState;
  if (state == nullptr) return;
  EndpointTable table = TableFor(state, protocol);
  if (RefreshExisting(table, endpointHandle, processId, localAddress, localPort)) return;

  // Allocated outside the lock; the search is repeated at the insertion so
  // that two events racing for the same fresh handle leave one record.
  auto* fresh = static_cast<EndpointRecord*>(AllocateNonPaged(sizeof(EndpointRecord)));
  if (fresh == nullptr) return;
  fresh->endpointHandle = endpointHandle;
  Refresh(fresh, processId, localAddress, localPort);

  KIRQL irql = KfAcquireSpinLock(table.lock);
  EndpointRecord* raced = FindByHandle(table.head, endpointHandle);
  if (raced != nullptr)
    Refresh(raced, processId, localAddress, localPort);
  else
    InsertHeadList(table.head, &fresh->link);
  KfReleaseSpinLock(table.lock, irql);
  if (raced != nullptr) FreeNonPaged(fresh);
}

bool FindUdpOwnerByHandle(UINT64 endpointHandle, UINT64* processId) {
  DriverState* state = gDriverState;
  if (state == nullptr) return false;
  KIRQL irql = KfAcquireSpinLock(&state->udpLock);
  EndpointRecord* record = FindByHandle(&state->udpEndpoints, endpointHandle);
  if (record != nullptr) *processId = record->processId;
  KfReleaseSpinLock(&state->udpLock, irql);
  return record != nullptr;
}

bool ReleaseEndpoint(UINT8 protocol, UINT64 endpointHandle) {
  DriverState* state = gDriverState;
  if (state == nullptr) return false;
  EndpointTable table = TableFor(state, protocol);
  // Unlinked and freed in one hold of the lock: no reader sees it afterwards.
  KIRQL irql = KfAcquireSpinLock(table.lock);
  EndpointRecord* record = FindByHandle(table.head, endpointHandle);
  if (record != nullptr) {
    RemoveEntryList(&record->link);
    FreeNonPaged(record);
  }
  KfReleaseSpinLock(table.lock, irql);
  return record != nullptr;
}

NqU32 NQ_CLIENT_STDCALL LookupUdpEndpointOwner(NqU32 localAddress, NqU16 localPort, NqU64* processId) {
  return LookupOwner(IPPROTO_UDP, localAddress, localPort, processId);
}

NqU32 NQ_CLIENT_STDCALL LookupTcpEndpointOwner(NqU32 localAddress, NqU16 localPort, NqU64* processId) {
  return LookupOwner(IPPROTO_TCP, localAddress, localPort, processId);
}
