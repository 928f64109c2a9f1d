// What the replay reads: the link types it understands, the local address it
// works out, and bad input: errors that stop it, and packets it skips and
// counts.
#include "tests/replay/replay_support.h"

#include "tools/replay/capture.h"

#include <gmock/gmock.h>

#include <limits>

namespace {
using namespace nqtest;
using ::testing::HasSubstr;

constexpr const char* kLocal = "10.0.0.2";
constexpr const char* kRemote = "10.0.0.1";

class ReplayInput : public ReplayTest {
 protected:
  static CaptureBuilder Exchange() {
    CaptureBuilder c;
    c.Udp(kLocal, 5353, kRemote, 53, "question").Udp(kRemote, 53, kLocal, 5353, "the answer");
    return c;
  }
  void ExpectExchangeReported(const replay::ReplayResult& r) {
    ASSERT_EQ(r.exitCode, 0) << r.error;
    EXPECT_EQ(r.summary.replayed, 2u);
    ASSERT_EQ(Lines("call", "ReportDatagramSent").size(), 1u);
    EXPECT_EQ(Lines("call", "ReportDatagramSent")[0]["length"], "8");
    ASSERT_EQ(Lines("call", "ReportDatagramReceived").size(), 1u);
    EXPECT_EQ(Lines("call", "ReportDatagramReceived")[0]["length"], "10");
  }
};

class LinkTypes : public ReplayInput, public ::testing::WithParamInterface<int> {};

TEST_P(LinkTypes, EveryLinkTypeReplaysTheSameExchange) { ExpectExchangeReported(Replay(Exchange().Pcap(GetParam()))); }

// Ethernet, BSD loopback, raw IP, IPv4, Linux cooked v1 and v2.
INSTANTIATE_TEST_SUITE_P(Replay, LinkTypes, ::testing::Values(1, 0, 101, 228, 113, 276));

TEST_F(ReplayInput, PcapngIsReadToo) { ExpectExchangeReported(Replay(Exchange().Pcapng())); }

// Without --local the capture's host is the address in the most packets, and
// on a tie the one that opened the most connections: a two-host capture gives
// the client, a busy server stays the server.
TEST_F(ReplayInput, LocalAddressIsTheHostTheCaptureWasMostLikelyTakenOn) {
  CaptureBuilder c;
  c.Tcp(kRemote, 50000, kLocal, 80, kSyn).Tcp(kLocal, 80, kRemote, 50000, kSyn | kAck);
  replay::ReplayResult r = Replay(c.Pcap(), "", nullptr);
  ASSERT_EQ(r.exitCode, 0) << r.error;
  EXPECT_EQ(replay::Dotted(r.localAddress), kRemote) << "as many packets each: the one that sent the SYN";
  EXPECT_EQ(r.localChoice, std::string("in as many packets as ") + kLocal + ", 2, and opened more connections: 1 to "
                               "its 0; --local " + kLocal + " replays that host instead");
  EXPECT_EQ(r.summary.tcp.connects, 1u);

  r = Replay(Exchange().Pcap(), "", nullptr);
  ASSERT_EQ(r.exitCode, 0) << r.error;
  EXPECT_EQ(replay::Dotted(r.localAddress), kLocal) << "the first datagram of a UDP conversation opens it";

  CaptureBuilder server;
  for (const char* client : {kLocal, "10.0.0.3"})
    server.Tcp(client, 50000, kRemote, 80, kSyn).Tcp(kRemote, 80, client, 50000, kSyn | kAck);
  r = Replay(server.Pcap(), "", nullptr);
  ASSERT_EQ(r.exitCode, 0) << r.error;
  EXPECT_EQ(replay::Dotted(r.localAddress), kRemote) << "a server busier than any client";
  EXPECT_EQ(r.localChoice, std::string("in the most packets: 4, the next ") + kLocal + " in 2; --local " + kLocal +
                               " replays that host instead");
  EXPECT_EQ(r.summary.tcp.accepts, 2u);
}

TEST_F(ReplayInput, LocalAddressInNoPacketIsAnError) {
  replay::ReplayResult r = Replay(Exchange().Pcap(), "", "10.9.9.9");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.error, std::string("--local 10.9.9.9 is in no IPv4 packet of the capture; the address in the most "
                                 "packets is ") + kLocal);
  EXPECT_EQ(r.summary.read, 0u) << "nothing replayed";

  CaptureBuilder ipv6;
  ipv6.Frame(EthernetFrame(std::string(40, '\0'), 0x86DD));
  r = Replay(ipv6.Pcap());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.error, "--local 10.0.0.2 is in no IPv4 packet of the capture, which holds none");
}

