// The stand-in client's policy: parsing, with errors that name the line,
// and answers in the order of the rules.
#include "tools/client/policy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {
using client::EventFacts;
using client::Policy;
using ::testing::HasSubstr;

std::unique_ptr<Policy> Parse(const std::string& text) {
  std::string error;
  auto p = Policy::Parse(text, "test.policy", &error);
  EXPECT_TRUE(p) << error;
  return p;
}

std::string ErrorOf(const std::string& text) {
  std::string error;
  EXPECT_FALSE(Policy::Parse(text, "test.policy", &error));
  return error;
}

EventFacts Facts(int protocol, uint32_t remote, uint16_t localPort, uint16_t remotePort, uint32_t pid = 0) {
  EventFacts f;
  f.protocol = protocol;
  f.localAddress = 0x0A000002;
  f.remoteAddress = remote;
  f.localPort = localPort;
  f.remotePort = remotePort;
  f.processId = pid;
  return f;
}

TEST(Policy, ErrorsNameTheLineAndTheProblem) {
  EXPECT_EQ(ErrorOf("# fine\n\nfrobnicate permit\n"),
            "test.policy:3: unknown rule 'frobnicate' (expected process, default-process, drop, lookup, bind, "
            "listen, accept, connect, any, url, http-primary, http-secondary, primary-reply, secondary-reply or "
            "exempt)");
  EXPECT_THAT(ErrorOf("connect\n"), HasSubstr("test.policy:1: 'connect' needs an answer"));
  EXPECT_THAT(ErrorOf("connect pend maybe\n"), HasSubstr(":1: 'pend' must be followed by permit or block"));
  EXPECT_THAT(ErrorOf("connect block remote 10.0.0.300\n"), HasSubstr("not an IPv4 address"));
  EXPECT_THAT(ErrorOf("connect block remote 10.0.0.0/33\n"), HasSubstr("not an IPv4 address or prefix"));
  EXPECT_THAT(ErrorOf("accept block local-port 90-80\n"), HasSubstr("not a port or port range"));
  EXPECT_THAT(ErrorOf("accept block local-port\n"), HasSubstr("'local-port' needs a value"));
  EXPECT_THAT(ErrorOf("bind block remote-port 80\n"), HasSubstr(":1: bind, which cannot match this (bind matches"));
  EXPECT_THAT(ErrorOf("listen block proto udp\n"), HasSubstr(":1: listen, which cannot match this"));
  EXPECT_THAT(ErrorOf("drop process nginx\n"), HasSubstr("'drop' rules do not match on a process"));
  EXPECT_THAT(ErrorOf("process a pid 7\n"), HasSubstr("multiple of 4"));
  EXPECT_THAT(ErrorOf("process a pid 1000\nprocess b pid 1000\n"), HasSubstr(":2: pid 1000 already belongs"));
  EXPECT_THAT(ErrorOf("default-process a\ndefault-process b\n"), HasSubstr(":2: a second default-process"));
}

// Rules that could never match are refused, not accepted to match nothing.
TEST(Policy, RepeatedKeysAndKeysAnEventIsNotKnownByAreRefused) {
  EXPECT_EQ(ErrorOf("connect block remote-port 80 remote-port 81\n"),
            "test.policy:1: 'remote-port' given twice: a rule matches each key once");
  EXPECT_THAT(ErrorOf("drop proto tcp local 10.0.0.2 proto udp\n"), HasSubstr(":1: 'proto' given twice"));
  EXPECT_THAT(ErrorOf("process a remote 10.0.0.1 remote 10.0.0.3\n"), HasSubstr(":1: 'remote' given twice"));
  EXPECT_EQ(ErrorOf("any block remote-port 80\n"),
            "test.policy:1: 'any' includes bind, which cannot match this (bind matches only proto and process; "
            "listen only proto tcp, local, local-port and process; accept and connect every key)");
  EXPECT_THAT(ErrorOf("accept,any block proto udp\n"), HasSubstr("'any' includes listen, which cannot match"));
  EXPECT_THAT(ErrorOf("listen block remote 10.0.0.1\n"), HasSubstr(":1: listen, which cannot match this"));
  EXPECT_TRUE(Parse("any block proto tcp process a\nlisten block proto tcp local-port 80 local 10.0.0.2\n"));
}

TEST(Policy, ByteOrderMarkInFrontIsNoRule) {
  auto p = Parse("\xEF\xBB\xBF" "connect block proto tcp\n");
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->Decide(client::kConnect, Facts(6, 0x0A000001, 40000, 80)).block);
}

