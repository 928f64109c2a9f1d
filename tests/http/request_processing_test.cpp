// HTTP request processing: what the client is asked and told for each
// request, the reply it gets back, and the byte accounting that decides how
// long a request's record stays queued.
#include "core/driver/driver_state.h"
#include "core/http/bounded_printf.h"
#include "core/http/request_processing.h"
#include "tests/support/flows.h"

#include <cstring>

namespace {
using namespace nqtest;

constexpr UINT64 kPid = 3100;
const std::string kGet = "GET /a HTTP/1.1\r\nHost: example.test:8080\r\n\r\n";  // 44 bytes

struct Outcome {
  UINT32 result = 0;
  bool hasReply = false;
  std::string reply;
  UINT32 reinject = 0;
  UINT32 reportAsData = 0;
};

class RequestProcessing : public FlowTest {
 protected:
  void SetUp() override {
    FlowTest::SetUp();
    host::kernel::SetCurrentIds(kPid, 3104);
    pool_ = std::make_unique<PoolCheckpoint>();
    flow_ = CreateFlowContext(1, 80, kPid, Net(Ipv4("10.0.0.2")), 49152, Net(Ipv4("192.0.2.10")));
    ASSERT_NE(flow_, nullptr);
  }
  void TearDown() override {
    FreeFlowContext(flow_);
    EXPECT_NO_LEAKS(*pool_);
    FlowTest::TearDown();
  }
  Outcome Feed(const std::string& segment) {
    std::string copy = segment;
    UINT8* reply = reinterpret_cast<UINT8*>(0x1);
    UINT32 replyLength = 99;
    Outcome o;
    o.result = ProcessHttpData(flow_, reinterpret_cast<const UINT8*>(copy.data()), static_cast<UINT32>(copy.size()),
                               &reply, &replyLength, &o.reinject, &o.reportAsData);
    if (reply != nullptr) {
      o.hasReply = true;
      o.reply.assign(reinterpret_cast<char*>(reply), replyLength);
      FreeNonPaged(reply);
    } else {
      EXPECT_EQ(replyLength, 0u);
    }
    return o;
  }
  void PrimaryAnswers(NqReplyObject* object, NqU32 value = 1) {
    Client().answers().queryHttpPrimary = [object, value](const client::Call&, NqReplyObject** reply) {
      *reply = object;
      return value;
    };
  }
  static std::string Post(size_t contentLength) {
    return "POST /up HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(contentLength) + "\r\n\r\n";
  }
  std::vector<client::Call> Reports() { return CallsTo(Calls(), "ReportHttpRequest"); }

