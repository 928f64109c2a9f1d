// Events and waits. All dispatcher objects share one lock and one condition,
// which is plenty for a simulated machine and keeps the KEVENT layout intact:
// the signal state lives in the object itself.
#include "host/kernel/state.h"

#include <chrono>
#include <condition_variable>

namespace host::detail {
namespace {
struct Dispatcher {
  std::mutex lock;
  std::condition_variable changed;
  uint64_t expiryGeneration = 0;
  bool clockStopped = false;
};
Dispatcher& dispatcher() { return Forever<Dispatcher>(); }
}  // namespace
}  // namespace host::detail

namespace host::kernel {
void ExpireTimedWaits() {
  auto& d = detail::dispatcher();
  std::lock_guard<std::mutex> guard(d.lock);
  ++d.expiryGeneration;
  d.changed.notify_all();
}

void StopClock(bool stopped) {
  auto& d = detail::dispatcher();
  std::lock_guard<std::mutex> guard(d.lock);
  d.clockStopped = stopped;
  d.changed.notify_all();
}
}  // namespace host::kernel

using namespace host;

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  auto& d = detail::dispatcher();
  std::lock_guard<std::mutex> guard(d.lock);
  event->Header.Type = static_cast<UCHAR>(type);
  event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  event->Header.SignalState = state ? 1 : 0;
  event->Header.WaitListHead.Flink = event->Header.WaitListHead.Blink = &event->Header.WaitListHead;
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
  verifier::RequireIrql(DISPATCH_LEVEL, "KeSetEvent");
  auto& d = detail::dispatcher();
  std::lock_guard<std::mutex> guard(d.lock);
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 1;
  d.changed.notify_all();
  return previous;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                                PLARGE_INTEGER timeout) {
  faults::Check("KeWaitForSingleObject");  // counted, so tests can see the waits
  bool mayBlock = timeout == nullptr || timeout->QuadPart != 0;
  verifier::RequireIrql(mayBlock ? APC_LEVEL : DISPATCH_LEVEL, "KeWaitForSingleObject");
  auto* header = static_cast<DISPATCHER_HEADER*>(object);
  auto& d = detail::dispatcher();
  std::unique_lock<std::mutex> guard(d.lock);
  auto satisfied = [header] { return header->SignalState != 0; };
  if (!satisfied()) {
    if (timeout == nullptr) {
      d.changed.wait(guard, satisfied);
    } else {
      // Relative timeouts are negative, in 100 ns units; absolute ones are
      // taken as relative to now, which is all a simulated clock can offer.
      LONGLONG units = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(units / 10);
      uint64_t generation = d.expiryGeneration;
      while (!satisfied()) {
        if (d.expiryGeneration != generation) return STATUS_TIMEOUT;
        if (d.clockStopped) {
          d.changed.wait(guard);
          continue;
        }
        if (d.changed.wait_until(guard, deadline) == std::cv_status::timeout && !satisfied()) return STATUS_TIMEOUT;
      }
    }
  }
  if (header->Type == SynchronizationEvent) header->SignalState = 0;
  return STATUS_SUCCESS;
}
