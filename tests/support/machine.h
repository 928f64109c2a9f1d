// Test support: every test case runs in a fresh process, which is one freshly
// booted simulated machine.
//
// The tests here reach the driver only through its entry point, its device
// and table and the callouts the filter engine holds, so they run against
// either build of it: the driver linked into the test program, or the real
// nqwfpdrv.sys mapped into it (tests/image). Tests that look at the driver's
// own records include its headers and run on the linked build only.
#pragma once
#include "core/driver/client_table.h"

// 1 where the driver is linked into the test program (its records readable).
#ifndef NQ_LINKED_DRIVER
#define NQ_LINKED_DRIVER 0
#endif
#include "host/host.h"
#include "tools/client/stand_in_client.h"

#include <gtest/gtest.h>

namespace nqtest {

// The entry point of the driver under test (see above).
PDRIVER_INITIALIZE DriverUnderTest();

// Fails the test on any verifier violation the machine recorded during it.
class MachineTest : public ::testing::Test {
 protected:
  void TearDown() override {
    host::verifier::RunEndOfTestChecks();
    auto violations = host::verifier::Violations();
    for (const auto& v : violations) ADD_FAILURE() << "verifier: " << v;
  }

  NTSTATUS LoadDriver() { return host::io::LoadDriver(DriverUnderTest(), u"nqwfpdrv"); }
  PDEVICE_OBJECT Device() { return host::io::FindDevice(u"\\Device\\NQ_WFP_BASE_DRV"); }
  ClientTable* Table() {
    PDEVICE_OBJECT d = Device();
    return d != nullptr ? static_cast<ClientTable*>(d->DeviceExtension) : nullptr;
  }
  client::StandInClient& Client() { return client::StandInClient::Instance(); }
};

// Pool allocations made after a checkpoint and not freed since.
class PoolCheckpoint {
 public:
  PoolCheckpoint() : sequence_(host::pool::AllocationCount()) {}
  std::vector<host::pool::Allocation> Leaks() const { return host::pool::OutstandingSince(sequence_); }
  std::string Report() const { return host::pool::LeakReport(Leaks()); }

 private:
  uint64_t sequence_;
};

#define EXPECT_NO_LEAKS(checkpoint) EXPECT_TRUE((checkpoint).Leaks().empty()) << (checkpoint).Report()

}  // namespace nqtest
