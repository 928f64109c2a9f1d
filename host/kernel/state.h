// Internal to the host platform: per-thread context and shared helpers.
#pragma once
#include "host/host.h"

#include <mutex>

namespace host::detail {

struct ThreadContext {
  KIRQL irql = PASSIVE_LEVEL;
  uint64_t processId = kernel::kSystemProcessId;
  uint64_t threadId = 0;
  std::vector<PKSPIN_LOCK> heldLocks;
  bool driverThread = false;  // made by PsCreateSystemThread
};

ThreadContext& CurrentThread();
uint64_t NewThreadId();

// Runs a routine on a new system thread of the simulated machine (the
// driver's, from PsCreateSystemThread: it lives as long as the process).
void StartSystemThread(std::function<void()> body);

// Starts one of the platform's own service threads (the work queue, the BFE
// notifier, injection completions, later reauthorizations). Its body returns
// once MachineStopping() is true; `wake` takes the service's lock and rouses
// it from its wait, so that it sees the change. kernel::Shutdown joins it.
void StartServiceThread(std::function<void()> body, std::function<void()> wake);
// True once kernel::Shutdown has begun; a service reads it under its own lock.
bool MachineStopping();

// The driver's system threads, for telling when all of them wait.
void DriverThreadStarting();
void DriverThreadEnded();

// A handle table for kernel handles the platform hands out.
HANDLE NewHandle(const char* kind);
bool CloseHandle(HANDLE handle);

// The return addresses on the calling thread, innermost first.
std::vector<const void*> CallerStack();

// Objects the machine keeps for its life; never destroyed, so that threads
// still running at process exit never see a destructed object.
template <typename T>
T& Forever() {
  static T* object = new T();
  return *object;
}

}  // namespace host::detail