  FlowContext* flow_ = nullptr;
  std::unique_ptr<PoolCheckpoint> pool_;
};

TEST_F(RequestProcessing, SingleRequestIsDecidedAndReportedOnce) {
  Outcome o = Feed(kGet);
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.reportAsData, 1u);
  EXPECT_EQ(o.reinject, 0u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(Slots(Calls()), (std::vector<std::string>{"GetUrlReply", "QueryHttpPrimary", "QueryHttpSecondary",
                                                       "ReportHttpRequest"}));
  auto primary = CallsTo(Calls(), "QueryHttpPrimary").at(0);
  EXPECT_EQ(primary.Value("processId"), kPid);
  EXPECT_EQ(primary.Value("threadId"), 3104u);
  EXPECT_EQ(primary.Find("host")->text, "example.test");
  EXPECT_EQ(primary.Find("method")->text, "GET");
  EXPECT_EQ(primary.Find("url")->text, "/a");
  EXPECT_EQ(primary.Value("requestSize"), kGet.size());
  auto report = Reports().at(0);
  EXPECT_EQ(report.Find("url")->text, "/a");
  EXPECT_EQ(report.Value("replied"), 0u);
  EXPECT_EQ(flow_->pendingBytes, 0u);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
  EXPECT_EQ(flow_->canReplace, 1);
}

TEST_F(RequestProcessing, RequestWithoutHostNamesTheRemoteAddress) {
  Feed("GET /a HTTP/1.1\r\n\r\n");
  EXPECT_EQ(Reports().at(0).Find("host")->text, "192.0.2.10");
}

TEST_F(RequestProcessing, StoppedParserEndsInspection) {
  Outcome o = Feed("SSH-2.0-client\r\n\r\n");
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(flow_->parser.state, ParserStopped);
  o = Feed(kGet);
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.reportAsData, 1u);
  EXPECT_EQ(flow_->httpEnabled, 0u);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(RequestProcessing, ListedUrlIsRefusedWithItsReplyOnlyWhileTheFlowCanBeAnswered) {
  Client().answers().getUrlReply = [](const char*, NqU32* length) -> const void* {
    *length = 5;
    return "moved";
  };
  Outcome o = Feed(kGet);
  EXPECT_EQ(o.result, 1u);
  EXPECT_EQ(o.reply, "moved");
  EXPECT_EQ(o.reportAsData, 0u);
  EXPECT_EQ(Slots(Calls()), std::vector<std::string>{"GetUrlReply"}) << "no decision, no report";

  // Refused all the same without one: a disconnect, and the flow cut, since
  // the server may already hold part of it.
  flow_->canReplace = 0;
  Client().ClearCalls();
  o = Feed(kGet);
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(o.reportAsData, 0u);
  EXPECT_EQ(Slots(Calls()), std::vector<std::string>{"GetUrlReply"});
  EXPECT_EQ(flow_->cutOff, 1);
  Client().ClearCalls();
  EXPECT_EQ(Feed("GET /other HTTP/1.1\r\n\r\n").result, 1u);
  EXPECT_TRUE(Calls().empty()) << "nothing more is parsed or asked";
}

TEST_F(RequestProcessing, ReplyOfNoBytesIsADisconnectWithoutAllocation) {
  Client().answers().getUrlReply = [](const char*, NqU32* length) -> const void* {
    *length = 0;
    return "";
  };
  uint64_t before = host::pool::AllocationCount();
  Outcome o = Feed(kGet);
  EXPECT_EQ(o.result, 1u) << "the answered request must not go to the server";
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(host::pool::AllocationCount() - before, 4u) << "only the parser's four blocks for the request";

  // The stand-in's default primary reply has no bytes either.
  Client().answers().getUrlReply = nullptr;
  PrimaryAnswers(nullptr);
  o = Feed(kGet);
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(Reports().at(0).Value("replied"), 1u);
}

TEST_F(RequestProcessing, PipelinedRequestsAreDecidedAndReportedInOrderAndEndReplacement) {
  Outcome o = Feed(kGet + "GET /b HTTP/1.1\r\n\r\n");
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(flow_->canReplace, 0);
  EXPECT_EQ(CallsTo(Calls(), "QueryHttpPrimary").size(), 2u);
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].Find("url")->text, "/a");
  EXPECT_EQ(reports[1].Find("url")->text, "/b");
  EXPECT_EQ(reports[1].Value("replied"), 0u);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
  EXPECT_EQ(flow_->pendingBytes, 0u);
}

// Pipelining a refused request behind another must not carry it past the
// client: each is decided, and a refusal drops the segment and cuts the flow.
TEST_F(RequestProcessing, PipelinedRequestRefusedCutsTheFlowWithoutAReply) {
  Client().answers().queryHttpPrimary = [this](const client::Call& call, NqReplyObject** reply) {
    if (call.Find("url")->text != "/b") return NqU32{0};
    *reply = replies_.Make("no");
    return NqU32{1};
  };
  Outcome o = Feed(kGet + "GET /b HTTP/1.1\r\n\r\nGET /c HTTP/1.1\r\n\r\n");
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(flow_->cutOff, 1);
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].Value("replied"), 0u);
  EXPECT_EQ(reports[1].Value("replied"), 1u);
  EXPECT_EQ(reports[2].Value("replied"), 0u);
  EXPECT_EQ(Client().LiveReplyObjects(), 0u) << "each decision's reply object released";
  EXPECT_EQ(Feed("GET /d HTTP/1.1\r\n\r\n").result, 1u);
}

