/*
 * The client interface table: the 124-byte device extension of
 * \Device\NQ_WFP_BASE_DRV, shared byte for byte with the client driver.
 *
 * This header stands alone and compiles as C (C99 on) and as C++, so that a
 * client driver in either language can include it. Every function slot is
 * called with the callee-pops (stdcall) convention of 32-bit Windows, one
 * 32-bit stack word per argument, except InspectInboundPacket (caller-pops,
 * cdecl).
 *
 * ---- The contract, for client authors ---------------------------------------
 *
 * Attaching. After this driver has loaded, the client opens the device
 * (IoGetDeviceObjectPointer on \Device\NQ_WFP_BASE_DRV, then
 * ObDereferenceObject on the file object it got), checks Version and
 * Signature, writes EVERY function slot and only then sets ClientReady
 * nonzero (the ready rule). This driver never writes the client's slots and
 * never clears ClientReady. It reads each slot from the table at each call,
 * so a slot may be changed at any time to another function that keeps the
 * contract; it does not check the slots for null.
 *
 * Ready flag. Each classify handler tests ClientReady before each call, or
 * group of calls made together, into the client; while it is 0 no slot is
 * called from a classify and every event passes (permitted, unreported).
 * The verdict worker calls DecidePended and, for accepts, ReportAccept
 * without testing it: a client that clears ClientReady must keep every slot
 * callable while any of its pend handles is undecided. Clearing the flag
 * while an HTTP decision is running means that call releases no reply
 * object (see ReleaseReplyObject): the client takes those back itself.
 *
 * Threads and IRQL. Every slot may be called on any processor, by many
 * threads at once, at IRQL up to DISPATCH_LEVEL: in the thread of the
 * process that caused the event or in an arbitrary one. The exceptions are
 * DecidePended, and ReportAccept for a pended accept, which the driver's
 * verdict worker calls on its one system thread at PASSIVE_LEVEL. Hence
 * every function must be reentrant and safe at DISPATCH_LEVEL: non-paged
 * memory only, no waits, spin locks or interlocked operations for shared
 * state. DecidePended may block (at PASSIVE_LEVEL), but every pended
 * decision queued behind it waits meanwhile. No lock of this driver is held
 * during a call into the client, so a callback may call the two lookup
 * services; it must not hold a spin lock of its own while it does.
 *
 * Byte order. IPv4 addresses are in network byte order: the first octet is
 * the lowest-addressed byte, so 127.0.0.1 is the value 0x0100007F on x86.
 * Ports are in host order, zero-extended to 32 bits (80 is 80).
 *
 * Process and thread. processId is the low 32 bits of the filtering
 * platform's process id of the event. threadId is PsGetCurrentThreadId() of
 * the classifying thread; for ReportPayload it is 0 when the classifying
 * thread does not run in the event's process.
 *
 * Results. The verdict queries and DecidePended return nonzero to block, 0
 * to permit. InspectInboundPacket is the one slot whose 0 means block. The
 * HTTP queries return nonzero to answer a request (see below). Only zero
 * versus nonzero is tested; report results are not read.
 *
 * Buffers. Every pointer this driver passes (data, packet, strings, the out
 * variables) is valid only until the slot returns; copy what you keep. The
 * readable bytes are stated next to each slot. Above all: ReportPayload on
 * a TCP flow without HTTP inspection passes at most the first 250 bytes of
 * the segment while `length` is the whole segment's length; read
 * min(length, 250) bytes there, never `length`.
 *
 * Pend protocol. A verdict query (QueryBind, QueryConnect, QueryAccept,
 * QueryListen) gets a pointer to a pend handle preset to 0. Storing a
 * nonzero handle there asks for time: the return value is then ignored and
 * the operation is pended. For each nonzero handle the client gets exactly
 * one of
 *   - DecidePended(handle, 0), later, from the verdict worker at
 *     PASSIVE_LEVEL: its result is the verdict; or
 *   - ReleasePendHandle(handle), from the classifying thread before the
 *     query's classify returns, when the operation could not be pended (no
 *     memory, or the platform refused): the event is permitted and, except
 *     for a bind, reported with blocked 0.
 * The handle is not used after either call. Pended connect and listen
 * verdicts are reported when they take effect (at the reauthorization, with
 * the facts of the first event); a pended accept's by the worker once it
 * has completed the accept; binds are never reported.
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
 * offset 40); the rest belongs to the client. The object, with Length
 * readable bytes at Bytes, must stay valid and unchanged until it comes
 * back through ReleaseReplyObject (or, if the client cleared ClientReady
 * meanwhile, until the HTTP decision's classify has returned). */
