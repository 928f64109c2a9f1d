// The nine callouts and their filters: every field, the callout-id element
// of each row, a row failing at each of its three steps, and filters that
// other parties add.
#include "tests/wfp/wfp_test.h"

#include "core/classify/classify.h"
#include "host/wfp/registry.h"

#include <algorithm>

namespace {
using namespace nqtest;

struct Row {
  const GUID* layer;
  UINT16 runtimeLayer;
  const GUID* callout;
  unsigned element;  // of calloutIds
  UINT32 calloutFlags;
  bool flowDelete;
  FWP_ACTION_TYPE action;
  bool classifyOptions;
};

// The nine rows in the order start-up adds them.
const Row kRows[] = {
    {&FWPM_LAYER_ALE_RESOURCE_ASSIGNMENT_V4, 36, &CalloutKeyResourceAssignmentV4, 0, 0, false, 0x5003, false},
    {&FWPM_LAYER_ALE_RESOURCE_RELEASE_V4, 62, &CalloutKeyResourceReleaseV4, 1, 0, false, 0x6004, false},
    {&FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4, 52, &CalloutKeyFlowEstablishedV4, 5, 0, false, 0x6004, false},
    {&FWPM_LAYER_ALE_AUTH_CONNECT_V4, 48, &CalloutKeyAuthConnectV4, 2, 0, false, 0x5003, true},
    {&FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4, 44, &CalloutKeyAuthRecvAcceptV4, 3, 0, false, 0x5003, true},
    {&FWPM_LAYER_ALE_AUTH_LISTEN_V4, 40, &CalloutKeyAuthListenV4, 4, 0, false, 0x5003, true},
    {&FWPM_LAYER_STREAM_V4, 20, &CalloutKeyStreamV4, 6, 1, true, 0x5003, false},
    {&FWPM_LAYER_DATAGRAM_DATA_V4, 24, &CalloutKeyDatagramDataV4, 7, 0, false, 0x5003, false},
    {&FWPM_LAYER_INBOUND_IPPACKET_V4, 0, &CalloutKeyInboundIppacketV4, 8, 0, false, 0x5003, false},
};
constexpr unsigned kRowCount = sizeof(kRows) / sizeof(kRows[0]);

class Callouts : public WfpTest {};

TEST_F(Callouts, TheElevenKeysAreDistinct) {
  std::vector<std::string> keys{Key(ClassifyOptionsContextKey), Key(SubLayerKey)};
  for (const Row& row : kRows) keys.push_back(Key(*row.callout));
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(std::unique(keys.begin(), keys.end()), keys.end());
  EXPECT_EQ(std::count(keys.begin(), keys.end(), Key(GUID{})), 0);
}

TEST_F(Callouts, NineRowsInOrderWithEveryField) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  auto view = View();
  ASSERT_EQ(view.registeredCallouts.size(), kRowCount);
  ASSERT_EQ(view.callouts.size(), kRowCount);
  ASSERT_EQ(view.filters.size(), kRowCount);
  std::vector<std::string> filterKeys;
  for (unsigned i = 0; i < kRowCount; ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    const Row& row = kRows[i];

    const host::wfp::RegisteredCalloutRecord& runtime = view.registeredCallouts[i];
    EXPECT_EQ(Key(runtime.key), Key(*row.callout));
    EXPECT_EQ(runtime.flags, row.calloutFlags);
    EXPECT_EQ(runtime.classifyFn, &ClassifyAll);
    EXPECT_EQ(runtime.notifyFn, &CalloutNotify);
    EXPECT_EQ(runtime.flowDeleteFn, row.flowDelete ? &FlowDeleteNotify : nullptr);
    EXPECT_EQ(runtime.deviceObject, Device());
    EXPECT_EQ(State()->calloutIds[row.element], runtime.calloutId) << "the row's element of calloutIds";

    const host::wfp::CalloutRecord& callout = view.callouts[i];
    EXPECT_EQ(Key(callout.key), Key(*row.callout));
    ExpectDriversObject(callout);
    EXPECT_EQ(callout.flags, 0u);
    EXPECT_EQ(Key(callout.applicableLayer), Key(*row.layer));
    EXPECT_EQ(callout.calloutId, runtime.calloutId);

    const host::wfp::FilterRecord& filter = view.filters[i];
    filterKeys.push_back(Key(filter.key));
    ExpectDriversObject(filter);
    EXPECT_EQ(filter.flags, row.classifyOptions ? 4u : 0u);
    EXPECT_EQ(Key(filter.layerKey), Key(*row.layer));
    EXPECT_EQ(Key(filter.subLayerKey), Key(SubLayerKey));
    EXPECT_EQ(filter.weightType, FWP_EMPTY) << "the engine assigns the weight";
    EXPECT_TRUE(filter.conditions.empty()) << "all traffic at the layer";
    EXPECT_EQ(filter.actionType, row.action);
    EXPECT_EQ(Key(filter.actionKey), Key(*row.callout));
    EXPECT_EQ(Key(filter.providerContextKey), Key(row.classifyOptions ? ClassifyOptionsContextKey : GUID{}));
    EXPECT_EQ(filter.rawContext, 0u);

    // The layer's traffic reaches ClassifyAll through this callout.
    auto targets = host::wfp::detail::TargetsForLayer(row.runtimeLayer);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].classifyFn, &ClassifyAll);
    EXPECT_EQ(targets[0].calloutId, State()->calloutIds[row.element]);
  }
  std::sort(filterKeys.begin(), filterKeys.end());
  EXPECT_EQ(std::unique(filterKeys.begin(), filterKeys.end()), filterKeys.end()) << "engine-generated filter keys";
  EXPECT_EQ(std::count(filterKeys.begin(), filterKeys.end(), Key(GUID{})), 0);
}

