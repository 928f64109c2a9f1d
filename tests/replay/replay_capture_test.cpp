// The replay's outcome written as pcapng (--write, --write-passed): every
// packet read with a comment saying what became of it, the driver's
// injections where it made them, and the passed file holding only what was
// delivered. tests/replay/capture_tshark_check.sh has tshark read the
// samples' files.
#include "tests/replay/replay_support.h"

#include <gmock/gmock.h>

namespace {
using namespace nqtest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kLocal = "10.0.0.2";
constexpr const char* kRemote = "10.0.0.1";
const std::string kGet = "GET /a HTTP/1.1\r\nHost: example.test\r\n\r\n";
const std::string kReply = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";

uint32_t Be32(const std::string& s, size_t at) {
  return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
         uint8_t(s[at + 3]);
}

std::vector<std::string> Comments(const std::vector<WrittenPacket>& packets) {
  std::vector<std::string> out;
  for (const WrittenPacket& p : packets) out.push_back(p.comment);
  return out;
}

class ReplayCapture : public ReplayTest {
 protected:
  ReplayCapture() {
    write = WriteFile("all.pcapng", "");
    writePassed = WriteFile("passed.pcapng", "");
  }
};

TEST_F(ReplayCapture, EveryPacketIsWrittenWithWhatBecameOfItAndTheReplyAsTheApplicationGotIt) {
  std::string replyFile = WriteFile("reply.http", kReply);
  CaptureBuilder c;
  c.Frame(EthernetFrame(std::string(40, '\0'), 0x86DD))  // IPv6
      .Tcp(kLocal, 40001, kRemote, 81, kSyn)             // blocked
      .Udp(kRemote, 53, kLocal, 5302, "dropped")
      .Tcp(kLocal, 40000, kRemote, 80, kSyn)
      .Tcp(kRemote, 80, kLocal, 40000, kSyn | kAck)
      .Tcp(kLocal, 40000, kRemote, 80, kAck)
      .Tcp(kLocal, 40000, kRemote, 80, kAck | kPsh, kGet)  // answered by the client
      .Tcp(kRemote, 80, kLocal, 40000, kAck | kPsh, "HTTP/1.1 200 OK\r\n\r\n");
  replay::ReplayResult r = Replay(c.Pcap(),
                                  "process curl pid 2412 proto tcp\n"
                                  "connect block proto tcp remote-port 81\n"
                                  "drop proto udp local-port 5302\n"
                                  "url /a reply " + replyFile + "\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;

  std::string application;
  std::vector<WrittenPacket> all = ReadPcapng(write, &application);
  EXPECT_THAT(application, HasSubstr("nqwfp replay"));
  ASSERT_EQ(all.size(), c.records.size() + 2) << "every packet read, the reply and its FIN";
  EXPECT_THAT(Comments(all),
              ElementsAre("skipped: IPv6", "not delivered: connect blocked by the client (curl, pid 2412)",
                          "dropped by the client (inbound packet inspection)", "permitted", "permitted", "permitted",
                          "dropped: HTTP request answered by the client (URL reply)",
                          "injected by nqwfpdrv: reply to the local application",
                          "injected by nqwfpdrv: reply to the local application",
                          "not delivered: flow ended by the client's reply"));
  for (size_t i = 0, read = 0; i < all.size(); ++i) {
    if (all[i].interface != 0) continue;
    EXPECT_EQ(all[i].data, c.records[read].bytes) << "frames as captured";
    EXPECT_EQ(all[i].micros, uint64_t(c.records[read].micros)) << "with their time stamps";
    ++read;
  }

  // The reply comes from the server's end, continuing both sides' numbers:
  // the server's SYN took 1000, the request ends at 1001 + its length.
  const WrittenPacket& reply = all[7];
  const WrittenPacket& fin = all[8];
  EXPECT_EQ(reply.linkType, 101) << "raw IP";
  EXPECT_EQ(reply.micros, all[6].micros) << "where it happened";
  std::string ip = reply.data;
  ASSERT_EQ(ip.size(), 40 + kReply.size());
  EXPECT_EQ(Be32(ip, 12), Be32(Ipv4Packet(6, kRemote, kLocal, ""), 12)) << "from the remote end";
  EXPECT_EQ(Be32(ip, 20), 80u << 16 | 40000u);
  EXPECT_EQ(Be32(ip, 24), 1001u);
  EXPECT_EQ(Be32(ip, 28), 1001u + kGet.size());
  EXPECT_EQ(ip.substr(40), kReply);
  EXPECT_EQ(Be32(fin.data, 24), 1001u + kReply.size());
  EXPECT_EQ(uint8_t(fin.data[33]), kFin | kAck);

  // Only what was delivered, and the injections.
  std::vector<WrittenPacket> passed = ReadPcapng(writePassed);
  EXPECT_THAT(Comments(passed), ElementsAre("skipped: IPv6", "permitted", "permitted", "permitted",
                                            "injected by nqwfpdrv: reply to the local application",
                                            "injected by nqwfpdrv: reply to the local application"));
}

TEST_F(ReplayCapture, PendedConnectsShowTheDecisionAndTheReinjectedPacket) {
  CaptureBuilder c;
  c.Tcp(kLocal, 40000, kRemote, 8080, kSyn)
      .Tcp(kRemote, 8080, kLocal, 40000, kSyn | kAck)
      .Udp(kLocal, 5301, kRemote, 53, "query");
  replay::ReplayResult r = Replay(c.Pcap(101),  // raw IP, which libpcap reads as DLT_RAW
                                  "process dig pid 3120 proto udp\n"
                                  "connect pend permit proto tcp\n"
                                  "connect pend block proto udp\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;

  std::vector<WrittenPacket> all = ReadPcapng(write);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].linkType, 101) << "the capture's link type, as the file format numbers it";
  EXPECT_THAT(Comments(all),
              ElementsAre("pended: permitted by the client's later decision", "re-injected by nqwfpdrv", "permitted",
                          "not delivered: connect blocked by the client's later decision (dig, pid 3120)"));
  // The held SYN sent on as it was: the captured packet's addresses and TCP
  // header, but for the checksum, which the capture left at 0.
  const std::string& held = all[0].data;
  const std::string& sent = all[1].data;
  EXPECT_EQ(sent.substr(12, 8), held.substr(12, 8));
  EXPECT_EQ(sent.substr(20, 16), held.substr(20, 16));
  EXPECT_EQ(sent.substr(38), held.substr(38));
  // On the wire: the re-injected SYN in place of the held one.
  EXPECT_THAT(Comments(ReadPcapng(writePassed)), ElementsAre("re-injected by nqwfpdrv", "permitted"));
}

TEST_F(ReplayCapture, FilesThatCannotBeWrittenStopTheReplayBeforeItStarts) {
  CaptureBuilder c;
  c.Udp(kLocal, 5353, kRemote, 53, "query");
  std::string capture = c.Pcap();
  auto refused = [&](const std::string& why) {
    replay::ReplayResult r = Replay(capture);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.error, why);
    EXPECT_EQ(r.summary.read, 0u) << "before anything is replayed";
  };
  std::string all = write, passed = writePassed;
  write = "/nonexistent/folder/out.pcapng";
  refused("cannot write '/nonexistent/folder/out.pcapng': No such file or directory");
  std::swap(write, writePassed);
  refused("cannot write '/nonexistent/folder/out.pcapng': No such file or directory");
  write = WriteFile("capture", capture);  // the file Replay() replays
  refused("--write '" + write + "' is the capture being replayed");
  write = writePassed = all;
  refused("--write and --write-passed name the same file '" + all + "'");
  writePassed = passed;
  summaryJson = "/nonexistent/folder/summary.json";
  refused("cannot write the summary '/nonexistent/folder/summary.json'");
  EXPECT_EQ(ReadPcapng(passed).size(), 0u) << "no packet written";
}

