// The filter engine's callout side: run-time callout registration and
// injection handles. Neither needs the BFE: the filter engine runs in the
// kernel whatever the service does.
#include "host/wfp/engine.h"

using namespace host;
using namespace host::wfp;
using namespace host::wfp::detail;

namespace {
constexpr UINT32 kInjectionTypes = FWPS_INJECTION_TYPE_STREAM | FWPS_INJECTION_TYPE_TRANSPORT |
                                   FWPS_INJECTION_TYPE_NETWORK | FWPS_INJECTION_TYPE_FORWARD;
}

extern "C" NTSTATUS NTAPI FwpsCalloutRegister1(void* deviceObject, const FWPS_CALLOUT1* callout, UINT32* calloutId) {
  NQ_ENGINE_ROUTINE("FwpsCalloutRegister1", PASSIVE_LEVEL);
  if (deviceObject == nullptr || callout == nullptr) return STATUS_INVALID_PARAMETER;
  if (callout->classifyFn == nullptr || callout->notifyFn == nullptr) return STATUS_INVALID_PARAMETER;
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  if (FindByKey(engine.objects.registeredCallouts, callout->calloutKey) != nullptr) return STATUS_FWP_ALREADY_EXISTS;
  RegisteredCalloutRecord record{callout->calloutKey, CalloutIdLocked(engine, callout->calloutKey), callout->flags,
                                 callout->classifyFn,  callout->notifyFn,
                                 callout->flowDeleteFn, deviceObject};
  engine.objects.registeredCallouts.push_back(record);
  engine.targetsVersion.fetch_add(1, std::memory_order_release);
  if (calloutId != nullptr) *calloutId = record.calloutId;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpsInjectionHandleCreate0(ADDRESS_FAMILY addressFamily, UINT32 flags,
                                                     HANDLE* injectionHandle) {
  NQ_ENGINE_ROUTINE("FwpsInjectionHandleCreate0", PASSIVE_LEVEL);
  if (injectionHandle == nullptr) return STATUS_INVALID_PARAMETER;
  if (addressFamily != AF_UNSPEC && addressFamily != AF_INET && addressFamily != AF_INET6)
    return STATUS_INVALID_PARAMETER;
  if (flags == 0 || (flags & ~kInjectionTypes) != 0) return STATUS_INVALID_PARAMETER;
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  InjectionHandleRecord record{NewHandleLocked(engine, HandleKind::Injection), addressFamily, flags};
  engine.objects.injectionHandles.push_back(record);
  *injectionHandle = record.handle;
  return STATUS_SUCCESS;
}
