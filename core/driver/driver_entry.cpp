// Driver entry: the device whose extension is the client table, the two
// globals, the create/close dispatch routine, and the start of the filter
// engine registration. The driver has no unload routine.
#include "core/driver/driver_entry.h"
#include "core/classify/endpoints.h"
#include "core/wfp/startup.h"

static_assert(sizeof(ClientTable) == NQ_CLIENT_TABLE_SIZE || !NQ_X86, "extension size");

static void FillClientTable(ClientTable* table) {
  // IoCreateDevice hands the extension over zero-filled; every other slot is
  // the client's to fill.
  table->Version = NQ_CLIENT_TABLE_VERSION;
  table->Signature = NQ_CLIENT_TABLE_SIGNATURE;
  table->ClientReady = 0;
  table->LookupTcpEndpointOwner = LookupTcpEndpointOwner;
  table->LookupUdpEndpointOwner = LookupUdpEndpointOwner;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  (void)registryPath;
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, kDeviceName);

  PDEVICE_OBJECT deviceObject = nullptr;
  NTSTATUS status = IoCreateDevice(driverObject, sizeof(ClientTable), &deviceName, FILE_DEVICE_NETWORK, 0, FALSE,
                                   &deviceObject);
  if (!NT_SUCCESS(status)) return status;

  ClientTable* table = static_cast<ClientTable*>(deviceObject->DeviceExtension);
  FillClientTable(table);
  gClientTable = table;

  driverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;

  DriverState* state = static_cast<DriverState*>(AllocateNonPaged(sizeof(DriverState)));
  if (state != nullptr) InitDriverState(state);
  gDriverState = state;

  if (state != nullptr) StartFilterEngine(state, driverObject, deviceObject);
  return status;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
  (void)deviceObject;
  irp->IoStatus.Information = 0;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
