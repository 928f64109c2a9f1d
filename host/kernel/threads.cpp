// Threads, IRQL, spin locks, handles and the process and thread identities of
// the simulated machine.
#include "host/kernel/state.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <sched.h>
#include <thread>

namespace host::detail {
namespace {
std::atomic<uint64_t> nextThreadId{1000};
std::atomic<unsigned> systemThreads{0};

std::atomic<bool> stopping{false};

struct ServiceThread {
  std::thread thread;
  std::function<void()> wake;
};
struct Services {
  std::mutex lock;
  std::vector<ServiceThread> running;
};

struct HandleTable {
  std::mutex lock;
  std::map<uintptr_t, std::string> open;
  uintptr_t next = 0x80;
};
}  // namespace

uint64_t NewThreadId() { return nextThreadId.fetch_add(4); }

void NameThread(ThreadContext* context) {
  context->threadId = NewThreadId();
  context->named = true;
}

namespace {
std::thread NewSystemThread(std::function<void()> body) {
  ++systemThreads;
  return std::thread([body = std::move(body)] {
    ThreadContext& self = CurrentThread();
    self.processId = kernel::kSystemProcessId;
    self.irql = PASSIVE_LEVEL;
    body();
  });
}

// Stops and joins every service thread; ones started meanwhile are taken too.
void StopServiceThreads() {
  auto& services = Forever<Services>();
  for (;;) {
    std::vector<ServiceThread> stopping;
    {
      std::lock_guard<std::mutex> guard(services.lock);
      stopping.swap(services.running);
    }
    if (stopping.empty()) return;
    for (ServiceThread& service : stopping) service.wake();
    for (ServiceThread& service : stopping) service.thread.join();
  }
}
}  // namespace

void StartSystemThread(std::function<void()> body) { NewSystemThread(std::move(body)).detach(); }

void StartServiceThread(std::function<void()> body, std::function<void()> wake) {
  auto& services = Forever<Services>();
  std::lock_guard<std::mutex> guard(services.lock);
  services.running.push_back(ServiceThread{NewSystemThread(std::move(body)), std::move(wake)});
}

bool MachineStopping() { return stopping.load(); }

HANDLE NewHandle(const char* kind) {
  auto& table = Forever<HandleTable>();
  std::lock_guard<std::mutex> guard(table.lock);
  uintptr_t value = table.next;
  table.next += 4;
  table.open[value] = kind;
  return reinterpret_cast<HANDLE>(value);
}

bool CloseHandle(HANDLE handle) {
  auto& table = Forever<HandleTable>();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.open.erase(reinterpret_cast<uintptr_t>(handle)) == 1;
}
}  // namespace host::detail

namespace host::kernel {
void SetCurrentIds(uint64_t processId, uint64_t threadId) {
  detail::CurrentThread().processId = processId;
  detail::CurrentThread().threadId = threadId;
}
uint64_t CurrentProcessId() { return detail::CurrentThread().processId; }
uint64_t CurrentThreadId() { return detail::CurrentThread().threadId; }
KIRQL CurrentIrql() { return detail::CurrentThread().irql; }
void SetCurrentIrql(KIRQL irql) { detail::CurrentThread().irql = irql; }
size_t HeldSpinLockCount() { return detail::CurrentThread().heldLocks.size(); }
unsigned SystemThreadCount() { return detail::systemThreads.load(); }
unsigned ServiceThreadCount() {
  auto& services = detail::Forever<detail::Services>();
  std::lock_guard<std::mutex> guard(services.lock);
  return static_cast<unsigned>(services.running.size());
}

void Shutdown() {
  // A timed wait that ran out now would set a driver thread running again.
  StopClock(true);
  WaitDriverThreadsIdle();
  detail::stopping = true;
  detail::StopServiceThreads();
  // The services' last jobs may have signalled a driver thread.
  WaitDriverThreadsIdle();
}
unsigned OpenHandleCount() {
  auto& table = detail::Forever<detail::HandleTable>();
  std::lock_guard<std::mutex> guard(table.lock);
  return static_cast<unsigned>(table.open.size());
}
}  // namespace host::kernel

using namespace host;

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK spinLock) {
  auto& self = detail::CurrentThread();
  verifier::RequireIrql(DISPATCH_LEVEL, "KfAcquireSpinLock");
  for (PKSPIN_LOCK held : self.heldLocks) {
    if (held == spinLock) {
      verifier::Report("SPIN_LOCK_ALREADY_OWNED", "a thread acquired a spin lock it already holds");
      std::abort();  // would deadlock on the machine too
    }
  }
  if (!self.heldLocks.empty())
    verifier::Report("LOCK_ORDER", "a thread holds two of the driver's spin locks at once");
  KIRQL old = self.irql;
  self.irql = DISPATCH_LEVEL;
  auto* word = reinterpret_cast<volatile ULONG_PTR*>(spinLock);
  while (__atomic_exchange_n(word, 1, __ATOMIC_ACQUIRE) != 0) {
    while (__atomic_load_n(word, __ATOMIC_RELAXED) != 0) sched_yield();
  }
  self.heldLocks.Add(spinLock);
  return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql) {
  auto& self = detail::CurrentThread();
  if (!self.heldLocks.Remove(spinLock)) {
    verifier::Report("SPIN_LOCK_NOT_OWNED", "a thread released a spin lock it does not hold");
    return;
  }
  __atomic_store_n(reinterpret_cast<volatile ULONG_PTR*>(spinLock), 0, __ATOMIC_RELEASE);
  if (newIrql > DISPATCH_LEVEL) verifier::Report("IRQL_NOT_LESS_OR_EQUAL", "KfReleaseSpinLock to an IRQL above DISPATCH_LEVEL");
  self.irql = newIrql;
}

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES,
                                               HANDLE, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                                               PVOID startContext) {
  (void)desiredAccess;
  verifier::RequireIrql(PASSIVE_LEVEL, "PsCreateSystemThread");
  if (NTSTATUS failure = faults::Check("PsCreateSystemThread")) return failure;
  uint64_t threadId = detail::NewThreadId();
  *threadHandle = detail::NewHandle("Thread");
  if (clientId != nullptr) {
    clientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(kernel::kSystemProcessId));
    clientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(threadId));
  }
  detail::DriverThreadStarting();
  detail::StartSystemThread([startRoutine, startContext, threadId] {
    detail::CurrentThread().threadId = threadId;
    detail::CurrentThread().driverThread = true;
    startRoutine(startContext);
    detail::DriverThreadEnded();
  });
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE handle) {
  verifier::RequireIrql(PASSIVE_LEVEL, "ZwClose");
  if (!detail::CloseHandle(handle)) {
    verifier::Report("INVALID_KERNEL_HANDLE", "ZwClose of a handle that is not open");
    return NQ_STATUS(0xC0000008);  // STATUS_INVALID_HANDLE
  }
  return STATUS_SUCCESS;
}

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) { return detail::CurrentThread().irql; }

extern "C" HANDLE NTAPI PsGetCurrentProcessId(VOID) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(detail::CurrentThread().processId));
}

extern "C" HANDLE NTAPI PsGetCurrentThreadId(VOID) {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(detail::CurrentThread().threadId));
}
