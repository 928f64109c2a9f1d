/*
 * The client interface table: the 124-byte device extension of
 * \Device\NQ_WFP_BASE_DRV, shared byte for byte with the client driver.
 *
 * This header stands alone and compiles as C and as C++, so that a client
 * driver in either language can include it. Every function slot is called
 * with the callee-pops (stdcall) convention of 32-bit Windows, one 32-bit
 * stack word per argument, except InspectInboundPacket (caller-pops, cdecl).
 */
#ifndef NQWFP_CLIENT_TABLE_H
#define NQWFP_CLIENT_TABLE_H

#if defined(_MSC_VER)
#define NQ_CLIENT_STDCALL __stdcall
#define NQ_CLIENT_CDECL __cdecl
#elif defined(__i386__)
#define NQ_CLIENT_STDCALL __attribute__((stdcall))
#define NQ_CLIENT_CDECL __attribute__((cdecl))
#else
#define NQ_CLIENT_STDCALL
#define NQ_CLIENT_CDECL
#endif

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define NQ_CLIENT_TABLE_VERSION 1u
#define NQ_CLIENT_TABLE_SIGNATURE 0x12345678u
#define NQ_DEVICE_NAME_TEXT "\\Device\\NQ_WFP_BASE_DRV"

typedef unsigned int NqU32;
typedef unsigned short NqU16;
typedef unsigned long long NqU64;
typedef void* NqPendHandle;           /* opaque, pointer-sized, the client's */
typedef size_t NqThreadId;            /* PsGetCurrentThreadId(), pointer-sized */
typedef unsigned char NqU8;

/* A reply object: the client's own structure, handed out by the two HTTP
 * decision queries and given back through ReleaseReplyObject. This driver
 * reads only Length (at byte offset 16) and Length bytes from Bytes (at byte
 * offset 40); the rest belongs to the client. */
typedef struct NqReplyObject {
  NqU8 ClientReserved0[16]; /* 0x00 */
  NqU32 Length;             /* 0x10 */
  NqU8 ClientReserved14[20]; /* 0x14 */
  NqU8 Bytes[1];            /* 0x28: Length bytes from here */
} NqReplyObject;

#define NQ_REPLY_OBJECT_LENGTH_OFFSET 16u
#define NQ_REPLY_OBJECT_BYTES_OFFSET 40u

/* Verdict queries: nonzero = block, unless *pendHandle is set nonzero. */
typedef NqU32(NQ_CLIENT_STDCALL* NqQueryBindFn)(NqU32 isTcp, NqU32 processId, NqThreadId threadId,
                                                NqPendHandle* pendHandle);
typedef NqU32(NQ_CLIENT_STDCALL* NqQueryConnectFn)(NqU32 isTcp, NqU32 processId, NqThreadId threadId,
                                                   NqU32 remoteAddress, NqU32 remotePort, NqU32 localAddress,
                                                   NqU32 localPort, NqPendHandle* pendHandle);
typedef NqU32(NQ_CLIENT_STDCALL* NqQueryAcceptFn)(NqU32 isTcp, NqU32 processId, NqThreadId threadId,
                                                  NqU32 localAddress, NqU32 localPort, NqU32 remoteAddress,
                                                  NqU32 remotePort, NqPendHandle* pendHandle);
typedef NqU32(NQ_CLIENT_STDCALL* NqQueryListenFn)(NqU32 processId, NqThreadId threadId, NqU32 localAddress,
                                                  NqU32 localPort, NqPendHandle* pendHandle);

/* Pend protocol. */
typedef NqU32(NQ_CLIENT_STDCALL* NqDecidePendedFn)(NqPendHandle pendHandle, NqU32 zero);
typedef void(NQ_CLIENT_STDCALL* NqReleasePendHandleFn)(NqPendHandle pendHandle);

/* Verdict reports. */
typedef void(NQ_CLIENT_STDCALL* NqReportConnectFn)(NqU32 isTcp, NqU32 processId, NqThreadId threadId,
                                                   NqU32 remoteAddress, NqU32 remotePort, NqU32 localAddress,
                                                   NqU32 localPort, NqU32 blocked);
typedef void(NQ_CLIENT_STDCALL* NqReportAcceptFn)(NqU32 isTcp, NqU32 processId, NqThreadId threadId,
                                                  NqU32 localAddress, NqU32 localPort, NqU32 remoteAddress,
                                                  NqU32 remotePort, NqU32 blocked);
typedef void(NQ_CLIENT_STDCALL* NqReportListenFn)(NqU32 processId, NqThreadId threadId, NqU32 localAddress,
                                                  NqU32 localPort, NqU32 blocked);

