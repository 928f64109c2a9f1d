// The host filter engine behaves as the platform documents where the driver
// relies on it: sessions and the BFE, what an add keeps and refuses, callout
// identifiers and notifications, the order of classify targets, NDIS pools.
#include "host/wfp.h"
#include "host/wfp/registry.h"
#include "tests/support/machine.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

std::string Key(const GUID& guid) { return host::wfp::GuidText(guid); }

const GUID kSubLayer = {0x11111111, 0x1, 0x1, {1, 1, 1, 1, 1, 1, 1, 1}};
const GUID kOtherSubLayer = {0x11111111, 0x2, 0x2, {2, 2, 2, 2, 2, 2, 2, 2}};
const GUID kCallout = {0x22222222, 0x1, 0x1, {1, 1, 1, 1, 1, 1, 1, 1}};
const GUID kOtherCallout = {0x22222222, 0x2, 0x2, {2, 2, 2, 2, 2, 2, 2, 2}};
const GUID kContext = {0x33333333, 0x1, 0x1, {1, 1, 1, 1, 1, 1, 1, 1}};
WCHAR kName[] = u"test \"object\"";

class HostWfp : public nqtest::MachineTest {
 protected:
  void SetUp() override { ASSERT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine_), 0); }

  NTSTATUS AddSubLayer(const GUID& key, UINT16 weight) {
    FWPM_SUBLAYER0 subLayer{};
    subLayer.subLayerKey = key;
    subLayer.displayData.name = kName;
    subLayer.weight = weight;
    return FwpmSubLayerAdd0(engine_, &subLayer, nullptr);
  }
  NTSTATUS AddCallout(const GUID& key, const GUID& layer, UINT32* id = nullptr) {
    FWPM_CALLOUT0 callout{};
    callout.calloutKey = key;
    callout.displayData.name = kName;
    callout.applicableLayer = layer;
    return FwpmCalloutAdd0(engine_, &callout, nullptr, id);
  }
  NTSTATUS AddContext(const GUID& key) {
    FWPM_CLASSIFY_OPTION0 option{};
    option.type = FWP_CLASSIFY_OPTION_UNICAST_LIFETIME;
    option.value.type = FWP_UINT32;
    option.value.uint32 = 90;
    FWPM_CLASSIFY_OPTIONS0 options{1, &option};
    FWPM_PROVIDER_CONTEXT0 context{};
    context.providerContextKey = key;
    context.displayData.name = kName;
    context.type = FWPM_CLASSIFY_OPTIONS_CONTEXT;
    context.classifyOptions = &options;
    return FwpmProviderContextAdd0(engine_, &context, nullptr, nullptr);
  }
  // A callout filter at the stream layer in kSubLayer; tests change what they need.
  FWPM_FILTER0 StreamFilter(const GUID& callout) {
    FWPM_FILTER0 filter{};
    filter.displayData.name = kName;
    filter.layerKey = FWPM_LAYER_STREAM_V4;
    filter.subLayerKey = kSubLayer;
    filter.action.type = FWP_ACTION_CALLOUT_TERMINATING;
    filter.action.calloutKey = callout;
    return filter;
  }
  void ExpectViolation(const std::string& rule) {
    bool found = false;
    for (const auto& text : host::verifier::Violations()) found |= text.rfind(rule, 0) == 0;
    EXPECT_TRUE(found) << "expected a " << rule << " violation";
    host::verifier::Clear();
  }

  HANDLE engine_ = nullptr;
};

// ---- callouts the tests register ------------------------------------------------------
VOID NTAPI NoClassify(const FWPS_INCOMING_VALUES0*, const FWPS_INCOMING_METADATA_VALUES0*, void*, const void*,
                      const FWPS_FILTER1*, UINT64, FWPS_CLASSIFY_OUT0*) {}

struct NotifySeen {
  int calls = 0;
  FWPS_CALLOUT_NOTIFY_TYPE type{};
  GUID filterKey{};
  UINT32 actionCalloutId = 0;
  NTSTATUS answer = STATUS_SUCCESS;
} gNotify;

