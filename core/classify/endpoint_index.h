// An index over one endpoint table: by endpoint handle and by local address
// and port, answering exactly as a walk of the table's list from its head
// does. It lives under the table's lock; every function here is called with
// that lock held. Without bucket arrays (a small table, or the pool refused
// them) every search walks the list instead.
#pragma once
#include "core/driver/driver_state.h"

struct EndpointRecord;

struct EndpointIndex {
  LIST_ENTRY* byHandle;    // bucketCount heads, or null: the list is searched
  LIST_ENTRY* byEndpoint;  // bucketCount heads, in the same pool block
  ULONG bucketCount;       // a power of two
  ULONG bucketShift;       // 32 - log2(bucketCount)
  ULONG recordCount;       // records in the table
  UINT64 lastSequence;     // the sequence of the newest record
};

// The first record of the list with the handle, or null.
EndpointRecord* IndexFindHandle(const EndpointIndex* index, LIST_ENTRY* head, UINT64 endpointHandle);
// The first record of the list that owns the endpoint: its port equals the
// given one and its address is 0 or the given one.
EndpointRecord* IndexFindOwner(const EndpointIndex* index, LIST_ENTRY* head, UINT32 localAddress, UINT16 localPort);

// A record inserted at the head of the list, and one unlinked from it.
void IndexInsert(EndpointIndex* index, EndpointRecord* record);
void IndexRemove(EndpointIndex* index, EndpointRecord* record);
// A record's address and port change in place; the record keeps its place.
void IndexRekey(EndpointIndex* index, EndpointRecord* record, UINT32 localAddress, UINT16 localPort);

// The bucket count the index wants before one more record is inserted, or
// 0 when it has enough. The caller allocates IndexBucketBytes of it outside
// the lock and hands the block to IndexAdopt; without it the index keeps
// what it has.
ULONG IndexWantedBuckets(const EndpointIndex* index);
SIZE_T IndexBucketBytes(ULONG bucketCount);
// Rebuilds the index from the list into the block when it is larger than
// the one in use; returns the block the caller frees after the lock (the
// old one, or the given one when it was not needed).
void* IndexAdopt(EndpointIndex* index, LIST_ENTRY* head, void* buckets, ULONG bucketCount);
// An empty table gives its buckets back: the block the caller frees after
// the lock, or null.
void* IndexReleaseIfEmpty(EndpointIndex* index);
