// Reauthorization: when a pended operation is completed, the engine
// classifies it again; the parked record of the first event carries the
// verdict to apply and, for connect and listen, to report.
#include "core/classify/ale_authorization.h"

#include "core/classify/endpoints.h"

namespace {
using RecordMatch = bool (*)(const PendRecord& record, const AleEvent& event);

// Unlinks the first parked record that matches the event; the caller owns it.
PendRecord* ClaimParked(KSPIN_LOCK* lock, LIST_ENTRY* list, const AleEvent& event, RecordMatch matches) {
  PendRecord* found = nullptr;
  KIRQL irql = KfAcquireSpinLock(lock);
  for (LIST_ENTRY* e = list->Flink; e != list; e = e->Flink) {
    PendRecord* record = CONTAINING_RECORD(e, PendRecord, link);
    if (matches(*record, event)) {
      RemoveEntryList(&record->link);
      found = record;
      break;
    }
  }
  KfReleaseSpinLock(lock, irql);
  return found;
}

bool SameBind(const PendRecord& r, const AleEvent& e) {
  return r.protocol == e.protocol && r.localAddress == e.localAddress && r.localPort == e.localPort;
}
bool SameListen(const PendRecord& r, const AleEvent& e) {
  return r.localPort == e.localPort && r.localAddress == e.localAddress;
}
bool SameConnect(const PendRecord& r, const AleEvent& e) {
  return r.protocol == e.protocol && r.localAddress == e.localAddress && r.localPort == e.localPort &&
         r.remoteAddress == e.remoteAddress && r.remotePort == e.remotePort;
}

// The pended event as the client was asked about it: the process and thread
// of the first classify, not of this one.
AleEvent PendedEvent(const PendRecord& r) {
  AleEvent e{};
  e.kind = static_cast<PendKind>(r.kind);
  e.protocol = r.protocol;
  e.localAddress = r.localAddress;
  e.localPort = r.localPort;
  e.remoteAddress = r.remoteAddress;
  e.remotePort = r.remotePort;
  e.processId = r.processId;
  e.threadId = r.threadId;
  return e;
}

// Applies a parked record's verdict, reports it while the client is ready,
// then frees the record. The verdict stands whether or not anyone is told.
void ApplyParked(const ClassifyArgs& args, PendRecord* record) {
  if (ClientTable* client = ReadyClient())
    ReportVerdict(client, PendedEvent(*record), record->verdict != FWP_ACTION_PERMIT ? 1 : 0);
  args.out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
  args.out->actionType = record->verdict;
  FreePendRecord(record);
}
}  // namespace

// A parked record is claimed and applied whether or not the client is ready
// now: it carries a verdict the client gave, and nothing else would free it.
void ReauthorizeBind(const ClassifyArgs& args, const AleEvent& event, UINT64 endpointHandle) {
  DriverState* state = gDriverState;
  PendRecord* record = ClaimParked(&state->bindLock, &state->decidedBinds, event, SameBind);
  if (record != nullptr) {
    UINT32 verdict = record->verdict;
    args.out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
    args.out->actionType = verdict;
    FreePendRecord(record);
    if (verdict == FWP_ACTION_BLOCK) return;
  }
  RecordEndpoint(event.protocol, endpointHandle, event.processId, event.localAddress, event.localPort);
}

void ReauthorizeListen(const ClassifyArgs& args, const AleEvent& event) {
  DriverState* state = gDriverState;
  PendRecord* record = ClaimParked(&state->listenLock, &state->decidedListens, event, SameListen);
  if (record != nullptr) ApplyParked(args, record);
}

void ReauthorizeConnect(const ClassifyArgs& args, const AleEvent& event) {
  if (args.meta->packetDirection != FWP_DIRECTION_OUTBOUND) return;
  DriverState* state = gDriverState;
  PendRecord* record = ClaimParked(&state->connectLock, &state->decidedConnects, event, SameConnect);
  if (record != nullptr) ApplyParked(args, record);
}
