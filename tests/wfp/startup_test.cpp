// Start-up with the BFE running: what it makes, and what a failing step
// leaves behind.
#include "tests/wfp/wfp_test.h"

namespace {
using namespace nqtest;

constexpr ULONG kWfqn = 0x4E514657;

class Startup : public WfpTest {};

TEST_F(Startup, WithTheBfeRunningCompletesDuringLoadWithoutSubscribing) {
  unsigned threadsBefore = host::kernel::SystemThreadCount();
  unsigned handlesBefore = host::kernel::OpenHandleCount();
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  auto view = View();
  ExpectFullyStarted(view);
  EXPECT_TRUE(view.bfeSubscriptions.empty());
  EXPECT_EQ(State()->bfeChangeHandle, nullptr);
  EXPECT_EQ(State()->workItem, nullptr);
  EXPECT_EQ(Calls("FwpmBfeStateSubscribeChanges0"), 0u);

  ASSERT_EQ(view.sessions.size(), 1u);
  const host::wfp::SessionRecord& session = view.sessions[0];
  EXPECT_EQ(session.flags, static_cast<UINT32>(FWPM_SESSION_FLAG_DYNAMIC));
  EXPECT_EQ(session.txnWaitTimeoutInMSec, 0u);
  EXPECT_NE(Key(session.key), Key(GUID{})) << "the engine assigns the session key";
  EXPECT_EQ(State()->engine, session.handle);

  EXPECT_EQ(host::kernel::SystemThreadCount(), threadsBefore + 1) << "the verdict worker";
  EXPECT_EQ(Calls("PsCreateSystemThread"), 1u);
  EXPECT_EQ(host::kernel::OpenHandleCount(), handlesBefore) << "the thread handle is closed at once";
  EXPECT_EQ(State()->driverObject, host::io::LoadedDriver());
  EXPECT_EQ(State()->deviceObject, Device());
}

TEST_F(Startup, NdisObjectsCarryTheirTagAndPoolParameters) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  auto objects = host::ndis::GenericObjects();
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(static_cast<NDIS_HANDLE>(objects[0].object), State()->genericObject);
  EXPECT_EQ(objects[0].driverObject, host::io::LoadedDriver());
  EXPECT_EQ(objects[0].tag, kWfqn);
  EXPECT_EQ(objects[0].size, 0u);

  auto pools = host::ndis::NetBufferListPools();
  ASSERT_EQ(pools.size(), 1u);
  EXPECT_EQ(pools[0].pool, State()->nblPool);
  EXPECT_EQ(pools[0].ndisHandle, State()->genericObject);
  const NET_BUFFER_LIST_POOL_PARAMETERS& p = pools[0].parameters;
  EXPECT_EQ(p.Header.Type, 0x80);
  EXPECT_EQ(p.Header.Revision, 1);
  EXPECT_EQ(p.Header.Size, 16);
  EXPECT_EQ(p.ProtocolId, 0);
  EXPECT_EQ(p.fAllocateNetBuffer, TRUE);
  EXPECT_EQ(p.ContextSize, 0);
  EXPECT_EQ(p.PoolTag, kWfqn);
  EXPECT_EQ(p.DataSize, 0u);
}

TEST_F(Startup, ProviderContextSublayerAndInjectionHandlesCarryTheDriversValues) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  auto view = View();
  const auto* context = view.FindProviderContext(ClassifyOptionsContextKey);
  ASSERT_NE(context, nullptr);
  ExpectDriversObject(*context);
  EXPECT_EQ(context->flags, 0u);
  EXPECT_EQ(context->type, FWPM_CLASSIFY_OPTIONS_CONTEXT);
  ASSERT_EQ(context->classifyOptions.size(), 2u);
  EXPECT_EQ(context->classifyOptions[0].type, FWP_CLASSIFY_OPTION_MCAST_BCAST_LIFETIME);
  EXPECT_EQ(context->classifyOptions[0].valueType, FWP_UINT32);
  EXPECT_EQ(context->classifyOptions[0].value, 30u);
  EXPECT_EQ(context->classifyOptions[1].type, FWP_CLASSIFY_OPTION_UNICAST_LIFETIME);
  EXPECT_EQ(context->classifyOptions[1].valueType, FWP_UINT32);
  EXPECT_EQ(context->classifyOptions[1].value, 90u);

  const auto* subLayer = view.FindSubLayer(SubLayerKey);
  ASSERT_NE(subLayer, nullptr);
  ExpectDriversObject(*subLayer);
  EXPECT_EQ(subLayer->flags, 0u);
  EXPECT_EQ(subLayer->weight, 0xFFFF);

  ASSERT_EQ(view.injectionHandles.size(), 2u);
  EXPECT_EQ(view.injectionHandles[0].handle, State()->streamInjection);
  EXPECT_EQ(view.injectionHandles[0].injectionType, static_cast<UINT32>(FWPS_INJECTION_TYPE_STREAM));
  EXPECT_EQ(view.injectionHandles[0].addressFamily, AF_UNSPEC);
  EXPECT_EQ(view.injectionHandles[1].handle, State()->transportInjection);
  EXPECT_EQ(view.injectionHandles[1].injectionType, static_cast<UINT32>(FWPS_INJECTION_TYPE_TRANSPORT));
  EXPECT_EQ(view.injectionHandles[1].addressFamily, AF_UNSPEC);
}

