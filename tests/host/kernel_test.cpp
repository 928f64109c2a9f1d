// The host kernel behaves as the platform documents where the driver relies
// on it, and its verifier catches the faults it is there to catch.
#include "tests/support/machine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

class HostKernel : public ::testing::Test {
 protected:
  void ExpectViolation(const std::string& rule) {
    auto v = host::verifier::Violations();
    bool found = false;
    for (const auto& text : v) found |= text.rfind(rule, 0) == 0;
    EXPECT_TRUE(found) << "expected a " << rule << " violation";
    host::verifier::Clear();
  }
  void TearDown() override {
    for (const auto& v : host::verifier::Violations()) ADD_FAILURE() << "verifier: " << v;
  }
};

TEST_F(HostKernel, PoolAccountsByTagAndReportsLeaks) {
  nqtest::PoolCheckpoint checkpoint;
  void* a = ExAllocatePoolWithTag(NonPagedPool, 10, 0x4E514657u);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 20, 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(host::pool::OutstandingCount(0x4E514657u), 1u);
  auto leaks = checkpoint.Leaks();
  ASSERT_EQ(leaks.size(), 2u);
  EXPECT_EQ(leaks[0].size, 10u);
  EXPECT_NE(checkpoint.Report().find("tag WFQN"), std::string::npos) << checkpoint.Report();
  ExFreePoolWithTag(a, 0x4E514657u);
  ExFreePoolWithTag(b, 0);
  EXPECT_NO_LEAKS(checkpoint);
}

TEST_F(HostKernel, PoolFailsTheNthAllocationOrEveryOneFromIt) {
  host::pool::FailAllocation(2);
  void* first = ExAllocatePoolWithTag(NonPagedPool, 8, 0);
  void* second = ExAllocatePoolWithTag(NonPagedPool, 8, 0);
  void* third = ExAllocatePoolWithTag(NonPagedPool, 8, 0);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  host::pool::FailAllocation(2, /*every=*/true);
  void* fourth = ExAllocatePoolWithTag(NonPagedPool, 8, 0);
  EXPECT_NE(fourth, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, 0), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, 0), nullptr);
  host::pool::ClearFailures();
  for (void* p : {first, third, fourth}) ExFreePoolWithTag(p, 0);
}

TEST_F(HostKernel, LeanPoolCountsPerTagAndTakesOverOnlyFromAnEmptyPool) {
  void* held = ExAllocatePoolWithTag(NonPagedPool, 10, 'A');
  EXPECT_FALSE(host::pool::UseLeanAccounting(true)) << "a block of the verifier pool is outstanding";
  ExFreePoolWithTag(held, 'A');
  ASSERT_TRUE(host::pool::UseLeanAccounting(true));
  void* a = ExAllocatePoolWithTag(NonPagedPool, 10, 'A');
  void* b = ExAllocatePoolWithTag(NonPagedPool, 30, 'A');
  void* c = ExAllocatePoolWithTag(NonPagedPool, 7, 'B');
  EXPECT_EQ(host::pool::OutstandingCount('A'), 2u);
  EXPECT_FALSE(host::pool::UseLeanAccounting(false)) << "lean blocks are outstanding";
  size_t bytesA = 0;
  for (const auto& use : host::pool::LeanUse())
    if (use.tag == 'A') bytesA = use.bytes;
  EXPECT_EQ(bytesA, 40u);
  ExFreePoolWithTag(a, 'A');
  ExFreePoolWithTag(b, 'A');
  ExFreePoolWithTag(c, 'B');
  EXPECT_EQ(host::pool::OutstandingCount('A'), 0u);
  EXPECT_TRUE(host::pool::UseLeanAccounting(false));
}

TEST_F(HostKernel, CallsAreCountedByNameWithOrWithoutAFailureArmed) {
  unsigned before = host::faults::CallCount("IoAllocateMdl");
  char bytes[8];
  PMDL first = IoAllocateMdl(bytes, sizeof(bytes), FALSE, FALSE, nullptr);
  host::faults::FailCall("IoAllocateMdl", 1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoAllocateMdl(bytes, sizeof(bytes), FALSE, FALSE, nullptr), nullptr);
  host::faults::Clear();
  EXPECT_EQ(host::faults::CallCount("IoAllocateMdl"), before + 2);
  host::faults::Failure failure;
  ASSERT_TRUE(host::faults::LastFailure(&failure));
  EXPECT_EQ(failure.routine, "IoAllocateMdl");
  EXPECT_EQ(failure.call, before + 2);
  IoFreeMdl(first);
}

