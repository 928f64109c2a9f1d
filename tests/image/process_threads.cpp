// Threads of the test process that Wine has not yet finished starting.
#include "tests/image/process_threads.h"

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>

namespace nqimage {
namespace {
// Threads that have run this program's thread-attach callback, which the
// loader calls once a new thread is set up and before its start routine.
constexpr unsigned kMaxThreads = 1024;
std::atomic<DWORD> started[kMaxThreads];
std::atomic<unsigned> startedCount{0};

void NTAPI OnThreadEvent(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_ATTACH) return;
  unsigned slot = startedCount.fetch_add(1);
  if (slot < kMaxThreads) started[slot] = GetCurrentThreadId();
}

bool HasStarted(DWORD threadId) {
  unsigned n = startedCount.load();
  if (n > kMaxThreads) return true;  // no longer tracked: take them as started
  for (unsigned i = 0; i < n; ++i)
    if (started[i].load() == threadId) return true;
  return false;
}

// The threads of this process, other than the calling one, not yet started.
unsigned ThreadsStillStarting() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  unsigned starting = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId() || entry.th32ThreadID == GetCurrentThreadId()) continue;
    starting += !HasStarted(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return starting;
}
}  // namespace

void WaitEveryThreadStarted() {
  for (unsigned waited = 0; ThreadsStillStarting() != 0; ++waited) {
    if (waited == 10000) {
      std::fprintf(stderr, "a thread of the test process did not start within 10 s\n");
      return;
    }
    Sleep(1);
  }
}
}  // namespace nqimage

// Runs for every thread the process starts (the C runtime's TLS directory).
extern "C" __attribute__((section(".CRT$XLY"), used)) const PIMAGE_TLS_CALLBACK nqThreadEventCallback =
    nqimage::OnThreadEvent;
