// nqwfp_driver_bench: ns per classify of every layer's handler against an
// empty callout, and the endpoint tables' lookups and records by table size.
// One process is one machine: the driver stays loaded for every benchmark.
#include "bench/driver_bench.h"
#include "core/driver/driver_entry.h"
#include "host/host.h"

#include <unistd.h>

#include <cstdio>

namespace bench {
namespace {

// A client that permits everything at once and keeps nothing: the figures
// are the driver's and the platform's, not a policy's.
volatile NqU32 gSink;

NqU32 NQ_CLIENT_STDCALL QueryBind(NqU32, NqU32, NqThreadId, NqPendHandle*) { return 0; }
NqU32 NQ_CLIENT_STDCALL QueryConnect(NqU32, NqU32, NqThreadId, NqU32, NqU32, NqU32, NqU32, NqPendHandle*) { return 0; }
NqU32 NQ_CLIENT_STDCALL QueryAccept(NqU32, NqU32, NqThreadId, NqU32, NqU32, NqU32, NqU32, NqPendHandle*) { return 0; }
NqU32 NQ_CLIENT_STDCALL QueryListen(NqU32, NqThreadId, NqU32, NqU32, NqPendHandle*) { return 0; }
NqU32 NQ_CLIENT_STDCALL DecidePended(NqPendHandle, NqU32) { return 0; }
void NQ_CLIENT_STDCALL ReleasePendHandle(NqPendHandle) {}
void NQ_CLIENT_STDCALL ReportConnect(NqU32, NqU32, NqThreadId, NqU32, NqU32, NqU32, NqU32, NqU32 blocked) {
  gSink = blocked;
}
void NQ_CLIENT_STDCALL ReportAccept(NqU32, NqU32, NqThreadId, NqU32, NqU32, NqU32, NqU32, NqU32 blocked) {
  gSink = blocked;
}
void NQ_CLIENT_STDCALL ReportListen(NqU32, NqThreadId, NqU32, NqU32, NqU32 blocked) { gSink = blocked; }
void NQ_CLIENT_STDCALL ReportPayload(NqU32, NqU32, NqThreadId, NqU32, NqU32, const void* data, NqU32 length, NqU32) {
  gSink = length != 0 ? *static_cast<const NqU8*>(data) : 0;
}
void NQ_CLIENT_STDCALL ReportCount(NqU32, NqU32, NqU32, NqU32 length) { gSink = length; }
NqU32 NQ_CLIENT_CDECL InspectInboundPacket(const void* packet, NqU32 length) {
  gSink = length + *static_cast<const NqU8*>(packet);
  return 1;
}
const void* NQ_CLIENT_STDCALL GetUrlReply(const char*, NqU32* length) {
  *length = 0;
  return nullptr;
}
NqU32 NQ_CLIENT_STDCALL QueryHttpPrimary(NqU32, NqThreadId, const char*, const char*, const char*, NqU32,
                                         NqReplyObject**, NqU32*) {
  return 0;
}
NqU32 NQ_CLIENT_STDCALL QueryHttpSecondary(NqU32, NqThreadId, const char*, const char*, const char*, NqU32,
                                           NqReplyObject**, NqU64*) {
  return 0;
}
NqU32 NQ_CLIENT_STDCALL CheckHttpExempt(const void*, NqU32) { return 0; }
const void* NQ_CLIENT_STDCALL GetDefaultReply(NqU32* length) {
  *length = 0;
  return nullptr;
}
void NQ_CLIENT_STDCALL ReportHttpSecondary(NqU32, NqThreadId, const char*, const char*, const char*, NqU32, NqU32,
                                           NqU32) {}
void NQ_CLIENT_STDCALL ReportHttpSecondaryExempt(NqU32, NqThreadId, const char*) {}
void NQ_CLIENT_STDCALL ReportHttpRequest(NqU32, NqThreadId, const char*, const char*, const char* url, NqU32 size,
                                         NqU32) {
  gSink = size + static_cast<NqU32>(url[0]);
}
void NQ_CLIENT_STDCALL ReleaseReplyObject(NqReplyObject*) {}

ClientTable* gTable;

void FillTable(ClientTable* t) {
  t->ReportConnect = ReportConnect;
  t->ReportAccept = ReportAccept;
  t->ReportPayload = ReportPayload;
  t->ReportListen = ReportListen;
  t->ReportHttpRequest = ReportHttpRequest;
  t->ReportHttpSecondary = ReportHttpSecondary;
  t->ReleasePendHandle = ReleasePendHandle;
  t->DecidePended = DecidePended;
  t->QueryBind = QueryBind;
  t->QueryConnect = QueryConnect;
  t->QueryAccept = QueryAccept;
  t->QueryListen = QueryListen;
  t->QueryHttpPrimary = QueryHttpPrimary;
  t->QueryHttpSecondary = QueryHttpSecondary;
  t->ReportHttpSecondaryExempt = ReportHttpSecondaryExempt;
  t->CheckHttpExempt = CheckHttpExempt;
  t->GetUrlReply = GetUrlReply;
  t->GetPrimaryReply = GetDefaultReply;
  t->GetSecondaryReply = GetDefaultReply;
  t->ReleaseReplyObject = ReleaseReplyObject;
  t->ReportStreamSent = ReportCount;
  t->ReportStreamReceived = ReportCount;
  t->ReportDatagramSent = ReportCount;
  t->ReportDatagramReceived = ReportCount;
  t->InspectInboundPacket = InspectInboundPacket;
  t->ClientReady = 1;
}

// Keeps the CPU time and counters of every run while the console report goes on.
class Collector : public benchmark::ConsoleReporter {
 public:
  Collector() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Color : OO_None) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.iterations == 0 || run.run_type != Run::RT_Iteration) continue;
      Figures f;
      f.ns = run.cpu_accumulated_time / static_cast<double>(run.iterations) * 1e9;
      auto allocations = run.counters.find("allocations");
      if (allocations != run.counters.end()) f.allocations = allocations->second.value;
      results[run.benchmark_name()] = f;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  Results results;
};

}  // namespace