/* Traffic reports. */
typedef void(NQ_CLIENT_STDCALL* NqReportPayloadFn)(NqU32 isTcp, NqU32 processId, NqThreadId threadId,
                                                   NqU32 remoteAddress, NqU32 remotePort, const void* data,
                                                   NqU32 length, NqU32 zero);
typedef void(NQ_CLIENT_STDCALL* NqReportStreamSentFn)(NqU32 processId, NqU32 remoteAddress, NqU32 remotePort,
                                                      NqU32 length);
typedef void(NQ_CLIENT_STDCALL* NqReportStreamReceivedFn)(NqU32 processId, NqU32 localAddress, NqU32 localPort,
                                                          NqU32 length);
typedef void(NQ_CLIENT_STDCALL* NqReportDatagramSentFn)(NqU32 processId, NqU32 remoteAddress, NqU32 remotePort,
                                                        NqU32 length);
typedef void(NQ_CLIENT_STDCALL* NqReportDatagramReceivedFn)(NqU32 processId, NqU32 localAddress, NqU32 localPort,
                                                            NqU32 length);

/* Inbound packet inspection (caller-pops): 0 = block, nonzero = permit. */
typedef NqU32(NQ_CLIENT_CDECL* NqInspectInboundPacketFn)(const void* packet, NqU32 length);

/* HTTP requests, on outbound TCP flows to ports 80 and 8080. For each request
 * the parser completes (the Host: and Content-Length: names are compared
 * case-sensitively; lower-case names are not recognised):
 *   1. GetUrlReply(url): non-null ends the request. While the flow can still
 *      be answered its bytes are the answer; the request is not reported.
 *   2. If the flow can no longer be answered (a segment completed two or
 *      more requests, or completed none with bytes of an unfinished header or
 *      beyond the last request left over), go to 5: no decision is asked.
 *   3. QueryHttpPrimary: nonzero answers the request with the reply object's
 *      bytes, or GetPrimaryReply's, unless CheckHttpExempt(segment) is
 *      nonzero, which passes the segment on (re-sent) and falls to step 4.
 *   4. QueryHttpSecondary: nonzero answers the same way with GetSecondaryReply,
 *      then ReportHttpSecondary; if CheckHttpExempt is nonzero instead,
 *      ReportHttpSecondaryExempt and the segment passes on.
 *   5. ReportHttpRequest(..., replied), unless step 1 answered or an exempt
 *      check said yes. Requests completed together are only reported, with
 *      replied 0, oldest first.
 *   6. ReleaseReplyObject once for each object returned, at the end of the
 *      same call, if ClientReady is still set.
 * An answer drops the segment and delivers the reply, then a disconnect, to
 * the local application; the rest of the request's body is dropped too while
 * the client is ready. A reply that cannot be copied or injected lets the
 * segment through. A request the parser cannot read (not HTTP/1.x, a header
 * past 4096 bytes, a chunked body) ends inspection: the flow passes and is
 * reported as plain stream data from then on. requestSize is the header's
 * bytes plus Content-Length. */
typedef const void*(NQ_CLIENT_STDCALL* NqGetUrlReplyFn)(const char* url, NqU32* length);
typedef NqU32(NQ_CLIENT_STDCALL* NqQueryHttpPrimaryFn)(NqU32 processId, NqThreadId threadId, const char* host,
                                                       const char* method, const char* url, NqU32 requestSize,
                                                       NqReplyObject** replyObject, NqU32* unused);
typedef NqU32(NQ_CLIENT_STDCALL* NqQueryHttpSecondaryFn)(NqU32 processId, NqThreadId threadId, const char* host,
                                                         const char* method, const char* url, NqU32 requestSize,
                                                         NqReplyObject** replyObject, NqU64* value);
typedef NqU32(NQ_CLIENT_STDCALL* NqCheckHttpExemptFn)(const void* data, NqU32 length);
typedef const void*(NQ_CLIENT_STDCALL* NqGetDefaultReplyFn)(NqU32* length);
typedef void(NQ_CLIENT_STDCALL* NqReportHttpSecondaryFn)(NqU32 processId, NqThreadId threadId, const char* host,
                                                         const char* method, const char* url, NqU32 requestSize,
                                                         NqU32 valueLow, NqU32 valueHigh);
typedef void(NQ_CLIENT_STDCALL* NqReportHttpSecondaryExemptFn)(NqU32 processId, NqThreadId threadId,
                                                               const char* host);
typedef void(NQ_CLIENT_STDCALL* NqReportHttpRequestFn)(NqU32 processId, NqThreadId threadId, const char* host,
                                                       const char* method, const char* url, NqU32 requestSize,
                                                       NqU32 replied);