// Low resources at random: each call drawn on its own from the seed, so a
// seed fails the same calls again, at about the rate asked.
TEST_F(HostKernel, RandomFailuresRepeatWithTheirSeedAtTheRateAsked) {
  constexpr ULONG kTag = 0x646E6152;  // "Rand"
  auto failing = [](double rate, uint64_t seed) {
    std::vector<bool> failed;
    host::faults::FailAtRandom(rate, seed);
    for (int i = 0; i < 400; ++i) {
      void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
      failed.push_back(block == nullptr);
      if (block != nullptr) ExFreePoolWithTag(block, kTag);
    }
    unsigned counted = 0;
    for (const auto& [routine, n] : host::faults::RandomFailures()) counted += routine == "ExAllocatePoolWithTag" ? n : 0;
    EXPECT_EQ(counted, static_cast<unsigned>(std::count(failed.begin(), failed.end(), true)));
    host::faults::Clear();
    return failed;
  };
  std::vector<bool> first = failing(0.05, 7);
  EXPECT_EQ(failing(0.05, 7), first);
  EXPECT_NE(failing(0.05, 8), first);
  EXPECT_GT(std::count(first.begin(), first.end(), true), 5);
  EXPECT_LT(std::count(first.begin(), first.end(), true), 40);
  std::vector<bool> all = failing(1, 7);
  EXPECT_EQ(std::count(all.begin(), all.end(), true), 400);
  void* after = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  EXPECT_NE(after, nullptr) << "Clear ends the random failures";
  ExFreePoolWithTag(after, kTag);
}

// Counts are kept per thread; what threads counted, running or ended, and
// blocks freed by a thread other than the one that took them all add up.
TEST_F(HostKernel, CountsFromManyThreadsAddUpAfterTheyEnd) {
  constexpr int kThreads = 6, kRounds = 500;
  unsigned callsBefore = host::faults::CallCount("IoAllocateMdl");
  ASSERT_TRUE(host::pool::UseLeanAccounting(true));
  std::vector<void*> handedOver(kThreads * kRounds);
  for (int wave = 0; wave < 2; ++wave) {  // the second wave takes over the first one's tallies
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t, &handedOver] {
        char bytes[8];
        for (int r = 0; r < kRounds; ++r) {
          IoFreeMdl(IoAllocateMdl(bytes, sizeof(bytes), FALSE, FALSE, nullptr));
          void*& slot = handedOver[t * kRounds + r];
          if (slot == nullptr) {
            slot = ExAllocatePoolWithTag(NonPagedPool, 24 + r % 100, 'X');
          } else {  // a block another thread took
            ExFreePoolWithTag(slot, 'X');
            slot = nullptr;
          }
        }
      });
    for (auto& thread : threads) thread.join();
    if (wave == 0) {
      EXPECT_EQ(host::pool::OutstandingCount('X'), size_t(kThreads * kRounds));
      std::reverse(handedOver.begin(), handedOver.end());  // each thread frees another's blocks
    }
  }
  EXPECT_EQ(host::faults::CallCount("IoAllocateMdl"), callsBefore + 2 * kThreads * kRounds);
  EXPECT_EQ(host::pool::OutstandingCount('X'), 0u);
  for (const auto& use : host::pool::LeanUse()) {
    if (use.tag == 'X') {
      EXPECT_EQ(use.bytes, 0u);
    }
  }
  EXPECT_TRUE(host::pool::UseLeanAccounting(false));
}

TEST_F(HostKernel, AnActionRunsOnceBeforeTheNthCallOfARoutine) {
  std::vector<uint64_t> seenAt;
  host::faults::BeforeCall("ExAllocatePoolWithTag", 2, [&seenAt] {
    seenAt.push_back(host::pool::AllocationCount());
    // Whatever the action calls does not run it again.
    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 4, 0), 0);
  });
  uint64_t before = host::pool::AllocationCount();
  void* a = ExAllocatePoolWithTag(NonPagedPool, 8, 0);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 8, 0);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 8, 0);
  ASSERT_EQ(seenAt.size(), 1u);
  EXPECT_EQ(seenAt[0], before + 1) << "after the first allocation, before the second";
  EXPECT_EQ(host::pool::AllocationCount(), before + 4);
  for (void* p : {a, b, c}) ExFreePoolWithTag(p, 0);
}