NTSTATUS NTAPI RecordNotify(FWPS_CALLOUT_NOTIFY_TYPE type, const GUID* filterKey, FWPS_FILTER1* filter) {
  ++gNotify.calls;
  gNotify.type = type;
  gNotify.filterKey = *filterKey;
  gNotify.actionCalloutId = filter->action.calloutId;
  filter->context = 0xC0FFEE;  // the callout's own per-filter context
  return gNotify.answer;
}

NTSTATUS Register(const GUID& key, UINT32* id) {
  static DEVICE_OBJECT device{};
  FWPS_CALLOUT1 callout{};
  callout.calloutKey = key;
  callout.classifyFn = NoClassify;
  callout.notifyFn = RecordNotify;
  return FwpsCalloutRegister1(&device, &callout, id);
}

// ---- sessions and the BFE ------------------------------------------------------------
TEST_F(HostWfp, EngineOpensOnlyWhileTheBfeRuns) {
  host::wfp::SetBfeState(FWPM_SERVICE_START_PENDING);
  HANDLE engine = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), EPT_NT_NOT_REGISTERED);
  EXPECT_EQ(engine, reinterpret_cast<HANDLE>(0x1234)) << "the handle is left alone";
  EXPECT_EQ(FwpmBfeStateGet0(), FWPM_SERVICE_START_PENDING);

  host::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
  FWPM_SESSION0 session{};
  session.flags = FWPM_SESSION_FLAG_DYNAMIC;
  ASSERT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &engine), STATUS_SUCCESS);
  EXPECT_NE(engine, engine_);
  auto view = host::wfp::View();
  ASSERT_EQ(view.sessions.size(), 2u);
  EXPECT_TRUE(view.sessions[1].Dynamic());
  EXPECT_NE(Key(view.sessions[1].key), Key(view.sessions[0].key));
  EXPECT_EQ(FwpmEngineOpen0(u"remote", RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), STATUS_INVALID_PARAMETER);
}

struct BfeCallbackSeen {
  std::atomic<int> calls{0};
  std::atomic<uint64_t> threadId{0};
  std::atomic<int> irql{-1};
  FWPM_SERVICE_STATE last = FWPM_SERVICE_RUNNING;
} gBfe;

VOID NTAPI RecordBfe(PVOID context, FWPM_SERVICE_STATE state) {
  EXPECT_EQ(context, &gBfe);
  gBfe.last = state;
  gBfe.threadId = host::kernel::CurrentThreadId();
  gBfe.irql = host::kernel::CurrentIrql();
  ++gBfe.calls;
}

TEST_F(HostWfp, BfeChangesReachSubscribersOnAnotherThreadBeforeSetBfeStateReturns) {
  DEVICE_OBJECT device{};
  HANDLE subscription = nullptr;
  ASSERT_EQ(FwpmBfeStateSubscribeChanges0(&device, RecordBfe, &gBfe, &subscription), STATUS_SUCCESS);
  EXPECT_NE(subscription, nullptr);
  host::wfp::SetBfeState(FWPM_SERVICE_STOP_PENDING);
  EXPECT_EQ(gBfe.calls.load(), 1);
  EXPECT_EQ(gBfe.last, FWPM_SERVICE_STOP_PENDING);
  EXPECT_NE(gBfe.threadId.load(), host::kernel::CurrentThreadId());
  EXPECT_EQ(gBfe.irql.load(), PASSIVE_LEVEL);
  host::wfp::SetBfeState(FWPM_SERVICE_STOP_PENDING);
  EXPECT_EQ(gBfe.calls.load(), 1) << "no change, no notification";
}

