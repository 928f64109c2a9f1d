// Replays of TCP data: every segment of an established flow at the stream
// layer, what the driver makes of it (reports, HTTP requests put to the
// client, replies injected towards the application) and what the stack then
// delivers.
#include "host/wfp.h"
#include "host/wfp_classify.h"
#include "tests/replay/replay_support.h"

#include <gmock/gmock.h>

namespace {
using namespace nqtest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kLocal = "10.0.0.2";
constexpr const char* kRemote = "10.0.0.1";
constexpr const char* kGet = "GET /a HTTP/1.1\r\nHost: example.test\r\n\r\n";
const std::string kReply = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < 32; ++i) {
    out += digits[static_cast<unsigned char>(bytes[i]) >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

class ReplayStream : public ReplayTest {
 protected:
  // An outbound connection from local port 40000, up and acknowledged.
  CaptureBuilder& Connected(CaptureBuilder& c, uint16_t port) {
    return c.Tcp(kLocal, 40000, kRemote, port, kSyn)
        .Tcp(kRemote, port, kLocal, 40000, kSyn | kAck)
        .Tcp(kLocal, 40000, kRemote, port, kAck);
  }
  CaptureBuilder& Send(CaptureBuilder& c, uint16_t port, const std::string& data, uint8_t flags = kAck | kPsh) {
    return c.Tcp(kLocal, 40000, kRemote, port, flags, data);
  }
  CaptureBuilder& Receive(CaptureBuilder& c, uint16_t port, const std::string& data, uint8_t flags = kAck | kPsh) {
    return c.Tcp(kRemote, port, kLocal, 40000, flags, data);
  }
  std::string Replayed(const CaptureBuilder& c, const std::string& policy = "") {
    replay::ReplayResult r = Replay(c.Pcap(), policy);
    last = r;
    if (r.exitCode != 0) ADD_FAILURE() << r.error << (r.problems.empty() ? "" : r.problems[0]);
    return r.error;
  }
  std::vector<LogLine> Streams() const { return Lines("classify", "STREAM_V4"); }
  replay::ReplayResult last;
};

TEST_F(ReplayStream, EverySegmentIsReportedBothWaysWithItsSample) {
  mdlSplit = 60;  // the driver copies each segment across two MDLs
  CaptureBuilder c;
  Connected(c, 9000);
  for (size_t n : {100, 250, 251, 1448}) Send(c, 9000, std::string(n, char('a' + n % 26)));
  Receive(c, 9000, std::string(1448, 'r'));
  Replayed(c, "process app pid 2000\n");

  auto streams = Streams();
  ASSERT_EQ(streams.size(), 5u);
  auto payloads = Lines("call", "ReportPayload");
  auto sent = Lines("call", "ReportStreamSent");
  ASSERT_EQ(payloads.size(), 4u);
  ASSERT_EQ(sent.size(), 4u);
  size_t i = 0;
  for (size_t n : {100, 250, 251, 1448}) {
    EXPECT_EQ(streams[i]["dataLength"], std::to_string(n));
    EXPECT_EQ(streams[i]["streamFlags"], std::to_string(FWPS_STREAM_FLAG_SEND));
    EXPECT_EQ(streams[i]["direction"], "outbound");
    EXPECT_EQ(streams[i]["action"], "PERMIT");
    EXPECT_EQ(payloads[i]["data.length"], std::to_string(std::min<size_t>(n, 250))) << n;
    EXPECT_EQ(payloads[i]["data.hex"], Hex(std::string(32, char('a' + n % 26)))) << "bytes from both MDLs, " << n;
    EXPECT_EQ(payloads[i]["length"], std::to_string(n));
    EXPECT_EQ(payloads[i]["threadId"], std::to_string(2000 + 0x10000)) << "sent data in the process's thread";
    EXPECT_EQ(sent[i]["length"], std::to_string(n));
    ++i;
  }
  EXPECT_EQ(streams[4]["streamFlags"], std::to_string(FWPS_STREAM_FLAG_RECEIVE));
  EXPECT_EQ(streams[4]["direction"], "inbound");
  auto received = Lines("call", "ReportStreamReceived");
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0]["length"], "1448");
  EXPECT_EQ(received[0]["localAddress"], kLocal);
  EXPECT_EQ(received[0]["localPort"], "40000");

  auto bytes = last.summary.tcpBytes.at({"app (pid 2000)", std::string(kRemote) + ":9000"});
  EXPECT_EQ(bytes.sent, 100u + 250 + 251 + 1448);
  EXPECT_EQ(bytes.received, 1448u);
  EXPECT_EQ(last.summary.flowsDeleted, 1u);
  EXPECT_EQ(host::wfp::FlowContextCount(), 0u) << "the flow was deleted and its context freed";
}

