// Failure injection over whole replays: every allocation and call the driver
// makes after load fails once, or all of them at random, each run in a
// process of its own, and what goes wrong in a run is reported against the
// failure that caused it.
#include "tests/replay/replay_support.h"
#include "tools/sweep/sweep.h"

#include <gmock/gmock.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
using namespace nqtest;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class Sweep : public ReplayTest {
 protected:
  sweep::SweepOptions Options(bool calls) {
    CaptureBuilder c;
    c.Udp("10.0.0.2", 5353, "10.0.0.1", 53, "question")
        .Udp("10.0.0.1", 53, "10.0.0.2", 5353, "the answer")
        .Tcp("10.0.0.2", 40000, "10.0.0.1", 80, kSyn)
        .Tcp("10.0.0.1", 80, "10.0.0.2", 40000, kSyn | kAck)
        .Tcp("10.0.0.2", 40000, "10.0.0.1", 80, kAck)
        .Tcp("10.0.0.2", 40000, "10.0.0.1", 80, kRst);
    sweep::SweepOptions options;
    options.replay.capture = WriteFile("capture", c.Pcap());
    options.replay.policy = WriteFile("policy", "connect pend permit proto tcp\n");
    options.replay.haveLocal = true;
    options.replay.localAddress = 0x0A000002;
    options.calls = calls;
    options.timeoutSeconds = 20;
    return options;
  }
};

TEST_F(Sweep, EveryAllocationAndCallFailsOnceAndEachRunEndsClean) {
  sweep::SweepResult r = sweep::Sweep(Options(true));
  ASSERT_TRUE(r.counted) << r.error;
  std::string table;
  for (const sweep::Run& run : r.runs) table += run.site + " | " + run.where + " | " + run.result + "\n";
  EXPECT_EQ(r.Failed(), 0u) << table;
  EXPECT_EQ(r.runs.front().site, "no failure");

  auto find = [&r](const std::string& prefix) {
    for (const sweep::Run& run : r.runs)
      if (run.site.rfind(prefix, 0) == 0) return run;
    return sweep::Run{};
  };
  EXPECT_THAT(find("pool #1").where, HasSubstr("in RecordEndpoint")) << table;
  EXPECT_THAT(find("FwpsPendOperation0 call 1").where, HasSubstr("in PendDecision")) << table;
  EXPECT_EQ(find("ExAllocatePoolWithTag").site, "") << "the pool is swept once, by allocation";
}

TEST_F(Sweep, LeaksCrashesAndHangsAreReportedAsFailedRuns) {
  sweep::SweepOptions options = Options(false);
  options.afterReplay = [] { ExAllocatePoolWithTag(NonPagedPool, 24, 0x6B61654C); };
  sweep::SweepResult r = sweep::Sweep(options);
  ASSERT_TRUE(r.counted) << r.error;
  ASSERT_GT(r.runs.size(), 1u);
  EXPECT_EQ(r.Failed(), r.runs.size());
  EXPECT_EQ(r.runs.back().result, "leak: pool tag Leak: 1 block(s), 24 bytes allocated during the run and not freed");

  options.afterReplay = [] { std::raise(SIGSEGV); };
  r = sweep::Sweep(options);
  EXPECT_FALSE(r.counted);
  // A sanitizer catches the signal itself and aborts or ends with a status.
  EXPECT_THAT(r.error, AnyOf(StartsWith("crash: signal"), StartsWith("ended with status")));

  options.timeoutSeconds = 1;
  options.afterReplay = [] { sleep(30); };
  r = sweep::Sweep(options);
  EXPECT_FALSE(r.counted);
  EXPECT_EQ(r.error, "hang: no end after 1 s");
}

// Random runs name their seeds, and a seed given again repeats its run.
TEST_F(Sweep, RandomRunsNameTheirSeedsAndASeedRepeatsItsRun) {
  sweep::SweepOptions options = Options(false);
  options.randomRate = 0.3;
  options.runs = 3;
  options.seed = 40;
  sweep::SweepResult r = sweep::Sweep(options);
  ASSERT_TRUE(r.counted) << r.error;
  ASSERT_EQ(r.runs.size(), 4u);
  EXPECT_EQ(r.runs[3].site, "random seed 42");
  for (const sweep::Run& run : r.runs) EXPECT_TRUE(run.clean) << run.site << ": " << run.result;
  EXPECT_THAT(r.runs[1].where, testing::MatchesRegex("[0-9]+ failures? drawn(: .*)?"));

  options.seed = 41;
  options.runs = 1;
  sweep::SweepResult again = sweep::Sweep(options);
  ASSERT_EQ(again.runs.size(), 2u);
  EXPECT_EQ(again.runs[1].site, "random seed 41");
  EXPECT_EQ(again.runs[1].where, r.runs[2].where);
}

// A user's mistake is no driver failure: the first replay is the check, and
// input it refuses, even after some packets, stops the sweep with its error.
TEST_F(Sweep, InputTheReplayRefusesStopsTheSweepWithTheReplaysError) {
  sweep::SweepOptions options = Options(false);
  std::string capture = options.replay.capture;
  auto refused = [&options](const char* what) {
    sweep::SweepResult r = sweep::Sweep(options);
    EXPECT_FALSE(r.counted) << what;
    EXPECT_TRUE(r.runs.empty()) << what;
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << what;
    return r.error;
  };
  options.replay.capture = "/nonexistent/capture.pcap";
  EXPECT_THAT(refused("a missing file"), HasSubstr("no such file"));
  options.replay.capture = WriteFile("text", "not a capture\n");
  EXPECT_THAT(refused("a text file"), HasSubstr("not a readable pcap or pcapng capture"));
  std::string bytes;
  {
    std::FILE* f = std::fopen(capture.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
    std::fclose(f);
  }
  options.replay.capture = WriteFile("damaged", bytes.substr(0, bytes.size() - 20));
  EXPECT_THAT(refused("a damaged capture"), HasSubstr("damaged capture"));
  options.replay.capture = capture;
  options.replay.policy = WriteFile("bad.policy", "connect maybe\n");
  EXPECT_THAT(refused("a bad policy"), HasSubstr(":1: unknown answer 'maybe'"));
}

}  // namespace
