// Transport and stream injection: what a callout injects is recorded, marked
// as injected through its handle, and completed later on another thread, as
// the platform completes injections asynchronously.
#include "host/kernel/state.h"
#include "host/ndis/net_buffer_table.h"
#include "host/wfp/flows.h"
#include "host/wfp/injection_state.h"
#include "host/wfp_classify.h"

#include <chrono>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <set>

namespace host::wfp {
namespace {
struct Pending {
  uint64_t sequence;  // of the injection in the record
  FWPS_INJECT_COMPLETE0* completionFn;
  HANDLE completionContext;
  NET_BUFFER_LIST* list;
  const UCHAR* remoteAddress;  // what the send parameters point at, read again at completion
};

void ReportUncompleted();

struct Injector {
  Injector() { verifier::AddEndOfTestCheck(ReportUncompleted); }
  std::mutex lock;
  std::condition_variable changed;
  // The history: injections from sequence number `first` on, each with the
  // completions still to come for it. Completed injections at its front go
  // once more than `keepCompleted` injections are held.
  std::deque<Injection> record;
  std::deque<unsigned> outstanding;
  uint64_t first = 0;
  size_t keepCompleted = SIZE_MAX;
  std::deque<Pending> queue;
  unsigned running = 0;
  bool held = false;
  bool started = false;
  std::set<const NET_BUFFER_LIST*> secured;
  std::vector<IpHeaderConstruction> headers;
  std::set<const NET_BUFFER_LIST*> inFlight;  // injected, completion not yet called
};
Injector& injector() { return host::detail::Forever<Injector>(); }

// The caller holds the lock.
Injection& Entry(Injector& inj, uint64_t sequence) { return inj.record[sequence - inj.first]; }

// Forgets the oldest completed injections beyond what the history keeps; one
// still waiting for a completion stays, and so does everything after it.
void TrimLocked(Injector& inj) {
  while (inj.record.size() > inj.keepCompleted && inj.outstanding.front() == 0 && inj.record.front().completed) {
    inj.record.pop_front();
    inj.outstanding.pop_front();
    ++inj.first;
  }
}

// Adds an injection to the history; returns its sequence number. The caller
// holds the lock.
uint64_t AppendLocked(Injector& inj, Injection entry) {
  inj.record.push_back(std::move(entry));
  inj.outstanding.push_back(0);
  return inj.first + inj.record.size() - 1;
}

// At the end of a test every injection has been completed: what is queued
// gets a moment to run, what is held back or never ran is reported.
void ReportUncompleted() {
  auto& inj = injector();
  std::unique_lock<std::mutex> guard(inj.lock);
  if (!inj.held)
    inj.changed.wait_for(guard, std::chrono::seconds(5), [&inj] { return inj.queue.empty() && inj.running == 0; });
  unsigned open = 0;
  for (const Injection& entry : inj.record) open += !entry.completed;
  guard.unlock();
  if (open != 0)
    verifier::Report("INJECTION_NOT_COMPLETED",
                     std::to_string(open) + " injection(s) still without their completion at the end of the test");
}

void CompleteOne(const Pending& p) {
  auto& inj = injector();
  if (p.remoteAddress != nullptr) {
    std::string now(reinterpret_cast<const char*>(p.remoteAddress), 4);
    std::string then;
    {
      std::lock_guard<std::mutex> guard(inj.lock);
      then = Entry(inj, p.sequence).remoteAddress;
    }
    if (now != then)
      verifier::Report("INJECTION_ARGUMENT_CHANGED",
                       "the remote address given to FwpsInjectTransportSendAsync0 changed before the injection "
                       "completed (freed or reused by the caller)");
  }
  p.list->Status = STATUS_SUCCESS;
  {
    // From here on the list is the completion function's again.
    std::lock_guard<std::mutex> guard(inj.lock);
    inj.inFlight.erase(p.list);
  }
  auto& self = host::detail::CurrentThread();
  self.irql = DISPATCH_LEVEL;
  p.completionFn(p.completionContext, p.list, TRUE);
  if (!self.heldLocks.empty()) verifier::Report("LOCK_HELD", "an injection completion returned with a spin lock held");
  self.irql = PASSIVE_LEVEL;
  std::lock_guard<std::mutex> guard(inj.lock);
  if (--inj.outstanding[p.sequence - inj.first] == 0) Entry(inj, p.sequence).completed = true;
  TrimLocked(inj);
}

void RunCompletions() {
  auto& inj = injector();
  std::unique_lock<std::mutex> guard(inj.lock);
  for (;;) {
    inj.changed.wait(guard, [&inj] { return host::detail::MachineStopping() || (!inj.held && !inj.queue.empty()); });
    if (host::detail::MachineStopping()) return;
    Pending p = inj.queue.front();
    inj.queue.pop_front();
    ++inj.running;
    guard.unlock();
    CompleteOne(p);
    guard.lock();
    --inj.running;
    inj.changed.notify_all();
  }
}

void WakeCompletions() {
  std::lock_guard<std::mutex> guard(injector().lock);
  injector().changed.notify_all();
}

std::string FirstBufferBytes(const NET_BUFFER_LIST* list) {
  return list != nullptr && list->FirstNetBuffer != nullptr ? ndis::DataBytes(list->FirstNetBuffer) : std::string();
}

// Records an injection and queues its completion: once for every net buffer
// list of the chain, as the platform calls the completion function.
NTSTATUS Inject(Injection entry, FWPS_INJECT_COMPLETE0* completionFn, HANDLE completionContext,
                const UCHAR* remoteAddress) {
  for (const NET_BUFFER_LIST* l = entry.list; l != nullptr; l = l->Next) MarkInjected(l, entry.injectionHandle);
  auto& inj = injector();
  std::lock_guard<std::mutex> guard(inj.lock);
  uint64_t sequence = AppendLocked(inj, std::move(entry));
  for (NET_BUFFER_LIST* l = inj.record.back().list; l != nullptr; l = l->Next) {
    inj.queue.push_back(Pending{sequence, completionFn, completionContext, l, remoteAddress});
    inj.inFlight.insert(l);
    ++inj.outstanding.back();
  }
  if (!inj.started) {
    inj.started = true;
    host::detail::StartServiceThread(RunCompletions, WakeCompletions);
  }
  inj.changed.notify_all();
  return STATUS_SUCCESS;
}
}  // namespace

namespace detail {
bool InjectionHoldsList(const NET_BUFFER_LIST* list) {
  std::lock_guard<std::mutex> guard(injector().lock);
  return injector().inFlight.count(list) != 0;
}

bool InjectionHoldsMdl(const MDL* mdl) {
  std::lock_guard<std::mutex> guard(injector().lock);
  for (const NET_BUFFER_LIST* list : injector().inFlight)
    for (const NET_BUFFER* nb = list->FirstNetBuffer; nb != nullptr; nb = nb->Next)
      for (const MDL* m = nb->MdlChain; m != nullptr; m = m->Next)
        if (m == mdl) return true;
  return false;
}
}  // namespace detail

std::vector<Injection> Injections() {
  std::lock_guard<std::mutex> guard(injector().lock);
  return std::vector<Injection>(injector().record.begin(), injector().record.end());
}

uint64_t InjectionsMade() {
  std::lock_guard<std::mutex> guard(injector().lock);
  return injector().first + injector().record.size();
}

std::vector<Injection> InjectionsSince(uint64_t* next, uint64_t* missed) {
  auto& inj = injector();
  std::lock_guard<std::mutex> guard(inj.lock);
  uint64_t from = std::max(*next, inj.first), end = inj.first + inj.record.size();
  if (missed != nullptr) *missed = from - std::min(*next, from);
  std::vector<Injection> out;
  if (from < end) out.assign(inj.record.begin() + static_cast<std::ptrdiff_t>(from - inj.first), inj.record.end());
  *next = std::max(*next, end);
  return out;
}

void KeepCompletedInjections(size_t count) {
  auto& inj = injector();
  std::lock_guard<std::mutex> guard(inj.lock);
  inj.keepCompleted = count;
  TrimLocked(inj);
}

void HoldInjectionCompletions(bool hold) {
  std::lock_guard<std::mutex> guard(injector().lock);
  injector().held = hold;
  injector().changed.notify_all();
}

void WaitInjectionsCompleted() {
  auto& inj = injector();
  std::unique_lock<std::mutex> guard(inj.lock);
  inj.changed.wait(guard, [&inj] { return inj.queue.empty() && inj.running == 0; });
}

unsigned LiveClones() { return ndis::detail::LiveClones(); }

void MarkIpsecSecured(const NET_BUFFER_LIST* list) {
  std::lock_guard<std::mutex> guard(injector().lock);
  injector().secured.insert(list);
}

std::vector<IpHeaderConstruction> IpHeaderConstructions() {
  std::lock_guard<std::mutex> guard(injector().lock);
  return injector().headers;
}

namespace {
// What both transport injections check and record first; a status other
// than success refuses the injection.
NTSTATUS StartTransportInjection(const char* routine, Injection::Kind kind, HANDLE injectionHandle, UINT32 flags,
                                 NET_BUFFER_LIST* netBufferList, FWPS_INJECT_COMPLETE0* completionFn,
                                 ADDRESS_FAMILY addressFamily, COMPARTMENT_ID compartmentId, Injection* entry) {
  verifier::RequireIrql(DISPATCH_LEVEL, routine);
  verifier::RequireNoSpinLockHeld(routine);
  if (NTSTATUS failure = faults::Check(routine)) return failure;
  if (injectionHandle == nullptr || netBufferList == nullptr || completionFn == nullptr || flags != 0)
    return STATUS_INVALID_PARAMETER;
  *entry = Injection{};
  entry->kind = kind;
  entry->injectionHandle = injectionHandle;
  entry->list = netBufferList;
  entry->data = FirstBufferBytes(netBufferList);
  entry->addressFamily = addressFamily;
  entry->compartmentId = compartmentId;
  return STATUS_SUCCESS;
}
}  // namespace

}  // namespace host::wfp

