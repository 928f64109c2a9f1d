// The TCP and UDP endpoint tables: which process owns which local endpoint.
// Newest records stand at the head; every walk and edit holds the table's
// lock, and so does every use of the table's index.
#include "core/classify/endpoints.h"

#include "core/classify/endpoint_index.h"

namespace {
// Guarded by the lock of its table, as the table's list is.
EndpointIndex gTcpIndex;
EndpointIndex gUdpIndex;

struct EndpointTable {
  KSPIN_LOCK* lock;
  LIST_ENTRY* head;
  EndpointIndex* index;
};

EndpointTable TableFor(DriverState* state, UINT8 protocol) {
  if (protocol == IPPROTO_TCP) return {&state->tcpLock, &state->tcpEndpoints, &gTcpIndex};
  return {&state->udpLock, &state->udpEndpoints, &gUdpIndex};
}

EndpointRecord* FindByHandle(const EndpointTable& table, UINT64 endpointHandle) {
  return IndexFindHandle(table.index, table.head, endpointHandle);
}

void Refresh(const EndpointTable& table, EndpointRecord* record, UINT64 processId, UINT32 localAddress,
             UINT16 localPort) {
  IndexRekey(table.index, record, localAddress, localPort);
  record->processId = processId;
}

// Refreshes the record of the handle if the table has one; true if it did.
// Otherwise *wantedBuckets is what the index wants for one more record.
bool RefreshExisting(const EndpointTable& table, UINT64 endpointHandle, UINT64 processId, UINT32 localAddress,
                     UINT16 localPort, ULONG* wantedBuckets) {
  KIRQL irql = KfAcquireSpinLock(table.lock);
  EndpointRecord* record = FindByHandle(table, endpointHandle);
  if (record != nullptr)
    Refresh(table, record, processId, localAddress, localPort);
  else
    *wantedBuckets = IndexWantedBuckets(table.index);
  KfReleaseSpinLock(table.lock, irql);
  return record != nullptr;
}

NqU32 LookupOwner(UINT8 protocol, NqU32 localAddress, NqU16 localPort, NqU64* processId) {
  DriverState* state = gDriverState;
  if (state == nullptr) return 0;
  EndpointTable table = TableFor(state, protocol);
  KIRQL irql = KfAcquireSpinLock(table.lock);
  EndpointRecord* record = IndexFindOwner(table.index, table.head, localAddress, localPort);
  if (record != nullptr) *processId = record->processId;
  KfReleaseSpinLock(table.lock, irql);
  return record != nullptr ? 1 : 0;
}
}  // namespace

void RecordEndpoint(UINT8 protocol, UINT64 endpointHandle, UINT64 processId, UINT32 localAddress, UINT16 localPort) {
  DriverState* state = gDriverState;
  if (state == nullptr) return;
  EndpointTable table = TableFor(state, protocol);
  ULONG wantedBuckets = 0;
  if (RefreshExisting(table, endpointHandle, processId, localAddress, localPort, &wantedBuckets)) return;

  // Allocated outside the lock; the search is repeated at the insertion so
  // that two events racing for the same fresh handle leave one record. The
  // index's larger buckets are optional: without them it keeps what it has.
  auto* fresh = static_cast<EndpointRecord*>(AllocateNonPaged(sizeof(EndpointRecord)));
  if (fresh == nullptr) return;
  fresh->endpointHandle = endpointHandle;
  fresh->processId = processId;
  fresh->localAddress = localAddress;
  fresh->localPort = localPort;
  void* buckets = wantedBuckets != 0 ? AllocateNonPaged(IndexBucketBytes(wantedBuckets)) : nullptr;

  KIRQL irql = KfAcquireSpinLock(table.lock);
  EndpointRecord* raced = FindByHandle(table, endpointHandle);
  if (raced != nullptr) {
    Refresh(table, raced, processId, localAddress, localPort);
  } else {
    InsertHeadList(table.head, &fresh->link);
    IndexInsert(table.index, fresh);
  }
  void* unused = buckets != nullptr ? IndexAdopt(table.index, table.head, buckets, wantedBuckets) : nullptr;
  KfReleaseSpinLock(table.lock, irql);
  if (raced != nullptr) FreeNonPaged(fresh);
  if (unused != nullptr) FreeNonPaged(unused);
}

bool FindUdpOwnerByHandle(UINT64 endpointHandle, UINT64* processId) {
  DriverState* state = gDriverState;
  if (state == nullptr) return false;
  EndpointTable table = TableFor(state, IPPROTO_UDP);
  KIRQL irql = KfAcquireSpinLock(table.lock);
  EndpointRecord* record = FindByHandle(table, endpointHandle);
  if (record != nullptr) *processId = record->processId;
  KfReleaseSpinLock(table.lock, irql);
  return record != nullptr;
}

bool ReleaseEndpoint(UINT8 protocol, UINT64 endpointHandle) {
  DriverState* state = gDriverState;
  if (state == nullptr) return false;
  EndpointTable table = TableFor(state, protocol);
  // Unlinked and freed in one hold of the lock: no reader sees it afterwards.
  void* buckets = nullptr;
  KIRQL irql = KfAcquireSpinLock(table.lock);
  EndpointRecord* record = FindByHandle(table, endpointHandle);
  if (record != nullptr) {
    RemoveEntryList(&record->link);
    IndexRemove(table.index, record);
    FreeNonPaged(record);
    buckets = IndexReleaseIfEmpty(table.index);
  }
  KfReleaseSpinLock(table.lock, irql);
  if (buckets != nullptr) FreeNonPaged(buckets);
  return record != nullptr;
}

NqU32 NQ_CLIENT_STDCALL LookupUdpEndpointOwner(NqU32 localAddress, NqU16 localPort, NqU64* processId) {
  return LookupOwner(IPPROTO_UDP, localAddress, localPort, processId);
}

NqU32 NQ_CLIENT_STDCALL LookupTcpEndpointOwner(NqU32 localAddress, NqU16 localPort, NqU64* processId) {
  return LookupOwner(IPPROTO_TCP, localAddress, localPort, processId);
}
