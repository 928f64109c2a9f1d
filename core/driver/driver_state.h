// The driver's one global record of run-time state, and the two globals
// through which every part of the driver reaches it and the client table.
#pragma once
#include "platform/wdk.h"
#include "core/driver/client_table.h"

// Element index of each callout's run-time identifier in calloutIds.
enum CalloutSlot : UINT32 {
  CalloutSlotResourceAssignment = 0,
  CalloutSlotResourceRelease = 1,
  CalloutSlotAuthConnect = 2,
  CalloutSlotAuthRecvAccept = 3,
  CalloutSlotAuthListen = 4,
  CalloutSlotFlowEstablished = 5,
  CalloutSlotStream = 6,
  CalloutSlotDatagramData = 7,
  CalloutSlotInboundIpPacket = 8,
  CalloutSlotCount = 9,
};

struct DriverState {
  NDIS_HANDLE genericObject;
  NDIS_HANDLE nblPool;
  HANDLE streamInjection;
  HANDLE transportInjection;
  HANDLE engine;
  UINT32 calloutIds[CalloutSlotCount];
  KSPIN_LOCK pendLock;
  LIST_ENTRY pendQueue;
  KEVENT pendEvent;
  KSPIN_LOCK bindLock;
  LIST_ENTRY decidedBinds;
  KSPIN_LOCK connectLock;
  LIST_ENTRY decidedConnects;
  KSPIN_LOCK listenLock;
  LIST_ENTRY decidedListens;
  KSPIN_LOCK udpLock;
  LIST_ENTRY udpEndpoints;
  KSPIN_LOCK tcpLock;
  LIST_ENTRY tcpEndpoints;
  PDRIVER_OBJECT driverObject;
  PDEVICE_OBJECT deviceObject;
  HANDLE bfeChangeHandle;
  PIO_WORKITEM workItem;
};

// Set once by DriverEntry, never changed afterwards; null until then.
extern DriverState* gDriverState;
extern ClientTable* gClientTable;

DriverState* InitDriverState(DriverState* state);

// Pool allocations of the driver: non-paged, tag 0, as everywhere in it.
inline void* AllocateNonPaged(SIZE_T size) { return ExAllocatePoolWithTag(NonPagedPool, size, 0); }
inline void FreeNonPaged(void* p) { ExFreePoolWithTag(p, 0); }

// The client is asked only while it has raised its ready flag; the table and
// the flag are read at the moment of use, never cached.
inline ClientTable* ReadyClient() {
  ClientTable* table = gClientTable;
  return (table != nullptr && table->ClientReady != 0) ? table : nullptr;
}