// ---- what an add keeps and refuses ----------------------------------------------------
TEST_F(HostWfp, AddsKeepCopiesOfWhatTheCallerPassed) {
  WCHAR name[] = u"before";
  UINT64 weight = 7;
  FWPM_CLASSIFY_OPTION0 options[2] = {};
  options[0].type = FWP_CLASSIFY_OPTION_MCAST_BCAST_LIFETIME;
  options[0].value.type = FWP_UINT32;
  options[0].value.uint32 = 30;
  options[1].type = FWP_CLASSIFY_OPTION_UNICAST_LIFETIME;
  options[1].value.type = FWP_UINT64;
  options[1].value.uint64 = &weight;
  FWPM_CLASSIFY_OPTIONS0 list{2, options};
  FWPM_PROVIDER_CONTEXT0 context{};
  context.providerContextKey = kContext;
  context.displayData.name = name;
  context.type = FWPM_CLASSIFY_OPTIONS_CONTEXT;
  context.classifyOptions = &list;
  UINT64 contextId = 0;
  ASSERT_EQ(FwpmProviderContextAdd0(engine_, &context, nullptr, &contextId), STATUS_SUCCESS);
  std::memcpy(name, u"after!", sizeof(name));
  options[0].value.uint32 = 99;
  weight = 8;

  auto view = host::wfp::View();
  const auto* kept = view.FindProviderContext(kContext);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->name, "before");
  EXPECT_EQ(kept->description, "");
  ASSERT_EQ(kept->classifyOptions.size(), 2u);
  EXPECT_EQ(kept->classifyOptions[0].value, 30u);
  EXPECT_EQ(kept->classifyOptions[1].value, 7u);
  EXPECT_EQ(kept->providerContextId, contextId);
  EXPECT_EQ(kept->session, engine_);
  EXPECT_NE(host::wfp::ToJson(view).find("\"name\": \"before\""), std::string::npos);
}

