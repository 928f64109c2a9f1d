// A pended authorization decision, from the classify that pended it to the
// reauthorization that applies its verdict (or, for an accept, the worker).
#pragma once
#include "core/driver/driver_state.h"

enum PendKind : UINT8 {
  PendKindBind = 0,     // resource assignment
  PendKindConnect = 1,
  PendKindAccept = 2,   // receive/accept
  PendKindListen = 3,
};

struct PendRecord {
  UINT8 kind;
  NqPendHandle clientHandle;
  UINT32 verdict;  // FWP_ACTION_PERMIT when queued; the worker sets the final one
  UINT64 processId;
  NqThreadId threadId;
  UINT8 protocol;
  UINT32 localAddress;   // network byte order
  UINT16 localPort;      // host byte order
  UINT32 remoteAddress;  // network byte order
  UINT16 remotePort;
  SCOPE_ID remoteScopeId;
  void* controlData;  // the driver's own copy of the connect's control data
  UINT32 controlDataLength;
  UINT64 endpointHandle;
  UINT16 addressFamily;
  UINT32 compartmentId;
  UINT32 interfaceIndex;
  UINT32 subInterfaceIndex;
  NET_BUFFER_LIST* clonedNbl;  // the held packet, for connect and accept
  HANDLE completionContext;
  LIST_ENTRY link;
};

// Appends a filled record to the pend queue and wakes the worker. From here
// on the record belongs to the worker.
void QueuePendRecord(DriverState* state, PendRecord* record);

// Frees a record and the control-data copy it still owns.
void FreePendRecord(PendRecord* record);
