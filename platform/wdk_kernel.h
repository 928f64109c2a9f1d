// Kernel (ntoskrnl.exe) and HAL names the driver uses, with their x86 layouts.
// Included through platform/wdk.h only.
#pragma once
#include "platform/wdk_base.h"

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

#define KernelMode 0
#define UserMode 1

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  PagedPool = 1,
  NonPagedPoolNx = 512,
} POOL_TYPE;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
typedef enum _WORK_QUEUE_TYPE {
  CriticalWorkQueue = 0,
  DelayedWorkQueue = 1,
  HyperCriticalWorkQueue = 2,
} WORK_QUEUE_TYPE;

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;
NQ_X86_ASSERT(sizeof(KEVENT) == 16);
NQ_X86_ASSERT(__builtin_offsetof(KEVENT, Header.SignalState) == 4);

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;
NQ_X86_ASSERT(sizeof(IO_STATUS_BLOCK) == 8);

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _IO_WORKITEM;
typedef struct _IO_WORKITEM IO_WORKITEM, *PIO_WORKITEM;

typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS NTAPI DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef VOID NTAPI DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef VOID NTAPI IO_WORKITEM_ROUTINE(struct _DEVICE_OBJECT* DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef VOID NTAPI KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define FILE_DEVICE_NETWORK 0x00000012
#define FILE_READ_DATA 0x00000001
#define FILE_ALL_ACCESS 0x001F01FF
#define IO_NO_INCREMENT 0
#define THREAD_ALL_ACCESS 0x001FFFFF

// Only the members the driver or the I/O manager stand-in touch are named;
// the rest is kept as opaque bytes at their x86 offsets.
typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  struct _DEVICE_OBJECT* DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PVOID DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PVOID DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;
NQ_X86_ASSERT(__builtin_offsetof(DRIVER_OBJECT, DeviceObject) == 0x04);
NQ_X86_ASSERT(__builtin_offsetof(DRIVER_OBJECT, DriverName) == 0x1c);
NQ_X86_ASSERT(__builtin_offsetof(DRIVER_OBJECT, DriverUnload) == 0x34);
NQ_X86_ASSERT(__builtin_offsetof(DRIVER_OBJECT, MajorFunction) == 0x38);
NQ_X86_ASSERT(sizeof(DRIVER_OBJECT) == 0xa8);

typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT* DriverObject;
  struct _DEVICE_OBJECT* NextDevice;
  struct _DEVICE_OBJECT* AttachedDevice;
  struct _IRP* CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CCHAR StackSize;
  ULONG_PTR Queue[10];
  ULONG AlignmentRequirement;
  ULONG_PTR DeviceQueue[5];
  ULONG_PTR Dpc[8];
  ULONG ActiveThreadCount;
  PSECURITY_DESCRIPTOR SecurityDescriptor;
  KEVENT DeviceLock;
  USHORT SectorSize;
  USHORT Spare1;
  PVOID DeviceObjectExtension;
  PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;
NQ_X86_ASSERT(__builtin_offsetof(DEVICE_OBJECT, DriverObject) == 0x08);
NQ_X86_ASSERT(__builtin_offsetof(DEVICE_OBJECT, Flags) == 0x1c);
NQ_X86_ASSERT(__builtin_offsetof(DEVICE_OBJECT, DeviceExtension) == 0x28);
NQ_X86_ASSERT(__builtin_offsetof(DEVICE_OBJECT, DeviceType) == 0x2c);
NQ_X86_ASSERT(__builtin_offsetof(DEVICE_OBJECT, StackSize) == 0x30);
NQ_X86_ASSERT(__builtin_offsetof(DEVICE_OBJECT, AlignmentRequirement) == 0x5c);
NQ_X86_ASSERT(__builtin_offsetof(DEVICE_OBJECT, DeviceLock) == 0x9c);
NQ_X86_ASSERT(__builtin_offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 0xb0);
NQ_X86_ASSERT(sizeof(DEVICE_OBJECT) == 0xb8);

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  ULONG_PTR Parameters[4];
  PDEVICE_OBJECT DeviceObject;
  PVOID FileObject;
  PVOID CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
NQ_X86_ASSERT(__builtin_offsetof(IO_STACK_LOCATION, DeviceObject) == 0x14);
NQ_X86_ASSERT(sizeof(IO_STACK_LOCATION) == 0x24);

typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  PVOID MdlAddress;
  ULONG Flags;
  PVOID AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PVOID Overlay[2];
  PVOID CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PVOID Thread;
      CHAR* AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      PVOID OriginalFileObject;
    } Overlay;
    ULONG_PTR Apc[12];
  } Tail;
} IRP, *PIRP;
NQ_X86_ASSERT(__builtin_offsetof(IRP, IoStatus) == 0x18);
NQ_X86_ASSERT(__builtin_offsetof(IRP, UserBuffer) == 0x3c);
NQ_X86_ASSERT(__builtin_offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0x60);
NQ_X86_ASSERT(sizeof(IRP) == 0x70);

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
NQ_X86_ASSERT(sizeof(OBJECT_ATTRIBUTES) == 24);
NQ_X86_ASSERT(__builtin_offsetof(OBJECT_ATTRIBUTES, ObjectName) == 8);
#define OBJ_CASE_INSENSITIVE 0x00000040
#define OBJ_KERNEL_HANDLE 0x00000200
#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                             \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);       \
    (p)->RootDirectory = (r);                      \
    (p)->Attributes = (a);                         \
    (p)->ObjectName = (n);                         \
    (p)->SecurityDescriptor = (s);                 \
    (p)->SecurityQualityOfService = NULL;          \
  } while (0)

