// The per-flow record of a TCP flow at the stream layer: the flow's owning
// process, its endpoints, the HTTP switches and byte accounting, and the
// embedded HTTP parser with its request queue.
#pragma once
#include "core/http/http_parser.h"

struct FlowContext {
  UINT64 processId;      // owning process, from the flow's metadata
  UINT32 httpEnabled;    // 1 while HTTP request inspection is on
  UINT32 localAddress;   // network byte order
  UINT16 localPort;      // host order
  UINT32 remoteAddress;  // network byte order
  UINT16 remotePort;     // host order
  UINT32 pendingBytes;   // stream bytes not yet accounted to a released request
  UINT8 canReplace;      // requests may still be answered in place of the server
  HttpParser parser;     // its last three members are the flow's request queue
};
NQ_X86_ASSERT(__builtin_offsetof(FlowContext, httpEnabled) == 8);
NQ_X86_ASSERT(__builtin_offsetof(FlowContext, localAddress) == 12);
NQ_X86_ASSERT(__builtin_offsetof(FlowContext, localPort) == 16);
NQ_X86_ASSERT(__builtin_offsetof(FlowContext, remoteAddress) == 20);
NQ_X86_ASSERT(__builtin_offsetof(FlowContext, remotePort) == 24);
NQ_X86_ASSERT(__builtin_offsetof(FlowContext, pendingBytes) == 28);
NQ_X86_ASSERT(__builtin_offsetof(FlowContext, canReplace) == 32);
NQ_X86_ASSERT(__builtin_offsetof(FlowContext, parser) == 36);
NQ_X86_ASSERT(sizeof(FlowContext) == 848);

// The flow context value WFP hands back is the record's address.
inline UINT64 FlowContextValue(FlowContext* context) {
  return static_cast<UINT64>(reinterpret_cast<ULONG_PTR>(context));
}
inline FlowContext* FlowContextFromValue(UINT64 value) {
  return reinterpret_cast<FlowContext*>(static_cast<ULONG_PTR>(value));
}

// Fills a fresh context whose parser is initialised disabled (state 5) with
// an empty queue, canReplace and pendingBytes 0. Outbound flows to remote
// port 80 or 8080 get HTTP inspection.
void InitFlowContext(FlowContext* context, UINT32 outbound, UINT16 remotePort, UINT64 processId,
                     UINT32 localAddress, UINT16 localPort, UINT32 remoteAddress);

// Allocates and initialises the context of a new TCP flow; null when the
// pool is exhausted.
FlowContext* CreateFlowContext(UINT32 outbound, UINT16 remotePort, UINT64 processId, UINT32 localAddress,
                               UINT16 localPort, UINT32 remoteAddress);
// Empties the request queue and frees the context.
void FreeFlowContext(FlowContext* context);

// The stream callout's flow-delete function.
VOID NTAPI FlowDeleteNotify(UINT16 layerId, UINT32 calloutId, UINT64 flowContext);