TEST_F(RequestProcessing, HeaderOverTwoSegmentsIsDecidedAndRefusedWithoutAReply) {
  EXPECT_EQ(Feed(kGet.substr(0, 20)).result, 0u);
  EXPECT_EQ(flow_->canReplace, 0);
  EXPECT_TRUE(Calls().empty());
  Feed(kGet.substr(20));
  EXPECT_EQ(Slots(Calls()),
            (std::vector<std::string>{"GetUrlReply", "QueryHttpPrimary", "QueryHttpSecondary", "ReportHttpRequest"}));
  EXPECT_EQ(flow_->cutOff, 0) << "let through: the client said no";

  // The server holds the first part of a refused request: its end is
  // dropped, and so is everything after it, or the server could be handed
  // an end for the part it holds.
  PrimaryAnswers(replies_.Make("no"));
  EXPECT_EQ(Feed(kGet.substr(0, 20)).result, 0u);
  Outcome o = Feed(kGet.substr(20));
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(flow_->cutOff, 1);
  EXPECT_EQ(Feed("Host: h\r\n\r\n").result, 1u);
}

TEST_F(RequestProcessing, PostBodyDecidedZeroKeepsItsRecordUntilTheBodyHasPassed) {
  std::string header = Post(1000);
  EXPECT_EQ(Feed(header + std::string(200, 'b')).result, 0u);
  EXPECT_EQ(flow_->parser.queueCount, 1u);
  EXPECT_EQ(Feed(std::string(500, 'b')).result, 0u);
  EXPECT_EQ(flow_->parser.queueCount, 1u);
  EXPECT_EQ(Feed(std::string(300, 'b')).result, 0u);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
  EXPECT_EQ(flow_->pendingBytes, 0u);
  EXPECT_EQ(Reports().size(), 1u);
}

// An answered request's body stays blocked to its end: let through, the
// server would read it as the start of a request nobody inspected.
TEST_F(RequestProcessing, AnsweredPostDropsEveryRemainingBodySegment) {
  NqReplyObject* object = replies_.Make("HTTP/1.1 403 Forbidden\r\n\r\n");
  PrimaryAnswers(object);
  Outcome o = Feed(Post(1000) + std::string(200, 'b'));
  EXPECT_EQ(o.result, 1u);
  EXPECT_EQ(o.reply, "HTTP/1.1 403 Forbidden\r\n\r\n") << "the bytes from offset 40, as long as offset 16 says";
  EXPECT_EQ(ReleaseCount(Calls(), object), 1u);
  ASSERT_EQ(flow_->parser.queueCount, 1u);
  EXPECT_EQ(flow_->parser.queueHead->record->blocked, 1);

  o = Feed("GET /smuggled HTTP/1.1\r\n\r\n" + std::string(474, 'b'));
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  o = Feed(std::string(300, 'b'));
  EXPECT_EQ(o.result, 1u) << "the last body bytes too";
  EXPECT_EQ(flow_->parser.queueCount, 0u);
  EXPECT_EQ(ReleaseCount(Calls(), object), 1u) << "released once, in the call that got it";
}

// A refusal whose reply cannot be copied still keeps the request from the
// server: the segment is dropped behind a disconnect alone.
TEST_F(RequestProcessing, FailedReplyAllocationStillRefusesTheRequest) {
  PrimaryAnswers(nullptr);
  Client().answers().getPrimaryReply = [](NqU32* length) -> const void* {
    *length = 10;
    return "0123456789";
  };
  host::pool::FailAllocation(5);  // after the parser's four blocks: the reply
  Outcome o = Feed(Post(100) + std::string(10, 'b'));
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(Reports().at(0).Value("replied"), 1u);
  EXPECT_EQ(flow_->cutOff, 0) << "nothing of it reached the server";
  ASSERT_EQ(flow_->parser.queueCount, 1u);
  EXPECT_EQ(flow_->parser.queueHead->record->blocked, 1);
  o = Feed(std::string(90, 'b'));
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
}

