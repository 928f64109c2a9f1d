// Events and waits. All dispatcher objects share one lock and one condition,
// which is plenty for a simulated machine and keeps the KEVENT layout intact:
// the signal state lives in the object itself.
#include "host/kernel/state.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>

namespace host::detail {
namespace {
struct Dispatcher {
  std::mutex lock;
  std::condition_variable changed;  // an object was signalled, or the clock moved
  // A driver thread blocked or ended: only those that wait for the driver's
  // threads to be idle hear of it, and a signal wakes none of them.
  std::condition_variable idle;
  uint64_t expiryGeneration = 0;
  bool clockStopped = false;
  unsigned driverThreads = 0;                 // made by PsCreateSystemThread and not ended
  std::vector<DISPATCHER_HEADER*> blockedOn;  // what those of them blocked in a wait wait for

  bool DriverThreadsIdle() const {
    if (blockedOn.size() != driverThreads) return false;
    for (const DISPATCHER_HEADER* header : blockedOn)
      if (header->SignalState != 0) return false;  // signalled: about to run
    return true;
  }
};
Dispatcher& dispatcher() { return Forever<Dispatcher>(); }

// Counts a driver thread as blocked for as long as it waits.
class BlockedWhileWaiting {
 public:
  BlockedWhileWaiting(Dispatcher& d, DISPATCHER_HEADER* header)
      : d_(d), header_(header), counted_(CurrentThread().driverThread) {
    if (counted_) {
      d_.blockedOn.push_back(header_);
      d_.idle.notify_all();
    }
  }
  ~BlockedWhileWaiting() {
    if (counted_) d_.blockedOn.erase(std::find(d_.blockedOn.begin(), d_.blockedOn.end(), header_));
  }

 private:
  Dispatcher& d_;
  DISPATCHER_HEADER* header_;
  bool counted_;
};
}  // namespace

void DriverThreadStarting() {
  std::lock_guard<std::mutex> guard(dispatcher().lock);
  ++dispatcher().driverThreads;
}

void DriverThreadEnded() {
  std::lock_guard<std::mutex> guard(dispatcher().lock);
  --dispatcher().driverThreads;
  dispatcher().changed.notify_all();
  dispatcher().idle.notify_all();
}
}  // namespace host::detail

namespace host::kernel {
void ExpireTimedWaits() {
  auto& d = detail::dispatcher();
  std::lock_guard<std::mutex> guard(d.lock);
  ++d.expiryGeneration;
  d.changed.notify_all();
}

void WaitDriverThreadsIdle() {
  auto& d = detail::dispatcher();
  std::unique_lock<std::mutex> guard(d.lock);
  d.idle.wait(guard, [&d] { return d.DriverThreadsIdle(); });
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
    detail::BlockedWhileWaiting blocked(d, header);
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
