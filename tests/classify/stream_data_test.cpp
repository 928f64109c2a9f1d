// Stream data: received counts, sent samples, the HTTP path's reports,
// replies, disconnects and re-sent copies, and what every injection owns.
#include "tests/support/flows.h"
#if NQ_LINKED_DRIVER
#include "core/classify/stream_inject.h"
#include "core/http/flow_context.h"
#endif

namespace {
using namespace nqtest;

constexpr UINT64 kHttpFlow = 1;
constexpr UINT64 kPlainFlow = 2;
const std::string kGet = "GET /a HTTP/1.1\r\nHost: example.test\r\n\r\n";

std::vector<host::wfp::Injection> StreamInjections() {
  std::vector<host::wfp::Injection> out;
  for (const auto& i : host::wfp::Injections())
    if (i.kind == host::wfp::Injection::Stream) out.push_back(i);
  return out;
}

class StreamData : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    host::kernel::SetCurrentIds(http_.processId, http_.threadId);
    pool_ = std::make_unique<PoolCheckpoint>();
    Establish(http_, kHttpFlow);
    Establish(plain_, kPlainFlow);
    ASSERT_TRUE(HasContext(kHttpFlow));
    Client().ClearCalls();
  }
  void TearDown() override {
    host::wfp::HoldInjectionCompletions(false);
    host::wfp::WaitInjectionsCompleted();
    host::wfp::DeleteFlow(kHttpFlow);
    host::wfp::DeleteFlow(kPlainFlow);
    for (UINT64 flow = 10; flow < 20; ++flow) host::wfp::DeleteFlow(flow);
    Release(http_);
    Release(plain_);
    EXPECT_NO_LEAKS(*pool_);
    EXPECT_EQ(host::kernel::MdlCount(), 0u);
    FlowTest::TearDown();
  }
  void AnswerWith(const std::string& reply) {
    NqReplyObject* object = replies_.Make(reply);
    Client().answers().queryHttpPrimary = [object](const client::Call&, NqReplyObject** out) {
      *out = object;
      return NqU32{1};
    };
  }
  static void ExpectSegmentBlocked(const ClassifyResult& r, StreamIndication& ind) {
    EXPECT_EQ(r.actionType, FWP_ACTION_BLOCK);
    EXPECT_EQ(r.rights & FWPS_RIGHT_ACTION_WRITE, 0u);
    EXPECT_EQ(r.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB, 0u);
    EXPECT_EQ(ind.IoPacket().streamAction, FWPS_STREAM_ACTION_NONE);
    EXPECT_EQ(ind.IoPacket().countBytesEnforced, ind.StreamData().dataLength);
  }
  static void ExpectDisconnectAlone(const host::wfp::Injection& i) {
    EXPECT_EQ(i.list, nullptr);
    EXPECT_EQ(i.dataLength, 0u);
    EXPECT_EQ(i.streamFlags, UINT32{FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT});
  }

  Socket http_ = HttpSocket(80, 0xE0000201);
  Socket plain_ = HttpSocket(443, 0xE0000202);
  std::unique_ptr<PoolCheckpoint> pool_;
};

TEST_F(StreamData, SelfInjectedEmptyAndUrgentSegmentsPassUnseen) {
  StreamIndication& injected = Indication(plain_, kPlainFlow, FWPS_STREAM_FLAG_SEND, {"abc"});
  host::wfp::MarkInjected(injected.StreamData().netBufferListChain, StreamInjection());
  EXPECT_EQ(RunClassify(injected.Event()).actionType, FWP_ACTION_PERMIT);
  host::wfp::ForgetInjected(injected.StreamData().netBufferListChain);
  EXPECT_EQ(RunClassify(Indication(plain_, kPlainFlow, FWPS_STREAM_FLAG_SEND, {}).Event()).actionType,
            FWP_ACTION_PERMIT);
  EXPECT_EQ(RunClassify(Indication(plain_, kPlainFlow, FWPS_STREAM_FLAG_SEND | FWPS_STREAM_FLAG_SEND_EXPEDITED, {"u"})
                            .Event())
                .actionType,
            FWP_ACTION_PERMIT);
  EXPECT_EQ(RunClassify(Indication(plain_, kPlainFlow, FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_EXPEDITED,
                                   {"u"})
                            .Event())
                .actionType,
            FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(StreamData, ReceivedSegmentIsCountedWithTheLocalEndpoint) {
  ClassifyResult r = RunClassify(Indication(http_, kHttpFlow, FWPS_STREAM_FLAG_RECEIVE, {std::string(700, 'r')}).Event());
  EXPECT_EQ(r.actionType, FWP_ACTION_PERMIT);
  auto calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].slot, "ReportStreamReceived");
  EXPECT_EQ(calls[0].Value("processId"), http_.processId);
  EXPECT_EQ(calls[0].Value("localAddress"), Net(http_.localAddress));
  EXPECT_EQ(calls[0].Value("localPort"), http_.localPort);
  EXPECT_EQ(calls[0].Value("length"), 700u);
}

