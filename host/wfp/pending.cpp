// Pending and completion of authorization operations, and the
// reauthorization the engine performs when a pended operation completes.
#include "host/kernel/state.h"
#include "host/wfp/operations.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>

namespace host::wfp {
namespace {

enum class OperationState { Classifying, Pended, Completed, Reauthorized };

struct Operation {
  FWPS_CALLOUT_CLASSIFY_FN1* classifyFn;
  FWPS_FILTER1 filter;
  ClassifyEvent event;
  OperationState state = OperationState::Classifying;
  Reauthorization reauthorization;
  Operation(FWPS_CALLOUT_CLASSIFY_FN1* fn, const FWPS_FILTER1& f, const ClassifyEvent& e)
      : classifyFn(fn), filter(f), event(e) {}
};

struct Operations {
  std::mutex lock;
  std::condition_variable changed;
  std::map<uintptr_t, std::shared_ptr<Operation>> byCompletionHandle;
  std::map<uintptr_t, std::shared_ptr<Operation>> byCompletionContext;
  uintptr_t nextHandle = 0x10000;
  ReauthorizeMode mode = ReauthorizeMode::InsideCompletion;
  std::deque<std::shared_ptr<Operation>> later;
  bool laterThreadStarted = false;
};
Operations& ops() { return host::detail::Forever<Operations>(); }

void Reauthorize(const std::shared_ptr<Operation>& op) {
  ClassifyEvent event = op->event;
  UINT32 flagsField = detail::FlagsField(event.layerId);
  event.Set(flagsField, event.Get(flagsField) | FWP_CONDITION_FLAG_IS_REAUTHORIZE);
  // The pended packet was flushed when the operation was pended; the
  // reauthorization carries no packet. What the callout gave the completion
  // is only kept for the record.
  event.layerData = nullptr;
  event.meta.completionHandle = nullptr;
  event.meta.currentMetadataValues &= ~FWPS_METADATA_FIELD_COMPLETION_HANDLE;
  event.rights = FWPS_RIGHT_ACTION_WRITE;
  ClassifyResult result = InvokeClassify(op->classifyFn, op->filter, event);
  std::lock_guard<std::mutex> guard(ops().lock);
  op->reauthorization.result = result;
  op->state = OperationState::Reauthorized;
  ops().changed.notify_all();
}

void RunLaterReauthorizations() {
  auto& o = ops();
  std::unique_lock<std::mutex> guard(o.lock);
  for (;;) {
    o.changed.wait(guard, [&o] { return host::detail::MachineStopping() || !o.later.empty(); });
    if (host::detail::MachineStopping()) return;
    auto op = o.later.front();
    o.later.pop_front();
    guard.unlock();
    Reauthorize(op);
    guard.lock();
  }
}

void WakeLaterReauthorizations() {
  std::lock_guard<std::mutex> guard(ops().lock);
  ops().changed.notify_all();
}
}  // namespace

namespace detail {
bool IsPendableLayer(UINT16 layerId) {
  return layerId == FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4 || layerId == FWPS_LAYER_ALE_AUTH_LISTEN_V4 ||
         layerId == FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4 || layerId == FWPS_LAYER_ALE_AUTH_CONNECT_V4;
}

UINT32 FlagsField(UINT16 layerId) {
  switch (layerId) {
    case FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4: return FWPS_FIELD_ALE_RESOURCE_ASSIGNMENT_V4_FLAGS;
    case FWPS_LAYER_ALE_AUTH_LISTEN_V4: return FWPS_FIELD_ALE_AUTH_LISTEN_V4_FLAGS;
    case FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4: return FWPS_FIELD_ALE_AUTH_RECV_ACCEPT_V4_FLAGS;
    case FWPS_LAYER_ALE_AUTH_CONNECT_V4: return FWPS_FIELD_ALE_AUTH_CONNECT_V4_FLAGS;
    case FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4: return FWPS_FIELD_ALE_FLOW_ESTABLISHED_V4_FLAGS;
    case FWPS_LAYER_DATAGRAM_DATA_V4: return FWPS_FIELD_DATAGRAM_DATA_V4_FLAGS;
    case FWPS_LAYER_INBOUND_IPPACKET_V4: return FWPS_FIELD_INBOUND_IPPACKET_V4_FLAGS;
    case FWPS_LAYER_STREAM_V4: return FWPS_FIELD_STREAM_V4_FLAGS;
    default: return FWPS_FIELD_ALE_RESOURCE_RELEASE_V4_FLAGS;
  }
}

HANDLE BeginOperation(FWPS_CALLOUT_CLASSIFY_FN1* classifyFn, const FWPS_FILTER1& filter, const ClassifyEvent& event) {
  auto op = std::make_shared<Operation>(classifyFn, filter, event);
  std::lock_guard<std::mutex> guard(ops().lock);
  uintptr_t handle = ops().nextHandle;
  ops().nextHandle += 0x10;
  ops().byCompletionHandle[handle] = op;
  return reinterpret_cast<HANDLE>(handle);
}

bool EndOperation(HANDLE completionHandle) {
  std::lock_guard<std::mutex> guard(ops().lock);
  auto it = ops().byCompletionHandle.find(reinterpret_cast<uintptr_t>(completionHandle));
  if (it == ops().byCompletionHandle.end()) return false;
  bool pended = it->second->state != OperationState::Classifying;
  if (!pended) ops().byCompletionHandle.erase(it);
  return pended;
}
}  // namespace detail

void SetReauthorizeMode(ReauthorizeMode mode) {
  std::lock_guard<std::mutex> guard(ops().lock);
  ops().mode = mode;
}

bool WaitReauthorized(HANDLE completionHandle, Reauthorization* out, unsigned timeoutMs) {
  auto& o = ops();
  std::unique_lock<std::mutex> guard(o.lock);
  auto it = o.byCompletionHandle.find(reinterpret_cast<uintptr_t>(completionHandle));
  if (it == o.byCompletionHandle.end()) return false;
  std::shared_ptr<Operation> op = it->second;
  bool done = o.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&op] { return op->state == OperationState::Reauthorized; });
  if (!done) return false;
  if (out != nullptr) *out = op->reauthorization;
  o.byCompletionHandle.erase(reinterpret_cast<uintptr_t>(completionHandle));
  return true;
}