TEST_F(Startup, ASublayerAlreadyInTheEngineStopsStartupBeforeTheWorkerAndTheCallouts) {
  HANDLE other = OpenOtherSession();
  ASSERT_EQ(AddSubLayer(other, SubLayerKey, 0x10), STATUS_SUCCESS);
  unsigned threadsBefore = host::kernel::SystemThreadCount();
  EXPECT_EQ(LoadDriver(), STATUS_SUCCESS);
  auto view = View();
  EXPECT_EQ(host::kernel::SystemThreadCount(), threadsBefore) << "no worker thread";
  EXPECT_EQ(Calls("PsCreateSystemThread"), 0u);
  EXPECT_TRUE(view.registeredCallouts.empty());
  EXPECT_TRUE(view.callouts.empty());
  EXPECT_TRUE(view.filters.empty());
  ASSERT_EQ(view.subLayers.size(), 1u);
  EXPECT_EQ(view.subLayers[0].session, other) << "the existing sublayer is left as it was";
  EXPECT_EQ(view.providerContexts.size(), 1u) << "what came before the sublayer stays";
  EXPECT_EQ(view.injectionHandles.size(), 2u);
}

// ---- a failing step ends start-up and leaves what was made ---------------------------
enum Made : unsigned {
  kNothing,
  kSession,
  kGenericObject,
  kPool,
  kProviderContext,
  kStreamInjection,
  kTransportInjection,
  kSubLayer,
};

struct FailingStep {
  const char* routine;
  unsigned nth;
  Made made;  // the last object that exists afterwards
};

void PrintTo(const FailingStep& step, std::ostream* out) { *out << step.routine << " call " << step.nth; }

class StartupStepFails : public WfpTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(StartupStepFails, LeavesWhatCameBeforeAndMakesNothingAfter) {
  const FailingStep& step = GetParam();
  host::faults::FailCall(step.routine, step.nth, STATUS_INSUFFICIENT_RESOURCES);
  unsigned threadsBefore = host::kernel::SystemThreadCount();
  EXPECT_EQ(LoadDriver(), STATUS_SUCCESS) << "start-up failures do not fail the load";
  auto view = View();
  DriverState* s = State();

  EXPECT_EQ(view.sessions.size(), step.made >= kSession ? 1u : 0u);
  EXPECT_EQ(s->engine != nullptr, step.made >= kSession);
  EXPECT_EQ(host::ndis::GenericObjects().size(), step.made >= kGenericObject ? 1u : 0u);
  EXPECT_EQ(s->genericObject != nullptr, step.made >= kGenericObject);
  EXPECT_EQ(host::ndis::NetBufferListPools().size(), step.made >= kPool ? 1u : 0u);
  EXPECT_EQ(s->nblPool != nullptr, step.made >= kPool);
  EXPECT_EQ(view.providerContexts.size(), step.made >= kProviderContext ? 1u : 0u);
  EXPECT_EQ(s->streamInjection != nullptr, step.made >= kStreamInjection);
  EXPECT_EQ(s->transportInjection != nullptr, step.made >= kTransportInjection);
  size_t injectionHandles = (step.made >= kStreamInjection) + (step.made >= kTransportInjection);
  EXPECT_EQ(view.injectionHandles.size(), injectionHandles);
  EXPECT_EQ(view.subLayers.size(), step.made >= kSubLayer ? 1u : 0u);

  EXPECT_EQ(host::kernel::SystemThreadCount(), threadsBefore) << "no worker thread";
  EXPECT_TRUE(view.registeredCallouts.empty());
  EXPECT_TRUE(view.callouts.empty());
  EXPECT_TRUE(view.filters.empty());
  for (UINT32 id : s->calloutIds) EXPECT_EQ(id, 0u);
  EXPECT_TRUE(view.bfeSubscriptions.empty()) << "with the BFE running nothing is retried";
}

INSTANTIATE_TEST_SUITE_P(EachStep, StartupStepFails,
                         ::testing::Values(FailingStep{"FwpmEngineOpen0", 1, kNothing},
                                           FailingStep{"NdisAllocateGenericObject", 1, kSession},
                                           FailingStep{"NdisAllocateNetBufferListPool", 1, kGenericObject},
                                           FailingStep{"FwpmProviderContextAdd0", 1, kPool},
                                           FailingStep{"FwpsInjectionHandleCreate0", 1, kProviderContext},
                                           FailingStep{"FwpsInjectionHandleCreate0", 2, kStreamInjection},
                                           FailingStep{"FwpmSubLayerAdd0", 1, kTransportInjection},
                                           FailingStep{"PsCreateSystemThread", 1, kSubLayer}),
                         [](const ::testing::TestParamInfo<FailingStep>& info) {
                           return std::string(info.param.routine) + "_" + std::to_string(info.param.nth);
                         });
}  // namespace
