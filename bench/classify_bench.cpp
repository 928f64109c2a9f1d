// ns per classify of each layer's handler, called as the filter engine calls
// a callout (host::wfp::InvokeClassify: the incoming values at their indices
// and of their types, the metadata, the layer data, the filter), against an
// empty callout called the same way with the same event. The host engine's
// own work in that call (copying the values, a completion handle at the
// authorization layers, the read-back of the stream fields) is paid by both;
// what the driver's column adds is its handler and the platform routines it
// calls. Also the pool allocations each classify makes.
#include "bench/driver_bench.h"
#include "core/classify/classify.h"
#include "core/driver/driver_state.h"
#include "host/ndis.h"
#include "host/stack.h"
#include "host/wfp/flows.h"
#include "host/wfp/registry.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {
namespace {

using host::stack::Socket;
using host::stack::StreamIndication;
using host::wfp::ClassifyEvent;
using host::wfp::ClassifyResult;
using host::wfp::Ipv4;

VOID NTAPI EmptyClassify(const FWPS_INCOMING_VALUES0*, const FWPS_INCOMING_METADATA_VALUES0*, void*, const void*,
                         const FWPS_FILTER1*, UINT64, FWPS_CLASSIFY_OUT0* classifyOut) {
  if (classifyOut->rights & FWPS_RIGHT_ACTION_WRITE) classifyOut->actionType = FWP_ACTION_PERMIT;
}

// The platform routines the driver's handler calls on the path being
// measured, made with the same arguments by the second baseline: an empty
// callout that pays the host's cost of those routines (their verifier
// checks, fault-injection look-ups, call counts and the host's own locks).
using PlatformCalls = void (*)(void* layerData);
PlatformCalls gPlatformCalls;

VOID NTAPI PlatformCallsClassify(const FWPS_INCOMING_VALUES0* values, const FWPS_INCOMING_METADATA_VALUES0* meta,
                                 void* layerData, const void* context, const FWPS_FILTER1* filter, UINT64 flowContext,
                                 FWPS_CLASSIFY_OUT0* classifyOut) {
  if (gPlatformCalls != nullptr) gPlatformCalls(layerData);
  EmptyClassify(values, meta, layerData, context, filter, flowContext, classifyOut);
}

NTSTATUS NTAPI EmptyNotify(FWPS_CALLOUT_NOTIFY_TYPE, const GUID*, FWPS_FILTER1*) { return STATUS_SUCCESS; }

// A callout as the engine calls it at a layer: its classify function and the
// filter it is handed.
struct Target {
  FWPS_CALLOUT_CLASSIFY_FN1* classifyFn;
  FWPS_FILTER1 filter;
  ClassifyResult Run(const ClassifyEvent& event) const {
    return host::wfp::InvokeClassify(classifyFn, filter, event);
  }
};

bool DriverAt(UINT16 layerId, Target* target) {
  std::vector<host::wfp::detail::ClassifyTarget> targets = host::wfp::detail::TargetsForLayer(layerId);
  if (targets.empty()) return false;
  *target = Target{targets.front().classifyFn, targets.front().filter};
  return true;
}

UINT32 gEmptyCalloutId;

// The empty callout, registered at run time like the driver's, with a copy
// of the driver's filter that names it.
bool EmptyAt(UINT16 layerId, Target* target, bool withPlatformCalls) {
  if (!DriverAt(layerId, target)) return false;
  target->classifyFn = withPlatformCalls ? PlatformCallsClassify : EmptyClassify;
  target->filter.action.calloutId = gEmptyCalloutId;
  return true;
}

bool RegisterEmptyCallout() {
  FWPS_CALLOUT1 callout{};
  callout.calloutKey = GUID{0x6e7a1c55, 0x2b1d, 0x4c1e, {0x9a, 0x61, 0x0b, 0x3e, 0x51, 0x7c, 0x20, 0x4d}};
  callout.classifyFn = EmptyClassify;
  callout.notifyFn = EmptyNotify;
  PDEVICE_OBJECT device = host::io::FindDevice(u"\\Device\\NQ_WFP_BASE_DRV");
  return NT_SUCCESS(FwpsCalloutRegister1(device, &callout, &gEmptyCalloutId));
}

// The 20-byte IPv4 header in front of the transport data: the handlers
// read only its protocol byte.
std::string Ipv4Header(UINT8 protocol) {
  std::string h(20, '\0');
  h[0] = 0x45;
  h[8] = 64;
  h[9] = static_cast<char>(protocol);
  return h;
}

// The handlers take a sent datagram's first 8 bytes as its UDP header
// without reading them.
constexpr size_t kUdpHeaderLength = 8;

constexpr UINT64 kProcessId = 3100;
constexpr UINT64 kThreadId = 3104;
constexpr UINT64 kHttpsFlow = 0x5001;
constexpr UINT64 kHttpFlow = 0x5002;
constexpr size_t kSegment = 1460;
constexpr size_t kDatagramPayload = 64;
// Binds, releases and flows made and undone in batches of this many, the
// undoing outside the timed part.
constexpr unsigned kBatch = 64;

Socket TcpSocket(UINT16 remotePort, UINT64 endpointHandle) {
  Socket s;
  s.protocol = IPPROTO_TCP;
  s.localAddress = Ipv4("10.0.0.2");
  s.localPort = static_cast<UINT16>(49152 + (endpointHandle & 0xFF));
  s.remoteAddress = Ipv4("192.0.2.10");
  s.remotePort = remotePort;
  s.processId = kProcessId;
  s.threadId = kThreadId;
  s.endpointHandle = endpointHandle;
  return s;
}

Socket UdpSocket() {
  Socket s = TcpSocket(53, 0xE0000201);
  s.protocol = IPPROTO_UDP;
  s.localPort = 5300;
  s.remoteAddress = Ipv4("192.0.2.53");
  return s;
}

const char kGet[] =
    "GET /index.html HTTP/1.1\r\nHost: www.example.test\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n"
    "Accept: text/html,application/xhtml+xml\r\nAccept-Language: en\r\nConnection: keep-alive\r\n\r\n";

// What every path's benchmark is given: the callout and the event, ready.
struct Scene {
  std::vector<NET_BUFFER_LIST*> lists;
  std::vector<StreamIndication*> streams;
  UINT64 httpsContext = 0;
  UINT64 httpContext = 0;
  bool ready = false;
};
Scene gScene;

UINT64 StreamContextOf(UINT64 flowHandle) {
  UINT64 value = 0;
  host::wfp::detail::FlowContextFor(flowHandle, FWPS_LAYER_STREAM_V4, gDriverState->calloutIds[CalloutSlotStream],
                                    &value);
  return value;
}

// The endpoints and flows the paths classify on, made through the engine
// as a stack would make them: binds, then flows established.
bool BuildScene() {
  host::kernel::SetCurrentIds(kProcessId, kThreadId);
  if (!RegisterEmptyCallout()) return false;
  Socket https = TcpSocket(443, 0xE0000101), http = TcpSocket(80, 0xE0000102), udp = UdpSocket();
  for (const Socket& s : {https, http, udp}) host::wfp::Classify(host::stack::BindEvent(s));
  host::wfp::Classify(host::stack::FlowEstablishedEvent(https, FWP_DIRECTION_OUTBOUND, kHttpsFlow));
  host::wfp::Classify(host::stack::FlowEstablishedEvent(http, FWP_DIRECTION_OUTBOUND, kHttpFlow));
  gScene.httpsContext = StreamContextOf(kHttpsFlow);
  gScene.httpContext = StreamContextOf(kHttpFlow);
  gScene.ready = gScene.httpsContext != 0 && gScene.httpContext != 0;
  return gScene.ready;
}

NET_BUFFER_LIST* KeepList(const host::ndis::NetBufferSpec& spec) {
  NET_BUFFER_LIST* list = host::ndis::BuildNetBufferList(spec);
  gScene.lists.push_back(list);
  return list;
}

StreamIndication* KeepStream(UINT64 flowHandle, UINT32 flags, const std::string& bytes) {
  auto* s = new StreamIndication(TcpSocket(flowHandle == kHttpFlow ? 80 : 443, 0xE0000101), flowHandle, flags,
                                 std::vector<std::string>{bytes});
  gScene.streams.push_back(s);
  return s;
}

// ---- The events of each path -------------------------------------------------------
ClassifyEvent InboundPacketEvent() {
  std::string transport = std::string(20, '\x50') + std::string(kDatagramPayload, 'p');
  std::string packet = Ipv4Header(IPPROTO_TCP) + transport;
  ClassifyEvent e(FWPS_LAYER_INBOUND_IPPACKET_V4);
  e.HeaderSizes(20, 20);
  e.layerData = KeepList({packet, 20});
  return e;
}

ClassifyEvent DatagramEvent(FWP_DIRECTION direction) {
  Socket s = UdpSocket();
  std::string payload(kDatagramPayload, 'd');
  std::string data = direction == FWP_DIRECTION_OUTBOUND ? std::string(kUdpHeaderLength, 'u') + payload : payload;
  return host::stack::DatagramEvent(s, direction, KeepList({data, 0}));
}

ClassifyEvent ConnectEvent() {
  Socket s = TcpSocket(443, 0xE0000103);
  std::string transport(20, '\x50');
  return host::stack::ConnectEvent(
      s, KeepList({Ipv4Header(IPPROTO_TCP) + transport, 20}));
}

ClassifyEvent AcceptEvent() {
  Socket s = TcpSocket(50123, 0xE0000104);
  s.localPort = 8443;
  std::string transport(20, '\x51');
  return host::stack::AcceptEvent(
      s, KeepList({Ipv4Header(IPPROTO_TCP) + transport, 40}), 20, 20);
}

ClassifyEvent StreamEvent(UINT64 flowHandle, UINT32 flags, const std::string& bytes) {
  ClassifyEvent e = KeepStream(flowHandle, flags, bytes)->Event();
  e.flowContext = flowHandle == kHttpFlow ? gScene.httpContext : gScene.httpsContext;
  return e;
}

// ---- Benchmarks ----------------------------------------------------------------------
// One classify of the same event per iteration.
void RepeatEvent(benchmark::State& state, const Target& target, const ClassifyEvent& event) {
  AllocationMeter meter(state);
  for (auto _ : state) {
    ClassifyResult r = target.Run(event);
    benchmark::DoNotOptimize(r.actionType);
  }
  meter.Finish();
}

ClassifyEvent BindOf(UINT64 endpointHandle) {
  Socket s = TcpSocket(0, endpointHandle);
  s.localPort = static_cast<UINT16>(20000 + endpointHandle % 20000);
  return host::stack::BindEvent(s);
}

ClassifyEvent ReleaseOf(UINT64 endpointHandle) {
  return host::stack::ReleaseEvent(TcpSocket(0, endpointHandle));
}

// A bind of a fresh endpoint per iteration; each batch is released untimed.
void AssignFreshEndpoints(benchmark::State& state, const Target& target) {
  Target release;
  DriverAt(FWPS_LAYER_ALE_RESOURCE_RELEASE_V4, &release);
  AllocationMeter meter(state);
  UINT64 next = 0xA0000000;
  unsigned inBatch = 0;
  for (auto _ : state) {
    ClassifyResult r = target.Run(BindOf(next++));
    benchmark::DoNotOptimize(r.actionType);
    if (++inBatch == kBatch) {
      meter.Pause();
      for (unsigned i = 1; i <= kBatch; ++i) release.Run(ReleaseOf(next - i));
      inBatch = 0;
      meter.Resume();
    }
  }
  for (unsigned i = 1; i <= inBatch; ++i) release.Run(ReleaseOf(next - i));
  meter.Finish();
}

// A release of a recorded endpoint per iteration; each batch is bound
// untimed, after what the previous batch left recorded (all of it when the
// target is the empty callout) is released.
void ReleaseRecordedEndpoints(benchmark::State& state, const Target& target) {
  Target bind, release;
  DriverAt(FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4, &bind);
  DriverAt(FWPS_LAYER_ALE_RESOURCE_RELEASE_V4, &release);
  auto releaseBatch = [&release](UINT64 first) {
    for (unsigned i = 0; i < kBatch; ++i) release.Run(ReleaseOf(first + i));
  };
  AllocationMeter meter(state);
  UINT64 next = 0xB0000000, batch = 0;
  unsigned left = 0;
  for (auto _ : state) {
    if (left == 0) {
      meter.Pause();
      if (batch != 0) releaseBatch(batch);
      batch = next;
      for (unsigned i = 0; i < kBatch; ++i) bind.Run(BindOf(batch + i));
      left = kBatch;
      meter.Resume();
    }
    ClassifyResult r = target.Run(ReleaseOf(next++));
    benchmark::DoNotOptimize(r.actionType);
    --left;
  }
  if (batch != 0) releaseBatch(batch);
  meter.Finish();
}

// A fresh TCP flow per iteration, its endpoint already recorded by its bind;
// each batch of flows is deleted untimed.
void EstablishFreshFlows(benchmark::State& state, const Target& target) {
  ClassifyEvent event = host::stack::FlowEstablishedEvent(TcpSocket(443, 0xE0000101), FWP_DIRECTION_OUTBOUND, 0);
  AllocationMeter meter(state);
  UINT64 next = 0x700000;
  unsigned inBatch = 0;
  for (auto _ : state) {
    event.meta.flowHandle = next++;
    ClassifyResult r = target.Run(event);
    benchmark::DoNotOptimize(r.actionType);
    if (++inBatch == kBatch) {
      meter.Pause();
      for (unsigned i = 1; i <= kBatch; ++i) host::wfp::DeleteFlow(next - i);
      inBatch = 0;
      meter.Resume();
    }
  }
  for (unsigned i = 1; i <= inBatch; ++i) host::wfp::DeleteFlow(next - i);
  meter.Finish();
}

// ---- The platform routines each path's handler calls ---------------------------------
NET_BUFFER* FirstBuffer(void* layerData) { return NET_BUFFER_LIST_FIRST_NB(static_cast<NET_BUFFER_LIST*>(layerData)); }

void TableLock(KSPIN_LOCK* lock) {
  KIRQL irql = KfAcquireSpinLock(lock);
  KfReleaseSpinLock(lock, irql);
}

void InboundPacketCalls(void* layerData) {
  NET_BUFFER* nb = FirstBuffer(layerData);
  NdisRetreatNetBufferDataStart(nb, 20, 0, nullptr);
  benchmark::DoNotOptimize(NdisGetDataBuffer(nb, NET_BUFFER_DATA_LENGTH(nb), nullptr, 1, 0));
  NdisAdvanceNetBufferDataStart(nb, 20, FALSE, nullptr);
}

void DatagramSentCalls(void* layerData) {
  TableLock(&gDriverState->udpLock);
  NET_BUFFER* nb = FirstBuffer(layerData);
  benchmark::DoNotOptimize(NdisGetDataBuffer(nb, NET_BUFFER_DATA_LENGTH(nb), nullptr, 1, 0));
  benchmark::DoNotOptimize(PsGetCurrentProcessId());
  benchmark::DoNotOptimize(PsGetCurrentThreadId());
}

void DatagramReceivedCalls(void*) { TableLock(&gDriverState->udpLock); }

void AuthorizationCalls(void* layerData) {
  benchmark::DoNotOptimize(FwpsQueryPacketInjectionState0(gDriverState->transportInjection,
                                                          static_cast<NET_BUFFER_LIST*>(layerData), nullptr));
  benchmark::DoNotOptimize(PsGetCurrentThreadId());
}

void AssignmentCalls(void*) {
  benchmark::DoNotOptimize(PsGetCurrentThreadId());
  TableLock(&gDriverState->tcpLock);
  TableLock(&gDriverState->tcpLock);
}

void ReleaseCalls(void*) { TableLock(&gDriverState->tcpLock); }

FWPS_STREAM_DATA0* StreamDataOf(void* layerData) {
  return static_cast<FWPS_STREAM_CALLOUT_IO_PACKET0*>(layerData)->streamData;
}

void StreamReceivedCalls(void* layerData) {
  benchmark::DoNotOptimize(
      FwpsQueryPacketInjectionState0(gDriverState->streamInjection, StreamDataOf(layerData)->netBufferListChain,
                                     nullptr));
}

void StreamSampleCalls(void* layerData) {
  StreamReceivedCalls(layerData);
  UCHAR sample[250];
  SIZE_T copied = 0;
  FwpsCopyStreamDataToBuffer0(StreamDataOf(layerData), sample, sizeof(sample), &copied);
  benchmark::DoNotOptimize(sample);
  benchmark::DoNotOptimize(PsGetCurrentProcessId());
  benchmark::DoNotOptimize(PsGetCurrentThreadId());
}

// The HTTP path: the segment's copy, the parser's four blocks for the
// request (record, its two texts, its queue node), the request queue's lock
// at the queueing, the look, the release and the report, and the thread of
// each client call.
void StreamHttpCalls(void* layerData) {
  StreamReceivedCalls(layerData);
  FWPS_STREAM_DATA0* streamData = StreamDataOf(layerData);
  void* copy = ExAllocatePoolWithTag(NonPagedPool, streamData->dataLength, 0);
  SIZE_T copied = 0;
  FwpsCopyStreamDataToBuffer0(streamData, copy, streamData->dataLength, &copied);
  ExFreePoolWithTag(copy, 0);
  for (SIZE_T size : {24, 27, 17, 16}) ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, size, 0), 0);
  static KSPIN_LOCK queueLock;
  for (int i = 0; i < 4; ++i) {
    TableLock(&queueLock);
    benchmark::DoNotOptimize(PsGetCurrentThreadId());
  }
  benchmark::DoNotOptimize(PsGetCurrentProcessId());
}

