// The host platform's filter engine as tests and tools see it: the state of
// the Base Filtering Engine (BFE) service, and a read-only view of what the
// management and callout interfaces hold: sessions, provider contexts,
// sublayers, callouts, filters, run-time callout registrations, injection
// handles and BFE subscriptions. Also the NDIS objects that NDIS's pool
// routines handed out. The driver never includes this header.
//
// The engine models nine IPv4 filtering layers (host/wfp/layers.cpp). It
// keeps filter conditions with their filters but does not evaluate them, and
// it has no providers and no default sublayer.
#pragma once
#include "host/host.h"

#include <optional>

namespace host::wfp {

// ---- The BFE service -----------------------------------------------------------------
// RUNNING when the machine boots.
FWPM_SERVICE_STATE BfeState();
// Changes the service state. On a change every subscriber is notified, one
// after the other, on the filter engine's notification thread (a system
// thread, at PASSIVE_LEVEL); returns once every notification has returned.
// Not to be called from a notification.
void SetBfeState(FWPM_SERVICE_STATE state);
// The next FwpmBfeStateSubscribeChanges0 finds the service changing to
// `state` just before its subscription is in place: existing subscribers
// hear of it, the new one does not. The moment a subscriber can miss.
void ChangeBfeStateDuringNextSubscribe(FWPM_SERVICE_STATE state);

// ---- What the engine holds -----------------------------------------------------------
struct SessionRecord {
  HANDLE handle;
  GUID key;  // engine-generated when the caller left it zero
  std::string name, description;
  UINT32 flags;
  UINT32 txnWaitTimeoutInMSec;
  bool Dynamic() const { return (flags & FWPM_SESSION_FLAG_DYNAMIC) != 0; }
};

// Fields every management object carries. `session` is the session that
// added it.
struct ObjectRecord {
  GUID key;
  std::string name, description;
  UINT32 flags;
  std::optional<GUID> providerKey;
  std::vector<UINT8> providerData;
  HANDLE session;
};

struct ClassifyOptionRecord {
  FWP_CLASSIFY_OPTION_TYPE type;
  FWP_DATA_TYPE valueType;
  UINT64 value;  // the scalar value, widened
};

struct ProviderContextRecord : ObjectRecord {
  FWPM_PROVIDER_CONTEXT_TYPE type;
  std::vector<ClassifyOptionRecord> classifyOptions;  // FWPM_CLASSIFY_OPTIONS_CONTEXT, in the caller's order
  std::vector<UINT8> dataBuffer;                      // FWPM_GENERAL_CONTEXT
  UINT64 providerContextId;
};

struct SubLayerRecord : ObjectRecord {
  UINT16 weight;
};

struct CalloutRecord : ObjectRecord {
  GUID applicableLayer;
  UINT32 calloutId;  // the run-time identifier, shared with FwpsCalloutRegister1
};

struct FilterConditionRecord {
  GUID fieldKey;
  FWP_MATCH_TYPE matchType;
  FWP_DATA_TYPE valueType;
};

struct FilterRecord : ObjectRecord {
  GUID layerKey;
  GUID subLayerKey;
  FWP_DATA_TYPE weightType;  // as the caller gave it: FWP_EMPTY, FWP_UINT8 or FWP_UINT64
  UINT64 weightValue;        // the FWP_UINT8 range or FWP_UINT64 weight given; 0 for FWP_EMPTY
  UINT64 effectiveWeight;    // the weight the engine assigned
  std::vector<FilterConditionRecord> conditions;
  FWP_ACTION_TYPE actionType;
  GUID actionKey;  // action.calloutKey for callout actions, else action.filterType
  GUID providerContextKey;  // with FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT
  UINT64 rawContext;        // without it
  UINT64 filterId;
};

// A callout registered at run time with FwpsCalloutRegister1.
struct RegisteredCalloutRecord {
  GUID key;
  UINT32 calloutId;
  UINT32 flags;
  FWPS_CALLOUT_CLASSIFY_FN1* classifyFn;
  FWPS_CALLOUT_NOTIFY_FN1* notifyFn;
  FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0* flowDeleteFn;
  void* deviceObject;
};

struct InjectionHandleRecord {
  HANDLE handle;
  ADDRESS_FAMILY addressFamily;
  UINT32 injectionType;  // FWPS_INJECTION_TYPE_* flags
};

struct BfeSubscriptionRecord {
  HANDLE handle;
  void* deviceObject;
  FWPM_SERVICE_STATE_CHANGE_CALLBACK0* callback;
  void* context;
  std::vector<FWPM_SERVICE_STATE> notified;  // states delivered to it, in order
};

// A copy of the engine's objects at one moment, each list in the order the
// objects were made.
struct EngineView {
  FWPM_SERVICE_STATE bfeState = FWPM_SERVICE_RUNNING;
  std::vector<BfeSubscriptionRecord> bfeSubscriptions;
  std::vector<SessionRecord> sessions;
  std::vector<ProviderContextRecord> providerContexts;
  std::vector<SubLayerRecord> subLayers;
  std::vector<CalloutRecord> callouts;
  std::vector<FilterRecord> filters;
  std::vector<RegisteredCalloutRecord> registeredCallouts;
  std::vector<InjectionHandleRecord> injectionHandles;

  // Lookups by key (filters: by the callout their action names); null when absent.
  const ProviderContextRecord* FindProviderContext(const GUID& key) const;
  const SubLayerRecord* FindSubLayer(const GUID& key) const;
  const CalloutRecord* FindCallout(const GUID& key) const;
  const FilterRecord* FindFilterForCallout(const GUID& calloutKey) const;
  const RegisteredCalloutRecord* FindRegisteredCallout(const GUID& key) const;
};
EngineView View();

// The view as one JSON object, the objects named and laid out the way
// `netsh wfp show state` reports them.
std::string ToJson(const EngineView& view);

bool SameGuid(const GUID& a, const GUID& b);
// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lower case.
std::string GuidText(const GUID& guid);
// "FWPM_LAYER_STREAM_V4" and the like; empty for a layer the engine does not model.
std::string LayerName(const GUID& layerKey);
std::string ServiceStateName(FWPM_SERVICE_STATE state);

}  // namespace host::wfp

namespace host::ndis {

// An NdisAllocateGenericObject result with the arguments it was made from.
struct GenericObjectRecord {
  PNDIS_GENERIC_OBJECT object;
  PDRIVER_OBJECT driverObject;
  ULONG tag;
  USHORT size;
};
// An NdisAllocateNetBufferListPool result with its parameters.
struct NetBufferListPoolRecord {
  NDIS_HANDLE pool;
  NDIS_HANDLE ndisHandle;
  NET_BUFFER_LIST_POOL_PARAMETERS parameters;
};
std::vector<GenericObjectRecord> GenericObjects();
std::vector<NetBufferListPoolRecord> NetBufferListPools();
// The pool behind a handle NdisAllocateNetBufferListPool returned, if any.
std::optional<NetBufferListPoolRecord> FindNetBufferListPool(NDIS_HANDLE pool);

}  // namespace host::ndis