TEST(Policy, FirstMatchingRuleAnswersAndTheDefaultPermits) {
  auto p = Parse(
      "process curl pid 2000 proto tcp remote-port 80\n"
      "connect pend block proto tcp remote 192.0.2.0/24 process curl\n"
      "connect block remote-port 80-89\n"
      "connect permit remote-port 81\n"
      "accept,listen pend permit local-port 22\n"
      "bind block proto udp process curl\n");
  client::Decision d = p->Decide(client::kConnect, Facts(6, 0xC0000205, 40000, 80, 2000));
  EXPECT_TRUE(d.pend);
  EXPECT_TRUE(d.block);
  d = p->Decide(client::kConnect, Facts(6, 0xC0000205, 40000, 80, 9999));
  EXPECT_FALSE(d.pend) << "another process";
  EXPECT_TRUE(d.block);
  EXPECT_TRUE(p->Decide(client::kConnect, Facts(17, 0x0A000001, 40000, 81)).block) << "the earlier rule wins";
  EXPECT_FALSE(p->Decide(client::kConnect, Facts(6, 0x0A000001, 40000, 443)).block);
  EXPECT_TRUE(p->Decide(client::kListen, Facts(6, 0, 22, 0)).pend);
  EXPECT_FALSE(p->Decide(client::kConnect, Facts(6, 0, 22, 0)).pend) << "only the events named";
  EXPECT_TRUE(p->Decide(client::kBind, Facts(17, 0, 0, 0, 2000)).block);
  EXPECT_FALSE(p->Decide(client::kBind, Facts(6, 0, 0, 0, 2000)).block);
}

TEST(Policy, ProcessesAreAssignedByEndpointWithStableIds) {
  const char* text = "process nginx pid 1204 proto tcp local-port 80\nprocess dig proto udp remote-port 53\n";
  auto p = Parse(text);
  EXPECT_EQ(p->OwnerOf(Facts(6, 1, 80, 50000)).name, "nginx");
  EXPECT_EQ(p->OwnerOf(Facts(6, 1, 80, 50000)).processId, 1204u);
  EXPECT_EQ(p->OwnerOf(Facts(17, 1, 40000, 53)).name, "dig");
  EXPECT_EQ(p->OwnerOf(Facts(17, 1, 40000, 54)).name, "app") << "the default process";
  uint32_t dig = p->OwnerOf(Facts(17, 1, 40000, 53)).processId;
  EXPECT_EQ(Parse(text)->OwnerOf(Facts(17, 1, 40000, 53)).processId, dig) << "the same id on every run";
  EXPECT_EQ(dig % 4, 0u);
  EXPECT_NE(dig, p->OwnerOf(Facts(17, 1, 40000, 54)).processId);
  EXPECT_NE(p->OwnerOf(Facts(6, 1, 80, 0)).threadId, 0u);
}

TEST(Policy, DropRulesReadTheInboundPacketsHeaders) {
  auto p = Parse("drop proto udp remote 10.0.0.1 local-port 5302\n");
  unsigned char packet[28] = {0x45, 0, 0, 28, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2,
                              0,    53, 0x14, 0xB6, 0, 8, 0, 0};  // 10.0.0.1:53 -> 10.0.0.2:5302
  EXPECT_TRUE(p->Drops(packet, sizeof packet));
  packet[23] = 0xB5;  // to 5301
  EXPECT_FALSE(p->Drops(packet, sizeof packet));
  EXPECT_FALSE(Parse("")->Drops(packet, sizeof packet));
}

