// Cross-checks, against mingw-w64's own headers, the x86 layouts that our
// platform declarations assert. It includes only mingw-w64 headers (ours and
// theirs declare the same names), and pins the same numbers.
#define _WIN32_WINNT 0x0601
#include <ddk/wdm.h>

_Static_assert(sizeof(DRIVER_OBJECT) == 0xa8, "DRIVER_OBJECT");
_Static_assert(__builtin_offsetof(DRIVER_OBJECT, MajorFunction) == 0x38, "MajorFunction");
_Static_assert(__builtin_offsetof(DRIVER_OBJECT, DriverUnload) == 0x34, "DriverUnload");
_Static_assert(sizeof(DEVICE_OBJECT) == 0xb8, "DEVICE_OBJECT");
_Static_assert(__builtin_offsetof(DEVICE_OBJECT, DeviceExtension) == 0x28, "DeviceExtension");
_Static_assert(__builtin_offsetof(DEVICE_OBJECT, DeviceLock) == 0x9c, "DeviceLock");
_Static_assert(sizeof(IRP) == 0x70, "IRP");
_Static_assert(__builtin_offsetof(IRP, IoStatus) == 0x18, "IoStatus");
_Static_assert(__builtin_offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0x60, "CurrentStackLocation");
_Static_assert(sizeof(IO_STACK_LOCATION) == 0x24, "IO_STACK_LOCATION");
_Static_assert(sizeof(KEVENT) == 16, "KEVENT");
_Static_assert(sizeof(MDL) == 28, "MDL");
_Static_assert(__builtin_offsetof(MDL, MappedSystemVa) == 12, "MappedSystemVa");
_Static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");
_Static_assert(THREAD_ALL_ACCESS == 0x1FFFFF, "THREAD_ALL_ACCESS");
_Static_assert(FILE_DEVICE_NETWORK == 0x12, "FILE_DEVICE_NETWORK");
_Static_assert(DelayedWorkQueue == 1, "DelayedWorkQueue");