TEST_F(ReplayInput, FilesThatCannotBeReadStopWithAReason) {
  replay::ReplayOptions options;
  options.capture = "/nonexistent/capture.pcap";
  replay::ReplayResult r = replay::Replay(options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.error, HasSubstr("no such file"));

  r = Replay("this is a text file, not a capture\n");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.error, HasSubstr("not a readable pcap or pcapng capture"));

  r = Replay(Exchange().Pcap(105));  // IEEE 802.11
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.error, HasSubstr("link type 105"));

  r = Replay(Exchange().Pcap(), "connect maybe\n");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.error, HasSubstr(":1: unknown answer 'maybe'"));
  EXPECT_EQ(r.error.find('\n'), std::string::npos) << "one line";
}

TEST_F(ReplayInput, DamagedFileIsReplayedUpToTheDamage) {
  CaptureBuilder c;
  c.Udp(kLocal, 5353, kRemote, 53, "one").Udp(kLocal, 5353, kRemote, 53, "two").Udp(kLocal, 5353, kRemote, 53,
                                                                                    std::string(100, '3'));
  std::string bytes = c.Pcap();
  write = WriteFile("written.pcapng", "");
  replay::ReplayResult r = Replay(bytes.substr(0, bytes.size() - 50));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.error, HasSubstr("damaged capture"));
  EXPECT_EQ(r.summary.read, 2u);
  EXPECT_EQ(ReadPcapng(write).size(), 2u) << "--write leaves a whole file up to the damage";
  EXPECT_EQ(r.summary.replayed, 2u);
  EXPECT_EQ(Lines("call", "ReportDatagramSent").size(), 2u) << "the packets before the damage";
  EXPECT_EQ(Lines("classify", "ALE_RESOURCE_RELEASE_V4").size(), 1u) << "and their socket released";
}

TEST_F(ReplayInput, PacketsThatCannotBeReplayedAreSkippedAndCounted) {
  std::string tcp = TcpSegment(40000, 80, kSyn, "");
  std::string badOffset = tcp;
  badOffset[12] = 0x30;  // a TCP header of 12 bytes
  std::string badUdp = UdpDatagram(5353, 53, "x");
  badUdp[5] = 100;  // a UDP length past the packet
  std::string icmp = std::string("\x08\x00\x00\x00\x00\x01\x00\x01", 8);
  CaptureBuilder c;
  c.Frame(EthernetFrame(std::string(40, '\0'), 0x86DD))                      // IPv6
      .Frame(EthernetFrame(std::string(28, '\0'), 0x0806))                   // ARP
      .Ip(Ipv4Packet(17, kRemote, kLocal, UdpDatagram(53, 5353, "frag"), 0x2000))  // more fragments follow
      .Ip(Ipv4Packet(6, kLocal, kRemote, badOffset))
      .Ip(Ipv4Packet(17, kLocal, kRemote, badUdp))
      .Ip(Ipv4Packet(6, "10.9.9.9", kRemote, tcp))                            // neither end is local
      .Ip(Ipv4Packet(1, kLocal, kRemote, icmp))                               // sent ICMP
      .Ip(Ipv4Packet(1, kRemote, kLocal, icmp));                              // received ICMP: the IP layer sees it
  std::string cut = EthernetFrame(Ipv4Packet(6, kLocal, kRemote, tcp));
  c.Frame(cut.substr(0, 14 + 20 + 10), cut.size());  // cut by the snap length inside the TCP header
  replay::ReplayResult r = Replay(c.Pcap());
  ASSERT_EQ(r.exitCode, 0) << r.error;

  auto skipped = [&r](replay::Skip s) { return r.summary.skipped[static_cast<int>(s)]; };
  EXPECT_EQ(skipped(replay::Skip::kIpv6), 1u);
  EXPECT_EQ(skipped(replay::Skip::kNotIp), 1u);
  EXPECT_EQ(skipped(replay::Skip::kFragment), 1u);
  EXPECT_EQ(skipped(replay::Skip::kMalformed), 2u);
  EXPECT_EQ(skipped(replay::Skip::kNotLocal), 1u);
  EXPECT_EQ(skipped(replay::Skip::kOutboundOther), 1u);
  EXPECT_EQ(skipped(replay::Skip::kTruncated), 1u);
  EXPECT_EQ(r.summary.read, 9u);
  EXPECT_EQ(r.summary.replayed, 1u);
  auto inbound = Lines("classify", "INBOUND_IPPACKET_V4");
  ASSERT_EQ(inbound.size(), 1u);
  EXPECT_EQ(inbound[0]["action"], "PERMIT");
  EXPECT_TRUE(Lines("call", "InspectInboundPacket").empty()) << "the driver offers only TCP and UDP to the client";
}