using namespace host;

extern "C" NTSTATUS NTAPI FwpsInjectTransportSendAsync0(HANDLE injectionHandle, HANDLE, UINT64 endpointHandle,
                                                        UINT32 flags, FWPS_TRANSPORT_SEND_PARAMS0* sendArgs,
                                                        ADDRESS_FAMILY addressFamily, COMPARTMENT_ID compartmentId,
                                                        NET_BUFFER_LIST* netBufferList,
                                                        FWPS_INJECT_COMPLETE0* completionFn,
                                                        HANDLE completionContext) {
  wfp::Injection entry;
  NTSTATUS status = wfp::StartTransportInjection("FwpsInjectTransportSendAsync0", wfp::Injection::TransportSend,
                                                 injectionHandle, flags, netBufferList, completionFn, addressFamily,
                                                 compartmentId, &entry);
  if (!NT_SUCCESS(status)) return status;
  entry.endpointHandle = endpointHandle;
  const UCHAR* remote = nullptr;
  if (sendArgs != nullptr) {
    remote = sendArgs->remoteAddress;
    if (remote != nullptr) entry.remoteAddress.assign(reinterpret_cast<const char*>(remote), 4);
    entry.remoteScopeId = sendArgs->remoteScopeId.Value;
    if (sendArgs->controlData != nullptr)
      entry.controlData.assign(reinterpret_cast<const char*>(sendArgs->controlData), sendArgs->controlDataLength);
  }
  return wfp::Inject(std::move(entry), completionFn, completionContext, remote);
}

