// NDIS 6 names the driver uses (NDIS.SYS), with their x86 layouts.
// Included through platform/wdk.h only.
#pragma once
#include "platform/wdk_kernel.h"

typedef PVOID NDIS_HANDLE;

#define NDIS_OBJECT_TYPE_DEFAULT 0x80
#define NDIS_PROTOCOL_ID_DEFAULT 0x00
#define NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1 1
#define NDIS_SIZEOF_NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1 16

typedef struct _NDIS_OBJECT_HEADER {
  UCHAR Type;
  UCHAR Revision;
  USHORT Size;
} NDIS_OBJECT_HEADER;
static_assert(sizeof(NDIS_OBJECT_HEADER) == 4, "NDIS_OBJECT_HEADER");

typedef struct _NET_BUFFER_LIST_POOL_PARAMETERS {
  NDIS_OBJECT_HEADER Header;
  UCHAR ProtocolId;
  BOOLEAN fAllocateNetBuffer;
  USHORT ContextSize;
  ULONG PoolTag;
  ULONG DataSize;
} NET_BUFFER_LIST_POOL_PARAMETERS, *PNET_BUFFER_LIST_POOL_PARAMETERS;
static_assert(sizeof(NET_BUFFER_LIST_POOL_PARAMETERS) == 16, "NET_BUFFER_LIST_POOL_PARAMETERS");
static_assert(__builtin_offsetof(NET_BUFFER_LIST_POOL_PARAMETERS, PoolTag) == 8, "PoolTag");

typedef struct _NDIS_GENERIC_OBJECT {
  NDIS_OBJECT_HEADER Header;
  PVOID Caller;
  PVOID CallersCaller;
  PDRIVER_OBJECT DriverObject;
} NDIS_GENERIC_OBJECT, *PNDIS_GENERIC_OBJECT;
NQ_X86_ASSERT(sizeof(NDIS_GENERIC_OBJECT) == 16);

#if NQ_X86
typedef union _SLIST_HEADER {
  ULONGLONG Alignment;
  struct {
    PVOID Next;
    USHORT Depth;
    USHORT Sequence;
  } s;
} SLIST_HEADER;
#define NQ_MEMORY_ALLOCATION_ALIGNMENT 8
#else
typedef struct __attribute__((aligned(16))) _SLIST_HEADER {
  ULONGLONG Alignment;
  ULONGLONG Region;
} SLIST_HEADER;
#define NQ_MEMORY_ALLOCATION_ALIGNMENT 16
#endif
NQ_X86_ASSERT(sizeof(SLIST_HEADER) == 8);

struct _NET_BUFFER;
struct _NET_BUFFER_LIST;

typedef struct _NET_BUFFER {
  union {
    struct {
      struct _NET_BUFFER* Next;
      PMDL CurrentMdl;
      ULONG CurrentMdlOffset;
      union {
        ULONG DataLength;
        SIZE_T stDataLength;
      };
      PMDL MdlChain;
      ULONG DataOffset;
    };
    SLIST_HEADER Link;
  };
  USHORT ChecksumBias;
  USHORT Reserved;
  NDIS_HANDLE NdisPoolHandle;
  __attribute__((aligned(NQ_MEMORY_ALLOCATION_ALIGNMENT))) PVOID NdisReserved[2];
  __attribute__((aligned(NQ_MEMORY_ALLOCATION_ALIGNMENT))) PVOID ProtocolReserved[6];
  __attribute__((aligned(NQ_MEMORY_ALLOCATION_ALIGNMENT))) PVOID MiniportReserved[4];
  PHYSICAL_ADDRESS DataPhysicalAddress;
  PVOID SharedMemoryInfo;
} NET_BUFFER, *PNET_BUFFER;
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, CurrentMdl) == 4);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, CurrentMdlOffset) == 8);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, DataLength) == 12);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, MdlChain) == 16);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, DataOffset) == 20);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, ChecksumBias) == 24);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, NdisReserved) == 32);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, ProtocolReserved) == 40);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, MiniportReserved) == 64);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER, DataPhysicalAddress) == 80);
NQ_X86_ASSERT(sizeof(NET_BUFFER) == 96);