typedef struct NqReplyObject {
  NqU8 ClientReserved0[16]; /* 0x00 */
  NqU32 Length;             /* 0x10 */
  NqU8 ClientReserved14[20]; /* 0x14 */
  NqU8 Bytes[1];            /* 0x28: Length bytes from here */
} NqReplyObject;

#define NQ_REPLY_OBJECT_LENGTH_OFFSET 16u
#define NQ_REPLY_OBJECT_BYTES_OFFSET 40u

/* Verdict queries, at the ALE layers: nonzero = block, 0 = permit, unless
 * *pendHandle (preset 0) is set nonzero, which pends the decision (see the
 * pend protocol above). Not asked for loopback traffic, for what this
 * driver injected itself, nor at a reauthorization.
 *   QueryBind: each bind (resource assignment); a bind is never reported.
 *   QueryConnect: each outbound connect (the first datagram to a remote
 *     for UDP); the remote endpoint comes first, then the local one.
 *   QueryAccept: each inbound connection or first datagram from a remote;
 *     the local endpoint comes first, then the remote one.
 *   QueryListen: each TCP listen.
 * An inline verdict is reported at once through the matching Report slot. */
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

/* Pend protocol: DecidePended(handle, 0) returns the final verdict (nonzero
 * = block), from the verdict worker at PASSIVE_LEVEL; the second argument
 * is always 0. ReleasePendHandle(handle): the handle was not pended and is
 * given back; no DecidePended will follow for it. */
typedef NqU32(NQ_CLIENT_STDCALL* NqDecidePendedFn)(NqPendHandle pendHandle, NqU32 zero);
typedef void(NQ_CLIENT_STDCALL* NqReleasePendHandleFn)(NqPendHandle pendHandle);

/* Verdict reports: the verdict that took effect (blocked nonzero when
 * blocked), with the same endpoint order as the matching query. After an
 * inline verdict, at once; for a pended connect or listen, at the
 * reauthorization that applies it; for a pended accept, by the worker at
 * PASSIVE_LEVEL; with blocked 0 when a pend handle was released. */
typedef void(NQ_CLIENT_STDCALL* NqReportConnectFn)(NqU32 isTcp, NqU32 processId, NqThreadId threadId,
                                                   NqU32 remoteAddress, NqU32 remotePort, NqU32 localAddress,
                                                   NqU32 localPort, NqU32 blocked);
typedef void(NQ_CLIENT_STDCALL* NqReportAcceptFn)(NqU32 isTcp, NqU32 processId, NqThreadId threadId,
                                                  NqU32 localAddress, NqU32 localPort, NqU32 remoteAddress,
                                                  NqU32 remotePort, NqU32 blocked);
typedef void(NQ_CLIENT_STDCALL* NqReportListenFn)(NqU32 processId, NqThreadId threadId, NqU32 localAddress,
                                                  NqU32 localPort, NqU32 blocked);

/* Traffic reports.
 *   ReportPayload(isTcp 1): each outbound TCP segment. On a flow without
 *     HTTP inspection `data` holds the first min(length, 250) bytes of the
 *     segment (a sample copied for the call) and `length` is the whole
 *     segment's length: do not read past 250 bytes. On a flow under HTTP
 *     inspection `data` is the whole segment (length bytes), and the call is
 *     made only for segments the HTTP processing leaves to be reported.
 *     Followed by ReportStreamSent with the same length.
 *   ReportPayload(isTcp 0): each outbound UDP datagram longer than its
 *     8-byte header; `data` is the payload, `length` (= datagram length - 8)
 *     bytes, all readable. Followed by ReportDatagramSent.
 *   The last argument of ReportPayload is always 0.
 *   ReportStreamReceived: each inbound TCP segment; ReportDatagramReceived:
 *     each inbound datagram with data. Lengths are payload bytes. */
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

