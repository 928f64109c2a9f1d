// What start-up leaves in the filter engine, seen from the engine alone: the
// session, provider context, sublayer and injection handles, and one callout
// with its filter at each of the nine layers, whether the BFE runs at load
// or comes up later. Black-box: runs on the linked driver and on the image.
#include "host/wfp.h"
#include "tests/support/machine.h"

#include <set>

namespace {
using nqtest::MachineTest;

const GUID* const kLayers[] = {
    &FWPM_LAYER_INBOUND_IPPACKET_V4,        &FWPM_LAYER_STREAM_V4,
    &FWPM_LAYER_DATAGRAM_DATA_V4,           &FWPM_LAYER_ALE_RESOURCE_ASSIGNMENT_V4,
    &FWPM_LAYER_ALE_AUTH_LISTEN_V4,         &FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V4,
    &FWPM_LAYER_ALE_AUTH_CONNECT_V4,        &FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4,
    &FWPM_LAYER_ALE_RESOURCE_RELEASE_V4,
};

class EngineObjects : public MachineTest {
 protected:
  static host::wfp::EngineView View() { return host::wfp::View(); }

  // Everything a completed start-up adds, each callout registered and named
  // by exactly one filter at the callout's layer, all in the driver's session.
  static void ExpectFullyStarted() {
    host::wfp::EngineView view = View();
    ASSERT_EQ(view.sessions.size(), 1u);
    HANDLE session = view.sessions[0].handle;
    ASSERT_EQ(view.providerContexts.size(), 1u);
    EXPECT_EQ(view.providerContexts[0].type, FWPM_CLASSIFY_OPTIONS_CONTEXT);
    ASSERT_EQ(view.subLayers.size(), 1u);
    EXPECT_EQ(view.subLayers[0].weight, 0xFFFF);
    ASSERT_EQ(view.injectionHandles.size(), 2u);
    std::set<UINT32> types;
    for (const auto& h : view.injectionHandles) types.insert(h.injectionType);
    EXPECT_EQ(types, (std::set<UINT32>{FWPS_INJECTION_TYPE_STREAM, FWPS_INJECTION_TYPE_TRANSPORT}));

    ASSERT_EQ(view.callouts.size(), 9u);
    ASSERT_EQ(view.filters.size(), 9u);
    ASSERT_EQ(view.registeredCallouts.size(), 9u);
    std::set<std::string> layers;
    for (const auto& callout : view.callouts) {
      SCOPED_TRACE(host::wfp::GuidText(callout.applicableLayer));
      layers.insert(host::wfp::GuidText(callout.applicableLayer));
      EXPECT_EQ(callout.name, "nqwfpdrv");
      EXPECT_EQ(callout.session, session);
      const auto* runtime = view.FindRegisteredCallout(callout.key);
      ASSERT_NE(runtime, nullptr) << "registered before it is added";
      EXPECT_EQ(runtime->calloutId, callout.calloutId);
      // One classify function serves every layer.
      EXPECT_EQ(runtime->classifyFn, view.registeredCallouts[0].classifyFn);
      EXPECT_NE(runtime->classifyFn, nullptr);
      const auto* filter = view.FindFilterForCallout(callout.key);
      ASSERT_NE(filter, nullptr);
      EXPECT_EQ(host::wfp::GuidText(filter->layerKey), host::wfp::GuidText(callout.applicableLayer));
      EXPECT_EQ(host::wfp::GuidText(filter->subLayerKey), host::wfp::GuidText(view.subLayers[0].key));
      EXPECT_EQ(filter->session, session);
    }
    std::set<std::string> expected;
    for (const GUID* layer : kLayers) expected.insert(host::wfp::GuidText(*layer));
    EXPECT_EQ(layers, expected) << "one callout at each of the nine layers";
  }
};

TEST_F(EngineObjects, LoadWithTheBfeRunningAddsEverythingAtOnce) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  ExpectFullyStarted();
  EXPECT_TRUE(View().bfeSubscriptions.empty()) << "no wait for a BFE that runs";
}

TEST_F(EngineObjects, LoadWithTheBfeStoppedWaitsAndCompletesWhenItRuns) {
  host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  host::wfp::EngineView waiting = View();
  EXPECT_EQ(waiting.bfeSubscriptions.size(), 1u);
  EXPECT_TRUE(waiting.sessions.empty());
  EXPECT_TRUE(waiting.callouts.empty());
  host::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
  host::kernel::WaitWorkQueueIdle();
  ExpectFullyStarted();
}

TEST_F(EngineObjects, FailedCalloutRegistrationLeavesTheLoadSuccessful) {
  host::faults::FailCall("FwpsCalloutRegister1", 1, STATUS_INSUFFICIENT_RESOURCES, true);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_TRUE(View().registeredCallouts.empty());
  ASSERT_NE(Table(), nullptr);
  EXPECT_EQ(Table()->Signature, 0x12345678u);
}
}  // namespace