#define NQ_MAX_NET_BUFFER_LIST_INFO 18
typedef struct _NET_BUFFER_LIST {
  union {
    struct {
      struct _NET_BUFFER_LIST* Next;
      PNET_BUFFER FirstNetBuffer;
    };
    SLIST_HEADER Link;
  };
  PVOID Context;
  struct _NET_BUFFER_LIST* ParentNetBufferList;
  NDIS_HANDLE NdisPoolHandle;
  __attribute__((aligned(NQ_MEMORY_ALLOCATION_ALIGNMENT))) PVOID NdisReserved[2];
  __attribute__((aligned(NQ_MEMORY_ALLOCATION_ALIGNMENT))) PVOID ProtocolReserved[4];
  __attribute__((aligned(NQ_MEMORY_ALLOCATION_ALIGNMENT))) PVOID MiniportReserved[2];
  PVOID Scratch;
  NDIS_HANDLE SourceHandle;
  ULONG NblFlags;
  LONG ChildRefCount;
  ULONG Flags;
  NDIS_STATUS Status;
  PVOID NetBufferListInfo[NQ_MAX_NET_BUFFER_LIST_INFO];
} NET_BUFFER_LIST, *PNET_BUFFER_LIST;
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, FirstNetBuffer) == 4);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, Context) == 8);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, NdisPoolHandle) == 16);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, NdisReserved) == 24);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, ProtocolReserved) == 32);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, MiniportReserved) == 48);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, Scratch) == 56);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, NblFlags) == 64);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, Status) == 76);
NQ_X86_ASSERT(__builtin_offsetof(NET_BUFFER_LIST, NetBufferListInfo) == 80);
NQ_X86_ASSERT(sizeof(NET_BUFFER_LIST) == 152);

#define NET_BUFFER_LIST_NEXT_NBL(nbl) ((nbl)->Next)
#define NET_BUFFER_LIST_FIRST_NB(nbl) ((nbl)->FirstNetBuffer)
#define NET_BUFFER_LIST_STATUS(nbl) ((nbl)->Status)
#define NET_BUFFER_NEXT_NB(nb) ((nb)->Next)
#define NET_BUFFER_DATA_LENGTH(nb) ((nb)->DataLength)
#define NET_BUFFER_DATA_OFFSET(nb) ((nb)->DataOffset)
#define NET_BUFFER_CURRENT_MDL(nb) ((nb)->CurrentMdl)
#define NET_BUFFER_CURRENT_MDL_OFFSET(nb) ((nb)->CurrentMdlOffset)
#define NET_BUFFER_FIRST_MDL(nb) ((nb)->MdlChain)

typedef PMDL NTAPI NET_BUFFER_ALLOCATE_MDL_HANDLER(PULONG BufferSize);
typedef VOID NTAPI NET_BUFFER_FREE_MDL_HANDLER(PMDL Mdl);

NQ_EXTERN_C_BEGIN
NDISAPI PNDIS_GENERIC_OBJECT NTAPI NdisAllocateGenericObject(PDRIVER_OBJECT DriverObject, ULONG Tag, USHORT Size);
NDISAPI NDIS_HANDLE NTAPI NdisAllocateNetBufferListPool(NDIS_HANDLE NdisHandle,
                                                        PNET_BUFFER_LIST_POOL_PARAMETERS Parameters);
NDISAPI PVOID NTAPI NdisGetDataBuffer(PNET_BUFFER NetBuffer, ULONG BytesNeeded, PVOID Storage, UINT AlignMultiple,
                                      UINT AlignOffset);
NDISAPI NDIS_STATUS NTAPI NdisRetreatNetBufferDataStart(PNET_BUFFER NetBuffer, ULONG DataOffsetDelta,
                                                        ULONG DataBackFill,
                                                        NET_BUFFER_ALLOCATE_MDL_HANDLER* AllocateMdlHandler);
NDISAPI VOID NTAPI NdisAdvanceNetBufferDataStart(PNET_BUFFER NetBuffer, ULONG DataOffsetDelta, BOOLEAN FreeMdl,
                                                 NET_BUFFER_FREE_MDL_HANDLER* FreeMdlHandler);
NQ_EXTERN_C_END
