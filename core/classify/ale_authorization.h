// Shared by the four authorization layers: the facts of an event, the
// client's answer, pending, and the reauthorization that applies a pended
// verdict.
#pragma once
#include "core/classify/layer_handlers.h"
#include "core/worker/pend_record.h"

struct AleEvent {
  PendKind kind;
  UINT8 protocol;
  UINT32 flags;
  UINT32 localAddress;   // network byte order
  UINT16 localPort;
  UINT32 remoteAddress;  // network byte order; 0 for bind and listen
  UINT16 remotePort;
  UINT64 processId;
  NqThreadId threadId;
};

inline NqU32 IsTcp(UINT8 protocol) { return protocol == IPPROTO_TCP ? 1 : 0; }
inline bool IsTcpOrUdp(UINT8 protocol) { return protocol == IPPROTO_TCP || protocol == IPPROTO_UDP; }

// The layer's query, called with the pend handle preset to 0.
NqU32 QueryClient(ClientTable* client, const AleEvent& event, NqPendHandle* pendHandle);
// The layer's verdict report (none for a bind).
void ReportVerdict(ClientTable* client, const AleEvent& event, NqU32 blocked);

// The client asked for time: pends the operation and queues a record for the
// worker, or, when it cannot, gives the handle back and permits.
void PendDecision(const ClassifyArgs& args, ClientTable* client, const AleEvent& event, NqPendHandle pendHandle);

// Asks the client and applies an immediate answer or pends (steps shared by
// listen, accept and connect; binds apply their answer themselves).
void AuthorizeAndReport(const ClassifyArgs& args, const AleEvent& event);

// Reauthorizations of completed pended operations.
void ReauthorizeBind(const ClassifyArgs& args, const AleEvent& event, UINT64 endpointHandle);
void ReauthorizeListen(const ClassifyArgs& args, const AleEvent& event);
void ReauthorizeConnect(const ClassifyArgs& args, const AleEvent& event);