// Registry values: a driver's settings live under its service key (the
// registry path DriverEntry gets), by custom in its Parameters subkey.
#define KEY_READ 0x00020019
#define REG_SZ 1
#define REG_BINARY 3
typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
} KEY_VALUE_INFORMATION_CLASS;
typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;
NQ_X86_ASSERT(__builtin_offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
// A file object is only handed on by the drivers here (a client gets one
// from IoGetDeviceObjectPointer and dereferences it); its layout is opaque.
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

// Memory descriptor list (28 bytes on x86). The system address of the
// described bytes is MappedSystemVa once MDL_MAPPED_TO_SYSTEM_VA is set.
typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PVOID Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;
NQ_X86_ASSERT(sizeof(MDL) == 28);
NQ_X86_ASSERT(__builtin_offsetof(MDL, MappedSystemVa) == 12);
NQ_X86_ASSERT(__builtin_offsetof(MDL, ByteCount) == 20);
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

NQ_EXTERN_C_BEGIN

// Pool
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// Spin locks (HAL, fastcall on x86)
NTHALAPI KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID);

// Dispatcher objects
NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                BOOLEAN Alertable, PLARGE_INTEGER Timeout);

// Processes and threads
NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                               POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                               PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
NTKERNELAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);
NTKERNELAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTKERNELAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);

// I/O manager
NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                                         BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject);
NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
NTKERNELAPI PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                      WORK_QUEUE_TYPE QueueType, PVOID Context);
NTKERNELAPI VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
NTKERNELAPI PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                    BOOLEAN ChargeQuota, PIRP Irp);
NTKERNELAPI VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
NTKERNELAPI VOID NTAPI IoFreeMdl(PMDL Mdl);
// Opens the named device as a file: the device's create dispatch runs; the
// file object holds a reference, which ObDereferenceObject gives back (the
// device's close dispatch runs with the last one).
NTKERNELAPI NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                   PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject);

// Object manager
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);

// Run-time library
NTKERNELAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTKERNELAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

NQ_EXTERN_C_END

#define IoCompleteRequest(irp, boost) IofCompleteRequest((irp), (boost))
#define ObDereferenceObject(object) ObfDereferenceObject(object)
// On x86 the kernel's spin lock pair is the HAL's, under these names.
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KfAcquireSpinLock(lock))
#define KeReleaseSpinLock(lock, newIrql) KfReleaseSpinLock((lock), (newIrql))

// The interlocked operations are compiler intrinsics on x86, not imports;
// each is a full barrier.
static inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
// Stores exchange at destination if it holds comparand; returns what it held.
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
static inline LONG InterlockedIncrement(LONG volatile* addend) {
  return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile* addend) {
  return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
// Returns the value before the addition.
static inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
  return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(destination, &comparand, exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
// A 64-bit add, as a compare-exchange loop (cmpxchg8b) on x86.
static inline LONGLONG InterlockedExchangeAdd64(LONGLONG volatile* addend, LONGLONG value) {
  return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}

static inline void KeInitializeSpinLock(PKSPIN_LOCK lock) { *lock = 0; }

// The list helpers are inline functions of the WDK headers.
static inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
static inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
static inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}
static inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((char*)(address) - __builtin_offsetof(type, field)))

// The C run-time routines that ntoskrnl.exe exports (cdecl).
#include <stdarg.h>
#if NQ_WINDOWS
NQ_EXTERN_C_BEGIN
NTKERNELAPI void* NQ_CDECL memcpy(void* dest, const void* src, SIZE_T count);
NTKERNELAPI void* NQ_CDECL memset(void* dest, int c, SIZE_T count);
NTKERNELAPI SIZE_T NQ_CDECL strlen(const char* s);
NTKERNELAPI int NQ_CDECL strcmp(const char* a, const char* b);
NTKERNELAPI char* NQ_CDECL strstr(const char* s, const char* find);
NTKERNELAPI char* NQ_CDECL strchr(const char* s, int c);
NTKERNELAPI int NQ_CDECL _vsnprintf(char* buffer, SIZE_T count, const char* format, va_list args);
NQ_EXTERN_C_END
#else
#include <string.h>
// The kernel's _vsnprintf: returns -1 when the output does not fit, and then
// writes no terminating NUL; the host platform provides it.
NQ_EXTERN_C int _vsnprintf(char* buffer, SIZE_T count, const char* format, va_list args);
#endif