TEST_F(ReplayStream, RetransmissionsAndGapsAreCountedAndNotIndicatedTwice) {
  CaptureBuilder c;
  Connected(c, 9000);
  Send(c, 9000, std::string(100, 'x'));
  c.Shift(kLocal, 40000, kRemote, 9000, -100);
  Send(c, 9000, std::string(100, 'x'));  // sent again
  c.Shift(kLocal, 40000, kRemote, 9000, -50);
  Send(c, 9000, std::string(80, 'y'));  // half old, half new
  c.Shift(kLocal, 40000, kRemote, 9000, 500);
  Send(c, 9000, std::string(10, 'z'));  // after bytes the capture lacks
  Replayed(c);

  auto streams = Streams();
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0]["dataLength"], "100");
  EXPECT_EQ(streams[1]["dataLength"], "30") << "only the bytes not indicated before";
  EXPECT_EQ(streams[2]["dataLength"], "10");
  EXPECT_EQ(last.summary.stream.retransmitted, 2u);
  EXPECT_EQ(last.summary.stream.retransmittedBytes, 150u);
  EXPECT_EQ(last.summary.stream.gaps, 1u);
  EXPECT_EQ(last.summary.stream.gapBytes, 500u);
}

TEST_F(ReplayStream, FinUrgentAndLoopbackIndications) {
  CaptureBuilder c;
  Connected(c, 9000);
  Send(c, 9000, "!", kAck | kUrg);
  Send(c, 9000, std::string(40, 'f'), kAck | kFin);
  Receive(c, 9000, "", kAck | kFin);
  Replayed(c);
  auto streams = Streams();
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[0]["streamFlags"], std::to_string(FWPS_STREAM_FLAG_SEND | FWPS_STREAM_FLAG_SEND_EXPEDITED));
  EXPECT_EQ(streams[1]["streamFlags"], std::to_string(FWPS_STREAM_FLAG_SEND | FWPS_STREAM_FLAG_SEND_DISCONNECT));
  EXPECT_EQ(streams[1]["dataLength"], "40");
  EXPECT_EQ(streams[2]["streamFlags"],
            std::to_string(FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT));
  EXPECT_EQ(streams[2]["dataLength"], "0");
  EXPECT_EQ(Lines("call", "ReportStreamSent").size(), 1u) << "urgent data is not counted";

  // Loopback: the driver gives the flow no context, so the stream layer's
  // callout is never called.
  CaptureBuilder loop;
  loop.Tcp("127.0.0.1", 40000, "127.0.0.2", 80, kSyn)
      .Tcp("127.0.0.2", 80, "127.0.0.1", 40000, kSyn | kAck)
      .Tcp("127.0.0.1", 40000, "127.0.0.2", 80, kAck, kGet);
  replay::ReplayResult r = Replay(loop.Pcap(), "", "127.0.0.1");
  ASSERT_EQ(r.exitCode, 0) << r.error;
  EXPECT_TRUE(Streams().empty());
  EXPECT_EQ(r.summary.stream.indications, 1u);
  EXPECT_EQ(r.summary.stream.classified, 0u);
  EXPECT_TRUE(Lines("call", "GetUrlReply").empty());
}

TEST_F(ReplayStream, UrlReplyAnswersTheApplicationAndEndsTheFlow) {
  std::string reply = WriteFile("reply", kReply);
  CaptureBuilder c;
  Connected(c, 80);
  Send(c, 80, kGet);
  Receive(c, 80, "HTTP/1.1 200 OK\r\n\r\n");
  Send(c, 80, "", kAck | kFin);
  Replayed(c, "url /a reply " + reply + "\n");

  auto streams = Streams();
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0]["action"], "BLOCK");
  EXPECT_EQ(streams[0]["countBytesEnforced"], std::to_string(strlen(kGet)));
  EXPECT_EQ(streams[0]["streamAction"], "0");
  auto injections = Lines("injection", "stream");
  ASSERT_EQ(injections.size(), 1u);
  EXPECT_EQ(injections[0]["streamFlags"], "5");
  EXPECT_EQ(injections[0]["direction"], "inbound");
  EXPECT_EQ(injections[0]["data.length"], std::to_string(kReply.size()));
  EXPECT_EQ(injections[0]["data.hex"], Hex(kReply));
  EXPECT_TRUE(Lines("call", "ReportHttpRequest").empty()) << "a URL reply is not reported";
  EXPECT_EQ(last.summary.answeredFlowPackets, 2u) << "the response and the FIN";
  EXPECT_EQ(last.summary.stream.answeredFlows, 1u);
  EXPECT_EQ(last.summary.flowsDeleted, 1u);
  EXPECT_EQ(host::wfp::FlowContextCount(), 0u);
  EXPECT_EQ(Lines("classify", "ALE_RESOURCE_RELEASE_V4").at(0)["packet"], "4") << "released as after a reset";
  EXPECT_EQ(last.summary.http.at("example.test").urlReplies, 1u) << "by the Host line of the request indicated";
  EXPECT_EQ(last.summary.http.at("example.test").hostFromRequest, 1u) << "no client call carried that host";
  auto requests = Lines("type", "http");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["outcome"], "url-reply");
  EXPECT_EQ(requests[0]["host"], "example.test");
  EXPECT_EQ(requests[0]["hostFromRequest"], "true");
  EXPECT_EQ(requests[0]["method"], "GET");
  EXPECT_EQ(requests[0]["size"], std::to_string(strlen(kGet)));
  EXPECT_EQ(requests[0]["flow"], streams[0]["flow"]);
  EXPECT_EQ(requests[0]["packet"], streams[0]["packet"]);
  EXPECT_TRUE(last.problems.empty()) << "completions ran, nothing leaked";
}

