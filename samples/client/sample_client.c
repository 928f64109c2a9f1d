/*
 * A sample client driver, written as a firewall maker would write one: it
 * finds \Device\NQ_WFP_BASE_DRV, fills the client table and raises
 * ClientReady. Its policy:
 *   block-port P...    connects to these remote ports are blocked
 *   pend-port P...     connects to these are pended and permitted later
 *   pend-block-port P... pended and blocked later
 *   url U...           requests for these targets get the block page (GetUrlReply)
 *   primary-host H     requests to this host get the block page in a reply
 *                      object of the client's own (QueryHttpPrimary)
 * given as the binary value "Policy" under the service's Parameters key (on
 * the host platform: nqwfp replay --client-arg TEXT), or compiled in below.
 * It also counts the bytes each process sends and receives.
 */
#include "platform/wdk.h"
#include "core/driver/client_table.h"

#define SAMPLE_TAG 0x43706D53u /* 'SmpC' */
#define MAX_ITEMS 16
#define MAX_TEXT 64
#define MAX_PROCESSES 64
#define PEND_SLOTS 256

static const char kDefaultPolicy[] = "block-port 8081 pend-port 8080 url / primary-host 10.77.0.1";
static const char kBlockPage[] =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 22\r\nConnection: close\r\n\r\n"
    "blocked by the sample\n";

typedef struct List {
  ULONG count;
  char items[MAX_ITEMS][MAX_TEXT];
} List;

typedef struct ProcessBytes {
  ULONG processId; /* 0: free */
  LONGLONG sent, received;
} ProcessBytes;

typedef struct SampleReply { /* the driver reads Length at 16 and the bytes from 40 */
  NqReplyObject header;
  char rest[sizeof(kBlockPage)];
} SampleReply;

static ClientTable* table;
static List blockPorts, pendPorts, pendBlockPorts, urls, primaryHost;
static ProcessBytes* processes; /* MAX_PROCESSES entries, allocated once */
static KSPIN_LOCK processLock;
static volatile LONG pendCount;
static volatile LONG pendBlocks[PEND_SLOTS];

/* ---- the policy text: keywords each followed by their values ---------------- */
static int Same(const char* a, const char* b) { return strcmp(a, b) == 0; }

static void ParsePolicy(const char* text, ULONG length) {
  List* list = 0;
  ULONG i = 0;
  while (i < length) {
    char word[MAX_TEXT];
    ULONG n = 0;
    while (i < length && (text[i] == ' ' || text[i] == '\n' || text[i] == '\r' || text[i] == '\t' || text[i] == ';')) ++i;
    while (i < length && text[i] != ' ' && text[i] != '\n' && text[i] != '\r' && text[i] != '\t' && text[i] != ';' &&
           text[i] != '\0') {
      if (n + 1 < MAX_TEXT) word[n++] = text[i];
      ++i;
    }
    if (n == 0) break;
    word[n] = '\0';
    if (Same(word, "block-port")) list = &blockPorts;
    else if (Same(word, "pend-port")) list = &pendPorts;
    else if (Same(word, "pend-block-port")) list = &pendBlockPorts;
    else if (Same(word, "url")) list = &urls;
    else if (Same(word, "primary-host")) list = &primaryHost;
    else if (list != 0 && list->count < MAX_ITEMS) memcpy(list->items[list->count++], word, n + 1);
  }
}

static int Listed(const List* list, const char* text) {
  ULONG i;
  for (i = 0; i < list->count; ++i)
    if (Same(list->items[i], text)) return 1;
  return 0;
}

static int PortListed(const List* list, NqU32 port) {
  char text[12];
  int n = 0;
  char digits[12];
  do digits[n++] = (char)('0' + port % 10); while ((port /= 10) != 0);
  for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
  text[n] = '\0';
  return Listed(list, text);
}