extern "C" NTSTATUS NTAPI FwpsInjectTransportReceiveAsync0(HANDLE injectionHandle, HANDLE, PVOID, UINT32 flags,
                                                           ADDRESS_FAMILY addressFamily, COMPARTMENT_ID compartmentId,
                                                           IF_INDEX interfaceIndex, IF_INDEX subInterfaceIndex,
                                                           NET_BUFFER_LIST* netBufferList,
                                                           FWPS_INJECT_COMPLETE0* completionFn,
                                                           HANDLE completionContext) {
  wfp::Injection entry;
  NTSTATUS status = wfp::StartTransportInjection("FwpsInjectTransportReceiveAsync0",
                                                 wfp::Injection::TransportReceive, injectionHandle, flags,
                                                 netBufferList, completionFn, addressFamily, compartmentId, &entry);
  if (!NT_SUCCESS(status)) return status;
  entry.interfaceIndex = interfaceIndex;
  entry.subInterfaceIndex = subInterfaceIndex;
  return wfp::Inject(std::move(entry), completionFn, completionContext, nullptr);
}

namespace {
SIZE_T ChainDataLength(const NET_BUFFER_LIST* list) {
  SIZE_T total = 0;
  for (const NET_BUFFER_LIST* l = list; l != nullptr; l = l->Next)
    for (const NET_BUFFER* nb = l->FirstNetBuffer; nb != nullptr; nb = nb->Next) total += nb->DataLength;
  return total;
}

// What the platform refuses: reserved flags, a layer other than the stream
// layer, a flow the stack does not have, a direction that is not exactly one
// of send and receive, a length that is not the chain's, and no data without
// a disconnect to carry.
NTSTATUS CheckStreamInjection(HANDLE injectionHandle, UINT32 flags, UINT64 flowId, UINT16 layerId,
                              UINT32 streamFlags, const NET_BUFFER_LIST* netBufferList, SIZE_T dataLength,
                              FWPS_INJECT_COMPLETE0* completionFn) {
  if (injectionHandle == nullptr || flags != 0 || completionFn == nullptr) return STATUS_INVALID_PARAMETER;
  if (layerId != FWPS_LAYER_STREAM_V4) return STATUS_FWP_INCOMPATIBLE_LAYER;
  if (!wfp::detail::FlowIsLive(flowId)) return STATUS_FWP_NOT_FOUND;
  bool send = (streamFlags & FWPS_STREAM_FLAG_SEND) != 0;
  bool receive = (streamFlags & FWPS_STREAM_FLAG_RECEIVE) != 0;
  if (send == receive) return STATUS_INVALID_PARAMETER;
  if (netBufferList == nullptr) {
    UINT32 disconnect = send ? FWPS_STREAM_FLAG_SEND_DISCONNECT : FWPS_STREAM_FLAG_RECEIVE_DISCONNECT;
    return dataLength == 0 && (streamFlags & disconnect) != 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  }
  return dataLength == ChainDataLength(netBufferList) && dataLength != 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}
}  // namespace