// A header over two segments: the flow can no longer be answered, so a
// listed URL gets neither a reply nor a report; its host is read across both.
TEST_F(ReplayStream, ListedUrlOfAFlowNoLongerAnswerableIsNotReported) {
  std::string reply = WriteFile("reply", kReply);
  CaptureBuilder c;
  Connected(c, 80);
  Send(c, 80, "GET /a HTTP/1.1\r\nHo");
  Send(c, 80, "st: example.test\r\nContent-Length: 2\r\n\r\nab");
  Replayed(c, "url /a reply " + reply + "\n");

  auto requests = Lines("type", "http");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["outcome"], "not-reported");
  EXPECT_EQ(requests[0]["host"], "example.test");
  EXPECT_EQ(requests[0]["size"], "60") << "header and body";
  EXPECT_TRUE(Lines("injection", "stream").empty());
  EXPECT_EQ(last.summary.http.at("example.test").notReported, 1u);
}

TEST_F(ReplayStream, PrimaryDecisionWithAndWithoutAReplyObject) {
  std::string object = WriteFile("object", kReply);
  std::string fallback = WriteFile("fallback", "HTTP/1.1 204 No Content\r\n\r\n");
  CaptureBuilder c;
  Connected(c, 80);
  Send(c, 80, kGet);
  c.Tcp(kLocal, 40001, kRemote, 8080, kSyn)
      .Tcp(kRemote, 8080, kLocal, 40001, kSyn | kAck)
      .Tcp(kLocal, 40001, kRemote, 8080, kAck)
      .Tcp(kLocal, 40001, kRemote, 8080, kAck | kPsh, kGet);
  Replayed(c, "http-primary block reply " + object + " remote-port 80 host example.test\n"
              "http-primary block url /a\n"
              "primary-reply " + fallback + "\n");

  auto injections = Lines("injection", "stream");
  ASSERT_EQ(injections.size(), 2u);
  EXPECT_EQ(injections[0]["data.hex"], Hex(kReply)) << "the reply object's bytes";
  EXPECT_EQ(injections[1]["data.hex"], Hex("HTTP/1.1 204 No Content\r\n\r\n")) << "the default reply";
  auto released = Lines("call", "ReleaseReplyObject");
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0]["replyObject"], Lines("call", "QueryHttpPrimary").at(0)["replyObject"]);
  EXPECT_EQ(Lines("call", "GetPrimaryReply").size(), 1u);
  auto reports = Lines("call", "ReportHttpRequest");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0]["replied"], "1");
  EXPECT_EQ(last.summary.http.at("example.test").primary, 2u);
  for (const LogLine& l : Lines("type", "http")) EXPECT_EQ(l.at("outcome"), "primary");
  for (const auto& [row, bytes] : last.summary.tcpBytes) {
    EXPECT_EQ(bytes.sent, 0u) << row.second << ": the answered request never reached the server";
    EXPECT_EQ(bytes.heldBack, strlen(kGet)) << row.second;
  }
  EXPECT_EQ(last.summary.tcpBytes.size(), 2u);
  EXPECT_EQ(client::StandInClient::Instance().LiveReplyObjects(), 0u);
}