/* The value "Policy" under RegistryPath\Parameters, if there is one. */
static void ReadPolicy(PUNICODE_STRING registryPath) {
  static const WCHAR kSuffix[] = u"\\Parameters";
  USHORT size = (USHORT)(registryPath->Length + sizeof(kSuffix));
  ULONG infoSize = 12 + 1024, got = 0;
  UNICODE_STRING keyName, valueName;
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;
  PWSTR path = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, size, SAMPLE_TAG);
  PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, infoSize, SAMPLE_TAG);
  if (path != 0 && info != 0) {
    memcpy(path, registryPath->Buffer, registryPath->Length);
    memcpy((char*)path + registryPath->Length, kSuffix, sizeof(kSuffix));
    keyName.Buffer = path;
    keyName.Length = (USHORT)(size - sizeof(WCHAR));
    keyName.MaximumLength = size;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
      RtlInitUnicodeString(&valueName, u"Policy");
      if (ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, infoSize, &got) == STATUS_SUCCESS)
        ParsePolicy((const char*)info->Data, info->DataLength);
      ZwClose(key);
    }
  }
  if (path != 0) ExFreePoolWithTag(path, SAMPLE_TAG);
  if (info != 0) ExFreePoolWithTag(info, SAMPLE_TAG);
}

/* ---- byte counts per process ---------------------------------------------- */
static void Count(NqU32 processId, NqU32 sent, NqU32 received) {
  KIRQL irql;
  ULONG i;
  KeAcquireSpinLock(&processLock, &irql);
  for (i = 0; i < MAX_PROCESSES; ++i) {
    if (processes[i].processId == 0) processes[i].processId = processId;
    if (processes[i].processId == processId) {
      processes[i].sent += sent;
      processes[i].received += received;
      break;
    }
  }
  KeReleaseSpinLock(&processLock, irql);
}

/* Received bytes go to the owner of the local endpoint, as the driver knows it. */
static NqU32 Owner(NqLookupEndpointOwnerFn lookup, NqU32 processId, NqU32 address, NqU32 port) {
  NqU64 owner = 0;
  return lookup(address, (NqU16)port, &owner) ? (NqU32)owner : processId;
}

/* ---- the slots ------------------------------------------------------------------ */
static NqU32 NQ_CLIENT_STDCALL QueryBind(NqU32 t, NqU32 p, NqThreadId th, NqPendHandle* h) { (void)t; (void)p; (void)th; (void)h; return 0; }
static NqU32 NQ_CLIENT_STDCALL QueryListen(NqU32 p, NqThreadId th, NqU32 a, NqU32 port, NqPendHandle* h) { (void)p; (void)th; (void)a; (void)port; (void)h; return 0; }
static NqU32 NQ_CLIENT_STDCALL QueryAccept(NqU32 t, NqU32 p, NqThreadId th, NqU32 la, NqU32 lp, NqU32 ra, NqU32 rp, NqPendHandle* h) {
  (void)t; (void)p; (void)th; (void)la; (void)lp; (void)ra; (void)rp; (void)h;
  return 0;
}

static NqU32 NQ_CLIENT_STDCALL QueryConnect(NqU32 isTcp, NqU32 pid, NqThreadId tid, NqU32 ra, NqU32 rp, NqU32 la,
                                            NqU32 lp, NqPendHandle* pendHandle) {
  int pendBlock = PortListed(&pendBlockPorts, rp);
  (void)isTcp; (void)pid; (void)tid; (void)ra; (void)la; (void)lp;
  if (pendBlock || PortListed(&pendPorts, rp)) {
    LONG n = InterlockedIncrement(&pendCount) - 1;
    InterlockedExchange(&pendBlocks[n % PEND_SLOTS], pendBlock);
    *pendHandle = (NqPendHandle)(ULONG_PTR)(0x100 + 4 * n);
    return 0;
  }
  return PortListed(&blockPorts, rp) ? 1 : 0;
}