struct Path {
  const char* name;
  UINT16 layerId;
  bool permit;          // the aim: within 1.5x of the empty callout
  bool allocationFree;  // the aim: no pool allocation
  // Makes the path's event (for paths that repeat one event).
  ClassifyEvent (*event)();
  // Or runs the path's own loop.
  void (*loop)(benchmark::State&, const Target&);
  // The platform routines its handler calls, or null for none measured.
  PlatformCalls platformCalls;
};

const Path kPaths[] = {
    {"inbound packet", FWPS_LAYER_INBOUND_IPPACKET_V4, true, true, InboundPacketEvent, nullptr, InboundPacketCalls},
    {"datagram sent", FWPS_LAYER_DATAGRAM_DATA_V4, true, true, [] { return DatagramEvent(FWP_DIRECTION_OUTBOUND); },
     nullptr, DatagramSentCalls},
    {"datagram received", FWPS_LAYER_DATAGRAM_DATA_V4, true, true,
     [] { return DatagramEvent(FWP_DIRECTION_INBOUND); }, nullptr, DatagramReceivedCalls},
    {"ALE connect", FWPS_LAYER_ALE_AUTH_CONNECT_V4, true, false, ConnectEvent, nullptr, AuthorizationCalls},
    {"ALE accept", FWPS_LAYER_ALE_AUTH_RECV_ACCEPT_V4, true, false, AcceptEvent, nullptr, AuthorizationCalls},
    {"resource assignment", FWPS_LAYER_ALE_RESOURCE_ASSIGNMENT_V4, true, false, nullptr, AssignFreshEndpoints, AssignmentCalls},
    {"resource release", FWPS_LAYER_ALE_RESOURCE_RELEASE_V4, true, false, nullptr, ReleaseRecordedEndpoints, ReleaseCalls},
    {"flow established", FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4, false, false, nullptr, EstablishFreshFlows, nullptr},
    {"stream received", FWPS_LAYER_STREAM_V4, true, true,
     [] { return StreamEvent(kHttpsFlow, FWPS_STREAM_FLAG_RECEIVE, std::string(kSegment, 'r')); }, nullptr,
     StreamReceivedCalls},
    {"stream sent, sample", FWPS_LAYER_STREAM_V4, true, true,
     [] { return StreamEvent(kHttpsFlow, FWPS_STREAM_FLAG_SEND, std::string(kSegment, 's')); }, nullptr,
     StreamSampleCalls},
    {"stream sent, HTTP GET", FWPS_LAYER_STREAM_V4, true, false,
     [] { return StreamEvent(kHttpFlow, FWPS_STREAM_FLAG_SEND, kGet); }, nullptr, StreamHttpCalls},
};