// Completion comes once for each net buffer list of the chain, on another
// thread at DISPATCH_LEVEL; a disconnect alone has no list to complete, so
// its completion function is not called.
extern "C" NTSTATUS NTAPI FwpsStreamInjectAsync0(HANDLE injectionHandle, HANDLE, UINT32 flags, UINT64 flowId,
                                                 UINT32 calloutId, UINT16 layerId, UINT32 streamFlags,
                                                 NET_BUFFER_LIST* netBufferList, SIZE_T dataLength,
                                                 FWPS_INJECT_COMPLETE0* completionFn, HANDLE completionContext) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsStreamInjectAsync0");
  verifier::RequireNoSpinLockHeld("FwpsStreamInjectAsync0");
  if (NTSTATUS failure = faults::Check("FwpsStreamInjectAsync0")) return failure;
  NTSTATUS refused = CheckStreamInjection(injectionHandle, flags, flowId, layerId, streamFlags, netBufferList,
                                          dataLength, completionFn);
  if (refused != STATUS_SUCCESS) return refused;
  wfp::Injection entry{};
  entry.kind = wfp::Injection::Stream;
  entry.injectionHandle = injectionHandle;
  entry.list = netBufferList;
  for (const NET_BUFFER_LIST* l = netBufferList; l != nullptr; l = l->Next)
    for (const NET_BUFFER* nb = l->FirstNetBuffer; nb != nullptr; nb = nb->Next) entry.data += ndis::DataBytes(nb);
  entry.flowId = flowId;
  entry.calloutId = calloutId;
  entry.layerId = layerId;
  entry.streamFlags = streamFlags;
  entry.dataLength = dataLength;
  if (netBufferList == nullptr) {
    std::lock_guard<std::mutex> guard(wfp::injector().lock);
    entry.completed = true;
    wfp::AppendLocked(wfp::injector(), std::move(entry));
    wfp::TrimLocked(wfp::injector());
    return STATUS_SUCCESS;
  }
  return wfp::Inject(std::move(entry), completionFn, completionContext, nullptr);
}