TEST_F(RequestProcessing, ExemptedPrimaryFallsToTheSecondaryDecision) {
  NqReplyObject* first = replies_.Make("first");
  NqReplyObject* second = replies_.Make("second");
  PrimaryAnswers(first);
  Client().answers().queryHttpSecondary = [second](const client::Call&, NqReplyObject** reply, NqU64* value) {
    *reply = second;
    *value = 0x1122334455667788ull;
    return NqU32{1};
  };
  int checks = 0;
  Client().answers().checkHttpExempt = [&checks](const void*, NqU32) { return NqU32(++checks == 1 ? 1 : 0); };
  Outcome o = Feed(kGet);
  EXPECT_EQ(o.result, 1u);
  EXPECT_EQ(o.reply, "second");
  EXPECT_EQ(o.reinject, 1u) << "left from the exempted primary";
  EXPECT_EQ(o.reportAsData, 0u);
  auto secondary = CallsTo(Calls(), "ReportHttpSecondary");
  ASSERT_EQ(secondary.size(), 1u);
  EXPECT_EQ(secondary[0].Value("value"), 0x1122334455667788ull) << "low word first, then the high word";
  EXPECT_TRUE(Reports().empty());
  EXPECT_EQ(ReleaseCount(Calls(), first), 1u);
  EXPECT_EQ(ReleaseCount(Calls(), second), 1u);

  // Exempt both times: the secondary yes is reported as exempt, no reply.
  checks = 10;
  Client().answers().checkHttpExempt = [](const void*, NqU32) { return NqU32{1}; };
  Client().ClearCalls();
  o = Feed(kGet);
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.reinject, 1u);
  EXPECT_EQ(o.reportAsData, 0u);
  EXPECT_EQ(CallsTo(Calls(), "ReportHttpSecondaryExempt").size(), 1u);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(RequestProcessing, ReplyObjectsAreNotReleasedWhileTheClientIsNotReady) {
  NqReplyObject* object = replies_.Make("x");
  Client().answers().queryHttpPrimary = [this, object](const client::Call&, NqReplyObject** reply) {
    *reply = object;
    Client().SetReady(false);
    return NqU32{1};
  };
  Feed(kGet);
  EXPECT_EQ(ReleaseCount(Calls(), object), 0u);
}

// A request that completes in the segment that ends a queued request's
// body is still reported: otherwise it would reach the server unseen. It is
// not decided: that segment cannot be dropped for an answer, or the server
// would miss the body's last bytes and read the flow's next bytes in their
// place.
TEST_F(RequestProcessing, RequestBehindTheEndOfABodyLetThroughIsRefusedWithoutAReply) {
  Feed(Post(50) + std::string(20, 'b'));
  Client().ClearCalls();
  PrimaryAnswers(replies_.Make("no"));
  Outcome o = Feed(std::string(30, 'b') + "GET /next HTTP/1.1\r\n\r\n");
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply) << "a reply would cut the body's tail off at the server";
  EXPECT_EQ(CallsTo(Calls(), "QueryHttpPrimary").size(), 1u);
  ASSERT_EQ(Reports().size(), 1u);
  EXPECT_EQ(Reports()[0].Find("url")->text, "/next");
  EXPECT_EQ(Reports()[0].Value("replied"), 1u);
  EXPECT_EQ(flow_->canReplace, 0);
  EXPECT_EQ(flow_->cutOff, 1);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
  EXPECT_EQ(flow_->pendingBytes, 0u);
}

