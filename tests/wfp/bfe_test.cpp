// Waiting for the Base Filtering Engine: the subscription, the retry work
// item a RUNNING notification queues, and the notifications that do nothing.
#include "tests/wfp/wfp_test.h"

namespace {
using namespace nqtest;

class BfeWait : public WfpTest {};

TEST_F(BfeWait, StoppedAtLoadSubscribesAndRunningCompletesStartupFromAWorkItem) {
  LoadWithBfeStopped();
  auto atLoad = View();
  EXPECT_EQ(State()->engine, nullptr);
  EXPECT_TRUE(atLoad.sessions.empty());
  EXPECT_TRUE(atLoad.registeredCallouts.empty());
  EXPECT_TRUE(host::ndis::GenericObjects().empty()) << "nothing after the engine open is tried";
  ASSERT_EQ(atLoad.bfeSubscriptions.size(), 1u);
  EXPECT_EQ(atLoad.bfeSubscriptions[0].handle, State()->bfeChangeHandle);
  EXPECT_EQ(atLoad.bfeSubscriptions[0].deviceObject, Device());
  EXPECT_EQ(atLoad.bfeSubscriptions[0].context, State());

  BfeStartsAndRetryRuns();
  ExpectFullyStarted(View());
  EXPECT_NE(State()->engine, nullptr);
  EXPECT_EQ(State()->workItem, nullptr);
  EXPECT_EQ(host::kernel::WorkItemCount(), 0u) << "the retry frees its work item";
  EXPECT_EQ(Calls("FwpmEngineOpen0"), 2u);
  EXPECT_EQ(Calls("FwpmBfeStateSubscribeChanges0"), 1u);
  EXPECT_EQ(View().bfeSubscriptions.size(), 1u) << "the subscription is never cancelled";
}

TEST_F(BfeWait, ASecondRunningWhileTheRetryIsQueuedNeitherQueuesAnotherNorReplacesIt) {
  LoadWithBfeStopped();
  host::kernel::PauseWorkQueue(true);
  host::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
  PIO_WORKITEM queued = State()->workItem;
  ASSERT_NE(queued, nullptr);
  host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);
  host::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
  EXPECT_EQ(State()->workItem, queued);
  EXPECT_EQ(host::kernel::WorkItemCount(), 1u) << "the second notification's work item is freed";
  EXPECT_EQ(Calls("IoAllocateWorkItem"), 2u);

  host::kernel::PauseWorkQueue(false);
  host::kernel::WaitWorkQueueIdle();
  EXPECT_EQ(Calls("FwpmEngineOpen0"), 2u) << "one retry";
  ExpectFullyStarted(View());
  EXPECT_EQ(State()->workItem, nullptr);
  EXPECT_EQ(host::kernel::WorkItemCount(), 0u);
}

TEST_F(BfeWait, NotificationsOtherThanRunningDoNothing) {
  LoadWithBfeStopped();
  for (FWPM_SERVICE_STATE state : {FWPM_SERVICE_START_PENDING, FWPM_SERVICE_STOP_PENDING, FWPM_SERVICE_STOPPED})
    host::wfp::SetBfeState(state);
  host::kernel::WaitWorkQueueIdle();
  auto view = View();
  ASSERT_EQ(view.bfeSubscriptions.size(), 1u);
  EXPECT_EQ(view.bfeSubscriptions[0].notified.size(), 3u) << "all three reached the driver";
  EXPECT_EQ(Calls("IoAllocateWorkItem"), 0u);
  EXPECT_EQ(Calls("FwpmEngineOpen0"), 1u);
  EXPECT_EQ(State()->workItem, nullptr);
}

TEST_F(BfeWait, RunningAfterTheEngineIsOpenDoesNothing) {
  LoadWithBfeStopped();
  BfeStartsAndRetryRuns();
  host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);
  BfeStartsAndRetryRuns();
  EXPECT_EQ(Calls("IoAllocateWorkItem"), 1u);
  EXPECT_EQ(Calls("FwpmEngineOpen0"), 2u);
  ExpectFullyStarted(View());
}

TEST_F(BfeWait, RunningAfterAStartThatStoppedPartWayDoesNothing) {
  LoadWithBfeStopped();
  host::faults::FailCall("FwpmSubLayerAdd0", 1, STATUS_INSUFFICIENT_RESOURCES);
  BfeStartsAndRetryRuns();
  EXPECT_NE(State()->engine, nullptr);
  EXPECT_TRUE(View().subLayers.empty());
  host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);
  BfeStartsAndRetryRuns();
  EXPECT_EQ(Calls("FwpmEngineOpen0"), 2u) << "no rerun once the engine is open";
  EXPECT_TRUE(View().registeredCallouts.empty());
}

TEST_F(BfeWait, EngineOpenFailureWithTheBfeRunningIsNotRetried) {
  host::faults::FailCall("FwpmEngineOpen0", 1, STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  EXPECT_EQ(Calls("FwpmBfeStateGet0"), 1u);
  EXPECT_EQ(Calls("FwpmBfeStateSubscribeChanges0"), 0u);
  EXPECT_EQ(State()->bfeChangeHandle, nullptr);
  host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);
  BfeStartsAndRetryRuns();
  EXPECT_EQ(Calls("FwpmEngineOpen0"), 1u);
  EXPECT_EQ(State()->engine, nullptr);
  EXPECT_TRUE(View().sessions.empty());
}

TEST_F(BfeWait, ARetryThatFindsTheBfeStoppedAgainKeepsTheSubscriptionAndWaits) {
  LoadWithBfeStopped();
  host::kernel::PauseWorkQueue(true);
  host::wfp::SetBfeState(FWPM_SERVICE_RUNNING);
  host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);  // before the retry gets to run
  host::kernel::PauseWorkQueue(false);
  host::kernel::WaitWorkQueueIdle();
  EXPECT_EQ(Calls("FwpmEngineOpen0"), 2u);
  EXPECT_EQ(State()->engine, nullptr);
  EXPECT_EQ(State()->workItem, nullptr);
  EXPECT_EQ(host::kernel::WorkItemCount(), 0u);
  EXPECT_EQ(Calls("FwpmBfeStateSubscribeChanges0"), 1u) << "subscribed once";

  BfeStartsAndRetryRuns();
  ExpectFullyStarted(View());
}

TEST_F(BfeWait, ALostWorkItemAllocationWaitsForTheNextRunning) {
  LoadWithBfeStopped();
  host::faults::FailCall("IoAllocateWorkItem", 1, STATUS_INSUFFICIENT_RESOURCES);
  BfeStartsAndRetryRuns();
  EXPECT_EQ(State()->engine, nullptr);
  EXPECT_EQ(State()->workItem, nullptr);
  host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);
  BfeStartsAndRetryRuns();
  ExpectFullyStarted(View());
}

TEST_F(BfeWait, ABfeThatStartsWhileTheDriverSubscribesIsNotMissed) {
  host::wfp::SetBfeState(FWPM_SERVICE_STOPPED);
  host::wfp::ChangeBfeStateDuringNextSubscribe(FWPM_SERVICE_RUNNING);
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  host::kernel::WaitWorkQueueIdle();
  auto view = View();
  ASSERT_EQ(view.bfeSubscriptions.size(), 1u);
  EXPECT_TRUE(view.bfeSubscriptions[0].notified.empty()) << "the change came before the subscription";
  ExpectFullyStarted(view);
  EXPECT_EQ(State()->workItem, nullptr);
  EXPECT_EQ(host::kernel::WorkItemCount(), 0u);
}
}  // namespace