// The HTTP rules: reply files read from the policy's folder, first
// matching rule of each kind, and errors that name the file and line.
class HttpPolicy : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nqwfp-policy-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    Write("deny.http", "HTTP/1.1 403 Forbidden\r\n\r\n");
    Write("moved.http", "HTTP/1.1 302 Found\r\n\r\n");
  }
  void TearDown() override { std::system(("rm -rf " + folder_).c_str()); }
  void Write(const std::string& name, const std::string& bytes) {
    std::FILE* f = std::fopen((folder_ + "/" + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  std::unique_ptr<Policy> ParseHere(const std::string& text, std::string* error) {
    return Policy::Parse(text, "http.policy", error, folder_);
  }
  std::string error(const std::string& text) {
    std::string why;
    EXPECT_FALSE(ParseHere(text, &why)) << text;
    return why;
  }
  std::string folder_;
};

client::HttpFacts Request(const std::string& host, const std::string& method, const std::string& url) {
  client::HttpFacts r;
  r.host = host;
  r.method = method;
  r.url = url;
  return r;
}

TEST_F(HttpPolicy, EveryRuleAnswersFromItsFileAndTheFirstMatchWins) {
  std::string error;
  auto p = ParseHere(
      "url /ads reply moved.http\n"
      "http-primary block reply deny.http host bad.test method POST\n"
      "http-primary block url-prefix /admin\n"
      "http-secondary block value 18446744073709551615 url /tracker\n"
      "primary-reply deny.http\n"
      "secondary-reply moved.http\n"
      "exempt contains X-Exempt: 1\n",
      &error);
  ASSERT_TRUE(p) << error;
  ASSERT_NE(p->UrlReply("/ads"), nullptr);
  EXPECT_EQ(*p->UrlReply("/ads"), "HTTP/1.1 302 Found\r\n\r\n");
  EXPECT_EQ(p->UrlReply("/ads/more"), nullptr) << "a URL rule matches the target exactly";

  const client::HttpDecision* d = p->Primary(Request("bad.test", "POST", "/admin/x"), nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->withReply) << "the first matching rule, with its reply object";
  EXPECT_EQ(d->reply, "HTTP/1.1 403 Forbidden\r\n\r\n");
  d = p->Primary(Request("good.test", "GET", "/admin/x"), nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_FALSE(d->withReply);
  EXPECT_EQ(p->Primary(Request("bad.test", "GET", "/"), nullptr), nullptr);

  d = p->Secondary(Request("h", "GET", "/tracker"), nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->value, 18446744073709551615ull);
  EXPECT_EQ(p->PrimaryReply(), "HTTP/1.1 403 Forbidden\r\n\r\n");
  EXPECT_EQ(p->SecondaryReply(), "HTTP/1.1 302 Found\r\n\r\n");
  std::string data = "GET / HTTP/1.1\r\nX-Exempt: 1\r\n\r\n";
  EXPECT_TRUE(p->Exempts(data.data(), static_cast<uint32_t>(data.size())));
  EXPECT_FALSE(p->Exempts(data.data(), 10));
}

TEST_F(HttpPolicy, ErrorsNameTheLineAndTheProblem) {
  EXPECT_EQ(error("url /a\n"), "http.policy:1: 'url' takes a URL and a reply file: url URL reply FILE");
  EXPECT_THAT(error("\nurl /a reply missing.http\n"), HasSubstr("http.policy:2: cannot read reply file"));
  EXPECT_EQ(error("primary-reply\n"), "http.policy:1: 'primary-reply' takes one file");
  EXPECT_EQ(error("exempt TEXT\n"), "http.policy:1: 'exempt' takes a text: exempt contains TEXT");
  EXPECT_THAT(error("http-primary permit\n"), HasSubstr("http.policy:1: 'http-primary' needs its answer"));
  EXPECT_EQ(error("http-primary block value 3\n"), "http.policy:1: only http-secondary gives a value");
  EXPECT_EQ(error("http-secondary block value 18446744073709551616\n"),
            "http.policy:1: '18446744073709551616' is not a 64-bit number");
  EXPECT_EQ(error("http-primary block reply deny.http reply deny.http\n"),
            "http.policy:1: 'reply' given twice: a rule matches each key once");
  EXPECT_THAT(error("http-secondary block host a host b\n"), HasSubstr(":1: 'host' given twice"));
  EXPECT_EQ(error("http-primary block url /a url-prefix /b\n"), "http.policy:1: one of url and url-prefix, once");
  EXPECT_THAT(error("http-primary block colour red\n"), HasSubstr("host, method, url or url-prefix)"));
}

// A reply is a regular file of at most 1 MiB: a folder, a device or a larger
// file is refused with its name and line, never read as an empty or endless reply.
TEST_F(HttpPolicy, ReplyFilesAreRegularFilesOfAtMostOneMebibyte) {
  EXPECT_EQ(error("\nurl /a reply /tmp\n"), "http.policy:2: reply file '/tmp' is not a regular file");
  EXPECT_EQ(error("primary-reply /dev/zero\n"), "http.policy:1: reply file '/dev/zero' is not a regular file");
  Write("big.http", std::string((1 << 20) + 1, 'x'));
  EXPECT_THAT(error("http-primary block reply big.http\n"),
              HasSubstr("http.policy:1: reply file '" + folder_ + "/big.http' holds 1048577 bytes, more than 1 MiB"));
  Write("big.http", std::string(1 << 20, 'x'));
  Write("empty.http", "");
  std::string why;
  auto p = ParseHere("primary-reply big.http\nsecondary-reply empty.http\n", &why);
  ASSERT_TRUE(p) << why;
  EXPECT_EQ(p->PrimaryReply().size(), size_t{1} << 20);
  EXPECT_EQ(p->SecondaryReply(), "");
}

// The help's examples are rules the parser takes, each on its own.
TEST_F(HttpPolicy, EveryExampleInTheHelpIsARule) {
  Write("blocked.http", "HTTP/1.1 403 Forbidden\r\n\r\n");
  Write("secondary.http", "HTTP/1.1 302 Found\r\n\r\n");
  std::istringstream help(client::PolicyLanguage());
  int examples = 0;
  for (std::string line; std::getline(help, line);) {
    if (line.rfind("      ", 0) != 0 || line[6] == ' ') continue;
    std::string why;
    EXPECT_TRUE(ParseHere(line + "\n", &why)) << why;
    ++examples;
  }
  EXPECT_EQ(examples, 13);
}

}  // namespace