TEST_F(StreamData, SentSegmentsAreSampledToAtMost250Bytes) {
  std::string data;
  for (int i = 0; i < 300; ++i) data += static_cast<char>('a' + i % 26);
  struct Case {
    std::vector<std::string> pieces;
    size_t sampled;
  } cases[] = {{{data.substr(0, 100)}, 100}, {{data.substr(0, 250)}, 250}, {{data.substr(0, 200), data.substr(200, 51)}, 250}};
  for (const Case& c : cases) {
    Client().ClearCalls();
    StreamIndication& ind = Indication(plain_, kPlainFlow, FWPS_STREAM_FLAG_SEND, c.pieces);
    EXPECT_EQ(RunClassify(ind.Event()).actionType, FWP_ACTION_PERMIT);
    auto calls = Calls();
    ASSERT_EQ(Slots(calls), (std::vector<std::string>{"ReportPayload", "ReportStreamSent"}));
    size_t length = ind.StreamData().dataLength;
    EXPECT_EQ(calls[0].Value("isTcp"), 1u);
    EXPECT_EQ(calls[0].Value("threadId"), http_.threadId) << "classified in the flow's process";
    EXPECT_EQ(calls[0].Value("remoteAddress"), Net(plain_.remoteAddress));
    EXPECT_EQ(calls[0].Value("remotePort"), 443u);
    EXPECT_EQ(calls[0].Find("data")->bytes, data.substr(0, c.sampled));
    EXPECT_EQ(calls[0].Value("length"), length);
    EXPECT_EQ(calls[1].Value("length"), length);
  }
  host::kernel::SetCurrentIds(4, 8);
  Client().ClearCalls();
  Send(plain_, kPlainFlow, "x");
  EXPECT_EQ(Calls().at(0).Value("threadId"), 0u) << "another process's thread is not reported";
}

TEST_F(StreamData, SampleCopyThatComesBackShortIsNotReported) {
  host::faults::FailCall("FwpsCopyStreamDataToBuffer0", 1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Send(plain_, kPlainFlow, std::string(120, 's')).actionType, FWP_ACTION_PERMIT);
  host::faults::Clear();
  EXPECT_TRUE(CallsTo(Calls(), "ReportPayload").empty()) << "half the sample would be whatever the stack held";
}

