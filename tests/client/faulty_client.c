/*
 * The sample client with one fault of the kind client authors make, chosen
 * by FAULT when built: the verifier or the loader must name each one.
 *   leak_pool      a pool block allocated for each sent segment, never freed
 *   keep_reply     ReleaseReplyObject frees nothing
 *   never_decide   DecidePended waits for ever: its pend handle never gets
 *                  an answer
 *   never_ready    fills the slots but leaves ClientReady at 0
 *   entry_fails    DriverEntry returns a failure status
 *   no_entry       exports no DriverEntry
 */
#define DriverEntry SampleDriverEntry
#include "samples/client/sample_client.c"
#undef DriverEntry

#if !defined(FAULT_no_entry)
static NqReportStreamSentFn sampleStreamSent;

static void NQ_CLIENT_STDCALL LeakingStreamSent(NqU32 pid, NqU32 ra, NqU32 rp, NqU32 length) {
  ExAllocatePoolWithTag(NonPagedPool, 32, SAMPLE_TAG);
  sampleStreamSent(pid, ra, rp, length);
}
static void NQ_CLIENT_STDCALL KeepReplyObject(NqReplyObject* object) { (void)object; }
static KEVENT never;
static NqU32 NQ_CLIENT_STDCALL NeverDecide(NqPendHandle handle, NqU32 zero) {
  (void)handle; (void)zero;
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, NULL);
  return 0;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  NTSTATUS status;
#if defined(FAULT_entry_fails)
  (void)driver; (void)registryPath;
  return STATUS_INSUFFICIENT_RESOURCES;
#endif
  status = SampleDriverEntry(driver, registryPath);
  if (!NT_SUCCESS(status)) return status;
#if defined(FAULT_leak_pool)
  sampleStreamSent = table->ReportStreamSent;
  table->ReportStreamSent = LeakingStreamSent;
#elif defined(FAULT_keep_reply)
  table->ReleaseReplyObject = KeepReplyObject;
#elif defined(FAULT_never_decide)
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  table->DecidePended = NeverDecide;
#elif defined(FAULT_never_ready)
  InterlockedExchange((LONG volatile*)&table->ClientReady, 0);
#endif
  return STATUS_SUCCESS;
}
#endif