static NqU32 NQ_CLIENT_STDCALL DecidePended(NqPendHandle handle, NqU32 zero) {
  ULONG n = ((ULONG)(ULONG_PTR)handle - 0x100) / 4;
  (void)zero;
  return (NqU32)pendBlocks[n % PEND_SLOTS];
}
static void NQ_CLIENT_STDCALL ReleasePendHandle(NqPendHandle handle) { (void)handle; }

static void NQ_CLIENT_STDCALL ReportConnect(NqU32 t, NqU32 p, NqThreadId th, NqU32 ra, NqU32 rp, NqU32 la, NqU32 lp, NqU32 b) {
  (void)t; (void)p; (void)th; (void)ra; (void)rp; (void)la; (void)lp; (void)b;
}
static void NQ_CLIENT_STDCALL ReportListen(NqU32 p, NqThreadId th, NqU32 la, NqU32 lp, NqU32 b) { (void)p; (void)th; (void)la; (void)lp; (void)b; }
static void NQ_CLIENT_STDCALL ReportPayload(NqU32 t, NqU32 p, NqThreadId th, NqU32 ra, NqU32 rp, const void* d, NqU32 l, NqU32 z) {
  (void)t; (void)p; (void)th; (void)ra; (void)rp; (void)d; (void)l; (void)z; /* d: min(l, 250) bytes on a plain TCP flow */
}
static void NQ_CLIENT_STDCALL ReportSent(NqU32 pid, NqU32 ra, NqU32 rp, NqU32 length) { (void)ra; (void)rp; Count(pid, length, 0); }
static void NQ_CLIENT_STDCALL ReportStreamReceived(NqU32 pid, NqU32 la, NqU32 lp, NqU32 length) {
  Count(Owner(table->LookupTcpEndpointOwner, pid, la, lp), 0, length);
}
static void NQ_CLIENT_STDCALL ReportDatagramReceived(NqU32 pid, NqU32 la, NqU32 lp, NqU32 length) {
  Count(Owner(table->LookupUdpEndpointOwner, pid, la, lp), 0, length);
}
static NqU32 NQ_CLIENT_CDECL InspectInboundPacket(const void* packet, NqU32 length) { (void)packet; (void)length; return 1; }

static const void* NQ_CLIENT_STDCALL GetUrlReply(const char* url, NqU32* length) {
  if (!Listed(&urls, url)) return 0;
  *length = sizeof(kBlockPage) - 1;
  return kBlockPage;
}

static NqU32 NQ_CLIENT_STDCALL QueryHttpPrimary(NqU32 pid, NqThreadId tid, const char* host, const char* method,
                                                const char* url, NqU32 size, NqReplyObject** replyObject, NqU32* unused) {
  SampleReply* reply;
  (void)pid; (void)tid; (void)method; (void)url; (void)size; (void)unused;
  if (!Listed(&primaryHost, host)) return 0;
  reply = (SampleReply*)ExAllocatePoolWithTag(NonPagedPool, sizeof(SampleReply), SAMPLE_TAG);
  if (reply == 0) return 0; /* no memory: let the request pass */
  reply->header.Length = sizeof(kBlockPage) - 1;
  memcpy(reply->header.Bytes, kBlockPage, sizeof(kBlockPage) - 1);
  *replyObject = &reply->header;
  return 1;
}
static void NQ_CLIENT_STDCALL ReleaseReplyObject(NqReplyObject* object) { ExFreePoolWithTag(object, SAMPLE_TAG); }