TEST_F(StreamData, ClientNotReadyStillRunsTheHttpProcessingWithoutReports) {
  Client().SetReady(false);
  RunClassify(Indication(http_, kHttpFlow, FWPS_STREAM_FLAG_RECEIVE, {"r"}).Event());
  Send(plain_, kPlainFlow, "x");
  EXPECT_EQ(Send(http_, kHttpFlow, kGet).actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
#if NQ_LINKED_DRIVER
  EXPECT_EQ(ContextOf(kHttpFlow)->parser.state, ParserRequestDone);
#endif
}

// With the ready flag clear nothing but PERMIT comes back, even for the
// rest of a body the client answered while it was ready.
TEST_F(StreamData, ReadyFlagClearGivesPermitOnly) {
  AnswerWith("no");
  std::string post = "POST /up HTTP/1.1\r\nContent-Length: 20\r\n\r\n";
  EXPECT_EQ(Send(http_, kHttpFlow, post).actionType, FWP_ACTION_BLOCK);
  Client().SetReady(false);
  Client().ClearCalls();
  size_t injections = StreamInjections().size();
  const std::string segments[] = {"0123456789", "0123456789", kGet, kGet + kGet, "\r\n"};
  for (const std::string& segment : segments) {
    EXPECT_EQ(Send(http_, kHttpFlow, segment).actionType, FWP_ACTION_PERMIT) << segment;
    EXPECT_EQ(Send(plain_, kPlainFlow, segment).actionType, FWP_ACTION_PERMIT) << segment;
  }
  EXPECT_EQ(StreamInjections().size(), injections);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(StreamData, HttpSegmentLetThroughIsReportedWhole) {
  EXPECT_EQ(Send(http_, kHttpFlow, kGet).actionType, FWP_ACTION_PERMIT);
  auto payload = CallsTo(Calls(), "ReportPayload");
  ASSERT_EQ(payload.size(), 1u);
  EXPECT_EQ(payload[0].Find("data")->bytes, kGet);
  EXPECT_EQ(CallsTo(Calls(), "ReportStreamSent").at(0).Value("length"), kGet.size());
  EXPECT_TRUE(StreamInjections().empty());
}

TEST_F(StreamData, AnsweredRequestIsDroppedForTheReplyAndItsBodyForDisconnects) {
  AnswerWith("HTTP/1.1 403 Forbidden\r\n\r\n");
  std::string post = "POST /up HTTP/1.1\r\nContent-Length: 20\r\n\r\n";
  StreamIndication& ind = Indication(http_, kHttpFlow, FWPS_STREAM_FLAG_SEND, {post + "0123456789"});
  ExpectSegmentBlocked(RunClassify(ind.Event()), ind);
  auto injections = StreamInjections();
  ASSERT_EQ(injections.size(), 1u);
  EXPECT_EQ(injections[0].data, "HTTP/1.1 403 Forbidden\r\n\r\n");
  EXPECT_EQ(injections[0].dataLength, 26u);
  EXPECT_EQ(injections[0].streamFlags, UINT32{FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT});
  EXPECT_EQ(injections[0].flowId, kHttpFlow);
  EXPECT_EQ(injections[0].layerId, FWPS_LAYER_STREAM_V4);
  EXPECT_EQ(injections[0].calloutId, StreamCalloutId());
  EXPECT_EQ(injections[0].injectionHandle, StreamInjection());
  EXPECT_EQ(CallsTo(Calls(), "ReportPayload").at(0).Value("length"), post.size() + 10)
      << "the segment is still reported as it was indicated";

  StreamIndication& body = Indication(http_, kHttpFlow, FWPS_STREAM_FLAG_SEND, {"0123456789"});
  ExpectSegmentBlocked(RunClassify(body.Event()), body);
  injections = StreamInjections();
  ASSERT_EQ(injections.size(), 2u);
  ExpectDisconnectAlone(injections[1]);
#if NQ_LINKED_DRIVER
  EXPECT_EQ(ContextOf(kHttpFlow)->parser.queueCount, 0u);
#endif
}

TEST_F(StreamData, ReplyOfNoBytesIsADisconnectAlone) {
  Client().answers().queryHttpPrimary = [](const client::Call&, NqReplyObject**) { return NqU32{1}; };
  StreamIndication& ind = Indication(http_, kHttpFlow, FWPS_STREAM_FLAG_SEND, {kGet});
  unsigned mdlsBefore = host::faults::CallCount("IoAllocateMdl");
  ExpectSegmentBlocked(RunClassify(ind.Event()), ind);
  auto injections = StreamInjections();
  ASSERT_EQ(injections.size(), 1u);
  ExpectDisconnectAlone(injections[0]);
  EXPECT_EQ(host::faults::CallCount("IoAllocateMdl"), mdlsBefore) << "no MDL over nothing";
}

TEST_F(StreamData, ExemptedRequestIsResentAsItWas) {
  AnswerWith("no");
  Client().answers().checkHttpExempt = [](const void*, NqU32) { return NqU32{1}; };
  UINT32 flags = FWPS_STREAM_FLAG_SEND | FWPS_STREAM_FLAG_SEND_NODELAY;
  StreamIndication& ind = Indication(http_, kHttpFlow, flags, {kGet.substr(0, 10), kGet.substr(10)});
  ExpectSegmentBlocked(RunClassify(ind.Event()), ind);
  auto injections = StreamInjections();
  ASSERT_EQ(injections.size(), 1u);
  EXPECT_EQ(injections[0].data, kGet);
  EXPECT_EQ(injections[0].streamFlags, flags);
  EXPECT_TRUE(CallsTo(Calls(), "ReportPayload").empty());
}

TEST_F(StreamData, CompletionFreesWhatTheInjectionOwnedAndNothingBefore) {
  AnswerWith("HTTP/1.1 403 Forbidden\r\n\r\n");
  host::wfp::HoldInjectionCompletions(true);
  PoolCheckpoint sinceClassify;
  Send(http_, kHttpFlow, kGet);
  EXPECT_EQ(host::kernel::MdlCount(), 1u);
  EXPECT_EQ(sinceClassify.Leaks().size(), 2u) << "the reply buffer and the injection's record";
  host::wfp::HoldInjectionCompletions(false);
  host::wfp::WaitInjectionsCompleted();
  EXPECT_EQ(host::kernel::MdlCount(), 0u);
  EXPECT_NO_LEAKS(sinceClassify);
#if NQ_LINKED_DRIVER
  StreamInjectComplete(nullptr, nullptr, TRUE);  // a disconnect alone, should the platform complete one
#endif
}

// However the reply's injection fails, the answered request does not go to
// the server: a disconnect alone takes its place.
// A reply that cannot be injected lets the segment through, with no
// disconnect in its place, and the segment is still reported.
TEST_F(StreamData, FailedReplyInjectionLetsTheSegmentThrough) {
  AnswerWith("HTTP/1.1 403 Forbidden\r\n\r\n");
  const char* routines[] = {"IoAllocateMdl", "FwpsAllocateNetBufferAndNetBufferList0", "FwpsStreamInjectAsync0",
                            nullptr};
  UINT64 flow = 10;
  for (const char* routine : routines) {
    Socket s = HttpSocket(80, 0xE0000300 + flow);
    Establish(s, flow);
    if (routine != nullptr) {
      host::faults::FailCall(routine, 1, STATUS_INSUFFICIENT_RESOURCES);
    } else {
      host::pool::FailAllocation(7);  // copy, four parser blocks, reply, then the injection's record
    }
    size_t before = StreamInjections().size();
    Client().ClearCalls();
    StreamIndication& ind = Indication(s, flow, FWPS_STREAM_FLAG_SEND, {kGet});
    ClassifyResult r = RunClassify(ind.Event());
    const char* what = routine ? routine : "record allocation";
    EXPECT_EQ(r.actionType, FWP_ACTION_PERMIT) << what;
    EXPECT_EQ(ind.IoPacket().countBytesEnforced, 0u) << what;
    EXPECT_EQ(StreamInjections().size(), before) << what;
    EXPECT_EQ(CallsTo(Calls(), "ReportHttpRequest").at(0).Value("replied"), 1u) << what;
    EXPECT_EQ(CallsTo(Calls(), "ReportPayload").size(), 1u) << what;
    host::faults::Clear();
    host::pool::ClearFailures();
    Release(s);
    ++flow;
  }
}

TEST_F(StreamData, RefusedDisconnectLetsTheSegmentThrough) {
  Client().answers().queryHttpPrimary = [](const client::Call&, NqReplyObject**) { return NqU32{1}; };
  host::faults::FailCall("FwpsStreamInjectAsync0", 1, STATUS_INVALID_PARAMETER, true);
  StreamIndication& ind = Indication(http_, kHttpFlow, FWPS_STREAM_FLAG_SEND, {kGet});
  ClassifyResult r = RunClassify(ind.Event());
  host::faults::Clear();
  EXPECT_EQ(r.actionType, FWP_ACTION_PERMIT);
  EXPECT_EQ(ind.IoPacket().countBytesEnforced, 0u);
}

TEST_F(StreamData, FailedResendLetsTheSegmentPassUnreported) {
  AnswerWith("no");
  Client().answers().checkHttpExempt = [](const void*, NqU32) { return NqU32{1}; };
  host::faults::FailCall("FwpsAllocateNetBufferAndNetBufferList0", 1, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Send(http_, kHttpFlow, kGet).actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(StreamInjections().empty());
  EXPECT_TRUE(CallsTo(Calls(), "ReportPayload").empty());
}

TEST_F(StreamData, FailedCopyAllocationLetsTheSegmentPassUnreported) {
  host::pool::FailAllocation(1);
  EXPECT_EQ(Send(http_, kHttpFlow, kGet).actionType, FWP_ACTION_PERMIT);
  EXPECT_TRUE(Calls().empty());
#if NQ_LINKED_DRIVER
  EXPECT_EQ(ContextOf(kHttpFlow)->parser.state, ParserReset) << "the parser never saw it";
#endif
}

}  // namespace
