// The nqwfp tool as a user meets it: arguments it cannot honour refused in
// one line of one kind, its help and version, and a progress line that stays out of
// a log written to the same terminal.
#include "tests/replay/replay_support.h"

#include <gmock/gmock.h>

#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {
using namespace nqtest;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

struct Ran {
  int status = -1;
  std::string out, err;
};

class Tool : public ReplayTest {
 protected:
  // Runs nqwfp with the arguments, standard output and error kept apart.
  Ran Nqwfp(const std::vector<std::string>& args) {
    std::string command = "'" NQ_NQWFP "'";
    for (const std::string& a : args) command += " '" + a + "'";
    std::string out = WriteFile("out", ""), err = WriteFile("err", "");
    int status = std::system((command + " >" + out + " 2>" + err + " </dev/null").c_str());
    Ran r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Read(out);
    r.err = Read(err);
    return r;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string Capture() {
    CaptureBuilder c;
    c.Udp("10.0.0.2", 5353, "10.0.0.1", 53, "question");
    return WriteFile("capture.pcap", c.Pcap());
  }
};

TEST_F(Tool, EmptyValuesAndIdleTimesOutOfRangeAreRefusedAlike) {
  std::string capture = Capture();
  auto firstLine = [](const Ran& r) { return r.err.substr(0, r.err.find('\n')); };
  for (const char* option : {"--log", "--policy", "--write"}) {
    Ran r = Nqwfp({"replay", capture, option, ""});
    EXPECT_EQ(r.status, 2) << option;
    EXPECT_EQ(firstLine(r), std::string("nqwfp replay: ") + option + " needs a value, not an empty text");
  }
  Ran r = Nqwfp({"sweep", capture, "--policy", ""});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(firstLine(r), "nqwfp sweep: --policy needs a value, not an empty text");

  for (const char* idle : {"0", "0.0009", "-1", "1e300", "nan", "ten"}) {
    r = Nqwfp({"replay", capture, "--idle", idle});
    EXPECT_EQ(r.status, 2) << idle;
    EXPECT_EQ(firstLine(r), std::string("nqwfp replay: an idle time of '") + idle +
                                "' seconds is out of range: give from 0.001 to 31536000 seconds (a year)");
  }
  r = Nqwfp({"replay", capture, "--idle", "0.001", "--no-progress"});
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Tool, HelpShowsEveryOptionAndVersionNamesTheCommit) {
  Ran r = Nqwfp({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, MatchesRegex("nqwfp [0-9]+\\.[0-9]+\\.[0-9]+ \\(commit ([0-9a-f]{12}(-modified)?|unknown)\\)\n"));
  std::string help = Nqwfp({"help"}).out;
  EXPECT_THAT(help, HasSubstr("nqwfp --version"));
  EXPECT_THAT(help, HasSubstr("[--progress|--no-progress]"));
}

TEST_F(Tool, CommandHelpShowsItsOptionsAndThePolicyLanguage) {
  Ran help = Nqwfp({"help", "replay"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(Nqwfp({"replay", "--help"}).out, help.out);
  EXPECT_THAT(help.out, HasSubstr("--summary-json FILE"));
  EXPECT_THAT(help.out, HasSubstr("connect pend permit proto tcp remote-port 8080"));
  EXPECT_THAT(Nqwfp({"sweep", "-h"}).out, HasSubstr("--random RATE"));
}

TEST_F(Tool, UsageErrorsOfEveryCommandAreOneLineOfOneKind) {
  const std::vector<std::vector<std::string>> wrong = {
      {"replay", "a.pcap", "--bogus"},       {"replay", "a.pcap", "b.pcap"},
      {"sweep", "a.pcap", "--runs", "3"},    {"sweep", "a.pcap", "--random", "0"},
      {"http-parse", "-", "--chunk", "0"},   {"http-parse"},
      {"load", "--client"},                  {"show-state", "--bogus"}};
  for (const auto& args : wrong) {
    Ran r = Nqwfp(args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_THAT(r.err, MatchesRegex("nqwfp " + args[0] + ": [^\n]+\nusage: nqwfp " + args[0] + " [^\n]*\n"));
  }
}

TEST_F(Tool, NoProgressLineWhileTheLogGoesToTheTerminal) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  int savedOut = dup(STDOUT_FILENO), savedErr = dup(STDERR_FILENO);
  std::fflush(nullptr);
  dup2(slave, STDOUT_FILENO);
  dup2(slave, STDERR_FILENO);
  replay::ReplayOptions options;
  bool toFile = (options.log = "replay.jsonl", replay::ShowsProgress(options));
  bool toTerminal = (options.log = "-", replay::ShowsProgress(options));
  bool askedToTerminal = (options.progress = 1, replay::ShowsProgress(options));
  options.log = "replay.jsonl";
  bool refusedToFile = (options.progress = 0, replay::ShowsProgress(options));
  dup2(savedOut, STDOUT_FILENO);
  dup2(savedErr, STDERR_FILENO);
  close(savedOut);
  close(savedErr);
  close(slave);
  close(master);
  EXPECT_TRUE(toFile) << "standard error is a terminal";
  EXPECT_FALSE(toTerminal);
  EXPECT_FALSE(askedToTerminal) << "not even with --progress";
  EXPECT_FALSE(refusedToFile) << "--no-progress";
}

}  // namespace