TEST_F(HostWfp, ADuplicateKeyIsRefusedForEveryKindOfObject) {
  ASSERT_EQ(AddContext(kContext), STATUS_SUCCESS);
  EXPECT_EQ(AddContext(kContext), STATUS_FWP_ALREADY_EXISTS);
  ASSERT_EQ(AddSubLayer(kSubLayer, 1), STATUS_SUCCESS);
  EXPECT_EQ(AddSubLayer(kSubLayer, 2), STATUS_FWP_ALREADY_EXISTS);
  ASSERT_EQ(AddCallout(kCallout, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
  EXPECT_EQ(AddCallout(kCallout, FWPM_LAYER_STREAM_V4), STATUS_FWP_ALREADY_EXISTS);
  FWPM_FILTER0 filter = StreamFilter(kCallout);
  filter.filterKey = kOtherCallout;
  ASSERT_EQ(FwpmFilterAdd0(engine_, &filter, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(FwpmFilterAdd0(engine_, &filter, nullptr, nullptr), STATUS_FWP_ALREADY_EXISTS);
  ASSERT_EQ(Register(kCallout, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Register(kCallout, nullptr), STATUS_FWP_ALREADY_EXISTS);

  auto view = host::wfp::View();
  EXPECT_EQ(view.providerContexts.size(), 1u);
  EXPECT_EQ(view.subLayers.size(), 1u);
  EXPECT_EQ(view.subLayers[0].weight, 1u) << "the first one stays as it was";
  EXPECT_EQ(view.callouts.size(), 1u);
  EXPECT_EQ(view.filters.size(), 1u);
  EXPECT_EQ(view.registeredCallouts.size(), 1u);
}

TEST_F(HostWfp, AFilterNamingWhatTheEngineDoesNotHaveIsRefused) {
  ASSERT_EQ(AddSubLayer(kSubLayer, 1), STATUS_SUCCESS);
  ASSERT_EQ(AddCallout(kCallout, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
  ASSERT_EQ(AddCallout(kOtherCallout, FWPM_LAYER_DATAGRAM_DATA_V4), STATUS_SUCCESS);
  auto add = [this](FWPM_FILTER0 filter, HANDLE engine = nullptr) {
    return FwpmFilterAdd0(engine != nullptr ? engine : engine_, &filter, nullptr, nullptr);
  };
  FWPM_FILTER0 filter = StreamFilter(kCallout);
  filter.subLayerKey = kOtherSubLayer;
  EXPECT_EQ(add(filter), STATUS_FWP_SUBLAYER_NOT_FOUND);
  filter = StreamFilter(kCallout);
  filter.subLayerKey = GUID{};
  EXPECT_EQ(add(filter), STATUS_FWP_SUBLAYER_NOT_FOUND);
  EXPECT_EQ(add(StreamFilter(kContext)), STATUS_FWP_CALLOUT_NOT_FOUND);
  EXPECT_EQ(add(StreamFilter(kOtherCallout)), STATUS_FWP_INCOMPATIBLE_LAYER);
  filter = StreamFilter(kCallout);
  filter.flags = FWPM_FILTER_FLAG_HAS_PROVIDER_CONTEXT;
  filter.providerContextKey = kContext;
  EXPECT_EQ(add(filter), STATUS_FWP_PROVIDER_CONTEXT_NOT_FOUND);
  filter = StreamFilter(kCallout);
  filter.layerKey = kSubLayer;
  EXPECT_EQ(add(filter), STATUS_FWP_LAYER_NOT_FOUND);
  filter = StreamFilter(kCallout);
  filter.displayData.name = nullptr;
  EXPECT_EQ(add(filter), STATUS_FWP_NULL_DISPLAY_NAME);
  filter = StreamFilter(kCallout);
  filter.action.type = FWP_ACTION_CONTINUE;
  EXPECT_EQ(add(filter), STATUS_FWP_INVALID_ACTION_TYPE);
  EXPECT_EQ(add(StreamFilter(kCallout), reinterpret_cast<HANDLE>(0x77)), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(host::wfp::View().filters.empty());

  EXPECT_EQ(AddCallout(kContext, kSubLayer), STATUS_FWP_LAYER_NOT_FOUND) << "a callout at an unknown layer";
}

TEST_F(HostWfp, EmptyFilterKeysAndWeightsAreAssignedByTheEngine) {
  ASSERT_EQ(AddSubLayer(kSubLayer, 1), STATUS_SUCCESS);
  ASSERT_EQ(AddCallout(kCallout, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
  UINT64 explicitWeight = 0xFEDCBA9876543210ULL;
  FWPM_FILTER0 filters[3] = {StreamFilter(kCallout), StreamFilter(kCallout), StreamFilter(kCallout)};
  filters[1].weight.type = FWP_UINT8;
  filters[1].weight.uint8 = 3;
  filters[2].weight.type = FWP_UINT64;
  filters[2].weight.uint64 = &explicitWeight;
  UINT64 ids[3] = {};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(FwpmFilterAdd0(engine_, &filters[i], nullptr, &ids[i]), STATUS_SUCCESS);
  FWPM_FILTER0 tooHeavy = StreamFilter(kCallout);
  tooHeavy.weight.type = FWP_UINT8;
  tooHeavy.weight.uint8 = 16;
  EXPECT_EQ(FwpmFilterAdd0(engine_, &tooHeavy, nullptr, nullptr), STATUS_FWP_INVALID_WEIGHT);

  auto view = host::wfp::View();
  ASSERT_EQ(view.filters.size(), 3u);
  EXPECT_NE(Key(view.filters[0].key), Key(GUID{}));
  EXPECT_NE(Key(view.filters[0].key), Key(view.filters[1].key));
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(view.filters[0].filterId, ids[0]);
  EXPECT_LT(view.filters[0].effectiveWeight, 1ULL << 60) << "automatic weights stay below 2^60";
  EXPECT_EQ(view.filters[1].effectiveWeight >> 60, 3u) << "an FWP_UINT8 names the weight range";
  EXPECT_EQ(view.filters[2].effectiveWeight, explicitWeight);
}

// ---- callouts ----------------------------------------------------------------------------
TEST_F(HostWfp, ACalloutKeyHasOneRunTimeIdWhicheverSideNamesItFirst) {
  UINT32 registered = 0, added = 0, otherAdded = 0, otherRegistered = 0;
  ASSERT_EQ(Register(kCallout, &registered), STATUS_SUCCESS);
  ASSERT_EQ(AddCallout(kCallout, FWPM_LAYER_STREAM_V4, &added), STATUS_SUCCESS);
  ASSERT_EQ(AddCallout(kOtherCallout, FWPM_LAYER_STREAM_V4, &otherAdded), STATUS_SUCCESS);
  ASSERT_EQ(Register(kOtherCallout, &otherRegistered), STATUS_SUCCESS);
  EXPECT_EQ(registered, added);
  EXPECT_EQ(otherRegistered, otherAdded);
  EXPECT_NE(registered, otherRegistered);
}

TEST_F(HostWfp, AddingAFilterNotifiesItsRegisteredCalloutWhichMayRefuseIt) {
  ASSERT_EQ(AddSubLayer(kSubLayer, 1), STATUS_SUCCESS);
  ASSERT_EQ(AddCallout(kCallout, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
  UINT32 id = 0;
  ASSERT_EQ(Register(kCallout, &id), STATUS_SUCCESS);
  FWPM_FILTER0 filter = StreamFilter(kCallout);
  ASSERT_EQ(FwpmFilterAdd0(engine_, &filter, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(gNotify.calls, 1);
  EXPECT_EQ(gNotify.type, FWPS_CALLOUT_NOTIFY_ADD_FILTER);
  EXPECT_EQ(Key(gNotify.filterKey), Key(host::wfp::View().filters[0].key)) << "the key the engine generated";
  EXPECT_EQ(gNotify.actionCalloutId, id);
  auto targets = host::wfp::detail::TargetsForLayer(FWPS_LAYER_STREAM_V4);
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_EQ(targets[0].filter.context, 0xC0FFEEu) << "the context the notify function set";

  gNotify.answer = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(FwpmFilterAdd0(engine_, &filter, nullptr, nullptr), STATUS_FWP_CALLOUT_NOTIFICATION_FAILED);
  EXPECT_EQ(host::wfp::View().filters.size(), 1u);
}

TEST_F(HostWfp, ClassifyTargetsComeByWeightAndLeaveOutUnregisteredCallouts) {
  ASSERT_EQ(AddSubLayer(kSubLayer, 1), STATUS_SUCCESS);
  ASSERT_EQ(AddSubLayer(kOtherSubLayer, 2), STATUS_SUCCESS);
  ASSERT_EQ(AddCallout(kCallout, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
  ASSERT_EQ(AddCallout(kOtherCallout, FWPM_LAYER_STREAM_V4), STATUS_SUCCESS);
  UINT32 id = 0;
  ASSERT_EQ(Register(kCallout, &id), STATUS_SUCCESS);
  UINT64 light = 1, heavy = 2;
  FWPM_FILTER0 filters[4] = {StreamFilter(kCallout), StreamFilter(kCallout), StreamFilter(kCallout),
                             StreamFilter(kOtherCallout)};
  filters[0].weight.type = FWP_UINT64;
  filters[0].weight.uint64 = &light;
  filters[1].weight.type = FWP_UINT64;
  filters[1].weight.uint64 = &heavy;
  filters[2].subLayerKey = kOtherSubLayer;  // lighter weight, heavier sublayer
  for (FWPM_FILTER0& filter : filters) ASSERT_EQ(FwpmFilterAdd0(engine_, &filter, nullptr, nullptr), STATUS_SUCCESS);

  auto view = host::wfp::View();
  auto targets = host::wfp::detail::TargetsForLayer(FWPS_LAYER_STREAM_V4);
  ASSERT_EQ(targets.size(), 3u) << "the filter of the unregistered callout is left out";
  EXPECT_EQ(targets[0].filter.filterId, view.filters[2].filterId);
  EXPECT_EQ(targets[1].filter.filterId, view.filters[1].filterId);
  EXPECT_EQ(targets[2].filter.filterId, view.filters[0].filterId);
  EXPECT_EQ(targets[0].filter.subLayerWeight, 2);
  EXPECT_EQ(*targets[1].filter.weight.uint64, 2u);
  EXPECT_EQ(targets[2].calloutId, id);
  EXPECT_EQ(targets[2].classifyFn, &NoClassify);
  EXPECT_TRUE(host::wfp::detail::TargetsForLayer(FWPS_LAYER_DATAGRAM_DATA_V4).empty());
  EXPECT_EQ(host::wfp::detail::LayerIdForKey(FWPM_LAYER_ALE_AUTH_CONNECT_V4), FWPS_LAYER_ALE_AUTH_CONNECT_V4);
  EXPECT_EQ(host::wfp::detail::LayerIdForKey(kSubLayer), 0xFFFF);
}

TEST_F(HostWfp, InjectionHandlesAreDistinctAndKeepTheirType) {
  HANDLE stream = nullptr, transport = nullptr, bad = nullptr;
  ASSERT_EQ(FwpsInjectionHandleCreate0(AF_UNSPEC, FWPS_INJECTION_TYPE_STREAM, &stream), STATUS_SUCCESS);
  ASSERT_EQ(FwpsInjectionHandleCreate0(AF_INET, FWPS_INJECTION_TYPE_TRANSPORT, &transport), STATUS_SUCCESS);
  EXPECT_NE(stream, transport);
  EXPECT_EQ(FwpsInjectionHandleCreate0(AF_UNSPEC, 0x100, &bad), STATUS_INVALID_PARAMETER);
  auto view = host::wfp::View();
  ASSERT_EQ(view.injectionHandles.size(), 2u);
  EXPECT_EQ(view.injectionHandles[1].handle, transport);
  EXPECT_EQ(view.injectionHandles[1].addressFamily, AF_INET);
  EXPECT_EQ(view.injectionHandles[1].injectionType, static_cast<UINT32>(FWPS_INJECTION_TYPE_TRANSPORT));
}

// ---- failure injection, IRQL, NDIS ---------------------------------------------------------
TEST_F(HostWfp, RoutinesFailOnRequestAndRefuseDispatchLevel) {
  host::faults::FailCall("FwpmSubLayerAdd0", 2, STATUS_FWP_TCPIP_NOT_READY);
  EXPECT_EQ(AddSubLayer(kSubLayer, 1), STATUS_SUCCESS);
  EXPECT_EQ(AddSubLayer(kOtherSubLayer, 1), STATUS_FWP_TCPIP_NOT_READY);
  EXPECT_EQ(host::wfp::View().subLayers.size(), 1u);
  host::faults::FailCall("FwpsCalloutRegister1", 1, STATUS_NO_MEMORY);
  EXPECT_EQ(Register(kCallout, nullptr), STATUS_NO_MEMORY);

  host::kernel::SetCurrentIrql(DISPATCH_LEVEL);
  AddSubLayer(kOtherSubLayer, 1);
  host::kernel::SetCurrentIrql(PASSIVE_LEVEL);
  ExpectViolation("IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(HostWfp, NdisKeepsPoolsWithTheirParametersAndRefusesABadHeader) {
  DRIVER_OBJECT driver{};
  PNDIS_GENERIC_OBJECT object = NdisAllocateGenericObject(&driver, 0x4E514657, 8);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->DriverObject, &driver);
  NET_BUFFER_LIST_POOL_PARAMETERS parameters{};
  parameters.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, 16};
  parameters.fAllocateNetBuffer = TRUE;
  parameters.PoolTag = 0x4E514657;
  NDIS_HANDLE pool = NdisAllocateNetBufferListPool(object, &parameters);
  ASSERT_NE(pool, nullptr);
  parameters.PoolTag = 0;
  auto kept = host::ndis::FindNetBufferListPool(pool);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->parameters.PoolTag, 0x4E514657u);
  EXPECT_EQ(kept->ndisHandle, object);
  ASSERT_EQ(host::ndis::GenericObjects().size(), 1u);
  EXPECT_EQ(host::ndis::GenericObjects()[0].size, 8u);

  parameters.Header.Type = 0;
  EXPECT_EQ(NdisAllocateNetBufferListPool(object, &parameters), nullptr);
  host::faults::FailCall("NdisAllocateGenericObject", 1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(NdisAllocateGenericObject(&driver, 0, 0), nullptr);
  EXPECT_EQ(host::ndis::NetBufferListPools().size(), 1u);
}
}  // namespace