static NqU32 NQ_CLIENT_STDCALL QueryHttpSecondary(NqU32 p, NqThreadId th, const char* h, const char* m, const char* u, NqU32 s, NqReplyObject** r, NqU64* v) {
  (void)p; (void)th; (void)h; (void)m; (void)u; (void)s; (void)r; (void)v;
  return 0;
}
static NqU32 NQ_CLIENT_STDCALL CheckHttpExempt(const void* data, NqU32 length) { (void)data; (void)length; return 0; }
static const void* NQ_CLIENT_STDCALL GetDefaultReply(NqU32* length) { *length = 0; return ""; }
static void NQ_CLIENT_STDCALL ReportHttpSecondary(NqU32 p, NqThreadId th, const char* h, const char* m, const char* u, NqU32 s, NqU32 lo, NqU32 hi) {
  (void)p; (void)th; (void)h; (void)m; (void)u; (void)s; (void)lo; (void)hi;
}
static void NQ_CLIENT_STDCALL ReportHttpSecondaryExempt(NqU32 p, NqThreadId th, const char* h) { (void)p; (void)th; (void)h; }
static void NQ_CLIENT_STDCALL ReportHttpRequest(NqU32 p, NqThreadId th, const char* h, const char* m, const char* u, NqU32 s, NqU32 r) {
  (void)p; (void)th; (void)h; (void)m; (void)u; (void)s; (void)r;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNICODE_STRING name;
  PFILE_OBJECT file;
  PDEVICE_OBJECT device;
  NTSTATUS status;
  (void)driver; /* no unload: the driver's calls into us never end */
  RtlInitUnicodeString(&name, u"\\Device\\NQ_WFP_BASE_DRV");
  status = IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device);
  if (!NT_SUCCESS(status)) return status;
  /* nqwfpdrv never unloads: its device outlives the file object's reference. */
  table = (ClientTable*)device->DeviceExtension;
  ObDereferenceObject(file);
  if (table->Version != NQ_CLIENT_TABLE_VERSION || table->Signature != NQ_CLIENT_TABLE_SIGNATURE)
    return STATUS_NOT_FOUND;

  processes = (ProcessBytes*)ExAllocatePoolWithTag(NonPagedPool, MAX_PROCESSES * sizeof(ProcessBytes), SAMPLE_TAG);
  if (processes == 0) return STATUS_INSUFFICIENT_RESOURCES;
  memset(processes, 0, MAX_PROCESSES * sizeof(ProcessBytes));
  KeInitializeSpinLock(&processLock);
  ReadPolicy(registryPath);
  if (blockPorts.count + pendPorts.count + pendBlockPorts.count + urls.count + primaryHost.count == 0)
    ParsePolicy(kDefaultPolicy, sizeof(kDefaultPolicy) - 1);

  table->ReportConnect = ReportConnect;
  table->ReportAccept = ReportConnect; /* the same arguments, the endpoints the other way round */
  table->ReportPayload = ReportPayload;
  table->ReportListen = ReportListen;
  table->ReportHttpRequest = ReportHttpRequest;
  table->ReportHttpSecondary = ReportHttpSecondary;
  table->ReleasePendHandle = ReleasePendHandle;
  table->DecidePended = DecidePended;
  table->QueryBind = QueryBind;
  table->QueryConnect = QueryConnect;
  table->QueryAccept = QueryAccept;
  table->QueryListen = QueryListen;
  table->QueryHttpPrimary = QueryHttpPrimary;
  table->QueryHttpSecondary = QueryHttpSecondary;
  table->ReportHttpSecondaryExempt = ReportHttpSecondaryExempt;
  table->CheckHttpExempt = CheckHttpExempt;
  table->GetUrlReply = GetUrlReply;
  table->GetPrimaryReply = GetDefaultReply;
  table->GetSecondaryReply = GetDefaultReply;
  table->ReleaseReplyObject = ReleaseReplyObject;
  table->ReportStreamSent = ReportSent;
  table->ReportStreamReceived = ReportStreamReceived;
  table->ReportDatagramSent = ReportSent;
  table->ReportDatagramReceived = ReportDatagramReceived;
  table->InspectInboundPacket = InspectInboundPacket;
  /* Every slot is written before the flag rises (a full barrier). */
  InterlockedExchange((LONG volatile*)&table->ClientReady, 1);
  return STATUS_SUCCESS;
}