unsigned PendedOperationCount() {
  std::lock_guard<std::mutex> guard(ops().lock);
  unsigned n = 0;
  for (const auto& entry : ops().byCompletionContext) n += entry.second->state == OperationState::Pended;
  return n;
}

}  // namespace host::wfp

using namespace host;

extern "C" NTSTATUS NTAPI FwpsPendOperation0(HANDLE completionHandle, HANDLE* completionContext) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsPendOperation0");
  verifier::RequireNoSpinLockHeld("FwpsPendOperation0");
  if (NTSTATUS failure = faults::Check("FwpsPendOperation0")) return failure;
  auto& o = wfp::ops();
  std::lock_guard<std::mutex> guard(o.lock);
  auto it = o.byCompletionHandle.find(reinterpret_cast<uintptr_t>(completionHandle));
  if (completionHandle == nullptr || it == o.byCompletionHandle.end() ||
      it->second->state != wfp::OperationState::Classifying)
    return STATUS_FWP_INVALID_PARAMETER;  // not an operation being classified now
  it->second->state = wfp::OperationState::Pended;
  uintptr_t context = o.nextHandle;
  o.nextHandle += 0x10;
  o.byCompletionContext[context] = it->second;
  *completionContext = reinterpret_cast<HANDLE>(context);
  return STATUS_SUCCESS;
}

extern "C" void NTAPI FwpsCompleteOperation0(HANDLE completionContext, NET_BUFFER_LIST* netBufferList) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsCompleteOperation0");
  verifier::RequireNoSpinLockHeld("FwpsCompleteOperation0");
  faults::Check("FwpsCompleteOperation0");  // counted; returns nothing to fail with
  auto& o = wfp::ops();
  std::shared_ptr<wfp::Operation> op;
  wfp::ReauthorizeMode mode;
  {
    std::lock_guard<std::mutex> guard(o.lock);
    auto it = o.byCompletionContext.find(reinterpret_cast<uintptr_t>(completionContext));
    if (it == o.byCompletionContext.end()) {
      verifier::Report("INVALID_COMPLETION_CONTEXT", "FwpsCompleteOperation0 of an operation that is not pended");
      return;
    }
    op = it->second;
    o.byCompletionContext.erase(it);
    op->state = wfp::OperationState::Completed;
    op->reauthorization.completedWith = netBufferList;
    mode = o.mode;
    if (mode == wfp::ReauthorizeMode::Later) {
      o.later.push_back(op);
      if (!o.laterThreadStarted) {
        o.laterThreadStarted = true;
        host::detail::StartServiceThread(wfp::RunLaterReauthorizations, wfp::WakeLaterReauthorizations);
      }
      o.changed.notify_all();
    }
  }
  if (mode == wfp::ReauthorizeMode::InsideCompletion) wfp::Reauthorize(op);
}
