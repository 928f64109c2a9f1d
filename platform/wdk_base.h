// Basic types, calling conventions and status codes of the Windows kernel
// as the x86 driver sees them. Included through platform/wdk.h only.
#pragma once

#if defined(__i386__) || defined(_M_IX86)
#define NQ_X86 1
#else
#define NQ_X86 0
#endif

#if defined(_WIN32)
#define NQ_WINDOWS 1
#else
#define NQ_WINDOWS 0
#endif

// Calling conventions. On x86 every kernel export is stdcall (the WDK builds
// with /Gz), the HAL spin lock pair is fastcall; elsewhere they collapse.
#if defined(_MSC_VER)
#define NTAPI __stdcall
#define FASTCALL __fastcall
#define NQ_CDECL __cdecl
#elif NQ_X86
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#define NQ_CDECL __attribute__((cdecl))
#else
#define NTAPI
#define FASTCALL
#define NQ_CDECL
#endif

// The PE build of the host platform defines these routines itself.
#if NQ_WINDOWS && !defined(NQ_PLATFORM_EXPORTS)
#define NQ_IMPORT __declspec(dllimport)
#else
#define NQ_IMPORT
#endif

#define NTKERNELAPI NQ_IMPORT
#define NTHALAPI NQ_IMPORT
#define NDISAPI NQ_IMPORT
#define FWPAPI NQ_IMPORT

#ifdef __cplusplus
#define NQ_EXTERN_C extern "C"
#define NQ_EXTERN_C_BEGIN extern "C" {
#define NQ_EXTERN_C_END }
#else
#define NQ_EXTERN_C extern
#define NQ_EXTERN_C_BEGIN
#define NQ_EXTERN_C_END
#endif

// The platform headers compile as C11 too, for client drivers written in C.
#ifndef __cplusplus
#include <assert.h>
#include <uchar.h>
#endif

#define NQ_STATIC_ASSERT(c, m) static_assert(c, m)
// Offsets that only hold for the x86 ABI.
#if NQ_X86
#define NQ_X86_ASSERT(c) static_assert(c, #c)
#else
#define NQ_X86_ASSERT(c) static_assert(true, "")
#endif

#define VOID void
typedef void* PVOID;
typedef char CHAR;
typedef signed char INT8;
typedef unsigned char UCHAR, UINT8, BOOLEAN, BYTE, KIRQL, KPROCESSOR_MODE, CCHAR;
typedef short SHORT, CSHORT, INT16;
typedef unsigned short USHORT, UINT16, WORD, ADDRESS_FAMILY;
typedef int LONG, INT32, INT, NTSTATUS, NDIS_STATUS, KPRIORITY;
typedef unsigned int ULONG, UINT32, UINT, DWORD, NDIS_PORT_NUMBER;
// The Windows x86 ABI aligns 8-byte scalars to 8 inside structures; g++ -m32
// on Linux aligns them to 4. Declaring them 8-aligned makes both agree.
typedef long long __attribute__((aligned(8))) LONGLONG, INT64;
typedef unsigned long long __attribute__((aligned(8))) ULONGLONG, UINT64;
typedef __SIZE_TYPE__ SIZE_T;
typedef __UINTPTR_TYPE__ ULONG_PTR;
typedef __INTPTR_TYPE__ LONG_PTR;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef char16_t WCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef UCHAR* PUCHAR;
typedef ULONG* PULONG;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef ULONG ACCESS_MASK;
typedef ULONG IF_INDEX, NET_IF_COMPARTMENT_ID;
typedef void* PSECURITY_DESCRIPTOR;

NQ_X86_ASSERT(sizeof(void*) == 4);
static_assert(sizeof(ULONG) == 4 && sizeof(USHORT) == 2 && sizeof(UINT64) == 8, "scalar sizes");
static_assert(sizeof(WCHAR) == 2, "WCHAR is UTF-16");

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