// On the samples, the comments count what the summary counts.
TEST_F(ReplayCapture, CommentsCountWhatTheSummaryCounts) {
  for (const char* sample : {"demo", "http"}) {
    SCOPED_TRACE(sample);
    replay::ReplayOptions options;
    options.capture = std::string(NQ_SAMPLES_DIR "/") + sample + ".pcap";
    options.policy = std::string(NQ_SAMPLES_DIR "/") + sample + ".policy";
    options.haveLocal = replay::ParseIpv4("10.77.0.2", &options.localAddress);
    options.progress = 0;
    options.write = write;
    options.writePassed = writePassed;
    replay::ReplayResult r = replay::Replay(options);
    ASSERT_EQ(r.exitCode, 0) << r.error;
    const replay::Summary& s = r.summary;

    std::map<std::string, uint64_t> kinds;  // by the comment's first words
    uint64_t delivered = 0;
    for (const WrittenPacket& p : ReadPcapng(write)) {
      std::string kind = p.comment.substr(0, p.comment.find_first_of(":("));
      if (p.interface == 0) ++kinds[kind];
      else ++kinds["injected " + kind];
    }
    for (const WrittenPacket& p : ReadPcapng(writePassed)) delivered += p.interface == 0;
    EXPECT_EQ(kinds["skipped"], s.Skipped());
    EXPECT_EQ(kinds["not delivered"], s.blockedFlowPackets + s.answeredFlowPackets);
    EXPECT_EQ(kinds["dropped by the client "], s.droppedByClient);
    EXPECT_EQ(kinds["dropped"], s.stream.answeredFlows);
    EXPECT_EQ(kinds["dropped by nqwfpdrv at the stream layer"], s.stream.dropped);
    EXPECT_EQ(kinds["held by nqwfpdrv and re-injected"] + kinds["replaced by the bytes nqwfpdrv injected"],
              s.stream.replaced);
    EXPECT_EQ(kinds["permitted"] + kinds["pended"] + kinds["dropped"] + kinds["dropped by nqwfpdrv at the stream layer"] +
                  s.stream.replaced,
              s.replayed);
    EXPECT_EQ(s.read, s.replayed + s.Skipped() + s.NotDelivered());
    EXPECT_EQ(delivered, kinds["skipped"] + kinds["permitted"]) << "a held packet's place goes to its re-injected copy";
    EXPECT_GE(kinds["injected injected by nqwfpdrv"], 2 * s.stream.answeredFlows - 1) << "replies and their FINs";
    EXPECT_EQ(s.stream.answeredFlows, std::string(sample) == "demo" ? 2u : 5u);
  }
}

}  // namespace