// ---- one row failing at one of its steps ----------------------------------------------
enum class Step { Register, CalloutAdd, FilterAdd };
const char* RoutineOf(Step step) {
  switch (step) {
    case Step::Register: return "FwpsCalloutRegister1";
    case Step::CalloutAdd: return "FwpmCalloutAdd0";
    default: return "FwpmFilterAdd0";
  }
}

void PrintTo(Step step, std::ostream* out) { *out << RoutineOf(step); }

class CalloutRowFails : public WfpTest, public ::testing::WithParamInterface<std::tuple<unsigned, Step>> {};

TEST_P(CalloutRowFails, TheRowStopsThereAndTheOtherEightAreAdded) {
  unsigned failing = std::get<0>(GetParam());
  Step step = std::get<1>(GetParam());
  host::faults::FailCall(RoutineOf(step), failing + 1, STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  auto view = View();
  for (unsigned i = 0; i < kRowCount; ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    const Row& row = kRows[i];
    bool fails = i == failing;
    const auto* runtime = view.FindRegisteredCallout(*row.callout);
    bool registered = !fails || step != Step::Register;
    bool added = !fails || step == Step::FilterAdd;
    ASSERT_EQ(runtime != nullptr, registered);
    EXPECT_EQ(State()->calloutIds[row.element], registered ? runtime->calloutId : 0u)
        << "a failed registration leaves the element as it was";
    EXPECT_EQ(view.FindCallout(*row.callout) != nullptr, added);
    EXPECT_EQ(view.FindFilterForCallout(*row.callout) != nullptr, !fails);
  }
  EXPECT_EQ(view.filters.size(), kRowCount - 1);
}

INSTANTIATE_TEST_SUITE_P(EachRowAndStep, CalloutRowFails,
                         ::testing::Combine(::testing::Range(0u, kRowCount),
                                            ::testing::Values(Step::Register, Step::CalloutAdd, Step::FilterAdd)),
                         [](const ::testing::TestParamInfo<std::tuple<unsigned, Step>>& info) {
                           return "Row" + std::to_string(std::get<0>(info.param) + 1) + "_" +
                                  RoutineOf(std::get<1>(info.param));
                         });

// ---- filters of other parties -------------------------------------------------------
TEST_F(Callouts, FiltersThatOthersAddNamingTheDriversCalloutsAreAccepted) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  HANDLE other = OpenOtherSession();
  const GUID otherSubLayer = {0x0badf00d, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  ASSERT_EQ(AddSubLayer(other, otherSubLayer, 0x100), STATUS_SUCCESS);

  struct {
    const GUID* layer;
    const GUID* callout;
    FWP_ACTION_TYPE action;
  } added[] = {{&FWPM_LAYER_STREAM_V4, &CalloutKeyStreamV4, FWP_ACTION_CALLOUT_TERMINATING},
               {&FWPM_LAYER_ALE_AUTH_CONNECT_V4, &CalloutKeyAuthConnectV4, FWP_ACTION_CALLOUT_INSPECTION},
               {&FWPM_LAYER_ALE_RESOURCE_RELEASE_V4, &CalloutKeyResourceReleaseV4, FWP_ACTION_CALLOUT_UNKNOWN}};
  for (const auto& a : added) {
    UINT64 weight = 42;
    FWPM_FILTER0 filter{};
    filter.displayData.name = const_cast<WCHAR*>(u"someone else's");
    filter.layerKey = *a.layer;
    filter.subLayerKey = otherSubLayer;
    filter.weight.type = FWP_UINT64;
    filter.weight.uint64 = &weight;
    filter.action.type = a.action;
    filter.action.calloutKey = *a.callout;
    UINT64 id = 0;
    EXPECT_EQ(FwpmFilterAdd0(other, &filter, nullptr, &id), STATUS_SUCCESS) << Key(*a.callout);
    EXPECT_NE(id, 0u);
  }
  EXPECT_EQ(View().filters.size(), kRowCount + 3);
  auto targets = host::wfp::detail::TargetsForLayer(FWPS_LAYER_STREAM_V4);
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ(targets[0].filter.subLayerWeight, 0xFFFF) << "the driver's sublayer comes first";
  EXPECT_EQ(targets[1].calloutId, State()->calloutIds[CalloutSlotStream]);
}
}  // namespace