bool LoadDriverWithQuietClient() {
  if (gTable != nullptr) return true;
  // Before the first block: the whole machine runs on the lean pool.
  if (!host::pool::UseLeanAccounting(true)) {
    std::fprintf(stderr, "the lean pool cannot take over: blocks are outstanding\n");
    return false;
  }
  NTSTATUS status = host::io::LoadDriver(DriverEntry, u"nqwfpdrv");
  PDEVICE_OBJECT device = host::io::FindDevice(u"\\Device\\NQ_WFP_BASE_DRV");
  if (status != STATUS_SUCCESS || device == nullptr) {
    std::fprintf(stderr, "the driver did not load: status 0x%08x\n", static_cast<unsigned>(status));
    return false;
  }
  gTable = static_cast<ClientTable*>(device->DeviceExtension);
  FillTable(gTable);
  return true;
}

ClientTable* Client() { return gTable; }

AllocationMeter::AllocationMeter(benchmark::State& state) : state_(state), mark_(host::pool::AllocationCount()) {}

void AllocationMeter::Pause() {
  counted_ += host::pool::AllocationCount() - mark_;
  state_.PauseTiming();
}

void AllocationMeter::Resume() {
  state_.ResumeTiming();
  mark_ = host::pool::AllocationCount();
}

void AllocationMeter::Finish() {
  counted_ += host::pool::AllocationCount() - mark_;
  state_.counters["allocations"] =
      benchmark::Counter(static_cast<double>(counted_), benchmark::Counter::kAvgIterations);
}

}  // namespace bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!bench::LoadDriverWithQuietClient()) return 1;
  bench::RegisterClassifyBenchmarks();
  bench::RegisterEndpointBenchmarks();
  bench::Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  bench::PrintClassifyTable(collector.results);
  bench::PrintEndpointTable(collector.results);
  benchmark::Shutdown();
  return 0;
}