// A malformed tail stops the parser, but not before the requests in front
// of it were put to the client.
TEST_F(RequestProcessing, RequestsBeforeAMalformedTailAreStillDecided) {
  PrimaryAnswers(replies_.Make("no"));
  Outcome o = Feed(kGet + "\rX");
  EXPECT_EQ(flow_->parser.state, ParserStopped);
  EXPECT_EQ(o.result, 1u);
  EXPECT_EQ(o.reply, "no");
}

TEST_F(RequestProcessing, BlockedBodyEndingInMalformedBytesIsStillDropped) {
  PrimaryAnswers(replies_.Make("no"));
  Feed(Post(100) + std::string(10, 'b'));
  Outcome o = Feed(std::string(90, 'b') + "\rX");
  EXPECT_EQ(flow_->parser.state, ParserStopped);
  EXPECT_EQ(o.result, 1u);
}

// When a segment is dropped, a request that starts in it loses its header;
// the rest of it must not reach the server as a request of its own.
TEST_F(RequestProcessing, RequestStartingInADroppedSegmentIsBlockedToItsEnd) {
  PrimaryAnswers(replies_.Make("no"));
  Feed(Post(100) + std::string(10, 'b'));
  Client().answers().queryHttpPrimary = nullptr;
  Outcome o = Feed(std::string(90, 'b') + Post(40) + std::string(10, 'c'));
  EXPECT_EQ(o.result, 1u);
  ASSERT_EQ(flow_->parser.queueCount, 1u);
  EXPECT_EQ(flow_->parser.queueHead->record->blocked, 1);
  EXPECT_EQ(Feed(std::string(30, 'c')).result, 1u);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
}

// A header begun in a segment that was let through has reached the server
// in part: answering it now would leave the server half a request, so a
// refusal cuts the flow instead.
TEST_F(RequestProcessing, RequestBegunInASegmentLetThroughIsRefusedWithoutAReply) {
  Client().answers().queryHttpPrimary = [this](const client::Call& call, NqReplyObject** reply) {
    if (call.Find("url")->text != "/b") return NqU32{0};
    *reply = replies_.Make("no");
    return NqU32{1};
  };
  EXPECT_EQ(Feed(kGet + "GET /b HT").result, 0u);
  EXPECT_EQ(flow_->canReplace, 0);
  Outcome o = Feed("TP/1.1\r\n\r\n");
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  ASSERT_EQ(Reports().size(), 2u);
  EXPECT_EQ(Reports()[1].Find("url")->text, "/b");
  EXPECT_EQ(Reports()[1].Value("replied"), 1u);
  EXPECT_EQ(flow_->cutOff, 1);
}

// A request that begins in a dropped segment lost its start: the rest of it
// must not reach the server as a request of its own, nor the request after.
TEST_F(RequestProcessing, RequestBegunInADroppedSegmentIsDroppedToItsEnd) {
  PrimaryAnswers(replies_.Make("no"));
  EXPECT_EQ(Feed(Post(20) + std::string(5, 'b')).result, 1u);
  Client().answers().queryHttpPrimary = nullptr;
  EXPECT_EQ(Feed(std::string(15, 'b') + "GET /c HT").result, 1u) << "the body's end and the next request's start";
  EXPECT_EQ(Feed("TP/1.1\r\nHost: h").result, 1u);
  Outcome o = Feed("\r\n\r\nGET /d HTTP/1.1\r\n");
  EXPECT_EQ(o.result, 1u) << "the torn request's end";
  EXPECT_EQ(Feed("\r\n").result, 1u) << "and the request that began behind it";
  EXPECT_EQ(flow_->parser.queueCount, 0u);
  EXPECT_EQ(flow_->dropInProgress, 0);
}

