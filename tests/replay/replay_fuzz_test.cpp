// Mangled captures fed to the replay: whatever the bytes, it ends with a
// result or a one-line error, the driver breaks no rule and nothing leaks.
#include "host/ndis.h"
#include "host/wfp.h"
#include "tests/replay/replay_support.h"
#include "tools/replay/engine.h"

#include <random>

namespace {
using namespace nqtest;

constexpr const char* kLocal = "10.0.0.2";
constexpr const char* kRemote = "10.0.0.1";
constexpr int kRounds = 300;

std::string BaseCapture(bool pcapng) {
  CaptureBuilder c;
  c.Tcp(kLocal, 40000, kRemote, 80, kSyn)
      .Tcp(kRemote, 80, kLocal, 40000, kSyn | kAck)
      .Tcp(kLocal, 40000, kRemote, 80, kAck | kPsh, "GET / HTTP/1.1\r\nHost: x\r\n\r\n")
      .Tcp(kRemote, 80, kLocal, 40000, kAck | kFin)
      .Tcp(kRemote, 50000, kLocal, 22, kSyn)
      .Tcp(kRemote, 50000, kLocal, 22, kAck)
      .Udp(kLocal, 5353, kRemote, 53, "question")
      .Udp(kRemote, 53, kLocal, 5353, "answer")
      .Udp(kRemote, 4000, kLocal, 53, "query")
      .Ip(Ipv4Packet(1, kRemote, kLocal, std::string(8, '\x08')))
      .Frame(EthernetFrame(std::string(40, '\x60'), 0x86DD));
  return pcapng ? c.Pcapng() : c.Pcap();
}

std::string Mangle(std::string bytes, std::mt19937& rng) {
  auto pick = [&rng](size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  switch (pick(4)) {
    case 0: {  // a few bytes anywhere, the file header included
      for (size_t n = 1 + pick(8); n > 0; --n) bytes[pick(bytes.size())] = static_cast<char>(pick(256));
      break;
    }
    case 1:  // cut short anywhere
      bytes.resize(pick(bytes.size()));
      break;
    case 2: {  // bytes past the file header only: packet headers and lengths
      for (size_t n = 1 + pick(16); n > 0; --n) bytes[24 + pick(bytes.size() - 24)] = static_cast<char>(pick(256));
      break;
    }
    default: {  // a stretch repeated or lost
      size_t from = pick(bytes.size()), length = pick(64);
      std::string stretch = bytes.substr(from, length);
      if (pick(2) == 0)
        bytes.insert(pick(bytes.size()), stretch);
      else
        bytes.erase(from, length);
    }
  }
  return bytes;
}

class ReplayFuzz : public ReplayTest {};

TEST_F(ReplayFuzz, MangledCapturesEndCleanly) {
  std::string error;
  ASSERT_TRUE(replay::engine::Boot(&error)) << error;
  PoolCheckpoint pool;
  const std::string policy =
      "connect pend permit proto tcp\naccept pend block proto tcp local-port 22\ndrop proto udp remote-port 53\n";
  std::mt19937 rng(20240611);
  int errors = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::string bytes = Mangle(BaseCapture(round % 3 == 0), rng);
    replay::ReplayResult r = Replay(bytes, policy);
    ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 1) << "round " << round;
    if (r.exitCode != 0) {
      ++errors;
      EXPECT_FALSE(r.error.empty()) << "round " << round;
      EXPECT_EQ(r.error.find('\n'), std::string::npos) << "round " << round;
    }
    EXPECT_EQ(r.summary.read, r.summary.replayed + r.summary.Skipped() + r.summary.NotDelivered())
        << "every packet read is accounted for, round " << round;
    if (HasFailure()) break;
  }
  EXPECT_GT(errors, 0) << "some mangled files should have been refused";
  EXPECT_LT(errors, kRounds) << "some mangled files should have been replayed";
  EXPECT_NO_LEAKS(pool);
  EXPECT_EQ(host::wfp::LiveClones(), 0u);
  EXPECT_EQ(host::ndis::LiveNetBufferLists(), 0u);
}

}  // namespace