typedef union _LARGE_INTEGER {
  struct { ULONG LowPart; LONG HighPart; } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS;
static_assert(sizeof(LARGE_INTEGER) == 8, "LARGE_INTEGER");

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID;
static_assert(sizeof(GUID) == 16, "GUID");

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;
NQ_X86_ASSERT(sizeof(LIST_ENTRY) == 8);

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
NQ_X86_ASSERT(sizeof(UNICODE_STRING) == 8);

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define NQ_STATUS(v) ((NTSTATUS)(ULONG)(v))
#define STATUS_SUCCESS NQ_STATUS(0x00000000)
#define STATUS_TIMEOUT NQ_STATUS(0x00000102)
#define STATUS_PENDING NQ_STATUS(0x00000103)
#define STATUS_OBJECT_NAME_EXISTS NQ_STATUS(0x40000000)  // informational: NT_SUCCESS holds
#define STATUS_BUFFER_OVERFLOW NQ_STATUS(0x80000005)
#define STATUS_UNSUCCESSFUL NQ_STATUS(0xC0000001)
#define STATUS_NOT_IMPLEMENTED NQ_STATUS(0xC0000002)
#define STATUS_INVALID_HANDLE NQ_STATUS(0xC0000008)
#define STATUS_INVALID_PARAMETER NQ_STATUS(0xC000000D)
#define STATUS_INVALID_DEVICE_REQUEST NQ_STATUS(0xC0000010)
#define STATUS_NO_MEMORY NQ_STATUS(0xC0000017)
#define STATUS_BUFFER_TOO_SMALL NQ_STATUS(0xC0000023)
#define STATUS_OBJECT_NAME_NOT_FOUND NQ_STATUS(0xC0000034)
#define STATUS_OBJECT_NAME_COLLISION NQ_STATUS(0xC0000035)
#define STATUS_INSUFFICIENT_RESOURCES NQ_STATUS(0xC000009A)
#define STATUS_DEVICE_NOT_READY NQ_STATUS(0xC00000A3)
#define STATUS_NOT_FOUND NQ_STATUS(0xC0000225)
// The filter engine's kernel-mode status codes (FWP_E_* with facility 0x22).
#define STATUS_FWP_CALLOUT_NOT_FOUND NQ_STATUS(0xC0220001)
#define STATUS_FWP_FILTER_NOT_FOUND NQ_STATUS(0xC0220003)
#define STATUS_FWP_LAYER_NOT_FOUND NQ_STATUS(0xC0220004)
#define STATUS_FWP_PROVIDER_NOT_FOUND NQ_STATUS(0xC0220005)
#define STATUS_FWP_PROVIDER_CONTEXT_NOT_FOUND NQ_STATUS(0xC0220006)
#define STATUS_FWP_SUBLAYER_NOT_FOUND NQ_STATUS(0xC0220007)
#define STATUS_FWP_NOT_FOUND NQ_STATUS(0xC0220008)
#define STATUS_FWP_ALREADY_EXISTS NQ_STATUS(0xC0220009)
#define STATUS_FWP_INCOMPATIBLE_LAYER NQ_STATUS(0xC0220014)
#define STATUS_FWP_NULL_POINTER NQ_STATUS(0xC022001C)
#define STATUS_FWP_NULL_DISPLAY_NAME NQ_STATUS(0xC0220023)
#define STATUS_FWP_INVALID_ACTION_TYPE NQ_STATUS(0xC0220024)
#define STATUS_FWP_INVALID_WEIGHT NQ_STATUS(0xC0220025)
#define STATUS_FWP_INVALID_PARAMETER NQ_STATUS(0xC0220035)
#define STATUS_FWP_CALLOUT_NOTIFICATION_FAILED NQ_STATUS(0xC0220037)
#define STATUS_FWP_TCPIP_NOT_READY NQ_STATUS(0xC0220100)
// The RPC end point of the BFE is not there while the service is stopped.
#define EPT_NT_NOT_REGISTERED NQ_STATUS(0xC0020032)
#define NDIS_STATUS_SUCCESS NQ_STATUS(0x00000000)
#define NDIS_STATUS_FAILURE NQ_STATUS(0xC0000001)
#define NDIS_STATUS_RESOURCES NQ_STATUS(0xC000009A)
