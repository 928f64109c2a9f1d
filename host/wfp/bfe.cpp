// The Base Filtering Engine service: its state, the subscriptions to its
// changes, and the notification thread that calls the subscribers, one at a
// time, at PASSIVE_LEVEL.
#include "host/wfp/engine.h"

#include <condition_variable>

namespace host::wfp::detail {
namespace {

struct Notifier {
  std::mutex lock;
  std::condition_variable wake;
  std::condition_variable delivered;
  std::deque<std::function<void()>> jobs;
  uint64_t queued = 0;
  uint64_t finished = 0;
  bool started = false;
};
Notifier& notifier() { return host::detail::Forever<Notifier>(); }

void RunNotifier() {
  Notifier& n = notifier();
  std::unique_lock<std::mutex> guard(n.lock);
  for (;;) {
    n.wake.wait(guard, [&n] { return host::detail::MachineStopping() || !n.jobs.empty(); });
    if (host::detail::MachineStopping()) return;
    std::function<void()> job = std::move(n.jobs.front());
    n.jobs.pop_front();
    guard.unlock();
    job();
    guard.lock();
    ++n.finished;
    n.delivered.notify_all();
  }
}

void WakeNotifier() {
  std::lock_guard<std::mutex> guard(notifier().lock);
  notifier().wake.notify_all();
}

// Runs a job on the notification thread and waits until it has run.
void RunOnNotifier(std::function<void()> job) {
  Notifier& n = notifier();
  std::unique_lock<std::mutex> guard(n.lock);
  n.jobs.push_back(std::move(job));
  uint64_t ticket = ++n.queued;
  if (!n.started) {
    n.started = true;
    host::detail::StartServiceThread(RunNotifier, WakeNotifier);
  }
  n.wake.notify_one();
  n.delivered.wait(guard, [&n, ticket] { return n.finished >= ticket; });
}

void Notify(const BfeSubscriptionRecord& subscription, FWPM_SERVICE_STATE state) {
  RunOnNotifier([subscription, state] {
    subscription.callback(subscription.context, state);
    if (kernel::HeldSpinLockCount() != 0)
      verifier::Report("LOCK_HELD", "a BFE state-change callback returned with a spin lock held");
    if (kernel::CurrentIrql() != PASSIVE_LEVEL)
      verifier::Report("IRQL_NOT_RESTORED", "a BFE state-change callback returned at an IRQL above PASSIVE_LEVEL");
  });
}

}  // namespace
}  // namespace host::wfp::detail

namespace host::wfp {

FWPM_SERVICE_STATE BfeState() {
  detail::Engine& engine = detail::TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  return engine.objects.bfeState;
}

void SetBfeState(FWPM_SERVICE_STATE state) {
  detail::Engine& engine = detail::TheEngine();
  std::vector<BfeSubscriptionRecord> subscribers;
  {
    std::lock_guard<std::mutex> guard(engine.lock);
    if (engine.objects.bfeState == state) return;
    engine.objects.bfeState = state;
    for (BfeSubscriptionRecord& subscription : engine.objects.bfeSubscriptions) {
      subscription.notified.push_back(state);
      subscribers.push_back(subscription);
    }
  }
  for (const BfeSubscriptionRecord& subscription : subscribers) detail::Notify(subscription, state);
}

void ChangeBfeStateDuringNextSubscribe(FWPM_SERVICE_STATE state) {
  detail::Engine& engine = detail::TheEngine();
  std::lock_guard<std::mutex> guard(engine.lock);
  engine.changeDuringSubscribe = state;
}

}  // namespace host::wfp

using namespace host;
using namespace host::wfp;
using namespace host::wfp::detail;

extern "C" FWPM_SERVICE_STATE NTAPI FwpmBfeStateGet0(void) {
  verifier::RequireIrql(DISPATCH_LEVEL, "FwpmBfeStateGet0");
  (void)faults::Check("FwpmBfeStateGet0");  // counted only: the routine has no failure to report
  return BfeState();
}

extern "C" NTSTATUS NTAPI FwpmBfeStateSubscribeChanges0(void* deviceObject,
                                                        FWPM_SERVICE_STATE_CHANGE_CALLBACK0* callback, void* context,
                                                        HANDLE* changeHandle) {
  NQ_ENGINE_ROUTINE("FwpmBfeStateSubscribeChanges0", PASSIVE_LEVEL);
  if (deviceObject == nullptr || callback == nullptr || changeHandle == nullptr) return STATUS_INVALID_PARAMETER;
  Engine& engine = TheEngine();
  std::optional<FWPM_SERVICE_STATE> change;
  {
    std::lock_guard<std::mutex> guard(engine.lock);
    change.swap(engine.changeDuringSubscribe);
  }
  if (change) SetBfeState(*change);
  std::lock_guard<std::mutex> guard(engine.lock);
  BfeSubscriptionRecord record{NewHandleLocked(engine, HandleKind::BfeSubscription), deviceObject, callback, context,
                               {}};
  engine.objects.bfeSubscriptions.push_back(record);
  *changeHandle = record.handle;
  return STATUS_SUCCESS;
}