// Who is called at the path's layer.
enum class Callee { Driver, Empty, PlatformCalls };
const char* const kCalleeNames[] = {"driver", "empty callout", "empty callout + platform calls"};

std::string BenchName(const Path& path, Callee callee) {
  return std::string("classify/") + path.name + "/" + kCalleeNames[static_cast<int>(callee)];
}

void RunPath(benchmark::State& state, const Path& path, Callee callee) {
  if (!gScene.ready) {
    state.SkipWithError("the endpoints and flows of the paths could not be made");
    return;
  }
  host::kernel::SetCurrentIds(kProcessId, kThreadId);
  Target target;
  gPlatformCalls = path.platformCalls;
  bool found = callee == Callee::Driver ? DriverAt(path.layerId, &target)
                                        : EmptyAt(path.layerId, &target, callee == Callee::PlatformCalls);
  if (!found) {
    state.SkipWithError("no callout at the layer");
    return;
  }
  if (path.loop != nullptr) {
    path.loop(state, target);
    return;
  }
  static std::map<const Path*, ClassifyEvent*> events;
  ClassifyEvent*& event = events[&path];
  if (event == nullptr) event = new ClassifyEvent(path.event());
  ClassifyResult first = target.Run(*event);
  if (path.permit && first.actionType != FWP_ACTION_PERMIT) {
    state.SkipWithError("the path did not permit");
    return;
  }
  RepeatEvent(state, target, *event);
}

}  // namespace

