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
  Outcome o = Feed("\r\n");
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(flow_->parser.state, ParserStopped);
  o = Feed(kGet);
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.reportAsData, 1u);
  EXPECT_EQ(flow_->httpEnabled, 0u);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(RequestProcessing, ListedUrlIsAnsweredOnlyWhileTheFlowCanBeAnswered) {
  Client().answers().getUrlReply = [](const char*, NqU32* length) -> const void* {
    *length = 5;
    return "moved";
  };
  Outcome o = Feed(kGet);
  EXPECT_EQ(o.result, 1u);
  EXPECT_EQ(o.reply, "moved");
  EXPECT_EQ(o.reportAsData, 0u);
  EXPECT_EQ(Slots(Calls()), std::vector<std::string>{"GetUrlReply"}) << "no decision, no report";

  flow_->canReplace = 0;
  Client().ClearCalls();
  o = Feed(kGet);
  EXPECT_EQ(o.result, 0u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(o.reportAsData, 0u);
  EXPECT_EQ(Slots(Calls()), std::vector<std::string>{"GetUrlReply"});
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

TEST_F(RequestProcessing, PipelinedRequestsAreReportedInOrderAndEndReplacement) {
  Outcome o = Feed(kGet + "GET /b HTTP/1.1\r\n\r\n");
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(flow_->canReplace, 0);
  EXPECT_TRUE(CallsTo(Calls(), "QueryHttpPrimary").empty());
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].Find("url")->text, "/a");
  EXPECT_EQ(reports[1].Find("url")->text, "/b");
  EXPECT_EQ(reports[1].Value("replied"), 0u);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
  EXPECT_EQ(flow_->pendingBytes, 0u);
}

TEST_F(RequestProcessing, HeaderOverTwoSegmentsIsReportedWithoutDecision) {
  EXPECT_EQ(Feed(kGet.substr(0, 20)).result, 0u);
  EXPECT_EQ(flow_->canReplace, 0);
  EXPECT_TRUE(Calls().empty());
  Feed(kGet.substr(20));
  EXPECT_EQ(Slots(Calls()), (std::vector<std::string>{"GetUrlReply", "ReportHttpRequest"}));
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

TEST_F(RequestProcessing, FailedReplyAllocationLeavesTheRecordBlocked) {
  PrimaryAnswers(nullptr);
  Client().answers().getPrimaryReply = [](NqU32* length) -> const void* {
    *length = 10;
    return "0123456789";
  };
  host::pool::FailAllocation(5);  // after the parser's four blocks: the reply
  Outcome o = Feed(Post(100) + std::string(10, 'b'));
  EXPECT_EQ(o.result, 0u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(Reports().at(0).Value("replied"), 0u);
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
// body is still decided and reported: otherwise it would reach the server
// unseen.
TEST_F(RequestProcessing, RequestAfterAQueuedBodyIsStillDecided) {
  Feed(Post(50) + std::string(20, 'b'));
  Client().ClearCalls();
  Outcome o = Feed(std::string(30, 'b') + "GET /next HTTP/1.1\r\n\r\n");
  EXPECT_EQ(o.result, 0u);
  ASSERT_EQ(CallsTo(Calls(), "QueryHttpPrimary").size(), 1u);
  EXPECT_EQ(CallsTo(Calls(), "QueryHttpPrimary")[0].Find("url")->text, "/next");
  EXPECT_EQ(Reports().size(), 1u);
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

// A stop lets its segment through, even with the tail of an answered body in it.
TEST_F(RequestProcessing, ParserStopLetsTheSegmentThroughBehindAnAnsweredBody) {
  PrimaryAnswers(replies_.Make("no"));
  Feed(Post(100) + std::string(10, 'b'));
  Outcome o = Feed(std::string(90, 'b') + "\rX");
  EXPECT_EQ(flow_->parser.state, ParserStopped);
  EXPECT_EQ(o.result, 0u);
  EXPECT_EQ(o.reportAsData, 1u);
  Feed(kGet);
  EXPECT_EQ(flow_->httpEnabled, 0u);
}

// The segment that ends an answered body is dropped with it; a request that
// starts there is decided on its own and its rest passes when permitted.
TEST_F(RequestProcessing, RequestStartingInADroppedSegmentIsNotDroppedToItsEnd) {
  PrimaryAnswers(replies_.Make("no"));
  Feed(Post(100) + std::string(10, 'b'));
  Client().answers().queryHttpPrimary = nullptr;
  Client().ClearCalls();
  Outcome o = Feed(std::string(90, 'b') + Post(40) + std::string(10, 'c'));
  EXPECT_EQ(o.result, 1u);
  EXPECT_FALSE(o.hasReply);
  EXPECT_EQ(Reports().at(0).Value("replied"), 0u);
  ASSERT_EQ(flow_->parser.queueCount, 1u);
  EXPECT_EQ(flow_->parser.queueHead->record->blocked, 0);
  EXPECT_EQ(Feed(std::string(30, 'c')).result, 0u);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
}

// Any decision that answers a request keeps its body from the server, and
// any non-zero primary answer marks it, not only the value 1.
TEST_F(RequestProcessing, EveryAnsweredRequestKeepsItsBodyBlocked) {
  PrimaryAnswers(nullptr, 0x100);
  EXPECT_EQ(Feed(Post(10)).result, 0x100u);
  EXPECT_EQ(flow_->parser.queueHead->record->blocked, 1);
  EXPECT_EQ(Feed(std::string(10, 'b')).result, 1u);

  Client().answers().queryHttpPrimary = nullptr;
  Client().answers().queryHttpSecondary = [](const client::Call&, NqReplyObject**, NqU64*) { return NqU32{1}; };
  EXPECT_EQ(Feed(Post(10)).result, 1u);
  EXPECT_EQ(flow_->parser.queueHead->record->blocked, 1);
  EXPECT_EQ(Feed(std::string(10, 'b')).result, 1u);

  Client().answers().queryHttpSecondary = nullptr;
  Client().answers().getUrlReply = [](const char*, NqU32* length) -> const void* {
    *length = 2;
    return "no";
  };
  EXPECT_EQ(Feed(Post(10)).result, 1u);
  EXPECT_EQ(flow_->parser.queueHead->record->blocked, 1);
  EXPECT_EQ(Feed(std::string(10, 'b')).result, 1u);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
}

// The client's answer holds only while it is ready: with the flag down the
// rest of an answered body passes.
TEST_F(RequestProcessing, AnsweredBodyPassesWhileTheClientIsNotReady) {
  PrimaryAnswers(replies_.Make("no"));
  Feed(Post(100) + std::string(10, 'b'));
  Client().SetReady(false);
  Client().ClearCalls();
  EXPECT_EQ(Feed(std::string(50, 'b')).result, 0u);
  Client().SetReady(true);
  EXPECT_EQ(Feed(std::string(40, 'b')).result, 1u);
  EXPECT_EQ(flow_->parser.queueCount, 0u);
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