TEST_F(ReplayStream, SecondaryDecisionWithItsValueAndAnExemptSegment) {
  std::string reply = WriteFile("reply", kReply);
  CaptureBuilder c;
  Connected(c, 80);
  Send(c, 80, kGet);
  c.Tcp(kLocal, 40001, kRemote, 80, kSyn)
      .Tcp(kRemote, 80, kLocal, 40001, kSyn | kAck)
      .Tcp(kLocal, 40001, kRemote, 80, kAck)
      .Tcp(kLocal, 40001, kRemote, 80, kAck | kPsh, "GET /b HTTP/1.1\r\nHost: example.test\r\nX-Pass: 1\r\n\r\n");
  Replayed(c, "http-secondary block reply " + reply + " value 81985529216486895 url /a\n"
              "http-primary block url /b\n"
              "exempt contains X-Pass: 1\n");

  auto secondary = Lines("call", "ReportHttpSecondary");
  ASSERT_EQ(secondary.size(), 1u);
  EXPECT_EQ(secondary[0]["value"], "81985529216486895") << "both words of the value";
  auto injections = Lines("injection", "stream");
  ASSERT_EQ(injections.size(), 2u);
  EXPECT_EQ(injections[0]["streamFlags"], "5");
  // The exempt request: the driver sends the segment on by injecting it.
  EXPECT_EQ(injections[1]["streamFlags"], std::to_string(FWPS_STREAM_FLAG_SEND));
  EXPECT_EQ(injections[1]["direction"], "outbound");
  EXPECT_EQ(Lines("call", "CheckHttpExempt").back()["result"], "1");
  EXPECT_EQ(last.summary.stream.replaced, 1u);
  EXPECT_EQ(last.summary.stream.answeredFlows, 1u);
  EXPECT_EQ(last.summary.http.at("example.test").secondary, 1u);
  EXPECT_EQ(last.summary.http.at("example.test").exempted, 1u);
  std::vector<std::string> outcomes;
  for (const LogLine& l : Lines("type", "http")) outcomes.push_back(l.at("url") + " " + l.at("outcome"));
  EXPECT_THAT(outcomes, ElementsAre("/a secondary", "/b exempt"));
}

TEST_F(ReplayStream, PipelinedSplitAndBodyFollowingRequests) {
  std::string post = "POST /up HTTP/1.1\r\nHost: example.test\r\nContent-Length: 300\r\n\r\n";
  CaptureBuilder c;
  Connected(c, 80);
  Send(c, 80, std::string(kGet) + "GET /b HTTP/1.1\r\nHost: example.test\r\n\r\n");  // two in one segment
  Send(c, 80, post + std::string(100, 'p'));
  Send(c, 80, std::string(200, 'p'));  // the rest of the body
  Send(c, 80, "GET /c HTTP/1.1\r\nHo");
  Send(c, 80, "st: example.test\r\n\r\n");  // a header over two segments
  Replayed(c, "http-primary block url /c\n");

  std::vector<std::string> urls;
  for (const LogLine& l : Lines("call", "ReportHttpRequest")) urls.push_back(l.at("url") + " " + l.at("replied"));
  EXPECT_THAT(urls, ElementsAre("/a 0", "/b 0", "/up 0", "/c 0"));
  std::vector<std::string> outcomes;
  for (const LogLine& l : Lines("type", "http")) outcomes.push_back(l.at("url") + " " + l.at("outcome"));
  EXPECT_THAT(outcomes, ElementsAre("/a reported", "/b reported", "/up reported", "/c reported"));
  EXPECT_TRUE(Lines("call", "QueryHttpPrimary").empty()) << "after two pipelined requests nothing is answered";
  EXPECT_TRUE(Lines("injection", "stream").empty());
  EXPECT_EQ(Lines("call", "ReportPayload").size(), 5u) << "every segment reported whole";
  EXPECT_EQ(Lines("call", "ReportPayload").at(2)["data.length"], "200") << "the body segment, whole on HTTP flows";
}

TEST_F(ReplayStream, TheEndCheckFindsALeakedBlockAndAViolation) {
  CaptureBuilder c;
  Connected(c, 9000);
  Send(c, 9000, "data");
  host::faults::BeforeCall("FwpsFlowAssociateContext0", 1, [] {
    ExAllocatePoolWithTag(NonPagedPool, 24, 0x6B61654C);  // "Leak"
    host::verifier::Report("TEST_RULE", "reported on purpose");
  });
  replay::ReplayResult r = Replay(c.Pcap());
  EXPECT_EQ(r.exitCode, 1);
  ASSERT_EQ(r.problems.size(), 2u);
  EXPECT_THAT(r.problems[0], HasSubstr("TEST_RULE"));
  EXPECT_THAT(r.problems[1], HasSubstr("leak: pool tag"));
  EXPECT_THAT(r.problems[1], HasSubstr("1 block(s), 24 bytes"));
  host::verifier::Clear();
}

}  // namespace