TEST_F(ReplayInput, OptionsTheReplayCannotHonourAreRefusedInOneLine) {
  replay::ReplayOptions options;
  options.capture = WriteFile("capture", Exchange().Pcap());
  options.progress = 0;
  auto refused = [&](const char* what) {
    replay::ReplayResult r = replay::Replay(options);
    EXPECT_EQ(r.exitCode, 1) << what;
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << what;
    return r.error;
  };

  options.policy = "/tmp";
  EXPECT_THAT(refused("a directory as the policy"), HasSubstr("'/tmp': it is a directory"));
  options.policy.clear();

  for (double idle : {std::numeric_limits<double>::infinity(), 1e300, 1e-9}) {
    options.idleSeconds = idle;
    EXPECT_THAT(refused("an idle time out of range"), HasSubstr("out of range"));
  }
  options.idleSeconds = 90;

  options.log = "/dev/full";
  EXPECT_THAT(refused("a log that cannot be written"), HasSubstr("'/dev/full' could not be written"));
}

TEST_F(ReplayInput, PolicyErrorsShowBinaryBytesEscaped) {
  replay::ReplayResult r = Replay(Exchange().Pcap(), std::string("\x7f" "ELF\x01\x00\x1b[2J permit\n", 18));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_THAT(r.error, HasSubstr("unknown rule '\\x7fELF\\x01\\x00\\x1b[2J'"));
  for (char c : r.error) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << int(static_cast<unsigned char>(c));
}

TEST_F(ReplayInput, TimeStampsAtTheEndsOfSixtyFourBitsStandStill) {
  CaptureBuilder c = Exchange();
  c.records[1].micros = -16;  // 0xFFFFFFFFFFFFFFF0 microseconds in the pcapng block
  replay::ReplayResult r = Replay(c.Pcapng());
  ASSERT_EQ(r.exitCode, 0) << r.error;
  EXPECT_EQ(r.summary.replayed, 2u);

  const int64_t bound = replay::TimeMicros(INT64_MAX, 0);
  EXPECT_EQ(replay::TimeMicros(INT64_MAX / 1000, 999999), bound);
  EXPECT_EQ(replay::TimeMicros(INT64_MIN, 0), -bound);
  EXPECT_GT(bound, int64_t{1} << 59) << "still later than any real capture";
  EXPECT_EQ(replay::TimeMicros(1700000000, 5), 1700000000000005);
}

TEST_F(ReplayInput, InboundPacketsWithIpOptionsReachTheClientWithTheirWholeHeader) {
  auto withOptions = [](std::string packet, const std::string& options) {
    packet.insert(20, options);
    packet[0] = static_cast<char>(0x40 | (20 + options.size()) / 4);
    uint16_t total = static_cast<uint16_t>(packet.size());
    packet[2] = static_cast<char>(total >> 8);
    packet[3] = static_cast<char>(total & 0xFF);
    return packet;
  };
  const std::string recordRoute("\x07\x07\x04\x00\x00\x00\x00\x01", 8);  // record route, then end of list
  CaptureBuilder c;
  c.Udp(kLocal, 5353, kRemote, 53, "question")
      .Ip(withOptions(Ipv4Packet(17, kRemote, kLocal, UdpDatagram(53, 5353, "the answer")), recordRoute))
      .Ip(withOptions(Ipv4Packet(17, kRemote, kLocal, UdpDatagram(53, 5353, "again")), std::string(4, '\x01')));
  replay::ReplayResult r = Replay(c.Pcap(), "drop remote-port 53 local-port 5353\n");
  ASSERT_EQ(r.exitCode, 0) << r.error;
  auto offered = Lines("call", "InspectInboundPacket");
  ASSERT_EQ(offered.size(), 2u) << "every inbound packet is offered";
  EXPECT_EQ(offered[0]["length"], std::to_string(28 + 8 + 10));
  EXPECT_EQ(offered[0]["data.hex"].substr(0, 2), "47") << "from the first byte of the header, options included";
  EXPECT_EQ(offered[0]["data.hex"].substr(40, 16), "0707040000000001");
  EXPECT_EQ(offered[1]["length"], std::to_string(28 + 4 + 5));
  EXPECT_EQ(offered[1]["data.hex"].substr(0, 2), "46");
  EXPECT_TRUE(Lines("call", "ReportDatagramReceived").empty()) << "a drop rule on ports reads them after the options";
}

}  // namespace
