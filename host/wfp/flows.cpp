// Flows and the contexts callouts associate with them. A callout registered
// conditional on flow is classified only for flows that carry its context;
// when a flow goes away, the engine tells each callout that associated one,
// once, after the flow's last classify has returned.
#include "host/kernel/state.h"
#include "host/wfp/flows.h"
#include "host/wfp/registry.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <set>
#include <tuple>

namespace host::wfp {
namespace {
using FlowKey = std::tuple<unsigned long long, UINT16, UINT32>;  // flow, layer, callout
// What the engine keeps of a flow from its first classify (or EstablishFlow)
// until DeleteFlow and the last classify of it have both happened: a
// classify finds it in place and allocates nothing.
struct FlowState {
  unsigned classifying = 0;  // classifies of the flow still running
  bool live = false;
};
struct Flows {
  std::mutex lock;
  std::condition_variable classifyEnded;
  std::map<FlowKey, unsigned long long> contexts;
  std::map<unsigned long long, FlowState> byId;
};
Flows& flows() { return host::detail::Forever<Flows>(); }

// Flows the current thread is classifying now; a deletion from inside one of
// them cannot wait for it.
thread_local std::vector<unsigned long long> tClassifying;

bool InsideClassifyOf(UINT64 flowId) {
  return std::find(tClassifying.begin(), tClassifying.end(), flowId) != tClassifying.end();
}

// Removes every context of the flow, once no classify of it runs any more.
std::vector<std::pair<FlowKey, unsigned long long>> TakeContexts(UINT64 flowId) {
  std::vector<std::pair<FlowKey, unsigned long long>> removed;
  std::unique_lock<std::mutex> guard(flows().lock);
  unsigned own = static_cast<unsigned>(std::count(tClassifying.begin(), tClassifying.end(), flowId));
  flows().classifyEnded.wait(guard, [&] {
    auto it = flows().byId.find(flowId);
    return it == flows().byId.end() || it->second.classifying <= own;
  });
  auto state = flows().byId.find(flowId);
  if (state != flows().byId.end()) {
    state->second.live = false;
    if (state->second.classifying == 0) flows().byId.erase(state);
  }
  for (auto it = flows().contexts.begin(); it != flows().contexts.end();) {
    if (std::get<0>(it->first) == flowId) {
      removed.push_back(*it);
      it = flows().contexts.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0* FlowDeleteFnOf(UINT16 layerId, UINT32 calloutId) {
  for (const auto& target : *detail::LayerTargets(layerId))
    if (target.calloutId == calloutId) return target.flowDeleteFn;
  return nullptr;
}
}  // namespace

namespace detail {
bool FlowContextFor(UINT64 flowId, UINT16 layerId, UINT32 calloutId, UINT64* context) {
  std::lock_guard<std::mutex> guard(flows().lock);
  auto it = flows().contexts.find(FlowKey{flowId, layerId, calloutId});
  if (it == flows().contexts.end()) return false;
  *context = it->second;
  return true;
}

bool FlowIsLive(UINT64 flowId) {
  std::lock_guard<std::mutex> guard(flows().lock);
  auto it = flows().byId.find(flowId);
  return it != flows().byId.end() && it->second.live;
}

FlowClassify::FlowClassify(UINT64 flowId) : flowId_(flowId) {
  if (flowId_ == 0) return;
  std::lock_guard<std::mutex> guard(flows().lock);
  FlowState& state = flows().byId[flowId_];
  state.live = true;
  ++state.classifying;
  tClassifying.push_back(flowId_);
}

FlowClassify::~FlowClassify() {
  if (flowId_ == 0) return;
  std::lock_guard<std::mutex> guard(flows().lock);
  auto it = flows().byId.find(flowId_);
  if (--it->second.classifying == 0 && !it->second.live) flows().byId.erase(it);
  tClassifying.erase(std::find(tClassifying.begin(), tClassifying.end(), flowId_));
  flows().classifyEnded.notify_all();
}
}  // namespace detail

void EstablishFlow(UINT64 flowId) {
  std::lock_guard<std::mutex> guard(flows().lock);
  flows().byId[flowId].live = true;
}

unsigned FlowContextCount() {
  std::lock_guard<std::mutex> guard(flows().lock);
  return static_cast<unsigned>(flows().contexts.size());
}

void DeleteFlow(UINT64 flowId) {
  if (InsideClassifyOf(flowId))
    verifier::Report("HOST_USAGE", "DeleteFlow from inside a classify of the same flow");
  for (const auto& [key, context] : TakeContexts(flowId)) {
    UINT16 layerId = std::get<1>(key);
    UINT32 calloutId = std::get<2>(key);
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0* flowDeleteFn = FlowDeleteFnOf(layerId, calloutId);
    if (flowDeleteFn == nullptr) continue;
    flowDeleteFn(layerId, calloutId, context);
    if (host::kernel::HeldSpinLockCount() != 0)
      verifier::Report("LOCK_HELD", "a flow-delete function returned with a spin lock held");
  }
}
}  // namespace host::wfp

using namespace host;

// As documented: a zero context or a callout without a flow-delete function
// at the layer is an invalid parameter; a second context for the same flow,
// layer and callout is refused with STATUS_OBJECT_NAME_EXISTS, which is an
// informational status (NT_SUCCESS holds for it) and associates nothing.
extern "C" NTSTATUS NTAPI FwpsFlowAssociateContext0(UINT64 flowId, UINT16 layerId, UINT32 calloutId,
                                                    UINT64 flowContext) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsFlowAssociateContext0");
  if (NTSTATUS failure = faults::Check("FwpsFlowAssociateContext0")) return failure;
  if (flowContext == 0 || wfp::FlowDeleteFnOf(layerId, calloutId) == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(wfp::flows().lock);
  auto key = wfp::FlowKey{flowId, layerId, calloutId};
  if (wfp::flows().contexts.count(key) != 0) return STATUS_OBJECT_NAME_EXISTS;
  wfp::flows().contexts[key] = flowContext;
  return STATUS_SUCCESS;
}