void RegisterClassifyBenchmarks() {
  if (!BuildScene()) std::fprintf(stderr, "classify benchmarks: the scene could not be built\n");
  for (const Path& path : kPaths) {
    for (Callee callee : {Callee::Driver, Callee::Empty, Callee::PlatformCalls}) {
      if (callee == Callee::PlatformCalls && path.platformCalls == nullptr) continue;
      benchmark::RegisterBenchmark(BenchName(path, callee).c_str(),
                                   [&path, callee](benchmark::State& state) { RunPath(state, path, callee); });
    }
  }
}

void PrintClassifyTable(const Results& results) {
  for (const Path& path : kPaths)
    for (Callee callee : {Callee::Driver, Callee::Empty, Callee::PlatformCalls})
      if ((callee != Callee::PlatformCalls || path.platformCalls != nullptr) && results.count(BenchName(path, callee)) == 0)
        return;
  std::printf("\nClassify paths through the engine's call of a callout (InvokeClassify), lean pool. Baselines, called\n"
              "the same way with the same event: an empty callout, and one that also makes the platform calls the\n"
              "driver's handler makes on the path (paying the host's cost of them). Aims, against the second where\n"
              "there is one: permit paths within 1.5x, no pool allocation where marked.\n\n");
  std::printf("%-22s %10s %9s %7s %13s %7s %7s  %s\n", "path", "ns", "empty ns", "ratio", "+platform ns", "ratio",
              "allocs", "aims");
  unsigned permitPaths = 0, permitMet = 0, freePaths = 0, freeMet = 0;
  double worst = 0;
  const char* worstName = "";
  for (const Path& path : kPaths) {
    const Figures& d = results.at(BenchName(path, Callee::Driver));
    double empty = results.at(BenchName(path, Callee::Empty)).ns;
    double baseline = empty;
    std::printf("%-22s %10.1f %9.1f %6.2fx", path.name, d.ns, empty, d.ns / empty);
    if (path.platformCalls != nullptr) {
      baseline = results.at(BenchName(path, Callee::PlatformCalls)).ns;
      std::printf(" %13.1f %6.2fx", baseline, d.ns / baseline);
    } else {
      std::printf(" %13s %7s", "-", "");
    }
    double ratio = d.ns / baseline;
    std::string aims;
    if (path.permit) {
      ++permitPaths;
      bool met = ratio <= 1.5;
      permitMet += met;
      aims += met ? "1.5x met" : "1.5x MISSED";
      if (ratio > worst) {
        worst = ratio;
        worstName = path.name;
      }
    }
    if (path.allocationFree) {
      ++freePaths;
      bool met = d.allocations == 0;
      freeMet += met;
      aims += met ? ", none met" : ", none MISSED";
    }
    std::printf(" %7.2f  %s\n", d.allocations, aims.c_str());
  }
  std::printf("\nclassify paths: %u of %u permit paths within 1.5x of their baseline (highest %.2fx, %s); "
              "%u of %u marked paths allocation-free\n",
              permitMet, permitPaths, worst, worstName, freeMet, freePaths);
}

}  // namespace bench
