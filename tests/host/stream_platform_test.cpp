// The stream side of the host platform, as the platform documents it: flow
// contexts and flow deletion, stream indications and what the engine reads
// back after each, copies out of them, net buffer lists built over a caller's
// MDL, and stream injection with what the verifier watches around it.
#include "host/ndis.h"
#include "host/stack.h"
#include "host/wfp.h"
#include "tests/support/machine.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

const GUID kCalloutKey = {0x44444444, 0x1, 0x1, {1, 1, 1, 1, 1, 1, 1, 1}};
const GUID kSubLayerKey = {0x44444444, 0x2, 0x2, {2, 2, 2, 2, 2, 2, 2, 2}};
WCHAR kName[] = u"stream test";
const HANDLE kInjector = reinterpret_cast<HANDLE>(0x99);
constexpr UINT64 kFlow = 42;

host::stack::Socket HttpSocket() {
  host::stack::Socket s;
  s.localAddress = host::wfp::Ipv4("10.0.0.2");
  s.localPort = 50000;
  s.remoteAddress = host::wfp::Ipv4("192.0.2.80");
  s.remotePort = 80;
  s.processId = 700;
  return s;
}

// What the test's stream callout answers, and what it saw.
struct StreamCallout {
  std::atomic<int> classifies{0};
  std::atomic<unsigned long long> lastContext{0};
  FWP_ACTION_TYPE action = FWP_ACTION_PERMIT;
  FWPS_STREAM_ACTION_TYPE streamAction = FWPS_STREAM_ACTION_NONE;
  SIZE_T enforced = 0;
  bool enforceAll = true;
  // While `gate` is closed a classify waits inside the callout.
  std::mutex lock;
  std::condition_variable changed;
  bool gateClosed = false;
  bool inside = false;
  std::atomic<int> flowDeletes{0};
  std::atomic<unsigned long long> deletedContext{0};
  std::atomic<int> classifiesWhenDeleted{-1};
} gCallout;

VOID NTAPI StreamClassify(const FWPS_INCOMING_VALUES0*, const FWPS_INCOMING_METADATA_VALUES0*, void* layerData,
                          const void*, const FWPS_FILTER1*, UINT64 flowContext, FWPS_CLASSIFY_OUT0* out) {
  auto* io = static_cast<FWPS_STREAM_CALLOUT_IO_PACKET0*>(layerData);
  {
    std::unique_lock<std::mutex> guard(gCallout.lock);
    gCallout.inside = true;
    gCallout.changed.notify_all();
    gCallout.changed.wait(guard, [] { return !gCallout.gateClosed; });
    gCallout.inside = false;
  }
  gCallout.lastContext = flowContext;
  io->streamAction = gCallout.streamAction;
  io->countBytesEnforced = gCallout.enforceAll ? io->streamData->dataLength : gCallout.enforced;
  out->actionType = gCallout.action;
  ++gCallout.classifies;
}

NTSTATUS NTAPI AcceptFilters(FWPS_CALLOUT_NOTIFY_TYPE, const GUID*, FWPS_FILTER1*) { return STATUS_SUCCESS; }

VOID NTAPI StreamFlowDelete(UINT16, UINT32, UINT64 flowContext) {
  gCallout.classifiesWhenDeleted = gCallout.classifies.load();
  gCallout.deletedContext = flowContext;
  ++gCallout.flowDeletes;
}