typedef void(NQ_CLIENT_STDCALL* NqReleaseReplyObjectFn)(NqReplyObject* replyObject);

/* Services of this driver, callable at any IRQL up to DISPATCH_LEVEL. */
typedef NqU32(NQ_CLIENT_STDCALL* NqLookupEndpointOwnerFn)(NqU32 localAddress, NqU16 localPort, NqU64* processId);

typedef struct ClientTable {
  NqU32 Version;                                       /* 0x00 */
  NqU32 Signature;                                     /* 0x04 */
  volatile NqU32 ClientReady;                          /* 0x08 */
  NqReportConnectFn ReportConnect;                     /* 0x0c */
  NqReportAcceptFn ReportAccept;                       /* 0x10 */
  NqReportPayloadFn ReportPayload;                     /* 0x14 */
  NqReportListenFn ReportListen;                       /* 0x18 */
  NqReportHttpRequestFn ReportHttpRequest;             /* 0x1c */
  NqReportHttpSecondaryFn ReportHttpSecondary;         /* 0x20 */
  NqReleasePendHandleFn ReleasePendHandle;             /* 0x24 */
  NqDecidePendedFn DecidePended;                       /* 0x28 */
  NqQueryBindFn QueryBind;                             /* 0x2c */
  NqQueryConnectFn QueryConnect;                       /* 0x30 */
  NqQueryAcceptFn QueryAccept;                         /* 0x34 */
  NqQueryListenFn QueryListen;                         /* 0x38 */
  NqQueryHttpPrimaryFn QueryHttpPrimary;               /* 0x3c */
  NqQueryHttpSecondaryFn QueryHttpSecondary;           /* 0x40 */
  NqReportHttpSecondaryExemptFn ReportHttpSecondaryExempt; /* 0x44 */
  NqCheckHttpExemptFn CheckHttpExempt;                 /* 0x48 */
  NqGetUrlReplyFn GetUrlReply;                         /* 0x4c */
  NqGetDefaultReplyFn GetPrimaryReply;                 /* 0x50 */
  NqGetDefaultReplyFn GetSecondaryReply;               /* 0x54 */
  NqReleaseReplyObjectFn ReleaseReplyObject;           /* 0x58 */
  NqReportStreamSentFn ReportStreamSent;               /* 0x5c */
  NqReportStreamReceivedFn ReportStreamReceived;       /* 0x60 */
  NqReportDatagramSentFn ReportDatagramSent;           /* 0x64 */
  NqReportDatagramReceivedFn ReportDatagramReceived;   /* 0x68 */
  NqLookupEndpointOwnerFn LookupUdpEndpointOwner;      /* 0x6c */
  NqLookupEndpointOwnerFn LookupTcpEndpointOwner;      /* 0x70 */
  NqInspectInboundPacketFn InspectInboundPacket;       /* 0x74 */
  void* Reserved78;                                    /* 0x78: neither written nor read by the driver */
} ClientTable;

#define NQ_CLIENT_TABLE_SIZE 124u

#if defined(__i386__) || defined(_M_IX86)
#ifdef __cplusplus
#define NQ_CT_ASSERT(c, m) static_assert(c, m)
#else
#define NQ_CT_ASSERT(c, m) _Static_assert(c, m)
#endif
#define NQ_CT_AT(f, o) NQ_CT_ASSERT(__builtin_offsetof(ClientTable, f) == (o), #f " offset")
NQ_CT_ASSERT(sizeof(ClientTable) == NQ_CLIENT_TABLE_SIZE, "ClientTable is 124 bytes on x86");
NQ_CT_AT(ClientReady, 0x08);
NQ_CT_AT(ReportConnect, 0x0c);
NQ_CT_AT(DecidePended, 0x28);
NQ_CT_AT(QueryListen, 0x38);
NQ_CT_AT(ReleaseReplyObject, 0x58);
NQ_CT_AT(ReportDatagramReceived, 0x68);
NQ_CT_AT(LookupUdpEndpointOwner, 0x6c);
NQ_CT_AT(LookupTcpEndpointOwner, 0x70);
NQ_CT_AT(InspectInboundPacket, 0x74);
NQ_CT_AT(Reserved78, 0x78);
NQ_CT_ASSERT(__builtin_offsetof(NqReplyObject, Length) == NQ_REPLY_OBJECT_LENGTH_OFFSET, "reply length offset");
NQ_CT_ASSERT(__builtin_offsetof(NqReplyObject, Bytes) == NQ_REPLY_OBJECT_BYTES_OFFSET, "reply bytes offset");
#undef NQ_CT_AT
#undef NQ_CT_ASSERT
#endif

#ifdef __cplusplus
}
#endif

#endif /* NQWFP_CLIENT_TABLE_H */