extern "C" NTSTATUS NTAPI FwpsGetPacketListSecurityInformation0(NET_BUFFER_LIST* packetList, UINT32 queryFlags,
                                                                FWPS_PACKET_LIST_INFORMATION0* information) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsGetPacketListSecurityInformation0");
  if (NTSTATUS failure = faults::Check("FwpsGetPacketListSecurityInformation0")) return failure;
  // Exactly one direction must be asked for.
  UINT32 directions = queryFlags & (FWPS_PACKET_LIST_INFORMATION_QUERY_INBOUND |
                                    FWPS_PACKET_LIST_INFORMATION_QUERY_OUTBOUND);
  if (packetList == nullptr || information == nullptr || directions == 0 ||
      directions == (FWPS_PACKET_LIST_INFORMATION_QUERY_INBOUND | FWPS_PACKET_LIST_INFORMATION_QUERY_OUTBOUND))
    return STATUS_INVALID_PARAMETER;
  bool secured = false;
  {
    std::lock_guard<std::mutex> guard(wfp::injector().lock);
    for (const NET_BUFFER_LIST* l = packetList; l != nullptr && !secured; l = l->ParentNetBufferList)
      secured = wfp::injector().secured.count(l) != 0;
  }
  if ((queryFlags & FWPS_PACKET_LIST_INFORMATION_QUERY_IPSEC) && (directions & FWPS_PACKET_LIST_INFORMATION_QUERY_INBOUND) &&
      secured) {
    information->ipsecInformation.inbound.isSecure = 1;
    information->ipsecInformation.inbound.isTransportMode = 1;
  }
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpsConstructIpHeaderForTransportPacket0(
    NET_BUFFER_LIST* netBufferList, ULONG headerIncludeHeaderLength, ADDRESS_FAMILY addressFamily,
    const UCHAR* sourceAddress, const UCHAR* remoteAddress, IPPROTO nextProtocol, UINT64, const WSACMSGHDR*, ULONG,
    UINT32, PVOID, IF_INDEX, IF_INDEX) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsConstructIpHeaderForTransportPacket0");
  if (NTSTATUS failure = faults::Check("FwpsConstructIpHeaderForTransportPacket0")) return failure;
  if (netBufferList == nullptr || addressFamily != AF_INET || sourceAddress == nullptr || remoteAddress == nullptr)
    return STATUS_INVALID_PARAMETER;
  wfp::IpHeaderConstruction h{};
  h.list = netBufferList;
  h.headerLength = headerIncludeHeaderLength;
  std::memcpy(&h.source, sourceAddress, 4);
  std::memcpy(&h.destination, remoteAddress, 4);
  h.protocol = static_cast<UINT32>(nextProtocol);
  std::lock_guard<std::mutex> guard(wfp::injector().lock);
  wfp::injector().headers.push_back(h);
  return STATUS_SUCCESS;
}