TEST_F(HostKernel, FreeingTwiceOrWithTheWrongTagIsCaught) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 4, 0x64636261u);
  ExFreePoolWithTag(p, 0);
  ExpectViolation("BAD_POOL_CALLER");
  void* q = ExAllocatePoolWithTag(NonPagedPool, 4, 0);
  ExFreePoolWithTag(q, 0);
  ExFreePoolWithTag(q, 0);
  ExpectViolation("BAD_POOL_CALLER");
}

TEST_F(HostKernel, SpinLocksRaiseToDispatchAndCatchTwoHeldOrReleaseNotHeld) {
  KSPIN_LOCK a = 0, b = 0;
  KIRQL old = KfAcquireSpinLock(&a);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(host::kernel::CurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(host::kernel::HeldSpinLockCount(), 1u);
  KfReleaseSpinLock(&a, old);
  EXPECT_EQ(host::kernel::CurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(host::verifier::Violations().empty());

  KIRQL o1 = KfAcquireSpinLock(&a);
  KIRQL o2 = KfAcquireSpinLock(&b);
  ExpectViolation("LOCK_ORDER");
  KfReleaseSpinLock(&b, o2);
  KfReleaseSpinLock(&a, o1);
  KfReleaseSpinLock(&a, PASSIVE_LEVEL);
  ExpectViolation("SPIN_LOCK_NOT_OWNED");
}

TEST_F(HostKernel, SpinLockExcludesOtherThreads) {
  KSPIN_LOCK lock = 0;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      KIRQL old = KfAcquireSpinLock(&lock);
      long v = counter;
      counter = v + 1;
      KfReleaseSpinLock(&lock, old);
    }
  };
  std::thread t1(work), t2(work);
  t1.join();
  t2.join();
  EXPECT_EQ(counter, 40000);
}

TEST_F(HostKernel, SynchronizationEventWakesOneWaitAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(event.Header.SignalState, 0) << "a satisfied wait resets a synchronization event";

  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    woke = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(woke.load());
  KeSetEvent(&event, 0, FALSE);
  waiter.join();
  EXPECT_TRUE(woke.load());
}

TEST_F(HostKernel, RelativeTimeoutExpiresOrIsExpiredOnRequest) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LARGE_INTEGER shortWait;
  shortWait.QuadPart = -10 * 1000 * 5;  // 5 ms
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);

  LARGE_INTEGER longWait;
  longWait.QuadPart = -10LL * 1000 * 1000 * 3600;  // an hour
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread waiter([&] { result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &longWait); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  host::kernel::ExpireTimedWaits();
  waiter.join();
  EXPECT_EQ(result.load(), STATUS_TIMEOUT);
}

TEST_F(HostKernel, WithTheClockStoppedOnlyASignalOrAnExpiryEndsATimedWait) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  host::kernel::StopClock(true);
  LARGE_INTEGER shortWait;
  shortWait.QuadPart = -10 * 1000;  // 1 ms
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  std::thread waiter([&] {
    result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait);
    result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result.load(), STATUS_PENDING) << "no time passed";
  KeSetEvent(&event, 0, FALSE);
  while (result.load() == STATUS_PENDING) std::this_thread::yield();
  EXPECT_EQ(result.load(), STATUS_SUCCESS);
  // The second wait ends only by expiry; expire until it has started and ended.
  for (int i = 0; i < 5000 && result.load() == STATUS_SUCCESS; ++i) {
    host::kernel::ExpireTimedWaits();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  waiter.join();
  EXPECT_EQ(result.load(), STATUS_TIMEOUT);
  host::kernel::StopClock(false);
}

