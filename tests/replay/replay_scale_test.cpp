// A long replay holds what its live flows need, not what its packets left:
// the same capture made four times as long leaves the most the simulated
// stack held at once as it was, and neither the stand-in client nor the
// host keeps a record per packet.
#include "host/wfp_classify.h"
#include "tests/replay/replay_support.h"
#include "tools/replay/engine.h"

#include <gmock/gmock.h>

namespace {
using namespace nqtest;

constexpr const char* kLocal = "10.0.0.2";
constexpr const char* kRemote = "10.0.0.1";

// Flows two seconds apart, each a pended TCP connect with a request and its
// answer, closed both ways, and a DNS-like UDP exchange that ends idle.
std::string Capture(int flows) {
  CaptureBuilder c;
  for (int i = 0; i < flows; ++i) {
    uint16_t port = static_cast<uint16_t>(20000 + i);
    c.Tcp(kLocal, port, kRemote, 8080, kSyn)
        .Tcp(kRemote, 8080, kLocal, port, kSyn | kAck)
        .Tcp(kLocal, port, kRemote, 8080, kAck)
        .Tcp(kLocal, port, kRemote, 8080, kAck | kPsh, "GET /x HTTP/1.1\r\nHost: a.test\r\n\r\n")
        .Tcp(kRemote, 8080, kLocal, port, kAck | kPsh, "HTTP/1.1 200 OK\r\n\r\n")
        .Tcp(kLocal, port, kRemote, 8080, kAck | kFin)
        .Tcp(kRemote, 8080, kLocal, port, kAck | kFin)
        .Udp(kLocal, port, kRemote, 53, "query")
        .Udp(kRemote, 53, kLocal, port, "answer")
        .Advance(2.0);
  }
  return c.Pcap();
}

class ReplayScale : public ReplayTest {};

TEST_F(ReplayScale, LiveStateIsTheSameForFourTimesTheFlows) {
  const char* policy = "connect pend permit proto tcp\nlookup\n";
  replay::ReplayResult shorter = Replay(Capture(60), policy, kLocal);
  ASSERT_EQ(shorter.exitCode, 0) << shorter.error;
  replay::ReplayResult longer = Replay(Capture(240), policy, kLocal);
  ASSERT_EQ(longer.exitCode, 0) << longer.error;
  ASSERT_EQ(longer.summary.pended, 4 * shorter.summary.pended);

  EXPECT_EQ(longer.summary.peak.flows, shorter.summary.peak.flows);
  EXPECT_EQ(longer.summary.peak.endedFlows, shorter.summary.peak.endedFlows);
  EXPECT_EQ(longer.summary.peak.sockets, shorter.summary.peak.sockets);
  EXPECT_LT(longer.summary.peak.flows, 120u) << "flows of the idle time, not of the capture";
  EXPECT_EQ(Client().KeptCallCount(), 0u) << "the replay logs the client's calls and keeps none";
  EXPECT_EQ(longer.summary.injectionsNotLogged, 0u);
  EXPECT_LE(host::wfp::Injections().size(), replay::engine::kInjectionHistory);
}

}  // namespace
