#include "core/driver/driver_entry.h"
#include "tests/support/machine.h"

namespace {
using nqtest::MachineTest;

class DriverEntryTest : public MachineTest {};

TEST_F(DriverEntryTest, CreatesTheNamedNetworkDeviceWithTheTableAsExtension) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  PDEVICE_OBJECT device = Device();
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_NETWORK));
  EXPECT_EQ(device->Characteristics, 0u);
  EXPECT_EQ(device->Flags & 0x8u, 0u) << "not exclusive";
  EXPECT_EQ(device->DriverObject, host::io::LoadedDriver());
  EXPECT_EQ(static_cast<void*>(gClientTable), device->DeviceExtension);
  EXPECT_NE(gDriverState, nullptr);
  EXPECT_EQ(host::io::LoadedDriver()->DriverUnload, nullptr) << "the driver has no unload routine";
}

TEST_F(DriverEntryTest, CreateAndCloseCompleteWithSuccessAndNoInformation) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  for (UCHAR major : {UCHAR(IRP_MJ_CREATE), UCHAR(IRP_MJ_CLOSE)}) {
    host::io::IrpResult r = host::io::SendIrp(Device(), major);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.returned, STATUS_SUCCESS);
    EXPECT_EQ(r.ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.ioStatus.Information, 0u);
  }
}

TEST_F(DriverEntryTest, OtherRequestsAreRefusedByTheIoManagerDefault) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  for (UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE), UCHAR(IRP_MJ_DEVICE_CONTROL)}) {
    host::io::IrpResult r = host::io::SendIrp(Device(), major);
    EXPECT_EQ(r.returned, STATUS_INVALID_DEVICE_REQUEST) << "major " << int(major);
    EXPECT_EQ(r.ioStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
  }
}

TEST_F(DriverEntryTest, FailedDeviceCreationReturnsItsStatusAndLeavesBothGlobalsNull) {
  host::faults::FailCall("IoCreateDevice", 1, STATUS_INSUFFICIENT_RESOURCES);
  nqtest::PoolCheckpoint pool;
  EXPECT_EQ(LoadDriver(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(gClientTable, nullptr);
  EXPECT_EQ(gDriverState, nullptr);
  EXPECT_EQ(Device(), nullptr);
  EXPECT_NO_LEAKS(pool);
  EXPECT_EQ(host::faults::CallCount("FwpmEngineOpen0"), 0u) << "start-up is not run";
}

TEST_F(DriverEntryTest, FailedStateAllocationStillLoadsAndLookupsAnswerNotFound) {
  host::pool::FailAllocation(1);  // the driver state record is the first pool allocation
  EXPECT_EQ(LoadDriver(), STATUS_SUCCESS);
  host::pool::ClearFailures();
  EXPECT_EQ(gDriverState, nullptr);
  ASSERT_NE(Table(), nullptr);
  EXPECT_EQ(Table()->Version, 1u);
  NqU64 pid = 5;
  EXPECT_EQ(Table()->LookupUdpEndpointOwner(0, 53, &pid), 0u);
  EXPECT_EQ(Table()->LookupTcpEndpointOwner(0x0100007F, 80, &pid), 0u);
  EXPECT_EQ(pid, 5u);
  EXPECT_EQ(host::faults::CallCount("FwpmEngineOpen0"), 0u) << "no start-up without a state record";
}

TEST_F(DriverEntryTest, StateRecordStartsWithEmptyListsAndAnUnsignalledEvent) {
  ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
  DriverState* s = gDriverState;
  ASSERT_NE(s, nullptr);
  for (LIST_ENTRY* list : {&s->pendQueue, &s->decidedBinds, &s->decidedConnects, &s->decidedListens,
                           &s->udpEndpoints, &s->tcpEndpoints})
    EXPECT_TRUE(IsListEmpty(list));
  EXPECT_EQ(s->pendEvent.Header.SignalState, 0);
  EXPECT_EQ(s->pendEvent.Header.Type, SynchronizationEvent);
  EXPECT_EQ(s->workItem, nullptr);
  EXPECT_EQ(s->driverObject, host::io::LoadedDriver());
  EXPECT_EQ(s->deviceObject, Device());
}
}  // namespace