TEST_F(HostKernel, BlockingWaitAtDispatchLevelIsCaught) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  host::kernel::SetCurrentIrql(DISPATCH_LEVEL);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  host::kernel::SetCurrentIrql(PASSIVE_LEVEL);
  ExpectViolation("IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(HostKernel, VsnprintfFollowsTheKernelTruncationRules) {
  char buffer[8];
  auto format = [&buffer](SIZE_T count, const char* fmt, ...) {
    std::memset(buffer, '#', sizeof(buffer));
    va_list args;
    va_start(args, fmt);
    int n = _vsnprintf(buffer, count, fmt, args);
    va_end(args);
    return n;
  };
  EXPECT_EQ(format(8, "%d.%d", 1, 2), 3);
  EXPECT_STREQ(buffer, "1.2");
  EXPECT_EQ(format(3, "%d.%d", 1, 2), 3) << "exactly filling the buffer";
  EXPECT_EQ(buffer[3], '#') << "no terminating NUL when the text fills the count";
  EXPECT_EQ(format(2, "%d.%d", 1, 2), -1);
  EXPECT_EQ(std::string(buffer, 3), "1.#");
}

struct ThreadProbe {
  std::atomic<uint64_t> pid{0};
  std::atomic<bool> done{false};
};
VOID NTAPI ProbeThread(PVOID context) {
  auto* probe = static_cast<ThreadProbe*>(context);
  probe->pid = reinterpret_cast<uintptr_t>(PsGetCurrentProcessId());
  probe->done = true;
}

TEST_F(HostKernel, SystemThreadRunsInTheSystemProcessAndItsHandleCloses) {
  ThreadProbe probe;
  HANDLE thread = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ProbeThread, &probe),
            STATUS_SUCCESS);
  unsigned handles = host::kernel::OpenHandleCount();
  EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
  EXPECT_EQ(host::kernel::OpenHandleCount(), handles - 1);
  while (!probe.done) std::this_thread::yield();
  EXPECT_EQ(probe.pid.load(), host::kernel::kSystemProcessId);
}

std::atomic<int> gWorkRuns{0};
PDEVICE_OBJECT gWorkDevice = nullptr;
VOID NTAPI CountWork(PDEVICE_OBJECT device, PVOID) {
  gWorkDevice = device;
  ++gWorkRuns;
}

TEST_F(HostKernel, WorkItemRunsOnTheWorkQueue) {
  DEVICE_OBJECT device{};
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  ASSERT_NE(item, nullptr);
  IoQueueWorkItem(item, CountWork, DelayedWorkQueue, nullptr);
  host::kernel::WaitWorkQueueIdle();
  EXPECT_EQ(gWorkRuns.load(), 1);
  EXPECT_EQ(gWorkDevice, &device);
  IoFreeWorkItem(item);
  EXPECT_EQ(host::kernel::WorkItemCount(), 0u);
}

// A driver thread in a timed wait on an event nothing signals.
KEVENT gNeverSet;
std::atomic<bool> gTimedWaitReturned{false};
VOID NTAPI WaitOnNeverSet(PVOID) {
  LARGE_INTEGER timeout;
  // Long enough that a loaded machine does not let it run out before the
  // test shuts down; the test then waits past it.
  timeout.QuadPart = -200 * 1000 * 10;  // 200 ms
  KeWaitForSingleObject(&gNeverSet, Executive, KernelMode, FALSE, &timeout);
  gTimedWaitReturned = true;
}

// The end of a test process: nothing may be left starting, running a job or
// about to wake when the process ends, since ending it kills every thread
// wherever it is.
TEST_F(HostKernel, ShutdownJoinsTheServiceThreadsAndLeavesTheDriverThreadsWaiting) {
  KeInitializeEvent(&gNeverSet, SynchronizationEvent, FALSE);
  HANDLE thread = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitOnNeverSet, nullptr),
            STATUS_SUCCESS);
  ZwClose(thread);
  DEVICE_OBJECT device{};
  PIO_WORKITEM ran = IoAllocateWorkItem(&device);
  PIO_WORKITEM leftQueued = IoAllocateWorkItem(&device);
  IoQueueWorkItem(ran, CountWork, DelayedWorkQueue, nullptr);
  host::kernel::WaitWorkQueueIdle();
  host::kernel::PauseWorkQueue(true);
  IoQueueWorkItem(leftQueued, CountWork, DelayedWorkQueue, nullptr);
  EXPECT_EQ(host::kernel::ServiceThreadCount(), 1u) << "the work queue";

  host::kernel::Shutdown();  // a queue that holds an item still stops
  EXPECT_EQ(host::kernel::ServiceThreadCount(), 0u);
  EXPECT_EQ(gWorkRuns.load(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(gTimedWaitReturned) << "time stopped: the driver's timed wait did not run out";
}
}  // namespace
