// The host platform: a user-mode implementation of the kernel, HAL, NDIS and
// filtering-platform interfaces the driver calls, with Driver Verifier-style
// checks. This header is the control panel that tests and tools use to run a
// simulated machine; the driver itself never includes it.
//
// One process is one machine: it boots with the first use and the driver
// loaded into it stays until the process ends (the driver has no unload).
#pragma once
#include "platform/wdk.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace host {

// ---- Verifier: rule violations found while the machine runs ----------------
namespace verifier {
void Report(const std::string& rule, const std::string& detail);
std::vector<std::string> Violations();
void Clear();
// The filter engine's pend, complete and inject routines may call back into
// the callout (a completion reauthorizes at once); the driver holds none of
// its spin locks across them.
void RequireNoSpinLockHeld(const char* routine);
// Checks that only the end of a test can make (an injection never completed,
// say); parts of the platform add theirs, a test's teardown runs them all.
void AddEndOfTestCheck(std::function<void()> check);
void RunEndOfTestChecks();
}  // namespace verifier

// ---- Failure injection for named platform routines ---------------------------
namespace faults {
// The nth call (1-based, counted from now) of `routine` fails with `status`;
// with every set, that call and all later ones fail.
void FailCall(const std::string& routine, unsigned nth, NTSTATUS status, bool every = false);
// The nth call (1-based, counted from now) of `routine` first runs `action` on
// the calling thread, as if another processor did something at that moment.
void BeforeCall(const std::string& routine, unsigned nth, std::function<void()> action);
// Low resources at random: from now on every call of every routine (pool
// allocations are calls of ExAllocatePoolWithTag) fails with `status` with
// probability `rate`, drawn for each call from `seed`, the routine's name and
// the call's number since this arming. A run that makes the same calls in
// the same order fails the same ones again. Clear() ends it.
void FailAtRandom(double rate, uint64_t seed, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// The calls that failed at random since FailAtRandom, by routine.
std::vector<std::pair<std::string, unsigned>> RandomFailures();
void Clear();
// Called by the platform routines themselves: the status to fail with, or 0.
NTSTATUS Check(const char* routine);
// How often a platform routine has been called since the machine booted.
unsigned CallCount(const std::string& routine);
// Every routine that has been called since boot, with its count.
std::vector<std::pair<std::string, unsigned>> CallCounts();
// The last call that failed because FailCall armed it: the routine, the
// call's number since boot and the return addresses on the calling thread at
// that moment, innermost first (the platform's own frames included).
struct Failure {
  std::string routine;
  unsigned call = 0;
  std::vector<const void*> stack;
};
bool LastFailure(Failure* failure);
}  // namespace faults

// ---- Non-paged pool ------------------------------------------------------------
namespace pool {
struct Allocation {
  const void* address;
  size_t size;
  ULONG tag;
  uint64_t sequence;  // allocation number since boot, 1-based
};
// The nth allocation from now fails; with every set, all from the nth on.
void FailAllocation(unsigned nth, bool every = false);
void ClearFailures();
uint64_t AllocationCount();  // allocations made since boot
std::vector<Allocation> Outstanding();
std::vector<Allocation> OutstandingSince(uint64_t sequence);  // made after that allocation number
size_t OutstandingCount(ULONG tag);
std::string LeakReport(const std::vector<Allocation>& allocations);
std::string TagText(ULONG tag);
// The last allocation that FailAllocation made fail: its number since boot,
// size, tag and the return addresses on the calling thread, innermost first.
struct Failure {
  uint64_t sequence = 0;
  size_t size = 0;
  ULONG tag = 0;
  std::vector<const void*> stack;
};
bool LastFailure(Failure* failure);
// The lean pool counts blocks and bytes per tag and nothing else, as cheap
// as the platform's look-aside path: no list of live blocks (no leak report,
// Outstanding() is empty), no fills, no allocation failures, and its
// allocations are not counted as calls. For benchmarks; refused (false)
// while any block is outstanding.
bool UseLeanAccounting(bool lean);
struct TagUse {
  ULONG tag;
  size_t blocks;
  size_t bytes;
};
std::vector<TagUse> LeanUse();  // per tag, in the lean pool
}  // namespace pool

// ---- Threads, IRQL, locks ----------------------------------------------------------
namespace kernel {
constexpr uint32_t kSystemProcessId = 4;
// Process and thread the current (simulated) thread runs in.
void SetCurrentIds(uint64_t processId, uint64_t threadId);
uint64_t CurrentProcessId();
uint64_t CurrentThreadId();
KIRQL CurrentIrql();
void SetCurrentIrql(KIRQL irql);
// Spin locks taken through KfAcquireSpinLock and not yet released by this thread.
size_t HeldSpinLockCount();
// Makes every wait with a timeout that is blocked now, or starts before the
// next call, return STATUS_TIMEOUT as if its time had run out.
void ExpireTimedWaits();
// While stopped, time does not pass: a timed wait ends only when its object is
// signalled or ExpireTimedWaits is called.
void StopClock(bool stopped);
// Blocks until every thread the driver made with PsCreateSystemThread is
// blocked in a wait whose object is not signalled: whatever the driver's
// threads had to do, they have done.
void WaitDriverThreadsIdle();
// Blocks until the delayed work queue has run every queued item.
void WaitWorkQueueIdle();
// While paused, the delayed work queue keeps what is queued and runs none of
// it (an item already running finishes). Resuming runs what waits.
void PauseWorkQueue(bool paused);
unsigned SystemThreadCount();  // started since boot, the driver's and the platform's
unsigned ServiceThreadCount();  // the platform's own, running now
// Brings the machine to rest before its process ends: time stops, the
// driver's threads finish what they were doing and block in their waits, and
// the platform's own service threads are stopped and joined. What the process
// ends afterwards is threads that wait and nothing else: no thread midway
// through its start, none holding a lock or running a job. Call it last; the
// machine runs nothing more after it.
void Shutdown();
unsigned OpenHandleCount();
unsigned WorkItemCount();  // allocated and not freed
unsigned MdlCount();       // allocated and not freed
}  // namespace kernel

// ---- I/O manager ------------------------------------------------------------------
namespace io {
struct IrpResult {
  NTSTATUS returned;
  IO_STATUS_BLOCK ioStatus;
  bool completed;
};
// Creates a driver object and runs the entry point on the calling thread, at
// PASSIVE_LEVEL in the System process, as the I/O manager loads a driver;
// each driver gets its own object, name and registry path. LoadedDriver is
// the first one loaded.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char16_t* serviceName);
PDRIVER_OBJECT LoadedDriver();
PDEVICE_OBJECT FindDevice(const char16_t* name);
// File objects IoGetDeviceObjectPointer opened and not yet dereferenced.
unsigned OpenFileObjectCount();
// Sends an IRP with one stack location of the given major function.
IrpResult SendIrp(PDEVICE_OBJECT device, UCHAR majorFunction);
}  // namespace io

// ---- Registry ---------------------------------------------------------------------
namespace registry {
// Sets a binary value under the service's Parameters key,
// \Registry\Machine\System\CurrentControlSet\Services\SERVICE\Parameters,
// which ZwOpenKey and ZwQueryValueKey read.
void SetServiceParameter(const char16_t* service, const char16_t* value, const std::string& bytes);
}  // namespace registry

std::string Utf16ToUtf8(const char16_t* text, size_t length);

}  // namespace host