class StreamPlatform : public nqtest::MachineTest {
 protected:
  // A stream callout registered conditional on flow, with a flow-delete
  // function, named by a filter at the stream layer.
  void AddStreamCallout() {
    HANDLE engine = nullptr;
    ASSERT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine), 0);
    FWPM_SUBLAYER0 subLayer{};
    subLayer.subLayerKey = kSubLayerKey;
    subLayer.displayData.name = kName;
    ASSERT_EQ(FwpmSubLayerAdd0(engine, &subLayer, nullptr), STATUS_SUCCESS);
    static DEVICE_OBJECT device{};
    FWPS_CALLOUT1 callout{};
    callout.calloutKey = kCalloutKey;
    callout.flags = FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW;
    callout.classifyFn = StreamClassify;
    callout.notifyFn = AcceptFilters;
    callout.flowDeleteFn = StreamFlowDelete;
    ASSERT_EQ(FwpsCalloutRegister1(&device, &callout, &calloutId_), STATUS_SUCCESS);
    FWPM_CALLOUT0 added{};
    added.calloutKey = kCalloutKey;
    added.displayData.name = kName;
    added.applicableLayer = FWPM_LAYER_STREAM_V4;
    ASSERT_EQ(FwpmCalloutAdd0(engine, &added, nullptr, nullptr), STATUS_SUCCESS);
    FWPM_FILTER0 filter{};
    filter.displayData.name = kName;
    filter.layerKey = FWPM_LAYER_STREAM_V4;
    filter.subLayerKey = kSubLayerKey;
    filter.action.type = FWP_ACTION_CALLOUT_TERMINATING;
    filter.action.calloutKey = kCalloutKey;
    ASSERT_EQ(FwpmFilterAdd0(engine, &filter, nullptr, nullptr), STATUS_SUCCESS);
  }
  NTSTATUS Associate(UINT64 flow, UINT64 context) {
    host::kernel::SetCurrentIrql(DISPATCH_LEVEL);
    NTSTATUS status = FwpsFlowAssociateContext0(flow, FWPS_LAYER_STREAM_V4, calloutId_, context);
    host::kernel::SetCurrentIrql(PASSIVE_LEVEL);
    return status;
  }
  host::wfp::ClassifyResult Indicate(UINT64 flow, const std::vector<std::string>& pieces) {
    host::stack::StreamIndication indication(HttpSocket(), flow, FWPS_STREAM_FLAG_SEND, pieces);
    return host::wfp::Classify(indication.Event());
  }
  void ExpectViolation(const std::string& rule) {
    bool found = false;
    for (const auto& text : host::verifier::Violations()) found |= text.rfind(rule, 0) == 0;
    EXPECT_TRUE(found) << "expected a " << rule << " violation";
    host::verifier::Clear();
  }
  UINT32 calloutId_ = 0;
};

// ---- flow contexts ---------------------------------------------------------------------

TEST_F(StreamPlatform, ConditionalCalloutIsClassifiedOnlyForFlowsCarryingItsContextWithThatContext) {
  AddStreamCallout();
  EXPECT_FALSE(Indicate(kFlow, {"GET /"}).called) << "no context on the flow yet";
  EXPECT_EQ(gCallout.classifies.load(), 0);
  ASSERT_EQ(Associate(kFlow, 0xC0DE), STATUS_SUCCESS);
  EXPECT_TRUE(Indicate(kFlow, {"GET /"}).called);
  EXPECT_EQ(gCallout.lastContext.load(), 0xC0DEu);
  EXPECT_FALSE(Indicate(kFlow + 1, {"GET /"}).called) << "another flow";
  EXPECT_EQ(gCallout.classifies.load(), 1);
}

