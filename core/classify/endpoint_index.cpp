// The endpoint tables' index. Each record carries its insertion sequence:
// records are inserted only at the head of the list, so list order is
// descending sequence, and every bucket is kept in that order too. The first
// record of a bucket with the key is then the first of the list with it;
// an owner lookup takes the newer of the first exact-address record and the
// first any-address record of the port.
#include "core/classify/endpoint_index.h"

#include "core/classify/endpoints.h"

namespace {
// Small tables are walked: the index is built once a table reaches this
// many records and given back when the table is empty again.
constexpr ULONG kIndexedFrom = 32;
constexpr ULONG kMinBuckets = 64;
// 2 x 8192 list heads: 128 KB on x86. Beyond that, buckets grow longer.
constexpr ULONG kMaxBuckets = 8192;
constexpr ULONG kLoadFactor = 2;
constexpr UINT32 kGoldenRatio = 0x9E3779B1u;

ULONG BucketOf(const EndpointIndex* index, UINT32 key) { return (key * kGoldenRatio) >> index->bucketShift; }

UINT32 HandleKey(UINT64 endpointHandle) {
  return static_cast<UINT32>(endpointHandle) ^ static_cast<UINT32>(endpointHandle >> 32);
}

UINT32 EndpointKey(UINT32 localAddress, UINT16 localPort) { return (localAddress * 0x85EBCA6Bu) ^ localPort; }

LIST_ENTRY* HandleBucket(const EndpointIndex* index, UINT64 endpointHandle) {
  return &index->byHandle[BucketOf(index, HandleKey(endpointHandle))];
}

LIST_ENTRY* EndpointBucket(const EndpointIndex* index, UINT32 localAddress, UINT16 localPort) {
  return &index->byEndpoint[BucketOf(index, EndpointKey(localAddress, localPort))];
}

bool OwnsEndpoint(const EndpointRecord* record, UINT32 localAddress, UINT16 localPort) {
  return (record->localAddress == 0 || record->localAddress == localAddress) && record->localPort == localPort;
}

// The newest record of the bucket with exactly this address and port.
EndpointRecord* FirstWithKey(const EndpointIndex* index, UINT32 localAddress, UINT16 localPort) {
  LIST_ENTRY* bucket = EndpointBucket(index, localAddress, localPort);
  for (LIST_ENTRY* e = bucket->Flink; e != bucket; e = e->Flink) {
    EndpointRecord* record = CONTAINING_RECORD(e, EndpointRecord, endpointLink);
    if (record->localAddress == localAddress && record->localPort == localPort) return record;
  }
  return nullptr;
}

// Into its endpoint bucket behind every newer record.
void InsertByAge(const EndpointIndex* index, EndpointRecord* record) {
  LIST_ENTRY* bucket = EndpointBucket(index, record->localAddress, record->localPort);
  LIST_ENTRY* before = bucket->Flink;
  while (before != bucket && CONTAINING_RECORD(before, EndpointRecord, endpointLink)->sequence > record->sequence)
    before = before->Flink;
  InsertTailList(before, &record->endpointLink);  // in front of `before`
}

ULONG ShiftFor(ULONG bucketCount) {
  ULONG shift = 32;
  for (ULONG n = bucketCount; n > 1; n >>= 1) --shift;
  return shift;
}
}  // namespace

EndpointRecord* FirstRecordWithHandle(LIST_ENTRY* head, UINT64 endpointHandle) {
  for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
    EndpointRecord* record = CONTAINING_RECORD(e, EndpointRecord, link);
    if (record->endpointHandle == endpointHandle) return record;
  }
  return nullptr;
}

EndpointRecord* FirstRecordForEndpoint(LIST_ENTRY* head, UINT32 localAddress, UINT16 localPort) {
  for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
    EndpointRecord* record = CONTAINING_RECORD(e, EndpointRecord, link);
    if (OwnsEndpoint(record, localAddress, localPort)) return record;
  }
  return nullptr;
}

