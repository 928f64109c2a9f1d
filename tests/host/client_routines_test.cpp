// The kernel routines a client driver's DriverEntry uses to find the device
// and keep its state, as the platform documents them.
#include "tests/support/machine.h"

namespace {

class ClientRoutines : public nqtest::MachineTest {
 protected:
  UNICODE_STRING DeviceName() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\NQ_WFP_BASE_DRV");
    return name;
  }
};

TEST_F(ClientRoutines, DeviceIsFoundByNameAndItsFileObjectDereferencedOnce) {
  UNICODE_STRING name = DeviceName();
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND)
      << "before the driver is loaded";
  ASSERT_TRUE(NT_SUCCESS(LoadDriver()));

  host::faults::FailCall("IoGetDeviceObjectPointer", 1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_INSUFFICIENT_RESOURCES);

  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
  EXPECT_EQ(device, Device());
  EXPECT_EQ(static_cast<ClientTable*>(device->DeviceExtension)->Signature, NQ_CLIENT_TABLE_SIGNATURE);
  EXPECT_EQ(host::io::OpenFileObjectCount(), 1u);
  EXPECT_EQ(ObDereferenceObject(file), 0);
  EXPECT_EQ(host::io::OpenFileObjectCount(), 0u);

  ObDereferenceObject(file);
  auto violations = host::verifier::Violations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rfind("BAD_OBJECT_REFERENCE", 0), 0u) << violations[0];
  host::verifier::Clear();
}

TEST_F(ClientRoutines, CurrentIrqlFollowsTheSpinLockAndInterlockedOpsReturnWhatTheyDocument) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  volatile LONG n = 5;
  EXPECT_EQ(InterlockedIncrement(&n), 6);
  EXPECT_EQ(InterlockedExchangeAdd(&n, 4), 6);
  EXPECT_EQ(InterlockedCompareExchange(&n, 1, 9), 10) << "no exchange: 10 is not 9";
  EXPECT_EQ(InterlockedCompareExchange(&n, 1, 10), 10);
  EXPECT_EQ(InterlockedDecrement(&n), 0);
  volatile LONGLONG big = 0xFFFFFFFFll;
  EXPECT_EQ(InterlockedExchangeAdd64(&big, 1), 0xFFFFFFFFll);
  EXPECT_EQ(big, 0x100000000ll);
}

TEST_F(ClientRoutines, ServiceParametersAreReadAsTheRegistryHandsThemOut) {
  host::registry::SetServiceParameter(u"sample", u"Policy", "url /");
  UNICODE_STRING key, value, missing;
  RtlInitUnicodeString(&key, u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\sample\\Parameters");
  RtlInitUnicodeString(&value, u"policy");
  RtlInitUnicodeString(&missing, u"Other");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &key, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE handle = nullptr;
  ASSERT_EQ(ZwOpenKey(&handle, KEY_READ, &attributes), STATUS_SUCCESS) << "names compare without regard to case";

  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[32];
  } out;
  ULONG needed = 0;
  EXPECT_EQ(ZwQueryValueKey(handle, &missing, KeyValuePartialInformation, &out, sizeof out, &needed),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwQueryValueKey(handle, &value, KeyValuePartialInformation, &out, 4, &needed), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 12u + 5u);
  EXPECT_EQ(ZwQueryValueKey(handle, &value, KeyValuePartialInformation, &out, 14, &needed), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(out.info.DataLength, 5u) << "the fixed part is filled in";
  ASSERT_EQ(ZwQueryValueKey(handle, &value, KeyValuePartialInformation, &out, sizeof out, &needed), STATUS_SUCCESS);
  EXPECT_EQ(out.info.Type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.info.Data), out.info.DataLength), "url /");
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

  RtlInitUnicodeString(&key, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\other\\Parameters");
  EXPECT_EQ(ZwOpenKey(&handle, KEY_READ, &attributes), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
