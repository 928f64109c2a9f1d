// The filter engine's management side: sessions, provider contexts,
// sublayers, callouts and filters, as FwpmEngineOpen0 and the Fwpm*Add0
// routines keep them. Every add copies what the caller passes (the caller's
// structures need not outlive the call) and refuses what the platform
// refuses: a duplicate key, a reference to an object or layer the engine
// does not have, a missing display name, an unknown session handle.
#include "host/wfp/engine.h"

#include <algorithm>

namespace host::wfp::detail {

Engine& TheEngine() { return host::detail::Forever<Engine>(); }

bool IsZero(const GUID& guid) { return SameGuid(guid, GUID{}); }

HANDLE NewHandleLocked(Engine& engine, HandleKind kind) {
  uintptr_t& next = engine.nextHandle[static_cast<int>(kind)];
  uintptr_t value = next;
  next += 4;
  return reinterpret_cast<HANDLE>(value);
}

GUID NewKeyLocked(Engine& engine) {
  uint64_t high = engine.keyGenerator();
  uint64_t low = engine.keyGenerator();
  GUID key;
  key.Data1 = static_cast<ULONG>(high >> 32);
  key.Data2 = static_cast<USHORT>(high >> 16);
  key.Data3 = static_cast<USHORT>((high & 0x0FFF) | 0x4000);  // version 4
  for (int i = 0; i < 8; ++i) key.Data4[i] = static_cast<UCHAR>(low >> (8 * i));
  key.Data4[0] = static_cast<UCHAR>((key.Data4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return key;
}

UINT32 CalloutIdLocked(Engine& engine, const GUID& key) {
  for (const auto& entry : engine.calloutIds)
    if (SameGuid(entry.first, key)) return entry.second;
  UINT32 id = engine.nextCalloutId++;
  engine.calloutIds.emplace_back(key, id);
  return id;
}

const SessionRecord* SessionLocked(Engine& engine, HANDLE handle) {
  for (const SessionRecord& session : engine.objects.sessions)
    if (session.handle == handle) return &session;
  return nullptr;
}

namespace {

std::string Text(const WCHAR* text) {
  if (text == nullptr) return "";
  size_t length = 0;
  while (text[length] != 0) ++length;
  return Utf16ToUtf8(text, length);
}

// The start of every add: the session, then the fields every management
// object carries (the FWPM structures name them alike). The engine knows no
// providers, so an object that names one is refused.
template <typename Source>
NTSTATUS CopyObjectLocked(Engine& engine, HANDLE session, const GUID& key, const Source& source, ObjectRecord& out) {
  if (SessionLocked(engine, session) == nullptr) return STATUS_INVALID_HANDLE;
  if (source.displayData.name == nullptr) return STATUS_FWP_NULL_DISPLAY_NAME;
  if (source.providerKey != nullptr) return STATUS_FWP_PROVIDER_NOT_FOUND;
  const FWP_BYTE_BLOB& data = source.providerData;
  if (data.size != 0 && data.data == nullptr) return STATUS_FWP_NULL_POINTER;
  out.key = key;
  out.name = Text(source.displayData.name);
  out.description = Text(source.displayData.description);
  out.flags = source.flags;
  out.providerKey.reset();
  out.providerData.assign(data.data, data.data + data.size);
  out.session = session;
  return STATUS_SUCCESS;
}

// A key the caller left zero is generated; a key already in use is refused.
template <typename Container>
NTSTATUS ClaimKeyLocked(Engine& engine, Container& existing, GUID& key) {
  if (IsZero(key)) {
    do key = NewKeyLocked(engine);
    while (FindByKey(existing, key) != nullptr);
    return STATUS_SUCCESS;
  }
  return FindByKey(existing, key) != nullptr ? STATUS_FWP_ALREADY_EXISTS : STATUS_SUCCESS;
}

NTSTATUS CopyClassifyOptions(const FWPM_CLASSIFY_OPTIONS0* options, std::vector<ClassifyOptionRecord>& out) {
  if (options == nullptr || (options->numOptions != 0 && options->options == nullptr)) return STATUS_FWP_NULL_POINTER;
  for (UINT32 i = 0; i < options->numOptions; ++i) {
    const FWPM_CLASSIFY_OPTION0& option = options->options[i];
    if (option.type >= FWP_CLASSIFY_OPTION_MAX) return STATUS_FWP_INVALID_PARAMETER;
    ClassifyOptionRecord record{option.type, option.value.type, 0};
    switch (option.value.type) {
      case FWP_EMPTY: break;
      case FWP_UINT8: record.value = option.value.uint8; break;
      case FWP_UINT16: record.value = option.value.uint16; break;
      case FWP_UINT32: record.value = option.value.uint32; break;
      case FWP_UINT64:
        if (option.value.uint64 == nullptr) return STATUS_FWP_NULL_POINTER;
        record.value = *option.value.uint64;
        break;
      default: return STATUS_FWP_INVALID_PARAMETER;  // the options are all numbers
    }
    out.push_back(record);
  }
  return STATUS_SUCCESS;
}

// The weight the engine gives a filter: FWP_UINT64 as given; otherwise an
// automatic weight below 2^60 that grows with the number of conditions, in
// the range an FWP_UINT8 names (range 0 for FWP_EMPTY).
NTSTATUS EffectiveWeight(const FWP_VALUE0& weight, UINT32 conditions, UINT64& value, UINT64& effective) {
  UINT64 automatic = static_cast<UINT64>(std::min<UINT32>(conditions, 15)) << (FWPM_AUTO_WEIGHT_BITS - 4);
  switch (weight.type) {
    case FWP_EMPTY:
      value = 0;
      effective = automatic;
      return STATUS_SUCCESS;
    case FWP_UINT8:
      if (weight.uint8 > FWPM_WEIGHT_RANGE_MAX) return STATUS_FWP_INVALID_WEIGHT;
      value = weight.uint8;
      effective = (value << FWPM_AUTO_WEIGHT_BITS) | automatic;
      return STATUS_SUCCESS;
    case FWP_UINT64:
      if (weight.uint64 == nullptr) return STATUS_FWP_NULL_POINTER;
      value = effective = *weight.uint64;
      return STATUS_SUCCESS;
    default:
      return STATUS_FWP_INVALID_WEIGHT;
  }
}

bool IsCalloutAction(FWP_ACTION_TYPE type) { return (type & FWP_ACTION_FLAG_CALLOUT) != 0; }

bool IsFilterAction(FWP_ACTION_TYPE type) {
  return type == FWP_ACTION_BLOCK || type == FWP_ACTION_PERMIT || type == FWP_ACTION_CALLOUT_TERMINATING ||
         type == FWP_ACTION_CALLOUT_INSPECTION || type == FWP_ACTION_CALLOUT_UNKNOWN;
}

UINT16 RuntimeFilterFlags(UINT32 managementFlags) {
  UINT16 flags = 0;
  if (managementFlags & FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT) flags |= FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT;
  if (managementFlags & FWPM_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED)
    flags |= FWPS_FILTER_FLAG_PERMIT_IF_CALLOUT_UNREGISTERED;
  return flags;
}

// Checks a filter against what the engine holds and fills in its record and
// run-time form. Expects the engine lock held.
NTSTATUS PrepareFilterLocked(Engine& engine, HANDLE engineHandle, const FWPM_FILTER0& filter, FilterRecord& record,
                             RuntimeFilter& out) {
  NTSTATUS status = CopyObjectLocked(engine, engineHandle, filter.filterKey, filter, record);
  if (!NT_SUCCESS(status)) return status;
  if (FindLayer(filter.layerKey) == nullptr) return STATUS_FWP_LAYER_NOT_FOUND;
  record.layerKey = filter.layerKey;
  // The engine has no default sublayer: a filter names one of the sublayers added.
  const SubLayerRecord* subLayer = FindByKey(engine.objects.subLayers, filter.subLayerKey);
  if (subLayer == nullptr) return STATUS_FWP_SUBLAYER_NOT_FOUND;
  record.subLayerKey = filter.subLayerKey;

  if (filter.numFilterConditions != 0 && filter.filterCondition == nullptr) return STATUS_FWP_NULL_POINTER;
  for (UINT32 i = 0; i < filter.numFilterConditions; ++i) {
    const FWPM_FILTER_CONDITION0& condition = filter.filterCondition[i];
    record.conditions.push_back({condition.fieldKey, condition.matchType, condition.conditionValue.type});
  }
  status = EffectiveWeight(filter.weight, filter.numFilterConditions, record.weightValue, record.effectiveWeight);
  if (!NT_SUCCESS(status)) return status;
  record.weightType = filter.weight.type;

  if (!IsFilterAction(filter.action.type)) return STATUS_FWP_INVALID_ACTION_TYPE;
  record.actionType = filter.action.type;
  record.actionKey = filter.action.calloutKey;  // the same bytes as filterType
  if (IsCalloutAction(filter.action.type)) {
    const CalloutRecord* callout = FindByKey(engine.objects.callouts, filter.action.calloutKey);
    if (callout == nullptr) return STATUS_FWP_CALLOUT_NOT_FOUND;
    if (!SameGuid(callout->applicableLayer, filter.layerKey)) return STATUS_FWP_INCOMPATIBLE_LAYER;
  }

  record.providerContextKey = GUID{};
  record.rawContext = 0;
  if (filter.flags & FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT) {
    if (FindByKey(engine.objects.providerContexts, filter.providerContextKey) == nullptr)
      return STATUS_FWP_PROVIDER_CONTEXT_NOT_FOUND;
    record.providerContextKey = filter.providerContextKey;
  } else {
    record.rawContext = filter.rawContext;
  }

  status = ClaimKeyLocked(engine, engine.objects.filters, record.key);
  if (!NT_SUCCESS(status)) return status;
  record.filterId = engine.nextFilterId++;

  out.weight = record.effectiveWeight;
  FWPS_FILTER1& runtime = out.filter;
  runtime = FWPS_FILTER1{};
  runtime.filterId = record.filterId;
  runtime.weight.type = FWP_UINT64;
  runtime.weight.uint64 = &out.weight;
  runtime.subLayerWeight = subLayer->weight;
  runtime.flags = RuntimeFilterFlags(record.flags);
  // Conditions are kept with the management record; the run-time filter
  // carries none, as the engine does not evaluate them.
  runtime.numFilterConditions = 0;
  runtime.filterCondition = nullptr;
  runtime.action.type = record.actionType;
  runtime.action.calloutId = IsCalloutAction(record.actionType) ? CalloutIdLocked(engine, record.actionKey) : 0;
  runtime.context = 0;
  runtime.providerContext = nullptr;
  return STATUS_SUCCESS;
}

}  // namespace

std::vector<ClassifyTarget> TargetsForLayer(UINT16 layerId) {
  std::vector<ClassifyTarget> targets;
  const LayerInfo* layer = FindLayer(layerId);
  if (layer == nullptr) return targets;
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  for (size_t i = 0; i < engine.objects.filters.size(); ++i) {
    const FilterRecord& filter = engine.objects.filters[i];
    if (!SameGuid(filter.layerKey, *layer->key) || !IsCalloutAction(filter.actionType)) continue;
    const RegisteredCalloutRecord* callout = FindByKey(engine.objects.registeredCallouts, filter.actionKey);
    if (callout == nullptr) continue;
    targets.push_back(ClassifyTarget{callout->classifyFn, callout->notifyFn, callout->flowDeleteFn,
                                     callout->calloutId, callout->flags, engine.runtimeFilters[i].filter});
  }
  std::stable_sort(targets.begin(), targets.end(), [](const ClassifyTarget& a, const ClassifyTarget& b) {
    if (a.filter.subLayerWeight != b.filter.subLayerWeight) return a.filter.subLayerWeight > b.filter.subLayerWeight;
    return *a.filter.weight.uint64 > *b.filter.weight.uint64;
  });
  return targets;
}

// Each thread keeps its own copy of every layer's targets, by layer id, and
// takes the engine lock only to make it again once a filter or callout has
// been added since. A classify under way keeps the copy it started with.
const TargetList& LayerTargets(UINT16 layerId) {
  constexpr UINT16 kLayerIds = 64;
  struct Known {
    uint64_t version = 0;
    TargetList targets;
  };
  thread_local Known known[kLayerIds];
  static const TargetList none = std::make_shared<const std::vector<ClassifyTarget>>();
  if (layerId >= kLayerIds) return none;
  Known& k = known[layerId];
  uint64_t version = TheEngine().targetsVersion.load(std::memory_order_acquire);
  if (k.version != version) {
    k.targets = std::make_shared<const std::vector<ClassifyTarget>>(TargetsForLayer(layerId));
    k.version = version;
  }
  return k.targets;
}

}  // namespace host::wfp::detail

using namespace host;
using namespace host::wfp;
using namespace host::wfp::detail;

namespace {
constexpr UINT32 kRpcAuthnDefault = 0xFFFFFFFF;
}

extern "C" NTSTATUS NTAPI FwpmEngineOpen0(const WCHAR* serverName, UINT32 authnService,
                                          SEC_WINNT_AUTH_IDENTITY_W*, const FWPM_SESSION0* session,
                                          HANDLE* engineHandle) {
  NQ_ENGINE_ROUTINE("FwpmEngineOpen0", PASSIVE_LEVEL);
  if (engineHandle == nullptr) return STATUS_FWP_NULL_POINTER;
  // A kernel-mode caller opens the local engine only.
  if (serverName != nullptr) return STATUS_INVALID_PARAMETER;
  if (authnService != RPC_C_AUTHN_WINNT && authnService != kRpcAuthnDefault) return STATUS_INVALID_PARAMETER;
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  // The engine is reached through the BFE's RPC end point, which exists only
  // while the service runs.
  if (engine.objects.bfeState != FWPM_SERVICE_RUNNING) return EPT_NT_NOT_REGISTERED;

  SessionRecord record{};
  if (session != nullptr) {
    record.key = session->sessionKey;
    record.name = Text(session->displayData.name);
    record.description = Text(session->displayData.description);
    record.flags = session->flags;
    record.txnWaitTimeoutInMSec = session->txnWaitTimeoutInMSec;
  }
  if (IsZero(record.key)) {
    record.key = NewKeyLocked(engine);
  } else {
    for (const SessionRecord& open : engine.objects.sessions)
      if (SameGuid(open.key, record.key)) return STATUS_FWP_ALREADY_EXISTS;
  }
  record.handle = NewHandleLocked(engine, HandleKind::Session);
  engine.objects.sessions.push_back(record);
  *engineHandle = record.handle;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmProviderContextAdd0(HANDLE engineHandle, const FWPM_PROVIDER_CONTEXT0* providerContext,
                                                  PSECURITY_DESCRIPTOR, UINT64* id) {
  NQ_ENGINE_ROUTINE("FwpmProviderContextAdd0", PASSIVE_LEVEL);
  if (providerContext == nullptr) return STATUS_FWP_NULL_POINTER;
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  ProviderContextRecord record{};
  NTSTATUS status =
      CopyObjectLocked(engine, engineHandle, providerContext->providerContextKey, *providerContext, record);
  if (!NT_SUCCESS(status)) return status;
  record.type = providerContext->type;
  switch (providerContext->type) {
    case FWPM_CLASSIFY_OPTIONS_CONTEXT:
      status = CopyClassifyOptions(providerContext->classifyOptions, record.classifyOptions);
      break;
    case FWPM_GENERAL_CONTEXT:
      if (providerContext->dataBuffer == nullptr ||
          (providerContext->dataBuffer->size != 0 && providerContext->dataBuffer->data == nullptr))
        return STATUS_FWP_NULL_POINTER;
      record.dataBuffer.assign(providerContext->dataBuffer->data,
                               providerContext->dataBuffer->data + providerContext->dataBuffer->size);
      break;
    default:
      return STATUS_NOT_IMPLEMENTED;  // the IPsec policy contexts are not modelled
  }
  if (!NT_SUCCESS(status)) return status;
  status = ClaimKeyLocked(engine, engine.objects.providerContexts, record.key);
  if (!NT_SUCCESS(status)) return status;
  record.providerContextId = engine.nextProviderContextId++;
  engine.objects.providerContexts.push_back(record);
  if (id != nullptr) *id = record.providerContextId;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmSubLayerAdd0(HANDLE engineHandle, const FWPM_SUBLAYER0* subLayer, PSECURITY_DESCRIPTOR) {
  NQ_ENGINE_ROUTINE("FwpmSubLayerAdd0", PASSIVE_LEVEL);
  if (subLayer == nullptr) return STATUS_FWP_NULL_POINTER;
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  SubLayerRecord record{};
  NTSTATUS status = CopyObjectLocked(engine, engineHandle, subLayer->subLayerKey, *subLayer, record);
  if (!NT_SUCCESS(status)) return status;
  record.weight = subLayer->weight;
  status = ClaimKeyLocked(engine, engine.objects.subLayers, record.key);
  if (!NT_SUCCESS(status)) return status;
  engine.objects.subLayers.push_back(record);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmCalloutAdd0(HANDLE engineHandle, const FWPM_CALLOUT0* callout, PSECURITY_DESCRIPTOR,
                                          UINT32* id) {
  NQ_ENGINE_ROUTINE("FwpmCalloutAdd0", PASSIVE_LEVEL);
  if (callout == nullptr) return STATUS_FWP_NULL_POINTER;
  Engine& engine = TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  CalloutRecord record{};
  NTSTATUS status = CopyObjectLocked(engine, engineHandle, callout->calloutKey, *callout, record);
  if (!NT_SUCCESS(status)) return status;
  if (FindLayer(callout->applicableLayer) == nullptr) return STATUS_FWP_LAYER_NOT_FOUND;
  record.applicableLayer = callout->applicableLayer;
  status = ClaimKeyLocked(engine, engine.objects.callouts, record.key);
  if (!NT_SUCCESS(status)) return status;
  record.calloutId = CalloutIdLocked(engine, record.key);
  engine.objects.callouts.push_back(record);
  if (id != nullptr) *id = record.calloutId;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, PSECURITY_DESCRIPTOR,
                                         UINT64* id) {
  NQ_ENGINE_ROUTINE("FwpmFilterAdd0", PASSIVE_LEVEL);
  if (filter == nullptr) return STATUS_FWP_NULL_POINTER;
  Engine& engine = TheEngine();
  FilterRecord record{};
  RuntimeFilter runtime{};
  FWPS_CALLOUT_NOTIFY_FN1* notify = nullptr;
  {
    std::lock_guard<std::mutex> guard(engine.lock);
    NTSTATUS status = PrepareFilterLocked(engine, engineHandle, *filter, record, runtime);
    if (!NT_SUCCESS(status)) return status;
    if (IsCalloutAction(record.actionType)) {
      const RegisteredCalloutRecord* callout = FindByKey(engine.objects.registeredCallouts, record.actionKey);
      if (callout != nullptr) notify = callout->notifyFn;
    }
  }
  // A callout registered at run time hears of each filter that names it as
  // the filter is added, and may refuse it. The engine lock is not held
  // across the call.
  if (notify != nullptr) {
    runtime.filter.weight.uint64 = &runtime.weight;
    if (!NT_SUCCESS(notify(FWPS_CALLOUT_NOTIFY_ADD_FILTER, &record.key, &runtime.filter)))
      return STATUS_FWP_CALLOUT_NOTIFICATION_FAILED;
  }
  std::lock_guard<std::mutex> guard(engine.lock);
  if (FindByKey(engine.objects.filters, record.key) != nullptr) return STATUS_FWP_ALREADY_EXISTS;
  engine.objects.filters.push_back(record);
  engine.runtimeFilters.push_back(runtime);
  engine.runtimeFilters.back().filter.weight.uint64 = &engine.runtimeFilters.back().weight;
  engine.targetsVersion.fetch_add(1, std::memory_order_release);
  if (id != nullptr) *id = record.filterId;
  return STATUS_SUCCESS;
}