EndpointRecord* IndexFindHandle(const EndpointIndex* index, LIST_ENTRY* head, UINT64 endpointHandle) {
  if (index->byHandle == nullptr) return FirstRecordWithHandle(head, endpointHandle);
  LIST_ENTRY* bucket = HandleBucket(index, endpointHandle);
  for (LIST_ENTRY* e = bucket->Flink; e != bucket; e = e->Flink) {
    EndpointRecord* record = CONTAINING_RECORD(e, EndpointRecord, handleLink);
    if (record->endpointHandle == endpointHandle) return record;
  }
  return nullptr;
}

EndpointRecord* IndexFindOwner(const EndpointIndex* index, LIST_ENTRY* head, UINT32 localAddress, UINT16 localPort) {
  if (index->byHandle == nullptr) return FirstRecordForEndpoint(head, localAddress, localPort);
  EndpointRecord* anyAddress = FirstWithKey(index, 0, localPort);
  if (localAddress == 0) return anyAddress;
  EndpointRecord* exact = FirstWithKey(index, localAddress, localPort);
  if (exact == nullptr) return anyAddress;
  if (anyAddress == nullptr) return exact;
  return exact->sequence > anyAddress->sequence ? exact : anyAddress;
}

void IndexInsert(EndpointIndex* index, EndpointRecord* record) {
  record->sequence = ++index->lastSequence;
  ++index->recordCount;
  if (index->byHandle == nullptr) return;
  InsertHeadList(HandleBucket(index, record->endpointHandle), &record->handleLink);
  InsertHeadList(EndpointBucket(index, record->localAddress, record->localPort), &record->endpointLink);
}

void IndexRemove(EndpointIndex* index, EndpointRecord* record) {
  --index->recordCount;
  if (index->byHandle == nullptr) return;
  RemoveEntryList(&record->handleLink);
  RemoveEntryList(&record->endpointLink);
}

void IndexRekey(EndpointIndex* index, EndpointRecord* record, UINT32 localAddress, UINT16 localPort) {
  bool moves = record->localAddress != localAddress || record->localPort != localPort;
  if (index->byHandle != nullptr && moves) RemoveEntryList(&record->endpointLink);
  record->localAddress = localAddress;
  record->localPort = localPort;
  if (index->byHandle != nullptr && moves) InsertByAge(index, record);
}

ULONG IndexWantedBuckets(const EndpointIndex* index) {
  if (index->byHandle == nullptr) return index->recordCount + 1 >= kIndexedFrom ? kMinBuckets : 0;
  if (index->bucketCount >= kMaxBuckets || index->recordCount < index->bucketCount * kLoadFactor) return 0;
  return index->bucketCount * 2;
}

SIZE_T IndexBucketBytes(ULONG bucketCount) { return 2 * static_cast<SIZE_T>(bucketCount) * sizeof(LIST_ENTRY); }

void* IndexAdopt(EndpointIndex* index, LIST_ENTRY* head, void* buckets, ULONG bucketCount) {
  if (bucketCount <= index->bucketCount) return buckets;
  void* old = index->byHandle;
  index->byHandle = static_cast<LIST_ENTRY*>(buckets);
  index->byEndpoint = index->byHandle + bucketCount;
  index->bucketCount = bucketCount;
  index->bucketShift = ShiftFor(bucketCount);
  for (ULONG i = 0; i < 2 * bucketCount; ++i) InitializeListHead(&index->byHandle[i]);
  // Oldest first, each at the head of its buckets: newest first in each.
  for (LIST_ENTRY* e = head->Blink; e != head; e = e->Blink) {
    EndpointRecord* record = CONTAINING_RECORD(e, EndpointRecord, link);
    InsertHeadList(HandleBucket(index, record->endpointHandle), &record->handleLink);
    InsertHeadList(EndpointBucket(index, record->localAddress, record->localPort), &record->endpointLink);
  }
  return old;
}

void* IndexReleaseIfEmpty(EndpointIndex* index) {
  if (index->recordCount != 0 || index->byHandle == nullptr) return nullptr;
  void* buckets = index->byHandle;
  index->byHandle = nullptr;
  index->byEndpoint = nullptr;
  index->bucketCount = 0;
  index->bucketShift = 0;
  return buckets;
}