// Documented: a second context for the same flow, layer and callout gives
// STATUS_OBJECT_NAME_EXISTS, an informational status that NT_SUCCESS passes,
// and leaves the first context; a zero context is an invalid parameter.
TEST_F(StreamPlatform, SecondAssociationIsRefusedWithTheDocumentedStatusAndKeepsTheFirst) {
  AddStreamCallout();
  ASSERT_EQ(Associate(kFlow, 0x1111), STATUS_SUCCESS);
  NTSTATUS again = Associate(kFlow, 0x2222);
  EXPECT_EQ(again, STATUS_OBJECT_NAME_EXISTS);
  EXPECT_TRUE(NT_SUCCESS(again)) << "a driver that tests only NT_SUCCESS takes it for an association";
  Indicate(kFlow, {"x"});
  EXPECT_EQ(gCallout.lastContext.load(), 0x1111u);
  EXPECT_EQ(Associate(kFlow + 1, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(FwpsFlowAssociateContext0(kFlow + 1, FWPS_LAYER_DATAGRAM_DATA_V4, calloutId_, 0x3333),
            STATUS_INVALID_PARAMETER)
      << "no flow-delete function of that callout at that layer";
  EXPECT_EQ(host::wfp::FlowContextCount(), 1u);
}

TEST_F(StreamPlatform, FlowDeletionWaitsForARunningClassifyAndTellsTheCalloutOnce) {
  AddStreamCallout();
  ASSERT_EQ(Associate(kFlow, 0xF10), STATUS_SUCCESS);
  {
    std::lock_guard<std::mutex> guard(gCallout.lock);
    gCallout.gateClosed = true;
  }
  std::thread classifying([this] { Indicate(kFlow, {"GET / HTTP/1.1\r\n"}); });
  {
    std::unique_lock<std::mutex> guard(gCallout.lock);
    gCallout.changed.wait(guard, [] { return gCallout.inside; });
  }
  std::thread deleting([] { host::wfp::DeleteFlow(kFlow); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(gCallout.flowDeletes.load(), 0) << "the classify of the flow still runs";
  {
    std::lock_guard<std::mutex> guard(gCallout.lock);
    gCallout.gateClosed = false;
    gCallout.changed.notify_all();
  }
  classifying.join();
  deleting.join();
  EXPECT_EQ(gCallout.flowDeletes.load(), 1);
  EXPECT_EQ(gCallout.classifiesWhenDeleted.load(), 1) << "after the classify returned";
  EXPECT_EQ(gCallout.deletedContext.load(), 0xF10u);
  host::wfp::DeleteFlow(kFlow);
  EXPECT_EQ(gCallout.flowDeletes.load(), 1) << "once";
  EXPECT_FALSE(Indicate(kFlow, {"x"}).called) << "the context went with the flow";
}

// ---- what the engine reads back ------------------------------------------------------

// The action covers the leading countBytesEnforced bytes; the engine
// indicates the rest again, all of it when the callout left the count at 0.
TEST_F(StreamPlatform, EngineReadsBackTheBytesTheActionCoversAndIndicatesTheRestAgain) {
  AddStreamCallout();
  ASSERT_EQ(Associate(kFlow, 1), STATUS_SUCCESS);
  host::wfp::ClassifyResult all = Indicate(kFlow, {"GET / HT", "TP/1.1\r\n"});
  EXPECT_TRUE(all.stream);
  EXPECT_EQ(all.countBytesEnforced, 16u);
  EXPECT_EQ(all.bytesIndicatedAgain, 0u);

  gCallout.enforceAll = false;
  gCallout.enforced = 0;
  EXPECT_EQ(Indicate(kFlow, {"GET / HT", "TP/1.1\r\n"}).bytesIndicatedAgain, 16u) << "0 covers nothing";
  gCallout.enforced = 5;
  gCallout.action = FWP_ACTION_BLOCK;
  host::wfp::ClassifyResult part = Indicate(kFlow, {"GET / HT", "TP/1.1\r\n"});
  EXPECT_EQ(part.actionType, FWP_ACTION_BLOCK);
  EXPECT_EQ(part.bytesIndicatedAgain, 11u);

  gCallout.enforced = 0;
  gCallout.action = FWP_ACTION_CONTINUE;
  gCallout.streamAction = FWPS_STREAM_ACTION_NEED_MORE_DATA;
  host::wfp::ClassifyResult held = Indicate(kFlow, {"GET"});
  EXPECT_EQ(held.streamAction, FWPS_STREAM_ACTION_NEED_MORE_DATA);
  EXPECT_EQ(held.bytesIndicatedAgain, 0u) << "held back, not indicated twice";

  gCallout.streamAction = FWPS_STREAM_ACTION_NONE;
  gCallout.action = FWP_ACTION_PERMIT;
  gCallout.enforced = 17;
  Indicate(kFlow, {"GET / HT", "TP/1.1\r\n"});
  ExpectViolation("STREAM_BYTES_ENFORCED");
}

// ---- copies ------------------------------------------------------------------------------

TEST_F(StreamPlatform, CopyGathersAcrossTheWholeChainAndStopsAtTheDataLength) {
  host::stack::StreamIndication indication(HttpSocket(), kFlow, FWPS_STREAM_FLAG_SEND, {"GET / HT", "TP/1.1\r\n", "\r\n"});
  EXPECT_EQ(indication.StreamData().dataLength, 18u);
  EXPECT_EQ(indication.Event().Get(FWPS_FIELD_STREAM_V4_DIRECTION), UINT64(FWP_DIRECTION_OUTBOUND));
  char buffer[64] = {};
  SIZE_T copied = 0;
  FwpsCopyStreamDataToBuffer0(&indication.StreamData(), buffer, sizeof(buffer), &copied);
  EXPECT_EQ(copied, 18u);
  EXPECT_EQ(std::string(buffer, copied), "GET / HTTP/1.1\r\n\r\n");
  FwpsCopyStreamDataToBuffer0(&indication.StreamData(), buffer, 10, &copied);
  EXPECT_EQ(copied, 10u);
}

// The stream data start where dataOffset says, inside a net buffer and one
// of its MDLs, not at the buffer's own data start; they go on across the
// buffer's later MDLs and the chain's later net buffers and lists.
TEST_F(StreamPlatform, CopyStartsAtTheDataOffsetAndCrossesMdlsNetBuffersAndLists) {
  // First list: two net buffers, the first "hdr|abc|defg" cut into MDLs at 3
  // and 6 with its data start at 3; the second "hij". Second list: "klm".
  NET_BUFFER_LIST* first = host::ndis::BuildNetBufferList(
      std::vector<host::ndis::NetBufferSpec>{{"hdrabcdefg", 3, {3, 6}}, {"hij", 0}});
  NET_BUFFER_LIST* second = host::ndis::BuildNetBufferList({"klm", 0});
  first->Next = second;
  NET_BUFFER* nb = first->FirstNetBuffer;
  FWPS_STREAM_DATA0 data{};
  data.netBufferListChain = first;
  data.dataOffset.netBufferList = first;
  data.dataOffset.netBuffer = nb;
  data.dataOffset.mdl = nb->MdlChain->Next;  // "abc"
  data.dataOffset.mdlOffset = 1;             // from "bc"
  data.dataLength = 11;                      // "bcdefg" "hij" "kl"
  char buffer[32] = {};
  SIZE_T copied = 0;
  FwpsCopyStreamDataToBuffer0(&data, buffer, sizeof(buffer), &copied);
  EXPECT_EQ(std::string(buffer, copied), "bcdefghijkl");
  for (SIZE_T asked : {0u, 1u, 5u, 6u, 7u, 10u}) {
    std::memset(buffer, 0, sizeof(buffer));
    FwpsCopyStreamDataToBuffer0(&data, buffer, asked, &copied);
    EXPECT_EQ(copied, asked);
    EXPECT_EQ(std::string(buffer, copied), std::string("bcdefghijkl").substr(0, asked));
  }
  data.dataOffset.mdl = nb->MdlChain;  // "hdr": in front of the data start
  data.dataOffset.mdlOffset = 0;
  FwpsCopyStreamDataToBuffer0(&data, buffer, sizeof(buffer), &copied);
  EXPECT_EQ(copied, 0u);
  ExpectViolation("BAD_STREAM_DATA");
  first->Next = nullptr;
  host::ndis::FreeNetBufferList(first);
  host::ndis::FreeNetBufferList(second);
}

// ---- injection -------------------------------------------------------------------------

struct Completions {
  std::atomic<int> calls{0};
  std::atomic<bool> atDispatch{true};
  std::atomic<bool> otherThread{true};
  std::thread::id injector = std::this_thread::get_id();
  NET_BUFFER_LIST* alsoFree = nullptr;  // a list the completion frees besides its own
};

VOID NTAPI FreeOnCompletion(PVOID context, NET_BUFFER_LIST* list, BOOLEAN dispatchLevel) {
  auto* c = static_cast<Completions*>(context);
  c->atDispatch = c->atDispatch && dispatchLevel && host::kernel::CurrentIrql() == DISPATCH_LEVEL;
  c->otherThread = c->otherThread && std::this_thread::get_id() != c->injector;
  if (c->alsoFree != nullptr) FwpsFreeNetBufferList0(c->alsoFree);
  FwpsFreeNetBufferList0(list);
  ++c->calls;
}

class StreamInjection : public StreamPlatform {
 protected:
  void SetUp() override {
    host::wfp::EstablishFlow(kFlow);
    host::kernel::SetCurrentIrql(DISPATCH_LEVEL);
  }
  void TearDown() override {
    host::kernel::SetCurrentIrql(PASSIVE_LEVEL);
    for (PMDL mdl : mdls_) IoFreeMdl(mdl);
    StreamPlatform::TearDown();
  }
  // A list built over an MDL of the test's bytes, as a driver builds a reply.
  NET_BUFFER_LIST* ReplyList(const char* bytes) {
    ULONG length = static_cast<ULONG>(std::strlen(bytes));
    PMDL mdl = IoAllocateMdl(const_cast<char*>(bytes), length, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    mdls_.push_back(mdl);
    NET_BUFFER_LIST* list = nullptr;
    EXPECT_EQ(FwpsAllocateNetBufferAndNetBufferList0(reinterpret_cast<NDIS_HANDLE>(0x1), 0, 0, mdl, 0, length, &list),
              STATUS_SUCCESS);
    return list;
  }
  NTSTATUS Inject(NET_BUFFER_LIST* list, SIZE_T length, Completions* c, UINT64 flow = kFlow,
                  UINT16 layer = FWPS_LAYER_STREAM_V4,
                  UINT32 flags = FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT) {
    return FwpsStreamInjectAsync0(kInjector, nullptr, 0, flow, 7, layer, flags, list, length, FreeOnCompletion, c);
  }
  std::vector<PMDL> mdls_;
};

TEST_F(StreamInjection, ListBuiltOverAnMdlIsMarkedAndCompletedOnceAtDispatchOnAnotherThread) {
  static const char reply[] = "HTTP/1.0 403 Forbidden\r\n\r\n";
  NET_BUFFER_LIST* list = ReplyList(reply);
  Completions c;
  host::wfp::HoldInjectionCompletions(true);
  ASSERT_EQ(Inject(list, sizeof(reply) - 1, &c), STATUS_SUCCESS);
  EXPECT_EQ(FwpsQueryPacketInjectionState0(kInjector, list, nullptr), FWPS_PACKET_INJECTED_BY_SELF);
  EXPECT_EQ(FwpsQueryPacketInjectionState0(reinterpret_cast<HANDLE>(0x98), list, nullptr),
            FWPS_PACKET_INJECTED_BY_OTHER);
  EXPECT_EQ(c.calls.load(), 0) << "completions come later";
  host::wfp::HoldInjectionCompletions(false);
  host::wfp::WaitInjectionsCompleted();
  EXPECT_EQ(c.calls.load(), 1);
  EXPECT_TRUE(c.atDispatch.load());
  EXPECT_TRUE(c.otherThread.load());
  auto injections = host::wfp::Injections();
  ASSERT_EQ(injections.size(), 1u);
  EXPECT_EQ(injections[0].kind, host::wfp::Injection::Stream);
  EXPECT_EQ(injections[0].data, std::string(reply));
  EXPECT_EQ(injections[0].flowId, kFlow);
  EXPECT_EQ(injections[0].streamFlags, UINT32(5));
  EXPECT_TRUE(injections[0].completed);
}

// The completion function is called for each net buffer list injected; a
// disconnect alone has none, so nothing is called for it.
TEST_F(StreamInjection, DisconnectWithoutDataIsAcceptedAndCompletesNothing) {
  Completions c;
  EXPECT_EQ(Inject(nullptr, 0, &c), STATUS_SUCCESS);
  host::wfp::WaitInjectionsCompleted();
  EXPECT_EQ(c.calls.load(), 0);
  ASSERT_EQ(host::wfp::Injections().size(), 1u);
  EXPECT_TRUE(host::wfp::Injections()[0].completed);
}

TEST_F(StreamInjection, WhatThePlatformRefusesIsRefusedAndNothingIsInjected) {
  static const char reply[] = "HTTP/1.0 200 OK\r\n\r\n";
  NET_BUFFER_LIST* list = ReplyList(reply);
  SIZE_T length = sizeof(reply) - 1;
  Completions c;
  EXPECT_EQ(Inject(list, length, &c, kFlow + 1), STATUS_FWP_NOT_FOUND) << "a flow the stack does not have";
  EXPECT_EQ(Inject(list, length, &c, kFlow, FWPS_LAYER_DATAGRAM_DATA_V4), STATUS_FWP_INCOMPATIBLE_LAYER);
  EXPECT_EQ(Inject(list, length - 1, &c), STATUS_INVALID_PARAMETER) << "shorter than the chain";
  EXPECT_EQ(Inject(list, length + 1, &c), STATUS_INVALID_PARAMETER) << "longer than the chain";
  EXPECT_EQ(Inject(list, 0, &c), STATUS_INVALID_PARAMETER) << "a list with no length";
  EXPECT_EQ(Inject(nullptr, 10, &c), STATUS_INVALID_PARAMETER) << "a length without data";
  EXPECT_EQ(Inject(nullptr, 0, &c, kFlow, FWPS_LAYER_STREAM_V4, FWPS_STREAM_FLAG_RECEIVE), STATUS_INVALID_PARAMETER)
      << "neither data nor a disconnect";
  EXPECT_EQ(Inject(list, length, &c, kFlow, FWPS_LAYER_STREAM_V4, FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_SEND),
            STATUS_INVALID_PARAMETER)
      << "both directions";
  EXPECT_EQ(FwpsStreamInjectAsync0(kInjector, nullptr, 0, kFlow, 7, FWPS_LAYER_STREAM_V4, FWPS_STREAM_FLAG_RECEIVE,
                                   list, length, nullptr, nullptr),
            STATUS_INVALID_PARAMETER)
      << "no completion function";
  host::wfp::DeleteFlow(kFlow);
  EXPECT_EQ(Inject(list, length, &c), STATUS_FWP_NOT_FOUND) << "a flow deleted since";
  EXPECT_TRUE(host::wfp::Injections().empty());
  EXPECT_EQ(FwpsQueryPacketInjectionState0(kInjector, list, nullptr), FWPS_PACKET_NOT_INJECTED);
  FwpsFreeNetBufferList0(list);
  EXPECT_EQ(FwpsQueryPacketInjectionState0(kInjector, nullptr, nullptr), FWPS_PACKET_NOT_INJECTED)
      << "a null list is reported, not followed";
  ExpectViolation("BAD_NET_BUFFER_LIST");
}

// Until its completion comes, an injected list and the MDLs under it are
// the platform's: a completion that frees another injection's list, or a
// list freed twice, is caught.
TEST_F(StreamInjection, CompletionFreeingAListStillInjectedIsCaught) {
  NET_BUFFER_LIST* first = ReplyList("first");
  NET_BUFFER_LIST* second = ReplyList("second");
  Completions c;
  c.alsoFree = second;
  host::wfp::HoldInjectionCompletions(true);
  ASSERT_EQ(Inject(first, 5, &c), STATUS_SUCCESS);
  Completions d;
  ASSERT_EQ(Inject(second, 6, &d), STATUS_SUCCESS);
  IoFreeMdl(mdls_.back());
  ExpectViolation("INJECTION_DATA_FREED");
  host::wfp::HoldInjectionCompletions(false);
  host::wfp::WaitInjectionsCompleted();
  ExpectViolation("INJECTION_DATA_FREED");
  EXPECT_EQ(d.calls.load(), 1) << "the second list was left to its own completion";
}

TEST_F(StreamInjection, ListOrMdlFreedTwiceIsCaught) {
  NET_BUFFER_LIST* list = ReplyList("reply");
  FwpsFreeNetBufferList0(list);
  FwpsFreeNetBufferList0(list);
  ExpectViolation("NET_BUFFER_LIST_FREED_TWICE");
  PMDL mdl = mdls_.back();
  mdls_.pop_back();
  IoFreeMdl(mdl);
  IoFreeMdl(mdl);
  ExpectViolation("MDL_FREED_TWICE");
}

TEST_F(StreamInjection, InjectionStillUncompletedAtTheEndOfATestIsReported) {
  NET_BUFFER_LIST* list = ReplyList("reply");
  Completions c;
  host::wfp::HoldInjectionCompletions(true);
  ASSERT_EQ(Inject(list, 5, &c), STATUS_SUCCESS);
  host::verifier::RunEndOfTestChecks();
  ExpectViolation("INJECTION_NOT_COMPLETED");
  host::wfp::HoldInjectionCompletions(false);
  host::wfp::WaitInjectionsCompleted();
  host::verifier::RunEndOfTestChecks();
  EXPECT_TRUE(host::verifier::Violations().empty());
}

// Each routine of the reply path can be failed, or have an action run on its
// entry, through the platform's failure injection.
TEST_F(StreamInjection, ReplyPathRoutinesTakeFailureInjection) {
  static char bytes[] = "reply";
  host::faults::FailCall("IoAllocateMdl", 1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoAllocateMdl(bytes, 5, FALSE, FALSE, nullptr), nullptr);
  PMDL mdl = IoAllocateMdl(bytes, 5, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  mdls_.push_back(mdl);
  int ran = 0;
  host::faults::BeforeCall("MmBuildMdlForNonPagedPool", 1, [&ran] { ++ran; });
  MmBuildMdlForNonPagedPool(mdl);
  host::faults::FailCall("FwpsAllocateNetBufferAndNetBufferList0", 1, STATUS_INSUFFICIENT_RESOURCES);
  NET_BUFFER_LIST* list = nullptr;
  EXPECT_EQ(FwpsAllocateNetBufferAndNetBufferList0(reinterpret_cast<NDIS_HANDLE>(0x1), 0, 0, mdl, 0, 5, &list),
            STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(FwpsAllocateNetBufferAndNetBufferList0(reinterpret_cast<NDIS_HANDLE>(0x1), 0, 0, mdl, 0, 5, &list),
            STATUS_SUCCESS);
  host::faults::BeforeCall("FwpsFreeNetBufferList0", 1, [&ran] { ++ran; });
  FwpsFreeNetBufferList0(list);
  host::faults::BeforeCall("IoFreeMdl", 1, [&ran] { ++ran; });
  IoFreeMdl(mdl);
  mdls_.clear();
  EXPECT_EQ(ran, 3);
  host::faults::FailCall("FwpsStreamInjectAsync0", 1, STATUS_INSUFFICIENT_RESOURCES);
  Completions c;
  EXPECT_EQ(Inject(nullptr, 0, &c), STATUS_INSUFFICIENT_RESOURCES);
}
}  // namespace