// ---- Framing ------------------------------------------------------------------------
// A request with a chunked body is accounted to the end of its last chunk: an
// answered one has every body segment dropped, however long the body runs,
// and the request behind it is decided as the first request of a flow is.
TEST_F(RequestProcessing, AnsweredChunkedPostDropsItsBodyToTheLastChunk) {
  NqReplyObject* object = replies_.Make("HTTP/1.1 403 Forbidden\r\n\r\n");
  PrimaryAnswers(object);
  const std::string header = "POST /up HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
  Outcome o = Feed(header + "400\r\n" + std::string(100, 'b'));
  EXPECT_EQ(o.result, 1u);
  EXPECT_EQ(o.reply, "HTTP/1.1 403 Forbidden\r\n\r\n");
  EXPECT_EQ(CallsTo(Calls(), "QueryHttpPrimary").at(0).Value("requestSize"), kOpenRequestSize)
      << "the size of a request whose body has not ended is not known";
  // What the parser takes for chunk data may read as a request to a server
  // that never saw the header: it is dropped like the rest of the body.
  EXPECT_EQ(Feed("GET /smuggled HTTP/1.1\r\n\r\n" + std::string(898, 'b')).result, 1u);
  EXPECT_EQ(Feed("\r\n0\r\n\r\n").result, 1u) << "the last chunk too";
  EXPECT_EQ(flow_->parser.state, ParserRequestDone);
  EXPECT_EQ(ReleaseCount(Calls(), object), 1u);
}

TEST_F(RequestProcessing, RequestBehindAChunkedBodyIsDecided) {
  std::vector<std::string> urls;
  Client().answers().queryHttpPrimary = [&urls](const client::Call& call, NqReplyObject**) {
    urls.push_back(call.Find("url")->text);
    return 0u;
  };
  const std::string post = "POST /up HTTP/1.1\r\ntransfer-encoding: chunked\r\nContent-Length: 60\r\n\r\n";
  EXPECT_EQ(Feed(post + "5\r\nhello\r\n").result, 0u);
  EXPECT_EQ(Feed("0\r\n\r\n").result, 0u);
  EXPECT_EQ(flow_->parser.queueCount, 0u) << "the request's bytes have all passed";
  EXPECT_EQ(Feed("GET /next HTTP/1.1\r\nHost: n\r\n\r\n").result, 0u);
  EXPECT_EQ(urls, (std::vector<std::string>{"/up", "/next"}));
  EXPECT_EQ(Reports().size(), 2u);
}

// Framing the parser cannot follow leaves no byte of the flow it can vouch
// for: the segment that carries it and every one after it is dropped.
TEST_F(RequestProcessing, RefusedFramingDropsTheFlowFromThere) {
  Outcome o = Feed(kGet + "POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n" + kGet);
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(Reports().size(), 1u) << "the request before it is still reported";
  EXPECT_EQ(flow_->parser.bodyFraming, BodyRefused);
  EXPECT_EQ(Feed(kGet).result, 1u);
  EXPECT_EQ(flow_->httpEnabled, 1u) << "inspection goes on, to drop";
  EXPECT_EQ(Reports().size(), 1u);

  FreeFlowContext(flow_);
  flow_ = CreateFlowContext(2, 80, kPid, Net(Ipv4("10.0.0.2")), 49153, Net(Ipv4("192.0.2.10")));
  ASSERT_NE(flow_, nullptr);
  const std::string header = "POST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(Feed(header + "5\r\nhello").result, 0u);
  EXPECT_EQ(Feed("XX5\r\n").result, 1u) << "a chunk syntax broken mid-body";
  EXPECT_EQ(Feed(kGet).result, 1u);
}

TEST(BoundedPrintf, AlwaysTerminatesAndSaysWhenItCut) {
  char buffer[8];
  std::memset(buffer, 'z', sizeof(buffer));
  EXPECT_EQ(BoundedPrintf(buffer, 0, "%d", 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], 'z');
  EXPECT_EQ(BoundedPrintf(buffer, 0x80000000u, "%d", 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BoundedPrintf(buffer, 8, "%d", 1234567), STATUS_SUCCESS) << "exactly size - 1 characters";
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_EQ(BoundedPrintf(buffer, 8, "%d", 12345678), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_EQ(BoundedPrintf(buffer, 8, "%d.%d", 1, 2), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "1.2");
}

}  // namespace
