// Test support for the driver's start-up and callouts: the engine view and
// another party's use of the filter engine.
#pragma once
#include "core/wfp/callouts.h"
#include "core/wfp/guids.h"
#include "core/wfp/startup.h"
#include "host/wfp.h"
#include "tests/support/machine.h"

namespace nqtest {

inline std::string Key(const GUID& guid) { return host::wfp::GuidText(guid); }

class WfpTest : public MachineTest {
 protected:
  DriverState* State() { return gDriverState; }
  static host::wfp::EngineView View() { return host::wfp::View(); }
  static unsigned Calls(const char* routine) { return host::faults::CallCount(routine); }

  // Loads the driver with the BFE stopped: start-up waits for it.
  void LoadWithBfeStopped() {
    host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  }
  // The BFE comes up and the start-up retry it brings has run.
  static void BfeStartsAndRetryRuns() {
    host::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
    host::kernel::WaitWorkQueueIdle();
  }

  // Someone else's session and sublayer, as another filtering product has them.
  static HANDLE OpenOtherSession() {
    HANDLE engine = nullptr;
    EXPECT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), STATUS_SUCCESS);
    return engine;
  }
  static NTSTATUS AddSubLayer(HANDLE engine, const GUID& key, UINT16 weight) {
    FWPM_SUBLAYER0 subLayer{};
    subLayer.subLayerKey = key;
    subLayer.displayData.name = const_cast<WCHAR*>(u"other");
    subLayer.weight = weight;
    return FwpmSubLayerAdd0(engine, &subLayer, nullptr);
  }
};

// What every object the driver adds carries: its name, no provider, and
// the driver's session.
inline void ExpectDriversObject(const host::wfp::ObjectRecord& record) {
  EXPECT_EQ(record.name, "nqwfpdrv");
  EXPECT_EQ(record.description, "nqwfpdrv");
  EXPECT_FALSE(record.providerKey.has_value());
  EXPECT_TRUE(record.providerData.empty());
  EXPECT_EQ(record.session, gDriverState->engine);
}

// Everything the driver adds when start-up completes.
inline void ExpectFullyStarted(const host::wfp::EngineView& view) {
  EXPECT_EQ(view.sessions.size(), 1u);
  EXPECT_EQ(view.providerContexts.size(), 1u);
  EXPECT_EQ(view.subLayers.size(), 1u);
  EXPECT_EQ(view.injectionHandles.size(), 2u);
  EXPECT_EQ(view.registeredCallouts.size(), kCalloutRowCount);
  EXPECT_EQ(view.callouts.size(), kCalloutRowCount);
  EXPECT_EQ(view.filters.size(), kCalloutRowCount);
}

}  // namespace nqtest
