// Tables of local TCP and UDP endpoints and the processes that own them.
#pragma once
#include "core/driver/driver_state.h"

struct EndpointRecord {
  UINT64 endpointHandle;
  UINT64 processId;
  UINT32 localAddress;  // network byte order; 0 = bound to any address
  UINT16 localPort;     // host byte order
  LIST_ENTRY link;
  // The table's index (endpoint_index.h): the record's insertion order
  // (higher is newer) and its links in the two kinds of buckets.
  UINT64 sequence;
  LIST_ENTRY handleLink;
  LIST_ENTRY endpointLink;
};

// Records or refreshes one endpoint; protocol 6 selects the TCP table, any
// other value the UDP table. An allocation failure is silent.
void RecordEndpoint(UINT8 protocol, UINT64 endpointHandle, UINT64 processId, UINT32 localAddress, UINT16 localPort);

// The owner of a UDP endpoint by its transport endpoint handle.
bool FindUdpOwnerByHandle(UINT64 endpointHandle, UINT64* processId);

// Removes and frees the newest record of the handle; protocol 6 selects the
// TCP table, any other value the UDP table. True if one was removed.
bool ReleaseEndpoint(UINT8 protocol, UINT64 endpointHandle);

// The two services of the client table.
NqU32 NQ_CLIENT_STDCALL LookupUdpEndpointOwner(NqU32 localAddress, NqU16 localPort, NqU64* processId);
NqU32 NQ_CLIENT_STDCALL LookupTcpEndpointOwner(NqU32 localAddress, NqU16 localPort, NqU64* processId);

// The plain searches of a table's list from its head, which the index
// answers exactly as; the caller holds the table's lock.
EndpointRecord* FirstRecordWithHandle(LIST_ENTRY* head, UINT64 endpointHandle);
EndpointRecord* FirstRecordForEndpoint(LIST_ENTRY* head, UINT32 localAddress, UINT16 localPort);