/* Inbound packet inspection (caller-pops): 0 = block, nonzero = permit.
 * Called for each inbound IPv4 TCP or UDP packet that is not loopback and
 * arrives as one contiguous buffer; `packet` points to its 20-byte IPv4
 * header and all `length` bytes (transport length + 20) are readable. */
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
 * bytes plus Content-Length.
 *
 * host, method and url are NUL-terminated 8-bit strings owned by this
 * driver and valid only during the call: the Host: text (or the remote
 * address, dotted, when the request had none), the method, the target.
 * CheckHttpExempt gets the raw bytes of the current segment, all `length`
 * readable. The *replyObject given to the two queries is preset null; the
 * last argument of QueryHttpPrimary is not preset and never read; the
 * secondary query's 64-bit value is preset 0 and comes back, low word
 * first, in ReportHttpSecondary. The bytes GetUrlReply, GetPrimaryReply and
 * GetSecondaryReply return (*length of them, readable) stay the client's:
 * this driver copies them before the classify returns and never frees or
 * writes them; they must stay valid at least until then. */
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

/* Services of this driver, written at load, callable from any thread at
 * any IRQL up to DISPATCH_LEVEL, from within callbacks too (but not while
 * the caller holds a spin lock): 1 when a local UDP (TCP) endpoint with
 * that address and port exists, its owner's process id written to
 * *processId; 0 otherwise, *processId untouched. localAddress in network
 * order (an endpoint bound to 0.0.0.0 matches any), localPort in host
 * order. */
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

/* The layout on x86, checked at compile time in C99, C11 and C++. */
#if defined(__i386__) || defined(_M_IX86)
#if defined(__cplusplus)
#define NQ_CT_ASSERT(c, m) static_assert(c, m)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define NQ_CT_ASSERT(c, m) _Static_assert(c, m)
#else
#define NQ_CT_GLUE2(a, b) a##b
#define NQ_CT_GLUE(a, b) NQ_CT_GLUE2(a, b)
#define NQ_CT_ASSERT(c, m) typedef char NQ_CT_GLUE(NqClientTableAssert, __LINE__)[(c) ? 1 : -1]
#endif
#define NQ_CT_AT(f, o) NQ_CT_ASSERT(offsetof(ClientTable, f) == (o), #f " offset")
NQ_CT_ASSERT(sizeof(ClientTable) == NQ_CLIENT_TABLE_SIZE, "ClientTable is 124 bytes on x86");
NQ_CT_AT(Version, 0x00);
NQ_CT_AT(Signature, 0x04);
NQ_CT_AT(ClientReady, 0x08);
NQ_CT_AT(ReportConnect, 0x0c);
NQ_CT_AT(ReportPayload, 0x14);
NQ_CT_AT(ReleasePendHandle, 0x24);
NQ_CT_AT(DecidePended, 0x28);
NQ_CT_AT(QueryBind, 0x2c);
NQ_CT_AT(QueryListen, 0x38);
NQ_CT_AT(QueryHttpPrimary, 0x3c);
NQ_CT_AT(GetUrlReply, 0x4c);
NQ_CT_AT(ReleaseReplyObject, 0x58);
NQ_CT_AT(ReportDatagramReceived, 0x68);
NQ_CT_AT(LookupUdpEndpointOwner, 0x6c);
NQ_CT_AT(LookupTcpEndpointOwner, 0x70);
NQ_CT_AT(InspectInboundPacket, 0x74);
NQ_CT_AT(Reserved78, 0x78);
NQ_CT_ASSERT(offsetof(NqReplyObject, Length) == NQ_REPLY_OBJECT_LENGTH_OFFSET, "reply length offset");
NQ_CT_ASSERT(offsetof(NqReplyObject, Bytes) == NQ_REPLY_OBJECT_BYTES_OFFSET, "reply bytes offset");
#undef NQ_CT_AT
#undef NQ_CT_ASSERT
#endif

#ifdef __cplusplus
}
#endif

#endif /* NQWFP_CLIENT_TABLE_H */
