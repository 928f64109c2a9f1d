// Flows and the contexts callouts associate with them. A callout registered
// conditional on flow is classified only for flows that carry its context;
// when a flow goes away, the engine tells each callout that associated one.
#include "host/kernel/state.h"
#include "host/wfp/flows.h"
#include "host/wfp/registry.h"

#include <map>
#include <tuple>

namespace host::wfp {
namespace {
using FlowKey = std::tuple<unsigned long long, UINT16, UINT32>;  // flow, layer, callout
struct Flows {
  std::mutex lock;
  std::map<FlowKey, unsigned long long> contexts;
};
Flows& flows() { return host::detail::Forever<Flows>(); }
}  // namespace

namespace detail {
bool FlowContextFor(UINT64 flowId, UINT16 layerId, UINT32 calloutId, UINT64* context) {
  std::lock_guard<std::mutex> guard(flows().lock);
  auto it = flows().contexts.find(FlowKey{flowId, layerId, calloutId});
  if (it == flows().contexts.end()) return false;
  *context = it->second;
  return true;
}
}  // namespace detail

unsigned FlowContextCount() {
  std::lock_guard<std::mutex> guard(flows().lock);
  return static_cast<unsigned>(flows().contexts.size());
}

void DeleteFlow(UINT64 flowId) {
  std::vector<std::pair<FlowKey, unsigned long long>> removed;
  {
    std::lock_guard<std::mutex> guard(flows().lock);
    for (auto it = flows().contexts.begin(); it != flows().contexts.end();) {
      if (std::get<0>(it->first) == flowId) {
        removed.push_back(*it);
        it = flows().contexts.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& [key, context] : removed) {
    UINT16 layerId = std::get<1>(key);
    UINT32 calloutId = std::get<2>(key);
    for (const auto& target : detail::TargetsForLayer(layerId)) {
      if (target.calloutId != calloutId || target.flowDeleteFn == nullptr) continue;
      target.flowDeleteFn(layerId, calloutId, context);
      if (host::kernel::HeldSpinLockCount() != 0)
        verifier::Report("LOCK_HELD", "a flow-delete function returned with a spin lock held");
      break;
    }
  }
}
}  // namespace host::wfp

using namespace host;

extern "C" NTSTATUS NTAPI FwpsFlowAssociateContext0(UINT64 flowId, UINT16 layerId, UINT32 calloutId,
                                                    UINT64 flowContext) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpsFlowAssociateContext0");
  if (NTSTATUS failure = faults::Check("FwpsFlowAssociateContext0")) return failure;
  bool registered = false;
  for (const auto& target : wfp::detail::TargetsForLayer(layerId)) registered |= target.calloutId == calloutId;
  if (!registered) return STATUS_FWP_CALLOUT_NOT_FOUND;
  std::lock_guard<std::mutex> guard(wfp::flows().lock);
  auto key = wfp::FlowKey{flowId, layerId, calloutId};
  if (wfp::flows().contexts.count(key) != 0) return STATUS_FWP_ALREADY_EXISTS;
  wfp::flows().contexts[key] = flowContext;
  return STATUS_SUCCESS;
}
