#pragma once
#include "core/driver/driver_state.h"

inline constexpr const WCHAR kDeviceName[] = u"\\Device\\NQ_WFP_BASE_DRV";

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT deviceObject, PIRP irp);
